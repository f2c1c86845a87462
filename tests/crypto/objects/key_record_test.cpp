// KeyRecord: copies (also under failing allocations), equality by kind, attribute lists, the exports
// and the key-entry copy.
#include <gtest/gtest.h>

#include <string>

#include "crypto/objects/key_record.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::ToHex;

std::string Hex(const core::BufferCore& b) { return ToHex(std::string(b.Data(), static_cast<size_t>(b.Length()))); }

void SetHex(core::BufferCore& b, const std::string& hex) {
  const std::string bytes = FromHex(hex);
  ASSERT_EQ(b.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

// A small RSA key (p = 61, q = 53: n = 3233, e = 17, d = 413) and a DSA set (p = 23, q = 11, g = 4).
void FillKeys(KeyRecord& rsa, KeyRecord& dsa) {
  rsa.Type = kKeyRsa;
  SetHex(rsa.RsaParams.Modulus, "0ca1");
  SetHex(rsa.RsaParams.Exponent, "11");
  SetHex(rsa.RsaParams.D, "019d");
  SetHex(rsa.RsaParams.P, "3d");
  SetHex(rsa.RsaParams.Q, "35");
  ASSERT_EQ(rsa.AddAttribute("Comment", "first"), 0);
  ASSERT_EQ(rsa.AddAttribute("Subject", "second"), 0);
  dsa.Type = kKeyDsa;
  SetHex(dsa.DsaParams.P, "17");
  SetHex(dsa.DsaParams.Q, "0b");
  SetHex(dsa.DsaParams.G, "04");
  SetHex(dsa.DsaParams.X, "03");
}

TEST(KeyRecord, CopyEqualsAttributesAndExports) {
  KeyRecord rsa, dsa;
  FillKeys(rsa, dsa);
  // RSA export completes the CRT values: dp = 413 mod 60 = 53, dq = 413 mod 52 = 49, qinv = 38.
  RsaKeyParams public_rsa;
  ASSERT_EQ(rsa.GetRsaParams(public_rsa, true), 0);
  EXPECT_EQ(Hex(rsa.RsaParams.DP), "35");
  EXPECT_EQ(Hex(rsa.RsaParams.DQ), "31");
  EXPECT_EQ(Hex(rsa.RsaParams.InverseQ), "26");
  EXPECT_TRUE(public_rsa.HasPublicKey());
  EXPECT_FALSE(public_rsa.HasPrivateKey());
  EXPECT_EQ(rsa.GetDsaParams(dsa.DsaParams, false), -1);
  // DSA: the public value 4^3 mod 23 = 18 is derived for the public copy, X dropped.
  KeyRecord dsa_public;
  ASSERT_EQ(dsa.GetPublicKey(dsa_public), 0);
  EXPECT_EQ(Hex(dsa_public.DsaParams.Y), "12");
  EXPECT_EQ(dsa_public.DsaParams.X.Length(), 0);
  EXPECT_STREQ(KeyAlgorithmName(&dsa), "X957_DSA");
  EXPECT_STREQ(KeyAlgorithmName(nullptr), "");
  EXPECT_EQ(KeyBitLengthOf(&rsa), 64);

  // Copies compare equal; comparing pads both RSA records in place.
  KeyRecord copy;
  ASSERT_EQ(copy.CopyFrom(rsa), 0);
  EXPECT_STREQ(copy.GetAttribute("Subject"), "second");
  EXPECT_TRUE(copy.Equals(rsa));
  EXPECT_EQ(rsa.RsaParams.Modulus.Length(), 8);
  EXPECT_EQ(rsa.RsaParams.P.Length(), 4);
  EXPECT_FALSE(copy.Equals(dsa));
  SetHex(copy.RsaParams.D, "019e");
  EXPECT_FALSE(copy.Equals(rsa));

  // EC records: equal coordinates on another key type are unequal.
  KeyRecord a, b;
  a.Type = b.Type = kKeyEc;
  a.EcParams.KeyType = 0;
  b.EcParams.KeyType = 10;
  SetHex(a.EcParams.X, "01");
  SetHex(b.EcParams.X, "01");
  EXPECT_FALSE(a.Equals(b));
  b.EcParams.KeyType = 0;
  EXPECT_TRUE(a.Equals(b));
  EXPECT_EQ(a.EcParams.GetCurve(), FindCurveParams(0));
  EXPECT_EQ(a.KeyBitLength(), 256);
  EXPECT_EQ(a.EcParams.SetCurveOid("1.3.132.0.35"), 0);
  EXPECT_EQ(a.EcParams.KeyType, 2);
  EXPECT_EQ(a.EcParams.SetCurveOid("1.2.3"), -1);
  // The cached curve follows the key type: the same entry while the type stays, the new one after a
  // change, none for an unknown type.
  a.EcParams.KeyType = 14;
  CurveParams* brainpool = a.EcParams.GetCurve();
  EXPECT_EQ(brainpool, FindCurveParams(70));
  EXPECT_EQ(a.EcParams.Curve, brainpool);
  EXPECT_EQ(a.EcParams.GetCurve(), brainpool);
  a.EcParams.KeyType = 21;
  EXPECT_EQ(a.EcParams.GetCurve(), FindCurveParams(71));
  a.EcParams.KeyType = 40;
  EXPECT_EQ(a.EcParams.GetCurve(), nullptr);

  // Attributes: set replaces, flatten and unflatten round-trip, an odd list pairs with "".
  ASSERT_EQ(copy.SetAttribute("Comment", "changed"), 0);
  ASSERT_EQ(copy.SetAttribute("Extra", "x"), 0);
  EXPECT_STREQ(copy.GetAttribute("Comment"), "changed");
  EXPECT_STREQ(copy.GetAttribute("comment"), "");
  ASSERT_EQ(copy.FlattenAttributes(), 0);
  EXPECT_EQ(copy.FlatAttributes.Count(), 6);
  ASSERT_EQ(copy.FlatAttributes.AddCString("Odd"), 0);
  ASSERT_EQ(copy.UnflattenAttributes(), 0);
  EXPECT_EQ(copy.AttributeNames.Count(), 4);
  EXPECT_STREQ(copy.GetAttribute("Odd"), "");
  EXPECT_STREQ(copy.GetAttribute("Extra"), "x");
  EXPECT_EQ(copy.FlatAttributes.Count(), 0);

  // DSA fixed widths: a 129-byte P gives L = 1024.
  DsaKeyParams wide;
  SetHex(wide.P, "00" + std::string(256, 'f'));
  SetHex(wide.Q, std::string(40, 'e'));
  ASSERT_EQ(wide.PadToFixedLength(), 0);
  EXPECT_EQ(wide.P.Length(), 128);
  EXPECT_EQ(DsaPrimeByteLengthRounded(wide), 128);
  KeyRecord sized;
  sized.Type = kKeyDsa;
  ASSERT_EQ(sized.DsaParams.CopyFrom(wide), 0);
  EXPECT_EQ(sized.KeyBitLength(), 1024);

  core::Buffer out;
  const uint8_t bytes[] = {1, 2, 3};
  ASSERT_EQ(AppendBytesReversed(out, bytes, 3, 5, true), 0);
  ASSERT_EQ(AppendBytesReversed(out, bytes, 3, 2, false), 0);
  EXPECT_EQ(Hex(out), "03020100000302");
  ASSERT_EQ(HexToPaddedBytes("abc", 4, out), 0);
  EXPECT_EQ(Hex(out), "00000abc");
  auto* shared = new SharedBuffer;
  SharedBuffer* second = shared;
  ++shared->References;
  ReleaseSharedBuffer(second);
  EXPECT_EQ(second, nullptr);
  ReleaseSharedBuffer(shared);
  EXPECT_EQ(shared, nullptr);
}

// A failed allocation at each step of a copy gives 200 at once, keeps what was copied, and leaks or
// frees nothing twice (AddressSanitizer watches).
TEST(KeyRecord, CopyUnderFailingAllocations) {
  KeyEntry source;
  source.Id = 7;
  SetHex(source.Name, std::string(300, 'a'));
  KeyRecord dsa;
  FillKeys(source.Key, dsa);
  SetHex(source.Key.RsaParams.D, std::string(600, 'b'));
  SetHex(source.Key.EcParams.PublicKey, std::string(300, 'c'));
  int failures = 0;
  for (int successes = 0; successes < 64; ++successes) {
    KeyEntry target;
    int status;
    {
      testing_support::FailingAllocations failing(successes);
      status = target.CopyFrom(source);
    }
    if (status == 0) {
      EXPECT_TRUE(target.Key.Equals(source.Key));
      EXPECT_EQ(target.Id, 7u);
      break;
    }
    ++failures;
    EXPECT_EQ(status, 200);
    EXPECT_EQ(target.Id, 7u);
  }
  EXPECT_GT(failures, 2);
}

}  // namespace
}  // namespace velmora::crypto
