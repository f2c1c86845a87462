// Reduction modulo L with 21-bit limbs: a limb at position 12 or above (weight 2^(21 k) >= 2^252) is
// folded down with 2^252 = -(L - 2^252) mod L, whose value spans six signed 21-bit limbs.
#include "crypto/curve25519/ed25519_scalar.h"

#include <cstring>

namespace velmora::crypto {
namespace {

constexpr int64_t kMask21 = (int64_t{1} << 21) - 1;

inline int64_t Load4(const uint8_t* p) {
  return int64_t{p[0]} | (int64_t{p[1]} << 8) | (int64_t{p[2]} << 16) | (int64_t{p[3]} << 24);
}

// Loads limbs 21-bit limbs from bytes; the top limb takes every remaining bit.
inline void LoadLimbs(int64_t* s, const uint8_t* bytes, int limbs) {
  for (int i = 0; i < limbs; ++i) {
    const int bit = 21 * i;
    const int64_t word = Load4(bytes + bit / 8) >> (bit % 8);
    s[i] = i == limbs - 1 ? word : (word & kMask21);
  }
}

inline void Fold(int64_t* s, int k) {
  s[k - 12] += s[k] * 666643;
  s[k - 11] += s[k] * 470296;
  s[k - 10] += s[k] * 654183;
  s[k - 9] -= s[k] * 997805;
  s[k - 8] += s[k] * 136657;
  s[k - 7] -= s[k] * 683901;
  s[k] = 0;
}

inline void CarryCentred(int64_t* s, int i) {
  const int64_t c = (s[i] + (int64_t{1} << 20)) >> 21;
  s[i + 1] += c;
  s[i] -= c * (int64_t{1} << 21);
}

inline void CarryPlain(int64_t* s, int i) {
  const int64_t c = s[i] >> 21;
  s[i + 1] += c;
  s[i] -= c * (int64_t{1} << 21);
}

// ReduceLimbs takes 24 limbs (s[23] included) to 12 limbs below L and packs them into out.
void ReduceLimbs(int64_t* s, uint8_t* out) {
  for (int k = 23; k >= 18; --k) Fold(s, k);
  for (int i = 6; i <= 16; i += 2) CarryCentred(s, i);
  for (int i = 7; i <= 15; i += 2) CarryCentred(s, i);
  for (int k = 17; k >= 12; --k) Fold(s, k);
  for (int i = 0; i <= 10; i += 2) CarryCentred(s, i);
  for (int i = 1; i <= 11; i += 2) CarryCentred(s, i);
  Fold(s, 12);
  for (int i = 0; i <= 11; ++i) CarryPlain(s, i);
  Fold(s, 12);
  for (int i = 0; i <= 10; ++i) CarryPlain(s, i);
  uint64_t acc = 0;
  int bits = 0;
  int at = 0;
  for (int i = 0; i < 12; ++i) {
    acc |= static_cast<uint64_t>(s[i]) << bits;
    bits += 21;
    for (; bits >= 8; bits -= 8, acc >>= 8) out[at++] = static_cast<uint8_t>(acc);
  }
  for (; at < 32; acc >>= 8) out[at++] = static_cast<uint8_t>(acc);
}

}  // namespace

int Ed25519ScalarReduce(uint8_t* s, uint32_t length) {
  if (length < 64) return 0x90001;
  int64_t limbs[24];
  LoadLimbs(limbs, s, 24);
  ReduceLimbs(limbs, s);
  return 0;
}

int Ed25519ScalarMulAdd(uint8_t* s, uint32_t room, const uint8_t* a, uint32_t a_length, const uint8_t* b,
                        uint32_t b_length, const uint8_t* c, uint32_t c_length) {
  if (room < 32 || a_length < 32 || b_length < 32 || c_length < 32) return 0x90001;
  int64_t al[12], bl[12], cl[12];
  LoadLimbs(al, a, 12);
  LoadLimbs(bl, b, 12);
  LoadLimbs(cl, c, 12);
  int64_t t[24] = {};
  for (int k = 0; k < 12; ++k) t[k] = cl[k];
  for (int i = 0; i < 12; ++i) {
    for (int j = 0; j < 12; ++j) t[i + j] += al[i] * bl[j];
  }
  for (int i = 0; i <= 22; i += 2) CarryCentred(t, i);
  for (int i = 1; i <= 21; i += 2) CarryCentred(t, i);
  ReduceLimbs(t, s);
  return 0;
}

}  // namespace velmora::crypto
