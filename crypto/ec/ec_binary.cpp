#include "crypto/ec/ec_binary.h"

#include <cstring>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/gf2m.h"
#include "crypto/ec/gf2m_internal.h"
#include "platform/memory.h"

#if VELMORABLE_HAVE_VALGRIND
#include <valgrind/memcheck.h>
#endif

namespace velmora::crypto {
namespace {

using gf2m::Field;
using gf2m::kMaxWords;
using Words = uint32_t[kMaxWords];

thread_local test::EcBinaryOpCounts op_counts;

bool IsInfinity(const FixedBigInt& x) { return x.Count == 0; }

void StoreInfinity(const Field& field, FixedBigInt& out_x, FixedBigInt& out_y) {
  Words zero;
  gf2m::SetWord(field, 0, zero);
  gf2m::Store(field, zero, out_x);
  gf2m::Store(field, zero, out_y);
  out_x.Count = 0;
}

// Affine point operations on loaded words; the flag marks infinity.
struct Affine {
  Words x;
  Words y;
  bool infinity = false;
};

int DoubleAffine(const Field& field, const uint32_t* a, const Affine& p, Affine& out) {
  if (p.infinity || gf2m::IsZero(field, p.x)) {
    out.infinity = true;
    return 0;
  }
  // lambda = x + y / x; x3 = lambda^2 + lambda + a; y3 = x^2 + (lambda + 1) x3.
  Words lambda, x3, t;
  const int status = gf2m::Divide(field, p.y, p.x, lambda);
  if (status != 0) return status;
  gf2m::Add(field, lambda, p.x, lambda);
  gf2m::Sqr(field, lambda, x3);
  gf2m::Add(field, x3, lambda, x3);
  gf2m::Add(field, x3, a, x3);
  lambda[0] ^= 1;
  gf2m::Mul(field, lambda, x3, t);
  gf2m::Sqr(field, p.x, out.y);
  gf2m::Add(field, out.y, t, out.y);
  gf2m::Copy(field, x3, out.x);
  out.infinity = false;
  return 0;
}

int AddAffine(const Field& field, const uint32_t* a, const Affine& p, const Affine& q, Affine& out) {
  if (p.infinity) {
    out = q;
    return 0;
  }
  if (q.infinity) {
    out = p;
    return 0;
  }
  if (gf2m::Equal(field, p.x, q.x)) {
    if (gf2m::Equal(field, p.y, q.y)) return DoubleAffine(field, a, p, out);
    out.infinity = true;
    return 0;
  }
  // lambda = (y1 + y2) / (x1 + x2); x3 = lambda^2 + lambda + x1 + x2 + a; y3 = lambda (x1 + x3) + x3 + y1.
  Words sx, sy, lambda, x3, t;
  gf2m::Add(field, p.x, q.x, sx);
  gf2m::Add(field, p.y, q.y, sy);
  const int status = gf2m::Divide(field, sy, sx, lambda);
  if (status != 0) return status;
  gf2m::Sqr(field, lambda, x3);
  gf2m::Add(field, x3, lambda, x3);
  gf2m::Add(field, x3, sx, x3);
  gf2m::Add(field, x3, a, x3);
  gf2m::Add(field, p.x, x3, t);
  gf2m::Mul(field, lambda, t, t);
  gf2m::Add(field, t, x3, t);
  gf2m::Add(field, t, p.y, out.y);
  gf2m::Copy(field, x3, out.x);
  out.infinity = false;
  return 0;
}

void LoadAffine(const Field& field, const FixedBigInt& x, const FixedBigInt& y, Affine& p) {
  p.infinity = IsInfinity(x);
  gf2m::Load(field, x, p.x);
  gf2m::Load(field, y, p.y);
}

void StoreAffine(const Field& field, const Affine& p, FixedBigInt& out_x, FixedBigInt& out_y) {
  if (p.infinity) {
    StoreInfinity(field, out_x, out_y);
    return;
  }
  gf2m::Store(field, p.x, out_x);
  gf2m::Store(field, p.y, out_y);
}

// A ladder point in projective x-only coordinates: x = X / Z, infinity when Z = 0.
struct LadderPoint {
  Words X;
  Words Z;
};

// LadderAdd: R1 <- R0 + R1 for R1 - R0 = +-P with P's affine x:
// Z = (X0 Z1 + X1 Z0)^2, X = x Z + (X0 Z1)(X1 Z0). An infinite R0 or R1 gives P or R0, as it should.
void LadderAdd(const Field& field, const uint32_t* x, const LadderPoint& r0, LadderPoint& r1) {
  Words a, b, t;
  gf2m::Mul(field, r0.X, r1.Z, a);
  gf2m::Mul(field, r1.X, r0.Z, b);
  gf2m::Add(field, a, b, t);
  gf2m::Sqr(field, t, r1.Z);
  gf2m::Mul(field, a, b, t);
  gf2m::Mul(field, x, r1.Z, r1.X);
  gf2m::Add(field, r1.X, t, r1.X);
  ++op_counts.additions;
}

// LadderDouble: X = X^4 + b Z^4, Z = X^2 Z^2.
void LadderDouble(const Field& field, const uint32_t* b, LadderPoint& r) {
  Words x2, z2, t;
  gf2m::Sqr(field, r.X, x2);
  gf2m::Sqr(field, r.Z, z2);
  gf2m::Mul(field, x2, z2, r.Z);
  gf2m::Sqr(field, x2, r.X);
  gf2m::Sqr(field, z2, t);
  gf2m::Mul(field, t, b, t);
  gf2m::Add(field, r.X, t, r.X);
  ++op_counts.doublings;
}

// Public marks a value derived from the secret scalar that the result reveals anyway (whether kP is
// the point at infinity, whether k is longer than the field), so that memcheck, which the timing probe
// runs with the scalar undefined, lets the code branch on it.
template <typename T>
T Public(T value) {
#if VELMORABLE_HAVE_VALGRIND
  VALGRIND_MAKE_MEM_DEFINED(&value, sizeof value);
#endif
  return value;
}

// ZeroMask: all ones when a is zero, else 0, without a branch.
uint32_t ZeroMask(const Field& field, const uint32_t* a) {
  uint32_t any = 0;
  for (int32_t i = 0; i < field.n; ++i) any |= a[i];
  return ((any | (0u - any)) >> 31) - 1;
}

// RecoverLadderResult turns R0 = kP and R1 = (k + 1)P into affine kP, with one inversion:
// x_k = X0 / Z0, y_k = (x + x_k) [(X0 + x Z0)(X1 + x Z1) + (x^2 + y) Z0 Z1] / (x Z0 Z1) + y.
// Z1 = 0 means kP = -P = (x, x + y), chosen by mask; Z0 = 0 means infinity.
void RecoverLadderResult(const Field& field, const uint32_t* x, const uint32_t* y, const LadderPoint& r0,
                         const LadderPoint& r1, Affine& out) {
  Words x_z0, x_z1, u, v, w, zz, d, t;
  gf2m::Mul(field, x, r0.Z, x_z0);
  gf2m::Mul(field, x, r1.Z, x_z1);
  gf2m::Add(field, r0.X, x_z0, u);
  gf2m::Add(field, r1.X, x_z1, v);
  gf2m::Mul(field, u, v, w);
  gf2m::Mul(field, r0.Z, r1.Z, zz);
  gf2m::Sqr(field, x, t);
  gf2m::Add(field, t, y, t);
  gf2m::Mul(field, t, zz, t);
  gf2m::Add(field, w, t, w);
  gf2m::Mul(field, x, zz, d);
  gf2m::Invert(field, d, d);
  gf2m::Mul(field, x_z1, d, t);  // 1 / Z0
  gf2m::Mul(field, r0.X, t, out.x);
  gf2m::Mul(field, w, d, w);
  gf2m::Add(field, x, out.x, t);
  gf2m::Mul(field, t, w, out.y);
  gf2m::Add(field, out.y, y, out.y);
  const uint32_t minus_p = ZeroMask(field, r1.Z);
  for (int32_t i = 0; i < field.n; ++i) {
    out.x[i] = (out.x[i] & ~minus_p) | (x[i] & minus_p);
    out.y[i] = (out.y[i] & ~minus_p) | ((x[i] ^ y[i]) & minus_p);
  }
  out.infinity = Public(ZeroMask(field, r0.Z)) != 0;
}

uint32_t ScalarBit(const FixedBigInt& k, int32_t i) {
  const int32_t word = i / 32;
  if (word >= k.Count || word >= FixedBigInt::kMaxWords) return 0;
  return (k.Words[word] >> (i % 32)) & 1;
}

// ScalarReachesPast: whether k has a set bit at or above position bits, reading every word of k.
bool ScalarReachesPast(const FixedBigInt& k, int32_t bits) {
  uint32_t high = 0;
  const int32_t count = k.Count > FixedBigInt::kMaxWords ? FixedBigInt::kMaxWords : k.Count;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t first = 32 * i;
    const uint32_t mask = first >= bits ? 0xFFFFFFFFu : (bits - first < 32 ? ~((1u << (bits - first)) - 1) : 0u);
    high |= k.Words[i] & mask;
  }
  return Public(high) != 0;
}

}  // namespace

int EcPointMulBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f, const FixedBigInt& a,
                     const FixedBigInt& k, uint32_t field_id, FixedBigInt& out_x, FixedBigInt& out_y) {
  Field field;
  const int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  Affine p, result;
  LoadAffine(field, x, y, p);
  if (p.infinity) {
    StoreInfinity(field, out_x, out_y);
    return 0;
  }
  if (gf2m::IsZero(field, p.x)) {
    // (0, sqrt(b)) has order 2; the ladder's formulas divide by x.
    result = p;
    result.infinity = ScalarBit(k, 0) == 0;
    StoreAffine(field, result, out_x, out_y);
    return 0;
  }
  // b = y^2 + xy + x^2 (x + a), from the point itself.
  Words as, b, t;
  gf2m::Load(field, a, as);
  gf2m::Add(field, p.y, p.x, b);
  gf2m::Mul(field, b, p.y, b);
  gf2m::Add(field, p.x, as, t);
  gf2m::Mul(field, t, p.x, t);
  gf2m::Mul(field, t, p.x, t);
  gf2m::Add(field, b, t, b);

  // Every scalar below 2^(m+1) (so every scalar reduced modulo the order) walks the same m + 1 bits:
  // leading zero bits keep R0 at infinity and R1 at P at the full cost of a step. Whether k reaches
  // past them is found by touching all of its words alike, so its length does not show either.
  const int32_t bits = ScalarReachesPast(k, field.m + 1) ? FixedBigInt::BitLength(k) : field.m + 1;
  LadderPoint r0, r1;
  gf2m::SetWord(field, 1, r0.X);
  gf2m::SetWord(field, 0, r0.Z);
  gf2m::Copy(field, p.x, r1.X);
  gf2m::SetWord(field, 1, r1.Z);
  uint32_t swapped = 0;
  for (int32_t i = bits - 1; i >= 0; --i) {
    const uint32_t bit = ScalarBit(k, i);
    gf2m::ConditionalSwap(field, swapped ^ bit, r0.X, r1.X);
    gf2m::ConditionalSwap(field, swapped ^ bit, r0.Z, r1.Z);
    swapped = bit;
    LadderAdd(field, p.x, r0, r1);
    LadderDouble(field, b, r0);
  }
  gf2m::ConditionalSwap(field, swapped, r0.X, r1.X);
  gf2m::ConditionalSwap(field, swapped, r0.Z, r1.Z);
  RecoverLadderResult(field, p.x, p.y, r0, r1, result);
  StoreAffine(field, result, out_x, out_y);
  // The ladder's points would tell the scalar's bits to whoever reads the stack later.
  platform::SecureZero(&r0, sizeof r0);
  platform::SecureZero(&r1, sizeof r1);
  platform::SecureZero(&swapped, sizeof swapped);
  return 0;
}

