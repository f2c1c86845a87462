// Byte-string entry points to the Weierstrass point arithmetic for the key operations: each takes a
// table or explicit CurveParams of the prime or binary form and unsigned big-endian coordinates, and
// dispatches by CurveForm. Coordinates come back with the curve's field length. Pure functions.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/curve_params.h"

namespace velmora::crypto {

// EcCurveOfKeyType: the table curve of an EC key type when it is of the prime or binary form, else
// null.
const CurveParams* EcCurveOfKeyType(int32_t key_type);

// EcCurveMultiply sets (out_x, out_y) = k (x, y), or infinity to true (outputs untouched) when the
// result is the point at infinity. 0; kEcInvalidKey (1401) for a curve of neither form; a field code.
[[nodiscard]] int EcCurveMultiply(const CurveParams& curve, const core::BufferCore& k, const core::BufferCore& x,
                                  const core::BufferCore& y, bool& infinity, core::BufferCore& out_x,
                                  core::BufferCore& out_y);
// EcCurveMultiplyBase is EcCurveMultiply with the curve's generator.
[[nodiscard]] int EcCurveMultiplyBase(const CurveParams& curve, const core::BufferCore& k, bool& infinity,
                                      core::BufferCore& out_x, core::BufferCore& out_y);
// EcCurveContains sets on_curve when x and y are field elements (below p, or of degree below m) that
// satisfy the curve equation. 0, 1401 for a curve of neither form, or a field code.
[[nodiscard]] int EcCurveContains(const CurveParams& curve, const core::BufferCore& x, const core::BufferCore& y,
                                  bool& on_curve);
// EcCurveRecoverY finds the y of x with the given bit (prime: parity of y; binary: bit 0 of y / x) and
// sets found; y is written only when found. 0, 1401 for a curve of neither form, or a field code.
[[nodiscard]] int EcCurveRecoverY(const CurveParams& curve, int32_t bit, const core::BufferCore& x, bool& found,
                                  core::BufferCore& y);
// EcCurveCompressedBit sets bit to the compression bit of (x, y): bit 0 of y on a prime curve, bit 0
// of y x^-1 on a binary curve (0 for x = 0). 0 or a field code.
[[nodiscard]] int EcCurveCompressedBit(const CurveParams& curve, const core::BufferCore& x, const core::BufferCore& y,
                                       int32_t& bit);

}  // namespace velmora::crypto
