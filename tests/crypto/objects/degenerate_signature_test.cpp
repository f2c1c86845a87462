// Every signature verification of the security core against degenerate input: signature values of 0,
// 1, the modulus or order and one past it, their sums with it, negative and overlong DER integers,
// malformed DER, and public keys that are no usable key (RSA e = 1; DSA y = 0, 1, p - 1, p; the EC
// point (0, 0), a point off the curve, coordinates of p or more; EdDSA and Schnorr encodings that do
// not decode). Where a degenerate key admits a forgery, the probe carries that forgery: a signature
// made with the private value 0 (DSA, ECDSA) or the encoded block itself (e = 1). Nothing may verify;
// each row's answer code is in its failure message, and VELMORA_PRINT_VERDICTS=1 prints the table.
// Keys: tests/data/crypto/pubkey/key_class_keys.txt and our own EC key generation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "component/component_base.h"
#include "crypto/bn/big_int.h"
#include "crypto/dsa/dsa_engine.h"
#include "crypto/ec/ec_curve_ops.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/ecdsa.h"
#include "crypto/curve25519/ed25519_eddsa.h"
#include "crypto/curve25519/ed25519_group.h"
#include "crypto/curve448/ed448.h"
#include "crypto/curve448/ed448_group.h"
#include "crypto/objects/key_creation.h"
#include "crypto/rsa/rsa_engine.h"
#include "crypto/curve448/schnorr448.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/sign_by_key.h"
#include "pki/certificate_signature.h"
#include "crypto/objects/hash_objects.h"
#include "tests/component/configurable.h"
#include "tests/crypto/small_order_points.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using Bytes = std::string;

const uint8_t* U8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }
int32_t Len(const Bytes& b) { return static_cast<int32_t>(b.size()); }
Bytes Of(const core::BufferCore& b) { return Bytes(b.Data(), static_cast<size_t>(b.Length())); }
void Put(core::BufferCore& b, const Bytes& bytes) { ASSERT_EQ(b.SetData(Len(bytes), bytes.data()), 0); }
// Held: bytes in a Buffer, for the arguments that take one.
struct Held : core::Buffer {
  explicit Held(const std::string& bytes) { EXPECT_EQ(SetData(Len(bytes), bytes.data()), 0); }
};

// Unsigned big-endian numbers through BigInt.
BigInt Num(const Bytes& be) {
  BigInt v;
  EXPECT_EQ(BigInt::FromBytes(U8(be), Len(be), 1, v), 0);
  return v;
}
BigInt Num(int64_t small) {
  BigInt v;
  EXPECT_EQ(BigInt::FromInt64(small, v), 0);
  return v;
}
BigInt Sum(const BigInt& a, const BigInt& b) {
  BigInt v;
  EXPECT_EQ(BigInt::Add(a, b, v), 0);
  return v;
}
BigInt Neg(const BigInt& a) {
  BigInt v;
  EXPECT_EQ(a.Negate(v), 0);
  return v;
}
// DerContent: the two's-complement content of a DER INTEGER (a 00 before a top bit, negatives as such).
Bytes DerContent(const BigInt& v) {
  core::Buffer out;
  EXPECT_EQ(v.ToBytes(out), 0);
  return Of(out);
}
// Fixed: the value as exactly width unsigned big-endian bytes (wider values keep their length).
Bytes Fixed(const BigInt& v, size_t width) {
  Bytes b = DerContent(v);
  while (b.size() > 1 && b[0] == '\0') b.erase(0, 1);
  return b.size() < width ? Bytes(width - b.size(), '\0') + b : b;
}
Bytes Der(const Bytes& r, const Bytes& s) {
  const Bytes body = "\x02" + Bytes(1, static_cast<char>(r.size())) + r + "\x02" + Bytes(1, static_cast<char>(s.size())) + s;
  return "\x30" + Bytes(1, static_cast<char>(body.size())) + body;
}
// Little-endian sum of two scalars of the same width (the carry out is dropped).
Bytes AddLittleEndian(const Bytes& a, const Bytes& b) {
  Bytes out(a.size(), '\0');
  unsigned carry = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    carry += static_cast<uint8_t>(a[i]) + static_cast<uint8_t>(i < b.size() ? b[i] : 0);
    out[i] = static_cast<char>(carry & 0xFF);
    carry >>= 8;
  }
  return out;
}

// One probe's answer: the status (or return) code, the verdict flag, and whether that means "verified".
struct Row {
  std::string function;
  std::string input;
  int code;
  int32_t verdict;
  bool verified;
};

