// What the child JVM inherits of every place a JVM takes options from: the
// command line with its argument files, the four variables and options
// files, each split as the launcher or the JVM splits it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bootcache_args.h"
#include "readfile.h"
#include "support/child.h"

namespace {

using Options = std::vector<std::string>;
using Files = std::map<std::string, std::string>;
using Variables = std::map<std::string, std::string>;

constexpr char kLibrary[] = "/opt/tarsil/lib/libtarsil64.so";

std::vector<OptionSource> sourcesOf(const Options& commandLine, const Variables& variables, const Files& files,
                                    bool java9 = true, int release = kNewestRelease, bool openJ9 = false) {
    OptionInputs inputs;
    inputs.commandLine = commandLine;
    inputs.java9 = java9;
    inputs.release = release;
    inputs.openJ9 = openJ9;
    inputs.variable = [&variables](const char* name) -> const char* {
        auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    };
    inputs.readFile = [&files](const std::string& path, std::string* text) {
        auto found = files.find(path);
        if (found == files.end()) return FileRead::missing;
        *text = found->second;
        return FileRead::ok;
    };
    return collectOptionSources(inputs);
}

std::string edits(const std::vector<EnvironmentEdit>& environment) {
    std::string text;
    for (const EnvironmentEdit& edit : environment) {
        text += edit.remove ? "-" + edit.name : edit.name + "=" + edit.value;
        text += ";";
    }
    return text;
}

}  // namespace

