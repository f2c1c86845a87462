// Built PKCS #12 containers, checked by `openssl pkcs12 -info` (MAC included), Debian's python3-cryptography
// and our own reader, under every algorithm of the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/objects/key_creation.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/password_encryption.h"
#include "pki/pfx.h"
#include "pki/pfx_builder.h"
#include "tests/pki/pkcs8_test_support.h"

namespace velmora::pki::testing {
namespace {

constexpr const char* kAes256 = "2.16.840.1.101.3.4.1.42";
constexpr const char* kAes128 = "2.16.840.1.101.3.4.1.2";
constexpr const char* kDes3 = "1.2.840.113549.3.7";
constexpr const char* kPbe3Des = "1.2.840.113549.1.12.1.3";
constexpr const char* kPbeRc2_40 = "1.2.840.113549.1.12.1.6";

class PfxBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
  }
  // Ours is what our reader finds in a container, in the oracle's line form.
  static std::vector<std::string> Ours(const std::string& bytes, const char* password) {
    Pfx pfx;
    const int rc = Pfx::Load(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()),
                             password, pfx);
    if (rc != 0) return {"load failed " + std::to_string(rc)};
    std::vector<std::string> lines = {pfx.keys.Count() == 0 ? "key|none" : "key|" + KeyLine(pfx.keys.Get(0)->Key)};
    for (int32_t i = 0; i < pfx.certificates.Count(); ++i) lines.push_back("cert|" + RawHex(pfx.certificates.Get(i)->der));
    return lines;
  }
  void MakeSelfSigned(const char* algorithm, crypto::KeyRecord& key, Certificate& certificate) {
    ASSERT_EQ(crypto::GenerateKeyByAlgorithmName(algorithm, 2048, key), 0);
    ASSERT_EQ(CreateCertificate(key, "CN=pfx", "01", 0, 30, nullptr, nullptr, nullptr, "SHA256", certificate), 0);
  }
  // Check runs openssl over a container and compares python's and our reading of it with the key and
  // certificate that went in.
  void Check(const std::string& bytes, const crypto::KeyRecord* key, Certificate& certificate, bool legacy) {
    const std::string file = scratch_.Write("built.p12", bytes);
    std::string info;
    EXPECT_TRUE(RunCommand("openssl pkcs12 -info -noout -passin pass:x" + std::string(legacy ? " -legacy" : "") +
                               " -in " + file + " 2>&1",
                           &info))
        << info;
    EXPECT_NE(info.find("MAC: sha1, Iteration 1"), std::string::npos) << info;
    DerWriter der;
    ASSERT_EQ(EncodeCertificate(certificate, der), 0);
    std::vector<std::string> expected = {key != nullptr ? "key|" + KeyLine(*key) : "key|none", "cert|" + RawHex(der)};
    EXPECT_EQ(Ours(bytes, "x"), expected);
    const auto python = P12Oracle("x", file);
    ASSERT_EQ(python.size(), 1u);
    const std::vector<std::string>& lines = python.begin()->second;
    if (!legacy || lines.empty() || lines[0].rfind("error|", 0) != 0) {
      EXPECT_EQ(lines, expected);
    }
  }
  ProvidersLoaded providers_;
  ScratchDir scratch_;
};

// Every row of the table for the key bag and the certificate bag, each under its own algorithm.
TEST_F(PfxBuilder, AlgorithmsReadEverywhere) {
  crypto::KeyRecord key;
  Certificate certificate;
  MakeSelfSigned("RSA", key, certificate);
  const struct {
    const char* key_oid;
    const char* cert_oid;
    bool legacy;
  } rows[] = {
      {kAes256, kAes256, false}, {kAes128, kAes128, false},   {kDes3, kDes3, false},
      {kPbe3Des, kPbeRc2_40, true}, {kPbe3Des, kAes256, false}, {kAes256, kPbe3Des, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.key_oid) + " " + row.cert_oid);
    core::Buffer out;
    ASSERT_EQ(BuildPfx(certificate, "x", key, row.key_oid, row.cert_oid, out), 0);
    Check(Bytes(out), &key, certificate, row.legacy);
  }
  // A certificate alone: one encryptedData content info, no key bag.
  core::Buffer alone;
  ASSERT_EQ(BuildPfxForCertificate(certificate, "x", kAes256, kAes256, alone), 0);
  Check(Bytes(alone), nullptr, certificate, false);
  std::string info;
  EXPECT_TRUE(RunCommand("openssl pkcs12 -info -noout -passin pass:x -in " + scratch_.Write("alone.p12", Bytes(alone)) +
                             " 2>&1",
                         &info));
  EXPECT_EQ(info.find("PKCS7 Data"), std::string::npos) << info;
  EXPECT_NE(info.find("PKCS7 Encrypted data"), std::string::npos) << info;
}

