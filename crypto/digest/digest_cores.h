// The working states of the digests behind HashCtx, one record per algorithm, and BLAKE2b. Each record
// keeps its finished digest inside itself: Final returns a pointer to those bytes, valid until the
// record changes. The records are plain data owned by their holder; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

// SetPortableDigests(true) makes SHA-1 and SHA-256 use their portable block functions even where the
// processor has the SHA extensions, SHA-512 its portable one even where it has AVX2 and BMI2, and
// Keccak its baseline rounds even where it has BMI1/BMI2 (benchmarks and tests measure and check both
// forms). Process-wide.
void SetPortableDigests(bool portable);
// DigestAccelerationActive is true when SHA-1 and SHA-256 currently run on the SHA extensions.
bool DigestAccelerationActive();

// Sha1State: FIPS 180-4 SHA-1.
struct Sha1State {
  uint32_t h[5];
  uint32_t length_low;   // message length in bits, low word
  uint32_t length_high;  // and high word
  uint8_t block[64];
  int32_t computed;      // Final has run
  int32_t corrupted;     // the bit length passed 2^64
  uint8_t digest[21];    // 20 bytes and a NUL

  void Init();
  // Update returns 0, or 1 (the corrupted flag) when the message grew past 2^64 bits.
  int Update(const uint8_t* data, uint32_t length);
  // Final returns the 20-byte digest, or null for a corrupted state; a second call returns it again.
  const uint8_t* Final();
};

// Md5State: RFC 1321 MD5.
struct Md5State {
  uint32_t h[4];
  uint32_t length_low;  // message length in bits, low word first
  uint32_t length_high;
  uint8_t block[64];
  uint8_t digest[17];

  void Init();
  void Update(const uint8_t* data, uint32_t length);
  const uint8_t* Final();
};

// Md4State: RFC 1320 MD4.
struct Md4State {
  uint32_t h[4];
  uint8_t block[64];
  uint32_t held;   // bytes in the block
  uint64_t total;  // message length in bytes
  uint8_t digest[17];

  void Init();
  void Update(const uint8_t* data, uint32_t length);
  const uint8_t* Final();
};

// Md2State: RFC 1319 MD2.
struct Md2State {
  int32_t held;
  uint8_t block[16];
  uint8_t checksum[16];
  uint8_t x[48];
  uint8_t digest[17];

  void Init();
  void Update(const uint8_t* data, uint32_t length);
  // Transform runs the MD2 block function over block and folds it into the checksum.
  void Transform(const uint8_t block16[16]);
  const uint8_t* Final();
};

// Ripemd160State: RIPEMD-160 as published by its designers.
struct Ripemd160State {
  uint32_t length_low;  // message length in bytes, low word first
  uint32_t length_high;
  uint32_t held;
  uint8_t block[64];
  uint32_t h[5];
  uint8_t digest[21];

  void Init();
  void Update(const uint8_t* data, uint32_t length);
  void Transform();  // compresses the block buffer
  const uint8_t* Final();
};

// Md5Sha1State: MD5 and SHA-1 over the same bytes, digest MD5 then SHA-1 (36 bytes).
struct Md5Sha1State {
  Md5State md5;
  Sha1State sha1;
  uint8_t digest[37];

  void Init();
  void Update(const uint8_t* data, uint32_t length);
  // Final returns null when the SHA-1 half is corrupted.
  const uint8_t* Final();
};

// Sha256State serves SHA-256 and SHA-224; Reset restores the variant's own initial value.
struct Sha256State {
  int32_t sha224;       // variant: nonzero for SHA-224
  uint64_t bit_count;   // message length in bits
  uint8_t block[64];    // (bit_count / 8) mod 64 bytes held
  uint8_t digest[32];
  uint32_t h[8];

  void Reset();
  void Update(const uint8_t* data, uint32_t length);
  // Final returns the 32-byte chaining value big-endian (SHA-224 keeps the first 28) and zeroes the rest.
  const uint8_t* Final();
};

// Sha512Variant selects the initial value of a Sha512State.
enum class Sha512Variant : int32_t { kSha512, kSha384, kSha512_224, kSha512_256 };

// Sha512State serves SHA-512, SHA-384, SHA-512/224 and SHA-512/256.
struct Sha512State {
  Sha512Variant variant;
  uint64_t count_high;  // 128-bit message length in bits
  uint64_t count_low;
  uint8_t block[128];
  uint8_t digest[64];
  uint64_t h[8];

  void Reset();
  void Update(const uint8_t* data, uint32_t length);
  const uint8_t* Final();
};

