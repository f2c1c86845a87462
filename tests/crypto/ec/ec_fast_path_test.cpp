// The dedicated field multiplications (P-256 with and without mulx/adx, P-521, any 4-limb modulus),
// P-256's signed-digit base table and the interleaved double multiplication of ECDSA verification, each
// against the generic path they replace (internal::ForceGenericPath), on every prime curve of the
// table: random operands and scalars, the edge scalars and the cancelling sums.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/ec/ec_prime.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/ecdsa.h"
#include "crypto/ec/mont_field.h"
#include "crypto/ec/p256_field.h"
#include "crypto/keys/curve_params.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using F = FixedBigInt;

// GenericPath switches the old path on for its lifetime.
struct GenericPath {
  GenericPath() { ec::internal::ForceGenericPath(true); }
  ~GenericPath() { ec::internal::ForceGenericPath(false); }
};

struct PrimeCurve {
  int32_t type = 0;
  const CurveParams* params = nullptr;
  F p, n, a, gx, gy;
};

std::vector<PrimeCurve> PrimeCurves() {
  std::vector<PrimeCurve> curves;
  for (int32_t type = 0; type < 25; ++type) {
    const int32_t id = EcKeyTypeToCurveId(type);
    const CurveParams* params = id < 0 ? nullptr : FindCurveParams(static_cast<uint32_t>(id));
    if (params == nullptr || params->CurveForm != kCurveFormPrime) continue;
    PrimeCurve c;
    c.type = type;
    c.params = params;
    EXPECT_EQ(0, WordsFromBufferPadded(params->Field, nullptr, c.p));
    EXPECT_EQ(0, WordsFromBufferPadded(params->Order, nullptr, c.n));
    EXPECT_EQ(0, WordsFromBufferPadded(params->A, &c.p, c.a));
    EXPECT_EQ(0, WordsFromBufferPadded(params->Gx, &c.p, c.gx));
    EXPECT_EQ(0, WordsFromBufferPadded(params->Gy, &c.p, c.gy));
    curves.push_back(c);
  }
  return curves;
}

F RandomBelow(const F& bound, std::mt19937_64& rng) {
  F v;
  v.Count = bound.Count;
  for (int32_t i = 0; i < bound.Count; ++i) v.Words[i] = static_cast<uint32_t>(rng());
  F r;
  EXPECT_EQ(0, F::Mod(v, bound, r));
  r.Count = bound.Count;
  return r;
}

F Minus(const F& n, uint32_t small) {
  F s, out;
  F::SetWord(s, small);
  EXPECT_EQ(0, F::Subtract(n, s, out));
  out.Count = n.Count;
  return out;
}

std::string Point(const F& x, const F& y) {
  if (EcIsInfinity(x)) return "infinity";
  std::string out;
  for (int32_t i = 0; i < x.Count; ++i) out += std::to_string(x.Words[i]) + ",";
  out += "/";
  for (int32_t i = 0; i < y.Count; ++i) out += std::to_string(y.Words[i]) + ",";
  return out;
}

// u1 G + u2 Q the old way: the tabulated and the windowed constant-time products, added in affine.
std::string OldSum(const PrimeCurve& c, const F& u1, const F& qx, const F& qy, const F& u2) {
  GenericPath generic;
  const uint32_t id = c.params->FieldId;
  F x1, y1, x2, y2, x, y;
  EXPECT_EQ(0, EcPointMulPrimeFixedBase(c.gx, c.gy, c.p, c.a, u1, id, x1, y1));
  EXPECT_EQ(0, EcPointMulPrime(qx, qy, c.p, c.a, u2, id, x2, y2));
  EXPECT_EQ(0, EcPointAddAffinePrime(x1, y1, x2, y2, c.a, c.p, id, x, y));
  return Point(x, y);
}

