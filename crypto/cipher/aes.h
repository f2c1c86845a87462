// AES (FIPS-197) and Rijndael with 128-, 192- and 256-bit blocks: key schedules, table-driven block
// operations, bulk forms that run on the AES instructions where the processor has them, and four
// stand-alone AES conveniences (CFB-128 and ECB with PKCS#7 padding over a buffer).
//
// Round keys are 32-bit words, each the big-endian reading of four schedule bytes. Every function here
// works on caller-owned memory; the tables are constants, so any thread may run them on its own
// schedule.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

// Words a round-key array must hold: 1024 bytes, enough for every Rijndael schedule (at most 120).
constexpr int32_t kRoundKeyWords = 256;

// AesSetEncryptKey expands key (key_bits 128, 192 or 256) into round_keys and returns the round count
// (10, 12, 14); any other size returns 0 and writes nothing.
int32_t AesSetEncryptKey(uint32_t* round_keys, const uint8_t* key, int32_t key_bits);
// AesSetDecryptKey builds the decryption schedule (reversed, with InvMixColumns folded into the middle
// round keys) and returns the round count as AesSetEncryptKey.
int32_t AesSetDecryptKey(uint32_t* round_keys, const uint8_t* key, int32_t key_bits);
// AesEncryptBlock and AesDecryptBlock run one 16-byte block; in and out may be the same memory.
void AesEncryptBlock(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out);
void AesDecryptBlock(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out);

// Bulk forms over `blocks` whole 16-byte blocks (in and out equal or not overlapping). They use the AES
// instructions unless SetPortableAes(true) is in force; both paths give the same bytes.
void AesEncryptBlocks(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out, size_t blocks);
void AesDecryptBlocks(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out, size_t blocks);
// AesCbcEncryptBlocks chains from iv and leaves the last ciphertext block in iv.
void AesCbcEncryptBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks);

// AesCbcDecryptBlocks decrypts CBC from iv and leaves the last ciphertext block in iv.
void AesCbcDecryptBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16], const uint8_t* in,
                         uint8_t* out, size_t blocks);
// AesCtrBlocks XORs the keystream of `blocks` counter blocks into in, starting at counter (the whole
// 16 bytes one big-endian number, all 0xFF wrapping to 0), and leaves counter at the next value.
void AesCtrBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t counter[16], const uint8_t* in, uint8_t* out,
                  size_t blocks);
// AesXtsBlocks runs `blocks` XTS blocks from tweak (byte 0 least significant), with the encryption
// schedule when encrypt is set and the decryption schedule otherwise, and leaves tweak doubled once
// per block.
void AesXtsBlocks(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in, uint8_t* out,
                  size_t blocks, bool encrypt);

// SetPortableAes(true) keeps AES on the table-driven path even where the AES instructions exist (tests
// and benchmarks check and measure both). Process-wide.
void SetPortableAes(bool portable);
// AesAccelerationActive is true when AES currently runs on the AES instructions.
bool AesAccelerationActive();

// RijndaelSetKey expands key (key_bytes 16, 24 or 32) for blocks of block_bytes (16, 24 or 32) in
// encryption order, or in decryption order when decrypt is nonzero, and returns the round count (10,
// 12 or 14 after the larger of the two sizes); 0 and nothing written for other sizes. For 16-byte
// blocks the schedules are the AES ones.
int32_t RijndaelSetKey(uint32_t* round_keys, const uint8_t* key, int32_t key_bytes, int32_t block_bytes,
                       int32_t decrypt);
// RijndaelEncryptBlock and RijndaelDecryptBlock run one block of block_bytes bytes.
void RijndaelEncryptBlock(const uint32_t* round_keys, int32_t block_bytes, int32_t rounds, const uint8_t* in,
                          uint8_t* out);
void RijndaelDecryptBlock(const uint32_t* round_keys, int32_t block_bytes, int32_t rounds, const uint8_t* in,
                          uint8_t* out);

// AesCfbEncrypt and AesCfbDecrypt run CFB with 128-bit feedback over length bytes of data in place,
// starting from iv (not updated).
void AesCfbEncrypt(uint8_t* data, int32_t length, const uint8_t* key, int32_t key_bits, const uint8_t iv[16]);
void AesCfbDecrypt(uint8_t* data, int32_t length, const uint8_t* key, int32_t key_bits, const uint8_t iv[16]);
// AesEcbEncryptPadded appends 1..16 PKCS#7 bytes to *length bytes of data (the buffer must have 16 bytes
// of room after them), encrypts in place and stores the new length.
void AesEcbEncryptPadded(uint8_t* data, int32_t* length, const uint8_t* key, int32_t key_bits);
// AesEcbDecryptPadded decrypts in place and removes the padding: 0; 2003 when *length is not a positive
// multiple of 16; 2004 when the last byte is 0 or above 16 or the pad bytes differ. On failure *length
// is unchanged.
[[nodiscard]] int AesEcbDecryptPadded(uint8_t* data, int32_t* length, const uint8_t* key, int32_t key_bits);

// IncrementBigEndianCounter adds one to count bytes read as a big-endian number (all 0xFF wraps to 0).
void IncrementBigEndianCounter(uint8_t* bytes, int32_t count);

namespace internal {
// The generated tables, for the test that checks them against their definition.
struct AesTables {
  uint32_t te[4][256];
  uint32_t td[4][256];
  uint8_t sbox[256];
  uint8_t inverse_sbox[256];
};
const AesTables& AesTablesForTest();

bool CpuHasAesNi();
// CpuHasWideAes: VAES and VPCLMULQDQ on 256-bit registers (with AVX2 and the OS saving them).
bool CpuHasWideAes();
// ForceAesPath limits the bulk forms: kWide (the default) takes the 256-bit instructions where the
// processor has them, kNarrow stays on 128-bit AES-NI, kPortable on the tables (as SetPortableAes).
enum class AesPath { kWide, kNarrow, kPortable };
void ForceAesPath(AesPath path);
// AesWideActive is true when the bulk forms (and GCM's) currently run on 256-bit lanes.
bool AesWideActive();
void AesCbcDecryptBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16], const uint8_t* in,
                           uint8_t* out, size_t blocks);
void AesCtrBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t counter[16], const uint8_t* in,
                    uint8_t* out, size_t blocks);
void AesCtrBlocksWide(const uint32_t* round_keys, int32_t rounds, uint8_t counter[16], const uint8_t* in,
                      uint8_t* out, size_t blocks);
void AesXtsBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in, uint8_t* out,
                    size_t blocks, bool encrypt);
// AesXtsBlocksNiSse is the AES-NI form in the two-operand SSE encoding, which AesXtsBlocksNi runs on
// processors without AVX (the test compares it with the others).
void AesXtsBlocksNiSse(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in,
                       uint8_t* out, size_t blocks, bool encrypt);
void AesXtsBlocksWide(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in, uint8_t* out,
                      size_t blocks, bool encrypt);
// AesExpandKey128Ni writes the AES-128 encryption schedule, as AesSetEncryptKey does, with the AES
// instructions.
void AesExpandKey128Ni(uint32_t* round_keys, const uint8_t* key);
void AesEncryptBlocksNi(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out, size_t blocks);
void AesDecryptBlocksNi(const uint32_t* round_keys, int32_t rounds, const uint8_t* in, uint8_t* out, size_t blocks);
void AesCbcEncryptBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16], const uint8_t* in,
                           uint8_t* out, size_t blocks);
}  // namespace internal

}  // namespace velmora::crypto
