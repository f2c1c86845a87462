// Every signature verification of the security core against degenerate input: signature values of 0,
// 1, the modulus or order and one past it, their sums with it, negative and overlong DER integers,
// malformed DER, and public keys that are no usable key (RSA e = 1; DSA y = 0, 1, p - 1, p; the EC
// point (0, 0), a point off the curve, coordinates of p or more; EdDSA and Schnorr encodings that do
// not decode). Where a degenerate key admits a forgery, the probe carries it: a signature made with the
// private value 0 (DSA, ECDSA) or the encoded block itself (e = 1). Nothing may verify; the genuine
// signature of each function must. VELMORA_PRINT_VERDICTS=1 prints every row's answer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "component/component_base.h"
#include "crypto/bn/big_int.h"
#include "crypto/curve25519/ed25519_eddsa.h"
#include "crypto/curve25519/ed25519_group.h"
#include "crypto/curve448/ed448.h"
#include "crypto/curve448/ed448_group.h"
#include "crypto/curve448/schnorr448.h"
#include "crypto/dsa/dsa_engine.h"
#include "crypto/ec/ec_curve_ops.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/ec/ecdsa.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/key_creation.h"
#include "crypto/objects/sign_by_key.h"
#include "crypto/rsa/rsa_engine.h"
#include "pki/certificate_signature.h"
#include "tests/component/configurable.h"
#include "tests/crypto/small_order_points.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

using Bytes = std::string;
using Verdict = std::pair<int, int32_t>;  // status (or return) code, verdict flag
using Inputs = std::vector<std::pair<std::string, Bytes>>;
constexpr Verdict kVerifies{0, 1};

const uint8_t* U8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }
int32_t Len(const Bytes& b) { return static_cast<int32_t>(b.size()); }
Bytes Of(const core::BufferCore& b) { return Bytes(b.Data(), static_cast<size_t>(b.Length())); }
void Put(core::BufferCore& b, const Bytes& bytes) { ASSERT_EQ(b.SetData(Len(bytes), bytes.data()), 0); }
struct Held : core::Buffer {
  explicit Held(const std::string& bytes) { EXPECT_EQ(SetData(Len(bytes), bytes.data()), 0); }
};
template <class Op> BigInt Big(Op op) { BigInt v; EXPECT_EQ(op(v), 0); return v; }
BigInt Num(const Bytes& be) { return Big([&](BigInt& v) { return BigInt::FromBytes(U8(be), Len(be), 1, v); }); }
BigInt Num(int64_t small) { return Big([&](BigInt& v) { return BigInt::FromInt64(small, v); }); }
BigInt Sum(const BigInt& a, const BigInt& b) { return Big([&](BigInt& v) { return BigInt::Add(a, b, v); }); }
BigInt Neg(const BigInt& a) { return Big([&](BigInt& v) { return a.Negate(v); }); }
// DerContent: the two's-complement content of a DER INTEGER; Fixed: at least width unsigned bytes.
Bytes DerContent(const BigInt& v) { core::Buffer out; EXPECT_EQ(v.ToBytes(out), 0); return Of(out); }
Bytes Fixed(const BigInt& v, size_t width) {
  Bytes b = DerContent(v);
  while (b.size() > 1 && b[0] == '\0') b.erase(0, 1);
  return b.size() < width ? Bytes(width - b.size(), '\0') + b : b;
}
Bytes Tlv(char tag, const Bytes& body) {
  const char n = static_cast<char>(body.size());
  return Bytes(1, tag) + (body.size() < 128 ? Bytes(1, n) : Bytes("\x81", 1) + n) + body;
}
Bytes Der(const Bytes& r, const Bytes& s) { return Tlv('\x30', Tlv('\x02', r) + Tlv('\x02', s)); }
Bytes Der(const BigInt& r, const BigInt& s) { return Der(DerContent(r), DerContent(s)); }

