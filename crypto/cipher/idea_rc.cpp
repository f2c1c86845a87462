// IDEA, RC2 and RC4.
#include "crypto/cipher/idea_rc.h"

#include <cstring>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

// ---- IDEA ---------------------------------------------------------------------------------------------

uint16_t IdeaMul(uint16_t a, uint16_t b) {
  // 0 becomes 65536 arithmetically: ((a - 1) mod 65536) + 1.
  const uint32_t x = ((static_cast<uint32_t>(a) - 1) & 0xFFFF) + 1;
  const uint32_t y = ((static_cast<uint32_t>(b) - 1) & 0xFFFF) + 1;
  const uint32_t p = x * y;  // modulo 2^32: 65536 x 65536 gives 0
  const uint32_t lo = p & 0xFFFF;
  const uint32_t hi = p >> 16;
  // lo - hi, plus 1 unless lo > hi, computed from the borrow rather than a branch.
  const uint32_t not_greater = ((lo - hi - 1) >> 31) & 1;
  return static_cast<uint16_t>(lo - hi + not_greater);
}

uint16_t IdeaMulInverse(uint16_t x) {
  if (x <= 1) return x;
  int32_t t0 = 0, t1 = 1;
  int32_t r0 = 65537, r1 = x;
  while (r1 != 0) {
    const int32_t q = r0 / r1;
    int32_t t = r0 - q * r1;
    r0 = r1;
    r1 = t;
    t = t0 - q * t1;
    t0 = t1;
    t1 = t;
  }
  if (t0 < 0) t0 += 65537;
  return static_cast<uint16_t>(t0);
}

int IdeaSetEncryptKey(const uint8_t* key, int32_t, uint16_t* z) {
  // Subkey n takes 16 bits of the key rotated left by 25 bits per group of eight.
  for (int n = 0; n < kIdeaSubkeys; ++n) {
    const int start = (25 * (n / 8) + 16 * (n % 8)) % 128;
    uint32_t v = 0;
    for (int bit = 0; bit < 16; ++bit) {
      const int at = (start + bit) % 128;
      v = (v << 1) | ((key[at / 8] >> (7 - at % 8)) & 1);
    }
    z[n] = static_cast<uint16_t>(v);
  }
  return 0;
}

int IdeaSetDecryptKey(const uint8_t* key, int32_t key_length, uint16_t* z) {
  uint16_t e[kIdeaSubkeys];
  IdeaSetEncryptKey(key, key_length, e);
  // With 1-based names: D1..D6 = E49^-1, -E50, -E51, E52^-1, E47, E48.
  z[0] = IdeaMulInverse(e[48]);
  z[1] = static_cast<uint16_t>(-e[49]);
  z[2] = static_cast<uint16_t>(-e[50]);
  z[3] = IdeaMulInverse(e[51]);
  z[4] = e[46];
  z[5] = e[47];
  for (int r = 2; r <= 8; ++r) {
    const int b = 6 * (9 - r);
    uint16_t* d = z + 6 * (r - 1);
    d[0] = IdeaMulInverse(e[b]);
    d[1] = static_cast<uint16_t>(-e[b + 2]);
    d[2] = static_cast<uint16_t>(-e[b + 1]);
    d[3] = IdeaMulInverse(e[b + 3]);
    d[4] = e[b - 2];
    d[5] = e[b - 1];
  }
  z[48] = IdeaMulInverse(e[0]);
  z[49] = static_cast<uint16_t>(-e[1]);
  z[50] = static_cast<uint16_t>(-e[2]);
  z[51] = IdeaMulInverse(e[3]);
  platform::SecureZero(e, sizeof e);
  return 0;
}

int IdeaCryptBlock(const uint16_t* z, const uint8_t* in, uint8_t* out) {
  auto word = [in](int i) { return static_cast<uint16_t>((in[2 * i] << 8) | in[2 * i + 1]); };
  uint16_t x1 = word(0), x2 = word(1), x3 = word(2), x4 = word(3);
  for (int round = 0; round < 8; ++round, z += 6) {
    x1 = IdeaMul(x1, z[0]);
    x2 = static_cast<uint16_t>(x2 + z[1]);
    x3 = static_cast<uint16_t>(x3 + z[2]);
    x4 = IdeaMul(x4, z[3]);
    uint16_t t = IdeaMul(x1 ^ x3, z[4]);
    const uint16_t u = IdeaMul(static_cast<uint16_t>((x2 ^ x4) + t), z[5]);
    t = static_cast<uint16_t>(t + u);
    x1 ^= u;
    x4 ^= t;
    const uint16_t middle = x2 ^ t;
    x2 = x3 ^ u;
    x3 = middle;
  }
  const uint16_t y[4] = {IdeaMul(x1, z[0]), static_cast<uint16_t>(x3 + z[1]), static_cast<uint16_t>(x2 + z[2]),
                         IdeaMul(x4, z[3])};
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<uint8_t>(y[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(y[i]);
  }
  return 0;
}

// ---- RC2 -----------------------------------------------------------------------------------------------------

// Copied from RFC 2268 section 2; the tests check that it is a permutation and run the RFC's vectors.
const uint8_t kRc2PiTable[256] = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad,
};

namespace {

constexpr int kRc2Rotation[4] = {1, 2, 3, 5};

inline uint32_t Rotl16(uint32_t x, int n) { return ((x << n) | (x >> (16 - n))) & 0xFFFF; }
inline uint32_t Rotr16(uint32_t x, int n) { return ((x >> n) | (x << (16 - n))) & 0xFFFF; }

void LoadRc2(const uint8_t* in, uint32_t* r) {
  for (int i = 0; i < 4; ++i) r[i] = in[2 * i] | (static_cast<uint32_t>(in[2 * i + 1]) << 8);
}

void StoreRc2(const uint32_t* r, uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<uint8_t>(r[i]);
    out[2 * i + 1] = static_cast<uint8_t>(r[i] >> 8);
  }
}

