// The child JVM that builds the bootstrap jar is the library's own, not a
// copy of the user's JVM, in real JVMs: debuggers in the variables IDEs and
// containers set, the user's Java agents, GC log and AOT cache, a child that
// never stops writing, and an argument file that cannot be written.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "jvm_harness.h"
#include "support/child.h"

namespace fs = std::filesystem;

namespace {

constexpr char kScenarios[] = "com.lindenforgesys.reload.test.Scenarios";

// A debugger that JVMs started with "server=n" connect to: it answers the
// JDWP handshake of each and lets it run on (VirtualMachine.Dispose).
class ListeningDebugger {
public:
    ListeningDebugger() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ListeningDebugger() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }
    int debuggees() const { return debuggees_.load(); }

private:
    void serve() {
        while (!stop_) {
            pollfd ready = {fd_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            int connection = accept(fd_, nullptr, nullptr);
            if (connection < 0) continue;
            debuggees_++;
            const char handshake[] = "JDWP-Handshake";
            (void)!write(connection, handshake, 14);
            char reply[14];
            for (size_t got = 0; got < sizeof reply;) {
                ssize_t n = read(connection, reply + got, sizeof reply - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            // length 11, id 1, flags 0, command set 1 (VirtualMachine), command 6 (Dispose)
            const unsigned char dispose[] = {0, 0, 0, 11, 0, 0, 0, 1, 0, 1, 6};
            (void)!write(connection, dispose, sizeof dispose);
            char answer[64];
            (void)!read(connection, answer, sizeof answer);
            close(connection);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> debuggees_{0};
    std::thread thread_;
};

class ChildJvmOptions : public PerJdkTest {
protected:
    JvmLaunch launch(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     const std::string& options = "debug") {
        JvmLaunch launch;
        launch.setEnv = env;
        launch.args = {agentPath(options), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                       "-Dvesta.bootcache.dir=" + cache()};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = work.path();
        launch.timeoutSeconds = 90;
        return launch;
    }

    JvmRun java(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        JvmRun run = runJava(GetParam(), launch(args, env));
        EXPECT_FALSE(run.timedOut) << run.err;
        return run;
    }

    std::string cache() const { return work.file("cache"); }
    std::string bootLog() const { return readFile(cache() + "/tarsil.boot.log"); }

    // The child's command line as the library logged it.
    static std::string executed(const JvmRun& run) {
        std::smatch line;
        return std::regex_search(run.err, line, std::regex("\\[DEBUG\\] Executing \\[([^\n]*)\\]\n")) ? line[1].str()
                                                                                                      : "";
    }

    TempDir work;
};

}  // namespace

TEST_P(ChildJvmOptions, DebuggerInAVariableNeverReachesTheChild) {
    for (const char* variable : {"JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS"}) {
        if (std::string(variable) == "JDK_JAVA_OPTIONS" && GetParam().featureVersion() < 9) continue;
        SCOPED_TRACE(variable);
        fs::remove_all(cache());
        ListeningDebugger debugger;
        std::string jdwp = "-agentlib:jdwp=transport=dt_socket,server=n,suspend=y,address=127.0.0.1:" +
                           std::to_string(debugger.port());
        auto started = std::chrono::steady_clock::now();
        JvmRun run = java({"-Dvesta.bootstrap.timeout=60", "-version"},
                          {std::string(variable) + "=" + jdwp + " -XX:+UseSerialGC"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        // Well inside the limit: the child waited for no debugger.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        EXPECT_NE(run.err.find("Renaming generated bootstrap to"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(std::string("The child JVM gets ") + variable + "=-XX:+UseSerialGC\n"),
                  std::string::npos);
        // The JVM itself, and nothing else, was debugged.
        EXPECT_EQ(debugger.debuggees(), 1);
    }
}

TEST_P(ChildJvmOptions, UsersJavaAgentRunsInTheJvmAndNeverInTheChild) {
    // Every JDK here still loads an -Xrun library with no JVM_OnLoad as an agent.
    std::string jar = (fs::path(TARSIL_TESTS_JAR).parent_path() / "marker-agent.jar").string();
    std::string lib = GetParam().home + (GetParam().featureVersion() < 9 ? "/jre/lib/" TARSIL_JDK_ARCH : "/lib");
    std::string marker = work.file("marker");
    std::string instrument = "-agentpath:" + lib + "/libinstrument.so=" + jar + "=" + marker;
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::vector<std::string> env;
    } cases[] = {
        {"-Xrun", {"-Xruninstrument:" + jar + "=" + marker}, {}},
        {"-agentpath", {instrument}, {}},
        {"-agentpath in JAVA_TOOL_OPTIONS", {}, {"JAVA_TOOL_OPTIONS=" + instrument}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(cache());
        fs::remove(marker);
        std::vector<std::string> args = c.args;
        args.push_back("-version");
        JvmRun run = java(args, c.env);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        std::smatch child;
        ASSERT_TRUE(std::regex_search(run.err, child, std::regex("Child PID: ([0-9]+)\n"))) << run.err;
        // One line: the JVM's own process id, not the child's.
        std::string lines = readFile(marker);
        EXPECT_TRUE(std::regex_match(lines, std::regex("[0-9]+\n"))) << lines;
        EXPECT_NE(lines, child[1].str() + "\n");
    }
}

TEST_P(ChildJvmOptions, UsersGcLogHoldsTheJvmsOwnLinesOnly) {
    SKIP_BELOW_JAVA(9, "Java 8 has no -Xlog");
    JvmRun run = java({"-Xlog:gc:file=gc.log:pid", "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::smatch child;
    ASSERT_TRUE(std::regex_search(run.err, child, std::regex("Child PID: ([0-9]+)\n")));
    EXPECT_EQ(executed(run).find("-Xlog"), std::string::npos);
    std::istringstream lines(readFile(work.file("gc.log")));
    std::set<std::string> pids;
    for (std::string line; std::getline(lines, line);) pids.insert(line.substr(0, line.find(']') + 1));
    ASSERT_EQ(pids.size(), 1u) << readFile(work.file("gc.log"));
    EXPECT_NE(*pids.begin(), "[" + child[1].str() + "]");
    EXPECT_FALSE(fs::exists(work.file("gc.log.0")));
}

TEST_P(ChildJvmOptions, AotCacheOfTheUserIsNeitherInheritedNorTouched) {
    SKIP_BELOW_JAVA(25, "the AOT cache options are JDK 25's");
    std::vector<std::string> workload = {"-cp", TARSIL_TESTS_JAR, kScenarios, "sleep"};
    // The user's cache, made without the agent (the scenario then fails at
    // its end, wanting the agent's classes, after the training).
    JvmLaunch training;
    training.args = {"-XX:AOTCacheOutput=app.aot"};
    training.args.insert(training.args.end(), workload.begin(), workload.end());
    training.workDir = work.path();
    JvmRun trained = runJava(GetParam(), training);
    std::string aot = work.file("app.aot");
    ASSERT_TRUE(fs::exists(aot)) << trained.out << trained.err;
    std::string before = readFile(aot);
    auto written = fs::last_write_time(aot);

    struct Case {
        const char* what;
        std::vector<std::string> options;
        // The JVM's own assembly of a training run's cache, in a JVM of its
        // own, finds the agent's jar on the boot class path only after it
        // has checked that path; JDK 26 on ends the JVM with 1 for that.
        bool jvmSucceeds;
    } cases[] = {
        {"a training run", {"-XX:AOTCacheOutput=train.aot"}, GetParam().featureVersion() < 26},
        {"a run on the cache that must use it", {"-XX:AOTCache=app.aot", "-XX:AOTMode=on"}, true},
    };
    for (const Case& c : cases) {
        fs::remove_all(cache());
        std::vector<std::string> args = c.options;
        args.insert(args.end(), workload.begin(), workload.end());
        JvmRun run = java(args);
        if (c.jvmSucceeds) EXPECT_EQ(run.exitCode, 0) << c.what << run.out << run.err;
        EXPECT_NE(run.out.find("OK sleep"), std::string::npos) << c.what << run.out;
        EXPECT_NE(executed(run), "") << c.what;
        EXPECT_EQ(executed(run).find("AOT"), std::string::npos) << c.what << executed(run);
        EXPECT_EQ(readFile(aot), before) << c.what;
        EXPECT_EQ(fs::last_write_time(aot), written) << c.what;
    }
    JvmRun run = java({"-XX:AOTCache=app.aot", "-version"});
    EXPECT_NE(bootLog().find("[WARN] The archive of -XX:AOTCache=app.aot (command line) is not used while the Tarsil "
                             "agent is loaded"),
              std::string::npos)
        << run.err;
}

TEST_P(ChildJvmOptions, ChildThatKeepsWritingIsTimedOutWithABoundedLog) {
    auto started = std::chrono::steady_clock::now();
    JvmRun run = java({"-Dvesta.bootstrap.timeout=4", "-Dvesta.test.install.chatterMs=50", "-version"});
    EXPECT_EQ(run.exitCode, 3) << run.err.substr(0, 2000);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
    EXPECT_NE(run.err.find("did not finish within 4 seconds and was killed"), std::string::npos);
    std::smatch child;
    ASSERT_TRUE(std::regex_search(run.err, child, std::regex("Child PID: ([0-9]+)\n")));
    EXPECT_TRUE(processGone(std::stol(child[1])));
    std::string log = bootLog();
    EXPECT_LT(log.size(), (1u << 20) + 64 * 1024);
    EXPECT_NE(log.find("bytes of the child process's output were left out"), std::string::npos);
    EXPECT_LE(run.out.size(), 1u << 20);
}

TEST_P(ChildJvmOptions, UnwritableArgumentFileEndsTheJvmAndNoSecretIsPassed) {
    SKIP_BELOW_JAVA(9, "Java 8 has no argument files: its child gets the -D options on its command line");
    // Files may grow to 2,000 bytes: the argument file, with every system
    // property, cannot be written; the library's log is cut short too.
    std::string count = work.file("installer-runs");
    JvmLaunch start = launch({"-XX:-UsePerfData", "-Dapp.password=hunter2", "-Dapp.notes=" + std::string(3000, 'n'),
                              "-Dvesta.test.install.count=" + count,
                              "-version"},
                             {}, "");
    std::vector<std::string> command = {"/usr/bin/prlimit", "--fsize=2000", GetParam().home + "/bin/java"};
    command.insert(command.end(), start.args.begin(), start.args.end());
    JvmRun run = runInJdkSystem(GetParam(), command, start);
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_NE(run.err.find("[FATAL] Could not write the argument file " + cache() + "/tarsil-bootstrap-"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(".args for the child JVM (File too large)"), std::string::npos) << run.err;
    // No child ever ran, so the secret was on no command line.
    EXPECT_FALSE(fs::exists(count));
}

INSTANTIATE_TEST_SUITE_P(Jdks, ChildJvmOptions, ::testing::ValuesIn(candidateJdks()), jdkTestName);
