#include "platform/crypto/ksp_software.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>

#include "platform/crypto/ksp_ec.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/secret_derivations.h"
#include "platform/store_root.h"

namespace velmora::platform::ksp {

namespace {

using ossl::Bn;
using ossl::BnCtx;
using ossl::Params;
using ossl::Pkey;
using ossl::PkeyCtx;
using ossl::ParamBuild;
using Pkcs8 = ossl::Ptr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;

constexpr DWORD kDefaultLength = 2048;
constexpr DWORD kMinLength = 512;
constexpr DWORD kMaxLength = 16384;
constexpr size_t kMaxNameUnits = 60;  // 240 hex digits: the file names stay below 255 bytes

// KeyObject is one open key. Its fields are guarded by the store's mutex, except pkey, which is set
// once (at finalize or import, under the mutex) and never changed, so a finalized key's pkey is read
// without it.
struct KeyObject {
  Pkey pkey;
  bool finalized = false;
  bool has_private = false;
  bool machine = false;
  std::u16string name;  // empty: ephemeral
  DWORD length = kDefaultLength;
  DWORD export_policy = 0;
  DWORD key_usage = kAllowAllUsages;
  DWORD legacy_key_spec = 0;
  int curve = ec::kNoCurve;  // an EC key's curve; kNoCurve for RSA
  bool agreement = false;    // an EC key's use: agreement, or signing
  Provider provider = Provider::kSoftware;
  std::string card;                  // a smart-card key's card folder
  std::u16string stored_migration;   // the TPM's migration password set before finalize
  std::u16string given_migration;    // the one given on this handle
  bool migration_given = false;
  std::u16string given_pin;          // the smart-card PIN given on this handle
  bool pin_given = false;
  std::vector<uint8_t> certificate;  // "SmartCardKeyCertificate" not yet stored
  bool IsEc() const { return curve != ec::kNoCurve; }
};
using KeyRef = std::shared_ptr<KeyObject>;

// SecretObject is an agreed secret: Z, big-endian at the field length.
struct SecretObject {
  WipedBytes z;
};
using SecretRef = std::shared_ptr<SecretObject>;

// EnumState is what *enum_state points at between NCryptEnumKeys calls.
struct EnumState {
  std::vector<std::u16string> names;
  std::vector<DWORD> specs;
  size_t next = 0;
  bool machine = false;
};

struct Store {
  std::mutex mutex;
  std::map<NCRYPT_KEY_HANDLE, KeyRef> keys;
  std::map<NCRYPT_SECRET_HANDLE, SecretRef> secrets;
  NCRYPT_KEY_HANDLE next = 0x40000000;
  std::set<void*> entries;               // NCryptKeyName blocks handed out
  std::map<void*, EnumState*> enums;     // enumeration states handed out
  std::vector<uint8_t> last_header;
};

// Never destroyed: a handle freed during process exit may still look itself up here.
Store& TheStore() {
  static Store* store = new Store;
  return *store;
}

KeyRef FindKey(NCRYPT_HANDLE handle) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  auto it = store.keys.find(handle);
  return it == store.keys.end() ? nullptr : it->second;
}

NCRYPT_KEY_HANDLE AddKey(KeyRef key) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  const NCRYPT_KEY_HANDLE handle = store.next++;
  store.keys.emplace(handle, std::move(key));
  return handle;
}

// FinalizedKey is the key of a handle when it can run an operation: NTE_INVALID_HANDLE,
// NTE_BAD_KEY_STATE before finalize, kNteNoKey for a private operation on a public key.
SECURITY_STATUS FinalizedKey(NCRYPT_KEY_HANDLE handle, bool need_private, KeyRef* out) {
  *out = FindKey(handle);
  if (*out == nullptr) return kNteInvalidHandle;
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (!(*out)->finalized) return kNteBadKeyState;
  if (need_private && !(*out)->has_private) return kNteNoKey;
  return 0;
}

std::u16string_view View(const char16_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

// ---- files ----

std::string KeyFolder(bool machine) { return StoreFolder(machine ? "ksp/software/machine" : "ksp/software/user"); }
std::string ProviderFolder(Provider provider, bool machine, const std::string& card) {
  switch (provider) {
    case Provider::kSoftware: return KeyFolder(machine);
    case Provider::kPlatformCrypto: return StoreFolder(machine ? "ksp/pcp/machine" : "ksp/pcp/user");
    case Provider::kSmartCard: return card.empty() ? std::string() : StoreFolder("ksp/smartcard/" + card);
  }
  return {};
}
std::string FolderOf(const KeyObject& key) { return ProviderFolder(key.provider, key.machine, key.card); }
std::string CertificatePath(const std::string& folder, std::u16string_view name) {
  return folder + "/" + StoreFileName(name) + ".cer";
}
std::string HexOf(std::u16string_view text) { return StoreFileName(text); }
std::string KeyPath(const std::string& folder, std::u16string_view name) {
  return folder + "/" + StoreFileName(name) + ".key";
}
std::string PropertiesPath(const std::string& folder, std::u16string_view name) {
  return folder + "/" + StoreFileName(name) + ".props";
}

std::string PropertiesText(const KeyObject& key) {
  std::string text = "algorithm=" + std::string(key.IsEc() ? "EC" : "RSA") +
                     "\nexport_policy=" + std::to_string(key.export_policy) +
                     "\nkey_usage=" + std::to_string(key.key_usage) +
                     "\nlegacy_key_spec=" + std::to_string(key.legacy_key_spec) +
                     "\nagreement=" + std::to_string(key.agreement ? 1 : 0) + "\n";
  if (!key.stored_migration.empty()) text += "migration=" + HexOf(key.stored_migration) + "\n";
  return text;
}

void ReadProperties(const std::string& text, KeyObject& key) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    const DWORD value = static_cast<DWORD>(std::strtoul(line.c_str() + equals + 1, nullptr, 10));
    if (name == "export_policy") key.export_policy = value;
    if (name == "key_usage") key.key_usage = value;
    if (name == "legacy_key_spec") key.legacy_key_spec = value;
    if (name == "agreement") key.agreement = value != 0;
    if (name == "migration") (void)StoreNameFromFile(line.substr(equals + 1), &key.stored_migration);
  }
}

bool WriteProperties(const std::string& folder, std::u16string_view name, const std::string& text) {
  return !folder.empty() && WriteStoreFile(PropertiesPath(folder, name), text.data(), text.size());
}

// Persist writes a finalized named key: properties first, then the PKCS#8 DER that makes it exist.
SECURITY_STATUS Persist(const KeyObject& key) {
  Pkcs8 info(EVP_PKEY2PKCS8(key.pkey.get()));
  if (info == nullptr) return kNteFailStatus;
  unsigned char* der = nullptr;
  const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der);
  if (length <= 0) return kNteFailStatus;
  const std::string folder = FolderOf(key);
  bool ok = !folder.empty() && WriteProperties(folder, key.name, PropertiesText(key)) &&
            WriteStoreFile(KeyPath(folder, key.name), der, length);
  if (ok && !key.certificate.empty()) {
    ok = WriteStoreFile(CertificatePath(folder, key.name), key.certificate.data(), key.certificate.size());
  }
  OPENSSL_clear_free(der, static_cast<size_t>(length));
  return ok ? 0 : kNteFailStatus;
}

// ---- numbers and blobs ----

Bn GetBn(const EVP_PKEY* pkey, const char* name) {
  BIGNUM* value = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &value) != 1) return nullptr;
  return Bn(value);
}

