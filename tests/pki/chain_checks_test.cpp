// The chain checks on certificates made by openssl: the CRL check on their distribution points, the
// validity window under a fixed clock, issuer chains from pools in any order (wrong keys, cross-signed
// pairs, over-long chains, Ed25519 issuers), and the signature check from encodings against
// X509_verify over the PKITS certificates.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "pki/cert_composites.h"
#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_signature.h"
#include "pki/chain_checks.h"
#include "pki/pem_armour.h"
#include "platform/time.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {
namespace {

// kMakeChains writes DER certificates: root, inter, leaf (P-256, CA extensions on the first two); root2,
// self-signed with root's name and key; other, root's name with another key; a cross-signed pair a and
// b; c0 .. c39, each issued by the next under one key, the last by c40, which stays out of the pool;
// edroot and edleaf, Ed25519. Each leaf-like certificate takes the distribution points of $CDP (none
// when empty).
constexpr char kMakeChains[] = R"(set -e
key() {
  if [ -n "$2" ]; then openssl genpkey -algorithm $2 -out $1.key
  else openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $1.key; fi
}
self() {
  openssl req -x509 -new -key $2.key -subj "/CN=$3" -days 30 -addext basicConstraints=critical,CA:TRUE -out $1.pem
}
sign() { openssl req -new -key $2.key -subj "/CN=$3" | openssl x509 -req -CA $4.pem -CAkey $5.key -days 30 \
  -set_serial ${6:-1} -extfile ext.cnf -out $1.pem; }
printf 'basicConstraints=critical,CA:TRUE\n' > ext.cnf
for k in root other a b c inter leaf; do key $k; done
key edroot ED25519; key edleaf ED25519
self root root root; self root2 root root; self other other root
sign inter inter inter root root; sign leaf leaf leaf inter inter
self a0 a a; self b0 b b; sign a a a b0 b; sign b b b a0 a
self c40 c c40
i=39; while [ $i -ge 0 ]; do sign c$i c c$i c$((i + 1)) c $i; i=$((i - 1)); done
self edroot edroot edroot; sign edleaf edleaf edleaf edroot edroot
for f in *.pem; do openssl x509 -in $f -outform DER -out ${f%.pem}.der; done
)";

// Pool holds parsed certificates by file name.
using Pool = std::map<std::string, std::unique_ptr<Certificate>>;

Pool MakeChains(const ScratchDir& dir) {
  Pool pool;
  dir.Write("make.sh", kMakeChains);
  if (!Runs(("cd " + dir.path + " && sh make.sh >/dev/null 2>&1").c_str())) return pool;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
    if (entry.path().extension() != ".der") continue;
    const std::string der = ReadFile(entry.path().string());
    auto certificate = std::make_unique<Certificate>();
    EXPECT_EQ(ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()),
                               *certificate),
              0);
    pool[entry.path().stem().string()] = std::move(certificate);
  }
  return pool;
}

TEST(CrlCheck, DistributionPointsOfOpensslCertificates) {
  if (!OpensslAvailable()) GTEST_SKIP() << "needs openssl";
  ScratchDir dir;
  struct Case {
    const char* points;  // the crlDistributionPoints extension, "" for none
    bool report;
    int rc;
    const char* text;
  };
  const char* kNone = "CRL check failed: CRL is not supported by the certificate.";
  const std::string many = "URI:ldap://ldap.example/cn=crl,URI:http://crl.example/a.crl,URI:https://b.example/b.crl";
  const Case cases[] = {
      {"", true, 280, kNone},
      {"", false, 0, ""},
      {many.c_str(), true, 280, "Failed to get a valid response from the CRL server: http://crl.example/a.crl"},
      {many.c_str(), false, 0, ""},
      {"URI:HTTPS://CRL.EXAMPLE/B.CRL", true, 280,
       "Failed to get a valid response from the CRL server: HTTPS://CRL.EXAMPLE/B.CRL"},
      {"URI:ldap://ldap.example/cn=crl", true, 0, ""},
  };
  int made = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.points) + (c.report ? " reported" : ""));
    const std::string name = "p" + std::to_string(made++);
    const std::string ext = *c.points != '\0' ? " -addext 'crlDistributionPoints=" + std::string(c.points) + "'" : "";
    ASSERT_TRUE(Runs(("cd " + dir.path + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes " +
                      "-keyout k.pem -subj /CN=p -outform DER -out " + name + ".der" + ext + " >/dev/null 2>&1")
                         .c_str()));
    const std::string der = dir.Read(name + ".der");
    Certificate certificate;
    ASSERT_EQ(ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()),
                               certificate),
              0);
    const std::string points = DecodeCrlDistributionPoints(certificate);
    int32_t status = -7;
    core::Buffer text;
    EXPECT_EQ(CheckCrl(points.c_str(), &status, &text, c.report), c.rc) << points;
    EXPECT_EQ(status, c.rc);
    EXPECT_EQ(Bytes(text), c.text);
  }
}

