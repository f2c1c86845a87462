// CngEccKey through the key storage provider stand-in, against the openssl command line, python3's
// cryptography, hashlib and hmac, and InternalEccKey: blobs, generated keys and public points, ECDSA in
// both directions, ECDH with each platform derivation, the concatenation KDF, and bad input.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/ec_key_ops.h"
#include "crypto/objects/key_classes.h"
#include "crypto/providers/cng_ecc_key.h"
#include "crypto/providers/provider_tables.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/modules.h"
#include "platform/store_root.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ksp_software.h"
#include "platform/crypto/ncrypt_modules.h"
#endif

namespace velmora::crypto {
namespace {

namespace plat = velmora::platform;
using testing_support::FromHex;
using testing_support::ToHex;

[[maybe_unused]] std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }
[[maybe_unused]] const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
[[maybe_unused]] int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }
[[maybe_unused]] std::string X(const std::string& bytes) { return "x" + ToHex(bytes); }
constexpr int32_t kField[] = {32, 48, 66};

constexpr char kOracle[] = R"PY(
import atexit, hashlib, hmac, os, shutil, subprocess, sys, tempfile
from cryptography.hazmat.primitives import serialization as S
from cryptography.hazmat.primitives.asymmetric import ec
tmp = tempfile.mkdtemp()
atexit.register(shutil.rmtree, tmp, True)
CURVES = [(ec.SECP256R1(), 32), (ec.SECP384R1(), 48), (ec.SECP521R1(), 66)]
def b(h): return bytes.fromhex(h[1:])
def path(n): return os.path.join(tmp, n)
def key(c, d): return ec.derive_private_key(int(d[1:], 16), CURVES[c][0])
def run(args, data=b""):
    r = subprocess.run(args, input=data, capture_output=True)
    return r.returncode == 0, r.stdout
for line in sys.stdin:
    f = line.split()
    if f[0] == "pub":
        n = key(int(f[1]), f[2]).public_key().public_numbers(); w = CURVES[int(f[1])][1]
        print("x" + n.x.to_bytes(w, "big").hex(), "x" + n.y.to_bytes(w, "big").hex())
    elif f[0] == "key":
        k = key(int(f[2]), f[3])
        open(path(f[1]), "wb").write(k.private_bytes(S.Encoding.PEM, S.PrivateFormat.PKCS8, S.NoEncryption()))
        open(path(f[1] + ".pub"), "wb").write(k.public_key().public_bytes(S.Encoding.PEM, S.PublicFormat.SubjectPublicKeyInfo))
        ok, out = run(["openssl", "ec", "-check", "-noout", "-in", path(f[1])])
        print("ok" if ok else "bad")
    elif f[0] == "verify":
        open(path("sig"), "wb").write(b(f[3]))
        ok, out = run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", path(f[1] + ".pub"), "-sigfile", path("sig")], b(f[2]))
        print("ok" if ok and b"Success" in out else "bad")
    elif f[0] == "sign":
        ok, out = run(["openssl", "pkeyutl", "-sign", "-inkey", path(f[1])], b(f[2])); print("x" + out.hex())
    elif f[0] == "derive":
        ok, out = run(["openssl", "pkeyutl", "-derive", "-inkey", path(f[1]), "-peerkey", path(f[2] + ".pub")]); print("x" + out.hex())
    elif f[0] == "hash":
        print("x" + hashlib.new(f[1], b(f[2]) + b(f[3]) + b(f[4])).hexdigest())
    elif f[0] == "hmac":
        print("x" + hmac.new(b(f[2]), b(f[3]) + b(f[4]) + b(f[5]), f[1]).hexdigest())
    elif f[0] == "tlsprf":
        ok, out = run(["openssl", "kdf", "-binary", "-keylen", "48", "-kdfopt", "digest:MD5-SHA1", "-kdfopt", "hexsecret:" + f[1][1:],
                       "-kdfopt", "hexseed:" + f[2][1:] + f[3][1:], "TLS1-PRF"]); print("x" + out.hex())
    elif f[0] == "sskdf":
        ok, out = run(["openssl", "kdf", "-binary", "-keylen", f[1], "-kdfopt", "digest:SHA256", "-kdfopt", "hexkey:" + f[2][1:],
                       "-kdfopt", "hexinfo:" + f[3][1:], "SSKDF"]); print("x" + out.hex())
    sys.stdout.flush()
)PY";

