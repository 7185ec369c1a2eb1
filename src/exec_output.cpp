// The copy of a child's output to the log and standard error, the same on
// every platform: bounded, so that a child that keeps writing can neither
// fill the disk nor the console. Never to standard output, which belongs to
// the application (its output may be data, as in `java -jar tool.jar >
// out.json`).
#include <cstdio>

#include "exec.h"
#include "logging.h"

void ChildOutput::copy(const char* bytes, size_t count) {
    if (count == 0) return;
    if (!seen_) log_write(TS_DEBUG, "Process output:");
    seen_ = true;
    size_t taken = count < cap_ - copied_ ? count : cap_ - copied_;
    if (taken > 0) {
        log_write_raw(bytes, static_cast<int>(taken));
        fwrite(bytes, 1, taken, stderr);
        copied_ += taken;
    }
    omitted_ += count - taken;
}

void ChildOutput::finish(bool extraNewline) {
    if (!seen_) return;
    log_write_raw("\n", 1);
    if (extraNewline) fputs("\n", stderr);
    fflush(stderr);
    log_write(TS_DEBUG, "End process output.");
    if (omitted_ > 0) {
        // %lu: the C runtime of older Windows knows no %zu.
        log_write(TS_WARN, "%lu more bytes of the child process's output were left out (only the first %lu are kept)",
                  static_cast<unsigned long>(omitted_), static_cast<unsigned long>(cap_));
    }
}
