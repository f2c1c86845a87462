// Binary fields and binary curves against outside references: every field operation on random operands
// is checked by a Python model of GF(2^m) (polynomials as integers), and d G on every binary curve of
// the table is compared with the public key OpenSSL derives from an ECPrivateKey holding only d.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/ec_binary.h"
#include "crypto/ec/gf2m.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::PythonAvailable;
using testing_support::RunPython;
using testing_support::ToHex;

// Hex: the value's words (at least one) as big-endian hex; "inf" for the point at infinity's x.
std::string Hex(const FixedBigInt& v) {
  if (v.Count == 0) return "inf";
  std::string bytes;
  for (int32_t i = v.Count - 1; i >= 0; --i) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(v.Words[i] >> shift);
  }
  std::string hex = ToHex(bytes);
  const size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? "0" : hex.substr(first);
}

FixedBigInt FromBuffer(const core::BufferCore& bytes, const FixedBigInt* model = nullptr) {
  FixedBigInt v;
  EXPECT_EQ(WordsFromBufferPadded(bytes, model, v), 0);
  return v;
}

FixedBigInt RandomElement(std::mt19937_64& rng, const FixedBigInt& f, int32_t words_over = 0) {
  const int32_t m = FixedBigInt::BitLength(f) - 1;
  FixedBigInt v;
  FixedBigInt::SetWord(v, 0);
  v.Count = f.Count + words_over;
  for (int32_t i = 0; i < v.Count; ++i) v.Words[i] = static_cast<uint32_t>(rng());
  if (words_over == 0) {
    for (int32_t bit = m; bit < 32 * v.Count; ++bit) EXPECT_EQ(FixedBigInt::SetBit(v, bit, false), 0);
  }
  return v;
}

// The model checks each line and prints the lines it disagrees with, then "checked N".
constexpr char kFieldModel[] = R"PY(
import sys
def mul(a, b):
    r = 0
    while b:
        if b & 1: r ^= a
        a <<= 1; b >>= 1
    return r
def red(a, f):
    m = f.bit_length() - 1
    while a.bit_length() > m:
        a ^= f << (a.bit_length() - 1 - m)
    return a
def sqr(a, f):
    return red(int("0".join(bin(a)[2:]), 2), f)
def mm(a, b, f): return red(mul(a, b), f)
def trace(a, f):
    t, s = 0, red(a, f)
    for _ in range(f.bit_length() - 1):
        t ^= s; s = sqr(s, f)
    return t
checked = 0
for line in sys.stdin:
    w = line.split(); op = w[1]; f = int(w[0], 16); m = f.bit_length() - 1
    v = [int(x, 16) for x in w[2:]]
    if op == "mul": ok = v[2] == mm(v[0], v[1], f) and v[3] == v[2]
    elif op == "sqr": ok = v[1] == mm(v[0], v[0], f)
    elif op == "red": ok = v[1] == red(v[0], f)
    elif op == "dbx": ok = mul(v[1], 2) == (v[0] ^ f if v[0] & 1 else v[0])
    elif op == "inv": ok = mm(v[0], v[1], f) == 1
    elif op == "div": ok = mm(v[2], v[1], f) == red(v[0], f)
    elif op == "pow":
        r, a, e = 1, v[0], v[1]
        while e:
            if e & 1: r = mm(r, a, f)
            a = mm(a, a, f); e >>= 1
        ok = v[2] == r
    elif op == "ht":
        z, s = 0, v[0]
        for _ in range((m - 1) // 2 + 1):
            z ^= s; s = sqr(sqr(s, f), f)
        ok = v[1] == z
    elif op == "quad":
        ok = (v[1] == 1) == (trace(v[0], f) == 0) and (v[1] == 0 or sqr(v[2], f) ^ v[2] == v[0])
    else: ok = False
    checked += 1
    if not ok: print("bad", line.strip())
print("checked", checked)
)PY";

struct FieldCase {
  std::string name;
  FixedBigInt f;
  uint32_t field_id;
  bool irreducible;
};

