// Certificates and requests made from our keys, checked by the openssl command line and both pythons'
// cryptography: signatures, names, windows, extensions and the signature algorithm each key selects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "asn1/der_header.h"
#include "asn1/der_writer.h"
#include "core/date_time.h"
#include "crypto/objects/key_creation.h"
#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "platform/time.h"
#include "tests/pki/pkcs8_test_support.h"

namespace velmora::pki::testing {
namespace {

constexpr const char* kOracle = VELMORA_TEST_SOURCE_DIR "/pki/cert_creation_oracle.py";

// Extensions holds the SAN, key usage and extended key usage extensions of the tests.
struct Extensions {
  CertExtensionList list;
  Extensions() {
    DerWriter san, ku, eku;
    EXPECT_EQ(EncodeSubjectAltNameExtension("dns:example.test, email:a@example.test", san), 0);
    CertExtension extension;
    EXPECT_EQ(extension.Decode(san), 0);
    EXPECT_EQ(list.InsertAt(0, extension), 0);
    EXPECT_EQ(EncodeKeyUsageValue(0x80 | 0x04, ku), 0);  // digitalSignature, keyCertSign
    EXPECT_EQ(extension.oid.SetString("2.5.29.15"), 0);
    EXPECT_EQ(extension.value.Assign(ku), 0);
    extension.critical = 1;
    EXPECT_EQ(list.InsertAt(1, extension), 0);
    EXPECT_EQ(EncodeExtendedKeyUsageValue("1.3.6.1.5.5.7.3.1, 1.3.6.1.5.5.7.3.2", eku), 0);
    EXPECT_EQ(extension.oid.SetString("2.5.29.37"), 0);
    EXPECT_EQ(extension.value.Assign(eku), 0);
    extension.critical = 0;
    EXPECT_EQ(list.InsertAt(2, extension), 0);
  }
};

std::string Pem(Certificate& certificate) {
  core::Buffer pem;
  EXPECT_EQ(CertificateToPem(certificate, pem), 0);
  return Bytes(pem);
}

class CertCreation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
  }
  // Python runs the oracle with an interpreter and returns its line ("" when it fails).
  std::string Python(const char* interpreter, const std::string& arguments) {
    std::string out;
    if (!RunCommand(std::string(interpreter) + " " + kOracle + " " + arguments + " 2>/dev/null", &out)) return "<failed: " + arguments + ">";
    return out.substr(0, out.find('\n'));
  }
  static std::vector<const char*> Pythons() {
    std::vector<const char*> pythons = {kDebianPython};
    if (Runs("python3 -c 'import cryptography' >/dev/null 2>&1")) pythons.push_back("python3");
    return pythons;
  }
  ProvidersLoaded providers_;
  ScratchDir scratch_;
};

struct Kind {
  const char* algorithm;
  int32_t bits;
  const char* hash;
  const char* signature_oid;
};

// Self-signed certificates of every key kind verify in openssl and in both pythons, with the extensions.
TEST_F(CertCreation, SelfSignedVerifyEverywhere) {
  const Kind kinds[] = {
      {"RSA", 2048, "SHA256", "1.2.840.113549.1.1.11"}, {"RSA", 2048, "sha384WithRSAEncryption", "1.2.840.113549.1.1.12"},
      {"RSA", 2048, "SHA-512", "1.2.840.113549.1.1.13"}, {"ECDSA_P256", 0, "SHA1", "1.2.840.10045.4.3.2"},
      {"ECDSA_P384", 0, "SHA1", "1.2.840.10045.4.3.3"},  {"Ed25519", 0, "SHA1", "1.3.101.112"},
      {"Ed448", 0, "SHA1", "1.3.101.113"},
  };
  Extensions extensions;
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(std::string(kind.algorithm) + " " + kind.hash);
    crypto::KeyRecord key;
    ASSERT_EQ(crypto::GenerateKeyByAlgorithmName(kind.algorithm, kind.bits, key), 0);
    Certificate certificate;
    ASSERT_EQ(CreateCertificate(key, "CN=self,O=Velmora", "7f01", 0, 30, nullptr, nullptr, &extensions.list, kind.hash,
                                certificate),
              0);
    EXPECT_EQ(certificate.der.Length(), 0);
    const std::string file = scratch_.Write("self.pem", Pem(certificate));
    std::string out;
    EXPECT_TRUE(Shell("openssl verify -check_ss_sig -CAfile " + file + " " + file, &out)) << out;
    for (const char* python : Pythons()) {
      SCOPED_TRACE(python);
      const std::string line = Python(python, "cert " + file + " " + file);
      EXPECT_EQ(line.substr(0, line.find('|')), kind.signature_oid);
      EXPECT_NE(line.find("|O=Velmora,CN=self|O=Velmora,CN=self|"), std::string::npos) << line;
      EXPECT_NE(line.find("|example.test,a@example.test|yes"), std::string::npos) << line;
    }
  }
}

