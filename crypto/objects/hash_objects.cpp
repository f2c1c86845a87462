#include "crypto/objects/hash_objects.h"

#include "component/component_base.h"
#include "component/socket_base.h"
#include "crypto/objects/internal.h"
#include "crypto/providers/cng_hash.h"

namespace velmora::crypto {

namespace {

bool FipsAllowsHash(int32_t engine_id) {
  return engine_id == kEngineSha1 || engine_id == kEngineSha256 || engine_id == kEngineSha224 ||
         engine_id == kEngineSha512 || engine_id == kEngineSha384;
}

bool FipsAllowsHmac(int32_t engine_id) {
  return engine_id == kEngineHmacSha1 || (engine_id >= kEngineHmacSha256 && engine_id <= kEngineHmacSha384);
}

// SelectPlatformHash makes the component hold a CngHash for a digest with a platform form: 0, 600 for one
// without, or CngHash::SetAlgorithm's code.
int SelectPlatformHash(component::CryptoComponent& component, int32_t engine_id, uint32_t mode) {
  const int32_t platform_id = PlatformDigestIndex(engine_id);
  if (platform_id < 0) return kNoPlatformProvider;
  auto* hash = dynamic_cast<CngHash*>(component.Object());
  const bool created = hash == nullptr;
  if (created) {
    hash = new CngHash;
    if (hash == nullptr) return core::kOutOfMemory;
  }
  const int rc = hash->SetAlgorithm(platform_id);
  if (created) {
    if (rc != 0) {
      delete hash;
      return rc;
    }
    component.Hold(engine_id, hash, mode);
  }
  return rc;
}

}  // namespace

void KeepOrRelease(component::CryptoComponent& component, int32_t engine_id, uint32_t mode, uint32_t resolved) {
  // A request for the default mode never matches the stored mode (0 or 1), so it starts afresh.
  if (component.Object() != nullptr && (component.AlgorithmId() != engine_id || component.ProviderMode() != mode)) {
    component.ReleaseObject();
  }
  component.Store(engine_id, resolved);
}

bool IsPlatformDigestId(int32_t engine_id) {
  if (component::SocketBase::IsOsVersion6OrLater() == 0) return false;
  return PlatformDigestIndex(engine_id) >= 0 || PlatformHmacIndex(engine_id) >= 0;
}

uint32_t ResolveProviderMode(uint32_t mode, bool has_platform_form) {
  if (component::UseFIPSCompliantAPI() != 0) return kProviderPlatform;
  if (mode == kProviderDefault) {
    const bool upgrade = has_platform_form && component::UseInternalCryptoAPI() == 0 &&
                         component::SocketBase::IsOsVersion6OrLater() != 0;
    return upgrade ? kProviderPlatform : kProviderInternal;
  }
  return mode == kProviderPlatform ? kProviderPlatform : kProviderInternal;
}

// ---- selection ----------------------------------------------------------------------------------------

HashObject* HeldHash(const component::CryptoComponent& component) {
  return dynamic_cast<HashObject*>(component.Object());
}

HmacObject* HeldHmac(const component::CryptoComponent& component) {
  return dynamic_cast<HmacObject*>(component.Object());
}

int SelectHashProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode) {
  if (component::UseFIPSCompliantAPI() != 0 && !FipsAllowsHash(engine_id)) return kNotAllowedInFips;
  const uint32_t resolved = ResolveProviderMode(mode, PlatformDigestIndex(engine_id) >= 0);
  KeepOrRelease(component, engine_id, mode, resolved);
  if (resolved == kProviderPlatform) return SelectPlatformHash(component, engine_id, resolved);
  const int32_t id = EngineIdToHashId(engine_id);
  if (id < 0) return kNoInternalDigest;
  auto* hash = dynamic_cast<InternalHash*>(component.Object());
  const bool created = hash == nullptr;
  if (created) {
    hash = new InternalHash;
    if (hash == nullptr) return core::kOutOfMemory;
  }
  int rc = hash->SetAlgorithm(id);
  if (rc == 0 && engine_id >= kEngineFirstKeccak) rc = SetSha3ContextFlag(hash->Ctx(), 1);
  if (created) {
    if (rc != 0) {
      delete hash;
      return rc;
    }
    component.Hold(engine_id, hash, resolved);
  }
  return rc;
}

int SelectHashByName(component::CryptoComponent& component, const char* name, uint32_t mode) {
  return SelectHashProvider(component, HashNameToEngineId(name), mode);
}

