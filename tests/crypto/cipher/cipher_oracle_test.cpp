// Differential runs of the AES and Rijndael cores and of the cipher object's modes against OpenSSL's
// EVP ciphers (and libmcrypt for Rijndael with 192- and 256-bit blocks), on random keys, IVs and data
// from a printed seed (VELMORA_CIPHER_SEED replaces it, VELMORA_CIPHER_CASES the case count). Each
// run covers the AES instructions and the table path.
#include <cstdlib>
#include <iostream>
#include <random>

#include <gtest/gtest.h>

#include "tests/crypto/cipher/cipher_test_util.h"

#ifndef VELMORA_HAVE_MCRYPT
#define VELMORA_HAVE_MCRYPT 0
#endif
#if VELMORA_HAVE_MCRYPT
#include <mcrypt.h>
#endif

namespace velmora::crypto {
namespace {

uint32_t Seed() {
  const char* text = getenv("VELMORA_CIPHER_SEED");
  const uint32_t seed = text != nullptr ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : 20261207u;
  std::cout << "cipher seed " << seed << "\n";
  return seed;
}

int Cases(int fallback) {
  const char* text = getenv("VELMORA_CIPHER_CASES");
  return text != nullptr ? atoi(text) : fallback;
}

std::string EvpName(size_t key_bytes, const char* mode) {
  return "AES-" + std::to_string(key_bytes * 8) + "-" + mode;
}

TEST(AesOracle, EcbBlocksEqualOpenSslOnBothPaths) {
  std::mt19937 rng(Seed());
  for (internal::AesPath path : AesPaths()) {
    AesPathScope scope(path);
    SCOPED_TRACE(AesPathName(path));
    for (size_t key_bytes : {16u, 24u, 32u}) {
      const std::string key = RandomBytes(rng, key_bytes);
      const std::string plain = RandomBytes(rng, 16 * 10000);
      bool ok = false;
      const std::string expected = EvpCrypt(EvpName(key_bytes, "ECB").c_str(), key, "", plain, true, false, &ok);
      ASSERT_TRUE(ok);
      uint32_t enc[kRoundKeyWords], dec[kRoundKeyWords];
      const int32_t rounds = AesSetEncryptKey(enc, U8(key), static_cast<int32_t>(key_bytes * 8));
      ASSERT_EQ(AesSetDecryptKey(dec, U8(key), static_cast<int32_t>(key_bytes * 8)), rounds);
      std::string cipher(plain.size(), '\0');
      auto* c = reinterpret_cast<uint8_t*>(cipher.data());
      AesEncryptBlocks(enc, rounds, U8(plain), c, 10000);
      EXPECT_EQ(cipher, expected) << key_bytes;
      for (size_t i = 0; i < 100; ++i) AesEncryptBlock(enc, rounds, U8(plain) + 16 * i, c + 16 * i);
      EXPECT_EQ(cipher, expected) << key_bytes;
      AesDecryptBlocks(dec, rounds, c, c, 10000);
      EXPECT_EQ(cipher, plain) << key_bytes;
      uint8_t block[16];
      AesDecryptBlock(dec, rounds, U8(expected), block);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), plain.substr(0, 16));
    }
  }
}

TEST(AesOracle, RijndaelWideBlocksEqualMcrypt) {
#if !VELMORA_HAVE_MCRYPT
  GTEST_SKIP() << "libmcrypt is not available: Rijndael comparison skipped";
#else
  std::mt19937 rng(Seed());
  for (int32_t block_bytes : {16, 24, 32}) {
    for (int32_t key_bytes : {16, 24, 32}) {
      for (int i = 0; i < 40; ++i) {
        std::string key = RandomBytes(rng, static_cast<size_t>(key_bytes));
        const std::string plain = RandomBytes(rng, static_cast<size_t>(block_bytes) * 4);
        std::string expected = plain;
        if (block_bytes == 16) {
          bool ok = false;
          expected = EvpCrypt(EvpName(static_cast<size_t>(key_bytes), "ECB").c_str(), key, "", plain, true, false, &ok);
        } else {
          std::string name = "rijndael-" + std::to_string(block_bytes * 8);
          MCRYPT td = mcrypt_module_open(name.data(), nullptr, const_cast<char*>("ecb"), nullptr);
          ASSERT_TRUE(td != MCRYPT_FAILED);
          ASSERT_EQ(mcrypt_generic_init(td, key.data(), key_bytes, nullptr), 0);
          ASSERT_EQ(mcrypt_generic(td, expected.data(), static_cast<int>(expected.size())), 0);
          mcrypt_generic_deinit(td);
          mcrypt_module_close(td);
        }
        const std::string options = "BlockSize=" + std::to_string(block_bytes * 8);
        const CipherConfig config{kCipherRijndael, kModeEcb, kPaddingNone, options};
        const CipherRun enc = RunCipher(config, key, "", plain, false);
        ASSERT_EQ(enc.rc, 0);
        EXPECT_EQ(ToHexString(enc.out), ToHexString(expected)) << block_bytes << "/" << key_bytes;
        const CipherRun dec = RunCipher(config, key, "", enc.out, true);
        EXPECT_EQ(dec.out, plain);
      }
    }
  }
#endif
}

