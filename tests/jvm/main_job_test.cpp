// The library doing its main job in real JVMs with the reference Java side:
// premain hand-off, the two class-file hooks, the natives and the failures
// that end the JVM.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "jvm_harness.h"
#include "support/child.h"
#include "support/jars.h"

namespace fs = std::filesystem;

namespace {

constexpr char kTestClasses[] = "com.lindenforgesys.reload.test.Scenarios";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

size_t count(const std::vector<std::string>& all, const std::string& line) {
    return std::count(all.begin(), all.end(), line);
}

// A distribution laid out as shipped: <root>/lib/libtarsil64.so beside
// <root>/tarsil.jar.
class MainJob : public PerJdkTest {
protected:
    void SetUp() override {
        PerJdkTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        fs::create_directory(dir.file("lib"));
        library = dir.file("lib/libtarsil64.so");
        fs::copy_file(TARSIL_LIBRARY, library);
        fs::copy_file(TARSIL_AGENT_JAR, dir.file("tarsil.jar"));
    }

    std::string agent(const std::string& options = "") const {
        return "-agentpath:" + library + (options.empty() ? "" : "=" + options);
    }

    JvmRun java(std::vector<std::string> args) {
        JvmLaunch launch;
        launch.args = {"-Dvesta.bootcache.dir=" + dir.path()};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = dir.path();
        JvmRun run = runJava(GetParam(), launch);
        EXPECT_FALSE(run.timedOut) << run.err;
        return run;
    }

    // Runs one scenario of the test program and expects it to pass.
    JvmRun scenario(const std::string& name, std::vector<std::string> jvmArgs = {}, const std::string& options = "") {
        std::vector<std::string> args = {agent(options)};
        args.insert(args.end(), jvmArgs.begin(), jvmArgs.end());
        args.insert(args.end(), {"-cp", TARSIL_TESTS_JAR, kTestClasses, name});
        JvmRun run = java(args);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("OK " + name), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
        return run;
    }

    // Puts a bootstrap jar under this configuration's cached name, for agent
    // jars whose child JVM cannot build one (no Premain-Class for
    // -javaagent). The first run fails in the child and leaves the hash in
    // the log file.
    void seedBootstrapJar(const std::vector<std::string>& args) {
        JvmRun failed = java(args);
        ASSERT_EQ(failed.exitCode, 3) << failed.err;
        std::smatch hash;
        std::string log = readFile(dir.file("tarsil.boot.log"));
        ASSERT_TRUE(std::regex_search(log, hash, std::regex("Checking bootcache for ([0-9a-f]{32})"))) << log;
        ASSERT_TRUE(writeJar(dir.file("tarsil-bootstrap-" + hash[1].str() + ".jar"), {{"tarsilbase-classes.txt", "-\n"}}));
    }

    // The one cached bootstrap jar in the folder.
    std::string cachedBootstrapJar() const {
        std::string found;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            std::string name = entry.path().filename().string();
            if (std::regex_match(name, std::regex("tarsil-bootstrap-[0-9a-f]{32}\\.jar"))) {
                EXPECT_EQ(found, "") << "more than one cached bootstrap jar";
                found = entry.path().string();
            }
        }
        return found;
    }

    std::string record() const { return dir.file("record.txt"); }
    std::string recordArg() const { return "-Dvesta.test.record=" + record(); }

    TempDir dir;
    std::string library;
};

}  // namespace

TEST_P(MainJob, PremainReceivesTheFourArguments) {
    std::string report = dir.file("report.txt");
    JvmRun withOptions = java({agent("debug,custom=1"), "-Dvesta.test.report=" + report, "-version"});
    ASSERT_EQ(withOptions.exitCode, 0) << withOptions.err;
    EXPECT_NE(withOptions.err.find("Tarsil-JVMTI [DEBUG] Java agent successfully initialized.\n"), std::string::npos);
    JvmRun without = java({agent(), "-Dvesta.test.report=" + report, "-version"});
    ASSERT_EQ(without.exitCode, 0) << without.err;

    std::vector<std::string> reported = lines(readFile(report));
    ASSERT_EQ(reported.size(), 2u) << readFile(report);
    std::string common = " library=" + library + " bootstrap=" + cachedBootstrapJar();
    EXPECT_EQ(reported[0], "premain premainClass=com.lindenforgesys.reload.agent.ReloadAgent options=debug,custom=1" + common);
    EXPECT_EQ(reported[1], "premain premainClass=com.lindenforgesys.reload.agent.ReloadAgent options=null" + common);
}

