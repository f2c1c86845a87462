// CngRsaKey through the key storage provider stand-in, against the openssl command line and
// python3-cryptography: imports by parameter set, generated and completed keys, PKCS#1 v1.5 and PSS
// signatures, PKCS#1 v1.5 and OAEP encryption, agreement with InternalRsaKey over the committed keys,
// the FIPS front checks, raw RSA and bad input.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "crypto/objects/key_classes.h"
#include "crypto/objects/key_providers.h"
#include "crypto/providers/cng_rsa_key.h"
#include "crypto/providers/provider_tables.h"
#include "platform/crypto/ncrypt_types.h"
#include "platform/modules.h"
#include "platform/store_root.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/ksp_software.h"
#endif

namespace velmora::crypto {
namespace {

namespace plat = velmora::platform;
using testing_support::FromHex;
using testing_support::ToHex;

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }
const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }
std::string Hex(const core::BufferCore& b) { return "x" + ToHex(Str(b)); }
std::string Stripped(std::string bytes) {
  return bytes.erase(0, std::min(bytes.find_first_not_of('\0'), bytes.size()));
}

struct TestKey {
  int bits = 0;
  RsaKeyParams params;  // E, N, D, P, Q and the CRT values
};

// The committed keys (tests/data/crypto/pubkey/platform_rsa_keys.txt): 1024, 1536, 2048, 2560, 3072 and
// 1025 bits.
const std::deque<TestKey>& Keys() {
  static std::deque<TestKey>* keys = [] {
    auto* out = new std::deque<TestKey>;
    std::ifstream in(VELMORA_TEST_DATA_DIR "/crypto/pubkey/platform_rsa_keys.txt");
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      const std::string name = line.substr(0, line.find(" = ")), value = line.substr(line.find(" = ") + 3);
      if (name == "Bits") {
        out->emplace_back().bits = std::stoi(value);
        continue;
      }
      RsaKeyParams& p = out->back().params;
      core::BufferCore* field = name == "Modulus" ? static_cast<core::BufferCore*>(&p.Modulus)
                                : name == "Exponent" ? &p.Exponent
                                : name == "D"        ? &p.D
                                : name == "P"        ? &p.P
                                                     : &p.Q;
      const std::string bytes = FromHex(value);
      EXPECT_EQ(field->SetData(Len(bytes), bytes.data()), 0);
    }
    for (TestKey& key : *out) EXPECT_EQ(key.params.CompleteCrt(), 0);
    return out;
  }();
  return *keys;
}
const TestKey& KeyOfBits(int bits) {
  for (const TestKey& key : Keys()) {
    if (key.bits == bits) return key;
  }
  std::abort();
}

// The oracle: one line per command on standard input, one line of answer each.
constexpr char kOracle[] = R"PY(
import atexit, os, shutil, subprocess, sys, tempfile
from math import gcd
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa
tmp = tempfile.mkdtemp()
atexit.register(shutil.rmtree, tmp, True)
def num(h): return int(h.lstrip("x") or "0", 16)
def hx(v): return "x" + v.to_bytes((v.bit_length() + 7) // 8, "big").hex()
def pem(n, e, d, p, q):
    key = rsa.RSAPrivateNumbers(p, q, d, rsa.rsa_crt_dmp1(d, p), rsa.rsa_crt_dmq1(d, q), rsa.rsa_crt_iqmp(p, q),
                                rsa.RSAPublicNumbers(e, n)).private_key()
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())
def opts(mode):
    kind, *rest = mode.split(":")
    if kind == "pkcs1": return ["-pkeyopt", "digest:" + rest[0]] if rest else []
    if kind == "pss": return ["-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt", "rsa_pss_saltlen:" + rest[0],
                              "-pkeyopt", "digest:sha256"]
    o = ["-pkeyopt", "rsa_padding_mode:oaep", "-pkeyopt", "rsa_oaep_md:" + rest[0],
         "-pkeyopt", "rsa_mgf1_md:" + rest[0]]
    return o + (["-pkeyopt", "rsa_oaep_label:" + rest[1]] if len(rest) > 1 and rest[1] else [])
def pkeyutl(key, op, mode, data, sig=None):
    path = os.path.join(tmp, "sig")
    args = ["openssl", "pkeyutl", op, "-inkey", os.path.join(tmp, key + ".pem")] + opts(mode)
    if sig is not None:
        open(path, "wb").write(sig)
        args += ["-sigfile", path]
    r = subprocess.run(args, input=data, capture_output=True)
    return r.returncode == 0, r.stdout
