#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bootcache_args.h"
#include "bootcache_cmdline.h"
#include "bootcache_grammar.h"
#include "support/child.h"
#include "support/fake_jvmti.h"

namespace {

using Args = std::vector<std::string>;

Args filter(Args commandLine, bool ibm = false, const char* library = "/opt/tarsil/lib/libtarsil64.so",
            int release = kNewestRelease) {
    std::vector<char*> argv;
    for (auto& arg : commandLine) argv.push_back(arg.data());
    int count = -1;
    char** args = filterAdditionalArgs(static_cast<int>(argv.size()), argv.data(), ibm, library, &count, release);
    Args result(args, args + count);
    for (int i = 0; i < count; i++) free(args[i]);
    free(args);
    return result;
}

}  // namespace

TEST(AdditionalArgs, KeepsTuningAndModuleOptionsUpToTheMainClass) {
    EXPECT_EQ(filter({"java", "-Xmx2g", "-XX:+UseG1GC", "--add-opens", "java.base/java.lang=ALL-UNNAMED",
                      "-Dfoo=bar", "-cp", "app.jar", "com.example.Main", "-Xss1m", "arg1"}),
              (Args{"-XX:+UseG1GC", "--add-opens", "java.base/java.lang=ALL-UNNAMED"}));
}

TEST(AdditionalArgs, DropsSizingDebuggingAndInformationalOptions) {
    EXPECT_EQ(filter({"java", "-Xms1g", "-Xmn100m", "-Xdebug", "-Xrunjdwp:transport=dt_socket", "-XX:MaxPermSize=1g",
                      "-XX:ReservedCodeCacheSize=240m", "-XX:NewSize=1m", "-Xss2m", "--module-path=mods",
                      "--show-module-resolution", "--enable-preview", "-ea", "-verbose:class", "-javaagent:x.jar",
                      "-agentlib:jdwp=y", "-jar", "app.jar"}),
              (Args{"-Xss2m", "--enable-preview"}));
}

TEST(AdditionalArgs, SharedClassesAndVerifyAreRewritten) {
    EXPECT_EQ(filter({"java", "-Xverify:none", "-Xshareclasses:name=x", "-Xshareclasses", "-Xint", "Main"}),
              (Args{"-Xshareclasses:none", "-Xshareclasses", "-Xint", "-Xverify:none"}));
    EXPECT_EQ(filter({"java", "-Xverify:none", "-Xverify:remote", "Main"}), (Args{"-Xverify:remote"}));
    EXPECT_EQ(filter({"java", "-Xverify:none", "-Xint", "Main"}, true), (Args{"-Xint", "-Xverify:all"}));
    EXPECT_EQ(filter({"java", "Main"}, true), (Args{"-Xverify:all"}));
}

TEST(AdditionalArgs, SeparateValuesTravelWithTheirOption) {
    EXPECT_EQ(filter({"java", "--add-opens=java.base/java.lang=ALL-UNNAMED", "--add-exports", "a/b=c", "Main"}),
              (Args{"--add-opens=java.base/java.lang=ALL-UNNAMED", "--add-exports", "a/b=c"}));
    // A dropped option's value goes with it, as the launcher reads it: the
    // class path here is no option of the JVM's. From 9 on the launcher
    // takes no value that starts with '-'.
    EXPECT_EQ(filter({"java", "-cp", "-Xlooks-like-an-option", "-Xint", "Main"}, false, "lib.so", 8), (Args{"-Xint"}));
    EXPECT_EQ(filter({"java", "--add-opens", "-Xint", "Main"}, false, "lib.so", 17), (Args{"--add-opens", "-Xint"}));
    EXPECT_EQ(filter({"java", "-d", "m", "--describe-module", "m", "-Xint", "Main"}), (Args{"-Xint"}));
    // The last option keeps no value it does not have.
    EXPECT_EQ(filter({"java", "--add-reads"}), (Args{"--add-reads"}));
}

