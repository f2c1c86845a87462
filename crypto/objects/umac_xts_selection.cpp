#include "crypto/objects/umac_xts_selection.h"

#include "crypto/objects/hash_objects.h"
#include "crypto/objects/internal.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

bool BadBytes(const void* bytes, int32_t length) { return length < 0 || (bytes == nullptr && length != 0); }

PlatformXtsBlock* HeldXts(const component::CryptoComponent& component) {
  if (component.AlgorithmId() != component::kAlgorithmPlatformXts) return nullptr;
  return dynamic_cast<PlatformXtsBlock*>(component.Object());
}

int RunXts(component::CryptoComponent& component, uint8_t* data, int32_t length, int64_t tweak, int32_t direction) {
  if (BadBytes(data, length)) return kBadKeyArguments;
  PlatformXtsBlock* block = HeldXts(component);
  if (block == nullptr) return -1;
  CngXtsState& state = block->State();
  // A message starts a new data unit with the given number.
  state.unit = static_cast<uint64_t>(tweak);
  state.block_index = 0;
  state.tweak_ready = 0;
  int32_t processed = length;
  return CngCipher::XtsProcess(state, data, &processed, data, direction, 1);
}

}  // namespace

void* PlatformXtsBlock::operator new(std::size_t size) noexcept { return platform::Alloc(size); }

void PlatformXtsBlock::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

int SelectUmac(component::CryptoComponent& component, const uint8_t* key, int32_t key_length, int32_t tag_bits) {
  if (BadBytes(key, key_length)) return kBadKeyArguments;
  if (component.AlgorithmId() != component::kAlgorithmUmac) component.ReleaseObject();
  component.Store(component::kAlgorithmUmac, kProviderInternal);
  Umac* umac = HeldOrNew<Umac>(component);
  return umac != nullptr ? umac->Key(key, key_length, tag_bits) : core::kOutOfMemory;
}

Umac* HeldUmac(const component::CryptoComponent& component) {
  if (component.AlgorithmId() != component::kAlgorithmUmac) return nullptr;
  return dynamic_cast<Umac*>(component.Object());
}

int SelectPlatformXts(component::CryptoComponent& component, const uint8_t* key, int32_t key_length,
                      int32_t data_unit_length) {
  if (BadBytes(key, key_length)) return kBadKeyArguments;
  component.ReleaseObject();
  component.Store(component::kAlgorithmPlatformXts, kProviderPlatform);
  PlatformXtsBlock* block = HeldOrNew<PlatformXtsBlock>(component);
  if (block == nullptr) return core::kOutOfMemory;
  const int rc = CngXtsImportKey(block->State(), key, key_length);
  return rc != 0 ? rc : CngSetMessageBlockLength(block->State(), data_unit_length);
}

int PlatformXtsEncrypt(component::CryptoComponent& component, uint8_t* data, int32_t length, int64_t tweak) {
  return RunXts(component, data, length, tweak, 1);
}

int PlatformXtsDecrypt(component::CryptoComponent& component, uint8_t* data, int32_t length, int64_t tweak) {
  return RunXts(component, data, length, tweak, 0);
}

}  // namespace velmora::crypto
