// FixedBigInt against Python's integers (signed sums and differences, products, remainders, the
// extended Euclid coefficient, Montgomery powers and shifts), its refusals at the 384-word bound, and
// the byte-string fitting routines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "crypto/bn/fixed_big_int.h"
#include "crypto/bn/integer_bytes.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::PythonAvailable;
using testing_support::RunPython;
using testing_support::ToHex;
using F = FixedBigInt;

constexpr char kScript[] = R"PY(
import random, sys
seed = int(sys.argv[1]); count = int(sys.argv[2])
rnd = random.Random(seed)
def h(x): return ("-" if x < 0 else "") + format(abs(x), "x")
def num(maxbits, signed=True):
    b = rnd.randint(1, maxbits)
    if rnd.random() < 0.2:
        x = 0
        for _ in range((b + 31) // 32): x = (x << 32) | rnd.choice([0, 1, 0x80000000, 0xFFFFFFFF])
    else:
        x = rnd.getrandbits(b)
    return -x if signed and rnd.random() < 0.5 else x
print(seed)
for _ in range(count):
    a = num(6000); b = num(6000)
    print("add", h(a), h(b), h(a + b))
    print("sub", h(a), h(b), h(a - b))
    a = num(5000); b = num(5000)
    print("mul", h(a), h(b), h(a * b))
    a = num(4000, False); m = num(2100, False) or 7
    print("mod", h(a), h(m), h(a % m))
    m = num(1100, False) | 1; a = num(1100, False) % m or 3
    import math
    g = math.gcd(a, m)
    x = pow(a, -1, m) if g == 1 else None
    print("inv", h(a), h(m), h(g) + "," + (h(x) if x is not None else "?"))
    m = num(2100, False) | 1; a = num(2100, False); e = num(600, False)
    print("pow", h(a), h(e), h(m) + "," + h(pow(a, e, m)))
    a = num(3000, False); n = rnd.randint(0, 700)
    print("shl", h(a), h(n), h(a << n))
    print("shr", h(a), h(n), h(a >> n))
)PY";

F Parse(const std::string& text) {
  F value;
  const bool negative = !text.empty() && text[0] == '-';
  std::string digits = text.substr(negative ? 1 : 0);
  if (digits.size() % 2 != 0) digits = "0" + digits;
  const std::string bytes = FromHex(digits);
  EXPECT_EQ(F::FromBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), value), 0);
  value.Positive = negative ? 0 : 1;
  return value;
}

std::string Show(const F& value) {
  core::Buffer buffer;
  EXPECT_EQ(F::ToWordBytes(value, buffer), 0);
  std::string hex = ToHex(std::string(buffer.Data(), static_cast<size_t>(buffer.Length())));
  const size_t first = hex.find_first_not_of('0');
  hex = first == std::string::npos ? "0" : hex.substr(first);
  return (value.Positive == 0 && hex != "0" ? "-" : "") + hex;
}

