// MD5 (RFC 1321), MD4 (RFC 1320), MD2 (RFC 1319), RIPEMD-160 and the MD5+SHA-1 pair.
#include <bit>
#include <cstring>

#include "crypto/digest/digest_bytes.h"
#include "crypto/digest/digest_cores.h"
#include "crypto/digest/hash_ctx.h"

namespace velmora::crypto {

using internal::Load32LE;
using std::rotl;

namespace {

constexpr uint32_t kMdInitial[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};

// ---- MD5 ----------------------------------------------------------------------------------------------

#define VELMORA_MD5_STEP(f, a, b, c, d, k, s, t) a = b + rotl(a + f(b, c, d) + x[k] + (t), s);
#define VELMORA_MD5_F(b, c, d) (d ^ (b & (c ^ d)))
#define VELMORA_MD5_G(b, c, d) (c ^ (d & (b ^ c)))
#define VELMORA_MD5_H(b, c, d) (b ^ c ^ d)
#define VELMORA_MD5_I(b, c, d) (c ^ (b | ~d))

// RFC 1321 3.4; T[i] = floor(2^32 * |sin(i)|).
void Md5Blocks(uint32_t h[4], const uint8_t* data, size_t blocks) {
  uint32_t x[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) x[i] = Load32LE(data + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    VELMORA_MD5_STEP(VELMORA_MD5_F, a, b, c, d, 0, 7, 0xd76aa478u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, d, a, b, c, 1, 12, 0xe8c7b756u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, c, d, a, b, 2, 17, 0x242070dbu)
    VELMORA_MD5_STEP(VELMORA_MD5_F, b, c, d, a, 3, 22, 0xc1bdceeeu)
    VELMORA_MD5_STEP(VELMORA_MD5_F, a, b, c, d, 4, 7, 0xf57c0fafu)
    VELMORA_MD5_STEP(VELMORA_MD5_F, d, a, b, c, 5, 12, 0x4787c62au)
    VELMORA_MD5_STEP(VELMORA_MD5_F, c, d, a, b, 6, 17, 0xa8304613u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, b, c, d, a, 7, 22, 0xfd469501u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, a, b, c, d, 8, 7, 0x698098d8u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, d, a, b, c, 9, 12, 0x8b44f7afu)
    VELMORA_MD5_STEP(VELMORA_MD5_F, c, d, a, b, 10, 17, 0xffff5bb1u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, b, c, d, a, 11, 22, 0x895cd7beu)
    VELMORA_MD5_STEP(VELMORA_MD5_F, a, b, c, d, 12, 7, 0x6b901122u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, d, a, b, c, 13, 12, 0xfd987193u)
    VELMORA_MD5_STEP(VELMORA_MD5_F, c, d, a, b, 14, 17, 0xa679438eu)
    VELMORA_MD5_STEP(VELMORA_MD5_F, b, c, d, a, 15, 22, 0x49b40821u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, a, b, c, d, 1, 5, 0xf61e2562u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, d, a, b, c, 6, 9, 0xc040b340u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, c, d, a, b, 11, 14, 0x265e5a51u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, b, c, d, a, 0, 20, 0xe9b6c7aau)
    VELMORA_MD5_STEP(VELMORA_MD5_G, a, b, c, d, 5, 5, 0xd62f105du)
    VELMORA_MD5_STEP(VELMORA_MD5_G, d, a, b, c, 10, 9, 0x02441453u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, c, d, a, b, 15, 14, 0xd8a1e681u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, b, c, d, a, 4, 20, 0xe7d3fbc8u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, a, b, c, d, 9, 5, 0x21e1cde6u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, d, a, b, c, 14, 9, 0xc33707d6u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, c, d, a, b, 3, 14, 0xf4d50d87u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, b, c, d, a, 8, 20, 0x455a14edu)
    VELMORA_MD5_STEP(VELMORA_MD5_G, a, b, c, d, 13, 5, 0xa9e3e905u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, d, a, b, c, 2, 9, 0xfcefa3f8u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, c, d, a, b, 7, 14, 0x676f02d9u)
    VELMORA_MD5_STEP(VELMORA_MD5_G, b, c, d, a, 12, 20, 0x8d2a4c8au)
    VELMORA_MD5_STEP(VELMORA_MD5_H, a, b, c, d, 5, 4, 0xfffa3942u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, d, a, b, c, 8, 11, 0x8771f681u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, c, d, a, b, 11, 16, 0x6d9d6122u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, b, c, d, a, 14, 23, 0xfde5380cu)
    VELMORA_MD5_STEP(VELMORA_MD5_H, a, b, c, d, 1, 4, 0xa4beea44u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, d, a, b, c, 4, 11, 0x4bdecfa9u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, c, d, a, b, 7, 16, 0xf6bb4b60u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, b, c, d, a, 10, 23, 0xbebfbc70u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, a, b, c, d, 13, 4, 0x289b7ec6u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, d, a, b, c, 0, 11, 0xeaa127fau)
    VELMORA_MD5_STEP(VELMORA_MD5_H, c, d, a, b, 3, 16, 0xd4ef3085u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, b, c, d, a, 6, 23, 0x04881d05u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, a, b, c, d, 9, 4, 0xd9d4d039u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, d, a, b, c, 12, 11, 0xe6db99e5u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, c, d, a, b, 15, 16, 0x1fa27cf8u)
    VELMORA_MD5_STEP(VELMORA_MD5_H, b, c, d, a, 2, 23, 0xc4ac5665u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, a, b, c, d, 0, 6, 0xf4292244u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, d, a, b, c, 7, 10, 0x432aff97u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, c, d, a, b, 14, 15, 0xab9423a7u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, b, c, d, a, 5, 21, 0xfc93a039u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, a, b, c, d, 12, 6, 0x655b59c3u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, d, a, b, c, 3, 10, 0x8f0ccc92u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, c, d, a, b, 10, 15, 0xffeff47du)
    VELMORA_MD5_STEP(VELMORA_MD5_I, b, c, d, a, 1, 21, 0x85845dd1u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, a, b, c, d, 8, 6, 0x6fa87e4fu)
    VELMORA_MD5_STEP(VELMORA_MD5_I, d, a, b, c, 15, 10, 0xfe2ce6e0u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, c, d, a, b, 6, 15, 0xa3014314u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, b, c, d, a, 13, 21, 0x4e0811a1u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, a, b, c, d, 4, 6, 0xf7537e82u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, d, a, b, c, 11, 10, 0xbd3af235u)
    VELMORA_MD5_STEP(VELMORA_MD5_I, c, d, a, b, 2, 15, 0x2ad7d2bbu)
    VELMORA_MD5_STEP(VELMORA_MD5_I, b, c, d, a, 9, 21, 0xeb86d391u)
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
  }
}

#undef VELMORA_MD5_STEP
#undef VELMORA_MD5_F
#undef VELMORA_MD5_G
#undef VELMORA_MD5_H
#undef VELMORA_MD5_I

// ---- MD4 ----------------------------------------------------------------------------------------------

// RFC 1320 3.4: three rounds of sixteen steps; step i of a round updates v[(4 - i) mod 4] from the
// three others in rotating order.
void Md4Block(uint32_t h[4], const uint8_t* data) {
  static constexpr uint8_t kOrder[3][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                            {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15},
                                            {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15}};
  static constexpr int kShift[3][4] = {{3, 7, 11, 19}, {3, 5, 9, 13}, {3, 9, 11, 15}};
  static constexpr uint32_t kAdd[3] = {0, 0x5a827999u, 0x6ed9eba1u};
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Load32LE(data + 4 * i);
  uint32_t v[4] = {h[0], h[1], h[2], h[3]};
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 16; ++i) {
      uint32_t& a = v[(4 - i % 4) % 4];
      const uint32_t b = v[(5 - i % 4) % 4], c = v[(6 - i % 4) % 4], d = v[(7 - i % 4) % 4];
      const uint32_t f = round == 0 ? (d ^ (b & (c ^ d))) : round == 1 ? ((b & c) | (b & d) | (c & d)) : (b ^ c ^ d);
      a = rotl(a + f + x[kOrder[round][i]] + kAdd[round], kShift[round][i % 4]);
    }
  }
  for (int i = 0; i < 4; ++i) h[i] += v[i];
}

