#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "find_symbol.h"
#include "macho_layout.h"

namespace {

// The crafted images are linked at kTextVmaddr. Their __LINKEDIT segment lies
// kLinkeditAt bytes past the header in memory but kLinkeditFileoff bytes into
// the file, so the slide (header - kTextVmaddr) and the base the table offsets
// count from (header + kLinkeditAt - kLinkeditFileoff) are different values.
constexpr uint64_t kTextVmaddr = 0x100000000;
constexpr size_t kLinkeditAt = 0x400;
constexpr uint64_t kLinkeditFileoff = 0x4000;
// What each segment spans in memory and in the file; the built image holds
// all the bytes __LINKEDIT claims, so a read past them leaves the image.
constexpr uint64_t kSegmentSize = 0x1000;

// n_desc bits: a Thumb definition (a 32-bit ARM notion) and a dynamic
// reference.
constexpr uint16_t kThumbDefinition = 0x8;
constexpr uint16_t kReferencedDynamically = 0x10;

// A load command the lookup has no use for.
constexpr uint32_t kOtherCommand = 0x26;

struct Symbol {
    const char* name;  // nullptr: the entry's n_strx is 0
    uint64_t value;
    uint16_t desc = 0;
};

template <typename T>
void append(std::vector<uint8_t>& bytes, const T& record) {
    const auto* start = reinterpret_cast<const uint8_t*>(&record);
    bytes.insert(bytes.end(), start, start + sizeof record);
}

// Assembles a header, its load commands and, in the __LINKEDIT region, the
// symbol and string tables each LC_SYMTAB describes.
class ImageBuilder {
public:
    ImageBuilder& magic(uint32_t magic) {
        magic_ = magic;
        return *this;
    }
    // Overrides the number of commands the header announces.
    ImageBuilder& commandCount(uint32_t count) {
        commandCount_ = count;
        return *this;
    }

    // name may fill all 16 bytes, leaving no terminator.
    ImageBuilder& segment(std::string_view name, uint64_t vmaddr, uint64_t fileoff) {
        macho::segment_command_64 segment{};
        segment.cmd = macho::LC_SEGMENT_64;
        segment.cmdsize = sizeof segment;
        std::memcpy(segment.segname, name.data(), std::min(name.size(), sizeof segment.segname));
        segment.vmaddr = vmaddr;
        segment.vmsize = kSegmentSize;
        segment.fileoff = fileoff;
        segment.filesize = kSegmentSize;
        return add(segment);
    }
    ImageBuilder& text() { return segment("__TEXT", kTextVmaddr, 0); }
    ImageBuilder& linkedit() {
        return segment("__LINKEDIT", kTextVmaddr + kLinkeditAt, kLinkeditFileoff);
    }

    // The string table starts with stringZero, the text n_strx 0 points at;
    // each named symbol's name follows in a copy of its own.
    ImageBuilder& symtab(const std::vector<Symbol>& symbols, std::string_view stringZero = "") {
        std::string strings(stringZero);
        strings.push_back('\0');
        while (linkedit_.size() % 8 != 0) linkedit_.push_back(0);

        macho::symtab_command command{};
        command.cmd = macho::LC_SYMTAB;
        command.cmdsize = sizeof command;
        command.symoff = static_cast<uint32_t>(kLinkeditFileoff + linkedit_.size());
        command.nsyms = static_cast<uint32_t>(symbols.size());
        for (const Symbol& symbol : symbols) {
            macho::nlist_64 entry{};
            if (symbol.name != nullptr) {
                entry.n_un.n_strx = static_cast<uint32_t>(strings.size());
                strings.append(symbol.name).push_back('\0');
            }
            entry.n_type = 0x0f;  // an external definition in a section
            entry.n_sect = 1;
            entry.n_desc = symbol.desc;
            entry.n_value = symbol.value;
            append(linkedit_, entry);
        }
        command.stroff = static_cast<uint32_t>(kLinkeditFileoff + linkedit_.size());
        command.strsize = static_cast<uint32_t>(strings.size());
        linkedit_.insert(linkedit_.end(), strings.begin(), strings.end());
        return add(command);
    }

