// Reading a whole file into private memory, for data that must stay intact
// while the file changes underneath: a mapping of a file that another
// process truncates faults (SIGBUS) at its next access, a private copy never
// does. Every open here is one that cannot block: a FIFO or a device named
// where a file is expected is refused, never waited on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The bytes of the regular file at `path` in a new heap buffer (free), their
// count in *size; null for a missing, unreadable, empty or non-regular file
// (a FIFO is never opened for a blocking read).
uint8_t* readWholeFile(const char* path, size_t* size);
// The same for the file of an open handle (a descriptor; a HANDLE on
// Windows), read from its start; the handle stays the caller's.
uint8_t* readWholeHandle(intptr_t handle, size_t* size);

// Why a file named by the user could or could not be read.
enum class FileRead {
    ok,          // a regular file, read whole (an empty one too)
    missing,     // no such file (any more)
    notRegular,  // a FIFO, a device, a directory...: opened without blocking, never read
    unreadable,  // there, but this process may not open or read it
    // Opened, but not the user's to trust, so never read: another user
    // could have put it there or may change it.
    foreignOwner,    // it belongs to another user (and not to root)
    othersMayWrite,  // group or others may write it (Windows: its access list lets them)
};
// Why a file that could not be used was not, in words.
inline const char* fileReadProblem(FileRead read) {
    switch (read) {
        case FileRead::ok: return "";
        case FileRead::missing: return "it does not exist";
        case FileRead::notRegular: return "it is not a regular file";
        case FileRead::unreadable: return "it cannot be read";
        case FileRead::foreignOwner: return "it belongs to another user";
        case FileRead::othersMayWrite: return "other users may write it";
    }
    return "it cannot be read";
}
// The text of the regular file at `path`, opened once without blocking and
// read only when, on that open handle, it is a regular file of the user or
// root that nobody else may write.
FileRead readRegularFile(const char* path, std::string* text);
