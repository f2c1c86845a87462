// AES on the x86 AES instructions, chosen at run time: 128-bit AES-NI with eight blocks in flight, and
// VAES on 256-bit lanes for counter mode and XTS. The schedules are the portable ones: each round
// key is loaded with its 32-bit words byte-swapped into memory order, and the decryption schedule is
// already the equivalent inverse cipher's (InvMixColumns folded in), which is what AESDEC expects.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/cipher/aes.h"
#include "platform/memory.h"

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

VELMORA_AES_TARGET inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
VELMORA_AES_TARGET inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Eight blocks go through the rounds together so that the instruction latencies overlap; the callers
// fuse their loads and XORs around the rounds.
template <size_t m>
VELMORA_AES_TARGET __attribute__((always_inline)) inline void EncryptN(const __m128i* keys, int32_t rounds, __m128i* x) {
#pragma GCC unroll 8
  for (size_t k = 0; k < m; ++k) x[k] = _mm_xor_si128(x[k], keys[0]);
  for (int32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
    for (size_t k = 0; k < m; ++k) x[k] = _mm_aesenc_si128(x[k], keys[r]);
  }
#pragma GCC unroll 8
  for (size_t k = 0; k < m; ++k) x[k] = _mm_aesenclast_si128(x[k], keys[rounds]);
}

template <size_t m>
VELMORA_AES_TARGET __attribute__((always_inline)) inline void DecryptN(const __m128i* keys, int32_t rounds, __m128i* x) {
#pragma GCC unroll 8
  for (size_t k = 0; k < m; ++k) x[k] = _mm_xor_si128(x[k], keys[0]);
  for (int32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
    for (size_t k = 0; k < m; ++k) x[k] = _mm_aesdec_si128(x[k], keys[r]);
  }
#pragma GCC unroll 8
  for (size_t k = 0; k < m; ++k) x[k] = _mm_aesdeclast_si128(x[k], keys[rounds]);
}

// CounterBlock gives the big-endian 16-byte block of the counter high:low and steps it on.
VELMORA_AES_TARGET inline __m128i CounterBlock(uint64_t* high, uint64_t* low) {
  const __m128i block = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(*low)),
                                       static_cast<long long>(__builtin_bswap64(*high)));
  *low += 1;
  *high += *low == 0 ? 1 : 0;
  return block;
}

// NextTweak gives the tweak lo:hi (little-endian halves) as a block and doubles it in GF(2^128).
VELMORA_AES_TARGET inline __m128i NextTweak(uint64_t* lo, uint64_t* hi) {
  const __m128i block = _mm_set_epi64x(static_cast<long long>(*hi), static_cast<long long>(*lo));
  const uint64_t carry = *hi >> 63;
  *hi = (*hi << 1) | (*lo >> 63);
  *lo = (*lo << 1) ^ (0x87 & (0 - carry));
  return block;
}

constexpr size_t kWidth = 8;

// BlocksNi runs ECB over whole blocks, kWidth blocks in flight.
template <bool kDecrypt>
VELMORA_AES_TARGET __attribute__((always_inline)) inline void BlocksNi(const uint32_t* round_keys, int32_t rounds,
                                                                       const uint8_t* in, uint8_t* out,
                                                                       size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  size_t i = 0;
  for (; i + kWidth <= blocks; i += kWidth) {
    __m128i x[kWidth];
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) x[k] = Load(in + 16 * (i + k));
    if constexpr (kDecrypt) {
      DecryptN<kWidth>(keys, rounds, x);
    } else {
      EncryptN<kWidth>(keys, rounds, x);
    }
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) Store(out + 16 * (i + k), x[k]);
  }
  for (; i < blocks; ++i) {
    __m128i x = Load(in + 16 * i);
    if constexpr (kDecrypt) {
      DecryptN<1>(keys, rounds, &x);
    } else {
      EncryptN<1>(keys, rounds, &x);
    }
    Store(out + 16 * i, x);
  }
}

}  // namespace

