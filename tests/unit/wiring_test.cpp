// Boot class path strategy, capabilities and callbacks against the fake host.
#include <gtest/gtest.h>

#include <cstring>

#include "boot_cp_emu.h"
#include "classFileLoadHook.h"
#include "jarinfo.h"
#include "logging.h"
#include "onLoad.h"
#include "support/child.h"
#include "support/fake_jvmti.h"
#include "support/jars.h"
#include "vmInit.h"

extern "C" {
// Stands in for the JVM's flag: the class-data-sharing switch looks it up in
// the library that holds the invocation interface, here this program.
__attribute__((visibility("default"), used)) bool UseSharedSpaces = true;
}

namespace {

class Wiring : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&agent, 0, sizeof agent);
        static JarInfo jar{const_cast<char*>("/opt/tarsil/tarsil.jar"), "", ""};
        agent.jarInfo = &jar;
        log_stderr(4);
    }
    void TearDown() override {
        log_stderr(1);
        memset(&agent, 0, sizeof agent);
    }
    // A bootstrap jar for the emulation to open.
    static const char* bootstrapJar() {
        static TempDir dir;
        static std::string path = [] {
            std::string jar = dir.file("tarsil-bootstrap.jar");
            writeJar(jar, {{"tarsilbase-classes.txt", "-\n"}});
            return jar;
        }();
        return path.c_str();
    }
    std::vector<std::string> callsStartingWith(const FakeJvm& jvm, const std::string& prefix) {
        std::vector<std::string> found;
        for (const auto& call : jvm.calls()) {
            if (call.rfind(prefix, 0) == 0) found.push_back(call);
        }
        return found;
    }
};

}  // namespace

TEST_F(Wiring, Java8PrependsTheBootstrapJarToTheBootClassPath) {
    FakeJvmtiScript script;
    script.properties["sun.boot.class.path"] = "/jre/lib/rt.jar:/jre/lib/jsse.jar";
    FakeJvm jvm(script);
    agent.bootstrapJarPath = const_cast<char*>("/cache/tarsil-bootstrap-ab.jar");
    StderrCapture err;
    initBootclassPath(jvm.newEnv(), 0);
    EXPECT_EQ(jvm.script().properties["sun.boot.class.path"],
              "/cache/tarsil-bootstrap-ab.jar:/jre/lib/rt.jar:/jre/lib/jsse.jar");
    EXPECT_EQ(err.text(),
              "Tarsil-JVMTI [DEBUG] Patching sun.boot.class.path ...\n"
              "Tarsil-JVMTI [DEBUG] Prepended /cache/tarsil-bootstrap-ab.jar to sun.boot.class.path\n");
    EXPECT_EQ(jvm.outstandingAllocations(), 0u);
}

TEST_F(Wiring, EmulationIsChosenWithoutReadingTheProperty) {
    for (int java9 : {0, 1}) {
        FakeJvmtiScript script;
        script.properties["sun.boot.class.path"] = "/jre/lib/rt.jar";
        FakeJvm jvm(script);
        agent.java9 = java9;
        agent.bootstrapJarPath = const_cast<char*>(bootstrapJar());
        agent.jvmti = jvm.newEnv();
        StderrCapture err;
        initBootclassPath(agent.jvmti, !java9);
        EXPECT_EQ(err.text(), "Tarsil-JVMTI [DEBUG] Turning on boot class path emulation\n");
        EXPECT_FALSE(jvm.called("GetSystemProperty"));
        EXPECT_EQ(jvm.script().properties["sun.boot.class.path"], "/jre/lib/rt.jar");
        EXPECT_EQ(bcp_emu_enabled, 1);
        EXPECT_TRUE(jvm.called("CreateRawMonitor(BCPEmuMonitor)"));
        bcp_emu_close(agent.jvmti);
    }
}

