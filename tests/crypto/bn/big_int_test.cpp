// BigInt's refusals and zero forms, the working number's division corners, the sieves checked against
// their definitions, the prime searches checked by `openssl prime`, and allocation failure everywhere.
#include <gtest/gtest.h>

#include <stdio.h>

#include <functional>
#include <string>

#include "crypto/bn/big_int.h"
#include "crypto/bn/big_nat.h"
#include "crypto/bn/prime_sieve.h"
#include "crypto/rand/random.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

BigInt Int(int64_t v) {
  BigInt x;
  EXPECT_EQ(BigInt::FromInt64(v, x), 0);
  return x;
}

std::string Hex(const BigInt& value) {
  core::Buffer buffer;
  EXPECT_EQ(value.ToBytes(buffer), 0);
  return testing_support::ToHex(std::string(buffer.Data(), static_cast<size_t>(buffer.Length())));
}

bool IsPrimeByTrialDivision(uint32_t n) {
  if (n < 2) return false;
  for (uint32_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

// OpenSslSaysPrime asks `openssl prime`; false with *ran false when the tool is missing.
bool OpenSslSaysPrime(const BigInt& value, bool* ran) {
  const std::string hex = Hex(value);
  FILE* pipe = popen(("openssl prime -hex " + hex + " 2>/dev/null").c_str(), "r");
  std::string text;
  char chunk[256];
  size_t got;
  while (pipe != nullptr && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
  *ran = pipe != nullptr && pclose(pipe) == 0 && !text.empty();
  return text.find("is prime") != std::string::npos;
}

TEST(BigIntRefusals, BadModulusExponentAndDivisor) {
  const BigInt empty;
  BigInt out = Int(77);
  // A modulus below 1, or either form of zero: 2003. Mod and ModInverse leave out empty, ModPow leaves
  // it unchanged and ModPowBinary leaves 1.
  const BigInt minus_seven = Int(-7);
  for (const BigInt* m : {&empty, &BigIntZero(), &minus_seven}) {
    const BigInt& modulus = *m;
    ASSERT_EQ(out.Assign(Int(77)), 0);
    EXPECT_EQ(BigInt::Mod(Int(5), modulus, out), kBigIntBadModulus);
    EXPECT_EQ(out.Sign(), 0);
    EXPECT_EQ(out.Count(), 0);
    ASSERT_EQ(out.Assign(Int(77)), 0);
    EXPECT_EQ(BigInt::ModInverse(Int(5), modulus, out), kBigIntBadModulus);
    EXPECT_EQ(out.Count(), 0);
    ASSERT_EQ(out.Assign(Int(77)), 0);
    EXPECT_EQ(BigInt::ModPow(Int(5), Int(3), modulus, out), kBigIntBadModulus);
    EXPECT_EQ(Hex(out), "4d");
    EXPECT_EQ(BigInt::ModPowBinary(Int(5), Int(3), modulus, out), kBigIntBadModulus);
    EXPECT_EQ(Hex(out), "01");
  }
  EXPECT_EQ(BigInt::ModInverse(Int(2), Int(4), out), kBigIntNotInvertible);
  EXPECT_EQ(BigInt::ModPow(Int(0), Int(-1), Int(7), out), kBigIntNotInvertible);
  EXPECT_EQ(BigInt::ModPow(Int(2), Int(-3), Int(12), out), kBigIntNotInvertible);
  EXPECT_EQ(BigInt::Pow(Int(2), -1, out), kBigIntNegativeExponent);
  EXPECT_EQ(out.Count(), 0);
  // ModPowBinary with exponent 0 and modulus 1 keeps its 1.
  EXPECT_EQ(BigInt::ModPowBinary(Int(5), Int(0), Int(1), out), 0);
  EXPECT_EQ(Hex(out), "01");

  // A zero BigNat divisor: 2001 with q and r unchanged. Division through BigInt gives zeros instead.
  BigNat a, zero, q, r;
  ASSERT_EQ(a.FromWord(9), 0);
  ASSERT_EQ(zero.FromWord(0), 0);
  ASSERT_EQ(q.FromWord(5), 0);
  ASSERT_EQ(r.FromWord(6), 0);
  EXPECT_EQ(BigNat::DivMod(a, zero, q, r), kBigIntDivisionByZero);
  EXPECT_EQ(q.Word(0), 5u);
  EXPECT_EQ(r.Word(0), 6u);
  BigInt bq = Int(1), br = Int(1);
  EXPECT_EQ(BigInt::DivMod(Int(9), BigIntZero(), bq, br), 0);
  EXPECT_TRUE(bq.IsZero() && br.IsZero());

  // FromText: a radix outside 2..32 or a group beyond 31 bits gives the empty value.
  EXPECT_EQ(BigInt::FromText("ff", 2, 33, 1, out), 0);
  EXPECT_EQ(out.Sign(), 0);
  EXPECT_EQ(BigInt::FromText("ff", 2, 1, 1, out), 0);
  EXPECT_EQ(out.Sign(), 0);
  EXPECT_EQ(BigInt::FromText("~~~~~~", 6, 32, 1, out), 0);  // '~' is worth 71: the group overflows
  EXPECT_EQ(out.Sign(), 0);
  EXPECT_EQ(BigInt::FromText("000", 3, 10, 1, out), 0);
  EXPECT_EQ(out.Sign(), 0);
}

TEST(BigIntZeroForms, CompareAndEqualsTellThemApart) {
  const BigInt empty;
  EXPECT_EQ(BigInt::Compare(empty, BigIntZero()), -1);
  EXPECT_FALSE(BigInt::Equals(empty, BigIntZero()));
  EXPECT_TRUE(BigInt::Equals(Int(0), BigIntZero()));
  EXPECT_EQ(Hex(empty), "00");
  EXPECT_EQ(BigIntZero().LowestSetBit(), -1);
  BigInt sum;
  ASSERT_EQ(BigInt::Add(Int(5), Int(-5), sum), 0);
  EXPECT_TRUE(BigInt::Equals(sum, BigIntZero()));
  ASSERT_EQ(BigInt::Subtract(empty, Int(7), sum), 0);
  EXPECT_EQ(Hex(sum), "f9");
}

TEST(BigNatDivision, KnuthCorners) {
  // 2^64 / (2^32 + 1) = 0xFFFFFFFF remainder 1; equal operands give 1 and 0.
  const uint32_t dividend[3] = {1, 0, 0};
  const uint32_t divisor[2] = {1, 1};
  BigNat a, b, q, r;
  ASSERT_EQ(a.FromWords(dividend, 3), 0);
  ASSERT_EQ(b.FromWords(divisor, 2), 0);
  ASSERT_EQ(BigNat::DivMod(a, b, q, r), 0);
  EXPECT_EQ(q.Length(), 1);
  EXPECT_EQ(q.Word(0), 0xFFFFFFFFu);
  EXPECT_TRUE(r.IsOne());
  ASSERT_EQ(BigNat::DivMod(b, b, q, r), 0);
  EXPECT_TRUE(q.IsOne());
  EXPECT_TRUE(r.IsZero());
  // Shifts across a word boundary, both ways.
  ASSERT_EQ(a.FromWord(0x80000000u), 0);
  ASSERT_EQ(a.ShiftLeft(1), 0);
  EXPECT_EQ(a.Length(), 2);
  EXPECT_EQ(a.Word(1), 1u);
  a.ShiftRight(1);
  EXPECT_EQ(a.Length(), 1);
  EXPECT_EQ(a.Word(0), 0x80000000u);
  // The inverse of 0 is refused before any shift by its lowest set bit.
  BigNat zero, three, inverse;
  ASSERT_EQ(zero.FromWord(0), 0);
  ASSERT_EQ(three.FromWord(3), 0);
  EXPECT_EQ(BigNat::AlmostInverse(zero, three, inverse), kBigIntNotInvertible);
}

TEST(PrimeSieves, HoldTheSmallPrimes) {
  const PrimeSieve& sieve = PrimeSieve::Instance();
  int32_t clear = 0;
  for (int32_t i = 0; i < PrimeSieve::kSize; ++i) {
    const bool prime = IsPrimeByTrialDivision(2 * static_cast<uint32_t>(i) + 1);
    EXPECT_EQ(!sieve.IsComposite(i), prime) << 2 * i + 1;
    clear += sieve.IsComposite(i) ? 0 : 1;
  }
  EXPECT_EQ(clear, 2175);
  ProgressionSieve progression;
  ASSERT_EQ(progression.Init(Int(3), Int(101), Int(2)), 0);
  EXPECT_EQ(progression.SmallPrime(0), 1);
  uint32_t previous = 2;
  for (int32_t i = 1; i < ProgressionSieve::kSmallPrimes; ++i) {
    for (uint32_t n = previous + 1; n < progression.SmallPrime(i); ++n) EXPECT_FALSE(IsPrimeByTrialDivision(n)) << n;
    EXPECT_TRUE(IsPrimeByTrialDivision(progression.SmallPrime(i)));
    previous = progression.SmallPrime(i);
  }
  EXPECT_LT(previous, 32720u);
  for (uint32_t n = previous + 1; n < 32720; ++n) EXPECT_FALSE(IsPrimeByTrialDivision(n)) << n;
}

TEST(PrimeSearch, ProgressionEdgesAndOpenSslAgrees) {
  // Step 6: 3 divides the step, so its inverse (of 0) ends the sieving with 2002; 19 is still found.
  ProgressionSieve sieve;
  EXPECT_EQ(sieve.Init(Int(19), Int(100), Int(6)), kBigIntNotInvertible);
  BigInt p = Int(14);
  int found = 0;
  ASSERT_EQ(FindPrimeInProgression(p, Int(100), Int(1), Int(6), &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Hex(p), "13");
  p = Int(90);
  ASSERT_EQ(FindPrimeInProgression(p, Int(96), Int(1), Int(2), &found), 0);
  EXPECT_EQ(found, 0);
  // An odd step with an even residue: the terms are 4 mod 5 and odd.
  p = Int(100);
  ASSERT_EQ(FindPrimeInProgression(p, Int(1000), Int(4), Int(5), &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Hex(p), "6d");  // 109

  RandomContext context;
  BigInt r;
  for (int32_t n : {1, 31, 32, 33, 64, 1023}) {
    ASSERT_EQ(r.SetRandom(n, context), 0);
    EXPECT_EQ(r.BitLength(), n);
    EXPECT_EQ(r.Sign(), 1);
  }
  bool prime = false;
  for (const auto& [n, expected] : {std::pair{2, false}, {3, true}, {65537, true}, {65535, false}}) {
    ASSERT_EQ(BigInt::IsProbablePrime(Int(n), 100, nullptr, &prime), 0);
    EXPECT_EQ(prime, expected) << n;
  }

  bool ran = false;
  ASSERT_EQ(BigInt::RandomPrime(1024, 100, context, r), 0);
  EXPECT_EQ(r.BitLength(), 1024);
  const bool openssl_prime = OpenSslSaysPrime(r, &ran);
  if (!ran) GTEST_SKIP() << "openssl not found";
  EXPECT_TRUE(openssl_prime) << Hex(r);
  // The RSA key generation range for 1024-bit halves: [182 * 2^504, 2^512 - 1].
  BigInt low, high;
  ASSERT_EQ(BigInt::ShiftLeft(Int(182), 504, low), 0);
  ASSERT_EQ(BigInt::ShiftLeft(BigIntOne(), 512, high), 0);
  ASSERT_EQ(BigInt::Subtract(high, BigIntOne(), high), 0);
  ASSERT_EQ(RandomPrimeInRange(low, high, BigIntZero(), BigIntOne(), context, r, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_TRUE(BigInt::Compare(r, low) >= 0 && BigInt::Compare(r, high) <= 0);
  EXPECT_TRUE(OpenSslSaysPrime(r, &ran)) << Hex(r);
  // p = 1 mod q, as for DSA.
  BigInt q, p_low, p_high, rem;
  ASSERT_EQ(BigInt::RandomPrime(160, 100, context, q), 0);
  ASSERT_EQ(BigInt::ShiftLeft(BigIntOne(), 511, p_low), 0);
  ASSERT_EQ(BigInt::ShiftLeft(BigIntOne(), 512, p_high), 0);
  ASSERT_EQ(RandomPrimeInRange(p_low, p_high, BigIntOne(), q, context, r, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_TRUE(OpenSslSaysPrime(r, &ran)) << Hex(r);
  ASSERT_EQ(BigInt::Mod(r, q, rem), 0);
  EXPECT_EQ(Hex(rem), "01");
}

// Every operation that allocates returns 200 when an allocation fails, at whichever allocation that
// is, and leaks nothing (the leak checker runs at exit).
TEST(BigIntAllocation, FailuresGive200) {
  BigInt a, b, m, e, out, q;
  ASSERT_EQ(BigInt::FromText("123456789abcdef0123456789abcdef0123456789", 41, 16, -1, a), 0);
  ASSERT_EQ(BigInt::FromText("fedcba9876543210fedcba987654321", 31, 16, 1, b), 0);
  ASSERT_EQ(BigInt::FromText("f123456789abcdef0123456789abcdef01234567", 40, 16, 1, m), 0);
  ASSERT_EQ(BigInt::FromText("10000000000000000000000000000000000000001", 41, 16, 1, e), 0);
  BigInt even_m;
  ASSERT_EQ(BigInt::ShiftLeft(m, 5, even_m), 0);
  RandomContext context;
  const BigInt two = Int(2);
  const uint8_t bytes[] = {0xFF, 0x00, 0x12, 0x34, 0x56};
  const std::vector<std::pair<const char*, std::function<int()>>> operations = {
      {"FromInt64", [&] { return BigInt::FromInt64(-5, out); }},
      {"FromBytes", [&] { return BigInt::FromBytes(bytes, 5, 1, out); }},
      {"FromTwosComplementBytes", [&] { return BigInt::FromTwosComplementBytes(bytes, 5, out); }},
      {"FromText", [&] { return BigInt::FromText("123456789012345678901234567890", 30, 10, 1, out); }},
      {"Add", [&] { return BigInt::Add(a, b, out); }},
      {"Subtract", [&] { return BigInt::Subtract(a, b, out); }},
      {"Multiply", [&] { return BigInt::Multiply(a, b, out); }},
      {"DivMod", [&] { return BigInt::DivMod(a, b, q, out); }},
      {"ShiftLeft", [&] { return BigInt::ShiftLeft(a, 77, out); }},
      {"ShiftRight", [&] { return BigInt::ShiftRight(a, 33, out); }},
      {"Pow", [&] { return BigInt::Pow(a, 5, out); }},
      {"ModInverse", [&] { return BigInt::ModInverse(b, m, out); }},
      {"ModInverse even", [&] { return BigInt::ModInverse(b, even_m, out); }},
      {"ModPow", [&] { return BigInt::ModPow(a, e, m, out); }},
      {"ModPow even", [&] { return BigInt::ModPow(a, e, even_m, out); }},
      {"ModPowBinary", [&] { return BigInt::ModPowBinary(a, b, m, out); }},
      {"SetRandom", [&] { return out.SetRandom(100, context); }},
      {"RandomPrime", [&] { return BigInt::RandomPrime(64, 20, context, out); }},
      {"FindPrimeInProgression", [&] {
         int found = 0;
         if (const int rc = out.Assign(b); rc != 0) return rc;
         return FindPrimeInProgression(out, m, BigIntOne(), two, &found);
       }},
  };
  // Every one of the first 40 allocations fails in turn, then ever sparser ones up to the last.
  for (const auto& [name, operation] : operations) {
    int rc = -1;
    int successes = 0;
    for (; successes < 1000000 && rc != 0; successes += successes < 40 ? 1 : successes / 8) {
      {
        testing_support::FailingAllocations failing(successes);
        rc = operation();
      }
      if (rc != 0) {
        ASSERT_EQ(rc, kBigIntNoMemory) << name << " after " << successes << " allocations";
      }
    }
    EXPECT_EQ(rc, 0) << name;
    EXPECT_GT(successes, 1) << name << " never allocated";
  }
}

}  // namespace
}  // namespace velmora::crypto
