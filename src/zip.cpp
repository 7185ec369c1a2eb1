// The zip reader and the stored-entry writer. The reader trusts nothing it
// reads from the archive: every offset and size is checked against the
// mapping with overflow-safe arithmetic before it is used, and a size is
// checked against the bytes that could produce it before memory is taken
// for it. It depends on nothing but RegularFile, MappedFile, readWholeHandle
// and the codec.
#include "zip.h"

#include "inflate.h"
#include "readfile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

struct ZipReader::Entry {
    const char* name;
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    uint64_t localHeaderOffset;  // as recorded: without the prefix
    uint32_t crc32;
    uint16_t nameLength;
    uint16_t method;
    uint16_t flags;
};

// The hash sits in the table so that a probe compares names only on a hash
// match, without touching the entry array.
struct ZipReader::Slot {
    uint32_t hash;
    uint32_t entry;  // index + 1; 0 marks an empty slot
};

struct ZipReader::Directory {
    uint64_t offset;  // from the start of the mapping
    uint64_t size;
    uint64_t recordedCount;
};

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kMaxComment = 0xFFFF;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint32_t kSaturated32 = 0xFFFFFFFF;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr uint16_t kEncryptedFlag = 1 << 0;
constexpr uint16_t kUtf8NameFlag = 1 << 11;
// Every deflate match costs at least two bits (length and distance codes)
// for at most 258 bytes, so a stream cannot expand by more than 1032 to 1.
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

// Whether [offset, offset + length) lies within [0, size), without overflow.
bool fits(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

uint64_t mix(uint64_t x) {
    x *= 0xBF58476D1CE4E5B9u;
    return x ^ (x >> 31);
}

// The end record is the last thing in the archive but for a comment of at
// most 64 KiB. A comment may itself hold the signature and some tools pad
// archives, so a candidate counts only if its comment runs to the end of the
// file or the central directory it describes ends right before it.
const uint8_t* findEndRecord(const uint8_t* data, size_t size) {
    size_t lowest = size > kEndSize + kMaxComment ? size - kEndSize - kMaxComment : 0;
    for (size_t at = size - kEndSize + 1; at-- > lowest;) {
        const uint8_t* record = data + at;
        if (u32(record) != kEndSignature) continue;
        if (at + kEndSize + u16(record + 20) == size) return record;
        uint32_t directorySize = u32(record + 12);
        if (directorySize != 0 && directorySize <= at && u32(record - directorySize) == kCentralSignature) {
            return record;
        }
    }
    return nullptr;
}

// The zip64 extended information field carries, in this order, the values
// whose central directory fields are saturated, and only those.
bool applyZip64Extra(const uint8_t* extra, size_t length, uint64_t* uncompressed, uint64_t* compressed,
                     uint64_t* offset) {
    uint64_t* fields[] = {uncompressed, compressed, offset};
    if (*uncompressed != kSaturated32 && *compressed != kSaturated32 && *offset != kSaturated32) return true;
    while (length >= 4) {
        uint16_t id = u16(extra);
        uint16_t size = u16(extra + 2);
        if (size > length - 4) return false;
        if (id == kZip64ExtraId) {
            const uint8_t* value = extra + 4;
            size_t left = size;
            for (uint64_t* field : fields) {
                if (*field != kSaturated32) continue;
                if (left < 8) return false;
                *field = u64(value);
                value += 8;
                left -= 8;
            }
            return true;
        }
        extra += 4 + size;
        length -= 4 + size;
    }
    return false;
}

}  // namespace

// Eight bytes at a time: lookups sit on the class-loading path, and class
// names run to tens of bytes.
uint32_t zipNameHash(std::string_view name) {
    const char* p = name.data();
    size_t left = name.size();
    uint64_t hash = 0x9E3779B97F4A7C15u ^ left;
    for (; left >= 8; p += 8, left -= 8) {
        uint64_t word;
        memcpy(&word, p, 8);
        hash = mix(hash ^ word);
    }
    uint64_t tail = 0;
    if (left != 0) memcpy(&tail, p, left);
    hash = mix(mix(hash ^ tail));
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

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
    prefix_ = 0;
    file_ = MappedFile();
    free(copy_);
    copy_ = nullptr;
}

