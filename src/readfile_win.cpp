// Whole-file reads with Windows handles, on the path's UTF-16 form; a file
// the user names is read only when its owner and access list leave it to the
// user.
#include "win_util.h"  // first: it brings <windows.h>

#include <cstdlib>
#include <string>

#include "readfile.h"

uint8_t* readWholeFile(const char* path, size_t* size) {
    WideString wide(utf8ToWide(path));
    if (!wide) return nullptr;
    HANDLE file = CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    uint8_t* data = readWholeHandle(reinterpret_cast<intptr_t>(file), size);
    CloseHandle(file);
    return data;
}

uint8_t* readWholeHandle(intptr_t handle, size_t* size) {
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    LARGE_INTEGER length;
    uint8_t* data = nullptr;
    size_t done = 0;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &length) && length.QuadPart > 0 &&
        static_cast<uint64_t>(length.QuadPart) <= SIZE_MAX) {
        size_t expected = static_cast<size_t>(length.QuadPart);
        data = static_cast<uint8_t*>(malloc(expected));
        LARGE_INTEGER start = {};
        if (data != nullptr && !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) expected = 0;
        while (data != nullptr && done < expected) {
            DWORD chunk = static_cast<DWORD>(expected - done > 0x40000000 ? 0x40000000 : expected - done);
            DWORD n = 0;
            if (!ReadFile(file, data + done, chunk, &n, nullptr) || n == 0) break;
            done += n;
        }
    }
    if (data == nullptr || done == 0) {
        free(data);
        return nullptr;
    }
    *size = done;
    return data;
}

FileRead readRegularFile(const char* path, std::string* text) {
    text->clear();
    WideString wide(utf8ToWide(path));
    if (!wide) return FileRead::missing;
    // Opening a named pipe or a device returns at once; its type refuses it.
    // A pipe's server may only identify this process, never act as it.
    HANDLE file = CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::missing
                                                                              : FileRead::unreadable;
    }
    FileRead result = GetFileType(file) == FILE_TYPE_DISK ? FileRead::ok : FileRead::notRegular;
    // Judged on the handle read, so that the file judged is the file read.
    Trust trust = result == FileRead::ok ? trustOfHandle(file, TrustedAs::file) : Trust::trusted;
    if (trust == Trust::foreignOwner) result = FileRead::foreignOwner;
    if (trust == Trust::othersMayWrite) result = FileRead::othersMayWrite;
    char buffer[16384];
    while (result == FileRead::ok) {
        DWORD n = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) result = FileRead::unreadable;
        if (result != FileRead::ok || n == 0) break;
        text->append(buffer, n);
    }
    CloseHandle(file);
    return result;
}
