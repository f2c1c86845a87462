// A component's key in the simulated TPM: imported from PKCS #12 files openssl made, linked to the
// certificate in the user's "MY" store, and read back with the migration password into a PKCS #12 file
// whose key openssl matches against the certificate; and the refusals, which leave no key behind.
#include "keystore/tpm_keys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "component/tls_services.h"
#include "crypto/providers/provider_tables.h"
#include "crypto/providers/storage_provider_keys.h"
#include "keystore/cert_loader.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "tests/keystore/platform_keys_fixture.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_types.h"
#endif

namespace velmora::keystore {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO

namespace plat = velmora::platform;
namespace fs = std::filesystem;
using pki::testing::RunCommand;

// A certificate and PKCS #12 file (password PW) for each key kind.
constexpr char kMake[] = R"SH(
for k in rsa:RSA:rsa_keygen_bits:2048 ec:EC:ec_paramgen_curve:P-256 dsa:DSA:dsa_paramgen_bits:1024 ed:ED25519; do
  n=${k%%:*}; rest=${k#*:}; alg=${rest%%:*}; opt=${rest#*:}
  if [ "$alg" = ED25519 ]; then openssl genpkey -algorithm ED25519 -out $n.key
  elif [ "$alg" = DSA ]; then openssl genpkey -genparam -algorithm DSA -pkeyopt $opt -out $n.par &&
    openssl genpkey -paramfile $n.par -out $n.key
  else openssl genpkey -algorithm $alg -pkeyopt $opt -out $n.key; fi &&
  openssl req -x509 -key $n.key -subj /CN=tpm-$n -days 2 -out $n.pem &&
  openssl pkcs12 -export -in $n.pem -inkey $n.key -passout pass:PW -out $n.pfx || exit 1
done)SH";

constexpr char kTripleDes[] = "1.2.840.113549.1.12.1.3";
constexpr char kRc2[] = "1.2.840.113549.1.12.1.6";
constexpr char kSoftware[] = "Microsoft Software Key Storage Provider";

int FilesIn(const std::string& folder) {
  std::error_code error;
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder, error)) files += entry.is_regular_file() ? 1 : 0;
  return files;
}

class TpmKeysTest : public testing::PlatformKeysFixture {
 protected:
  void SetUp() override { Start("velmora_tpm_keys", kMake); }
  void TearDown() override {
    if (dir_.empty()) return;
    for (int i = 0; i < 2; ++i) {
      components_[i].ReleaseCertificateContext();
      components_[i].ResetStore();
    }
    Finish();
  }
  void Load(int which, const std::string& file) {
    auto* handle = new CertStoreHandle;
    components_[which].SetLoadedStore(handle);
    const std::string bytes = Read(file);
    ASSERT_EQ(LoadCertificate(*handle, bytes.data(), static_cast<int32_t>(bytes.size()), false, "PW", nullptr,
                              nullptr),
              0);
    ASSERT_EQ(components_[which].StorePassword().SetString("PW"), 0);
  }
  std::string Error(int which) { return pki::testing::Bytes(components_[which].LastErrorText()); }
  bool TpmHoldsKeys() { return TpmFiles() != 0; }
  int TpmFiles() { return FilesIn(dir_ + "/store/ksp/pcp"); }
  component::CertKeyComponent components_[2];
};

// The user's "MY" store context of the certificate in file (a reference the caller frees), or null.
plat::PCCERT_CONTEXT FromMyStore(const std::string& der) {
  plat::HCERTSTORE store = component::CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvSystemA), 0, 0,
                                                    plat::kCertSystemStoreCurrentUser, "MY");
  plat::PCCERT_CONTEXT context = nullptr;
  while ((context = component::CertFindCertificateInStore(store, 0x10001, 0, 0, nullptr, context)) != nullptr &&
         std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded) != der) {
  }
  (void)component::CertCloseStore(store, 0);
  return context;
}

