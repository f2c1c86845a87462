// IDEA (Lai and Massey), RC2 (RFC 2268) and the RC4 stream cipher.
#pragma once

#include <cstdint>

namespace velmora::crypto {

constexpr int32_t kIdeaSubkeys = 52;

// IdeaMul multiplies modulo 65537 with 0 standing for 65536, without branching on the operands.
uint16_t IdeaMul(uint16_t a, uint16_t b);
// IdeaMulInverse is the inverse modulo 65537 (0 and 1 are their own).
uint16_t IdeaMulInverse(uint16_t x);
// IdeaSetEncryptKey and IdeaSetDecryptKey fill 52 subkeys from a 16-byte key; return 0.
int IdeaSetEncryptKey(const uint8_t* key, int32_t key_length, uint16_t* z);
int IdeaSetDecryptKey(const uint8_t* key, int32_t key_length, uint16_t* z);
// IdeaCryptBlock runs one 8-byte block with either schedule; returns 0.
int IdeaCryptBlock(const uint16_t* z, const uint8_t* in, uint8_t* out);

// Rc2SetKey expands a 1..128-byte key into 64 subkeys with 8 x key_length effective bits; 1 when
// key_length is below 1 (k untouched), else 0.
int Rc2SetKey(const uint8_t* key, int32_t key_length, uint32_t* k);
int Rc2EncryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k);
int Rc2DecryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k);
// kRc2PiTable is RFC 2268's PITABLE.
extern const uint8_t kRc2PiTable[256];

// RC4: s is the 256-entry permutation, indices[0] and [1] are i and j (0 after the key set-up).
int Rc4SetKey(const uint8_t* key, int32_t key_length, uint32_t* s);
void Rc4Keystream(uint8_t* out, int64_t length, uint32_t* s, uint32_t* indices);
// Rc4Crypt XORs length bytes of in with the keystream into out (which may be in).
void Rc4Crypt(const uint8_t* in, int64_t length, uint8_t* out, uint32_t* s, uint32_t* indices);

}  // namespace velmora::crypto
