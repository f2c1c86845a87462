// Certificates made by openssl and by a committed script, and extension, general name and key usage
// values, against what openssl and asn1crypto read.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "asn1/der_writer.h"
#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/general_names.h"
#include "pki/key_usage.h"
#include "tests/pki/cert_test_support.h"

namespace velmora::pki::testing {
namespace {

int Parse(const std::string& der, Certificate& c) {
  return ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()), c);
}

// Asn1crypto runs a python expression over the hex argument x (bytes) with asn1crypto's x509 as ax.
std::string Asn1crypto(const std::string& expression, const std::string& der) {
  std::string output;
  RunCommand(std::string(kDebianPython) + " -c 'import sys; from asn1crypto import core, x509 as ax; x = bytes.fromhex(sys.argv[1]); print(" +
                 expression + ")' " + testing_support::ToHex(der) + " 2>&1",
             &output);
  return output.substr(0, output.find_last_not_of('\n') + 1);
}

std::string Written(const std::function<int(DerWriter&)>& write, int expected_rc = 0) {
  DerWriter writer;
  EXPECT_EQ(write(writer), expected_rc);
  return Bytes(writer);
}

// openssl req -x509 certificates of RSA, P-256 and Ed25519 keys, with PrintableString and UTF8String
// subject values, serial 0x8001 and an AIA extension whose first usable caIssuers is the third.
TEST(CertificateCodec, OpensslCertificatesReencodeByteForByte) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  ScratchDir dir;
  dir.Write("req.cnf",
            "[req]\ndistinguished_name = dn\nprompt = no\nstring_mask = MASK:0x2002\nx509_extensions = ext\n"
            "[dn]\nC = DE\nO = Z\xC3\xBCrich \xC3\x96rg\nCN = test.example\n"
            "[ext]\nauthorityInfoAccess = caIssuers;URI:HTTP://upper.test/ca, caIssuers;URI:ldap://ldap.test/ca, "
            "caIssuers;URI:http://ca.test/ca.crt, OCSP;URI:HTTPS://ocsp.test/\n");
  for (const std::string algorithm : {"RSA -pkeyopt rsa_keygen_bits:1024", "EC -pkeyopt ec_paramgen_curve:P-256",
                                      "ED25519"}) {
    SCOPED_TRACE(algorithm);
    std::string output;
    ASSERT_TRUE(RunCommand("openssl genpkey -algorithm " + algorithm + " -out " + dir / "key.pem" +
                               " 2>/dev/null && openssl req -x509 -new -utf8 -key " + dir / "key.pem" + " -config " +
                               dir / "req.cnf" + " -set_serial 0x8001 -days 30 -outform DER -out " + dir / "c.der",
                           &output));
    const std::string der = dir.Read("c.der");
    Certificate c;
    ASSERT_EQ(Parse(der + std::string("\0\0trailing", 10), c), 0);
    EXPECT_EQ(Bytes(c.der), der);
    EXPECT_EQ(Bytes(c.tbs.serialHex), "8001");
    core::Buffer ca_issuers, ocsp;
    ASSERT_EQ(ocsp.SetString("untouched"), 0);
    EXPECT_EQ(GetAiaCaIssuersUrl(c, ca_issuers), 0);
    EXPECT_EQ(GetAiaOcspUrl(c, ocsp), 0);
    EXPECT_EQ(Bytes(ca_issuers) + " " + Bytes(ocsp), "http://ca.test/ca.crt untouched");
    // Without der (and without the serial element) the fields give the same bytes: the serial from
    // serialHex as 02 03 00 80 01, the subject from its text, the key from its record.
    c.der.Clear();
    c.tbs.serialNumber.Clear();
    DerWriter tbs;
    ASSERT_EQ(EncodeTbsCertificate(c.tbs, tbs), 0);
    EXPECT_EQ(Hex(Bytes(tbs)), Hex(Bytes(c.tbsDer)));
    EXPECT_NE(Bytes(tbs).find(Unhex("0203008001")), std::string::npos);
    EXPECT_EQ(Hex(Written([&](DerWriter& w) { return EncodeCertificate(c, w); })), Hex(der));
    // The PEM form is openssl's, line ends aside.
    core::Buffer pem;
    ASSERT_EQ(CertificateToPem(c, pem), 0);
    ASSERT_TRUE(RunCommand("openssl x509 -inform DER -outform PEM -in " + dir / "c.der", &output));
    std::string ours = Bytes(pem);
    for (size_t at; (at = ours.find('\r')) != std::string::npos;) ours.erase(at, 1);
    EXPECT_EQ(ours, output);
  }
  Certificate empty;
  Written([&](DerWriter& w) { return EncodeCertificate(empty, w); }, 445);
  core::Buffer pem;
  ASSERT_EQ(pem.SetString("kept?"), 0);
  EXPECT_EQ(CertificateToPem(empty, pem), 445);
  EXPECT_TRUE(pem.IsEmpty());
}

