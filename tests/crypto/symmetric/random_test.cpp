// The random source: which platform source serves a request (seen through the crypto modules' call
// counters and the module switches), the start-up and tear-down that load and drop them, the handles a
// context keeps, and the helpers built on RandomBytes.
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "crypto/symmetric/hash_drbg.h"
#include "crypto/symmetric/random.h"
#include "platform/modules.h"
#include "platform/system_random.h"
#include "tests/test_support.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#endif

namespace velmora::crypto {
namespace {

namespace plat = velmora::platform;
using Bytes = std::vector<uint8_t>;

// RandomSources starts the library with the named modules missing and checks, after the tear-down, that
// every module load and every CryptoAPI handle was given back.
class RandomSources : public ::testing::Test {
 protected:
  void Start(std::vector<const char*> missing = {}) {
    missing_ = std::move(missing);
    for (const char* name : missing_) plat::test::SetModuleMissing(name, true);
#if VELMORABLE_PLATFORM_CRYPTO
    plat::test::ResetCryptoCallCounts();
#endif
    component::SocketBase::StaticInit();
    started_ = true;
  }
  void TearDown() override {
    if (started_) component::SocketBase::StaticDestroy();
    EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt"), 0);
    EXPECT_EQ(plat::test::ModuleLoadCount("advapi32"), 0);
#if VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
#endif
    for (const char* name : missing_) plat::test::SetModuleMissing(name, false);
  }
  static int Calls(const char* function) {
#if VELMORABLE_PLATFORM_CRYPTO
    return plat::test::CryptoCallCount(function);
#else
    (void)function;
    return 0;
#endif
  }

  std::vector<const char*> missing_;
  bool started_ = false;
};

TEST_F(RandomSources, WithoutPlatformModulesTheKernelFills) {
  Start({"bcrypt", "advapi32"});
  const int kernel_before = plat::test::SystemRandomFillCount();
  const uint32_t fallback_before = test::FallbackFillCount();
  RandomContext context;
  Bytes first(64), second(64);
  RandomBytes(context, first.data(), 64);
  RandomBytes(context, second.data(), 64);
  EXPECT_EQ(plat::test::SystemRandomFillCount(), kernel_before + 2);
  EXPECT_EQ(test::FallbackFillCount(), fallback_before + 2);
  EXPECT_NE(first, second);
  EXPECT_NE(first, Bytes(64, 0));
  EXPECT_EQ(Calls("BCryptGenRandom") + Calls("CryptGenRandom"), 0);
}

#if VELMORABLE_PLATFORM_CRYPTO
TEST_F(RandomSources, StartUpLoadsProvidersAndBcryptServesFirst) {
  Start();
  EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt"), 1);
  EXPECT_EQ(plat::test::ModuleLoadCount("advapi32"), 1);
  const int kernel_before = plat::test::SystemRandomFillCount();
  RandomContext context;
  Bytes out(64, 0), offset_out(80, 0);
  RandomBytes(context, out.data(), 64);
  RandomBytes(context, offset_out.data(), 16, 64);
  EXPECT_EQ(Calls("BCryptGenRandom"), 2);
  EXPECT_EQ(Calls("CryptAcquireContextA"), 0);
  EXPECT_EQ(plat::test::SystemRandomFillCount(), kernel_before);
  EXPECT_NE(out, Bytes(64, 0));
  EXPECT_EQ(Bytes(offset_out.begin(), offset_out.begin() + 16), Bytes(16, 0));
  // A request the module refuses (more than it takes in one call is not possible here) never reaches
  // the kernel while bcrypt works; zero-length and null requests do nothing.
  RandomBytes(context, nullptr, 0, 8);
  RandomBytes(context, out.data(), 0, 0);
  EXPECT_EQ(Calls("BCryptGenRandom"), 2);
}

TEST_F(RandomSources, WithoutBcryptTheCryptoApiServesAndRetriesWithNewKeyset) {
  Start({"bcrypt"});
  plat::test::FailNextAcquireContext();
  RandomContext context;
  Bytes out(64, 0);
  RandomBytes(context, out.data(), 64);
  RandomBytes(context, out.data(), 64);
  EXPECT_EQ(Calls("CryptAcquireContextA"), 2);  // flags 0 refused, then CRYPT_NEWKEYSET
  EXPECT_EQ(Calls("CryptGenRandom"), 2);        // the handle is kept for the second request
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 1);
  ReleaseNativeKey(context);
  EXPECT_EQ(context.provider_holder, nullptr);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
  // The process-wide context's handle is closed by the tear-down (checked there).
  EXPECT_EQ(GlobalRandomBytes(out.data(), 0, 64), 0);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 1);
}

