// The choice of the bootstrap folder. Each case runs in a child: the choice
// is made once per process, and the cases change the environment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <functional>
#include <regex>

#include "bootcache_folder.h"
#include "fileutils.h"
#include "logging.h"
#include "support/child.h"
#include "support/fake_jvmti.h"
#include "support/folder_policy_table.h"

namespace fs = std::filesystem;

namespace {

ChildResult choose(FakeJvmtiScript script, std::vector<std::pair<const char*, std::string>> env) {
    return runInChild([script, env] {
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                unsetenv(name);
            } else {
                setenv(name, value.c_str(), 1);
            }
        }
        log_stderr(4);
        FakeJvm jvm(script);
        return chooseBootFolder(jvm.newEnv()).path;
    });
}

FakeJvmtiScript withProperties(std::map<std::string, std::string> properties) {
    FakeJvmtiScript script;
    script.properties = std::move(properties);
    return script;
}

const char* kUnusable = "/dev/null/cannot/be/made";

}  // namespace

TEST(BootstrapFolder, PropertyFolderIsCreatedLevelByLevel) {
    TempDir dir;
    std::string nested = dir.file("a/b/c");
    ChildResult child = choose(withProperties({{"vesta.bootcache.dir", nested}}), {});
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, nested + "/");
    struct stat st;
    ASSERT_EQ(stat(dir.file("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(child.err, "");
}

TEST(BootstrapFolder, TheRealPathIsKeptWithOneSeparator) {
    TempDir dir;
    ChildResult child = choose(withProperties({{"vesta.bootcache.dir", dir.path() + "/./"}}), {});
    EXPECT_EQ(child.report, dir.path() + "/");
}

TEST(BootstrapFolder, UnusablePropertyFallsThroughSilentlyToVestaBase) {
    TempDir dir;
    ChildResult child =
        choose(withProperties({{"vesta.bootcache.dir", kUnusable}, {"vesta.base", dir.path()}}), {{"VESTA_BASE", ""}});
    EXPECT_EQ(child.report, dir.file("bootcache") + "/");
    EXPECT_EQ(child.err, "");
}

TEST(BootstrapFolderDeathTest, NamedSourcesFollowTheSharedTable) {
    folder_policy::runTable(
        [](const char* name, const char* value) {
            if (value == nullptr) {
                unsetenv(name);
            } else {
                setenv(name, value, 1);
            }
        },
        '/');
}

TEST(BootstrapFolder, LinkedFolderServesByTheRealPathItLeadsTo) {
    TempDir base;
    TempDir target;
    ASSERT_EQ(symlink(target.path().c_str(), base.file("bootcache").c_str()), 0);
    EXPECT_EQ(isDir(base.file("bootcache").c_str()), 0);
    EXPECT_EQ(isDir(target.path().c_str()), 1);
    ChildResult child = choose(withProperties({{"vesta.base", base.path()}}), {{"VESTA_BASE", ""}});
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, target.path() + "/");
}

TEST(BootstrapFolder, HomeFolderComesNext) {
    TempDir home;
    ChildResult child = choose(withProperties({}), {{"VESTA_BASE", ""}, {"HOME", home.path()}});
    EXPECT_EQ(child.report, home.file(".tarsil/bootcache") + "/");
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] " + home.file(".tarsil/bootcache") +
                             " is not a dir, trying to make it!\n"),
              std::string::npos);
}

TEST(BootstrapFolder, UnusableHomeFallsBackToThePasswordDatabase) {
    ChildResult child = choose(withProperties({}), {{"VESTA_BASE", ""}, {"HOME", kUnusable}});
    ASSERT_EQ(child.exitCode, 0) << child.err;
    EXPECT_NE(child.report.find("/.tarsil/bootcache/"), std::string::npos);
    EXPECT_EQ(child.report.find(kUnusable), std::string::npos);
}

TEST(BootstrapFolder, MkSubDirsReportsWhetherItMadeTheLastLevel) {
    TempDir dir;
    EXPECT_EQ(mkSubDirs(dir.file("x/y").c_str()), 1);
    EXPECT_EQ(mkSubDirs(dir.file("x/y").c_str()), 0);
    EXPECT_EQ(isDirWritable(dir.file("x/y").c_str()), 1);
    std::ofstream(dir.file("file")) << "x";
    EXPECT_EQ(mkSubDirs(dir.file("file/z").c_str()), 0);
    EXPECT_EQ(isDirWritable(dir.file("file").c_str()), 0);
    EXPECT_EQ(getPid(), static_cast<long>(getpid()));
}

