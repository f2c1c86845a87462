// HashCtx, the one digest object of the security core, and the numbering of digests: the
// HashAlgorithmId (0..17), the engine algorithm ids of the CryptoComponent (23..51), names and sizes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

// Result codes of the digest code (0 = success, 200 = out of memory / missing state, core::kOutOfMemory).
constexpr int kUnknownDigest = 2001;
constexpr int kNoPlatformProvider = 600;
constexpr int kNoInternalDigest = 9998;
constexpr int kNotAllowedInFips = 9999;

// HashAlgorithmId values.
constexpr int32_t kHashSha1 = 0;
constexpr int32_t kHashMd5 = 1;
constexpr int32_t kHashSha256 = 2;
constexpr int32_t kHashSha224 = 3;
constexpr int32_t kHashSha512 = 4;
constexpr int32_t kHashSha512_224 = 5;
constexpr int32_t kHashSha512_256 = 6;
constexpr int32_t kHashSha384 = 7;
constexpr int32_t kHashRipemd160 = 8;
constexpr int32_t kHashMd4 = 9;
constexpr int32_t kHashMd2 = 10;
constexpr int32_t kHashMd5Sha1 = 11;
constexpr int32_t kHashSha3_224 = 12;
constexpr int32_t kHashSha3_256 = 13;
constexpr int32_t kHashSha3_384 = 14;
constexpr int32_t kHashSha3_512 = 15;
constexpr int32_t kHashShake128 = 16;
constexpr int32_t kHashShake256 = 17;
constexpr int32_t kHashAlgorithmCount = 18;

// Engine algorithm ids: digests 23..40, SHA-3 with Keccak padding 41..44, HMACs 45..51.
constexpr int32_t kEngineSha1 = 23;
constexpr int32_t kEngineSha256 = 25;
constexpr int32_t kEngineSha224 = 26;
constexpr int32_t kEngineSha512 = 27;
constexpr int32_t kEngineSha384 = 30;
constexpr int32_t kEngineFirstDigest = 23;
constexpr int32_t kEngineFirstKeccak = 41;
constexpr int32_t kEngineLastDigest = 44;
constexpr int32_t kEngineHmacSha1 = 45;
constexpr int32_t kEngineHmacMd5 = 46;
constexpr int32_t kEngineHmacSha256 = 47;
constexpr int32_t kEngineHmacSha224 = 48;
constexpr int32_t kEngineHmacSha512 = 49;
constexpr int32_t kEngineHmacSha384 = 50;
constexpr int32_t kEngineHmacRipemd160 = 51;
constexpr int32_t kEngineRsa = 18;
constexpr int32_t kEngineDsa = 19;

// HashDigestSize returns the digest size in bytes of a HashAlgorithmId, 0 for an unknown id.
int32_t HashDigestSize(int32_t id);
// EngineDigestSize returns the digest size of an engine id 23..51, -1 for any other id.
int32_t EngineDigestSize(int32_t engine_id);
// EngineIdToHashId maps engine ids 23..44 to their HashAlgorithmId, -1 otherwise.
int32_t EngineIdToHashId(int32_t engine_id);
// HmacIdToHashId maps the HMAC engine ids 45..51 to their HashAlgorithmId, -1 otherwise.
int32_t HmacIdToHashId(int32_t engine_id);
// HashNameToEngineId accepts the names of SetAlgorithmByName and "SHA3-224" .. "SHA3-512", in any case;
// returns the engine id 23..40, or -1.
int32_t HashNameToEngineId(const char* name);
// PlatformDigestIndex: the platform hash algorithm of engine ids 23, 25, 30, 27 (0..3), else -1.
int32_t PlatformDigestIndex(int32_t engine_id);
// PlatformHmacIndex: the platform algorithm of HMAC ids 45, 47, 50, 49 (0..3), else -1.
int32_t PlatformHmacIndex(int32_t engine_id);
// HmacBlockSize returns the HMAC key block size (RFC 2104 B) in bytes of a HashAlgorithmId: 128 for the
// SHA-512 family, 64 for every other id.
int32_t HmacBlockSize(int32_t id);

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

}  // namespace velmora::crypto
