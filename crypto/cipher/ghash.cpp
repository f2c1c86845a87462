// GHASH (NIST SP 800-38D): multiplication by the hash key H in GF(2^128), by carry-less multiplication
// where the processor has it (chosen at run time), else by ordinary 64-bit multiplications over spaced
// bits. Neither path reads memory at addresses that depend on the data or the key.
// Also the small shared helpers: constant-time tag comparison, trailing zeros, one-bit shift.
#include <atomic>
#include <cstring>

#include "crypto/cipher/aead.h"
#include "crypto/cipher/aes.h"
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

// Rev64 reverses the bit order of a 64-bit word.
uint64_t Rev64(uint64_t v) {
  v = __builtin_bswap64(v);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  return ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
}

// MulLow gives the low 64 bits of the carry-less product of x and y with ordinary multiplications: the
// operands are split into four sets of bits four places apart, so that the sums of the partial
// products cannot carry from one set of result bits into the next below bit 64.
uint64_t MulLow(uint64_t x, uint64_t y) {
  constexpr uint64_t m0 = 0x1111111111111111ull, m1 = 0x2222222222222222ull, m2 = 0x4444444444444444ull,
                     m3 = 0x8888888888888888ull;
  const uint64_t x0 = x & m0, x1 = x & m1, x2 = x & m2, x3 = x & m3;
  const uint64_t y0 = y & m0, y1 = y & m1, y2 = y & m2, y3 = y & m3;
  const uint64_t z0 = (x0 * y0) ^ (x1 * y3) ^ (x2 * y2) ^ (x3 * y1);
  const uint64_t z1 = (x0 * y1) ^ (x1 * y0) ^ (x2 * y3) ^ (x3 * y2);
  const uint64_t z2 = (x0 * y2) ^ (x1 * y1) ^ (x2 * y0) ^ (x3 * y3);
  const uint64_t z3 = (x0 * y3) ^ (x1 * y2) ^ (x2 * y1) ^ (x3 * y0);
  return (z0 & m0) | (z1 & m1) | (z2 & m2) | (z3 & m3);
}

// MulHigh gives the high bits of the same product from the product of the bit-reversed operands
// (x_rev and y_rev are Rev64 of x and y).
uint64_t MulHigh(uint64_t x_rev, uint64_t y_rev) { return Rev64(MulLow(x_rev, y_rev)) >> 1; }

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

// ClmulProduct gives the 256-bit carry-less product hi:lo of two byte-reversed field elements; sums of
// such products are reduced once by ClmulReduce.
VELMORA_CLMUL_TARGET inline void ClmulProduct(__m128i a, __m128i b, __m128i* lo, __m128i* hi) {
  const __m128i mid = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x10), _mm_clmulepi64_si128(a, b, 0x01));
  *lo = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x00), _mm_slli_si128(mid, 8));
  *hi = _mm_xor_si128(_mm_clmulepi64_si128(a, b, 0x11), _mm_srli_si128(mid, 8));
}

// ClmulReduce shifts hi:lo left one bit for the reflected bit order and reduces it modulo the GCM
// polynomial.
VELMORA_CLMUL_TARGET inline __m128i ClmulReduce(__m128i lo, __m128i hi) {
  __m128i carry_lo = _mm_srli_epi32(lo, 31);
  __m128i carry_hi = _mm_srli_epi32(hi, 31);
  lo = _mm_slli_epi32(lo, 1);
  hi = _mm_slli_epi32(hi, 1);
  const __m128i across = _mm_srli_si128(carry_lo, 12);
  carry_hi = _mm_slli_si128(carry_hi, 4);
  carry_lo = _mm_slli_si128(carry_lo, 4);
  lo = _mm_or_si128(lo, carry_lo);
  hi = _mm_or_si128(_mm_or_si128(hi, carry_hi), across);
  // Fold the low half in with the shifts of x^128 = x^7 + x^2 + x + 1 in reflected order.
  __m128i t = _mm_xor_si128(_mm_xor_si128(_mm_slli_epi32(lo, 31), _mm_slli_epi32(lo, 30)), _mm_slli_epi32(lo, 25));
  const __m128i spill = _mm_srli_si128(t, 4);
  t = _mm_slli_si128(t, 12);
  lo = _mm_xor_si128(lo, t);
  __m128i u = _mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(lo, 1), _mm_srli_epi32(lo, 2)), _mm_srli_epi32(lo, 7));
  u = _mm_xor_si128(u, spill);
  lo = _mm_xor_si128(lo, u);
  return _mm_xor_si128(hi, lo);
}

