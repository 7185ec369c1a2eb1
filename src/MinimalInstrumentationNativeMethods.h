// The native methods of the Java class MinimalInstrumentation, and the small
// exception helpers the other JNI callers use.
#pragma once

#include <jni.h>
#include <jvmti.h>

jint throwException(JNIEnv* jni, const char* className, const char* message);
void throwByErrorCode(JNIEnv* jni, jvmtiError error, const char* caller);
// True when a Java exception is pending.
bool checkForThrowable(JNIEnv* jni);
// Prints and clears a pending Java exception.
void logThrowable(JNIEnv* jni);

// The Java exception class that stands for a redefinition error.
const char* exceptionClassFor(jvmtiError error);

extern "C" {
JNIEXPORT jobjectArray JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_getAllLoadedClassesImpl(JNIEnv* jni, jobject self);
JNIEXPORT void JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_setNativeMethodPrefixImpl(JNIEnv* jni, jobject self,
                                                                                       jstring prefix);
JNIEXPORT void JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_retransformClassesImpl(JNIEnv* jni, jobject self,
                                                                                    jobjectArray classes);
JNIEXPORT void JNICALL
Java_com_lindenforgesys_reload_jvmti_MinimalInstrumentation_redefineClassesImpl(JNIEnv* jni, jobject self,
                                                                                 jobjectArray definitions);
}