class Table {
 public:
  void Add(const std::string& function, const std::string& input, int code, int32_t verdict, bool verified) {
    rows_.push_back({function, input, code, verdict, verified});
  }
  // The usual shape: status 0 with a verdict flag of 1 is a signature that verifies.
  void AddFlag(const std::string& function, const std::string& input, int code, int32_t valid) {
    Add(function, input, code, valid, code == 0 && valid == 1);
  }
  ~Table() {
    const bool print = std::getenv("VELMORA_PRINT_VERDICTS") != nullptr;
    for (const Row& row : rows_) {
      if (print) std::cout << row.function << " | " << row.input << " | code " << row.code << " | verdict " << row.verdict << "\n";
      EXPECT_FALSE(row.verified) << row.function << " verified " << row.input << " (code " << row.code << ", verdict "
                                 << row.verdict << ")";
    }
  }

 private:
  std::vector<Row> rows_;
};

// The committed RSA and DSA keys.
struct CommittedKeys {
  RsaKeyParams rsa;
  DsaKeyParams dsa;
  CommittedKeys() {
    auto keys = testing_support::ReadVectors(
        std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/key_class_keys.txt",
        {"Algorithm", "Modulus", "Exponent", "D", "P", "Q", "G", "Y", "X"});
    EXPECT_EQ(keys.size(), 2u);
    if (keys.size() != 2u) return;
    EXPECT_EQ(keys[0].Get("Algorithm") + keys[1].Get("Algorithm"), "RSADSA");
    for (auto [field, name] : {std::pair<core::BufferCore*, const char*>{&rsa.Modulus, "Modulus"},
                               {&rsa.Exponent, "Exponent"}, {&rsa.D, "D"}, {&rsa.P, "P"}, {&rsa.Q, "Q"}}) {
      Put(*field, keys[0].Bytes(name));
    }
    for (auto [field, name] : {std::pair<core::BufferCore*, const char*>{&dsa.P, "P"}, {&dsa.Q, "Q"},
                               {&dsa.G, "G"}, {&dsa.Y, "Y"}, {&dsa.X, "X"}}) {
      Put(*field, keys[1].Bytes(name));
    }
  }
};

// The RSA signature values every verification gets, by name; "+ n" is the genuine signature plus the
// modulus, which only a missing range check reduces back to the genuine one.
std::vector<std::pair<std::string, Bytes>> RsaDegenerateValues(const Bytes& modulus, const Bytes& genuine) {
  const BigInt n = Num(modulus);
  const size_t k = modulus.size();
  return {{"empty", ""},
          {"0", Bytes(k, '\0')},
          {"1", Fixed(Num(1), k)},
          {"n - 1", Fixed(Sum(n, Num(-1)), k)},
          {"n", modulus},
          {"n + 1", Fixed(Sum(n, Num(1)), k)},
          {"all 0xff, k bytes", Bytes(k, '\xff')},
          {"0xff, k + 1 bytes", Bytes(k + 1, '\xff')},
          {"genuine + n", Fixed(Sum(Num(genuine), n), k)}};
}

// The PKCS #1 v1.5 block 00 01 FF .. 00 DigestInfo digest, k bytes: the signature of the digest under e = 1.
Bytes Pkcs1Block(const Bytes& digest, size_t k) {
  core::Buffer prefix;
  EXPECT_EQ(AppendDigestInfoPrefix("SHA256", prefix), 0);
  const Bytes info = Of(prefix) + digest;
  return Bytes("\x00\x01", 2) + Bytes(k - info.size() - 3, '\xff') + Bytes(1, '\0') + info;
}

