#include "crypto/ec/ecc_engine.h"

#include "crypto/ec/ec_prime.h"
#include "crypto/ec/gfp.h"

namespace velmora::crypto {
namespace {

bool IsEdwardsSigningType(int32_t type) { return type == 3 || type == 4; }

}  // namespace

EccEngine::~EccEngine() { ReleaseNativeKey(Random); }

int EccEngine::ValidateKey() { return Params.Validate(*this); }

int EccEngine::Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) {
  // On Ed25519 and Ed448 keys the digest is signed with Ed25519ph / Ed448ph and an empty context.
  if (IsEdwardsSigningType(Params.KeyType)) return EdDSASign(digest, digest_length, out, 1, nullptr, 0);
  if (digest == nullptr || digest_length <= 0) return kEcNoDigest;
  if (Params.X.Length() == 0 || Params.Y.Length() == 0) return kEcNoPublicKey;
  if (Params.D.Length() == 0) return kEcNoPrivateKey;
  return EcdsaSign(digest, digest_length, out);
}

int EccEngine::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                      int32_t signature_length, int32_t& valid) {
  valid = 0;
  if (IsEdwardsSigningType(Params.KeyType)) {
    return EdDSAVerify(digest, digest_length, signature, signature_length, valid, 1, nullptr, 0);
  }
  return EcdsaVerify(digest, digest_length, signature, signature_length, valid);
}

// Agree, GenerateKey, SetKeyParams and the EdDSA operations are defined with the EC key operations
// (ec_key_ops.cpp).

}  // namespace velmora::crypto
