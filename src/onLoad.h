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
    jint emulateBootClassPath;     // the bootstrap jar is served through the load hook
    char* transformTracePrefix;    // from JVM TI, never deallocated
};

extern AgentState agent;

// The native method prefix of every method the Java side wraps.
inline constexpr char kNativeMethodPrefix[] = "_ts$jni$";

// Boot class path and event wiring, all run inside Agent_OnLoad.
void initBootclassPath(jvmtiEnv* jvmti, int emulate);
void patch_bootclasspath(jvmtiEnv* jvmti, const char* currentValue, const char* jarPath);
void initMainTransformer(jvmtiEnv* jvmti);
void initRetransform(JavaVM* vm);
void disable_class_data_sharing(JavaVM* vm, jint jvmtiVersion);
// The size of the callbacks table handed to SetEventCallbacks.
jint size_of_jvmtiEventCallbacks();
