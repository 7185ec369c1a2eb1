// The class-file load hooks before the Java transformer exists: depth
// counters, module lookups and tracing.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "classFileLoadHook.h"
#include "logging.h"
#include "agent_state.h"
#include "support/child.h"
#include "support/fake_jvmti.h"

namespace {

class Hooks : public ::testing::Test {
protected:
    void SetUp() override { memset(&agent, 0, sizeof agent); }
    void TearDown() override {
        memset(&agent, 0, sizeof agent);
        log_stderr(1);
    }
    void load(jvmtiEnv* env, const char* name, bool retransform = false) {
        jint newLength = 0;
        unsigned char* newData = nullptr;
        const unsigned char bytes[] = {0xCA, 0xFE, 0xBA, 0xBE};
        auto hook = retransform ? callback_ClassFileLoadHook_retransform : callback_ClassFileLoadHook_transform;
        hook(env, nullptr, nullptr, nullptr, name, nullptr, 4, bytes, &newLength, &newData);
        EXPECT_EQ(newData, nullptr);
        EXPECT_EQ(newLength, 0);
    }
};

}  // namespace

TEST_F(Hooks, DepthCountersNestPerEnvironmentWithoutJvmtiCalls) {
    // Thread-local storage that fails in every way is never asked.
    FakeJvmtiScript script;
    script.failures["GetThreadLocalStorage"] = JVMTI_ERROR_INTERNAL;
    script.failures["SetThreadLocalStorage"] = JVMTI_ERROR_INTERNAL;
    FakeJvm jvm(script);
    jvmtiEnv* main = jvm.newEnv();
    jvmtiEnv* retransform = jvm.newEnv();
    EXPECT_EQ(monitorEnter(main), 0);
    EXPECT_EQ(monitorEnter(main), 1);
    EXPECT_EQ(monitorEnter(retransform), 0);  // each environment counts on its own
    EXPECT_EQ(monitorEnter(main), 2);
    EXPECT_EQ(monitorExit(main), 2);
    EXPECT_EQ(monitorExit(main), 1);
    EXPECT_EQ(monitorExit(retransform), 0);
    EXPECT_EQ(monitorExit(main), 0);
    load(main, "a/B");
    load(retransform, "a/B", true);
    EXPECT_TRUE(jvm.calls().empty()) << jvm.calls().front();
}

TEST_F(Hooks, EveryThreadHasItsOwnCounter) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    EXPECT_EQ(monitorEnter(env), 0);
    int otherDepth = -1;
    std::thread other([&] {
        otherDepth = monitorEnter(env);
        monitorExit(env);
    });
    other.join();
    EXPECT_EQ(otherDepth, 0);
    EXPECT_EQ(monitorExit(env), 0);
}

TEST_F(Hooks, NullNameIsIgnoredEntirely) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    agent.java9 = 1;
    load(env, nullptr);
    load(env, nullptr, true);
    EXPECT_TRUE(jvm.calls().empty());
}

TEST_F(Hooks, ModuleIsLookedUpByPackageOnJava9Only) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    agent.java9 = 1;
    // No transformer yet: nothing calls Java, so no module is looked up.
    load(env, "java/lang/String");
    load(env, "java/lang/String", true);
    EXPECT_EQ(jvm.count("GetNamedModule"), 0u);

    std::string longPackage(300, 'p');
    for (const std::string& name : {std::string("java/lang/String"), std::string("NoPackage"),
                                    std::string("com/acme/deep/Inner$1"), longPackage + "/Cls"}) {
        getModuleObject(env, nullptr, name.c_str());
    }
    EXPECT_TRUE(jvm.called("GetNamedModule(java/lang)"));
    EXPECT_TRUE(jvm.called("GetNamedModule()"));
    EXPECT_TRUE(jvm.called("GetNamedModule(com/acme/deep)"));
    EXPECT_TRUE(jvm.called("GetNamedModule(" + longPackage + ")"));
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);

    memset(&agent, 0, sizeof agent);
    FakeJvm old;
    EXPECT_EQ(getModuleObject(old.newEnv(), nullptr, "java/lang/String"), nullptr);
    EXPECT_EQ(old.count("GetNamedModule"), 0u);
}

TEST_F(Hooks, ModuleLookupFailuresOtherThanWrongPhaseAreLogged) {
    agent.java9 = 1;
    {
        FakeJvmtiScript script;
        script.failures["GetNamedModule"] = JVMTI_ERROR_WRONG_PHASE;
        FakeJvm jvm(script);
        StderrCapture err;
        EXPECT_EQ(getModuleObject(jvm.newEnv(), nullptr, "java/lang/String"), nullptr);
        EXPECT_EQ(err.text(), "");
    }
    {
        FakeJvmtiScript script;
        script.failures["GetNamedModule"] = JVMTI_ERROR_ILLEGAL_ARGUMENT;
        FakeJvm jvm(script);
        StderrCapture err;
        EXPECT_EQ(getModuleObject(jvm.newEnv(), nullptr, "java/lang/String"), nullptr);
        EXPECT_EQ(err.text(), "Tarsil-JVMTI [ERROR] Could not get module of java/lang/String\n");
    }
}

TEST_F(Hooks, TracingFollowsThePrefix) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    log_stderr(4);
    agent.transformTracePrefix = const_cast<char*>("com/acme/");
    {
        StderrCapture err;
        load(env, "com/acme/Traced");
        EXPECT_EQ(err.text(),
                  "Tarsil-JVMTI [DEBUG] Transforming com/acme/Traced\n"
                  "Tarsil-JVMTI [DEBUG] Failed to print the stack trace, JVMTI error: 15\n");
    }
    {
        StderrCapture err;
        load(env, "com/other/NotTraced");
        load(env, "com/acme/Traced", true);  // the retransform hook never traces
        EXPECT_EQ(err.text(), "");
    }
    agent.transformTracePrefix = const_cast<char*>("");
    StderrCapture err;
    load(env, "com/acme/Traced");
    EXPECT_EQ(err.text(), "");
}
