#include "support/fake_jni.h"

#include <cstdarg>
#include <cstring>

namespace {

FakeClass kClassClass{"java/lang/Class"};
int kGetNameMarker;
int kConstructorMarker;
int kMethodMarker;

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

// A class with declared methods answers for those only; any other class
// for Class.getName() and for the constructors of exceptions.
jmethodID JNICALL fakeGetMethodID(JNIEnv* env, jclass klass, const char* name, const char* signature) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    auto* fake = reinterpret_cast<FakeClass*>(klass);
    if (fake == &kClassClass) {
        bool getName = strcmp(name, "getName") == 0 && strcmp(signature, "()Ljava/lang/String;") == 0;
        return getName ? reinterpret_cast<jmethodID>(&kGetNameMarker) : nullptr;
    }
    auto declared = jni.declaredMethods.find(fake->name);
    if (declared == jni.declaredMethods.end()) {
        return strcmp(name, "<init>") == 0 ? reinterpret_cast<jmethodID>(&kConstructorMarker) : nullptr;
    }
    if (declared->second.count(std::string(name) + " " + signature)) return reinterpret_cast<jmethodID>(&kMethodMarker);
    jni.pending = true;  // NoSuchMethodError
    return nullptr;
}

jclass JNICALL fakeFindClass(JNIEnv* env, const char* name) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    std::lock_guard<std::recursive_mutex> guard(jni.lock);
    jni.classes.push_back(std::make_unique<FakeClass>(FakeClass{name}));
    return reinterpret_cast<jclass>(jni.classes.back().get());
}

jstring JNICALL fakeNewStringUTF(JNIEnv* env, const char* text) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    std::lock_guard<std::recursive_mutex> guard(jni.lock);
    jni.strings.push_back(std::make_unique<std::string>(text));
    return reinterpret_cast<jstring>(jni.strings.back().get());
}

// An exception object is the text Throw records: "class" or "class: message".
jobject JNICALL fakeNewObjectV(JNIEnv* env, jclass klass, jmethodID, va_list args) {
    auto message = reinterpret_cast<std::string*>(va_arg(args, jstring));
    std::string text = reinterpret_cast<FakeClass*>(klass)->name + (message ? ": " + *message : "");
    return reinterpret_cast<jobject>(fakeNewStringUTF(env, text.c_str()));
}

jint JNICALL fakeThrow(JNIEnv* env, jthrowable throwable) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    jni.thrown.push_back(*reinterpret_cast<std::string*>(throwable));
    jni.pending = true;
    return JNI_OK;
}

void JNICALL fakeExceptionDescribe(JNIEnv* env) {
    FakeJni::of(env).pending = false;
}

jint JNICALL fakeRegisterNatives(JNIEnv* env, jclass, const JNINativeMethod* methods, jint count) {
    FakeJni& jni = FakeJni::of(env);
    noteCall(jni);
    for (jint i = 0; i < count; i++) {
        std::string method = std::string(methods[i].name) + " " + methods[i].signature;
        jni.registered.push_back(method);
        jni.nativeFunctions[method] = methods[i].fnPtr;
        if (jni.failingNatives.count(methods[i].name)) {
            jni.pending = true;
            return JNI_ERR;
        }
    }
    return JNI_OK;
}

jsize JNICALL fakeGetArrayLength(JNIEnv*, jarray array) {
    return static_cast<jsize>(reinterpret_cast<std::vector<jobject>*>(array)->size());
}

jobject JNICALL fakeGetObjectArrayElement(JNIEnv*, jobjectArray array, jsize index) {
    return reinterpret_cast<std::vector<jobject>*>(array)->at(index);
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
    table_.FindClass = fakeFindClass;
    table_.NewStringUTF = fakeNewStringUTF;
    table_.NewObjectV = fakeNewObjectV;
    table_.Throw = fakeThrow;
    table_.ExceptionDescribe = fakeExceptionDescribe;
    table_.RegisterNatives = fakeRegisterNatives;
    table_.GetArrayLength = fakeGetArrayLength;
    table_.GetObjectArrayElement = fakeGetObjectArrayElement;
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

jobjectArray FakeJni::stringArray(const std::vector<std::optional<std::string>>& elements) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    arrays.push_back(std::make_unique<std::vector<jobject>>());
    for (const auto& element : elements) {
        jstring string = element ? fakeNewStringUTF(env(), element->c_str()) : nullptr;
        arrays.back()->push_back(string);
    }
    return reinterpret_cast<jobjectArray>(arrays.back().get());
}