[[maybe_unused]] bool OracleAvailable() {
  return std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

// Oracle collects commands and runs them all at once; answers come back as byte strings ("x" + hex) or
// words.
struct Oracle {
  std::string input;
  size_t count = 0;
  size_t Add(const std::string& command) {
    input += command + "\n";
    return count++;
  }
  std::vector<std::vector<std::string>> Run() {
    std::string output;
    EXPECT_TRUE(testing_support::RunPython(kOracle, "", input, &output, "/usr/bin/python3"));
    auto lines = testing_support::Lines(output);
    EXPECT_EQ(lines.size(), count);
    lines.resize(count);
    input.clear();
    count = 0;
    return lines;
  }
};
[[maybe_unused]] std::string Bytes(const std::string& field) { return field.size() > 1 && field[0] == 'x' ? FromHex(field.substr(1)) : ""; }

[[maybe_unused]] std::mt19937 SeededRng(const char* test) {
  const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
  std::printf("%s seed %u\n", test, seed);
  return std::mt19937(seed);
}
[[maybe_unused]] std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}
// RandomD is a private scalar below the curve order: the top bit cleared (P-521: the top 8 of 528).
[[maybe_unused]] std::string RandomD(std::mt19937& rng, int type) {
  std::string d = RandomBytes(rng, static_cast<size_t>(kField[type]));
  d[0] = static_cast<char>(type == 2 ? 0 : (d[0] & 0x7F) | 1);
  return d;
}
// Params is a key of the type with D, and X and Y when given.
struct Params : EcKeyParams {
  Params(int type, const std::string& d, const std::string& x = "", const std::string& y = "") {
    KeyType = type;
    EXPECT_EQ(D.SetData(Len(d), d.data()) | X.SetData(Len(x), x.data()) | Y.SetData(Len(y), y.data()), 0);
  }
};
// PublicOf is the public part of a key.
struct PublicOf : EcKeyParams {
  explicit PublicOf(const EcKeyParams& key) { EXPECT_EQ(CopyFrom(key, false), 0); }
};

class CngEccTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_cng_ecc_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    base_ = base;
    plat::test::SetStoreRoot(base);
    CryptoProvidersStaticInit();
  }
  void TearDown() override {
    (void)settings_.Set("UseFIPSCompliantAPI=false");
    CryptoProvidersStaticDestroy();
#if VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(plat::LiveNcryptKeys(), 0);
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
#endif
    plat::test::SetStoreRoot(nullptr);
    std::filesystem::remove_all(base_);
  }
  // Generated makes a platform key on each curve and registers it with the oracle as k<type>.
  void Generate(Oracle& oracle, std::deque<EcKeyParams>& keys, const char* prefix = "k") {
    for (int type = 0; type < 3; ++type) {
      CngEccKey key;
      key.OwnParams().KeyType = type;
      EXPECT_EQ(key.GenerateKey(true, keys.emplace_back()), 0);
      oracle.Add("key " + std::string(prefix) + std::to_string(type) + " " + std::to_string(type) + " " +
                 X(Str(keys.back().D)));
    }
  }
  std::string base_;
  component::Configurable<component::ComponentBase> settings_;
};

#if VELMORABLE_PLATFORM_CRYPTO
#define REQUIRE_PLATFORM_AND_ORACLE() \
  if (!OracleAvailable()) GTEST_SKIP() << "needs openssl and /usr/bin/python3 with cryptography"
#else
#define REQUIRE_PLATFORM_AND_ORACLE() GTEST_SKIP() << "built without the platform crypto stand-in"
#endif

#if VELMORABLE_PLATFORM_CRYPTO
int PlatformCalls() {
  int calls = 0;
  for (const char* name : {"NCryptOpenStorageProvider", "NCryptImportKey", "NCryptCreatePersistedKey",
                           "NCryptExportKey", "NCryptSecretAgreement", "NCryptDeriveKey", "NCryptSignHash"}) {
    calls += plat::test::CryptoCallCount(name);
  }
  return calls;
}
#endif

