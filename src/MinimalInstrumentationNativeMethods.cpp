// The natives through which the Java agent reaches JVM TI: the four exported
// ones (list the loaded classes, set a native method prefix, retransform and
// redefine classes) and, bound at VM init where the Java class declares
// them, the rest of java.lang.instrument.Instrumentation. A JVM TI error
// becomes the exception jvmti_exceptions names for it.
#include "MinimalInstrumentationNativeMethods.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent_state.h"
#include "agent_util.h"
#include "java_contract.h"
#include "jvmti_exceptions.h"
#include "logging.h"

bool checkForThrowable(JNIEnv* jni) {
    return jni->ExceptionCheck() == JNI_TRUE;
}

void logThrowable(JNIEnv* jni) {
    if (checkForThrowable(jni)) jni->ExceptionDescribe();
}

namespace {

// JVM TI memory for `count` records of T, zeroed; null (with an
// OutOfMemoryError pending for the caller) when there is none.
template <typename T>
T* allocateRecords(jvmtiEnv* jvmti, JNIEnv* jni, jint count) {
    jlong bytes = static_cast<jlong>(count) * static_cast<jlong>(sizeof(T));
    unsigned char* memory = nullptr;
    jvmtiError error = jvmti->Allocate(bytes, &memory);
    if (error != JVMTI_ERROR_NONE || memory == nullptr) {
        throwForError(jni, error != JVMTI_ERROR_NONE ? error : JVMTI_ERROR_OUT_OF_MEMORY, "Allocate");
        return nullptr;
    }
    memset(memory, 0, static_cast<size_t>(bytes));
    return reinterpret_cast<T*>(memory);
}

// Promotes a local reference to a global one and drops the local: the set
// of classes handed to JVM TI may be far larger than the JVM allows local
// references in one frame (-XX:MaxJNILocalCapacity), while global
// references have no such bound. Null with an exception pending when the
// JVM has no room for it or the reference is null.
template <typename T>
T promoteToGlobal(JNIEnv* jni, T local) {
    if (local == nullptr) {
        throwForError(jni, JVMTI_ERROR_NULL_POINTER, "promoteToGlobal");
        return nullptr;
    }
    auto global = static_cast<T>(jni->NewGlobalRef(local));
    jni->DeleteLocalRef(local);
    if (global == nullptr) throwForError(jni, JVMTI_ERROR_OUT_OF_MEMORY, "NewGlobalRef");
    return global;
}

// The classes of one retransformation as global references, released with
// the JVM TI array.
struct GlobalClasses {
    JNIEnv* jni;
    JvmtiPtr<jclass> classes;
    jint count;
    ~GlobalClasses() {
        for (jint i = 0; classes && i < count; i++) {
            if (classes.get()[i] != nullptr) jni->DeleteGlobalRef(classes.get()[i]);
        }
    }
};

// Releases the byte-array elements pinned for a redefinition and the global
// references of each definition's class and array.
struct PinnedDefinitions {
    JNIEnv* jni;
    JvmtiPtr<jvmtiClassDefinition> records;
    JvmtiPtr<jbyteArray> arrays;
    jint count;
    ~PinnedDefinitions() {
        for (jint i = 0; records && arrays && i < count; i++) {
            jvmtiClassDefinition& record = records.get()[i];
            jbyteArray array = arrays.get()[i];
            if (record.class_bytes != nullptr) {
                jbyte* elements = reinterpret_cast<jbyte*>(const_cast<unsigned char*>(record.class_bytes));
                jni->ReleaseByteArrayElements(array, elements, JNI_ABORT);
            }
            if (array != nullptr) jni->DeleteGlobalRef(array);
            if (record.klass != nullptr) jni->DeleteGlobalRef(record.klass);
        }
    }
};

// Fills the classes from the Java array; false when a Java exception stops
// it or an element is null (then *error says so).
bool collectClasses(JNIEnv* jni, jobjectArray classes, GlobalClasses& out, jvmtiError* error) {
    for (jint i = 0; i < out.count; i++) {
        auto local = static_cast<jclass>(jni->GetObjectArrayElement(classes, i));
        if (checkForThrowable(jni)) return false;
        if (local == nullptr) {
            log_write(TS_DEBUG, "retransformClassesImpl: classArray entry is NULL");
            *error = JVMTI_ERROR_NULL_POINTER;
            return false;
        }
        out.classes.get()[i] = promoteToGlobal(jni, local);
        if (out.classes.get()[i] == nullptr) return false;
    }
    return true;
}

// Fills the records from the definitions; false when a Java exception stops
// it. Every local reference is dropped before the next definition.
bool collectDefinitions(JNIEnv* jni, jobjectArray definitions, jmethodID getClass, jmethodID getClassFile,
                        PinnedDefinitions& pinned) {
    for (jint i = 0; i < pinned.count; i++) {
        jvmtiClassDefinition& record = pinned.records.get()[i];
        jobject definition = jni->GetObjectArrayElement(definitions, i);
        if (checkForThrowable(jni)) return false;
        auto klass = static_cast<jclass>(jni->CallObjectMethod(definition, getClass));
        if (checkForThrowable(jni)) {
            jni->DeleteLocalRef(definition);
            return false;
        }
        auto bytes = static_cast<jbyteArray>(jni->CallObjectMethod(definition, getClassFile));
        jni->DeleteLocalRef(definition);
        if (checkForThrowable(jni)) return false;
        record.klass = promoteToGlobal(jni, klass);
        if (record.klass == nullptr) return false;
        pinned.arrays.get()[i] = promoteToGlobal(jni, bytes);
        if (pinned.arrays.get()[i] == nullptr) return false;
        record.class_byte_count = jni->GetArrayLength(pinned.arrays.get()[i]);
        if (checkForThrowable(jni)) return false;
        record.class_bytes =
            reinterpret_cast<const unsigned char*>(jni->GetByteArrayElements(pinned.arrays.get()[i], nullptr));
        if (checkForThrowable(jni)) return false;
    }
    return true;
}

// The Java array of a list of classes JVM TI handed out, whose local
// references (one per class) are all dropped here: there may be tens of
// thousands, far more than a native frame should hold until it returns.
// Null with an exception pending when the array cannot be made.
jobjectArray classArrayOf(JNIEnv* jni, jint count, jclass* classes) {
    // The references exist already: this only tells JNI, which may refuse.
    if (jni->EnsureLocalCapacity(count + 16) != JNI_OK) jni->ExceptionClear();
    jclass classClass = jni->FindClass("java/lang/Class");
    jobjectArray result = classClass != nullptr ? jni->NewObjectArray(count, classClass, nullptr) : nullptr;
    for (jint i = 0; result != nullptr && i < count; i++) jni->SetObjectArrayElement(result, i, classes[i]);
    for (jint i = 0; i < count; i++) jni->DeleteLocalRef(classes[i]);
    jni->DeleteLocalRef(classClass);
    return result;
}

// A copy of a Java string's modified UTF-8; none, with an OutOfMemoryError
// pending, when the JVM has no room for it.
std::optional<std::string> utf8Of(JNIEnv* jni, jstring text) {
    const char* chars = jni->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) return std::nullopt;
    std::string copy(chars);
    jni->ReleaseStringUTFChars(text, chars);
    return copy;
}

