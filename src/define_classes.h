// The agent's base classes, defined in the boot loader from the bootstrap
// jar's "tarsilbase-classes.txt" in two stages while the JVM starts. The
// emulation owns the jar and the record of loaded classes; it hands over
// what a stage needs of them when it runs one.
#pragma once

#include <jni.h>

class ZipReader;

// What a stage asks of the emulation.
struct BaseClassSource {
    const ZipReader& jar;                 // holds the list of base classes
    bool (*hasEntry)(const char* entry);  // the jar can serve the entry
    bool (*seenClass)(const char* name);  // the class has been loaded already
};

// The first stage ends at the line starting with '-'; the second skips it.
void defineBaseClasses(JNIEnv* jni, int firstStage, const BaseClassSource& source);
// Defines one class in the boot loader with an empty buffer: the emulation
// hook supplies its bytes from the bootstrap jar.
void defineClass(JNIEnv* jni, const char* name, const BaseClassSource& source);
