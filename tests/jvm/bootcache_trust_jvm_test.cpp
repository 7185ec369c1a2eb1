// The bootstrap folder in real JVMs when someone else got there first:
// planted jars, links and FIFOs at the names the library uses, folders of
// other users; and the cache under pressure: a child that never ends, a JVM
// killed while its child runs, many JVMs on one configuration.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "bootcache_cmdline.h"
#include "jvm_harness.h"
#include "support/child.h"

namespace fs = std::filesystem;

namespace {

constexpr char kScenarios[] = "com.lindenforgesys.reload.test.Scenarios";
constexpr char kAppLoader[] = "@jdk.internal.loader.ClassLoaders$AppClassLoader/";

uid_t nobody() {
    struct passwd* entry = getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

std::vector<std::string> namesEndingWith(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.ends_with(suffix)) names.push_back(name);
    }
    return names;
}

class BootstrapTrust : public PerJdkTest {
protected:
    JvmRun java(const std::vector<std::string>& args, const std::string& folderProperty, int timeout = 120,
                const std::vector<std::string>& env = {}) {
        JvmLaunch launch;
        launch.setEnv = env;
        launch.args = {agentPath("debug"), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR};
        if (!folderProperty.empty()) launch.args.push_back(folderProperty);
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = work.path();
        launch.timeoutSeconds = timeout;
        JvmRun run = runJava(GetParam(), launch);
        EXPECT_FALSE(run.timedOut) << run.err;
        return run;
    }

    // The emulation scenario, which checks that Replaced still does what
    // its own class file says.
    JvmRun scenario(const std::string& folder, std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"-cp", TARSIL_TESTS_JAR, kScenarios, "emulation"});
        return java(extra, "-Dvesta.bootcache.dir=" + folder);
    }

    static std::string hashOf(const JvmRun& run) {
        std::smatch hash;
        if (!std::regex_search(run.err, hash, std::regex("Checking bootcache for ([0-9a-f]{32})\n"))) return "";
        return hash[1];
    }

    TempDir work;
};

}  // namespace

TEST_P(BootstrapTrust, PlantedCachedJarsAreNeverServed) {
    SKIP_BELOW_JAVA(9, "Java 8 puts the jar on the boot class path, where the planted class would not come from");
    // A jar that would replace an application class, built genuinely for
    // another configuration.
    TempDir attacker;
    JvmRun planted = scenario(attacker.path(), {std::string("-Dvesta.test.install.entries=") + kAppLoader +
                                                    "com/lindenforgesys/reload/test/Replaced.class=" +
                                                    TARSIL_REPLACEMENT_CLASS,
                                                "-Dvesta.test.expectReplaced=replaced"});
    ASSERT_EQ(planted.exitCode, 0) << planted.out << planted.err;
    std::string evil = attacker.file("tarsil-bootstrap-" + hashOf(planted) + ".jar");
    TempDir probe;
    std::string victimHash = hashOf(scenario(probe.path()));
    ASSERT_EQ(victimHash.size(), 32u);

    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
    } cases[] = {
        {"link", [&](const std::string& at) { fs::create_symlink(evil, at); }},
        {"fifo", [&](const std::string& at) { mkfifo(at.c_str(), 0600); }},
        {"folder", [&](const std::string& at) { fs::create_directory(at); }},
        {"another user's",
         [&](const std::string& at) {
             fs::copy_file(evil, at);
             ASSERT_EQ(chown(at.c_str(), nobody(), nobody()), 0);
         }},
        {"group-writable",
         [&](const std::string& at) {
             fs::copy_file(evil, at);
             chmod(at.c_str(), 0660);
         }},
    };
    for (const Case& c : cases) {
        TempDir folder;
        std::string cached = folder.file("tarsil-bootstrap-" + victimHash + ".jar");
        c.plant(cached);
        JvmRun run = scenario(folder.path());
        EXPECT_EQ(run.exitCode, 0) << c.what << run.out << run.err;
        EXPECT_NE(run.out.find("OK emulation"), std::string::npos) << c.what << run.out << run.err;
        EXPECT_NE(run.err.find("Not using the cached bootstrap jar " + cached), std::string::npos) << c.what;
        // Replaced by a jar of our own, which does not touch the planted one.
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(cached))) << c.what;
        EXPECT_EQ(fs::file_size(evil), fs::file_size(attacker.file("tarsil-bootstrap-" + hashOf(planted) + ".jar")));
    }
}