namespace {

// OnAffinePoint loads (x, y) and a into the field of f, runs op (field, a, P, result) and stores the
// result when op returns 0.
template <typename Op>
int OnAffinePoint(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f, const FixedBigInt& a,
                  uint32_t field_id, FixedBigInt& out_x, FixedBigInt& out_y, Op op) {
  Field field;
  int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  Affine p, r;
  Words as;
  LoadAffine(field, x, y, p);
  gf2m::Load(field, a, as);
  status = op(field, as, p, r);
  if (status == 0) StoreAffine(field, r, out_x, out_y);
  return status;
}

}  // namespace

int EcPointAddAffineBinary(const FixedBigInt& x1, const FixedBigInt& y1, const FixedBigInt& x2,
                           const FixedBigInt& y2, const FixedBigInt& f, const FixedBigInt& a, uint32_t field_id,
                           FixedBigInt& out_x, FixedBigInt& out_y) {
  return OnAffinePoint(x1, y1, f, a, field_id, out_x, out_y,
                       [&](const Field& field, const uint32_t* as, const Affine& p, Affine& r) {
                         Affine q;
                         LoadAffine(field, x2, y2, q);
                         return AddAffine(field, as, p, q, r);
                       });
}

int EcPointDoubleAffineBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f,
                              const FixedBigInt& a, uint32_t field_id, FixedBigInt& out_x, FixedBigInt& out_y) {
  return OnAffinePoint(x, y, f, a, field_id, out_x, out_y, DoubleAffine);
}

int EcPointMulAffineBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f, const FixedBigInt& a,
                           const FixedBigInt& k, uint32_t field_id, FixedBigInt& out_x, FixedBigInt& out_y) {
  return OnAffinePoint(x, y, f, a, field_id, out_x, out_y,
                       [&](const Field& field, const uint32_t* as, const Affine& p, Affine& r) {
                         int status = 0;
                         r.infinity = true;
                         for (int32_t i = FixedBigInt::BitLength(k) - 1; i >= 0 && status == 0; --i) {
                           if (ScalarBit(k, i) != 0) status = AddAffine(field, as, r, p, r);
                           if (i > 0 && status == 0) status = DoubleAffine(field, as, r, r);
                         }
                         return status;
                       });
}

int EcRecoverYBinary(uint32_t bit, const FixedBigInt& x, const FixedBigInt& a, const FixedBigInt& b,
                     const FixedBigInt& f, uint32_t field_id, bool& found, FixedBigInt& y) {
  Field field;
  int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  Words xs, beta, t;
  gf2m::Load(field, x, xs);
  found = false;
  if (gf2m::IsZero(field, xs)) {
    // y = sqrt(b) = b^(2^(m-1)).
    FixedBigInt e;
    FixedBigInt::SetWord(e, 0);
    status = FixedBigInt::SetBit(e, field.m - 1, true);
    if (status == 0) status = Gf2Pow(b, e, f, field_id, y);
    found = status == 0;
    return status;
  }
  // beta = x + a + b / x^2, and y = x z for a root z of z^2 + z = beta of the wanted parity.
  FixedBigInt x_squared, quotient, z;
  status = Gf2Square(x, f, field_id, x_squared);
  if (status == 0) status = Gf2Divide(b, x_squared, f, quotient);
  if (status != 0) return status;
  gf2m::Load(field, quotient, beta);
  gf2m::Add(field, beta, xs, beta);
  gf2m::Load(field, a, t);
  gf2m::Add(field, beta, t, beta);
  FixedBigInt beta_value;
  gf2m::Store(field, beta, beta_value);
  status = Gf2SolveQuadratic(beta_value, f, field_id, found, z);
  if (status != 0 || !found) return status;
  gf2m::Load(field, z, t);
  if ((t[0] & 1) != (bit & 1)) t[0] ^= 1;
  gf2m::Mul(field, xs, t, t);
  gf2m::Store(field, t, y);
  return 0;
}

int EcCompressedBitBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f, uint32_t field_id,
                          uint32_t& bit) {
  Field field;
  const int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  bit = 0;
  if (Gf2IsZero(x, f)) return 0;
  FixedBigInt quotient;
  const int divided = Gf2Divide(y, x, f, quotient);
  if (divided == 0) bit = quotient.Words[0] & 1;
  return divided;
}

namespace test {
void ResetEcBinaryOpCounts() { op_counts = EcBinaryOpCounts{}; }
EcBinaryOpCounts GetEcBinaryOpCounts() { return op_counts; }
}  // namespace test

}  // namespace velmora::crypto
