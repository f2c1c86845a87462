// Ed25519, Ed25519ctx and Ed25519ph: the RFC 8032 vectors, byte-identical signatures next to
// python3-cryptography, openssl pkeyutl and libsodium, the lenient verification next to OpenSSL's
// stricter one, and the failure codes.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/buffer.h"
#include "crypto/curve25519/ed25519_eddsa.h"
#include "crypto/digest/hash_ctx.h"
#include "tests/crypto/curve25519/ed25519_test_util.h"
#include "tests/crypto/small_order_points.h"
#include "tests/vector_file.h"

#ifndef VELMORA_HAVE_SODIUM
#define VELMORA_HAVE_SODIUM 0
#endif
#if VELMORA_HAVE_SODIUM
#include <sodium.h>
#endif

namespace velmora::crypto {
namespace {

using testing_support::Lines;
using testing_support::RunPython;

constexpr const char* kDebianPython = "/usr/bin/python3";

bool HaveDebianCryptography() {
  static const bool have =
      std::system("/usr/bin/python3 -c 'import cryptography.hazmat.primitives.asymmetric.ed25519' >/dev/null 2>&1") == 0;
  return have;
}

std::string Text(const core::BufferCore& b) { return std::string(b.Data(), static_cast<size_t>(b.Length())); }

std::string PublicOf(const std::string& secret) {
  core::SecureBuffer priv;
  core::Buffer pub;
  EXPECT_EQ(priv.SetData(Len(secret), secret.data()), 0);
  EXPECT_EQ(Ed25519PublicFromPrivate(priv, pub), 0);
  return Text(pub);
}

std::string SignPure(const std::string& message, const std::string& secret) {
  const std::string pub = PublicOf(secret);
  core::Buffer sig;
  EXPECT_EQ(Ed25519Sign(U8(message), Len(message), U8(pub), 32, U8(secret), 32, sig), 0);
  return Text(sig);
}

TEST(Ed25519Signatures, Rfc8032Vectors) {
  auto vectors = testing_support::ReadVectors(
      std::string(VELMORABLE_SOURCE_DIR) + "/tests/data/crypto/pubkey/ed25519_rfc8032.txt",
      {"Variant", "Secret", "Public", "Message", "Context", "Signature"});
  for (auto& v : vectors) {
    const std::string variant = v.Get("Variant");
    const std::string secret = v.Bytes("Secret"), pub = v.Bytes("Public"), msg = v.Bytes("Message");
    const std::string context = v.Has("Context") ? v.Bytes("Context") : std::string();
    const std::string want = v.Bytes("Signature");
    SCOPED_TRACE(v.Origin());
    EXPECT_EQ(ToHex(PublicOf(secret)), ToHex(pub));
    core::Buffer sig;
    auto sign = [&](const std::string& m, bool prehashed) {
      if (variant == "Ed25519") return Ed25519Sign(U8(m), Len(m), U8(pub), 32, U8(secret), 32, sig);
      if (variant == "Ed25519ctx") {
        return Ed25519CtxSign(U8(m), Len(m), U8(context), Len(context), U8(pub), 32, U8(secret), 32, sig);
      }
      return Ed25519PhSign(U8(m), Len(m), prehashed, U8(context), Len(context), U8(pub), 32, U8(secret), 32, sig);
    };
    auto verify = [&](const std::string& m, const std::string& k, const std::string& s) {
      if (variant == "Ed25519") return Ed25519Verify(U8(m), Len(m), U8(k), Len(k), U8(s), Len(s));
      if (variant == "Ed25519ctx") {
        return Ed25519CtxVerify(U8(m), Len(m), U8(context), Len(context), U8(k), Len(k), U8(s), Len(s));
      }
      return Ed25519PhVerify(U8(m), Len(m), false, U8(context), Len(context), U8(k), Len(k), U8(s), Len(s));
    };
    ASSERT_EQ(sign(msg, false), 0);
    EXPECT_EQ(ToHex(Text(sig)), ToHex(want));
    EXPECT_EQ(ToHex(SignPure(msg, secret)) == ToHex(want), variant == "Ed25519") << "the variants must differ";
    EXPECT_EQ(verify(msg, pub, want), 1);
    // One flipped bit anywhere (message, R, S, key) makes the signature invalid.
    for (int part = 0; part < 4; ++part) {
      std::string m = msg, k = pub, s = want;
      if (part == 0) m += '\0';
      if (part == 0 && !msg.empty()) m = msg.substr(0, msg.size() - 1) + static_cast<char>(msg.back() ^ 1);
      if (part == 1) s[5] = static_cast<char>(s[5] ^ 0x10);
      if (part == 2) s[40] = static_cast<char>(s[40] ^ 0x01);
      if (part == 3) k[7] = static_cast<char>(k[7] ^ 0x02);
      EXPECT_EQ(verify(m, k, s), 0) << "part " << part;
    }
    if (variant == "Ed25519ph") {
      // The flag set: the message is the SHA-512 digest itself.
      HashCtx ctx;
      core::Buffer digest;
      ASSERT_EQ(ctx.SetAlgorithm(kHashSha512), 0);
      ASSERT_EQ(DigestToBuffer(ctx, msg.data(), Len(msg), digest), 0);
      ASSERT_EQ(sign(Text(digest), true), 0);
      EXPECT_EQ(ToHex(Text(sig)), ToHex(want));
      EXPECT_EQ(Ed25519PhVerify(digest.Bytes(), 64, true, nullptr, 0, U8(pub), 32, U8(want), 64), 1);
    }
  }
}

const char* kCryptographySign = R"PY(
import sys
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
for line in sys.stdin:
    seed, msg = line.split()
    key = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(seed))
    print(key.sign(bytes.fromhex(msg[1:])).hex())
)PY";

