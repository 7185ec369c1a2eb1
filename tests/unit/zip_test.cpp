#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/zip_builder.h"
#include "bootcache_files.h"
#include "zip.h"

namespace {

constexpr char kJdk[] = "/usr/lib/jvm/java-17-openjdk-amd64";
const std::string kRealJar = std::string(kJdk) + "/lib/jrt-fs.jar";
// A zip archive behind the four bytes of the jmod magic number.
const std::string kJmod = std::string(kJdk) + "/jmods/java.instrument.jmod";

const std::vector<BuiltEntry> kSample = {
    {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nPremain-Class: a.B\r\n\r\n", false},
    {"com/acme/Stored.class", std::string(300, 's'), false},
    {"com/acme/Deflated.class", std::string(4000, 'd') + "tail", true},
    {"empty.txt", "", false},
};

const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::optional<std::string> extract(const ZipReader& zip, std::string_view name) {
    size_t size = 0;
    char* data = static_cast<char*>(zip.extractToHeap(name, &size));
    if (data == nullptr) return std::nullopt;
    std::string text(data, size);
    EXPECT_EQ(data[size], '\0') << name;
    free(data);
    return text;
}

bool extractsAll(const ZipReader& zip) {
    for (size_t i = 0; i < zip.entryCount(); i++) {
        if (!extract(zip, zip.entryName(static_cast<int64_t>(i)))) return false;
    }
    return true;
}

// Opens an exact-sized copy, so that AddressSanitizer sees any read past the
// end: "extracts" when every entry does, "opened" when some do not, or the
// reason the archive does not open.
std::string outcome(const std::string& archive) {
    std::vector<uint8_t> copy(archive.begin(), archive.end());
    ZipReader zip;
    if (!zip.openMemory(copy.data(), copy.size())) return zip.error();
    return extractsAll(zip) ? "extracts" : "opened";
}

bool opens(const std::string& archive) {
    std::string result = outcome(archive);
    return result == "extracts" || result == "opened";
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
    return output;
}

bool haveTool(const char* name) {
    return !run(std::string("command -v ") + name).empty();
}

uint32_t get32(const std::string& archive, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; i--) value = value << 8 | static_cast<uint8_t>(archive[at + i]);
    return value;
}

// A copy with a little-endian field of `width` bytes replaced.
std::string patched(std::string archive, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; i++) archive[at + i] = static_cast<char>(value >> (8 * i));
    return archive;
}

// A field of /proc/self/status, in kB.
uint64_t statusKb(const std::string& field) {
    std::string status = readFile("/proc/self/status");
    size_t at = status.find(field + ":");
    return at == std::string::npos ? 0 : strtoull(status.c_str() + at + field.size() + 1, nullptr, 10);
}

}  // namespace

TEST(ZipReaderTest, RealJdkArchivesExtractAndMatchUnzip) {
    bool compare = haveTool("unzip");
    if (!compare) printf("unzip not installed: extracting without comparing\n");
    for (const std::string& path : {kRealJar, kJmod}) {
        ZipReader zip;
        ASSERT_TRUE(zip.open(path.c_str())) << path << ": " << zip.error();
        ASSERT_GT(zip.entryCount(), 10u) << path;
        EXPECT_TRUE(extractsAll(zip)) << path;
        for (size_t i = 0; i < zip.entryCount(); i++) {
            std::string name(zip.entryName(static_cast<int64_t>(i)));
            EXPECT_EQ(zip.locate(name), static_cast<int64_t>(i)) << name;
            if (!compare || name.back() == '/' || i % 5 != 0) continue;
            EXPECT_EQ(extract(zip, name), run("unzip -p " + path + " '" + name + "' 2>/dev/null")) << name;
        }
    }
}