for line in sys.stdin:
    f = line.split()
    if f[0] == "key":
        open(os.path.join(tmp, f[1] + ".pem"), "wb").write(pem(*[num(h) for h in f[2:7]])); print("k")
    elif f[0] in ("sign", "encrypt", "decrypt"):
        ok, out = pkeyutl(f[1], "-" + f[0], f[2], bytes.fromhex(f[3].lstrip("x")))
        print("x" + out.hex() if ok else "bad")
    elif f[0] == "verify":
        ok, out = pkeyutl(f[1], "-verify", f[2], bytes.fromhex(f[3].lstrip("x")), bytes.fromhex(f[4].lstrip("x")))
        print("ok" if ok and b"Success" in out else "bad")
    elif f[0] == "check":
        path = os.path.join(tmp, "check.pem")
        open(path, "wb").write(pem(*[num(h) for h in f[1:6]]))
        r = subprocess.run(["openssl", "rsa", "-check", "-noout", "-in", path], capture_output=True)
        print("ok" if r.returncode == 0 and b"RSA key ok" in r.stdout else "bad")
    elif f[0] == "crt":
        e, d, p, q, D = [num(h) for h in f[1:6]]
        lam = (p - 1) * (q - 1) // gcd(p - 1, q - 1)
        print(hx(rsa.rsa_crt_dmp1(d, p)), hx(rsa.rsa_crt_dmq1(d, q)), hx(rsa.rsa_crt_iqmp(p, q)),
              "ok" if e * D % lam == 1 else "bad")
    elif f[0] == "pow":
        print(hx(pow(num(f[1]), num(f[2]), num(f[3]))))
)PY";

bool OracleAvailable() {
  return std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

// Oracle collects commands and runs them all at once.
struct Oracle {
  std::string input;
  size_t Add(const std::string& command) {
    input += command + "\n";
    return count++;
  }
  std::vector<std::string> Run() {
    std::string output;
    EXPECT_TRUE(testing_support::RunPython(kOracle, "", input, &output, "/usr/bin/python3"));
    std::vector<std::string> lines;
    for (const auto& fields : testing_support::Lines(output)) {
      std::string line;
      for (const auto& field : fields) line += (line.empty() ? "" : " ") + field;
      lines.push_back(line);
    }
    EXPECT_EQ(lines.size(), count);
    lines.resize(count);
    return lines;
  }
  // Key registers a key under the name idx.
  void Key(const std::string& idx, const RsaKeyParams& p) {
    Add("key " + idx + " " + Hex(p.Modulus) + " " + Hex(p.Exponent) + " " + Hex(p.D) + " " + Hex(p.P) + " " + Hex(p.Q));
  }
  size_t count = 0;
};

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

std::mt19937 SeededRng(const char* test) {
  const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
  std::printf("%s seed %u\n", test, seed);
  return std::mt19937(seed);
}

class CngRsaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/velmora_cng_rsa_XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    base_ = base;
    plat::test::SetStoreRoot(base);
    CryptoProvidersStaticInit();
  }
  void TearDown() override {
    CryptoProvidersStaticDestroy();
#if VELMORABLE_PLATFORM_CRYPTO
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
#endif
    plat::test::SetStoreRoot(nullptr);
    std::filesystem::remove_all(base_);
  }
  static bool PlatformPresent() {
#if VELMORABLE_PLATFORM_CRYPTO
    return true;
#else
    return false;
#endif
  }
  std::string base_;
};

#define REQUIRE_PLATFORM_AND_ORACLE()                                                     \
  if (!PlatformPresent()) GTEST_SKIP() << "built without the platform crypto stand-in"; \
  if (!OracleAvailable()) GTEST_SKIP() << "needs openssl and /usr/bin/python3 with cryptography"

// Subset is Exponent and Modulus of from, with P and Q when primes is set, with the rest when full is.
struct Subset : RsaKeyParams {
  Subset(const RsaKeyParams& from, bool primes, bool full) {
    EXPECT_EQ(Exponent.Assign(from.Exponent) | Modulus.Assign(from.Modulus), 0);
    if (primes) {
      EXPECT_EQ(P.Assign(from.P) | Q.Assign(from.Q), 0);
    }
    if (full) {
      EXPECT_EQ(DP.Assign(from.DP) | DQ.Assign(from.DQ) | InverseQ.Assign(from.InverseQ) | D.Assign(from.D), 0);
    }
  }
};

