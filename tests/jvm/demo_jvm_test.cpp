// The demo as a user runs it, on every JDK: a distribution folder with the
// library that JDK loads and tarsil.jar, and run-demo.sh, which starts the
// application and recompiles one of its classes while it runs.
#include <unistd.h>

#include <filesystem>

#include "jvm_harness.h"
#include "support/child.h"

namespace fs = std::filesystem;

class Demo : public PerJdkTest {};

TEST_P(Demo, ReloadsAClassWhileTheApplicationRuns) {
    const Jdk& jdk = GetParam();
    if (access((jdk.root + jdk.home + "/bin/javac").c_str(), X_OK) != 0) {
        GTEST_SKIP() << jdk.name << " has no javac, which the demo needs";
    }
    TempDir dist;
    fs::create_directories(dist.file("lib"));
    fs::copy_file(TARSIL_LIBRARY, dist.file("lib/libtarsil64.so"));
    fs::copy_file(TARSIL_AGENT_JAR, dist.file("tarsil.jar"));
    JvmLaunch launch;
    launch.timeoutSeconds = 180;
    JvmRun run = runInJdkSystem(jdk, {"/bin/sh", TARSIL_DEMO_SCRIPT, dist.path(), jdk.home}, launch);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("The greeting changed while the application ran: yes"), std::string::npos)
        << run.out << run.err;
}

INSTANTIATE_TEST_SUITE_P(Jdks, Demo, ::testing::ValuesIn(candidateJdks()), jdkTestName);