TEST(AdditionalArgs, OwnAndProfilerAgentsAreDropped) {
    EXPECT_EQ(filter({"java", "-agentpath:/opt/tarsil/lib/libtarsil64.so=debug",
                      "-agentpath:/somewhere/else/libtarsil64.so", "-agentpath:/p/libjprofilerti.so=port=8849",
                      "-agentpath:/opt/yourkit/libyjpagent.so=x", "Main"}),
              (Args{"-agentpath:/opt/yourkit/libyjpagent.so=x"}));
}

TEST(AdditionalArgs, NeverInheritedFamiliesAreDroppedFromEverySourceInEverySpelling) {
    const Args dropped = {
        // Java agents however loaded, debuggers, a JVM that waits
        "-Xruninstrument:/app/agent.jar=x", "-Xrunhprof:heap=sites", "-agentpath:/jdk/lib/libinstrument.so=a.jar",
        "-agentpath:/jdk/jre/lib/amd64/libinstrument.so", "-agentpath:C:\\jdk\\bin\\instrument.dll=a.jar",
        "-agentpath:C:\\jdk\\bin\\instrument=a.jar", "-agentpath:/jdk/lib/libjdwp.dylib", "-XX:+PauseAtStartup",
        // memory sizes
        "-Xmx4g", "-Xms4g", "-Xmn1g", "-XX:MaxHeapSize=4g", "-XX:InitialHeapSize=4g", "-XX:MinHeapSize=1g",
        "-XX:SoftMaxHeapSize=3g", "-XX:NewSize=1g", "-XX:MaxNewSize=1g", "-XX:OldSize=1g", "-XX:MaxRAM=16g",
        "-XX:MaxRAMPercentage=75.0", "-XX:MinRAMPercentage=50", "-XX:InitialRAMPercentage=50",
        "-XX:MaxRAMFraction=2", "-XX:MinRAMFraction=2", "-XX:InitialRAMFraction=4",
        // files and folders the JVM writes, archives among them
        "-XX:ErrorFile=/var/log/hs_err_%p.log", "-XX:HeapDumpPath=/dumps", "-XX:+HeapDumpOnOutOfMemoryError",
        "-XX:-HeapDumpOnOutOfMemoryError", "-XX:+HeapDumpBeforeFullGC", "-XX:+HeapDumpAfterFullGC",
        "-XX:PerfDataSaveFile=/tmp/p", "-XX:+PerfDataSaveToFile", "-XX:+DumpPerfMapAtExit", "-XX:ReplayDataFile=r",
        "-XX:InlineDataFile=i", "-XX:JVMCILibDumpJNIConfig=j", "-XX:JVMCINativeLibraryErrorFile=e",
        "-XX:AllocateHeapAt=/mnt/pmem", "-XX:ZPath=/mnt/huge", "-XX:+UseGCLogFileRotation", "-XX:GCLogFileSize=9m",
        "-Xverbosegclog:gc.log", "-XX:+DumpSharedSpaces",
        // the management agent
        "-XX:+ManagementServer"};
    const Args kept = {"-agentpath:/opt/libinstrumentation.so", "-agentpath:/opt/instrument/libapm.so",
                       "-XX:NewSizeThreadIncrease=16k", "-Xss2m", "-XX:MaxMetaspaceSize=256m",
                       "-XX:CompileCommandFile=cc.txt", "-XX:-CreateCoredumpOnCrash", "-XX:+UsePerfData"};
    for (const Args* options : {&dropped, &kept}) {
        for (const std::string& option : *options) {
            Args expected = options == &kept ? Args{option} : Args{};
            EXPECT_EQ(filter({"java", option, "Main"}), expected) << option;
            EXPECT_EQ(filterOptions({option}, SourceKind::jvmVariable, false, "libtarsil64.so"), expected) << option;
        }
    }
}

