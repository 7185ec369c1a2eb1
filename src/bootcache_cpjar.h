// The classpath jar that stands in for a class path too long for a command
// line: a jar in the bootstrap folder whose manifest's Class-Path lists the
// class path's entries.
#pragma once

#include <jvmti.h>

#include <cstddef>

#include "bootcache_files.h"

// Replaces the value after "-cp" in the child's argument vector by the path
// of a classpath jar written as `name` into the folder, when the command
// line would be too long ("vesta.bootstrap_cpjar" decides): that path (an
// entry of argv), or null. Arguments bound for an argument file
// (`lengthLimited` false), which the launcher reads whatever its length,
// get the jar only when it is asked for always.
char* preprocessClasspath(jvmtiEnv* jvmti, char** argv, int argc, const BootFolder& folder, const char* name,
                          bool lengthLimited = true);
char* generateClasspathJar(const char* classpath, const BootFolder& folder, const char* name);
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
// would carry more than 70 bytes (72 with its line end); `lineBytes` counts
// the current line.
void appendFoldedTo72(int* lineBytes, ManifestText* manifest, const char* text, size_t count);
// The manifest for an explicit separator and drive-letter rule, so the rules
// of every platform can be exercised anywhere.
char* generateManifestWith(const char* classpath, char separator, bool driveLetterPaths,
                           const char* workingDirectory);
