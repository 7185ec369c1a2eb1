// Starts a real JVM with a command line, a time limit and its own temporary
// folder, and captures its exit status, standard output and standard error.
#pragma once

#include <string>
#include <vector>

struct Jdk {
    std::string name;  // folder name under /usr/lib/jvm, after "<suite>/" in a chroot
    std::string home;  // as the JVM sees it
    std::string root;  // the Debian chroot it runs in; empty on this machine
    bool installed() const;
    // Whether its launcher is built for the machine the tests are built for:
    // a 32-bit test build runs the 32-bit JDK, and so on.
    bool matchesBuild() const;
    // 8 for 1.8, then 11, 17...; 0 when its "release" file does not say.
    int featureVersion() const;
};

// The JDKs the tests run on: the Debian JDK 17 of the build's architecture
// always, a few well-known others (skipped when absent), every other JDK
// found under /usr/lib/jvm (skipped when built for another machine), and
// those of the Debian chroots that tools/chroots.sh makes: Java 8 and 26 to
// 28 (early access) in sid, 11 and 17 in bullseye (glibc 2.31), 21 and 25 in
// trixie.
std::vector<Jdk> candidateJdks();
// TARSIL_JDK_ARCH is Debian's name for the build's architecture.
inline constexpr char kRequiredJdk[] = "java-17-openjdk-" TARSIL_JDK_ARCH;

struct JvmRun {
    int exitCode = -1;
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct JvmLaunch {
    std::vector<std::string> args;               // after the java launcher
    std::vector<std::string> setEnv;             // NAME=VALUE
    std::string workDir;
    int timeoutSeconds = 120;
};

JvmRun runJava(const Jdk& jdk, const JvmLaunch& launch);
// Runs a program of the JDK's system (in its chroot, when it has one) with
// the launch's environment, folder and time limit; launch.args is unused.
JvmRun runInJdkSystem(const Jdk& jdk, std::vector<std::string> command, const JvmLaunch& launch);

// A loopback TCP port that was free a moment ago (bound to port 0, then
// released).
int freeLoopbackPort();

// The agent library the running test's JDK (set by PerJdkTest) loads:
// this build's, or in a chroot the one built for old C libraries, which
// `make dist` ships; and its variant that cannot switch class data sharing
// off.
const char* testedLibrary();
const char* testedCdsKeptLibrary();
#define TARSIL_LIBRARY testedLibrary()
#define TARSIL_CDS_KEPT_LIBRARY testedCdsKeptLibrary()

// "-agentpath:<library>" with options, when any.
std::string agentPath(const std::string& options = "");

#include <gtest/gtest.h>

#include <ostream>

// A fixture run once per candidate JDK: an absent JDK is skipped with its
// reason, except the Debian JDK 17, whose absence fails the test.
class PerJdkTest : public ::testing::TestWithParam<Jdk> {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Skips the running test, with the reason, on JDKs older than a version.
#define SKIP_BELOW_JAVA(version, reason)                                                                 \
    if (GetParam().featureVersion() < (version))                                                      \
    GTEST_SKIP() << "needs Java " << (version) << " or later (" << GetParam().name << " is Java " \
                 << GetParam().featureVersion() << "): " << (reason)

// The JDK's folder name as a test name.
std::string jdkTestName(const ::testing::TestParamInfo<Jdk>& info);

// Names the JDK in test output.
inline void PrintTo(const Jdk& jdk, std::ostream* os) {
    *os << jdk.name;
}
