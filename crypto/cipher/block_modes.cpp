#include "crypto/cipher/block_modes.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/byte_order.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

void FillPadding(uint8_t* area, int32_t n, int32_t padding) {
  if (n < 1) return;
  switch (padding) {
    case kPaddingPkcs7:
      std::memset(area, n, static_cast<size_t>(n));
      break;
    case kPaddingZeros:
      std::memset(area, 0, static_cast<size_t>(n));
      break;
    case kPaddingZerosLength:
      std::memset(area, 0, static_cast<size_t>(n - 1));
      area[n - 1] = static_cast<uint8_t>(n);
      break;
    case kPaddingRandomLength:
      // Only the length byte is read back. The filler comes from the library's own source: drawing on
      // the C runtime's generator would advance the application's sequence.
      (void)GlobalRandomBytes(area, 0, n - 1);
      area[n - 1] = static_cast<uint8_t>(n);
      break;
    default:
      break;
  }
}

int IncrementCounterBlock32(uint8_t block[16], uint64_t* budget) {
  if (*budget == 0) return kCounterBudgetExhausted;
  --*budget;
  IncrementCounterBigEndian(block + 12, 4);
  return 0;
}

void IncrementCounterBigEndian(uint8_t* bytes, int32_t length) {
  for (int32_t i = length - 1; i >= 0; --i) {
    if (++bytes[i] != 0) return;
  }
}

void IncrementCounterBuffer(core::BufferCore& counter) {
  IncrementCounterBigEndian(reinterpret_cast<uint8_t*>(counter.Data()), counter.Length());
}

// On two little-endian 64-bit words: one shift each, the carry between them and the reduction.
void DoubleLittleEndian(uint8_t block[16]) {
  const uint64_t lo = core::ReadUInt64LE(block), hi = core::ReadUInt64LE(block + 8);
  const uint64_t carry = hi >> 63;
  core::StoreUInt64LE(block, (lo << 1) ^ (0x87 & (0 - carry)));
  core::StoreUInt64LE(block + 8, (hi << 1) | (lo >> 63));
}

void DoubleBigEndian(uint8_t block[16]) {
  const uint8_t carry = block[0] >> 7;
  for (int i = 0; i < 15; ++i) block[i] = static_cast<uint8_t>((block[i] << 1) | (block[i + 1] >> 7));
  block[15] = static_cast<uint8_t>((block[15] << 1) ^ (0x87 & (0 - carry)));
}

void BlockXor(uint8_t* out, const uint8_t* a, const uint8_t* b, int32_t length) {
  if (length < 16 || length % 16 != 0) return;
  for (int32_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

void FinalBlockPad(uint8_t block[16], int32_t used) {
  block[used] = 0x80;
  std::memset(block + used + 1, 0, static_cast<size_t>(15 - used));
}

void XorBlockInto(uint8_t target[16], const uint8_t source[16]) {
  for (int i = 15; i >= 0; --i) target[i] ^= source[i];
}

void XorBytesInto(uint8_t* target, const uint8_t* source, int32_t n) { XorBytes(target, target, source, n); }

void XorBytes(uint8_t* out, const uint8_t* a, const uint8_t* b, int32_t n) {
  int32_t i = 0;
#if defined(__SSE2__)
  for (; i + 32 <= n; i += 32) {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 16));
    const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(x0, y0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), _mm_xor_si128(x1, y1));
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    x ^= y;
    std::memcpy(out + i, &x, 8);
  }
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

void LoadWordsLittleEndian(uint32_t* words, const uint8_t* bytes, int32_t count) {
  for (int32_t i = 0; i + 4 <= count; i += 4) words[i / 4] = core::ReadUInt32LE(bytes + i);
}

void LoadWordsBigEndian(uint32_t* words, const uint8_t* bytes, int32_t count) {
  for (int32_t i = 0; i + 4 <= count; i += 4) words[i / 4] = core::ReadUInt32BE(bytes + i);
}

void LoadWords64BigEndian(uint64_t* words, const uint8_t* bytes, int32_t count) {
  for (int32_t i = 0; i + 8 <= count; i += 8) {
    words[i / 8] = (uint64_t{core::ReadUInt32BE(bytes + i)} << 32) | core::ReadUInt32BE(bytes + i + 4);
  }
}

}  // namespace velmora::crypto
