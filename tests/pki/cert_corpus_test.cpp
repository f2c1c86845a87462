// The certificate corpus (the vectors' certificates, PKITS and the Mozilla roots) through both decode paths:
// each certificate parses or ends in 446/447, its fields and extension texts equal the table that Debian's
// python3-cryptography made (tests/data/pki/cert_table.py), and it encodes, copies and re-decodes alike.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "asn1/der_writer.h"
#include "pki/cert_extensions.h"
#include "pki/certificate_codec.h"
#include "pki/general_names.h"
#include "pki/key_usage.h"
#include "tests/pki/cert_test_support.h"

namespace velmora::pki::testing {
namespace {

using Fields = std::vector<std::string>;

// Table maps the SHA-256 of a certificate's DER to the script's fields after the file name.
std::map<std::string, Fields> Table() {
  std::map<std::string, Fields> table;
  std::ifstream in(VELMORA_TEST_DATA_DIR "/pki/cert_table.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string digest, name, word;
    words >> digest >> name;
    Fields& fields = table[digest];
    while (words >> word) fields.push_back(word);
  }
  return table;
}

std::string TextHex(const std::string& text) {
  return text.empty() ? "-" : testing_support::ToHex(text);
}

// Readings are a decoded certificate's values in the table's order.
Fields Readings(Certificate& c) {
  core::Buffer ca, ocsp;
  EXPECT_EQ(GetAiaCaIssuersUrl(c, ca), 0);
  EXPECT_EQ(GetAiaOcspUrl(c, ocsp), 0);
  char usage[16];
  std::snprintf(usage, sizeof usage, "%X", GetKeyUsageBits(c));
  const TbsCertificate& t = c.tbs;
  return {std::to_string(t.version), Bytes(t.serialHex).empty() ? "-" : Bytes(t.serialHex), TextHex(Bytes(t.issuer)),
          TextHex(Bytes(t.subject)), Bytes(t.notBefore), Bytes(t.notAfter),
          Sha256Hex(KeyNumbers(t.publicKey.key)), TextHex(GetSubjectAltNameText(c, true)), usage,
          TextHex(DecodeExtendedKeyUsage(c)), TextHex(DecodeCrlDistributionPoints(c)), TextHex(Bytes(ca)),
          TextHex(Bytes(ocsp))};
}

std::string Encoded(Certificate& c) {
  DerWriter writer;
  EXPECT_EQ(EncodeCertificate(c, writer), 0);
  return Bytes(writer);
}

TEST(CertificateCorpus, BothPathsReadWhatPythonReadsAndRoundTrip) {
  const auto corpus = CorpusCertificates(1);
  if (corpus.empty()) GTEST_SKIP() << "neither the cryptography vectors nor ca-certificates is installed";
  const auto table = Table();
  int compared = 0, refused = 0;
  for (const auto& [name, der] : corpus) {
    SCOPED_TRACE(name);
    // An exactly sized copy, so that a read past the element is a sanitizer report.
    const std::unique_ptr<uint8_t[]> bytes(new uint8_t[der.size()]);
    std::memcpy(bytes.get(), der.data(), der.size());
    Certificate parsed, stored;
    const int rc = ParseCertificate(bytes.get(), static_cast<int32_t>(der.size()), parsed);
    ASSERT_EQ(stored.der.SetData(static_cast<int32_t>(der.size()), der.data()), 0);
    const int stored_rc = DecodeStoredCertificate(stored);
    const auto row = table.find(Sha256Hex(der));
    const bool python_reads = row != table.end() && row->second.at(0) != "REFUSED";
    if (rc != 0) {
      EXPECT_TRUE(rc == 446 || rc == 447) << rc;
      // A key python3-cryptography cannot read either (DSA parameters inherited from the issuer) may fail.
      EXPECT_TRUE(!python_reads || row->second.at(6) == "?") << "python reads what the parse refuses: " << rc;
      ++refused;
      continue;
    }
    ASSERT_EQ(stored_rc, 0);
    EXPECT_EQ(Bytes(parsed.der), der);
    EXPECT_EQ(Encoded(parsed), der);
    // The parse keeps the outer OID only; the stored decode also its parameters, equal to the TBS copy.
    EXPECT_TRUE(parsed.signatureAlgorithm.parameters.IsEmpty());
    EXPECT_EQ(Bytes(stored.signatureAlgorithm.oid), Bytes(parsed.signatureAlgorithm.oid));
    EXPECT_EQ(Bytes(stored.signatureAlgorithm.parameters), Bytes(stored.tbs.signature.parameters));
    EXPECT_EQ(stored.signatureAlgorithm.pss != nullptr, Bytes(parsed.signatureAlgorithm.oid) == kRsaPssOid);
    const Fields readings = Readings(parsed);
    EXPECT_EQ(Readings(stored), readings);
    // A copy encodes alike once its source is gone.
    auto copy = std::make_unique<Certificate>();
    {
      Certificate source;
      ASSERT_EQ(ParseCertificate(bytes.get(), static_cast<int32_t>(der.size()), source), 0);
      ASSERT_EQ(CopyCertificate(*copy, source), 0);
    }
    EXPECT_EQ(Readings(*copy), readings);
    EXPECT_EQ(Encoded(*copy), der);
    if (!python_reads) continue;
    ++compared;
    const Fields& expected = row->second;
    ASSERT_EQ(expected.size(), readings.size());
    static const char* const kField[] = {"version", "serial", "issuer", "subject", "notBefore", "notAfter", "key",
                                         "SAN", "KU", "EKU", "CDP", "AIA caIssuers", "AIA ocsp"};
    for (size_t i = 0; i < readings.size(); ++i) {
      if (expected[i] != "?") {
        EXPECT_EQ(readings[i], expected[i]) << kField[i];
      }
    }
  }
  std::printf("%zu certificates, %d compared with the table, %d refused\n", corpus.size(), compared, refused);
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace velmora::pki::testing
