// Enveloped data against `openssl cms -encrypt` and asn1crypto: messages openssl encrypts for RSA
// recipients (PKCS #1 v1.5, and OAEP with its hash, MGF1 hash and label) decode to the fields asn1crypto
// reads and decrypt to the plaintext with the first recipient's key; another content cipher gives 2001
// and no output; a damaged recipient keeps the records decoded before it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hex.h"
#include "pki/enveloped_data.h"
#include "pki/key_der.h"
#include "pki/pem_armour.h"
#include "pki/pkcs7.h"
#include "platform/memory.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {

namespace {

// kOracle prints each recipient and the encrypted content info as Lines renders them; with a second
// argument, the hex of the message with the second recipient's encrypted key tagged NULL instead.
constexpr char kOracle[] = R"(import sys
from asn1crypto import cms, pem
data = open(sys.argv[1], 'rb').read()
data = pem.unarmor(data)[2] if pem.detect(data) else data
env = cms.ContentInfo.load(data)['content']
if len(sys.argv) > 2:
    k = env['recipient_infos'][1].chosen
    at = data.find(k.dump()) + k.dump().find(k['encrypted_key'].dump())
    sys.exit(print((data[:at] + b'\x05' + data[at + 1:]).hex()))
short = {'common_name': 'CN', 'organization_name': 'O'}
for ri in env['recipient_infos']:
    k, issuer, serial, ski = ri.chosen, '', '', ''
    if k['rid'].name == 'issuer_and_serial_number':
        issuer = ', '.join(short[a['type'].native] + '=' + a['value'].native for rdn in k['rid'].chosen['issuer'].chosen for a in rdn)
        n = k['rid'].chosen['serial_number'].native
        serial = n.to_bytes(max(1, (n.bit_length() + 7) // 8), 'big').hex()
    else:
        ski = k['rid'].chosen.native.hex()
    alg, h, m, label = k['key_encryption_algorithm'], '1.3.14.3.2.26', '1.3.14.3.2.26', ''
    if alg['algorithm'].dotted == '1.2.840.113549.1.1.7':
        p = alg['parameters']
        h, m = p['hash_algorithm']['algorithm'].dotted, p['mask_gen_algorithm']['parameters']['algorithm'].dotted
        label = p['p_source_algorithm']['parameters'].native.hex()
    print('|'.join(['R', k['version'].native[1:], issuer, serial, ski, alg['algorithm'].dotted, k['encrypted_key'].native.hex(), h, m, label]))
eci = env['encrypted_content_info']
ca = eci['content_encryption_algorithm']
print('|'.join(['C', env['version'].native[1:], eci['content_type'].dotted, ca['algorithm'].dotted,
                (ca['parameters'].contents or b'').hex(), (eci['encrypted_content'].native or b'').hex()]))
)";

std::string LowerHex(const core::BufferCore& bytes) {
  core::Buffer hex;
  EXPECT_EQ(core::AppendHexLower(hex, bytes.Bytes(), bytes.Length()), 0);
  return Bytes(hex);
}

std::string Line(const RecipientInfo& r) {
  return "R|" + std::to_string(r.version) + "|" + Bytes(r.issuer) + "|" + LowerHex(r.serialNumber) + "|" +
         LowerHex(r.subjectKeyIdentifier) + "|" + Bytes(r.keyEncryptionAlgorithm.oid) + "|" + LowerHex(r.encryptedKey) +
         "|" + Bytes(r.oaepHashAlgorithm.oid) + "|" + Bytes(r.mgf1HashAlgorithm.oid) + "|" + LowerHex(r.oaepLabel);
}

std::vector<std::string> Lines(const EnvelopedData& data) {
  std::vector<std::string> lines;
  for (int32_t i = 0; i < data.recipientInfos.Count(); ++i) lines.push_back(Line(*data.recipientInfos.Get(i)));
  lines.push_back("C|" + std::to_string(data.version) + "|" + Bytes(data.contentType) + "|" +
                  Bytes(data.contentEncryptionAlgorithm) + "|" + LowerHex(data.contentEncryptionParameters) + "|" +
                  LowerHex(data.encryptedContent));
  return lines;
}

// Oracle runs kOracle over a message file; its lines.
std::vector<std::string> Oracle(const ScratchDir& dir, const std::string& arguments) {
  std::string output;
  EXPECT_TRUE(Shell(std::string(kDebianPython) + " " + dir.Write("oracle.py", kOracle) + " " + arguments, &output));
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// DecodeMessage decodes a message (DER or base64) as a content info; -2 when it is not enveloped data.
int DecodeMessage(const std::string& bytes, Pkcs7ContentInfo& info) {
  int rc = info.input.SetData(static_cast<int32_t>(bytes.size()), bytes.data());
  if (rc == 0) rc = info.Decode();
  if (rc == 0 && info.envelopedData == nullptr) rc = -2;
  return rc;
}

// Enveloped is the enveloped data of a decoded message (what was read of it), empty when there is none.
const EnvelopedData& Enveloped(const Pkcs7ContentInfo& info) {
  static const EnvelopedData kNone;
  return info.envelopedData != nullptr ? *info.envelopedData : kNone;
}

// KeyFile is the RSA private key of a PKCS #8 PEM file.
struct KeyFile {
  Pkcs8KeyInfo info;
  explicit KeyFile(const std::string& path) {
    core::Buffer der;
    EXPECT_EQ(PemDecode(ReadFile(path).c_str(), "PRIVATE KEY", der, nullptr), 0) << path;
    EXPECT_EQ(ReadPkcs8PrivateKeyInfo(der.Bytes(), der.Length(), info), 0) << path;
  }
};

// Decrypt returns the result and what out holds afterwards ("untouched" when it was not written).
std::pair<int, std::string> Decrypt(const KeyFile& key, const EnvelopedData& data) {
  core::Buffer out;
  EXPECT_EQ(out.SetString("untouched"), 0);
  const int rc = DecryptEnvelopedData(key.info.key.RsaParams, data, out);
  return {rc, Bytes(out)};
}

}  // namespace

TEST(EnvelopedData, MessagesDecodeAsAsn1cryptoReadsThemAndDecryptWithTheFirstRecipient) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian python3 with asn1crypto missing";
  ProvidersLoaded providers;
  ScratchDir dir;
  const std::string cd = "cd " + dir.path + " && ";
  std::string label, one_serial;
  ASSERT_TRUE(Shell(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout one.key -out one.pem -subj '/CN=One/O=Test'"));
  ASSERT_TRUE(Shell(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout two.key -out two.pem -subj /CN=Two"));
  ASSERT_TRUE(Shell(cd + "openssl rand -out plain.bin 300 && openssl rand -hex 7", &label));
  ASSERT_TRUE(Shell("openssl x509 -noout -serial -in " + (dir / "one.pem"), &one_serial));
  const std::string oaep = "-des3 -recip one.pem -keyopt rsa_padding_mode:oaep";
  const struct {
    const char* name;
    std::string options;
    int expected;
  } cases[] = {
      {"PKCS #1 v1.5", "-des3 one.pem", 0},
      {"OAEP, SHA-1 defaults", oaep, 0},
      {"OAEP, SHA-256 and MGF1 SHA-256", oaep + " -keyopt rsa_oaep_md:sha256 -keyopt rsa_mgf1_md:sha256", 0},
      {"OAEP, SHA-256, MGF1 SHA-384, a label",
       oaep + " -keyopt rsa_oaep_md:sha256 -keyopt rsa_mgf1_md:sha384 -keyopt rsa_oaep_label:" + label.substr(0, 14), 0},
      {"subject key identifier", "-des3 -keyid one.pem", 0},
      {"two recipients", "-des3 one.pem two.pem", 0},
      {"AES-256 content", "-aes256 one.pem", 2001},
  };
  const KeyFile one(dir / "one.key"), two(dir / "two.key");
  const std::string plain = dir.Read("plain.bin");
  ASSERT_EQ(plain.size(), 300u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Shell(cd + "openssl cms -encrypt -binary -in plain.bin -outform DER -out m.der " + c.options));
    Pkcs7ContentInfo info;
    ASSERT_EQ(DecodeMessage(dir.Read("m.der"), info), 0);
    const EnvelopedData& data = Enveloped(info);
    const std::vector<std::string> expected = Oracle(dir, dir / "m.der");
    EXPECT_EQ(Lines(data), expected);
    const RecordPtr<RecipientInfo> copy = RecipientInfo::Clone(*data.recipientInfos.Get(0));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(Line(*copy), expected[0]);
    // openssl sorts the recipient SET; the first recipient is found by its serial number.
    std::string first_serial = LowerHex(data.recipientInfos.Get(0)->serialNumber);
    for (char& ch : first_serial) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const bool one_first = data.recipientInfos.Count() == 1 || one_serial.find(first_serial) != std::string::npos;
    const auto [rc, out] = Decrypt(one_first ? one : two, data);
    EXPECT_EQ(rc, c.expected);
    EXPECT_EQ(out, c.expected == 0 ? plain : "untouched");
    if (data.recipientInfos.Count() == 2) {
      const auto [other_rc, other_out] = Decrypt(one_first ? two : one, data);
      EXPECT_NE(other_rc, 0);
      EXPECT_EQ(other_out, "untouched");
      // The second recipient's encrypted key is not an OCTET STRING: 446, both records kept, the first whole.
      const std::vector<std::string> damaged = Oracle(dir, (dir / "m.der") + " damage");
      ASSERT_EQ(damaged.size(), 1u);
      Pkcs7ContentInfo damaged_info;
      EXPECT_EQ(DecodeMessage(testing_support::FromHex(damaged[0]), damaged_info), 446);
      const EnvelopedData& partial = Enveloped(damaged_info);
      ASSERT_EQ(partial.recipientInfos.Count(), 2);
      EXPECT_EQ(Line(*partial.recipientInfos.Get(0)), expected[0]);
    }
  }
}

TEST(EnvelopedData, ContentInfoDecodesTheEnvelopedContentAsTheDirectDecoder) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  const std::string cd = "cd " + dir.path + " && ";
  ASSERT_TRUE(Shell(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout one.key -out one.pem -subj /CN=One"));
  ASSERT_TRUE(Shell(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout two.key -out two.pem -subj /CN=Two"));
  ASSERT_TRUE(Shell(cd + "openssl rand -out plain.bin 100 && openssl cms -encrypt -des3 -binary -in plain.bin "
                         "-outform DER -out m.der one.pem two.pem"));
  Pkcs7ContentInfo info;
  ASSERT_EQ(DecodeMessage(dir.Read("m.der"), info), 0);
  ASSERT_NE(info.envelopedData, nullptr);
  EnvelopedData direct;
  ASSERT_EQ(EnvelopedData::Decode(info.content, direct), 0);
  EXPECT_EQ(direct.recipientInfos.Count(), 2);
  EXPECT_EQ(Lines(*info.envelopedData), Lines(direct));
}

TEST(EnvelopedData, VectorsMessageDecodesAsAsn1cryptoReadsIt) {
  const std::string path = std::string(kVectors) + "/pkcs7/enveloped.pem";
  const std::string pem = ReadFile(path);
  if (pem.empty() || !DebianPythonAvailable()) GTEST_SKIP() << "the cryptography vectors or Debian python3 missing";
  ScratchDir dir;
  const size_t body = pem.find('\n') + 1;
  const std::string message = pem.substr(body, pem.find("-----END") - body);
  Pkcs7ContentInfo info;
  ASSERT_EQ(DecodeMessage(message, info), 0);
  const EnvelopedData& data = Enveloped(info);
  const std::vector<std::string> expected = Oracle(dir, path);
  EXPECT_EQ(Lines(data), expected);
  // Each allocation in turn fails: decoding ends in 200 (446 where the element tree cannot make a node) or
  // decodes all, a clone is whole or none, and nothing leaks.
  for (int successes = 0; ; ++successes) {
    platform::test::FailAllocAfter(successes);
    Pkcs7ContentInfo again_info;
    const int rc = DecodeMessage(message, again_info);
    const EnvelopedData& again = Enveloped(again_info);
    const RecordPtr<RecipientInfo> copy =
        again.recipientInfos.Count() > 0 ? RecipientInfo::Clone(*again.recipientInfos.Get(0)) : nullptr;
    platform::test::FailAllocAfter(-1);
    ASSERT_TRUE(rc == 0 || rc == 200 || rc == 446) << rc << " at " << successes;
    if (rc != 0) continue;
    EXPECT_EQ(Lines(again), expected);
    if (copy == nullptr) continue;
    EXPECT_EQ(Line(*copy), expected[0]);
    break;
  }
}

}  // namespace velmora::pki::testing
