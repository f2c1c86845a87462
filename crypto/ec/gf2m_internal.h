// The word-array layer under gf2m.h, shared with the binary point code: a field description made once
// from f, and operations on plain arrays of n 32-bit words that allocate nothing. The multiplication,
// squaring, reduction of the named polynomials (and of sparse ones) and the field inversion run in time
// that depends only on the field, never on the operands.
#pragma once

#include <cstdint>

#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto::gf2m {

// kMaxWords: the longest element whose double-length product still fits a FixedBigInt.
inline constexpr int32_t kMaxWords = (FixedBigInt::kMaxWords - 1) / 2;

struct Field {
  int32_t n = 0;     // words per element
  int32_t m = 0;     // degree of f
  uint32_t id = 0;   // a named polynomial's field id, or kFieldGeneric
  bool sparse = false;  // every lower term of f is at least 32 below m: one folding pass suffices
  uint32_t f[kMaxWords] = {};
};

// InitField: 0, kFixedZeroOperand for f = 0 or 1, kFixedTooLong when f needs more than kMaxWords words.
// A named field id whose polynomial has another degree than f is treated as generic.
[[nodiscard]] int InitField(const FixedBigInt& f, uint32_t field_id, Field& field);

// Load copies n words of an element (words at or above its Count read as zero); Store writes n words
// with Count n and clears the rest of the FixedBigInt.
void Load(const Field& field, const FixedBigInt& in, uint32_t* out);
void Store(const Field& field, const uint32_t* in, FixedBigInt& out);

// Reduce folds a double-length value t (2n words) into its low n words.
void Reduce(const Field& field, uint32_t* t);
void Mul(const Field& field, const uint32_t* a, const uint32_t* b, uint32_t* out);
void Sqr(const Field& field, const uint32_t* a, uint32_t* out);
// Divide: b a^-1 by the binary algorithm over polynomials (time depends on the operands); 0, or
// kFixedZeroOperand when a shares a factor with f (a = 0 included).
[[nodiscard]] int Divide(const Field& field, const uint32_t* b, const uint32_t* a, uint32_t* out);
// Invert: a^(2^m - 2), which is a^-1 for a nonzero a when f is irreducible, and 0 for a = 0.
void Invert(const Field& field, const uint32_t* a, uint32_t* out);

inline void Add(const Field& field, const uint32_t* a, const uint32_t* b, uint32_t* out) {
  for (int32_t i = 0; i < field.n; ++i) out[i] = a[i] ^ b[i];
}
inline void Copy(const Field& field, const uint32_t* a, uint32_t* out) {
  for (int32_t i = 0; i < field.n; ++i) out[i] = a[i];
}
inline void SetWord(const Field& field, uint32_t w, uint32_t* out) {
  out[0] = w;
  for (int32_t i = 1; i < field.n; ++i) out[i] = 0;
}
inline bool IsZero(const Field& field, const uint32_t* a) {
  uint32_t any = 0;
  for (int32_t i = 0; i < field.n; ++i) any |= a[i];
  return any == 0;
}
inline bool Equal(const Field& field, const uint32_t* a, const uint32_t* b) {
  uint32_t diff = 0;
  for (int32_t i = 0; i < field.n; ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}
// ConditionalSwap exchanges a and b when swap is 1, in constant time.
inline void ConditionalSwap(const Field& field, uint32_t swap, uint32_t* a, uint32_t* b) {
  const uint32_t mask = 0u - swap;
  for (int32_t i = 0; i < field.n; ++i) {
    const uint32_t t = (a[i] ^ b[i]) & mask;
    a[i] ^= t;
    b[i] ^= t;
  }
}

}  // namespace velmora::crypto::gf2m
