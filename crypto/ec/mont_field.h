// MontField: arithmetic modulo an odd number of up to 576 bits in Montgomery form on 64-bit limbs, the
// working representation of the prime-curve point code and of ECDSA's arithmetic modulo the order.
// Every operation runs in time independent of the values (the final subtraction and the additions use
// masks, not branches). Values are fixed arrays of kMaxLimbs limbs, least significant first; only the
// field's limb count is used. Used only inside crypto/ec.
#pragma once

#include <cstdint>

#include "crypto/bn/fixed_big_int.h"

namespace velmora::crypto::ec {

inline constexpr int32_t kMaxLimbs = 9;
using Limbs = uint64_t[kMaxLimbs];

struct MontField {
  int32_t n = 0;           // limbs in use
  int32_t bits = 0;        // bit length of the modulus
  Limbs m = {};            // the modulus
  uint64_t m_inv = 0;      // -m^-1 mod 2^64
  Limbs r2 = {};           // R^2 mod m, R = 2^(64 n)
  Limbs one = {};          // R mod m (1 in Montgomery form)
  void (*mul)(const MontField&, uint64_t*, const uint64_t*, const uint64_t*) = nullptr;
  bool dedicated = false;  // mul is P-521's or a 4-limb multiplication rather than the generic one

  // Init takes an odd modulus above 1 of at most 576 bits: 0, kFixedTooLong when it is longer,
  // kFixedZeroOperand when it is even, zero or one.
  [[nodiscard]] int Init(const FixedBigInt& modulus);
  // InitCached: the same, from a per-thread cache of the last few moduli.
  [[nodiscard]] int InitCached(const FixedBigInt& modulus);
};

// Limb conversions: FromFixed reads the value (which must be below 2^(64 n)); ToFixed writes it with
// the given 32-bit word count.
void LimbsFromFixed(const FixedBigInt& value, int32_t n, uint64_t* out);
void LimbsToFixed(const uint64_t* value, int32_t n, int32_t words, FixedBigInt& out);

// Montgomery arithmetic on values below m; out may alias the inputs.
inline void MontMul(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b) { f.mul(f, out, a, b); }
inline void MontSqr(const MontField& f, uint64_t* out, const uint64_t* a) { f.mul(f, out, a, a); }
void ModAdd(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b);
void ModSub(const MontField& f, uint64_t* out, const uint64_t* a, const uint64_t* b);
void ToMont(const MontField& f, uint64_t* out, const uint64_t* a);
void FromMont(const MontField& f, uint64_t* out, const uint64_t* a);
// ReduceWide: a value of 2 n limbs below m R taken modulo m (plain form in, plain form out).
void ReduceWide(const MontField& f, uint64_t* out, const uint64_t* wide);
// MontInverse: a^(m - 2) in Montgomery form (the inverse when m is prime; 0 for 0).
void MontInverse(const MontField& f, uint64_t* out, const uint64_t* a);
// Masks and selection: all ones or zero.
uint64_t IsZeroMask(const MontField& f, const uint64_t* a);
uint64_t EqualMask(const MontField& f, const uint64_t* a, const uint64_t* b);
inline void Select(const MontField& f, uint64_t mask, uint64_t* out, const uint64_t* when_set,
                   const uint64_t* when_clear) {
  for (int32_t j = 0; j < f.n; ++j) out[j] = (when_set[j] & mask) | (when_clear[j] & ~mask);
}
void CopyLimbs(const MontField& f, uint64_t* out, const uint64_t* a);
// LessThan: a < b over n limbs (not constant time, for public values).
bool LessThan(int32_t n, const uint64_t* a, const uint64_t* b);

namespace internal {
// ForceGenericPath(true) gives every field the generic Montgomery multiplication and has ECDSA
// verification run its two products separately in constant time, as before the dedicated paths; false
// (the default) restores them. For tests and benchmarks; set it while no EC operation runs.
void ForceGenericPath(bool force);
bool GenericPathForced();
}  // namespace internal

}  // namespace velmora::crypto::ec