std::vector<FieldCase> FieldCases(std::mt19937_64& rng) {
  std::vector<FieldCase> cases;
  // The curves' own polynomials: the five named ones and the generic ones of the table.
  for (uint32_t id : {19u, 24u, 27u, 29u, 31u, 15u, 17u, 22u, 26u}) {
    CurveParams curve(id);
    cases.push_back({"curve " + std::to_string(id), FromBuffer(curve.Field), curve.FieldId, true});
  }
  // Even degrees (GHASH's and AES's fields, the latter with terms right under x^m), degrees at word
  // edges, and a dense polynomial with no field behind it for the reductions alone.
  const int32_t polys[][4] = {{128, 7, 2, 1}, {8, 4, 3, 1}, {64, 4, 3, 1}, {32, 7, 3, 2}, {63, 1, 0, 0}};
  for (const auto& p : polys) {
    FixedBigInt f;
    EXPECT_EQ(FixedBigInt::SetPolynomial(f, p[0], p[1], p[2], p[3]), 0);
    cases.push_back({"x^" + std::to_string(p[0]), f, kFieldGeneric, p[0] != 32 && p[0] != 63});
  }
  FixedBigInt dense;
  FixedBigInt::SetWord(dense, 0);
  dense.Count = 7;
  for (int32_t i = 0; i < 7; ++i) dense.Words[i] = static_cast<uint32_t>(rng());
  dense.Words[6] = (dense.Words[6] & 0xFF) | 0x100;  // degree 200, with a constant term
  dense.Words[0] |= 1;
  cases.push_back({"dense", dense, kFieldGeneric, false});
  return cases;
}

TEST(BinaryField, AgreesWithPolynomialModel) {
  if (!PythonAvailable()) GTEST_SKIP() << "needs python3";
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::string input;
  int lines = 0;
  auto emit = [&](const FieldCase& c, const std::string& op, std::initializer_list<std::string> values) {
    input += Hex(c.f) + " " + op;
    for (const std::string& v : values) input += " " + v;
    input += "\n";
    ++lines;
  };
  for (const FieldCase& c : FieldCases(rng)) {
    SCOPED_TRACE(c.name);
    const FixedBigInt& f = c.f;
    const int32_t m = FixedBigInt::BitLength(f) - 1;
    FixedBigInt r, g, t;
    for (int i = 0; i < 8; ++i) {
      const FixedBigInt a = RandomElement(rng, f), b = RandomElement(rng, f);
      ASSERT_EQ(Gf2Multiply(a, b, f, c.field_id, r), 0);
      ASSERT_EQ(Gf2Multiply(a, b, f, kFieldGeneric, g), 0);
      EXPECT_EQ(r.Count, f.Count);
      emit(c, "mul", {Hex(a), Hex(b), Hex(r), Hex(g)});
      ASSERT_EQ(Gf2Square(a, f, c.field_id, r), 0);
      emit(c, "sqr", {Hex(a), Hex(r)});
      // A double-length value with bits up to the top word, reduced in place.
      t = RandomElement(rng, f, f.Count);
      const std::string before = Hex(t);
      ASSERT_EQ(Gf2Reduce(t, f, c.field_id), 0);
      emit(c, "red", {before, Hex(t)});
      ASSERT_EQ(Gf2DivideByX(a, f, r), 0);
      emit(c, "dbx", {Hex(a), Hex(r)});
    }
    // The largest element squared, and x^(m-1) squared, through the dedicated reduction.
    FixedBigInt ones;
    FixedBigInt::SetWord(ones, 0);
    for (int32_t bit = 0; bit < m; ++bit) ASSERT_EQ(FixedBigInt::SetBit(ones, bit, true), 0);
    ones.Count = f.Count;
    ASSERT_EQ(Gf2Square(ones, f, c.field_id, r), 0);
    emit(c, "sqr", {Hex(ones), Hex(r)});
    ASSERT_EQ(Gf2Multiply(ones, ones, f, c.field_id, r), 0);
    ASSERT_EQ(Gf2Multiply(ones, ones, f, kFieldGeneric, g), 0);
    emit(c, "mul", {Hex(ones), Hex(ones), Hex(r), Hex(g)});
    if (!c.irreducible) continue;
    for (int i = 0; i < 4; ++i) {
      FixedBigInt a = RandomElement(rng, f), b = RandomElement(rng, f);
      if (Gf2IsZero(a, f)) a.Words[0] = 1;
      ASSERT_EQ(Gf2Inverse(a, f, r), 0);
      emit(c, "inv", {Hex(a), Hex(r)});
      ASSERT_EQ(Gf2Divide(b, a, f, r), 0);
      emit(c, "div", {Hex(b), Hex(a), Hex(r)});
      const FixedBigInt e = RandomElement(rng, f);
      ASSERT_EQ(Gf2Pow(a, e, f, c.field_id, r), 0);
      emit(c, "pow", {Hex(a), Hex(e), Hex(r)});
      if (m % 2 == 1) {
        ASSERT_EQ(Gf2HalfTrace(b, f, c.field_id, r), 0);
        emit(c, "ht", {Hex(b), Hex(r)});
      }
      bool found = false;
      FixedBigInt z;
      FixedBigInt::SetWord(z, 0);
      ASSERT_EQ(Gf2SolveQuadratic(b, f, c.field_id, found, z), 0);
      emit(c, "quad", {Hex(b), found ? "1" : "0", Hex(z)});
    }
    // beta = 0 has the roots 0 and 1; zero has no inverse.
    FixedBigInt zero, z;
    FixedBigInt::SetWord(zero, 0);
    bool found = false;
    ASSERT_EQ(Gf2SolveQuadratic(zero, f, c.field_id, found, z), 0);
    EXPECT_TRUE(found);
    EXPECT_TRUE(Hex(z) == "0" || Hex(z) == "1") << Hex(z);
    EXPECT_EQ(Gf2Inverse(zero, f, r), kFixedZeroOperand);
  }
  // A divisor sharing a factor with f has no inverse, and the search must stop: x^2 + x = x (x + 1)
  // divides x^8 + x^4 + x^3 + x^2... here f = (x + 1)(x^2 + x + 1) = x^3 + 1.
  FixedBigInt f3, d, r;
  ASSERT_EQ(FixedBigInt::SetPolynomial(f3, 3, 0, 0, 0), 0);
  FixedBigInt::SetWord(d, 3);  // x + 1
  EXPECT_EQ(Gf2Inverse(d, f3, r), kFixedZeroOperand);

  std::string output;
  ASSERT_TRUE(RunPython(kFieldModel, "", input, &output));
  EXPECT_EQ(output, "checked " + std::to_string(lines) + "\n");
}

