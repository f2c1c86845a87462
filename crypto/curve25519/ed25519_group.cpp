// Ed25519 group operations on the radix-2^25.5 field.
#include "crypto/curve25519/ed25519_group.h"

#include <cstring>

namespace velmora::crypto {
namespace {

// Normalize carries the limbs of a sum back into the multiplied form.
void Normalize(Fe25519& f) {
  Fe25519 one;
  Fe25519One(one);
  Fe25519Mul(f, f, one);
}

void ToPrecomp(Ed25519Precomp& out, const Ed25519PointP3& p) {
  Fe25519 recip, x, y;
  Fe25519Invert(recip, p.Z);
  Fe25519Mul(x, p.X, recip);
  Fe25519Mul(y, p.Y, recip);
  Fe25519Add(out.yplusx, y, x);
  Normalize(out.yplusx);
  Fe25519Sub(out.yminusx, y, x);
  Normalize(out.yminusx);
  Fe25519Mul(out.xy2d, x, y);
  Fe25519Mul(out.xy2d, out.xy2d, Ed25519D2());
}

void AddP3(Ed25519PointP3& r, const Ed25519PointP3& p, const Ed25519PointP3& q) {
  Ed25519Cached cached;
  Ed25519PointP1P1 sum;
  Ed25519P3ToCached(cached, q);
  Ed25519PointAdd(sum, p, cached);
  Ed25519P1P1ToP3(r, sum);
}

void DoubleP3(Ed25519PointP3& r, const Ed25519PointP3& p) {
  Ed25519PointP1P1 twice;
  Ed25519P3Double(twice, p);
  Ed25519P1P1ToP3(r, twice);
}

struct Tables {
  Ed25519Precomp base[32][8];
  Ed25519Precomp odd[8];