TEST_F(TpmKeysTest, KeysGoIntoTpmAndComeBackWithMigrationPassword) {
  struct Row {
    const char* name;
    uint32_t usage;
  };
  for (const Row& row : {Row{"rsa", 1}, Row{"ec", 2}}) {
    SCOPED_TRACE(row.name);
    const std::string base = dir_ + "/" + row.name;
    std::string der;
    ASSERT_TRUE(RunCommand("openssl x509 -in " + base + ".pem -outform DER", &der));
    Load(0, std::string(row.name) + ".pfx");
    ASSERT_EQ(ImportKeyToTpm(components_[0], false, "MY", plat::kCertStoreAddReplaceExisting,
                             crypto::kTpmProviderName, u"migrate"),
              0)
        << Error(0);
    plat::PCCERT_CONTEXT linked = FromMyStore(der);
    ASSERT_NE(linked, nullptr);
    std::vector<uint64_t> block;
    ASSERT_TRUE(ReadKeyProvInfo(linked, &block));
    const auto& info = *reinterpret_cast<const plat::CRYPT_KEY_PROV_INFO*>(block.data());
    const std::string container = NarrowText(info.pwszContainerName);
    EXPECT_EQ(container.size(), 32u);
    EXPECT_EQ(container.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(std::u16string(info.pwszProvName), crypto::kTpmProviderName);
    EXPECT_EQ(info.dwProvType, 0u);
    EXPECT_EQ(info.dwKeySpec, 0u);
    plat::NCRYPT_KEY_HANDLE key = 0;
    ASSERT_EQ(plat::ksp::OpenKey(plat::ksp::Provider::kPlatformCrypto, &key, info.pwszContainerName, 0, 0), 0);
    uint32_t usage = 0;
    plat::DWORD got = 0;
    EXPECT_EQ(plat::ksp::GetProperty(key, plat::kNcryptKeyUsageProperty, reinterpret_cast<uint8_t*>(&usage),
                                     sizeof usage, &got, 0),
              0);
    EXPECT_EQ(usage, row.usage);
    (void)plat::ksp::FreeKey(key);

    // The certificate alone, with the linked context: a wrong password keeps the key in, the right one
    // brings it out.
    Load(1, std::string(row.name) + ".pem");
    components_[1].CertificateContext() = linked;
    core::StrList none;
    core::Buffer out;
    EXPECT_EQ(ExportTpmKey(components_[1], "PFX", "PW2", true, none, none, kTripleDes, kRc2, out, u"wrong"),
              static_cast<int>(plat::kNtePermCode));
    ASSERT_EQ(ExportTpmKey(components_[1], "PFX", "PW2", true, none, none, kTripleDes, kRc2, out, u"migrate"), 0)
        << Error(1);
    std::ofstream(base + ".out", std::ios::binary).write(out.Data(), out.Length());
    std::string from_pfx, from_certificate;
    ASSERT_TRUE(RunCommand("openssl pkcs12 -legacy -info -in " + base + ".out -passin pass:PW2 -nodes -nocerts "
                           "2>/dev/null | openssl pkey -pubout",
                           &from_pfx));
    ASSERT_TRUE(RunCommand("openssl x509 -in " + base + ".pem -pubkey -noout", &from_certificate));
    EXPECT_EQ(from_pfx, from_certificate);
    components_[1].ReleaseCertificateContext();
  }
}

TEST_F(TpmKeysTest, RefusalsLeaveNoKeyBehind) {
  struct Row {
    const char* file;
    const char* store;
    const char* provider;
    int rc;
    const char* text;
  };
  const Row rows[] = {
      {"dsa.pfx", "MY", "tpm", kUnsupportedTpmKey, "Cannot add the private key to TPM: Only support RSA or ECDSA format."},
      {"ed.pfx", "MY", "tpm", kUnsupportedTpmKey, "Cannot add the private key to TPM: Only support RSA or ECDSA format."},
      {"rsa.pfx", "NOSUCH", "tpm", kStoreNotOpened, "Cannot open certificate store"},
      {"rsa.pfx", "", "tpm", kStoreNotOpened, "Cannot open certificate store"},
      {"", "MY", kSoftware, kNoSubjectMatch, "The certificate could not be found"},
      {"rsa.pfx", "MY", kSoftware, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + row.store + " " + row.provider);
    if (row.file[0] != 0) {
      Load(0, row.file);
    } else {
      components_[0].SetLoadedStore(new CertStoreHandle);
    }
    std::u16string provider(row.provider, row.provider + std::strlen(row.provider));
    if (provider == u"tpm") provider = crypto::kTpmProviderName;
    components_[0].LastErrorText().Clear();
    EXPECT_EQ(ImportKeyToTpm(components_[0], false, row.store, plat::kCertStoreAddReplaceExisting,
                             provider.c_str(), u"migrate"),
              row.rc);
    EXPECT_EQ(Error(0), row.text);
    EXPECT_FALSE(TpmHoldsKeys());
    components_[0].ReleaseCertificateContext();
  }
  // The ordinary context went into the store.
  std::string der;
  ASSERT_TRUE(RunCommand("openssl x509 -in " + dir_ + "/rsa.pem -outform DER", &der));
  plat::PCCERT_CONTEXT added = FromMyStore(der);
  EXPECT_NE(added, nullptr);
  (void)component::CertFreeCertificateContext(added);

  // An Ed25519 certificate whose context names a TPM key has no blob to read it into.
  Load(1, "ed.pem");
  ASSERT_EQ(ImportPemKeyToCryptoApi(components_[1], false), 0);
  std::u16string container = u"0123456789ABCDEF0123456789ABCDEF", tpm = crypto::kTpmProviderName;
  plat::CRYPT_KEY_PROV_INFO info{container.data(), tpm.data(), 0, 0, 0, nullptr, 0};
  ASSERT_NE(component::CertSetCertificateContextProperty(components_[1].CertificateContext(),
                                                         plat::kCertKeyProvInfoPropId, 0, &info),
            0);
  core::StrList none;
  core::Buffer out;
  EXPECT_EQ(ExportTpmKey(components_[1], "PFX", "PW2", true, none, none, kTripleDes, kRc2, out, u"migrate"),
            kUnsupportedTpmKey);
  EXPECT_EQ(Error(1), "Cannot export the TPM private key: Only RSA or ECDSA formats are supported.");
}

TEST_F(TpmKeysTest, KeyOfRefusedCertificateLeavesTpm) {
  Load(0, "rsa.pfx");
  ASSERT_EQ(ImportKeyToTpm(components_[0], false, "MY", plat::kCertStoreAddNew, crypto::kTpmProviderName, u"m"), 0)
      << Error(0);
  const int files = TpmFiles();
  // The certificate is in the store already: an "add new" is refused.
  EXPECT_EQ(ImportKeyToTpm(components_[0], false, "MY", plat::kCertStoreAddNew, crypto::kTpmProviderName, u"m"),
            kStoreNotOpened);
  EXPECT_EQ(Error(0), "Cannot add certificate to store");
  EXPECT_EQ(TpmFiles(), files);
}

#else

TEST(TpmKeys, NeedsPlatformCrypto) { GTEST_SKIP() << "built without the platform crypto modules"; }

#endif

}  // namespace
}  // namespace velmora::keystore
