#include "crypto/curve448/ed448_group.h"

#include <cstring>
#include <mutex>

#include "crypto/curve448/ed448_scalar.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr uint64_t kEdwardsMinusD = 39081;     // -d of E
constexpr uint64_t kTwistMinusD = 39082;       // -d' of E'
constexpr uint64_t kTwistMinusTwoD = 78164;    // -2 d'

// The encoding of B: the y coordinate of RFC 8032 section 5.2.1 with an even x.
constexpr uint8_t kBaseEncoding[kEd448PointBytes] = {
    0x14, 0xfa, 0x30, 0xf2, 0x5b, 0x79, 0x08, 0x98, 0xad, 0xc8, 0xd7, 0x4e, 0x2c, 0x13, 0xbd, 0xfd, 0xc4, 0x39, 0x7c,
    0xe6, 0x1c, 0xff, 0xd3, 0x3a, 0xd7, 0xc2, 0xa0, 0x05, 0x1e, 0x9c, 0x78, 0x87, 0x40, 0x98, 0xa3, 0x6c, 0x73, 0x73,
    0xea, 0x4b, 0x62, 0xc7, 0xc9, 0x56, 0x37, 0x20, 0x76, 0x88, 0x24, 0xbc, 0xb6, 0x6e, 0x71, 0x46, 0x3f, 0x69, 0x00,
};

Fe448 One() {
  Fe448 one;
  Fe448SetOne(one);
  return one;
}

Fe448 Mul(const Fe448& a, const Fe448& b) {
  Fe448 out;
  Fe448Mul(out, a, b);
  return out;
}

Fe448 Sqr(const Fe448& a) {
  Fe448 out;
  Fe448Sqr(out, a);
  return out;
}

Fe448 Add(const Fe448& a, const Fe448& b) {
  Fe448 out;
  Fe448Add(out, a, b);
  return out;
}

Fe448 Sub(const Fe448& a, const Fe448& b) {
  Fe448 out;
  Fe448Sub(out, a, b);
  return out;
}

Fe448 MulWord(const Fe448& a, uint64_t w) {
  Fe448 out;
  Fe448MulWord(out, a, w);
  return out;
}

Fe448 Neg(const Fe448& a) {
  Fe448 out;
  Fe448Neg(out, a);
  return out;
}

// Select sets out to a under an all-ones mask and to b under 0.
void Select(Fe448& out, const Fe448& a, const Fe448& b, uint32_t mask) {
  for (int i = 0; i < kFe448Limbs; ++i) out.limb[i] = (a.limb[i] & mask) | (b.limb[i] & ~mask);
}

uint32_t BitAt(const uint32_t* s, int32_t i) { return (s[i / 32] >> (i % 32)) & 1; }

// The fixed-base table of B: entry (i, j) is j 16^i B on E in affine coordinates, (0, 1) for j = 0, so a
// scalar's 112 nibbles each select one entry to add.
constexpr int kBaseWindows = 112;
struct FixedBaseTable {
  Ed448Affine entry[kBaseWindows][16];
};

// The comb table of B': entry (j, m) is sum over t of sigma_t 2^(14 (4j + t)) B' with sigma_3 = +1 and,
// for t < 3, sigma_t = +1 when bit t of m is set and -1 otherwise.
struct CombTable {
  Ed448Niels entry[8][8];
};

// The odd multiples B', 3B', ..., 63B' for the width-5 signed digits of the double multiplication.
struct WindowTable {
  Ed448Niels entry[32];
};

// ToNiels normalises count E' points to Z = 1 with one inversion.
void ToNiels(Ed448Niels* out, const Ed448Point* points, size_t count) {
  constexpr size_t kMax = 64;
  Fe448 zs[kMax] = {}, inverses[kMax];
  for (size_t i = 0; i < count; ++i) zs[i] = points[i].z;
  Fe448BatchInvert(inverses, zs, count);
  Fe448 half, two;
  Fe448SetWord(two, 2);
  Fe448Invert(half, two);
  for (size_t i = 0; i < count; ++i) {
    const Fe448 x = Mul(points[i].x, inverses[i]);
    const Fe448 y = Mul(points[i].y, inverses[i]);
    out[i].a = Mul(Sub(y, x), half);
    out[i].b = Mul(Add(y, x), half);
    out[i].c = Neg(MulWord(Mul(x, y), kTwistMinusD));
  }
}