VELMORA_AES_TARGET void AesEncryptBlocksNi(const uint32_t* round_keys, int32_t rounds, const uint8_t* in,
                                           uint8_t* out, size_t blocks) {
  BlocksNi<false>(round_keys, rounds, in, out, blocks);
}

VELMORA_AES_TARGET void AesDecryptBlocksNi(const uint32_t* round_keys, int32_t rounds, const uint8_t* in,
                                           uint8_t* out, size_t blocks) {
  BlocksNi<true>(round_keys, rounds, in, out, blocks);
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

// The ciphertext blocks are all loaded before any plaintext is stored, so in and out may be the same.
VELMORA_AES_TARGET void AesCbcDecryptBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t iv[16],
                                              const uint8_t* in, uint8_t* out, size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  __m128i previous = Load(iv);
  size_t i = 0;
  for (; i + kWidth <= blocks; i += kWidth) {
    __m128i x[kWidth];
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) x[k] = Load(in + 16 * (i + k));
    DecryptN<kWidth>(keys, rounds, x);
    // The chaining blocks are read again after the rounds rather than held in registers through them.
    __m128i c[kWidth];
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) c[k] = Load(in + 16 * (i + k));
    Store(out + 16 * i, _mm_xor_si128(x[0], previous));
#pragma GCC unroll 8
    for (size_t k = 1; k < kWidth; ++k) Store(out + 16 * (i + k), _mm_xor_si128(x[k], c[k - 1]));
    previous = c[kWidth - 1];
  }
  for (; i < blocks; ++i) {
    const __m128i c = Load(in + 16 * i);
    __m128i x = c;
    DecryptN<1>(keys, rounds, &x);
    Store(out + 16 * i, _mm_xor_si128(x, previous));
    previous = c;
  }
  Store(iv, previous);
}

VELMORA_AES_TARGET void AesCtrBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t counter[16],
                                       const uint8_t* in, uint8_t* out, size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  uint64_t high = __builtin_bswap64(Load64(counter));
  uint64_t low = __builtin_bswap64(Load64(counter + 8));
  size_t i = 0;
  for (; i + kWidth <= blocks; i += kWidth) {
    __m128i x[kWidth];
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) x[k] = CounterBlock(&high, &low);
    EncryptN<kWidth>(keys, rounds, x);
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) Store(out + 16 * (i + k), _mm_xor_si128(x[k], Load(in + 16 * (i + k))));
  }
  for (; i < blocks; ++i) {
    __m128i x = CounterBlock(&high, &low);
    EncryptN<1>(keys, rounds, &x);
    Store(out + 16 * i, _mm_xor_si128(x, Load(in + 16 * i)));
  }
  Store64(counter, __builtin_bswap64(high));
  Store64(counter + 8, __builtin_bswap64(low));
}

