// Twofish. q0 and q1 are generated at compile time from their 4-bit tables, and M0..M3 from the MDS
// matrix over GF(2^8) with the polynomial 0x169.
#include "crypto/cipher/twofish.h"

#include <array>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr uint8_t kQt[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}},
};

constexpr uint8_t Ror4(uint8_t x) { return static_cast<uint8_t>(((x >> 1) | (x << 3)) & 15); }

constexpr std::array<uint8_t, 256> MakeQ(int which) {
  std::array<uint8_t, 256> q{};
  for (int x = 0; x < 256; ++x) {
    uint8_t a = static_cast<uint8_t>(x >> 4), b = static_cast<uint8_t>(x & 15);
    for (int step = 0; step < 2; ++step) {
      const uint8_t a1 = a ^ b;
      const uint8_t b1 = static_cast<uint8_t>((a ^ Ror4(b) ^ (8 * a)) & 15);
      a = kQt[which][2 * step][a1];
      b = kQt[which][2 * step + 1][b1];
    }
    q[x] = static_cast<uint8_t>(16 * b + a);
  }
  return q;
}

constexpr std::array<uint8_t, 256> kQ0 = MakeQ(0);
constexpr std::array<uint8_t, 256> kQ1 = MakeQ(1);
static_assert(kQ0[0] == 0xA9 && kQ0[1] == 0x67 && kQ0[2] == 0xB3 && kQ0[3] == 0xE8, "q0 starts a9 67 b3 e8");
static_assert(kQ1[0] == 0x75 && kQ1[1] == 0xF3 && kQ1[2] == 0xC6 && kQ1[3] == 0xF4, "q1 starts 75 f3 c6 f4");

constexpr uint8_t GfMul(uint8_t a, uint8_t b, uint32_t poly) {
  uint32_t r = 0, x = a;
  for (int i = 0; i < 8; ++i) {
    if (((b >> i) & 1) != 0) r ^= x;
    x <<= 1;
    if ((x & 0x100) != 0) x ^= poly;
  }
  return static_cast<uint8_t>(r);
}

constexpr uint8_t kMds[4][4] = {
    {0x01, 0xEF, 0x5B, 0x5B}, {0x5B, 0xEF, 0xEF, 0x01}, {0xEF, 0x5B, 0x01, 0xEF}, {0xEF, 0x01, 0xEF, 0x5B}};

// MakeM: MDS column c times the last permutation of byte position c (q1, q0, q1, q0).
constexpr std::array<uint32_t, 256> MakeM(int column) {
  std::array<uint32_t, 256> m{};
  for (int y = 0; y < 256; ++y) {
    const uint8_t v = column % 2 == 0 ? kQ1[y] : kQ0[y];
    uint32_t word = 0;
    for (int row = 0; row < 4; ++row) word |= static_cast<uint32_t>(GfMul(kMds[row][column], v, 0x169)) << (8 * row);
    m[y] = word;
  }
  return m;
}

constexpr std::array<uint32_t, 256> kM0 = MakeM(0);
constexpr std::array<uint32_t, 256> kM1 = MakeM(1);
constexpr std::array<uint32_t, 256> kM2 = MakeM(2);
constexpr std::array<uint32_t, 256> kM3 = MakeM(3);
static_assert(kM0[0] == 0xBCBC3275, "M0 starts 0xBCBC3275");

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint8_t Byte(uint32_t x, int n) { return static_cast<uint8_t>(x >> (8 * n)); }

// Paths runs the four byte paths of h on y[0..3] with key words l, leaving the bytes for the M tables.
void Paths(int32_t k, uint8_t* y, const uint32_t* l) {
  if (k == 4) {
    y[0] = kQ1[y[0]] ^ Byte(l[3], 0);
    y[1] = kQ0[y[1]] ^ Byte(l[3], 1);
    y[2] = kQ0[y[2]] ^ Byte(l[3], 2);
    y[3] = kQ1[y[3]] ^ Byte(l[3], 3);
  }
  if (k >= 3) {
    y[0] = kQ1[y[0]] ^ Byte(l[2], 0);
    y[1] = kQ1[y[1]] ^ Byte(l[2], 1);
    y[2] = kQ0[y[2]] ^ Byte(l[2], 2);
    y[3] = kQ0[y[3]] ^ Byte(l[2], 3);
  }
  y[0] = kQ0[kQ0[y[0]] ^ Byte(l[1], 0)] ^ Byte(l[0], 0);
  y[1] = kQ0[kQ1[y[1]] ^ Byte(l[1], 1)] ^ Byte(l[0], 1);
  y[2] = kQ1[kQ0[y[2]] ^ Byte(l[1], 2)] ^ Byte(l[0], 2);
  y[3] = kQ1[kQ1[y[3]] ^ Byte(l[1], 3)] ^ Byte(l[0], 3);
}

inline uint32_t RsStep(uint32_t r) {
  const uint32_t b = r >> 24;
  const uint32_t g2 = ((b << 1) ^ ((b & 0x80) != 0 ? 0x14D : 0)) & 0xFF;
  const uint32_t g3 = (b >> 1) ^ ((b & 1) != 0 ? 0xA6 : 0) ^ g2;
  return (r << 8) ^ (g3 << 24) ^ (g2 << 16) ^ (g3 << 8) ^ b;
}

}  // namespace

uint32_t TwofishRsEncode(uint32_t k0, uint32_t k1) {
  uint32_t r = k1;
  for (int i = 0; i < 4; ++i) r = RsStep(r);
  r ^= k0;
  for (int i = 0; i < 4; ++i) r = RsStep(r);
  return r;
}