void MixRound(uint32_t* r, const uint32_t* k, int* j) {
  for (int i = 0; i < 4; ++i) {
    const uint32_t a = r[(i + 3) & 3], b = r[(i + 2) & 3], c = r[(i + 1) & 3];
    const uint32_t v = (r[i] + k[*j] + (a & b) + (~a & c)) & 0xFFFF;
    ++*j;
    r[i] = Rotl16(v, kRc2Rotation[i]);
  }
}

void MashRound(uint32_t* r, const uint32_t* k) {
  for (int i = 0; i < 4; ++i) r[i] = (r[i] + k[r[(i + 3) & 3] & 63]) & 0xFFFF;
}

void RMixRound(uint32_t* r, const uint32_t* k, int* j) {
  for (int i = 3; i >= 0; --i) {
    const uint32_t a = r[(i + 3) & 3], b = r[(i + 2) & 3], c = r[(i + 1) & 3];
    r[i] = (Rotr16(r[i], kRc2Rotation[i]) - k[*j] - (a & b) - (~a & c)) & 0xFFFF;
    --*j;
  }
}

void RMashRound(uint32_t* r, const uint32_t* k) {
  for (int i = 3; i >= 0; --i) r[i] = (r[i] - k[r[(i + 3) & 3] & 63]) & 0xFFFF;
}

}  // namespace

int Rc2SetKey(const uint8_t* key, int32_t key_length, uint32_t* k) {
  if (key_length < 1) return 1;
  const int t = key_length > 128 ? 128 : key_length;
  uint8_t l[128];
  std::memcpy(l, key, static_cast<size_t>(t));
  for (int i = t; i < 128; ++i) l[i] = kRc2PiTable[(l[i - 1] + l[i - t]) & 255];
  // Effective bits 8T: T8 = T and TM = 255.
  l[128 - t] = kRc2PiTable[l[128 - t]];
  for (int i = 127 - t; i >= 0; --i) l[i] = kRc2PiTable[l[i + 1] ^ l[i + t]];
  for (int i = 0; i < 64; ++i) k[i] = l[2 * i] | (static_cast<uint32_t>(l[2 * i + 1]) << 8);
  platform::SecureZero(l, sizeof l);
  return 0;
}

int Rc2EncryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k) {
  uint32_t r[4];
  LoadRc2(in, r);
  int j = 0;
  for (int n = 0; n < 5; ++n) MixRound(r, k, &j);
  MashRound(r, k);
  for (int n = 0; n < 6; ++n) MixRound(r, k, &j);
  MashRound(r, k);
  for (int n = 0; n < 5; ++n) MixRound(r, k, &j);
  StoreRc2(r, out);
  return 0;
}

int Rc2DecryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k) {
  uint32_t r[4];
  LoadRc2(in, r);
  int j = 63;
  for (int n = 0; n < 5; ++n) RMixRound(r, k, &j);
  RMashRound(r, k);
  for (int n = 0; n < 6; ++n) RMixRound(r, k, &j);
  RMashRound(r, k);
  for (int n = 0; n < 5; ++n) RMixRound(r, k, &j);
  StoreRc2(r, out);
  return 0;
}

// ---- RC4 -------------------------------------------------------------------------------------------------------

int Rc4SetKey(const uint8_t* key, int32_t key_length, uint32_t* s) {
  for (uint32_t k = 0; k < 256; ++k) s[k] = k;
  uint32_t j = 0;
  for (uint32_t k = 0; k < 256; ++k) {
    j = (j + s[k] + key[k % static_cast<uint32_t>(key_length)]) & 255;
    const uint32_t t = s[k];
    s[k] = s[j];
    s[j] = t;
  }
  return 0;
}

void Rc4Keystream(uint8_t* out, int64_t length, uint32_t* s, uint32_t* indices) {
  uint32_t i = indices[0], j = indices[1];
  for (int64_t n = 0; n < length; ++n) {
    i = (i + 1) & 255;
    const uint32_t si = s[i];
    j = (j + si) & 255;
    const uint32_t sj = s[j];
    s[i] = sj;
    s[j] = si;
    out[n] = static_cast<uint8_t>(s[(si + sj) & 255]);
  }
  indices[0] = i;
  indices[1] = j;
}

namespace {

inline uint32_t Rc4Next(uint32_t* s, uint32_t& i, uint32_t& j) {
  i = (i + 1) & 255;
  const uint32_t si = s[i];
  j = (j + si) & 255;
  const uint32_t sj = s[j];
  s[i] = sj;
  s[j] = si;
  return s[(si + sj) & 255];
}

}  // namespace

void Rc4Crypt(const uint8_t* in, int64_t length, uint8_t* out, uint32_t* s, uint32_t* indices) {
  // Eight keystream bytes are gathered in a register before any byte store, which the compiler would
  // otherwise have to assume may change the state; out may also be in.
  uint32_t i = indices[0], j = indices[1];
  int64_t n = 0;
  for (; n + 8 <= length; n += 8) {
    uint64_t k = 0;
    for (int b = 0; b < 8; ++b) k |= static_cast<uint64_t>(Rc4Next(s, i, j)) << (8 * b);
    core::StoreUInt64LE(out + n, core::ReadUInt64LE(in + n) ^ k);
  }
  for (; n < length; ++n) out[n] = static_cast<uint8_t>(in[n] ^ Rc4Next(s, i, j));
  indices[0] = i;
  indices[1] = j;
}

}  // namespace velmora::crypto
