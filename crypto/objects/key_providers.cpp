#include "crypto/objects/key_providers.h"

#include "crypto/keys/curve_params.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/hash_objects.h"

namespace velmora::crypto {

namespace {

// NOTE: the platform's key objects are not part of this library; a request resolved to the platform
// ends here.
constexpr int kNoPlatformKey = -1;

// SelectKey runs the selection steps shared by the three families: resolve the mode, release an object
// made for another id or mode, create the internal object when none is held, and load params into it.
template <typename Base, typename Internal, typename Params>
int SelectKey(component::CryptoComponent& component, int32_t engine_id, const Params& params, uint32_t mode) {
  const uint32_t resolved = ResolveProviderMode(mode, false);
  KeepOrRelease(component, engine_id, mode);
  if (resolved == kProviderPlatform) return kNoPlatformKey;
  auto* key = dynamic_cast<Base*>(component.Object());
  if (key == nullptr) {
    key = new Internal;
    if (key == nullptr) return core::kOutOfMemory;
    component.Hold(engine_id, key, resolved);
  }
  return key->SetKeyParams(params);
}

}  // namespace

int SelectRsaProvider(component::CryptoComponent& component, const RsaKeyParams& params, uint32_t mode) {
  return SelectKey<RsaKeyBase, InternalRsaKey>(component, kEngineRsa, params, mode);
}

int SelectDsaProvider(component::CryptoComponent& component, const DsaKeyParams& params, uint32_t mode) {
  return SelectKey<DsaKeyBase, InternalDsaKey>(component, kEngineDsa, params, mode);
}

int SelectEccProvider(component::CryptoComponent& component, const EcKeyParams& params, uint32_t mode) {
  return SelectKey<EccKeyBase, InternalEccKey>(component, kEngineEcKey, params, mode);
}

RsaKeyBase* HeldRsaKey(const component::CryptoComponent& component) {
  return component.AlgorithmId() == kEngineRsa ? dynamic_cast<RsaKeyBase*>(component.Object()) : nullptr;
}

DsaKeyBase* HeldDsaKey(const component::CryptoComponent& component) {
  return component.AlgorithmId() == kEngineDsa ? dynamic_cast<DsaKeyBase*>(component.Object()) : nullptr;
}

EccKeyBase* HeldEccKey(const component::CryptoComponent& component) {
  return component.AlgorithmId() == kEngineEcKey ? dynamic_cast<EccKeyBase*>(component.Object()) : nullptr;
}

int PlatformRsaSign(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                    const char* digest_name, core::BufferCore& out, int32_t pss, int32_t salt_length) {
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  return key->Sign(digest, digest_length, digest_name, out, pss, salt_length);
}

int PlatformRsaVerify(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                      const uint8_t* signature, int32_t signature_length, const char* digest_name, int32_t& valid,
                      int32_t pss, int32_t salt_length, int32_t check_prefix) {
  valid = 0;
  RsaKeyBase* key = HeldRsaKey(component);
  if (key == nullptr) return -1;
  return key->Verify(digest, digest_length, signature, signature_length, digest_name, valid, pss, salt_length,
                     check_prefix);
}

int VerifyRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
              const uint8_t* signature, int32_t signature_length, int32_t& valid) {
  valid = 0;
  DsaKeyBase* key = HeldDsaKey(component);
  if (key == nullptr) return -1;
  core::Buffer raw;
  const int rc = DecodeDerSignatureToRaw(signature, signature_length, digest_length, raw);
  if (rc != 0) return rc;
  return key->Verify(digest, digest_length, raw.Bytes(), raw.Length(), &valid);
}

int VerifyHashRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                  const uint8_t* signature, int32_t signature_length, int32_t& valid) {
  valid = 0;
  EccKeyBase* key = HeldEccKey(component);
  if (key == nullptr) return -1;
  const int32_t width = EcKeyTypeByteLength(key->GetKeyParams()->KeyType);
  if (width < 0) return kEngineNotAvailable;
  core::Buffer raw;
  const int rc = DecodeDerSignatureToRaw(signature, signature_length, width, raw);
  if (rc != 0) return rc;
  return key->Verify(digest, digest_length, raw.Bytes(), raw.Length(), valid);
}

}  // namespace velmora::crypto