TEST_F(CngEccTest, BlobsKeysAndPublicPoints) {
  REQUIRE_PLATFORM_AND_ORACLE();
#if VELMORABLE_PLATFORM_CRYPTO
  std::mt19937 rng = SeededRng("CngEccTest.BlobsKeysAndPublicPoints");
  // ImportBcryptEccBlob: the magic's digit decides the form, the form and the length the field.
  const std::string parts = RandomBytes(rng, 3 * 66);
  struct Row {
    const char* magic;
    int parts, field, type;
  };
  for (const Row& row : {Row{"ECS4", 3, 48, 1}, Row{"ECK3", 2, 48, 1}, Row{"ECS2", 3, 32, 0}, Row{"ECK5", 2, 66, 2},
                         Row{"ECS3", 3, 48, -1}, Row{"ECS2", 3, 40, -1}, Row{"ECS6", 3, 65, -1}, Row{"ECS1", 2, 31, -1}}) {
    std::string blob = std::string(row.magic) + std::string(4, '\0') + parts.substr(0, row.parts * row.field);
    EcKeyParams p;
    const int expected = row.type < 0 ? kCngEcBadBlob : 0;
    ASSERT_EQ(ImportBcryptEccBlob(p, U8(blob), Len(blob)), expected) << row.magic << " " << row.field;
    if (expected != 0) continue;
    EXPECT_EQ(p.KeyType, row.type);
    EXPECT_EQ(Str(p.X) + Str(p.Y) + Str(p.D), parts.substr(0, row.parts * row.field)) << row.magic;
  }
  // Generated keys pass `openssl ec -check`; SetKeyParams imports a private blob with D, else a public one.
  Oracle oracle;
  std::deque<EcKeyParams> keys;
  Generate(oracle, keys);
  for (const auto& answer : oracle.Run()) EXPECT_EQ(answer, std::vector<std::string>{"ok"});
  for (int type = 0; type < 3; ++type) {
    for (bool with_d : {true, false}) {
      CngEccKey key;
      const PublicOf public_part(keys[type]);
      ASSERT_EQ(key.SetKeyParams(with_d ? keys[type] : static_cast<const EcKeyParams&>(public_part)), 0);
      const std::vector<uint8_t> header = plat::ksp::test::LastImportedBlobHeader();
      ASSERT_EQ(header.size(), 8u);
      EXPECT_EQ(std::string(header.begin(), header.begin() + 4),
                "ECS" + std::to_string(2 * type + (with_d ? 2 : 1)));
      EXPECT_EQ(header[4] | header[5] << 8, kField[type]);
    }
  }
  // NCryptEccPublicFromPrivate gives python3-cryptography's X and Y, 50 keys per curve.
  std::deque<Params> privates;
  for (int type = 0; type < 3; ++type) {
    for (int i = 0; i < 50; ++i) {
      privates.emplace_back(type, RandomD(rng, type));
      oracle.Add("pub " + std::to_string(type) + " " + X(Str(privates.back().D)));
    }
  }
  const auto points = oracle.Run();
  for (size_t i = 0; i < privates.size(); ++i) {
    ASSERT_EQ(NCryptEccPublicFromPrivate(privates[i]), 0) << i;
    EXPECT_EQ(X(Str(privates[i].X)) + " " + X(Str(privates[i].Y)), points[i][0] + " " + points[i][1]) << i;
  }
  // EnsureEcPublicKey goes through the platform in FIPS mode; secp256k1 gets 1410 from every platform path
  // without a platform call.
  ASSERT_EQ(settings_.Set("UseFIPSCompliantAPI=true"), 0);
  Params fips(1, Str(privates[50].D));
  plat::test::ResetCryptoCallCounts();
  ASSERT_EQ(EnsureEcPublicKey(fips), 0);
  EXPECT_EQ(plat::test::CryptoCallCount("NCryptExportKey"), 2);
  EXPECT_EQ(Str(fips.X), Str(privates[50].X));
  Params k1(10, RandomBytes(rng, 32));
  CngEccKey k1_key;
  k1_key.OwnParams().KeyType = 10;
  EcKeyParams out;
  plat::test::ResetCryptoCallCounts();
  EXPECT_EQ(EnsureEcPublicKey(k1), kEcUnsupported);
  EXPECT_EQ(NCryptEccPublicFromPrivate(k1), kEcUnsupported);
  EXPECT_EQ(k1_key.GenerateKey(true, out), kEcUnsupported);
  EXPECT_EQ(k1_key.SetKeyParams(k1), kEcUnsupported);
  EXPECT_EQ(PlatformCalls(), 0);
#endif
}