// F33: the extensions stand after one or both unique identifiers; openssl -text lists the same ones.
TEST(CertificateCodec, ExtensionsAfterUniqueIdentifiersAsOpensslListsThem) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
  ScratchDir dir;
  std::string output;
  ASSERT_TRUE(RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_DATA_DIR "/pki/cert_unique_ids.py " + dir.path,
                         &output));
  const std::map<std::string, std::string> kNames = {{"X509v3 Basic Constraints", "2.5.29.19"},
                                                     {"X509v3 Key Usage", "2.5.29.15"},
                                                     {"X509v3 Subject Alternative Name", "2.5.29.17"}};
  for (const std::string label : {"issuer", "subject", "both"}) {
    SCOPED_TRACE(label);
    ASSERT_TRUE(RunCommand("openssl x509 -inform DER -noout -text -in " + dir / (label + ".der"), &output));
    std::string listed;
    for (const auto& [name, oid] : kNames) {
      const size_t at = output.find(name + ":");
      if (at == std::string::npos) continue;
      const bool critical = output.compare(at + name.size() + 1, 9, " critical") == 0;
      listed += oid + (critical ? " critical\n" : "\n");
    }
    Certificate c;
    ASSERT_EQ(Parse(dir.Read(label + ".der"), c), 0);
    std::map<std::string, std::string> ours;
    for (int32_t i = 0; i < c.tbs.extensions.Count(); ++i) {
      const CertExtension* e = c.tbs.extensions.Get(i);
      ours[Bytes(e->oid)] = Bytes(e->oid) + (e->critical != 0 ? " critical\n" : "\n");
    }
    std::string read;
    for (const auto& [name, oid] : kNames) read += ours.count(oid) != 0 ? ours[oid] : "";
    EXPECT_EQ(read, listed);
    EXPECT_EQ(c.tbs.extensions.Count(), 3);
  }
}

// CertExtension's BOOLEAN, the first of two equal OIDs, SetExtension in place, and the EKU value builder
// read back by asn1crypto.
TEST(CertificateExtensions, CriticalFlagLookupReplaceAndExtendedKeyUsageValue) {
  // BOOLEAN absent, FALSE (dropped when written) and TRUE.
  for (const auto& [hex, critical] : {std::pair{"30090603551D1304023000", 0}, std::pair{"300C0603551D1301010004023000", 0},
                                      std::pair{"300C0603551D130101FF04023000", 1}}) {
    CertExtension e;
    ASSERT_EQ(e.Decode(Held(Unhex(hex))), 0) << hex;
    EXPECT_EQ(e.critical, critical) << hex;
    EXPECT_EQ(Hex(Bytes(e.value)), "04023000");
    const std::string written = Hex(Written([&](DerWriter& w) { return e.Encode(w); }));
    EXPECT_EQ(written, critical != 0 ? std::string(hex) : "30090603551D1304023000");
  }
  const std::string two = ReadFile(std::string(kVectors) + "/custom/two_basic_constraints.pem");
  if (!two.empty()) {
    Certificate c;
    ASSERT_EQ(Parse(CertificateDers(two).at(0), c), 0);
    core::Buffer value, first;
    std::vector<int32_t> positions;
    for (int32_t i = 0; i < c.tbs.extensions.Count(); ++i) {
      if (Bytes(c.tbs.extensions.Get(i)->oid) == "2.5.29.19") positions.push_back(i);
    }
    ASSERT_EQ(positions.size(), 2u);
    ASSERT_EQ(GetExtensionValue(c, "2.5.29.19", value), 0);
    EXPECT_EQ(Bytes(c.tbs.extensions.Get(positions[0])->value).substr(2), Bytes(value));
    CertExtension replacement;
    ASSERT_EQ(replacement.Decode(Held(Unhex("300C0603551D130101FF04023000"))), 0);
    const int32_t count = c.tbs.extensions.Count();
    ASSERT_EQ(SetExtension(c.tbs.extensions, replacement), 0);
    EXPECT_EQ(c.tbs.extensions.Count(), count);
    EXPECT_EQ(c.tbs.extensions.Get(positions[0])->critical, 1);
  }
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3 with asn1crypto is missing";
  const std::string eku =
      Written([](DerWriter& w) { return EncodeExtendedKeyUsageValue(" 1.3.6.1.5.5.7.3.1 ,1.3.6.1.5.5.7.3.2,", w); });
  EXPECT_EQ(Asn1crypto("\", \".join(o.dotted for o in ax.ExtKeyUsageSyntax.load(core.OctetString.load(x).native))", eku),
            "1.3.6.1.5.5.7.3.1, 1.3.6.1.5.5.7.3.2");
}