// A CA key issues leaves; the issuer's key decides the algorithm; DSA signs with SHA-1, which openssl takes
// only below security level 2.
TEST_F(CertCreation, IssuedCertificatesVerifyUnderTheirIssuer) {
  const struct {
    const char* issuer;
    int32_t issuer_bits;
    const char* subject;
    const char* signature_oid;
    bool strict_ok;
  } cases[] = {
      {"RSA", 2048, "ECDSA_P256", "1.2.840.113549.1.1.11", true},
      {"ECDSA_P384", 0, "ECDSA_P256", "1.2.840.10045.4.3.3", true},
      {"DSA", 2048, "RSA", "1.2.840.10040.4.3", false},
  };
  // basicConstraints cA TRUE, which openssl asks of an issuer.
  CertExtensionList ca_extensions;
  CertExtension basic;
  ASSERT_EQ(basic.oid.SetString("2.5.29.19"), 0);
  basic.critical = 1;
  ASSERT_EQ(basic.value.SetData(7, "\x04\x05\x30\x03\x01\x01\xff"), 0);
  ASSERT_EQ(ca_extensions.InsertAt(0, basic), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.issuer);
    crypto::KeyRecord ca_key, leaf_key;
    ASSERT_EQ(crypto::GenerateKeyByAlgorithmName(c.issuer, c.issuer_bits, ca_key), 0);
    ASSERT_EQ(crypto::GenerateKeyByAlgorithmName(c.subject, 2048, leaf_key), 0);
    Certificate ca, leaf;
    ASSERT_EQ(CreateCertificate(ca_key, "CN=Test CA", "01", -1, 30, nullptr, nullptr, &ca_extensions, "SHA256", ca), 0);
    ASSERT_EQ(CreateCertificate(leaf_key, "CN=leaf", "02", 0, 30, "CN=Test CA", &ca_key, nullptr, "SHA256", leaf), 0);
    const std::string ca_file = scratch_.Write("ca.pem", Pem(ca));
    const std::string leaf_file = scratch_.Write("leaf.pem", Pem(leaf));
    std::string out;
    EXPECT_TRUE(RunCommand("openssl verify -CAfile " + ca_file + " " + leaf_file + " 2>&1", &out)) << out;
    EXPECT_EQ(Shell("openssl verify -auth_level 2 -CAfile " + ca_file + " " + leaf_file), c.strict_ok);
    const std::string line = Python(kDebianPython, "cert " + ca_file + " " + leaf_file);
    EXPECT_EQ(line.substr(0, line.find('|')), c.signature_oid);
    EXPECT_EQ(line.substr(line.size() - 3), "yes") << line;
  }
  crypto::KeyRecord key;
  Certificate orphan;
  ASSERT_EQ(crypto::GenerateKeyByAlgorithmName("ECDSA_P256", 0, key), 0);
  EXPECT_EQ(CreateCertificate(key, "CN=x", "01", 0, 1, "CN=nobody", nullptr, nullptr, "SHA256", orphan), kNoSigningKey);
}