// openssl pkeyutl reads the seed as a PKCS#8 key (fixed 16-byte header) and signs the raw message.
const char* kOpensslSign = R"PY(
import atexit, os, shutil, subprocess, sys, tempfile
d = tempfile.mkdtemp()
atexit.register(shutil.rmtree, d, True)
key, msg = os.path.join(d, 'k.der'), os.path.join(d, 'm.bin')
for line in sys.stdin:
    seed, m = line.split()
    open(key, 'wb').write(bytes.fromhex('302e020100300506032b657004220420' + seed))
    open(msg, 'wb').write(bytes.fromhex(m[1:]))
    out = subprocess.run(['openssl', 'pkeyutl', '-sign', '-rawin', '-keyform', 'DER', '-inkey', key, '-in', msg],
                         capture_output=True, check=True).stdout
    print(out.hex())
)PY";

TEST(Ed25519Signatures, IdenticalToOracles) {
  std::mt19937_64 rng(8032);
  const int cases = Count(500);
  std::string input, ours;
  std::vector<std::string> seeds, messages, signatures;
  for (int i = 0; i < cases; ++i) {
    seeds.push_back(RandomString(rng, 32));
    // At least one byte: openssl pkeyutl 3.0 cannot sign an empty input (the RFC vectors cover it).
    messages.push_back(RandomString(rng, 1 + (rng() % 4 == 0 ? rng() % 2000 : rng() % 100)));
    signatures.push_back(SignPure(messages.back(), seeds.back()));
    input += ToHex(seeds.back()) + " x" + ToHex(messages.back()) + "\n";
    ours += ToHex(signatures.back()) + "\n";
    EXPECT_EQ(Ed25519Verify(U8(messages[i]), Len(messages[i]), U8(PublicOf(seeds[i])), 32, U8(signatures[i]), 64), 1);
  }
  if (HaveDebianCryptography()) {
    std::string theirs;
    ASSERT_TRUE(RunPython(kCryptographySign, "", input, &theirs, kDebianPython));
    EXPECT_EQ(theirs, ours) << "python3-cryptography";
  } else {
    std::cout << "python3-cryptography is not available: that comparison skipped\n";
  }
  if (testing_support::PythonAvailable() && std::system("openssl version >/dev/null 2>&1") == 0) {
    std::string theirs;
    ASSERT_TRUE(RunPython(kOpensslSign, "", input, &theirs));
    EXPECT_EQ(theirs, ours) << "openssl pkeyutl";
  } else {
    std::cout << "openssl or python3 is not available: that comparison skipped\n";
  }
}