bool ZipReader::open(const char* path) {
    close();
    RegularFile file(path);
    if (!file) return fail(file.problem());
    return openHandle(file.handle());
}

bool ZipReader::openHandle(intptr_t handle) {
    close();
    MappedFile file = MappedFile::ofHandle(handle);
    if (!file) return fail("cannot map the file: unreadable or empty");
    file_ = std::move(file);
    data_ = file_.data();
    size_ = file_.size();
    return index();
}

bool ZipReader::openCopyOfHandle(intptr_t handle) {
    close();
    size_t size = 0;
    copy_ = readWholeHandle(handle, &size);
    if (copy_ == nullptr) return fail("cannot read the file: unreadable, empty or not a regular file");
    data_ = copy_;
    size_ = size;
    return index();
}

bool ZipReader::openCopy(const char* path) {
    close();
    RegularFile file(path);
    if (!file) return fail(file.problem());
    return openCopyOfHandle(file.handle());
}

bool ZipReader::openMemory(const uint8_t* data, size_t size) {
    close();
    if (data == nullptr) return fail("not a zip archive: too short");
    data_ = data;
    size_ = size;
    return index();
}

bool ZipReader::index() {
    Directory directory;
    size_t count = 0;
    if (!readDirectory(&directory) || !countEntries(directory, &count) || !indexEntries(directory, count)) {
        return false;
    }
    error_ = "";
    return true;
}

// Finds the central directory through the end record, or the zip64 one, and
// the prefix: as the JDK does, the directory is taken to end where the end
// record starts, and any difference from the recorded offset is bytes
// prepended to the archive.
bool ZipReader::readDirectory(Directory* directory) {
    if (size_ < kEndSize) return fail("not a zip archive: too short");
    const uint8_t* end = findEndRecord(data_, size_);
    if (end == nullptr) return fail("not a zip archive: no end of central directory record");
    uint64_t directoryEnd = static_cast<uint64_t>(end - data_);
    directory->recordedCount = u16(end + 10);
    directory->size = u32(end + 12);
    directory->offset = u32(end + 16);

    if (directoryEnd >= kZip64LocatorSize && u32(end - kZip64LocatorSize) == kZip64LocatorSignature) {
        if (!findZip64End(directoryEnd - kZip64LocatorSize, &directoryEnd)) return false;
        const uint8_t* zip64End = data_ + directoryEnd;
        directory->recordedCount = u64(zip64End + 32);
        directory->size = u64(zip64End + 40);
        directory->offset = u64(zip64End + 48);
    }
    if (directory->size > directoryEnd || directory->offset > directoryEnd - directory->size) {
        return fail("central directory out of bounds");
    }
    prefix_ = directoryEnd - directory->size - directory->offset;
    directory->offset += prefix_;
    return true;
}

// An archive behind a prefix records the zip64 end record's offset from its
// own start, so the record is also looked for right before the locator.
bool ZipReader::findZip64End(uint64_t locator, uint64_t* record) {
    uint64_t candidates[] = {u64(data_ + locator + 8), locator >= kZip64EndSize ? locator - kZip64EndSize : locator};
    for (uint64_t at : candidates) {
        if (fits(at, kZip64EndSize, locator) && u32(data_ + at) == kZip64EndSignature) {
            *record = at;
            return true;
        }
    }
    return fail("corrupt zip64 end of central directory record");
}

