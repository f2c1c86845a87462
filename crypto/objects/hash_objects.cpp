#include "crypto/objects/hash_objects.h"

#include <cstring>

#include "component/component_base.h"
#include "component/socket_base.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

constexpr int32_t kHmacInnerByte = 0x36;
constexpr int32_t kHmacOuterByte = 0x5c;

bool FipsAllowsHash(int32_t engine_id) {
  return engine_id == kEngineSha1 || engine_id == kEngineSha256 || engine_id == kEngineSha224 ||
         engine_id == kEngineSha512 || engine_id == kEngineSha384;
}

bool FipsAllowsHmac(int32_t engine_id) {
  return engine_id == kEngineHmacSha1 || (engine_id >= kEngineHmacSha256 && engine_id <= kEngineHmacSha384);
}

// NOTE: no platform hash or HMAC provider is part of this library yet, so every request that needs
// the platform ends here with 600, the code of a missing provider.
int PlatformUnavailable() { return kNoPlatformProvider; }

}  // namespace

void KeepOrRelease(component::CryptoComponent& component, int32_t engine_id, uint32_t mode) {
  if (component.Object() == nullptr) return;
  if (component.AlgorithmId() == engine_id && component.ProviderMode() == mode) return;
  component.Hold(component.AlgorithmId(), nullptr, component.ProviderMode());
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

// ---- object storage -----------------------------------------------------------------------------------

void* HashObject::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void HashObject::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }
void* HmacObject::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void HmacObject::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

// ---- InternalHash -------------------------------------------------------------------------------------

InternalHash::~InternalHash() = default;

int InternalHash::Update(const void* data, int32_t length, int32_t finalize) {
  if (data != nullptr && length >= 1) {
    const int rc = ctx_.Update(data, static_cast<uint32_t>(length));
    if (rc != 0) return rc;
  }
  return finalize != 0 ? ctx_.Final() : 0;
}

HashObject* InternalHash::Clone() const {
  auto* copy = new InternalHash;
  if (copy == nullptr) return nullptr;
  if (copy->ctx_.CopyFrom(ctx_) != 0) {
    delete copy;
    return nullptr;
  }
  return copy;
}

// ---- InternalHmac -------------------------------------------------------------------------------------

InternalHmac::~InternalHmac() { platform::SecureZero(outer_pad_, sizeof outer_pad_); }

int32_t InternalHmac::BlockSize() const { return HmacBlockSize(id_); }

int InternalHmac::SetKey(int32_t id, const uint8_t* key, int32_t key_length) {
  pads_pending_ = 1;
  starts_ready_ = false;
  const int rc = ctx_.SetAlgorithm(id);
  if (rc != 0) return rc;
  id_ = id;
  return key_.SetData(key != nullptr && key_length > 0 ? key_length : 0, key);
}

int InternalHmac::BuildPads() {
  const int32_t block = BlockSize();
  uint8_t key_block[128] = {};
  int rc = 0;
  if (key_.Length() > block) {
    // RFC 2104 section 2: a key longer than the block is replaced by its digest.
    rc = ctx_.SetAlgorithm(id_);
    if (rc == 0) rc = ctx_.Update(key_.Data(), static_cast<uint32_t>(key_.Length()));
    if (rc == 0) rc = ctx_.Final();
    if (rc == 0) std::memcpy(key_block, ctx_.Output().Data(), static_cast<size_t>(ctx_.Output().Length()));
  } else if (key_.Length() > 0) {
    std::memcpy(key_block, key_.Data(), static_cast<size_t>(key_.Length()));
  }
  uint8_t inner_pad[128];
  for (int32_t i = 0; i < block; ++i) {
    inner_pad[i] = static_cast<uint8_t>(key_block[i] ^ kHmacInnerByte);
    outer_pad_[i] = static_cast<uint8_t>(key_block[i] ^ kHmacOuterByte);
  }
  if (rc == 0) rc = ctx_.SetAlgorithm(id_);
  if (rc == 0) rc = ctx_.Update(inner_pad, static_cast<uint32_t>(block));
  platform::SecureZero(key_block, sizeof key_block);
  platform::SecureZero(inner_pad, sizeof inner_pad);
  if (rc != 0) return rc;
  // Keeping the two starting states is an optimisation only: when memory for them runs out, every
  // message hashes its key blocks again.
  starts_ready_ = inner_start_.CopyFrom(ctx_) == 0 && outer_start_.SetAlgorithm(id_) == 0 &&
                  outer_start_.Update(outer_pad_, static_cast<uint32_t>(block)) == 0;
  return 0;
}

int InternalHmac::Update(const void* data, uint32_t length) {
  if (pads_pending_ != 0) {
    const int rc = starts_ready_ ? ctx_.CopyFrom(inner_start_) : BuildPads();
    if (rc != 0) return rc;
    pads_pending_ = 0;
  }
  return ctx_.Update(data, length);
}

int InternalHmac::Final() {
  if (pads_pending_ != 0) {
    // Nothing was hashed yet: the message is empty, but its inner block still counts.
    const int rc = Update(nullptr, 0);
    if (rc != 0) return rc;
  }
  int rc = ctx_.Final();
  if (rc != 0) return rc;
  uint8_t inner[64];
  const int32_t inner_length = ctx_.Output().Length();
  std::memcpy(inner, ctx_.Output().Data(), static_cast<size_t>(inner_length));
  if (starts_ready_) {
    rc = ctx_.CopyFrom(outer_start_);
  } else {
    rc = ctx_.SetAlgorithm(id_);
    if (rc == 0) rc = ctx_.Update(outer_pad_, static_cast<uint32_t>(BlockSize()));
  }
  if (rc == 0) rc = ctx_.Update(inner, static_cast<uint32_t>(inner_length));
  if (rc == 0) rc = ctx_.Final();
  platform::SecureZero(inner, sizeof inner);
  pads_pending_ = 1;
  return rc;
}

int InternalHmac::Update(const void* data, int32_t length, int32_t finalize) {
  const bool no_data = data == nullptr || length < 1;
  if (pads_pending_ != 0 || !no_data) {
    const int rc = Update(data, no_data ? 0u : static_cast<uint32_t>(length));
    if (rc != 0) return rc;
  }
  return finalize != 0 ? Final() : 0;
}

int InternalHmac::Reset() {
  pads_pending_ = 1;
  starts_ready_ = false;
  return ctx_.Reset();
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
  KeepOrRelease(component, engine_id, mode);
  if (resolved == kProviderPlatform) return PlatformUnavailable();
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
  if (component::UseFIPSCompliantAPI() != 0 && !FipsAllowsHmac(engine_id)) return kNotAllowedInFips;
  const bool keyed = key != nullptr && key_length > 0;
  const uint32_t resolved = ResolveProviderMode(mode, keyed && PlatformHmacIndex(engine_id) >= 0);
  KeepOrRelease(component, engine_id, mode);
  if (resolved == kProviderPlatform) return PlatformUnavailable();
  const int32_t id = HmacIdToHashId(engine_id);
  if (id < 0) return kNoInternalDigest;
  auto* hmac = dynamic_cast<InternalHmac*>(component.Object());
  const bool created = hmac == nullptr;
  if (created) {
    hmac = new InternalHmac;
    if (hmac == nullptr) return core::kOutOfMemory;
  }
  const int rc = hmac->SetKey(id, key, key_length);
  if (created) {
    if (rc != 0) {
      delete hmac;
      return rc;
    }
    component.Hold(engine_id, hmac, resolved);
  }
  return rc;
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
