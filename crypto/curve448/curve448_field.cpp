#include "crypto/curve448/curve448_field.h"

#include <cstring>

namespace velmora::crypto {

namespace {

constexpr uint32_t kMask28 = 0x0fffffff;

// The limbs of p: 2^28 - 1 everywhere except limb 8, which is 2^28 - 2.
constexpr uint32_t PLimb(int i) { return i == 8 ? 0x0ffffffe : 0x0fffffff; }

// CarryFold carries 64-bit columns into 28-bit limbs, the two halves as two independent chains. The
// carry out of limb 15 stands for 2^448, which is 2^224 + 1 modulo p, so it goes to limbs 0 and 8; the
// carry out of limb 7 goes to limb 8; limbs 0 and 8 then pass their own carries to limbs 1 and 9.
inline void CarryFold(Fe448& out, uint64_t t[kFe448Limbs]) {
#pragma GCC unroll 7
  for (int i = 0; i < 7; ++i) {
    t[i + 1] += t[i] >> 28;
    t[i] &= kMask28;
    t[i + 9] += t[i + 8] >> 28;
    t[i + 8] &= kMask28;
  }
  const uint64_t middle = t[7] >> 28;
  const uint64_t top = t[15] >> 28;
  t[7] &= kMask28;
  t[15] &= kMask28;
  t[0] += top;
  t[8] += top + middle;
  t[1] += t[0] >> 28;
  t[0] &= kMask28;
  t[9] += t[8] >> 28;
  t[8] &= kMask28;
  for (int i = 0; i < kFe448Limbs; ++i) out.limb[i] = static_cast<uint32_t>(t[i]);
}

inline void Combine(Fe448& out, const uint64_t p0[15], const uint64_t p1[15], const uint64_t p2[15]);

// Mul8 sets the fifteen columns of the product of two 8-limb halves.
inline void Mul8(uint64_t out[15], const uint32_t* x, const uint32_t* y) {
#pragma GCC unroll 15
  for (int k = 0; k < 15; ++k) {
    uint64_t column = 0;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      if (k - i >= 0 && k - i < 8) column += static_cast<uint64_t>(x[i]) * y[k - i];
    }
    out[k] = column;
  }
}

// MulInto is the Karatsuba product over the two 224-bit halves: with phi = 2^224 and phi^2 = phi + 1,
// (a0 + a1 phi)(b0 + b1 phi) = (a0 b0 + a1 b1) + ((a0 + a1)(b0 + b1) - a0 b0) phi.
void MulInto(Fe448& out, const Fe448& a, const Fe448& b) {
  uint32_t as[8], bs[8];
  for (int i = 0; i < 8; ++i) {
    as[i] = a.limb[i] + a.limb[i + 8];
    bs[i] = b.limb[i] + b.limb[i + 8];
  }
  uint64_t p0[15], p1[15], p2[15];
  Mul8(p0, a.limb, b.limb);
  Mul8(p1, a.limb + 8, b.limb + 8);
  Mul8(p2, as, bs);
  Combine(out, p0, p1, p2);
}

// Sqr8 is Mul8 of a half with itself, each cross product taken once and doubled.
inline void Sqr8(uint64_t out[15], const uint32_t* x) {
  uint32_t twice[8];
  for (int i = 0; i < 8; ++i) twice[i] = 2 * x[i];
#pragma GCC unroll 15
  for (int k = 0; k < 15; ++k) {
    uint64_t column = (k % 2 == 0) ? static_cast<uint64_t>(x[k / 2]) * x[k / 2] : 0;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      const int j = k - i;
      if (j > i && j < 8) column += static_cast<uint64_t>(twice[i]) * x[j];
    }
    out[k] = column;
  }
}

