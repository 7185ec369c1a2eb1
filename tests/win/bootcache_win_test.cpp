// The Windows bootstrap folder: its sources and their order, the length and
// prefix limits, directory creation, the writability probe, the code-page
// rule; and the Windows parts of the child JVM's command line (javaw.exe,
// the classpath jar's manifest and threshold).
#include "win_test_support.h"  // first: it brings <windows.h>

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bootcache_cmdline.h"
#include "bootcache_cpjar.h"
#include "bootcache_files.h"
#include "bootcache_folder.h"
#include "bootcache_files_win.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"
#include "platform.h"
#include "support/fake_jvmti.h"
#include "support/folder_policy_table.h"
#include "zip.h"

namespace {

constexpr size_t kLongestFolder = 205;
// The longest folder whose files stay under MAX_PATH: with a separator and
// the longest name kept there (78 characters), 259 characters.
constexpr size_t kLongestUsableFolder = 180;

FakeJvmtiScript withProperties(std::map<std::string, std::string> properties) {
    FakeJvmtiScript script;
    script.properties = std::move(properties);
    return script;
}

std::string fromProperty(const std::map<std::string, std::string>& properties) {
    FakeJvm jvm(withProperties(properties));
    BootFolder folder = getBootstrapFromProperty(jvm.newEnv());
    return folder.adopted() ? folder.realPath : "<null>";
}

std::string fromVestaBase(const std::map<std::string, std::string>& properties) {
    FakeJvm jvm(withProperties(properties));
    BootFolder folder = getBootstrapFromVestaBase(jvm.newEnv());
    return folder.adopted() ? folder.realPath : "<null>";
}

// A folder under `dir` whose full path is exactly `length` characters, in
// levels of at most 100 characters.
std::string pathOfLength(const TempDir& dir, size_t length) {
    std::string path = dir.path();
    while (path.size() < length) {
        size_t room = length - path.size() - 1;  // less the separator
        size_t level = room <= 100 ? room : (room == 101 ? 99 : 100);
        path += "\\" + std::string(level, 'd');
    }
    return path;
}

// For death tests: the folder chooseBootFolder settles on, on stderr.
[[noreturn]] void printBootstrapFolder(const std::map<std::string, std::string>& properties) {
    FakeJvm jvm(withProperties(properties));
    fprintf(stderr, "folder=[%s]\n", chooseBootFolder(jvm.newEnv()).path.c_str());
    fflush(stderr);
    exit(0);
}

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

std::string profileFolder() {
    wchar_t folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, folder) != S_OK) return "<none>";
    return narrow(folder);
}

}  // namespace

TEST(BootcacheWin, PropertyFolderIsCreatedLevelByLevelWithBackslashes) {
    TempDir dir;
    std::string nested = dir.path() + "/one/two\\three";
    std::string expected = dir.file("one\\two\\three");
    EXPECT_EQ(fromProperty({{"vesta.bootcache.dir", nested}}), expected);
    EXPECT_EQ(isDirectory(expected.c_str()), 1);
    // The writability probe leaves nothing behind.
    EXPECT_TRUE(filesIn(expected).empty());
}

TEST(BootcacheWin, UnusablePropertyFallsThroughSilently) {
    TempDir dir;
    std::string file = dir.file("a-file");
    ASSERT_TRUE(writeFile(file, "x"));
    Captured run = capture([&] { EXPECT_EQ(fromProperty({{"vesta.bootcache.dir", file}}), "<null>"); });
    EXPECT_FALSE(has(run.log, "[ERROR]"));
    EXPECT_FALSE(has(run.log, "[FATAL]"));
    EXPECT_EQ(fromProperty({}), "<null>");
}