DWORD KeyBits(const EVP_PKEY* pkey) { return static_cast<DWORD>(EVP_PKEY_get_bits(pkey)); }

uint32_t ReadLe32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}
void WriteLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

enum class BlobKind { kPublic, kPrivate, kFullPrivate, kEcPublic, kEcPrivate, kUnknown };

BlobKind KindOfBlob(const char16_t* type) {
  if (CompareCryptNames(type, kEccPublicBlob) == 0) return BlobKind::kEcPublic;
  if (CompareCryptNames(type, kEccPrivateBlob) == 0) return BlobKind::kEcPrivate;
  if (CompareCryptNames(type, kRsaPublicBlob) == 0) return BlobKind::kPublic;
  if (CompareCryptNames(type, kRsaPrivateBlob) == 0) return BlobKind::kPrivate;
  if (CompareCryptNames(type, kRsaFullPrivateBlob) == 0) return BlobKind::kFullPrivate;
  return BlobKind::kUnknown;
}

ULONG MagicOf(BlobKind kind) {
  return kind == BlobKind::kPublic ? kRsaPublicMagic : kind == BlobKind::kPrivate ? kRsaPrivateMagic
                                                                                   : kRsaFullPrivateMagic;
}

// RsaParts are the numbers of a key; the private ones carry BN_FLG_CONSTTIME.
struct RsaParts {
  Bn e, n, p, q, dp, dq, qinv, d;
};

// ReadBlob parses a blob of the kind into parts: 0 or NTE_BAD_DATA.
SECURITY_STATUS ReadBlob(BlobKind kind, const uint8_t* input, DWORD input_size, RsaParts& parts) {
  if (input == nullptr || input_size < kRsaBlobHeaderSize) return kNteBadData;
  if (ReadLe32(input) != MagicOf(kind)) return kNteBadData;
  const uint64_t exponent_length = ReadLe32(input + 8), modulus_length = ReadLe32(input + 12);
  const uint64_t prime1 = ReadLe32(input + 16), prime2 = ReadLe32(input + 20);
  if (exponent_length == 0 || modulus_length == 0 || modulus_length > kMaxLength / 8) return kNteBadData;
  uint64_t needed = kRsaBlobHeaderSize + exponent_length + modulus_length;
  if (kind != BlobKind::kPublic) {
    if (prime1 == 0 || prime2 == 0) return kNteBadData;
    needed += prime1 + prime2;
    if (kind == BlobKind::kFullPrivate) needed += 2 * prime1 + prime2 + modulus_length;
  }
  if (needed != input_size) return kNteBadData;
  const uint8_t* at = input + kRsaBlobHeaderSize;
  auto take = [&at](uint64_t length, bool secret) {
    Bn value(BN_bin2bn(at, static_cast<int>(length), nullptr));
    if (value != nullptr && secret) BN_set_flags(value.get(), BN_FLG_CONSTTIME);
    at += length;
    return value;
  };
  parts.e = take(exponent_length, false);
  parts.n = take(modulus_length, false);
  if (kind != BlobKind::kPublic) {
    parts.p = take(prime1, true);
    parts.q = take(prime2, true);
  }
  if (kind == BlobKind::kFullPrivate) {
    parts.dp = take(prime1, true);
    parts.dq = take(prime2, true);
    parts.qinv = take(prime1, true);
    parts.d = take(modulus_length, true);
  }
  return 0;
}

bool Equal(const Bn& a, const Bn& b) { return a != nullptr && b != nullptr && BN_cmp(a.get(), b.get()) == 0; }

// CheckParts checks the public numbers and, for a private blob, that the primes make the modulus; it
// completes D and the CRT values from E, P and Q, and for a full blob checks the given ones against
// them (keeping the given D, which may be taken modulo phi instead of lambda). 0 or NTE_BAD_DATA.
SECURITY_STATUS CheckParts(BlobKind kind, RsaParts& parts) {
  BnCtx ctx(BN_CTX_new());
  if (ctx == nullptr || parts.e == nullptr || parts.n == nullptr) return kNteNoMemory;
  BIGNUM* n = parts.n.get();
  BIGNUM* e = parts.e.get();
  if (BN_is_zero(n) || !BN_is_odd(n) || !BN_is_odd(e) || BN_is_one(e) || BN_cmp(e, n) >= 0) return kNteBadData;
  if (kind == BlobKind::kPublic) return 0;
  if (parts.p == nullptr || parts.q == nullptr) return kNteNoMemory;
  BIGNUM* p = parts.p.get();
  BIGNUM* q = parts.q.get();
  if (BN_is_zero(p) || BN_is_one(p) || BN_is_zero(q) || BN_is_one(q)) return kNteBadData;
  Bn product(BN_new()), p1(BN_new()), q1(BN_new()), gcd(BN_new()), lambda(BN_new()), d(BN_new()), dp(BN_new()),
      dq(BN_new()), qinv(BN_new()), check(BN_new());
  for (const Bn* value : {&product, &p1, &q1, &gcd, &lambda, &d, &dp, &dq, &qinv, &check}) {
    if (*value == nullptr) return kNteNoMemory;
  }
  for (BIGNUM* secret : {p1.get(), q1.get(), gcd.get(), lambda.get(), d.get(), dp.get(), dq.get(), qinv.get()}) {
    BN_set_flags(secret, BN_FLG_CONSTTIME);
  }
  if (BN_mul(product.get(), p, q, ctx.get()) != 1 || BN_cmp(product.get(), n) != 0) return kNteBadData;
  if (BN_sub(p1.get(), p, BN_value_one()) != 1 || BN_sub(q1.get(), q, BN_value_one()) != 1 ||
      BN_gcd(gcd.get(), p1.get(), q1.get(), ctx.get()) != 1 ||
      BN_mul(lambda.get(), p1.get(), q1.get(), ctx.get()) != 1 ||
      BN_div(lambda.get(), nullptr, lambda.get(), gcd.get(), ctx.get()) != 1) {
    return kNteBadData;
  }
  if (BN_mod_inverse(d.get(), e, lambda.get(), ctx.get()) == nullptr ||
      BN_mod_inverse(qinv.get(), q, p, ctx.get()) == nullptr) {
    return kNteBadData;
  }
  if (kind == BlobKind::kFullPrivate) {
    // e * D = 1 (mod lambda) for the given D.
    if (parts.d == nullptr || BN_mod_mul(check.get(), e, parts.d.get(), lambda.get(), ctx.get()) != 1 ||
        !BN_is_one(check.get()) || BN_cmp(parts.d.get(), n) >= 0) {
      return kNteBadData;
    }
    BN_copy(d.get(), parts.d.get());
  }
  if (BN_mod(dp.get(), d.get(), p1.get(), ctx.get()) != 1 || BN_mod(dq.get(), d.get(), q1.get(), ctx.get()) != 1) {
    return kNteBadData;
  }
  if (kind == BlobKind::kFullPrivate &&
      (!Equal(parts.dp, dp) || !Equal(parts.dq, dq) || !Equal(parts.qinv, qinv))) {
    return kNteBadData;
  }
  parts.d = std::move(d);
  parts.dp = std::move(dp);
  parts.dq = std::move(dq);
  parts.qinv = std::move(qinv);
  return 0;
}

