// Platform Diffie-Hellman against Python integers, hashlib, hmac and `openssl kdf`: generated pairs of the
// RFC 3526 and RFC 7919 groups, agreement with each derivation, DhModPow through the platform against
// BigInt::ModPow, and the stand-in's refusals of values no agreement should take.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "crypto/providers/cng_dh.h"
#include "crypto/providers/provider_tables.h"
#include "tests/component/configurable.h"
#include "tests/core/python_oracle.h"
#include "tests/vector_file.h"
#if VELMORABLE_PLATFORM_CRYPTO
#include "platform/crypto/cipher_modules.h"
#include "platform/crypto/crypto_modules.h"
#include "platform/crypto/keypair_modules.h"
#include "platform/win_codes.h"
#endif

namespace velmora::crypto {
namespace {

#if VELMORABLE_PLATFORM_CRYPTO
namespace plat = velmora::platform;
using testing_support::FromHex;
using testing_support::ToHex;

constexpr const char* kDebianPython = "/usr/bin/python3";

// The oracle answers one line per request: "pow B E P WIDTH" (hex, WIDTH bytes), "hash NAME DATA",
// "hmac NAME KEY DATA", and "tls Z SEED" (`openssl kdf` TLS1-PRF with MD5-SHA1, 48 bytes).
constexpr char kOracle[] = R"PY(
import hashlib, hmac, subprocess, sys
for line in sys.stdin:
    f = line.split()
    b = lambda s: bytes.fromhex(s[1:])
    if f[0] == 'pow':
        print(format(pow(int(f[1], 16), int(f[2], 16), int(f[3], 16)), 'x').zfill(2 * int(f[4])))
    elif f[0] == 'hash':
        print(hashlib.new(f[1], b(f[2])).hexdigest())
    elif f[0] == 'hmac':
        print(hmac.new(b(f[2]), b(f[3]), f[1]).hexdigest())
    elif f[0] == 'tls':
        out = subprocess.run(['openssl', 'kdf', '-keylen', '48', '-kdfopt', 'digest:MD5-SHA1', '-kdfopt',
                              'hexsecret:' + f[1][1:], '-kdfopt', 'hexseed:' + f[2][1:], 'TLS1-PRF'],
                             capture_output=True, text=True, check=True).stdout
        print(out.strip().replace(':', '').lower())
)PY";

bool OraclesAvailable() {
  return std::system((std::string(kDebianPython) + " -c 'import sys' >/dev/null 2>&1").c_str()) == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

std::vector<std::string> Ask(const std::string& requests) {
  std::string output;
  EXPECT_TRUE(testing_support::RunPython(kOracle, "", requests, &output, kDebianPython)) << output;
  std::vector<std::string> answers;
  for (const auto& line : testing_support::Lines(output)) answers.push_back(line.empty() ? "" : line[0]);
  return answers;
}

std::string Str(const core::BufferCore& buffer) { return std::string(buffer.Data(), buffer.Length()); }
std::string Hex(const std::string& bytes) { return "x" + ToHex(bytes); }

BigInt Number(const std::string& bytes) {
  BigInt n;
  EXPECT_EQ(BigInt::FromBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), 1, n),
            0);
  return n;
}
std::string BytesOf(const BigInt& n) {
  core::Buffer out;
  EXPECT_EQ(n.ToBytes(out), 0);
  return Str(out);
}
std::string NumberHex(const BigInt& n) { return ToHex(BytesOf(n)); }

struct Group {
  std::string name;
  BigInt p, g;
};
std::vector<Group> LoadGroups() {
  std::vector<Group> groups;
  for (auto& entry : testing_support::ReadVectors(std::string(VELMORA_TEST_DATA_DIR) + "/crypto/providers/dh_groups.txt",
                                                  {"Name", "P", "G"})) {
    const std::string name = entry.Get("Name");
    groups.push_back({name, Number(entry.Bytes("P")), Number(entry.Bytes("G"))});
  }
  return groups;
}

