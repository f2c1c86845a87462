// The X25519 ladder on GF(2^255 - 19) in four full 64-bit limbs, for CPUs with BMI2: products by mulx
// (which leaves the carry flag alone, so the adc chains around it stay unbroken) into eight words,
// folded back with 2^256 = 38 (mod p). Values stay below 2^256 without being reduced further until the
// final encoding. Every operation is straight-line carry arithmetic: no branch and no memory index
// depends on the data.
#include <cstring>

#include "crypto/curve25519/curve25519_field.h"
#include "platform/memory.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VELMORA_HAVE_FE64_CODE 1
#else
#define VELMORA_HAVE_FE64_CODE 0
#endif

namespace velmora::crypto {

#if VELMORA_HAVE_FE64_CODE
namespace {

using u64 = unsigned long long;  // the intrinsics' word type
using u128 = unsigned __int128;

struct Fe64 {
  u64 v[4];
};

#define VELMORA_FE64_INLINE [[gnu::always_inline]] inline

VELMORA_FE64_INLINE u64 MulWide(u64 a, u64 b, u64* high) {
  const u128 p = static_cast<u128>(a) * b;
  *high = static_cast<u64>(p >> 64);
  return static_cast<u64>(p);
}

VELMORA_FE64_INLINE unsigned char AddC(unsigned char c, u64 a, u64 b, u64* out) {
  return _addcarry_u64(c, a, b, out);
}
VELMORA_FE64_INLINE unsigned char SubB(unsigned char c, u64 a, u64 b, u64* out) {
  return _subborrow_u64(c, a, b, out);
}

// Fold: h = r[0..3] + 38 r[4..7], below 2^256.
VELMORA_FE64_INLINE void Fold(Fe64& h, const u64 r[8]) {
  u64 l0, l1, l2, l3, h0, h1, h2, h3;
  l0 = MulWide(r[4], 38, &h0);
  l1 = MulWide(r[5], 38, &h1);
  l2 = MulWide(r[6], 38, &h2);
  l3 = MulWide(r[7], 38, &h3);
  u64 s0, s1, s2, s3;
  unsigned char c = AddC(0, r[0], l0, &s0);
  c = AddC(c, r[1], l1, &s1);
  c = AddC(c, r[2], l2, &s2);
  c = AddC(c, r[3], l3, &s3);
  u64 top = h3 + c;  // at most 38
  c = AddC(0, s1, h0, &s1);
  c = AddC(c, s2, h1, &s2);
  c = AddC(c, s3, h2, &s3);
  top += c;
  // top 2^256 = 38 top; a carry out of that sum leaves s below 38 top, so the last 38 cannot overflow.
  c = AddC(0, s0, top * 38, &s0);
  c = AddC(c, s1, 0, &s1);
  c = AddC(c, s2, 0, &s2);
  c = AddC(c, s3, 0, &s3);
  h.v[0] = s0 + ((0 - static_cast<u64>(c)) & 38);
  h.v[1] = s1;
  h.v[2] = s2;
  h.v[3] = s3;
}

VELMORA_FE64_INLINE void Add(Fe64& h, const Fe64& f, const Fe64& g) {
  u64 s0, s1, s2, s3;
  unsigned char c = AddC(0, f.v[0], g.v[0], &s0);
  c = AddC(c, f.v[1], g.v[1], &s1);
  c = AddC(c, f.v[2], g.v[2], &s2);
  c = AddC(c, f.v[3], g.v[3], &s3);
  c = AddC(0, s0, (0 - static_cast<u64>(c)) & 38, &s0);
  c = AddC(c, s1, 0, &s1);
  c = AddC(c, s2, 0, &s2);
  c = AddC(c, s3, 0, &s3);
  h.v[0] = s0 + ((0 - static_cast<u64>(c)) & 38);
  h.v[1] = s1;
  h.v[2] = s2;
  h.v[3] = s3;
}

// Sub: a borrow out means 2^256 was added, that is 38 too much.
VELMORA_FE64_INLINE void Sub(Fe64& h, const Fe64& f, const Fe64& g) {
  u64 s0, s1, s2, s3;
  unsigned char b = SubB(0, f.v[0], g.v[0], &s0);
  b = SubB(b, f.v[1], g.v[1], &s1);
  b = SubB(b, f.v[2], g.v[2], &s2);
  b = SubB(b, f.v[3], g.v[3], &s3);
  b = SubB(0, s0, (0 - static_cast<u64>(b)) & 38, &s0);
  b = SubB(b, s1, 0, &s1);
  b = SubB(b, s2, 0, &s2);
  b = SubB(b, s3, 0, &s3);
  h.v[0] = s0 - ((0 - static_cast<u64>(b)) & 38);
  h.v[1] = s1;
  h.v[2] = s2;
  h.v[3] = s3;
}

// Row: the five words of a * (b0, b1, b2, b3).
VELMORA_FE64_INLINE void Row(u64 t[5], u64 a, const u64 b[4]) {
  u64 h0, h1, h2, h3;
  t[0] = MulWide(a, b[0], &h0);
  const u64 l1 = MulWide(a, b[1], &h1);
  const u64 l2 = MulWide(a, b[2], &h2);
  const u64 l3 = MulWide(a, b[3], &h3);
  unsigned char c = AddC(0, h0, l1, &t[1]);
  c = AddC(c, h1, l2, &t[2]);
  c = AddC(c, h2, l3, &t[3]);
  t[4] = h3 + c;
}

VELMORA_FE64_INLINE void Mul(Fe64& h, const Fe64& f, const Fe64& g) {
  u64 r[8], t[5];
  Row(r, f.v[0], g.v);
#pragma GCC unroll 3
  for (int i = 1; i < 4; ++i) {
    Row(t, f.v[i], g.v);
    unsigned char c = AddC(0, r[i], t[0], &r[i]);
    c = AddC(c, r[i + 1], t[1], &r[i + 1]);
    c = AddC(c, r[i + 2], t[2], &r[i + 2]);
    c = AddC(c, r[i + 3], t[3], &r[i + 3]);
    r[i + 4] = t[4] + c;
  }
  Fold(h, r);
}

VELMORA_FE64_INLINE void Sqr(Fe64& h, const Fe64& f) {
  const u64 a0 = f.v[0], a1 = f.v[1], a2 = f.v[2], a3 = f.v[3];
  u64 r[8];
  // The cross products a_i a_j (i < j) at words 1..6; their sum is below 2^384 from word 1 on.
  u64 h01, h02, h03, h12, h13, h23;
  r[1] = MulWide(a0, a1, &h01);
  const u64 l02 = MulWide(a0, a2, &h02);
  const u64 l03 = MulWide(a0, a3, &h03);
  const u64 l12 = MulWide(a1, a2, &h12);
  const u64 l13 = MulWide(a1, a3, &h13);
  const u64 l23 = MulWide(a2, a3, &h23);
  unsigned char c = AddC(0, h01, l02, &r[2]);
  c = AddC(c, h02, l03, &r[3]);
  r[4] = h03 + c;
  u64 s1;
  c = AddC(0, h12, l13, &s1);
  const u64 s2 = h13 + c;
  c = AddC(0, r[3], l12, &r[3]);
  c = AddC(c, r[4], s1, &r[4]);
  c = AddC(c, s2, l23, &r[5]);
  r[6] = h23 + c;
  // Doubled, then the squares a_i^2 at words 2i.
  r[7] = r[6] >> 63;
  r[6] = (r[6] << 1) | (r[5] >> 63);
  r[5] = (r[5] << 1) | (r[4] >> 63);
  r[4] = (r[4] << 1) | (r[3] >> 63);
  r[3] = (r[3] << 1) | (r[2] >> 63);
  r[2] = (r[2] << 1) | (r[1] >> 63);
  r[1] <<= 1;
  u64 q0, q1, q2, q3;
  r[0] = MulWide(a0, a0, &q0);
  const u64 p1 = MulWide(a1, a1, &q1);
  const u64 p2 = MulWide(a2, a2, &q2);
  const u64 p3 = MulWide(a3, a3, &q3);
  c = AddC(0, r[1], q0, &r[1]);
  c = AddC(c, r[2], p1, &r[2]);
  c = AddC(c, r[3], q1, &r[3]);
  c = AddC(c, r[4], p2, &r[4]);
  c = AddC(c, r[5], q2, &r[5]);
  c = AddC(c, r[6], p3, &r[6]);
  r[7] = r[7] + q3 + c;
  Fold(h, r);
}

// Mul121666: h = 121666 f, the ladder's a24 + 1.
VELMORA_FE64_INLINE void Mul121666(Fe64& h, const Fe64& f) {
  u64 t[5];
  u64 h0, h1, h2, h3;
  t[0] = MulWide(f.v[0], 121666, &h0);
  const u64 l1 = MulWide(f.v[1], 121666, &h1);
  const u64 l2 = MulWide(f.v[2], 121666, &h2);
  const u64 l3 = MulWide(f.v[3], 121666, &h3);
  unsigned char c = AddC(0, h0, l1, &t[1]);
  c = AddC(c, h1, l2, &t[2]);
  c = AddC(c, h2, l3, &t[3]);
  t[4] = h3 + c;  // below 2^17
  c = AddC(0, t[0], t[4] * 38, &t[0]);
  c = AddC(c, t[1], 0, &t[1]);
  c = AddC(c, t[2], 0, &t[2]);
  c = AddC(c, t[3], 0, &t[3]);
  h.v[0] = t[0] + ((0 - static_cast<u64>(c)) & 38);
  h.v[1] = t[1];
  h.v[2] = t[2];
  h.v[3] = t[3];
}

VELMORA_FE64_INLINE void CSwap(Fe64& f, Fe64& g, u64 mask) {
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const u64 x = (f.v[i] ^ g.v[i]) & mask;
    f.v[i] ^= x;
    g.v[i] ^= x;
  }
}

VELMORA_FE64_INLINE void SqrTimes(Fe64& h, const Fe64& f, int n) {
  Sqr(h, f);
  for (int i = 1; i < n; ++i) Sqr(h, h);
}

// Invert: z^(p - 2) by the chain of Fe51Invert (each zN is z^(2^N - 1), then z^(2^255 - 32) z^11).
VELMORA_FE64_INLINE void Invert(Fe64& out, const Fe64& z) {
  Fe64 z2, z9, z11, z5, z10, z20, z40, z50, z100, z200, t;
  Sqr(z2, z);
  SqrTimes(t, z2, 2);
  Mul(z9, t, z);
  Mul(z11, z2, z9);
  Sqr(t, z11);
  Mul(z5, t, z9);
  SqrTimes(t, z5, 5);
  Mul(z10, t, z5);
  SqrTimes(t, z10, 10);
  Mul(z20, t, z10);
  SqrTimes(t, z20, 20);
  Mul(z40, t, z20);
  SqrTimes(t, z40, 10);
  Mul(z50, t, z10);
  SqrTimes(t, z50, 50);
  Mul(z100, t, z50);
  SqrTimes(t, z100, 100);
  Mul(z200, t, z100);
  SqrTimes(t, z200, 50);
  Mul(t, t, z50);  // z^(2^250 - 1)
  SqrTimes(t, t, 5);
  Mul(out, t, z11);
}

VELMORA_FE64_INLINE void FromBytes(Fe64& h, const uint8_t* s) {
  for (int i = 0; i < 4; ++i) {
    u64 w = 0;
    for (int j = 7; j >= 0; --j) w = (w << 8) | s[8 * i + j];
    h.v[i] = w;
  }
  h.v[3] &= ~(u64{1} << 63);
}

// ToBytes: bit 255 folds back as 19, leaving a value below p + 38; it is reduced once more exactly when
// adding 19 reaches bit 255.
VELMORA_FE64_INLINE void ToBytes(uint8_t* s, const Fe64& f) {
  constexpr u64 kLow63 = ~(u64{1} << 63);
  u64 v[4], w[4];
  unsigned char c = AddC(0, f.v[0], 19 & (0 - (f.v[3] >> 63)), &v[0]);
  c = AddC(c, f.v[1], 0, &v[1]);
  c = AddC(c, f.v[2], 0, &v[2]);
  (void)AddC(c, f.v[3] & kLow63, 0, &v[3]);
  c = AddC(0, v[0], 19, &w[0]);
  c = AddC(c, v[1], 0, &w[1]);
  c = AddC(c, v[2], 0, &w[2]);
  (void)AddC(c, v[3], 0, &w[3]);
  const u64 take_w = 0 - (w[3] >> 63);
  w[3] &= kLow63;
  for (int i = 0; i < 4; ++i) {
    const u64 word = (w[i] & take_w) | (v[i] & ~take_w);
    for (int j = 0; j < 8; ++j) s[8 * i + j] = static_cast<uint8_t>(word >> (8 * j));
  }
}

// LadderSteps: the ladder of RFC 7748 section 5 over bits 254..0 of the clamped scalar, with one
// masked exchange per bit (by the XOR of consecutive bits) and the formulas of MontgomeryLadder.
VELMORA_FE64_INLINE void LadderSteps(Fe64 s[4], const Fe64& x1, const uint8_t* k) {
  Fe64& x2 = s[0];
  Fe64& z2 = s[1];
  Fe64& x3 = s[2];
  Fe64& z3 = s[3];
  u64 swap = 0;
  for (int t = 254; t >= 0; --t) {
    const u64 bit = (k[t / 8] >> (t % 8)) & 1;
    swap ^= bit;
    CSwap(x2, x3, 0 - swap);
    CSwap(z2, z3, 0 - swap);
    swap = bit;
    Fe64 a, b, c, d, aa, bb, e, da, cb;
    Add(a, x2, z2);
    Sub(b, x2, z2);
    Add(c, x3, z3);
    Sub(d, x3, z3);
    Sqr(aa, a);
    Sqr(bb, b);
    Mul(da, d, a);
    Mul(cb, c, b);
    Sub(e, aa, bb);
    Add(a, da, cb);
    Sub(b, da, cb);
    Sqr(x3, a);
    Sqr(b, b);
    Mul(z3, x1, b);
    Mul(x2, aa, bb);
    Mul121666(c, e);
    Add(c, c, bb);  // AA + 121665 E written as BB + 121666 E
    Mul(z2, e, c);
  }
  CSwap(x2, x3, 0 - swap);
  CSwap(z2, z3, 0 - swap);
}

bool CpuHasBmi2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & (1u << 8)) != 0;
}

}  // namespace

bool Fe64LadderAvailable() {
  static const bool available = CpuHasBmi2();
  return available;
}

__attribute__((target("bmi2"))) void Fe64X25519(uint8_t* out, const uint8_t* k, const uint8_t* u) {
  struct State {
    Fe64 s[4], x1, zi;
    ~State() { platform::SecureZero(this, sizeof *this); }
  } st;
  FromBytes(st.x1, u);
  std::memset(st.s, 0, sizeof st.s);
  st.s[0].v[0] = 1;
  st.s[2] = st.x1;
  st.s[3].v[0] = 1;
  LadderSteps(st.s, st.x1, k);
  Invert(st.zi, st.s[1]);
  Mul(st.s[0], st.s[0], st.zi);
  ToBytes(out, st.s[0]);
}

#else

bool Fe64LadderAvailable() { return false; }
void Fe64X25519(uint8_t*, const uint8_t*, const uint8_t*) {}

#endif

}  // namespace velmora::crypto
