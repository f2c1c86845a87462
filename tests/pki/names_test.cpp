// Distinguished names: DER to text against python3-cryptography's reading of generated and corpus names,
// text to DER against the bytes and types openssl shows, the canonical comparison, and the signer of a
// CMS message against openssl's print.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>

#include "pki/distinguished_name.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::pki::testing {
namespace {

std::string EncodeText(const std::string& text, int expected_rc = 0) {
  DerWriter writer;
  EXPECT_EQ(EncodeNameFromText(text.c_str(), writer), expected_rc) << text;
  return Bytes(writer);
}

// Generated subjects hold every attribute openssl names, characters that need quotes, UTF-8 values and
// multi-valued RDNs; each decoded name that uses the usual string types re-encodes to its DER.
TEST(NameText, GeneratedAndCorpusNamesReadAsPythonCryptographyReadsThem) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  const std::string req = "openssl genpkey -algorithm Ed25519 -out " + dir / "k" + " && openssl req -x509 -key " +
                          dir / "k" + " -out " + dir / "c";
  const char* subjects[] = {
      "-subj '/C=US/ST=Some State/L=Town, City/O=Ex\\+ample \"Q\"/OU=a=b/CN= lead#<x> "
      "/emailAddress=a@b.example/DC=example/DC=com/UID=u1/serialNumber=1234/title=Dr'",
      "-utf8 -subj '/CN=J\xC3\xB6rg \xC3\x9Cn/O=\xD0\x9F\xD1\x80\xD0\xB8'",
      "-multivalue-rdn -subj '/CN=a+OU=b/O=x/CN=c+SN=d\\+e'", "-subj '/CN=tail /O=>x;y</OU=#1'"};
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(Runs((req + std::to_string(i) + ".pem " + subjects[i] + " 2>/dev/null").c_str()));
  std::string output;
  ASSERT_TRUE(Oracle("names " + dir / "c*.pem" + CorpusFiles(), &output));
  int names = 0, unread_by_oracle = 0, bad_bmp = 0, reencoded = 0;
  for (const auto& line : testing_support::Lines(output)) {
    core::Buffer text;
    const int rc = DecodeNameToString(Held(Unhex(line.at(1))), text);
    ++names;
    if (line.at(2) == "-") {  // not read by the oracle: decodes, or is a BMPString that is not UTF-16
      EXPECT_TRUE(rc == 0 || rc == 434) << line[1] << " gave " << rc;
      ++unread_by_oracle;
      bad_bmp += rc == 434;
      continue;
    }
    ASSERT_EQ(rc, 0) << line[1];
    EXPECT_EQ(Bytes(text), Unhex(line[2])) << line[1];
    if (line.at(3) == "1" && line.at(4) == "0") {
      EXPECT_EQ(Hex(EncodeText(Bytes(text))), Hex(Unhex(line[1]))) << Bytes(text);
      ++reencoded;
    }
  }
  std::printf(
      "%d names: %d re-encoded to their DER, %d with other string types or multi-valued RDNs, "
      "%d the oracle cannot read (%d of them non-UTF-16 BMPStrings)\n",
      names, reencoded, names - reencoded - unread_by_oracle, unread_by_oracle, bad_bmp);
}

TEST(NameText, BmpStringsFromOpensslGenstr) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"FORMAT:UTF8,BMPSTRING:AB", "CN=AB"},
      {"FORMAT:UTF8,BMPSTRING:\xD0\x9F\xD1\x80", "CN=\xD0\x9F\xD1\x80"},
      {"IMPLICIT:30U,FORMAT:HEX,OCTETSTRING:D800", nullptr}};
  for (const auto& [genstr, text] : cases) {
    ASSERT_TRUE(Runs(("openssl asn1parse -noout -out " + dir / "v" + " -genstr '" + genstr + "'").c_str()));
    // Name { RDN { CN value } } around the value openssl made.
    std::string der = std::string("\x06\x03\x55\x04\x03", 5) + dir.Read("v");
    for (const char tag : {'\x30', '\x31', '\x30'}) der = std::string(1, tag) + static_cast<char>(der.size()) + der;
    core::Buffer out;
    EXPECT_EQ(DecodeNameToString(Held(der), out), text != nullptr ? 0 : 434) << genstr;
    EXPECT_TRUE(text == nullptr || Bytes(out) == text) << genstr << " gave " << Bytes(out);
  }
}

