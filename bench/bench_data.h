// Input shared by the cipher benchmarks: kBenchLength bytes of message followed by 64 bytes the benchmarks
// take their keys and IVs from, the same pseudo-random bytes on every run.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace velmora::bench {

constexpr int32_t kBenchLength = 16384;

inline const std::vector<uint8_t>& BenchData() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(kBenchLength + 64);
    std::mt19937 random(1);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
  }();
  return data;
}

}  // namespace velmora::bench
