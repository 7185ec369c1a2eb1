// Finds the agent jar (beside the library or named by "vesta.native.jar") and
// reads its manifest.
#pragma once

#include <jvmti.h>

struct JarInfo {
    char* path;
    const char* premainClass;           // "" when the manifest lacks it
    const char* implementationVersion;  // "" when the manifest lacks it
};

// Fills agent.libraryPath and agent.jarInfo, or ends the process when no
// agent jar is found.
void initJarInfo(jvmtiEnv* jvmti);
JarInfo* locateTarsilJar(const char* libraryPath);
JarInfo* createJarInfo(const char* path);
void initManifestJarInfo(JarInfo* info);
// The value after `key` up to the line end; a shared "" when the key is absent.
const char* getManifestEntry(const char* text, size_t length, const char* key);
