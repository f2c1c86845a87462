// CngCipher against the library's own InternalCipher (and OpenSSL for 64-byte XTS keys) on random cases,
// the differences callers are told about, its refusals, and the handles it leaves behind.
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/providers/bcrypt_cipher_functions.h"
#include "crypto/providers/cng_cipher.h"
#include "crypto/cipher/block_modes.h"
#include "platform/modules.h"
#include "tests/crypto/cipher/cipher_test_util.h"
#include "tests/test_support.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"
#endif

namespace velmora::crypto {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO
// Message is one message's configuration for both objects.
struct Message {
  int32_t engine = kEngineCipherAes;
  int32_t internal = kCipherAes;
  int32_t mode = kModeCbc;
  int32_t padding = kPaddingNone;
  std::string options;
  std::string key;
  std::string iv;
  std::string aad;
  int32_t tag_bytes = 0;  // nonzero: AEAD slots
};

Message Plain(int32_t engine, int32_t internal, int32_t mode, int32_t padding, const char* options, std::string key,
              std::string iv) {
  Message m;
  m.engine = engine;
  m.internal = internal;
  m.mode = mode;
  m.padding = padding;
  m.options = options;
  m.key = std::move(key);
  m.iv = std::move(iv);
  return m;
}

CipherRun Run(CipherObject& cipher, int32_t id, const Message& s, const std::string& data, bool decrypt,
              const std::vector<size_t>& pieces = {}) {
  CipherRun run;
  run.rc = cipher.Init(id, U8(s.key), static_cast<int32_t>(s.key.size()), U8(s.iv), static_cast<int32_t>(s.iv.size()),
                       decrypt ? 1 : 0, s.mode, s.padding, s.options.empty() ? nullptr : s.options.c_str());
  if (run.rc == 0 && s.tag_bytes != 0) {
    run.rc = cipher.ReInitAead(U8(s.iv), static_cast<int32_t>(s.iv.size()), s.tag_bytes, U8(s.aad),
                               static_cast<int32_t>(s.aad.size()), 0);
  }
  if (run.rc != 0) return run;
  core::Buffer out;
  run.rc = FeedInPieces(data, pieces, [&](const uint8_t* in, int32_t* length, int final) {
    if (s.tag_bytes != 0) {
      return decrypt ? cipher.DecryptAead(in, 0, length, out, final) : cipher.EncryptAead(in, 0, length, out, final);
    }
    return decrypt ? cipher.Decrypt(in, 0, length, out, final) : cipher.Encrypt(in, 0, length, out, final);
  });
  run.out = Str(out);
  return run;
}

CipherRun RunCng(const Message& s, const std::string& data, bool decrypt, const std::vector<size_t>& pieces = {}) {
  CngCipher cipher;
  return Run(cipher, s.engine, s, data, decrypt, pieces);
}

CipherRun RunInternal(const Message& s, const std::string& data, bool decrypt) {
  InternalCipher cipher;
  return Run(cipher, s.internal, s, data, decrypt);
}

// Pieces cuts total bytes at random multiples of unit (the last piece goes to the final call).
std::vector<size_t> Pieces(std::mt19937& rng, size_t total, size_t unit) {
  std::vector<size_t> pieces;
  size_t left = total / unit;
  while (left > 0 && rng() % 4 != 0) {
    const size_t take = rng() % (left + 1);
    pieces.push_back(take * unit);
    left -= take;
  }
  return pieces;
}

// Loaded loads the BCrypt functions for a test and checks on the way out that no handle stayed open.
class CngCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadBcryptCipherFunctions();
    ASSERT_NE(BcryptCipherTable().encrypt, nullptr);
  }
  void TearDown() override {
    FreeBcryptCipherFunctions();
    platform::test::SetXtsAesMissing(false);
    platform::test::SetLargeKeyObjects(false);
    platform::test::SetFullBlockCfbRefused(false);
    EXPECT_EQ(platform::test::LiveCryptoHandles(), 0);
  }
};

