// The Windows bootstrap folder: its sources and their order, the length and
// prefix limits, directory creation, the writability probe, the code-page
// rule, who a folder or file is trusted to belong to and the access lists of
// what the library makes; and the Windows parts of the child JVM's command
// line (javaw.exe, the classpath jar's manifest and threshold).
#include "win_test_support.h"  // first: it brings <windows.h>

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bootcache_cmdline.h"
#include "bootcache_cpjar.h"
#include "bootcache_files.h"
#include "bootcache_folder.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"
#include "platform.h"
#include "readfile.h"
#include "support/fake_jvmti.h"
#include "support/folder_policy_table.h"
#include "win_util.h"
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

// The SID of the user running the tests, as SDDL writes it.
std::wstring userSid() {
    HANDLE token = nullptr;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    wchar_t* text = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    bool read = GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) &&
                ConvertSidToStringSidW(buffer.user.User.Sid, &text);
    CloseHandle(token);
    std::wstring sid = read ? text : L"";
    LocalFree(text);
    return sid;
}

// A security descriptor written in SDDL.
class Descriptor {
public:
    explicit Descriptor(const std::wstring& sddl) {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr);
    }
    ~Descriptor() { LocalFree(descriptor_); }
    bool valid() const { return descriptor_ != nullptr; }
    PSID owner() const {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        return GetSecurityDescriptorOwner(descriptor_, &owner, &defaulted) ? owner : nullptr;
    }
    PACL dacl() const {
        PACL dacl = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        return GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted) ? dacl : nullptr;
    }
    SECURITY_ATTRIBUTES* attributes() {
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
        return &attributes_;
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_ = {};
};

// The access list of a file or folder as the system reads it back.
struct AccessList {
    bool isProtected = false;
    size_t entries = 0;
    // What it grants anyone but the user, the system and the administrators;
    // everything where it cannot be read.
    ACCESS_MASK othersMay = ~ACCESS_MASK{0};
};

AccessList accessListOf(const std::string& path) {
    AccessList list;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return list;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    list.isProtected = (control & SE_DACL_PROTECTED) != 0;
    list.othersMay = dacl == nullptr ? list.othersMay : 0;
    Descriptor me(L"O:" + userSid());
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        list.entries++;
        PSID sid = &ace->SidStart;
        if (!EqualSid(sid, me.owner()) && !IsWellKnownSid(sid, WinLocalSystemSid) &&
            !IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
            list.othersMay |= ace->Mask;
        }
    }
    LocalFree(descriptor);
    return list;
}

constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;

// Whether this wine keeps the descriptor a folder is made with, rather than
// one it derives from the Unix mode (without the administrators, never
// protected).
bool descriptorsAreKept(const TempDir& dir) {
    Descriptor control(L"D:P(A;OICI;FA;;;WD)");
    std::string probe = dir.file("probe");
    if (!CreateDirectoryW(widen(probe).c_str(), control.attributes())) return false;
    AccessList list = accessListOf(probe);
    RemoveDirectoryW(widen(probe).c_str());
    return list.isProtected && list.entries == 1;
}

// Writes the file, then gives it the access list of `sddl` (wine derives
// what it reads back from the Unix mode, which only a change afterwards
// opens to others: at creation the umask applies).
bool writeWithAccessList(const std::string& path, const std::wstring& sddl, const std::string& content) {
    Descriptor descriptor(sddl);
    if (!descriptor.valid() || (!pathExists(path) && !writeFile(path, content))) return false;
    std::wstring wide = widen(path);
    return SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 descriptor.dacl(), nullptr) == ERROR_SUCCESS;
}

