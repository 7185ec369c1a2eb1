// The bootstrap folder: where the cached bootstrap jars and the log file
// live. Chosen once per JVM start from "vesta.bootcache.dir", then
// "vesta.base" / VESTA_BASE, then the user's home, then a folder of the
// user's own under the temporary folder; a source's folder is taken only
// when no level of its path can be changed by another user. This module
// decides the order, which refusals fall through and which end the JVM, and
// what is said; the platform's part is in bootcache_files.
#pragma once

#include <jvmti.h>

#include <string>
#include <vector>

#include "bootcache_files.h"

// Each source tried and why it gave no folder, for the final message.
using TriedFolders = std::vector<std::string>;

// The chosen folder, adopted (see BootFolder). Ends the process when no
// source yields a usable one, or when "vesta.base" / VESTA_BASE names one
// that cannot be used.
BootFolder chooseBootFolder(jvmtiEnv* jvmti);

// One source each, in the order chooseBootFolder tries them: the folder
// adopted, or one that is not (BootFolder::adopted) when the source gives
// none, noted in *tried.
BootFolder getBootstrapFromProperty(jvmtiEnv* jvmti, TriedFolders* tried = nullptr);
BootFolder getBootstrapFromVestaBase(jvmtiEnv* jvmti, TriedFolders* tried = nullptr);
BootFolder getBootstrapFromUserHome(TriedFolders* tried = nullptr);
BootFolder getBootstrapFromTemporaryFolder(TriedFolders* tried = nullptr);

// Why a folder was refused, in words: "it belongs to another user" for the
// folder itself, "/x belongs to another user" for a level above it.
std::string describeRefusal(const std::string& folder, const FolderRefusal& refusal);
