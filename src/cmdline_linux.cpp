// The JVM's command line on Linux, read from /proc/<pid>/cmdline: the
// arguments separated by NUL bytes.
#include "cmdline_linux.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fileutils.h"
#include "list.h"
#include "logging.h"

void splitProcCmdline(std::string_view bytes, int* argc, char*** argv) {
    // An argument counts only when its terminating NUL was read; an empty
    // argument (two NULs in a row) ends the list.
    int count = 0;
    for (size_t i = 1; i < bytes.size(); i++) {
        if (bytes[i] != '\0') continue;
        if (bytes[i - 1] == '\0') break;
        count++;
    }
    if (bytes.size() == kCmdlineReadLimit) {
        log_write(TS_WARN, "Did not reach end of file when reading cmdline");
        if (count > 0) count--;
    }

    auto** args = static_cast<char**>(ts_checked_alloc(malloc(sizeof(char*) * (count > 0 ? count : 1))));
    size_t offset = 0;
    for (int i = 0; i < count; i++) {
        std::string_view rest = bytes.substr(offset);
        std::string_view arg = rest.substr(0, rest.find('\0'));
        args[i] = lfts_ndup(arg.data(), arg.size());
        offset += arg.size() + 1;
    }
    *argc = count;
    *argv = args;
}

int getCommandLineArguments(int* argc, char*** argv) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(getpid()));
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        log_write(TS_DEBUG, "Failed opening %s", path);
        return 1;
    }
    HeapString buffer(static_cast<char*>(ts_checked_alloc(malloc(kCmdlineReadLimit + 1))));
    size_t bytesRead = fread(buffer.get(), 1, kCmdlineReadLimit, file);
    fclose(file);
    buffer.get()[bytesRead] = '\0';
    splitProcCmdline(std::string_view(buffer.get(), bytesRead), argc, argv);
    return 0;
}

void freeCommandLineArguments(int argc, char** argv) {
    if (argv == nullptr) return;
    std::for_each(argv, argv + argc, free);
    free(argv);
}

int isClassDataSharingArchiveMapped() {
    std::unique_ptr<FILE, int (*)(FILE*)> maps(fopen("/proc/self/maps", "r"), fclose);
    if (!maps) return 0;
    char line[4196];
    while (fgets(line, sizeof line, maps.get()) != nullptr) {
        if (strstr(line, "classes.jsa") != nullptr) return 1;
    }
    return 0;
}
