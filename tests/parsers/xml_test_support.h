// Seeds of the XML parser's randomised tests: the seed is printed and VELMORABLE_FUZZ_SEED replays one;
// VELMORABLE_FUZZ_SCALE multiplies the counts (testing_support::FuzzScaled).
#pragma once

#include <cstdint>
#include <cstdio>

#include "tests/test_support.h"

namespace velmora::parsers::testing {

inline uint64_t Seed() {
  const uint64_t value = testing_support::FuzzSeed();
  std::printf("seed %llu (VELMORABLE_FUZZ_SEED replays it)\n", static_cast<unsigned long long>(value));
  return value;
}

}  // namespace velmora::parsers::testing
