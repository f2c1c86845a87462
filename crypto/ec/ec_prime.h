// Points of short Weierstrass curves y^2 = x^3 + ax + b over GF(p): scalar multiplication in Jacobian
// coordinates, affine addition, doubling and multiplication, and the recovery of y from x. An affine
// point is a pair of field elements with p's word count; the point at infinity has an x whose word count
// is 0 (and y zero). Operations return 0 or a FixedBigInt code; pure functions, any thread.
#pragma once

#include <cstdint>

#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto {

// EcPointMulPrime: k (x, y) into (out_x, out_y). The scalar is read over all of its word count, four bits
// at a time, with the same number of doublings and additions and the same memory accesses whatever its
// value, so a secret scalar given with a fixed word count leaks neither its bits nor its length. Needs
// p of at most 576 bits (kFixedTooLong otherwise).
[[nodiscard]] int EcPointMulPrime(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& p,
                                  const FixedBigInt& a, const FixedBigInt& k, uint32_t field_id, FixedBigInt& out_x,
                                  FixedBigInt& out_y);
// EcPointMulPrimeFixedBase: the same product for a point that is multiplied again and again, such as
// a curve's generator: the multiples of each 4-bit window of the scalar (on P-256, of each signed 6-bit
// digit of a scalar of at most eight words) are tabulated on the first call for that point and kept for
// the life of the process (at most 64 points per kind of table; later ones are multiplied without a
// table), which leaves one mixed addition per window. Equally constant in time. Any thread.
[[nodiscard]] int EcPointMulPrimeFixedBase(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& p,
                                           const FixedBigInt& a, const FixedBigInt& k, uint32_t field_id,
                                           FixedBigInt& out_x, FixedBigInt& out_y);
// EcPointMulTwoPrime: u1 (x1, y1) + u2 (x2, y2), either point possibly at infinity, by one chain of
// doublings over the interleaved width-5 NAF digits of both scalars (on P-256, width 8 for u1 from the
// first point's table of affine odd multiples, the one EcPointMulPrimeFixedBase keeps), in Jacobian
// coordinates with one conversion to affine at the end. Variable time: for public scalars and points only, as in signature
// verification. Needs p of at most 576 bits.
[[nodiscard]] int EcPointMulTwoPrime(const FixedBigInt& x1, const FixedBigInt& y1, const FixedBigInt& u1,
                                     const FixedBigInt& x2, const FixedBigInt& y2, const FixedBigInt& u2,
                                     const FixedBigInt& p, const FixedBigInt& a, FixedBigInt& out_x,
                                     FixedBigInt& out_y);
// The affine operations (variable time; one inversion per step).
[[nodiscard]] int EcPointAddAffinePrime(const FixedBigInt& x1, const FixedBigInt& y1, const FixedBigInt& x2,
                                        const FixedBigInt& y2, const FixedBigInt& a, const FixedBigInt& p,
                                        uint32_t field_id, FixedBigInt& out_x, FixedBigInt& out_y);
[[nodiscard]] int EcPointDoubleAffinePrime(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& a,
                                           const FixedBigInt& p, uint32_t field_id, FixedBigInt& out_x,
                                           FixedBigInt& out_y);
[[nodiscard]] int EcPointMulAffinePrime(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& k,
                                        const FixedBigInt& a, const FixedBigInt& p, uint32_t field_id,
                                        FixedBigInt& out_x, FixedBigInt& out_y);
// EcRecoverYPrime: 1 with the y whose bit 0 equals parity, or 0 when x is not the x of a point (or the
// arithmetic failed).
int EcRecoverYPrime(int32_t parity, const FixedBigInt& x, const FixedBigInt& a, const FixedBigInt& b,
                    const FixedBigInt& p, uint32_t field_id, FixedBigInt& y);
// EcSetInfinity marks (x, y) as the point at infinity of the field p.
void EcSetInfinity(const FixedBigInt& p, FixedBigInt& x, FixedBigInt& y);
inline bool EcIsInfinity(const FixedBigInt& x) { return x.Count == 0; }

namespace test {
// The projective doublings and additions this thread's prime-curve multiplications have done.
struct EcPointOpCounts {
  int64_t doublings = 0;
  int64_t additions = 0;
};
EcPointOpCounts& PrimePointOpCounts();
}  // namespace test

}  // namespace velmora::crypto
