// PKCS #12 files in and out of the "crypt32" stand-in: PFXImportCertStore and PFXExportCertStore, on
// OpenSSL's PKCS12_parse and PKCS12_create.
//
// An import makes a memory store of the file's certificates. The private key goes into the software key
// storage provider under a new random name ("{" and 32 hex digits "}"), persisted at once, and the
// certificate it belongs to gets key-provider information naming it (provider type 0, the machine flag
// 0x20 when imported for the machine, key spec 1 for RSA, 2 for EC). The key-container functions reach
// the same name, so deleting the container deletes the key. An export writes every certificate of the
// store and, with flag 4, the private key of the first certificate that has one (OpenSSL's container
// holds one key). Any thread.
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/last_error.h"

namespace velmora::platform {

namespace {

std::atomic<uint32_t> g_forced_export_failure{0};

constexpr DWORD kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;

using Pkcs12Ptr = ossl::Ptr<PKCS12, PKCS12_free>;
using X509Ptr = ossl::Ptr<X509, X509_free>;
using ossl::Pkey;

struct CertStackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
using CertStack = std::unique_ptr<STACK_OF(X509), CertStackFree>;

// Utf8 turns a UTF-16 password into UTF-8 (unpaired surrogates become U+FFFD).
std::string Utf8(const char16_t* text) {
  std::string out;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// RandomContainerName is "{" and 32 random hex digits "}"; empty when no random bytes came.
std::u16string RandomContainerName() {
  uint8_t bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return u"";
  static const char kDigits[] = "0123456789ABCDEF";
  std::u16string name = u"{";
  for (const uint8_t b : bytes) {
    name.push_back(static_cast<char16_t>(kDigits[b >> 4]));
    name.push_back(static_cast<char16_t>(kDigits[b & 15]));
  }
  name.push_back(u'}');
  return name;
}

// LoadLegacyAlgorithms makes the older bag ciphers (RC2, RC4, single DES) that many files still use
// available, once per process, beside the default algorithms; where the legacy provider is missing those
// files fail to import as before.
void LoadLegacyAlgorithms() {
  // Held for the life of the process.
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  (void)fallback;
  (void)legacy;
}

// Import adds one certificate (and, when given, its key under a new name) to the store: 0 or the error.
uint32_t Import(HCERTSTORE store, X509* certificate, EVP_PKEY* pkey, DWORD flags) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) return kCryptEBadDecode;
  PCCERT_CONTEXT added = nullptr;
  const BOOL ok = CertAddEncodedCertificateToStore(store, kEncoding, der, static_cast<DWORD>(length),
                                                   kCertStoreAddReplaceExisting, &added);
  OPENSSL_free(der);
  if (ok == 0) return GetLastError();
  uint32_t error = 0;
  if (pkey != nullptr) {
    const bool machine = (flags & kPfxMachineKeyset) != 0;
    const DWORD spec = EVP_PKEY_get_base_id(pkey) == EVP_PKEY_EC ? kAtSignature : kAtKeyExchange;
    std::u16string name = RandomContainerName();
    const SECURITY_STATUS status = name.empty() ? kNteFailStatus
                                                : ksp::StoreKey(pkey, name, machine, (flags & kPfxExportable) != 0,
                                                                spec);
    std::u16string provider = kSoftwareKeyStorageProvider;
    CRYPT_KEY_PROV_INFO info{name.data(), provider.data(), 0, machine ? kPfxMachineKeyset : 0, 0, nullptr, spec};
    if (status != 0) {
      error = static_cast<uint32_t>(status);
    } else if (CertSetCertificateContextProperty(added, kCertKeyProvInfoPropId, 0, &info) == 0) {
      error = GetLastError();
      ksp::DeleteStoredKey(name, machine);
    }
  }
  CertFreeCertificateContext(added);
  return error;
}

// KeyProvInfo copies the context's key-provider information block; false when it has none.
bool KeyProvInfo(PCCERT_CONTEXT context, std::vector<uint64_t>* block) {
  DWORD size = 0;
  if (CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, nullptr, &size) == 0) return false;
  block->assign(size / sizeof(uint64_t) + 1, 0);
  return CertGetCertificateContextProperty(context, kCertKeyProvInfoPropId, block->data(), &size) != 0;
}

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

