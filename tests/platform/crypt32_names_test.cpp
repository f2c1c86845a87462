// Names as text: CertNameToStrA of every corpus and bundle subject against the attributes python3's
// cryptography reads, CertStrToNameA of that text back to the same attributes with the string types
// asn1crypto reports, hostile texts, and the seeded mutation loop of the text reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/crypto/crypt32_modules.h"
#include "platform/last_error.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/core/python_oracle.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::platform {

std::string FuzzNameStringInput(const std::string& input);

namespace {

using pki::testing::kDebianPython;
constexpr DWORD kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;

// Per certificate: the subject's DER, then per attribute its RDN index, dotted OID and UTF-8 value (hex).
// Subjects holding a value that is no text are left out.
constexpr const char* kSubjects = R"(
import sys, glob, os
from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding
files = []
for pattern in sys.argv[1:]:
    files += glob.glob(pattern)
seen = set()
for name in files:
    if not os.path.isfile(name):
        continue
    data = open(name, 'rb').read()
    blocks = [data]
    if b'-----BEGIN CERTIFICATE-----' in data:
        blocks = [b'-----BEGIN CERTIFICATE-----' + b for b in data.split(b'-----BEGIN CERTIFICATE-----')[1:]]
    for block in blocks:
        try:
            cert = x509.load_pem_x509_certificate(block) if block.startswith(b'-----') else x509.load_der_x509_certificate(block)
            subject = cert.subject
            der = subject.public_bytes()
            parts = []
            for index, rdn in enumerate(subject.rdns):
                for a in rdn:
                    if not isinstance(a.value, str) or '\0' in a.value:
                        raise ValueError
                    parts.append('%d:%s:%s' % (index, a.oid.dotted_string, a.value.encode().hex() or '-'))
        except Exception:
            continue
        if der in seen or not parts:
            continue
        seen.add(der)
        print(der.hex(), ' '.join(parts))
)";

// Per DER Name on input: per attribute its RDN index, OID, value (hex) and the tag of its string type.
constexpr const char* kTypes = R"(
import sys
from asn1crypto import x509
for line in sys.stdin:
    name = x509.Name.load(bytes.fromhex(line.strip()))
    parts = []
    for index, rdn in enumerate(name.chosen):
        for a in rdn:
            raw = a['value'].dump()
            tag, n, at = raw[0], raw[1], 2
            if n & 0x80:
                n, at = int.from_bytes(raw[2:2 + (n & 0x7F)], 'big'), 2 + (n & 0x7F)
            body = raw[at:at + n]
            text = body.decode({30: 'utf-16-be', 28: 'utf-32-be', 20: 'latin-1'}.get(tag, 'utf-8'))
            parts.append('%d:%s:%s:%d' % (index, a['type'].dotted, text.encode().hex() or '-', tag))
    print(' '.join(parts))
)";

struct Attribute {
  int rdn;
  std::string oid, value;
};

std::vector<Attribute> ReadAttributes(const std::vector<std::string>& fields, size_t first) {
  std::vector<Attribute> out;
  for (size_t i = first; i < fields.size(); ++i) {
    const size_t a = fields[i].find(':'), b = fields[i].find(':', a + 1);
    const std::string hex = fields[i].substr(b + 1, fields[i].find(':', b + 1) - b - 1);
    out.push_back({std::stoi(fields[i].substr(0, a)), fields[i].substr(a + 1, b - a - 1),
                   hex == "-" ? "" : testing_support::FromHex(hex)});
  }
  return out;
}

