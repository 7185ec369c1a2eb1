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
};
// The text of the regular file at `path`, opened without blocking.
FileRead readRegularFile(const char* path, std::string* text);
