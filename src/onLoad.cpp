// The agent's entry and exit points. Agent_OnLoad prepares everything in one
// call on the JVM's primordial thread, in a fixed order; any failure on the
// way ends the JVM process with a logged message.
#include "onLoad.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "agent_util.h"
#include "boot_cp_emu.h"
#include "bootcache.h"
#include "bootcache_args.h"
#include "bootcache_folder.h"
#include "debugger_proxy.h"
#include "classFileLoadHook.h"
#include "find_symbol.h"
#include "jarinfo.h"
#include "list.h"
#include "logging.h"
#include "platform.h"
#include "version.h"
#include "vmInit.h"

AgentState agent;

namespace {

// Set by the first Agent_OnLoad that passes the guard; never reset.
int started = 0;

constexpr jint kJvmtiVersion9 = 0x30090000;
constexpr jint kJvmtiVersion1_1 = 0x30010100;

constexpr char kSharedSpacesSymbol[] = TS_SHARED_SPACES_SYMBOL;

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

// The JVM's version and vendor, read once into the agent state: every part
// of the library that depends on them reads them there.
void probeJvm(jvmtiEnv* jvmti) {
    jint version = 0;
    jvmti->GetVersionNumber(&version);
    agent.jvmtiVersion = version;
    agent.jvmtiMajorVersion = jvmtiMajorVersionOf(version);
    agent.java9 = agent.jvmtiMajorVersion > 8 ? 1 : 0;
    jvmtiError error;
    JvmtiString vendor = getSystemProperty(jvmti, "java.vm.vendor", &error);
    if (!vendor) {
        log_write(TS_WARN, "Couldn't determine the JVM vendor, err=%d", error);
        return;
    }
    log_write(TS_DEBUG, "JVM vendor string = %s", vendor.get());
    agent.vmVendor = lfts_dup(vendor.get());
    std::string_view name = vendor.get();
    agent.openJ9 = name == "Eclipse OpenJ9";
    agent.ibmVendor = name == "IBM Corporation";
    agent.sapVendor = name == "SAP AG";
}

// IBM's and SAP's JVMs take no boot class path of the library's own: it is
// served through the class-file load hook there.
int vendorNeedsEmulation() {
    if (agent.vmVendor != nullptr) log_write(TS_INFO, "VM vendor: %s", agent.vmVendor);
    return agent.ibmVendor || agent.sapVendor;
}

}  // namespace

// The callbacks table as JDK 11 laid it out (through SampledObjectAlloc):
// JVMs whose headers are newer accept it, and older IBM JVMs want it two
// entries shorter. Computed from the layout, not from sizeof, because newer
// headers add entries.
constexpr jint kCallbacksSizeJdk11 =
    offsetof(jvmtiEventCallbacks, SampledObjectAlloc) + sizeof(jvmtiEventSampledObjectAlloc);
constexpr jint kCallbacksSizeOldIbm =
    offsetof(jvmtiEventCallbacks, VMObjectAlloc) + sizeof(jvmtiEventVMObjectAlloc);
static_assert(kCallbacksSizeJdk11 == 37 * sizeof(void*), "JDK 11 callbacks table has 37 entries");

jint size_of_jvmtiEventCallbacks() {
    if (agent.ibmVendor && agent.jvmtiMajorVersion <= 10) {
        log_write(TS_DEBUG, "Detected pre JDK 11 IBM JVM, using jvmtiEventCallbacks callback size= %i instead of %i",
                  static_cast<int>(kCallbacksSizeOldIbm), static_cast<int>(kCallbacksSizeJdk11));
        return kCallbacksSizeOldIbm;
    }
    return kCallbacksSizeJdk11;
}

void patch_bootclasspath(jvmtiEnv* jvmti, const char* currentValue, const char* jarPath) {
    std::string value = std::string(jarPath) + TS_PATH_SEPARATOR + currentValue;
    check_jvmti_error(jvmti, jvmti->SetSystemProperty("sun.boot.class.path", value.c_str()),
                      "set sun.boot.class.path");
    log_write(TS_DEBUG, "Prepended %s to sun.boot.class.path", jarPath);
}

void initBootclassPath(jvmtiEnv* jvmti, int emulate, intptr_t checkedJar) {
    if (agent.java9 || emulate) {
        log_write(TS_DEBUG, "Turning on boot class path emulation");
        bcp_emu_init(jvmti, agent.bootstrapJarPath, checkedJar);
        return;
    }
    jvmtiError error;
    JvmtiString bootClassPath = getSystemProperty(jvmti, "sun.boot.class.path", &error);
    if (error == JVMTI_ERROR_NOT_AVAILABLE) {
        log_write(TS_DEBUG, "sun.boot.class.path not available yet, turning on boot class path emulation");
        bcp_emu_init(jvmti, agent.bootstrapJarPath, checkedJar);
        return;
    }
    check_jvmti_error(jvmti, error, "GetSystemProperty 'sun.boot.class.path'");
    log_write(TS_DEBUG, "Patching sun.boot.class.path ...");
    patch_bootclasspath(jvmti, bootClassPath.get(), agent.bootstrapJarPath);
}

