// Two sinks, standard error and the log file, each with its own threshold.
// A line is formatted once and written whole under a lock, so lines of
// concurrent threads never interleave and Agent_OnUnload can close the file
// while other threads still log. Logging sits under everything: it is told
// which file to write once the bootstrap folder is chosen, and holds the
// lines logged before that for the file.
#include "logging.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <string>

int stderr_loglevel = 1;
int file_loglevel = 4;
int log_to_file = 0;
char* logFilePath = nullptr;
FILE* log_file = nullptr;

namespace {

constexpr char kSupportContact[] = "support@tarsil.lindenforgesys.com";

// Guards log_file: held while one line is written and while the file closes.
// Constant-initialised, so it works before and after static construction.
std::mutex fileLock;
// Mirrors log_file != nullptr for the lock-free test of whether a line has
// any sink at all.
std::atomic<bool> fileOpen{false};
// Until the file is opened (or file logging is stopped first), the lines
// the file would get are held here, in order and bounded, for the file.
std::atomic<bool> holding{true};
std::string held;
constexpr size_t kHeldLimit = 64 * 1024;

void holdLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(fileLock);
    if (!holding.load(std::memory_order_relaxed)) return;
    if (held.size() + line.size() <= kHeldLimit) held += line;
}

void writeLine(FILE* stream, const std::string& line) {
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
}

std::string formatLine(const char* levelName, const char* format, va_list args) {
    std::string line = "Tarsil-JVMTI [";
    line += levelName;
    line += "] ";
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) length = 0;
    if (static_cast<size_t>(length) < sizeof small) {
        line.append(small, length);
    } else {
        size_t start = line.size();
        line.resize(start + length + 1);
        vsnprintf(line.data() + start, length + 1, format, args);
        line.resize(start + length);
    }
    line += '\n';
    return line;
}

}  // namespace

void log_write(int level, const char* levelName, const char* format, ...) {
    bool toStderr = level <= stderr_loglevel;
    bool toFile = level <= file_loglevel && fileOpen.load(std::memory_order_acquire);
    bool toHeld = level <= file_loglevel && holding.load(std::memory_order_acquire);
    if (!toStderr && !toFile && !toHeld) return;

    va_list args;
    va_start(args, format);
    std::string line = formatLine(levelName, format, args);
    va_end(args);

    if (toStderr) writeLine(stderr, line);
    if (toHeld) holdLine(line);
    if (toFile) {
        std::lock_guard<std::mutex> guard(fileLock);
        if (log_file != nullptr) writeLine(log_file, line);
    }
}

void log_stderr(int level) {
    stderr_loglevel = level;
}

namespace {

// Ends the holding of lines; what was held goes to `file` when there is one.
void releaseHeldLines(FILE* file) {
    holding.store(false, std::memory_order_release);
    if (file != nullptr && !held.empty()) fwrite(held.data(), 1, held.size(), file);
    held.clear();
    held.shrink_to_fit();
}

}  // namespace

void hold_lines_for_file() {
    std::lock_guard<std::mutex> guard(fileLock);
    if (log_file != nullptr) return;
    held.clear();
    holding.store(true, std::memory_order_release);
}

void start_file_logging(int level, FILE* file, const char* path) {
    // The path is named by a fatal end; the earlier one, if any, is kept
    // (it is never freed, as a thread may be printing it).
    if (logFilePath == nullptr || strcmp(logFilePath, path) != 0) logFilePath = strdup(path);
    file_loglevel = level;
    log_to_file = 1;
    if (file == nullptr) {
        {
            std::lock_guard<std::mutex> guard(fileLock);
            releaseHeldLines(nullptr);
        }
        log_write(TS_ERROR, "Unable to start logging to file %s", path);
        return;
    }
    std::lock_guard<std::mutex> guard(fileLock);
    releaseHeldLines(file);
    fflush(file);
    log_file = file;
    fileOpen.store(true, std::memory_order_release);
}

void init_file_logging(int level, const char* path) {
    start_file_logging(level, fopen(path, "wb"), path);
}

void stop_file_logging() {
    log_to_file = 0;
    std::lock_guard<std::mutex> guard(fileLock);
    releaseHeldLines(nullptr);
    fileOpen.store(false, std::memory_order_release);
    if (log_file != nullptr) {
        fclose(log_file);
        log_file = nullptr;
    }
}

void log_write_raw(const char* bytes, int length) {
    if (!fileOpen.load(std::memory_order_acquire) || length <= 0) return;
    std::lock_guard<std::mutex> guard(fileLock);
    if (log_file != nullptr) fwrite(bytes, 1, static_cast<size_t>(length), log_file);
}

int is_log_debug_enabled() {
    return stderr_loglevel > 3 || (fileOpen.load(std::memory_order_acquire) && file_loglevel > 3);
}

namespace {

std::atomic<void (*)()> fatalCleanup{nullptr};

}  // namespace

void set_fatal_cleanup(void (*cleanup)()) {
    fatalCleanup.store(cleanup);
}

void exit_now(int status) {
    fflush(stdout);
    fflush(stderr);
    {
        std::lock_guard<std::mutex> guard(fileLock);
        if (log_file != nullptr) fflush(log_file);
    }
    // exit() would run static destructors (the bootstrap jar reader's among
    // them) while other threads may still be inside the class-load hook.
    std::_Exit(status);
}

void fatal_error_kill(int verbose) {
    if (void (*cleanup)() = fatalCleanup.exchange(nullptr)) cleanup();
    if (verbose) {
        fputs("\n", stderr);
        if (log_to_file && logFilePath != nullptr) fprintf(stderr, "Check the log file %s for more details.\n", logFilePath);
        fprintf(stderr, "For further assistance please contact %s\n", kSupportContact);
    }
    exit_now(3);
}
