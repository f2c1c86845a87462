#include "platform/crypto/keypair_modules.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/cipher_internal.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/secret_derivations.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

using Bytes = std::vector<uint8_t>;

using ossl::Bn;
using ossl::BnCtx;
using ossl::Params;
using ossl::Pkey;
using ossl::PkeyCtx;
using ParamBld = ossl::ParamBuild;
using DsaSig = ossl::Ptr<DSA_SIG, DSA_SIG_free>;

void Wipe(Bytes& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}


constexpr ULONG kDsaMinLength = 64;      // 512 bits
constexpr ULONG kDsaV1MaxLength = 128;   // 1024 bits
constexpr ULONG kDsaMaxLength = 384;     // 3072 bits
constexpr ULONG kDsaV2SubgroupSize = 32;
constexpr ULONG kDhMinLength = 64;       // 512 bits
constexpr ULONG kDhMaxLength = 512;      // 4096 bits
constexpr uint32_t kNoSeedCounter = 0xFFFFFFFFu;

// KeyPair is what a DSA or Diffie-Hellman key handle points at. Numbers are big-endian: P, G and Y at the
// key length, q and X (DSA) at q's length, X (Diffie-Hellman) at the key length.
struct KeyPair {
  KeyPairFamily family = KeyPairFamily::kNone;
  ULONG length = 0;
  bool finalized = false;
  Bytes p, q, g, y;
  Bytes x;
  Bytes seed;  // DSA: empty when the key has none
  uint32_t counter = 0;
  Pkey pkey;   // DSA: OpenSSL's key, for signing and verifying

  KeyPair() = default;
  KeyPair(const KeyPair&) = delete;
  KeyPair& operator=(const KeyPair&) = delete;
  ~KeyPair() { Wipe(x); }
};

// Secret is what a secret handle points at: Z, big-endian at the prime's length.
struct Secret {
  WipedBytes z;
};

// The open keys and secrets. Stale or foreign handles are recognised and refused.
struct KeyPairTable {
  std::mutex mutex;
  std::unordered_set<const void*> keys;
  std::unordered_set<const void*> secrets;
  Bytes last_dsa_header;
};

// Never destroyed: a handle destroyed during process exit may still look itself up here.
KeyPairTable& Table() {
  static KeyPairTable* table = new KeyPairTable;
  return *table;
}

std::atomic<NTSTATUS> g_bad_signature{kNteBadSignature};

KeyPair* FindKey(const void* handle) {
  KeyPairTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (handle == nullptr || table.keys.count(handle) == 0) return nullptr;
  return static_cast<KeyPair*>(const_cast<void*>(handle));
}

Secret* FindSecret(const void* handle) {
  KeyPairTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (handle == nullptr || table.secrets.count(handle) == 0) return nullptr;
  return static_cast<Secret*>(const_cast<void*>(handle));
}

// A key handle is the key's address, never read as a cipher key: the cipher module hands every key it
// does not know to DestroyKeyPair and SetKeyPairProperty.
void PublishKey(std::unique_ptr<KeyPair> key, BCRYPT_KEY_HANDLE* out) {
  KeyPairTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.keys.insert(key.get());
  *out = reinterpret_cast<BCRYPT_KEY_HANDLE>(key.release());
}

bool SameName(const char16_t* a, const char16_t* b) { return CompareCryptNames(a, b) == 0; }

// Cursor reads a blob front to back.
struct Cursor {
  const uint8_t* at;
  size_t left;

  bool Ulong(ULONG& value) {
    if (left < sizeof value) return false;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    left -= sizeof value;
    return true;
  }
  bool Take(size_t count, Bytes& out) {
    if (count > left) return false;
    out.assign(at, at + count);
    at += count;
    left -= count;
    return true;
  }
};

void PutUlong(Bytes& out, ULONG value) {
  uint8_t bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.insert(out.end(), bytes, bytes + sizeof value);
}

void PutBytes(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

Bn ToBn(const Bytes& bytes) { return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr)); }

bool FromBn(const BIGNUM* number, size_t width, Bytes& out) {
  out.assign(width, 0);
  return BN_bn2binpad(number, out.data(), static_cast<int>(width)) == static_cast<int>(width);
}

