// Runs a piece of test code in a forked child, so that code which keeps
// process-wide state (the agent's once-only guard, the environment) or ends
// the process can be watched from outside.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
    int exitCode = -1;     // -1 when the child did not exit normally
    int signal = 0;
    std::string err;       // what the child wrote to standard error
    std::string report;    // what the body returned
};

ChildResult runInChild(const std::function<std::string()>& body);

// Captures what the current process writes to standard error meanwhile.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string text();

private:
    int saved_;
    std::string path_;
};

std::string readFile(const std::string& path);
// Whether the process is gone (or a zombie nobody reaps) within `seconds`.
bool processGone(long pid, int seconds = 5);
// A fresh folder under the temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    int owner_;
};