TEST_F(CngRsaTest, ImportGenerateAndComplete) {
  REQUIRE_PLATFORM_AND_ORACLE();
#if VELMORABLE_PLATFORM_CRYPTO
  std::mt19937 rng = SeededRng("CngRsaTest.ImportGenerateAndComplete");
  const TestKey& key = KeyOfBits(2048);
  const std::string digest = RandomBytes(rng, 32);
  struct Row {
    const char* set;
    bool primes, full;
    plat::ULONG magic;
  };
  const Row rows[] = {{"{E, N}", false, false, plat::kRsaPublicMagic},
                      {"{E, N, P, Q}", true, false, plat::kRsaPrivateMagic},
                      {"all eight", true, true, plat::kRsaFullPrivateMagic}};
  Oracle oracle;
  oracle.Key("k", key.params);
  const size_t openssl_signature = oracle.Add("sign k pkcs1:sha256 x" + ToHex(digest));
  std::vector<CngRsaKey> imported(3);
  std::vector<size_t> verdicts;
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(imported[i].SetKeyParams(Subset(key.params, rows[i].primes, rows[i].full)), 0) << rows[i].set;
    const std::vector<uint8_t> header = plat::ksp::test::LastImportedBlobHeader();
    ASSERT_EQ(header.size(), 24u);
    EXPECT_EQ(header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24, rows[i].magic);
    if (!rows[i].primes) {
      EXPECT_EQ(std::vector<uint8_t>(header.begin() + 16, header.end()), std::vector<uint8_t>(8, 0));
      continue;
    }
    core::Buffer signature;
    ASSERT_EQ(imported[i].Sign(U8(digest), 32, "SHA256", signature, 0, 0), 0) << rows[i].set;
    verdicts.push_back(oracle.Add("verify k pkcs1:sha256 x" + ToHex(digest) + " " + Hex(signature)));
  }
  // Generated keys pass `openssl rsa -check`.
  std::vector<size_t> checks;
  for (int bits : {2048, 3072}) {
    CngRsaKey generated;
    RsaKeyParams out;
    ASSERT_EQ(generated.GenerateKey(bits, out), 0);
    EXPECT_EQ(out.ModulusByteLength() * 8, bits);
    checks.push_back(oracle.Add("check " + Hex(out.Modulus) + " " + Hex(out.Exponent) + " " + Hex(out.D) + " " +
                                Hex(out.P) + " " + Hex(out.Q)));
  }
  // A key of E, N, P and Q is completed and the helper key holds no handle afterwards.
  Subset partial(key.params, true, false);
  CngRsaKey completer;
  ASSERT_EQ(completer.CompletePrivateKey(partial), 0);
  EXPECT_EQ(completer.KeyHandle(), 0u);
  const size_t crt = oracle.Add("crt " + Hex(key.params.Exponent) + " " + Hex(key.params.D) + " " + Hex(key.params.P) +
                                " " + Hex(key.params.Q) + " " + Hex(partial.D));
  const auto answers = oracle.Run();
  const std::string theirs = FromHex(answers[openssl_signature]);
  int32_t valid = 0;
  EXPECT_EQ(imported[0].Verify(U8(digest), 32, U8(theirs), Len(theirs), "SHA256", valid, 0, 0, 1), 0);
  EXPECT_EQ(valid, 1);
  for (size_t v : verdicts) EXPECT_EQ(answers[v], "ok");
  for (size_t c : checks) EXPECT_EQ(answers[c], "ok");
  EXPECT_EQ(answers[crt], "x" + ToHex(Stripped(Str(partial.DP))) + " x" + ToHex(Stripped(Str(partial.DQ))) + " x" +
                              ToHex(Stripped(Str(partial.InverseQ))) + " ok");
#endif
}

