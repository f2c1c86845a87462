// One input of each kind the certificate loader detects, made by the tools in a scratch folder once per
// process: the loader tests' table and the fuzz seeds. Password "pw" wherever an input is encrypted.
#pragma once

#include <string>
#include <vector>

#include "tests/keystore/key_file_test_support.h"

namespace velmora::keystore::testing {

// Sample: a file of the scratch folder, the kind the loader reports for it as data, and its transcript
// as data (the file transcript has "Input data is a file: <name>" in front).
struct Sample {
  std::string name;
  int32_t kind;
  std::string transcript;
  std::string bytes;
};

constexpr char kPemOk[] = "Parsed PEM input data successfully.\r\n";
constexpr char kNoPfx[] = "Failed to parse binary ASN.1 input data as PFX certificate.\r\n";
constexpr char kNoX509[] = "Failed to parse binary ASN.1 input data as X509 certificate.\r\n";
constexpr char kNoP7b[] = "Failed to parse binary ASN.1 input data as P7B certificate.\r\n";
constexpr char kNoXml[] = "Failed to parse ASCII input data as XML.\r\n";
constexpr char kNoPpk[] = "Failed to parse ASCII input data as PPK.\r\n";
constexpr char kNoJwk[] = "Failed to parse ASCII input data as JWK.\r\n";

inline std::string Tag(const std::string& tag) { return "PEM tag: " + tag + "\r\n"; }
inline std::string KeyStoreLine(const std::string& tag) { return "Successfully parsed PEM(" + tag + ") as KeyStore.\r\n"; }
inline std::string CertLine() { return "Successfully parsed PEM(CERTIFICATE) as X509 certificate.\r\n"; }

// The XML key value, JSON Web Key and security key block of the leaf, written by python.
constexpr char kTextForms[] = R"(
import base64
from cryptography.hazmat.primitives import serialization
from jwcrypto import jwk
pem = open('leaf.key', 'rb').read()
n = serialization.load_pem_private_key(pem, None).public_key().public_numbers()
def b64(i): return base64.b64encode(i.to_bytes((i.bit_length() + 7) // 8, 'big')).decode()
open('k.xml', 'w').write('<RSAKeyValue><Modulus>%s</Modulus><Exponent>%s</Exponent></RSAKeyValue>' % (b64(n.n), b64(n.e)))
open('k.jwk', 'w').write(jwk.JWK.from_pem(pem).export())
def der(tag, content):
    n = len(content)
    head = bytes([n]) if n < 128 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([tag]) + head + content
values = [b'1', b'slot', b'maker', b'1.0', b'2.0', b'token', b'tm', b'model', b'42', open('leaf.pem', 'rb').read(),
          b'id', b'leaf', b'5', b'6', b'CN=leaf']
text = base64.b64encode(der(0x30, b''.join(der(4, v) for v in values))).decode()
lines = [text[i:i + 64] for i in range(0, len(text), 64)]
open('k.seckey', 'w', newline='').write('/usr/lib/token.so\r\n-----BEGIN SECURITY KEY-----\n' + '\r\n'.join(lines) +
                                      '\n-----END SECURITY KEY-----')
)";

// Samples: the RSA key and certificate of a two-level chain and the inputs made of them. python_made holds
// the XML, JWK and security key inputs that Debian's python3 writes (empty without it).
struct Samples {
  pki::testing::ScratchDir dir;
  bool ready = false;
  std::vector<Sample> all;
  std::vector<Sample> python_made;

  std::string Path(const std::string& name) const { return dir / name; }
  std::string Read(const std::string& name) const { return dir.Read(name); }

  Samples() {
    using pki::testing::Shell;
    if (!pki::testing::OpensslAvailable() || !Tool("puttygen --version")) return;
    const std::string d = dir.path + "/";
    const std::string req = "openssl req -x509 -new -days 30 -sha256 ";
    const bool made =
        Shell("exec 2>/dev/null; cd " + d + " && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca.key && " + req +
              "-key ca.key -subj /CN=root -out ca.pem && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 "
              "-out leaf.key && openssl req -new -key leaf.key -subj /CN=leaf -out leaf.csr && openssl x509 -req -in "
              "leaf.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 30 -out leaf.pem && cat leaf.pem leaf.key > pair.pem "
              "&& cat leaf.pem ca.pem leaf.key > chain.pem && cat leaf.pem ca.key > mismatch.pem && "
              "cat leaf.pem ca.pem > certs.pem && openssl crl2pkcs7 -nocrl -certfile certs.pem -outform DER -out b.p7b && "
              "openssl crl2pkcs7 -nocrl -certfile certs.pem -out p7.pem && openssl pkcs12 -export -in leaf.pem -inkey "
              "leaf.key -passout pass:pw -out b.pfx && openssl x509 -in leaf.pem -outform DER | base64 -w 64 > b64.txt && "
              "openssl rsa -in leaf.key -des3 -traditional -passout pass:pw -out des3.pem && "
              "openssl rsa -in leaf.key -traditional -out leaf.rsa && openssl rsa -in ca.key -traditional -out ca.rsa && "
              "puttygen leaf.rsa -O private -o k.ppk && puttygen leaf.rsa -O public-openssh -o a.pub && "
              "puttygen ca.rsa -O public-openssh -o b.pub && printf '%s\\r\\n%s\\r\\n' \"$(cat a.pub)\" \"$(cat b.pub)\" "
              "> two.pub");
    if (!made) return;
    const std::string fail_binary = std::string(kNoPfx) + kNoX509 + kNoP7b;
    const std::string fail_text = fail_binary + kNoXml + kNoPpk + kNoJwk;
    const std::string ssh_ok = "Successfully parsed ASCII input data as Openssh public key.\r\n";
    all = {
        {"pair.pem", 7, kPemOk + Tag("CERTIFICATE") + CertLine() + Tag("PRIVATE KEY") + KeyStoreLine("PRIVATE KEY"), ""},
        {"chain.pem", 7,
         kPemOk + Tag("CERTIFICATE") + CertLine() + Tag("CERTIFICATE") + CertLine() + Tag("PRIVATE KEY") +
             KeyStoreLine("PRIVATE KEY"),
         ""},
        {"mismatch.pem", 7, kPemOk + Tag("CERTIFICATE") + CertLine() + Tag("PRIVATE KEY") + KeyStoreLine("PRIVATE KEY"),
         ""},
        {"p7.pem", 12, kPemOk + Tag("PKCS7") + "Successfully parsed PEM(PKCS7) as P7B certificate.\r\n", ""},
        {"b.p7b", 12, std::string(kNoPfx) + kNoX509 + "Successfully parsed binary ASN.1 input data as P7B certificate.\r\n", ""},
        {"b.pfx", 3, "Successfully parsed binary ASN.1 input data as PFX certificate.\r\n", ""},
        {"b64.txt", 7, std::string(kNoPfx) + "Successfully parsed binary ASN.1 input data as X509 certificate.\r\n", ""},
        {"k.ppk", 15, fail_binary + kNoXml + "Successfully parsed ASCII input data as PPK.\r\n", ""},
        {"two.pub", 10, fail_text + ssh_ok + ssh_ok, ""},
        {"des3.pem", 7, kPemOk + Tag("RSA PRIVATE KEY") + KeyStoreLine("RSA PRIVATE KEY"), ""},
    };
    const std::string script = dir.Write("forms.py", kTextForms);
    if (pki::testing::DebianPythonAvailable() &&
        Shell("cd " + d + " && " + pki::testing::kDebianPython + " " + script)) {
      python_made = {
          {"k.xml", 17, fail_binary + "Successfully parsed ASCII input data as XML.\r\n", ""},
          {"k.jwk", 19, fail_binary + kNoXml + kNoPpk + "Successfully parsed ASCII input data as JWK.\r\n", ""},
          {"k.seckey", 20,
           kPemOk + Tag("SECURITY KEY") + "Successfully parsed PEM(SECURITY KEY) as PKCS#11 Certificate.\r\n", ""},
      };
    }
    for (Sample& sample : all) sample.bytes = Read(sample.name);
    for (Sample& sample : python_made) sample.bytes = Read(sample.name);
    ready = true;
  }
};

inline Samples& TheSamples() {
  static Samples samples;
  return samples;
}

}  // namespace velmora::keystore::testing
