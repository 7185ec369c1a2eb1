#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bootcache_args.h"
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
