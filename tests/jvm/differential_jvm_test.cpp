// Every command line a JVM runs without the library runs the same with it:
// each row of the table is started twice on every JDK, without the library
// and with it (and an empty bootstrap folder, so that the child JVM runs),
// and the two must end with the same status and print the same standard
// output, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "jvm_harness.h"
#include "support/child.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLatest = 1000;
constexpr char kEcho[] = "com.lindenforgesys.reload.cli.Echo";
constexpr char kPlainLoader[] = "com.lindenforgesys.reload.cli.PlainLoader";
constexpr char kRecordingLoader[] = "com.lindenforgesys.reload.cli.RecordingLoader";
// The arguments of a modular application that look like the launcher's own.
const std::vector<std::string> kDashedArgs = {"-cp", "x", "-javaagent:y", "@z"};
constexpr char kDashedShown[] = "app.Main module=app args=[-cp, x, -javaagent:y, @z]\n";

// One command line. In its arguments, environment and files, {dir} stands
// for its own folder (where it starts), {jar} for cli.jar, {app} for the
// modular jar of the module app and {hello} for Hello.java.
struct CommandLine {
    std::string name;
    std::vector<std::string> args;  // after "java"
    std::vector<std::string> env;   // NAME=VALUE
    // Written in its folder before the runs; a name ending in "/" is a folder.
    std::vector<std::pair<std::string, std::string>> files;
    int fromJava;
    int toJava;
    // What the run without the library prints, which shows that the row
    // tests what it says.
    std::vector<std::string> shows;
};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Some 190 KB of module path: folders that exist, as build tools list them,
// then the module's jar.
CommandLine longModulePath() {
    CommandLine row{"a 190 KB module path in an @argfile", {"@modules.args", "-m", "app/app.Main", "-big"}, {}, {}, 9,
                    kLatest, {"app.Main module=app args=[-big]\n"}};
    std::string path;
    for (int i = 0; i < 1600; i++) {  // of some 120 characters each
        std::string folder = "mp/" + std::to_string(10000 + i) + std::string(90, 'm');
        row.files.push_back({folder + "/", ""});
        path += "{dir}/" + folder + ":";
    }
    row.files.push_back({"modules.args", "--module-path \"" + path + "{app}\"\n"});
    return row;
}

// Options, then cli.jar's Echo with its arguments.
std::vector<std::string> echo(std::vector<std::string> options, const std::vector<std::string>& args) {
    return with(with(std::move(options), {"-cp", "{jar}", kEcho}), args);
}

std::vector<CommandLine> commandLines() {
    const std::string plainLoader = std::string("-Djava.system.class.loader=") + kPlainLoader;
    const std::string recordingLoader = std::string("-Djava.system.class.loader=") + kRecordingLoader;
    return {
        {"a class path and a main class", echo({}, {"one", "-two"}), {}, {}, 8, kLatest, {"Echo args=[one, -two]\n"}},
        // From 21 on a JVM that shares classes warns on standard output that
        // it cannot share them with such a loader; the library switches
        // sharing off, so both runs start without it.
        {"a system class loader without appendToClassPathForInstrumentation",
         echo({"-Xshare:off", plainLoader}, {"one"}), {}, {}, 8, kLatest,
         {std::string("loader=") + kPlainLoader + "\n"}},
        {"a system class loader whose appendToClassPathForInstrumentation adds nothing",
         echo({"-Xshare:off", recordingLoader}, {"one"}), {}, {}, 8, kLatest,
         {std::string("loader=") + kRecordingLoader + "\n"}},
        // From JDK 24 on the JVM refuses to start with a security manager.
        {"-Djava.security.manager", echo({"-Djava.security.manager"}, {"guarded"}), {}, {}, 8, 23,
         {"security=java.lang.SecurityManager\nnote=denied\n"}},
        {"--module=app/app.Main", with({"--module-path", "{app}", "--module=app/app.Main"}, kDashedArgs), {}, {}, 17,
         kLatest, {kDashedShown}},
        // Before 17 the launcher does not stop expanding @argfiles at
        // --module= (args.c of 11 and 13).
        {"--module=app/app.Main, then an @argfile the launcher expands",
         with({"--module-path", "{app}", "--module=app/app.Main"}, kDashedArgs), {}, {{"z", "from-z\n"}}, 9, 16,
         {"app.Main module=app args=[-cp, x, -javaagent:y, from-z]\n"}},
        {"--module app/app.Main", with({"-p", "{app}", "--module", "app/app.Main"}, kDashedArgs), {}, {}, 9, kLatest,
         {kDashedShown}},
        {"-m app/app.Main", with({"--module-path={app}", "-m", "app/app.Main"}, kDashedArgs), {}, {}, 9, kLatest,
         {kDashedShown}},
        {"-jar with arguments", {"-jar", "{jar}", "-cp", "x", "@z"}, {}, {}, 8, kLatest, {"Echo args=[-cp, x, @z]\n"}},
        {"a source file", {"{hello}", "arg", "-x"}, {}, {}, 11, kLatest, {"Hello args=arg -x\n"}},
        {"--source with a file of another name", {"--source", "11", "hello-script", "arg"}, {},
         {{"hello-script", readFile(TARSIL_CLI_HELLO_SOURCE)}}, 11, kLatest, {"Hello args=arg\n"}},
        {"--enable-native-access ALL-UNNAMED", echo({"--enable-native-access", "ALL-UNNAMED"}, {}), {}, {}, 22,
         kLatest, {"native access=true\n"}},
        {"--enable-native-access=ALL-UNNAMED", echo({"--enable-native-access=ALL-UNNAMED"}, {}), {}, {}, 22, kLatest,
         {"native access=true\n"}},
        {"--add-opens java.base/java.lang=ALL-UNNAMED", echo({"--add-opens", "java.base/java.lang=ALL-UNNAMED"}, {}),
         {}, {}, 9, kLatest, {"java.lang open=true\n"}},
        {"--add-opens=java.base/java.lang=ALL-UNNAMED", echo({"--add-opens=java.base/java.lang=ALL-UNNAMED"}, {}), {},
         {}, 9, kLatest, {"java.lang open=true\n"}},
        {"an @argfile with quotes, comments and continuation lines", {"@app.args", "last"}, {},
         {{"app.args",
           "# the class path, and a property with blanks\n"
           "-cp \"{jar}\"  # a comment after an option\n"
           "-Dcli.note=\"two words # not a comment\"\n"
           "\"com.lindenforgesys.reload.\\\n"
           "      cli.Echo\"\n"
           "'single quoted' plain\"ly\" \"tab\\there\"\n"}},
         9, kLatest, {"Echo args=[single quoted, plainly, tab\there, last]\n", "note=two words # not a comment\n"}},
        longModulePath(),
        // The JVM reads the last file only, so it never sees the unknown flag.
        {"two -XX:Flags= files", echo({"-XX:Flags=unknown.flags", "-XX:Flags=known.flags"}, {"flags"}), {},
         {{"unknown.flags", "+NoSuchFlagInAnyJvm\n"}, {"known.flags", "+UseSerialGC\n"}}, 8, kLatest,
         {"Echo args=[flags]\n"}},
        {"-XX:VMOptionsFile=", echo({"-XX:VMOptionsFile=vm.options"}, {}), {},
         {{"vm.options", "-Dcli.note=\"from an options file\"\n--add-opens=java.base/java.lang=ALL-UNNAMED\n"}}, 9,
         kLatest, {"note=from an options file\njava.lang open=true\n"}},
        {"-splash: with a missing image", echo({"-splash:missing.png"}, {"splash"}), {}, {}, 8, kLatest,
         {"Echo args=[splash]\n"}},
        {"JDK_JAVA_OPTIONS with module options", {"--module", "app/app.Main", "-v"},
         {"JDK_JAVA_OPTIONS=--module-path {app} --add-opens java.base/java.lang=app"}, {}, 9, kLatest,
         {"app.Main module=app args=[-v]\njava.lang open=true\n"}},
    };
}

