// The certificate module's function table: what the socket layer's start-up fills it with, that a second
// load changes nothing, and that an empty table answers 0 from every forwarding operation without a call.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "component/socket_base.h"
#include "component/tls_services.h"
#include "platform/modules.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#endif

namespace velmora::component {
namespace {

namespace plat = platform;

#if VELMORABLE_PLATFORM_CRYPTO
constexpr bool kModulePresent = true;
#else
constexpr bool kModulePresent = false;
#endif

std::vector<void*> TableNow() {
  std::vector<void*> entries;
  for (int n = 1; n <= kCrypt32EntryCount; ++n) entries.push_back(Crypt32Entry(n));
  return entries;
}

bool TableEmpty() {
  for (void* entry : TableNow()) {
    if (entry != nullptr) return false;
  }
  return true;
}

int CallsOfEveryEntry() {
  int calls = 0;
#if VELMORABLE_PLATFORM_CRYPTO
  for (int n = 1; n <= kCrypt32EntryCount; ++n) calls += plat::test::CryptoCallCount(Crypt32EntryName(n));
#endif
  return calls;
}

TEST(Crypt32Table, StartUpResolvesEveryEntryByNameAndLoadsOnce) {
  SocketBase::StaticInit();
  plat::ModuleHandle module = plat::LoadModule("crypt32.dll");
  ASSERT_EQ(module != nullptr, kModulePresent);
  int set = 0;
  for (int n = 1; n <= kCrypt32EntryCount; ++n) {
    const char* name = Crypt32EntryName(n);
    ASSERT_NE(name, nullptr) << n;
    void* expected = module != nullptr ? plat::GetProc(module, name) : nullptr;
    EXPECT_EQ(Crypt32Entry(n), expected) << n << " " << name;
    set += Crypt32Entry(n) != nullptr;
  }
  if (module != nullptr) {
    EXPECT_TRUE(plat::FreeModule(module));
  }
  EXPECT_STREQ(Crypt32EntryName(25), "CryptAcquireContextU");
  EXPECT_EQ(Crypt32Entry(25), nullptr);
  EXPECT_EQ(set, kModulePresent ? 42 : 0);
  EXPECT_EQ(Crypt32EntryName(0), nullptr);
  EXPECT_EQ(Crypt32EntryName(44), nullptr);

  const std::vector<void*> before = TableNow();
  const int loads = plat::test::ModuleLoadCount("crypt32");
  EXPECT_EQ(loads, kModulePresent ? 1 : 0);
  LoadCrypt32Functions();
  EXPECT_EQ(TableNow(), before);
  EXPECT_EQ(plat::test::ModuleLoadCount("crypt32"), loads);

  SocketBase::StaticDestroy();
  EXPECT_EQ(plat::test::ModuleLoadCount("crypt32"), 0);
  EXPECT_TRUE(TableEmpty());
  SocketBase::StaticInit();
  EXPECT_EQ(TableNow(), before);
  SocketBase::StaticDestroy();
}

// Each forwarding operation, called with empty arguments; true when it answered 0.
std::vector<std::function<bool()>> EveryForwardingOperation() {
  return {
      [] { return CertDuplicateCertificateContext(nullptr) == nullptr; },
      [] { return CertFreeCertificateContext(nullptr) == 0; },
      [] { return CertCloseStore(nullptr, 0) == 0; },
      [] { return CertNameToStrA(0, nullptr, 0, nullptr, 0) == 0; },
      [] { return CertFindCertificateInStore(nullptr, 0, 0, 0, nullptr, nullptr) == nullptr; },
      [] { return CertStrToNameA(0, nullptr, 0, nullptr, nullptr, nullptr, nullptr) == 0; },
      [] { return CertOpenSystemStoreA(0, "MY") == nullptr; },
      [] {
        return CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvMemory), 0, 0, 0, nullptr) == nullptr;
      },
      [] { return CertVerifyCertificateChainPolicy(nullptr, nullptr, nullptr, nullptr) == 0; },
      [] { return CertGetCertificateChain(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr) == 0; },
      [] { return CertFreeCertificateChain(nullptr) == 0; },
      [] { return CertEnumSystemStore(0, nullptr, nullptr, nullptr) == 0; },
      [] { return CertGetPublicKeyLength(0, nullptr) == 0; },
      [] { return CertGetIntendedKeyUsage(0, nullptr, nullptr, 0) == 0; },
      [] { return CertCreateCertificateContext(1, nullptr, 0) == nullptr; },
      [] { return CertGetCertificateContextProperty(nullptr, 3, nullptr, nullptr) == 0; },
      [] { return CryptEncryptMessage(nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr) == 0; },
      [] { return CryptSignMessage(nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr) == 0; },
      [] { return CryptSignAndEncryptMessage(nullptr, nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr) == 0; },
      [] { return CryptDecryptMessage(nullptr, nullptr, 0, nullptr, nullptr, nullptr) == 0; },
      [] {
        return CryptDecryptAndVerifyMessageSignature(nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                                                     nullptr) == 0;
      },
      [] { return CryptVerifyDetachedMessageSignature(nullptr, 0, nullptr, 0, 0, nullptr, nullptr, nullptr) == 0; },
      [] { return CryptVerifyMessageSignature(nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr) == 0; },
      [] { return CertDeleteCertificateFromStore(nullptr) == 0; },
      [] { return CryptAcquireContextU(nullptr, nullptr, nullptr, 0, 0) == 0; },
      [] { return PFXImportCertStore(nullptr, nullptr, 0) == nullptr; },
      [] { return PFXExportCertStore(nullptr, nullptr, nullptr, 0) == 0; },
      [] { return CryptAcquireCertificatePrivateKey(nullptr, 0, nullptr, nullptr, nullptr, nullptr) == 0; },
      [] { return CertSetCertificateContextProperty(nullptr, 11, 0, nullptr) == 0; },
      [] { return CertAddEncodedCertificateToStore(nullptr, 1, nullptr, 0, 4, nullptr) == 0; },
      [] { return CertAddCertificateContextToStore(nullptr, nullptr, 4, nullptr) == 0; },
      [] { return CryptSignAndEncodeCertificate(0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0; },
      [] { return CryptExportPublicKeyInfo(0, 0, 0, nullptr, nullptr) == 0; },
      [] { return CryptEncodeObject(0, nullptr, nullptr, nullptr, nullptr) == 0; },
      [] { return CryptDecodeObject(0, nullptr, nullptr, 0, 0, nullptr, nullptr) == 0; },
      [] { return CryptFindOIDInfo(0, nullptr, 0) == nullptr; },
      [] { return CryptMsgOpenToDecode(0, 0, 0, 0, nullptr, nullptr) == nullptr; },
      [] { return CryptMsgUpdate(nullptr, nullptr, 0, 0) == 0; },
      [] { return CryptMsgGetParam(nullptr, 0, 0, nullptr, nullptr) == 0; },
      [] { return CryptMsgClose(nullptr) == 0; },
      [] { return CryptVerifyCertificateSignature(0, 0, nullptr, 0, nullptr) == 0; },
      [] { return CertVerifyTimeValidity(nullptr, nullptr) == 0; },
      [] { return CryptImportPublicKeyInfo(0, 0, nullptr, nullptr) == 0; },
  };
}

TEST(Crypt32Table, MissingModuleLeavesEveryOperationAnsweringZeroUntilALaterLoad) {
  plat::test::SetModuleMissing("crypt32", true);
  SocketBase::StaticInit();
  EXPECT_EQ(plat::test::ModuleLoadCount("crypt32"), 0);
  EXPECT_TRUE(TableEmpty());
  LoadCrypt32Functions();  // still missing: the failed load leaves nothing behind
  EXPECT_TRUE(TableEmpty());

  const int calls = CallsOfEveryEntry();
  const std::vector<std::function<bool()>> operations = EveryForwardingOperation();
  ASSERT_EQ(static_cast<int>(operations.size()), kCrypt32EntryCount);
  for (int n = 1; n <= kCrypt32EntryCount; ++n) EXPECT_TRUE(operations[n - 1]()) << Crypt32EntryName(n);
  EXPECT_EQ(CallsOfEveryEntry(), calls);
#if VELMORABLE_PLATFORM_CRYPTO
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);  // no store opened
#endif

  plat::test::SetModuleMissing("crypt32", false);
  LoadCrypt32Functions();
  EXPECT_EQ(Crypt32Entry(8) != nullptr, kModulePresent);
  EXPECT_EQ(plat::test::ModuleLoadCount("crypt32"), kModulePresent ? 1 : 0);
#if VELMORABLE_PLATFORM_CRYPTO
  // Loaded, the operation reaches the module.
  const int opens = plat::test::CryptoCallCount("CertOpenStore");
  plat::HCERTSTORE store = CertOpenStore(reinterpret_cast<const char*>(plat::kCertStoreProvMemory), 0, 0, 0, nullptr);
  EXPECT_NE(store, nullptr);
  EXPECT_EQ(CertCloseStore(store, 0), 1);
  EXPECT_EQ(plat::test::CryptoCallCount("CertOpenStore"), opens + 1);
#endif
  SocketBase::StaticDestroy();
  EXPECT_EQ(plat::test::ModuleLoadCount("crypt32"), 0);
  EXPECT_TRUE(TableEmpty());
}

}  // namespace
}  // namespace velmora::component
