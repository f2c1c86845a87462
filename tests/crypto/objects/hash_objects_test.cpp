#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "platform/os_version.h"
#include "tests/component/configurable.h"
#include "tests/crypto/digest/digest_test_util.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

const std::string kMessage = "The hash objects hand out the bytes of their contexts.";
const std::string kKey = "a key of some length for the one-shot HMACs";

// ExpectedDigest is the engine id's digest through a bare context.
std::string ExpectedDigest(int32_t engine_id, const std::string& message) {
  std::mt19937 rng(3);
  return HashInPieces(EngineIdToHashId(engine_id), message, Split::kWhole, rng, engine_id >= kEngineFirstKeccak);
}

std::string ExpectedHmac(int32_t engine_id, const std::string& key, const std::string& message) {
  std::mt19937 rng(3);
  InternalHmac hmac;
  return HmacInPieces(hmac, HmacIdToHashId(engine_id), key, message, Split::kWhole, rng);
}

// Each test runs with the internal-only setting on, as the library runs until a platform provider exists.
class HashObjects : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(settings_.Set("UseInternalCryptoAPI=true"), 0); }
  void TearDown() override { EXPECT_EQ(settings_.Set("UseInternalCryptoAPI=false"), 0); }
  component::Configurable<component::ComponentBase> settings_;
};

TEST_F(HashObjects, OneShotsGiveTheContextsBytes) {
  core::Buffer out;
  for (int32_t engine_id = 23; engine_id <= 44; ++engine_id) {
    ASSERT_EQ(ComputeHash(engine_id, kMessage.data(), static_cast<int32_t>(kMessage.size()), out), 0) << engine_id;
    EXPECT_EQ(testing_support::Text(out), ExpectedDigest(engine_id, kMessage)) << engine_id;
  }
  for (int32_t engine_id = 45; engine_id <= 51; ++engine_id) {
    ASSERT_EQ(ComputeHmac(engine_id, U8(kKey), static_cast<int32_t>(kKey.size()), kMessage.data(),
                          static_cast<int32_t>(kMessage.size()), out),
              0);
    EXPECT_EQ(testing_support::Text(out), ExpectedHmac(engine_id, kKey, kMessage)) << engine_id;
  }
  ASSERT_EQ(ComputeHashByName("sha3-256", kMessage.data(), static_cast<int32_t>(kMessage.size()), out), 0);
  EXPECT_EQ(testing_support::Text(out), ExpectedDigest(36, kMessage));
  ASSERT_EQ(HashDataByName(kMessage.data(), static_cast<int32_t>(kMessage.size()), "SHA-512/256", out), 0);
  EXPECT_EQ(testing_support::Text(out), ExpectedDigest(29, kMessage));
  ASSERT_EQ(ComputeHmacByName("hmac-sha384", U8(kKey), static_cast<int32_t>(kKey.size()), kMessage.data(),
                              static_cast<int32_t>(kMessage.size()), out),
            0);
  EXPECT_EQ(testing_support::Text(out), ExpectedHmac(50, kKey, kMessage));
  EXPECT_EQ(ComputeHashByName("no such digest", "", 0, out), kNoInternalDigest);
  EXPECT_EQ(ComputeHmacByName("SHA256", U8(kKey), 3, "", 0, out), kNoInternalDigest);
  HashCtx ctx;
  ASSERT_EQ(ctx.SetAlgorithm(kHashMd5Sha1), 0);
  ASSERT_EQ(ctx.Update("stale", 5), 0);
  ASSERT_EQ(DigestToBuffer(ctx, kMessage.data(), static_cast<uint32_t>(kMessage.size()), out), 0);
  EXPECT_EQ(testing_support::Text(out), ExpectedDigest(34, kMessage));
}

TEST_F(HashObjects, CopiesAndClonesContinueIndependently) {
  component::CryptoComponent original;
  ASSERT_EQ(SelectHashProvider(original, 25, kProviderInternal), 0);
  ASSERT_EQ(HeldHash(original)->Update("abc", 3, 0), 0);
  component::CryptoComponent copy;
  ASSERT_EQ(SelectHashProvider(copy, 24, kProviderInternal), 0);  // replaced by the copy
  ASSERT_EQ(CopyHashFrom(copy, original), 0);
  EXPECT_EQ(copy.AlgorithmId(), 25);
  HashObject* clone = HeldHash(original)->Clone();
  ASSERT_NE(clone, nullptr);
  ASSERT_EQ(HeldHash(original)->Update("def", 3, 1), 0);
  ASSERT_EQ(HeldHash(copy)->Update("xyz", 3, 1), 0);
  ASSERT_EQ(clone->Update(nullptr, 0, 1), 0);
  EXPECT_EQ(Bytes(HeldHash(original)->Digest(), 32), ExpectedDigest(25, "abcdef"));
  EXPECT_EQ(Bytes(HeldHash(copy)->Digest(), 32), ExpectedDigest(25, "abcxyz"));
  EXPECT_EQ(Bytes(clone->Digest(), clone->DigestLength()), ExpectedDigest(25, "abc"));
  delete clone;
}