// PkeyFromParts builds the EVP_PKEY of checked parts (a public key when there is no private part).
Pkey PkeyFromParts(const RsaParts& parts) {
  ParamBuild build(OSSL_PARAM_BLD_new());
  if (build == nullptr) return nullptr;
  const bool private_key = parts.d != nullptr;
  bool ok = OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, parts.n.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, parts.e.get()) == 1;
  if (ok && private_key) {
    ok = OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_D, parts.d.get()) == 1 &&
         OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, parts.p.get()) == 1 &&
         OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, parts.q.get()) == 1 &&
         OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, parts.dp.get()) == 1 &&
         OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, parts.dq.get()) == 1 &&
         OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, parts.qinv.get()) == 1;
  }
  if (!ok) return nullptr;
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &pkey, private_key ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return Pkey(pkey);
}

// WriteBlob writes the blob of the kind for pkey into output (size only when output is null).
SECURITY_STATUS WriteBlob(const EVP_PKEY* pkey, BlobKind kind, uint8_t* output, DWORD output_size, DWORD* result) {
  RsaParts parts;
  parts.e = GetBn(pkey, OSSL_PKEY_PARAM_RSA_E);
  parts.n = GetBn(pkey, OSSL_PKEY_PARAM_RSA_N);
  if (parts.e == nullptr || parts.n == nullptr) return kNteFailStatus;
  const int exponent_length = BN_num_bytes(parts.e.get()), modulus_length = BN_num_bytes(parts.n.get());
  int prime1 = 0, prime2 = 0;
  if (kind != BlobKind::kPublic) {
    parts.p = GetBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1);
    parts.q = GetBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2);
    if (parts.p == nullptr || parts.q == nullptr) return kNteFailStatus;
    prime1 = BN_num_bytes(parts.p.get());
    prime2 = BN_num_bytes(parts.q.get());
  }
  if (kind == BlobKind::kFullPrivate) {
    parts.dp = GetBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    parts.dq = GetBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    parts.qinv = GetBn(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    parts.d = GetBn(pkey, OSSL_PKEY_PARAM_RSA_D);
    if (parts.dp == nullptr || parts.dq == nullptr || parts.qinv == nullptr || parts.d == nullptr) {
      return kNteFailStatus;
    }
  }
  DWORD size = kRsaBlobHeaderSize + exponent_length + modulus_length;
  if (kind != BlobKind::kPublic) size += prime1 + prime2;
  if (kind == BlobKind::kFullPrivate) size += 2 * prime1 + prime2 + modulus_length;
  *result = size;
  if (output == nullptr) return 0;
  if (output_size < size) return kNteBufferTooSmall;
  WriteLe32(output, MagicOf(kind));
  WriteLe32(output + 4, KeyBits(pkey));
  WriteLe32(output + 8, exponent_length);
  WriteLe32(output + 12, modulus_length);
  WriteLe32(output + 16, prime1);
  WriteLe32(output + 20, prime2);
  uint8_t* at = output + kRsaBlobHeaderSize;
  auto put = [&at](const Bn& value, int length) {
    BN_bn2binpad(value.get(), at, length);
    at += length;
  };
  put(parts.e, exponent_length);
  put(parts.n, modulus_length);
  if (kind == BlobKind::kPublic) return 0;
  put(parts.p, prime1);
  put(parts.q, prime2);
  if (kind == BlobKind::kPrivate) return 0;
  put(parts.dp, prime1);
  put(parts.dq, prime2);
  put(parts.qinv, prime1);
  put(parts.d, modulus_length);
  return 0;
}

// ---- padding ----

struct HashName {
  const char16_t* name;
  const char* evp_name;
};
constexpr HashName kHashNames[] = {
    {u"SHA1", "SHA1"}, {u"SHA256", "SHA256"}, {u"SHA384", "SHA384"}, {u"SHA512", "SHA512"},
    {u"MD5", "MD5"},   {u"MD4", "MD4"},       {u"MD2", "MD2"},
};

// DigestOf: the digest of a platform hash name: 0 with *md set; NTE_BAD_ALGID for a name it does not
// know; NTE_NOT_SUPPORTED for one OpenSSL does not offer here.
SECURITY_STATUS DigestOf(const char16_t* name, const EVP_MD** md) {
  for (const HashName& entry : kHashNames) {
    if (CompareCryptNames(name, entry.name) != 0) continue;
    *md = EVP_get_digestbyname(entry.evp_name);
    return *md != nullptr ? 0 : kNteNotSupported;
  }
  return kNteBadAlgId;
}

// SignatureCtx prepares a signing or verification context for the padding flags and record, checking
// the hash length against the named digest.
SECURITY_STATUS SignatureCtx(EVP_PKEY* pkey, bool sign, const void* padding_info, DWORD hash_size, DWORD flags,
                             PkeyCtx* out) {
  if ((flags & kNcryptNoPaddingFlag) != 0) return kNteNotSupported;
  const bool pss = (flags & kNcryptPadPssFlag) != 0;
  if (!pss && (flags & kNcryptPadPkcs1Flag) == 0) return kNteInvalidParameter;
  if (padding_info == nullptr) return kNteInvalidParameter;
  const char16_t* name = pss ? static_cast<const BCRYPT_PSS_PADDING_INFO*>(padding_info)->pszAlgId
                             : static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(padding_info)->pszAlgId;
  const EVP_MD* md = nullptr;
  if (name != nullptr) {
    const SECURITY_STATUS status = DigestOf(name, &md);
    if (status != 0) return status;
    if (static_cast<DWORD>(EVP_MD_get_size(md)) != hash_size) return kNteInvalidParameter;
  } else if (pss) {
    return kNteInvalidParameter;
  }
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (ctx == nullptr) return kNteNoMemory;
  if ((sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) != 1) return kNteFailStatus;
  if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING) != 1) {
    return kNteFailStatus;
  }
  if (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) return kNteNotSupported;
  if (pss) {
    const ULONG salt = static_cast<const BCRYPT_PSS_PADDING_INFO*>(padding_info)->cbSalt;
    if (salt > INT_MAX || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), static_cast<int>(salt)) != 1) {
      return kNteInvalidParameter;
    }
  }
  *out = std::move(ctx);
  return 0;
}

// CipherCtx prepares an encryption or decryption context for the padding flags and record.
SECURITY_STATUS CipherCtx(EVP_PKEY* pkey, bool encrypt, const void* padding_info, DWORD flags, PkeyCtx* out) {
  if ((flags & kNcryptNoPaddingFlag) != 0) return kNteNotSupported;
  const bool oaep = (flags & kNcryptPadOaepFlag) != 0;
  if (!oaep && (flags & kNcryptPadPkcs1Flag) == 0) return kNteInvalidParameter;
  const EVP_MD* md = nullptr;
  const auto* info = static_cast<const BCRYPT_OAEP_PADDING_INFO*>(padding_info);
  if (oaep) {
    if (info == nullptr || info->pszAlgId == nullptr || (info->cbLabel != 0 && info->pbLabel == nullptr)) {
      return kNteInvalidParameter;
    }
    const SECURITY_STATUS status = DigestOf(info->pszAlgId, &md);
    if (status != 0) return status;
  }
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (ctx == nullptr) return kNteNoMemory;
  if ((encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) != 1) {
    return kNteFailStatus;
  }
  if (oaep) {
    if (EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) != 1 || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1) {
      return kNteNotSupported;
    }
    if (info->cbLabel != 0) {
      void* label = OPENSSL_memdup(info->pbLabel, info->cbLabel);
      if (label == nullptr) return kNteNoMemory;
      if (EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), label, static_cast<int>(info->cbLabel)) != 1) {
        OPENSSL_free(label);
        return kNteFailStatus;
      }
    }
  }
  *out = std::move(ctx);
  return 0;
}

