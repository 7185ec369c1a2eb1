// The bootstrap folder: where the cached bootstrap jars and the log file
// live. Chosen once per process from "vesta.bootcache.dir", then
// "vesta.base" / VESTA_BASE, then the user's home.
#pragma once

#include <jvmti.h>

// The folder with its trailing separator; ends the process when no usable
// folder exists.
const char* getBootstrapFolder(jvmtiEnv* jvmti);
char* getBootstrapFromProperty(jvmtiEnv* jvmti);
char* getBootstrapFromVestaBase(jvmtiEnv* jvmti);
char* getBootstrapFromUserHome();
char* getUserHome();
int mkSubDirs(const char* path);
int isDir(const char* path);
int isDirWritable(const char* path);
long getPid();

// The parent JVM's options that the child JVM building the bootstrap jar
// inherits, in command-line order; computed once, owned here.
char** getAdditionalArgs(jvmtiEnv* jvmti, int* count);
// The filter over a given command line (entry 0 is the launcher); the
// result and its strings are new heap allocations.
char** filterAdditionalArgs(int argc, char** argv, bool ibmVendor, const char* libraryPath, int* count);
int findArgumentLimit(int argc, char** argv);
int hasSeparateArgument(const char* arg);
int isXArg(const char* arg);
int isIgnoredXArg(const char* arg);
int isDashDashArgument(const char* arg);
int isIgnoredDashDashArgument(const char* arg);
int isIgnoredAgent(const char* arg, const char* libraryPath);
int isVendorIbm(jvmtiEnv* jvmti);

struct JarInfo;
// The cache key of the bootstrap jar: 32 lowercase hex digits and a NUL in
// `out` (at least 33 bytes).
void getRuntimeHash(jvmtiEnv* jvmti, const JarInfo* jarInfo, char* out);
int isIgnoredProperty(const char* name);
int isPropertyValueIgnored(const char* name);
const char* additionalArgValueForHashing(const char* arg);
