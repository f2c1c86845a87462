// The chain check against given certificates, over certificates made by openssl: the own builder fed in
// every text and format, the trusted set and its loader failures, the thumbprint drop, validity under a
// fixed clock, and look-alike roots that copy a trusted root's names and serial but not its key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "keystore/cert_loader.h"
#include "platform/time.h"
#include "tests/keystore/chain_check_pki.h"

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

}  // namespace
}  // namespace velmora::keystore::testing
