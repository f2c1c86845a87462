// The DSA engine: the published FIPS 186-2 example regenerated through the seed hook; generated keys
// and signatures checked against OpenSSL (pkeyparam -check, pkeyutl) and python3-cryptography, with
// the whole-digest and digest-length split behaviours pinned where those tools disagree; refusals.
#include "crypto/pubkey/dsa/dsa_engine.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "core/buffer.h"
#include "crypto/pubkey/keys/key_record.h"
#include "crypto/pubkey/rsa/rsa_engine.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/symmetric/vector_file.h"

namespace velmora::crypto {
namespace {

namespace ts = testing_support;

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

void SetBytes(core::BufferCore& b, const std::string& bytes) {
  ASSERT_EQ(b.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }

int32_t VerifyResult(DsaEngine& engine, const std::string& digest, const std::string& signature, int* code = nullptr) {
  int32_t result = -1;
  const int rc = engine.Verify(U8(digest), Len(digest), U8(signature), Len(signature), &result);
  if (code != nullptr) *code = rc;
  EXPECT_TRUE(code != nullptr || rc == 0) << "verify returned " << rc;
  return result;
}

std::string SignWith(DsaEngine& engine, const std::string& digest) {
  core::Buffer out;
  EXPECT_EQ(engine.Sign(U8(digest), Len(digest), out), 0);
  return Str(out);
}

struct SeedSource {
  std::string seed;
  int calls = 0;
};

void FixedSeed(void* context, uint8_t seed[20]) {
  auto* source = static_cast<SeedSource*>(context);
  ++source->calls;
  std::memcpy(seed, source->seed.data(), 20);
}

// ExampleKey regenerates the FIPS 186-2 Appendix 5 domain parameters (with a fresh key pair) into
// engine and checks them against the standard's values.
void ExampleKey(DsaEngine& engine) {
  auto vectors = ts::ReadVectors(std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/dsa_fips186_2_example.txt",
                                 {"L", "Seed", "Counter", "P", "Q", "G"});
  ASSERT_EQ(vectors.size(), 1u);
  auto& v = vectors[0];
  SeedSource source{v.Bytes("Seed")};
  // The counter (105) is where the search stops; the hook confirms that the first seed was kept.
  EXPECT_EQ(v.Get("Counter"), "105");
  engine.KeySize = std::stoi(v.Get("L"));
  engine.SetSeedHook(FixedSeed, &source);
  DsaKeyParams out;
  ASSERT_EQ(engine.GenerateKey(true, out, true), 0);
  EXPECT_EQ(source.calls, 1);
  EXPECT_EQ(ts::ToHex(Str(out.P)), ts::ToHex(v.Bytes("P")));
  EXPECT_EQ(ts::ToHex(Str(out.Q)), ts::ToHex(v.Bytes("Q")));
  EXPECT_EQ(ts::ToHex(Str(out.G)), ts::ToHex(v.Bytes("G")));
  EXPECT_EQ(out.Seed.Length(), 0);
  EXPECT_EQ(out.J.Length(), 0);
  EXPECT_EQ(out.X.Length(), 20);
}

TEST(DsaEngine, SeededGenerationReproducesThePublishedExample) {
  DsaEngine engine;
  ExampleKey(engine);
}

TEST(DsaEngine, SignVerifyShapesAndRefusals) {
  DsaEngine engine;
  ExampleKey(engine);
  if (HasFatalFailure()) return;
  std::mt19937 rng(7);
  auto random_bytes = [&](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  const std::string digest = random_bytes(20);

  // Raw signatures are exactly 2 * qbytes, r and s each a full 20 bytes, and verify; one flipped
  // bit does not.
  for (int i = 0; i < 20; ++i) {
    std::string sig = SignWith(engine, digest);
    ASSERT_EQ(sig.size(), 40u);
    EXPECT_NE(sig[0], 0);
    EXPECT_NE(sig[20], 0);
    EXPECT_EQ(VerifyResult(engine, digest, sig), 1);
    sig[i] = static_cast<char>(sig[i] ^ (1 << (i % 8)));
    EXPECT_EQ(VerifyResult(engine, digest, sig), 0);
  }
  // DER output, and DER whose sequence length disagrees with its INTEGERs.
  engine.DerOutput = 1;
  std::string der = SignWith(engine, digest);
  engine.DerOutput = 0;
  ASSERT_EQ(der[0], 0x30);
  EXPECT_EQ(VerifyResult(engine, digest, der), 1);
  der[1] = static_cast<char>(der[1] - 1);
  EXPECT_EQ(VerifyResult(engine, digest, der), 0);

  // A 32-byte digest: the whole digest is signed; the raw form then splits 32 + 8 and never verifies.
  const std::string long_digest = random_bytes(32);
  const std::string raw = SignWith(engine, long_digest);
  EXPECT_EQ(raw.size(), 40u);
  EXPECT_EQ(VerifyResult(engine, long_digest, raw), 0);
  EXPECT_EQ(VerifyResult(engine, long_digest, raw.substr(0, 31)), 0);  // shorter than the digest

  // r or s of zero, or at or above q, is not a signature.
  DsaKeyParams key;
  ASSERT_EQ(engine.GenerateKey(true, key, false), 0);  // the held key, not a new one
  const std::string q = Str(key.Q);
  const std::string zero(20, '\0');
  const std::string sig = SignWith(engine, digest);
  EXPECT_EQ(VerifyResult(engine, digest, zero + sig.substr(20)), 0);
  EXPECT_EQ(VerifyResult(engine, digest, sig.substr(0, 20) + q), 0);
  EXPECT_EQ(VerifyResult(engine, digest, q + sig.substr(20)), 0);

  // Missing inputs are codes; a missing key part refuses the whole parameter set.
  core::Buffer out;
  int32_t result = 5;
  EXPECT_EQ(engine.Sign(nullptr, 20, out), kDsaNoDigest);
  EXPECT_EQ(engine.Verify(U8(digest), 0, U8(sig), 40, &result), kDsaNoDigest);
  EXPECT_EQ(engine.Verify(U8(digest), 20, nullptr, 40, &result), kDsaNoSignature);
  EXPECT_EQ(result, 0);
  DsaEngine public_only;
  DsaKeyParams params;
  ASSERT_EQ(params.CopyFrom(key), 0);
  ASSERT_EQ(params.X.Clear(), 0);
  ASSERT_EQ(params.Y.Clear(), 0);
  EXPECT_EQ(public_only.SetKeyParams(params), kDsaMissingParams);
  EXPECT_EQ(public_only.Params.P.Length(), 0);
  EXPECT_EQ(public_only.Sign(U8(digest), 20, out), kDsaNoKey);
  SetBytes(params.Y, Str(key.Y));
  ASSERT_EQ(public_only.SetKeyParams(params), 0);
  EXPECT_EQ(public_only.KeySize, 512);
  EXPECT_EQ(public_only.Sign(U8(digest), 20, out), kDsaNoPrivateKey);
  EXPECT_EQ(VerifyResult(public_only, digest, sig), 1);
  SetBytes(params.P, std::string(64, '\0'));
  EXPECT_EQ(public_only.SetKeyParams(params), kDsaMissingParams);

  // A key whose g is 1 can never give a full-width r: refused, not an endless loop.
  DsaEngine broken;
  ASSERT_EQ(params.CopyFrom(key), 0);
  SetBytes(params.G, std::string(1, '\1'));
  ASSERT_EQ(broken.SetKeyParams(params), 0);
  EXPECT_EQ(broken.Sign(U8(digest), 20, out), kDsaMissingParams);
  EXPECT_EQ(out.Length(), 0);

  // Sizes outside 512..4096 in steps of 64.
  DsaEngine sized;
  sized.KeySize = 1000;
  EXPECT_EQ(GenerateDsaKey(sized), kKeySizeRefused);
  KeyRecord record;
  EXPECT_EQ(GenerateKeyByAlgorithmName("DSA", 4160, record), kKeySizeRefused);
}

TEST(DsaEngine, FipsModeRefusesSmallKeysWithItsText) {
  component::Configurable<component::ComponentBase> component;
  DsaKeyParams key;
  SetBytes(key.P, std::string(128, '\x80'));
  EXPECT_EQ(CheckDsaFipsKeySize(component, key), 0);
  ASSERT_EQ(component.Set("UseFIPSCompliantAPI=true"), 0);
  EXPECT_EQ(CheckDsaFipsKeySize(component, key), kDsaFipsKeySize);
  EXPECT_EQ(Str(component.LastErrorText()),
            "DSA error: Could not generate signature: FIPS mode requires that the DSA key size for signature generation "
            "must be 2048 or 3072 bits, but the size is 1024 bits.");
  SetBytes(key.P, std::string(256, '\x80'));
  EXPECT_EQ(CheckDsaFipsKeySize(component, key), 0);
  SetBytes(key.P, std::string(384, '\x80'));
  EXPECT_EQ(CheckDsaFipsKeySize(component, key), 0);
  ASSERT_EQ(component.Set("UseFIPSCompliantAPI=false"), 0);
}

// The oracle reads one case a line: p q g y x hash-name digest our-DER our-raw (hex). It prints
// pkeyparam's verdict on (p, q, g), whether cryptography and `openssl pkeyutl` accept our DER
// signature, whether our signature satisfies the DSA equation with the whole digest as H, and
// signatures of its own: cryptography's DER, OpenSSL's DER, and cryptography's as r || s of qbytes.
constexpr const char* kOracle = R"PY(
import os, subprocess, sys, tempfile
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, utils
from cryptography.exceptions import InvalidSignature

def der_int(v):
    b = v.to_bytes(v.bit_length() // 8 + 1, 'big')
    return der(0x02, b)

def der(tag, body):
    n = len(body)
    if n < 128:
        return bytes([tag, n]) + body
    nb = n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([tag, 0x80 | len(nb)]) + nb + body

def run(args, data=None):
    return subprocess.run(args, input=data, capture_output=True).returncode == 0

def pem(label, body):
    import base64
    text = base64.encodebytes(body).decode().replace('\n', '')
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ('-----BEGIN %s-----\n%s\n-----END %s-----\n' % (label, '\n'.join(lines), label)).encode()

tmp = tempfile.mkdtemp()
def path(name, data):
    p = os.path.join(tmp, name)
    with open(p, 'wb') as f:
        f.write(data)
    return p

for line in sys.stdin:
    f = line.split()
    if not f:
        continue
    p, q, g, y, x = (int(v, 16) for v in f[:5])
    name, digest, ours, raw = f[5], bytes.fromhex(f[6]), bytes.fromhex(f[7]), bytes.fromhex(f[8])
    algorithm = getattr(hashes, name)()
    qbytes = q.bit_length() // 8
    params = path('params.pem', pem('DSA PARAMETERS', der(0x30, der_int(p) + der_int(q) + der_int(g))))
    params_ok = run(['openssl', 'pkeyparam', '-check', '-noout', '-in', params])
    public = dsa.DSAPublicNumbers(y, dsa.DSAParameterNumbers(p, q, g))
    private = dsa.DSAPrivateNumbers(x, public).private_key()
    try:
        private.public_key().verify(ours, digest, utils.Prehashed(algorithm))
        crypto_ok = True
    except InvalidSignature:
        crypto_ok = False
    key_pem = path('key.pem', private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                    serialization.NoEncryption()))
    digest_file = path('digest.bin', digest)
    openssl_ok = run(['openssl', 'pkeyutl', '-verify', '-inkey', key_pem, '-in', digest_file,
                      '-sigfile', path('ours.der', ours)])
    r, s = utils.decode_dss_signature(ours)
    h = int.from_bytes(digest, 'big')
    w = pow(s, -1, q)
    whole_ok = 0 < r < q and 0 < s < q and pow(g, h * w % q, p) * pow(y, r * w % q, p) % p % q == r
    theirs = private.sign(digest, utils.Prehashed(algorithm))
    tr, ts = utils.decode_dss_signature(theirs)
    theirs_raw = tr.to_bytes(qbytes, 'big') + ts.to_bytes(qbytes, 'big')
    signed = subprocess.run(['openssl', 'pkeyutl', '-sign', '-inkey', key_pem, '-in', digest_file],
                            capture_output=True).stdout
    print(int(params_ok), int(crypto_ok), int(openssl_ok), int(whole_ok), theirs.hex(), signed.hex(), theirs_raw.hex())
)PY";

std::string Hex(const core::BufferCore& b) { return ts::ToHex(Str(b)); }

TEST(DsaEngine, GeneratedKeysAndSignaturesAgreeWithOpenSslAndCryptography) {
  std::string probe;
  if (!ts::RunPython("import cryptography", "", "", &probe, "/usr/bin/python3") ||
      std::system("openssl version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs /usr/bin/python3 with python3-cryptography and the openssl command";
  }
  // 1024/160 straight from the engine, 2048/256 through key creation by name.
  DsaEngine small;
  DsaKeyParams small_key;
  ASSERT_EQ(small.GenerateKey(true, small_key, false), 0);
  KeyRecord record;
  ASSERT_EQ(GenerateKeyByAlgorithmName("DSA", 2048, record), 0);
  ASSERT_EQ(record.Type, kKeyDsa);
  DsaEngine large;
  ASSERT_EQ(large.SetKeyParams(record.DsaParams), 0);
  EXPECT_EQ(small_key.Q.Length(), 20);
  EXPECT_EQ(small_key.P.Length(), 128);
  EXPECT_EQ(record.DsaParams.Q.Length(), 32);
  EXPECT_EQ(record.DsaParams.P.Length(), 256);

  struct Case {
    DsaEngine* engine;
    const DsaKeyParams* key;
    const char* hash;
    size_t length;
    std::string digest = {}, der = {}, raw = {};
  };
  std::vector<Case> cases = {{&small, &small_key, "SHA1", 20},    {&small, &small_key, "SHA256", 32},
                             {&large, &record.DsaParams, "SHA256", 32}, {&large, &record.DsaParams, "SHA224", 28},
                             {&large, &record.DsaParams, "SHA512", 64}};
  std::mt19937 rng(11);
  std::string input;
  for (Case& c : cases) {
    c.digest.resize(c.length);
    for (char& ch : c.digest) ch = static_cast<char>(rng());
    c.raw = SignWith(*c.engine, c.digest);
    c.engine->DerOutput = 1;
    c.der = SignWith(*c.engine, c.digest);
    c.engine->DerOutput = 0;
    const DsaKeyParams& k = *c.key;
    input += Hex(k.P) + " " + Hex(k.Q) + " " + Hex(k.G) + " " + Hex(k.Y) + " " + Hex(k.X) + " " + c.hash + " " +
             ts::ToHex(c.digest) + " " + ts::ToHex(c.der) + " " + ts::ToHex(c.raw) + "\n";
  }
  std::string output;
  ASSERT_TRUE(ts::RunPython(kOracle, "", input, &output, "/usr/bin/python3")) << output;
  const auto lines = ts::Lines(output);
  ASSERT_EQ(lines.size(), cases.size()) << output;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const auto& f = lines[i];
    ASSERT_EQ(f.size(), 7u) << output;
    SCOPED_TRACE(std::string(c.hash) + " with q of " + std::to_string(c.key->Q.Length() * 8) + " bits");
    const int32_t qbytes = c.key->Q.Length();
    EXPECT_EQ(f[0], "1") << "openssl pkeyparam -check";
    EXPECT_EQ(f[3], "1") << "our signature with the whole digest as H";
    EXPECT_EQ(VerifyResult(*c.engine, c.digest, c.der), 1);
    const std::string theirs = ts::FromHex(f[4]), openssl = ts::FromHex(f[5]), theirs_raw = ts::FromHex(f[6]);
    if (c.length <= static_cast<size_t>(qbytes)) {
      // Where the digest is no longer than q everyone agrees.
      EXPECT_EQ(f[1], "1") << "cryptography verifies ours";
      EXPECT_EQ(f[2], "1") << "openssl verifies ours";
      EXPECT_EQ(VerifyResult(*c.engine, c.digest, theirs), 1);
      EXPECT_EQ(VerifyResult(*c.engine, c.digest, openssl), 1);
    } else {
      // A longer digest is signed whole here but cut to q's length by the standard tools.
      EXPECT_EQ(f[1], "0");
      EXPECT_EQ(f[2], "0");
      EXPECT_EQ(VerifyResult(*c.engine, c.digest, theirs), 0);
    }
    // The raw form splits by the digest's length, so only digests of qbytes verify raw.
    const int32_t expect_raw = c.length == static_cast<size_t>(qbytes) ? 1 : 0;
    EXPECT_EQ(VerifyResult(*c.engine, c.digest, c.raw), expect_raw);
    if (c.length <= static_cast<size_t>(qbytes)) {
      EXPECT_EQ(VerifyResult(*c.engine, c.digest, theirs_raw), expect_raw);
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
