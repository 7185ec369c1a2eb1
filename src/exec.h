// Runs a child process (the bootstrap JVM, the debugger proxy), copies its
// output to the log file and standard output, waits for it and judges its
// end. One implementation per platform family.
#pragma once

#include <cstddef>
#include <cstdint>

// `fatal` 1: an abnormal end of the child ends the JVM. `pid`, when given,
// receives the child's process id as soon as it runs. A child (with all it
// started) that runs longer than `timeoutSeconds` (0: no limit) is killed,
// which with `fatal` 1 ends the JVM. Reading its output stops when it has
// exited, even while a process it started keeps the output open.
void execAndReadStdOut2(int argc, char** argv, size_t bufferSize, int fatal, uint32_t* pid, int timeoutSeconds = 0);
void terminateProcess(uint32_t pid);