TEST(Ed25519Signatures, PrehashedMatchesLibsodium) {
#if VELMORA_HAVE_SODIUM
  ASSERT_GE(sodium_init(), 0);
  std::mt19937_64 rng(25519);
  for (int i = 0; i < Count(100); ++i) {
    const std::string seed = RandomString(rng, 32);
    const std::string msg = RandomString(rng, rng() % 300);
    unsigned char pk[32], sk[64], theirs[64];
    crypto_sign_ed25519_seed_keypair(pk, sk, U8(seed));
    crypto_sign_ed25519ph_state state;
    crypto_sign_ed25519ph_init(&state);
    crypto_sign_ed25519ph_update(&state, U8(msg), msg.size());
    crypto_sign_ed25519ph_final_create(&state, theirs, nullptr, sk);
    core::Buffer sig;
    ASSERT_EQ(Ed25519PhSign(U8(msg), Len(msg), false, nullptr, 0, pk, 32, U8(seed), 32, sig), 0);
    EXPECT_EQ(ToHex(Text(sig)), Hex(theirs, 64));
    crypto_sign_ed25519ph_init(&state);
    crypto_sign_ed25519ph_update(&state, U8(msg), msg.size());
    const unsigned char* ours = sig.Bytes();
    EXPECT_EQ(crypto_sign_ed25519ph_final_verify(&state, ours, pk), 0);
  }
#else
  GTEST_SKIP() << "libsodium is not available: comparison skipped";
#endif
}

// Cases this verification accepts: S + L (which OpenSSL refuses), and the neutral key encoded with
// y >= p, with x = 0 and the sign bit set, and canonically (small order; OpenSSL 3.0 accepts these three). Each is built by the Python model (R = S * B, which any message
// satisfies under the neutral key) and given to OpenSSL through python3-cryptography.
const char* kLenientCases = R"PY(
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey
from cryptography.exceptions import InvalidSignature
def ossl(pub, msg, sig):
    try:
        Ed25519PublicKey.from_public_bytes(bytes.fromhex(pub)).verify(bytes.fromhex(sig), bytes.fromhex(msg))
        return 1
    except (InvalidSignature, ValueError):
        return 0
pub, msg, sig = sys.stdin.readline().split()
msg = msg[1:]
s = num(sig[64:]) + L
assert s < 2**253
cases = [('s_plus_l', pub, sig[:64] + enc(s))]
forged_s = 123456789 * 2**200 + 987654321
forged = encpt(mul(forged_s, B)) + enc(forged_s)
cases.append(('y_above_p', enc(p + 1), forged))
cases.append(('x0_sign_bit', enc(1 | (1 << 255)), forged))
cases.append(('small_order', enc(1), forged))
for name, k, sg in cases:
    print(name, k, sg, ossl(k, msg, sg))
)PY";

TEST(Ed25519Signatures, LenientVerificationNextToOpenSsl) {
  if (!HaveDebianCryptography()) GTEST_SKIP() << "python3-cryptography is not available: comparison skipped";
  std::mt19937_64 rng(1);
  std::string seed, msg, sig;
  // A signature whose S leaves room for S + L below 2^253.
  do {
    seed = RandomString(rng, 32);
    msg = RandomString(rng, 20);
    sig = SignPure(msg, seed);
  } while ((static_cast<uint8_t>(sig[63]) & 0xF0) != 0);
  const std::string input = ToHex(PublicOf(seed)) + " x" + ToHex(msg) + " " + ToHex(sig) + "\n";
  std::string out;
  ASSERT_TRUE(RunPython(std::string(kCurveModel) + kLenientCases, "", input, &out, kDebianPython));
  const auto lines = Lines(out);
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& f : lines) {
    ASSERT_EQ(f.size(), 4u);
    const std::string pub = FromHex(f[1]), s = FromHex(f[2]);
    EXPECT_EQ(Ed25519Verify(U8(msg), Len(msg), U8(pub), 32, U8(s), 64), 1) << f[0];
    EXPECT_EQ(f[3], f[0] == "s_plus_l" ? "0" : "1") << f[0] << ": OpenSSL's answer";
  }
}