// ExpectedText writes the attributes as the text form promises, from the oracle's reading alone.
std::string ExpectedText(std::vector<Attribute> attributes, bool reverse) {
  static const std::vector<std::pair<std::string, std::string>> kKeys = {
      {"2.5.4.3", "CN"}, {"2.5.4.7", "L"}, {"2.5.4.10", "O"}, {"2.5.4.11", "OU"}, {"1.2.840.113549.1.9.1", "E"},
      {"2.5.4.6", "C"}, {"2.5.4.8", "S"}, {"2.5.4.9", "STREET"}, {"2.5.4.12", "T"}, {"2.5.4.42", "G"},
      {"2.5.4.43", "I"}, {"2.5.4.4", "SN"}, {"0.9.2342.19200300.100.1.25", "DC"}, {"2.5.4.5", "SERIALNUMBER"},
      {"2.5.4.17", "POSTALCODE"}, {"2.5.4.20", "PHONE"}};
  if (reverse) {
    const int last = attributes.back().rdn;
    for (Attribute& a : attributes) a.rdn = last - a.rdn;
    std::stable_sort(attributes.begin(), attributes.end(), [](auto& x, auto& y) { return x.rdn < y.rdn; });
  }
  std::string text;
  for (size_t i = 0; i < attributes.size(); ++i) {
    const Attribute& a = attributes[i];
    if (i != 0) text += attributes[i - 1].rdn == a.rdn ? " + " : ", ";
    auto key = std::find_if(kKeys.begin(), kKeys.end(), [&a](auto& k) { return k.first == a.oid; });
    text += (key != kKeys.end() ? key->second : "OID." + a.oid) + "=";
    const std::string& v = a.value;
    const bool quote = v.empty() || v.front() == ' ' || v.back() == ' ' || v.front() == '\t' || v.back() == '\t' ||
                       v.find_first_of(",+=\"<>;#\r\n") != std::string::npos;
    if (!quote) {
      text += v;
      continue;
    }
    text += '"';
    for (const char c : v) text += c == '"' ? std::string("\"\"") : std::string(1, c);
    text += '"';
  }
  return text;
}

std::string NameToText(const std::string& der, DWORD type) {
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), reinterpret_cast<uint8_t*>(const_cast<char*>(der.data()))};
  const DWORD size = CertNameToStrA(kEncoding, &blob, type, nullptr, 0);
  std::string text(size, '\0');
  if (size == 0 || CertNameToStrA(kEncoding, &blob, type, text.data(), size) != size) return "<failed>";
  text.resize(size - 1);
  return text;
}

bool TextToName(const std::string& text, DWORD flags, std::string* der, uint32_t* error = nullptr) {
  DWORD size = 0;
  if (CertStrToNameA(kEncoding, text.c_str(), kCertX500NameStr | flags, nullptr, nullptr, &size, nullptr) == 0) {
    if (error != nullptr) *error = GetLastError();
    return false;
  }
  der->assign(size, '\0');
  return CertStrToNameA(kEncoding, text.c_str(), kCertX500NameStr | flags, nullptr,
                        reinterpret_cast<uint8_t*>(der->data()), &size, nullptr) != 0;
}

bool PrintableOnly(const std::string& v) {
  return std::all_of(v.begin(), v.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string(" '()+,-./:=?").find(c) != std::string::npos;
  });
}

TEST(Crypt32Names, CorpusSubjectsReadAndWriteBackAsTheOraclesSee) {
  const std::string files = pki::testing::CorpusFiles();
  std::string listing;
  if (!pki::testing::DebianPythonAvailable() || files.empty() ||
      !testing_support::RunPython(kSubjects, files + " 2>/dev/null", "", &listing, kDebianPython)) {
    GTEST_SKIP() << "Debian's python3 with cryptography or the certificate corpus is missing";
  }
  const auto subjects = testing_support::Lines(listing);
  ASSERT_GT(subjects.size(), 100u);
  std::string reencoded;
  std::vector<std::vector<Attribute>> expected;
  for (const auto& fields : subjects) {
    const std::string der = testing_support::FromHex(fields.at(0));
    const std::vector<Attribute> attributes = ReadAttributes(fields, 1);
    const std::string text = NameToText(der, kCertX500NameStr);
    ASSERT_EQ(text, ExpectedText(attributes, false)) << fields.at(0);
    ASSERT_EQ(NameToText(der, kCertX500NameStr | kCertNameStrReverseFlag), ExpectedText(attributes, true));
    std::string back;
    ASSERT_TRUE(TextToName(text, 0, &back)) << text;
    reencoded += testing_support::ToHex(back) + "\n";
    expected.push_back(attributes);
  }
  std::string types;
  ASSERT_TRUE(testing_support::RunPython(kTypes, "", reencoded, &types, kDebianPython));
  const auto read = testing_support::Lines(types);
  ASSERT_EQ(read.size(), expected.size());
  for (size_t i = 0; i < read.size(); ++i) {
    const std::vector<Attribute> got = ReadAttributes(read[i], 0);
    ASSERT_EQ(got.size(), expected[i].size());
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].rdn, expected[i][k].rdn);
      EXPECT_EQ(got[k].oid, expected[i][k].oid);
      EXPECT_EQ(got[k].value, expected[i][k].value);
      const std::string& field = read[i][k];
      const int tag = std::stoi(field.substr(field.rfind(':') + 1));
      const bool ia5 = got[k].oid == "1.2.840.113549.1.9.1" || got[k].oid == "0.9.2342.19200300.100.1.25";
      const bool ascii = std::all_of(got[k].value.begin(), got[k].value.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      EXPECT_EQ(tag, ia5 && ascii ? 22 : PrintableOnly(got[k].value) ? 19 : 12) << field;
    }
  }
}