namespace {

// DoubleTweak multiplies the tweak by x in GF(2^128) (byte 0 least significant) within the register:
// both 64-bit halves shift left by one, the bit leaving the low half enters the high one and the bit
// leaving the high half comes back as 0x87. The carries are sign masks (an arithmetic shift, moved into
// place and masked), so nothing branches on the tweak.
VELMORA_AES_TARGET __attribute__((always_inline)) inline __m128i DoubleTweak(__m128i t, __m128i fold) {
  const __m128i carries = _mm_and_si128(_mm_shuffle_epi32(_mm_srai_epi32(t, 31), 0x13), fold);
  return _mm_xor_si128(_mm_add_epi64(t, t), carries);
}

template <bool encrypt>
VELMORA_AES_TARGET __attribute__((always_inline)) inline __m128i MiddleRound(__m128i x, __m128i key) {
  return encrypt ? _mm_aesenc_si128(x, key) : _mm_aesdec_si128(x, key);
}

template <bool encrypt>
VELMORA_AES_TARGET __attribute__((always_inline)) inline __m128i LastRound(__m128i x, __m128i key) {
  return encrypt ? _mm_aesenclast_si128(x, key) : _mm_aesdeclast_si128(x, key);
}

// XtsBatches runs `batches` runs of kWidth blocks with the round count fixed at compile time and leaves
// in *tweak the tweak of the block after them. The tweaks of the next batch are doubled between the
// rounds of the current one and parked in memory (two sets, the running batch's and the next one's), so
// the loop keeps no more values than there are registers. Each block's tweak rides on the round keys:
// the whitening step XORs it in with the first key, and the last round takes tweak ^ last key as its
// key, which XORs the tweak into the output.
template <bool encrypt, int32_t kRounds>
VELMORA_AES_TARGET __attribute__((always_inline)) inline void XtsBatches(const __m128i* keys, __m128i* tweak,
                                                                        const uint8_t* in, uint8_t* out,
                                                                        size_t batches) {
  const __m128i fold = _mm_set_epi32(0, 1, 0, 0x87);
  const __m128i first = keys[0], final = keys[kRounds];
  __m128i t = *tweak;
  __m128i whitening[2][kWidth], closing[2][kWidth];
#pragma GCC unroll 8
  for (size_t k = 0; k < kWidth; ++k) {
    whitening[0][k] = t;
    closing[0][k] = _mm_xor_si128(t, final);
    t = DoubleTweak(t, fold);
  }
  for (size_t b = 0; b < batches; ++b, in += 16 * kWidth, out += 16 * kWidth) {
    const size_t now = b & 1;
    __m128i x[kWidth];
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) {
      x[k] = _mm_xor_si128(_mm_xor_si128(Load(in + 16 * k), first), whitening[now][k]);
    }
#pragma GCC unroll 14
    for (int32_t r = 1; r < kRounds; ++r) {
#pragma GCC unroll 8
      for (size_t k = 0; k < kWidth; ++k) x[k] = MiddleRound<encrypt>(x[k], keys[r]);
      if (static_cast<size_t>(r) <= kWidth) {
        whitening[now ^ 1][r - 1] = t;
        closing[now ^ 1][r - 1] = _mm_xor_si128(t, final);
        t = DoubleTweak(t, fold);
      }
    }
#pragma GCC unroll 8
    for (size_t k = 0; k < kWidth; ++k) Store(out + 16 * k, LastRound<encrypt>(x[k], closing[now][k]));
  }
  *tweak = whitening[batches & 1][0];
  // A tweak and the same tweak XORed with the last round key would give that key away.
  platform::SecureZero(whitening, sizeof whitening);
  platform::SecureZero(closing, sizeof closing);
}

// The batch loop is compiled twice: in the two-operand SSE encoding every processor with AES-NI runs,
// and in the three-operand AVX encoding, which drops the register copies the SSE forms need (a sixth
// faster here). Each is a function of its own, so that its registers are allocated for the loop alone.
#define VELMORA_AES_VEX_TARGET __attribute__((target("aes,ssse3,avx")))

template <bool encrypt, int32_t kRounds>
VELMORA_AES_TARGET __attribute__((noinline)) void XtsBatchesSse(const __m128i* keys, __m128i* tweak,
                                                                const uint8_t* in, uint8_t* out, size_t batches) {
  XtsBatches<encrypt, kRounds>(keys, tweak, in, out, batches);
}

template <bool encrypt, int32_t kRounds>
VELMORA_AES_VEX_TARGET __attribute__((noinline)) void XtsBatchesVex(const __m128i* keys, __m128i* tweak,
                                                                    const uint8_t* in, uint8_t* out,
                                                                    size_t batches) {
  XtsBatches<encrypt, kRounds>(keys, tweak, in, out, batches);
}

template <bool encrypt, bool vex, int32_t kRounds>
void RunXtsBatches(const __m128i* keys, __m128i* tweak, const uint8_t* in, uint8_t* out, size_t batches) {
  if constexpr (vex) {
    XtsBatchesVex<encrypt, kRounds>(keys, tweak, in, out, batches);
  } else {
    XtsBatchesSse<encrypt, kRounds>(keys, tweak, in, out, batches);
  }
}

