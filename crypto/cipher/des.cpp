// DES and Triple DES. The eight S-boxes, the permutation P and the expansion are folded into eight
// tables SP1..SP8 generated at compile time from the S-boxes and P of the DES definition; the round
// keys are laid out as 6-bit groups matching the expansion; the initial and final permutations are
// bit-swap networks.
#include "crypto/cipher/des.h"

#include <array>
#include <cstring>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// The S-boxes, row by row (row from the outer input bits, column from the inner four).
constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2, 11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3, 4,  9,  7,  2,  13, 12, 0, 5,  10, 3, 13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6, 9,  11, 5,  0,  14, 7,  11, 10, 4, 13, 1, 5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1, 2,  8, 5,  11, 12, 4,  15, 13, 8, 11, 5, 6, 15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1, 7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,  14, 11, 2,  12, 4, 7,
     13, 1,  5,  0, 15, 10, 3,  9,  8,  6,  4,  2,  1,  11, 10, 13, 7, 8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7, 1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7, 12,
     9,  5,  6,  1,  13, 14, 0,  11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4, 10,
     1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9,  7,  5,  10, 6,  1, 13, 0,  11, 7,  4, 9,
     1,  10, 14, 3,  5,  12, 2, 15, 8,  6,  1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,
     0,  5,  9,  2,  6,  11, 13, 8, 1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// P: output bit i (1 = most significant) is input bit kP[i - 1].
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                              35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                              46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kRotations[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};

constexpr uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

using SpTable = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTable MakeSpTables() {
  SpTable sp{};
  for (int n = 0; n < 8; ++n) {
    for (int x = 0; x < 64; ++x) {
      const int row = ((x >> 4) & 2) | (x & 1);
      const int column = (x >> 1) & 15;
      const uint32_t word = static_cast<uint32_t>(kSBoxes[n][row * 16 + column]) << (4 * (7 - n));
      uint32_t permuted = 0;
      for (int i = 0; i < 32; ++i) {
        if (((word >> (32 - kP[i])) & 1) != 0) permuted |= 1u << (31 - i);
      }
      sp[n][x] = Rotl(permuted, 1);
    }
  }
  return sp;
}

constexpr bool SBoxRowsArePermutations() {
  for (const auto& box : kSBoxes) {
    for (int row = 0; row < 4; ++row) {
      unsigned seen = 0;
      for (int column = 0; column < 16; ++column) seen |= 1u << box[row * 16 + column];
      if (seen != 0xFFFF) return false;
    }
  }
  return true;
}

static_assert(SBoxRowsArePermutations(), "every S-box row is a permutation of 0..15");
constexpr SpTable kSp = MakeSpTables();
static_assert(kSp[0][0] == 0x01010400 && kSp[0][1] == 0 && kSp[0][2] == 0x00010000 && kSp[0][3] == 0x01010404,
              "SP1 starts as the folded S-box 1");

inline uint32_t F(uint32_t r, uint32_t a, uint32_t b) {
  uint32_t t = Rotr(r, 4) ^ a;
  uint32_t f = kSp[6][t & 63] ^ kSp[4][(t >> 8) & 63] ^ kSp[2][(t >> 16) & 63] ^ kSp[0][(t >> 24) & 63];
  t = r ^ b;
  return f ^ kSp[7][t & 63] ^ kSp[5][(t >> 8) & 63] ^ kSp[3][(t >> 16) & 63] ^ kSp[1][(t >> 24) & 63];
}

inline void InitialPermutation(uint32_t& l, uint32_t& r) {
  uint32_t t = ((l >> 4) ^ r) & 0x0F0F0F0F;
  r ^= t;
  l ^= t << 4;
  t = ((l >> 16) ^ r) & 0x0000FFFF;
  r ^= t;
  l ^= t << 16;
  t = ((r >> 2) ^ l) & 0x33333333;
  l ^= t;
  r ^= t << 2;
  t = ((r >> 8) ^ l) & 0x00FF00FF;
  l ^= t;
  r ^= t << 8;
  r = Rotl(r, 1);
  t = (l ^ r) & 0xAAAAAAAA;
  l ^= t;
  r ^= t;
  l = Rotl(l, 1);
}