TEST(OptionSources, EverySourceIsSplitFilteredAndHashedInItsOrder) {
    struct Case {
        const char* what;
        Options commandLine;
        Variables variables;
        Files files;
        bool java9;
        Options childCommandLine;  // kept on the child's command line
        std::string environment;   // the child's copies of the variables
        Options hashed;
    } cases[] = {
        {"argument file with quotes and a comment",
         {"java", "@opts", "-Xint", "Main", "@not-expanded"},
         {},
         {{"opts", "--add-opens \"java.base/java.lang=ALL-UNNAMED\" # opens\n-XX:+UseSerialGC -cp 'a b.jar'\n"
                   "-Dsecret=x"}},
         true,
         {"--add-opens", "java.base/java.lang=ALL-UNNAMED", "-XX:+UseSerialGC", "-Xint"},
         "",
         {"--add-opens", "java.base/java.lang=ALL-UNNAMED", "-XX:+UseSerialGC", "-Xint"}},
        {"Java 8 has no argument files and no JDK_JAVA_OPTIONS",
         {"java", "@opts", "-Xint"},
         {{"JDK_JAVA_OPTIONS", "-XX:+UseSerialGC"}},
         {{"opts", "-XX:+UseZGC"}},
         false,
         {},
         "",
         {}},
        {"--disable-@files stops the expansion; \"@@x\" is the argument \"@x\"",
         {"java", "-XX:+UseSerialGC", "@@opts", "--disable-@files", "@opts"},
         {},
         {{"opts", "-XX:+UseZGC"}},
         true,
         {"-XX:+UseSerialGC"},
         "",
         {"-XX:+UseSerialGC"}},
        {"a debugger and agents in JAVA_TOOL_OPTIONS",
         {"java", "Main"},
         {{"JAVA_TOOL_OPTIONS",
           "-agentlib:jdwp=transport=dt_socket,server=y,suspend=y -javaagent:apm.jar -XX:+UseSerialGC "
           "-agentpath:/jdk/lib/libjdwp.so=server=y -agentpath:/opt/tarsil/lib/libtarsil64.so -Xdebug "
           "-Xrunjdwp:transport=dt_socket -agentpath:/p/libyjpagent.so"},
          {"JDK_JAVA_OPTIONS", "-agentlib:jdwp=transport=dt_socket,server=n,address=5005"}},
         {},
         true,
         {},
         "-JDK_JAVA_OPTIONS;JAVA_TOOL_OPTIONS=-XX:+UseSerialGC -agentpath:/p/libyjpagent.so;",
         {"-XX:+UseSerialGC", "-agentpath:/p/libyjpagent.so"}},
        {"JDK_JAVA_OPTIONS: its argument files expanded, separate values kept with their option",
         {"java", "Main"},
         {{"JDK_JAVA_OPTIONS", "-agentlib:jdwp=suspend=y @ide-opts"}},
         {{"ide-opts", "-cp lib.jar --add-modules java.sql"}},
         true,
         {},
         "JDK_JAVA_OPTIONS=--add-modules java.sql;",
         {"--add-modules", "java.sql"}},
        {"file logs, recordings and archives stay the user's",
         {"java", "-Xlog:gc:file=gc.log:pid", "-Xlog:gc", "-Xlog:safepoint:stderr", "-Xlog:gc:gc.log",
          "-Xloggc:old.log", "-XX:LogFile=vm.log", "-XX:+LogCompilation", "-XX:+LogVMOutput",
          "-XX:StartFlightRecording=filename=a.jfr", "-XX:FlightRecorderOptions=repository=r", "-Xshare:dump",
          "-XX:AOTCache=app.aot", "-XX:AOTMode=on", "-XX:AOTCacheOutput=o.aot", "-XX:AOTConfiguration=c",
          "-XX:SharedArchiveFile=s.jsa", "-XX:ArchiveClassesAtExit=d.jsa", "-XX:+AutoCreateSharedArchive",
          "-XX:+UseSerialGC", "Main"},
         {{"_JAVA_OPTIONS", "-Xlog:gc*:file=\"/var/log/gc:1.log\" -Xlog:os"}},
         {},
         true,
         {"-Xlog:gc", "-Xlog:safepoint:stderr", "-XX:+UseSerialGC"},
         "_JAVA_OPTIONS=-Xlog:os;",
         {"-Xlog:gc", "-Xlog:safepoint:stderr", "-XX:+UseSerialGC", "-Xlog:os"}},
        {"options files are read where they stand; the later -XX:Flags= replaces the file's",
         {"java", "-XX:VMOptionsFile=vm.opts", "-XX:Flags=.hotspotrc", "Main", "-XX:Flags=app-arg"},
         {{"JDK_AOT_VM_OPTIONS", "-XX:AOTMode=create -Xmx1g -XX:+UseZGC"}},
         {{"vm.opts", "-XX:+UseSerialGC '-XX:StartFlightRecording=filename=a b.jfr' -XX:Flags=inner"},
          {"inner", "+AlwaysPreTouch"},
          {".hotspotrc", "# tuning\n+UseNUMA CompileCommandFile=\"/tmp/my commands.txt\"\nLogFile=vm.log\n"}},
         true,
         {"-XX:+UseSerialGC", "-XX:+UseNUMA", "-XX:CompileCommandFile=/tmp/my commands.txt"},
         "JDK_AOT_VM_OPTIONS=-XX:+UseZGC;",
         {"-XX:+UseSerialGC", "-XX:+UseNUMA", "-XX:CompileCommandFile=/tmp/my commands.txt", "-XX:+UseZGC"}},
        {"the variables come in their fixed order, quoted back as the JVM reads them",
         {"java", "-Xint", "Main"},
         {{"JDK_AOT_VM_OPTIONS", "-Xss2m"},
          {"_JAVA_OPTIONS", "-Xss3m"},
          {"JAVA_TOOL_OPTIONS", "'-XX:OnError=echo \"a b\"' -Dx=y"},
          {"JDK_JAVA_OPTIONS", "--enable-preview"}},
         {},
         true,
         {"-Xint"},
         "JDK_JAVA_OPTIONS=--enable-preview;JAVA_TOOL_OPTIONS=\"-XX:OnError=echo \"'\"'\"a b\"'\"';"
         "_JAVA_OPTIONS=-Xss3m;JDK_AOT_VM_OPTIONS=-Xss2m;",
         {"-Xint", "--enable-preview", "-XX:OnError=echo \"a b\"", "-Xss3m", "-Xss2m"}},
        {"a file gone since the JVM started gives nothing, the rest stays",
         {"java", "@gone", "-Xint", "Main"},
         {{"JAVA_TOOL_OPTIONS", "-XX:VMOptionsFile=gone -Xss1m"}},
         {},
         true,
         {"-Xint"},
         "JAVA_TOOL_OPTIONS=-Xss1m;",
         {"-Xint", "-Xss1m"}},
    };
    for (const Case& c : cases) {
        InheritedOptions inherited =
            inheritedOptions(sourcesOf(c.commandLine, c.variables, c.files, c.java9), false, kLibrary);
        EXPECT_EQ(inherited.commandLine, c.childCommandLine) << c.what;
        EXPECT_EQ(edits(inherited.environment()), c.environment) << c.what;
        EXPECT_EQ(inherited.hashed(), c.hashed) << c.what;
        for (const EnvironmentEdit& edit : inherited.environment()) {
            for (const InheritedVariable& variable : inherited.variables) {
                if (variable.name == edit.name) {
                    EXPECT_EQ(splitOptionsText(edit.value), variable.kept) << c.what;
                }
            }
        }
    }
}