// The natives bound at VM init. Each calls JVM TI on the main environment
// (the one the JDK's agent uses for them too), after the Java side checked
// the arguments the Instrumentation interface documents.

jlong JNICALL getObjectSize(JNIEnv* jni, jobject, jobject object) {
    jlong size = 0;
    throwForError(jni, agent.jvmti->GetObjectSize(object, &size), "GetObjectSize");
    return size;
}

void appendToSearch(JNIEnv* jni, jstring jarFile, bool bootLoader) {
    std::optional<std::string> path = utf8Of(jni, jarFile);
    if (!path) return;
    jvmtiError error = bootLoader ? agent.jvmti->AddToBootstrapClassLoaderSearch(path->c_str())
                                  : agent.jvmti->AddToSystemClassLoaderSearch(path->c_str());
    throwForError(jni, error, bootLoader ? "AddToBootstrapClassLoaderSearch" : "AddToSystemClassLoaderSearch");
}

void JNICALL appendToBootSearch(JNIEnv* jni, jobject, jstring jarFile) {
    appendToSearch(jni, jarFile, true);
}

void JNICALL appendToSystemSearch(JNIEnv* jni, jobject, jstring jarFile) {
    appendToSearch(jni, jarFile, false);
}

// Like the JDK's agent, answers false rather than throw when JVM TI fails.
jboolean JNICALL isModifiableClass(JNIEnv*, jobject, jclass klass) {
    jboolean modifiable = JNI_FALSE;
    jvmtiError error = agent.jvmti->IsModifiableClass(klass, &modifiable);
    if (error != JVMTI_ERROR_NONE) log_write(TS_DEBUG, "IsModifiableClass: JVM TI error %d", static_cast<int>(error));
    return error == JVMTI_ERROR_NONE ? modifiable : JNI_FALSE;
}