const FixedBaseTable& FixedBase() {
  static FixedBaseTable table;
  static std::once_flag once;
  std::call_once(once, [] {
    Ed448Point power = Ed448BaseRecords().point;
    for (int i = 0; i < kBaseWindows; ++i) {
      Ed448Point multiples[15];
      Fe448 zs[15], inverses[15];
      multiples[0] = power;
      for (int j = 1; j < 15; ++j) {
        multiples[j] = multiples[j - 1];
        Ed448PointAdd(multiples[j], power);
      }
      for (int j = 0; j < 15; ++j) zs[j] = multiples[j].z;
      Fe448BatchInvert(inverses, zs, 15);
      Fe448SetWord(table.entry[i][0].x, 0);
      Fe448SetOne(table.entry[i][0].y);
      for (int j = 0; j < 15; ++j) {
        table.entry[i][j + 1].x = Mul(multiples[j].x, inverses[j]);
        table.entry[i][j + 1].y = Mul(multiples[j].y, inverses[j]);
      }
      for (int k = 0; k < 4; ++k) Ed448PointDouble(power);
    }
  });
  return table;
}

const CombTable& Comb() {
  static CombTable table;
  static std::once_flag once;
  std::call_once(once, [] {
    Ed448Point teeth[32];
    teeth[0] = Ed448BaseRecords().twisted;
    for (int u = 1; u < 32; ++u) {
      teeth[u] = teeth[u - 1];
      for (int k = 0; k < 14; ++k) Ed448TwDouble(teeth[u]);
    }
    Ed448PNiels teeth_pn[32];
    for (int u = 0; u < 32; ++u) Ed448TwToPNiels(teeth_pn[u], teeth[u]);
    Ed448Point sums[64];
    for (int j = 0; j < 8; ++j) {
      for (int m = 0; m < 8; ++m) {
        Ed448Point& sum = sums[8 * j + m];
        sum = teeth[4 * j + 3];
        for (int t = 0; t < 3; ++t) {
          if ((m >> t) & 1) {
            Ed448TwAddPNiels(sum, teeth_pn[4 * j + t]);
          } else {
            Ed448TwSubPNiels(sum, teeth_pn[4 * j + t]);
          }
        }
      }
    }
    ToNiels(&table.entry[0][0], sums, 64);
  });
  return table;
}

const WindowTable& Window() {
  static WindowTable table;
  static std::once_flag once;
  std::call_once(once, [] {
    Ed448Point multiples[32];
    multiples[0] = Ed448BaseRecords().twisted;
    Ed448Point twice = multiples[0];
    Ed448TwDouble(twice);
    Ed448PNiels twice_pn;
    Ed448TwToPNiels(twice_pn, twice);
    for (int i = 1; i < 32; ++i) {
      multiples[i] = multiples[i - 1];
      Ed448TwAddPNiels(multiples[i], twice_pn);
    }
    ToNiels(table.entry, multiples, 32);
  });
  return table;
}

// OddMultiples fills table with P, 3P, ..., (2 count - 1)P as pniels.
void OddMultiples(Ed448PNiels* table, int count, const Ed448Point& p) {
  Ed448Point twice = p, current = p;
  Ed448TwDouble(twice);
  Ed448PNiels twice_pn;
  Ed448TwToPNiels(twice_pn, twice);
  Ed448TwToPNiels(table[0], p);
  for (int i = 1; i < count; ++i) {
    Ed448TwAddPNiels(current, twice_pn);
    Ed448TwToPNiels(table[i], current);
  }
}

}  // namespace

void Ed448SetIdentity(Ed448Point& p) {
  std::memset(&p, 0, sizeof p);
  Fe448SetOne(p.y);
  Fe448SetOne(p.z);
}

int Ed448IsNeutral(const Ed448Point& p) {
  return (Fe448IsZero(p.x) & Fe448Equal(p.y, p.z)) != 0 ? 1 : 0;
}

const Ed448Base& Ed448BaseRecords() {
  static const Ed448Base base = [] {
    Ed448Base b;
    (void)Ed448PointFromBytes(b.point, kBaseEncoding, sizeof kBaseEncoding);
    b.affine.x = b.point.x;
    b.affine.y = b.point.y;
    Ed448TwistPoint(b.twisted, b.point);
    return b;
  }();
  return base;
}