// Table collects every probe's answer; none may verify. Flag: status 0 with verdict 1 verifies.
class Table {
 public:
  static bool Flag(Verdict v) { return v == kVerifies; }
  static bool ReturnsOne(Verdict v) { return v.first == 1; }
  void Add(const std::string& function, const std::string& input, Verdict v, bool verified) {
    rows_.push_back({function, input, v, verified});
  }
  template <class Verify>
  void Run(const std::string& function, const Inputs& inputs, Verify verify, const std::string& prefix = "",
           bool (*verified)(Verdict) = Flag) {
    for (const auto& [input, bytes] : inputs) {
      const Verdict v = verify(bytes);
      Add(function, prefix + input, v, verified(v));
    }
  }
  ~Table() {
    const bool print = std::getenv("VELMORA_PRINT_VERDICTS") != nullptr;
    for (const auto& [function, input, v, verified] : rows_) {
      if (print) std::cout << function << " | " << input << " | code " << v.first << " | verdict " << v.second << "\n";
      EXPECT_FALSE(verified) << function << " verified " << input << " (code " << v.first << ", verdict " << v.second << ")";
    }
  }

 private:
  std::vector<std::tuple<std::string, std::string, Verdict, bool>> rows_;
};

// The committed RSA and DSA keys.
struct CommittedKeys {
  RsaKeyParams rsa;
  DsaKeyParams dsa;
  CommittedKeys() {
    auto keys = testing_support::ReadVectors(VELMORABLE_SOURCE_DIR "/tests/data/crypto/pubkey/key_class_keys.txt",
                                             {"Algorithm", "Modulus", "Exponent", "D", "P", "Q", "G", "Y", "X"});
    EXPECT_EQ(keys.size(), 2u);
    if (keys.size() != 2u) return;
    EXPECT_EQ(keys[0].Get("Algorithm") + keys[1].Get("Algorithm"), "RSADSA");
    for (auto [f, i, name] : {std::tuple<core::BufferCore*, int, const char*>{&rsa.Modulus, 0, "Modulus"},
                              {&rsa.Exponent, 0, "Exponent"}, {&rsa.D, 0, "D"}, {&rsa.P, 0, "P"}, {&rsa.Q, 0, "Q"},
                              {&dsa.P, 1, "P"}, {&dsa.Q, 1, "Q"}, {&dsa.G, 1, "G"}, {&dsa.Y, 1, "Y"}, {&dsa.X, 1, "X"}})
      Put(*f, keys[i].Bytes(name));
  }
};

// RSA signature values; "genuine + n" verifies only where a missing range check reduces it.
Inputs RsaValues(const Bytes& modulus, const Bytes& genuine) {
  const BigInt n = Num(modulus);
  const size_t k = modulus.size();
  return {{"empty", ""}, {"0", Bytes(k, '\0')}, {"1", Fixed(Num(1), k)}, {"n - 1", Fixed(Sum(n, Num(-1)), k)},
          {"n", modulus}, {"n + 1", Fixed(Sum(n, Num(1)), k)}, {"all 0xff, k bytes", Bytes(k, '\xff')},
          {"0xff, k + 1 bytes", Bytes(k + 1, '\xff')}, {"genuine + n", Fixed(Sum(Num(genuine), n), k)}};
}

// The PKCS #1 v1.5 block of a SHA-256 digest, k bytes: its own signature under e = 1.
Bytes Pkcs1Block(const Bytes& digest, size_t k) {
  core::Buffer prefix;
  EXPECT_EQ(AppendDigestInfoPrefix("SHA256", prefix), 0);
  const Bytes info = Of(prefix) + digest;
  return Bytes("\x00\x01", 2) + Bytes(k - info.size() - 3, '\xff') + Bytes(1, '\0') + info;
}