jobjectArray JNICALL getInitiatedClasses(JNIEnv* jni, jobject, jobject loader) {
    jint count = 0;
    JvmtiPtr<jclass> classes(agent.jvmti);
    jvmtiError error = agent.jvmti->GetClassLoaderClasses(loader, &count, classes.out());
    if (throwForError(jni, error, "GetClassLoaderClasses") || !classes) return nullptr;
    return classArrayOf(jni, count, classes.get());
}

// The prefixes of one kind of transformer replace that environment's list.
// The main environment also wraps the library's own natives: their prefix
// stays first, where Agent_OnLoad put it, so that the JVM still resolves
// them whatever the Java agent's transformers ask for.
void JNICALL setNativeMethodPrefixes(JNIEnv* jni, jobject, jobjectArray prefixes, jboolean retransformCapable) {
    bool main = retransformCapable != JNI_TRUE;
    jvmtiEnv* jvmti = main ? agent.jvmti : agent.retransformJvmti;
    std::vector<std::string> list;
    if (main) list.emplace_back(kNativeMethodPrefix);
    jint count = prefixes != nullptr ? jni->GetArrayLength(prefixes) : 0;
    for (jint i = 0; i < count; i++) {
        auto element = static_cast<jstring>(jni->GetObjectArrayElement(prefixes, i));
        if (checkForThrowable(jni)) return;
        if (element == nullptr) continue;  // a transformer without a prefix
        std::optional<std::string> prefix = utf8Of(jni, element);
        jni->DeleteLocalRef(element);
        if (!prefix) return;
        if (!prefix->empty() && !(main && *prefix == kNativeMethodPrefix)) list.push_back(std::move(*prefix));
    }
    std::vector<char*> pointers;
    for (std::string& prefix : list) pointers.push_back(prefix.data());
    // Never a null array, even for no prefixes: JVM TI checks the pointer.
    char* none[1] = {nullptr};
    jint prefixCount = static_cast<jint>(pointers.size());
    jvmtiError error = jvmti->SetNativeMethodPrefixes(prefixCount, pointers.empty() ? none : pointers.data());
    // The JDK's agent throws nothing here either: the Java side has checked
    // that prefixes are supported.
    if (error != JVMTI_ERROR_NONE) {
        log_write(TS_WARN, "SetNativeMethodPrefixes of %d prefixes failed: JVM TI error %d",
                  static_cast<int>(prefixCount), static_cast<int>(error));
    }
}

jboolean JNICALL isModifiableModule(JNIEnv*, jobject, jobject module) {
    jboolean modifiable = JNI_FALSE;
    jvmtiError error = agent.jvmti->IsModifiableModule(module, &modifiable);
    if (error != JVMTI_ERROR_NONE) log_write(TS_DEBUG, "IsModifiableModule: JVM TI error %d", static_cast<int>(error));
    return error == JVMTI_ERROR_NONE ? modifiable : JNI_FALSE;
}

void JNICALL addModuleReads(JNIEnv* jni, jobject, jobject module, jobject other) {
    throwForError(jni, agent.jvmti->AddModuleReads(module, other), "AddModuleReads");
}

