// The Keccak sponge of FIPS 202: Keccak-f[1600] with unrolled rounds, buffered absorbing, the SHA-3,
// Keccak and SHAKE paddings and the squeeze.
#include <bit>
#include <cstring>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/hash_ctx.h"

namespace velmora::crypto {

namespace {

// FIPS 202 3.2.5: the round constants from the rc(t) LFSR.
constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

using std::rotl;

// One round over the 25 lanes held in locals a0..a24 (lane x + 5y): theta, then rho and pi together
// (b[y + 5 * ((2x + 3y) mod 5)] = rot(a[x + 5y] ^ d[x], offset)), chi and iota.
#define VELMORA_KECCAK_ROUND(rc)                                                                          \
  {                                                                                                       \
    const uint64_t c0 = a0 ^ a5 ^ a10 ^ a15 ^ a20, c1 = a1 ^ a6 ^ a11 ^ a16 ^ a21;                        \
    const uint64_t c2 = a2 ^ a7 ^ a12 ^ a17 ^ a22, c3 = a3 ^ a8 ^ a13 ^ a18 ^ a23;                        \
    const uint64_t c4 = a4 ^ a9 ^ a14 ^ a19 ^ a24;                                                        \
    const uint64_t d0 = c4 ^ rotl(c1, 1), d1 = c0 ^ rotl(c2, 1), d2 = c1 ^ rotl(c3, 1);                   \
    const uint64_t d3 = c2 ^ rotl(c4, 1), d4 = c3 ^ rotl(c0, 1);                                          \
    const uint64_t b0 = a0 ^ d0, b10 = rotl(a1 ^ d1, 1), b20 = rotl(a2 ^ d2, 62), b5 = rotl(a3 ^ d3, 28); \
    const uint64_t b15 = rotl(a4 ^ d4, 27), b16 = rotl(a5 ^ d0, 36), b1 = rotl(a6 ^ d1, 44);              \
    const uint64_t b11 = rotl(a7 ^ d2, 6), b21 = rotl(a8 ^ d3, 55), b6 = rotl(a9 ^ d4, 20);               \
    const uint64_t b7 = rotl(a10 ^ d0, 3), b17 = rotl(a11 ^ d1, 10), b2 = rotl(a12 ^ d2, 43);             \
    const uint64_t b12 = rotl(a13 ^ d3, 25), b22 = rotl(a14 ^ d4, 39), b23 = rotl(a15 ^ d0, 41);          \
    const uint64_t b8 = rotl(a16 ^ d1, 45), b18 = rotl(a17 ^ d2, 15), b3 = rotl(a18 ^ d3, 21);            \
    const uint64_t b13 = rotl(a19 ^ d4, 8), b14 = rotl(a20 ^ d0, 18), b24 = rotl(a21 ^ d1, 2);            \
    const uint64_t b9 = rotl(a22 ^ d2, 61), b19 = rotl(a23 ^ d3, 56), b4 = rotl(a24 ^ d4, 14);            \
    a0 = b0 ^ (~b1 & b2) ^ (rc);                                                                          \
    a1 = b1 ^ (~b2 & b3);                                                                                 \
    a2 = b2 ^ (~b3 & b4);                                                                                 \
    a3 = b3 ^ (~b4 & b0);                                                                                 \
    a4 = b4 ^ (~b0 & b1);                                                                                 \
    a5 = b5 ^ (~b6 & b7);                                                                                 \
    a6 = b6 ^ (~b7 & b8);                                                                                 \
    a7 = b7 ^ (~b8 & b9);                                                                                 \
    a8 = b8 ^ (~b9 & b5);                                                                                 \
    a9 = b9 ^ (~b5 & b6);                                                                                 \
    a10 = b10 ^ (~b11 & b12);                                                                             \
    a11 = b11 ^ (~b12 & b13);                                                                             \
    a12 = b12 ^ (~b13 & b14);                                                                             \
    a13 = b13 ^ (~b14 & b10);                                                                             \
    a14 = b14 ^ (~b10 & b11);                                                                             \
    a15 = b15 ^ (~b16 & b17);                                                                             \
    a16 = b16 ^ (~b17 & b18);                                                                             \
    a17 = b17 ^ (~b18 & b19);                                                                             \
    a18 = b18 ^ (~b19 & b15);                                                                             \
    a19 = b19 ^ (~b15 & b16);                                                                             \
    a20 = b20 ^ (~b21 & b22);                                                                             \
    a21 = b21 ^ (~b22 & b23);                                                                             \
    a22 = b22 ^ (~b23 & b24);                                                                             \
    a23 = b23 ^ (~b24 & b20);                                                                             \
    a24 = b24 ^ (~b20 & b21);                                                                             \
  }

#define VELMORA_KECCAK_LOAD_LANES                                                         \
  uint64_t a0 = lanes[0], a1 = lanes[1], a2 = lanes[2], a3 = lanes[3], a4 = lanes[4];      \
  uint64_t a5 = lanes[5], a6 = lanes[6], a7 = lanes[7], a8 = lanes[8], a9 = lanes[9];      \
  uint64_t a10 = lanes[10], a11 = lanes[11], a12 = lanes[12], a13 = lanes[13];             \
  uint64_t a14 = lanes[14], a15 = lanes[15], a16 = lanes[16], a17 = lanes[17];             \
  uint64_t a18 = lanes[18], a19 = lanes[19], a20 = lanes[20], a21 = lanes[21];             \
  uint64_t a22 = lanes[22], a23 = lanes[23], a24 = lanes[24];
#define VELMORA_KECCAK_STORE_LANES                                                         \
  lanes[0] = a0, lanes[1] = a1, lanes[2] = a2, lanes[3] = a3, lanes[4] = a4;               \
  lanes[5] = a5, lanes[6] = a6, lanes[7] = a7, lanes[8] = a8, lanes[9] = a9;               \
  lanes[10] = a10, lanes[11] = a11, lanes[12] = a12, lanes[13] = a13, lanes[14] = a14;     \
  lanes[15] = a15, lanes[16] = a16, lanes[17] = a17, lanes[18] = a18, lanes[19] = a19;     \
  lanes[20] = a20, lanes[21] = a21, lanes[22] = a22, lanes[23] = a23, lanes[24] = a24;
#define VELMORA_KECCAK_PERMUTE                     \
  for (int round = 0; round < 24; round += 2) {    \
    VELMORA_KECCAK_ROUND(kRoundConstants[round])   \
    VELMORA_KECCAK_ROUND(kRoundConstants[round + 1]) \
  }

inline uint64_t Word(const uint8_t* data, int i) { return internal::Load64LE(data + 8 * i); }

// AbsorbBody XORs each whole rate block into the first rate / 8 lanes and permutes, the lanes kept
// in registers across blocks for the rates of SHA-3 and SHAKE. It is compiled twice: for the baseline
// processor and with BMI1/BMI2 (ANDN for chi, RORX for the rotations).
[[gnu::always_inline]] inline void AbsorbBody(uint64_t lanes[25], const uint8_t* data, size_t blocks, int32_t rate) {
  const int32_t words = rate / 8;
  if (words != 9 && words != 13 && words != 17 && words != 18 && words != 21) {
    for (; blocks > 0; --blocks, data += rate) {
      for (int32_t i = 0; i < words; ++i) lanes[i] ^= Word(data, i);
      KeccakF1600(lanes);
    }
    return;
  }
  VELMORA_KECCAK_LOAD_LANES
  for (; blocks > 0; --blocks, data += rate) {
    switch (words) {
      case 21:
        a20 ^= Word(data, 20), a19 ^= Word(data, 19), a18 ^= Word(data, 18);
        [[fallthrough]];
      case 18:
        a17 ^= Word(data, 17);
        [[fallthrough]];
      case 17:
        a16 ^= Word(data, 16), a15 ^= Word(data, 15), a14 ^= Word(data, 14), a13 ^= Word(data, 13);
        [[fallthrough]];
      case 13:
        a12 ^= Word(data, 12), a11 ^= Word(data, 11), a10 ^= Word(data, 10), a9 ^= Word(data, 9);
        [[fallthrough]];
      default:
        a8 ^= Word(data, 8), a7 ^= Word(data, 7), a6 ^= Word(data, 6), a5 ^= Word(data, 5);
        a4 ^= Word(data, 4), a3 ^= Word(data, 3), a2 ^= Word(data, 2), a1 ^= Word(data, 1);
        a0 ^= Word(data, 0);
    }
    VELMORA_KECCAK_PERMUTE
  }
  VELMORA_KECCAK_STORE_LANES
}

}  // namespace

bool internal::UseBmi2() {
#if defined(__x86_64__)
  static const bool available = __builtin_cpu_supports("bmi") != 0 && __builtin_cpu_supports("bmi2") != 0;
  return available && !PortableDigestsForced();
#else
  return false;
#endif
}

namespace {

void AbsorbPortable(uint64_t lanes[25], const uint8_t* data, size_t blocks, int32_t rate) {
  AbsorbBody(lanes, data, blocks, rate);
}

#if defined(__x86_64__)
__attribute__((target("bmi,bmi2"))) void AbsorbBmi(uint64_t lanes[25], const uint8_t* data, size_t blocks,
                                                   int32_t rate) {
  AbsorbBody(lanes, data, blocks, rate);
}
#endif

void AbsorbBlocks(uint64_t lanes[25], const uint8_t* data, size_t blocks, int32_t rate) {
#if defined(__x86_64__)
  if (internal::UseBmi2()) {
    AbsorbBmi(lanes, data, blocks, rate);
    return;
  }
#endif
  AbsorbPortable(lanes, data, blocks, rate);
}

}  // namespace

void KeccakF1600(uint64_t lanes[25]) {
  VELMORA_KECCAK_LOAD_LANES
  VELMORA_KECCAK_PERMUTE
  VELMORA_KECCAK_STORE_LANES
}

#undef VELMORA_KECCAK_ROUND
#undef VELMORA_KECCAK_LOAD_LANES
#undef VELMORA_KECCAK_STORE_LANES
#undef VELMORA_KECCAK_PERMUTE

int KeccakState::Configure(int32_t rate, int32_t output_bits) {
  if (rate < 8 || rate > static_cast<int32_t>(sizeof partial_) || rate % 8 != 0) return kUnknownDigest;
  rate_ = rate;
  output_bits_ = output_bits;
  Reset();
  return 0;
}

void KeccakState::Reset() {
  std::memset(lanes_, 0, sizeof lanes_);
  std::memset(partial_, 0, sizeof partial_);
  count_ = 0;
  output_.Clear();
}

void KeccakState::Absorb(const uint8_t* data, size_t length) {
  if (data == nullptr || length == 0) return;
  const size_t rate = static_cast<size_t>(rate_);
  const size_t count = static_cast<size_t>(count_);
  if (length < rate - count) {
    std::memcpy(partial_ + count, data, length);
    count_ += static_cast<int32_t>(length);
    return;
  }
  if (count > 0) {
    const size_t room = rate - count;
    std::memcpy(partial_ + count, data, room);
    AbsorbBlocks(lanes_, partial_, 1, rate_);
    data += room;
    length -= room;
  }
  const size_t blocks = length / rate;
  if (blocks > 0) AbsorbBlocks(lanes_, data, blocks, rate_);
  const size_t rest = length - blocks * rate;
  std::memcpy(partial_, data + blocks * rate, rest);
  count_ = static_cast<int32_t>(rest);
}

const uint8_t* KeccakState::FinishWithDomain(uint8_t domain) {
  const int32_t count = count_;
  // FIPS 202 B.2: the domain bits and the first pad bit share byte count, the last pad bit is the top
  // of the last rate byte; with one byte left both land in it (0x86, 0x81 or 0x9F).
  std::memset(partial_ + count, 0, static_cast<size_t>(rate_ - count));
  partial_[count] = domain;
  partial_[rate_ - 1] ^= 0x80;
  AbsorbBlocks(lanes_, partial_, 1, rate_);
  count_ = 0;
  const int32_t out_bytes = output_bits_ / 8;
  output_.Clear();
  if (output_.Resize(out_bytes) != core::kOk) return nullptr;
  uint8_t* out = reinterpret_cast<uint8_t*>(output_.Data());
  int32_t written = 0;
  while (written < out_bytes) {
    uint8_t lane_bytes[168];
    const int32_t piece = out_bytes - written < rate_ ? out_bytes - written : rate_;
    for (int32_t i = 0; i < (piece + 7) / 8; ++i) internal::Store64LE(lane_bytes + 8 * i, lanes_[i]);
    std::memcpy(out + written, lane_bytes, static_cast<size_t>(piece));
    written += piece;
    if (written < out_bytes) KeccakF1600(lanes_);
  }
  return out;
}

const uint8_t* KeccakState::Final() { return FinishWithDomain(keccak_padding_ != 0 ? 0x01 : 0x06); }

int KeccakState::CopyFrom(const KeccakState& source) {
  rate_ = source.rate_;
  output_bits_ = source.output_bits_;
  std::memcpy(lanes_, source.lanes_, sizeof lanes_);
  std::memcpy(partial_, source.partial_, sizeof partial_);
  count_ = source.count_;
  keccak_padding_ = source.keccak_padding_;
  return output_.Assign(source.output_);
}

const uint8_t* ShakeState::Final() { return FinishWithDomain(0x1f); }

int ShakeState::CopyFrom(const KeccakState& source) {
  if (const auto* shake = dynamic_cast<const ShakeState*>(&source)) security_bits_ = shake->security_bits_;
  return KeccakState::CopyFrom(source);
}

}  // namespace velmora::crypto
