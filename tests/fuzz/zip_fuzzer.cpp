// libFuzzer target for the zip reader: open, look up, stat and extract
// whatever bytes the fuzzer makes up.
#include <cstdint>
#include <cstdlib>

#include "zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZipReader zip;
    if (!zip.openMemory(data, size)) return 0;
    for (const char* name : {"META-INF/MANIFEST.MF", "tarsilbase-classes.txt", "java/lang/Object.class"}) {
        zip.locate(name);
    }
    size_t limit = zip.entryCount() < 64 ? zip.entryCount() : 64;
    for (size_t i = 0; i < limit; i++) {
        auto index = static_cast<int64_t>(i);
        ZipEntryStat info;
        if (!zip.stat(index, &info) || info.uncompressedSize > (64u << 20)) continue;
        zip.locate(zip.entryName(index));
        size_t extracted = 0;
        free(zip.extractToHeap(index, &extracted));
    }
    return 0;
}
