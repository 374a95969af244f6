#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "support/temp_dir.h"
#include "utils/md5.h"

namespace {

// md5sum's digest of a file (the reference).
std::string md5sum(const std::string& path) {
    std::string cmd = "md5sum '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return {};
    char buf[64] = {};
    size_t n = fread(buf, 1, 32, p);
    pclose(p);
    return std::string(buf, n);
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
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
        EXPECT_EQ(MD5::encode(std::string(text)), digest) << text;
        EXPECT_EQ(MD5::encode(text, static_cast<int>(std::strlen(text))), digest) << text;
        unsigned char raw[16];
        MD5::encode(text, static_cast<int>(std::strlen(text)), raw);
        EXPECT_EQ(MD5::toHex(raw), digest);
    }
    EXPECT_EQ(MD5::encode(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5::encode("abc", -3), "d41d8cd98f00b204e9800998ecf8427e");
    // Embedded zero bytes count.
    EXPECT_EQ(MD5::encode(std::string("\0", 1)), "93b885adfe0da089cdf634904fd59f71");
}

TEST(Md5, AgreesWithMd5sumOnGeneratedFilesAndPaddingBoundaries) {
    orvane::test::TempDir dir;
    const size_t sizes[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1000, 1023, 1024, 1025, 4096, 100003};
    unsigned seed = 7;
    for (size_t n : sizes) {
        std::string data = randomBytes(n, seed++);
        std::string path = dir.file("f" + std::to_string(n));
        orvane::test::writeFile(path, data);
        std::string expected = md5sum(path);
        ASSERT_EQ(expected.size(), 32u);
        EXPECT_EQ(MD5::encode(data), expected) << n;

        FILE* f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        unsigned char raw[16];
        ASSERT_TRUE(MD5::encodeFile(f, raw));
        EXPECT_EQ(MD5::toHex(raw), expected) << n;
        fclose(f);

        // Streaming in uneven pieces gives the same digest.
        MD5Context ctx;
        md5Init(&ctx);
        size_t pos = 0, step = 1;
        while (pos < n) {
            size_t take = std::min(step, n - pos);
            md5Update(&ctx, reinterpret_cast<const uint8_t*>(data.data()) + pos, take);
            pos += take;
            step = step * 3 + 1;
        }
        EXPECT_EQ(ctx.size, n);
        md5Finalize(&ctx);
        EXPECT_EQ(MD5::toHex(ctx.digest), expected) << n;
    }
}

TEST(Md5, FileDigestStartsAtTheCurrentPosition) {
    orvane::test::TempDir dir;
    std::string data = randomBytes(5000, 99);
    std::string path = dir.file("whole");
    std::string tailPath = dir.file("tail");
    orvane::test::writeFile(path, data);
    orvane::test::writeFile(tailPath, data.substr(1300));

    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char skip[1300];
    ASSERT_EQ(fread(skip, 1, sizeof skip, f), sizeof skip);
    unsigned char raw[16];
    ASSERT_TRUE(MD5::encodeFile(f, raw));
    EXPECT_EQ(MD5::toHex(raw), md5sum(tailPath));
    // The file stays open and at its end.
    EXPECT_EQ(fgetc(f), EOF);
    fclose(f);

    EXPECT_FALSE(MD5::encodeFile(nullptr, raw));
    // A stream that cannot be read reports failure instead of a digest of nothing.
    FILE* w = fopen(dir.file("wo").c_str(), "w");
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(MD5::encodeFile(w, raw));
    fclose(w);
}

TEST(Md5, RotateLeft) {
    EXPECT_EQ(rotateLeft(0x80000001u, 1), 0x00000003u);
    EXPECT_EQ(rotateLeft(0x12345678u, 0), 0x12345678u);
    EXPECT_EQ(rotateLeft(0x12345678u, 32), 0x12345678u);
    EXPECT_EQ(rotateLeft(0x12345678u, 8), 0x34567812u);
}

}  // namespace
