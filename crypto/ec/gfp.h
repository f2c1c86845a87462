// Arithmetic in GF(p) on FixedBigInt values for the prime-form curves: every element has p's word count
// and lies in [0, p). Multiplication reduces by the curve's field id: the fast reductions for the NIST
// primes P-192, P-224, P-256, P-384 and P-521, a word-level remainder for any other prime. Operations
// return 0 or a FixedBigInt code (kFixedTooLong when a value would outgrow 384 words, kFixedZeroOperand
// for an inverse of zero); outputs may alias inputs. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto {

[[nodiscard]] int GfpAdd(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& p, FixedBigInt& out);
[[nodiscard]] int GfpSub(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& p, FixedBigInt& out);
[[nodiscard]] int GfpHalve(const FixedBigInt& a, const FixedBigInt& p, FixedBigInt& out);
// GfpCompare: 1 when a > b, -1 when a < b, 0 when equal, over p's word count.
int GfpCompare(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& p);
bool GfpIsOne(const FixedBigInt& a, const FixedBigInt& p);
bool GfpIsZero(const FixedBigInt& a, const FixedBigInt& p);
void GfpSetOne(FixedBigInt& a, const FixedBigInt& p);
void GfpSetZero(FixedBigInt& a, const FixedBigInt& p);
void GfpSetSmall(FixedBigInt& a, const FixedBigInt& p, uint32_t v);

[[nodiscard]] int GfpMul(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& p, uint32_t field_id,
                         FixedBigInt& out);
[[nodiscard]] int GfpSquare(const FixedBigInt& a, const FixedBigInt& p, uint32_t field_id, FixedBigInt& out);
// GfpReduce: t mod p in place for t < p^2, by the reduction of field_id (kFieldGeneric or any unknown
// id: the word-level remainder).
[[nodiscard]] int GfpReduce(FixedBigInt& t, const FixedBigInt& p, uint32_t field_id);
// GfpInverse / GfpDivide (b / a) by binary inversion; a zero a (or one sharing a factor with p) gives
// kFixedZeroOperand.
[[nodiscard]] int GfpInverse(const FixedBigInt& a, const FixedBigInt& p, FixedBigInt& out);
[[nodiscard]] int GfpDivide(const FixedBigInt& b, const FixedBigInt& a, const FixedBigInt& p, FixedBigInt& out);
[[nodiscard]] int GfpModExp(const FixedBigInt& a, const FixedBigInt& e, const FixedBigInt& p, FixedBigInt& out);
// GfpSqrt: found = 1 with a root in out, or found = 0 when a is not a square (p = 3 mod 4, 5 mod 8, and
// 1 mod 8 by the Lucas method with random P; other p: found = 0).
[[nodiscard]] int GfpSqrt(const FixedBigInt& a, const FixedBigInt& p, uint32_t field_id, int32_t& found,
                          FixedBigInt& out);
// GfpLucasSequence: V = V_k(P, Q) mod p and Qk = Q^floor(k/2) mod p; 1 on success, 0 when a
// multiplication failed or P^2 - 2 is zero.
int GfpLucasSequence(const FixedBigInt& k, const FixedBigInt& P, const FixedBigInt& Q, const FixedBigInt& p,
                     uint32_t field_id, FixedBigInt& V, FixedBigInt& Qk);
// EcPointOnCurvePrime: 1 when y^2 = x^3 + ax + b, else 0.
int EcPointOnCurvePrime(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& a, const FixedBigInt& b,
                        const FixedBigInt& p, uint32_t field_id);

}  // namespace velmora::crypto