// What the library makes in a fresh folder below `dir`: two levels, and in
// the second a file, a log and a lock; empty when any of it fails.
std::vector<std::string> madeByTheLibrary(const TempDir& dir) {
    std::string made = dir.file("a\\b");
    BootFolder folder;
    auto close = [](BootFolder* adopted) { closeBootFile(adopted->handle); };
    std::unique_ptr<BootFolder, decltype(close)> closing(&folder, close);
    // The folder is the user's own and may serve.
    if (mkSubDirs(made.c_str()) != 1 || !adoptBootFolder(made.c_str(), &folder)) return {};
    if (!createBootFile(folder, "created", "x")) return {};
    FILE* log = openBootLog(folder, "log");
    if (log == nullptr) return {};
    fclose(log);
    BootFileLock lock;
    if (lock.acquire(folder, "lock", 1) != BootFileLock::Outcome::locked) return {};
    return {dir.file("a"), made, made + "\\created", made + "\\log", made + "\\lock"};
}

}  // namespace

TEST(BootcacheWin, CreatedFoldersAndFilesAdmitTheUserAloneAndInheritNothing) {
    TempDir dir;
    std::vector<std::string> made = madeByTheLibrary(dir);
    ASSERT_EQ(made.size(), 5u);
    // Wine derives every access list from the Unix mode: only a wine that
    // keeps descriptors shows the list itself.
    bool kept = descriptorsAreKept(dir);
    for (const std::string& path : made) {
        AccessList list = accessListOf(path);
        EXPECT_EQ(list.othersMay, 0u) << path;
        if (kept) {
            EXPECT_TRUE(list.isProtected) << path;
            EXPECT_EQ(list.entries, 3u) << path;  // the user, the system, the administrators
        }
    }
    // Under wine a file made without a descriptor admits everyone to read.
    ASSERT_TRUE(writeFile(dir.file("plain"), "x"));
    EXPECT_TRUE(accessListOf(dir.file("plain")).othersMay != 0 || kept);
}