// ---- MD2 ----------------------------------------------------------------------------------------------

// RFC 1319 3.2: the permutation of 0..255 built from the digits of pi.
constexpr uint8_t kPiSubst[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243,
    192, 199, 115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,
    103, 66,  111, 24,  138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142,
    187, 47,  238, 122, 169, 104, 121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,
    128, 127, 93,  154, 90,  144, 50,  39,  53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179,
    72,  165, 181, 209, 215, 94,  146, 42,  172, 86,  170, 198, 79,  184, 56,  210, 150, 164, 125, 182,
    118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,  100, 113, 135, 32,  134, 91,  207, 101,
    230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,  97,  105, 52,  64,  126, 15,
    85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,  44,  83,  13,  110,
    133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193, 171, 250,
    36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,
    49,  68,  80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20,
};

// ---- RIPEMD-160 ---------------------------------------------------------------------------------------

// The word orders, rotations and constants of the RIPEMD-160 paper, left line then right line.
constexpr uint8_t kRmdOrderLeft[80] = {
    0, 1, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 7,  4,  13, 1,  10, 6,  15, 3,  12, 0, 9,
    5, 2, 14, 11, 8,  3,  10, 14, 4,  9,  15, 8,  1,  2,  7,  0,  6,  13, 11, 5,  12, 1,  9,  11, 10, 0, 8,
    12, 4, 13, 3, 7,  15, 14, 5,  6,  2,  4,  0,  5,  9,  7,  12, 2,  10, 14, 1,  3,  8,  11, 6,  15, 13};