// Combine folds the three half products: columns 8..14 of the low part sit at phi times column - 8,
// those of the high part at phi^2 = phi + 1.
// (definition) of the Karatsuba form into limbs.
inline void Combine(Fe448& out, const uint64_t p0[15], const uint64_t p1[15], const uint64_t p2[15]) {
  uint64_t t[kFe448Limbs];
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) {
    const uint64_t low = p0[j] + p1[j];
    const uint64_t high = p2[j] - p0[j];
    if (j < 7) {
      const uint64_t low_up = p0[j + 8] + p1[j + 8];
      const uint64_t high_up = p2[j + 8] - p0[j + 8];
      t[j] = low + high_up;
      t[j + 8] = high + low_up + high_up;
    } else {
      t[j] = low;
      t[j + 8] = high;
    }
  }
  CarryFold(out, t);
}

void SqrInto(Fe448& out, const Fe448& a) {
  uint32_t as[8];
  for (int i = 0; i < 8; ++i) as[i] = a.limb[i] + a.limb[i + 8];
  uint64_t p0[15], p1[15], p2[15];
  Sqr8(p0, a.limb);
  Sqr8(p1, a.limb + 8);
  Sqr8(p2, as);
  Combine(out, p0, p1, p2);
}

void SqrN(Fe448& out, const Fe448& in, int n) {
  Fe448 t = in;
  for (int i = 0; i < n; ++i) {
    Fe448 s;
    SqrInto(s, t);
    t = s;
  }
  out = t;
}

// CombineOnes sets out = x^(2^(a + b) - 1) from high = x^(2^a - 1), shifted by b squarings, and low = x^(2^b - 1).
void CombineOnes(Fe448& out, const Fe448& high, int shift, const Fe448& low) {
  Fe448 t;
  SqrN(t, high, shift);
  MulInto(out, t, low);
}

}  // namespace

void Fe448WeakReduce(Fe448& a) {
  const uint32_t top = a.limb[15] >> 28;
  a.limb[8] += top;
  for (int i = kFe448Limbs - 1; i > 0; --i) a.limb[i] = (a.limb[i] & kMask28) + (a.limb[i - 1] >> 28);
  a.limb[0] = (a.limb[0] & kMask28) + top;
}

int Fe448StrongReduce(Fe448& a) {
  const uint32_t top = a.limb[15] >> 28;
  a.limb[15] &= kMask28;
  a.limb[0] += top;
  a.limb[8] += top;
  int64_t borrow = 0;
  for (int i = 0; i < kFe448Limbs; ++i) {
    borrow += static_cast<int64_t>(a.limb[i]) - PLimb(i);
    a.limb[i] = static_cast<uint32_t>(borrow) & kMask28;
    borrow >>= 28;
  }
  const uint32_t mask = static_cast<uint32_t>(borrow);
  uint64_t carry = 0;
  for (int i = 0; i < kFe448Limbs; ++i) {
    carry += static_cast<uint64_t>(a.limb[i]) + (PLimb(i) & mask);
    a.limb[i] = static_cast<uint32_t>(carry) & kMask28;
    carry >>= 28;
  }
  return static_cast<int64_t>(carry) + borrow == 0 ? 0 : kCurveInternalError;
}

void Fe448Add(Fe448& out, const Fe448& a, const Fe448& b) {
  for (int i = 0; i < kFe448Limbs; ++i) out.limb[i] = a.limb[i] + b.limb[i];
  Fe448WeakReduce(out);
}

void Fe448Sub(Fe448& out, const Fe448& a, const Fe448& b) {
  for (int i = 0; i < kFe448Limbs; ++i) out.limb[i] = a.limb[i] - b.limb[i] + 2 * PLimb(i);
  Fe448WeakReduce(out);
}

void Fe448Neg(Fe448& out, const Fe448& a) {
  for (int i = 0; i < kFe448Limbs; ++i) out.limb[i] = 2 * PLimb(i) - a.limb[i];
  Fe448WeakReduce(out);
}

void Fe448SubWord(Fe448& a, uint32_t w) {
  a.limb[0] -= w;
  for (int i = 0; i < kFe448Limbs; ++i) a.limb[i] += PLimb(i);
  Fe448WeakReduce(a);
}

