// The published AES and Rijndael vectors through the cipher object on every entry path, the generated
// tables against their definition, and the name, id, size and default tables.
#include <gtest/gtest.h>

#include "tests/crypto/cipher/cipher_test_util.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using testing_support::ReadVectors;
using testing_support::VectorPath;

std::vector<size_t> EvenPieces(size_t length, size_t piece) {
  std::vector<size_t> pieces;
  for (size_t at = 0; at < length; at += piece) pieces.push_back(std::min(piece, length - at));
  return pieces;
}

TEST(CipherVectors, EveryEntryOnEveryPath) {
  const std::map<std::string, std::pair<int32_t, const char*>> modes = {
      {"ECB", {kModeEcb, ""}}, {"CBC", {kModeCbc, ""}}, {"CFB", {kModeCfb, ""}},
      {"CFB8", {kModeCfb, "FeedbackSize=8"}}, {"OFB", {kModeOfb, ""}}, {"CTR", {kModeCtr, ""}}};
  for (internal::AesPath path : AesPaths()) {
    AesPathScope scope(path);
    for (auto& entry : ReadVectors(VectorPath("aes.txt"), {"Mode", "BlockBits", "Key", "Iv", "Plaintext", "Ciphertext"})) {
      SCOPED_TRACE(entry.Origin() + " " + AesPathName(path));
      const auto [mode, options] = modes.at(entry.Get("Mode"));
      const std::string key = entry.Bytes("Key");
      const std::string iv = entry.Has("Iv") ? entry.Bytes("Iv") : "";
      const std::string plain = entry.Bytes("Plaintext");
      const std::string cipher = entry.Bytes("Ciphertext");
      std::vector<CipherConfig> configs;
      const std::string block_bits = entry.GetOr("BlockBits", "128");
      configs.push_back({kCipherRijndael, mode, kPaddingNone, "BlockSize=" + block_bits + "," + options});
      // Rijndael with 128-bit blocks is AES.
      if (block_bits == "128") configs.push_back({kCipherAes, mode, kPaddingNone, options});
      const size_t block = std::stoul(block_bits) / 8;
      const bool bytewise = mode == kModeCtr || std::string(options) == "FeedbackSize=8";
      for (const CipherConfig& config : configs) {
        EXPECT_EQ(ToHexString(RunCipher(config, key, iv, plain, false).out), ToHexString(cipher));
        EXPECT_EQ(RunCipher(config, key, iv, plain, false, EvenPieces(plain.size(), block)).out, cipher);
        EXPECT_EQ(RunCipher(config, key, iv, cipher, true).out, plain);
        EXPECT_EQ(RunCipher(config, key, iv, cipher, true, EvenPieces(plain.size(), block)).out, plain);
        if (bytewise) {
          EXPECT_EQ(RunCipher(config, key, iv, plain, false, EvenPieces(plain.size(), 1)).out, cipher);
          EXPECT_EQ(RunCipher(config, key, iv, cipher, true, EvenPieces(plain.size(), 1)).out, plain);
        }
      }
    }
  }
}

uint8_t Times(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  for (; b != 0; b >>= 1) {
    if ((b & 1) != 0) p ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1b : 0));
  }
  return p;
}

