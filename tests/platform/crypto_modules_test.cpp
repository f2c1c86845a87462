// The platform crypto modules' own contract, as the platform documents it (not compared with OpenSSL,
// which backs them): argument checks that write nothing, the container that must exist before it opens
// with flags 0, handle life, and the module table's view of the entry points.
#include <vector>

#include <gtest/gtest.h>

#include "platform/crypto/crypto_modules.h"
#include "platform/last_error.h"
#include "platform/modules.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(CryptoModules, RefusedRequestsWriteNothing) {
  Bytes out(32, 0);
  EXPECT_EQ(BCryptGenRandom(reinterpret_cast<BCRYPT_ALG_HANDLE>(out.data()), out.data(), 32, 2), kStatusInvalidParameter);
  EXPECT_EQ(BCryptGenRandom(nullptr, out.data(), 32, 0), kStatusInvalidParameter);
  EXPECT_EQ(BCryptGenRandom(nullptr, nullptr, 32, kBcryptUseSystemPreferredRng), kStatusInvalidParameter);
  EXPECT_EQ(out, Bytes(32, 0));
  HCRYPTPROV handle = 0;
  EXPECT_EQ(CryptAcquireContextA(&handle, "_VLM_RNG_", nullptr, 2, kCryptNewKeyset), 0);
  EXPECT_EQ(GetLastError(), 0x80090014u);  // NTE_BAD_PROV_TYPE
  EXPECT_EQ(CryptAcquireContextA(&handle, "_VLM_RNG_", nullptr, kProvRsaFull, 0x100), 0);
  EXPECT_EQ(CryptAcquireContextA(nullptr, "_VLM_RNG_", nullptr, kProvRsaFull, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(BCryptGenRandom(nullptr, out.data(), 32, kBcryptUseSystemPreferredRng), kStatusSuccess);
  EXPECT_NE(out, Bytes(32, 0));
  EXPECT_EQ(CompareCryptNames(u"SHA256", u"sha256"), 0);
  EXPECT_NE(CompareCryptNames(u"\u00C4", u"\u00E4"), 0);  // only A-Z fold
}

TEST(CryptoModules, ContainerIsCreatedOnceAndHandlesCloseOnce) {
  HCRYPTPROV first = 0;
  HCRYPTPROV second = 0;
  // Under ctest each test has its own process; run whole, another test may have created the container.
  test::FailNextAcquireContext();
  EXPECT_EQ(CryptAcquireContextA(&first, "_VLM_RNG_", nullptr, kProvRsaFull, 0), 0);
  EXPECT_EQ(GetLastError(), kNteBadKeyset);
  ASSERT_EQ(CryptAcquireContextA(&first, "_VLM_RNG_", nullptr, kProvRsaFull, kCryptNewKeyset), 1);
  ASSERT_EQ(CryptAcquireContextA(&second, "_VLM_RNG_", nullptr, kProvRsaFull, 0), 1);
  EXPECT_NE(first, second);
  EXPECT_EQ(test::LiveCryptoHandles(), 2);
  Bytes out(48, 0);
  EXPECT_EQ(CryptGenRandom(first, 48, out.data()), 1);
  EXPECT_NE(out, Bytes(48, 0));
  EXPECT_EQ(CryptReleaseContext(first, 1), 0);
  EXPECT_EQ(CryptReleaseContext(first, 0), 1);
  EXPECT_EQ(CryptReleaseContext(first, 0), 0);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(CryptGenRandom(first, 48, out.data()), 0);
  EXPECT_EQ(CryptReleaseContext(second, 0), 1);
  EXPECT_EQ(test::LiveCryptoHandles(), 0);
}

TEST(CryptoModules, ModuleTableHandsOutTheEntryPoints) {
  ModuleHandle advapi = LoadModule("ADVAPI32.DLL");
  ModuleHandle bcrypt = LoadModule("Bcrypt.dll");
  ASSERT_NE(advapi, nullptr);
  ASSERT_NE(bcrypt, nullptr);
  EXPECT_EQ(GetProc(bcrypt, "BCryptGenRandom"), reinterpret_cast<void*>(&BCryptGenRandom));
  EXPECT_EQ(GetProc(advapi, "BCryptGenRandom"), nullptr);
  test::SetProcMissing("advapi32", "CryptGenRandom", true);
  SetLastError(0);
  EXPECT_EQ(GetProc(advapi, "CryptGenRandom"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);
  EXPECT_NE(GetProc(advapi, "CryptAcquireContextA"), nullptr);
  test::SetProcMissing("advapi32", "CryptGenRandom", false);
  EXPECT_EQ(GetProc(advapi, "CryptGenRandom"), reinterpret_cast<void*>(&CryptGenRandom));
  EXPECT_TRUE(FreeModule(advapi));
  EXPECT_TRUE(FreeModule(bcrypt));
}

}  // namespace
}  // namespace velmora::platform