bool AllZero(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// PowerMod sets out = base^exponent mod modulus (an odd modulus), in constant time in the exponent.
bool PowerMod(const BIGNUM* base, const Bytes& exponent, const BIGNUM* modulus, BN_CTX* ctx, Bn& out) {
  Bn e = ToBn(exponent);
  out.reset(BN_new());
  if (e == nullptr || out == nullptr) return false;
  BN_set_flags(e.get(), BN_FLG_CONSTTIME);
  return BN_mod_exp_mont_consttime(out.get(), base, e.get(), modulus, ctx, nullptr) == 1;
}

// Between: low < value < high.
bool Between(const BIGNUM* low, const BIGNUM* value, const BIGNUM* high) {
  return BN_cmp(low, value) < 0 && BN_cmp(value, high) < 0;
}

// ---- DSA ----------------------------------------------------------------------------------------------

// DsaNumbersFit: P odd, q divides P - 1, G of order q, 1 < Y < P and, with X, 0 < X < q and Y = G^X.
bool DsaNumbersFit(const KeyPair& key) {
  BnCtx ctx(BN_CTX_new());
  Bn p = ToBn(key.p), q = ToBn(key.q), g = ToBn(key.g), y = ToBn(key.y), t(BN_new()), r(BN_new());
  if (ctx == nullptr || p == nullptr || q == nullptr || g == nullptr || y == nullptr || t == nullptr ||
      r == nullptr) {
    return false;
  }
  if (!BN_is_odd(p.get()) || BN_is_zero(q.get()) || BN_is_one(q.get()) || !BN_sub(t.get(), p.get(), BN_value_one()) ||
      !BN_mod(r.get(), t.get(), q.get(), ctx.get()) || !BN_is_zero(r.get()) ||
      !Between(BN_value_one(), g.get(), p.get()) || !Between(BN_value_one(), y.get(), p.get()) ||
      !BN_mod_exp(t.get(), g.get(), q.get(), p.get(), ctx.get()) || !BN_is_one(t.get())) {
    return false;
  }
  if (key.x.empty()) return true;
  Bn x = ToBn(key.x), computed;
  return x != nullptr && !BN_is_zero(x.get()) && BN_cmp(x.get(), q.get()) < 0 &&
         PowerMod(g.get(), key.x, p.get(), ctx.get(), computed) && BN_cmp(computed.get(), y.get()) == 0;
}

// BuildDsaKey makes OpenSSL's key from the numbers; a key with a seed must pass OpenSSL's check that the
// seed and counter generate P and q (FIPS 186-2 for version 1 keys, else FIPS 186-4).
bool BuildDsaKey(KeyPair& key) {
  ParamBld build(OSSL_PARAM_BLD_new());
  Bn p = ToBn(key.p), q = ToBn(key.q), g = ToBn(key.g), y = ToBn(key.y), x;
  if (!key.x.empty()) x = ToBn(key.x);
  if (build == nullptr || p == nullptr || q == nullptr || g == nullptr || y == nullptr ||
      (!key.x.empty() && x == nullptr)) {
    return false;
  }
  bool pushed = OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_FFC_P, p.get()) == 1 &&
                OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_FFC_Q, q.get()) == 1 &&
                OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_FFC_G, g.get()) == 1 &&
                OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PUB_KEY, y.get()) == 1 &&
                (x == nullptr || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, x.get()) == 1);
  if (pushed && !key.seed.empty()) {
    pushed = OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_FFC_SEED, key.seed.data(),
                                              key.seed.size()) == 1 &&
             OSSL_PARAM_BLD_push_int(build.get(), OSSL_PKEY_PARAM_FFC_PCOUNTER, static_cast<int>(key.counter)) == 1 &&
             OSSL_PARAM_BLD_push_int(build.get(), OSSL_PKEY_PARAM_FFC_VALIDATE_LEGACY,
                                     key.length <= kDsaV1MaxLength ? 1 : 0) == 1;
  }
  Params params(pushed ? OSSL_PARAM_BLD_to_param(build.get()) : nullptr);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  EVP_PKEY* made = nullptr;
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &made, x != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return false;
  }
  key.pkey.reset(made);
  if (key.seed.empty()) return true;
  PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, made, nullptr));
  return check != nullptr && EVP_PKEY_param_check(check.get()) == 1;
}