TEST(ZipReaderTest, LookupsAreExactCaseSensitiveAndFindTheFirstOfDuplicates) {
    ZipReader zip;
    ASSERT_TRUE(zip.open(kRealJar.c_str()));
    int64_t manifest = zip.locate("META-INF/MANIFEST.MF");
    ASSERT_GE(manifest, 0);
    EXPECT_EQ(zip.entryName(manifest), "META-INF/MANIFEST.MF");
    EXPECT_TRUE(extract(zip, "META-INF/MANIFEST.MF")->starts_with("Manifest-Version: 1.0"));
    EXPECT_GE(zip.locate("jdk/internal/jrtfs/JrtFileSystemProvider.class"), 0);
    for (std::string_view absent : std::initializer_list<std::string_view>{"meta-inf/manifest.mf", "META-INF/MANIFEST.M", "META-INF/MANIFEST.MF/",
                                    "/META-INF/MANIFEST.MF", std::string_view("META-INF/MANIFEST.MF\0", 21), ""}) {
        EXPECT_EQ(zip.locate(absent), -1) << absent;
    }
    EXPECT_EQ(zip.extractToHeap("no/such/Entry.class", nullptr), nullptr);

    std::string archive = buildZip({{"a.txt", "first"}, {"b.txt", "other"}, {"a.txt", "second"}});
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size()));
    EXPECT_EQ(zip.entryCount(), 3u);
    EXPECT_EQ(zip.locate("a.txt"), 0);
    EXPECT_EQ(extract(zip, "a.txt"), "first");
    EXPECT_EQ(zip.entryName(2), "a.txt");
    zip.close();
    EXPECT_EQ(zip.locate("a.txt"), -1);
}

TEST(ZipReaderTest, StoredDeflatedAndEmptyEntriesInEveryLayout) {
    const std::string script = "#!/bin/sh\nexec java -jar \"$0\" \"$@\"\n";
    // A comment holding an end record signature of its own.
    const std::string comment = std::string("PK\x05\x06", 4) + std::string(40, 'c');
    std::string commented = buildZip(kSample);
    commented = patched(commented, commented.size() - 2, comment.size(), 2) + comment;
    for (const std::string& archive : {buildZip(kSample), buildZip(kSample, true), script + buildZip(kSample),
                                       script + buildZip(kSample, true), commented,
                                       commented + std::string(100, '\0')}) {
        ZipReader zip;
        ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size())) << zip.error();
        EXPECT_STREQ(zip.error(), "");
        EXPECT_EQ(zip.entryCount(), kSample.size());
        for (const BuiltEntry& entry : kSample) EXPECT_EQ(extract(zip, entry.name), entry.content) << entry.name;
    }

    std::string archive = buildZip(kSample);
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size()));
    ZipEntryStat info;
    int64_t deflated = zip.locate("com/acme/Deflated.class");
    ASSERT_TRUE(zip.stat(deflated, &info));
    EXPECT_EQ(info.method, 8);
    EXPECT_EQ(info.uncompressedSize, 4004u);
    EXPECT_LT(info.compressedSize, 100u);
    EXPECT_EQ(info.crc32, referenceCrc32(kSample[2].content));
    ASSERT_TRUE(zip.stat(zip.locate("com/acme/Stored.class"), &info));
    EXPECT_EQ(info.method, 0);
    EXPECT_EQ(info.compressedSize, 300u);
    EXPECT_FALSE(zip.stat(-1, &info));
    EXPECT_FALSE(zip.stat(4, &info));
    EXPECT_EQ(zip.entryName(4), "");
    // Straight into a caller's buffer, as class bytes are: a larger buffer
    // is fine, a smaller one is refused.
    std::string buffer(5000, '\0');
    EXPECT_TRUE(zip.extractTo(deflated, buffer.data(), buffer.size()));
    EXPECT_EQ(buffer.substr(0, 4004), kSample[2].content);
    EXPECT_FALSE(zip.extractTo(deflated, buffer.data(), 4003));
    EXPECT_TRUE(zip.extractTo(zip.locate("empty.txt"), nullptr, 0));
}

