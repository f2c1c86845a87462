// ChaCha20, Poly1305 and ChaCha20-Poly1305 (RFC 8439) for the cipher object. Poly1305 works on 64-bit
// words with 128-bit products; ChaCha20 keeps a 64-byte keystream block and its position so
// that calls of any length continue the stream, and runs whole blocks straight into the output.
// Where the processor has AVX2 (chosen at run time, SetPortableChaCha switches it off), long runs take
// eight ChaCha20 blocks side by side and Poly1305 four interleaved block streams.
#include <atomic>
#include <cstring>

#include "core/byte_order.h"
#include "crypto/cipher/aead.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/cipher/internal_cipher.h"
#include "platform/memory.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora::crypto {

namespace {

std::atomic<bool> g_portable{false};

uint32_t Le32(const uint8_t* p) { return core::ReadUInt32LE(p); }

void StoreLe32(uint8_t* p, uint32_t v) { core::PutUIntLittleEndian(v, p, 4); }

uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// Four 32-bit lanes: word i of four consecutive blocks side by side. The compiler's vector extension
// maps this onto the processor's 128-bit registers where there are any, else onto plain words.
using Lanes = uint32_t __attribute__((vector_size(16)));

inline Lanes Rotl(Lanes v, int n) { return (v << n) | (v >> (32 - n)); }

#define VELMORA_QUARTER(a, b, c, d) \
  a += b;                           \
  d = Rotl(d ^ a, 16);              \
  c += d;                           \
  b = Rotl(b ^ c, 12);              \
  a += b;                           \
  d = Rotl(d ^ a, 8);               \
  c += d;                           \
  b = Rotl(b ^ c, 7)

using Wide = unsigned __int128;

uint64_t Le64(const uint8_t* p) { return core::ReadUInt64LE(p); }

// PolyBlocks absorbs whole 16-byte blocks; hibit is 1 for full blocks, 0 for the padded last one. The
// accumulator is h0 + h1·2^64 + h2·2^128 with h2 kept small; r1 is a multiple of four (clamped), so
// r1·2^128 = (r1 / 4)·2^130 = 5·r1/4 = s1 modulo 2^130 - 5, which folds the high products down.
void PolyBlocks(Poly1305& p, const uint8_t* m, size_t blocks, uint64_t hibit) {
  const uint64_t r0 = p.r[0], r1 = p.r[1], s1 = r1 + (r1 >> 2);
  uint64_t h0 = p.h[0], h1 = p.h[1], h2 = p.h[2];
  for (size_t i = 0; i < blocks; ++i, m += 16) {
    Wide t = Wide{h0} + Le64(m);
    h0 = static_cast<uint64_t>(t);
    t = Wide{h1} + Le64(m + 8) + static_cast<uint64_t>(t >> 64);
    h1 = static_cast<uint64_t>(t);
    h2 += hibit + static_cast<uint64_t>(t >> 64);
    // h2 < 8, r0 < 2^60 and s1 < 2^61: none of the sums below overflows.
    const Wide d0 = Wide{h0} * r0 + Wide{h1} * s1;
    Wide d1 = Wide{h0} * r1 + Wide{h1} * r0 + Wide{h2} * s1;
    uint64_t d2 = h2 * r0;
    h0 = static_cast<uint64_t>(d0);
    d1 += static_cast<uint64_t>(d0 >> 64);
    h1 = static_cast<uint64_t>(d1);
    d2 += static_cast<uint64_t>(d1 >> 64);
    // Bits from 2^130 up come back in times five.
    const uint64_t c = (d2 & ~uint64_t{3}) + (d2 >> 2);
    h2 = d2 & 3;
    t = Wide{h0} + c;
    h0 = static_cast<uint64_t>(t);
    t = Wide{h1} + static_cast<uint64_t>(t >> 64);
    h1 = static_cast<uint64_t>(t);
    h2 += static_cast<uint64_t>(t >> 64);
  }
  p.h[0] = h0;
  p.h[1] = h1;
  p.h[2] = h2;
}

// TwentyRounds runs the ten column and diagonal double rounds over the sixteen words, on plain words
// or on lanes of several blocks.
template <typename Word>
inline void TwentyRounds(Word (&x)[16]) {
  for (int i = 0; i < 10; ++i) {
    VELMORA_QUARTER(x[0], x[4], x[8], x[12]);
    VELMORA_QUARTER(x[1], x[5], x[9], x[13]);
    VELMORA_QUARTER(x[2], x[6], x[10], x[14]);
    VELMORA_QUARTER(x[3], x[7], x[11], x[15]);
    VELMORA_QUARTER(x[0], x[5], x[10], x[15]);
    VELMORA_QUARTER(x[1], x[6], x[11], x[12]);
    VELMORA_QUARTER(x[2], x[7], x[8], x[13]);
    VELMORA_QUARTER(x[3], x[4], x[9], x[14]);
  }
}

// XorFourBlocks XORs the next four keystream blocks into 256 bytes from in to out and steps word 12 by
// four (each lane's word 12 wraps by itself, as the single-block path does).
void XorFourBlocks(ChaCha20State& s, const uint8_t* in, uint8_t* out) {
  Lanes start[16];
  for (int i = 0; i < 16; ++i) start[i] = Lanes{s.words[i], s.words[i], s.words[i], s.words[i]};
  start[12] += Lanes{0, 1, 2, 3};
  Lanes x[16];
  for (int i = 0; i < 16; ++i) x[i] = start[i];
  TwentyRounds(x);
  for (int i = 0; i < 16; ++i) x[i] += start[i];
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < 16; ++i) {
      const size_t at = static_cast<size_t>(64 * j + 4 * i);
      StoreLe32(out + at, Le32(in + at) ^ x[i][j]);
    }
  }
  platform::SecureZero(x, sizeof x);
  s.words[12] += 4;
}

