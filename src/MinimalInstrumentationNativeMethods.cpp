// The four natives through which the Java agent reaches JVM TI: list the
// loaded classes, set a native method prefix, retransform and redefine
// classes. JVM TI errors become Java exceptions for the caller.
#include "MinimalInstrumentationNativeMethods.h"

#include <cstring>

#include "agent_util.h"
#include "logging.h"
#include "onLoad.h"

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

// Releases byte-array elements pinned for a redefinition.
struct PinnedDefinitions {
    JNIEnv* jni;
    jvmtiClassDefinition* records;
    jbyteArray* arrays;
    jint complete = 0;
    ~PinnedDefinitions() {
        for (jint i = 0; i < complete; i++) {
            if (records[i].class_bytes != nullptr) {
                jbyte* elements = reinterpret_cast<jbyte*>(const_cast<unsigned char*>(records[i].class_bytes));
                jni->ReleaseByteArrayElements(arrays[i], elements, 0);
            }
        }
    }
};

// Fills the records from the definitions; false when a Java exception stops it.
bool collectDefinitions(JNIEnv* jni, jobjectArray definitions, jint count, jmethodID getClass,
                        jmethodID getClassFile, PinnedDefinitions& pinned) {
    for (jint i = 0; i < count; i++) {
        jobject definition = jni->GetObjectArrayElement(definitions, i);
        if (checkForThrowable(jni)) return false;
        pinned.records[i].klass = static_cast<jclass>(jni->CallObjectMethod(definition, getClass));
        if (checkForThrowable(jni)) return false;
        auto bytes = static_cast<jbyteArray>(jni->CallObjectMethod(definition, getClassFile));
        jni->DeleteLocalRef(definition);
        pinned.arrays[i] = bytes;
        if (checkForThrowable(jni)) return false;
        pinned.records[i].class_byte_count = jni->GetArrayLength(bytes);
        if (checkForThrowable(jni)) return false;
        pinned.records[i].class_bytes =
            reinterpret_cast<const unsigned char*>(jni->GetByteArrayElements(bytes, nullptr));
        if (checkForThrowable(jni)) return false;
        pinned.complete = i + 1;
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
    if (jni->EnsureLocalCapacity(count + 16) != JNI_OK) return;  // OutOfMemoryError pending
    JvmtiPtr<jclass> array(jvmti, static_cast<jclass*>(allocate(jvmti, count * static_cast<jint>(sizeof(jclass)))));
    if (!array) {
        throwException(jni, kOutOfMemory, "Error");
        log_write(TS_DEBUG, "retransformClassesImpl: Failed allocating classArray");
        return;
    }
    jvmtiError error = JVMTI_ERROR_NONE;
    bool failed = false;
    for (jint i = 0; i < count && !failed; i++) {
        array.get()[i] = static_cast<jclass>(jni->GetObjectArrayElement(classes, i));
        if (checkForThrowable(jni)) {
            failed = true;
        } else if (array.get()[i] == nullptr) {
            log_write(TS_DEBUG, "retransformClassesImpl: classArray entry is NULL");
            error = JVMTI_ERROR_NULL_POINTER;
            failed = true;
        }
    }
    if (!failed) error = jvmti->RetransformClasses(count, array.get());
    array.reset();
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
    // Each definition keeps its class and its byte array referenced until
    // the redefinition is done.
    if (jni->EnsureLocalCapacity(2 * count + 16) != JNI_OK) return;

    jint recordBytes = count * static_cast<jint>(sizeof(jvmtiClassDefinition));
    JvmtiPtr<jvmtiClassDefinition> records(jvmti, static_cast<jvmtiClassDefinition*>(allocate(jvmti, recordBytes)));
    if (!records) {
        throwException(jni, kOutOfMemory, "Error");
        return;
    }
    JvmtiPtr<jbyteArray> arrays(jvmti,
                                static_cast<jbyteArray*>(allocate(jvmti, count * static_cast<jint>(sizeof(jbyteArray)))));
    if (!arrays) {
        records.reset();
        throwException(jni, kOutOfMemory, "Error");
        return;
    }
    memset(records.get(), 0, recordBytes);

    {
        PinnedDefinitions pinned{jni, records.get(), arrays.get()};
        if (collectDefinitions(jni, definitions, count, getClass, getClassFile, pinned)) {
            throwByErrorCode(jni, jvmti->RedefineClasses(count, records.get()), "redefineClassesImpl");
        }
    }
    arrays.reset();
    records.reset();
}

}  // extern "C"
