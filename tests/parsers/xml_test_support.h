// Seeds and counts of the XML parser's randomised tests: the seed is printed and VELMORABLE_FUZZ_SEED
// replays one; VELMORABLE_FUZZ_SCALE multiplies the counts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace velmora::parsers::testing {

inline int64_t Scaled(int64_t count) {
  const char* scale = std::getenv("VELMORABLE_FUZZ_SCALE");
  return scale != nullptr ? static_cast<int64_t>(static_cast<double>(count) * std::atof(scale)) : count;
}

inline uint64_t Seed() {
  const char* seed = std::getenv("VELMORABLE_FUZZ_SEED");
  const uint64_t value = seed != nullptr ? std::strtoull(seed, nullptr, 0) : std::random_device{}();
  std::printf("seed %llu (VELMORABLE_FUZZ_SEED replays it)\n", static_cast<unsigned long long>(value));
  return value;
}

}  // namespace velmora::parsers::testing
