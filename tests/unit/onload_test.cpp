// Agent_OnLoad against the fake JVM TI host. Each case runs in a child
// process: the agent's once-only guard and the environment marker are
// process-wide.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#include "logging.h"
#include "onLoad.h"
#include "support/child.h"
#include "support/fake_java.h"
#include "support/fake_jvmti.h"
#include "support/jars.h"
#include "jarinfo.h"

namespace {

// What the child reports about the agent after Agent_OnLoad.
std::string describe(FakeJvm& jvm, jint result) {
    std::ostringstream out;
    out << "result=" << result << " major=" << agent.jvmtiMajorVersion << " java9=" << agent.java9
        << " ibm=" << agent.ibmVendor << " openj9=" << agent.openJ9
        << " options=" << (agent.options ? agent.options : "NULL")
        << " trace=" << (agent.transformTracePrefix ? agent.transformTracePrefix : "NULL")
        << " prefix=" << jvm.nativeMethodPrefix() << " marker="
        << (getenv("VESTA_NATIVE_PRESENT") ? getenv("VESTA_NATIVE_PRESENT") : "unset");
    return out.str();
}

ChildResult load(FakeJvmtiScript script, const char* options) {
    return runInChild([script, options]() {
        FakeJvm jvm(script);
        std::string copy = options ? options : "";
        jint result = Agent_OnLoad(jvm.vm(), options ? copy.data() : nullptr, nullptr);
        return describe(jvm, result);
    });
}

// An agent jar shared by every case of this program.
const std::string& agentJar() {
    static TempDir dir;
    static std::string jar = [] {
        std::string path = dir.file("tarsil.jar");
        writeManifestJar(path, "Premain-Class: com.acme.Agent\nImplementation-Version: 1.2.3\n");
        return path;
    }();
    return jar;
}
// Made before any child forks, so that every child shares the one jar.
const std::string& kAgentJar = agentJar();
const std::string& kFakeJavaHome = fakeJavaHome();

FakeJvmtiScript hotspot(jint version = 0x300B0000) {
    FakeJvmtiScript script;
    script.version = version;
    script.properties["java.vm.vendor"] = "Oracle Corporation";
    script.properties["vesta.native.jar"] = agentJar();
    static TempDir bootcache;
    script.properties["vesta.bootcache.dir"] = bootcache.path();
    script.properties["java.home"] = fakeJavaHome();
    return script;
}

}  // namespace

TEST(AgentOnLoad, ModernJvmInitialisesWithPrefixAndMarker) {
    ChildResult child = load(hotspot(0x300B0000), "debug,foo=bar");
    ASSERT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report,
              "result=0 major=11 java9=1 ibm=0 openj9=0 options=debug,foo=bar trace=NULL prefix=_ts$jni$ marker=true");
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] JVM vendor string = Oracle Corporation\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        child.err, std::regex(R"(\nTarsil-JVMTI \[DEBUG\] Initializing agent\.\.\. )"
                              R"(1\.1\.13-\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n)")))
        << child.err;
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] Java 9+ detected: true\n"), std::string::npos);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [INFO] VM vendor: Oracle Corporation\n"), std::string::npos);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] Agent initialization completed.\n"), std::string::npos);
}

TEST(AgentOnLoad, VersionMajorComesFromBitsSixteenToTwentySeven) {
    EXPECT_NE(load(hotspot(0x30010200), nullptr).report.find("major=1 java9=0"), std::string::npos);
    EXPECT_NE(load(hotspot(0x30090000), nullptr).report.find("major=9 java9=1"), std::string::npos);
    EXPECT_NE(load(hotspot(0x30190001), nullptr).report.find("major=25 java9=1"), std::string::npos);
}

TEST(AgentOnLoad, WithoutOptionsNothingIsLoggedBelowError) {
    // The first start may run the child, whose own output is passed on to
    // standard error; the library itself says nothing below ERROR.
    load(hotspot(), nullptr);
    ChildResult child = load(hotspot(), nullptr);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.report.find("options=NULL"), std::string::npos);
    EXPECT_EQ(child.err, "");
}

TEST(AgentOnLoad, DebugKeywordMatchesInsideLongerWords) {
    ChildResult child = load(hotspot(), "nodebug");
    EXPECT_NE(child.err.find("[DEBUG] Agent initialization completed."), std::string::npos);
}

