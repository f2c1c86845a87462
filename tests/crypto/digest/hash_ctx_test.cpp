#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "crypto/digest/digest_cores.h"
#include "tests/component/configurable.h"
#include "tests/crypto/digest/digest_test_util.h"
#include "tests/vector_file.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::FailingAllocations;

TEST(DigestNames, NamesIdsAndErrors) {
  struct Row {
    const char* name;
    int by_name;        // SetAlgorithmByName result
    int32_t id;         // the id selected (the previous one, 13, when the name is refused)
    int32_t engine_id;  // HashNameToEngineId
  };
  const Row rows[] = {
      {"SHA1", 0, 0, 23},         {"sha-1", 0, 0, 23},          {"Md5", 0, 1, 24},           {"SHA-256", 0, 2, 25},
      {"sha224", 0, 3, 26},       {"SHA512", 0, 4, 27},         {"SHA512/224", 0, 5, 28},    {"sha-512/256", 0, 6, 29},
      {"SHA-384", 0, 7, 30},      {"ripemd-160", 0, 8, 31},     {"MD160", 0, 8, 31},         {"MD4", 0, 9, 32},
      {"md2", 0, 10, 33},         {"MD5SHA1", 0, 11, 34},       {"SHA3_224", 0, 12, 35},     {"sha-3-256", 0, 13, 36},
      {"SHA3_384", 0, 14, 37},    {"SHA-3-512", 0, 15, 38},     {"SHAKE128", 0, 16, 39},     {"shake256", 0, 17, 40},
      {"SHA3-256", 2001, 13, 36}, {"sha3-512", 2001, 13, 38},   {"SHA3-224", 2001, 13, 35},  {"", 2001, 13, -1},
      {nullptr, 2001, 13, -1},    {"KECCAK256", 2001, 13, -1},  {"SHA-3", 2001, 13, -1},     {"SHA256 ", 2001, 13, -1},
  };
  for (const Row& row : rows) {
    const std::string label = row.name != nullptr ? row.name : "(null)";
    HashCtx ctx;
    ASSERT_EQ(ctx.SetAlgorithm(kHashSha3_256), 0);
    EXPECT_EQ(ctx.SetAlgorithmByName(row.name), row.by_name) << label;
    EXPECT_EQ(ctx.Id(), row.id) << label;
    EXPECT_EQ(HashNameToEngineId(row.name), row.engine_id) << label;
    // A refused name leaves the current digest usable.
    EXPECT_EQ(ctx.Update("abc", 3), 0) << label;
    EXPECT_EQ(ctx.Final(), 0) << label;
    EXPECT_EQ(ctx.Output().Length(), HashDigestSize(row.id)) << label;
  }
  const std::pair<const char*, int32_t> hmac_names[] = {
      {"hmacSHA256", 47}, {"HmAcShA256", 47}, {"HMACSHA256", 47}, {"HMAC-SHA1", 45},     {"hmac-sha224", 48},
      {"HMAC-SHA384", 50}, {"HMACSHA512", 49}, {"HMAC-MD5", 46},  {"HMAC-RIPEMD160", 51}, {"SHA256", -1},
      {"HMAC", -1},        {"SHA1HMAC", -1},   {"", -1},          {nullptr, -1}};
  for (const auto& [name, id] : hmac_names) EXPECT_EQ(HmacNameToAlgId(name), id) << (name != nullptr ? name : "(null)");
  for (int32_t engine_id = 20; engine_id <= 53; ++engine_id) {
    const int32_t digest = engine_id <= 44 ? EngineIdToHashId(engine_id) : HmacIdToHashId(engine_id);
    EXPECT_EQ(EngineDigestSize(engine_id), digest < 0 ? -1 : HashDigestSize(digest)) << engine_id;
    EXPECT_EQ(digest >= 0, engine_id >= 23 && engine_id <= 51) << engine_id;
  }
  EXPECT_EQ(EngineIdToHashId(42), kHashSha3_256);
  EXPECT_EQ(HmacIdToHashId(50), kHashSha384);
  EXPECT_EQ(HashDigestSize(18), 0);
}