uint32_t BigEndian32(const Bytes& bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

NTSTATUS ImportDsa(bool is_private, const uint8_t* input, ULONG input_size, KeyPair& key) {
  Cursor in{input, input_size};
  ULONG magic = 0, length = 0;
  if (!in.Ulong(magic) || !in.Ulong(length)) return kStatusInvalidParameter;
  const bool v1 = magic == (is_private ? kDsaPrivateMagic : kDsaPublicMagic);
  const bool v2 = magic == (is_private ? kDsaPrivateMagicV2 : kDsaPublicMagicV2);
  ULONG seed_length = kDsaV1SubgroupSize, group = kDsaV1SubgroupSize;
  if (v1) {
    if (length < kDsaMinLength || length > kDsaV1MaxLength || length % 8 != 0) return kStatusInvalidParameter;
  } else if (v2) {
    ULONG hash = 0, standard = 0;
    if (!in.Ulong(hash) || !in.Ulong(standard) || !in.Ulong(seed_length) || !in.Ulong(group) ||
        hash != kDsaHashSha256 || standard != kDsaStandardFips186_3 || group != kDsaV2SubgroupSize ||
        seed_length != group || length <= kDsaV1MaxLength || length > kDsaMaxLength || length % 8 != 0) {
      return kStatusInvalidParameter;
    }
  } else {
    return kStatusInvalidParameter;
  }
  Bytes count;
  if (!in.Take(4, count) || !in.Take(seed_length, key.seed) || !in.Take(group, key.q)) return kStatusInvalidParameter;
  {
    KeyPairTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.last_dsa_header.assign(input, in.at);
  }
  if (!in.Take(length, key.p) || !in.Take(length, key.g) || !in.Take(length, key.y) ||
      (is_private && !in.Take(group, key.x)) || in.left != 0) {
    return kStatusInvalidParameter;
  }
  key.counter = BigEndian32(count);
  if (key.counter == kNoSeedCounter) {
    key.counter = 0;
    key.seed.clear();
  }
  key.length = length;
  return DsaNumbersFit(key) && BuildDsaKey(key) ? kStatusSuccess : kStatusInvalidParameter;
}

// DsaBlob writes the key's blob: version 1 up to 1024 bits, else version 2.
void DsaBlob(const KeyPair& key, bool is_private, Bytes& out) {
  const bool v2 = key.length > kDsaV1MaxLength;
  const bool seeded = !key.seed.empty();
  const Bytes& seed = seeded ? key.seed : Bytes(key.q.size(), 0xFF);
  Bytes count(4, 0xFF);
  if (seeded) count = {static_cast<uint8_t>(key.counter >> 24), static_cast<uint8_t>(key.counter >> 16),
                       static_cast<uint8_t>(key.counter >> 8), static_cast<uint8_t>(key.counter)};
  if (v2) {
    PutUlong(out, is_private ? kDsaPrivateMagicV2 : kDsaPublicMagicV2);
    PutUlong(out, key.length);
    PutUlong(out, kDsaHashSha256);
    PutUlong(out, kDsaStandardFips186_3);
    PutUlong(out, static_cast<ULONG>(seed.size()));
    PutUlong(out, static_cast<ULONG>(key.q.size()));
    PutBytes(out, count);
  } else {
    PutUlong(out, is_private ? kDsaPrivateMagic : kDsaPublicMagic);
    PutUlong(out, key.length);
    PutBytes(out, count);
  }
  for (const Bytes* part : {&seed, &key.q, &key.p, &key.g, &key.y}) PutBytes(out, *part);
  if (is_private) PutBytes(out, key.x);
}

bool GetBn(const EVP_PKEY* pkey, const char* name, size_t width, Bytes& out) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &raw) != 1) return false;
  Bn number(raw);
  return FromBn(number.get(), width, out);
}

