#include "platform/crypto/call_counts.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"

namespace velmora::platform {

namespace {

// An open-addressed table of names and counts. A slot's name is claimed once by compare-exchange and never
// given back, so readers and counters need no lock; a reset zeroes the counts only.
constexpr int kSlots = 512;
struct Slot {
  std::atomic<const char*> name{nullptr};
  std::atomic<int> calls{0};
};
Slot g_slots[kSlots];

uint32_t NameHash(const char* name) {
  uint32_t hash = 2166136261u;
  for (const char* c = name; *c != '\0'; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
  return hash;
}

// FindSlot gives the slot of a name, claiming a free one when claim is set; null when the name has no slot.
Slot* FindSlot(const char* name, bool claim) {
  uint32_t index = NameHash(name) % kSlots;
  for (int probe = 0; probe < kSlots; ++probe, index = (index + 1) % kSlots) {
    Slot& slot = g_slots[index];
    const char* held = slot.name.load(std::memory_order_acquire);
    if (held == nullptr) {
      if (!claim) return nullptr;
      if (slot.name.compare_exchange_strong(held, name, std::memory_order_acq_rel)) return &slot;
      // Another thread claimed it first: held now names its entry point.
    }
    if (held == name || std::strcmp(held, name) == 0) return &slot;
  }
  return nullptr;
}

}  // namespace

void CountCryptoCall(const char* function) {
  if (Slot* slot = FindSlot(function, true)) slot->calls.fetch_add(1, std::memory_order_relaxed);
}

namespace test {

int CryptoCallCount(const char* function) {
  if (function == nullptr) return 0;
  const Slot* slot = FindSlot(function, false);
  return slot != nullptr ? slot->calls.load(std::memory_order_relaxed) : 0;
}

void ResetCryptoCallCounts() {
  for (Slot& slot : g_slots) slot.calls.store(0, std::memory_order_relaxed);
}

}  // namespace test

}  // namespace velmora::platform