TEST_P(MainJob, MissingPremainClassIsPassedAsEmptyString) {
    std::string report = dir.file("report.txt");
    std::vector<std::string> args = {agent(), std::string("-Dvesta.native.jar=") + TARSIL_NO_PREMAIN_JAR,
                                     "-Dvesta.test.report=" + report, "-version"};
    ASSERT_NO_FATAL_FAILURE(seedBootstrapJar(args));
    JvmRun run = java(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readFile(report),
              "premain premainClass= options=null library=" + library + " bootstrap=" + cachedBootstrapJar() + "\n");
}

TEST_P(MainJob, EveryLoadedClassReachesBothHooksOnce) {
    JvmRun run = scenario("replace", {recordArg()});
    std::vector<std::string> seen = lines(readFile(record()));
    EXPECT_EQ(count(seen, "false com/lindenforgesys/reload/test/Scenarios load"), 1u);
    EXPECT_EQ(count(seen, "true com/lindenforgesys/reload/test/Scenarios load"), 1u);
    // JDK classes loaded after VM init pass through as well.
    EXPECT_GT(seen.size(), 20u);
}

TEST_P(MainJob, TransformerBytesReplaceTheClass) {
    scenario("replace", {"-Dvesta.test.replace=com/lindenforgesys/reload/test/Replaced=" +
                         std::string(TARSIL_REPLACEMENT_CLASS)});
}

TEST_P(MainJob, ThrowingTransformerIsPrintedAndTheClassLoadsUnchanged) {
    JvmRun run = scenario("throwingTransformer", {"-Dvesta.test.throwFor=com/lindenforgesys/reload/test/Victim"});
    EXPECT_NE(run.err.find("transformer failure requested for com/lindenforgesys/reload/test/Victim"),
              std::string::npos)
        << run.err;
}

TEST_P(MainJob, ClassLoadedInsideTheTransformerSkipsTheMainHookOnly) {
    scenario("nested", {recordArg(), "-Dvesta.test.nested=com/lindenforgesys/reload/test/Outer:"
                                     "com.lindenforgesys.reload.test.Inner"});
    std::vector<std::string> seen = lines(readFile(record()));
    EXPECT_EQ(count(seen, "false com/lindenforgesys/reload/test/Outer load"), 1u);
    EXPECT_EQ(count(seen, "false com/lindenforgesys/reload/test/Inner load"), 0u);
    EXPECT_EQ(count(seen, "true com/lindenforgesys/reload/test/Inner load"), 1u);
}

TEST_P(MainJob, RedefineAndRetransformGoThroughTheHooks) {
    scenario("redefine", {recordArg()});
    std::vector<std::string> redefined = lines(readFile(record()));
    EXPECT_EQ(count(redefined, "false com/lindenforgesys/reload/test/Target redefine"), 1u) << readFile(record());
    EXPECT_EQ(count(redefined, "true com/lindenforgesys/reload/test/Target redefine"), 1u);

    fs::remove(record());
    scenario("retransform", {recordArg()});
    std::vector<std::string> retransformed = lines(readFile(record()));
    EXPECT_GE(count(retransformed, "true com/lindenforgesys/reload/test/Target redefine"), 1u) << readFile(record());
    EXPECT_EQ(count(retransformed, "false com/lindenforgesys/reload/test/Target redefine"), 0u);
}