TEST(DegenerateSignatures, RsaVerifiesNone) {
  const CommittedKeys keys;
  const RsaKeyParams& key = keys.rsa;
  RsaEngine engine;
  ASSERT_EQ(engine.SetKeyParams(key), 0);
  const Bytes modulus = Of(key.Modulus), digest(32, '\x5a');
  const BigInt n = Num(modulus);
  core::Buffer signed_v15;
  ASSERT_EQ(engine.Sign(U8(digest), 32, "SHA256", signed_v15, 0, 0), 0);
  // A PSS signature with room for + n inside k bytes, where the length check does not already refuse it.
  Bytes pss;
  for (int i = 0; i < 200 && pss.empty(); ++i) {
    core::Buffer out;
    ASSERT_EQ(engine.Sign(U8(digest), 32, "SHA256", out, 1, 32), 0);
    if (Sum(Num(Of(out)), n).BitLength() <= 8 * Len(modulus)) pss = Of(out);
  }
  ASSERT_FALSE(pss.empty());

  using Verify = std::function<std::pair<int, int32_t>(RsaEngine&, const Bytes&)>;
  const std::vector<std::pair<std::string, Verify>> functions = {
      {"RsaVerifyPkcs1v15",
       [&](RsaEngine& e, const Bytes& sig) {
         core::Buffer prefix;
         EXPECT_EQ(AppendDigestInfoPrefix("SHA256", prefix), 0);
         int32_t valid = -1;
         const int rc = RsaVerifyPkcs1v15(e, U8(digest), 32, prefix, U8(sig), Len(sig), 1, valid);
         return std::make_pair(rc, valid);
       }},
      {"RsaEngine::Verify v1.5",
       [&](RsaEngine& e, const Bytes& sig) {
         int32_t valid = -1;
         const int rc = e.Verify(U8(digest), 32, "SHA256", U8(sig), Len(sig), valid, 0, 0, 1);
         return std::make_pair(rc, valid);
       }},
      {"RsaVerifyPss",
       [&](RsaEngine& e, const Bytes& sig) {
         int32_t valid = -1;
         const int rc = RsaVerifyPss(e, U8(digest), 32, "SHA256", 32, U8(sig), Len(sig), valid);
         return std::make_pair(rc, valid);
       }},
      {"RsaEngine::Verify PSS",
       [&](RsaEngine& e, const Bytes& sig) {
         int32_t valid = -1;
         const int rc = e.Verify(U8(digest), 32, "SHA256", U8(sig), Len(sig), valid, 1, 32, 1);
         return std::make_pair(rc, valid);
       }},
  };
  Table table;
  for (const auto& [name, verify] : functions) {
    const bool is_pss = name.find("PSS") != std::string::npos || name.find("Pss") != std::string::npos;
    const Bytes genuine = is_pss ? pss : Of(signed_v15);
    ASSERT_EQ(verify(engine, genuine), std::make_pair(0, int32_t{1})) << name << ": the genuine signature";
    for (const auto& [input, sig] : RsaDegenerateValues(modulus, genuine)) {
      const auto [rc, valid] = verify(engine, sig);
      table.AddFlag(name, "s = " + input, rc, valid);
    }
  }

  // e = 1 makes every block its own signature.
  RsaKeyParams weak;
  Put(weak.Modulus, modulus);
  Put(weak.Exponent, Bytes(1, '\1'));
  RsaEngine weak_engine;
  const int set = weak_engine.SetKeyParams(weak);
  table.Add("RsaEngine::SetKeyParams", "e = 1 (taken; the verifications below refuse it)", set, 0, false);
  if (set == 0) {
    const Bytes block = Pkcs1Block(digest, modulus.size());
    for (size_t i = 0; i < 2; ++i) {
      const auto [rc, valid] = functions[i].second(weak_engine, block);
      table.AddFlag(functions[i].first, "e = 1, s = the v1.5 block", rc, valid);
    }
  }
}