// No signature whose R is one of the eight points of small order (in every encoding the decoder takes)
// verifies under keys that private keys made, with S = 0, 1, L - 1 or 100 random S, through Ed25519,
// Ed25519ctx and Ed25519ph in turn.
TEST(Ed25519Signatures, NoSignatureVerifiesWithRofSmallOrder) {
  const testing_support::SmallOrderTable table = testing_support::SmallOrderPoints("edwards25519");
  ASSERT_EQ(table.encodings.size(), 22u);
  std::mt19937 rng(std::random_device{}());
  std::string one(32, '\0'), last = table.order;
  one[0] = 1;
  for (size_t i = 0; i < last.size(); ++i) {
    if (last[i]-- != 0) break;
  }
  std::vector<std::string> scalars = {std::string(32, '\0'), one, last};
  auto random_bytes = [&](size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
  };
  for (int i = 0; i < 100; ++i) scalars.push_back(random_bytes(31) + std::string(1, '\0'));
  int accepted = 0;
  for (const std::string& point : table.encodings) {
    const std::string secret = random_bytes(32), pub = PublicOf(secret);
    const std::string message = random_bytes(rng() % 64), context = random_bytes(1 + rng() % 8);
    for (size_t i = 0; i < scalars.size(); ++i) {
      const std::string sig = point + scalars[i];
      const uint8_t* m = U8(message);
      int verified = 0;
      switch (i % 3) {
        case 0: verified = Ed25519Verify(m, Len(message), U8(pub), 32, U8(sig), 64); break;
        case 1: verified = Ed25519CtxVerify(m, Len(message), U8(context), Len(context), U8(pub), 32, U8(sig), 64); break;
        default:
          verified = Ed25519PhVerify(m, Len(message), false, U8(context), Len(context), U8(pub), 32, U8(sig), 64);
      }
      EXPECT_EQ(verified, 0) << "R " << testing_support::ToHex(point) << " S " << testing_support::ToHex(scalars[i]);
      accepted += verified;
    }
  }
  EXPECT_EQ(accepted, 0);
}