TEST(BootstrapFolder, LinkedParentFoldersAreFollowedForEverySource) {
    // /home linked to /data/home, /tmp on macOS: levels above the folder
    // may be links; the folder is the real path they lead to.
    TempDir real;
    TempDir links;
    std::string linked = links.file("linked");
    ASSERT_EQ(symlink(real.path().c_str(), linked.c_str()), 0);
    struct Case {
        const char* what;
        FakeJvmtiScript script;
        std::vector<std::pair<const char*, std::string>> env;
        std::string expected;
    } cases[] = {
        {"vesta.bootcache.dir", withProperties({{"vesta.bootcache.dir", linked + "/a/cache"}}), {},
         real.path() + "/a/cache/"},
        {"vesta.base", withProperties({{"vesta.base", linked + "/b"}}), {{"VESTA_BASE", ""}},
         real.path() + "/b/bootcache/"},
        {"VESTA_BASE", withProperties({}), {{"VESTA_BASE", linked + "/c"}}, real.path() + "/c/bootcache/"},
        {"home", withProperties({}), {{"VESTA_BASE", ""}, {"HOME", linked}}, real.path() + "/.tarsil/bootcache/"},
    };
    for (const Case& c : cases) {
        ChildResult child = choose(c.script, c.env);
        EXPECT_EQ(child.exitCode, 0) << c.what << child.err;
        EXPECT_EQ(child.report, c.expected) << c.what;
    }
    struct stat st;
    ASSERT_EQ(stat(real.file(".tarsil/bootcache").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(BootstrapFolder, FoldersOthersCouldChangeAreRefusedWithTheirReason) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> spoil;
        const char* reason;
    } cases[] = {
        {"group-writable", [](const std::string& dir) { chmod(dir.c_str(), 0770); }, "it is writable by group or others"},
        {"world-writable", [](const std::string& dir) { chmod(dir.c_str(), 01777); }, "it is writable by group or others"},
        {"another user's", [](const std::string& dir) { ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0); },
         "it belongs to another user"},
        // A link is followed to what it leads to, and that is judged.
        {"a link to a shared folder", [](const std::string& dir) { rmdir(dir.c_str()); symlink("/tmp", dir.c_str()); },
         "/tmp is writable by group or others"},
    };
    for (const Case& c : cases) {
        TempDir base;
        TempDir fallback;
        std::string folder = base.file("bootcache");
        mkdir(folder.c_str(), 0700);
        c.spoil(folder);
        // As "vesta.bootcache.dir": a warning, then the next source.
        ChildResult skipped = choose(withProperties({{"vesta.bootcache.dir", folder}, {"vesta.base", fallback.path()}}),
                                     {{"VESTA_BASE", ""}});
        EXPECT_EQ(skipped.exitCode, 0) << c.what << skipped.err;
        EXPECT_EQ(skipped.report, fallback.file("bootcache") + "/") << c.what;
        EXPECT_NE(skipped.err.find("[WARN] Not using " + folder + " as the bootstrap folder: " + c.reason),
                  std::string::npos)
            << c.what << skipped.err;
        // As "vesta.base": the end, naming the folder and why.
        ChildResult fatal = choose(withProperties({{"vesta.base", base.path()}}), {{"VESTA_BASE", ""}});
        EXPECT_EQ(fatal.exitCode, 3) << c.what;
        EXPECT_NE(fatal.err.find("[FATAL] Couldn't write to " + folder + " (" + c.reason + "). Please make sure"),
                  std::string::npos)
            << c.what << fatal.err;
    }
}

