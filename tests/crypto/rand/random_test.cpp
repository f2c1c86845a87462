// The random source: which source serves a request (seen through the crypto modules' call counters and
// the module switches), the start-up and tear-down that load and drop the modules, the handles contexts
// keep, and the helpers on RandomBytes.
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "crypto/rand/hash_drbg.h"
#include "crypto/rand/random.h"
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

// RandomSources starts the library with the named modules missing; after the tear-down every module load
// and every CryptoAPI handle must have been given back.
class RandomSources : public ::testing::Test {
 protected:
  void Start(std::vector<const char*> missing = {}) {
    missing_ = std::move(missing);
    for (const char* name : missing_) plat::test::SetModuleMissing(name, true);
#if VELMORABLE_PLATFORM_CRYPTO
    plat::test::ResetCryptoCallCounts();
#endif
    component::SocketBase::StaticInit();
    kernel_before_ = plat::test::SystemRandomFillCount();
  }
  void TearDown() override {
    component::SocketBase::StaticDestroy();
    EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt") + plat::test::ModuleLoadCount("advapi32"), 0);
#if VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
#endif
    for (const char* name : missing_) plat::test::SetModuleMissing(name, false);
  }
  int KernelFills() const { return plat::test::SystemRandomFillCount() - kernel_before_; }
#if VELMORABLE_PLATFORM_CRYPTO
  static int Calls(const char* function) { return plat::test::CryptoCallCount(function); }
#endif

  std::vector<const char*> missing_;
  int kernel_before_ = 0;
  RandomContext context_;
  Bytes out_ = Bytes(64, 0);
};

TEST_F(RandomSources, WithoutPlatformModulesTheKernelFills) {
  Start({"bcrypt", "advapi32"});
  const uint32_t fallback_before = test::FallbackFillCount();
  Bytes second(64, 0);
  RandomBytes(context_, out_.data(), 64);
  RandomBytes(context_, second.data(), 64);
  EXPECT_EQ(KernelFills(), 2);
  EXPECT_EQ(test::FallbackFillCount(), fallback_before + 2);
  EXPECT_NE(out_, second);
}

#if VELMORABLE_PLATFORM_CRYPTO
TEST_F(RandomSources, StartUpLoadsProvidersAndBcryptServesFirst) {
  Start();
  EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt") + plat::test::ModuleLoadCount("advapi32"), 2);
  RandomBytes(context_, out_.data(), 16, 48);
  RandomBytes(context_, nullptr, 0, 8);
  RandomBytes(context_, out_.data(), 0, 0);
  EXPECT_EQ(Calls("BCryptGenRandom"), 1);
  EXPECT_EQ(Calls("CryptAcquireContextA") + KernelFills(), 0);
  EXPECT_EQ(Bytes(out_.begin(), out_.begin() + 16), Bytes(16, 0));
  EXPECT_NE(Bytes(out_.begin() + 16, out_.end()), Bytes(48, 0));

  // The Hash_DRBG selector: one generator per context, seeded through the same platform source.
  test::SetRandomSourceSelector(2);
  RandomBytes(context_, out_.data(), 64);
  test::SetRandomSourceSelector(kRandomSourceOs);
  ASSERT_NE(context_.drbg, nullptr);
  EXPECT_EQ(context_.drbg->SeedLengthBits(), 440);
  EXPECT_EQ(Calls("BCryptGenRandom"), 2);
}

TEST_F(RandomSources, WithoutBcryptTheCryptoApiServesAndRetriesWithNewKeyset) {
  Start({"bcrypt"});
  plat::test::FailNextAcquireContext();
  RandomBytes(context_, out_.data(), 64);
  RandomBytes(context_, out_.data(), 64);
  EXPECT_EQ(Calls("CryptAcquireContextA"), 2);  // flags 0 refused, then CRYPT_NEWKEYSET
  EXPECT_EQ(Calls("CryptGenRandom"), 2);        // the handle is kept for the second request
  ReleaseNativeKey(context_);
  EXPECT_EQ(context_.provider_holder, nullptr);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
  // The process-wide context's handle is closed by the tear-down (checked there).
  EXPECT_EQ(GlobalRandomBytes(out_.data(), 0, 64), 0);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 1);
}

TEST_F(RandomSources, WithoutAdvapiOrItsGeneratorTheKernelFills) {
  Start({"advapi32"});
  EXPECT_EQ(plat::test::ModuleLoadCount("bcrypt"), 0);  // not tried either
  RandomBytes(context_, out_.data(), 64);
  EXPECT_EQ(KernelFills(), 1);
  component::SocketBase::StaticDestroy();
  plat::test::SetModuleMissing("advapi32", false);
  plat::test::SetProcMissing("advapi32", "CryptGenRandom", true);
  Start({"bcrypt"});
  plat::test::SetProcMissing("advapi32", "CryptGenRandom", false);
  RandomBytes(context_, out_.data(), 64);
  EXPECT_EQ(KernelFills(), 1);
  EXPECT_EQ(Calls("CryptAcquireContextA") + Calls("BCryptGenRandom"), 0);
}

TEST_F(RandomSources, NonZeroBytesDrawReplacementsFromTheSameSource) {
  Start();
  Bytes big(1 << 20, 0);
  RandomNonZeroBytes(context_, big.data(), 0, static_cast<int32_t>(big.size()));
  EXPECT_EQ(std::count(big.begin(), big.end(), 0), 0);
  EXPECT_GT(Calls("BCryptGenRandom"), 1);  // about 4,096 zero bytes were replaced
  EXPECT_EQ(KernelFills(), 0);
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
}

}  // namespace
}  // namespace velmora::crypto
