// GF(2^255 - 19) in ten signed limbs of radix 2^25.5.
#include "crypto/curve25519/curve25519_field.h"

#include <cstring>

namespace velmora::crypto {
namespace {

constexpr int Width(int i) { return (i & 1) != 0 ? 25 : 26; }

// Centring carry out of limb i: leaves limb i in [-2^(w-1), 2^(w-1)); the carry out of limb 9 re-enters
// limb 0 times 19 (2^255 = 19 mod p).
inline void Carry(int64_t h[10], int i) {
  const int w = Width(i);
  const int64_t c = (h[i] + (int64_t{1} << (w - 1))) >> w;
  h[i] -= c * (int64_t{1} << w);
  if (i == 9) {
    h[0] += c * 19;
  } else {
    h[i + 1] += c;
  }
}

// The carry order after a multiplication: two interleaved chains, then limb 9 into 0 and 0 once more.
inline void CarryProduct(Fe25519& out, int64_t h[10]) {
  static constexpr int kOrder[] = {0, 4, 1, 5, 2, 6, 3, 7, 4, 8, 9, 0};
#pragma GCC unroll 12
  for (int i : kOrder) Carry(h, i);
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) out.h[i] = static_cast<int32_t>(h[i]);
}

// The carry order after decoding or a multiplication by a small constant.
inline void CarryLoaded(Fe25519& out, int64_t h[10]) {
  static constexpr int kOrder[] = {9, 1, 3, 5, 7, 0, 2, 4, 6, 8};
#pragma GCC unroll 10
  for (int i : kOrder) Carry(h, i);
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) out.h[i] = static_cast<int32_t>(h[i]);
}

// Column sums of f * g: products landing at or past bit 255 fold back times 19; a product of two odd
// limbs stands half a bit high in this radix and is doubled.
inline void MulColumns(int64_t col[10], const Fe25519& f, const Fe25519& g) {
  int64_t g19[10];
  int64_t f2[10];
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
    g19[i] = int64_t{19} * g.h[i];
    f2[i] = (i & 1) != 0 ? int64_t{2} * f.h[i] : int64_t{f.h[i]};
  }
#pragma GCC unroll 10
  for (int k = 0; k < 10; ++k) {
    int64_t sum = 0;
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
      const int j = (k - i + 10) % 10;
      const int64_t fi = ((i & 1) != 0 && (j & 1) != 0) ? f2[i] : int64_t{f.h[i]};
      const int64_t gj = (i + j >= 10) ? g19[j] : int64_t{g.h[j]};
      sum += fi * gj;
    }
    col[k] = sum;
  }
}

// Column sums of f^2 with the symmetric products merged (cross terms doubled).
inline void SqColumns(int64_t col[10], const Fe25519& f) {
#pragma GCC unroll 10
  for (int k = 0; k < 10; ++k) {
    int64_t sum = 0;
#pragma GCC unroll 10
    for (int i = 0; i < 10; ++i) {
      const int j = (k - i + 10) % 10;
      if (j < i) continue;
      int64_t factor = (i == j) ? 1 : 2;
      if ((i & 1) != 0 && (j & 1) != 0) factor *= 2;
      if (i + j >= 10) factor *= 19;
      sum += int64_t{f.h[i]} * (factor * f.h[j]);
    }
    col[k] = sum;
  }
}

inline int64_t Load3(const uint8_t* p) {
  return int64_t{p[0]} | (int64_t{p[1]} << 8) | (int64_t{p[2]} << 16);
}
inline int64_t Load4(const uint8_t* p) { return Load3(p) | (int64_t{p[3]} << 24); }

// SqTimes squares n times.
inline void SqTimes(Fe25519& out, const Fe25519& in, int n) {
  Fe25519Sq(out, in);
  for (int i = 1; i < n; ++i) Fe25519Sq(out, out);
}

// SqMul: out = in^(2^n) * m.
inline void SqMul(Fe25519& out, const Fe25519& in, int n, const Fe25519& m) {
  Fe25519 t;
  SqTimes(t, in, n);
  Fe25519Mul(out, t, m);
}

// PowChain computes z^(2^250 - 1) and z^11 (the shared head of inversion and square roots); each zN
// below is z^(2^N - 1).
void PowChain(Fe25519& z250, Fe25519& z11, const Fe25519& z) {
  Fe25519 z2, z9, z5, z10, z20, z40, z50, z100, z200;
  Fe25519Sq(z2, z);
  SqMul(z9, z2, 2, z);
  Fe25519Mul(z11, z2, z9);
  SqMul(z5, z11, 1, z9);
  SqMul(z10, z5, 5, z5);
  SqMul(z20, z10, 10, z10);
  SqMul(z40, z20, 20, z20);
  SqMul(z50, z40, 10, z10);
  SqMul(z100, z50, 50, z50);
  SqMul(z200, z100, 100, z100);
  SqMul(z250, z200, 50, z50);
}

