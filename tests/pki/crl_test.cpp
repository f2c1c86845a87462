// Revocation lists: the corpus CRLs and lists made by `openssl ca` decode as python-cryptography reads
// them and damaged ones fail keeping what was read; the lists python refuses decode as they are written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/base64.h"
#include "pki/certificate_codec.h"
#include "pki/crl.h"
#include "pki/distinguished_name.h"
#include "tests/pki/cert_test_support.h"

namespace velmora::pki::testing {

// CrlDer is the DER of a CRL file: the file itself, or its first "X509 CRL" PEM block ("" for none).
std::string CrlDer(const std::string& data) {
  if (!data.empty() && data[0] == '\x30') return data;
  const std::string begin = "-----BEGIN X509 CRL-----", end = "-----END X509 CRL-----";
  const size_t from = data.find(begin), to = data.find(end);
  if (from == std::string::npos || to == std::string::npos || to < from) return "";
  core::Buffer text;
  EXPECT_EQ(text.SetString(data.substr(from + begin.size(), to - from - begin.size()).c_str()), 0);
  EXPECT_EQ(core::Base64Decode(text, 0, 0, 1), 0);
  return Bytes(text);
}

// CorpusCrlPaths: the vectors' custom crl_* files and the PKITS CRLs, sorted; empty when not installed.
std::vector<std::string> CorpusCrlPaths() {
  std::vector<std::string> paths;
  std::error_code ec;
  for (const std::string folder : {"/custom", "/PKITS_data/crls"}) {
    for (const auto& entry : std::filesystem::directory_iterator(kVectors + folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (folder == "/PKITS_data/crls" || name.starts_with("crl_")) paths.push_back(entry.path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

namespace {

// The oracle prints per file: path, issuer DER, thisUpdate, nextUpdate, signature OID, signature, TBS
// DER, serials and dates ("-" for empty), or "refused". Serials are the hex of the number's magnitude.
constexpr char kCrlOracle[] = R"(import sys
from cryptography import x509
F = "%Y%m%d%H%M%S"
def h(n):
    s = format(n, "x")
    return "0" + s if len(s) % 2 else s
for path in sys.argv[1:]:
    data = open(path, "rb").read()
    try:
        crl = x509.load_pem_x509_crl(data) if data.startswith(b"-----") else x509.load_der_x509_crl(data)
        rev = list(crl)
        print(path, crl.issuer.public_bytes().hex(), crl.last_update.strftime(F),
              crl.next_update.strftime(F) if crl.next_update else "-", crl.signature_algorithm_oid.dotted_string,
              crl.signature.hex() or "-", crl.tbs_certlist_bytes.hex(),
              ",".join(h(r.serial_number) for r in rev) or "-",
              ",".join(r.revocation_date.strftime(F) for r in rev) or "-")
    except Exception:
        print(path, "refused")
)";

// kMakeCrls makes, in the current folder, a CA with an empty CRL (UTCTime nextUpdate), one whose
// nextUpdate is past 2049 (GeneralizedTime) and one revoking two certificates with reasons, the first
// with the top bit of its serial set.
constexpr char kMakeCrls[] = R"(set -e
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=%s/index.txt\ndefault_md=sha256\n' "$PWD" > ca.cnf
: > index.txt
openssl req -x509 -newkey rsa:2048 -nodes -subj "/C=DE/O=Velmora Test/CN=Test CA" -keyout ca.key -out ca.crt
for n in 1:0x8a0102030405 2:0x7f; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=leaf${n%%:*} \
    -set_serial ${n#*:} -keyout l.key -out leaf${n%%:*}.crt
done
CA="openssl ca -config ca.cnf -keyfile ca.key -cert ca.crt"
$CA -gencrl -crldays 30 -out empty.pem
$CA -gencrl -crldays 20000 -out far.pem
$CA -revoke leaf1.crt -crl_reason keyCompromise
$CA -revoke leaf2.crt -crl_reason superseded
$CA -gencrl -crldays 30 -out revoked.pem
)";

std::string Join(const core::Buffer20List& list) {
  std::string joined;
  for (int32_t i = 0; i < list.Count(); ++i) joined += (i > 0 ? "," : "") + std::string(list.ItemText(i));
  return joined.empty() ? "-" : joined;
}

std::string Decoded(const std::string& der, CertificateRevocationList& crl) {
  const int rc = crl.Decode(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()));
  return std::to_string(rc);
}

std::string SerialHexOf(const std::string& pem) {
  const std::string der = CertificateDers(pem).at(0);
  Certificate certificate;
  const auto* bytes = reinterpret_cast<const uint8_t*>(der.data());
  EXPECT_EQ(ParseCertificate(bytes, static_cast<int32_t>(der.size()), certificate), 0);
  return Bytes(certificate.tbs.serialHex);
}

TEST(Crl, CorpusAndOpensslMadeListsDecodeAsPythonReadsThemAndDamagedOnesFail) {
  if (!DebianPythonAvailable() || !OpensslAvailable()) GTEST_SKIP() << "needs openssl and Debian's python3";
  ScratchDir dir;
  dir.Write("make.sh", kMakeCrls);
  ASSERT_TRUE(Runs(("cd " + dir.path + " && sh make.sh >/dev/null 2>&1").c_str()));
  std::string arguments;
  for (const std::string& path : CorpusCrlPaths()) arguments += " " + path;
  arguments += " " + (dir / "empty.pem") + " " + (dir / "far.pem") + " " + (dir / "revoked.pem");
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kCrlOracle, arguments, "", &output, kDebianPython));
  int compared = 0;
  for (const auto& line : testing_support::Lines(output)) {
    if (line.size() != 9) continue;  // refused by python: the next test
    SCOPED_TRACE(line[0]);
    CertificateRevocationList crl;
    ASSERT_EQ(Decoded(CrlDer(ReadFile(line[0])), crl), "0");
    Held issuer_der(testing_support::FromHex(line[1]));
    core::Buffer issuer;
    ASSERT_EQ(DecodeNameToString(issuer_der, issuer), 0);
    EXPECT_EQ(Bytes(crl.issuer), Bytes(issuer));
    EXPECT_EQ(Bytes(crl.thisUpdate), line[2]);
    EXPECT_EQ(crl.nextUpdate.IsEmpty() ? "-" : Bytes(crl.nextUpdate), line[3]);
    EXPECT_EQ(Bytes(crl.signatureAlgorithm.oid), line[4]);
    EXPECT_EQ(crl.signature.IsEmpty() ? "-" : testing_support::ToHex(Bytes(crl.signature)), line[5]);
    EXPECT_EQ(testing_support::ToHex(Bytes(crl.tbsDer)), line[6]);
    EXPECT_EQ(Join(crl.revokedSerials), line[7]);
    EXPECT_EQ(Join(crl.revocationDates), line[8]);
    EXPECT_EQ(crl.revokedSerials.Count(), crl.revocationDates.Count());
    if (line[0].ends_with("crl_almost_10k.pem")) {
      EXPECT_EQ(crl.revokedSerials.Count(), 9999);
    }
    ++compared;
  }
  // Every corpus file but the three python refuses, and the three made here.
  EXPECT_GE(compared, 195);
  // A revoked serial compares with the serialHex of the certificate it revokes, top bit set or not.
  CertificateRevocationList revoked;
  ASSERT_EQ(Decoded(CrlDer(dir.Read("revoked.pem")), revoked), "0");
  const std::string serials = "," + Join(revoked.revokedSerials) + ",";
  for (const std::string leaf : {"leaf1.crt", "leaf2.crt"}) {
    EXPECT_NE(serials.find("," + SerialHexOf(dir.Read(leaf)) + ","), std::string::npos) << leaf << " in " << serials;
  }
  // Damaged lists fail with the reader's codes, keep what was read before the damage, and their lists
  // stay in step: every truncation, and the outer SEQUENCE, the first serial and thisUpdate retagged.
  const std::string der = CrlDer(dir.Read("revoked.pem"));
  const size_t serial = der.find(std::string("\x02\x07\x00\x8a\x01\x02\x03\x04\x05", 9));
  ASSERT_NE(serial, std::string::npos);
  const struct {
    size_t at;
    const char* rc;
    bool issuer_kept;
  } damages[] = {{0, "447", false}, {serial, "446", true}, {der.find("\x17\x0d"), "446", true}};
  for (size_t cut = 0; cut < der.size(); ++cut) {
    CertificateRevocationList crl;
    ASSERT_EQ(Decoded(der.substr(0, cut), crl), "447") << "cut at " << cut;
  }
  for (const auto& damage : damages) {
    std::string damaged = der;
    damaged[damage.at] = '\x04';
    CertificateRevocationList crl;
    EXPECT_EQ(Decoded(damaged, crl), damage.rc) << damage.at;
    EXPECT_EQ(Bytes(crl.issuer), damage.issuer_kept ? Bytes(revoked.issuer) : "");
    EXPECT_EQ(crl.revokedSerials.Count(), crl.revocationDates.Count());
  }
  // A list without revokedCertificates leaves the lists as they were; nextUpdate is replaced or emptied.
  ASSERT_EQ(Decoded(CrlDer(dir.Read("far.pem")), revoked), "0");
  EXPECT_EQ("," + Join(revoked.revokedSerials) + ",", serials);
  EXPECT_EQ(revoked.revocationDates.Count(), 2);
  EXPECT_GT(Bytes(revoked.nextUpdate), "2050");
  ASSERT_EQ(Decoded(CrlDer(ReadFile(std::string(kVectors) + "/custom/crl_no_next_update.pem")), revoked), "0");
  EXPECT_EQ(Bytes(revoked.nextUpdate), "");
}

TEST(Crl, ListsPythonRefusesDecodeAsTheyAreWritten) {
  const std::string custom = std::string(kVectors) + "/custom/";
  if (!std::filesystem::exists(custom)) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
  // Version 2 is out of the range RFC 5280 allows, and is kept as it stands.
  CertificateRevocationList bad_version;
  EXPECT_EQ(Decoded(CrlDer(ReadFile(custom + "crl_bad_version.pem")), bad_version), "0");
  EXPECT_EQ(bad_version.version, 2);
  // An 11-digit UTCTime (no seconds) is not a DER time.
  CertificateRevocationList bad_time;
  EXPECT_EQ(Decoded(ReadFile(custom + "crl_invalid_time.der"), bad_time), "446");
  EXPECT_EQ(bad_time.revokedSerials.Count(), bad_time.revocationDates.Count());
  // A negative serial is the hex of its INTEGER content, which openssl prints as -01.
  const std::string negative = std::string(kVectors) + "/PKITS_data/crls/NegativeSerialNumberCACRL.crl";
  CertificateRevocationList crl;
  ASSERT_EQ(Decoded(ReadFile(negative), crl), "0");
  ASSERT_EQ(crl.revokedSerials.Count(), 1);
  EXPECT_STREQ(crl.revokedSerials.ItemText(0), "ff");
  std::string text;
  if (OpensslAvailable() && RunCommand("openssl crl -inform DER -noout -text -in " + negative, &text)) {
    EXPECT_NE(text.find("Serial Number: -01"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace velmora::pki::testing
