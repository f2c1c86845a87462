// The SHA-512 block function for processors with AVX2 and BMI2, chosen at run time. Two blocks are
// taken side by side: their message schedules run in the two 128-bit halves of 256-bit registers, two
// words of each block per register, and land in a table with the round constants already added. The
// steps run on general registers, fully unrolled, reading one table word each; compiled for BMI2, the
// rotations are RORX, which leaves its source intact. The vector work of the next two blocks is spread
// over the current two blocks' steps, whose dependency chains leave the vector units idle. A lone last
// block runs in both halves and only its own steps are taken. Same FIPS 180-4 compression as the
// portable form, and like it without a data-dependent branch or memory index (the only branches follow
// the block count).
#include <bit>
#include <cstddef>
#include <cstdint>

#include "crypto/digest/sha2_block.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace velmora::crypto::internal {

bool CpuHasAvx2Bmi2() {
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0 &&
         __builtin_cpu_supports("bmi2") != 0;
}

namespace {

#define VELMORA_SHA512_TARGET __attribute__((target("avx2,bmi,bmi2")))

// sigma0(x) = (x >>> 1) ^ (x >>> 8) ^ (x >> 7) on four lanes; the byte rotation is a shuffle.
VELMORA_SHA512_TARGET inline __m256i SmallSigma0(__m256i x, __m256i rotate8) {
  const __m256i a = _mm256_xor_si256(_mm256_srli_epi64(x, 1), _mm256_slli_epi64(x, 63));
  const __m256i b = _mm256_xor_si256(_mm256_srli_epi64(x, 7), _mm256_shuffle_epi8(x, rotate8));
  return _mm256_xor_si256(a, b);
}

// sigma1(x) = (x >>> 19) ^ (x >>> 61) ^ (x >> 6) on four lanes.
VELMORA_SHA512_TARGET inline __m256i SmallSigma1(__m256i x) {
  const __m256i a = _mm256_xor_si256(_mm256_srli_epi64(x, 19), _mm256_slli_epi64(x, 45));
  const __m256i b = _mm256_xor_si256(_mm256_srli_epi64(x, 61), _mm256_slli_epi64(x, 3));
  return _mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_srli_epi64(x, 6));
}

// The schedule of two blocks: x[i] holds words 2i and 2i + 1 (mod 16) of both, the first block's in the
// low half. Entry 4 * (t / 2) + 2 * half + t % 2 of the table out receives W[t] + K[t].
#define VELMORA_SHA512_LOAD(i)                                                                           \
  x[i] = _mm256_shuffle_epi8(_mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(second + 16 * (i)),     \
                                                 reinterpret_cast<const __m128i*>(first + 16 * (i))),     \
                             swap);                                                                      \
  _mm256_store_si256(reinterpret_cast<__m256i*>(out + 4 * (i)),                                          \
                     _mm256_add_epi64(x[i], _mm256_broadcastsi128_si256(_mm_load_si128(                 \
                                                reinterpret_cast<const __m128i*>(k + 2 * (i))))));
// Words t = 2s and t + 1: W[t - 16] + sigma0(W[t - 15]) + W[t - 7] + sigma1(W[t - 2]), into x[s % 8].
#define VELMORA_SHA512_SCHEDULE(s)                                                                       \
  {                                                                                                     \
    const __m256i w15 = _mm256_alignr_epi8(x[((s) + 1) & 7], x[(s) & 7], 8);                           \
    const __m256i w7 = _mm256_alignr_epi8(x[((s) + 5) & 7], x[((s) + 4) & 7], 8);                      \
    const __m256i sum = _mm256_add_epi64(_mm256_add_epi64(x[(s) & 7], w7), SmallSigma0(w15, rotate8));   \
    x[(s) & 7] = _mm256_add_epi64(sum, SmallSigma1(x[((s) + 7) & 7]));                                  \
    _mm256_store_si256(reinterpret_cast<__m256i*>(out + 4 * (s)),                                        \
                       _mm256_add_epi64(x[(s) & 7], _mm256_broadcastsi128_si256(_mm_load_si128(         \
                                                       reinterpret_cast<const __m128i*>(k + 2 * (s))))));  \
  }
