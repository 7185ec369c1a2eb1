// The walk down the bootstrap folder's real path, as a user who is not
// root, over layouts that root makes for them and for a second user: which
// levels may stand above the folder, and which one is refused and why.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "bootcache_files.h"
#include "support/child.h"

namespace {

constexpr uid_t kUser = 4242;
constexpr uid_t kOther = 4343;

void made(const std::string& path, uid_t owner, mode_t mode) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// What the user's walk gives: the real path, or "refused <level>: <reason>".
std::string walkAsUser(const std::string& path) {
    ChildResult child = runInChild([&path] {
        if (setgid(kUser) != 0 || setuid(kUser) != 0) return std::string("no setuid");
        BootFolder folder;
        FolderRefusal refusal;
        if (adoptBootFolder(path.c_str(), &folder, &refusal)) return folder.realPath;
        return "refused " + refusal.level + ": " + refusal.reason + (refusal.trust ? " (trust)" : "");
    });
    return child.report;
}

}  // namespace

TEST(FolderTrust, EveryLevelOfTheRealPathIsTheUsersOrRootsAndNoOneElsesToChange) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to make levels of other users";
    TempDir root;
    // The test's own folder is root's, open to the user for the walk.
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    const std::string base = root.path();
    struct Case {
        const char* what;
        std::function<void()> layout;
        std::string path;
        std::string expected;
    } cases[] = {
        {"the user's own levels, the missing ones made",
         [&] { made(base + "/u", kUser, 0700); }, base + "/u/a/cache", base + "/u/a/cache"},
        {"a level of root's that others may write",
         [&] { made(base + "/open", 0, 0777); made(base + "/open/u", kUser, 0700); }, base + "/open/u",
         "refused " + base + "/open: it is writable by group or others (trust)"},
        {"a level of root's that the group may write",
         [&] { made(base + "/group", 0, 0775); made(base + "/group/u", kUser, 0700); }, base + "/group/u",
         "refused " + base + "/group: it is writable by group or others (trust)"},
        {"a sticky shared level with the user's folder below it",
         [&] { made(base + "/shared", 0, 01777); made(base + "/shared/u", kUser, 0700); }, base + "/shared/u/cache",
         base + "/shared/u/cache"},
        {"a sticky shared level where another user made the next level first",
         [&] { made(base + "/shared2", 0, 01777); made(base + "/shared2/.tarsil", kOther, 0777); },
         base + "/shared2/.tarsil/bootcache",
         "refused " + base + "/shared2/.tarsil: it belongs to another user (trust)"},
        {"another user's level, closed to others",
         [&] { made(base + "/theirs", kOther, 0755); made(base + "/theirs/u", kUser, 0700); }, base + "/theirs/u",
         "refused " + base + "/theirs: it belongs to another user (trust)"},
        {"the folder itself writable by its group",
         [&] { made(base + "/u2", kUser, 0770); }, base + "/u2",
         "refused " + base + "/u2: it is writable by group or others (trust)"},
        {"the sticky bit does not pass the folder itself",
         [&] { made(base + "/u3", kUser, 01777); }, base + "/u3",
         "refused " + base + "/u3: it is writable by group or others (trust)"},
        {"a link to the user's folder: its real path is walked",
         [&] { made(base + "/u4", kUser, 0700); ASSERT_EQ(symlink((base + "/u4").c_str(), (base + "/link").c_str()), 0); },
         base + "/link/cache", base + "/u4/cache"},
        {"a link into a level others may write",
         [&] { made(base + "/open2", 0, 0777); ASSERT_EQ(symlink((base + "/open2").c_str(), (base + "/link2").c_str()), 0); },
         base + "/link2/cache", "refused " + base + "/open2: it is writable by group or others (trust)"},
        {"another user's link in a sticky shared level, to the user's own folder",
         [&] {
             made(base + "/sticky", 0, 01777);
             made(base + "/u5", kUser, 0700);
             ASSERT_EQ(symlink((base + "/u5").c_str(), (base + "/sticky/theirs").c_str()), 0);
             ASSERT_EQ(lchown((base + "/sticky/theirs").c_str(), kOther, kOther), 0);
         },
         base + "/sticky/theirs/cache",
         "refused " + base + "/sticky/theirs: it is a symbolic link of another user in a folder everyone may write (trust)"},
        {"the user's own and root's links in a sticky shared level are followed",
         [&] {
             ASSERT_EQ(symlink((base + "/u5").c_str(), (base + "/sticky/mine").c_str()), 0);
             ASSERT_EQ(lchown((base + "/sticky/mine").c_str(), kUser, kUser), 0);
             ASSERT_EQ(symlink((base + "/sticky/mine").c_str(), (base + "/sticky/roots").c_str()), 0);
         },
         base + "/sticky/roots/cache", base + "/u5/cache"},
        {"a level the user cannot make",
         [&] { made(base + "/closed", 0, 0755); }, base + "/closed/cache",
         "refused " + base + "/closed/cache: it cannot be created"},
    };
    for (const Case& c : cases) {
        c.layout();
        EXPECT_EQ(walkAsUser(c.path), c.expected) << c.what;
    }
    // What the walk made is the user's alone.
    struct stat st;
    ASSERT_EQ(stat((base + "/u/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}
