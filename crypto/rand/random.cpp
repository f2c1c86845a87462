#include "crypto/rand/random.h"

#include <atomic>
#include <mutex>
#include <new>

#include "core/lifetime_hooks.h"
#include "crypto/rand/hash_drbg.h"
#include "platform/memory.h"
#include "platform/modules.h"
#include "platform/system_random.h"
#include "platform/win_codes.h"

namespace velmora::crypto {

namespace {

namespace plat = velmora::platform;

constexpr char kRngContainer[] = "_VLM_RNG_";

// The platform entry points: written by LoadRngProviders and UnloadRngProviders only, which run in the
// library's start-up and tear-down while no request is served.
struct RngProviders {
  plat::ModuleHandle advapi = nullptr;
  plat::ModuleHandle bcrypt = nullptr;
  plat::CryptAcquireContextAFn acquire_context = nullptr;
  plat::CryptReleaseContextFn release_context = nullptr;
  plat::CryptGenRandomFn gen_random = nullptr;
  plat::BCryptGenRandomFn bcrypt_gen_random = nullptr;
};
constinit RngProviders g_providers;

std::atomic<int32_t> g_selector{kRandomSourceOs};
std::atomic<uint32_t> g_fallback_count{0};

// The process-wide context of the free functions, guarded so that any thread may use them.
constinit RandomContext g_global;
constinit std::mutex g_global_mutex;

// Join the library's start-up and tear-down (the socket layer above cannot call this one).
const bool g_hooks_registered = [] {
  core::AddLifetimeHooks(&LoadRngProviders, &UnloadRngProviders);
  return true;
}();

// TryCryptoApi fills through the CryptoAPI handle in *holder, opening it first when it is 0.
bool TryCryptoApi(plat::HCRYPTPROV* holder, uint8_t* out, int32_t count) {
  if (holder == nullptr || g_providers.acquire_context == nullptr || g_providers.gen_random == nullptr) return false;
  if (*holder == 0) {
    plat::HCRYPTPROV handle = 0;
    // The container may not exist yet on this machine: create it on the second attempt.
    if (g_providers.acquire_context(&handle, kRngContainer, nullptr, plat::kProvRsaFull, 0) ||
        g_providers.acquire_context(&handle, kRngContainer, nullptr, plat::kProvRsaFull, plat::kCryptNewKeyset)) {
      *holder = handle;
    }
  }
  return *holder != 0 && g_providers.gen_random(*holder, static_cast<plat::DWORD>(count), out) != 0;
}

// EnsureHolder creates the context's handle cell; null when memory runs out (the CryptoAPI source is then
// skipped for this request).
plat::HCRYPTPROV* EnsureHolder(RandomContext& context) {
  if (context.provider_holder == nullptr) {
    auto* cell = static_cast<plat::HCRYPTPROV*>(plat::Alloc(sizeof(plat::HCRYPTPROV)));
    if (cell != nullptr) *cell = 0;
    context.provider_holder = cell;
  }
  return context.provider_holder;
}

// DrbgBytes serves a request from the context's HashDrbg (SHA-256, 256-bit strength, no nonce, no
// personalization, no prediction resistance); false when the generator cannot be made or fails.
bool DrbgBytes(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count) {
  if (context.drbg == nullptr) {
    auto* drbg = new (std::nothrow) HashDrbg();
    if (drbg == nullptr) return false;
    if (drbg->Instantiate(kHashSha256, nullptr, 0, nullptr, 256, 0) != 0) {
      delete drbg;
      return false;
    }
    context.drbg = drbg;
  }
  return context.drbg->Generate(buffer, offset, count, nullptr, 0) == 0;
}

}  // namespace

void OsRandomFill(plat::HCRYPTPROV* holder, uint8_t* buffer, int32_t offset, int32_t count) {
  if (buffer == nullptr || count < 1) return;
  uint8_t* out = buffer + offset;
  if (g_providers.bcrypt_gen_random != nullptr &&
      g_providers.bcrypt_gen_random(nullptr, out, static_cast<plat::ULONG>(count),
                                    plat::kBcryptUseSystemPreferredRng) == plat::kStatusSuccess) {
    return;
  }
  if (TryCryptoApi(holder, out, count)) return;
  g_fallback_count.fetch_add(1, std::memory_order_relaxed);
  plat::SystemRandomFill(out, static_cast<size_t>(count));
}

void ReleaseRngProvider(plat::HCRYPTPROV& handle) {
  if (handle != 0 && g_providers.release_context != nullptr) (void)g_providers.release_context(handle, 0);
  handle = 0;
}

void RandomContext::ReleaseProvider() {
  if (provider_holder != nullptr) ReleaseRngProvider(*provider_holder);
}

void RandomContext::Release() {
  if (provider_holder != nullptr) {
    ReleaseProvider();
    plat::Free(provider_holder, sizeof(plat::HCRYPTPROV));
    provider_holder = nullptr;
  }
  delete drbg;
  drbg = nullptr;
}

void RandomBytes(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count) {
  if (buffer == nullptr || count < 1) return;
  if (g_selector.load(std::memory_order_relaxed) == kRandomSourceOs) {
    OsRandomFill(EnsureHolder(context), buffer, offset, count);
    return;
  }
  // A generator that cannot serve the request must not leave the caller with unfilled bytes.
  if (!DrbgBytes(context, buffer, offset, count)) OsRandomFill(EnsureHolder(context), buffer, offset, count);
}

int RandomBuffer(int32_t n, core::BufferCore& out) {
  core::SecureBuffer fresh;
  const int rc = fresh.Resize(n);
  if (rc != 0) return rc;
  (void)GlobalRandomBytes(reinterpret_cast<uint8_t*>(fresh.Data()), 0, fresh.Length());
  return out.Assign(fresh);
}

int GlobalRandomBytes(uint8_t* buffer, int32_t offset, int32_t count) {
  std::lock_guard<std::mutex> lock(g_global_mutex);
  RandomBytes(g_global, buffer, offset, count);
  return 0;
}

int RandomBytesAt(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count) {
  RandomBytes(context, buffer, offset, count);
  return 0;
}

void RandomNonZeroBytes(RandomContext& context, uint8_t* buffer, int32_t offset, int32_t count) {
  RandomBytes(context, buffer, offset, count);
  if (buffer == nullptr || count < 1) return;
  uint8_t* out = buffer + offset;
  uint8_t replacements[64];
  int32_t left = 0;  // unused replacement bytes, taken from the end
  for (int32_t i = 0; i < count; ++i) {
    if (out[i] != 0) continue;
    if (left == 0) {
      int32_t zeros = 0;
      for (int32_t j = i; j < count && zeros < 64; ++j) zeros += out[j] == 0 ? 1 : 0;
      RandomBytes(context, replacements, 0, zeros);
      left = zeros;
    }
    out[i] = static_cast<uint8_t>(replacements[--left] | 1);
  }
  plat::SecureZero(replacements, sizeof(replacements));
}

void LoadRngProviders() {
  if (g_providers.advapi == nullptr) {
    g_providers.advapi = plat::LoadModule("Advapi32.dll");
    if (g_providers.advapi == nullptr) return;
    g_providers.acquire_context =
        reinterpret_cast<plat::CryptAcquireContextAFn>(plat::GetProc(g_providers.advapi, "CryptAcquireContextA"));
    g_providers.release_context =
        reinterpret_cast<plat::CryptReleaseContextFn>(plat::GetProc(g_providers.advapi, "CryptReleaseContext"));
    g_providers.gen_random =
        reinterpret_cast<plat::CryptGenRandomFn>(plat::GetProc(g_providers.advapi, "CryptGenRandom"));
  }
  if (g_providers.bcrypt == nullptr) {
    g_providers.bcrypt = plat::LoadModule("Bcrypt.dll");
    if (g_providers.bcrypt != nullptr) {
      g_providers.bcrypt_gen_random =
          reinterpret_cast<plat::BCryptGenRandomFn>(plat::GetProc(g_providers.bcrypt, "BCryptGenRandom"));
    }
  }
}

void UnloadRngProviders() {
  {
    // The handle belongs to the module about to go away.
    std::lock_guard<std::mutex> lock(g_global_mutex);
    g_global.ReleaseProvider();
  }
  if (g_providers.bcrypt != nullptr) (void)plat::FreeModule(g_providers.bcrypt);
  if (g_providers.advapi != nullptr) (void)plat::FreeModule(g_providers.advapi);
  g_providers = RngProviders{};
}

namespace test {

int RngEntryPointsLoaded() {
  return (g_providers.acquire_context != nullptr) + (g_providers.release_context != nullptr) +
         (g_providers.gen_random != nullptr) + (g_providers.bcrypt_gen_random != nullptr);
}

void SetRandomSourceSelector(int32_t selector) { g_selector.store(selector); }
int32_t RandomSourceSelector() { return g_selector.load(); }
uint32_t FallbackFillCount() { return g_fallback_count.load(); }
}  // namespace test

}  // namespace velmora::crypto
