#include <openssl/rand.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/capi_containers.h"
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

BOOL CryptGenRandom(HCRYPTPROV provider, DWORD count, uint8_t* buffer) {
  CountCryptoCall("CryptGenRandom");
  if (!capi::IsOpen(provider)) {
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

namespace test {

int LiveCryptoHandles() {
  return capi::LiveHandles() + LiveCipherHandles() + LiveHashHandles() + LiveNcryptHandles() +
         LiveNcryptKeys() + LiveSecurityHandles() + LiveCertHandles() + LiveKeyPairHandles();
}

}  // namespace test

}  // namespace velmora::platform
