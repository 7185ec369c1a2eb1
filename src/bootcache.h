// The bootstrap folder: where the cached bootstrap jars and the log file
// live. Chosen once per process from "vesta.bootcache.dir", then
// "vesta.base" / VESTA_BASE, then the user's home, then a folder of the
// user's own under the temporary folder. Every source's folder is taken
// only when no level of its path can be changed by another user.
#pragma once

#include <jvmti.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "exec.h"

// The folder with its trailing separator; ends the process when no usable
// folder exists.
const char* getBootstrapFolder(jvmtiEnv* jvmti);
// Starts the log file "tarsil.boot.log" in the bootstrap folder.
void initBootLog(jvmtiEnv* jvmti);
char* getBootstrapFromProperty(jvmtiEnv* jvmti);
char* getBootstrapFromVestaBase(jvmtiEnv* jvmti);
char* getBootstrapFromUserHome();
// The folder of last resort, for users without a usable home (containers
// with an arbitrary uid): <TMPDIR, when absolute, else /tmp>/tarsil-<uid>/
// bootcache (Windows: the user's temporary folder).
char* getBootstrapFromTemporaryFolder();
// Each source tried and why it gave no folder, for the final message: noted
// by the sources, told by getBootstrapFolder.
void noteTriedSource(const std::string& what);
std::string triedBootstrapFolders();
struct FolderRefusal;
// Why a folder was refused, in words: "it belongs to another user" for the
// folder itself, "/x belongs to another user" for a level above it.
std::string describeRefusal(const std::string& folder, const FolderRefusal& refusal);
// The chosen folder as it is kept: with the platform's separator appended
// (and on Windows in a form the ANSI code page can express).
char* finishBootstrapFolder(const char* folder);
char* getUserHome();
int mkSubDirs(const char* path);
int isDir(const char* path);
int isDirWritable(const char* path);
long getPid();

// Where a JVM takes its options from, each as the JVM or its launcher
// splits it: the command line (entry 0 the launcher), then the variables
// JDK_JAVA_OPTIONS (read by the launcher of Java 9 and later),
// JAVA_TOOL_OPTIONS, _JAVA_OPTIONS and JDK_AOT_VM_OPTIONS. Argument files
// ("@file", Java 9 and later) and the files of -XX:VMOptionsFile= and
// -XX:Flags= are expanded where they stand.
struct OptionSource {
    std::string name;                  // "command line" or the variable's name
    bool present = false;              // a variable: whether it is set
    std::vector<std::string> options;
};
// What collectOptionSources reads: injected, so that tests and the fuzzer
// can hand it any command line, environment and files.
struct OptionInputs {
    std::vector<std::string> commandLine;
    bool java9 = true;                 // argument files and JDK_JAVA_OPTIONS
    std::function<const char*(const char* name)> variable;
    // The text of a file, false when it cannot be read.
    std::function<bool(const std::string& path, std::string* text)> readFile;
};
std::vector<OptionSource> collectOptionSources(const OptionInputs& inputs);
// This JVM's sources, read once.
const std::vector<OptionSource>& jvmOptionSources();
// The launcher's argument file syntax: blanks separate, '#' starts a
// comment, quotes group, and inside quotes a backslash escapes.
std::vector<std::string> splitArgumentFile(std::string_view text);
// The syntax of JAVA_TOOL_OPTIONS and the other variables, and of
// -XX:VMOptionsFile=: blanks separate, quotes group, nothing escapes.
std::vector<std::string> splitOptionsText(std::string_view text);
// The syntax of a -XX:Flags= file: flag settings without their "-XX:".
std::vector<std::string> splitFlagsFile(std::string_view text);
// Options as splitOptionsText reads them back.
std::string joinOptionsText(const std::vector<std::string>& options);

// The parent JVM's options that the child JVM building the bootstrap jar
// inherits, in command-line order; computed once, owned here.
char** getAdditionalArgs(jvmtiEnv* jvmti, int* count);
// The same filter over the options of one variable: what of them the child
// gets in its own copy of the variable.
std::vector<std::string> filterVariableOptions(const std::vector<std::string>& options, bool ibmVendor,
                                               const char* libraryPath);
// A variable of the parent's option sources and what of it the child
// inherits (nothing: the child goes without the variable).
struct InheritedVariable {
    std::string name;
    std::vector<std::string> kept;
};
// What the child inherits of every source.
struct InheritedOptions {
    std::vector<std::string> commandLine;      // for the child's command line
    std::vector<InheritedVariable> variables;  // the variables that are set, in order
    // All of it in the order the runtime hash takes it: the command line,
    // then the variables.
    std::vector<std::string> hashed() const;
    // The child's copies of the variables: the kept options, or none.
    std::vector<EnvironmentEdit> environment() const;
};
InheritedOptions inheritedOptions(const std::vector<OptionSource>& sources, bool ibmVendor, const char* libraryPath);
// This JVM's, computed once with getAdditionalArgs.
const InheritedOptions& getInheritedOptions(jvmtiEnv* jvmti);
// The environment the library's child JVMs get instead of the JVM's own.
const std::vector<EnvironmentEdit>& childEnvironment(jvmtiEnv* jvmti);
// The first option of any source that gives the JVM a class data sharing or
// AOT archive of the user's own ("-XX:AOTCache=...", "-XX:SharedArchiveFile=..."),
// with the source's name; empty when there is none.
std::string userArchiveOption(const std::vector<OptionSource>& sources, std::string* sourceName);
// The filter over a given command line (entry 0 is the launcher); the
// result and its strings are new heap allocations.
char** filterAdditionalArgs(int argc, char** argv, bool ibmVendor, const char* libraryPath, int* count);
int findArgumentLimit(int argc, char** argv);
// The same over a command line kept as strings.
int findArgumentLimit(const std::vector<std::string>& commandLine);
// Whether an argument ends the JVM's options: the main class (or anything
// not an option), or one of the ending options ("-m", "--version"...).
bool endsJvmOptions(std::string_view arg);
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
// when there are none; ends the process when the file cannot be written,
// for the options never go onto the command line instead.
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
// one built by a child JVM. Never null; failures end the process. The jar is
// kept open as it was checked.
char* getBootstrapJarPathFor(jvmtiEnv* jvmti, const JarInfo* jarInfo);
class ZipReader;
// Reads the jar at `path` into the reader's private memory through the
// handle it was checked with, when it is the one getBootstrapJarPathFor
// checked (once; the handle is then closed). False otherwise.
bool openVerifiedBootstrapJar(const char* path, ZipReader* reader);
const char* generate(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath);