uint32_t CaseSeed() {
  const char* seed = std::getenv("VELMORABLE_FUZZ_SEED");
  return seed != nullptr ? static_cast<uint32_t>(std::strtoul(seed, nullptr, 0)) : 0x5EED2026u;
}

// RandomSetup draws one configuration and a message length that the configuration accepts.
Message RandomSetup(std::mt19937& rng, size_t* length, size_t* unit, bool xts_native) {
  Message s;
  const int kind = static_cast<int>(rng() % 13);
  auto pick_length = [&](size_t block, size_t step) {
    const size_t choices[] = {0, 1, block - 1, block, block + 1, rng() % 300};
    size_t n = choices[rng() % 6];
    *length = n - n % step;
  };
  if (kind < 10) {
    const bool des = kind >= 5;
    s.engine = des ? kEngineCipher3Des : kEngineCipherAes;
    s.internal = des ? kCipher3Des : kCipherAes;
    const size_t block = des ? 8 : 16;
    const size_t key_lengths[2][3] = {{16, 24, 32}, {16, 24, 24}};
    s.key = RandomBytes(rng, key_lengths[des ? 1 : 0][rng() % 3]);
    s.iv = RandomBytes(rng, block);
    const int32_t modes[] = {kModeCbc, kModeEcb, kModeCfb, kModeCfb, kModeCtr};
    s.mode = modes[kind % 5];
    const bool cfb8 = kind % 5 == 3;
    if (cfb8) s.options = "feedbacksize=8";
    const bool stream = s.mode == kModeCtr || cfb8;
    // Block modes take whole blocks without padding, or any length with PKCS#7, zeros-and-length or
    // random-and-length (compared by round trip).
    s.padding = stream || rng() % 2 == 0 ? kPaddingNone : std::vector<int32_t>{2, 4, 5}[rng() % 3];
    const bool any_length = stream || s.padding != kPaddingNone || s.mode == kModeCfb;
    pick_length(block, any_length ? 1 : block);
    *unit = stream ? 1 : block;
  } else if (kind < 12) {
    s.engine = kEngineCipherAesGcm;
    s.internal = kCipherAesGcm;
    s.mode = 0;
    s.key = RandomBytes(rng, 16 + 8 * (rng() % 3));
    s.iv = RandomBytes(rng, 12);
    s.aad = RandomBytes(rng, rng() % 40);
    s.tag_bytes = static_cast<int32_t>(12 + rng() % 5);
    pick_length(16, 1);
    *unit = 1;
  } else {
    s.mode = kModeXts;
    s.key = RandomBytes(rng, 32);
    const int32_t unit_length = rng() % 3 == 0 ? 512 : static_cast<int32_t>(16 * (2 + rng() % 3));
    if (unit_length != 512 || rng() % 2 == 0) {
      s.options = "AESXTSInitialTweak=" + std::to_string(rng() % 100000) +
                  ",AESXTSDataUnitLength=" + std::to_string(unit_length);
    }
    // The platform's own XTS starts a unit with every call: the last unit of a call is either whole or
    // long enough to steal from.
    size_t n = 16 + rng() % 200;
    if (xts_native && n % unit_length != 0 && n % unit_length < 16) n += 16;
    *length = n;
    *unit = xts_native ? static_cast<size_t>(unit_length) : 16;
  }
  return s;
}

std::string Describe(const Message& s, size_t length) {
  return "engine " + std::to_string(s.engine) + " mode " + std::to_string(s.mode) + " padding " +
         std::to_string(s.padding) + " key " + std::to_string(s.key.size()) + " options '" + s.options +
         "' length " + std::to_string(length);
}