// Derives the public point of each ECPrivateKey (named curve, no public key inside) with OpenSSL.
constexpr char kDerivePublic[] = R"PY(
import os, subprocess, sys, tempfile
with tempfile.TemporaryDirectory() as tmp:
    for line in sys.stdin:
        name, d, flen = line.split(); flen = int(flen)
        conf = os.path.join(tmp, "key.conf"); der = os.path.join(tmp, "key.der")
        with open(conf, "w") as f:
            f.write("asn1=SEQUENCE:key\n[key]\nversion=INTEGER:1\n")
            f.write("priv=FORMAT:HEX,OCTETSTRING:%s\nparams=EXPLICIT:0,OID:%s\n" % (d, name))
        subprocess.run(["openssl", "asn1parse", "-genconf", conf, "-noout", "-out", der], check=True, capture_output=True)
        spki = subprocess.run(["openssl", "ec", "-inform", "DER", "-in", der, "-pubout", "-outform", "DER",
                               "-conv_form", "uncompressed"], check=True, capture_output=True).stdout
        point = spki[-2 * flen:]
        print(point[:flen].hex(), point[flen:].hex())
)PY";

bool OpenSslAvailable() {
  static const bool available =
      std::system("openssl version >/dev/null 2>&1") == 0 && PythonAvailable();
  return available;
}

struct Curve {
  uint32_t id;
  const char* name;
  CurveParams params;
  FixedBigInt f, a, b, gx, gy, n;
};

constexpr struct {
  uint32_t id;
  const char* name;
} kBinaryCurves[] = {{15, "sect113r1"}, {16, "sect113r2"}, {17, "sect131r1"}, {18, "sect131r2"}, {19, "sect163k1"},
                     {20, "sect163r1"}, {21, "sect163r2"}, {22, "sect193r1"}, {23, "sect193r2"}, {24, "sect233k1"},
                     {25, "sect233r1"}, {26, "sect239k1"}, {27, "sect283k1"}, {28, "sect283r1"}, {29, "sect409k1"},
                     {30, "sect409r1"}, {31, "sect571k1"}, {32, "sect571r1"}};

void LoadCurve(Curve& c) {
  ASSERT_EQ(c.params.InitById(c.id), 0);
  c.f = FromBuffer(c.params.Field);
  c.a = FromBuffer(c.params.A, &c.f);
  c.b = FromBuffer(c.params.B, &c.f);
  c.gx = FromBuffer(c.params.Gx, &c.f);
  c.gy = FromBuffer(c.params.Gy, &c.f);
  c.n = FromBuffer(c.params.Order);
}

