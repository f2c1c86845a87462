// SHA-256 and SHA-224 (FIPS 180-4) with a fully unrolled compression function.
#include <bit>
#include <cstring>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/sha2_block.h"

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
struct Sha256Traits {
  using Word = uint32_t;
  static constexpr int kRounds = 64;
  static constexpr const uint32_t* kK = kSha256RoundConstants;
  static uint32_t Load(const uint8_t* p) { return Load32BE(p); }
  static uint32_t BigSigma0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
  static uint32_t BigSigma1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
  static uint32_t SmallSigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
  static uint32_t SmallSigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }
};
}  // namespace

void Sha256BlocksPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
  Sha2Blocks<Sha256Traits>(state, data, blocks);
}

void Sha256Blocks(uint32_t h[8], const uint8_t* data, size_t blocks) {
  if (UseShaExtensions()) {
    Sha256BlocksShaNi(h, data, blocks);
  } else {
    Sha256BlocksPortable(h, data, blocks);
  }
}

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
  internal::FeedBlocks<64>(block, held, data, length,
                                 [this](const uint8_t* p, size_t n) { internal::Sha256Blocks(h, p, n); });
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
