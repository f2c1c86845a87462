#include "crypto/providers/cng_hash.h"

#include "crypto/digest/hash_ctx.h"
#include "crypto/providers/provider_tables.h"
#include "platform/win_codes.h"

namespace velmora::crypto {

namespace plat = velmora::platform;

namespace {

constexpr int kNotLoaded = kNoPlatformProvider;
constexpr int kCannotOpen = -1;

// HashFunctionsLoaded: every function a hash object calls is there.
bool HashFunctionsLoaded() {
  for (int function : {hash_fn::kOpenAlgorithmProvider, hash_fn::kCreateHash, hash_fn::kHashData,
                       hash_fn::kFinishHash, hash_fn::kDestroyHash}) {
    if (ProviderFunction(ProviderTable::kHash, function) == nullptr) return false;
  }
  return true;
}

template <typename Fn>
Fn HashFunction(int function) {
  return ProviderFunctionAs<Fn>(ProviderTable::kHash, function);
}

int32_t DigestBytes(int32_t id) {
  switch (id) {
    case kCngSha1:
      return 20;
    case kCngSha256:
      return 32;
    case kCngSha384:
      return 48;
    case kCngSha512:
      return 64;
    default:
      return -1;
  }
}

}  // namespace

CngHash::~CngHash() { DestroyObject(); }

void CngHash::DestroyObject() {
  if (hash_ == nullptr) return;
  if (auto destroy = HashFunction<plat::BCryptDestroyHashFn>(hash_fn::kDestroyHash)) (void)destroy(hash_);
  hash_ = nullptr;
}

int CngHash::CreateObject() {
  auto create = HashFunction<plat::BCryptCreateHashFn>(hash_fn::kCreateHash);
  if (create == nullptr) return kNotLoaded;
  pending_ = false;
  return create(algorithm_, &hash_, nullptr, 0, hmac_ ? key_.Bytes() : nullptr,
                hmac_ ? static_cast<plat::ULONG>(key_.Length()) : 0, reusable_ ? plat::kBcryptHashReusableFlag : 0);
}

int CngHash::SetHmac(const uint8_t* key, int32_t key_length) {
  hmac_ = true;
  if (key != nullptr && key_length >= 1) return key_.SetData(key_length, key);
  return key_.Clear();
}

int CngHash::SetAlgorithm(int32_t id) {
  id_ = id;
  if (DigestBytes(id) < 0) return kNotLoaded;
  if (!HashFunctionsLoaded()) return kNotLoaded;
  bool reusable = false;
  plat::BCRYPT_ALG_HANDLE algorithm = CachedHashAlgorithm(id + (hmac_ ? 4 : 0), &reusable);
  if (algorithm == nullptr) return kCannotOpen;
  DestroyObject();
  algorithm_ = algorithm;
  reusable_ = reusable;
  (void)digest_.Clear();
  return CreateObject();
}

int CngHash::HashData(const void* data, int32_t length, int32_t finalize) {
  if (data != nullptr && length >= 1) {
    auto hash_data = HashFunction<plat::BCryptHashDataFn>(hash_fn::kHashData);
    if (hash_data == nullptr) return kNotLoaded;
    const plat::NTSTATUS status =
        hash_data(hash_, static_cast<const uint8_t*>(data), static_cast<plat::ULONG>(length), 0);
    if (status != plat::kStatusSuccess) return status;
    pending_ = true;
  }
  if (finalize == 0) return 0;
  const int32_t size = DigestBytes(id_);
  if (size < 0) return kNotLoaded;
  auto finish = HashFunction<plat::BCryptFinishHashFn>(hash_fn::kFinishHash);
  if (finish == nullptr) return kNotLoaded;
  const int rc = digest_.Resize(size);
  if (rc != 0) return rc;
  pending_ = false;
  return finish(hash_, reinterpret_cast<uint8_t*>(digest_.Data()), static_cast<plat::ULONG>(size), 0);
}

int CngHash::Reset() {
  (void)digest_.Clear();
  // A reusable object starts over by itself after a finish; one with data since then must be made anew too.
  if (reusable_ && !pending_) return 0;
  if (algorithm_ == nullptr) return 0;
  DestroyObject();
  if (!HashFunctionsLoaded()) return kNotLoaded;
  return CreateObject();
}

HashObject* CngHash::Clone() const {
  auto duplicate = HashFunction<plat::BCryptDuplicateHashFn>(hash_fn::kDuplicateHash);
  if (duplicate == nullptr || hash_ == nullptr) return nullptr;
  auto* copy = new CngHash;
  if (copy == nullptr) return nullptr;
  if (duplicate(hash_, &copy->hash_, nullptr, 0, 0) != plat::kStatusSuccess ||
      copy->digest_.Assign(digest_) != 0 || copy->key_.Assign(key_) != 0) {
    delete copy;
    return nullptr;
  }
  copy->id_ = id_;
  copy->algorithm_ = algorithm_;
  copy->reusable_ = reusable_;
  copy->hmac_ = hmac_;
  copy->pending_ = pending_;
  return copy;
}

int CngHmac::SetKey(int32_t id, const uint8_t* key, int32_t key_length) {
  const int rc = hash_.SetHmac(key, key_length);
  if (rc != 0) return rc;
  return hash_.SetAlgorithm(id);
}

int CngPbkdf2(int32_t hmac_id, const uint8_t* password, int32_t password_length, const uint8_t* salt,
              int32_t salt_length, int32_t iterations, int32_t key_length, uint8_t* out) {
  int slot;
  switch (hmac_id) {
    case kEngineHmacSha1:
      slot = 0;
      break;
    case kEngineHmacSha256:
      slot = 1;
      break;
    case kEngineHmacSha384:
      slot = 2;
      break;
    case kEngineHmacSha512:
      slot = 3;
      break;
    case kEngineHmacMd5:
      slot = 4;
      break;
    default:
      return kNoInternalDigest;
  }
  auto derive = ProviderFunctionAs<plat::BCryptDeriveKeyPbkdf2Fn>(ProviderTable::kPbkdf2, pbkdf2_fn::kDeriveKeyPbkdf2);
  if (derive == nullptr || ProviderFunction(ProviderTable::kPbkdf2, pbkdf2_fn::kOpenAlgorithmProvider) == nullptr) {
    return kNotLoaded;
  }
  plat::BCRYPT_ALG_HANDLE algorithm = CachedPbkdf2Algorithm(slot);
  if (algorithm == nullptr) return kCannotOpen;
  if (password_length < 0 || salt_length < 0 || key_length < 0 || iterations < 0) return kCannotOpen;
  return derive(algorithm, password, static_cast<plat::ULONG>(password_length), salt,
                static_cast<plat::ULONG>(salt_length), static_cast<plat::ULONGLONG>(iterations), out,
                static_cast<plat::ULONG>(key_length), 0);
}

}  // namespace velmora::crypto