// DSA and ECDSA (r, s) values around the group order q, raw and DER, from a genuine raw r || s.
Inputs OrderValues(const Bytes& genuine, const Bytes& order, const std::string& q) {
  const size_t w = genuine.size() / 2;
  const Bytes r = genuine.substr(0, w), s = genuine.substr(w), zero(w, '\0'), qf = Fixed(Num(order), w);
  const BigInt R = Num(r), S = Num(s), Q = Num(order);
  const Bytes q1 = Fixed(Sum(Q, Num(1)), w), der = Der(R, S);
  Bytes past = der;
  past[der[1] == '\x81' ? 4 : 3] = '\x7f';
  return {{"empty", ""}, {"one byte", Bytes(1, '\x01')}, {"raw r = 0", zero + s}, {"raw s = 0", r + zero},
          {"raw r = " + q, qf + s}, {"raw s = " + q, r + qf}, {"raw r = " + q + " + 1", q1 + s},
          {"raw s = " + q + " + 1", r + q1}, {"raw r = s = all 0xff", Bytes(2 * w, '\xff')},
          {"DER r = 0", Der(Bytes(1, '\0'), DerContent(S))}, {"DER s = 0", Der(DerContent(R), Bytes(1, '\0'))},
          {"DER r = " + q, Der(Q, S)}, {"DER s = " + q, Der(R, Q)}, {"DER r = " + q + " + 1", Der(Sum(Q, Num(1)), S)},
          {"DER r = r + " + q, Der(Sum(R, Q), S)}, {"DER s = s + " + q, Der(R, Sum(S, Q))},
          {"DER r = -r", Der(Neg(R), S)}, {"DER s = -s", Der(R, Neg(S))},
          {"DER r too long (01 || r)", Der("\x01" + r, DerContent(S))}, {"DER empty SEQUENCE", Bytes("\x30\x00", 2)},
          {"DER r length 7f, past its INTEGER", past}, {"DER cut short by one byte", der.substr(0, der.size() - 1)}};
}

TEST(DegenerateSignatures, RsaVerifiesNone) {
  const CommittedKeys keys;
  RsaEngine engine, weak_engine;
  ASSERT_EQ(engine.SetKeyParams(keys.rsa), 0);
  const Bytes modulus = Of(keys.rsa.Modulus), digest(32, '\x5a');
  core::Buffer v15, prefix;
  ASSERT_EQ(engine.Sign(U8(digest), 32, "SHA256", v15, 0, 0), 0);
  ASSERT_EQ(AppendDigestInfoPrefix("SHA256", prefix), 0);
  Bytes pss;  // with room for + n inside k bytes, so that the length check does not refuse it first
  for (int i = 0; i < 200 && pss.empty(); ++i) {
    core::Buffer out;
    ASSERT_EQ(engine.Sign(U8(digest), 32, "SHA256", out, 1, 32), 0);
    if (Sum(Num(Of(out)), Num(modulus)).BitLength() <= 8 * Len(modulus)) pss = Of(out);
  }
  ASSERT_FALSE(pss.empty());
  const char* names[] = {"RsaVerifyPkcs1v15", "RsaEngine::Verify v1.5", "RsaVerifyPss", "RsaEngine::Verify PSS"};
  auto verify = [&](RsaEngine& e, int which, const Bytes& sig) -> Verdict {
    int32_t valid = -1;
    const int rc = which == 0   ? RsaVerifyPkcs1v15(e, U8(digest), 32, prefix, U8(sig), Len(sig), 1, valid)
                   : which == 2 ? RsaVerifyPss(e, U8(digest), 32, "SHA256", 32, U8(sig), Len(sig), valid)
                                : e.Verify(U8(digest), 32, "SHA256", U8(sig), Len(sig), valid, which / 2, 32 * (which / 2), 1);
    return {rc, valid};
  };
  Table table;
  for (int i = 0; i < 4; ++i) {
    const Bytes genuine = i < 2 ? Of(v15) : pss;
    ASSERT_EQ(verify(engine, i, genuine), kVerifies) << names[i] << ": the genuine signature";
    table.Run(names[i], RsaValues(modulus, genuine), [&](const Bytes& sig) { return verify(engine, i, sig); }, "s = ");
  }
  RsaKeyParams weak;
  Put(weak.Modulus, modulus);
  Put(weak.Exponent, Bytes(1, '\1'));
  const int set = weak_engine.SetKeyParams(weak);
  table.Add("RsaEngine::SetKeyParams", "e = 1 (taken; the verifications below refuse it)", {set, 0}, false);
  for (int i = 0; i < 2 && set == 0; ++i)
    table.Run(names[i], {{"e = 1, s = the v1.5 block", Pkcs1Block(digest, modulus.size())}},
              [&](const Bytes& sig) { return verify(weak_engine, i, sig); });
}

