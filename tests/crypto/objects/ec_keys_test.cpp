// EC key operations against outside references: Agree's derivations against Python's hashlib and hmac,
// nettle's MD2 and MD4 and `openssl kdf` (TLS1-PRF, SSKDF); octet keys against python3-cryptography;
// the Edwards-to-Montgomery conversions against libsodium and against X25519/X448 of the converted
// private key; and the checks, guards and blob layout that callers depend on.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/objects/ec_key_ops.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/objects/key_providers.h"
#include "crypto/objects/key_creation.h"
#include "crypto/curve25519/x25519_x448.h"
#include "tests/core/python_oracle.h"
#include "tests/test_support.h"

#if defined(VELMORA_HAVE_SODIUM)
#include <sodium.h>
#endif
#if defined(VELMORA_HAVE_NETTLE)
#include <nettle/md2.h>
#include <nettle/md4.h>
#endif

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::RunPython;
using testing_support::Text;
using testing_support::ToHex;

bool OracleAvailable() {
  static const bool available = std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") == 0 &&
                                std::system("openssl version >/dev/null 2>&1") == 0;
  return available;
}

std::string H(const core::BufferCore& b) { return "x" + ToHex(Text(b)); }

// An engine holding a fresh octet key pair of the type.
void Generate(EccEngine& engine, int32_t type) {
  EcKeyParams params;
  params.KeyType = type;
  ASSERT_EQ(engine.SetKeyParams(params), kEcInvalidKey);  // nothing to check yet
  engine.Params.KeyType = type;
  EcKeyParams out;
  ASSERT_EQ(engine.GenerateKey(true, out), 0);
  ASSERT_EQ(out.PublicKey.Length(), EcKeyTypeByteLength(type));
}

#if defined(VELMORA_HAVE_NETTLE)
std::string NettleDigest(int32_t id, const std::string& data) {
  uint8_t digest[16];
  if (id == 4) {
    md2_ctx ctx;
    md2_init(&ctx);
    md2_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
    md2_digest(&ctx, sizeof digest, digest);
  } else {
    md4_ctx ctx;
    md4_init(&ctx);
    md4_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
    md4_digest(&ctx, sizeof digest, digest);
  }
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}
#endif

constexpr const char* kKdfOracle = R"PY(
import hashlib, hmac, subprocess, sys
names = {0: "sha1", 1: "sha256", 2: "sha384", 3: "sha512", 6: "md5", 7: "sha1", 8: "sha256", 9: "sha384",
         10: "sha512", 11: "md5"}
def kdf(*args):
    out = subprocess.run(["openssl", "kdf"] + list(args), check=True, capture_output=True, text=True).stdout
    return out.strip().replace(":", "").lower()
for line in sys.stdin:
    f = line.split()
    if not f:
        continue
    pre, z, app, key = (bytes.fromhex(x[1:]) for x in f[2:6])
    if f[0] == "agree":
        kid = int(f[1])
        if kid == 12:
            print(kdf("-keylen", "48", "-kdfopt", "digest:MD5-SHA1", "-kdfopt", "hexsecret:" + z.hex(),
                      "-kdfopt", "hexseed:" + (pre + app).hex(), "TLS1-PRF"))
        elif 7 <= kid <= 11:
            print(hmac.new(key or z, pre + z + app, names[kid]).hexdigest())
        else:
            print(hashlib.new(names.get(kid, "sha1"), pre + z + app).hexdigest())
    else:
        print(kdf("-keylen", "32", "-kdfopt", "digest:" + f[1], "-kdfopt", "hexkey:" + z.hex(),
                  "-kdfopt", "hexinfo:" + (pre + app + key).hex(), "SSKDF"))
)PY";

