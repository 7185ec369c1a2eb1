// Where a bootstrap folder may be on Linux and macOS: the home, the
// temporary folder of last resort, and folders named by the user, which the
// walk in bootcache_files_nix takes as they are written.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bootcache_files.h"
#include "list.h"

namespace {

bool isDirFollowingLinks(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The home is a parent of the bootstrap folder: it may be a link (/home
// linked elsewhere). "/" is no home: it is what containers give a user
// without one.
bool isWritableHome(const char* path) {
    return std::string_view(path) != "/" && isDirFollowingLinks(path) && access(path, W_OK) == 0;
}

}  // namespace

int isDir(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int isDirWritable(const char* path) {
    return isDir(path) && access(path, W_OK) == 0;
}

// Levels on the way may be links to folders (/home linked elsewhere); the
// last level is made here or must be a real folder, which the caller checks.
int mkSubDirs(const char* path) {
    std::string copy = path;
    size_t start = copy.find_first_not_of('/');
    if (start == std::string::npos) start = copy.size();
    for (size_t slash = copy.find('/', start); slash != std::string::npos; slash = copy.find('/', slash + 1)) {
        copy[slash] = '\0';
        bool failed = !isDirFollowingLinks(copy.c_str()) && mkdir(copy.c_str(), 0700) != 0 && errno != EEXIST;
        copy[slash] = '/';
        if (failed) break;
    }
    return mkdir(copy.c_str(), 0700) == 0 ? 1 : 0;
}

char* getUserHome() {
    const char* home = getenv("HOME");
    if (home != nullptr && isWritableHome(home)) return lfts_dup(home);
    struct passwd* entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_dir != nullptr && isWritableHome(entry->pw_dir)) return lfts_dup(entry->pw_dir);
    return nullptr;
}

HomeNames homeNames() {
    return {"the home folder",
            "none usable: HOME unset, \"/\" or not writable, and no usable entry in the user database"};
}

std::vector<std::string> temporaryBases() {
    // A TMPDIR that is relative or names no folder is passed over, as the
    // C library's tmpfile does; /tmp comes after it in any case.
    std::vector<std::string> bases;
    const char* tmpdir = getenv("TMPDIR");
    if (tmpdir != nullptr && tmpdir[0] == '/' && isDirFollowingLinks(tmpdir) && std::string_view(tmpdir) != "/tmp") {
        bases.emplace_back(tmpdir);
    }
    bases.emplace_back("/tmp");
    return bases;
}

std::string temporaryFolderName() {
    return "tarsil-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

std::string userFolderPath(std::string_view path) {
    return std::string(path);
}

std::string folderBelow(std::string_view base, std::string_view name) {
    return std::string(base) + "/" + std::string(name);
}

const char* unsupportedFolderPath(const std::string& /*path*/) {
    return nullptr;
}

const char* folderPathTooLong(const std::string& realPath, size_t longestName) {
    // PATH_MAX counts the terminating NUL: a longer name fails to open with
    // ENAMETOOLONG, in the launcher's fopen of its argument file as anywhere.
    if (realPath.size() + 1 + longestName < PATH_MAX) return nullptr;
    return "its real path is too long: the paths of the files kept in it would exceed PATH_MAX";
}

char* finishBootstrapFolder(const char* folder) {
    return lfts_concat(folder, "/");
}