VELMORA_CLMUL_TARGET inline __m128i ClmulMultiply(__m128i a, __m128i b) {
  __m128i lo, hi;
  ClmulProduct(a, b, &lo, &hi);
  return ClmulReduce(lo, hi);
}

VELMORA_CLMUL_TARGET inline __m128i LoadReversed(const uint8_t* p) {
  return Reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// ClmulBlocks folds count blocks into x. Four blocks at a time are multiplied by H^4, H^3, H^2 and H
// independently and their products reduced once.
VELMORA_CLMUL_TARGET void ClmulBlocks(const uint8_t h[4][16], uint8_t x[16], const uint8_t* blocks, size_t count) {
  const __m128i key = LoadReversed(h[0]);
  __m128i acc = LoadReversed(x);
  size_t i = 0;
  if (count >= 4) {
    const __m128i h2 = LoadReversed(h[1]), h3 = LoadReversed(h[2]), h4 = LoadReversed(h[3]);
    for (; i + 4 <= count; i += 4) {
      const uint8_t* b = blocks + 16 * i;
      __m128i lo0, hi0, lo1, hi1, lo2, hi2, lo3, hi3;
      ClmulProduct(_mm_xor_si128(acc, LoadReversed(b)), h4, &lo0, &hi0);
      ClmulProduct(LoadReversed(b + 16), h3, &lo1, &hi1);
      ClmulProduct(LoadReversed(b + 32), h2, &lo2, &hi2);
      ClmulProduct(LoadReversed(b + 48), key, &lo3, &hi3);
      acc = ClmulReduce(_mm_xor_si128(_mm_xor_si128(lo0, lo1), _mm_xor_si128(lo2, lo3)),
                        _mm_xor_si128(_mm_xor_si128(hi0, hi1), _mm_xor_si128(hi2, hi3)));
    }
  }
  for (; i < count; ++i) {
    const __m128i block = Reverse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)));
    acc = ClmulMultiply(_mm_xor_si128(acc, block), key);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), Reverse(acc));
}
// ClmulPowers fills h[1..7] with H^2 .. H^8 from H in h[0].
VELMORA_CLMUL_TARGET void ClmulPowers(uint8_t h[8][16]) {
  const __m128i key = LoadReversed(h[0]);
  __m128i power = key;
  for (int i = 1; i < 8; ++i) {
    power = ClmulMultiply(power, key);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h[i]), Reverse(power));
  }
}

#define VELMORA_GCM_TARGET __attribute__((target("aes,pclmul,ssse3")))

constexpr size_t kBulkWidth = 8;