constexpr uint8_t kRmdOrderRight[80] = {
    5,  14, 7,  0,  9, 2,  11, 4, 13, 6,  15, 8,  1,  10, 3,  12, 6,  11, 3,  7, 0, 13, 5,  10, 14, 15, 8,
    12, 4,  9,  1,  2, 15, 5,  1, 3,  7,  14, 6,  9,  11, 8,  12, 2,  10, 0,  4, 13, 8,  6,  4,  1,  3, 11,
    15, 0,  5,  12, 2, 13, 9,  7, 10, 14, 12, 15, 10, 4,  1,  5,  8,  7,  6,  2, 13, 14, 0, 3,  9,  11};
constexpr uint8_t kRmdShiftLeft[80] = {
    11, 14, 15, 12, 5,  8,  7,  9,  11, 13, 14, 15, 6,  7,  9,  8,  7,  6,  8,  13, 11, 9,  7,  15, 7, 12, 15,
    9,  11, 7,  13, 12, 11, 13, 6,  7,  14, 9,  13, 15, 14, 8,  13, 6,  5,  12, 7,  5,  11, 12, 14, 15, 14, 15,
    9,  8,  9,  14, 5,  6,  8,  6,  5,  12, 9,  15, 5,  11, 6,  8,  13, 12, 5,  12, 13, 14, 11, 8,  5,  6};
constexpr uint8_t kRmdShiftRight[80] = {
    8,  9,  9,  11, 13, 15, 15, 5,  7,  7,  8,  11, 14, 14, 12, 6,  9,  13, 15, 7,  12, 8,  9,  11, 7,  7,  12,
    7,  6,  15, 13, 11, 9,  7,  15, 11, 8,  6,  6,  14, 12, 13, 5,  14, 13, 13, 7,  5,  15, 5,  8,  11, 14, 14,
    6,  14, 6,  9,  12, 9,  12, 5,  15, 8,  8,  5,  12, 9,  12, 5,  14, 6,  8,  13, 6,  5,  15, 13, 11, 11};