// Every record of the directory is an entry. The recorded count is only a
// check: writers that predate zip64 let it wrap past 65535, which the JDK
// accepts, so only a directory with fewer entries than recorded is refused.
bool ZipReader::countEntries(const Directory& directory, size_t* count) {
    const uint8_t* p = data_ + directory.offset;
    uint64_t left = directory.size;
    size_t n = 0;
    while (left >= kCentralSize) {
        if (u32(p) != kCentralSignature) return fail("corrupt central directory entry");
        size_t length = kCentralSize + u16(p + 28) + u16(p + 30) + u16(p + 32);
        if (length > left) return fail("central directory entry runs past the directory");
        p += length;
        left -= length;
        n++;
    }
    if (n < directory.recordedCount) return fail("central directory holds fewer entries than recorded");
    if (n >= UINT32_MAX / 2) return fail("too many entries in the central directory");
    *count = n;
    return true;
}

bool ZipReader::indexEntries(const Directory& directory, size_t count) {
    size_t tableSize = 2;
    while (tableSize < 2 * count) tableSize *= 2;
    entries_ = static_cast<Entry*>(calloc(count != 0 ? count : 1, sizeof(Entry)));
    table_ = static_cast<Slot*>(calloc(tableSize, sizeof(Slot)));
    if (entries_ == nullptr || table_ == nullptr) return fail("out of memory indexing the central directory");
    tableMask_ = tableSize - 1;

    const uint8_t* p = data_ + directory.offset;
    for (size_t i = 0; i < count; i++) {
        Entry& entry = entries_[i];
        entry.flags = u16(p + 8);
        entry.method = u16(p + 10);
        entry.crc32 = u32(p + 16);
        entry.compressedSize = u32(p + 20);
        entry.uncompressedSize = u32(p + 24);
        entry.nameLength = u16(p + 28);
        uint16_t extraLength = u16(p + 30);
        entry.localHeaderOffset = u32(p + 42);
        entry.name = reinterpret_cast<const char*>(p + kCentralSize);
        if (!applyZip64Extra(p + kCentralSize + entry.nameLength, extraLength, &entry.uncompressedSize,
                             &entry.compressedSize, &entry.localHeaderOffset)) {
            return fail("corrupt zip64 extra field");
        }
        // The first of several entries with one name wins, as in the JDK.
        std::string_view name(entry.name, entry.nameLength);
        uint32_t hash = zipNameHash(name);
        Slot& slot = table_[probe(name, hash)];
        if (slot.entry == 0) slot = {hash, static_cast<uint32_t>(i + 1)};
        p += kCentralSize + entry.nameLength + extraLength + u16(p + 32);
    }
    entryCount_ = count;
    return true;
}

// The slot holding this name, or the empty slot where it would go. The table
// is never more than half full, so the probe ends.
size_t ZipReader::probe(std::string_view name, uint32_t hash) const {
    for (size_t slot = hash & tableMask_;; slot = (slot + 1) & tableMask_) {
        const Slot& candidate = table_[slot];
        if (candidate.entry == 0) return slot;
        if (candidate.hash == hash) {
            const Entry& entry = entries_[candidate.entry - 1];
            if (std::string_view(entry.name, entry.nameLength) == name) return slot;
        }
    }
}

int64_t ZipReader::locate(std::string_view name) const {
    if (table_ == nullptr) return -1;
    return static_cast<int64_t>(table_[probe(name, zipNameHash(name))].entry) - 1;
}

const ZipReader::Entry* ZipReader::entry(int64_t index) const {
    if (index < 0 || static_cast<uint64_t>(index) >= entryCount_) return nullptr;
    return &entries_[index];
}

std::string_view ZipReader::entryName(int64_t index) const {
    const Entry* found = entry(index);
    return found != nullptr ? std::string_view(found->name, found->nameLength) : std::string_view();
}

bool ZipReader::stat(int64_t index, ZipEntryStat* out) const {
    const Entry* found = entry(index);
    if (found == nullptr) return false;
    *out = {found->uncompressedSize, found->compressedSize, found->crc32, found->method};
    return true;
}