TEST_F(CngCipherTest, MatchesInternalCipherOnRandomCases) {
  const uint32_t seed = CaseSeed();
  std::printf("seed %#x (VELMORABLE_FUZZ_SEED replays)\n", seed);
  std::mt19937 rng(seed);
  for (int i = 0; i < 1000; ++i) {
    const bool native = i % 2 == 0;
    platform::test::SetXtsAesMissing(!native);
    size_t length = 0;
    size_t unit = 1;
    const Message s = RandomSetup(rng, &length, &unit, native);
    const std::string data = RandomBytes(rng, length);
    SCOPED_TRACE(Describe(s, length) + (native ? " native" : " fallback"));
    const CipherRun expected = RunInternal(s, data, false);
    ASSERT_EQ(expected.rc, 0);
    const CipherRun whole = RunCng(s, data, false);
    // XTS steals from the last whole block, which must come with the final piece.
    const size_t held = s.mode == kModeXts ? 16 : 0;
    const CipherRun split = RunCng(s, data, false, Pieces(rng, length - held, unit));
    ASSERT_EQ(whole.rc, 0);
    ASSERT_EQ(split.rc, 0);
    if (s.padding == kPaddingRandomLength) {
      // The pad bytes are random: compared by length and by the internal object's decryption.
      ASSERT_EQ(whole.out.size(), expected.out.size());
      ASSERT_EQ(split.out.size(), expected.out.size());
      ASSERT_EQ(RunInternal(s, whole.out, true).out, data);
      ASSERT_EQ(RunInternal(s, split.out, true).out, data);
    } else {
      ASSERT_EQ(ToHexString(split.out), ToHexString(expected.out));
      ASSERT_EQ(ToHexString(whole.out), ToHexString(expected.out));
    }
    const size_t back_unit = s.padding != kPaddingNone ? (s.engine == kEngineCipher3Des ? 8 : 16) : unit;
    // The final piece of an AEAD decryption carries the whole tag.
    const size_t body = whole.out.size() - static_cast<size_t>(s.tag_bytes) - held;
    const CipherRun back = RunCng(s, whole.out, true, Pieces(rng, body, back_unit));
    ASSERT_EQ(back.rc, 0);
    ASSERT_EQ(back.out, data);
  }
}

TEST_F(CngCipherTest, LongXtsKeysMatchOpenSsl) {
  std::mt19937 rng(CaseSeed());
  for (bool native : {true, false}) {
    platform::test::SetXtsAesMissing(!native);
    for (size_t length : {16, 17, 100, 512}) {
      Message s;
      s.mode = kModeXts;
      s.key = RandomBytes(rng, 64);
      const uint32_t unit = rng() % 1000;
      s.options = "AESXTSInitialTweak=" + std::to_string(unit);
      const std::string data = RandomBytes(rng, length);
      std::string tweak(16, '\0');
      for (int i = 0; i < 4; ++i) tweak[static_cast<size_t>(i)] = static_cast<char>(unit >> (8 * i));
      bool ok = false;
      const std::string expected = EvpCrypt("AES-256-XTS", s.key, tweak, data, true, false, &ok);
      ASSERT_TRUE(ok);
      const CipherRun run = RunCng(s, data, false);
      ASSERT_EQ(run.rc, 0);
      EXPECT_EQ(ToHexString(run.out), ToHexString(expected)) << length << (native ? " native" : " fallback");
      EXPECT_EQ(RunCng(s, run.out, true).out, data);
    }
  }
}