uint32_t Fe448AddSmall(Fe448& a, uint32_t w) {
  a.limb[0] += w;
  const uint32_t carry = a.limb[0] >> 28;
  a.limb[0] &= kMask28;
  a.limb[1] += carry;
  return carry;
}

void Fe448AddMultipleOfP(Fe448& a, uint32_t w) {
  for (int i = 0; i < kFe448Limbs; ++i) a.limb[i] += w * PLimb(i);
}

void Fe448Mul(Fe448& out, const Fe448& a, const Fe448& b) {
  if (&out == &a || &out == &b) return;
  MulInto(out, a, b);
}

void Fe448Sqr(Fe448& out, const Fe448& a) {
  Fe448 t;
  SqrInto(t, a);
  out = t;
}

void Fe448MulWord(Fe448& out, const Fe448& a, uint64_t w) {
  if (&out == &a) return;
  const uint64_t w_lo = w & kMask28;
  const uint64_t w_hi = w >> 28;
  uint64_t t[kFe448Limbs];
  for (int i = 0; i < kFe448Limbs; ++i) {
    t[i] = a.limb[i] * w_lo + (i > 0 ? a.limb[i - 1] * w_hi : 0);
  }
  // a[15] w_hi lands at 2^448 = 2^224 + 1.
  const uint64_t wrap = a.limb[15] * w_hi;
  t[0] += wrap;
  t[8] += wrap;
  CarryFold(out, t);
}

void Fe448InvSqrt(Fe448& out, const Fe448& x) {
  // (p - 3) / 4 = 2^446 - 2^222 - 1: 223 ones, a zero, then 222 ones. f_k stands for x^(2^k - 1).
  Fe448 f1 = x, f2, f3, f6, f12, f24, f30, f48, f96, f192, f222, f223;
  CombineOnes(f2, f1, 1, f1);
  CombineOnes(f3, f2, 1, f1);
  CombineOnes(f6, f3, 3, f3);
  CombineOnes(f12, f6, 6, f6);
  CombineOnes(f24, f12, 12, f12);
  CombineOnes(f30, f24, 6, f6);
  CombineOnes(f48, f24, 24, f24);
  CombineOnes(f96, f48, 48, f48);
  CombineOnes(f192, f96, 96, f96);
  CombineOnes(f222, f192, 30, f30);
  CombineOnes(f223, f222, 1, f1);
  CombineOnes(out, f223, 223, f222);
}

void Fe448Invert(Fe448& out, const Fe448& a) {
  Fe448 sq, s;
  SqrInto(sq, a);
  Fe448InvSqrt(s, sq);
  SqrInto(sq, s);
  MulInto(out, sq, a);
}

void Fe448BatchInvert(Fe448* out, const Fe448* in, size_t n) {
  if (n == 0) return;
  if (n == 1) {
    Fe448Invert(out[0], in[0]);
    return;
  }
  out[1] = in[0];
  for (size_t i = 2; i < n; ++i) MulInto(out[i], out[i - 1], in[i - 1]);
  Fe448 all;
  MulInto(all, out[n - 1], in[n - 1]);
  Fe448Invert(out[0], all);
  for (size_t i = n - 1; i >= 1; --i) {
    Fe448 t;
    MulInto(t, out[i], out[0]);
    out[i] = t;
    MulInto(t, out[0], in[i]);
    out[0] = t;
  }
}

uint32_t Fe448IsZero(const Fe448& a) {
  Fe448 t = a;
  (void)Fe448StrongReduce(t);
  uint32_t any = 0;
  for (uint32_t limb : t.limb) any |= limb;
  return static_cast<uint32_t>((static_cast<uint64_t>(any) - 1) >> 32);
}

uint32_t Fe448Equal(const Fe448& a, const Fe448& b) {
  Fe448 x = a, y = b, d;
  Fe448WeakReduce(x);
  Fe448WeakReduce(y);
  Fe448Sub(d, x, y);
  return Fe448IsZero(d);
}

