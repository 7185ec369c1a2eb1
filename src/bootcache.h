// The bootstrap jar cache: this JVM configuration's bootstrap jar, found in
// the bootstrap folder or built there by a child JVM, and the log file that
// lives beside it.
#pragma once

#include <jvmti.h>

#include <cstdint>

#include "bootcache_files.h"

struct JarInfo;

// The bootstrap jar of this JVM's configuration: its path (a new heap
// string) and, where the emulation serves it, the handle it was checked
// through, still open (else -1), so that the file checked is the file read.
// Closed with closeBootFile.
struct BootstrapJar {
    char* path;
    intptr_t handle;
};

// The cached jar, or a new one built by a child JVM and published under
// the cached name. Failures end the process.
BootstrapJar getBootstrapJarFor(jvmtiEnv* jvmti, const BootFolder& folder, const JarInfo* jarInfo);
// Starts the log file "tarsil.boot.log" in the folder.
void initBootLog(const BootFolder& folder);