TEST(AgentOnLoad, VendorFlags) {
    auto vendor = [](const char* name) {
        FakeJvmtiScript script = hotspot();
        script.properties["java.vm.vendor"] = name;
        return load(script, nullptr).report;
    };
    EXPECT_NE(vendor("Eclipse OpenJ9").find("ibm=0 openj9=1"), std::string::npos);
    EXPECT_NE(vendor("IBM Corporation").find("ibm=1 openj9=0"), std::string::npos);
    EXPECT_NE(vendor("SAP AG").find("ibm=0 openj9=0"), std::string::npos);
    EXPECT_NE(vendor("ibm corporation").find("ibm=0 openj9=0"), std::string::npos);
}

TEST(AgentOnLoad, MissingVendorIsWarnedAboutAndStartUpGoesOn) {
    FakeJvmtiScript script = hotspot();
    script.properties.erase("java.vm.vendor");
    ChildResult child = load(script, "debug");
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [WARN] Couldn't determine the JVM vendor, err=98\n"), std::string::npos);
    EXPECT_EQ(child.err.find("JVM vendor string"), std::string::npos);
}

TEST(AgentOnLoad, TracePrefixIsTakenFromItsProperty) {
    FakeJvmtiScript script = hotspot();
    script.properties["vesta.transform.trace.prefix"] = "com/acme/";
    EXPECT_NE(load(script, nullptr).report.find("trace=com/acme/"), std::string::npos);
}

TEST(AgentOnLoad, OldJvmGetsTheOneOneEnvironment) {
    ChildResult child = runInChild([] {
        FakeJvmtiScript script = hotspot(0x30010200);
        script.acceptedVersions = {0x30010100};
        FakeJvm jvm(script);
        Agent_OnLoad(jvm.vm(), nullptr, nullptr);
        std::string calls;
        for (const auto& call : jvm.calls()) {
            if (call.rfind("GetEnv", 0) == 0) calls += call + ";";
        }
        return calls;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    // The second 1.1 environment is the retransformation one.
    EXPECT_EQ(child.report, "GetEnv(0x30090000);GetEnv(0x30010100);GetEnv(0x30010100);");
}

TEST(AgentOnLoad, NoEnvironmentAtAllEndsTheProcessQuietly) {
    FakeJvmtiScript script = hotspot();
    script.acceptedVersions.clear();
    ChildResult child = load(script, nullptr);
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.err,
              "Tarsil-JVMTI [FATAL] Tarsil Agent requires at least Java 6 (failed to acquire JVM TI 1.1 "
              "environment)\n");
}

TEST(AgentOnLoad, MissingNativePrefixFunctionEndsTheProcess) {
    FakeJvmtiScript script = hotspot();
    script.omitSetNativeMethodPrefix = true;
    ChildResult child = load(script, nullptr);
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.err, "Tarsil-JVMTI [FATAL] Tarsil Agent requires at least Java 6\n");
}

TEST(AgentOnLoad, RefusedNativePrefixIsFatal) {
    FakeJvmtiScript script = hotspot();
    script.failures["SetNativeMethodPrefix"] = JVMTI_ERROR_WRONG_PHASE;
    ChildResult child = load(script, nullptr);
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("ERROR: JVMTI: 112(JVMTI_ERROR_WRONG_PHASE): Failed setting native prefix!\n\n"),
              std::string::npos);
}

TEST(AgentOnLoad, OnlyTheRetransformEnvironmentCanRetransform) {
    ChildResult child = runInChild([] {
        FakeJvm jvm(hotspot(0x300B0000));
        Agent_OnLoad(jvm.vm(), nullptr, nullptr);
        const jvmtiCapabilities& caps = jvm.capabilities(agent.jvmti);
        const jvmtiCapabilities& retransform = jvm.capabilities(agent.retransformJvmti);
        std::ostringstream out;
        out << caps.can_redefine_classes << caps.can_generate_all_class_hook_events
            << caps.can_set_native_method_prefix << caps.can_generate_early_class_hook_events
            << caps.can_retransform_classes << " " << retransform.can_retransform_classes
            << retransform.can_redefine_classes;
        return out.str();
    });
    EXPECT_EQ(child.report, "11110 10");
}