TEST(BootcacheWin, ProbeFileIsCreatedAndGoneAgain) {
    TempDir dir;
    Captured run = capture([&] { EXPECT_EQ(isDirWritable(dir.path().c_str()), 1); });
    std::string prefix = "Tarsil-JVMTI [DEBUG] Creating temp file '" + dir.path() + "\\_ts";
    size_t at = run.log.find(prefix);
    ASSERT_NE(at, std::string::npos) << run.log;
    // _ts, the process id in eight hex digits, eight random ones.
    std::string name = run.log.substr(at + prefix.size() - 3, 23);
    char pidDigits[16];
    snprintf(pidDigits, sizeof pidDigits, "%08lx", static_cast<unsigned long>(GetCurrentProcessId()));
    EXPECT_EQ(name.substr(0, 11), std::string("_ts") + pidDigits) << name;
    EXPECT_TRUE(name.ends_with(".tmp")) << name;
    EXPECT_TRUE(has(run.log, name + "' in vesta base\n"));
    EXPECT_TRUE(filesIn(dir.path()).empty());

    std::string missing = dir.file("missing");
    EXPECT_EQ(isDirWritable(missing.c_str()), 0);
    std::string file = dir.file("file");
    ASSERT_TRUE(writeFile(file, ""));
    EXPECT_EQ(isDir(file.c_str()), 0);
    EXPECT_EQ(isDirWritable(file.c_str()), 0);
}