TEST_P(MainJob, BadRedefinitionsBecomeTheMatchingExceptions) {
    // As the JDK's agent throws them: the class and its message.
    JvmRun schema = scenario("schemaChange");
    EXPECT_NE(schema.out.find("java.lang.UnsupportedOperationException: class redefinition failed: attempted to "
                              "change the schema (add/remove fields)"),
              std::string::npos)
        << schema.out;
    JvmRun garbage = scenario("garbage");
    EXPECT_NE(garbage.out.find("java.lang.ClassFormatError\n"), std::string::npos) << garbage.out;
}

TEST_P(MainJob, EmptyAndNullArguments) {
    scenario("emptyArrays");
    scenario("nullElement");
}

TEST_P(MainJob, LoadedClassesMatchTheJvmsOwnList) {
    scenario("loadedClasses");
}

TEST_P(MainJob, TracingShowsTheLoaderAndTheStack) {
    JvmRun run = scenario("replace", {"-Dvesta.transform.trace.prefix=com/lindenforgesys/reload/test/Scen"}, "debug");
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Transforming com/lindenforgesys/reload/test/Scenarios\n"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex(R"(Tarsil-JVMTI \[DEBUG\] Class loader: L[^\n]*ClassLoader;\n)")))
        << run.err;
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Stacktrace:\n"), std::string::npos);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] \tat java/lang/ClassLoader.loadClass\n"), std::string::npos)
        << run.err;
}

TEST_P(MainJob, ManyThreadsLoadingAtOnceReachEachHookOncePerClass) {
    JvmRun run = scenario("concurrent", {recordArg(), "-Dvesta.test.classes=2000"});
    std::map<std::string, int> offered;
    for (const std::string& line : lines(readFile(record()))) {
        if (line.find("/test/gen/Gen") != std::string::npos) offered[line]++;
    }
    size_t perHook[2] = {0, 0};
    for (const auto& [line, times] : offered) {
        EXPECT_EQ(times, 1) << line;
        perHook[line.rfind("true", 0) == 0]++;
    }
    EXPECT_EQ(perHook[0], 8u * 2000u);
    EXPECT_EQ(perHook[1], 8u * 2000u);
}

TEST_P(MainJob, BulkRetransformAndRedefineReachEveryClassWhateverTheLocalReferenceLimit) {
    // JDK 11 cannot start its boot layer with a Java agent below 256 local
    // references; either limit is under the 300 classes of one call.
    std::string low = GetParam().featureVersion() == 11 ? "256" : "128";
    for (std::string limit : {std::string(), "-XX:MaxJNILocalCapacity=" + low}) {
        std::vector<std::string> args = {"-Xcheck:jni", recordArg(), "-Dvesta.test.classes=300"};
        if (!limit.empty()) args.push_back(limit);
        JvmRun run = scenario("bulk", args);
        EXPECT_EQ(run.err.find("WARNING"), std::string::npos) << limit << ": " << run.err;
        std::vector<std::string> seen = lines(readFile(record()));
        size_t retransformed = 0;
        for (int i = 0; i < 300; i++) {
            std::string name = "com/lindenforgesys/reload/test/bulk/Bulk" + std::to_string(i);
            retransformed += count(seen, "true " + name + " redefine") == 2 && count(seen, "false " + name + " redefine") == 1;
        }
        EXPECT_EQ(retransformed, 300u) << limit;
        std::filesystem::remove(record());
    }
}

TEST_P(MainJob, CheckedJniFindsNothingToComplainAbout) {
    for (const char* name : {"redefine", "retransform", "loadedClasses", "nested", "concurrent"}) {
        JvmRun run = scenario(name, {"-Xcheck:jni", "-Dvesta.test.classes=200", recordArg(),
                                     "-Dvesta.test.nested=com/lindenforgesys/reload/test/Outer:"
                                     "com.lindenforgesys.reload.test.Inner"});
        EXPECT_EQ(run.err.find("WARNING"), std::string::npos) << name << ": " << run.err;
        EXPECT_EQ(run.err.find("FATAL ERROR"), std::string::npos) << name << ": " << run.err;
    }
}