TEST(BootcacheWin, MadePrivateAFileOthersMayWriteAdmitsTheUserAlone) {
    TempDir dir;
    std::string path = dir.file("written-by-the-child");
    ASSERT_TRUE(writeWithAccessList(path, L"D:(A;;FA;;;WD)", "x"));
    ASSERT_NE(accessListOf(path).othersMay & kWriting, 0u);
    HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // Through a handle that may only read.
    EXPECT_TRUE(makeBootFilePrivate(reinterpret_cast<intptr_t>(file)));
    CloseHandle(file);
    EXPECT_EQ(accessListOf(path).othersMay & kWriting, 0u);
    EXPECT_FALSE(makeBootFilePrivate(-1));
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
    // temporary folder serves, with a warning; where its own folder's name
    // is taken, a fresh folder beside it; with no usable temporary folder
    // either, the end names every source tried.
    RemoveDirectoryW(widen(fallback).c_str());
    writeFile(fallback, "");
    wchar_t temp[MAX_PATH + 1];
    std::string tempBase = narrow(std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)));
    std::string temporary = tempBase + "tarsil\\bootcache";
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
        testing::ExitedWithCode(0), literal("folder=[" + blocked + "-"));
    std::string unusable = blocked + "\\below-a-file";
    EXPECT_EXIT(
        {
            _putenv_s("VESTA_BASE", "");
            _putenv_s("TMP", unusable.c_str());
            _putenv_s("TEMP", unusable.c_str());
            printBootstrapFolder({});
        },
        testing::ExitedWithCode(3),
        literal("Tried: the user profile folder's " + fallback + " (it does not exist or cannot be made); the "
                "temporary folder's " + unusable + "\\tarsil\\bootcache"));
    // The fresh folders: "tarsil-" and 16 hex digits.
    for (const std::string& fresh : filesIn(tempBase.substr(0, tempBase.size() - 1))) {
        if (fresh.size() != 23 || !fresh.starts_with("tarsil-") ||
            !std::all_of(fresh.begin() + 7, fresh.end(), [](char c) { return isxdigit(c) != 0; })) {
            continue;
        }
        RemoveDirectoryW(widen(tempBase + fresh + "\\bootcache").c_str());
        RemoveDirectoryW(widen(tempBase + fresh).c_str());
    }
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
    const std::wstring me = userSid();
    const std::wstring other = L"S-1-5-21-1-2-3-1001";
    const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    // The verdict as a file, the folder, a level above it and a volume's
    // root: t trusted, o another's, w others may write it.
    struct Case {
        std::wstring sddl;
        const char* verdicts;
    } cases[] = {
        {L"O:" + me + L"D:(A;;FA;;;" + me + L")(A;;FA;;;SY)(A;;FA;;;BA)", "tttt"},
        {L"O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)", "tttt"},          // the administrators and the system
        {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)", "tttt"},    // users may read and list
        {L"O:" + installer + L"D:(A;;FA;;;" + installer + L")", "tttt"},
        {L"O:" + other + L"D:(A;;FA;;;" + me + L")", "oooo"},  // another user's
        {L"O:WDD:(A;;FR;;;WD)", "oooo"},
        {L"O:BUD:(A;;FA;;;" + me + L")", "oooo"},
        {L"O:" + me + L"D:(A;;FA;;;WD)", "wwww"},               // everyone, full control
        {L"O:" + me + L"D:(A;;0x4;;;AU)", "wwtt"},              // authenticated users may add folders
        {L"O:" + me + L"D:(A;;0x2;;;" + other + L")", "wwtt"},  // another may add files (or write this one)
        {L"O:" + me + L"D:(A;;GW;;;BU)", "wwtt"},
        {L"O:" + me + L"D:(A;;0x40;;;BU)", "wwww"},             // users may delete entries
        {L"O:" + me + L"D:(A;;SD;;;AU)", "wwwt"},               // may remove or rename it
        {L"O:" + me + L"D:(A;;WD;;;" + other + L")", "wwww"},   // may change its access list
        {L"O:" + me + L"D:(A;;WO;;;BU)", "wwww"},               // may take it
        {L"O:" + me + L"D:(A;;GA;;;BU)", "wwww"},
        {L"O:" + me + L"D:(A;;FR;;;WD)(A;;FA;;;SY)", "tttt"},   // everyone may only read
        {L"O:" + me + L"D:(A;OICIIO;FA;;;WD)", "tttt"},         // for what is inside only
        {L"O:" + me + L"D:(D;;FA;;;WD)", "tttt"},               // a denial
        {L"O:" + me + L"D:(A;;FA;;;CO)(A;;FA;;;S-1-3-4)", "tttt"},  // creator owner, owner rights
        {L"D:(A;;FA;;;WD)", "wwww"},                            // no owner kept: the list still counts
        {L"D:(A;;FR;;;WD)", "tttt"},
    };
    const TrustedAs roles[] = {TrustedAs::file, TrustedAs::folder, TrustedAs::level, TrustedAs::root};
    auto verdict = [](Trust trust) { return trust == Trust::trusted ? 't' : trust == Trust::foreignOwner ? 'o' : 'w'; };
    for (const Case& c : cases) {
        Descriptor descriptor(c.sddl);
        ASSERT_TRUE(descriptor.valid()) << narrow(c.sddl);
        std::string told;
        for (TrustedAs role : roles) told += verdict(trustOf(descriptor.owner(), descriptor.dacl(), role));
        EXPECT_EQ(told, c.verdicts) << narrow(c.sddl);
    }
    // A null access list grants everything.
    Descriptor mine(L"O:" + me);
    for (TrustedAs role : roles) EXPECT_EQ(trustOf(mine.owner(), nullptr, role), Trust::othersMayWrite);
}

TEST(BootcacheWin, FolderOrLevelOthersMayWriteIsRefusedWhoeverOwnsIt) {
    TempDir dir;
    std::string open = dir.file("open");
    ASSERT_TRUE(CreateDirectoryW(widen(open).c_str(), nullptr));
    ASSERT_TRUE(writeWithAccessList(open, L"D:(A;;FA;;;WD)", ""));
    ASSERT_NE(accessListOf(open).othersMay & FILE_DELETE_CHILD, 0u);
    std::string below = open + "\\below";
    ASSERT_TRUE(CreateDirectoryW(widen(below).c_str(), PrivateSecurity(PrivateSecurity::folder).attributes()));
    for (const std::string& path : {open, below}) {
        FolderRefusal refusal;
        EXPECT_FALSE(adoptBootFolder(path.c_str(), nullptr, &refusal)) << path;
        EXPECT_EQ(refusal.level, open);
        EXPECT_TRUE(refusal.trust) << refusal.reason;
    }
}

