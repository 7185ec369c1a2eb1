// Figures for the zip reader on a large archive: opening and indexing,
// lookups that hit and miss, and extraction of stored and deflated entries.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zip.h"

namespace {

// The classes of java.base, as a deflated jar and as a stored one (made by
// the build's `bench` target).
const char* archivePath(const char* variable = "TARSIL_BENCH_JAR") {
    const char* path = getenv(variable);
    return path != nullptr ? path : "java-base.jar";
}

struct Archive {
    ZipReader zip;
    std::vector<std::string> names;
    std::vector<int64_t> deflated;
    std::vector<int64_t> stored;
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
        }
    }
};

Archive& archive() {
    static Archive instance(archivePath());
    return instance;
}

Archive& storedArchive() {
    static Archive instance(archivePath("TARSIL_BENCH_STORED_JAR"));
    return instance;
}

void BM_OpenAndIndex(benchmark::State& state) {
    for (auto _ : state) {
        ZipReader zip;
        benchmark::DoNotOptimize(zip.open(archivePath()));
    }
    state.counters["entries"] = static_cast<double>(archive().names.size());
}

void BM_LookupHit(benchmark::State& state) {
    Archive& a = archive();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.zip.locate(a.names[i]));
        i = (i + 7919) % a.names.size();
    }
}

void BM_LookupMiss(benchmark::State& state) {
    Archive& a = archive();
    std::vector<std::string> misses;
    for (size_t i = 0; i < 1024 && i < a.names.size(); i++) misses.push_back(a.names[i] + "x");
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.zip.locate(misses[i]));
        i = (i + 1) % misses.size();
    }
}

void BM_Stat(benchmark::State& state) {
    Archive& a = archive();
    size_t i = 0;
    ZipEntryStat info;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a.zip.stat(static_cast<int64_t>(i), &info));
        i = (i + 1) % a.names.size();
    }
}

void extractEach(benchmark::State& state, Archive& a, const std::vector<int64_t>& entries) {
    if (entries.empty()) {
        state.SkipWithError("no such entries in the archive");
        return;
    }
    std::vector<char> buffer(64 << 20);
    size_t i = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        ZipEntryStat info;
        a.zip.stat(entries[i], &info);
        if (info.uncompressedSize <= buffer.size()) {
            benchmark::DoNotOptimize(a.zip.extractTo(entries[i], buffer.data(), buffer.size()));
            bytes += static_cast<int64_t>(info.uncompressedSize);
        }
        i = (i + 1) % entries.size();
    }
    state.SetBytesProcessed(bytes);
}

void BM_ExtractDeflated(benchmark::State& state) {
    extractEach(state, archive(), archive().deflated);
}

void BM_ExtractStored(benchmark::State& state) {
    extractEach(state, storedArchive(), storedArchive().stored);
}

}  // namespace

BENCHMARK(BM_OpenAndIndex)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupHit);
BENCHMARK(BM_LookupMiss);
BENCHMARK(BM_Stat);
BENCHMARK(BM_ExtractDeflated)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExtractStored)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
