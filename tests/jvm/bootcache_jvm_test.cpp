// The bootstrap jar cache in real JVMs: the first JVM of a configuration
// runs the installer in a child JVM, later ones find the cached jar; which
// settings share a jar; failing installers; the classpath jar; many JVMs
// starting together on an empty folder.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "jvm_harness.h"
#include "support/child.h"
#include "zip.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> namesIn(const std::string& folder, const std::regex& pattern) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (std::regex_match(name, pattern)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::regex kCachedJar("tarsil-bootstrap-[0-9a-f]{32}\\.jar");
const std::regex kTemporaryJar("tarsil-bootstrap-[0-9a-f]{20}-[0-9a-f]{5,}-[0-9a-f]{16}\\.tmp\\.jar");
const std::regex kChildLog("tarsil-bootstrap-[0-9a-f]{20}-[0-9a-f]{5,}-[0-9a-f]{16}\\.tmp\\.jar\\.log");

class BootstrapCache : public PerJdkTest {
protected:
    JvmRun java(const std::vector<std::string>& args, const std::string& cache = "") {
        JvmLaunch launch;
        launch.args = {agentPath("debug"), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                       "-Dvesta.bootcache.dir=" + (cache.empty() ? dir.path() : cache)};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = dir.path();
        JvmRun run = runJava(GetParam(), launch);
        EXPECT_FALSE(run.timedOut) << run.err;
        return run;
    }

    // The runtime hash the run looked for.
    static std::string hashOf(const JvmRun& run) {
        std::smatch hash;
        if (!std::regex_search(run.err, hash, std::regex("Checking bootcache for ([0-9a-f]{32})\n"))) return "";
        return hash[1];
    }

    // What the installer of the (only) generating run wrote to its log.
    std::string childLog() const {
        std::vector<std::string> logs = namesIn(dir.path(), kChildLog);
        EXPECT_EQ(logs.size(), 1u);
        return logs.empty() ? "" : readFile(dir.file(logs[0]));
    }

    TempDir dir;
};

}  // namespace

