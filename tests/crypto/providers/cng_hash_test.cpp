// CngHash and CngHmac against Python's hashlib and hmac and the RFC 2202 / RFC 4231 vectors, their reset,
// clone and reusable-flag paths, bad input to them and to the stand-in, and a cold start on eight threads.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/providers/cng_hash.h"
#include "crypto/providers/provider_tables.h"
#include "tests/core/python_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/hash_modules.h"
#include "platform/win_codes.h"
#endif

namespace velmora::crypto {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO
namespace plat = velmora::platform;
using testing_support::FromHex;
using testing_support::ToHex;

constexpr const char* kPythonNames[] = {"sha1", "sha256", "sha384", "sha512"};
constexpr const char* kDebianPython = "/usr/bin/python3";

class CngHashTest : public ::testing::Test {
 protected:
  void SetUp() override { CryptoProvidersStaticInit(); }
  void TearDown() override {
    CryptoProvidersStaticDestroy();
    plat::test::SetReusableHashRefused(false);
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
  }
};

std::string Str(const uint8_t* bytes, int32_t length) { return std::string(reinterpret_cast<const char*>(bytes), length); }

// Feed hashes message in pieces cut at the given points and finishes.
template <typename Object>
std::string Feed(Object& object, const std::string& message, const std::vector<size_t>& cuts) {
  size_t at = 0;
  for (size_t cut : cuts) {
    EXPECT_EQ(object.Update(message.data() + at, static_cast<int32_t>(cut - at), 0), 0);
    at = cut;
  }
  EXPECT_EQ(object.Update(message.data() + at, static_cast<int32_t>(message.size() - at), 1), 0);
  return Str(object.Digest(), object.DigestLength());
}

struct Case {
  int32_t id;
  std::string key;
  std::string message;
  std::vector<size_t> cuts;
};

TEST_F(CngHashTest, DigestsAndHmacsEqualPythons) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is not available";
  const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
  std::printf("CngHashTest seed %u\n", seed);
  std::mt19937 rng(seed);
  std::vector<Case> cases;
  for (int32_t id = 0; id < 4; ++id) {
    for (size_t length : {0, 1, 63, 64, 65, 1000}) {
      Case c{id, {}, std::string(length, '\0'), {}};
      for (char& byte : c.message) byte = static_cast<char>(rng());
      c.key.resize(rng() % 200);
      for (char& byte : c.key) byte = static_cast<char>(rng());
      for (int i = 0, n = static_cast<int>(rng() % 4); i < n && length > 0; ++i) c.cuts.push_back(rng() % (length + 1));
      std::sort(c.cuts.begin(), c.cuts.end());
      cases.push_back(std::move(c));
    }
  }
  std::string input;
  for (const Case& c : cases) input += std::string(kPythonNames[c.id]) + " x" + ToHex(c.key) + " x" + ToHex(c.message) + "\n";
  const std::string script =
      "import sys, hashlib, hmac\n"
      "for line in sys.stdin:\n"
      "  name, key, msg = line.split()\n"
      "  key = bytes.fromhex(key[1:]); msg = bytes.fromhex(msg[1:])\n"
      "  print(hashlib.new(name, msg).hexdigest(), hmac.new(key, msg, name).hexdigest())\n";
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(script, "", input, &output));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    CngHash hash;
    ASSERT_EQ(hash.SetAlgorithm(c.id), 0);
    EXPECT_EQ(ToHex(Feed(hash, c.message, c.cuts)), lines[i][0]) << "hash case " << i;
    CngHmac hmac;
    ASSERT_EQ(hmac.SetKey(c.id, reinterpret_cast<const uint8_t*>(c.key.data()), static_cast<int32_t>(c.key.size())), 0);
    EXPECT_EQ(ToHex(Feed(hmac, c.message, c.cuts)), lines[i][1]) << "hmac case " << i;
  }
}

TEST_F(CngHashTest, HmacsPassTheRfcVectors) {
  const std::string script =
      "import os, sys, cryptography_vectors\n"
      "base = os.path.join(os.path.dirname(cryptography_vectors.__file__), 'HMAC')\n"
      "for name in ['rfc-2202-sha1.txt', 'rfc-4231-sha256.txt', 'rfc-4231-sha384.txt', 'rfc-4231-sha512.txt']:\n"
      "  fields = {}\n"
      "  for line in open(os.path.join(base, name)):\n"
      "    line = line.strip()\n"
      "    if ' = ' not in line or line.startswith('#'): continue\n"
      "    k, v = line.split(' = ', 1); fields[k] = v\n"
      "    if k == 'MD':\n"
      "      print(name, 'x' + fields['Key'], 'x' + fields['Msg'], v)\n";
  std::string output;
  if (!testing_support::RunPython(script, "", "", &output, kDebianPython) || output.empty()) {
    GTEST_SKIP() << "Debian's python3 with python3-cryptography-vectors is not available";
  }
  int checked = 0;
  for (const auto& line : testing_support::Lines(output)) {
    ASSERT_EQ(line.size(), 4u);
    const int32_t id = line[0].find("sha1") != std::string::npos     ? kCngSha1
                       : line[0].find("sha256") != std::string::npos ? kCngSha256
                       : line[0].find("sha384") != std::string::npos ? kCngSha384
                                                                      : kCngSha512;
    const std::string key = FromHex(line[1]);
    const std::string message = FromHex(line[2]);
    CngHmac hmac;
    ASSERT_EQ(hmac.SetKey(id, reinterpret_cast<const uint8_t*>(key.data()), static_cast<int32_t>(key.size())), 0);
    const std::string tag = ToHex(Feed(hmac, message, {}));
    // The truncated case of RFC 4231 lists only the leading bytes of the tag.
    EXPECT_EQ(tag.substr(0, line[3].size()), line[3]) << line[0] << " " << line[2];
    ++checked;
  }
  EXPECT_GE(checked, 7 + 3 * 6);
}