// PrivateKeyOf reads the private key the context names and whether it may leave its provider: 0, or
// CRYPT_E_NOT_FOUND without key-provider information, or the provider's error.
uint32_t PrivateKeyOf(PCCERT_CONTEXT context, Pkey* pkey, bool* exportable) {
  std::vector<uint64_t> block;
  if (!KeyProvInfo(context, &block)) return kCryptENotFound;
  const auto& info = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());
  if (info.dwKeySpec == 0 || info.pwszContainerName == nullptr) return kCryptENotFound;
  const bool machine = (info.dwFlags & kCryptMachineKeyset) != 0;
  if (info.dwProvType == 0) {
    ksp::Provider provider;
    if (!ksp::ProviderOfName(info.pwszProvName, &provider)) return static_cast<uint32_t>(kNteProvDllNotFound);
    if (provider == ksp::Provider::kSmartCard) return kNtePermCode;
    NCRYPT_KEY_HANDLE key = 0;
    SECURITY_STATUS status =
        ksp::OpenKey(provider, &key, info.pwszContainerName, 0, machine ? kNcryptMachineKeyFlag : 0);
    if (status != 0) return static_cast<uint32_t>(status);
    DWORD policy = 0, got = 0;
    status = ksp::GetProperty(key, kNcryptExportPolicyProperty, reinterpret_cast<uint8_t*>(&policy), sizeof policy,
                              &got, 0);
    (void)ksp::FreeKey(key);
    if (status != 0) return static_cast<uint32_t>(status);
    *exportable = (policy & (kAllowExportFlag | kAllowPlaintextExportFlag)) != 0;
    pkey->reset(ksp::StoredPrivateKey(provider, info.pwszContainerName, machine));
    return *pkey != nullptr ? 0 : kNteBadKeyset;
  }
  const std::string container = Narrow(info.pwszContainerName), provider_name = Narrow(info.pwszProvName);
  HCRYPTPROV provider = 0;
  if (CryptAcquireContextA(&provider, container.c_str(), provider_name.empty() ? nullptr : provider_name.c_str(),
                           info.dwProvType, info.dwFlags & (kCryptMachineKeyset | kCryptSilent)) == 0) {
    return GetLastError();
  }
  EVP_PKEY* held = nullptr;
  const SECURITY_STATUS status = capi::ContainerKey(provider, info.dwKeySpec, &held, exportable);
  CryptReleaseContext(provider, 0);
  if (status != 0) return static_cast<uint32_t>(status);
  pkey->reset(held);
  return 0;
}

}  // namespace

HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags) {
  CountCryptoCall("PFXImportCertStore");
  if (pfx == nullptr || (pfx->pbData == nullptr && pfx->cbData != 0) || pfx->cbData > 0x7FFFFFFF) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  LoadLegacyAlgorithms();
  const unsigned char* cursor = pfx->pbData;
  Pkcs12Ptr container(pfx->cbData != 0 ? d2i_PKCS12(nullptr, &cursor, static_cast<long>(pfx->cbData)) : nullptr);
  if (container == nullptr || cursor != pfx->pbData + pfx->cbData) {
    SetLastError(kCryptEBadDecode);
    return nullptr;
  }
  // An empty password is tried as "" and as none, as files from different tools need.
  const std::string given = password != nullptr ? Utf8(password) : std::string();
  const char* pass = given.c_str();
  if (PKCS12_mac_present(container.get()) == 1) {
    const bool matches = PKCS12_verify_mac(container.get(), pass, static_cast<int>(given.size())) == 1;
    if (!matches && given.empty() && PKCS12_verify_mac(container.get(), nullptr, 0) == 1) {
      pass = nullptr;
    } else if (!matches) {
      SetLastError(kErrorInvalidPassword);
      return nullptr;
    }
  }
  EVP_PKEY* key_out = nullptr;
  X509* certificate_out = nullptr;
  STACK_OF(X509)* others_out = nullptr;
  if (PKCS12_parse(container.get(), pass, &key_out, &certificate_out, &others_out) != 1) {
    SetLastError(pass != nullptr && !given.empty() ? kErrorInvalidPassword : kCryptEBadDecode);
    return nullptr;
  }
  Pkey key(key_out);
  X509Ptr certificate(certificate_out);
  CertStack others(others_out);
  if (key != nullptr && (certificate == nullptr || X509_check_private_key(certificate.get(), key.get()) != 1)) {
    SetLastError(kCryptEBadDecode);
    return nullptr;
  }
  HCERTSTORE store = CertOpenStore(reinterpret_cast<const char*>(kCertStoreProvMemory), 0, 0, 0, nullptr);
  if (store == nullptr) return nullptr;
  uint32_t error = certificate != nullptr ? Import(store, certificate.get(), key.get(), flags) : 0;
  for (int i = 0; error == 0 && others != nullptr && i < sk_X509_num(others.get()); ++i) {
    error = Import(store, sk_X509_value(others.get(), i), nullptr, flags);
  }
  if (error != 0) {
    CertCloseStore(store, 0);
    SetLastError(error);
    return nullptr;
  }
  return store;
}

