// XML key values against xmlsec1, openssl and Debian's python3: documents xmlsec1 signs read into the
// numbers and certificate of the signing key, written key values verify xmlsec1 signatures, and bad
// documents end in their codes with what was read before them kept.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "keystore/certificate_source.h"
#include "keystore/xml_key.h"
#include "parsers/xml_dom.h"
#include "pki/certificate_codec.h"
#include "pki/key_export.h"
#include "tests/keystore/key_file_test_support.h"

namespace velmora::keystore::testing {
namespace {

using pki::testing::Shell;

constexpr const char kNumbersOracle[] = R"(
import math, subprocess, sys
from cryptography.hazmat.primitives import serialization as s
from cryptography.hazmat.primitives.asymmetric import rsa
def num(v): return v.to_bytes((v.bit_length() + 7) // 8 or 1, "big").hex().upper()
if sys.argv[1] == "numbers":
    n = s.load_pem_private_key(open(sys.argv[2], "rb").read(), None).private_numbers()
    if hasattr(n, "d"):
        print("1", num(n.public_numbers.n), num(n.public_numbers.e), num(n.d), num(n.p), num(n.q))
    else:
        p = n.public_numbers.parameter_numbers
        print("2", num(p.p), num(p.q), num(p.g), num(n.public_numbers.y), num(n.x))
else:  # an RSA key whose P is one byte shorter and whose Q one byte longer than half the modulus
    prime = lambda bits: int(subprocess.check_output(["openssl", "prime", "-generate", "-hex", "-bits", str(bits)]), 16)
    while True:
        p, q = prime(1016), prime(1032)
        if (p * q).bit_length() == 2048 and math.gcd(65537, (p - 1) * (q - 1)) == 1: break
    d = pow(65537, -1, (p - 1) * (q - 1))
    key = rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1), pow(q, -1, p), rsa.RSAPublicNumbers(65537, p * q))
    sys.stdout.write(key.private_key().private_bytes(s.Encoding.PEM, s.PrivateFormat.PKCS8, s.NoEncryption()).decode())
)";

// A signature template; every "%" becomes the dsig prefix ("" or "ds:").
constexpr const char kTemplate[] =
    R"(<Envelope xmlns="urn:envelope"><Data>hello</Data><%Signature XMLNS="http://www.w3.org/2000/09/xmldsig#">)"
    R"(<%SignedInfo><%CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/>)"
    R"(<%SignatureMethod Algorithm="METHOD"/><%Reference URI=""><%Transforms>)"
    R"(<%Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/></%Transforms>)"
    R"(<%DigestMethod Algorithm="http://www.w3.org/2001/04/xmlenc#sha256"/><%DigestValue/></%Reference>)"
    R"(</%SignedInfo><%SignatureValue/><%KeyInfo>INFO</%KeyInfo></%Signature></Envelope>)";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// Element cuts the first element named tag out of text.
std::string Element(const std::string& text, const std::string& tag) {
  const size_t from = text.find("<" + tag + ">"), to = text.find("</" + tag + ">") + tag.size() + 3;
  return text.substr(from, to - from);
}

std::string Text(const core::BufferCore& b) { return pki::testing::Bytes(b); }

struct Read {
  explicit Read(const std::string& text) : rc(ReadXmlKey(text.c_str(), certificates, keys)) {}
  pki::CertificateList certificates;
  core::PtrArray<KeyRecord> keys;
  int rc;
};

