// A scriptable stand-in for a JVM's invocation and JVM TI interfaces, for
// what no JVM on this machine can show: old JVM TI versions, other vendors,
// missing functions and injected errors. It records every call.
#pragma once

#include <jvmti.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct FakeJvmtiScript {
    jint version = 0x300B0000;  // JVM TI 11
    std::set<jint> acceptedVersions = {0x30090000, 0x30010100};
    // What GetEnv answers for a version not accepted.
    jint getEnvError = JNI_EVERSION;
    std::map<std::string, std::string> properties;
    bool omitSetNativeMethodPrefix = false;
    // Function name -> error every call of it returns.
    std::map<std::string, jvmtiError> failures;
    // Whether GetErrorName knows the names of errors.
    bool errorNamesKnown = true;
    jvmtiPhase phase = JVMTI_PHASE_LIVE;
    // Off for benchmarks: the call log would dominate their figures.
    bool recordCalls = true;
};

// What a jclass handed out by the fakes points to: a class by its internal
// name. GetClassSignature answers "L<name>;".
struct FakeClass {
    std::string name;
};

class FakeJvm {
public:
    explicit FakeJvm(FakeJvmtiScript script = {});
    ~FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    JavaVM* vm();
    // A new environment, as GetEnv would hand out.
    jvmtiEnv* newEnv();

    FakeJvmtiScript& script() { return script_; }
    const std::vector<std::string>& calls() const { return calls_; }
    bool called(const std::string& call) const;
    size_t count(const std::string& prefix) const;
    // Memory handed out by Allocate or a property getter and not yet returned.
    size_t outstandingAllocations() const { return live_.size(); }
    const jvmtiCapabilities& capabilities(jvmtiEnv* env) const;
    const std::string& nativeMethodPrefix() const { return prefix_; }
    // The list SetNativeMethodPrefixes last set on an environment.
    const std::vector<std::string>& nativeMethodPrefixes(jvmtiEnv* env) const;
    // The callbacks table an environment registered, and the size passed.
    const jvmtiEventCallbacks& callbacks(jvmtiEnv* env) const;
    jint callbacksSize(jvmtiEnv* env) const;
    // This thread's thread-local storage slot of an environment.
    void* threadLocal(jvmtiEnv* env) const;
    std::vector<jvmtiEnv*> envs() const;

    // Used by the function table.
    struct Env;
    // Thread-safe, so that several threads may drive one fake.
    void record(std::string call) {
        if (!script_.recordCalls) return;
        std::lock_guard<std::recursive_mutex> guard(lock_);
        calls_.push_back(std::move(call));
    }
    bool fails(const char* function, jvmtiError* error) const;
    unsigned char* hand(const std::string& text);
    unsigned char* hand(size_t bytes);
    bool take(unsigned char* memory);

    FakeJvmtiScript script_;
    std::vector<std::string> calls_;
    std::set<unsigned char*> live_;
    std::vector<std::unique_ptr<Env>> envs_;
    std::string prefix_;
    std::recursive_mutex lock_;
    std::vector<std::unique_ptr<std::recursive_mutex>> monitors_;
    // Counts notifications of any raw monitor; waiters poll it (a notify
    // may wake too many), so that a wait needs no descriptor or allocation.
    std::atomic<uint64_t> monitorNotifies_{0};
    jvmtiInterface_1_ table_{};
    JNIInvokeInterface_ invoke_{};
    struct Vm;
    std::unique_ptr<Vm> vm_;
};
