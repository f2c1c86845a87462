#include "crypto/objects/cipher_selection.h"

#include "component/component_base.h"

namespace velmora::crypto {

bool IsCipherAllowedInFips(int32_t engine_id) {
  if (component::UseFIPSCompliantAPI() == 0) return true;
  if (engine_id == kEngineCipherAes || engine_id == kEngineCipherAesGcm) return true;
  return engine_id == kEngineCipher3Des && component::Allow3DESInFIPS() != 0;
}

CipherObject* HeldCipher(const component::CryptoComponent& component) {
  return dynamic_cast<CipherObject*>(component.Object());
}

int SelectCipherProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode) {
  if (!IsCipherAllowedInFips(engine_id)) {
    core::Buffer text;
    text.Format("The symmetrical algorithm %s is not supported in FIPS mode.", CipherIdToName(engine_id));
    return component.SetErrorText(kNotAllowedInFips, text.Data());
  }
  if (CipherEngineIdToInternalId(engine_id) < 0) return kUnknownCipher;
  // The platform has cipher forms for aes, 3des and aes-gcm.
  const bool platform_form =
      engine_id == kEngineCipherAes || engine_id == kEngineCipher3Des || engine_id == kEngineCipherAesGcm;
  if (ResolveProviderMode(mode, platform_form) == kProviderPlatform) {
    // NOTE: no platform cipher is part of this library yet; a request for it ends as a missing provider.
    component.ReleaseObject();
    return kNoPlatformProvider;
  }
  auto* cipher = new InternalCipher;
  if (cipher == nullptr) return core::kOutOfMemory;
  component.Hold(engine_id, cipher, kProviderInternal);
  return 0;
}

int DesEcbEncrypt(const uint8_t* key, const uint8_t* data, int32_t length, core::BufferCore& out) {
  component::CryptoComponent component;
  int rc = SelectCipherProvider(component, kEngineCipherDes, kProviderDefault);
  if (rc != 0) return rc;
  CipherObject* cipher = HeldCipher(component);
  rc = cipher->Init(CipherEngineIdToInternalId(kEngineCipherDes), key, 8, nullptr, 0, 0, kModeEcb, 0, nullptr);
  if (rc != 0) return rc;
  int32_t consumed = length;
  return cipher->Encrypt(data, 0, &consumed, out, 1);
}

}  // namespace velmora::crypto
