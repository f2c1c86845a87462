// The cipher object's behaviour around the edges: padding rules and their faults, streams split inside
// a block, ciphertext stealing limits, Init failures, options, copying mid-stream, the FIPS allow-list
// and provider selection, the AES conveniences and the counter, doubling and padding helpers. Expected
// bytes come from OpenSSL's EVP ciphers or are composed from its single-block ECB.
#include <cstdlib>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "crypto/cipher/block_modes.h"
#include "crypto/mac/umac.h"
#include "crypto/objects/cipher_selection.h"
#include "tests/component/configurable.h"
#include "tests/crypto/cipher/cipher_test_util.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

const std::string kKey = "0123456789abcdef";
const std::string kIv = "fedcba9876543210";

std::string Ecb(const std::string& block) {
  bool ok = false;
  return EvpCrypt("AES-128-ECB", kKey, "", block, true, false, &ok);
}

std::string CbcNoPad(const std::string& data, bool encrypt) {
  bool ok = false;
  return EvpCrypt("AES-128-CBC", kKey, kIv, data, encrypt, false, &ok);
}

std::string Xor(const std::string& a, const std::string& b) {
  std::string out(a);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ b[i]);
  return out;
}

// Decrypting a crafted last block: the plaintext blocks are encrypted without padding by OpenSSL and
// decrypted by an object with update calls for all but the last block.
CipherRun DecryptCrafted(int32_t padding, const std::string& plain) {
  return RunCipher({kCipherAes, kModeCbc, padding, ""}, kKey, kIv, CbcNoPad(plain, true), true, {plain.size() - 16});
}

struct PadCase {
  int32_t padding;
  std::string last_block;  // the decrypted last block
  int expected;
  size_t kept;  // bytes of the last block left in the output
};

TEST(CipherPadding, RemovalTakesOneBlockAtMost) {
  const std::string b3 = std::string(13, 'x') + "\x01\x02\x03";
  const PadCase cases[] = {
      {kPaddingPkcs7, std::string(13, 'x') + std::string(3, '\x03'), 0, 13},
      {kPaddingPkcs7, b3, kBadPadding, 16},                                  // pad bytes differ
      {kPaddingPkcs7, std::string(15, 'x') + '\0', kBadPadding, 16},         // zero count
      {kPaddingPkcs7, std::string(15, 'x') + '\x50', kBadPadding, 16},       // would reach into earlier output
      {kPaddingPkcs7, std::string(16, '\x10'), 0, 0},
      {kPaddingZerosLength, b3, 0, 13},                                      // only the length byte counts
      {kPaddingRandomLength, std::string(15, 'x') + '\x11', kBadPadding, 16},
      {kPaddingRandomLength, std::string(15, 'x') + '\x90', kBadPadding, 16},  // negative as a signed byte
      {kPaddingZeros, std::string(16, '\0'), 0, 0},                          // the earlier zeros stay
      {kPaddingZeros, "abc" + std::string(13, '\0'), 0, 3},
      {kPaddingNone, std::string(16, '\0'), 0, 16},
  };
  for (const PadCase& c : cases) {
    const std::string plain = std::string(16, 'p') + std::string(16, '\0') + c.last_block;
    const CipherRun run = DecryptCrafted(c.padding, plain);
    EXPECT_EQ(run.rc, c.expected) << c.padding << " " << ToHexString(c.last_block);
    EXPECT_EQ(run.out, plain.substr(0, 32 + c.kept)) << c.padding << " " << ToHexString(c.last_block);
  }
}

TEST(CipherPadding, FivePaddingsRoundTripInBlockModes) {
  std::mt19937 rng(7);
  for (int32_t mode : {kModeEcb, kModeCbc, kModeCfb, kModeCtr}) {
    for (int32_t padding = kPaddingPkcs7; padding <= kPaddingRandomLength; ++padding) {
      for (size_t length = 0; length <= 33; ++length) {
        std::string plain = RandomBytes(rng, length);
        if (!plain.empty()) plain.back() = 'z';  // zero padding cannot tell trailing zeros from pad
        const CipherConfig config{kCipherAes, mode, padding, ""};
        const CipherRun enc = RunCipher(config, kKey, kIv, plain, false);
        ASSERT_EQ(enc.rc, 0);
        EXPECT_EQ(enc.out.size(), (length / 16 + 1) * 16) << mode << " " << padding << " " << length;
        EXPECT_EQ(RunCipher(config, kKey, kIv, enc.out, true).out, plain) << mode << " " << padding << " " << length;
      }
    }
  }
  // PKCS#7 in ECB and CBC is OpenSSL's padding.
  bool ok = false;
  const std::string sixteen(16, 's');
  EXPECT_EQ(RunCipher({kCipherAes, kModeCbc, kPaddingPkcs7, ""}, kKey, kIv, sixteen, false).out,
            EvpCrypt("AES-128-CBC", kKey, kIv, sixteen, true, true, &ok));
}

