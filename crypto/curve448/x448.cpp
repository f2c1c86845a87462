#include <cstring>

#include "crypto/curve448/curve448_field.h"
#include "crypto/curve448/ed448_group.h"
#include "crypto/curve448/ed448_scalar.h"
#include "crypto/curve25519/x25519_x448.h"
#include "crypto/curve25519/x25519_x448_internal.h"
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

bool LengthsOk(int32_t scalar_len, int32_t u_len, int32_t out_len) {
  return scalar_len == kX448Bytes && u_len == kX448Bytes && out_len == kX448Bytes;
}

struct Fe448Ops {
  using Fe = Fe448;
  static void Add(Fe& h, const Fe& f, const Fe& g) { Fe448Add(h, f, g); }
  static void Sub(Fe& h, const Fe& f, const Fe& g) { Fe448Sub(h, f, g); }
  // Fe448Mul writes nothing when its output is an input; the ladder never asks for that.
  static void Mul(Fe& h, const Fe& f, const Fe& g) { Fe448Mul(h, f, g); }
  static void Sqr(Fe& h, const Fe& f) { Fe448Sqr(h, f); }
  static void CSwap(Fe& f, Fe& g, uint32_t b) { Fe448CondSwap(f, g, b); }
  static void One(Fe& h) { Fe448SetOne(h); }
  static void Zero(Fe& h) { Fe448SetWord(h, 0); }
  static void Copy(Fe& h, const Fe& f) { Fe448Copy(h, f); }
  // AA + 39081 E.
  static void Z2Factor(Fe& out, const Fe& aa, const Fe&, const Fe& e) {
    Fe scaled;
    Fe448MulWord(scaled, e, 39081);
    Fe448Add(out, aa, scaled);
  }
};

int Ladder(uint8_t* out, const uint8_t* k, const uint8_t* u) {
  Fe448 x1, x2, z2, inverse, result;
  (void)Fe448FromBytes(x1, u, kX448Bytes);
  MontgomeryLadder<Fe448Ops>(x2, z2, x1, k, 447);
  Fe448Invert(inverse, z2);
  Fe448Mul(result, x2, inverse);
  const int code = Fe448ToBytes(out, kX448Bytes, result);
  platform::SecureZero(&x2, sizeof x2);
  platform::SecureZero(&result, sizeof result);
  return code;
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
