// Child processes on Windows: the quoting of each argument, a real child
// (argv_child.exe) run through runChildProcess and runCommandLine, the job
// that ends what it started, the cache's judgement of its end,
// terminateProcess and formatLastError.
#include "win_test_support.h"  // first: it brings <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bootcache_child.h"
#include "exec.h"
#include "exec_win.h"
#include "list.h"
#include "logging.h"

namespace {

std::string quoted(const std::vector<std::string>& arguments) {
    size_t total = 0;
    for (const auto& argument : arguments) total += argument.size() + 4;
    std::string commandLine(2 * total + 1, '\0');
    for (const auto& argument : arguments) appendQuotedArgument(commandLine.data(), argument.c_str());
    commandLine.resize(strlen(commandLine.c_str()));
    return commandLine;
}

std::vector<std::string> splitBySystem(const std::string& commandLine) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(widen(commandLine).c_str(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; i++) arguments.push_back(narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

// A capture with standard error too, where what a child writes is passed
// on; the library's own lines stay out of it.
struct Passed {
    std::string err;
    std::string out;  // the application's: a child's output never goes there
    std::string log;
};
template <typename Body>
Passed capturePassed(Body body) {
    TempDir dir;
    fflush(stderr);
    int saved = _dup(_fileno(stderr));
    int fd = _wopen(widen(dir.file("stderr")).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(fd, _fileno(stderr));
    _close(fd);
    int level = stderr_loglevel;
    log_stderr(-1);
    Captured captured = capture(body);
    log_stderr(level);
    fflush(stderr);
    _dup2(saved, _fileno(stderr));
    _close(saved);
    return {readFile(dir.file("stderr")), captured.out, captured.log};
}

// argv_child with the exit code and the arguments, through runChildProcess.
ChildRun execChild(const std::vector<std::string>& arguments, uint32_t* pid = nullptr, size_t bufferSize = 4096,
                   int timeoutSeconds = 0, const std::vector<EnvironmentEdit>* environment = nullptr) {
    std::vector<std::string> all = {siblingProgram("argv_child.exe")};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    return runChildProcess(static_cast<int>(argv.size()), argv.data(), bufferSize, pid, timeoutSeconds, environment);
}

Passed runChild(const std::vector<std::string>& arguments, uint32_t* pid = nullptr, ChildRun* ran = nullptr) {
    return capturePassed([&] {
        ChildRun run = execChild(arguments, pid);
        if (ran != nullptr) *ran = run;
    });
}

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

}  // namespace

TEST(ExecWin, ChildGetsTheEnvironmentWithTheEditsApplied) {
    ScopedEnv kept("TEST_KEPT", "kept");
    ScopedEnv changed("TEST_CHANGED", "-agentlib:jdwp=suspend=y -Xint");
    ScopedEnv gone("TEST_GONE", "-javaagent:x.jar");
    // Windows names ignore case.
    std::vector<EnvironmentEdit> edits = {{"test_changed", false, "-Xint"}, {"TEST_GONE", true, ""},
                                          {"TEST_NEW", false, "'a b'"}};
    Passed run = capturePassed([&] {
        execChild({"0", "--env=TEST_KEPT", "--env=TEST_CHANGED", "--env=TEST_GONE", "--env=TEST_NEW"}, nullptr, 4096,
                  0, &edits);
    });
    EXPECT_TRUE(has(run.err, "TEST_KEPT=kept\nTEST_CHANGED=-Xint\nTEST_GONE unset\nTEST_NEW='a b'\n")) << run.err;
}

TEST(ExecWin, ChildThatNeverStopsWritingIsCutAtTheCapAndAtItsTimeLimit) {
    // Long enough for more than the cap under wine, which pipes some
    // 300 KB a second.
    ULONGLONG started = GetTickCount64();
    ChildRun ran;
    Passed run = capturePassed([&] { ran = execChild({"0", "--forever"}, nullptr, 4096, 10); });
    EXPECT_LT(GetTickCount64() - started, 40000u);
    // The cap, and the empty line Windows adds after a child's output.
    EXPECT_EQ(run.err.size(), kChildOutputCap + 1);
    EXPECT_TRUE(has(run.log, "more bytes of the child process's output were left out")) << run.log.size();
    EXPECT_EQ(ran.end, ChildRun::End::timedOut) << ran.failedStep << ": " << ran.errorText;
    EXPECT_TRUE(ran.outputCut);
}

namespace {

// Whether the process ends (or is gone) within `millis`; one still running
// then is ended, so that a failed test leaves nothing behind.
bool endsWithin(DWORD pid, DWORD millis) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) return true;
    bool ended = WaitForSingleObject(process, millis) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process, 1);
    CloseHandle(process);
    return ended;
}

}  // namespace