// CTR runs go to the platform several KiB at a time: long messages in random pieces, with counters
// that carry out of the low half and out of all 128 bits inside a run (or, for the low half, right at
// the end of the first run), against OpenSSL; with the counters and the XOR on AVX2 and off it.
TEST_F(CngCipherTest, LongCtrRunsMatchOpenSsl) {
  std::mt19937 rng(CaseSeed());
  for (bool portable : {false, true}) {
    internal::ForcePortableCtrCounters(portable);
    internal::ForcePortableXor(portable);
    for (int i = 0; i < 12; ++i) {
      Message s = Plain(kEngineCipherAes, kCipherAes, kModeCtr, kPaddingNone, "", RandomBytes(rng, 16 + 8 * (i % 3)),
                        RandomBytes(rng, 16));
      // Odd and even block counts up to the wrap: the vector layout ends on it or one block before.
      const auto last = static_cast<uint8_t>((rng() & 0xfe) | ((i / 6) & 1));
      if (i % 3 == 1) s.iv.replace(8, 8, std::string(7, '\xff') + static_cast<char>(last));
      if (i % 3 == 2) s.iv = std::string(14, '\xff') + static_cast<char>(0xf0 + rng() % 16) + static_cast<char>(rng());
      const std::string data = RandomBytes(rng, 16 * (256 + rng() % 2000) + rng() % 16);
      std::vector<size_t> pieces;
      const size_t to_wrap = 16 * (256 - static_cast<size_t>(last));
      if (i % 6 == 1) pieces.push_back(to_wrap);
      for (size_t piece : Pieces(rng, data.size() - (i % 6 == 1 ? to_wrap : 0), 1)) pieces.push_back(piece);
      SCOPED_TRACE(Describe(s, data.size()) + (portable ? " portable" : ""));
      bool ok = false;
      const std::string name = "AES-" + std::to_string(s.key.size() * 8) + "-CTR";
      const std::string expected = EvpCrypt(name.c_str(), s.key, s.iv, data, true, false, &ok);
      ASSERT_TRUE(ok);
      const CipherRun run = RunCng(s, data, false, pieces);
      ASSERT_EQ(run.rc, 0);
      EXPECT_EQ(ToHexString(run.out), ToHexString(expected));
    }
  }
  internal::ForcePortableCtrCounters(false);
  internal::ForcePortableXor(false);
}

// The differences from InternalCipher that callers are told about.
TEST_F(CngCipherTest, DocumentedDifferences) {
  std::mt19937 rng(CaseSeed());
  Message s;
  s.key = RandomBytes(rng, 16);
  s.iv = RandomBytes(rng, 16);
  const std::string block = RandomBytes(rng, 32);
  struct Row {
    const char* what;
    int32_t key_length;
    int32_t iv_length;
    int cng;
  } rows[] = {{"key length", 20, 16, kPlatformBadKeyLength}, {"IV length", 16, 8, kPlatformBadLength}};
  for (const Row& row : rows) {
    Message bad = s;
    bad.key.resize(static_cast<size_t>(row.key_length));
    bad.iv.resize(static_cast<size_t>(row.iv_length));
    EXPECT_EQ(RunCng(bad, block, false).rc, row.cng) << row.what;
    const int internal = RunInternal(bad, block, false).rc;
    EXPECT_NE(internal, 0) << row.what;
    EXPECT_NE(internal, row.cng) << row.what;
  }
  // A non-final piece that is not whole blocks: the internal object keeps the rest, this one refuses.
  {
    CngCipher cipher;
    ASSERT_EQ(cipher.SetConfig(kEngineCipherAes, U8(s.key), 16, U8(s.iv), 16, 0, kModeCbc, kPaddingNone, nullptr), 0);
    core::Buffer out;
    int32_t n = 20;
    EXPECT_EQ(cipher.Encrypt(U8(block), 0, &n, out, 0), kPlatformBadLength);
    n = 15;
    EXPECT_EQ(cipher.Encrypt(U8(block), 0, &n, out, 1), kPlatformBadLength);
  }
  // XTS data shorter than one block.
  Message xts;
  xts.mode = kModeXts;
  xts.key = RandomBytes(rng, 32);
  EXPECT_EQ(RunCng(xts, block.substr(0, 15), false).rc, kPlatformBadLength);
  EXPECT_EQ(RunInternal(xts, block.substr(0, 15), false).rc, kNotWholeBlocks);
  // Padding removal reads the last byte only: 05 05 03 loses three bytes where PKCS#7 refuses it.
  Message ecb = s;
  ecb.mode = kModeEcb;
  std::string plain = block.substr(0, 16);
  plain[13] = 5;
  plain[14] = 5;
  plain[15] = 3;
  const std::string ct = RunCng(ecb, plain, false).out;
  ecb.padding = kPaddingPkcs7;
  EXPECT_EQ(RunCng(ecb, ct, true).out, plain.substr(0, 13));
  EXPECT_EQ(RunInternal(ecb, ct, true).rc, kBadPadding);
  plain[15] = 0;
  EXPECT_EQ(RunCng(ecb, RunCng(Plain(ecb.engine, ecb.internal, kModeEcb, 1, "", s.key, ""), plain, false).out, true).out, plain);
  plain[15] = static_cast<char>(0x90);
  EXPECT_EQ(RunCng(ecb, RunCng(Plain(ecb.engine, ecb.internal, kModeEcb, 1, "", s.key, ""), plain, false).out, true).rc,
            kBadPadding);
  // A GCM tag mismatch gives 2010 and hands out nothing of the final piece.
  Message gcm;
  gcm.engine = kEngineCipherAesGcm;
  gcm.internal = kCipherAesGcm;
  gcm.mode = 0;
  gcm.key = s.key;
  gcm.iv = RandomBytes(rng, 12);
  gcm.tag_bytes = 16;
  std::string sealed = RunCng(gcm, block, false).out;
  sealed.back() = static_cast<char>(sealed.back() ^ 1);
  const CipherRun opened = RunCng(gcm, sealed, true);
  EXPECT_EQ(opened.rc, kPlatformTagMismatch);
  EXPECT_EQ(opened.out, "");
}