TEST(DegenerateSignatures, DsaVerifiesNone) {
  const CommittedKeys keys;
  const DsaKeyParams& key = keys.dsa;
  DsaEngine engine, zero_signer;
  ASSERT_EQ(engine.SetKeyParams(key), 0);
  const Bytes digest(20, '\x3c'), p_bytes = Of(key.P), q_bytes = Of(key.Q);
  const BigInt p = Num(p_bytes), q = Num(q_bytes);
  core::Buffer genuine;
  ASSERT_EQ(engine.Sign(U8(digest), 20, genuine), 0);
  ASSERT_EQ(genuine.Length(), 40);
  auto verify = [&](DsaEngine& e, const Bytes& sig) -> Verdict {
    int32_t result = -1;
    return {e.Verify(U8(digest), 20, U8(sig), Len(sig), &result), result};
  };
  const Bytes raw = Of(genuine);
  ASSERT_EQ(verify(engine, raw), kVerifies);
  ASSERT_EQ(verify(engine, Der(Num(raw.substr(0, 20)), Num(raw.substr(20)))), kVerifies);
  Table table;
  table.Run("DsaEngine::Verify", OrderValues(raw, q_bytes, "q"), [&](const Bytes& sig) { return verify(engine, sig); });

  // Signed with x = q (0 mod q): verifies under y = 1, and under y = p - 1 when u2 = r / s is even.
  DsaKeyParams zero_key;
  ASSERT_EQ(zero_key.CopyFrom(key), 0);
  Put(zero_key.X, q_bytes);
  ASSERT_EQ(zero_key.Y.Clear(), 0);
  ASSERT_EQ(zero_signer.SetKeyParams(zero_key), 0);
  Bytes forged;
  for (int i = 0; i < 64 && forged.empty(); ++i) {
    core::Buffer out;
    BigInt w, u2, half;
    uint32_t odd = 1;
    ASSERT_EQ(zero_signer.Sign(U8(digest), 20, out), 0);
    ASSERT_EQ(BigInt::ModInverse(Num(Of(out).substr(20)), q, w), 0);
    ASSERT_EQ(BigInt::Multiply(Num(Of(out).substr(0, 20)), w, u2), 0);
    ASSERT_EQ(BigInt::Mod(u2, q, u2), 0);
    ASSERT_EQ(BigInt::DivModWord(u2, 2, half, &odd), 0);
    if (odd == 0) forged = Of(out);
  }
  ASSERT_FALSE(forged.empty());
  for (const auto& [name, y] : Inputs{{"0", Bytes(1, '\0')}, {"1", Bytes(1, '\1')},
                                      {"p - 1", Fixed(Sum(p, Num(-1)), p_bytes.size())}, {"p", p_bytes}}) {
    DsaKeyParams degenerate;
    DsaEngine e;
    ASSERT_EQ(degenerate.CopyFrom(key), 0);
    Put(degenerate.Y, y);
    ASSERT_EQ(degenerate.X.Clear(), 0);
    if (const int set = e.SetKeyParams(degenerate); set != 0)
      table.Add("DsaEngine::SetKeyParams", "y = " + name, {set, 0}, false);
    else
      table.Run("DsaEngine::Verify", {{"y = " + name + ", signature with x = 0 mod q", forged}},
                [&](const Bytes& sig) { return verify(e, sig); });
  }
}

// The raw ECDSA signature of the digest with private scalar d on the curve.
Bytes EcSign(const CurveParams& curve, const core::SecureBuffer& d, const Bytes& digest) {
  core::Buffer sig;
  EXPECT_EQ(EcdsaSignOnCurve(curve, d, U8(digest), Len(digest), EcdsaSettings{}, sig), 0);
  return Of(sig);
}
// Signed with d = 0: verifies under a public point that the multiplication takes for the neutral element.
Bytes SignWithZero(const CurveParams& curve, const Bytes& digest) {
  core::SecureBuffer zero;
  EXPECT_EQ(zero.AppendByte(0), 0);
  return EcSign(curve, zero, digest);
}