TEST(ExecWin, WhatTheChildStartedEndsWithItTimedOutOrNot) {
    struct Case {
        std::vector<std::string> arguments;
        int timeoutSeconds;
        ChildRun::End end;
    } cases[] = {
        {{"0", "--spawn", "--sleep=60000"}, 2, ChildRun::End::timedOut},
        {{"0", "--spawn"}, 0, ChildRun::End::exited},  // the grandchild still holds the output pipe
    };
    for (const Case& c : cases) {
        ChildRun ran;
        Passed run = capturePassed([&] { ran = execChild(c.arguments, nullptr, 4096, c.timeoutSeconds); });
        EXPECT_EQ(ran.end, c.end) << ran.failedStep << ": " << ran.errorText;
        size_t at = run.err.find("grandchild=");
        ASSERT_NE(at, std::string::npos) << run.err;
        DWORD grandchild = strtoul(run.err.c_str() + at + strlen("grandchild="), nullptr, 10);
        ASSERT_NE(grandchild, 0u);
        // It sleeps a minute unless its job ends it.
        EXPECT_TRUE(endsWithin(grandchild, 10000)) << c.arguments.size();
    }
}

TEST(AppendQuotedArgument, EveryArgumentComesBackFromCommandLineToArgvW) {
    // The first argument is the program: CommandLineToArgvW reads it by other
    // rules (no backslash escapes), as CreateProcessW does.
    std::vector<std::string> arguments = {"C:\\Program Files\\prog.exe",
                                          "plain",
                                          "with blanks",
                                          "say \"hi\"",
                                          "C:\\folder\\",
                                          "C:\\two trailing\\\\",
                                          "back\\\"slash quote",
                                          "three\\\\\\\"before",
                                          "",
                                          "a\\b\\c",
                                          "\"",
                                          "tab\there",
                                          "caf\xc3\xa9 \xe4\xb8\xad"};
    std::string commandLine = quoted(arguments);
    EXPECT_EQ(splitBySystem(commandLine), arguments) << commandLine;
    EXPECT_EQ(commandLine.back(), ' ');
}

TEST(AppendQuotedArgument, QuotesDoubleOnlyTheBackslashesThatNeedIt) {
    EXPECT_EQ(quoted({"a b"}), "\"a b\" ");
    EXPECT_EQ(quoted({""}), "\"\" ");
    EXPECT_EQ(quoted({"x\\y"}), "\"x\\y\" ");
    EXPECT_EQ(quoted({"dir\\"}), "\"dir\\\\\" ");
    EXPECT_EQ(quoted({"q\""}), "\"q\\\"\" ");
    EXPECT_EQ(quoted({"b\\\"q"}), "\"b\\\\\\\"q\" ");
    EXPECT_EQ(quoted({"one", "two"}), "\"one\" \"two\" ");
}

TEST(ExecWin, OutputReachesStderrOnlyAndTheLogBetweenMarkers) {
    uint32_t pid = 0;
    ChildRun ran;
    Passed run = runChild({"0", "hello", "--stderr=oops"}, &pid, &ran);
    EXPECT_EQ(run.err, "[hello]\n[--stderr=oops]\noops\n\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Process output:\n[hello]\n[--stderr=oops]\noops\n\n"
                             "Tarsil-JVMTI [DEBUG] End process output.\n"))
        << run.log;
    EXPECT_NE(pid, 0u);
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Child PID: " + std::to_string(pid) + "\n")) << run.log;
    EXPECT_EQ(ran.end, ChildRun::End::exited);
    EXPECT_EQ(ran.status, 0);
    EXPECT_FALSE(ran.outputCut);
}

