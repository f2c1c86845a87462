// Security key blocks built with asn1crypto read back with their properties, certificate and key; the
// blocks we write show their OCTET STRINGs to openssl asn1parse and read back the same.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/objects/crypto_component.h"
#include "keystore/certificate_source.h"
#include "keystore/security_key.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

std::string FuzzSecurityKeyInput(const std::string& input);

namespace {

using pki::testing::Bytes;
using pki::testing::kDebianPython;
using testing_support::FromHex;
using testing_support::ToHex;

// Prints one block a line: "items|hex of the text|hex of the certificate DER or -|hex of the RSA modulus
// or -|hex values joined by commas (the library path first)". The blocks: 15 items with a certificate
// and CR LF, 15 with a certificate and LF, 14 with an RSA public key, 13 items, and no line break.
constexpr const char* kBlocks = R"(
import base64, datetime
from asn1crypto.core import SequenceOf, OctetString
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization as s
from cryptography.hazmat.primitives.asymmetric import ec, rsa
class Block(SequenceOf):
    _child_spec = OctetString
key = ec.generate_private_key(ec.SECP256R1())
name = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, 'token cert')])
now = datetime.datetime(2024, 1, 1)
cert = x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key()) \
    .serial_number(7).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=9)).sign(key, hashes.SHA256())
rsa_key = rsa.generate_private_key(65537, 1024).public_key()
forms = [(15, 'cert', '\r\n'), (15, 'cert', '\n'), (14, 'rsa', '\r\n'), (13, 'cert', '\n'), (15, 'cert', '')]
for count, kind, eol in forms:
    pem = cert.public_bytes(s.Encoding.PEM) if kind == 'cert' else \
        rsa_key.public_bytes(s.Encoding.PEM, s.PublicFormat.SubjectPublicKeyInfo)
    values = [b'/usr/lib/token-%d.so' % count] + [b'property %d \x00\xff' % i for i in range(1, 16)]
    values[10] = pem
    values[13] = b'0' if count == 14 else b'4097'
    der = Block([OctetString(v) for v in values[1:count + 1]]).dump()
    body = base64.b64encode(der).decode()
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    text = values[0].decode() + eol + '-----BEGIN SECURITY KEY-----' + eol + eol.join(lines) + eol + '-----END SECURITY KEY-----'
    cert_der = cert.public_bytes(s.Encoding.DER).hex() if kind == 'cert' else '-'
    modulus = '%x' % rsa_key.public_numbers().n if kind == 'rsa' else '-'
    print('%d|%s|%s|%s|%s' % (count, text.encode().hex(), cert_der, modulus, ','.join(v.hex() for v in values[:count + 1])))
)";

constexpr const char* kNames[] = {"PKCS11_DLL_PATH",         "PKCS11_SLOT_ID",
                                  "PKCS11_SLOT_DESC",        "PKCS11_MANUFACTURER_ID",
                                  "PKCS11_HARDWARE_VERSION", "PKCS11_FIRMWARE_VERSION",
                                  "PKCS11_TOKEN_LABEL",      "PKCS11_TOKEN_MANUFACTURER_ID",
                                  "PKCS11_TOKEN_MODEL",      "PKCS11_SERIAL_NUMBER",
                                  "PKCS11_PUBLIC_KEY_PEM",   "PKCS11_KEY_ID",
                                  "PKCS11_CERT_NAME",        "PKCS11_PRIVATE_KEY_HANDLE",
                                  "PKCS11_PUBLIC_KEY_HANDLE", "PKCS11_CERT_SUBJECT"};

std::vector<std::string> Split(const std::string& text, char at) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, at);) parts.push_back(part);
  return parts;
}

// Attributes lists the record's attributes as "name=hex" items.
std::vector<std::string> Attributes(const core::StrList& names, const core::StrList& values) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < names.Count(); ++i) {
    out.push_back(pki::testing::Item(names, i) + "=" + ToHex(pki::testing::Item(values, i)));
  }
  return out;
}