inline void FinalPermutation(uint32_t& l, uint32_t& r) {
  r = Rotr(r, 1);
  uint32_t t = (l ^ r) & 0xAAAAAAAA;
  l ^= t;
  r ^= t;
  l = Rotr(l, 1);
  t = ((l >> 8) ^ r) & 0x00FF00FF;
  r ^= t;
  l ^= t << 8;
  t = ((l >> 2) ^ r) & 0x33333333;
  r ^= t;
  l ^= t << 2;
  t = ((r >> 16) ^ l) & 0x0000FFFF;
  l ^= t;
  r ^= t << 16;
  t = ((r >> 4) ^ l) & 0x0F0F0F0F;
  l ^= t;
  r ^= t << 4;
}

inline void Rounds(const uint32_t* ks, uint32_t& l, uint32_t& r) {
  for (int i = 0; i < 32; i += 4) {
    l ^= F(r, ks[i], ks[i + 1]);
    r ^= F(l, ks[i + 2], ks[i + 3]);
  }
}

inline void StoreHalves(uint8_t* out, uint32_t first, uint32_t second) {
  core::PutUIntBigEndian(first, out, 0, 4);
  core::PutUIntBigEndian(second, out, 4, 4);
}

// ---- salted engine ---------------------------------------------------------------------------------------

thread_local uint32_t salted_schedule[kDesScheduleWords];
thread_local char crypt_result[14];

// SaltMasks turns the salt into the lower-partner masks of the two round-key words: groups 1..4 of the
// expansion pair with groups 5..8, which sit 16 bits lower in the same word.
void SaltMasks(uint32_t salt, uint32_t* mask_a, uint32_t* mask_b) {
  *mask_a = 0;
  *mask_b = 0;
  for (int b = 0; b < 24; ++b) {
    if (((salt >> b) & 1) == 0) continue;
    const int group = b / 6;  // 0..3 = expansion groups 1..4
    const uint32_t bit = 1u << (((group < 2 ? 1 : 0) * 8) + (5 - b % 6));
    if (group % 2 == 0) {
      *mask_a |= bit;
    } else {
      *mask_b |= bit;
    }
  }
}

inline uint32_t Exchange(uint32_t x, uint32_t mask) {
  const uint32_t t = ((x >> 16) ^ x) & mask;
  return x ^ t ^ (t << 16);
}

inline uint32_t SaltedF(uint32_t r, uint32_t a, uint32_t b, uint32_t mask_a, uint32_t mask_b) {
  uint32_t t = Exchange(Rotr(r, 4), mask_a) ^ a;
  uint32_t f = kSp[6][t & 63] ^ kSp[4][(t >> 8) & 63] ^ kSp[2][(t >> 16) & 63] ^ kSp[0][(t >> 24) & 63];
  t = Exchange(r, mask_b) ^ b;
  return f ^ kSp[7][t & 63] ^ kSp[5][(t >> 8) & 63] ^ kSp[3][(t >> 16) & 63] ^ kSp[1][(t >> 24) & 63];
}

void XorBlock(uint8_t* data, const uint8_t* with) {
  for (int i = 0; i < 8; ++i) data[i] ^= with[i];
}

constexpr char kCryptAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

uint32_t DecodeCryptChar(unsigned char c) {
  for (uint32_t i = 0; i < 64; ++i) {
    if (static_cast<unsigned char>(kCryptAlphabet[i]) == c) return i;
  }
  return 0;  // outside the alphabet
}

}  // namespace

void DesSetKey(uint32_t* schedule, const uint8_t* key, int32_t decrypt) {
  uint8_t pc1[56];
  for (int i = 0; i < 56; ++i) {
    const int p = kPc1[i] - 1;
    pc1[i] = (key[p / 8] >> (7 - p % 8)) & 1;
  }
  for (int round = 0; round < 16; ++round) {
    const int shift = kRotations[round];
    uint8_t work[56];
    for (int j = 0; j < 28; ++j) {
      work[j] = pc1[(j + shift) % 28];
      work[j + 28] = pc1[28 + (j + shift) % 28];
    }
    uint32_t groups[8] = {};
    for (int m = 0; m < 48; ++m) groups[m / 6] = (groups[m / 6] << 1) | work[kPc2[m] - 1];
    const int at = 2 * (decrypt != 0 ? 15 - round : round);
    schedule[at] = (groups[0] << 24) | (groups[2] << 16) | (groups[4] << 8) | groups[6];
    schedule[at + 1] = (groups[1] << 24) | (groups[3] << 16) | (groups[5] << 8) | groups[7];
    platform::SecureZero(work, sizeof work);
  }
  platform::SecureZero(pc1, sizeof pc1);
}

void DesCryptBlock(const uint32_t* schedule, const uint8_t* in, uint8_t* out) {
  uint32_t l = core::ReadUInt32BE(in);
  uint32_t r = core::ReadUInt32BE(in + 4);
  InitialPermutation(l, r);
  Rounds(schedule, l, r);
  FinalPermutation(l, r);
  StoreHalves(out, r, l);
}

