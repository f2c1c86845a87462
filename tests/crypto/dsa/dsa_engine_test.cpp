// The DSA engine: the published FIPS 186-2 example regenerated through the seed hook; generated keys
// and signatures checked against OpenSSL (pkeyparam -check, pkeyutl) and python3-cryptography, with
// the whole-digest and digest-length split behaviours pinned where those tools disagree; refusals.
#include "crypto/dsa/dsa_engine.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "core/buffer.h"
#include "crypto/objects/key_providers.h"
#include "crypto/objects/key_creation.h"
#include "crypto/rsa/rsa_engine.h"
#include "crypto/objects/sign_by_key.h"
#include "pki/certificate_signature.h"
#include "pki/certificate.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/bn/montgomery_paths.h"
#include "tests/vector_file.h"

namespace velmora::crypto {
namespace {

namespace ts = testing_support;

std::string Str(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

void SetBytes(core::BufferCore& b, const std::string& bytes) {
  ASSERT_EQ(b.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

int32_t VerifyResult(DsaEngine& engine, const std::string& digest, const std::string& signature) {
  int32_t result = -1;
  EXPECT_EQ(engine.Verify(U8(digest), static_cast<int32_t>(digest.size()), U8(signature),
                         static_cast<int32_t>(signature.size()), &result), 0);
  return result;
}

std::string SignWith(DsaEngine& engine, const std::string& digest) {
  core::Buffer out;
  EXPECT_EQ(engine.Sign(U8(digest), static_cast<int32_t>(digest.size()), out), 0);
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
  EXPECT_EQ(ts::ToHex(Str(out.P) + Str(out.Q) + Str(out.G)), ts::ToHex(v.Bytes("P") + v.Bytes("Q") + v.Bytes("G")));
  // x is uniform below q, so it may be shorter than q by its leading zero bytes.
  EXPECT_TRUE(out.Seed.Length() == 0 && out.J.Length() == 0 && out.X.Length() >= 1 && out.X.Length() <= 20);
}

// The published example's parameters, then signatures made with them.
class DsaEngineOnPath : public MontgomeryPathTest {};

TEST_P(DsaEngineOnPath, PublishedExampleSignatureShapesAndRefusals) {
  DsaEngine engine;
  ExampleKey(engine);
  if (HasFatalFailure()) return;
  const std::string digest(20, '\x5a'), long_digest(32, '\x33');
  // Raw signatures are r and s of exactly qbytes each; one flipped bit no longer verifies.
  std::string sig = SignWith(engine, digest);
  ASSERT_EQ(sig.size(), 40u);
  EXPECT_TRUE(sig[0] != 0 && sig[20] != 0);
  EXPECT_EQ(VerifyResult(engine, digest, sig), 1);
  sig[27] ^= 4;
  EXPECT_EQ(VerifyResult(engine, digest, sig), 0);
  // DER whose SEQUENCE length disagrees with its INTEGERs is not verified.
  engine.DerOutput = 1;
  std::string der = SignWith(engine, digest);
  engine.DerOutput = 0;
  EXPECT_EQ(VerifyResult(engine, digest, der), 1);
  der[1] = static_cast<char>(der[1] - 1);
  EXPECT_EQ(VerifyResult(engine, digest, der), 0);
  // r of zero or s equal to q, and a signature shorter than the digest: not verified, no code.
  DsaKeyParams key;
  ASSERT_EQ(engine.GenerateKey(true, key, false), 0);  // the held key, not a new one
  sig = SignWith(engine, digest);
  EXPECT_EQ(VerifyResult(engine, digest, std::string(20, '\0') + sig.substr(20)), 0);
  EXPECT_EQ(VerifyResult(engine, digest, sig.substr(0, 20) + Str(key.Q)), 0);
  EXPECT_EQ(VerifyResult(engine, long_digest, sig.substr(0, 31)), 0);

  core::Buffer out;
  int32_t result = 5;
  EXPECT_EQ(engine.Sign(nullptr, 20, out), kDsaNoDigest);
  EXPECT_EQ(engine.Verify(U8(digest), 20, nullptr, 40, &result), kDsaNoSignature);
  EXPECT_EQ(result, 0);
  // Neither Y nor X: the whole set is refused and the engine holds nothing.
  DsaEngine other;
  DsaKeyParams params;
  ASSERT_EQ(params.CopyFrom(key), 0);
  ASSERT_EQ(params.X.Clear() | params.Y.Clear(), 0);
  EXPECT_EQ(other.SetKeyParams(params), kDsaMissingParams);
  EXPECT_EQ(other.Params.P.Length(), 0);
  EXPECT_EQ(other.Sign(U8(digest), 20, out), kDsaNoKey);
  SetBytes(params.Y, Str(key.Y));
  ASSERT_EQ(other.SetKeyParams(params), 0);
  EXPECT_EQ(other.Sign(U8(digest), 20, out), kDsaNoPrivateKey);
  // g = 1 can never give a full-width r: refused instead of an endless retry.
  SetBytes(params.G, std::string(1, '\1'));
  SetBytes(params.X, Str(key.X));
  ASSERT_EQ(other.SetKeyParams(params), 0);
  EXPECT_EQ(other.Sign(U8(digest), 20, out), kDsaMissingParams);
  EXPECT_EQ(out.Length(), 0);
  KeyRecord record;
  EXPECT_EQ(GenerateKeyByAlgorithmName("DSA", 4160, record), kKeySizeRefused);
}
VELMORA_ON_MONTGOMERY_PATHS(DsaEngineOnPath);

// A DSA-2048 certificate signed with dsa-with-SHA256 verifies with the SHA-256 digest its OID names.
class DsaCertificateOnPath : public MontgomeryPathTest {};

TEST_P(DsaCertificateOnPath, Sha256CertificateVerifiesByItsSignatureAlgorithm) {
  auto vectors = ts::ReadVectors(std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/dsa_sha256_certificate.txt",
                                 {"Tbs", "SignatureOid", "Signature", "P", "Q", "G", "Y"});
  ASSERT_EQ(vectors.size(), 1u);
  auto& v = vectors[0];
  pki::Certificate certificate;
  SetBytes(certificate.tbsDer, v.Bytes("Tbs"));
  SetBytes(certificate.signature, v.Bytes("Signature"));
  ASSERT_EQ(certificate.signatureAlgorithm.oid.SetString(v.Get("SignatureOid").c_str()), 0);
  ASSERT_EQ(certificate.tbs.publicKey.algorithm.oid.SetString("1.2.840.10040.4.1"), 0);
  KeyRecord& key = certificate.tbs.publicKey.key;
  key.Type = kKeyDsa;
  SetBytes(key.DsaParams.P, v.Bytes("P"));
  SetBytes(key.DsaParams.Q, v.Bytes("Q"));
  SetBytes(key.DsaParams.G, v.Bytes("G"));
  SetBytes(key.DsaParams.Y, v.Bytes("Y"));
  // The digest runs on the internal provider, as the library does until a platform one exists.
  component::Configurable<component::ComponentBase> settings;
  ASSERT_EQ(settings.Set("UseInternalCryptoAPI=true"), 0);
  EXPECT_EQ(VerifySignatureByAlgorithm(certificate, certificate), 0);
  certificate.tbsDer.Data()[40] ^= 1;
  EXPECT_EQ(VerifySignatureByAlgorithm(certificate, certificate), -1);
  ASSERT_EQ(settings.Set("UseInternalCryptoAPI=false"), 0);
}
VELMORA_ON_MONTGOMERY_PATHS(DsaCertificateOnPath);

TEST(DsaEngine, FipsModeRefusesSmallKeysWithItsText) {
  DsaKeyParams key;
  SetBytes(key.P, std::string(128, '\x80'));
  SetBytes(key.Q, std::string(20, '\x80'));
  SetBytes(key.G, "\x02");
  SetBytes(key.X, "\x01");
  component::CryptoComponent component;
  ASSERT_EQ(SelectDsaProvider(component, key, kProviderInternal), 0);
  component::Configurable<component::ComponentBase> settings;
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=true"), 0);
  const std::string digest(20, '\x11');
  core::Buffer out;
  EXPECT_EQ(DsaSignWithFipsCheck(component, U8(digest), 20, out, 0), kDsaFipsKeySize);
  EXPECT_EQ(out.Length(), 0);
  EXPECT_EQ(Str(component.LastErrorText()),
            "DSA error: Could not generate signature: FIPS mode requires that the DSA key size for signature generation "
            "must be 2048 or 3072 bits, but the size is 1024 bits.");
  for (int32_t bytes : {256, 384}) {
    SetBytes(key.P, std::string(static_cast<size_t>(bytes), '\x80'));
    EXPECT_EQ(CheckDsaFipsKeySize(component, key), 0);
  }
  ASSERT_EQ(settings.Set("UseFIPSCompliantAPI=false"), 0);
  SetBytes(key.P, std::string(128, '\x80'));
  EXPECT_EQ(CheckDsaFipsKeySize(component, key), 0);
}

// The oracle reads one case a line: p q g y x hash-name digest our-DER (hex). It prints pkeyparam's
// verdict on (p, q, g), whether cryptography and `openssl pkeyutl` accept our signature, whether it
// satisfies the DSA equation with the whole digest as H, and cryptography's own signature, DER and
// as r || s of qbytes each.
constexpr const char* kOracle = R"PY(
import atexit, os, shutil, subprocess, sys, tempfile
from asn1crypto import keys, pem
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dsa, utils
from cryptography.exceptions import InvalidSignature

tmp = tempfile.mkdtemp()
atexit.register(shutil.rmtree, tmp, True)
def path(name, data):
    with open(os.path.join(tmp, name), 'wb') as f:
        f.write(data)
    return os.path.join(tmp, name)
def run(*args):
    return int(subprocess.run(['openssl'] + list(args), capture_output=True).returncode == 0)

for line in sys.stdin:
    f = line.split()
    p, q, g, y, x = (int(v, 16) for v in f[:5])
    algorithm, digest, ours = getattr(hashes, f[5])(), bytes.fromhex(f[6]), bytes.fromhex(f[7])
    params = pem.armor('DSA PARAMETERS', keys.DSAParams({'p': p, 'q': q, 'g': g}).dump())
    key = dsa.DSAPrivateNumbers(x, dsa.DSAPublicNumbers(y, dsa.DSAParameterNumbers(p, q, g))).private_key()
    try:
        key.public_key().verify(ours, digest, utils.Prehashed(algorithm))
        crypto_ok = 1
    except InvalidSignature:
        crypto_ok = 0
    key_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    openssl_ok = run('pkeyutl', '-verify', '-inkey', path('key.pem', key_pem), '-in', path('digest', digest),
                     '-sigfile', path('sig', ours))
    r, s = utils.decode_dss_signature(ours)
    h, w = int.from_bytes(digest, 'big'), pow(s, -1, q)
    whole = int(0 < r < q and 0 < s < q and pow(g, h * w % q, p) * pow(y, r * w % q, p) % p % q == r)
    theirs = key.sign(digest, utils.Prehashed(algorithm))
    n = q.bit_length() // 8
    raw = b''.join(v.to_bytes(n, 'big') for v in utils.decode_dss_signature(theirs))
    print(run('pkeyparam', '-check', '-noout', '-in', path('params', params)), crypto_ok, openssl_ok, whole,
          theirs.hex(), raw.hex())
)PY";

std::string Hex(const core::BufferCore& b) { return ts::ToHex(Str(b)); }

class DsaInteropOnPath : public MontgomeryPathTest {};

TEST_P(DsaInteropOnPath, GeneratedKeysAndSignaturesAgreeWithOpenSslAndCryptography) {
  std::string probe;
  if (!ts::RunPython("import asn1crypto, cryptography", "", "", &probe, "/usr/bin/python3") ||
      std::system("openssl version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs /usr/bin/python3 with python3-cryptography and python3-asn1crypto, and the openssl command";
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
  EXPECT_TRUE(small_key.P.Length() == 128 && small_key.Q.Length() == 20);
  EXPECT_TRUE(record.DsaParams.P.Length() == 256 && record.DsaParams.Q.Length() == 32);

  struct Case {
    DsaEngine* engine;
    const DsaKeyParams* key;
    const char* hash;
    size_t length;
    std::string digest = {}, raw = {};
  };
  std::vector<Case> cases = {{&small, &small_key, "SHA1", 20},    {&small, &small_key, "SHA256", 32},
                             {&large, &record.DsaParams, "SHA256", 32}, {&large, &record.DsaParams, "SHA224", 28},
                             {&large, &record.DsaParams, "SHA512", 64}};
  std::mt19937 rng(11);
  std::string input;
  for (Case& c : cases) {
    for (size_t i = 0; i < c.length; ++i) c.digest += static_cast<char>(rng());
    c.raw = SignWith(*c.engine, c.digest);
    c.engine->DerOutput = 1;
    const std::string der = SignWith(*c.engine, c.digest);
    c.engine->DerOutput = 0;
    EXPECT_EQ(VerifyResult(*c.engine, c.digest, der), 1);
    const DsaKeyParams& k = *c.key;
    input += Hex(k.P) + " " + Hex(k.Q) + " " + Hex(k.G) + " " + Hex(k.Y) + " " + Hex(k.X) + " " + c.hash + " " +
             ts::ToHex(c.digest) + " " + ts::ToHex(der) + "\n";
  }
  std::string output;
  ASSERT_TRUE(ts::RunPython(kOracle, "", input, &output, "/usr/bin/python3")) << output;
  const auto lines = ts::Lines(output);
  ASSERT_EQ(lines.size(), cases.size()) << output;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const auto& f = lines[i];
    ASSERT_EQ(f.size(), 6u) << output;
    SCOPED_TRACE(std::string(c.hash) + " with q of " + std::to_string(c.key->Q.Length() * 8) + " bits");
    const size_t qbytes = static_cast<size_t>(c.key->Q.Length());
    EXPECT_EQ(f[0], "1") << "openssl pkeyparam -check";
    EXPECT_EQ(f[3], "1") << "our signature with the whole digest as H";
    // Where the digest is no longer than q everyone agrees; a longer one is signed whole here but cut
    // to q's length by the standard tools.
    const std::string agree = c.length <= qbytes ? "1" : "0";
    EXPECT_EQ(f[1], agree) << "cryptography on ours";
    EXPECT_EQ(f[2], agree) << "openssl pkeyutl on ours";
    EXPECT_EQ(VerifyResult(*c.engine, c.digest, ts::FromHex(f[4])), c.length <= qbytes ? 1 : 0);
    // The raw form splits by the digest's length, so only digests of qbytes verify raw.
    EXPECT_EQ(VerifyResult(*c.engine, c.digest, c.raw), c.length == qbytes ? 1 : 0);
    if (c.length <= qbytes) {
      EXPECT_EQ(VerifyResult(*c.engine, c.digest, ts::FromHex(f[5])), c.length == qbytes ? 1 : 0);
    }
  }
}
VELMORA_ON_MONTGOMERY_PATHS(DsaInteropOnPath);

}  // namespace
}  // namespace velmora::crypto