TEST(DigestContext, UnknownIdFailsAtOnceAndKeepsTheDigest) {
  HashCtx ctx;
  ASSERT_EQ(ctx.SetAlgorithm(kHashSha256), 0);
  ASSERT_EQ(ctx.Update("ab", 2), 0);
  for (int32_t bad : {-1, 18, 1000}) EXPECT_EQ(ctx.SetAlgorithm(bad), kUnknownDigest);
  EXPECT_EQ(ctx.Id(), kHashSha256);
  ASSERT_EQ(ctx.Update("c", 1), 0);
  ASSERT_EQ(ctx.Final(), 0);
  std::mt19937 rng(1);
  EXPECT_EQ(OutputOf(ctx), HashInPieces(kHashSha256, "abc", Split::kWhole, rng));
}

TEST(DigestContext, MissingStatesGive200WithoutLeaks) {
  {
    HashCtx ctx;
    {
      FailingAllocations fail;
      EXPECT_EQ(ctx.SetAlgorithm(kHashSha512), 200);
    }
    EXPECT_EQ(ctx.Update("abc", 3), 200);
    EXPECT_EQ(ctx.Final(), 200);
    EXPECT_EQ(ctx.Output().Length(), 0);
  }
  {
    FailingAllocations fail;
    HashCtx ctx;  // no SHA-1 state
    EXPECT_EQ(ctx.Update("abc", 3), 200);
    EXPECT_EQ(ctx.Final(), 200);
    InternalHmac hmac;
    EXPECT_EQ(hmac.SetKey(kHashSha256, U8("key"), 3), 200);
    EXPECT_EQ(hmac.Update("abc", 3, 1), 200);
    component::CryptoComponent component;
    EXPECT_EQ(SelectHashProvider(component, 25, kProviderInternal), 200);
    EXPECT_EQ(SelectHmacProvider(component, 47, U8("key"), 3, kProviderInternal), 200);
  }
  // A header copy carries the id but only the SHA-1 state: its SHA-224 state is missing.
  HashCtx source;
  ASSERT_EQ(source.SetAlgorithm(kHashSha224), 0);
  ASSERT_EQ(source.Final(), 0);
  HashCtx* copy = HashCtx::CopyHeader(source);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Update("abc", 3), 200);
  EXPECT_EQ(copy->Final(), 200);
  EXPECT_EQ(OutputOf(*copy), OutputOf(source));
  EXPECT_EQ(SetSha3ContextFlag(*copy, 1), 0);  // not a SHA-3 id: nothing to do
  delete copy;
}

TEST(DigestContext, EncodersNeverWritePastTheCount) {
  // Heap areas of exactly the count, so that AddressSanitizer sees any byte written past them.
  const uint64_t words64[4] = {0x0102030405060708ULL, 0x1112131415161718ULL, 0x2122232425262728ULL,
                               0x3132333435363738ULL};
  const uint32_t words32[2] = {0x01020304u, 0x05060708u};
  for (int32_t count = 1; count <= 28; ++count) {
    std::vector<uint8_t> out(static_cast<size_t>(count));
    PutWords64BE(out.data(), words64, count);
    for (int32_t i = 0; i < count; ++i) EXPECT_EQ(out[i], (i / 8) * 16 + 1 + i % 8) << i;
  }
  for (int32_t count = 1; count <= 7; ++count) {
    std::vector<uint8_t> le(static_cast<size_t>(count)), be(static_cast<size_t>(count));
    PutWords32LE(le.data(), words32, count);
    PutWords32BE(be.data(), words32, count);
    for (int32_t i = 0; i < count; ++i) {
      EXPECT_EQ(be[i], 1 + i);
      EXPECT_EQ(le[i], 4 * (i / 4) + 4 - i % 4);
    }
  }
}

