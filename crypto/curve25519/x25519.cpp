#include <cstring>

#include "crypto/curve25519/curve25519_field.h"
#include "crypto/curve25519/ed25519_group.h"
#include "crypto/curve25519/x25519_x448.h"
#include "crypto/curve25519/x25519_x448_internal.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// ClampedScalar is the clamped private copy of a scalar (RFC 7748 section 5), wiped when it goes.
struct ClampedScalar {
  uint8_t k[kX25519Bytes];
  explicit ClampedScalar(const uint8_t* scalar) {
    std::memcpy(k, scalar, sizeof k);
    k[0] &= 248;
    k[31] &= 63;
    k[31] |= 64;
  }
  ~ClampedScalar() { platform::SecureZero(k, sizeof k); }
};

bool LengthsOk(int32_t scalar_len, int32_t u_len, int32_t out_len) {
  return scalar_len == kX25519Bytes && u_len == kX25519Bytes && out_len == kX25519Bytes;
}

struct Fe25519Ops {
  using Fe = Fe25519;
  static void Add(Fe& h, const Fe& f, const Fe& g) { Fe25519Add(h, f, g); }
  static void Sub(Fe& h, const Fe& f, const Fe& g) { Fe25519Sub(h, f, g); }
  static void Mul(Fe& h, const Fe& f, const Fe& g) { Fe25519Mul(h, f, g); }
  static void Sqr(Fe& h, const Fe& f) { Fe25519Sq(h, f); }
  static void CSwap(Fe& f, Fe& g, uint32_t b) { Fe25519CSwap(f, g, b); }
  static void One(Fe& h) { Fe25519One(h); }
  static void Zero(Fe& h) { Fe25519Zero(h); }
  static void Copy(Fe& h, const Fe& f) { Fe25519Copy(h, f); }
  // AA + 121665 E, written as BB + 121666 E.
  static void Z2Factor(Fe& out, const Fe&, const Fe& bb, const Fe& e) {
    Fe25519Mul121666(out, e);
    Fe25519Add(out, bb, out);
  }
};

struct Fe51Ops {
  using Fe = Fe51;
  static void Add(Fe& h, const Fe& f, const Fe& g) { Fe51Add(h, f, g); }
  static void Sub(Fe& h, const Fe& f, const Fe& g) { Fe51Sub(h, f, g); }
  static void Mul(Fe& h, const Fe& f, const Fe& g) { Fe51Mul(h, f, g); }
  static void Sqr(Fe& h, const Fe& f) { Fe51Sq(h, f); }
  static void CSwap(Fe& f, Fe& g, uint32_t b) { Fe51CSwap(f, g, b); }
  static void One(Fe& h) { Fe51One(h); }
  static void Zero(Fe& h) { Fe51Zero(h); }
  static void Copy(Fe& h, const Fe& f) { h = f; }
  // AA + 121665 E, written as BB + 121666 E.
  static void Z2Factor(Fe& out, const Fe&, const Fe& bb, const Fe& e) {
    Fe51Mul121666(out, e);
    Fe51Add(out, bb, out);
  }
};

internal::LadderField forced_field = internal::LadderField::kFastest;

// Ladder51: the ladder on the radix-2^51 field.
void Ladder51(uint8_t* out, const uint8_t* k, const uint8_t* u) {
  Fe51 x1, x2, z2;
  Fe51FromBytes(x1, u);
  MontgomeryLadder<Fe51Ops>(x2, z2, x1, k, 254);
  Fe51Invert(z2, z2);
  Fe51Mul(x2, x2, z2);
  Fe51ToBytes(out, x2);
  platform::SecureZero(&x2, sizeof x2);
  platform::SecureZero(&z2, sizeof z2);
}

void Ladder(uint8_t* out, const uint8_t* k, const uint8_t* u) {
  if (forced_field == internal::LadderField::kFastest && Fe64LadderAvailable()) {
    Fe64X25519(out, k, u);
    return;
  }
  if (forced_field != internal::LadderField::kRadix25) {
    Ladder51(out, k, u);
    return;
  }
  Fe25519 x1, x2, z2;
  (void)Fe25519FromBytes(x1, u, kX25519Bytes);
  MontgomeryLadder<Fe25519Ops>(x2, z2, x1, k, 254);
  Fe25519Invert(z2, z2);
  Fe25519Mul(x2, x2, z2);
  (void)Fe25519ToBytes(out, kX25519Bytes, x2);
  platform::SecureZero(&x2, sizeof x2);
  platform::SecureZero(&z2, sizeof z2);
}

}  // namespace

bool XdhIsBasePoint(const uint8_t* u, int32_t length, uint8_t first) {
  if (u[0] != first) return false;
  for (int32_t i = 1; i < length; ++i) {
    if (u[i] != 0) return false;
  }
  return true;
}

int XdhZeroCheck(const uint8_t* out, int32_t length) {
  uint32_t any = 0;
  for (int32_t i = 0; i < length; ++i) any |= out[i];
  // (any - 1) >> 8 is 1 only for any = 0.
  return (((any - 1) >> 8) & 1) != 0 ? kXdhZeroSecret : 0;
}

int XdhPublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key, int32_t length,
                         const uint8_t* base, XdhFunction fn) {
  if (private_key.Length() != length) return kXdhBadPrivateKey;
  const int result = public_key.Resize(length);
  if (result != 0) return result;
  return fn(private_key.Bytes(), length, base, length, reinterpret_cast<uint8_t*>(public_key.Data()), length);
}

int X25519Ladder(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len, uint8_t* out,
                 int32_t out_len) {
  if (!LengthsOk(scalar_len, u_len, out_len)) return kXdhBadLength;
  const ClampedScalar k(scalar);
  Ladder(out, k.k, u);
  return XdhZeroCheck(out, kX25519Bytes);
}

int X25519(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len, uint8_t* out,
           int32_t out_len) {
  if (!LengthsOk(scalar_len, u_len, out_len)) return kXdhBadLength;
  if (!XdhIsBasePoint(u, kX25519Bytes, 9)) return X25519Ladder(scalar, scalar_len, u, u_len, out, out_len);
  // u of k B on the Edwards curve is (1 + y)/(1 - y) = (Z + Y)/(Z - Y) (RFC 7748 section 4.1).
  const ClampedScalar k(scalar);
  Ed25519PointP3 p;
  const int result = Ed25519ScalarMultBase(p, k.k, kX25519Bytes);
  if (result != 0) return result;
  Fe25519 num, den;
  Fe25519Add(num, p.Z, p.Y);
  Fe25519Sub(den, p.Z, p.Y);
  Fe25519Invert(den, den);
  Fe25519Mul(num, num, den);
  (void)Fe25519ToBytes(out, kX25519Bytes, num);
  platform::SecureZero(&p, sizeof p);
  platform::SecureZero(&num, sizeof num);
  return 0;
}

int X25519PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key) {
  static constexpr uint8_t kBase[kX25519Bytes] = {9};
  return XdhPublicFromPrivate(private_key, public_key, kX25519Bytes, kBase, X25519);
}

void internal::ForceLadderField(LadderField field) { forced_field = field; }

}  // namespace velmora::crypto
