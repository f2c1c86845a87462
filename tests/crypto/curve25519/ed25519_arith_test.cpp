// The field, the scalars modulo L and the group against a Python model of the curve: random values and
// the edge values, the generated base tables and constants against their definitions.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/curve25519/curve25519_field.h"
#include "crypto/curve25519/ed25519_group.h"
#include "crypto/curve25519/ed25519_scalar.h"
#include "tests/crypto/curve25519/ed25519_test_util.h"

namespace velmora::crypto {
namespace {

using testing_support::Lines;
using testing_support::PythonAvailable;
using testing_support::RunPython;

std::string FeHex(const Fe25519& f) {
  uint8_t s[32];
  EXPECT_EQ(Fe25519ToBytes(s, sizeof s, f), 0);
  return Hex(s, 32);
}

Fe25519 FeOf(const std::string& bytes) {
  Fe25519 f;
  EXPECT_EQ(Fe25519FromBytes(f, U8(bytes), Len(bytes)), 0);
  return f;
}

// The encodings near p: p + delta for delta in -19..18 (bit 255 clear), built from p's byte pattern.
std::string NearP(int delta) {
  std::string s(32, '\xFF');
  s[31] = '\x7F';
  s[0] = static_cast<char>(0xED + delta);
  return s;
}

std::string FieldLine(const std::string& a_bytes, const std::string& b_bytes) {
  const Fe25519 a = FeOf(a_bytes), b = FeOf(b_bytes);
  Fe25519 mul, sq, sq2, m121666, sum, diff, neg, prod, inv, pow;
  Fe25519Mul(mul, a, b);
  Fe25519Sq(sq, a);
  Fe25519Sq2(sq2, a);
  Fe25519Mul121666(m121666, a);
  Fe25519Add(sum, a, b);
  Fe25519Sub(diff, a, b);
  Fe25519Neg(neg, a);
  Fe25519Mul(prod, sum, diff);  // unreduced limbs into the multiplication
  Fe25519Invert(inv, a);
  Fe25519Pow22523(pow, a);
  return FeHex(a) + " " + FeHex(mul) + " " + FeHex(sq) + " " + FeHex(sq2) + " " + FeHex(m121666) + " " +
         FeHex(sum) + " " + FeHex(diff) + " " + FeHex(neg) + " " + FeHex(prod) + " " + FeHex(inv) + " " +
         FeHex(pow) + " " + std::to_string(Fe25519IsNegative(a)) + std::to_string(Fe25519IsNonZero(a));
}

std::string PointHex(const Ed25519PointP3& p) {
  uint8_t s[32];
  EXPECT_EQ(Ed25519P3ToBytes(s, sizeof s, p), 0);
  return Hex(s, 32);
}

std::string PrecompLine(const Ed25519Precomp& e) {
  return FeHex(e.yplusx) + " " + FeHex(e.yminusx) + " " + FeHex(e.xy2d);
}

const char* kEdges = R"PY(
# 64-byte inputs of the reduction, then 32-byte operands of the multiply-add.
big = [L, L + 1, L - 1, 2**512 - 1, (2**512 - 1) // L * L, (2**512 - 1) // L * L - 1, 2**252, 2**253 - 1,
       L * 2**259, 2**511]
small = [0, 1, L - 1, 2**254 + 8, 2**255 - 1, 2**253 - 1, L]
print(' '.join(enc(v, 64) for v in big))
print(' '.join(enc(v) for v in small))
)PY";

const char* kChecks = R"PY(
def neg(P): return ((-P[0]) % p, P[1], P[2], (-P[3]) % p)
for line in sys.stdin:
    f = line.split()
    if f[0] == 'F':
        a, b = num(f[1]) & ((1 << 255) - 1), num(f[2]) & ((1 << 255) - 1)
        out = [a, a * b, a * a, 2 * a * a, 121666 * a, a + b, a - b, -a, (a + b) * (a - b), pow(a, p - 2, p),
               pow(a, 2**252 - 3, p)]
        print(' '.join(fe(v) for v in out) + ' %d%d' % ((a % p) & 1, 1 if a % p else 0))
    elif f[0] == 'R':
        print(enc(num(f[1]) % L))
    elif f[0] == 'M':
        print(enc((num(f[1]) * num(f[2]) + num(f[3])) % L))
    elif f[0] == 'T':
        row = B
        for i in range(32):
            m = row
            for j in range(8):
                x, y = affine(m)
                print(fe(y + x), fe(y - x), fe(2 * d * x * y))
                m = add(m, row)
            row = mul(256, row)
        m = B
        for k in range(8):
            x, y = affine(m)
            print(fe(y + x), fe(y - x), fe(2 * d * x * y))
            m = add(m, add(B, B))
        print(fe(d), fe(2 * d), fe(SQRTM1))
    elif f[0] == 'S':
        print(encpt(mul(num(f[1]), B)))
    elif f[0] == 'D':
        A = decode(f[2])
        print(encpt(add(mul(num(f[1]), neg(A)), mul(num(f[3]), B))))
    elif f[0] == 'N':
        P = decode(f[1])
        print('none' if P is None else encpt(neg(P)))
)PY";

