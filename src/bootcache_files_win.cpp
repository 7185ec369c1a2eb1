// The bootstrap folder's files on Windows: names are opened under the
// chosen folder with FILE_FLAG_OPEN_REPARSE_POINT, so that a symbolic link
// or junction is seen rather than followed; new files are created with
// CREATE_NEW and an access list of the user alone; and a folder or file is
// trusted only when its owner and access list leave it to the user (see
// trustOf in win_util) and a file has no other name.
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
#include "clock.h"
#include "list.h"

namespace {

constexpr char kOtherOwner[] = "it belongs to another user";
constexpr char kOthersMayWrite[] = "its access list lets other users write it";
constexpr char kLink[] = "it is a symbolic link or junction";
constexpr char kHardLink[] = "it has another name (a hard link)";

using Handle = OwnedHandle;

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

Handle openNoFollow(const std::wstring& path, DWORD access, DWORD disposition,
                    SECURITY_ATTRIBUTES* security = nullptr) {
    return Handle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security,
                              disposition, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The same where the file may be made: a new one is the user's alone.
Handle createNoFollow(const std::wstring& path, DWORD access, DWORD disposition) {
    PrivateSecurity security(PrivateSecurity::file);
    return openNoFollow(path, access, disposition, security.attributes());
}

// Why the file or folder of an open handle may not be trusted as `what`, or
// null: it must be what it should be (a folder, or a file with no other name
// a write here would change as well: one link) and no link or junction, and
// its owner and access list must leave it to the user. The handle needs
// FILE_READ_ATTRIBUTES and READ_CONTROL.
const char* handleProblem(HANDLE handle, TrustedAs what) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return "it cannot be examined";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kLink;
    bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool wantFolder = what != TrustedAs::file;
    if (wantFolder && !folder) return "it is not a directory";
    if (!wantFolder && folder) return "it is not a regular file";
    // A folder's count is its entries' on some file systems, never a name.
    if (!wantFolder && info.nNumberOfLinks != 1) return kHardLink;
    switch (trustOfHandle(handle, what)) {
        case Trust::trusted: return nullptr;
        case Trust::foreignOwner: return kOtherOwner;
        case Trust::othersMayWrite: return kOthersMayWrite;
    }
    return kOtherOwner;
}

const char* folderProblem(const std::wstring& path) {
    Handle folder = openNoFollow(path, GENERIC_READ, OPEN_EXISTING);
    if (!isValid(folder)) return GetLastError() == ERROR_FILE_NOT_FOUND ? "it does not exist" : "it cannot be opened";
    return handleProblem(folder.get(), TrustedAs::folder);
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
    std::vector<std::wstring> levels = why.reason == nullptr ? levelsOf(real) : std::vector<std::wstring>();
    for (size_t i = 0; i < levels.size(); i++) {
        // Others may make entries in a level above, never in the folder.
        TrustedAs what = i + 1 == levels.size() ? TrustedAs::folder : i == 0 ? TrustedAs::root : TrustedAs::level;
        Handle handle = openNoFollow(levels[i], READ_CONTROL | FILE_READ_ATTRIBUTES, OPEN_EXISTING);
        const char* problem = isValid(handle) ? handleProblem(handle.get(), what) : "it cannot be opened";
        if (problem != nullptr) {
            why.level = utf8Of(levels[i]);
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
        why.trust = why.reason == kOtherOwner || why.reason == kLink || why.reason == kOthersMayWrite;
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
        why = handleProblem(file.get(), TrustedAs::file);
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

namespace {

// The named file of the folder, opened with `access` and made where it is
// missing; one that may not be trusted (a link, another user's, one others
// may write, another file's second name) is removed and made anew. Invalid
// when neither can be had.
Handle openOwnFile(const BootFolder& folder, const char* name, DWORD access) {
    std::wstring path = inFolder(folder, name);
    access |= FILE_READ_ATTRIBUTES;  // for the judgement: GENERIC_WRITE alone may not examine the file
    Handle file = createNoFollow(path, access, OPEN_ALWAYS);
    if (isValid(file) && handleProblem(file.get(), TrustedAs::file) == nullptr) return file;
    if (!isValid(file) && GetLastError() == ERROR_PATH_NOT_FOUND) return file;  // no folder any more
    // Closed first: a file removed while open keeps its name until then.
    file.reset();
    if (!removeBootFile(folder, name)) return file;
    file = createNoFollow(path, access, CREATE_NEW);
    if (isValid(file) && handleProblem(file.get(), TrustedAs::file) != nullptr) file.reset();
    return file;
}

}  // namespace

FILE* openBootLog(const BootFolder& folder, const char* name) {
    Handle file = openOwnFile(folder, name, GENERIC_WRITE);
    if (!isValid(file) || !SetEndOfFile(file.get())) return nullptr;
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
    Handle file = createNoFollow(inFolder(folder, name), GENERIC_WRITE, CREATE_NEW);
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

bool makeBootFilePrivate(intptr_t handle) {
    PrivateSecurity security(PrivateSecurity::file);
    PACL dacl = security.dacl();
    auto apply = [dacl](HANDLE file) {
        return SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    };
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    if (dacl == nullptr || file == INVALID_HANDLE_VALUE) return false;
    if (apply(file)) return true;
    // A handle opened for reading may not change the access list; a second
    // one to the same file, never to another at that name, may. Setting a
    // list reads the old one first.
    Handle writable(
        ReOpenFile(file, WRITE_DAC | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
    return isValid(writable) && apply(writable.get());
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
    Handle file = openOwnFile(folder, name, GENERIC_READ | GENERIC_WRITE);
    if (!isValid(file)) return Outcome::unsupported;
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
    if (!isValid(file) || handleProblem(file.get(), TrustedAs::file) != nullptr) return Outcome::unsupported;
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
