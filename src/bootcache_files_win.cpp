// The bootstrap folder's files on Windows: names are opened under the
// chosen folder with FILE_FLAG_OPEN_REPARSE_POINT, so that a symbolic link
// or junction is seen rather than followed, new files are created with
// CREATE_NEW, and only files owned by the user (or the administrators or
// the system) are trusted.
#include "win_util.h"  // first: it brings <windows.h>
#include <aclapi.h>
#include <io.h>
#include <fcntl.h>
#include <ntsecapi.h>

#include <cstdio>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bootcache_files.h"
#include "bootcache_files_win.h"
#include "clock.h"
#include "list.h"

namespace {

constexpr char kOtherOwner[] = "it belongs to another user";
constexpr char kLink[] = "it is a symbolic link or junction";

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

std::wstring wide(const char* utf8Text) {
    WideString converted(utf8ToWide(utf8Text));
    return converted ? converted.get() : L"";
}

std::string utf8Of(const std::wstring& wideText) {
    HeapString converted(wideToUtf8(wideText.c_str(), 0));
    return converted ? converted.get() : "";
}

std::wstring inFolder(const BootFolder& folder, const char* name) {
    return wide(folder.realPath.c_str()) + L"\\" + wide(name);
}

bool isValid(const Handle& handle) {
    return handle.get() != INVALID_HANDLE_VALUE && handle.get() != nullptr;
}

Handle openNoFollow(const std::wstring& path, DWORD access, DWORD disposition, DWORD extraFlags = 0) {
    return Handle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | extraFlags,
                              nullptr));
}

// The user's own SID, from the process token.
bool isTrustedOwner(PSID owner) {
    if (owner == nullptr) return true;  // a file system without owners (FAT)
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
    Handle tokenOwner(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size > 0 ? size : 1]);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) return true;
    if (EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid)) return true;
    // The administrators and the system stand where root does elsewhere.
    return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid);
}

const char* ownerProblem(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return nullptr;  // owners unknown here: nothing to hold against it
    }
    bool trusted = isTrustedOwner(owner);
    LocalFree(descriptor);
    return trusted ? nullptr : kOtherOwner;
}

const char* handleProblem(HANDLE handle, bool wantFolder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return "it cannot be examined";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
    bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (wantFolder && !folder) return "it is not a directory";
    if (!wantFolder && folder) return "it is not a regular file";
    return ownerProblem(handle);
}

const char* folderProblem(const std::wstring& path) {
    Handle folder = openNoFollow(path, GENERIC_READ, OPEN_EXISTING);
    if (!isValid(folder)) return GetLastError() == ERROR_FILE_NOT_FOUND ? "it does not exist" : "it cannot be opened";
    return handleProblem(folder.get(), true);
}

std::wstring withoutTrailingSeparators(const char* path) {
    std::wstring folder = wide(path);
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

bool writeAll(HANDLE file, std::string_view content) {
    while (!content.empty()) {
        DWORD written = 0;
        if (!WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) || written == 0) {
            return false;
        }
        content.remove_prefix(written);
    }
    return true;
}

}  // namespace

namespace {

constexpr char kWritableByAll[] = "it grants write access to everyone";

// The folder, opened so that neither it nor any level above it can be
// renamed or removed while this JVM runs (no FILE_SHARE_DELETE): the
// Windows way to keep a path from being swapped.

bool isBroadGroup(PSID sid) {
    return IsWellKnownSid(sid, WinWorldSid) || IsWellKnownSid(sid, WinAuthenticatedUserSid) ||
           IsWellKnownSid(sid, WinBuiltinUsersSid);
}

}  // namespace

bool grantsWriteToAll(PACL acl) {
    if (acl == nullptr) return true;  // a null access list grants everything
    constexpr ACCESS_MASK kWriting = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < acl->AceCount; i++) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((ace->Mask & kWriting) != 0 && isBroadGroup(reinterpret_cast<PSID>(&ace->SidStart))) return true;
    }
    return false;
}

namespace {

// One level of the way: the user's, an administrator's or the system's, and
// no other's; one that everyone may write is passed only then (as a sticky
// folder is elsewhere: C:\ lets all users make folders).
const char* levelProblem(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return "it cannot be examined";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "it is not a directory";
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return nullptr;  // no security here (FAT): nothing to hold against it
    }
    const char* problem = nullptr;
    if (!isTrustedOwner(owner)) problem = grantsWriteToAll(dacl) ? kWritableByAll : kOtherOwner;
    LocalFree(descriptor);
    return problem;
}