TEST_P(BootstrapCache, FirstJvmGeneratesLaterOnesFindTheJar) {
    std::string count = dir.file("installer-runs");
    JvmRun first = java({"-Dvesta.test.install.count=" + count, "-version"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    std::string hash = hashOf(first);
    ASSERT_EQ(hash.size(), 32u) << first.err;
    std::string cached = dir.file("tarsil-bootstrap-" + hash + ".jar");
    EXPECT_NE(first.err.find("No cached bootstrap jar, generating new one to: " + dir.path() + "/tarsil-bootstrap-" +
                             hash.substr(0, 20) + "-"),
              std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("Renaming generated bootstrap to " + cached + "\n"), std::string::npos);
    EXPECT_EQ(namesIn(dir.path(), kCachedJar), std::vector<std::string>{"tarsil-bootstrap-" + hash + ".jar"});
    EXPECT_TRUE(namesIn(dir.path(), kTemporaryJar).empty());
    // The child's log stays beside where the temporary jar was.
    EXPECT_NE(childLog().find("installer started"), std::string::npos);

    ZipReader jar;
    ASSERT_TRUE(jar.open(cached.c_str())) << jar.error();
    size_t size = 0;
    char* list = static_cast<char*>(jar.extractToHeap("tarsilbase-classes.txt", &size));
    ASSERT_NE(list, nullptr);
    EXPECT_NE(std::string(list, size).find("\n-\n"), std::string::npos);
    free(list);

    JvmRun second = java({"-Dvesta.test.install.count=" + count, "-version"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(hashOf(second), hash);
    EXPECT_NE(second.err.find("Bootstrap jar found from bootcache: " + cached + "\n"), std::string::npos)
        << second.err;
    EXPECT_EQ(second.err.find("generating new one"), std::string::npos);
    // The installer ran once, for the first JVM only.
    std::string runs = readFile(count);
    EXPECT_TRUE(runs.starts_with("run ")) << runs;
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 1) << runs;
}

TEST_P(BootstrapCache, ClassPathJmxPortAndFolderDoNotChangeTheHash) {
    auto hashWith = [this](std::vector<std::string> args, const std::string& cache = "") {
        args.push_back("-version");
        JvmRun run = java(args, cache);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return hashOf(run);
    };
    std::string jmx = "-Dcom.sun.management.jmxremote.port=";
    std::vector<std::string> jmxQuiet = {"-Dcom.sun.management.jmxremote.authenticate=false",
                                         "-Dcom.sun.management.jmxremote.ssl=false",
                                         "-Dcom.sun.management.jmxremote.host=127.0.0.1"};
    std::string base = hashWith({"-cp", "/a.jar"});
    ASSERT_EQ(base.size(), 32u);
    EXPECT_EQ(hashWith({"-cp", "/b.jar:/c"}), base);
    TempDir other;
    EXPECT_EQ(hashWith({"-cp", "/a.jar"}, other.path()), base);

    std::vector<std::string> withJmx = jmxQuiet;
    withJmx.insert(withJmx.end(), {jmx + std::to_string(freeLoopbackPort()), "-cp", "/a.jar"});
    std::string jmxHash = hashWith(withJmx);
    withJmx[3] = jmx + std::to_string(freeLoopbackPort());
    EXPECT_EQ(hashWith(withJmx), jmxHash);

    EXPECT_NE(hashWith({"-Dcustom.setting=1", "-cp", "/a.jar"}), base);
    EXPECT_NE(hashWith({"-Dcustom.setting=2", "-cp", "/a.jar"}), hashWith({"-Dcustom.setting=1", "-cp", "/a.jar"}));
}

TEST_P(BootstrapCache, FailingInstallerEndsTheJvm) {
    JvmRun failed = java({"-Dvesta.test.install.exit=1", "-version"});
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_NE(failed.err.find("A fatal error occurred while processing the base Java classes. The JVM has been shut "
                              "down (exit code: 1)."),
              std::string::npos)
        << failed.err;
    EXPECT_TRUE(namesIn(dir.path(), kCachedJar).empty());

    JvmRun killed = java({"-Dvesta.test.install.kill=true", "-version"});
    EXPECT_EQ(killed.exitCode, 3);
    EXPECT_NE(killed.err.find("The JVM has been shut down (wstatus: 9)."), std::string::npos) << killed.err;

    // A child that exits 0 without writing leaves the empty jar the library
    // made for it: checked, not published, removed.
    JvmRun silent = java({"-Dvesta.test.install.skipWrite=true", "-version"});
    EXPECT_EQ(silent.exitCode, 3);
    EXPECT_NE(silent.err.find("[FATAL] The child JVM did not produce a usable bootstrap jar: it is not a readable jar"),
              std::string::npos)
        << silent.err;
    EXPECT_TRUE(namesIn(dir.path(), kCachedJar).empty());
    EXPECT_TRUE(namesIn(dir.path(), kTemporaryJar).empty());
}

TEST_P(BootstrapCache, LongClassPathReachesTheChildThroughAJar) {
    // One argument may not exceed 128 KiB on Linux: the total goes over the
    // limit with a second long option.
    std::string classpath = TARSIL_TESTS_JAR;
    while (classpath.size() < 120000) classpath += ":/nonexistent/lib/some-library-1.0.jar";
    JvmRun run = java({"-Dpadding=" + std::string(12000, 'p'), "-cp", classpath, "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // From Java 9 on the whole class path goes into the child's argument
    // file, which has no length limit: no classpath jar is needed.
    if (GetParam().featureVersion() >= 9) {
        EXPECT_EQ(run.err.find("generated classpath jar"), std::string::npos) << run.err.substr(0, 4000);
        EXPECT_NE(childLog().find("java.class.path=" + classpath), std::string::npos);
        return;
    }
    std::smatch jar;
    ASSERT_TRUE(std::regex_search(run.err, jar, std::regex("generated classpath jar: (/.*/tarsil-classpath-[0-9a-f-]+\\.jar)\n"
                                                           "Manifest-Version: 1.0\r\nClass-Path: file:/")))
        << run.err.substr(0, 4000);
    EXPECT_NE(childLog().find("java.class.path=" + jar[1].str()), std::string::npos) << childLog();
    EXPECT_FALSE(fs::exists(jar[1].str()));
}

TEST_P(BootstrapCache, ClasspathJarOnRequestAndSkippedClassPath) {
    JvmRun always = java({"-Dvesta.bootstrap_cpjar=always", "-cp", TARSIL_TESTS_JAR, "-version"});
    ASSERT_EQ(always.exitCode, 0) << always.err;
    std::smatch jar;
    ASSERT_TRUE(std::regex_search(always.err, jar, std::regex("generated classpath jar: (/.*/tarsil-classpath-[0-9a-f-]+\\.jar)")));
    EXPECT_NE(childLog().find("java.class.path=" + jar[1].str()), std::string::npos) << childLog();
    EXPECT_FALSE(fs::exists(jar[1].str()));

    TempDir skipped;
    JvmRun skip = java({"-Dvesta.skipcp", "-cp", TARSIL_TESTS_JAR, "-version"}, skipped.path());
    ASSERT_EQ(skip.exitCode, 0) << skip.err;
    std::vector<std::string> logs = namesIn(skipped.path(), kChildLog);
    ASSERT_EQ(logs.size(), 1u);
    std::string log = readFile(skipped.file(logs[0]));
    EXPECT_NE(log.find("java.class.path="), std::string::npos) << log;
    EXPECT_EQ(log.find(TARSIL_TESTS_JAR), std::string::npos) << log;
}

TEST_P(BootstrapCache, JvmsStartingTogetherPublishOneJar) {
    constexpr int kJvms = 8;
    for (int round = 0; round < 3; round++) {
        TempDir cache;
        std::vector<JvmRun> runs(kJvms);
        std::vector<std::thread> threads;
        for (int i = 0; i < kJvms; i++) {
            threads.emplace_back([&, i] { runs[i] = java({"-Dvesta.test.install.sleepMs=300", "-version"}, cache.path()); });
        }
        for (auto& thread : threads) thread.join();
        std::set<std::string> hashes;
        for (const JvmRun& run : runs) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            hashes.insert(hashOf(run));
        }
        EXPECT_EQ(hashes.size(), 1u);
        EXPECT_EQ(namesIn(cache.path(), kCachedJar).size(), 1u) << "round " << round;
        EXPECT_TRUE(namesIn(cache.path(), kTemporaryJar).empty()) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, BootstrapCache, ::testing::ValuesIn(candidateJdks()), jdkTestName);