    // A bare command of 8 bytes that claims to be cmdsize long.
    ImageBuilder& command(uint32_t cmd, uint32_t cmdsize) {
        return add(macho::load_command{cmd, cmdsize});
    }

    const void* build() {
        macho::mach_header_64 header{};
        header.magic = magic_;
        header.cputype = 0x0100000c;  // 64-bit ARM
        header.filetype = 6;          // a shared library
        header.ncmds = commandCount_.value_or(addedCommands_);
        header.sizeofcmds = static_cast<uint32_t>(commands_.size());
        image_.clear();
        append(image_, header);
        image_.insert(image_.end(), commands_.begin(), commands_.end());
        EXPECT_LE(image_.size(), kLinkeditAt) << "the commands overlap __LINKEDIT";
        image_.resize(kLinkeditAt);
        image_.insert(image_.end(), linkedit_.begin(), linkedit_.end());
        EXPECT_LE(linkedit_.size(), kSegmentSize) << "the tables overflow __LINKEDIT";
        image_.resize(kLinkeditAt + kSegmentSize);
        return image_.data();
    }

    // The address `offset` bytes past the built header.
    void* at(uint64_t offset) const {
        return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(image_.data()) + offset);
    }

private:
    template <typename T>
    ImageBuilder& add(const T& command) {
        append(commands_, command);
        addedCommands_++;
        return *this;
    }

    uint32_t magic_ = macho::MH_MAGIC_64;
    std::optional<uint32_t> commandCount_;
    uint32_t addedCommands_ = 0;
    std::vector<uint8_t> commands_;
    std::vector<uint8_t> linkedit_;
    std::vector<uint8_t> image_;
};

TEST(FindSymbolMach, AnswersTheValueMovedByTheSlide) {
    ImageBuilder image;
    image.symtab({{"_first", kTextVmaddr + 0x10}, {"_target", kTextVmaddr + 0x1234}})
        .text()
        .linkedit();
    const void* header = image.build();
    EXPECT_EQ(find_symbol_mach(header, "_target"), image.at(0x1234));
    EXPECT_EQ(find_symbol_mach(header, "_first"), image.at(0x10));
}

// A 64-bit image holds no Thumb code, so not even that flag moves an address.
TEST(FindSymbolMach, DescriptionFlagsLeaveTheAddressAlone) {
    ImageBuilder image;
    image.text().linkedit().symtab({
        {"_thumb", kTextVmaddr + 0x40, kThumbDefinition},
        {"_exported", kTextVmaddr + 0x80, kReferencedDynamically},
    });
    const void* header = image.build();
    EXPECT_EQ(find_symbol_mach(header, "_thumb"), image.at(0x40));
    EXPECT_EQ(find_symbol_mach(header, "_exported"), image.at(0x80));
}

TEST(FindSymbolMach, SkipsEntriesWithoutValueOrNameAndTakesTheFirstMatch) {
    ImageBuilder image;
    // The nameless entry would read "_target" at string 0 if it were not skipped.
    image.text().linkedit().symtab(
        {
            {"_target", 0},
            {nullptr, kTextVmaddr + 0x10},
            {"_target", kTextVmaddr + 0x20},
            {"_target", kTextVmaddr + 0x30},
        },
        "_target");
    const void* header = image.build();
    EXPECT_EQ(find_symbol_mach(header, "_target"), image.at(0x20));
}

TEST(FindSymbolMach, NamesMustMatchWhole) {
    ImageBuilder image;
    image.text().linkedit().symtab({{"_target", kTextVmaddr + 0x10}});
    const void* header = image.build();
    EXPECT_EQ(find_symbol_mach(header, "_missing"), nullptr);
    EXPECT_EQ(find_symbol_mach(header, "_targ"), nullptr);
    EXPECT_EQ(find_symbol_mach(header, "_target2"), nullptr);
    EXPECT_EQ(find_symbol_mach(header, ""), nullptr);
}

