// Figures for the zip reader on a large archive: opening and indexing,
// lookups that hit and miss, stat, and extraction of stored and deflated
// entries; and the cost of a decompressor per call, which is why each thread
// keeps one.
#include <benchmark/benchmark.h>
#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zip.h"

namespace {

// The classes of java.base, as a deflated jar and as a stored one (made by
// the build's `bench` target, which passes their paths).
const char* archivePath(const char* variable) {
    const char* path = getenv(variable);
    if (path == nullptr) {
        fprintf(stderr, "%s is not set: run the benchmark through the build's bench target\n", variable);
        exit(1);
    }
    return path;
}

const char* deflatedPath() {
    return archivePath("TARSIL_BENCH_JAR");
}

const char* storedPath() {
    return archivePath("TARSIL_BENCH_STORED_JAR");
}

struct Archive {
    ZipReader zip;
    std::vector<std::string> names;
    std::vector<int64_t> deflated;
    std::vector<int64_t> stored;
    size_t largest = 0;

    explicit Archive(const char* path) {
        if (!zip.open(path)) {
            fprintf(stderr, "cannot open %s: %s\n", path, zip.error());
            exit(1);
        }
        for (size_t i = 0; i < zip.entryCount(); i++) {
            auto index = static_cast<int64_t>(i);
            names.emplace_back(zip.entryName(index));
            ZipEntryStat info;
            zip.stat(index, &info);
            if (info.uncompressedSize == 0) continue;
            (info.method == 8 ? deflated : stored).push_back(index);
            if (info.uncompressedSize > largest) largest = static_cast<size_t>(info.uncompressedSize);
        }
    }
};

Archive& deflatedArchive() {
    static Archive instance(deflatedPath());
    return instance;
}

Archive& storedArchive() {
    static Archive instance(storedPath());
    return instance;
}

void BM_OpenAndIndex(benchmark::State& state) {
    const char* path = deflatedPath();
    for (auto _ : state) {
        ZipReader zip;
        benchmark::DoNotOptimize(zip.open(path));
    }
    state.counters["entries"] = static_cast<double>(deflatedArchive().names.size());
}

// A stride through the names, so that consecutive lookups do not share
// cache lines.
void BM_LookupHit(benchmark::State& state) {
    Archive& a = deflatedArchive();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.zip.locate(a.names[i]));
        i = (i + 7919) % a.names.size();
    }
}

void BM_LookupMiss(benchmark::State& state) {
    Archive& a = deflatedArchive();
    std::vector<std::string> misses;
    for (size_t i = 0; i < a.names.size(); i += 7) misses.push_back(a.names[i] + "x");
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.zip.locate(misses[i]));
        i = (i + 1) % misses.size();
    }
}

void BM_Stat(benchmark::State& state) {
    Archive& a = deflatedArchive();
    size_t i = 0;
    ZipEntryStat info;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.zip.stat(static_cast<int64_t>(i), &info));
        i = (i + 1) % a.names.size();
    }
}

// One entry per iteration, going round all entries of the kind.
void extractEach(benchmark::State& state, Archive& a, const std::vector<int64_t>& entries) {
    if (entries.empty()) {
        state.SkipWithError("no such entries in the archive");
        return;
    }
    std::vector<char> buffer(a.largest);
    size_t i = static_cast<size_t>(state.thread_index()) * 101;
    int64_t bytes = 0;
    for (auto _ : state) {
        int64_t index = entries[i % entries.size()];
        if (!a.zip.extractTo(index, buffer.data(), buffer.size())) {
            state.SkipWithError("extraction failed");
            return;
        }
        ZipEntryStat info;
        a.zip.stat(index, &info);
        bytes += static_cast<int64_t>(info.uncompressedSize);
        i++;
    }
    state.SetBytesProcessed(bytes);
}

void BM_ExtractDeflated(benchmark::State& state) {
    extractEach(state, deflatedArchive(), deflatedArchive().deflated);
}

void BM_ExtractStored(benchmark::State& state) {
    extractEach(state, storedArchive(), storedArchive().stored);
}

void BM_ExtractDeflatedToHeap(benchmark::State& state) {
    Archive& a = deflatedArchive();
    size_t i = 0;
    for (auto _ : state) {
        size_t size = 0;
        void* data = a.zip.extractToHeap(a.deflated[i], &size);
        benchmark::DoNotOptimize(data);
        free(data);
        i = (i + 1) % a.deflated.size();
    }
}

// What a decompressor per extraction would add to each one.
void BM_DecompressorAllocation(benchmark::State& state) {
    for (auto _ : state) {
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        benchmark::DoNotOptimize(decompressor);
        libdeflate_free_decompressor(decompressor);
    }
}

}  // namespace

BENCHMARK(BM_OpenAndIndex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupHit);
BENCHMARK(BM_LookupMiss);
BENCHMARK(BM_Stat);
BENCHMARK(BM_ExtractDeflated)->Threads(1)->Threads(2);
BENCHMARK(BM_ExtractStored);
BENCHMARK(BM_ExtractDeflatedToHeap);
BENCHMARK(BM_DecompressorAllocation);

BENCHMARK_MAIN();
