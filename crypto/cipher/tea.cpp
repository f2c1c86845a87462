// TEA, XTEA and XXTEA.
#include "crypto/cipher/tea.h"

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

int ReadKeyWords(const uint8_t* key, uint32_t* key_words) {
  for (int i = 0; i < 4; ++i) key_words[i] = core::ReadUInt32BE(key + 4 * i);
  return 0;
}

inline void Store(uint8_t* out, uint32_t a, uint32_t b) {
  core::PutUIntBigEndian(a, out, 0, 4);
  core::PutUIntBigEndian(b, out, 4, 4);
}

inline uint32_t XteaMix(uint32_t v, int32_t variant) {
  return variant != 0 ? ((v << 4) ^ (v >> 5)) + v : (v << 4) ^ ((v >> 5) + v);
}

inline uint32_t Mx(uint32_t sum, uint32_t y, uint32_t z, uint32_t p, uint32_t e, const uint32_t* k) {
  return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
}

// XxteaRun loads the words into a heap copy, runs the rounds and writes them back.
int XxteaRun(const uint8_t* in, int32_t length, uint8_t* out, const uint32_t* k, bool encrypt) {
  if (length < 8) return 1;
  const uint32_t n = static_cast<uint32_t>(length) / 4;
  const size_t bytes = n * sizeof(uint32_t);
  auto* v = static_cast<uint32_t*>(platform::Alloc(bytes));
  if (v == nullptr) return -1;
  for (uint32_t i = 0; i < n; ++i) v[i] = core::ReadUInt32BE(in + 4 * i);
  const uint32_t q = 6 + 52 / n;
  if (encrypt) {
    uint32_t z = v[n - 1], sum = 0;
    for (uint32_t round = 0; round < q; ++round) {
      sum += kTeaDelta;
      const uint32_t e = (sum >> 2) & 3;
      uint32_t p = 0;
      for (; p < n - 1; ++p) {
        const uint32_t y = v[p + 1];
        v[p] += Mx(sum, y, z, p, e, k);
        z = v[p];
      }
      const uint32_t y = v[0];
      v[n - 1] += Mx(sum, y, z, p, e, k);
      z = v[n - 1];
    }
  } else {
    uint32_t sum = q * kTeaDelta, y = v[0];
    while (sum != 0) {
      const uint32_t e = (sum >> 2) & 3;
      uint32_t p = n - 1;
      for (; p > 0; --p) {
        const uint32_t z = v[p - 1];
        v[p] -= Mx(sum, y, z, p, e, k);
        y = v[p];
      }
      const uint32_t z = v[n - 1];
      v[0] -= Mx(sum, y, z, p, e, k);
      y = v[0];
      sum -= kTeaDelta;
    }
  }
  for (uint32_t i = 0; i < n; ++i) core::PutUIntBigEndian(v[i], out, static_cast<int32_t>(4 * i), 4);
  platform::SecureZero(v, bytes);
  platform::Free(v, bytes);
  return 0;
}

}  // namespace

int TeaSetKey(const uint8_t* key, int32_t, uint32_t* key_words) { return ReadKeyWords(key, key_words); }
int XteaSetKey(const uint8_t* key, int32_t, uint32_t* key_words) { return ReadKeyWords(key, key_words); }
int XxteaSetKey(const uint8_t* key, int32_t, uint32_t* key_words) { return ReadKeyWords(key, key_words); }

int TeaEncryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles) {
  uint32_t a = core::ReadUInt32BE(in), b = core::ReadUInt32BE(in + 4), sum = 0;
  for (int32_t c = 0; c < cycles; ++c) {
    sum += kTeaDelta;
    a += ((b << 4) + k[0]) ^ (b + sum) ^ ((b >> 5) + k[1]);
    b += ((a << 4) + k[2]) ^ (a + sum) ^ ((a >> 5) + k[3]);
  }
  Store(out, a, b);
  return 0;
}

int TeaDecryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles) {
  uint32_t a = core::ReadUInt32BE(in), b = core::ReadUInt32BE(in + 4);
  uint32_t sum = cycles > 0 ? static_cast<uint32_t>(cycles) * kTeaDelta : 0;
  for (int32_t c = 0; c < cycles; ++c) {
    b -= ((a << 4) + k[2]) ^ (a + sum) ^ ((a >> 5) + k[3]);
    a -= ((b << 4) + k[0]) ^ (b + sum) ^ ((b >> 5) + k[1]);
    sum -= kTeaDelta;
  }
  Store(out, a, b);
  return 0;
}

int XteaEncryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles, int32_t variant) {
  uint32_t a = core::ReadUInt32BE(in), b = core::ReadUInt32BE(in + 4), sum = 0;
  for (int32_t c = 0; c < cycles; ++c) {
    a += XteaMix(b, variant) ^ (sum + k[sum & 3]);
    sum += kTeaDelta;
    b += XteaMix(a, variant) ^ (sum + k[(sum >> 11) & 3]);
  }
  Store(out, a, b);
  return 0;
}

int XteaDecryptBlock(const uint8_t* in, uint8_t* out, const uint32_t* k, int32_t cycles, int32_t variant) {
  uint32_t a = core::ReadUInt32BE(in), b = core::ReadUInt32BE(in + 4);
  uint32_t sum = cycles > 0 ? static_cast<uint32_t>(cycles) * kTeaDelta : 0;
  for (int32_t c = 0; c < cycles; ++c) {
    b -= XteaMix(a, variant) ^ (sum + k[(sum >> 11) & 3]);
    sum -= kTeaDelta;
    a -= XteaMix(b, variant) ^ (sum + k[sum & 3]);
  }
  Store(out, a, b);
  return 0;
}

int XxteaEncrypt(const uint8_t* in, int32_t length, uint8_t* out, const uint32_t* k) {
  return XxteaRun(in, length, out, k, true);
}

int XxteaDecrypt(const uint8_t* in, int32_t length, uint8_t* out, const uint32_t* k) {
  return XxteaRun(in, length, out, k, false);
}

}  // namespace velmora::crypto
