// Certificate chains of the "crypt32" stand-in: CertGetCertificateChain builds and checks the path of a
// certificate with OpenSSL's X509_verify_cert, keeping every error at the depth where it was found, and
// CertVerifyCertificateChainPolicy applies the SSL policy to the result by a fixed priority of errors.
//
// Trust anchors are the current user's "ROOT" store (OpenSSL's default certificate file plus the folders
// of the store root); they are turned into one X509_STORE that is kept and rebuilt only when the folders'
// listings or the store root change. Other candidates come from "CA", the certificate's own store and the
// caller's additional store. No revocation is checked and no missing certificate is fetched.
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/crypt32_internal.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"
#include "platform/store_root.h"
#include "platform/time.h"

namespace velmora::platform {

namespace crypt32 {

// ChainObject is what a chain context pointer names: the context, its one simple chain and the elements,
// each holding a reference on its certificate context.
struct ChainObject {
  CERT_CHAIN_CONTEXT context{};
  CERT_SIMPLE_CHAIN simple{};
  CERT_SIMPLE_CHAIN* simple_list[1] = {};
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<CERT_CHAIN_ELEMENT*> element_list;
};

}  // namespace crypt32

namespace {

using crypt32::Bytes;
using crypt32::ChainObject;
using crypt32::Crypt32State;
using crypt32::State;

constexpr uint32_t kNteBadAlgId = 0x80090008u;
constexpr uint32_t kTrustEBadSignature = 0x80096004u;
constexpr uint32_t kCertEChaining = 0x800B010Au;
constexpr uint32_t kCertEUntrustedRoot = 0x800B0109u;
constexpr uint32_t kCertEExpired = 0x800B0101u;
constexpr uint32_t kTrustEBasicConstraints = 0x80096019u;
constexpr uint32_t kCertEWrongUsage = 0x800B0110u;
constexpr uint32_t kCertECnNoMatch = 0x800B010Fu;
constexpr uint32_t kCertECritical = 0x800B0105u;
constexpr uint32_t kCertEInvalidPolicy = 0x800B0113u;
constexpr uint32_t kCertEInvalidName = 0x800B0114u;

constexpr DWORD kNameConstraintBits = kTrustInvalidNameConstraints | kTrustHasNotSupportedNameConstraint |
                                      kTrustHasNotDefinedNameConstraint | kTrustHasNotPermittedNameConstraint |
                                      kTrustHasExcludedNameConstraint;

// The error bits of OpenSSL's verification errors. An error not listed marks an invalid extension, so
// that no failure passes unseen.
struct ErrorBits {
  int error;
  DWORD bits;
};
constexpr ErrorBits kErrorBits[] = {
    {X509_V_ERR_CERT_NOT_YET_VALID, kTrustIsNotTimeValid},
    {X509_V_ERR_CERT_HAS_EXPIRED, kTrustIsNotTimeValid},
    {X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD, kTrustIsNotTimeValid},
    {X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD, kTrustIsNotTimeValid},
    {X509_V_ERR_CERT_SIGNATURE_FAILURE, kTrustIsNotSignatureValid},
    {X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE, kTrustIsNotSignatureValid},
    {X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY, kTrustIsNotSignatureValid},
    {X509_V_ERR_CA_KEY_TOO_SMALL, kTrustIsNotSignatureValid},
    {X509_V_ERR_EE_KEY_TOO_SMALL, kTrustIsNotSignatureValid},
    {X509_V_ERR_CA_MD_TOO_WEAK, kTrustIsNotSignatureValid},
    {X509_V_ERR_INVALID_PURPOSE, kTrustIsNotValidForUsage},
    {X509_V_ERR_KEYUSAGE_NO_CERTSIGN, kTrustIsNotValidForUsage},
    {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, kTrustIsUntrustedRoot},
    {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, kTrustIsUntrustedRoot},
    {X509_V_ERR_CERT_UNTRUSTED, kTrustIsUntrustedRoot},
    {X509_V_ERR_CERT_REJECTED, kTrustIsUntrustedRoot},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, kTrustIsPartialChain},
    {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, kTrustIsPartialChain},
    {X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, kTrustIsPartialChain},
    {X509_V_ERR_INVALID_CA, kTrustInvalidBasicConstraints},
    {X509_V_ERR_INVALID_NON_CA, kTrustInvalidBasicConstraints},
    {X509_V_ERR_PATH_LENGTH_EXCEEDED, kTrustInvalidBasicConstraints},
    {X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED, kTrustInvalidBasicConstraints},
    {X509_V_ERR_INVALID_POLICY_EXTENSION, kTrustInvalidPolicyConstraints},
    {X509_V_ERR_NO_EXPLICIT_POLICY, kTrustInvalidPolicyConstraints},
    {X509_V_ERR_PERMITTED_VIOLATION, kTrustHasNotPermittedNameConstraint},
    {X509_V_ERR_EXCLUDED_VIOLATION, kTrustHasExcludedNameConstraint},
    {X509_V_ERR_SUBTREE_MINMAX, kTrustHasNotSupportedNameConstraint},
    {X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE, kTrustHasNotSupportedNameConstraint},
    {X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX, kTrustHasNotSupportedNameConstraint},
    {X509_V_ERR_UNSUPPORTED_NAME_SYNTAX, kTrustHasNotSupportedNameConstraint},
};

DWORD BitsOfError(int error) {
  for (const ErrorBits& entry : kErrorBits) {
    if (entry.error == error) return entry.bits;
  }
  return kTrustInvalidExtension;
}

// The SSL policy's verdicts in the order they win: the first bit present (and not ignored by the flag
// beside it) gives dwError.
struct PolicyRule {
  DWORD bits;
  DWORD ignore_flag;
  uint32_t error;
};
constexpr PolicyRule kPolicyRules[] = {
    {kTrustIsNotSignatureValid, 0, kTrustEBadSignature},
    {kTrustIsPartialChain, 0, kCertEChaining},
    {kTrustIsUntrustedRoot, kPolicyAllowUnknownCa, kCertEUntrustedRoot},
    {kTrustIsNotTimeValid, kPolicyIgnoreNotTimeValid, kCertEExpired},
    {kTrustInvalidBasicConstraints, kPolicyIgnoreInvalidBasicConstraints, kTrustEBasicConstraints},
    {kTrustIsNotValidForUsage, kPolicyIgnoreWrongUsage, kCertEWrongUsage},
};
// After the name check: what OpenSSL can report beyond the rules above.
constexpr PolicyRule kLateRules[] = {
    {kNameConstraintBits, 0, kCertEInvalidName},
    {kTrustInvalidPolicyConstraints, 0, kCertEInvalidPolicy},
    {kTrustInvalidExtension | kTrustIsCyclic, 0, kCertECritical},
};

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

X509Ptr Parse(const uint8_t* der, size_t length) {
  const unsigned char* cursor = der;
  return X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(length)), &X509_free);
}