// One agreement per id and type: both sides find the same Z, and every derivation of it equals the
// reference's. Ids 4 and 5 (MD2, MD4) are checked here against nettle, the others by the script.
TEST(EcAgreeDerivation, EveryIdMatchesTheReferences) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs /usr/bin/python3 and openssl";
  std::mt19937 rng(static_cast<uint32_t>(testing_support::FuzzSeed()));
  std::string input;
  std::vector<std::string> ours;
  for (int32_t type : {5, 6}) {
    EccEngine alice;
    EccEngine bob;
    Generate(alice, type);
    Generate(bob, type);
    core::Buffer z;
    core::Buffer z_other;
    ASSERT_EQ(alice.Agree(bob.Params, kEcdhKdfRaw, nullptr, 0, nullptr, 0, nullptr, 0, z), 0);
    ASSERT_EQ(bob.Agree(alice.Params, kEcdhKdfRaw, nullptr, 0, nullptr, 0, nullptr, 0, z_other), 0);
    ASSERT_EQ(Text(z), Text(z_other));
    ASSERT_EQ(z.Length(), EcKeyTypeByteLength(type));
    for (int32_t id : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 42}) {
      std::string pre(id == 12 ? 13 : rng() % 5, 'p');
      std::string app(id == 12 ? 64 : rng() % 5, 'a');
      std::string key(id >= 7 && id <= 11 ? rng() % 80 : 0, 'k');
      for (auto* s : {&pre, &app, &key}) {
        for (char& c : *s) c = static_cast<char>(rng());
      }
      core::Buffer out;
      auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
      auto size = [](const std::string& s) { return static_cast<int32_t>(s.size()); };
      ASSERT_EQ(alice.Agree(bob.Params, id, bytes(pre), size(pre), bytes(app), size(app), bytes(key), size(key), out), 0)
          << id;
      if (id == 4 || id == 5) {
#if defined(VELMORA_HAVE_NETTLE)
        EXPECT_EQ(ToHex(Text(out)), ToHex(NettleDigest(id, pre + Text(z) + app))) << id;
#endif
        continue;
      }
      input += "agree " + std::to_string(id) + " x" + ToHex(pre) + " " + H(z) + " x" + ToHex(app) + " x" +
               ToHex(key) + "\n";
      ours.push_back(ToHex(Text(out)));
    }
    // The concatenation KDF: AlgorithmID, PartyUInfo, PartyVInfo, then the optional SuppPubInfo.
    for (const char* digest : {"", "SHA256", "SHA1", "SHA512", "MD5"}) {
      const std::string id = "alg", u = "party-u", v = "party-v", pub = type == 5 ? "" : "pub";
      core::Buffer out;
      auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
      ASSERT_EQ(alice.AgreeWithKdf(bob.Params, digest, bytes(id), 3, bytes(u), 7, bytes(v), 7, bytes(pub),
                                   static_cast<int32_t>(pub.size()), nullptr, 0, out),
                0);
      ASSERT_EQ(out.Length(), 32);
      input += std::string("sskdf ") + (*digest ? digest : "SHA256") + " x" + ToHex(id) + " " + H(z) + " x" +
               ToHex(u) + " x" + ToHex(v + pub) + "\n";
      ours.push_back(ToHex(Text(out)));
    }
  }
  std::string output;
  ASSERT_TRUE(RunPython(kKdfOracle, "", input, &output, "/usr/bin/python3"));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], lines[i].at(0)) << "case " << i;
}

// The argument checks come in their documented order and write nothing.
TEST(EcAgreeDerivation, ArgumentChecks) {
  EccEngine own;
  EccEngine peer;
  Generate(own, 5);
  Generate(peer, 5);
  const uint8_t seed[64] = {};
  core::Buffer out;
  ASSERT_EQ(out.SetString("unchanged"), 0);
  EccEngine empty;
  EXPECT_EQ(empty.Agree(peer.Params, 12, seed, 1, seed, 48, nullptr, 0, out), kEcTlsPrfBadSeed);
  EXPECT_EQ(own.Agree(peer.Params, 12, seed, 0, seed, 64, nullptr, 0, out), kEcTlsPrfNoLabel);
  EcKeyParams other_type;
  ASSERT_EQ(other_type.CopyFrom(peer.Params, false), 0);
  other_type.KeyType = 3;
  EXPECT_EQ(own.Agree(EcKeyParams(), 99, nullptr, 0, nullptr, 0, nullptr, 0, out), kEcNoPublicKey);
  EXPECT_EQ(own.Agree(other_type, 99, nullptr, 0, nullptr, 0, nullptr, 0, out), kEcCurveMismatch);
  // A peer of small order gives the all-zero X25519 result, which is refused.
  EcKeyParams low_order;
  low_order.KeyType = 5;
  ASSERT_EQ(low_order.PublicKey.Resize(32), 0);
  std::memset(low_order.PublicKey.Data(), 0, 32);
  EXPECT_EQ(own.Agree(low_order, 99, nullptr, 0, nullptr, 0, nullptr, 0, out), kXdhZeroSecret);
  EXPECT_EQ(Text(out), "unchanged");
}

