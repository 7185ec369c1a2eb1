#include <gtest/gtest.h>

#include "agent_util.h"
#include "logging.h"
#include "support/child.h"
#include "support/fake_jvmti.h"

TEST(CheckJvmtiError, SuccessReturnsWithoutAnyCall) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    check_jvmti_error(env, JVMTI_ERROR_NONE, nullptr);
    check_jvmti_error(env, JVMTI_ERROR_NONE, "anything");
    EXPECT_TRUE(jvm.calls().empty());
}

TEST(CheckJvmtiError, ErrorIsLoggedWithItsNameThenTheProcessStops) {
    ChildResult child = runInChild([]() -> std::string {
        FakeJvm jvm;
        check_jvmti_error(jvm.newEnv(), JVMTI_ERROR_MUST_POSSESS_CAPABILITY, "Failed setting native prefix!");
        return "survived";
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.report, "");
    EXPECT_EQ(child.err.rfind("Tarsil-JVMTI [FATAL] ERROR: JVMTI: 99(JVMTI_ERROR_MUST_POSSESS_CAPABILITY): "
                              "Failed setting native prefix!\n\n\nFor further assistance please contact ",
                              0),
              0u)
        << child.err;
}

TEST(CheckJvmtiError, UnnamedErrorAndNullMessageStillStop) {
    ChildResult child = runInChild([]() -> std::string {
        FakeJvmtiScript script;
        script.errorNamesKnown = false;
        FakeJvm jvm(script);
        check_jvmti_error(jvm.newEnv(), JVMTI_ERROR_UNMODIFIABLE_CLASS, nullptr);
        return "survived";
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.err.rfind("Tarsil-JVMTI [FATAL] ERROR: JVMTI: 79(Unknown): \n\n", 0), 0u) << child.err;
}

TEST(CheckedMemory, AllocateAndDeallocateGoThroughTheEnvironment) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    void* zero = allocate(env, 0);
    void* block = allocate(env, 64);
    EXPECT_TRUE(jvm.called("Allocate(0)"));
    EXPECT_TRUE(jvm.called("Allocate(64)"));
    EXPECT_EQ(jvm.outstandingAllocations(), 2u);
    deallocate(env, zero);
    deallocate(env, block);
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);
}

TEST(CheckedMemory, FailedAllocationIsFatal) {
    ChildResult child = runInChild([]() -> std::string {
        FakeJvmtiScript script;
        script.failures["Allocate"] = JVMTI_ERROR_OUT_OF_MEMORY;
        FakeJvm jvm(script);
        allocate(jvm.newEnv(), 16);
        return "survived";
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("ERROR: JVMTI: 110(JVMTI_ERROR_OUT_OF_MEMORY): Cannot allocate memory\n\n"),
              std::string::npos);
}

TEST(CheckedMemory, FailedDeallocationIsFatal) {
    ChildResult child = runInChild([]() -> std::string {
        FakeJvmtiScript script;
        FakeJvm jvm(script);
        jvmtiEnv* env = jvm.newEnv();
        void* block = allocate(env, 8);
        jvm.script().failures["Deallocate"] = JVMTI_ERROR_ILLEGAL_ARGUMENT;
        deallocate(env, block);
        return "survived";
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("Cannot deallocate memory"), std::string::npos);
}

TEST(Properties, IsPropertySetComparesExactlyAndReleasesTheValue) {
    FakeJvmtiScript script;
    script.properties["java.vm.vendor"] = "Eclipse OpenJ9";
    FakeJvm jvm(script);
    jvmtiEnv* env = jvm.newEnv();
    StderrCapture err;
    EXPECT_EQ(isPropertySet(env, "java.vm.vendor", "Eclipse OpenJ9"), 1);
    EXPECT_EQ(isPropertySet(env, "java.vm.vendor", "eclipse openj9"), 0);
    EXPECT_EQ(isPropertySet(env, "java.vm.vendor", "Eclipse"), 0);
    EXPECT_EQ(isPropertySet(env, "absent.property", ""), 0);
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);
    EXPECT_EQ(err.text(), "");
}

TEST(Properties, GetSystemPropertyOwnsTheValueAndReportsErrors) {
    FakeJvmtiScript script;
    script.properties["java.home"] = "/usr/lib/jvm/x";
    FakeJvm jvm(script);
    jvmtiEnv* env = jvm.newEnv();
    {
        JvmtiString home = getSystemProperty(env, "java.home");
        ASSERT_TRUE(home);
        EXPECT_STREQ(home.get(), "/usr/lib/jvm/x");
        EXPECT_EQ(jvm.outstandingAllocations(), 1u);
        jvmtiError error = JVMTI_ERROR_NONE;
        JvmtiString missing = getSystemProperty(env, "nope", &error);
        EXPECT_FALSE(missing);
        EXPECT_EQ(error, JVMTI_ERROR_NOT_AVAILABLE);
    }
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);
}

TEST(Properties, DumpLogsEveryPropertyAtDebugAndReleasesEverything) {
    FakeJvmtiScript script;
    script.properties = {{"a.one", "1"}, {"b.two", "2"}};
    FakeJvm jvm(script);
    jvmtiEnv* env = jvm.newEnv();
    StderrCapture err;
    log_stderr(4);
    print_available_system_property_names(env);
    log_stderr(1);
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [DEBUG] Property a.one = 1\nTarsil-JVMTI [DEBUG] Property b.two = 2\n");
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);
}

TEST(Properties, DumpWarnsWhenTheListIsUnavailable) {
    FakeJvmtiScript script;
    script.failures["GetSystemProperties"] = JVMTI_ERROR_WRONG_PHASE;
    FakeJvm jvm(script);
    StderrCapture err;
    log_stderr(2);
    print_available_system_property_names(jvm.newEnv());
    log_stderr(1);
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [WARN] failed to get properties 112\n\n");
}