TEST_F(CngEccTest, SignaturesAgainstOpenssl) {
  REQUIRE_PLATFORM_AND_ORACLE();
#if VELMORABLE_PLATFORM_CRYPTO
  std::mt19937 rng = SeededRng("CngEccTest.SignaturesAgainstOpenssl");
  Oracle oracle;
  std::deque<EcKeyParams> keys;
  Generate(oracle, keys);
  std::vector<CngEccKey> cng(3);
  std::vector<std::string> digests, ours;
  for (int type = 0; type < 3; ++type) {
    ASSERT_EQ(cng[type].SetKeyParams(keys[type]), 0);
    digests.push_back(RandomBytes(rng, static_cast<size_t>(type == 0 ? 32 : type == 1 ? 48 : 64)));
    core::Buffer raw, der;
    ASSERT_EQ(cng[type].Sign(U8(digests[type]), Len(digests[type]), raw), 0);
    ASSERT_EQ(raw.Length(), 2 * kField[type]);
    ASSERT_EQ(EncodeRawSignatureAsDer(raw.Bytes(), raw.Length(), der), 0);
    oracle.Add("verify k" + std::to_string(type) + " " + X(digests[type]) + " " + X(Str(der)));
    // Sixteen OpenSSL signatures each: for P-256 one with a 33-byte r in DER is all but certain.
    for (int i = 0; i < 16; ++i) oracle.Add("sign k" + std::to_string(type) + " " + X(digests[type]));
  }
  const auto answers = oracle.Run();
  bool long_r = false;
  for (int type = 0; type < 3; ++type) {
    EXPECT_EQ(answers[3 + type * 17][0], "ok") << "our signature, type " << type;
    for (int i = 0; i < 16; ++i) {
      const std::string der = Bytes(answers[3 + type * 17 + 1 + i][0]);
      long_r |= type == 0 && der.size() > 4 && der[3] == 33;
      int32_t valid = 0;
      EXPECT_EQ(cng[type].Verify(U8(digests[type]), Len(digests[type]), U8(der), Len(der), valid), 0);
      EXPECT_EQ(valid, 1) << "OpenSSL's signature " << i << ", type " << type;
    }
  }
  EXPECT_TRUE(long_r);
  // A raw signature passes unchanged; a changed byte is a signature that does not verify.
  core::Buffer raw;
  ASSERT_EQ(cng[0].Sign(U8(digests[0]), 32, raw), 0);
  int32_t valid = 0;
  EXPECT_EQ(cng[0].Verify(U8(digests[0]), 32, raw.Bytes(), 64, valid), 0);
  EXPECT_EQ(valid, 1);
  std::string changed = Str(raw);
  changed[40] ^= 4;
  EXPECT_EQ(cng[0].Verify(U8(digests[0]), 32, U8(changed), 64, valid), 0);
  EXPECT_EQ(valid, 0);
  // The codes, each before any platform call.
  CngEccKey empty;
  const PublicOf public_part(keys[0]);
  CngEccKey no_handle;
  ASSERT_EQ(no_handle.OwnParams().CopyFrom(public_part, false), 0);
  struct Row {
    const char* what;
    std::function<int()> call;
    int code;
  };
  const Row rows[] = {
      {"no digest", [&] { return cng[0].Verify(nullptr, 0, raw.Bytes(), 64, valid); }, kEcNoDigest},
      {"no signature", [&] { return cng[0].Verify(U8(digests[0]), 32, nullptr, 0, valid); }, kCngEcNoSignature},
      {"no public key", [&] { return empty.Verify(U8(digests[0]), 32, raw.Bytes(), 64, valid); }, kEcNoPublicKey},
      {"no handle", [&] { return no_handle.Verify(U8(digests[0]), 32, raw.Bytes(), 64, valid); }, kEcNoPublicKey},
      {"sign without a handle", [&] { return empty.Sign(U8(digests[0]), 32, raw); }, kEcNoPrivateKey},
  };
  plat::test::ResetCryptoCallCounts();
  for (const Row& row : rows) EXPECT_EQ(row.call(), row.code) << row.what;
  EXPECT_EQ(PlatformCalls() + plat::test::CryptoCallCount("NCryptVerifySignature"), 0);
#endif
}