#if defined(__x86_64__)
#define VELMORA_CHACHA_AVX2 1
#define VELMORA_AVX2_TARGET __attribute__((target("avx2")))
#define VELMORA_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// Rotations by 16 and 8 are byte shuffles; the others take two shifts and an OR.
VELMORA_AVX2_INLINE __m256i Rot16(__m256i v) {
  const __m256i order = _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, 15, 14, 9, 8,
                                        11, 10, 5, 4, 7, 6, 1, 0, 3, 2);
  return _mm256_shuffle_epi8(v, order);
}
VELMORA_AVX2_INLINE __m256i Rot8(__m256i v) {
  const __m256i order = _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3, 14, 13, 12, 15, 10, 9,
                                        8, 11, 6, 5, 4, 7, 2, 1, 0, 3);
  return _mm256_shuffle_epi8(v, order);
}
template <int N>
VELMORA_AVX2_INLINE __m256i RotBits(__m256i v) {
  return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
}

#define VELMORA_QUARTER8(a, b, c, d)   \
  a = _mm256_add_epi32(a, b);          \
  d = Rot16(_mm256_xor_si256(d, a));   \
  c = _mm256_add_epi32(c, d);          \
  b = RotBits<12>(_mm256_xor_si256(b, c)); \
  a = _mm256_add_epi32(a, b);          \
  d = Rot8(_mm256_xor_si256(d, a));    \
  c = _mm256_add_epi32(c, d);          \
  b = RotBits<7>(_mm256_xor_si256(b, c))

