// The child JVM that writes the bootstrap jar: its argument vector, built
// from the parent's inherited options, system properties and class path,
// and the argument file that keeps its properties off the command line.
#pragma once

#include <jvmti.h>

#include <string>

#include "bootcache_files.h"

// The argument vector (entry 0 is the executable, no terminating null),
// owned by the caller and released with freeBootstrapBuildArguments.
char** getBootstrapBuildArguments(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath, int* count);
void freeBootstrapBuildArguments(int count, char** argv);
// Whether a system property stays out of the child's "-D" options.
int isIgnoredCmdProperty(const char* name, const char* value, int intellijLoader);
// Moves the "-D" options of the child's argument vector into an argument
// file `name` of the bootstrap folder, where other users cannot read them
// as they can a command line, and puts "@file" in place of the first. False
// when there are none; ends the process when the file cannot be written,
// for the options never go onto the command line instead.
bool moveSystemPropertiesToFile(char** argv, int* argc, const BootFolder& folder, const char* name);
// The launcher's argument file text for these arguments, one to a line.
std::string argumentFileText(char** args, int count);
