// Prime-field arithmetic, prime-curve points and ECDSA, checked against Python integers and OpenSSL.
#define OPENSSL_API_COMPAT 0x10101000L  // the EC_KEY / ECDSA_SIG interface gives r and s directly
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/objects.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/keys/curve_params.h"
#include "crypto/ec/ec_prime.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/ecdsa.h"
#include "crypto/ec/gfp.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using F = FixedBigInt;
using testing_support::PythonAvailable;
using testing_support::RunPython;

std::string Hex(const F& v) {
  std::string out;
  static const char kDigits[] = "0123456789abcdef";
  for (int32_t i = (v.Count > 0 ? v.Count : 1) - 1; i >= 0; --i) {
    for (int s = 28; s >= 0; s -= 4) out += kDigits[(v.Words[i] >> s) & 15];
  }
  return out;
}

F FromHex(const std::string& hex) {
  std::string bytes = testing_support::FromHex((hex.size() % 2) ? "0" + hex : hex);
  F v;
  EXPECT_EQ(0, F::FromBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), v));
  return v;
}

struct Curve {
  explicit Curve(uint32_t curve_id);
  CurveParams named;
  const CurveParams* params = &named;
  F p, n, a, b, gx, gy;
};

Curve::Curve(uint32_t curve_id) : named(curve_id) {
  Curve& c = *this;
  EXPECT_TRUE(IsCompleteCurve(named)) << curve_id;
  EXPECT_EQ(0, WordsFromBufferPadded(c.params->Field, nullptr, c.p));
  EXPECT_EQ(0, WordsFromBufferPadded(c.params->Order, nullptr, c.n));
  EXPECT_EQ(0, WordsFromBufferPadded(c.params->A, &c.p, c.a));
  EXPECT_EQ(0, WordsFromBufferPadded(c.params->B, &c.p, c.b));
  EXPECT_EQ(0, WordsFromBufferPadded(c.params->Gx, &c.p, c.gx));
  EXPECT_EQ(0, WordsFromBufferPadded(c.params->Gy, &c.p, c.gy));
}

F RandomBelow(const F& bound, std::mt19937_64& rng) {
  F v;
  v.Count = bound.Count;
  for (int32_t i = 0; i < bound.Count; ++i) v.Words[i] = static_cast<uint32_t>(rng());
  v.Words[bound.Count - 1] %= bound.Words[bound.Count - 1] == 0xFFFFFFFF ? 0xFFFFFFFF : bound.Words[bound.Count - 1] + 1;
  if (!F::IsGreater(bound, v)) v.Words[bound.Count - 1] = 0;
  return v;
}

// Each line: p, a, b, then our a + b, a - b, a / 2, a b (fast reduction), a b (generic reduction),
// a^-1, b / a, whether a is a square and its root; the script prints every disagreement.
constexpr char kFieldOracle[] = R"(
import sys
count = 0
for line in sys.stdin:
    count += 1
    p, a, b, add, sub, half, mul, mulg, inv, div, found, root = [int(x, 16) for x in line.split()]
    checks = [add == (a + b) % p, sub == (a - b) % p, (2 * half) % p == a, mul == a * b % p, mulg == a * b % p]
    if a:
        checks += [inv == pow(a, -1, p), div == b * pow(a, -1, p) % p]
    square = a == 0 or pow(a, (p - 1) // 2, p) == 1
    checks += [found == square, not found or root * root % p == a]
    if not all(checks):
        print("mismatch", line.strip(), checks)
print("done", count)
)";