// Lifecycle runs the object paths that differ between reusable and recreated hash objects.
void Lifecycle() {
  const std::string first = "first message", second = "second message, longer than the first";
  for (int32_t id = 0; id < 4; ++id) {
    CngHash fresh;
    ASSERT_EQ(fresh.SetAlgorithm(id), 0);
    const std::string expected_second = Feed(fresh, second, {});
    CngHash hash;
    ASSERT_EQ(hash.SetAlgorithm(id), 0);
    // Data, then a finish without data: the digest so far.
    ASSERT_EQ(hash.Update(second.data(), static_cast<int32_t>(second.size()), 0), 0);
    ASSERT_EQ(hash.Update(nullptr, 5, 1), 0);
    EXPECT_EQ(Str(hash.Digest(), hash.DigestLength()), expected_second);
    // Reset after a finish and after unfinished data: the next message stands alone.
    EXPECT_EQ(hash.Reset(), 0);
    EXPECT_EQ(Feed(hash, second, {}), expected_second);
    EXPECT_EQ(hash.Reset(), 0);
    ASSERT_EQ(hash.Update(first.data(), static_cast<int32_t>(first.size()), 0), 0);
    EXPECT_EQ(hash.Reset(), 0);
    ASSERT_EQ(hash.Update(second.data(), 0, 0), 0);
    EXPECT_EQ(Feed(hash, second, {10}), expected_second);
    // A clone mid-message finishes with its own continuation.
    EXPECT_EQ(hash.Reset(), 0);
    ASSERT_EQ(hash.Update(second.data(), 10, 0), 0);
    HashObject* clone = hash.Clone();
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->Update(second.data() + 10, static_cast<int32_t>(second.size() - 10), 1), 0);
    EXPECT_EQ(Str(clone->Digest(), clone->DigestLength()), expected_second);
    delete clone;
    ASSERT_EQ(hash.Update("x", 1, 1), 0);
    CngHash other;
    ASSERT_EQ(other.SetAlgorithm(id), 0);
    EXPECT_EQ(Str(hash.Digest(), hash.DigestLength()), Feed(other, second.substr(0, 10) + "x", {}));
  }
}

TEST_F(CngHashTest, ResetAndCloneStartOverWithOrWithoutReusableObjects) {
  CngHash probe;
  ASSERT_EQ(probe.SetAlgorithm(kCngSha256), 0);
  EXPECT_TRUE(probe.Reusable());
  Lifecycle();
  CryptoProvidersStaticDestroy();
  plat::test::SetReusableHashRefused(true);
  CryptoProvidersStaticInit();
  plat::test::ResetCryptoCallCounts();
  CngHash hash;
  ASSERT_EQ(hash.SetAlgorithm(kCngSha1), 0);
  EXPECT_FALSE(hash.Reusable());
  EXPECT_EQ(plat::test::CryptoCallCount("BCryptOpenAlgorithmProvider"), 2);
  const int creates = plat::test::CryptoCallCount("BCryptCreateHash");
  ASSERT_EQ(hash.Update("abc", 3, 1), 0);
  EXPECT_EQ(hash.Reset(), 0);
  EXPECT_EQ(plat::test::CryptoCallCount("BCryptCreateHash"), creates + 1);
  Lifecycle();
  CngHmac hmac;
  ASSERT_EQ(hmac.SetKey(kCngSha384, reinterpret_cast<const uint8_t*>("key"), 3), 0);
  EXPECT_FALSE(hmac.Member().Reusable());
  const std::string tag = Feed(hmac, "data", {});
  EXPECT_EQ(hmac.Reset(), 0);
  EXPECT_EQ(Feed(hmac, "data", {2}), tag);
}