// General names written from text read back by asn1crypto; bad texts give -1 and write nothing.
TEST(GeneralNames, SubjectAltNameFromTextReadsBackAndBadTextsWriteNothing) {
  for (const char* bad : {"ip:192.168.1.300", "ip:1.2.3", "mail:x", "Email:x"}) {
    EXPECT_EQ(Written([&](DerWriter& w) { return EncodeGeneralNameFromText(w, bad); }, -1), "") << bad;
  }
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3 with asn1crypto is missing";
  const std::string extension = Written([](DerWriter& w) {
    return EncodeSubjectAltNameExtension("dns:a.test, ip:10.0.0.1, email:x@y.test, uri:https://y.test/, "
                                         "rid:1.2.3.4, dirname:CN=Z",
                                         w);
  });
  EXPECT_EQ(Asn1crypto("[(n.name, n.chosen.dotted if n.name == \"registered_id\" else n.native if n.name != "
                       "\"directory_name\" else n.chosen.human_friendly) for n in ax.Extension.load(x)[\"extn_value\"].parsed]",
                       extension),
            "[('dns_name', 'a.test'), ('ip_address', '10.0.0.1'), ('rfc822_name', 'x@y.test'), "
            "('uniform_resource_identifier', 'https://y.test/'), ('registered_id', '1.2.3.4'), "
            "('directory_name', 'Common Name: Z')]");
}

// Key usage: a value with digitalSignature and keyEncipherment (BIT STRING 05 A0) read to its bits and
// their text, names to bits, and minimal BIT STRINGs read back by asn1crypto.
TEST(KeyUsage, BitsTextNamesAndMinimalValues) {
  uint32_t bits = 0;
  ASSERT_EQ(KeyUsageExtensionToBits(Held(Unhex("030205A0")), &bits), 0);
  core::Buffer text;
  ASSERT_EQ(KeyUsageBitsToText(static_cast<int32_t>(bits), text), 0);
  EXPECT_EQ(std::to_string(bits) + " " + Bytes(text), "160 Digital Signature, Key Encipherment");
  EXPECT_EQ(KeyUsageNamesToBits("KEY AGREEMENT"), 0x08);
  EXPECT_EQ(KeyUsageNamesToBits("crl signingdigital signature"), 0x82);
  EXPECT_EQ(KeyUsageNamesToBits("CRL Signing, Digital Signature"), 0x82);
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3 with asn1crypto is missing";
  static const char* const kNames[] = {"digital_signature", "non_repudiation", "key_encipherment", "data_encipherment",
                                       "key_agreement",     "key_cert_sign",   "crl_sign",         "encipher_only"};
  for (const int32_t flags : {0x80, 0xA0, 0x06, 0x01, 0xFF, 0x8000 | 0x08, 0x8000}) {
    const std::string value = Written([&](DerWriter& w) { return EncodeKeyUsageValue(flags, w); });
    std::string expected;
    for (int bit = 0; bit < 8; ++bit) {
      if ((flags & (0x80 >> bit)) != 0) expected += std::string(expected.empty() ? "" : ",") + kNames[bit];
    }
    if ((flags & 0x8000) != 0) expected += std::string(expected.empty() ? "" : ",") + "decipher_only";
    // The value must be the one asn1crypto writes for the same usages: DER's minimal BIT STRING.
    const std::string v = "core.OctetString.load(x).native";
    EXPECT_EQ(Asn1crypto("\",\".join(k for k in ax.KeyUsage._map.values() if k in ax.KeyUsage.load(" + v +
                             ").native) + \" \" + str(ax.KeyUsage(ax.KeyUsage.load(" + v + ").native).dump() == " + v + ")",
                         value),
              expected + " True")
        << flags;
  }
}

}  // namespace
}  // namespace velmora::pki::testing
