// The zip codec over zlib. zlib's counters are 32-bit (uInt), so larger
// buffers are fed in pieces.
#include "inflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace {

constexpr size_t kMaxPiece = UINT_MAX;

// Raw deflate (no zlib header), with the inflater released on every path.
class RawInflater {
public:
    RawInflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
    ~RawInflater() {
        if (ready_) inflateEnd(&stream_);
    }
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;

    bool run(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
        if (!ready_) return false;
        stream_.next_in = const_cast<Bytef*>(in);
        stream_.next_out = out;
        int status = Z_OK;
        while (status == Z_OK) {
            if (stream_.avail_in == 0) feed(&stream_.avail_in, &inSize);
            if (stream_.avail_out == 0) feed(&stream_.avail_out, &outSize);
            status = inflate(&stream_, Z_NO_FLUSH);
            // No progress was possible, but a further piece of input or of
            // output space is still to come.
            bool inputStarved = stream_.avail_in == 0 && inSize != 0;
            bool outputFull = stream_.avail_out == 0 && outSize != 0;
            if (status == Z_BUF_ERROR && (inputStarved || outputFull)) status = Z_OK;
        }
        // The stream must end exactly where the output does.
        return status == Z_STREAM_END && stream_.avail_out == 0 && outSize == 0;
    }

private:
    static void feed(uInt* available, size_t* remaining) {
        size_t piece = std::min(*remaining, kMaxPiece);
        *available = static_cast<uInt>(piece);
        *remaining -= piece;
    }

    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace

bool inflateExactly(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    return RawInflater().run(in, inSize, out, outSize);
}

uint32_t crc32Of(const void* data, size_t size) {
    const auto* bytes = static_cast<const Bytef*>(data);
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size != 0) {
        size_t piece = std::min(size, kMaxPiece);
        crc = crc32(crc, bytes, static_cast<uInt>(piece));
        bytes += piece;
        size -= piece;
    }
    return static_cast<uint32_t>(crc);
}