TEST(ZipReaderTest, ArchivesOfTheZipToolExtract) {
    if (!haveTool("zip")) GTEST_SKIP() << "zip not installed";
    TempDir dir;
    std::string big;
    for (int i = 0; i < 3000; i++) big += "line " + std::to_string(i) + "\n";
    std::ofstream(dir.file("big.txt")) << big;
    std::ofstream(dir.file("a.txt")) << "hello\n";
    // -fz saturates only some fields, so the zip64 extra fields hold only
    // those; written to a pipe, sizes follow the data in descriptors and the
    // local headers hold zeros.
    run("cd " + dir.path() + " && zip -q -fz zip64.zip a.txt big.txt && zip -q - a.txt big.txt | cat > piped.zip");
    for (const char* name : {"zip64.zip", "piped.zip"}) {
        ZipReader zip;
        ASSERT_TRUE(zip.open(dir.file(name).c_str())) << name << ": " << zip.error();
        EXPECT_EQ(extract(zip, "a.txt"), "hello\n") << name;
        EXPECT_EQ(extract(zip, "big.txt"), big) << name;
    }
}

TEST(ZipReaderTest, EntryCountThatWrappedPast65535IsAccepted) {
    std::vector<BuiltEntry> entries;
    for (int i = 0; i < 70000; i++) entries.push_back({"e" + std::to_string(i), std::to_string(i)});
    std::string archive = buildZip(entries);
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size())) << zip.error();
    EXPECT_EQ(zip.entryCount(), 70000u);
    for (int i : {0, 65535, 65536, 69999}) EXPECT_EQ(extract(zip, "e" + std::to_string(i)), std::to_string(i));
}

