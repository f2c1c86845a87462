// Small block-level routines the modes and the AEAD constructions share: padding fill, counter
// increments, GF(2^128) doubling, block XORs, the 0x80 final-block pad and word loading.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/buffer.h"
#include "platform/memory.h"

namespace velmora::crypto {

// FillPadding writes the n pad bytes of padding id 2..5 at area (2: n each; 3: zeros; 4: zeros then n;
// 5: pseudo-random bytes then n). n < 1 or another id writes nothing.
void FillPadding(uint8_t* area, int32_t n, int32_t padding);

// IncrementCounterBlock32 is the inc32 of NIST SP 800-38D on the last four bytes of a 16-byte block
// with a block budget: 1001 (nothing changed) when *budget is 0, else one is taken from it and 0.
[[nodiscard]] int IncrementCounterBlock32(uint8_t block[16], uint64_t* budget);
// IncrementCounterBigEndian adds one to length bytes read as a big-endian number; all 0xFF wraps to 0.
void IncrementCounterBigEndian(uint8_t* bytes, int32_t length);
// IncrementCounterBuffer is IncrementCounterBigEndian over the buffer's content.
void IncrementCounterBuffer(core::BufferCore& counter);

// DoubleLittleEndian doubles in GF(2^128) with byte 0 least significant (the XTS tweak step);
// DoubleBigEndian with byte 0 most significant (OCB and CMAC subkeys).
void DoubleLittleEndian(uint8_t block[16]);
void DoubleBigEndian(uint8_t block[16]);

// XtsStealTail runs ciphertext stealing over the last whole block of an XTS data unit and its r-byte tail
// (0 < r < 16; IEEE 1619 section 5.3.2): last holds those 16 + r bytes and out receives as many. tweak is
// the tweak of that last whole block and is left two steps on. block(in, out, tweak) runs one tweaked
// block in the call's direction and returns 0 or a code; decryption takes the later tweak first.
template <typename Block>
int XtsStealTail(uint8_t tweak[16], const uint8_t* last, uint8_t* out, int32_t r, bool encrypt, Block&& block) {
  uint8_t first[16];
  uint8_t second[16];
  std::memcpy(first, tweak, 16);
  DoubleLittleEndian(tweak);
  std::memcpy(second, tweak, 16);
  DoubleLittleEndian(tweak);
  uint8_t cc[16];
  uint8_t pp[16];
  int status = block(last, cc, encrypt ? first : second);
  if (status == 0) {
    std::memcpy(pp, last + 16, static_cast<size_t>(r));
    std::memcpy(pp + r, cc + r, static_cast<size_t>(16 - r));
    std::memcpy(out + 16, cc, static_cast<size_t>(r));
    status = block(pp, out, encrypt ? second : first);
  }
  platform::SecureZero(cc, sizeof cc);
  platform::SecureZero(pp, sizeof pp);
  return status;
}

// BlockXor sets out = a XOR b when length is a positive multiple of 16, else leaves out untouched.
void BlockXor(uint8_t* out, const uint8_t* a, const uint8_t* b, int32_t length);
// FinalBlockPad writes 0x80 at position used and zeros up to byte 15.
void FinalBlockPad(uint8_t block[16], int32_t used);
// XorBlockInto XORs a 16-byte block into target; XorBytesInto XORs n bytes (nothing when n < 1).
void XorBlockInto(uint8_t target[16], const uint8_t source[16]);
void XorBytesInto(uint8_t* target, const uint8_t* source, int32_t n);
// XorBytes sets out = a XOR b over n bytes (out may equal a or b): 32 bytes at a time with AVX2 where the
// processor has it, else 16 (SSE2) and 8 at a time.
void XorBytes(uint8_t* out, const uint8_t* a, const uint8_t* b, int32_t n);

namespace internal {
// CpuHasAvx2 is true when the processor runs AVX2 (256-bit integer vectors); the answer is taken once.
bool CpuHasAvx2();
// ForcePortableXor(true) keeps XorBytes off AVX2, for tests and benchmarks that compare both forms.
void ForcePortableXor(bool portable);
}  // namespace internal

// Word loading for the cores: count bytes (a multiple of 4 or 8) into words.
void LoadWordsLittleEndian(uint32_t* words, const uint8_t* bytes, int32_t count);
void LoadWordsBigEndian(uint32_t* words, const uint8_t* bytes, int32_t count);
void LoadWords64BigEndian(uint64_t* words, const uint8_t* bytes, int32_t count);

}  // namespace velmora::crypto
