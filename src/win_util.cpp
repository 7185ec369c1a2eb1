// Conversions between the UTF-8 strings the library keeps and the UTF-16 and
// ANSI strings of the Windows API. Each conversion asks the system for the
// size first and then converts into an exactly sized heap block.
#ifdef _WIN32

#include <cstdlib>
#include <cwchar>

#include "list.h"
#include "win_util.h"

namespace {

wchar_t* allocWide(size_t characters) {
    return static_cast<wchar_t*>(ts_checked_alloc(malloc(characters * sizeof(wchar_t))));
}

char* allocBytes(size_t bytes) {
    return static_cast<char*>(ts_checked_alloc(malloc(bytes)));
}

}  // namespace

wchar_t* utf8ToWide(const char* utf8) {
    // With a length of -1 the count includes the terminator.
    int count = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (count <= 0) return nullptr;
    // Two spare characters leave room for a caller to append a separator to a
    // folder path in place.
    wchar_t* wide = allocWide(static_cast<size_t>(count) + 2);
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, count) <= 0) {
        free(wide);
        return nullptr;
    }
    return wide;
}

char* wideToUtf8(const wchar_t* wide, size_t extraBytes) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* utf8 = allocBytes(static_cast<size_t>(bytes) + extraBytes);
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, bytes, nullptr, nullptr) <= 0) {
        free(utf8);
        return nullptr;
    }
    return utf8;
}

char* wideToAnsiStrict(const wchar_t* wide) {
    // Best-fit mapping would turn an unrepresentable character into a
    // look-alike, giving a path that names a different file; without it such a
    // character becomes the default character, which the flag reports.
    constexpr DWORD kFlags = WC_NO_BEST_FIT_CHARS;
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, kFlags, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* ansi = allocBytes(static_cast<size_t>(bytes));
    BOOL usedDefaultChar = FALSE;
    int written = WideCharToMultiByte(CP_THREAD_ACP, kFlags, wide, -1, ansi, bytes, nullptr,
                                      &usedDefaultChar);
    if (written <= 0 || usedDefaultChar) {
        free(ansi);
        return nullptr;
    }
    return ansi;
}

wchar_t* shortPathOf(const wchar_t* path) {
    // Without a buffer the answer is the size including the terminator; with
    // one it is the length without it, or again the size needed when the
    // buffer fell short (the file system may have changed in between).
    DWORD size = GetShortPathNameW(path, nullptr, 0);
    if (size == 0) return nullptr;
    wchar_t* shortPath = allocWide(size);
    DWORD length = GetShortPathNameW(path, shortPath, size);
    if (length == 0 || length >= size || wcscmp(shortPath, path) == 0) {
        free(shortPath);
        return nullptr;
    }
    return shortPath;
}

#endif  // _WIN32
