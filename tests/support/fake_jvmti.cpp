#include "fake_jvmti.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

struct FakeJvm::Env {
    _jvmtiEnv base;
    FakeJvm* owner;
    jvmtiCapabilities capabilities{};
    jvmtiEventCallbacks callbacks{};
    jint callbacksSize = -1;
    std::map<std::thread::id, void*> threadLocals;
    std::vector<std::string> prefixes;
};

struct FakeJvm::Vm {
    JavaVM_ base;
    FakeJvm* owner;
};

namespace {

FakeJvm::Env* envOf(jvmtiEnv* env) {
    return reinterpret_cast<FakeJvm::Env*>(env);
}
FakeJvm& ownerOf(jvmtiEnv* env) {
    return *envOf(env)->owner;
}

std::string hex(jint value) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(value));
    return buffer;
}

const std::map<jvmtiError, const char*>& errorNames() {
    static const std::map<jvmtiError, const char*> names = {
        {JVMTI_ERROR_OUT_OF_MEMORY, "JVMTI_ERROR_OUT_OF_MEMORY"},
        {JVMTI_ERROR_NOT_AVAILABLE, "JVMTI_ERROR_NOT_AVAILABLE"},
        {JVMTI_ERROR_MUST_POSSESS_CAPABILITY, "JVMTI_ERROR_MUST_POSSESS_CAPABILITY"},
        {JVMTI_ERROR_WRONG_PHASE, "JVMTI_ERROR_WRONG_PHASE"},
        {JVMTI_ERROR_ILLEGAL_ARGUMENT, "JVMTI_ERROR_ILLEGAL_ARGUMENT"},
        {JVMTI_ERROR_INTERNAL, "JVMTI_ERROR_INTERNAL"},
    };
    return names;
}

jint JNICALL fakeGetEnv(JavaVM* vm, void** penv, jint version) {
    FakeJvm& jvm = *reinterpret_cast<FakeJvm::Vm*>(vm)->owner;
    jvm.record("GetEnv(" + hex(version) + ")");
    if (!jvm.script_.acceptedVersions.count(version)) return jvm.script_.getEnvError;
    *penv = jvm.newEnv();
    return JNI_OK;
}

jvmtiError JNICALL fakeGetVersionNumber(jvmtiEnv* env, jint* version) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("GetVersionNumber");
    *version = jvm.script_.version;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetSystemProperty(jvmtiEnv* env, const char* name, char** value) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("GetSystemProperty(") + name + ")");
    jvmtiError error;
    if (jvm.fails("GetSystemProperty", &error)) return error;
    auto it = jvm.script_.properties.find(name);
    if (it == jvm.script_.properties.end()) return JVMTI_ERROR_NOT_AVAILABLE;
    *value = reinterpret_cast<char*>(jvm.hand(it->second));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetSystemProperties(jvmtiEnv* env, jint* count, char*** names) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("GetSystemProperties");
    jvmtiError error;
    if (jvm.fails("GetSystemProperties", &error)) return error;
    auto& properties = jvm.script_.properties;
    auto** array = reinterpret_cast<char**>(jvm.hand(sizeof(char*) * (properties.size() + 1)));
    size_t i = 0;
    for (const auto& [name, value] : properties) array[i++] = reinterpret_cast<char*>(jvm.hand(name));
    *count = static_cast<jint>(properties.size());
    *names = array;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeAllocate(jvmtiEnv* env, jlong size, unsigned char** memory) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("Allocate(" + std::to_string(size) + ")");
    jvmtiError error;
    if (jvm.fails("Allocate", &error)) return error;
    *memory = jvm.hand(static_cast<size_t>(size));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeDeallocate(jvmtiEnv* env, unsigned char* memory) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("Deallocate");
    jvmtiError error;
    if (jvm.fails("Deallocate", &error)) return error;
    if (memory != nullptr && !jvm.take(memory)) return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetErrorName(jvmtiEnv* env, jvmtiError error, char** name) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("GetErrorName(" + std::to_string(error) + ")");
    auto it = errorNames().find(error);
    if (!jvm.script_.errorNamesKnown || it == errorNames().end()) return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    *name = reinterpret_cast<char*>(jvm.hand(std::string(it->second)));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeAddCapabilities(jvmtiEnv* env, const jvmtiCapabilities* wanted) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("AddCapabilities");
    jvmtiError error;
    if (jvm.fails("AddCapabilities", &error)) return error;
    auto* have = reinterpret_cast<unsigned char*>(&envOf(env)->capabilities);
    auto* add = reinterpret_cast<const unsigned char*>(wanted);
    for (size_t i = 0; i < sizeof(jvmtiCapabilities); i++) have[i] |= add[i];
    return JVMTI_ERROR_NONE;
}