struct Constants {
  Fe25519 d, d2, sqrtm1;
  Constants() {
    Fe25519 num, den, one;
    Fe25519Zero(num);
    num.h[0] = -121665;
    Fe25519Zero(den);
    den.h[0] = 121666;
    Fe25519Invert(den, den);
    Fe25519Mul(d, num, den);
    Fe25519One(one);
    Fe25519Add(d2, d, d);
    Fe25519Mul(d2, d2, one);
    // (p - 1) / 4 = 2 (2^252 - 3) + 1.
    Fe25519 two;
    Fe25519Zero(two);
    two.h[0] = 2;
    Fe25519Pow22523(sqrtm1, two);
    Fe25519Sq(sqrtm1, sqrtm1);
    Fe25519Mul(sqrtm1, sqrtm1, two);
  }
};

const Constants& TheConstants() {
  static const Constants constants;
  return constants;
}

}  // namespace

void Fe25519Zero(Fe25519& h) { std::memset(h.h, 0, sizeof h.h); }

void Fe25519One(Fe25519& h) {
  Fe25519Zero(h);
  h.h[0] = 1;
}

void Fe25519Copy(Fe25519& h, const Fe25519& f) { h = f; }

void Fe25519Add(Fe25519& h, const Fe25519& f, const Fe25519& g) {
  for (int i = 0; i < 10; ++i) h.h[i] = f.h[i] + g.h[i];
}

void Fe25519Sub(Fe25519& h, const Fe25519& f, const Fe25519& g) {
  for (int i = 0; i < 10; ++i) h.h[i] = f.h[i] - g.h[i];
}

void Fe25519Neg(Fe25519& h, const Fe25519& f) {
  for (int i = 0; i < 10; ++i) h.h[i] = -f.h[i];
}

void Fe25519CMov(Fe25519& f, const Fe25519& g, uint32_t b) {
  const int32_t mask = -static_cast<int32_t>(b);
  for (int i = 0; i < 10; ++i) f.h[i] ^= (f.h[i] ^ g.h[i]) & mask;
}

void Fe25519CSwap(Fe25519& f, Fe25519& g, uint32_t b) {
  const int32_t mask = -static_cast<int32_t>(b);
  for (int i = 0; i < 10; ++i) {
    const int32_t x = (f.h[i] ^ g.h[i]) & mask;
    f.h[i] ^= x;
    g.h[i] ^= x;
  }
}

void Fe25519Mul(Fe25519& h, const Fe25519& f, const Fe25519& g) {
  int64_t col[10];
  MulColumns(col, f, g);
  CarryProduct(h, col);
}

void Fe25519Sq(Fe25519& h, const Fe25519& f) {
  int64_t col[10];
  SqColumns(col, f);
  CarryProduct(h, col);
}

void Fe25519Sq2(Fe25519& h, const Fe25519& f) {
  int64_t col[10];
  SqColumns(col, f);
  for (int i = 0; i < 10; ++i) col[i] += col[i];
  CarryProduct(h, col);
}

void Fe25519Mul121666(Fe25519& h, const Fe25519& f) {
  int64_t col[10];
  for (int i = 0; i < 10; ++i) col[i] = int64_t{f.h[i]} * 121666;
  CarryLoaded(h, col);
}

void Fe25519Invert(Fe25519& out, const Fe25519& z) {
  Fe25519 z250, z11;
  PowChain(z250, z11, z);
  SqMul(out, z250, 5, z11);  // z^(2^255 - 32) * z^11
}

void Fe25519Pow22523(Fe25519& out, const Fe25519& z) {
  Fe25519 z250, z11;
  PowChain(z250, z11, z);
  SqMul(out, z250, 2, z);  // z^(2^252 - 4) * z
}

int Fe25519FromBytes(Fe25519& h, const uint8_t* s, uint32_t length) {
  if (length < 32) return kFieldShortArray;
  int64_t l[10] = {
      Load4(s),           Load3(s + 4) << 6,  Load3(s + 7) << 5,  Load3(s + 10) << 3,
      Load3(s + 13) << 2, Load4(s + 16),      Load3(s + 20) << 7, Load3(s + 23) << 5,
      Load3(s + 26) << 4, (Load3(s + 29) & 0x7FFFFF) << 2,
  };
  CarryLoaded(h, l);
  return 0;
}