std::string PointHex(const FixedBigInt& x, const FixedBigInt& y) { return Hex(x) + " " + Hex(y); }

// PaddedHex: the value as exactly len bytes of hex.
std::string PaddedHex(const FixedBigInt& v, int32_t len) {
  core::Buffer out;
  EXPECT_EQ(FixedBigInt::ToBytes(v, len, out), 0);
  return ToHex(std::string(out.Data(), out.Length()));
}

TEST(BinaryCurve, ScalarMultiplesMatchOpenSslAndAffineArithmetic) {
  if (!OpenSslAvailable()) GTEST_SKIP() << "needs python3 and openssl";
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::string input;
  std::vector<std::string> ours;
  for (const auto& entry : kBinaryCurves) {
    SCOPED_TRACE(entry.name);
    Curve c{entry.id, entry.name, {}, {}, {}, {}, {}, {}, {}};
    LoadCurve(c);
    const uint32_t fid = c.params.FieldId;
    const int32_t nbits = FixedBigInt::BitLength(c.n);
    const int32_t flen = CurveFieldByteLength(c.params);
    const int32_t nlen = (nbits + 7) / 8;

    // A random d in [1, n).
    FixedBigInt d = RandomElement(rng, c.n, 1);
    ASSERT_EQ(FixedBigInt::Mod(d, c.n, d), 0);
    if (FixedBigInt::IsZero(d)) FixedBigInt::SetWord(d, 1);
    FixedBigInt qx, qy, ax, ay;
    ASSERT_EQ(EcPointMulBinary(c.gx, c.gy, c.f, c.a, d, fid, qx, qy), 0);
    ASSERT_EQ(EcPointMulAffineBinary(c.gx, c.gy, c.f, c.a, d, fid, ax, ay), 0);
    EXPECT_EQ(PointHex(qx, qy), PointHex(ax, ay));
    bool on_curve = false;
    ASSERT_EQ(EcPointOnCurveBinary(qx, qy, c.a, c.b, c.f, fid, on_curve), 0);
    EXPECT_TRUE(on_curve);
    input += std::string(entry.name) + " " + PaddedHex(d, nlen) + " " + std::to_string(flen) + "\n";
    ours.push_back(PaddedHex(qx, flen) + " " + PaddedHex(qy, flen));

    // Compression round trip: the bit and x give back y.
    uint32_t bit = 2;
    ASSERT_EQ(EcCompressedBitBinary(qx, qy, c.f, fid, bit), 0);
    bool found = false;
    FixedBigInt ry;
    ASSERT_EQ(EcRecoverYBinary(bit, qx, c.a, c.b, c.f, fid, found, ry), 0);
    EXPECT_TRUE(found);
    EXPECT_EQ(Hex(ry), Hex(qy));

    // (d + 1) G by the ladder equals d G + G by affine addition; 2G by doubling equals G + G.
    FixedBigInt d1, px, py, sx, sy;
    ASSERT_EQ(FixedBigInt::AddWord(d, 1, d1), 0);
    ASSERT_EQ(EcPointMulBinary(c.gx, c.gy, c.f, c.a, d1, fid, px, py), 0);
    ASSERT_EQ(EcPointAddAffineBinary(qx, qy, c.gx, c.gy, c.f, c.a, fid, sx, sy), 0);
    EXPECT_EQ(PointHex(px, py), PointHex(sx, sy));
    ASSERT_EQ(EcPointDoubleAffineBinary(c.gx, c.gy, c.f, c.a, fid, px, py), 0);
    ASSERT_EQ(EcPointAddAffineBinary(c.gx, c.gy, c.gx, c.gy, c.f, c.a, fid, sx, sy), 0);
    EXPECT_EQ(PointHex(px, py), PointHex(sx, sy));

    // Scalars at the edges: 1, n - 1 (-G), n (infinity), n + d (as d), and one with 64 leading zero
    // bits. Every scalar below 2^(m+1) costs the same number of ladder steps.
    FixedBigInt one, n_minus_1, n_plus_d, small, neg_gy;
    FixedBigInt::SetWord(one, 1);
    ASSERT_EQ(FixedBigInt::Subtract(c.n, one, n_minus_1), 0);
    ASSERT_EQ(FixedBigInt::Add(c.n, d, n_plus_d), 0);
    FixedBigInt::Copy(small, d);
    for (int32_t i = nbits - 64; i < 32 * small.Count; ++i) ASSERT_EQ(FixedBigInt::SetBit(small, i, false), 0);
    ASSERT_EQ(Gf2Add(c.gx, c.gy, c.f, neg_gy), 0);
    // G + (-G) is infinity, and infinity + G is G.
    ASSERT_EQ(EcPointAddAffineBinary(c.gx, c.gy, c.gx, neg_gy, c.f, c.a, fid, sx, sy), 0);
    EXPECT_EQ(PointHex(sx, sy), "inf 0");
    ASSERT_EQ(EcPointAddAffineBinary(sx, sy, c.gx, c.gy, c.f, c.a, fid, sx, sy), 0);
    EXPECT_EQ(PointHex(sx, sy), PointHex(c.gx, c.gy));
    std::vector<test::EcBinaryOpCounts> counts;
    const struct {
      const FixedBigInt* k;
      std::string want;
    } edges[] = {{&one, PointHex(c.gx, c.gy)},
                 {&n_minus_1, PointHex(c.gx, neg_gy)},
                 {&c.n, "inf 0"},
                 {&n_plus_d, PointHex(qx, qy)},
                 {&small, ""}};
    for (const auto& edge : edges) {
      test::ResetEcBinaryOpCounts();
      ASSERT_EQ(EcPointMulBinary(c.gx, c.gy, c.f, c.a, *edge.k, fid, px, py), 0);
      counts.push_back(test::GetEcBinaryOpCounts());
      if (edge.want.empty()) {
        ASSERT_EQ(EcPointMulAffineBinary(c.gx, c.gy, c.f, c.a, *edge.k, fid, sx, sy), 0);
        EXPECT_EQ(PointHex(px, py), PointHex(sx, sy));
      } else {
        EXPECT_EQ(PointHex(px, py), edge.want) << Hex(*edge.k);
      }
    }
    // A scalar past the field size takes longer and still lands on the same point: 2^16 n + d.
    FixedBigInt big;
    FixedBigInt::Copy(big, c.n);
    ASSERT_EQ(FixedBigInt::ShiftLeft(big, 16), 0);
    ASSERT_EQ(FixedBigInt::Add(big, d, big), 0);
    ASSERT_EQ(EcPointMulBinary(c.gx, c.gy, c.f, c.a, big, fid, px, py), 0);
    EXPECT_EQ(PointHex(px, py), PointHex(qx, qy));
    for (const auto& count : counts) {
      EXPECT_EQ(count.additions, counts[0].additions);
      EXPECT_EQ(count.doublings, counts[0].doublings);
      EXPECT_EQ(count.additions, static_cast<uint64_t>(FixedBigInt::BitLength(c.f)));
    }
  }
  std::string output;
  ASSERT_TRUE(RunPython(kDerivePublic, "", input, &output));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 2u);
    EXPECT_EQ(lines[i][0] + " " + lines[i][1], ours[i]) << kBinaryCurves[i].name;
  }
}

// Under valgrind's memcheck, with the scalar marked undefined, no branch and no memory index of the
// ladder depends on it, on a named and on a generic field.
TEST(BinaryCurve, LadderTimingIndependentOfTheScalar) {
#ifndef VELMORA_EC_BINARY_TIMING_PROBE
  GTEST_SKIP() << "valgrind/memcheck.h is missing: the timing probe was not built";
#else
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is missing";
  std::mt19937_64 rng(std::random_device{}());
  for (uint32_t id : {27u, 26u}) {
    Curve c{id, "", {}, {}, {}, {}, {}, {}, {}};
    LoadCurve(c);
    FixedBigInt d = RandomElement(rng, c.n, 1);
    ASSERT_EQ(FixedBigInt::Mod(d, c.n, d), 0);
    const std::string command = std::string("valgrind -q --error-exitcode=99 ") + VELMORA_EC_BINARY_TIMING_PROBE +
                                " " + Hex(c.f) + " " + Hex(c.a) + " " + Hex(c.gx) + " " + Hex(c.gy) + " " +
                                std::to_string(c.params.FieldId) + " " + Hex(d);
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
#endif
}

}  // namespace
}  // namespace velmora::crypto