TEST(DegenerateSignatures, DsaVerifiesNone) {
  const CommittedKeys keys;
  const DsaKeyParams& key = keys.dsa;
  DsaEngine engine;
  ASSERT_EQ(engine.SetKeyParams(key), 0);
  const Bytes digest(20, '\x3c'), p_bytes = Of(key.P), q_bytes = Of(key.Q);
  const BigInt p = Num(p_bytes), q = Num(q_bytes);
  core::Buffer signed_raw;
  ASSERT_EQ(engine.Sign(U8(digest), 20, signed_raw), 0);
  ASSERT_EQ(signed_raw.Length(), 40);
  const Bytes r = Of(signed_raw).substr(0, 20), s = Of(signed_raw).substr(20);
  auto verify = [&](DsaEngine& e, const Bytes& sig) {
    int32_t result = -1;
    const int rc = e.Verify(U8(digest), 20, U8(sig), Len(sig), &result);
    return std::make_pair(rc, result);
  };
  ASSERT_EQ(verify(engine, r + s), std::make_pair(0, int32_t{1}));
  ASSERT_EQ(verify(engine, Der(DerContent(Num(r)), DerContent(Num(s)))), std::make_pair(0, int32_t{1}));

  const Bytes zero(20, '\0'), q1 = Fixed(Sum(q, Num(1)), 20);
  const Bytes der = Der(DerContent(Num(r)), DerContent(Num(s)));
  const std::vector<std::pair<std::string, Bytes>> signatures = {
      {"empty", ""},
      {"raw r = 0", zero + s},
      {"raw s = 0", r + zero},
      {"raw r = q", q_bytes + s},
      {"raw s = q", r + q_bytes},
      {"raw r = q + 1", q1 + s},
      {"raw s = q + 1", r + q1},
      {"raw r = s = all 0xff", Bytes(40, '\xff')},
      {"DER r = 0", Der(Bytes(1, '\0'), DerContent(Num(s)))},
      {"DER s = 0", Der(DerContent(Num(r)), Bytes(1, '\0'))},
      {"DER r = q", Der(DerContent(q), DerContent(Num(s)))},
      {"DER s = q", Der(DerContent(Num(r)), DerContent(q))},
      {"DER r = q + 1", Der(DerContent(Sum(q, Num(1))), DerContent(Num(s)))},
      {"DER r = r + q", Der(DerContent(Sum(Num(r), q)), DerContent(Num(s)))},
      {"DER s = s + q", Der(DerContent(Num(r)), DerContent(Sum(Num(s), q)))},
      {"DER r = -r", Der(DerContent(Neg(Num(r))), DerContent(Num(s)))},
      {"DER s = -s", Der(DerContent(Num(r)), DerContent(Neg(Num(s))))},
      {"DER r too long (01 || r)", Der("\x01" + r, DerContent(Num(s)))},
      {"DER empty SEQUENCE", Bytes("\x30\x00", 2)},
      {"DER r length past the end", der.substr(0, 3) + "\x7f" + der.substr(4)},
      {"DER cut short by one byte", der.substr(0, der.size() - 1)},
  };
  Table table;
  for (const auto& [input, sig] : signatures) {
    const auto [rc, result] = verify(engine, sig);
    table.AddFlag("DsaEngine::Verify", input, rc, result);
  }

  // A key whose y is 0, 1, p - 1 or p, against a signature made with x = q (that is, x = 0 mod q): it
  // satisfies the verification equation under y = 1, and under y = p - 1 when u2 = r / s is even.
  DsaEngine zero_signer;
  DsaKeyParams zero_key;
  ASSERT_EQ(zero_key.CopyFrom(key), 0);
  Put(zero_key.X, q_bytes);
  ASSERT_EQ(zero_key.Y.Clear(), 0);
  ASSERT_EQ(zero_signer.SetKeyParams(zero_key), 0);
  Bytes forged;
  for (int i = 0; i < 64 && forged.empty(); ++i) {
    core::Buffer out;
    ASSERT_EQ(zero_signer.Sign(U8(digest), 20, out), 0);
    BigInt w, u2, half;
    uint32_t odd = 1;
    ASSERT_EQ(BigInt::ModInverse(Num(Of(out).substr(20)), q, w), 0);
    ASSERT_EQ(BigInt::Multiply(Num(Of(out).substr(0, 20)), w, u2), 0);
    ASSERT_EQ(BigInt::Mod(u2, q, u2), 0);
    ASSERT_EQ(BigInt::DivModWord(u2, 2, half, &odd), 0);
    if (odd == 0) forged = Of(out);
  }
  ASSERT_FALSE(forged.empty());
  const std::vector<std::pair<std::string, Bytes>> ys = {
      {"0", Bytes(1, '\0')}, {"1", Bytes(1, '\1')}, {"p - 1", Fixed(Sum(p, Num(-1)), p_bytes.size())}, {"p", p_bytes}};
  for (const auto& [name, y] : ys) {
    DsaKeyParams degenerate;
    ASSERT_EQ(degenerate.CopyFrom(key), 0);
    Put(degenerate.Y, y);
    ASSERT_EQ(degenerate.X.Clear(), 0);
    DsaEngine e;
    const int set = e.SetKeyParams(degenerate);
    if (set != 0) {
      table.Add("DsaEngine::SetKeyParams", "y = " + name, set, 0, false);
      continue;
    }
    const auto [rc, result] = verify(e, forged);
    table.AddFlag("DsaEngine::Verify", "y = " + name + ", signature with x = 0 mod q", rc, result);
  }
}

// An EC key of the curve with its public point and the raw signature of the digest.
struct EcCase {
  std::string curve_name;
  const CurveParams* curve;
  Bytes x, y, signature;
  int32_t key_type;  // -1: no key type, the curve only (binary curves)
};