namespace {

// Whether the folder's DACL is protected from inheritance and has one entry.
bool hasOneProtectedEntry(const std::string& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(widen(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    bool one = (control & SE_DACL_PROTECTED) != 0 && dacl != nullptr && dacl->AceCount == 1;
    LocalFree(descriptor);
    return one;
}

}  // namespace

TEST(BootcacheWin, CreatedFoldersAdmitTheUserAlone) {
    TempDir dir;
    // A control folder made with such a descriptor directly: wine keeps
    // descriptors only where its file system can store them.
    PSECURITY_DESCRIPTOR control = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &control, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, control, FALSE};
    std::string probe = dir.file("probe");
    ASSERT_TRUE(CreateDirectoryW(widen(probe).c_str(), &attributes));
    LocalFree(control);
    if (!hasOneProtectedEntry(probe)) GTEST_SKIP() << "this wine keeps no security descriptor of a new folder";

    std::string made = dir.file("a\\b");
    ASSERT_EQ(mkSubDirs(made.c_str()), 1);
    EXPECT_TRUE(hasOneProtectedEntry(dir.file("a")));
    EXPECT_TRUE(hasOneProtectedEntry(made));
    // The folder is the user's own and may serve.
    EXPECT_TRUE(adoptBootFolder(made.c_str(), nullptr));
}

TEST(BootcacheWin, LogOpensInAFolderWithANonAsciiName) {
    TempDir dir;
    std::string folder = dir.file("Jos\xc3\xa9");
    ASSERT_TRUE(CreateDirectoryW(widen(folder).c_str(), nullptr));
    BootFolder adopted;
    ASSERT_TRUE(adoptBootFolder(folder.c_str(), &adopted));
    FILE* log = openBootLog(adopted, "tarsil.boot.log");
    ASSERT_NE(log, nullptr);
    fputs("logged\n", log);
    fclose(log);
    EXPECT_EQ(readFile(folder + "\\tarsil.boot.log"), "logged\n");
    // The generation's files are removed through the same wide calls.
    ASSERT_TRUE(createBootFile(adopted, "tarsil-bootstrap-x.tmp.jar", "x"));
    EXPECT_TRUE(removeBootFile(adopted, "tarsil-bootstrap-x.tmp.jar"));
    EXPECT_EQ(filesIn(folder), std::vector<std::string>{"tarsil.boot.log"});
}

TEST(BootcacheWin, FolderOfTheLongestUsableLengthIsAcceptedALongerOneFallsThrough) {
    TempDir dir;
    std::string longest = pathOfLength(dir, kLongestUsableFolder);
    ASSERT_EQ(longest.size(), kLongestUsableFolder);
    EXPECT_EQ(fromProperty({{"vesta.bootcache.dir", longest}}), longest);
    EXPECT_EQ(fromProperty({{"vesta.bootcache.dir", pathOfLength(dir, kLongestUsableFolder + 1)}}), "<null>");
}

TEST(BootcacheWinDeathTest, LongerOrLongPathPrefixedFolderEndsTheProcess) {
    TempDir dir;
    std::string message = literal(
        "Tarsil-JVMTI [ERROR] Please specify a different 'vesta.bootcache.dir'.\n"
        "Tarsil-JVMTI [FATAL] \\\\?\\-UNC paths and paths longer than 205 characters are unsupported on Windows!\n");
    std::string tooLong = pathOfLength(dir, kLongestFolder + 1);
    EXPECT_EXIT(fromProperty({{"vesta.bootcache.dir", tooLong}}), testing::ExitedWithCode(3), message);
    EXPECT_EXIT(fromProperty({{"vesta.bootcache.dir", "\\\\?\\" + dir.path()}}), testing::ExitedWithCode(3),
                message);
    // No support lines after these.
    EXPECT_EXIT(fromProperty({{"vesta.bootcache.dir", "\\\\?\\" + dir.path()}}), testing::ExitedWithCode(3),
                message + "$");
}

TEST(BootcacheWinDeathTest, NamedSourcesFollowTheSharedTable) {
    // _putenv_s with an empty value removes the variable.
    folder_policy::runTable([](const char* name, const char* value) { _putenv_s(name, value != nullptr ? value : ""); },
                            '\\');
}

TEST(BootcacheWin, VestaBaseIsMadeFullAndUsesBackslashes) {
    TempDir dir;
    std::string forward = dir.path() + "/base/./x/..";
    EXPECT_EQ(fromVestaBase({{"vesta.base", forward}}), dir.file("base\\bootcache"));
    ScopedEnv env("VESTA_BASE", nullptr);
    EXPECT_EQ(fromVestaBase({}), "<null>");
}

TEST(BootcacheWinDeathTest, TooLongVestaBaseEndsTheProcess) {
    TempDir dir;
    // With "\bootcache" the full path is one character too long.
    std::string base = pathOfLength(dir, kLongestFolder + 1 - strlen("\\bootcache"));
    EXPECT_EQ(fromVestaBase({{"vesta.base", pathOfLength(dir, kLongestUsableFolder - strlen("\\bootcache"))}}).size(),
              kLongestUsableFolder);
    EXPECT_EXIT(fromVestaBase({{"vesta.base", base}}), testing::ExitedWithCode(3),
                literal("Tarsil-JVMTI [FATAL] Couldn't write to " + base +
                        "\\bootcache. The path provided might be too long. Specify another location by changing "
                        "the 'vesta.base' system property.\n"));
    EXPECT_EXIT(
        {
            _putenv_s("VESTA_BASE", base.c_str());
            fromVestaBase({});
        },
        testing::ExitedWithCode(3),
        literal("The path provided might be too long. Specify another location by changing the 'VESTA_BASE' "
                "system environment variable.\n"));
    EXPECT_EXIT(fromVestaBase({{"vesta.base", "\\\\?\\" + dir.path()}}), testing::ExitedWithCode(3),
                literal("Tarsil-JVMTI [FATAL] Couldn't write to \\\\?\\" + dir.path() +
                        "\\bootcache. The path provided might be too long."));
}

TEST(BootcacheWinDeathTest, SourcesAreTriedInOrderAndTheFolderEndsWithABackslash) {
    TempDir cache;
    TempDir base;
    TempDir environment;
    std::string file = cache.file("not-a-folder");
    ASSERT_TRUE(writeFile(file, ""));
    EXPECT_EXIT(printBootstrapFolder({{"vesta.bootcache.dir", cache.path()}, {"vesta.base", base.path()}}),
                testing::ExitedWithCode(0), literal("folder=[" + cache.path() + "\\]"));
    EXPECT_EXIT(printBootstrapFolder({{"vesta.bootcache.dir", file}, {"vesta.base", base.path()}}),
                testing::ExitedWithCode(0), literal("folder=[" + base.file("bootcache") + "\\]"));
    EXPECT_EXIT(
        {
            _putenv_s("VESTA_BASE", environment.path().c_str());
            printBootstrapFolder({});
        },
        testing::ExitedWithCode(0), literal("folder=[" + environment.file("bootcache") + "\\]"));
    // Without either, the user profile's .tarsil\bootcache (wine's profile
    // lies in the build's own prefix).
    std::string fallback = profileFolder() + "\\.tarsil\\bootcache";
    EXPECT_EXIT(
        {
            _putenv_s("VESTA_BASE", "");
            printBootstrapFolder({});
        },
        testing::ExitedWithCode(0), literal("folder=[" + fallback + "\\]"));
    EXPECT_EQ(isDirectory(fallback.c_str()), 1);

    // A profile folder that cannot be made yields nothing: the user's
    // temporary folder serves, with a warning; with that gone too, the end
    // names every source tried.
    RemoveDirectoryW(widen(fallback).c_str());
    writeFile(fallback, "");
    wchar_t temp[MAX_PATH + 1];
    std::string temporary = narrow(std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp))) + "tarsil\\bootcache";
    EXPECT_EXIT(
        {
            _putenv_s("VESTA_BASE", "");
            printBootstrapFolder({});
        },
        testing::ExitedWithCode(0), literal("folder=[" + temporary + "\\]"));
    std::string blocked = temporary.substr(0, temporary.rfind('\\'));
    RemoveDirectoryW(widen(temporary).c_str());
    RemoveDirectoryW(widen(blocked).c_str());
    writeFile(blocked, "");
    EXPECT_EXIT(
        {
            _putenv_s("VESTA_BASE", "");
            printBootstrapFolder({});
        },
        testing::ExitedWithCode(3),
        literal("Tarsil-JVMTI [FATAL] Error finding a suitable bootstrap folder! Please specify a folder that exists "
                "and is writable by setting the 'VESTA_BASE' system environment variable. Tried: the user profile "
                "folder's " + fallback + " (it does not exist or cannot be made); the temporary folder's " +
                temporary + " (it does not exist or cannot be made).\n"));
    DeleteFileW(widen(blocked).c_str());
    DeleteFileW(widen(fallback).c_str());
}

