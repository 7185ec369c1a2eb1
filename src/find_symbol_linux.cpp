// Looks a symbol up in the symbol tables of a loaded library's file. The file
// may be stripped, truncated or not what the loader mapped at all, so every
// offset and size read from it is checked against the mapping before use.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <string_view>

#include "fileutils.h"
#include "find_symbol.h"

namespace {

using Ehdr = ElfW(Ehdr);
using Shdr = ElfW(Shdr);
using Sym = ElfW(Sym);

#if __SIZEOF_POINTER__ == 8
constexpr unsigned char kElfClass = ELFCLASS64;
#else
constexpr unsigned char kElfClass = ELFCLASS32;
#endif

// A bounds-checked view of the image.
class Image {
public:
    Image(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}

    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // A misaligned record is as malformed as one out of bounds.
    template <typename T>
    const T* at(uint64_t offset) const {
        if (!contains(offset, sizeof(T))) return nullptr;
        const uint8_t* p = data_ + offset;
        if (reinterpret_cast<uintptr_t>(p) % alignof(T) != 0) return nullptr;
        return reinterpret_cast<const T*>(p);
    }
    std::string_view bytes(uint64_t offset, uint64_t length) const {
        return std::string_view(reinterpret_cast<const char*>(data_ + offset), length);
    }

private:
    const uint8_t* data_;
    size_t size_;
};

const Ehdr* elfHeader(const Image& image) {
    const Ehdr* header = image.at<Ehdr>(0);
    if (header == nullptr || memcmp(header->e_ident, ELFMAG, SELFMAG) != 0) return nullptr;
    if (header->e_ident[EI_CLASS] != kElfClass) return nullptr;
    return header;
}

// Searches one symbol table section; NULL when the name is not in it.
const Sym* searchSymbolTable(const Image& image, const Shdr& symtab, const Shdr& strtab,
                             std::string_view name) {
    if (!image.contains(symtab.sh_offset, symtab.sh_size) ||
        !image.contains(strtab.sh_offset, strtab.sh_size)) {
        return nullptr;
    }
    std::string_view strings = image.bytes(strtab.sh_offset, strtab.sh_size);
    uint64_t count = symtab.sh_size / sizeof(Sym);
    for (uint64_t i = 0; i < count; i++) {
        const Sym* sym = image.at<Sym>(symtab.sh_offset + i * sizeof(Sym));
        if (sym == nullptr) return nullptr;
        if (sym->st_name >= strings.size()) continue;
        std::string_view rest = strings.substr(sym->st_name);
        size_t end = rest.find('\0');
        if (end == std::string_view::npos) continue;  // unterminated name
        if (rest.substr(0, end) == name) return sym;
    }
    return nullptr;
}

}  // namespace

void* find_symbol_elf(const void* data, size_t size, const char* name, uintptr_t loadBase) {
    Image image(data, size);
    const Ehdr* header = elfHeader(image);
    if (header == nullptr) return nullptr;
    if (header->e_shstrndx == 0 || header->e_shnum == 0 || header->e_shoff == 0) return nullptr;
    if (header->e_shentsize != sizeof(Shdr) ||
        !image.contains(header->e_shoff, uint64_t{header->e_shnum} * sizeof(Shdr))) {
        return nullptr;
    }
    const auto* sections = image.at<Shdr>(header->e_shoff);
    if (sections == nullptr) return nullptr;
    for (unsigned i = 0; i < header->e_shnum; i++) {
        const Shdr& section = sections[i];
        if (section.sh_type != SHT_SYMTAB && section.sh_type != SHT_DYNSYM) continue;
        if (section.sh_link >= header->e_shnum) continue;
        const Sym* sym = searchSymbolTable(image, section, sections[section.sh_link], name);
        if (sym != nullptr) return reinterpret_cast<void*>(loadBase + sym->st_value);
    }
    return nullptr;
}

void* find_symbol(const void* addressInLibrary, const char* name) {
    Dl_info info;
    if (dladdr(addressInLibrary, &info) == 0 || info.dli_fname == nullptr) return nullptr;
    MappedFile file(info.dli_fname);
    if (!file) return nullptr;
    return find_symbol_elf(file.data(), file.size(), name,
                           reinterpret_cast<uintptr_t>(info.dli_fbase));
}