TEST_F(CngCipherTest, TwoKeyTripleDesIsK1K2K1) {
  std::mt19937 rng(CaseSeed());
  Message s = Plain(kEngineCipher3Des, kCipher3Des, kModeCbc, kPaddingPkcs7, "", RandomBytes(rng, 16), RandomBytes(rng, 8));
  Message full = s;
  full.key = s.key + s.key.substr(0, 8);
  const std::string data = RandomBytes(rng, 45);
  EXPECT_EQ(RunCng(s, data, false).out, RunCng(full, data, false).out);
}

// Configuration refusals give their code and hold nothing; calls outside what the object holds are
// refused rather than run.
TEST_F(CngCipherTest, RefusalsHoldNothing) {
  std::mt19937 rng(CaseSeed());
  const std::string key = RandomBytes(rng, 32);
  const std::string iv = RandomBytes(rng, 32);
  struct Row {
    int32_t engine, key_length, iv_length, mode;
    const char* options;
    int code;
  } rows[] = {
      {1, 16, 16, kModeCbc, nullptr, kPlatformUnavailable},
      {kEngineCipher3Des, 32, 8, kModeCbc, nullptr, kPlatformBadKeyLength},
      {kEngineCipherAes, 16, 16, kModeOfb, nullptr, kPlatformBadMode},
      {kEngineCipherAes, 16, 16, kModeCts, nullptr, kPlatformBadMode},
      {kEngineCipherAesGcm, 16, 17, 0, nullptr, kPlatformBadLength},
      {kEngineCipherAesGcm, 16, 0, 0, nullptr, kPlatformBadLength},
      {kEngineCipherAes, 32, 0, kModeXts, "AESXTSDataUnitLength=8", kPlatformBadLength},
      {kEngineCipherAes, 32, 0, kModeXts, "AESXTSDataUnitLength=24", kPlatformBadLength},
      {kEngineCipherAes, 16, 16, kModeCfb, "FeedbackSize=12", kPlatformBadLength},
  };
  for (const Row& row : rows) {
    CngCipher cipher;
    EXPECT_EQ(cipher.SetConfig(row.engine, U8(key), row.key_length, U8(iv), row.iv_length, 0, row.mode, 0, row.options),
              row.code)
        << row.engine << " " << row.mode;
    core::Buffer out;
    int32_t n = 16;
    EXPECT_NE(cipher.Encrypt(U8(iv), 0, &n, out, 1), 0);
    EXPECT_NE(cipher.DecryptAead(U8(iv), 0, &n, out, 1), 0);
    EXPECT_EQ(out.Length(), 0);
  }
  // Nonces and tags beyond the 16 bytes held, and a final GCM piece shorter than its tag.
  CngCipher gcm;
  ASSERT_EQ(gcm.SetConfig(kEngineCipherAesGcm, U8(key), 16, U8(iv), 12, 1, 0, 0, nullptr), 0);
  EXPECT_NE(gcm.ReInitAead(U8(iv), 17, 16, nullptr, 0, 0), 0);
  EXPECT_NE(gcm.ReInitAead(U8(iv), 12, 17, nullptr, 0, 0), 0);
  ASSERT_EQ(gcm.ReInitAead(U8(iv), 12, 16, nullptr, 0, 0), 0);
  core::Buffer out;
  int32_t n = 15;
  EXPECT_NE(gcm.DecryptAead(U8(iv), 0, &n, out, 1), 0);
  EXPECT_EQ(out.Length(), 0);
}

