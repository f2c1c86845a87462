// The chain check against given certificates, over certificates made by openssl: the own builder fed in
// every text and format, the trusted set and its loader failures, the thumbprint drop, validity under a
// fixed clock, and look-alike roots that copy a trusted root's names and serial but not its key; then the
// platform's chain engine over a hierarchy installed in a temporary store root: the chain it builds, the
// own builder taking over a lone certificate, and an untrusted chain finished from the engine's chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "keystore/cert_loader.h"
#include "platform/time.h"
#include "tests/keystore/chain_check_pki.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "component/tls_services.h"
#include "crypto/providers/provider_tables.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/store_root.h"
#include "tests/platform/chain_test_pki.h"
#endif

namespace velmora::keystore::testing {
namespace {

using pki::testing::Shell;

constexpr uint64_t kFileTimeTicksPerDay = 86400ULL * 10000000ULL;

// Sha256Thumbprint is openssl's SHA-256 fingerprint of a certificate as lower-case hex without colons.
std::string Sha256Thumbprint(const ChainPki& pki, const std::string& name) {
  std::string out;
  if (!Shell("openssl x509 -noout -fingerprint -sha256 -in " + pki.Path(name), &out)) return "";
  std::string hex;
  for (const char c : out.substr(out.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
  }
  return hex;
}

TEST(ChainCheck, OwnBuilderOverGivenTexts) {
  ChainPki pki;
  if (!pki.made) GTEST_SKIP() << "needs openssl";
  pki::testing::ProvidersLoaded providers;
  std::string base64_inter, upper;
  ASSERT_TRUE(Shell("openssl base64 -A -in " + (pki.dir / "inter.der"), &base64_inter));
  const std::string leaf = pki.Der("leaf"), fleaf = pki.Der("fleaf");
  const std::string root = pki.Path("root"), inter = pki.Pem("inter"), chain = pki.Pem("leaf") + inter;
  const std::string inter_thumb = Sha256Thumbprint(pki, "inter"), leaf_thumb = Sha256Thumbprint(pki, "leaf");
  ASSERT_EQ(inter_thumb.size(), 64u);
  std::transform(inter_thumb.begin(), inter_thumb.end(), std::back_inserter(upper), ::toupper);

  // What the loader says of an item it cannot read is what the check must pass on.
  const std::string garbage = "not a certificate";
  CertStoreHandle handle;
  core::Buffer loader_text;
  const int loader_rc =
      LoadCertificateFromInput(handle, garbage.c_str(), -1, true, "", nullptr, nullptr, nullptr, &loader_text);
  ASSERT_NE(loader_rc, 0);

  const std::string kFull = "CN=leaf|CN=inter|CN=root";
  const struct Case {
    const char* what;
    const std::string& start;
    std::string certificates, trusted, more_trusted, excluded;
    uint32_t options;
    bool days_later;  // "now" five days on, when inter has expired
    int rc;
    uint32_t status;
    std::string subjects, error;
  } cases[] = {
      {"PEM pool, root file trusted", leaf, chain, root, "", "", 0, false, 0, 0, kFull, ""},
      {"base64 DER pool, root data trusted", leaf, base64_inter, pki.Pem("root"), "", "", 0, false, 0, 0, kFull, ""},
      {"P7B pool", leaf, pki.dir.Read("chain.p7b"), root, "", "", 0, false, 0, 0, kFull, ""},
      {"root only in the skipping list", leaf, inter, "", garbage + ";/no/such.pem;;" + root, "", 0, false, 0, 0,
       kFull, ""},
      {"bad trusted item", leaf, inter, root + ";" + garbage, "", "", 0, false, loader_rc, 0xDEAD, "",
       pki::testing::Bytes(loader_text)},
      {"no certificate held", "", inter, root, "", "", 0, false, 272, 0xDEAD, "",
       "A certificate must be specified prior to this operation."},
      {"last collected dropped", leaf, chain, root, "", "00ff, " + inter_thumb + " ,", 0, false, 0, 0x20, "CN=leaf",
       ""},
      {"not the last collected", leaf, chain, root, "", leaf_thumb, 0, false, 0, 0, kFull, ""},
      {"thumbprints compare case-sensitively", leaf, chain, root, "", upper, 0, false, 0, 0, kFull, ""},
      {"untrusted self-signed end", leaf, inter + pki.Pem("root"), "", "", "", 0, false, 0, 0x20, kFull, ""},
      {"self-issued end accepted", leaf, inter + pki.Pem("root"), "", "", "", 0x10, false, 0, 0, kFull, ""},
      {"trusted in the middle", leaf, inter + pki.Pem("root"), pki.Path("inter"), "", "", 0, false, 0, 0, kFull, ""},
      {"expired, untrusted", leaf, inter + pki.Pem("root"), "", "", "", 0, true, 0, 0x21, kFull, ""},
      {"expired, validity ignored", leaf, inter + pki.Pem("root"), "", "", "", 0x01, true, 0, 0x20, kFull, ""},
      {"expired, both options", leaf, inter + pki.Pem("root"), "", "", "", 0x11, true, 0, 0, kFull, ""},
      {"expired member, trusted root", leaf, inter, root, "", "", 0, true, 0, 0, kFull, ""},
      // A look-alike root: the trusted root's names and serial over another key.
      {"look-alike root", fleaf, pki.Pem("fake") + pki.Pem("finter"), root, "", "", 0, false, 0, 0x20, kFull, ""},
      {"look-alike root given as trusted", fleaf, pki.Pem("finter"), pki.Path("fake"), "", "", 0, false, 0, 0, kFull,
       ""},
      {"root re-signed with its own key", leaf, inter + pki.Pem("root"), pki.Path("resigned"), "", "", 0, false, 0, 0,
       kFull, ""},
      {"cross-signed pair", pki.Der("a"), pki.Pem("a") + pki.Pem("b"), "", "", "", 0x10, false, 0, 0x20, "CN=a|CN=b",
       ""},
  };
  const uint64_t now = platform::NowFileTime();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::test::SetNowFileTime(c.days_later ? now + 5 * kFileTimeTicksPerDay : 0);
    const Outcome got = CheckChainOf(c.start, c.certificates, c.trusted, c.more_trusted, c.excluded, c.options);
    platform::test::SetNowFileTime(0);
    EXPECT_EQ(got.rc, c.rc);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.subjects, c.subjects);
    EXPECT_EQ(got.error, c.error);
  }
}

#if VELMORABLE_PLATFORM_CRYPTO
using platform::testing::ChainTestPki;

// ChainCheckPlatform installs the hierarchy's roots and intermediates in a temporary store root with the
// platform tables loaded, and expects no platform handle left open after the test.
class ChainCheckPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ChainTestPki::OpensslAvailable()) GTEST_SKIP() << "needs openssl";
    std::filesystem::create_directories(pki_dir_.path + "/store");
    platform::test::SetStoreRoot((pki_dir_.path + "/store").c_str());
    crypto::CryptoProvidersStaticInit();
    crypto::LoadNCryptFunctions();
    component::LoadCrypt32Functions();
    started_ = true;
    ASSERT_TRUE(hierarchy_.Make(pki_dir_.path));
    ASSERT_TRUE(hierarchy_.Install());
  }
  void TearDown() override {
    if (!started_) return;
    platform::test::SetNowFileTime(0);
    component::UnloadCrypt32Functions();
    crypto::FreeNCryptFunctions();
    crypto::CryptoProvidersStaticDestroy();
    EXPECT_EQ(platform::test::LiveCryptoHandles(), 0);
    platform::test::SetStoreRoot(nullptr);
  }
  std::string Der(const char* name) const {
    const std::vector<uint8_t>& der = hierarchy_.Get(name).der;
    return std::string(der.begin(), der.end());
  }
  std::string Subject(const char* name) const {
    std::string out;
    const std::string file = hierarchy_.Get(name).pem_path;
    EXPECT_TRUE(Shell("openssl x509 -noout -subject -nameopt sep_comma_plus_space -in " + file, &out));
    return out.substr(out.find('=') + 1, out.find_last_not_of("\r\n") - out.find('='));
  }

  pki::testing::ScratchDir pki_dir_;
  ChainTestPki hierarchy_;
  bool started_ = false;
};

