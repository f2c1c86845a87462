// HashDrbg against the published known answers (NIST CAVP, prediction resistance on) and, differentially,
// against OpenSSL's HASH-DRBG fed the same entropy through its TEST-RAND parent: every combination of
// digest, additional input and prediction resistance over twenty requests and one request larger than
// a single generate step.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/rand/hash_drbg.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// EntropyStream hands out its bytes in order, as a fixed entropy source.
struct EntropyStream {
  Bytes bytes;
  size_t position = 0;
  static void Fill(void* context, uint8_t* out, int32_t count) {
    auto* self = static_cast<EntropyStream*>(context);
    ASSERT_LE(self->position + static_cast<size_t>(count), self->bytes.size()) << "entropy stream exhausted";
    std::copy_n(self->bytes.begin() + static_cast<std::ptrdiff_t>(self->position), count, out);
    self->position += static_cast<size_t>(count);
  }
};

TEST(HashDrbgKnownAnswers, NistPredictionResistanceVectors) {
  auto entries = testing_support::ReadVectors(
      testing_support::VectorPath("hash_drbg.txt"),
      {"Digest", "Entropy", "Nonce", "PersonalisationString", "AdditionalInputA", "EntropyPredictionResistanceA",
       "AdditionalInputB", "EntropyPredictionResistanceB", "Output"});
  for (auto& entry : entries) {
    SCOPED_TRACE(entry.Origin());
    auto bytes = [&entry](const char* key) { return entry.Has(key) ? ToBytes(entry.Bytes(key)) : Bytes(); };
    EntropyStream entropy;
    for (const char* key : {"Entropy", "EntropyPredictionResistanceA", "EntropyPredictionResistanceB"}) {
      const Bytes part = bytes(key);
      entropy.bytes.insert(entropy.bytes.end(), part.begin(), part.end());
    }
    const Bytes nonce = bytes("Nonce");
    const Bytes expected = bytes("Output");
    std::string personalization;
    for (uint8_t b : bytes("PersonalisationString")) personalization += static_cast<char>(b);

    HashDrbg drbg;
    drbg.SetEntropySourceForTest(&EntropyStream::Fill, &entropy);
    EXPECT_EQ(drbg.Generate(entropy.bytes.data(), 0, 1, nullptr, 0), kDrbgNotInstantiated);
    ASSERT_EQ(drbg.Instantiate(entry.Get("Digest") == "SHA-512" ? kHashSha512 : kHashSha256, nonce.data(),
                               static_cast<int32_t>(nonce.size()),
                               personalization.empty() ? nullptr : personalization.c_str(), 256, 1),
              0);
    Bytes out(expected.size());
    for (const Bytes& additional : {bytes("AdditionalInputA"), bytes("AdditionalInputB")}) {
      ASSERT_EQ(drbg.Generate(out.data(), 0, static_cast<int32_t>(out.size()), additional.data(),
                              static_cast<int32_t>(additional.size())),
                0);
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(entropy.position, entropy.bytes.size());
  }
}

// OpenSslDrbg is OpenSSL's HASH-DRBG over a TEST-RAND parent. The parent hands its whole entropy string
// to every seed request, so the test sets a fresh one before each operation that may reseed.
struct OpenSslDrbg {
  EVP_RAND_CTX* parent = nullptr;
  EVP_RAND_CTX* drbg = nullptr;

  bool Instantiate(const char* digest, const Bytes& entropy, Bytes& nonce, int pr, const std::string& pers) {
    EVP_RAND* test_rand = EVP_RAND_fetch(nullptr, "TEST-RAND", nullptr);
    EVP_RAND* hash_drbg = EVP_RAND_fetch(nullptr, "HASH-DRBG", nullptr);
    parent = EVP_RAND_CTX_new(test_rand, nullptr);
    drbg = EVP_RAND_CTX_new(hash_drbg, parent);
    EVP_RAND_free(test_rand);
    EVP_RAND_free(hash_drbg);
    unsigned int strength = 256;
    const OSSL_PARAM parent_params[] = {
        OSSL_PARAM_construct_uint(OSSL_RAND_PARAM_STRENGTH, &strength),
        OSSL_PARAM_construct_octet_string(OSSL_RAND_PARAM_TEST_NONCE, nonce.data(), nonce.size()),
        OSSL_PARAM_construct_end()};
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_DRBG_PARAM_DIGEST, const_cast<char*>(digest), 0),
        OSSL_PARAM_construct_end()};
    return drbg != nullptr && EVP_RAND_CTX_set_params(parent, parent_params) == 1 && SetEntropy(entropy) &&
           EVP_RAND_instantiate(parent, strength, 0, nullptr, 0, nullptr) == 1 &&
           EVP_RAND_instantiate(drbg, 256, pr, reinterpret_cast<const uint8_t*>(pers.data()), pers.size(), params) == 1;
  }
  bool SetEntropy(const Bytes& entropy) {
    Bytes copy = entropy;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_RAND_PARAM_TEST_ENTROPY, copy.data(), copy.size()),
        OSSL_PARAM_construct_end()};
    return EVP_RAND_CTX_set_params(parent, params) == 1;
  }
  ~OpenSslDrbg() {
    EVP_RAND_CTX_free(drbg);
    EVP_RAND_CTX_free(parent);
  }
};

