#include "utils/md5.h"

#include <cstring>

namespace {

constexpr uint32_t kInit[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Per-operation shift amounts, four per round.
constexpr uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

// floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void processBlock(MD5Context* ctx) {
    uint32_t words[16];
    for (int j = 0; j < 16; ++j) {
        words[j] = static_cast<uint32_t>(ctx->input[j * 4]) | (static_cast<uint32_t>(ctx->input[j * 4 + 1]) << 8) |
                   (static_cast<uint32_t>(ctx->input[j * 4 + 2]) << 16) |
                   (static_cast<uint32_t>(ctx->input[j * 4 + 3]) << 24);
    }
    md5Step(ctx->buffer, words);
}

}  // namespace

uint32_t rotateLeft(uint32_t x, uint32_t n) {
    n &= 31;
    return n ? (x << n) | (x >> (32 - n)) : x;
}

void md5Init(MD5Context* ctx) {
    ctx->size = 0;
    std::memcpy(ctx->buffer, kInit, sizeof kInit);
    std::memset(ctx->input, 0, sizeof ctx->input);
    std::memset(ctx->digest, 0, sizeof ctx->digest);
}

void md5Step(uint32_t* buffer, const uint32_t* input) {
    uint32_t a = buffer[0], b = buffer[1], c = buffer[2], d = buffer[3];
    for (uint32_t i = 0; i < 64; ++i) {
        uint32_t e;
        uint32_t j;
        switch (i / 16) {
            case 0:
                e = (b & c) | (~b & d);
                j = i;
                break;
            case 1:
                e = (b & d) | (c & ~d);
                j = (i * 5 + 1) % 16;
                break;
            case 2:
                e = b ^ c ^ d;
                j = (i * 3 + 5) % 16;
                break;
            default:
                e = c ^ (b | ~d);
                j = (i * 7) % 16;
                break;
        }
        uint32_t temp = d;
        d = c;
        c = b;
        b = b + rotateLeft(a + e + kSine[i] + input[j], kShift[i]);
        a = temp;
    }
    buffer[0] += a;
    buffer[1] += b;
    buffer[2] += c;
    buffer[3] += d;
}

void md5Update(MD5Context* ctx, const uint8_t* input, size_t length) {
    if (!input || length == 0) return;
    size_t offset = ctx->size % 64;
    ctx->size += length;
    while (length > 0) {
        size_t take = 64 - offset;
        if (take > length) take = length;
        std::memcpy(ctx->input + offset, input, take);
        offset += take;
        input += take;
        length -= take;
        if (offset == 64) {
            processBlock(ctx);
            offset = 0;
        }
    }
}

void md5Finalize(MD5Context* ctx) {
    uint64_t bits = ctx->size * 8;
    size_t offset = ctx->size % 64;
    size_t padLength = offset < 56 ? 56 - offset : 120 - offset;
    uint8_t padding[64] = {0x80};
    md5Update(ctx, padding, padLength);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (8 * i));
    md5Update(ctx, length, 8);  // completes the last block
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) ctx->digest[i * 4 + k] = static_cast<uint8_t>(ctx->buffer[i] >> (8 * k));
    }
}

void MD5::encode(const char* data, int length, unsigned char* out) {
    if (!out) return;
    MD5Context ctx;
    md5Init(&ctx);
    if (data && length > 0) md5Update(&ctx, reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(length));
    md5Finalize(&ctx);
    std::memcpy(out, ctx.digest, 16);
}

bool MD5::encodeFile(FILE* file, unsigned char* out) {
    if (!file || !out) return false;
    MD5Context ctx;
    md5Init(&ctx);
    uint8_t chunk[1024];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) md5Update(&ctx, chunk, n);
    if (std::ferror(file)) return false;
    md5Finalize(&ctx);
    std::memcpy(out, ctx.digest, 16);
    return true;
}

std::string MD5::toHex(const unsigned char* digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[i * 2] = kHex[digest[i] >> 4];
        text[i * 2 + 1] = kHex[digest[i] & 0xf];
    }
    return text;
}

std::string MD5::encode(const std::string& text) {
    unsigned char digest[16];
    MD5Context ctx;
    md5Init(&ctx);
    md5Update(&ctx, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    md5Finalize(&ctx);
    std::memcpy(digest, ctx.digest, 16);
    return toHex(digest);
}

std::string MD5::encode(const char* data, int length) {
    unsigned char digest[16];
    encode(data, length, digest);
    return toHex(digest);
}