TEST_F(CngEccTest, AgreementAgainstOracles) {
  REQUIRE_PLATFORM_AND_ORACLE();
#if VELMORABLE_PLATFORM_CRYPTO
  std::mt19937 rng = SeededRng("CngEccTest.AgreementAgainstOracles");
  Oracle oracle;
  std::deque<EcKeyParams> a, b;
  Generate(oracle, a, "a");
  Generate(oracle, b, "b");
  const std::string prepend = RandomBytes(rng, 7), append = RandomBytes(rng, 9), hmac_key = RandomBytes(rng, 20);
  const std::string seed = RandomBytes(rng, 64), label = "master secret";
  const std::string info[] = {RandomBytes(rng, 4), RandomBytes(rng, 5), RandomBytes(rng, 6), RandomBytes(rng, 3),
                              RandomBytes(rng, 2)};
  const ConcatKdfInfo concat{U8(info[0]), 4, U8(info[1]), 5, U8(info[2]), 6, U8(info[3]), 3, U8(info[4]), 2};
  std::vector<std::string> z, hashed, hmaced, tls, sskdf;
  for (int type = 0; type < 3; ++type) {
    const PublicOf peer(b[type]);
    core::Buffer out;
    ASSERT_EQ(CngEcdhDeriveKey(a[type], peer, {99, 0}, out), 0);
    z.push_back(Str(out));
    ASSERT_EQ(CngEcdhDeriveKey(a[type], peer, {0, 1, U8(prepend), 7, U8(append), 9}, out), 0);
    hashed.push_back(Str(out));
    ASSERT_EQ(CngEcdhDeriveKey(a[type], peer, {1, 8, U8(prepend), 7, U8(append), 9, U8(hmac_key), 20}, out), 0);
    hmaced.push_back(Str(out));
    ASSERT_EQ(CngEcdhDeriveKey(a[type], peer, {2, 12, U8(label), Len(label), U8(seed), 64}, out), 0);
    tls.push_back(Str(out));
    ASSERT_EQ(CngConcatKdf(a[type], peer, "SHA256", concat, out), 0);
    sskdf.push_back(Str(out));
    const std::string t = std::to_string(type);
    oracle.Add("derive a" + t + " b" + t);
    oracle.Add("hash sha256 " + X(prepend) + " " + X(z.back()) + " " + X(append));
    oracle.Add("hmac sha256 " + X(hmac_key) + " " + X(prepend) + " " + X(z.back()) + " " + X(append));
    oracle.Add("tlsprf " + X(z.back()) + " " + X(label) + " " + X(seed));
    oracle.Add("sskdf " + std::to_string(sskdf.back().size()) + " " + X(z.back()) + " " +
               X(info[0] + info[1] + info[2] + info[3] + info[4]));
  }
  const auto answers = oracle.Run();
  for (int type = 0; type < 3; ++type) {
    const auto* row = &answers[6 + 5 * type];
    EXPECT_EQ(X(z[type]), row[0][0]) << "TRUNCATE, type " << type;
    EXPECT_EQ(X(hashed[type]), row[1][0]) << "HASH, type " << type;
    EXPECT_EQ(X(hmaced[type]), row[2][0]) << "HMAC, type " << type;
    EXPECT_EQ(X(tls[type]), row[3][0]) << "TLS_PRF, type " << type;
    EXPECT_EQ(sskdf[type].size(), 32u);
    EXPECT_EQ(X(sskdf[type]), row[4][0]) << "SP800_56A_CONCAT, type " << type;
  }
  // Codes: the TLS PRF's and the concatenation KDF's before any platform call, then the key checks.
  const PublicOf peer0(b[0]), peer1(b[1]);
  core::Buffer out;
  const ConcatKdfInfo no_id{nullptr, 0, U8(info[1]), 5, U8(info[2]), 6, nullptr, 0, nullptr, 0};
  const ConcatKdfInfo no_u{U8(info[0]), 4, nullptr, 0, U8(info[2]), 6, nullptr, 0, nullptr, 0};
  const ConcatKdfInfo no_v{U8(info[0]), 4, U8(info[1]), 5, nullptr, 0, nullptr, 0, nullptr, 0};
  plat::test::ResetCryptoCallCounts();
  EXPECT_EQ(CngEcdhDeriveKey(a[0], peer0, {2, 12, U8(label), Len(label), U8(seed), 32}, out), kEcTlsPrfBadSeed);
  EXPECT_EQ(CngEcdhDeriveKey(a[0], peer0, {2, 12, U8(label), 0, U8(seed), 64}, out), kEcTlsPrfNoLabel);
  EXPECT_EQ(CngConcatKdf(a[0], peer0, nullptr, no_id, out), kEcNoAlgorithmId);
  EXPECT_EQ(CngConcatKdf(a[0], peer0, nullptr, no_u, out), kEcNoPartyUInfo);
  EXPECT_EQ(CngConcatKdf(a[0], peer0, nullptr, no_v, out), kEcNoPartyVInfo);
  EXPECT_EQ(CngEcdhDeriveKey(a[0], peer1, {99, 0}, out), kEcCurveMismatch);
  EXPECT_EQ(CngEcdhDeriveKey(peer1, b[1], {99, 0}, out), kEcNoPrivateKey);
  EXPECT_EQ(PlatformCalls(), 0);
#endif
}