// GenerateDsa makes domain parameters and a key of the key's length with OpenSSL.
NTSTATUS GenerateDsa(KeyPair& key) {
  const bool fips186_2 = key.length <= kDsaV1MaxLength;
  const size_t pbits = key.length * 8;
  const size_t qbits = fips186_2 ? 160 : 256;
  char type[16];
  std::strcpy(type, fips186_2 ? "fips186_2" : "fips186_4");
  const OSSL_PARAM settings[] = {
      OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_FFC_PBITS, const_cast<size_t*>(&pbits)),
      OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_FFC_QBITS, const_cast<size_t*>(&qbits)),
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_FFC_TYPE, type, 0), OSSL_PARAM_construct_end()};
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (ctx == nullptr || EVP_PKEY_paramgen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_params(ctx.get(), settings) != 1 ||
      EVP_PKEY_generate(ctx.get(), &raw) != 1) {
    return kStatusUnsuccessful;
  }
  Pkey domain(raw);
  raw = nullptr;
  PkeyCtx keygen(EVP_PKEY_CTX_new_from_pkey(nullptr, domain.get(), nullptr));
  if (keygen == nullptr || EVP_PKEY_keygen_init(keygen.get()) != 1 || EVP_PKEY_generate(keygen.get(), &raw) != 1) {
    return kStatusUnsuccessful;
  }
  key.pkey.reset(raw);
  const size_t group = qbits / 8;
  if (!GetBn(raw, OSSL_PKEY_PARAM_FFC_P, key.length, key.p) || !GetBn(raw, OSSL_PKEY_PARAM_FFC_Q, group, key.q) ||
      !GetBn(raw, OSSL_PKEY_PARAM_FFC_G, key.length, key.g) || !GetBn(raw, OSSL_PKEY_PARAM_PUB_KEY, key.length, key.y) ||
      !GetBn(raw, OSSL_PKEY_PARAM_PRIV_KEY, group, key.x)) {
    return kStatusUnsuccessful;
  }
  uint8_t seed[64];
  size_t seed_length = 0;
  int counter = -1;
  // The seed travels with the domain parameters; a key without one exports the 0xFF filler.
  if (EVP_PKEY_get_octet_string_param(domain.get(), OSSL_PKEY_PARAM_FFC_SEED, seed, sizeof seed, &seed_length) == 1 &&
      EVP_PKEY_get_int_param(domain.get(), OSSL_PKEY_PARAM_FFC_PCOUNTER, &counter) == 1 && counter >= 0 &&
      seed_length == group) {
    key.seed.assign(seed, seed + seed_length);
    key.counter = static_cast<uint32_t>(counter);
  }
  return kStatusSuccess;
}

// ---- Diffie-Hellman -----------------------------------------------------------------------------------

// DhGroupFits: an odd prime above 3 that fills its L bytes, and 1 < G < P - 1.
bool DhGroupFits(const Bytes& prime, const Bytes& generator) {
  Bn p = ToBn(prime), g = ToBn(generator), top(BN_new());
  return !prime.empty() && prime[0] != 0 && p != nullptr && g != nullptr && top != nullptr && BN_is_odd(p.get()) && BN_num_bits(p.get()) > 2 &&
         BN_sub(top.get(), p.get(), BN_value_one()) == 1 && Between(BN_value_one(), g.get(), top.get());
}

// DhPublicFits: 1 < Y < P - 1 (0, 1 and P - 1 would give a secret any outsider knows).
bool DhPublicFits(const Bytes& prime, const Bytes& value) {
  Bn p = ToBn(prime), y = ToBn(value), top(BN_new());
  return p != nullptr && y != nullptr && top != nullptr && BN_sub(top.get(), p.get(), BN_value_one()) == 1 &&
         Between(BN_value_one(), y.get(), top.get());
}

// DhPublicOf computes G^X mod P of a key with a private value.
bool DhPublicOf(const KeyPair& key, Bytes& out) {
  BnCtx ctx(BN_CTX_new());
  Bn p = ToBn(key.p), g = ToBn(key.g), y;
  return ctx != nullptr && p != nullptr && g != nullptr && PowerMod(g.get(), key.x, p.get(), ctx.get(), y) &&
         FromBn(y.get(), key.length, out);
}

// EnsureDhPublic fills Y of a private key imported without it.
bool EnsureDhPublic(KeyPair& key) { return !key.y.empty() || DhPublicOf(key, key.y); }

