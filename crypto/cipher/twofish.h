// Twofish (Schneier et al.) with full keying: 40 round subkeys and a key-dependent table of 1024 words
// that folds the key-dependent S-boxes into the MDS multiplication. Words are little-endian.
#pragma once

#include <cstdint>

namespace velmora::crypto {

constexpr int32_t kTwofishSubkeys = 40;
constexpr int32_t kTwofishTableWords = 1024;

// TwofishRsEncode is one S word (Reed-Solomon code over 0x14D) from two key words.
uint32_t TwofishRsEncode(uint32_t k0, uint32_t k1);
// TwofishH is h for k = 2, 3 or 4 key words l[0..k-1].
uint32_t TwofishH(int32_t k, uint32_t x, const uint32_t* l);
// TwofishG is g through the table, taking the bytes of x from byte position offset on (modulo 4).
uint32_t TwofishG(const uint32_t* t, uint32_t x, int32_t offset);
// TwofishSetKey keys from a 16-, 24- or 32-byte key; returns 0.
int TwofishSetKey(const uint8_t* key, int32_t key_length, uint32_t* k, uint32_t* t);
int TwofishEncryptBlock(const uint32_t* k, const uint32_t* t, const uint8_t* in, uint8_t* out);
int TwofishDecryptBlock(const uint32_t* k, const uint32_t* t, const uint8_t* in, uint8_t* out);

}  // namespace velmora::crypto