namespace {

void addToBootLoaderSearch(jvmtiEnv* jvmti, const char* jar, const char* what) {
    check_jvmti_error(jvmti, jvmti->AddToBootstrapClassLoaderSearch(jar), what);
    log_write(TS_DEBUG, "Added %s to bootstrap ClassLoader search", jar);
}

void enableEvent(jvmtiEnv* jvmti, jvmtiEvent event, const char* what) {
    check_jvmti_error(jvmti, jvmti->SetEventNotificationMode(JVMTI_ENABLE, event, nullptr), what);
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

    // OpenJ9 of Java 9 and later also gets the bootstrap jar on its boot
    // loader's own search path, beside the emulation, which on that JVM does
    // not reach every boot class load (its bootstrap class sharing is on by
    // default from Java 11); it goes before tarsil.jar so that its classes
    // win where both jars have one.
    if (agent.java9 && agent.openJ9) {
        addToBootLoaderSearch(jvmti, agent.bootstrapJarPath, "Adding tarsils bootstrap jar to boot class path");
    }
    addToBootLoaderSearch(jvmti, agent.jarInfo->path, "Adding tarsil.jar to boot class path");

    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.VMStart = &callback_VMStart;
    callbacks.VMInit = &callback_VMInit;
    callbacks.ClassFileLoadHook = &callback_ClassFileLoadHook_transform;
    check_jvmti_error(jvmti, jvmti->SetEventCallbacks(&callbacks, size_of_jvmtiEventCallbacks()),
                      "set event callbacks in initMainTransformer");

    enableEvent(jvmti, JVMTI_EVENT_VM_START, "set event notify: JVMTI_EVENT_VM_START");
    enableEvent(jvmti, JVMTI_EVENT_VM_INIT, "set event notify: JVMTI_EVENT_VM_INIT");
    enableEvent(jvmti, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, "set event notify: JVMTI_EVENT_CLASS_FILE_LOAD_HOOK");
}

void initRetransform(JavaVM* vm) {
    jvmtiEnv* jvmti = nullptr;
    jint result = vm->GetEnv(reinterpret_cast<void**>(&jvmti), kJvmtiVersion1_1);
    if (result == JNI_EVERSION) {
        log_write(TS_FATAL, "Tarsil Agent requires at least Java 6 (failed to acquire JVM TI 1.1 environment)");
        fatal_error_kill(0);
    }
    if (result != JNI_OK) {
        log_write(TS_FATAL, "ERROR: Unable to create jvmtiEnv, GetEnv failed, error=%d", static_cast<int>(result));
        fatal_error_kill(1);
    }
    agent.retransformJvmti = jvmti;

    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_set_native_method_prefix = 1;
    capabilities.can_retransform_classes = 1;
    check_jvmti_error(jvmti, jvmti->AddCapabilities(&capabilities), "Set required JVMTI Capabilities");

    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.ClassFileLoadHook = &callback_ClassFileLoadHook_retransform;
    check_jvmti_error(jvmti, jvmti->SetEventCallbacks(&callbacks, size_of_jvmtiEventCallbacks()),
                      "set event callbacks in initRetransform");
    enableEvent(jvmti, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, "set event notify");
}

namespace {

// An archive the user gave the JVM goes unused while the agent is loaded;
// the user should hear it rather than wonder why start-up got slower.
void warnOfUnusedArchive() {
    std::string source;
    std::string option = userArchiveOption(jvmOptionSources(), &source);
    if (option.empty()) return;
    log_write(TS_WARN,
              "The archive of %s (%s) is not used while the Tarsil agent is loaded: the agent turns class data "
              "sharing off",
              option.c_str(), source.c_str());
}

}  // namespace

void disable_class_data_sharing(JavaVM* vm, jint jvmtiVersion) {
    if (jvmtiMajorVersionOf(jvmtiVersion) <= 10) return;
    warnOfUnusedArchive();
    // GetEnv lies in the JVM's own library, which holds the flag.
    auto* flag = static_cast<volatile unsigned char*>(
        find_symbol(reinterpret_cast<const void*>(vm->functions->GetEnv), kSharedSpacesSymbol));
    if (flag == nullptr) return;
    log_write(TS_DEBUG, "Found class sharing flag %s=%d", kSharedSpacesSymbol, *flag);
    if (*flag != 0) {
        log_write(TS_DEBUG, "Setting class sharing flag to 0");
        *flag = 0;
    }
}

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* /*reserved*/) {
    // Until the bootstrap folder is chosen and its log opened, the lines for
    // the log are held for it.
    hold_lines_for_file();
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

    probeJvm(jvmti);
    agent.jvmti = jvmti;

    BootFolder folder = chooseBootFolder(jvmti);
    initBootLog(folder);
    log_write(TS_DEBUG, "Initializing agent... %s", tarsil_version);
    log_write(TS_DEBUG, "Java 9+ detected: %s", agent.java9 ? "true" : "false");

    disable_class_data_sharing(vm, agent.jvmtiVersion);

    int emulateBootClassPath = vendorNeedsEmulation();
    if (optionsContain(options, "bcpemu")) emulateBootClassPath = 1;
    agent.emulateBootClassPath = agent.java9 || emulateBootClassPath;

    initJarInfo(jvmti);
    // The biggest step of start-up: on a miss in the cache, a child JVM
    // builds this configuration's bootstrap jar.
    BootstrapJar bootstrapJar = getBootstrapJarFor(jvmti, folder, agent.jarInfo);
    agent.bootstrapJarPath = bootstrapJar.path;
    jvmti->GetSystemProperty("vesta.transform.trace.prefix", &agent.transformTracePrefix);

    initBootclassPath(jvmti, emulateBootClassPath, bootstrapJar.handle);
    closeBootFile(bootstrapJar.handle);
    initMainTransformer(jvmti);
    initRetransform(vm);

    check_jvmti_error(jvmti, jvmti->SetNativeMethodPrefix(kNativeMethodPrefix),
                      "Failed setting native prefix!");
    log_write(TS_DEBUG, "Agent initialization completed.");
    return JNI_OK;
}

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM* /*vm*/) {
    log_write(TS_DEBUG, "Agent unloaded.");
    terminateDebuggerProxy();
    bcp_emu_close(agent.jvmti);
    stop_file_logging();
}
