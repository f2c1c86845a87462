#include "crypto/pubkey/ec/ec_curve_ops.h"

#include "crypto/pubkey/ec/ecc_engine.h"
#include "crypto/pubkey/rsa/rsa_engine.h"

namespace velmora::crypto {

// The point arithmetic is not part of this build yet: every entry answers kEngineNotAvailable.

int EcCurveMultiply(const CurveParams&, const core::BufferCore&, const core::BufferCore&, const core::BufferCore&,
                    bool& infinity, core::BufferCore&, core::BufferCore&) {
  infinity = false;
  return kEngineNotAvailable;
}

int EcCurveMultiplyBase(const CurveParams&, const core::BufferCore&, bool& infinity, core::BufferCore&,
                        core::BufferCore&) {
  infinity = false;
  return kEngineNotAvailable;
}

int EcCurveContains(const CurveParams&, const core::BufferCore&, const core::BufferCore&, bool& on_curve) {
  on_curve = false;
  return kEngineNotAvailable;
}

int EcCurveRecoverY(const CurveParams&, int32_t, const core::BufferCore&, bool& found, core::BufferCore&) {
  found = false;
  return kEngineNotAvailable;
}

int EcCurveCompressedBit(const CurveParams& curve, const core::BufferCore&, const core::BufferCore& y, int32_t& bit) {
  bit = 0;
  if (curve.CurveForm != kCurveFormPrime) return kEngineNotAvailable;
  bit = y.IsEmpty() ? 0 : y.Bytes()[y.Length() - 1] & 1;
  return 0;
}

}  // namespace velmora::crypto