TEST(PrimeField, AgreesWithPythonOnRandomElements) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 not found";
  // P-192, P-224 (p = 1 mod 8), P-256, P-384, P-521, W-25519 (p = 5 mod 8), secp256k1, brainpool.
  const uint32_t kCurves[] = {11, 13, 0, 1, 2, 3, 14, 70, 74, 7};
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  std::ostringstream input;
  int lines = 0;
  for (uint32_t id : kCurves) {
    Curve c(id);
    F one, p_minus_1;
    GfpSetOne(one, c.p);
    ASSERT_EQ(0, GfpSub(c.p, one, c.p, p_minus_1));
    for (int i = 0; i < testing_support::FuzzScaled(12); ++i) {
      F a = i == 0 ? p_minus_1 : RandomBelow(c.p, rng);
      F b = i == 1 ? p_minus_1 : RandomBelow(c.p, rng);
      if (i == 2) GfpSetZero(a, c.p);
      if (i == 4) F::Copy(a, b = p_minus_1);  // the largest product
      if (i == 3) {
        ASSERT_EQ(0, GfpMul(b, b, c.p, kFieldGeneric, a));  // a known square
      }
      F add, sub, half, mul, mulg, inv, div, root;
      int32_t found = 0;
      ASSERT_EQ(0, GfpAdd(a, b, c.p, add));
      ASSERT_EQ(0, GfpSub(a, b, c.p, sub));
      ASSERT_EQ(0, GfpHalve(a, c.p, half));
      ASSERT_EQ(0, GfpMul(a, b, c.p, c.params->FieldId, mul));
      ASSERT_EQ(0, GfpMul(a, b, c.p, kFieldGeneric, mulg));
      if (!F::IsZero(a)) {
        ASSERT_EQ(0, GfpInverse(a, c.p, inv));
        ASSERT_EQ(0, GfpDivide(b, a, c.p, div));
      } else {
        EXPECT_EQ(kFixedZeroOperand, GfpInverse(a, c.p, inv));
      }
      ASSERT_EQ(0, GfpSqrt(a, c.p, c.params->FieldId, found, root));
      for (const F* v : {&c.p, &a, &b, &add, &sub, &half, &mul, &mulg, &inv, &div}) input << Hex(*v) << ' ';
      input << found << ' ' << (found ? Hex(root) : "0") << '\n';
      ++lines;
    }
  }
  std::string output;
  ASSERT_TRUE(RunPython(kFieldOracle, "", input.str(), &output));
  EXPECT_EQ("done " + std::to_string(lines) + "\n", output) << "seed " << seed;
}

// The OpenSSL name of a key type's curve.
int NidOf(int32_t type) {
  std::string name = EcKeyTypeToName(type);
  if (name == "secp256r1") name = "prime256v1";
  if (name.rfind("brainpoolp", 0) == 0) name[9] = 'P';
  return OBJ_sn2nid(name.c_str());
}

std::vector<int32_t> WeierstrassKeyTypes() {
  std::vector<int32_t> types;
  for (int32_t type = 0; type < 25; ++type) {
    if (type < 3 || type > 6) types.push_back(type);
  }
  return types;
}

std::string Bytes(const F& v, int32_t length) {
  core::Buffer out;
  EXPECT_EQ(0, F::ToBytes(v, length, out));
  return testing_support::Text(out);
}

BIGNUM* ToBn(const F& v) {
  const std::string bytes = Bytes(v, 4 * v.Count);
  return BN_bin2bn(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()), nullptr);
}

F FromBn(const BIGNUM* bn) {
  std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, bytes.data());
  F v;
  EXPECT_EQ(0, F::FromBytes(bytes.data(), static_cast<int32_t>(bytes.size()), v));
  return v;
}

std::string Sha(std::mt19937_64& rng, size_t length) {
  std::string digest(length, '\0');
  for (char& c : digest) c = static_cast<char>(rng());
  return digest;
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }

// A key of the given type from d, with the public point OpenSSL derives; OpenSSL's key beside it.
struct KeyPair {
  EccEngine engine;
  EC_KEY* openssl = nullptr;
  ~KeyPair() { EC_KEY_free(openssl); }
};