// Exports or opens the package (its dotted name, as the module names it).
void addModulePackage(JNIEnv* jni, jobject module, jstring package, jobject other, bool opens) {
    std::optional<std::string> name = utf8Of(jni, package);
    if (!name) return;
    jvmtiError error = opens ? agent.jvmti->AddModuleOpens(module, name->c_str(), other)
                             : agent.jvmti->AddModuleExports(module, name->c_str(), other);
    throwForError(jni, error, opens ? "AddModuleOpens" : "AddModuleExports");
}

void JNICALL addModuleExports(JNIEnv* jni, jobject, jobject module, jstring package, jobject other) {
    addModulePackage(jni, module, package, other, false);
}

void JNICALL addModuleOpens(JNIEnv* jni, jobject, jobject module, jstring package, jobject other) {
    addModulePackage(jni, module, package, other, true);
}

void JNICALL addModuleUses(JNIEnv* jni, jobject, jobject module, jclass service) {
    throwForError(jni, agent.jvmti->AddModuleUses(module, service), "AddModuleUses");
}

void JNICALL addModuleProvides(JNIEnv* jni, jobject, jobject module, jclass service, jclass implementation) {
    throwForError(jni, agent.jvmti->AddModuleProvides(module, service, implementation), "AddModuleProvides");
}

// One native of the contract and the function that implements it.
struct Binding {
    const ExtraNative& native;
    void* function;
    bool namesModule;  // its signature names java.lang.Module: Java 9 and later
};

// Binds one native; a failure leaves the method unbound (calling it throws
// UnsatisfiedLinkError), which only the Java agent's use of it can tell.
void bind(JNIEnv* jni, jclass klass, const Binding& binding) {
    const ExtraNative& native = binding.native;
    if (jni->GetMethodID(klass, native.name, native.signature) == nullptr) {
        jni->ExceptionClear();  // the NoSuchMethodError of an agent jar without it
        log_write(TS_DEBUG, "MinimalInstrumentation does not declare %s%s", native.name, native.signature);
        return;
    }
    JNINativeMethod method{const_cast<char*>(native.name), const_cast<char*>(native.signature), binding.function};
    if (jni->RegisterNatives(klass, &method, 1) != JNI_OK) {
        log_write(TS_ERROR, "Could not bind the native MinimalInstrumentation.%s%s", native.name, native.signature);
        logThrowable(jni);
        jni->ExceptionClear();
    }
}

}  // namespace

void registerDeclaredNatives(JNIEnv* jni, jclass klass, bool java9) {
    const Binding bindings[] = {
        {kGetObjectSize, reinterpret_cast<void*>(&getObjectSize), false},
        {kAppendToBootSearch, reinterpret_cast<void*>(&appendToBootSearch), false},
        {kAppendToSystemSearch, reinterpret_cast<void*>(&appendToSystemSearch), false},
        {kIsModifiableClass, reinterpret_cast<void*>(&isModifiableClass), false},
        {kGetInitiatedClasses, reinterpret_cast<void*>(&getInitiatedClasses), false},
        {kSetNativeMethodPrefixes, reinterpret_cast<void*>(&setNativeMethodPrefixes), false},
        {kIsModifiableModule, reinterpret_cast<void*>(&isModifiableModule), true},
        {kAddModuleReads, reinterpret_cast<void*>(&addModuleReads), true},
        {kAddModuleExports, reinterpret_cast<void*>(&addModuleExports), true},
        {kAddModuleOpens, reinterpret_cast<void*>(&addModuleOpens), true},
        {kAddModuleUses, reinterpret_cast<void*>(&addModuleUses), true},
        {kAddModuleProvides, reinterpret_cast<void*>(&addModuleProvides), true},
    };
    for (const Binding& binding : bindings) {
        if (binding.namesModule && !java9) continue;
        bind(jni, klass, binding);
    }
}