TEST(ZipReaderTest, DamagedArchivesFailToOpenWithAReason) {
    ZipReader zip;
    std::string text = "this is not a zip archive at all, just some text that is long enough";
    EXPECT_FALSE(zip.openMemory(bytes(text), text.size()));
    EXPECT_STREQ(zip.error(), "not a zip archive: no end of central directory record");
    EXPECT_FALSE(zip.isOpen());
    EXPECT_EQ(zip.locate("anything"), -1);
    EXPECT_EQ(outcome(text.substr(0, 5)), "not a zip archive: too short");
    EXPECT_FALSE(zip.openMemory(nullptr, 100));
    EXPECT_FALSE(zip.open("/nonexistent/file.jar"));
    EXPECT_STREQ(zip.error(), "it does not exist");
    EXPECT_EQ(outcome(buildZip({})), "extracts");  // no entries is still an archive

    const std::string plain = buildZip(kSample);
    const size_t end = plain.size() - 22;
    const size_t directory = get32(plain, end + 16);
    const uint32_t directorySize = get32(plain, end + 12);
    const std::string outOfBounds = "central directory out of bounds";
    const std::string corrupt = "corrupt central directory entry";
    const std::string runsPast = "central directory entry runs past the directory";
    const std::string zip64Extra = "corrupt zip64 extra field";
    const std::string fewer = "central directory holds fewer entries than recorded";
    EXPECT_EQ(outcome(patched(plain, end + 10, 5, 2)), fewer);
    EXPECT_EQ(outcome(patched(plain, end + 10, 3, 2)), "extracts");  // fewer recorded than there are
    EXPECT_EQ(outcome(patched(plain, end + 12, directorySize + 1, 4)), outOfBounds);
    EXPECT_EQ(outcome(patched(plain, end + 12, 0xFFFFFFFF, 4)), outOfBounds);
    EXPECT_EQ(outcome(patched(plain, end + 16, directory + 1, 4)), outOfBounds);
    EXPECT_EQ(outcome(patched(plain, end + 16, 0xFFFFFFF0, 4)), outOfBounds);
    // A shorter directory starts later, in the middle of its first record.
    EXPECT_EQ(outcome(patched(plain, end + 12, directorySize - 1, 4)), corrupt);
    EXPECT_EQ(outcome(patched(plain, directory, 0x12345678, 4)), corrupt);
    // Lengths of the first record that reach into the next one, or past the
    // end of the directory.
    EXPECT_EQ(outcome(patched(plain, directory + 28, 21, 2)), corrupt);
    EXPECT_EQ(outcome(patched(plain, directory + 30, 3, 2)), corrupt);
    EXPECT_EQ(outcome(patched(plain, directory + 28, 0xFFFF, 2)), runsPast);
    EXPECT_EQ(outcome(patched(plain, directory + 32, 0xFFFF, 2)), runsPast);
    // A saturated size or offset needs a zip64 extra field with the real one.
    EXPECT_EQ(outcome(patched(plain, directory + 24, 0xFFFFFFFF, 4)), zip64Extra);
    EXPECT_EQ(outcome(patched(plain, directory + 42, 0xFFFFFFFF, 4)), zip64Extra);

    const std::string zip64 = buildZip(kSample, true);
    const size_t locator = zip64.size() - 22 - 20;
    const size_t zip64End = locator - 56;
    const size_t extra = get32(zip64, zip64End + 48) + 46 + kSample[0].name.size();
    EXPECT_EQ(outcome(patched(zip64, zip64End, 0x06064b51, 4)), "corrupt zip64 end of central directory record");
    EXPECT_EQ(outcome(patched(zip64, zip64End + 32, 5, 8)), fewer);
    EXPECT_EQ(outcome(patched(zip64, zip64End + 40, uint64_t{1} << 63, 8)), outOfBounds);
    EXPECT_EQ(outcome(patched(zip64, zip64End + 48, ~uint64_t{0}, 8)), outOfBounds);
    // The record right before the locator is found whatever offset it holds.
    EXPECT_EQ(outcome(patched(zip64, locator + 8, ~uint64_t{0}, 8)), "extracts");
    // Extra fields too short for the saturated values, longer than their
    // place, or of another kind.
    EXPECT_EQ(outcome(patched(zip64, extra + 2, 16, 2)), zip64Extra);
    EXPECT_EQ(outcome(patched(zip64, extra + 2, 0xFFFF, 2)), zip64Extra);
    EXPECT_EQ(outcome(patched(zip64, extra, 0x5455, 2)), zip64Extra);
}

TEST(ZipReaderTest, DamagedEntriesFailToExtract) {
    auto extracts = [](const BuiltEntry& entry) { return outcome(buildZip({entry})) == "extracts"; };
    EXPECT_TRUE(extracts({"ok.txt", "fine", true}));
    EXPECT_FALSE(extracts({"crc.txt", "content", false, 0x12345678}));
    EXPECT_FALSE(extracts({"crc.txt", "content", true, 0x12345678}));
    EXPECT_FALSE(extracts({"empty.txt", "", false, 0x12345678}));
    EXPECT_FALSE(extracts({"secret.txt", "content", false, -1, -1, 1}));
    // Uncompressed sizes that lie, up to one no stream this short could give;
    // a stored size that differs from the data even where the CRC matches it.
    for (int64_t size : {100ll, 3ll, 0ll, 0xFFFFFFF0ll}) EXPECT_FALSE(extracts({"lie.txt", "content", true, -1, size}));
    EXPECT_FALSE(extracts({"stored.txt", "content", false, referenceCrc32("con"), 3}));

    // Fields of the first entry's records, which fail that entry only.
    const std::string archive = buildZip(kSample);
    const size_t directory = get32(archive, archive.size() - 22 + 16);
    auto firstFails = [](const std::string& damaged) {
        std::vector<uint8_t> exact(damaged.begin(), damaged.end());
        ZipReader zip;
        EXPECT_TRUE(zip.openMemory(exact.data(), exact.size())) << zip.error();
        EXPECT_EQ(extract(zip, "com/acme/Stored.class"), kSample[1].content);
        return !extract(zip, "META-INF/MANIFEST.MF").has_value();
    };
    EXPECT_FALSE(firstFails(archive));
    EXPECT_TRUE(firstFails(patched(archive, directory + 10, 12, 2)));  // method
    EXPECT_TRUE(firstFails(patched(archive, directory + 20, 0x7FFFFFFF, 4)));  // compressed size
    EXPECT_TRUE(firstFails(patched(archive, directory + 42, 7, 4)));  // local header offset
    EXPECT_TRUE(firstFails(patched(archive, directory + 42, 0xFFFFFF00, 4)));
    EXPECT_TRUE(firstFails(patched(archive, 0, 0x04034b51, 4)));  // local signature
    EXPECT_TRUE(firstFails(patched(archive, 26, 1, 2)));  // local name length
    EXPECT_TRUE(firstFails(patched(archive, 28, 0xFFFF, 2)));  // local extra length
    EXPECT_TRUE(firstFails(patched(archive, 30 + 20 + 5, 'X', 1)));  // data
    // An offset that points before the directory's real place reads as a
    // prefix: the archive opens, but no local header is where it says.
    EXPECT_EQ(outcome(patched(archive, archive.size() - 22 + 16, directory - 1, 4)), "opened");
}