// NameBlock is an NCryptKeyName with its two texts in the same allocation.
void* NewNameBlock(std::u16string_view name, DWORD spec, bool machine) {
  const size_t units = name.size() + 1 + 4;
  const size_t size = sizeof(NCryptKeyName) + units * sizeof(char16_t);
  auto* block = static_cast<uint8_t*>(::operator new(size, std::nothrow));
  if (block == nullptr) return nullptr;
  auto* entry = reinterpret_cast<NCryptKeyName*>(block);
  auto* text = reinterpret_cast<char16_t*>(block + sizeof(NCryptKeyName));
  std::memcpy(text, name.data(), name.size() * sizeof(char16_t));
  text[name.size()] = 0;
  std::memcpy(text + name.size() + 1, u"RSA", 4 * sizeof(char16_t));
  entry->pszName = text;
  entry->pszAlgid = text + name.size() + 1;
  entry->dwLegacyKeySpec = spec;
  entry->dwFlags = machine ? kNcryptMachineKeyFlag : 0;
  return block;
}

SECURITY_STATUS DwordProperty(const uint8_t* input, DWORD input_size, DWORD* value) {
  if (input == nullptr || input_size != sizeof(DWORD)) return kNteInvalidParameter;
  std::memcpy(value, input, sizeof(DWORD));
  return 0;
}

void RememberHeader(const uint8_t* input, size_t size) {
  std::lock_guard<std::mutex> lock(TheStore().mutex);
  TheStore().last_header.assign(input, input + size);
}


// UsableEcKey: 0 when the key is an EC key made for the use (agreement or signing); NTE_NOT_SUPPORTED
// for an EC key of the other use or an RSA key.
SECURITY_STATUS UsableEcKey(const KeyObject& key, bool agreement) {
  return key.IsEc() && key.agreement == agreement ? 0 : kNteNotSupported;
}

std::u16string Utf16Of(const uint8_t* input, DWORD input_size) {
  std::u16string text(input_size / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), input, text.size() * 2);
  return text;
}

// CardPinMatches compares a PIN given on a handle (UTF-16 with its terminator) with the card's.
bool CardPinMatches(const KeyObject& key) {
  std::string stored;
  const std::string folder = FolderOf(key);
  if (folder.empty() || !ReadStoreFile(folder + "/pin", &stored)) return false;
  const std::u16string pin = Utf16Of(reinterpret_cast<const uint8_t*>(stored.data()), static_cast<DWORD>(stored.size()));
  OPENSSL_cleanse(stored.data(), stored.size());
  return pin == key.given_pin;
}

// PrivateUse: 0 when the key's usage allows the operation (usage bit) and, for a card key, the right PIN
// was given; else NTE_PERM or the card's answer.
SECURITY_STATUS PrivateUse(const KeyObject& key, DWORD usage) {
  bool card = false;
  {
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    if ((key.key_usage & usage) == 0) return kNtePerm;
    if (key.provider == Provider::kSmartCard) {
      if (!key.pin_given) return kScardWCardNotAuthenticated;
      card = true;
    }
  }
  return card && !CardPinMatches(key) ? kScardWWrongChv : 0;
}

// SmartCardFolders lists the card folders (relative to the root) in name order.
std::vector<std::string> SmartCardFolders() {
  std::vector<std::string> cards;
  const std::string root = StoreRoot();
  if (root.empty()) return cards;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/ksp/smartcard", error)) {
    if (entry.is_directory(error)) cards.push_back(entry.path().filename().string());
  }
  std::sort(cards.begin(), cards.end());
  return cards;
}

// LoadStoredKey reads a named key's files into object (name, provider, machine and card set): 0,
// NTE_BAD_KEYSET when it is not there, NTE_BAD_DATA when it does not read.
SECURITY_STATUS LoadStoredKey(KeyObject& object) {
  if (object.provider == Provider::kSmartCard) {
    for (const std::string& card : SmartCardFolders()) {
      const std::string root = StoreRoot();
      if (StoreFileExists(root + "/ksp/smartcard/" + card + "/" + StoreFileName(object.name) + ".key")) {
        object.card = card;
        break;
      }
    }
    if (object.card.empty()) return kNteBadKeyset;
  }
  const std::string folder = FolderOf(object);
  std::string der, properties, certificate;
  if (folder.empty() || !ReadStoreFile(KeyPath(folder, object.name), &der)) return kNteBadKeyset;
  if (ReadStoreFile(PropertiesPath(folder, object.name), &properties)) ReadProperties(properties, object);
  if (ReadStoreFile(CertificatePath(folder, object.name), &certificate)) {
    object.certificate.assign(certificate.begin(), certificate.end());
  }
  const auto* at = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs8 info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &at, static_cast<long>(der.size())));
  OPENSSL_cleanse(der.data(), der.size());
  if (info == nullptr) return kNteBadData;
  object.pkey.reset(EVP_PKCS82PKEY(info.get()));
  if (object.pkey == nullptr) return kNteBadData;
  const int type = EVP_PKEY_get_base_id(object.pkey.get());
  if (type == EVP_PKEY_EC) {
    object.curve = ec::CurveOfKey(object.pkey.get());
    if (object.curve == ec::kNoCurve) return kNteBadData;
    object.length = ec::Bits(object.curve);
  } else if (type == EVP_PKEY_RSA) {
    object.length = KeyBits(object.pkey.get());
  } else {
    return kNteBadData;
  }
  object.finalized = true;
  object.has_private = true;
  return 0;
}

// ImportedName reads the key name of an import's parameter list: 0 (an empty name without a list),
// NTE_INVALID_PARAMETER for a list that is not one buffer of type 45 holding a terminated UTF-16 name.
SECURITY_STATUS ImportedName(const void* parameters, std::u16string* name) {
  name->clear();
  if (parameters == nullptr) return 0;
  const auto* list = static_cast<const NCryptBufferDesc*>(parameters);
  if (list->ulVersion != 0 || list->cBuffers != 1 || list->pBuffers == nullptr) return kNteInvalidParameter;
  const NCryptBuffer& buffer = list->pBuffers[0];
  if (buffer.BufferType != kNcryptBufferPkcsKeyName || buffer.pvBuffer == nullptr || buffer.cbBuffer < 2 ||
      buffer.cbBuffer % 2 != 0) {
    return kNteInvalidParameter;
  }
  std::u16string text = Utf16Of(static_cast<const uint8_t*>(buffer.pvBuffer), buffer.cbBuffer);
  if (text.back() != u'\0') return kNteInvalidParameter;
  text.pop_back();
  if (text.find(u'\0') != std::u16string::npos || text.empty() || text.size() > kMaxNameUnits) {
    return kNteInvalidParameter;
  }
  *name = std::move(text);
  return 0;
}


}  // namespace

bool ProviderOfName(const char16_t* name, Provider* provider) {
  if (name == nullptr || CompareCryptNames(name, kSoftwareKeyStorageProvider) == 0) {
    *provider = Provider::kSoftware;
  } else if (CompareCryptNames(name, kPlatformCryptoProvider) == 0) {
    *provider = Provider::kPlatformCrypto;
  } else if (CompareCryptNames(name, kSmartCardKeyStorageProvider) == 0) {
    *provider = Provider::kSmartCard;
  } else {
    return false;
  }
  return true;
}

