#include "support/fake_jni.h"

#include <cstdarg>
#include <cstring>

namespace {

FakeClass kClassClass{"java/lang/Class"};
int kGetNameMarker;

void noteCall(FakeJni& jni) {
    if (jni.pending) jni.callWithExceptionPending = true;
}

jclass JNICALL fakeGetObjectClass(JNIEnv* env, jobject object) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    // A loader's class is its FakeClass; the class of a class is java.lang.Class.
    std::lock_guard<std::recursive_mutex> guard(jni.lock);
    for (const auto& owned : jni.objects) {
        if (reinterpret_cast<jobject>(owned.get()) == object) return reinterpret_cast<jclass>(owned->klass);
    }
    return reinterpret_cast<jclass>(&kClassClass);
}

void JNICALL fakeDeleteLocalRef(JNIEnv*, jobject) {}

jclass JNICALL fakeDefineClass(JNIEnv* env, const char* name, jobject, const jbyte*, jsize) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    {
        std::lock_guard<std::recursive_mutex> guard(jni.lock);
        jni.defined.push_back(name);
    }
    if (jni.onDefine) jni.onDefine(name);
    if (jni.failingDefinitions.count(name)) {
        jni.pending = true;
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(jni.lock);
    jni.classes.push_back(std::make_unique<FakeClass>(FakeClass{name}));
    return reinterpret_cast<jclass>(jni.classes.back().get());
}

jboolean JNICALL fakeExceptionCheck(JNIEnv* env) {
    return FakeJni::of(env).pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL fakeExceptionClear(JNIEnv* env) {
    FakeJni::of(env).pending = false;
}

jmethodID JNICALL fakeGetMethodID(JNIEnv* env, jclass klass, const char* name, const char* signature) {
    noteCall(FakeJni::of(env));
    bool getName = reinterpret_cast<FakeClass*>(klass) == &kClassClass && strcmp(name, "getName") == 0 &&
                   strcmp(signature, "()Ljava/lang/String;") == 0;
    return getName ? reinterpret_cast<jmethodID>(&kGetNameMarker) : nullptr;
}

// Class.getName() on a loader's class: the dotted name.
// (The C++ JNIEnv wrapper calls the va_list form.)
jobject JNICALL fakeCallObjectMethodV(JNIEnv* env, jobject object, jmethodID method, va_list) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    if (method != reinterpret_cast<jmethodID>(&kGetNameMarker)) return nullptr;
    std::string dotted = reinterpret_cast<FakeClass*>(object)->name;
    for (char& c : dotted) c = c == '/' ? '.' : c;
    std::lock_guard<std::recursive_mutex> guard(jni.lock);
    jni.strings.push_back(std::make_unique<std::string>(dotted));
    return reinterpret_cast<jobject>(jni.strings.back().get());
}

const char* JNICALL fakeGetStringUTFChars(JNIEnv*, jstring string, jboolean* isCopy) {
    if (isCopy != nullptr) *isCopy = JNI_FALSE;
    return reinterpret_cast<std::string*>(string)->c_str();
}

jsize JNICALL fakeGetStringUTFLength(JNIEnv*, jstring string) {
    return static_cast<jsize>(reinterpret_cast<std::string*>(string)->size());
}

void JNICALL fakeReleaseStringUTFChars(JNIEnv*, jstring, const char*) {}

}  // namespace

FakeJni::FakeJni() {
    table_.GetObjectClass = fakeGetObjectClass;
    table_.DeleteLocalRef = fakeDeleteLocalRef;
    table_.DefineClass = fakeDefineClass;
    table_.ExceptionCheck = fakeExceptionCheck;
    table_.ExceptionClear = fakeExceptionClear;
    table_.GetMethodID = fakeGetMethodID;
    table_.CallObjectMethodV = fakeCallObjectMethodV;
    table_.GetStringUTFChars = fakeGetStringUTFChars;
    table_.GetStringUTFLength = fakeGetStringUTFLength;
    table_.ReleaseStringUTFChars = fakeReleaseStringUTFChars;
    env_.base.functions = &table_;
    env_.owner = this;
}

FakeJni& FakeJni::of(JNIEnv* env) {
    return *reinterpret_cast<Env*>(env)->owner;
}

jobject FakeJni::loader(const std::string& internalName) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    classes.push_back(std::make_unique<FakeClass>(FakeClass{internalName}));
    objects.push_back(std::make_unique<Object>(Object{classes.back().get()}));
    return reinterpret_cast<jobject>(objects.back().get());
}
