// Two functions that static parts of the library built for glibc (the
// aarch64 libgcc's atomics set-up, a libdeflate built with _FORTIFY_SOURCE)
// import by glibc's private names, answered here with what every C library
// has, so that the library also loads on musl (Alpine's JVMs). Hidden: the
// library's own calls bind to them, the process's are untouched.
#include <sys/auxv.h>

#include <cstdlib>
#include <cstring>

extern "C" {

__attribute__((visibility("hidden"))) unsigned long __getauxval(unsigned long type) {
    return getauxval(type);
}

// glibc's checked memmove: the copy, or the end of a process about to write
// past its buffer.
__attribute__((visibility("hidden"))) void* __memmove_chk(void* to, const void* from, size_t count,
                                                          size_t room) {
    if (count > room) abort();
    return memmove(to, from, count);
}

}  // extern "C"
