#include "crypto/providers/cng_dh.h"

#include <algorithm>
#include <cstring>

#include "component/component_base.h"
#include "crypto/bn/integer_bytes.h"
#include "crypto/keys/provider_mode.h"
#include "crypto/providers/provider_tables.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/keypair_types.h"
#include "platform/win_codes.h"

namespace velmora::crypto {

namespace {

namespace plat = velmora::platform;

// The process default provider mode: internal, and nothing in the system changes it.
constexpr uint32_t kDefaultProviderMode = kProviderInternal;
constexpr int kNotLoaded = -1;
constexpr int kBadShape = -2;
constexpr int32_t kMaxName = 63;
constexpr char16_t kPrimitiveProvider[] = u"Microsoft Primitive Provider";

// Agreement holds the agreement table's functions; Loaded says whether every one is there.
struct Agreement {
  template <typename Fn>
  static Fn Get(int function) {
    return ProviderFunctionAs<Fn>(ProviderTable::kAgreement, function);
  }
  plat::BCryptDestroyKeyFn destroy_key = Get<plat::BCryptDestroyKeyFn>(agreement_fn::kDestroyKey);
  plat::BCryptImportKeyPairFn import = Get<plat::BCryptImportKeyPairFn>(agreement_fn::kImportKeyPair);
  plat::BCryptGenerateKeyPairFn generate = Get<plat::BCryptGenerateKeyPairFn>(agreement_fn::kGenerateKeyPair);
  plat::BCryptSetPropertyFn set_property = Get<plat::BCryptSetPropertyFn>(agreement_fn::kSetProperty);
  plat::BCryptFinalizeKeyPairFn finalize = Get<plat::BCryptFinalizeKeyPairFn>(agreement_fn::kFinalizeKeyPair);
  plat::BCryptExportKeyFn export_key = Get<plat::BCryptExportKeyFn>(agreement_fn::kExportKey);
  plat::BCryptSecretAgreementFn agree = Get<plat::BCryptSecretAgreementFn>(agreement_fn::kSecretAgreement);
  plat::BCryptDeriveKeyFn derive = Get<plat::BCryptDeriveKeyFn>(agreement_fn::kDeriveKey);
  plat::BCryptDestroySecretFn destroy_secret = Get<plat::BCryptDestroySecretFn>(agreement_fn::kDestroySecret);

  bool Loaded() const {
    return destroy_key != nullptr && import != nullptr && generate != nullptr && set_property != nullptr &&
           finalize != nullptr && export_key != nullptr && agree != nullptr && derive != nullptr &&
           destroy_secret != nullptr && ProviderFunction(ProviderTable::kAgreement, agreement_fn::kOpenAlgorithmProvider);
  }
};

// KeyHolder destroys a key handle when it goes.
struct KeyHolder {
  plat::BCryptDestroyKeyFn destroy;
  plat::BCRYPT_KEY_HANDLE handle = nullptr;
  ~KeyHolder() {
    if (handle != nullptr) (void)destroy(handle);
  }
};

struct SecretHolder {
  plat::BCryptDestroySecretFn destroy;
  plat::BCRYPT_SECRET_HANDLE handle = nullptr;
  ~SecretHolder() {
    if (handle != nullptr) (void)destroy(handle);
  }
};

// FittedBytes writes value big-endian as exactly width bytes.
int FittedBytes(const BigInt& value, int32_t width, core::BufferCore& out) {
  const int rc = value.ToBytes(out);
  return rc != 0 ? rc : FitBytesToLength(width, out);
}

int AppendUlong(core::BufferCore& out, uint32_t value) { return out.Append(&value, sizeof value); }

// Widen copies an ASCII name into a NUL-terminated UTF-16 one.
bool Widen(const char* name, size_t length, char16_t (&out)[kMaxName + 1]) {
  if (length > kMaxName) return false;
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(name[i]));
  out[length] = 0;
  return true;
}

// KeyBlob writes a "DHPUBLICBLOB" (private null) or "DHPRIVATEBLOB" of parts fitted to length.
int KeyBlob(int32_t length, const core::BufferCore& prime, const core::BufferCore& generator,
            const core::BufferCore& public_value, const core::BufferCore* private_value, core::BufferCore& out) {
  int rc;
  if ((rc = AppendUlong(out, private_value != nullptr ? plat::kDhPrivateMagic : plat::kDhPublicMagic)) != 0 ||
      (rc = AppendUlong(out, static_cast<uint32_t>(length))) != 0 || (rc = out.Append(prime)) != 0 ||
      (rc = out.Append(generator)) != 0 || (rc = out.Append(public_value)) != 0) {
    return rc;
  }
  return private_value != nullptr ? out.Append(*private_value) : 0;
}

int Import(const Agreement& f, plat::BCRYPT_ALG_HANDLE algorithm, const char16_t* type, const core::BufferCore& blob,
           KeyHolder& key) {
  return f.import(algorithm, nullptr, type, &key.handle, blob.Bytes(), static_cast<plat::ULONG>(blob.Length()), 0);
}

}  // namespace

