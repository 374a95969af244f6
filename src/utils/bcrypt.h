#pragma once
// bcrypt password hashing ("$2b$" modular crypt form) over our own Blowfish / EksBlowfish.
//
//   char salt[64], hash[64];
//   if (bcrypt_gensalt(10, salt) == 0 && bcrypt_hashpw(password, salt, hash) == 0) store(hash);
//   ok = bcrypt_checkpw(password, storedHash);
//
// Salt text: "$2b$NN$" + 22 bcrypt-base64 characters (29 in all). Hash text: the salt text plus 31
// characters (60 in all). Output buffers need room for 64 characters; results are zero-terminated.
#include <cstddef>
#include <cstdint>

inline constexpr size_t BCRYPT_BUFFER_SIZE = 64;
inline constexpr size_t BCRYPT_SALT_LENGTH = 29;
inline constexpr size_t BCRYPT_HASH_LENGTH = 60;

// Blowfish state: the 18-word P-array followed by the four 256-word S-boxes.
struct BlowfishState {
    uint32_t P[18];
    uint32_t S[4][256];
};

// Loads the standard Blowfish constants (hexadecimal digits of pi).
void Blowfish_init(BlowfishState* state);
// Encrypts one 64-bit block held as two 32-bit words, in place.
void Blowfish_encipher(BlowfishState* state, uint32_t* left, uint32_t* right);
// Salted key schedule of EksBlowfish. Key and salt are cyclic byte streams, read four bytes at a
// time, most significant first. Lengths must be non-zero.
void Blowfish_expandstate(BlowfishState* state, const uint8_t* salt, uint16_t saltLength,
                          const uint8_t* key, uint16_t keyLength);
// Unsalted key schedule of EksBlowfish.
void Blowfish_expand0state(BlowfishState* state, const uint8_t* key, uint16_t keyLength);

// Writes a fresh 29-character salt text with 16 bytes from /dev/urandom into salt (room for 64).
// The cost is clamped to 4..31. Returns 0, or -1 (null salt, no random source, short read).
int bcrypt_gensalt(int cost, char* salt);

// Hashes password with salt (a salt text or a complete hash text; only its first 29 characters
// are used) into hash (room for 64). Returns 0, or -1 for a null argument or a salt that is not
// "$2" [a|b|y] "$" two-digit cost 04..31 "$" followed by 22 salt characters.
int bcrypt_hashpw(const char* password, const char* salt, char* hash);

// True when hashing password with the stored hash text reproduces that text exactly (compared in
// constant time). A malformed stored hash never matches.
bool bcrypt_checkpw(const char* password, const char* hash);
