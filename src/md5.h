// MD5 (RFC 1321) with the familiar Init/Update/Final interface; the runtime
// hash of the bootstrap jar cache is built on it.
#pragma once

#include <cstdint>

struct MD5_CTX {
    uint32_t lo, hi;  // byte count: lo modulo 2^29, hi the rest
    uint32_t a, b, c, d;
    unsigned char buffer[64];
    uint32_t block[16];
};

void MD5_Init(MD5_CTX* ctx);
void MD5_Update(MD5_CTX* ctx, const void* data, unsigned long size);
void MD5_Final(unsigned char* result, MD5_CTX* ctx);
// The digest as 32 lowercase hex digits and a NUL; `out` holds at least 33 bytes.
char* MD5_FinalStr(MD5_CTX* ctx, char* out);
