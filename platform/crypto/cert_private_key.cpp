#include "platform/crypto/cert_private_key.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_modules.h"
#include "platform/last_error.h"

namespace velmora::platform {

namespace {

struct CachedKey {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle;
  bool ncrypt;
};

// The handles kept with contexts (flag 1), by context.
struct Cache {
  std::mutex mutex;
  std::multimap<const CERT_CONTEXT*, CachedKey> keys;
};

// Never destroyed: a context freed during process exit may still look here.
Cache& TheCache() {
  static Cache* cache = new Cache;
  return *cache;
}

// KeyProvInfo holds a copy of the context's key-provider information block.
struct KeyProvInfo {
  std::vector<uint8_t> block;
  const CRYPT_KEY_PROV_INFO* info() const { return reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data()); }
};

// ReadKeyProvInfo: 0 or the status (CRYPT_E_NO_KEY_PROPERTY when the context has none).
uint32_t ReadKeyProvInfo(PCCERT_CONTEXT context, KeyProvInfo* out) {
  DWORD size = 0;
  if (CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, nullptr, &size) == 0) {
    const uint32_t error = GetLastError();
    return error == kCryptENotFound ? kCryptENoKeyProperty : error;
  }
  // Aligned for the record at its start.
  out->block.assign(size + sizeof(void*), 0);
  if (CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, out->block.data(), &size) == 0) {
    return GetLastError();
  }
  return 0;
}

std::u16string_view Text(const char16_t* text) { return text != nullptr ? std::u16string_view(text) : u""; }

// Narrow turns a UTF-16 name of Latin-1 characters into bytes; false for others.
bool Narrow(std::u16string_view text, std::string* out) {
  out->clear();
  for (const char16_t c : text) {
    if (c > 0xFF) return false;
    out->push_back(static_cast<char>(c));
  }
  return true;
}

}  // namespace

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* para,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* key, DWORD* key_spec,
                                       BOOL* caller_must_free) {
  CountCryptoCall("CryptAcquireCertificatePrivateKey");
  (void)para;
  if (key != nullptr) *key = 0;
  if (key_spec != nullptr) *key_spec = 0;
  if (caller_must_free != nullptr) *caller_must_free = 0;
  if (context == nullptr || key == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  KeyProvInfo held;
  if (const uint32_t status = ReadKeyProvInfo(context, &held); status != 0) {
    SetLastError(status);
    return 0;
  }
  const CRYPT_KEY_PROV_INFO& info = *held.info();
  const bool machine = (info.dwFlags & kCryptMachineKeyset) != 0;
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE acquired = 0;
  DWORD spec = info.dwKeySpec;
  bool ncrypt = false;
  if (info.dwProvType == 0) {
    if ((flags & (kCryptAcquireAllowNcryptKeyFlag | kCryptAcquirePreferNcryptKeyFlag)) == 0) {
      SetLastError(kNteBadProvTypeCode);
      return 0;
    }
    ksp::Provider provider;
    if (!ksp::ProviderOfName(info.pwszProvName, &provider)) {
      SetLastError(static_cast<uint32_t>(kNteProvDllNotFound));
      return 0;
    }
    NCRYPT_KEY_HANDLE opened = 0;
    const SECURITY_STATUS status = ksp::OpenKey(provider, &opened, info.pwszContainerName, 0,
                                                machine ? kNcryptMachineKeyFlag : 0);
    if (status != 0) {
      SetLastError(static_cast<uint32_t>(status));
      return 0;
    }
    acquired = opened;
    spec = kCertNcryptKeySpec;
    ncrypt = true;
  } else {
    std::string container, provider_name;
    if (!Narrow(Text(info.pwszContainerName), &container) || !Narrow(Text(info.pwszProvName), &provider_name)) {
      SetLastError(kNteBadKeyset);
      return 0;
    }
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextA(&provider, container.c_str(), provider_name.empty() ? nullptr : provider_name.c_str(),
                             info.dwProvType, info.dwFlags & (kCryptMachineKeyset | kCryptSilent)) == 0) {
      return 0;  // its last error stays
    }
    acquired = provider;
  }
  if ((flags & kCryptAcquireCacheFlag) != 0) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.keys.emplace(context, CachedKey{acquired, ncrypt});
  } else if (caller_must_free != nullptr) {
    *caller_must_free = 1;
  }
  *key = acquired;
  if (key_spec != nullptr) *key_spec = spec;
  return 1;
}

void ReleaseCachedCertificateKeys(const CERT_CONTEXT* context) {
  std::vector<CachedKey> released;
  {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    auto range = cache.keys.equal_range(context);
    for (auto it = range.first; it != range.second; ++it) released.push_back(it->second);
    cache.keys.erase(range.first, range.second);
  }
  for (const CachedKey& key : released) {
    if (key.ncrypt) {
      (void)ksp::FreeKey(key.handle);
    } else {
      (void)CryptReleaseContext(key.handle, 0);
    }
  }
}

EVP_PKEY* CertificatePrivateKey(PCCERT_CONTEXT context) {
  KeyProvInfo held;
  if (context == nullptr || ReadKeyProvInfo(context, &held) != 0) return nullptr;
  const CRYPT_KEY_PROV_INFO& info = *held.info();
  const bool machine = (info.dwFlags & kCryptMachineKeyset) != 0;
  if (info.dwProvType == 0) {
    ksp::Provider provider;
    if (!ksp::ProviderOfName(info.pwszProvName, &provider)) return nullptr;
    return ksp::StoredPrivateKey(provider, Text(info.pwszContainerName), machine);
  }
  return capi::StoredContainerKey(Text(info.pwszContainerName), machine, info.dwKeySpec);
}

}  // namespace velmora::platform