template <bool encrypt, bool vex>
VELMORA_AES_TARGET void XtsNi(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in,
                              uint8_t* out, size_t blocks) {
  __m128i keys[15];
  LoadKeys(round_keys, rounds, keys);
  __m128i t = Load(tweak);
  const size_t batches = blocks / kWidth;
  if (batches != 0) {
    if (rounds == 10) {
      RunXtsBatches<encrypt, vex, 10>(keys, &t, in, out, batches);
    } else if (rounds == 12) {
      RunXtsBatches<encrypt, vex, 12>(keys, &t, in, out, batches);
    } else {
      RunXtsBatches<encrypt, vex, 14>(keys, &t, in, out, batches);
    }
  }
  const __m128i fold = _mm_set_epi32(0, 1, 0, 0x87);
  for (size_t i = batches * kWidth; i < blocks; ++i) {
    __m128i x = _mm_xor_si128(Load(in + 16 * i), t);
    if constexpr (encrypt) {
      EncryptN<1>(keys, rounds, &x);
    } else {
      DecryptN<1>(keys, rounds, &x);
    }
    Store(out + 16 * i, _mm_xor_si128(x, t));
    t = DoubleTweak(t, fold);
  }
  Store(tweak, t);
}

bool CpuHasAvx() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx");
}

}  // namespace

void AesXtsBlocksNiSse(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in,
                       uint8_t* out, size_t blocks, bool encrypt) {
  if (encrypt) {
    XtsNi<true, false>(round_keys, rounds, tweak, in, out, blocks);
  } else {
    XtsNi<false, false>(round_keys, rounds, tweak, in, out, blocks);
  }
}

void AesXtsBlocksNi(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in, uint8_t* out,
                    size_t blocks, bool encrypt) {
  static const bool avx = CpuHasAvx();
  if (!avx) return AesXtsBlocksNiSse(round_keys, rounds, tweak, in, out, blocks, encrypt);
  if (encrypt) {
    XtsNi<true, true>(round_keys, rounds, tweak, in, out, blocks);
  } else {
    XtsNi<false, true>(round_keys, rounds, tweak, in, out, blocks);
  }
}

namespace {

// One step of the AES-128 schedule: the previous round key's words XORed in a running prefix, then
// the generator's SubWord(RotWord(last word)) ^ rcon in every word.
template <int kRcon>
VELMORA_AES_TARGET __attribute__((always_inline)) inline __m128i NextRoundKey128(__m128i key) {
  const __m128i generated = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(key, kRcon), 0xff);
  key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
  key = _mm_xor_si128(key, _mm_slli_si128(key, 8));
  return _mm_xor_si128(key, generated);
}

}  // namespace

// The AES-128 schedule on the AES instructions, stored in the portable layout (each word the big-endian
// reading of its four bytes). No table is indexed by key bytes here.
VELMORA_AES_TARGET void AesExpandKey128Ni(uint32_t* round_keys, const uint8_t* key) {
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  __m128i k[11];
  k[0] = Load(key);
  k[1] = NextRoundKey128<0x01>(k[0]);
  k[2] = NextRoundKey128<0x02>(k[1]);
  k[3] = NextRoundKey128<0x04>(k[2]);
  k[4] = NextRoundKey128<0x08>(k[3]);
  k[5] = NextRoundKey128<0x10>(k[4]);
  k[6] = NextRoundKey128<0x20>(k[5]);
  k[7] = NextRoundKey128<0x40>(k[6]);
  k[8] = NextRoundKey128<0x80>(k[7]);
  k[9] = NextRoundKey128<0x1b>(k[8]);
  k[10] = NextRoundKey128<0x36>(k[9]);
  for (int r = 0; r <= 10; ++r) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(round_keys + 4 * r), _mm_shuffle_epi8(k[r], swap));
  }
}

// ---- 256-bit lanes: two blocks per VAES instruction ------------------------------------------------------

bool CpuHasWideAes() {
  __builtin_cpu_init();
  return CpuHasAesNi() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vaes") &&
         __builtin_cpu_supports("vpclmulqdq");
}

#define VELMORA_WIDE_TARGET __attribute__((target("vaes,vpclmulqdq,avx2,aes,pclmul,sse4.1,ssse3")))

namespace {

constexpr size_t kWideRegisters = 8;  // sixteen blocks in flight

}  // namespace