int Fe25519ToBytes(uint8_t* s, uint32_t room, const Fe25519& f) {
  if (room < 32) return kFieldShortArray;
  int32_t h[10];
  for (int i = 0; i < 10; ++i) h[i] = f.h[i];
  // q is the quotient of the value by p, in {-1, 0, 1}; subtracting q p (adding 19 q and dropping
  // the carry out of bit 255) leaves the representative in [0, p).
  int32_t q = (19 * h[9] + (int32_t{1} << 24)) >> 25;
  for (int i = 0; i < 10; ++i) q = (h[i] + q) >> Width(i);
  h[0] += 19 * q;
  for (int i = 0; i < 9; ++i) {
    const int32_t c = h[i] >> Width(i);
    h[i + 1] += c;
    h[i] -= c * (int32_t{1} << Width(i));
  }
  h[9] &= (int32_t{1} << 25) - 1;
  uint64_t acc = 0;
  int bits = 0;
  int at = 0;
  for (int i = 0; i < 10; ++i) {
    acc |= static_cast<uint64_t>(static_cast<uint32_t>(h[i])) << bits;
    bits += Width(i);
    for (; bits >= 8; bits -= 8, acc >>= 8) s[at++] = static_cast<uint8_t>(acc);
  }
  s[at] = static_cast<uint8_t>(acc);  // the last 7 bits
  return 0;
}

int Fe25519IsNegative(const Fe25519& f) {
  uint8_t s[32];
  Fe25519ToBytes(s, sizeof s, f);
  return s[0] & 1;
}

int Fe25519IsNonZero(const Fe25519& f) {
  uint8_t s[32];
  Fe25519ToBytes(s, sizeof s, f);
  for (uint8_t byte : s) {
    if (byte != 0) return 1;
  }
  return 0;
}

const Fe25519& Ed25519D() { return TheConstants().d; }
const Fe25519& Ed25519D2() { return TheConstants().d2; }
const Fe25519& Fe25519SqrtM1() { return TheConstants().sqrtm1; }

// The radix-2^51 field.
namespace {

using u128 = unsigned __int128;
constexpr uint64_t kMask51 = (uint64_t{1} << 51) - 1;

// W: the 128-bit product of two limbs.
inline u128 W(uint64_t a, uint64_t b) { return static_cast<u128>(a) * b; }

// Carry51: the column sums t of a product or a small multiple into limbs below 2^52 (limb 1) and
// 2^51 (the others); the carry out of limb 4 re-enters limb 0 times 19.
inline void Carry51(Fe51& h, u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
  t1 += static_cast<uint64_t>(t0 >> 51);
  t2 += static_cast<uint64_t>(t1 >> 51);
  t3 += static_cast<uint64_t>(t2 >> 51);
  t4 += static_cast<uint64_t>(t3 >> 51);
  const u128 r0 = (static_cast<uint64_t>(t0) & kMask51) + (t4 >> 51) * 19;
  h.v[0] = static_cast<uint64_t>(r0) & kMask51;
  h.v[1] = (static_cast<uint64_t>(t1) & kMask51) + static_cast<uint64_t>(r0 >> 51);
  h.v[2] = static_cast<uint64_t>(t2) & kMask51;
  h.v[3] = static_cast<uint64_t>(t3) & kMask51;
  h.v[4] = static_cast<uint64_t>(t4) & kMask51;
}

}  // namespace

void Fe51Zero(Fe51& h) { std::memset(h.v, 0, sizeof h.v); }

void Fe51One(Fe51& h) {
  Fe51Zero(h);
  h.v[0] = 1;
}

void Fe51Add(Fe51& h, const Fe51& f, const Fe51& g) {
  for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + g.v[i];
}

void Fe51Sub(Fe51& h, const Fe51& f, const Fe51& g) {
  // f + 2p - g keeps every limb positive for g below 2^52.
  static constexpr uint64_t kTwoP[5] = {0xFFFFFFFFFFFDAu, 0xFFFFFFFFFFFFEu, 0xFFFFFFFFFFFFEu, 0xFFFFFFFFFFFFEu,
                                        0xFFFFFFFFFFFFEu};
  for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + kTwoP[i] - g.v[i];
}

void Fe51Mul(Fe51& h, const Fe51& f, const Fe51& g) {
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
  const uint64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
  const u128 t0 = W(f0, g0) + W(f1, g4_19) + W(f2, g3_19) + W(f3, g2_19) + W(f4, g1_19);
  const u128 t1 = W(f0, g1) + W(f1, g0) + W(f2, g4_19) + W(f3, g3_19) + W(f4, g2_19);
  const u128 t2 = W(f0, g2) + W(f1, g1) + W(f2, g0) + W(f3, g4_19) + W(f4, g3_19);
  const u128 t3 = W(f0, g3) + W(f1, g2) + W(f2, g1) + W(f3, g0) + W(f4, g4_19);
  const u128 t4 = W(f0, g4) + W(f1, g3) + W(f2, g2) + W(f3, g1) + W(f4, g0);
  Carry51(h, t0, t1, t2, t3, t4);
}

