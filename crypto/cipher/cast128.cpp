// CAST-128 key schedule and block operations.
#include "crypto/cipher/cast128.h"

#include <cstring>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// B returns byte n (0 = most significant of w[0]) of a four-word array.
inline uint32_t B(const uint32_t* w, int n) { return (w[n >> 2] >> (24 - 8 * (n & 3))) & 255; }

inline uint32_t Rotl(uint32_t x, uint32_t n) {
  n &= 31;
  return (x << n) | (x >> ((32 - n) & 31));  // n = 0 gives x | x
}

const uint32_t* const S5 = kCast128S5;
const uint32_t* const S6 = kCast128S6;
const uint32_t* const S7 = kCast128S7;
const uint32_t* const S8 = kCast128S8;

// The two halves of a pass: z from x, then x from z.
void ZFromX(const uint32_t* x, uint32_t* z) {
  z[0] = x[0] ^ S5[B(x, 0xD)] ^ S6[B(x, 0xF)] ^ S7[B(x, 0xC)] ^ S8[B(x, 0xE)] ^ S7[B(x, 0x8)];
  z[1] = x[2] ^ S5[B(z, 0x0)] ^ S6[B(z, 0x2)] ^ S7[B(z, 0x1)] ^ S8[B(z, 0x3)] ^ S8[B(x, 0xA)];
  z[2] = x[3] ^ S5[B(z, 0x7)] ^ S6[B(z, 0x6)] ^ S7[B(z, 0x5)] ^ S8[B(z, 0x4)] ^ S5[B(x, 0x9)];
  z[3] = x[1] ^ S5[B(z, 0xA)] ^ S6[B(z, 0x9)] ^ S7[B(z, 0xB)] ^ S8[B(z, 0x8)] ^ S6[B(x, 0xB)];
}

void XFromZ(uint32_t* x, const uint32_t* z) {
  x[0] = z[2] ^ S5[B(z, 0x5)] ^ S6[B(z, 0x7)] ^ S7[B(z, 0x4)] ^ S8[B(z, 0x6)] ^ S7[B(z, 0x0)];
  x[1] = z[0] ^ S5[B(x, 0x0)] ^ S6[B(x, 0x2)] ^ S7[B(x, 0x1)] ^ S8[B(x, 0x3)] ^ S8[B(z, 0x2)];
  x[2] = z[1] ^ S5[B(x, 0x7)] ^ S6[B(x, 0x6)] ^ S7[B(x, 0x5)] ^ S8[B(x, 0x4)] ^ S5[B(z, 0x1)];
  x[3] = z[3] ^ S5[B(x, 0xA)] ^ S6[B(x, 0x9)] ^ S7[B(x, 0xB)] ^ S8[B(x, 0x8)] ^ S6[B(z, 0x3)];
}

// Four subkeys from w: the first two groups of a pass pick bytes one way, the last two the other.
void KeysA(const uint32_t* w, uint32_t* k) {
  k[0] = S5[B(w, 0x8)] ^ S6[B(w, 0x9)] ^ S7[B(w, 0x7)] ^ S8[B(w, 0x6)];
  k[1] = S5[B(w, 0xA)] ^ S6[B(w, 0xB)] ^ S7[B(w, 0x5)] ^ S8[B(w, 0x4)];
  k[2] = S5[B(w, 0xC)] ^ S6[B(w, 0xD)] ^ S7[B(w, 0x3)] ^ S8[B(w, 0x2)];
  k[3] = S5[B(w, 0xE)] ^ S6[B(w, 0xF)] ^ S7[B(w, 0x1)] ^ S8[B(w, 0x0)];
}

void KeysB(const uint32_t* w, uint32_t* k) {
  k[0] = S5[B(w, 0x3)] ^ S6[B(w, 0x2)] ^ S7[B(w, 0xC)] ^ S8[B(w, 0xD)];
  k[1] = S5[B(w, 0x1)] ^ S6[B(w, 0x0)] ^ S7[B(w, 0xE)] ^ S8[B(w, 0xF)];
  k[2] = S5[B(w, 0x7)] ^ S6[B(w, 0x6)] ^ S7[B(w, 0x8)] ^ S8[B(w, 0x9)];
  k[3] = S5[B(w, 0x5)] ^ S6[B(w, 0x4)] ^ S7[B(w, 0xA)] ^ S8[B(w, 0xB)];
}

}  // namespace