// XorRows turns eight vectors of one word across eight blocks (v[k] lane j = word k of block j)
// into per-block rows, and XORs row j (32 bytes) into in/out at offset 64·j.
VELMORA_AVX2_INLINE void XorRows(const __m256i v[8], const uint8_t* in, uint8_t* out) {
  const __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]), t1 = _mm256_unpackhi_epi32(v[0], v[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]), t3 = _mm256_unpackhi_epi32(v[2], v[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(v[4], v[5]), t5 = _mm256_unpackhi_epi32(v[4], v[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(v[6], v[7]), t7 = _mm256_unpackhi_epi32(v[6], v[7]);
  // u[k] holds words 0..3 of blocks k and k + 4; w[k] words 4..7 of the same blocks.
  const __m256i u[4] = {_mm256_unpacklo_epi64(t0, t2), _mm256_unpackhi_epi64(t0, t2), _mm256_unpacklo_epi64(t1, t3),
                        _mm256_unpackhi_epi64(t1, t3)};
  const __m256i w[4] = {_mm256_unpacklo_epi64(t4, t6), _mm256_unpackhi_epi64(t4, t6), _mm256_unpacklo_epi64(t5, t7),
                        _mm256_unpackhi_epi64(t5, t7)};
  for (int k = 0; k < 4; ++k) {
    const __m256i low = _mm256_permute2x128_si256(u[k], w[k], 0x20);
    const __m256i high = _mm256_permute2x128_si256(u[k], w[k], 0x31);
    auto* lo_in = reinterpret_cast<const __m256i*>(in + 64 * k);
    auto* hi_in = reinterpret_cast<const __m256i*>(in + 64 * (k + 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64 * k), _mm256_xor_si256(low, _mm256_loadu_si256(lo_in)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64 * (k + 4)),
                        _mm256_xor_si256(high, _mm256_loadu_si256(hi_in)));
  }
}

// XorEightBlocks is XorFourBlocks on eight blocks in the 256-bit lanes: it runs `groups` times over
// 512 bytes each, stepping word 12 by eight per group (each lane's word wrapping by itself).
VELMORA_AVX2_TARGET void XorEightBlocks(ChaCha20State& s, const uint8_t* in, uint8_t* out, size_t groups) {
  __m256i start[16];
  for (int i = 0; i < 16; ++i) start[i] = _mm256_set1_epi32(static_cast<int>(s.words[i]));
  start[12] = _mm256_add_epi32(start[12], _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  const __m256i eight = _mm256_set1_epi32(8);
  __m256i x[16];
  for (; groups > 0; --groups, in += 512, out += 512) {
    for (int i = 0; i < 16; ++i) x[i] = start[i];
    for (int round = 0; round < 10; ++round) {
      VELMORA_QUARTER8(x[0], x[4], x[8], x[12]);
      VELMORA_QUARTER8(x[1], x[5], x[9], x[13]);
      VELMORA_QUARTER8(x[2], x[6], x[10], x[14]);
      VELMORA_QUARTER8(x[3], x[7], x[11], x[15]);
      VELMORA_QUARTER8(x[0], x[5], x[10], x[15]);
      VELMORA_QUARTER8(x[1], x[6], x[11], x[12]);
      VELMORA_QUARTER8(x[2], x[7], x[8], x[13]);
      VELMORA_QUARTER8(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] = _mm256_add_epi32(x[i], start[i]);
    XorRows(x, in, out);
    XorRows(x + 8, in + 32, out + 32);
    start[12] = _mm256_add_epi32(start[12], eight);
    s.words[12] += 8;
  }
  // The working vectors stay in registers (their address is never taken); clearing every vector
  // register wipes the last keystream.
  _mm256_zeroall();
}

#undef VELMORA_QUARTER8
#else
#define VELMORA_CHACHA_AVX2 0
#endif

// ---- Poly1305 on four lanes -------------------------------------------------------------------------
//
// Four interleaved streams of blocks in the 64-bit lanes of 256-bit vectors, in radix 2^26 (five limbs
// per lane, 32×32→64-bit products): stream j takes blocks j, j + 4, j + 8, ... and is multiplied by
// r^4 per step; the last step multiplies the streams by r^4, r^3, r^2 and r instead, and their sum is
// the accumulator the one-block path would have reached. No branch or index depends on the key or data.

constexpr uint64_t kMask26 = (uint64_t{1} << 26) - 1;

// ToLimbs splits h0 + h1·2^64 + h2·2^128 (h2 small) into five 26-bit limbs, the top one holding the rest.
void ToLimbs(uint64_t h0, uint64_t h1, uint64_t h2, uint64_t l[5]) {
  l[0] = h0 & kMask26;
  l[1] = (h0 >> 26) & kMask26;
  l[2] = ((h0 >> 52) | (h1 << 12)) & kMask26;
  l[3] = (h1 >> 14) & kMask26;
  l[4] = (h1 >> 40) | (h2 << 24);
}

// CarryLimbs carries l[0..4] (each below 2^62) through, folding bits from 2^130 up back in times five:
// afterwards l[0..3] < 2^26 and l[4] < 2^26 + 2^8.
void CarryLimbs(uint64_t l[5]) {
  for (int i = 0; i < 4; ++i) {
    l[i + 1] += l[i] >> 26;
    l[i] &= kMask26;
  }
  const uint64_t c = l[4] >> 26;
  l[4] &= kMask26;
  l[0] += c * 5;
  for (int i = 0; i < 4; ++i) {
    l[i + 1] += l[i] >> 26;
    l[i] &= kMask26;
  }
}

// MulLimbs sets out = a·b modulo 2^130 - 5 for limbs below 2^27.
void MulLimbs(const uint64_t a[5], const uint64_t b[5], uint64_t out[5]) {
  const uint64_t b5[5] = {b[0] * 5, b[1] * 5, b[2] * 5, b[3] * 5, b[4] * 5};
  uint64_t d[5];
  for (int i = 0; i < 5; ++i) {
    d[i] = 0;
    for (int j = 0; j < 5; ++j) d[i] += a[j] * (j <= i ? b[i - j] : b5[i - j + 5]);
  }
  CarryLimbs(d);
  for (int i = 0; i < 5; ++i) out[i] = d[i];
}

#if VELMORA_CHACHA_AVX2
// MulVector multiplies the four lanes of h by the lanes of r (with r5 = 5·r) and carries lazily: the
// limbs come out below 2^26 plus a little, small enough for the next message limbs and products.
VELMORA_AVX2_INLINE void MulVector(__m256i h[5], const __m256i r[5], const __m256i r5[5]) {
  const __m256i mask = _mm256_set1_epi64x(static_cast<long long>(kMask26));
#define VELMORA_MUL(a, b) _mm256_mul_epu32(a, b)
  __m256i d0 = VELMORA_MUL(h[0], r[0]);
  __m256i d1 = VELMORA_MUL(h[0], r[1]);
  __m256i d2 = VELMORA_MUL(h[0], r[2]);
  __m256i d3 = VELMORA_MUL(h[0], r[3]);
  __m256i d4 = VELMORA_MUL(h[0], r[4]);
  d0 = _mm256_add_epi64(d0, VELMORA_MUL(h[1], r5[4]));
  d1 = _mm256_add_epi64(d1, VELMORA_MUL(h[1], r[0]));
  d2 = _mm256_add_epi64(d2, VELMORA_MUL(h[1], r[1]));
  d3 = _mm256_add_epi64(d3, VELMORA_MUL(h[1], r[2]));
  d4 = _mm256_add_epi64(d4, VELMORA_MUL(h[1], r[3]));
  d0 = _mm256_add_epi64(d0, VELMORA_MUL(h[2], r5[3]));
  d1 = _mm256_add_epi64(d1, VELMORA_MUL(h[2], r5[4]));
  d2 = _mm256_add_epi64(d2, VELMORA_MUL(h[2], r[0]));
  d3 = _mm256_add_epi64(d3, VELMORA_MUL(h[2], r[1]));
  d4 = _mm256_add_epi64(d4, VELMORA_MUL(h[2], r[2]));
  d0 = _mm256_add_epi64(d0, VELMORA_MUL(h[3], r5[2]));
  d1 = _mm256_add_epi64(d1, VELMORA_MUL(h[3], r5[3]));
  d2 = _mm256_add_epi64(d2, VELMORA_MUL(h[3], r5[4]));
  d3 = _mm256_add_epi64(d3, VELMORA_MUL(h[3], r[0]));
  d4 = _mm256_add_epi64(d4, VELMORA_MUL(h[3], r[1]));
  d0 = _mm256_add_epi64(d0, VELMORA_MUL(h[4], r5[1]));
  d1 = _mm256_add_epi64(d1, VELMORA_MUL(h[4], r5[2]));
  d2 = _mm256_add_epi64(d2, VELMORA_MUL(h[4], r5[3]));
  d3 = _mm256_add_epi64(d3, VELMORA_MUL(h[4], r5[4]));
  d4 = _mm256_add_epi64(d4, VELMORA_MUL(h[4], r[0]));
#undef VELMORA_MUL
  // Two carry chains side by side: 0→1→2→3→4 and 3→4→0(×5)→1.
  __m256i c = _mm256_srli_epi64(d0, 26);
  d0 = _mm256_and_si256(d0, mask);
  d1 = _mm256_add_epi64(d1, c);
  c = _mm256_srli_epi64(d3, 26);
  d3 = _mm256_and_si256(d3, mask);
  d4 = _mm256_add_epi64(d4, c);
  c = _mm256_srli_epi64(d1, 26);
  d1 = _mm256_and_si256(d1, mask);
  d2 = _mm256_add_epi64(d2, c);
  c = _mm256_srli_epi64(d4, 26);
  d4 = _mm256_and_si256(d4, mask);
  d0 = _mm256_add_epi64(d0, _mm256_add_epi64(c, _mm256_slli_epi64(c, 2)));
  c = _mm256_srli_epi64(d2, 26);
  d2 = _mm256_and_si256(d2, mask);
  d3 = _mm256_add_epi64(d3, c);
  c = _mm256_srli_epi64(d0, 26);
  d0 = _mm256_and_si256(d0, mask);
  d1 = _mm256_add_epi64(d1, c);
  c = _mm256_srli_epi64(d3, 26);
  d3 = _mm256_and_si256(d3, mask);
  d4 = _mm256_add_epi64(d4, c);
  h[0] = d0;
  h[1] = d1;
  h[2] = d2;
  h[3] = d3;
  h[4] = d4;
}

// PolyBlocksAvx2 absorbs 4·groups full blocks (groups ≥ 1) into p.
VELMORA_AVX2_TARGET void PolyBlocksAvx2(Poly1305& p, const uint8_t* m, size_t groups) {
  uint64_t power[5][5];  // power[k] = r^(k + 1)
  ToLimbs(p.r[0], p.r[1], 0, power[0]);
  for (int k = 1; k < 4; ++k) MulLimbs(power[k - 1], power[0], power[k]);
  uint64_t h_limbs[5];
  ToLimbs(p.h[0], p.h[1], p.h[2], h_limbs);
  // The blocks load as lanes (0, 2, 1, 3) of each group; the last multiplier follows that order.
  __m256i r4[5], r4x5[5], last[5], last_x5[5], h[5];
  for (int i = 0; i < 5; ++i) {
    r4[i] = _mm256_set1_epi64x(static_cast<long long>(power[3][i]));
    r4x5[i] = _mm256_set1_epi64x(static_cast<long long>(power[3][i] * 5));
    last[i] = _mm256_set_epi64x(static_cast<long long>(power[0][i]), static_cast<long long>(power[2][i]),
                                static_cast<long long>(power[1][i]), static_cast<long long>(power[3][i]));
    last_x5[i] = _mm256_set_epi64x(static_cast<long long>(power[0][i] * 5), static_cast<long long>(power[2][i] * 5),
                                   static_cast<long long>(power[1][i] * 5), static_cast<long long>(power[3][i] * 5));
    h[i] = _mm256_set_epi64x(0, 0, 0, static_cast<long long>(h_limbs[i]));
  }
  const __m256i mask = _mm256_set1_epi64x(static_cast<long long>(kMask26));
  const __m256i hibit = _mm256_set1_epi64x(1 << 24);
  for (; groups > 0; --groups, m += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + 32));
    const __m256i lo = _mm256_unpacklo_epi64(a, b);  // first eight bytes of blocks 0, 2, 1, 3
    const __m256i hi = _mm256_unpackhi_epi64(a, b);  // and their last eight bytes
    h[0] = _mm256_add_epi64(h[0], _mm256_and_si256(lo, mask));
    h[1] = _mm256_add_epi64(h[1], _mm256_and_si256(_mm256_srli_epi64(lo, 26), mask));
    h[2] = _mm256_add_epi64(
        h[2], _mm256_and_si256(_mm256_or_si256(_mm256_srli_epi64(lo, 52), _mm256_slli_epi64(hi, 12)), mask));
    h[3] = _mm256_add_epi64(h[3], _mm256_and_si256(_mm256_srli_epi64(hi, 14), mask));
    h[4] = _mm256_add_epi64(h[4], _mm256_or_si256(_mm256_srli_epi64(hi, 40), hibit));
    if (groups > 1) {
      MulVector(h, r4, r4x5);
    } else {
      MulVector(h, last, last_x5);
    }
  }
  alignas(32) uint64_t lanes[5][4];
  for (int i = 0; i < 5; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[i]), h[i]);
  for (int i = 0; i < 5; ++i) h_limbs[i] = lanes[i][0] + lanes[i][1] + lanes[i][2] + lanes[i][3];
  CarryLimbs(h_limbs);
  p.h[0] = h_limbs[0] | (h_limbs[1] << 26) | (h_limbs[2] << 52);
  p.h[1] = (h_limbs[2] >> 12) | (h_limbs[3] << 14) | (h_limbs[4] << 40);
  p.h[2] = h_limbs[4] >> 24;
  platform::SecureZero(power, sizeof power);
  platform::SecureZero(lanes, sizeof lanes);
  platform::SecureZero(h_limbs, sizeof h_limbs);
  _mm256_zeroupper();
}
#endif

// AbsorbBlocks runs whole blocks through the four-lane path where it is chosen and long enough to pay
// for the powers of r, the rest one block at a time.
void AbsorbBlocks(Poly1305& p, const uint8_t* m, size_t blocks) {
#if VELMORA_CHACHA_AVX2
  if (blocks >= 16 && !g_portable.load(std::memory_order_relaxed) && internal::CpuHasAvx2()) {
    const size_t groups = blocks / 4;
    PolyBlocksAvx2(p, m, groups);
    m += 64 * groups;
    blocks -= 4 * groups;
  }
#endif
  PolyBlocks(p, m, blocks, 1);
}

// NextBlock makes the keystream block of the current words and steps word 12 (no carry onwards).
void NextBlock(ChaCha20State& s, uint8_t out[64]) {
  ChaCha20Block(s.words, out);
  ++s.words[12];
}

}  // namespace

// ---- Poly1305 -------------------------------------------------------------------------------------------

void Poly1305::SetKey(const uint8_t key[32]) {
  r[0] = Le64(key) & 0x0FFFFFFC0FFFFFFFull;
  r[1] = Le64(key + 8) & 0x0FFFFFFC0FFFFFFCull;
  pad[0] = Le64(key + 16);
  pad[1] = Le64(key + 24);
  std::memset(h, 0, sizeof h);
  leftover = 0;
}

void Poly1305::Update(const uint8_t* bytes, size_t length) {
  if (leftover != 0) {
    size_t take = 16 - leftover;
    if (take > length) take = length;
    std::memcpy(buffer + leftover, bytes, take);
    leftover += static_cast<uint32_t>(take);
    bytes += take;
    length -= take;
    if (leftover < 16) return;
    PolyBlocks(*this, buffer, 1, 1);
    leftover = 0;
  }
  const size_t whole = length / 16;
  AbsorbBlocks(*this, bytes, whole);
  bytes += whole * 16;
  length -= whole * 16;
  std::memcpy(buffer, bytes, length);
  leftover = static_cast<uint32_t>(length);
}

void Poly1305::Finish(uint8_t tag[16]) {
  if (leftover != 0) {
    buffer[leftover] = 1;
    std::memset(buffer + leftover + 1, 0, 15 - leftover);
    PolyBlocks(*this, buffer, 1, 0);
  }
  // h < 2^130 + 2^66 here, so less than 2p: h - p is kept when h + 5 reaches 2^130, chosen with masks.
  Wide t = Wide{h[0]} + 5;
  const uint64_t g0 = static_cast<uint64_t>(t);
  t = Wide{h[1]} + static_cast<uint64_t>(t >> 64);
  const uint64_t g1 = static_cast<uint64_t>(t);
  const uint64_t g2 = h[2] + static_cast<uint64_t>(t >> 64);
  const uint64_t keep_g = uint64_t{0} - (g2 >> 2);
  const uint64_t h0 = (h[0] & ~keep_g) | (g0 & keep_g);
  const uint64_t h1 = (h[1] & ~keep_g) | (g1 & keep_g);
  t = Wide{h0} + pad[0];
  core::PutUIntLittleEndian(static_cast<uint64_t>(t), tag, 8);
  t = Wide{h1} + pad[1] + static_cast<uint64_t>(t >> 64);
  core::PutUIntLittleEndian(static_cast<uint64_t>(t), tag + 8, 8);
  platform::SecureZero(this, sizeof *this);
}

// ---- ChaCha20 -------------------------------------------------------------------------------------------

void SetPortableChaCha(bool portable) { g_portable.store(portable, std::memory_order_relaxed); }

void ChaCha20Block(const uint32_t words[16], uint8_t out[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = words[i];
  TwentyRounds(x);
  for (int i = 0; i < 16; ++i) StoreLe32(out + 4 * i, x[i] + words[i]);
}

int ChaCha20SetKey(ChaCha20State& state, const uint8_t* key, int32_t key_length, const uint8_t* nonce,
                   int32_t nonce_length, uint64_t counter) {
  if (key_length != 32) return kBadStreamKeySize;
  if (nonce_length != 8 && nonce_length != 12) return kBadNonceSize;
  std::memset(&state, 0, sizeof state);
  state.words[0] = 0x61707865;
  state.words[1] = 0x3320646e;
  state.words[2] = 0x79622d32;
  state.words[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) state.words[4 + i] = Le32(key + 4 * i);
  if (nonce_length == 12) {
    state.words[12] = static_cast<uint32_t>(counter);
    for (int i = 0; i < 3; ++i) state.words[13 + i] = Le32(nonce + 4 * i);
  } else {
    state.words[12] = static_cast<uint32_t>(counter >> 32);
    state.words[13] = static_cast<uint32_t>(counter);
    state.words[14] = Le32(nonce);
    state.words[15] = Le32(nonce + 4);
  }
  return 0;
}

void ChaCha20XorKeystream(ChaCha20State& state, const uint8_t* in, uint8_t* out, size_t length) {
  size_t at = 0;
  while (at < length) {
    const size_t remaining = length - at;
#if VELMORA_CHACHA_AVX2
    if (state.position == 0 && remaining >= 512 && !g_portable.load(std::memory_order_relaxed) &&
        internal::CpuHasAvx2()) {
      const size_t groups = remaining / 512;
      XorEightBlocks(state, in + at, out + at, groups);
      at += groups * 512;
      continue;
    }
#endif
    if (state.position == 0 && remaining >= 256) {
      for (; length - at >= 256; at += 256) XorFourBlocks(state, in + at, out + at);
      continue;
    }
    if (state.position == 0 && remaining >= 64) {
      uint8_t block[64];
      for (; length - at >= 64; at += 64) {
        NextBlock(state, block);
        XorBytes(out + at, in + at, block, 64);
      }
      platform::SecureZero(block, sizeof block);
      continue;
    }
    if (state.position == 0) NextBlock(state, state.keystream);
    size_t take = 64 - state.position;
    if (take > remaining) take = remaining;
    XorBytes(out + at, in + at, state.keystream + state.position, static_cast<int32_t>(take));
    state.position = (state.position + static_cast<uint32_t>(take)) % 64;
    at += take;
  }
}

int ChaCha20Setup(InternalCipher& cipher, bool) {
  return ChaCha20SetKey(cipher.Streams().chacha_poly.chacha, cipher.Key().Bytes(), cipher.Key().Length(),
                        cipher.Iv().Bytes(), cipher.Iv().Length(), cipher.OptionValues().chacha_initial_counter);
}

int ChaCha20Xor(InternalCipher& cipher, const uint8_t* in, uint8_t* out, int32_t length) {
  if (length > 0) ChaCha20XorKeystream(cipher.Streams().chacha_poly.chacha, in, out, static_cast<size_t>(length));
  return 0;
}

// ---- ChaCha20-Poly1305 ----------------------------------------------------------------------------------

namespace {

void PadTo16(Poly1305& poly, uint64_t length) {
  static const uint8_t kZeros[16] = {};
  if (length % 16 != 0) poly.Update(kZeros, 16 - length % 16);
}

}  // namespace

int ChaCha20Poly1305Setup(InternalCipher& cipher, bool) {
  ChaChaPolyState& s = cipher.Streams().chacha_poly;
  int rc = ChaCha20SetKey(s.chacha, cipher.Key().Bytes(), cipher.Key().Length(), cipher.Iv().Bytes(),
                          cipher.Iv().Length(), cipher.OptionValues().chacha_initial_counter);
  if (rc != 0) return rc;
  // The first block keys Poly1305; the data starts with the next one.
  uint8_t block[64];
  NextBlock(s.chacha, block);
  s.poly.SetKey(block);
  platform::SecureZero(block, sizeof block);
  s.chacha.position = 0;
  s.aad_length = static_cast<uint64_t>(cipher.Aad().Length());
  s.data_length = 0;
  s.poly.Update(cipher.Aad().Bytes(), static_cast<size_t>(s.aad_length));
  PadTo16(s.poly, s.aad_length);
  return 0;
}

int ChaCha20Poly1305Process(InternalCipher& cipher, const uint8_t* in, int32_t length, core::BufferCore& out,
                            int32_t final_flag) {
  ChaChaPolyState& s = cipher.Streams().chacha_poly;
  const bool encrypt = cipher.Encrypting() != 0;
  if (length > 0) {
    const int32_t old = out.Length();
    if (out.SetData(old + length, nullptr) != 0) return core::kOutOfMemory;
    auto* dst = reinterpret_cast<uint8_t*>(out.Data()) + old;
    if (!encrypt) s.poly.Update(in, static_cast<size_t>(length));
    ChaCha20XorKeystream(s.chacha, in, dst, static_cast<size_t>(length));
    if (encrypt) s.poly.Update(dst, static_cast<size_t>(length));
    s.data_length += static_cast<uint64_t>(length);
  }
  if (final_flag == 0) return 0;
  if (!encrypt && cipher.Tag().Length() <= 0) return kNoExpectedTag;
  PadTo16(s.poly, s.data_length);
  uint8_t lengths[16];
  for (int i = 0; i < 8; ++i) {
    lengths[i] = static_cast<uint8_t>(s.aad_length >> (8 * i));
    lengths[8 + i] = static_cast<uint8_t>(s.data_length >> (8 * i));
  }
  s.poly.Update(lengths, 16);
  uint8_t tag[16];
  s.poly.Finish(tag);
  int rc = 0;
  if (encrypt) {
    rc = cipher.Tag().SetData(16, tag);
  } else if (cipher.Tag().Length() != 16 || !TagsEqual(cipher.Tag().Bytes(), tag, 16)) {
    out.Clear();
    rc = kAuthenticationFailed;
  }
  platform::SecureZero(tag, sizeof tag);
  return rc;
}

}  // namespace velmora::crypto