constexpr const char* kOkpOracle = R"PY(
import sys
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519, ed448, x25519, x448
kinds = {3: ed25519.Ed25519PrivateKey, 4: ed448.Ed448PrivateKey, 5: x25519.X25519PrivateKey, 6: x448.X448PrivateKey}
raw = serialization.Encoding.Raw, serialization.PublicFormat.Raw
for line in sys.stdin:
    f = line.split()
    if f:
        key = kinds[int(f[0])].from_private_bytes(bytes.fromhex(f[1][1:]))
        print(key.public_key().public_bytes(*raw).hex())
)PY";

// Generated octet keys of every type carry the public key python3-cryptography derives from their
// private key; X25519 and X448 keys are clamped; ECDSA_* and Ed names give keys.
TEST(EcKeyGeneration, OctetKeysMatchCryptography) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs /usr/bin/python3 and openssl";
  std::string input;
  std::vector<std::string> ours;
  for (int round = 0; round < 4; ++round) {
    for (int32_t type = 3; type <= 6; ++type) {
      EcKeyParams key;
      ASSERT_EQ(GenerateOkpKey(type, key), 0);
      const auto* d = key.PrivateKey.Bytes();
      if (type == 5) {
        EXPECT_EQ(d[0] % 8, 0);
        EXPECT_EQ(d[31] & 0xC0, 0x40);
      }
      if (type == 6) {
        EXPECT_EQ(d[0] % 4, 0);
        EXPECT_EQ(d[55] & 0x80, 0x80);
      }
      input += std::to_string(type) + " " + H(key.PrivateKey) + "\n";
      ours.push_back(ToHex(Text(key.PublicKey)));
    }
  }
  for (const char* name : {"Ed25519", "Ed448"}) {
    KeyRecord record;
    ASSERT_EQ(GenerateKeyByAlgorithmName(name, 0, record), 0) << name;
    ASSERT_EQ(record.Type, kKeyEdwards);
    input += std::to_string(record.EdParams.KeyType) + " " + H(record.EdParams.PrivateKey) + "\n";
    ours.push_back(ToHex(Text(record.EdParams.PublicKey)));
  }
  EcKeyParams unsupported;
  EXPECT_EQ(GenerateOkpKey(7, unsupported), kUnknownCurve);
  std::string output;
  ASSERT_TRUE(RunPython(kOkpOracle, "", input, &output, "/usr/bin/python3"));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], lines[i].at(0)) << "key " << i;
}

constexpr const char* kWeierstrassOracle = R"PY(
import os, subprocess, sys, tempfile
def run(*args):
    return subprocess.run(list(args), check=True, capture_output=True).stdout
def key_file(folder, name, oid, d, point):
    conf, der = os.path.join(folder, name + ".conf"), os.path.join(folder, name + ".der")
    with open(conf, "w") as f:
        f.write("asn1=SEQUENCE:ec\n[ec]\nversion=INTEGER:1\nkey=FORMAT:HEX,OCTETSTRING:%s\n"
                "params=EXPLICIT:0,OID:%s\npub=EXPLICIT:1,FORMAT:HEX,BITSTRING:%s\n" % (d, oid, point))
    run("openssl", "asn1parse", "-genconf", conf, "-out", der)
    return der
