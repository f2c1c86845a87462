// Arithmetic in GF(2^m) in polynomial basis, for the binary curves of CurveParams.
//
// An element is a FixedBigInt read as a bit string: bit i (word i / 32, bit i % 32) is the coefficient
// of x^i. The reduction polynomial f is a FixedBigInt too, and the field id beside it picks the
// reduction: the five named polynomials (kFieldSect163 ... kFieldSect571) have their own word-wise
// folding, any other id folds by the set bits of f. Results have f's word count (the words needed for
// f's bit length); inputs are read over that many words.
//
// Every operation returns 0, kFixedTooLong when a double-length product of f's word count would not
// fit a FixedBigInt, or kFixedZeroOperand for a zero f (and for inverting zero or an element that
// shares a factor with f). Outputs may alias inputs. Pure functions: any thread.
#pragma once

#include <cstdint>

#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto {

// Gf2Add: a + b (XOR).
[[nodiscard]] int Gf2Add(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& f, FixedBigInt& out);
// Gf2IsZero: true when a's words over f's word count are all zero.
bool Gf2IsZero(const FixedBigInt& a, const FixedBigInt& f);
// Gf2DivideByX: a / x (a + f first when a has a constant term).
[[nodiscard]] int Gf2DivideByX(const FixedBigInt& a, const FixedBigInt& f, FixedBigInt& out);
// Gf2Multiply: a b mod f.
[[nodiscard]] int Gf2Multiply(const FixedBigInt& a, const FixedBigInt& b, const FixedBigInt& f, uint32_t field_id,
                              FixedBigInt& out);
// Gf2Square: a^2 mod f.
[[nodiscard]] int Gf2Square(const FixedBigInt& a, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out);
// Gf2Reduce: t mod f in place, for t of up to twice f's word count (any higher words must be zero).
[[nodiscard]] int Gf2Reduce(FixedBigInt& t, const FixedBigInt& f, uint32_t field_id);
// Gf2Inverse: a^-1 mod f (binary inversion; the running time depends on a).
[[nodiscard]] int Gf2Inverse(const FixedBigInt& a, const FixedBigInt& f, FixedBigInt& out);
// Gf2Divide: b a^-1 mod f.
[[nodiscard]] int Gf2Divide(const FixedBigInt& b, const FixedBigInt& a, const FixedBigInt& f, FixedBigInt& out);
// Gf2Pow: a^e mod f (a^0 = 1). The running time depends on e.
[[nodiscard]] int Gf2Pow(const FixedBigInt& a, const FixedBigInt& e, const FixedBigInt& f, uint32_t field_id,
                         FixedBigInt& out);
// Gf2HalfTrace: the half-trace of beta, sum of beta^(4^i) for i = 0 .. (m - 1) / 2 (meaningful for odd m).
[[nodiscard]] int Gf2HalfTrace(const FixedBigInt& beta, const FixedBigInt& f, uint32_t field_id, FixedBigInt& out);
// Gf2SolveQuadratic: found = true with z^2 + z = beta, or found = false when beta has trace 1 (no root).
// For even m it draws random elements from the random source.
[[nodiscard]] int Gf2SolveQuadratic(const FixedBigInt& beta, const FixedBigInt& f, uint32_t field_id, bool& found,
                                    FixedBigInt& z);
// EcPointOnCurveBinary: on_curve = (y^2 + xy = x^3 + ax^2 + b).
[[nodiscard]] int EcPointOnCurveBinary(const FixedBigInt& x, const FixedBigInt& y, const FixedBigInt& a,
                                       const FixedBigInt& b, const FixedBigInt& f, uint32_t field_id, bool& on_curve);

}  // namespace velmora::crypto
