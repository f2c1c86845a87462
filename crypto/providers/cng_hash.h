// CngHash and CngHmac, the platform twins of InternalHash and InternalHmac: the same slots, with the work
// done by the platform's BCrypt hash functions (provider_tables.h), and CngPbkdf2, PBKDF2 through the
// platform. Algorithms by platform id: 0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512.
//
// Codes: 600 for an id outside 0..3 or while the hash table is not loaded; -1 when the algorithm cannot
// be opened; a failing platform status passes through unchanged. Each object is used by one thread at a
// time; the algorithm handles they share are opened once for the process.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/digest/hash_object.h"
#include "crypto/mac/hmac.h"
#include "platform/crypto/hash_types.h"

namespace velmora::crypto {

constexpr int32_t kCngSha1 = 0;
constexpr int32_t kCngSha256 = 1;
constexpr int32_t kCngSha384 = 2;
constexpr int32_t kCngSha512 = 3;
constexpr int32_t kCngNoAlgorithm = 99;

class CngHash final : public HashObject {
 public:
  CngHash() = default;
  ~CngHash() override;

  const uint8_t* Digest() const override { return digest_.Bytes(); }
  int32_t DigestLength() const override { return digest_.Length(); }
  // SetAlgorithm opens (once per process) the algorithm of the id and makes the hash object: 0, 600, -1 or
  // the platform's status.
  [[nodiscard]] int SetAlgorithm(int32_t id) override;
  [[nodiscard]] int Update(const void* data, int32_t length, int32_t finalize) override {
    return HashData(data, length, finalize);
  }
  // Reset empties the digest and readies the object for a new message with the same algorithm and key.
  int Reset() override;
  // Clone duplicates the platform object mid-message; null when that fails.
  HashObject* Clone() const override;

  // HashData hashes the data when it is not null and length is at least 1; with finalize it writes the
  // digest (of everything since the last finish or reset) into Digest().
  [[nodiscard]] int HashData(const void* data, int32_t length, int32_t finalize);

  // For CngHmac: SetHmac marks the object as an HMAC with key (kept for the object's life).
  [[nodiscard]] int SetHmac(const uint8_t* key, int32_t key_length);
  int32_t AlgorithmId() const { return id_; }
  bool Reusable() const { return reusable_; }

 private:
  int CreateObject();
  void DestroyObject();

  int32_t id_ = kCngNoAlgorithm;
  platform::BCRYPT_HASH_HANDLE hash_ = nullptr;
  platform::BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  core::Buffer digest_;
  bool reusable_ = false;
  core::SecureBuffer key_;
  bool hmac_ = false;
  bool pending_ = false;  // data hashed since the last finish
};

class CngHmac final : public HmacObject {
 public:
  CngHmac() = default;
  ~CngHmac() override = default;

  const uint8_t* Digest() const override { return hash_.Digest(); }
  int32_t DigestLength() const override { return hash_.DigestLength(); }
  [[nodiscard]] int SetAlgorithm(int32_t id, const uint8_t* key, int32_t key_length) override {
    return SetKey(id, key, key_length);
  }
  [[nodiscard]] int Update(const void* data, int32_t length, int32_t finalize) override {
    return hash_.HashData(data, length, finalize);
  }
  int Reset() override { return hash_.Reset(); }

  // SetKey keys the member with key (a null key or a length below 1 is the empty key) and selects id.
  [[nodiscard]] int SetKey(int32_t id, const uint8_t* key, int32_t key_length);
  const CngHash& Member() const { return hash_; }

 private:
  CngHash hash_;
};

// CngPbkdf2 derives key_length bytes into out with PBKDF2 over the platform's HMAC of the HMAC engine id
// (45 SHA-1, 46 MD5, 47 SHA-256, 49 SHA-512, 50 SHA-384; 9998 for others): 0; 600 while the PBKDF2 table
// is not loaded; -1 when the algorithm cannot be opened; the platform's status.
[[nodiscard]] int CngPbkdf2(int32_t hmac_id, const uint8_t* password, int32_t password_length, const uint8_t* salt,
                            int32_t salt_length, int32_t iterations, int32_t key_length, uint8_t* out);

}  // namespace velmora::crypto
