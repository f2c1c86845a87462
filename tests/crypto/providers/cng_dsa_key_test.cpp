// CngDsaKey against OpenSSL's command line and python3-cryptography: blob round trips in both versions,
// signatures that each side verifies for the other, a generated key that OpenSSL checks, and the codes
// for what the platform cannot do.
#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/keys/key_params.h"
#include "crypto/objects/key_classes.h"
#include "crypto/providers/cng_dh.h"
#include "crypto/providers/cng_dsa_key.h"
#include "crypto/providers/provider_tables.h"
#include "tests/core/python_oracle.h"
#include "tests/vector_file.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/keypair_modules.h"
#endif

namespace velmora::crypto {
namespace {

// Without the tables every operation says "not available" (-1); a key without a handle holds nothing.
TEST(CngDsaKeyUnloaded, EveryOperationAnswersNotAvailable) {
  CngDsaKey key;
  DsaKeyParams params;
  core::Buffer out;
  int32_t valid = 7;
  const uint8_t digest[20] = {1};
  EXPECT_EQ(key.SetKeyParams(params), kCngNotLoaded);
  EXPECT_EQ(key.GenerateKey(1024, params), kCngNotLoaded);
  EXPECT_EQ(key.Sign(digest, 20, out), kCngNotLoaded);
  EXPECT_EQ(key.Verify(digest, 20, digest, 20, &valid), kCngNotLoaded);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(key.DestroyHandle(), 0);
  BigInt two, prime, a, b;
  ASSERT_EQ(BigInt::FromInt64(2, two), 0);
  ASSERT_EQ(BigInt::FromInt64(23, prime), 0);
  EXPECT_EQ(CngDhAgreement(two, prime, a, b), kCngNotLoaded);
  EXPECT_EQ(CngDiffieHellman(two, two, prime, out, nullptr, nullptr, "TRUNCATE", nullptr, 0, nullptr, 0, nullptr, 0),
            kCngNotLoaded);
}

#if VELMORABLE_PLATFORM_CRYPTO
namespace plat = velmora::platform;
using testing_support::FromHex;
using testing_support::ToHex;

constexpr const char* kDebianPython = "/usr/bin/python3";

struct DsaVector {
  std::string p, q, g, y, x, seed;
  int32_t counter = 0;
};

DsaVector LoadKey(const std::string& name) {
  auto entries = testing_support::ReadVectors(std::string(VELMORA_TEST_DATA_DIR) + "/crypto/providers/dsa_keys.txt",
                                              {"Name", "P", "Q", "G", "Y", "X", "Seed", "Counter"});
  DsaVector found;
  for (auto& entry : entries) {
    const bool match = entry.Get("Name") == name;
    DsaVector v{entry.Bytes("P"), entry.Bytes("Q"), entry.Bytes("G"), entry.Bytes("Y"), entry.Bytes("X"), {}, 0};
    if (entry.Has("Seed")) {
      v.seed = entry.Bytes("Seed");
      v.counter = std::stoi(entry.Get("Counter"));
    }
    if (match) found = v;
  }
  EXPECT_FALSE(found.p.empty()) << name;
  return found;
}

void Put(core::BufferCore& buffer, const std::string& bytes) {
  ASSERT_EQ(buffer.SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0);
}
std::string Str(const core::BufferCore& buffer) { return std::string(buffer.Data(), buffer.Length()); }

void Fill(const DsaVector& v, bool seeded, DsaKeyParams& params) {
  Put(params.P, v.p);
  Put(params.Q, v.q);
  Put(params.G, v.g);
  Put(params.Y, v.y);
  Put(params.X, v.x);
  if (seeded) {
    Put(params.Seed, v.seed);
    params.Counter = v.counter;
  }
}

std::string Digest(const char* name, const std::string& message) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), out, &length, EVP_get_digestbyname(name), nullptr);
  return std::string(reinterpret_cast<char*>(out), length);
}