void TripleDesSetKey(uint32_t* schedule, const uint8_t* key, int32_t decrypt) {
  if (decrypt == 0) {
    DesSetKey(schedule, key, 0);
    DesSetKey(schedule + kDesScheduleWords, key + 8, 1);
    DesSetKey(schedule + 2 * kDesScheduleWords, key + 16, 0);
  } else {
    DesSetKey(schedule, key + 16, 1);
    DesSetKey(schedule + kDesScheduleWords, key + 8, 0);
    DesSetKey(schedule + 2 * kDesScheduleWords, key, 1);
  }
}

void TripleDesCryptBlock(const uint32_t* schedule, const uint8_t* in, uint8_t* out) {
  uint32_t l = core::ReadUInt32BE(in);
  uint32_t r = core::ReadUInt32BE(in + 4);
  InitialPermutation(l, r);
  // Between two DES passes the final and initial permutations cancel and the halves change roles.
  Rounds(schedule, l, r);
  Rounds(schedule + kDesScheduleWords, r, l);
  Rounds(schedule + 2 * kDesScheduleWords, l, r);
  FinalPermutation(l, r);
  StoreHalves(out, r, l);
}

void DesCryptBlocks(const uint32_t* schedule, const uint8_t* in, uint8_t* out, int64_t blocks) {
  for (int64_t i = 0; i < blocks; ++i) DesCryptBlock(schedule, in + 8 * i, out + 8 * i);
}

void TripleDesCryptBlocks(const uint32_t* schedule, const uint8_t* in, uint8_t* out, int64_t blocks) {
  for (int64_t i = 0; i < blocks; ++i) TripleDesCryptBlock(schedule, in + 8 * i, out + 8 * i);
}

// ---- salted DES ----------------------------------------------------------------------------------------------

int SaltedDesSetKey(const uint8_t* key) {
  DesSetKey(salted_schedule, key, 0);
  return 0;
}

int SaltedDesCipher(const uint8_t* in, uint8_t* out, uint32_t salt, int32_t count) {
  uint32_t mask_a = 0, mask_b = 0;
  SaltMasks(salt, &mask_a, &mask_b);
  uint32_t l = core::ReadUInt32BE(in);
  uint32_t r = core::ReadUInt32BE(in + 4);
  InitialPermutation(l, r);
  const uint32_t* ks = salted_schedule;
  const int64_t times = count < 0 ? -static_cast<int64_t>(count) : count;
  for (int64_t n = 0; n < times; ++n) {
    if (count > 0) {
      for (int i = 0; i < 32; i += 4) {
        l ^= SaltedF(r, ks[i], ks[i + 1], mask_a, mask_b);
        r ^= SaltedF(l, ks[i + 2], ks[i + 3], mask_a, mask_b);
      }
    } else {
      for (int i = 30; i >= 0; i -= 4) {
        l ^= SaltedF(r, ks[i], ks[i + 1], mask_a, mask_b);
        r ^= SaltedF(l, ks[i - 2], ks[i - 1], mask_a, mask_b);
      }
    }
    // The halves change roles between iterations, as a final and a new initial permutation would.
    const uint32_t t = l;
    l = r;
    r = t;
  }
  // Undo the last exchange before the final permutation, which outputs R then L.
  if (times > 0) {
    const uint32_t t = l;
    l = r;
    r = t;
    FinalPermutation(l, r);
    StoreHalves(out, r, l);
  } else {
    FinalPermutation(l, r);
    StoreHalves(out, l, r);
  }
  return 0;
}

int DesEcbEncrypt(uint8_t* data, int32_t block_count, const uint8_t* key) {
  SaltedDesSetKey(key);
  for (int32_t i = 0; i < block_count; ++i) SaltedDesCipher(data + 8 * i, data + 8 * i, 0, 1);
  return 0;
}

int DesEcbDecrypt(uint8_t* data, int32_t block_count, const uint8_t* key) {
  SaltedDesSetKey(key);
  for (int32_t i = 0; i < block_count; ++i) SaltedDesCipher(data + 8 * i, data + 8 * i, 0, -1);
  return 0;
}

int DesCbcEncrypt(uint8_t* data, int32_t block_count, const uint8_t* key, const uint8_t* iv) {
  SaltedDesSetKey(key);
  const uint8_t* previous = iv;
  for (int32_t i = 0; i < block_count; ++i) {
    uint8_t* block = data + 8 * i;
    XorBlock(block, previous);
    SaltedDesCipher(block, block, 0, 1);
    previous = block;
  }
  return 0;
}