NTSTATUS ImportDh(bool is_private, const uint8_t* input, ULONG input_size, KeyPair& key) {
  Cursor in{input, input_size};
  ULONG magic = 0, length = 0;
  if (!in.Ulong(magic) || !in.Ulong(length) || magic != (is_private ? kDhPrivateMagic : kDhPublicMagic) ||
      length < kDhMinLength || length > kDhMaxLength) {
    return kStatusInvalidParameter;
  }
  if (!in.Take(length, key.p) || !in.Take(length, key.g) || !in.Take(length, key.y) ||
      (is_private && !in.Take(length, key.x)) || in.left != 0 || !DhGroupFits(key.p, key.g)) {
    return kStatusInvalidParameter;
  }
  key.length = length;
  if (!is_private) return DhPublicFits(key.p, key.y) ? kStatusSuccess : kStatusInvalidParameter;
  if (AllZero(key.x)) return kStatusInvalidParameter;
  if (AllZero(key.y)) {
    key.y.clear();  // computed when it is needed
    return kStatusSuccess;
  }
  Bytes computed;
  return DhPublicFits(key.p, key.y) && DhPublicOf(key, computed) && computed == key.y ? kStatusSuccess
                                                                                       : kStatusInvalidParameter;
}

void DhBlob(const KeyPair& key, bool is_private, Bytes& out) {
  PutUlong(out, is_private ? kDhPrivateMagic : kDhPublicMagic);
  PutUlong(out, key.length);
  for (const Bytes* part : {&key.p, &key.g, &key.y}) PutBytes(out, *part);
  if (is_private) PutBytes(out, key.x);
}

// GenerateDh picks X in 2 .. P - 2 and computes Y.
NTSTATUS GenerateDh(KeyPair& key) {
  if (key.p.empty()) return kStatusInvalidParameter;
  Bn p = ToBn(key.p), range(BN_new()), x(BN_secure_new());
  if (p == nullptr || range == nullptr || x == nullptr || BN_sub(range.get(), p.get(), BN_value_one()) != 1 ||
      BN_sub_word(range.get(), 2) != 1 || BN_priv_rand_range_ex(x.get(), range.get(), 0, nullptr) != 1 ||
      BN_add_word(x.get(), 2) != 1 || !FromBn(x.get(), key.length, key.x)) {
    return kStatusUnsuccessful;
  }
  return DhPublicOf(key, key.y) ? kStatusSuccess : kStatusUnsuccessful;
}

// SetDhParameters takes "DHParameters" for a key that is not finalized.
NTSTATUS SetDhParameters(KeyPair& key, const uint8_t* input, ULONG input_size) {
  Cursor in{input, input_size};
  ULONG total = 0, magic = 0, length = 0;
  Bytes p, g;
  if (key.finalized || !in.Ulong(total) || !in.Ulong(magic) || !in.Ulong(length) || total != input_size ||
      magic != kDhParametersMagic || length != key.length || !in.Take(length, p) || !in.Take(length, g) ||
      in.left != 0 || !DhGroupFits(p, g)) {
    return kStatusInvalidParameter;
  }
  key.p = std::move(p);
  key.g = std::move(g);
  return kStatusSuccess;
}

// ---- entry point helpers ------------------------------------------------------------------------------

NTSTATUS BcryptStatus(DeriveOutcome outcome) {
  switch (outcome) {
    case DeriveOutcome::kDone:
      return kStatusSuccess;
    case DeriveOutcome::kBadParameters:
      return kStatusInvalidParameter;
    case DeriveOutcome::kNotSupported:
      return kStatusNotSupported;
    case DeriveOutcome::kFailed:
      break;
  }
  return kStatusUnsuccessful;
}

NTSTATUS Import(KeyPairFamily family, const char16_t* blob_type, const uint8_t* input, ULONG input_size,
                KeyPair& key) {
  if (family == KeyPairFamily::kDsa) {
    if (SameName(blob_type, u"DSAPUBLICBLOB")) return ImportDsa(false, input, input_size, key);
    if (SameName(blob_type, u"DSAPRIVATEBLOB")) return ImportDsa(true, input, input_size, key);
  } else {
    if (SameName(blob_type, u"DHPUBLICBLOB")) return ImportDh(false, input, input_size, key);
    if (SameName(blob_type, u"DHPRIVATEBLOB")) return ImportDh(true, input, input_size, key);
  }
  return kStatusInvalidParameter;
}