TEST_F(Wiring, UnavailableBootClassPathTurnsEmulationOn) {
    FakeJvm jvm;
    agent.bootstrapJarPath = const_cast<char*>(bootstrapJar());
    agent.jvmti = jvm.newEnv();
    StderrCapture err;
    initBootclassPath(agent.jvmti, 0);
    EXPECT_EQ(err.text(),
              "Tarsil-JVMTI [DEBUG] sun.boot.class.path not available yet, turning on boot class path emulation\n");
    EXPECT_FALSE(jvm.called("SetSystemProperty"));
    EXPECT_EQ(bcp_emu_enabled, 1);
    bcp_emu_close(agent.jvmti);
}

TEST_F(Wiring, OtherBootClassPathErrorsAreFatal) {
    ChildResult child = runInChild([] {
        FakeJvmtiScript script;
        script.failures["GetSystemProperty"] = JVMTI_ERROR_WRONG_PHASE;
        FakeJvm jvm(script);
        initBootclassPath(jvm.newEnv(), 0);
        return std::string("survived");
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("ERROR: JVMTI: 112(JVMTI_ERROR_WRONG_PHASE): GetSystemProperty 'sun.boot.class.path'"),
              std::string::npos);
}

TEST_F(Wiring, CallbacksTableHasTheJdk11SizeExceptOnOldIbmJvms) {
    EXPECT_EQ(size_of_jvmtiEventCallbacks(), static_cast<jint>(37 * sizeof(void*)));
    agent.ibmVendor = 1;
    agent.jvmtiMajorVersion = 11;
    EXPECT_EQ(size_of_jvmtiEventCallbacks(), static_cast<jint>(37 * sizeof(void*)));
    for (jint major : {1, 8, 10}) {
        agent.jvmtiMajorVersion = major;
        StderrCapture err;
        EXPECT_EQ(size_of_jvmtiEventCallbacks(), static_cast<jint>(35 * sizeof(void*)));
        EXPECT_EQ(err.text(), "Tarsil-JVMTI [DEBUG] Detected pre JDK 11 IBM JVM, using jvmtiEventCallbacks callback size= " +
                                  std::to_string(35 * sizeof(void*)) + " instead of " +
                                  std::to_string(37 * sizeof(void*)) + "\n");
    }
    agent.ibmVendor = 0;
    agent.openJ9 = 1;
    agent.jvmtiMajorVersion = 8;
    EXPECT_EQ(size_of_jvmtiEventCallbacks(), static_cast<jint>(37 * sizeof(void*)));
}

TEST_F(Wiring, MainEnvironmentRegistersTheThreeCallbacksAndEvents) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    agent.java9 = 1;
    initMainTransformer(env);
    const jvmtiCapabilities& caps = jvm.capabilities(env);
    EXPECT_TRUE(caps.can_redefine_classes && caps.can_generate_all_class_hook_events &&
                caps.can_set_native_method_prefix && caps.can_generate_early_class_hook_events);
    EXPECT_FALSE(caps.can_retransform_classes);
    EXPECT_EQ(jvm.callbacks(env).VMStart, &callback_VMStart);
    EXPECT_EQ(jvm.callbacks(env).VMInit, &callback_VMInit);
    EXPECT_EQ(jvm.callbacks(env).ClassFileLoadHook, &callback_ClassFileLoadHook_transform);
    EXPECT_EQ(jvm.callbacksSize(env), static_cast<jint>(37 * sizeof(void*)));
    EXPECT_EQ(callsStartingWith(jvm, "AddToBootstrapClassLoaderSearch"),
              std::vector<std::string>{"AddToBootstrapClassLoaderSearch(/opt/tarsil/tarsil.jar)"});
    EXPECT_EQ(callsStartingWith(jvm, "SetEventNotificationMode"),
              (std::vector<std::string>{"SetEventNotificationMode(1,57)", "SetEventNotificationMode(1,50)",
                                        "SetEventNotificationMode(1,54)"}));
}

