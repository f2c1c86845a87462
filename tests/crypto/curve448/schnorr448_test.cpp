// The Schnorr scheme over the Ed448 group against the committed vectors of an independent integer model,
// and over many seeds: round trip, determinism, and one-bit changes that must not verify.
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "crypto/curve448/schnorr448.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/small_order_points.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using testing_support::ToHex;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint32_t Len(const std::string& s) { return static_cast<uint32_t>(s.size()); }
std::string Text(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

std::string KeyPair(const std::string& seed) {
  core::SecureBuffer record;
  EXPECT_EQ(Schnorr448KeyPair(U8(seed), static_cast<int32_t>(seed.size()), record), 0);
  return Text(record);
}

std::string Sign(const std::string& message, const std::string& record) {
  core::Buffer out;
  EXPECT_EQ(Schnorr448Sign(U8(message), Len(message), U8(record), static_cast<int32_t>(record.size()), out), 0);
  return Text(out);
}

int Verify(const std::string& message, const std::string& public_key, const std::string& signature) {
  return Schnorr448Verify(U8(message), Len(message), U8(public_key), static_cast<int32_t>(public_key.size()),
                          U8(signature), static_cast<int32_t>(signature.size()));
}

TEST(Schnorr448, MatchesTheIntegerModel) {
  const std::string path = std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/schnorr448_model.txt";
  int checked = 0;
  for (auto& entry : testing_support::ReadVectors(path, {"Seed", "Record", "Message", "Signature"})) {
    SCOPED_TRACE(entry.Origin());
    const std::string record = KeyPair(entry.Bytes("Seed"));
    EXPECT_EQ(ToHex(record), entry.Get("Record"));
    const std::string message = entry.Bytes("Message");
    const std::string signature = Sign(message, record);
    EXPECT_EQ(ToHex(signature), entry.Get("Signature"));
    EXPECT_EQ(Verify(message, record.substr(56, 56), signature), 1);
    ++checked;
  }
  EXPECT_EQ(checked, 3);
}

// Key pairs of many seeds (VELMORA_SCHNORR448_CASES, 1,000 by default) sign and verify; signing twice
// gives the same bytes; one flipped bit of the message, of R or of s fails.
TEST(Schnorr448, RoundTripDeterminismAndTampering) {
  const char* cases_env = std::getenv("VELMORA_SCHNORR448_CASES");
  const int cases = cases_env != nullptr ? std::atoi(cases_env) : 1000;
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < cases; ++i) {
    std::string key_seed(32, '\0'), message(rng() % 100, '\0');
    for (char& b : key_seed) b = static_cast<char>(rng());
    for (char& b : message) b = static_cast<char>(rng());
    const std::string record = KeyPair(key_seed);
    ASSERT_EQ(record.size(), 144u);
    ASSERT_EQ(record.substr(112), key_seed);
    const std::string public_key = record.substr(56, 56);
    const std::string signature = Sign(message, record);
    ASSERT_EQ(Verify(message, public_key, signature), 1) << "case " << i;
    ASSERT_EQ(Sign(message, record), signature);
    std::string changed = message.empty() ? std::string(1, '\0') : message;
    changed[rng() % changed.size()] ^= static_cast<char>(1 << (rng() % 8));
    EXPECT_EQ(Verify(changed, public_key, signature), 0) << "case " << i;
    for (size_t offset : {size_t{0}, size_t{56}}) {
      std::string bad = signature;
      bad[offset + rng() % 56] ^= static_cast<char>(1 << (rng() % 8));
      EXPECT_EQ(Verify(message, public_key, bad), 0) << "case " << i << " offset " << offset;
    }
  }
}

// The field elements 0, 1 and p - 1 as the public key or as R verify nothing, whatever s: 0 encodes the
// neutral element, and a key of small order is refused.
TEST(Schnorr448, SmallFieldElementsVerifyNothing) {
  const testing_support::SmallOrderTable field = testing_support::SmallOrderPoints("curve448-field");
  const testing_support::SmallOrderTable group = testing_support::SmallOrderPoints("edwards448");
  ASSERT_EQ(field.elements.size(), 3u);
  std::mt19937 rng(std::random_device{}());
  std::vector<std::string> scalars = {std::string(56, '\0'), std::string(1, '\1') + std::string(55, '\0'),
                                      group.order.substr(0, 56)};
  scalars[2][0] = static_cast<char>(scalars[2][0] - 1);  // L - 1: the low byte of L is not 0
  for (int i = 0; i < 20; ++i) {
    std::string s(55, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    scalars.push_back(s + '\0');
  }
  const std::string record = KeyPair(std::string(32, '\5'));
  const std::string public_key = record.substr(56, 56), honest_r = Sign("m", record).substr(0, 56);
  int accepted = 0;
  for (const std::string& element : field.elements) {
    for (const std::string& s : scalars) {
      for (const std::string& r : {element, honest_r}) accepted += Verify("m", element, r + s);
      accepted += Verify("m", public_key, element + s);
    }
  }
  EXPECT_EQ(accepted, 0);
}

TEST(Schnorr448, RefusesMalformedInput) {
  const std::string record = KeyPair(std::string(32, '\7'));
  const std::string public_key = record.substr(56, 56);
  const std::string signature = Sign("m", record);
  core::Buffer out;
  ASSERT_EQ(out.SetString("kept"), 0);
  for (int32_t length : {31, 33}) {
    EXPECT_EQ(Schnorr448KeyPair(U8(record), length, out), kSchnorr448BadSeed);
  }
  EXPECT_EQ(Schnorr448Sign(U8("m"), 1, U8(record), 143, out), kSchnorr448BadRecord);
  std::string unreduced = record;
  for (int i = 0; i < 56; ++i) unreduced[static_cast<size_t>(i)] = '\xff';
  EXPECT_EQ(Schnorr448Sign(U8("m"), 1, U8(unreduced), 144, out), kSchnorr448BadScalar);
  // A record whose scalar, public key or seed was changed would leak the scalar through a nonce
  // shared with the true record's signatures: it is refused.
  const std::string other = KeyPair(std::string(32, '\10'));
  for (size_t part : {size_t{0}, size_t{56}, size_t{112}}) {
    std::string mixed = record;
    mixed.replace(part, part == 112 ? 32 : 56, other.substr(part, part == 112 ? 32 : 56));
    EXPECT_EQ(Schnorr448Sign(U8("m"), 1, U8(mixed), 144, out), kSchnorr448BadRecord) << "part " << part;
  }
  EXPECT_EQ(Text(out), "kept");
  EXPECT_EQ(Verify("m", public_key + "x", signature), 0);
  EXPECT_EQ(Verify("m", public_key, signature.substr(0, 111)), 0);
  // Bytes past the 112 of the signature are not read.
  EXPECT_EQ(Verify("m", public_key, signature + "trailing"), 1);
  // A public key or R of p or more does not decode.
  const std::string p_bytes = std::string(28, '\xff') + "\xfe" + std::string(27, '\xff');
  EXPECT_EQ(Verify("m", p_bytes, signature), 0);
  EXPECT_EQ(Verify("m", public_key, p_bytes + signature.substr(56)), 0);
}

}  // namespace
}  // namespace velmora::crypto