TEST(Ed25519Signatures, FailureCodes) {
  std::mt19937_64 rng(2);
  const std::string seed = RandomString(rng, 32), msg = "message", pub = PublicOf(seed);
  const std::string context(256, 'c');
  core::Buffer sig;
  ASSERT_EQ(sig.SetString("untouched"), 0);
  auto untouched = [&] { return Text(sig) == "untouched"; };

  // Key lengths, then a public key that is not the private key's, then the context length.
  EXPECT_EQ(Ed25519Sign(U8(msg), 7, U8(pub), 32, U8(seed), 31, sig), kEd25519BadKey);
  EXPECT_EQ(Ed25519Sign(U8(msg), 7, U8(pub), 33, U8(seed), 32, sig), kEd25519BadKey);
  std::string other = pub;
  other[0] = static_cast<char>(other[0] ^ 1);
  EXPECT_EQ(Ed25519Sign(U8(msg), 7, U8(other), 32, U8(seed), 32, sig), kEd25519BadKey);
  EXPECT_EQ(Ed25519CtxSign(U8(msg), 7, U8(context), 0, U8(pub), 32, U8(seed), 32, sig), kEd25519BadContext);
  EXPECT_EQ(Ed25519CtxSign(U8(msg), 7, U8(context), 256, U8(pub), 32, U8(seed), 32, sig), kEd25519BadContext);
  EXPECT_EQ(Ed25519PhSign(U8(msg), 7, false, U8(context), 256, U8(pub), 32, U8(seed), 32, sig), kEd25519BadContext);
  EXPECT_EQ(Ed25519PhSign(U8(msg), 7, false, U8(context), 0, U8(other), 32, U8(seed), 32, sig), kEd25519BadKey);
  EXPECT_TRUE(untouched());
  core::SecureBuffer short_key;
  ASSERT_EQ(short_key.SetData(31, seed.data()), 0);
  EXPECT_EQ(Ed25519PublicFromPrivate(short_key, sig), kEd25519BadKey);
  EXPECT_TRUE(untouched());
  const std::string digest63(63, 'd');
  EXPECT_EQ(Ed25519PhSign(U8(digest63), 63, true, nullptr, 0, U8(pub), 32, U8(seed), 32, sig), kEd25519BadPrehash);
  EXPECT_EQ(sig.Length(), 64);

  // Deterministic; a context of 255 bytes is the longest.
  EXPECT_EQ(SignPure(msg, seed), SignPure(msg, seed));
  ASSERT_EQ(Ed25519CtxSign(U8(msg), 7, U8(context), 255, U8(pub), 32, U8(seed), 32, sig), 0);
  EXPECT_EQ(Ed25519CtxVerify(U8(msg), 7, U8(context), 255, U8(pub), 32, sig.Bytes(), 64), 1);
  EXPECT_EQ(Ed25519CtxVerify(U8(msg), 7, U8(context), 256, U8(pub), 32, sig.Bytes(), 64), 0);
  EXPECT_EQ(Ed25519CtxVerify(U8(msg), 7, U8(context), 0, U8(pub), 32, sig.Bytes(), 64), 0);

  // Verification answers 0 for every bad length or undecodable key, never a code.
  const std::string good = SignPure(msg, seed);
  EXPECT_EQ(Ed25519Verify(U8(msg), 7, U8(pub), 32, U8(good), 64), 1);
  EXPECT_EQ(Ed25519Verify(U8(msg), 7, U8(pub), 32, U8(good), 63), 0);
  EXPECT_EQ(Ed25519Verify(U8(msg), 7, U8(pub + "x"), 33, U8(good), 64), 0);
  EXPECT_EQ(Ed25519Verify(U8(msg), 7, U8(pub), 31, U8(good), 64), 0);
  std::string high = good;
  high[63] = static_cast<char>(high[63] | 0x20);
  EXPECT_EQ(Ed25519Verify(U8(msg), 7, U8(pub), 32, U8(high), 64), 0);
  std::string not_a_point(32, '\0');
  not_a_point[0] = 2;  // y = 2 gives no square x^2
  EXPECT_EQ(Ed25519Verify(U8(msg), 7, U8(not_a_point), 32, U8(good), 64), 0);
  EXPECT_EQ(Ed25519PhVerify(U8(digest63), 63, true, nullptr, 0, U8(pub), 32, U8(good), 64), 0);
  EXPECT_EQ(Ed25519PhVerify(U8(msg), 7, false, U8(context), 256, U8(pub), 32, U8(good), 64), 0);
}

}  // namespace
}  // namespace velmora::crypto

namespace velmora::crypto {
namespace {

// Signing, derivation, the base multiplication and the scalar operations under valgrind memcheck with
// the private key and nonce undefined: a branch or index on them fails the probe.
TEST(Ed25519Signatures, SecretsSteerNoBranchOrIndex) {
#if !defined(VELMORA_ED25519_CT_PROBE)
  GTEST_SKIP() << "valgrind's header is not available: constant-time check skipped";
#else
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "valgrind is not available: constant-time check skipped";
  }
  const std::string command = std::string("valgrind -q --error-exitcode=1 ") + VELMORA_ED25519_CT_PROBE + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_EQ(output, "signed\n");
#endif
}

}  // namespace
}  // namespace velmora::crypto