// The random-length padding draws its filler from the library's source: an application that seeded the
// runtime's rand() sees the same sequence after encrypting as without it.
TEST(CipherPadding, RandomFillerLeavesTheApplicationsRandAlone) {
  std::srand(2026);
  const int expected = std::rand();
  std::srand(2026);
  const CipherRun run = RunCipher({kCipherAes, kModeCbc, kPaddingRandomLength, ""}, kKey, kIv, "abc", false);
  ASSERT_EQ(run.rc, 0);
  EXPECT_EQ(std::rand(), expected);
}

TEST(CipherPadding, OfbNeverPadsAndWholeBlocksAreEnforced) {
  const std::string ten = "0123456789";
  const CipherRun ofb = RunCipher({kCipherAes, kModeOfb, kPaddingPkcs7, ""}, kKey, kIv, ten, false);
  EXPECT_EQ(ofb.out, RunCipher({kCipherAes, kModeOfb, kPaddingNone, ""}, kKey, kIv, ten, false).out);
  EXPECT_EQ(RunCipher({kCipherAes, kModeOfb, kPaddingPkcs7, ""}, kKey, kIv, ofb.out, true).out, ten);
  const std::string fifteen(15, 'f');
  for (int32_t mode : {kModeEcb, kModeCbc}) {
    const CipherRun run = RunCipher({kCipherAes, mode, kPaddingNone, ""}, kKey, kIv, fifteen, false);
    EXPECT_EQ(run.rc, kNotWholeBlocks);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(RunCipher({kCipherAes, mode, kPaddingPkcs7, ""}, kKey, kIv, fifteen, true).rc, kNotWholeBlocks);
  }
  for (int32_t mode : {kModeCfb, kModeCtr}) {
    EXPECT_EQ(RunCipher({kCipherAes, mode, kPaddingNone, ""}, kKey, kIv, fifteen, false).out.size(), 15u);
  }
  InternalCipher cipher;
  ASSERT_EQ(cipher.Init(kCipherAes, U8(kKey), 16, U8(kIv), 16, 0, kModeCbc, 0, nullptr), 0);
  core::Buffer out;
  int32_t length = 20;
  ASSERT_EQ(cipher.Encrypt(U8(std::string(20, 'a')), 0, &length, out, 0), 0);
  EXPECT_EQ(length, 16);
  EXPECT_EQ(out.Length(), 16);
}

// A CFB or OFB stream split inside a block starts a fresh keystream block at the next call: CFB from n
// ciphertext bytes followed by the unused keystream, OFB from the whole last keystream block.
TEST(CipherModes, FeedbackModesRestartTheBlockAfterASplit) {
  const std::string plain = "the first ten bytes then twenty-two more";
  const std::string first = plain.substr(0, 10);
  const std::string k1 = Ecb(kIv);
  const std::string c1 = Xor(first, k1);
  // CFB: register c1 || k1[10..16); then whole blocks follow from there.
  std::string reg = c1 + k1.substr(10);
  std::string expected_cfb = c1;
  for (size_t at = 10; at < plain.size(); at += 16) {
    const std::string k = Ecb(reg);
    const std::string piece = plain.substr(at, 16);
    const std::string c = Xor(piece, k);
    expected_cfb += c;
    reg = c + k.substr(c.size());
  }
  EXPECT_EQ(RunCipher({kCipherAes, kModeCfb, kPaddingNone, ""}, kKey, kIv, plain, false, {10}).out, expected_cfb);
  EXPECT_EQ(RunCipher({kCipherAes, kModeCfb, kPaddingNone, ""}, kKey, kIv, expected_cfb, true, {10}).out, plain);
  std::string k = k1;
  std::string expected_ofb = c1;
  for (size_t at = 10; at < plain.size(); at += 16) {
    k = Ecb(k);
    expected_ofb += Xor(plain.substr(at, 16), k);
  }
  EXPECT_EQ(RunCipher({kCipherAes, kModeOfb, kPaddingNone, ""}, kKey, kIv, plain, false, {10}).out, expected_ofb);
}