TEST(Ed25519Arithmetic, AgreesWithPythonModel) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 is not available: comparison skipped";
  std::string edges_text;
  ASSERT_TRUE(RunPython(std::string(kCurveModel) + kEdges, "", "", &edges_text));
  const auto edges = Lines(edges_text);
  ASSERT_EQ(edges.size(), 2u);

  std::mt19937_64 rng(25519);
  const int cases = Count(150);
  std::string input, expected_ours;
  auto ask = [&](const std::string& question, const std::string& ours) {
    input += question + "\n";
    expected_ours += ours + "\n";
  };

  // Field: the values around p and 2^255, then random encodings (bit 255 set at random, ignored).
  std::vector<std::string> values = {std::string(32, '\0'), std::string(32, '\xFF')};
  for (int delta : {-19, -6, -5, -1, 0, 1, 18}) values.push_back(NearP(delta));
  values.push_back(std::string("\x01", 1) + std::string(31, '\0'));
  for (int i = 0; i < cases; ++i) values.push_back(RandomString(rng, 32));
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& a = values[i];
    const std::string& b = values[(i * 7 + 3) % values.size()];
    ask("F " + ToHex(a) + " " + ToHex(b), FieldLine(a, b));
  }

  // Scalars: reduction of 64 bytes and the multiply-add, with the edge operands in every position.
  std::vector<std::string> wide, narrow;
  for (const auto& hex : edges[0]) wide.push_back(FromHex(hex));
  for (const auto& hex : edges[1]) narrow.push_back(FromHex(hex));
  for (int i = 0; i < cases; ++i) wide.push_back(RandomString(rng, 64));
  for (const std::string& x : wide) {
    std::string s = x;
    ASSERT_EQ(Ed25519ScalarReduce(reinterpret_cast<uint8_t*>(s.data()), 64), 0);
    EXPECT_EQ(s.substr(32), x.substr(32)) << "upper half changed";
    ask("R " + ToHex(x), Hex(U8(s), 32));
  }
  auto reduced = [&] {
    std::string s = RandomString(rng, 64);
    Ed25519ScalarReduce(reinterpret_cast<uint8_t*>(s.data()), 64);
    return s.substr(0, 32);
  };
  auto mul_add = [&](const std::string& a, const std::string& b, const std::string& c) {
    uint8_t s[32];
    EXPECT_EQ(Ed25519ScalarMulAdd(s, 32, U8(a), 32, U8(b), 32, U8(c), 32), 0);
    ask("M " + ToHex(a) + " " + ToHex(b) + " " + ToHex(c), Hex(s, 32));
  };
  for (size_t i = 0; i < narrow.size(); ++i) {
    for (size_t j = 0; j < narrow.size(); ++j) {
      if (narrow[i] != narrow.back()) mul_add(narrow[i], narrow[j], narrow[(i + j) % (narrow.size() - 1)]);
    }
  }
  for (int i = 0; i < cases; ++i) {
    std::string b = RandomString(rng, 32);
    b[31] = static_cast<char>(b[31] & 0x7F);
    mul_add(reduced(), b, reduced());
  }

  // The generated tables and constants.
  {
    std::string ours;
    for (const auto& row : Ed25519BaseTable()) {
      for (const auto& entry : row) ours += PrecompLine(entry) + "\n";
    }
    for (int k = 0; k < 8; ++k) ours += PrecompLine(Ed25519BaseOddMultiples()[k]) + "\n";
    ours += FeHex(Ed25519D()) + " " + FeHex(Ed25519D2()) + " " + FeHex(Fe25519SqrtM1());
    ask("T", ours);
  }

  // Group: fixed-base multiples, double multiplications and decoding.
  std::vector<std::string> scalars = {std::string(32, '\0'), std::string("\x01", 1) + std::string(31, '\0'),
                                      narrow[2], narrow[5], narrow[6]};
  for (int i = 0; i < cases / 3; ++i) {
    std::string s = RandomString(rng, 32);
    s[31] = static_cast<char>(s[31] & 0x7F);
    scalars.push_back(s);
  }
  std::vector<std::string> encodings;
  for (const std::string& s : scalars) {
    Ed25519PointP3 h;
    ASSERT_EQ(Ed25519ScalarMultBase(h, U8(s), 32), 0);
    ask("S " + ToHex(s), PointHex(h));
    encodings.push_back(FromHex(PointHex(h)));
  }
  for (size_t i = 0; i + 1 < scalars.size(); ++i) {
    Ed25519PointP3 negated;
    ASSERT_EQ(Ed25519PointFromBytesNegate(negated, U8(encodings[i + 1]), 32), 1);
    std::string b = scalars[i];
    b[31] = static_cast<char>(b[31] & 0x1F);
    Ed25519PointP2 r;
    Ed25519DoubleScalarMultVartime(r, U8(scalars[i + 1]), 32, negated, U8(b), 32);
    uint8_t out[32];
    ASSERT_EQ(Ed25519P2ToBytes(out, 32, r), 0);
    ask("D " + ToHex(scalars[i + 1]) + " " + ToHex(encodings[i + 1]) + " " + ToHex(b), Hex(out, 32));
  }
  std::vector<std::string> candidates = {NearP(1), NearP(2), NearP(-18)};
  std::string neutral_signed = std::string("\x01", 1) + std::string(31, '\0');
  neutral_signed[31] = '\x80';
  candidates.push_back(neutral_signed);
  candidates.insert(candidates.end(), encodings.begin(), encodings.end());  // B and other valid points
  for (int i = 0; i < cases; ++i) candidates.push_back(RandomString(rng, 32));
  for (const std::string& s : candidates) {
    Ed25519PointP3 h;
    const int ok = Ed25519PointFromBytesNegate(h, U8(s), 32);
    ask("N " + ToHex(s), ok == 1 ? PointHex(h) : "none");
  }

  std::string theirs;
  ASSERT_TRUE(RunPython(std::string(kCurveModel) + kChecks, "", input, &theirs));
  const auto want = Lines(theirs);
  const auto got = Lines(expected_ours);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << "answer line " << i;
}