// FolderKey names the store root and the certificate files of the folders under it: a changed key means
// a changed store.
std::string FolderKey(std::initializer_list<const char*> folders) {
  const std::string root = StoreRoot();
  std::string key = root;
  for (const char* folder : folders) {
    key += '|';
    if (root.empty()) continue;
    for (const std::string& file : ListStoreFolder(root + folder, ".der")) key += file + ',';
  }
  return key;
}

// SystemStoreCertificates is the DER of every certificate the current user's system store lists.
std::vector<Bytes> SystemStoreCertificates(const char* name) {
  std::vector<Bytes> out;
  HCERTSTORE store = crypt32::OpenSystemStore(kCertSystemStoreCurrentUser | kCertStoreReadOnlyFlag, name);
  if (store == nullptr) return out;
  {
    Crypt32State& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (crypt32::CertStoreObject* object = crypt32::FindOpenStore(state, store)) {
      for (const crypt32::CertContextObject* entry : object->entries) out.push_back(entry->encoded);
    }
  }
  CertCloseStore(store, 0);
  return out;
}

// The parsed certificates of "ROOT" (as one X509_STORE) and of "CA", kept while their folders list the
// same files, so that the system bundle is turned into a store once.
struct StoreCache {
  std::mutex mutex;
  std::string root_key;
  X509_STORE* anchors = nullptr;
  std::string ca_key;
  std::vector<X509*> ca;
};