int Ed448PointFromBytes(Ed448Point& out, const uint8_t* bytes, size_t length) {
  if (length < static_cast<size_t>(kEd448PointBytes)) return 0;
  Fe448 y;
  if (Fe448FromBytes(y, bytes, length) != 1) return 0;
  const Fe448 y2 = Sqr(y);
  const Fe448 u = Sub(y2, One());
  const Fe448 v = Neg(Add(MulWord(y2, kEdwardsMinusD), One()));
  // x = u (uv)^((p-3)/4) is a square root of u/v when there is one (p = 3 mod 4), with a single
  // exponentiation; v is never 0 since d is not a square.
  Fe448 r;
  Fe448InvSqrt(r, Mul(u, v));
  Fe448 x = Mul(u, r);
  const uint32_t root = Fe448Equal(Mul(Sqr(x), v), u);
  const uint32_t sign = bytes[56] >> 7;
  Fe448CondNeg(x, 0u - (Fe448LowBit(x) ^ sign));
  out.x = x;
  out.y = y;
  Fe448SetOne(out.z);
  out.ta = x;
  out.tb = y;
  return root != 0 ? 1 : 0;
}

int Ed448PointToBytes(uint8_t* out, size_t length, const Ed448Point& p) {
  if (length < static_cast<size_t>(kEd448PointBytes)) return kCurveShortOutput;
  Fe448 z_inverse;
  Fe448Invert(z_inverse, p.z);
  const Fe448 x = Mul(p.x, z_inverse);
  const Fe448 y = Mul(p.y, z_inverse);
  const int result = Fe448ToBytes(out, length, y);
  out[56] = static_cast<uint8_t>(Fe448LowBit(x) << 7);
  return result;
}

void Ed448PointAdd(Ed448Point& p, const Ed448Point& q) {
  const Fe448 m = Mul(p.z, q.z);
  const Fe448 qq = Sqr(m);
  const Fe448 r = Mul(p.x, q.x);
  const Fe448 w = Mul(p.y, q.y);
  const Fe448 e = MulWord(Mul(r, w), kEdwardsMinusD);
  const Fe448 f = Add(qq, e);
  const Fe448 g = Sub(qq, e);
  const Fe448 cross = Sub(Sub(Mul(Add(p.x, p.y), Add(q.x, q.y)), r), w);
  p.ta = Mul(m, f);
  p.tb = Mul(m, g);
  p.x = Mul(p.ta, cross);
  p.y = Mul(p.tb, Sub(w, r));
  p.z = Mul(f, g);
}

namespace {

// DoubleOn doubles on E or, with twisted, on E': both share u = X^2 + Y^2, t = 2XY and v = Y^2 - X^2 and
// differ in which of u and v scales the result.
void DoubleOn(Ed448Point& p, bool twisted) {
  const Fe448 x2 = Sqr(p.x);
  const Fe448 y2 = Sqr(p.y);
  const Fe448 u = Add(x2, y2);
  const Fe448 t = Sub(Sqr(Add(p.x, p.y)), u);
  const Fe448 v = Sub(y2, x2);
  const Fe448 z2 = Sqr(p.z);
  const Fe448& scale = twisted ? v : u;
  const Fe448& other = twisted ? u : v;
  const Fe448 w = Sub(Add(z2, z2), scale);
  p.z = Mul(scale, w);
  p.x = Mul(w, t);
  p.y = Mul(scale, other);
  p.ta = t;
  p.tb = other;
}

}  // namespace

void Ed448PointDouble(Ed448Point& p) { DoubleOn(p, false); }

uint32_t Ed448OnCurve(const Ed448Affine& a) {
  const Fe448 x2 = Sqr(a.x);
  const Fe448 y2 = Sqr(a.y);
  const Fe448 lhs = Add(Sub(Add(x2, y2), One()), MulWord(Mul(x2, y2), kEdwardsMinusD));
  return Fe448IsZero(lhs);
}

void Ed448AffineToPoint(Ed448Point& out, const Ed448Affine& a) {
  out.x = a.x;
  out.y = a.y;
  Fe448SetOne(out.z);
  out.ta = a.x;
  out.tb = a.y;
}

void Ed448TwDouble(Ed448Point& p) { DoubleOn(p, true); }