TEST(SecurityKey, AsnCryptoBlocksReadBackAndWrittenBlocksParse) {
  if (!pki::testing::DebianPythonAvailable() || !pki::testing::OpensslAvailable()) {
    GTEST_SKIP() << "Debian's python3 with asn1crypto and cryptography, or openssl, is not installed";
  }
  pki::testing::ProvidersLoaded providers;
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kBlocks, "", "", &output, kDebianPython));
  const std::vector<std::string> lines = Split(output, '\n');
  ASSERT_EQ(lines.size(), 5u);
  std::vector<std::string> written;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Split(line, '|');
    const int items = std::stoi(f[0]);
    const std::string text = FromHex(f[1]);
    pki::CertificateWithKey record;
    const int rc = LoadSecurityKey(record, text.c_str(), nullptr);
    if (items < 14 || text.find('\n') == std::string::npos) {
      EXPECT_EQ(rc, 202) << line;
      continue;
    }
    ASSERT_EQ(rc, 0) << line;
    std::vector<std::string> expected;
    const std::vector<std::string> values = Split(f[4], ',');
    for (size_t i = 0; i < values.size(); ++i) expected.push_back(std::string(kNames[i]) + "=" + values[i]);
    EXPECT_EQ(Attributes(record.attributeNames, record.attributeValues), expected);
    EXPECT_EQ(Attributes(record.key.AttributeNames, record.key.AttributeValues), expected);
    if (f[2] != "-") {
      EXPECT_EQ(ToHex(Bytes(record.certificate.der)), f[2]);
      EXPECT_EQ(record.key.Type, crypto::kKeyEc);
    } else {
      std::string modulus = ToHex(Bytes(record.key.RsaParams.Modulus));
      while (modulus.rfind("00", 0) == 0) modulus.erase(0, 2);
      EXPECT_EQ(modulus, f[3]);
    }
    core::Buffer out;
    ASSERT_EQ(WriteSecurityKey(record, out), items == 15 ? 0 : 202);
    if (items < 15) continue;
    const std::string ours = Bytes(out);
    EXPECT_EQ(ours.rfind(FromHex(values[0]) + "\r\n-----BEGIN SECURITY KEY-----\n", 0), 0u) << ours;
    EXPECT_EQ(ours.substr(ours.size() - 27), "\n-----END SECURITY KEY-----");
    pki::CertificateWithKey again;
    ASSERT_EQ(LoadSecurityKey(again, ours.c_str(), nullptr), 0);
    EXPECT_EQ(Attributes(again.attributeNames, again.attributeValues), expected);
    written.push_back(ours);
  }
  ASSERT_EQ(written.size(), 2u);
  char path[] = "/tmp/velmora_security_key_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path, std::ios::binary) << written[0].substr(written[0].find('\n') + 1);
  std::string parsed;
  EXPECT_TRUE(pki::testing::Shell(std::string("openssl asn1parse -in ") + path, &parsed));
  unlink(path);
  int octet_strings = 0;
  for (const std::string& row : Split(parsed, '\n')) octet_strings += row.find("OCTET STRING") != std::string::npos;
  EXPECT_EQ(octet_strings, 15) << parsed;
}

// Block writes the block of a record holding pem as its public key, handle as its private key handle and
// library as its library path.
std::string Block(const std::string& pem, const char* handle, const std::string& library) {
  pki::CertificateWithKey record;
  for (const char* name : kNames) {
    const std::string n = name;
    const std::string text = n == "PKCS11_DLL_PATH" ? library : n == "PKCS11_PUBLIC_KEY_PEM" ? pem
                             : n == "PKCS11_PRIVATE_KEY_HANDLE" ? handle : "/" + n;
    core::Buffer value;
    EXPECT_EQ(value.SetString(text.c_str()) | record.AddAttribute(name, value), 0);
  }
  core::Buffer out;
  EXPECT_EQ(WriteSecurityKey(record, out), 0);
  return Bytes(out);
}

std::string VectorFile(const char* file) { return pki::testing::ReadFile(std::string(pki::testing::kVectors) + file); }

TEST(SecurityKey, PrivateKeyHandleDecidesAndTheLibraryIsNeverOpened) {
  pki::testing::ProvidersLoaded providers;
  // The library path names a FIFO: opening it would block the load.
  char dir[] = "/tmp/velmora_token_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/token.so";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char* handle : {"0", "", "4097"}) {
    pki::CertificateWithKey loaded;
    const std::string text = Block(VectorFile("/asymmetric/PEM_Serialization/rsa_public_key.pem"), handle, fifo);
    ASSERT_EQ(LoadSecurityKey(loaded, text.c_str(), ""), 0);
    auto* store = new CertStoreHandle();
    ASSERT_EQ(store->AddCertificateWithKey(loaded), 0);
    component::CertKeyComponent component;
    component.SetLoadedStore(store);
    EXPECT_EQ(HasPrivateKey(component), std::string(handle) == "4097") << handle;
  }
  unlink(fifo.c_str());
  rmdir(dir);
}

// Mutated blocks holding a certificate or a public key end in the reader's codes, and a block read whole
// writes and reads back the same; under ASan nothing leaks. VELMORABLE_FUZZ_SEED replays the printed seed.
TEST(SecurityKeyFuzz, MutatedBlocksEndInTheirCodes) {
  pki::testing::ProvidersLoaded providers;
  const std::vector<std::string> seeds = {Block(VectorFile("/x509/cryptography.io.pem"), "1", "/lib/a.so"),
                                          Block(VectorFile("/asymmetric/PEM_Serialization/ec_public_key.pem"), "0", "")};
  testing_support::RunMutationLoop("SecurityKey", seeds, 30000, "\r\n-=A0\x04\x30\x80", FuzzSecurityKeyInput);
}

}  // namespace
}  // namespace velmora::keystore::testing