TEST(NameEncoding, BytesAndStringTypes) {
  EXPECT_EQ(Hex(EncodeText("CN=Test")), "300F310D300B0603550403130454657374");
  EXPECT_EQ(Hex(EncodeText("")), "3000");
  EXPECT_EQ(EncodeText("XYZ=1", 445), "");
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"DC=example", "IA5STRING"},      {"E=ab.example", "IA5STRING"}, {"E=a@b.example", "UTF8STRING"},
      {"CN=J\xC3\xB6rg", "UTF8STRING"}, {"CN=J\xF6rg", "BMPSTRING"},   {"O=a, b", "PRINTABLESTRING"}};
  for (const auto& [text, type] : cases) {
    std::string shown;
    ASSERT_TRUE(RunCommand("openssl asn1parse -inform DER -in " + dir.Write("n", EncodeText(text)), &shown));
    EXPECT_NE(shown.find(std::string(" ") + type + " "), std::string::npos) << text << "\n" << shown;
  }
}

TEST(NameComparison, EqualPairsUnparsableTextsAndByteOrder) {
  const struct {
    const char *a, *b;
    int equal, equal_no_case;
  } cases[] = {
      {"O=x, CN=y", "cn=y,o=x", 1, 1},
      {"OID.2.5.4.3=y", "CN=y", 1, 1},
      {"S=z", "ST=z", 1, 1},
      {"EMAIL=a@b", "E=a@b", 1, 1},
      {"TITLE=t", "T=t", 1, 1},
      {"CN=Y", "CN=y", 0, 1},
      {"CN=a\\,b", "CN=a\\,b", 1, 1},
      {"CN=a\\,b", "CN=a,CN=b", 0, 0},
      {"", "", 1, 1},
      {"no equals sign", "no equals sign", 0, 0},
      {"junk", "other junk", 0, 0},
      {"CN=\"open", "CN=\"open", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DistinguishedNamesEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(DistinguishedNamesEqualNoCase(c.a, c.b), c.equal_no_case) << c.a << " / " << c.b;
  }
  // The canonical order is byte order under any locale.
  const char* text = "O=\xC3\xA9t\xC3\xA9, O=zeta, O=Alpha, O=alpha, O=_x";
  core::Buffer c_form, utf8_form;
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");
  (void)ParseDistinguishedName(text, c_form, nullptr);
  const bool has_utf8 =
      std::setlocale(LC_ALL, "C.UTF-8") != nullptr || std::setlocale(LC_ALL, "en_US.UTF-8") != nullptr;
  (void)ParseDistinguishedName(text, utf8_form, nullptr);
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(Bytes(c_form), "O=Alpha,O=_x,O=alpha,O=zeta,O=\xC3\xA9t\xC3\xA9");
  if (!has_utf8) GTEST_SKIP() << "no UTF-8 locale";
  EXPECT_EQ(Bytes(utf8_form), Bytes(c_form));
}

TEST(IssuerAndSerialNumber, SignerOfAnOpensslCmsMessage) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  ASSERT_TRUE(Runs(("cd " + dir.path + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes " +
                    "-keyout k -out c -set_serial 0x00A1B2C3D4E5F60718 -subj '/CN=Signer/O=Ex, Inc' 2>/dev/null && " +
                    "echo hi | openssl cms -sign -signer c -inkey k -outform DER -out m")
                       .c_str()));
  std::string oracle, printed;
  ASSERT_TRUE(Oracle("cms " + dir / "m", &oracle));
  ASSERT_TRUE(RunCommand("openssl cms -cmsout -print -inform DER -in " + dir / "m", &printed));
  std::smatch shown;  // openssl prints the signer's "issuer: <name>" and "serialNumber: <decimal>"
  ASSERT_TRUE(std::regex_search(printed, shown,
                                std::regex("issuerAndSerialNumber:\\s+issuer: ([^\\n]*)\\s+serialNumber: (\\d+)")));
  const Held der(Unhex(oracle.substr(0, oracle.find('\n'))));
  core::Buffer issuer, serial, name_only;
  ASSERT_EQ(DecodeIssuerAndSerialNumber(der, issuer, serial, nullptr), 0);
  ASSERT_EQ(DecodeIssuerAndSerialNumber(der, issuer, serial, &name_only), 0);
  EXPECT_EQ(Bytes(issuer), "CN=Signer, O=\"Ex, Inc\"");
  EXPECT_EQ(std::regex_replace(Bytes(issuer), std::regex("\""), ""), shown[1].str());  // openssl does not quote
  EXPECT_EQ(Bytes(name_only), Bytes(issuer));
  ASSERT_EQ(serial.Length(), 8);
  uint64_t number = 0;
  for (int32_t i = 0; i < 8; ++i) number = number << 8 | serial.Bytes()[i];
  EXPECT_EQ(std::to_string(number), shown[2].str());
}

}  // namespace
}  // namespace velmora::pki::testing
