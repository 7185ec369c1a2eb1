// The JVM flag that find_symbol serves is not looked up on Windows: jvm.dll
// exports no such global and keeps its full symbol table in a separate debug
// file, so there is nothing in the loaded image to search.
#ifdef _WIN32

#include "find_symbol.h"

void* find_symbol(const void* /*addressInLibrary*/, const char* /*name*/) {
    return nullptr;
}

#endif  // _WIN32
