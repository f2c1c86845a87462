// The choice between the library's objects and the platform's: the selection matrix, what a refusal
// leaves behind, the once-per-process CFB probe, the old-system rule, bad arguments, UMAC and platform
// XTS (against the NIST XTS files of python3-cryptography-vectors), the family tests and keys taken from
// certificate contexts.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/mac/hmac.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/key_providers.h"
#include "crypto/objects/umac_xts_selection.h"
#include "crypto/providers/cng_hash.h"
#include "platform/os_version.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/objects/provider_test_util.h"

namespace velmora::crypto {
namespace {

using testing::ProviderTest;
using testing_support::FromHex;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

enum class Family { kHmac, kCipher, kEcc };
enum class Held { kNone, kInternal, kPlatform };

// Row is one request on a fresh component and what it must leave.
struct Row {
  Family family;
  int32_t id;
  uint32_t mode;
  const char* settings;  // comma-separated "Name=true" items
  int32_t key_length;
  int32_t iv_length;
  int32_t cipher_mode;
  const char* options;
  int rc;  // kPlatformOk: 0 with the stand-in, 600 without it
  const char* text;
  Held held;
  int32_t stored_id;
  uint32_t stored_mode;
};

constexpr int kPlatformOk = -1000;
constexpr const char* kNoText = "";

Held HeldClass(const component::CryptoComponent& c) {
  const component::CryptoObject* o = c.Object();
  if (o == nullptr) return Held::kNone;
  const bool platform = dynamic_cast<const CngHmac*>(o) != nullptr || dynamic_cast<const CngCipher*>(o) != nullptr ||
                        dynamic_cast<const CngEccKey*>(o) != nullptr;
  return platform ? Held::kPlatform : Held::kInternal;
}

class ProviderChoice : public ProviderTest {
 protected:
  void Apply(const char* settings) {
    std::string items = settings;
    for (size_t at = 0; !items.empty(); items = at == std::string::npos ? "" : items.substr(at + 1)) {
      at = items.find(',');
      Set(items.substr(0, at));
    }
  }
};

TEST_F(ProviderChoice, SelectionMatrix) {
  const std::string key(32, 'k');
  const std::string iv(16, 'i');
  const Row rows[] = {
      // HMAC: the default mode moves keyed SHA-1/256/384/512 HMACs to the platform.
      {Family::kHmac, 47, 2, "", 0, 0, 0, nullptr, 0, kNoText, Held::kInternal, 47, 0},
      {Family::kHmac, 47, 2, "", 16, 0, 0, nullptr, kPlatformOk, kNoText, Held::kPlatform, 47, 1},
      {Family::kHmac, 47, 2, "UseInternalCryptoAPI=true", 16, 0, 0, nullptr, 0, kNoText, Held::kInternal, 47, 0},
      {Family::kHmac, 46, 2, "", 16, 0, 0, nullptr, 0, kNoText, Held::kInternal, 46, 0},
      {Family::kHmac, 46, 2, "UseFIPSCompliantAPI=true", 16, 0, 0, nullptr, 9999, kNoText, Held::kNone, -1, 0},
      {Family::kHmac, 48, 0, "UseFIPSCompliantAPI=true", 16, 0, 0, nullptr, 600, kNoText, Held::kNone, 48, 1},
      {Family::kHmac, 50, 0, "UseFIPSCompliantAPI=true", 16, 0, 0, nullptr, kPlatformOk, kNoText, Held::kPlatform, 50, 1},
      {Family::kHmac, 51, 1, "", 16, 0, 0, nullptr, 600, kNoText, Held::kNone, 51, 1},
      // Ciphers.
      {Family::kCipher, 0, 2, "", 16, 16, kModeCbc, nullptr, kPlatformOk, kNoText, Held::kPlatform, 0, 1},
      {Family::kCipher, 0, 2, "UseInternalCryptoAPI=true", 16, 16, kModeCbc, nullptr, 0, kNoText, Held::kInternal, 0, 0},
      {Family::kCipher, 0, 2, "", 16, 16, kModeOfb, nullptr, 0, kNoText, Held::kInternal, 0, 0},
      {Family::kCipher, 0, 0, "UseFIPSCompliantAPI=true", 16, 16, kModeOfb, nullptr, 9998, kCngModeText, Held::kNone, 0, 1},
      {Family::kCipher, 0, 1, "", 16, 16, kModeCts, nullptr, 9998, kCngModeText, Held::kNone, 0, 1},
      {Family::kCipher, 2, 2, "UseFIPSCompliantAPI=true", 24, 8, kModeCbc, nullptr, 9999,
       "The symmetrical algorithm 3des is not supported in FIPS mode.", Held::kNone, -1, 0},
      {Family::kCipher, 2, 2, "UseFIPSCompliantAPI=true,Allow3DESInFIPS=true", 24, 8, kModeCbc, nullptr, kPlatformOk,
       kNoText, Held::kPlatform, 2, 1},
      {Family::kCipher, 15, 2, "", 16, 12, kModeGcm, nullptr, kPlatformOk, kNoText, Held::kPlatform, 15, 1},
      {Family::kCipher, 15, 2, "", 16, 16, kModeGcm, nullptr, 0, kNoText, Held::kInternal, 15, 0},
      {Family::kCipher, 15, 2, "", 16, 12, kModeGcm, "AESGCMSkipVerifyAuthTag=true", 0, kNoText, Held::kInternal, 15, 0},
      {Family::kCipher, 15, 2, "UseInternalCryptoAPI=true", 16, 12, kModeGcm, nullptr, 0, kNoText, Held::kInternal, 15, 0},
      {Family::kCipher, 4, 2, "", 16, 8, kModeCbc, nullptr, 0, kNoText, Held::kInternal, 4, 0},
      {Family::kCipher, 4, 1, "", 16, 8, kModeCbc, nullptr, 600, kNoText, Held::kPlatform, 4, 1},
      // EC keys: the platform never takes the Edwards curves.
      {Family::kEcc, 3, 1, "", 0, 0, 0, nullptr, 1410, "EdDSA is unsupported in FIPS mode or CNG.", Held::kNone, 22, 1},
      {Family::kEcc, 4, 2, "UseFIPSCompliantAPI=true", 0, 0, 0, nullptr, 1410, "EdDSA is unsupported in FIPS mode or CNG.",
       Held::kNone, 22, 1},
      // X25519 gets past the selection to the platform's key, which has no such curve.
      {Family::kEcc, 5, 1, "", 0, 0, 0, nullptr, 1410, kNoText, Held::kPlatform, 22, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(static_cast<int>(row.family)) + " id " + std::to_string(row.id) + " mode " +
                 std::to_string(row.mode) + " " + row.settings + " " + (row.options ? row.options : ""));
    Apply(row.settings);
    component::CryptoComponent c;
    int rc = 0;
    if (row.family == Family::kHmac) {
      rc = SelectHmacProvider(c, row.id, U8(key), row.key_length, row.mode);
    } else if (row.family == Family::kCipher) {
      CipherInit init{U8(key), row.key_length, U8(iv), row.iv_length, 0, row.cipher_mode, 0, row.options};
      rc = SelectCipherProvider(c, row.id, init, row.mode);
    } else {
      EcKeyParams params;
      params.KeyType = row.id;
      rc = SelectEccProvider(c, params, row.mode);
    }
    const int expected = row.rc != kPlatformOk ? row.rc : (testing::kPlatformCrypto ? 0 : 600);
    EXPECT_EQ(rc, expected);
    EXPECT_EQ(std::string(c.LastErrorText().Data()), row.text);
    EXPECT_EQ(HeldClass(c), row.held);
    EXPECT_EQ(c.AlgorithmId(), row.stored_id);
    EXPECT_EQ(c.ProviderMode(), row.stored_mode);
    TearDown();
  }
}

// A FIPS refusal and bad arguments change nothing; a later refusal has released the object and stored the
// new id and mode.
TEST_F(ProviderChoice, RefusalsAndBadInputLeaveTheDocumentedState) {
  const std::string key(16, 'k');
  component::CryptoComponent c;
  ASSERT_EQ(SelectHmacProvider(c, 47, U8(key), 16, kProviderInternal), 0);
  const component::CryptoObject* held = c.Object();
  const CipherInit null_key{nullptr, 16, U8(key), 16, 0, kModeCbc, 0, nullptr};
  const CipherInit negative_iv{U8(key), 16, U8(key), -1, 0, kModeCbc, 0, nullptr};
  const std::vector<int> refusals = {
      SelectHmacProvider(c, 47, nullptr, 5, kProviderDefault),
      SelectHmacProvider(c, 47, U8(key), -1, kProviderDefault),
      SelectCipherProvider(c, 0, null_key, kProviderDefault),
      SelectCipherProvider(c, 0, negative_iv, kProviderDefault),
      SelectUmac(c, nullptr, 16, 64),
      SelectPlatformXts(c, nullptr, 32, 512),
  };
  for (int rc : refusals) EXPECT_EQ(rc, kBadKeyArguments);
  // Unknown names are refusals of the implementation.
  const CipherInit cbc{U8(key), 16, U8(key), 16, 0, kModeCbc, 0, nullptr};
  component::CryptoComponent other;
  EXPECT_EQ(SelectHmacByName(other, "HMAC-WHIRLPOOL9", U8(key), 16, kProviderInternal), kNotRunnable);
  EXPECT_EQ(SelectCipherByName(other, "no-such-cipher", cbc, kProviderInternal), kNotRunnable);
  EXPECT_EQ(SelectCipherByName(other, " Blowfish ", cbc, kProviderInternal), 2006);  // a 16-byte IV for blowfish
  EXPECT_EQ(other.AlgorithmId(), 4);
  Set("UseFIPSCompliantAPI=true");
  EXPECT_EQ(SelectHmacProvider(c, 46, U8(key), 16, kProviderDefault), kNotAllowedInFips);
  EXPECT_EQ(c.Object(), held);
  EXPECT_EQ(c.AlgorithmId(), 47);
  EXPECT_EQ(c.ProviderMode(), 0u);
  const CipherInit ofb{U8(key), 16, U8(key), 16, 0, kModeOfb, 0, nullptr};
  EXPECT_EQ(SelectCipherProvider(c, 0, ofb, kProviderDefault), kNotRunnable);
  EXPECT_EQ(c.Object(), nullptr);
  EXPECT_EQ(c.AlgorithmId(), 0);
  EXPECT_EQ(c.ProviderMode(), 1u);
  EXPECT_EQ(SelectUmac(c, U8(key), 16, 0), -1);
  EXPECT_EQ(c.AlgorithmId(), component::kAlgorithmUmac);
}

TEST_F(ProviderChoice, CfbProbeIsAskedOncePerProcess) {
  VELMORA_REQUIRE_PLATFORM_CRYPTO();
#if VELMORABLE_PLATFORM_CRYPTO
  const std::string key(16, 'k');
  const CipherInit cfb{U8(key), 16, U8(key), 16, 0, kModeCfb, 0, nullptr};
  component::CryptoComponent c;
  ResetCngCfbProbeForTest();
  ASSERT_EQ(SelectCipherProvider(c, 0, cfb, kProviderDefault), 0);
  EXPECT_EQ(HeldClass(c), Held::kPlatform);
  platform::test::SetFullBlockCfbRefused(true);
  EXPECT_TRUE(CanUsePlatformCipher(0, 16, kModeCfb, ""));  // the cached answer stands
  ResetCngCfbProbeForTest();
  EXPECT_FALSE(CanUsePlatformCipher(0, 16, kModeCfb, ""));
  ASSERT_EQ(SelectCipherProvider(c, 0, cfb, kProviderDefault), 0);
  EXPECT_EQ(HeldClass(c), Held::kInternal);
  // An 8-bit feedback needs no probe.
  const CipherInit cfb8{U8(key), 16, U8(key), 16, 0, kModeCfb, 0, "FeedbackSize=8"};
  ASSERT_EQ(SelectCipherProvider(c, 0, cfb8, kProviderDefault), 0);
  EXPECT_EQ(HeldClass(c), Held::kPlatform);
#endif
}

TEST_F(ProviderChoice, PlatformDigestIds) {
  for (int32_t id = -1; id <= 60; ++id) {
    const bool expected = id == 23 || id == 25 || id == 27 || id == 30 || id == 45 || id == 47 || id == 49 || id == 50;
    EXPECT_EQ(IsPlatformDigestId(id), expected) << id;
  }
}

// IsOsVersion6OrLater keeps its first answer: the old system runs in a program of its own, which sets the
// version before anything asks.
TEST(ProviderChoiceDeathTest, OldSystemsNeverUseThePlatform) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto child = [] {
    platform::test::SetOsVersion({5, 1, 2600, true});
    const bool ok = !CanUsePlatformCipher(0, 16, kModeCbc, nullptr) && !CanUsePlatformCipher(15, 12, kModeGcm, "") &&
                    !IsPlatformDigestId(25) && !IsPlatformDigestId(47);
    std::_Exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(ProviderChoice, FamilyTestsFollowTheStoredId) {
  component::CryptoComponent c;
  struct Family {
    bool (component::CryptoComponent::*test)() const;
    int32_t first, last;
  };
  const Family families[] = {
      {&component::CryptoComponent::IsNonAeadCipher, 0, 14}, {&component::CryptoComponent::IsAeadCipher, 15, 17},
      {&component::CryptoComponent::IsRsa, 18, 18},          {&component::CryptoComponent::IsDsa, 19, 19},
      {&component::CryptoComponent::IsEcKey, 22, 22},        {&component::CryptoComponent::IsDigest, 23, 44},
      {&component::CryptoComponent::IsHmac, 45, 51},         {&component::CryptoComponent::IsUmac, 52, 52},
      {&component::CryptoComponent::IsPlatformXts, 53, 53},
  };
  for (int32_t id = -1; id <= 60; ++id) {
    c.Store(id, 0);
    for (const Family& f : families) EXPECT_EQ((c.*f.test)(), id >= f.first && id <= f.last) << id;
  }
}

TEST_F(ProviderChoice, UmacTagsAreTheUmacObjects) {
  const std::string key = "abcdefghijklmnop";
  const std::string nonce = "bcdefghi";
  const std::string message(1000, 'a');
  for (int32_t bits : {32, 64, 96, 128}) {
    component::CryptoComponent c;
    ASSERT_EQ(SelectUmac(c, U8(key), 16, bits), 0);
    Umac* umac = HeldUmac(c);
    ASSERT_NE(umac, nullptr);
    Umac reference;
    ASSERT_EQ(reference.Key(U8(key), 16, bits), 0);
    for (Umac* u : {umac, &reference}) {
      u->Update(U8(message), message.size());
      ASSERT_EQ(u->Final(U8(nonce), 8), 0);
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(umac->TagBlock()), 16),
              std::string(reinterpret_cast<char*>(reference.TagBlock()), 16));
  }
  component::CryptoComponent c;
  EXPECT_EQ(SelectUmac(c, U8(key), 16, 48), -1);
}

constexpr char kXtsScript[] = R"PY(
import os, cryptography_vectors
base = os.path.join(os.path.dirname(cryptography_vectors.__file__), "ciphers/AES/XTS/tweak-dataunitseqno")
for name in ("XTSGenAES128.rsp", "XTSGenAES256.rsp"):
    case = {}
    for line in open(os.path.join(base, name)):
        if " = " in line:
            k, v = line.strip().split(" = ")
            case[k] = v
        if "CT" in case and "PT" in case:
            if int(case["DataUnitLen"]) % 8 == 0:
                print(case["Key"], case["DataUnitSeqNumber"], case["PT"], case["CT"])
            case = {}
)PY";

TEST_F(ProviderChoice, PlatformXtsPassesTheNistFiles) {
  VELMORA_REQUIRE_PLATFORM_CRYPTO();
#if VELMORABLE_PLATFORM_CRYPTO
  std::string output;
  if (std::system("/usr/bin/python3 -c 'import cryptography_vectors' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs /usr/bin/python3 with python3-cryptography-vectors";
  }
  ASSERT_TRUE(testing_support::RunPython(kXtsScript, "", "", &output, "/usr/bin/python3"));
  const auto cases = testing_support::Lines(output);
  ASSERT_GT(cases.size(), 1000u);
  const int live = platform::test::LiveCryptoHandles();
  for (bool missing : {false, true}) {
    platform::test::SetXtsAesMissing(missing);
    for (const auto& f : cases) {
      const std::string key = FromHex(f[0]), plain = FromHex(f[2]), cipher = FromHex(f[3]);
      const auto unit = static_cast<int32_t>((plain.size() + 15) / 16 * 16);
      component::CryptoComponent c;
      ASSERT_EQ(SelectPlatformXts(c, U8(key), static_cast<int32_t>(key.size()), unit), 0) << f[0];
      std::string data = plain;
      const int64_t tweak = std::stoll(f[1]);
      ASSERT_EQ(PlatformXtsEncrypt(c, reinterpret_cast<uint8_t*>(data.data()), static_cast<int32_t>(data.size()), tweak), 0);
      EXPECT_EQ(data, cipher) << f[0] << " " << f[1];
      ASSERT_EQ(PlatformXtsDecrypt(c, reinterpret_cast<uint8_t*>(data.data()), static_cast<int32_t>(data.size()), tweak), 0);
      EXPECT_EQ(data, plain) << f[0] << " " << f[1];
    }
    component::CryptoComponent c;
    const std::string key = FromHex(cases[0][0]);
    ASSERT_EQ(SelectPlatformXts(c, U8(key), 32, 512), 0);
    uint8_t short_data[15] = {};
    EXPECT_EQ(PlatformXtsEncrypt(c, short_data, 0, 0), 0);
    for (int32_t length : {1, 15}) EXPECT_EQ(PlatformXtsDecrypt(c, short_data, length, 0), kPlatformBadLength);
    EXPECT_NE(SelectPlatformXts(c, U8(key + "0"), 33, 512), 0);
    c.ReleaseObject();
    EXPECT_EQ(platform::test::LiveCryptoHandles(), live) << "missing " << missing;
  }
  // Releasing a UMAC or an XTS block through the component frees them (LeakSanitizer watches the rest).
  component::CryptoComponent c;
  ASSERT_EQ(SelectUmac(c, U8(std::string(16, 'u')), 16, 64), 0);
  const std::string key = FromHex(cases[0][0]);
  ASSERT_EQ(SelectPlatformXts(c, U8(key), 32, 512), 0);
  EXPECT_EQ(c.AlgorithmId(), component::kAlgorithmPlatformXts);
  c.ReleaseObject();
  EXPECT_EQ(platform::test::LiveCryptoHandles(), live);
#endif
}

TEST_F(ProviderChoice, CertificateContextArgumentsAreCheckedFirst) {
  component::CryptoComponent c;
  const char bad_pin[] = {'1', '2', static_cast<char>(0x80), '\0'};
  EXPECT_EQ(RsaFromCertificateContext(c, nullptr, bad_pin, 0), kNotRunnable);
  EXPECT_STREQ(c.LastErrorText().Data(), "Cannot initialize RSA: smartCardPin contains non-ascii characters.");
  EXPECT_EQ(EccFromCertificateContext(c, nullptr, bad_pin, 0), kNotRunnable);
  EXPECT_STREQ(c.LastErrorText().Data(), "Cannot initialize ECC: smartCardPin contains non-ascii characters.");
  for (auto* from : {&RsaFromCertificateContext, &EccFromCertificateContext}) {
    EXPECT_EQ(from(c, nullptr, "1234", 0), kNotRunnable);
    EXPECT_STREQ(c.LastErrorText().Data(), "Context must be specified when calling this method.");
    EXPECT_EQ(c.AlgorithmId(), -1);
  }
}

}  // namespace
}  // namespace velmora::crypto
