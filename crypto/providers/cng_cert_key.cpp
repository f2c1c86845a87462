#include "crypto/providers/cng_cert_key.h"

#include <vector>

#include "crypto/providers/cng_results.h"
#include "platform/code_page.h"
#include "platform/crypto/ncrypt_types.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

int SetPin(const CertKeyFunctions& functions, plat::NCRYPT_KEY_HANDLE key, const char* pin) {
  auto set = ProviderFunctionAs<plat::NCryptSetPropertyFn>(functions.table, functions.set_property);
  if (set == nullptr) return kCngNotLoaded;
  const int units = plat::MultiByteToWideChar(plat::kCodePageAnsi, pin, -1, nullptr, 0);
  if (units <= 0) return kCngNotLoaded;
  std::vector<char16_t> wide(static_cast<size_t>(units));
  if (plat::MultiByteToWideChar(plat::kCodePageAnsi, pin, -1, wide.data(), units) != units) return kCngNotLoaded;
  return set(key, plat::kNcryptPinProperty, reinterpret_cast<const uint8_t*>(wide.data()),
             static_cast<plat::DWORD>(units * 2), 0);
}

}  // namespace

int AcquireCertificateKey(const CertKeyFunctions& functions, const plat::CERT_CONTEXT* context, const char* pin,
                          uint32_t flags, const std::function<void(plat::NCRYPT_KEY_HANDLE, bool)>& adopt) {
  auto acquire = ProviderFunctionAs<plat::CryptAcquireCertificatePrivateKeyFn>(functions.table, functions.acquire);
  if (acquire == nullptr) return kCngNotLoaded;
  plat::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE acquired = 0;
  plat::DWORD key_spec = 0;
  plat::BOOL must_free = 0;
  if (acquire(context, flags | plat::kCryptAcquireAllowNcryptKeyFlag, nullptr, &acquired, &key_spec, &must_free) ==
      0) {
    return kCngNotLoaded;
  }
  plat::NCRYPT_KEY_HANDLE key = 0;
  if (key_spec == plat::kCertNcryptKeySpec) {
    key = acquired;
    adopt(key, must_free != 0);
  } else {
    auto release = ProviderFunctionAs<plat::CryptReleaseContextFn>(functions.table, functions.release_context);
    auto translate = ProviderFunctionAs<plat::NCryptTranslateHandleFn>(functions.table, functions.translate);
    // NOTE: a provider the platform keeps for the context (must_free 0) is not released here.
    auto release_acquired = [&] {
      if (must_free != 0 && release != nullptr) (void)release(acquired, 0);
    };
    if ((key_spec != 1 && key_spec != 2) || translate == nullptr) {
      release_acquired();
      return kCngNotLoaded;
    }
    const int status = translate(nullptr, &key, acquired, 0, key_spec, 0);
    release_acquired();
    if (status != 0) return status;
    adopt(key, true);
  }
  return pin != nullptr && pin[0] != '\0' ? SetPin(functions, key, pin) : 0;
}

}  // namespace velmora::crypto