TEST(OptionSources, ArchivesOfTheUsersOwnAreNamedWithTheirSource) {
    std::string source;
    EXPECT_EQ(userArchiveOption(sourcesOf({"java", "-XX:AOTMode=on", "-XX:AOTCache=app.aot", "Main"}, {}, {}), &source),
              "-XX:AOTCache=app.aot");
    EXPECT_EQ(source, "command line");
    EXPECT_EQ(userArchiveOption(sourcesOf({"java", "Main", "-XX:AOTCache=arg.aot"},
                                          {{"JAVA_TOOL_OPTIONS", "-XX:SharedArchiveFile=app.jsa"}}, {}),
                                &source),
              "-XX:SharedArchiveFile=app.jsa");
    EXPECT_EQ(source, "JAVA_TOOL_OPTIONS");
    EXPECT_EQ(userArchiveOption(sourcesOf({"java", "-XX:AOTCacheOutput=new.aot", "Main"}, {}, {}), &source), "");
}

// The launcher's own cases for its argument file tokenizer.
TEST(OptionSources, ArgumentFilesSplitAsTheLauncherSplitsThem) {
    struct Case {
        const char* text;
        Options tokens;
    } cases[] = {
        {"-version -cp \"c:\\\\java libs\\\\one.jar\" \n", {"-version", "-cp", "c:\\java libs\\one.jar"}},
        {"com.foo.Panda \"Furious 5\"\fand\t'Shi Fu' \"escape\tprison",
         {"com.foo.Panda", "Furious 5", "and", "Shi Fu", "escape\tprison"}},
        {"escaped chars testing \"\\a\\b\\c\\f\\n\\r\\t\\v\\9\\6\\23\\82\\28\\377\\477\\278\\287\"",
         {"escaped", "chars", "testing", "abc\f\n\r\tv96238228377477278287"}},
        {"\"mix 'single quote' in double\" 'mix \"double quote\" in single' partial\"quote me\"this",
         {"mix 'single quote' in double", "mix \"double quote\" in single", "partialquote methis"}},
        {"line one #comment\n'line #2' #rest are comment\r\n#comment on line 3\nline 4 #comment to eof",
         {"line", "one", "line #2", "line", "4"}},
        {"This is an \"open quote \n    across line\n\t, note for WS.",
         {"This", "is", "an", "open quote ", "across", "line", ",", "note", "for", "WS."}},
        {"Try \"this \\\\\\\\ escape\\n double quote \\\" in open quote",
         {"Try", "this \\\\ escape\n double quote \" in open quote"}},
        {"\"Open quote to \n  new \"line \\\n\r   third\\\n\r\\\tand\ffourth\"",
         {"Open quote to ", "new", "line third\tand\ffourth"}},
        {"c:\\\"partial quote\"\\lib", {"c:\\partial quote\\lib"}},
        {"\"\" x \"\"", {"", "x"}},
    };
    for (const Case& c : cases) EXPECT_EQ(splitArgumentFile(c.text), c.tokens) << c.text;
}

TEST(OptionSources, JoinedOptionsReadBackUnchanged) {
    Options options = {"plain", "", "a b", "it's", "say \"hi\"", "\"'\"", "tab\there", "-XX:OnError=kill -9 %p"};
    EXPECT_EQ(splitOptionsText(joinOptionsText(options)), options);
    EXPECT_EQ(splitOptionsText("  -Xint\n\t'-Da= b'\"c\"  "), (Options{"-Xint", "-Da= bc"}));
}