TEST(ExecWin, CommandLineIsLoggedWithItsLength) {
    std::string program = siblingProgram("argv_child.exe");
    Passed run = runChild({"0", "a b"});
    std::string commandLine = "\"" + program + "\" \"0\" \"a b\" ";
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [INFO] exec command string length " +
                                 std::to_string(commandLine.size()) + "\n"))
        << run.log;
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Executing command: " + commandLine + "\n")) << run.log;
    EXPECT_LT(run.log.find("exec command string length"), run.log.find("Executing command:"));
}

TEST(ExecWin, ArgumentsWithBackslashesQuotesAndBlanksReachTheChildIntact) {
    Passed run = runChild({"0", "C:\\some folder\\", "say \"hi\"", "", "back\\\"slash", "caf\xc3\xa9"});
    EXPECT_EQ(run.err, "[C:\\some folder\\]\n[say \"hi\"]\n[]\n[back\\\"slash]\n[caf\xc3\xa9]\n\n");
}

TEST(ExecWin, WithoutALogFileTheOutputStillReachesStderr) {
    Passed run = capturePassed([&] {
        stop_file_logging();
        execChild({"0", "alone"});
    });
    EXPECT_EQ(run.err, "[alone]\n\n");
    EXPECT_EQ(run.log, "");
}

TEST(ExecWin, SilentChildLeavesNoMarkers) {
    Passed run = runChild({"0"});
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(has(run.log, "Process output:"));
    EXPECT_FALSE(has(run.log, "End process output."));
    EXPECT_TRUE(has(run.log, "Child PID: "));
}

TEST(ExecWin, OutputLargerThanTheBufferArrivesWholeAndInOrder) {
    Passed run = capturePassed([&] { execChild({"0", "--lines=3000"}, nullptr, 64); });
    std::string expected = "[--lines=3000]\n";
    for (int i = 1; i <= 3000; i++) expected += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(run.err, expected + "\n");
    EXPECT_TRUE(has(run.log, "Process output:\n" + expected + "\nTarsil-JVMTI [DEBUG] End process output.\n"));
    size_t first = run.log.find("Process output:");
    EXPECT_EQ(run.log.find("Process output:", first + 1), std::string::npos);
}

TEST(ExecWin, ExitCodesAreReported) {
    for (int code : {0, 2, 5, 259}) {
        ChildRun ran;
        runChild({std::to_string(code)}, nullptr, &ran);
        EXPECT_EQ(ran.end, ChildRun::End::exited) << code;
        EXPECT_EQ(ran.status, code);
    }
}

TEST(ExecWinDeathTest, NonZeroExitOfTheBootstrapChildEndsTheProcess) {
    std::vector<std::string> argv = {siblingProgram("argv_child.exe"), "7"};
    std::vector<char*> pointers = {argv[0].data(), argv[1].data()};
    EXPECT_EXIT(runBootstrapChild(2, pointers.data(), 0, nullptr), testing::ExitedWithCode(3),
                literal("Tarsil-JVMTI [FATAL] A fatal error occurred while processing the base Java classes. "
                        "The JVM has been shut down (exit code: 7).\n\nFor further assistance please contact"));
}

TEST(ExecWinDeathTest, ProgramThatCannotStartIsReportedWithTheSystemText) {
    std::vector<std::string> argv = {programFolder() + "\\no-such-program.exe", "x"};
    std::vector<char*> pointers = {argv[0].data(), argv[1].data()};
    EXPECT_EXIT(runBootstrapChild(2, pointers.data(), 0, nullptr), testing::ExitedWithCode(3),
                literal("Tarsil-JVMTI [FATAL] Failed to start a child process (Error code 0x00000002, "));
    // A child that may fail (the debugger proxy) gets it as a value.
    uint32_t pid = 0;
    ChildRun ran;
    capture([&] { ran = runChildProcess(2, pointers.data(), 4096, &pid); });
    EXPECT_EQ(ran.end, ChildRun::End::notStarted);
    EXPECT_EQ(ran.error, static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ran.errorText.rfind("Error code 0x00000002, ", 0), 0u) << ran.errorText;
    EXPECT_EQ(pid, 0u);
}

