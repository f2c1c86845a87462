#include "crypto/objects/ec_key_ops.h"

#include <cstring>

#include "component/component_base.h"
#include "crypto/curve25519/curve25519_field.h"
#include "crypto/curve448/curve448_field.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ec_curve_ops.h"
#include "crypto/curve25519/ed25519_eddsa.h"
#include "crypto/curve25519/ed25519_group.h"
#include "crypto/curve448/ed448.h"
#include "crypto/curve448/ed448_group.h"
#include "crypto/bn/integer_bytes.h"
#include "crypto/objects/key_classes.h"
#include "crypto/objects/key_providers.h"
#include "crypto/providers/cng_ecc_key.h"
#include "crypto/curve25519/x25519_x448.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/kdf/kdf_shared.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// The process default provider mode: internal, and nothing in the system changes it.
constexpr uint32_t kDefaultProviderMode = kProviderInternal;
constexpr int kRawAgreementRefused = 9998;

bool PlatformPreferred() { return component::UseFIPSCompliantAPI() != 0 || kDefaultProviderMode != kProviderInternal; }

}  // namespace

int ComputeEcPublicKeyPlatform(EcKeyParams& params) {
  CngEccKey key;
  return key.ComputePublicKey(params);
}

int EnsureEcPublicKey(EcKeyParams& params) {
  return PlatformPreferred() ? ComputeEcPublicKeyPlatform(params) : ComputeEcPublicKey(params);
}

// ---- the component's guards -----------------------------------------------------------------------------

int EcdhRawAgreementChecked(component::CryptoComponent& component, const EcKeyParams& peer, core::BufferCore& out,
                            int32_t cofactor) {
  if (PlatformPreferred() || component.ProviderMode() != 0) {
    return component.SetErrorText(kRawAgreementRefused,
                                  "ECDH error: The raw agreement is not supported in platform implementations.");
  }
  const EccKeyBase* key = HeldEccKey(component);
  if (key == nullptr) return kEcInvalidKey;
  const EcKeyParams& own = *key->GetKeyParams();
  if (own.KeyType == 3 || own.KeyType == 4) {
    return component.SetErrorText(kRawAgreementRefused, "ECDH error: The raw agreement is not supported for EdDSA.");
  }
  return EcdhRawAgreement(EcPrivatePart(own), peer, cofactor, out);
}

namespace {

// EdDSAKey: the component's EC key object when its EdDSA entries may run, else null with code set.
EccKeyBase* EdDSAKey(component::CryptoComponent& component, int& code) {
  if (PlatformPreferred() || component.ProviderMode() != 0) {
    code = component.SetErrorText(kEcUnsupported, "EdDSA error: EdDSA is not supported in FIPS compliant mode.");
    return nullptr;
  }
  EccKeyBase* key = HeldEccKey(component);
  code = key == nullptr ? kEcInvalidKey : 0;
  return key;
}

}  // namespace

int EdDSASignByComponent(component::CryptoComponent& component, const uint8_t* message, int32_t length,
                         core::BufferCore& out, int32_t prehash, const uint8_t* context, int32_t context_length) {
  int code = 0;
  EccKeyBase* key = EdDSAKey(component, code);
  return key == nullptr ? code : key->EdDSASign(message, length, out, prehash, context, context_length);
}

int EdDSAVerifyByComponent(component::CryptoComponent& component, const uint8_t* message, int32_t length,
                           const uint8_t* signature, int32_t signature_length, int32_t& valid, int32_t prehash,
                           const uint8_t* context, int32_t context_length) {
  valid = 0;
  int code = 0;
  EccKeyBase* key = EdDSAKey(component, code);
  if (key == nullptr) return code;
  return key->EdDSAVerify(message, length, signature, signature_length, valid, prehash, context, context_length);
}

// ---- Edwards to Montgomery ------------------------------------------------------------------------------

namespace {

// CopyAsType makes target a full copy of a source of source_type, then gives it target_type; 1410 for a
// source of another type.
int CopyAsType(const EcKeyParams& source, int32_t source_type, EcKeyParams& target, int32_t target_type) {
  if (source.KeyType != source_type) return kEcUnsupported;
  int status = target.Clear();
  if (status == 0) status = target.CopyFrom(source, true);
  target.KeyType = target_type;
  return status;
}

}  // namespace