EcCase MakeEcCase(const std::string& name, int32_t key_type, uint32_t curve_id, const Bytes& digest) {
  EcCase c{name, nullptr, {}, {}, {}, key_type};
  core::SecureBuffer d;
  if (key_type >= 0) {
    EcKeyParams key;
    EXPECT_EQ(CngCreateEccKey(key_type, key), 0);
    c.curve = key.GetCurve();
    c.x = Of(key.X);
    c.y = Of(key.Y);
    EXPECT_EQ(d.Assign(key.D), 0);
  } else {
    // Binary curves are not in the key table: the curve is built once and kept.
    static const CurveParams binary(curve_id);
    c.curve = &binary;
    // d = 1 || 0x5a.. below n: the order's length less one byte.
    const Bytes d_bytes = "\x01" + Bytes(static_cast<size_t>(c.curve->Order.Length() - 2), '\x5a');
    EXPECT_EQ(d.SetData(Len(d_bytes), d_bytes.data()), 0);
    bool infinity = true;
    core::Buffer x, y;
    EXPECT_EQ(EcCurveMultiplyBase(*c.curve, d, infinity, x, y), 0);
    EXPECT_FALSE(infinity);
    c.x = Of(x);
    c.y = Of(y);
  }
  core::Buffer sig;
  EXPECT_EQ(EcdsaSignOnCurve(*c.curve, d, U8(digest), Len(digest), EcdsaSettings{}, sig), 0);
  c.signature = Of(sig);
  return c;
}

// SignWithZero: the raw signature of the digest made with the private scalar 0, which verifies under a
// public point that the multiplication takes for the neutral element.
Bytes SignWithZero(const CurveParams& curve, const Bytes& digest) {
  core::SecureBuffer zero;
  EXPECT_EQ(zero.AppendByte(0), 0);
  core::Buffer sig;
  EXPECT_EQ(EcdsaSignOnCurve(curve, zero, U8(digest), Len(digest), EcdsaSettings{}, sig), 0);
  return Of(sig);
}

