// HmacObject, the interface of an HMAC object a CryptoComponent holds (internal or platform), and
// InternalHmac, the library's own HMAC (RFC 2104) over a HashCtx.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"
#include "crypto/base/crypto_object.h"
#include "crypto/digest/hash_ctx.h"

namespace velmora::crypto {

// HmacObject is the interface of an HMAC object: the hash interface without Clone, keyed through
// SetAlgorithm.
class HmacObject : public component::CryptoObject {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  virtual const uint8_t* Digest() const = 0;
  virtual int32_t DigestLength() const = 0;
  // SetAlgorithm selects the digest and stores the key (a negative length counts as 0).
  [[nodiscard]] virtual int SetAlgorithm(int32_t id, const uint8_t* key, int32_t key_length) = 0;
  [[nodiscard]] virtual int Update(const void* data, int32_t length, int32_t finalize) = 0;
  virtual int Reset() = 0;
};

// InternalHmac is HMAC (RFC 2104) over a HashCtx. The padded key blocks are built before the first
// data of each message (block 128 bytes for SHA-512, SHA-512/224, SHA-512/256 and SHA-384, 64 for
// every other digest), so one object authenticates message after message without Reset.
class InternalHmac final : public HmacObject {
 public:
  InternalHmac() = default;
  ~InternalHmac() override;

  const uint8_t* Digest() const override { return ctx_.Output().Bytes(); }
  int32_t DigestLength() const override { return ctx_.Output().Length(); }
  [[nodiscard]] int SetAlgorithm(int32_t id, const uint8_t* key, int32_t key_length) override {
    return SetKey(id, key, key_length);
  }
  // Update (the object's slot): when the pads are built and there is no data only the finish runs
  // (when finalize is set); otherwise the data step runs first, so an empty message still gets its
  // inner block.
  [[nodiscard]] int Update(const void* data, int32_t length, int32_t finalize) override;
  int Reset() override;

  // SetKey selects the digest id (its error is returned, 2001 leaving the object as it was) and
  // stores the key; the pads are rebuilt before the next data.
  [[nodiscard]] int SetKey(int32_t id, const uint8_t* key, int32_t key_length);
  // Update (the data step) builds the pads when they are pending, then hashes the data.
  [[nodiscard]] int Update(const void* data, uint32_t length);
  // Final finishes the HMAC into Digest(); the next data starts a new message with the same key.
  [[nodiscard]] int Final();

  int32_t DigestId() const { return id_; }
  int32_t DigestBits() const { return HashDigestSize(id_) * 8; }

 private:
  int32_t BlockSize() const;

  // BuildPads hashes the key blocks for a new key; the states after the inner and after the outer
  // block are kept, so later messages with the same key start from copies of them.
  [[nodiscard]] int BuildPads();

  int32_t id_ = kHashSha1;
  core::SecureBuffer key_;
  HashCtx ctx_;
  int32_t pads_pending_ = 1;
  uint8_t outer_pad_[128] = {};
  HashCtx inner_start_;
  HashCtx outer_start_;
  bool starts_ready_ = false;  // inner_start_ and outer_start_ belong to the current key
};

}  // namespace velmora::crypto
