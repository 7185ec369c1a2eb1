#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fileutils.h"
#include "list.h"
#include "support/child.h"

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string dirName(const char* path) {
    HeapString result(getDirName(path));
    return result.get();
}

}  // namespace

TEST(Files, ExistsAndIsDirectoryTellFilesFromFolders) {
    TempDir dir;
    std::string file = dir.file("a.jar");
    writeFile(file, "x");
    EXPECT_EQ(fileExists(file.c_str()), 1);
    EXPECT_EQ(isDirectory(file.c_str()), 0);
    EXPECT_EQ(fileExists(dir.path().c_str()), 0);
    EXPECT_EQ(isDirectory(dir.path().c_str()), 1);
    std::string missing = dir.file("missing");
    EXPECT_EQ(fileExists(missing.c_str()), 0);
    EXPECT_EQ(isDirectory(missing.c_str()), 0);
    // Links are followed.
    std::string link = dir.file("link");
    ASSERT_EQ(symlink(dir.path().c_str(), link.c_str()), 0);
    EXPECT_EQ(isDirectory(link.c_str()), 1);
}

TEST(Files, DeleteAndRename) {
    TempDir dir;
    std::string from = dir.file("tmp.jar");
    std::string to = dir.file("cached.jar");
    writeFile(from, "new");
    writeFile(to, "old");
    EXPECT_EQ(renameFile(from.c_str(), to.c_str()), 0);
    EXPECT_EQ(fileExists(from.c_str()), 0);
    EXPECT_EQ(readFile(to), "new");
    EXPECT_EQ(fileDelete(to.c_str()), 0);
    EXPECT_EQ(fileDelete(to.c_str()), -1);
}

TEST(Files, FailedRenameStopsTheProcess) {
    TempDir dir;
    std::string from = dir.file("missing.jar");
    std::string to = dir.file("target.jar");
    ChildResult child = runInChild([&]() -> std::string {
        renameFile(from.c_str(), to.c_str());
        return "survived";
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.err.rfind("Tarsil-JVMTI [FATAL] Error 2: could not rename " + from + " to " + to + "\n\n", 0), 0u)
        << child.err;
}

TEST(Files, DirNameFollowsPosixRules) {
    EXPECT_EQ(dirName("/opt/tarsil/lib/libtarsil64.so"), "/opt/tarsil/lib");
    EXPECT_EQ(dirName("/libtarsil64.so"), "/");
    EXPECT_EQ(dirName("libtarsil64.so"), ".");
    EXPECT_EQ(dirName("/opt/tarsil/"), "/opt");
}

TEST(Files, PathToLoadedLibraryNamesTheFileHoldingTheAddress) {
    HeapString path(getPathToLoadedLibrary(reinterpret_cast<const void*>(&getDirName)));
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    struct stat a, b;
    ASSERT_EQ(stat(path.get(), &a), 0) << path.get();
    ASSERT_EQ(stat(self, &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST(MappedFileTest, MapsWholeFilesAndRefusesEmptyOrMissingOnes) {
    TempDir dir;
    std::string file = dir.file("data");
    writeFile(file, "0123456789");
    MappedFile mapped(file.c_str());
    ASSERT_TRUE(mapped);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped.data()), mapped.size()), "0123456789");
    MappedFile moved = std::move(mapped);
    EXPECT_FALSE(mapped);
    EXPECT_EQ(moved.size(), 10u);

    std::string empty = dir.file("empty");
    writeFile(empty, "");
    EXPECT_FALSE(MappedFile(empty.c_str()));
    EXPECT_FALSE(MappedFile(dir.file("missing").c_str()));
    EXPECT_FALSE(MappedFile(dir.path().c_str()));
}