struct Pair {
  BigInt x, y;
};

class CngDhTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CryptoProvidersStaticInit();
    plat::test::ResetCryptoCallCounts();
    const uint32_t seed = static_cast<uint32_t>(std::random_device{}());
    std::printf("CngDhTest seed %u\n", seed);
    rng_.seed(seed);
  }
  void TearDown() override {
    (void)settings_.Set("UseFIPSCompliantAPI=false");
    CryptoProvidersStaticDestroy();
    EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
  }
  std::string Random(size_t length) {
    std::string out(length, '\0');
    for (char& c : out) c = static_cast<char>(rng_());
    return out;
  }
  Pair Generate(const Group& group) {
    Pair pair;
    EXPECT_EQ(CngDhAgreement(group.g, group.p, pair.y, pair.x), 0);
    return pair;
  }

  std::mt19937 rng_;
  component::Configurable<component::ComponentBase> settings_;
};

TEST_F(CngDhTest, GeneratedPublicValueIsThePowerOfItsPrivateValue) {
  if (!OraclesAvailable()) GTEST_SKIP() << "python3 or openssl is not available";
  std::string requests;
  std::vector<std::string> expected;
  for (const Group& group : LoadGroups()) {
    // ToBytes writes these 2048-bit primes in 257 bytes; the key length is still 256 (the stand-in takes
    // no prime with a zero first byte).
    ASSERT_EQ(BytesOf(group.p).size(), 257u) << group.name;
    const Pair pair = Generate(group);
    requests += "pow " + NumberHex(group.g) + " " + NumberHex(pair.x) + " " + NumberHex(group.p) + " 256\n";
    const std::string y = BytesOf(pair.y);
    expected.push_back(ToHex(std::string(256 - std::min<size_t>(256, y.size()), '\0') + y.substr(y.size() > 256 ? 1 : 0)));
  }
  const auto answers = Ask(requests);
  ASSERT_EQ(answers.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(answers[i], expected[i]) << i;
}

TEST_F(CngDhTest, AgreementDerivationsMatchTheirOracles) {
  if (!OraclesAvailable()) GTEST_SKIP() << "python3 or openssl is not available";
  const std::vector<Group> groups = LoadGroups();
  const Group& group = groups.front();
  const Pair a = Generate(group);
  const Pair b = Generate(group);
  const std::string prepend = Random(7), append = Random(11);
  const auto* pre = reinterpret_cast<const uint8_t*>(prepend.data());
  const auto* app = reinterpret_cast<const uint8_t*>(append.data());
  auto agree = [&](const BigInt& peer, const Pair& own, const BigInt* generator, const char* kdf, const char* hash) {
    core::Buffer out;
    const auto length = static_cast<int32_t>(hash != nullptr ? std::strlen(hash) : 0);
    EXPECT_EQ(CngDhDeriveKey(peer, &own.y, own.x, group.p, generator, out, kdf, hash, length, pre, 7, app, 11), 0);
    return Str(out);
  };
  const std::string z = agree(b.y, a, &group.g, "TRUNCATE", nullptr);
  ASSERT_EQ(z.size(), 256u);
  EXPECT_EQ(agree(a.y, b, &group.g, "TRUNCATE", nullptr), z);
  EXPECT_EQ(agree(b.y, a, nullptr, "TRUNCATE", nullptr), z);  // no generator means 2
  const std::string hashed = agree(b.y, a, &group.g, "HASH", "sha256");
  const std::string mac = agree(b.y, a, &group.g, "HMAC", "SHA256");
  // A peer value with five leading zero bytes: the key length still comes from the prime.
  const BigInt short_peer = Number(std::string(1, '\x01') + Random(250));
  const std::string short_z = agree(short_peer, a, &group.g, "TRUNCATE", nullptr);

  const std::string p = NumberHex(group.p);
  const auto answers = Ask("pow " + NumberHex(b.y) + " " + NumberHex(a.x) + " " + p + " 256\n" +
                           "hash sha256 " + Hex(prepend + z + append) + "\n" +
                           "hmac sha256 " + Hex(z) + " " + Hex(prepend + z + append) + "\n" + "pow " +
                           NumberHex(short_peer) + " " + NumberHex(a.x) + " " + p + " 256\n");
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(ToHex(z), answers[0]);
  EXPECT_EQ(ToHex(hashed), answers[1]);
  EXPECT_EQ(ToHex(mac), answers[2]);
  EXPECT_EQ(ToHex(short_z), answers[3]);
}

TEST_F(CngDhTest, StandInTlsPrfMatchesOpenSslKdf) {
  if (!OraclesAvailable()) GTEST_SKIP() << "python3 or openssl is not available";
  const std::vector<Group> groups = LoadGroups();
  const Group& group = groups.front();
  const Pair a = Generate(group);
  const Pair b = Generate(group);
  const std::string p = BytesOf(group.p).substr(1), g = std::string(255, '\0') + "\x02";
  auto blob = [&](plat::ULONG magic, const BigInt& y, const BigInt* x) {
    std::string out(8, '\0');
    const plat::ULONG length = 256;
    std::memcpy(&out[0], &magic, 4);
    std::memcpy(&out[4], &length, 4);
    auto fit = [](std::string v) { return std::string(256 - std::min<size_t>(256, v.size()), '\0') + v.substr(v.size() > 256 ? v.size() - 256 : 0); };
    out += p + g + fit(BytesOf(y)) + (x != nullptr ? fit(BytesOf(*x)) : "");
    return out;
  };
  const std::string own = blob(plat::kDhPrivateMagic, a.y, &a.x), peer = blob(plat::kDhPublicMagic, b.y, nullptr);
  plat::BCRYPT_ALG_HANDLE algorithm = nullptr;
  plat::BCRYPT_KEY_HANDLE own_key = nullptr, peer_key = nullptr;
  plat::BCRYPT_SECRET_HANDLE secret = nullptr;
  ASSERT_EQ(plat::BCryptOpenAlgorithmProvider(&algorithm, u"DH", nullptr, 0), 0);
  ASSERT_EQ(plat::BCryptImportKeyPair(algorithm, nullptr, u"DHPRIVATEBLOB", &own_key,
                                      reinterpret_cast<const uint8_t*>(own.data()), static_cast<plat::ULONG>(own.size()), 0),
            0);
  ASSERT_EQ(plat::BCryptImportKeyPair(algorithm, nullptr, u"DHPUBLICBLOB", &peer_key,
                                      reinterpret_cast<const uint8_t*>(peer.data()), static_cast<plat::ULONG>(peer.size()), 0),
            0);
  ASSERT_EQ(plat::BCryptSecretAgreement(own_key, peer_key, &secret, 0), 0);
  std::string label = "master secret", seed = Random(64);
  plat::BCryptBuffer buffers[2] = {{static_cast<plat::ULONG>(label.size()), plat::kKdfTlsPrfLabel, label.data()},
                                   {64, plat::kKdfTlsPrfSeed, seed.data()}};
  plat::BCryptBufferDesc list{plat::kBcryptBufferVersion, 2, buffers};
  uint8_t derived[48];
  uint8_t z_le[256];
  plat::ULONG size = 0;
  EXPECT_EQ(plat::BCryptDeriveKey(secret, u"TLS_PRF", &list, derived, sizeof derived, &size, 0), 0);
  EXPECT_EQ(size, 48u);
  EXPECT_EQ(plat::BCryptDeriveKey(secret, u"TRUNCATE", nullptr, z_le, sizeof z_le, &size, 0), 0);
  // Without the seed, or with a short one, there is nothing to derive.
  buffers[1].cbBuffer = 63;
  EXPECT_EQ(plat::BCryptDeriveKey(secret, u"TLS_PRF", &list, derived, sizeof derived, &size, 0),
            plat::kStatusInvalidParameter);
  EXPECT_EQ(plat::BCryptDestroySecret(secret), 0);
  EXPECT_EQ(plat::BCryptDestroyKey(own_key), 0);
  EXPECT_EQ(plat::BCryptDestroyKey(peer_key), 0);
  EXPECT_EQ(plat::BCryptCloseAlgorithmProvider(algorithm, 0), 0);
  const std::string z(reinterpret_cast<const char*>(z_le), 256);
  const auto answers = Ask("tls " + Hex(std::string(z.rbegin(), z.rend())) + " " + Hex(label + seed) + "\n");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(ToHex(std::string(reinterpret_cast<const char*>(derived), 48)), answers[0]);
}

TEST_F(CngDhTest, DhModPowThroughThePlatformEqualsBigIntModPow) {
  const std::vector<Group> groups = LoadGroups();
  const Group& group = groups.front();
  ASSERT_EQ(settings_.Set("UseFIPSCompliantAPI=true"), 0);
  BigInt two;
  ASSERT_EQ(BigInt::FromInt64(2, two), 0);
  for (int i = 0; i < 100; ++i) {
    BigInt base, exponent, platform_result, internal_result;
    ASSERT_EQ(BigInt::Mod(Number(Random(256)), group.p, exponent), 0);
    if (i == 0) {
      ASSERT_EQ(BigInt::Copy(two, base), 0);
    } else {
      ASSERT_EQ(BigInt::Mod(Number(Random(256)), group.p, base), 0);
    }
    ASSERT_EQ(DhModPow(base, exponent, group.p, platform_result), 0) << i;
    ASSERT_EQ(BigInt::ModPow(base, exponent, group.p, internal_result), 0);
    EXPECT_TRUE(BigInt::Equals(platform_result, internal_result)) << i;
  }
  EXPECT_EQ(plat::test::CryptoCallCount("BCryptSecretAgreement"), 100);
}

TEST_F(CngDhTest, ValuesNoAgreementShouldTakeGetTheStandInsStatus) {
  const std::vector<Group> groups = LoadGroups();
  const Group& group = groups.front();
  const Pair a = Generate(group);
  BigInt zero, one, top;
  ASSERT_EQ(BigInt::FromInt64(0, zero), 0);
  ASSERT_EQ(BigInt::FromInt64(1, one), 0);
  ASSERT_EQ(BigInt::Subtract(group.p, one, top), 0);
  for (const BigInt* peer : {&zero, &one, &top}) {
    core::Buffer out;
    ASSERT_EQ(out.SetString("untouched"), 0);
    EXPECT_EQ(CngDiffieHellman(*peer, a.x, group.p, out, &a.y, &group.g, "TRUNCATE", nullptr, 0, nullptr, 0, nullptr, 0),
              plat::kStatusInvalidParameter);
    EXPECT_EQ(Str(out), "untouched");
  }
  // A 40-byte prime is below the key lengths the platform takes.
  const BigInt small = Number(BytesOf(group.p).substr(1, 40));
  Pair refused;
  EXPECT_EQ(CngDhAgreement(group.g, small, refused.y, refused.x), plat::kStatusInvalidParameter);
  core::Buffer out;
  EXPECT_EQ(CngDiffieHellman(group.g, a.x, small, out, nullptr, nullptr, "TRUNCATE", nullptr, 0, nullptr, 0, nullptr, 0),
            plat::kStatusInvalidParameter);
  EXPECT_EQ(out.Length(), 0);
  // The cached "DH" handle is the one handle left, and the agreement table's unloader closes it.
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 1);
  FreeBcryptAgreementFunctions();
  EXPECT_EQ(plat::test::LiveCryptoHandles(), 0);
}
#endif

}  // namespace
}  // namespace velmora::crypto