// KeccakState is the FIPS 202 sponge of SHA3-224..512, and with the Keccak padding flag of the original
// Keccak digests. Built without a variant it is SHA3-512 shaped (rate 72, 512 output bits).
class KeccakState {
 public:
  KeccakState() { Reset(); }
  // A rate Configure refuses leaves the SHA3-512 shape.
  KeccakState(int32_t rate, int32_t output_bits) {
    Reset();
    (void)Configure(rate, output_bits);
  }
  virtual ~KeccakState() { output_.Clear(); }
  KeccakState(const KeccakState&) = delete;
  KeccakState& operator=(const KeccakState&) = delete;

  // Configure sets the rate (bytes, 8..168 in steps of 8) and the output size and resets the sponge:
  // 0, or 2001 for another rate (nothing changes then).
  int Configure(int32_t rate, int32_t output_bits);
  // Reset empties the lanes, the partial block and the output; the padding flag is kept.
  void Reset();
  // Absorb takes length bytes; null or 0 does nothing.
  void Absorb(const uint8_t* data, size_t length);
  // Final pads (0x06, or 0x01 with the Keccak padding flag), absorbs the last block and squeezes
  // output bits / 8 bytes into Output(); returns them, or null when the output cannot be stored.
  virtual const uint8_t* Final();
  // CopyFrom copies lanes, partial block, rate, output size, padding flag and output; 0 or 200.
  virtual int CopyFrom(const KeccakState& source);

  int32_t Rate() const { return rate_; }
  int32_t OutputBits() const { return output_bits_; }
  void SetOutputBits(int32_t bits) { output_bits_ = bits; }
  int32_t KeccakPadding() const { return keccak_padding_; }
  void SetKeccakPadding(int32_t flag) { keccak_padding_ = flag; }
  const core::Buffer& Output() const { return output_; }
  const uint64_t* Lanes() const { return lanes_; }

 protected:
  // FinishWithDomain pads with the domain byte and 0x80 in the last rate byte, absorbs, and squeezes
  // output bits / 8 bytes, permuting between rate-sized pieces.
  const uint8_t* FinishWithDomain(uint8_t domain);

  int32_t rate_ = 72;
  int32_t output_bits_ = 512;
  uint64_t lanes_[25];
  uint8_t partial_[168];
  int32_t count_ = 0;
  core::Buffer output_;
  int32_t keccak_padding_ = 0;
};

// ShakeState is SHAKE128 or SHAKE256; built without a variant it is SHAKE256 (rate 136, 512 output bits,
// 256 security bits).
class ShakeState : public KeccakState {
 public:
  ShakeState() : KeccakState(136, 512) {}
  ShakeState(int32_t rate, int32_t output_bits, int32_t security_bits)
      : KeccakState(rate, output_bits), security_bits_(security_bits) {}

  // Final pads with 0x1F (0x80 XORed into the last rate byte) and squeezes output bits / 8 bytes.
  const uint8_t* Final() override;
  int CopyFrom(const KeccakState& source) override;
  int32_t SecurityBits() const { return security_bits_; }

 private:
  int32_t security_bits_ = 256;
};

// KeccakF1600 applies the 24-round Keccak-f[1600] permutation to the 25 lanes (FIPS 202 order).
void KeccakF1600(uint64_t lanes[25]);

// Blake2bState: RFC 7693 BLAKE2b with digest length 1..64 and an optional key of 1..64 bytes. The state
// initialises itself on the first Update after construction or after Final.
class Blake2bState {
 public:
  Blake2bState() = default;
  ~Blake2bState();
  Blake2bState(const Blake2bState&) = delete;
  Blake2bState& operator=(const Blake2bState&) = delete;

  // Configure sets the digest length and the key for the next message; 0, or 2001 for a digest
  // length outside 1..64 or a key longer than 64 bytes (nothing changes then).
  [[nodiscard]] int Configure(int32_t digest_length, const uint8_t* key, int32_t key_length);
  void Init();
  void Update(const uint8_t* data, size_t length);
  // Compress runs the compression over the buffered block; last marks the final block.
  void Compress(bool last);
  // Final compresses the last block and returns the digest (DigestLength() bytes); the next Update
  // starts a new message with the same length and key.
  const uint8_t* Final();
  int32_t DigestLength() const { return digest_length_; }

 private:
  int32_t initialised_ = 0;
  int32_t digest_length_ = 64;
  int32_t key_length_ = 0;
  uint8_t key_[64] = {};
  uint8_t block_[128] = {};
  uint64_t h_[8] = {};
  uint64_t t_[2] = {};
  uint64_t f_[2] = {};
  int32_t held_ = 0;
  uint8_t digest_[64] = {};
};

}  // namespace velmora::crypto