TEST(DegenerateSignatures, EcdsaVerifiesNone) {
  const Bytes digest(32, '\x42');
  Table table;
  std::vector<EcCase> cases = {MakeEcCase("P-256", 0, 0, digest), MakeEcCase("P-521", 2, 0, digest),
                               MakeEcCase("sect163k1", -1, 19, digest)};
  for (const EcCase& c : cases) {
    ASSERT_NE(c.curve, nullptr) << c.curve_name;
    const Bytes n = Of(c.curve->Order);
    const size_t half = c.signature.size() / 2;
    const Bytes r = c.signature.substr(0, half), s = c.signature.substr(half);
    const BigInt nn = Num(n);
    const Bytes zero(half, '\0'), n_fixed = Fixed(nn, half);
    const Bytes der = Der(DerContent(Num(r)), DerContent(Num(s)));

    // The three entry points, each on a public point (x, y): the engine's two (P-256 and P-521 only) and
    // the curve-level one.
    using Verify = std::function<std::pair<int, int32_t>(const Bytes&, const Bytes&, const Bytes&)>;
    std::vector<std::pair<std::string, Verify>> functions;
    auto on_engine = [&](bool through_verify) -> Verify {
      return [&, through_verify](const Bytes& x, const Bytes& y, const Bytes& sig) {
        EcKeyParams key;
        key.KeyType = c.key_type;
        Put(key.X, x);
        Put(key.Y, y);
        EccEngine engine;
        const int set = engine.SetKeyParams(key);
        if (set != 0) return std::make_pair(set, int32_t{0});
        int32_t valid = -1;
        const int rc = through_verify ? engine.Verify(U8(digest), 32, U8(sig), Len(sig), valid)
                                      : engine.EcdsaVerify(U8(digest), 32, U8(sig), Len(sig), valid);
        return std::make_pair(rc, valid);
      };
    };
    if (c.key_type >= 0) {
      functions.emplace_back("EccEngine::Verify", on_engine(true));
      functions.emplace_back("EccEngine::EcdsaVerify", on_engine(false));
    }
    functions.emplace_back("EcdsaVerifyOnCurve", [&](const Bytes& x, const Bytes& y, const Bytes& sig) {
      int32_t valid = -1;
      const int rc = EcdsaVerifyOnCurve(*c.curve, Held(x), Held(y), U8(digest), 32, U8(sig), Len(sig), EcdsaSettings{},
                                        valid);
      return std::make_pair(rc, valid);
    });

    // Public points: off the curve, (0, 0) with a signature made with d = 0, and, where p is short of
    // the field length (P-521), the genuine point with p added to a coordinate.
    std::vector<std::tuple<std::string, Bytes, Bytes, Bytes>> keys;
    Bytes y_off = c.y;
    y_off.back() = static_cast<char>(y_off.back() ^ 1);
    keys.emplace_back("Q = (x, y ^ 1), off the curve", c.x, y_off, c.signature);
    keys.emplace_back("Q = (0, 0), signature with d = 0", Bytes(1, '\0'), Bytes(1, '\0'), SignWithZero(*c.curve, digest));
    const BigInt p = Num(Of(c.curve->Field));
    if (c.curve_name == "P-521") {
      keys.emplace_back("Q = (x + p, y)", Fixed(Sum(Num(c.x), p), c.x.size()), c.y, c.signature);
      keys.emplace_back("Q = (x, y + p)", c.x, Fixed(Sum(Num(c.y), p), c.y.size()), c.signature);
    }

    const std::vector<std::pair<std::string, Bytes>> signatures = {
        {"empty", ""},
        {"one byte", Bytes(1, '\x01')},
        {"raw r = 0", zero + s},
        {"raw s = 0", r + zero},
        {"raw r = n", n_fixed + s},
        {"raw s = n", r + n_fixed},
        {"raw r = s = all 0xff", Bytes(2 * half, '\xff')},
        {"DER r = 0", Der(Bytes(1, '\0'), DerContent(Num(s)))},
        {"DER s = 0", Der(DerContent(Num(r)), Bytes(1, '\0'))},
        {"DER r = n", Der(DerContent(nn), DerContent(Num(s)))},
        {"DER s = n", Der(DerContent(Num(r)), DerContent(nn))},
        {"DER r = r + n", Der(DerContent(Sum(Num(r), nn)), DerContent(Num(s)))},
        {"DER s = s + n", Der(DerContent(Num(r)), DerContent(Sum(Num(s), nn)))},
        {"DER r = -r", Der(DerContent(Neg(Num(r))), DerContent(Num(s)))},
        {"DER s = -s", Der(DerContent(Num(r)), DerContent(Neg(Num(s))))},
        {"DER empty SEQUENCE", Bytes("\x30\x00", 2)},
        {"DER r length past the end", der.substr(0, 3) + "\x7f" + der.substr(4)},
        {"DER cut short by one byte", der.substr(0, der.size() - 1)},
    };
    for (const auto& [name, verify] : functions) {
      const std::string label = name + " " + c.curve_name;
      ASSERT_EQ(verify(c.x, c.y, c.signature), std::make_pair(0, int32_t{1})) << label << ": the genuine signature";
      for (const auto& [input, sig] : signatures) {
        const auto [rc, valid] = verify(c.x, c.y, sig);
        table.AddFlag(label, input, rc, valid);
      }
      for (const auto& [input, x, y, sig] : keys) {
        const auto [rc, valid] = verify(x, y, sig);
        table.AddFlag(label, input, rc, valid);
      }
    }
  }
  // The SEC 1 encoding of the neutral element is refused at key intake.
  EcKeyParams key;
  key.KeyType = 0;
  const int set = key.SetPublicPoint(Held(Bytes(1, '\0')));
  table.Add("EcKeyParams::SetPublicPoint", "the point at infinity (00)", set, set == 0 ? 1 : 0, set == 0);
}