TEST_F(CngRsaTest, SignaturesMatchOpenSsl) {
  REQUIRE_PLATFORM_AND_ORACLE();
  std::mt19937 rng = SeededRng("CngRsaTest.SignaturesMatchOpenSsl");
  struct Digest {
    const char* name;
    const char* openssl;
    size_t length;
  };
  const Digest digests[] = {{"SHA1", "sha1", 20}, {"SHA256", "sha256", 32}, {"SHA384", "sha384", 48},
                            {"SHA512", "sha512", 64}};
  Oracle oracle;
  struct Expect {
    size_t answer;
    std::string ours;  // PKCS#1 v1.5: our signature; PSS: "ok"
  };
  std::vector<Expect> expects;
  struct Theirs {
    size_t answer;
    int bits;
    std::string digest;
  };
  std::vector<Theirs> theirs;
  for (int bits : {1024, 2048, 3072, 1025}) {
    const std::string idx = std::to_string(bits);
    oracle.Key(idx, KeyOfBits(bits).params);
    CngRsaKey key;
    ASSERT_EQ(key.SetKeyParams(KeyOfBits(bits).params), 0);
    for (const Digest& d : digests) {
      if (bits == 1025) break;
      const std::string digest = RandomBytes(rng, d.length);
      core::Buffer ours;
      ASSERT_EQ(key.Sign(U8(digest), Len(digest), d.name, ours, 0, 0), 0);
      expects.push_back({oracle.Add("sign " + idx + " pkcs1:" + d.openssl + " x" + ToHex(digest)), Hex(ours)});
    }
    for (int32_t salt : {20, 32, -1}) {
      const std::string digest = RandomBytes(rng, 32);
      core::Buffer ours;
      ASSERT_EQ(key.Sign(U8(digest), 32, "SHA256", ours, 1, salt), 0);
      const std::string mode = "pss:" + std::to_string(salt == -1 ? 32 : salt);
      expects.push_back({oracle.Add("verify " + idx + " " + mode + " x" + ToHex(digest) + " " + Hex(ours)), "ok"});
    }
    const std::string digest = RandomBytes(rng, 32);
    theirs.push_back({oracle.Add("sign " + idx + " pss:32 x" + ToHex(digest)), bits, digest});
  }
  const auto answers = oracle.Run();
  for (const Expect& e : expects) EXPECT_EQ(answers[e.answer], e.ours);
  for (const Theirs& t : theirs) {
    CngRsaKey key;
    ASSERT_EQ(key.SetKeyParams(Subset(KeyOfBits(t.bits).params, false, false)), 0);
    std::string signature = FromHex(answers[t.answer]);
    int32_t valid = 0;
    EXPECT_EQ(key.Verify(U8(t.digest), 32, U8(signature), Len(signature), "SHA256", valid, 1, 32, 1), 0);
    EXPECT_EQ(valid, 1) << t.bits;
    signature[signature.size() / 2] ^= 4;
    EXPECT_EQ(key.Verify(U8(t.digest), 32, U8(signature), Len(signature), "SHA256", valid, 1, 32, 1), 0);
    EXPECT_EQ(valid, 0) << t.bits;
  }
}

TEST_F(CngRsaTest, EncryptionMatchesOpenSsl) {
  REQUIRE_PLATFORM_AND_ORACLE();
  std::mt19937 rng = SeededRng("CngRsaTest.EncryptionMatchesOpenSsl");
  struct Mode {
    int32_t oaep;
    const char* digest;
    std::string label;
  };
  const Mode modes[] = {{0, nullptr, ""},      {1, "SHA1", ""},   {1, "SHA1", "a label"},
                        {1, "SHA256", ""},     {1, "SHA256", "\x01\x02\x00\x03"}};
  Oracle oracle;
  oracle.Key("k", KeyOfBits(2048).params);
  CngRsaKey key;
  ASSERT_EQ(key.SetKeyParams(KeyOfBits(2048).params), 0);
  struct Pending {
    size_t ours_decrypted, theirs;
    std::string message;
    const Mode* mode;
  };
  std::vector<Pending> pending;
  for (const Mode& m : modes) {
    const std::string message = RandomBytes(rng, 1 + rng() % 60);
    const std::string spec = m.oaep == 0 ? "pkcs1" : std::string("oaep:") + m.digest + ":" + ToHex(m.label);
    core::Buffer ciphertext;
    ASSERT_EQ(key.Encrypt(U8(message), Len(message), ciphertext, m.oaep, U8(m.label), Len(m.label), m.digest, m.digest),
              0);
    pending.push_back({oracle.Add("decrypt k " + spec + " " + Hex(ciphertext)),
                       oracle.Add("encrypt k " + spec + " x" + ToHex(message)), message, &m});
  }
  const auto answers = oracle.Run();
  for (const Pending& p : pending) {
    EXPECT_EQ(answers[p.ours_decrypted], "x" + ToHex(p.message));
    const std::string theirs = FromHex(answers[p.theirs]);
    core::SecureBuffer plain;
    const Mode& m = *p.mode;
    ASSERT_EQ(key.Decrypt(U8(theirs), Len(theirs), plain, m.oaep, U8(m.label), Len(m.label), m.digest, m.digest), 0);
    EXPECT_EQ(Str(plain), p.message);
  }
}

