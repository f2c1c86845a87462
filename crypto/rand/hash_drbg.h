// HashDrbg, the Hash_DRBG of NIST SP 800-90A Rev. 1 (section 10.1.1) over a HashCtx, seeded from the
// operating system's random sources (OsRandomFill, random.h).
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/digest/hash_ctx.h"
#include "platform/crypto/crypto_types.h"

namespace velmora::crypto {

// kDrbgNotInstantiated: Generate or Reseed before a successful Instantiate.
constexpr int kDrbgNotInstantiated = 3100;
// kDrbgMaxStepBytes is the most one generate step produces (2^19 bits, SP 800-90A table 2); larger
// requests are served in several steps.
constexpr int32_t kDrbgMaxStepBytes = 65536;

// HashDrbg owns its digest context, its state (V, C, reseed counter; wiped when released) and the
// CryptoAPI handle its entropy is drawn through. One thread at a time.
class HashDrbg {
 public:
  // EntropySource replaces the operating system as the source of entropy input (tests feed the published
  // known answers through it): fill count bytes at out.
  using EntropySource = void (*)(void* context, uint8_t* out, int32_t count);

  HashDrbg() = default;
  ~HashDrbg();
  HashDrbg(const HashDrbg&) = delete;
  HashDrbg& operator=(const HashDrbg&) = delete;

  // Instantiate selects the digest (HashAlgorithmId; seedlen 440 bits for SHA-1, SHA-256 and SHA-224,
  // 888 for SHA-512 and SHA-384, unchanged for other ids), takes (strength_bits + 7) / 8 bytes of entropy
  // and seeds V and C from entropy || nonce || personalization (a NUL-terminated text; null for none).
  // 0, 200 when memory runs out, 2001 for an unknown digest id.
  [[nodiscard]] int Instantiate(int32_t digest_id, const uint8_t* nonce, int32_t nonce_len,
                                const char* personalization, int32_t strength_bits, int32_t prediction_resistance);
  // Reseed mixes fresh entropy and the additional input (may be null) into the state: 0 or 200.
  [[nodiscard]] int Reseed(const uint8_t* additional, int32_t additional_len);
  // Generate writes count bytes at buffer + offset. A request above kDrbgMaxStepBytes is served in steps
  // of at most that size, each with the additional input and its own state update; with prediction
  // resistance the first step reseeds (using the additional input) first. 0 (also for a null buffer or a
  // count below 1, which write nothing), 200, or kDrbgNotInstantiated.
  [[nodiscard]] int Generate(uint8_t* buffer, int32_t offset, int32_t count, const uint8_t* additional,
                             int32_t additional_len);

  void SetEntropySourceForTest(EntropySource source, void* context) {
    entropy_source_ = source;
    entropy_context_ = context;
  }
  const core::BufferCore& V() const { return v_; }
  const core::BufferCore& C() const { return c_; }
  int32_t SeedLengthBits() const { return seedlen_bits_; }
  uint32_t ReseedCounter() const { return reseed_counter_; }

 private:
  [[nodiscard]] int InstantiateBody(const uint8_t* nonce, int32_t nonce_len, const char* personalization);
  [[nodiscard]] int SeedFromMaterial(const core::BufferCore& material);
  [[nodiscard]] int HashDf(const void* input, int32_t input_len, core::BufferCore& out);
  [[nodiscard]] int GenerateStep(uint8_t* out, int32_t count, const uint8_t* additional, int32_t additional_len,
                                 bool reseed_first);
  [[nodiscard]] int HashGen(uint8_t* out, int32_t count);
  // Hash3 hashes the concatenation of up to three pieces (null pieces skipped) into ctx_.Output().
  [[nodiscard]] int Hash3(const void* a, int32_t a_len, const void* b, int32_t b_len, const void* c, int32_t c_len);
  // AddToV adds a big-endian number of len bytes (len <= seedlen / 8) to V modulo 2^seedlen.
  void AddToV(const uint8_t* number, int32_t len);
  [[nodiscard]] int GetEntropy(core::BufferCore& material, int32_t count);

  platform::HCRYPTPROV provider_ = 0;
  HashCtx ctx_;
  int32_t seedlen_bits_ = 440;
  int32_t strength_bytes_ = 32;
  int32_t prediction_resistance_ = 0;
  core::SecureBuffer v_;
  core::SecureBuffer c_;
  core::SecureBuffer scratch_;
  uint32_t reseed_counter_ = 0;
  EntropySource entropy_source_ = nullptr;
  void* entropy_context_ = nullptr;
};

}  // namespace velmora::crypto
