// Key records as CNG private blobs and back, against python3-cryptography's numbers, and keys placed into
// and read out of the software and simulated TPM key storage providers.
#include "crypto/objects/cng_key_blobs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/providers/provider_tables.h"
#include "crypto/providers/storage_provider_keys.h"
#include "platform/modules.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ncrypt_types.h"
#endif

namespace velmora::crypto {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO

namespace plat = velmora::platform;
namespace fs = std::filesystem;
using testing_support::FromHex;
using testing_support::ToHex;

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }
std::string Stripped(std::string bytes) { return bytes.erase(0, std::min(bytes.find_first_not_of('\0'), bytes.size())); }
void Set(core::BufferCore& field, const std::string& hex) {
  const std::string bytes = FromHex(hex);
  ASSERT_EQ(field.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

// "rsa" prints N E P Q DP DQ QINV; "ec CURVE" X Y D; "encrypt N E HEX" the PKCS#1 v1.5 ciphertext openssl
// pkeyutl -encrypt makes.
constexpr char kOracle[] = R"PY(
import os, subprocess, sys, tempfile
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa, ec
def hx(v): return "x" + v.to_bytes((v.bit_length() + 7) // 8, "big").hex()
for line in sys.stdin:
    f = line.split()
    if f[0] == "rsa":
        n = rsa.generate_private_key(65537, 2048).private_numbers()
        print(hx(n.public_numbers.n), hx(n.public_numbers.e), hx(n.p), hx(n.q), hx(n.dmp1), hx(n.dmq1), hx(n.iqmp))
    elif f[0] == "ec":
        n = ec.generate_private_key({"256": ec.SECP256R1(), "384": ec.SECP384R1(), "521": ec.SECP521R1()}[f[1]]).private_numbers()
        print(hx(n.public_numbers.x), hx(n.public_numbers.y), hx(n.private_value))
    elif f[0] == "encrypt":
        pub = rsa.RSAPublicNumbers(int(f[2], 16), int(f[1], 16)).public_key()
        with tempfile.TemporaryDirectory() as tmp:
            open(os.path.join(tmp, "pub.pem"), "wb").write(pub.public_bytes(
                serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
            open(os.path.join(tmp, "in"), "wb").write(bytes.fromhex(f[3]))
            out = subprocess.run(["openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", os.path.join(tmp, "pub.pem"),
                                  "-pkeyopt", "rsa_padding_mode:pkcs1", "-in", os.path.join(tmp, "in")],
                                 capture_output=True, check=True).stdout
        print("x" + out.hex())
)PY";

bool HaveOracle() {
  return std::system("openssl version >/dev/null 2>&1") == 0 &&
         std::system((std::string(pki::testing::kDebianPython) + " -c 'import cryptography' 2>/dev/null").c_str()) == 0;
}

class CngKeyBlobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_blobs_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    root_ = base;
    plat::test::SetStoreRoot(root_.c_str());
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

TEST_F(CngKeyBlobsTest, RecordsMakeTheRoundTrip) {
  if (!HaveOracle()) GTEST_SKIP() << "openssl or python3-cryptography is not installed";
  std::string out;
  ASSERT_TRUE(
      testing_support::RunPython(kOracle, "", "rsa\nec 256\nec 384\nec 521\n", &out, pki::testing::kDebianPython));
  const auto lines = testing_support::Lines(out);
  ASSERT_EQ(lines.size(), 4u);
  KeyRecord rsa_key;
  rsa_key.Type = kKeyRsa;
  Set(rsa_key.RsaParams.Modulus, lines[0][0]);
  Set(rsa_key.RsaParams.Exponent, lines[0][1]);
  Set(rsa_key.RsaParams.P, lines[0][2]);
  Set(rsa_key.RsaParams.Q, lines[0][3]);
  core::Buffer blob;
  ASSERT_EQ(KeyRecordToCngPrivateBlob(rsa_key, blob), 0);
  KeyRecord back;
  ASSERT_EQ(CngBlobToKeyRecord(back, blob.Bytes(), blob.Length()), 0);
  ASSERT_EQ(back.Type, kKeyRsa);
  EXPECT_EQ(ToHex(Stripped(Str(back.RsaParams.Modulus))), lines[0][0].substr(1));
  EXPECT_EQ(ToHex(Stripped(Str(back.RsaParams.DP))), lines[0][4].substr(1));
  EXPECT_EQ(ToHex(Stripped(Str(back.RsaParams.DQ))), lines[0][5].substr(1));
  EXPECT_EQ(ToHex(Stripped(Str(back.RsaParams.InverseQ))), lines[0][6].substr(1));
  EXPECT_FALSE(back.RsaParams.D.IsEmpty());
  for (int i = 1; i <= 3; ++i) {
    KeyRecord ec_key;
    ec_key.Type = kKeyEc;
    ec_key.EcParams.KeyType = i - 1;
    Set(ec_key.EcParams.X, lines[i][0]);
    Set(ec_key.EcParams.Y, lines[i][1]);
    Set(ec_key.EcParams.D, lines[i][2]);
    core::Buffer ec_blob;
    ASSERT_EQ(KeyRecordToCngPrivateBlob(ec_key, ec_blob), 0) << i;
    KeyRecord ec_back;
    ASSERT_EQ(CngBlobToKeyRecord(ec_back, ec_blob.Bytes(), ec_blob.Length()), 0);
    EXPECT_EQ(ec_back.Type, kKeyEc);
    EXPECT_EQ(ec_back.EcParams.KeyType, i - 1);
    EXPECT_EQ(ToHex(Stripped(Str(ec_back.EcParams.D))), lines[i][2].substr(1)) << i;
    EXPECT_EQ(ToHex(Stripped(Str(ec_back.EcParams.X))), lines[i][0].substr(1)) << i;
  }
  // Without the private part, and the key types that have no CNG private blob.
  KeyRecord public_only;
  public_only.Type = kKeyRsa;
  Set(public_only.RsaParams.Modulus, lines[0][0]);
  Set(public_only.RsaParams.Exponent, lines[0][1]);
  EXPECT_EQ(KeyRecordToCngPrivateBlob(public_only, blob), 290);
  KeyRecord dsa_key, ed_key;
  dsa_key.Type = kKeyDsa;
  ed_key.Type = kKeyEdwards;
  EXPECT_EQ(KeyRecordToCngPrivateBlob(dsa_key, blob), 1424);
  EXPECT_EQ(KeyRecordToCngPrivateBlob(ed_key, blob), 1424);
}

TEST_F(CngKeyBlobsTest, StorageProvidersKeepTheirPolicies) {
  if (!HaveOracle()) GTEST_SKIP() << "openssl or python3-cryptography is not installed";
  std::string out;
  ASSERT_TRUE(testing_support::RunPython(kOracle, "", "rsa\nec 256\n", &out, pki::testing::kDebianPython));
  const auto lines = testing_support::Lines(out);
  ASSERT_EQ(lines.size(), 2u);
  KeyRecord key;
  key.Type = kKeyRsa;
  Set(key.RsaParams.Modulus, lines[0][0]);
  Set(key.RsaParams.Exponent, lines[0][1]);
  Set(key.RsaParams.P, lines[0][2]);
  Set(key.RsaParams.Q, lines[0][3]);
  core::Buffer blob;
  ASSERT_EQ(KeyRecordToCngPrivateBlob(key, blob), 0);
  const auto length = static_cast<uint32_t>(blob.Length());
  const uint8_t certificate[] = {0x30, 0x03, 0x02, 0x01, 0x07};
  const char16_t* software = u"Microsoft Software Key Storage Provider";

  // Nothing to do: 0 and nothing written.
  EXPECT_EQ(ImportKeyToStorageProvider(u"", blob.Bytes(), length, 0, 1, software, u"RSAPRIVATEBLOB", nullptr, 0, nullptr), 0);
  EXPECT_EQ(ImportKeyToStorageProvider(u"k", nullptr, 0, 0, 1, software, u"RSAPRIVATEBLOB", nullptr, 0, nullptr), 0);
  EXPECT_FALSE(fs::exists(root_ + "/ksp"));

  // The software provider: exportable, the same numbers back, the certificate beside the key.
  ASSERT_EQ(ImportKeyToStorageProvider(u"soft", blob.Bytes(), length, 0, 1, software, u"RSAPRIVATEBLOB", certificate,
                                       sizeof certificate, nullptr), 0);
  auto open = ProviderFunctionAs<plat::NCryptOpenStorageProviderFn>(ProviderTable::kKeyStore, key_store_fn::kOpenStorageProvider);
  auto open_key = ProviderFunctionAs<plat::NCryptOpenKeyFn>(ProviderTable::kKeyStore, key_store_fn::kOpenKey);
  auto get = ProviderFunctionAs<plat::NCryptGetPropertyFn>(ProviderTable::kKeyStore, key_store_fn::kGetProperty);
  auto free_object = ProviderFunctionAs<plat::NCryptFreeObjectFn>(ProviderTable::kKeyStore, key_store_fn::kFreeObject);
  auto sign = ProviderFunctionAs<plat::NCryptSignHashFn>(ProviderTable::kKeyStore, key_store_fn::kSignHash);
  auto decrypt = ProviderFunctionAs<plat::NCryptCipherFn>(ProviderTable::kKeyStore, key_store_fn::kDecrypt);
  auto property = [&](const char16_t* provider_name, const char16_t* name, const char16_t* what) {
    plat::NCRYPT_PROV_HANDLE provider = 0;
    plat::NCRYPT_KEY_HANDLE handle = 0;
    std::string value(64, '\0');
    plat::DWORD size = 0;
    EXPECT_EQ(open(&provider, provider_name, 0), 0);
    EXPECT_EQ(open_key(provider, &handle, name, 0, 0), 0);
    if (get(handle, what, reinterpret_cast<uint8_t*>(value.data()), 64, &size, 0) != 0) size = 0;
    (void)free_object(handle);
    (void)free_object(provider);
    return value.substr(0, size);
  };
  EXPECT_EQ(property(software, u"soft", u"Export Policy"), std::string("\x03\0\0\0", 4));
  EXPECT_EQ(property(software, u"soft", u"SmartCardKeyCertificate"),
            std::string(reinterpret_cast<const char*>(certificate), sizeof certificate));
  uint8_t exported[2048];
  uint32_t exported_length = sizeof exported;
  ASSERT_EQ(ExportKeyFromStorageProvider(u"soft", exported, &exported_length, software, u"RSAPRIVATEBLOB", nullptr), 0);
  KeyRecord back;
  ASSERT_EQ(CngBlobToKeyRecord(back, exported, static_cast<int32_t>(exported_length)), 0);
  EXPECT_EQ(ToHex(Stripped(Str(back.RsaParams.Modulus))), lines[0][0].substr(1));
  EXPECT_EQ(ToHex(Stripped(Str(back.RsaParams.P))), lines[0][2].substr(1));

  // The TPM: policy 0, export only with the migration password.
  ASSERT_EQ(ImportKeyToStorageProvider(u"tpm", blob.Bytes(), length, 0, 1, kTpmProviderName, u"RSAPRIVATEBLOB", nullptr, 0,
                                       u"secret"), 0);
  EXPECT_EQ(property(kTpmProviderName, u"tpm", u"Export Policy"), std::string(4, '\0'));
  for (const char16_t* password : {static_cast<const char16_t*>(nullptr), u"wrong"}) {
    exported_length = sizeof exported;
    EXPECT_EQ(ExportKeyFromStorageProvider(u"tpm", exported, &exported_length, kTpmProviderName, u"RSAPRIVATEBLOB", password),
              plat::kNtePerm);
    EXPECT_EQ(exported_length, 0u);
  }
  exported_length = sizeof exported;
  ASSERT_EQ(ExportKeyFromStorageProvider(u"tpm", exported, &exported_length, kTpmProviderName, u"RSAPRIVATEBLOB", u"secret"), 0);
  KeyRecord from_tpm;
  ASSERT_EQ(CngBlobToKeyRecord(from_tpm, exported, static_cast<int32_t>(exported_length)), 0);
  EXPECT_EQ(ToHex(Stripped(Str(from_tpm.RsaParams.Q))), lines[0][3].substr(1));
  // An empty password is not set, and the key is still stored.
  ASSERT_EQ(ImportKeyToStorageProvider(u"tpm2", blob.Bytes(), length, 0, 1, kTpmProviderName, u"RSAPRIVATEBLOB", nullptr, 0,
                                       u""), 0);
  EXPECT_EQ(property(kTpmProviderName, u"tpm2", u"Key Usage"), std::string("\x01\0\0\0", 4));

  // Key usage: the TPM's RSA key decrypts what openssl encrypted and refuses to sign; its EC key signs and
  // refuses agreement.
  ASSERT_TRUE(testing_support::RunPython(
      kOracle, "", "encrypt " + lines[0][0].substr(1) + " " + lines[0][1].substr(1) + " 68656c6c6f\n", &out,
      pki::testing::kDebianPython));
  const std::string ciphertext = FromHex(testing_support::Lines(out)[0][0]);
  plat::NCRYPT_PROV_HANDLE provider = 0;
  plat::NCRYPT_KEY_HANDLE handle = 0;
  ASSERT_EQ(open(&provider, kTpmProviderName, 0), 0);
  ASSERT_EQ(open_key(provider, &handle, u"tpm", 0, 0), 0);
  uint8_t plain[256];
  plat::DWORD size = 0;
  ASSERT_EQ(decrypt(handle, reinterpret_cast<const uint8_t*>(ciphertext.data()), static_cast<plat::DWORD>(ciphertext.size()),
                    nullptr, plain, sizeof plain, &size, plat::kNcryptPadPkcs1Flag), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), size), "hello");
  plat::BCRYPT_PKCS1_PADDING_INFO pkcs1{u"SHA256"};
  const uint8_t digest[32] = {1};
  EXPECT_EQ(sign(handle, &pkcs1, digest, 32, plain, sizeof plain, &size, plat::kNcryptPadPkcs1Flag), plat::kNtePerm);
  (void)free_object(handle);
  KeyRecord ec_key;
  ec_key.Type = kKeyEc;
  ec_key.EcParams.KeyType = 0;
  Set(ec_key.EcParams.X, lines[1][0]);
  Set(ec_key.EcParams.Y, lines[1][1]);
  Set(ec_key.EcParams.D, lines[1][2]);
  core::Buffer ec_blob;
  ASSERT_EQ(KeyRecordToCngPrivateBlob(ec_key, ec_blob), 0);
  ASSERT_EQ(ImportKeyToStorageProvider(u"tpm_ec", ec_blob.Bytes(), static_cast<uint32_t>(ec_blob.Length()), 0, 2,
                                       kTpmProviderName, u"ECCPRIVATEBLOB", nullptr, 0, u"secret"), 0);
  ASSERT_EQ(open_key(provider, &handle, u"tpm_ec", 0, 0), 0);
  uint8_t signature[64];
  EXPECT_EQ(sign(handle, nullptr, digest, 32, signature, sizeof signature, &size, 0), 0);
  plat::ModuleHandle ncrypt = plat::LoadModule("ncrypt");
  auto agree = reinterpret_cast<plat::NCryptSecretAgreementFn>(plat::GetProc(ncrypt, "NCryptSecretAgreement"));
  plat::NCRYPT_SECRET_HANDLE secret = 0;
  EXPECT_EQ(agree(handle, handle, &secret, 0), plat::kNtePerm);
  EXPECT_TRUE(plat::FreeModule(ncrypt));
  (void)free_object(handle);
  (void)free_object(provider);
}

#else

TEST(CngKeyBlobsTest, RecordsMakeTheRoundTrip) {
  GTEST_SKIP() << "built without the platform crypto modules: no key storage provider";
}

#endif

}  // namespace
}  // namespace velmora::crypto
