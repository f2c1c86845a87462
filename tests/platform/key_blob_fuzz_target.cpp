// One hostile input as every private key blob the key stand-ins read: CryptoAPI blobs into containers of
// the RSA and DSS providers, CNG blobs into the software key storage provider. The target of the ctest
// mutation case and of the libFuzzer program. Nothing is named, so nothing reaches the disk.
#include <set>
#include <string>

#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/last_error.h"

namespace velmora::platform::testing {

// FuzzKeyBlob imports the input every way and names the first import that ends outside its statuses, or
// that leaves a handle open ("" when none does).
std::string FuzzKeyBlob(const std::string& input) {
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  const auto size = static_cast<DWORD>(input.size());
  const int live = test::LiveCryptoHandles();
  static const std::set<uint32_t> kCapiRefusals = {kNteBadDataCode, kNteBadTypeCode, kNteBadAlgIdCode};
  for (const DWORD type : {kProvRsaAes, kProvDss}) {
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextA(&provider, nullptr, nullptr, type, kCryptVerifyContext) == 0) {
      return "CryptAcquireContextA";
    }
    HCRYPTKEY key = 0;
    if (CryptImportKey(provider, data, size, 0, 0, &key) == 1) {
      if (CryptDestroyKey(key) == 0) return "CryptDestroyKey";
    } else if (kCapiRefusals.count(GetLastError()) == 0) {
      return "CryptImportKey of provider type " + std::to_string(type);
    }
    if (CryptReleaseContext(provider, 0) == 0) return "CryptReleaseContext";
  }
  static const std::set<SECURITY_STATUS> kCngRefusals = {kNteBadData, kNteNotSupported, kNteInvalidParameter};
  for (const char16_t* blob_type : {kRsaPrivateBlob, kRsaFullPrivateBlob, kRsaPublicBlob, kEccPrivateBlob,
                                    kEccPublicBlob}) {
    NCRYPT_KEY_HANDLE key = 0;
    const SECURITY_STATUS status = ksp::ImportKey(ksp::Provider::kSoftware, 0, blob_type, nullptr, &key, data, size, 0);
    if (status == 0) {
      if (!ksp::FreeKey(key)) return "NCryptFreeObject";
    } else if (kCngRefusals.count(status) == 0) {
      return "NCryptImportKey of " + std::string(blob_type, blob_type + 3) + " blobs";
    }
  }
  return test::LiveCryptoHandles() == live ? "" : "an open handle";
}

}  // namespace velmora::platform::testing