// The entry's compressed bytes, once everything about them has been checked
// that can be without decoding them; NULL when the entry cannot be
// extracted. The local header's name and extra lengths may differ from the
// central directory's, so the data starts where the local header says.
const uint8_t* ZipReader::entryData(const Entry& entry) const {
    if ((entry.flags & kEncryptedFlag) != 0) return nullptr;
    if (entry.localHeaderOffset > size_ - prefix_) return nullptr;
    uint64_t local = prefix_ + entry.localHeaderOffset;
    if (!fits(local, kLocalSize, size_) || u32(data_ + local) != kLocalSignature) return nullptr;
    uint64_t start = local + kLocalSize + u16(data_ + local + 26) + u16(data_ + local + 28);
    if (!fits(start, entry.compressedSize, size_)) return nullptr;
    switch (entry.method) {
        case kStored:
            if (entry.uncompressedSize != entry.compressedSize) return nullptr;
            break;
        case kDeflated:
            if (entry.uncompressedSize / kMaxDeflateRatio > entry.compressedSize) return nullptr;
            break;
        default:
            return nullptr;
    }
    return data_ + start;
}

// Decodes exactly the uncompressed size into the buffer and checks the CRC.
bool ZipReader::decode(const Entry& entry, const uint8_t* data, void* buffer) const {
    auto size = static_cast<size_t>(entry.uncompressedSize);
    // An empty entry may come with no buffer, yet its stream is still checked.
    uint8_t none;
    void* out = size != 0 ? buffer : &none;
    if (entry.method == kStored) {
        if (size != 0) memcpy(out, data, size);
    } else {
        if (!inflateExactly(data, static_cast<size_t>(entry.compressedSize), static_cast<uint8_t*>(out), size)) {
            return false;
        }
    }
    return crc32Of(out, size) == entry.crc32;
}

bool ZipReader::extractTo(int64_t index, void* buffer, size_t bufferSize) const {
    const Entry* found = entry(index);
    if (found == nullptr || found->uncompressedSize > bufferSize) return false;
    const uint8_t* data = entryData(*found);
    return data != nullptr && decode(*found, data, buffer);
}

void* ZipReader::extractToHeap(int64_t index, size_t* size) const {
    const Entry* found = entry(index);
    if (found == nullptr || found->uncompressedSize > kMaxHeapEntry) return nullptr;
    // Checked before allocating, so that a lying size takes no memory.
    const uint8_t* data = entryData(*found);
    if (data == nullptr) return nullptr;
    auto length = static_cast<size_t>(found->uncompressedSize);
    auto* buffer = static_cast<char*>(malloc(length + 1));
    if (buffer == nullptr) return nullptr;
    if (!decode(*found, data, buffer)) {
        free(buffer);
        return nullptr;
    }
    buffer[length] = '\0';
    if (size != nullptr) *size = length;
    return buffer;
}

void* ZipReader::extractToHeap(std::string_view name, size_t* size) const {
    return extractToHeap(locate(name), size);
}