// The counter's low half is stepped in the vector lanes while it cannot wrap within a batch; a batch
// where it would falls back to counters built one by one. The counter is the IV's, not a secret.
VELMORA_WIDE_TARGET void AesCtrBlocksWide(const uint32_t* round_keys, int32_t rounds, uint8_t counter[16],
                                          const uint8_t* in, uint8_t* out, size_t blocks) {
  constexpr size_t kBatch = 2 * kWideRegisters;
  const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  __m256i keys[15];
  for (int32_t r = 0; r <= rounds; ++r) {
    keys[r] = _mm256_broadcastsi128_si256(
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(round_keys + 4 * r)), swap));
  }
  const __m256i reverse =
      _mm256_broadcastsi128_si256(_mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m256i two = _mm256_set_epi64x(0, 2, 0, 2);
  uint64_t high = __builtin_bswap64(Load64(counter));
  uint64_t low = __builtin_bswap64(Load64(counter + 8));
  size_t i = 0;
  for (; i + kBatch <= blocks; i += kBatch) {
    __m256i x[kWideRegisters];
    if (low < ~uint64_t{0} - kBatch) {
      __m256i c = _mm256_set_epi64x(static_cast<long long>(high), static_cast<long long>(low + 1),
                                    static_cast<long long>(high), static_cast<long long>(low));
#pragma GCC unroll 8
      for (size_t k = 0; k < kWideRegisters; ++k) {
        x[k] = _mm256_shuffle_epi8(c, reverse);
        c = _mm256_add_epi64(c, two);
      }
      low += kBatch;
    } else {
#pragma GCC unroll 8
      for (size_t k = 0; k < kWideRegisters; ++k) {
        const __m128i first = CounterBlock(&high, &low);
        x[k] = _mm256_set_m128i(CounterBlock(&high, &low), first);
      }
    }
#pragma GCC unroll 8
    for (size_t k = 0; k < kWideRegisters; ++k) x[k] = _mm256_xor_si256(x[k], keys[0]);
    for (int32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
      for (size_t k = 0; k < kWideRegisters; ++k) x[k] = _mm256_aesenc_epi128(x[k], keys[r]);
    }
#pragma GCC unroll 8
    for (size_t k = 0; k < kWideRegisters; ++k) {
      const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 16 * i + 32 * k));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * i + 32 * k),
                          _mm256_xor_si256(_mm256_aesenclast_epi128(x[k], keys[rounds]), data));
    }
  }
  Store64(counter, __builtin_bswap64(high));
  Store64(counter + 8, __builtin_bswap64(low));
  if (i < blocks) AesCtrBlocksNi(round_keys, rounds, counter, in + 16 * i, out + 16 * i, blocks - i);
}


