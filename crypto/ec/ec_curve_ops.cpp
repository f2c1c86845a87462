#include "crypto/ec/ec_curve_ops.h"

#include "crypto/ec/ec_binary.h"
#include "crypto/ec/ec_prime.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/gf2m.h"
#include "crypto/ec/gfp.h"
#include "crypto/bn/fixed_big_int.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

using F = FixedBigInt;

bool IsBinary(const CurveParams& curve) { return curve.CurveForm == kCurveFormBinary; }
bool KnownForm(const CurveParams& curve) { return curve.CurveForm == kCurveFormPrime || IsBinary(curve); }

// Field holds the curve's numbers as FixedBigInts: the modulus (p, or f for binary curves), a and b.
struct Field {
  F modulus, a, b;
  int Load(const CurveParams& curve) {
    int status = WordsFromBufferPadded(curve.Field, nullptr, modulus);
    if (status == 0) status = WordsFromBufferPadded(curve.A, &modulus, a);
    if (status == 0) status = WordsFromBufferPadded(curve.B, &modulus, b);
    return status;
  }
};

// WipedF clears a FixedBigInt that held a secret scalar when it goes out of scope.
struct WipedF {
  F value;
  ~WipedF() { platform::SecureZero(&value, sizeof value); }
};

// InField: value is a field element (below p, or of degree below m).
bool InField(const CurveParams& curve, const F& value, const F& modulus) {
  if (IsBinary(curve)) return F::BitLength(value) < F::BitLength(modulus);
  return F::IsGreater(modulus, value);
}

int Multiply(const CurveParams& curve, const Field& field, const F& k, const F& x, const F& y, bool& infinity,
             core::BufferCore& out_x, core::BufferCore& out_y) {
  F rx, ry;
  const int status = IsBinary(curve)
                         ? EcPointMulBinary(x, y, field.modulus, field.a, k, curve.FieldId, rx, ry)
                         : EcPointMulPrime(x, y, field.modulus, field.a, k, curve.FieldId, rx, ry);
  if (status != 0) return status;
  infinity = rx.Count == 0;
  if (infinity) return 0;
  const int32_t flen = CurveFieldByteLength(curve);
  core::Buffer x_bytes;
  core::Buffer y_bytes;
  int code = F::ToBytes(rx, flen, x_bytes);
  if (code == 0) code = F::ToBytes(ry, flen, y_bytes);
  if (code == 0) code = out_x.Assign(x_bytes);
  if (code == 0) code = out_y.Assign(y_bytes);
  return code;
}

// LoadScalar reads k with at least the order's word count, so that the multiplication's running time
// does not show how long the scalar is.
int LoadScalar(const CurveParams& curve, const core::BufferCore& k, F& out) {
  F order;
  int status = WordsFromBufferPadded(curve.Order, nullptr, order);
  if (status == 0) status = WordsFromBufferPadded(k, &order, out);
  return status;
}

// LoadPoint reads the coordinates x and y as elements of the field.
int LoadPoint(const Field& field, const core::BufferCore& x, const core::BufferCore& y, F& px, F& py) {
  const int status = WordsFromBufferPadded(x, &field.modulus, px);
  return status != 0 ? status : WordsFromBufferPadded(y, &field.modulus, py);
}

}  // namespace

const CurveParams* EcCurveOfKeyType(int32_t key_type) {
  const int32_t curve_id = EcKeyTypeToCurveId(key_type);
  if (curve_id < 0) return nullptr;
  const CurveParams* curve = FindCurveParams(static_cast<uint32_t>(curve_id));
  return curve != nullptr && KnownForm(*curve) ? curve : nullptr;
}

int EcCurveMultiply(const CurveParams& curve, const core::BufferCore& k, const core::BufferCore& x,
                    const core::BufferCore& y, bool& infinity, core::BufferCore& out_x, core::BufferCore& out_y) {
  infinity = false;
  if (!KnownForm(curve)) return kEcInvalidKey;
  Field field;
  WipedF scalar;
  F px, py;
  int status = field.Load(curve);
  if (status == 0) status = LoadScalar(curve, k, scalar.value);
  if (status == 0) status = LoadPoint(field, x, y, px, py);
  if (status != 0) return status;
  return Multiply(curve, field, scalar.value, px, py, infinity, out_x, out_y);
}

int EcCurveMultiplyBase(const CurveParams& curve, const core::BufferCore& k, bool& infinity, core::BufferCore& out_x,
                        core::BufferCore& out_y) {
  return EcCurveMultiply(curve, k, curve.Gx, curve.Gy, infinity, out_x, out_y);
}

int EcCurveContains(const CurveParams& curve, const core::BufferCore& x, const core::BufferCore& y, bool& on_curve) {
  on_curve = false;
  if (!KnownForm(curve)) return kEcInvalidKey;
  Field field;
  F px, py;
  int status = field.Load(curve);
  if (status == 0) status = LoadPoint(field, x, y, px, py);
  if (status != 0) return status;
  if (px.Count > field.modulus.Count || py.Count > field.modulus.Count) return 0;
  if (!InField(curve, px, field.modulus) || !InField(curve, py, field.modulus)) return 0;
  if (IsBinary(curve)) return EcPointOnCurveBinary(px, py, field.a, field.b, field.modulus, curve.FieldId, on_curve);
  on_curve = EcPointOnCurvePrime(px, py, field.a, field.b, field.modulus, curve.FieldId) == 1;
  return 0;
}

int EcCurveRecoverY(const CurveParams& curve, int32_t bit, const core::BufferCore& x, bool& found,
                    core::BufferCore& y) {
  found = false;
  if (!KnownForm(curve)) return kEcInvalidKey;
  Field field;
  F px, py;
  int status = field.Load(curve);
  if (status == 0) status = WordsFromBufferPadded(x, &field.modulus, px);
  if (status != 0) return status;
  if (px.Count > field.modulus.Count || !InField(curve, px, field.modulus)) return 0;
  if (IsBinary(curve)) {
    status = EcRecoverYBinary(static_cast<uint32_t>(bit), px, field.a, field.b, field.modulus, curve.FieldId, found,
                              py);
    if (status != 0) return status;
  } else {
    found = EcRecoverYPrime(bit, px, field.a, field.b, field.modulus, curve.FieldId, py) == 1;
  }
  if (!found) return 0;
  core::Buffer bytes;
  if ((status = F::ToBytes(py, CurveFieldByteLength(curve), bytes)) != 0) return status;
  return y.Assign(bytes);
}

int EcCurveCompressedBit(const CurveParams& curve, const core::BufferCore& x, const core::BufferCore& y, int32_t& bit) {
  bit = 0;
  if (!IsBinary(curve)) {
    bit = y.IsEmpty() ? 0 : y.Bytes()[y.Length() - 1] & 1;
    return 0;
  }
  Field field;
  F px, py;
  int status = field.Load(curve);
  if (status == 0) status = LoadPoint(field, x, y, px, py);
  if (status != 0) return status;
  uint32_t value = 0;
  status = EcCompressedBitBinary(px, py, field.modulus, curve.FieldId, value);
  bit = static_cast<int32_t>(value & 1);
  return status;
}

}  // namespace velmora::crypto
