// Child processes through execAndReadStdOut2, each case in a forked test
// child whose stdout, stderr and log file are captured.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "exec.h"
#include "logging.h"
#include "support/child.h"

namespace {

struct ChildRun {
    ChildResult child;
    std::string out;
    std::string log;
};

// Runs `/bin/sh -c script` with the given fatal flag; the report is the pid
// slot's value.
ChildRun sh(const std::string& script, int fatal = 0, size_t bufferSize = 4096, int timeoutSeconds = 0,
            const std::vector<EnvironmentEdit>* environment = nullptr) {
    TempDir dir;
    std::string outPath = dir.file("stdout");
    std::string logPath = dir.file("log");
    ChildRun run;
    run.child = runInChild([&] {
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
        log_stderr(4);
        init_file_logging(4, logPath.c_str());
        std::vector<std::string> args = {"/bin/sh", "-c", script};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        uint32_t pid = 0;
        execAndReadStdOut2(static_cast<int>(argv.size()), argv.data(), bufferSize, fatal, &pid, timeoutSeconds,
                           environment);
        stop_file_logging();
        return std::to_string(pid);
    });
    run.out = readFile(outPath);
    run.log = readFile(logPath);
    return run;
}

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

}  // namespace

TEST(Exec, OutputReachesStdoutAndTheLogBetweenMarkers) {
    ChildRun run = sh("echo hello; echo oops >&2");
    ASSERT_EQ(run.child.exitCode, 0) << run.child.err;
    EXPECT_EQ(run.out, "hello\noops\n");
    EXPECT_TRUE(has(run.child.err, "Tarsil-JVMTI [DEBUG] Executing [/bin/sh, -c, echo hello; echo oops >&2]\n"));
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Process output:\nhello\noops\n\nTarsil-JVMTI [DEBUG] End process output.\n"))
        << run.log;
    EXPECT_TRUE(has(run.child.err, "Tarsil-JVMTI [DEBUG] Child PID: " + run.child.report + "\n"));
    EXPECT_NE(run.child.report, "0");
    EXPECT_FALSE(has(run.log, "shut down"));
}