TEST(CipherModes, CiphertextStealingLimitsAndSwap) {
  const CipherConfig cts{kCipherAes, kModeCts, kPaddingNone, ""};
  EXPECT_EQ(RunCipher(cts, kKey, kIv, std::string(16, 'a'), false).rc, kCtsTooShort);
  EXPECT_EQ(RunCipher(cts, kKey, kIv, std::string(5, 'a'), true).rc, kCtsTooShort);
  const std::string two(32, 't');
  const std::string cbc = CbcNoPad(two, true);
  EXPECT_EQ(RunCipher(cts, kKey, kIv, two, false).out, cbc.substr(16) + cbc.substr(0, 16));
  InternalCipher cipher;
  ASSERT_EQ(cipher.Init(kCipherAes, U8(kKey), 16, U8(kIv), 16, 0, kModeCts, 0, nullptr), 0);
  core::Buffer out;
  int32_t length = 32;
  ASSERT_EQ(cipher.Encrypt(U8(two), 0, &length, out, 0), 0);
  EXPECT_EQ(out.Length(), 0);  // up to two blocks are held back
}

TEST(CipherObject, InitFailuresLeaveNoUsableKey) {
  InternalCipher cipher;
  EXPECT_EQ(cipher.Init(kCipherAes, U8(kKey), 16, U8(kIv), 15, 0, kModeCbc, 0, nullptr), kBadBlockSize);
  core::Buffer out;
  int32_t length = 16;
  EXPECT_EQ(cipher.Encrypt(U8(kKey), 0, &length, out, 1), kWrongPhase);
  EXPECT_EQ(cipher.Init(kCipherAes, U8(kKey), 15, nullptr, 0, 0, kModeEcb, 0, nullptr), kBadKeySize);
  EXPECT_EQ(cipher.Init(18, U8(kKey), 16, nullptr, 0, 0, kModeEcb, 0, nullptr), kUnknownCipher);
  EXPECT_EQ(cipher.Init(kCipherDes, U8(kKey), 7, nullptr, 0, 0, kModeEcb, 0, nullptr), kBadKeySize);
  EXPECT_EQ(cipher.Encrypt(U8(kKey), 0, &length, out, 1), kWrongPhase);
  EXPECT_EQ(cipher.Init(kCipherAes, U8(kKey), 16, U8(kIv), 16, 0, kModeGcmShortTag, 0, nullptr), 0);
  EXPECT_EQ(cipher.Encrypt(U8(kKey), 0, &length, out, 1), kModeNotSupported);
  EXPECT_TRUE(out.IsEmpty());
  {
    testing_support::FailingAllocations fail;
    InternalCipher starved;
    EXPECT_EQ(starved.Init(kCipherAes, U8(kKey), 16, nullptr, 0, 0, kModeEcb, 0, nullptr), core::kOutOfMemory);
  }
}

TEST(CipherObject, Options) {
  const std::string plain(32, 'o');
  const CipherRun plain_cfb = RunCipher({kCipherAes, kModeCfb, kPaddingNone, ""}, kKey, kIv, plain, false);
  const std::pair<const char*, int> cases[] = {
      {"SalsaRounds=16", kBadSalsaRounds}, {"SalsaRounds=12", 0}, {"BlockSize=256", kBadBlockSize},
      {"UseAESASM=1", 0}, {"FeedbackSize", 0}, {"FeedbackSize=8=8", 0}, {"Unknown=3,,", 0}};
  for (const auto& [options, code] : cases) {
    const CipherRun run = RunCipher({kCipherAes, kModeCfb, kPaddingNone, options}, kKey, kIv, plain, false);
    EXPECT_EQ(run.rc, code) << options;
    if (code == 0) {
      EXPECT_EQ(run.out, plain_cfb.out) << options;
    }
  }
  InternalCipher cipher;
  ASSERT_EQ(cipher.Init(kCipherAes, U8(kKey), 16, U8(kIv), 16, 0, kModeCfb, 0, "feedbacksize=8,TeaRounds=32"), 0);
  EXPECT_EQ(cipher.FeedbackBits(), 8);
  EXPECT_EQ(cipher.OptionValues().tea_rounds, 32);
}