bool OraclesAvailable() {
  return testing_support::PythonAvailable() &&
         std::system((std::string(kDebianPython) + " -c 'import cryptography' >/dev/null 2>&1").c_str()) == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

// The oracle reads "sign P Q G Y X HASH SIG" lines: it checks SIG (raw r || s) with `openssl pkeyutl
// -verify` and answers the result and OpenSSL's own signature of HASH, raw; "check P Q G Y X" lines
// answer whether `openssl pkey -check` finds the key valid.
constexpr char kOracle[] = R"PY(
import atexit, os, shutil, subprocess, sys, tempfile
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import dsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature
work = tempfile.mkdtemp()
atexit.register(shutil.rmtree, work, True)
def path(name): return os.path.join(work, name)
for line in sys.stdin:
    f = line.split()
    p, q, g, y, x = (int(v, 16) for v in f[1:6])
    key = dsa.DSAPrivateNumbers(x, dsa.DSAPublicNumbers(y, dsa.DSAParameterNumbers(p, q, g))).private_key()
    open(path('k.pem'), 'wb').write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                      serialization.NoEncryption()))
    if f[0] == 'check':
        r = subprocess.run(['openssl', 'pkey', '-check', '-noout', '-in', path('k.pem')], capture_output=True)
        print(int(r.returncode == 0 and b'Key is valid' in r.stdout + r.stderr))
        continue
    open(path('h.bin'), 'wb').write(bytes.fromhex(f[6]))
    half = len(f[7]) // 2
    open(path('s.der'), 'wb').write(encode_dss_signature(int(f[7][:half], 16), int(f[7][half:], 16)))
    ok = subprocess.run(['openssl', 'pkeyutl', '-verify', '-inkey', path('k.pem'), '-in', path('h.bin'),
                         '-sigfile', path('s.der')], capture_output=True).returncode == 0
    subprocess.run(['openssl', 'pkeyutl', '-sign', '-inkey', path('k.pem'), '-in', path('h.bin'), '-out',
                    path('o.der')], check=True)
    r, s = decode_dss_signature(open(path('o.der'), 'rb').read())
    width = 2 * ((q.bit_length() + 7) // 8)
    print(int(ok), format(r, 'x').zfill(width) + format(s, 'x').zfill(width))
)PY";

std::vector<std::vector<std::string>> RunOracle(const std::string& input) {
  std::string output;
  EXPECT_TRUE(testing_support::RunPython(kOracle, "", input, &output, kDebianPython)) << output;
  return testing_support::Lines(output);
}

std::string KeyFields(const DsaVector& v) {
  return ToHex(v.p) + " " + ToHex(v.q) + " " + ToHex(v.g) + " " + ToHex(v.y) + " " + ToHex(v.x);
}

class CngDsaKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { CryptoProvidersStaticInit(); }
  void TearDown() override {
    CryptoProvidersStaticDestroy();
    plat::test::SetBadSignatureStatus(0);
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
  }
};

TEST_F(CngDsaKeyTest, BlobsRoundTripThroughBothVersions) {
  struct Case {
    const char* name;
    bool seeded;
    bool leading_zero;  // P written with one more byte, as a DER INTEGER holds it
    const char* magic;
  };
  const Case cases[] = {
      {"DSA-1024-160", false, false, "DSPV"}, {"DSA-1024-160", true, false, "DSPV"},
      {"DSA-1024-160", false, true, "DSPV"},  {"DSA-2048-256", true, false, "DPV2"},
      {"DSA-2048-256", false, false, "DPV2"}, {"DSA-3072-256", true, true, "DPV2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.seeded ? " seeded" : "") + (c.leading_zero ? " 00 P" : ""));
    const DsaVector v = LoadKey(c.name);
    DsaKeyParams in;
    Fill(v, c.seeded, in);
    if (c.leading_zero) Put(in.P, std::string(1, '\0') + v.p);
    CngDsaKey key;
    ASSERT_EQ(key.SetKeyParams(in), 0);
    const std::vector<uint8_t> header = plat::test::LastDsaBlobHeader();
    ASSERT_GE(header.size(), 32u);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), c.magic);
    EXPECT_EQ(header[4] | header[5] << 8, static_cast<int>(v.p.size()));
    if (!c.seeded && v.p.size() == 128) {
      EXPECT_EQ(std::vector<uint8_t>(header.begin() + 8, header.begin() + 32), std::vector<uint8_t>(24, 0xFF));
    }
    DsaKeyParams out;
    ASSERT_EQ(CngDsaBlobTransfer(key, 0, out, true), 0);
    EXPECT_EQ(Str(out.P), v.p);
    EXPECT_EQ(Str(out.Q), v.q);
    EXPECT_EQ(Str(out.G), v.g);
    EXPECT_EQ(Str(out.Y), v.y);
    EXPECT_EQ(Str(out.X), v.x);
    EXPECT_EQ(ToHex(Str(out.Seed)), c.seeded ? ToHex(v.seed) : "");
    EXPECT_EQ(out.Counter, c.seeded ? v.counter : 0);
    // A held key exports only together with its private part.
    EXPECT_EQ(CngDsaBlobTransfer(key, 0, out, false), kCngPrivateExportOfHeldKey);
  }
  // A 2048-bit modulus with a 28-byte q fits neither blob version.
  DsaKeyParams q224;
  Fill(LoadKey("DSA-2048-224"), false, q224);
  CngDsaKey key;
  EXPECT_EQ(key.SetKeyParams(q224), kCngNoKey);
  EXPECT_EQ(key.KeyHandle, nullptr);
}

