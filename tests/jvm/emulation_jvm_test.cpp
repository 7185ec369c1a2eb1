// Boot class path emulation in real JVMs: base classes defined in the boot
// loader, bootstrap jar entries replacing boot, platform and application
// classes, redefinition untouched by the jar, class data sharing left on,
// and a bootstrap jar that cannot be opened. Java 8 patches
// "sun.boot.class.path" unless told "bcpemu", which these tests tell it;
// there the stage counter starts past the base classes, and the loaders
// have their Java 8 names.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "jvm_harness.h"
#include "support/child.h"
#include "support/jars.h"
#include "zip.h"

namespace fs = std::filesystem;

namespace {

constexpr char kScenarios[] = "com.lindenforgesys.reload.test.Scenarios";
constexpr char kPlatformLoader[] = "@jdk.internal.loader.ClassLoaders$PlatformClassLoader/";

class Emulation : public PerJdkTest {
protected:
    bool java8() const { return GetParam().featureVersion() < 9; }

    std::string appLoader() const {
        return java8() ? "@sun.misc.Launcher$AppClassLoader/" : "@jdk.internal.loader.ClassLoaders$AppClassLoader/";
    }

    JvmRun java(const std::vector<std::string>& args, const std::string& library = TARSIL_LIBRARY) {
        JvmLaunch launch;
        std::string options = java8() ? "debug,bcpemu" : "debug";
        launch.args = {"-agentpath:" + library + "=" + options, std::string("-Dvesta.native.jar=") + TARSIL_AGENT_JAR,
                       "-Dvesta.bootcache.dir=" + dir.path()};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = dir.path();
        JvmRun run = runJava(GetParam(), launch);
        EXPECT_FALSE(run.timedOut) << run.err;
        return run;
    }

    JvmRun scenario(const std::string& name, std::vector<std::string> jvmArgs) {
        jvmArgs.insert(jvmArgs.end(), {"-cp", TARSIL_TESTS_JAR, kScenarios, name});
        JvmRun run = java(jvmArgs);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("OK " + name), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
        return run;
    }

    // A class file of the test jar, written out for the installer to carry.
    std::string testClassFile(const std::string& internalName) {
        ZipReader jar;
        EXPECT_TRUE(jar.open(TARSIL_TESTS_JAR));
        size_t size = 0;
        char* bytes = static_cast<char*>(jar.extractToHeap(internalName + ".class", &size));
        EXPECT_NE(bytes, nullptr);
        std::string path = dir.file(fs::path(internalName).filename().string() + ".class");
        std::ofstream(path, std::ios::binary).write(bytes, static_cast<std::streamsize>(size));
        free(bytes);
        return path;
    }

    static std::string entries(const std::vector<std::pair<std::string, std::string>>& pairs) {
        std::string value = "-Dvesta.test.install.entries=";
        for (size_t i = 0; i < pairs.size(); i++) value += (i ? ":" : "") + pairs[i].first + "=" + pairs[i].second;
        return value;
    }

    TempDir dir;
};

}  // namespace