uint32_t Column(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

// The round tables are MixColumns and InvMixColumns of the S-box outputs, each a byte rotation of the
// first; the S-box itself is checked at the FIPS-197 examples and by being a permutation.
TEST(AesTables, FollowFromTheSbox) {
  const internal::AesTables& t = internal::AesTablesForTest();
  EXPECT_EQ(t.sbox[0x00], 0x63);
  EXPECT_EQ(t.sbox[0x53], 0xed);  // FIPS-197 5.1.1
  EXPECT_EQ(t.sbox[0xff], 0x16);
  for (int x = 0; x < 256; ++x) {
    ASSERT_EQ(t.inverse_sbox[t.sbox[x]], x);
    const uint8_t s = t.sbox[x];
    const uint8_t v = t.inverse_sbox[x];
    const uint32_t te = Column(Times(s, 2), s, s, Times(s, 3));
    const uint32_t td = Column(Times(v, 14), Times(v, 9), Times(v, 13), Times(v, 11));
    for (int k = 0; k < 4; ++k) {
      const int r = 8 * k;
      EXPECT_EQ(t.te[k][x], r == 0 ? te : (te >> r) | (te << (32 - r))) << x;
      EXPECT_EQ(t.td[k][x], r == 0 ? td : (td >> r) | (td << (32 - r))) << x;
    }
  }
}

TEST(CipherParams, NamesAndIds) {
  const std::pair<const char*, int32_t> names[] = {
      {"aes", 0},   {" AES-GCM ", 15}, {"Arcfour", 7},          {"aes128", kUnknownCipher}, {"3DES", 2},
      {"tripledes", 2}, {"des", 1},    {"cast128", 3},          {"CAST5", 3},  {"blocktea", 10},
      {"correctedblocktea", 11},       {"rijndael", 12},        {"aes-ocb", 16}, {"chacha20", 13},
      {"chacha20-poly1305", 17},       {"salsa20", 14},         {"", kUnknownCipher}, {"\taes", kUnknownCipher}};
  for (const auto& [name, id] : names) EXPECT_EQ(CipherNameToId(name), id) << name;
  EXPECT_EQ(CipherNameToId(nullptr), kUnknownCipher);
  for (int32_t id = 0; id < kCipherCount; ++id) EXPECT_EQ(CipherNameToId(CipherIdToName(id)), id);
  EXPECT_STREQ(CipherIdToName(18), "");
  EXPECT_STREQ(CipherIdToName(-1), "");
  const int32_t internal[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 16, 12, 17, 15};
  for (int32_t id = 0; id < kCipherCount; ++id) EXPECT_EQ(CipherEngineIdToInternalId(id), internal[id]) << id;
  EXPECT_EQ(CipherEngineIdToInternalId(18), -1);
}

struct SizeCase {
  int32_t id;
  char rule;  // 'k' key, 'b' block, 't' tag (id is then the mode)
  int32_t bits;
  int expected;
};

TEST(CipherParams, SizeRules) {
  const SizeCase cases[] = {
      {kCipherAes, 'k', 128, 0},       {kCipherAes, 'k', 192, 0},        {kCipherAes, 'k', 256, 0},
      {kCipherAes, 'k', 160, 2005},    {kCipherAes, 'k', 320, 2005},     {kCipherRijndael, 'k', 192, 0},
      {kCipherBlowfish, 'k', 33, 0},   {kCipherBlowfish, 'k', 449, 2005}, {kCipherCast5, 'k', 44, 2005},
      {kCipherCast5, 'k', 40, 0},      {kCipherSalsa20, 'k', 192, 2005}, {kCipherSalsa20, 'k', 128, 0},
      {kCipher3Des, 'k', 128, 0},      {kCipher3Des, 'k', 160, 2005},    {kCipherRc4, 'k', 2048, 0},
      {kCipherRc4, 'k', 2056, 2005},   {kCipherTwofish, 'k', 136, 0},    {kCipherIdea, 'k', 120, 2005},
      {18, 'k', 0, 0},                 {18, 'k', 128, 2005},
      {kCipherXxtea, 'b', 96, 0},      {kCipherXxtea, 'b', 80, 2006},    {kCipherRijndael, 'b', 192, 0},
      {kCipherRijndael, 'b', 160, 2006}, {kCipherAes, 'b', 192, 2006},   {kCipherDes, 'b', 64, 0},
      {kCipherRc4, 'b', 7, 0},         {kCipherAesGcm, 'b', 0, 0},       {kCipherAesGcm, 'b', 128, 2006},
      {kModeGcm, 't', 104, 0},         {kModeGcm, 't', 88, 2009},        {kModeGcmShortTag, 't', 8, 0},
      {kModeGcmShortTag, 't', 136, 2009}, {kModeCbc, 't', 0, 0},         {kModeCbc, 't', 96, 2009},
  };
  for (const SizeCase& c : cases) {
    const int got = c.rule == 'k' ? CheckKeySizeFor(c.id, c.bits)
                    : c.rule == 'b' ? CheckBlockSizeFor(c.id, c.bits) : CheckTagSizeFor(c.id, c.bits);
    EXPECT_EQ(got, c.expected) << c.id << " " << c.rule << " " << c.bits;
  }
}

TEST(CipherParams, SetAlgorithmDefaultsAndSetters) {
  InternalCipher cipher;
  cipher.SetMode(kModeEcb);
  cipher.SetPadding(kPaddingZeros);
  ASSERT_EQ(cipher.SetAlgorithm(kCipherRc4), 0);  // keeps mode and padding
  EXPECT_EQ(cipher.Mode(), kModeEcb);
  EXPECT_EQ(cipher.Padding(), kPaddingZeros);
  EXPECT_EQ(cipher.Stream(), 1);
  ASSERT_EQ(cipher.SetAlgorithm(kCipherSalsa20), 0);  // keeps the mode, sets no padding
  EXPECT_EQ(cipher.Mode(), kModeEcb);
  EXPECT_EQ(cipher.Padding(), kPaddingNone);
  EXPECT_EQ(cipher.BlockSize(), 512);
  ASSERT_EQ(cipher.SetAlgorithm(kCipherAesGcm), 0);
  EXPECT_EQ(cipher.Mode(), kModeGcm);
  EXPECT_EQ(cipher.TagBits(), 96);
  EXPECT_EQ(cipher.SetTagLength(104), 0);
  EXPECT_EQ(cipher.SetTagLength(88), kBadTagSize);
  EXPECT_EQ(cipher.TagBits(), 104);
  ASSERT_EQ(cipher.SetAlgorithm(kCipherTwofish), 0);
  EXPECT_EQ(cipher.Mode(), kModeCbc);
  EXPECT_EQ(cipher.KeyBits(), 256);
  EXPECT_EQ(cipher.FeedbackBits(), 128);
  EXPECT_EQ(cipher.Stream(), 0);
  ASSERT_EQ(cipher.SetAlgorithm(kCipherChaCha20Poly1305), 0);
  EXPECT_EQ(cipher.SetTagLength(7), 0);  // stored unchecked outside aes-gcm
  EXPECT_EQ(cipher.TagBits(), 7);
  EXPECT_EQ(cipher.SetAlgorithm(18), kUnknownCipher);
  EXPECT_EQ(cipher.Algorithm(), 18);
  EXPECT_EQ(cipher.Stream(), 0);
  ASSERT_EQ(cipher.SetAlgorithm(kCipherAes), 0);
  cipher.SetMode(kModeEcb);
  const std::string iv(16, 'i');
  EXPECT_EQ(cipher.SetIv(U8(iv), 7), 0);  // ECB ignores the IV
  EXPECT_TRUE(cipher.Iv().IsEmpty());
  cipher.SetMode(kModeCbc);
  EXPECT_EQ(cipher.SetIv(U8(iv), 7), kBadBlockSize);
  EXPECT_EQ(cipher.SetIv(U8(iv), 16), 0);
  EXPECT_EQ(cipher.SetKey(U8(iv), 10), kBadKeySize);
  EXPECT_TRUE(cipher.Key().IsEmpty());
  EXPECT_EQ(cipher.SetKeySize(200), kBadKeySize);
  EXPECT_EQ(cipher.SetKeySize(192), 0);
  EXPECT_EQ(cipher.KeyBits(), 192);
}

}  // namespace
}  // namespace velmora::crypto
