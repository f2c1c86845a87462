#include "crypto/pubkey/ec/ecc_engine.h"

#include "crypto/pubkey/ec/ec_prime.h"
#include "crypto/pubkey/ec/gfp.h"
#include "crypto/pubkey/rsa/rsa_engine.h"

namespace velmora::crypto {
namespace {

using F = FixedBigInt;

bool IsEdwardsSigningType(int32_t type) { return type == 3 || type == 4; }

// The octet key pairs (Ed25519, Ed448, X25519, X448): at least one part, each of the type's length.
bool OctetKeyValid(const EcKeyParams& key) {
  const int32_t length = EcKeyTypeByteLength(key.KeyType);
  if (key.PublicKey.Length() == 0 && key.PrivateKey.Length() == 0) return false;
  if (key.PublicKey.Length() != 0 && key.PublicKey.Length() != length) return false;
  return key.PrivateKey.Length() == 0 || key.PrivateKey.Length() == length;
}

// The full check of a prime-curve key: coordinates below p and on the curve, d below n, d G = Q.
bool PrimeKeyConsistent(const EcKeyParams& key, const CurveParams& curve) {
  F p, n, a, b, gx, gy;
  if (WordsFromBufferPadded(curve.Field, nullptr, p) != 0 || WordsFromBufferPadded(curve.Order, nullptr, n) != 0 ||
      WordsFromBufferPadded(curve.A, &p, a) != 0 || WordsFromBufferPadded(curve.B, &p, b) != 0 ||
      WordsFromBufferPadded(curve.Gx, &p, gx) != 0 || WordsFromBufferPadded(curve.Gy, &p, gy) != 0) {
    return false;
  }
  const bool has_point = key.X.Length() > 0 && key.Y.Length() > 0;
  F x, y, d;
  if (has_point) {
    if (WordsFromBufferPadded(key.X, &p, x) != 0 || WordsFromBufferPadded(key.Y, &p, y) != 0) return false;
    if (x.Count > p.Count || y.Count > p.Count || !F::IsGreater(p, x) || !F::IsGreater(p, y)) return false;
    if (EcPointOnCurvePrime(x, y, a, b, p, curve.FieldId) != 1) return false;
  }
  if (key.D.Length() > 0) {
    if (WordsFromBufferPadded(key.D, &n, d) != 0 || d.Count > n.Count || !F::IsGreater(n, d)) return false;
    if (has_point) {
      F qx, qy;
      if (EcPointMulPrime(gx, gy, p, a, d, curve.FieldId, qx, qy) != 0) return false;
      if (EcIsInfinity(qx) || !F::Equals(qx, x) || !F::Equals(qy, y)) return false;
    }
  }
  return true;
}

bool WeierstrassKeyValid(const EcKeyParams& key, const CurveParams& curve, bool full) {
  if (key.D.Length() == 0 && (key.X.Length() == 0 || key.Y.Length() == 0)) return false;
  if (!full) return true;
  // The binary-curve field arithmetic offers no membership test to this engine yet: binary keys get
  // the presence check only.
  return curve.CurveForm != kCurveFormPrime || PrimeKeyConsistent(key, curve);
}

int CheckKey(EcKeyParams& key, bool full) {
  if (key.KeyType == -1) return kEcInvalidKey;
  CurveParams* curve = key.GetCurve();
  if (curve == nullptr || !IsCompleteCurve(*curve)) return kEcInvalidKey;
  const bool valid = key.UsesRawKeys() ? OctetKeyValid(key) : WeierstrassKeyValid(key, *curve, full);
  return valid ? 0 : kEcInvalidKey;
}

}  // namespace

EccEngine::~EccEngine() { ReleaseNativeKey(Random); }

int EccEngine::ValidateKey() { return CheckKey(Params, FullKeyCheck != 0); }

int EccEngine::Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) {
  // EdDSA over a digest belongs to the Edwards key operations, which this engine does not offer yet.
  if (IsEdwardsSigningType(Params.KeyType)) return kEngineNotAvailable;
  if (digest == nullptr || digest_length <= 0) return kEcNoDigest;
  if (Params.X.Length() == 0 || Params.Y.Length() == 0) return kEcNoPublicKey;
  if (Params.D.Length() == 0) return kEcNoPrivateKey;
  return EcdsaSign(digest, digest_length, out);
}

int EccEngine::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                      int32_t signature_length, int32_t& valid) {
  valid = 0;
  if (IsEdwardsSigningType(Params.KeyType)) return kEngineNotAvailable;
  return EcdsaVerify(digest, digest_length, signature, signature_length, valid);
}

int EccEngine::Agree(const EcKeyParams&, int32_t, const uint8_t*, int32_t, const uint8_t*, int32_t, const uint8_t*,
                     int32_t, core::BufferCore&) {
  return kEngineNotAvailable;
}

int EccEngine::GenerateKey(bool, EcKeyParams&) { return kEngineNotAvailable; }

int EccEngine::SetKeyParams(const EcKeyParams& params) {
  EcKeyParams candidate;
  int status = candidate.CopyFrom(params, true);
  if (status != 0) return status;
  if (CheckKey(candidate, FullKeyCheck != 0) != 0) return kEcInvalidKey;
  return Params.CopyFrom(params, true);
}

}  // namespace velmora::crypto