TEST_F(RandomSources, WithoutAdvapiBcryptIsNotTriedEither) {
  Start({"advapi32"});
  EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt"), 0);
  const int kernel_before = plat::test::SystemRandomFillCount();
  RandomContext context;
  Bytes out(32, 0);
  RandomBytes(context, out.data(), 32);
  EXPECT_EQ(plat::test::SystemRandomFillCount(), kernel_before + 1);
  EXPECT_EQ(Calls("BCryptGenRandom"), 0);
}

TEST_F(RandomSources, MissingFunctionLeavesItsEntryPointUnused) {
  plat::test::SetProcMissing("advapi32", "CryptGenRandom", true);
  Start({"bcrypt"});
  plat::test::SetProcMissing("advapi32", "CryptGenRandom", false);
  const int kernel_before = plat::test::SystemRandomFillCount();
  RandomContext context;
  Bytes out(32, 0);
  RandomBytes(context, out.data(), 32);
  EXPECT_EQ(Calls("CryptAcquireContextA"), 0);
  EXPECT_EQ(plat::test::SystemRandomFillCount(), kernel_before + 1);
}

TEST_F(RandomSources, NonZeroBytesDrawReplacementsFromTheSameSource) {
  Start();
  const int kernel_before = plat::test::SystemRandomFillCount();
  RandomContext context;
  Bytes out(1 << 20, 0);
  RandomNonZeroBytes(context, out.data(), 0, static_cast<int32_t>(out.size()));
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), 0);
  // About 4,096 zero bytes in a MiB: the replacements are further requests to bcrypt.
  EXPECT_GT(Calls("BCryptGenRandom"), 1);
  EXPECT_EQ(plat::test::SystemRandomFillCount(), kernel_before);
}

TEST_F(RandomSources, DrbgSelectorServesThroughAHashDrbgSeededByThePlatform) {
  Start();
  test::SetRandomSourceSelector(2);
  RandomContext context;
  Bytes out(100, 0);
  RandomBytes(context, out.data(), 100);
  test::SetRandomSourceSelector(kRandomSourceOs);
  ASSERT_NE(context.drbg, nullptr);
  EXPECT_EQ(context.drbg->SeedLengthBits(), 440);
  EXPECT_EQ(Calls("BCryptGenRandom"), 1);  // the 32 bytes of entropy
  EXPECT_NE(out, Bytes(100, 0));
  context.Release();
  EXPECT_EQ(context.drbg, nullptr);
}
#endif

TEST(RandomBufferTest, FillsOrLeavesTheBufferUnchanged) {
  core::Buffer out;
  ASSERT_EQ(out.SetString("keep"), 0);
  {
    testing_support::FailingAllocations fail;
    EXPECT_EQ(RandomBuffer(200, out), core::kOutOfMemory);
  }
  EXPECT_EQ(testing_support::Text(out), "keep");
  ASSERT_EQ(RandomBuffer(200, out), 0);
  EXPECT_EQ(out.Length(), 200);
  EXPECT_NE(testing_support::Text(out), std::string(200, '\0'));
}

}  // namespace
}  // namespace velmora::crypto
