// Capturing what library code writes to standard output and its log file.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "logging.h"
#include "win_test_support.h"

CaptureSession::CaptureSession() {
    fflush(stdout);
    savedStdout_ = _dup(_fileno(stdout));
    int fd = _wopen(widen(dir_.file("stdout")).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(fd, _fileno(stdout));
    _close(fd);
    init_file_logging(4, dir_.file("log").c_str());
}

CaptureSession::~CaptureSession() {
    if (savedStdout_ >= 0) finish();
}

Captured CaptureSession::finish() {
    fflush(stdout);
    _dup2(savedStdout_, _fileno(stdout));
    _close(savedStdout_);
    savedStdout_ = -1;
    stop_file_logging();
    return {readFile(dir_.file("stdout")), readFile(dir_.file("log"))};
}
