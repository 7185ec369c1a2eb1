#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "md5.h"

namespace {

std::string md5(const std::string& text) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, text.data(), text.size());
    char hex[33];
    return MD5_FinalStr(&ctx, hex);
}

std::string md5ByteByByte(const std::string& text) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    for (char c : text) MD5_Update(&ctx, &c, 1);
    char hex[33];
    return MD5_FinalStr(&ctx, hex);
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : suite) {
        EXPECT_EQ(md5(text), digest) << '"' << text << '"';
        EXPECT_EQ(md5ByteByByte(text), digest) << '"' << text << '"';
    }
}

TEST(Md5, SplitFeedingMatchesOneCallAcrossBlockBoundaries) {
    std::string text;
    for (int i = 0; i < 1000; i++) text += static_cast<char>('a' + i % 26);
    std::string whole = md5(text);
    for (size_t split : {1u, 55u, 56u, 63u, 64u, 65u, 127u, 128u, 999u}) {
        MD5_CTX ctx;
        MD5_Init(&ctx);
        MD5_Update(&ctx, text.data(), split);
        MD5_Update(&ctx, text.data() + split, text.size() - split);
        char hex[33];
        EXPECT_EQ(MD5_FinalStr(&ctx, hex), whole) << split;
    }
}

TEST(Md5, FinalClearsTheContext) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, "abc", 3);
    unsigned char digest[16];
    MD5_Final(digest, &ctx);
    MD5_CTX zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);
    EXPECT_EQ(digest[0], 0x90);
    EXPECT_EQ(digest[15], 0x72);
}
