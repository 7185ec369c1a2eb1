// File helpers, the library's own path and the environment setters for Linux
// and macOS.
#include <dlfcn.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "fileutils.h"
#include "list.h"
#include "logging.h"

char* getPathToLoadedLibrary(const void* addressInLibrary) {
    Dl_info info;
    if (dladdr(addressInLibrary, &info) == 0 || info.dli_fname == nullptr) {
        log_write(TS_FATAL, "Could not find path of loaded agent");
        fatal_error_kill(1);
    }
    return lfts_dup(info.dli_fname);
}

char* getDirName(const char* path) {
    // dirname may change its argument and may answer a static buffer.
    HeapString copy(lfts_dup(path));
    return lfts_dup(dirname(copy.get()));
}

namespace {

int statMode(const char* path, mode_t* mode) {
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    *mode = st.st_mode;
    return 1;
}

}  // namespace

int fileExists(const char* path) {
    mode_t mode;
    return statMode(path, &mode) && !S_ISDIR(mode);
}

int isDirectory(const char* path) {
    mode_t mode;
    return statMode(path, &mode) && S_ISDIR(mode);
}

int fileDelete(const char* path) {
    return unlink(path) == 0 ? 0 : -1;
}

int renameFile(const char* oldPath, const char* newPath) {
    if (rename(oldPath, newPath) == -1) {
        log_write(TS_FATAL, "Error %d: could not rename %s to %s", errno, oldPath, newPath);
        fatal_error_kill(1);
    }
    return 0;
}

char* getWorkingDirectory() {
    // glibc and macOS allocate a buffer of the right size for a null one.
    return getcwd(nullptr, 0);
}

long getPid() {
    return static_cast<long>(getpid());
}

char* getJavaExecutable(const char* javaHome) {
    char* executable = lfts_concat(javaHome, "/bin/java");
    log_write(TS_DEBUG, "using java executable %s", executable);
    return executable;
}

int lfts_setenv(const char* name, const char* value, int overwrite) {
    return setenv(name, value, overwrite);
}

int lfts_unsetenv(const char* name) {
    return unsetenv(name);
}

char* lfts_getenv(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? lfts_dup(value) : nullptr;
}

namespace {

const char* notRegular(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a folder, not a regular file";
    if (S_ISFIFO(mode)) return "it is a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
    return "it is not a regular file";
}

}  // namespace

RegularFile::RegularFile(const char* path) {
    // Looked at first, so that a device is not opened at all; the look at
    // the open file below decides, as the name may change meanwhile.
    struct stat st;
    if (stat(path, &st) != 0) {
        problem_ = errno == ENOENT || errno == ENOTDIR ? "it does not exist" : "it cannot be examined";
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        problem_ = notRegular(st.st_mode);
        return;
    }
    // O_NONBLOCK and O_NOCTTY in case a FIFO or a terminal took its place.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        problem_ = errno == EACCES ? "it cannot be read" : "it cannot be opened";
        return;
    }
    bool examined = fstat(fd, &st) == 0;
    if (!examined || !S_ISREG(st.st_mode)) {
        problem_ = examined ? notRegular(st.st_mode) : "it cannot be examined";
        close(fd);
        return;
    }
    // Blocking again, as reads of a regular file are. (FIONBIO rather than
    // fcntl, whose 32-bit symbol is newer than the oldest C library the
    // library supports.)
    int off = 0;
    ioctl(fd, FIONBIO, &off);
    handle_ = fd;
}

RegularFile::~RegularFile() {
    if (handle_ != -1) close(static_cast<int>(handle_));
}

MappedFile::MappedFile(const char* path) {
    // The mapping stays valid after its descriptor closes.
    RegularFile file(path);
    if (file) *this = ofHandle(file.handle());
}

MappedFile MappedFile::ofHandle(intptr_t handle) {
    MappedFile file;
    int fd = static_cast<int>(handle);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        void* addr = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (addr != MAP_FAILED) {
            file.data_ = static_cast<const uint8_t*>(addr);
            file.size_ = static_cast<size_t>(st.st_size);
        }
    }
    return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() {
    unmap();
}

void MappedFile::unmap() {
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}
