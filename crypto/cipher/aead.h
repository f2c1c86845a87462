// The running states of the authenticated and stream constructions of InternalCipher (AES-GCM, AES-OCB,
// ChaCha20, ChaCha20-Poly1305, Salsa20/XSalsa20, AES-XTS) and their building blocks: GHASH, Poly1305,
// the ChaCha20 and Salsa20 cores, and the constant-time tag comparison.
//
// Streaming decryption hands out plaintext on every update call before the tag has been checked; only
// the final call checks it, and a mismatch then clears that call's output and gives 2010. A caller
// that must not act on unverified plaintext keeps the update output until the final call succeeded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

class InternalCipher;

// Result codes of the constructions.
constexpr int kTagMismatch = 1000;
constexpr int kNoExpectedTag = 2008;
constexpr int kAuthenticationFailed = 2010;
constexpr int kGcmBudgetExhausted = 2011;
constexpr int kBadNonceSize = 3000;
constexpr int kBadStreamKeySize = 3001;

// TagsEqual compares n bytes without an early exit: every byte is read whatever the first difference.
bool TagsEqual(const uint8_t* a, const uint8_t* b, size_t n);

// ---- GHASH and GCM ------------------------------------------------------------------------------------------

struct GhashKey {
  uint64_t low[3];   // H's halves (bytes 0..7, 8..15) and their XOR, bit-reversed: x^i at bit i
  uint64_t high[3];  // the same three as read big-endian from the bytes
  uint8_t h[8][16];  // H, H^2 .. H^8 as bytes, for the carry-less multiplication path only
  bool clmul;        // the processor multiplies carry-less and the portable path is not forced
};

// GhashSetKey prepares H for both multiplication paths and chooses one.
void GhashSetKey(GhashKey& key, const uint8_t h[16]);
// GHashMultiply sets result = x·H in GF(2^128); result may be x.
void GHashMultiply(const GhashKey& key, const uint8_t x[16], uint8_t result[16]);
// GhashBlocks folds whole 16-byte blocks into the accumulator x: x = (x ^ block)·H for each.
void GhashBlocks(const GhashKey& key, uint8_t x[16], const uint8_t* blocks, size_t count);
// GcmBulkAvailable is true when key takes the carry-less path and AES runs on the AES instructions:
// then GcmBulkBlocks may run the counter blocks and GHASH together.
bool GcmBulkAvailable(const GhashKey& key);
// GcmBulkBlocks runs count whole blocks of counter mode from src to dst, advancing the last 32 bits of
// counter once before each block, and folds the ciphertext blocks (dst when encrypting, src when
// decrypting) into the accumulator x. Only when GcmBulkAvailable(key).
void GcmBulkBlocks(const uint32_t* round_keys, int32_t rounds, const GhashKey& key, uint8_t x[16],
                   uint8_t counter[16], const uint8_t* src, uint8_t* dst, size_t count, bool encrypt);
// SetPortableGhash(true) keeps GHASH on the portable path even where carry-less multiplication exists.
void SetPortableGhash(bool portable);

// The block budget of one GCM message: 2^32 - 2 counter blocks. Tests lower it through the hook.
constexpr uint64_t kGcmBlockBudget = 0xFFFFFFFEull;
void SetGcmBlockBudgetForTest(uint64_t budget);

struct GcmState {
  GhashKey key;
  uint8_t x[16];          // GHASH accumulator
  uint8_t counter[16];    // current counter block
  uint8_t j0[16];         // initial counter block
  uint8_t keystream[16];  // encryption of the counter block
  uint8_t partial[16];    // AAD bytes of an unfinished block
  uint32_t position;      // keystream bytes used, 0..16 (16: the block is spent but not yet folded)
  uint32_t phase;         // 1 AAD, 2 data
  uint64_t aad_bits;
  uint64_t data_bits;
  uint64_t budget;
};

// ---- Poly1305, ChaCha20, ChaCha20-Poly1305 ---------------------------------------------------------------

struct Poly1305 {
  uint64_t r[2];    // r (clamped) in two 64-bit words
  uint64_t h[3];    // the accumulator: two 64-bit words and the bits above 2^128
  uint64_t pad[2];  // s
  uint8_t buffer[16];
  uint32_t leftover;

  // SetKey takes r (clamped) from key bytes 0..15 and s from bytes 16..31.
  void SetKey(const uint8_t key[32]);
  void Update(const uint8_t* bytes, size_t length);
  // Finish writes the 16-byte tag.
  void Finish(uint8_t tag[16]);
};

struct ChaCha20State {
  uint32_t words[16];
  uint8_t keystream[64];
  uint32_t position;  // 0..63; 0 with a fresh block due
  uint32_t have_block;
};

// ChaCha20SetKey: 32-byte key (else 3001), 8- or 12-byte nonce (else 3000), initial counter placed as
// the cipher's counter words prescribe (12-byte nonce: word 12 the low 32 bits; 8-byte nonce: word 12
// the high and word 13 the low 32 bits).
[[nodiscard]] int ChaCha20SetKey(ChaCha20State& state, const uint8_t* key, int32_t key_length, const uint8_t* nonce,
                                 int32_t nonce_length, uint64_t counter);
