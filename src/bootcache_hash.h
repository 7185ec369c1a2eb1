// The runtime hash: the cache key of the bootstrap jar, over the agent jar's
// version, the library's version, the JVM's system properties and the
// options the child JVM inherits.
#pragma once

#include <jvmti.h>

struct JarInfo;

// 32 lowercase hex digits and a NUL in `out` (at least 33 bytes).
void getRuntimeHash(jvmtiEnv* jvmti, const JarInfo* jarInfo, char* out);
// Properties the hash leaves out, and those whose value it leaves out.
int isIgnoredProperty(const char* name);
int isPropertyValueIgnored(const char* name);
// What the hash takes of an inherited option: a stand-in where the option
// changes without changing the jar.
const char* additionalArgValueForHashing(const char* arg);
