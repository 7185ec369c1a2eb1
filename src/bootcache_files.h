// Files in the bootstrap folder. The folder is opened once, when it is
// chosen, and every file in it is reached through that open folder without
// following links, so that nothing another user can write or plant is ever
// read, written or loaded into the JVM. Only a folder and files of the
// effective user (or root) that nobody else may write are trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Why a folder may not serve as the bootstrap folder (a link, not a
// directory, another user's, writable by group or others, not writable),
// or null when it may.
const char* bootFolderProblem(const char* path);
// Whether the problem is one of trust (a link, another user's, writable by
// others) rather than of a folder that is missing or read-only.
bool isTrustProblem(const char* problem);
// Makes `path` the folder that the functions below work in, when it passes
// the same checks; else answers why not. Kept open for the process's life.
const char* adoptBootFolder(const char* path);

enum class BootFileState { missing, trusted, untrusted };
// Whether the named file of the folder exists and may be trusted; `problem`
// (when given) receives why an existing file may not.
BootFileState bootFileState(const char* name, const char** problem = nullptr);

// Opens the log file of the folder for writing from its start: an untrusted
// file of that name (a link, a FIFO, another user's) is removed and the log
// created anew. Null when that fails too. Never blocks.
FILE* openBootLog(const char* name);
// Creates the named file, which must not exist yet, with mode 0600 and the
// given content.
bool createBootFile(const char* name, std::string_view content = {});
// Removes the named file (or empty folder); true when it is gone.
bool removeBootFile(const char* name);
// Makes `from` durable and renames it over `to` atomically, then makes the
// rename durable. False, with errno set, when the rename fails.
bool publishBootFile(const char* from, const char* to);
// The names of the folder that start with `prefix` and end with `suffix`.
std::vector<std::string> bootFileNames(std::string_view prefix, std::string_view suffix);
// Seconds since the named file was last written; -1 when it is missing.
long long bootFileAgeSeconds(const char* name);

// An exclusive lock on a lock file of the folder, held until destruction.
class BootFileLock {
public:
    enum class Outcome { locked, unsupported, timedOut };
    BootFileLock() = default;
    BootFileLock(const BootFileLock&) = delete;
    BootFileLock& operator=(const BootFileLock&) = delete;
    ~BootFileLock();
    // Waits at most `timeoutSeconds` (0: no limit) for the lock.
    Outcome acquire(const char* name, int timeoutSeconds);
    // Takes the lock of an existing lock file if nobody holds it: locked,
    // timedOut when somebody does, unsupported when it cannot tell.
    Outcome tryAcquire(const char* name);

private:
    intptr_t handle_ = -1;  // a descriptor, or a HANDLE on Windows
};

// Hex digits from the system's random source, for names nobody can guess.
std::string randomHex(size_t digits);
// Fills `bytes` from the system's random source; false when there is none.
bool fillRandom(unsigned char* bytes, size_t count);