// BulkStep runs m counter blocks through the AES rounds side by side, XORs the keystream into the data
// and multiplies the m ciphertext blocks by H^m .. H, reducing their sum once.
template <size_t m>
VELMORA_GCM_TARGET __attribute__((always_inline)) inline void BulkStep(const __m128i* keys, int32_t rounds,
                                                                      const __m128i* powers, __m128i* acc,
                                                                      __m128i* ctr, const uint8_t* src,
                                                                      uint8_t* dst, bool encrypt) {
  const __m128i one = _mm_set_epi32(0, 0, 0, 1);
  __m128i state[m];
#pragma GCC unroll 8
  for (size_t k = 0; k < m; ++k) {
    *ctr = _mm_add_epi32(*ctr, one);
    state[k] = _mm_xor_si128(Reverse(*ctr), keys[0]);
  }
  for (int32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
    for (size_t k = 0; k < m; ++k) state[k] = _mm_aesenc_si128(state[k], keys[r]);
  }
  __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
#pragma GCC unroll 8
  for (size_t k = 0; k < m; ++k) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * k));
    const __m128i out = _mm_xor_si128(_mm_aesenclast_si128(state[k], keys[rounds]), in);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), out);
    __m128i block = Reverse(encrypt ? out : in);
    if (k == 0) block = _mm_xor_si128(block, *acc);
    __m128i l, h;
    ClmulProduct(block, powers[m - 1 - k], &l, &h);
    lo = _mm_xor_si128(lo, l);
    hi = _mm_xor_si128(hi, h);
  }
  *acc = ClmulReduce(lo, hi);
}

VELMORA_GCM_TARGET void ClmulBulk(const uint32_t* round_keys, int32_t rounds, const GhashKey& key, uint8_t x[16],
                                  uint8_t counter[16], const uint8_t* src, uint8_t* dst, size_t count, bool encrypt) {
  // The schedule's 32-bit words are stored byte-swapped against the order the AES instructions take.
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  __m128i keys[15];
  for (int32_t r = 0; r <= rounds; ++r) {
    keys[r] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(round_keys + 4 * r)), swap);
  }
  __m128i powers[kBulkWidth];
  for (size_t k = 0; k < kBulkWidth; ++k) powers[k] = LoadReversed(key.h[k]);
  __m128i acc = LoadReversed(x);
  // Byte-reversed, the counter's last four bytes are the low 32-bit lane, which then wraps by itself.
  __m128i ctr = LoadReversed(counter);
  size_t i = 0;
  for (; i + kBulkWidth <= count; i += kBulkWidth) {
    BulkStep<kBulkWidth>(keys, rounds, powers, &acc, &ctr, src + 16 * i, dst + 16 * i, encrypt);
  }
  for (; i < count; ++i) BulkStep<1>(keys, rounds, powers, &acc, &ctr, src + 16 * i, dst + 16 * i, encrypt);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), Reverse(acc));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(counter), Reverse(ctr));
}

#define VELMORA_WIDE_GCM_TARGET __attribute__((target("vaes,vpclmulqdq,avx2,aes,pclmul,ssse3")))

