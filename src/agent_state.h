// The one global record of the agent: filled in order by Agent_OnLoad and
// VM init, then read by every part of the library. It sits below every
// module that reads it, so none of them reaches up into start-up for it.
#pragma once

#include <jvmti.h>

struct JarInfo;

struct AgentState {
    char* options;                 // copy of the option string, or null
    jvmtiEnv* jvmti;               // main environment
    jvmtiEnv* retransformJvmti;    // environment holding can_retransform_classes
    char* libraryPath;             // path of this library
    JarInfo* jarInfo;              // the agent jar
    char* bootstrapJarPath;        // the cached bootstrap jar
    jobject instrumentation;       // global reference, null until VM init
    jmethodID transformMethod;     // null until VM init
    // The Java side's "has transformers" fields (plain, retransforming);
    // null until VM init, or when it declares none.
    jfieldID hasPlainTransformers;
    jfieldID hasRetransformingTransformers;
    jint jvmtiVersion;             // as GetVersionNumber reports it
    jint jvmtiMajorVersion;        // 8 on Java 8, 9 on Java 9, 11 on Java 11...
    jint java9;
    char* vmVendor;                // "java.vm.vendor", or null when the JVM has none
    jint ibmVendor;                // "IBM Corporation"
    jint openJ9;                   // "Eclipse OpenJ9"
    jint sapVendor;                // "SAP AG"
    jint emulateBootClassPath;     // the bootstrap jar is served through the load hook
    char* transformTracePrefix;    // from JVM TI, never deallocated
};

extern AgentState agent;

// The major number of a JVM TI version as GetVersionNumber reports it.
inline jint jvmtiMajorVersionOf(jint version) {
    return (version >> 16) & 0xFFF;
}

// The native method prefix of every method the Java side wraps.
inline constexpr char kNativeMethodPrefix[] = "_ts$jni$";
