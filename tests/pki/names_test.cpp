// Distinguished names: DER to text against python3-cryptography's reading of real and generated names,
// text to DER against the bytes and types openssl shows, the canonical comparison, and the signer
// identifier of a CMS message.
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "pki/distinguished_name.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::pki::testing {
namespace {

// Held is a Buffer made from a byte string (Buffers cannot be returned by value).
struct Held : core::Buffer {
  explicit Held(const std::string& bytes) { EXPECT_EQ(SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0); }
};

std::string EncodeText(const char* text, int* rc) {
  DerWriter writer;
  *rc = EncodeNameFromText(text, writer);
  return Bytes(writer);
}

// MakeCertificates writes self-signed certificates whose subjects use every attribute openssl names,
// quoting characters, UTF-8 values and multi-valued RDNs.
std::string MakeCertificates(const ScratchDir& dir) {
  const std::string key = dir / "key.pem";
  const std::string base = "openssl req -x509 -days 1 -key " + key + " 2>/dev/null ";
  const std::string commands[] = {
      "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + key + " 2>/dev/null",
      base + "-out " + dir / "c1.pem" +
          " -subj '/C=US/ST=Some State/L=Town, City/O=Ex\\+ample \"Q\"/OU=a=b/CN= lead#<x> "
          "/emailAddress=a@b.example/DC=example/DC=com/UID=u1/serialNumber=1234/title=Dr'",
      base + "-out " + dir / "c2.pem" + " -utf8 -subj '/CN=J\xC3\xB6rg \xC3\x9Cn/O=\xD0\x9F\xD1\x80\xD0\xB8'",
      base + "-out " + dir / "c3.pem" + " -multivalue-rdn -subj '/CN=a+OU=b/O=x/CN=c+SN=d\\+e'",
      base + "-out " + dir / "c4.pem" + " -subj '/CN=tail /O=>x;y</OU=#1'",
  };
  for (const std::string& command : commands) {
    if (!Runs(command.c_str())) return "";
  }
  return " " + dir / "c*.pem";
}

TEST(NameText, GeneratedAndCorpusNamesReadAsPythonCryptographyReadsThem) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  const std::string generated = MakeCertificates(dir);
  ASSERT_FALSE(generated.empty()) << "openssl req failed";
  std::string output;
  ASSERT_TRUE(Oracle("names" + generated + CorpusFiles(), &output));
  int names = 0, unread_by_oracle = 0, bad_bmp = 0, reencoded = 0, not_usual = 0;
  for (const auto& line : testing_support::Lines(output)) {
    ASSERT_EQ(line.size(), 5u);
    const Held der(Unhex(line[1]));
    core::Buffer text;
    const int rc = DecodeNameToString(der, text);
    ++names;
    if (line[2] == "-") {
      // Names the oracle cannot read still decode, or are BMPStrings that are not UTF-16.
      EXPECT_TRUE(rc == 0 || rc == 434) << line[1] << " gave " << rc;
      ++unread_by_oracle;
      bad_bmp += rc == 434;
      continue;
    }
    ASSERT_EQ(rc, 0) << line[1];
    EXPECT_EQ(Bytes(text), Unhex(line[2])) << line[1];
    if (line[3] != "1" || line[4] != "0") {
      ++not_usual;
      continue;
    }
    int encode_rc = 0;
    EXPECT_EQ(Hex(EncodeText(text.Data(), &encode_rc)), Hex(Bytes(der))) << Bytes(text);
    EXPECT_EQ(encode_rc, 0);
    ++reencoded;
  }
  std::printf("%d names: %d re-encoded to their DER, %d with other string types or multi-valued RDNs, "
              "%d the oracle cannot read (%d of them non-UTF-16 BMPStrings)\n",
              names, reencoded, not_usual, unread_by_oracle, bad_bmp);
}

