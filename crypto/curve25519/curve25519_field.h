// Arithmetic in GF(2^255 - 19): ten signed limbs in radix 2^25.5 (bit positions 0, 26, 51, 77, 102, 128,
// 153, 179, 204, 230; even limbs 26 bits, odd limbs 25), 64-bit intermediate products. Every operation
// works on caller-held values, never allocates and runs without data-dependent branches or memory
// indices, except Fe25519IsNonZero (public data only). Outputs come first and may alias inputs.
#pragma once

#include <cstdint>
#include <cstring>

namespace velmora::crypto {

// Result code of the byte conversions when fewer than 32 bytes are given.
constexpr int kFieldShortArray = 0x90001;

struct Fe25519 {
  int32_t h[10];
};

void Fe25519Zero(Fe25519& h);
void Fe25519One(Fe25519& h);
void Fe25519Copy(Fe25519& h, const Fe25519& f);
// Add, Sub and Neg work limb by limb without carrying.
void Fe25519Add(Fe25519& h, const Fe25519& f, const Fe25519& g);
void Fe25519Sub(Fe25519& h, const Fe25519& f, const Fe25519& g);
void Fe25519Neg(Fe25519& h, const Fe25519& f);
// CMov sets f = g when b is 1 and keeps f when b is 0; CSwap exchanges f and g when b is 1.
void Fe25519CMov(Fe25519& f, const Fe25519& g, uint32_t b);
void Fe25519CSwap(Fe25519& f, Fe25519& g, uint32_t b);
void Fe25519Mul(Fe25519& h, const Fe25519& f, const Fe25519& g);
void Fe25519Sq(Fe25519& h, const Fe25519& f);
// Sq2: h = 2 f^2.
void Fe25519Sq2(Fe25519& h, const Fe25519& f);
void Fe25519Mul121666(Fe25519& h, const Fe25519& f);
// Invert: z^(p-2), which is 0 for z = 0.
void Fe25519Invert(Fe25519& out, const Fe25519& z);
// Pow22523: z^(2^252 - 3), the power used for square roots.
void Fe25519Pow22523(Fe25519& out, const Fe25519& z);
// FromBytes reads the first 32 little-endian bytes, ignoring bit 255 (values of p and above stand for
// themselves modulo p); ToBytes writes the canonical 32-byte encoding. 0, or kFieldShortArray when
// fewer than 32 bytes are given (the output is then untouched).
int Fe25519FromBytes(Fe25519& h, const uint8_t* bytes, uint32_t length);
int Fe25519ToBytes(uint8_t* bytes, uint32_t room, const Fe25519& h);
// IsNegative: the low bit of the encoding (0 or 1). IsNonZero: 1 when the encoding has a nonzero byte;
// it stops at the first one, so it is for public values only.
int Fe25519IsNegative(const Fe25519& f);
int Fe25519IsNonZero(const Fe25519& f);

// The curve constants d = -121665/121666, 2d and sqrt(-1) = 2^((p-1)/4), computed from their
// definitions on first use (thread-safe) and held in the carried limb form.
const Fe25519& Ed25519D();
const Fe25519& Ed25519D2();
const Fe25519& Fe25519SqrtM1();

// Fe51: the same field in five unsigned limbs of radix 2^51 with 128-bit products, the form the X25519
// ladder runs on. Mul, Sq, Mul121666 and FromBytes leave every limb below 2^52; Add leaves them below
// 2^53 and its result may only go into Mul, Sq or Mul121666; Sub takes operands with limbs below 2^52.
// All constant time; outputs may alias inputs.
struct Fe51 {
  uint64_t v[5];
};

// Invert: z^(p-2), which is 0 for z = 0.
void Fe51Invert(Fe51& out, const Fe51& z);
// FromBytes reads 32 little-endian bytes, ignoring bit 255; ToBytes writes the canonical encoding.
void Fe51FromBytes(Fe51& h, const uint8_t* bytes);
void Fe51ToBytes(uint8_t* bytes, const Fe51& h);

// The ring operations are inline so that the ladder runs without calls.
namespace fe51_detail {
using u128 = unsigned __int128;
inline constexpr uint64_t kMask51 = (uint64_t{1} << 51) - 1;

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

}  // namespace fe51_detail

inline void Fe51Zero(Fe51& h) { std::memset(h.v, 0, sizeof h.v); }

inline void Fe51One(Fe51& h) {
  Fe51Zero(h);
  h.v[0] = 1;
}

inline void Fe51Add(Fe51& h, const Fe51& f, const Fe51& g) {
  for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + g.v[i];
}

inline void Fe51Sub(Fe51& h, const Fe51& f, const Fe51& g) {
  // f + 2p - g keeps every limb positive for g below 2^52.
  static constexpr uint64_t kTwoP[5] = {0xFFFFFFFFFFFDAu, 0xFFFFFFFFFFFFEu, 0xFFFFFFFFFFFFEu, 0xFFFFFFFFFFFFEu,
                                        0xFFFFFFFFFFFFEu};
  for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + kTwoP[i] - g.v[i];
}

[[gnu::noinline]] inline void Fe51Mul(Fe51& h, const Fe51& f, const Fe51& g) {
  using fe51_detail::u128;
  using fe51_detail::W;
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
  const uint64_t g1_19 = 19 * g1, g2_19 = 19 * g2, g3_19 = 19 * g3, g4_19 = 19 * g4;
  const u128 t0 = W(f0, g0) + W(f1, g4_19) + W(f2, g3_19) + W(f3, g2_19) + W(f4, g1_19);
  const u128 t1 = W(f0, g1) + W(f1, g0) + W(f2, g4_19) + W(f3, g3_19) + W(f4, g2_19);
  const u128 t2 = W(f0, g2) + W(f1, g1) + W(f2, g0) + W(f3, g4_19) + W(f4, g3_19);
  const u128 t3 = W(f0, g3) + W(f1, g2) + W(f2, g1) + W(f3, g0) + W(f4, g4_19);
  const u128 t4 = W(f0, g4) + W(f1, g3) + W(f2, g2) + W(f3, g1) + W(f4, g0);
  fe51_detail::Carry51(h, t0, t1, t2, t3, t4);
}

[[gnu::noinline]] inline void Fe51Sq(Fe51& h, const Fe51& f) {
  using fe51_detail::u128;
  using fe51_detail::W;
  const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
  const uint64_t d0 = 2 * f0, d1 = 2 * f1, d2 = 2 * f2;
  const uint64_t f3_19 = 19 * f3, f4_19 = 19 * f4, d4_19 = 2 * f4_19;
  const u128 t0 = W(f0, f0) + W(d1, f4_19) + W(d2, f3_19);
  const u128 t1 = W(d0, f1) + W(d2, f4_19) + W(f3, f3_19);
  const u128 t2 = W(d0, f2) + W(f1, f1) + W(f3, d4_19);
  const u128 t3 = W(d0, f3) + W(d1, f2) + W(f4, f4_19);
  const u128 t4 = W(d0, f4) + W(d1, f3) + W(f2, f2);
  fe51_detail::Carry51(h, t0, t1, t2, t3, t4);
}

inline void Fe51Mul121666(Fe51& h, const Fe51& f) {
  constexpr uint64_t k = 121666;
  using fe51_detail::W;
  fe51_detail::Carry51(h, W(f.v[0], k), W(f.v[1], k), W(f.v[2], k),
          W(f.v[3], k), W(f.v[4], k));
}

inline void Fe51CSwap(Fe51& f, Fe51& g, uint32_t b) {
  const uint64_t mask = 0 - static_cast<uint64_t>(b);
  for (int i = 0; i < 5; ++i) {
    const uint64_t x = (f.v[i] ^ g.v[i]) & mask;
    f.v[i] ^= x;
    g.v[i] ^= x;
  }
}

}  // namespace velmora::crypto