TEST_F(CngHashTest, BadInputGetsACode) {
  CngHash unset;
  EXPECT_EQ(unset.Update(nullptr, 0, 1), kNoPlatformProvider);
  EXPECT_EQ(unset.Update("abc", 3, 1), plat::kStatusInvalidHandle);
  CngHash hash;
  EXPECT_EQ(hash.SetAlgorithm(4), kNoPlatformProvider);
  EXPECT_EQ(hash.SetAlgorithm(-1), kNoPlatformProvider);
  ASSERT_EQ(hash.SetAlgorithm(kCngSha256), 0);
  // A negative length hashes nothing.
  ASSERT_EQ(hash.Update("abc", -5, 1), 0);
  CngHash empty;
  ASSERT_EQ(empty.SetAlgorithm(kCngSha256), 0);
  EXPECT_EQ(Str(hash.Digest(), hash.DigestLength()), Feed(empty, "", {}));

  bool reusable = false;
  plat::BCRYPT_ALG_HANDLE algorithm = CachedHashAlgorithm(kHashSlotSha1, &reusable);
  ASSERT_NE(algorithm, nullptr);
  plat::BCRYPT_HASH_HANDLE object = nullptr;
  ASSERT_EQ(plat::BCryptCreateHash(algorithm, &object, nullptr, 0, nullptr, 0, 0), plat::kStatusSuccess);
  uint8_t digest[20];
  EXPECT_EQ(plat::BCryptFinishHash(object, nullptr, 20, 0), plat::kStatusInvalidParameter);
  EXPECT_EQ(plat::BCryptFinishHash(object, digest, 19, 0), plat::kStatusInvalidParameter);
  EXPECT_EQ(plat::BCryptHashData(object, nullptr, 3, 0), plat::kStatusInvalidParameter);
  EXPECT_EQ(plat::BCryptCreateHash(algorithm, &object, nullptr, 0, reinterpret_cast<const uint8_t*>("k"), 1, 0),
            plat::kStatusInvalidParameter);
  EXPECT_EQ(plat::BCryptDestroyHash(object), plat::kStatusSuccess);
  EXPECT_EQ(plat::BCryptHashData(object, digest, 1, 0), plat::kStatusInvalidHandle);
  EXPECT_EQ(plat::BCryptFinishHash(object, digest, 20, 0), plat::kStatusInvalidHandle);
  EXPECT_EQ(plat::BCryptDestroyHash(object), plat::kStatusInvalidHandle);
  EXPECT_EQ(plat::BCryptDeriveKeyPBKDF2(algorithm, digest, 1, digest, 1, 1, digest, 20, 0), plat::kStatusInvalidHandle);
  EXPECT_EQ(CngPbkdf2(kEngineHmacSha1, digest, 1, digest, 1, 0, 20, digest), plat::kStatusInvalidParameter);
  EXPECT_EQ(CngPbkdf2(kEngineHmacSha1, digest, -1, digest, 1, 1, 20, digest), -1);
  EXPECT_EQ(CngPbkdf2(kEngineHmacSha224, digest, 1, digest, 1, 1, 20, digest), kNoInternalDigest);
  plat::BCRYPT_ALG_HANDLE refused = nullptr;
  EXPECT_EQ(plat::BCryptOpenAlgorithmProvider(&refused, u"SHA256", nullptr, 0x1), plat::kStatusInvalidParameter);
  EXPECT_EQ(plat::BCryptOpenAlgorithmProvider(&refused, u"AES", nullptr, plat::kBcryptAlgHandleHmacFlag),
            plat::kStatusInvalidParameter);
}

TEST_F(CngHashTest, EightThreadsFromAColdStartOpenEachHandleOnce) {
  plat::test::ResetCryptoCallCounts();
  const std::string message(300, 'm');
  std::string expected[8];
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (int32_t id = 0; id < 4; ++id) {
          CngHash hash;
          CngHmac hmac;
          if (hash.SetAlgorithm(id) != 0 || hash.Update(message.data(), 300, 1) != 0 ||
              hmac.SetKey(id, reinterpret_cast<const uint8_t*>("key"), 3) != 0 ||
              hmac.Update(message.data(), 300, 1) != 0) {
            failures.fetch_add(1);
          }
          if (t == 0 && round == 0) {
            expected[id] = Str(hash.Digest(), hash.DigestLength());
            expected[id + 4] = Str(hmac.Digest(), hmac.DigestLength());
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(plat::test::CryptoCallCount("BCryptOpenAlgorithmProvider"), kHashSlotCount);
  for (int32_t id = 0; id < 4; ++id) {
    CngHash hash;
    ASSERT_EQ(hash.SetAlgorithm(id), 0);
    EXPECT_EQ(Feed(hash, message, {}), expected[id]);
  }
}
#else
TEST(CngHashTest, WithoutTheCryptoModulesEveryObjectReports600) {
  CryptoProvidersStaticInit();
  CngHash hash;
  EXPECT_EQ(hash.SetAlgorithm(kCngSha256), kNoPlatformProvider);
  CngHmac hmac;
  EXPECT_EQ(hmac.SetKey(kCngSha1, nullptr, 0), kNoPlatformProvider);
  CryptoProvidersStaticDestroy();
  GTEST_SKIP() << "built without the platform crypto modules: the stand-in paths are not tested";
}
#endif

}  // namespace
}  // namespace velmora::crypto
