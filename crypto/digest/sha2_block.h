// The FIPS 180-4 SHA-2 compression, fully unrolled, for both word sizes: Traits gives the word type,
// the round count (64 or 80), the round constants, the big-endian load and the four sigma functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto::internal {

// The 80 SHA-512 round constants (FIPS 180-4 4.2.3).
extern const uint64_t kSha512RoundConstants[80];
// SHA-512 block functions: compress `blocks` whole 128-byte blocks at data into the chaining value.
// Sha512BlocksAvx2 is only called when CpuHasAvx2Bmi2() says so.
void Sha512BlocksPortable(uint64_t state[8], const uint8_t* data, size_t blocks);
void Sha512BlocksAvx2(uint64_t state[8], const uint8_t* data, size_t blocks);
bool CpuHasAvx2Bmi2();

// One step: t is the step number, the eight variables rotate through the argument positions.
// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)); one step's a ^ b is the next one's b ^ c.
#define VELMORA_SHA2_STEP(a, b, c, d, e, f, g, h, t, word)                                        \
  {                                                                                              \
    const Word t1 = h + Traits::BigSigma1(e) + (g ^ (e & (f ^ g))) + Traits::kK[t] + (word);     \
    const Word ab = a ^ b;                                                                       \
    d += t1;                                                                                     \
    h = t1 + Traits::BigSigma0(a) + (b ^ (ab & bc));                                             \
    bc = ab;                                                                                     \
  }
// The message schedule is a 16-word ring: w[t & 15] holds word t - 16 until it is replaced by word t.
#define VELMORA_SHA2_EXPAND(t)                                                                   \
  (w[(t) & 15] += Traits::SmallSigma1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] +                  \
                  Traits::SmallSigma0(w[((t) + 1) & 15]))
#define VELMORA_SHA2_PLAIN(t) w[t]
#define VELMORA_SHA2_EIGHT(t, W)                                   \
  VELMORA_SHA2_STEP(a, b, c, d, e, f, g, h, t, W(t))               \
  VELMORA_SHA2_STEP(h, a, b, c, d, e, f, g, (t) + 1, W((t) + 1))   \
  VELMORA_SHA2_STEP(g, h, a, b, c, d, e, f, (t) + 2, W((t) + 2))   \
  VELMORA_SHA2_STEP(f, g, h, a, b, c, d, e, (t) + 3, W((t) + 3))   \
  VELMORA_SHA2_STEP(e, f, g, h, a, b, c, d, (t) + 4, W((t) + 4))   \
  VELMORA_SHA2_STEP(d, e, f, g, h, a, b, c, (t) + 5, W((t) + 5))   \
  VELMORA_SHA2_STEP(c, d, e, f, g, h, a, b, (t) + 6, W((t) + 6))   \
  VELMORA_SHA2_STEP(b, c, d, e, f, g, h, a, (t) + 7, W((t) + 7))

template <typename Traits>
void Sha2Blocks(typename Traits::Word state[8], const uint8_t* data, size_t blocks) {
  using Word = typename Traits::Word;
  constexpr size_t kBlockBytes = 16 * sizeof(Word);
  Word w[16];
  for (; blocks > 0; --blocks, data += kBlockBytes) {
    for (size_t i = 0; i < 16; ++i) w[i] = Traits::Load(data + sizeof(Word) * i);
    Word a = state[0], b = state[1], c = state[2], d = state[3];
    Word e = state[4], f = state[5], g = state[6], h = state[7];
    Word bc = b ^ c;
    VELMORA_SHA2_EIGHT(0, VELMORA_SHA2_PLAIN)
    VELMORA_SHA2_EIGHT(8, VELMORA_SHA2_PLAIN)
    VELMORA_SHA2_EIGHT(16, VELMORA_SHA2_EXPAND)
    VELMORA_SHA2_EIGHT(24, VELMORA_SHA2_EXPAND)
    VELMORA_SHA2_EIGHT(32, VELMORA_SHA2_EXPAND)
    VELMORA_SHA2_EIGHT(40, VELMORA_SHA2_EXPAND)
    VELMORA_SHA2_EIGHT(48, VELMORA_SHA2_EXPAND)
    VELMORA_SHA2_EIGHT(56, VELMORA_SHA2_EXPAND)
    if constexpr (Traits::kRounds == 80) {
      VELMORA_SHA2_EIGHT(64, VELMORA_SHA2_EXPAND)
      VELMORA_SHA2_EIGHT(72, VELMORA_SHA2_EXPAND)
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#undef VELMORA_SHA2_STEP
#undef VELMORA_SHA2_EXPAND
#undef VELMORA_SHA2_PLAIN
#undef VELMORA_SHA2_EIGHT

}  // namespace velmora::crypto::internal
