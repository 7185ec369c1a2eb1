// The JVM's command line on macOS. There is no /proc to read, but the C
// runtime keeps main's argument vector where a library can reach it.
#ifdef __APPLE__

#include <crt_externs.h>

#include "fileutils.h"

int getCommandLineArguments(int* argc, char*** argv) {
    *argc = *_NSGetArgc();
    *argv = *_NSGetArgv();
    return 0;
}

void freeCommandLineArguments(int /*argc*/, char** /*argv*/) {
    // The vector is the process's own; nothing was copied.
}

int isClassDataSharingArchiveMapped() {
    return 0;
}

#endif  // __APPLE__
