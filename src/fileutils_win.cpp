// File helpers, the library's own path, the JVM's command line and the
// environment setters for Windows. Paths arrive as UTF-8 and are converted to
// UTF-16 at every system call.
#ifdef _WIN32

#include "win_util.h"  // first: it brings <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "fileutils.h"
#include "list.h"
#include "logging.h"

namespace {

// Owner of a kernel handle. CreateFileW reports failure as
// INVALID_HANDLE_VALUE and CreateFileMappingW as NULL; both mean "none".
class KernelHandle {
public:
    explicit KernelHandle(HANDLE handle) : handle_(handle) {}
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    ~KernelHandle() {
        if (valid()) CloseHandle(handle_);
    }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_;
};

struct LocalFreeDeleter {
    void operator()(void* p) const { LocalFree(p); }
};

constexpr DWORD kModulePathCapacity = 4096;
constexpr int kRenameAttempts = 50;
constexpr DWORD kRenameRetryMillis = 200;

DWORD attributesOf(const char* path) {
    WideString wide(utf8ToWide(path));
    if (!wide) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(wide.get());
}

// Virus scanners, indexers and a second JVM reading a freshly written jar
// hold it open for a moment without delete sharing; those errors pass.
bool isTransientRenameError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// ERROR_SUCCESS once moved, else the error of the last attempt.
DWORD moveWithRetries(const wchar_t* from, const wchar_t* to, const char* oldPath,
                      const char* newPath) {
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 1; attempt <= kRenameAttempts; attempt++) {
        if (attempt >= 3) {
            log_write(TS_WARN, "Retrying renaming %s to %s, attempt %d", oldPath, newPath, attempt);
        }
        if (MoveFileW(from, to)) return ERROR_SUCCESS;
        error = GetLastError();
        if (!isTransientRenameError(error)) break;
        if (attempt < kRenameAttempts) Sleep(kRenameRetryMillis);
    }
    return error;
}

}  // namespace

char* getPathToLoadedLibrary(const void* addressInLibrary) {
    HMODULE module = nullptr;
    wchar_t path[kModulePathCapacity];
    // The module stays loaded for as long as the agent runs, so no reference
    // is taken that would have to be given back.
    BOOL found = GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<LPCWSTR>(addressInLibrary), &module);
    // A result of the full capacity means the path was cut short.
    DWORD length = found ? GetModuleFileNameW(module, path, kModulePathCapacity) : 0;
    if (length == 0 || length >= kModulePathCapacity) {
        log_write(TS_FATAL, "Could not find path of loaded agent");
        fatal_error_kill(1);
    }
    // Java on Windows carries file names through the ANSI code page (the
    // agent's own arguments among them), so a path outside it would break
    // later and far less clearly.
    HeapString ansi(wideToAnsiStrict(path));
    if (!ansi) {
        log_write(TS_FATAL,
                  "Error, Tarsil was found in a path that is not expressible in the system's code "
                  "page, which is unsupported by Java running on Windows.");
        log_write(TS_FATAL,
                  "Please copy or move the Tarsil files to a different folder and update the "
                  "-agentpath argument to reflect the new path.");
        fatal_error_kill(0);
    }
    return wideToUtf8(path, 0);
}

char* getDirName(const char* path) {
    std::string_view view(path);
    size_t cut = view.find_last_of("/\\");
    if (cut == std::string_view::npos) return lfts_dup(view.empty() ? "" : ".");
    return lfts_ndup(path, cut);
}