void MakeKey(int32_t type, const F& d, KeyPair& key) {
  Curve c(static_cast<uint32_t>(EcKeyTypeToCurveId(type)));
  key.openssl = EC_KEY_new_by_curve_name(NidOf(type));
  ASSERT_NE(nullptr, key.openssl) << EcKeyTypeToName(type);
  const EC_GROUP* group = EC_KEY_get0_group(key.openssl);
  BIGNUM* bn_d = ToBn(d);
  EC_POINT* q = EC_POINT_new(group);
  ASSERT_EQ(1, EC_POINT_mul(group, q, bn_d, nullptr, nullptr, nullptr));
  ASSERT_EQ(1, EC_KEY_set_private_key(key.openssl, bn_d));
  ASSERT_EQ(1, EC_KEY_set_public_key(key.openssl, q));
  BIGNUM *qx = BN_new(), *qy = BN_new();
  ASSERT_EQ(1, EC_POINT_get_affine_coordinates(group, q, qx, qy, nullptr));
  // Our d G against OpenSSL's.
  F ox, oy;
  ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, d, c.params->FieldId, ox, oy));
  EXPECT_EQ(Hex(FromBn(qx)), Hex((F::Normalize(ox), ox))) << EcKeyTypeToName(type);
  EXPECT_EQ(Hex(FromBn(qy)), Hex((F::Normalize(oy), oy))) << EcKeyTypeToName(type);
  const int32_t field_bytes = (F::BitLength(c.p) + 7) / 8;
  EcKeyParams params;
  params.KeyType = type;
  const std::string dx = Bytes(d, (F::BitLength(c.n) + 7) / 8), xx = Bytes(FromBn(qx), field_bytes),
                    yy = Bytes(FromBn(qy), field_bytes);
  ASSERT_EQ(0, params.D.SetData(Len(dx), dx.data()));
  ASSERT_EQ(0, params.X.SetData(Len(xx), xx.data()));
  ASSERT_EQ(0, params.Y.SetData(Len(yy), yy.data()));
  ASSERT_EQ(0, key.engine.SetKeyParams(params));
  BN_free(qx);
  BN_free(qy);
  EC_POINT_free(q);
  BN_free(bn_d);
}

std::string DerOf(const std::string& raw) {
  const size_t half = raw.size() / 2;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(U8(raw), static_cast<int>(half), nullptr),
                 BN_bin2bn(U8(raw) + half, static_cast<int>(raw.size() - half), nullptr));
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(sig, &der);
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

TEST(Ecdsa, EveryWeierstrassKeyTypeInteroperatesWithOpenssl) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  for (int32_t type : WeierstrassKeyTypes()) {
    SCOPED_TRACE(std::string(EcKeyTypeToName(type)) + " seed " + std::to_string(seed));
    Curve c(static_cast<uint32_t>(EcKeyTypeToCurveId(type)));
    KeyPair key;
    MakeKey(type, RandomBelow(c.n, rng), key);
    const std::string digest = Sha(rng, type % 2 ? 32 : 64);
    // Ours, raw and DER, verified by OpenSSL (which reads DER only).
    core::Buffer raw, der;
    ASSERT_EQ(0, key.engine.Sign(U8(digest), Len(digest), raw));
    EXPECT_EQ(2 * ((F::BitLength(c.n) + 7) / 8), raw.Length());
    key.engine.DerSignatures = 1;
    ASSERT_EQ(0, key.engine.Sign(U8(digest), Len(digest), der));
    key.engine.DerSignatures = 0;
    const std::string raw_text = testing_support::Text(raw), der_text = testing_support::Text(der);
    EXPECT_EQ(DerOf(raw_text).size() > 2, true);
    for (const std::string& sig : {DerOf(raw_text), der_text}) {
      EXPECT_EQ(1, ECDSA_verify(0, U8(digest), Len(digest), U8(sig), Len(sig), key.openssl));
    }
    // OpenSSL's, verified by us in both forms; a flipped bit fails.
    unsigned char signature[256];
    unsigned int length = sizeof signature;
    ASSERT_EQ(1, ECDSA_sign(0, U8(digest), Len(digest), signature, &length, key.openssl));
    std::string theirs(reinterpret_cast<char*>(signature), length);
    const unsigned char* cursor = signature;
    ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, length);
    const int32_t n_bytes = (F::BitLength(c.n) + 7) / 8;
    std::string theirs_raw = Bytes(FromBn(ECDSA_SIG_get0_r(parsed)), n_bytes) + Bytes(FromBn(ECDSA_SIG_get0_s(parsed)), n_bytes);
    ECDSA_SIG_free(parsed);
    for (std::string sig : {theirs, theirs_raw, raw_text}) {
      int32_t valid = -1;
      ASSERT_EQ(0, key.engine.Verify(U8(digest), Len(digest), U8(sig), Len(sig), valid));
      EXPECT_EQ(1, valid);
      sig[sig.size() - 1 - rng() % 8] ^= static_cast<char>(1 << (rng() % 8));
      ASSERT_EQ(0, key.engine.Verify(U8(digest), Len(digest), U8(sig), Len(sig), valid));
      EXPECT_EQ(0, valid);
    }
    std::string other = digest;
    other[0] ^= 1;
    int32_t valid = -1;
    ASSERT_EQ(0, key.engine.Verify(U8(other), Len(other), U8(raw_text), Len(raw_text), valid));
    EXPECT_EQ(0, valid);
  }
}

