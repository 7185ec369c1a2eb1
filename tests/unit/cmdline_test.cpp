#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline_linux.h"
#include "fileutils.h"
#include "logging.h"
#include "support/child.h"

namespace {

std::vector<std::string> split(std::string_view bytes) {
    int argc = -1;
    char** argv = nullptr;
    splitProcCmdline(bytes, &argc, &argv);
    std::vector<std::string> args(argv, argv + argc);
    freeCommandLineArguments(argc, argv);
    return args;
}

using Args = std::vector<std::string>;

}  // namespace

TEST(ProcCmdline, SplitsNulSeparatedArguments) {
    using namespace std::string_literals;
    EXPECT_EQ(split("java\0-Xmx1g\0-jar\0app.jar\0"s), (Args{"java", "-Xmx1g", "-jar", "app.jar"}));
    EXPECT_EQ(split("java\0"s), (Args{"java"}));
    EXPECT_EQ(split(""s), Args{});
}

TEST(ProcCmdline, EmptyArgumentEndsTheList) {
    using namespace std::string_literals;
    EXPECT_EQ(split("java\0-Da=1\0\0-Db=2\0"s), (Args{"java", "-Da=1"}));
}

TEST(ProcCmdline, ArgumentWithoutItsNulIsNotCounted) {
    using namespace std::string_literals;
    EXPECT_EQ(split("java\0-cp\0partial"s), (Args{"java", "-cp"}));
}

TEST(ProcCmdline, LineCutAtTheLimitDropsTheLastWholeArgumentAndWarns) {
    std::string bytes = "java";
    bytes += '\0';
    std::string big(1000, 'a');
    while (bytes.size() + big.size() + 1 <= kCmdlineReadLimit) {
        bytes += big;
        bytes += '\0';
    }
    size_t whole = 0;
    for (char c : bytes) whole += c == '\0';
    bytes.resize(kCmdlineReadLimit, 'z');  // the last argument runs past the limit

    StderrCapture err;
    log_stderr(2);
    Args args = split(bytes);
    log_stderr(1);
    EXPECT_EQ(args.size(), whole - 1);
    EXPECT_EQ(args.front(), "java");
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [WARN] Did not reach end of file when reading cmdline\n");
}

TEST(ProcCmdline, LineEndingExactlyAtTheLimitAlsoLosesOneArgument) {
    std::string bytes(kCmdlineReadLimit, 'x');
    bytes[4] = '\0';
    bytes[kCmdlineReadLimit - 1] = '\0';
    StderrCapture err;
    Args args = split(bytes);
    EXPECT_EQ(args, Args{std::string(bytes.data())});
}

TEST(ProcCmdline, ReadsThisProcessesOwnCommandLine) {
    int argc = 0;
    char** argv = nullptr;
    ASSERT_EQ(getCommandLineArguments(&argc, &argv), 0);
    ASSERT_GE(argc, 1);
    EXPECT_NE(std::string(argv[0]).find("unit_tests"), std::string::npos) << argv[0];
    freeCommandLineArguments(argc, argv);
}
