// Finds a global symbol of a loaded library (the JVM's own) by reading the
// library's file: the flag the agent changes is not exported dynamically.
#pragma once

#include <cstddef>
#include <cstdint>

// addressInLibrary: any address inside the library to search.
void* find_symbol(const void* addressInLibrary, const char* name);

// Searches an ELF image of this build's class; every offset is checked
// against imageSize. Answers loadBase + the symbol's value, or NULL.
void* find_symbol_elf(const void* image, size_t imageSize, const char* name, uintptr_t loadBase);

// Searches a Mach-O image loaded in memory; answers its address, or 0.
void* find_symbol_mach(const void* header, const char* name);
