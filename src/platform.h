// The few constants that differ between the platform families.
#pragma once

#ifdef _WIN32
#define TS_DIR_SEPARATOR '\\'
#define TS_DIR_SEPARATOR_STRING "\\"
#define TS_PATH_SEPARATOR ';'
#define TS_PATH_SEPARATOR_STRING ";"
#else
#define TS_DIR_SEPARATOR '/'
#define TS_DIR_SEPARATOR_STRING "/"
#define TS_PATH_SEPARATOR ':'
#define TS_PATH_SEPARATOR_STRING ":"
#endif
