// The RSA engine against OpenSSL: private operations (CRT, exponent only, CRT values completed here)
// and public operations on OpenSSL's keys equal `openssl pkeyutl` with no padding, and the keys
// generated here pass `openssl rsa -check`.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "crypto/objects/key_creation.h"
#include "crypto/rsa/rsa_engine.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/bn/montgomery_paths.h"

namespace velmora::crypto {
namespace {

using testing_support::FromHex;
using testing_support::Lines;
using testing_support::RunPython;
using testing_support::ToHex;

bool OracleAvailable() {
  return std::system("/usr/bin/python3 -c 'import sys' >/dev/null 2>&1") == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

std::string Hex(const core::BufferCore& b) { return ToHex(std::string(b.Data(), static_cast<size_t>(b.Length()))); }

void SetHex(core::BufferCore& b, const std::string& hex) {
  const std::string bytes = FromHex(hex);
  ASSERT_EQ(b.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

// For each size: an OpenSSL key (n e d p q dp dq qinv), then messages with OpenSSL's raw private and
// public results.
constexpr char kOpenSslKeys[] = R"PY(
import os, re, subprocess, sys, tempfile, random
def run(*args, data=None):
    return subprocess.run(args, input=data, check=True, capture_output=True).stdout
rnd = random.Random(int(sys.argv[1]))
with tempfile.TemporaryDirectory() as tmp:
    for bits in (2048, 1028):
        key = os.path.join(tmp, "key.pem")
        run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:%d" % bits, "-out", key)
        text = run("openssl", "rsa", "-in", key, "-text", "-noout").decode()
        fields, name = {}, None
        for line in text.splitlines():
            m = re.match(r"^(\w+):\s*(.*)$", line)
            if m:
                name = m.group(1); fields[name] = m.group(2)
            elif name:
                fields[name] += line.strip()
        num = lambda k: int(fields[k].replace(":", ""), 16)
        e = int(fields["publicExponent"].split()[0])
        n = num("modulus")
        print("key", *[format(v, "x") for v in (n, e, num("privateExponent"), num("prime1"), num("prime2"),
                                                  num("exponent1"), num("exponent2"), num("coefficient"))])
        k = (n.bit_length() + 7) // 8
        for _ in range(3):
            m = rnd.randrange(n)
            raw = m.to_bytes(k, "big")
            dec = run("openssl", "pkeyutl", "-decrypt", "-inkey", key, "-pkeyopt", "rsa_padding_mode:none", data=raw)
            enc = run("openssl", "pkeyutl", "-encrypt", "-inkey", key, "-pkeyopt", "rsa_padding_mode:none", data=raw)
            print("msg", raw.hex(), dec.hex(), enc.hex())
)PY";

std::string Stripped(const std::string& hex) {
  size_t i = 0;
  while (i + 2 < hex.size() && hex.compare(i, 2, "00") == 0) i += 2;
  return hex.substr(i);
}

class RsaEngineOnPath : public MontgomeryPathTest {};

TEST_P(RsaEngineOnPath, PrivateAndPublicOperationsEqualOpenSsl) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs /usr/bin/python3 and openssl";
  std::string output;
  ASSERT_TRUE(RunPython(kOpenSslKeys, std::to_string(std::rand()), "", &output, "/usr/bin/python3"));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), 8u);
  RsaKeyParams full;
  RsaEngine reused;  // one engine across a key's messages: its blinding pair is renewed between them
  int messages = 0;
  for (const auto& f : lines) {
    if (f[0] == "key") {
      ASSERT_EQ(f.size(), 9u);
      std::vector<core::BufferCore*> fields = {&full.Modulus, &full.Exponent, &full.D, &full.P, &full.Q,
                                               &full.DP, &full.DQ, &full.InverseQ};
      for (size_t i = 0; i < fields.size(); ++i) SetHex(*fields[i], (f[i + 1].size() % 2 ? "0" : "") + f[i + 1]);
      // The CRT values computed here equal OpenSSL's.
      RsaKeyParams partial;
      ASSERT_EQ(partial.CopyFrom(full), 0);
      ASSERT_EQ(partial.RecomputeCrt(), 0);
      EXPECT_EQ(Stripped(Hex(partial.DP)), Stripped(Hex(full.DP)));
      EXPECT_EQ(Stripped(Hex(partial.DQ)), Stripped(Hex(full.DQ)));
      EXPECT_EQ(Stripped(Hex(partial.InverseQ)), Stripped(Hex(full.InverseQ)));
      ASSERT_EQ(reused.SetKeyParams(full), 0);
      continue;
    }
    ++messages;
    const std::string input = FromHex(f[1]);
    const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
    const int32_t length = static_cast<int32_t>(input.size());
    // Four key shapes: full (CRT), exponent only, CRT only (no D, no modulus: unblinded), and a key
    // whose CRT values the engine derives itself.
    RsaKeyParams d_only, crt_only, derived;
    ASSERT_EQ(d_only.CopyFrom(full), 0);
    ASSERT_EQ(d_only.P.SetData(0, nullptr), 0);
    ASSERT_EQ(d_only.Q.SetData(0, nullptr), 0);
    ASSERT_EQ(d_only.InverseQ.SetData(0, nullptr), 0);
    ASSERT_EQ(crt_only.CopyFrom(full), 0);
    ASSERT_EQ(crt_only.D.SetData(0, nullptr), 0);
    ASSERT_EQ(crt_only.Modulus.SetData(0, nullptr), 0);
    ASSERT_EQ(derived.CopyFrom(full), 0);
    ASSERT_EQ(derived.DP.SetData(0, nullptr), 0);
    ASSERT_EQ(derived.InverseQ.SetData(0, nullptr), 0);
    for (const RsaKeyParams* key : {&full, &d_only, &derived}) {
      RsaEngine engine;
      ASSERT_EQ(engine.SetKeyParams(*key), 0);
      core::Buffer out;
      ASSERT_EQ(engine.PrivateOperation(bytes, length, out), 0);
      EXPECT_EQ(Hex(out), Stripped(f[2]));
      ASSERT_EQ(out.SetData(0, nullptr), 0);
      ASSERT_EQ(engine.PublicOperation(bytes, length, out), 0);
      EXPECT_GE(out.Length(), engine.KeyBits / 8);
      EXPECT_EQ(Stripped(Hex(out)), Stripped(f[3]));
      // Padded to KeyBits / 8 bytes only: 1^e under a 1028-bit modulus gives 128 bytes, not 129.
      const uint8_t one = 1;
      ASSERT_EQ(out.SetData(0, nullptr), 0);
      ASSERT_EQ(engine.PublicOperation(&one, 1, out), 0);
      EXPECT_EQ(out.Length(), engine.KeyBits / 8);
    }
    RsaEngine engine;
    ASSERT_EQ(engine.Params.CopyFrom(crt_only), 0);
    core::Buffer out;
    ASSERT_EQ(engine.PrivateOperation(bytes, length, out), 0);
    EXPECT_EQ(Hex(out), Stripped(f[2]));
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(reused.PrivateOperation(bytes, length, out), 0);
      EXPECT_EQ(Hex(out), Stripped(f[2]));
    }
  }
  EXPECT_EQ(messages, 6);
}
VELMORA_ON_MONTGOMERY_PATHS(RsaEngineOnPath);

