// Child processes through runChildProcess, each case in a forked test
// child whose stdout, stderr and log file are captured (what the child
// writes is passed on to stderr only), and the cache's
// judgement of how its child JVM ended.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bootcache_child.h"
#include "exec.h"
#include "logging.h"
#include "support/child.h"

namespace {

struct ShRun {
    ChildResult child;
    ChildRun run;  // what runChildProcess reported
    uint32_t pid = 0;
    std::string out;  // the test child's stdout
    std::string err;  // and its stderr, where only the child's output goes
    std::string log;
};

// What runChildProcess reported, through the test child's report.
std::string reported(uint32_t pid, const ChildRun& run) {
    return std::to_string(pid) + " " + std::to_string(static_cast<int>(run.end)) + " " + std::to_string(run.status) +
           " " + std::to_string(run.error) + " " + std::to_string(run.outputCut);
}

void parseReport(const std::string& report, uint32_t* pid, ChildRun* run) {
    std::istringstream in(report);
    int end = -1;
    in >> *pid >> end >> run->status >> run->error >> run->outputCut;
    run->end = static_cast<ChildRun::End>(end);
}

// Runs `/bin/sh -c script` after `prepare`.
ShRun sh(const std::string& script, size_t bufferSize = 4096, int timeoutSeconds = 0,
         const std::vector<EnvironmentEdit>* environment = nullptr, const std::function<void()>& prepare = nullptr) {
    TempDir dir;
    std::string outPath = dir.file("stdout");
    std::string errPath = dir.file("stderr");
    std::string logPath = dir.file("log");
    ShRun run;
    run.child = runInChild([&] {
        for (auto [path, fd] : {std::pair{&outPath, 1}, std::pair{&errPath, 2}}) {
            int file = open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(file, fd);
            close(file);
        }
        log_stderr(-1);
        init_file_logging(4, logPath.c_str());
        std::vector<std::string> args = {"/bin/sh", "-c", script};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        if (prepare) prepare();
        uint32_t pid = 0;
        ChildRun ran =
            runChildProcess(static_cast<int>(argv.size()), argv.data(), bufferSize, &pid, timeoutSeconds, environment);
        stop_file_logging();
        return reported(pid, ran);
    });
    parseReport(run.child.report, &run.pid, &run.run);
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    run.log = readFile(logPath);
    return run;
}

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

}  // namespace

// Standard output belongs to the application: a child's output (the
// bootstrap JVM's warnings) must not mix with what it writes there.
TEST(Exec, OutputReachesStderrOnlyAndTheLogBetweenMarkers) {
    ShRun run = sh("echo hello; echo oops >&2");
    ASSERT_EQ(run.child.exitCode, 0) << run.child.err;
    EXPECT_EQ(run.err, "hello\noops\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Executing [/bin/sh, -c, echo hello; echo oops >&2]\n")) << run.log;
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Process output:\nhello\noops\n\nTarsil-JVMTI [DEBUG] End process output.\n"))
        << run.log;
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] Child PID: " + std::to_string(run.pid) + "\n")) << run.log;
    EXPECT_NE(run.pid, 0u);
    EXPECT_EQ(run.run.end, ChildRun::End::exited);
    EXPECT_EQ(run.run.status, 0);
    EXPECT_FALSE(run.run.outputCut);
}

