// MD5 as RFC 1321 defines it: four rounds of sixteen steps over 64-byte
// blocks, little-endian words and length.
#include "md5.h"

#include <cstring>

namespace {

inline uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void storeLittleEndian(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; i++) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

// Compresses whole 64-byte blocks; answers the pointer after them.
static const unsigned char* body(MD5_CTX* ctx, const void* data, unsigned long size) {
    auto* p = static_cast<const unsigned char*>(data);
    uint32_t a = ctx->a, b = ctx->b, c = ctx->c, d = ctx->d;
    for (; size >= 64; size -= 64, p += 64) {
        for (int i = 0; i < 16; i++) {
            ctx->block[i] = p[4 * i] | p[4 * i + 1] << 8 | p[4 * i + 2] << 16 | uint32_t{p[4 * i + 3]} << 24;
        }
        uint32_t sa = a, sb = b, sc = c, sd = d;
        for (int i = 0; i < 64; i++) {
            uint32_t f;
            int g;
            switch (i / 16) {
                case 0: f = (b & c) | (~b & d); g = i; break;
                case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
                case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
                default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
            }
            uint32_t next = b + rotl(a + f + kSine[i] + ctx->block[g], kShift[i / 16][i % 4]);
            a = d;
            d = c;
            c = b;
            b = next;
        }
        a += sa;
        b += sb;
        c += sc;
        d += sd;
    }
    ctx->a = a;
    ctx->b = b;
    ctx->c = c;
    ctx->d = d;
    return p;
}

void MD5_Init(MD5_CTX* ctx) {
    ctx->a = 0x67452301;
    ctx->b = 0xefcdab89;
    ctx->c = 0x98badcfe;
    ctx->d = 0x10325476;
    ctx->lo = 0;
    ctx->hi = 0;
}

void MD5_Update(MD5_CTX* ctx, const void* data, unsigned long size) {
    auto* p = static_cast<const unsigned char*>(data);
    uint32_t saved = ctx->lo;
    if ((ctx->lo = (saved + size) & 0x1fffffff) < saved) ctx->hi++;
    ctx->hi += static_cast<uint32_t>(size >> 29);

    unsigned long used = saved & 0x3f;
    if (used != 0) {
        unsigned long available = 64 - used;
        if (size < available) {
            memcpy(ctx->buffer + used, p, size);
            return;
        }
        memcpy(ctx->buffer + used, p, available);
        p += available;
        size -= available;
        body(ctx, ctx->buffer, 64);
    }
    if (size >= 64) {
        p = body(ctx, p, size & ~0x3fUL);
        size &= 0x3f;
    }
    if (size != 0) memcpy(ctx->buffer, p, size);
}

void MD5_Final(unsigned char* result, MD5_CTX* ctx) {
    unsigned long used = ctx->lo & 0x3f;
    ctx->buffer[used++] = 0x80;
    unsigned long available = 64 - used;
    if (available < 8) {
        memset(ctx->buffer + used, 0, available);
        body(ctx, ctx->buffer, 64);
        used = 0;
        available = 64;
    }
    memset(ctx->buffer + used, 0, available - 8);
    storeLittleEndian(ctx->buffer + 56, ctx->lo << 3);
    storeLittleEndian(ctx->buffer + 60, ctx->hi);
    body(ctx, ctx->buffer, 64);
    storeLittleEndian(result, ctx->a);
    storeLittleEndian(result + 4, ctx->b);
    storeLittleEndian(result + 8, ctx->c);
    storeLittleEndian(result + 12, ctx->d);
    memset(ctx, 0, sizeof *ctx);
}

char* MD5_FinalStr(MD5_CTX* ctx, char* out) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char digest[16];
    MD5_Final(digest, ctx);
    for (int i = 0; i < 16; i++) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    out[32] = '\0';
    return out;
}