bool SamePoint(const F& x1, const F& y1, const F& x2, const F& y2) {
  if (EcIsInfinity(x1) || EcIsInfinity(x2)) return EcIsInfinity(x1) && EcIsInfinity(x2);
  return F::Equals(x1, x2) && F::Equals(y1, y2);
}

TEST(PrimePoints, ProjectiveMultiplicationMatchesAffine) {
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  // P-256 (a = -3), secp256k1 (a = 0), brainpoolP256r1 (any other a), secp160k1 (n longer than p).
  for (uint32_t id : {0u, 14u, 70u, 7u}) {
    SCOPED_TRACE("curve " + std::to_string(id) + " seed " + std::to_string(seed));
    Curve c(id);
    const uint32_t field = c.params->FieldId;
    F one, two, k, x, y, ax, ay, bx, by;
    F::SetWord(one, 1);
    F::SetWord(two, 2);
    ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, one, field, x, y));
    EXPECT_TRUE(SamePoint(x, y, c.gx, c.gy));
    ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, two, field, x, y));
    ASSERT_EQ(0, EcPointAddAffinePrime(c.gx, c.gy, c.gx, c.gy, c.a, c.p, field, ax, ay));
    EXPECT_TRUE(SamePoint(x, y, ax, ay));
    ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, c.n, field, x, y));
    EXPECT_TRUE(EcIsInfinity(x));
    for (int i = 0; i < 3; ++i) {
      k = RandomBelow(c.n, rng);
      ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, k, field, x, y));
      ASSERT_EQ(0, EcPointMulAffinePrime(c.gx, c.gy, k, c.a, c.p, field, ax, ay));
      EXPECT_TRUE(SamePoint(x, y, ax, ay));
      ASSERT_EQ(0, EcPointMulPrimeFixedBase(c.gx, c.gy, c.p, c.a, k, field, bx, by));
      EXPECT_TRUE(SamePoint(x, y, bx, by));
      EXPECT_EQ(1, EcPointOnCurvePrime(x, y, c.a, c.b, c.p, field));
      // k + n gives the same point; P + (-P) is infinity and infinity adds as zero.
      F k_plus_n;
      ASSERT_EQ(0, F::Add(k, c.n, k_plus_n));
      ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, k_plus_n, field, bx, by));
      EXPECT_TRUE(SamePoint(x, y, bx, by));
      F zero, neg_y, ix, iy;
      GfpSetZero(zero, c.p);
      ASSERT_EQ(0, GfpSub(zero, y, c.p, neg_y));
      ASSERT_EQ(0, EcPointAddAffinePrime(x, y, x, neg_y, c.a, c.p, field, ix, iy));
      EXPECT_TRUE(EcIsInfinity(ix));
      ASSERT_EQ(0, EcPointAddAffinePrime(ix, iy, x, y, c.a, c.p, field, bx, by));
      EXPECT_TRUE(SamePoint(x, y, bx, by));
      // Recovering y from x with either parity.
      for (int32_t parity : {0, 1}) {
        ASSERT_EQ(1, EcRecoverYPrime(parity, x, c.a, c.b, c.p, field, by));
        EXPECT_EQ(parity, static_cast<int32_t>(by.Words[0] & 1));
        EXPECT_TRUE(F::Equals(by, static_cast<int32_t>(y.Words[0] & 1) == parity ? y : neg_y));
      }
    }
  }
}

// The nonce hook hands out the queued nonces, each as 8 zero bytes and k, then fails.
struct NonceQueue {
  std::vector<std::string> nonces;
  size_t next = 0;
  static int Draw(uint8_t* out, int32_t count, void* context) {
    auto* queue = static_cast<NonceQueue*>(context);
    if (queue->next == queue->nonces.size()) return 1;
    const std::string& k = queue->nonces[queue->next++];
    if (Len(k) + 8 != count) return 1;
    std::memset(out, 0, 8);
    std::memcpy(out + 8, k.data(), k.size());
    return 0;
  }
};

