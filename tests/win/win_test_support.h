// Helpers of the Windows test programs: temporary folders, whole-file reads,
// capturing what the library writes to standard output and its log file, and
// literal patterns for GoogleTest's simple regular expressions (the only kind
// it has on Windows).
#pragma once

// Every Windows test includes this header first, for <windows.h>.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, named after the running
// test, removed with its contents when the owner goes away. Paths are UTF-8
// with '\\'.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
    bool owner_ = true;
};

std::string readFile(const std::string& utf8Path);
bool writeFile(const std::string& utf8Path, const std::string& content);
bool pathExists(const std::string& utf8Path);
std::vector<std::string> filesIn(const std::string& utf8Folder);

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// The folder of the running test program, and a program built beside it.
std::string programFolder();
std::string siblingProgram(const char* name);

// A call of library code with its standard output redirected to a file and
// the library's log file open at DEBUG; both are read back afterwards.
struct Captured {
    std::string out;
    std::string log;
};
template <typename Body>
Captured capture(Body body);

// A pattern that matches `text` literally (every punctuation character
// escaped), for EXPECT_EXIT.
std::string literal(const std::string& text);

// Sets or clears a variable of the process environment for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};

// --- implementation of capture ------------------------------------------------

class CaptureSession {
public:
    CaptureSession();
    ~CaptureSession();
    Captured finish();

private:
    TempDir dir_;
    int savedStdout_ = -1;
};

template <typename Body>
Captured capture(Body body) {
    CaptureSession session;
    body();
    return session.finish();
}