TEST(EcFastPath, DedicatedMultiplicationMatchesGeneric) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  int checked = 0;
  for (const PrimeCurve& c : PrimeCurves()) {
    for (const F* modulus : {&c.p, &c.n}) {
      ec::MontField fast, generic;
      if (fast.Init(*modulus) != 0 || !fast.dedicated) continue;
      {
        GenericPath forced;
        ASSERT_EQ(0, generic.Init(*modulus));
      }
      ASSERT_FALSE(generic.dedicated);
      const size_t bytes = sizeof(uint64_t) * static_cast<size_t>(fast.n);
      ++checked;
      for (int i = 0; i < 2000; ++i) {
        ec::Limbs a = {}, b = {}, x, y;
        // Random values, and m - 1 and m - 2 for the largest carries.
        const F fa = i < 2 ? Minus(*modulus, 1 + i) : RandomBelow(*modulus, rng);
        const F fb = i < 2 ? Minus(*modulus, 1) : RandomBelow(*modulus, rng);
        ec::LimbsFromFixed(fa, fast.n, a);
        ec::LimbsFromFixed(fb, fast.n, b);
        ec::MontMul(fast, x, a, b);
        ec::MontMul(generic, y, a, b);
        ASSERT_EQ(0, std::memcmp(x, y, bytes)) << "seed " << seed << " product " << i;
        ec::MontSqr(fast, x, a);
        ec::MontSqr(generic, y, a);
        ASSERT_EQ(0, std::memcmp(x, y, bytes)) << "seed " << seed << " square " << i;
        if (std::memcmp(fast.m, ec::p256::kP256, sizeof ec::p256::kP256) == 0) {
          // The C products that stand in where the processor lacks mulx and adx.
          ec::p256::MulPortable(x, a, b);
          ec::MontMul(generic, y, a, b);
          ASSERT_EQ(0, std::memcmp(x, y, bytes)) << "seed " << seed << " portable product " << i;
          ec::p256::SqrPortable(x, a);
          ec::MontSqr(generic, y, a);
          ASSERT_EQ(0, std::memcmp(x, y, bytes)) << "seed " << seed << " portable square " << i;
        }
      }
    }
  }
  EXPECT_GE(checked, 4);  // P-256's field and order, P-521's field, the other 256-bit curves
}

TEST(EcFastPath, DoubleMultiplicationMatchesTheSeparateProducts) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  for (const PrimeCurve& c : PrimeCurves()) {
    SCOPED_TRACE(std::string(EcKeyTypeToName(c.type)) + " seed " + std::to_string(seed));
    const uint32_t id = c.params->FieldId;
    F qx, qy, zero;
    ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, RandomBelow(c.n, rng), id, qx, qy));
    F::SetWord(zero, 0);
    zero.Count = c.n.Count;
    F one;
    F::SetWord(one, 1);
    one.Count = c.n.Count;
    struct Case {
      F u1, u2;
      bool q_is_g;
    };
    const F r = RandomBelow(c.n, rng);
    std::vector<Case> cases = {
        {zero, RandomBelow(c.n, rng), false},  {RandomBelow(c.n, rng), zero, false}, {zero, zero, false},
        {Minus(c.n, 1), Minus(c.n, 1), false}, {one, one, true},                     {r, Minus(c.n, 0), true},
        {r, r, true},
    };
    // u1 + u2 = n with Q = G: the sum is the point at infinity.
    F rest;
    ASSERT_EQ(0, F::Subtract(c.n, r, rest));
    rest.Count = c.n.Count;
    cases.push_back({r, rest, true});
    for (int i = 0; i < 12; ++i) cases.push_back({RandomBelow(c.n, rng), RandomBelow(c.n, rng), i % 4 == 0});
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& k = cases[i];
      const F& px = k.q_is_g ? c.gx : qx;
      const F& py = k.q_is_g ? c.gy : qy;
      F x, y;
      ASSERT_EQ(0, EcPointMulTwoPrime(c.gx, c.gy, k.u1, px, py, k.u2, c.p, c.a, x, y));
      EXPECT_EQ(OldSum(c, k.u1, px, py, k.u2), Point(x, y)) << "case " << i;
    }
  }
}

// P-256's signed-digit base table against the 4-bit one of the generic path, for the generator and
// another base: the edge scalars (zero, the order and its neighbours, all ones) and random ones.
TEST(EcFastPath, P256BaseTableMatchesTheGenericPath) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  const PrimeCurve c = PrimeCurves().front();  // key type 0, P-256
  ASSERT_EQ(8, c.n.Count);
  F qx, qy;
  ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, RandomBelow(c.n, rng), 0, qx, qy));
  F all_ones, n_plus_1, one;
  all_ones.Count = 8;
  for (int32_t i = 0; i < 8; ++i) all_ones.Words[i] = ~uint32_t{0};
  F::SetWord(one, 1);
  ASSERT_EQ(0, F::Add(c.n, one, n_plus_1));
  std::vector<F> scalars = {Minus(c.n, 0), Minus(c.n, 1), Minus(c.n, 2), c.n, n_plus_1, all_ones};
  F zero = c.n, small = c.n;
  std::memset(zero.Words, 0, sizeof zero.Words);
  std::memset(small.Words, 0, sizeof small.Words);
  small.Words[0] = 1;
  scalars.push_back(small);
  small.Words[0] = 2;
  scalars.push_back(small);
  for (int i = 0; i < 16; ++i) scalars.push_back(RandomBelow(c.n, rng));
  scalars[0] = zero;
  for (const bool generator : {true, false}) {
    const F& bx = generator ? c.gx : qx;
    const F& by = generator ? c.gy : qy;
    for (size_t i = 0; i < scalars.size(); ++i) {
      F x, y, old_x, old_y;
      ASSERT_EQ(0, EcPointMulPrimeFixedBase(bx, by, c.p, c.a, scalars[i], 0, x, y));
      {
        GenericPath generic;
        ASSERT_EQ(0, EcPointMulPrimeFixedBase(bx, by, c.p, c.a, scalars[i], 0, old_x, old_y));
      }
      EXPECT_EQ(Point(old_x, old_y), Point(x, y)) << "seed " << seed << " scalar " << i << " generator " << generator;
    }
  }
}