constexpr uint32_t kRmdConstLeft[5] = {0x00000000u, 0x5a827999u, 0x6ed9eba1u, 0x8f1bbcdcu, 0xa953fd4eu};
constexpr uint32_t kRmdConstRight[5] = {0x50a28be6u, 0x5c4dd124u, 0x6d703ef3u, 0x7a6d76e9u, 0x00000000u};

inline uint32_t RmdF(int round, uint32_t x, uint32_t y, uint32_t z) {
  switch (round) {
    case 0:
      return x ^ y ^ z;
    case 1:
      return (x & y) | (~x & z);
    case 2:
      return (x | ~y) ^ z;
    case 3:
      return (x & z) | (y & ~z);
    default:
      return x ^ (y | ~z);
  }
}

}  // namespace

// ---- MD5 state ----------------------------------------------------------------------------------------

void Md5State::Init() {
  std::memcpy(h, kMdInitial, sizeof h);
  length_low = 0;
  length_high = 0;
  std::memset(block, 0, sizeof block);
  std::memset(digest, 0, sizeof digest);
}

void Md5State::Update(const uint8_t* data, uint32_t length) {
  if (length == 0) return;
  const uint32_t held = (length_low >> 3) & 63;
  const uint64_t bits = ((uint64_t{length_high} << 32) | length_low) + (uint64_t{length} << 3);
  length_low = static_cast<uint32_t>(bits);
  length_high = static_cast<uint32_t>(bits >> 32);
  internal::FeedBlocks<64>(block, held, data, length,
                                 [this](const uint8_t* p, size_t n) { Md5Blocks(h, p, n); });
}

const uint8_t* Md5State::Final() {
  static const uint8_t kPad[64] = {0x80};
  uint8_t bits[8];
  PutWords32LE(bits, &length_low, 4);
  PutWords32LE(bits + 4, &length_high, 4);
  const uint32_t held = (length_low >> 3) & 63;
  Update(kPad, held < 56 ? 56 - held : 120 - held);
  Update(bits, 8);
  PutWords32LE(digest, h, 16);
  digest[16] = 0;
  return digest;
}

// ---- MD4 state ----------------------------------------------------------------------------------------

void Md4State::Init() {
  std::memcpy(h, kMdInitial, sizeof h);
  std::memset(block, 0, sizeof block);
  held = 0;
  total = 0;
  std::memset(digest, 0, sizeof digest);
}

void Md4State::Update(const uint8_t* data, uint32_t length) {
  total += length;
  while (length > 0) {
    const uint32_t piece = length < 64 - held ? length : 64 - held;
    std::memcpy(block + held, data, piece);
    held += piece;
    data += piece;
    length -= piece;
    if (held == 64) {
      Md4Block(h, block);
      held = 0;
    }
  }
}

const uint8_t* Md4State::Final() {
  const uint64_t bits = total << 3;
  block[held++] = 0x80;
  if (held > 56) {
    std::memset(block + held, 0, 64 - held);
    Md4Block(h, block);
    held = 0;
  }
  std::memset(block + held, 0, 56 - held);
  internal::Store64LE(block + 56, bits);
  Md4Block(h, block);
  held = 0;
  PutWords32LE(digest, h, 16);
  digest[16] = 0;
  std::memset(h, 0, sizeof h);
  return digest;
}

// ---- MD2 state ----------------------------------------------------------------------------------------

void Md2State::Init() { std::memset(this, 0, sizeof *this); }

void Md2State::Transform(const uint8_t block16[16]) {
  // RFC 1319 3.3 (the checksum) and 3.4 (18 rounds over the 48-byte state).
  uint8_t last = checksum[15];
  for (int j = 0; j < 16; ++j) last = checksum[j] ^= kPiSubst[block16[j] ^ last];
  for (int j = 0; j < 16; ++j) {
    x[16 + j] = block16[j];
    x[32 + j] = static_cast<uint8_t>(x[16 + j] ^ x[j]);
  }
  uint8_t t = 0;
  for (int round = 0; round < 18; ++round) {
    for (int k = 0; k < 48; ++k) t = x[k] ^= kPiSubst[t];
    t = static_cast<uint8_t>(t + round);
  }
}