TEST(Exec, ChildThatNeverStopsWritingIsCutAtTheCapAndAtItsTimeLimit) {
    auto started = std::chrono::steady_clock::now();
    ChildRun run = sh("yes output", 0, 4096, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(run.out.size(), kChildOutputCap);
    EXPECT_TRUE(has(run.log, "more bytes of the child process's output were left out (only the first 1048576 are kept)"))
        << run.log.substr(run.log.size() > 2000 ? run.log.size() - 2000 : 0);
    EXPECT_TRUE(has(run.log, "Child process did not finish within 1 seconds and was killed."));
    EXPECT_LT(run.log.size(), kChildOutputCap + 4096);
}

TEST(Exec, ChildGetsTheJvmsEnvironmentWithTheEditsApplied) {
    setenv("TEST_KEPT", "kept", 1);
    setenv("TEST_CHANGED", "-agentlib:jdwp=suspend=y -Xint", 1);
    setenv("TEST_GONE", "-javaagent:x.jar", 1);
    std::vector<EnvironmentEdit> edits = {{"TEST_CHANGED", false, "-Xint"}, {"TEST_GONE", true, ""},
                                          {"TEST_NEW", false, "'a b'"}};
    ChildRun run = sh("echo \"$TEST_KEPT|$TEST_CHANGED|${TEST_GONE-unset}|$TEST_NEW\"", 0, 4096, 0, &edits);
    EXPECT_EQ(run.out, "kept|-Xint|unset|'a b'\n");
    unsetenv("TEST_KEPT");
    unsetenv("TEST_CHANGED");
    unsetenv("TEST_GONE");
}

TEST(Exec, SilentChildLeavesNoMarkers) {
    ChildRun run = sh("exit 0");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(has(run.log, "Process output:"));
    EXPECT_FALSE(has(run.log, "End process output."));
}

TEST(Exec, OutputLargerThanTheBufferArrivesWholeAndInOrder) {
    ChildRun run = sh("seq 1 5000", 0, 64);
    std::string expected;
    for (int i = 1; i <= 5000; i++) expected += std::to_string(i) + "\n";
    EXPECT_EQ(run.out, expected);
    size_t first = run.log.find("Process output:");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(run.log.find("Process output:", first + 1), std::string::npos);
}

TEST(Exec, AbnormalEndsAreNotedOrFatal) {
    ChildRun code = sh("exit 2");
    EXPECT_EQ(code.child.exitCode, 0);
    EXPECT_TRUE(has(code.log, "Tarsil-JVMTI [INFO] Child JVM has been shut down (exit code: 2).\n")) << code.log;

    ChildRun signal = sh("kill -9 $$");
    EXPECT_EQ(signal.child.exitCode, 0);
    EXPECT_TRUE(has(signal.log, "Tarsil-JVMTI [INFO] Child JVM has been shut down (wstatus: 9).\n")) << signal.log;

    ChildRun fatal = sh("exit 4", 1);
    EXPECT_EQ(fatal.child.exitCode, 3);
    EXPECT_EQ(fatal.child.report, "");
    EXPECT_TRUE(has(fatal.child.err, "Tarsil-JVMTI [FATAL] A fatal error occurred while processing the base Java "
                                     "classes. The JVM has been shut down (exit code: 4).\n\n"));
}

TEST(Exec, MissingProgramEndsTheChildWithItsFatalLine) {
    TempDir dir;
    std::string logPath = dir.file("log");
    ChildResult child = runInChild([&] {
        init_file_logging(4, logPath.c_str());
        char program[] = "/no/such/program";
        char* argv[] = {program};
        execAndReadStdOut2(1, argv, 4096, 0, nullptr);
        stop_file_logging();
        return std::string("returned");
    });
    EXPECT_EQ(child.report, "returned");
    std::string log = readFile(logPath);
    EXPECT_TRUE(has(log, "Tarsil-JVMTI [FATAL] Failed to execute the child process (errno: 2)\n")) << log;
    EXPECT_TRUE(has(log, "Child JVM has been shut down (exit code: 3).")) << log;
}

TEST(Exec, ChildInheritsNoDescriptorsBeyondTheStandardOnes) {
    int extra = open("/dev/null", O_RDONLY);
    ASSERT_GE(extra, 3);
    ChildRun run = sh("ls /proc/self/fd");
    close(extra);
    // 0, 1, 2 and the one ls itself opens to list the folder.
    EXPECT_EQ(run.out, "0\n1\n2\n3\n") << run.out;
}

TEST(Exec, KillingAGoneProcessIsOnlyAWarning) {
    ChildResult child = runInChild([] {
        log_stderr(4);
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        waitpid(pid, nullptr, 0);
        terminateProcess(static_cast<uint32_t>(pid));
        pid_t sleeper = fork();
        if (sleeper == 0) {
            pause();
            _exit(0);
        }
        terminateProcess(static_cast<uint32_t>(sleeper));
        int status = 0;
        waitpid(sleeper, &status, 0);
        return std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : -1);
    });
    EXPECT_EQ(child.report, "9");
    EXPECT_TRUE(has(child.err, "Tarsil-JVMTI [WARN] Couldn't send kill signal to child process pid="));
    EXPECT_TRUE(has(child.err, ": res=-1.\n"));
    EXPECT_TRUE(has(child.err, " killed.\n"));
}

namespace {

volatile sig_atomic_t interruptions = 0;
void countInterruption(int) {
    interruptions = interruptions + 1;
}

}  // namespace

// Signals that interrupt read and waitpid (a handler without SA_RESTART) must
// not end the reading early nor lose the child's status.
TEST(Exec, InterruptedWaitsAreResumed) {
    TempDir dir;
    std::string outPath = dir.file("stdout");
    ChildResult child = runInChild([&] {
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
        log_stderr(4);
        struct sigaction action {};
        action.sa_handler = countInterruption;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, nullptr);
        pthread_t waiter = pthread_self();
        std::atomic<bool> done{false};
        std::thread interrupter([&] {
            while (!done) {
                pthread_kill(waiter, SIGUSR1);
                usleep(2000);
            }
        });
        std::vector<std::string> args = {"/bin/sh", "-c", "echo early; sleep 0.3; echo late; sleep 0.2; exit 2"};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        execAndReadStdOut2(static_cast<int>(argv.size()), argv.data(), 4096, 0, nullptr);
        done = true;
        interrupter.join();
        return std::to_string(interruptions > 10);
    });
    EXPECT_EQ(child.report, "1");
    EXPECT_TRUE(has(child.err, "Child JVM has been shut down (exit code: 2).")) << child.err;
    EXPECT_EQ(readFile(outPath), "early\nlate\n");
}
