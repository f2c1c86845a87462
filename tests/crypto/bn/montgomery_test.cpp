// The mulx/adx Montgomery products against the portable ones on random operands of every limb count
// up to past the longest unrolled row, and the simultaneous exponentiation of verification against two
// separate exponentiations. Python's integers check both paths in big_int_oracle_test.cpp.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "crypto/bn/big_int.h"
#include "crypto/bn/montgomery.h"
#include "tests/crypto/bn/montgomery_paths.h"

namespace velmora::crypto {
namespace {

std::string Hex(const BigInt& value) {
  core::Buffer text;
  EXPECT_EQ(value.ToText(text, 16), 0);
  return std::string(reinterpret_cast<const char*>(text.Bytes()), static_cast<size_t>(text.Length()));
}

// Random returns a value of at most `bits` bits; kind 1 gives all ones (every carry runs the full
// length), kind 2 the top bit alone.
BigInt Random(std::mt19937_64& rng, int32_t bits, int kind = 0) {
  std::vector<uint8_t> bytes(static_cast<size_t>((bits + 7) / 8));
  for (auto& b : bytes) b = kind == 1 ? 0xFF : kind == 2 ? 0 : static_cast<uint8_t>(rng());
  if (!bytes.empty()) {
    const int spare = static_cast<int>(bytes.size()) * 8 - bits;
    bytes[0] &= static_cast<uint8_t>(0xFF >> spare);
    if (kind == 2) bytes[0] |= static_cast<uint8_t>(0x80 >> spare);
  }
  BigInt out;
  EXPECT_EQ(BigInt::FromBytes(bytes.data(), static_cast<int32_t>(bytes.size()), 1, out), 0);
  return out;
}

// OddModulus: bits long, odd, top bit set; all ones for kind 1.
BigInt OddModulus(std::mt19937_64& rng, int32_t bits, int kind) {
  BigInt m = Random(rng, bits, kind);
  BigInt top;
  EXPECT_EQ(BigInt::ShiftLeft(BigIntOne(), bits - 1, top), 0);
  if (!m.TestBit(bits - 1)) {
    EXPECT_EQ(BigInt::Add(m, top, m), 0);
  }
  if (!m.IsOdd()) {
    EXPECT_EQ(BigInt::Add(m, BigIntOne(), m), 0);
  }
  return m;
}

std::string PowerOnPath(bool portable, const BigInt& base, const BigInt& e, const BigInt& m) {
  bigint::internal::ForcePortableMontgomery(portable);
  BigInt out;
  EXPECT_EQ(BigInt::ModPow(base, e, m, out), 0);
  bigint::internal::ForcePortableMontgomery(false);
  return Hex(out);
}

TEST(MontgomeryProducts, MulxMatchesPortableOnRandomOperands) {
  if (MontgomeryPaths().size() < 2) GTEST_SKIP() << "the processor has no mulx/adx";
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  BigInt e65537;
  ASSERT_EQ(BigInt::FromInt64(65537, e65537), 0);
  for (int32_t limbs = 1; limbs <= 66; ++limbs) {
    for (const int32_t bits : {64 * limbs, 64 * limbs - 7}) {
      for (int kind = 0; kind < 2; ++kind) {
        const BigInt m = OddModulus(rng, bits, kind);
        BigInt m_minus_one;
        ASSERT_EQ(BigInt::Subtract(m, BigIntOne(), m_minus_one), 0);
        BigInt base;
        ASSERT_EQ(BigInt::Mod(Random(rng, bits), m, base), 0);
        // Full-length exponents up to 512 bits and at the RSA sizes 1024 and 2048 (thousands of products
        // through every row length and the squaring's doubling); shorter ones keep the other moduli quick.
        const int32_t ebits = limbs <= 8 || limbs == 16 || limbs == 32 ? bits : 128;
        const BigInt e = Random(rng, ebits);
        const BigInt e_ones = Random(rng, ebits, 1);
        const std::pair<const BigInt*, const BigInt*> cases[] = {
            {&base, &e}, {&base, &e65537}, {&m_minus_one, &e_ones}, {&base, &e_ones}};
        for (const auto& [b, x] : cases) {
          ASSERT_EQ(PowerOnPath(false, *b, *x, m), PowerOnPath(true, *b, *x, m))
              << "bits " << bits << " kind " << kind << " m " << Hex(m) << " base " << Hex(*b) << " e " << Hex(*x);
        }
      }
    }
  }
}

class MontgomeryContextOnPath : public MontgomeryPathTest {};

// ModPow2Public gives a^ea b^eb mod m as two constant-time powers and a product do, and a kept context
// follows its modulus from one call to the next.
TEST_P(MontgomeryContextOnPath, SimultaneousPowerAndKeptContextMatchSeparatePowers) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  MontgomeryContext kept;
  for (int round = 0; round < 40; ++round) {
    const int32_t bits = round < 4 ? 2048 : 64 + static_cast<int32_t>(rng() % 1200);
    const BigInt m = OddModulus(rng, bits, round % 7 == 3 ? 1 : 0);
    BigInt a, b;
    ASSERT_EQ(BigInt::Mod(Random(rng, bits), m, a), 0);
    ASSERT_EQ(BigInt::Mod(Random(rng, bits), m, b), 0);
    // Exponents of different lengths, and zero on either side.
    const BigInt ea = round % 5 == 1 ? BigInt() : Random(rng, 1 + static_cast<int32_t>(rng() % 300));
    const BigInt eb = round % 5 == 2 ? BigInt() : Random(rng, 1 + static_cast<int32_t>(rng() % 300), round % 3);
    BigInt pa, pb, expected, got;
    ASSERT_EQ(BigInt::ModPow(a, ea, m, pa), 0);
    ASSERT_EQ(BigInt::ModPow(b, eb, m, pb), 0);
    ASSERT_EQ(BigInt::Multiply(pa, pb, expected), 0);
    ASSERT_EQ(BigInt::Mod(expected, m, expected), 0);
    MontgomeryContext context;
    ASSERT_EQ(context.Set(m), 0);
    ASSERT_EQ(context.ModPow2Public(a, ea, b, eb, got), 0);
    EXPECT_EQ(Hex(got), Hex(expected)) << "m " << Hex(m) << " ea " << Hex(ea) << " eb " << Hex(eb);
    // The kept context switches between this modulus and a second one.
    const BigInt m2 = OddModulus(rng, bits / 2 + 2, 0);
    for (const BigInt* modulus : {&m, &m2, &m}) {
      BigInt direct, through;
      ASSERT_EQ(BigInt::ModPow(a, ea, *modulus, direct), 0);
      ASSERT_EQ(ModPowWithContext(kept, a, ea, *modulus, through), 0);
      EXPECT_TRUE(kept.Matches(*modulus));
      EXPECT_EQ(Hex(through), Hex(direct));
    }
  }
  // Only odd moduli above 1 are prepared.
  MontgomeryContext refused;
  for (const int64_t m : {0, 1, 2, 10, -7}) {
    BigInt value;
    ASSERT_EQ(BigInt::FromInt64(m, value), 0);
    EXPECT_EQ(refused.Set(value), kBigIntBadModulus) << m;
  }
}
VELMORA_ON_MONTGOMERY_PATHS(MontgomeryContextOnPath);

}  // namespace
}  // namespace velmora::crypto