// ExportBlob writes the blob of the named type; false for a type of another family, or a private blob
// of a key without its private part.
bool ExportBlob(KeyPair& key, const char16_t* blob_type, Bytes& out) {
  const bool dsa = key.family == KeyPairFamily::kDsa;
  bool is_private;
  if (SameName(blob_type, dsa ? u"DSAPUBLICBLOB" : u"DHPUBLICBLOB")) {
    is_private = false;
  } else if (SameName(blob_type, dsa ? u"DSAPRIVATEBLOB" : u"DHPRIVATEBLOB")) {
    is_private = true;
  } else {
    return false;
  }
  if (is_private && key.x.empty()) return false;
  if (!dsa && !EnsureDhPublic(key)) return false;
  if (dsa) {
    DsaBlob(key, is_private, out);
  } else {
    DhBlob(key, is_private, out);
  }
  return true;
}

KeyPair* FinishedDsaKey(BCRYPT_KEY_HANDLE handle) {
  KeyPair* key = FindKey(handle);
  return key != nullptr && key->finalized && key->family == KeyPairFamily::kDsa ? key : nullptr;
}

}  // namespace

NTSTATUS OpenKeyPairAlgorithm(const char16_t* algorithm_id, ULONG flags, BcryptAlgorithmObject** out) {
  KeyPairFamily family;
  if (SameName(algorithm_id, u"DSA")) {
    family = KeyPairFamily::kDsa;
  } else if (SameName(algorithm_id, u"DH")) {
    family = KeyPairFamily::kDh;
  } else {
    return kStatusNotFound;
  }
  if (flags != 0) return kStatusInvalidParameter;
  auto* object = new (std::nothrow) BcryptAlgorithmObject;
  if (object == nullptr) return kStatusNoMemory;
  object->key_pair = family;
  *out = object;
  return kStatusSuccess;
}

NTSTATUS DestroyKeyPair(const void* handle) {
  {
    KeyPairTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (handle == nullptr || table.keys.erase(handle) == 0) return kStatusInvalidHandle;
  }
  delete static_cast<const KeyPair*>(handle);
  return kStatusSuccess;
}

NTSTATUS SetKeyPairProperty(void* object, const char16_t* property, const uint8_t* input, ULONG input_size,
                            ULONG flags) {
  KeyPair* key = FindKey(object);
  if (key == nullptr) {
    const BcryptAlgorithmObject* algorithm = FindAlgorithm(object);
    return algorithm != nullptr && algorithm->key_pair != KeyPairFamily::kNone ? kStatusNotSupported
                                                                                : kStatusInvalidHandle;
  }
  if (property == nullptr || flags != 0) return kStatusInvalidParameter;
  if (key->family != KeyPairFamily::kDh || !SameName(property, u"DHParameters")) return kStatusNotSupported;
  if (input == nullptr) return kStatusInvalidParameter;
  return SetDhParameters(*key, input, input_size);
}

int LiveKeyPairHandles() {
  KeyPairTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.keys.size() + table.secrets.size());
}

NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key, const char16_t* blob_type,
                             BCRYPT_KEY_HANDLE* key, const uint8_t* input, ULONG input_size, ULONG flags) {
  CountCryptoCall("BCryptImportKeyPair");
  const BcryptAlgorithmObject* owner = FindAlgorithm(algorithm);
  if (owner == nullptr || owner->key_pair == KeyPairFamily::kNone) return kStatusInvalidHandle;
  if (import_key != nullptr || key == nullptr || blob_type == nullptr || input == nullptr || flags != 0) {
    return kStatusInvalidParameter;
  }
  auto made = std::unique_ptr<KeyPair>(new (std::nothrow) KeyPair);
  if (made == nullptr) return kStatusNoMemory;
  made->family = owner->key_pair;
  const NTSTATUS status = Import(owner->key_pair, blob_type, input, input_size, *made);
  if (status != kStatusSuccess) return status;
  made->finalized = true;
  PublishKey(std::move(made), key);
  return kStatusSuccess;
}

NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length, ULONG flags) {
  CountCryptoCall("BCryptGenerateKeyPair");
  const BcryptAlgorithmObject* owner = FindAlgorithm(algorithm);
  if (owner == nullptr || owner->key_pair == KeyPairFamily::kNone) return kStatusInvalidHandle;
  if (key == nullptr || flags != 0 || length % 8 != 0) return kStatusInvalidParameter;
  const ULONG bytes = length / 8;
  const bool dsa = owner->key_pair == KeyPairFamily::kDsa;
  const bool fits = dsa ? bytes >= kDsaMinLength && bytes <= kDsaMaxLength && bytes % 8 == 0
                        : bytes >= kDhMinLength && bytes <= kDhMaxLength;
  if (!fits) return kStatusInvalidParameter;
  auto made = std::unique_ptr<KeyPair>(new (std::nothrow) KeyPair);
  if (made == nullptr) return kStatusNoMemory;
  made->family = owner->key_pair;
  made->length = bytes;
  PublishKey(std::move(made), key);
  return kStatusSuccess;
}

NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE handle, ULONG flags) {
  CountCryptoCall("BCryptFinalizeKeyPair");
  KeyPair* key = FindKey(handle);
  if (key == nullptr) return kStatusInvalidHandle;
  if (flags != 0 || key->finalized) return kStatusInvalidParameter;
  const NTSTATUS status = key->family == KeyPairFamily::kDsa ? GenerateDsa(*key) : GenerateDh(*key);
  if (status == kStatusSuccess) key->finalized = true;
  return status;
}

NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE handle, BCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                         uint8_t* output, ULONG output_size, ULONG* result, ULONG flags) {
  CountCryptoCall("BCryptExportKey");
  KeyPair* key = FindKey(handle);
  if (key == nullptr) return kStatusInvalidHandle;
  if (export_key != nullptr || blob_type == nullptr || result == nullptr || flags != 0 || !key->finalized) {
    return kStatusInvalidParameter;
  }
  WipedBytes blob;
  if (!ExportBlob(*key, blob_type, blob.bytes)) return kStatusInvalidParameter;
  *result = static_cast<ULONG>(blob.bytes.size());
  if (output == nullptr) return kStatusSuccess;
  if (output_size < blob.bytes.size()) return kStatusBufferTooSmall;
  std::memcpy(output, blob.bytes.data(), blob.bytes.size());
  return kStatusSuccess;
}

NTSTATUS BCryptSecretAgreement(BCRYPT_KEY_HANDLE private_key, BCRYPT_KEY_HANDLE public_key,
                               BCRYPT_SECRET_HANDLE* secret, ULONG flags) {
  CountCryptoCall("BCryptSecretAgreement");
  KeyPair* own = FindKey(private_key);
  KeyPair* peer = FindKey(public_key);
  if (own == nullptr || peer == nullptr || own->family != KeyPairFamily::kDh || peer->family != KeyPairFamily::kDh) {
    return kStatusInvalidHandle;
  }
  if (secret == nullptr || flags != 0 || !own->finalized || !peer->finalized || own->x.empty() ||
      own->p != peer->p || own->g != peer->g || !EnsureDhPublic(*peer)) {
    return kStatusInvalidParameter;
  }
  BnCtx ctx(BN_CTX_new());
  Bn p = ToBn(own->p), y = ToBn(peer->y), z;
  auto made = std::unique_ptr<Secret>(new (std::nothrow) Secret);
  if (made == nullptr) return kStatusNoMemory;
  if (ctx == nullptr || p == nullptr || y == nullptr || !PowerMod(y.get(), own->x, p.get(), ctx.get(), z) ||
      !FromBn(z.get(), own->length, made->z.bytes)) {
    return kStatusUnsuccessful;
  }
  KeyPairTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.secrets.insert(made.get());
  *secret = made.release();
  return kStatusSuccess;
}

