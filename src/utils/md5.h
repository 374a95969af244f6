#pragma once
// MD5 message digest (RFC 1321): a streaming interface of free functions and the class MD5 of
// static convenience functions on top of it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct MD5Context {
    uint64_t size;       // input bytes processed so far
    uint32_t buffer[4];  // chaining state A, B, C, D
    uint8_t input[64];   // bytes of the block not yet processed
    uint8_t digest[16];  // result, filled by md5Finalize
};

void md5Init(MD5Context* ctx);
void md5Update(MD5Context* ctx, const uint8_t* input, size_t length);
void md5Finalize(MD5Context* ctx);
void md5Step(uint32_t* buffer, const uint32_t* input);
uint32_t rotateLeft(uint32_t x, uint32_t n);

class MD5 {
public:
    MD5() = delete;

    // 16-byte digest of length bytes at data into out. A negative length counts as 0.
    static void encode(const char* data, int length, unsigned char* out);
    // 16-byte digest of the rest of an open file, from its current position (not closed).
    // Returns false (and leaves out untouched) for a null file or a read error.
    static bool encodeFile(FILE* file, unsigned char* out);
    // Digest as 32 lower-case hexadecimal digits.
    static std::string encode(const std::string& text);
    static std::string encode(const char* data, int length);
    // 16 digest bytes as 32 lower-case hexadecimal digits.
    static std::string toHex(const unsigned char* digest);
};
