#include <cstring>

#include "crypto/pubkey/curve448_field.h"
#include "crypto/pubkey/ed448_group.h"
#include "crypto/pubkey/ed448_scalar.h"
#include "crypto/pubkey/x25519_x448.h"
#include "crypto/pubkey/x25519_x448_internal.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// ClampedScalar is the clamped private copy of a scalar (RFC 7748 section 5), wiped when it goes.
struct ClampedScalar {
  uint8_t k[kX448Bytes];
  explicit ClampedScalar(const uint8_t* scalar) {
    std::memcpy(k, scalar, sizeof k);
    k[0] &= 252;
    k[55] |= 128;
  }
  ~ClampedScalar() { platform::SecureZero(k, sizeof k); }
};

struct LadderState {
  Fe448 x1, x2, z2, x3, z3, a, b, aa, bb, e, c, d, da, cb, t, t2;
  ~LadderState() { platform::SecureZero(this, sizeof *this); }
};

bool LengthsOk(int32_t scalar_len, int32_t u_len, int32_t out_len) {
  return scalar_len == kX448Bytes && u_len == kX448Bytes && out_len == kX448Bytes;
}

// The ladder of RFC 7748 section 5 with a24 = 39081. Fe448Mul refuses an output that is one of its
// inputs, so every product lands in a value of its own.
int Ladder(uint8_t* out, const uint8_t* k, const uint8_t* u) {
  LadderState s;
  (void)Fe448FromBytes(s.x1, u, kX448Bytes);
  Fe448SetOne(s.x2);
  Fe448SetWord(s.z2, 0);
  Fe448Copy(s.x3, s.x1);
  Fe448SetOne(s.z3);
  uint32_t swap = 0;
  for (int t = 447; t >= 0; --t) {
    const uint32_t bit = (k[t / 8] >> (t % 8)) & 1;
    swap ^= bit;
    Fe448CondSwap(s.x2, s.x3, swap);
    Fe448CondSwap(s.z2, s.z3, swap);
    swap = bit;
    Fe448Add(s.a, s.x2, s.z2);
    Fe448Sub(s.b, s.x2, s.z2);
    Fe448Sqr(s.aa, s.a);
    Fe448Sqr(s.bb, s.b);
    Fe448Sub(s.e, s.aa, s.bb);
    Fe448Add(s.c, s.x3, s.z3);
    Fe448Sub(s.d, s.x3, s.z3);
    Fe448Mul(s.da, s.d, s.a);
    Fe448Mul(s.cb, s.c, s.b);
    Fe448Add(s.t, s.da, s.cb);
    Fe448Sqr(s.x3, s.t);
    Fe448Sub(s.t, s.da, s.cb);
    Fe448Sqr(s.t, s.t);
    Fe448Mul(s.z3, s.x1, s.t);
    Fe448Mul(s.x2, s.aa, s.bb);
    Fe448MulWord(s.t, s.e, 39081);
    Fe448Add(s.t2, s.aa, s.t);
    Fe448Mul(s.z2, s.e, s.t2);
  }
  Fe448CondSwap(s.x2, s.x3, swap);
  Fe448CondSwap(s.z2, s.z3, swap);
  Fe448Invert(s.t, s.z2);
  Fe448Mul(s.t2, s.x2, s.t);
  return Fe448ToBytes(out, kX448Bytes, s.t2);
}

}  // namespace

int X448Ladder(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len, uint8_t* out,
               int32_t out_len) {
  if (!LengthsOk(scalar_len, u_len, out_len)) return kXdhBadLength;
  const ClampedScalar k(scalar);
  const int result = Ladder(out, k.k, u);
  if (result != 0) return result;
  return XdhZeroCheck(out, kX448Bytes);
}

int X448(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len, uint8_t* out, int32_t out_len) {
  if (!LengthsOk(scalar_len, u_len, out_len)) return kXdhBadLength;
  if (!XdhIsBasePoint(u, kX448Bytes, 5)) return X448Ladder(scalar, scalar_len, u, u_len, out, out_len);
  // The 4-isogeny of RFC 7748 section 4.2 takes k B on edwards448 to u = y^2/x^2, and B to u = 5. The
  // clamped scalar is above L; the multiplication takes it as it is.
  const ClampedScalar k(scalar);
  uint32_t words[kEd448ScalarWords];
  (void)Ed448ScalarFromBytes(words, k.k);
  Ed448Point p;
  int result = Ed448BaseMul(p, words, kEd448ScalarWords);
  platform::SecureZero(words, sizeof words);
  if (result == 0) {
    Fe448 y2, x2, inverse, u_out;
    Fe448Sqr(y2, p.y);
    Fe448Sqr(x2, p.x);
    Fe448Invert(inverse, x2);
    Fe448Mul(u_out, y2, inverse);
    result = Fe448ToBytes(out, kX448Bytes, u_out);
    platform::SecureZero(&u_out, sizeof u_out);
  }
  platform::SecureZero(&p, sizeof p);
  return result;
}

int X448PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key) {
  static constexpr uint8_t kBase[kX448Bytes] = {5};
  return XdhPublicFromPrivate(private_key, public_key, kX448Bytes, kBase, X448);
}

}  // namespace velmora::crypto