TEST(NameText, BmpStringsFromOpensslGenstr) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  struct Case {
    const char* genstr;
    const char* text;
    int rc;
  } cases[] = {
      {"FORMAT:UTF8,BMPSTRING:AB", "CN=AB", 0},
      {"FORMAT:UTF8,BMPSTRING:\xD0\x9F\xD1\x80", "CN=\xD0\x9F\xD1\x80", 0},
      {"IMPLICIT:30U,FORMAT:HEX,OCTETSTRING:D800", "", 434},
  };
  for (const Case& c : cases) {
    const std::string out = dir / "value.der";
    ASSERT_TRUE(Runs(("openssl asn1parse -genstr '" + std::string(c.genstr) + "' -noout -out " + out).c_str()));
    const std::string value = ReadFile(out);
    // Name { RDN { CN value } } around the value openssl made.
    const std::string atv = std::string("\x06\x03\x55\x04\x03", 5) + value;
    const std::string rdn = std::string(1, '\x30') + static_cast<char>(atv.size()) + atv;
    const std::string set = std::string(1, '\x31') + static_cast<char>(rdn.size()) + rdn;
    const std::string name = std::string(1, '\x30') + static_cast<char>(set.size()) + set;
    core::Buffer text;
    EXPECT_EQ(DecodeNameToString(Held(name), text), c.rc) << c.genstr;
    if (c.rc == 0) {
      EXPECT_EQ(Bytes(text), c.text) << c.genstr;
    }
  }
}

