// Finds the image the dynamic linker loaded for a library and searches its
// symbol table in memory with find_symbol_mach.
#include <dlfcn.h>
#include <mach-o/dyld.h>

#include <cstdint>
#include <cstring>

#include "find_symbol.h"

namespace {

const mach_header* loadedImageNamed(const char* path) {
    uint32_t count = _dyld_image_count();
    for (uint32_t i = 0; i < count; i++) {
        // An image unloaded during the walk answers NULL.
        const char* name = _dyld_get_image_name(i);
        if (name != nullptr && strcmp(name, path) == 0) return _dyld_get_image_header(i);
    }
    return nullptr;
}

}  // namespace

void* find_symbol(const void* addressInLibrary, const char* name) {
    Dl_info info;
    if (dladdr(addressInLibrary, &info) == 0 || info.dli_fname == nullptr) return nullptr;
    const mach_header* header = loadedImageNamed(info.dli_fname);
    if (header == nullptr) return nullptr;
    return find_symbol_mach(header, name);
}