// CurrentEntropy gives every seed request the same 32 bytes, as the TEST-RAND parent does.
struct CurrentEntropy {
  Bytes bytes;
  static void Fill(void* context, uint8_t* out, int32_t count) {
    auto* self = static_cast<CurrentEntropy*>(context);
    ASSERT_EQ(static_cast<size_t>(count), self->bytes.size());
    std::copy_n(self->bytes.begin(), count, out);
  }
};

TEST(HashDrbgOracle, MatchesOpenSslHashDrbg) {
  const unsigned seed = std::random_device{}();
  std::printf("HashDrbgOracle seed %u\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto random_bytes = [&](size_t n) {
    Bytes b(n);
    for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  const int32_t lengths[] = {0, 1, 31, 32, 33, 54, 55, 56, 63, 64, 65, 110, 111, 112};
  for (const char* digest : {"SHA256", "SHA512"}) {
    for (int with_additional = 0; with_additional < 2; ++with_additional) {
      for (int prediction_resistance = 0; prediction_resistance < 2; ++prediction_resistance) {
        SCOPED_TRACE(std::string(digest) + " additional " + std::to_string(with_additional) + " pr " +
                     std::to_string(prediction_resistance));
        CurrentEntropy entropy{random_bytes(32)};
        Bytes nonce = random_bytes(16);
        const std::string pers = with_additional ? "personal text" : "";
        OpenSslDrbg oracle;
        ASSERT_TRUE(oracle.Instantiate(digest, entropy.bytes, nonce, prediction_resistance, pers))
            << "OpenSSL's HASH-DRBG did not instantiate";
        HashDrbg drbg;
        drbg.SetEntropySourceForTest(&CurrentEntropy::Fill, &entropy);
        const int32_t id = digest[3] == '2' ? kHashSha256 : kHashSha512;
        ASSERT_EQ(drbg.Instantiate(id, nonce.data(), 16, with_additional ? pers.c_str() : nullptr, 256,
                                   prediction_resistance),
                  0);
        EXPECT_EQ(drbg.V().Length(), id == kHashSha256 ? 55 : 111);
        EXPECT_EQ(drbg.C().Length(), id == kHashSha256 ? 55 : 111);
        for (int call = 0; call < 21; ++call) {
          // Twenty requests of assorted sizes, then one that takes two generate steps.
          const size_t n = call == 20 ? 100000
                           : call < static_cast<int>(std::size(lengths)) ? static_cast<size_t>(lengths[call])
                                                                          : rng() % 3000;
          const Bytes additional = with_additional ? random_bytes(rng() % 70) : Bytes();
          entropy.bytes = random_bytes(32);
          ASSERT_TRUE(oracle.SetEntropy(entropy.bytes));
          Bytes expected(n), ours(n, 0xA5);
          ASSERT_EQ(EVP_RAND_generate(oracle.drbg, expected.data(), n, 256, prediction_resistance, additional.data(),
                                      additional.size()),
                    1);
          ASSERT_EQ(drbg.Generate(ours.data(), 0, static_cast<int32_t>(n), additional.data(),
                                  static_cast<int32_t>(additional.size())),
                    0);
          ASSERT_EQ(ours, expected) << "request " << call << " of " << n << " bytes";
        }
      }
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
