// Hostile input: mutated corpus certificates through both certificate decoders, every getter and the
// encoder, and mutated extension values through the extension readers, end in 0 or a bad-input code;
// under ASan and UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the
// printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "pki/certificate_codec.h"
#include "tests/pki/cert_test_support.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {

std::string FuzzCertificateInput(const std::string& input);

namespace {

void Mutate(std::string& s, std::mt19937_64& rng) {
  static const std::string kBytes("\x00\x01\x02\x03\x04\x06\x30\x31\x7F\x80\x81\x82\x84\x87\x88\xA0\xA1\xA2\xA3\xFF", 20);
  const char byte = kBytes[rng() % kBytes.size()];
  const size_t at = s.empty() ? 0 : rng() % s.size(), op = s.empty() ? 3 : rng() % 5;
  if (op == 0) s[at] = static_cast<char>(s[at] ^ (1 << (rng() % 8)));
  if (op == 1) s[at] = byte;
  if (op == 2) s.resize(at);
  if (op == 3) s.insert(at, 1 + rng() % 3, byte);
  if (op == 4) s.erase(at, 1);
}

TEST(CertificateFuzz, MutatedCertificatesAndExtensionValuesEndInAllowedResults) {
  const auto corpus = CorpusCertificates(1);
  if (corpus.empty()) GTEST_SKIP() << "neither the cryptography vectors nor ca-certificates is installed";
  std::vector<std::string> seeds;
  // Every certificate, and the extension values (and whole extensions) of every tenth.
  for (size_t i = 0; i < corpus.size(); ++i) {
    seeds.push_back(corpus[i].second);
    Certificate c;
    if (i % 10 != 0 || ParseCertificate(reinterpret_cast<const uint8_t*>(corpus[i].second.data()),
                                        static_cast<int32_t>(corpus[i].second.size()), c) != 0) {
      continue;
    }
    for (int32_t e = 0; e < c.tbs.extensions.Count(); ++e) {
      core::Buffer value;
      if (c.tbs.extensions.Get(e) == nullptr) continue;
      if (GetExtensionValue(c, c.tbs.extensions.Get(e)->oid.Data(), value) == 0) seeds.push_back(Bytes(value));
      DerWriter whole;
      if (c.tbs.extensions.Get(e)->Encode(whole) == 0) seeds.push_back(Bytes(whole));
    }
  }
  const uint64_t seed = testing_support::FuzzSeed();
  std::printf("certificate fuzz seed %llu over %zu inputs\n", static_cast<unsigned long long>(seed), seeds.size());
  std::mt19937_64 rng(seed);
  for (const std::string& input : seeds) ASSERT_EQ(FuzzCertificateInput(input), "") << Hex(input);
  for (int64_t i = 0, count = testing_support::FuzzScaled(300000); i < count; ++i) {
    std::string input = seeds[rng() % seeds.size()];
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) Mutate(input, rng);
    ASSERT_EQ(FuzzCertificateInput(input), "") << "input " << i << ": " << Hex(input);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