SECURITY_STATUS CreatePersistedKey(Provider provider, NCRYPT_KEY_HANDLE* key, const char16_t* algorithm,
                                   const char16_t* key_name, DWORD legacy_key_spec, DWORD flags) {
  if (key == nullptr || algorithm == nullptr) return kNteInvalidParameter;
  // NOTE: the simulated TPM and cards take keys by import (or enrolment) only.
  if (provider != Provider::kSoftware) return kNteNotSupported;
  if ((flags & ~(kNcryptMachineKeyFlag | kNcryptOverwriteKeyFlag | kNcryptSilentFlag)) != 0) return kNteBadFlags;
  const int curve = ec::CurveOfAlgorithm(algorithm);
  if (curve == ec::kNoCurve && CompareCryptNames(algorithm, kNcryptRsaAlgorithm) != 0) return kNteBadAlgId;
  // NOTE: EC keys live only as long as their handles (our contract).
  if (curve != ec::kNoCurve && !View(key_name).empty()) return kNteNotSupported;
  auto object = std::make_shared<KeyObject>();
  object->curve = curve;
  object->name = View(key_name);
  object->machine = (flags & kNcryptMachineKeyFlag) != 0;
  object->legacy_key_spec = legacy_key_spec;
  if (object->name.size() > kMaxNameUnits) return kNteInvalidParameter;
  if (!object->name.empty() && (flags & kNcryptOverwriteKeyFlag) == 0) {
    const std::string folder = KeyFolder(object->machine);
    if (folder.empty()) return kNteFailStatus;
    if (StoreFileExists(KeyPath(folder, object->name))) return kNteExists;
  }
  *key = AddKey(std::move(object));
  return 0;
}

SECURITY_STATUS OpenKey(Provider provider, NCRYPT_KEY_HANDLE* key, const char16_t* key_name, DWORD legacy_key_spec,
                        DWORD flags) {
  (void)legacy_key_spec;
  if (key == nullptr || View(key_name).empty()) return kNteInvalidParameter;
  if ((flags & ~(kNcryptMachineKeyFlag | kNcryptSilentFlag)) != 0) return kNteBadFlags;
  if (View(key_name).size() > kMaxNameUnits) return kNteBadKeyset;
  auto object = std::make_shared<KeyObject>();
  object->name = View(key_name);
  object->provider = provider;
  object->machine = (flags & kNcryptMachineKeyFlag) != 0;
  if (const SECURITY_STATUS status = LoadStoredKey(*object); status != 0) return status;
  *key = AddKey(std::move(object));
  return 0;
}

SECURITY_STATUS SetProperty(NCRYPT_HANDLE object, const char16_t* property, const uint8_t* input, DWORD input_size,
                            DWORD flags) {
  KeyRef key = FindKey(object);
  if (key == nullptr) return kNteInvalidHandle;
  if (property == nullptr) return kNteInvalidParameter;
  if ((flags & ~(kNcryptPersistFlag | kNcryptPersistOnlyFlag | kNcryptSilentFlag)) != 0) return kNteBadFlags;
  DWORD value = 0;
  Store& store = TheStore();
  std::unique_lock<std::mutex> lock(store.mutex);
  const bool persisted = key->finalized && !key->name.empty();
  if (CompareCryptNames(property, kNcryptMigrationPasswordProperty) == 0) {
    if (key->provider != Provider::kPlatformCrypto) return kNteNotSupported;
    if (input == nullptr || input_size < 2 || input_size % 2 != 0) return kNteInvalidParameter;
    // Before finalize the password is the key's own; afterwards it is what this handle offers.
    if (!key->finalized) {
      key->stored_migration = Utf16Of(input, input_size);
    } else {
      key->given_migration = Utf16Of(input, input_size);
      key->migration_given = true;
    }
    return 0;
  }
  if (CompareCryptNames(property, kNcryptPinProperty) == 0) {
    if (key->provider != Provider::kSmartCard) return kNteNotSupported;
    if (input == nullptr || input_size % 2 != 0) return kNteInvalidParameter;
    key->given_pin = Utf16Of(input, input_size);
    key->pin_given = true;
    return 0;
  }
  if (CompareCryptNames(property, kNcryptCertificateProperty) == 0) {
    if (input == nullptr && input_size != 0) return kNteInvalidParameter;
    key->certificate.assign(input, input + input_size);
    if (!persisted) return 0;
    const std::string folder = FolderOf(*key);
    const std::string path = CertificatePath(folder, key->name);
    const std::vector<uint8_t> bytes = key->certificate;
    lock.unlock();
    return !folder.empty() && WriteStoreFile(path, bytes.data(), bytes.size()) ? 0 : kNteFailStatus;
  }
  if (CompareCryptNames(property, kNcryptExportPolicyProperty) == 0) {
    if (const SECURITY_STATUS status = DwordProperty(input, input_size, &value); status != 0) return status;
    if (key->provider == Provider::kPlatformCrypto && value != 0) return kNteNotSupported;
    // NOTE: a stored key keeps the policy it was finalized with, as on the platform.
    if (persisted) return kNteNotSupported;
    key->export_policy = value;
    return 0;
  }
  if (CompareCryptNames(property, kNcryptLengthProperty) == 0) {
    if (const SECURITY_STATUS status = DwordProperty(input, input_size, &value); status != 0) return status;
    if (key->IsEc()) return value == ec::Bits(key->curve) ? 0 : kNteInvalidParameter;
    if (value < kMinLength || value > kMaxLength || value % 64 != 0) return kNteInvalidParameter;
    if (key->finalized) return kNteBadKeyState;
    key->length = value;
    return 0;
  }
  if (CompareCryptNames(property, kNcryptKeyUsageProperty) == 0) {
    if (const SECURITY_STATUS status = DwordProperty(input, input_size, &value); status != 0) return status;
    key->key_usage = value;
    if (!persisted) return 0;
    const std::string text = PropertiesText(*key);
    const std::string folder = FolderOf(*key);
    const std::u16string name = key->name;
    lock.unlock();
    return WriteProperties(folder, name, text) ? 0 : kNteFailStatus;
  }
  return kNteNotSupported;
}

SECURITY_STATUS GetProperty(NCRYPT_HANDLE object, const char16_t* property, uint8_t* output, DWORD output_size,
                            DWORD* result, DWORD flags) {
  KeyRef key = FindKey(object);
  if (key == nullptr) return kNteInvalidHandle;
  if (property == nullptr || result == nullptr) return kNteInvalidParameter;
  if ((flags & ~kNcryptSilentFlag) != 0) return kNteBadFlags;
  DWORD value = 0;
  {
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    if (CompareCryptNames(property, kNcryptCertificateProperty) == 0) {
      if (key->certificate.empty()) return kNteNotFound;
      const auto size = static_cast<DWORD>(key->certificate.size());
      *result = size;
      if (output == nullptr) return 0;
      if (output_size < size) return kNteBufferTooSmall;
      std::memcpy(output, key->certificate.data(), size);
      return 0;
    }
    if (CompareCryptNames(property, kNcryptAlgorithmGroupProperty) == 0) {
      const std::u16string_view group = !key->IsEc() ? u"RSA" : key->agreement ? u"ECDH" : u"ECDSA";
      const auto size = static_cast<DWORD>((group.size() + 1) * sizeof(char16_t));
      *result = size;
      if (output == nullptr) return 0;
      if (output_size < size) return kNteBufferTooSmall;
      std::memcpy(output, group.data(), size - sizeof(char16_t));
      std::memset(output + size - sizeof(char16_t), 0, sizeof(char16_t));
      return 0;
    }
    if (CompareCryptNames(property, kNcryptExportPolicyProperty) == 0) {
      value = key->export_policy;
    } else if (CompareCryptNames(property, kNcryptLengthProperty) == 0) {
      value = key->IsEc() ? ec::Bits(key->curve) : key->finalized ? KeyBits(key->pkey.get()) : key->length;
    } else if (CompareCryptNames(property, kNcryptKeyUsageProperty) == 0) {
      value = key->key_usage;
    } else {
      return kNteNotSupported;
    }
  }
  *result = sizeof value;
  if (output == nullptr) return 0;
  if (output_size < sizeof value) return kNteBufferTooSmall;
  std::memcpy(output, &value, sizeof value);
  return 0;
}