int ConvertEd25519ToX25519(const EcKeyParams& source, EcKeyParams& target) {
  int status = CopyAsType(source, 3, target, 5);
  if (status != 0) return status;
  if (source.HasPrivateKey()) {
    // RFC 8032 section 5.1.5: the scalar is the clamped first half of SHA-512 of the seed.
    core::SecureBuffer digest;
    status = HashBytes(kHashSha512, source.PrivateKey.Bytes(), static_cast<uint32_t>(source.PrivateKey.Length()), digest);
    if (status != 0) return status;
    if ((status = target.PrivateKey.SetData(kX25519Bytes, digest.Bytes())) != 0) return status;
    auto* scalar = reinterpret_cast<uint8_t*>(target.PrivateKey.Data());
    scalar[0] &= 248;
    scalar[31] = static_cast<uint8_t>((scalar[31] & 63) | 64);
  }
  if (source.HasPublicKey()) {
    if (source.PublicKey.Length() != kX25519Bytes) return kEcInvalidKey;
    // Only y is needed, and the decoder sets it before it checks anything, so its verdict is not used.
    Ed25519PointP3 point;
    (void)Ed25519PointFromBytesNegate(point, source.PublicKey.Bytes(), kX25519Bytes);
    Fe25519 numerator;
    Fe25519 denominator;
    Fe25519 u;
    Fe25519Add(numerator, point.Z, point.Y);
    Fe25519Sub(denominator, point.Z, point.Y);
    Fe25519Invert(denominator, denominator);
    Fe25519Mul(u, numerator, denominator);
    status = Fe25519ToBytes(reinterpret_cast<uint8_t*>(target.PublicKey.Data()),
                            static_cast<uint32_t>(target.PublicKey.Length()), u);
  }
  return status;
}

int ConvertEd448ToX448(const EcKeyParams& source, EcKeyParams& target) {
  int status = CopyAsType(source, 4, target, 6);
  if (status != 0) return status;
  if (source.HasPrivateKey()) {
    if (source.PrivateKey.Length() != kEd448KeyBytes) return kEcInvalidKey;
    // RFC 8032 section 5.2.5: the scalar comes from the first 56 bytes of SHAKE256(seed, 114).
    ShakeState shake(136, 8 * 2 * kEd448KeyBytes, 256);
    shake.Absorb(source.PrivateKey.Bytes(), static_cast<size_t>(kEd448KeyBytes));
    const uint8_t* digest = shake.Final();
    if (digest == nullptr) return core::kOutOfMemory;
    status = target.PrivateKey.SetData(kFe448Bytes, digest);
    platform::SecureZero(const_cast<uint8_t*>(digest), static_cast<size_t>(2 * kEd448KeyBytes));
    shake.Reset();
    if (status != 0) return status;
    auto* scalar = reinterpret_cast<uint8_t*>(target.PrivateKey.Data());
    scalar[0] &= 252;
    scalar[55] |= 128;
  }
  if (source.HasPublicKey()) {
    // RFC 7748 section 4.2: the 4-isogeny from edwards448 to curve448 is u = y^2 / x^2.
    Ed448Point point;
    if (Ed448PointFromBytes(point, source.PublicKey.Bytes(), static_cast<size_t>(source.PublicKey.Length())) != 1) {
      return kEcInvalidKey;
    }
    Fe448 x2;
    Fe448 y2;
    Fe448 inverse;
    Fe448 u;
    Fe448Sqr(x2, point.x);
    Fe448Sqr(y2, point.y);
    Fe448Invert(inverse, x2);
    Fe448Mul(u, y2, inverse);
    if ((status = target.PublicKey.Resize(kFe448Bytes)) != 0) return status;
    status = Fe448ToBytes(reinterpret_cast<uint8_t*>(target.PublicKey.Data()), kFe448Bytes, u);
  }
  return status;
}

}  // namespace velmora::crypto
