#include "child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarsil-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    path_ = pattern;
    owner_ = getpid();
}

TempDir::~TempDir() {
    // A forked child that ends through exit() runs the destructors of its
    // parent's folders too; only the process that made a folder removes it.
    if (getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// Present when the tests run under AddressSanitizer.
extern "C" void __lsan_disable() __attribute__((weak));

ChildResult runInChild(const std::function<std::string()>& body) {
    TempDir dir;
    std::string errPath = dir.file("stderr");
    std::string reportPath = dir.file("report");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        // A child may end through exit() with process-lifetime records live;
        // the leak checker must not turn that exit status into its own.
        if (__lsan_disable != nullptr) __lsan_disable();
        int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
        // Opened first: the body may give up root for another user.
        int reportFd = open(reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::string report = body();
        for (size_t done = 0; done < report.size();) {
            ssize_t n = write(reportFd, report.data() + done, report.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        fflush(stderr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ChildResult result;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.err = readFile(errPath);
    result.report = readFile(reportPath);
    return result;
}

StderrCapture::StderrCapture() {
    char pattern[] = "/tmp/tarsil-stderr-XXXXXX";
    int fd = mkstemp(pattern);
    path_ = pattern;
    fflush(stderr);
    saved_ = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    unlink(path_.c_str());
}

std::string StderrCapture::text() {
    fflush(stderr);
    return readFile(path_);
}

bool processGone(long pid, int seconds) {
    for (int waited = 0; waited < seconds * 40; waited++) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t state = stat.rfind(") ");
        if (stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z')) return true;
        usleep(25000);
    }
    return false;
}