TEST(FixedBigIntOracle, AgreesWithPython) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 not found";
  const char* env = std::getenv("VELMORA_FIXED_ORACLE_COUNT");
  const int count = env != nullptr ? std::atoi(env) : 40;
  const unsigned seed = std::random_device{}();
  std::string output;
  ASSERT_TRUE(RunPython(kScript, std::to_string(seed) + " " + std::to_string(count), "", &output));
  const auto lines = Lines(output);
  ASSERT_FALSE(lines.empty());
  SCOPED_TRACE("seed " + lines[0][0]);
  int checked = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto& f = lines[i];
    ASSERT_EQ(f.size(), 4u);
    SCOPED_TRACE(f[0] + " " + f[1] + " " + f[2]);
    const F a = Parse(f[1]);
    const F b = Parse(f[2]);
    F out;
    if (f[0] == "add") {
      ASSERT_EQ(F::Add(a, b, out), 0);
    } else if (f[0] == "sub") {
      ASSERT_EQ(F::Subtract(a, b, out), 0);
    } else if (f[0] == "mul") {
      ASSERT_EQ(F::Multiply(a, b, out), 0);
    } else if (f[0] == "mod") {
      ASSERT_EQ(F::Mod(a, b, out), 0);
    } else if (f[0] == "inv") {
      F g;
      ASSERT_EQ(F::ModInverse(a, b, g, out), 0);
      const std::string gcd = f[3].substr(0, f[3].find(','));
      EXPECT_EQ(Show(g), gcd);
      if (gcd == "1") {
        EXPECT_EQ(Show(out), f[3].substr(f[3].find(',') + 1));
      }
      ++checked;
      continue;
    } else if (f[0] == "pow") {
      const F m = Parse(f[3].substr(0, f[3].find(',')));
      ASSERT_EQ(F::ModPow(a, b, m, out), 0);
      EXPECT_EQ(Show(out), f[3].substr(f[3].find(',') + 1));
      ++checked;
      continue;
    } else {
      const int32_t n = static_cast<int32_t>(std::stol(f[2], nullptr, 16));
      F::Copy(out, a);
      if (f[0] == "shl") {
        ASSERT_EQ(F::ShiftLeft(out, n), 0);
        F into;
        ASSERT_EQ(F::ShiftLeftInto(a, n, into), 0);
        EXPECT_EQ(Show(into), f[3]);
      } else {
        F::ShiftRight(out, n);
      }
    }
    EXPECT_EQ(Show(out), f[3]);
    ++checked;
  }
  EXPECT_EQ(checked, 8 * count);
}

// The bound: nothing may write past word 384, whatever the input.
// An operand pair of the oracle above (seed 3845317448) whose coefficient ends above the modulus; the
// inverse is Python's pow(0x506910382, -1, 0x49070499ad).
TEST(FixedBigInt, InverseIsBelowTheModulus) {
  F g;
  F x;
  ASSERT_EQ(F::ModInverse(Parse("506910382"), Parse("49070499ad"), g, x), 0);
  EXPECT_EQ(Show(g), "1");
  EXPECT_EQ(Show(x), "4ed79f156");
}