TEST(ExecWin, RunCommandLineTakesTheLineAsGiven) {
    std::string commandLine = "\"" + siblingProgram("argv_child.exe") + "\" 3 unquoted \"two words\"";
    ChildRun ran;
    Passed run = capturePassed([&] { ran = runCommandLine(commandLine.c_str(), 4096, nullptr); });
    EXPECT_EQ(run.err, "[unquoted]\n[two words]\n\n");
    EXPECT_TRUE(has(run.log, "Executing command: " + commandLine + "\n"));
    EXPECT_FALSE(has(run.log, "exec command string length"));
    EXPECT_EQ(ran.status, 3);
}

TEST(ExecWin, ChildSeesTheEnvironmentSetThroughLftsSetenv) {
    ASSERT_EQ(lfts_setenv("TARSIL_TEST_CHILD_ENV", "from parent", 1), 0);
    EXPECT_TRUE(has(runChild({"0", "--env=TARSIL_TEST_CHILD_ENV"}).err, "TARSIL_TEST_CHILD_ENV=from parent\n"));
    ASSERT_EQ(lfts_unsetenv("TARSIL_TEST_CHILD_ENV"), 0);
    EXPECT_TRUE(has(runChild({"0", "--env=TARSIL_TEST_CHILD_ENV"}).err, "TARSIL_TEST_CHILD_ENV unset\n"));
}

TEST(TerminateProcess, KillsALiveChildWhoseCallThenReturns) {
    uint32_t pid = 0;
    // One capture for both threads, so that the kill's entry lands in it
    // however the two threads interleave.
    CaptureSession session;
    ChildRun ran;
    std::thread runner([&] { ran = execChild({"0", "--sleep=60000"}, &pid); });
    // The pid slot is written as soon as the child runs.
    std::atomic_ref<uint32_t> slot(pid);
    for (int i = 0; i < 1000 && slot.load() == 0; i++) Sleep(10);
    if (slot.load() == 0) {
        runner.join();
        FAIL() << "the child never ran";
    }
    DWORD start = GetTickCount();
    terminateProcess(slot.load());
    runner.join();
    Captured run = session.finish();
    EXPECT_LT(GetTickCount() - start, 30000u);
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [INFO] Child process pid=" + std::to_string(pid) + " killed.\n"))
        << run.log;
    // TerminateProcess's exit code 1 is reported like any other.
    EXPECT_EQ(ran.end, ChildRun::End::exited);
    EXPECT_EQ(ran.status, 1);
}

TEST(TerminateProcess, DeadPidIsReported) {
    uint32_t pid = 0;
    runChild({"0"}, &pid);
    ASSERT_NE(pid, 0u);
    // wine lets a finished process be opened for a moment longer.
    for (int i = 0; i < 100; i++) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (process == nullptr) break;
        CloseHandle(process);
        Sleep(50);
    }
    Captured run = capture([&] { terminateProcess(pid); });
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [INFO] Couldn't obtain process handle for child process pid=" +
                                 std::to_string(pid) + ".\n"))
        << run.log;
}

TEST(FormatLastError, SystemTextFollowsTheCodeWithoutItsLineEnd) {
    char buffer[256];
    SetLastError(ERROR_FILE_NOT_FOUND);
    formatLastError(buffer, sizeof buffer);
    std::string text = buffer;
    EXPECT_EQ(text.rfind("Error code 0x00000002, ", 0), 0u) << text;
    EXPECT_GT(text.size(), strlen("Error code 0x00000002, "));
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');

    SetLastError(0x2000ABCD);  // a customer code the system has no text for
    formatLastError(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Error code 0x2000abcd");

    char small[12];
    SetLastError(ERROR_ACCESS_DENIED);
    formatLastError(small, sizeof small);
    EXPECT_STREQ(small, "Error code ");
}
