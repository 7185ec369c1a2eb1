// The bootstrap folder of users who are not root, in real JVMs: a home in a
// shared sticky folder where another user made ".tarsil" first and swaps
// folders while the child JVM runs, and a container user with no home and
// no entry in the user database.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "jvm_harness.h"
#include "support/child.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kVictim = 4242;
constexpr uid_t kAttacker = 4343;
constexpr uid_t kContainerUser = 4244;  // in no user database
constexpr char kScenarios[] = "com.lindenforgesys.reload.test.Scenarios";
constexpr char kAppLoader[] = "@jdk.internal.loader.ClassLoaders$AppClassLoader/";

// Another user's process that, every few milliseconds, renames each of the
// folders away where it can and puts a folder of its own with `jar` at the
// cached name in its place. Stopped at destruction.
class FolderSwapper {
public:
    FolderSwapper(std::vector<std::string> folders, std::string cachedName, std::string jar) {
        pid_ = fork();
        if (pid_ != 0) return;
        if (setgid(kAttacker) != 0 || setuid(kAttacker) != 0) _exit(1);
        for (;;) {
            for (const std::string& folder : folders) {
                if (rename(folder.c_str(), (folder + ".stolen").c_str()) != 0) continue;
                mkdir(folder.c_str(), 0777);
                chmod(folder.c_str(), 0777);
                std::error_code ec;
                fs::copy_file(jar, folder + "/" + cachedName, ec);
            }
            usleep(5000);
        }
    }
    ~FolderSwapper() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_;
};

class FolderTrustJvm : public PerJdkTest {
protected:
    void SetUp() override {
        PerJdkTest::SetUp();
        if (IsSkipped()) return;
        if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the JVM as other users";
        // Open to the users the JVMs run as.
        ASSERT_EQ(chmod(work.path().c_str(), 0755), 0);
    }

    // The JVM run as `uid` (setpriv), with `env` for its environment.
    JvmRun javaAs(uid_t uid, const std::vector<std::string>& args, const std::vector<std::string>& env) {
        JvmLaunch launch;
        launch.setEnv = env;
        launch.args = {agentPath("debug"), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                       "-XX:-UsePerfData"};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = work.path();
        std::string id = std::to_string(uid);
        std::vector<std::string> command = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                            GetParam().home + "/bin/java"};
        command.insert(command.end(), launch.args.begin(), launch.args.end());
        JvmRun run = runInJdkSystem(GetParam(), command, launch);
        EXPECT_FALSE(run.timedOut) << run.err;
        return run;
    }

    std::string folder(const std::string& name, uid_t owner, mode_t mode) {
        std::string path = work.file(name);
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    static std::string hashOf(const JvmRun& run) {
        std::smatch hash;
        return std::regex_search(run.err, hash, std::regex("Checking bootcache for ([0-9a-f]{32})\n")) ? hash[1].str()
                                                                                                     : "";
    }

    TempDir work;
};

}  // namespace

TEST_P(FolderTrustJvm, FolderSwappedByAnotherUserNeverServesTheirClass) {
    SKIP_BELOW_JAVA(9, "Java 8 puts the jar on the boot class path, where the planted class would not come from");
    std::string shared = folder("shared", 0, 01777);
    std::string tmp = folder("tmp", 0, 01777);
    std::vector<std::string> scenario = {"-cp", TARSIL_TESTS_JAR, kScenarios, "emulation"};
    std::vector<std::string> env = {"HOME=" + shared, "TMPDIR=" + tmp};

    // The victim's hash (the folder is no part of it), and a jar built for
    // another configuration that replaces an application class.
    std::string probe = folder("probe", kVictim, 0700);
    JvmRun probed = javaAs(kVictim, scenario, {"HOME=" + shared, "VESTA_BASE=" + probe});
    ASSERT_EQ(probed.exitCode, 0) << probed.err;
    std::string evilHome = folder("evil", kVictim, 0700);
    std::vector<std::string> evilScenario = {std::string("-Dvesta.test.install.entries=") + kAppLoader +
                                                 "com/lindenforgesys/reload/test/Replaced.class=" +
                                                 TARSIL_REPLACEMENT_CLASS,
                                             "-Dvesta.test.expectReplaced=replaced"};
    evilScenario.insert(evilScenario.end(), scenario.begin(), scenario.end());
    JvmRun evil = javaAs(kVictim, evilScenario, {"VESTA_BASE=" + evilHome});
    ASSERT_EQ(evil.exitCode, 0) << evil.out << evil.err;
    std::string evilJar = work.file("evil.jar");
    fs::copy_file(evilHome + "/bootcache/tarsil-bootstrap-" + hashOf(evil) + ".jar", evilJar);
    ASSERT_EQ(chmod(evilJar.c_str(), 0644), 0);

    // The other user made ".tarsil" in the shared home first, for everybody.
    std::string theirs = folder("shared/.tarsil", kAttacker, 0777);
    std::string fallback = tmp + "/tarsil-" + std::to_string(kVictim) + "/bootcache";
    std::string cachedName = "tarsil-bootstrap-" + hashOf(probed) + ".jar";
    JvmRun run;
    {
        FolderSwapper swapper({theirs + "/bootcache", fallback}, cachedName, evilJar);
        env.push_back("VESTA_TEST_INSTALL_SLEEP_MS=2000");
        run = javaAs(kVictim, scenario, env);
    }
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("OK emulation"), std::string::npos) << run.out << run.err;
    EXPECT_TRUE(fs::is_regular_file(fallback + "/" + cachedName)) << run.err;
    EXPECT_TRUE(fs::is_empty(theirs));
    std::string log = readFile(fallback + "/tarsil.boot.log");
    EXPECT_NE(log.find("[WARN] Not using " + theirs + "/bootcache as the bootstrap folder: " + theirs +
                       " belongs to another user"),
              std::string::npos)
        << log.substr(0, 2000);
    EXPECT_NE(log.find("[WARN] Using " + fallback + " as the bootstrap folder"), std::string::npos);
}

