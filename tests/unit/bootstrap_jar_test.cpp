// The bootstrap jar's generation: the child JVM's command line, the
// classpath jar standing in for a long class path, and the cache lookup
// that runs the child (a shell script here) on a miss. Each case runs in a
// forked child, since the folder and the inherited options are computed
// once per process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/types.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include "agent_state.h"
#include "bootcache.h"
#include "bootcache_args.h"
#include "bootcache_cmdline.h"
#include "bootcache_cpjar.h"
#include "bootcache_folder.h"
#include "bootcache_hash.h"
#include "bootcache_files.h"
#include "bootcache_sources.h"
#include "jarinfo.h"
#include "logging.h"
#include "support/child.h"
#include "support/fake_java.h"
#include "support/fake_jvmti.h"
#include "zip.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

const char kOutput[] = "/out/b.jar";
const char kAgentJar[] = "/x/tarsil.jar";

// The child's command line for these properties, with the inherited options
// of this test process in front of the "-D" options.
struct BuiltArgs {
    Args args;
    Args inherited;
    size_t userCount = 0;  // the user's part after the executable
};

BuiltArgs build(const FakeJvmtiScript& script) {
    ChildResult child = runInChild([&script] {
        FakeJvm jvm(script);
        jvmtiEnv* env = jvm.newEnv();
        // As Agent_OnLoad reads it from the JVM.
        agent.java9 = jvmtiMajorVersionOf(script.version) > 8;
        int inheritedCount = 0;
        char** inherited = getAdditionalArgs(env, &inheritedCount);
        std::string report;
        for (int i = 0; i < inheritedCount; i++) report += std::string("I ") + inherited[i] + '\n';
        int count = 0;
        int userCount = 0;
        char** argv = getBootstrapBuildArguments(env, kAgentJar, kOutput, &count, &userCount);
        for (int i = 0; i < count; i++) report += std::string("A ") + argv[i] + '\n';
        report += "U " + std::to_string(userCount) + '\n';
        freeBootstrapBuildArguments(count, argv);
        if (jvm.outstandingAllocations() != 0) report += "LEAK\n";
        return report;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    BuiltArgs built;
    std::istringstream lines(child.report);
    for (std::string line; std::getline(lines, line);) {
        if (line == "LEAK") ADD_FAILURE() << "JVM TI memory not returned";
        if (line.starts_with("I ")) built.inherited.push_back(line.substr(2));
        if (line.starts_with("A ")) built.args.push_back(line.substr(2));
        if (line.starts_with("U ")) built.userCount = std::stoul(line.substr(2));
    }
    return built;
}

FakeJvmtiScript jvmWith(jint version, std::map<std::string, std::string> properties) {
    FakeJvmtiScript script;
    script.version = version;
    script.properties = std::move(properties);
    return script;
}

// The executable, the inherited options, then `rest`.
Args expected(const BuiltArgs& built, const std::string& executable, const Args& rest) {
    Args all = {executable};
    all.insert(all.end(), built.inherited.begin(), built.inherited.end());
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

const Args kBootstrapSettings = {"-Dvesta.pelican.bootstrap_run=true", "-Dvesta.pelican.bootstrap_single_jar=true",
                                 "-Dvesta.pelican.bootstrap_path=/out/b.jar"};
const Args kClosing = {"-Dvesta.log.file=/out/b.jar.log", "-Dvesta.log=trace", "-Dvesta.no.native.mess=true",
                       "com.lindenforgesys.javavesta.Install"};

Args concat(std::initializer_list<Args> parts) {
    Args all;
    for (const Args& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::map<std::string, std::string> kCommon = {
    {"java.home", "/jdk"},
    {"java.class.path", "/app/a.jar"},
    {"java.vm.name", "OpenJDK 64-Bit Server VM"},
    {"java.security.manager", "jarjar.org.gradle.process.internal.child.BootstrapSecurityManager"},
    {"jdk.boot.class.path.append", "/extra"},
    {"jdk.module.path", "/mods"},
    {"sun.boot.class.path", "/jre/lib/rt.jar"},
    {"user.dir", "/work"},
    {"vesta.bootcache.dir", "/cache"},
};

}  // namespace

TEST(BootstrapArguments, ModernJvmGetsTheDocumentedOrder) {
    BuiltArgs built = build(jvmWith(0x300B0000, kCommon));
    EXPECT_EQ(built.args, expected(built, "/jdk/bin/java",
                                   concat({{"-Djdk.boot.class.path.append=/extra", "-Duser.dir=/work"},
                                           kBootstrapSettings,
                                           {"-cp", "/app/a.jar", "-p", "/mods", "-javaagent:/x/tarsil.jar"},
                                           kClosing})));
    // The user's part: the inherited options and the properties.
    EXPECT_EQ(built.userCount, built.inherited.size() + 2);
}

// The child runs the installer with the JVM's default system class loader
// and no security manager, whatever the application has.
TEST(BootstrapArguments, JavaEightInheritsTheWholeBootClassPathButNoLoaderOrSecurity) {
    auto properties = kCommon;
    properties["java.security.manager"] = "com.acme.Guard";
    properties["java.security.policy"] = "/app/all.policy";
    properties["java.system.class.loader"] = "com.acme.Loader";
    properties["jdk.module.upgrade.path"] = "/upgrades";
    BuiltArgs built = build(jvmWith(0x30080000, properties));
    EXPECT_EQ(built.args,
              expected(built, "/jdk/bin/java",
                       concat({{"-Djdk.boot.class.path.append=/extra", "-Duser.dir=/work"},
                               kBootstrapSettings,
                               {"-cp", "/app/a.jar", "-p", "/mods", "--upgrade-module-path", "/upgrades",
                                "-javaagent:/x/tarsil.jar", "-Xbootclasspath:/jre/lib/rt.jar"},
                               kClosing})));
}

TEST(BootstrapArguments, IntellijLoaderOpensNioAndAppendsItsBootClassPath) {
    auto properties = kCommon;
    properties["java.system.class.loader"] = "com.intellij.util.lang.PathClassLoader";
    BuiltArgs built = build(jvmWith(0x30110000, properties));
    EXPECT_EQ(built.args,
              expected(built, "/jdk/bin/java",
                       concat({{"--add-opens", "java.base/sun.nio.fs=ALL-UNNAMED", "-Duser.dir=/work"},
                               kBootstrapSettings,
                               {"-cp", "/app/a.jar", "-p", "/mods", "-javaagent:/x/tarsil.jar",
                                "-Xbootclasspath/a:/extra"},
                               kClosing})));
}

TEST(BootstrapArguments, SkipcpLeavesOutEveryPathEvenWhenEmpty) {
    auto properties = kCommon;
    properties["vesta.skipcp"] = "";
    BuiltArgs built = build(jvmWith(0x300B0000, properties));
    EXPECT_EQ(built.args, expected(built, "/jdk/bin/java",
                                   concat({{"-Djdk.boot.class.path.append=/extra", "-Duser.dir=/work",
                                            "-Dvesta.skipcp="},
                                           kBootstrapSettings,
                                           {"-javaagent:/x/tarsil.jar"},
                                           kClosing})));
}

TEST(BootstrapArguments, UnreadableJavaHomeEndsTheProcess) {
    ChildResult child = runInChild([] {
        FakeJvm jvm(jvmWith(0x300B0000, {{"user.dir", "/work"}}));
        int count = 0;
        getBootstrapBuildArguments(jvm.newEnv(), kAgentJar, kOutput, &count);
        return std::string("returned");
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("get java.home"), std::string::npos) << child.err;
}

TEST(BootstrapArguments, CommandLinePropertyFilter) {
    for (const char* name : {"java.home", "java.home.x", "java.vm.version", "java.class.path", "sun.boot.library.path",
                             "jdk.module.main", "test.x", "vesta.log.file", "sun.java.command",
                             "java.system.class.loader", "java.security.manager", "java.security.policy"}) {
        EXPECT_EQ(isIgnoredCmdProperty(name, 0), 1) << name;
    }
    for (const char* name : {"java.version", "user.dir", "vesta.skipcp", "jdk.boot.class.path.append",
                             "java.security.managers", "java.system.class.loaders"}) {
        EXPECT_EQ(isIgnoredCmdProperty(name, 0), 0) << name;
    }
    EXPECT_EQ(isIgnoredCmdProperty("jdk.boot.class.path.append", 1), 1);
}

namespace {

// Options of the user's that other local users must not read.
const Args kPrivateOptions = {"-XX:OnOutOfMemoryError=notify --token=s3cr3t", "-Dsecret=a \"b\" 'c'\td",
                              "--add-opens", "java.base/java.lang=ALL-UNNAMED", "-cp", "/app/a b.jar"};

struct Moved {
    ChildResult child;
    Args argv;
    std::string file;   // the argument file's text
    unsigned mode = 0;  // and its permissions
};

// moveArgumentsToFile on [java, options..., main] in a fresh folder, where
// `planted` is put at the file's name first.
Moved moveToFile(const Args& options, bool planted = false) {
    TempDir dir;
    std::string name = "tarsil-bootstrap-x.args";
    if (planted) std::ofstream(dir.file(name)) << "x";
    Moved moved;
    moved.child = runInChild([&] {
        BootFolder folder;
        if (!adoptBootFolder(dir.path().c_str(), &folder)) return std::string("folder not adopted");
        folder.path = dir.path() + "/";
        Args all = concat({{"/jdk/bin/java"}, options, {"com.lindenforgesys.javavesta.Install"}});
        int argc = static_cast<int>(all.size());
        char** argv = static_cast<char**>(calloc(all.size(), sizeof(char*)));
        for (int i = 0; i < argc; i++) argv[i] = strdup(all[static_cast<size_t>(i)].c_str());
        bool written = moveArgumentsToFile(argv, &argc, folder, name.c_str());
        std::string report = written ? "written\n" : "none\n";
        for (int i = 0; i < argc; i++) report += std::string(argv[i]) + '\n';
        freeBootstrapBuildArguments(argc, argv);
        return report;
    });
    std::istringstream lines(moved.child.report);
    for (std::string line; std::getline(lines, line);) moved.argv.push_back(line);
    struct stat file;
    if (stat(dir.file(name).c_str(), &file) == 0) {
        moved.mode = file.st_mode & 0777;
        moved.file = readFile(dir.file(name));
    }
    if (!moved.argv.empty() && moved.argv[0] == "written") {
        moved.argv.erase(moved.argv.begin());
        EXPECT_EQ(moved.argv[1], "@" + dir.file(name));
    }
    return moved;
}

}  // namespace

TEST(ChildCommandLine, FromJavaNineOnlyTheArgumentFileAndTheMainClassAreOnIt) {
    Moved moved = moveToFile(kPrivateOptions);
    ASSERT_EQ(moved.child.exitCode, 0) << moved.child.err;
    ASSERT_EQ(moved.argv.size(), 3u) << moved.child.report;
    EXPECT_EQ(moved.argv[0], "/jdk/bin/java");
    EXPECT_EQ(moved.argv[2], "com.lindenforgesys.javavesta.Install");
    // The launcher reads back every argument as it was, in order.
    EXPECT_EQ(splitArgumentFile(moved.file), kPrivateOptions);
    EXPECT_EQ(moved.mode, 0600u);

    Moved nothing = moveToFile({});
    EXPECT_EQ(nothing.argv, (Args{"none", "/jdk/bin/java", "com.lindenforgesys.javavesta.Install"}));
    EXPECT_EQ(nothing.mode, 0u);

    // A file that cannot be made ends the JVM rather than expose them.
    Moved refused = moveToFile(kPrivateOptions, true);
    EXPECT_EQ(refused.child.exitCode, 3);
    EXPECT_EQ(refused.file, "x");
}

// Java 8: the run of options the JVM takes from JAVA_TOOL_OPTIONS, from the
// first on, goes there behind the user's own; the rest keeps its place.
TEST(ChildCommandLine, JavaEightMovesTheLeadingOptionsToJavaToolOptions) {
    std::string big(600, 'v');
    Args manyOptions;
    for (int i = 0; i < 70; i++) manyOptions.push_back("-Dp" + std::to_string(i) + "=1");
    struct Case {
        const char* what;
        Args options;                        // between the executable and the main class
        std::vector<EnvironmentEdit> edits;  // what the child inherits
        size_t moved;                        // how many options go
        Args inheritedTool;                  // the user's own options in front of them
        int userCount = -1;                  // of the options, the user's (-1: all)
    } cases[] = {
        {"no variable", {"-XX:OnOutOfMemoryError=notify --token=s3cr3t", "-Dsecret=a \"b\" 'c'", "-Xss2m",
                         "-javaagent:/x/t.jar", "-cp", "/app", "-Dlate=1"},
         {{"_JAVA_OPTIONS", false, "-Xint"}}, 4, {}},
        {"behind the user's", {"-Dsecret=1", "-cp", "/app"}, {{"JAVA_TOOL_OPTIONS", false, "-Xint \"-Dq=a b\""}}, 1,
         {"-Xint", "-Dq=a b"}},
        {"user's all left out", {"-Dsecret=1", "-cp", "/app"}, {{"JAVA_TOOL_OPTIONS", true, ""}}, 1, {}},
        {"launcher option first", {"-XX:NativeMemoryTracking=summary", "-Dsecret=1"}, {}, 0, {}},
        {"class path first", {"-cp", "/app", "-Dsecret=1"}, {}, 0, {}},
        {"bytes run out", {"-Da=" + big, "-Db=" + big, "-Dc=1"}, {}, 1, {}},
        {"too long alone", {"-Da=" + big + big, "-Dc=1"}, {}, 0, {}},
        {"options run out", manyOptions, {{"JAVA_TOOL_OPTIONS", false, "-Xint -Xrs"}}, 62, {"-Xint", "-Xrs"}},
        {"the library's settings stay", {"-Dsecret=1", "-Dvesta.pelican.bootstrap_run=true"}, {}, 1, {}, 1},
    };
    for (const Case& c : cases) {
        Args all = concat({{"/jdk/bin/java"}, c.options, {"Main"}});
        std::vector<char*> argv;
        for (const std::string& arg : all) argv.push_back(strdup(arg.c_str()));
        int argc = static_cast<int>(argv.size());
        int userCount = c.userCount < 0 ? static_cast<int>(c.options.size()) : c.userCount;
        std::vector<EnvironmentEdit> edits = moveOptionsToToolOptions(argv.data(), &argc, userCount, c.edits);
        Args left(argv.begin(), argv.begin() + argc);
        for (int i = 0; i < argc; i++) free(argv[static_cast<size_t>(i)]);

        Args stays = concat({{"/jdk/bin/java"}, Args(c.options.begin() + static_cast<long>(c.moved), c.options.end()),
                             {"Main"}});
        EXPECT_EQ(left, stays) << c.what;
        auto tool = std::find_if(edits.begin(), edits.end(),
                                 [](const EnvironmentEdit& edit) { return edit.name == "JAVA_TOOL_OPTIONS"; });
        if (c.moved == 0) {
            EXPECT_EQ(edits.size(), c.edits.size()) << c.what;
            continue;
        }
        ASSERT_NE(tool, edits.end()) << c.what;
        EXPECT_FALSE(tool->remove) << c.what;
        EXPECT_LE(tool->value.size(), 1023u) << c.what;
        Args carried = concat({c.inheritedTool, Args(c.options.begin(), c.options.begin() + static_cast<long>(c.moved))});
        EXPECT_EQ(splitOptionsText(tool->value), carried) << c.what << ": " << tool->value;
        // The other variables' edits stay as they were.
        EXPECT_EQ(edits.size(), c.edits.size() + (c.edits.empty() || c.edits[0].name != "JAVA_TOOL_OPTIONS")) << c.what;
    }
}

namespace {

std::string manifest(const std::string& body) {
    return "Manifest-Version: 1.0\r\n" + body + "\r\n\r\n";
}

std::string generated(const std::string& classpath, const std::string& cwd = "/w", char separator = ':',
                      bool driveLetters = false) {
    char* text = generateManifestWith(classpath.c_str(), separator, driveLetters, cwd.c_str());
    std::string copy = text;
    free(text);
    return copy;
}

}  // namespace

TEST(ClasspathManifest, EntriesAreAbsoluteEncodedUrlsAndFoldersGetASlash) {
    TempDir dir;
    fs::create_directory(dir.file("classes"));
    struct Case {
        std::string classpath, cwd, entries;
        char separator = ':';
        bool drives = false;
    } cases[] = {
        {"lib/a b.jar:classes", dir.path(), "file:" + dir.path() + "/lib/a%20b.jar file:" + dir.path() + "/classes/ "},
        {"/x/a%b#c!.jar:/x/\xc3\xa9.jar", "/w", "file:/x/a%25b%23c%21.jar file:/x/%C3%A9.jar "},
        {"rel/p:/abs", "/w/", "file:/w/rel/p file:/abs "},
        {":a::b", "/w", " file:/w/a  file:/w/b "},
        {"", "/w", " "},
        {"C:\\lib\\a.jar;D:\\x y;rel\\p;\\\\srv\\s\\q.jar", "E:\\w", "file:/C:/lib/a.jar file:/D:/x%20y file:/E:/w/rel/p "
                                                                    "file://srv/s/q.jar ",
         ';', true},
    };
    for (const Case& c : cases) {
        std::string unfolded = std::regex_replace(generated(c.classpath, c.cwd, c.separator, c.drives),
                                                  std::regex("\r\n (?!\r)"), "");
        EXPECT_EQ(unfolded, manifest("Class-Path: " + c.entries)) << c.classpath;
    }
}

TEST(ClasspathManifest, LongLinesFoldAtSeventyBytes) {
    // "file:" and the leading slash make the entry 105 bytes.
    EXPECT_EQ(generated("/" + std::string(99, 'x')),
              manifest("Class-Path: file:/" + std::string(52, 'x') + "\r\n " + std::string(47, 'x') + " "));
    // A fold may split an escape.
    EXPECT_EQ(generated("/" + std::string(51, 'a') + " b"),
              manifest("Class-Path: file:/" + std::string(51, 'a') + "%\r\n 20b "));
}

TEST(ClasspathManifest, FoldedLinesUnfoldToTheEntries) {
    std::string classpath;
    std::string entries;
    for (int i = 0; i < 300; i++) {
        std::string element = "/repo/" + std::string(static_cast<size_t>(i % 37), 'd') + "/lib " + std::to_string(i) + ".jar";
        classpath += (i ? ":" : "") + element;
        entries += "file:" + std::regex_replace(element, std::regex(" "), "%20") + " ";
    }
    std::string text = generated(classpath);
    ASSERT_TRUE(text.starts_with("Manifest-Version: 1.0\r\n"));
    ASSERT_TRUE(text.ends_with("\r\n\r\n"));
    std::string attribute = text.substr(23, text.size() - 27);
    std::istringstream lines(attribute);
    std::string unfolded;
    bool first = true;
    for (std::string line; std::getline(lines, line, '\n');) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        EXPECT_LE(line.size(), 70u);
        if (!first) {
            ASSERT_EQ(line[0], ' ');
            line.erase(0, 1);
        }
        unfolded += line;
        first = false;
    }
    EXPECT_EQ(unfolded, "Class-Path: " + entries);
}

namespace {

struct Preprocessed {
    std::string jar;       // the returned name, "" for null
    Args args;             // the vector afterwards
    std::string manifest;  // of the jar, when one was made
    bool onDisk = false;
    std::string cwd;       // where it ran, and wrote the jar
};

Preprocessed preprocess(const std::map<std::string, std::string>& properties, Args args, bool lengthLimited = true) {
    TempDir dir;
    ChildResult child = runInChild([&] {
        if (chdir(dir.path().c_str()) != 0) return std::string("chdir failed");
        FakeJvm jvm(jvmWith(0x300B0000, properties));
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(strdup(arg.c_str()));
        BootFolder folder;
        if (!adoptBootFolder(dir.path().c_str(), &folder)) return std::string("folder not adopted");
        folder.path = dir.path() + "/";
        char* jar = preprocessClasspath(jvm.newEnv(), argv.data(), static_cast<int>(argv.size()), folder,
                                        "tarsil-classpath-x.jar", lengthLimited);
        std::string report = std::string(jar ? jar : "") + '\n';
        for (char* arg : argv) report += std::string(arg) + '\n';
        if (jar != nullptr) {
            ZipReader reader;
            if (reader.open(jar) && reader.locate("META-INF/") >= 0) {
                size_t size = 0;
                char* text = static_cast<char*>(reader.extractToHeap("META-INF/MANIFEST.MF", &size));
                if (text != nullptr) report += "MANIFEST\n" + std::string(text, size);
                free(text);
            }
        }
        for (char* arg : argv) free(arg);
        return report;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    Preprocessed result;
    std::string report = child.report;
    size_t manifestAt = report.find("MANIFEST\n");
    if (manifestAt != std::string::npos) {
        result.manifest = report.substr(manifestAt + 9);
        report.resize(manifestAt);
    }
    std::istringstream lines(report);
    std::getline(lines, result.jar);
    for (std::string line; std::getline(lines, line);) result.args.push_back(line);
    result.onDisk = !result.jar.empty() && fs::exists(result.jar);
    result.cwd = dir.path();
    return result;
}

// "/jdk/bin/java -cp <classpath> Main" with a class path that brings the
// total text to `total` bytes.
Args commandLineOf(size_t total, const char* option = "-cp") {
    Args args = {"/jdk/bin/java", option, "", "Main"};
    size_t fixed = args[0].size() + args[1].size() + args[3].size();
    args[2] = "/lib/a.jar:" + std::string(total - fixed - 11, 'c');
    return args;
}

}  // namespace

TEST(ClasspathJar, AutomaticModeStartsAboveTheLimit) {
    Args atLimit = commandLineOf(131000);
    Preprocessed kept = preprocess({}, atLimit);
    EXPECT_EQ(kept.jar, "");
    EXPECT_EQ(kept.args, atLimit);

    Args over = commandLineOf(131001);
    Preprocessed replaced = preprocess({}, over);
    EXPECT_EQ(replaced.jar, replaced.cwd + "/tarsil-classpath-x.jar");
    EXPECT_TRUE(replaced.onDisk);
    ASSERT_EQ(replaced.args.size(), 4u);
    EXPECT_EQ(replaced.args[2], replaced.jar);
    EXPECT_EQ(replaced.manifest, generated(over[2], replaced.cwd));
}

TEST(ClasspathJar, ModesAndOptionSpellings) {
    Args shortLine = {"/jdk/bin/java", "-classpath", "a.jar", "Main"};
    Preprocessed always = preprocess({{"vesta.bootstrap_cpjar", "always"}}, shortLine);
    EXPECT_NE(always.jar, "");
    EXPECT_EQ(always.args[2], always.jar);
    EXPECT_EQ(always.manifest, manifest("Class-Path: file:" + always.cwd + "/a.jar "));

    EXPECT_EQ(preprocess({{"vesta.bootstrap_cpjar", "never"}}, commandLineOf(200000)).jar, "");
    EXPECT_EQ(preprocess({{"vesta.bootstrap_cpjar", "yes"}}, shortLine).jar, "");
    EXPECT_NE(preprocess({{"vesta.bootstrap_cpjar", "yes"}}, commandLineOf(131001)).jar, "");
    // Arguments bound for an argument file have no length limit.
    EXPECT_EQ(preprocess({}, commandLineOf(200000), false).jar, "");
    EXPECT_NE(preprocess({{"vesta.bootstrap_cpjar", "always"}}, shortLine, false).jar, "");

    // Nothing to replace: no class path option, or one without a value.
    Args noClasspath = {"/jdk/bin/java", "-javaagent:/x/tarsil.jar", "Main", "-cp"};
    Preprocessed untouched = preprocess({{"vesta.bootstrap_cpjar", "always"}}, noClasspath);
    EXPECT_EQ(untouched.jar, "");
    EXPECT_EQ(untouched.args, noClasspath);
}

namespace {

struct CacheRun {
    ChildResult child;
    std::string hash;
    std::string result;
};

// Looks up the bootstrap jar of a fixed configuration in `folder`, with
// the fake child JVM steered by `env`.
CacheRun lookUp(const std::string& folder, const Args& env = {},
               const std::map<std::string, std::string>& properties = {}) {
    fakeJavaHome();  // made here, so that every child shares it
    CacheRun run;
    run.child = runInChild([&] {
        for (const auto& setting : env) putenv(strdup(setting.c_str()));
        // A JVM may inherit SIGCHLD ignored: its children are reaped unseen.
        if (getenv("TEST_IGNORE_SIGCHLD") != nullptr) signal(SIGCHLD, SIG_IGN);
        log_stderr(4);
        agent.java9 = 1;  // as Agent_OnLoad reads it from the JVM below
        std::map<std::string, std::string> all = {
            {"java.home", fakeJavaHome()}, {"vesta.bootcache.dir", folder}, {"user.dir", "/work"}};
        all.insert(properties.begin(), properties.end());
        FakeJvmtiScript script = jvmWith(0x300B0000, all);
        FakeJvm jvm(script);
        JarInfo jar{const_cast<char*>(kAgentJar), "", "1.2.3"};
        char hash[33];
        getRuntimeHash(jvm.newEnv(), &jar, hash);
        printf("HASH %s\n", hash);
        fflush(stdout);
        char* path = getBootstrapJarFor(jvm.newEnv(), chooseBootFolder(jvm.newEnv()), &jar).path;
        std::string result = std::string(hash) + " " + path;
        free(path);
        return result;
    });
    std::istringstream words(run.child.report);
    words >> run.hash >> run.result;
    return run;
}

// The folder's files, less the child logs, which stay.
std::vector<std::string> folderListing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (!name.ends_with(".tmp.jar.log")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The hash of the configuration lookUp uses, without generating anything.
std::string hashFor(const std::string& folder) {
    TempDir scratch;
    CacheRun run = lookUp(folder, {"FAKE_JAVA_EXIT=1", "FAKE_JAVA_COUNT=" + scratch.file("count")});
    std::smatch hash;
    std::string err = run.child.err;
    EXPECT_TRUE(std::regex_search(err, hash, std::regex("Checking bootcache for ([0-9a-f]{32})")));
    return hash[1];
}

}  // namespace

TEST(BootstrapCache, MissGeneratesThenHitStartsNoChild) {
    TempDir cache;
    TempDir scratch;
    std::string count = scratch.file("count");
    std::string recorded = scratch.file("args");
    CacheRun first = lookUp(cache.path(), {"FAKE_JAVA_COUNT=" + count, "FAKE_JAVA_ARGS=" + recorded});
    ASSERT_EQ(first.child.exitCode, 0) << first.child.err;
    ASSERT_EQ(first.hash.size(), 32u);
    std::string cached = cache.path() + "/tarsil-bootstrap-" + first.hash + ".jar";
    EXPECT_EQ(first.result, cached);
    EXPECT_EQ(readFile(cached), readFile(fakeBootstrapJar()));

    // The temporary name: the first 20 hash digits, the process id and a
    // random part.
    std::smatch generatedName;
    ASSERT_TRUE(std::regex_search(first.child.err, generatedName,
                                  std::regex("No cached bootstrap jar, generating new one to: .*-([0-9a-f]{5,})-"
                                             "([0-9a-f]{16})\\.tmp\\.jar\n")))
        << first.child.err;
    std::string temporary = cache.path() + "/tarsil-bootstrap-" + first.hash.substr(0, 20) + "-" +
                            generatedName[1].str() + "-" + generatedName[2].str() + ".tmp.jar";
    EXPECT_NE(first.child.err.find("No cached bootstrap jar, generating new one to: " + temporary + "\n"),
              std::string::npos);
    EXPECT_NE(first.child.err.find("Renaming generated bootstrap to " + cached + "\n"), std::string::npos);
    Args args = readRecordedArguments(recorded);
    EXPECT_NE(std::find(args.begin(), args.end(), "-Dvesta.pelican.bootstrap_path=" + temporary), args.end());
    EXPECT_NE(std::find(args.begin(), args.end(), "-Dvesta.log.file=" + temporary + ".log"), args.end());
    Args published = {"tarsil-bootstrap-" + first.hash + ".jar", "tarsil-bootstrap-" + first.hash + ".lock"};
    EXPECT_EQ(folderListing(cache.path()), published);
    EXPECT_EQ(readFile(count), "run\n");
    // The child's log is made by the library, for the user alone.
    struct stat log;
    ASSERT_EQ(stat((temporary + ".log").c_str(), &log), 0);
    EXPECT_EQ(log.st_mode & 0777, 0600u);

    CacheRun second = lookUp(cache.path(), {"FAKE_JAVA_COUNT=" + count});
    ASSERT_EQ(second.child.exitCode, 0) << second.child.err;
    EXPECT_EQ(second.result, cached);
    EXPECT_NE(second.child.err.find("Bootstrap jar found from bootcache: " + cached + "\n"), std::string::npos);
    EXPECT_EQ(readFile(count), "run\n");
    EXPECT_EQ(folderListing(cache.path()), published);
}

TEST(BootstrapCache, LosingTheRaceDiscardsOurJar) {
    TempDir cache;
    std::string hash = hashFor(cache.path());
    std::string cached = cache.path() + "/tarsil-bootstrap-" + hash + ".jar";
    CacheRun run = lookUp(cache.path(), {"FAKE_JAVA_ALSO=" + cached});
    ASSERT_EQ(run.child.exitCode, 0) << run.child.err;
    EXPECT_EQ(run.result, cached);
    EXPECT_NE(run.child.err.find("Someone else finished bootstrap generation before us\n"), std::string::npos);
    EXPECT_EQ(folderListing(cache.path()), (Args{"tarsil-bootstrap-" + hash + ".jar", "tarsil-bootstrap-" + hash + ".lock"}));
}

TEST(BootstrapCache, FailedOrSilentChildEndsTheProcess) {
    TempDir cache;
    CacheRun failed = lookUp(cache.path(), {"FAKE_JAVA_EXIT=1"});
    EXPECT_EQ(failed.child.exitCode, 3);
    EXPECT_NE(failed.child.err.find("A fatal error occurred while processing the base Java classes. The JVM has been "
                                    "shut down (exit code: 1)."),
              std::string::npos)
        << failed.child.err;
    EXPECT_EQ(failed.child.err.find("Renaming"), std::string::npos);

    // Nothing of the failed generation is left but the lock.
    Args left = folderListing(cache.path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left[0].ends_with(".lock")) << left[0];
}

TEST(BootstrapCache, WhatTheChildLeftIsCheckedBeforeItIsPublished) {
    struct Case {
        const char* what;
        Args env;
        const char* expected;
    } cases[] = {
        {"nothing written", {"FAKE_JAVA_EXIT=0"}, "it is not a readable jar: "},
        {"garbage", {"FAKE_JAVA_GARBAGE=1"}, "it is not a readable jar: "},
    };
    for (const Case& c : cases) {
        TempDir cache;
        CacheRun run = lookUp(cache.path(), c.env);
        EXPECT_EQ(run.child.exitCode, 3) << c.what;
        EXPECT_NE(run.child.err.find(std::string("[FATAL] The child JVM did not produce a usable bootstrap jar: ") +
                                     c.expected),
                  std::string::npos)
            << c.what << run.child.err;
        // Nothing published, the temporary jar gone: only the lock is left.
        EXPECT_EQ(folderListing(cache.path()).size(), 1u) << c.what;
    }
}

TEST(BootstrapCache, DamagedCachedJarIsReplacedOnce) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> damage;
        const char* warning;
    } cases[] = {
        {"empty", [](const std::string& path) { std::ofstream{path}; }, "it is not a readable jar"},
        {"truncated",
         [](const std::string& path) { fs::resize_file(path, fs::file_size(path) / 2); },
         "it is not a readable jar"},
        {"fifo", [](const std::string& path) { fs::remove(path), mkfifo(path.c_str(), 0600); },
         "it is not a regular file"},
        {"folder", [](const std::string& path) { fs::remove(path), fs::create_directory(path); },
         "it is not a regular file"},
        // A folder that cannot go is moved aside.
        {"folder with content",
         [](const std::string& path) {
             fs::remove(path), fs::create_directory(path);
             std::ofstream(path + "/inside") << "x";
         },
         "it is not a regular file"},
        {"link", [](const std::string& path) { fs::remove(path), fs::create_symlink(fakeBootstrapJar(), path); },
         "it is a symbolic link"},
        {"group-writable", [](const std::string& path) { chmod(path.c_str(), 0664); },
         "it is writable by group or others"},
        {"a second name", [](const std::string& path) { fs::create_hard_link(path, path + ".second"); },
         "it has other names (hard links)"},
    };
    for (const Case& c : cases) {
        TempDir cache;
        TempDir scratch;
        CacheRun first = lookUp(cache.path());
        ASSERT_EQ(first.child.exitCode, 0) << first.child.err;
        c.damage(first.result);
        std::string count = scratch.file("count");
        CacheRun healed = lookUp(cache.path(), {"FAKE_JAVA_COUNT=" + count});
        EXPECT_EQ(healed.child.exitCode, 0) << c.what << healed.child.err;
        EXPECT_NE(healed.child.err.find("[WARN] Not using the cached bootstrap jar " + first.result + ": " + c.warning),
                  std::string::npos)
            << c.what << healed.child.err;
        EXPECT_EQ(readFile(count), "run\n") << c.what;
        EXPECT_EQ(readFile(first.result), readFile(fakeBootstrapJar())) << c.what;
        EXPECT_FALSE(fs::is_symlink(first.result)) << c.what;
        if (std::string(c.what) == "folder with content") {
            std::string aside = fs::path(first.result).filename().string() + ".damaged-";
            bool kept = false;
            for (const auto& entry : fs::directory_iterator(cache.path())) {
                kept |= entry.path().filename().string().starts_with(aside) && fs::exists(entry.path() / "inside");
            }
            EXPECT_TRUE(kept) << c.what;
        }
    }
}

TEST(BootstrapCache, SlowChildIsKilledAtTheLimit) {
    TempDir cache;
    TempDir scratch;
    std::string pidFile = scratch.file("pid");
    CacheRun run = lookUp(cache.path(), {"FAKE_JAVA_SLEEP=600", "FAKE_JAVA_PID=" + pidFile},
                          {{"vesta.bootstrap.timeout", "1"}});
    EXPECT_EQ(run.child.exitCode, 3);
    EXPECT_NE(run.child.err.find("did not finish within 1 seconds and was killed. The limit is set by the system "
                                 "property 'vesta.bootstrap.timeout'"),
              std::string::npos)
        << run.child.err;
    // The child and what it started are gone.
    std::string pid = readFile(pidFile);
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(processGone(std::stoi(pid)));
}

TEST(BootstrapCache, LostChildStatusIsNoSuccessTheJarDecides) {
    TempDir good;
    CacheRun usable = lookUp(good.path(), {"TEST_IGNORE_SIGCHLD=1"});
    EXPECT_EQ(usable.child.exitCode, 0) << usable.child.err;
    EXPECT_NE(usable.child.err.find("[WARN] Could not learn how the child process ended (errno: 10)"),
              std::string::npos)
        << usable.child.err;
    EXPECT_EQ(readFile(usable.result), readFile(fakeBootstrapJar()));

    TempDir bad;
    CacheRun failed = lookUp(bad.path(), {"TEST_IGNORE_SIGCHLD=1", "FAKE_JAVA_EXIT=1"});
    EXPECT_EQ(failed.child.exitCode, 3);
    EXPECT_NE(failed.child.err.find("[FATAL] The child JVM did not produce a usable bootstrap jar"), std::string::npos)
        << failed.child.err;
}

TEST(BootstrapCache, WithoutALockTheRaceStillPublishesOneJar) {
    // A folder that cannot be removed where the lock file would be: as on a
    // file system without locks, every JVM generates and the rename decides.
    TempDir cache;
    std::string hash = hashFor(cache.path());
    fs::remove(cache.file("tarsil-bootstrap-" + hash + ".lock"));
    fs::create_directory(cache.file("tarsil-bootstrap-" + hash + ".lock"));
    std::ofstream(cache.file("tarsil-bootstrap-" + hash + ".lock/kept")) << "x";
    std::string cached = cache.file("tarsil-bootstrap-" + hash + ".jar");
    CacheRun lost = lookUp(cache.path(), {"FAKE_JAVA_ALSO=" + cached});
    ASSERT_EQ(lost.child.exitCode, 0) << lost.child.err;
    EXPECT_NE(lost.child.err.find("No lock in the bootstrap folder; generating without one"), std::string::npos);
    EXPECT_NE(lost.child.err.find("Someone else finished bootstrap generation before us"), std::string::npos);
    fs::remove(cached);
    CacheRun won = lookUp(cache.path());
    ASSERT_EQ(won.child.exitCode, 0) << won.child.err;
    EXPECT_EQ(readFile(cached), readFile(fakeBootstrapJar()));
    EXPECT_EQ(folderListing(cache.path()), (Args{"tarsil-bootstrap-" + hash + ".jar", "tarsil-bootstrap-" + hash + ".lock"}));
}

TEST(BootstrapCache, LeftoversOfDeadGenerationsOfAnyHashAreSwept) {
    TempDir cache;
    std::string hash = hashFor(cache.path());
    auto generation = [](const std::string& hash20, const char* pid) {
        return "tarsil-bootstrap-" + hash20 + "-" + pid + "-0123456789abcdef";
    };
    std::string own = generation(hash.substr(0, 20), "0abcd");
    std::string freeLock = generation("11111111111111111111", "0abcd");
    std::string heldLock = generation("22222222222222222222", "0abcd");
    std::string noLockYoung = generation("33333333333333333333", "0abcd");
    std::string noLockOld = generation("44444444444444444444", "0abcd");
    std::ofstream(cache.file("tarsil-bootstrap-11111111111111111111aaaaaaaaaaaa.lock"));
    std::ofstream(cache.file("tarsil-bootstrap-22222222222222222222bbbbbbbbbbbb.lock"));
    // A live generation of another configuration holds its lock.
    int held = open(cache.file("tarsil-bootstrap-22222222222222222222bbbbbbbbbbbb.lock").c_str(), O_RDWR);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    struct Case {
        std::string name;
        bool swept;
    } cases[] = {
        {own + ".tmp.jar", true},
        {own + ".args", true},
        {"tarsil-classpath-" + hash.substr(0, 20) + "-0abcd-0123456789abcdef.jar", true},
        {freeLock + ".tmp.jar", true},
        {freeLock + ".args", true},
        {heldLock + ".tmp.jar", false},
        {heldLock + ".args", false},
        // A held lock wins over age: that configuration's time limit may be longer.
        {heldLock + "-old.tmp.jar", false},
        {noLockYoung + ".tmp.jar", false},
        // Older than twice the time limit (10 s): no generation runs so long.
        {noLockOld + ".tmp.jar", true},
        {"tarsil-bootstrap-garbage.tmp.jar", false},
    };
    for (const Case& c : cases) std::ofstream(cache.file(c.name)) << "x";
    for (const std::string& old : {noLockOld + ".tmp.jar", heldLock + "-old.tmp.jar"}) {
        fs::last_write_time(cache.file(old), fs::file_time_type::clock::now() - std::chrono::seconds(30));
    }
    // Child logs: the newest few stay, whatever generation they are of.
    std::vector<std::string> logs;
    for (int i = 0; i < 8; i++) {
        logs.push_back(generation("11111111111111111111", ("0000" + std::to_string(i)).c_str()) + ".tmp.jar.log");
        std::ofstream(cache.file(logs.back())) << "log";
        fs::last_write_time(cache.file(logs.back()), fs::file_time_type::clock::now() - std::chrono::seconds(100 - i));
    }
    CacheRun run = lookUp(cache.path(), {}, {{"vesta.bootstrap.timeout", "5"}});
    close(held);
    ASSERT_EQ(run.child.exitCode, 0) << run.child.err;
    for (const Case& c : cases) EXPECT_EQ(fs::exists(cache.file(c.name)), !c.swept) << c.name;
    // hashFor's run left the newest; with it five stay.
    for (size_t i = 0; i < logs.size(); i++) EXPECT_EQ(fs::exists(cache.file(logs[i])), i >= 4) << logs[i];
}

