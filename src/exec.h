// Runs a child process (the bootstrap JVM, the debugger proxy), copies its
// output to the log file and standard error and reports how it ended; the
// callers decide what that means. One implementation per platform family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A variable the child gets with another value than the JVM has, or not at
// all.
struct EnvironmentEdit {
    std::string name;
    bool remove = false;
    std::string value;
};

// How a child process ended, as far as its parent could learn it.
struct ChildRun {
    enum class End {
        exited,      // on its own: `status` is its exit status
        signalled,   // by a signal (POSIX): `status` is the wait status, the signal in its low 7 bits
        timedOut,    // it ran past its limit and was killed with what it started
        notStarted,  // `failedStep` failed with `error`
        unknown,     // its status was lost (`error`): no success, what it left behind must tell
    };
    End end = End::notStarted;
    int status = 0;
    const char* failedStep = "";  // what could not be done, worded to follow "Failed to "
    int error = 0;                // errno, or GetLastError on Windows
    std::string errorText;        // `error` as the platform words it, for messages
    bool outputCut = false;       // it wrote more than the copy keeps
};

// Runs argv[0] with the arguments, `bufferSize` bytes read at a time.
// `pid`, when given, receives the child's process id as soon as it runs. A
// child (with all it started) that runs longer than `timeoutSeconds` (0: no
// limit) is killed; the limit holds however much it writes. Reading its
// output stops when it has exited, even while a process it started keeps
// the output open. The child inherits the JVM's environment with
// `environment` applied (null: unchanged).
ChildRun runChildProcess(int argc, char** argv, size_t bufferSize, uint32_t* pid, int timeoutSeconds = 0,
                         const std::vector<EnvironmentEdit>* environment = nullptr);
void terminateProcess(uint32_t pid);

// What a child writes is copied to the log and to standard error (never to
// standard output, the application's) up to this many bytes in all; the
// rest is read and left out, so that the child never blocks on a full pipe
// and the log stays bounded.
inline constexpr size_t kChildOutputCap = 1u << 20;

// The copy of one child's output, shared by the platforms.
class ChildOutput {
public:
    explicit ChildOutput(size_t cap = kChildOutputCap) : cap_(cap) {}
    void copy(const char* bytes, size_t count);
    // Closes the copy: its last line, and a line on what was left out.
    void finish(bool extraNewline = false);
    bool seen() const { return seen_; }
    bool cut() const { return omitted_ > 0; }

private:
    size_t cap_;
    size_t copied_ = 0;
    size_t omitted_ = 0;
    bool seen_ = false;
};
