// The class-file load hooks that hand every class to the Java transformer.
#pragma once

#include <jvmti.h>

void JNICALL callback_ClassFileLoadHook_transform(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                                  jobject loader, const char* name, jobject protectionDomain,
                                                  jint classDataLength, const unsigned char* classData,
                                                  jint* newClassDataLength, unsigned char** newClassData);
void JNICALL callback_ClassFileLoadHook_retransform(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                                    jobject loader, const char* name, jobject protectionDomain,
                                                    jint classDataLength, const unsigned char* classData,
                                                    jint* newClassDataLength, unsigned char** newClassData);

// The module of a class being loaded (Java 9 and later), or null.
jobject getModuleObject(jvmtiEnv* jvmti, jobject loader, const char* className);
void printStackTrace(jvmtiEnv* jvmti, JNIEnv* jni);

// Per-thread depth of the hook of one environment: the depth before
// entering, and after leaving.
int monitorEnter(jvmtiEnv* jvmti);
int monitorExit(jvmtiEnv* jvmti);
