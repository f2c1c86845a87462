#include "crypto/cipher/blowfish.h"

#include <cstring>

#include "core/byte_order.h"
#include "platform/memory.h"

namespace velmora::crypto {

namespace {

// The text every bcrypt-pbkdf block encrypts (eight big-endian words).
constexpr char kBcryptText[] = "OxychromaticBlowfishSwatDynamite";
constexpr int32_t kBcryptWords = 8;
constexpr int32_t kBcryptRounds = 64;

// ExpandPairs re-encrypts the running pair into each pair of words of table; with a salt the next two
// salt words are mixed in before each encryption.
void ExpandPairs(uint32_t* table, int32_t count, const uint8_t* salt, int32_t salt_length, int32_t* salt_position,
                 const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2, const uint32_t* s3,
                 uint32_t& left, uint32_t& right) {
  for (int32_t i = 0; i < count; i += 2) {
    if (salt != nullptr) {
      uint32_t word = 0;
      StreamToWord(salt, salt_length, salt_position, &word);
      left ^= word;
      StreamToWord(salt, salt_length, salt_position, &word);
      right ^= word;
    }
    BlowfishEncryptWords(p, s0, s1, s2, s3, left, right);
    table[i] = left;
    table[i + 1] = right;
  }
}

}  // namespace

int BlowfishInitState(uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2, uint32_t* s3) {
  std::memcpy(p, kBlowfishInitP, sizeof kBlowfishInitP);
  std::memcpy(s0, kBlowfishInitS0, sizeof kBlowfishInitS0);
  std::memcpy(s1, kBlowfishInitS1, sizeof kBlowfishInitS1);
  std::memcpy(s2, kBlowfishInitS2, sizeof kBlowfishInitS2);
  std::memcpy(s3, kBlowfishInitS3, sizeof kBlowfishInitS3);
  return 0;
}

void BlowfishEncryptWords(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                          const uint32_t* s3, uint32_t& left, uint32_t& right) {
  uint32_t l = left ^ p[0];
  uint32_t r = right;
  for (int32_t i = 1; i <= kBlowfishRounds; i += 2) {
    r = BlowfishRoundF(p, s0, s1, s2, s3, r, l, i);
    l = BlowfishRoundF(p, s0, s1, s2, s3, l, r, i + 1);
  }
  r ^= p[kBlowfishRounds + 1];
  left = r;
  right = l;
}

int BlowfishEncryptBlock(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                         const uint32_t* s3, const uint8_t* in, uint8_t* out) {
  uint32_t left = core::ReadUInt32BE(in);
  uint32_t right = core::ReadUInt32BE(in + 4);
  BlowfishEncryptWords(p, s0, s1, s2, s3, left, right);
  core::PutUIntBigEndian(left, out, 0, 4);
  core::PutUIntBigEndian(right, out, 4, 4);
  return 0;
}

void BlowfishDecryptWords(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                          const uint32_t* s3, uint32_t& left, uint32_t& right) {
  uint32_t l = left ^ p[kBlowfishRounds + 1];
  uint32_t r = right;
  for (int32_t i = kBlowfishRounds; i >= 2; i -= 2) {
    r = BlowfishRoundF(p, s0, s1, s2, s3, r, l, i);
    l = BlowfishRoundF(p, s0, s1, s2, s3, l, r, i - 1);
  }
  r ^= p[0];
  left = r;
  right = l;
}

int BlowfishDecryptBlock(const uint32_t* p, const uint32_t* s0, const uint32_t* s1, const uint32_t* s2,
                         const uint32_t* s3, const uint8_t* in, uint8_t* out) {
  uint32_t left = core::ReadUInt32BE(in);
  uint32_t right = core::ReadUInt32BE(in + 4);
  BlowfishDecryptWords(p, s0, s1, s2, s3, left, right);
  core::PutUIntBigEndian(left, out, 0, 4);
  core::PutUIntBigEndian(right, out, 4, 4);
  return 0;
}

int StreamToWord(const uint8_t* data, int32_t length, int32_t* position, uint32_t* word) {
  int32_t j = *position;
  uint32_t value = 0;
  for (int32_t i = 0; i < 4; ++i) {
    if (j >= length) j = 0;
    value = (value << 8) | data[j++];
  }
  *position = j % length;
  *word = value;
  return 0;
}

int EksBlowfishExpandState(const uint8_t* key, int32_t key_length, const uint8_t* salt, int32_t salt_length,
                           uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2, uint32_t* s3) {
  int32_t position = 0;
  for (int32_t i = 0; i < kBlowfishPWords; ++i) {
    uint32_t word = 0;
    StreamToWord(key, key_length, &position, &word);
    p[i] ^= word;
  }
  if (salt_length == 0) salt = nullptr;
  position = 0;
  uint32_t left = 0;
  uint32_t right = 0;
  ExpandPairs(p, kBlowfishPWords, salt, salt_length, &position, p, s0, s1, s2, s3, left, right);
  for (uint32_t* box : {s0, s1, s2, s3}) {
    ExpandPairs(box, kBlowfishSWords, salt, salt_length, &position, p, s0, s1, s2, s3, left, right);
  }
  return 0;
}

int BlowfishSetKey(const uint8_t* key, int32_t key_length, uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2,
                   uint32_t* s3) {
  BlowfishInitState(p, s0, s1, s2, s3);
  return EksBlowfishExpandState(key, key_length, nullptr, 0, p, s0, s1, s2, s3);
}

int BcryptHash(uint32_t* p, uint32_t* s0, uint32_t* s1, uint32_t* s2, uint32_t* s3, const uint8_t* password_digest,
               int32_t password_length, const uint8_t* salt_digest, int32_t salt_length, core::BufferCore& out) {
  BlowfishInitState(p, s0, s1, s2, s3);
  EksBlowfishExpandState(password_digest, password_length, salt_digest, salt_length, p, s0, s1, s2, s3);
  for (int32_t round = 0; round < kBcryptRounds; ++round) {
    EksBlowfishExpandState(salt_digest, salt_length, nullptr, 0, p, s0, s1, s2, s3);
    EksBlowfishExpandState(password_digest, password_length, nullptr, 0, p, s0, s1, s2, s3);
  }
  uint32_t words[kBcryptWords];
  int32_t position = 0;
  for (uint32_t& word : words) {
    StreamToWord(reinterpret_cast<const uint8_t*>(kBcryptText), kBcryptHashSize, &position, &word);
  }
  for (int32_t round = 0; round < kBcryptRounds; ++round) {
    for (int32_t i = 0; i < kBcryptWords; i += 2) BlowfishEncryptWords(p, s0, s1, s2, s3, words[i], words[i + 1]);
  }
  uint8_t bytes[kBcryptHashSize];
  for (int32_t i = 0; i < kBcryptWords; ++i) core::PutUIntLittleEndian(words[i], bytes + 4 * i, 4);
  const int rc = out.SetData(kBcryptHashSize, bytes);
  platform::SecureZero(words, sizeof words);
  platform::SecureZero(bytes, sizeof bytes);
  return rc;
}

}  // namespace velmora::crypto