// The levels of a full path: "C:\", "C:\a", "C:\a\b"... ("\\server\share\"
// first for a share).
std::vector<std::wstring> levelsOf(const std::wstring& path) {
    std::vector<std::wstring> levels;
    size_t start = 0;
    if (path.size() > 2 && path[1] == L':') {
        start = 3;
    } else if (path.rfind(L"\\\\", 0) == 0) {
        size_t share = path.find(L'\\', path.find(L'\\', 2) + 1);
        start = share == std::wstring::npos ? path.size() : share + 1;
    }
    levels.push_back(path.substr(0, start));
    for (size_t at = path.find(L'\\', start); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        levels.push_back(path.substr(0, at));
    }
    if (path.size() > start) levels.push_back(path);
    return levels;
}

// The path of an open folder with every junction and link resolved.
std::wstring finalPathOf(HANDLE folder) {
    wchar_t buffer[1024];
    DWORD length = GetFinalPathNameByHandleW(folder, buffer, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= 1024) return L"";
    std::wstring path(buffer, length);
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

}  // namespace

bool adoptBootFolder(const char* path, BootFolder* adopted, FolderRefusal* refusal) {
    FolderRefusal why;
    std::wstring folder = withoutTrailingSeparators(path);
    why.level = path;
    // Missing levels are made first, for the user alone (the POSIX walk
    // makes them on its way down).
    if (!isDir(path)) mkSubDirs(path);
    if (!isDirWritable(path)) {
        why.reason = isDir(path) ? "it is not writable" : "it does not exist or cannot be made";
    } else {
        why.reason = folderProblem(folder);
    }
    std::wstring real;
    if (why.reason == nullptr) {
        // Followed here, on purpose: the levels above may be junctions; what
        // is checked and used is the real path they lead to.
        Handle followed(CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        real = isValid(followed) ? finalPathOf(followed.get()) : L"";
        if (real.empty()) why.reason = "it cannot be opened";
    }
    for (const std::wstring& level : why.reason == nullptr ? levelsOf(real) : std::vector<std::wstring>()) {
        Handle handle = openNoFollow(level, READ_CONTROL, OPEN_EXISTING);
        const char* problem = isValid(handle) ? levelProblem(handle.get()) : "it cannot be opened";
        if (problem != nullptr) {
            why.level = utf8Of(level);
            why.reason = problem;
            break;
        }
    }
    // The folder is held open so that neither it nor any level above it can
    // be renamed or removed while this JVM runs (no FILE_SHARE_DELETE): the
    // Windows way to keep a path from being swapped.
    HANDLE pin = INVALID_HANDLE_VALUE;
    if (why.reason == nullptr) {
        pin = CreateFileW(real.c_str(), FILE_LIST_DIRECTORY | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (pin == INVALID_HANDLE_VALUE) why.reason = "it cannot be held open";
    }
    if (why.reason != nullptr) {
        why.trust = why.reason == kOtherOwner || why.reason == kLink || why.reason == kWritableByAll;
        if (refusal != nullptr) *refusal = why;
        return false;
    }
    if (adopted == nullptr) {
        CloseHandle(pin);
        return true;
    }
    if (adopted->adopted()) CloseHandle(reinterpret_cast<HANDLE>(adopted->handle));
    adopted->handle = reinterpret_cast<intptr_t>(pin);
    adopted->realPath = utf8Of(real);
    return true;
}

intptr_t openBootFile(const BootFolder& folder, const char* name, BootFileState* state, const char** problem) {
    Handle file = openNoFollow(inFolder(folder, name), GENERIC_READ, OPEN_EXISTING);
    const char* why = nullptr;
    if (!isValid(file)) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            *state = BootFileState::missing;
            return -1;
        }
        why = "it cannot be opened";
    } else {
        why = handleProblem(file.get(), false);
    }
    if (problem != nullptr) *problem = why;
    *state = why == nullptr ? BootFileState::trusted : BootFileState::untrusted;
    return why == nullptr ? reinterpret_cast<intptr_t>(file.release()) : -1;
}

void closeBootFile(intptr_t handle) {
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool moveBootFileAside(const BootFolder& folder, const char* name, const char* suffix) {
    std::string aside = std::string(name) + suffix + randomHex(16);
    return MoveFileExW(inFolder(folder, name).c_str(), inFolder(folder, aside.c_str()).c_str(), 0) != 0;
}

BootFileState bootFileState(const BootFolder& folder, const char* name, const char** problem) {
    BootFileState state;
    closeBootFile(openBootFile(folder, name, &state, problem));
    return state;
}

FILE* openBootLog(const BootFolder& folder, const char* name) {
    std::wstring path = inFolder(folder, name);
    Handle file = openNoFollow(path, GENERIC_WRITE, OPEN_EXISTING);
    if (isValid(file) && handleProblem(file.get(), false) == nullptr) {
        SetEndOfFile(file.get());
    } else {
        if (isValid(file) || GetLastError() != ERROR_FILE_NOT_FOUND) removeBootFile(folder, name);
        file = openNoFollow(path, GENERIC_WRITE, CREATE_NEW);
        if (!isValid(file)) return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_BINARY | _O_WRONLY);
    if (fd < 0) return nullptr;
    file.release();
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) _close(fd);
    return stream;
}

