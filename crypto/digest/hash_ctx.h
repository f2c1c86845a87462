// HashCtx, the one digest object of the security core. The digests it computes, their ids, names and
// sizes are the rows of digest_registry.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"
#include "crypto/digest/digest_registry.h"

namespace velmora::crypto {

// Result codes of the digest code (0 = success, 200 = out of memory / missing state, core::kOutOfMemory).
constexpr int kUnknownDigest = 2001;
constexpr int kNoPlatformProvider = 600;
constexpr int kNoInternalDigest = 9998;
constexpr int kNotAllowedInFips = 9999;

// Engine algorithm ids of the public-key engines (the digests' ids are in digest_registry.h).
constexpr int32_t kEngineRsa = 18;
constexpr int32_t kEngineDsa = 19;

// Digest output encoders: write count bytes of the words (whole words, the last one cut short when
// count is not a multiple of the word size; nothing is written past out + count).
void PutWords32LE(uint8_t* out, const uint32_t* words, int32_t count);
void PutWords32BE(uint8_t* out, const uint32_t* words, int32_t count);
void PutWords64BE(uint8_t* out, const uint64_t* words, int32_t count);

// HashCtx computes any of the eighteen digests, one at a time. It owns one lazily allocated state per
// HashAlgorithmId; a new context holds the SHA-1 state and hashes SHA-1 without further set-up. After
// Final the digest stays in Output() until the next Final. One thread at a time.
class HashCtx {
 public:
  HashCtx();
  ~HashCtx();
  HashCtx(const HashCtx&) = delete;
  HashCtx& operator=(const HashCtx&) = delete;

  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  // SetAlgorithm makes id current with its state at the initial value; the other states are freed
  // (the state of id itself is kept and re-initialised when it exists). 0; 200 when the state cannot be
  // allocated; 2001 for an id outside 0..17, which leaves the context as it was.
  [[nodiscard]] int SetAlgorithm(int32_t id);
  // SetAlgorithmByName selects by name (case-insensitive, null = ""); 2001 when no name matches, with
  // the context unchanged.
  [[nodiscard]] int SetAlgorithmByName(const char* name);
  // Update feeds length bytes to the current state: 0, 200 when the state is missing, 2001 for an
  // unknown id. For MD5+SHA-1 both halves receive them.
  [[nodiscard]] int Update(const void* data, uint32_t length);
  // Final finishes the current state and puts the digest into Output(): 0, 200 when the state is
  // missing (or the output cannot be stored), 2001 for an unknown id, 1 for a SHA-1 message longer than
  // 2^64 bits. The state is not re-initialised: call Reset or SetAlgorithm before the next message.
  [[nodiscard]] int Final();
  // Reset re-initialises every existing state; the output and the Keccak padding flags are kept.
  int Reset();
  // FreeStates frees every state.
  void FreeStates();
  // CopyFrom copies the id, the output and every state the source has (allocating missing ones);
  // 0, or 200 when an allocation fails (the copy stops there).
  [[nodiscard]] int CopyFrom(const HashCtx& source);
  // CopyHeader returns a new context (owned by the caller, release with delete) with the source's id
  // and output and only the SHA-1 state of construction; null when memory runs out.
  static HashCtx* CopyHeader(const HashCtx& source);

  int32_t Id() const { return id_; }
  const core::Buffer& Output() const { return output_; }
  // DigestBits is eight times the digest size of the current id.
  int32_t DigestBits() const { return HashDigestSize(id_) * 8; }
  // State returns the state record of id (a Sha1State, Sha256State, KeccakState ... as the id says),
  // or null when it is not allocated.
  void* State(int32_t id) const { return id >= 0 && id < kHashAlgorithmCount ? states_[id] : nullptr; }

 private:
  int32_t id_ = kHashSha1;
  core::Buffer output_;
  void* states_[kHashAlgorithmCount] = {};
};

// SetSha3ContextFlag sets the Keccak padding flag (value) of the SHA-3 state of the current id 12..15:
// 0, or 200 when that state is missing; for any other id nothing happens and 0 is returned.
int SetSha3ContextFlag(HashCtx& ctx, int32_t value);

// DigestToBuffer resets the context, hashes length bytes and stores the digest in out; 0 or the first
// failing code.
[[nodiscard]] int DigestToBuffer(HashCtx& ctx, const void* data, uint32_t length, core::BufferCore& out);

// HashBytes is the one-shot digest of the primitives: out receives the digest (HashAlgorithmId id) of
// length bytes. 0, kUnknownDigest for an id outside 0..17, or 200. Any thread; no component is involved.
[[nodiscard]] int HashBytes(int32_t id, const void* data, uint32_t length, core::BufferCore& out);

}  // namespace velmora::crypto
