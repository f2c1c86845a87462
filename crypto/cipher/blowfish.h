// Blowfish (B. Schneier, 16 rounds): the start constants, the key schedule, block encryption, the
// Eksblowfish state expansion and the bcrypt-pbkdf block hash. The state is the P-array of 18 words and
// four S-boxes of 256 words, passed as five arrays so that callers may keep them where they like; the
// block decryption reuses the same state and round function in reverse.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

constexpr int32_t kBlowfishRounds = 16;
constexpr int32_t kBlowfishPWords = kBlowfishRounds + 2;
constexpr int32_t kBlowfishSWords = 256;
constexpr int32_t kBcryptHashSize = 32;

// The start values of the state (the fraction of pi, generated into blowfish_tables.cpp).
extern const uint32_t kBlowfishInitP[kBlowfishPWords];
extern const uint32_t kBlowfishInitS0[kBlowfishSWords];
extern const uint32_t kBlowfishInitS1[kBlowfishSWords];
extern const uint32_t kBlowfishInitS2[kBlowfishSWords];
extern const uint32_t kBlowfishInitS3[kBlowfishSWords];

// BlowfishF is the round function F(x) = ((S0[x >> 24] + S1[x >> 16 & 255]) ^ S2[x >> 8 & 255]) + S3[x & 255].
inline uint32_t BlowfishF(const uint32_t* s0, const uint32_t* s1, const uint32_t* s2, const uint32_t* s3, uint32_t x) {
  return ((s0[x >> 24] + s1[(x >> 16) & 255]) ^ s2[(x >> 8) & 255]) + s3[x & 255];
}

// BlowfishRoundF returns F(y) ^ p[index] ^ x, one round step.
inline uint32_t BlowfishRoundF(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                               const uint32_t* s3, uint32_t x, uint32_t y, int32_t index) {
  return BlowfishF(s0, s1, s2, s3, y) ^ p[index] ^ x;
}

// BlowfishInitState copies the start constants into the state; returns 0.
int BlowfishInitState(uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2, uint32_t* s3);

// BlowfishEncryptWords encrypts the word pair (left, right) in place.
void BlowfishEncryptWords(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                          const uint32_t* s3, uint32_t& left, uint32_t& right);

// BlowfishEncryptBlock encrypts 8 bytes (two big-endian words) from in to out (which may be the same);
// returns 0.
int BlowfishEncryptBlock(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                         const uint32_t* s3, const uint8_t* in, uint8_t* out);

// BlowfishDecryptWords and BlowfishDecryptBlock invert the two above for the same state.
void BlowfishDecryptWords(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                          const uint32_t* s3, uint32_t& left, uint32_t& right);
int BlowfishDecryptBlock(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                         const uint32_t* s3, const uint8_t* in, uint8_t* out);

// StreamToWord reads the next big-endian word of data taken cyclically from *position, which advances
// by four modulo length; returns 0. length must be at least 1.
int StreamToWord(const uint8_t* data, int32_t length, int32_t* position, uint32_t* word);

// EksBlowfishExpandState mixes key (and salt, when salt is not null and salt_length is not 0) into the
// state; returns 0. key_length must be at least 1.
int EksBlowfishExpandState(const uint8_t* key, int32_t key_length, const uint8_t* salt, int32_t salt_length,
                           uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2, uint32_t* s3);

// BlowfishSetKey is the Blowfish key schedule: the start constants expanded with key (1..72 bytes are
// meaningful; 4..56 is the usual range); returns 0.
int BlowfishSetKey(const uint8_t* key, int32_t key_length, uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2,
                   uint32_t* s3);

// BcryptHash is the bcrypt-pbkdf block hash of the two digests: 32 bytes into out (replaced); 0, or 200
// when out cannot hold them (out is then unchanged). The state arrays are working storage.
[[nodiscard]] int BcryptHash(uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2, uint32_t* s3,
                             const uint8_t* password_digest, int32_t password_length, const uint8_t* salt_digest,
                             int32_t salt_length, core::BufferCore& out);

}  // namespace velmora::crypto
