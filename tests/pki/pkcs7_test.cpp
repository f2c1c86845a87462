// PKCS #7 bundles and signed data against the openssl command line, asn1crypto and python3-cryptography:
// bundles made at test time and the vectors' bundles load as openssl lists them, in chain order;
// CRLs stay whole; bundles we build read back in our order; signed messages decode to asn1crypto's
// fields and re-encode to messages openssl still verifies.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/base64.h"
#include "core/hex.h"
#include "pki/certificate_codec.h"
#include "pki/pkcs7.h"
#include "tests/pki/cert_test_support.h"

namespace velmora::pki::testing {

namespace {

constexpr const char* kPkcs7Vectors = "/usr/lib/python3/dist-packages/cryptography_vectors/pkcs7";

bool ToolsPresent() { return OpensslAvailable() && DebianPythonAvailable(); }

std::string Shell(const std::string& command) {
  std::string out;
  EXPECT_TRUE(RunCommand(command + " 2>/dev/null", &out)) << command;
  return out;
}

std::string Base64(const std::string& bytes) {
  core::Buffer text;
  EXPECT_EQ(core::Base64Encode(text, bytes.data(), static_cast<int32_t>(bytes.size()), 1, 64, 0), 0);
  return Bytes(text);
}

std::string LowerHex(const core::BufferCore& bytes) {
  core::Buffer hex;
  EXPECT_EQ(core::AppendHexLower(hex, bytes.Bytes(), bytes.Length()), 0);
  return Bytes(hex);
}

std::vector<std::string> Ders(const SignedDataEntry& entry) {
  std::vector<std::string> ders;
  for (int32_t i = 0; i < entry.signedData.certificates.Count(); ++i) {
    ders.push_back(Bytes(entry.signedData.certificates.Get(i)->certificate.der));
  }
  return ders;
}

// ChainCa makes root, intermediate and leaf certificates in dir (root.pem, inter.pem, leaf.pem, and
// their keys), and a second pair that issue each other (a.pem issued by CN=B, b.pem issued by CN=A).
void ChainCa(const ScratchDir& dir) {
  const std::string d = dir.path;
  const std::string ext = " -extfile <(printf 'basicConstraints=critical,CA:TRUE')";
  Shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -subj /CN=Root -days 30");
  Shell("cd " + d + " && openssl req -newkey rsa:2048 -nodes -keyout inter.key -out inter.csr -subj /CN=Inter");
  Shell("cd " + d + " && bash -c \"openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -set_serial 2 -days 30 -out inter.pem" +
      ext + "\"");
  Shell("cd " + d + " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout leaf.key -out leaf.csr -subj /CN=Leaf");
  Shell("cd " + d + " && bash -c \"openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -set_serial 3 -days 30 -out leaf.pem" +
        " -extfile <(printf 'subjectKeyIdentifier=hash')\"");
  for (const char* pair : {"A B", "B A"}) {
    const std::string self(1, pair[0]), other(1, pair[2]);
    Shell("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout " + other + "0.key -out " + other +
        "0.pem -subj /CN=" + other + " -days 30");
    Shell("cd " + d + " && openssl req -newkey rsa:2048 -nodes -keyout " + self + ".key -out " + self + ".csr -subj /CN=" + self);
    Shell("cd " + d + " && openssl x509 -req -in " + self + ".csr -CA " + other + "0.pem -CAkey " + other +
        "0.key -set_serial 9 -days 30 -out " + self + ".pem");
  }
}

// PrintedCerts is the DER of each certificate `openssl pkcs7 -print_certs` lists for a DER bundle.
std::vector<std::string> PrintedCerts(const std::string& path) {
  return CertificateDers(Shell("openssl pkcs7 -inform DER -print_certs -in " + path));
}

// IssuerOrdered is true when no certificate stands after a certificate that it issued.
bool IssuerOrdered(const SignedDataEntry& entry) {
  const auto& list = entry.signedData.certificates;
  for (int32_t i = 0; i < list.Count(); ++i) {
    for (int32_t k = i + 1; k < list.Count(); ++k) {
      const TbsCertificate& later = list.Get(k)->certificate.tbs;
      const TbsCertificate& earlier = list.Get(i)->certificate.tbs;
      if (!later.issuer.Equals(later.subject) && later.issuer.Equals(earlier.subject)) return false;
    }
  }
  return true;
}

}  // namespace

TEST(P7bLoad, BundlesLoadAsOpensslListsThemInChainOrder) {
  if (!ToolsPresent()) GTEST_SKIP() << "openssl or Debian python3 with asn1crypto missing";
  ScratchDir dir;
  ChainCa(dir);
  const std::string d = dir.path;
  Shell("cd " + d + " && cat root.pem leaf.pem inter.pem > chain.pem && openssl crl2pkcs7 -nocrl -certfile chain.pem -outform DER -out chain.p7b");
  const std::string chain = dir.Read("chain.p7b");
  struct Case {
    std::string name, bytes, der_path;
  } cases[] = {
      {"chain DER", chain, d + "/chain.p7b"},
      {"chain base64", Base64(chain), d + "/chain.p7b"},
      {"amazon DER", ReadFile(std::string(kPkcs7Vectors) + "/amazon-roots.der"), std::string(kPkcs7Vectors) + "/amazon-roots.der"},
      {"amazon p7b base64", Base64(ReadFile(std::string(kPkcs7Vectors) + "/amazon-roots.p7b")),
       std::string(kPkcs7Vectors) + "/amazon-roots.der"},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  Shell("openssl pkcs7 -in " + std::string(kPkcs7Vectors) + "/isrg.pem -outform DER -out " + d + "/isrg.der");
  const std::string isrg = ReadFile(std::string(kPkcs7Vectors) + "/isrg.pem");
  const size_t body = isrg.find('\n') + 1;
  all.push_back({"isrg base64 body", isrg.substr(body, isrg.find("-----END") - body), d + "/isrg.der"});
  for (const Case& c : all) {
    SCOPED_TRACE(c.name);
    SignedDataEntry entry;
    ASSERT_EQ(LoadP7b(reinterpret_cast<const uint8_t*>(c.bytes.data()), static_cast<int32_t>(c.bytes.size()), entry), 0);
    EXPECT_EQ(Bytes(entry.bytes), c.bytes);
    ASSERT_EQ(OrderCertificateChain(entry), 0);
    std::vector<std::string> ours = Ders(entry), theirs = PrintedCerts(c.der_path);
    EXPECT_TRUE(IssuerOrdered(entry));
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    EXPECT_EQ(ours, theirs);
  }
  // The generated chain comes out leaf, intermediate, root.
  SignedDataEntry entry;
  ASSERT_EQ(LoadP7b(reinterpret_cast<const uint8_t*>(chain.data()), static_cast<int32_t>(chain.size()), entry), 0);
  ASSERT_EQ(OrderCertificateChain(entry), 0);
  const std::vector<std::string> expected = {CertificateDers(dir.Read("leaf.pem"))[0], CertificateDers(dir.Read("inter.pem"))[0],
                                             CertificateDers(dir.Read("root.pem"))[0]};
  EXPECT_EQ(Ders(entry), expected);
}

TEST(P7bLoad, IndefiniteLengthsReadLikeTheDefiniteForm) {
  if (!ToolsPresent()) GTEST_SKIP() << "openssl or Debian python3 with asn1crypto missing";
  ScratchDir dir;
  ChainCa(dir);
  // Without signed attributes an RSA signature is the same in both messages.
  const std::string sign = "cd " + dir.path + " && echo streamed content | openssl cms -sign -binary -noattr -signer inter.pem -inkey inter.key -outform DER";
  Shell(sign + " -stream -out stream.der");
  Shell(sign + " -nodetach -out plain.der");
  ASSERT_EQ(static_cast<uint8_t>(dir.Read("stream.der")[1]), 0x80);  // an indefinite length
  std::string encodings[2];
  int n = 0;
  for (const char* name : {"stream.der", "plain.der"}) {
    Pkcs7ContentInfo info;
    const std::string bytes = dir.Read(name);
    ASSERT_EQ(info.input.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
    ASSERT_EQ(info.Decode(), 0) << name;
    ASSERT_NE(info.signedData, nullptr);
    EXPECT_EQ(Bytes(info.signedData->content), "streamed content\n");
    DerWriter writer;
    ASSERT_EQ(EncodeSignedData(*info.signedData, writer), 0);
    encodings[n++] = Bytes(writer);
  }
  EXPECT_EQ(encodings[0], encodings[1]);
}

TEST(P7bLoad, CrlsStayWholeAndDuplicatesOrCyclesEnd) {
  if (!ToolsPresent()) GTEST_SKIP() << "openssl or Debian python3 with asn1crypto missing";
  ScratchDir dir;
  ChainCa(dir);
  const std::string d = dir.path;
  const std::string crl = std::string(kVectors) + "/PKITS_data/crls/GoodCACRL.crl";
  Shell("cd " + d + " && cat root.pem inter.pem > chain.pem && openssl crl -inform DER -in " + crl +
      " -out crl.pem && openssl crl2pkcs7 -in crl.pem -certfile chain.pem -outform DER -out crl.p7b");
  Shell("cd " + d + " && openssl crl2pkcs7 -nocrl -certfile root.pem -certfile root.pem -outform DER -out twice.p7b");
  Shell("cd " + d + " && openssl crl2pkcs7 -nocrl -certfile A.pem -certfile B.pem -certfile leaf.pem -outform DER -out cycle.p7b");
  const std::pair<const char*, int> cases[] = {{"crl.p7b", 2}, {"twice.p7b", 2}, {"cycle.p7b", 3}};
  for (const auto& [name, count] : cases) {
    SCOPED_TRACE(name);
    const std::string bytes = dir.Read(name);
    SignedDataEntry entry;
    ASSERT_EQ(LoadP7b(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), entry), 0);
    ASSERT_EQ(OrderCertificateChain(entry), 0);
    std::vector<std::string> ours = Ders(entry), theirs = PrintedCerts(dir / name);
    ASSERT_EQ(static_cast<int>(ours.size()), count);
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    EXPECT_EQ(ours, theirs);
  }
  const std::string bytes = dir.Read("crl.p7b");
  SignedDataEntry entry;
  ASSERT_EQ(LoadP7b(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), entry), 0);
  ASSERT_EQ(entry.signedData.crls.Count(), 1);
  EXPECT_EQ(std::string(entry.signedData.crls.Item(0), static_cast<size_t>(entry.signedData.crls.ItemLength(0))), ReadFile(crl));
}

TEST(P7bBuild, BundlesReadBackInOurOrder) {
  // No certificate: SEQUENCE { signedData, [0] { SEQUENCE { 1, SET {}, SEQUENCE { data }, SET {} } } }.
  CertificateList none;
  core::Buffer out;
  ASSERT_EQ(BuildP7b(none, out), 0);
  EXPECT_EQ(LowerHex(out), "3023" "06092a864886f70d010702" "a016" "3014" "020101" "3100" "300b06092a864886f70d010701" "3100");
  if (!ToolsPresent()) GTEST_SKIP() << "openssl or Debian python3 with asn1crypto missing";
  ScratchDir dir;
  ChainCa(dir);
  for (const std::vector<const char*>& names : {std::vector<const char*>{"leaf.pem"}, {"root.pem", "leaf.pem", "inter.pem"}}) {
    CertificateList list;
    std::vector<std::string> expected;
    for (const char* name : names) {
      expected.push_back(CertificateDers(dir.Read(name))[0]);
      Certificate* certificate = AddNew(list);
      ASSERT_EQ(ParseCertificate(reinterpret_cast<const uint8_t*>(expected.back().data()), static_cast<int32_t>(expected.back().size()),
                                 *certificate),
                0);
    }
    ASSERT_EQ(BuildP7b(list, out), 0);
    const std::string path = dir.Write("built.p7b", Bytes(out));
    EXPECT_EQ(PrintedCerts(path), expected);
    std::vector<std::string> python;
    std::istringstream lines(Shell(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/pkcs7_oracle.py certs " + path));
    for (std::string line; std::getline(lines, line);) python.push_back(testing_support::FromHex(line));
    EXPECT_EQ(python, expected);
  }
}

namespace {

// Fields prints a decoded message in the oracle's "name=value" lines.
std::string Fields(const SignedData& data) {
  std::string text = "version=" + std::to_string(data.version) + "\ncontent=" + LowerHex(data.content) + "\n";
  for (int32_t i = 0; i < data.signerInfos.Count(); ++i) {
    const SignerInfo& s = *data.signerInfos.Get(i);
    text += "signer version=" + std::to_string(s.version) + "\n";
    if (s.version == 3) {
      text += "key id=" + LowerHex(s.subjectKeyIdentifier) + "\n";
    } else {
      std::string serial = LowerHex(s.serialNumber);
      serial.erase(0, std::min(serial.find_first_not_of('0'), serial.size() - 1));
      text += "issuer der=" + LowerHex(s.issuerDer) + "\nserial=" + serial + "\n";
    }
    text += "digest=" + Bytes(s.digestAlgorithm.oid) + "\nsignature algorithm=" + Bytes(s.signatureAlgorithm.oid) +
            "\nsignature=" + LowerHex(s.signature) + "\n";
    for (int32_t a = 0; a < s.signedAttributes.Count(); ++a) {
      const CertAttribute& attribute = *s.signedAttributes.Get(a);
      for (int32_t v = 0; v < attribute.values.Count(); ++v) {
        core::Buffer value;
        EXPECT_EQ(value.SetData(attribute.values.ItemLength(v), attribute.values.Item(v)), 0);
        const bool text_form = attribute.type.EqualsNoCase(kPkcs9ContentTypeOid) || attribute.type.EqualsNoCase(kPkcs9SigningTimeOid);
        text += "attribute " + Bytes(attribute.type) + "=" + (text_form ? Bytes(value) : LowerHex(value)) + "\n";
      }
    }
  }
  return text;
}

}  // namespace

TEST(SignedDataCodec, MessagesDecodeLikeAsn1cryptoAndStillVerifyAfterEncoding) {
  if (!ToolsPresent()) GTEST_SKIP() << "openssl or Debian python3 with asn1crypto missing";
  ScratchDir dir;
  ChainCa(dir);
  const std::string sign = "cd " + dir.path + " && echo signed content | openssl cms -sign -binary -nodetach -outform DER ";
  const std::pair<const char*, std::string> cases[] = {
      {"rsa attributes", "-signer inter.pem -inkey inter.key"},
      {"rsa noattr", "-noattr -signer inter.pem -inkey inter.key"},
      {"p256", "-signer leaf.pem -inkey leaf.key -certfile inter.pem"},
      {"p256 keyid", "-keyid -signer leaf.pem -inkey leaf.key"},
  };
  for (const auto& [name, options] : cases) {
    SCOPED_TRACE(name);
    Shell(sign + options + " -out message.der");
    const std::string bytes = dir.Read("message.der");
    Pkcs7ContentInfo info;
    ASSERT_EQ(info.input.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
    ASSERT_EQ(info.Decode(), 0);
    ASSERT_NE(info.signedData, nullptr);
    EXPECT_EQ(Fields(*info.signedData),
              Shell(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/pkcs7_oracle.py signers " + dir / "message.der"));
    // Decode, encode inside a ContentInfo, verify.
    DerWriter writer;
    ASSERT_EQ(writer.BeginElement(0x30), 0);
    ASSERT_EQ(writer.AppendOid(kPkcs7SignedDataOid, 0x06), 0);
    ASSERT_EQ(writer.BeginElement(0xA0), 0);
    ASSERT_EQ(EncodeSignedData(*info.signedData, writer), 0);
    ASSERT_EQ(writer.EndElement(0), 0);
    ASSERT_EQ(writer.EndElement(0), 0);
    dir.Write("again.der", Bytes(writer));
    EXPECT_EQ(Shell("openssl cms -verify -noverify -inform DER -in " + dir / "again.der"), "signed content\n");

    // Copies and clones are independent of their source.
    SignedDataEntry entry;
    ASSERT_EQ(SignedData::Copy(entry.signedData, *info.signedData), 0);
    RecordPtr<SignedDataEntry> clone = SignedDataEntry::Clone(entry);
    ASSERT_NE(clone, nullptr);
    RecordPtr<SignerInfo> signer = Clone(*info.signedData->signerInfos.Get(0));
    ASSERT_NE(signer, nullptr);
    const std::string before = Fields(*info.signedData);
    info.signedData->signerInfos.Get(0)->signature.Clear();
    (void)info.signedData->Reset();
    EXPECT_EQ(Fields(entry.signedData), before);
    EXPECT_EQ(Fields(clone->signedData), before);
    EXPECT_GT(signer->signature.Length(), 0);
    if (entry.signedData.signerInfos.Get(0)->signedAttributes.Count() > 0) {
      RecordPtr<CertAttribute> attribute = Clone(*entry.signedData.signerInfos.Get(0)->signedAttributes.Get(0));
      ASSERT_NE(attribute, nullptr);
      (void)entry.signedData.Reset();
      EXPECT_EQ(Bytes(attribute->type), kPkcs9ContentTypeOid);
      EXPECT_EQ(attribute->values.Count(), 1);
    }
  }
}

TEST(SignedDataCodec, FourElementsAndBadInputGiveTheirCodes) {
  // version, digest algorithms, content info and signer infos, without certificates or CRLs.
  DerWriter four;
  ASSERT_EQ(four.BeginElement(0x30), 0);
  ASSERT_EQ(four.AppendSmallInteger(1, 0x02), 0);
  ASSERT_EQ(four.AppendHeader(0x31, 0), 0);
  ASSERT_EQ(four.BeginElement(0x30), 0);
  ASSERT_EQ(four.AppendOid(kPkcs7DataOid, 0x06), 0);
  ASSERT_EQ(four.EndElement(0), 0);
  ASSERT_EQ(four.AppendHeader(0x31, 0), 0);
  ASSERT_EQ(four.EndElement(0), 0);
  SignedData data;
  EXPECT_EQ(ParseSignedData(four, data), 447);
  SignedDataEntry entry;
  EXPECT_EQ(LoadP7b(nullptr, 0, entry), 447);
  const uint8_t data_info[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01, 0xA0, 0x00};
  EXPECT_EQ(LoadP7b(data_info, sizeof data_info, entry), 446);
  SignerInfo signer;
  signer.version = 2;
  DerWriter writer;
  EXPECT_EQ(SignerInfo::Encode(signer, writer), 447);
  signer.version = 3;
  EXPECT_EQ(SignerInfo::Encode(signer, writer), 447);
}

}  // namespace velmora::pki::testing
