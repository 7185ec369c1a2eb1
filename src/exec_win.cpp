// Child processes on Windows: the arguments are joined into one quoted
// command line, the child's standard output and error go to an inherited
// pipe whose read end stays with the parent.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "exec.h"
#include "exec_win.h"
#include "list.h"
#include "logging.h"
#include "win_util.h"

namespace {

void appendBackslashes(char*& out, size_t count) {
    memset(out, '\\', count);
    out += count;
}

// Copies the pipe to the log and standard output until its end, until the
// child has exited (a process it started may hold the pipe open) or until
// `deadline` (GetTickCount64; 0: none) has passed; true when anything came.
// `timedOut` tells the last.
bool copyOutput(HANDLE readEnd, size_t bufferSize, HANDLE process, ULONGLONG deadline, bool* timedOut) {
    HeapString buffer(static_cast<char*>(ts_checked_alloc(malloc(bufferSize > 0 ? bufferSize : 1))));
    bool seen = false;
    for (bool exited = false;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;  // closed
        if (available == 0) {
            if (exited) break;
            if (deadline != 0 && GetTickCount64() >= deadline) {
                *timedOut = true;
                break;
            }
            // One more look at the pipe once the child is gone.
            exited = WaitForSingleObject(process, 50) == WAIT_OBJECT_0;
            continue;
        }
        DWORD n = 0;
        DWORD wanted = available < bufferSize ? available : static_cast<DWORD>(bufferSize);
        if (!ReadFile(readEnd, buffer.get(), wanted, &n, nullptr) || n == 0) break;
        if (!seen) log_write(TS_DEBUG, "Process output:");
        seen = true;
        log_write_raw(buffer.get(), static_cast<int>(n));
        fwrite(buffer.get(), 1, n, stdout);
    }
    fflush(stdout);
    return seen;
}

}  // namespace

void appendQuotedArgument(char* commandLine, const char* argument) {
    size_t length = strlen(argument);
    HeapString work(static_cast<char*>(ts_checked_alloc(malloc(2 * length + 4))));
    char* out = work.get();
    *out++ = '"';
    size_t backslashes = 0;
    for (size_t i = 0; i < length; i++) {
        char c = argument[i];
        // Backslashes before a quote, and before the closing quote, are
        // doubled; the quote itself is escaped.
        if (c == '"') appendBackslashes(out, backslashes + 1);
        backslashes = c == '\\' ? backslashes + 1 : 0;
        if (i + 1 == length) appendBackslashes(out, backslashes);
        *out++ = c;
    }
    *out++ = '"';
    *out++ = ' ';
    *out = '\0';
    strcat(commandLine, work.get());
}

void formatLastError(char* buffer, size_t size) {
    DWORD error = GetLastError();
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    if (length >= 2 && text != nullptr) {
        text[length - 2] = '\0';  // the line end
        snprintf(buffer, size, "Error code 0x%08lx, %s", static_cast<unsigned long>(error), text);
    } else {
        snprintf(buffer, size, "Error code 0x%08lx", static_cast<unsigned long>(error));
    }
    if (text != nullptr) LocalFree(text);
}

void runCommandLine(const char* commandLine, size_t bufferSize, int fatal, uint32_t* pidSlot, int timeoutSeconds) {
    log_write(TS_DEBUG, "Executing command: %s", commandLine);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        // A child that may fail (the debugger proxy) must not end the JVM.
        if (fatal != 1) {
            log_write(TS_ERROR, "CreatePipe");
            return;
        }
        log_write(TS_FATAL, "CreatePipe");
        fatal_error_kill(1);
    }
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        log_write(TS_FATAL, "SetHandleInformation");
        fatal_error_kill(1);
    }

    WideString wide(utf8ToWide(commandLine));
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!wide || !CreateProcessW(nullptr, wide.get(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        char message[256];
        formatLastError(message, sizeof message);
        wide.reset();
        log_write(TS_ERROR, "An error occurred while trying to spawn child process!");
        if (fatal != 1) {
            log_write(TS_ERROR, "%s", message);
            CloseHandle(readEnd);
            CloseHandle(writeEnd);
            return;
        }
        log_write(TS_FATAL, "%s", message);
        fatal_error_kill(1);
    }
    CloseHandle(writeEnd);
    log_write(TS_DEBUG, "Child PID: %lu", static_cast<unsigned long>(process.dwProcessId));
    if (pidSlot != nullptr) *pidSlot = process.dwProcessId;

    ULONGLONG deadline = timeoutSeconds > 0 ? GetTickCount64() + static_cast<ULONGLONG>(timeoutSeconds) * 1000 : 0;
    bool timedOut = false;
    bool seen = copyOutput(readEnd, bufferSize, process.hProcess, deadline, &timedOut);
    wide.reset();
    CloseHandle(readEnd);
    if (!timedOut && deadline != 0) {
        ULONGLONG now = GetTickCount64();
        timedOut = WaitForSingleObject(process.hProcess, now < deadline ? static_cast<DWORD>(deadline - now) : 0) ==
                   WAIT_TIMEOUT;
    }
    if (timedOut) {
        TerminateProcess(process.hProcess, 1);
        if (fatal == 1) {
            log_write(TS_FATAL,
                      "The child JVM processing the base Java classes did not finish within %d seconds and was "
                      "killed. The limit is set by the system property 'vesta.bootstrap.timeout' (seconds; 0 for "
                      "none).",
                      timeoutSeconds);
            fatal_error_kill(1);
        }
        log_write(TS_INFO, "Child process did not finish within %d seconds and was killed.", timeoutSeconds);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    if (seen) {
        log_write_raw("\n", 1);
        fputs("\n", stdout);
        fflush(stdout);
        log_write(TS_DEBUG, "End process output.");
    }
    if (code == 0) return;
    if (fatal == 1) {
        log_write(TS_FATAL,
                  "A fatal error occurred while processing the base Java classes. The JVM has been shut down (%d).",
                  static_cast<int>(code));
        fatal_error_kill(1);
    }
    log_write(TS_INFO, "Child JVM has been shut down (%d).", static_cast<int>(code));
}

void execAndReadStdOut2(int argc, char** argv, size_t bufferSize, int fatal, uint32_t* pid, int timeoutSeconds) {
    size_t total = 0;
    for (int i = 0; i < argc; i++) total += strlen(argv[i]) + 4;
    HeapString commandLine(static_cast<char*>(ts_checked_alloc(calloc(2 * total + 1, 1))));
    for (int i = 0; i < argc; i++) appendQuotedArgument(commandLine.get(), argv[i]);
    log_write(TS_INFO, "exec command string length %d", static_cast<int>(strlen(commandLine.get())));
    runCommandLine(commandLine.get(), bufferSize, fatal, pid, timeoutSeconds);
}

void terminateProcess(uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) {
        log_write(TS_INFO, "Couldn't obtain process handle for child process pid=%d.", static_cast<int>(pid));
        return;
    }
    TerminateProcess(process, 1);
    CloseHandle(process);
    log_write(TS_INFO, "Child process pid=%d killed.", static_cast<int>(pid));
}
