#include "crypto/objects/cipher_selection.h"

#include <cstring>

#include "component/component_base.h"
#include "component/socket_base.h"
#include "crypto/objects/internal.h"
#include "crypto/providers/cng_cipher.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kLastCipherEngineId = 17;

bool Contains(const char* options, const char* item) {
  return options != nullptr && std::strstr(options, item) != nullptr;
}

int RefuseInFips(component::CryptoComponent& component, int32_t engine_id) {
  core::Buffer text;
  text.Format("The symmetrical algorithm %s is not supported in FIPS mode.", CipherIdToName(engine_id));
  return component.SetErrorText(kNotAllowedInFips, text.Data());
}

bool BadLengths(const CipherInit& init) {
  return init.key_length < 0 || init.iv_length < 0 || (init.key == nullptr && init.key_length != 0) ||
         (init.iv == nullptr && init.iv_length != 0);
}

}  // namespace

bool IsCipherAllowedInFips(int32_t engine_id) {
  if (component::UseFIPSCompliantAPI() == 0) return true;
  if (engine_id == kEngineCipherAes || engine_id == kEngineCipherAesGcm) return true;
  return engine_id == kEngineCipher3Des && component::Allow3DESInFIPS() != 0;
}

bool CanUsePlatformCipher(int32_t engine_id, int32_t iv_length, int32_t cipher_mode, const char* options) {
  if (component::SocketBase::IsOsVersion6OrLater() == 0) return false;
  if (engine_id == kEngineCipherAesGcm) return iv_length == 12 && !Contains(options, "AESGCMSkipVerifyAuthTag=true");
  if (engine_id != kEngineCipherAes && engine_id != kEngineCipher3Des) return false;
  switch (cipher_mode) {
    case kModeEcb:
    case kModeCbc:
    case kModeCtr:
      return true;
    case kModeCfb:
      return Contains(options, "FeedbackSize=8") || ProbeCngCfbSupport() != 0;
    default:
      return false;
  }
}

CipherObject* HeldCipher(const component::CryptoComponent& component) {
  return dynamic_cast<CipherObject*>(component.Object());
}

int SelectCipherProvider(component::CryptoComponent& component, int32_t engine_id, const CipherInit& init,
                         uint32_t mode) {
  if (BadLengths(init)) return kBadKeyArguments;
  if (!IsCipherAllowedInFips(engine_id)) return RefuseInFips(component, engine_id);
  // The probe behind CanUsePlatformCipher is asked only for a request the upgrade could move.
  const bool upgrade = mode == kProviderDefault && component::UseFIPSCompliantAPI() == 0 &&
                       component::UseInternalCryptoAPI() == 0 &&
                       CanUsePlatformCipher(engine_id, init.iv_length, init.cipher_mode, init.options);
  const uint32_t resolved = ResolveProviderMode(mode, upgrade);
  KeepOrRelease(component, engine_id, mode, resolved);
  CipherObject* cipher = nullptr;
  int32_t id = engine_id;
  if (resolved == kProviderPlatform) {
    if (init.cipher_mode == kModeOfb || init.cipher_mode == kModeCts) {
      return component.SetErrorText(kNotRunnable, kCngModeText);
    }
    cipher = HeldOrNew<CngCipher>(component);
  } else {
    id = CipherEngineIdToInternalId(engine_id);
    if (id < 0) return kNotRunnable;
    cipher = HeldOrNew<InternalCipher>(component);
  }
  if (cipher == nullptr) return core::kOutOfMemory;
  return cipher->Init(id, init.key, init.key_length, init.iv, init.iv_length, init.decrypt, init.cipher_mode,
                      init.padding, init.options);
}

int SelectCipherByName(component::CryptoComponent& component, const char* name, const CipherInit& init,
                       uint32_t mode) {
  const int32_t engine_id = CipherNameToId(name);
  // CipherNameToId answers 2001 (and 200) for a name it does not know; no engine id is that large.
  if (engine_id < 0 || engine_id > kLastCipherEngineId) return kNotRunnable;
  return SelectCipherProvider(component, engine_id, init, mode);
}

int SelectCipherProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode) {
  if (!IsCipherAllowedInFips(engine_id)) return RefuseInFips(component, engine_id);
  if (CipherEngineIdToInternalId(engine_id) < 0) return kUnknownCipher;
  // Without the IV and mode CanUsePlatformCipher cannot be asked: only a requirement moves this one.
  const bool platform = component::UseFIPSCompliantAPI() != 0 || mode == kProviderPlatform;
  const uint32_t resolved = platform ? kProviderPlatform : kProviderInternal;
  KeepOrRelease(component, engine_id, mode, resolved);
  CipherObject* cipher = platform ? static_cast<CipherObject*>(HeldOrNew<CngCipher>(component))
                                  : static_cast<CipherObject*>(HeldOrNew<InternalCipher>(component));
  return cipher != nullptr ? 0 : core::kOutOfMemory;
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
