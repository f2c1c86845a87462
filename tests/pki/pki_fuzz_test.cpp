// Hostile input: mutated corpus Names, AlgorithmIdentifiers and SubjectPublicKeyInfos through their
// decoders, and mutated texts through the text readers, end in 0 or a bad-input code; under ASan and
// UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed,
// VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/pki/pki_test_support.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {

std::string FuzzPkiInput(const std::string& input);

namespace {

void Mutate(std::string& s, std::mt19937_64& rng) {
  static const std::string kBytes("\x00\x01\x02\x03\x04\x05\x06\x0C\x13\x16\x1E\x30\x31\x7F\x80\x81\x84\xFF\"\\,=+ #",
                                  25);
  const char byte = kBytes[rng() % kBytes.size()];
  const size_t at = s.empty() ? 0 : rng() % s.size(), op = s.empty() ? 3 : rng() % 5;
  if (op == 0) s[at] = static_cast<char>(s[at] ^ (1 << (rng() % 8)));
  if (op == 1) s[at] = byte;
  if (op == 2) s.resize(at);
  if (op == 3) s.insert(at, 1 + rng() % 3, byte);
  if (op == 4) s.erase(at, 1);
}

TEST(PkiFuzz, MutatedNamesIdentifiersAndKeysEndInAllowedResults) {
  std::vector<std::string> seeds = {Unhex("300F310D300B0603550403130454657374"),
                                    Unhex("300D06092A864886F70D01010B0500"),
                                    Unhex("302A300506032B6570032100") + std::string(32, '\x11')};
  std::string output;
  for (const std::string mode : {"names", "algs"}) {
    if (!DebianPythonAvailable() || CorpusFiles().empty() || !Oracle(mode + CorpusFiles(), &output)) continue;
    for (const auto& line : testing_support::Lines(output)) seeds.push_back(Unhex(line.at(1)));
  }
  const uint64_t seed = testing_support::FuzzSeed();
  std::printf("PKI fuzz seed %llu over %zu inputs\n", static_cast<unsigned long long>(seed), seeds.size());
  std::mt19937_64 rng(seed);
  for (const std::string& input : seeds) ASSERT_EQ(FuzzPkiInput(input), "") << Hex(input);
  for (int64_t i = 0, count = testing_support::FuzzScaled(300000); i < count; ++i) {
    std::string input = seeds[rng() % seeds.size()];
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) Mutate(input, rng);
    ASSERT_EQ(FuzzPkiInput(input), "") << "input " << i << ": " << Hex(input);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