namespace {

// AddNielsWith adds (y - x)/2 = a, (y + x)/2 = b, c = d' x y, with f = Z - gamma, g = Z + gamma; the
// subtraction passes a and b exchanged and gamma negated.
void AddNielsWith(Ed448Point& p, const Fe448& a, const Fe448& b, const Fe448& c, bool subtract) {
  const Fe448 alpha = Mul(Sub(p.y, p.x), a);
  const Fe448 beta = Mul(Add(p.y, p.x), b);
  const Fe448 gamma = Mul(Mul(p.ta, p.tb), c);
  p.ta = Sub(beta, alpha);
  p.tb = Add(beta, alpha);
  const Fe448 f = subtract ? Add(p.z, gamma) : Sub(p.z, gamma);
  const Fe448 g = subtract ? Sub(p.z, gamma) : Add(p.z, gamma);
  p.z = Mul(g, f);
  p.x = Mul(f, p.ta);
  p.y = Mul(g, p.tb);
}

}  // namespace

void Ed448TwAddNiels(Ed448Point& p, const Ed448Niels& n) { AddNielsWith(p, n.a, n.b, n.c, false); }

void Ed448TwSubNiels(Ed448Point& p, const Ed448Niels& n) { AddNielsWith(p, n.b, n.a, n.c, true); }

void Ed448TwAddPNiels(Ed448Point& p, const Ed448PNiels& pn) {
  p.z = Mul(p.z, pn.z);
  Ed448TwAddNiels(p, pn.n);
}

void Ed448TwSubPNiels(Ed448Point& p, const Ed448PNiels& pn) {
  p.z = Mul(p.z, pn.z);
  Ed448TwSubNiels(p, pn.n);
}

void Ed448NielsCondNeg(Ed448Niels& n, uint32_t mask) {
  Fe448CondSwap(n.a, n.b, mask & 1);
  Fe448CondNeg(n.c, mask);
}

void Ed448TwToPNiels(Ed448PNiels& out, const Ed448Point& p) {
  out.n.a = Sub(p.y, p.x);
  out.n.b = Add(p.x, p.y);
  out.n.c = Neg(MulWord(Mul(p.ta, p.tb), kTwistMinusTwoD));
  out.z = Add(p.z, p.z);
}

void Ed448PNielsToPoint(Ed448Point& out, const Ed448PNiels& pn) {
  out.ta = Sub(pn.n.b, pn.n.a);
  out.tb = Add(pn.n.b, pn.n.a);
  out.x = Mul(pn.z, out.ta);
  out.y = Mul(pn.z, out.tb);
  out.z = Sqr(pn.z);
}

void Ed448NielsToPoint(Ed448Point& out, const Ed448Niels& n) {
  out.x = Sub(n.b, n.a);
  out.y = Add(n.b, n.a);
  Fe448SetOne(out.z);
  out.ta = out.x;
  out.tb = out.y;
}

int Ed448TwEqual(const Ed448Point& p, const Ed448Point& q) {
  const uint32_t same_x = Fe448Equal(Mul(p.x, q.z), Mul(q.x, p.z));
  const uint32_t same_y = Fe448Equal(Mul(p.y, q.z), Mul(q.y, p.z));
  return (same_x & same_y) != 0 ? 1 : 0;
}

void Ed448TwistPoint(Ed448Point& out, const Ed448Point& p) {
  const Fe448 z_minus_y = Sub(p.z, p.y);
  const Fe448 m = Mul(Mul(z_minus_y, Sub(p.z, p.x)), p.y);
  const Fe448 n = Mul(Sqr(m), Sub(Sqr(p.z), Sqr(p.x)));
  Fe448 r;
  Fe448InvSqrt(r, n);
  const Fe448 s = Mul(m, r);
  out.x = Mul(p.x, s);
  out.y = Mul(p.y, s);
  // The neutral element has m = 0 and must map to itself.
  (void)Fe448AddSmall(out.y, Fe448IsZero(z_minus_y) & 1);
  Fe448SetOne(out.z);
  out.ta = out.x;
  out.tb = out.y;
}