int CngDhAgreement(const BigInt& generator, const BigInt& prime, BigInt& public_value, BigInt& private_value) {
  const Agreement f;
  if (!f.Loaded()) return kNotLoaded;
  core::Buffer p, g;
  int rc = prime.ToBytes(p);
  if (rc != 0) return rc;
  const int32_t length = DhKeyLength(p.Length());
  if ((rc = FitBytesToLength(length, p)) != 0 || (rc = FittedBytes(generator, length, g)) != 0) return rc;
  plat::BCRYPT_ALG_HANDLE algorithm = nullptr;
  if ((rc = CachedDhAlgorithm(kPrimitiveProvider, &algorithm)) != 0) return rc;
  KeyHolder key{f.destroy_key};
  if ((rc = f.generate(algorithm, &key.handle, static_cast<plat::ULONG>(length) * 8, 0)) != 0) return rc;
  core::Buffer parameters;
  if ((rc = AppendUlong(parameters, static_cast<uint32_t>(2 * length + plat::kDhParameterHeaderSize))) != 0 ||
      (rc = AppendUlong(parameters, plat::kDhParametersMagic)) != 0 ||
      (rc = AppendUlong(parameters, static_cast<uint32_t>(length))) != 0 || (rc = parameters.Append(p)) != 0 ||
      (rc = parameters.Append(g)) != 0) {
    return rc;
  }
  if ((rc = f.set_property(key.handle, u"DHParameters", parameters.Bytes(),
                           static_cast<plat::ULONG>(parameters.Length()), 0)) != 0 ||
      (rc = f.finalize(key.handle, 0)) != 0) {
    return rc;
  }
  plat::ULONG size = 0;
  if ((rc = f.export_key(key.handle, nullptr, u"DHPRIVATEBLOB", nullptr, 0, &size, 0)) != 0) return rc;
  core::SecureBuffer blob;
  if ((rc = blob.Resize(static_cast<int32_t>(size))) != 0) return rc;
  rc = f.export_key(key.handle, nullptr, u"DHPRIVATEBLOB", reinterpret_cast<uint8_t*>(blob.Data()), size, &size, 0);
  if (rc != 0) return rc;
  const int64_t needed = plat::kDhKeyBlobHeaderSize + 4 * static_cast<int64_t>(length);
  if (static_cast<int64_t>(size) < needed) return kBadShape;
  const uint8_t* values = blob.Bytes() + plat::kDhKeyBlobHeaderSize + 2 * length;
  if ((rc = BigInt::FromBytes(values, length, 1, public_value)) != 0) return rc;
  return BigInt::FromBytes(values + length, length, 1, private_value);
}

