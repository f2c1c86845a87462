// The selected-entry certificate properties against python3-cryptography and asn1crypto (one table of
// checks over RSA, EC, Ed25519, v1, extension-laden and in-memory certificates), thumbprints against
// `openssl x509 -fingerprint`, and the answers of a bare-key entry and of an empty store.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/objects/key_creation.h"
#include "keystore/cert_properties.h"
#include "keystore/ssh_public_key.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/key_der.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore {
namespace {

using pki::testing::Bytes;
using pki::testing::RunCommand;

// Prints "file<TAB>field<TAB>value" lines for every certificate file named.
constexpr const char* kOracle = R"PY(
import sys
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from asn1crypto import x509 as ax
for path in sys.argv[1:]:
    data = open(path, 'rb').read()
    c = x509.load_der_x509_certificate(data) if data[:1] == b'\x30' else x509.load_pem_x509_certificate(data)
    der = c.public_bytes(serialization.Encoding.DER)
    tbs = ax.Certificate.load(der)['tbs_certificate']
    exts = list(tbs['extensions']) if tbs['extensions'].native is not None else []
    f = {'version': {'v1': 'V1', 'v3': 'V3'}.get(c.version.name, ''),
         'sigoid': c.signature_algorithm_oid.dotted_string,
         'keyoid': tbs['subject_public_key_info']['algorithm']['algorithm'].dotted,
         'count': str(len(exts)), 'der': der.hex(), 'ski': '', 'kuflags': '0', 'eku': '', 'crl': '',
         'ocsp': '', 'caissuers': ''}
    for i, e in enumerate(exts):
        f['oid%d' % i] = e['extn_id'].dotted
        f['critical%d' % i] = str(int(bool(e['critical'].native)))
        f['value%d' % i] = e['extn_value'].contents.hex()
    for e in c.extensions:
        v = e.value
        if isinstance(v, x509.SubjectKeyIdentifier):
            f['ski'] = v.digest.hex()
        elif isinstance(v, x509.KeyUsage):
            bits = [(v.digital_signature, 0x80), (v.content_commitment, 0x40), (v.key_encipherment, 0x20),
                    (v.data_encipherment, 0x10), (v.key_agreement, 0x08), (v.key_cert_sign, 0x04),
                    (v.crl_sign, 0x02)]
            if v.key_agreement:
                bits += [(v.encipher_only, 0x01), (v.decipher_only, 0x8000)]
            f['kuflags'] = str(sum(b for on, b in bits if on))
        elif isinstance(v, x509.ExtendedKeyUsage):
            f['eku'] = ', '.join(o.dotted_string for o in v)
        elif isinstance(v, x509.CRLDistributionPoints):
            f['crl'] = ', '.join(n.value for p in v for n in (p.full_name or []))
        elif isinstance(v, x509.AuthorityInformationAccess):
            for d in v:
                url = d.access_location.value
                key = 'ocsp' if d.access_method == x509.oid.AuthorityInformationAccessOID.OCSP else 'caissuers'
                if not f[key] and url.startswith(('http://', 'https://')):
                    f[key] = url
    for k, v in f.items():
        print('%s\t%s\t%s' % (path, k, v))
)PY";

std::string Shell(const std::string& command) {
  std::string out;
  EXPECT_TRUE(RunCommand("(" + command + ") 2>/dev/null", &out)) << command;
  return out;
}

std::string NoCr(std::string text) {
  std::erase(text, '\r');
  return text;
}

// Fingerprint is `openssl x509 -fingerprint` of a DER file without colons, in lower case.
std::string Fingerprint(const std::string& file, const char* digest) {
  std::string line = Shell(std::string("openssl x509 -inform DER -in ") + file + " -noout -fingerprint -" + digest);
  line = line.substr(line.find('=') + 1);
  std::string hex;
  for (char c : line) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
  }
  return hex;
}

pki::Certificate* ParseFile(const std::string& der) {
  auto* certificate = new pki::Certificate;
  EXPECT_EQ(pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()),
                                  *certificate),
            0);
  return certificate;
}

