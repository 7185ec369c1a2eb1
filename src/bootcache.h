// The bootstrap folder: where the cached bootstrap jars and the log file
// live. Chosen once per process from "vesta.bootcache.dir", then
// "vesta.base" / VESTA_BASE, then the user's home.
#pragma once

#include <jvmti.h>

#include <string>

// The folder with its trailing separator; ends the process when no usable
// folder exists.
const char* getBootstrapFolder(jvmtiEnv* jvmti);
char* getBootstrapFromProperty(jvmtiEnv* jvmti);
char* getBootstrapFromVestaBase(jvmtiEnv* jvmti);
char* getBootstrapFromUserHome();
// The chosen folder as it is kept: with the platform's separator appended
// (and on Windows in a form the ANSI code page can express).
char* finishBootstrapFolder(const char* folder);
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

// The child JVM that writes the bootstrap jar: its argument vector (entry 0
// is the executable, no terminating null), owned by the caller.
char** getBootstrapBuildArguments(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath, int* count);
int isIgnoredCmdProperty(const char* name, const char* value, int intellijLoader);
void freeBootstrapBuildArguments(int count, char** argv);
// Moves the "-D" options of the child's argument vector into an argument
// file `name` of the bootstrap folder, where other users cannot read them
// as they can a command line, and puts "@file" in place of the first. False
// when there are none or the file cannot be written; then nothing changes.
bool moveSystemPropertiesToFile(char** argv, int* argc, const char* folder, const char* name);
// The launcher's argument file text for these arguments, one to a line.
std::string argumentFileText(char** args, int count);
// The Java executable under java.home ("bin/java", on Windows "bin\javaw.exe"
// when it exists); a new heap string.
char* getJavaExecutable(const char* javaHome);

// The classpath jar that stands in for a class path too long for a command
// line, written as `name` into the bootstrap folder `folder`.
// preprocessClasspath replaces the value after "-cp" in place and returns
// the jar's path (an entry of argv), or null.
char* preprocessClasspath(jvmtiEnv* jvmti, char** argv, int argc, const char* folder, const char* name);
char* generateClasspathJar(const char* classpath, const char* folder, const char* name);
// Class-Path entries are absolute file: URLs, resolved against the working
// directory, so the child finds the same files from the jar's folder.
char* generateManifest(const char* classpath);
// The manifest under construction: its buffer, the bytes used and the
// capacity the buffer was allocated with.
struct ManifestText {
    char* data;
    size_t length;
    size_t capacity;
};
// Appends `count` bytes of `text`, folding the Class-Path line before it
// would carry more than 70 bytes; `lineBytes` counts the current line.
void strncat72(int* lineBytes, ManifestText* manifest, const char* text, size_t count);
// The manifest for an explicit separator and drive-letter rule, so the rules
// of every platform can be exercised anywhere.
char* generateManifestWith(const char* classpath, char separator, bool driveLetterPaths,
                           const char* workingDirectory);

// The bootstrap jar for this JVM's configuration: the cached one, or a new
// one built by a child JVM. Never null; failures end the process.
char* getBootstrapJarPathFor(jvmtiEnv* jvmti, const JarInfo* jarInfo);
const char* generate(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath);
