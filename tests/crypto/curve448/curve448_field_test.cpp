// The field and scalar arithmetic against Python integers on seeded random and boundary inputs: limbs
// at the weak-reduction bound, values at and above p and L, the canonical-encoding flags.
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/curve448/curve448_field.h"
#include "crypto/curve448/ed448_scalar.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::RunPython;
using testing_support::ToHex;

// The oracle reads one tagged case per line and prints the expected answer of each.
constexpr char kOracle[] = R"PY(
import sys
p = 2**448 - 2**224 - 1
L = 2**446 - 13818066809895115352007386748515426880336692474882178609894547503885
def limbs(h): return sum(int(w, 16) << (28 * i) for i, w in enumerate(h.split(',')))
def le(h): return int.from_bytes(bytes.fromhex(h[1:]), 'little')
def fe(v): return 'x' + (v % p).to_bytes(56, 'little').hex()
def sc(v, n=56): return 'x' + v.to_bytes(n, 'little').hex()
for line in sys.stdin:
    f = line.split()
    if f[0] == 'F':
        a, b, w = limbs(f[1]), limbs(f[2]), int(f[3], 16)
        sq = a % p == 0 or pow(a, (p - 1) // 2, p) == 1
        print(fe(a), fe(a + b), fe(a - b), fe(a * b), fe(-a), fe(a * w), fe(pow(a, p - 2, p)),
              fe(pow(a, (p - 3) // 4, p)), int(sq), (a % p) & 1, int(a % p == b % p), int(a % p == 0))
    elif f[0] == 'B':
        print(int(le(f[1]) < p))
    elif f[0] == 'S':
        x, wide, a, b, acc = le(f[1]), le(f[2]), le(f[3]), le(f[4]), le(f[5])
        print(int(x < L), sc(wide % L), sc((acc + a * b) % L), sc((a * b) % L), sc(L - x % L))
    elif f[0] == 'R':
        s, width = le(f[1]), int(f[2])
        pairs = [tuple(map(int, d.split(':'))) for d in f[3:]]
        ok = sum(d << q for d, q in pairs) == s
        ok = ok and all(d % 2 == 1 and abs(d) < 2 ** (width + 1) for d, _ in pairs)
        ok = ok and all(pairs[i][1] > pairs[i + 1][1] for i in range(len(pairs) - 1))
        print(int(ok))
    elif f[0] == 'H':
        k = int(f[1])
        c = (2**k - 1) % L
        even, odd = (c, c + L) if c % 2 == 0 else (c + L, c)
        print(sc(even), sc(odd))
)PY";

std::string Bytes(const uint8_t* data, size_t n) { return std::string(reinterpret_cast<const char*>(data), n); }

std::string LimbList(const Fe448& a) {
  std::ostringstream out;
  for (int i = 0; i < kFe448Limbs; ++i) out << (i ? "," : "") << std::hex << a.limb[i];
  return out.str();
}

std::string Encode(const Fe448& a) {
  uint8_t out[kFe448Bytes];
  EXPECT_EQ(Fe448ToBytes(out, sizeof out, a), 0);
  return "x" + ToHex(Bytes(out, sizeof out));
}

std::string EncodeScalar(const uint32_t* words) {
  uint8_t out[kEd448ScalarBytes];
  ScalarToBytes(out, words, kEd448ScalarBytes);
  return "x" + ToHex(Bytes(out, sizeof out));
}

// RandomElement draws limbs of one of three shapes: canonical-sized, at the weak-reduction bound
// (2^28 plus a carry), or the extremes 0 and 2^28 - 1.
Fe448 RandomElement(std::mt19937& rng, int shape) {
  Fe448 a;
  for (uint32_t& limb : a.limb) {
    switch (shape) {
      case 0: limb = rng() & 0x0fffffff; break;
      case 1: limb = 0x0fffffff + (rng() & 31); break;
      default: limb = (rng() & 1) ? 0x0fffffff : 0; break;
    }
  }
  return a;
}

struct FieldResults {
  std::string values[8];
  uint32_t square, low_bit, equal, zero;
};

FieldResults RunField(const Fe448& a, const Fe448& b, uint64_t w) {
  FieldResults r;
  Fe448 t, u;
  r.values[0] = Encode(a);
  Fe448Add(t, a, b);
  r.values[1] = Encode(t);
  Fe448Sub(t, a, b);
  r.values[2] = Encode(t);
  Fe448Mul(t, a, b);
  r.values[3] = Encode(t);
  Fe448Neg(t, a);
  r.values[4] = Encode(t);
  Fe448MulWord(t, a, w);
  r.values[5] = Encode(t);
  u = a;
  Fe448Invert(u, u);
  r.values[6] = Encode(u);
  u = a;
  Fe448InvSqrt(u, u);
  r.values[7] = Encode(u);
  r.square = Fe448IsSquare(a) != 0 ? 1 : 0;
  r.low_bit = Fe448LowBit(a);
  r.equal = Fe448Equal(a, b) & 1;
  r.zero = Fe448IsZero(a) & 1;
  return r;
}

TEST(Curve448Field, AgreesWithPythonIntegers) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is missing";
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::vector<Fe448> as, bs;
  std::vector<uint64_t> ws;
  std::ostringstream input;
  for (int i = 0; i < 120; ++i) {
    Fe448 a = RandomElement(rng, i % 3), b = RandomElement(rng, (i / 3) % 3);
    if (i == 0) Fe448SetWord(a, 0);
    if (i == 1) b = a;  // equal values
    if (i == 2) {       // p itself: every limb 2^28 - 1 but limb 8
      for (uint32_t& limb : a.limb) limb = 0x0fffffff;
      a.limb[8] = 0x0ffffffe;
    }
    const uint64_t w = i < 4 ? (i == 3 ? 78164 : 39081) : (static_cast<uint64_t>(rng()) << 24 ^ rng()) & ((1ull << 56) - 1);
    as.push_back(a);
    bs.push_back(b);
    ws.push_back(w);
    input << "F " << LimbList(a) << " " << LimbList(b) << " " << std::hex << w << std::dec << "\n";
  }
  // Canonical flag of 56-byte strings: p, p - 1, all ones, random.
  std::vector<std::string> encodings;
  std::string p_bytes(56, '\xff');
  p_bytes[28] = '\xfe';
  std::string p_minus_one = p_bytes;
  p_minus_one[0] = '\xfe';
  encodings = {p_bytes, p_minus_one, std::string(56, '\xff'), std::string(56, '\0')};
  for (int i = 0; i < 20; ++i) {
    std::string s(56, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    encodings.push_back(s);
  }
  for (const std::string& e : encodings) input << "B x" << ToHex(e) << "\n";
  std::string output;
  ASSERT_TRUE(RunPython(kOracle, "", input.str(), &output));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), as.size() + encodings.size());
  for (size_t i = 0; i < as.size(); ++i) {
    const FieldResults r = RunField(as[i], bs[i], ws[i]);
    const auto& expected = lines[i];
    ASSERT_EQ(expected.size(), 12u);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(r.values[k], expected[k]) << "case " << i << " value " << k;
    EXPECT_EQ(std::to_string(r.square), expected[8]) << "case " << i;
    EXPECT_EQ(std::to_string(r.low_bit), expected[9]) << "case " << i;
    EXPECT_EQ(std::to_string(r.equal), expected[10]) << "case " << i;
    EXPECT_EQ(std::to_string(r.zero), expected[11]) << "case " << i;
  }
  for (size_t i = 0; i < encodings.size(); ++i) {
    Fe448 t;
    EXPECT_EQ(std::to_string(Fe448FromBytes(t, reinterpret_cast<const uint8_t*>(encodings[i].data()), 57 - (i % 2))),
              lines[as.size() + i][0])
        << "encoding " << i;
  }
}

TEST(Curve448Field, ContractEdges) {
  Fe448 a, out;
  Fe448SetWord(a, 12345);
  out = a;
  Fe448Mul(out, out, a);  // an output that is an operand is left alone
  EXPECT_EQ(out.limb[0], 12345u);
  uint8_t bytes[56];
  EXPECT_EQ(Fe448ToBytes(bytes, 55, a), kCurveShortOutput);
  EXPECT_EQ(Fe448FromBytes(out, bytes, 55), 0);
  // A weakly reduced element minus itself is zero, at every limb extreme.
  for (uint32_t top : {0u, 31u}) {
    for (uint32_t& limb : a.limb) limb = 0x0fffffff + top;
    Fe448Sub(out, a, a);
    EXPECT_EQ(Fe448IsZero(out), 0xffffffffu);
  }
}

TEST(Ed448Scalar, AgreesWithPythonIntegers) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is missing";
  const uint32_t seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  auto random_bytes = [&rng](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  auto u8 = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  // L - 1, L and L + 1 as bytes; the oracle's answers on them pin the canonical mask.
  uint32_t l[kEd448ScalarWords] = {};
  ASSERT_EQ(Ed448ScalarNegate(l, kEd448ScalarWords), 0);  // 0 negates to L
  uint8_t l_bytes[56];
  ScalarToBytes(l_bytes, l, 56);
  std::vector<std::string> xs = {Bytes(l_bytes, 56), Bytes(l_bytes, 56), Bytes(l_bytes, 56), std::string(56, '\xff'),
                                 std::string(56, '\0')};
  xs[0][0] = static_cast<char>(l_bytes[0] - 1);
  xs[2][0] = static_cast<char>(l_bytes[0] + 1);
  while (xs.size() < 60) xs.push_back(random_bytes(56));
  std::ostringstream input;
  std::vector<std::string> wides, as, bs, accs;
  for (size_t i = 0; i < xs.size(); ++i) {
    wides.push_back(i == 3 ? std::string(114, '\xff') : random_bytes(i % 2 ? 114 : 1 + rng() % 200));
    as.push_back(i == 4 ? std::string(56, '\xff') : random_bytes(56));
    bs.push_back(i < 4 ? xs[i] : random_bytes(56));
    accs.push_back(random_bytes(56));
    uint32_t acc[kEd448ScalarWords];
    (void)Ed448ScalarFromBytes(acc, u8(accs.back()));
    ASSERT_EQ(Ed448ScalarReduce(acc, kEd448ScalarWords, 0), 0);
    uint8_t acc_bytes[56];
    ScalarToBytes(acc_bytes, acc, 56);
    accs.back() = Bytes(acc_bytes, 56);
    input << "S x" << ToHex(xs[i]) << " x" << ToHex(wides[i]) << " x" << ToHex(as[i]) << " x" << ToHex(bs[i]) << " x"
          << ToHex(accs[i]) << "\n";
  }
  std::vector<std::pair<std::string, int>> recoded;
  for (int i = 0; i < 20; ++i) {
    const std::string s = i == 0 ? std::string(56, '\0') : random_bytes(56);
    const int width = 4 + i % 2;
    uint32_t words[kEd448ScalarWords];
    (void)Ed448ScalarFromBytes(words, u8(s));
    int32_t pairs[2 * (448 / 5 + 3)];
    const int count = ScalarRecodeSigned(pairs, words, 448, width);
    ASSERT_NE(count, kCurveInternalError);
    if (i == 0) {
      EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(pairs[2 * count], -1);
    input << "R x" << ToHex(s) << " " << width;
    for (int k = 0; k < count; ++k) input << " " << pairs[2 * k + 1] << ":" << pairs[2 * k];
    input << "\n";
  }
  input << "H 448\nH 450\n";
  std::string output;
  ASSERT_TRUE(RunPython(kOracle, "", input.str(), &output));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), xs.size() + 20 + 2);
  for (size_t i = 0; i < xs.size(); ++i) {
    const auto& e = lines[i];
    uint32_t x[kEd448ScalarWords], w[kEd448ScalarWords], a[kEd448ScalarWords], b[kEd448ScalarWords];
    uint32_t acc[kEd448ScalarWords];
    EXPECT_EQ(Ed448ScalarFromBytes(x, u8(xs[i])) & 1, std::stoul(e[0])) << "case " << i;
    ASSERT_EQ(Ed448ScalarFromBytesWide(w, u8(wides[i]), wides[i].size()), 0);
    EXPECT_EQ(EncodeScalar(w), e[1]) << "case " << i;
    (void)Ed448ScalarFromBytes(a, u8(as[i]));
    (void)Ed448ScalarFromBytes(b, u8(bs[i]));
    (void)Ed448ScalarFromBytes(acc, u8(accs[i]));
    ASSERT_EQ(Ed448ScalarMulAdd(acc, kEd448ScalarWords, a, kEd448ScalarWords, b, kEd448ScalarWords, true), 0);
    EXPECT_EQ(EncodeScalar(acc), e[2]) << "case " << i;
    ASSERT_EQ(Ed448ScalarMulAdd(acc, kEd448ScalarWords, a, kEd448ScalarWords, b, kEd448ScalarWords, false), 0);
    EXPECT_EQ(EncodeScalar(acc), e[3]) << "case " << i;
    ASSERT_EQ(Ed448ScalarNegate(x, kEd448ScalarWords), 0);
    EXPECT_EQ(EncodeScalar(x), e[4]) << "case " << i;
  }
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(lines[xs.size() + i][0], "1") << "recoding " << i;
  // The halving constants derived at run time match their definition.
  EXPECT_EQ(EncodeScalar(Ed448HalvingPair448().even), lines[xs.size() + 20][0]);
  EXPECT_EQ(EncodeScalar(Ed448HalvingPair448().odd), lines[xs.size() + 20][1]);
  EXPECT_EQ(EncodeScalar(Ed448HalvingPair450().even), lines[xs.size() + 21][0]);
  EXPECT_EQ(EncodeScalar(Ed448HalvingPair450().odd), lines[xs.size() + 21][1]);
}

}  // namespace
}  // namespace velmora::crypto
