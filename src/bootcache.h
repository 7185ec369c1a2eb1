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