namespace {

VELMORA_WIDE_TARGET inline void WideKeys(const uint32_t* round_keys, int32_t rounds, __m256i* keys) {
  __m128i narrow[15];
  LoadKeys(round_keys, rounds, narrow);
  for (int32_t r = 0; r <= rounds; ++r) keys[r] = _mm256_broadcastsi128_si256(narrow[r]);
}

template <bool encrypt>
VELMORA_WIDE_TARGET __attribute__((always_inline)) inline void WideRounds(const __m256i* keys, int32_t rounds,
                                                                         __m256i* x) {
#pragma GCC unroll 8
  for (size_t k = 0; k < kWideRegisters; ++k) x[k] = _mm256_xor_si256(x[k], keys[0]);
  for (int32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
    for (size_t k = 0; k < kWideRegisters; ++k) {
      x[k] = encrypt ? _mm256_aesenc_epi128(x[k], keys[r]) : _mm256_aesdec_epi128(x[k], keys[r]);
    }
  }
#pragma GCC unroll 8
  for (size_t k = 0; k < kWideRegisters; ++k) {
    x[k] = encrypt ? _mm256_aesenclast_epi128(x[k], keys[rounds]) : _mm256_aesdeclast_epi128(x[k], keys[rounds]);
  }
}

VELMORA_WIDE_TARGET inline __m256i LoadWide(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
VELMORA_WIDE_TARGET inline void StoreWide(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

}  // namespace

// Each register holds the tweaks of two neighbouring blocks; for the next batch each is multiplied by
// x^16: two byte shifts within the lane, each followed by the carry-less product of the byte shifted out
// with the reduction polynomial.
VELMORA_WIDE_TARGET inline __m256i TimesX8Wide(__m256i t, __m256i poly) {
  return _mm256_xor_si256(_mm256_bslli_epi128(t, 1), _mm256_clmulepi64_epi128(_mm256_bsrli_epi128(t, 15), poly, 0x00));
}

template <bool encrypt>
VELMORA_WIDE_TARGET void XtsWide(const uint32_t* round_keys, int32_t rounds,
                                                                      uint8_t tweak[16], const uint8_t* in,
                                                                      uint8_t* out, size_t blocks) {
  constexpr size_t kBatch = 2 * kWideRegisters;
  if (blocks < kBatch) return AesXtsBlocksNi(round_keys, rounds, tweak, in, out, blocks, encrypt);
  __m256i keys[15];
  WideKeys(round_keys, rounds, keys);
  const __m256i poly = _mm256_set_epi64x(0, 0x87, 0, 0x87);
  uint64_t lo = Load64(tweak), hi = Load64(tweak + 8);
  __m256i t[kWideRegisters];
#pragma GCC unroll 8
  for (size_t k = 0; k < kWideRegisters; ++k) {
    const __m128i first = NextTweak(&lo, &hi);
    t[k] = _mm256_set_m128i(NextTweak(&lo, &hi), first);
  }
  size_t i = 0;
  for (; i + kBatch <= blocks; i += kBatch) {
    __m256i x[kWideRegisters];
#pragma GCC unroll 8
    for (size_t k = 0; k < kWideRegisters; ++k) x[k] = _mm256_xor_si256(LoadWide(in + 16 * i + 32 * k), t[k]);
    WideRounds<encrypt>(keys, rounds, x);
#pragma GCC unroll 8
    for (size_t k = 0; k < kWideRegisters; ++k) {
      StoreWide(out + 16 * i + 32 * k, _mm256_xor_si256(x[k], t[k]));
      t[k] = TimesX8Wide(TimesX8Wide(t[k], poly), poly);
    }
  }
  // The low lane of t[0] is now the tweak of block i.
  const __m128i next = _mm256_castsi256_si128(t[0]);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(tweak), next);
  if (i < blocks) AesXtsBlocksNi(round_keys, rounds, tweak, in + 16 * i, out + 16 * i, blocks - i, encrypt);
}

void AesXtsBlocksWide(const uint32_t* round_keys, int32_t rounds, uint8_t tweak[16], const uint8_t* in,
                      uint8_t* out, size_t blocks, bool encrypt) {
  if (encrypt) {
    XtsWide<true>(round_keys, rounds, tweak, in, out, blocks);
  } else {
    XtsWide<false>(round_keys, rounds, tweak, in, out, blocks);
  }
}

}  // namespace velmora::crypto::internal

#else

namespace velmora::crypto::internal {

bool CpuHasAesNi() { return false; }
// Never reached: the callers test CpuHasAesNi first.
void AesEncryptBlocksNi(const uint32_t*, int32_t, const uint8_t*, uint8_t*, size_t) {}
void AesDecryptBlocksNi(const uint32_t*, int32_t, const uint8_t*, uint8_t*, size_t) {}
void AesCbcEncryptBlocksNi(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t) {}
bool CpuHasWideAes() { return false; }
void AesCbcDecryptBlocksNi(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t) {}
void AesCtrBlocksNi(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t) {}
void AesCtrBlocksWide(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t) {}
void AesXtsBlocksNi(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t, bool) {}
void AesXtsBlocksNiSse(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t, bool) {}
void AesExpandKey128Ni(uint32_t*, const uint8_t*) {}
void AesXtsBlocksWide(const uint32_t*, int32_t, uint8_t*, const uint8_t*, uint8_t*, size_t, bool) {}

}  // namespace velmora::crypto::internal

#endif
