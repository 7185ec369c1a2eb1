// VM init: creates the Java-side MinimalInstrumentation from the agent jar,
// keeps it and its transform method for the class-file load hooks, and runs
// the Java agent's premain.
#include <atomic>
#include <cstdlib>
#include <initializer_list>

#include "atomic_view.h"
#include "MinimalInstrumentationNativeMethods.h"
#include "debugger_proxy.h"
#include "jarinfo.h"
#include "java_contract.h"
#include "logging.h"
#include "agent_state.h"
#include "platform.h"
#include "vmInit.h"

void wrongTarsilJarError(const char* message) {
    log_write(TS_DEBUG, "%s", message);
    log_write(TS_ERROR, "You're using an incompatible 'tarsil.jar' with the Tarsil Agent.");
    log_write(TS_FATAL, "Please make sure that '%s' is a copy of lib%starsil.jar from the Tarsil ZIP distribution.",
              agent.jarInfo != nullptr ? agent.jarInfo->path : "", TS_DIR_SEPARATOR_STRING);
    fatal_error_kill(0);
}

void loadInstrumentationModule(JNIEnv* jni) {
    if (!agent.java9) return;
    jclass modules = jni->FindClass("jdk/internal/module/Modules");
    if (checkForThrowable(jni)) jni->ExceptionClear();
    if (modules == nullptr) return;
    jmethodID loadModule = jni->GetStaticMethodID(modules, "loadModule", "(Ljava/lang/String;)Ljava/lang/Module;");
    if (loadModule == nullptr) {
        // GetStaticMethodID left a NoSuchMethodError pending.
        jni->ExceptionClear();
        log_write(TS_DEBUG, "Could not find loadModule in jdk.internal.module.Modules");
        jni->DeleteLocalRef(modules);
        return;
    }
    log_write(TS_DEBUG, "Loading module java.instrument");
    jstring name = jni->NewStringUTF("java.instrument");
    jobject module = jni->CallStaticObjectMethod(modules, loadModule, name);
    logThrowable(jni);
    if (module != nullptr) jni->DeleteLocalRef(module);
    jni->DeleteLocalRef(name);
    jni->DeleteLocalRef(modules);
}

namespace {

// A Java string for a C string that may be null.
jstring javaString(JNIEnv* jni, const char* text) {
    return text != nullptr ? jni->NewStringUTF(text) : nullptr;
}

jmethodID requireMethod(JNIEnv* jni, jclass klass, const char* name, const char* signature, const char* missing) {
    jmethodID method = jni->GetMethodID(klass, name, signature);
    if (method == nullptr) {
        logThrowable(jni);
        wrongTarsilJarError(missing);
    }
    return method;
}

// A boolean field the Java side may declare, or null.
jfieldID optionalBooleanField(JNIEnv* jni, jclass klass, const char* name) {
    jfieldID field = jni->GetFieldID(klass, name, "Z");
    if (field == nullptr) jni->ExceptionClear();
    return field;
}

}  // namespace

void JNICALL callback_VMInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread) {
    log_write(TS_DEBUG, "callback_VMInit");
    loadInstrumentationModule(jni);

    jclass klass = jni->FindClass(kInstrumentationClass);
    if (klass == nullptr) {
        jni->ExceptionClear();
        wrongTarsilJarError(TS_INSTRUMENTATION_CLASS_DOTTED " not found");
    }
    // Before the first instance exists, so that nothing the class runs can
    // reach a native still unbound.
    registerDeclaredNatives(jni, klass, agent.java9 != 0);
    jmethodID constructor = requireMethod(jni, klass, "<init>", kConstructorSignature,
                                          "MinimalInstrumentation constructor not found");
    jobject instance = jni->NewObject(klass, constructor);
    if (instance == nullptr) {
        logThrowable(jni);
        wrongTarsilJarError("Instantiating MinimalInstrumentation failed");
    }
    jobject global = jni->NewGlobalRef(instance);
    logThrowable(jni);
    // Calling a missing method would crash the JVM: treat it like the other
    // parts of the contract.
    jmethodID premain = requireMethod(jni, klass, kPremainMethod, kPremainSignature,
                                      "MinimalInstrumentation.loadClassAndCallPremain not found");
    jmethodID transform =
        jni->GetMethodID(klass, kTransformMethod, agent.java9 ? kTransformSignature9 : kTransformSignature8);
    logThrowable(jni);
    // Hooks on other threads read the object first (acquire): publishing it
    // last (release) makes the method and the fields visible with it.
    AtomicView<jmethodID>(agent.transformMethod).store(transform, std::memory_order_relaxed);
    agent.hasPlainTransformers = optionalBooleanField(jni, klass, kHasPlainTransformersField);
    agent.hasRetransformingTransformers = optionalBooleanField(jni, klass, kHasRetransformingTransformersField);
    AtomicView<jobject>(agent.instrumentation).store(global, std::memory_order_release);

    jstring premainClass = javaString(jni, agent.jarInfo->premainClass);
    jstring options = javaString(jni, agent.options);
    jstring libraryPath = javaString(jni, agent.libraryPath);
    jstring bootstrapJarPath = javaString(jni, agent.bootstrapJarPath);
    logThrowable(jni);

    log_write(TS_DEBUG, "Calling premain of Java agent.");
    jni->CallVoidMethod(global, premain, premainClass, options, libraryPath, bootstrapJarPath);
    if (checkForThrowable(jni)) {
        log_write(TS_ERROR, "FATAL ERROR in native method: processing of -agentpath failed");
        logThrowable(jni);
        exit_now(1);
    }
    log_write(TS_DEBUG, "Java agent successfully initialized.");
    for (jstring s : {premainClass, options, libraryPath, bootstrapJarPath}) {
        if (s != nullptr) jni->DeleteLocalRef(s);
    }
    jni->DeleteLocalRef(instance);
    jni->DeleteLocalRef(klass);
    launchDebuggerProxy(jvmti, jni);
}
