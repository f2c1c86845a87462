// BigInt against Python's integers: the script draws the operands (seeded, the seed printed) and prints
// each case with Python's answer; every line is recomputed here and compared. Numbers travel as signed
// hexadecimal text and results come back through ToBytes, so both forms of zero read as 00.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "crypto/bn/big_int.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/bn/montgomery_paths.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::PythonAvailable;
using testing_support::RunPython;
using testing_support::ToHex;

constexpr char kScript[] = R"PY(
import random, sys
seed = int(sys.argv[1]); scale = int(sys.argv[2])
rnd = random.Random(seed)
DIG = "0123456789abcdefghijklmnopqrstuv"

def h(x):   # signed hex
    return ("-" if x < 0 else "") + format(abs(x), "x")
def tc(x):  # shortest two's complement with room for the sign
    n = (x.bit_length() if x >= 0 else (~x).bit_length()) // 8 + 1
    return x.to_bytes(n, "big", signed=True).hex()
def bits(x):
    return x.bit_length() if x >= 0 else (~x).bit_length()
def num(maxbits, signed=True):
    shape = rnd.random()
    b = rnd.randint(1, maxbits)
    if shape < 0.15:   # runs of ones and zeros stress carries, borrows and the quotient estimate
        words = [rnd.choice([0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF]) for _ in range((b + 31) // 32)]
        x = 0
        for w in words: x = (x << 32) | w
    elif shape < 0.25:
        x = (1 << b) - rnd.choice([0, 1])
    else:
        x = rnd.getrandbits(b)
    if signed and rnd.random() < 0.4: x = -x
    return x
def out(*fields): print(" ".join(str(f) for f in fields))
def trunc(a, b):
    q = abs(a) // abs(b)
    if (a < 0) != (b < 0): q = -q
    return q, a - q * b
def inv(a, m):
    try: return h(pow(a, -1, m))
    except ValueError: return "E2002"

# Queries and byte forms.
for _ in range(60 * scale):
    x = num(300)
    n = (x.bit_length() + 7) // 8 + rnd.randint(0, 3)      # padded two's-complement input
    raw = x.to_bytes(max(n, 1) + 1, "big", signed=True).hex()
    low = (x & -x).bit_length() - 1 if x else -1
    words = [(x >> (32 * i)) & 0xFFFFFFFF for i in range((abs(x).bit_length() + 31) // 32 + 2)]
    out("q", raw, tc(x), bits(x), low, ",".join(format(w, "x") for w in words))
# Text in every radix.
for _ in range(40 * scale):
    r = rnd.randint(2, 32); x = num(400, False)
    d = ""
    y = x
    while y: d = DIG[y % r] + d; y //= r
    d = "0" * rnd.randint(0, 3) + d
    if rnd.random() < 0.5: d = d.upper()
    out("t", r, d or "0", tc(x))
# Comparison, the four operations, truncating division and shifts.
for i in range(150 * scale):
    big = [64, 128, 600, 4096][i % 4]
    a = num(big); b = num(big if rnd.random() < 0.5 else big // 2 + 1)
    if b == 0: b = 1
    cmp = (a > b) - (a < b)
    q, r = trunc(a, b)
    n = rnd.randint(0, 200)
    w = rnd.randint(1, 0xFFFFFFFF)
    out("a", h(a), h(b), cmp, tc(a + b), tc(a - b), tc(a * b), tc(a * a), tc(q), tc(r),
        n, tc(a << n), tc(a >> n), w, abs(a) % w, tc(abs(a) // w * (1 if a >= 0 else -1)))
# Division corner cases: 2^64 / (2^32 + 1), equal operands, quotient words of all ones.
out("d", h(1 << 64), h((1 << 32) + 1), tc(((1 << 64) // ((1 << 32) + 1))), tc((1 << 64) % ((1 << 32) + 1)))
for _ in range(40 * scale):
    v = num(256, False) | (1 << 40)
    for u in (v, v * rnd.getrandbits(64) + rnd.randint(0, v - 1), ((v << 96) - 1), (v << 64) - v):
        out("d", h(u), h(v), tc(u // v), tc(u % v))
# Reduction, inverse (odd, even and power-of-two moduli), integer powers.
for i in range(80 * scale):
    m = num([64, 256, 1024, 2048][i % 4], False) or 3
    kind = i % 3
    if kind == 1: m = m | 1
    if kind == 2: m = 1 << rnd.randint(1, 200)
    a = num(m.bit_length() + 40)
    e = rnd.randint(0, 40)
    base = num(100)
    out("m", h(a), h(m), tc(a % m), inv(a, m), h(base), e, tc(base ** e))
# Modular exponentiation: odd and even moduli, negative exponents, 65537 and the window boundaries.
lengths = [7, 8, 25, 26, 81, 82, 241, 242, 673, 674, 1793, 1794]
for i in range(36 * scale):
    mbits = [512, 1024, 2048, 4096][i % 4] if i % 9 else 4096
    m = rnd.getrandbits(mbits) | (1 << (mbits - 1))
    if i % 3 == 0: m |= 1
    elif i % 3 == 1: m = (m | 1) << rnd.randint(1, 70)
    else: m &= ~1
    if i % 6 == 0: e = 65537
    elif i < len(lengths) * 2: e = rnd.getrandbits(lengths[i % len(lengths)]) | (1 << (lengths[i % len(lengths)] - 1))
    elif i % 9 == 0: e = rnd.getrandbits(mbits)
    else: e = rnd.getrandbits(rnd.randint(1, 700))
    if i % 4 == 3: e = -e
    base = num(mbits + 8)
    try: r = h(pow(base, e, m))
    except ValueError: r = "E2002"
    out("p", h(base), h(e), h(m), r)
)PY";

// Parse reads the script's signed hexadecimal text.
BigInt Parse(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  BigInt value;
  EXPECT_EQ(BigInt::FromText(digits.data(), static_cast<int32_t>(digits.size()), 16, negative ? -1 : 1, value), 0);
  return value;
}

std::string Bytes(const BigInt& value) {
  core::Buffer buffer;
  EXPECT_EQ(value.ToBytes(buffer), 0);
  return ToHex(std::string(buffer.Data(), static_cast<size_t>(buffer.Length())));
}

// Hex gives a non-negative result in the script's notation, or the error code as "E<code>".
std::string Hex(int rc, const BigInt& value) {
  if (rc != 0) return "E" + std::to_string(rc);
  const std::string bytes = Bytes(value);
  const size_t first = bytes.find_first_not_of('0');
  return first == std::string::npos ? "0" : bytes.substr(first);
}

std::vector<uint32_t> WordList(const std::string& text) {
  std::vector<uint32_t> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t comma = text.find(',', at);
    words.push_back(static_cast<uint32_t>(std::stoul(text.substr(at, comma - at), nullptr, 16)));
    at = comma == std::string::npos ? text.size() : comma + 1;
  }
  return words;
}

void CheckQueries(const std::vector<std::string>& f) {
  const std::string raw = FromHex(f[1]);
  BigInt x;
  ASSERT_EQ(BigInt::FromTwosComplementBytes(reinterpret_cast<const uint8_t*>(raw.data()),
                                            static_cast<int32_t>(raw.size()), x), 0);
  EXPECT_EQ(Bytes(x), f[2]) << "bytes " << f[1];
  EXPECT_EQ(x.BitLength(), std::stoi(f[3])) << f[1];
  EXPECT_EQ(x.LowestSetBit(), std::stoi(f[4])) << f[1];
  const std::vector<uint32_t> words = WordList(f[5]);
  for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(x.WordAt(static_cast<int32_t>(i)), words[i]) << f[1] << " word " << i;
  // The same value through the two's-complement words.
  std::vector<uint32_t> tc_words(words.rbegin(), words.rend());
  BigInt y;
  ASSERT_EQ(BigInt::FromTwosComplementWords(tc_words.data(), static_cast<int32_t>(tc_words.size()), y), 0);
  EXPECT_EQ(Bytes(y), f[2]) << "words " << f[5];
}

void CheckArithmetic(const std::vector<std::string>& f) {
  const BigInt a = Parse(f[1]);
  const BigInt b = Parse(f[2]);
  const std::string where = f[1] + " " + f[2];
  BigInt r, q, rem;
  EXPECT_EQ(BigInt::Compare(a, b), std::stoi(f[3])) << where;
  ASSERT_EQ(BigInt::Add(a, b, r), 0);
  EXPECT_EQ(Bytes(r), f[4]) << "add " << where;
  ASSERT_EQ(BigInt::Subtract(a, b, r), 0);
  EXPECT_EQ(Bytes(r), f[5]) << "subtract " << where;
  ASSERT_EQ(BigInt::Multiply(a, b, r), 0);
  EXPECT_EQ(Bytes(r), f[6]) << "multiply " << where;
  ASSERT_EQ(BigInt::Square(a, r), 0);
  EXPECT_EQ(Bytes(r), f[7]) << "square " << where;
  ASSERT_EQ(BigInt::DivMod(a, b, q, rem), 0);
  EXPECT_EQ(Bytes(q), f[8]) << "quotient " << where;
  EXPECT_EQ(Bytes(rem), f[9]) << "remainder " << where;
  const int32_t n = std::stoi(f[10]);
  ASSERT_EQ(BigInt::ShiftLeft(a, n, r), 0);
  EXPECT_EQ(Bytes(r), f[11]) << "shift left " << where << " " << n;
  ASSERT_EQ(BigInt::ShiftRight(a, n, r), 0);
  EXPECT_EQ(Bytes(r), f[12]) << "shift right " << where << " " << n;
  uint32_t word_rem = 0;
  ASSERT_EQ(BigInt::DivModWord(a, static_cast<uint32_t>(std::stoul(f[13])), q, &word_rem), 0);
  EXPECT_EQ(word_rem, std::stoul(f[14])) << "word remainder " << where;
  EXPECT_EQ(Bytes(q), f[15]) << "word quotient " << where;
}

void CheckModular(const std::vector<std::string>& f) {
  const BigInt a = Parse(f[1]);
  const BigInt m = Parse(f[2]);
  BigInt r;
  ASSERT_EQ(BigInt::Mod(a, m, r), 0);
  EXPECT_EQ(Bytes(r), f[3]) << "mod " << f[1] << " " << f[2];
  const int rc = BigInt::ModInverse(a, m, r);
  EXPECT_EQ(Hex(rc, r), f[4]) << "inverse " << f[1] << " " << f[2];
  ASSERT_EQ(BigInt::Pow(Parse(f[5]), std::stoi(f[6]), r), 0);
  EXPECT_EQ(Bytes(r), f[7]) << "pow " << f[5] << " " << f[6];
}

class BigIntOracleOnPath : public MontgomeryPathTest {};

TEST_P(BigIntOracleOnPath, MatchesPythonIntegers) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 not found";
  const char* scale_text = std::getenv("VELMORA_BIGINT_SCALE");
  const int scale = scale_text != nullptr ? std::max(1, std::atoi(scale_text)) : 1;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::string output;
  ASSERT_TRUE(RunPython(kScript, std::to_string(seed) + " " + std::to_string(scale), "", &output));
  int cases = 0;
  for (const auto& f : Lines(output)) {
    ASSERT_FALSE(f.empty());
    ++cases;
    if (f[0] == "q") {
      CheckQueries(f);
    } else if (f[0] == "t") {
      BigInt x;
      ASSERT_EQ(BigInt::FromText(f[2].data(), static_cast<int32_t>(f[2].size()), std::stoi(f[1]), 1, x), 0);
      EXPECT_EQ(Bytes(x), f[3]) << "radix " << f[1] << " " << f[2];
    } else if (f[0] == "a") {
      CheckArithmetic(f);
    } else if (f[0] == "d") {
      BigInt q, r;
      ASSERT_EQ(BigInt::DivMod(Parse(f[1]), Parse(f[2]), q, r), 0);
      EXPECT_EQ(Bytes(q), f[3]) << "divide " << f[1] << " " << f[2];
      EXPECT_EQ(Bytes(r), f[4]) << "divide " << f[1] << " " << f[2];
    } else if (f[0] == "m") {
      CheckModular(f);
    } else if (f[0] == "p") {
      BigInt r;
      const BigInt base = Parse(f[1]), e = Parse(f[2]), m = Parse(f[3]);
      const int rc = BigInt::ModPow(base, e, m, r);
      EXPECT_EQ(Hex(rc, r), f[4]) << "modpow " << f[1] << " " << f[2] << " " << f[3];
      // Square-and-multiply with a division per step gives the same, on the smaller cases.
      if (!e.IsNegative() && e.BitLength() < 300 && m.BitLength() <= 1100) {
        EXPECT_EQ(Hex(BigInt::ModPowBinary(base, e, m, r), r), f[4]) << "binary " << f[1] << " " << f[2] << " " << f[3];
      }
    } else {
      FAIL() << "unknown case " << f[0];
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(cases, 500);
}
VELMORA_ON_MONTGOMERY_PATHS(BigIntOracleOnPath);

}  // namespace
}  // namespace velmora::crypto
