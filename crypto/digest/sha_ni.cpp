// SHA-1 and SHA-256 block functions on the x86 SHA extensions, chosen at run time. They compute the
// same FIPS 180-4 compression as the portable forms; the instructions keep the working variables in
// the (A, B, E, F) / (C, D, G, H) arrangement that SHA256RNDS2 expects.
#include <cstddef>
#include <cstdint>

#include "crypto/digest/digest_bytes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>

namespace velmora::crypto::internal {

bool CpuHasShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

#define VELMORA_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Message groups: w[g & 3] holds words 4g .. 4g + 3 of the schedule.
#define VELMORA_SHA1NI_SCHEDULE(g)                                                                      \
  w[(g) & 3] = _mm_sha1msg2_epu32(                                                                      \
      _mm_xor_si128(_mm_sha1msg1_epu32(w[(g) & 3], w[((g) + 1) & 3]), w[((g) + 2) & 3]), w[((g) + 3) & 3]);
#define VELMORA_SHA1NI_ROUNDS(g, f)                                 \
  {                                                                 \
    const __m128i e_in = _mm_sha1nexte_epu32(e_saved, w[(g) & 3]);  \
    e_saved = abcd;                                                 \
    abcd = _mm_sha1rnds4_epu32(abcd, e_in, f);                      \
  }
#define VELMORA_SHA1NI_GROUP(g, f) VELMORA_SHA1NI_SCHEDULE(g) VELMORA_SHA1NI_ROUNDS(g, f)

VELMORA_SHA_TARGET void Sha1BlocksShaNi(uint32_t h[5], const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1b);
  __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abcd_saved = abcd;
    const __m128i e0_saved = e0;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
    }
    __m128i e_saved = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e0, w[0]), 0);
    VELMORA_SHA1NI_ROUNDS(1, 0)
    VELMORA_SHA1NI_ROUNDS(2, 0)
    VELMORA_SHA1NI_ROUNDS(3, 0)
    VELMORA_SHA1NI_GROUP(4, 0)
    VELMORA_SHA1NI_GROUP(5, 1)
    VELMORA_SHA1NI_GROUP(6, 1)
    VELMORA_SHA1NI_GROUP(7, 1)
    VELMORA_SHA1NI_GROUP(8, 1)
    VELMORA_SHA1NI_GROUP(9, 1)
    VELMORA_SHA1NI_GROUP(10, 2)
    VELMORA_SHA1NI_GROUP(11, 2)
    VELMORA_SHA1NI_GROUP(12, 2)
    VELMORA_SHA1NI_GROUP(13, 2)
    VELMORA_SHA1NI_GROUP(14, 2)
    VELMORA_SHA1NI_GROUP(15, 3)
    VELMORA_SHA1NI_GROUP(16, 3)
    VELMORA_SHA1NI_GROUP(17, 3)
    VELMORA_SHA1NI_GROUP(18, 3)
    VELMORA_SHA1NI_GROUP(19, 3)
    // The fifth variable of the block's last step is rotated back and added to the saved E.
    e0 = _mm_sha1nexte_epu32(e_saved, e0_saved);
    abcd = _mm_add_epi32(abcd, abcd_saved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1b));
  h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef VELMORA_SHA1NI_SCHEDULE
#undef VELMORA_SHA1NI_ROUNDS
#undef VELMORA_SHA1NI_GROUP

#define VELMORA_SHA256NI_SCHEDULE(g)                                                                    \
  w[(g) & 3] = _mm_sha256msg2_epu32(                                                                    \
      _mm_add_epi32(_mm_sha256msg1_epu32(w[(g) & 3], w[((g) + 1) & 3]),                                 \
                    _mm_alignr_epi8(w[((g) + 3) & 3], w[((g) + 2) & 3], 4)),                            \
      w[((g) + 3) & 3]);
#define VELMORA_SHA256NI_ROUNDS(g)                                                                      \
  {                                                                                                     \
    __m128i wk = _mm_add_epi32(w[(g) & 3],                                                              \
                               _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants) + (g))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);                                                       \
    wk = _mm_shuffle_epi32(wk, 0x0e);                                                                   \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);                                                       \
  }
#define VELMORA_SHA256NI_GROUP(g) VELMORA_SHA256NI_SCHEDULE(g) VELMORA_SHA256NI_ROUNDS(g)

VELMORA_SHA_TARGET void Sha256BlocksShaNi(uint32_t h[8], const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xb1);
  const __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1b);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xf0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_saved = abef;
    const __m128i cdgh_saved = cdgh;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
    }
    VELMORA_SHA256NI_ROUNDS(0)
    VELMORA_SHA256NI_ROUNDS(1)
    VELMORA_SHA256NI_ROUNDS(2)
    VELMORA_SHA256NI_ROUNDS(3)
    VELMORA_SHA256NI_GROUP(4)
    VELMORA_SHA256NI_GROUP(5)
    VELMORA_SHA256NI_GROUP(6)
    VELMORA_SHA256NI_GROUP(7)
    VELMORA_SHA256NI_GROUP(8)
    VELMORA_SHA256NI_GROUP(9)
    VELMORA_SHA256NI_GROUP(10)
    VELMORA_SHA256NI_GROUP(11)
    VELMORA_SHA256NI_GROUP(12)
    VELMORA_SHA256NI_GROUP(13)
    VELMORA_SHA256NI_GROUP(14)
    VELMORA_SHA256NI_GROUP(15)
    abef = _mm_add_epi32(abef, abef_saved);
    cdgh = _mm_add_epi32(cdgh, cdgh_saved);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef VELMORA_SHA256NI_SCHEDULE
#undef VELMORA_SHA256NI_ROUNDS
#undef VELMORA_SHA256NI_GROUP
#undef VELMORA_SHA_TARGET

}  // namespace velmora::crypto::internal

#else

namespace velmora::crypto::internal {

bool CpuHasShaExtensions() { return false; }
void Sha1BlocksShaNi(uint32_t h[5], const uint8_t* data, size_t blocks) { Sha1BlocksPortable(h, data, blocks); }
void Sha256BlocksShaNi(uint32_t h[8], const uint8_t* data, size_t blocks) { Sha256BlocksPortable(h, data, blocks); }

}  // namespace velmora::crypto::internal

#endif
