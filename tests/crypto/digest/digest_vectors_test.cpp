// The published and committed vectors, each run whole, byte by byte and in seeded random pieces, on the
// SHA extensions (where the processor has them) and on the portable block functions.
#include <random>

#include <gtest/gtest.h>

#include "crypto/digest/digest_cores.h"
#include "tests/crypto/digest/digest_test_util.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using testing_support::ReadVectors;
using testing_support::VectorEntry;
using testing_support::VectorPath;

constexpr Split kSplits[] = {Split::kWhole, Split::kBytes, Split::kRandom};

std::string MessageOf(VectorEntry& entry) {
  std::string message = entry.Has("Text") ? entry.Get("Text") : entry.Bytes("Hex");
  const int repeat = std::stoi(entry.GetOr("Repeat", "1"));
  std::string whole;
  for (int i = 0; i < repeat; ++i) whole += message;
  return whole;
}

TEST(DigestVectors, EveryDigestOnEveryPathAndSplit) {
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (const char* file : {"digests.txt", "keccak.txt"}) {
    for (VectorEntry& entry : ReadVectors(VectorPath(file), {"Algorithm", "Padding", "Text", "Hex", "Repeat", "Digest"})) {
      const std::string name = entry.Get("Algorithm");
      const bool keccak = entry.GetOr("Padding", "") == "Keccak";
      const std::string message = MessageOf(entry);
      const std::string expected = entry.Get("Digest");
      HashCtx probe;
      ASSERT_EQ(probe.SetAlgorithmByName(name.c_str()), 0) << entry.Origin();
      for (bool portable : {false, true}) {
        PortablePaths paths(portable);
        // The million-byte messages only run whole: byte by byte they would dominate the run time.
        for (Split split : kSplits) {
          if (message.size() > 100000 && split == Split::kBytes) continue;
          EXPECT_EQ(ToHex(HashInPieces(probe.Id(), message, split, rng, keccak)), expected)
              << entry.Origin() << " split " << static_cast<int>(split) << " portable " << portable;
        }
      }
    }
  }
}

TEST(DigestVectors, Blake2bKeyedAndShortened) {
  for (VectorEntry& entry : ReadVectors(VectorPath("blake2b.txt"), {"Length", "Key", "Text", "Hex", "Digest"})) {
    const std::string key = entry.Has("Key") ? entry.Bytes("Key") : "";
    const std::string message = MessageOf(entry);
    const std::string expected = entry.Get("Digest");
    Blake2bState state;
    ASSERT_EQ(state.Configure(std::stoi(entry.Get("Length")), U8(key), static_cast<int32_t>(key.size())), 0);
    // Two messages in a row: Final re-initialises the state for the next one.
    for (int round = 0; round < 2; ++round) {
      for (char c : message) state.Update(reinterpret_cast<const uint8_t*>(&c), 1);
      EXPECT_EQ(ToHex(Bytes(state.Final(), state.DigestLength())), expected) << entry.Origin();
    }
  }
}

TEST(DigestVectors, HmacVectorsOnEverySplit) {
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (VectorEntry& entry : ReadVectors(VectorPath("hmac.txt"), {"Engine", "Key", "Text", "Hex", "Mac"})) {
    const int32_t id = HmacIdToHashId(std::stoi(entry.Get("Engine")));
    const std::string key = entry.Bytes("Key");
    const std::string message = MessageOf(entry);
    const std::string expected = entry.Get("Mac");
    InternalHmac hmac;
    for (bool portable : {false, true}) {
      PortablePaths paths(portable);
      for (Split split : kSplits) {
        EXPECT_EQ(ToHex(HmacInPieces(hmac, id, key, message, split, rng)), expected) << entry.Origin();
      }
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