TEST(DegenerateSignatures, EcdsaVerifiesNone) {
  const Bytes digest(32, '\x42');
  Table table;
  static const CurveParams sect163k1(19);  // binary curves are not in the key table
  for (const auto& [curve_name, key_type] : std::vector<std::pair<std::string, int32_t>>{
           {"P-256", 0}, {"P-521", 2}, {"sect163k1", -1}}) {
    const CurveParams* curve = &sect163k1;
    core::SecureBuffer d;
    Bytes x, y;
    if (key_type >= 0) {
      EcKeyParams key;
      ASSERT_EQ(CngCreateEccKey(key_type, key), 0);
      curve = key.GetCurve();
      x = Of(key.X), y = Of(key.Y);
      ASSERT_EQ(d.Assign(key.D), 0);
    } else {
      const Bytes d_bytes = "\x01" + Bytes(static_cast<size_t>(curve->Order.Length() - 2), '\x5a');  // below n
      ASSERT_EQ(d.SetData(Len(d_bytes), d_bytes.data()), 0);
      bool infinity = true;
      core::Buffer bx, by;
      ASSERT_EQ(EcCurveMultiplyBase(*curve, d, infinity, bx, by), 0);
      ASSERT_FALSE(infinity);
      x = Of(bx), y = Of(by);
    }
    ASSERT_NE(curve, nullptr) << curve_name;
    const Bytes genuine = EcSign(*curve, d, digest);
    const size_t w = genuine.size() / 2;
    const Bytes genuine_der = Der(Num(genuine.substr(0, w)), Num(genuine.substr(w)));
    auto verify = [&](int which, const Bytes& qx, const Bytes& qy, const Bytes& sig) -> Verdict {
      int32_t valid = -1;
      if (which == 2)
        return {EcdsaVerifyOnCurve(*curve, Held(qx), Held(qy), U8(digest), 32, U8(sig), Len(sig), EcdsaSettings{}, valid),
                valid};
      EcKeyParams key;
      key.KeyType = key_type;
      Put(key.X, qx);
      Put(key.Y, qy);
      EccEngine engine;
      if (const int set = engine.SetKeyParams(key); set != 0) return {set, 0};
      const int rc = which == 0 ? engine.Verify(U8(digest), 32, U8(sig), Len(sig), valid)
                                : engine.EcdsaVerify(U8(digest), 32, U8(sig), Len(sig), valid);
      return {rc, valid};
    };
    // Public points: off the curve, (0, 0) with a signature made with d = 0, and, where p is short of
    // the field length (P-521), the genuine point with p added to a coordinate.
    Bytes y_off = y;
    y_off.back() = static_cast<char>(y_off.back() ^ 1);
    std::vector<std::tuple<std::string, Bytes, Bytes, Bytes>> points = {
        {"Q = (x, y ^ 1), off the curve", x, y_off, genuine},
        {"Q = (0, 0), signature with d = 0", Bytes(1, '\0'), Bytes(1, '\0'), SignWithZero(*curve, digest)}};
    const BigInt p = Num(Of(curve->Field));
    if (curve_name == "P-521") {
      points.emplace_back("Q = (x + p, y)", Fixed(Sum(Num(x), p), x.size()), y, genuine);
      points.emplace_back("Q = (x, y + p)", x, Fixed(Sum(Num(y), p), y.size()), genuine);
    }
    const char* names[] = {"EccEngine::Verify", "EccEngine::EcdsaVerify", "EcdsaVerifyOnCurve"};
    for (int i = key_type >= 0 ? 0 : 2; i < 3; ++i) {
      const std::string label = names[i] + (" " + curve_name);
      ASSERT_EQ(verify(i, x, y, genuine), kVerifies) << label << ": the genuine signature";
      ASSERT_EQ(verify(i, x, y, genuine_der), kVerifies) << label << ": the genuine signature in DER";
      table.Run(label, OrderValues(genuine, Of(curve->Order), "n"), [&](const Bytes& sig) { return verify(i, x, y, sig); });
      for (const auto& [input, qx, qy, sig] : points) {
        const Verdict v = verify(i, qx, qy, sig);
        table.Add(label, input, v, Table::Flag(v));
      }
    }
  }
  EcKeyParams key;  // the SEC 1 encoding of the neutral element is refused at key intake
  key.KeyType = 0;
  const int set = key.SetPublicPoint(Held(Bytes(1, '\0')));
  table.Add("EcKeyParams::SetPublicPoint", "the point at infinity (00)", {set, set == 0 ? 1 : 0}, set == 0);
}

// S of L and above, and encodings of R or A that do not decode (the smallest y >= 2 whose x^2 is not a
// square, by the group's own decoder). These functions return 1 for "verifies".
Bytes Undecodable(size_t length, bool (*decodes)(const Bytes&)) {
  for (Bytes e(length, '\0'); static_cast<uint8_t>(++e[0]) < 255;)
    if (static_cast<uint8_t>(e[0]) >= 2 && !decodes(e)) return e;
  ADD_FAILURE() << "every small y decodes";
  return Bytes();
}