// Ofb8Reference is OFB with 8-bit feedback composed over single ECB blocks.
std::string Ofb8Reference(const std::string& key, std::string reg, const std::string& data) {
  std::string out;
  for (char byte : data) {
    bool ok = false;
    const std::string k = EvpCrypt(EvpName(key.size(), "ECB").c_str(), key, "", reg, true, false, &ok);
    out += static_cast<char>(byte ^ k[0]);
    reg = reg.substr(1) + k[0];
  }
  return out;
}

struct ModeCase {
  int32_t mode;
  const char* evp;  // null: composed reference
  bool whole_blocks;
  const char* options;
};

constexpr ModeCase kModes[] = {
    {kModeEcb, "ECB", true, ""},        {kModeCbc, "CBC", true, ""},   {kModeCfb, "CFB", false, ""},
    {kModeCfb, "CFB8", false, "FeedbackSize=8"}, {kModeOfb, "OFB", false, ""}, {kModeCtr, "CTR", false, ""},
    {kModeOfb, nullptr, false, "FeedbackSize=8"},
};

// BlockSplits cuts length into pieces at block boundaries (any boundary when any is set).
std::vector<size_t> RandomSplits(std::mt19937& rng, size_t length, bool any) {
  std::vector<size_t> pieces;
  for (size_t done = 0; done < length;) {
    size_t piece = any ? rng() % 40 : 16 * (rng() % 4);
    piece = std::min(piece, length - done);
    pieces.push_back(piece);
    done += piece;
  }
  return pieces;
}

TEST(CipherOracle, ModesEqualOpenSslOneShotAndSplit) {
  std::mt19937 rng(Seed());
  const std::vector<internal::AesPath> paths = AesPaths();
  const size_t lengths[] = {0, 1, 15, 16, 17};
  const int count = Cases(1000);
  for (int i = 0; i < count; ++i) {
    AesPathScope scope(paths[static_cast<size_t>(i) % paths.size()]);
    const ModeCase& mode = kModes[rng() % std::size(kModes)];
    const size_t key_bytes = 16 + 8 * (rng() % 3);
    size_t length = i < 5 * 7 ? lengths[i % 5] : rng() % 300;
    const bool pkcs7 = mode.whole_blocks && rng() % 2 == 0;
    if (mode.whole_blocks && !pkcs7) length -= length % 16;
    const std::string key = RandomBytes(rng, key_bytes);
    const std::string iv = mode.mode == kModeEcb ? "" : RandomBytes(rng, 16);
    const std::string plain = RandomBytes(rng, length);
    SCOPED_TRACE("case " + std::to_string(i) + " mode " + std::to_string(mode.mode) + " " + mode.options +
                 " length " + std::to_string(length) + (pkcs7 ? " pkcs7" : ""));
    std::string expected;
    bool ok = true;
    if (mode.evp != nullptr) {
      expected = EvpCrypt(EvpName(key_bytes, mode.evp).c_str(), key, iv, plain, true, pkcs7, &ok);
    } else {
      expected = Ofb8Reference(key, iv, plain);
    }
    ASSERT_TRUE(ok);
    const CipherConfig config{kCipherAes, mode.mode, pkcs7 ? kPaddingPkcs7 : kPaddingNone, mode.options};
    const CipherRun enc = RunCipher(config, key, iv, plain, false);
    ASSERT_EQ(enc.rc, 0);
    ASSERT_EQ(ToHexString(enc.out), ToHexString(expected));
    const CipherRun dec = RunCipher(config, key, iv, enc.out, true);
    ASSERT_EQ(dec.rc, 0);
    ASSERT_EQ(dec.out, plain);
    // Pieces at block boundaries give the one-shot output in every mode; CTR takes any split.
    const bool any = mode.mode == kModeCtr;
    EXPECT_EQ(RunCipher(config, key, iv, plain, false, RandomSplits(rng, length, any)).out, expected);
    EXPECT_EQ(RunCipher(config, key, iv, expected, true, RandomSplits(rng, length, any)).out, plain);
  }
}