with tempfile.TemporaryDirectory() as folder:
    for line in sys.stdin:
        f = line.split()
        if not f:
            continue
        oid, flen, da, pa, db, pb = f[0], int(f[1]), f[2][1:], f[3][1:], f[4][1:], f[5][1:]
        a, b = key_file(folder, "a", oid, da, pa), key_file(folder, "b", oid, db, pb)
        checks = [subprocess.run(["openssl", "pkey", "-inform", "DER", "-in", k, "-check", "-noout"],
                                 capture_output=True).returncode for k in (a, b)]
        b_public = os.path.join(folder, "b_public.der")
        run("openssl", "ec", "-inform", "DER", "-in", b, "-pubout", "-outform", "DER", "-out", b_public)
        z = run("openssl", "pkeyutl", "-derive", "-inkey", a, "-keyform", "DER", "-peerkey", b_public,
                "-peerform", "DER")
        forms = []
        for form, length in (("compressed", 1 + flen), ("uncompressed", 1 + 2 * flen), ("hybrid", 1 + 2 * flen)):
            spki = run("openssl", "ec", "-inform", "DER", "-in", a, "-pubout", "-outform", "DER", "-conv_form", form)
            forms.append(spki[-length:].hex())
        print(checks[0], checks[1], z.hex(), *forms)
)PY";

std::string EcdsaName(int32_t type) {
  static const char* const kNist[] = {"ECDSA_P256", "ECDSA_P384", "ECDSA_P521"};
  if (type <= 2) return kNist[type];
  std::string name = std::string("ECDSA_") + EcKeyTypeToName(type);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// For all 21 Weierstrass key types: a key made by name and one by GenerateEcKey pass `openssl pkey
// -check`, ECDH equals `openssl pkeyutl -derive` from both sides, the three point encodings equal
// `openssl ec -conv_form`, and OpenSSL's encodings decode back to the point.
TEST(EcWeierstrass, AgreementKeysAndEncodingsMatchOpenSsl) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs /usr/bin/python3 and openssl";
  std::vector<int32_t> types = {0, 1, 2};
  for (int32_t type = 7; type <= 24; ++type) types.push_back(type);
  std::string input;
  std::vector<std::vector<std::string>> ours;
  std::vector<KeyRecord> records(types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    const int32_t type = types[i];
    KeyRecord& record = records[i];
    ASSERT_EQ(GenerateKeyByAlgorithmName(EcdsaName(type).c_str(), 0, record), 0) << EcdsaName(type);
    ASSERT_EQ(record.Type, kKeyEc);
    EcKeyParams& a = record.EcParams;
    ASSERT_EQ(a.KeyType, type);
    EcKeyParams b;
    ASSERT_EQ(GenerateEcKey(type, b), 0);
    const CurveParams& curve = *b.GetCurve();
    core::Buffer z_ab;
    core::Buffer z_ba;
    ASSERT_EQ(EcdhRawAgreement(a.D, b, 0, z_ab), 0);
    ASSERT_EQ(EcdhRawAgreement(b.D, a, 0, z_ba), 0);
    EXPECT_EQ(Text(z_ab), Text(z_ba));
    std::vector<std::string> row = {"0", "0", ToHex(Text(z_ab))};
    for (int form = 0; form < 3; ++form) {
      core::Buffer octets;
      ASSERT_EQ(EncodeEcPoint(a.X, a.Y, curve, form == 0, form == 2, octets), 0);
      row.push_back(ToHex(Text(octets)));
    }
    ours.push_back(row);
    core::Buffer pa;
    core::Buffer pb;
    ASSERT_EQ(EncodeEcPublicPoint(a, false, pa), 0);
    ASSERT_EQ(EncodeEcPublicPoint(b, false, pb), 0);
    input += std::string(EcKeyTypeToOid(type)) + " " + std::to_string(CurveFieldByteLength(curve)) + " " + H(a.D) +
             " " + H(pa) + " " + H(b.D) + " " + H(pb) + "\n";
  }
  std::string output;
  ASSERT_TRUE(RunPython(kWeierstrassOracle, "", input, &output, "/usr/bin/python3"));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i], lines[i]) << "key type " << types[i];
    EcKeyParams& a = records[i].EcParams;
    for (size_t form = 3; form < lines[i].size(); ++form) {
      core::Buffer octets;
      ASSERT_EQ(octets.Append(FromHex(lines[i][form]).data(), static_cast<int32_t>(lines[i][form].size() / 2)), 0);
      EcKeyParams decoded;
      decoded.KeyType = a.KeyType;
      ASSERT_EQ(decoded.SetPublicPoint(octets), 0) << types[i] << " form " << form;
      EXPECT_EQ(Text(decoded.X), Text(a.X));
      EXPECT_EQ(Text(decoded.Y), Text(a.Y));
    }
  }
}