TEST_F(ChainCheckPlatform, EngineChainLoneCertificatesAndTheFinish) {
  const std::string leaf = Subject(ChainTestPki::kLeaf), inter = Subject(ChainTestPki::kInter),
                    root = Subject(ChainTestPki::kRoot);
  const std::string full = leaf + "|" + inter + "|" + root;
  const uint64_t later = platform::NowFileTime() + (ChainTestPki::kExpiredAfterDays + 1) * kFileTimeTicksPerDay;
  const struct Case {
    const char* what;
    const char* start;
    std::string certificates;
    uint32_t options;
    bool later;  // "now" past the expired leaf's window
    uint32_t status;
    std::string subjects;
  } cases[] = {
      {"engine chain to an installed root", ChainTestPki::kLeaf, "", 0, false, 0, full},
      {"engine chain, leaf expired", ChainTestPki::kExpired, "", 0, true, 0x01,
       Subject(ChainTestPki::kExpired) + "|" + inter + "|" + root},
      {"engine chain, validity ignored", ChainTestPki::kExpired, "", 0x01, true, 0,
       Subject(ChainTestPki::kExpired) + "|" + inter + "|" + root},
      {"self-signed, untrusted", ChainTestPki::kSelfSigned, "", 0, false, 0x20, Subject(ChainTestPki::kSelfSigned)},
      {"self-signed, accepted", ChainTestPki::kSelfSigned, "", 0x10, false, 0, Subject(ChainTestPki::kSelfSigned)},
      {"lone orphan, own builder", ChainTestPki::kOrphan, "", 0, false, 0x20, Subject(ChainTestPki::kOrphan)},
      {"lone orphan, not self-issued", ChainTestPki::kOrphan, "", 0x10, false, 0x20, Subject(ChainTestPki::kOrphan)},
      // The own chain stops at inter; the engine knows inter's root and finishes it.
      {"finished from the engine", ChainTestPki::kLeaf, hierarchy_.Get(ChainTestPki::kInter).pem, 0, false, 0, full},
      {"no finish without the issuer", ChainTestPki::kOrphan, hierarchy_.Get(ChainTestPki::kEcInter).pem, 0, false,
       0x20, Subject(ChainTestPki::kOrphan)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::test::SetNowFileTime(c.later ? later : 0);
    const Outcome got = CheckChainOf(Der(c.start), c.certificates, "", "", "", c.options);
    EXPECT_EQ(got.rc, 0) << got.error;
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.subjects, c.subjects);
  }
  platform::test::SetNowFileTime(0);
}
#endif

}  // namespace
}  // namespace velmora::keystore::testing