TEST(NameEncoding, BytesAndStringTypes) {
  int rc = 0;
  EXPECT_EQ(Hex(EncodeText("CN=Test", &rc)), "300F310D300B06035504031304" "54657374");
  EXPECT_EQ(Hex(EncodeText("", &rc)), "3000");
  EXPECT_EQ(EncodeText("XYZ=1", &rc), "");
  EXPECT_EQ(rc, 445);
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  const struct {
    const char* text;
    const char* type;
  } cases[] = {
      {"DC=example", "IA5STRING"},      {"E=ab.example", "IA5STRING"},   {"E=a@b.example", "UTF8STRING"},
      {"CN=J\xC3\xB6rg", "UTF8STRING"}, {"CN=J\xF6rg", "BMPSTRING"},      {"O=a, b", "PRINTABLESTRING"},
  };
  for (const auto& c : cases) {
    const std::string der = EncodeText(c.text, &rc);
    ASSERT_EQ(rc, 0) << c.text;
    FILE* file = std::fopen((dir / "name.der").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(der.data(), 1, der.size(), file);
    std::fclose(file);
    std::string shown;
    ASSERT_TRUE(RunCommand("openssl asn1parse -inform DER -in " + dir / "name.der", &shown));
    EXPECT_NE(shown.find(std::string(" ") + c.type + " "), std::string::npos) << c.text << "\n" << shown;
  }
}

TEST(NameComparison, CanonicalFormsAndEquality) {
  const struct {
    const char* a;
    const char* b;
    int equal;
    int equal_no_case;
  } cases[] = {
      {"O=x, CN=y", "cn=y,o=x", 1, 1},
      {"OID.2.5.4.3=y", "CN=y", 1, 1},
      {"2.5.4.3=y", "CN=y", 1, 1},
      {"S=z", "ST=z", 1, 1},
      {"EMAIL=a@b", "E=a@b", 1, 1},
      {"EMAILADDRESS=a@b", "E=a@b", 1, 1},
      {"TITLE=t", "T=t", 1, 1},
      {"CN=Y", "CN=y", 0, 1},
      {"CN=a\\,b", "CN=a\\,b", 1, 1},
      {"CN=a\\,b", "CN=a,CN=b", 0, 0},
      {"no equals sign", "no equals sign", 0, 0},
      {"junk", "other junk", 0, 0},
      {"CN=\"open", "CN=\"open", 0, 0},
      {"", "", 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DistinguishedNamesEqual(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(DistinguishedNamesEqualNoCase(c.a, c.b), c.equal_no_case) << c.a << " / " << c.b;
  }
  core::Buffer form;
  bool parsed = true;
  (void)ParseDistinguishedName("O=x, CN=y", form, &parsed);
  EXPECT_EQ(Bytes(form), "CN=y,O=x");
  (void)ParseDistinguishedName("CN=a\\,b", form, &parsed);
  EXPECT_EQ(Bytes(form), "CN=a\\,b");
  (void)ParseDistinguishedName("no equals sign", form, &parsed);
  EXPECT_FALSE(parsed);
  EXPECT_EQ(Bytes(form), "");
  core::Buffer oid;
  ASSERT_EQ(DnShortNameToOid(" postalcode ", oid), 0);
  EXPECT_EQ(Bytes(oid), "2.5.4.17");
  ASSERT_EQ(DnShortNameToOid("xyz", oid), 0);
  EXPECT_EQ(Bytes(oid), "XYZ");
}

TEST(NameComparison, OrderDoesNotFollowTheLocale) {
  const char* text = "O=\xC3\xA9t\xC3\xA9, O=zeta, O=Alpha, O=alpha, O=_x";
  core::Buffer c_form;
  core::Buffer utf8_form;
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C");
  (void)ParseDistinguishedName(text, c_form, nullptr);
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr && std::setlocale(LC_ALL, "en_US.UTF-8") == nullptr) {
    std::setlocale(LC_ALL, saved.c_str());
    GTEST_SKIP() << "no UTF-8 locale";
  }
  (void)ParseDistinguishedName(text, utf8_form, nullptr);
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(Bytes(c_form), Bytes(utf8_form));
  EXPECT_EQ(Bytes(c_form), "O=Alpha,O=_x,O=alpha,O=zeta,O=\xC3\xA9t\xC3\xA9");
}

TEST(IssuerAndSerialNumber, SignerOfAnOpensslCmsMessage) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  const std::string key = dir / "key.pem";
  const std::string cert = dir / "cert.pem";
  ASSERT_TRUE(Runs(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -keyout " +
                    key + " -out " + cert + " -set_serial 0x00A1B2C3D4E5F60718 -subj '/CN=Signer/O=Ex, Inc' "
                    "2>/dev/null && echo hi > " + dir / "m.txt" + " && openssl cms -sign -in " + dir / "m.txt" +
                    " -signer " + cert + " -inkey " + key + " -outform DER -out " + dir / "m.der")
                       .c_str()));
  std::string oracle;
  ASSERT_TRUE(Oracle("cms " + dir / "m.der", &oracle));
  const auto fields = testing_support::Lines(oracle).at(0);
  std::string printed;
  ASSERT_TRUE(RunCommand("openssl cms -cmsout -print -inform DER -in " + dir / "m.der", &printed));
  // openssl prints the signer as "issuer: <name>" and "serialNumber: <decimal>" lines.
  const size_t at = printed.find("d.issuerAndSerialNumber:");
  ASSERT_NE(at, std::string::npos) << printed;
  std::string shown_issuer, shown_serial;
  for (const auto& line : testing_support::Lines(printed.substr(at))) {
    if (line.size() > 1 && line[0] == "issuer:" && shown_issuer.empty()) {
      for (size_t i = 1; i < line.size(); ++i) shown_issuer += (i > 1 ? " " : "") + line[i];
    }
    if (line.size() == 2 && line[0] == "serialNumber:" && shown_serial.empty()) shown_serial = line[1];
  }
  const std::string der = Unhex(fields.at(0));
  core::Buffer issuer_text, serial_bytes, name_only;
  ASSERT_EQ(DecodeIssuerAndSerialNumber(Held(der), issuer_text, serial_bytes, nullptr), 0);
  EXPECT_EQ(Bytes(issuer_text), "CN=Signer, O=\"Ex, Inc\"");
  std::string unquoted = Bytes(issuer_text);
  unquoted.erase(std::remove(unquoted.begin(), unquoted.end(), '"'), unquoted.end());
  EXPECT_EQ(unquoted, shown_issuer);
  ASSERT_EQ(serial_bytes.Length(), 8);
  uint64_t serial = 0;
  for (int32_t i = 0; i < 8; ++i) serial = serial << 8 | serial_bytes.Bytes()[i];
  EXPECT_EQ(std::to_string(serial), shown_serial);
  ASSERT_EQ(DecodeIssuerAndSerialNumber(Held(der), issuer_text, serial_bytes, &name_only), 0);
  EXPECT_EQ(Bytes(name_only), "CN=Signer, O=\"Ex, Inc\"");
}

}  // namespace
}  // namespace velmora::pki::testing
