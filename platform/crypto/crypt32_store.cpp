// Certificate contexts, memory stores and context properties of the "crypt32" module. The certificate is
// decoded with OpenSSL's d2i_X509 and the fields callers read are copied into the context, which owns them;
// the X509 object is not kept.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/cert_private_key.h"
#include "platform/crypto/crypt32_internal.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"

namespace velmora::platform {

namespace {

using namespace crypt32;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct Asn1TypeFree {
  void operator()(ASN1_TYPE* t) const { ASN1_TYPE_free(t); }
};

// I2d copies an OpenSSL encoder's output into bytes; false when it fails.
template <typename T, typename Encode>
bool I2d(const T* object, Encode encode, Bytes* out) {
  unsigned char* der = nullptr;
  const int len = encode(object, &der);
  if (len <= 0 || der == nullptr) return false;
  out->assign(der, der + len);
  OPENSSL_free(der);
  return true;
}

// FileTimeOf converts an ASN.1 time to 100-nanosecond intervals since 1601; false for a time before 1601.
bool FileTimeOf(const ASN1_TIME* time, FILETIME* out) {
  struct tm parts {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return false;
  const int64_t seconds = static_cast<int64_t>(timegm(&parts)) + 11644473600LL;
  if (seconds < 0) return false;
  const uint64_t ticks = static_cast<uint64_t>(seconds) * 10000000u;
  out->dwLowDateTime = static_cast<DWORD>(ticks);
  out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return true;
}

// OuterLength checks the outer DER header: the element's whole length, or 0 with the last error set.
size_t OuterLength(const uint8_t* in, size_t len) {
  if (len < 2) {
    SetLastError(kCryptEAsn1Eod);
    return 0;
  }
  if (in[0] != 0x30) {
    SetLastError(kCryptEAsn1Badtag);
    return 0;
  }
  size_t header = 2;
  size_t content = in[1];
  if (in[1] & 0x80) {
    const size_t count = in[1] & 0x7F;
    // X.690 8.1.3.5: long form; DER certificates never need more than four length octets here.
    if (count == 0 || count > 4) {
      SetLastError(kCryptEAsn1Corrupt);
      return 0;
    }
    if (len < 2 + count) {
      SetLastError(kCryptEAsn1Eod);
      return 0;
    }
    content = 0;
    for (size_t i = 0; i < count; ++i) content = (content << 8) | in[2 + i];
    header += count;
  }
  if (content > len - header) {
    SetLastError(kCryptEAsn1Eod);
    return 0;
  }
  return header + content;
}

// FillPublicKey copies the subject public key's algorithm, parameters and bits.
bool FillPublicKey(X509* x, CertContextObject& object) {
  const ASN1_OBJECT* oid = nullptr;
  const unsigned char* bits = nullptr;
  int bits_len = 0;
  X509_ALGOR* algorithm = nullptr;
  if (X509_PUBKEY_get0_param(nullptr, &bits, &bits_len, &algorithm, X509_get_X509_PUBKEY(x)) != 1 ||
      algorithm == nullptr) {
    return false;
  }
  int parameter_type = V_ASN1_UNDEF;
  const void* parameter = nullptr;
  X509_ALGOR_get0(&oid, &parameter_type, &parameter, algorithm);
  const int oid_len = OBJ_obj2txt(nullptr, 0, oid, 1);
  if (oid_len <= 0) return false;
  object.key_oid.resize(static_cast<size_t>(oid_len) + 1);
  OBJ_obj2txt(object.key_oid.data(), oid_len + 1, oid, 1);
  object.key_oid.resize(static_cast<size_t>(oid_len));
  if (parameter_type != V_ASN1_UNDEF) {
    std::unique_ptr<ASN1_TYPE, Asn1TypeFree> type(ASN1_TYPE_new());
    if (!type || ASN1_TYPE_set1(type.get(), parameter_type, parameter) != 1 ||
        !I2d(type.get(), i2d_ASN1_TYPE, &object.key_parameters)) {
      return false;
    }
  }
  if (bits_len > 0) object.key_bits.assign(bits, bits + bits_len);
  return true;
}

}  // namespace

namespace crypt32 {

// Decode fills a new context from DER, or gives null with the last error set.
std::unique_ptr<CertContextObject> Decode(DWORD encoding, const uint8_t* in, DWORD in_len) {
  if (in == nullptr || (encoding != kX509AsnEncoding && encoding != (kX509AsnEncoding | kPkcs7AsnEncoding))) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  const size_t len = OuterLength(in, in_len);
  if (len == 0) return nullptr;
  const unsigned char* cursor = in;
  std::unique_ptr<X509, X509Free> x(d2i_X509(nullptr, &cursor, static_cast<long>(len)));
  if (!x || cursor != in + len) {
    SetLastError(kCryptEAsn1Corrupt);
    return nullptr;
  }
  auto object = std::unique_ptr<CertContextObject>(new (std::nothrow) CertContextObject);
  if (!object) {
    SetLastError(kEOutOfMemory);
    return nullptr;
  }
  object->encoded.assign(in, in + len);
  Bytes serial_der;
  const bool ok = I2d(X509_get0_serialNumber(x.get()), i2d_ASN1_INTEGER, &serial_der) &&
                  I2d(X509_get_issuer_name(x.get()), i2d_X509_NAME, &object->issuer) &&
                  I2d(X509_get_subject_name(x.get()), i2d_X509_NAME, &object->subject) &&
                  FileTimeOf(X509_get0_notBefore(x.get()), &object->info.NotBefore) &&
                  FileTimeOf(X509_get0_notAfter(x.get()), &object->info.NotAfter) && FillPublicKey(x.get(), *object) &&
                  EVP_Digest(in, len, object->sha1, nullptr, EVP_sha1(), nullptr) == 1;
  // The INTEGER's header is short here: a serial longer than 127 bytes is no certificate's.
  if (!ok || serial_der.size() < 2 || serial_der[1] & 0x80) {
    SetLastError(kCryptEAsn1Corrupt);
    return nullptr;
  }
  object->serial.assign(serial_der.rbegin(), serial_der.rend() - 2);

  CERT_INFO& info = object->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(x.get()));
  info.SerialNumber = {static_cast<DWORD>(object->serial.size()), object->serial.data()};
  info.Issuer = {static_cast<DWORD>(object->issuer.size()), object->issuer.data()};
  info.Subject = {static_cast<DWORD>(object->subject.size()), object->subject.data()};
  CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
  key.Algorithm.pszObjId = object->key_oid.data();
  key.Algorithm.Parameters = {static_cast<DWORD>(object->key_parameters.size()),
                              object->key_parameters.empty() ? nullptr : object->key_parameters.data()};
  key.PublicKey = {static_cast<DWORD>(object->key_bits.size()), object->key_bits.data(), 0};
  object->context.dwCertEncodingType = encoding;
  object->context.pbCertEncoded = object->encoded.data();
  object->context.cbCertEncoded = static_cast<DWORD>(object->encoded.size());
  object->context.pCertInfo = &object->info;
  return object;
}

// The helpers below run with the state's mutex held.

CertContextObject* FindContext(Crypt32State& state, PCCERT_CONTEXT context) {
  auto it = state.contexts.find(context);
  return it != state.contexts.end() ? it->second : nullptr;
}

// FindOpenStore gives the store of a handle that is still open, or null.
CertStoreObject* FindOpenStore(Crypt32State& state, HCERTSTORE store) {
  auto it = state.stores.find(store);
  return it != state.stores.end() && it->second->handles > 0 ? it->second : nullptr;
}

void Register(Crypt32State& state, CertContextObject* object) { state.contexts[&object->context] = object; }

void ReleaseStore(Crypt32State& state, CertStoreObject* store) {
  if (--store->refs > 0) return;
  state.stores.erase(store);
  delete store;
}

void Release(Crypt32State& state, CertContextObject* object) {
  if (--object->refs > 0) return;
  ReleaseCachedCertificateKeys(&object->context);
  state.contexts.erase(&object->context);
  CertStoreObject* store = object->store;
  delete object;
  if (store != nullptr) ReleaseStore(state, store);
}

void RemoveEntry(Crypt32State& state, CertStoreObject* store, CertContextObject* entry) {
  store->entries.erase(std::find(store->entries.begin(), store->entries.end(), entry));
  entry->member = false;
  Release(state, entry);
}

CertContextObject* FindSame(const CertStoreObject* store, const CertContextObject& object) {
  for (CertContextObject* entry : store->entries) {
    if (std::memcmp(entry->sha1, object.sha1, sizeof entry->sha1) == 0) return entry;
  }
  return nullptr;
}

void CopyProperties(const CertContextObject& from, CertContextObject& to) {
  to.has_key_prov = from.has_key_prov;
  to.container = from.container;
  to.provider_name = from.provider_name;
  to.container_null = from.container_null;
  to.provider_null = from.provider_null;
  to.prov_type = from.prov_type;
  to.prov_flags = from.prov_flags;
  to.key_spec = from.key_spec;
  to.prov_params = from.prov_params;
  to.has_friendly_name = from.has_friendly_name;
  to.friendly_name = from.friendly_name;
}

// FindOlder is the entry with the same issuer and serial number whose validity starts before the
// certificate's; one that starts at the same time or later gives CRYPT_E_EXISTS through *exists.
CertContextObject* FindOlder(const CertStoreObject* store, const CertContextObject& object, bool* exists) {
  auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  for (CertContextObject* entry : store->entries) {
    if (entry->issuer != object.issuer || entry->serial != object.serial) continue;
    if (ticks(entry->info.NotBefore) >= ticks(object.info.NotBefore)) {
      *exists = true;
      return nullptr;
    }
    return entry;
  }
  return nullptr;
}

BOOL AddToStore(Crypt32State& state, CertStoreObject* store, std::unique_ptr<CertContextObject> copy, DWORD disposition,
                PCCERT_CONTEXT* added) {
  if (disposition < kCertStoreAddNew || disposition > kCertStoreAddNewer) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  if (store->read_only) {
    SetLastError(kEAccessDenied);
    return 0;
  }
  bool exists = false;
  CertContextObject* same = disposition == kCertStoreAddAlways ? nullptr
                            : disposition == kCertStoreAddNewer ? FindOlder(store, *copy, &exists)
                                                                : FindSame(store, *copy);
  if (exists || (same != nullptr && disposition == kCertStoreAddNew)) {
    SetLastError(kCryptEExists);
    return 0;
  }
  if (same != nullptr && disposition == kCertStoreAddUseExisting) {
    if (added != nullptr) {
      same->refs++;
      *added = &same->context;
    }
    return 1;
  }
  if (same != nullptr && same->from_bundle) {
    SetLastError(kEAccessDenied);
    return 0;
  }
  if (!PersistEntry(*store, *copy)) {
    SetLastError(kCryptEFileError);
    return 0;
  }
  if (same != nullptr) {
    // A replaced certificate of the same bytes in the same folder was just written over.
    if (same->folder != copy->folder || std::memcmp(same->sha1, copy->sha1, sizeof same->sha1) != 0) {
      ForgetEntry(*same);
    }
    RemoveEntry(state, store, same);
  }
  CertContextObject* entry = copy.release();
  entry->context.hCertStore = store;
  entry->store = store;
  entry->member = true;
  store->refs++;
  store->entries.push_back(entry);
  Register(state, entry);
  // The new context's one reference is the store's; the caller's copy is a second one.
  if (added != nullptr) {
    entry->refs++;
    *added = &entry->context;
  }
  return 1;
}

// CopyForStore decodes the context's bytes again into a new context with the same properties.
std::unique_ptr<CertContextObject> CopyForStore(const CertContextObject& from) {
  auto copy = Decode(from.context.dwCertEncodingType, from.encoded.data(), static_cast<DWORD>(from.encoded.size()));
  if (copy) CopyProperties(from, *copy);
  return copy;
}

}  // namespace crypt32

namespace {

// The key-provider block: the record, its parameter records, the two names, the parameter bytes.
size_t KeyProvBlockSize(const CertContextObject& object) {
  size_t size = sizeof(CRYPT_KEY_PROV_INFO) + object.prov_params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
  if (!object.container_null) size += (object.container.size() + 1) * sizeof(char16_t);
  if (!object.provider_null) size += (object.provider_name.size() + 1) * sizeof(char16_t);
  for (const CertContextObject::Param& param : object.prov_params) size += param.data.size();
  return size;
}

void WriteKeyProvBlock(const CertContextObject& object, uint8_t* out) {
  CRYPT_KEY_PROV_INFO info{};
  info.dwProvType = object.prov_type;
  info.dwFlags = object.prov_flags;
  info.dwKeySpec = object.key_spec;
  info.cProvParam = static_cast<DWORD>(object.prov_params.size());
  uint8_t* cursor = out + sizeof info;
  if (!object.prov_params.empty()) info.rgProvParam = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(cursor);
  cursor += object.prov_params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
  auto put_name = [&cursor](bool null, const std::u16string& name) -> char16_t* {
    if (null) return nullptr;
    auto* at = reinterpret_cast<char16_t*>(cursor);
    std::memcpy(cursor, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    cursor += (name.size() + 1) * sizeof(char16_t);
    return at;
  };
  info.pwszContainerName = put_name(object.container_null, object.container);
  info.pwszProvName = put_name(object.provider_null, object.provider_name);
  for (size_t i = 0; i < object.prov_params.size(); ++i) {
    const CertContextObject::Param& param = object.prov_params[i];
    CRYPT_KEY_PROV_PARAM record{param.id, param.data.empty() ? nullptr : cursor, static_cast<DWORD>(param.data.size()),
                                param.flags};
    if (!param.data.empty()) std::memcpy(cursor, param.data.data(), param.data.size());
    cursor += param.data.size();
    std::memcpy(out + sizeof info + i * sizeof record, &record, sizeof record);
  }
  std::memcpy(out, &info, sizeof info);
}

// SetKeyProv copies a caller's key-provider information; false (E_INVALIDARG) for counts without records.
bool SetKeyProv(CertContextObject& object, const CRYPT_KEY_PROV_INFO& info) {
  if (info.cProvParam != 0 && info.rgProvParam == nullptr) return false;
  std::vector<CertContextObject::Param> params;
  for (DWORD i = 0; i < info.cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& param = info.rgProvParam[i];
    if (param.pbData == nullptr && param.cbData != 0) return false;
    params.push_back({param.dwParam, Bytes(param.pbData, param.pbData + param.cbData), param.dwFlags});
  }
  object.has_key_prov = true;
  object.container_null = info.pwszContainerName == nullptr;
  object.provider_null = info.pwszProvName == nullptr;
  object.container = object.container_null ? u"" : info.pwszContainerName;
  object.provider_name = object.provider_null ? u"" : info.pwszProvName;
  object.prov_type = info.dwProvType;
  object.prov_flags = info.dwFlags;
  object.key_spec = info.dwKeySpec;
  object.prov_params = std::move(params);
  return true;
}

// Persisted writes a changed property of a file-backed store's entry through to its properties file.
BOOL Persisted(CertContextObject& object) {
  if (!object.member || object.folder.empty()) return 1;
  if (!PersistEntry(*object.store, object)) {
    SetLastError(kCryptEFileError);
    return 0;
  }
  return 1;
}

// Answer is the common end of a property read: size query, short buffer, or copy.
template <typename Write>
BOOL Answer(size_t size, void* data, DWORD* data_len, Write write) {
  const DWORD needed = static_cast<DWORD>(size);
  if (data == nullptr) {
    *data_len = needed;
    return 1;
  }
  if (*data_len < needed) {
    *data_len = needed;
    SetLastError(kErrorMoreData);
    return 0;
  }
  write(static_cast<uint8_t*>(data));
  *data_len = needed;
  return 1;
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const uint8_t* encoded, DWORD encoded_len) {
  CountCryptoCall("CertCreateCertificateContext");
  std::unique_ptr<CertContextObject> object = Decode(encoding, encoded, encoded_len);
  if (!object) return nullptr;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertContextObject* raw = object.release();
  Register(state, raw);
  return &raw->context;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  CountCryptoCall("CertDuplicateCertificateContext");
  if (context == nullptr) return nullptr;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertContextObject* object = FindContext(state, context);
  if (object == nullptr) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  object->refs++;
  return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  CountCryptoCall("CertFreeCertificateContext");
  if (context == nullptr) return 1;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertContextObject* object = FindContext(state, context);
  if (object == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  Release(state, object);
  return 1;
}

HCERTSTORE CertOpenStore(const char* store_provider, DWORD, HCRYPTPROV, DWORD flags, const void* para) {
  CountCryptoCall("CertOpenStore");
  if (reinterpret_cast<uintptr_t>(store_provider) == kCertStoreProvSystemA) return OpenSystemStore(flags, para);
  if (reinterpret_cast<uintptr_t>(store_provider) != kCertStoreProvMemory) {
    SetLastError(kENotImpl);
    return nullptr;
  }
  auto* store = new (std::nothrow) CertStoreObject;
  if (store == nullptr) {
    SetLastError(kEOutOfMemory);
    return nullptr;
  }
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.stores[store] = store;
  return store;
}

BOOL CertCloseStore(HCERTSTORE handle, DWORD) {
  CountCryptoCall("CertCloseStore");
  if (handle == nullptr) return 1;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertStoreObject* store = FindOpenStore(state, handle);
  if (store == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  if (--store->handles == 0) {
    // The handle's own reference keeps the store while its entries go.
    std::vector<CertContextObject*> entries = std::move(store->entries);
    store->entries.clear();
    for (CertContextObject* entry : entries) {
      entry->member = false;
      Release(state, entry);
    }
  }
  ReleaseStore(state, store);
  return 1;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE handle, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* added) {
  CountCryptoCall("CertAddCertificateContextToStore");
  if (added != nullptr) *added = nullptr;
  Crypt32State& state = State();
  std::unique_ptr<CertContextObject> copy;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    const CertContextObject* object = context != nullptr ? FindContext(state, context) : nullptr;
    if (object == nullptr || FindOpenStore(state, handle) == nullptr) {
      SetLastError(kEInvalidArg);
      return 0;
    }
    // The copy starts from a snapshot of the context's properties, taken under the lock.
    auto snapshot = std::make_unique<CertContextObject>();
    CopyProperties(*object, *snapshot);
    snapshot->encoded = object->encoded;
    snapshot->context.dwCertEncodingType = object->context.dwCertEncodingType;
    copy = std::move(snapshot);
  }
  std::unique_ptr<CertContextObject> decoded = CopyForStore(*copy);
  if (!decoded) return 0;
  std::lock_guard<std::mutex> lock(state.mutex);
  CertStoreObject* store = FindOpenStore(state, handle);
  if (store == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  return AddToStore(state, store, std::move(decoded), disposition, added);
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE handle, DWORD encoding, const uint8_t* encoded, DWORD encoded_len,
                                      DWORD disposition, PCCERT_CONTEXT* added) {
  CountCryptoCall("CertAddEncodedCertificateToStore");
  if (added != nullptr) *added = nullptr;
  std::unique_ptr<CertContextObject> object = Decode(encoding, encoded, encoded_len);
  if (!object) return 0;
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertStoreObject* store = FindOpenStore(state, handle);
  if (store == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  return AddToStore(state, store, std::move(object), disposition, added);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE handle, DWORD, DWORD, DWORD find_type, const void* find_para,
                                          PCCERT_CONTEXT previous) {
  CountCryptoCall("CertFindCertificateInStore");
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertContextObject* after = previous != nullptr ? FindContext(state, previous) : nullptr;
  CertStoreObject* store = FindOpenStore(state, handle);
  // The previous context is given back on every path, as callers expect when they loop.
  const bool after_member = after != nullptr && after->member && after->store == store;
  if (after != nullptr) Release(state, after);
  if (store == nullptr || (previous != nullptr && after == nullptr)) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(find_para);
  if (find_type != kCertFindAny && find_type != kCertFindSha1Hash && !FindTypeKnown(find_type)) {
    SetLastError(kENotImpl);
    return nullptr;
  }
  if (FindTypeKnown(find_type) && !FindParaValid(find_type, find_para)) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  if (find_type == kCertFindSha1Hash && (hash == nullptr || (hash->pbData == nullptr && hash->cbData != 0))) {
    SetLastError(kEInvalidArg);
    return nullptr;
  }
  auto it = store->entries.begin();
  if (previous != nullptr) {
    it = after_member ? std::find(store->entries.begin(), store->entries.end(), after) : store->entries.end();
    if (it != store->entries.end()) ++it;
  }
  for (; it != store->entries.end(); ++it) {
    CertContextObject* entry = *it;
    if (find_type == kCertFindSha1Hash &&
        (hash->cbData != sizeof entry->sha1 || std::memcmp(hash->pbData, entry->sha1, sizeof entry->sha1) != 0)) {
      continue;
    }
    if (FindTypeKnown(find_type) && !MatchesFind(*entry, find_type, find_para)) continue;
    entry->refs++;
    return &entry->context;
  }
  SetLastError(kCryptENotFound);
  return nullptr;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
  CountCryptoCall("CertDeleteCertificateFromStore");
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertContextObject* object = context != nullptr ? FindContext(state, context) : nullptr;
  if (object == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  const bool member = object->member;
  if (member && object->from_bundle) {
    Release(state, object);
    SetLastError(kEAccessDenied);
    return 0;
  }
  if (member) {
    ForgetEntry(*object);
    RemoveEntry(state, object->store, object);
  }
  Release(state, object);
  if (!member) {
    SetLastError(kCryptENotFound);
    return 0;
  }
  return 1;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data, DWORD* data_len) {
  CountCryptoCall("CertGetCertificateContextProperty");
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  const CertContextObject* object = context != nullptr ? FindContext(state, context) : nullptr;
  if (object == nullptr || data_len == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  switch (property) {
    case kCertKeyProvInfoPropId:
      if (!object->has_key_prov) break;
      return Answer(KeyProvBlockSize(*object), data, data_len,
                    [object](uint8_t* out) { WriteKeyProvBlock(*object, out); });
    case kCertSha1HashPropId:
      return Answer(sizeof object->sha1, data, data_len,
                    [object](uint8_t* out) { std::memcpy(out, object->sha1, sizeof object->sha1); });
    case kCertKeySpecPropId:
      if (!object->has_key_prov || object->key_spec == 0) break;
      return Answer(sizeof(DWORD), data, data_len,
                    [object](uint8_t* out) { std::memcpy(out, &object->key_spec, sizeof(DWORD)); });
    case kCertFriendlyNamePropId:
      if (!object->has_friendly_name) break;
      return Answer(object->friendly_name.size(), data, data_len, [object](uint8_t* out) {
        if (!object->friendly_name.empty())
          std::memcpy(out, object->friendly_name.data(), object->friendly_name.size());
      });
    default:
      break;
  }
  SetLastError(kCryptENotFound);
  return 0;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, DWORD, const void* data) {
  CountCryptoCall("CertSetCertificateContextProperty");
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CertContextObject* object = context != nullptr ? FindContext(state, context) : nullptr;
  if (object == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  if (property == kCertKeyProvInfoPropId) {
    if (data == nullptr) {
      object->has_key_prov = false;
      object->prov_params.clear();
      return Persisted(*object);
    }
    if (!SetKeyProv(*object, *static_cast<const CRYPT_KEY_PROV_INFO*>(data))) {
      SetLastError(kEInvalidArg);
      return 0;
    }
    return Persisted(*object);
  }
  if (property == kCertFriendlyNamePropId) {
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
    if (blob != nullptr && blob->pbData == nullptr && blob->cbData != 0) {
      SetLastError(kEInvalidArg);
      return 0;
    }
    object->has_friendly_name = blob != nullptr;
    object->friendly_name = blob != nullptr ? Bytes(blob->pbData, blob->pbData + blob->cbData) : Bytes();
    return Persisted(*object);
  }
  SetLastError(kENotImpl);
  return 0;
}

LONG CertVerifyTimeValidity(const FILETIME* time, const CERT_INFO* info) {
  CountCryptoCall("CertVerifyTimeValidity");
  if (info == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  uint64_t now;
  if (time != nullptr) {
    now = ticks(*time);
  } else {
    now = (static_cast<uint64_t>(std::time(nullptr)) + 11644473600ULL) * 10000000u;
  }
  if (now < ticks(info->NotBefore)) return -1;
  if (now > ticks(info->NotAfter)) return 1;
  return 0;
}

namespace test {

int LiveCertHandles() {
  Crypt32State& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int>(state.contexts.size() + state.stores.size() + state.chains.size());
}

}  // namespace test

}  // namespace velmora::platform
