// Looks a symbol up in the symbol table of a Mach-O image the dynamic linker
// has loaded. The table lies in the image's __LINKEDIT segment, which stays
// mapped, so unlike on Linux no file is opened.
#ifdef __APPLE__

#include <dlfcn.h>
#include <mach-o/dyld.h>
#include <mach-o/loader.h>
#include <mach-o/nlist.h>

#include <cstdint>
#include <cstring>

#include "find_symbol.h"

namespace {

// n_desc flag of a Thumb definition, whose address carries the mode in its
// lowest bit.
constexpr uint16_t kThumbDefinition = 0x8;

struct ImageTables {
    const symtab_command* symtab = nullptr;
    const segment_command_64* text = nullptr;
    const segment_command_64* linkedit = nullptr;
};

bool isSegmentNamed(const segment_command_64* segment, const char* name) {
    // segname is padded with NULs but need not be terminated when full.
    return strncmp(segment->segname, name, sizeof segment->segname) == 0;
}

// Keeps the last of each command of interest, as the walk meets them.
ImageTables readLoadCommands(const mach_header_64* header) {
    ImageTables tables;
    const auto* cursor = reinterpret_cast<const uint8_t*>(header) + sizeof(mach_header_64);
    for (uint32_t i = 0; i < header->ncmds; i++) {
        const auto* command = reinterpret_cast<const load_command*>(cursor);
        if (command->cmd == LC_SYMTAB) {
            tables.symtab = reinterpret_cast<const symtab_command*>(command);
        } else if (command->cmd == LC_SEGMENT_64) {
            const auto* segment = reinterpret_cast<const segment_command_64*>(command);
            if (isSegmentNamed(segment, "__TEXT")) tables.text = segment;
            if (isSegmentNamed(segment, "__LINKEDIT")) tables.linkedit = segment;
        }
        // A size too small to advance would revisit the same bytes forever.
        if (command->cmdsize < sizeof(load_command)) break;
        cursor += command->cmdsize;
    }
    return tables;
}

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

void* find_symbol_mach(const void* header, const char* name) {
    if (header == nullptr || name == nullptr) return nullptr;
    const auto* image = static_cast<const mach_header_64*>(header);
    if (image->magic != MH_MAGIC_64) return nullptr;
    ImageTables tables = readLoadCommands(image);
    if (tables.symtab == nullptr || tables.text == nullptr || tables.linkedit == nullptr) {
        return nullptr;
    }

    // The slide is how far the loader moved the image from its link-time
    // addresses. The symbol and string table offsets are file offsets;
    // linkeditBase is where file offset 0 would lie if the whole file were
    // mapped like __LINKEDIT.
    uintptr_t base = reinterpret_cast<uintptr_t>(header);
    uintptr_t slide = base - tables.text->vmaddr;
    uintptr_t linkeditBase =
        base + tables.linkedit->vmaddr - tables.text->vmaddr - tables.linkedit->fileoff;
    const auto* symbols = reinterpret_cast<const nlist_64*>(linkeditBase + tables.symtab->symoff);
    const auto* strings = reinterpret_cast<const char*>(linkeditBase + tables.symtab->stroff);

    for (uint32_t i = 0; i < tables.symtab->nsyms; i++) {
        const nlist_64& symbol = symbols[i];
        if (symbol.n_value == 0 || symbol.n_un.n_strx == 0) continue;
        if (strcmp(strings + symbol.n_un.n_strx, name) != 0) continue;
        uintptr_t address = slide + symbol.n_value;
        if (symbol.n_desc & kThumbDefinition) address |= 1;
        return reinterpret_cast<void*>(address);
    }
    return nullptr;
}

void* find_symbol(const void* addressInLibrary, const char* name) {
    Dl_info info;
    if (dladdr(addressInLibrary, &info) == 0 || info.dli_fname == nullptr) return nullptr;
    const mach_header* header = loadedImageNamed(info.dli_fname);
    if (header == nullptr) return nullptr;
    return find_symbol_mach(header, name);
}

#endif  // __APPLE__
