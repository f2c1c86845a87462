#include <cstring>

#include "crypto/pubkey/curve25519_field.h"
#include "crypto/pubkey/ed25519_group.h"
#include "crypto/pubkey/x25519_x448.h"
#include "crypto/pubkey/x25519_x448_internal.h"
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

// LadderState holds every value of the ladder that depends on the scalar, so that one wipe covers them.
struct LadderState {
  Fe25519 x1, x2, z2, x3, z3, a, b, aa, bb, e, c, d, da, cb, t;
  ~LadderState() { platform::SecureZero(this, sizeof *this); }
};

bool LengthsOk(int32_t scalar_len, int32_t u_len, int32_t out_len) {
  return scalar_len == kX25519Bytes && u_len == kX25519Bytes && out_len == kX25519Bytes;
}

// The ladder of RFC 7748 section 5 with a24 folded as E (BB + 121666 E) = E (AA + 121665 E).
void Ladder(uint8_t* out, const uint8_t* k, const uint8_t* u) {
  LadderState s;
  (void)Fe25519FromBytes(s.x1, u, kX25519Bytes);
  Fe25519One(s.x2);
  Fe25519Zero(s.z2);
  Fe25519Copy(s.x3, s.x1);
  Fe25519One(s.z3);
  uint32_t swap = 0;
  for (int t = 254; t >= 0; --t) {
    const uint32_t bit = (k[t / 8] >> (t % 8)) & 1;
    swap ^= bit;
    Fe25519CSwap(s.x2, s.x3, swap);
    Fe25519CSwap(s.z2, s.z3, swap);
    swap = bit;
    Fe25519Add(s.a, s.x2, s.z2);
    Fe25519Sub(s.b, s.x2, s.z2);
    Fe25519Sq(s.aa, s.a);
    Fe25519Sq(s.bb, s.b);
    Fe25519Sub(s.e, s.aa, s.bb);
    Fe25519Add(s.c, s.x3, s.z3);
    Fe25519Sub(s.d, s.x3, s.z3);
    Fe25519Mul(s.da, s.d, s.a);
    Fe25519Mul(s.cb, s.c, s.b);
    Fe25519Add(s.t, s.da, s.cb);
    Fe25519Sq(s.x3, s.t);
    Fe25519Sub(s.t, s.da, s.cb);
    Fe25519Sq(s.t, s.t);
    Fe25519Mul(s.z3, s.x1, s.t);
    Fe25519Mul(s.x2, s.aa, s.bb);
    Fe25519Mul121666(s.t, s.e);
    Fe25519Add(s.t, s.bb, s.t);
    Fe25519Mul(s.z2, s.e, s.t);
  }
  Fe25519CSwap(s.x2, s.x3, swap);
  Fe25519CSwap(s.z2, s.z3, swap);
  Fe25519Invert(s.t, s.z2);
  Fe25519Mul(s.x2, s.x2, s.t);
  (void)Fe25519ToBytes(out, kX25519Bytes, s.x2);
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

}  // namespace velmora::crypto