SECURITY_STATUS FinalizeKey(NCRYPT_KEY_HANDLE handle, DWORD flags) {
  KeyRef key = FindKey(handle);
  if (key == nullptr) return kNteInvalidHandle;
  if ((flags & ~kNcryptSilentFlag) != 0) return kNteBadFlags;
  DWORD bits;
  {
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    if (key->finalized) return kNteBadKeyState;
    bits = key->length;
    if (key->pkey != nullptr) {  // imported, waiting to be stored
      if (!key->name.empty()) {
        if (const SECURITY_STATUS status = Persist(*key); status != 0) return status;
      }
      key->finalized = true;
      return 0;
    }
  }
  EVP_PKEY* made = nullptr;
  if (key->IsEc()) {
    if (const SECURITY_STATUS status = ec::Generate(key->curve, &made); status != 0) return status;
  } else {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (ctx == nullptr || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
        EVP_PKEY_generate(ctx.get(), &made) != 1) {
      return kNteFailStatus;
    }
  }
  Pkey pkey(made);
  std::lock_guard<std::mutex> lock(TheStore().mutex);
  if (key->finalized) return kNteBadKeyState;
  key->pkey = std::move(pkey);
  if (!key->name.empty()) {
    const SECURITY_STATUS status = Persist(*key);
    if (status != 0) {
      key->pkey.reset();
      return status;
    }
  }
  key->has_private = true;
  key->finalized = true;
  return 0;
}

SECURITY_STATUS ExportKey(NCRYPT_KEY_HANDLE handle, NCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                          void* parameters, uint8_t* output, DWORD output_size, DWORD* result, DWORD flags) {
  KeyRef key;
  if (const SECURITY_STATUS status = FinalizedKey(handle, false, &key); status != 0) return status;
  if (result == nullptr || blob_type == nullptr) return kNteInvalidParameter;
  if (export_key != 0 || parameters != nullptr) return kNteNotSupported;
  if ((flags & ~kNcryptSilentFlag) != 0) return kNteBadFlags;
  const BlobKind kind = KindOfBlob(blob_type);
  if (kind == BlobKind::kUnknown) return kNteInvalidParameter;
  if ((kind == BlobKind::kEcPublic || kind == BlobKind::kEcPrivate) != key->IsEc()) return kNteInvalidParameter;
  if (kind != BlobKind::kPublic && kind != BlobKind::kEcPublic) {
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    if (!key->has_private) return kNteNoKey;
    if (key->provider == Provider::kSmartCard) return kNtePerm;
    if (key->provider == Provider::kPlatformCrypto) {
      if (!key->migration_given || key->stored_migration.empty() || key->given_migration != key->stored_migration) {
        return kNtePerm;
      }
    } else if ((key->export_policy & kAllowPlaintextExportFlag) == 0) {
      return kNteNotSupported;
    }
  }
  if (key->IsEc()) {
    return ec::WriteBlob(key->pkey.get(), key->curve, key->agreement, kind == BlobKind::kEcPrivate, output,
                         output_size, result);
  }
  return WriteBlob(key->pkey.get(), kind, output, output_size, result);
}

SECURITY_STATUS ImportKey(Provider provider, NCRYPT_KEY_HANDLE import_key, const char16_t* blob_type,
                          void* parameters, NCRYPT_KEY_HANDLE* key, const uint8_t* input, DWORD input_size,
                          DWORD flags) {
  if (key == nullptr || blob_type == nullptr) return kNteInvalidParameter;
  if (import_key != 0) return kNteNotSupported;
  if ((flags & ~(kNcryptSilentFlag | kNcryptDoNotFinalizeFlag | kNcryptMachineKeyFlag | kNcryptOverwriteKeyFlag)) !=
      0) {
    return kNteBadFlags;
  }
  // A card takes keys by enrolment only.
  if (provider == Provider::kSmartCard) return kNteNotSupported;
  std::u16string name;
  if (const SECURITY_STATUS status = ImportedName(parameters, &name); status != 0) return status;
  const BlobKind kind = KindOfBlob(blob_type);
  if (kind == BlobKind::kUnknown) return kNteInvalidParameter;
  auto object = std::make_shared<KeyObject>();
  if (kind == BlobKind::kEcPublic || kind == BlobKind::kEcPrivate) {
    EVP_PKEY* made = nullptr;
    if (const SECURITY_STATUS status =
            ec::ImportBlob(kind == BlobKind::kEcPrivate, input, input_size, &made, &object->curve, &object->agreement);
        status != 0) {
      return status;
    }
    object->pkey.reset(made);
    object->has_private = kind == BlobKind::kEcPrivate;
    object->length = ec::Bits(object->curve);
    RememberHeader(input, 8);
  } else {
    RsaParts parts;
    SECURITY_STATUS status = ReadBlob(kind, input, input_size, parts);
    if (status == 0) status = CheckParts(kind, parts);
    if (status != 0) return status;
    object->pkey = PkeyFromParts(parts);
    if (object->pkey == nullptr) return kNteBadData;
    object->has_private = kind != BlobKind::kPublic;
    object->length = KeyBits(object->pkey.get());
    RememberHeader(input, kRsaBlobHeaderSize);
  }
  object->provider = provider;
  object->name = name;
  object->machine = (flags & kNcryptMachineKeyFlag) != 0;
  if (provider == Provider::kPlatformCrypto) object->export_policy = 0;
  if (!name.empty()) {
    if (!object->has_private) return kNteInvalidParameter;  // only private keys are stored
    const std::string folder = FolderOf(*object);
    if (folder.empty()) return kNteFailStatus;
    if ((flags & kNcryptOverwriteKeyFlag) == 0 && StoreFileExists(KeyPath(folder, name))) return kNteExists;
  }
  if ((flags & kNcryptDoNotFinalizeFlag) == 0) {
    if (!name.empty()) {
      if (const SECURITY_STATUS status = Persist(*object); status != 0) return status;
    }
    object->finalized = true;
  }
  *key = AddKey(std::move(object));
  return 0;
}

SECURITY_STATUS SignHash(NCRYPT_KEY_HANDLE handle, void* padding_info, const uint8_t* hash, DWORD hash_size,
                         uint8_t* signature, DWORD signature_size, DWORD* result, DWORD flags) {
  KeyRef key;
  if (const SECURITY_STATUS status = FinalizedKey(handle, true, &key); status != 0) return status;
  if (result == nullptr || hash == nullptr || hash_size == 0) return kNteInvalidParameter;
  if (const SECURITY_STATUS status = PrivateUse(*key, kNcryptAllowSigningFlag); status != 0) return status;
  if (key->IsEc()) {
    if (const SECURITY_STATUS status = UsableEcKey(*key, false); status != 0) return status;
    if (flags != 0) return kNteBadFlags;
    return ec::Sign(key->pkey.get(), key->curve, hash, hash_size, signature, signature_size, result);
  }
  PkeyCtx ctx;
  if (const SECURITY_STATUS status = SignatureCtx(key->pkey.get(), true, padding_info, hash_size, flags, &ctx);
      status != 0) {
    return status;
  }
  const auto size = static_cast<DWORD>(EVP_PKEY_get_size(key->pkey.get()));
  *result = size;
  if (signature == nullptr) return 0;
  if (signature_size < size) return kNteBufferTooSmall;
  size_t length = signature_size;
  if (EVP_PKEY_sign(ctx.get(), signature, &length, hash, hash_size) != 1) return kNteInvalidParameter;
  *result = static_cast<DWORD>(length);
  return 0;
}