TEST(Exec, ChildThatNeverStopsWritingIsCutAtTheCapAndAtItsTimeLimit) {
    auto started = std::chrono::steady_clock::now();
    ShRun run = sh("yes output", 4096, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(run.err.size(), kChildOutputCap);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(has(run.log, "more bytes of the child process's output were left out (only the first 1048576 are kept)"))
        << run.log.substr(run.log.size() > 2000 ? run.log.size() - 2000 : 0);
    EXPECT_EQ(run.run.end, ChildRun::End::timedOut);
    EXPECT_TRUE(run.run.outputCut);
    // The copy between its markers (the log may hold lines of earlier cases
    // of this process, held until a log file opened).
    size_t start = run.log.find("Process output:\n");
    size_t end = run.log.find("End process output.");
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(end - start, kChildOutputCap + 4096);
}

TEST(Exec, ChildGetsTheJvmsEnvironmentWithTheEditsApplied) {
    setenv("TEST_KEPT", "kept", 1);
    setenv("TEST_CHANGED", "-agentlib:jdwp=suspend=y -Xint", 1);
    setenv("TEST_GONE", "-javaagent:x.jar", 1);
    std::vector<EnvironmentEdit> edits = {{"TEST_CHANGED", false, "-Xint"}, {"TEST_GONE", true, ""},
                                          {"TEST_NEW", false, "'a b'"}};
    ShRun run = sh("echo \"$TEST_KEPT|$TEST_CHANGED|${TEST_GONE-unset}|$TEST_NEW\"", 4096, 0, &edits);
    EXPECT_EQ(run.err, "kept|-Xint|unset|'a b'\n");
    unsetenv("TEST_KEPT");
    unsetenv("TEST_CHANGED");
    unsetenv("TEST_GONE");
}

TEST(Exec, SilentChildLeavesNoMarkers) {
    ShRun run = sh("exit 0");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(has(run.log, "Process output:"));
    EXPECT_FALSE(has(run.log, "End process output."));
}

TEST(Exec, OutputLargerThanTheBufferArrivesWholeAndInOrder) {
    ShRun run = sh("seq 1 5000", 64);
    std::string expected;
    for (int i = 1; i <= 5000; i++) expected += std::to_string(i) + "\n";
    EXPECT_EQ(run.err, expected);
    size_t first = run.log.find("Process output:");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(run.log.find("Process output:", first + 1), std::string::npos);
}

TEST(Exec, EveryEndIsReported) {
    auto ignoreChildren = [] { signal(SIGCHLD, SIG_IGN); };
    auto starveDescriptors = [] {
        rlimit starved{3, 3};  // no room for the output pipe
        setrlimit(RLIMIT_NOFILE, &starved);
    };
    struct Case {
        const char* script;
        std::function<void()> prepare;
        ChildRun::End end;
        int status;
        int error;
    } cases[] = {
        {"exit 0", nullptr, ChildRun::End::exited, 0, 0},
        {"exit 2", nullptr, ChildRun::End::exited, 2, 0},
        {"kill -9 $$", nullptr, ChildRun::End::signalled, SIGKILL, 0},
        // Reaped for us: the status is lost.
        {"exit 2", ignoreChildren, ChildRun::End::unknown, 0, ECHILD},
        {"exit 0", starveDescriptors, ChildRun::End::notStarted, 0, EMFILE},
    };
    for (const Case& c : cases) {
        ShRun run = sh(c.script, 4096, 0, nullptr, c.prepare);
        ASSERT_EQ(run.child.exitCode, 0) << c.script << run.child.err;
        EXPECT_EQ(run.run.end, c.end) << c.script;
        EXPECT_EQ(run.run.status, c.status) << c.script;
        EXPECT_EQ(run.run.error, c.error) << c.script;
        // The process id is published only for a child that ran.
        EXPECT_EQ(run.pid != 0, c.end != ChildRun::End::notStarted) << c.script;
    }
}

TEST(Exec, MissingProgramEndsTheChildWithItsFatalLine) {
    TempDir dir;
    std::string logPath = dir.file("log");
    ChildResult child = runInChild([&] {
        init_file_logging(4, logPath.c_str());
        char program[] = "/no/such/program";
        char* argv[] = {program};
        ChildRun run = runChildProcess(1, argv, 4096, nullptr);
        stop_file_logging();
        return reported(0, run);
    });
    uint32_t pid = 0;
    ChildRun run;
    parseReport(child.report, &pid, &run);
    std::string log = readFile(logPath);
    EXPECT_TRUE(has(log, "Tarsil-JVMTI [FATAL] Failed to execute the child process (errno: 2)\n")) << log;
    EXPECT_EQ(run.end, ChildRun::End::exited);
    EXPECT_EQ(run.status, 3);
}

TEST(Exec, ChildInheritsNoDescriptorsBeyondTheStandardOnes) {
    int extra = open("/dev/null", O_RDONLY);
    ASSERT_GE(extra, 3);
    ShRun run = sh("ls /proc/self/fd");
    close(extra);
    // 0, 1, 2 and the one ls itself opens to list the folder.
    EXPECT_EQ(run.err, "0\n1\n2\n3\n") << run.err;
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
    std::string errPath = dir.file("stderr");
    ChildResult child = runInChild([&] {
        int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
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
        ChildRun run = runChildProcess(static_cast<int>(argv.size()), argv.data(), 4096, nullptr);
        done = true;
        interrupter.join();
        return std::to_string(interruptions > 10) + " " + std::to_string(run.status);
    });
    EXPECT_EQ(child.report, "1 2") << child.err;
    EXPECT_EQ(readFile(errPath), "early\nlate\n");
}

namespace {

ChildRun endedAs(ChildRun::End end, int status = 0, const char* failedStep = "", const char* errorText = "") {
    ChildRun run;
    run.end = end;
    run.status = status;
    run.failedStep = failedStep;
    run.errorText = errorText;
    return run;
}

}  // namespace

// Only a success, or an end that could not be learnt (the jar decides),
// lets the JVM go on; every other end says why it stops.
TEST(BootstrapChild, EveryEndButSuccessEndsTheJvm) {
    ChildRun cut = endedAs(ChildRun::End::exited);
    cut.outputCut = true;
    struct Case {
        ChildRun run;
        bool ends;
        const char* says;
    } cases[] = {
        {endedAs(ChildRun::End::exited), false, ""},
        {cut, false, ""},
        {endedAs(ChildRun::End::exited, 4), true, "(exit code: 4)"},
        {endedAs(ChildRun::End::signalled, 9), true, "(wstatus: 9)"},
        {endedAs(ChildRun::End::timedOut), true, "within 7 seconds"},
        {endedAs(ChildRun::End::notStarted, 0, "fork a child process", "errno: 11"), true,
         "[FATAL] Failed to fork a child process (errno: 11)"},
        {endedAs(ChildRun::End::unknown, 0, "", "errno: 10"), false, "[WARN] Could not learn"},
    };
    for (const Case& c : cases) {
        StderrCapture err;
        log_stderr(4);
        bool ends = judgeBootstrapChild(c.run, 7);
        log_stderr(1);
        std::string text = err.text();
        EXPECT_EQ(ends, c.ends) << c.says;
        EXPECT_TRUE(has(text, c.says)) << text;
        EXPECT_EQ(has(text, "[FATAL]"), c.ends) << text;
    }
}