// Like a real JVM, refuses the prefix to an environment without the capability.
jvmtiError JNICALL fakeSetNativeMethodPrefix(jvmtiEnv* env, const char* prefix) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("SetNativeMethodPrefix(") + (prefix ? prefix : "NULL") + ")");
    jvmtiError error;
    if (jvm.fails("SetNativeMethodPrefix", &error)) return error;
    if (!envOf(env)->capabilities.can_set_native_method_prefix) return JVMTI_ERROR_MUST_POSSESS_CAPABILITY;
    jvm.prefix_ = prefix ? prefix : "";
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetNativeMethodPrefixes(jvmtiEnv* env, jint count, char** prefixes) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("SetNativeMethodPrefixes(" + std::to_string(count) + ")");
    if (!envOf(env)->capabilities.can_set_native_method_prefix) return JVMTI_ERROR_MUST_POSSESS_CAPABILITY;
    envOf(env)->prefixes.assign(prefixes, prefixes + count);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetSystemProperty(jvmtiEnv* env, const char* name, const char* value) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("SetSystemProperty(") + name + "=" + (value ? value : "NULL") + ")");
    jvmtiError error;
    if (jvm.fails("SetSystemProperty", &error)) return error;
    jvm.script_.properties[name] = value ? value : "";
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeAddToBootstrapClassLoaderSearch(jvmtiEnv* env, const char* segment) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("AddToBootstrapClassLoaderSearch(") + segment + ")");
    jvmtiError error;
    if (jvm.fails("AddToBootstrapClassLoaderSearch", &error)) return error;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetEventCallbacks(jvmtiEnv* env, const jvmtiEventCallbacks* callbacks, jint size) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("SetEventCallbacks(" + std::to_string(size) + ")");
    jvmtiError error;
    if (jvm.fails("SetEventCallbacks", &error)) return error;
    FakeJvm::Env* e = envOf(env);
    memset(&e->callbacks, 0, sizeof e->callbacks);
    memcpy(&e->callbacks, callbacks, std::min<size_t>(size, sizeof e->callbacks));
    e->callbacksSize = size;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetEventNotificationMode(jvmtiEnv* env, jvmtiEventMode mode, jvmtiEvent event,
                                                jthread thread, ...) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("SetEventNotificationMode(" + std::to_string(mode) + "," + std::to_string(event) +
               (thread ? ",thread" : "") + ")");
    jvmtiError error;
    if (jvm.fails("SetEventNotificationMode", &error)) return error;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetThreadLocalStorage(jvmtiEnv* env, jthread, void** data) {
    FakeJvm& jvm = ownerOf(env);
    jvmtiError error;
    if (jvm.fails("GetThreadLocalStorage", &error)) return error;
    auto& slots = envOf(env)->threadLocals;
    auto it = slots.find(std::this_thread::get_id());
    *data = it == slots.end() ? nullptr : it->second;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetThreadLocalStorage(jvmtiEnv* env, jthread, const void* data) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("SetThreadLocalStorage(") + (data ? "counter" : "NULL") + ")");
    jvmtiError error;
    if (jvm.fails("SetThreadLocalStorage", &error)) return error;
    envOf(env)->threadLocals[std::this_thread::get_id()] = const_cast<void*>(data);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetNamedModule(jvmtiEnv* env, jobject, const char* package, jobject* module) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("GetNamedModule(") + package + ")");
    jvmtiError error;
    if (jvm.fails("GetNamedModule", &error)) return error;
    *module = nullptr;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeCreateRawMonitor(jvmtiEnv* env, const char* name, jrawMonitorID* monitor) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record(std::string("CreateRawMonitor(") + name + ")");
    std::lock_guard<std::recursive_mutex> guard(jvm.lock_);
    jvm.monitors_.push_back(std::make_unique<std::recursive_mutex>());
    *monitor = reinterpret_cast<jrawMonitorID>(jvm.monitors_.back().get());
    return JVMTI_ERROR_NONE;
}

