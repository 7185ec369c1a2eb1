// The agent's entry and exit points and the one global record every part of
// the library reads.
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
    jint jvmtiMajorVersion;
    jint java9;
    jint ibmVendor;
    jint openJ9;
    char* transformTracePrefix;    // from JVM TI, never deallocated
};

extern AgentState agent;

// The native method prefix of every method the Java side wraps.
inline constexpr char kNativeMethodPrefix[] = "_ts$jni$";

void initMainTransformer(jvmtiEnv* jvmti);