// Hash names, serials and the validity window at a fixed now.
TEST_F(CertCreation, NamesSerialsAndWindow) {
  crypto::KeyRecord rsa;
  ASSERT_EQ(crypto::GenerateKeyByAlgorithmName("RSA", 1024, rsa), 0);
  const struct {
    const char* hash;
    int rc;
    const char* oid;
  } names[] = {
      {"sha256WithRSAEncryption", 0, "1.2.840.113549.1.1.11"},
      {"SHA-512/256", 0, "1.2.840.113549.1.1.13"},
      {"1.2.840.113549.1.1.14", 0, "1.2.840.113549.1.1.14"},
      {"md5", 0, "1.2.840.113549.1.1.4"},
      {"SHA3-256", kUnknownSignatureHash, ""},
      {"", kUnknownSignatureHash, ""},
  };
  for (const auto& n : names) {
    SCOPED_TRACE(n.hash);
    core::Buffer oid;
    EXPECT_EQ(SignatureOidFor(rsa, n.hash, oid), n.rc);
    EXPECT_EQ(std::string(oid.Data(), static_cast<size_t>(oid.Length())), n.oid);
    Certificate certificate;
    EXPECT_EQ(CreateCertificate(rsa, "CN=x", "01", 0, 1, nullptr, nullptr, nullptr, n.hash, certificate), n.rc);
    core::Buffer request;
    core::StrList none;
    EXPECT_EQ(CreateCertificateRequest(rsa, "CN=x", n.hash, none, none, request, nullptr), n.rc);
    EXPECT_EQ(request.Length() > 0, n.rc == 0);
    if (n.rc == 0) {
      EXPECT_EQ(Bytes(certificate.signatureAlgorithm.oid), n.oid);
    }
  }

  // The window: "now" fixed at 2024-02-29 12:34:56 UTC; python computes the ends.
  int64_t now_ms = 0;
  ASSERT_EQ(core::DatePartsToUnixMs(2024, 2, 29, 12, 34, 56, 0, &now_ms), 0);
  platform::test::SetNowFileTime(static_cast<uint64_t>(now_ms) * 10000 + core::kUnixEpochFileTime);
  Certificate windowed;
  const int rc = CreateCertificate(rsa, "CN=x", "1", -1, 365, nullptr, nullptr, nullptr, "SHA256", windowed);
  platform::test::SetNowFileTime(0);
  ASSERT_EQ(rc, 0);
  std::string expected;
  ASSERT_TRUE(RunCommand(std::string(kDebianPython) +
                             " -c 'import datetime as d; n = d.datetime(2024, 2, 29, 12, 34, 56); f = \"%Y%m%d%H%M%S\";"
                             " print((n - d.timedelta(days=1)).strftime(f), (n + d.timedelta(days=365)).strftime(f))'",
                         &expected));
  EXPECT_EQ(Bytes(windowed.tbs.notBefore) + " " + Bytes(windowed.tbs.notAfter) + "\n", expected);
  EXPECT_EQ(Bytes(windowed.tbs.serialHex), "01");
  const std::string file = scratch_.Write("window.pem", Pem(windowed));
  std::string dates;
  EXPECT_TRUE(Shell("openssl x509 -noout -startdate -enddate -in " + file, &dates));
  EXPECT_EQ(dates, "notBefore=Feb 28 12:34:56 2024 GMT\nnotAfter=Feb 28 12:34:56 2025 GMT\n");

  // Serial 80 gets its sign byte; an empty serial cannot be encoded.
  Certificate high, empty;
  ASSERT_EQ(CreateCertificate(rsa, "CN=x", "80", 0, 1, nullptr, nullptr, nullptr, "SHA256", high), 0);
  DerWriter der;
  ASSERT_EQ(EncodeCertificate(high, der), 0);
  EXPECT_NE(Bytes(der).find(std::string("\x02\x02\x00\x80", 4)), std::string::npos);
  std::string serial;
  EXPECT_TRUE(Shell("openssl x509 -noout -serial -in " + scratch_.Write("high.pem", Pem(high)), &serial));
  EXPECT_EQ(serial, "serial=80\n");
  EXPECT_EQ(CreateCertificate(rsa, "CN=x", "", 0, 1, nullptr, nullptr, nullptr, "SHA256", empty), 445);
}