TEST(AgentOnLoad, StepsRunInOrderAndFillTheAgentRecord) {
    TempDir emptyCache;  // so that the bootstrap jar is generated
    ChildResult child = runInChild([&emptyCache] {
        FakeJvmtiScript script = hotspot(0x30080000);
        script.properties["sun.boot.class.path"] = "/jre/lib/rt.jar";
        script.properties["vesta.bootcache.dir"] = emptyCache.path();
        FakeJvm jvm(script);
        Agent_OnLoad(jvm.vm(), nullptr, nullptr);
        std::string calls;
        for (const auto& call : jvm.calls()) {
            if (call.rfind("Get", 0) == 0 && call.rfind("GetEnv", 0) != 0 && call.rfind("GetSystemProperty", 0) != 0) {
                continue;
            }
            if (call == "Deallocate") continue;
            calls += call + "\n";
        }
        return calls + "bootstrap=" + agent.bootstrapJarPath + "\njar=" + agent.jarInfo->path + " premain=" + agent.jarInfo->premainClass +
               " retransform=" + (agent.retransformJvmti != nullptr && agent.retransformJvmti != agent.jvmti ? "own" : "missing");
    });
    ASSERT_EQ(child.exitCode, 0) << child.err;
    const std::string kProperties =
        "GetSystemProperty(java.home)\n"
        "GetSystemProperty(java.vm.vendor)\n"
        "GetSystemProperty(sun.boot.class.path)\n"
        "GetSystemProperty(vesta.bootcache.dir)\n"
        "GetSystemProperty(vesta.native.jar)\n";
    std::smatch bootstrap;
    ASSERT_TRUE(std::regex_search(child.report, bootstrap, std::regex("bootstrap=(/.*/tarsil-bootstrap-[0-9a-f]{32}\\.jar)\n")))
        << child.report;
    const std::string bootstrapJar = bootstrap[1];
    EXPECT_EQ(child.report,
              "GetEnv(0x30090000)\n"
              // the vendor, read once into the agent state
              "GetSystemProperty(java.vm.vendor)\n"
              "GetSystemProperty(vesta.bootcache.dir)\n"
              "GetSystemProperty(vesta.native.jar)\n"
              // the runtime hash: the properties
              "GetSystemProperty(java.home)\n"
              "GetSystemProperty(java.vm.vendor)\n"
              "GetSystemProperty(vesta.native.jar)\n"
              // the child's time limit, which also bounds the wait for the lock
              "GetSystemProperty(vesta.bootstrap.timeout)\n"
              // the child's command line: java.home, the properties for the debug log
              // and again for the -D options, then the paths
              "GetSystemProperty(java.home)\n" + kProperties +
              "GetSystemProperty(java.system.class.loader)\n" + kProperties +
              "GetSystemProperty(vesta.skipcp)\n"
              "GetSystemProperty(java.class.path)\n"
              "GetSystemProperty(jdk.module.path)\n"
              "GetSystemProperty(jdk.module.upgrade.path)\n"
              "GetSystemProperty(sun.boot.class.path)\n"
              "GetSystemProperty(vesta.bootstrap_cpjar)\n"
              "GetSystemProperty(vesta.transform.trace.prefix)\n"
              "GetSystemProperty(sun.boot.class.path)\n"
              "SetSystemProperty(sun.boot.class.path=" + bootstrapJar + ":/jre/lib/rt.jar)\n"
              "AddCapabilities\n"
              "AddToBootstrapClassLoaderSearch(" + agentJar() + ")\n"
              "SetEventCallbacks(" + std::to_string(37 * sizeof(void*)) + ")\n"
              "SetEventNotificationMode(1,57)\n"
              "SetEventNotificationMode(1,50)\n"
              "SetEventNotificationMode(1,54)\n"
              "GetEnv(0x30010100)\n"
              "AddCapabilities\n"
              "SetEventCallbacks(" + std::to_string(37 * sizeof(void*)) + ")\n"
              "SetEventNotificationMode(1,54)\n"
              "SetNativeMethodPrefix(_ts$jni$)\n"
              "bootstrap=" + bootstrapJar + "\n"
              "jar=" + agentJar() + " premain=com.acme.Agent retransform=own");
}

