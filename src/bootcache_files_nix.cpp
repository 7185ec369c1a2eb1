// The bootstrap folder's files on Linux and macOS: every name is opened
// relative to a descriptor of the folder with O_NOFOLLOW, and with
// O_NONBLOCK so that a FIFO planted at a name cannot stall the JVM.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/syscall.h>  // close_range and getrandom, by number
#endif
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "bootcache_files.h"
#include "clock.h"

namespace {

// A descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    friend void swap(Fd& a, Fd& b) { std::swap(a.fd_, b.fd_); }

private:
    int fd_;
};

constexpr char kOtherOwner[] = "it belongs to another user";
constexpr char kWritableByOthers[] = "it is writable by group or others";
constexpr char kLink[] = "it is a symbolic link";

const char* ownershipProblem(const struct stat& st) {
    if (st.st_uid != geteuid() && st.st_uid != 0) return kOtherOwner;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return kWritableByOthers;
    return nullptr;
}

const char* openProblem(int error) {
    switch (error) {
        case ELOOP: return kLink;
        case ENOENT: return "it does not exist";
        case ENOTDIR: return "it is not a directory";
        case EACCES: return "it is not accessible";
        default: return "it cannot be opened";
    }
}

constexpr char kForeignLink[] = "it is a symbolic link of another user in a folder everyone may write";
constexpr int kMaxLinks = 40;  // as the kernel follows at most

void appendLevels(std::string_view path, std::vector<std::string>* names) {
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        if (end > start) names->emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
}

std::string joinLevels(const std::vector<std::string>& levels) {
    std::string path;
    for (const std::string& level : levels) path += "/" + level;
    return path.empty() ? "/" : path;
}

// Whether a link may be followed where it stands, as the kernel's
// protected_symlinks rule has it whatever the machine's setting: in a
// folder everyone may write that carries the sticky bit (/tmp), only a link
// of the user, of root or of the folder's owner; anyone could have put
// another one there.
bool mayFollowLink(const struct stat& link, const struct stat& folder) {
    bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == 0 || link.st_uid == folder.st_uid;
}

// The path the walk goes down, level by level: absolute, its existing part
// resolved through the links that may be followed, the rest (levels still to
// be made) taken as written, without "." and "..". False, with the link
// refused and why, where a link may not be followed.
bool realLevels(const char* path, std::vector<std::string>* levels, FolderRefusal* refusal) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        absolute = std::string(cwd != nullptr ? cwd : "") + "/" + absolute;
        free(cwd);
    }
    std::vector<std::string> pending;  // the levels still to resolve, the next one last
    appendLevels(absolute, &pending);
    std::reverse(pending.begin(), pending.end());
    levels->clear();
    bool existing = true;
    for (int links = 0; !pending.empty();) {
        std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            if (!levels->empty()) levels->pop_back();
            continue;
        }
        if (!existing) {
            levels->push_back(name);
            continue;
        }
        std::string parent = joinLevels(*levels);
        levels->push_back(name);
        std::string here = joinLevels(*levels);
        struct stat st;
        if (lstat(here.c_str(), &st) != 0) {
            existing = false;  // the walk makes it, or tells why it cannot
            continue;
        }
        if (!S_ISLNK(st.st_mode)) continue;
        struct stat folder;
        const char* problem = ++links > kMaxLinks ? "it has too many levels of symbolic links" : nullptr;
        if (problem == nullptr && (lstat(parent.c_str(), &folder) != 0 || !mayFollowLink(st, folder))) {
            problem = kForeignLink;
        }
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        ssize_t length = problem == nullptr ? readlink(here.c_str(), target.data(), target.size()) : 0;
        if (problem == nullptr && (length <= 0 || static_cast<size_t>(length) >= target.size())) {
            problem = "it is a symbolic link that cannot be read";
        }
        if (problem != nullptr) {
            refusal->level = here;
            refusal->reason = problem;
            return false;
        }
        target.resize(static_cast<size_t>(length));
        levels->pop_back();
        if (target[0] == '/') levels->clear();
        std::vector<std::string> inner;
        appendLevels(target, &inner);
        pending.insert(pending.end(), inner.rbegin(), inner.rend());
    }
    return true;
}

// Why a level of the way may not be passed: it must be the user's or
// root's, and nobody else may write it unless it carries the sticky bit
// (then nobody but its owner can rename what the user made in it, and the
// next level, the user's or root's, is as safe as in a private level). The
// folder itself is writable by the user alone.
const char* levelProblem(int fd, const struct stat& st, bool folder) {
    if (!S_ISDIR(st.st_mode)) return "it is not a directory";
    const char* problem = ownershipProblem(st);
    bool sharedWithSticky = !folder && (st.st_mode & S_ISVTX) != 0;
    if (problem == kWritableByOthers && sharedWithSticky) problem = nullptr;
    if (problem == nullptr && folder && faccessat(fd, ".", W_OK, 0) != 0) problem = "it is not writable";
    return problem;
}