class FixedNonce : public ::testing::Test {
 protected:
  void SetUp() override { test::SetEcdsaNonceHook(NonceQueue::Draw, &queue_); }
  void TearDown() override { test::SetEcdsaNonceHook(nullptr, nullptr); }
  NonceQueue queue_;
};

// SEC 1 section 4.1.3 with Python integers: prints r and s for each line of p a gx gy n d e k.
constexpr char kEcdsaOracle[] = R"(
import sys
def add(P, Q, a, p):
    if P is None: return Q
    if Q is None: return P
    if P[0] == Q[0] and (P[1] + Q[1]) % p == 0: return None
    if P == Q: l = (3 * P[0] * P[0] + a) * pow(2 * P[1], -1, p) % p
    else: l = (Q[1] - P[1]) * pow(Q[0] - P[0], -1, p) % p
    x = (l * l - P[0] - Q[0]) % p
    return (x, (l * (P[0] - x) - P[1]) % p)
for line in sys.stdin:
    p, a, gx, gy, n, d, e, k = [int(v, 16) for v in line.split()]
    R, P = None, (gx, gy)
    while k:
        if k & 1: R = add(R, P, a, p)
        P, k = add(P, P, a, p), k >> 1
    r = R[0] % n
    k = int(line.split()[7], 16)
    print("%x %x" % (r, pow(k, -1, n) * (e + r * d) % n))
)";

TEST_F(FixedNonce, SignatureEqualsPythonsAndOperationCountIsConstant) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 not found";
  Curve c(0);
  std::mt19937_64 rng(7);
  const F d = RandomBelow(c.n, rng);
  KeyPair key;
  MakeKey(0, d, key);
  const std::string digest = Sha(rng, 32);
  F one, n_minus_1, short_k = RandomBelow(c.n, rng);
  F::SetWord(one, 1);
  ASSERT_EQ(0, F::Subtract(c.n, one, n_minus_1));
  short_k.Words[7] = 0;
  short_k.Words[6] = 0;  // 64 leading zero bits
  std::ostringstream input;
  std::vector<std::string> signatures;
  std::vector<int64_t> doublings, additions;
  for (const F* k : {&one, &short_k, &n_minus_1}) {
    queue_.nonces = {Bytes(*k, 32)};
    queue_.next = 0;
    test::PrimePointOpCounts() = {};
    core::Buffer raw;
    ASSERT_EQ(0, key.engine.Sign(U8(digest), Len(digest), raw));
    doublings.push_back(test::PrimePointOpCounts().doublings);
    additions.push_back(test::PrimePointOpCounts().additions);
    const std::string text = testing_support::Text(raw);
    signatures.push_back(testing_support::ToHex(text.substr(0, 32)) + " " + testing_support::ToHex(text.substr(32)));
    input << Hex(c.p) << ' ' << Hex(c.a) << ' ' << Hex(c.gx) << ' ' << Hex(c.gy) << ' ' << Hex(c.n) << ' ' << Hex(d)
          << ' ' << testing_support::ToHex(digest) << ' ' << Hex(*k) << '\n';
  }
  // The variable-base multiplication is as regular as the tabulated one that signing uses, for
  // scalars given with the order's word count.
  for (const F* k : {&one, &short_k, &n_minus_1}) {
    F x, y, padded = *k;
    padded.Count = c.n.Count;
    test::PrimePointOpCounts() = {};
    ASSERT_EQ(0, EcPointMulPrime(c.gx, c.gy, c.p, c.a, padded, c.params->FieldId, x, y));
    doublings.push_back(test::PrimePointOpCounts().doublings);
    additions.push_back(test::PrimePointOpCounts().additions);
  }
  EXPECT_EQ(doublings[3], doublings[4]);
  EXPECT_EQ(doublings[3], doublings[5]);
  EXPECT_EQ(additions[3], additions[4]);
  EXPECT_EQ(additions[3], additions[5]);
  EXPECT_EQ(doublings[0], doublings[1]);
  EXPECT_EQ(doublings[0], doublings[2]);
  EXPECT_EQ(additions[0], additions[1]);
  EXPECT_EQ(additions[0], additions[2]);
  std::string output;
  ASSERT_TRUE(RunPython(kEcdsaOracle, "", input.str(), &output));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(3u, lines.size());
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(2u, lines[i].size());
    const std::string expected = Bytes(FromHex(lines[i][0]), 32) + Bytes(FromHex(lines[i][1]), 32);
    EXPECT_EQ(testing_support::ToHex(expected.substr(0, 32)) + " " + testing_support::ToHex(expected.substr(32)),
              signatures[i]);
  }
}