constexpr char kCheckKeys[] = R"PY(
import os, subprocess, sys, tempfile
with tempfile.TemporaryDirectory() as tmp:
    for line in sys.stdin:
        n, e, d, p, q, dp, dq, qinv = line.split()
        conf = os.path.join(tmp, "key.conf")
        with open(conf, "w") as f:
            f.write("asn1=SEQUENCE:key\n[key]\nversion=INTEGER:0\n")
            for name, value in zip(("n", "e", "d", "p", "q", "dp", "dq", "qinv"), (n, e, d, p, q, dp, dq, qinv)):
                f.write("%s=INTEGER:0x%s\n" % (name, value))
        der = os.path.join(tmp, "key.der")
        subprocess.run(["openssl", "asn1parse", "-genconf", conf, "-out", der], check=True, capture_output=True)
        r = subprocess.run(["openssl", "rsa", "-inform", "DER", "-in", der, "-check", "-noout"], capture_output=True, text=True)
        print("ok" if r.returncode == 0 and "RSA key ok" in r.stdout else "bad " + r.stdout + r.stderr)
)PY";

TEST(RsaEngine, GeneratedKeysPassOpenSslCheck) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs /usr/bin/python3 and openssl";
  std::string input;
  for (int32_t bits : {2048, 3072}) {
    KeyRecord record;
    ASSERT_EQ(GenerateKeyByAlgorithmName("rsa", bits, record), 0);
    ASSERT_EQ(record.Type, kKeyRsa);
    const RsaKeyParams& key = record.RsaParams;
    EXPECT_EQ(Hex(key.Exponent), "010001");
    EXPECT_EQ(key.Modulus.Length(), bits / 8);
    EXPECT_GE(static_cast<uint8_t>(key.Modulus.Data()[0]), 0x80);
    EXPECT_GT(Hex(key.P), Hex(key.Q));
    for (const core::BufferCore* b : std::initializer_list<const core::BufferCore*>{&key.Exponent, &key.Modulus, &key.P, &key.Q, &key.DP, &key.DQ, &key.InverseQ, &key.D}) {
      ASSERT_GT(b->Length(), 0);
      EXPECT_NE(b->Data()[0], 0);
    }
    input += Hex(key.Modulus) + " " + Hex(key.Exponent) + " " + Hex(key.D) + " " + Hex(key.P) + " " + Hex(key.Q) + " " +
             Hex(key.DP) + " " + Hex(key.DQ) + " " + Hex(key.InverseQ) + "\n";
  }
  std::string output;
  ASSERT_TRUE(RunPython(kCheckKeys, "", input, &output, "/usr/bin/python3"));
  EXPECT_EQ(output, "ok\nok\n");

  // Size rules and the engine's refusals.
  for (int32_t bits : {384, 392, 4096}) EXPECT_EQ(CheckKeySize(kKeyKindRsa, bits), 0) << bits;
  for (int32_t bits : {383, 388, 4104, 0}) EXPECT_EQ(CheckKeySize(kKeyKindRsa, bits), kKeySizeRefused) << bits;
  for (int32_t bits : {512, 576, 4096}) EXPECT_EQ(CheckKeySize(kKeyKindDsa, bits), 0) << bits;
  for (int32_t bits : {448, 520, 4160}) EXPECT_EQ(CheckKeySize(kKeyKindDsa, bits), kKeySizeRefused) << bits;
  EXPECT_EQ(CheckKeySize(3, 128), 0);
  EXPECT_EQ(CheckKeySize(5, 1), kKeySizeRefused);
  RsaEngine engine;
  RsaKeyParams key;
  EXPECT_EQ(engine.SetKeyParams(key), kRsaNoModulus);
  SetHex(key.Modulus, "00");
  EXPECT_EQ(engine.SetKeyParams(key), kRsaZeroModulus);
  SetHex(key.Modulus, "c5");
  EXPECT_EQ(engine.SetKeyParams(key), kRsaNoExponent);
  SetHex(key.D, "0b");
  ASSERT_EQ(engine.SetKeyParams(key), 0);
  core::Buffer out;
  const uint8_t one = 1;
  EXPECT_EQ(engine.PublicOperation(&one, 1, out), kRsaNoPublicKey);
  RsaEngine without;
  SetHex(without.Params.P, "0b");
  SetHex(without.Params.Q, "0d");
  SetHex(without.Params.InverseQ, "06");
  EXPECT_EQ(without.PrivateOperation(&one, 1, out), kRsaNoPrivateKey);
  KeyRecord none;
  EXPECT_EQ(GenerateKeyByAlgorithmName("DSA", 1000, none), kKeySizeRefused);
  EXPECT_EQ(GenerateKeyByAlgorithmName("ECDSA_P255", 0, none), 2001);
  EXPECT_EQ(GenerateKeyByAlgorithmName("Edwards", 0, none), 2001);
  EXPECT_EQ(none.Type, kKeyNone);
  EXPECT_EQ(CngCreateRsaKey(2048, key, kProviderPlatform), -1);
}

}  // namespace
}  // namespace velmora::crypto