SECURITY_STATUS VerifySignature(NCRYPT_KEY_HANDLE handle, void* padding_info, const uint8_t* hash, DWORD hash_size,
                                const uint8_t* signature, DWORD signature_size, DWORD flags) {
  KeyRef key;
  if (const SECURITY_STATUS status = FinalizedKey(handle, false, &key); status != 0) return status;
  if (hash == nullptr || hash_size == 0 || signature == nullptr) return kNteInvalidParameter;
  if (key->IsEc()) {
    if (const SECURITY_STATUS status = UsableEcKey(*key, false); status != 0) return status;
    if (flags != 0) return kNteBadFlags;
    return ec::Verify(key->pkey.get(), key->curve, hash, hash_size, signature, signature_size);
  }
  PkeyCtx ctx;
  if (const SECURITY_STATUS status = SignatureCtx(key->pkey.get(), false, padding_info, hash_size, flags, &ctx);
      status != 0) {
    return status;
  }
  if (signature_size != static_cast<DWORD>(EVP_PKEY_get_size(key->pkey.get()))) return kNteBadSignature;
  return EVP_PKEY_verify(ctx.get(), signature, signature_size, hash, hash_size) == 1 ? 0 : kNteBadSignature;
}

SECURITY_STATUS Encrypt(NCRYPT_KEY_HANDLE handle, const uint8_t* input, DWORD input_size, void* padding_info,
                        uint8_t* output, DWORD output_size, DWORD* result, DWORD flags) {
  KeyRef key;
  if (const SECURITY_STATUS status = FinalizedKey(handle, false, &key); status != 0) return status;
  if (result == nullptr || (input == nullptr && input_size != 0)) return kNteInvalidParameter;
  if (key->IsEc()) return kNteNotSupported;
  PkeyCtx ctx;
  if (const SECURITY_STATUS status = CipherCtx(key->pkey.get(), true, padding_info, flags, &ctx); status != 0) {
    return status;
  }
  const auto size = static_cast<DWORD>(EVP_PKEY_get_size(key->pkey.get()));
  *result = size;
  if (output == nullptr) return 0;
  if (output_size < size) return kNteBufferTooSmall;
  size_t length = output_size;
  static const uint8_t kEmpty[1] = {0};
  if (EVP_PKEY_encrypt(ctx.get(), output, &length, input != nullptr ? input : kEmpty, input_size) != 1) {
    return kNteInvalidParameter;
  }
  *result = static_cast<DWORD>(length);
  return 0;
}

SECURITY_STATUS Decrypt(NCRYPT_KEY_HANDLE handle, const uint8_t* input, DWORD input_size, void* padding_info,
                        uint8_t* output, DWORD output_size, DWORD* result, DWORD flags) {
  KeyRef key;
  if (const SECURITY_STATUS status = FinalizedKey(handle, true, &key); status != 0) return status;
  if (result == nullptr || input == nullptr) return kNteInvalidParameter;
  if (key->IsEc()) return kNteNotSupported;
  if (const SECURITY_STATUS status = PrivateUse(*key, kNcryptAllowDecryptFlag); status != 0) return status;
  PkeyCtx ctx;
  if (const SECURITY_STATUS status = CipherCtx(key->pkey.get(), false, padding_info, flags, &ctx); status != 0) {
    return status;
  }
  const auto size = static_cast<size_t>(EVP_PKEY_get_size(key->pkey.get()));
  if (input_size != size) return kNteInvalidParameter;
  // The size query decrypts too: the caller learns the plaintext's exact length.
  std::unique_ptr<uint8_t[]> plain(new (std::nothrow) uint8_t[size]);
  if (plain == nullptr) return kNteNoMemory;
  size_t length = size;
  const bool ok = EVP_PKEY_decrypt(ctx.get(), plain.get(), &length, input, input_size) == 1;
  SECURITY_STATUS status = ok ? 0 : kNteBadData;
  if (ok) {
    *result = static_cast<DWORD>(length);
    if (output != nullptr && output_size < length) status = kNteBufferTooSmall;
    if (output != nullptr && status == 0) std::memcpy(output, plain.get(), length);
  }
  OPENSSL_cleanse(plain.get(), size);
  return status;
}

SECURITY_STATUS DeleteKey(NCRYPT_KEY_HANDLE handle, DWORD flags) {
  KeyRef key = FindKey(handle);
  if (key == nullptr) return kNteInvalidHandle;
  if ((flags & ~kNcryptSilentFlag) != 0) return kNteBadFlags;
  if (!key->name.empty()) {
    const std::string folder = FolderOf(*key);
    if (folder.empty() || !RemoveStoreFile(KeyPath(folder, key->name)) ||
        !RemoveStoreFile(PropertiesPath(folder, key->name)) || !RemoveStoreFile(CertificatePath(folder, key->name))) {
      return kNteFailStatus;
    }
  }
  (void)FreeKey(handle);
  return 0;
}

SECURITY_STATUS EnumKeys(const char16_t* scope, void** key_name, void** enum_state, DWORD flags) {
  (void)scope;
  if (key_name == nullptr || enum_state == nullptr) return kNteInvalidParameter;
  if ((flags & ~(kNcryptMachineKeyFlag | kNcryptSilentFlag)) != 0) return kNteBadFlags;
  Store& store = TheStore();
  if (*enum_state == nullptr) {
    auto* state = new (std::nothrow) EnumState;
    if (state == nullptr) return kNteNoMemory;
    state->machine = (flags & kNcryptMachineKeyFlag) != 0;
    const std::string folder = KeyFolder(state->machine);
    for (const std::string& file : ListStoreFolder(folder, ".key")) {
      std::u16string name;
      if (!StoreNameFromFile(std::string_view(file).substr(0, file.size() - 4), &name)) continue;
      KeyObject properties;
      std::string text;
      if (ReadStoreFile(PropertiesPath(folder, name), &text)) ReadProperties(text, properties);
      state->names.push_back(name);
      state->specs.push_back(properties.legacy_key_spec);
    }
    std::lock_guard<std::mutex> lock(store.mutex);
    store.enums.emplace(state, state);
    *enum_state = state;
  }
  std::lock_guard<std::mutex> lock(store.mutex);
  auto it = store.enums.find(*enum_state);
  if (it == store.enums.end()) return kNteInvalidParameter;
  EnumState& state = *it->second;
  if (state.next >= state.names.size()) return kNteNoMoreItems;
  void* block = NewNameBlock(state.names[state.next], state.specs[state.next], state.machine);
  if (block == nullptr) return kNteNoMemory;
  ++state.next;
  store.entries.insert(block);
  *key_name = block;
  return 0;
}

SECURITY_STATUS FreeBuffer(void* buffer) {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (store.entries.erase(buffer) != 0) {
    ::operator delete(buffer);
    return 0;
  }
  auto it = store.enums.find(buffer);
  if (it == store.enums.end()) return kNteInvalidParameter;
  delete it->second;
  store.enums.erase(it);
  return 0;
}