class CertProperties : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!pki::testing::OpensslAvailable() || !pki::testing::DebianPythonAvailable()) return;
    dir_ = new pki::testing::ScratchDir;
    const std::string ext =
        " -addext 'subjectAltName=DNS:a.example,IP:10.0.0.1,email:x@example.org'"
        " -addext 'keyUsage=critical,digitalSignature,keyEncipherment'"
        " -addext 'extendedKeyUsage=serverAuth,clientAuth'"
        " -addext 'crlDistributionPoints=URI:http://crl.example/a.crl,URI:ldap://ldap.example/cn=x'"
        " -addext 'authorityInfoAccess=OCSP;URI:http://ocsp.example,caIssuers;URI:http://ca.example/ca.crt'"
        " -addext '1.2.3.4.5=ASN1:UTF8String:unknown extension'";
    const std::pair<const char*, std::string> kMade[] = {
        {"rsa", "-newkey rsa:2048"},
        {"ec", "-newkey ec -pkeyopt ec_paramgen_curve:P-256"},
        {"ed25519", "-newkey ed25519"},
        {"ext", "-newkey rsa:2048" + ext},
    };
    for (const auto& [name, options] : kMade) {
      const std::string base = *dir_ / name;
      Shell("openssl req -x509 " + options + " -nodes -keyout " + base + ".key -subj /CN=" + name +
            " -days 30 -outform DER -out " + base + ".der");
    }
    const std::string v1 = *dir_ / "v1";
    Shell("openssl req -new -newkey rsa:2048 -nodes -keyout " + v1 + ".key -subj /CN=v1 -out " + v1 +
          ".csr && openssl x509 -req -in " + v1 + ".csr -signkey " + v1 + ".key -days 30 -outform DER -out " + v1 +
          ".der");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (dir_ == nullptr) GTEST_SKIP() << "needs openssl and Debian's python3 with cryptography and asn1crypto";
    store_ = new CertStoreHandle;
    owner_.SetLoadedStore(store_);
  }
  void TearDown() override { EXPECT_EQ(providers_.settings.Set("UseFIPSCompliantAPI=false"), 0); }

  static pki::testing::ScratchDir* dir_;
  pki::testing::ProvidersLoaded providers_;
  component::CertKeyComponent owner_;
  CertStoreHandle* store_ = nullptr;
  SelectedCertificateProperties properties_{owner_};
};
pki::testing::ScratchDir* CertProperties::dir_ = nullptr;