TEST_F(CngRsaTest, PlatformAndInternalAgree) {
  if (!PlatformPresent()) GTEST_SKIP() << "built without the platform crypto stand-in";
  std::mt19937 rng = SeededRng("CngRsaTest.PlatformAndInternalAgree");
  const char* names[] = {"SHA1", "SHA256", "SHA384", "SHA512"};
  const size_t lengths[] = {20, 32, 48, 64};
  for (int round = 0; round < 50; ++round) {
    const TestKey& test_key = Keys()[round % 5];
    CngRsaKey cng;
    InternalRsaKey internal;
    ASSERT_EQ(cng.SetKeyParams(test_key.params), 0);
    ASSERT_EQ(internal.SetKeyParams(test_key.params), 0);
    const int which = round % 4;
    const std::string digest = RandomBytes(rng, lengths[which]);
    const int32_t length = Len(digest);
    core::Buffer a, b;
    ASSERT_EQ(cng.Sign(U8(digest), length, names[which], a, 0, 0), 0);
    ASSERT_EQ(internal.Sign(U8(digest), length, names[which], b, 0, 0), 0);
    EXPECT_EQ(Hex(a), Hex(b)) << test_key.bits << " " << names[which];
    // PSS one way and the other (SHA-256 over a 32-byte digest, salt of the digest length).
    const std::string pss_digest = digest.substr(0, 20) + RandomBytes(rng, 12);
    core::Buffer from_cng, from_internal;
    ASSERT_EQ(cng.Sign(U8(pss_digest), 32, "SHA256", from_cng, 1, -1), 0);
    ASSERT_EQ(internal.Sign(U8(pss_digest), 32, "SHA256", from_internal, 1, -1), 0);
    int32_t valid = 0;
    EXPECT_EQ(internal.Verify(U8(pss_digest), 32, from_cng.Bytes(), from_cng.Length(), "SHA256", valid, 1, -1, 1), 0);
    EXPECT_EQ(valid, 1);
    EXPECT_EQ(cng.Verify(U8(pss_digest), 32, from_internal.Bytes(), from_internal.Length(), "SHA256", valid, 1, -1, 1),
              0);
    EXPECT_EQ(valid, 1);
    // OAEP with SHA-256 one way and the other.
    core::Buffer c1, c2;
    core::SecureBuffer p1, p2;
    ASSERT_EQ(cng.Encrypt(U8(pss_digest), 32, c1, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    ASSERT_EQ(internal.Encrypt(U8(pss_digest), 32, c2, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    ASSERT_EQ(internal.Decrypt(c1.Bytes(), c1.Length(), p1, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    ASSERT_EQ(cng.Decrypt(c2.Bytes(), c2.Length(), p2, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    EXPECT_EQ(Str(p1), pss_digest);
    EXPECT_EQ(Str(p2), pss_digest);
  }
}

// FipsOn sets the FIPS-compliance setting for a test and clears it afterwards.
class CngRsaFips : public CngRsaTest {
 protected:
  void Fips(bool on) { ASSERT_EQ(settings_.Set(on ? "UseFIPSCompliantAPI=true" : "UseFIPSCompliantAPI=false"), 0); }
  void TearDown() override {
    Fips(false);
    CngRsaTest::TearDown();
  }
  component::Configurable<component::ComponentBase> settings_;
};

// HoldCng makes a component hold a CngRsaKey loaded with params.
void HoldCng(component::CryptoComponent& component, const RsaKeyParams& params) {
  auto* key = new CngRsaKey;
  ASSERT_NE(key, nullptr);
  component.Hold(kEngineRsa, key, 1);
  ASSERT_EQ(key->SetKeyParams(params), 0);
}

TEST_F(CngRsaFips, FrontChecks) {
  if (!PlatformPresent()) GTEST_SKIP() << "built without the platform crypto stand-in";
  component::CryptoComponent small, large;
  HoldCng(small, KeyOfBits(1024).params);
  HoldCng(large, KeyOfBits(2048).params);
  RsaKeyBase& small_key = *HeldRsaKey(small);
  RsaKeyBase& large_key = *HeldRsaKey(large);
  const std::string digest(32, '\x5a');
  core::Buffer small_signature;
  ASSERT_EQ(small_key.Sign(U8(digest), 32, "SHA256", small_signature, 0, 0), 0);
  // A signature and a ciphertext of the 2048-bit key that begin with a zero byte, without it.
  std::string short_signature, short_ciphertext, message = "secret";
  for (uint32_t i = 0; short_signature.empty(); ++i) {
    core::Buffer s;
    const std::string d = digest.substr(0, 28) + std::string(reinterpret_cast<const char*>(&i), 4);
    ASSERT_EQ(large_key.Sign(U8(d), 32, "SHA256", s, 0, 0), 0);
    if (s.Bytes()[0] == 0) short_signature = Str(s).substr(1), message = d;
  }
  while (short_ciphertext.empty()) {
    core::Buffer c;
    ASSERT_EQ(large_key.Encrypt(U8(message), Len(message), c, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    if (c.Bytes()[0] == 0) short_ciphertext = Str(c).substr(1);
  }
  core::Buffer md5_ciphertext;
  ASSERT_EQ(large_key.Encrypt(U8(message), Len(message), md5_ciphertext, 1, nullptr, 0, "MD5", "MD5"), 0);
  // Each row: the call, then its answer with FIPS on (code and text) and off. Verifications answer 1 for
  // a clean "not valid", decryptions 2 for a wrong plaintext.
  auto verify = [&](component::CryptoComponent& c, const std::string& d, const std::string& s, const char* name) {
    int32_t valid = 0;
    const int status = PlatformRsaVerify(c, U8(d), Len(d), U8(s), Len(s), name, valid, 0, 0, 1);
    return status != 0 ? status : valid == 1 ? 0 : 1;
  };
  auto decrypt = [&](const std::string& c, const char* oaep, const char* mgf) {
    core::SecureBuffer plain;
    const int status = PlatformRsaDecryptOaep(large, U8(c), Len(c), plain, 1, nullptr, 0, oaep, mgf);
    return status != 0 ? status : Str(plain) == message ? 0 : 2;
  };
  auto encrypt = [&](const char* oaep, const char* mgf) {
    core::Buffer out;
    return PlatformRsaEncryptOaep(large, U8(message), Len(message), out, 1, nullptr, 0, oaep, mgf);
  };
  auto sign = [&](component::CryptoComponent& c, const char* name, int32_t length) {
    core::Buffer out;
    return PlatformRsaSign(c, U8(digest), length, name, out, 0, 0);
  };
  struct Row {
    const char* what;
    std::function<int()> call;
    component::CryptoComponent* component;
    int fips;
    const char* text;
    int plain;
  };
  const int nte_invalid_parameter = static_cast<int>(plat::kNteInvalidParameter);
  const Row rows[] = {
      {"1024-bit verify", [&] { return verify(small, digest, Str(small_signature), "SHA256"); }, &small, 0, "", 0},
      {"1024-bit sign", [&] { return sign(small, "SHA256", 32); }, &small, 9999,
       "Could not generate signature: FIPS mode requires that the RSA modulus size for signature generation must be "
       "2048 bits or more, but the size is only 1024 bits.",
       0},
      {"sign with MD5", [&] { return sign(large, "MD5", 16); }, &large, 9999,
       "Could not generate signature with RSA: The signature hash algorithm is not supported in FIPS mode.", 0},
      {"verify with MD5", [&] { return verify(large, digest.substr(16), std::string(256, '\1'), "MD5"); }, &large, 9999,
       "Could not verify signature with RSA: The signature hash algorithm is not supported in FIPS mode.", 1},
      {"encrypt, OAEP MD5", [&] { return encrypt("MD5", "SHA1"); }, &large, 9999,
       "Could not encrypt with RSA: The OAEP RSA hash algorithm is not supported in FIPS mode.", 0},
      {"encrypt, MGF1 MD5", [&] { return encrypt("SHA256", "MD5"); }, &large, 9999,
       "Could not encrypt with RSA: The OAEP MGF1 hash algorithm is not supported in FIPS mode.", 0},
      {"decrypt, OAEP MD5", [&] { return decrypt(Str(md5_ciphertext), "MD5", "SHA1"); }, &large, 9999,
       "Could not decrypt with RSA: The OAEP RSA hash algorithm is not supported in FIPS mode.", 0},
      {"decrypt, MGF1 MD5", [&] { return decrypt(short_ciphertext, "SHA256", "MD5"); }, &large, 9999,
       "Could not decrypt with RSA: The OAEP MGF1 hash algorithm is not supported in FIPS mode.",
       nte_invalid_parameter},
      {"255-byte signature", [&] { return verify(large, message, short_signature, "SHA256"); }, &large, 0, "", 1},
      {"255-byte ciphertext", [&] { return decrypt(short_ciphertext, "SHA256", "SHA256"); }, &large, 0, "",
       nte_invalid_parameter},
  };
  for (bool fips : {true, false}) {
    Fips(fips);
    for (const Row& row : rows) {
      ASSERT_EQ(row.component->SetErrorText(0, ""), 0);
      EXPECT_EQ(row.call(), fips ? row.fips : row.plain) << row.what << (fips ? " (FIPS)" : "");
      EXPECT_EQ(Str(row.component->LastErrorText()), fips ? row.text : "") << row.what;
    }
  }
}

// A signature or ciphertext one byte longer than the modulus. A zero in front leaves the integer as it
// is and FIPS mode fits it; any other byte makes another integer, refused as outside FIPS mode (where
// the platform key refuses every length but the modulus's).
TEST_F(CngRsaFips, OnlyLeadingZerosAreDropped) {
  if (!PlatformPresent()) GTEST_SKIP() << "built without the platform crypto stand-in";
  const std::string digest(32, '\x6b'), message = "secret";
  for (bool platform : {true, false}) {
    component::CryptoComponent component;
    if (platform) {
      HoldCng(component, KeyOfBits(2048).params);
    } else {
      auto* internal = new InternalRsaKey;
      component.Hold(kEngineRsa, internal, 1);
      ASSERT_EQ(internal->SetKeyParams(KeyOfBits(2048).params), 0);
    }
    RsaKeyBase& key = *HeldRsaKey(component);
    core::Buffer signature, ciphertext;
    ASSERT_EQ(key.Sign(U8(digest), 32, "SHA256", signature, 0, 0), 0);
    ASSERT_EQ(key.Encrypt(U8(message), Len(message), ciphertext, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    // Verification as 0 valid, 1 not valid or a code; decryption as 0, 2 for a wrong plaintext or a code.
    auto run = [&](bool fips, char front) {
      Fips(fips);
      const std::string s = front + Str(signature), c = front + Str(ciphertext);
      int32_t valid = 0;
      int verified = PlatformRsaVerify(component, U8(digest), 32, U8(s), Len(s), "SHA256", valid, 0, 0, 1);
      core::SecureBuffer plain;
      int decrypted = PlatformRsaDecryptOaep(component, U8(c), Len(c), plain, 1, nullptr, 0, "SHA256", "SHA256");
      if (verified == 0 && valid != 1) verified = 1;
      if (decrypted == 0 && Str(plain) != message) decrypted = 2;
      return std::make_pair(verified, decrypted);
    };
    const char* where = platform ? "platform key" : "library key";
    EXPECT_EQ(run(true, '\0'), std::make_pair(0, 0)) << where;
    if (!platform) {
      EXPECT_EQ(run(false, '\0'), std::make_pair(0, 0)) << where;
    }
    const auto refused = run(false, '\1');
    EXPECT_NE(refused.first, 0) << where;
    EXPECT_NE(refused.second, 0) << where;
    EXPECT_EQ(run(true, '\1'), refused) << where;
  }
}

TEST_F(CngRsaFips, RawRsa) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs openssl and /usr/bin/python3 with cryptography";
  const RsaKeyParams& full = KeyOfBits(2048).params;
  std::mt19937 rng = SeededRng("CngRsaFips.RawRsa");
  const std::string m = "\x01" + RandomBytes(rng, 200);
  Subset crt_only(full, true, true), d_only(full, false, false), public_only(full, false, false);
  ASSERT_EQ(crt_only.D.SetData(0, nullptr), 0);
  ASSERT_EQ(d_only.D.Assign(full.D), 0);
  auto hold = [](component::CryptoComponent& c, const RsaKeyParams& p) {
    auto* key = new InternalRsaKey;
    c.Hold(kEngineRsa, key, 0);
    (void)key->SetKeyParams(p);  // the own copy is what raw RSA reads, whatever the engine says
  };
  component::CryptoComponent public_key, crt_key, d_key;
  hold(public_key, public_only);
  hold(crt_key, crt_only);
  hold(d_key, d_only);
  core::Buffer c, by_crt, by_d, none;
  ASSERT_EQ(RsaEncryptRaw(public_key, U8(m), Len(m), c), 0);
  ASSERT_EQ(RsaDecryptRaw(crt_key, c.Bytes(), c.Length(), by_crt), 0);
  ASSERT_EQ(RsaDecryptRaw(d_key, c.Bytes(), c.Length(), by_d), 0);
  EXPECT_EQ(RsaDecryptRaw(public_key, c.Bytes(), c.Length(), none), kRawMissingParts);
  Oracle oracle;
  oracle.Add("pow x" + ToHex(m) + " " + Hex(full.Exponent) + " " + Hex(full.Modulus));
  oracle.Add("pow " + Hex(c) + " " + Hex(full.D) + " " + Hex(full.Modulus));
  const auto answers = oracle.Run();
  EXPECT_EQ(FromHex(answers[0]), Stripped(Str(c)));
  EXPECT_EQ(FromHex(answers[1]), Stripped(Str(by_crt)));
  EXPECT_EQ(FromHex(answers[1]), Stripped(Str(by_d)));
  // The refusals, with their texts.
  Fips(true);
  core::Buffer out;
  EXPECT_EQ(RsaEncryptRaw(d_key, U8(m), Len(m), out), 9999);
  EXPECT_EQ(Str(d_key.LastErrorText()), "Could not encrypt with RSA: Primitive RSA is not supported in FIPS mode.");
  EXPECT_EQ(RsaDecryptRaw(d_key, U8(m), Len(m), out), 9999);
  EXPECT_EQ(Str(d_key.LastErrorText()), "Could not decrypt with RSA: Primitive RSA is not supported in FIPS mode.");
  Fips(false);
  if (!PlatformPresent()) return;
  component::CryptoComponent platform;
  HoldCng(platform, full);
  EXPECT_EQ(RsaEncryptRaw(platform, U8(m), Len(m), out), 9999);
  EXPECT_EQ(Str(platform.LastErrorText()),
            "Could not encrypt with RSA: Primitive RSA is not supported in the platform implementation.");
  EXPECT_EQ(RsaDecryptRaw(platform, U8(m), Len(m), out), 9999);
  EXPECT_EQ(Str(platform.LastErrorText()),
            "Could not decrypt with RSA: Primitive RSA is not supported in the platform implementation.");
}

TEST_F(CngRsaTest, BadInputGetsACode) {
  const RsaKeyParams& full = KeyOfBits(1024).params;
  const std::string digest(36, '\x33');
  {
    // The NCrypt RSA table not loaded.
    CryptoProvidersStaticDestroy();
    plat::test::SetModuleMissing("Ncrypt.dll", true);
    CryptoProvidersStaticInit();
    CngRsaKey key;
    RsaKeyParams out;
    EXPECT_EQ(key.SetKeyParams(full), -1);
    EXPECT_EQ(key.GenerateKey(2048, out), -1);
    EXPECT_EQ(CreatePersistedRsaKey(key, 2048), -1);
    EXPECT_EQ(key.FromCertificateContext(nullptr, nullptr, 0), -1);
    CryptoProvidersStaticDestroy();
    plat::test::SetModuleMissing("Ncrypt.dll", false);
    CryptoProvidersStaticInit();
  }
  CngRsaKey empty;
  core::Buffer out;
  int32_t valid = 1;
  EXPECT_EQ(empty.Sign(U8(digest), 32, "SHA256", out, 0, 0), kCngNoKey);
  EXPECT_EQ(empty.Verify(U8(digest), 32, U8(digest), 32, "SHA256", valid, 0, 0, 1), kCngNoKey);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(empty.Encrypt(U8(digest), 32, out, 0, nullptr, 0, nullptr, nullptr), kCngNoKey);
  EXPECT_EQ(empty.Decrypt(U8(digest), 32, out, 0, nullptr, 0, nullptr, nullptr), kCngNoKey);
  if (!PlatformPresent()) return;
#if VELMORABLE_PLATFORM_CRYPTO
  // A certificate context the platform knows no key for: -1, and no handle freed or left behind.
  plat::CERT_CONTEXT context{};
  const int live = plat::test::LiveCryptoHandles();
  EXPECT_EQ(empty.FromCertificateContext(&context, "1234", 0), -1);
  EXPECT_EQ(plat::test::LiveCryptoHandles(), live);
  // SHA-224 needs a DigestInfo the platform cannot build: refused before any platform call. "RAW" and
  // "MD5SHA1" sign the bytes as given, as the library's own key does.
  CngRsaKey cng;
  InternalRsaKey internal;
  ASSERT_EQ(cng.SetKeyParams(full), 0);
  ASSERT_EQ(internal.SetKeyParams(full), 0);
  plat::test::ResetCryptoCallCounts();
  EXPECT_EQ(cng.Sign(U8(digest), 28, "SHA224", out, 0, 0), kCngNotSupported);
  EXPECT_EQ(plat::test::CryptoCallCount("NCryptSignHash"), 0);
  for (const char* name : {"RAW", "MD5SHA1"}) {
    core::Buffer a, b;
    ASSERT_EQ(cng.Sign(U8(digest), 36, name, a, 0, 0), 0) << name;
    ASSERT_EQ(internal.Sign(U8(digest), 36, name, b, 0, 0), 0) << name;
    EXPECT_EQ(Hex(a), Hex(b)) << name;
  }
#endif
}

}  // namespace
}  // namespace velmora::crypto