TEST_F(CngDsaKeyTest, SignaturesInteroperateWithOpenSslAndTheInternalKey) {
  if (!OraclesAvailable()) GTEST_SKIP() << "python3-cryptography or openssl is not available";
  const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
  std::printf("CngDsaKeyTest seed %u\n", seed);
  std::mt19937 rng(seed);
  const std::pair<const char*, const char*> cases[] = {
      {"DSA-1024-160", "SHA1"}, {"DSA-2048-256", "SHA256"}, {"DSA-3072-256", "SHA256"}};
  for (const auto& [name, digest_name] : cases) {
    SCOPED_TRACE(name);
    const DsaVector v = LoadKey(name);
    DsaKeyParams params;
    Fill(v, false, params);
    CngDsaKey cng;
    InternalDsaKey internal;
    ASSERT_EQ(cng.SetKeyParams(params), 0);
    ASSERT_EQ(internal.SetKeyParams(params), 0);
    std::string message(100, '\0');
    for (char& c : message) c = static_cast<char>(rng());
    const std::string hash = Digest(digest_name, message);
    const auto* h = reinterpret_cast<const uint8_t*>(hash.data());
    const auto hash_length = static_cast<int32_t>(hash.size());
    core::Buffer ours;
    ASSERT_EQ(cng.Sign(h, hash_length, ours), 0);
    ASSERT_EQ(ours.Length(), static_cast<int32_t>(2 * v.q.size()));

    const auto lines = RunOracle("sign " + KeyFields(v) + " " + ToHex(hash) + " " + ToHex(Str(ours)) + "\n");
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 2u);
    EXPECT_EQ(lines[0][0], "1") << "openssl pkeyutl -verify refused our signature";
    const std::string theirs = FromHex(lines[0][1]);
    core::Buffer internal_signature;
    ASSERT_EQ(internal.Sign(h, hash_length, internal_signature), 0);
    for (const std::string& signature : {theirs, Str(internal_signature)}) {
      int32_t valid = 0;
      EXPECT_EQ(cng.Verify(h, hash_length, reinterpret_cast<const uint8_t*>(signature.data()),
                           static_cast<int32_t>(signature.size()), &valid),
                0);
      EXPECT_EQ(valid, 1);
    }
    int32_t valid = 0;
    EXPECT_EQ(internal.Verify(h, hash_length, ours.Bytes(), ours.Length(), &valid), 0);
    EXPECT_EQ(valid, 1);

    // A changed byte is "not valid", never an error, whichever status the platform gives.
    for (const plat::NTSTATUS status : {plat::kNteBadSignature, plat::kStatusInvalidSignature}) {
      plat::test::SetBadSignatureStatus(status);
      std::string bad = Str(ours);
      bad[rng() % bad.size()] ^= static_cast<char>(1 << (rng() % 8));
      valid = 7;
      EXPECT_EQ(cng.Verify(h, hash_length, reinterpret_cast<const uint8_t*>(bad.data()),
                           static_cast<int32_t>(bad.size()), &valid),
                0);
      EXPECT_EQ(valid, 0);
    }
  }
}

TEST_F(CngDsaKeyTest, GeneratedKeyPassesOpenSslsCheck) {
  if (!OraclesAvailable()) GTEST_SKIP() << "python3-cryptography or openssl is not available";
  CngDsaKey key;
  DsaKeyParams out;
  ASSERT_EQ(key.GenerateKey(1024, out), 0);
  EXPECT_EQ(out.P.Length(), 128);
  EXPECT_EQ(out.Q.Length(), 20);
  EXPECT_EQ(out.Seed.Length(), 20);  // FIPS 186-2 generation keeps its seed
  const DsaVector v{Str(out.P), Str(out.Q), Str(out.G), Str(out.Y), Str(out.X), {}, 0};
  const auto lines = RunOracle("check " + KeyFields(v) + "\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][0], "1") << "openssl pkey -check refused the generated key";
}

TEST_F(CngDsaKeyTest, KeyWithoutHandleHoldsNothing) {
  CngDsaKey key;
  core::Buffer out;
  DsaKeyParams params;
  int32_t valid = 7;
  const uint8_t digest[20] = {1};
  EXPECT_EQ(key.Sign(digest, 20, out), kCngNoKey);
  EXPECT_EQ(key.Verify(digest, 20, digest, 20, &valid), kCngNoKey);
  EXPECT_EQ(valid, 0);
  EXPECT_EQ(CngDsaBlobTransfer(key, 1024, params, false), kCngNoKey);
  EXPECT_EQ(out.Length(), 0);
}
#endif

}  // namespace
}  // namespace velmora::crypto