TEST(ZipReaderTest, LyingSizeTakesNoMemory) {
    // One that no 9-byte deflate stream could give, and one that 2.2 MB of
    // stream could, but beyond the 2 GiB a heap extraction may take.
    std::mt19937 random(7);
    std::string noise(2200000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    std::string archive =
        buildZip({{"bomb.txt", "content", true, -1, 0x7FFFFF00}, {"big.bin", noise, true, -1, 0x80000100}});
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size()));
    for (const char* name : {"bomb.txt", "big.bin"}) {
        uint64_t size = statusKb("VmSize");
        uint64_t peak = statusKb("VmPeak");
        ASSERT_GT(size, 0u) << "no /proc/self/status";
        EXPECT_EQ(zip.extractToHeap(name, nullptr), nullptr) << name;
        // Had a buffer been allocated, the peak would have risen 2 GiB above
        // the size, unless it stood there already.
        uint64_t after = statusKb("VmPeak");
        EXPECT_TRUE(after == peak || after < size + (1u << 20)) << name << ": " << size << " " << peak << " " << after;
    }
}

TEST(ZipReaderTest, TruncationAndRandomDamageFailCleanly) {
    std::string real = readFile(kRealJar);
    ASSERT_GT(real.size(), 10000u);
    for (const std::string& archive : {buildZip(kSample), buildZip(kSample, true), real}) {
        size_t step = archive.size() > 10000 ? 997 : 1;
        for (size_t cut = 0; cut < archive.size(); cut += step) {
            EXPECT_FALSE(opens(archive.substr(0, cut))) << "first " << cut << " bytes";
            EXPECT_FALSE(opens(archive.substr(archive.size() - cut))) << "last " << cut << " bytes";
        }
    }
    std::mt19937 random(42);
    for (bool zip64 : {false, true}) {
        const std::string archive = buildZip(kSample, zip64);
        int opened = 0;
        for (int round = 0; round < 3000; round++) {
            std::string copy = archive;
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; flips--) {
                copy[random() % copy.size()] = static_cast<char>(random());
            }
            opened += opens(copy);
        }
        // Most damage lands where open() does not look, so extraction runs.
        EXPECT_GT(opened, 1000) << zip64;
    }
}

