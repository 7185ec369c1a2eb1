// Conversions between the library's UTF-8 strings and the UTF-16 and ANSI
// strings of the Windows API (results are heap allocations to free; NULL when
// a conversion fails), and who may change a file or folder: the judgement of
// its owner and access list, and the access list of what the library makes.
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

// Owner of a handle; null and INVALID_HANDLE_VALUE stand for none.
struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

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

// Who a file or folder may be trusted as. "Others" are all but the user, the
// system, the administrators and the system's installer.
enum class TrustedAs {
    file,    // others may not write it, remove or rename it, or change its access list or owner
    folder,  // the bootstrap folder: nor may they add entries to it or remove them
    // A folder above it: others may add entries, as C:\ lets every user make
    // folders (the sticky bit elsewhere), but not remove or rename entries nor
    // remove, rename or change the folder itself.
    level,
    root,  // a volume's root as a level: its own removal aside, which nobody can do
};
enum class Trust { trusted, foreignOwner, othersMayWrite };
// Judges a file or folder by its owner and access list. A null list grants
// everything; inherit-only entries and denials are passed over (a denial can
// only take rights away, so this may refuse more, never less).
Trust trustOf(PSID owner, PACL dacl, TrustedAs what);
// The same for the file or folder of an open handle (with READ_CONTROL);
// trusted where the file system keeps no security at all (FAT).
Trust trustOfHandle(HANDLE handle, TrustedAs what);

// Security attributes that give a new file or folder to the user alone: full
// control for the user, the system and the administrators, and nothing
// inherited from above (protected); a folder passes them on to what is made
// in it. Null where the user cannot be told: the new one then inherits its
// folder's.
class PrivateSecurity {
public:
    enum Kind { file, folder };
    explicit PrivateSecurity(Kind kind);
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;
    ~PrivateSecurity();
    SECURITY_ATTRIBUTES* attributes() { return descriptor_ != nullptr ? &attributes_ : nullptr; }
    // The access list alone, to set on an existing file; null as above.
    PACL dacl() const;

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_ = {};
};