// What the EdDSA and Schnorr tests do not already cover: S of L and above where the decoder refuses it,
// and encodings of R or A that do not decode.
TEST(DegenerateSignatures, EdwardsAndSchnorrVerifyNone) {
  Table table;
  const Bytes message = "message";
  // The smallest y >= 2 whose x^2 is not a square, from the group's own decoder.
  auto undecodable = [](size_t length, auto decodes) {
    for (uint8_t y = 2; y < 255; ++y) {
      Bytes encoding(length, '\0');
      encoding[0] = static_cast<char>(y);
      if (!decodes(encoding)) return encoding;
    }
    ADD_FAILURE() << "every small y decodes";
    return Bytes();
  };

  const Held private_25519(Bytes(32, '\x11'));
  core::Buffer public_25519, sig_25519;
  ASSERT_EQ(Ed25519PublicFromPrivate(private_25519, public_25519), 0);
  const Bytes a = Of(public_25519);
  ASSERT_EQ(Ed25519Sign(U8(message), 7, U8(a), 32, private_25519.Bytes(), 32, sig_25519), 0);
  const Bytes sig = Of(sig_25519);
  ASSERT_EQ(Ed25519Verify(U8(message), 7, U8(a), 32, U8(sig), 64), 1);
  const Bytes bad25519 = undecodable(32, [](const Bytes& e) {
    Ed25519PointP3 point;
    return Ed25519PointFromBytesNegate(point, U8(e), 32) == 1;
  });
  for (const auto& [input, key, signature] : std::vector<std::tuple<std::string, Bytes, Bytes>>{
           {"R does not decode", a, bad25519 + sig.substr(32)},
           {"A does not decode", bad25519, sig},
           {"S = all 0xff", a, sig.substr(0, 32) + Bytes(32, '\xff')}}) {
    const int rc = Ed25519Verify(U8(message), 7, U8(key), 32, U8(signature), 64);
    table.Add("Ed25519Verify", input, rc, rc, rc == 1);
  }

  const Held private_448(Bytes(57, '\x22'));
  core::Buffer public_448, sig_448;
  ASSERT_EQ(Ed448PublicFromPrivate(private_448, public_448), 0);
  const Bytes a448 = Of(public_448);
  ASSERT_EQ(Ed448Sign(U8(message), 7, nullptr, 0, U8(a448), 57, private_448.Bytes(), 57, sig_448), 0);
  ASSERT_EQ(Ed448Verify(U8(message), 7, nullptr, 0, U8(a448), 57, sig_448.Bytes(), 114), 1);
  const Bytes bad448 = undecodable(57, [](const Bytes& e) {
    Ed448Point point;
    return Ed448PointFromBytes(point, U8(e), 57) == 1;
  });
  for (const auto& [input, key] : std::vector<std::pair<std::string, Bytes>>{
           {"A does not decode", bad448}, {"A with y of p or more (all 0xff)", Bytes(56, '\xff') + Bytes(1, '\0')}}) {
    const int rc = Ed448Verify(U8(message), 7, nullptr, 0, U8(key), 57, sig_448.Bytes(), 114);
    table.Add("Ed448Verify", input, rc, rc, rc == 1);
  }

  const Bytes seed(32, '\x33');
  core::SecureBuffer record;
  ASSERT_EQ(Schnorr448KeyPair(U8(seed), 32, record), 0);
  core::Buffer schnorr;
  ASSERT_EQ(Schnorr448Sign(U8(message), 7, record.Bytes(), record.Length(), schnorr), 0);
  const Bytes a_schnorr = Of(record).substr(56, 56), sig_schnorr = Of(schnorr);
  ASSERT_EQ(Schnorr448Verify(U8(message), 7, U8(a_schnorr), 56, U8(sig_schnorr), 112), 1);
  const Bytes l = testing_support::SmallOrderPoints("edwards448").order.substr(0, 56);
  for (const auto& [input, s] : std::vector<std::pair<std::string, Bytes>>{
           {"s = L", l}, {"s = s + L", AddLittleEndian(sig_schnorr.substr(56), l)}, {"s = all 0xff", Bytes(56, '\xff')}}) {
    const Bytes signature = sig_schnorr.substr(0, 56) + s;
    const int rc = Schnorr448Verify(U8(message), 7, U8(a_schnorr), 56, U8(signature), 112);
    table.Add("Schnorr448Verify", input, rc, rc, rc == 1);
  }
}

// The certificate path: the RSA and ECDSA degenerate signatures through VerifyWithKeyRecord and
// VerifySignatureByAlgorithm, with records filled as certificate parsing fills them.
class DegenerateCertificateSignatures : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(settings_.Set("UseInternalCryptoAPI=true"), 0); }
  void TearDown() override { EXPECT_EQ(settings_.Set("UseInternalCryptoAPI=false"), 0); }

  // Verify runs one signature through both entry points into the table; 0 is "verifies".
  void Verify(Table& table, const KeyRecord& key, const char* key_oid, const char* signature_oid,
              const std::string& input, const Bytes& signature) {
    const auto [by_record, by_algorithm] = Answers(key, key_oid, signature_oid, signature);
    table.Add("VerifyWithKeyRecord", input, by_record, by_record == 0 ? 1 : 0, by_record == 0);
    table.Add("VerifySignatureByAlgorithm", input, by_algorithm, by_algorithm == 0 ? 1 : 0, by_algorithm == 0);
  }
  std::pair<int, int> Answers(const KeyRecord& key, const char* key_oid, const char* signature_oid,
                              const Bytes& signature) {
    pki::AlgorithmIdentifier algorithm;
    EXPECT_EQ(algorithm.oid.SetString(signature_oid), 0);
    const int by_record = VerifyWithKeyRecord(key, Held(signature), data_, algorithm);
    pki::Certificate certificate, issuer;
    EXPECT_EQ(certificate.tbsDer.Assign(data_), 0);
    EXPECT_EQ(certificate.signatureAlgorithm.oid.SetString(signature_oid), 0);
    EXPECT_EQ(certificate.signature.SetData(Len(signature), signature.data()), 0);
    EXPECT_EQ(issuer.tbs.publicKey.algorithm.oid.SetString(key_oid), 0);
    EXPECT_EQ(issuer.tbs.publicKey.key.CopyFrom(key), 0);
    return {by_record, VerifySignatureByAlgorithm(certificate, issuer)};
  }
  Bytes Digest() {
    core::Buffer digest;
    EXPECT_EQ(HashDataByName(data_.Bytes(), data_.Length(), "SHA256", digest), 0);
    return Of(digest);
  }

  component::Configurable<component::ComponentBase> settings_;
  const Held data_{"the signed part of a certificate"};
};

