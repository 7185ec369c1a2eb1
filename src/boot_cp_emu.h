// Boot class path emulation: where the bootstrap jar cannot be put on the
// boot class path in time, the main class-file load hook serves the jar's
// classes itself. Boot loader classes are looked up as "<name>.class",
// classes of another loader as "@<loader class, dotted>/<name>.class".
#pragma once

#include <jvmti.h>

#include <cstdint>

#include "list.h"
#include "zip.h"

extern ZipReader& bootJar;
extern int32_t bcp_emu_enabled;
// Names of the classes the hook has seen (Java 9 and later) until the second
// base class stage releases it. Guarded by the emulation's monitor: use
// bcp_seen_class and bcp_take_loaded_classes.
extern ts_list* loadedClasses;
// 0 before the base classes, 1 after the first stage (or when none are
// needed), 2 after both.
extern int32_t tarsilBaseClassesDefined;

// Opens the jar (the process ends when it cannot) and turns emulation on.
// The jar is read into private memory through `checkedJar` (the handle it
// was checked through, which stays the caller's) or, when that is -1, by
// its path.
void bcp_emu_init(jvmtiEnv* jvmti, const char* path, intptr_t checkedJar = -1);
void bcp_emu_close(jvmtiEnv* jvmti);
// Non-zero when it stored the jar's bytes for the class in the two
// out-parameters (memory from JVM TI Allocate). First loads only.
int bcp_emu_ClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined, jobject loader,
                              const char* name, jobject protectionDomain, jint* newClassDataLength,
                              unsigned char** newClassData, int reentrant);
// The loader's class name in dotted form (a heap string), or null.
char* get_loader_name(JNIEnv* jni, jvmtiEnv* jvmti, jobject loader);
// 1 when the entry was found and extracted into a new JVM TI buffer.
int bcp_find_file(jvmtiEnv* jvmti, const char* entry, jint* length, unsigned char** buffer);
// Whether the hook has seen a class of this name while the list is kept.
bool bcp_seen_class(const char* name);
// Ends the list of loaded classes and hands it to the caller (or null).
ts_list* bcp_take_loaded_classes();
// Whether the jar has the entry; for callers that must not define a class
// the jar cannot serve.
bool bcp_has_entry(const char* entry);
// Runs a base-class stage (define_classes.h) over the emulation's jar; the
// second stage then releases the list of loaded classes. The hook runs each
// stage when its trigger class loads.
void defineTarsilBaseClasses(JNIEnv* jni, int firstStage);
