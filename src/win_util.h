// Conversions between the library's UTF-8 strings and the UTF-16 and ANSI
// strings of the Windows API. Results are heap allocations (free); NULL when a
// conversion fails.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <memory>

#include "list.h"

// Owner of a UTF-16 string from the conversions below.
using WideString = std::unique_ptr<wchar_t, FreeDeleter>;

wchar_t* utf8ToWide(const char* utf8);
// `extraBytes` more bytes are allocated after the terminator, for callers that
// append to the result.
char* wideToUtf8(const wchar_t* wide, size_t extraBytes);
// NULL when a character has no exact form in the thread's ANSI code page.
char* wideToAnsiStrict(const wchar_t* wide);
// The 8.3 form of a path, when the file system has one that differs.
wchar_t* shortPathOf(const wchar_t* path);