#define VELMORA_SHA512_SCHEDULE2(s) VELMORA_SHA512_SCHEDULE(s) VELMORA_SHA512_SCHEDULE((s) + 1)
#define VELMORA_SHA512_SCHEDULE4(s) VELMORA_SHA512_SCHEDULE2(s) VELMORA_SHA512_SCHEDULE2((s) + 2)
#define VELMORA_SHA512_CONSTANTS                                                                  \
  const __m256i swap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,      \
                                        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);     \
  const __m256i rotate8 = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,   \
                                           1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);  \
  const uint64_t* k = kSha512RoundConstants;

// One step with W[t] + K[t] taken from the table; Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)) and one step's
// a ^ b is the next one's b ^ c.
#define VELMORA_SHA512_STEP(a, b, c, d, e, f, g, h, t)                                                   \
  {                                                                                                     \
    const uint64_t t1 = h + (std::rotr(e, 14) ^ std::rotr(e, 18) ^ std::rotr(e, 41)) + (g ^ (e & (f ^ g))) + \
                        wk[4 * ((t) >> 1) + ((t) & 1)];                                                 \
    const uint64_t ab = a ^ b;                                                                          \
    d += t1;                                                                                            \
    h = t1 + (std::rotr(a, 28) ^ std::rotr(a, 34) ^ std::rotr(a, 39)) + (b ^ (ab & bc));                 \
    bc = ab;                                                                                            \
  }
#define VELMORA_SHA512_EIGHT(t)                              \
  VELMORA_SHA512_STEP(a, b, c, d, e, f, g, h, t)             \
  VELMORA_SHA512_STEP(h, a, b, c, d, e, f, g, (t) + 1)       \
  VELMORA_SHA512_STEP(g, h, a, b, c, d, e, f, (t) + 2)       \
  VELMORA_SHA512_STEP(f, g, h, a, b, c, d, e, (t) + 3)       \
  VELMORA_SHA512_STEP(e, f, g, h, a, b, c, d, (t) + 4)       \
  VELMORA_SHA512_STEP(d, e, f, g, h, a, b, c, (t) + 5)       \
  VELMORA_SHA512_STEP(c, d, e, f, g, h, a, b, (t) + 6)       \
  VELMORA_SHA512_STEP(b, c, d, e, f, g, h, a, (t) + 7)

#define VELMORA_SHA512_LOAD_STATE                            \
  uint64_t a = state[0], b = state[1], c = state[2], d = state[3]; \
  uint64_t e = state[4], f = state[5], g = state[6], h = state[7]; \
  uint64_t bc = b ^ c;
#define VELMORA_SHA512_ADD_STATE \
  state[0] += a;                 \
  state[1] += b;                 \
  state[2] += c;                 \
  state[3] += d;                 \
  state[4] += e;                 \
  state[5] += f;                 \
  state[6] += g;                 \
  state[7] += h;

// Schedule fills out with the schedules of the blocks at first and second.
VELMORA_SHA512_TARGET inline void Schedule(const uint8_t* first, const uint8_t* second, uint64_t* out) {
  VELMORA_SHA512_CONSTANTS
  __m256i x[8];
  VELMORA_SHA512_LOAD(0)
  VELMORA_SHA512_LOAD(1)
  VELMORA_SHA512_LOAD(2)
  VELMORA_SHA512_LOAD(3)
  VELMORA_SHA512_LOAD(4)
  VELMORA_SHA512_LOAD(5)
  VELMORA_SHA512_LOAD(6)
  VELMORA_SHA512_LOAD(7)
  VELMORA_SHA512_SCHEDULE4(8)
  VELMORA_SHA512_SCHEDULE4(12)
  VELMORA_SHA512_SCHEDULE4(16)
  VELMORA_SHA512_SCHEDULE4(20)
  VELMORA_SHA512_SCHEDULE4(24)
  VELMORA_SHA512_SCHEDULE4(28)
  VELMORA_SHA512_SCHEDULE4(32)
  VELMORA_SHA512_SCHEDULE4(36)
}