TEST(BootstrapFolder, WithoutAUsableHomeTheUsersTemporaryFolderServesOrAFreshOne) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to be a user without an entry in the user database";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string tmp = dir.file("tmp");
    std::string open = dir.file("open");
    std::string taken = dir.file("taken");
    for (const std::string& folder : {tmp, open, taken}) {
        mkdir(folder.c_str(), 0700);
        chmod(folder.c_str(), folder == open ? 0777 : 01777);
    }
    // Another user's folder at the user's own name.
    ASSERT_EQ(mkdir((taken + "/tarsil-4244").c_str(), 0755), 0);
    ASSERT_EQ(chown((taken + "/tarsil-4244").c_str(), 4343, 4343), 0);
    std::string shared = "/tmp/tarsil-4244";
    bool sharedWasThere = fs::exists(shared);
    // A container's user: an arbitrary uid without an entry, HOME "/".
    auto asContainerUser = [](const std::string& tmpdir) {
        return runInChild([tmpdir] {
            if (setgid(4244) != 0 || setuid(4244) != 0) return std::string("no setuid");
            setenv("HOME", "/", 1);
            setenv("TMPDIR", tmpdir.c_str(), 1);
            unsetenv("VESTA_BASE");
            log_stderr(2);
            FakeJvm jvm;
            return chooseBootFolder(jvm.newEnv()).path;
        });
    };
    struct Case {
        std::string tmpdir;
        std::string served;  // a regular expression
        const char* why;
    } cases[] = {
        {tmp, tmp + "/tarsil-4244/bootcache/", "a sticky TMPDIR holds the user's folder"},
        {open, shared + "/bootcache/", "a TMPDIR others may change falls back to /tmp"},
        {"relative/tmp", shared + "/bootcache/", "a relative TMPDIR falls back to /tmp"},
        {dir.file("missing"), shared + "/bootcache/", "a missing TMPDIR falls back to /tmp"},
        {taken, taken + "/tarsil-4244-[0-9a-f]{16}/", "another user's folder: a fresh private one beside it"},
    };
    for (const Case& c : cases) {
        ChildResult result = asContainerUser(c.tmpdir);
        EXPECT_EQ(result.exitCode, 0) << c.why << "\n" << result.err;
        EXPECT_TRUE(std::regex_match(result.report, std::regex(c.served))) << c.why << ": " << result.report;
        struct stat st;
        std::string served = result.report.substr(0, result.report.size() - 1);
        EXPECT_TRUE(stat(served.c_str(), &st) == 0 && st.st_uid == 4244 && (st.st_mode & 0777) == 0700) << c.why;
    }
    EXPECT_FALSE(fs::exists(dir.file("missing"))) << "a missing TMPDIR is not made";
    if (!sharedWasThere) fs::remove_all(shared);
}

TEST(BootstrapFolder, FolderWhoseFilesWouldPassThePathLimitIsRefused) {
    // The longest name kept in the folder: a damaged cached jar moved aside.
    const size_t longestName = std::string("tarsil-bootstrap-<32>.jar.damaged-<16>").size() - 8 + 32 + 16;
    TempDir deep;
    TempDir links;
    TempDir fallback;
    // A folder of the given real length, reached by a short link.
    auto linkedFolderOfLength = [&](size_t length, const char* link) {
        std::string path = deep.path();
        while (path.size() < length) {
            path += "/" + std::string(std::min<size_t>(200, length - path.size() - 1), link[0]);
            mkdir(path.c_str(), 0700);
        }
        EXPECT_EQ(symlink(path.c_str(), links.file(link).c_str()), 0);
        return links.file(link);
    };
    const size_t longestFolder = PATH_MAX - 1 - 1 - longestName;  // less the NUL and the separator
    std::string fits = linkedFolderOfLength(longestFolder, "a");
    std::string tooLong = linkedFolderOfLength(longestFolder + 1, "b");
    std::string baseTooLong = linkedFolderOfLength(longestFolder + 1 - std::string("/bootcache").size(), "c");

    ChildResult taken = choose(withProperties({{"vesta.bootcache.dir", fits}}), {});
    EXPECT_EQ(taken.report.size(), longestFolder + 1) << taken.err;

    // As "vesta.bootcache.dir": a warning, then the next source.
    ChildResult skipped = choose(withProperties({{"vesta.bootcache.dir", tooLong}, {"vesta.base", fallback.path()}}),
                                 {{"VESTA_BASE", ""}});
    EXPECT_EQ(skipped.report, fallback.file("bootcache") + "/") << skipped.err;
    EXPECT_NE(skipped.err.find("[WARN] Not using " + tooLong + " as the bootstrap folder: its real path is too long"),
              std::string::npos)
        << skipped.err;

    // As "vesta.base": the end, naming the folder.
    ChildResult fatal = choose(withProperties({{"vesta.base", baseTooLong}}), {{"VESTA_BASE", ""}});
    EXPECT_EQ(fatal.exitCode, 3);
    EXPECT_NE(fatal.err.find("[FATAL] Couldn't write to " + baseTooLong + "/bootcache (its real path is too long"),
              std::string::npos)
        << fatal.err;
}