  Tables() {
    // B from its y = 4/5: decoding gives -B with even x, negated back here.
    Fe25519 four, five;
    Fe25519Zero(four);
    four.h[0] = 4;
    Fe25519Zero(five);
    five.h[0] = 5;
    Fe25519Invert(five, five);
    Fe25519Mul(four, four, five);
    uint8_t encoded[32];
    Fe25519ToBytes(encoded, sizeof encoded, four);
    Ed25519PointP3 b;
    Ed25519PointFromBytesNegate(b, encoded, sizeof encoded);
    Fe25519Neg(b.X, b.X);
    Fe25519Neg(b.T, b.T);

    Ed25519PointP3 row = b;  // 256^i * B
    for (auto& entries : base) {
      Ed25519PointP3 multiple = row;
      for (int j = 0; j < 8; ++j) {
        ToPrecomp(entries[j], multiple);
        if (j < 7) AddP3(multiple, multiple, row);
      }
      for (int k = 0; k < 8; ++k) DoubleP3(row, row);
    }
    Ed25519PointP3 two_b, multiple = b;
    DoubleP3(two_b, b);
    for (int k = 0; k < 8; ++k) {
      ToPrecomp(odd[k], multiple);
      AddP3(multiple, multiple, two_b);
    }
  }
};

const Tables& TheTables() {
  static const Tables tables;
  return tables;
}

// Shared body of addition and subtraction: first and second are the factors of Y + X and Y - X,
// zq is Z of q (null for an affine q), t2d its 2dT; subtract flips the sign of the product term.
void AddCore(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Fe25519& first, const Fe25519& second,
             const Fe25519* zq, const Fe25519& t2d, bool subtract) {
  Fe25519 m1, m2, m3, m4, t;
  Fe25519Add(t, p.Y, p.X);
  Fe25519Mul(m1, t, first);
  Fe25519Sub(t, p.Y, p.X);
  Fe25519Mul(m2, t, second);
  Fe25519Mul(m3, t2d, p.T);
  if (zq != nullptr) {
    Fe25519Mul(t, p.Z, *zq);
    Fe25519Add(m4, t, t);
  } else {
    Fe25519Add(m4, p.Z, p.Z);
  }
  Fe25519Sub(r.X, m1, m2);
  Fe25519Add(r.Y, m1, m2);
  if (subtract) {
    Fe25519Sub(r.Z, m4, m3);
    Fe25519Add(r.T, m4, m3);
  } else {
    Fe25519Add(r.Z, m4, m3);
    Fe25519Sub(r.T, m4, m3);
  }
}

}  // namespace

void Ed25519PointAdd(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Cached& q) {
  AddCore(r, p, q.YplusX, q.YminusX, &q.Z, q.T2d, false);
}

void Ed25519PointSub(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Cached& q) {
  AddCore(r, p, q.YminusX, q.YplusX, &q.Z, q.T2d, true);
}

void Ed25519PointMixedAdd(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Precomp& q) {
  AddCore(r, p, q.yplusx, q.yminusx, nullptr, q.xy2d, false);
}

void Ed25519PointMixedSub(Ed25519PointP1P1& r, const Ed25519PointP3& p, const Ed25519Precomp& q) {
  AddCore(r, p, q.yminusx, q.yplusx, nullptr, q.xy2d, true);
}

void Ed25519P2Double(Ed25519PointP1P1& r, const Ed25519PointP2& p) {
  Fe25519 xx, yy, b2, aa, t;
  Fe25519Sq(xx, p.X);
  Fe25519Sq(yy, p.Y);
  Fe25519Sq2(b2, p.Z);
  Fe25519Add(t, p.X, p.Y);
  Fe25519Sq(aa, t);
  Fe25519Add(r.Y, yy, xx);
  Fe25519Sub(r.Z, yy, xx);
  Fe25519Sub(r.X, aa, r.Y);
  Fe25519Sub(r.T, b2, r.Z);
}

void Ed25519P3Double(Ed25519PointP1P1& r, const Ed25519PointP3& p) {
  Ed25519PointP2 q;
  Ed25519P3ToP2(q, p);
  Ed25519P2Double(r, q);
}

void Ed25519P1P1ToP2(Ed25519PointP2& r, const Ed25519PointP1P1& p) {
  Fe25519Mul(r.X, p.X, p.T);
  Fe25519Mul(r.Y, p.Y, p.Z);
  Fe25519Mul(r.Z, p.Z, p.T);
}

void Ed25519P1P1ToP3(Ed25519PointP3& r, const Ed25519PointP1P1& p) {
  Fe25519 t;
  Fe25519Mul(t, p.X, p.Y);
  Fe25519Mul(r.X, p.X, p.T);
  Fe25519Mul(r.Y, p.Y, p.Z);
  Fe25519Mul(r.Z, p.Z, p.T);
  r.T = t;
}

void Ed25519P3ToP2(Ed25519PointP2& r, const Ed25519PointP3& p) {
  r.X = p.X;
  r.Y = p.Y;
  r.Z = p.Z;
}

void Ed25519P3ToCached(Ed25519Cached& r, const Ed25519PointP3& p) {
  Fe25519Add(r.YplusX, p.Y, p.X);
  Fe25519Sub(r.YminusX, p.Y, p.X);
  r.Z = p.Z;
  Fe25519Mul(r.T2d, p.T, Ed25519D2());
}

void Ed25519P2Zero(Ed25519PointP2& h) {
  Fe25519Zero(h.X);
  Fe25519One(h.Y);
  Fe25519One(h.Z);
}

void Ed25519P3Zero(Ed25519PointP3& h) {
  Fe25519Zero(h.X);
  Fe25519One(h.Y);
  Fe25519One(h.Z);
  Fe25519Zero(h.T);
}

void Ed25519PrecompZero(Ed25519Precomp& h) {
  Fe25519One(h.yplusx);
  Fe25519One(h.yminusx);
  Fe25519Zero(h.xy2d);
}

void Ed25519PrecompCmov(Ed25519Precomp& t, const Ed25519Precomp& u, uint32_t b) {
  Fe25519CMov(t.yplusx, u.yplusx, b);
  Fe25519CMov(t.yminusx, u.yminusx, b);
  Fe25519CMov(t.xy2d, u.xy2d, b);
}

const Ed25519BaseTableRows& Ed25519BaseTable() { return TheTables().base; }

const Ed25519Precomp* Ed25519BaseOddMultiples() { return TheTables().odd; }

void Ed25519PrecompSelect(Ed25519Precomp& t, int pos, int8_t b) {
  const Ed25519Precomp* row = TheTables().base[pos];
  const uint32_t negative = static_cast<uint32_t>(static_cast<uint8_t>(b)) >> 7;
  const uint32_t babs = static_cast<uint32_t>(b - 2 * (b & -static_cast<int32_t>(negative)));
  Ed25519PrecompZero(t);
  for (uint32_t j = 1; j <= 8; ++j) Ed25519PrecompCmov(t, row[j - 1], ((babs ^ j) - 1) >> 31);
  Ed25519Precomp minus;
  minus.yplusx = t.yminusx;
  minus.yminusx = t.yplusx;
  Fe25519Neg(minus.xy2d, t.xy2d);
  Ed25519PrecompCmov(t, minus, negative);
}

int Ed25519ScalarMultBase(Ed25519PointP3& h, const uint8_t* a, uint32_t length) {
  if (length < 32) return 0x90001;
  int8_t e[64];
  for (int i = 0; i < 32; ++i) {
    e[2 * i] = static_cast<int8_t>(a[i] & 15);
    e[2 * i + 1] = static_cast<int8_t>(a[i] >> 4);
  }
  int8_t carry = 0;
  for (int i = 0; i < 63; ++i) {
    e[i] = static_cast<int8_t>(e[i] + carry);
    carry = static_cast<int8_t>((e[i] + 8) >> 4);
    e[i] = static_cast<int8_t>(e[i] - carry * 16);
  }
  e[63] = static_cast<int8_t>(e[63] + carry);

  Ed25519PointP1P1 r;
  Ed25519PointP2 s;
  Ed25519Precomp t;
  Ed25519P3Zero(h);
  for (int i = 1; i < 64; i += 2) {
    Ed25519PrecompSelect(t, i / 2, e[i]);
    Ed25519PointMixedAdd(r, h, t);
    Ed25519P1P1ToP3(h, r);
  }
  Ed25519P3Double(r, h);
  for (int k = 0; k < 3; ++k) {
    Ed25519P1P1ToP2(s, r);
    Ed25519P2Double(r, s);
  }
  Ed25519P1P1ToP3(h, r);
  for (int i = 0; i < 64; i += 2) {
    Ed25519PrecompSelect(t, i / 2, e[i]);
    Ed25519PointMixedAdd(r, h, t);
    Ed25519P1P1ToP3(h, r);
  }
  return 0;
}

void Ed25519Slide(int8_t r[256], const uint8_t* a, uint32_t /*length*/) {
  for (int i = 0; i < 256; ++i) r[i] = static_cast<int8_t>(1 & (a[i >> 3] >> (i & 7)));
  for (int i = 0; i < 256; ++i) {
    if (r[i] == 0) continue;
    for (int b = 1; b <= 6 && i + b < 256; ++b) {
      if (r[i + b] == 0) continue;
      const int shifted = r[i + b] * (1 << b);
      if (r[i] + shifted <= 15) {
        r[i] = static_cast<int8_t>(r[i] + shifted);
        r[i + b] = 0;
      } else if (r[i] - shifted >= -15) {
        r[i] = static_cast<int8_t>(r[i] - shifted);
        for (int k = i + b; k < 256; ++k) {
          if (r[k] == 0) {
            r[k] = 1;
            break;
          }
          r[k] = 0;
        }
      } else {
        break;
      }
    }
  }
}

void Ed25519DoubleScalarMultVartime(Ed25519PointP2& r, const uint8_t* a, uint32_t a_length, const Ed25519PointP3& A,
                                    const uint8_t* b, uint32_t b_length) {
  int8_t aslide[256], bslide[256];
  Ed25519Slide(aslide, a, a_length);
  Ed25519Slide(bslide, b, b_length);
  const Ed25519Precomp* odd = TheTables().odd;

  Ed25519Cached ai[8];
  Ed25519PointP3 a2, u;
  Ed25519PointP1P1 t;
  Ed25519P3ToCached(ai[0], A);
  DoubleP3(a2, A);
  for (int k = 1; k < 8; ++k) {
    Ed25519PointAdd(t, a2, ai[k - 1]);
    Ed25519P1P1ToP3(u, t);
    Ed25519P3ToCached(ai[k], u);
  }

  Ed25519P2Zero(r);
  int i = 255;
  while (i >= 0 && aslide[i] == 0 && bslide[i] == 0) --i;
  for (; i >= 0; --i) {
    Ed25519P2Double(t, r);
    if (aslide[i] > 0) {
      Ed25519P1P1ToP3(u, t);
      Ed25519PointAdd(t, u, ai[aslide[i] / 2]);
    } else if (aslide[i] < 0) {
      Ed25519P1P1ToP3(u, t);
      Ed25519PointSub(t, u, ai[-aslide[i] / 2]);
    }
    if (bslide[i] > 0) {
      Ed25519P1P1ToP3(u, t);
      Ed25519PointMixedAdd(t, u, odd[bslide[i] / 2]);
    } else if (bslide[i] < 0) {
      Ed25519P1P1ToP3(u, t);
      Ed25519PointMixedSub(t, u, odd[-bslide[i] / 2]);
    }
    Ed25519P1P1ToP2(r, t);
  }
}

int Ed25519PointFromBytesNegate(Ed25519PointP3& h, const uint8_t* s, uint32_t length) {
  if (length < 32) return 0;  // nothing to decode: not a point
  Fe25519 u, v, v3, vxx, check;
  (void)Fe25519FromBytes(h.Y, s, length);
  Fe25519One(h.Z);
  Fe25519Sq(u, h.Y);
  Fe25519Mul(v, u, Ed25519D());
  Fe25519Sub(u, u, h.Z);  // y^2 - 1
  Fe25519Add(v, v, h.Z);  // d y^2 + 1

  Fe25519Sq(v3, v);
  Fe25519Mul(v3, v3, v);  // v^3
  Fe25519Sq(h.X, v3);
  Fe25519Mul(h.X, h.X, v);
  Fe25519Mul(h.X, h.X, u);  // u v^7
  Fe25519Pow22523(h.X, h.X);
  Fe25519Mul(h.X, h.X, v3);
  Fe25519Mul(h.X, h.X, u);  // u v^3 (u v^7)^((p-5)/8)

  Fe25519Sq(vxx, h.X);
  Fe25519Mul(vxx, vxx, v);
  Fe25519Sub(check, vxx, u);
  if (Fe25519IsNonZero(check) != 0) {
    Fe25519Add(check, vxx, u);
    if (Fe25519IsNonZero(check) != 0) return 0;
    Fe25519Mul(h.X, h.X, Fe25519SqrtM1());
  }
  if (Fe25519IsNegative(h.X) == (s[31] >> 7)) Fe25519Neg(h.X, h.X);
  Fe25519Mul(h.T, h.X, h.Y);
  return 1;
}

namespace {
void EncodeXYZ(uint8_t* s, const Fe25519& X, const Fe25519& Y, const Fe25519& Z) {
  Fe25519 recip, x, y;
  Fe25519Invert(recip, Z);
  Fe25519Mul(x, X, recip);
  Fe25519Mul(y, Y, recip);
  Fe25519ToBytes(s, 32, y);
  s[31] ^= static_cast<uint8_t>(Fe25519IsNegative(x) << 7);
}
}  // namespace

int Ed25519P3ToBytes(uint8_t* s, uint32_t room, const Ed25519PointP3& h) {
  if (room < 32) return 0x90001;
  EncodeXYZ(s, h.X, h.Y, h.Z);
  return 0;
}

int Ed25519P2ToBytes(uint8_t* s, uint32_t room, const Ed25519PointP2& h) {
  if (room != 32) return 0x90001;
  EncodeXYZ(s, h.X, h.Y, h.Z);
  return 0;
}

}  // namespace velmora::crypto