void Fe51Sq(Fe51& h, const Fe51& f) {
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t d0 = 2 * f0, d1 = 2 * f1, d2 = 2 * f2;
  const uint64_t f3_19 = 19 * f3, f4_19 = 19 * f4, d4_19 = 2 * f4_19;
  const u128 t0 = W(f0, f0) + W(d1, f4_19) + W(d2, f3_19);
  const u128 t1 = W(d0, f1) + W(d2, f4_19) + W(f3, f3_19);
  const u128 t2 = W(d0, f2) + W(f1, f1) + W(f3, d4_19);
  const u128 t3 = W(d0, f3) + W(d1, f2) + W(f4, f4_19);
  const u128 t4 = W(d0, f4) + W(d1, f3) + W(f2, f2);
  Carry51(h, t0, t1, t2, t3, t4);
}

void Fe51Mul121666(Fe51& h, const Fe51& f) {
  constexpr uint64_t k = 121666;
  Carry51(h, W(f.v[0], k), W(f.v[1], k), W(f.v[2], k), W(f.v[3], k), W(f.v[4], k));
}

void Fe51CSwap(Fe51& f, Fe51& g, uint32_t b) {
  const uint64_t mask = 0 - static_cast<uint64_t>(b);
  for (int i = 0; i < 5; ++i) {
    const uint64_t x = (f.v[i] ^ g.v[i]) & mask;
    f.v[i] ^= x;
    g.v[i] ^= x;
  }
}

namespace {

void Fe51SqMul(Fe51& out, const Fe51& in, int n, const Fe51& m) {
  Fe51 t;
  Fe51Sq(t, in);
  for (int i = 1; i < n; ++i) Fe51Sq(t, t);
  Fe51Mul(out, t, m);
}

inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

void Fe51Invert(Fe51& out, const Fe51& z) {
  // The chain of PowChain: each zN is z^(2^N - 1); then z^(2^255 - 32) * z^11 = z^(p - 2).
  Fe51 z2, z9, z11, z5, z10, z20, z40, z50, z100, z200, z250;
  Fe51Sq(z2, z);
  Fe51SqMul(z9, z2, 2, z);
  Fe51Mul(z11, z2, z9);
  Fe51SqMul(z5, z11, 1, z9);
  Fe51SqMul(z10, z5, 5, z5);
  Fe51SqMul(z20, z10, 10, z10);
  Fe51SqMul(z40, z20, 20, z20);
  Fe51SqMul(z50, z40, 10, z10);
  Fe51SqMul(z100, z50, 50, z50);
  Fe51SqMul(z200, z100, 100, z100);
  Fe51SqMul(z250, z200, 50, z50);
  Fe51SqMul(out, z250, 5, z11);
}

void Fe51FromBytes(Fe51& h, const uint8_t* s) {
  const uint64_t w0 = LoadLe64(s), w1 = LoadLe64(s + 8), w2 = LoadLe64(s + 16), w3 = LoadLe64(s + 24);
  h.v[0] = w0 & kMask51;
  h.v[1] = ((w0 >> 51) | (w1 << 13)) & kMask51;
  h.v[2] = ((w1 >> 38) | (w2 << 26)) & kMask51;
  h.v[3] = ((w2 >> 25) | (w3 << 39)) & kMask51;
  h.v[4] = (w3 >> 12) & kMask51;
}

void Fe51ToBytes(uint8_t* s, const Fe51& f) {
  uint64_t h[5] = {f.v[0], f.v[1], f.v[2], f.v[3], f.v[4]};
  // Two carry passes leave the value below 2^255 + 2^52; q = 1 exactly when it is p or more, and
  // adding 19 q then dropping bit 255 subtracts q p.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      h[i + 1] += h[i] >> 51;
      h[i] &= kMask51;
    }
    h[0] += 19 * (h[4] >> 51);
    h[4] &= kMask51;
  }
  uint64_t q = (h[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (h[i] + q) >> 51;
  h[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    h[i + 1] += h[i] >> 51;
    h[i] &= kMask51;
  }
  h[4] &= kMask51;
  const uint64_t w[4] = {h[0] | (h[1] << 51), (h[1] >> 13) | (h[2] << 38), (h[2] >> 26) | (h[3] << 25),
                         (h[3] >> 39) | (h[4] << 12)};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 8; ++j) s[8 * i + j] = static_cast<uint8_t>(w[i] >> (8 * j));
  }
}

}  // namespace velmora::crypto