class XmlKey : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/velmora_xml_key_XXXXXX";
    if (!Tool("xmlsec1 --version") || !Tool("xmllint --version") || !pki::testing::OpensslAvailable() ||
        !pki::testing::DebianPythonAvailable() || mkdtemp(dir) == nullptr) {
      return;
    }
    const std::string d = std::string(dir) + "/";
    std::string pem;
    bool ok = Shell("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:2048 -out " + d + "dsa.par");
    for (const char* k : {"rsa", "dsa", "dsa2", "ec"}) {
      const std::string how = k[0] == 'r'   ? "-algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                              : k[0] == 'd' ? "-paramfile " + d + "dsa.par"
                                            : "-algorithm EC -pkeyopt ec_paramgen_curve:P-256";
      ok = ok && Shell("openssl genpkey " + how + " -out " + d + k + ".pem") &&
           Shell("openssl req -x509 -new -key " + d + k + ".pem -subj /CN=" + k + " -days 30 -out " + d + k + ".crt");
    }
    ok = ok && testing_support::RunPython(kNumbersOracle, "short", "", &pem, pki::testing::kDebianPython);
    std::ofstream(d + "short.pem") << pem;
    if (ok) dir_ = dir;
  }
  static void TearDownTestSuite() {
    if (!dir_.empty()) (void)Shell("rm -rf " + dir_);
  }
  void SetUp() override {
    if (dir_.empty()) GTEST_SKIP() << "xmlsec1, xmllint, openssl or Debian's python3 with cryptography is missing";
  }

  static std::string Path(const std::string& name) { return dir_ + "/" + name; }
  // OracleNumbers: python's numbers of a key file ("1", N, E, D, P, Q or "2", P, Q, G, Y, X).
  static Record OracleNumbers(const std::string& key) {
    std::string out;
    EXPECT_TRUE(testing_support::RunPython(kNumbersOracle, "numbers " + Path(key + ".pem"), "", &out,
                                           pki::testing::kDebianPython));
    const auto lines = testing_support::Lines(out);
    return lines.empty() ? Record() : lines[0];
  }
  // Sign has xmlsec1 sign the template under the prefix with key, KeyInfo holding info: with the key
  // named "k", or with the key's certificate.
  static std::string Sign(const std::string& key, const std::string& prefix, const std::string& info, bool named) {
    const std::string method = key[0] != 'd' ? "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"
                                             : "http://www.w3.org/2009/xmldsig11#dsa-sha256";
    std::string text = Replace(Replace(Replace(kTemplate, "INFO", info), "METHOD", method), "%", prefix);
    std::ofstream(Path("in.xml")) << Replace(text, "XMLNS", prefix.empty() ? "xmlns" : "xmlns:ds");
    const std::string keys = named ? "--privkey-pem:k " + Path(key + ".pem") : "--privkey-pem " + Path(key + ".pem,") + Path(key + ".crt");
    EXPECT_TRUE(Shell("xmlsec1 --sign " + keys + " --output " + Path("out.xml") + " " + Path("in.xml")));
    return pki::testing::ReadFile(Path("out.xml"));
  }
  static std::string Der(const std::string& key) {
    std::string der;
    EXPECT_TRUE(Shell("openssl x509 -outform DER -in " + Path(key + ".crt"), &der));
    return der;
  }
  static bool Xmllint(const std::string& text) {
    std::ofstream(Path("lint.xml")) << text;
    return Shell("xmllint --noout " + Path("lint.xml"));
  }
  // Load gives the component a store whose one entry is the key of a key file; the key is returned.
  static KeyRecord* Load(component::CertKeyComponent& component, const std::string& name) {
    auto* store = new CertStoreHandle();
    component.SetLoadedStore(store);
    KeyRecord key;
    EXPECT_EQ(pki::LoadKeyFromPem(key, pki::testing::ReadFile(Path(name + ".pem")).c_str()), 0) << name;
    EXPECT_EQ(store->AddKey(key), 0);
    return store->SelectedKeyInfo();
  }

  static std::string dir_;
  pki::testing::ProvidersLoaded providers_;
};

std::string XmlKey::dir_;

TEST_F(XmlKey, DocumentsXmlsecSignedGiveTheKeyAndCertificate) {
  std::string values;  // the key value elements of the unprefixed documents, RSA first
  for (const std::string& key : std::vector<std::string>{"rsa", "dsa"}) {
    const Record expected = OracleNumbers(key);
    for (const std::string& prefix : std::vector<std::string>{"", "ds:"}) {
      SCOPED_TRACE(prefix + key);
      const std::string text = Sign(key, prefix, Replace("<%KeyValue/><%X509Data/>", "%", prefix), false);
      const Read read(text);
      ASSERT_EQ(read.rc, 0);
      ASSERT_EQ(read.keys.Count(), 1);
      ASSERT_EQ(read.certificates.Count(), 1);
      const Record got = testing::Numbers(*read.keys.Get(0));
      const size_t kept = key == "rsa" ? 3 : 5;  // the public numbers
      EXPECT_EQ(Record(got.begin(), got.begin() + kept), Record(expected.begin(), expected.begin() + kept));
      EXPECT_EQ(Text(read.certificates.Get(0)->der), Der(key));
      if (prefix.empty()) values += Element(text, key == "rsa" ? "RSAKeyValue" : "DSAKeyValue") + "|";
    }
  }
  // Breadth-first: the shallow DSA value comes before the deeper RSA value.
  const size_t bar = values.find('|');
  const Read read("<Root><A><B>" + values.substr(0, bar) + "</B></A><C/>" + values.substr(bar + 1, values.size() - bar - 2) +
                  "</Root>");
  ASSERT_EQ(read.rc, 0);
  ASSERT_EQ(read.keys.Count(), 2);
  EXPECT_EQ(read.keys.Get(0)->Type, crypto::kKeyDsa);
  EXPECT_EQ(read.keys.Get(1)->Type, crypto::kKeyRsa);
}

