// The child JVM that writes the bootstrap jar: its argument vector, built
// from the parent's inherited options, system properties and class path,
// and where its options go instead of its command line (an argument file,
// or on Java 8 its JAVA_TOOL_OPTIONS), out of other users' sight.
#pragma once

#include <jvmti.h>

#include <string>
#include <vector>

#include "bootcache_files.h"
#include "exec.h"

// The argument vector (entry 0 is the executable, no terminating null),
// owned by the caller and released with freeBootstrapBuildArguments. The
// user's part (the inherited options and the properties) comes first:
// `userCount`, when given, receives how many entries after the executable
// it takes; the library's own settings follow.
char** getBootstrapBuildArguments(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath, int* count,
                                  int* userCount = nullptr);
void freeBootstrapBuildArguments(int count, char** argv);
// Whether a system property stays out of the child's "-D" options: those
// that only concern this JVM (the runtime hash leaves them out too, and the
// JVM derives java.home and java.vm.* itself), those the child never gets
// (isNeverInheritedProperty), and with the IDE's class loader the boot class
// path addition, which the child gets as an option instead.
int isIgnoredCmdProperty(const char* name, int intellijLoader);
// Java 9 and later: moves every argument of the child but the executable and
// the installer's main class (last) into an argument file `name` of the
// bootstrap folder, private to the user, where other users cannot read them
// as they can a command line; argv becomes the executable, "@file" and the
// main class. False when there is nothing to move; ends the process when
// the file cannot be written, for the arguments never go onto the command
// line instead.
bool moveArgumentsToFile(char** argv, int* argc, const BootFolder& folder, const char* name);
// Java 8, whose launcher reads no argument files: moves the user's part of
// the child's options (the `userCount` after the executable), from the first
// on, into its JAVA_TOOL_OPTIONS (which, unlike the command line, only the
// user can read), behind what the child inherits of the user's own, as far
// as the JVM reads the variable; the launcher's own options and what
// follows them stay, as do the library's settings. Returns the child's
// environment: `edits` with the variable's edit made or replaced.
std::vector<EnvironmentEdit> moveOptionsToToolOptions(char** argv, int* argc, int userCount,
                                                      std::vector<EnvironmentEdit> edits);
// The launcher's argument file text for these arguments, one to a line.
std::string argumentFileText(char** args, int count);
