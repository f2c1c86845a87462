// The X25519 ladder on the 64-bit-limb and radix-2^51 fields against the same ladder on the radix-2^25.5
// field they replaced (internal::ForceLadderField): random scalars and u-coordinates, with u of p and
// above, bit 255 set, and the small-order points among them; and the constant-time probe of the ladders.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "crypto/curve25519/curve25519_field.h"
#include "crypto/curve25519/x25519_x448.h"
#include "crypto/curve25519/x25519_x448_internal.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

TEST(X25519Field, FastLaddersMatchRadix25) {
  const bool has_fe64 = Fe64LadderAvailable();
  if (!has_fe64) std::printf("no BMI2: the 64-bit-limb ladder is not compared\n");
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 3000; ++i) {
    uint8_t k[32], u[32], fast[32], r51[32], old[32];
    for (uint8_t& byte : k) byte = static_cast<uint8_t>(rng());
    for (uint8_t& byte : u) byte = static_cast<uint8_t>(rng());
    switch (i % 8) {
      case 0:  // u = p + j or 2^255 - 1 - j: non-canonical encodings
        for (uint8_t& byte : u) byte = 0xFF;
        u[31] = 0x7F;
        u[0] = static_cast<uint8_t>(0xED + rng() % 19);
        break;
      case 1:  // small u: 0, 1, 2, ...
        for (uint8_t& byte : u) byte = 0;
        u[0] = static_cast<uint8_t>(i % 5);
        break;
      case 2:  // every limb at its largest
        for (uint8_t& byte : u) byte = 0xFF;
        break;
      case 3:  // u = 2^255 - 20 + j: across p at the top of the range
        for (uint8_t& byte : u) byte = 0xFF;
        u[31] = 0x7F;
        u[0] = static_cast<uint8_t>(0xEB + rng() % 20);
        break;
      default:
        break;
    }
    const int code_fast = X25519Ladder(k, 32, u, 32, fast, 32);
    internal::ForceLadderField(internal::LadderField::kRadix51);
    const int code_51 = X25519Ladder(k, 32, u, 32, r51, 32);
    internal::ForceLadderField(internal::LadderField::kRadix25);
    const int code_old = X25519Ladder(k, 32, u, 32, old, 32);
    internal::ForceLadderField(internal::LadderField::kFastest);
    const std::string expected = testing_support::ToHex(std::string(reinterpret_cast<char*>(old), 32));
    ASSERT_EQ(code_old, code_51) << "seed " << seed << " case " << i;
    ASSERT_EQ(expected, testing_support::ToHex(std::string(reinterpret_cast<char*>(r51), 32)))
        << "radix 2^51, seed " << seed << " case " << i;
    ASSERT_EQ(code_old, code_fast) << "seed " << seed << " case " << i;
    ASSERT_EQ(expected, testing_support::ToHex(std::string(reinterpret_cast<char*>(fast), 32)))
        << "fastest field, seed " << seed << " case " << i;
  }
}

// Under valgrind's memcheck, with the private scalar undefined, no branch and no memory index of
// either ladder depends on it.
TEST(X25519Field, LadderTimingIndependentOfTheScalar) {
#ifndef VELMORA_X25519_CT_PROBE
  GTEST_SKIP() << "valgrind/memcheck.h is missing: the probe was not built";
#else
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is missing";
  const std::string command = std::string("valgrind -q --error-exitcode=99 ") + VELMORA_X25519_CT_PROBE + " >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
#endif
}

}  // namespace
}  // namespace velmora::crypto