TEST_P(BootstrapTrust, LogNameTakenByALinkFifoOrFolder) {
    TempDir elsewhere;
    std::string victim = elsewhere.file("victim.txt");
    std::ofstream(victim) << "precious";
    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
        bool logged;  // whether a log file could be made
    } cases[] = {
        {"link", [&](const std::string& at) { fs::create_symlink(victim, at); }, true},
        {"hard link", [&](const std::string& at) { fs::create_hard_link(victim, at); }, true},
        {"fifo", [](const std::string& at) { mkfifo(at.c_str(), 0600); }, true},
        {"another user's",
         [](const std::string& at) {
             std::ofstream(at) << "old";
             ASSERT_EQ(chown(at.c_str(), nobody(), nobody()), 0);
         },
         true},
        {"folder with content",
         [](const std::string& at) {
             fs::create_directory(at);
             std::ofstream(at + "/x") << "x";
         },
         false},
    };
    for (const Case& c : cases) {
        TempDir folder;
        std::string log = folder.file("tarsil.boot.log");
        c.plant(log);
        JvmRun run = java({"-version"}, "-Dvesta.bootcache.dir=" + folder.path(), 60);
        EXPECT_EQ(run.exitCode, 0) << c.what << run.err;
        EXPECT_EQ(readFile(victim), "precious") << c.what;
        if (c.logged) {
            struct stat st;
            ASSERT_EQ(lstat(log.c_str(), &st), 0) << c.what;
            EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << c.what;
            EXPECT_EQ(st.st_uid, geteuid()) << c.what;
            EXPECT_NE(readFile(log).find("Checking bootcache for"), std::string::npos) << c.what;
        } else {
            EXPECT_NE(run.err.find("Unable to start logging to file " + log), std::string::npos) << c.what;
        }
    }
}

TEST_P(BootstrapTrust, FoldersOthersCanChangeAreNotUsed) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> prepare;
    } cases[] = {
        {"another user's", [](const std::string& dir) { ASSERT_EQ(chown(dir.c_str(), nobody(), nobody()), 0); }},
        {"writable by everybody", [](const std::string& dir) { chmod(dir.c_str(), 01777); }},
    };
    for (const Case& c : cases) {
        TempDir shared;
        TempDir base;
        c.prepare(shared.path());
        JvmRun run = java({"-Dvesta.base=" + base.path(), "-version"}, "-Dvesta.bootcache.dir=" + shared.path());
        EXPECT_EQ(run.exitCode, 0) << c.what << run.err;
        EXPECT_NE(run.err.find("[WARN] Not using " + shared.path() + " as the bootstrap folder"), std::string::npos)
            << c.what << run.err;
        EXPECT_TRUE(fs::is_empty(shared.path())) << c.what;
        EXPECT_EQ(namesEndingWith(base.file("bootcache"), ".jar").size(), 1u) << c.what;
    }
}

TEST_P(BootstrapTrust, VestaBaseFolderOfAnotherUserEndsTheJvmNamingIt) {
    TempDir base;
    fs::create_directory(base.file("bootcache"));
    ASSERT_EQ(chown(base.file("bootcache").c_str(), nobody(), nobody()), 0);
    JvmRun run = java({"-version"}, "-Dvesta.base=" + base.path());
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("[FATAL] Couldn't write to " + base.file("bootcache") +
                           " (it belongs to another user). Please make sure"),
              std::string::npos)
        << run.err;
}

TEST_P(BootstrapTrust, LongClassPathFromAnUnwritableWorkingDirectory) {
    TempDir folder;
    std::string classpath = TARSIL_TESTS_JAR;
    // Over the limit of one command line in all, though each argument is
    // under the limit of one argument.
    while (classpath.size() < 120000) classpath += ":/nonexistent/lib/some-library-1.0.jar";
    JvmLaunch launch;
    launch.args = {agentPath("debug"), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                   "-Dvesta.bootcache.dir=" + folder.path(), "-Dpadding=" + std::string(12000, 'p'), "-cp", classpath,
                   "-version"};
    launch.workDir = "/proc";
    JvmRun run = runJava(GetParam(), launch);
    EXPECT_EQ(run.exitCode, 0) << run.err.substr(0, 3000);
    // From Java 9 on the class path is in the child's argument file, which
    // has no length limit; Java 8's goes through a classpath jar.
    bool classpathJar = GetParam().featureVersion() < 9;
    EXPECT_EQ(run.err.find("generated classpath jar: " + folder.path() + "/tarsil-classpath-") != std::string::npos,
              classpathJar);
    // Nothing of the generation is left but the jar, the lock and the logs.
    EXPECT_TRUE(namesEndingWith(folder.path(), ".args").empty());
    EXPECT_EQ(namesEndingWith(folder.path(), ".jar").size(), 1u);
}

