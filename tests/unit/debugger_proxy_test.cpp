// The debugger proxy's port parsers, its command line, the runner's restart
// rule and unload's kill, with shell scripts standing in for the proxy.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "debugger_proxy.h"
#include "jarinfo.h"
#include "list.h"
#include "logging.h"
#include "agent_state.h"
#include "support/child.h"
#include "support/fake_jvmti.h"

namespace {

int proxyPortOf(const char* options) {
    return parseDebuggerProxyPort(options);
}

int jdwpPortOf(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    return parseJdwpPort(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(DebuggerProxy, ProxyPortOption) {
    StderrCapture err;
    log_stderr(4);
    EXPECT_EQ(proxyPortOf(nullptr), 0);
    EXPECT_EQ(proxyPortOf("debug,bcpemu"), 0);
    EXPECT_EQ(proxyPortOf("dbgproxyport=0"), 0);
    EXPECT_EQ(proxyPortOf("dbgproxyport="), 0);
    EXPECT_EQ(proxyPortOf("debug,dbgproxyport=5005,bcpemu"), 5005);
    EXPECT_EQ(proxyPortOf("xdbgproxyport=77"), 77);  // found anywhere
    EXPECT_EQ(proxyPortOf("dbgproxyport=12ab"), 12);
    EXPECT_EQ(proxyPortOf("dbgproxyport=1234567890123456"), 0);  // 16 digits
    EXPECT_EQ(proxyPortOf("dbgproxyport=5005,dbgproxyport=6006"), 5005);
    log_stderr(1);
    std::string text = err.text();
    EXPECT_NE(text.find("Tarsil-JVMTI [DEBUG] agent.options is NULL\n"), std::string::npos);
    EXPECT_NE(text.find("Tarsil-JVMTI [DEBUG] No dbgproxyport option in options [debug,bcpemu]\n"), std::string::npos);
}

TEST(DebuggerProxy, JdwpPortFromTheCommandLine) {
    const std::string java = "/jdk/bin/java";
    const std::string jdwp = "-agentlib:jdwp=transport=dt_socket,server=y,suspend=n,";
    EXPECT_EQ(jdwpPortOf({java, "-Xmx1g", jdwp + "address=5005", "Main"}), 5005);
    EXPECT_EQ(jdwpPortOf({java, jdwp + "address=*:5006"}), 5006);
    EXPECT_EQ(jdwpPortOf({java, jdwp + "address=build-host:5007"}), 5007);
    EXPECT_EQ(jdwpPortOf({java, "-agentlib:jdwp=address=127.0.0.1:5008,server=y"}), 5008);
    EXPECT_EQ(jdwpPortOf({java, jdwp.substr(0, jdwp.size() - 1)}), 0);  // no address=
    EXPECT_EQ(jdwpPortOf({java, jdwp + "address=host:"}), 0);
    EXPECT_EQ(jdwpPortOf({java, jdwp + "address=123456789012345"}), 0);  // 15 digits
    EXPECT_EQ(jdwpPortOf({java, jdwp + "address=12345678901234"}), 0);   // 14 digits, beyond an int
    EXPECT_EQ(jdwpPortOf({java, "-Xrunjdwp:transport=dt_socket,address=5005"}), 0);
    EXPECT_EQ(jdwpPortOf({jdwp + "address=5005"}), 0);  // the launcher is not an option
    // The first JDWP agent decides, even without an address.
    EXPECT_EQ(jdwpPortOf({java, "-agentlib:jdwp=transport=dt_socket", jdwp + "address=5005"}), 0);
    EXPECT_EQ(jdwpPortOf({java}), 0);
}

namespace {

std::vector<std::string> commandFor(const std::map<std::string, std::string>& properties, const char* jarPath,
                                    std::string* log = nullptr) {
    FakeJvmtiScript script;
    script.properties = properties;
    FakeJvm jvm(script);
    JarInfo jar{const_cast<char*>(jarPath), "", ""};
    agent.jarInfo = &jar;
    StderrCapture err;
    log_stderr(4);
    arg_vector* command = createProxyCommand(jvm.newEnv(), 7001, 5005);
    log_stderr(1);
    if (log != nullptr) *log = err.text();
    std::vector<std::string> args(command->argv, command->argv + command->argc);
    freeProxyCommand(command);
    agent.jarInfo = nullptr;
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);
    return args;
}

}  // namespace

TEST(DebuggerProxy, CommandLineHasSevenOrEightElements) {
    std::string pid = "-Dvesta.parent.pid=" + std::to_string(getpid());
    std::string log;
    EXPECT_EQ(commandFor({{"java.home", "/jdk"}}, "/opt/tarsil/tarsil.jar", &log),
              (std::vector<std::string>{"/jdk/bin/java", pid, "-jar", "/opt/tarsil/ts-debugger-proxy.jar", "7001",
                                        "localhost", "5005"}));
    EXPECT_NE(log.find("Tarsil-JVMTI [DEBUG] Jar locatiom: /opt/tarsil/\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Tarsil-JVMTI [DEBUG] Debugger proxy: /opt/tarsil/ts-debugger-proxy.jar\n"), std::string::npos);
    EXPECT_EQ(commandFor({{"java.home", "/jdk"}, {"vesta.base", "/srv/vesta"}}, "/opt/tarsil/tarsil.jar"),
              (std::vector<std::string>{"/jdk/bin/java", "-Dvesta.base=/srv/vesta", pid, "-jar",
                                        "/opt/tarsil/ts-debugger-proxy.jar", "7001", "localhost", "5005"}));
    // A jar path without a folder: the proxy jar in the working directory.
    EXPECT_EQ(commandFor({{"java.home", "/jdk"}}, "tarsil.jar")[3], "ts-debugger-proxy.jar");
}

namespace {

// A proxy command that runs a shell script.
arg_vector* script(const std::string& text) {
    auto* command = static_cast<arg_vector*>(malloc(sizeof(arg_vector)));
    command->argc = 3;
    command->argv = static_cast<char**>(malloc(3 * sizeof(char*)));
    command->argv[0] = lfts_dup("/bin/sh");
    command->argv[1] = lfts_dup("-c");
    command->argv[2] = lfts_dup(text.c_str());
    return command;
}

// What launchDebuggerProxy sets up before the runner starts.
struct ProxyHost {
    FakeJvm jvm;
    ProxyHost() { createProxyLock(jvm.newEnv()); }
};

uint32_t waitForProxy(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (proxy_pid == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return proxy_pid;
}

}  // namespace

TEST(DebuggerProxy, EarlyExitIsNotRestarted) {
    ChildResult child = runInChild([] {
        log_stderr(4);
        ProxyHost host;
        runDebuggerProxy(nullptr, nullptr, script("echo proxy run"));
        return std::to_string(proxy_pid);
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "0");  // cleared once the proxy was reaped
    EXPECT_NE(child.err.find("Tarsil-JVMTI [ERROR] Early exit of Debugger Proxy. Debugger Proxy will not be "
                             "restarted.\n"),
              std::string::npos);
    EXPECT_EQ(child.err.find("Restarting"), std::string::npos);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] Exiting debugger proxy runner thread\n"), std::string::npos);
}

// A proxy that ends abnormally is only noted: the JVM goes on.
TEST(DebuggerProxy, AbnormalEndsAreNotedAndTheJvmGoesOn) {
    struct Case {
        const char* script;
        const char* noted;
    } cases[] = {
        {"exit 2", "Tarsil-JVMTI [INFO] Child JVM has been shut down (exit code: 2).\n"},
        {"kill -9 $$", "Tarsil-JVMTI [INFO] Child JVM has been shut down (wstatus: 9).\n"},
    };
    for (const Case& c : cases) {
        ChildResult child = runInChild([&c] {
            log_stderr(4);
            ProxyHost host;
            runDebuggerProxy(nullptr, nullptr, script(c.script));
            return std::string("returned");
        });
        EXPECT_EQ(child.report, "returned") << c.script << child.err;
        EXPECT_NE(child.err.find(c.noted), std::string::npos) << child.err;
        EXPECT_NE(child.err.find("Early exit of Debugger Proxy."), std::string::npos) << c.script;
    }
}

TEST(DebuggerProxy, ProxyThatRanLongerIsRestarted) {
    TempDir dir;
    std::string runs = dir.file("runs");
    ChildResult child = runInChild([&runs] {
        ProxyHost host;
        // The first run lasts five seconds, the second ends at once.
        runDebuggerProxy(nullptr, nullptr,
                         script("if [ -f '" + runs + "' ]; then echo again >> '" + runs + "'; else echo first > '" +
                                runs + "'; sleep 5; fi"));
        return std::string("done");
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(readFile(runs), "first\nagain\n");
    EXPECT_NE(child.err.find("Debugger Proxy has stopped. Restarting Debugger Proxy.\n"), std::string::npos);
    EXPECT_NE(child.err.find("Early exit of Debugger Proxy."), std::string::npos);
}

TEST(DebuggerProxy, UnloadKillsTheRunningProxyAndStopsTheRunner) {
    ChildResult child = runInChild([] {
        log_stderr(4);
        ProxyHost host;
        std::thread runner(runDebuggerProxy, nullptr, nullptr, script("exec sleep 30"));
        uint32_t pid = waitForProxy(10);
        auto start = std::chrono::steady_clock::now();
        terminateDebuggerProxy();
        runner.join();
        auto waited = std::chrono::steady_clock::now() - start;
        // A second unload has nothing left to kill.
        terminateDebuggerProxy();
        return std::to_string(pid != 0) + " " + std::to_string(kill(static_cast<pid_t>(pid), 0) != 0) + " " +
               std::to_string(waited < std::chrono::seconds(10)) + " " + std::to_string(proxy_pid);
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "1 1 1 0");
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] Terminating debugger proxy pid="), std::string::npos);
    EXPECT_EQ(child.err.find("Terminating debugger proxy pid="), child.err.rfind("Terminating debugger proxy pid="));
    EXPECT_EQ(child.err.find("Restarting"), std::string::npos);
}

// Out of descriptors when the proxy is due: the start fails, the JVM lives
// on, and the runner tries again after a back-off until it succeeds.
TEST(DebuggerProxy, FailedStartIsRetriedAfterABackOff) {
    ChildResult child = runInChild([] {
        log_stderr(4);
        ProxyHost host;
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        rlimit starved = limit;
        starved.rlim_cur = 3;  // no room for the output pipe
        setrlimit(RLIMIT_NOFILE, &starved);
        // A plain thread: the sanitizers' check of std::thread's state cannot
        // read what it needs without descriptors.
        pthread_t runner;
        pthread_create(
            &runner, nullptr,
            [](void* command) -> void* {
                runDebuggerProxy(nullptr, nullptr, command);
                return nullptr;
            },
            script("exec sleep 30"));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        bool noneWhileStarved = proxy_pid == 0;
        setrlimit(RLIMIT_NOFILE, &limit);
        uint32_t pid = waitForProxy(10);
        terminateDebuggerProxy();
        pthread_join(runner, nullptr);
        return std::to_string(noneWhileStarved) + " " + std::to_string(pid != 0) + " " +
               std::to_string(kill(static_cast<pid_t>(pid), 0) != 0);
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "1 1 1");
    EXPECT_NE(child.err.find("Tarsil-JVMTI [ERROR] Debugger Proxy could not be started. Retrying in 1 s.\n"),
              std::string::npos)
        << child.err;
    EXPECT_NE(child.err.find("Tarsil-JVMTI [ERROR] Debugger Proxy could not be started. Retrying in 2 s.\n"),
              std::string::npos);
    EXPECT_EQ(child.err.find("Retrying in 4 s"), std::string::npos);
}