TEST(DegenerateSignatures, EdwardsAndSchnorrVerifyNone) {
  Table table;
  const Bytes message = "message";
  const uint8_t* m = U8(message);
  const Held k25519(Bytes(32, '\x11')), k448(Bytes(57, '\x22'));
  core::Buffer a25519, sig25519, a448, sig448, schnorr;
  ASSERT_EQ(Ed25519PublicFromPrivate(k25519, a25519), 0);
  ASSERT_EQ(Ed25519Sign(m, 7, a25519.Bytes(), 32, k25519.Bytes(), 32, sig25519), 0);
  const Bytes a = Of(a25519), sig = Of(sig25519);
  auto ed25519 = [&](const Bytes& a_r_s) -> Verdict {
    const int rc = Ed25519Verify(m, 7, U8(a_r_s), 32, U8(a_r_s) + 32, 64);
    return {rc, rc};
  };
  const Bytes bad25519 = Undecodable(32, [](const Bytes& e) {
    Ed25519PointP3 point;
    return Ed25519PointFromBytesNegate(point, U8(e), 32) == 1;
  });
  ASSERT_EQ(ed25519(a + sig).first, 1);
  table.Run("Ed25519Verify", {{"R does not decode", a + bad25519 + sig.substr(32)}, {"A does not decode", bad25519 + sig},
                              {"S = all 0xff", a + sig.substr(0, 32) + Bytes(32, '\xff')}}, ed25519, "", Table::ReturnsOne);

  ASSERT_EQ(Ed448PublicFromPrivate(k448, a448), 0);
  ASSERT_EQ(Ed448Sign(m, 7, nullptr, 0, a448.Bytes(), 57, k448.Bytes(), 57, sig448), 0);
  auto ed448 = [&](const Bytes& key) -> Verdict {
    const int rc = Ed448Verify(m, 7, nullptr, 0, U8(key), 57, sig448.Bytes(), 114);
    return {rc, rc};
  };
  const Bytes bad448 = Undecodable(57, [](const Bytes& e) {
    Ed448Point point;
    return Ed448PointFromBytes(point, U8(e), 57) == 1;
  });
  ASSERT_EQ(ed448(Of(a448)).first, 1);
  table.Run("Ed448Verify", {{"A does not decode", bad448}, {"A with y of p or more (all 0xff)", Bytes(56, '\xff') + '\0'}},
            ed448, "", Table::ReturnsOne);

  core::SecureBuffer record;
  ASSERT_EQ(Schnorr448KeyPair(U8(Bytes(32, '\x33')), 32, record), 0);
  ASSERT_EQ(Schnorr448Sign(m, 7, record.Bytes(), record.Length(), schnorr), 0);
  const Bytes a_s = Of(record).substr(56, 56), r_s = Of(schnorr).substr(0, 56), s_s = Of(schnorr).substr(56);
  auto schnorr448 = [&](const Bytes& s) -> Verdict {  // R stays genuine
    const int rc = Schnorr448Verify(m, 7, U8(a_s), 56, U8(r_s + s), 112);
    return {rc, rc};
  };
  ASSERT_EQ(schnorr448(s_s).first, 1);
  const Bytes l = testing_support::SmallOrderPoints("edwards448").order.substr(0, 56);
  Bytes s_plus_l(56, '\0');  // little-endian, the carry out dropped
  for (unsigned i = 0, carry = 0; i < 56; ++i, carry >>= 8)
    s_plus_l[i] = static_cast<char>(carry += static_cast<uint8_t>(s_s[i]) + static_cast<uint8_t>(l[i]));
  table.Run("Schnorr448Verify", {{"s = L", l}, {"s = s + L", s_plus_l}, {"s = all 0xff", Bytes(56, '\xff')}}, schnorr448,
            "", Table::ReturnsOne);
}

