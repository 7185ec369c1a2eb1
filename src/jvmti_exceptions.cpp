// The table of JVM TI errors and the Java exceptions the natives throw for
// them, as the JDK's agent (libinstrument) maps them in every release from
// 8 on; errors it does not name become an InternalError without a message.
#include "jvmti_exceptions.h"

#include <algorithm>
#include <climits>
#include <iterator>

#include "agent_state.h"
#include "bootcache_grammar.h"
#include "logging.h"

namespace {

constexpr char kUnsupported[] = "java/lang/UnsupportedOperationException";
constexpr char kInternalError[] = "java/lang/InternalError";

struct ErrorRow {
    jvmtiError error;
    int from;   // the first feature release the row holds for
    int until;  // the last one
    JvmtiException exception;
};

constexpr int kAll = kOldestRelease;
constexpr int kOn = INT_MAX;  // and every release after the newest known

// Each release's agent throws these (libinstrument's JavaExceptions.c).
// JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED came with
// nestmates in Java 11; its message names each class file attribute that
// later releases protected as well (records in 14, sealed classes in 15).
constexpr ErrorRow kErrorRows[] = {
    // The JDK's agent returns quietly from a call made in the wrong phase
    // (the VM is dying), with 0, false or null as the result.
    {JVMTI_ERROR_WRONG_PHASE, kAll, kOn, {nullptr, nullptr}},
    {JVMTI_ERROR_NULL_POINTER, kAll, kOn, {"java/lang/NullPointerException", nullptr}},
    {JVMTI_ERROR_ILLEGAL_ARGUMENT, kAll, kOn, {"java/lang/IllegalArgumentException", nullptr}},
    {JVMTI_ERROR_OUT_OF_MEMORY, kAll, kOn, {"java/lang/OutOfMemoryError", nullptr}},
    {JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION, kAll, kOn, {"java/lang/ClassCircularityError", nullptr}},
    {JVMTI_ERROR_FAILS_VERIFICATION, kAll, kOn, {"java/lang/VerifyError", nullptr}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED, kAll, kOn,
     {kUnsupported, "class redefinition failed: attempted to add a method"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED, kAll, kOn,
     {kUnsupported, "class redefinition failed: attempted to change the schema (add/remove fields)"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED, kAll, kOn,
     {kUnsupported, "class redefinition failed: attempted to change superclass or interfaces"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED, kAll, kOn,
     {kUnsupported, "class redefinition failed: attempted to delete a method"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED, kAll, kOn,
     {kUnsupported, "class redefinition failed: attempted to change the class modifiers"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 11, 13,
     {kUnsupported, "class redefinition failed: attempted to change the class NestHost or NestMembers attribute"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 14, 14,
     {kUnsupported,
      "class redefinition failed: attempted to change the class NestHost, NestMembers, or Record attribute"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, 15, kOn,
     {kUnsupported, "class redefinition failed: attempted to change the class NestHost, NestMembers, Record, or "
                    "PermittedSubclasses attribute"}},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED, kAll, kOn,
     {kUnsupported, "class redefinition failed: attempted to change method modifiers"}},
    {JVMTI_ERROR_UNSUPPORTED_VERSION, kAll, kOn, {"java/lang/UnsupportedClassVersionError", nullptr}},
    {JVMTI_ERROR_NAMES_DONT_MATCH, kAll, kOn, {"java/lang/NoClassDefFoundError", "class names don't match"}},
    {JVMTI_ERROR_INVALID_CLASS_FORMAT, kAll, kOn, {"java/lang/ClassFormatError", nullptr}},
    {JVMTI_ERROR_UNMODIFIABLE_CLASS, kAll, kOn, {"java/lang/instrument/UnmodifiableClassException", nullptr}},
    {JVMTI_ERROR_INVALID_CLASS, kAll, kOn, {kInternalError, "class redefinition failed: invalid class"}},
    {JVMTI_ERROR_CLASS_LOADER_UNSUPPORTED, kAll, kOn, {kUnsupported, "unsupported operation"}},
    // The JDK's agent updates modules from Java, and its redefineModule
    // throws this for a module JVM TI calls unmodifiable.
    {JVMTI_ERROR_UNMODIFIABLE_MODULE, 9, kOn, {"java/lang/instrument/UnmodifiableModuleException", nullptr}},
};

// Throws `new className(message)`, the way the JDK's agent makes its
// exceptions: through the String constructor, so that a null message
// stays null on every JVM.
void throwNew(JNIEnv* jni, const char* className, const char* message) {
    jclass klass = jni->FindClass(className);
    if (klass == nullptr) return;  // FindClass left its own error pending
    jmethodID constructor = jni->GetMethodID(klass, "<init>", "(Ljava/lang/String;)V");
    jstring text = constructor != nullptr && message != nullptr ? jni->NewStringUTF(message) : nullptr;
    if (constructor != nullptr && jni->ExceptionCheck() != JNI_TRUE) {
        auto throwable = static_cast<jthrowable>(jni->NewObject(klass, constructor, text));
        if (throwable != nullptr) jni->Throw(throwable);
        jni->DeleteLocalRef(throwable);
    }
    jni->DeleteLocalRef(text);
    jni->DeleteLocalRef(klass);
}

}  // namespace

JvmtiException exceptionFor(jvmtiError error, int release) {
    auto holds = [error, release](const ErrorRow& row) {
        return row.error == error && row.from <= release && release <= row.until;
    };
    const ErrorRow* row = std::find_if(std::begin(kErrorRows), std::end(kErrorRows), holds);
    return row == std::end(kErrorRows) ? JvmtiException{kInternalError, nullptr} : row->exception;
}

bool throwForError(JNIEnv* jni, jvmtiError error, const char* call) {
    if (jni->ExceptionCheck() == JNI_TRUE) return true;
    if (error == JVMTI_ERROR_NONE) return false;
    JvmtiException exception = exceptionFor(error, featureRelease(agent.jvmtiMajorVersion));
    log_write(TS_DEBUG, "%s: JVM TI error %d: %s", call, static_cast<int>(error),
              exception.className != nullptr ? exception.className : "ignored");
    if (exception.className == nullptr) return false;
    throwNew(jni, exception.className, exception.message);
    return jni->ExceptionCheck() == JNI_TRUE;
}