TEST_F(HashObjects, ResetKeepsTheKeccakPadding) {
  VELMORA_REQUIRE_NETTLE();
  component::CryptoComponent component;
  ASSERT_EQ(SelectHashProvider(component, 42, kProviderInternal), 0);
  ASSERT_EQ(HeldHash(component)->Update("abc", 3, 0), 0);
  EXPECT_EQ(ResetAlgorithm(component), 0);
  ASSERT_EQ(HeldHash(component)->Update(nullptr, 0, 1), 0);
  EXPECT_EQ(Bytes(HeldHash(component)->Digest(), 32), KeccakSponge("", 136, 32));
  // Selecting the same id and mode again keeps the object and restarts it.
  const component::CryptoObject* held = component.Object();
  ASSERT_EQ(SelectHashProvider(component, 42, kProviderInternal), 0);
  EXPECT_EQ(component.Object(), held);
  component::CryptoComponent keyless;
  for (int32_t engine_id : {18, 19}) {
    keyless.Hold(engine_id, nullptr, 0);
    EXPECT_EQ(ResetAlgorithm(keyless), 0);
  }
}

TEST_F(HashObjects, HmacMessagesFollowEachOther) {
  component::CryptoComponent component;
  ASSERT_EQ(SelectHmacProvider(component, 47, U8(kKey), static_cast<int32_t>(kKey.size()), kProviderInternal), 0);
  HmacObject* hmac = HeldHmac(component);
  // No data and finalize: the HMAC of the empty message.
  ASSERT_EQ(hmac->Update(nullptr, 0, 1), 0);
  EXPECT_EQ(Bytes(hmac->Digest(), hmac->DigestLength()), ExpectedHmac(47, kKey, ""));
  // Two messages without Reset.
  ASSERT_EQ(hmac->Update("first", 5, 1), 0);
  EXPECT_EQ(Bytes(hmac->Digest(), hmac->DigestLength()), ExpectedHmac(47, kKey, "first"));
  ASSERT_EQ(hmac->Update("second", 6, 0), 0);
  ASSERT_EQ(hmac->Update(nullptr, 0, 1), 0);
  EXPECT_EQ(Bytes(hmac->Digest(), hmac->DigestLength()), ExpectedHmac(47, kKey, "second"));
  ASSERT_EQ(hmac->Update("half", 4, 0), 0);
  EXPECT_EQ(ResetAlgorithm(component), 0);
  ASSERT_EQ(hmac->Update("whole", 5, 1), 0);
  EXPECT_EQ(Bytes(hmac->Digest(), hmac->DigestLength()), ExpectedHmac(47, kKey, "whole"));
}

// With the internal-only setting off and the reported system at 10.0, the default mode sends
// SHA-1/256/384/512 and keyed HMACs to the platform, whose tables this program never loads (600).
TEST(ProviderRouting, DefaultModeMovesPlatformDigestsAway) {
  core::Buffer out;
  for (int32_t engine_id : {23, 25, 27, 30}) EXPECT_EQ(ComputeHash(engine_id, "abc", 3, out), kNoPlatformProvider);
  for (int32_t engine_id : {45, 47, 49, 50}) {
    EXPECT_EQ(ComputeHmac(engine_id, U8(kKey), 4, "abc", 3, out), kNoPlatformProvider);
    EXPECT_EQ(ComputeHmac(engine_id, nullptr, 0, "abc", 3, out), 0);  // no key: internal
  }
  for (int32_t engine_id : {24, 26, 28, 31, 36, 42}) EXPECT_EQ(ComputeHash(engine_id, "abc", 3, out), 0);
  EXPECT_EQ(ComputeHmac(46, U8(kKey), 4, "abc", 3, out), 0);
  component::CryptoComponent component;
  EXPECT_EQ(SelectHashProvider(component, 25, kProviderInternal), 0);
  EXPECT_EQ(SelectHashProvider(component, 25, kProviderPlatform), kNoPlatformProvider);
  EXPECT_EQ(component.AlgorithmId(), 25);  // the stored id stays after the error
}

// IsOsVersion6OrLater keeps its first answer, so the old-system case runs in a child process that sets
// the version before its first selection.
TEST(ProviderRoutingDeathTest, OldSystemKeepsDefaultModeInternal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string expected_hash = ExpectedDigest(25, "abc");
  const std::string expected_hmac = ExpectedHmac(47, kKey, "abc");
  auto child = [&] {
    platform::test::SetOsVersion({5, 1, 2600, true});
    core::Buffer hash;
    core::Buffer mac;
    const bool ok = ComputeHash(25, "abc", 3, hash) == 0 && testing_support::Text(hash) == expected_hash &&
                    ComputeHmac(47, U8(kKey), static_cast<int32_t>(kKey.size()), "abc", 3, mac) == 0 &&
                    testing_support::Text(mac) == expected_hmac;
    std::_Exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velmora::crypto
