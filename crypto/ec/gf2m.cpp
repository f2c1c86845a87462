#include "crypto/ec/gf2m.h"

#include <cstring>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/gf2m_internal.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {
namespace {

using gf2m::Field;
using gf2m::kMaxWords;

// Words is one element's worth of scratch.
using Words = uint32_t[kMaxWords];

// Gf2SolveQuadratic draws at most this many tau for even m; each draw fails with probability 1/2.
constexpr int kQuadraticDraws = 128;

bool GreaterAsNumber(const Field& field, const uint32_t* a, const uint32_t* b) {
  for (int32_t i = field.n - 1; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return false;
}

void ShiftRightOne(const Field& field, uint32_t* a) {
  for (int32_t i = 0; i < field.n; ++i) {
    a[i] = (a[i] >> 1) | (i + 1 < field.n ? a[i + 1] << 31 : 0);
  }
}

void DivideByX(const Field& field, uint32_t* a) {
  const uint32_t mask = 0u - (a[0] & 1);
  for (int32_t i = 0; i < field.n; ++i) a[i] ^= field.f[i] & mask;
  ShiftRightOne(field, a);
}

bool IsOne(const Field& field, const uint32_t* a) {
  uint32_t rest = a[0] ^ 1;
  for (int32_t i = 1; i < field.n; ++i) rest |= a[i];
  return rest == 0;
}

void HalfTrace(const Field& field, const uint32_t* beta, uint32_t* out) {
  Words z;
  gf2m::Copy(field, beta, z);
  for (int32_t i = 0; i < (field.m - 1) / 2; ++i) {
    gf2m::Sqr(field, z, z);
    gf2m::Sqr(field, z, z);
    gf2m::Add(field, z, beta, z);
  }
  gf2m::Copy(field, z, out);
}

// SolveEven: for even m, z = sum over i of (tau + ... + tau^(2^(i-1)))-weighted squares of beta, which
// solves z^2 + z = beta whenever tau has trace 1 (IEEE 1363 A.4.7); tau of trace 0 gives z^2 + z = 0 and
// another draw.
int SolveEven(const Field& field, const uint32_t* beta, bool& found, uint32_t* out) {
  RandomContext random;
  FixedBigInt drawn;
  Words tau, z, w, t;
  for (int draw = 0; draw < kQuadraticDraws; ++draw) {
    const int status = FixedBigInt::SetRandom(drawn, field.n, random);
    if (status != 0) return status;
    uint32_t wide[2 * kMaxWords] = {};
    gf2m::Load(field, drawn, wide);
    gf2m::Reduce(field, wide);
    gf2m::Copy(field, wide, tau);
    gf2m::SetWord(field, 0, z);
    gf2m::Copy(field, beta, w);
    for (int32_t i = 1; i < field.m; ++i) {
      gf2m::Sqr(field, w, t);
      gf2m::Mul(field, t, tau, t);
      gf2m::Sqr(field, z, z);
      gf2m::Add(field, z, t, z);
      gf2m::Sqr(field, w, w);
      gf2m::Add(field, w, beta, w);
    }
    if (!gf2m::IsZero(field, w)) {
      found = false;
      return 0;
    }
    gf2m::Sqr(field, z, t);
    gf2m::Add(field, t, z, t);
    if (gf2m::Equal(field, t, beta)) {
      found = true;
      gf2m::Copy(field, z, out);
      return 0;
    }
  }
  found = false;
  return 0;
}

}  // namespace

namespace gf2m {
int Divide(const Field& field, const uint32_t* b, const uint32_t* a, uint32_t* out) {
  Words u, v, x1, x2;
  gf2m::Copy(field, a, u);
  gf2m::Copy(field, field.f, v);
  gf2m::Copy(field, b, x1);
  gf2m::SetWord(field, 0, x2);
  while (!IsOne(field, u) && !IsOne(field, v)) {
    if (gf2m::IsZero(field, u) || gf2m::IsZero(field, v)) return kFixedZeroOperand;
    while ((u[0] & 1) == 0) {
      ShiftRightOne(field, u);
      DivideByX(field, x1);
    }
    while ((v[0] & 1) == 0) {
      ShiftRightOne(field, v);
      DivideByX(field, x2);
    }
    if (GreaterAsNumber(field, u, v)) {
      gf2m::Add(field, u, v, u);
      gf2m::Add(field, x1, x2, x1);
    } else {
      gf2m::Add(field, v, u, v);
      gf2m::Add(field, x2, x1, x2);
    }
  }
  gf2m::Copy(field, IsOne(field, u) ? x1 : x2, out);
  return 0;
}

}  // namespace gf2m

namespace {

// OnOne loads a into the field of f, runs op on it in place and stores it in out when op returns 0.
template <typename Op>
int OnOne(const FixedBigInt& a, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out, Op op) {
  Field field;
  const int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  Words x;
  gf2m::Load(field, a, x);
  const int result = op(field, x);
  if (result == 0) gf2m::Store(field, x, out);
  return result;
}

// OnTwo: the same with a second operand b, the result written over a's words.
template <typename Op>
int OnTwo(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out,
          Op op) {
  Words y;
  return OnOne(a, f, field_id, out, [&](const Field& field, uint32_t* x) {
    gf2m::Load(field, b, y);
    return op(field, x, y);
  });
}

}  // namespace

int Gf2Add(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& f, FixedBigInt& out) {
  return OnTwo(a, b, f, kFieldGeneric, out, [](const Field& field, uint32_t* x, const uint32_t* y) {
    gf2m::Add(field, x, y, x);
    return 0;
  });
}

bool Gf2IsZero(const FixedBigInt& a, const FixedBigInt& f) {
  Field field;
  if (gf2m::InitField(f, kFieldGeneric, field) != 0) return FixedBigInt::IsZero(a);
  Words x;
  gf2m::Load(field, a, x);
  return gf2m::IsZero(field, x);
}

int Gf2DivideByX(const FixedBigInt& a, const FixedBigInt& f, FixedBigInt& out) {
  return OnOne(a, f, kFieldGeneric, out, [](const Field& field, uint32_t* x) {
    DivideByX(field, x);
    return 0;
  });
}

int Gf2Multiply(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& f, uint32_t field_id,
                FixedBigInt& out) {
  return OnTwo(a, b, f, field_id, out, [](const Field& field, uint32_t* x, const uint32_t* y) {
    gf2m::Mul(field, x, y, x);
    return 0;
  });
}

int Gf2Square(const FixedBigInt& a, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out) {
  return OnOne(a, f, field_id, out, [](const Field& field, uint32_t* x) {
    gf2m::Sqr(field, x, x);
    return 0;
  });
}

int Gf2Reduce(FixedBigInt& t, const FixedBigInt& f, uint32_t field_id) {
  Field field;
  const int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  uint32_t wide[2 * kMaxWords] = {};
  const int32_t count = t.Count > 2 * field.n ? 2 * field.n : t.Count;
  if (count > 0) std::memcpy(wide, t.Words, sizeof(uint32_t) * count);
  gf2m::Reduce(field, wide);
  gf2m::Store(field, wide, t);
  return 0;
}

int Gf2Inverse(const FixedBigInt& a, const FixedBigInt& f, FixedBigInt& out) {
  return OnOne(a, f, kFieldGeneric, out, [](const Field& field, uint32_t* x) {
    Words one;
    gf2m::SetWord(field, 1, one);
    return gf2m::Divide(field, one, x, x);
  });
}

int Gf2Divide(const FixedBigInt& b, const FixedBigInt& a, const FixedBigInt& f, FixedBigInt& out) {
  return OnTwo(b, a, f, kFieldGeneric, out, [](const Field& field, uint32_t* x, const uint32_t* y) {
    return gf2m::Divide(field, x, y, x);
  });
}

int Gf2Pow(const FixedBigInt& a, const FixedBigInt& e, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out) {
  return OnOne(a, f, field_id, out, [&](const Field& field, uint32_t* x) {
    Words base;
    gf2m::Copy(field, x, base);
    const int32_t bits = FixedBigInt::BitLength(e);
    if (bits == 0) gf2m::SetWord(field, 1, x);
    for (int32_t i = bits - 2; i >= 0; --i) {
      gf2m::Sqr(field, x, x);
      if (FixedBigInt::TestBit(e, i)) gf2m::Mul(field, x, base, x);
    }
    return 0;
  });
}

int Gf2HalfTrace(const FixedBigInt& beta, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out) {
  return OnOne(beta, f, field_id, out, [](const Field& field, uint32_t* x) {
    HalfTrace(field, x, x);
    return 0;
  });
}

int Gf2SolveQuadratic(const FixedBigInt& beta, const FixedBigInt& f, uint32_t field_id, bool& found,
                      FixedBigInt& z) {
  Field field;
  int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  Words b, root, check;
  gf2m::Load(field, beta, b);
  found = false;
  if (gf2m::IsZero(field, b)) {
    // z = 0 is a root; the randomised search below would never stop on it.
    gf2m::SetWord(field, 0, root);
    found = true;
  } else if (field.m % 2 == 1) {
    HalfTrace(field, b, root);
    gf2m::Sqr(field, root, check);
    gf2m::Add(field, check, root, check);
    found = gf2m::Equal(field, check, b);
  } else {
    status = SolveEven(field, b, found, root);
    if (status != 0) return status;
  }
  if (found) gf2m::Store(field, root, z);
  return 0;
}

int EcPointOnCurveBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& a, const FixedBigInt& b,
                         const FixedBigInt& f, uint32_t field_id, bool& on_curve) {
  Field field;
  const int status = gf2m::InitField(f, field_id, field);
  if (status != 0) return status;
  Words xs, ys, as, bs, left, right, t;
  gf2m::Load(field, x, xs);
  gf2m::Load(field, y, ys);
  gf2m::Load(field, a, as);
  gf2m::Load(field, b, bs);
  // y^2 + xy = y (y + x); x^3 + ax^2 + b = x^2 (x + a) + b.
  gf2m::Add(field, ys, xs, t);
  gf2m::Mul(field, ys, t, left);
  gf2m::Add(field, xs, as, t);
  gf2m::Sqr(field, xs, right);
  gf2m::Mul(field, right, t, right);
  gf2m::Add(field, right, bs, right);
  on_curve = gf2m::Equal(field, left, right);
  return 0;
}

}  // namespace velmora::crypto