extern "C" {

JNIEXPORT jobjectArray JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_getAllLoadedClassesImpl(JNIEnv* jni, jobject) {
    jvmtiEnv* jvmti = agent.jvmti;
    if (jvmti == nullptr) return nullptr;
    jint count = 0;
    JvmtiPtr<jclass> classes(jvmti);
    if (throwForError(jni, jvmti->GetLoadedClasses(&count, classes.out()), "GetLoadedClasses") || !classes) {
        return nullptr;
    }
    return classArrayOf(jni, count, classes.get());
}

JNIEXPORT void JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_setNativeMethodPrefixImpl(JNIEnv* jni, jobject,
                                                                                       jstring prefix) {
    jvmtiEnv* jvmti = agent.jvmti;
    if (jvmti == nullptr || prefix == nullptr) return;
    const char* chars = jni->GetStringUTFChars(prefix, nullptr);
    if (chars == nullptr) return;
    // Agent_OnLoad already set the agent's own prefix on this environment.
    if (strcmp(chars, kNativeMethodPrefix) != 0) {
        check_jvmti_error(jvmti, jvmti->SetNativeMethodPrefix(chars), "SetNativeMethodPrefix");
    }
    jni->ReleaseStringUTFChars(prefix, chars);
}

JNIEXPORT void JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_retransformClassesImpl(JNIEnv* jni, jobject,
                                                                                    jobjectArray classes) {
    jvmtiEnv* jvmti = agent.retransformJvmti;
    if (jvmti == nullptr || classes == nullptr) {
        log_write(TS_DEBUG, "retransformClassesImpl: jvmti == %p, classes == %p", static_cast<void*>(jvmti),
                  static_cast<void*>(classes));
        throwForError(jni, jvmti == nullptr ? JVMTI_ERROR_MUST_POSSESS_CAPABILITY : JVMTI_ERROR_NULL_POINTER,
                      "retransformClassesImpl");
        return;
    }
    jint count = jni->GetArrayLength(classes);
    if (count == 0) {
        log_write(TS_DEBUG, "retransformClassesImpl: numClasses == %d", static_cast<int>(count));
        return;
    }
    GlobalClasses globals{jni, JvmtiPtr<jclass>(jvmti, allocateRecords<jclass>(jvmti, jni, count)), count};
    if (!globals.classes) {
        log_write(TS_DEBUG, "retransformClassesImpl: Failed allocating classArray");
        return;
    }
    jvmtiError error = JVMTI_ERROR_NONE;
    if (collectClasses(jni, classes, globals, &error)) error = jvmti->RetransformClasses(count, globals.classes.get());
    throwForError(jni, error, "RetransformClasses");
}

JNIEXPORT void JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_redefineClassesImpl(JNIEnv* jni, jobject,
                                                                                 jobjectArray definitions) {
    jvmtiEnv* jvmti = agent.jvmti;
    if (definitions == nullptr || jvmti == nullptr) return;
    jclass definitionClass = jni->FindClass("java/lang/instrument/ClassDefinition");
    if (checkForThrowable(jni)) return;
    jmethodID getClass = jni->GetMethodID(definitionClass, "getDefinitionClass", "()Ljava/lang/Class;");
    jmethodID getClassFile = getClass ? jni->GetMethodID(definitionClass, "getDefinitionClassFile", "()[B") : nullptr;
    jni->DeleteLocalRef(definitionClass);
    if (checkForThrowable(jni)) return;
    jint count = jni->GetArrayLength(definitions);
    if (checkForThrowable(jni) || count == 0) return;
    // Each definition keeps its class and its byte array referenced and
    // pinned until the redefinition is done.
    PinnedDefinitions pinned{jni, JvmtiPtr<jvmtiClassDefinition>(jvmti), JvmtiPtr<jbyteArray>(jvmti), count};
    pinned.records = JvmtiPtr<jvmtiClassDefinition>(jvmti, allocateRecords<jvmtiClassDefinition>(jvmti, jni, count));
    if (!pinned.records) return;
    pinned.arrays = JvmtiPtr<jbyteArray>(jvmti, allocateRecords<jbyteArray>(jvmti, jni, count));
    if (!pinned.arrays) return;
    if (collectDefinitions(jni, definitions, getClass, getClassFile, pinned)) {
        throwForError(jni, jvmti->RedefineClasses(count, pinned.records.get()), "RedefineClasses");
    }
}

}  // extern "C"
