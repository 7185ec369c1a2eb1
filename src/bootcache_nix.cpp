// The bootstrap folder on Linux and macOS.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "agent_util.h"
#include "bootcache.h"
#include "bootcache_files.h"
#include "list.h"
#include "logging.h"

namespace {

// The folder of one source, walked and adopted when every level of its path
// can be trusted: its real path. Else null, the reason in *why (when asked
// for); a refusal of trust is worth a warning.
char* trustedFolder(const std::string& folder, const char* source, std::string* why = nullptr) {
    std::string reason;
    if (why == nullptr) why = &reason;
    std::string realPath;
    FolderRefusal refusal;
    if (adoptBootFolder(folder.c_str(), &realPath, &refusal)) return lfts_dup(realPath.c_str());
    *why = describeRefusal(folder, refusal);
    if (refusal.trust) log_write(TS_WARN, "Not using %s as the bootstrap folder: %s", folder.c_str(), why->c_str());
    noteTriedSource(std::string(source) + " " + folder + " (" + *why + ")");
    return nullptr;
}

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

long getPid() {
    return static_cast<long>(getpid());
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

char* getBootstrapFromProperty(jvmtiEnv* jvmti) {
    JvmtiString dir = getSystemProperty(jvmti, "vesta.bootcache.dir");
    if (!dir) return nullptr;
    return trustedFolder(dir.get(), "'vesta.bootcache.dir'");
}

char* getBootstrapFromVestaBase(jvmtiEnv* jvmti) {
    std::string base;
    bool fromProperty = false;
    if (JvmtiString property = getSystemProperty(jvmti, "vesta.base")) {
        base = property.get();
        fromProperty = true;
    } else if (const char* env = getenv("VESTA_BASE")) {
        base = env;
    } else {
        return nullptr;
    }
    std::string folder = base + "/bootcache";
    std::string why;
    if (char* usable = trustedFolder(folder, fromProperty ? "'vesta.base'" : "VESTA_BASE", &why)) return usable;
    if (fromProperty) {
        log_write(TS_FATAL,
                  "Couldn't write to %s (%s). Please make sure that this location exists and is writable, or "
                  "specify another location by changing the 'vesta.base' system property.",
                  folder.c_str(), why.c_str());
    } else {
        log_write(TS_FATAL,
                  "Couldn't write to %s (%s). Please make sure that this location exists and is writable, or "
                  "specify another location by changing the 'VESTA_BASE' system environment variable.",
                  folder.c_str(), why.c_str());
    }
    fatal_error_kill(0);
}

char* getUserHome() {
    const char* home = getenv("HOME");
    if (home != nullptr && isWritableHome(home)) return lfts_dup(home);
    struct passwd* entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_dir != nullptr && isWritableHome(entry->pw_dir)) return lfts_dup(entry->pw_dir);
    return nullptr;
}

char* getBootstrapFromUserHome() {
    HeapString home(getUserHome());
    if (!home) {
        log_write(TS_DEBUG, "Error finding user home, got NULL!");
        noteTriedSource("the home folder (none usable: HOME unset, \"/\" or not writable, and no usable entry in "
                        "the user database)");
        return nullptr;
    }
    std::string folder = std::string(home.get()) + "/.tarsil/bootcache";
    if (!isDir(folder.c_str())) log_write(TS_DEBUG, "%s is not a dir, trying to make it!", folder.c_str());
    if (char* usable = trustedFolder(folder, "the home folder's")) return usable;
    log_write(TS_DEBUG, "%s wasn't writable... a dir: %d", folder.c_str(), isDir(folder.c_str()));
    return nullptr;
}

char* getBootstrapFromTemporaryFolder() {
    const char* tmpdir = getenv("TMPDIR");
    std::string base = tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp";
    std::string folder = base + "/tarsil-" + std::to_string(static_cast<unsigned long>(geteuid())) + "/bootcache";
    return trustedFolder(folder, "the temporary folder's");
}

char* getJavaExecutable(const char* javaHome) {
    char* executable = lfts_concat(javaHome, "/bin/java");
    log_write(TS_DEBUG, "using java executable %s", executable);
    return executable;
}

char* finishBootstrapFolder(const char* folder) {
    return lfts_concat(folder, "/");
}
