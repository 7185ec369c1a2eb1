// The records of a 64-bit Mach-O image that a symbol lookup reads, laid out
// byte for byte as the dynamic linker maps them. They live in their own
// namespace so that this header can sit beside the system's Mach-O headers and
// be compiled where those do not exist.
#pragma once

#include <cstdint>

namespace macho {

// Opens every 64-bit image; the load commands follow it directly.
struct mach_header_64 {
    uint32_t magic;
    int32_t cputype;
    int32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
    uint32_t reserved;
};

// The common start of every load command; cmdsize counts the whole command.
struct load_command {
    uint32_t cmd;
    uint32_t cmdsize;
};

// Where the symbol and string tables lie, as offsets into the file.
struct symtab_command {
    uint32_t cmd;
    uint32_t cmdsize;
    uint32_t symoff;
    uint32_t nsyms;
    uint32_t stroff;
    uint32_t strsize;
};

// A segment's place in memory and in the file. segname is padded with NULs
// but not terminated when the name fills all of it.
struct segment_command_64 {
    uint32_t cmd;
    uint32_t cmdsize;
    char segname[16];
    uint64_t vmaddr;
    uint64_t vmsize;
    uint64_t fileoff;
    uint64_t filesize;
    int32_t maxprot;
    int32_t initprot;
    uint32_t nsects;
    uint32_t flags;
};

// One symbol table entry; n_strx indexes the string table, 0 meaning no name.
struct nlist_64 {
    union {
        uint32_t n_strx;
    } n_un;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
};

constexpr uint32_t MH_MAGIC_64 = 0xfeedfacf;
constexpr uint32_t LC_SYMTAB = 0x2;
constexpr uint32_t LC_SEGMENT_64 = 0x19;

static_assert(sizeof(mach_header_64) == 32);
static_assert(sizeof(load_command) == 8);
static_assert(sizeof(symtab_command) == 24);
static_assert(sizeof(segment_command_64) == 72);
static_assert(sizeof(nlist_64) == 16);

}  // namespace macho
