// DES and Triple DES (EDE): the key schedules and the block operations of the cipher object, and a
// second DES engine with a 24-bit salt and an iteration count behind the traditional Unix DES password
// hash and the DES / Triple DES block runs over caller buffers.
#pragma once

#include <cstdint>

namespace velmora::crypto {

constexpr int32_t kDesScheduleWords = 32;
constexpr int32_t kTripleDesScheduleWords = 3 * kDesScheduleWords;

// DesSetKey fills 16 round keys (two words each) from an 8-byte key; decrypt nonzero stores them in
// reverse order, so that DesCryptBlock decrypts. The parity bits (low bit of each byte) are ignored.
void DesSetKey(uint32_t* schedule, const uint8_t* key, int32_t decrypt);
// DesCryptBlock runs one 8-byte block through the 16 rounds of the schedule; in and out may be the same.
void DesCryptBlock(const uint32_t* schedule, const uint8_t* in, uint8_t* out);
// TripleDesSetKey fills three schedules from a 24-byte key: E(K1) D(K2) E(K3), or for decrypt
// D(K3) E(K2) D(K1).
void TripleDesSetKey(uint32_t* schedule, const uint8_t* key, int32_t decrypt);
// TripleDesCryptBlock runs one block through the 48 rounds with one initial and one final permutation.
void TripleDesCryptBlock(const uint32_t* schedule, const uint8_t* in, uint8_t* out);
// DesCryptBlocks and TripleDesCryptBlocks run whole blocks in ECB order.
void DesCryptBlocks(const uint32_t* schedule, const uint8_t* in, uint8_t* out, int64_t blocks);
void TripleDesCryptBlocks(const uint32_t* schedule, const uint8_t* in, uint8_t* out, int64_t blocks);

// ---- salted DES -------------------------------------------------------------------------------------------
// The salted engine keeps its schedule per thread: every operation sets its key before use.

// SaltedDesSetKey sets the engine's schedule from an 8-byte key (parity bits ignored); returns 0.
int SaltedDesSetKey(const uint8_t* key);
// SaltedDesCipher applies salted DES |count| times to one block, encrypting for a positive count and
// decrypting for a negative one. Each set bit b (0..23) of salt exchanges the expansion outputs b and
// b + 24 in every round; salt 0 is plain DES. in and out may be the same; returns 0.
int SaltedDesCipher(const uint8_t* in, uint8_t* out, uint32_t salt, int32_t count);
// DES and Triple DES over block_count 8-byte blocks of data in place. The IV is read, not updated.
// Triple DES takes K1 from key bytes 0..7, K2 from 8..15 when key_length >= 9 (else K1) and K3 from
// 16..23 when key_length >= 17 (else K1). A block count below 1 processes nothing.
int DesEcbEncrypt(uint8_t* data, int32_t block_count, const uint8_t* key);
int DesEcbDecrypt(uint8_t* data, int32_t block_count, const uint8_t* key);
int DesCbcEncrypt(uint8_t* data, int32_t block_count, const uint8_t* key, const uint8_t* iv);
int DesCbcDecrypt(uint8_t* data, int32_t block_count, const uint8_t* key, const uint8_t* iv);
int TripleDesCbcEncrypt(uint8_t* data, int32_t block_count, const uint8_t* key, int32_t key_length, const uint8_t* iv);
int TripleDesCbcDecrypt(uint8_t* data, int32_t block_count, const uint8_t* key, int32_t key_length, const uint8_t* iv);
// DesCryptPassword is the traditional Unix DES password hash: the first 8 password bytes, the 2-character
// salt of setting, 25 salted encryptions of a zero block; returns the 13-character result (and NUL) in a
// per-thread buffer that the next call on the thread overwrites. A setting shorter than two characters
// counts its missing characters as '.'; nothing past its terminator is read.
const char* DesCryptPassword(const char* password, const char* setting);

}  // namespace velmora::crypto
