// The named curves against their references (OpenSSL, libgcrypt, the RFC 7748 curves mapped to
// Weierstrass form), the key-type maps, and how explicit parameters are matched to the table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/keys/curve_params.h"
#include "crypto/bn/fixed_big_int.h"
#include "tests/core/python_oracle.h"

namespace velmora::crypto {
namespace {

using testing_support::RunPython;
using testing_support::ToHex;

std::string Hex(const core::BufferCore& b) { return ToHex(std::string(b.Data(), static_cast<size_t>(b.Length()))); }

constexpr char kCompare[] = R"PY(
import sys
sys.path.insert(0, sys.argv[1])
import curve_oracle as oracle
ours = {}
for line in sys.stdin:
    f = line.split()
    ours[int(f[0])] = f[1:]
bad = 0
for cid, name, source, form, field_id, cofactor in oracle.CURVES:
    curve = oracle.load(source)
    oracle.check(curve, form)
    want = [format(form, "x"), format(field_id, "x"), str(curve["h"])] + \
           [s.hex() or "-" for s in oracle.strings(curve, form)]
    if ours.pop(cid, None) != want:
        print("mismatch", cid, name); bad += 1
print("left", sorted(ours)); print("bad", bad)
)PY";

TEST(CurveParams, NamedCurvesEqualTheirReferences) {
  if (std::system("/usr/bin/python3 -c 'import ctypes; ctypes.CDLL(\"libgcrypt.so.20\")' >/dev/null 2>&1") != 0 ||
      std::system("openssl version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs /usr/bin/python3, libgcrypt20 and openssl";
  }
  std::string input;
  int loaded = 0;
  for (uint32_t id = 0; id <= 90; ++id) {
    CurveParams curve;
    const int status = curve.InitById(id);
    if (status == kUnknownCurve || id == kCurveIdCustom) continue;
    ASSERT_EQ(status, 0) << id;
    ++loaded;
    input += std::to_string(id);
    for (uint32_t v : {curve.CurveForm, curve.FieldId}) {
      char text[16];
      snprintf(text, sizeof text, " %x", v);
      input += text;
    }
    input += " " + std::to_string(curve.Cofactor);
    for (const core::BufferCore* b : {&curve.Field, &curve.A, &curve.B, &curve.Gx, &curve.Gy, &curve.Order, &curve.Seed}) {
      input += " " + (b->Length() == 0 ? std::string("-") : Hex(*b));
    }
    input += "\n";
    if (curve.CurveForm == kCurveFormBinary) {
      EXPECT_EQ(curve.PolyExponents[0], static_cast<uint32_t>(ByteStringBitLength(curve.Field))) << id;
    }
  }
  EXPECT_EQ(loaded, 55);
  std::string output;
  ASSERT_TRUE(RunPython(kCompare, VELMORABLE_SOURCE_DIR "/tests/data/crypto/pubkey", input, &output,
                        "/usr/bin/python3"));
  EXPECT_EQ(output, "left []\nbad 0\n");
}

TEST(CurveParams, TableKeyTypesAndExplicitParameters) {
  // The table and the key-type maps, one row per key type.
  for (int32_t type = 0; type < 25; ++type) {
    SCOPED_TRACE(type);
    const int32_t curve_id = EcKeyTypeToCurveId(type);
    EXPECT_EQ(EcCurveNameToKeyType(EcKeyTypeToName(type)), type);
    EXPECT_EQ(EcKeyTypeFromOid(EcKeyTypeToOid(type)), type);
    const CurveParams* curve = FindCurveParams(static_cast<uint32_t>(curve_id));
    ASSERT_NE(curve, nullptr);
    EXPECT_TRUE(IsCompleteCurve(*curve));
    if (type != 3 && type != 4 && type != 5 && type != 6) {
      EXPECT_EQ(CurveIdToEcKeyType(static_cast<uint32_t>(curve_id)), type);
      EXPECT_EQ(EcKeyTypeBitLength(type), ByteStringBitLength(curve->Field));
      EXPECT_EQ(EcKeyTypeByteLength(type), CurveFieldByteLength(*curve));
    }
  }
  EXPECT_EQ(CurveTableEntry(22)->CurveId, 77u);
  EXPECT_EQ(CurveTableEntry(23), nullptr);
  EXPECT_EQ(EcKeyTypeToCurveId(5), 3);
  EXPECT_EQ(EcKeyTypeToCurveId(6), 4);
  EXPECT_EQ(CurveIdToEcKeyType(3), -1);
  EXPECT_EQ(EcKeyTypeToCurveId(25), -1);
  EXPECT_EQ(EcCurveNameToKeyType("NistP384"), 1);
  EXPECT_EQ(EcCurveNameToKeyType("prime256v1"), -1);
  EXPECT_EQ(EcKeyTypeBitLength(2), 521);
  EXPECT_EQ(EcKeyTypeByteLength(2), 66);
  EXPECT_EQ(EcKeyTypeByteLength(4), 57);
  EXPECT_EQ(EcKeyTypeByteLength(6), 56);
  EXPECT_STREQ(EcKeyTypeToOid(18), "1.3.36.3.3.2.8.1.1.2");
  EXPECT_STREQ(KeyAlgorithmFromOid("1.2.840.113549.1.1.10"), "RSA");
  EXPECT_STREQ(KeyAlgorithmFromOid("1.3.101.110"), "EdDSA");
  EXPECT_STREQ(KeyAlgorithmFromOid("1.2.840.10045.2.1"), "IdEcPublicKey");
  EXPECT_STREQ(KeyAlgorithmFromOid("1.2.3"), "Unknown");
  CurveParams unknown;
  EXPECT_EQ(unknown.InitById(40), kUnknownCurve);

  // Explicit parameters: a table curve is recognised and copied whole, any other curve is custom and
  // incomplete, and an id already set stays even when the parameters change.
  const CurveParams brainpool(70);
  CurveParams explicit_curve;
  ASSERT_EQ(explicit_curve.SetExplicit(brainpool.Field, brainpool.A, brainpool.B, brainpool.Gx, brainpool.Gy,
                                       core::Buffer(), brainpool.Order, 1), 0);
  EXPECT_EQ(explicit_curve.CurveId, 70u);
  EXPECT_EQ(explicit_curve.FieldId, kFieldGeneric);
  EXPECT_EQ(explicit_curve.CurveForm, kCurveFormPrime);
  EXPECT_TRUE(IsCompleteCurve(explicit_curve));
  const CurveParams p224(13);
  CurveParams other;
  ASSERT_EQ(other.SetExplicit(p224.Field, p224.A, p224.B, p224.Gx, p224.Gy, p224.Seed, p224.Order, 1), 0);
  EXPECT_EQ(other.CurveId, kCurveIdCustom);
  EXPECT_FALSE(IsCompleteCurve(other));
  ASSERT_EQ(explicit_curve.SetExplicit(p224.Field, p224.A, p224.B, p224.Gx, p224.Gy, p224.Seed, p224.Order, 1), 0);
  EXPECT_EQ(explicit_curve.CurveId, 70u);  // the old label stays
  EXPECT_TRUE(explicit_curve.Equals(p224));

  const char bytes[] = {0, 0, 1};
  core::Buffer value;
  ASSERT_EQ(value.SetData(3, bytes), 0);
  EXPECT_EQ(ByteStringBitLength(value), 1);
  ASSERT_EQ(value.SetData(1, bytes), 0);
  EXPECT_EQ(ByteStringBitLength(value), 0);
}

TEST(CurveParams, BinaryPolynomialRebuiltFromItsExponents) {
  // Each binary curve's polynomial, taken apart into its middle terms and the degree, rebuilds to the
  // same bytes; setting the degree last is what triggers the rebuild.
  for (uint32_t id = 15; id <= 32; ++id) {
    SCOPED_TRACE(id);
    const CurveParams named(id);
    ASSERT_EQ(named.CurveForm, kCurveFormBinary);
    const core::Buffer& f = named.Field;
    std::vector<uint32_t> middle;
    const int32_t degree = ByteStringBitLength(f) - 1;
    for (int32_t bit = 1; bit < degree; ++bit) {
      if ((f.Bytes()[f.Length() - 1 - bit / 8] >> (bit % 8)) & 1) middle.push_back(static_cast<uint32_t>(bit));
    }
    ASSERT_TRUE(middle.size() == 1 || middle.size() == 3);
    CurveParams rebuilt;
    rebuilt.CurveForm = kCurveFormBinary;
    for (size_t i = 0; i < middle.size(); ++i) {
      ASSERT_EQ(rebuilt.SetPolyExponent(static_cast<int32_t>(i) + 1, middle[i]), 0);
    }
    EXPECT_TRUE(rebuilt.Field.IsEmpty());
    ASSERT_EQ(rebuilt.SetPolyExponent(0, static_cast<uint32_t>(degree)), 0);
    EXPECT_TRUE(rebuilt.Field.EqualsIgnoringLeadingZeros(f));
    EXPECT_EQ(rebuilt.Field.Length(), (degree + 8) / 8);
  }
  // A prime curve only stores the exponent; a degree of 0 empties the field; absurd degrees are refused.
  CurveParams prime(0);
  core::Buffer p;
  ASSERT_EQ(p.Assign(prime.Field), 0);
  ASSERT_EQ(prime.SetPolyExponent(0, 163), 0);
  EXPECT_TRUE(prime.Field.EqualsIgnoringLeadingZeros(p));
  CurveParams binary(19);
  ASSERT_EQ(binary.SetPolyExponent(0, 0), 0);
  EXPECT_TRUE(binary.Field.IsEmpty());
  EXPECT_EQ(binary.SetPolyExponent(0, 0x7FFFFFFF), kFixedTooLong);
  EXPECT_EQ(binary.SetPolyExponent(4, 1), kUnknownCurve);
}

}  // namespace
}  // namespace velmora::crypto