BOOL PFXExportCertStore(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags) {
  CountCryptoCall("PFXExportCertStore");
  if (const uint32_t forced = g_forced_export_failure.exchange(0); forced != 0) {
    SetLastError(forced);
    return 0;
  }
  if (store == nullptr || pfx == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  Pkey key;
  X509Ptr main;
  CertStack others(sk_X509_new_null());
  if (others == nullptr) {
    SetLastError(kEOutOfMemory);
    return 0;
  }
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertFindCertificateInStore(store, kEncoding, 0, kCertFindAny, nullptr, context)) != nullptr) {
    const unsigned char* cursor = context->pbCertEncoded;
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(context->cbCertEncoded)));
    if (certificate == nullptr) {
      CertFreeCertificateContext(context);
      SetLastError(kCryptEBadDecode);
      return 0;
    }
    if ((flags & kPfxExportPrivateKeys) != 0) {
      Pkey pkey;
      bool exportable = false;
      const uint32_t status = PrivateKeyOf(context, &pkey, &exportable);
      uint32_t refused = 0;
      if (status != 0 && (flags & kPfxReportNoPrivateKey) != 0) refused = status;
      if (status == 0 && !exportable && (flags & kPfxReportNotAbleToExport) != 0) refused = kNtePermCode;
      if (refused != 0) {
        CertFreeCertificateContext(context);
        SetLastError(refused);
        return 0;
      }
      if (status == 0 && exportable && key == nullptr) {
        key = std::move(pkey);
        main = std::move(certificate);
        continue;
      }
    }
    if (sk_X509_push(others.get(), certificate.get()) <= 0) {
      CertFreeCertificateContext(context);
      SetLastError(kEOutOfMemory);
      return 0;
    }
    (void)certificate.release();
  }
  if (GetLastError() != kCryptENotFound) return 0;  // the store handle was not open
  if (main == nullptr && sk_X509_num(others.get()) == 0) {
    SetLastError(kCryptENotFound);
    return 0;
  }
  const std::string pass = password != nullptr ? Utf8(password) : std::string();
  Pkcs12Ptr container(PKCS12_create(pass.c_str(), nullptr, key.get(), main.get(), others.get(), 0, 0, 0, 0, 0));
  unsigned char* der = nullptr;
  const int length = container != nullptr ? i2d_PKCS12(container.get(), &der) : 0;
  if (length <= 0) {
    SetLastError(kCryptEBadDecode);
    return 0;
  }
  const DWORD needed = static_cast<DWORD>(length);
  BOOL ok = 1;
  if (pfx->pbData != nullptr && pfx->cbData < needed) {
    SetLastError(kErrorMoreData);
    ok = 0;
  } else if (pfx->pbData != nullptr) {
    std::memcpy(pfx->pbData, der, needed);
  }
  pfx->cbData = needed;
  OPENSSL_free(der);
  return ok;
}

namespace test {
void FailNextPfxExport(uint32_t code) { g_forced_export_failure.store(code); }
}  // namespace test

}  // namespace velmora::platform