// Short arrays are refused without writing; limbs outside the carried ranges still encode canonically.
TEST(Ed25519Arithmetic, ShortArraysAndLimbForms) {
  uint8_t bytes[64] = {0xAB};
  Fe25519 f, g;
  Fe25519One(f);
  g = f;
  EXPECT_EQ(Fe25519FromBytes(f, bytes, 31), 0x90001);
  EXPECT_EQ(Fe25519ToBytes(bytes, 31, f), 0x90001);
  EXPECT_EQ(std::memcmp(&f, &g, sizeof f) == 0 && bytes[0] == 0xAB, true);
  Fe25519Zero(f);
  f.h[0] = -5;  // p - 5
  EXPECT_EQ(FeHex(f), ToHex(NearP(-5)));
  Fe25519Zero(f);
  f.h[9] = 1;
  f.h[8] = -(1 << 26);  // 0
  EXPECT_EQ(FeHex(f) + std::to_string(Fe25519IsNonZero(f)), std::string(64, '0') + "0");
  for (int i = 0; i < 10; ++i) g.h[i] = (1 << 28) - i;  // unreduced limbs swap exactly
  const Fe25519 f0 = f, g0 = g;
  Fe25519CSwap(f, g, 0);
  EXPECT_EQ(std::memcmp(&f, &f0, sizeof f), 0);
  Fe25519CSwap(f, g, 1);
  EXPECT_EQ(std::memcmp(&f, &g0, sizeof f) == 0 && std::memcmp(&g, &f0, sizeof g) == 0, true);

  EXPECT_EQ(Ed25519ScalarReduce(bytes, 63), 0x90001);
  EXPECT_EQ(Ed25519ScalarMulAdd(bytes, 31, bytes, 32, bytes, 32, bytes, 32), 0x90001);
  EXPECT_EQ(Ed25519ScalarMulAdd(bytes, 32, bytes, 32, bytes, 31, bytes, 32), 0x90001);
  Ed25519PointP3 h;
  EXPECT_EQ(Ed25519ScalarMultBase(h, bytes, 31), 0x90001);
  EXPECT_EQ(Ed25519PointFromBytesNegate(h, bytes, 31), 0);
  Ed25519P3Zero(h);
  EXPECT_EQ(Ed25519P3ToBytes(bytes, 33, h), 0);
  EXPECT_EQ(Hex(bytes, 32), "01" + std::string(62, '0'));
  Ed25519PointP2 h2;
  Ed25519P3ToP2(h2, h);
  EXPECT_EQ(Ed25519P2ToBytes(bytes, 33, h2), 0x90001);
}

}  // namespace
}  // namespace velmora::crypto
