// The zip reader and the stored-entry writer. The reader trusts nothing it
// reads from the archive: every offset and size is checked against the
// mapping with overflow-safe arithmetic before it is used.
#include "zip.h"

#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

struct ZipReader::Entry {
    const char* name;
    uint32_t nameLength;
    uint32_t hash;
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    uint64_t localHeaderOffset;
    uint32_t crc32;
    uint16_t method;
    uint16_t flags;
};

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
// Deflate cannot expand data by more than about 1032 to 1.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kMaxHeapEntry = uint64_t{1} << 31;

uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t u32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t u64(const uint8_t* p) {
    return u32(p) | static_cast<uint64_t>(u32(p + 4)) << 32;
}

bool fits(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

uint32_t hashName(std::string_view name) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
    return hash;
}

// One decompressor per thread: libdeflate's are not shareable, and making
// one per extraction would cost an allocation per class.
libdeflate_decompressor* threadDecompressor() {
    struct Free {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    thread_local std::unique_ptr<libdeflate_decompressor, Free> decompressor(libdeflate_alloc_decompressor());
    return decompressor.get();
}

// Applies a ZIP64 extended-information field to the values saturated in the
// central directory entry.
bool readZip64Extra(const uint8_t* extra, size_t length, ZipReader::Entry& entry, bool wantUncompressed,
                    bool wantCompressed, bool wantOffset) {
    while (length >= 4) {
        uint16_t id = u16(extra);
        uint16_t size = u16(extra + 2);
        if (size > length - 4) return false;
        if (id == 0x0001) {
            const uint8_t* field = extra + 4;
            size_t left = size;
            auto take = [&](uint64_t& value) {
                if (left < 8) return false;
                value = u64(field);
                field += 8;
                left -= 8;
                return true;
            };
            if (wantUncompressed && !take(entry.uncompressedSize)) return false;
            if (wantCompressed && !take(entry.compressedSize)) return false;
            if (wantOffset && !take(entry.localHeaderOffset)) return false;
            return true;
        }
        extra += 4 + size;
        length -= 4 + size;
    }
    return !(wantUncompressed || wantCompressed || wantOffset);
}

}  // namespace

ZipReader::~ZipReader() {
    close();
}

bool ZipReader::fail(const char* why) {
    close();
    error_ = why;
    return false;
}

void ZipReader::close() {
    free(entries_);
    free(table_);
    entries_ = nullptr;
    table_ = nullptr;
    entryCount_ = 0;
    tableMask_ = 0;
    data_ = nullptr;
    size_ = 0;
    file_ = MappedFile();
}

bool ZipReader::open(const char* path) {
    close();
    MappedFile file(path);
    if (!file) {
        error_ = "cannot map the file";
        return false;
    }
    file_ = std::move(file);
    data_ = file_.data();
    size_ = file_.size();
    return index();
}

bool ZipReader::openMemory(const uint8_t* data, size_t size) {
    close();
    if (data == nullptr) return fail("no data");
    data_ = data;
    size_ = size;
    return index();
}