NTSTATUS BCryptDeriveKey(BCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters, uint8_t* derived,
                         ULONG derived_size, ULONG* result, ULONG flags) {
  CountCryptoCall("BCryptDeriveKey");
  const Secret* held = FindSecret(secret);
  if (held == nullptr) return kStatusInvalidHandle;
  if (kdf == nullptr || result == nullptr || flags != 0) return kStatusInvalidParameter;
  WipedBytes out;
  const NTSTATUS status = BcryptStatus(DeriveFromSecret(held->z.bytes, kdf, parameters, false, out));
  if (status != kStatusSuccess) return status;
  *result = static_cast<ULONG>(out.bytes.size());
  if (derived == nullptr) return kStatusSuccess;
  if (derived_size < out.bytes.size()) return kStatusBufferTooSmall;
  std::memcpy(derived, out.bytes.data(), out.bytes.size());
  return kStatusSuccess;
}

NTSTATUS BCryptDestroySecret(BCRYPT_SECRET_HANDLE secret) {
  CountCryptoCall("BCryptDestroySecret");
  {
    KeyPairTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (secret == nullptr || table.secrets.erase(secret) == 0) return kStatusInvalidHandle;
  }
  delete static_cast<Secret*>(secret);
  return kStatusSuccess;
}

NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE handle, void* padding_info, const uint8_t* input, ULONG input_size,
                        uint8_t* output, ULONG output_size, ULONG* result, ULONG flags) {
  CountCryptoCall("BCryptSignHash");
  const KeyPair* key = FinishedDsaKey(handle);
  if (key == nullptr) return kStatusInvalidHandle;
  if (padding_info != nullptr || input == nullptr || input_size == 0 || result == nullptr || flags != 0 ||
      key->x.empty()) {
    return kStatusInvalidParameter;
  }
  const size_t half = key->q.size();
  *result = static_cast<ULONG>(2 * half);
  if (output == nullptr) return kStatusSuccess;
  if (output_size < 2 * half) return kStatusBufferTooSmall;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key->pkey.get(), nullptr));
  size_t der_length = 0;
  if (ctx == nullptr || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &der_length, input, input_size) != 1) {
    return kStatusUnsuccessful;
  }
  Bytes der(der_length);
  if (EVP_PKEY_sign(ctx.get(), der.data(), &der_length, input, input_size) != 1) return kStatusUnsuccessful;
  const uint8_t* read = der.data();
  DsaSig signature(d2i_DSA_SIG(nullptr, &read, static_cast<long>(der_length)));
  if (signature == nullptr) return kStatusUnsuccessful;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  DSA_SIG_get0(signature.get(), &r, &s);
  const int width = static_cast<int>(half);
  return BN_bn2binpad(r, output, width) == width && BN_bn2binpad(s, output + half, width) == width
             ? kStatusSuccess
             : kStatusUnsuccessful;
}

NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE handle, void* padding_info, const uint8_t* hash, ULONG hash_size,
                               const uint8_t* signature, ULONG signature_size, ULONG flags) {
  CountCryptoCall("BCryptVerifySignature");
  const KeyPair* key = FinishedDsaKey(handle);
  if (key == nullptr) return kStatusInvalidHandle;
  if (padding_info != nullptr || hash == nullptr || hash_size == 0 || signature == nullptr || flags != 0) {
    return kStatusInvalidParameter;
  }
  const NTSTATUS bad = g_bad_signature.load();
  const size_t half = key->q.size();
  if (signature_size != 2 * half) return bad;
  DsaSig parsed(DSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature, static_cast<int>(half), nullptr);
  BIGNUM* s = BN_bin2bn(signature + half, static_cast<int>(half), nullptr);
  if (parsed == nullptr || r == nullptr || s == nullptr || DSA_SIG_set0(parsed.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return kStatusUnsuccessful;
  }
  uint8_t* der = nullptr;
  const int der_length = i2d_DSA_SIG(parsed.get(), &der);
  if (der_length <= 0) return kStatusUnsuccessful;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key->pkey.get(), nullptr));
  const bool valid = ctx != nullptr && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                     EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(der_length), hash, hash_size) == 1;
  OPENSSL_free(der);
  return valid ? kStatusSuccess : bad;
}

namespace test {

std::vector<uint8_t> LastDsaBlobHeader() {
  KeyPairTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.last_dsa_header;
}

void SetBadSignatureStatus(NTSTATUS status) { g_bad_signature.store(status != 0 ? status : kNteBadSignature); }

}  // namespace test

}  // namespace velmora::platform
