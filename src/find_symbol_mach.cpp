// Looks a symbol up in the symbol table of a 64-bit Mach-O image the dynamic
// linker has mapped. The table lies in the image's __LINKEDIT segment, which
// stays mapped, so no file is opened. Only the image's own bytes are read,
// which keeps this walk the same on every platform.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "find_symbol.h"
#include "macho_layout.h"

namespace {

// n_desc flag of a Thumb definition, whose address carries the mode in its
// lowest bit.
constexpr uint16_t kThumbDefinition = 0x8;

// Copies a record out of the image, whatever the alignment of its place.
template <typename T>
T readAt(const uint8_t* at) {
    T record;
    std::memcpy(&record, at, sizeof record);
    return record;
}

const uint8_t* pointerTo(uint64_t address) {
    return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
}

std::string_view segmentName(const macho::segment_command_64& segment) {
    std::string_view name(segment.segname, sizeof segment.segname);
    return name.substr(0, name.find('\0'));
}

struct ImageTables {
    std::optional<macho::symtab_command> symtab;
    std::optional<macho::segment_command_64> text;
    std::optional<macho::segment_command_64> linkedit;

    bool complete() const { return symtab && text && linkedit; }
};

void noteCommand(ImageTables& tables, const uint8_t* command, uint32_t cmd) {
    if (cmd == macho::LC_SYMTAB) {
        tables.symtab = readAt<macho::symtab_command>(command);
    } else if (cmd == macho::LC_SEGMENT_64) {
        auto segment = readAt<macho::segment_command_64>(command);
        std::string_view name = segmentName(segment);
        if (name == "__TEXT") tables.text = segment;
        if (name == "__LINKEDIT") tables.linkedit = segment;
    }
}

// Keeps the last of each command of interest, as the walk meets them.
ImageTables readLoadCommands(const uint8_t* image, uint32_t commandCount) {
    ImageTables tables;
    const uint8_t* cursor = image + sizeof(macho::mach_header_64);
    for (uint32_t i = 0; i < commandCount; i++) {
        auto command = readAt<macho::load_command>(cursor);
        noteCommand(tables, cursor, command.cmd);
        // A size too small to advance would revisit the same bytes forever.
        if (command.cmdsize < sizeof(macho::load_command)) break;
        cursor += command.cmdsize;
    }
    return tables;
}

// The first entry named `name` that has both a name and a value, or nullopt.
std::optional<macho::nlist_64> findEntry(const uint8_t* symbols, uint32_t count,
                                         const char* strings, const char* name) {
    for (uint32_t i = 0; i < count; i++) {
        auto symbol = readAt<macho::nlist_64>(symbols + i * sizeof(macho::nlist_64));
        if (symbol.n_value == 0 || symbol.n_un.n_strx == 0) continue;
        if (std::strcmp(strings + symbol.n_un.n_strx, name) == 0) return symbol;
    }
    return std::nullopt;
}

}  // namespace

void* find_symbol_mach(const void* header, const char* name) {
    if (header == nullptr || name == nullptr) return nullptr;
    const auto* image = static_cast<const uint8_t*>(header);
    auto imageHeader = readAt<macho::mach_header_64>(image);
    if (imageHeader.magic != macho::MH_MAGIC_64) return nullptr;
    ImageTables tables = readLoadCommands(image, imageHeader.ncmds);
    if (!tables.complete()) return nullptr;

    // The slide is how far the loader moved the image from its link-time
    // addresses. The symbol and string table offsets are file offsets;
    // linkeditBase is where file offset 0 would lie if the whole file were
    // mapped like __LINKEDIT. Unsigned wrap-around is intended throughout.
    uint64_t base = reinterpret_cast<uintptr_t>(header);
    uint64_t slide = base - tables.text->vmaddr;
    uint64_t linkeditBase =
        base + tables.linkedit->vmaddr - tables.text->vmaddr - tables.linkedit->fileoff;
    const uint8_t* symbols = pointerTo(linkeditBase + tables.symtab->symoff);
    const auto* strings =
        reinterpret_cast<const char*>(pointerTo(linkeditBase + tables.symtab->stroff));

    auto symbol = findEntry(symbols, tables.symtab->nsyms, strings, name);
    if (!symbol) return nullptr;
    uint64_t address = slide + symbol->n_value;
    if (symbol->n_desc & kThumbDefinition) address |= 1;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}
