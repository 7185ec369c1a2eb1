// The agent's entry and exit points, and the boot class path and event
// wiring that Agent_OnLoad runs.
#pragma once

#include <jvmti.h>

#include "agent_state.h"

// Boot class path and event wiring, all run inside Agent_OnLoad.
#include <cstdint>

// The bootstrap jar goes in front of Java 8's boot class path, or is served
// by the emulation (`checkedJar`: the handle it was checked through, read by
// the emulation, or -1); the handle stays the caller's.
void initBootclassPath(jvmtiEnv* jvmti, int emulate, intptr_t checkedJar = -1);
void patch_bootclasspath(jvmtiEnv* jvmti, const char* currentValue, const char* jarPath);
void initMainTransformer(jvmtiEnv* jvmti);
void initRetransform(JavaVM* vm);
void disable_class_data_sharing(JavaVM* vm, jint jvmtiVersion);
// The size of the callbacks table handed to SetEventCallbacks.
jint size_of_jvmtiEventCallbacks();
