// The zip codec over libdeflate.
#include "inflate.h"

#include <libdeflate.h>

#include <memory>

namespace {

struct DecompressorFree {
    void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

// libdeflate's decompressors cannot be shared between threads, and one per
// extraction would cost an 11 KiB allocation (0.3 us, against some 10 us to
// inflate a class); so each thread keeps one, freed when the thread ends. The
// library is never unloaded, so the destructor's code outlives every thread.
libdeflate_decompressor* threadDecompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor;
    if (!decompressor) decompressor.reset(libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

bool inflateExactly(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    libdeflate_decompressor* decompressor = threadDecompressor();
    // Without an out-parameter for the produced size, libdeflate fails
    // unless the stream fills the buffer exactly.
    return decompressor != nullptr &&
           libdeflate_deflate_decompress(decompressor, in, inSize, out, outSize, nullptr) == LIBDEFLATE_SUCCESS;
}

uint32_t crc32Of(const void* data, size_t size) {
    return static_cast<uint32_t>(libdeflate_crc32(0, data, size));
}