namespace {

// 1980-01-01 00:00, the earliest DOS date, so that the same members always
// give the same bytes.
constexpr uint16_t kDosTime = 0;
constexpr uint16_t kDosDate = (0 << 9) | (1 << 5) | 1;
constexpr uint16_t kVersionFile = 10;    // 1.0: stored files
constexpr uint16_t kVersionFolder = 20;  // 2.0: folders
constexpr uint16_t kMadeBy = 20;         // MS-DOS attributes, 2.0
constexpr uint32_t kDosFolderAttribute = 0x10;
// 0xFFFF would tell readers to look for a zip64 record.
constexpr size_t kMaxClassicCount = 0xFFFE;

// A record's little-endian fields, assembled before one write.
class Record {
public:
    Record& u16(uint16_t v) {
        bytes_[length_++] = static_cast<uint8_t>(v);
        bytes_[length_++] = static_cast<uint8_t>(v >> 8);
        return *this;
    }
    Record& u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
    const uint8_t* data() const { return bytes_; }
    size_t size() const { return length_; }

private:
    uint8_t bytes_[kCentralSize];
    size_t length_ = 0;
};

// The archive being written, in memory: the caller writes it where it
// belongs, through whatever handle it trusts.
class Output {
public:
    explicit Output(std::string* bytes) : bytes_(bytes) { bytes_->clear(); }
    void write(const void* data, size_t size) {
        if (size != 0) bytes_->append(static_cast<const char*>(data), size);
    }
    void write(const Record& record) { write(record.data(), record.size()); }

private:
    std::string* bytes_;
};

struct Written {
    uint32_t crc;
    uint32_t offset;
};

struct WrittenFree {
    void operator()(Written* written) const { free(written); }
};

bool isFolder(std::string_view name) {
    return !name.empty() && name.back() == '/';
}

bool isAscii(std::string_view name) {
    for (unsigned char c : name) {
        if (c >= 0x80) return false;
    }
    return true;
}

// The fields local and central headers share, from "version needed" on.
Record& commonFields(Record& record, std::string_view name, uint32_t size, uint32_t crc) {
    return record.u16(isFolder(name) ? kVersionFolder : kVersionFile)
        .u16(isAscii(name) ? 0 : kUtf8NameFlag)
        .u16(kStored)
        .u16(kDosTime)
        .u16(kDosDate)
        .u32(crc)
        .u32(size)
        .u32(size)
        .u16(static_cast<uint16_t>(name.size()))
        .u16(0);  // extra field length
}

// Whether the members fit a plain (not zip64) archive: every size, offset and
// count below its field's limit.
bool fitsPlainArchive(const ZipMember* members, size_t count) {
    if (count > kMaxClassicCount || (count != 0 && members == nullptr)) return false;
    uint64_t total = kEndSize;
    for (size_t i = 0; i < count; i++) {
        const ZipMember& member = members[i];
        if (member.name == nullptr || (member.data == nullptr && member.size != 0)) return false;
        size_t nameLength = strlen(member.name);
        if (nameLength > 0xFFFF || member.size >= kSaturated32) return false;
        total += kLocalSize + kCentralSize + 2 * nameLength + member.size;
        if (total >= kSaturated32) return false;
    }
    return true;
}

}  // namespace

bool zip_write_stored(std::string* archive, const ZipMember* members, size_t count) {
    if (archive == nullptr || !fitsPlainArchive(members, count)) return false;
    std::unique_ptr<Written[], WrittenFree> written(static_cast<Written*>(calloc(count + 1, sizeof(Written))));
    if (!written) return false;
    Output out(archive);

    uint32_t offset = 0;
    for (size_t i = 0; i < count; i++) {
        const ZipMember& member = members[i];
        std::string_view name(member.name);
        auto size = static_cast<uint32_t>(member.size);
        uint32_t crc = size != 0 ? crc32Of(member.data, size) : 0;
        written[i] = {crc, offset};
        Record local;
        out.write(commonFields(local.u32(kLocalSignature), name, size, crc));
        out.write(name.data(), name.size());
        out.write(member.data, size);
        offset += static_cast<uint32_t>(kLocalSize + name.size() + size);
    }
    uint32_t directoryOffset = offset;
    for (size_t i = 0; i < count; i++) {
        std::string_view name(members[i].name);
        Record central;
        central.u32(kCentralSignature).u16(kMadeBy);
        commonFields(central, name, static_cast<uint32_t>(members[i].size), written[i].crc)
            .u16(0)  // comment length
            .u16(0)  // disk number
            .u16(0)  // internal attributes
            .u32(isFolder(name) ? kDosFolderAttribute : 0)
            .u32(written[i].offset);
        out.write(central);
        out.write(name.data(), name.size());
        offset += static_cast<uint32_t>(kCentralSize + name.size());
    }
    Record end;
    end.u32(kEndSignature)
        .u16(0)  // this disk
        .u16(0)  // disk of the central directory
        .u16(static_cast<uint16_t>(count))
        .u16(static_cast<uint16_t>(count))
        .u32(offset - directoryOffset)
        .u32(directoryOffset)
        .u16(0);  // comment length
    out.write(end);
    return true;
}