TEST_P(FolderTrustJvm, ContainerUserWithoutAHomeGetsAPrivateFolderUnderTmpdir) {
    std::string tmp = folder("tmp-real", 0, 01777);
    // TMPDIR through a link: the JVM is given the real path walked.
    std::string linked = work.file("tmp");
    ASSERT_EQ(symlink(tmp.c_str(), linked.c_str()), 0);
    std::string report = tmp + "/report.txt";
    JvmRun run = javaAs(kContainerUser, {"-Dvesta.test.report=" + report, "-version"}, {"HOME=/", "TMPDIR=" + linked});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::string expected = tmp + "/tarsil-" + std::to_string(kContainerUser) + "/bootcache";
    EXPECT_NE(run.err.find("[WARN] Using " + expected + " as the bootstrap folder, as no other is usable"),
              std::string::npos)
        << run.err;
    std::string hash = hashOf(run);
    struct stat st;
    ASSERT_EQ(stat((expected + "/tarsil-bootstrap-" + hash + ".jar").c_str(), &st), 0) << run.err;
    EXPECT_EQ(st.st_uid, kContainerUser);
    ASSERT_EQ(stat((tmp + "/tarsil-" + std::to_string(kContainerUser)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    // The Java side, and on Java 8 the boot class path, get the real path.
    EXPECT_NE(readFile(report).find(" bootstrap=" + expected + "/tarsil-bootstrap-" + hash + ".jar"),
              std::string::npos)
        << readFile(report);
}

TEST_P(FolderTrustJvm, NothingIsWrittenThroughWhatAnotherUserPlanted) {
    // Another user's link in a sticky shared folder, to the victim's most
    // private folder, named as the bootstrap folder: refused, the home serves.
    std::string home = folder("home", kVictim, 0700);
    std::string secret = folder("home/.ssh", kVictim, 0700);
    std::string sticky = folder("sticky", 0, 01777);
    std::string link = sticky + "/app-cache";
    ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kAttacker, kAttacker), 0);
    JvmRun linked = javaAs(kVictim, {"-Dvesta.bootcache.dir=" + link, "-version"}, {"HOME=" + home});
    EXPECT_EQ(linked.exitCode, 0) << linked.err;
    EXPECT_TRUE(fs::is_empty(secret)) << linked.err;
    EXPECT_TRUE(fs::exists(home + "/.tarsil/bootcache/tarsil-bootstrap-" + hashOf(linked) + ".jar")) << linked.err;

    // Another user made the container user's folder under TMPDIR first: a
    // fresh private one serves this start.
    std::string tmp = folder("tmp", 0, 01777);
    std::string taken = folder("tmp/tarsil-" + std::to_string(kContainerUser), kAttacker, 0755);
    JvmRun fresh = javaAs(kContainerUser, {"-version"}, {"HOME=/", "TMPDIR=" + tmp});
    EXPECT_EQ(fresh.exitCode, 0) << fresh.err;
    EXPECT_TRUE(fs::is_empty(taken));
    std::string jar;
    for (const auto& entry : fs::directory_iterator(tmp)) {
        std::string candidate = entry.path().string() + "/tarsil-bootstrap-" + hashOf(fresh) + ".jar";
        if (entry.path() != taken && fs::exists(candidate)) jar = candidate;
    }
    struct stat st;
    ASSERT_EQ(stat(jar.c_str(), &st), 0) << fresh.err;
    EXPECT_EQ(st.st_uid, kContainerUser);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(fs::path(jar).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_P(FolderTrustJvm, AnotherUsersArgumentFileGivesTheChildNothing) {
    SKIP_BELOW_JAVA(9, "argument files came with Java 9");
    std::string base = folder("base", kVictim, 0700);
    std::string shared = folder("shared", 0, 01777);
    std::string file = shared + "/options";
    auto hashWith = [&](uid_t owner) {
        std::ofstream(file) << "-XX:+UseSerialGC\n";
        EXPECT_EQ(chown(file.c_str(), owner, owner), 0);
        EXPECT_EQ(chmod(file.c_str(), 0644), 0);
        JvmRun run = javaAs(kVictim, {"@" + file, "-version"}, {"VESTA_BASE=" + base});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        fs::remove(file);
        return hashOf(run);
    };
    JvmRun plain = javaAs(kVictim, {"-version"}, {"VESTA_BASE=" + base});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    // The victim's own file counts; the same file of another user is not
    // read, so its options reach neither the child nor the hash.
    EXPECT_NE(hashWith(kVictim), hashOf(plain));
    EXPECT_EQ(hashWith(kAttacker), hashOf(plain));
}

INSTANTIATE_TEST_SUITE_P(Jdks, FolderTrustJvm, ::testing::ValuesIn(candidateJdks()), jdkTestName);
