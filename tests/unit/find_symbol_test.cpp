#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "find_symbol.h"
#include "support/child.h"

extern "C" {
// Found in this program's own symbol table.
__attribute__((visibility("default"), used)) int tarsil_test_marker = 42;
}

namespace {

struct LoadedLibrary {
    std::string path;
    uintptr_t base;
};

LoadedLibrary libraryOf(const void* address) {
    Dl_info info{};
    EXPECT_NE(dladdr(address, &info), 0);
    return {info.dli_fname, reinterpret_cast<uintptr_t>(info.dli_fbase)};
}

std::vector<uint8_t> bytesOf(const std::string& path) {
    std::string text = readFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The library that provides the C library's `getpid`.
const void* libcAddress() {
    return dlsym(RTLD_DEFAULT, "getpid");
}

}  // namespace

TEST(FindSymbol, FindsAFunctionOfTheCLibrary) {
    void* expected = dlsym(RTLD_DEFAULT, "getpid");
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(find_symbol(libcAddress(), "getpid"), expected);
    EXPECT_EQ(find_symbol(libcAddress(), "no_such_symbol_anywhere"), nullptr);
}

TEST(FindSymbol, FindsAVariableOfTheProgramItself) {
    EXPECT_EQ(find_symbol(&tarsil_test_marker, "tarsil_test_marker"), &tarsil_test_marker);
}

TEST(FindSymbol, AddressOutsideAnyLibraryGivesNull) {
    int onStack = 0;
    EXPECT_EQ(find_symbol(&onStack, "getpid"), nullptr);
}

TEST(FindSymbolElf, AnswersLoadBasePlusValue) {
    LoadedLibrary libc = libraryOf(libcAddress());
    std::vector<uint8_t> image = bytesOf(libc.path);
    void* found = find_symbol_elf(image.data(), image.size(), "getpid", 0x10000000);
    void* real = find_symbol_elf(image.data(), image.size(), "getpid", libc.base);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(real) - reinterpret_cast<uintptr_t>(found), libc.base - 0x10000000);
}

// The flag the agent switches off, in the JDK built for this machine: the
// same ELF class as the build, 32-bit entries on i386.
TEST(FindSymbolElf, FindsTheSharingFlagInTheJdksOwnLibrary) {
    const std::string jvm = "/usr/lib/jvm/java-17-openjdk-" TARSIL_JDK_ARCH "/lib/server/libjvm.so";
    std::vector<uint8_t> image = bytesOf(jvm);
    ASSERT_FALSE(image.empty()) << jvm << " is missing";
    ASSERT_EQ(image[EI_CLASS], sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32);
    auto address = reinterpret_cast<uintptr_t>(find_symbol_elf(image.data(), image.size(), "UseSharedSpaces", 0x1000));
    // A data symbol: past the load base, inside the library's address range.
    EXPECT_GT(address, 0x1000u);
    EXPECT_LT(address, 0x1000u + image.size() * 2);
    EXPECT_EQ(find_symbol_elf(image.data(), image.size(), "NoSuchFlagInTheJvm", 0x1000), nullptr);
}

TEST(FindSymbolElf, HeaderWithoutSectionsGivesNull) {
    LoadedLibrary libc = libraryOf(libcAddress());
    std::vector<uint8_t> image = bytesOf(libc.path);
    auto* header = reinterpret_cast<ElfW(Ehdr)*>(image.data());
    for (auto clear : {+[](ElfW(Ehdr)* h) { h->e_shoff = 0; }, +[](ElfW(Ehdr)* h) { h->e_shnum = 0; },
                       +[](ElfW(Ehdr)* h) { h->e_shstrndx = 0; }}) {
        std::vector<uint8_t> copy = image;
        clear(reinterpret_cast<ElfW(Ehdr)*>(copy.data()));
        EXPECT_EQ(find_symbol_elf(copy.data(), copy.size(), "getpid", 0), nullptr);
    }
    (void)header;
}

TEST(FindSymbolElf, FirstSectionInHeaderOrderWins) {
    // The program's marker is in both .dynsym and .symtab; .dynsym comes first
    // in any linker's output. Point .dynsym's copy elsewhere and see it win.
    LoadedLibrary self = libraryOf(&tarsil_test_marker);
    std::vector<uint8_t> image = bytesOf(self.path);
    auto* header = reinterpret_cast<ElfW(Ehdr)*>(image.data());
    auto* sections = reinterpret_cast<ElfW(Shdr)*>(image.data() + header->e_shoff);
    int patched = 0;
    for (unsigned i = 0; i < header->e_shnum && !patched; i++) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        auto* syms = reinterpret_cast<ElfW(Sym)*>(image.data() + sections[i].sh_offset);
        const char* strings = reinterpret_cast<const char*>(image.data() + sections[sections[i].sh_link].sh_offset);
        for (size_t s = 0; s < sections[i].sh_size / sizeof(ElfW(Sym)); s++) {
            if (strcmp(strings + syms[s].st_name, "tarsil_test_marker") == 0) {
                syms[s].st_value = 0x1234;
                patched = 1;
            }
        }
    }
    ASSERT_TRUE(patched) << "marker not in the dynamic symbol table";
    EXPECT_EQ(find_symbol_elf(image.data(), image.size(), "tarsil_test_marker", 0), reinterpret_cast<void*>(0x1234));
}

