// A component's certificate and key handed to the platform stand-ins, against keys, certificates and
// PKCS #12 files the openssl command line made: bare keys land in containers holding the input key,
// certificates in the memory store byte for byte, PKCS #12 files in a temporary store that release
// purges. Nothing stays under the store root and no handle stays open.
#include "keystore/component_keys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "component/tls_services.h"
#include "crypto/providers/provider_tables.h"
#include "keystore/cert_loader.h"
#include "platform/clock.h"
#include "platform/os_version.h"
#include "platform/store_root.h"
#include "tests/asn1/asn1_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/capi_containers.h"
#include "platform/crypto/crypto_modules.h"
#include "tests/keystore/platform_keys_fixture.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/ncrypt_modules.h"
#endif

namespace velmora::keystore {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO

namespace plat = velmora::platform;
namespace fs = std::filesystem;
using pki::testing::RunCommand;

// The inputs, made once per test: keys, a certificate and PKCS #12 files of it.
constexpr char kMake[] = R"SH(
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.pem &&
openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsa.par &&
openssl genpkey -paramfile dsa.par -out dsa.pem &&
for k in rsa dsa; do openssl pkcs8 -topk8 -nocrypt -in $k.pem -outform DER -out $k.p8; done &&
openssl req -x509 -key rsa.pem -subj /CN=component -days 2 -out cert.pem &&
openssl x509 -in cert.pem -outform DER -out cert.der &&
openssl pkcs12 -export -in cert.pem -inkey rsa.pem -passout pass:PW -out default.pfx &&
openssl pkcs12 -export -legacy -in cert.pem -inkey rsa.pem -passout pass:PW -out legacy.pfx &&
openssl pkcs12 -export -in cert.pem -inkey rsa.pem -passout pass: -out empty.pfx)SH";

std::string FilesUnder(const std::string& root) {
  std::string files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files += entry.path().string() + "\n";
  }
  return files;
}

// LiveObjects counts the certificate contexts and stores, containers' provider and key handles, and key
// storage handles still open (the loaded tables' own handles are counted at tear-down).
int LiveObjects() {
  return plat::test::LiveCertHandles() + plat::capi::LiveHandles() + plat::LiveNcryptHandles() +
         plat::LiveNcryptKeys();
}

class ComponentKeysTest : public testing::PlatformKeysFixture {
 protected:
  void SetUp() override { Start("velmora_component_keys", kMake); }
  void TearDown() override {
    plat::test::ResetOsVersion();
    plat::test::ThawTickCount();
    if (dir_.empty()) return;
    component_.ReleaseCertificateContext();
    component_.ResetStore();
    EXPECT_EQ(FilesUnder(dir_ + "/store"), "");
    Finish();
  }
  // Load reads a file of the test directory into the loaded store of into (the fixture's component when
  // null).
  CertStoreHandle& Load(const char* file, const char* password, component::CertKeyComponent* into = nullptr) {
    auto* handle = new CertStoreHandle;
    (into != nullptr ? *into : component_).SetLoadedStore(handle);
    const std::string bytes = Read(file);
    EXPECT_EQ(LoadCertificate(*handle, bytes.data(), static_cast<int32_t>(bytes.size()), false, password, nullptr,
                              nullptr),
              0);
    return *handle;
  }
  component::CertKeyComponent component_;
};

TEST_F(ComponentKeysTest, BareKeysLandInContainersThatReleaseDeletes) {
  struct Row {
    const char* file;
    const char* provider;
    uint32_t spec;
  };
  for (const Row& row : {Row{"rsa", "", 1}, Row{"dsa", "Microsoft Base DSS Cryptographic Provider", 2}}) {
    SCOPED_TRACE(row.file);
    Load((std::string(row.file) + ".pem").c_str(), "");
    ASSERT_EQ(ImportPemKeyToCryptoApi(component_, false), 0) << component_.LastErrorText().Data();
    const std::string name = pki::testing::Bytes(component_.ContainerName());
    EXPECT_EQ(name.rfind("pem_key_", 0), 0u);
    EXPECT_EQ(pki::testing::Bytes(component_.KeyContext().provider_name), row.provider);
    const std::vector<uint8_t> held = plat::test::ContainerKeyDer(name.c_str(), false, row.spec);
    EXPECT_EQ(std::string(held.begin(), held.end()), Read(std::string(row.file) + ".p8"));
    EXPECT_NE(FilesUnder(dir_ + "/store/capi"), "");
    component_.ReleaseCertificateContext();
    EXPECT_TRUE(component_.ContainerName().IsEmpty());
    EXPECT_EQ(component_.KeyState().container_flags, 0u);
    EXPECT_EQ(FilesUnder(dir_ + "/store"), "");
  }
}

TEST_F(ComponentKeysTest, OldSystemKeepsBareKeyInMachineKeySet) {
  plat::test::SetOsVersion({5, 1, 2600, true});
  Load("dsa.pem", "");
  ASSERT_EQ(ImportPemKeyToCryptoApi(component_, false), 0) << component_.LastErrorText().Data();
  EXPECT_EQ(component_.KeyState().container_flags, kContainerMachineKeyset);
  const std::vector<uint8_t> held =
      plat::test::ContainerKeyDer(pki::testing::Bytes(component_.ContainerName()).c_str(), true, 2);
  EXPECT_EQ(std::string(held.begin(), held.end()), Read("dsa.p8"));
  component_.ReleaseCertificateContext();
  // The DSS provider chosen for the key does not outlive its container.
  EXPECT_EQ(component_.KeyContext().provider_type, 1);
  EXPECT_EQ(FilesUnder(dir_ + "/store"), "");
}

