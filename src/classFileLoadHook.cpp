// Both class-file load hooks end here: the main environment's (loads and
// redefinitions, passed to Java with false) and the retransform
// environment's (also retransformations, passed with true). A class that a
// hook's own Java call loads on the same thread is not passed to Java again
// by that hook.
#include "classFileLoadHook.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "atomic_view.h"
#include "MinimalInstrumentationNativeMethods.h"
#include "agent_util.h"
#include "boot_cp_emu.h"
#include "list.h"
#include "logging.h"
#include "agent_state.h"

namespace {

// Re-entrancy depth of the hooks, per thread and per environment, in plain
// thread-local integers: no JVM TI call and no allocation on the class-load
// path. The hook's native frame keeps a virtual thread on its carrier while
// the depth is above 0, so the carrier's counter is the thread's. The
// library has two environments; a slot at depth 0 is free for any other.
struct DepthSlot {
    jvmtiEnv* env;
    jint depth;
};
constexpr int kDepthSlots = 4;
thread_local DepthSlot depthSlots[kDepthSlots];

jint& depthOf(jvmtiEnv* jvmti) {
    for (DepthSlot& slot : depthSlots) {
        if (slot.env == jvmti) return slot.depth;
    }
    for (DepthSlot& slot : depthSlots) {
        if (slot.depth == 0) {
            slot.env = jvmti;
            return slot.depth;
        }
    }
    log_write(TS_FATAL, "More than %d JVM TI environments in class-file load hooks on one thread", kDepthSlots);
    fatal_error_kill(1);
}

bool traced(const char* name) {
    const char* prefix = agent.transformTracePrefix;
    return prefix != nullptr && prefix[0] != '\0' && strncmp(name, prefix, strlen(prefix)) == 0;
}

void traceLoad(jvmtiEnv* jvmti, JNIEnv* jni, jobject loader, const char* name) {
    log_write(TS_DEBUG, "Transforming %s", name);
    if (loader != nullptr) {
        jclass loaderClass = jni->GetObjectClass(loader);
        JvmtiString signature(jvmti);
        if (jvmti->GetClassSignature(loaderClass, signature.out(), nullptr) == JVMTI_ERROR_NONE) {
            log_write(TS_DEBUG, "Class loader: %s", signature.get());
        }
        jni->DeleteLocalRef(loaderClass);
    }
    printStackTrace(jvmti, jni);
}

// Hands the class to the Java transformer and installs what it returns.
void classFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined, jobject loader, const char* name,
                       jobject protectionDomain, jint classDataLength, const unsigned char* classData,
                       jint* newClassDataLength, unsigned char** newClassData, jboolean retransform) {
    // Published by VM init on another thread: the object first, then the method.
    jobject transformer = AtomicView<jobject>(agent.instrumentation).load(std::memory_order_acquire);
    jmethodID transform = AtomicView<jmethodID>(agent.transformMethod).load(std::memory_order_relaxed);
    if (name == nullptr || transformer == nullptr || transform == nullptr) return;
    // Nothing to build for Java when no transformer of this kind would see it.
    jfieldID present = retransform ? agent.hasRetransformingTransformers : agent.hasPlainTransformers;
    if (present != nullptr && !jni->GetBooleanField(transformer, present)) return;
    // Only a Java call needs the module: looked up here, not for every load.
    jobject module = getModuleObject(jvmti, loader, name);

    // A failed allocation leaves an OutOfMemoryError pending: report it and
    // leave the class as it is rather than call Java with null arguments.
    jstring className = jni->NewStringUTF(name);
    if (className == nullptr) {
        logThrowable(jni);
        if (module != nullptr) jni->DeleteLocalRef(module);
        return;
    }
    jbyteArray bytes = jni->NewByteArray(classDataLength);
    logThrowable(jni);
    if (bytes == nullptr) {
        jni->DeleteLocalRef(className);
        if (module != nullptr) jni->DeleteLocalRef(module);
        return;
    }
    jni->SetByteArrayRegion(bytes, 0, classDataLength, reinterpret_cast<const jbyte*>(classData));
    logThrowable(jni);

    jobject result = agent.java9 ? jni->CallObjectMethod(transformer, transform, module, loader, className,
                                                         classBeingRedefined, protectionDomain, bytes, retransform)
                                 : jni->CallObjectMethod(transformer, transform, loader, className,
                                                         classBeingRedefined, protectionDomain, bytes, retransform);
    logThrowable(jni);

    if (result != nullptr) {
        auto replacement = static_cast<jbyteArray>(result);
        jint length = jni->GetArrayLength(replacement);
        // Only bytes the emulation supplied for this event can be here.
        if (*newClassData != nullptr) deallocate(jvmti, *newClassData);
        unsigned char* buffer = nullptr;
        check_jvmti_error(jvmti, jvmti->Allocate(length, &buffer), "Unable to allocate buffer for class file");
        jni->GetByteArrayRegion(replacement, 0, length, reinterpret_cast<jbyte*>(buffer));
        logThrowable(jni);
        *newClassData = buffer;
        *newClassDataLength = length;
    }
    jni->DeleteLocalRef(className);
    jni->DeleteLocalRef(bytes);
    if (result != nullptr) jni->DeleteLocalRef(result);
    if (module != nullptr) jni->DeleteLocalRef(module);
}

}  // namespace