int DesCbcDecrypt(uint8_t* data, int32_t block_count, const uint8_t* key, const uint8_t* iv) {
  SaltedDesSetKey(key);
  uint8_t previous[8];
  uint8_t kept[8];
  std::memcpy(previous, iv, 8);
  for (int32_t i = 0; i < block_count; ++i) {
    uint8_t* block = data + 8 * i;
    std::memcpy(kept, block, 8);
    SaltedDesCipher(block, block, 0, -1);
    XorBlock(block, previous);
    std::memcpy(previous, kept, 8);
  }
  return 0;
}

namespace {

struct TripleKeys {
  const uint8_t* k1;
  const uint8_t* k2;
  const uint8_t* k3;
};

TripleKeys SplitTripleKey(const uint8_t* key, int32_t key_length) {
  return {key, key_length >= 9 ? key + 8 : key, key_length >= 17 ? key + 16 : key};
}

void SaltedStep(uint8_t* block, const uint8_t* key, int32_t count) {
  SaltedDesSetKey(key);
  SaltedDesCipher(block, block, 0, count);
}

}  // namespace

int TripleDesCbcEncrypt(uint8_t* data, int32_t block_count, const uint8_t* key, int32_t key_length,
                        const uint8_t* iv) {
  const TripleKeys keys = SplitTripleKey(key, key_length);
  const uint8_t* previous = iv;
  for (int32_t i = 0; i < block_count; ++i) {
    uint8_t* block = data + 8 * i;
    XorBlock(block, previous);
    SaltedStep(block, keys.k1, 1);
    SaltedStep(block, keys.k2, -1);
    SaltedStep(block, keys.k3, 1);
    previous = block;
  }
  return 0;
}

int TripleDesCbcDecrypt(uint8_t* data, int32_t block_count, const uint8_t* key, int32_t key_length,
                        const uint8_t* iv) {
  const TripleKeys keys = SplitTripleKey(key, key_length);
  uint8_t previous[8];
  uint8_t kept[8];
  std::memcpy(previous, iv, 8);
  for (int32_t i = 0; i < block_count; ++i) {
    uint8_t* block = data + 8 * i;
    std::memcpy(kept, block, 8);
    SaltedStep(block, keys.k3, -1);
    SaltedStep(block, keys.k2, 1);
    SaltedStep(block, keys.k1, -1);
    XorBlock(block, previous);
    std::memcpy(previous, kept, 8);
  }
  return 0;
}

const char* DesCryptPassword(const char* password, const char* setting) {
  uint8_t key[8] = {};
  const auto* p = reinterpret_cast<const unsigned char*>(password);
  for (int i = 0; i < 8; ++i) {
    const unsigned char c = *p;
    key[i] = static_cast<uint8_t>(c << 1);
    if (c != 0) ++p;
  }
  SaltedDesSetKey(key);
  platform::SecureZero(key, sizeof key);
  // The second setting character is read only when the first is not the terminator.
  const auto* s = reinterpret_cast<const unsigned char*>(setting);
  unsigned char chars[2];
  chars[0] = s[0] != 0 ? s[0] : '.';
  chars[1] = s[0] != 0 && s[1] != 0 ? s[1] : '.';
  const uint32_t salt = DecodeCryptChar(chars[1]) * 64 + DecodeCryptChar(chars[0]);
  crypt_result[0] = static_cast<char>(chars[0]);
  crypt_result[1] = static_cast<char>(chars[1]);
  uint8_t block[8] = {};
  SaltedDesCipher(block, block, salt, 25);
  int at = 2;
  for (int group = 0; group < 2; ++group) {
    const uint32_t v = (static_cast<uint32_t>(block[3 * group]) << 16) |
                       (static_cast<uint32_t>(block[3 * group + 1]) << 8) | block[3 * group + 2];
    for (int k = 3; k >= 0; --k) crypt_result[at++] = kCryptAlphabet[(v >> (6 * k)) & 63];
  }
  const uint32_t tail = ((static_cast<uint32_t>(block[6]) << 8) | block[7]) << 2;
  for (int k = 2; k >= 0; --k) crypt_result[at++] = kCryptAlphabet[(tail >> (6 * k)) & 63];
  crypt_result[13] = '\0';
  platform::SecureZero(salted_schedule, sizeof salted_schedule);
  return crypt_result;
}

}  // namespace velmora::crypto