TEST(OptionSources, OptionsFilesAreReadAsHotSpotReadsThem) {
    struct Case {
        const char* what;
        Options commandLine;
        Variables variables;
        bool java9;
        Options hashed;
    } cases[] = {
        {"only the last -XX:Flags= counts, across the JVM's containers",
         {"java", "-XX:Flags=a", "-XX:Flags=b", "Main"},
         {{"JAVA_TOOL_OPTIONS", "-XX:Flags=c"}},
         true,
         {"-XX:+UseParallelGC"}},
        {"_JAVA_OPTIONS comes after the command line, JAVA_TOOL_OPTIONS before it",
         {"java", "-XX:Flags=a", "Main"},
         {{"JAVA_TOOL_OPTIONS", "-XX:Flags=b"}, {"_JAVA_OPTIONS", "-XX:Flags=c"}},
         true,
         {"-XX:+UseZGC"}},
        {"a -XX:Flags= inside the options file counts where the file stands",
         {"java", "-XX:Flags=a", "-XX:VMOptionsFile=vm", "Main"},
         {},
         true,
         {"-XX:+AlwaysPreTouch", "-XX:+UseParallelGC"}},
        {"no options file inside an options file, one per container",
         {"java", "-XX:VMOptionsFile=nested", "Main"},
         {{"JDK_JAVA_OPTIONS", "-XX:VMOptionsFile=vm"}},
         true,
         {"-XX:+AlwaysPreTouch", "-XX:+UseParallelGC"}},
        {"Java 8: no -XX:VMOptionsFile=, only the command line's -XX:Flags=",
         {"java", "-XX:Flags=a", "-XX:VMOptionsFile=vm", "Main"},
         {{"_JAVA_OPTIONS", "-XX:Flags=c"}},
         false,
         {"-XX:+UseSerialGC"}},
    };
    Files files = {{"a", "+UseSerialGC"},
                   {"b", "+UseParallelGC"},
                   {"c", "+UseZGC"},
                   {"vm", "-XX:+AlwaysPreTouch -XX:Flags=b"},
                   {"nested", "-XX:VMOptionsFile=vm -Xint"}};
    for (const Case& c : cases) {
        InheritedOptions inherited =
            inheritedOptions(sourcesOf(c.commandLine, c.variables, files, c.java9, c.java9 ? 21 : 8), false, kLibrary);
        EXPECT_EQ(inherited.hashed(), c.hashed) << c.what;
    }
}

TEST(OptionSources, ModuleOptionsKeepTheirSeparateValuesInEverySpelling) {
    Options line = {"java", "--enable-native-access", "ALL-UNNAMED", "--add-opens=java.base/java.lang=ALL-UNNAMED",
                    "--add-opens", "java.base/java.io=ALL-UNNAMED", "-p", "mods", "--module-path=mods",
                    "--add-modules", "app", "--module", "app/app.Main", "--add-reads", "not=mine"};
    EXPECT_EQ(inheritedOptions(sourcesOf(line, {}, {}, true, 25), false, kLibrary).commandLine,
              (Options{"--enable-native-access", "ALL-UNNAMED", "--add-opens=java.base/java.lang=ALL-UNNAMED",
                       "--add-opens", "java.base/java.io=ALL-UNNAMED", "--add-modules", "app"}));
    // Before 17 the launcher read no separate value of --enable-native-access.
    Options old = {"java", "--enable-native-access", "--add-modules", "app", "--module=app/app.Main", "-Xint"};
    EXPECT_EQ(inheritedOptions(sourcesOf(old, {}, {}, true, 11), false, kLibrary).commandLine,
              (Options{"--enable-native-access", "--add-modules", "app"}));
    // An argument file expands up to the main module, and no further.
    Files files = {{"args", "--add-exports a/b=c\n-m app/app.Main @more"}, {"more", "-Xint"}};
    EXPECT_EQ(inheritedOptions(sourcesOf({"java", "@args", "@more"}, {}, files, true, 17), false, kLibrary).commandLine,
              (Options{"--add-exports", "a/b=c"}));
}