int monitorEnter(jvmtiEnv* jvmti) {
    return depthOf(jvmti)++;
}

int monitorExit(jvmtiEnv* jvmti) {
    return --depthOf(jvmti);
}

jobject getModuleObject(jvmtiEnv* jvmti, jobject loader, const char* className) {
    if (!agent.java9) return nullptr;
    std::string_view name = className != nullptr ? className : "";
    size_t slash = name.rfind('/');
    std::string_view package = slash == std::string_view::npos ? std::string_view("") : name.substr(0, slash);

    // Package names almost always fit on the stack.
    char small[256];
    HeapString large;
    char* packageName = small;
    if (package.size() >= sizeof small) {
        large.reset(lfts_ndup(package.data(), package.size()));
        packageName = large.get();
    } else {
        memcpy(small, package.data(), package.size());
        small[package.size()] = '\0';
    }

    jobject module = nullptr;
    jvmtiError error = jvmti->GetNamedModule(loader, packageName, &module);
    if (error == JVMTI_ERROR_WRONG_PHASE) return nullptr;
    if (error != JVMTI_ERROR_NONE) log_write(TS_ERROR, "Could not get module of %s", className);
    return module;
}

void printStackTrace(jvmtiEnv* jvmti, JNIEnv* jni) {
    jvmtiFrameInfo frames[300];
    jint count = 0;
    jvmtiError error = jvmti->GetStackTrace(nullptr, 0, 300, frames, &count);
    if (error == JVMTI_ERROR_NONE) {
        log_write(TS_DEBUG, "Stacktrace:");
        for (jint i = 0; i < count && error == JVMTI_ERROR_NONE; i++) {
            JvmtiString signature(jvmti);
            JvmtiString methodName(jvmti);
            jclass declaringClass = nullptr;
            error = jvmti->GetMethodDeclaringClass(frames[i].method, &declaringClass);
            if (error == JVMTI_ERROR_NONE) {
                error = jvmti->GetClassSignature(declaringClass, signature.out(), nullptr);
                jni->DeleteLocalRef(declaringClass);
            }
            if (error == JVMTI_ERROR_NONE) error = jvmti->GetMethodName(frames[i].method, methodName.out(), nullptr, nullptr);
            if (error == JVMTI_ERROR_NONE) {
                std::string_view type = signature.get();
                std::string_view className = type.size() >= 2 ? type.substr(1, type.size() - 2) : type;
                log_write(TS_DEBUG, "\tat %.*s.%s", static_cast<int>(className.size()), className.data(),
                          methodName.get());
            }
        }
    }
    if (error != JVMTI_ERROR_NONE) log_write(TS_DEBUG, "Failed to print the stack trace, JVMTI error: %d", error);
}

void JNICALL callback_ClassFileLoadHook_transform(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                                  jobject loader, const char* name, jobject protectionDomain,
                                                  jint classDataLength, const unsigned char* classData,
                                                  jint* newClassDataLength, unsigned char** newClassData) {
    if (name == nullptr) return;
    int depth = monitorEnter(jvmti);
    if (traced(name)) traceLoad(jvmti, jni, loader, name);
    if (classBeingRedefined == nullptr &&
        bcp_emu_ClassFileLoadHook(jvmti, jni, classBeingRedefined, loader, name, protectionDomain,
                                  newClassDataLength, newClassData, depth)) {
        // The bootstrap jar's bytes are what the transformer sees.
        classDataLength = *newClassDataLength;
        classData = *newClassData;
    }
    if (depth == 0) {
        classFileLoadHook(jvmti, jni, classBeingRedefined, loader, name, protectionDomain, classDataLength, classData,
                          newClassDataLength, newClassData, JNI_FALSE);
    }
    monitorExit(jvmti);
}

void JNICALL callback_ClassFileLoadHook_retransform(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                                    jobject loader, const char* name, jobject protectionDomain,
                                                    jint classDataLength, const unsigned char* classData,
                                                    jint* newClassDataLength, unsigned char** newClassData) {
    if (name == nullptr) return;
    if (monitorEnter(jvmti) == 0) {
        classFileLoadHook(jvmti, jni, classBeingRedefined, loader, name, protectionDomain, classDataLength, classData,
                          newClassDataLength, newClassData, JNI_TRUE);
    }
    monitorExit(jvmti);
}
