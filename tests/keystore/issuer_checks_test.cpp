// Issuer tests between the certificates selected in two components' loaded stores, over certificates
// made by openssl: the issuer text of the selection, and IsIssuedBy needing both the name and the key.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "keystore/certificate_source.h"
#include "keystore/issuer_checks.h"
#include "pki/certificate_codec.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore {
namespace {

using pki::testing::ScratchDir;

// kMakeCertificates writes DER certificates: root, inter and leaf (P-256, each issued by the one before),
// other (root's name, another key) and edroot (Ed25519, self-signed).
constexpr char kMakeCertificates[] = R"(set -e
for k in root other inter leaf; do openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $k.key; done
openssl genpkey -algorithm ED25519 -out edroot.key
openssl req -x509 -new -key root.key -subj /CN=root -out root.pem
openssl req -x509 -new -key other.key -subj /CN=root -out other.pem
openssl req -x509 -new -key edroot.key -subj /CN=edroot -out edroot.pem
openssl req -new -key inter.key -subj /CN=inter | openssl x509 -req -CA root.pem -CAkey root.key -out inter.pem
openssl req -new -key leaf.key -subj /CN=leaf | openssl x509 -req -CA inter.pem -CAkey inter.key -out leaf.pem
for f in *.pem; do openssl x509 -in $f -outform DER -out ${f%.pem}.der; done
)";

// Load gives component a loaded store holding certificate, or an empty store for "".
void Load(component::CertKeyComponent& component, const ScratchDir& dir, const std::string& name) {
  auto* store = new CertStoreHandle;
  component.SetLoadedStore(store);
  if (name.empty()) return;
  const std::string der = dir.Read(name + ".der");
  pki::Certificate certificate;
  ASSERT_EQ(pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()),
                                  certificate),
            0)
      << name;
  ASSERT_EQ(store->AddCertificate(certificate), 0);
}

TEST(IssuerChecks, IssuedByNeedsNameAndSignature) {
  if (!pki::testing::OpensslAvailable()) GTEST_SKIP() << "needs openssl";
  pki::testing::ProvidersLoaded providers;
  ScratchDir dir;
  dir.Write("make.sh", kMakeCertificates);
  ASSERT_TRUE(pki::testing::Runs(("cd " + dir.path + " && sh make.sh >/dev/null 2>&1").c_str()));
  const struct {
    const char* a;
    const char* b;
    int issued;
    const char* issuer_text;
  } cases[] = {
      {"leaf", "inter", 1, "CN=inter"}, {"inter", "root", 1, "CN=root"},  {"leaf", "root", 0, "CN=inter"},
      {"inter", "other", 0, "CN=root"}, {"root", "root", 1, "CN=root"},   {"leaf", "leaf", 0, "CN=inter"},
      {"edroot", "edroot", 0, "CN=edroot"}, {"", "root", 0, ""},          {"root", "", 0, "CN=root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " by " + c.b);
    component::CertKeyComponent a, b;
    Load(a, dir, c.a);
    Load(b, dir, c.b);
    EXPECT_STREQ(SelectedIssuerText(a), c.issuer_text);
    EXPECT_EQ(IsIssuedBy(a, b), c.issued);
  }
  component::CertKeyComponent unloaded;
  EXPECT_STREQ(SelectedIssuerText(unloaded), "");
  EXPECT_EQ(IsIssuedBy(unloaded, unloaded), 0);
}

}  // namespace
}  // namespace velmora::keystore