// WideBulk is ClmulBulk on 256-bit lanes: eight counter blocks in four registers through VAES, and the
// eight GHASH products two at a time by VPCLMULQDQ against (H^8, H^7) .. (H^2, H), their sum reduced
// once.
VELMORA_WIDE_GCM_TARGET void WideBulk(const uint32_t* round_keys, int32_t rounds, const GhashKey& key, uint8_t x[16],
                                      uint8_t counter[16], const uint8_t* src, uint8_t* dst, size_t count,
                                      bool encrypt) {
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  __m128i keys[15];
  __m256i wide_keys[15];
  for (int32_t r = 0; r <= rounds; ++r) {
    keys[r] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(round_keys + 4 * r)), swap);
    wide_keys[r] = _mm256_broadcastsi128_si256(keys[r]);
  }
  __m128i powers[kBulkWidth];
  for (size_t k = 0; k < kBulkWidth; ++k) powers[k] = LoadReversed(key.h[k]);
  __m256i pairs[kBulkWidth / 2];
  for (size_t k = 0; k < kBulkWidth / 2; ++k) pairs[k] = _mm256_set_m128i(powers[6 - 2 * k], powers[7 - 2 * k]);
  const __m256i reverse =
      _mm256_broadcastsi128_si256(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m256i step = _mm256_set_epi32(0, 0, 0, 2, 0, 0, 0, 2);
  __m128i acc = LoadReversed(x);
  __m128i ctr = LoadReversed(counter);
  size_t i = 0;
  for (; i + kBulkWidth <= count; i += kBulkWidth) {
    const uint8_t* in = src + 16 * i;
    uint8_t* out = dst + 16 * i;
    // Lanes hold counter+1, counter+2, ...: 32-bit additions, so the last four bytes wrap by themselves.
    __m256i c = _mm256_add_epi32(_mm256_broadcastsi128_si256(ctr), _mm256_set_epi32(0, 0, 0, 2, 0, 0, 0, 1));
    __m256i state[kBulkWidth / 2];
    for (size_t k = 0; k < kBulkWidth / 2; ++k) {
      state[k] = _mm256_xor_si256(_mm256_shuffle_epi8(c, reverse), wide_keys[0]);
      c = _mm256_add_epi32(c, step);
    }
    ctr = _mm_add_epi32(ctr, _mm_set_epi32(0, 0, 0, static_cast<int>(kBulkWidth)));
    for (int32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 4
      for (size_t k = 0; k < kBulkWidth / 2; ++k) state[k] = _mm256_aesenc_epi128(state[k], wide_keys[r]);
    }
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256(), mid = _mm256_setzero_si256();
#pragma GCC unroll 4
    for (size_t k = 0; k < kBulkWidth / 2; ++k) {
      const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * k));
      const __m256i result = _mm256_xor_si256(_mm256_aesenclast_epi128(state[k], wide_keys[rounds]), data);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * k), result);
      __m256i block = _mm256_shuffle_epi8(encrypt ? result : data, reverse);
      if (k == 0) block = _mm256_xor_si256(block, _mm256_zextsi128_si256(acc));
      lo = _mm256_xor_si256(lo, _mm256_clmulepi64_epi128(block, pairs[k], 0x00));
      hi = _mm256_xor_si256(hi, _mm256_clmulepi64_epi128(block, pairs[k], 0x11));
      mid = _mm256_xor_si256(mid, _mm256_xor_si256(_mm256_clmulepi64_epi128(block, pairs[k], 0x10),
                                                   _mm256_clmulepi64_epi128(block, pairs[k], 0x01)));
    }
    const __m128i lo2 = _mm_xor_si128(_mm256_castsi256_si128(lo), _mm256_extracti128_si256(lo, 1));
    const __m128i hi2 = _mm_xor_si128(_mm256_castsi256_si128(hi), _mm256_extracti128_si256(hi, 1));
    const __m128i mid2 = _mm_xor_si128(_mm256_castsi256_si128(mid), _mm256_extracti128_si256(mid, 1));
    acc = ClmulReduce(_mm_xor_si128(lo2, _mm_slli_si128(mid2, 8)), _mm_xor_si128(hi2, _mm_srli_si128(mid2, 8)));
  }
  for (; i < count; ++i) BulkStep<1>(keys, rounds, powers, &acc, &ctr, src + 16 * i, dst + 16 * i, encrypt);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(x), Reverse(acc));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(counter), Reverse(ctr));
}
#else
bool CpuHasClmul() { return false; }
void WideBulk(const uint32_t*, int32_t, const GhashKey&, uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t, bool) {}
void ClmulBlocks(const uint8_t (*)[16], uint8_t*, const uint8_t*, size_t) {}
void ClmulPowers(uint8_t (*)[16]) {}
void ClmulBulk(const uint32_t*, int32_t, const GhashKey&, uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t,
               bool) {}
#endif

