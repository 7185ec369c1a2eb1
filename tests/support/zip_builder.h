// Builds zip archives byte by byte for the reader's tests and fuzzing seeds,
// with every field open to tampering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct BuiltEntry {
    std::string name;
    std::string content;
    bool deflate = false;
    // Overrides, applied as written into the archive.
    int64_t crc = -1;
    int64_t uncompressedSize = -1;
    uint16_t flags = 0;
};

// Writes local headers, data, the central directory and the end record.
// With zip64, the classic fields are saturated and the real values travel in
// zip64 extra fields and the zip64 end record.
std::string buildZip(const std::vector<BuiltEntry>& entries, bool zip64 = false);

// Raw deflate of `text` at level 6 (with the build's codec library).
std::string deflateRaw(const std::string& text);

// CRC-32 as zip records it, computed independently of the library.
uint32_t referenceCrc32(std::string_view bytes);