constexpr const char* kGeneratorOracle = R"PY(
import subprocess, sys
for line in sys.stdin:
    name, form = line.split()
    text = subprocess.run(["openssl", "ecparam", "-name", name, "-param_enc", "explicit", "-conv_form", form,
                           "-text", "-noout"], check=True, capture_output=True, text=True).stdout
    block = text.split("Generator")[1]
    hexes = []
    for row in block.split("\n")[1:]:
        if not row.startswith("    "):
            break
        hexes.append(row.strip().replace(":", ""))
    print("".join(hexes))
)PY";

// Binary curves: the three encodings of the generator equal OpenSSL's, and decode back to it.
TEST(EcWeierstrass, BinaryCurvePointsEncodeAsOpenSslDoes) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs /usr/bin/python3 and openssl";
  const std::pair<uint32_t, const char*> curves[] = {{19, "sect163k1"}, {25, "sect233r1"}, {27, "sect283k1"},
                                                     {32, "sect571r1"}};
  const char* const forms[] = {"compressed", "uncompressed", "hybrid"};
  std::string input;
  std::vector<std::string> ours;
  for (const auto& [id, name] : curves) {
    const CurveParams curve(id);
    const int32_t flen = CurveFieldByteLength(curve);
    for (int form = 0; form < 3; ++form) {
      core::Buffer octets;
      ASSERT_EQ(EncodeEcPoint(curve.Gx, curve.Gy, curve, form == 0, form == 2, octets), 0);
      input += std::string(name) + " " + forms[form] + "\n";
      ours.push_back(ToHex(Text(octets)));
      int32_t valid = 0;
      core::Buffer x;
      core::Buffer y;
      ASSERT_EQ(DecodeEcPointOctets(octets, curve, valid, x, y), 0);
      ASSERT_EQ(valid, 1) << name << " " << forms[form];
      EXPECT_TRUE(y.EqualsIgnoringLeadingZeros(curve.Gy)) << name << " " << forms[form];
      EXPECT_EQ(y.Length(), flen);
    }
  }
  std::string output;
  ASSERT_TRUE(RunPython(kGeneratorOracle, "", input, &output, "/usr/bin/python3"));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], lines[i].at(0)) << input;
}

