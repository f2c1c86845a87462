// The random source of the security core: every key, IV, nonce, salt and padding byte comes from
// RandomBytes on a RandomContext. A context draws from the platform's generators ("bcrypt", then the
// CryptoAPI of "advapi32") and, when neither is there, from the kernel's generator; a process-wide
// selector can switch all contexts to a Hash_DRBG (HashDrbg) seeded from those sources instead.
//
// The platform entry points are loaded by LoadRngProviders, which the library start-up runs
// (SocketBase::StaticInit), and dropped by UnloadRngProviders at the matching tear-down.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "platform/crypto/crypto_types.h"

namespace velmora::crypto {

class HashDrbg;

// RandomContext is the 16-byte random source record: a lazily created cell with the CryptoAPI handle
// and a lazily created HashDrbg. A zero-initialised record is valid; Release (or ReleaseNativeKey)
// returns what it holds, and the destructor does so too. One thread at a time.
struct RandomContext {
  platform::HCRYPTPROV* provider_holder = nullptr;
  HashDrbg* drbg = nullptr;

  constexpr RandomContext() = default;
  ~RandomContext() { Release(); }
  RandomContext(const RandomContext&) = delete;
  RandomContext& operator=(const RandomContext&) = delete;

  // Release closes the CryptoAPI handle, frees the cell and destroys the generator; both become null.
  void Release();
  // ReleaseProvider closes the CryptoAPI handle (when the entry points are loaded) and sets it to 0.
  void ReleaseProvider();
};
static_assert(sizeof(RandomContext) == 16);

// RandomBytes fills count bytes at buffer + offset from the context's source. It always fills: a source
// that fails passes the request on to the next one, down to the kernel's generator. Null buffer or
// count below 1: nothing.
void RandomBytes(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count);
// RandomBytes fills count bytes at out.
inline void RandomBytes(RandomContext& context, void* out, int32_t count) {
  RandomBytes(context, static_cast<uint8_t*>(out), 0, count);
}
// ReleaseNativeKey releases what a RandomContext holds, leaving it reusable (RandomContext::Release).
inline void ReleaseNativeKey(RandomContext& context) { context.Release(); }

// RandomBuffer sizes out to n bytes and fills them from the process-wide context: 0, or 200 with out
// unchanged when it cannot grow. Any thread.
[[nodiscard]] int RandomBuffer(int32_t n, core::BufferCore& out);
// GlobalRandomBytes fills from the process-wide context; 0. Any thread.
int GlobalRandomBytes(uint8_t* buffer, int32_t offset, int32_t count);
// RandomBytesAt fills from an object's own context; 0.
int RandomBytesAt(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count);
// RandomNonZeroBytes fills like RandomBytes, then replaces every zero byte of the range by a byte drawn
// from the same context with its lowest bit set, so no byte of the range is zero.
void RandomNonZeroBytes(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count);

// OsRandomFill fills count bytes at buffer + offset from the first platform source that works:
// BCryptGenRandom, then CryptGenRandom through the handle in *holder (opened there on first use and
// kept; skipped when holder is null), then the kernel's generator.
void OsRandomFill(platform::HCRYPTPROV* holder, uint8_t* buffer, int32_t offset, int32_t count);
// ReleaseRngProvider closes a CryptoAPI handle when the entry points are loaded, and sets it to 0.
void ReleaseRngProvider(platform::HCRYPTPROV& handle);

// LoadRngProviders loads "advapi32" and its CryptoAPI entry points, then "bcrypt" and BCryptGenRandom;
// when "advapi32" is missing it stops there. Modules already loaded are kept. Runs at start-up.
void LoadRngProviders();
// UnloadRngProviders closes the process-wide context's CryptoAPI handle and frees both modules; the
// entry points are not used afterwards. Runs at tear-down.
void UnloadRngProviders();

// kRandomSourceOs is the initial selector: platform generators. Any other value selects the HashDrbg.
constexpr int32_t kRandomSourceOs = 1;

namespace test {
// SetRandomSourceSelector sets the process-wide selector; RandomSourceSelector reads it.
void SetRandomSourceSelector(int32_t selector);
int32_t RandomSourceSelector();
// RngEntryPointsLoaded is the number of the four platform entry points loaded now.
int RngEntryPointsLoaded();
// FallbackFillCount is the number of requests the kernel's generator served.
uint32_t FallbackFillCount();
}  // namespace test

}  // namespace velmora::crypto
