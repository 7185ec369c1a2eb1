// libFuzzer target for the zip reader: open, look up, stat and extract
// whatever bytes the fuzzer makes up, and check what the reader promises
// about the answers; a broken promise aborts, which the fuzzer reports.
#include <libdeflate.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zip.h"

namespace {

// Extraction is capped so that one input of nested lying sizes cannot take
// the fuzzer's time or memory; the reader's own bound (1032 bytes per
// compressed byte) already keeps each entry near the input's size.
constexpr size_t kMaxEntries = 64;
constexpr uint64_t kMaxBytes = 32u << 20;

void require(bool promise) {
    if (!promise) abort();
}

void checkEntry(const ZipReader& zip, int64_t index, uint64_t* budget) {
    ZipEntryStat info;
    require(zip.stat(index, &info));
    // The first entry of a name is the one found.
    int64_t found = zip.locate(zip.entryName(index));
    require(found >= 0 && found <= index && zip.entryName(found) == zip.entryName(index));
    if (info.uncompressedSize > *budget) return;
    *budget -= info.uncompressedSize;

    size_t size = 0;
    auto* data = static_cast<uint8_t*>(zip.extractToHeap(index, &size));
    if (data == nullptr) return;
    require(size == info.uncompressedSize && data[size] == 0);
    require(libdeflate_crc32(0, data, size) == info.crc32);
    require(info.method == 0 || info.method == 8);
    if (size != 0) require(!zip.extractTo(index, data, size - 1));
    require(zip.extractTo(index, data, size + 1));
    free(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZipReader zip;
    if (!zip.openMemory(data, size)) {
        require(zip.error()[0] != '\0' && zip.entryCount() == 0 && zip.locate("a") == -1);
        return 0;
    }
    for (const char* name : {"META-INF/MANIFEST.MF", "tarsilbase-classes.txt", "java/lang/Object.class", ""}) {
        int64_t index = zip.locate(name);
        require(index == -1 || zip.entryName(index) == name);
    }
    require(!zip.stat(static_cast<int64_t>(zip.entryCount()), nullptr));
    uint64_t budget = kMaxBytes;
    size_t limit = zip.entryCount() < kMaxEntries ? zip.entryCount() : kMaxEntries;
    for (size_t i = 0; i < limit; i++) checkEntry(zip, static_cast<int64_t>(i), &budget);
    return 0;
}