// Raw monitors are re-entrant, as the JVM's are. Not recorded: they are taken
// on every class load.
jvmtiError JNICALL fakeRawMonitorEnter(jvmtiEnv*, jrawMonitorID monitor) {
    reinterpret_cast<std::recursive_mutex*>(monitor)->lock();
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeRawMonitorExit(jvmtiEnv*, jrawMonitorID monitor) {
    reinterpret_cast<std::recursive_mutex*>(monitor)->unlock();
    return JVMTI_ERROR_NONE;
}

// Waits are recorded by neither; a timed-out wait returns as the JVM's does.
// The monitor must be held once.
jvmtiError JNICALL fakeRawMonitorWait(jvmtiEnv* env, jrawMonitorID monitor, jlong millis) {
    FakeJvm& jvm = ownerOf(env);
    auto* mutex = reinterpret_cast<std::recursive_mutex*>(monitor);
    uint64_t seen = jvm.monitorNotifies_.load();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    mutex->unlock();
    while (jvm.monitorNotifies_.load() == seen && (millis <= 0 || std::chrono::steady_clock::now() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    mutex->lock();
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeRawMonitorNotifyAll(jvmtiEnv* env, jrawMonitorID) {
    ownerOf(env).monitorNotifies_++;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetPhase(jvmtiEnv* env, jvmtiPhase* phase) {
    *phase = ownerOf(env).script_.phase;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetClassSignature(jvmtiEnv* env, jclass klass, char** signature, char** generic) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("GetClassSignature");
    jvmtiError error;
    if (jvm.fails("GetClassSignature", &error)) return error;
    if (signature != nullptr) {
        *signature = reinterpret_cast<char*>(jvm.hand("L" + reinterpret_cast<FakeClass*>(klass)->name + ";"));
    }
    if (generic != nullptr) *generic = nullptr;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetStackTrace(jvmtiEnv* env, jthread, jint, jint, jvmtiFrameInfo*, jint*) {
    FakeJvm& jvm = ownerOf(env);
    jvm.record("GetStackTrace");
    jvmtiError error;
    if (jvm.fails("GetStackTrace", &error)) return error;
    return JVMTI_ERROR_THREAD_NOT_ALIVE;  // no Java frames in a test program
}

}  // namespace

FakeJvm::FakeJvm(FakeJvmtiScript script) : script_(std::move(script)), vm_(new Vm) {
    table_.GetVersionNumber = fakeGetVersionNumber;
    table_.GetSystemProperty = fakeGetSystemProperty;
    table_.GetSystemProperties = fakeGetSystemProperties;
    table_.Allocate = fakeAllocate;
    table_.Deallocate = fakeDeallocate;
    table_.GetErrorName = fakeGetErrorName;
    table_.AddCapabilities = fakeAddCapabilities;
    table_.SetSystemProperty = fakeSetSystemProperty;
    table_.AddToBootstrapClassLoaderSearch = fakeAddToBootstrapClassLoaderSearch;
    table_.SetEventCallbacks = fakeSetEventCallbacks;
    table_.SetEventNotificationMode = fakeSetEventNotificationMode;
    table_.GetThreadLocalStorage = fakeGetThreadLocalStorage;
    table_.SetThreadLocalStorage = fakeSetThreadLocalStorage;
    table_.GetNamedModule = fakeGetNamedModule;
    table_.GetStackTrace = fakeGetStackTrace;
    table_.CreateRawMonitor = fakeCreateRawMonitor;
    table_.RawMonitorEnter = fakeRawMonitorEnter;
    table_.RawMonitorExit = fakeRawMonitorExit;
    table_.RawMonitorWait = fakeRawMonitorWait;
    table_.RawMonitorNotifyAll = fakeRawMonitorNotifyAll;
    table_.GetPhase = fakeGetPhase;
    table_.GetClassSignature = fakeGetClassSignature;
    if (!script_.omitSetNativeMethodPrefix) table_.SetNativeMethodPrefix = fakeSetNativeMethodPrefix;
    table_.SetNativeMethodPrefixes = fakeSetNativeMethodPrefixes;
    invoke_.GetEnv = fakeGetEnv;
    vm_->base.functions = &invoke_;
    vm_->owner = this;
}

FakeJvm::~FakeJvm() {
    for (unsigned char* memory : live_) free(memory);
}

JavaVM* FakeJvm::vm() {
    return &vm_->base;
}

jvmtiEnv* FakeJvm::newEnv() {
    auto env = std::make_unique<Env>();
    env->base.functions = &table_;
    env->owner = this;
    envs_.push_back(std::move(env));
    return &envs_.back()->base;
}

bool FakeJvm::called(const std::string& call) const {
    return count(call) > 0;
}

size_t FakeJvm::count(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& call : calls_) n += call.rfind(prefix, 0) == 0;
    return n;
}

const jvmtiCapabilities& FakeJvm::capabilities(jvmtiEnv* env) const {
    return envOf(env)->capabilities;
}

bool FakeJvm::fails(const char* function, jvmtiError* error) const {
    auto it = script_.failures.find(function);
    if (it == script_.failures.end()) return false;
    *error = it->second;
    return true;
}

unsigned char* FakeJvm::hand(const std::string& text) {
    unsigned char* memory = hand(text.size() + 1);
    memcpy(memory, text.c_str(), text.size() + 1);
    return memory;
}

unsigned char* FakeJvm::hand(size_t bytes) {
    auto* memory = static_cast<unsigned char*>(malloc(bytes == 0 ? 1 : bytes));
    std::lock_guard<std::recursive_mutex> guard(lock_);
    live_.insert(memory);
    return memory;
}

bool FakeJvm::take(unsigned char* memory) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (live_.erase(memory) == 0) return false;
    free(memory);
    return true;
}

const jvmtiEventCallbacks& FakeJvm::callbacks(jvmtiEnv* env) const {
    return envOf(env)->callbacks;
}

jint FakeJvm::callbacksSize(jvmtiEnv* env) const {
    return envOf(env)->callbacksSize;
}

void* FakeJvm::threadLocal(jvmtiEnv* env) const {
    auto& slots = envOf(env)->threadLocals;
    auto it = slots.find(std::this_thread::get_id());
    return it == slots.end() ? nullptr : it->second;
}

const std::vector<std::string>& FakeJvm::nativeMethodPrefixes(jvmtiEnv* env) const {
    return envOf(env)->prefixes;
}

std::vector<jvmtiEnv*> FakeJvm::envs() const {
    std::vector<jvmtiEnv*> all;
    for (const auto& env : envs_) all.push_back(const_cast<jvmtiEnv*>(&env->base));
    return all;
}
