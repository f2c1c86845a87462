// Helpers shared by the RSA padding and signature code.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto::rsa_detail {

// ModulusBits is the bit length of a big-endian modulus (leading zero bytes ignored), 0 when empty.
inline int32_t ModulusBits(const core::BufferCore& modulus) {
  const uint8_t* bytes = modulus.Bytes();
  int32_t i = 0;
  while (i < modulus.Length() && bytes[i] == 0) ++i;
  if (i == modulus.Length()) return 0;
  int32_t bits = (modulus.Length() - i - 1) * 8;
  for (uint32_t top = bytes[i]; top != 0; top >>= 1) ++bits;
  return bits;
}

// Branch-free masks: all ones when the condition holds, else zero.
inline uint32_t MaskIfZero(uint32_t x) { return ((x | (0u - x)) >> 31) - 1u; }
inline uint32_t MaskIfNonZero(uint32_t x) { return ~MaskIfZero(x); }
inline uint32_t MaskIfEqual(uint32_t a, uint32_t b) { return MaskIfZero(a ^ b); }
// MaskIfLess: a < b for values below 2^31.
inline uint32_t MaskIfLess(uint32_t a, uint32_t b) { return 0u - ((a - b) >> 31); }
inline uint32_t Select(uint32_t mask, uint32_t a, uint32_t b) { return (a & mask) | (b & ~mask); }

// DigestsDiffer compares count bytes without an early exit; true when any byte differs.
inline bool DigestsDiffer(const uint8_t* a, const uint8_t* b, int32_t count) {
  uint32_t diff = 0;
  for (int32_t i = 0; i < count; ++i) diff |= static_cast<uint32_t>(a[i] ^ b[i]);
  return diff != 0;
}

}  // namespace velmora::crypto::rsa_detail