TEST(DigestContext, OneUpdateOf600MillionBytes) {
  for (testing_support::VectorEntry& entry :
       testing_support::ReadVectors(testing_support::VectorPath("large_update.txt"), {"Algorithm", "Length", "Digest"})) {
    const uint32_t length = static_cast<uint32_t>(std::stoul(entry.Get("Length")));
    std::vector<uint8_t> message(length);
    for (uint32_t i = 0; i < 256; ++i) message[i] = static_cast<uint8_t>(i);
    for (size_t done = 256; done < length; done *= 2) {
      std::memcpy(message.data() + done, message.data(), std::min<size_t>(done, length - done));
    }
    HashCtx ctx;
    ASSERT_EQ(ctx.SetAlgorithmByName(entry.Get("Algorithm").c_str()), 0);
    ASSERT_EQ(ctx.Update(message.data(), length), 0);
    ASSERT_EQ(ctx.Final(), 0);
    EXPECT_EQ(ToHex(OutputOf(ctx)), entry.Get("Digest"));
  }
}

TEST(DigestContext, KeccakFlagStaysThroughResetAndCopies) {
  VELMORA_REQUIRE_NETTLE();
  std::mt19937 rng(2);
  HashCtx ctx;
  ASSERT_EQ(ctx.SetAlgorithm(kHashSha3_256), 0);
  ASSERT_EQ(SetSha3ContextFlag(ctx, 1), 0);
  ASSERT_EQ(ctx.Update("abc", 3), 0);
  HashCtx copy;
  ASSERT_EQ(copy.CopyFrom(ctx), 0);
  ASSERT_EQ(ctx.Update("def", 3), 0);
  ASSERT_EQ(copy.Update("xyz", 3), 0);
  ASSERT_EQ(ctx.Final(), 0);
  ASSERT_EQ(copy.Final(), 0);
  EXPECT_EQ(OutputOf(ctx), KeccakSponge("abcdef", 136, 32));
  EXPECT_EQ(OutputOf(copy), KeccakSponge("abcxyz", 136, 32));
  EXPECT_EQ(ctx.Reset(), 0);
  ASSERT_EQ(ctx.Final(), 0);
  EXPECT_EQ(OutputOf(ctx), KeccakSponge("", 136, 32));
  // Selecting the digest afresh gives SHA-3 again.
  ASSERT_EQ(ctx.SetAlgorithm(kHashSha3_256), 0);
  ASSERT_EQ(ctx.Final(), 0);
  EXPECT_EQ(OutputOf(ctx), HashInPieces(kHashSha3_256, "", Split::kWhole, rng));
}

class FipsMode : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(settings_.Set("UseFIPSCompliantAPI=true"), 0); }
  void TearDown() override { EXPECT_EQ(settings_.Set("UseFIPSCompliantAPI=false"), 0); }
  component::Configurable<component::ComponentBase> settings_;
};

TEST_F(FipsMode, OnlyThePlatformDigestsAreAccepted) {
  for (int32_t engine_id = 18; engine_id <= 53; ++engine_id) {
    for (uint32_t mode : {kProviderInternal, kProviderPlatform, kProviderDefault}) {
      component::CryptoComponent component;
      const bool hash_allowed = engine_id == 23 || engine_id == 25 || engine_id == 26 || engine_id == 27 || engine_id == 30;
      EXPECT_EQ(SelectHashProvider(component, engine_id, mode), hash_allowed ? kNoPlatformProvider : kNotAllowedInFips)
          << engine_id;
      const bool hmac_allowed = engine_id == 45 || (engine_id >= 47 && engine_id <= 50);
      EXPECT_EQ(SelectHmacProvider(component, engine_id, U8("key"), 3, mode),
                hmac_allowed ? kNoPlatformProvider : kNotAllowedInFips)
          << engine_id;
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