// Peer points are checked before agreement: off the curve, at infinity (0x00) or with a shared point at
// infinity, the agreement is refused and nothing is written.
TEST(EcWeierstrass, BadPeerPointsAreRefused) {
  EccEngine own;
  EcKeyParams generated;
  ASSERT_EQ(GenerateEcKey(0, generated), 0);
  ASSERT_EQ(own.SetKeyParams(generated), 0);
  EcKeyParams peer;
  ASSERT_EQ(GenerateEcKey(0, peer), 0);
  core::Buffer out;
  ASSERT_EQ(out.SetString("unchanged"), 0);
  EcKeyParams off_curve;
  ASSERT_EQ(off_curve.CopyFrom(peer, false), 0);
  off_curve.Y.Data()[31] ^= 1;
  EXPECT_EQ(own.Agree(off_curve, 99, nullptr, 0, nullptr, 0, nullptr, 0, out), kEcInvalidKey);
  EXPECT_EQ(own.Agree(off_curve, 1, nullptr, 0, nullptr, 0, nullptr, 0, out), kEcInvalidKey);
  // A point of another curve with the same field (here secp256k1's generator on P-256's field).
  EcKeyParams foreign;
  foreign.KeyType = 0;
  const CurveParams* k1 = FindCurveParams(static_cast<uint32_t>(EcKeyTypeToCurveId(10)));
  ASSERT_EQ(foreign.X.Assign(k1->Gx), 0);
  ASSERT_EQ(foreign.Y.Assign(k1->Gy), 0);
  EXPECT_EQ(own.Agree(foreign, 99, nullptr, 0, nullptr, 0, nullptr, 0, out), kEcInvalidKey);
  // The point at infinity is no public key; a scalar of n gives the point at infinity.
  EcKeyParams target;
  ASSERT_EQ(target.CopyFrom(peer, false), 0);
  core::Buffer infinity;
  ASSERT_EQ(infinity.AppendByte(0), 0);
  EXPECT_EQ(target.SetPublicPoint(infinity), kEcInvalidKey);
  EXPECT_EQ(Text(target.X), Text(peer.X));
  int32_t valid = 1;
  core::Buffer x;
  core::Buffer y;
  ASSERT_EQ(DecodeEcPointOctets(infinity, *target.GetCurve(), valid, x, y), 0);
  EXPECT_EQ(valid, 0);
  core::Buffer y_out;
  EXPECT_EQ(EcdhPointAgreement(target.GetCurve()->Order, peer, 0, out, y_out), kEcInvalidKey);
  EXPECT_EQ(Text(out), "unchanged");
  // A compressed x that is no point's x is invalid.
  core::Buffer octets;
  ASSERT_EQ(EncodeEcPoint(peer.X, peer.Y, *peer.GetCurve(), true, false, octets), 0);
  for (uint8_t bump = 1;; ++bump) {
    octets.Data()[32] = static_cast<char>(octets.Bytes()[32] + 1);
    ASSERT_EQ(DecodeEcPointOctets(octets, *peer.GetCurve(), valid, x, y), 0);
    if (valid == 0) break;
    ASSERT_LT(bump, 60);
  }
  // On a curve with cofactor 4 the flag multiplies the scalar by 4.
  EcKeyParams base;
  base.KeyType = 4;
  ASSERT_EQ(base.X.Assign(base.GetCurve()->Gx), 0);
  ASSERT_EQ(base.Y.Assign(base.GetCurve()->Gy), 0);
  core::Buffer one;
  core::Buffer four;
  ASSERT_EQ(one.AppendByte(1), 0);
  ASSERT_EQ(four.AppendByte(4), 0);
  core::Buffer with_flag;
  core::Buffer times_four;
  ASSERT_EQ(EcdhPointAgreement(one, base, 1, with_flag, y), 0);
  ASSERT_EQ(EcdhPointAgreement(four, base, 0, times_four, y), 0);
  EXPECT_EQ(Text(with_flag), Text(times_four));
  ASSERT_EQ(EcdhPointAgreement(one, base, 0, with_flag, y), 0);
  EXPECT_EQ(Text(with_flag), Text(base.X));
}

// Ed25519 and Ed448 keys convert into X25519 and X448 keys whose public key is the X function of the
// converted private key; for Ed25519 both halves also equal libsodium's conversion.
TEST(EcKeyConversion, EdwardsKeysMapToTheirMontgomeryForms) {
  for (int round = 0; round < 8; ++round) {
    for (int32_t type : {3, 4}) {
      EcKeyParams ed;
      ASSERT_EQ(GenerateOkpKey(type, ed), 0);
      EcKeyParams x;
      ASSERT_EQ(type == 3 ? ConvertEd25519ToX25519(ed, x) : ConvertEd448ToX448(ed, x), 0);
      ASSERT_EQ(x.KeyType, type + 2);
      core::Buffer expected;
      ASSERT_EQ(OkpPublicFromPrivate(x.KeyType, x.PrivateKey, expected), 0);
      EXPECT_EQ(ToHex(Text(x.PublicKey)), ToHex(Text(expected))) << "type " << type;
#if defined(VELMORA_HAVE_SODIUM)
      if (type == 3) {
        ASSERT_GE(sodium_init(), 0);
        uint8_t pk[32];
        uint8_t sk[32];
        uint8_t ed_sk[64];
        std::memcpy(ed_sk, ed.PrivateKey.Bytes(), 32);
        std::memcpy(ed_sk + 32, ed.PublicKey.Bytes(), 32);
        ASSERT_EQ(crypto_sign_ed25519_pk_to_curve25519(pk, ed.PublicKey.Bytes()), 0);
        ASSERT_EQ(crypto_sign_ed25519_sk_to_curve25519(sk, ed_sk), 0);
        EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(pk), 32)), ToHex(Text(x.PublicKey)));
        EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(sk), 32)), ToHex(Text(x.PrivateKey)));
      }