TEST(BootcacheWin, UserHomeIsTheWritableProfileFolder) {
    HeapString home(getUserHome());
    ASSERT_TRUE(home);
    EXPECT_EQ(home.get(), profileFolder());
    EXPECT_EQ(isDirWritable(home.get()), 1);
}

TEST(BootcacheWin, FolderIsKeptInAFormTheCodePageCanExpress) {
    TempDir dir;
    HeapString plain(finishBootstrapFolder(dir.path().c_str()));
    EXPECT_EQ(std::string(plain.get()), dir.path() + "\\");

    std::string foreign = dir.file("\xe4\xb8\xad\xce\xa9-cache");
    ASSERT_TRUE(CreateDirectoryW(widen(foreign).c_str(), nullptr));
    HeapString usable(finishBootstrapFolder(foreign.c_str()));
    ASSERT_TRUE(usable);
    std::string shortForm = usable.get();
    ASSERT_EQ(shortForm.back(), '\\');
    shortForm.pop_back();
    EXPECT_NE(shortForm, foreign);
    EXPECT_EQ(isDirectory(shortForm.c_str()), 1);
    EXPECT_TRUE(std::all_of(shortForm.begin(), shortForm.end(), [](char c) { return c > 0; })) << shortForm;
}

TEST(GetJavaExecutable, WindowedLauncherIsPreferredWhenPresent) {
    TempDir home;
    ASSERT_TRUE(CreateDirectoryW(widen(home.file("bin")).c_str(), nullptr));
    ASSERT_TRUE(writeFile(home.file("bin\\java.exe"), ""));
    Captured run = capture([&] {
        HeapString console(getJavaExecutable(home.path().c_str()));
        EXPECT_EQ(std::string(console.get()), home.file("bin\\java.exe"));
        ASSERT_TRUE(writeFile(home.file("bin\\javaw.exe"), ""));
        HeapString windowed(getJavaExecutable(home.path().c_str()));
        EXPECT_EQ(std::string(windowed.get()), home.file("bin\\javaw.exe"));
    });
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] using java executable " + home.file("bin\\java.exe") + "\n"));
    EXPECT_TRUE(has(run.log, "Tarsil-JVMTI [DEBUG] using java executable " + home.file("bin\\javaw.exe") + "\n"));
}

