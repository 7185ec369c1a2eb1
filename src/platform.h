// The few constants that differ between the platform families.
#pragma once

#ifdef _WIN32
#define TS_DIR_SEPARATOR '\\'
#define TS_DIR_SEPARATOR_STRING "\\"
#define TS_PATH_SEPARATOR ';'
#define TS_PATH_SEPARATOR_STRING ";"
// Command lines longer than this get their class path through a jar.
#define TS_CLASSPATH_JAR_THRESHOLD 20000
// Class-Path entries of "C:..." paths need a leading "/".
#define TS_DRIVE_LETTER_PATHS true
#else
#define TS_DIR_SEPARATOR '/'
#define TS_DIR_SEPARATOR_STRING "/"
#define TS_PATH_SEPARATOR ':'
#define TS_PATH_SEPARATOR_STRING ":"
#define TS_CLASSPATH_JAR_THRESHOLD 131000
#define TS_DRIVE_LETTER_PATHS false
#endif

// The JVM's class data sharing flag as its library's symbol table names it:
// Mach-O names carry a leading underscore.
#ifdef __APPLE__
#define TS_SHARED_SPACES_SYMBOL "_UseSharedSpaces"
#else
#define TS_SHARED_SPACES_SYMBOL "UseSharedSpaces"
#endif