namespace {

// errno for the last Windows error, for messages shared with POSIX.
int errnoOfLastError() {
    switch (GetLastError()) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        default: return EIO;
    }
}

}  // namespace

bool createBootFile(const BootFolder& folder, const char* name, std::string_view content) {
    Handle file = openNoFollow(inFolder(folder, name), GENERIC_WRITE, CREATE_NEW);
    if (!isValid(file)) {
        errno = errnoOfLastError();
        return false;
    }
    if (writeAll(file.get(), content)) return true;
    int error = errnoOfLastError();
    file.reset();
    removeBootFile(folder, name);
    errno = error;
    return false;
}

bool removeBootFile(const BootFolder& folder, const char* name) {
    std::wstring path = inFolder(folder, name);
    // DeleteFileW removes a link itself, never what it points to.
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool publishBootFile(const BootFolder& folder, const char* from, const char* to) {
    std::wstring source = inFolder(folder, from);
    {
        Handle file = openNoFollow(source, GENERIC_WRITE, OPEN_EXISTING);
        if (isValid(file)) FlushFileBuffers(file.get());
    }
    std::wstring target = inFolder(folder, to);
    for (int attempt = 0; attempt < 10; attempt++) {
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        DWORD error = GetLastError();
        // A JVM reading the old file holds it for a moment.
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
        sleepMillis(100);
    }
    errno = static_cast<int>(GetLastError());
    return false;
}

std::vector<std::string> bootFileNames(const BootFolder& folder, std::string_view prefix, std::string_view suffix) {
    std::vector<std::string> names;
    std::wstring pattern = wide(folder.realPath.c_str()) + L"\\" + wide(std::string(prefix).c_str()) + L"*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        HeapString name(wideToUtf8(found.cFileName, 0));
        std::string_view text = name ? name.get() : "";
        if (text.size() >= prefix.size() + suffix.size() && text.starts_with(prefix) && text.ends_with(suffix)) {
            names.emplace_back(text);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

BootFileLock::~BootFileLock() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock
}

namespace {

// One attempt at the lock: locked, timedOut while another holds it, or
// unsupported.
BootFileLock::Outcome lockOnce(HANDLE file) {
    OVERLAPPED whole = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
        return BootFileLock::Outcome::locked;
    }
    DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? BootFileLock::Outcome::timedOut
                                                                      : BootFileLock::Outcome::unsupported;
}

}  // namespace

BootFileLock::Outcome BootFileLock::acquire(const BootFolder& folder, const char* name, int timeoutSeconds) {
    Handle file = openNoFollow(inFolder(folder, name), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (!isValid(file) || handleProblem(file.get(), false) != nullptr) return Outcome::unsupported;
    long long deadline = monotonicMillis() + static_cast<long long>(timeoutSeconds) * 1000;
    for (long pause = 10;; pause = pause < 200 ? pause * 2 : 200) {
        Outcome outcome = lockOnce(file.get());
        if (outcome == Outcome::locked) break;
        if (outcome == Outcome::unsupported) return outcome;
        if (timeoutSeconds > 0 && monotonicMillis() >= deadline) return Outcome::timedOut;
        sleepMillis(pause);
    }
    handle_ = reinterpret_cast<intptr_t>(file.release());
    return Outcome::locked;
}

BootFileLock::Outcome BootFileLock::tryAcquire(const BootFolder& folder, const char* name) {
    Handle file = openNoFollow(inFolder(folder, name), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    if (!isValid(file) || handleProblem(file.get(), false) != nullptr) return Outcome::unsupported;
    Outcome outcome = lockOnce(file.get());
    if (outcome != Outcome::locked) return outcome;
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = reinterpret_cast<intptr_t>(file.release());
    return Outcome::locked;
}

long long bootFileAgeSeconds(const BootFolder& folder, const char* name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(inFolder(folder, name).c_str(), GetFileExInfoStandard, &data)) return -1;
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    unsigned long long now = ticks(nowTime);
    unsigned long long written = ticks(data.ftLastWriteTime);
    return now > written ? static_cast<long long>((now - written) / 10000000ULL) : 0;  // 100 ns ticks
}

bool fillRandom(unsigned char* bytes, size_t count) {
    return RtlGenRandom(bytes, static_cast<ULONG>(count)) != FALSE;
}