TEST(CipherObject, CopiesContinueIndependently) {
  const std::string plain = "a counter-mode stream that is copied in the middle of a block";
  for (const CipherConfig& config : {CipherConfig{kCipherAes, kModeCtr, kPaddingNone, ""},
                                 CipherConfig{kCipherAes, kModeCts, kPaddingNone, ""}}) {
    const std::string expected = RunCipher(config, kKey, kIv, plain, false).out;
    InternalCipher original;
    ASSERT_EQ(original.Init(config.algorithm, U8(kKey), 16, U8(kIv), 16, 0, config.mode, 0, nullptr), 0);
    core::Buffer head;
    int32_t length = 21;
    ASSERT_EQ(original.Encrypt(U8(plain), 0, &length, head, 0), 0);
    const std::string rest = plain.substr(static_cast<size_t>(length));
    InternalCipher copy;
    ASSERT_EQ(copy.CopyFrom(original), 0);
    for (InternalCipher* cipher : {&original, &copy}) {
      core::Buffer tail;
      length = static_cast<int32_t>(rest.size());
      ASSERT_EQ(cipher->Encrypt(U8(rest), 0, &length, tail, 1), 0);
      EXPECT_EQ(Str(head) + Str(tail), expected) << config.mode;
    }
  }
}

TEST(CipherObject, UmacShellStartsWithItsSchedulesAndClearedBlocks) {
  Umac umac;
  EXPECT_NE(umac.PadKey().RoundKeys(), nullptr);
  EXPECT_NE(umac.HashKey().RoundKeys(), nullptr);
  EXPECT_EQ(umac.TagLength(), 16);
  const std::string zeros(16, '\0');
  for (const uint8_t* block : {umac.PadCache(), umac.NonceBlock(), umac.TagBlock()}) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), 16), zeros);
  }
  testing_support::FailingAllocations fail;
  Umac starved;
  EXPECT_EQ(starved.PadKey().RoundKeys(), nullptr);
}

class CipherProviders : public testing::Test {
 protected:
  void TearDown() override {
    for (const char* reset : {"UseFIPSCompliantAPI=false", "Allow3DESInFIPS=false", "UseInternalCryptoAPI=false"}) {
      EXPECT_EQ(settings_.Set(reset), 0);
    }
  }
  component::Configurable<component::ComponentBase> settings_;
};

TEST_F(CipherProviders, FipsAllowListAndSelection) {
  component::CryptoComponent component;
  EXPECT_EQ(SelectCipherProvider(component, 0, kProviderInternal), 0);
  EXPECT_NE(HeldCipher(component), nullptr);
  // Without IV and mode only a requirement moves a request to the platform's object.
  EXPECT_EQ(SelectCipherProvider(component, 0, kProviderDefault), 0);
  EXPECT_NE(dynamic_cast<InternalCipher*>(HeldCipher(component)), nullptr);
  EXPECT_EQ(SelectCipherProvider(component, 0, kProviderPlatform), 0);
  EXPECT_EQ(dynamic_cast<InternalCipher*>(HeldCipher(component)), nullptr);
  EXPECT_EQ(SelectCipherProvider(component, 12, kProviderDefault), 0);  // rijndael has no platform form
  EXPECT_EQ(SelectCipherProvider(component, 18, kProviderInternal), kUnknownCipher);
  core::Buffer out;
  ASSERT_EQ(DesEcbEncrypt(U8(kKey), U8(kKey), 16, out), 0);  // DES has no platform form
  EXPECT_EQ(Str(out), RunCipher({kCipherDes, kModeEcb, kPaddingNone, ""}, kKey.substr(0, 8),
                                "", kKey, false).out);
  {
    testing_support::FailingAllocations fail;
    EXPECT_EQ(SelectCipherProvider(component, 0, kProviderInternal), core::kOutOfMemory);
  }
  ASSERT_EQ(settings_.Set("UseFIPSCompliantAPI=true"), 0);
  for (int32_t id = 0; id < kCipherCount; ++id) EXPECT_EQ(IsCipherAllowedInFips(id), id == 0 || id == 15) << id;
  EXPECT_EQ(SelectCipherProvider(component, 1, kProviderInternal), kNotAllowedInFips);
  EXPECT_STREQ(component.LastErrorText().Data(), "The symmetrical algorithm des is not supported in FIPS mode.");
  EXPECT_EQ(SelectCipherProvider(component, 0, kProviderInternal), 0);
  EXPECT_EQ(dynamic_cast<InternalCipher*>(HeldCipher(component)), nullptr);
  ASSERT_EQ(settings_.Set("Allow3DESInFIPS=true"), 0);
  EXPECT_TRUE(IsCipherAllowedInFips(2));
  EXPECT_FALSE(IsCipherAllowedInFips(1));
}