TEST_F(XmlKey, BadDocumentsKeepWhatWasReadBefore) {
  const std::string rsa = Sign("rsa", "", "<KeyValue/><X509Data/>", false);
  const struct {
    std::string text;
    int rc, certificates, keys;
  } cases[] = {
      {"<<< not XML and no key names", 280, 0, 0},
      {"<a>RSAKeyValue</a>", 280, 0, 0},
      {rsa.substr(0, rsa.size() / 2), parsers::kXmlUnbalancedElements, 0, 0},
      {"<r>" + Element(rsa, "X509Data") + "<RSAKeyValue><Modulus>AQAB</Modulus></RSAKeyValue></r>",
       parsers::kXmlNoSuchChild, 1, 0},
      {"<r>" + Element(rsa, "RSAKeyValue") + "<X509Data><X509Certificate>MAMCAQA=</X509Certificate></X509Data></r>",
       447, 0, 1},
      {"<r><ds:X509Data xmlns:ds=\"urn:x\"/></r>", parsers::kXmlNoSuchChild, 0, 0},
  };
  for (const auto& c : cases) {
    const Read read(c.text);
    EXPECT_EQ(read.rc, c.rc) << c.text;
    EXPECT_EQ(read.certificates.Count(), c.certificates) << c.text;
    EXPECT_EQ(read.keys.Count(), c.keys) << c.text;
  }
}

TEST_F(XmlKey, WrittenValuesVerifyXmlsecSignaturesAndReadBack) {
  for (const std::string& key : std::vector<std::string>{"short", "dsa"}) {
    SCOPED_TRACE(key);
    std::ofstream(Path("signed.xml")) << Sign(key, "", "<KeyName>k</KeyName>", true);
    for (const std::string& holder : std::vector<std::string>{key, key == "dsa" ? "dsa2" : "rsa"}) {
      component::CertKeyComponent component;
      // A DSA key without Y gets it computed; the public text holds no private number.
      ASSERT_EQ(Load(component, holder)->DsaParams.Y.Clear(), 0);
      core::Buffer out;
      ASSERT_EQ(WriteXmlKey(component, 0, out), 0);
      EXPECT_TRUE(Xmllint(Text(out)));
      EXPECT_EQ(Text(out).find(key == "dsa" ? "<X>" : "<D>"), std::string::npos);
      std::ofstream(Path("keys.xml")) << "<Keys xmlns=\"http://www.aleksey.com/xmlsec/2002\"><KeyInfo "
                                         "xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><KeyName>k</KeyName><KeyValue>"
                                      << Text(out) << "</KeyValue></KeyInfo></Keys>";
      EXPECT_EQ(Shell("xmlsec1 --verify --keys-file " + Path("keys.xml") + " " + Path("signed.xml")), holder == key);
    }
    component::CertKeyComponent component;
    Load(component, key);
    core::Buffer out;
    ASSERT_EQ(WriteXmlKey(component, 1, out), 0);
    const std::string text = Text(out);
    EXPECT_TRUE(Xmllint(text));
    if (key == "short") {  // P padded to half the modulus, the longer Q kept whole
      std::string tags;
      for (size_t at = 0; (at = text.find("</", at)) != std::string::npos; at += 2) tags += text.substr(at + 2, text.find('>', at) - at - 1);
      EXPECT_EQ(tags, "Modulus>Exponent>P>Q>DP>DQ>InverseQ>D>RSAKeyValue>");
      EXPECT_EQ(Unbase64(Element(text, "P").substr(3, Element(text, "P").size() - 7)).size(), 128u);
    }
    const Read read(text);
    ASSERT_EQ(read.keys.Count(), 1);
    EXPECT_EQ(testing::Numbers(*read.keys.Get(0)), OracleNumbers(key));
  }
}

TEST_F(XmlKey, SelectionCertificatesAndKeysWithoutXmlForm) {
  component::CertKeyComponent component;
  core::Buffer out;
  const char* text = nullptr;
  uint32_t length = 99;
  EXPECT_EQ(WriteXmlKey(component, 0, out), 144);
  EXPECT_EQ(Text(component.LastErrorText()), "No certificate selected. Please select a certificate first.");
  EXPECT_EQ(WriteX509Data(component, &text, &length, 0), 144);
  EXPECT_EQ(length, 0u);

  Load(component, "ec");
  ASSERT_EQ(out.SetString("stale"), 0);
  EXPECT_EQ(WriteXmlKey(component, 1, out), 0);
  EXPECT_EQ(Text(out), "");
  EXPECT_EQ(WriteX509Data(component, &text, &length, 1), 0);
  EXPECT_EQ(std::string(text, length), "");

  const std::string der = Der("rsa");
  pki::Certificate certificate;
  ASSERT_EQ(pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()), certificate), 0);
  ASSERT_EQ(static_cast<CertStoreHandle*>(component.LoadedStore())->AddCertificate(certificate), 0);
  static_cast<CertStoreHandle*>(component.LoadedStore())->record.selected_index = 1;
  std::string base64;
  ASSERT_TRUE(Shell("openssl x509 -outform DER -in " + Path("rsa.crt") + " | openssl base64 -e", &base64));
  ASSERT_EQ(WriteX509Data(component, &text, &length, 1), 0);
  const std::string x509(text, length);
  EXPECT_EQ(x509, "<X509Data><X509Certificate>" + Replace(base64.substr(0, base64.size() - 1), "\n", "\r\n") +
                      "</X509Certificate></X509Data>");
  EXPECT_TRUE(Xmllint(x509));
}

}  // namespace
}  // namespace velmora::keystore::testing
