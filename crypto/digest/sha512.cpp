// SHA-512, SHA-384, SHA-512/224 and SHA-512/256 (FIPS 180-4) with a fully unrolled compression function;
// where the processor has AVX2 and BMI2 the block function of sha512_avx2.cpp runs instead.
#include <bit>
#include <cstring>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/sha2_block.h"
#include "crypto/digest/hash_ctx.h"

namespace velmora::crypto {

using internal::Load64BE;

namespace internal {

// FIPS 180-4 4.2.3: the first 64 bits of the fractional parts of the cube roots of the first 80 primes.
alignas(32) const uint64_t kSha512RoundConstants[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

}  // namespace internal

namespace {

// FIPS 180-4 5.3.5, 5.3.4 and 5.3.6 (the SHA-512/t values come from its IV generation function).
constexpr uint64_t kInitial[4][8] = {
    {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
     0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL},
    {0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL, 0x152fecd8f70e5939ULL,
     0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL, 0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL},
    {0x8c3d37c819544da2ULL, 0x73e1996689dcd4d6ULL, 0x1dfab7ae32ff9c82ULL, 0x679dd514582f9fcfULL,
     0x0f6d2b697bd44da8ULL, 0x77e36f7304c48942ULL, 0x3f9d85a86a1d36c8ULL, 0x1112e6ad91d692a1ULL},
    {0x22312194fc2bf72cULL, 0x9f555fa3c84c64c2ULL, 0x2393b86b6f53b151ULL, 0x963877195940eabdULL,
     0x96283ee2a88effe3ULL, 0xbe5e1e2553863992ULL, 0x2b0199fc2c85b8aaULL, 0x0eb72ddc81c52ca2ULL},
};

struct Sha512Traits {
  using Word = uint64_t;
  static constexpr int kRounds = 80;
  static constexpr const uint64_t* kK = internal::kSha512RoundConstants;
  static uint64_t Load(const uint8_t* p) { return Load64BE(p); }
  static uint64_t BigSigma0(uint64_t x) { return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39); }
  static uint64_t BigSigma1(uint64_t x) { return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41); }
  static uint64_t SmallSigma0(uint64_t x) { return std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7); }
  static uint64_t SmallSigma1(uint64_t x) { return std::rotr(x, 19) ^ std::rotr(x, 61) ^ (x >> 6); }
};

}  // namespace

void internal::Sha512BlocksPortable(uint64_t state[8], const uint8_t* data, size_t blocks) {
  Sha2Blocks<Sha512Traits>(state, data, blocks);
}

namespace {

// The AVX2 form unless the processor lacks AVX2 or BMI2, or SetPortableDigests has forced the portable one.
void Sha512Blocks(uint64_t state[8], const uint8_t* data, size_t blocks) {
  static const bool available = internal::CpuHasAvx2Bmi2();
  if (available && !internal::PortableDigestsForced()) {
    internal::Sha512BlocksAvx2(state, data, blocks);
  } else {
    internal::Sha512BlocksPortable(state, data, blocks);
  }
}

}  // namespace

void Sha512State::Reset() {
  std::memcpy(h, kInitial[static_cast<int32_t>(variant)], sizeof h);
  count_high = 0;
  count_low = 0;
  std::memset(block, 0, sizeof block);
}

void Sha512State::Update(const uint8_t* data, uint32_t length) {
  if (length == 0) return;
  const uint32_t held = static_cast<uint32_t>(count_low >> 3) & 127;
  const uint64_t add = uint64_t{length} << 3;
  count_low += add;
  if (count_low < add) ++count_high;
  internal::FeedBlocks<128>(block, held, data, length,
                                 [this](const uint8_t* p, size_t n) { Sha512Blocks(h, p, n); });
}

const uint8_t* Sha512State::Final() {
  uint8_t pad[136] = {0x80};
  uint8_t count[16];
  const uint32_t held = static_cast<uint32_t>(count_low >> 3) & 127;
  internal::Store64BE(count, count_high);
  internal::Store64BE(count + 8, count_low);
  Update(pad, held < 112 ? 112 - held : 240 - held);
  Update(count, 16);
  PutWords64BE(digest, h, 64);
  std::memset(h, 0, sizeof h);
  count_high = 0;
  count_low = 0;
  std::memset(block, 0, sizeof block);
  return digest;
}

}  // namespace velmora::crypto
