// Signing and verifying by key record against OpenSSL and python3-cryptography: certificates made with
// `openssl req -x509` (RSA-2048 with SHA-256, SHA-1 and PSS) are checked by VerifySignatureByAlgorithm
// with the records filled from cryptography's view; RSA v1.5, DSA and ECDSA signatures made by
// cryptography verify through VerifyWithKeyRecord, and our RSA signatures equal cryptography's. One
// changed bit of signature or data turns a verdict to -1.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "crypto/keys/der_signature.h"
#include "crypto/objects/sign_by_key.h"
#include "pki/certificate_signature.h"
#include "component/component_base.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::ToHex;
using Line = std::vector<std::string>;

constexpr char kData[] = "data signed by a key record";

// Lines of the oracle, each a kind and hex fields:
//   cert <name> <tbs> <signature OID> <signature> <n> <e> <salt>  (salt is - for v1.5)
//   rsa <n> <e> <d> <p> <q> <signature of kData, SHA-256, v1.5>
//   dsa <digest> <p> <q> <g> <y> <x> <DER signature of kData>
//   ec <x> <y> <d> <DER signature of kData, SHA-256>
constexpr char kOracle[] = R"PY(
import os, re, subprocess, sys, tempfile
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, ec, padding
data = sys.argv[1].encode()
def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout
def h(v):
    return format(v, "x").rjust((v.bit_length() + 7) // 8 * 2, "0")
def load(path):
    return serialization.load_pem_private_key(open(path, "rb").read(), None)
with tempfile.TemporaryDirectory() as tmp:
    key = os.path.join(tmp, "rsa.pem")
    run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key)
    for name, options in (("sha256", ["-sha256"]), ("sha1", ["-sha1"]),
                          ("pss", ["-sha256", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:32"])):
        crt = os.path.join(tmp, name + ".pem")
        run("openssl", "req", "-x509", "-new", "-key", key, "-subj", "/CN=issuer", "-days", "2", "-out", crt, *options)
        cert = x509.load_pem_x509_certificate(open(crt, "rb").read())
        salt = "-"
        if name == "pss":
            text = run("openssl", "x509", "-in", crt, "-noout", "-text").decode()
            salt = str(int(re.search(r"Salt Length: 0x([0-9A-Fa-f]+)", text).group(1), 16))
        pub = cert.public_key().public_numbers()
        print("cert", name, cert.tbs_certificate_bytes.hex(), cert.signature_algorithm_oid.dotted_string,
              cert.signature.hex(), h(pub.n), h(pub.e), salt)
    private = load(key)
    numbers = private.private_numbers()
    print("rsa", h(numbers.public_numbers.n), h(numbers.public_numbers.e), h(numbers.d), h(numbers.p),
          h(numbers.q), private.sign(data, padding.PKCS1v15(), hashes.SHA256()).hex())
    for bits, qbits, digest in ((1024, 160, hashes.SHA1()), (2048, 224, hashes.SHA224()),
                                (2048, 256, hashes.SHA256())):
        params = os.path.join(tmp, "dsa%d.pem" % qbits)
        run("openssl", "genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt", "dsa_paramgen_bits:%d" % bits,
            "-pkeyopt", "dsa_paramgen_q_bits:%d" % qbits, "-out", params)
        dkey = os.path.join(tmp, "dsakey%d.pem" % qbits)
        run("openssl", "genpkey", "-paramfile", params, "-out", dkey)
        private = load(dkey)
        n = private.private_numbers()
        pn = n.public_numbers.parameter_numbers
        print("dsa", digest.name, h(pn.p), h(pn.q), h(pn.g), h(n.public_numbers.y), h(n.x),
              private.sign(data, digest).hex())
    private = ec.generate_private_key(ec.SECP256R1())
    n = private.private_numbers()
    print("ec", h(n.public_numbers.x), h(n.public_numbers.y), h(n.private_value),
          private.sign(data, ec.ECDSA(hashes.SHA256())).hex())
)PY";

void Set(core::BufferCore& b, const std::string& hex) {
  const std::string bytes = FromHex(hex);
  ASSERT_EQ(b.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

// SetAll sets the fields from the hex fields of line, starting at index first.
void SetAll(std::initializer_list<core::BufferCore*> fields, const Line& line, size_t first) {
  for (core::BufferCore* field : fields) Set(*field, line.at(first++));
}

void SetText(core::BufferCore& b, const std::string& text) {
  ASSERT_EQ(b.SetData(static_cast<int32_t>(text.size()), text.data()), 0);
}

std::string Hex(const core::BufferCore& b) { return ToHex(std::string(b.Data(), static_cast<size_t>(b.Length()))); }

void FlipBit(core::BufferCore& b, int32_t at) { b.Data()[at] = static_cast<char>(b.Data()[at] ^ 0x10); }

class SignByKey : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") != 0 ||
        std::system("openssl version >/dev/null 2>&1") != 0) {
      return;
    }
    std::string output;
    if (!testing_support::RunPython(kOracle, std::string("'") + kData + "'", "", &output, "/usr/bin/python3")) return;
    for (auto& line : testing_support::Lines(output)) lines_->push_back(line);
  }
  // The digests run with the internal-only setting on, as the library runs until a platform provider
  // exists.
  void SetUp() override {
    if (lines_->empty()) GTEST_SKIP() << "openssl or /usr/bin/python3 with cryptography is not available";
    ASSERT_EQ(settings_.Set("UseInternalCryptoAPI=true"), 0);
    ASSERT_EQ(data_.SetData(static_cast<int32_t>(sizeof kData - 1), kData), 0);
  }
  void TearDown() override { EXPECT_EQ(settings_.Set("UseInternalCryptoAPI=false"), 0); }
  std::vector<Line> Of(const std::string& kind) {
    std::vector<Line> found;
    for (const Line& line : *lines_) {
      if (line[0] == kind) found.push_back(line);
    }
    return found;
  }

  static inline std::vector<Line>* lines_ = new std::vector<Line>;
  component::Configurable<component::ComponentBase> settings_;
  core::Buffer data_;
};

TEST_F(SignByKey, CertificatesVerifyByTheirAlgorithm) {
  const auto certs = Of("cert");
  ASSERT_EQ(certs.size(), 3u);
  for (const Line& line : certs) {
    SCOPED_TRACE(line[1]);
    pki::Certificate certificate;
    pki::Certificate issuer;
    Set(certificate.tbsDer, line[2]);
    SetText(certificate.signatureAlgorithm.oid, line[3]);
    Set(certificate.signature, line[4]);
    if (line[7] != "-") {
      certificate.signatureAlgorithm.pss.reset(new pki::RsaPssParams);
      certificate.signatureAlgorithm.pss->saltLength = std::stoi(line[7]);
    }
    SetText(issuer.tbs.publicKey.algorithm.oid, "1.2.840.113549.1.1.1");
    issuer.tbs.publicKey.key.Type = kKeyRsa;
    Set(issuer.tbs.publicKey.key.RsaParams.Modulus, line[5]);
    Set(issuer.tbs.publicKey.key.RsaParams.Exponent, line[6]);

    if (line[1] == "pss") {
      // The record's hash and salt decide; a wrong salt length is a signature that does not verify.
      SetText(certificate.signatureAlgorithm.pss->hashAlgorithm.oid, "2.16.840.1.101.3.4.2.1");
      SetText(certificate.signatureAlgorithm.pss->maskGenHash.oid, "2.16.840.1.101.3.4.2.1");
      EXPECT_EQ(VerifySignatureByAlgorithm(certificate, issuer), 0);
      certificate.signatureAlgorithm.pss->saltLength = 20;
      EXPECT_EQ(VerifySignatureByAlgorithm(certificate, issuer), -1);
      continue;
    }
    EXPECT_EQ(VerifySignatureByAlgorithm(certificate, issuer), 0);
    FlipBit(certificate.signature, 100);
    EXPECT_EQ(VerifySignatureByAlgorithm(certificate, issuer), -1);
    FlipBit(certificate.signature, 100);
    FlipBit(certificate.tbsDer, certificate.tbsDer.Length() / 2);
    EXPECT_EQ(VerifySignatureByAlgorithm(certificate, issuer), -1);
    // Only RSA, DSA and EC issuers are taken.
    SetText(issuer.tbs.publicKey.algorithm.oid, "1.3.101.112");
    EXPECT_EQ(VerifySignatureByAlgorithm(certificate, issuer), kKeyAlgorithmRefused);
  }
}

TEST_F(SignByKey, RsaRecordsSignAsCryptographyAndVerify) {
  const auto rsa = Of("rsa");
  ASSERT_EQ(rsa.size(), 1u);
  const Line& line = rsa[0];
  KeyRecord key;
  key.Type = kKeyRsa;
  RsaKeyParams& p = key.RsaParams;
  SetAll({&p.Modulus, &p.Exponent, &p.D, &p.P, &p.Q}, line, 1);
  core::Buffer signature;
  ASSERT_EQ(SignWithKeyRecord(data_.Bytes(), data_.Length(), "SHA256", key, signature), 0);
  EXPECT_EQ(Hex(signature), line[6]);

  pki::AlgorithmIdentifier algorithm;
  SetText(algorithm.oid, "1.2.840.113549.1.1.11");
  EXPECT_EQ(VerifyWithKeyRecord(key, signature, data_, algorithm), 0);
  SetText(algorithm.oid, "1.2.840.113549.1.1.5");
  EXPECT_EQ(VerifyWithKeyRecord(key, signature, data_, algorithm), -1);

  KeyRecord none;
  core::Buffer untouched;
  EXPECT_EQ(SignWithKeyRecord(data_.Bytes(), data_.Length(), "SHA256", none, untouched), 0);
  EXPECT_EQ(untouched.Length(), 0);
  EXPECT_EQ(VerifyWithKeyRecord(none, signature, data_, algorithm), -1);
}

// cryptography's DSA and ECDSA signatures verify with the digest their OID names; ours, made through
// the record, verify as well (the engines' own tests check them against OpenSSL).
TEST_F(SignByKey, DsaAndEcdsaRecordsVerifyByTheirOid) {
  const std::map<std::string, std::string> oids = {{"sha1", "1.2.840.10040.4.3"},
                                                   {"sha224", "2.16.840.1.101.3.4.3.1"},
                                                   {"sha256", "2.16.840.1.101.3.4.3.2"},
                                                   {"ec", EcdsaSignatureOidForKeyType(0)}};
  auto lines = Of("dsa");
  ASSERT_EQ(lines.size(), 3u);
  lines.push_back(Of("ec").at(0));
  for (const Line& line : lines) {
    const bool ec = line[0] == "ec";
    SCOPED_TRACE(line[1]);
    KeyRecord key;
    key.Type = ec ? kKeyEc : kKeyDsa;
    DsaKeyParams& p = key.DsaParams;
    if (ec) SetAll({&key.EcParams.X, &key.EcParams.Y, &key.EcParams.D}, line, 1);
    if (!ec) SetAll({&p.P, &p.Q, &p.G, &p.Y, &p.X}, line, 2);
    core::Buffer signature;
    Set(signature, line.back());
    pki::AlgorithmIdentifier algorithm;
    SetText(algorithm.oid, oids.at(ec ? "ec" : line[1]));
    EXPECT_EQ(VerifyWithKeyRecord(key, signature, data_, algorithm), 0);
    FlipBit(signature, signature.Length() - 2);
    EXPECT_EQ(VerifyWithKeyRecord(key, signature, data_, algorithm), -1);
    std::string digest_name = ec ? "SHA256" : line[1];
    for (char& c : digest_name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    core::Buffer ours;
    ASSERT_EQ(SignWithKeyRecord(data_.Bytes(), data_.Length(), digest_name.c_str(), key, ours), 0);
    EXPECT_EQ(VerifyWithKeyRecord(key, ours, data_, algorithm), 0);
  }

  // The EC engine's message-level wrappers hash with a digest id (2 is SHA-256).
  EccEngine engine;
  EcKeyParams params;
  SetAll({&params.X, &params.Y, &params.D}, lines.back(), 1);
  ASSERT_EQ(engine.SetKeyParams(params), 0);
  core::Buffer signature;
  int32_t valid = 0;
  ASSERT_EQ(EccSignMessage(engine, data_.Bytes(), data_.Length(), 2, signature), 0);
  ASSERT_EQ(EccVerifyMessage(engine, data_.Bytes(), data_.Length(), signature.Bytes(), signature.Length(), 2, valid), 0);
  EXPECT_EQ(valid, 1);
  ASSERT_EQ(EccVerifyMessage(engine, data_.Bytes(), data_.Length(), signature.Bytes(), signature.Length(), 0, valid), 0);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(EccSignMessage(engine, data_.Bytes(), data_.Length(), 99, signature), 2001);
}

}  // namespace
}  // namespace velmora::crypto