TEST_P(BootstrapTrust, ChildBeyondTheTimeLimitIsKilledAndEndsTheJvm) {
    TempDir folder;
    auto started = std::chrono::steady_clock::now();
    JvmRun run = java({"-Dvesta.bootstrap.timeout=5", "-Dvesta.test.install.sleepMs=600000", "-version"},
                      "-Dvesta.bootcache.dir=" + folder.path(), 90);
    EXPECT_EQ(run.exitCode, 3) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
    EXPECT_NE(run.err.find("did not finish within 5 seconds and was killed. The limit is set by the system property "
                           "'vesta.bootstrap.timeout'"),
              std::string::npos)
        << run.err;
    std::smatch child;
    ASSERT_TRUE(std::regex_search(run.err, child, std::regex("Child PID: ([0-9]+)")));
    EXPECT_TRUE(processGone(std::stol(child[1])));
}

TEST_P(BootstrapTrust, KilledJvmTakesItsChildAlongAndTheNextStartSweeps) {
    TempDir folder;
    std::string folderProperty = "-Dvesta.bootcache.dir=" + folder.path();
    // A secret the child needs, which other users must not read off its
    // command line where the JVM has argument files.
    std::string secret = "-Dapp.password=hunter2";
    JvmRun killed;
    std::thread parent([&] {
        killed = java({secret, "-version"}, folderProperty, 120, {"VESTA_TEST_INSTALL_SLEEP_MS=600000"});
    });
    // The JVM, once its child runs.
    std::string jvmPid;
    for (int i = 0; i < 600 && jvmPid.empty(); i++) {
        usleep(50000);
        if (namesEndingWith(folder.path(), ".tmp.jar").empty()) continue;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::string cmdline = readFile(entry.path().string() + "/cmdline");
            if (cmdline.find(folderProperty + '\0') != std::string::npos &&
                cmdline.find(agentPath("debug") + '\0') != std::string::npos) {
                jvmPid = entry.path().filename().string();
            }
        }
    }
    ASSERT_FALSE(jvmPid.empty());
    std::string childPid;
    for (int i = 0; i < 100 && childPid.empty(); i++) {
        usleep(50000);
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::string stat = readFile(entry.path().string() + "/stat");
            size_t end = stat.rfind(") ");
            if (end == std::string::npos) continue;
            std::istringstream fields(stat.substr(end + 2));
            std::string state, ppid;
            fields >> state >> ppid;
            if (ppid == jvmPid) childPid = entry.path().filename().string();
        }
    }
    ASSERT_FALSE(childPid.empty());
    std::string childCommand = readFile("/proc/" + childPid + "/cmdline");
    bool argumentFiles = GetParam().featureVersion() >= 9;
    if (argumentFiles) {
        EXPECT_EQ(childCommand.find("hunter2"), std::string::npos);
        EXPECT_NE(childCommand.find(std::string("\0@") + folder.path() + "/tarsil-bootstrap-"), std::string::npos);
    }
    kill(std::stoi(jvmPid), SIGKILL);
    parent.join();
    EXPECT_TRUE(processGone(std::stol(childPid)));
    EXPECT_FALSE(namesEndingWith(folder.path(), ".tmp.jar").empty());

    // The same configuration (the installer's pause is no part of it).
    JvmRun next = java({secret, "-version"}, folderProperty);
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_TRUE(namesEndingWith(folder.path(), ".tmp.jar").empty());
}

TEST_P(BootstrapTrust, ManyJvmsOnAnEmptyFolderRunOneChild) {
    TempDir folder;
    std::string count = work.file("installer-runs");
    constexpr int kJvms = 6;
    std::vector<JvmRun> runs(kJvms);
    std::vector<std::thread> threads;
    for (int i = 0; i < kJvms; i++) {
        threads.emplace_back([&, i] {
            runs[i] = java({"-Dvesta.test.install.count=" + count, "-Dvesta.test.install.sleepMs=1500", "-version"},
                           "-Dvesta.bootcache.dir=" + folder.path());
        });
    }
    for (auto& thread : threads) thread.join();
    for (const JvmRun& run : runs) EXPECT_EQ(run.exitCode, 0) << run.err;
    std::string runsSeen = readFile(count);
    EXPECT_EQ(std::count(runsSeen.begin(), runsSeen.end(), '\n'), 1) << runsSeen;
    EXPECT_EQ(namesEndingWith(folder.path(), ".jar").size(), 1u);
    EXPECT_TRUE(namesEndingWith(folder.path(), ".tmp.jar").empty());
}