uint32_t TwofishH(int32_t k, uint32_t x, const uint32_t* l) {
  uint8_t y[4] = {Byte(x, 0), Byte(x, 1), Byte(x, 2), Byte(x, 3)};
  Paths(k, y, l);
  return kM0[y[0]] ^ kM1[y[1]] ^ kM2[y[2]] ^ kM3[y[3]];
}

uint32_t TwofishG(const uint32_t* t, uint32_t x, int32_t offset) {
  return t[2 * Byte(x, offset & 3)] ^ t[2 * Byte(x, (offset + 1) & 3) + 1] ^
         t[512 + 2 * Byte(x, (offset + 2) & 3)] ^ t[513 + 2 * Byte(x, (offset + 3) & 3)];
}

int TwofishSetKey(const uint8_t* key, int32_t key_length, uint32_t* k, uint32_t* t) {
  const int32_t words = key_length / 8;
  uint32_t me[4] = {}, mo[4] = {}, s[4] = {};
  for (int32_t i = 0; i < words; ++i) {
    me[i] = core::ReadUInt32LE(key + 8 * i);
    mo[i] = core::ReadUInt32LE(key + 8 * i + 4);
    s[words - 1 - i] = TwofishRsEncode(me[i], mo[i]);
  }
  for (uint32_t i = 0; i < 20; ++i) {
    const uint32_t a = TwofishH(words, 2 * i * 0x01010101u, me);
    const uint32_t b = Rotl(TwofishH(words, (2 * i + 1) * 0x01010101u, mo), 8);
    k[2 * i] = a + b;
    k[2 * i + 1] = Rotl(a + 2 * b, 9);
  }
  for (uint32_t x = 0; x < 256; ++x) {
    uint8_t y[4] = {static_cast<uint8_t>(x), static_cast<uint8_t>(x), static_cast<uint8_t>(x), static_cast<uint8_t>(x)};
    Paths(words, y, s);
    t[2 * x] = kM0[y[0]];
    t[2 * x + 1] = kM1[y[1]];
    t[512 + 2 * x] = kM2[y[2]];
    t[513 + 2 * x] = kM3[y[3]];
  }
  platform::SecureZero(me, sizeof me);
  platform::SecureZero(mo, sizeof mo);
  platform::SecureZero(s, sizeof s);
  return 0;
}

int TwofishEncryptBlock(const uint32_t* k, const uint32_t* t, const uint8_t* in, uint8_t* out) {
  uint32_t x0 = core::ReadUInt32LE(in) ^ k[0];
  uint32_t x1 = core::ReadUInt32LE(in + 4) ^ k[1];
  uint32_t x2 = core::ReadUInt32LE(in + 8) ^ k[2];
  uint32_t x3 = core::ReadUInt32LE(in + 12) ^ k[3];
  for (int r = 0; r < 8; ++r) {
    const uint32_t* rk = k + 8 + 4 * r;
    uint32_t t0 = TwofishG(t, x0, 0), t1 = TwofishG(t, x1, 3);
    x2 = Rotr(x2 ^ (t0 + t1 + rk[0]), 1);
    x3 = Rotl(x3, 1) ^ (t0 + 2 * t1 + rk[1]);
    t0 = TwofishG(t, x2, 0);
    t1 = TwofishG(t, x3, 3);
    x0 = Rotr(x0 ^ (t0 + t1 + rk[2]), 1);
    x1 = Rotl(x1, 1) ^ (t0 + 2 * t1 + rk[3]);
  }
  core::PutUIntLittleEndian(x2 ^ k[4], out, 4);
  core::PutUIntLittleEndian(x3 ^ k[5], out + 4, 4);
  core::PutUIntLittleEndian(x0 ^ k[6], out + 8, 4);
  core::PutUIntLittleEndian(x1 ^ k[7], out + 12, 4);
  return 0;
}

int TwofishDecryptBlock(const uint32_t* k, const uint32_t* t, const uint8_t* in, uint8_t* out) {
  uint32_t x0 = core::ReadUInt32LE(in) ^ k[4];
  uint32_t x1 = core::ReadUInt32LE(in + 4) ^ k[5];
  uint32_t x2 = core::ReadUInt32LE(in + 8) ^ k[6];
  uint32_t x3 = core::ReadUInt32LE(in + 12) ^ k[7];
  for (int r = 0; r < 8; ++r) {
    uint32_t t0 = TwofishG(t, x0, 0), t1 = TwofishG(t, x1, 3);
    x2 = Rotl(x2, 1) ^ (t0 + t1 + k[38 - 4 * r]);
    x3 = Rotr(x3 ^ (t0 + 2 * t1 + k[39 - 4 * r]), 1);
    t0 = TwofishG(t, x2, 0);
    t1 = TwofishG(t, x3, 3);
    x0 = Rotl(x0, 1) ^ (t0 + t1 + k[36 - 4 * r]);
    x1 = Rotr(x1 ^ (t0 + 2 * t1 + k[37 - 4 * r]), 1);
  }
  core::PutUIntLittleEndian(x2 ^ k[0], out, 4);
  core::PutUIntLittleEndian(x3 ^ k[1], out + 4, 4);
  core::PutUIntLittleEndian(x0 ^ k[2], out + 8, 4);
  core::PutUIntLittleEndian(x1 ^ k[3], out + 12, 4);
  return 0;
}

}  // namespace velmora::crypto