// Salts and friendly names are fresh per build; an OID outside the table leaves out alone.
TEST_F(PfxBuilder, FreshSaltsAndRefusals) {
  crypto::KeyRecord key;
  Certificate certificate;
  MakeSelfSigned("ECDSA_P256", key, certificate);
  std::string names[2];
  std::string built[2];
  for (int i = 0; i < 2; ++i) {
    core::Buffer out;
    ASSERT_EQ(BuildPfx(certificate, "x", key, kAes256, kAes256, out), 0);
    built[i] = Bytes(out);
    ASSERT_TRUE(Shell("openssl pkcs12 -info -nocerts -nodes -passin pass:x -in " + scratch_.Write("f.p12", built[i]) +
                          " | grep friendlyName",
                      &names[i]));
    EXPECT_EQ(names[i].size(), std::string("    friendlyName: 123456789012345678\n").size()) << names[i];
  }
  EXPECT_NE(names[0], names[1]);
  EXPECT_NE(built[0], built[1]);

  core::Buffer out;
  ASSERT_EQ(out.SetString("kept"), 0);
  EXPECT_EQ(BuildPfx(certificate, "x", key, "1.2.3.4", kAes256, out), kPbeUnsupported);
  EXPECT_EQ(BuildPfx(certificate, "x", key, kAes256, "1.2.840.113549.1.12.1.7", out), kPbeUnsupported);
  crypto::KeyRecord public_only;
  ASSERT_EQ(key.GetPublicKey(public_only), 0);
  EXPECT_EQ(BuildPfx(certificate, "x", public_only, kAes256, kAes256, out), 290);
  EXPECT_EQ(Bytes(out), "kept");

#ifdef VELMORABLE_PLATFORM_CRYPTO
  // FIPS: PBES2 without MacData; the PKCS #12 derivation is refused.
  ASSERT_EQ(providers_.settings.Set("UseFIPSCompliantAPI=true"), 0);
  core::Buffer fips;
  const int pbes2 = BuildPfx(certificate, "x", key, kAes256, kAes256, fips);
  const int pbe = BuildPfx(certificate, "x", key, kPbe3Des, kAes256, out);
  const std::vector<std::string> read = Ours(Bytes(fips), "x");
  ASSERT_EQ(providers_.settings.Set("UseFIPSCompliantAPI=false"), 0);
  EXPECT_EQ(pbes2, 0);
  EXPECT_EQ(pbe, 9999);
  EXPECT_EQ(Bytes(out), "kept");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0], "key|" + KeyLine(key));
  std::string info;
  EXPECT_TRUE(RunCommand("openssl pkcs12 -info -noout -passin pass:x -in " + scratch_.Write("fips.p12", Bytes(fips)) +
                             " 2>&1",
                         &info));
  EXPECT_NE(info.find("MAC is absent"), std::string::npos) << info;
#endif
}

// A generated key and its certificate, the key's algorithm from the issuer's key type.
TEST_F(PfxBuilder, GeneratedKeyAndCertificate) {
  crypto::KeyRecord ec_issuer;
  ASSERT_EQ(crypto::GenerateKeyByAlgorithmName("ECDSA_P384", 0, ec_issuer), 0);
  const struct {
    const char* issuer;
    crypto::KeyRecord* issuer_key;
    const char* expected_kind;
  } rows[] = {{nullptr, nullptr, "rsa|"}, {"CN=issuer", &ec_issuer, "ec|secp256r1|"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected_kind);
    PfxCertificateRequest request;
    request.subject = "CN=generated";
    request.serial_hex = "0a";
    request.issuer = row.issuer;
    request.issuer_key = row.issuer_key;
    request.hash_name = "SHA256";
    core::Buffer out;
    ASSERT_EQ(CreateKeyAndCertificatePfx(request, "x", 2048, "", kAes256, kAes256, out), 0);
    const std::vector<std::string> read = Ours(Bytes(out), "x");
    ASSERT_EQ(read.size(), 2u) << read[0];
    EXPECT_EQ(read[0].rfind(std::string("key|") + row.expected_kind, 0), 0u) << read[0];
    const std::string file = scratch_.Write("gen.p12", Bytes(out));
    EXPECT_TRUE(Shell("openssl pkcs12 -info -noout -passin pass:x -in " + file));
    const auto python = P12Oracle("x", file);
    ASSERT_EQ(python.size(), 1u);
    EXPECT_EQ(python.begin()->second, read);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
