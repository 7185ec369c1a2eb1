// The debugger proxy beside real JVMs with a JDWP agent: its command line,
// a JDWP handshake through it, the restart rule, and no proxy left behind.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <regex>
#include <thread>

#include "jvm_harness.h"
#include "support/child.h"

namespace {

constexpr char kScenarios[] = "com.lindenforgesys.reload.test.Scenarios";

// Connects to the loopback port, retrying until `seconds` have passed; -1
// when nothing listens.
int connectTo(int port, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

// The JDWP handshake: the debugger sends "JDWP-Handshake", the JVM echoes it.
std::string handshake(int fd) {
    const char hello[] = "JDWP-Handshake";
    if (write(fd, hello, 14) != 14) return "write failed";
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    char buffer[32];
    while (answer.size() < 14) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    return answer;
}

class DebuggerProxyJvm : public PerJdkTest {
protected:
    void SetUp() override {
        PerJdkTest::SetUp();
        jdwpPort = freeLoopbackPort();
        proxyPort = freeLoopbackPort();
    }

    JvmLaunch launch(int sleepMs, const std::string& options, std::vector<std::string> env = {}) {
        JvmLaunch launch;
        launch.args = {"-agentpath:" + std::string(TARSIL_LIBRARY) + "=" + options,
                       std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR, "-Dvesta.bootcache.dir=" + dir.path(),
                       "-agentlib:jdwp=transport=dt_socket,server=y,suspend=n,address=127.0.0.1:" +
                           std::to_string(jdwpPort),
                       "-Dvesta.test.sleepMs=" + std::to_string(sleepMs), "-cp", TARSIL_TESTS_JAR, kScenarios, "sleep"};
        launch.setEnv = std::move(env);
        launch.workDir = dir.path();
        return launch;
    }

    std::string proxyOption() const { return "debug,dbgproxyport=" + std::to_string(proxyPort); }

    // The process ids of the proxies the JVM started, from its debug log.
    static std::vector<pid_t> proxyPids(const JvmRun& run) {
        std::vector<pid_t> pids;
        std::regex started("Executing \\[[^\\]]*ts-debugger-proxy\\.jar[^\\]]*\\]\nTarsil-JVMTI \\[DEBUG\\] Child PID: (\\d+)");
        for (std::sregex_iterator it(run.err.begin(), run.err.end(), started), end; it != end; ++it) {
            pids.push_back(std::stoi((*it)[1]));
        }
        return pids;
    }

    TempDir dir;
    int jdwpPort = 0;
    int proxyPort = 0;
};

}  // namespace

TEST_P(DebuggerProxyJvm, ProxyForwardsJdwpAndDiesWithTheJvm) {
    std::future<JvmRun> running = std::async(std::launch::async, [this] {
        return runJava(GetParam(), launch(6000, proxyOption()));
    });
    int fd = connectTo(proxyPort, 30);
    ASSERT_GE(fd, 0) << "nothing listens on the proxy port";
    EXPECT_EQ(handshake(fd), "JDWP-Handshake");
    close(fd);
    JvmRun run = running.get();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

    std::smatch pid;
    ASSERT_TRUE(std::regex_search(run.out, pid, std::regex("pid (\\d+)\n"))) << run.out;
    // The proxy's output is passed on to standard error, never mixed into
    // the application's standard output.
    EXPECT_NE(run.err.find("ts-debugger-proxy started: args=[" + std::to_string(proxyPort) + ", localhost, " +
                           std::to_string(jdwpPort) + "] vesta.parent.pid=" + pid[1].str() + " vesta.base=null"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("ts-debugger-proxy"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Debugger proxy port: " + std::to_string(proxyPort) + "\n"),
              std::string::npos);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] JDWP port: " + std::to_string(jdwpPort) + "\n"), std::string::npos);
    std::vector<pid_t> proxies = proxyPids(run);
    ASSERT_EQ(proxies.size(), 1u) << run.err;
    EXPECT_NE(run.err.find("Terminating debugger proxy pid=" + std::to_string(proxies[0]) + "."), std::string::npos);
    EXPECT_TRUE(processGone(proxies[0], 10)) << "proxy " << proxies[0] << " outlived the JVM";
}

TEST_P(DebuggerProxyJvm, EarlyExitIsNotRestartedLongerRunIs) {
    JvmRun early = runJava(GetParam(), launch(4000, proxyOption(), {"TS_PROXY_TEST_EXIT_AFTER_MS=0"}));
    ASSERT_EQ(early.exitCode, 0) << early.err;
    EXPECT_NE(early.err.find("Tarsil-JVMTI [ERROR] Early exit of Debugger Proxy. Debugger Proxy will not be "
                             "restarted.\n"),
              std::string::npos)
        << early.err;
    EXPECT_EQ(early.err.find("Restarting Debugger Proxy"), std::string::npos);
    EXPECT_EQ(proxyPids(early).size(), 1u);

    JvmRun restarted = runJava(GetParam(), launch(9000, proxyOption(), {"TS_PROXY_TEST_EXIT_AFTER_MS=5000"}));
    ASSERT_EQ(restarted.exitCode, 0) << restarted.err;
    EXPECT_NE(restarted.err.find("\nDebugger Proxy has stopped. Restarting Debugger Proxy.\n"), std::string::npos)
        << restarted.err;
    std::vector<pid_t> proxies = proxyPids(restarted);
    ASSERT_GE(proxies.size(), 2u) << restarted.err;
    for (pid_t proxy : proxies) EXPECT_TRUE(processGone(proxy, 10)) << "proxy " << proxy << " left behind";
}

// The application holds every descriptor when the proxy is due for a
// restart: the JVM lives on, logs the failed starts and starts the proxy
// once descriptors are free again.
TEST_P(DebuggerProxyJvm, RestartWithoutDescriptorsIsRetriedNotFatal) {
    JvmLaunch starved = launch(5000, proxyOption(), {"TS_PROXY_TEST_EXIT_AFTER_MS=5000"});
    starved.args.back() = "holdDescriptors";
    starved.args.insert(starved.args.end() - 4, {"-Dvesta.test.holdFromMs=3000", "-Dvesta.test.holdMs=6000"});
    JvmRun run = runJava(GetParam(), starved);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Too many open files"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("Tarsil-JVMTI [ERROR] Debugger Proxy could not be started. Retrying in 1 s.\n"),
              std::string::npos)
        << run.err;
    std::vector<pid_t> proxies = proxyPids(run);
    EXPECT_GE(proxies.size(), 2u) << run.err;
    for (pid_t proxy : proxies) EXPECT_TRUE(processGone(proxy, 10)) << "proxy " << proxy << " left behind";
}

TEST_P(DebuggerProxyJvm, NoProxyWithoutBothPorts) {
    JvmRun noOption = runJava(GetParam(), launch(0, "debug"));
    ASSERT_EQ(noOption.exitCode, 0) << noOption.err;
    EXPECT_NE(noOption.err.find("No debugger proxy port. Debugger proxy will not be launched."), std::string::npos);
    EXPECT_TRUE(proxyPids(noOption).empty());

    JvmLaunch noJdwp = launch(0, proxyOption());
    noJdwp.args.erase(noJdwp.args.begin() + 3);  // the JDWP agent
    JvmRun withoutJdwp = runJava(GetParam(), noJdwp);
    ASSERT_EQ(withoutJdwp.exitCode, 0) << withoutJdwp.err;
    EXPECT_NE(withoutJdwp.err.find("No JDWP port. Debugger proxy will not be launched."), std::string::npos);
    EXPECT_TRUE(proxyPids(withoutJdwp).empty());
}

INSTANTIATE_TEST_SUITE_P(Jdks, DebuggerProxyJvm, ::testing::ValuesIn(candidateJdks()), jdkTestName);