TEST_F(CngCipherTest, MissingFunctionsGive600) {
  const std::string key(32, 'k');
  const std::string iv(16, 'i');
  auto configure = [&](int32_t mode) {
    CngCipher cipher;
    return cipher.SetConfig(kEngineCipherAes, U8(key), mode == kModeXts ? 32 : 16, U8(iv), 16, 0, mode, 0, nullptr);
  };
  FreeBcryptCipherFunctions();
  EXPECT_EQ(configure(kModeCbc), kPlatformUnavailable);
  EXPECT_EQ(configure(kModeXts), kPlatformUnavailable);
  EXPECT_EQ(ProbeCngCfbSupport(), 0);
  platform::test::SetModuleMissing("bcrypt", true);
  LoadBcryptCipherFunctions();
  platform::test::SetModuleMissing("bcrypt", false);
  EXPECT_EQ(configure(kModeCbc), kPlatformUnavailable);
  for (const char* name : {"BCryptImportKey", "BCryptGenerateSymmetricKey"}) {
    FreeBcryptCipherFunctions();
    platform::test::SetProcMissing("bcrypt", name, true);
    LoadBcryptCipherFunctions();
    platform::test::SetProcMissing("bcrypt", name, false);
    EXPECT_EQ(configure(kModeXts), kPlatformUnavailable) << name;
  }
  EXPECT_EQ(platform::test::LiveCryptoHandles(), 0);
}

// The decryption unit without padding is the platform's step, as on the encrypting side, and a final
// piece that needs zero-extending is read only as far as it goes.
TEST_F(CngCipherTest, DecryptionAcceptsWhatEncryptionGives) {
  std::mt19937 rng(CaseSeed());
  for (const char* options : {"FeedbackSize=8", "FeedbackSize=128"}) {
    Message s = Plain(kEngineCipherAes, kCipherAes, kModeCfb, kPaddingNone, options, RandomBytes(rng, 16), RandomBytes(rng, 16));
    const std::string data = RandomBytes(rng, 37);
    const size_t step = s.options == "FeedbackSize=8" ? 1 : 16;
    const std::vector<size_t> pieces = step == 1 ? std::vector<size_t>{5, 3, 7} : std::vector<size_t>{16, 16};
    const CipherRun sealed = RunCng(s, data, false, pieces);
    ASSERT_EQ(sealed.rc, 0) << options;
    // The ciphertext in heap blocks of exactly its length, so reading past a piece is caught.
    CngCipher cipher;
    ASSERT_EQ(cipher.SetConfig(s.engine, U8(s.key), 16, U8(s.iv), 16, 1, s.mode, s.padding, options), 0);
    core::Buffer out;
    size_t at = 0;
    for (size_t i = 0; i <= pieces.size(); ++i) {
      const size_t n = i < pieces.size() ? pieces[i] : sealed.out.size() - at;
      std::vector<uint8_t> piece(sealed.out.begin() + static_cast<long>(at), sealed.out.begin() + static_cast<long>(at + n));
      auto length = static_cast<int32_t>(n);
      ASSERT_EQ(cipher.Decrypt(piece.data(), 0, &length, out, i == pieces.size() ? 1 : 0), 0) << options << " " << i;
      at += n;
    }
    EXPECT_EQ(Str(out), data) << options;
  }
}

