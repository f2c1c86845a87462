// The platform function tables: what start-up and tear-down leave in them, the loaders' rules, the NCrypt
// wrappers, and the provider choice the tables enable for digests and PBKDF2.
#include <cctype>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/password_kdf.h"
#include "crypto/providers/bcrypt_cipher_functions.h"
#include "crypto/providers/cng_hash.h"
#include "crypto/providers/provider_tables.h"
#include "crypto/rand/random.h"
#include "platform/modules.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/win_codes.h"
#endif

namespace velmora::crypto {
namespace {

namespace plat = velmora::platform;

constexpr ProviderTable kTables[] = {ProviderTable::kAgreement, ProviderTable::kSignature, ProviderTable::kNcryptEcc,
                                     ProviderTable::kHash,      ProviderTable::kPbkdf2,    ProviderTable::kNcryptRsa,
                                     ProviderTable::kKeyStore};
constexpr const char* kModules[] = {"bcrypt", "ncrypt", "crypt32", "advapi32"};

int LiveHandles() {
#if VELMORABLE_PLATFORM_CRYPTO
  return plat::test::LiveCryptoHandles();
#else
  return 0;
#endif
}

// ExpectedFunction is what a table should hold for a function: the module's own entry, or null when that
// module or one before it in the table's chain cannot be loaded.
void* ExpectedFunction(const ProviderTableLayout& layout, int function) {
  void* expected = nullptr;
  for (int module = 0; module <= layout.functions[function].module; ++module) {
    plat::ModuleHandle handle = plat::LoadModule(layout.modules[module]);
    if (handle == nullptr) return nullptr;
    if (module == layout.functions[function].module) expected = plat::GetProc(handle, layout.functions[function].name);
    (void)plat::FreeModule(handle);
  }
  return expected;
}

// The cipher table, which has its own shape, as name and pointer pairs.
std::vector<std::pair<const char*, void*>> CipherEntries() {
  const BcryptCipherFunctions& t = BcryptCipherTable();
  return {{"BCryptOpenAlgorithmProvider", reinterpret_cast<void*>(t.open_algorithm_provider)},
          {"BCryptCloseAlgorithmProvider", reinterpret_cast<void*>(t.close_algorithm_provider)},
          {"BCryptDestroyKey", reinterpret_cast<void*>(t.destroy_key)},
          {"BCryptImportKey", reinterpret_cast<void*>(t.import_key)},
          {"BCryptGetProperty", reinterpret_cast<void*>(t.get_property)},
          {"BCryptSetProperty", reinterpret_cast<void*>(t.set_property)},
          {"BCryptEncrypt", reinterpret_cast<void*>(t.encrypt)},
          {"BCryptDecrypt", reinterpret_cast<void*>(t.decrypt)},
          {"BCryptGenerateSymmetricKey", reinterpret_cast<void*>(t.generate_symmetric_key)}};
}

int HashOnce(int32_t engine_id) {
  core::Buffer out;
  return ComputeHash(engine_id, "abc", 3, out);
}

TEST(ProviderTables, StartUpFillsEveryTableAndTearDownEmptiesThem) {
  component::SocketBase::StaticInit();
  for (ProviderTable table : kTables) {
    const ProviderTableLayout& layout = ProviderLayout(table);
    for (int i = 0; i < layout.function_count; ++i) {
      EXPECT_EQ(ProviderFunction(table, i), ExpectedFunction(layout, i))
          << "table " << static_cast<int>(table) << " " << layout.functions[i].name;
#if VELMORABLE_PLATFORM_CRYPTO
      // Every module of every chain is present here, "crypt32" and "advapi32" included.
      EXPECT_NE(ProviderFunction(table, i), nullptr) << layout.functions[i].name;
#endif
    }
  }
  plat::ModuleHandle bcrypt = plat::LoadModule("bcrypt");
  for (const auto& [name, pointer] : CipherEntries()) EXPECT_EQ(pointer, plat::GetProc(bcrypt, name)) << name;
  if (bcrypt != nullptr) (void)plat::FreeModule(bcrypt);
#if VELMORABLE_PLATFORM_CRYPTO
  EXPECT_EQ(test::RngEntryPointsLoaded(), 4);
  // Open a cached handle of every kind the tables own.
  component::Configurable<component::ComponentBase> settings;
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=true"), 0);
  uint8_t key[16];
  const uint8_t salt[16] = {};
  EXPECT_EQ(Pbkdf2ByHmacId(kEngineHmacSha1, salt, 4, salt, 16, 2, 16, key), 0);
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=false"), 0);
  EXPECT_EQ(HashOnce(kEngineSha256), 0);
  EXPECT_GT(LiveHandles(), 0);
#endif
  CryptoProvidersStaticDestroy();
  for (ProviderTable table : kTables) {
    if (table == ProviderTable::kKeyStore) continue;  // freed with the socket layer
    for (int i = 0; i < ProviderLayout(table).function_count; ++i) EXPECT_EQ(ProviderFunction(table, i), nullptr);
  }
  for (const auto& entry : CipherEntries()) EXPECT_EQ(entry.second, nullptr) << entry.first;
  EXPECT_EQ(test::RngEntryPointsLoaded(), 0);
  EXPECT_EQ(LiveHandles(), 0);
  component::SocketBase::StaticDestroy();
  for (const char* module : kModules) EXPECT_EQ(plat::test::ModuleLoadCount(module), 0) << module;
  for (int i = 0; i < ProviderLayout(ProviderTable::kKeyStore).function_count; ++i) {
    EXPECT_EQ(ProviderFunction(ProviderTable::kKeyStore, i), nullptr);
  }
}

#if VELMORABLE_PLATFORM_CRYPTO
TEST(ProviderTables, LoadersRetryMissingModulesAndHideOnlyMissingFunctions) {
  plat::test::SetModuleMissing("crypt32", true);
  for (auto [load, free] : {std::pair{&LoadNcryptEccFunctions, &FreeNcryptEccFunctions},
                            std::pair{&LoadNcryptRsaFunctions, &FreeNcryptRsaFunctions}}) {
    load();
    load();
    EXPECT_EQ(plat::test::ModuleLoadCount("ncrypt"), 1);
    EXPECT_EQ(ProviderFunction(ProviderTable::kNcryptEcc, ncrypt_ecc_fn::kAcquireCertificatePrivateKey), nullptr);
    EXPECT_EQ(ProviderFunction(ProviderTable::kNcryptRsa, ncrypt_rsa_fn::kAcquireCertificatePrivateKey), nullptr);
    free();
    EXPECT_EQ(plat::test::ModuleLoadCount("ncrypt"), 0);
  }
  plat::test::SetModuleMissing("crypt32", false);

  component::Configurable<component::ComponentBase> settings;
  const ProviderTableLayout& layout = ProviderLayout(ProviderTable::kHash);
  for (int hidden = 0; hidden < layout.function_count; ++hidden) {
    plat::test::SetProcMissing("bcrypt", layout.functions[hidden].name, true);
    LoadBcryptHashFunctions();
    plat::test::SetProcMissing("bcrypt", layout.functions[hidden].name, false);
    for (int i = 0; i < layout.function_count; ++i) EXPECT_EQ(ProviderFunction(ProviderTable::kHash, i) == nullptr, i == hidden);
    // Only the close and duplicate functions are not needed to hash.
    const bool needed = hidden != hash_fn::kCloseAlgorithmProvider && hidden != hash_fn::kDuplicateHash;
    EXPECT_EQ(HashOnce(kEngineSha1), needed ? kNoPlatformProvider : 0) << layout.functions[hidden].name;
    {
      CngHmac hmac;
      EXPECT_EQ(hmac.SetKey(kCngSha256, nullptr, 0), needed ? kNoPlatformProvider : 0);
    }
    FreeBcryptHashFunctions();
  }
  EXPECT_EQ(HashOnce(kEngineSha1), kNoPlatformProvider);
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=true"), 0);
  uint8_t key[16];
  const uint8_t salt[16] = {};
  plat::test::SetProcMissing("bcrypt", "BCryptDeriveKeyPBKDF2", true);
  LoadBcryptPbkdf2Functions();
  plat::test::SetProcMissing("bcrypt", "BCryptDeriveKeyPBKDF2", false);
  EXPECT_EQ(Pbkdf2ByHmacId(kEngineHmacSha256, salt, 4, salt, 16, 2, 16, key), kNoPlatformProvider);
  FreeBcryptPbkdf2Functions();
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=false"), 0);
  EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt"), 0);
  EXPECT_EQ(LiveHandles(), 0);
}

TEST(ProviderTables, NcryptWrappersCheckTheirFunctions) {
  plat::NCRYPT_HANDLE zero = 0;
  EXPECT_EQ(NCryptFreeHandle(zero), 0);
  plat::NCRYPT_PROV_HANDLE provider = 0;
  EXPECT_EQ(OpenKeyStorageProvider(provider), -1);
  plat::NCRYPT_HANDLE stray = 0x1234;
  EXPECT_EQ(NCryptFreeHandle(stray), -1);
  EXPECT_EQ(stray, 0x1234u);

  LoadNcryptEccFunctions();
  plat::test::ResetCryptoCallCounts();
  EXPECT_EQ(OpenKeyStorageProvider(provider), 0);
  EXPECT_NE(provider, 0u);
  const plat::NCRYPT_PROV_HANDLE first = provider;
  EXPECT_EQ(OpenKeyStorageProvider(provider), 0);
  EXPECT_EQ(provider, first);
  EXPECT_EQ(plat::test::CryptoCallCount("NCryptOpenStorageProvider"), 1);
  EXPECT_EQ(LiveHandles(), 1);
  EXPECT_EQ(NCryptFreeHandle(provider), 0);
  EXPECT_EQ(provider, 0u);
  EXPECT_EQ(LiveHandles(), 0);
  // A provider that is not there: the platform's own status comes back.
  auto open = ProviderFunctionAs<plat::NCryptOpenStorageProviderFn>(ProviderTable::kNcryptEcc,
                                                                    ncrypt_ecc_fn::kOpenStorageProvider);
  plat::NCRYPT_PROV_HANDLE other = 0;
  EXPECT_EQ(open(&other, u"Some Other Key Storage Provider", 0), plat::kNteProvDllNotFound);
  FreeNcryptEccFunctions();
  plat::test::ResetCryptoCallCounts();
}

// RunOpenSslPbkdf2 derives with the openssl command line; empty when it cannot run.
std::string RunOpenSslPbkdf2(const std::string& password, const std::string& salt_hex) {
  const std::string command = "openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:" + password +
                              " -kdfopt hexsalt:" + salt_hex + " -kdfopt iter:1000 PBKDF2 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string text;
  char chunk[256];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
  if (pclose(pipe) != 0) return {};
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
  }
  return hex;
}

TEST(ProviderTables, DigestsAndFipsPbkdf2ReachThePlatformWhileTheTablesAreLoaded) {
  component::Configurable<component::ComponentBase> settings;
  CryptoProvidersStaticInit();
  plat::test::ResetCryptoCallCounts();
  for (int32_t engine_id : {kEngineSha256, kEngineSha1}) {
    const std::string message = "the platform digest of a short message";
    core::Buffer platform_digest;
    const int before = plat::test::CryptoCallCount("BCryptHashData");
    ASSERT_EQ(ComputeHash(engine_id, message.data(), static_cast<int32_t>(message.size()), platform_digest), 0);
    EXPECT_GT(plat::test::CryptoCallCount("BCryptHashData"), before);
    ASSERT_EQ(settings.Set("UseInternalCryptoAPI=true"), 0);
    core::Buffer internal_digest;
    ASSERT_EQ(ComputeHash(engine_id, message.data(), static_cast<int32_t>(message.size()), internal_digest), 0);
    ASSERT_EQ(settings.Set("UseInternalCryptoAPI=false"), 0);
    EXPECT_EQ(platform_digest.Equals(internal_digest), 1) << engine_id;
  }
  CryptoProvidersStaticDestroy();
  EXPECT_EQ(HashOnce(kEngineSha256), kNoPlatformProvider);
  CryptoProvidersStaticInit();
  EXPECT_EQ(HashOnce(kEngineSha256), 0);

  const std::string password = "correct-horse";
  const std::string salt = "0123456789abcdef";
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=true"), 0);
  uint8_t key[32] = {};
  const auto* pw = reinterpret_cast<const uint8_t*>(password.data());
  const auto* s = reinterpret_cast<const uint8_t*>(salt.data());
  plat::test::ResetCryptoCallCounts();
  EXPECT_EQ(Pbkdf2ByHmacId(kEngineHmacSha256, pw, static_cast<int32_t>(password.size()), s, 16, 1000, 32, key), 0);
  EXPECT_EQ(plat::test::CryptoCallCount("BCryptDeriveKeyPBKDF2"), 1);
  EXPECT_EQ(Pbkdf2ByHmacId(kEngineHmacSha256, pw, 4, s, 15, 1000, 32, key), kNotAllowedInFips);
  EXPECT_EQ(Pbkdf2ByHmacId(kEngineHmacMd5, pw, 4, s, 16, 1000, 32, key), kNoInternalDigest);
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=false"), 0);
  CryptoProvidersStaticDestroy();
  EXPECT_EQ(LiveHandles(), 0);
  const std::string expected = RunOpenSslPbkdf2(password, testing_support::ToHex(salt));
  if (expected.empty()) GTEST_SKIP() << "the openssl command line with its kdf command is not available";
  EXPECT_EQ(testing_support::ToHex(std::string(reinterpret_cast<const char*>(key), 32)), expected);
}
#else
TEST(ProviderTables, WithoutTheCryptoModulesEveryPathReportsNotAvailable) {
  CryptoProvidersStaticInit();
  EXPECT_EQ(HashOnce(kEngineSha256), kNoPlatformProvider);
  plat::NCRYPT_PROV_HANDLE provider = 0;
  EXPECT_EQ(OpenKeyStorageProvider(provider), -1);
  CryptoProvidersStaticDestroy();
  GTEST_SKIP() << "built without the platform crypto modules: the stand-in paths are not tested";
}
#endif

}  // namespace
}  // namespace velmora::crypto