#endif
    }
  }
  EcKeyParams wrong;
  wrong.KeyType = 5;
  EcKeyParams target;
  EXPECT_EQ(ConvertEd25519ToX25519(wrong, target), kEcUnsupported);
  EXPECT_EQ(ConvertEd448ToX448(wrong, target), kEcUnsupported);
}

// Octet-key checks: presence and length only, unless the full check compares the derived public key.
TEST(EcKeyChecks, OctetKeysAreCheckedByLengthAndOptionallyByDerivation) {
  EcKeyParams key;
  ASSERT_EQ(GenerateOkpKey(3, key), 0);
  EcKeyParams public_only;
  ASSERT_EQ(public_only.CopyFrom(key, false), 0);
  EXPECT_EQ(ValidateOkpKey(public_only, 0), 1);
  ASSERT_EQ(public_only.PublicKey.Resize(31), 0);
  EXPECT_EQ(ValidateOkpKey(public_only, 0), 0);
  EcKeyParams mismatched;
  ASSERT_EQ(mismatched.CopyFrom(key, true), 0);
  mismatched.PublicKey.Data()[0] ^= 1;
  EXPECT_EQ(ValidateOkpKey(mismatched, 0), 1);
  EXPECT_EQ(ValidateOkpKey(mismatched, 1), 0);
  EXPECT_EQ(ValidateOkpKey(key, 1), 1);
  EccEngine engine;
  engine.FullKeyCheck = 1;
  EXPECT_EQ(engine.SetKeyParams(mismatched), kEcInvalidKey);
  EXPECT_EQ(mismatched.Validate(engine), kEcInvalidKey);
  EXPECT_EQ(key.Validate(engine), 0);
  // A key that already has its public part comes back unchanged from GenerateKey.
  ASSERT_EQ(engine.SetKeyParams(key), 0);
  EcKeyParams out;
  ASSERT_EQ(engine.GenerateKey(false, out), 0);
  EXPECT_EQ(Text(out.PublicKey), Text(key.PublicKey));
  EXPECT_TRUE(out.PrivateKey.IsEmpty());
  // The public part of a private-only key is filled in on export.
  KeyRecord record;
  record.Type = kKeyEdwards;
  ASSERT_EQ(record.EdParams.CopyFrom(key, true), 0);
  ASSERT_EQ(record.EdParams.PublicKey.Clear(), 0);
  EcKeyParams exported;
  ASSERT_EQ(record.GetEcParams(exported, true), 0);
  EXPECT_EQ(Text(exported.PublicKey), Text(key.PublicKey));
  EXPECT_TRUE(exported.PrivateKey.IsEmpty());
}

// The generic Sign and Verify on Ed keys run Ed25519ph / Ed448ph over the digest they are given.
TEST(EcKeyEdDSA, GenericSlotsSignTheDigestWithPrehash) {
  uint8_t digest[64] = {7};
  for (int32_t type : {3, 4}) {
    EccEngine engine;
    Generate(engine, type);
    core::Buffer signature;
    ASSERT_EQ(engine.Sign(digest, 64, signature), 0);
    int32_t valid = 0;
    ASSERT_EQ(engine.EdDSAVerify(digest, 64, signature.Bytes(), signature.Length(), valid, 1, nullptr, 0), 0);
    EXPECT_EQ(valid, 1) << type;
    ASSERT_EQ(engine.Verify(digest, 64, signature.Bytes(), signature.Length() - 1, valid), 0);
    EXPECT_EQ(valid, 0);
    digest[3] ^= 1;
    ASSERT_EQ(engine.Verify(digest, 64, signature.Bytes(), signature.Length(), valid), 0);
    EXPECT_EQ(valid, 0);
  }
}