bool ZipReader::index() {
    error_ = nullptr;
    if (size_ < kEndSize) return fail("not a zip archive: too short");

    // The end record sits in the last 22 bytes plus at most 64 KiB of comment.
    size_t lowest = size_ > kEndSize + 0xFFFF ? size_ - kEndSize - 0xFFFF : 0;
    size_t end = size_ - kEndSize;
    while (u32(data_ + end) != kEndSignature) {
        if (end == lowest) return fail("not a zip archive: no end of central directory record");
        end--;
    }
    const uint8_t* record = data_ + end;
    uint64_t count = u16(record + 10);
    uint64_t directorySize = u32(record + 12);
    uint64_t directoryOffset = u32(record + 16);

    if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) {
        if (end < 20 || u32(data_ + end - 20) != kZip64LocatorSignature) {
            return fail("zip64 archive without its end record locator");
        }
        uint64_t zip64End = u64(data_ + end - 20 + 8);
        if (!fits(zip64End, 56, size_) || u32(data_ + zip64End) != kZip64EndSignature) {
            return fail("zip64 end of central directory record out of bounds");
        }
        count = u64(data_ + zip64End + 32);
        directorySize = u64(data_ + zip64End + 40);
        directoryOffset = u64(data_ + zip64End + 48);
    }
    if (!fits(directoryOffset, directorySize, size_)) return fail("central directory out of bounds");
    if (count > directorySize / kCentralSize) return fail("central directory too small for its entry count");

    entries_ = static_cast<Entry*>(calloc(count ? count : 1, sizeof(Entry)));
    size_t tableSize = 16;
    while (tableSize < 2 * count) tableSize *= 2;
    table_ = static_cast<uint32_t*>(calloc(tableSize, sizeof(uint32_t)));
    if (entries_ == nullptr || table_ == nullptr) return fail("out of memory indexing the central directory");
    tableMask_ = tableSize - 1;

    const uint8_t* p = data_ + directoryOffset;
    const uint8_t* limit = p + directorySize;
    for (uint64_t i = 0; i < count; i++) {
        if (static_cast<size_t>(limit - p) < kCentralSize || u32(p) != kCentralSignature) {
            return fail("corrupt central directory entry");
        }
        Entry& entry = entries_[i];
        entry.flags = u16(p + 8);
        entry.method = u16(p + 10);
        entry.crc32 = u32(p + 16);
        entry.compressedSize = u32(p + 20);
        entry.uncompressedSize = u32(p + 24);
        uint16_t nameLength = u16(p + 28);
        uint16_t extraLength = u16(p + 30);
        uint16_t commentLength = u16(p + 32);
        entry.localHeaderOffset = u32(p + 42);
        size_t recordLength = kCentralSize + nameLength + extraLength + commentLength;
        if (static_cast<size_t>(limit - p) < recordLength) return fail("central directory entry out of bounds");
        entry.name = reinterpret_cast<const char*>(p + kCentralSize);
        entry.nameLength = nameLength;
        bool zip64Uncompressed = entry.uncompressedSize == 0xFFFFFFFF;
        bool zip64Compressed = entry.compressedSize == 0xFFFFFFFF;
        bool zip64Offset = entry.localHeaderOffset == 0xFFFFFFFF;
        if (!readZip64Extra(p + kCentralSize + nameLength, extraLength, entry, zip64Uncompressed, zip64Compressed,
                            zip64Offset)) {
            return fail("corrupt zip64 extra field");
        }
        std::string_view name(entry.name, nameLength);
        entry.hash = hashName(name);
        // The first of several entries with one name wins.
        if (locate(name) < 0) {
            size_t slot = entry.hash & tableMask_;
            while (table_[slot] != 0) slot = (slot + 1) & tableMask_;
            table_[slot] = static_cast<uint32_t>(i + 1);
        }
        entryCount_ = i + 1;
        p += recordLength;
    }
    return true;
}

int64_t ZipReader::locate(std::string_view name) const {
    if (table_ == nullptr) return -1;
    uint32_t hash = hashName(name);
    for (size_t slot = hash & tableMask_;; slot = (slot + 1) & tableMask_) {
        uint32_t index = table_[slot];
        if (index == 0) return -1;
        const Entry& entry = entries_[index - 1];
        if (entry.hash == hash && std::string_view(entry.name, entry.nameLength) == name) return index - 1;
    }
}

std::string_view ZipReader::entryName(int64_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= entryCount_) return {};
    return std::string_view(entries_[index].name, entries_[index].nameLength);
}

bool ZipReader::stat(int64_t index, ZipEntryStat* out) const {
    if (index < 0 || static_cast<size_t>(index) >= entryCount_) return false;
    const Entry& entry = entries_[index];
    *out = {entry.uncompressedSize, entry.compressedSize, entry.crc32, entry.method};
    return true;
}