TEST_F(CertProperties, SelectedEntryMatchesOracles) {
  // The in-memory certificate has no stored DER: its properties, thumbprints included, come from its
  // encoding, which openssl and python read from the file written here.
  crypto::KeyRecord key;
  ASSERT_EQ(crypto::GenerateKeyByAlgorithmName("ECDSA_P256", 256, key), 0);
  pki::Certificate made;
  ASSERT_EQ(pki::CreateCertificate(key, "CN=made", "0a1b", 0, 10, nullptr, nullptr, nullptr, "SHA256", made), 0);
  ASSERT_TRUE(made.der.IsEmpty());
  pki::DerWriter encoded;
  ASSERT_EQ(pki::EncodeCertificate(made, encoded), 0);
  dir_->Write("made.der", Bytes(encoded));

  const std::vector<std::string> names = {"rsa", "ec", "ed25519", "v1", "ext", "made"};
  std::string files;
  for (const std::string& name : names) files += " " + *dir_ / (name + ".der");
  std::string printed;
  ASSERT_TRUE(testing_support::RunPython(kOracle, files, "", &printed, pki::testing::kDebianPython));
  std::map<std::string, std::map<std::string, std::string>> expected;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    const size_t a = line.find('\t'), b = line.find('\t', a + 1);
    expected[line.substr(0, a)][line.substr(a + 1, b - a - 1)] = line.substr(b + 1);
  }

  using P = CertProperty;
  auto& props = properties_;
  const auto fill = [&](P property) {
    core::Buffer out;
    EXPECT_EQ(props.Fill(property, out), 0);
    return Bytes(out);
  };
  const std::map<std::string, std::function<std::string()>> checks = {
      {"version", [&] { return std::string(props.Text(P::kVersion)); }},
      {"sigoid", [&] { return fill(P::kSignatureAlgorithmOid); }},
      {"keyoid", [&] { return fill(P::kPublicKeyAlgorithm); }},
      {"count", [&] { return std::to_string(props.Number(P::kExtensionCount)); }},
      {"der", [&] { return testing_support::ToHex(fill(P::kDer)); }},
      {"ski", [&] { return std::string(props.Text(P::kSubjectKeyId)); }},
      {"kuflags", [&] { return std::to_string(props.Number(P::kKeyUsageFlags)); }},
      {"eku", [&] { return std::string(props.Text(P::kExtendedKeyUsage)); }},
      {"crl", [&] { return std::string(props.Text(P::kCrlPoints)); }},
      {"ocsp", [&] { return fill(P::kOcspUrl); }},
      {"caissuers", [&] { return fill(P::kCaIssuersUrl); }},
  };
  const std::pair<P, const char*> kThumbprints[] = {
      {P::kThumbprintMd5, "md5"}, {P::kThumbprintSha1, "sha1"}, {P::kThumbprintSha256, "sha256"}};

  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string file = *dir_ / (name + ".der");
    std::map<std::string, std::string>& want = expected[file];
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(store_->entries.Clear(), 0);
    if (name == "made") {
      ASSERT_EQ(store_->AddCertificate(made), 0);
    } else {
      std::unique_ptr<pki::Certificate> read(ParseFile(dir_->Read(name + ".der")));
      ASSERT_EQ(store_->AddCertificate(*read), 0);
    }
    for (const auto& [field, actual] : checks) EXPECT_EQ(actual(), want[field]) << field;
    EXPECT_EQ(testing_support::ToHex(fill(P::kEncoded)), want["der"]);
    for (const auto& [property, digest] : kThumbprints) {
      EXPECT_EQ(props.Text(property), Fingerprint(file, digest)) << digest;
    }

    // Extensions by index (one past the end answers "" and 0) and by exact OID.
    const int32_t count = props.Number(P::kExtensionCount);
    for (int32_t i = 0; i <= count; ++i) {
      const std::string n = std::to_string(i);
      const char* data = nullptr;
      int32_t length = -1;
      ASSERT_EQ(props.ExtensionValue(i, &data, &length), 0);
      EXPECT_EQ(testing_support::ToHex(std::string(data, static_cast<size_t>(length))), want["value" + n]) << i;
      EXPECT_EQ(props.ExtensionOid(i), want["oid" + n]) << i;
      EXPECT_EQ(std::to_string(props.ExtensionCritical(i)), i < count ? want["critical" + n] : "0") << i;
      if (i == count) break;
      const std::string oid = want["oid" + n];
      core::Buffer value;
      EXPECT_EQ(props.ExtensionValueByOid(oid.c_str(), value), 0);
      EXPECT_EQ(testing_support::ToHex(Bytes(value)), want["value" + n]);
      EXPECT_EQ(props.HasExtension(oid.c_str()), 1);
      EXPECT_EQ(props.HasExtension((oid + " ").c_str()), 0);
      EXPECT_EQ(props.HasExtension(oid.substr(0, oid.rfind('.')).c_str()), 0);
    }

    // The PEM is the DER armoured.
    core::Buffer pem;
    ASSERT_EQ(props.CertificatePem(pem), 0);
    EXPECT_EQ(NoCr(Bytes(pem)), Shell("openssl x509 -inform DER -in " + file));
  }
}

