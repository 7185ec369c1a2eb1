// The native methods of the Java class MinimalInstrumentation: the four bound
// by their exported JNI names, the rest of java.lang.instrument bound at VM
// init where the class declares them, and the exception checks the other
// JNI callers use.
#pragma once

#include <jni.h>
#include <jvmti.h>

// True when a Java exception is pending.
bool checkForThrowable(JNIEnv* jni);
// Prints and clears a pending Java exception.
void logThrowable(JNIEnv* jni);

// Binds each native of java_contract.h's ExtraNative list that `klass`
// declares by that name and signature; the module natives on Java 9 and
// later only. A native that is not declared or does not bind is logged and
// left unbound; no exception is left pending.
void registerDeclaredNatives(JNIEnv* jni, jclass klass, bool java9);

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