TEST_F(FixedNonce, ZeroSIsDrawnAgainAndAFailingSourceIsAnError) {
  Curve c(0);
  std::mt19937_64 rng(11);
  const F d = RandomBelow(c.n, rng);
  KeyPair key;
  MakeKey(0, d, key);
  // e = -r d mod n makes s zero for the first nonce; r comes from OpenSSL's k1 G.
  const F k1 = RandomBelow(c.n, rng), k2 = RandomBelow(c.n, rng);
  const EC_GROUP* group = EC_KEY_get0_group(key.openssl);
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *bk = ToBn(k1), *bd = ToBn(d), *bn = ToBn(c.n), *x = BN_new(), *e = BN_new();
  EC_POINT* point = EC_POINT_new(group);
  ASSERT_EQ(1, EC_POINT_mul(group, point, bk, nullptr, nullptr, ctx));
  ASSERT_EQ(1, EC_POINT_get_affine_coordinates(group, point, x, nullptr, ctx));
  ASSERT_EQ(1, BN_mod_mul(e, x, bd, bn, ctx));
  ASSERT_EQ(1, BN_mod_sub(e, bn, e, bn, ctx));
  const std::string digest = Bytes(FromBn(e), 32);
  queue_.nonces = {Bytes(k1, 32), Bytes(k2, 32)};
  core::Buffer raw;
  ASSERT_EQ(0, key.engine.Sign(U8(digest), Len(digest), raw));
  EXPECT_EQ(2u, queue_.next);
  BIGNUM* bk2 = ToBn(k2);
  ASSERT_EQ(1, EC_POINT_mul(group, point, bk2, nullptr, nullptr, ctx));
  ASSERT_EQ(1, EC_POINT_get_affine_coordinates(group, point, x, nullptr, ctx));
  EXPECT_EQ(Bytes(FromBn(x), 32), testing_support::Text(raw).substr(0, 32));
  // The source fails: an error, and nothing written.
  core::Buffer untouched;
  EXPECT_EQ(kEcRandomFailed, key.engine.Sign(U8(digest), Len(digest), untouched));
  EXPECT_EQ(0, untouched.Length());
  EC_POINT_free(point);
  for (BIGNUM* b : {bk, bd, bn, x, e, bk2}) BN_free(b);
  BN_CTX_free(ctx);
}

TEST(Ecdsa, OutOfRangeValuesAreInvalidNotErrors) {
  Curve c(0);
  std::mt19937_64 rng(3);
  KeyPair key;
  MakeKey(0, RandomBelow(c.n, rng), key);
  const std::string digest = Sha(rng, 32);
  core::Buffer raw;
  ASSERT_EQ(0, key.engine.Sign(U8(digest), Len(digest), raw));
  const std::string sig = testing_support::Text(raw), r = sig.substr(0, 32), s = sig.substr(32);
  const std::string zero(32, '\0'), n = Bytes(c.n, 32);
  auto verdict = [&](const std::string& signature, const std::string& hash) {
    int32_t valid = -1;
    EXPECT_EQ(0, key.engine.Verify(U8(hash), Len(hash), U8(signature), Len(signature), valid));
    return valid;
  };
  EXPECT_EQ(1, verdict(r + s, digest));
  // An odd-length raw signature splits at half its length, rounded down: the extra byte goes to s.
  EXPECT_EQ(1, verdict(r + std::string(1, '\0') + s, digest));
  EXPECT_EQ(0, verdict(std::string(1, '\0') + r + s, digest));
  for (const std::string& bad : {zero + s, r + zero, n + s, r + n, std::string(1, '\x30')}) {
    EXPECT_EQ(0, verdict(bad, digest));
  }
  // DER with r padded by zero bytes still verifies; r with a nonzero byte more than n has does not.
  auto der = [](const std::string& a, const std::string& b) {
    std::string out = "\x30" + std::string(1, static_cast<char>(a.size() + b.size() + 4));
    out += "\x02" + std::string(1, static_cast<char>(a.size())) + a;
    return out + "\x02" + std::string(1, static_cast<char>(b.size())) + b;
  };
  EXPECT_EQ(1, verdict(der(std::string(3, '\0') + r, s), digest));
  EXPECT_EQ(0, verdict(der(std::string(1, '\x01') + r, s), digest));
  // A digest beyond 1,536 bytes is refused before any conversion.
  const std::string huge(1537, '\x5a');
  EXPECT_EQ(0, verdict(r + s, huge));
  core::Buffer out;
  EXPECT_EQ(kFixedTooLong, key.engine.Sign(U8(huge), Len(huge), out));
  // The whole digest reduced modulo n (DER with the reduction flag) verifies against OpenSSL given
  // e mod n as the digest.
  const std::string long_digest = Sha(rng, 64);
  key.engine.DerSignatures = 1;
  key.engine.ReduceHashModOrder = 1;
  core::Buffer reduced;
  ASSERT_EQ(0, key.engine.Sign(U8(long_digest), Len(long_digest), reduced));
  F e, e_mod_n;
  ASSERT_EQ(0, F::FromBytes(U8(long_digest), 64, e));
  ASSERT_EQ(0, F::Mod(e, c.n, e_mod_n));
  const std::string e_bytes = Bytes(e_mod_n, 32), reduced_text = testing_support::Text(reduced);
  EXPECT_EQ(1, ECDSA_verify(0, U8(e_bytes), 32, U8(reduced_text), Len(reduced_text), key.openssl));
  EXPECT_EQ(1, verdict(reduced_text, long_digest));
}