// PortableMultiply sets result = x·H. The field elements are taken with the coefficient of x^i at bit i
// (the bit reversal of the block read big-endian), multiplied by Karatsuba over 64-bit halves and
// reduced modulo x^128 + x^7 + x^2 + x + 1. Only shifts, XORs and multiplications: the time does not
// depend on the values.
void PortableMultiply(const GhashKey& key, const uint8_t x[16], uint8_t result[16]) {
  const uint64_t a1_rev = Load64(x + 8);  // reversed forms straight from the bytes
  const uint64_t a0_rev = Load64(x);
  const uint64_t a0 = Rev64(a0_rev), a1 = Rev64(a1_rev);
  const uint64_t h0 = key.low[0], h1 = key.low[1], h2 = key.low[2];
  const uint64_t h0_rev = key.high[0], h1_rev = key.high[1], h2_rev = key.high[2];
  const uint64_t z0_lo = MulLow(a0, h0), z0_hi = MulHigh(a0_rev, h0_rev);
  const uint64_t z2_lo = MulLow(a1, h1), z2_hi = MulHigh(a1_rev, h1_rev);
  uint64_t z1_lo = MulLow(a0 ^ a1, h2), z1_hi = MulHigh(a0_rev ^ a1_rev, h2_rev);
  z1_lo ^= z0_lo ^ z2_lo;
  z1_hi ^= z0_hi ^ z2_hi;
  const uint64_t r0 = z0_lo, r1 = z0_hi ^ z1_lo, r2 = z2_lo ^ z1_hi, r3 = z2_hi;
  // x^128 = x^7 + x^2 + x + 1: fold r3:r2 down, then the bits that spill over 128 once more.
  const uint64_t spill = (r3 >> 63) ^ (r3 >> 62) ^ (r3 >> 57);
  const uint64_t t0 = r2 ^ (r2 << 1) ^ (r2 << 2) ^ (r2 << 7) ^ spill ^ (spill << 1) ^ (spill << 2) ^ (spill << 7);
  const uint64_t t1 = r3 ^ (r3 << 1 | r2 >> 63) ^ (r3 << 2 | r2 >> 62) ^ (r3 << 7 | r2 >> 57);
  Store64(result, Rev64(r0 ^ t0));
  Store64(result + 8, Rev64(r1 ^ t1));
}

}  // namespace

void SetPortableGhash(bool portable) { g_portable_ghash.store(portable, std::memory_order_relaxed); }

void GhashSetKey(GhashKey& key, const uint8_t h[16]) {
  // cpuid traps to the hypervisor on virtual machines: asked once.
  static const bool have_clmul = CpuHasClmul();
  key.clmul = have_clmul && !g_portable_ghash.load(std::memory_order_relaxed);
  // H's 64-bit halves with the coefficient of x^i at bit i, their sum for Karatsuba, and the reversed
  // forms of the three for the high products.
  key.high[0] = Load64(h);
  key.high[1] = Load64(h + 8);
  key.high[2] = key.high[0] ^ key.high[1];
  for (int i = 0; i < 3; ++i) key.low[i] = Rev64(key.high[i]);
  // The powers of H for the several-block steps of the carry-less path.
  std::memset(key.h, 0, sizeof key.h);
  std::memcpy(key.h[0], h, 16);
  if (key.clmul) ClmulPowers(key.h);
}

bool GcmBulkAvailable(const GhashKey& key) { return key.clmul && AesAccelerationActive(); }

void GcmBulkBlocks(const uint32_t* round_keys, int32_t rounds, const GhashKey& key, uint8_t x[16],
                   uint8_t counter[16], const uint8_t* src, uint8_t* dst, size_t count, bool encrypt) {
  if (internal::AesWideActive()) {
    WideBulk(round_keys, rounds, key, x, counter, src, dst, count, encrypt);
  } else {
    ClmulBulk(round_keys, rounds, key, x, counter, src, dst, count, encrypt);
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
  PortableMultiply(key, x, result);
}

void GhashBlocks(const GhashKey& key, uint8_t x[16], const uint8_t* blocks, size_t count) {
  if (key.clmul) {
    ClmulBlocks(key.h, x, blocks, count);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    for (int k = 0; k < 16; ++k) x[k] ^= blocks[16 * i + k];
    PortableMultiply(key, x, x);
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
