// BLAKE2b (RFC 7693) with an unrolled compression function.
#include <bit>
#include <cstring>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/hash_ctx.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// RFC 7693 2.6: the SHA-512 initial value.
constexpr uint64_t kIv[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                             0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                             0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

// RFC 7693 2.7: the message word schedule; rounds 10 and 11 reuse rows 0 and 1.
constexpr uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

#define VELMORA_BLAKE2B_G(a, b, c, d, x, y) \
  a = a + b + (x);                          \
  d = std::rotr(d ^ a, 32);                 \
  c = c + d;                                \
  b = std::rotr(b ^ c, 24);                 \
  a = a + b + (y);                          \
  d = std::rotr(d ^ a, 16);                 \
  c = c + d;                                \
  b = std::rotr(b ^ c, 63);

}  // namespace

Blake2bState::~Blake2bState() { platform::SecureZero(this, sizeof *this); }

int Blake2bState::Configure(int32_t digest_length, const uint8_t* key, int32_t key_length) {
  if (digest_length < 1 || digest_length > 64 || key_length < 0 || key_length > 64) return kUnknownDigest;
  if (key_length > 0 && key == nullptr) return kUnknownDigest;
  digest_length_ = digest_length;
  key_length_ = key_length;
  std::memset(key_, 0, sizeof key_);
  if (key_length > 0) std::memcpy(key_, key, static_cast<size_t>(key_length));
  initialised_ = 0;
  return 0;
}

void Blake2bState::Init() {
  std::memcpy(h_, kIv, sizeof h_);
  // Parameter block word 0: digest length, key length, fanout 1, depth 1.
  h_[0] ^= 0x01010000ULL ^ (static_cast<uint64_t>(key_length_) << 8) ^ static_cast<uint64_t>(digest_length_);
  t_[0] = t_[1] = 0;
  f_[0] = f_[1] = 0;
  held_ = 0;
  std::memset(block_, 0, sizeof block_);
  initialised_ = 1;
  if (key_length_ > 0) {
    std::memcpy(block_, key_, static_cast<size_t>(key_length_));
    held_ = 128;
  }
}

void Blake2bState::Compress(bool last) {
  uint64_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = internal::Load64LE(block_ + 8 * i);
  uint64_t v0 = h_[0], v1 = h_[1], v2 = h_[2], v3 = h_[3], v4 = h_[4], v5 = h_[5], v6 = h_[6], v7 = h_[7];
  uint64_t v8 = kIv[0], v9 = kIv[1], v10 = kIv[2], v11 = kIv[3];
  uint64_t v12 = kIv[4] ^ t_[0], v13 = kIv[5] ^ t_[1];
  uint64_t v14 = last ? ~kIv[6] : kIv[6], v15 = kIv[7];
  for (int round = 0; round < 12; ++round) {
    const uint8_t* s = kSigma[round];
    VELMORA_BLAKE2B_G(v0, v4, v8, v12, m[s[0]], m[s[1]])
    VELMORA_BLAKE2B_G(v1, v5, v9, v13, m[s[2]], m[s[3]])
    VELMORA_BLAKE2B_G(v2, v6, v10, v14, m[s[4]], m[s[5]])
    VELMORA_BLAKE2B_G(v3, v7, v11, v15, m[s[6]], m[s[7]])
    VELMORA_BLAKE2B_G(v0, v5, v10, v15, m[s[8]], m[s[9]])
    VELMORA_BLAKE2B_G(v1, v6, v11, v12, m[s[10]], m[s[11]])
    VELMORA_BLAKE2B_G(v2, v7, v8, v13, m[s[12]], m[s[13]])
    VELMORA_BLAKE2B_G(v3, v4, v9, v14, m[s[14]], m[s[15]])
  }
  h_[0] ^= v0 ^ v8;
  h_[1] ^= v1 ^ v9;
  h_[2] ^= v2 ^ v10;
  h_[3] ^= v3 ^ v11;
  h_[4] ^= v4 ^ v12;
  h_[5] ^= v5 ^ v13;
  h_[6] ^= v6 ^ v14;
  h_[7] ^= v7 ^ v15;
  if (last) f_[0] = ~uint64_t{0};
}

#undef VELMORA_BLAKE2B_G

void Blake2bState::Update(const uint8_t* data, size_t length) {
  if (initialised_ == 0) Init();
  if (data == nullptr) return;
  while (length > 0) {
    // A full block is compressed only once more input is known to follow: the last block of the
    // message must carry the final flag.
    if (held_ == 128) {
      t_[0] += 128;
      if (t_[0] < 128) ++t_[1];
      Compress(false);
      held_ = 0;
    }
    const size_t room = static_cast<size_t>(128 - held_);
    const size_t piece = length < room ? length : room;
    std::memcpy(block_ + held_, data, piece);
    held_ += static_cast<int32_t>(piece);
    data += piece;
    length -= piece;
  }
}

const uint8_t* Blake2bState::Final() {
  if (initialised_ == 0) Init();
  t_[0] += static_cast<uint64_t>(held_);
  if (t_[0] < static_cast<uint64_t>(held_)) ++t_[1];
  std::memset(block_ + held_, 0, static_cast<size_t>(128 - held_));
  Compress(true);
  uint8_t full[64];
  for (int i = 0; i < 8; ++i) internal::Store64LE(full + 8 * i, h_[i]);
  std::memcpy(digest_, full, static_cast<size_t>(digest_length_));
  platform::SecureZero(full, sizeof full);
  initialised_ = 0;
  return digest_;
}

}  // namespace velmora::crypto
