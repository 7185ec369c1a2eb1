// The platform's part of the bootstrap folder, which a new port implements:
// where folders may be (the home, the temporary base), the walk that adopts a
// folder only when no level of its path can be changed by another user, and
// the operations on the files of an adopted folder. Every file is reached
// through the open folder without following links, so that nothing another
// user can write or plant is ever read, written or loaded into the JVM. Only
// a folder and files of the effective user (or root) that nobody else may
// write are trusted. Which folder is chosen, and what a refusal means, is
// decided above, in bootcache_folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// An adopted bootstrap folder. It stays open for the process's life: the
// files below are reached through it, and on Windows the open folder keeps
// every level of its path from being renamed.
struct BootFolder {
    std::string realPath;  // the real path walked, without a trailing separator
    intptr_t handle = -1;  // the open folder: a descriptor, or a HANDLE on Windows
    // The folder as it is handed on (the JVM's boot class path, the child's
    // files): the real path with the platform's separator appended, on
    // Windows in a form the ANSI code page can express.
    std::string path;
    bool adopted() const { return handle != -1; }
};

// Why a folder was refused: the level of its real path that failed (the
// folder itself or one above it) and the reason ("it belongs to another
// user"...).
struct FolderRefusal {
    std::string level;
    const char* reason = "";
    // A refusal of trust (a link, another user's, writable by others),
    // rather than a folder that cannot be made or written.
    bool trust = false;
};
// Makes the folder at `path` the one the functions below work in. Its real
// path is walked from the root, level by level, never through a link;
// missing levels are made with mode 0700 on the way and checked like the
// others. Every level must be the user's or root's and writable by nobody
// else, but a level others may write that carries the sticky bit (as /tmp
// does) is passed, the level below it being the user's or root's like any;
// the folder itself must be writable by the user. On success *folder holds
// the real path walked and the open folder (its `path` is left to the
// caller, see finishBootstrapFolder). Windows: the folder is made first where
// it is missing, the owners and the access lists say the same, and the open
// folder keeps every level of its path from being renamed.
bool adoptBootFolder(const char* path, BootFolder* folder, FolderRefusal* refusal = nullptr);

enum class BootFileState { missing, trusted, untrusted };
// Whether the named file of the folder exists and may be trusted; `problem`
// (when given) receives why an existing file may not.
BootFileState bootFileState(const BootFolder& folder, const char* name, const char** problem = nullptr);
// A file of the folder may be trusted when it is a regular file of the user
// (or root) that nobody else may write and that has no other name (one link:
// a hard link made elsewhere would let a write here change that file).
//
// Opens the named file of the folder for reading when it may be trusted:
// its handle (a descriptor; a HANDLE on Windows), which the caller checks
// and uses, so that the file checked is the file used. -1 otherwise, with
// the state. Closed with closeBootFile.
intptr_t openBootFile(const BootFolder& folder, const char* name, BootFileState* state, const char** problem = nullptr);
void closeBootFile(intptr_t handle);
// Moves the named entry (a folder in the way of a file, say) aside to a
// name of its own with `suffix` and a random part; true when it went.
bool moveBootFileAside(const BootFolder& folder, const char* name, const char* suffix);

// Opens the log file of the folder for writing from its start: an untrusted
// file of that name (a link, a FIFO, another user's) is removed and the log
// created anew. Null when that fails too. Never blocks.
FILE* openBootLog(const BootFolder& folder, const char* name);
// Creates the named file, which must not exist yet, with mode 0600 and the
// given content.
bool createBootFile(const BootFolder& folder, const char* name, std::string_view content = {});
// Removes the named file (or empty folder); true when it is gone.
bool removeBootFile(const BootFolder& folder, const char* name);
// Makes the file of an open handle (from openBootFile) the user's alone,
// whoever wrote its bytes: mode 0600; Windows: the user-only access list.
bool makeBootFilePrivate(intptr_t handle);
// Makes `from` durable and renames it over `to` atomically, then makes the
// rename durable. False, with errno set, when the rename fails.
bool publishBootFile(const BootFolder& folder, const char* from, const char* to);
// The names of the folder that start with `prefix` and end with `suffix`.
std::vector<std::string> bootFileNames(const BootFolder& folder, std::string_view prefix, std::string_view suffix);
// Seconds since the named file was last written; -1 when it is missing.
long long bootFileAgeSeconds(const BootFolder& folder, const char* name);

// An exclusive lock on a lock file of the folder, held until destruction.
class BootFileLock {
public:
    enum class Outcome { locked, unsupported, timedOut };
    BootFileLock() = default;
    BootFileLock(const BootFileLock&) = delete;
    BootFileLock& operator=(const BootFileLock&) = delete;
    ~BootFileLock();
    // Waits at most `timeoutSeconds` (0: no limit) for the lock.
    Outcome acquire(const BootFolder& folder, const char* name, int timeoutSeconds);
    // Takes the lock of an existing lock file if nobody holds it: locked,
    // timedOut when somebody does, unsupported when it cannot tell.
    Outcome tryAcquire(const BootFolder& folder, const char* name);

private:
    intptr_t handle_ = -1;  // a descriptor, or a HANDLE on Windows
};

// Hex digits from the system's random source, for names nobody can guess.
std::string randomHex(size_t digits);
// Fills `bytes` from the system's random source; false when there is none.
bool fillRandom(unsigned char* bytes, size_t count);

// Where folders may be, per platform.
//
// The user's home (Windows: the profile folder) when there is a usable one:
// "/" is no home (containers give it to a user without one), and it must be
// a writable folder, which may be reached through links. Null otherwise; a
// new heap string.
char* getUserHome();
// How the platform calls the home in messages ("the home folder") and why
// none was usable.
struct HomeNames {
    const char* name;
    const char* noneUsable;
};
HomeNames homeNames();
// The folder of last resort for users without a usable home (containers
// with an arbitrary uid) is <base>/<temporaryFolderName()>/bootcache, in the
// first of these bases where it can be adopted: TMPDIR when it is absolute
// and an existing folder, then /tmp; Windows: the user's temporary folder.
// Empty when there is no temporary folder.
std::vector<std::string> temporaryBases();
// The user's own folder below a base: "tarsil-<uid>"; Windows: "tarsil".
std::string temporaryFolderName();
// A folder the user names, in the platform's form (Windows: backslashes and,
// for a base folder, its full path), and `name` below it.
std::string userFolderPath(std::string_view path);
std::string folderBelow(std::string_view base, std::string_view name);
// Why the platform cannot take a folder at that path at all (Windows: too
// long or in the \\?\ form), or null.
const char* unsupportedFolderPath(const std::string& path);
// Why the files of the adopted folder at `realPath` cannot all be reached by
// name, when the longest of their names has `longestName` characters: the
// path of such a file would exceed the platform's limit, past which the
// JVM, the child JVM's launcher (which opens its argument file by name) or
// the library cannot open it. Null when they can.
const char* folderPathTooLong(const std::string& realPath, size_t longestName);
// The folder's `path` as it is handed on (see BootFolder); may end the
// process where no such form exists (Windows: not in the ANSI code page).
char* finishBootstrapFolder(const char* folder);
int mkSubDirs(const char* path);
int isDir(const char* path);
int isDirWritable(const char* path);
