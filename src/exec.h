// Runs a child process (the bootstrap JVM, the debugger proxy), copies its
// output to the log file and standard output, waits for it and judges its
// end. One implementation per platform family.
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

// `fatal` 1: an abnormal end of the child ends the JVM. `pid`, when given,
// receives the child's process id as soon as it runs. A child (with all it
// started) that runs longer than `timeoutSeconds` (0: no limit) is killed,
// which with `fatal` 1 ends the JVM; the limit holds however much it
// writes. Reading its output stops when it has exited, even while a process
// it started keeps the output open. The child inherits the JVM's
// environment with `environment` applied (null: unchanged).
void execAndReadStdOut2(int argc, char** argv, size_t bufferSize, int fatal, uint32_t* pid, int timeoutSeconds = 0,
                        const std::vector<EnvironmentEdit>* environment = nullptr);
void terminateProcess(uint32_t pid);

// What a child writes is copied to the log and to standard output up to
// this many bytes in all; the rest is read and left out, so that the child
// never blocks on a full pipe and the log stays bounded.
inline constexpr size_t kChildOutputCap = 1u << 20;

// The copy of one child's output, shared by the platforms.
class ChildOutput {
public:
    explicit ChildOutput(size_t cap = kChildOutputCap) : cap_(cap) {}
    void copy(const char* bytes, size_t count);
    // Closes the copy: its last line, and a line on what was left out.
    void finish(bool extraNewlineOnStdout = false);
    bool seen() const { return seen_; }

private:
    size_t cap_;
    size_t copied_ = 0;
    size_t omitted_ = 0;
    bool seen_ = false;
};