TEST_F(CngEccTest, PlatformAndInternalAgree) {
#if VELMORABLE_PLATFORM_CRYPTO
  std::mt19937 rng = SeededRng("CngEccTest.PlatformAndInternalAgree");
  const std::string prepend = RandomBytes(rng, 5), append = RandomBytes(rng, 64), hmac_key = RandomBytes(rng, 16);
  for (int type = 0; type < 3; ++type) {
    CngEccKey cng, cng_peer;
    InternalEccKey internal, internal_peer;
    cng.OwnParams().KeyType = cng_peer.OwnParams().KeyType = type;
    EcKeyParams own, peer;
    ASSERT_EQ(cng.GenerateKey(true, own), 0);
    ASSERT_EQ(cng_peer.GenerateKey(true, peer), 0);
    ASSERT_EQ(internal.SetKeyParams(own), 0);
    ASSERT_EQ(cng.SetKeyParams(own), 0);
    // ECDSA both ways.
    const std::string digest = RandomBytes(rng, 32);
    core::Buffer by_internal, by_cng;
    ASSERT_EQ(internal.Sign(U8(digest), 32, by_internal), 0);
    ASSERT_EQ(cng.Sign(U8(digest), 32, by_cng), 0);
    int32_t valid = 0;
    EXPECT_EQ(cng.Verify(U8(digest), 32, by_internal.Bytes(), by_internal.Length(), valid), 0);
    EXPECT_EQ(valid, 1) << "internal signature, type " << type;
    valid = 0;
    EXPECT_EQ(internal.Verify(U8(digest), 32, by_cng.Bytes(), by_cng.Length(), valid), 0);
    EXPECT_EQ(valid, 1) << "platform signature, type " << type;
    // Every derivation id both offer (MD2 and MD4, ids 4 and 5, only the internal key).
    const PublicOf peer_public(peer);
    for (int32_t id : {0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 99, 40}) {
      core::Buffer mine, theirs;
      ASSERT_EQ(cng.Agree(peer_public, id, mine, U8(prepend), 5, U8(append), 64, U8(hmac_key), 16), 0) << id;
      ASSERT_EQ(internal.Agree(peer_public, id, theirs, U8(prepend), 5, U8(append), 64, U8(hmac_key), 16), 0) << id;
      EXPECT_EQ(ToHex(Str(mine)), ToHex(Str(theirs))) << "id " << id << ", type " << type;
    }
    // The concatenation KDF: the internal slot's 32 bytes; with SHA-384 the platform gives the digest's 48,
    // whose first 32 are the internal slot's.
    for (const char* digest_name : {"", "SHA256", "SHA384"}) {
      core::Buffer mine, theirs;
      ASSERT_EQ(cng.AgreeWithKdf(peer_public, digest_name, U8(prepend), 2, U8(append), 3, U8(hmac_key), 4, nullptr, 0,
                                 U8(append), 8, mine), 0);
      ASSERT_EQ(internal.AgreeWithKdf(peer_public, digest_name, U8(prepend), 2, U8(append), 3, U8(hmac_key), 4,
                                      nullptr, 0, U8(append), 8, theirs), 0);
      EXPECT_EQ(mine.Length(), digest_name == std::string("SHA384") ? 48 : 32);
      EXPECT_EQ(ToHex(Str(mine).substr(0, 32)), ToHex(Str(theirs))) << digest_name << ", type " << type;
    }
  }
#else
  GTEST_SKIP() << "built without the platform crypto stand-in";
#endif
}

