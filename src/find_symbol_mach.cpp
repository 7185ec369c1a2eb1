// Looks a symbol up in the symbol table of a 64-bit Mach-O image the dynamic
// linker has mapped. The table lies in the image's __LINKEDIT segment, which
// stays mapped, so no file is opened. Only the image's own bytes are read,
// which keeps this walk the same on every platform. Every offset and size the
// image gives is checked against what the image says is mapped before it is
// used: the load commands against sizeofcmds and __TEXT, the tables and their
// entries against the bytes __LINKEDIT maps.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "find_symbol.h"
#include "macho_layout.h"

namespace {

// A bounds-checked view of mapped bytes. Records are copied out, whatever
// the alignment of their place.
class Region {
public:
    Region(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    template <typename T>
    std::optional<T> read(uint64_t offset) const {
        if (!contains(offset, sizeof(T))) return std::nullopt;
        T record;
        std::memcpy(&record, data_ + offset, sizeof record);
        return record;
    }
    std::optional<Region> part(uint64_t offset, uint64_t length) const {
        if (!contains(offset, length)) return std::nullopt;
        return Region(data_ + offset, length);
    }
    std::string_view text() const {
        return std::string_view(reinterpret_cast<const char*>(data_), static_cast<size_t>(size_));
    }
    uint64_t size() const { return size_; }

private:
    const uint8_t* data_;
    uint64_t size_;
};

// The `size` bytes `offset` past address `base`, unless they would run past
// the end of the address space.
std::optional<Region> regionAt(uintptr_t base, uint64_t offset, uint64_t size) {
    constexpr uint64_t kTop = UINTPTR_MAX;
    if (offset > kTop - base || size > kTop - base - offset) return std::nullopt;
    return Region(reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(base + offset)), size);
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

// False when the command's cmdsize leaves no room for the record its kind
// has.
bool noteCommand(ImageTables& tables, uint32_t cmd, const Region& command) {
    if (cmd == macho::LC_SYMTAB) {
        tables.symtab = command.read<macho::symtab_command>(0);
        return tables.symtab.has_value();
    }
    if (cmd == macho::LC_SEGMENT_64) {
        auto segment = command.read<macho::segment_command_64>(0);
        if (!segment) return false;
        std::string_view name = segmentName(*segment);
        if (name == "__TEXT") tables.text = segment;
        if (name == "__LINKEDIT") tables.linkedit = segment;
    }
    return true;
}

// Keeps the last of each command of interest, as the walk meets them;
// nullopt when a command runs past the space the header gives the commands
// (so does a count that announces more than that space holds).
std::optional<ImageTables> readLoadCommands(const Region& commands, uint32_t commandCount) {
    ImageTables tables;
    uint64_t offset = 0;
    for (uint32_t i = 0; i < commandCount; i++) {
        auto command = commands.read<macho::load_command>(offset);
        if (!command) return std::nullopt;
        // A size too small to advance would revisit the same bytes forever.
        if (command->cmdsize < sizeof(macho::load_command)) return std::nullopt;
        auto body = commands.part(offset, command->cmdsize);
        if (!body || !noteCommand(tables, command->cmd, *body)) return std::nullopt;
        offset += command->cmdsize;
    }
    return tables;
}

// The file bytes __LINKEDIT maps, where the loader put them: as far past the
// header as the segment's address is past __TEXT's.
std::optional<Region> linkeditBytes(uintptr_t base, const ImageTables& tables) {
    const macho::segment_command_64& linkedit = *tables.linkedit;
    if (linkedit.vmaddr < tables.text->vmaddr || linkedit.filesize > linkedit.vmsize) return std::nullopt;
    return regionAt(base, linkedit.vmaddr - tables.text->vmaddr, linkedit.filesize);
}

// The bytes at file offsets [fileoff, fileoff + length), which must lie in
// __LINKEDIT.
std::optional<Region> linkeditPart(const Region& bytes, const macho::segment_command_64& linkedit,
                                   uint64_t fileoff, uint64_t length) {
    if (fileoff < linkedit.fileoff) return std::nullopt;
    return bytes.part(fileoff - linkedit.fileoff, length);
}

// The first entry named `name` that has both a name and a value, or nullopt.
// An entry whose name does not lie whole in the string table names nothing.
std::optional<macho::nlist_64> findEntry(const Region& symbols, std::string_view strings,
                                         std::string_view name) {
    uint64_t count = symbols.size() / sizeof(macho::nlist_64);
    for (uint64_t i = 0; i < count; i++) {
        auto symbol = symbols.read<macho::nlist_64>(i * sizeof(macho::nlist_64));
        if (!symbol) return std::nullopt;
        uint32_t strx = symbol->n_un.n_strx;
        if (symbol->n_value == 0 || strx == 0 || strx >= strings.size()) continue;
        std::string_view rest = strings.substr(strx);
        size_t end = rest.find('\0');
        if (end == std::string_view::npos) continue;  // unterminated name
        if (rest.substr(0, end) == name) return symbol;
    }
    return std::nullopt;
}

}  // namespace

void* find_symbol_mach(const void* header, const char* name) {
    if (header == nullptr || name == nullptr) return nullptr;
    auto base = reinterpret_cast<uintptr_t>(header);
    // Nothing bounds the header itself: the caller vouches that an image
    // starts here. Everything after it is bounded by what it declares.
    macho::mach_header_64 imageHeader;
    std::memcpy(&imageHeader, header, sizeof imageHeader);
    if (imageHeader.magic != macho::MH_MAGIC_64) return nullptr;
    auto commands = regionAt(base, sizeof imageHeader, imageHeader.sizeofcmds);
    if (!commands) return nullptr;
    std::optional<ImageTables> tables = readLoadCommands(*commands, imageHeader.ncmds);
    if (!tables || !tables->complete()) return nullptr;
    // The header and its commands open __TEXT, so they lie in what it maps.
    if (sizeof imageHeader + uint64_t{imageHeader.sizeofcmds} > tables->text->filesize) return nullptr;

    auto linkedit = linkeditBytes(base, *tables);
    if (!linkedit) return nullptr;
    const macho::symtab_command& symtab = *tables->symtab;
    auto symbols = linkeditPart(*linkedit, *tables->linkedit, symtab.symoff,
                                uint64_t{symtab.nsyms} * sizeof(macho::nlist_64));
    auto strings = linkeditPart(*linkedit, *tables->linkedit, symtab.stroff, symtab.strsize);
    if (!symbols || !strings) return nullptr;

    auto symbol = findEntry(*symbols, strings->text(), name);
    if (!symbol) return nullptr;
    // The slide is how far the loader moved the image from its link-time
    // addresses; unsigned wrap-around is intended. n_desc is not consulted:
    // the Thumb flag belongs to 32-bit ARM, which a 64-bit image never holds.
    uint64_t slide = uint64_t{base} - tables->text->vmaddr;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(slide + symbol->n_value));
}