// The next level below `parent`, made with mode 0700 when it is missing.
int openLevel(int parent, const std::string& name, const char** problem) {
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
            *problem = errno == EACCES || errno == EROFS ? "it cannot be created" : openProblem(errno);
            return -1;
        }
        fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        int error = errno;
        // With O_DIRECTORY, Linux reports a link as ENOTDIR rather than ELOOP.
        struct stat st;
        *problem = fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)
                       ? kLink
                       : openProblem(error);
    }
    return fd;
}

// Walks the levels from the root down; the folder's descriptor, or -1 with
// the level refused and why.
int walkTrustedPath(const std::vector<std::string>& levels, FolderRefusal* refusal) {
    Fd current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked = "/";
    for (size_t i = 0;; i++) {
        struct stat st;
        const char* problem = current.get() < 0 ? "it cannot be opened" : nullptr;
        if (problem == nullptr && fstat(current.get(), &st) != 0) problem = "it cannot be examined";
        if (problem == nullptr) problem = levelProblem(current.get(), st, i == levels.size());
        if (problem != nullptr) {
            refusal->level = walked;
            refusal->reason = problem;
            return -1;
        }
        if (i == levels.size()) return current.release();
        walked += (walked.size() > 1 ? "/" : "") + levels[i];
        Fd next(openLevel(current.get(), levels[i], &problem));
        if (next.get() < 0) {
            refusal->level = walked;
            refusal->reason = problem;
            return -1;
        }
        swap(current, next);
    }
}

const char* regularFileProblem(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "it cannot be examined";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (const char* problem = ownershipProblem(st)) return problem;
    return st.st_nlink != 1 ? "it has other names (hard links)" : nullptr;
}

constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Drops O_NONBLOCK again once the file is known to be a regular file.
// (FIONBIO rather than fcntl, whose 32-bit symbol is newer than the oldest
// C library the library supports.)
void makeBlocking(int fd) {
    int off = 0;
    ioctl(fd, FIONBIO, &off);
}

int folderFd(const BootFolder& folder) {
    return static_cast<int>(folder.handle);
}

int createExclusive(const BootFolder& folder, const char* name) {
    return openat(folderFd(folder), name, O_CREAT | O_EXCL | O_WRONLY | kOpenFlags, 0600);
}

bool writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

bool adoptBootFolder(const char* path, BootFolder* folder, FolderRefusal* refusal) {
    std::vector<std::string> levels;
    FolderRefusal why;
    int fd = realLevels(path, &levels, &why) ? walkTrustedPath(levels, &why) : -1;
    if (fd < 0) {
        why.trust = why.reason == kOtherOwner || why.reason == kWritableByOthers || why.reason == kLink ||
                    why.reason == kForeignLink;
        if (refusal != nullptr) *refusal = why;
        return false;
    }
    if (folder == nullptr) {
        close(fd);
        return true;
    }
    if (folder->adopted()) close(folderFd(*folder));
    folder->handle = fd;
    folder->realPath.clear();
    for (const std::string& level : levels) folder->realPath += "/" + level;
    if (folder->realPath.empty()) folder->realPath = "/";
    return true;
}

intptr_t openBootFile(const BootFolder& folder, const char* name, BootFileState* state, const char** problem) {
    const char* why = nullptr;
    Fd fd(openat(folderFd(folder), name, O_RDONLY | kOpenFlags));
    *state = BootFileState::trusted;
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            *state = BootFileState::missing;
            return -1;
        }
        why = openProblem(errno);
        *state = BootFileState::untrusted;
    } else if ((why = regularFileProblem(fd.get())) != nullptr) {
        *state = BootFileState::untrusted;
    }
    if (problem != nullptr) *problem = why;
    if (*state != BootFileState::trusted) return -1;
    makeBlocking(fd.get());
    return fd.release();
}

void closeBootFile(intptr_t handle) {
    if (handle >= 0) close(static_cast<int>(handle));
}

BootFileState bootFileState(const BootFolder& folder, const char* name, const char** problem) {
    BootFileState state;
    closeBootFile(openBootFile(folder, name, &state, problem));
    return state;
}

bool moveBootFileAside(const BootFolder& folder, const char* name, const char* suffix) {
    std::string aside = std::string(name) + suffix + randomHex(16);
    return renameat(folderFd(folder), name, folderFd(folder), aside.c_str()) == 0;
}

namespace {

// The log as it is, when it is ours; else -1 after removing whatever has
// its name (a link, a FIFO, another user's file).
int openTrustedLog(const BootFolder& folder, const char* name) {
    Fd fd(openat(folderFd(folder), name, O_WRONLY | kOpenFlags));
    if (fd.get() >= 0 && regularFileProblem(fd.get()) == nullptr) {
        // An older log may have been readable by others.
        fchmod(fd.get(), 0600);
        return ftruncate(fd.get(), 0) == 0 ? fd.release() : -1;
    }
    if (fd.get() >= 0 || errno != ENOENT) removeBootFile(folder, name);
    return -1;
}

}  // namespace

