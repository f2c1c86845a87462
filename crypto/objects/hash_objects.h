// The hash and HMAC objects a CryptoComponent holds, the selection of a digest or HMAC by engine id or
// name, and the one-shot operations the rest of the system calls to hash or authenticate bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/digest/hash_ctx.h"
#include "crypto/keys/provider_mode.h"

namespace velmora::crypto {

// ResolveProviderMode turns a requested provider mode into kProviderInternal or kProviderPlatform: FIPS
// mode always needs the platform; the default mode moves an algorithm with a platform form there on a
// system of major version 6 or later unless the internal-only setting is on.
uint32_t ResolveProviderMode(uint32_t mode, bool has_platform_form);
// KeepOrRelease drops the held object unless it was made for this id and requested mode; the
// component keeps its stored id and mode either way until a new object is held.
void KeepOrRelease(component::CryptoComponent& component, int32_t engine_id, uint32_t mode);

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

// HeldHash and HeldHmac return the component's object as a hash or HMAC object, or null.
HashObject* HeldHash(const component::CryptoComponent& component);
HmacObject* HeldHmac(const component::CryptoComponent& component);

// SelectHashProvider makes the component hold a digest object for engine id 23..44: 0; 9999 when FIPS
// mode refuses the id; 600 when the platform is required (it has no provider here); 9998 for an id
// without an internal digest; 200 when memory runs out. Ids 41..44 are SHA3-224..512 with Keccak padding.
[[nodiscard]] int SelectHashProvider(component::CryptoComponent& component, int32_t engine_id, uint32_t mode);
// SelectHashByName selects by digest name (HashNameToEngineId); an unknown name gives 9998.
[[nodiscard]] int SelectHashByName(component::CryptoComponent& component, const char* name, uint32_t mode);
// SelectHmacProvider makes the component hold an HMAC object for engine id 45..51 keyed with key:
// 0, or 9999, 600, 9998, 200 as SelectHashProvider.
[[nodiscard]] int SelectHmacProvider(component::CryptoComponent& component, int32_t engine_id, const uint8_t* key,
                                     int32_t key_length, uint32_t mode);
// CopyHashFrom makes the component hold a clone of source's digest object with source's id and mode:
// 0, or 200 when the clone cannot be made.
[[nodiscard]] int CopyHashFrom(component::CryptoComponent& component, const component::CryptoComponent& source);
// ResetAlgorithm restarts the held digest or HMAC object, or empties the key that the engine of a held
// RSA or DSA key object works with (the object's own copy stays); 0 for anything else.
int ResetAlgorithm(component::CryptoComponent& component);

// One-shots: each uses a temporary component in the default provider mode and returns 0 or the first
// failing code; out receives the digest or HMAC value.
[[nodiscard]] int ComputeHash(int32_t engine_id, const void* data, int32_t length, core::BufferCore& out);
[[nodiscard]] int ComputeHashByName(const char* name, const void* data, int32_t length, core::BufferCore& out);
[[nodiscard]] int HashDataByName(const void* data, int32_t length, const char* name, core::BufferCore& out);
[[nodiscard]] int ComputeHmac(int32_t engine_id, const uint8_t* key, int32_t key_length, const void* data,
                              int32_t length, core::BufferCore& out);
[[nodiscard]] int ComputeHmacByName(const char* name, const uint8_t* key, int32_t key_length, const void* data,
                                    int32_t length, core::BufferCore& out);
// HmacNameToAlgId returns the HMAC engine id named by name ("HMAC" and a digest name anywhere after the
// first character, in any case), or -1.
int32_t HmacNameToAlgId(const char* name);

}  // namespace velmora::crypto