TEST(AgentOnLoad, SecondLoadReturnsAtOnceAndTouchesNothing) {
    ChildResult child = runInChild([] {
        FakeJvm first(hotspot());
        char debug[] = "debug";
        Agent_OnLoad(first.vm(), debug, nullptr);
        FakeJvm second(hotspot());
        jint result = Agent_OnLoad(second.vm(), debug, nullptr);
        return std::to_string(result) + " " + std::to_string(second.calls().size());
    });
    EXPECT_EQ(child.report, "0 0");
    EXPECT_EQ(child.err.find("Initializing agent"), child.err.rfind("Initializing agent"));
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] Multiple Tarsil agents found!\n"), std::string::npos);
}

TEST(AgentOnLoad, MarkerInTheEnvironmentEvenEmptyKeepsTheAgentAsleep) {
    ChildResult child = runInChild([] {
        setenv("VESTA_NATIVE_PRESENT", "", 1);
        FakeJvm jvm(hotspot());
        char debug[] = "debug";
        jint result = Agent_OnLoad(jvm.vm(), debug, nullptr);
        return std::to_string(result) + " " + std::to_string(jvm.calls().size());
    });
    EXPECT_EQ(child.report, "0 0");
    EXPECT_EQ(child.err, "");
}

TEST(AgentOnLoad, LogFileOpensInTheConfiguredFolder) {
    TempDir dir;
    FakeJvmtiScript script = hotspot();
    script.properties["vesta.bootcache.dir"] = dir.path() + "/nested/cache";
    ChildResult child = load(script, nullptr);
    EXPECT_EQ(child.exitCode, 0);
    std::string log = readFile(dir.file("nested/cache/tarsil.boot.log"));
    // What was logged before the file opened comes first, in order.
    EXPECT_EQ(log.rfind("Tarsil-JVMTI [DEBUG] JVM vendor string = Oracle Corporation\n"
                        "Tarsil-JVMTI [DEBUG] Native agent is logging to file: " +
                            dir.file("nested/cache/tarsil.boot.log") + "\n"
                        "Tarsil-JVMTI [DEBUG] Initializing agent... 1.1.13-",
                        0),
              0u)
        << log;
    EXPECT_NE(log.find("Tarsil-JVMTI [INFO] VM vendor: Oracle Corporation\n"), std::string::npos);
}

TEST(AgentOnUnload, LogsAndClosesTheLogFile) {
    TempDir dir;
    ChildResult child = runInChild([&dir] {
        FakeJvmtiScript script = hotspot();
        script.properties["vesta.bootcache.dir"] = dir.path();
        FakeJvm jvm(script);
        Agent_OnLoad(jvm.vm(), nullptr, nullptr);
        Agent_OnUnload(jvm.vm());
        return std::string(log_file == nullptr && log_to_file == 0 ? "closed" : "open");
    });
    EXPECT_EQ(child.report, "closed");
    std::string log = readFile(dir.file("tarsil.boot.log"));
    EXPECT_NE(log.find("Tarsil-JVMTI [DEBUG] Agent unloaded.\n"), std::string::npos);
}

TEST(AgentOnLoad, VendorOrKeywordTurnsEmulationOnForJava8) {
    auto start = [](const char* vendor, const char* options) {
        FakeJvmtiScript script = hotspot(0x30010200);
        script.properties["java.vm.vendor"] = vendor;
        script.properties["sun.boot.class.path"] = "/jre/lib/rt.jar";
        return load(script, options).err;
    };
    const std::string emulation = "Tarsil-JVMTI [DEBUG] Turning on boot class path emulation\n";
    const std::string patching = "Tarsil-JVMTI [DEBUG] Patching sun.boot.class.path ...\n";
    EXPECT_NE(start("SAP AG", "debug").find(emulation), std::string::npos);
    EXPECT_NE(start("IBM Corporation", "debug").find(emulation), std::string::npos);
    EXPECT_NE(start("Oracle Corporation", "debug,bcpemu=false").find(emulation), std::string::npos);
    std::string plain = start("Oracle Corporation", "debug");
    EXPECT_EQ(plain.find(emulation), std::string::npos);
    EXPECT_NE(plain.find(patching), std::string::npos);
}