TEST(ValidityWindow, OneSecondAroundEachBoundUnderAFixedClock) {
  const char* kNotBefore = "20240229120000";
  const char* kNotAfter = "20491231235959";
  const auto file_time = [](const char* text, int delta) {
    std::tm parts{};
    strptime(text, "%Y%m%d%H%M%S", &parts);
    return core::kUnixEpochFileTime + static_cast<uint64_t>(timegm(&parts) + delta) * 10000000ULL;
  };
  const struct {
    const char* bound;
    int delta;
    int expected;
  } cases[] = {{kNotBefore, -1, -1}, {kNotBefore, 0, 0}, {kNotAfter, 0, 0}, {kNotAfter, 1, 1}};
  for (const auto& c : cases) {
    platform::test::SetNowFileTime(file_time(c.bound, c.delta));
    EXPECT_EQ(CheckValidityWindow(kNotBefore, kNotAfter), c.expected) << c.bound << " " << c.delta;
  }
  platform::test::SetNowFileTime(0);
}

TEST(IssuerChain, ChainsFromOpensslPoolsInAnyOrder) {
  if (!OpensslAvailable()) GTEST_SKIP() << "needs openssl";
  ProvidersLoaded providers;
  ScratchDir dir;
  const Pool pool = MakeChains(dir);
  ASSERT_EQ(pool.size(), 52u) << "openssl could not make the certificates";
  const auto chain_of = [&](const std::string& start, const std::vector<std::string>& names) {
    core::PtrArray<Certificate> candidates;
    for (const std::string& name : names) {
      Certificate* slot = AddNew(candidates);
      EXPECT_TRUE(slot != nullptr && CopyCertificate(*slot, *pool.at(name)) == 0);
    }
    CertificateChain chain;
    EXPECT_EQ(BuildIssuerChain(*pool.at(start), candidates, chain), 0);
    std::string subjects;
    for (int32_t i = 0; i < chain.Count(); ++i) subjects += (i > 0 ? "|" : "") + Bytes(chain.Get(i)->tbs.subject);
    return subjects;
  };
  std::vector<std::string> order = {"leaf", "inter", "root"};
  std::sort(order.begin(), order.end());
  do {
    EXPECT_EQ(chain_of("leaf", order), "CN=leaf|CN=inter|CN=root");
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(chain_of("leaf", {}), "CN=leaf");
  // Root's name under another key is skipped; a second self-signed root with the same key is never
  // reached, as the chain ends at the first self-issued certificate.
  EXPECT_EQ(chain_of("leaf", {"other", "inter", "root", "root2"}), "CN=leaf|CN=inter|CN=root");
  EXPECT_EQ(chain_of("leaf", {"inter", "other"}), "CN=leaf|CN=inter");
  // A cross-signed pair is not walked round again, and an open-ended chain stops at 32.
  EXPECT_EQ(chain_of("a", {"b", "a"}), "CN=a|CN=b");
  std::vector<std::string> long_pool;
  std::string expected = "CN=c0";
  for (int i = 39; i >= 0; --i) long_pool.push_back("c" + std::to_string(i));
  for (int i = 1; i < kMaxIssuerChain; ++i) expected += "|CN=c" + std::to_string(i);
  EXPECT_EQ(chain_of("c0", long_pool), expected);
  // The signature check refuses Ed25519 issuers, so their certificates end a chain.
  EXPECT_EQ(chain_of("edleaf", {"edroot"}), "CN=edleaf");
  const std::string edleaf = dir.Read("edleaf.der"), edroot = dir.Read("edroot.der");
  EXPECT_EQ(VerifyCertificateSignatureBytes(reinterpret_cast<const uint8_t*>(edleaf.data()),
                                            static_cast<int32_t>(edleaf.size()),
                                            reinterpret_cast<const uint8_t*>(edroot.data()),
                                            static_cast<int32_t>(edroot.size())),
            508);
}

TEST(IssuerChain, RsaPssSignaturesVerifyWithTheirParameters) {
  ProvidersLoaded providers;
  const std::string text = ReadFile(VELMORA_TEST_DATA_DIR "/pki/rsa_pss_certs.pem");
  int certificates = 0;
  for (size_t at = text.find("-----BEGIN"); at != std::string::npos; at = text.find("-----BEGIN", at + 1)) {
    core::Buffer pem_der;
    ASSERT_EQ(PemDecode(text.c_str() + at, "CERTIFICATE", pem_der, nullptr), 0);
    std::string der = Bytes(pem_der);
    // Each certificate is self-signed; the parsed record (outer OID only) and the stored one (outer
    // parameters) both verify, and not once the signature's last byte has one bit flipped.
    for (const int expected : {0, -1}) {
      SCOPED_TRACE(std::to_string(certificates) + (expected == 0 ? " as made" : " with a flipped bit"));
      const auto* bytes = reinterpret_cast<const uint8_t*>(der.data());
      const auto length = static_cast<int32_t>(der.size());
      Certificate parsed;
      ASSERT_EQ(ParseCertificate(bytes, length, parsed), 0);
      EXPECT_EQ(VerifySignatureByAlgorithm(parsed, parsed), expected);
      EXPECT_EQ(VerifyCertificateSignatureBytes(bytes, length, bytes, length), expected);
      der.back() = static_cast<char>(der.back() ^ 0x01);
    }
    ++certificates;
  }
  EXPECT_EQ(certificates, 2);
}

TEST(IssuerChain, SignatureBytesAgreeWithX509VerifyOnPkits) {
  const std::string folder = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/PKITS_data/certs";
  if (!std::filesystem::exists(folder)) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
  ProvidersLoaded providers;
  struct Entry {
    std::string name;
    std::string der;
    X509* x;
  };
  std::vector<Entry> certificates;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string der = ReadFile(entry.path().string());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    if (X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()))) {
      certificates.push_back({entry.path().filename().string(), std::move(der), x});
    }
  }
  int pairs = 0;
  for (const auto& [name, der, x] : certificates) {
    for (const auto& [issuer_name, issuer_der, issuer] : certificates) {
      if (X509_NAME_cmp(X509_get_issuer_name(x), X509_get_subject_name(issuer)) != 0) continue;
      // The codec refuses a DSA key that inherits its parameters (447); that code passes through.
      const bool inherits = (name + issuer_name).find("DSAParametersInherited") != std::string::npos;
      const int expected = inherits ? 447 : X509_verify(x, X509_get0_pubkey(issuer)) == 1 ? 0 : -1;
      const int rc = VerifyCertificateSignatureBytes(reinterpret_cast<const uint8_t*>(der.data()),
                                                     static_cast<int32_t>(der.size()),
                                                     reinterpret_cast<const uint8_t*>(issuer_der.data()),
                                                     static_cast<int32_t>(issuer_der.size()));
      EXPECT_EQ(rc, expected) << name << " by " << issuer_name;
      ++pairs;
    }
  }
  for (auto& entry : certificates) X509_free(entry.x);
  EXPECT_GT(pairs, 400);
}

}  // namespace
}  // namespace velmora::pki::testing
