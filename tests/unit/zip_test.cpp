#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "support/child.h"
#include "support/zip_builder.h"
#include "zip.h"

namespace {

constexpr char kRealJar[] = "/usr/lib/jvm/java-17-openjdk-amd64/lib/jrt-fs.jar";

const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string extract(const ZipReader& zip, std::string_view name) {
    size_t size = 0;
    char* data = static_cast<char*>(zip.extractToHeap(name, &size));
    if (data == nullptr) return "<failed>";
    std::string text(data, size);
    free(data);
    return text;
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

// Every entry of an opened archive, extracted; false at the first failure.
bool extractsAll(const ZipReader& zip) {
    for (size_t i = 0; i < zip.entryCount(); i++) {
        size_t size = 0;
        void* data = zip.extractToHeap(static_cast<int64_t>(i), &size);
        if (data == nullptr) return false;
        free(data);
    }
    return true;
}

const std::vector<BuiltEntry> kSample = {
    {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nPremain-Class: a.B\r\n\r\n", false},
    {"com/acme/Stored.class", std::string(300, 's'), false},
    {"com/acme/Deflated.class", std::string(4000, 'd') + "tail", true},
    {"empty.txt", "", false},
};

}  // namespace

TEST(ZipReaderTest, RealJarEntriesMatchWhatUnzipExtracts) {
    ZipReader zip;
    ASSERT_TRUE(zip.open(kRealJar)) << zip.error();
    ASSERT_GT(zip.entryCount(), 40u);
    EXPECT_TRUE(extractsAll(zip));
    for (size_t i = 0; i < zip.entryCount(); i += 7) {
        std::string name(zip.entryName(static_cast<int64_t>(i)));
        EXPECT_EQ(zip.locate(name), static_cast<int64_t>(i)) << name;
        if (name.back() == '/') continue;
        EXPECT_EQ(extract(zip, name), run(std::string("unzip -p ") + kRealJar + " '" + name + "'")) << name;
    }
}

TEST(ZipReaderTest, LookupsAreExactAndCaseSensitive) {
    ZipReader zip;
    ASSERT_TRUE(zip.open(kRealJar));
    EXPECT_GE(zip.locate("META-INF/MANIFEST.MF"), 0);
    EXPECT_EQ(zip.locate("meta-inf/manifest.mf"), -1);
    EXPECT_EQ(zip.locate("META-INF/MANIFEST.M"), -1);
    EXPECT_EQ(zip.locate("META-INF/MANIFEST.MF/"), -1);
    EXPECT_EQ(zip.locate(""), -1);
    EXPECT_EQ(zip.extractToHeap("no/such/Entry.class", nullptr), nullptr);
}

TEST(ZipReaderTest, StoredDeflatedAndEmptyEntries) {
    std::string archive = buildZip(kSample);
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size())) << zip.error();
    EXPECT_EQ(zip.entryCount(), 4u);
    for (const BuiltEntry& entry : kSample) EXPECT_EQ(extract(zip, entry.name), entry.content) << entry.name;

    ZipEntryStat info;
    ASSERT_TRUE(zip.stat(zip.locate("com/acme/Deflated.class"), &info));
    EXPECT_EQ(info.method, 8);
    EXPECT_EQ(info.uncompressedSize, 4004u);
    EXPECT_LT(info.compressedSize, 100u);
    EXPECT_FALSE(zip.stat(-1, &info));
    EXPECT_FALSE(zip.stat(4, &info));

    // Straight into a caller's buffer, as class bytes are.
    std::string buffer(4004, '\0');
    EXPECT_TRUE(zip.extractTo(zip.locate("com/acme/Deflated.class"), buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, kSample[2].content);
    EXPECT_FALSE(zip.extractTo(zip.locate("com/acme/Deflated.class"), buffer.data(), buffer.size() - 1));
}

TEST(ZipReaderTest, Zip64RecordsAndExtraFieldsAreRead) {
    std::string archive = buildZip(kSample, true);
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size())) << zip.error();
    EXPECT_EQ(zip.entryCount(), 4u);
    for (const BuiltEntry& entry : kSample) EXPECT_EQ(extract(zip, entry.name), entry.content) << entry.name;
}

TEST(ZipReaderTest, FirstOfDuplicateNamesWins) {
    std::string archive = buildZip({{"a.txt", "first"}, {"a.txt", "second"}});
    ZipReader zip;
    ASSERT_TRUE(zip.openMemory(bytes(archive), archive.size()));
    EXPECT_EQ(extract(zip, "a.txt"), "first");
}