TEST(AesConveniences, PaddedEcbAndCfbOverABuffer) {
  bool ok = false;
  for (size_t length : {0u, 15u, 16u, 33u}) {
    std::string data(length, 'e');
    data.resize(length + 16);
    auto length32 = static_cast<int32_t>(length);
    AesEcbEncryptPadded(reinterpret_cast<uint8_t*>(data.data()), &length32, U8(kKey), 128);
    const std::string expected = EvpCrypt("AES-128-ECB", kKey, "", std::string(length, 'e'), true, true, &ok);
    EXPECT_EQ(data.substr(0, static_cast<size_t>(length32)), expected);
    EXPECT_EQ(AesEcbDecryptPadded(reinterpret_cast<uint8_t*>(data.data()), &length32, U8(kKey), 128), 0);
    EXPECT_EQ(data.substr(0, static_cast<size_t>(length32)), std::string(length, 'e'));
  }
  // Bad lengths and pads: 2003 / 2004 and the length unchanged.
  const std::pair<std::string, int> bad[] = {{"", kNotWholeBlocks},
                                             {std::string(15, 'x'), kNotWholeBlocks},
                                             {std::string(15, 'x') + '\0', kBadPadding},
                                             {std::string(15, 'x') + '\x11', kBadPadding},
                                             {std::string(13, 'x') + "\x02\x03\x03", kBadPadding}};
  for (const auto& [plain, code] : bad) {
    std::string data = plain.size() % 16 == 0 && !plain.empty() ? Ecb(plain) : plain;
    auto length = static_cast<int32_t>(data.size());
    EXPECT_EQ(AesEcbDecryptPadded(reinterpret_cast<uint8_t*>(data.data()), &length, U8(kKey), 128), code);
    EXPECT_EQ(length, static_cast<int32_t>(plain.size()));
  }
  std::string twenty = "twenty bytes of data";
  const std::string expected = EvpCrypt("AES-128-CFB", kKey, kIv, twenty, true, false, &ok);
  AesCfbEncrypt(reinterpret_cast<uint8_t*>(twenty.data()), 20, U8(kKey), 128, U8(kIv));
  EXPECT_EQ(twenty, expected);
  AesCfbDecrypt(reinterpret_cast<uint8_t*>(twenty.data()), 20, U8(kKey), 128, U8(kIv));
  EXPECT_EQ(twenty, "twenty bytes of data");
}

TEST(BlockHelpers, CountersDoublingAndPadding) {
  uint8_t block[16];
  for (int i = 0; i < 16; ++i) block[i] = static_cast<uint8_t>(i < 12 ? 0xA0 + i : 0xFF);
  uint64_t budget = 1;
  EXPECT_EQ(IncrementCounterBlock32(block, &budget), 0);
  EXPECT_EQ(ToHexString(std::string(reinterpret_cast<char*>(block), 16)), "a0a1a2a3a4a5a6a7a8a9aaab00000000");
  EXPECT_EQ(IncrementCounterBlock32(block, &budget), kCounterBudgetExhausted);
  EXPECT_EQ(block[15], 0);
  const std::pair<std::string, std::string> counters[] = {
      {"00ff", "0100"}, {"ffff", "0000"}, {"00ffff", "010000"}, {"12", "13"}};
  for (const auto& [before, after] : counters) {
    std::string bytes = testing_support::FromHex(before);
    IncrementBigEndianCounter(reinterpret_cast<uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(ToHexString(bytes), after);
  }
  uint8_t big[16] = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  DoubleBigEndian(big);
  EXPECT_EQ(ToHexString(std::string(reinterpret_cast<char*>(big), 16)), "00000000000000000000000000000085");
  uint8_t little[16] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};
  DoubleLittleEndian(little);
  EXPECT_EQ(ToHexString(std::string(reinterpret_cast<char*>(little), 16)), "85000000000000000000000000000000");
  uint8_t pad[16] = {};
  FillPadding(pad, 1, kPaddingZerosLength);
  EXPECT_EQ(pad[0], 1);
  FillPadding(pad, 16, kPaddingPkcs7);
  EXPECT_EQ(ToHexString(std::string(reinterpret_cast<char*>(pad), 16)), "10101010101010101010101010101010");
  FinalBlockPad(pad, 3);
  EXPECT_EQ(ToHexString(std::string(reinterpret_cast<char*>(pad), 16)), "10101080000000000000000000000000");
}

}  // namespace
}  // namespace velmora::crypto
