// Fuzz target of the system store files: the input becomes a certificate file and its properties file in
// the current user's "MY" folder (named by the certificate's SHA-1, or not), then the store is opened,
// searched and listed. Open either fails with a decoding or file error, or every certificate it lists
// reads; nothing stays alive afterwards.
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"
#include "platform/store_root.h"

namespace velmora::platform {

namespace {

const std::string& FuzzRoot() {
  static const std::string* root = [] {
    char path[] = "/tmp/velmora_store_fuzz_XXXXXX";
    if (mkdtemp(path) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(FuzzRoot()); });
    return new std::string(path);
  }();
  return *root;
}

std::string Sha1Hex(const std::string& bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char b : digest) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

}  // namespace

std::string FuzzStoreFileInput(const std::string& input) {
  if (input.size() < 3) return "";
  test::SetStoreRoot(FuzzRoot().c_str());
  const size_t der_length = std::min(input.size() - 3, static_cast<size_t>(static_cast<uint8_t>(input[1]) << 8 |
                                                                         static_cast<uint8_t>(input[2])));
  const std::string der = input.substr(3, der_length), properties = input.substr(3 + der_length);
  const std::string folder = StoreFolder("stores/MY");
  const std::string name = folder + "/" + ((input[0] & 1) != 0 ? Sha1Hex(der) : std::string(40, '0'));
  WriteStoreFile(name + ".der", der.data(), der.size());
  if ((input[0] & 2) != 0) WriteStoreFile(name + ".props", properties.data(), properties.size());
  std::string problem;
  HCERTSTORE store = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvSystemA), 0, 0,
                                   kCertSystemStoreCurrentUser | kCertStoreOpenExistingFlag, "MY");
  if (store == nullptr) {
    const uint32_t error = GetLastError();
    if (error != kCryptEAsn1Eod && error != kCryptEAsn1Badtag && error != kCryptEAsn1Corrupt &&
        error != kCryptEFileError) {
      problem = "an open failing with an unexpected error";
    }
  } else {
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertFindCertificateInStore(store, kX509AsnEncoding, 0, kCertFindAny, nullptr, context))) {
      DWORD size = 0;
      CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, nullptr, &size);
      if (context->cbCertEncoded == 0 || context->pCertInfo == nullptr) problem = "an empty certificate";
    }
    context = CertFindCertificateInStore(store, kX509AsnEncoding, 0, kCertFindSubjectStrA, "a", nullptr);
    CertFreeCertificateContext(context);
    CertCloseStore(store, 0);
  }
  RemoveStoreFile(name + ".der");
  RemoveStoreFile(name + ".props");
  if (test::LiveCertHandles() != 0) problem = "a context or store left alive";
  return problem;
}

}  // namespace velmora::platform
