// Child processes on Linux and macOS: fork and exec with the output on a
// pipe. The child of a multithreaded JVM may only make async-signal-safe
// calls between fork and exec, so everything it needs is prepared before
// the fork.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#ifdef __linux__
#include <sys/syscall.h>  // close_range and getrandom, by number
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "exec.h"
#include "list.h"
#include "logging.h"

extern char** environ;

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

// The descriptors open now, read before the fork: the child may not
// allocate, and where close_range is missing it closes exactly these
// instead of every number up to a limit that may be in the billions.
std::vector<int> openDescriptors() {
    std::vector<int> fds;
#ifdef __APPLE__
    const char* folder = "/dev/fd";
#else
    const char* folder = "/proc/self/fd";
#endif
    DIR* dir = opendir(folder);
    if (dir == nullptr) return fds;
    while (struct dirent* entry = readdir(dir)) {
        int fd = atoi(entry->d_name);
        if (fd > 2) fds.push_back(fd);
    }
    closedir(dir);
    return fds;
}

// Closes every descriptor above standard error, so the child keeps none of
// the JVM's files and sockets.
void closeInheritedDescriptors(const std::vector<int>& known) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
    if (!known.empty()) {
        for (int fd : known) close(fd);
        return;
    }
    constexpr long kSaneLimit = 65536;
    struct rlimit limit;
    long highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? std::min(static_cast<long>(limit.rlim_cur), kSaneLimit)
                       : kSaneLimit;
    for (long fd = 3; fd < highest; fd++) close(static_cast<int>(fd));
}

[[noreturn]] void runChild(int writeEnd, char* const* argv, char* const* envp, const std::vector<int>& known,
                           pid_t parent, bool ownGroup) {
    // A group of its own lets a time limit end the child with everything
    // it started.
    if (ownGroup) setpgid(0, 0);
#ifdef __linux__
    // Dies with the JVM: a killed JVM must not leave its child running.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(3);
#else
    (void)parent;
#endif
    dup2(writeEnd, 1);
    dup2(writeEnd, 2);
    // A pipe end that already was 1 or 2 (the JVM runs with those closed)
    // keeps its close-on-exec flag through dup2.
    ioctl(1, FIONCLEX);
    ioctl(2, FIONCLEX);
    closeInheritedDescriptors(known);
    if (envp != nullptr) {
        execve(argv[0], argv, envp);
    } else {
        execv(argv[0], argv);
    }
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

// One child being run: its end and its time limit.
struct Child {
    pid_t pid = -1;
    bool ownGroup = false;
    long long deadline = -1;  // monotonic milliseconds; -1: none
    bool exited = false;
    bool timedOut = false;
    int status = 0;
    int waitError = 0;  // errno of a failed waitpid

    bool pastDeadline() const { return deadline >= 0 && monotonicMillis() >= deadline; }
    // Milliseconds a wait may take before the deadline needs a look.
    int pollMillis(int longest) const {
        if (deadline < 0) return longest;
        long long left = deadline - monotonicMillis();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, longest));
    }

    // Collects the child's status without blocking; true once it ended.
    bool ended() {
        if (exited) return true;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exited = true;
        } else if (done < 0 && errno != EINTR) {
            // ECHILD when SIGCHLD is ignored and the child was reaped for
            // us: its status is lost, which is no success.
            waitError = errno;
            exited = true;
        }
        return exited;
    }

    // How it ended, for the caller to judge.
    ChildRun outcome(bool outputCut) const {
        ChildRun run;
        run.outputCut = outputCut;
        if (timedOut) {
            run.end = ChildRun::End::timedOut;
        } else if (waitError != 0) {
            run.end = ChildRun::End::unknown;
            run.error = waitError;
            run.errorText = "errno: " + std::to_string(waitError);
        } else if (WIFEXITED(status)) {
            run.end = ChildRun::End::exited;
            run.status = WEXITSTATUS(status);
        } else {
            run.end = ChildRun::End::signalled;
            run.status = status;
        }
        return run;
    }

    void killAll() {
        kill(ownGroup ? -pid : pid, SIGKILL);
        timedOut = true;
    }

    // Waits for the end; past the deadline the child is killed first.
    void waitForEnd() {
        for (long pause = 1; !ended(); pause = std::min(pause * 2, 50L)) {
            if (!timedOut && pastDeadline()) killAll();
            sleepMillis(pause);
        }
    }
};

