#include <libdeflate.h>

#include "zip_builder.h"

std::string deflateRaw(const std::string& text) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    std::string out(libdeflate_deflate_compress_bound(compressor, text.size()), '\0');
    size_t size = libdeflate_deflate_compress(compressor, text.data(), text.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    out.resize(size);
    return out;
}