TEST(AdditionalArgs, JdkAgentLibrariesAreNamedWithoutCaseWhereFileSystemsIgnoreIt) {
    struct Case {
        const char* option;
        bool exactCase;
        bool anyCase;
    } cases[] = {
        {"-agentpath:/jdk/lib/libjdwp.so=server=y", true, true},
        {"-agentpath:/jdk/lib/LIBJDWP.dylib", false, true},
        {"-agentpath:C:\\jdk\\bin\\JDWP.DLL=server=y", false, true},
        {"-agentpath:C:\\jdk\\bin\\Instrument.DLL=a.jar", false, true},
        {"-agentpath:/opt/LIBJDWP.x/libapm.so", false, false},  // the file's name counts, not its folder's
        {"-agentlib:jdwp=server=y", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isJdkAgentPath(c.option, false), c.exactCase) << c.option;
        EXPECT_EQ(isJdkAgentPath(c.option, true), c.anyCase) << c.option;
    }
#if defined(_WIN32) || defined(__APPLE__)
    EXPECT_EQ(filter({"java", "-agentpath:/jdk/lib/LIBJDWP.dylib", "Main"}), Args{});
#else
    EXPECT_EQ(filter({"java", "-agentpath:/jdk/lib/LIBJDWP.so", "Main"}), Args{"-agentpath:/jdk/lib/LIBJDWP.so"});
#endif
}

TEST(AdditionalArgs, ManagementAgentSettingsAreNoPropertiesOfTheChild) {
    for (const char* name : {"com.sun.management.jmxremote", "com.sun.management.jmxremote.port",
                             "com.sun.management.config.file", "com.sun.management.jdp.port"}) {
        EXPECT_EQ(isIgnoredCmdProperty(name, 0), 1) << name;
    }
    for (const char* name : {"com.sun.managementx", "sun.management.compiler", "jdk.management.x"}) {
        EXPECT_EQ(isIgnoredCmdProperty(name, 0), 0) << name;
    }
}

TEST(AdditionalArgs, EndingArgumentsStopTheScan) {
    EXPECT_EQ(filter({"java", "-Xint", "-m", "mod/Main", "-Xss1m"}), (Args{"-Xint"}));
    EXPECT_EQ(filter({"java", "-Xint", "--version", "-Xss1m"}), (Args{"-Xint"}));
}

TEST(AdditionalArgs, ArgumentLimitSkipsSeparateValues) {
    std::vector<std::string> line = {"java", "-cp", "lib", "-p", "mods", "-Xint", "Main", "x"};
    std::vector<char*> argv;
    for (auto& arg : line) argv.push_back(arg.data());
    EXPECT_EQ(findArgumentLimit(static_cast<int>(argv.size()), argv.data()), 6);
    EXPECT_EQ(findArgumentLimit(1, argv.data()), 1);
}

TEST(AdditionalArgs, PredicatesOnlyMatchTheirOwnKind) {
    EXPECT_EQ(isIgnoredXArg("--Xmx"), 0);
    EXPECT_EQ(isIgnoredXArg("-Xmx512m"), 1);
    EXPECT_EQ(isIgnoredDashDashArgument("-help"), 0);
    EXPECT_EQ(isIgnoredDashDashArgument("--help"), 1);
    EXPECT_EQ(isIgnoredDashDashArgument("--helpful"), 0);
    EXPECT_EQ(hasSeparateArgument("--add-opens=x"), 0);
}

TEST(AdditionalArgs, ComputedOnceFromThisProcessesCommandLine) {
    ChildResult child = runInChild([] {
        FakeJvm jvm;
        int first = -1;
        int second = -1;
        char** a = getAdditionalArgs(jvm.newEnv(), &first);
        char** b = getAdditionalArgs(jvm.newEnv(), &second);
        return std::to_string(first) + " " + std::to_string(second) + (a == b ? " same" : " different");
    });
    // The test program's own arguments (--gtest_filter=...) are double-dash options.
    EXPECT_EQ(child.report.substr(child.report.find(' ')), " " + child.report.substr(0, child.report.find(' ')) + " same");
}
