#include <openssl/rand.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/cipher_internal.h"
#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/secur32_modules.h"
#include "platform/crypto/ncrypt_modules.h"
#include "platform/last_error.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

constexpr char kRngContainer[] = "_VLM_RNG_";

// The open CryptoAPI handles and the container. A handle is a number from a counter, never reused, so a
// stale handle is always recognised.
struct ProviderTable {
  std::mutex mutex;
  std::set<HCRYPTPROV> open;
  HCRYPTPROV next = 0x5000;
  bool container_created = false;
  bool fail_next_acquire = false;
};

// Never destroyed: a context released during process exit may still close its handle here.
ProviderTable& Providers() {
  static ProviderTable* table = new ProviderTable;
  return *table;
}

bool IsOpen(HCRYPTPROV provider) {
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.open.count(provider) != 0;
}

// FillFromOpenSsl fills count bytes from OpenSSL's public generator, in pieces it accepts.
bool FillFromOpenSsl(uint8_t* buffer, uint64_t count) {
  while (count > 0) {
    const int piece = count > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
    if (RAND_bytes(buffer, piece) != 1) return false;
    buffer += piece;
    count -= static_cast<uint64_t>(piece);
  }
  return true;
}

}  // namespace

NTSTATUS BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, uint8_t* buffer, ULONG count, ULONG flags) {
  CountCryptoCall("BCryptGenRandom");
  if (algorithm != nullptr || flags != kBcryptUseSystemPreferredRng || (buffer == nullptr && count != 0)) {
    return kStatusInvalidParameter;
  }
  return FillFromOpenSsl(buffer, count) ? kStatusSuccess : kStatusUnsuccessful;
}

BOOL CryptAcquireContextA(HCRYPTPROV* provider, const char* container, const char* provider_name,
                          DWORD provider_type, DWORD flags) {
  CountCryptoCall("CryptAcquireContextA");
  if (provider == nullptr || container == nullptr || std::strcmp(container, kRngContainer) != 0 ||
      provider_name != nullptr || provider_type != kProvRsaFull || (flags != 0 && flags != kCryptNewKeyset)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.fail_next_acquire) {
    table.fail_next_acquire = false;
    SetLastError(kNteBadKeyset);
    return 0;
  }
  if (flags == 0 && !table.container_created) {
    SetLastError(kNteBadKeyset);
    return 0;
  }
  table.container_created = true;
  *provider = table.next++;
  table.open.insert(*provider);
  return 1;
}

BOOL CryptGenRandom(HCRYPTPROV provider, DWORD count, uint8_t* buffer) {
  CountCryptoCall("CryptGenRandom");
  if (!IsOpen(provider)) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (buffer == nullptr && count != 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if (!FillFromOpenSsl(buffer, count)) {
    SetLastError(kNteFail);
    return 0;
  }
  return 1;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
  CountCryptoCall("CryptReleaseContext");
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.open.count(provider) == 0) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (flags != 0) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  table.open.erase(provider);
  return 1;
}

namespace test {

int LiveCryptoHandles() {
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.open.size()) + LiveCipherHandles() + LiveHashHandles() + LiveNcryptHandles() +
         LiveNcryptKeys() + LiveSecurityHandles() + LiveCertHandles() + LiveKeyPairHandles();
}

void FailNextAcquireContext() {
  ProviderTable& table = Providers();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.fail_next_acquire = true;
}

}  // namespace test

}  // namespace velmora::platform