TEST_P(MainJob, ClassDataSharingIsSwitchedOff) {
    JvmRun run = java({agent("debug"), "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    if (GetParam().featureVersion() < 11) {
        // Before Java 11 the library leaves sharing as the JVM has it.
        EXPECT_EQ(run.err.find("class sharing flag"), std::string::npos) << run.err;
        return;
    }
    if (GetParam().name.find("openjdk") == std::string::npos) {
        GTEST_SKIP() << "the flag's symbol is checked on Debian's JDKs";
    }
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Found class sharing flag UseSharedSpaces=1\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Setting class sharing flag to 0\n"), std::string::npos);
    EXPECT_EQ(run.err.find("sharing)"), std::string::npos) << "the VM still reports class data sharing";
}

TEST_P(MainJob, BootstrapJarLeadsTheBootClassPathOnJava8) {
    if (GetParam().featureVersion() >= 9) GTEST_SKIP() << "sun.boot.class.path exists up to Java 8 only";
    JvmRun run = java({agent(), "-XshowSettings:properties", "-version"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // Path properties are shown one element a line, the first after " = ".
    EXPECT_NE(run.err.find("sun.boot.class.path = " + cachedBootstrapJar() + "\n"), std::string::npos) << run.err;
}

TEST_P(MainJob, IncompatibleAgentJarEndsTheJvm) {
    std::vector<std::string> args = {agent(), std::string("-Dvesta.native.jar=") + TARSIL_INCOMPATIBLE_JAR, "-version"};
    ASSERT_NO_FATAL_FAILURE(seedBootstrapJar(args));
    JvmRun run = java(args);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [ERROR] You're using an incompatible 'tarsil.jar' with the Tarsil Agent.\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(std::string("Tarsil-JVMTI [FATAL] Please make sure that '") + TARSIL_INCOMPATIBLE_JAR +
                           "' is a copy of lib/tarsil.jar from the Tarsil ZIP distribution.\n"),
              std::string::npos)
        << run.err;
}

TEST_P(MainJob, ThrowingPremainEndsTheJvmWithStatusOne) {
    JvmRun run = java({agent(), "-Dvesta.test.premainThrow=true", "-version"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [ERROR] FATAL ERROR in native method: processing of -agentpath failed\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("premain failure requested"), std::string::npos);
}

TEST_P(MainJob, LibraryWithoutItsJarEndsTheJvm) {
    fs::remove(dir.file("tarsil.jar"));
    JvmRun run = java({agent(), "-version"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [FATAL] ERROR: Could not locate Tarsil Agent JAR for " + library + "\n"),
              std::string::npos)
        << run.err;
}

TEST_P(MainJob, NonZipAgentJarEndsTheJvm) {
    std::string bogus = dir.file("bogus.jar");
    std::ofstream(bogus) << "not a zip";
    JvmRun run = java({agent(), "-Dvesta.native.jar=" + bogus, "-version"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [FATAL] Error opening .jar file " + bogus + "\n"), std::string::npos)
        << run.err;
}

TEST_P(MainJob, AgentJarThatIsNoRegularFileEndsTheJvmAtOnce) {
    // A FIFO held the JVM's start for good, waiting for a writer.
    std::string fifo = dir.file("fifo.jar");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir.file("folder.jar"));
    for (const std::string& jar : {fifo, dir.file("folder.jar"), std::string("/dev/null")}) {
        JvmLaunch launch;
        launch.args = {"-Dvesta.bootcache.dir=" + dir.path(), agent(), "-Dvesta.native.jar=" + jar, "-version"};
        launch.timeoutSeconds = 30;
        JvmRun run = runJava(GetParam(), launch);
        EXPECT_FALSE(run.timedOut) << jar;
        EXPECT_EQ(run.exitCode, 3) << jar << run.err;
        EXPECT_NE(run.err.find("Tarsil-JVMTI [FATAL] Error opening .jar file " + jar + ": "), std::string::npos)
            << jar << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, MainJob, ::testing::ValuesIn(candidateJdks()), jdkTestName);
