// The VM-start and VM-init callbacks: the hand-off to the Java agent.
#pragma once

#include <jvmti.h>

void JNICALL callback_VMStart(jvmtiEnv* jvmti, JNIEnv* jni);
void JNICALL callback_VMInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread);
void loadInstrumentationModule(JNIEnv* jni);
[[noreturn]] void wrongTarsilJarError(const char* message);
