// Starts a real JVM with a command line, a time limit and its own temporary
// folder, and captures its exit status, standard output and standard error.
#pragma once

#include <string>
#include <vector>

struct Jdk {
    std::string name;  // folder name under /usr/lib/jvm
    std::string home;
    bool installed() const;
    // Whether its launcher is built for the machine the tests are built for:
    // a 32-bit test build runs the 32-bit JDK, and so on.
    bool matchesBuild() const;
};

// The JDKs the tests run on: the Debian JDK 17 of the build's architecture
// always, a few well-known others (skipped when absent) and every other JDK
// found under /usr/lib/jvm (skipped when built for another machine).
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

// A loopback TCP port that was free a moment ago (bound to port 0, then
// released).
int freeLoopbackPort();

// "-agentpath:<library>" with options, when any.
std::string agentPath(const std::string& options = "");

#include <gtest/gtest.h>

#include <ostream>

// A fixture run once per candidate JDK: an absent JDK is skipped with its
// reason, except the Debian JDK 17, whose absence fails the test.
class PerJdkTest : public ::testing::TestWithParam<Jdk> {
protected:
    void SetUp() override;
};

// The JDK's folder name as a test name.
std::string jdkTestName(const ::testing::TestParamInfo<Jdk>& info);

// Names the JDK in test output.
inline void PrintTo(const Jdk& jdk, std::ostream* os) {
    *os << jdk.name;
}