TEST(OptionSources, OpenJ9VariablesAreReadWithTheirOwnRuleBeforeTheCommandLine) {
    Variables variables = {{"JAVA_TOOL_OPTIONS", "-Xint\t-Da='b c'"},
                           {"OPENJ9_JAVA_OPTIONS", "\"-Dx=a b\" -Xss1m"},
                           {"IBM_JAVA_OPTIONS", "-Dq=\\\"x\\\" \"-Dr=1 2\"\" 3\" -Xjit:count=0"},
                           {"JDK_AOT_VM_OPTIONS", "-Xmx1g"}};
    InheritedOptions openJ9 = inheritedOptions(sourcesOf({"java", "Main"}, variables, {}, true, 17, true), false, kLibrary);
    std::vector<std::string> names;
    for (const InheritedVariable& variable : openJ9.variables) names.push_back(variable.name);
    EXPECT_EQ(names, (Options{"JAVA_TOOL_OPTIONS", "OPENJ9_JAVA_OPTIONS", "IBM_JAVA_OPTIONS"}));
    // Only spaces separate and only double quotes group; after the first
    // quoted part a space ends the option even inside a second one.
    EXPECT_EQ(splitOpenJ9OptionsText(variables["JAVA_TOOL_OPTIONS"]), (Options{"-Xint\t-Da='b", "c'"}));
    EXPECT_EQ(splitOpenJ9OptionsText(variables["OPENJ9_JAVA_OPTIONS"]), (Options{"-Dx=a b", "-Xss1m"}));
    EXPECT_EQ(splitOpenJ9OptionsText(variables["IBM_JAVA_OPTIONS"]),
              (Options{"-Dq=\"x\"", "-Dr=1 2\" 3", "-Xjit:count=0"}));
    EXPECT_EQ(splitOpenJ9OptionsText("a\"\"b"), (Options{"a\"b"}));
    // The child's copies read back as the JVM reads them.
    for (const EnvironmentEdit& edit : openJ9.environment()) {
        for (const InheritedVariable& variable : openJ9.variables) {
            if (variable.name == edit.name) {
                EXPECT_EQ(splitOpenJ9OptionsText(edit.value), variable.kept) << edit.name;
            }
        }
    }
    Options hard = {"a b\\", "\"x y\"", "p\\\"q r", "tab\there", "it's"};
    EXPECT_EQ(splitOpenJ9OptionsText(joinOpenJ9OptionsText(hard)), hard);
    // HotSpot reads neither of OpenJ9's variables.
    InheritedOptions hotSpot = inheritedOptions(sourcesOf({"java", "Main"}, variables, {}, true, 17), false, kLibrary);
    names.clear();
    for (const InheritedVariable& variable : hotSpot.variables) names.push_back(variable.name);
    EXPECT_EQ(names, (Options{"JAVA_TOOL_OPTIONS", "JDK_AOT_VM_OPTIONS"}));
}

TEST(OptionSources, OptionsFilesAreRegularFilesOpenedWithoutBlocking) {
    char folder[] = "/tmp/tarsil-sources-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string dir = folder;
    std::string fifo = dir + "/fifo";
    std::string regular = dir + "/opts";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FILE* file = fopen(regular.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("-Xint\n", file);
    fclose(file);
    std::string text;
    EXPECT_EQ(readRegularFile(regular.c_str(), &text), FileRead::ok);
    EXPECT_EQ(text, "-Xint\n");
    EXPECT_EQ(readRegularFile((dir + "/gone").c_str(), &text), FileRead::missing);
    EXPECT_EQ(readRegularFile(fifo.c_str(), &text), FileRead::notRegular);
    EXPECT_EQ(readRegularFile(dir.c_str(), &text), FileRead::notRegular);
    // Only the user's (or root's) files that nobody else may write are read.
    std::string untrusted = dir + "/untrusted";
    struct Trust {
        uid_t owner;
        mode_t mode;
        FileRead read;
    } trusts[] = {{geteuid(), 0644, FileRead::ok},
                  {geteuid(), 0664, FileRead::othersMayWrite},
                  {geteuid(), 0646, FileRead::othersMayWrite},
                  {4343, 0644, FileRead::foreignOwner}};
    for (const Trust& t : trusts) {
        if (t.owner != geteuid() && geteuid() != 0) continue;
        FILE* planted = fopen(untrusted.c_str(), "w");
        ASSERT_NE(planted, nullptr);
        fputs("-agentpath:/elsewhere/libevil.so\n", planted);
        fclose(planted);
        ASSERT_EQ(chmod(untrusted.c_str(), t.mode), 0);
        ASSERT_EQ(chown(untrusted.c_str(), t.owner, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(readRegularFile(untrusted.c_str(), &text), t.read) << t.owner << " " << t.mode;
        if (t.read != FileRead::ok) {
            EXPECT_EQ(text, "");
        }
        unlink(untrusted.c_str());
    }
    // A FIFO named as an argument file, an options file or a flags file ends
    // the JVM at once; a vanished file only loses its options.
    for (const std::string& option : {"@" + fifo, "-XX:VMOptionsFile=" + fifo, "-XX:Flags=" + fifo}) {
        ChildResult child = runInChild([&option] {
            OptionInputs inputs;
            inputs.commandLine = {"java", option, "Main"};
            inputs.readFile = [](const std::string& path, std::string* content) {
                return readRegularFile(path.c_str(), content);
            };
            return std::to_string(collectOptionSources(inputs)[0].options.size());
        });
        EXPECT_EQ(child.exitCode, 3) << option;
        EXPECT_NE(child.err.find(fifo), std::string::npos) << option;
    }
    EXPECT_EQ(inheritedOptions(sourcesOf({"java", "@" + dir + "/gone", "-Xint", "Main"}, {}, {}), false, kLibrary)
                  .commandLine,
              (Options{"-Xint"}));
    unlink(fifo.c_str());
    unlink(regular.c_str());
    rmdir(folder);
}
