// SHA-1 (FIPS 180-4) and the choice between the portable and the SHA-extensions block functions.
#include <atomic>
#include <bit>
#include <cstring>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"

namespace velmora::crypto {

using internal::Load32BE;
using internal::Store32BE;

namespace {
std::atomic<bool> g_portable{false};
}  // namespace

bool internal::UseShaExtensions() {
  static const bool available = CpuHasShaExtensions();
  return available && !g_portable.load(std::memory_order_relaxed);
}

namespace {

void Sha1Blocks(uint32_t h[5], const uint8_t* data, size_t blocks) {
  if (internal::UseShaExtensions()) {
    internal::Sha1BlocksShaNi(h, data, blocks);
  } else {
    internal::Sha1BlocksPortable(h, data, blocks);
  }
}
}  // namespace

void SetPortableDigests(bool portable) { g_portable.store(portable, std::memory_order_relaxed); }

bool internal::PortableDigestsForced() { return g_portable.load(std::memory_order_relaxed); }

bool DigestAccelerationActive() { return internal::UseShaExtensions(); }

namespace internal {

// The 80 steps are unrolled in groups of five, the five working variables rotating through the
// argument positions; the message schedule is kept as a 16-word ring.
#define VELMORA_SHA1_W(t) \
  (w[(t) & 15] = std::rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t) & 15], 1))
#define VELMORA_SHA1_R0(a, b, c, d, e, t) \
  e += std::rotl(a, 5) + (d ^ (b & (c ^ d))) + 0x5a827999u + w[t]; \
  b = std::rotl(b, 30);
#define VELMORA_SHA1_R1(a, b, c, d, e, t) \
  e += std::rotl(a, 5) + (d ^ (b & (c ^ d))) + 0x5a827999u + VELMORA_SHA1_W(t); \
  b = std::rotl(b, 30);
#define VELMORA_SHA1_R2(a, b, c, d, e, t) \
  e += std::rotl(a, 5) + (b ^ c ^ d) + 0x6ed9eba1u + VELMORA_SHA1_W(t); \
  b = std::rotl(b, 30);
#define VELMORA_SHA1_R3(a, b, c, d, e, t) \
  e += std::rotl(a, 5) + ((b & c) | (d & (b | c))) + 0x8f1bbcdcu + VELMORA_SHA1_W(t); \
  b = std::rotl(b, 30);
#define VELMORA_SHA1_R4(a, b, c, d, e, t) \
  e += std::rotl(a, 5) + (b ^ c ^ d) + 0xca62c1d6u + VELMORA_SHA1_W(t); \
  b = std::rotl(b, 30);
#define VELMORA_SHA1_FIVE(R, t) \
  R(a, b, c, d, e, t)           \
  R(e, a, b, c, d, (t) + 1)     \
  R(d, e, a, b, c, (t) + 2)     \
  R(c, d, e, a, b, (t) + 3)     \
  R(b, c, d, e, a, (t) + 4)

void Sha1BlocksPortable(uint32_t h[5], const uint8_t* data, size_t blocks) {
  uint32_t w[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = Load32BE(data + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R0, 0)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R0, 5)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R0, 10)
    VELMORA_SHA1_R0(a, b, c, d, e, 15)
    VELMORA_SHA1_R1(e, a, b, c, d, 16)
    VELMORA_SHA1_R1(d, e, a, b, c, 17)
    VELMORA_SHA1_R1(c, d, e, a, b, 18)
    VELMORA_SHA1_R1(b, c, d, e, a, 19)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R2, 20)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R2, 25)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R2, 30)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R2, 35)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R3, 40)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R3, 45)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R3, 50)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R3, 55)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R4, 60)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R4, 65)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R4, 70)
    VELMORA_SHA1_FIVE(VELMORA_SHA1_R4, 75)
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
}

#undef VELMORA_SHA1_W
#undef VELMORA_SHA1_R0
#undef VELMORA_SHA1_R1
#undef VELMORA_SHA1_R2
#undef VELMORA_SHA1_R3
#undef VELMORA_SHA1_R4
#undef VELMORA_SHA1_FIVE

}  // namespace internal

void Sha1State::Init() {
  static constexpr uint32_t kInitial[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};
  std::memcpy(h, kInitial, sizeof h);
  length_low = 0;
  length_high = 0;
  std::memset(block, 0, sizeof block);
  computed = 0;
  corrupted = 0;
  std::memset(digest, 0, sizeof digest);
}

int Sha1State::Update(const uint8_t* data, uint32_t length) {
  if (length == 0) return 0;
  if (corrupted != 0) return corrupted;
  const uint32_t held = (length_low >> 3) & 63;
  const uint64_t before = (uint64_t{length_high} << 32) | length_low;
  const uint64_t after = before + (uint64_t{length} << 3);
  length_low = static_cast<uint32_t>(after);
  length_high = static_cast<uint32_t>(after >> 32);
  if (after < before) {
    corrupted = 1;
    return corrupted;
  }
  internal::FeedBlocks<64>(block, held, data, length,
                                 [this](const uint8_t* p, size_t n) { Sha1Blocks(h, p, n); });
  return 0;
}

const uint8_t* Sha1State::Final() {
  if (corrupted != 0) return nullptr;
  if (computed == 0) {
    const uint32_t held = (length_low >> 3) & 63;
    block[held] = 0x80;
    if (held >= 56) {
      std::memset(block + held + 1, 0, 63 - held);
      Sha1Blocks(h, block, 1);
      std::memset(block, 0, 56);
    } else {
      std::memset(block + held + 1, 0, 55 - held);
    }
    Store32BE(block + 56, length_high);
    Store32BE(block + 60, length_low);
    Sha1Blocks(h, block, 1);
    std::memset(block, 0, sizeof block);
    length_low = 0;
    length_high = 0;
    computed = 1;
  }
  for (int i = 0; i < 5; ++i) Store32BE(digest + 4 * i, h[i]);
  digest[20] = 0;
  return digest;
}

}  // namespace velmora::crypto