TEST(FindSymbolMach, NullArgumentsAndOtherMagicGiveNull) {
    ImageBuilder image;
    image.text().linkedit().symtab({{"_target", kTextVmaddr + 0x10}});
    EXPECT_EQ(find_symbol_mach(nullptr, "_target"), nullptr);
    EXPECT_EQ(find_symbol_mach(image.build(), nullptr), nullptr);

    // A 32-bit image, and a 64-bit one of the other byte order.
    for (uint32_t magic : {0xfeedfaceu, 0xcffaedfeu}) {
        SCOPED_TRACE(magic);
        image.magic(magic);
        EXPECT_EQ(find_symbol_mach(image.build(), "_target"), nullptr);
    }
}

TEST(FindSymbolMach, EachOfTextLinkeditAndSymtabIsNeeded) {
    for (int missing = 0; missing < 3; missing++) {
        SCOPED_TRACE(missing);
        ImageBuilder image;
        if (missing != 0) image.text();
        if (missing != 1) image.linkedit();
        if (missing != 2) image.symtab({{"_target", kTextVmaddr + 0x10}});
        // Segments of other names do not stand in for the missing one.
        image.segment("__DATA", kTextVmaddr + 0x200, 0x2000);
        EXPECT_EQ(find_symbol_mach(image.build(), "_target"), nullptr);
    }
}

TEST(FindSymbolMach, TheLastSymtabWins) {
    ImageBuilder image;
    image.symtab({{"_target", kTextVmaddr + 0x10}, {"_onlyFirst", kTextVmaddr + 0x18}})
        .text()
        .linkedit()
        .symtab({{"_target", kTextVmaddr + 0x20}});
    const void* header = image.build();
    EXPECT_EQ(find_symbol_mach(header, "_target"), image.at(0x20));
    EXPECT_EQ(find_symbol_mach(header, "_onlyFirst"), nullptr);
}

TEST(FindSymbolMach, SegmentNamesAreComparedOverAllSixteenBytes) {
    ImageBuilder image;
    image.text()
        .segment("__LINKEDIT_EXTRA", kTextVmaddr + kLinkeditAt, kLinkeditFileoff)
        .symtab({{"_target", kTextVmaddr + 0x10}});
    EXPECT_EQ(find_symbol_mach(image.build(), "_target"), nullptr);

    image.linkedit();
    const void* header = image.build();
    EXPECT_EQ(find_symbol_mach(header, "_target"), image.at(0x10));
}

