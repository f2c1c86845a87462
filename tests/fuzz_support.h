// The seeded mutation loop of the fuzz entries that run as ctest cases: the seeds first, then mutated
// copies of them. VELMORABLE_FUZZ_SEED replays a printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace velmora::testing_support {

// MutateOnce makes one random edit to s: a flipped bit, a byte of alphabet written over one or inserted one
// to three times, a byte removed, or the tail cut off.
inline void MutateOnce(std::string& s, std::mt19937_64& rng, const std::string& alphabet) {
  const char byte = alphabet[rng() % alphabet.size()];
  const size_t at = s.empty() ? 0 : rng() % s.size(), op = s.empty() ? 3 : rng() % 5;
  if (op == 0) s[at] = static_cast<char>(s[at] ^ (1 << (rng() % 8)));
  if (op == 1) s[at] = byte;
  if (op == 2) s.resize(at);
  if (op == 3) s.insert(at, 1 + rng() % 3, byte);
  if (op == 4) s.erase(at, 1);
}

// RunMutationLoop passes every seed, then count (scaled) copies of random seeds with one to four edits each,
// to target, which answers "" or what went wrong; the first wrong answer fails the test with the input in
// hex. name labels the printed seed.
inline void RunMutationLoop(const char* name, const std::vector<std::string>& seeds, int64_t count,
                            const std::string& alphabet, const std::function<std::string(const std::string&)>& target) {
  ASSERT_FALSE(seeds.empty());
  const uint64_t seed = FuzzSeed();
  std::printf("%s fuzz seed %llu over %zu inputs\n", name, static_cast<unsigned long long>(seed), seeds.size());
  auto hex = [](const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : bytes) out += {kDigits[c >> 4], kDigits[c & 15]};
    return out;
  };
  for (const std::string& input : seeds) ASSERT_EQ(target(input), "") << "seed input " << hex(input);
  std::mt19937_64 rng(seed);
  for (int64_t i = 0, scaled = FuzzScaled(count); i < scaled; ++i) {
    std::string input = seeds[rng() % seeds.size()];
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) MutateOnce(input, rng, alphabet);
    ASSERT_EQ(target(input), "") << "input " << i << ": " << hex(input);
  }
}

}  // namespace velmora::testing_support
