// The agent's base classes, defined in the boot loader from the bootstrap
// jar's "tarsilbase-classes.txt" in two stages while the JVM starts.
#pragma once

#include <jni.h>

// The first stage ends at the line starting with '-'; the second skips it.
void defineTarsilBaseClasses(JNIEnv* jni, int firstStage);
// Defines one class in the boot loader with an empty buffer: the emulation
// hook supplies its bytes from the bootstrap jar.
void defineClass(JNIEnv* jni, const char* name);
