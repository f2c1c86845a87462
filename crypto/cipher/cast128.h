// CAST-128 (C. Adams): the key schedule and the block operations, 64-bit blocks as two big-endian words.
#pragma once

#include <cstdint>

namespace velmora::crypto {

extern const uint32_t kCast128S1[256];
extern const uint32_t kCast128S2[256];
extern const uint32_t kCast128S3[256];
extern const uint32_t kCast128S4[256];
extern const uint32_t kCast128S5[256];
extern const uint32_t kCast128S6[256];
extern const uint32_t kCast128S7[256];
extern const uint32_t kCast128S8[256];

// Cast128KeyPass is one pass of the key schedule: 16 subkey words into k from the key words x (updated),
// with z as the scratch words it leaves for the next pass.
void Cast128KeyPass(uint32_t* x, uint32_t* z, uint32_t* k);
// Cast128SetKey fills the masking keys km[16] and rotation keys kr[16] from a 5..16-byte key (shorter keys
// are zero-padded) and sets *rounds to 12 for keys below 11 bytes, else 16; returns 0.
int Cast128SetKey(const uint8_t* key, int32_t key_length, uint32_t* km, uint32_t* kr, int32_t* rounds);
// Cast128Round is the round function of type 0, 1 or 2 on data with masking key km and rotation kr.
uint32_t Cast128Round(int32_t type, uint32_t data, uint32_t km, uint32_t kr);
int Cast128EncryptBlock(const uint32_t* km, const uint32_t* kr, int32_t rounds, const uint8_t* in, uint8_t* out);
int Cast128DecryptBlock(const uint32_t* km, const uint32_t* kr, int32_t rounds, const uint8_t* in, uint8_t* out);

}  // namespace velmora::crypto
