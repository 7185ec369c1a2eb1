// The Windows file helpers, the program's own path and command line, the
// environment setters, the string conversions and find_symbol.
#include "win_test_support.h"  // first: it brings <windows.h>

#include <gtest/gtest.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <malloc.h>
#include <string>
#include <thread>

#include "fileutils.h"
#include "find_symbol.h"
#include "list.h"
#include "logging.h"
#include "win_util.h"

namespace {

std::string dirName(const char* path) {
    HeapString result(getDirName(path));
    return result.get();
}

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Holds a file open without any sharing, as a virus scanner might, until
// released.
class ExclusiveHolder {
public:
    explicit ExclusiveHolder(const std::string& path)
        : handle_(CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~ExclusiveHolder() { release(); }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release() {
        if (held()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

}  // namespace

TEST(GetDirName, CutsAtTheLaterSeparatorOfEitherKind) {
    EXPECT_EQ(dirName("C:\\a\\b.jar"), "C:\\a");
    EXPECT_EQ(dirName("C:/a/b.jar"), "C:/a");
    EXPECT_EQ(dirName("C:\\a/b\\c"), "C:\\a/b");
    EXPECT_EQ(dirName("C:/a\\b/c"), "C:/a\\b");
    EXPECT_EQ(dirName("C:\\a\\"), "C:\\a");
    EXPECT_EQ(dirName("\\top"), "");
    EXPECT_EQ(dirName("file.txt"), ".");
    EXPECT_EQ(dirName(""), "");
}

TEST(FileTests, FilesFoldersAndMissingPathsAreTold) {
    TempDir dir;
    std::string file = dir.file("f\xc3\xa9.txt");
    ASSERT_TRUE(writeFile(file, "x"));
    EXPECT_EQ(fileExists(file.c_str()), 1);
    EXPECT_EQ(isDirectory(file.c_str()), 0);
    EXPECT_EQ(fileExists(dir.path().c_str()), 0);
    EXPECT_EQ(isDirectory(dir.path().c_str()), 1);
    std::string missing = dir.file("missing");
    EXPECT_EQ(fileExists(missing.c_str()), 0);
    EXPECT_EQ(isDirectory(missing.c_str()), 0);

    EXPECT_EQ(fileDelete(file.c_str()), 0);
    EXPECT_FALSE(pathExists(file));
    EXPECT_EQ(fileDelete(file.c_str()), -1);
    EXPECT_EQ(fileDelete(dir.path().c_str()), -1);
}

TEST(RenameFile, MovesAndLogsBothEnds) {
    TempDir dir;
    std::string from = dir.file("from.jar");
    std::string to = dir.file("to.jar");
    ASSERT_TRUE(writeFile(from, "content"));
    Captured run = capture([&] { EXPECT_EQ(renameFile(from.c_str(), to.c_str()), 0); });
    EXPECT_EQ(readFile(to), "content");
    EXPECT_FALSE(pathExists(from));
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [INFO] Renaming " + from + " to " + to + "\n"));
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [INFO] Renamed " + from + " to " + to + "\n"));
    EXPECT_FALSE(has(run.log, "Retrying"));
}

TEST(RenameFileDeathTest, ExistingTargetIsNotReplacedAndEndsTheProcess) {
    TempDir dir;
    std::string from = dir.file("from.jar");
    std::string to = dir.file("to.jar");
    ASSERT_TRUE(writeFile(from, "new"));
    ASSERT_TRUE(writeFile(to, "old"));
    // ERROR_ALREADY_EXISTS (183) is no sharing error: no retries.
    EXPECT_EXIT(renameFile(from.c_str(), to.c_str()), testing::ExitedWithCode(3),
                literal("Tarsil-JVMTI [FATAL] Error 183: Could not rename " + from + " to " + to + "\n"));
    EXPECT_EQ(readFile(to), "old");
    EXPECT_EQ(readFile(from), "new");
}

TEST(RenameFile, SharingViolationIsRetriedUntilTheHolderLetsGo) {
    TempDir dir;
    std::string from = dir.file("held.jar");
    std::string to = dir.file("published.jar");
    ASSERT_TRUE(writeFile(from, "jar"));
    ExclusiveHolder holder(from);
    ASSERT_TRUE(holder.held());
    std::atomic<bool> released{false};
    std::thread releaser([&] {
        Sleep(600);
        released = true;
        holder.release();
    });
    Captured run = capture([&] { renameFile(from.c_str(), to.c_str()); });
    releaser.join();
    EXPECT_TRUE(released);
    EXPECT_EQ(readFile(to), "jar");
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [WARN] Retrying renaming " + from + " to " + to + ", attempt 3\n"))
        << run.log;
    EXPECT_FALSE(has(run.log, "attempt 2"));
    // 200 ms apart: some four attempts fit into the 600 ms.
    size_t retries = occurrences(run.log, "Retrying renaming");
    EXPECT_GE(retries, 1u);
    EXPECT_LE(retries, 6u);
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [INFO] Renamed " + from + " to " + to + "\n"));
}

TEST(GetCommandLineArguments, MatchesTheSystemsSplitOfTheProgramsCommandLine) {
    int argc = 0;
    char** argv = nullptr;
    ASSERT_EQ(getCommandLineArguments(&argc, &argv), 0);
    int expectedCount = 0;
    LPWSTR* expected = CommandLineToArgvW(GetCommandLineW(), &expectedCount);
    ASSERT_EQ(argc, expectedCount);
    ASSERT_GE(argc, 1);
    for (int i = 0; i < argc; i++) EXPECT_EQ(argv[i], narrow(expected[i])) << i;
    LocalFree(expected);
    EXPECT_TRUE(has(argv[0], "win_unit_tests"));
    freeCommandLineArguments(argc, argv);
}

TEST(GetPathToLoadedLibrary, NamesTheModuleHoldingTheAddress) {
    wchar_t self[4096];
    GetModuleFileNameW(nullptr, self, 4096);
    HeapString path(getPathToLoadedLibrary(reinterpret_cast<const void*>(&getPathToLoadedLibrary)));
    ASSERT_TRUE(path);
    EXPECT_EQ(path.get(), narrow(self));
    // An address in a system DLL gives that DLL.
    HeapString kernel(getPathToLoadedLibrary(reinterpret_cast<const void*>(&GetTickCount)));
    ASSERT_TRUE(kernel);
    EXPECT_TRUE(has(CharLowerA(kernel.get()), "kernel32.dll")) << kernel.get();
}

TEST(Setenv, SetsKeepsWithoutOverwriteAndUnsets) {
    const char* name = "TARSIL_TEST_SETENV";
    lfts_unsetenv(name);
    ASSERT_EQ(getenv(name), nullptr);
    EXPECT_EQ(lfts_setenv(name, "first", 0), 0);
    ASSERT_NE(getenv(name), nullptr);
    EXPECT_STREQ(getenv(name), "first");
    EXPECT_EQ(lfts_setenv(name, "second", 0), 0);
    EXPECT_STREQ(getenv(name), "first");
    EXPECT_EQ(lfts_setenv(name, "third", 1), 0);
    EXPECT_STREQ(getenv(name), "third");
    // The system's own copy of the environment follows, for the children.
    wchar_t value[32];
    EXPECT_EQ(GetEnvironmentVariableW(L"TARSIL_TEST_SETENV", value, 32), 5u);
    EXPECT_STREQ(value, L"third");
    EXPECT_EQ(lfts_unsetenv(name), 0);
    EXPECT_EQ(getenv(name), nullptr);
    EXPECT_EQ(GetEnvironmentVariableW(L"TARSIL_TEST_SETENV", value, 32), 0u);
}

TEST(FindSymbol, AnswersNothingOnWindows) {
    EXPECT_EQ(find_symbol(reinterpret_cast<const void*>(&GetTickCount), "GetTickCount"), nullptr);
    EXPECT_EQ(find_symbol(reinterpret_cast<const void*>(&find_symbol), "UseSharedSpaces"), nullptr);
}

TEST(WinUtil, Utf8AndUtf16RoundTripWithNonAscii) {
    const char* text = "caf\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80";
    WideString wide(utf8ToWide(text));
    ASSERT_TRUE(wide);
    EXPECT_STREQ(wide.get(), L"caf\u00e9 \u4e2d\u6587 \U0001F600");
    HeapString back(wideToUtf8(wide.get(), 0));
    ASSERT_TRUE(back);
    EXPECT_STREQ(back.get(), text);
    WideString empty(utf8ToWide(""));
    ASSERT_TRUE(empty);
    EXPECT_STREQ(empty.get(), L"");
}

TEST(WinUtil, WideToUtf8LeavesRoomForTheExtraBytes) {
    HeapString utf8(wideToUtf8(L"C:\\dir", 4));
    ASSERT_TRUE(utf8);
    EXPECT_STREQ(utf8.get(), "C:\\dir");
    EXPECT_GE(_msize(utf8.get()), strlen("C:\\dir") + 1 + 4);
}

TEST(WinUtil, WideToAnsiStrictRefusesWhatTheCodePageCannotSay) {
    HeapString ascii(wideToAnsiStrict(L"C:\\plain\\path"));
    ASSERT_TRUE(ascii);
    EXPECT_STREQ(ascii.get(), "C:\\plain\\path");
    // No single-byte code page has both a CJK ideograph and a Greek letter.
    EXPECT_EQ(wideToAnsiStrict(L"C:\\\u4e2d\u03a9"), nullptr);
    if (GetACP() == 1252) {
        // Best fit would make 'a' of a-macron; the strict conversion refuses.
        EXPECT_EQ(wideToAnsiStrict(L"\u0101"), nullptr);
        HeapString latin(wideToAnsiStrict(L"caf\u00e9"));
        ASSERT_TRUE(latin);
        EXPECT_STREQ(latin.get(), "caf\xe9");
    }
}

TEST(WinUtil, ShortPathOnlyWhenItDiffers) {
    TempDir dir;
    std::wstring longName = widen(dir.file("a folder with a rather long name"));
    ASSERT_TRUE(CreateDirectoryW(longName.c_str(), nullptr));
    WideString shortPath(shortPathOf(longName.c_str()));
    ASSERT_TRUE(shortPath);
    EXPECT_STRNE(shortPath.get(), longName.c_str());
    EXPECT_EQ(wcschr(shortPath.get(), L' '), nullptr);
    wchar_t full[MAX_PATH];
    ASSERT_NE(GetLongPathNameW(shortPath.get(), full, MAX_PATH), 0u);
    EXPECT_EQ(_wcsicmp(full, longName.c_str()), 0);

    std::wstring shortName = widen(dir.file("SHORT"));
    ASSERT_TRUE(CreateDirectoryW(shortName.c_str(), nullptr));
    WideString same(shortPathOf(widen(dir.file("SHORT")).c_str()));
    // The folder above may itself have a short form; the leaf stays as it is.
    if (same) {
        std::wstring leaf(same.get());
        EXPECT_EQ(leaf.substr(leaf.size() - 6), L"\\SHORT");
    }
    EXPECT_EQ(shortPathOf(widen(dir.file("missing folder name")).c_str()), nullptr);
    // A path that is its own short form gives nothing.
    EXPECT_EQ(shortPathOf(L"C:\\"), nullptr);
}

TEST(RegularFileWin, OnlyDiskFilesOpenAndAPipeNameNeverWaits) {
    TempDir dir;
    std::string file = dir.file("data.jar");
    ASSERT_TRUE(writeFile(file, "0123456789"));
    EXPECT_TRUE(RegularFile(file.c_str()));
    EXPECT_EQ(MappedFile(file.c_str()).size(), 10u);
    // A pipe with a server listening: opening its name connects at once,
    // and what it reaches is no file.
    std::string pipeName = "\\\\.\\pipe\\tarsil-regular-file-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(widen(pipeName).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    for (const std::string& path : {dir.path(), dir.file("missing.jar"), std::string("NUL"), pipeName}) {
        RegularFile opened(path.c_str());
        EXPECT_FALSE(opened) << path;
        EXPECT_STRNE(opened.problem(), "") << path;
        EXPECT_FALSE(MappedFile(path.c_str())) << path;
    }
    CloseHandle(server);
}
