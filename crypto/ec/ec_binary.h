// Points of the binary curves y^2 + xy = x^3 + ax^2 + b over GF(2^m) (see gf2m.h for the field).
//
// An affine point is a pair of field elements x, y with f's word count. The point at infinity is an x
// whose Count is 0 (y is then zero with f's word count); routines that return it write it that way.
// Scalars are FixedBigInt magnitudes of any length, not reduced modulo the order.
//
// Every operation returns 0 or the field arithmetic's code (see gf2m.h); on a failure the outputs are
// undefined. Input points are not checked to be on the curve: callers validate keys first. Outputs may
// alias inputs. Pure functions on caller-owned values: any thread.
#pragma once

#include <cstdint>

#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto {

// EcPointMulBinary: k (x, y), or infinity. Secret scalars are welcome: every k below 2^(m+1) runs the
// same sequence of field operations (a Montgomery ladder over projective x coordinates with
// constant-time swaps), so neither the value nor the bit length of k shows in the running time. b is
// taken from the point itself, which must be on the curve.
[[nodiscard]] int EcPointMulBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f,
                                   const FixedBigInt& a, const FixedBigInt& k, uint32_t field_id, FixedBigInt& out_x,
                                   FixedBigInt& out_y);
// EcPointAddAffineBinary: P + Q in affine coordinates (doubling when P = Q).
[[nodiscard]] int EcPointAddAffineBinary(const FixedBigInt& x1, const FixedBigInt& y1, const FixedBigInt& x2,
                                         const FixedBigInt& y2, const FixedBigInt& f, const FixedBigInt& a,
                                         uint32_t field_id, FixedBigInt& out_x, FixedBigInt& out_y);
// EcPointDoubleAffineBinary: 2P in affine coordinates.
[[nodiscard]] int EcPointDoubleAffineBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f,
                                            const FixedBigInt& a, uint32_t field_id, FixedBigInt& out_x,
                                            FixedBigInt& out_y);
// EcPointMulAffineBinary: k P by left-to-right double-and-add on affine points. Its running time
// depends on k: for public scalars and as a reference only.
[[nodiscard]] int EcPointMulAffineBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f,
                                         const FixedBigInt& a, const FixedBigInt& k, uint32_t field_id,
                                         FixedBigInt& out_x, FixedBigInt& out_y);
// EcRecoverYBinary: found = true with the y of the point with this x whose y x^-1 has bit 0 equal to
// bit (for x = 0: y = sqrt(b)), or found = false when x is the x of no point.
[[nodiscard]] int EcRecoverYBinary(uint32_t bit, const FixedBigInt& x, const FixedBigInt& a, const FixedBigInt& b,
                                   const FixedBigInt& f, uint32_t field_id, bool& found, FixedBigInt& y);
// EcCompressedBitBinary: bit 0 of y x^-1, or 0 when x = 0.
[[nodiscard]] int EcCompressedBitBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& f,
                                        uint32_t field_id, uint32_t& bit);

namespace test {
// Point operations counted by EcPointMulBinary on the calling thread since the last reset.
struct EcBinaryOpCounts {
  uint64_t additions = 0;
  uint64_t doublings = 0;
};
void ResetEcBinaryOpCounts();
EcBinaryOpCounts GetEcBinaryOpCounts();
}  // namespace test

}  // namespace velmora::crypto
