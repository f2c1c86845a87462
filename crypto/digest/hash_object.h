// HashObject, the interface of a digest object a CryptoComponent holds (internal or platform), and
// InternalHash, the library's own digest object over one HashCtx.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/base/crypto_object.h"
#include "crypto/digest/hash_ctx.h"

namespace velmora::crypto {

// HashObject is the interface of a digest object (internal or platform). Instances come from the
// library's allocator; `new` gives null when memory runs out.
class HashObject : public component::CryptoObject {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  // Digest and DigestLength: the last digest; valid until the object changes.
  virtual const uint8_t* Digest() const = 0;
  virtual int32_t DigestLength() const = 0;
  // SetAlgorithm selects a HashAlgorithmId; 0 or the context's code.
  [[nodiscard]] virtual int SetAlgorithm(int32_t id) = 0;
  // Update feeds data (nothing for null or length < 1) and, when finalize is nonzero, finishes.
  [[nodiscard]] virtual int Update(const void* data, int32_t length, int32_t finalize) = 0;
  virtual int Reset() = 0;
  // Clone returns an independent copy (owned by the caller), or null when memory runs out.
  virtual HashObject* Clone() const = 0;
};

// InternalHash is the hash object over one HashCtx.
class InternalHash final : public HashObject {
 public:
  InternalHash() = default;
  ~InternalHash() override;

  const uint8_t* Digest() const override { return ctx_.Output().Bytes(); }
  int32_t DigestLength() const override { return ctx_.Output().Length(); }
  [[nodiscard]] int SetAlgorithm(int32_t id) override { return ctx_.SetAlgorithm(id); }
  [[nodiscard]] int Update(const void* data, int32_t length, int32_t finalize) override;
  int Reset() override { return ctx_.Reset(); }
  HashObject* Clone() const override;

  HashCtx& Ctx() { return ctx_; }

 private:
  HashCtx ctx_;
};

}  // namespace velmora::crypto