// The bulk routines run batches of eight or sixteen blocks and step the counter in vector lanes while
// its low half cannot wrap: lengths around the batch sizes, counters just below a carry out of the low
// half and out of all 128 bits, and CBC decryption in place, on every path against OpenSSL.
TEST(AesOracle, BulkCtrAndCbcDecryptEqualOpenSslAcrossBatchesAndCarries) {
  std::mt19937 rng(Seed());
  const size_t block_counts[] = {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 70};
  for (internal::AesPath path : AesPaths()) {
    AesPathScope scope(path);
    for (size_t blocks : block_counts) {
      for (int carry = 0; carry < 4; ++carry) {
        SCOPED_TRACE(std::string(AesPathName(path)) + " blocks " + std::to_string(blocks) + " carry " +
                     std::to_string(carry));
        const std::string key = RandomBytes(rng, 16 + 8 * (rng() % 3));
        std::string iv = RandomBytes(rng, 16);
        // 1: low half 2^64 - k with k below the block count; 2: all ones apart from the last byte;
        // 3: the low half just past a batch boundary from its wrap.
        if (carry == 1) iv.replace(8, 8, std::string(7, '\xff') + static_cast<char>(0xff - rng() % blocks));
        if (carry == 2) iv = std::string(15, '\xff') + static_cast<char>(0xff - rng() % blocks);
        if (carry == 3) iv.replace(8, 8, std::string(7, '\xff') + static_cast<char>(0xff - 16 - rng() % 8));
        const std::string plain = RandomBytes(rng, 16 * blocks + rng() % 16);
        bool ok = false;
        const std::string ctr = EvpCrypt(EvpName(key.size(), "CTR").c_str(), key, iv, plain, true, false, &ok);
        ASSERT_TRUE(ok);
        const CipherConfig config{kCipherAes, kModeCtr, kPaddingNone, ""};
        EXPECT_EQ(ToHexString(RunCipher(config, key, iv, plain, false).out), ToHexString(ctr));
        EXPECT_EQ(RunCipher(config, key, iv, plain, false, RandomSplits(rng, plain.size(), true)).out, ctr);

        const std::string whole = plain.substr(0, 16 * blocks);
        const std::string cbc = EvpCrypt(EvpName(key.size(), "CBC").c_str(), key, iv, whole, true, false, &ok);
        ASSERT_TRUE(ok);
        uint32_t dec[kRoundKeyWords];
        const int32_t rounds = AesSetDecryptKey(dec, U8(key), static_cast<int32_t>(key.size() * 8));
        std::string data = cbc;
        std::string chain = iv;
        auto* bytes = reinterpret_cast<uint8_t*>(data.data());
        AesCbcDecryptBlocks(dec, rounds, reinterpret_cast<uint8_t*>(chain.data()), bytes, bytes, blocks);
        EXPECT_EQ(ToHexString(data), ToHexString(whole));
        EXPECT_EQ(chain, cbc.substr(cbc.size() - 16));
      }
    }
  }
}

TEST(CipherOracle, CiphertextStealingEqualsOpenSslCs3) {
  std::mt19937 rng(Seed());
  for (size_t length = 17; length <= 300; ++length) {
    const size_t key_bytes = 16 + 8 * (length % 3);
    const std::string key = RandomBytes(rng, key_bytes);
    const std::string iv = RandomBytes(rng, 16);
    const std::string plain = RandomBytes(rng, length);
    bool ok = false;
    const std::string expected = EvpCrypt(EvpName(key_bytes, "CBC-CTS").c_str(), key, iv, plain, true, false, &ok, "CS3");
    ASSERT_TRUE(ok) << "OpenSSL refused CBC-CTS";
    const CipherConfig config{kCipherAes, kModeCts, kPaddingNone, ""};
    const CipherRun enc = RunCipher(config, key, iv, plain, false, RandomSplits(rng, length, false));
    ASSERT_EQ(enc.rc, 0) << length;
    EXPECT_EQ(ToHexString(enc.out), ToHexString(expected)) << length;
    const CipherRun dec = RunCipher(config, key, iv, expected, true);
    EXPECT_EQ(dec.out, plain) << length;
  }
}

}  // namespace
}  // namespace velmora::crypto