int fileExists(const char* path) {
    DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int isDirectory(const char* path) {
    DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int fileDelete(const char* path) {
    WideString wide(utf8ToWide(path));
    return wide && DeleteFileW(wide.get()) ? 0 : -1;
}

int renameFile(const char* oldPath, const char* newPath) {
    log_write(TS_INFO, "Renaming %s to %s", oldPath, newPath);
    WideString from(utf8ToWide(oldPath));
    WideString to(from ? utf8ToWide(newPath) : nullptr);
    // A path that is not UTF-8 fails with the conversion's error. MoveFileW
    // never replaces an existing target: losing a race with another JVM that
    // creates the same file ends here rather than overwriting its file.
    DWORD error = from && to ? moveWithRetries(from.get(), to.get(), oldPath, newPath)
                             : GetLastError();
    if (error != ERROR_SUCCESS) {
        log_write(TS_FATAL, "Error %d: Could not rename %s to %s", static_cast<int>(error), oldPath,
                  newPath);
        fatal_error_kill(1);
    }
    log_write(TS_INFO, "Renamed %s to %s", oldPath, newPath);
    return 0;
}

char* getWorkingDirectory() {
    DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return nullptr;
    std::unique_ptr<wchar_t[]> path(new wchar_t[size]);
    if (GetCurrentDirectoryW(size, path.get()) == 0) return nullptr;
    return wideToUtf8(path.get(), 0);
}

long getPid() {
    return static_cast<long>(GetCurrentProcessId());
}

char* getJavaExecutable(const char* javaHome) {
    HeapString windowed(lfts_concat(javaHome, "\\bin\\javaw.exe"));
    char* executable = fileExists(windowed.get()) ? windowed.release() : lfts_concat(javaHome, "\\bin\\java.exe");
    log_write(TS_DEBUG, "using java executable %s", executable);
    return executable;
}

int getCommandLineArguments(int* argc, char*** argv) {
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> wideArgs(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!wideArgs) return 1;
    auto** args =
        static_cast<char**>(ts_checked_alloc(malloc(sizeof(char*) * (count > 0 ? count : 1))));
    for (int i = 0; i < count; i++) args[i] = wideToUtf8(wideArgs.get()[i], 0);
    *argc = count;
    *argv = args;
    return 0;
}

void freeCommandLineArguments(int argc, char** argv) {
    if (argv == nullptr) return;
    for (int i = 0; i < argc; i++) free(argv[i]);
    free(argv);
}

int lfts_setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite) {
        // A zero-length buffer only asks for the size the value needs, which
        // is 0 when the variable is not set. The runtime documents the answer
        // 0 for this query; wine's runtime answers ERANGE for a variable that
        // is set and EINVAL for one that is not, so the size decides.
        size_t size = 0;
        errno_t error = getenv_s(&size, nullptr, 0, name);
        if (size != 0) return 0;
        // A name that is really invalid fails again in _putenv_s, with EINVAL.
        if (error != 0 && error != EINVAL) return error;
    }
    return _putenv_s(name, value);
}

int lfts_unsetenv(const char* name) {
    // The runtime removes a variable that is set to the empty string.
    return _putenv_s(name, "");
}

char* lfts_getenv(const char* name) {
    WideString wideName(utf8ToWide(name));
    if (!wideName) return nullptr;
    for (DWORD size = 256;;) {
        std::unique_ptr<wchar_t[]> value(new wchar_t[size]);
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetEnvironmentVariableW(wideName.get(), value.get(), size);
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return nullptr;
        if (length < size) return wideToUtf8(value.get(), 0);
        size = length;  // the size it needs, terminator included
    }
}

int isClassDataSharingArchiveMapped() {
    // No check exists on Windows.
    return 0;
}

RegularFile::RegularFile(const char* path) {
    WideString wide(utf8ToWide(path));
    if (!wide) {
        problem_ = "its name is not valid UTF-8";
        return;
    }
    DWORD attributes = GetFileAttributesW(wide.get());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        problem_ = "it is a folder, not a regular file";
        return;
    }
    // Opening a pipe's name never waits (a busy pipe fails at once) but
    // reaches its server, which may only identify this process, not act
    // as it.
    KernelHandle file(CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!file.valid()) {
        DWORD error = GetLastError();
        problem_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "it does not exist"
                   : error == ERROR_ACCESS_DENIED                                 ? "it cannot be read"
                                                                                  : "it cannot be opened";
        return;
    }
    // A pipe, a console or a device such as NUL is no disk file.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        problem_ = "it is a pipe or a device, not a regular file";
        return;
    }
    handle_ = reinterpret_cast<intptr_t>(file.release());
}

RegularFile::~RegularFile() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

MappedFile::MappedFile(const char* path) {
    RegularFile file(path);
    if (file) *this = ofHandle(file.handle());
}

MappedFile MappedFile::ofHandle(intptr_t handle) {
    MappedFile mapped;
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    // CreateFileMappingW refuses an empty file, and a 32-bit build cannot
    // view a file of 4 GiB or more.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) return mapped;
    if (static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) return mapped;
    KernelHandle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.valid()) return mapped;
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) return mapped;
    // The mapping keeps the file open once its handle closes; the mapping's
    // own handle is closed together with the view.
    mapped.data_ = static_cast<const uint8_t*>(view);
    mapped.size_ = static_cast<size_t>(size.QuadPart);
    mapped.handle_ = mapping.release();
    return mapped;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      handle_(std::exchange(other.handle_, nullptr)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

MappedFile::~MappedFile() {
    unmap();
}

void MappedFile::unmap() {
    if (data_ != nullptr) UnmapViewOfFile(data_);
    if (handle_ != nullptr) CloseHandle(handle_);
    data_ = nullptr;
    size_ = 0;
    handle_ = nullptr;
}

#endif  // _WIN32
