// TEA, XTEA and XXTEA (Wheeler and Needham) on big-endian 32-bit words with a 16-byte key.
#pragma once

#include <cstdint>

namespace velmora::crypto {

constexpr uint32_t kTeaDelta = 0x9E3779B9;

// The key functions read four big-endian key words; return 0.
int TeaSetKey(const uint8_t* key, int32_t key_length, uint32_t* key_words);
int XteaSetKey(const uint8_t* key, int32_t key_length, uint32_t* key_words);
int XxteaSetKey(const uint8_t* key, int32_t key_length, uint32_t* key_words);
// TEA and XTEA on one 8-byte block with the given cycle count (32 is the published one); a count of 0 or
// less copies the block. XTEA variant nonzero is the published round; 0 XORs the shift-left term in.
int TeaEncryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles);
int TeaDecryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles);
int XteaEncryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles, int32_t variant);
int XteaDecryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles, int32_t variant);
// XxteaEncrypt and XxteaDecrypt run the corrected block TEA over length / 4 words (at least 2; bytes past
// them are neither read nor written): 0; 1 when fewer than 8 bytes are given; -1 when the working copy
// cannot be allocated. Nothing is written on failure.
int XxteaEncrypt(const uint8_t* in, int32_t length, uint8_t* out, const uint32_t* k);
int XxteaDecrypt(const uint8_t* in, int32_t length, uint8_t* out, const uint32_t* k);

}  // namespace velmora::crypto
