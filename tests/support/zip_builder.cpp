#include "zip_builder.h"

namespace {

void put16(std::string& out, uint64_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, uint64_t v) {
    put16(out, v & 0xFFFF);
    put16(out, (v >> 16) & 0xFFFF);
}
void put64(std::string& out, uint64_t v) {
    put32(out, v & 0xFFFFFFFF);
    put32(out, v >> 32);
}

}  // namespace

uint32_t referenceCrc32(std::string_view bytes) {
    // Bit by bit over the reflected polynomial: slow, but shares nothing with
    // the codecs under test.
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::string buildZip(const std::vector<BuiltEntry>& entries, bool zip64) {
    std::string archive;
    std::string directory;
    for (const BuiltEntry& entry : entries) {
        std::string data = entry.deflate ? deflateRaw(entry.content) : entry.content;
        uint64_t crc = entry.crc >= 0 ? entry.crc : referenceCrc32(entry.content);
        uint64_t size = entry.uncompressedSize >= 0 ? entry.uncompressedSize : entry.content.size();
        uint64_t offset = archive.size();
        auto header = [&](std::string& out, bool central) {
            put16(out, zip64 ? 45 : 20);
            put16(out, entry.flags);
            put16(out, entry.deflate ? 8 : 0);
            put16(out, 0);
            put16(out, 0x21);
            put32(out, crc);
            put32(out, zip64 && central ? 0xFFFFFFFF : data.size());
            put32(out, zip64 && central ? 0xFFFFFFFF : size);
            put16(out, entry.name.size());
            put16(out, zip64 && central ? 28 : 0);
        };
        put32(archive, 0x04034b50);
        header(archive, false);
        archive += entry.name;
        archive += data;

        put32(directory, 0x02014b50);
        put16(directory, 20);
        header(directory, true);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, zip64 ? 0xFFFFFFFF : offset);
        directory += entry.name;
        if (zip64) {
            put16(directory, 0x0001);
            put16(directory, 24);
            put64(directory, size);
            put64(directory, data.size());
            put64(directory, offset);
        }
    }
    uint64_t directoryOffset = archive.size();
    archive += directory;
    if (zip64) {
        uint64_t zip64End = archive.size();
        put32(archive, 0x06064b50);
        put64(archive, 44);
        put16(archive, 45);
        put16(archive, 45);
        put32(archive, 0);
        put32(archive, 0);
        put64(archive, entries.size());
        put64(archive, entries.size());
        put64(archive, directory.size());
        put64(archive, directoryOffset);
        put32(archive, 0x07064b50);
        put32(archive, 0);
        put64(archive, zip64End);
        put32(archive, 1);
    }
    put32(archive, 0x06054b50);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, zip64 ? 0xFFFF : entries.size());
    put16(archive, zip64 ? 0xFFFF : entries.size());
    put32(archive, zip64 ? 0xFFFFFFFF : directory.size());
    put32(archive, zip64 ? 0xFFFFFFFF : directoryOffset);
    put16(archive, 0);
    return archive;
}
