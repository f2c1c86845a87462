// Validity dates as local "dd-MMM-yyyy HH:mm:ss" texts against python's astimezone().strftime under two
// zones: every corpus certificate's notBefore and notAfter, and the "nbf"/"exp" claims of a key record,
// read directly and through the selected-entry date properties.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/objects/key_creation.h"
#include "keystore/cert_dates.h"
#include "keystore/cert_properties.h"
#include "pki/certificate_codec.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore {
namespace {

constexpr const char* kFormat = "dd-MMM-yyyy HH:mm:ss";
const std::string kX509 = std::string(pki::testing::kVectors) + "/x509";
const char* const kZones[] = {"UTC", "Europe/Berlin"};
const char* const kClaims[] = {"0", "1700000000", "1720000000", "-86400", "4102444800"};

// Prints "cert<TAB>file<TAB>notBefore<TAB>notAfter<TAB>raw notAfter<TAB>DER hex" per readable certificate
// file and
// "claim<TAB>seconds<TAB>text" per claim, in the zone of TZ.
constexpr const char* kOracle = R"PY(
import sys, glob
from datetime import datetime, timezone
from cryptography import x509
from cryptography.hazmat.primitives import serialization
fmt = '%d-%b-%Y %H:%M:%S'
def local(d):
    return d.replace(tzinfo=timezone.utc).astimezone().strftime(fmt)
for path in sorted(glob.glob(sys.argv[1] + '/*.pem') + glob.glob(sys.argv[1] + '/*.der')):
    data = open(path, 'rb').read()
    try:
        c = x509.load_der_x509_certificate(data) if data[:1] == b'\x30' else x509.load_pem_x509_certificate(data)
        nb, na = c.not_valid_before, c.not_valid_after
    except Exception:
        continue
    der = c.public_bytes(serialization.Encoding.DER).hex()
    print('cert\t%s\t%s\t%s\t%s\t%s' % (path, local(nb), local(na), na.strftime('%Y%m%d%H%M%S'), der))
for s in sys.argv[2:]:
    print('claim\t%s\t%s' % (s, datetime.fromtimestamp(int(s), timezone.utc).astimezone().strftime(fmt)))
)PY";

// Each test runs under a zone it sets; the zone the process had comes back afterwards.
class DateTexts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pki::testing::DebianPythonAvailable()) GTEST_SKIP() << "needs Debian's python3 with cryptography";
    if (!std::filesystem::exists(kX509)) GTEST_SKIP() << "needs python3-cryptography-vectors";
    if (const char* zone = getenv("TZ"); zone != nullptr) saved_zone_ = zone;
  }
  void TearDown() override {
    if (saved_zone_) {
      setenv("TZ", saved_zone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // UseZone sets TZ and returns what the oracle prints under it.
  static std::vector<std::vector<std::string>> UseZone(const std::string& zone) {
    setenv("TZ", zone.c_str(), 1);
    tzset();
    std::string arguments = std::string(kX509);
    for (const char* claim : kClaims) arguments += std::string(" ") + claim;
    std::string printed;
    EXPECT_TRUE(testing_support::RunPython(kOracle, arguments, "", &printed,
                                           "TZ=" + zone + " " + pki::testing::kDebianPython));
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
      rows.push_back(fields);
    }
    return rows;
  }

  std::optional<std::string> saved_zone_;
  pki::testing::ProvidersLoaded providers_;
};

TEST_F(DateTexts, CertificateDatesMatchPython) {
  for (const char* zone : kZones) {
    SCOPED_TRACE(zone);
    int checked = 0;
    for (const auto& row : UseZone(zone)) {
      if (row[0] != "cert") continue;
      SCOPED_TRACE(row[1]);
      const std::string der = testing_support::FromHex(row[5]);
      pki::Certificate certificate;
      ASSERT_EQ(pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()),
                                      certificate),
                0);
      core::Buffer text;
      EXPECT_EQ(CertNotBeforeText(certificate, kFormat, text), row[2]);
      EXPECT_EQ(CertNotAfterText(certificate, kFormat, text), row[3]);
      EXPECT_EQ(CertNotAfterRaw(certificate), row[4]);
      ++checked;
    }
    EXPECT_GT(checked, 10);
  }
}

// The claims, then the fallbacks: no claim takes the first certificate's dates, nothing at all gives "".
// The selected-entry properties answer the claims of a key with its private part.
TEST_F(DateTexts, KeyClaimsMatchPython) {
  for (const char* zone : kZones) {
    SCOPED_TRACE(zone);
    core::Buffer text, expected;
    pki::Certificate certificate;
    for (const auto& row : UseZone(zone)) {
      if (row[0] == "cert" && certificate.der.IsEmpty()) {
        const std::string der = testing_support::FromHex(row[5]);
        ASSERT_EQ(pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()),
                                        static_cast<int32_t>(der.size()), certificate),
                  0);
      }
      if (row[0] != "claim") continue;
      SCOPED_TRACE(row[1]);
      pki::KeyWithCertificates record;
      ASSERT_EQ(crypto::GenerateKeyByAlgorithmName("ECDSA_P256", 256, record.key), 0);
      ASSERT_EQ(record.key.AddAttribute("JWK_3_exp", row[1].c_str()), 0);
      EXPECT_EQ(JwkExpiry(record, kFormat, text), row[2]);
      EXPECT_STREQ(JwkNotBefore(record, kFormat, text), "");
      ASSERT_EQ(record.key.AddAttribute("JWK_3_nbf", row[1].c_str()), 0);
      EXPECT_EQ(JwkNotBefore(record, kFormat, text), row[2]);

      // The property route: a private key's claims win over its certificate's dates.
      ASSERT_NE(pki::AddNew(record.certificates), nullptr);
      ASSERT_EQ(pki::CopyCertificate(*record.certificates.Get(0), certificate), 0);
      component::CertKeyComponent owner;
      auto* store = new CertStoreHandle;
      owner.SetLoadedStore(store);
      ASSERT_EQ(store->AddKeyWithCertificates(record), 0);
      SelectedCertificateProperties properties(owner);
      EXPECT_EQ(properties.Text(CertProperty::kExpirationDate), row[2]);
      EXPECT_EQ(properties.Text(CertProperty::kEffectiveDate), row[2]);
    }

    pki::KeyWithCertificates bare;
    EXPECT_STREQ(JwkExpiry(bare, kFormat, text), "");
    ASSERT_NE(pki::AddNew(bare.certificates), nullptr);
    ASSERT_EQ(pki::CopyCertificate(*bare.certificates.Get(0), certificate), 0);
    EXPECT_STREQ(JwkExpiry(bare, kFormat, text), CertNotAfterText(certificate, kFormat, expected));
    EXPECT_STREQ(JwkNotBefore(bare, kFormat, text), CertNotBeforeText(certificate, kFormat, expected));
    EXPECT_STRNE(text.Data(), "");
  }
}

}  // namespace
}  // namespace velmora::keystore