TEST(Crypt32Names, HostileTextsFailWithTheirErrorOrRoundTrip) {
  struct Case {
    std::string text;
    DWORD flags;
    uint32_t error;  // 0: accepted, and its text reads back to the same Name
    size_t fault;    // where error_at points
  };
  const std::string long_value(3000, 'x');
  const Case cases[] = {
      {"CN=\"unterminated", 0, kCryptEInvalidX500String, 3},
      {"XX=1, CN=a", 0, kCryptEInvalidX500String, 0},
      {"CN=a, ", 0, kCryptEInvalidX500String, 6},
      {"CN=a\"b", 0, kCryptEInvalidX500String, 4},
      {"CN=\xC3\x28", 0, kCryptEInvalidX500String, 3},
      {"=a", 0, kCryptEInvalidX500String, 0},
      {"CN=" + long_value, 0, 0, 0},
      {"CN=\"a \"\"quoted\"\", value\" + O=x;OU=y", 0, 0, 0},
      {"OID.1.2.3.4=v, 2.5.4.3=w, cn=lower", 0, 0, 0},
      {"CN=a+b", kCertNameStrNoPlusFlag, 0, 0},
      {"O=\"?2\t\", E=a@b", 0, 0, 0},
      {"", 0, 0, 0},
  };
  for (const Case& c : cases) {
    DWORD size = 0;
    const char* error_at = nullptr;
    const BOOL ok =
        CertStrToNameA(kEncoding, c.text.c_str(), kCertX500NameStr | c.flags, nullptr, nullptr, &size, &error_at);
    if (c.error != 0) {
      EXPECT_EQ(ok, 0) << c.text;
      EXPECT_EQ(GetLastError(), c.error) << c.text;
      EXPECT_EQ(error_at, c.text.c_str() + c.fault) << c.text;
      continue;
    }
    std::string der, again;
    ASSERT_TRUE(TextToName(c.text, c.flags, &der)) << c.text;
    ASSERT_TRUE(TextToName(NameToText(der, kCertX500NameStr), 0, &again)) << c.text;
    EXPECT_EQ(again, der) << c.text;
  }
  // A short output buffer reports the size it needs.
  std::string der;
  ASSERT_TRUE(TextToName("CN=abc", 0, &der));
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), reinterpret_cast<uint8_t*>(der.data())};
  char small[4];
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kCertX500NameStr, small, sizeof small), 0u);
  EXPECT_EQ(GetLastError(), kErrorMoreData);
  DWORD short_len = 3;
  uint8_t out[3];
  EXPECT_EQ(CertStrToNameA(kEncoding, "CN=abc", kCertX500NameStr, nullptr, out, &short_len, nullptr), 0);
  EXPECT_EQ(GetLastError(), kErrorMoreData);
  EXPECT_EQ(short_len, der.size());
}

TEST(Crypt32Names, MutatedTextsFailOrReadBackToTheSameName) {
  const std::vector<std::string> seeds = {"CN=Alice, O=Example", "CN=\"a, b\" + OU=x; C=DE",
                                          "OID.1.2.3=\"#1\", E=a@b.example, DC=example",
                                          "SERIALNUMBER=42, T=\"\"\"\", G=\xC3\xA9"};
  testing_support::RunMutationLoop("NameString", seeds, 20000, "=,;+\"# OID.\xC3\xA9\x01", FuzzNameStringInput);
}

}  // namespace
}  // namespace velmora::platform
