// GHASH (NIST SP 800-38D): multiplication by the hash key H in GF(2^128), four bits at a time over a
// table of the sixteen multiples of H, or by carry-less multiplication where the processor has it
// (chosen at run time). The table path reads every entry for every nibble and computes the reduction
// constant from the shifted-out bits, so its memory accesses do not depend on the data or the key.
// Also the small shared helpers: constant-time tag comparison, trailing zeros, one-bit shift.
#include <atomic>
#include <cstring>

#include "crypto/symmetric/aead.h"
#include "platform/memory.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VELMORA_HAVE_CLMUL_CODE 1
#else
#define VELMORA_HAVE_CLMUL_CODE 0
#endif

namespace velmora::crypto {

namespace {

std::atomic<bool> g_portable_ghash{false};

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

void Store64(uint8_t* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Mask is all ones when bit is 1, else 0.
uint64_t Mask(uint64_t bit) { return 0 - (bit & 1); }

// ReductionFor gives the reduction constant of the four bits shifted out (the table 0x0000, 0x1C20,
// 0x3840, ... 0xB5E0 of the polynomial x^128 + x^7 + x^2 + x + 1, which is linear in those bits).
uint64_t ReductionFor(uint64_t rem) {
  return (Mask(rem) & 0x1C20) ^ (Mask(rem >> 1) & 0x3840) ^ (Mask(rem >> 2) & 0x7080) ^ (Mask(rem >> 3) & 0xE100);
}

#if VELMORA_HAVE_CLMUL_CODE
bool CpuHasClmul() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  return (c & (1u << 1)) != 0 && (c & (1u << 9)) != 0;  // PCLMULQDQ and SSSE3
}

#define VELMORA_CLMUL_TARGET __attribute__((target("pclmul,ssse3")))

VELMORA_CLMUL_TARGET inline __m128i Reverse(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// ClmulMultiply multiplies two byte-reversed field elements: the 256-bit carry-less product, shifted
// left one bit for the reflected bit order, reduced modulo the GCM polynomial.
VELMORA_CLMUL_TARGET inline __m128i ClmulMultiply(__m128i a, __m128i b) {
  __m128i lo = _mm_clmulepi64_si128(a, b, 0x00);
  __m128i mid = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
  __m128i hi = _mm_clmulepi64_si128(a, b, 0x11);
  lo = _mm_xor_si128(lo, _mm_slli_si128(mid, 8));
  hi = _mm_xor_si128(hi, _mm_srli_si128(mid, 8));
  // Shift hi:lo left by one bit.
  __m128i carry_lo = _mm_srli_epi32(lo, 31);
  __m128i carry_hi = _mm_srli_epi32(hi, 31);
  lo = _mm_slli_epi32(lo, 1);
  hi = _mm_slli_epi32(hi, 1);
  const __m128i across = _mm_srli_si128(carry_lo, 12);
  carry_hi = _mm_slli_si128(carry_hi, 4);
  carry_lo = _mm_slli_si128(carry_lo, 4);
  lo = _mm_or_si128(lo, carry_lo);
  hi = _mm_or_si128(_mm_or_si128(hi, carry_hi), across);
  // Reduce: fold the low half in with the shifts of x^128 = x^7 + x^2 + x + 1 in reflected order.
  __m128i t = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)), _mm_slli_epi32(lo, 25));
  const __m128i spill = _mm_srli_si128(t, 4);
  t = _mm_slli_si128(t, 12);
  lo = _mm_xor_si128(lo, t);
  __m128i u = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)), _mm_srli_epi32(lo, 7));
  u = _mm_xor_si128(u, spill);
  lo = _mm_xor_si128(lo, u);
  return _mm_xor_si128(hi, lo);
}

VELMORA_CLMUL_TARGET void ClmulBlocks(const uint8_t h[16], uint8_t x[16], const uint8_t* blocks, size_t count) {
  const __m128i key = Reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)));
  __m128i acc = Reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
  for (size_t i = 0; i < count; ++i) {
    const __m128i block = Reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)));
    acc = ClmulMultiply(_mm_xor_si128(acc, block), key);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), Reverse(acc));
}
#else
bool CpuHasClmul() { return false; }
void ClmulBlocks(const uint8_t*, uint8_t*, const uint8_t*, size_t) {}
#endif

