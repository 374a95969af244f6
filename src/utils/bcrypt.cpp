#include "utils/bcrypt.h"

// Implementation in progress: every entry point refuses for now.
void Blowfish_init(BlowfishState*) {}
void Blowfish_encipher(BlowfishState*, uint32_t*, uint32_t*) {}
void Blowfish_expandstate(BlowfishState*, const uint8_t*, uint16_t, const uint8_t*, uint16_t) {}
void Blowfish_expand0state(BlowfishState*, const uint8_t*, uint16_t) {}
int bcrypt_gensalt(int, char*) { return -1; }
int bcrypt_hashpw(const char*, const char*, char*) { return -1; }
bool bcrypt_checkpw(const char*, const char*) { return false; }