int Ed448BaseMul(Ed448Point& out, const uint32_t* s, int32_t words) {
  if (words != kEd448ScalarWords) return kCurveShortOutput;
  const FixedBaseTable& table = FixedBase();
  Ed448SetIdentity(out);
  // One addition per nibble, the entry read by a masked pass over all sixteen: neither the sequence of
  // operations nor the memory touched depends on s.
  for (int i = 0; i < kBaseWindows; ++i) {
    const uint32_t nibble = (s[i / 8] >> (4 * (i % 8))) & 15;
    Ed448Point term;
    std::memset(&term, 0, sizeof term);
    for (uint32_t j = 0; j < 16; ++j) {
      const uint32_t hit = static_cast<uint32_t>((static_cast<uint64_t>(j ^ nibble) - 1) >> 32);
      Select(term.x, table.entry[i][j].x, term.x, hit);
      Select(term.y, table.entry[i][j].y, term.y, hit);
    }
    Fe448SetOne(term.z);
    Ed448PointAdd(out, term);
  }
  return 0;
}

int Ed448ScalarMulVt(Ed448Point& p, const uint32_t* s, int32_t words) {
  if (words != kEd448ScalarWords) return kCurveShortOutput;
  Ed448Point q = p;
  Ed448SetIdentity(p);
  for (int32_t i = 0; i < 448; ++i) {
    if (BitAt(s, i) != 0) Ed448PointAdd(p, q);
    Ed448PointDouble(q);
  }
  return 0;
}

void Ed448TwScalarMul(Ed448Point& p, const uint32_t* s) {
  // k = (s + c)/2 with c = 2^450 - 1 mod L of s's parity, so s = sum (2 d_i - 31) 2^(5i) over the
  // 5-bit groups d_i of k.
  uint32_t k[kEd448ScalarWords];
  const Ed448HalvingPair& pair = Ed448HalvingPair450();
  (void)ScalarHalveAdd(k, s, kEd448ScalarWords, pair.even, pair.odd, kEd448ScalarWords);
  Ed448PNiels table[16];
  OddMultiples(table, 16, p);
  auto digit_at = [&k](int32_t i) {
    uint32_t d = 0;
    for (int b = 0; b < 5 && i + b < 448; ++b) d |= BitAt(k, i + b) << b;
    return d;
  };
  Ed448PNiels entry = table[15 - digit_at(445)];
  Ed448NielsCondNeg(entry.n, 0xffffffffu);
  Ed448PNielsToPoint(p, entry);
  for (int32_t i = 440; i >= 0; i -= 5) {
    for (int j = 0; j < 5; ++j) Ed448TwDouble(p);
    const uint32_t d = digit_at(i);
    const uint32_t negative = (d >> 4) - 1;
    entry = table[(d ^ negative) & 15];
    Ed448NielsCondNeg(entry.n, negative);
    Ed448TwAddPNiels(p, entry);
  }
}

int Ed448TwBaseMulComb(Ed448Point& out, const uint32_t* s, int32_t bits) {
  uint32_t k[kEd448ScalarWords];
  if (Ed448ScalarForComb(k, s, bits) != 1) return 0;
  const CombTable& table = Comb();
  for (int32_t i = 13; i >= 0; --i) {
    if (i != 13) Ed448TwDouble(out);
    for (int j = 0; j < 8; ++j) {
      uint32_t m = 0;
      for (int t = 0; t < 3; ++t) m |= BitAt(k, i + 14 * (4 * j + t)) << t;
      const uint32_t top = BitAt(k, i + 14 * (4 * j + 3));
      const uint32_t negative = top - 1;
      const uint32_t index = (m ^ negative) & 7;
      Ed448Niels entry = {};
      for (uint32_t e = 0; e < 8; ++e) {
        const uint32_t hit = static_cast<uint32_t>((static_cast<uint64_t>(e ^ index) - 1) >> 32);
        const Ed448Niels& candidate = table.entry[j][e];
        Select(entry.a, candidate.a, entry.a, hit);
        Select(entry.b, candidate.b, entry.b, hit);
        Select(entry.c, candidate.c, entry.c, hit);
      }
      Ed448NielsCondNeg(entry, negative);
      if (i == 13 && j == 0) {
        Ed448NielsToPoint(out, entry);
      } else {
        Ed448TwAddNiels(out, entry);
      }
    }
  }
  platform::SecureZero(k, sizeof k);
  return 1;
}