// ChaCha20XorKeystream XORs length bytes with the stream from the state's position. Each new block
// increments word 12 alone, wrapping without a carry into word 13.
void ChaCha20XorKeystream(ChaCha20State& state, const uint8_t* in, uint8_t* out, size_t length);
// SetPortableChaCha(true) keeps ChaCha20 and Poly1305 on their portable paths even where the processor
// has AVX2 (tests and benchmarks check and measure both). Process-wide.
void SetPortableChaCha(bool portable);
// ChaCha20Block computes one 64-byte block of the 16 input words (20 rounds).
void ChaCha20Block(const uint32_t words[16], uint8_t out[64]);

struct ChaChaPolyState {
  ChaCha20State chacha;
  Poly1305 poly;
  uint64_t aad_length;
  uint64_t data_length;
};

// ---- Salsa20 / XSalsa20 -----------------------------------------------------------------------------------

struct Salsa20State {
  uint32_t input[16];
  uint8_t keystream[64];
  int32_t position;
  int32_t variant;  // 1 XSalsa20, any other value Salsa20
  int32_t rounds;   // 8, 12 or 20

  void Clear();
  // SetKeyAndNonce: 0, 3001 for the key length, 3000 for the nonce length (key checked first).
  [[nodiscard]] int SetKeyAndNonce(const uint8_t* key, int32_t key_length, const uint8_t* nonce, int32_t nonce_length,
                                   uint64_t counter);
  void XorKeystream(const uint8_t* in, uint8_t* out, size_t length);
};
// Salsa20Core makes one 64-byte block of the input words with the round count (8, 12 or 20).
void Salsa20Core(const uint32_t input[16], int32_t rounds, uint8_t out[64]);

// ---- OCB ------------------------------------------------------------------------------------------------

struct OcbState {
  uint8_t l_star[16];
  uint8_t l_dollar[16];
  uint8_t l[64][16];  // L_i = double^i(L_$ doubled)
  uint8_t offset[16];
  uint8_t checksum[16];
  uint8_t aad_sum[16];
  uint8_t aad_offset[16];
  uint64_t blocks;      // data blocks processed
  int32_t tag_bytes;
};

// ---- XTS --------------------------------------------------------------------------------------------------

struct XtsState {
  uint64_t unit;          // number of the current data unit
  int64_t unit_length;    // bytes per data unit
  uint64_t block_index;   // block within the current unit, kept across calls
  uint8_t tweak[16];
};

// CountTrailingZeros64 gives the number of trailing zero bits, 64 for 0.
int32_t CountTrailingZeros64(uint64_t value);
// Block128ShiftLeft sets destination = source (16 bytes at offset) shifted left one bit as a big-endian
// number and returns the bit shifted out (0 or 1).
int32_t Block128ShiftLeft(const uint8_t* source, int32_t offset, uint8_t destination[16]);

// All running states of one cipher object; plain data, copied with the object and wiped with it.
struct StreamStates {
  GcmState gcm;
  ChaChaPolyState chacha_poly;
  Salsa20State salsa;
  OcbState ocb;
  XtsState xts;
};

// The cores of the constructions for the cipher object's dispatch table (cipher_cores.cpp).
int GcmSetup(InternalCipher& cipher, bool decrypt_form);
int GcmProcess(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag);
int OcbSetup(InternalCipher& cipher, bool decrypt_form);
int OcbProcess(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag);
int ChaCha20Setup(InternalCipher& cipher, bool decrypt_form);
int ChaCha20Xor(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length);
int ChaCha20Poly1305Setup(InternalCipher& cipher, bool decrypt_form);
int ChaCha20Poly1305Process(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out,
                            int32_t final_flag);
int Salsa20Setup(InternalCipher& cipher, bool decrypt_form);
int Salsa20Xor(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length);
// XTS runs under algorithm aes with mode 8: a 32-byte key split into the data and the tweak halves.
int XtsSetup(InternalCipher& cipher, bool decrypt_form);
int XtsProcess(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out, int32_t final_flag);
// CipherSetCounterBlock starts data unit `unit` (its tweak encrypted under the tweak key) at block 0.
int CipherSetCounterBlock(InternalCipher& cipher, uint64_t unit);
// XtsEncryptInPlace and XtsDecryptInPlace run length bytes (16 or more) in place as one final call
// starting at data unit `unit`, on a cipher initialised for XTS (its key schedule is rebuilt for the
// direction when needed): 0 or the first failing code, the data unchanged on failure.
[[nodiscard]] int XtsEncryptInPlace(InternalCipher& cipher, uint8_t* data, int32_t length, uint64_t unit);
[[nodiscard]] int XtsDecryptInPlace(InternalCipher& cipher, uint8_t* data, int32_t length, uint64_t unit);

}  // namespace velmora::crypto