// Requests with a challenge password and a SAN extension request verify in openssl and Debian's python.
TEST_F(CertCreation, RequestsVerify) {
  DerWriter challenge, extension_request, san;
  ASSERT_EQ(challenge.AppendTlv("s3cret", 6, 0x0C), 0);
  ASSERT_EQ(EncodeSubjectAltNameExtension("dns:req.example.test", san), 0);
  ASSERT_EQ(extension_request.Append(san), 0);
  ASSERT_EQ(DerWrapInTag(extension_request, 0x30), 0);
  core::StrList oids, values;
  ASSERT_EQ(oids.AddCString("1.2.840.113549.1.9.7"), 0);
  ASSERT_EQ(values.Add(challenge.Data(), challenge.Length()), 0);
  ASSERT_EQ(oids.AddCString("1.2.840.113549.1.9.14"), 0);
  ASSERT_EQ(values.Add(extension_request.Data(), extension_request.Length()), 0);
  for (const char* algorithm : {"RSA", "ECDSA_P256", "Ed25519"}) {
    SCOPED_TRACE(algorithm);
    crypto::KeyRecord key;
    ASSERT_EQ(crypto::GenerateKeyByAlgorithmName(algorithm, 2048, key), 0);
    core::Buffer request;
    ASSERT_EQ(CreateCertificateRequest(key, "CN=req,O=Velmora", "SHA256", oids, values, request, nullptr), 0);
    const std::string file = scratch_.Write("req.der", Bytes(request));
    std::string text;
    EXPECT_TRUE(Shell("openssl req -verify -inform DER -noout -text -in " + file + " 2>&1", &text));
    EXPECT_NE(text.find("DNS:req.example.test"), std::string::npos) << text;
    const std::string line = Python(kDebianPython, "csr " + file);
    EXPECT_NE(line.find("|O=Velmora,CN=req|s3cret|req.example.test|yes"), std::string::npos) << line;
  }
}

// The temporary certificate: self-signed for a private key, signed by a discarded key for a public one.
TEST_F(CertCreation, TemporaryCertificate) {
  crypto::KeyRecord key, public_only;
  ASSERT_EQ(crypto::GenerateKeyByAlgorithmName("ECDSA_P256", 0, key), 0);
  ASSERT_EQ(key.GetPublicKey(public_only), 0);
  Certificate own, carried;
  ASSERT_EQ(CreateTempSelfSignedCertificate(key, own), 0);
  ASSERT_EQ(CreateTempSelfSignedCertificate(public_only, carried), 0);
  const std::string own_file = scratch_.Write("own.pem", Pem(own));
  const std::string carried_file = scratch_.Write("carried.pem", Pem(carried));
  EXPECT_TRUE(Shell("openssl verify -check_ss_sig -CAfile " + own_file + " " + own_file));
  std::string text;
  EXPECT_TRUE(Shell("openssl x509 -noout -text -in " + carried_file, &text));
  EXPECT_NE(text.find("Issuer: CN = pem_cert"), std::string::npos) << text;
  EXPECT_NE(text.find("Subject: CN = pem_cert"), std::string::npos);
  EXPECT_NE(text.find("sha1WithRSAEncryption"), std::string::npos);
  EXPECT_FALSE(Shell("openssl verify -check_ss_sig -CAfile " + carried_file + " " + carried_file));
  const std::string line = Python(kDebianPython, "cert " + carried_file + " " + carried_file);
  EXPECT_EQ(line.substr(line.size() - 3), "|no") << line;
}

}  // namespace
}  // namespace velmora::pki::testing