// Reads what is in the pipe now, at most `limit` bytes (a process the
// child started may go on writing), without waiting.
void drain(int readEnd, char* buffer, size_t bufferSize, ChildOutput* output, size_t limit) {
    int on = 1;
    ioctl(readEnd, FIONBIO, &on);
    for (size_t total = 0; total < limit;) {
        ssize_t n = readRetrying(readEnd, buffer, bufferSize);
        if (n <= 0) break;
        output->copy(buffer, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
}

// Copies the child's output until its end of file, until the child has
// exited (a process it started may hold the pipe open), or until its time
// is up; the deadline is looked at on every pass, however much it writes.
// True when some of it was left out.
bool copyOutput(int readEnd, size_t bufferSize, Child* child) {
    HeapString buffer(static_cast<char*>(ts_checked_alloc(malloc(bufferSize > 0 ? bufferSize : 1))));
    ChildOutput output;
    for (;;) {
        if (child->pastDeadline()) {
            child->killAll();
            break;
        }
        struct pollfd ready = {readEnd, POLLIN, 0};
        int events = poll(&ready, 1, child->pollMillis(200));
        if (events > 0) {
            ssize_t n = readRetrying(readEnd, buffer.get(), bufferSize);
            if (n <= 0) break;
            output.copy(buffer.get(), static_cast<size_t>(n));
            continue;
        }
        if (events < 0 && errno != EINTR) break;
        if (child->ended()) {
            // What it wrote before it ended is still in the pipe.
            drain(readEnd, buffer.get(), bufferSize, &output, kChildOutputCap);
            break;
        }
    }
    output.finish();
    return output.cut();
}

// The JVM's environment with the edits applied, as execve takes it. Made
// before the fork: the child may not allocate.
struct ChildEnvironment {
    std::vector<std::string> entries;
    std::vector<char*> pointers;

    explicit ChildEnvironment(const std::vector<EnvironmentEdit>& edits) {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
            std::string_view text = *entry;
            std::string_view name = text.substr(0, text.find('='));
            bool edited = std::any_of(edits.begin(), edits.end(), [name](const EnvironmentEdit& edit) {
                return edit.name == name;
            });
            if (!edited) entries.emplace_back(text);
        }
        for (const EnvironmentEdit& edit : edits) {
            if (!edit.remove) entries.push_back(edit.name + "=" + edit.value);
        }
        for (std::string& entry : entries) pointers.push_back(entry.data());
        pointers.push_back(nullptr);
    }
};

// A pipe whose ends no other child inherits: only the one this child gets
// as its output survives its exec.
int makePipe(int fds[2]) {
#ifdef __APPLE__
    // macOS has no pipe2: the flags follow at once.
    if (pipe(fds) != 0) return -1;
    ioctl(fds[0], FIOCLEX);
    ioctl(fds[1], FIOCLEX);
    return 0;
#else
    return pipe2(fds, O_CLOEXEC);
#endif
}

ChildRun notStarted(const char* step, int error) {
    ChildRun run;
    run.end = ChildRun::End::notStarted;
    run.failedStep = step;
    run.error = error;
    run.errorText = "errno: " + std::to_string(error);
    return run;
}

}  // namespace

ChildRun runChildProcess(int argc, char** argv, size_t bufferSize, uint32_t* pidSlot, int timeoutSeconds,
                         const std::vector<EnvironmentEdit>* environment) {
    {
        HeapString joined(lfts_join(", ", argv, argc));
        log_write(TS_DEBUG, "Executing [%s]", joined.get());
    }
    // The exec array and the environment are made here: the child may not
    // allocate.
    std::vector<char*> execArgs(argv, argv + argc);
    execArgs.push_back(nullptr);
    std::unique_ptr<ChildEnvironment> childEnvironment;
    if (environment != nullptr) childEnvironment = std::make_unique<ChildEnvironment>(*environment);
    char* const* envp = childEnvironment != nullptr ? childEnvironment->pointers.data() : nullptr;

    int fds[2];
    if (makePipe(fds) != 0) return notStarted("create a pipe", errno);
    std::vector<int> known = openDescriptors();
    Child child;
    child.ownGroup = timeoutSeconds > 0;
    pid_t parent = getpid();
    fflush(stdout);
    fflush(stderr);
    child.pid = fork();
    if (child.pid == 0) {
        close(fds[0]);
        runChild(fds[1], execArgs.data(), envp, known, parent, child.ownGroup);
    }
    if (child.pid < 0) {
        int error = errno;
        close(fds[0]);
        close(fds[1]);
        return notStarted("fork a child process", error);
    }
    close(fds[1]);
    if (timeoutSeconds > 0) child.deadline = monotonicMillis() + static_cast<long long>(timeoutSeconds) * 1000;
    log_write(TS_DEBUG, "Child PID: %d", static_cast<int>(child.pid));
    if (pidSlot != nullptr) *pidSlot = static_cast<uint32_t>(child.pid);

    bool outputCut = copyOutput(fds[0], bufferSize, &child);
    child.waitForEnd();
    close(fds[0]);
    return child.outcome(outputCut);
}

void terminateProcess(uint32_t pid) {
    int result = kill(static_cast<pid_t>(pid), SIGKILL);
    if (result == 0) {
        log_write(TS_INFO, "Child process pid=%d killed.", static_cast<int>(pid));
    } else {
        log_write(TS_WARN, "Couldn't send kill signal to child process pid=%d: res=%d.", static_cast<int>(pid), result);
    }
}