// The component's guards: raw agreement on an EdDSA key is refused with its text, an X25519 key
// proceeds, EdDSA runs on the held key; in platform mode raw agreement and EdDSA are refused.
TEST(EcKeyGuards, ComponentRefusesWhatThePlatformCannotDo) {
  EccEngine bob;
  Generate(bob, 5);
  EcKeyParams x_key;
  ASSERT_EQ(GenerateOkpKey(5, x_key), 0);
  component::CryptoComponent internal;
  core::Buffer out;
  EXPECT_EQ(EcdhRawAgreementChecked(internal, bob.Params, out, 0), kEcInvalidKey);  // no key held
  ASSERT_EQ(SelectEccProvider(internal, x_key, 0), 0);
  ASSERT_EQ(EcdhRawAgreementChecked(internal, bob.Params, out, 0), 0);
  core::Buffer z;
  ASSERT_EQ(EcdhRawAgreement(bob.Params.PrivateKey, x_key, 0, z), 0);
  EXPECT_EQ(Text(out), Text(z));
  EcKeyParams ed;
  ASSERT_EQ(GenerateOkpKey(3, ed), 0);
  ASSERT_EQ(SelectEccProvider(internal, ed, 0), 0);
  EXPECT_EQ(EcdhRawAgreementChecked(internal, bob.Params, out, 0), 9998);
  EXPECT_EQ(Text(internal.LastErrorText()), "ECDH error: The raw agreement is not supported for EdDSA.");
  const uint8_t message[3] = {1, 2, 3};
  core::Buffer signature;
  ASSERT_EQ(EdDSASignByComponent(internal, message, 3, signature, 0, nullptr, 0), 0);
  int32_t valid = 0;
  ASSERT_EQ(EdDSAVerifyByComponent(internal, message, 3, signature.Bytes(), signature.Length(), valid, 0, nullptr, 0),
            0);
  EXPECT_EQ(valid, 1);
  component::CryptoComponent platform_mode;
  platform_mode.Hold(component::kAlgorithmNone, nullptr, 1);
  EXPECT_EQ(EcdhRawAgreementChecked(platform_mode, bob.Params, out, 0), 9998);
  EXPECT_EQ(Text(platform_mode.LastErrorText()),
            "ECDH error: The raw agreement is not supported in platform implementations.");
  EXPECT_EQ(EdDSASignByComponent(platform_mode, message, 3, signature, 0, nullptr, 0), kEcUnsupported);
  EXPECT_EQ(Text(platform_mode.LastErrorText()), "EdDSA error: EdDSA is not supported in FIPS compliant mode.");
}

// The platform blob of a P-256 signing key: "ECS2", 32 little-endian, X, Y, D of 32 bytes each.
TEST(EcKeyBlob, LayoutByTypeAndPart) {
  EcKeyParams key;
  key.KeyType = 0;
  ASSERT_EQ(key.X.SetData(2, "\x01\x02"), 0);
  ASSERT_EQ(key.Y.SetData(1, "\x03"), 0);
  ASSERT_EQ(key.D.SetData(1, "\x04"), 0);
  core::Buffer blob;
  ASSERT_EQ(BuildCngEccKeyBlob(key, true, false, blob), 0);
  ASSERT_EQ(blob.Length(), 8 + 3 * 32);
  EXPECT_EQ(Text(blob).substr(0, 8), std::string("ECS2\x20\0\0\0", 8));
  EXPECT_EQ(ToHex(Text(blob).substr(8)), std::string(60, '0') + "0102" + std::string(62, '0') + "03" +
                                             std::string(62, '0') + "04");
  ASSERT_EQ(BuildCngEccKeyBlob(key, false, true, blob), 0);
  EXPECT_EQ(Text(blob).substr(0, 8), std::string("ECK1\x20\0\0\0", 8));
  EXPECT_EQ(blob.Length(), 8 + 2 * 32);
  key.KeyType = 2;
  ASSERT_EQ(BuildCngEccKeyBlob(key, true, true, blob), 0);
  EXPECT_EQ(Text(blob).substr(0, 8), std::string("ECK6\x42\0\0\0", 8));
  EXPECT_EQ(blob.Length(), 8 + 3 * 66);
  ASSERT_EQ(key.D.Clear(), 0);
  EXPECT_EQ(BuildCngEccKeyBlob(key, true, true, blob), 0);
  EXPECT_EQ(blob.Length(), 8 + 3 * 66);  // unchanged: no private part to export
  key.KeyType = 7;
  EXPECT_EQ(BuildCngEccKeyBlob(key, false, false, blob), kEcUnsupported);
}

}  // namespace
}  // namespace velmora::crypto