TEST(ZipReaderTest, DamagedEntriesFailToExtract) {
    auto fails = [](BuiltEntry entry) {
        std::string archive = buildZip({entry});
        ZipReader zip;
        if (!zip.openMemory(bytes(archive), archive.size())) return true;
        size_t size;
        void* data = zip.extractToHeap(entry.name, &size);
        free(data);
        return data == nullptr;
    };
    EXPECT_FALSE(fails({"ok.txt", "fine", true}));
    EXPECT_TRUE(fails({"crc.txt", "content", false, 0x12345678}));
    EXPECT_TRUE(fails({"crc.txt", "content", true, 0x12345678}));
    EXPECT_TRUE(fails({"longer.txt", "content", true, -1, 100}));
    EXPECT_TRUE(fails({"shorter.txt", "content", true, -1, 3}));
    EXPECT_TRUE(fails({"stored.txt", "content", false, -1, 3}));
    EXPECT_TRUE(fails({"huge.txt", "content", true, -1, 0xFFFFFFF0}));
    EXPECT_TRUE(fails({"secret.txt", "content", false, -1, -1, 1}));
}

TEST(ZipReaderTest, GarbageAndEmptyInputFailToOpenWithAReason) {
    ZipReader zip;
    std::string text = "this is not a zip archive at all, just some text that is long enough";
    EXPECT_FALSE(zip.openMemory(bytes(text), text.size()));
    EXPECT_STREQ(zip.error(), "not a zip archive: no end of central directory record");
    EXPECT_FALSE(zip.isOpen());
    EXPECT_FALSE(zip.openMemory(bytes(text), 5));
    EXPECT_FALSE(zip.open("/nonexistent/file.jar"));
    EXPECT_NE(zip.error(), nullptr);
    EXPECT_EQ(zip.locate("anything"), -1);
}

TEST(ZipReaderTest, EveryTruncationFailsCleanly) {
    for (bool zip64 : {false, true}) {
        std::string archive = buildZip(kSample, zip64);
        for (size_t cut = 0; cut < archive.size(); cut++) {
            // An exact-sized copy lets AddressSanitizer see reads past the end.
            std::vector<uint8_t> copy(archive.begin(), archive.begin() + cut);
            ZipReader zip;
            if (zip.openMemory(copy.data(), copy.size())) {
                EXPECT_FALSE(extractsAll(zip)) << cut;
            }
        }
    }
}

TEST(ZipReaderTest, RandomDamageNeverReadsOutsideTheArchive) {
    std::mt19937 random(42);
    for (bool zip64 : {false, true}) {
        const std::string archive = buildZip(kSample, zip64);
        for (int round = 0; round < 3000; round++) {
            std::vector<uint8_t> copy(archive.begin(), archive.end());
            int flips = 1 + random() % 4;
            for (int i = 0; i < flips; i++) copy[random() % copy.size()] = static_cast<uint8_t>(random());
            ZipReader zip;
            if (zip.openMemory(copy.data(), copy.size())) extractsAll(zip);
        }
    }
}

TEST(ZipReaderTest, ConcurrentExtractionFromOneReader) {
    ZipReader zip;
    ASSERT_TRUE(zip.open(kRealJar));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; round++) {
                if (!extractsAll(zip)) failures++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(ZipWriterTest, StoredArchiveRoundTripsAndPassesTheStandardTools) {
    TempDir dir;
    std::string path = dir.file("cp.jar");
    std::string manifest = "Manifest-Version: 1.0\r\nClass-Path: a.jar b.jar\r\n\r\n";
    ZipMember members[] = {{"META-INF/", "", 0}, {"META-INF/MANIFEST.MF", manifest.data(), manifest.size()}};
    ASSERT_TRUE(zip_write_stored(path.c_str(), members, 2));

    ZipReader zip;
    ASSERT_TRUE(zip.open(path.c_str())) << zip.error();
    EXPECT_EQ(zip.entryCount(), 2u);
    EXPECT_EQ(extract(zip, "META-INF/MANIFEST.MF"), manifest);
    EXPECT_EQ(extract(zip, "META-INF/"), "");

    std::string test = run("unzip -t " + path + " 2>&1");
    EXPECT_NE(test.find("No errors detected"), std::string::npos) << test;
    std::string listing = run("/usr/lib/jvm/java-17-openjdk-amd64/bin/jar tf " + path + " 2>&1");
    EXPECT_EQ(listing, "META-INF/\nMETA-INF/MANIFEST.MF\n");
    EXPECT_FALSE(zip_write_stored(dir.file("missing/x.jar").c_str(), members, 2));
}