int SelectHmacProvider(component::CryptoComponent& component, int32_t engine_id, const uint8_t* key,
                       int32_t key_length, uint32_t mode) {
  if (key_length < 0 || (key == nullptr && key_length != 0)) return kBadKeyArguments;
  if (component::UseFIPSCompliantAPI() != 0 && !FipsAllowsHmac(engine_id)) return kNotAllowedInFips;
  const uint32_t resolved = ResolveProviderMode(mode, key_length != 0 && PlatformHmacIndex(engine_id) >= 0);
  KeepOrRelease(component, engine_id, mode, resolved);
  if (resolved == kProviderPlatform) {
    const int32_t platform_id = PlatformHmacIndex(engine_id);
    if (platform_id < 0) return kNoPlatformProvider;
    auto* hmac = HeldOrNew<CngHmac>(component);
    return hmac != nullptr ? hmac->SetKey(platform_id, key, key_length) : core::kOutOfMemory;
  }
  const int32_t id = HmacIdToHashId(engine_id);
  if (id < 0) return kNoInternalDigest;
  auto* hmac = HeldOrNew<InternalHmac>(component);
  return hmac != nullptr ? hmac->SetKey(id, key, key_length) : core::kOutOfMemory;
}

int SelectHmacByName(component::CryptoComponent& component, const char* name, const uint8_t* key,
                     int32_t key_length, uint32_t mode) {
  return SelectHmacProvider(component, HmacNameToAlgId(name), key, key_length, mode);
}

int CopyHashFrom(component::CryptoComponent& component, const component::CryptoComponent& source) {
  const int32_t engine_id = source.AlgorithmId();
  const uint32_t mode = source.ProviderMode();
  const HashObject* original = HeldHash(source);
  HashObject* copy = original != nullptr ? original->Clone() : nullptr;
  component.Hold(engine_id, copy, mode);
  return original != nullptr && copy == nullptr ? core::kOutOfMemory : 0;
}

int ResetAlgorithm(component::CryptoComponent& component) {
  const int32_t engine_id = component.AlgorithmId();
  if (engine_id == kEngineRsa || engine_id == kEngineDsa) {
    auto* key = dynamic_cast<component::ClearableKey*>(component.Object());
    return key != nullptr ? key->Clear() : 0;
  }
  if (engine_id >= kEngineFirstDigest && engine_id <= kEngineLastDigest) {
    HashObject* hash = HeldHash(component);
    return hash != nullptr ? hash->Reset() : 0;
  }
  if (engine_id >= kEngineHmacSha1 && engine_id <= kEngineHmacRipemd160) {
    HmacObject* hmac = HeldHmac(component);
    return hmac != nullptr ? hmac->Reset() : 0;
  }
  return 0;
}

// ---- one-shots ----------------------------------------------------------------------------------------

int ComputeHash(int32_t engine_id, const void* data, int32_t length, core::BufferCore& out) {
  component::CryptoComponent component;
  int rc = SelectHashProvider(component, engine_id, kProviderDefault);
  HashObject* hash = HeldHash(component);
  if (rc == 0) rc = hash->Update(data, length, 1);
  if (rc == 0) rc = out.SetData(hash->DigestLength(), hash->Digest());
  return rc;
}

int ComputeHashByName(const char* name, const void* data, int32_t length, core::BufferCore& out) {
  return ComputeHash(HashNameToEngineId(name), data, length, out);
}

int HashDataByName(const void* data, int32_t length, const char* name, core::BufferCore& out) {
  // The digest copy's result counts too: a caller must not take an empty out for a digest.
  return ComputeHashByName(name, data, length, out);
}

int ComputeHmac(int32_t engine_id, const uint8_t* key, int32_t key_length, const void* data, int32_t length,
                core::BufferCore& out) {
  component::CryptoComponent component;
  int rc = SelectHmacProvider(component, engine_id, key, key_length, kProviderDefault);
  HmacObject* hmac = HeldHmac(component);
  if (rc == 0) rc = hmac->Update(data, length, 1);
  if (rc == 0) rc = out.SetData(hmac->DigestLength(), hmac->Digest());
  return rc;
}

int ComputeHmacByName(const char* name, const uint8_t* key, int32_t key_length, const void* data, int32_t length,
                      core::BufferCore& out) {
  return ComputeHmac(HmacNameToAlgId(name), key, key_length, data, length, out);
}

int32_t HmacNameToAlgId(const char* name) { return HmacNameToEngineId(name); }

}  // namespace velmora::crypto