namespace {

// Extracts every entry from four threads at once, over and over, and counts
// the results that differ from one extraction alone.
int concurrentMismatches(const ZipReader& zip, int rounds) {
    std::vector<std::optional<std::string>> expected;
    for (size_t i = 0; i < zip.entryCount(); i++) expected.push_back(extract(zip, zip.entryName(static_cast<int64_t>(i))));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < rounds; round++) {
                for (size_t k = 0; k < zip.entryCount(); k++) {
                    size_t i = (k + t) % zip.entryCount();
                    auto content = extract(zip, zip.entryName(static_cast<int64_t>(i)));
                    if (!content || content != expected[i]) mismatches++;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    return mismatches.load();
}

}  // namespace

// A private copy is untouched by what later happens to its file; what is
// not a regular file with bytes never opens (a FIFO without waiting).
TEST(ZipReaderTest, CopiedArchiveOutlivesChangesToItsFile) {
    TempDir dir;
    std::string archive = buildZip(kSample);
    std::string path = dir.file("copied.jar");
    auto write = [&path](const std::string& text) { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; };
    for (std::string change : {"truncate", "overwrite", "remove"}) {
        write(archive);
        ZipReader zip;
        ASSERT_TRUE(zip.openCopy(path.c_str())) << zip.error();
        if (change == "truncate") std::filesystem::resize_file(path, 10);
        if (change == "overwrite") write(std::string(archive.size(), 'x'));
        if (change == "remove") std::filesystem::remove(path);
        EXPECT_TRUE(extractsAll(zip)) << change;
        EXPECT_EQ(extract(zip, "com/acme/Deflated.class"), std::string(4000, 'd') + "tail") << change;
    }
    std::string fifo = dir.file("fifo.jar");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write("");
    for (const std::string& unusable : {dir.file("missing.jar"), path, fifo, dir.path(), std::string("/dev/null")}) {
        ZipReader zip;
        EXPECT_FALSE(zip.openCopy(unusable.c_str())) << unusable;
        EXPECT_STRNE(zip.error(), "") << unusable;
        // Mapped as well as copied: never waiting, never anything but a file.
        EXPECT_FALSE(zip.open(unusable.c_str())) << unusable;
        EXPECT_STRNE(zip.error(), "") << unusable;
    }
}

TEST(ZipReaderTest, ConcurrentExtractionFromOneReader) {
    ZipReader jar;
    ASSERT_TRUE(jar.open(kRealJar.c_str()));
    EXPECT_EQ(concurrentMismatches(jar, 20), 0);

    // Large entries of varied text, so that the threads are decoding their
    // own dynamic Huffman blocks at the same time.
    std::mt19937 random(3);
    std::vector<BuiltEntry> entries;
    for (int e = 0; e < 4; e++) {
        std::string text;
        while (text.size() < 500000) text += "word" + std::to_string(random() % (1000 * (e + 1))) + ' ';
        entries.push_back({"text" + std::to_string(e), text, true});
    }
    std::string archive = buildZip(entries);
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size()));
    EXPECT_EQ(concurrentMismatches(zip, 5), 0);
}

