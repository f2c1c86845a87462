// AES on the x86 AES instructions, chosen at run time. The schedules are the portable ones: each round
// key is loaded with its 32-bit words byte-swapped into memory order, and the decryption schedule is
// already the equivalent inverse cipher's (InvMixColumns folded in), which is what AESDEC expects.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/cipher/aes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>

namespace velmora::crypto::internal {

bool CpuHasAesNi() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool aes = (c & (1u << 25)) != 0;
  return ssse3 && aes;
}

namespace {

#define VELMORA_AES_TARGET __attribute__((target("aes,ssse3")))

VELMORA_AES_TARGET inline void LoadKeys(const uint32_t* round_keys, int32_t rounds, __m128i* keys) {
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  for (int32_t r = 0; r <= rounds; ++r) {
    keys[r] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(round_keys + 4 * r)), swap);
  }
}

VELMORA_AES_TARGET inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
VELMORA_AES_TARGET inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Four blocks go through the rounds together so that the instruction latencies overlap.
#define VELMORA_AES_BLOCKS(ROUND, LAST)                                                   \
  size_t i = 0;                                                                           \
  for (; i + 4 <= blocks; i += 4) {                                                       \
    __m128i x0 = _mm_xor_si128(Load(in + 16 * i), keys[0]);                               \
    __m128i x1 = _mm_xor_si128(Load(in + 16 * i + 16), keys[0]);                          \
    __m128i x2 = _mm_xor_si128(Load(in + 16 * i + 32), keys[0]);                          \
    __m128i x3 = _mm_xor_si128(Load(in + 16 * i + 48), keys[0]);                          \
    for (int32_t r = 1; r < rounds; ++r) {                                                \
      x0 = ROUND(x0, keys[r]);                                                            \
      x1 = ROUND(x1, keys[r]);                                                            \
      x2 = ROUND(x2, keys[r]);                                                            \
      x3 = ROUND(x3, keys[r]);                                                            \
    }                                                                                     \
    Store(out + 16 * i, LAST(x0, keys[rounds]));                                          \
    Store(out + 16 * i + 16, LAST(x1, keys[rounds]));                                     \
    Store(out + 16 * i + 32, LAST(x2, keys[rounds]));                                     \
    Store(out + 16 * i + 48, LAST(x3, keys[rounds]));                                     \
  }                                                                                       \
  for (; i < blocks; ++i) {                                                               \
    __m128i x = _mm_xor_si128(Load(in + 16 * i), keys[0]);                                \
    for (int32_t r = 1; r < rounds; ++r) x = ROUND(x, keys[r]);                           \
    Store(out + 16 * i, LAST(x, keys[rounds]));                                           \
  }

}  // namespace

VELMORA_AES_TARGET void AesEncryptBlocksNi(const uint32_t* round_keys, int32_t rounds, const uint8_t* in,
                                           uint8_t* out, size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  VELMORA_AES_BLOCKS(_mm_aesenc_si128, _mm_aesenclast_si128)
}

VELMORA_AES_TARGET void AesDecryptBlocksNi(const uint32_t* round_keys, int32_t rounds, const uint8_t* in,
                                           uint8_t* out, size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  VELMORA_AES_BLOCKS(_mm_aesdec_si128, _mm_aesdeclast_si128)
}

VELMORA_AES_TARGET void AesCbcEncryptBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16],
                                              const uint8_t* in, uint8_t* out, size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  __m128i chain = Load(iv);
  for (size_t i = 0; i < blocks; ++i) {
    chain = _mm_xor_si128(_mm_xor_si128(chain, Load(in + 16 * i)), keys[0]);
    for (int32_t r = 1; r < rounds; ++r) chain = _mm_aesenc_si128(chain, keys[r]);
    chain = _mm_aesenclast_si128(chain, keys[rounds]);
    Store(out + 16 * i, chain);
  }
  Store(iv, chain);
}

}  // namespace velmora::crypto::internal

#else

namespace velmora::crypto::internal {

bool CpuHasAesNi() { return false; }
// Never reached: the callers test CpuHasAesNi first.
void AesEncryptBlocksNi(const uint32_t*, int32_t, const uint8_t*, uint8_t*, size_t) {}
void AesDecryptBlocksNi(const uint32_t*, int32_t, const uint8_t*, uint8_t*, size_t) {}
void AesCbcEncryptBlocksNi(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t) {}

}  // namespace velmora::crypto::internal

#endif