TEST(FindSymbolElf, TruncatedCopiesNeverReadPastTheirEnd) {
    LoadedLibrary libc = libraryOf(libcAddress());
    std::vector<uint8_t> image = bytesOf(libc.path);
    auto* header = reinterpret_cast<const ElfW(Ehdr)*>(image.data());
    std::vector<size_t> cuts = {0, 1, 4, sizeof(ElfW(Ehdr)) - 1, sizeof(ElfW(Ehdr)), 4096, image.size() / 2,
                                header->e_shoff, header->e_shoff + sizeof(ElfW(Shdr)) * header->e_shnum - 1,
                                image.size() - 1};
    for (size_t cut : cuts) {
        // An exact-sized heap copy lets AddressSanitizer see any read past the end.
        std::vector<uint8_t> copy(image.begin(), image.begin() + cut);
        void* found = find_symbol_elf(copy.data(), copy.size(), "getpid", 0);
        if (cut < header->e_shoff + sizeof(ElfW(Shdr)) * header->e_shnum) {
            EXPECT_EQ(found, nullptr) << cut;
        }
    }
}

TEST(FindSymbolElf, CorruptedHeadersAndTablesAnswerWithoutCrashing) {
    LoadedLibrary libc = libraryOf(libcAddress());
    const std::vector<uint8_t> image = bytesOf(libc.path);
    auto* header = reinterpret_cast<const ElfW(Ehdr)*>(image.data());

    auto withSection = [&](auto mutate) {
        std::vector<uint8_t> copy = image;
        auto* h = reinterpret_cast<ElfW(Ehdr)*>(copy.data());
        auto* sections = reinterpret_cast<ElfW(Shdr)*>(copy.data() + h->e_shoff);
        for (unsigned i = 0; i < h->e_shnum; i++) {
            if (sections[i].sh_type == SHT_SYMTAB || sections[i].sh_type == SHT_DYNSYM) mutate(sections, i);
        }
        return find_symbol_elf(copy.data(), copy.size(), "getpid", 0);
    };
    EXPECT_EQ(withSection([](ElfW(Shdr)* s, unsigned i) { s[i].sh_link = 0xffff; }), nullptr);
    // The largest values the build's ELF class can hold.
    constexpr auto maxOffset = std::numeric_limits<decltype(ElfW(Shdr)::sh_offset)>::max();
    constexpr auto maxSize = std::numeric_limits<decltype(ElfW(Shdr)::sh_size)>::max();
    EXPECT_EQ(withSection([](ElfW(Shdr)* s, unsigned i) { s[i].sh_offset = maxOffset >> 1; }), nullptr);
    EXPECT_EQ(withSection([](ElfW(Shdr)* s, unsigned i) { s[i].sh_size = maxSize; }), nullptr);
    EXPECT_EQ(withSection([](ElfW(Shdr)* s, unsigned i) { s[s[i].sh_link].sh_size = maxSize - 8; }), nullptr);
    EXPECT_EQ(withSection([](ElfW(Shdr)* s, unsigned i) { s[s[i].sh_link].sh_size = 1; }), nullptr);

    std::vector<uint8_t> copy = image;
    reinterpret_cast<ElfW(Ehdr)*>(copy.data())->e_shnum = 0xffff;
    EXPECT_EQ(find_symbol_elf(copy.data(), copy.size(), "getpid", 0), nullptr);
    copy = image;
    reinterpret_cast<ElfW(Ehdr)*>(copy.data())->e_shoff = image.size() - 8;
    EXPECT_EQ(find_symbol_elf(copy.data(), copy.size(), "getpid", 0), nullptr);
    copy = image;
    // An image of the other ELF class than this build's.
    copy[EI_CLASS] = copy[EI_CLASS] == ELFCLASS32 ? ELFCLASS64 : ELFCLASS32;
    EXPECT_EQ(find_symbol_elf(copy.data(), copy.size(), "getpid", 0), nullptr);
    copy = image;
    copy[0] = 'X';
    EXPECT_EQ(find_symbol_elf(copy.data(), copy.size(), "getpid", 0), nullptr);

    // Random damage in the section headers and the tables: any answer, no crash.
    std::mt19937 random(20261208);
    size_t sectionBytes = sizeof(ElfW(Shdr)) * header->e_shnum;
    for (int round = 0; round < 200; round++) {
        copy = image;
        for (int flips = 0; flips < 8; flips++) {
            size_t at = header->e_shoff + random() % sectionBytes;
            copy[at] = static_cast<uint8_t>(random());
        }
        find_symbol_elf(copy.data(), copy.size(), "getpid", 0);
    }
}
