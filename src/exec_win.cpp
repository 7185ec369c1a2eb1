// Child processes on Windows: the arguments are joined into one quoted
// command line, the child's standard output and error go to an inherited
// pipe whose read end stays with the parent, the child runs in a job of its
// own that ends with it, and its exit code is reported.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

#include "clock.h"
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
// `deadline` (monotonic milliseconds; 0: none) has passed, which is looked
// at on every pass however much the child writes. `timedOut` tells the
// last.
void copyOutput(HANDLE readEnd, size_t bufferSize, HANDLE process, long long deadline, ChildOutput* output,
                bool* timedOut) {
    HeapString buffer(static_cast<char*>(ts_checked_alloc(malloc(bufferSize > 0 ? bufferSize : 1))));
    size_t drained = 0;
    for (bool exited = false;;) {
        if (deadline != 0 && monotonicMillis() >= deadline) {
            *timedOut = true;
            break;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;  // closed
        if (available == 0) {
            if (exited) break;
            // One more look at the pipe once the child is gone.
            exited = WaitForSingleObject(process, 50) == WAIT_OBJECT_0;
            continue;
        }
        DWORD n = 0;
        DWORD wanted = available < bufferSize ? available : static_cast<DWORD>(bufferSize);
        if (!ReadFile(readEnd, buffer.get(), wanted, &n, nullptr) || n == 0) break;
        output->copy(buffer.get(), n);
        // A process the child started may go on writing after it exited.
        if (exited && (drained += n) >= kChildOutputCap) break;
    }
}

// The process's environment block with the edits applied, in UTF-16 as
// CreateProcessW takes it with CREATE_UNICODE_ENVIRONMENT.
std::wstring environmentBlock(const std::vector<EnvironmentEdit>& edits) {
    std::wstring block;
    if (wchar_t* strings = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
            std::wstring_view text = entry;
            // Names may start with '=' ("=C:=C:\\work"); the first '=' after
            // the first character ends the name. Windows names ignore case.
            std::wstring_view name = text.substr(0, text.find(L'=', 1));
            bool edited = std::any_of(edits.begin(), edits.end(), [name](const EnvironmentEdit& edit) {
                WideString wideName(utf8ToWide(edit.name.c_str()));
                return wideName && _wcsnicmp(wideName.get(), name.data(), name.size()) == 0 &&
                       wideName.get()[name.size()] == L'\0';
            });
            if (!edited) block.append(text).push_back(L'\0');
        }
        FreeEnvironmentStringsW(strings);
    }
    for (const EnvironmentEdit& edit : edits) {
        if (edit.remove) continue;
        WideString entry(utf8ToWide((edit.name + "=" + edit.value).c_str()));
        if (entry) block.append(entry.get()).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// The outcome `end` caused by the last system error, with its text.
ChildRun withLastError(ChildRun::End end, const char* step) {
    ChildRun run;
    run.end = end;
    run.failedStep = step;
    run.error = static_cast<int>(GetLastError());
    char message[256];
    formatLastError(message, sizeof message);
    run.errorText = message;
    return run;
}

// How the ended `process` ended; killed at its limit when `timedOut`.
ChildRun ended(HANDLE process, bool timedOut) {
    ChildRun run;
    DWORD code = 0;
    if (timedOut) {
        run.end = ChildRun::End::timedOut;
    } else if (GetExitCodeProcess(process, &code)) {
        run.end = ChildRun::End::exited;
        run.status = static_cast<int>(code);
    } else {
        run = withLastError(ChildRun::End::unknown, "");
    }
    return run;
}

// A job that ends every process in it when its last handle closes, with
// the suspended child in it, so that all the child starts is in it too: a
// timeout ends them all, and so does the end of this process, which closes
// the handle. Null where that fails (before Windows 8 a process in a job,
// as this JVM may be, cannot have its child join another): the child then
// runs alone, as it did before jobs were used.
HANDLE jobFor(HANDLE process) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);  // not inherited by the child
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr && SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job, process)) {
        return job;
    }
    char message[256];
    formatLastError(message, sizeof message);
    log_write(TS_DEBUG, "The child process runs without a job of its own (%s)", message);
    if (job != nullptr) CloseHandle(job);
    return nullptr;
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

ChildRun runCommandLine(const char* commandLine, size_t bufferSize, uint32_t* pidSlot, int timeoutSeconds,
                        const std::vector<EnvironmentEdit>* environment) {
    log_write(TS_DEBUG, "Executing command: %s", commandLine);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return withLastError(ChildRun::End::notStarted, "create a pipe");
    }
    // Only the write end is the child's: with the read end it would hold
    // its own output open.
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        ChildRun run = withLastError(ChildRun::End::notStarted, "keep the pipe's read end from the child");
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return run;
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
    std::wstring block = environment != nullptr ? environmentBlock(*environment) : std::wstring();
    // Suspended until it is in its job: it starts nothing outside it.
    DWORD flags = CREATE_SUSPENDED | (environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0);
    void* env = environment != nullptr ? block.data() : nullptr;
    if (!wide ||
        !CreateProcessW(nullptr, wide.get(), nullptr, nullptr, TRUE, flags, env, nullptr, &startup, &process)) {
        ChildRun run = withLastError(ChildRun::End::notStarted, "start a child process");
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return run;
    }
    CloseHandle(writeEnd);
    // Held to the end of the call: what the child started and left running
    // ends with it.
    OwnedHandle job(jobFor(process.hProcess));
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        ChildRun run = withLastError(ChildRun::End::notStarted, "resume the child process");
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(readEnd);
        return run;
    }
    log_write(TS_DEBUG, "Child PID: %lu", static_cast<unsigned long>(process.dwProcessId));
    if (pidSlot != nullptr) *pidSlot = process.dwProcessId;

    long long deadline = timeoutSeconds > 0 ? monotonicMillis() + static_cast<long long>(timeoutSeconds) * 1000 : 0;
    bool timedOut = false;
    ChildOutput output;
    copyOutput(readEnd, bufferSize, process.hProcess, deadline, &output, &timedOut);
    wide.reset();
    CloseHandle(readEnd);
    if (!timedOut && deadline != 0) {
        long long now = monotonicMillis();
        timedOut = WaitForSingleObject(process.hProcess, now < deadline ? static_cast<DWORD>(deadline - now) : 0) ==
                   WAIT_TIMEOUT;
    }
    if (timedOut && !(job && TerminateJobObject(job.get(), 1))) TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    ChildRun run = ended(process.hProcess, timedOut);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    output.finish(true);
    run.outputCut = output.cut();
    return run;
}

ChildRun runChildProcess(int argc, char** argv, size_t bufferSize, uint32_t* pid, int timeoutSeconds,
                         const std::vector<EnvironmentEdit>* environment) {
    size_t total = 0;
    for (int i = 0; i < argc; i++) total += strlen(argv[i]) + 4;
    HeapString commandLine(static_cast<char*>(ts_checked_alloc(calloc(2 * total + 1, 1))));
    for (int i = 0; i < argc; i++) appendQuotedArgument(commandLine.get(), argv[i]);
    log_write(TS_INFO, "exec command string length %d", static_cast<int>(strlen(commandLine.get())));
    return runCommandLine(commandLine.get(), bufferSize, pid, timeoutSeconds, environment);
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