// Pair runs the 160 steps of two blocks whose schedules are in table (lone: only the first, the last
// block of the run), and meanwhile fills out with the schedules of the blocks at first and second:
// the vector work is spread over both blocks' steps, where the general registers' dependency chains
// leave the vector units idle.
VELMORA_SHA512_TARGET inline void Pair(uint64_t state[8], const uint64_t* table, bool lone, const uint8_t* first,
                                       const uint8_t* second, uint64_t* out) {
  VELMORA_SHA512_CONSTANTS
  __m256i x[8];
  const uint64_t* wk = table;
  {
    VELMORA_SHA512_LOAD_STATE
    VELMORA_SHA512_LOAD(0)
    VELMORA_SHA512_LOAD(1)
    VELMORA_SHA512_EIGHT(0)
    VELMORA_SHA512_LOAD(2)
    VELMORA_SHA512_LOAD(3)
    VELMORA_SHA512_EIGHT(8)
    VELMORA_SHA512_LOAD(4)
    VELMORA_SHA512_LOAD(5)
    VELMORA_SHA512_EIGHT(16)
    VELMORA_SHA512_LOAD(6)
    VELMORA_SHA512_LOAD(7)
    VELMORA_SHA512_EIGHT(24)
    VELMORA_SHA512_SCHEDULE2(8)
    VELMORA_SHA512_EIGHT(32)
    VELMORA_SHA512_SCHEDULE2(10)
    VELMORA_SHA512_EIGHT(40)
    VELMORA_SHA512_SCHEDULE2(12)
    VELMORA_SHA512_EIGHT(48)
    VELMORA_SHA512_SCHEDULE2(14)
    VELMORA_SHA512_EIGHT(56)
    VELMORA_SHA512_SCHEDULE2(16)
    VELMORA_SHA512_EIGHT(64)
    VELMORA_SHA512_SCHEDULE2(18)
    VELMORA_SHA512_EIGHT(72)
    VELMORA_SHA512_ADD_STATE
  }
  if (lone) return;  // the last block: nothing follows, the half-made schedule is not needed
  wk = table + 2;
  VELMORA_SHA512_LOAD_STATE
  VELMORA_SHA512_SCHEDULE2(20)
  VELMORA_SHA512_EIGHT(0)
  VELMORA_SHA512_SCHEDULE2(22)
  VELMORA_SHA512_EIGHT(8)
  VELMORA_SHA512_SCHEDULE2(24)
  VELMORA_SHA512_EIGHT(16)
  VELMORA_SHA512_SCHEDULE2(26)
  VELMORA_SHA512_EIGHT(24)
  VELMORA_SHA512_SCHEDULE2(28)
  VELMORA_SHA512_EIGHT(32)
  VELMORA_SHA512_SCHEDULE2(30)
  VELMORA_SHA512_EIGHT(40)
  VELMORA_SHA512_SCHEDULE2(32)
  VELMORA_SHA512_EIGHT(48)
  VELMORA_SHA512_SCHEDULE2(34)
  VELMORA_SHA512_EIGHT(56)
  VELMORA_SHA512_SCHEDULE2(36)
  VELMORA_SHA512_EIGHT(64)
  VELMORA_SHA512_SCHEDULE2(38)
  VELMORA_SHA512_EIGHT(72)
  VELMORA_SHA512_ADD_STATE
}

#undef VELMORA_SHA512_LOAD
#undef VELMORA_SHA512_SCHEDULE
#undef VELMORA_SHA512_SCHEDULE2
#undef VELMORA_SHA512_SCHEDULE4
#undef VELMORA_SHA512_CONSTANTS
#undef VELMORA_SHA512_STEP
#undef VELMORA_SHA512_EIGHT
#undef VELMORA_SHA512_LOAD_STATE
#undef VELMORA_SHA512_ADD_STATE

}  // namespace

// The schedules of the next two blocks are computed while the current two run (a lone last block is
// scheduled in both halves); the last call schedules its own blocks again, unused.
VELMORA_SHA512_TARGET void Sha512BlocksAvx2(uint64_t state[8], const uint8_t* data, size_t blocks) {
  if (blocks == 0) return;
  alignas(32) uint64_t tables[2][160];
  Schedule(data, blocks >= 2 ? data + 128 : data, tables[0]);
  for (int current = 0;; current ^= 1) {
    const bool lone = blocks == 1;
    const size_t taken = lone ? 1 : 2;
    const uint8_t* next = blocks > taken ? data + 128 * taken : data;
    const uint8_t* after = blocks > taken + 1 ? next + 128 : next;
    Pair(state, tables[current], lone, next, after, tables[current ^ 1]);
    blocks -= taken;
    if (blocks == 0) return;
    data = next;
  }
}

#undef VELMORA_SHA512_TARGET

}  // namespace velmora::crypto::internal

#else

namespace velmora::crypto::internal {

bool CpuHasAvx2Bmi2() { return false; }
void Sha512BlocksAvx2(uint64_t state[8], const uint8_t* data, size_t blocks) {
  Sha512BlocksPortable(state, data, blocks);
}

}  // namespace velmora::crypto::internal

#endif
