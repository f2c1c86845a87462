// PKCS #12 containers: openssl's, the vectors' and the PKITS containers against Debian's
// python3-cryptography, the MAC check, and the containers the asn1crypto script alters.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pki/pfx.h"
#include "tests/test_support.h"
#include "tests/pki/pkcs8_test_support.h"

namespace velmora::pki::testing {
namespace {

int Load(const std::string& bytes, const char* password, Pfx& pfx) {
  return Pfx::Load(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), password, pfx);
}

// Lines is what the oracle prints for a container, certificates sorted (bag order is not python's).
std::vector<std::string> Lines(const Pfx& pfx) {
  std::vector<std::string> lines = {pfx.keys.Count() == 0 ? "key|none" : "key|" + KeyLine(pfx.keys.Get(0)->Key)};
  std::vector<std::string> certificates;
  for (int32_t i = 0; i < pfx.certificates.Count(); ++i) {
    certificates.push_back("cert|" + RawHex(pfx.certificates.Get(i)->der));
  }
  std::sort(certificates.begin(), certificates.end());
  lines.insert(lines.end(), certificates.begin(), certificates.end());
  return lines;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  if (lines.size() > 1) std::sort(lines.begin() + 1, lines.end());
  return lines;
}

std::string Files(const std::string& folder, const std::string& pattern) {
  std::string listing;
  EXPECT_TRUE(Shell("ls " + folder + "/" + pattern + " | tr '\\n' ' '", &listing));
  return listing;
}

// Compare loads every container named in oracle lines and checks the result against python's: what python
// refuses fails here too, and a container whose name holds a key of refusals gives that code.
void Compare(const std::map<std::string, std::vector<std::string>>& expected, const char* password,
             const std::map<std::string, int>& refusals = {}) {
  ASSERT_FALSE(expected.empty());
  for (const auto& [path, lines] : expected) {
    SCOPED_TRACE(path);
    Pfx pfx;
    const int rc = Load(ReadFile(path), password, pfx);
    const auto refusal = std::find_if(refusals.begin(), refusals.end(), [&path = path](const auto& entry) {
      return path.find(entry.first) != std::string::npos;
    });
    if (refusal != refusals.end()) {
      EXPECT_EQ(rc, refusal->second);
      continue;
    }
    if (!lines.empty() && lines[0].rfind("error|", 0) == 0) {
      EXPECT_NE(rc, 0);
      continue;
    }
    ASSERT_EQ(rc, 0) << pfx.decodeError.Data();
    EXPECT_EQ(Lines(pfx), Sorted(lines));
    // The key's localKeyId is also a certificate's.
    const core::StrList& key_ids = pfx.shroudedKeyIds.Count() > 0 ? pfx.shroudedKeyIds : pfx.localKeyIds;
    if (pfx.keys.Count() > 0 && pfx.certificates.Count() > 0 && key_ids.Count() > 0) {
      EXPECT_GE(pfx.localKeyIds.IndexOf(key_ids.Item(0), pfx.shroudedKeyIds.Count() > 0 ? 0 : 1), 0);
    }
  }
}

TEST(PfxLoad, OpensslContainersReadAsPythonReadsThem) {
  ProvidersLoaded providers;
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
  ScratchDir scratch;
  const std::string key = scratch / "key.pem";
  for (const char* name : {"leaf", "ca1", "ca2"}) {
    ASSERT_TRUE(Shell(std::string("openssl req -x509 -newkey rsa:1024 -nodes -days 30 -subj /CN=") + name +
                      " -keyout " + scratch / (std::string(name) + ".key") + " -out " +
                      scratch / (std::string(name) + ".pem")));
  }
  ASSERT_TRUE(Shell("cat " + scratch / "ca1.pem" + " " + scratch / "ca2.pem" + " > " + scratch / "chain.pem"));
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"default", ""},
      {"legacy", "-legacy"},
      {"pbe3des", "-keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES"},
      {"aes128", "-keypbe AES-128-CBC -certpbe AES-128-CBC"},
      {"none", "-keypbe NONE -certpbe NONE"},
      {"sha512", "-macalg sha512"},
      {"nomac", "-nomac"},
      {"chain", "-certfile " + scratch / "chain.pem"},
  };
  std::string files;
  for (const auto& [name, arguments] : rows) {
    ASSERT_TRUE(Shell("openssl pkcs12 -export -passout pass:x " + arguments + " -inkey " + scratch / "leaf.key" +
                      " -in " + scratch / "leaf.pem" + " -out " + scratch / (name + ".p12")))
        << name;
    files += " " + scratch / (name + ".p12");
  }
  // python does not read a container without a MAC; it holds what the default one holds.
  auto expected = P12Oracle("x", files);
  expected[scratch / "nomac.p12"] = expected[scratch / "default.p12"];
  Compare(expected, "x");
  ASSERT_TRUE(Shell("openssl pkcs12 -export -passout pass: -inkey " + scratch / "leaf.key" + " -in " +
                    scratch / "leaf.pem" + " -out " + scratch / "empty.p12"));
  Compare(P12Oracle("", scratch / "empty.p12"), "");
}

TEST(PfxLoad, VectorAndPkitsContainersReadAsPythonReadsThem) {
  ProvidersLoaded providers;
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3-cryptography is not installed";
  const std::string vectors = std::string(kVectors) + "/pkcs12";
  // PBES2 under hmacWithSHA1 is not one of the schemes the bags are opened with.
  const std::map<std::string, int> unsupported = {{"aes256cbc", 271}};
  Compare(P12Oracle("cryptography", Files(vectors, "*-pwd.p12") + Files(vectors, "cert-*.p12") +
                                        Files(vectors, "no-cert-key-*.p12")),
          "cryptography", unsupported);
  Compare(P12Oracle(nullptr, Files(vectors, "*-no-pwd.p12") + Files(vectors, "no-password.p12")), nullptr);
  // The certificate reader refuses a DSA key whose parameters are inherited from the issuer.
  Compare(P12Oracle("password", Files(std::string(kVectors) + "/x509/PKITS_data/pkcs12", "*.p12")), "password",
          {{"DSAParameter", 447}});
}