TEST(BootcacheWin, FileWithAnotherNameOrThatOthersMayWriteIsNeverTrusted) {
    TempDir dir;
    BootFolder folder;
    ASSERT_TRUE(adoptBootFolder(dir.path().c_str(), &folder));
    TempDir elsewhere;
    std::string target = elsewhere.file("target");
    ASSERT_TRUE(writeFile(target, "planted"));
    std::string path = dir.file("planted");
    // Each puts "planted" at `path`: a hard link to a file elsewhere (a
    // write here would change it), or a file everyone may write.
    struct Plant {
        const char* what;
        bool (*plant)(const std::string& path, const std::string& target);
    } plants[] = {
        {"a hard link",
         [](const std::string& at, const std::string& to) {
             return CreateHardLinkW(widen(at).c_str(), widen(to).c_str(), nullptr) != 0;
         }},
        {"a file others may write",
         [](const std::string& at, const std::string&) {
             return writeWithAccessList(at, L"D:(A;;FA;;;WD)", "planted") &&
                    (accessListOf(at).othersMay & kWriting) != 0;
         }},
    };
    // What each entry point makes of it: refused, or replaced by a file of
    // the user's own.
    struct Use {
        const char* what;
        bool replaces;
        bool (*use)(const BootFolder& folder);
    } uses[] = {
        {"openBootFile", false,
         [](const BootFolder& in) {
             BootFileState state = BootFileState::trusted;
             const char* problem = nullptr;
             return openBootFile(in, "planted", &state, &problem) == -1 && state == BootFileState::untrusted &&
                    problem != nullptr;
         }},
        {"tryAcquire", false,
         [](const BootFolder& in) {
             return BootFileLock().tryAcquire(in, "planted") == BootFileLock::Outcome::unsupported;
         }},
        {"acquire", true,
         [](const BootFolder& in) { return BootFileLock().acquire(in, "planted", 1) == BootFileLock::Outcome::locked; }},
        {"openBootLog", true,
         [](const BootFolder& in) {
             FILE* log = openBootLog(in, "planted");
             return log != nullptr && fputs("logged", log) >= 0 && fclose(log) == 0;
         }},
    };
    for (const Plant& plant : plants) {
        for (const Use& use : uses) {
            SCOPED_TRACE(std::string(plant.what) + ", " + use.what);
            ASSERT_TRUE(removeBootFile(folder, "planted"));
            ASSERT_TRUE(plant.plant(path, target));
            EXPECT_TRUE(use.use(folder));
            EXPECT_EQ(bootFileState(folder, "planted"), use.replaces ? BootFileState::trusted : BootFileState::untrusted);
            // What the link led to keeps its bytes.
            EXPECT_EQ(readFile(target), "planted");
        }
    }
    EXPECT_EQ(readFile(path), "logged");
    closeBootFile(folder.handle);
}

TEST(ReadRegularFileWin, FileOthersMayWriteIsNotRead) {
    TempDir dir;
    std::string path = dir.file("options");
    ASSERT_TRUE(writeFile(path, "-Xint"));
    std::string text;
    EXPECT_EQ(readRegularFile(path.c_str(), &text), FileRead::ok);
    EXPECT_EQ(text, "-Xint");
    ASSERT_TRUE(writeWithAccessList(path, L"D:(A;;FA;;;WD)", ""));
    EXPECT_EQ(readRegularFile(path.c_str(), &text), FileRead::othersMayWrite);
    EXPECT_EQ(text, "");
}
