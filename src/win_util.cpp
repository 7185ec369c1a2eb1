// Conversions between the UTF-8 strings the library keeps and the UTF-16 and
// ANSI strings of the Windows API (each asks the system for the size first and
// converts into an exactly sized heap block), and the security rules the
// bootstrap folder and the files named by the user share.
#ifdef _WIN32

#include "win_util.h"  // first: it brings <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "list.h"

namespace {

wchar_t* allocWide(size_t characters) {
    return static_cast<wchar_t*>(ts_checked_alloc(malloc(characters * sizeof(wchar_t))));
}

char* allocBytes(size_t bytes) {
    return static_cast<char*>(ts_checked_alloc(malloc(bytes)));
}

}  // namespace

wchar_t* utf8ToWide(const char* utf8) {
    // With a length of -1 the count includes the terminator.
    int count = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (count <= 0) return nullptr;
    // Two spare characters leave room for a caller to append a separator to a
    // folder path in place.
    wchar_t* wide = allocWide(static_cast<size_t>(count) + 2);
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, count) <= 0) {
        free(wide);
        return nullptr;
    }
    return wide;
}

char* wideToUtf8(const wchar_t* wide, size_t extraBytes) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* utf8 = allocBytes(static_cast<size_t>(bytes) + extraBytes);
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, bytes, nullptr, nullptr) <= 0) {
        free(utf8);
        return nullptr;
    }
    return utf8;
}

char* wideToAnsiStrict(const wchar_t* wide) {
    // Best-fit mapping would turn an unrepresentable character into a
    // look-alike, giving a path that names a different file; without it such a
    // character becomes the default character, which the flag reports.
    constexpr DWORD kFlags = WC_NO_BEST_FIT_CHARS;
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, kFlags, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* ansi = allocBytes(static_cast<size_t>(bytes));
    BOOL usedDefaultChar = FALSE;
    int written = WideCharToMultiByte(CP_THREAD_ACP, kFlags, wide, -1, ansi, bytes, nullptr,
                                      &usedDefaultChar);
    if (written <= 0 || usedDefaultChar) {
        free(ansi);
        return nullptr;
    }
    return ansi;
}

wchar_t* shortPathOf(const wchar_t* path) {
    // Without a buffer the answer is the size including the terminator; with
    // one it is the length without it, or again the size needed when the
    // buffer fell short (the file system may have changed in between).
    DWORD size = GetShortPathNameW(path, nullptr, 0);
    if (size == 0) return nullptr;
    wchar_t* shortPath = allocWide(size);
    DWORD length = GetShortPathNameW(path, shortPath, size);
    if (length == 0 || length >= size || wcscmp(shortPath, path) == 0) {
        free(shortPath);
        return nullptr;
    }
    return shortPath;
}

namespace {

// Adding entries to a folder; on a file the same bits write and append.
constexpr ACCESS_MASK kAddEntries = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE;
// Removing or renaming entries, or the object itself; changing who may.
constexpr ACCESS_MASK kChange = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// The user's SID, from the process token, read once: a token's user never
// changes.
PSID userSid() {
    static union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } token;
    static const bool known = [] {
        HANDLE process = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process)) return false;
        DWORD size = 0;
        bool read = GetTokenInformation(process, TokenUser, &token, sizeof token, &size) != 0;
        CloseHandle(process);
        return read;
    }();
    return known ? token.user.User.Sid : nullptr;
}

// NT SERVICE\TrustedInstaller, which owns the system's own files and
// folders and stands beside the system, as root does elsewhere.
bool isInstaller(PSID sid) {
    static const struct {
        BYTE revision = SID_REVISION;
        BYTE count = 6;
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
        DWORD parts[6] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    } installer;
    return EqualSid(sid, const_cast<void*>(static_cast<const void*>(&installer))) != 0;
}

// The user, or one who stands where root does elsewhere.
bool isTrustedPrincipal(PSID sid) {
    PSID user = userSid();
    return (user != nullptr && EqualSid(sid, user)) || IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || isInstaller(sid);
}

// The rights the list grants to others. OWNER RIGHTS names the owner, judged
// on its own; CREATOR OWNER in an entry that applies names nobody.
ACCESS_MASK rightsOfOthers(PACL acl) {
    if (acl == nullptr) return ~ACCESS_MASK{0};
    ACCESS_MASK rights = 0;
    for (DWORD i = 0; i < acl->AceCount; i++) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&header))) continue;
        bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!allows || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        // Both kinds of entry start alike: header, mask, SID.
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &ace->SidStart;
        if (isTrustedPrincipal(sid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid) ||
            IsWellKnownSid(sid, WinCreatorOwnerSid)) {
            continue;
        }
        rights |= ace->Mask;
    }
    return rights;
}

}  // namespace

Trust trustOf(PSID owner, PACL dacl, TrustedAs what) {
    // No owner at all: a file system that keeps none; its list still counts.
    if (owner != nullptr && !isTrustedPrincipal(owner)) return Trust::foreignOwner;
    ACCESS_MASK refused = kAddEntries | kChange;
    if (what == TrustedAs::level) refused = kChange;
    if (what == TrustedAs::root) refused = kChange & ~DELETE;
    return (rightsOfOthers(dacl) & refused) != 0 ? Trust::othersMayWrite : Trust::trusted;
}

Trust trustOfHandle(HANDLE handle, TrustedAs what) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return Trust::trusted;  // no security here: nothing to hold against it
    }
    Trust trust = trustOf(owner, dacl, what);
    LocalFree(descriptor);
    return trust;
}

PrivateSecurity::PrivateSecurity(Kind kind) {
    wchar_t* user = nullptr;
    if (userSid() == nullptr || !ConvertSidToStringSidW(userSid(), &user)) return;
    // Full control (FA) for the user, the system (SY) and the administrators
    // (BA); P: nothing inherited; OICI: passed on to files and folders inside.
    const wchar_t* inherit = kind == folder ? L"OICI" : L"";
    std::wstring sddl = std::wstring(L"D:P(A;") + inherit + L";FA;;;" + user + L")(A;" + inherit + L";FA;;;SY)(A;" +
                        inherit + L";FA;;;BA)";
    LocalFree(user);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr)) {
        attributes_ = {sizeof(SECURITY_ATTRIBUTES), descriptor_, FALSE};
    } else {
        descriptor_ = nullptr;
    }
}

PrivateSecurity::~PrivateSecurity() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
}

PACL PrivateSecurity::dacl() const {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (descriptor_ == nullptr || !GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted) || !present) {
        return nullptr;
    }
    return dacl;
}

#endif  // _WIN32
