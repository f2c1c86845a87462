// BigInt::ToText against Python's integers in every radix, and the small conversions beside it.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "crypto/bn/big_int.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {
namespace {

using testing_support::Lines;
using testing_support::PythonAvailable;
using testing_support::RunPython;

constexpr char kScript[] = R"PY(
import random, sys
rnd = random.Random(int(sys.argv[1]))
DIG = "0123456789abcdefghijklmnopqrstuv"
def base(x, r):
    if x == 0: return "0"
    s, m = "", abs(x)
    while m: m, d = divmod(m, r); s = DIG[d] + s
    return ("-" if x < 0 else "") + s
for _ in range(200):
    x = rnd.getrandbits(rnd.randint(1, 4096)) * rnd.choice([1, -1])
    print(format(x, "x"), *(base(x, r) for r in range(2, 33)))
)PY";

std::string Text(const BigInt& x, int32_t radix) {
  core::Buffer out;
  EXPECT_EQ(x.ToText(out, radix), 0);
  return std::string(out.Data(), static_cast<size_t>(out.Length()));
}

BigInt FromSignedHex(const std::string& hex) {
  BigInt x;
  const bool negative = hex[0] == '-';
  const std::string digits = negative ? hex.substr(1) : hex;
  EXPECT_EQ(BigInt::FromText(digits.data(), static_cast<int32_t>(digits.size()), 16, negative ? -1 : 1, x), 0);
  return x;
}

TEST(BigIntText, EveryRadixMatchesPython) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 not found";
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::string output;
  ASSERT_TRUE(RunPython(kScript, std::to_string(seed), "", &output));
  int numbers = 0;
  for (const auto& f : Lines(output)) {
    ASSERT_EQ(f.size(), 32u);
    ++numbers;
    const BigInt x = FromSignedHex(f[0]);
    for (int32_t radix = 2; radix <= 32; ++radix) EXPECT_EQ(Text(x, radix), f[radix - 1]) << "radix " << radix;
  }
  EXPECT_EQ(numbers, 200);
}

TEST(BigIntText, ChunkBoundariesRadixFallbackAndZero) {
  BigInt ten, big;
  ASSERT_EQ(BigInt::FromInt64(10, ten), 0);
  ASSERT_EQ(BigInt::Pow(ten, 18, big), 0);
  EXPECT_EQ(Text(big, 10), "1" + std::string(18, '0'));  // a second chunk, padded
  ASSERT_EQ(BigInt::FromInt64(-123456789012345678, big), 0);
  EXPECT_EQ(Text(big, 1), "-123456789012345678");
  EXPECT_EQ(Text(big, 40), "-123456789012345678");
  EXPECT_EQ(Text(big, 16).substr(0, 1), "-");
  EXPECT_EQ(Text(BigInt(), 10), "0");
  EXPECT_EQ(Text(BigInt(), 16), "0");
  EXPECT_EQ(Text(BigIntZero(), 7), "0");
  const uint32_t leading_zeros[] = {0, 0, 0x1f};
  ASSERT_EQ(BigInt::FromWords(leading_zeros, 3, 1, big), 0);
  EXPECT_EQ(Text(big, 16), "1f");
  EXPECT_EQ(Text(big, 2), "11111");
}

TEST(BigIntText, SmallConversions) {
  BigInt x;
  ASSERT_EQ(BigInt::FromUint32(0xFFFFFFFFu, x), 0);
  EXPECT_EQ(x.Low64(), 0xFFFFFFFFu);
  EXPECT_FALSE(x.IsNegative());
  const uint32_t words[] = {7, 0x01234567, 0x89abcdef};
  ASSERT_EQ(BigInt::FromWords(words, 3, 1, x), 0);
  EXPECT_EQ(x.Low64(), 0x0123456789abcdefu);
  ASSERT_EQ(BigInt::FromInt64(-2, x), 0);
  EXPECT_EQ(x.Low64(), 0xFFFFFFFFFFFFFFFEu);  // two's complement
  const struct {
    char c;
    int32_t radix;
    int64_t value;
  } kDigits[] = {{'0', 2, 0}, {'9', 10, 9}, {'a', 16, 10}, {'F', 16, 15}, {'v', 32, 31}, {'V', 32, 31}};
  for (const auto& d : kDigits) EXPECT_EQ(DigitValue(d.c, d.radix), d.value) << d.c;
}

}  // namespace
}  // namespace velmora::crypto