SECURITY_STATUS SecretAgreement(NCRYPT_KEY_HANDLE private_key, NCRYPT_KEY_HANDLE public_key,
                                NCRYPT_SECRET_HANDLE* secret, DWORD flags) {
  KeyRef own, peer;
  if (const SECURITY_STATUS status = FinalizedKey(private_key, true, &own); status != 0) return status;
  if (const SECURITY_STATUS status = FinalizedKey(public_key, false, &peer); status != 0) return status;
  if (const SECURITY_STATUS status = PrivateUse(*own, kNcryptAllowKeyAgreementFlag); status != 0) return status;
  if (const SECURITY_STATUS status = UsableEcKey(*own, true); status != 0) return status;
  if (const SECURITY_STATUS status = UsableEcKey(*peer, true); status != 0) return status;
  if (secret == nullptr || own->curve != peer->curve) return kNteInvalidParameter;
  if ((flags & ~kNcryptSilentFlag) != 0) return kNteBadFlags;
  auto made = std::make_shared<SecretObject>();
  if (const SECURITY_STATUS status = ec::Agree(own->pkey.get(), peer->pkey.get(), own->curve, made->z.bytes);
      status != 0) {
    return status;
  }
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  *secret = store.next++;
  store.secrets.emplace(*secret, std::move(made));
  return 0;
}

SECURITY_STATUS DeriveKey(NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters, uint8_t* derived,
                          DWORD derived_size, DWORD* result, ULONG flags) {
  SecretRef held;
  {
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    auto it = store.secrets.find(secret);
    if (it == store.secrets.end()) return kNteInvalidHandle;
    held = it->second;
  }
  if (kdf == nullptr || result == nullptr) return kNteInvalidParameter;
  if ((flags & ~kNcryptSilentFlag) != 0) return kNteBadFlags;
  WipedBytes out;
  switch (DeriveFromSecret(held->z.bytes, kdf, parameters, true, out)) {
    case DeriveOutcome::kDone:
      break;
    case DeriveOutcome::kBadParameters:
      return kNteInvalidParameter;
    case DeriveOutcome::kNotSupported:
      return kNteNotSupported;
    case DeriveOutcome::kFailed:
      return kNteFailStatus;
  }
  *result = static_cast<DWORD>(out.bytes.size());
  if (derived == nullptr) return 0;
  if (derived_size < out.bytes.size()) return kNteBufferTooSmall;
  std::memcpy(derived, out.bytes.data(), out.bytes.size());
  return 0;
}

SECURITY_STATUS AdoptKey(EVP_PKEY* pkey, bool exportable, DWORD legacy_key_spec, NCRYPT_KEY_HANDLE* key) {
  if (pkey == nullptr || key == nullptr) return kNteInvalidParameter;
  auto object = std::make_shared<KeyObject>();
  const int type = EVP_PKEY_get_base_id(pkey);
  if (type == EVP_PKEY_EC) {
    object->curve = ec::CurveOfKey(pkey);
    if (object->curve == ec::kNoCurve) return kNteNotSupported;
    object->length = ec::Bits(object->curve);
  } else if (type == EVP_PKEY_RSA) {
    object->length = KeyBits(pkey);
  } else {
    return kNteNotSupported;
  }
  if (EVP_PKEY_up_ref(pkey) != 1) return kNteNoMemory;
  object->pkey.reset(pkey);
  object->finalized = true;
  object->has_private = true;
  object->export_policy = exportable ? kAllowExportFlag | kAllowPlaintextExportFlag : 0;
  object->legacy_key_spec = legacy_key_spec;
  *key = AddKey(std::move(object));
  return 0;
}

SECURITY_STATUS StoreKey(EVP_PKEY* pkey, std::u16string_view name, bool machine, bool exportable,
                         DWORD legacy_key_spec) {
  if (name.empty() || name.size() > kMaxNameUnits) return kNteInvalidParameter;
  NCRYPT_KEY_HANDLE handle = 0;
  if (const SECURITY_STATUS status = AdoptKey(pkey, exportable, legacy_key_spec, &handle); status != 0) return status;
  KeyRef key = FindKey(handle);
  SECURITY_STATUS status = kNteInvalidHandle;
  if (key != nullptr) {
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    key->name = name;
    key->machine = machine;
    const std::string folder = FolderOf(*key);
    status = folder.empty() ? kNteFailStatus : StoreFileExists(KeyPath(folder, name)) ? kNteExists : Persist(*key);
  }
  (void)FreeKey(handle);
  return status;
}

void DeleteStoredKey(std::u16string_view name, bool machine) {
  if (name.empty() || name.size() > kMaxNameUnits) return;
  const std::string root = StoreRoot();
  if (root.empty()) return;
  const std::string folder = root + (machine ? "/ksp/software/machine" : "/ksp/software/user");
  if (!StoreFileExists(KeyPath(folder, name))) return;
  (void)RemoveStoreFile(KeyPath(folder, name));
  (void)RemoveStoreFile(PropertiesPath(folder, name));
  (void)RemoveStoreFile(CertificatePath(folder, name));
}

EVP_PKEY* StoredPrivateKey(Provider provider, std::u16string_view name, bool machine) {
  if (name.empty() || name.size() > kMaxNameUnits) return nullptr;
  KeyObject object;
  object.name = name;
  object.provider = provider;
  object.machine = machine;
  // NOTE: a card's key needs its PIN, which no credential carries: TLS serves software and TPM keys.
  if (provider == Provider::kSmartCard || LoadStoredKey(object) != 0) return nullptr;
  return object.pkey.release();
}

bool FreeKey(NCRYPT_HANDLE key) {
  KeyRef released;        // destroyed after the lock is let go
  SecretRef released_secret;
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (auto it = store.secrets.find(key); it != store.secrets.end()) {
    released_secret = std::move(it->second);
    store.secrets.erase(it);
    return true;
  }
  auto it = store.keys.find(key);
  if (it == store.keys.end()) return false;
  released = std::move(it->second);
  store.keys.erase(it);
  return true;
}

int LiveKeys() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  return static_cast<int>(store.keys.size() + store.secrets.size() + store.entries.size() + store.enums.size());
}

namespace test {

std::vector<uint8_t> LastImportedBlobHeader() {
  std::lock_guard<std::mutex> lock(TheStore().mutex);
  return TheStore().last_header;
}

bool EnrolSmartCardKey(std::u16string_view card, std::u16string_view pin, std::u16string_view key_name,
                       const std::vector<uint8_t>& pkcs8, const std::vector<uint8_t>& certificate) {
  if (card.empty() || key_name.empty() || key_name.size() > kMaxNameUnits) return false;
  const std::string folder = StoreFolder("ksp/smartcard/" + StoreFileName(card));
  if (folder.empty()) return false;
  std::u16string pin_text(pin);
  pin_text.push_back(u'\0');
  const std::string properties = "algorithm=key\nexport_policy=0\nkey_usage=" + std::to_string(kAllowAllUsages) + "\n";
  return WriteStoreFile(folder + "/pin", pin_text.data(), pin_text.size() * 2) &&
         WriteStoreFile(PropertiesPath(folder, key_name), properties.data(), properties.size()) &&
         (certificate.empty() ||
          WriteStoreFile(CertificatePath(folder, key_name), certificate.data(), certificate.size())) &&
         WriteStoreFile(KeyPath(folder, key_name), pkcs8.data(), pkcs8.size());
}

void ForgetOpenKeys() {
  std::map<NCRYPT_KEY_HANDLE, KeyRef> dropped;
  std::map<NCRYPT_SECRET_HANDLE, SecretRef> dropped_secrets;
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  dropped.swap(store.keys);
  dropped_secrets.swap(store.secrets);
}

}  // namespace test

}  // namespace velmora::platform::ksp