TEST_P(Emulation, BaseClassesAndTheJdkReplacementComeFromTheJar) {
    JvmRun run = scenario("emulation", {});
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Turning on boot class path emulation\n"), std::string::npos);
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Closing BCP emulation\n"), std::string::npos);
    if (java8()) {
        EXPECT_EQ(run.err.find("Defining base class"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Patching sun.boot.class.path"), std::string::npos) << run.err;
        return;
    }
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Defining base class java/lang/TarsilEarlyHooks\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Tarsil-JVMTI [DEBUG] Defining base class java/lang/TarsilModuleHooks\n"),
              std::string::npos);
    // The first stage runs before the second, each once.
    EXPECT_LT(run.err.find("TarsilEarlyHooks"), run.err.find("TarsilModuleHooks"));
    std::regex reading("Reading tarsilbase-classes.txt");
    EXPECT_EQ(std::distance(std::sregex_iterator(run.err.begin(), run.err.end(), reading), std::sregex_iterator()), 2);
}

TEST_P(Emulation, LoaderEntriesReplaceApplicationAndPlatformClasses) {
    std::vector<std::pair<std::string, std::string>> served = {
        {appLoader() + "com/lindenforgesys/reload/test/Replaced.class", TARSIL_REPLACEMENT_CLASS}};
    // Java 8 has no platform loader.
    if (!java8()) served.push_back({std::string(kPlatformLoader) + "java/sql/SQLDataException.class", TARSIL_PLATFORM_CLASS});
    scenario("emulation", {entries(served), "-Dvesta.test.expectReplaced=replaced",
                           java8() ? "-Dvesta.test.expectPlatform=false" : "-Dvesta.test.expectPlatform=true"});
    // An entry for another loader than the class's own is not used. (Other
    // entries give another hash, so this run builds its own jar.)
    scenario("emulation", {entries({{std::string(kPlatformLoader) + "com/lindenforgesys/reload/test/Replaced.class",
                                     TARSIL_REPLACEMENT_CLASS},
                                    {"com/lindenforgesys/reload/test/Replaced.class", TARSIL_REPLACEMENT_CLASS}})});
}

TEST_P(Emulation, RedefinitionAndRetransformationNeverReachTheJar) {
    // The jar serves Target's original bytes; were it consulted for a
    // redefinition, v2 would be replaced by them again.
    std::string target = testClassFile("com/lindenforgesys/reload/test/Target");
    std::string entry = entries({{appLoader() + "com/lindenforgesys/reload/test/Target.class", target}});
    scenario("redefine", {entry});
    scenario("retransform", {entry});
}

TEST_P(Emulation, SharingLeftOnIsRefusedByTheJvmItselfOnTheseJdks) {
    SKIP_BELOW_JAVA(9, "Java 8 has no -Xlog, and with bcpemu the library skips its sharing check there");
    // This copy of the library cannot find UseSharedSpaces. JDK 17 and later
    // then drop the archive themselves (an early class-file hook is in use)
    // before the first class loads, so the library's own check, which looks
    // for a mapped classes.jsa, must stay quiet; the unit tests make it fire.
    JvmRun run = java({"-Xshare:auto", "-Xlog:cds=info", "-version"}, TARSIL_CDS_KEPT_LIBRARY);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("Found class sharing flag"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("not compatible with Class Data Sharing"), std::string::npos) << run.err;
}

TEST_P(Emulation, BootstrapJarThatCannotBeOpenedIsGeneratedAnew) {
    JvmRun first = java({"-version"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    std::smatch cached;
    ASSERT_TRUE(std::regex_search(first.err, cached, std::regex("Renaming generated bootstrap to (\\S+)\n")));
    std::ofstream(cached[1].str(), std::ios::trunc) << "not a zip archive";
    JvmRun healed = java({"-version"});
    EXPECT_EQ(healed.exitCode, 0) << healed.err;
    EXPECT_NE(healed.err.find("Tarsil-JVMTI [WARN] Not using the cached bootstrap jar " + cached[1].str() +
                              ": it is not a readable jar"),
              std::string::npos)
        << healed.err;
    ZipReader jar;
    EXPECT_TRUE(jar.open(cached[1].str().c_str())) << jar.error();
    EXPECT_GE(jar.locate("tarsilbase-classes.txt"), 0);
}

// The cached bootstrap jar cut short or overwritten under a running JVM: its
// next loads, served ones among them, go on from the copy it read at start.
TEST_P(Emulation, JarChangedUnderARunningJvmKeepsServing) {
    ASSERT_EQ(java({"-version"}).exitCode, 0);  // caches the bootstrap jar
    std::string cached;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (std::regex_match(entry.path().filename().string(), std::regex("tarsil-bootstrap-[0-9a-f]{32}\\.jar"))) {
            cached = entry.path().string();
        }
    }
    ASSERT_NE(cached, "");
    std::string original = readFile(cached);
    for (std::string change : {"truncate", "overwrite"}) {
        fs::remove(dir.file("ready"));
        fs::remove(dir.file("go"));
        std::future<JvmRun> running = std::async(std::launch::async, [this] { return scenario("changedJar", {}); });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!fs::exists(dir.file("ready")) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (change == "truncate") fs::resize_file(cached, 0);
        if (change == "overwrite") std::ofstream(cached, std::ios::binary) << std::string(original.size(), 'x');
        std::ofstream(dir.file("go")) << "";
        JvmRun run = running.get();
        EXPECT_EQ(run.exitCode, 0) << change << ": " << run.out << run.err;
        std::ofstream(cached, std::ios::binary) << original;
    }
}

INSTANTIATE_TEST_SUITE_P(Jdks, Emulation, ::testing::ValuesIn(candidateJdks()), jdkTestName);
