// What X25519 and X448 share: the base-point test, the all-zero test and the public-key derivation.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "platform/memory.h"

namespace velmora::crypto {

// XdhIsBasePoint is true when u (public) is the byte first followed by zeros.
bool XdhIsBasePoint(const uint8_t* u, int32_t length, uint8_t first);
// XdhZeroCheck ORs the output together without branching: 0x90002 when every byte is zero, else 0.
int XdhZeroCheck(const uint8_t* out, int32_t length);

using XdhFunction = int (*)(const uint8_t*, int32_t, const uint8_t*, int32_t, uint8_t*, int32_t);
// XdhPublicFromPrivate sets public_key to length bytes fn(private key, base): fn's code, a Buffer error,
// or 1401 (public_key untouched) when the private key is not length bytes.
int XdhPublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key, int32_t length,
                         const uint8_t* base, XdhFunction fn);

// MontgomeryLadder sets (x2 : z2) to the scalar's multiple of the point with u = x1 by the ladder of
// RFC 7748 section 5, bits top_bit down to 0 of the clamped scalar k. Ops supplies the field: the type
// Fe; Add, Sub, Sqr, Mul (whose output is never an input here); CSwap with a 0/1 flag; One, Zero, Copy;
// and Z2Factor(out, AA, BB, E), the factor of z2 = E (AA + a24 E) in the form that field computes best.
// The exchanges are masked and both halves of every step run, so nothing depends on k but the data.
template <typename Ops>
void MontgomeryLadder(typename Ops::Fe& x2_out, typename Ops::Fe& z2_out, const typename Ops::Fe& x1,
                      const uint8_t* k, int top_bit) {
  struct State {
    typename Ops::Fe x2, z2, x3, z3, a, b, aa, bb, e, c, d, da, cb, t, t2;
    ~State() { platform::SecureZero(this, sizeof *this); }
  } s;
  Ops::One(s.x2);
  Ops::Zero(s.z2);
  Ops::Copy(s.x3, x1);
  Ops::One(s.z3);
  uint32_t swap = 0;
  for (int t = top_bit; t >= 0; --t) {
    const uint32_t bit = (k[t / 8] >> (t % 8)) & 1;
    swap ^= bit;
    Ops::CSwap(s.x2, s.x3, swap);
    Ops::CSwap(s.z2, s.z3, swap);
    swap = bit;
    Ops::Add(s.a, s.x2, s.z2);
    Ops::Sub(s.b, s.x2, s.z2);
    Ops::Sqr(s.aa, s.a);
    Ops::Sqr(s.bb, s.b);
    Ops::Sub(s.e, s.aa, s.bb);
    Ops::Add(s.c, s.x3, s.z3);
    Ops::Sub(s.d, s.x3, s.z3);
    Ops::Mul(s.da, s.d, s.a);
    Ops::Mul(s.cb, s.c, s.b);
    Ops::Add(s.t, s.da, s.cb);
    Ops::Sqr(s.x3, s.t);
    Ops::Sub(s.t, s.da, s.cb);
    Ops::Sqr(s.t, s.t);
    Ops::Mul(s.z3, x1, s.t);
    Ops::Mul(s.x2, s.aa, s.bb);
    Ops::Z2Factor(s.t2, s.aa, s.bb, s.e);
    Ops::Mul(s.z2, s.e, s.t2);
  }
  Ops::CSwap(s.x2, s.x3, swap);
  Ops::CSwap(s.z2, s.z3, swap);
  Ops::Copy(x2_out, s.x2);
  Ops::Copy(z2_out, s.z2);
}

namespace internal {
// LadderField names the field the X25519 ladder runs on: kFastest is four 64-bit limbs with mulx when
// the CPU has BMI2 and radix 2^51 otherwise; kRadix51 and kRadix25 force the older fields (the
// latter the Ed25519 code's radix-2^25.5 field).
enum class LadderField { kFastest, kRadix51, kRadix25 };
// ForceLadderField selects the field for every later X25519 ladder. For tests and benchmarks; set it
// while no X25519 runs.
void ForceLadderField(LadderField field);
}  // namespace internal

}  // namespace velmora::crypto
