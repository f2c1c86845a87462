#include "platform/crypto/hash_modules.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <iterator>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/cipher_internal.h"
#include "platform/win_codes.h"

namespace velmora::platform {

// BcryptHashObject is what a hash handle points at: an EVP digest or HMAC context with its own reference to
// the digest, so that it outlives the algorithm handle it was made from.
struct BcryptHashObject {
  EVP_MD* md = nullptr;
  EVP_MD_CTX* digest = nullptr;  // plain hashes
  EVP_MAC_CTX* mac = nullptr;    // HMAC
  ULONG length = 0;
  bool reusable = false;
  bool finished = false;  // a non-reusable object after its digest
};

namespace {

constexpr ULONG kHashObjectLength = 512;

struct HashName {
  const char16_t* name;
  const char* evp_name;
};
constexpr HashName kHashNames[] = {
    {u"SHA1", "SHA1"}, {u"SHA256", "SHA2-256"}, {u"SHA384", "SHA2-384"}, {u"SHA512", "SHA2-512"}, {u"MD5", "MD5"},
};

std::atomic<bool> g_reusable_refused{false};

// The open hash objects. Stale or foreign handles are recognised and refused.
struct HashTable {
  std::mutex mutex;
  std::unordered_set<const void*> open;
};

// Never destroyed: an object destroyed during process exit may still look itself up here.
HashTable& Hashes() {
  static HashTable* table = new HashTable;
  return *table;
}

BcryptHashObject* FindHash(const void* handle) {
  HashTable& table = Hashes();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (handle == nullptr || table.open.count(handle) == 0) return nullptr;
  return static_cast<BcryptHashObject*>(const_cast<void*>(handle));
}

void FreeHash(BcryptHashObject* hash) {
  EVP_MD_CTX_free(hash->digest);
  EVP_MAC_CTX_free(hash->mac);
  EVP_MD_free(hash->md);
  delete hash;
}

void Publish(BcryptHashObject* hash, BCRYPT_HASH_HANDLE* out) {
  HashTable& table = Hashes();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.open.insert(hash);
  *out = hash;
}

bool ValidObjectBuffer(const uint8_t* hash_object, ULONG size) {
  return hash_object != nullptr || size == 0;
}

// Restart begins a new message: the digest again, or the HMAC with the key it holds.
bool Restart(BcryptHashObject& hash) {
  if (hash.mac != nullptr) return EVP_MAC_init(hash.mac, nullptr, 0, nullptr) == 1;
  return EVP_DigestInit_ex2(hash.digest, hash.md, nullptr) == 1;
}

}  // namespace

NTSTATUS OpenHashAlgorithm(const char16_t* algorithm_id, ULONG flags, BcryptAlgorithmObject** out) {
  const HashName* found = nullptr;
  for (const HashName& entry : kHashNames) {
    if (CompareCryptNames(algorithm_id, entry.name) == 0) found = &entry;
  }
  if (found == nullptr) return kStatusNotFound;
  if ((flags & ~(kBcryptAlgHandleHmacFlag | kBcryptHashReusableFlag)) != 0 ||
      ((flags & kBcryptHashReusableFlag) != 0 && g_reusable_refused.load())) {
    return kStatusInvalidParameter;
  }
  auto* object = new (std::nothrow) BcryptAlgorithmObject;
  if (object == nullptr) return kStatusNoMemory;
  object->is_hash = true;
  object->hmac = (flags & kBcryptAlgHandleHmacFlag) != 0;
  object->reusable = (flags & kBcryptHashReusableFlag) != 0;
  object->md = EVP_MD_fetch(nullptr, found->evp_name, nullptr);
  if (object->hmac) object->mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (object->md == nullptr || (object->hmac && object->mac == nullptr)) {
    CloseHashAlgorithm(object);
    delete object;
    return kStatusNotSupported;
  }
  *out = object;
  return kStatusSuccess;
}

void CloseHashAlgorithm(BcryptAlgorithmObject* algorithm) {
  EVP_MD_free(algorithm->md);
  EVP_MAC_free(algorithm->mac);
  algorithm->md = nullptr;
  algorithm->mac = nullptr;
}

int LiveHashHandles() {
  HashTable& table = Hashes();
  std::lock_guard<std::mutex> lock(table.mutex);
  return static_cast<int>(table.open.size());
}

NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, uint8_t* hash_object,
                          ULONG hash_object_size, const uint8_t* secret, ULONG secret_size, ULONG flags) {
  CountCryptoCall("BCryptCreateHash");
  const BcryptAlgorithmObject* owner = FindAlgorithm(algorithm);
  if (owner == nullptr || !owner->is_hash) return kStatusInvalidHandle;
  if (hash == nullptr || !ValidObjectBuffer(hash_object, hash_object_size) ||
      (flags & ~kBcryptHashReusableFlag) != 0 || (secret == nullptr && secret_size != 0) ||
      (!owner->hmac && secret_size != 0)) {
    return kStatusInvalidParameter;
  }
  if ((flags & kBcryptHashReusableFlag) != 0 && g_reusable_refused.load()) return kStatusInvalidParameter;
  if (hash_object != nullptr && hash_object_size < kHashObjectLength) return kStatusBufferTooSmall;
  auto* object = new (std::nothrow) BcryptHashObject;
  if (object == nullptr) return kStatusNoMemory;
  object->reusable = (flags & kBcryptHashReusableFlag) != 0;
  object->length = static_cast<ULONG>(EVP_MD_get_size(owner->md));
  bool ready = EVP_MD_up_ref(owner->md) == 1;
  object->md = ready ? owner->md : nullptr;
  if (ready && owner->hmac) {
    static constexpr uint8_t kNoKey = 0;
    object->mac = EVP_MAC_CTX_new(owner->mac);
    char digest_name[64];
    OPENSSL_strlcpy(digest_name, EVP_MD_get0_name(owner->md), sizeof digest_name);
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                                 OSSL_PARAM_construct_end()};
    ready = object->mac != nullptr &&
            EVP_MAC_init(object->mac, secret_size != 0 ? secret : &kNoKey, secret_size, params) == 1;
  } else if (ready) {
    object->digest = EVP_MD_CTX_new();
    ready = object->digest != nullptr && EVP_DigestInit_ex2(object->digest, object->md, nullptr) == 1;
  }
  if (!ready) {
    FreeHash(object);
    return kStatusUnsuccessful;
  }
  if (hash_object != nullptr) std::fill(hash_object, hash_object + kHashObjectLength, uint8_t{0});
  Publish(object, hash);
  return kStatusSuccess;
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, const uint8_t* input, ULONG input_size, ULONG flags) {
  CountCryptoCall("BCryptHashData");
  BcryptHashObject* object = FindHash(hash);
  if (object == nullptr || object->finished) return kStatusInvalidHandle;
  if (flags != 0 || (input == nullptr && input_size != 0)) return kStatusInvalidParameter;
  if (input_size == 0) return kStatusSuccess;
  const int done = object->mac != nullptr ? EVP_MAC_update(object->mac, input, input_size)
                                          : EVP_DigestUpdate(object->digest, input, input_size);
  return done == 1 ? kStatusSuccess : kStatusUnsuccessful;
}

NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, uint8_t* output, ULONG output_size, ULONG flags) {
  CountCryptoCall("BCryptFinishHash");
  BcryptHashObject* object = FindHash(hash);
  if (object == nullptr || object->finished) return kStatusInvalidHandle;
  if (flags != 0 || output == nullptr || output_size != object->length) return kStatusInvalidParameter;
  bool done;
  if (object->mac != nullptr) {
    size_t written = 0;
    done = EVP_MAC_final(object->mac, output, &written, output_size) == 1 && written == output_size;
  } else {
    done = EVP_DigestFinal_ex(object->digest, output, nullptr) == 1;
  }
  if (!done) return kStatusUnsuccessful;
  if (!object->reusable) {
    object->finished = true;
    return kStatusSuccess;
  }
  return Restart(*object) ? kStatusSuccess : kStatusUnsuccessful;
}

NTSTATUS BCryptDuplicateHash(BCRYPT_HASH_HANDLE hash, BCRYPT_HASH_HANDLE* duplicate, uint8_t* hash_object,
                             ULONG hash_object_size, ULONG flags) {
  CountCryptoCall("BCryptDuplicateHash");
  const BcryptHashObject* object = FindHash(hash);
  if (object == nullptr || object->finished) return kStatusInvalidHandle;
  if (duplicate == nullptr || flags != 0 || !ValidObjectBuffer(hash_object, hash_object_size)) {
    return kStatusInvalidParameter;
  }
  if (hash_object != nullptr && hash_object_size < kHashObjectLength) return kStatusBufferTooSmall;
  auto* copy = new (std::nothrow) BcryptHashObject;
  if (copy == nullptr) return kStatusNoMemory;
  copy->length = object->length;
  copy->reusable = object->reusable;
  bool ready = EVP_MD_up_ref(object->md) == 1;
  copy->md = ready ? object->md : nullptr;
  if (ready && object->mac != nullptr) {
    copy->mac = EVP_MAC_CTX_dup(object->mac);
    ready = copy->mac != nullptr;
  } else if (ready) {
    copy->digest = EVP_MD_CTX_new();
    ready = copy->digest != nullptr && EVP_MD_CTX_copy_ex(copy->digest, object->digest) == 1;
  }
  if (!ready) {
    FreeHash(copy);
    return kStatusUnsuccessful;
  }
  Publish(copy, duplicate);
  return kStatusSuccess;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) {
  CountCryptoCall("BCryptDestroyHash");
  {
    HashTable& table = Hashes();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (hash == nullptr || table.open.erase(hash) == 0) return kStatusInvalidHandle;
  }
  FreeHash(hash);
  return kStatusSuccess;
}

NTSTATUS BCryptDeriveKeyPBKDF2(BCRYPT_ALG_HANDLE prf, const uint8_t* password, ULONG password_size,
                               const uint8_t* salt, ULONG salt_size, ULONGLONG iterations, uint8_t* output,
                               ULONG output_size, ULONG flags) {
  CountCryptoCall("BCryptDeriveKeyPBKDF2");
  const BcryptAlgorithmObject* owner = FindAlgorithm(prf);
  if (owner == nullptr || !owner->is_hash || !owner->hmac) return kStatusInvalidHandle;
  if (flags != 0 || iterations == 0 || iterations > static_cast<ULONGLONG>(INT_MAX) || output == nullptr ||
      (password == nullptr && password_size != 0) || (salt == nullptr && salt_size != 0) ||
      password_size > static_cast<ULONG>(INT_MAX) || salt_size > static_cast<ULONG>(INT_MAX) ||
      output_size > static_cast<ULONG>(INT_MAX)) {
    return kStatusInvalidParameter;
  }
  static constexpr uint8_t kEmpty = 0;
  const int done = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password != nullptr ? password : &kEmpty),
                                     static_cast<int>(password_size), salt != nullptr ? salt : &kEmpty,
                                     static_cast<int>(salt_size), static_cast<int>(iterations), owner->md,
                                     static_cast<int>(output_size), output);
  return done == 1 ? kStatusSuccess : kStatusUnsuccessful;
}

namespace test {

void SetReusableHashRefused(bool refused) { g_reusable_refused.store(refused); }

}  // namespace test

}  // namespace velmora::platform