constexpr char kRsaKeyOid[] = "1.2.840.113549.1.1.1";
constexpr char kSha256WithRsaOid[] = "1.2.840.113549.1.1.11";
constexpr char kEcKeyOid[] = "1.2.840.10045.2.1";

TEST_F(DegenerateCertificateSignatures, RsaAndEcdsaVerifyNone) {
  Table table;
  KeyRecord rsa;
  rsa.Type = kKeyRsa;
  ASSERT_EQ(rsa.RsaParams.CopyFrom(CommittedKeys().rsa), 0);
  core::Buffer signed_rsa;
  ASSERT_EQ(SignWithKeyRecord(data_.Bytes(), data_.Length(), "SHA256", rsa, signed_rsa), 0);
  ASSERT_EQ(Answers(rsa, kRsaKeyOid, kSha256WithRsaOid, Of(signed_rsa)), std::make_pair(0, 0));
  const Bytes modulus = Of(rsa.RsaParams.Modulus);
  for (const auto& [input, sig] : RsaDegenerateValues(modulus, Of(signed_rsa))) {
    Verify(table, rsa, kRsaKeyOid, kSha256WithRsaOid, "RSA s = " + input, sig);
  }
  KeyRecord weak;
  weak.Type = kKeyRsa;
  Put(weak.RsaParams.Modulus, modulus);
  Put(weak.RsaParams.Exponent, Bytes(1, '\1'));
  Verify(table, weak, kRsaKeyOid, kSha256WithRsaOid, "RSA e = 1, s = the v1.5 block",
         Pkcs1Block(Digest(), modulus.size()));

  KeyRecord ec;
  ec.Type = kKeyEc;
  ASSERT_EQ(CngCreateEccKey(0, ec.EcParams), 0);
  const char* ecdsa_oid = EcdsaSignatureOidForKeyType(0);
  core::Buffer signed_ec;
  ASSERT_EQ(SignWithKeyRecord(data_.Bytes(), data_.Length(), "SHA256", ec, signed_ec), 0);
  ASSERT_EQ(Answers(ec, kEcKeyOid, ecdsa_oid, Of(signed_ec)), std::make_pair(0, 0));
  const Bytes r = Of(signed_ec).substr(0, 32), s = Of(signed_ec).substr(32), n = Of(ec.EcParams.GetCurve()->Order);
  for (const auto& [input, sig] : std::vector<std::pair<std::string, Bytes>>{
           {"empty", ""},
           {"raw r = 0", Bytes(32, '\0') + s},
           {"raw s = 0", r + Bytes(32, '\0')},
           {"raw r = n", n + s},
           {"raw s = n", r + n},
           {"raw all 0xff", Bytes(64, '\xff')},
           {"DER r = -r", Der(DerContent(Neg(Num(r))), DerContent(Num(s)))},
           {"DER empty SEQUENCE", Bytes("\x30\x00", 2)}}) {
    Verify(table, ec, kEcKeyOid, ecdsa_oid, "ECDSA " + input, sig);
  }
  KeyRecord neutral;
  neutral.Type = kKeyEc;
  Put(neutral.EcParams.X, Bytes(1, '\0'));
  Put(neutral.EcParams.Y, Bytes(1, '\0'));
  Verify(table, neutral, kEcKeyOid, ecdsa_oid, "ECDSA Q = (0, 0), signature with d = 0",
         SignWithZero(*ec.EcParams.GetCurve(), Digest()));
}

}  // namespace
}  // namespace velmora::crypto
