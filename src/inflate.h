// The zip module's codec: raw deflate decoding and CRC-32. libdeflate serves
// the Linux and macOS builds, zlib the Windows ones.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes a raw deflate stream that must produce exactly outSize bytes.
// Safe to call from several threads at once.
bool inflateExactly(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

uint32_t crc32Of(const void* data, size_t size);