TEST_F(CngEccTest, BadInputGetsACode) {
  {
    // The NCrypt EC table not loaded.
    CryptoProvidersStaticDestroy();
    plat::test::SetModuleMissing("Ncrypt.dll", true);
    CryptoProvidersStaticInit();
    CngEccKey key;
    EcKeyParams out;
    EXPECT_EQ(key.GenerateKey(true, out), kCngNotLoaded);
    EXPECT_EQ(key.FromCertificateContext(nullptr, nullptr, 0), kCngNotLoaded);
    CryptoProvidersStaticDestroy();
    plat::test::SetModuleMissing("Ncrypt.dll", false);
    CryptoProvidersStaticInit();
  }
#if VELMORABLE_PLATFORM_CRYPTO
  std::mt19937 rng = SeededRng("CngEccTest.BadInputGetsACode");
  CngEccKey key;
  key.OwnParams().KeyType = 0;
  EcKeyParams own;
  ASSERT_EQ(key.GenerateKey(true, own), 0);
  core::SecureBuffer blob;
  ASSERT_EQ(BuildCngEccKeyBlob(own, true, false, blob), 0);
  // Mutated blobs: a changed magic letter or digit, length field or coordinate, or a truncated part.
  plat::NCRYPT_PROV_HANDLE provider = 0;
  ASSERT_EQ(OpenKeyStorageProvider(provider), 0);
  auto import = ProviderFunctionAs<plat::NCryptImportKeyFn>(ProviderTable::kNcryptEcc, ncrypt_ecc_fn::kImportKey);
  const int live = plat::LiveNcryptKeys();
  for (int i = 0; i < 200; ++i) {
    std::string mutated = Str(blob);
    const int kind = i % 3;
    if (kind == 0) {
      const size_t at = std::vector<size_t>{0, 1, 3, 4, 5}[rng() % 5];
      mutated[at] = static_cast<char>(mutated[at] ^ (1 + rng() % 255));
    } else if (kind == 1) {
      mutated[8 + rng() % 96] ^= static_cast<char>(1 + rng() % 255);
    } else {
      mutated.resize(rng() % mutated.size());
    }
    EcKeyParams parsed;
    const int parse = ImportBcryptEccBlob(parsed, U8(mutated), Len(mutated));
    EXPECT_TRUE(parse == 0 || parse == kCngEcBadBlob) << i;
    plat::NCRYPT_KEY_HANDLE made = 0;
    EXPECT_EQ(import(provider, 0, u"ECCPRIVATEBLOB", nullptr, &made, U8(mutated), static_cast<plat::DWORD>(Len(mutated)),
                     0),
              plat::kNteBadData)
        << "mutation " << i << " (" << kind << ")";
    EXPECT_EQ(made, 0u);
    EXPECT_EQ(plat::LiveNcryptKeys(), live);
  }
  (void)NCryptFreeHandle(provider);
  // A peer off the curve gets the stand-in's status; MD2 and MD4 are not offered; EdDSA is not either.
  const PublicOf good(own);
  Params off(0, "", Str(good.X), Str(good.Y));
  reinterpret_cast<uint8_t*>(off.Y.Data())[31] ^= 1;
  core::Buffer out;
  EXPECT_EQ(CngEcdhDeriveKey(own, off, {99, 0}, out), plat::kNteBadData);
  EXPECT_EQ(out.Length(), 0);
  EXPECT_EQ(CngEcdhDeriveKey(own, good, {0, 4}, out), static_cast<int>(plat::kNteNotSupported));
  EXPECT_EQ(CngEcdhDeriveKey(own, good, {0, 5}, out), static_cast<int>(plat::kNteNotSupported));
  int32_t valid = 1;
  EXPECT_EQ(key.EdDSASign(U8(Str(blob)), 8, out, 0, nullptr, 0), kEcUnsupported);
  EXPECT_EQ(key.EdDSAVerify(U8(Str(blob)), 8, U8(Str(blob)), 8, valid, 0, nullptr, 0), kEcUnsupported);
  EXPECT_EQ(valid, 0);
  // A certificate context the platform knows no key for: -1, and nothing freed or left behind.
  plat::CERT_CONTEXT context{};
  CngEccKey from_certificate;
  const int handles = plat::test::LiveCryptoHandles();
  EXPECT_EQ(from_certificate.FromCertificateContext(&context, "1234", 0), kCngNotLoaded);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), handles);
#endif
}

}  // namespace
}  // namespace velmora::crypto
