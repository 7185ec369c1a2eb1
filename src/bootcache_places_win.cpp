// Where a bootstrap folder may be on Windows: the user profile, the user's
// temporary folder, and folders named by the user. Paths are handled in
// UTF-16 and returned as UTF-8; a folder must stay under 205 characters and
// be expressible in the ANSI code page, since the JVM's class path handling
// needs that.
#include "win_util.h"  // first: it brings <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "agent_util.h"
#include "bootcache_files.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"

namespace {

constexpr size_t kMaxPath = 205;
constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";

std::wstring* userProfile = nullptr;  // fetched once
bool userProfileFetched = false;

std::string utf8(const std::wstring& wide) {
    HeapString text(wideToUtf8(wide.c_str(), 0));
    return text ? text.get() : "";
}

std::wstring wide(const char* utf8Text) {
    WideString converted(utf8ToWide(utf8Text));
    return converted ? converted.get() : L"";
}

std::wstring withBackslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

std::wstring withoutTrailingBackslash(std::wstring path) {
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

bool unsupportedPath(const std::wstring& path) {
    return path.size() > kMaxPath || path.rfind(kLongPathPrefix, 0) == 0;
}

std::wstring fullPathOf(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

bool isDirW(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    // A reparse point (a symbolic link or junction) is not taken as a folder.
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Proves the folder writable by creating a temporary file that vanishes when
// it is closed.
bool canCreateFileIn(const std::wstring& folder) {
    // The whole process id and a random part: JVMs started in the same
    // second must not share a name.
    std::string random = randomHex(8);
    wchar_t name[MAX_PATH + 32];
    swprintf(name, sizeof name / sizeof name[0], L"%ls\\_ts%08lx%ls.tmp", folder.c_str(),
             static_cast<unsigned long>(GetCurrentProcessId()), std::wstring(random.begin(), random.end()).c_str());
    std::string shown = utf8(name);
    log_write(TS_DEBUG, "Creating temp file '%s' in vesta base", shown.c_str());
    PrivateSecurity security(PrivateSecurity::file);
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                              FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        log_write(TS_DEBUG, "Failed to create temp file '%s' in vesta base", shown.c_str());
        return false;
    }
    CloseHandle(file);
    return true;
}

bool isDirWritableW(const std::wstring& path) {
    return isDirW(path) && canCreateFileIn(path);
}

// Creates each missing level after the drive part; 1 when the last one was
// made by this call.
int makeDirs(const std::wstring& path) {
    PrivateSecurity security(PrivateSecurity::folder);
    std::wstring full = fullPathOf(path);
    if (full.size() > kMaxPath) return 0;
    size_t start = full.size() > 2 && full[1] == L':' ? 3 : full.find_first_not_of(L'\\');
    if (start == std::wstring::npos) return 0;
    for (size_t at = full.find(L'\\', start); at != std::wstring::npos; at = full.find(L'\\', at + 1)) {
        std::wstring prefix = full.substr(0, at);
        // A level reached through a junction is a folder for the way on.
        DWORD attributes = GetFileAttributesW(prefix.c_str());
        bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!folder && !CreateDirectoryW(prefix.c_str(), security.attributes())) break;
    }
    return CreateDirectoryW(full.c_str(), security.attributes()) ? 1 : 0;
}

std::wstring* profileFolder() {
    if (!userProfileFetched) {
        userProfileFetched = true;
        wchar_t path[MAX_PATH];
        if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE | CSIDL_FLAG_CREATE, nullptr, 0, path))) {
            userProfile = new std::wstring(path);
        }
    }
    return userProfile;
}

// The folder as the JVM will see it: in the ANSI code page, or its short
// form when a character has no equivalent there.
std::string ansiExpressible(const std::wstring& folder) {
    if (HeapString ansi{wideToAnsiStrict(folder.c_str())}) return utf8(folder);
    WideString shortPath(shortPathOf(folder.c_str()));
    if (shortPath) {
        if (HeapString ansi{wideToAnsiStrict(shortPath.get())}) return utf8(shortPath.get());
    }
    log_write(TS_FATAL, "Error, vesta base exists in a path that is not expressible in the system's code page.");
    log_write(TS_FATAL,
              "Please specify a folder that exists and is writable by setting the 'VESTA_BASE' system environment "
              "variable.");
    fatal_error_kill(0);
}

}  // namespace

int isDir(const char* path) {
    return isDirW(wide(path));
}

int isDirWritable(const char* path) {
    return isDirWritableW(wide(path));
}

int mkSubDirs(const char* path) {
    return makeDirs(withBackslashes(wide(path)));
}

char* getUserHome() {
    std::wstring* profile = profileFolder();
    if (profile == nullptr || !isDirWritableW(*profile)) return nullptr;
    return lfts_dup(utf8(*profile).c_str());
}

HomeNames homeNames() {
    return {"the user profile folder", "none usable"};
}

std::vector<std::string> temporaryBases() {
    // %TMP% or %TEMP%, normally the profile's own Temp. Where the system
    // falls back to a shared one (C:\Windows\Temp), the walk judges it as it
    // judges /tmp elsewhere.
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return {};
    return {utf8(withoutTrailingBackslash(std::wstring(temp, length)))};
}

std::string temporaryFolderName() {
    return "tarsil";
}

std::string userFolderPath(std::string_view path) {
    return utf8(withBackslashes(wide(std::string(path).c_str())));
}

std::string folderBelow(std::string_view base, std::string_view name) {
    return utf8(fullPathOf(withBackslashes(wide((std::string(base) + "\\" + std::string(name)).c_str()))));
}

const char* unsupportedFolderPath(const std::string& path) {
    if (!unsupportedPath(path.empty() ? std::wstring() : fullPathOf(wide(path.c_str())))) return nullptr;
    return "\\\\?\\-UNC paths and paths longer than 205 characters are unsupported on Windows!";
}

const char* folderPathTooLong(const std::string& realPath, size_t longestName) {
    // Neither the JVM's launcher nor the library declares itself aware of
    // long paths, so a path of MAX_PATH characters or more (the terminator
    // counts) fails to open: the launcher's fopen of its argument file first.
    // This is stricter than the length rule above for the names kept here.
    if (wide(realPath.c_str()).size() + 1 + longestName < MAX_PATH) return nullptr;
    return "its real path is too long: the paths of the files kept in it would exceed MAX_PATH (260 characters)";
}

char* finishBootstrapFolder(const char* folder) {
    std::string usable = ansiExpressible(wide(folder));
    return lfts_concat(usable.c_str(), "\\");
}