// A bare-key entry answers its key fingerprint for the thumbprints, writes its key texts, and its PEM is a
// temporary certificate carrying the key (refused in FIPS-compliant mode); an empty store answers "".
TEST_F(CertProperties, BareKeyAndEmptyStore) {
  using P = CertProperty;
  EXPECT_STREQ(properties_.Text(P::kThumbprintSha1), "");
  EXPECT_STREQ(properties_.Text(P::kEffectiveDate), "");
  EXPECT_EQ(properties_.Number(P::kExtensionCount), 0);
  core::Buffer out;
  ASSERT_EQ(out.SetString("kept?"), 0);
  EXPECT_EQ(properties_.Fill(P::kDer, out), 0);
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_EQ(properties_.CertificatePem(out), 0);
  EXPECT_TRUE(out.IsEmpty());

  const std::string p8 = Shell("openssl pkcs8 -topk8 -nocrypt -outform DER -in " + *dir_ / "rsa.key");
  pki::Pkcs8KeyInfo info;
  ASSERT_EQ(pki::ReadPkcs8PrivateKeyInfo(reinterpret_cast<const uint8_t*>(p8.data()), static_cast<int32_t>(p8.size()),
                                         info),
            0);
  ASSERT_EQ(store_->AddKey(info.key), 0);
  const std::pair<P, P> kPairs[] = {{P::kThumbprintMd5, P::kKeyFingerprintMd5},
                                    {P::kThumbprintSha1, P::kKeyFingerprintSha1},
                                    {P::kThumbprintSha256, P::kKeyFingerprintSha256}};
  const char* const kDigests[] = {"MD5", "SHA1", "SHA256"};
  for (int i = 0; i < 3; ++i) {
    core::Buffer fingerprint;
    ASSERT_EQ(SshKeyFingerprint(info.key, fingerprint, kDigests[i]), 0);
    EXPECT_EQ(properties_.Text(kPairs[i].first), Bytes(fingerprint)) << kDigests[i];
    EXPECT_EQ(properties_.Text(kPairs[i].second), Bytes(fingerprint)) << kDigests[i];
  }
  EXPECT_STREQ(properties_.Text(P::kVersion), "");

  const std::string public_pem = Shell("openssl x509 -inform DER -in " + *dir_ / "rsa.der" + " -noout -pubkey");
  EXPECT_EQ(NoCr(properties_.Text(P::kPublicKeyPem)), public_pem);
  const std::string private_pem = dir_->Write("bare.key", properties_.Text(P::kPrivateKeyPem));
  EXPECT_EQ(Shell("openssl pkey -in " + private_pem + " -pubout"), public_pem);
  ASSERT_EQ(properties_.CertificatePem(out), 0);
  const std::string temporary = dir_->Write("temporary.pem", Bytes(out));
  EXPECT_EQ(Shell("openssl x509 -in " + temporary + " -noout -pubkey"), public_pem);
  EXPECT_EQ(Shell("openssl x509 -in " + temporary + " -noout -subject"), "subject=CN = pem_cert\n");

  // A public key cannot sign its own certificate; the throwaway signer FIPS mode refuses.
  std::unique_ptr<pki::Certificate> ec(ParseFile(dir_->Read("ec.der")));
  ASSERT_EQ(store_->entries.Clear(), 0);
  ASSERT_EQ(store_->AddKey(ec->tbs.publicKey.key), 0);
  ASSERT_EQ(providers_.settings.Set("UseFIPSCompliantAPI=true"), 0);
  const char* text = nullptr;
  int32_t length = -1;
  EXPECT_EQ(properties_.CertificatePem(&text, &length), kFipsRefused);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(Bytes(owner_.LastErrorText()), "Unsupported certificate in FIPS mode.");
}

// Certificates that parse after random edits answer every property without a fault (ASan and UBSan
// watch the reads of their extension values).
TEST_F(CertProperties, MutatedCertificatesAnswerEveryProperty) {
  std::vector<std::string> seeds;
  for (const char* name : {"rsa", "ec", "ed25519", "v1", "ext"}) seeds.push_back(dir_->Read(std::string(name) + ".der"));
  testing_support::RunMutationLoop("CertProperties", seeds, 5000, std::string("\x00\x01\x04\x30\x80\xff", 6),
                                   [&](const std::string& der) {
    pki::Certificate certificate;
    if (pki::ParseCertificate(reinterpret_cast<const uint8_t*>(der.data()), static_cast<int32_t>(der.size()),
                              certificate) != 0) {
      return std::string();
    }
    if (store_->entries.Clear() != 0 || store_->AddCertificate(certificate) != 0) return std::string("no entry");
    core::Buffer out;
    for (int p = 0; p <= static_cast<int>(CertProperty::kOcspUrl); ++p) {
      const auto property = static_cast<CertProperty>(p);
      (void)properties_.Text(property, true);
      (void)properties_.Number(property);
      (void)properties_.Fill(property, out);
    }
    for (int32_t i = -1; i <= properties_.Number(CertProperty::kExtensionCount); ++i) {
      const char* data = nullptr;
      int32_t length = 0;
      (void)properties_.ExtensionValue(i, &data, &length);
      (void)properties_.ExtensionValueByOid(properties_.ExtensionOid(i), out);
    }
    return std::string(properties_.CertificatePem(out) == 0 || out.IsEmpty() ? "" : "PEM kept after a failure");
  });
}

}  // namespace
}  // namespace velmora::keystore
