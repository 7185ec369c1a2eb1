// Just enough of a JNI environment for the boot class path emulation and the
// natives: class loaders whose class has a given name, DefineClass,
// exceptions thrown and pending, the Class.getName() call of the primordial
// phase, declared methods and RegisterNatives, String arrays. Classes are FakeClass
// records (see fake_jvmti.h); a loader object points to its class.
#pragma once

#include <jni.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
    // The methods of a class ("name signature") by its internal name: its
    // GetMethodID of any other leaves a NoSuchMethodError pending.
    std::map<std::string, std::set<std::string>> declaredMethods;
    // RegisterNatives, one method each; those named in failingNatives fail.
    std::vector<std::string> registered;
    std::map<std::string, void*> nativeFunctions;
    std::set<std::string> failingNatives;
    // Exceptions thrown, as "class" or "class: message".
    std::vector<std::string> thrown;
    // A String[] of these (nullopt: a null element).
    jobjectArray stringArray(const std::vector<std::optional<std::string>>& elements);
    std::vector<std::unique_ptr<FakeClass>> classes;
    std::vector<std::unique_ptr<Object>> objects;
    std::vector<std::unique_ptr<std::string>> strings;
    std::vector<std::unique_ptr<std::vector<jobject>>> arrays;
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