TEST(ZipWriterTest, StoredArchiveRoundTripsAndPassesTheStandardTools) {
    TempDir dir;
    std::string path = dir.file("cp.jar");
    std::string manifest = "Manifest-Version: 1.0\r\nClass-Path: a.jar b.jar\r\n\r\n";
    std::string binary("\x00\x01\xFF\xFE\x00", 5);
    ZipMember members[] = {{"META-INF/", nullptr, 0},
                           {"META-INF/MANIFEST.MF", manifest.data(), manifest.size()},
                           {"data/bin\xC3\xA4r.dat", binary.data(), binary.size()}};
    std::string archive;
    ASSERT_TRUE(zip_write_stored(&archive, members, 3));
    std::ofstream(path, std::ios::binary) << archive;
    ZipReader zip;
    ASSERT_TRUE(zip.open(path.c_str())) << zip.error();
    EXPECT_EQ(zip.entryCount(), 3u);
    for (const ZipMember& member : members) {
        EXPECT_EQ(extract(zip, member.name), std::string(static_cast<const char*>(member.data), member.size));
    }

    // Dated 1980-01-01 00:00 so that the same members give the same bytes;
    // folders say so in their attributes, names that are not ASCII in the
    // UTF-8 flag; each gives the version it needs (2.0 folders, 1.0 files).
    std::string again;
    ASSERT_TRUE(zip_write_stored(&again, members, 3));
    EXPECT_EQ(again, archive);
    EXPECT_EQ(get32(archive, 10), 0x00210000u);  // the first local header's time and date
    size_t central = get32(archive, archive.size() - 22 + 16);
    struct Fields {
        uint32_t version, flags, attributes;
    };
    for (Fields want : {Fields{20, 0, 0x10}, Fields{10, 0, 0}, Fields{10, 0x800, 0}}) {
        ASSERT_EQ(get32(archive, central), 0x02014b50u);
        EXPECT_EQ(get32(archive, central + 6) & 0xFFFF, want.version);
        EXPECT_EQ(get32(archive, central + 8) & 0xFFFF, want.flags);
        EXPECT_EQ(get32(archive, central + 12), 0x00210000u);  // time, date
        EXPECT_EQ(get32(archive, central + 38), want.attributes);
        central += 46 + (get32(archive, central + 28) & 0xFFFF);
    }

    std::string listing = run("LC_ALL=C.UTF-8 " + std::string(kJdk) + "/bin/jar tf " + path + " 2>&1");
    EXPECT_EQ(listing, "META-INF/\nMETA-INF/MANIFEST.MF\ndata/bin\xC3\xA4r.dat\n");
    if (!haveTool("unzip")) GTEST_SKIP() << "unzip not installed: archive not tested with unzip -t";
    std::string test = run("unzip -t " + path + " 2>&1");
    EXPECT_NE(test.find("No errors detected"), std::string::npos) << test;
}

TEST(ZipWriterTest, RefusesWhatDoesNotFitAndLeavesNoFile) {
    TempDir dir;
    std::string longName(70000, 'n');
    // 65535 members would read as the mark of a zip64 archive.
    std::vector<ZipMember> tooMany(65535, ZipMember{"a", "", 0});
    ZipMember unnamed[] = {{nullptr, "x", 1}};
    ZipMember noData[] = {{"a", nullptr, 3}};
    ZipMember tooLong[] = {{longName.c_str(), "", 0}};
    std::string archive;
    EXPECT_FALSE(zip_write_stored(&archive, unnamed, 1));
    EXPECT_FALSE(zip_write_stored(&archive, noData, 1));
    EXPECT_FALSE(zip_write_stored(&archive, tooLong, 1));
    EXPECT_FALSE(zip_write_stored(&archive, tooMany.data(), tooMany.size()));
    EXPECT_FALSE(zip_write_stored(&archive, nullptr, 1));
    EXPECT_FALSE(zip_write_stored(nullptr, tooMany.data(), 1));

    ASSERT_TRUE(zip_write_stored(&archive, tooMany.data(), tooMany.size() - 1));
    ZipReader most;
    ASSERT_TRUE(most.openMemory(bytes(archive), archive.size())) << most.error();
    EXPECT_EQ(most.entryCount(), 65534u);

    // The archive goes into the bootstrap folder through createBootFile: a
    // write that fails half-way, here at the file size limit, takes the
    // partial file away.
    ChildResult child = runInChild([&]() -> std::string {
        BootFolder folder;
        if (!adoptBootFolder(dir.path().c_str(), &folder)) return "no folder";
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {4096, 4096};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "no limit";
        std::string big(100000, 'b');
        ZipMember one[] = {{"big", big.data(), big.size()}};
        std::string limited;
        if (!zip_write_stored(&limited, one, 1)) return "not built";
        if (createBootFile(folder, "limited.zip", limited)) return "written";
        return std::filesystem::exists(dir.file("limited.zip")) ? "left behind" : "refused";
    });
    EXPECT_EQ(child.report, "refused") << child.err;
}