int Ed448TwDoubleScalarMulVt(Ed448Point& p, const uint32_t* s1, int32_t bits1, const uint32_t* s2, int32_t bits2) {
  if (bits1 < 0 || bits1 > 448 || bits2 < 0 || bits2 > 448) return kCurveInternalError;
  // Width 4 gives digits up to 31 and width 5 up to 63: the tables hold every odd multiple up to those.
  int32_t list1[2 * (448 / 5 + 3)], list2[2 * (448 / 6 + 3)];
  if (ScalarRecodeSigned(list1, s1, bits1, 4) == kCurveInternalError ||
      ScalarRecodeSigned(list2, s2, bits2, 5) == kCurveInternalError) {
    return kCurveInternalError;
  }
  const WindowTable& base_table = Window();
  Ed448PNiels table[16];
  OddMultiples(table, 16, p);
  Ed448SetIdentity(p);
  int32_t i1 = 0, i2 = 0;
  const int32_t start = list1[0] > list2[0] ? list1[0] : list2[0];
  for (int32_t position = start; position >= 0; --position) {
    Ed448TwDouble(p);
    if (list1[2 * i1] == position) {
      const int32_t d = list1[2 * i1 + 1];
      if (d == 0) return kCurveInternalError;
      if (d > 0) {
        Ed448TwAddPNiels(p, table[d >> 1]);
      } else {
        Ed448TwSubPNiels(p, table[(-d) >> 1]);
      }
      ++i1;
    }
    if (list2[2 * i2] == position) {
      const int32_t d = list2[2 * i2 + 1];
      if (d == 0) return kCurveInternalError;
      if (d > 0) {
        Ed448TwAddNiels(p, base_table.entry[d >> 1]);
      } else {
        Ed448TwSubNiels(p, base_table.entry[(-d) >> 1]);
      }
      ++i2;
    }
  }
  return list1[2 * i1] == -1 && list2[2 * i2] == -1 ? 0 : kCurveInternalError;
}

uint32_t Ed448TwFromField(Ed448Point& out, const Fe448& c, const Fe448& s) {
  const Fe448 one = One();
  const Fe448 z = Sqr(s);
  const Fe448 one_plus_z = Add(one, z);
  const Fe448 n = Neg(MulWord(Sqr(one_plus_z), kTwistMinusD));
  const Fe448 m = Add(MulWord(z, 4), n);
  const Fe448 e = Mul(c, Sub(one, Sqr(z)));
  const Fe448 q1 = Mul(e, m);
  const Fe448 q2 = Mul(q1, m);
  const Fe448 t = Mul(e, q2);
  const Fe448 q3 = Mul(t, q1);
  // One inverse square root gives both the square root and the inverse the map needs.
  Fe448 r;
  Fe448InvSqrt(r, Mul(e, q3));
  const Fe448 v = Mul(t, r);
  const Fe448 k = Mul(q3, Sqr(r));
  out.x = Mul(Mul(Add(s, s), Sub(one, z)), k);
  out.y = Mul(Mul(one_plus_z, k), v);
  Fe448SetOne(out.z);
  out.ta = out.x;
  out.tb = out.y;
  return Fe448Equal(Mul(e, k), one);
}

void Ed448TwToField(Fe448& out, const Ed448Point& p) {
  const Fe448 u = Sub(Sqr(Add(p.x, p.y)), Add(Mul(p.x, p.y), Mul(p.x, p.y)));
  const Fe448 scaled = MulWord(u, kTwistMinusTwoD);
  const Fe448 g = MulWord(scaled, kTwistMinusD);
  const Fe448 h = Neg(Mul(scaled, Sqr(Sqr(p.z))));
  Fe448 r;
  Fe448InvSqrt(r, Mul(g, h));
  out = Mul(Mul(Mul(g, r), p.x), p.y);
}

const Fe448& Ed448TwFieldConstant() {
  static const Fe448 constant = [] {
    // p = 3 mod 4, so a^((p+1)/4) = a a^((p-3)/4) is a square root of the square a = -39082.
    Fe448 minus, r;
    Fe448SetWord(minus, static_cast<uint32_t>(kTwistMinusD));
    Fe448Neg(minus, minus);
    Fe448InvSqrt(r, minus);
    Fe448 root = Mul(minus, r);
    Fe448CondNeg(root, 0u - Fe448LowBit(root));
    return root;
  }();
  return constant;
}

}  // namespace velmora::crypto