// Signatures with a fixed nonce are the same bytes on both paths, and both paths give the same verdict
// on valid and altered signatures.
int FixedNonce(uint8_t* out, int32_t count, void* context) {
  auto* rng = static_cast<std::mt19937_64*>(context);
  for (int32_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((*rng)());
  return 0;
}

TEST(EcFastPath, SignaturesAndVerdictsMatchTheGenericPath) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  for (const PrimeCurve& c : PrimeCurves()) {
    SCOPED_TRACE(std::string(EcKeyTypeToName(c.type)) + " seed " + std::to_string(seed));
    const int32_t n_bytes = (F::BitLength(c.n) + 7) / 8;
    const int32_t p_bytes = CurveFieldByteLength(*c.params);
    F d = RandomBelow(c.n, rng), qx, qy;
    ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, d, c.params->FieldId, qx, qy));
    core::Buffer key, x, y;
    ASSERT_EQ(0, F::ToBytes(d, n_bytes, key));
    ASSERT_EQ(0, F::ToBytes(qx, p_bytes, x));
    ASSERT_EQ(0, F::ToBytes(qy, p_bytes, y));
    uint8_t digest[64];
    for (uint8_t& byte : digest) byte = static_cast<uint8_t>(rng());
    for (int round = 0; round < 4; ++round) {
      const uint64_t nonce_seed = rng();
      core::Buffer fast, old;
      std::mt19937_64 nonce(nonce_seed);
      test::SetEcdsaNonceHook(FixedNonce, &nonce);
      ASSERT_EQ(0, EcdsaSignOnCurve(*c.params, key, digest, 32, {}, fast));
      {
        GenericPath generic;
        nonce.seed(nonce_seed);
        ASSERT_EQ(0, EcdsaSignOnCurve(*c.params, key, digest, 32, {}, old));
      }
      test::SetEcdsaNonceHook(nullptr, nullptr);
      ASSERT_EQ(testing_support::Text(old), testing_support::Text(fast));
      std::string signature = testing_support::Text(fast);
      if (round > 0) signature[rng() % signature.size()] ^= static_cast<char>(1 << (rng() % 8));
      int32_t valid_fast = -1, valid_old = -1;
      const auto* bytes = reinterpret_cast<const uint8_t*>(signature.data());
      const auto length = static_cast<int32_t>(signature.size());
      ASSERT_EQ(0, EcdsaVerifyOnCurve(*c.params, x, y, digest, 32, bytes, length, {}, valid_fast));
      {
        GenericPath generic;
        ASSERT_EQ(0, EcdsaVerifyOnCurve(*c.params, x, y, digest, 32, bytes, length, {}, valid_old));
      }
      EXPECT_EQ(valid_old, valid_fast) << "round " << round;
      if (round == 0) {
        EXPECT_EQ(1, valid_fast);
      }
    }
  }
}

#ifdef VELMORA_P256_SIGN_CT_PROBE
std::string Hex(const F& v) {
  std::string out;
  static const char kDigits[] = "0123456789abcdef";
  for (int32_t i = v.Count - 1; i >= 0; --i) {
    for (int s = 28; s >= 0; s -= 4) out += kDigits[(v.Words[i] >> s) & 15];
  }
  return out;
}
#endif

// Under valgrind's memcheck, with the nonce and the private scalar undefined, no branch and no memory
// index of P-256 signing's arithmetic depends on them.
TEST(EcFastPath, P256SigningTimingIndependentOfTheSecrets) {
#ifndef VELMORA_P256_SIGN_CT_PROBE
  GTEST_SKIP() << "valgrind/memcheck.h is missing: the timing probe was not built";
#else
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is missing";
  std::mt19937_64 rng(testing_support::FuzzSeed());
  const PrimeCurve c = PrimeCurves().front();  // key type 0, P-256
  ASSERT_EQ(4, (F::BitLength(c.p) + 63) / 64);
  const std::string command = std::string("valgrind -q --error-exitcode=99 ") + VELMORA_P256_SIGN_CT_PROBE + " " +
                              Hex(c.p) + " " + Hex(c.a) + " " + Hex(c.gx) + " " + Hex(c.gy) + " " + Hex(c.n) + " " +
                              Hex(RandomBelow(c.n, rng)) + " " + Hex(RandomBelow(c.n, rng)) + " " +
                              Hex(RandomBelow(c.n, rng));
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
#endif
}

}  // namespace
}  // namespace velmora::crypto