bool ZipReader::extractTo(int64_t index, void* buffer, size_t bufferSize) const {
    if (index < 0 || static_cast<size_t>(index) >= entryCount_) return false;
    const Entry& entry = entries_[index];
    if (entry.flags & 1) return false;  // encrypted
    if (entry.uncompressedSize > bufferSize) return false;
    if (!fits(entry.localHeaderOffset, kLocalSize, size_)) return false;
    const uint8_t* local = data_ + entry.localHeaderOffset;
    if (u32(local) != kLocalSignature) return false;
    uint64_t dataOffset = entry.localHeaderOffset + kLocalSize + u16(local + 26) + u16(local + 28);
    if (!fits(dataOffset, entry.compressedSize, size_)) return false;
    const uint8_t* compressed = data_ + dataOffset;
    size_t size = static_cast<size_t>(entry.uncompressedSize);

    if (entry.method == kStored) {
        if (entry.compressedSize != entry.uncompressedSize) return false;
        if (size != 0) memcpy(buffer, compressed, size);
    } else if (entry.method == kDeflated) {
        if (entry.uncompressedSize > entry.compressedSize * kMaxDeflateRatio + 64) return false;
        libdeflate_decompressor* decompressor = threadDecompressor();
        size_t produced = 0;
        if (decompressor == nullptr ||
            libdeflate_deflate_decompress(decompressor, compressed, static_cast<size_t>(entry.compressedSize),
                                          buffer, size, &produced) != LIBDEFLATE_SUCCESS ||
            produced != size) {
            return false;
        }
    } else {
        return false;
    }
    return libdeflate_crc32(0, buffer, size) == entry.crc32;
}

void* ZipReader::extractToHeap(int64_t index, size_t* size) const {
    ZipEntryStat info;
    if (!stat(index, &info) || info.uncompressedSize >= kMaxHeapEntry) return nullptr;
    size_t length = static_cast<size_t>(info.uncompressedSize);
    auto* buffer = static_cast<char*>(malloc(length + 1));
    if (buffer == nullptr) return nullptr;
    if (!extractTo(index, buffer, length)) {
        free(buffer);
        return nullptr;
    }
    buffer[length] = '\0';
    *size = length;
    return buffer;
}

void* ZipReader::extractToHeap(std::string_view name, size_t* size) const {
    return extractToHeap(locate(name), size);
}

namespace {

void put16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void put32(std::string& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}

// 1980-01-01 00:00, so the same entries always give the same bytes.
constexpr uint16_t kDosTime = 0;
constexpr uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;

void putCommonHeader(std::string& out, const ZipMember& member, uint32_t crc) {
    put16(out, 10);  // version needed: 1.0
    put16(out, 0);   // flags
    put16(out, kStored);
    put16(out, kDosTime);
    put16(out, kDosDate);
    put32(out, crc);
    put32(out, static_cast<uint32_t>(member.size));
    put32(out, static_cast<uint32_t>(member.size));
    put16(out, static_cast<uint16_t>(strlen(member.name)));
    put16(out, 0);  // extra length
}

}  // namespace

bool zip_write_stored(const char* path, const ZipMember* members, size_t count) {
    std::string archive;
    std::string directory;
    for (size_t i = 0; i < count; i++) {
        const ZipMember& member = members[i];
        size_t nameLength = strlen(member.name);
        if (member.size > 0xFFFFFFFE || nameLength > 0xFFFF || archive.size() > 0xFFFFFFFE || count > 0xFFFE) {
            return false;
        }
        uint32_t crc = static_cast<uint32_t>(libdeflate_crc32(0, member.data, member.size));
        uint32_t offset = static_cast<uint32_t>(archive.size());

        put32(archive, kLocalSignature);
        putCommonHeader(archive, member, crc);
        archive.append(member.name, nameLength);
        archive.append(static_cast<const char*>(member.data), member.size);

        put32(directory, kCentralSignature);
        put16(directory, 20);  // made by
        putCommonHeader(directory, member, crc);
        put16(directory, 0);  // comment length
        put16(directory, 0);  // disk number
        put16(directory, 0);  // internal attributes
        put32(directory, 0);  // external attributes
        put32(directory, offset);
        directory.append(member.name, nameLength);
    }
    uint32_t directoryOffset = static_cast<uint32_t>(archive.size());
    archive += directory;
    put32(archive, kEndSignature);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, static_cast<uint16_t>(count));
    put16(archive, static_cast<uint16_t>(count));
    put32(archive, static_cast<uint32_t>(directory.size()));
    put32(archive, directoryOffset);
    put16(archive, 0);

    FILE* file = fopen(path, "wb");
    if (file == nullptr) return false;
    bool written = fwrite(archive.data(), 1, archive.size(), file) == archive.size();
    return fclose(file) == 0 && written;
}
