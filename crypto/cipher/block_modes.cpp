#include "crypto/cipher/block_modes.h"

#include <atomic>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
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

namespace {

std::atomic<bool> g_portable_xor{false};

#if defined(__x86_64__)
// XorBytesAvx2 does the whole 32-byte words of n, 128 bytes per round while that much is left; it
// returns how many bytes it did. Each round loads before it stores, so out may equal a or b.
__attribute__((target("avx2"))) int32_t XorBytesAvx2(uint8_t* out, const uint8_t* a, const uint8_t* b, int32_t n) {
  int32_t i = 0;
  for (; i + 128 <= n; i += 128) {
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 32));
    const __m256i x2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 64));
    const __m256i x3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 96));
    const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32));
    const __m256i y2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 64));
    const __m256i y3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 96));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(x0, y0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 32), _mm256_xor_si256(x1, y1));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 64), _mm256_xor_si256(x2, y2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 96), _mm256_xor_si256(x3, y3));
  }
  for (; i + 32 <= n; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(x, y));
  }
  _mm256_zeroupper();
  return i;
}
#endif

}  // namespace

#if defined(__x86_64__)
bool internal::CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}
#else
bool internal::CpuHasAvx2() { return false; }
#endif

void internal::ForcePortableXor(bool portable) { g_portable_xor.store(portable, std::memory_order_relaxed); }

void XorBytes(uint8_t* out, const uint8_t* a, const uint8_t* b, int32_t n) {
  int32_t i = 0;
#if defined(__x86_64__)
  // Short spans (single blocks, tails) stay on the loop below, which needs no dispatch.
  if (n >= 128 && !g_portable_xor.load(std::memory_order_relaxed) && internal::CpuHasAvx2()) {
    i = XorBytesAvx2(out, a, b, n);
  }
#endif
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
