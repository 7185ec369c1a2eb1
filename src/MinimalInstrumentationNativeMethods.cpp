// The four natives through which the Java agent reaches JVM TI: list the
// loaded classes, set a native method prefix, retransform and redefine
// classes. JVM TI errors become Java exceptions for the caller.
#include "MinimalInstrumentationNativeMethods.h"

#include <cstring>

#include "agent_util.h"
#include "logging.h"
#include "agent_state.h"

jint throwException(JNIEnv* jni, const char* className, const char* message) {
    jclass exceptionClass = jni->FindClass(className);
    if (exceptionClass == nullptr) return JNI_ERR;  // FindClass left its own error pending
    jint result = jni->ThrowNew(exceptionClass, message);
    jni->DeleteLocalRef(exceptionClass);
    return result;
}

const char* exceptionClassFor(jvmtiError error) {
    switch (error) {
        case JVMTI_ERROR_INVALID_CLASS_FORMAT:
            return "java/lang/ClassFormatError";
        case JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION:
            return "java/lang/ClassCircularityError";
        case JVMTI_ERROR_FAILS_VERIFICATION:
            return "java/lang/VerifyError";
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED:
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED:
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED:
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED:
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED:
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED:
            return "java/lang/UnsupportedOperationException";
        case JVMTI_ERROR_UNSUPPORTED_VERSION:
            return "java/lang/UnsupportedClassVersionError";
        case JVMTI_ERROR_NAMES_DONT_MATCH:
            return "java/lang/LinkageError";
        case JVMTI_ERROR_UNMODIFIABLE_CLASS:
            return "java/lang/instrument/UnmodifiableClassException";
        default:
            return "java/lang/Error";
    }
}

void throwByErrorCode(JNIEnv* jni, jvmtiError error, const char* caller) {
    if (error == JVMTI_ERROR_NONE) return;
    jvmtiEnv* jvmti = agent.retransformJvmti;
    char* name = nullptr;
    jvmti->GetErrorName(error, &name);
    const char* message = name != nullptr ? name : "Unknown";
    log_write(TS_DEBUG, "%s: %s", caller, message);
    throwException(jni, exceptionClassFor(error), message);
    if (name != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
}

bool checkForThrowable(JNIEnv* jni) {
    return jni->ExceptionCheck() == JNI_TRUE;
}

void logThrowable(JNIEnv* jni) {
    if (checkForThrowable(jni)) jni->ExceptionDescribe();
}

namespace {

constexpr char kOutOfMemory[] = "java/lang/OutOfMemoryError";

// JVM TI memory for `count` records of T, zeroed; null (with an
// OutOfMemoryError pending for the caller) when there is none.
template <typename T>
T* allocateRecords(jvmtiEnv* jvmti, JNIEnv* jni, jint count) {
    jlong bytes = static_cast<jlong>(count) * static_cast<jlong>(sizeof(T));
    unsigned char* memory = nullptr;
    if (jvmti->Allocate(bytes, &memory) != JVMTI_ERROR_NONE || memory == nullptr) {
        throwException(jni, kOutOfMemory, "Error");
        return nullptr;
    }
    memset(memory, 0, static_cast<size_t>(bytes));
    return reinterpret_cast<T*>(memory);
}

// Promotes a local reference to a global one and drops the local: the set
// of classes handed to JVM TI may be far larger than the JVM allows local
// references in one frame (-XX:MaxJNILocalCapacity), while global
// references have no such bound. Null with an OutOfMemoryError pending
// when the JVM has no room for it (a NullPointerException for null).
template <typename T>
T promoteToGlobal(JNIEnv* jni, T local) {
    if (local == nullptr) {
        throwException(jni, "java/lang/NullPointerException", "Error");
        return nullptr;
    }
    auto global = static_cast<T>(jni->NewGlobalRef(local));
    jni->DeleteLocalRef(local);
    if (global == nullptr && !checkForThrowable(jni)) throwException(jni, kOutOfMemory, "Error");
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

}  // namespace

extern "C" {

JNIEXPORT jobjectArray JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_getAllLoadedClassesImpl(JNIEnv* jni, jobject) {
    jvmtiEnv* jvmti = agent.jvmti;
    if (jvmti == nullptr) return nullptr;
    jint count = 0;
    JvmtiPtr<jclass> classes(jvmti);
    check_jvmti_error(jvmti, jvmti->GetLoadedClasses(&count, classes.out()), "GetLoadedClasses");
    // The listing holds a local reference per class: tell JNI how many.
    jni->EnsureLocalCapacity(count + 16);

    jclass classClass = jni->FindClass("java/lang/Class");
    logThrowable(jni);
    jobjectArray result = jni->NewObjectArray(count, classClass, nullptr);
    logThrowable(jni);
    if (result != nullptr) {
        for (jint i = 0; i < count; i++) {
            jni->SetObjectArrayElement(result, i, classes.get()[i]);
            logThrowable(jni);
        }
    }
    // GetLoadedClasses hands out local references; free them now rather than
    // when the native returns, since there may be tens of thousands.
    for (jint i = 0; i < count; i++) jni->DeleteLocalRef(classes.get()[i]);
    if (classClass != nullptr) jni->DeleteLocalRef(classClass);
    return result;
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
        throwException(jni, "java/lang/NullPointerException", "Error");
        log_write(TS_DEBUG, "retransformClassesImpl: jvmti == %p, classes == %p", static_cast<void*>(jvmti),
                  static_cast<void*>(classes));
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
    throwByErrorCode(jni, error, "retransformClassesImpl");
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
        throwByErrorCode(jni, jvmti->RedefineClasses(count, pinned.records.get()), "redefineClassesImpl");
    }
}

}  // extern "C"
