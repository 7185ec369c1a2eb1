// Diagnostics of the agent: one line format, two sinks (standard error and the
// log file in the bootstrap folder), each with its own threshold, and the
// fatal exit that ends the JVM process with status 3.
#pragma once

#include <cstdio>

#if defined(__GNUC__)
#define TS_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TS_PRINTF_FORMAT(fmt, args)
#endif

// Level number and printed name always travel together.
#define TS_FATAL 0, "FATAL"
#define TS_ERROR 1, "ERROR"
#define TS_WARN 2, "WARN"
#define TS_INFO 3, "INFO"
#define TS_DEBUG 4, "DEBUG"

extern int stderr_loglevel;
extern int file_loglevel;
extern int log_to_file;
extern char* logFilePath;
extern FILE* log_file;

void log_write(int level, const char* levelName, const char* format, ...) TS_PRINTF_FORMAT(3, 4);
void log_stderr(int level);

// Holds the lines the log file would get from now until it is opened (as
// from the process's start; Agent_OnLoad says so again, for its order).
void hold_lines_for_file();
// Starts the log file sink on `file`, opened by the caller at `path` (null:
// it could not be opened, which is reported). Lines logged before go to
// the file first.
void start_file_logging(int level, FILE* file, const char* path);
// The same for the file at `path`, opened here.
void init_file_logging(int level, const char* path);
void stop_file_logging();

// Copies bytes verbatim into the log file, when one is open.
void log_write_raw(const char* bytes, int length);
int is_log_debug_enabled();

// Flushes standard output, standard error and the log file and ends the
// process with `status` at once, without exit handlers or static destructors.
[[noreturn]] void exit_now(int status);
[[noreturn]] void fatal_error_kill(int verbose);
// Work to undo should the process end through fatal_error_kill meanwhile
// (one at a time; null clears it).
void set_fatal_cleanup(void (*cleanup)());