void Md2State::Update(const uint8_t* data, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    block[held++] = data[i];
    if (held == 16) {
      Transform(block);
      held = 0;
    }
  }
}

const uint8_t* Md2State::Final() {
  const uint8_t pad = static_cast<uint8_t>(16 - held);
  std::memset(block + held, pad, pad);
  Transform(block);
  held = 0;
  uint8_t sum[16];
  std::memcpy(sum, checksum, 16);
  Transform(sum);
  std::memcpy(digest, x, 16);
  digest[16] = 0;
  return digest;
}

// ---- RIPEMD-160 state ---------------------------------------------------------------------------------

void Ripemd160State::Init() {
  length_low = 0;
  length_high = 0;
  held = 0;
  std::memset(block, 0, sizeof block);
  std::memcpy(h, kMdInitial, sizeof h);
  std::memset(digest, 0, sizeof digest);
}

void Ripemd160State::Transform() {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Load32LE(block + 4 * i);
  uint32_t al = h[0], bl = h[1], cl = h[2], dl = h[3], el = h[4];
  uint32_t ar = al, br = bl, cr = cl, dr = dl, er = el;
  for (int j = 0; j < 80; ++j) {
    const int round = j / 16;
    uint32_t t = rotl(al + RmdF(round, bl, cl, dl) + x[kRmdOrderLeft[j]] + kRmdConstLeft[round], kRmdShiftLeft[j]) + el;
    al = el, el = dl, dl = rotl(cl, 10), cl = bl, bl = t;
    t = rotl(ar + RmdF(4 - round, br, cr, dr) + x[kRmdOrderRight[j]] + kRmdConstRight[round], kRmdShiftRight[j]) + er;
    ar = er, er = dr, dr = rotl(cr, 10), cr = br, br = t;
  }
  const uint32_t t = h[1] + cl + dr;
  h[1] = h[2] + dl + er;
  h[2] = h[3] + el + ar;
  h[3] = h[4] + al + br;
  h[4] = h[0] + bl + cr;
  h[0] = t;
}

void Ripemd160State::Update(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length == 0) return;
  const uint32_t old = length_low;
  length_low += length;
  if (length_low < old) ++length_high;
  while (length > 0) {
    const uint32_t piece = length < 64 - held ? length : 64 - held;
    std::memcpy(block + held, data, piece);
    held += piece;
    data += piece;
    length -= piece;
    if (held == 64) {
      Transform();
      held = 0;
    }
  }
}

const uint8_t* Ripemd160State::Final() {
  const uint32_t bits_low = length_low << 3;
  const uint32_t bits_high = (length_high << 3) | (length_low >> 29);
  block[held++] = 0x80;
  if (held > 56) {
    std::memset(block + held, 0, 64 - held);
    Transform();
    held = 0;
  }
  std::memset(block + held, 0, 56 - held);
  internal::Store32LE(block + 56, bits_low);
  internal::Store32LE(block + 60, bits_high);
  Transform();
  held = 0;
  PutWords32LE(digest, h, 20);
  digest[20] = 0;
  return digest;
}

// ---- MD5+SHA-1 pair -----------------------------------------------------------------------------------

void Md5Sha1State::Init() {
  md5.Init();
  sha1.Init();
  std::memset(digest, 0, sizeof digest);
}

void Md5Sha1State::Update(const uint8_t* data, uint32_t length) {
  md5.Update(data, length);
  (void)sha1.Update(data, length);
}

const uint8_t* Md5Sha1State::Final() {
  const uint8_t* sha1_digest = sha1.Final();
  if (sha1_digest == nullptr) return nullptr;
  std::memcpy(digest, md5.Final(), 16);
  std::memcpy(digest + 16, sha1_digest, 20);
  digest[36] = 0;
  return digest;
}

}  // namespace velmora::crypto