TEST(PfxLoad, MacDecodeAndCopyRules) {
  ProvidersLoaded providers;
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  ScratchDir scratch;
  ASSERT_TRUE(Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=a "
                    "-keyout " + scratch / "k.pem" + " -out " + scratch / "c.pem"));
  ASSERT_TRUE(Shell("openssl pkcs12 -export -passout pass:x -keypbe NONE -certpbe NONE -inkey " + scratch / "k.pem" +
                    " -in " + scratch / "c.pem" + " -out " + scratch / "plain.p12"));
  const std::string plain = scratch.Read("plain.p12");
  Pfx pfx;
  EXPECT_EQ(Load(plain, "wrong", pfx), kPfxMacMismatch);
  EXPECT_EQ(Load(plain, nullptr, pfx), kPfxMacMismatch);
  ASSERT_EQ(Load(plain, "x", pfx), 0);
  EXPECT_EQ(pfx.keys.Count(), 1);
  EXPECT_EQ(pfx.certificates.Count(), 1);
  EXPECT_EQ(pfx.macDigestOid.Data(), std::string("2.16.840.1.101.3.4.2.1"));
  EXPECT_EQ(pfx.macIterations, 2048);
  // A second decode holds each entry once.
  ASSERT_EQ(pfx.Decode(), 0);
  EXPECT_EQ(pfx.keys.Count(), 1);
  EXPECT_EQ(pfx.certificates.Count(), 1);
  EXPECT_EQ(pfx.localKeyIds.Count(), 2);

  // A flipped byte inside the authenticated safe (the last byte of the certificate's signature).
  std::string tampered = plain;
  const size_t signature = tampered.find(Bytes(pfx.certificates.Get(0)->signature));
  ASSERT_NE(signature, std::string::npos);
  tampered[signature] = static_cast<char>(tampered[signature] ^ 1);
  Pfx bad;
  EXPECT_EQ(Load(tampered, "x", bad), kPfxMacMismatch);

  Pfx copy;
  ASSERT_EQ(Pfx::Copy(copy, pfx), 0);
  EXPECT_EQ(Bytes(copy.password), "x");
  EXPECT_EQ(copy.keys.Count(), 1);
  EXPECT_EQ(KeyLine(copy.keys.Get(0)->Key), KeyLine(pfx.keys.Get(0)->Key));
  EXPECT_EQ(Bytes(copy.certificates.Get(0)->der), Bytes(pfx.certificates.Get(0)->der));
  EXPECT_EQ(copy.localKeyIds.Count(), 2);
  EXPECT_EQ(Item(copy.localKeyIds, 0), Item(pfx.localKeyIds, 0));
  EXPECT_NE(copy.GetCurrentCertificate(), nullptr);

#ifdef VELMORABLE_PLATFORM_CRYPTO
  // In FIPS mode the MAC is not checked.
  ASSERT_EQ(providers.settings.Set("UseFIPSCompliantAPI=true"), 0);
  Pfx fips;
  EXPECT_EQ(Load(plain, "wrong", fips), 0);
  EXPECT_EQ(fips.keys.Count(), 1);
  ASSERT_EQ(providers.settings.Set("UseFIPSCompliantAPI=false"), 0);
#endif
}

TEST(PfxLoad, AlteredContainers) {
  ProvidersLoaded providers;
  const std::string data = kPkcsData;
  struct Row {
    const char* name;
    int expected;
    const char* text;
  };
  const Row rows[] = {
      {"pfx_unknown_pbe.p12", 271, ""},
      {"pfx_enveloped.p12", 446, "Failed to parse AuthenticatedSafe."},
      {"pfx_count_pbe.p12", 271, ""},
      {"pfx_count_pbes2.p12", 271, ""},
      {"pfx_count_mac.p12", 271, ""},
      {"pfx_ber.p12", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Pfx pfx;
    EXPECT_EQ(Load(ReadFile(data + row.name), "x", pfx), row.expected);
    EXPECT_EQ(pfx.decodeError.Data(), std::string(row.text));
    EXPECT_EQ(pfx.keys.Count(), row.expected == 0 ? 1 : 0);
  }
  // The BER form reads like the DER form it was made from.
  Pfx ber, der;
  ASSERT_EQ(Load(ReadFile(data + "pfx_ber.p12"), "x", ber), 0);
  ASSERT_EQ(Load(ReadFile(data + "pfx_default_nomac.p12"), "x", der), 0);
  EXPECT_EQ(Lines(ber), Lines(der));
}

// Without certificates: the certificate reader reports a node it cannot make as malformed input.
TEST(PfxLoad, AllocationFailuresGive200) {
  ProvidersLoaded providers;
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  std::string data;
  ASSERT_TRUE(Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 | openssl pkcs12 -export "
                    "-nocerts -passout pass:x", &data));
  for (int successes = 0;; ++successes) {
    int rc;
    Pfx pfx;
    {
      testing_support::FailingAllocations failing(successes);
      rc = Load(data, "x", pfx);
    }
    if (rc == 0) break;
    ASSERT_EQ(rc, core::kOutOfMemory) << successes << " " << pfx.decodeError.Data();
  }
}

}  // namespace
}  // namespace velmora::pki::testing
