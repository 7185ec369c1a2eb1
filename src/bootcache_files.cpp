// The part of the bootstrap folder's files that is the same on every
// platform: names nobody can guess.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>

#include "bootcache_files.h"
#include "fileutils.h"

std::string randomHex(size_t digits) {
    unsigned char bytes[32] = {};
    size_t count = std::min(sizeof bytes, (digits + 1) / 2);
    if (!fillRandom(bytes, count)) {
        // No random source at all: the names are still created exclusively.
        auto mix = static_cast<unsigned long long>(time(nullptr)) ^ (static_cast<unsigned long long>(getPid()) << 32) ^
                   reinterpret_cast<uintptr_t>(&bytes);
        for (size_t i = 0; i < count; i++) bytes[i] = static_cast<unsigned char>(mix >> (8 * (i % 8)));
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; i++) {
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 0xf];
    }
    text.resize(std::min(digits, text.size()));
    return text;
}
