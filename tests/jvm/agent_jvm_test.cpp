// The agent loaded into real JVMs: every installed JDK, the Debian JDK 17
// always.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "jvm_harness.h"
#include "support/child.h"
#include "support/jars.h"

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class AgentInJvm : public PerJdkTest {
protected:
    JvmRun java(std::vector<std::string> args, std::vector<std::string> env = {}) {
        JvmLaunch launch;
        launch.args = {std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.setEnv = std::move(env);
        launch.workDir = dir.path();
        JvmRun run = runJava(GetParam(), launch);
        EXPECT_FALSE(run.timedOut);
        return run;
    }

    // Runs one scenario of the test program and expects it to pass.
    JvmRun scenario(const std::string& name, std::vector<std::string> jvmArgs = {}) {
        std::vector<std::string> args = {agentPath(), bootcache()};
        args.insert(args.end(), jvmArgs.begin(), jvmArgs.end());
        args.insert(args.end(), {"-cp", TARSIL_TESTS_JAR, "com.lindenforgesys.reload.test.Scenarios", name});
        JvmRun run = java(args);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("OK " + name + "\n"), std::string::npos) << run.out << run.err;
        return run;
    }

    std::string bootcache() const { return "-Dvesta.bootcache.dir=" + dir.path(); }
    std::string logFile() const { return dir.file("tarsil.boot.log"); }

    TempDir dir;
};

}  // namespace

TEST_P(AgentInJvm, DebugOptionLogsStartUpAndUnloadToBothSinks) {
    JvmRun run = java({agentPath("debug"), bootcache(), "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Initializing agent... 1.1.13-"), std::string::npos) << run.err;
    std::string java9 = GetParam().featureVersion() >= 9 ? "true" : "false";
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Java 9+ detected: " + java9 + "\n"), std::string::npos);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Native agent is logging to file: " + logFile() + "\n"),
              std::string::npos);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Agent initialization completed.\n"), std::string::npos);
    EXPECT_NE(run.err.find("openjdk version"), std::string::npos);

    // The lines logged before the file was open come first, in order.
    std::string log = readFile(logFile());
    size_t held = log.find("Tarsil-JVMTI [DEBUG] Native agent is logging to file: " + logFile() + "\n");
    EXPECT_EQ(log.rfind("Tarsil-JVMTI [DEBUG] JVM vendor string = ", 0), 0u) << log;
    EXPECT_LT(held, log.find("Tarsil-JVMTI [DEBUG] Initializing agent... 1.1.13-")) << log;
    EXPECT_NE(log.find("Tarsil-JVMTI [INFO] VM vendor: "), std::string::npos);
    EXPECT_NE(log.find("Tarsil-JVMTI [DEBUG] Agent unloaded.\n"), std::string::npos) << log;
}

TEST_P(AgentInJvm, WithoutOptionsTheAgentIsSilentOnStderr) {
    JvmRun run = java({agentPath(), bootcache(), "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("Tarsil-JVMTI"), std::string::npos) << run.err;
    EXPECT_NE(readFile(logFile()).find("Agent initialization completed."), std::string::npos);
}

TEST_P(AgentInJvm, LibraryNamedTwiceInitialisesOnce) {
    JvmRun run = java({agentPath("debug"), agentPath("debug"), "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(occurrences(run.err, "Initializing agent... "), 1u) << run.err;
    EXPECT_EQ(occurrences(run.err, "Tarsil-JVMTI [DEBUG] Multiple Tarsil agents found!\n"), 1u) << run.err;
}

TEST_P(AgentInJvm, MarkerInTheEnvironmentEvenEmptyKeepsTheAgentAsleep) {
    JvmRun run = java({agentPath("debug"), bootcache(), "-version"}, {"VESTA_NATIVE_PRESENT="});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("Tarsil-JVMTI [DEBUG] Initializing"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Multiple Tarsil agents found!"), std::string::npos) << run.err;
    std::ifstream log(logFile());
    EXPECT_FALSE(log.good()) << "the sleeping agent opened its log file";
}

// The Instrumentation premain receives, as the JDK's own agent behaves.

TEST_P(AgentInJvm, InstrumentationBehavesAsTheInterfaceDocuments) {
    // Each scenario checks one behaviour and prints OK when it holds.
    struct Case {
        const char* scenario;
        int since;  // the first feature release it applies to
    } cases[] = {
        {"moduleTransformer", 9},  // a transformer overriding only the module overload runs
        {"argumentChecks", 8},     // refused arguments throw what the interface documents
        {"prefixes", 8},           // every transformer's native method prefix applies, in registration order
    };
    for (const Case& c : cases) {
        if (GetParam().featureVersion() >= c.since) scenario(c.scenario);
    }
}

TEST_P(AgentInJvm, AgentJarManifestDecidesWhatIsSupported) {
    std::string partial = dir.file("partial.jar");
    ASSERT_TRUE(writeManifestJar(partial, "Manifest-Version: 1.0\nCan-Redefine-Classes: TRUE\n"
                                          "Can-Retransform-Classes: false\nCan-Set-Native-Method-Prefix: true\n"));
    struct Case {
        std::string agentJar;  // empty: tarsil.jar itself, whose Premain-Class runs
        const char* answer;
    } cases[] = {
        {"", "supported redefine=true retransform=true prefix=true"},
        {partial, "supported redefine=true retransform=false prefix=true"},
        {TARSIL_NO_PREMAIN_JAR, "supported redefine=false retransform=false prefix=false"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> property;
        if (!c.agentJar.empty()) property.push_back("-Dvesta.agent.manifest.jar=" + c.agentJar);
        JvmRun run = scenario("capabilities", property);
        EXPECT_NE(run.out.find(std::string(c.answer) + "\n"), std::string::npos) << c.agentJar << "\n" << run.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, AgentInJvm, ::testing::ValuesIn(candidateJdks()), jdkTestName);
