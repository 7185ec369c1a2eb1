// Child processes on Linux and macOS: fork and exec with the output on a
// pipe. The child of a multithreaded JVM may only make async-signal-safe
// calls between fork and exec, so everything it needs is prepared before
// the fork.
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exec.h"
#include "list.h"
#include "logging.h"

namespace {

// Writes the FATAL line of a failed exec with write(2) only.
void reportExecFailure(int error) {
    char digits[16];
    int n = 0;
    unsigned value = static_cast<unsigned>(error);
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 16);
    static const char head[] = "Tarsil-JVMTI [FATAL] Failed to execute the child process (errno: ";
    static const char tail[] = ")\n";
    char line[sizeof head + sizeof digits + sizeof tail];
    size_t length = 0;
    memcpy(line, head, sizeof head - 1);
    length += sizeof head - 1;
    while (n > 0) line[length++] = digits[--n];
    memcpy(line + length, tail, sizeof tail - 1);
    length += sizeof tail - 1;
    ssize_t ignored = write(2, line, length);
    (void)ignored;
}

// Closes every descriptor above standard error, so the child keeps none of
// the JVM's files and sockets.
void closeInheritedDescriptors() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
    struct rlimit limit;
    long highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<long>(limit.rlim_cur)
                       : 65536;
    for (long fd = 3; fd < highest; fd++) close(static_cast<int>(fd));
}

[[noreturn]] void runChild(int writeEnd, char* const* argv) {
    dup2(writeEnd, 1);
    dup2(writeEnd, 2);
    closeInheritedDescriptors();
    execv(argv[0], argv);
    reportExecFailure(errno);
    _exit(3);
}

ssize_t readRetrying(int fd, char* buffer, size_t size) {
    ssize_t n;
    do {
        n = read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

int waitRetrying(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

void copyOutput(int readEnd, size_t bufferSize) {
    HeapString buffer(static_cast<char*>(ts_checked_alloc(malloc(bufferSize > 0 ? bufferSize : 1))));
    bool seen = false;
    for (ssize_t n; (n = readRetrying(readEnd, buffer.get(), bufferSize)) > 0;) {
        if (!seen) log_write(TS_DEBUG, "Process output:");
        seen = true;
        log_write_raw(buffer.get(), static_cast<int>(n));
        fwrite(buffer.get(), 1, static_cast<size_t>(n), stdout);
    }
    fflush(stdout);
    if (seen) {
        log_write_raw("\n", 1);
        log_write(TS_DEBUG, "End process output.");
    }
}

void judge(int status, int fatal) {
    if ((status & 0x7f) != 0) {
        if (fatal == 1) {
            log_write(TS_FATAL,
                      "A fatal error occurred while processing the base Java classes. The JVM has been shut down "
                      "(wstatus: %d).",
                      status);
            fatal_error_kill(1);
        }
        log_write(TS_INFO, "Child JVM has been shut down (wstatus: %d).", status);
        return;
    }
    int code = (status & 0xff00) >> 8;
    if (code == 0) return;
    if (fatal == 1) {
        log_write(TS_FATAL,
                  "A fatal error occurred while processing the base Java classes. The JVM has been shut down "
                  "(exit code: %d).",
                  code);
        fatal_error_kill(1);
    }
    log_write(TS_INFO, "Child JVM has been shut down (exit code: %d).", code);
}

}  // namespace

void execAndReadStdOut2(int argc, char** argv, size_t bufferSize, int fatal, uint32_t* pidSlot) {
    {
        HeapString joined(lfts_join(", ", argv, argc));
        log_write(TS_DEBUG, "Executing [%s]", joined.get());
    }
    // The exec array is made here: the child may not allocate.
    auto** execArgs = static_cast<char**>(ts_checked_alloc(calloc(static_cast<size_t>(argc) + 1, sizeof(char*))));
    memcpy(execArgs, argv, sizeof(char*) * static_cast<size_t>(argc));

    int fds[2];
    if (pipe(fds) != 0) {
        // A child that may fail (the debugger proxy) must not end the JVM.
        if (fatal != 1) {
            log_write(TS_ERROR, "Failed to create a pipe (errno: %d)", errno);
            free(execArgs);
            return;
        }
        log_write(TS_FATAL, "Failed to create a pipe (errno: %d)", errno);
        fatal_error_kill(1);
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        runChild(fds[1], execArgs);
    }
    if (pid < 0 && fatal != 1) {
        log_write(TS_ERROR, "Failed to fork a child process (errno: %d)", errno);
        free(execArgs);
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (pid < 0) {
        log_write(TS_FATAL, "Failed to fork a child process (errno: %d)", errno);
        fatal_error_kill(1);
    }
    free(execArgs);
    close(fds[1]);
    log_write(TS_DEBUG, "Child PID: %d", static_cast<int>(pid));
    if (pidSlot != nullptr) *pidSlot = static_cast<uint32_t>(pid);

    copyOutput(fds[0], bufferSize);
    int status = waitRetrying(pid);
    close(fds[0]);
    judge(status, fatal);
}

void terminateProcess(uint32_t pid) {
    int result = kill(static_cast<pid_t>(pid), SIGKILL);
    if (result == 0) {
        log_write(TS_INFO, "Child process pid=%d killed.", static_cast<int>(pid));
    } else {
        log_write(TS_WARN, "Couldn't send kill signal to child process pid=%d: res=%d.", static_cast<int>(pid), result);
    }
}