TEST(Ecdsa, BinaryCurvesInteroperateWithOpenssl) {
  // sect163k1, sect283k1 and sect571k1 reduce by their own polynomials, sect193r1 generically.
  const std::pair<uint32_t, const char*> kCurves[] = {
      {19, "sect163k1"}, {27, "sect283k1"}, {31, "sect571k1"}, {22, "sect193r1"}};
  const uint64_t seed = testing_support::FuzzSeed();
  std::mt19937_64 rng(seed);
  for (const auto& [id, name] : kCurves) {
    SCOPED_TRACE(std::string(name) + " seed " + std::to_string(seed));
    CurveParams curve(id);
    ASSERT_TRUE(IsCompleteCurve(curve));
    EC_KEY* key = EC_KEY_new_by_curve_name(OBJ_sn2nid(name));
    ASSERT_NE(nullptr, key);
    ASSERT_EQ(1, EC_KEY_generate_key(key));
    BIGNUM *x = BN_new(), *y = BN_new();
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key), x, y, nullptr));
    core::Buffer d, qx, qy;
    const F d_value = FromBn(EC_KEY_get0_private_key(key)), x_value = FromBn(x), y_value = FromBn(y);
    ASSERT_EQ(0, F::ToBytes(d_value, (F::BitLength(d_value) + 7) / 8, d));
    ASSERT_EQ(0, F::ToBytes(x_value, (F::BitLength(x_value) + 7) / 8, qx));
    ASSERT_EQ(0, F::ToBytes(y_value, (F::BitLength(y_value) + 7) / 8, qy));
    const std::string digest = Sha(rng, 32);
    core::Buffer der;
    ASSERT_EQ(0, EcdsaSignOnCurve(curve, d, U8(digest), Len(digest), EcdsaSettings{1, 0}, der));
    const std::string ours = testing_support::Text(der);
    EXPECT_EQ(1, ECDSA_verify(0, U8(digest), Len(digest), U8(ours), Len(ours), key));
    unsigned char signature[256];
    unsigned int length = sizeof signature;
    ASSERT_EQ(1, ECDSA_sign(0, U8(digest), Len(digest), signature, &length, key));
    std::string theirs(reinterpret_cast<char*>(signature), length);
    for (int flip = 0; flip < 2; ++flip) {
      int32_t valid = -1;
      ASSERT_EQ(0, EcdsaVerifyOnCurve(curve, qx, qy, U8(digest), Len(digest), U8(theirs), Len(theirs),
                                      EcdsaSettings{}, valid));
      EXPECT_EQ(1 - flip, valid);
      theirs[theirs.size() - 2] ^= 4;
    }
    BN_free(x);
    BN_free(y);
    EC_KEY_free(key);
  }
}

}  // namespace
}  // namespace velmora::crypto