TEST(FindSymbolMach, CommandTooShortToAdvanceEndsTheWalk) {
    // Each image announces far more commands than it holds. A walk that went on
    // past the short command would revisit it billions of times, which the
    // clock shows.
    auto start = std::chrono::steady_clock::now();
    for (uint32_t size : {0u, 4u}) {
        SCOPED_TRACE(size);
        // Ahead of LC_SYMTAB, the walk never reaches the table.
        ImageBuilder early;
        early.text()
            .linkedit()
            .command(kOtherCommand, size)
            .symtab({{"_target", kTextVmaddr + 0x10}})
            .commandCount(UINT32_MAX);
        EXPECT_EQ(find_symbol_mach(early.build(), "_target"), nullptr);

        // After everything needed, the broken command still discredits the image.
        ImageBuilder late;
        late.text()
            .linkedit()
            .symtab({{"_target", kTextVmaddr + 0x10}})
            .command(kOtherCommand, size)
            .commandCount(UINT32_MAX);
        EXPECT_EQ(find_symbol_mach(late.build(), "_target"), nullptr);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Rewrites the record of type T `offset` bytes into the built image.
template <typename T, typename Change>
void edit(const ImageBuilder& image, uint64_t offset, Change change) {
    T record;
    std::memcpy(&record, image.at(offset), sizeof record);
    change(record);
    std::memcpy(image.at(offset), &record, sizeof record);
}

// Where the records of the image TheImageIsReadOnlyWithinWhatItDeclares
// builds lie: the commands in the order added, the only entry first in
// __LINKEDIT and its string "_target" after the empty string 0.
constexpr uint64_t kTextCommandAt = sizeof(macho::mach_header_64);
constexpr uint64_t kLinkeditCommandAt = kTextCommandAt + sizeof(macho::segment_command_64);
constexpr uint64_t kSymtabCommandAt = kLinkeditCommandAt + sizeof(macho::segment_command_64);
constexpr uint64_t kEntryAt = kLinkeditAt;
constexpr uint32_t kStringSize = sizeof "\0_target";
constexpr uint32_t kLinkeditEnd = kLinkeditFileoff + kSegmentSize;

void header(const ImageBuilder& image, void (*change)(macho::mach_header_64&)) {
    edit<macho::mach_header_64>(image, 0, change);
}
void segment(const ImageBuilder& image, uint64_t at, void (*change)(macho::segment_command_64&)) {
    edit<macho::segment_command_64>(image, at, change);
}
void symtab(const ImageBuilder& image, void (*change)(macho::symtab_command&)) {
    edit<macho::symtab_command>(image, kSymtabCommandAt, change);
}
void entry(const ImageBuilder& image, void (*change)(macho::nlist_64&)) {
    edit<macho::nlist_64>(image, kEntryAt, change);
}

// Each corruption turns an image that answers into one that answers null;
// under ASan, a read past the bytes the image holds would end the test.
TEST(FindSymbolMach, TheImageIsReadOnlyWithinWhatItDeclares) {
    struct Case {
        const char* what;
        void (*corrupt)(const ImageBuilder&);
    };
    const Case cases[] = {
        {"ncmds one past the commands", [](auto& i) { header(i, [](auto& h) { h.ncmds++; }); }},
        {"ncmds huge", [](auto& i) { header(i, [](auto& h) { h.ncmds = UINT32_MAX; }); }},
        {"sizeofcmds short of the last command", [](auto& i) { header(i, [](auto& h) { h.sizeofcmds -= 8; }); }},
        {"sizeofcmds past __TEXT", [](auto& i) { segment(i, kTextCommandAt, [](auto& s) { s.filesize = 64; }); }},
        {"cmdsize 0", [](auto& i) { segment(i, kLinkeditCommandAt, [](auto& s) { s.cmdsize = 0; }); }},
        {"cmdsize past sizeofcmds", [](auto& i) { symtab(i, [](auto& c) { c.cmdsize += 8; }); }},
        {"cmdsize short of a segment", [](auto& i) { segment(i, kTextCommandAt, [](auto& s) { s.cmdsize = 64; }); }},
        {"cmdsize short of LC_SYMTAB", [](auto& i) { symtab(i, [](auto& c) { c.cmdsize = 16; }); }},
        {"__LINKEDIT below __TEXT",
         [](auto& i) { segment(i, kLinkeditCommandAt, [](auto& s) { s.vmaddr = kTextVmaddr - kSegmentSize; }); }},
        {"__LINKEDIT maps more file than memory",
         [](auto& i) { segment(i, kLinkeditCommandAt, [](auto& s) { s.filesize = s.vmsize + 1; }); }},
        {"__LINKEDIT too short for the strings",
         [](auto& i) { segment(i, kLinkeditCommandAt, [](auto& s) { s.filesize = 16; }); }},
        {"symoff before __LINKEDIT", [](auto& i) { symtab(i, [](auto& c) { c.symoff -= 16; }); }},
        {"symoff past the image", [](auto& i) { symtab(i, [](auto& c) { c.symoff = kLinkeditEnd; }); }},
        {"nsyms past the image", [](auto& i) { symtab(i, [](auto& c) { c.nsyms = kSegmentSize; }); }},
        {"nsyms huge", [](auto& i) { symtab(i, [](auto& c) { c.nsyms = UINT32_MAX; }); }},
        {"stroff past the image", [](auto& i) { symtab(i, [](auto& c) { c.stroff = kLinkeditEnd; }); }},
        {"stroff huge", [](auto& i) { symtab(i, [](auto& c) { c.stroff = UINT32_MAX; }); }},
        {"strsize past the image", [](auto& i) { symtab(i, [](auto& c) { c.strsize = kSegmentSize; }); }},
        // The bytes past the table are zeros, so an unbounded name would match.
        {"strsize cutting the terminator", [](auto& i) { symtab(i, [](auto& c) { c.strsize--; }); }},
        {"string index at strsize", [](auto& i) { entry(i, [](auto& e) { e.n_un.n_strx = kStringSize; }); }},
        {"string index past the image", [](auto& i) { entry(i, [](auto& e) { e.n_un.n_strx = UINT32_MAX; }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ImageBuilder image;
        image.text().linkedit().symtab({{"_target", kTextVmaddr + 0x10}});
        const void* built = image.build();
        ASSERT_EQ(find_symbol_mach(built, "_target"), image.at(0x10));
        c.corrupt(image);
        EXPECT_EQ(find_symbol_mach(built, "_target"), nullptr);
    }
}

// Dylibs the macOS toolchain built (the macos-* presets), laid out in memory
// as the dynamic linker maps them: every segment at its address's distance
// from __TEXT, the file's bytes in it.
TEST(FindSymbolMach, DataSymbolOfARealDylibIsFoundWhereTheLoaderPutsIt) {
    int searched = 0;
    for (const char* target : {"macos-x86_64", "macos-arm64"}) {
        SCOPED_TRACE(target);
        std::ifstream in(std::string(TARSIL_BUILD_ROOT) + "/" + target + "/tests/mac/libmacho_probe.dylib",
                         std::ios::binary);
        if (!in) continue;
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GE(file.size(), sizeof(macho::mach_header_64));
        macho::mach_header_64 header;
        memcpy(&header, file.data(), sizeof header);
        ASSERT_EQ(header.magic, macho::MH_MAGIC_64);
        std::vector<macho::segment_command_64> segments;
        for (size_t at = sizeof header, i = 0; i < header.ncmds; i++) {
            macho::load_command command;
            memcpy(&command, file.data() + at, sizeof command);
            if (command.cmd == macho::LC_SEGMENT_64) {
                macho::segment_command_64 segment;
                memcpy(&segment, file.data() + at, sizeof segment);
                segments.push_back(segment);
            }
            at += command.cmdsize;
        }
        auto text = std::find_if(segments.begin(), segments.end(),
                                 [](const auto& segment) { return std::string_view(segment.segname) == "__TEXT"; });
        ASSERT_NE(text, segments.end());
        uint64_t span = 0;
        for (const auto& segment : segments) span = std::max(span, segment.vmaddr + segment.vmsize - text->vmaddr);
        std::vector<uint8_t> memory(span + 16384);
        // Page-aligned, as a mapping is: the walk reads the header in place.
        uint8_t* base = memory.data() + (16384 - reinterpret_cast<uintptr_t>(memory.data()) % 16384);
        for (const auto& segment : segments) {
            if (segment.filesize == 0) continue;
            ASSERT_LE(segment.fileoff + segment.filesize, file.size());
            memcpy(base + (segment.vmaddr - text->vmaddr), file.data() + segment.fileoff, segment.filesize);
        }
        void* flag = find_symbol_mach(base, "_TarsilProbeFlag");
        ASSERT_NE(flag, nullptr);
        uint32_t value = 0;
        memcpy(&value, flag, sizeof value);
        EXPECT_EQ(value, 0x54534c46u);  // what the probe set it to
        EXPECT_EQ(find_symbol_mach(base, "_NoSuchSymbol"), nullptr);
        searched++;
    }
    if (searched == 0) GTEST_SKIP() << "no macOS probe dylib built (the macos-* presets; tools/install-cross.sh)";
}

}  // namespace
