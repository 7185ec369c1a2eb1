// The agent's entry and exit points. Agent_OnLoad prepares everything in one
// call on the JVM's primordial thread, in a fixed order; any failure on the
// way ends the JVM process with a logged message.
#include "onLoad.h"

#include <cstdlib>
#include <cstring>

#include "agent_util.h"
#include "list.h"
#include "logging.h"
#include "version.h"

AgentState agent;

namespace {

// Set by the first Agent_OnLoad that passes the guard; never reset.
int started = 0;

constexpr jint kJvmtiVersion9 = 0x30090000;
constexpr jint kJvmtiVersion1_1 = 0x30010100;

bool optionsContain(const char* options, const char* keyword) {
    return options != nullptr && strstr(options, keyword) != nullptr;
}

jvmtiEnv* acquireMainEnvironment(JavaVM* vm) {
    jvmtiEnv* jvmti = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), kJvmtiVersion9) == JNI_OK) return jvmti;
    if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), kJvmtiVersion1_1) == JNI_OK) return jvmti;
    log_write(TS_FATAL, "Tarsil Agent requires at least Java 6 (failed to acquire JVM TI 1.1 environment)");
    fatal_error_kill(0);
}

void probeVendorFlags(jvmtiEnv* jvmti) {
    JvmtiString vendor = getSystemProperty(jvmti, "java.vm.vendor");
    if (!vendor) return;
    log_write(TS_DEBUG, "JVM vendor string = %s", vendor.get());
    if (strcmp(vendor.get(), "Eclipse OpenJ9") == 0) {
        agent.openJ9 = 1;
    } else if (strcmp(vendor.get(), "IBM Corporation") == 0) {
        agent.ibmVendor = 1;
    }
}

// Whether the vendor's boot class path must be emulated.
int vendorNeedsEmulation(jvmtiEnv* jvmti) {
    jvmtiError error;
    JvmtiString vendor = getSystemProperty(jvmti, "java.vm.vendor", &error);
    if (!vendor) {
        log_write(TS_WARN, "Couldn't determine the JVM vendor, err=%d", error);
        return 0;
    }
    log_write(TS_INFO, "VM vendor: %s", vendor.get());
    return strcmp(vendor.get(), "IBM Corporation") == 0 || strcmp(vendor.get(), "SAP AG") == 0;
}

}  // namespace

void initMainTransformer(jvmtiEnv* jvmti) {
    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_redefine_classes = 1;
    capabilities.can_generate_all_class_hook_events = 1;
    capabilities.can_set_native_method_prefix = 1;
    if (agent.java9) capabilities.can_generate_early_class_hook_events = 1;
    check_jvmti_error(jvmti, jvmti->AddCapabilities(&capabilities), "Set required JVMTI Capabilities");
}

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* /*reserved*/) {
    if (started || getenv("VESTA_NATIVE_PRESENT") != nullptr) {
        log_write(TS_DEBUG, "Multiple Tarsil agents found!");
        return JNI_OK;
    }
    started = 1;
    lfts_setenv("VESTA_NATIVE_PRESENT", "true", 1);

    if (optionsContain(options, "debug")) log_stderr(4);

    memset(&agent, 0, sizeof agent);
    agent.options = options != nullptr ? lfts_dup(options) : nullptr;

    jvmtiEnv* jvmti = acquireMainEnvironment(vm);
    if (jvmti->functions->SetNativeMethodPrefix == nullptr) {
        log_write(TS_FATAL, "Tarsil Agent requires at least Java 6");
        fatal_error_kill(0);
    }

    jint version = 0;
    jvmti->GetVersionNumber(&version);
    agent.jvmtiMajorVersion = (version >> 16) & 0xFFF;
    agent.java9 = agent.jvmtiMajorVersion > 8 ? 1 : 0;

    probeVendorFlags(jvmti);
    agent.jvmti = jvmti;

    init_logging(jvmti);
    log_write(TS_DEBUG, "Initializing agent... %s", tarsil_version);
    log_write(TS_DEBUG, "Java 9+ detected: %s", agent.java9 ? "true" : "false");

    int emulateBootClassPath = vendorNeedsEmulation(jvmti);
    if (optionsContain(options, "bcpemu")) emulateBootClassPath = 1;
    (void)emulateBootClassPath;

    jvmti->GetSystemProperty("vesta.transform.trace.prefix", &agent.transformTracePrefix);

    initMainTransformer(jvmti);

    check_jvmti_error(jvmti, jvmti->SetNativeMethodPrefix(kNativeMethodPrefix),
                      "Failed setting native prefix!");
    log_write(TS_DEBUG, "Agent initialization completed.");
    return JNI_OK;
}

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM* /*vm*/) {
    log_write(TS_DEBUG, "Agent unloaded.");
    stop_file_logging();
}
