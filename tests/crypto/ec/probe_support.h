// What the curve timing probes share. A probe is built from the field, point and FixedBigInt sources
// alone; the two outside functions those sources name stop the probe if called (the probed arithmetic
// draws no random numbers and writes no Buffer). Parse reads a hex argument.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/bn/fixed_big_int.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {
void RandomBytes(RandomContext&, uint8_t*, int32_t, int32_t) { std::abort(); }
void RandomContext::Release() {}
}  // namespace velmora::crypto
namespace velmora::core {
int BufferCore::SetDataSlow(int32_t, const void*) { std::abort(); }
}  // namespace velmora::core

namespace probe_support {

inline bool Parse(const char* hex, velmora::crypto::FixedBigInt& out) {
  std::string text(hex);
  if (text.size() % 2 != 0) text = "0" + text;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return velmora::crypto::FixedBigInt::FromBytes(bytes.data(), static_cast<int32_t>(bytes.size()), out) == 0;
}

}  // namespace probe_support
