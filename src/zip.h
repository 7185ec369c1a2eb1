// Reads entries of zip archives (the agent jar, the bootstrap jar): the file
// is mapped read-only (or, for the bootstrap jar, read into private memory)
// and its central directory indexed once, so that a
// lookup by name costs one hash probe. Every offset and length read from the
// archive is checked, so a damaged or hostile jar fails cleanly. A small
// writer of stored entries makes the classpath jar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fileutils.h"

struct ZipEntryStat {
    uint64_t uncompressedSize;
    uint64_t compressedSize;
    uint32_t crc32;
    uint16_t method;  // 0 stored, 8 deflate
};

class ZipReader {
public:
    ZipReader() = default;
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;
    ~ZipReader();

    // Maps and indexes the archive. On failure answers false and error()
    // says why; the reader stays closed.
    bool open(const char* path);
    // Reads the whole archive into private memory and indexes it: for an
    // archive read for the process's life, which a change to the file (a
    // copy over it, a truncation) must never reach.
    bool openCopy(const char* path);
    // The same over the file of an open handle (a descriptor; a HANDLE on
    // Windows) that the caller checked: the file checked is the file read.
    // The handle stays the caller's.
    bool openHandle(intptr_t handle);
    bool openCopyOfHandle(intptr_t handle);
    // The same over bytes the caller keeps alive (tests, fuzzing).
    bool openMemory(const uint8_t* data, size_t size);
    void close();
    bool isOpen() const { return data_ != nullptr; }
    // Why the last open failed; never null, empty after a success.
    const char* error() const { return error_; }

    size_t entryCount() const { return entryCount_; }
    // Index of the entry with exactly this name (case-sensitive), or -1.
    int64_t locate(std::string_view name) const;
    std::string_view entryName(int64_t index) const;
    bool stat(int64_t index, ZipEntryStat* out) const;

    // Extracts into a buffer of at least the uncompressed size and checks the
    // CRC-32. Safe to call from several threads at once.
    bool extractTo(int64_t index, void* buffer, size_t bufferSize) const;
    // Extracts into a new heap buffer (free) with one more zero byte after
    // the data, so text entries read as strings; NULL on failure. size may be
    // NULL.
    void* extractToHeap(int64_t index, size_t* size) const;
    void* extractToHeap(std::string_view name, size_t* size) const;

private:
    struct Entry;
    struct Slot;
    struct Directory;

    bool fail(const char* why);
    bool index();
    bool readDirectory(Directory* directory);
    bool findZip64End(uint64_t locator, uint64_t* record);
    bool countEntries(const Directory& directory, size_t* count);
    bool indexEntries(const Directory& directory, size_t count);
    size_t probe(std::string_view name, uint32_t hash) const;
    const Entry* entry(int64_t index) const;
    const uint8_t* entryData(const Entry& entry) const;
    bool decode(const Entry& entry, const uint8_t* data, void* buffer) const;

    MappedFile file_;
    uint8_t* copy_ = nullptr;  // the private copy of openCopy, when open so
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    // Bytes before the archive proper (a launcher script), which its offsets
    // do not count.
    uint64_t prefix_ = 0;
    Entry* entries_ = nullptr;
    size_t entryCount_ = 0;
    Slot* table_ = nullptr;  // open addressing, linear probing, at most half full
    size_t tableMask_ = 0;
    const char* error_ = "";
};

// The hash the reader's index uses for names, for indexes built beside it.
uint32_t zipNameHash(std::string_view name);

struct ZipMember {
    const char* name;
    const void* data;
    size_t size;
};

// Builds an archive of stored (uncompressed) entries in `archive`, dated
// 1980-01-01 so that the same members always give the same bytes; the
// caller writes it through a handle of its own. False when the members do
// not fit a plain zip archive (all of them under 4 GiB, at most 65534 of
// them).
bool zip_write_stored(std::string* archive, const ZipMember* members, size_t count);