FILE* openBootLog(const BootFolder& folder, const char* name) {
    int existing = openTrustedLog(folder, name);
    Fd fd(existing >= 0 ? existing : createExclusive(folder, name));
    if (fd.get() < 0) return nullptr;
    makeBlocking(fd.get());
    FILE* file = fdopen(fd.get(), "wb");
    if (file != nullptr) fd.release();
    return file;
}

bool createBootFile(const BootFolder& folder, const char* name, std::string_view content) {
    Fd fd(createExclusive(folder, name));
    if (fd.get() < 0) return false;
    makeBlocking(fd.get());
    if (writeAll(fd.get(), content)) return true;
    int error = errno;
    removeBootFile(folder, name);
    errno = error;
    return false;
}

bool removeBootFile(const BootFolder& folder, const char* name) {
    if (unlinkat(folderFd(folder), name, 0) == 0 || errno == ENOENT) return true;
    // Linux answers EISDIR for a folder, but POSIX lets unlink answer EPERM
    // (macOS does): both mean "a folder, try rmdir".
    return (errno == EISDIR || errno == EPERM) && unlinkat(folderFd(folder), name, AT_REMOVEDIR) == 0;
}

bool makeBootFilePrivate(intptr_t handle) {
    return handle >= 0 && fchmod(static_cast<int>(handle), 0600) == 0;
}

bool publishBootFile(const BootFolder& folder, const char* from, const char* to) {
    {
        Fd fd(openat(folderFd(folder), from, O_RDONLY | kOpenFlags));
        if (fd.get() >= 0) fsync(fd.get());
    }
    if (renameat(folderFd(folder), from, folderFd(folder), to) != 0) return false;
    fsync(folderFd(folder));
    return true;
}

std::vector<std::string> bootFileNames(const BootFolder& folder, std::string_view prefix, std::string_view suffix) {
    std::vector<std::string> names;
    int fd = openat(folderFd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return names;
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix)) {
            names.emplace_back(name);
        }
    }
    closedir(dir);
    return names;
}

BootFileLock::~BootFileLock() {
    if (handle_ >= 0) close(static_cast<int>(handle_));  // releases the lock
}

namespace {

// The lock file of that name, made where it is missing; one that is not the
// library's own (a link, a FIFO, another user's, another file's second name)
// is replaced by one that is. -1 when neither can be had.
int openOwnLockFile(const BootFolder& folder, const char* name) {
    Fd fd(openat(folderFd(folder), name, O_RDWR | O_CREAT | kOpenFlags, 0600));
    if (fd.get() >= 0 && regularFileProblem(fd.get()) == nullptr) return fd.release();
    if (fd.get() < 0 && errno == ENOENT) return -1;
    if (fd.get() >= 0) close(fd.release());
    if (!removeBootFile(folder, name)) return -1;
    Fd created(openat(folderFd(folder), name, O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0600));
    return created.get() >= 0 && regularFileProblem(created.get()) == nullptr ? created.release() : -1;
}

}  // namespace

BootFileLock::Outcome BootFileLock::acquire(const BootFolder& folder, const char* name, int timeoutSeconds) {
    Fd fd(openOwnLockFile(folder, name));
    if (fd.get() < 0) return Outcome::unsupported;
    long long deadline = monotonicMillis() + static_cast<long long>(timeoutSeconds) * 1000;
    // Polled rather than blocking: a blocking flock could only be cut short
    // by a signal, and the JVM's signal handling is not ours to touch.
    for (long pause = 10;; pause = pause < 200 ? pause * 2 : 200) {
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR) return Outcome::unsupported;
        if (timeoutSeconds > 0 && monotonicMillis() >= deadline) return Outcome::timedOut;
        sleepMillis(pause);
    }
    handle_ = fd.release();
    return Outcome::locked;
}

BootFileLock::Outcome BootFileLock::tryAcquire(const BootFolder& folder, const char* name) {
    Fd fd(openat(folderFd(folder), name, O_RDWR | kOpenFlags));
    if (fd.get() < 0 || regularFileProblem(fd.get()) != nullptr) return Outcome::unsupported;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? Outcome::timedOut : Outcome::unsupported;
    if (handle_ >= 0) close(static_cast<int>(handle_));
    handle_ = fd.release();
    return Outcome::locked;
}

long long bootFileAgeSeconds(const BootFolder& folder, const char* name) {
    struct stat st;
    if (fstatat(folderFd(folder), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    time_t now = time(nullptr);
    return now > st.st_mtime ? static_cast<long long>(now - st.st_mtime) : 0;
}

bool fillRandom(unsigned char* bytes, size_t count) {
#ifdef SYS_getrandom
    // Called through syscall: the C library's wrapper is newer than the
    // oldest C library the library supports.
    if (syscall(SYS_getrandom, bytes, count, 0) == static_cast<long>(count)) return true;
#endif
    Fd urandom(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    return urandom.get() >= 0 && read(urandom.get(), bytes, count) == static_cast<ssize_t>(count);
}