StoreCache& Cache() {
  static StoreCache* cache = new StoreCache;
  return *cache;
}

// TrustStore is a new reference to the anchors' store (null when it cannot be made).
X509_STORE* TrustStore() {
  StoreCache& cache = Cache();
  const std::string key = FolderKey({"/stores/ROOT", "/machine/stores/ROOT"});
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (cache.anchors == nullptr || cache.root_key != key) {
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) return nullptr;
    for (const Bytes& der : SystemStoreCertificates("ROOT")) {
      X509Ptr cert = Parse(der.data(), der.size());
      if (cert) X509_STORE_add_cert(store, cert.get());
    }
    X509_STORE_free(cache.anchors);
    cache.anchors = store;
    cache.root_key = key;
  }
  X509_STORE_up_ref(cache.anchors);
  return cache.anchors;
}

// PushIntermediates adds new references to the certificates of "CA" to out.
void PushIntermediates(STACK_OF(X509)* out) {
  StoreCache& cache = Cache();
  const std::string key = FolderKey({"/stores/CA"});
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (cache.ca_key != key) {
    for (X509* cert : cache.ca) X509_free(cert);
    cache.ca.clear();
    for (const Bytes& der : SystemStoreCertificates("CA")) {
      X509Ptr cert = Parse(der.data(), der.size());
      if (cert) cache.ca.push_back(cert.release());
    }
    cache.ca_key = key;
  }
  for (X509* cert : cache.ca) {
    if (sk_X509_push(out, cert) > 0) X509_up_ref(cert);
  }
}

// AppendEntries adds the DER of every certificate of the store (when it is open) to out. Lock held.
void AppendEntries(Crypt32State& state, HCERTSTORE handle, std::vector<Bytes>* out) {
  crypt32::CertStoreObject* store = crypt32::FindOpenStore(state, handle);
  if (store == nullptr) return;
  for (const crypt32::CertContextObject* entry : store->entries) out->push_back(entry->encoded);
}

// The verification's record: the error bits found at each depth.
struct DepthErrors {
  std::vector<DWORD> bits;
};

int g_record_index = -1;

int RecordError(int ok, X509_STORE_CTX* ctx) {
  if (ok != 0) return 1;
  auto* record = static_cast<DepthErrors*>(X509_STORE_CTX_get_ex_data(ctx, g_record_index));
  const int depth = X509_STORE_CTX_get_error_depth(ctx);
  if (record != nullptr && depth >= 0 && depth < 1000) {
    if (record->bits.size() <= static_cast<size_t>(depth)) record->bits.resize(static_cast<size_t>(depth) + 1, 0);
    record->bits[static_cast<size_t>(depth)] |= BitsOfError(X509_STORE_CTX_get_error(ctx));
  }
  return 1;
}

bool IsEdDsa(X509* cert) {
  const int signature = X509_get_signature_nid(cert);
  if (signature == NID_ED25519 || signature == NID_ED448) return true;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  return key != nullptr && (EVP_PKEY_get_id(key) == EVP_PKEY_ED25519 || EVP_PKEY_get_id(key) == EVP_PKEY_ED448);
}

// IssuerInfo is the information bits of cert against its issuer: the names chain, the authority key
// identifier names the issuer's key (key match) or its issuer and serial number (exact match).
DWORD IssuerInfo(X509* cert, X509* issuer) {
  DWORD info = 0;
  if (X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(issuer)) == 0) info |= kTrustHasNameMatchIssuer;
  const ASN1_OCTET_STRING* key_id = X509_get0_authority_key_id(cert);
  const ASN1_INTEGER* serial = X509_get0_authority_serial(cert);
  if (key_id != nullptr) {
    const ASN1_OCTET_STRING* subject_key = X509_get0_subject_key_id(issuer);
    if (subject_key != nullptr && ASN1_OCTET_STRING_cmp(key_id, subject_key) == 0) info |= kTrustHasKeyMatchIssuer;
  }
  if (serial != nullptr && ASN1_INTEGER_cmp(serial, X509_get0_serialNumber(issuer)) == 0) {
    info |= kTrustHasExactMatchIssuer;
  }
  if (cert == issuer && X509_self_signed(cert, 0) == 1) info |= kTrustIsSelfSigned;
  return info;
}