void Cast128KeyPass(uint32_t* x, uint32_t* z, uint32_t* k) {
  ZFromX(x, z);
  KeysA(z, k);
  k[0] ^= S5[B(z, 0x2)];
  k[1] ^= S6[B(z, 0x6)];
  k[2] ^= S7[B(z, 0x9)];
  k[3] ^= S8[B(z, 0xC)];
  XFromZ(x, z);
  KeysB(x, k + 4);
  k[4] ^= S5[B(x, 0x8)];
  k[5] ^= S6[B(x, 0xD)];
  k[6] ^= S7[B(x, 0x3)];
  k[7] ^= S8[B(x, 0x7)];
  ZFromX(x, z);
  KeysB(z, k + 8);
  k[8] ^= S5[B(z, 0x9)];
  k[9] ^= S6[B(z, 0xC)];
  k[10] ^= S7[B(z, 0x2)];
  k[11] ^= S8[B(z, 0x6)];
  XFromZ(x, z);
  KeysA(x, k + 12);
  k[12] ^= S5[B(x, 0x3)];
  k[13] ^= S6[B(x, 0x7)];
  k[14] ^= S7[B(x, 0x8)];
  k[15] ^= S8[B(x, 0xD)];
}

int Cast128SetKey(const uint8_t* key, int32_t key_length, uint32_t* km, uint32_t* kr, int32_t* rounds) {
  *rounds = key_length < 11 ? 12 : 16;
  uint8_t padded[16] = {};
  std::memcpy(padded, key, static_cast<size_t>(key_length < 16 ? key_length : 16));
  uint32_t x[4], z[4], second[16];
  for (int i = 0; i < 4; ++i) x[i] = core::ReadUInt32BE(padded + 4 * i);
  Cast128KeyPass(x, z, km);
  Cast128KeyPass(x, z, second);
  for (int i = 0; i < 16; ++i) kr[i] = second[i] & 31;
  platform::SecureZero(padded, sizeof padded);
  platform::SecureZero(x, sizeof x);
  platform::SecureZero(z, sizeof z);
  platform::SecureZero(second, sizeof second);
  return 0;
}

namespace {

inline uint32_t F1(uint32_t data, uint32_t km, uint32_t kr) {
  const uint32_t i = Rotl(km + data, kr);
  return ((kCast128S1[i >> 24] ^ kCast128S2[(i >> 16) & 255]) - kCast128S3[(i >> 8) & 255]) + kCast128S4[i & 255];
}

inline uint32_t F2(uint32_t data, uint32_t km, uint32_t kr) {
  const uint32_t i = Rotl(km ^ data, kr);
  return ((kCast128S1[i >> 24] - kCast128S2[(i >> 16) & 255]) + kCast128S3[(i >> 8) & 255]) ^ kCast128S4[i & 255];
}

inline uint32_t F3(uint32_t data, uint32_t km, uint32_t kr) {
  const uint32_t i = Rotl(km - data, kr);
  return ((kCast128S1[i >> 24] + kCast128S2[(i >> 16) & 255]) ^ kCast128S3[(i >> 8) & 255]) - kCast128S4[i & 255];
}

template <uint32_t (*F)(uint32_t, uint32_t, uint32_t)>
inline void Round(uint32_t& l, uint32_t& r, const uint32_t* km, const uint32_t* kr, int i) {
  const uint32_t t = l ^ F(r, km[i], kr[i]);
  l = r;
  r = t;
}

}  // namespace

uint32_t Cast128Round(int32_t type, uint32_t data, uint32_t km, uint32_t kr) {
  return type == 0 ? F1(data, km, kr) : type == 1 ? F2(data, km, kr) : F3(data, km, kr);
}

int Cast128EncryptBlock(const uint32_t* km, const uint32_t* kr, int32_t rounds, const uint8_t* in, uint8_t* out) {
  uint32_t l = core::ReadUInt32BE(in);
  uint32_t r = core::ReadUInt32BE(in + 4);
  for (int i = 0; i < 12; i += 3) {
    Round<F1>(l, r, km, kr, i);
    Round<F2>(l, r, km, kr, i + 1);
    Round<F3>(l, r, km, kr, i + 2);
  }
  if (rounds > 12) {
    Round<F1>(l, r, km, kr, 12);
    Round<F2>(l, r, km, kr, 13);
    Round<F3>(l, r, km, kr, 14);
    Round<F1>(l, r, km, kr, 15);
  }
  core::PutUIntBigEndian(r, out, 0, 4);
  core::PutUIntBigEndian(l, out, 4, 4);
  return 0;
}

int Cast128DecryptBlock(const uint32_t* km, const uint32_t* kr, int32_t rounds, const uint8_t* in, uint8_t* out) {
  uint32_t l = core::ReadUInt32BE(in);
  uint32_t r = core::ReadUInt32BE(in + 4);
  if (rounds > 12) {
    Round<F1>(l, r, km, kr, 15);
    Round<F3>(l, r, km, kr, 14);
    Round<F2>(l, r, km, kr, 13);
    Round<F1>(l, r, km, kr, 12);
  }
  for (int i = 9; i >= 0; i -= 3) {
    Round<F3>(l, r, km, kr, i + 2);
    Round<F2>(l, r, km, kr, i + 1);
    Round<F1>(l, r, km, kr, i);
  }
  core::PutUIntBigEndian(r, out, 0, 4);
  core::PutUIntBigEndian(l, out, 4, 4);
  return 0;
}

}  // namespace velmora::crypto