TEST_F(Wiring, Java8MainEnvironmentHasNoEarlyHookEvents) {
    FakeJvm jvm;
    jvmtiEnv* env = jvm.newEnv();
    initMainTransformer(env);
    EXPECT_FALSE(jvm.capabilities(env).can_generate_early_class_hook_events);
}

TEST_F(Wiring, OpenJ9GetsTheBootstrapJarBeforeTheAgentJar) {
    FakeJvm jvm;
    agent.java9 = 1;
    agent.openJ9 = 1;
    agent.bootstrapJarPath = const_cast<char*>("/cache/boot.jar");
    initMainTransformer(jvm.newEnv());
    EXPECT_EQ(callsStartingWith(jvm, "AddToBootstrapClassLoaderSearch"),
              (std::vector<std::string>{"AddToBootstrapClassLoaderSearch(/cache/boot.jar)",
                                        "AddToBootstrapClassLoaderSearch(/opt/tarsil/tarsil.jar)"}));
}

TEST_F(Wiring, RetransformEnvironmentCanRetransformButNotRedefine) {
    FakeJvm jvm;
    initRetransform(jvm.vm());
    ASSERT_NE(agent.retransformJvmti, nullptr);
    EXPECT_TRUE(jvm.called("GetEnv(0x30010100)"));
    const jvmtiCapabilities& caps = jvm.capabilities(agent.retransformJvmti);
    EXPECT_TRUE(caps.can_retransform_classes && caps.can_set_native_method_prefix);
    EXPECT_FALSE(caps.can_redefine_classes);
    EXPECT_EQ(jvm.callbacks(agent.retransformJvmti).ClassFileLoadHook, &callback_ClassFileLoadHook_retransform);
    EXPECT_EQ(jvm.callbacks(agent.retransformJvmti).VMInit, nullptr);
    EXPECT_TRUE(jvm.called("SetEventNotificationMode(1,54)"));
}

TEST_F(Wiring, RetransformEnvironmentRefusals) {
    ChildResult old = runInChild([] {
        FakeJvmtiScript script;
        script.acceptedVersions.clear();
        FakeJvm jvm(script);
        initRetransform(jvm.vm());
        return std::string("survived");
    });
    EXPECT_EQ(old.exitCode, 3);
    EXPECT_EQ(old.err, "Tarsil-JVMTI [FATAL] Tarsil Agent requires at least Java 6 (failed to acquire JVM TI 1.1 "
                       "environment)\n");

    ChildResult other = runInChild([] {
        FakeJvmtiScript script;
        script.acceptedVersions.clear();
        script.getEnvError = JNI_ERR;
        FakeJvm jvm(script);
        initRetransform(jvm.vm());
        return std::string("survived");
    });
    EXPECT_EQ(other.exitCode, 3);
    EXPECT_EQ(other.err.rfind("Tarsil-JVMTI [FATAL] ERROR: Unable to create jvmtiEnv, GetEnv failed, error=-1\n\n", 0),
              0u)
        << other.err;
}

TEST_F(Wiring, ClassDataSharingIsSwitchedOffFromJava11On) {
    FakeJvm jvm;
    UseSharedSpaces = true;
    {
        StderrCapture err;
        disable_class_data_sharing(jvm.vm(), 0x300A0000);
        EXPECT_TRUE(UseSharedSpaces);
        EXPECT_EQ(err.text(), "");
    }
    {
        StderrCapture err;
        disable_class_data_sharing(jvm.vm(), 0x300B0000);
        EXPECT_FALSE(UseSharedSpaces);
        EXPECT_EQ(err.text(),
                  "Tarsil-JVMTI [DEBUG] Found class sharing flag UseSharedSpaces=1\n"
                  "Tarsil-JVMTI [DEBUG] Setting class sharing flag to 0\n");
    }
    {
        StderrCapture err;
        disable_class_data_sharing(jvm.vm(), 0x30110000);
        EXPECT_EQ(err.text(), "Tarsil-JVMTI [DEBUG] Found class sharing flag UseSharedSpaces=0\n");
    }
}