// The certificate path, with records filled as certificate parsing fills them; 0 is "verifies".
class DegenerateCertificateSignatures : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(settings_.Set("UseInternalCryptoAPI=true"), 0); }
  void TearDown() override { EXPECT_EQ(settings_.Set("UseInternalCryptoAPI=false"), 0); }
  // Verify runs the signature through VerifyWithKeyRecord and VerifySignatureByAlgorithm; without a table,
  // it asserts that both verify it.
  void Verify(Table* table, const KeyRecord& key, const char* key_oid, const char* sig_oid, const std::string& input,
              const Bytes& signature) {
    pki::AlgorithmIdentifier algorithm;
    pki::Certificate certificate, issuer;
    EXPECT_EQ(algorithm.oid.SetString(sig_oid), 0);
    EXPECT_EQ(certificate.tbsDer.Assign(data_), 0);
    EXPECT_EQ(certificate.signatureAlgorithm.oid.SetString(sig_oid), 0);
    EXPECT_EQ(certificate.signature.SetData(Len(signature), signature.data()), 0);
    EXPECT_EQ(issuer.tbs.publicKey.algorithm.oid.SetString(key_oid), 0);
    EXPECT_EQ(issuer.tbs.publicKey.key.CopyFrom(key), 0);
    const int by_record = VerifyWithKeyRecord(key, Held(signature), data_, algorithm);
    const int by_algorithm = VerifySignatureByAlgorithm(certificate, issuer);
    if (table == nullptr) {
      EXPECT_EQ(std::make_pair(by_record, by_algorithm), std::make_pair(0, 0)) << input;
      return;
    }
    table->Add("VerifyWithKeyRecord", input, {by_record, by_record == 0}, by_record == 0);
    table->Add("VerifySignatureByAlgorithm", input, {by_algorithm, by_algorithm == 0}, by_algorithm == 0);
  }
  Bytes Sign(const KeyRecord& key) {
    core::Buffer out;
    EXPECT_EQ(SignWithKeyRecord(data_.Bytes(), data_.Length(), "SHA256", key, out), 0);
    return Of(out);
  }
  Bytes Digest() {
    core::Buffer digest;
    EXPECT_EQ(HashDataByName(data_.Bytes(), data_.Length(), "SHA256", digest), 0);
    return Of(digest);
  }
  component::Configurable<component::ComponentBase> settings_;
  const Held data_{"the signed part of a certificate"};
};

TEST_F(DegenerateCertificateSignatures, RsaAndEcdsaVerifyNone) {
  const char *rsa_oid = "1.2.840.113549.1.1.1", *sha256_rsa_oid = "1.2.840.113549.1.1.11", *ec_oid = "1.2.840.10045.2.1";
  Table table;
  KeyRecord rsa, weak, ec, neutral;
  rsa.Type = weak.Type = kKeyRsa;
  ec.Type = neutral.Type = kKeyEc;
  ASSERT_EQ(rsa.RsaParams.CopyFrom(CommittedKeys().rsa), 0);
  const Bytes modulus = Of(rsa.RsaParams.Modulus), rsa_sig = Sign(rsa);
  Verify(nullptr, rsa, rsa_oid, sha256_rsa_oid, "RSA: the genuine signature", rsa_sig);
  for (const auto& [input, sig] : RsaValues(modulus, rsa_sig)) Verify(&table, rsa, rsa_oid, sha256_rsa_oid, "RSA s = " + input, sig);
  Put(weak.RsaParams.Modulus, modulus);
  Put(weak.RsaParams.Exponent, Bytes(1, '\1'));
  Verify(&table, weak, rsa_oid, sha256_rsa_oid, "RSA e = 1, s = the v1.5 block", Pkcs1Block(Digest(), modulus.size()));

  ASSERT_EQ(CngCreateEccKey(0, ec.EcParams), 0);
  const char* ecdsa_oid = EcdsaSignatureOidForKeyType(0);
  const Bytes ec_sig = Sign(ec);
  Verify(nullptr, ec, ec_oid, ecdsa_oid, "ECDSA: the genuine signature", ec_sig);
  for (const auto& [input, sig] : OrderValues(ec_sig, Of(ec.EcParams.GetCurve()->Order), "n"))
    Verify(&table, ec, ec_oid, ecdsa_oid, "ECDSA " + input, sig);
  Put(neutral.EcParams.X, Bytes(1, '\0'));
  Put(neutral.EcParams.Y, Bytes(1, '\0'));
  Verify(&table, neutral, ec_oid, ecdsa_oid, "ECDSA Q = (0, 0), signature with d = 0",
         SignWithZero(*ec.EcParams.GetCurve(), Digest()));
}

}  // namespace
}  // namespace velmora::crypto