TEST_F(ComponentKeysTest, ImportsInOneMillisecondKeepTheirOwnContainers) {
  std::string ignored;
  ASSERT_TRUE(RunCommand("cd " + dir_ + " && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 "
                         "-out other.pem 2>/dev/null && openssl pkcs8 -topk8 -nocrypt -in other.pem -outform DER "
                         "-out other.p8",
                         &ignored));
  auto held = [](const core::BufferCore& container) {
    const std::vector<uint8_t> der =
        plat::test::ContainerKeyDer(pki::testing::Bytes(container).c_str(), false, plat::kAtKeyExchange);
    return std::string(der.begin(), der.end());
  };
  plat::test::FreezeTickCount(4711);
  component::CertKeyComponent other;
  Load("rsa.pem", "");
  Load("other.pem", "", &other);
  ASSERT_EQ(ImportPemKeyToCryptoApi(component_, false), 0) << component_.LastErrorText().Data();
  ASSERT_EQ(ImportPemKeyToCryptoApi(other, false), 0) << other.LastErrorText().Data();
  EXPECT_EQ(held(component_.ContainerName()), Read("rsa.p8"));
  EXPECT_EQ(held(other.ContainerName()), Read("other.p8"));
  component_.ReleaseCertificateContext();
  EXPECT_EQ(held(other.ContainerName()), Read("other.p8"));
  EXPECT_TRUE(plat::capi::IsOpen(other.KeyContext().provider_handle));
}

TEST_F(ComponentKeysTest, CertificateWithoutKeyBecomesContextOfMemoryStore) {
  Load("cert.pem", "");
  ASSERT_EQ(ImportPemKeyToCryptoApi(component_, false), 0);
  ASSERT_NE(component_.CertificateContext(), nullptr);
  const auto* context = component_.CertificateContext();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded),
            Read("cert.der"));
}

TEST_F(ComponentKeysTest, PfxGoesThroughTemporaryStoreThatReleasePurges) {
  struct Row {
    const char* file;
    const char* password;   // what the file was made with
    const char* component;  // what the component gives
    bool long_information;  // key-provider information made longer than 548 bytes before release
    int rc;
  };
  const Row rows[] = {{"default.pfx", "PW", "PW", false, 0},   {"legacy.pfx", "PW", "PW", false, 0},
                      {"empty.pfx", "", "", false, 0},         {"default.pfx", "PW", "PW", true, 0},
                      {"default.pfx", "PW", "wrong", false, 271}};
  const std::string der = Read("cert.der");
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + row.component);
    Load(row.file, row.password);
    ASSERT_EQ(component_.StorePassword().SetString(row.component), 0);
    ASSERT_EQ(ImportPemKeyToCryptoApi(component_, false), row.rc);
    if (row.rc != 0) {
      EXPECT_STREQ(component_.LastErrorText().Data(), "Cannot acquire private key");
      EXPECT_EQ(LiveObjects(), 0);
      EXPECT_EQ(FilesUnder(dir_ + "/store"), "");
      continue;
    }
    const auto* context = component_.CertificateContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(context->pbCertEncoded), context->cbCertEncoded), der);
    EXPECT_NE(component_.KeyState().temporary_key, 0u);
    EXPECT_NE(FilesUnder(dir_ + "/store"), "");
    if (row.long_information) {
      std::vector<uint64_t> block;
      ASSERT_TRUE(ReadKeyProvInfo(context, &block));
      auto info = *reinterpret_cast<const plat::CRYPT_KEY_PROV_INFO*>(block.data());
      std::u16string provider(400, u'P');
      info.pwszProvName = provider.data();
      ASSERT_NE(component::CertSetCertificateContextProperty(context, plat::kCertKeyProvInfoPropId, 0, &info), 0);
    }
    component_.ReleaseCertificateContext();
    EXPECT_EQ(FilesUnder(dir_ + "/store"), "");
  }
}

TEST_F(ComponentKeysTest, DamagedPfxFailsAndLeavesNothing) {
  const std::string good = Read("default.pfx");
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  for (int round = 0; round < 12; ++round) {
    std::string bad = good;
    if (round % 2 == 0) {
      bad.resize(random() % bad.size());
    } else {
      bad[random() % bad.size()] ^= static_cast<char>(1 << (random() % 8));
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    CertStoreHandle& handle = Load("default.pfx", "PW");
    ASSERT_EQ(component_.StorePassword().SetString("PW"), 0);
    ASSERT_EQ(handle.SelectedEntry()->pfx->input.SetData(static_cast<int32_t>(bad.size()), bad.data()), 0);
    const int rc = ImportPemKeyToCryptoApi(component_, false);
    if (rc != 0) {
      EXPECT_STREQ(component_.LastErrorText().Data(), "Cannot acquire private key");
    }
    component_.ReleaseCertificateContext();
    EXPECT_EQ(LiveObjects(), 0);
    EXPECT_EQ(FilesUnder(dir_ + "/store"), "");
  }
  // An entry with neither certificate nor key hands nothing over.
  component_.SetLoadedStore(new CertStoreHandle);
  EXPECT_EQ(ImportPemKeyToCryptoApi(component_, false), 0);
  EXPECT_EQ(component_.CertificateContext(), nullptr);
}

#else

TEST(ComponentKeys, NeedsPlatformCrypto) { GTEST_SKIP() << "built without the platform crypto modules"; }

#endif

}  // namespace
}  // namespace velmora::keystore