TEST_P(BootstrapTrust, GenerationsWithDifferentTimeLimitsLeaveEachOthersFilesAlone) {
    int feature = GetParam().featureVersion();
    if ((feature != 17 && feature != 25) || !GetParam().root.empty()) {
        GTEST_SKIP() << "the sweep is the library's alone: this machine's JDK 17 and 25 show it";
    }
    TempDir folder;
    std::string property = "-Dvesta.bootcache.dir=" + folder.path();
    // A long generation of one configuration, with a generous time limit...
    JvmRun slow;
    std::thread slowJvm([&] {
        slow = java({"-Dvesta.bootstrap.timeout=300", "-Dvesta.test.install.sleepMs=20000", "-version"}, property);
    });
    std::vector<std::string> running;
    for (int waited = 0; running.size() < 2 && waited < 200; waited++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        running = namesEndingWith(folder.path(), ".tmp.jar");
        std::vector<std::string> args = namesEndingWith(folder.path(), ".args");
        running.insert(running.end(), args.begin(), args.end());
    }
    ASSERT_EQ(running.size(), 2u) << "the slow generation did not start";
    // ...outlives, at age 11 s, what a JVM with a 5 s limit thinks any can.
    std::this_thread::sleep_for(std::chrono::seconds(11));
    JvmRun quick = java({"-Dvesta.bootstrap.timeout=5", "-XX:+UseSerialGC", "-version"}, property);
    EXPECT_EQ(quick.exitCode, 0) << quick.err;
    for (const std::string& name : running) EXPECT_TRUE(fs::exists(folder.file(name))) << name << quick.err;
    slowJvm.join();
    EXPECT_EQ(slow.exitCode, 0) << slow.err;
    std::vector<std::string> jars;
    for (const std::string& jar : namesEndingWith(folder.path(), ".jar")) {
        if (!jar.ends_with(".tmp.jar")) jars.push_back(jar);
    }
    ASSERT_EQ(jars.size(), 2u);
    for (const std::string& jar : jars) {
        struct stat st;
        ASSERT_EQ(stat(folder.file(jar).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << jar;
    }
}

TEST_P(BootstrapTrust, JvmsInTheirOwnPidNamespacesShareTheFolder) {
    if (access("/usr/bin/unshare", X_OK) != 0 || geteuid() != 0) GTEST_SKIP() << "needs unshare and root";
    if (!GetParam().root.empty()) GTEST_SKIP() << "runs on this machine's own JDKs: a chroot's JVM has its own launch";
    TempDir folder;
    std::string count = work.file("installer-runs");
    // Both JVMs are process 1 of their namespace: only the random part of
    // the names and the lock keep them apart.
    std::string command = "cd " + work.path() + " && /usr/bin/unshare --pid --fork --mount-proc " + GetParam().home +
                          "/bin/java " + agentPath("debug") + " -Dvesta.native.jar=" + TARSIL_AGENT_JAR +
                          " -Dvesta.bootcache.dir=" + folder.path() + " -Dvesta.test.install.count=" + count +
                          " -Dvesta.test.install.sleepMs=1000 -version 2>/dev/null";
    int status[2];
    std::thread other([&] { status[1] = std::system(command.c_str()); });
    status[0] = std::system(command.c_str());
    other.join();
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    std::string runsSeen = readFile(count);
    EXPECT_EQ(std::count(runsSeen.begin(), runsSeen.end(), '\n'), 1) << runsSeen;
    EXPECT_EQ(namesEndingWith(folder.path(), ".jar").size(), 1u);
}

TEST_P(BootstrapTrust, ArgumentFilesCarryEveryValueUnchanged) {
    SKIP_BELOW_JAVA(9, "Java 8 has no argument files");
    std::string tricky = "a b \"quoted\" back\\slash\ttab 'single' #hash @at \xc3\xa9";
    std::vector<std::string> args = {"-Dtricky=" + tricky, "-Dempty="};
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    std::string file = work.file("args");
    std::ofstream(file, std::ios::binary) << argumentFileText(pointers.data(), static_cast<int>(pointers.size()));
    JvmLaunch launch;
    launch.args = {"@" + file, "-XshowSettings:properties", "-version"};
    JvmRun run = runJava(GetParam(), launch);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("    tricky = " + tricky + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("    empty = \n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Jdks, BootstrapTrust, ::testing::ValuesIn(candidateJdks()), jdkTestName);