std::string replaced(std::string text, const std::string& dir) {
    const std::pair<std::string, std::string> names[] = {
        {"{dir}", dir}, {"{jar}", TARSIL_CLI_JAR}, {"{app}", TARSIL_CLI_APP_JAR}, {"{hello}", TARSIL_CLI_HELLO_SOURCE}};
    for (const auto& [name, value] : names) {
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

std::vector<std::string> replaced(std::vector<std::string> texts, const std::string& dir) {
    for (std::string& text : texts) text = replaced(text, dir);
    return texts;
}

std::string shown(const JvmRun& run) {
    std::string status = run.timedOut ? "timed out" : "status " + std::to_string(run.exitCode);
    return status + ", stdout:\n" + run.out + "\n---";
}

// Whether the library, in the run with it, made and published a bootstrap
// jar: else the runs could agree because it did nothing.
bool holdsBootstrapJar(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("tarsil-bootstrap-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".jar") == 0 &&
            name.find(".tmp.") == std::string::npos) {
            return true;
        }
    }
    return false;
}

class DifferentialCommandLines : public PerJdkTest {
protected:
    JvmRun start(const CommandLine& row, const std::string& dir, std::vector<std::string> libraryOptions) {
        JvmLaunch launch;
        launch.args = with(std::move(libraryOptions), replaced(row.args, dir));
        launch.setEnv = replaced(row.env, dir);
        launch.workDir = dir;
        return runJava(GetParam(), launch);
    }
};

}  // namespace

TEST_P(DifferentialCommandLines, RunWithTheLibraryAsWithout) {
    int release = GetParam().featureVersion();
    for (const CommandLine& row : commandLines()) {
        if (release < row.fromJava || release > row.toJava) continue;
        SCOPED_TRACE(row.name);
        TempDir work, bootFolder;
        for (const auto& [name, content] : row.files) {
            if (name.back() == '/') {
                fs::create_directories(work.file(name));
            } else {
                std::ofstream(work.file(name), std::ios::binary) << replaced(content, work.path());
            }
        }
        JvmRun without = start(row, work.path(), {});
        JvmRun withLibrary = start(row, work.path(),
                                   {agentPath(), std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                                    "-Dvesta.bootcache.dir=" + bootFolder.path()});
        for (const std::string& shows : row.shows) {
            EXPECT_NE(without.out.find(shows), std::string::npos)
                << "the row does not run as it should without the library: " << shows << "\n"
                << shown(without) << "\nstderr:\n"
                << without.err;
        }
        bool agree = !without.timedOut && !withLibrary.timedOut && without.exitCode == withLibrary.exitCode &&
                     without.out == withLibrary.out;
        EXPECT_TRUE(agree) << "\"" << row.name << "\" runs otherwise with the library\nwithout it: " << shown(without)
                           << "\nwith it: " << shown(withLibrary) << "\nits stderr:\n"
                           << withLibrary.err.substr(0, 4000);
        if (agree) EXPECT_TRUE(holdsBootstrapJar(bootFolder.path())) << "no bootstrap jar in " << bootFolder.path();
        std::cout << "[  ROW     ] " << (agree ? "agrees" : "DIFFERS") << ": " << row.name << std::endl;
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, DifferentialCommandLines, ::testing::ValuesIn(candidateJdks()), jdkTestName);