uint32_t Fe448IsSquare(const Fe448& x) {
  Fe448 r, r2, t, one;
  Fe448InvSqrt(r, x);
  SqrInto(r2, r);
  MulInto(t, r2, x);
  Fe448SetOne(one);
  return Fe448IsZero(x) | Fe448Equal(t, one);
}

uint32_t Fe448LowBit(const Fe448& a) {
  Fe448 t = a;
  (void)Fe448StrongReduce(t);
  return t.limb[0] & 1;
}

void Fe448CondSwap(Fe448& a, Fe448& b, uint32_t flag) {
  const uint32_t mask = 0u - flag;
  for (int i = 0; i < kFe448Limbs; ++i) {
    const uint32_t d = (a.limb[i] ^ b.limb[i]) & mask;
    a.limb[i] ^= d;
    b.limb[i] ^= d;
  }
}

void Fe448CondNeg(Fe448& a, uint32_t mask) {
  Fe448 n;
  Fe448Neg(n, a);
  for (int i = 0; i < kFe448Limbs; ++i) a.limb[i] ^= (a.limb[i] ^ n.limb[i]) & mask;
}

void Fe448Mask(Fe448& out, const Fe448& in, uint64_t mask) {
  for (int j = 0; j < kFe448Limbs / 2; ++j) {
    out.limb[2 * j] = in.limb[2 * j] & static_cast<uint32_t>(mask);
    out.limb[2 * j + 1] = in.limb[2 * j + 1] & static_cast<uint32_t>(mask >> 32);
  }
}

void Fe448Copy(Fe448& out, const Fe448& in) { out = in; }

void Fe448SetOne(Fe448& out) { Fe448SetWord(out, 1); }

void Fe448SetWord(Fe448& out, uint32_t w) {
  std::memset(out.limb, 0, sizeof out.limb);
  out.limb[0] = w & kMask28;
  out.limb[1] = w >> 28;
}

int Fe448FromBytes(Fe448& out, const uint8_t* bytes, size_t length) {
  if (length < static_cast<size_t>(kFe448Bytes)) return 0;
  for (int j = 0; j < 8; ++j) {
    uint64_t w = 0;
    for (int k = 6; k >= 0; --k) w = (w << 8) | bytes[7 * j + k];
    out.limb[2 * j] = static_cast<uint32_t>(w) & kMask28;
    out.limb[2 * j + 1] = static_cast<uint32_t>(w >> 28);
  }
  // The value is p or more exactly when limbs 9..15 are all ones and either limb 8 is all ones, or
  // limb 8 is 2^28 - 2 and limbs 0..7 are all ones.
  uint32_t high_ones = 1, low_ones = 1;
  for (int i = 9; i < kFe448Limbs; ++i) high_ones &= out.limb[i] == kMask28 ? 1u : 0u;
  for (int i = 0; i < 8; ++i) low_ones &= out.limb[i] == kMask28 ? 1u : 0u;
  const uint32_t at_least_p =
      high_ones & ((out.limb[8] == kMask28 ? 1u : 0u) | ((out.limb[8] == kMask28 - 1 ? 1u : 0u) & low_ones));
  return static_cast<int>(at_least_p ^ 1);
}

int Fe448StoreLimbPair(uint8_t* out, size_t offset, uint64_t value) {
  for (int k = 0; k < 7; ++k) out[offset + k] = static_cast<uint8_t>(value >> (8 * k));
  return (value >> 56) == 0 ? 0 : kCurveInternalError;
}

int Fe448ToBytes(uint8_t* out, size_t length, const Fe448& a) {
  if (length < static_cast<size_t>(kFe448Bytes)) return kCurveShortOutput;
  Fe448 t = a;
  int result = Fe448StrongReduce(t);
  for (int j = 0; j < 8; ++j) {
    const int stored = Fe448StoreLimbPair(out, 7 * static_cast<size_t>(j),
                                          t.limb[2 * j] | (static_cast<uint64_t>(t.limb[2 * j + 1]) << 28));
    if (result == 0) result = stored;
  }
  return result;
}

}  // namespace velmora::crypto