// TableMultiply: Shoup's method, from the last byte to the first, low nibble before high nibble.
void TableMultiply(const GhashKey& key, const uint8_t x[16], uint8_t result[16]) {
  uint64_t zh = 0;
  uint64_t zl = 0;
  for (int i = 15; i >= 0; --i) {
    for (int half = 0; half < 2; ++half) {
      const uint64_t nibble = half == 0 ? x[i] & 0x0F : x[i] >> 4;
      if (i != 15 || half != 0) {
        const uint64_t rem = zl & 0x0F;
        zl = (zh << 60) | (zl >> 4);
        zh = (zh >> 4) ^ (ReductionFor(rem) << 48);
      }
      for (uint64_t j = 0; j < 16; ++j) {
        const uint64_t m = 0 - static_cast<uint64_t>(((j ^ nibble) - 1) >> 63);
        zh ^= key.high[j] & m;
        zl ^= key.low[j] & m;
      }
    }
  }
  Store64(result, zh);
  Store64(result + 8, zl);
}

}  // namespace

void SetPortableGhash(bool portable) { g_portable_ghash.store(portable, std::memory_order_relaxed); }

void GhashSetKey(GhashKey& key, const uint8_t h[16]) {
  std::memcpy(key.h, h, 16);
  key.clmul = CpuHasClmul() && !g_portable_ghash.load(std::memory_order_relaxed);
  uint64_t vh = Load64(h);
  uint64_t vl = Load64(h + 8);
  key.high[0] = 0;
  key.low[0] = 0;
  key.high[8] = vh;
  key.low[8] = vl;
  // 4·H, 2·H and 1·H by halving (multiplication by x in the reflected order).
  for (int i = 4; i > 0; i >>= 1) {
    const uint64_t carry = Mask(vl);
    vl = (vh << 63) | (vl >> 1);
    vh = (vh >> 1) ^ (0xE100000000000000ull & carry);
    key.high[i] = vh;
    key.low[i] = vl;
  }
  for (int i = 2; i <= 8; i <<= 1) {
    for (int j = 1; j < i; ++j) {
      key.high[i + j] = key.high[i] ^ key.high[j];
      key.low[i + j] = key.low[i] ^ key.low[j];
    }
  }
}

void GHashMultiply(const GhashKey& key, const uint8_t x[16], uint8_t result[16]) {
  if (key.clmul) {
    static const uint8_t kZero[16] = {};
    uint8_t acc[16];
    std::memcpy(acc, x, 16);
    ClmulBlocks(key.h, acc, kZero, 1);
    std::memcpy(result, acc, 16);
    return;
  }
  TableMultiply(key, x, result);
}

void GhashBlocks(const GhashKey& key, uint8_t x[16], const uint8_t* blocks, size_t count) {
  if (key.clmul) {
    ClmulBlocks(key.h, x, blocks, count);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    for (int k = 0; k < 16; ++k) x[k] ^= blocks[16 * i + k];
    TableMultiply(key, x, x);
  }
}

bool TagsEqual(const uint8_t* a, const uint8_t* b, size_t n) {
  uint32_t differ = 0;
  for (size_t i = 0; i < n; ++i) differ |= static_cast<uint32_t>(a[i] ^ b[i]);
  // Keep the compiler from turning the loop into an early exit.
  __asm__ volatile("" : "+r"(differ));
  return differ == 0;
}

int32_t CountTrailingZeros64(uint64_t value) { return value == 0 ? 64 : __builtin_ctzll(value); }

int32_t Block128ShiftLeft(const uint8_t* source, int32_t offset, uint8_t destination[16]) {
  const uint8_t* s = source + offset;
  const int32_t out = s[0] >> 7;
  for (int i = 0; i < 15; ++i) destination[i] = static_cast<uint8_t>((s[i] << 1) | (s[i + 1] >> 7));
  destination[15] = static_cast<uint8_t>(s[15] << 1);
  return out;
}

}  // namespace velmora::crypto
