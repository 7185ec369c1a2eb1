// What the child JVM inherits of every place a JVM takes options from: the
// command line with its argument files, the four variables and options
// files, each split as the launcher or the JVM splits it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "bootcache_args.h"

namespace {

using Options = std::vector<std::string>;
using Files = std::map<std::string, std::string>;
using Variables = std::map<std::string, std::string>;

constexpr char kLibrary[] = "/opt/tarsil/lib/libtarsil64.so";

std::vector<OptionSource> sourcesOf(const Options& commandLine, const Variables& variables, const Files& files,
                                    bool java9 = true) {
    OptionInputs inputs;
    inputs.commandLine = commandLine;
    inputs.java9 = java9;
    inputs.variable = [&variables](const char* name) -> const char* {
        auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    };
    inputs.readFile = [&files](const std::string& path, std::string* text) {
        auto found = files.find(path);
        if (found == files.end()) return false;
        *text = found->second;
        return true;
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
        {"options files are read where they stand",
         {"java", "-XX:VMOptionsFile=vm.opts", "-XX:Flags=.hotspotrc", "Main", "-XX:Flags=app-arg"},
         {{"JDK_AOT_VM_OPTIONS", "-XX:AOTMode=create -Xmx1g -XX:+UseZGC"}},
         {{"vm.opts", "-XX:+UseSerialGC '-XX:StartFlightRecording=filename=a b.jfr' -XX:Flags=inner"},
          {"inner", "+AlwaysPreTouch"},
          {".hotspotrc", "# tuning\n+UseNUMA ErrorFile=\"/tmp/my err.log\"\nLogFile=vm.log\n"}},
         true,
         {"-XX:+UseSerialGC", "-XX:+AlwaysPreTouch", "-XX:+UseNUMA", "-XX:ErrorFile=/tmp/my err.log"},
         "JDK_AOT_VM_OPTIONS=-XX:+UseZGC;",
         {"-XX:+UseSerialGC", "-XX:+AlwaysPreTouch", "-XX:+UseNUMA", "-XX:ErrorFile=/tmp/my err.log", "-XX:+UseZGC"}},
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
