// SHA-256 and SHA-224 (FIPS 180-4) with a fully unrolled compression function.
#include <bit>
#include <cstring>

#include "crypto/symmetric/digest_bytes.h"
#include "crypto/symmetric/digest_cores.h"

namespace velmora::crypto {

using internal::Load32BE;
using internal::Store32BE;

namespace internal {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube roots of the first 64 primes.
alignas(16) const uint32_t kSha256RoundConstants[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

namespace {
const uint32_t* const kK = kSha256RoundConstants;

inline uint32_t BigSigma0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
inline uint32_t BigSigma1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
inline uint32_t SmallSigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }
}  // namespace

// One step: t is the step number, the eight variables rotate through the argument positions.
#define VELMORA_SHA256_STEP(a, b, c, d, e, f, g, h, t, word)                      \
  {                                                                              \
    const uint32_t t1 = h + BigSigma1(e) + (g ^ (e & (f ^ g))) + kK[t] + (word); \
    const uint32_t ab = a ^ b;                                                         \
    d += t1;                                                                     \
    h = t1 + BigSigma0(a) + (b ^ (ab & bc));                                     \
    bc = ab;                                                                     \
  }
#define VELMORA_SHA256_EXPAND(t) \
  (w[(t) & 15] += SmallSigma1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] + SmallSigma0(w[((t) + 1) & 15]))
#define VELMORA_SHA256_EIGHT(t, W)                   \
  VELMORA_SHA256_STEP(a, b, c, d, e, f, g, h, t, W(t)) \
  VELMORA_SHA256_STEP(h, a, b, c, d, e, f, g, (t) + 1, W((t) + 1)) \
  VELMORA_SHA256_STEP(g, h, a, b, c, d, e, f, (t) + 2, W((t) + 2)) \
  VELMORA_SHA256_STEP(f, g, h, a, b, c, d, e, (t) + 3, W((t) + 3)) \
  VELMORA_SHA256_STEP(e, f, g, h, a, b, c, d, (t) + 4, W((t) + 4)) \
  VELMORA_SHA256_STEP(d, e, f, g, h, a, b, c, (t) + 5, W((t) + 5)) \
  VELMORA_SHA256_STEP(c, d, e, f, g, h, a, b, (t) + 6, W((t) + 6)) \
  VELMORA_SHA256_STEP(b, c, d, e, f, g, h, a, (t) + 7, W((t) + 7))
#define VELMORA_SHA256_PLAIN(t) w[t]

void Sha256BlocksPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
  uint32_t w[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = Load32BE(data + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t bc = b ^ c;  // Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)); one step's a ^ b is the next one's b ^ c
    VELMORA_SHA256_EIGHT(0, VELMORA_SHA256_PLAIN)
    VELMORA_SHA256_EIGHT(8, VELMORA_SHA256_PLAIN)
    VELMORA_SHA256_EIGHT(16, VELMORA_SHA256_EXPAND)
    VELMORA_SHA256_EIGHT(24, VELMORA_SHA256_EXPAND)
    VELMORA_SHA256_EIGHT(32, VELMORA_SHA256_EXPAND)
    VELMORA_SHA256_EIGHT(40, VELMORA_SHA256_EXPAND)
    VELMORA_SHA256_EIGHT(48, VELMORA_SHA256_EXPAND)
    VELMORA_SHA256_EIGHT(56, VELMORA_SHA256_EXPAND)
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

#undef VELMORA_SHA256_STEP
#undef VELMORA_SHA256_EXPAND
#undef VELMORA_SHA256_EIGHT
#undef VELMORA_SHA256_PLAIN

}  // namespace internal

void Sha256State::Reset() {
  // FIPS 180-4 5.3.3 and 5.3.2.
  static constexpr uint32_t kSha256[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                          0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
  static constexpr uint32_t kSha224[8] = {0xc1059ed8u, 0x367cd507u, 0x3070dd17u, 0xf70e5939u,
                                          0xffc00b31u, 0x68581511u, 0x64f98fa7u, 0xbefa4fa4u};
  std::memcpy(h, sha224 != 0 ? kSha224 : kSha256, sizeof h);
  bit_count = 0;
  std::memset(block, 0, sizeof block);
}

void Sha256State::Update(const uint8_t* data, uint32_t length) {
  if (length == 0) return;
  const uint32_t held = static_cast<uint32_t>(bit_count >> 3) & 63;
  // The count is 64 bits wide: one update may carry more than 2^29 bytes.
  bit_count += uint64_t{length} << 3;
  uint32_t taken = 0;
  if (held != 0) {
    const uint32_t room = 64 - held;
    if (length < room) {
      std::memcpy(block + held, data, length);
      return;
    }
    std::memcpy(block + held, data, room);
    internal::Sha256Blocks(h, block, 1);
    taken = room;
  }
  const size_t whole = (length - taken) / 64;
  if (whole > 0) internal::Sha256Blocks(h, data + taken, whole);
  taken += static_cast<uint32_t>(whole * 64);
  if (taken < length) std::memcpy(block, data + taken, length - taken);
}

const uint8_t* Sha256State::Final() {
  uint8_t pad[72] = {0x80};
  uint8_t count[8];
  const uint64_t bits = bit_count;
  const uint32_t held = static_cast<uint32_t>(bits >> 3) & 63;
  internal::Store32BE(count, static_cast<uint32_t>(bits >> 32));
  internal::Store32BE(count + 4, static_cast<uint32_t>(bits));
  Update(pad, held < 56 ? 56 - held : 120 - held);
  Update(count, 8);
  for (int i = 0; i < 8; ++i) Store32BE(digest + 4 * i, h[i]);
  std::memset(h, 0, sizeof h);
  bit_count = 0;
  std::memset(block, 0, sizeof block);
  return digest;
}

}  // namespace velmora::crypto