TEST(ClasspathManifestWin, SemicolonsSeparateAndDriveLettersGetASlash) {
    TempDir dir;
    // "Q:" is too short for the drive rule (and no folder: wine has no Q:).
    std::string classpath = "C:\\lib\\a.jar;" + dir.path() + ";rel\\b c.jar;Q:";
    HeapString manifest(generateManifest(classpath.c_str()));
    std::string folder = dir.path();
    std::replace(folder.begin(), folder.end(), '\\', '/');
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    std::string cwd = narrow(current);
    std::replace(cwd.begin(), cwd.end(), '\\', '/');
    if (!cwd.ends_with("/")) cwd += '/';
    std::string entries = "file:/C:/lib/a.jar file:/" + folder + "/ file:/" + cwd + "rel/b%20c.jar file:/" + cwd + "Q: ";
    // Unfold the 72-byte lines before comparing.
    std::string text = manifest.get();
    for (size_t at; (at = text.find("\r\n ")) != std::string::npos;) text.erase(at, 3);
    EXPECT_EQ(text, "Manifest-Version: 1.0\r\nClass-Path: " + entries + "\r\n\r\n");
}

namespace {

// preprocessClasspath on "java -cp <classpath> Main" of `total` bytes, with
// a fresh bootstrap folder (the jar is written there); the jar's manifest or
// "".
std::string classpathJarFor(size_t total) {
    TempDir dir;
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(widen(dir.path()).c_str());
    std::vector<std::string> args = {"C:\\jdk\\bin\\java.exe", "-cp", "C:\\lib\\a.jar;", "Main"};
    size_t fixed = args[0].size() + args[1].size() + args[2].size() + args[3].size();
    args[2] += std::string(total - fixed, 'c');
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(lfts_dup(arg.c_str()));
    FakeJvm jvm;
    BootFolder folder;
    EXPECT_TRUE(adoptBootFolder(dir.path().c_str(), &folder));
    folder.path = dir.path() + "\\";
    char* jar = preprocessClasspath(jvm.newEnv(), argv.data(), static_cast<int>(argv.size()), folder,
                                    "tarsil-classpath-x.jar");
    std::string manifest;
    if (jar != nullptr) {
        EXPECT_EQ(argv[2], jar);
        ZipReader reader;
        EXPECT_TRUE(reader.open(jar));
        HeapString text(static_cast<char*>(reader.extractToHeap("META-INF/MANIFEST.MF", nullptr)));
        if (text) manifest = text.get();
        reader.close();
        fileDelete(jar);
    }
    for (char* arg : argv) free(arg);
    SetCurrentDirectoryW(previous);
    return manifest;
}

}  // namespace

TEST(ClasspathJarWin, CommandLinesOverTwentyThousandBytesGetAJar) {
    static_assert(TS_CLASSPATH_JAR_THRESHOLD == 20000);
    EXPECT_EQ(classpathJarFor(20000), "");
    std::string manifest = classpathJarFor(20001);
    EXPECT_EQ(manifest.rfind("Manifest-Version: 1.0\r\nClass-Path: file:/C:/lib/a.jar file:/", 0), 0u) << manifest;
}

TEST(BootcacheWin, LevelsEveryoneMayWriteAreToldFromTheirAccessList) {
    struct Case {
        const wchar_t* sddl;
        bool writable;
    } cases[] = {
        {L"D:(A;;FA;;;WD)", true},                          // everyone, full control
        {L"D:(A;;0x4;;;AU)", true},                         // authenticated users may add folders
        {L"D:(A;;0x40;;;BU)", true},                        // users may delete entries
        {L"D:(A;;FR;;;WD)(A;;FA;;;SY)", false},             // everyone may only read
        {L"D:(A;OICIIO;FA;;;WD)", false},                   // for what is inside only
        {L"D:(D;;FA;;;WD)", false},                         // a denial
        {L"D:(A;;FA;;;BA)(A;;FA;;;SY)", false},             // the administrators and the system
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor, nullptr));
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        EXPECT_EQ(grantsWriteToAll(dacl), c.writable) << narrow(c.sddl);
        LocalFree(descriptor);
    }
    EXPECT_TRUE(grantsWriteToAll(nullptr));
}
