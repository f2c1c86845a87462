// The private keys of certificate contexts: a software-provider key, CryptoAPI container keys and smart-card
// keys, found through the context's key-provider information, sign digests openssl pkeyutl verifies with
// the certificate's public key.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "component/component_base.h"
#include "crypto/objects/key_providers.h"
#include "crypto/providers/provider_tables.h"
#include "crypto/providers/storage_provider_keys.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/core/python_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/hash_types.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#endif

namespace velmora::crypto {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO

namespace plat = velmora::platform;
namespace fs = std::filesystem;
using testing_support::FromHex;
using testing_support::ToHex;

// "make DIR NAME KIND" makes a key with openssl genpkey and a self-signed certificate of it with openssl
// req, and prints NAME, the key's CNG private blob, its CryptoAPI private blob (exchange for "capi1",
// else signature; "x" for EC), its PKCS#8 DER, the certificate's DER and the RSA modulus or EC X.
// "verify DIR NAME DIGEST SIG" checks a PKCS#1 SHA-256 or an r || s ECDSA signature with openssl pkeyutl
// against the certificate's key.
constexpr char kOracle[] = R"PY(
import os, struct, subprocess, sys
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa, utils
def be(v, n=None): return v.to_bytes(n or (v.bit_length() + 7) // 8, "big")
def le(v, n): return v.to_bytes(n, "little")
for line in sys.stdin:
    f = line.split()
    base = os.path.join(f[1], f[2])
    if f[0] == "make":
        opts = ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"] if f[3] == "rsa" else \
               ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"]
        subprocess.run(["openssl", "genpkey"] + opts + ["-out", base + ".key"], check=True, capture_output=True)
        subprocess.run(["openssl", "req", "-x509", "-key", base + ".key", "-subj", "/CN=" + f[2], "-days", "1",
                        "-outform", "DER", "-out", base + ".der"], check=True, capture_output=True)
        key = serialization.load_pem_private_key(open(base + ".key", "rb").read(), None)
        pkcs8 = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption())
        cert = open(base + ".der", "rb").read()
        if f[3] == "rsa":
            n = key.private_numbers(); pub = n.public_numbers; bits = key.key_size
            e, m, p, q = be(pub.e), be(pub.n), be(n.p), be(n.q)
            cng = struct.pack("<6I", 0x32415352, bits, len(e), len(m), len(p), len(q)) + e + m + p + q
            alg = 0xA400 if f[2] == "capi1" else 0x2400
            capi = struct.pack("<BBHI", 7, 2, 0, alg) + struct.pack("<3I", 0x32415352, bits, pub.e) + le(pub.n, bits // 8)
            for v in (n.p, n.q, n.dmp1, n.dmq1, n.iqmp): capi += le(v, bits // 16)
            capi += le(n.d, bits // 8)
            print(f[2], cng.hex(), capi.hex(), pkcs8.hex(), cert.hex(), be(pub.n).hex())
        else:
            n = key.private_numbers(); pub = n.public_numbers
            cng = struct.pack("<2I", 0x32534345, 32) + be(pub.x, 32) + be(pub.y, 32) + be(n.private_value, 32)
            print(f[2], cng.hex(), "x", pkcs8.hex(), cert.hex(), be(pub.x, 32).hex())
    elif f[0] == "verify":
        cert = x509.load_der_x509_certificate(open(base + ".der", "rb").read())
        open(base + ".pub", "wb").write(cert.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        sig = bytes.fromhex(f[4])
        opts = ["-pkeyopt", "digest:sha256"]
        if not isinstance(cert.public_key(), rsa.RSAPublicKey):
            half = len(sig) // 2
            sig = utils.encode_dss_signature(int.from_bytes(sig[:half], "big"), int.from_bytes(sig[half:], "big"))
            opts = []
        open(base + ".digest", "wb").write(bytes.fromhex(f[3])); open(base + ".sig", "wb").write(sig)
        r = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", base + ".pub", "-in", base + ".digest",
                            "-sigfile", base + ".sig"] + opts, capture_output=True)
        print(f[2], "ok" if r.returncode == 0 else "bad")
    sys.stdout.flush()
)PY";

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }
const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
std::vector<uint8_t> Bytes(const std::string& hex) {
  const std::string bytes = FromHex(hex);
  return {bytes.begin(), bytes.end()};
}
std::string Stripped(std::string bytes) {
  return bytes.erase(0, std::min(bytes.find_first_not_of('\0'), bytes.size()));
}

class CertificateKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_cert_keys_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    root_ = base;
    fs::create_directory(root_ + "/store");
    plat::test::SetStoreRoot((root_ + "/store").c_str());
    CryptoProvidersStaticInit();
    LoadNCryptFunctions();
  }
  void TearDown() override {
    FreeNCryptFunctions();
    CryptoProvidersStaticDestroy();
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
    plat::test::SetStoreRoot(nullptr);
    fs::remove_all(root_);
  }
  std::string root_;
};

TEST_F(CertificateKeysTest, KeysOfCertificatesSignForOpenssl) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "the openssl command is not installed";
  if (std::system((std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "python3-cryptography is not installed";
  }
  struct Made {
    std::string cng, capi, pkcs8, certificate, public_part;
  };
  const char* kinds[][2] = {{"softrsa", "rsa"}, {"softec", "ec"},   {"capi1", "rsa"},
                            {"capi2", "rsa"},   {"cardrsa", "rsa"}, {"cardec", "ec"}};
  std::string commands, out;
  for (const auto& kind : kinds) commands += "make " + root_ + " " + kind[0] + " " + kind[1] + "\n";
  ASSERT_TRUE(testing_support::RunPython(kOracle, "", commands, &out, pki::testing::kDebianPython));
  std::map<std::string, Made> made;
  for (const auto& f : testing_support::Lines(out)) {
    ASSERT_EQ(f.size(), 6u);
    made[f[0]] = {FromHex(f[1]), f[2] == "x" ? "" : FromHex(f[2]), f[3], f[4], FromHex(f[5])};
  }
  ASSERT_EQ(made.size(), 6u);

  // The keys where the certificates' information will find them.
  for (const char* name : {"softrsa", "softec"}) {
    const std::u16string key_name(name, name + std::char_traits<char>::length(name));
    const std::string& blob = made[name].cng;
    ASSERT_EQ(ImportKeyToStorageProvider(key_name.c_str(), U8(blob), static_cast<uint32_t>(blob.size()), 0,
                                         plat::kNcryptAllowSigningFlag, plat::kSoftwareKeyStorageProvider,
                                         made[name].capi.empty() ? u"ECCPRIVATEBLOB" : u"RSAPRIVATEBLOB", nullptr, 0,
                                         nullptr), 0) << name;
  }
  plat::HCRYPTPROV container = 0;
  ASSERT_EQ(plat::CryptAcquireContextA(&container, "capi", nullptr, plat::kProvRsaAes, 8), 1);
  for (const char* name : {"capi1", "capi2"}) {
    plat::HCRYPTKEY key = 0;
    const std::string& blob = made[name].capi;
    ASSERT_EQ(plat::CryptImportKey(container, U8(blob), static_cast<plat::DWORD>(blob.size()), 0, 0, &key), 1) << name;
    EXPECT_EQ(plat::CryptDestroyKey(key), 1);
  }
  EXPECT_EQ(plat::CryptReleaseContext(container, 0), 1);
  for (const char* name : {"cardrsa", "cardec"}) {
    const std::u16string key_name(name, name + std::char_traits<char>::length(name));
    ASSERT_TRUE(plat::ksp::test::EnrolSmartCardKey(u"card", u"1234", key_name, Bytes(made[name].pkcs8),
                                                   Bytes(made[name].certificate)));
  }

  // Each certificate in a memory store, its information naming its key.
  plat::HCERTSTORE store = plat::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvMemory), 0, 0, 0,
                                               nullptr);
  ASSERT_NE(store, nullptr);
  std::u16string capi_provider = u"Microsoft Enhanced RSA and AES Cryptographic Provider";
  std::u16string software = plat::kSoftwareKeyStorageProvider, card = plat::kSmartCardKeyStorageProvider;
  std::map<std::string, std::u16string> names;
  auto context_of = [&](const std::string& name, std::u16string container_name, std::u16string* provider,
                        plat::DWORD type, plat::DWORD spec) {
    const std::string der = FromHex(made[name].certificate);
    plat::PCCERT_CONTEXT context = nullptr;
    EXPECT_EQ(plat::CertAddEncodedCertificateToStore(store, plat::kX509AsnEncoding, U8(der),
                                                     static_cast<plat::DWORD>(der.size()), plat::kCertStoreAddAlways,
                                                     &context), 1);
    names[name] = std::move(container_name);
    plat::CRYPT_KEY_PROV_INFO info{names[name].data(), provider->data(), type, 0, 0, nullptr, spec};
    EXPECT_EQ(plat::CertSetCertificateContextProperty(context, plat::kCertKeyProvInfoPropId, 0, &info), 1);
    return context;
  };
  struct Case {
    const char* name;
    plat::PCCERT_CONTEXT context;
    bool rsa;
  };
  const Case cases[] = {
      {"softrsa", context_of("softrsa", u"softrsa", &software, 0, plat::kCertNcryptKeySpec), true},
      {"softec", context_of("softec", u"softec", &software, 0, plat::kCertNcryptKeySpec), false},
      {"capi1", context_of("capi1", u"capi", &capi_provider, plat::kProvRsaAes, 1), true},
      {"capi2", context_of("capi2", u"capi", &capi_provider, plat::kProvRsaAes, 2), true},
      {"cardrsa", context_of("cardrsa", u"cardrsa", &card, 0, plat::kCertNcryptKeySpec), true},
      {"cardec", context_of("cardec", u"cardec", &card, 0, plat::kCertNcryptKeySpec), false},
  };
  const std::string digest = FromHex("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
  commands.clear();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    component::CryptoComponent component;
    core::Buffer signature;
    const char* pin = std::string(c.name).rfind("card", 0) == 0 ? "1234" : nullptr;
    if (c.rsa) {
      ASSERT_EQ(RsaFromCertificateContext(component, c.context, pin, 0), 0);
      EXPECT_EQ(Stripped(Str(HeldRsaKey(component)->GetKeyParams()->Modulus)), made[c.name].public_part);
      ASSERT_EQ(HeldRsaKey(component)->Sign(U8(digest), 32, "SHA256", signature, 0, 0), 0);
    } else {
      ASSERT_EQ(EccFromCertificateContext(component, c.context, pin, 0), 0);
      EXPECT_EQ(Str(HeldEccKey(component)->GetKeyParams()->X), made[c.name].public_part);
      ASSERT_EQ(HeldEccKey(component)->Sign(U8(digest), 32, signature), 0);
    }
    commands += "verify " + root_ + " " + c.name + " " + ToHex(digest) + " " + ToHex(Str(signature)) + "\n";
  }
  ASSERT_TRUE(testing_support::RunPython(kOracle, "", commands, &out, pki::testing::kDebianPython));
  const auto answers = testing_support::Lines(out);
  ASSERT_EQ(answers.size(), std::size(cases));
  for (const auto& answer : answers) EXPECT_EQ(answer[1], "ok") << answer[0];

  // A container key spec that is neither exchange nor signature.
  plat::PCCERT_CONTEXT other_spec = context_of("capi1", u"capi", &capi_provider, plat::kProvRsaAes, 3);
  {
    component::CryptoComponent component;
    EXPECT_EQ(RsaFromCertificateContext(component, other_spec, nullptr, 0), -1);
  }
  // A card key: never exported, so only its public numbers come back; with a wrong PIN it refuses to sign.
  for (const Case& c : {cases[4], cases[5]}) {
    SCOPED_TRACE(c.name);
    component::CryptoComponent component;
    core::Buffer signature;
    if (c.rsa) {
      ASSERT_EQ(RsaFromCertificateContext(component, c.context, "4321", 0), 0);
      EXPECT_TRUE(HeldRsaKey(component)->GetKeyParams()->D.IsEmpty());
      EXPECT_EQ(Stripped(Str(HeldRsaKey(component)->GetKeyParams()->Modulus)), made[c.name].public_part);
      EXPECT_EQ(HeldRsaKey(component)->Sign(U8(digest), 32, "SHA256", signature, 0, 0),
                static_cast<int>(plat::kScardWWrongChv));
    } else {
      ASSERT_EQ(EccFromCertificateContext(component, c.context, "4321", 0), 0);
      EXPECT_TRUE(HeldEccKey(component)->GetKeyParams()->D.IsEmpty());
      EXPECT_EQ(Str(HeldEccKey(component)->GetKeyParams()->X), made[c.name].public_part);
      EXPECT_EQ(HeldEccKey(component)->Sign(U8(digest), 32, signature), static_cast<int>(plat::kScardWWrongChv));
    }
  }
  for (const Case& c : cases) EXPECT_EQ(plat::CertFreeCertificateContext(c.context), 1);
  EXPECT_EQ(plat::CertFreeCertificateContext(other_spec), 1);
  EXPECT_EQ(plat::CertCloseStore(store, 0), 1);
}

#else

TEST(CertificateKeysTest, KeysOfCertificatesSignForOpenssl) {
  GTEST_SKIP() << "built without the platform crypto modules: no certificate keys";
}

#endif

}  // namespace
}  // namespace velmora::crypto