std::atomic<uint32_t> g_fail_next_policy{0};

ChainObject* FindChain(Crypt32State& state, const CERT_CHAIN_CONTEXT* chain) {
  auto it = state.chains.find(chain);
  return it != state.chains.end() ? it->second : nullptr;
}

// Utf8 converts a terminated UTF-16 text: false for a lone surrogate.
bool Utf8(const char16_t* text, std::string* out) {
  out->clear();
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      const uint32_t low = text[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

// WrongUsage: the end certificate lists extended key usages and none of them allows the side's
// authentication (or any usage).
bool WrongUsage(X509* cert, DWORD auth_type) {
  if ((X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) == 0) return false;
  const uint32_t usages = X509_get_extended_key_usage(cert);
  const uint32_t wanted = auth_type == kAuthTypeClient ? XKU_SSL_CLIENT : XKU_SSL_SERVER;
  return (usages & (wanted | XKU_ANYEKU)) == 0;
}

}  // namespace

BOOL CertGetCertificateChain(HCERTCHAINENGINE, PCCERT_CONTEXT context, const FILETIME* time, HCERTSTORE additional,
                             const CERT_CHAIN_PARA*, DWORD, void*, const CERT_CHAIN_CONTEXT** chain) {
  CountCryptoCall("CertGetCertificateChain");
  if (chain != nullptr) *chain = nullptr;
  Bytes end_der;
  std::vector<Bytes> candidates;
  {
    Crypt32State& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    crypt32::CertContextObject* object = chain != nullptr ? crypt32::FindContext(state, context) : nullptr;
    if (object == nullptr) {
      SetLastError(kEInvalidArg);
      return 0;
    }
    end_der = object->encoded;
    if (object->store != nullptr) AppendEntries(state, object->store, &candidates);
    if (additional != nullptr) AppendEntries(state, additional, &candidates);
  }
  X509Ptr end = Parse(end_der.data(), end_der.size());
  if (!end) {
    SetLastError(kCryptEAsn1Corrupt);
    return 0;
  }
  if (IsEdDsa(end.get())) {
    SetLastError(kNteBadAlgId);
    return 0;
  }

  static std::once_flag index_once;
  std::call_once(index_once, [] { g_record_index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });
  X509_STORE* trust = TrustStore();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  auto cleanup = [&] {
    X509_STORE_CTX_free(ctx);
    sk_X509_pop_free(untrusted, X509_free);
    X509_STORE_free(trust);
  };
  if (trust == nullptr || untrusted == nullptr || ctx == nullptr) {
    cleanup();
    SetLastError(kEOutOfMemory);
    return 0;
  }
  for (const Bytes& der : candidates) {
    X509Ptr cert = Parse(der.data(), der.size());
    if (cert && sk_X509_push(untrusted, cert.get()) > 0) cert.release();
  }
  PushIntermediates(untrusted);
  DepthErrors record;
  const uint64_t now = time != nullptr
                           ? (static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime
                           : NowFileTime();
  const int64_t seconds = (static_cast<int64_t>(now) - static_cast<int64_t>(kFileTimeUnixEpoch)) / 10000000;
  if (X509_STORE_CTX_init(ctx, trust, end.get(), untrusted) != 1 ||
      X509_STORE_CTX_set_ex_data(ctx, g_record_index, &record) != 1) {
    cleanup();
    SetLastError(kEOutOfMemory);
    return 0;
  }
  X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx), static_cast<time_t>(seconds));
  X509_STORE_CTX_set_verify_cb(ctx, RecordError);
  const int verified = X509_verify_cert(ctx);
  STACK_OF(X509)* path = X509_STORE_CTX_get1_chain(ctx);
  if (path == nullptr || sk_X509_num(path) == 0) {
    sk_X509_pop_free(path, X509_free);
    cleanup();
    SetLastError(kCryptEAsn1Corrupt);
    return 0;
  }
  const int count = sk_X509_num(path);
  record.bits.resize(static_cast<size_t>(count), 0);
  // Errors found above the path's top (a missing issuer) belong to its last element.
  for (size_t depth = static_cast<size_t>(count); depth < record.bits.size(); ++depth) {
    record.bits[static_cast<size_t>(count) - 1] |= record.bits[depth];
  }

  // A failure the callback did not see (an internal error) still marks the chain.
  if (verified != 1 && std::all_of(record.bits.begin(), record.bits.end(), [](DWORD bits) { return bits == 0; })) {
    record.bits[0] |= kTrustInvalidExtension;
  }

  auto* built = new (std::nothrow) ChainObject;
  std::vector<Bytes> ders(static_cast<size_t>(count));
  std::vector<DWORD> infos(static_cast<size_t>(count), 0);
  for (int i = 0; i < count; ++i) {
    X509* cert = sk_X509_value(path, i);
    X509* issuer = i + 1 < count ? sk_X509_value(path, i + 1) : cert;
    infos[static_cast<size_t>(i)] = IssuerInfo(cert, issuer);
    if (i + 1 == count && issuer == cert && (infos[static_cast<size_t>(i)] & kTrustIsSelfSigned) == 0) {
      infos[static_cast<size_t>(i)] &= ~(kTrustHasNameMatchIssuer | kTrustHasKeyMatchIssuer | kTrustHasExactMatchIssuer);
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    if (length > 0) ders[static_cast<size_t>(i)].assign(der, der + length);
    OPENSSL_free(der);
  }
  sk_X509_pop_free(path, X509_free);
  cleanup();
  if (built == nullptr) {
    SetLastError(kEOutOfMemory);
    return 0;
  }

  std::vector<std::unique_ptr<crypt32::CertContextObject>> decoded(static_cast<size_t>(count));
  for (int i = 1; i < count; ++i) {
    const Bytes& der = ders[static_cast<size_t>(i)];
    decoded[static_cast<size_t>(i)] = crypt32::Decode(kX509AsnEncoding, der.data(), static_cast<DWORD>(der.size()));
    if (!decoded[static_cast<size_t>(i)]) {
      delete built;
      SetLastError(kCryptEAsn1Corrupt);
      return 0;
    }
  }
  built->elements.resize(static_cast<size_t>(count));
  built->element_list.resize(static_cast<size_t>(count));
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  crypt32::CertContextObject* first = crypt32::FindContext(state, context);
  if (first == nullptr) {  // freed by another thread meanwhile
    delete built;
    SetLastError(kEInvalidArg);
    return 0;
  }
  DWORD errors = 0;
  DWORD info_all = 0;
  for (int i = 0; i < count; ++i) {
    CERT_CHAIN_ELEMENT& element = built->elements[static_cast<size_t>(i)];
    element.cbSize = sizeof element;
    crypt32::CertContextObject* object = i == 0 ? first : decoded[static_cast<size_t>(i)].release();
    if (i == 0) {
      object->refs++;
    } else {
      crypt32::Register(state, object);
    }
    element.pCertContext = &object->context;
    element.TrustStatus.dwErrorStatus = record.bits[static_cast<size_t>(i)];
    element.TrustStatus.dwInfoStatus = infos[static_cast<size_t>(i)];
    errors |= element.TrustStatus.dwErrorStatus;
    info_all |= element.TrustStatus.dwInfoStatus;
    built->element_list[static_cast<size_t>(i)] = &element;
  }
  built->simple.cbSize = sizeof built->simple;
  built->simple.TrustStatus = {errors, info_all};
  built->simple.cElement = static_cast<DWORD>(count);
  built->simple.rgpElement = built->element_list.data();
  built->simple_list[0] = &built->simple;
  built->context.cbSize = sizeof built->context;
  built->context.TrustStatus = {errors, info_all};
  built->context.cChain = 1;
  built->context.rgpChain = built->simple_list;
  state.chains[&built->context] = built;
  *chain = &built->context;
  return 1;
}

void CertFreeCertificateChain(const CERT_CHAIN_CONTEXT* chain) {
  CountCryptoCall("CertFreeCertificateChain");
  if (chain == nullptr) return;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  ChainObject* built = FindChain(state, chain);
  if (built == nullptr) {
    SetLastError(kEInvalidArg);
    return;
  }
  state.chains.erase(chain);
  for (const CERT_CHAIN_ELEMENT& element : built->elements) {
    if (crypt32::CertContextObject* object = crypt32::FindContext(state, element.pCertContext)) {
      crypt32::Release(state, object);
    }
  }
  delete built;
}

BOOL CertVerifyCertificateChainPolicy(const char* policy, const CERT_CHAIN_CONTEXT* chain,
                                      CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status) {
  CountCryptoCall("CertVerifyCertificateChainPolicy");
  if (const uint32_t code = g_fail_next_policy.exchange(0); code != 0) {
    SetLastError(code);
    return 0;
  }
  if (reinterpret_cast<uintptr_t>(policy) != kCertChainPolicySsl) {
    SetLastError(kENotImpl);
    return 0;
  }
  const DWORD flags = para != nullptr ? para->dwFlags : 0;
  const auto* extra =
      para != nullptr ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara) : nullptr;
  const DWORD auth_type = extra != nullptr ? extra->dwAuthType : kAuthTypeServer;
  std::string name;
  const bool check_name = extra != nullptr && extra->pwszServerName != nullptr && auth_type == kAuthTypeServer &&
                          (flags & kPolicyIgnoreInvalidName) == 0;
  const bool name_readable = check_name && Utf8(extra->pwszServerName, &name);

  // The end certificate's bytes and the elements' bits, read under the lock.
  Bytes end_der;
  std::vector<DWORD> bits;
  {
    Crypt32State& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    ChainObject* built = status != nullptr ? FindChain(state, chain) : nullptr;
    if (built == nullptr) {
      SetLastError(kEInvalidArg);
      return 0;
    }
    const CERT_SIMPLE_CHAIN& simple = built->simple;
    for (DWORD i = 0; i < simple.cElement; ++i) bits.push_back(simple.rgpElement[i]->TrustStatus.dwErrorStatus);
    const CERT_CONTEXT* end = simple.rgpElement[0]->pCertContext;
    end_der.assign(end->pbCertEncoded, end->pbCertEncoded + end->cbCertEncoded);
  }
  status->dwError = 0;
  status->lChainIndex = -1;
  status->lElementIndex = -1;
  auto verdict = [&](const PolicyRule* begin, const PolicyRule* end) {
    for (const PolicyRule* rule = begin; rule != end; ++rule) {
      if ((flags & rule->ignore_flag) != 0) continue;
      for (size_t i = 0; i < bits.size(); ++i) {
        if ((bits[i] & rule->bits) == 0) continue;
        status->dwError = rule->error;
        status->lChainIndex = 0;
        status->lElementIndex = static_cast<LONG>(i);
        return true;
      }
    }
    return false;
  };
  if (verdict(std::begin(kPolicyRules), std::end(kPolicyRules))) return 1;
  X509Ptr end = Parse(end_der.data(), end_der.size());
  if (!end) {
    status->dwError = kCertECritical;
    status->lChainIndex = 0;
    status->lElementIndex = 0;
    return 1;
  }
  if ((flags & kPolicyIgnoreWrongUsage) == 0 && WrongUsage(end.get(), auth_type)) {
    status->dwError = kCertEWrongUsage;
  } else if (check_name && (!name_readable || name.empty() ||
                            X509_check_host(end.get(), name.data(), name.size(), 0, nullptr) != 1)) {
    status->dwError = kCertECnNoMatch;
  }
  if (status->dwError != 0) {
    status->lChainIndex = 0;
    status->lElementIndex = 0;
    return 1;
  }
  verdict(std::begin(kLateRules), std::end(kLateRules));
  return 1;
}

namespace test {

int LiveChainContexts() {
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int>(state.chains.size());
}

void FailNextChainPolicy(uint32_t code) { g_fail_next_policy.store(code); }

}  // namespace test

}  // namespace velmora::platform
