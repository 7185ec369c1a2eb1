// Just enough of a JNI environment for the boot class path emulation: class
// loaders whose class has a given name, DefineClass, exceptions, and the
// Class.getName() call of the primordial phase. Classes are FakeClass
// records (see fake_jvmti.h); a loader object points to its class.
#pragma once

#include <jni.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "support/fake_jvmti.h"

class FakeJni {
public:
    FakeJni();
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    JNIEnv* env() { return &env_.base; }
    // A class loader whose class has this internal name ("a/b/MyLoader").
    jobject loader(const std::string& internalName);

    // Names passed to DefineClass, in order.
    std::vector<std::string> defined;
    // DefineClass of these names leaves an exception pending.
    std::set<std::string> failingDefinitions;
    // Called by DefineClass, as the JVM would run the load hook.
    std::function<void(const char* name)> onDefine;
    // A JNI call made while an exception was pending (which JNI forbids).
    bool callWithExceptionPending = false;
    bool pending = false;
    struct Object {
        FakeClass* klass;
    };
    std::vector<std::unique_ptr<FakeClass>> classes;
    std::vector<std::unique_ptr<Object>> objects;
    std::vector<std::unique_ptr<std::string>> strings;
    std::recursive_mutex lock;

    static FakeJni& of(JNIEnv* env);

private:
    struct Env {
        JNIEnv_ base;
        FakeJni* owner;
    };
    Env env_;
    JNINativeInterface_ table_{};
};