int CngDiffieHellman(const BigInt& peer_public, const BigInt& own_private, const BigInt& prime,
                     core::BufferCore& secret, const BigInt* own_public, const BigInt* generator,
                     const char* kdf_name, const char* hash_name, int32_t hash_name_length, const uint8_t* prepend,
                     int32_t prepend_length, const uint8_t* append, int32_t append_length) {
  const Agreement f;
  if (!f.Loaded()) return kNotLoaded;
  plat::BCRYPT_ALG_HANDLE algorithm = nullptr;
  int rc = CachedDhAlgorithm(nullptr, &algorithm);
  if (rc != 0) return rc;
  const bool hashed = hash_name != nullptr && hash_name_length > 0;
  char16_t kdf[kMaxName + 1];
  char16_t hash[kMaxName + 1];
  if (kdf_name == nullptr || !Widen(kdf_name, std::strlen(kdf_name), kdf) ||
      (hashed && !Widen(hash_name, static_cast<size_t>(hash_name_length), hash))) {
    return kBadShape;
  }
  core::Buffer peer, p, g, mine;
  core::SecureBuffer x;
  if ((rc = prime.ToBytes(p)) != 0) return rc;
  // The key length comes from the prime, whatever the other numbers look like.
  const int32_t length = DhKeyLength(p.Length());
  if ((rc = FitBytesToLength(length, p)) != 0 || (rc = FittedBytes(peer_public, length, peer)) != 0 ||
      (rc = FittedBytes(own_private, length, x)) != 0) {
    return rc;
  }
  if (generator != nullptr) {
    rc = FittedBytes(*generator, length, g);
  } else {
    rc = g.AppendByte(2);
    if (rc == 0) rc = FitBytesToLength(length, g);
  }
  if (rc != 0) return rc;
  rc = own_public != nullptr ? FittedBytes(*own_public, length, mine) : FitBytesToLength(length, mine);
  if (rc != 0) return rc;

  core::Buffer peer_blob;
  core::SecureBuffer own_blob;
  KeyHolder peer_key{f.destroy_key};
  KeyHolder own_key{f.destroy_key};
  if ((rc = KeyBlob(length, p, g, peer, nullptr, peer_blob)) != 0 || (rc = KeyBlob(length, p, g, mine, &x, own_blob)) != 0 ||
      (rc = Import(f, algorithm, u"DHPUBLICBLOB", peer_blob, peer_key)) != 0 ||
      (rc = Import(f, algorithm, u"DHPRIVATEBLOB", own_blob, own_key)) != 0) {
    return rc;
  }
  SecretHolder agreed{f.destroy_secret};
  if ((rc = f.agree(own_key.handle, peer_key.handle, &agreed.handle, 0)) != 0) return rc;

  plat::BCryptBuffer buffers[3] = {};
  if (hashed) {
    buffers[0] = {static_cast<plat::ULONG>(2 * (hash_name_length + 1)), plat::kKdfHashAlgorithm, hash};
    buffers[1] = {static_cast<plat::ULONG>(prepend_length > 0 ? prepend_length : 0), plat::kKdfSecretPrepend,
                  const_cast<uint8_t*>(prepend)};
    buffers[2] = {static_cast<plat::ULONG>(append_length > 0 ? append_length : 0), plat::kKdfSecretAppend,
                  const_cast<uint8_t*>(append)};
  }
  plat::BCryptBufferDesc list{plat::kBcryptBufferVersion, 3, buffers};
  plat::ULONG size = 0;
  if ((rc = f.derive(agreed.handle, kdf, &list, nullptr, 0, &size, 0)) != 0) return rc;
  core::SecureBuffer derived;
  if ((rc = derived.Resize(static_cast<int32_t>(size))) != 0) return rc;
  rc = f.derive(agreed.handle, kdf, &list, reinterpret_cast<uint8_t*>(derived.Data()), size, &size, 0);
  if (rc != 0) return rc;
  // NOTE: the platform gives the underived secret least significant byte first.
  if (!hashed) std::reverse(derived.Data(), derived.Data() + size);
  return secret.SetData(static_cast<int32_t>(size), derived.Data());
}

int CngDhDeriveKey(const BigInt& peer_public, const BigInt* own_public, const BigInt& own_private,
                   const BigInt& prime, const BigInt* generator, core::BufferCore& secret, const char* kdf_name,
                   const char* hash_name, int32_t hash_name_length, const uint8_t* prepend, int32_t prepend_length,
                   const uint8_t* append, int32_t append_length) {
  char upper[kMaxName + 1] = {};
  const bool hashed = hash_name != nullptr && hash_name_length > 0;
  if (hashed) {
    if (hash_name_length > kMaxName) return kBadShape;
    for (int32_t i = 0; i < hash_name_length; ++i) {
      const char c = hash_name[i];
      upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
  }
  return CngDiffieHellman(peer_public, own_private, prime, secret, own_public, generator, kdf_name,
                          hashed ? upper : nullptr, hashed ? hash_name_length : 0, prepend, prepend_length, append,
                          append_length);
}

int DhModPow(const BigInt& base, const BigInt& exponent, const BigInt& modulus, BigInt& result) {
  if (kDefaultProviderMode == kProviderInternal && component::UseFIPSCompliantAPI() == 0) {
    return BigInt::ModPow(base, exponent, modulus, result);
  }
  BigInt two;
  int rc = BigInt::FromInt64(2, two);
  if (rc != 0) return rc;
  core::SecureBuffer secret;
  rc = CngDiffieHellman(base, exponent, modulus, secret, nullptr, &two, "TRUNCATE", nullptr, 0, nullptr, 0, nullptr, 0);
  if (rc != 0) return rc;
  return BigInt::FromBytes(secret.Bytes(), secret.Length(), 1, result);
}

}  // namespace velmora::crypto