TEST_F(CngCipherTest, LargeKeyObjectsComeFromTheHeap) {
  platform::test::SetLargeKeyObjects(true);
  std::mt19937 rng(CaseSeed());
  Message s = Plain(kEngineCipherAes, kCipherAes, kModeCbc, kPaddingPkcs7, "", RandomBytes(rng, 24), RandomBytes(rng, 16));
  const std::string data = RandomBytes(rng, 50);
  {
    CngCipher cipher;
    ASSERT_EQ(cipher.SetConfig(s.engine, U8(s.key), 24, U8(s.iv), 16, 0, s.mode, s.padding, nullptr), 0);
    EXPECT_TRUE(cipher.UsesHeapKeyObject());
    // Configured again on the same object: the earlier key and key object go first.
    ASSERT_EQ(cipher.SetConfig(s.engine, U8(s.key), 24, U8(s.iv), 16, 0, s.mode, s.padding, nullptr), 0);
  }
  EXPECT_EQ(RunCng(s, data, false).out, RunInternal(s, data, false).out);
  {
    testing_support::FailingAllocations failing;
    CngCipher cipher;
    EXPECT_EQ(cipher.SetConfig(s.engine, U8(s.key), 24, U8(s.iv), 16, 0, s.mode, s.padding, nullptr), core::kOutOfMemory);
  }
  platform::test::SetXtsAesMissing(true);
  {
    testing_support::FailingAllocations failing;
    CngCipher cipher;
    EXPECT_EQ(cipher.SetConfig(kEngineCipherAes, U8(s.key + s.key), 32, nullptr, 0, 0, kModeXts, 0, nullptr),
              core::kOutOfMemory);
  }
}

TEST_F(CngCipherTest, CfbProbeSeesBothAnswers) {
  ResetCngCfbProbeForTest();
  EXPECT_EQ(ProbeCngCfbSupport(), 1);
  platform::test::SetFullBlockCfbRefused(true);
  EXPECT_EQ(ProbeCngCfbSupport(), 1);  // the first answer is kept
  ResetCngCfbProbeForTest();
  EXPECT_EQ(ProbeCngCfbSupport(), 0);
  // Full-block CFB is then not available; 8-bit CFB still is.
  const std::string key(16, 'k');
  CngCipher cipher;
  EXPECT_EQ(cipher.SetConfig(kEngineCipherAes, U8(key), 16, U8(key), 16, 0, kModeCfb, 0, nullptr), kPlatformUnavailable);
  EXPECT_EQ(cipher.SetConfig(kEngineCipherAes, U8(key), 16, U8(key), 16, 0, kModeCfb, 0, "FEEDBACKSIZE=8"), 0);
  EXPECT_EQ(cipher.MessageBlockBytes(), 1);
  ResetCngCfbProbeForTest();
}
#endif  // VELMORABLE_PLATFORM_CRYPTO

// Without the platform's module every configuration ends with 600 and the block calls are refused.
TEST(CngCipherAbsent, NothingLoadedGives600) {
  FreeBcryptCipherFunctions();
  const std::string key(32, 'k');
  CngCipher cipher;
  EXPECT_EQ(cipher.SetConfig(kEngineCipherAes, U8(key), 16, U8(key), 16, 0, kModeCbc, 0, nullptr), kPlatformUnavailable);
  EXPECT_EQ(cipher.SetConfig(kEngineCipherAes, U8(key), 32, nullptr, 0, 0, kModeXts, 0, nullptr), kPlatformUnavailable);
  core::Buffer out;
  int32_t n = 16;
  EXPECT_NE(cipher.Encrypt(U8(key), 0, &n, out, 1), 0);
  EXPECT_NE(cipher.ReInitAead(U8(key), 12, 16, nullptr, 0, 0), 0);
  EXPECT_EQ(ProbeCngCfbSupport(), 0);
}

}  // namespace
}  // namespace velmora::crypto