TEST(FixedBigInt, RefusesWhatDoesNotFit) {
  F value;
  const std::string too_long(4 * F::kMaxWords + 1, '\x01');
  EXPECT_EQ(F::FromBytes(reinterpret_cast<const uint8_t*>(too_long.data()), 4 * F::kMaxWords + 1, value),
            kFixedTooLong);
  const std::string fits(4 * F::kMaxWords, '\xff');
  ASSERT_EQ(F::FromBytes(reinterpret_cast<const uint8_t*>(fits.data()), 4 * F::kMaxWords, value), 0);
  EXPECT_EQ(value.Count, F::kMaxWords);
  F out;
  EXPECT_EQ(F::AddWord(value, 1, out), kFixedTooLong);
  EXPECT_EQ(F::MultiplyWord(value, 2, out), kFixedTooLong);
  EXPECT_EQ(F::ShiftLeft1(value), kFixedTooLong);
  EXPECT_EQ(F::ShiftLeft(value, 1), kFixedTooLong);
  EXPECT_EQ(F::ShiftLeftWords(value, 1), kFixedTooLong);
  F half;
  ASSERT_EQ(F::FromBytes(reinterpret_cast<const uint8_t*>(fits.data()), 2 * F::kMaxWords + 4, half), 0);
  EXPECT_EQ(F::Multiply(half, half, out), kFixedTooLong);
  F zero;
  EXPECT_EQ(F::Mod(value, zero, out), kFixedZeroOperand);
  EXPECT_EQ(F::ModInverse(zero, value, out, out), kFixedZeroOperand);
  value.Count = F::kMaxWords + 1;
  EXPECT_EQ(F::Add(value, half, out), kFixedTooLong);

  // Small corners: byte order, fixed-width output, an even modulus leaving the output alone.
  const uint8_t five[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(F::FromBytes(five, 5, value), 0);
  EXPECT_EQ(value.Count, 2);
  EXPECT_EQ(value.Words[0], 0x02030405u);
  core::Buffer bytes;
  EXPECT_EQ(F::ToBytes(value, 4, bytes), kFixedBytesTooShort);
  ASSERT_EQ(F::ToBytes(value, 7, bytes), 0);
  EXPECT_EQ(ToHex(std::string(bytes.Data(), 7)), "00000102030405");
  F even;
  F::SetWord(even, 10);
  F::SetWord(out, 77);
  EXPECT_EQ(F::ModPow(value, value, even, out), 0);
  EXPECT_EQ(out.Words[0], 77u);
  ASSERT_EQ(F::SetPolynomial(value, 163, 7, 6, 3), 0);
  EXPECT_EQ(value.Count, 6);
  int32_t length, e1, e2, e3;
  PolynomialTermExponents(value, &length, &e1, &e2, &e3);
  EXPECT_EQ(length, 164);
  EXPECT_EQ(e1, 0);
  EXPECT_EQ(e2, 3);
  EXPECT_EQ(e3, 6);
}

std::string Fit(const std::string& hex, int (*fit)(core::BufferCore&)) {
  core::Buffer value;
  const std::string bytes = FromHex(hex);
  EXPECT_EQ(value.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
  const int status = fit(value);
  if (status != 0) return std::to_string(status);
  return ToHex(std::string(value.Data(), static_cast<size_t>(value.Length())));
}

TEST(IntegerBytes, FitAndNormalize) {
  const std::string tail(62, 'a');
  auto strict = [](core::BufferCore& v) { return FitIntegerBytes(32, v, true); };
  auto loose = [](core::BufferCore& v) { return FitIntegerBytes(32, v, false); };
  EXPECT_EQ(Fit("007f" + tail, strict), "7f" + tail);
  EXPECT_EQ(Fit("0080" + tail, strict), "446");
  EXPECT_EQ(Fit("01" + std::string(64, 'a'), strict), "446");
  EXPECT_EQ(Fit("0080" + tail, loose), "80" + tail);
  EXPECT_EQ(Fit("01" + std::string(64, 'a'), loose), std::string(64, 'a'));
  EXPECT_EQ(Fit("0102", loose), std::string(60, '0') + "0102");
  EXPECT_EQ(Fit("", [](core::BufferCore& v) { return FitBytesToWidth(4, v); }), "");
  EXPECT_EQ(Fit("", [](core::BufferCore& v) { return FitBytesToLength(4, v); }), "00000000");
  EXPECT_EQ(Fit("010203040506", [](core::BufferCore& v) { return FitBytesToWidth(4, v); }), "03040506");
  EXPECT_EQ(Fit("80", NormalizeDerIntegerBytes), "0080");
  EXPECT_EQ(Fit("007f", NormalizeDerIntegerBytes), "7f");
  EXPECT_EQ(Fit("0080", NormalizeDerIntegerBytes), "0080");
  core::Buffer out;
  const uint8_t long_value[] = {0, 0, 0, 0, 1};
  ASSERT_EQ(PadBytesLeft(long_value, 5, 4, out), 0);
  EXPECT_EQ(ToHex(std::string(out.Data(), static_cast<size_t>(out.Length()))), "01");
  ASSERT_EQ(PadBytesLeft(long_value + 3, 2, 4, out), 0);
  EXPECT_EQ(ToHex(std::string(out.Data(), static_cast<size_t>(out.Length()))), "00000001");
  EXPECT_TRUE(HexIntegersEqual("00ff", "FF"));
  EXPECT_FALSE(HexIntegersEqual("", nullptr));
  EXPECT_FALSE(HexIntegersEqual("01", "02"));
}

}  // namespace
}  // namespace velmora::crypto
