// PBKDF2, the PKCS #12 derivation and the PEM key-and-IV derivation against references: Python's
// hashlib.pbkdf2_hmac, OpenSSL's PKCS12KDF and EVP_BytesToKey, compositions over OpenSSL's and nettle's
// digests; committed RFC 6070 and PKCS #12 vectors; the limits, FIPS refusals and allocation failures.
#include <functional>
#include <sstream>
#include <tuple>

#include "crypto/objects/crypto_component.h"
#include "crypto/objects/password_kdf.h"
#include "tests/crypto/kdf/kdf_test_util.h"
#include "tests/vector_file.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::ReadVectors;
using testing_support::Text;
using testing_support::VectorPath;

constexpr char kPbkdf2Oracle[] = R"(
import sys, hashlib
for line in sys.stdin:
    name, p, s, c, n = line.split()
    print(hashlib.pbkdf2_hmac(name, bytes.fromhex(p[1:]), bytes.fromhex(s[1:]), int(c), int(n)).hex())
)";

std::string Pbkdf2(int32_t hmac_id, const std::string& password, const std::string& salt, int32_t iterations,
                   int32_t length, int expected_rc = 0) {
  std::string out(static_cast<size_t>(length), '\0');
  EXPECT_EQ(Pbkdf2ByHmacId(hmac_id, U8(password), static_cast<int32_t>(password.size()), U8(salt),
                           static_cast<int32_t>(salt.size()), iterations, length, reinterpret_cast<uint8_t*>(out.data())),
            expected_rc);
  return out;
}

TEST(Pbkdf2, MatchesHashlibForEveryHmacAndRfc6070) {
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is not available: differential test skipped";
  static constexpr struct {
    int32_t id;
    const char* name;
    uint32_t size;
  } kHmacs[] = {{45, "sha1", 20},   {46, "md5", 16},    {47, "sha256", 32},   {48, "sha224", 28},
                {49, "sha512", 64}, {50, "sha384", 48}, {51, "ripemd160", 20}};
  const uint32_t seed = TestSeed(2101);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<std::tuple<int32_t, std::string, std::string, int32_t, int32_t>> cases;
  std::ostringstream input;
  for (const auto& hmac : kHmacs) {
    for (size_t i = 0; i < 7; ++i) {
      const auto& c = cases.emplace_back(hmac.id, RandomBytes(rng, EdgeLength(rng, i, hmac.id == 49 || hmac.id == 50 ? 128 : 64, 200)),
                                         RandomBytes(rng, rng() % 40), i == 0 ? 1 + rng() % 3000 : 1 + rng() % 100,
                                         1 + rng() % (29 * hmac.size));
      input << hmac.name << " x" << ToHex(std::get<1>(c)) << " x" << ToHex(std::get<2>(c)) << ' ' << std::get<3>(c)
            << ' ' << std::get<4>(c) << '\n';
    }
  }
  std::string output;
  ASSERT_TRUE(testing_support::RunPython(kPbkdf2Oracle, "", input.str(), &output));
  const auto lines = testing_support::Lines(output);
  ASSERT_EQ(lines.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [id, password, salt, iterations, length] = cases[i];
    EXPECT_EQ(ToHex(Pbkdf2(id, password, salt, iterations, length)), lines[i][0])
        << "id " << id << " iterations " << iterations << " length " << length;
  }
  for (auto& v : ReadVectors(VectorPath("pbkdf2.txt"), {"Password", "Salt", "Iterations", "Key"})) {
    const std::string key = v.Bytes("Key");
    EXPECT_EQ(Pbkdf2(45, v.Bytes("Password"), v.Bytes("Salt"), std::stoi(v.Get("Iterations")),
                     static_cast<int32_t>(key.size())), key) << v.Origin();
  }
}

TEST(Pbkdf2, LengthLimitAndIterationsBelowOne) {
  EXPECT_EQ(Pbkdf2(kEngineHmacSha1, "pw", "salt", 2, 580).substr(0, 20), Pbkdf2(kEngineHmacSha1, "pw", "salt", 2, 20));
  Pbkdf2(kEngineHmacSha1, "pw", "salt", 2, 581, core::kOutOfMemory);
  EXPECT_EQ(Pbkdf2(kEngineHmacSha256, "pw", "salt", 0, 40), std::string(40, '\0'));
}

// ---- PKCS #12 -----------------------------------------------------------------------------------------

class Pkcs12 : public KdfInternal {};

std::string Pkcs12Derive(const char* digest, const std::string& password, const std::string& salt, int32_t iterations,
                         uint8_t id, int32_t n, int expected_rc = 0) {
  Pkcs12Kdf kdf;
  EXPECT_EQ(kdf.digest_name.SetString(digest), 0);
  EXPECT_EQ(kdf.password.SetData(static_cast<int32_t>(password.size()), password.data()), 0);
  EXPECT_EQ(kdf.salt.SetData(static_cast<int32_t>(salt.size()), salt.data()), 0);
  core::Buffer out;
  EXPECT_EQ(Pkcs12DeriveKey(kdf, iterations, id, n, out), expected_rc);
  EXPECT_EQ(kdf.last_error, expected_rc);
  return Text(out);
}

TEST_F(Pkcs12, MatchesOpenSslForEachDigestAndDiversifier) {
  const uint32_t seed = TestSeed(2102);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const char* digest : {"SHA1", "SHA256", "SHA512", "SHA3-224"}) {
    for (int id = 1; id <= 3; ++id) {
      for (size_t i = 0; i < 6; ++i) {
        // Password lengths put the BMP form around the block size; the first case has no password at all,
        // which OpenSSL takes as an empty string of BMP bytes.
        const std::string password = RandomBytes(rng, i == 0 ? 0 : EdgeLength(rng, i, 32, 90));
        std::string bmp;
        for (char c : password) bmp += std::string(1, '\0') + c;
        if (!password.empty()) bmp += std::string(2, '\0');
        const std::string salt = RandomBytes(rng, 1 + rng() % 140);
        int iterations = 1 + static_cast<int>(rng() % 40);
        const int n = 1 + static_cast<int>(rng() % 200);
        const std::string expected = OpenSslKdf(
            "PKCS12KDF",
            {TextParam(OSSL_KDF_PARAM_DIGEST, digest), OctetParam(OSSL_KDF_PARAM_PASSWORD, bmp),
             OctetParam(OSSL_KDF_PARAM_SALT, salt), OSSL_PARAM_construct_int(OSSL_KDF_PARAM_ITER, &iterations),
             OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS12_ID, &id)},
            static_cast<size_t>(n));
        EXPECT_EQ(ToHex(Pkcs12Derive(digest, password, salt, iterations, static_cast<uint8_t>(id), n)), ToHex(expected))
            << digest << " id " << id << " password " << password.size() << " iterations " << iterations;
      }
    }
  }
  for (auto& v : ReadVectors(VectorPath("pkcs12.txt"), {"Password", "Salt", "Iterations", "Id", "Key"})) {
    const std::string key = v.Bytes("Key");
    EXPECT_EQ(Pkcs12Derive("SHA1", v.Get("Password"), v.Bytes("Salt"), std::stoi(v.Get("Iterations")),
                           static_cast<uint8_t>(std::stoi(v.Get("Id"))), static_cast<int32_t>(key.size())), key);
  }
  Pkcs12Derive("whirlpool", "pw", "salt", 1, 1, 8, kNoInternalDigest);
}

// In the default provider mode SHA-1/256/384/512 belong to the platform, which has no provider here.
TEST(KdfProviders, DefaultModeSendsTheShaDigestsToThePlatform) {
  for (const char* digest : {"SHA1", "SHA256", "SHA384", "SHA512"}) Pkcs12Derive(digest, "pw", "s", 1, 1, 16, 600);
  Pkcs12Derive("MD5", "pw", "salt", 1, 1, 16);
  core::Buffer out;
  EXPECT_EQ(PemBytesToKey(1, "SHA1", "pw", nullptr, 0, 16, 0, out), kNoPlatformProvider);
  EXPECT_EQ(PemBytesToKey(1, "MD5", "pw", nullptr, 0, 16, 0, out), 0);
  core::Buffer password, key, iv;
  EXPECT_EQ(BcryptPbkdf(password, "bcrypt", U8("salt"), 4, 1, key, iv), kNoPlatformProvider);
}

// ---- PEM key and IV -----------------------------------------------------------------------------------

class PemDerivation : public KdfInternal {};

TEST_F(PemDerivation, MatchesEvpBytesToKeyAndCompositions) {
  const uint32_t seed = TestSeed(2103);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 60; ++i) {
    // EVP_BytesToKey takes 8-byte salts or none and only the digest-first order; the other cases are
    // checked against the same derivation composed over OpenSSL's digests, and MD2 over nettle's.
    const char* digest = i % 3 == 0 ? "MD5" : (i % 3 == 1 ? "SHA1" : "MD2");
    if (i % 3 == 2 && !VELMORA_HAVE_NETTLE) continue;
    const bool evp = i < 30 && i % 3 != 2;
    std::string password = RandomBytes(rng, rng() % 70);
    for (char& c : password) c = static_cast<char>('!' + static_cast<uint8_t>(c) % 90);
    const std::string salt = RandomBytes(rng, evp ? (i % 2 == 0 ? 0 : 8) : rng() % 20);
    const int iterations = 1 + static_cast<int>(rng() % 5);
    const bool password_first = !evp && i % 2 == 1;
    const int key_length = 1 + static_cast<int>(rng() % 64);
    const int iv_length = static_cast<int>(rng() % 17);
    std::string expected;
    for (std::string previous; expected.size() < 80; expected += previous) {
      const std::string data = password_first ? password + previous + salt : previous + password + salt;
      previous = i % 3 == 2 ? NettleMd2(data) : OpenSslDigest(digest, data);
      for (int k = 1; k < iterations; ++k) previous = i % 3 == 2 ? NettleMd2(previous) : OpenSslDigest(digest, previous);
    }
    if (evp) {
      // The composition is itself checked against EVP_BytesToKey where that applies.
      unsigned char key[EVP_MAX_KEY_LENGTH];
      ASSERT_EQ(EVP_BytesToKey(EVP_aes_256_cbc(), EVP_get_digestbyname(digest), salt.empty() ? nullptr : U8(salt),
                               U8(password), static_cast<int>(password.size()), iterations, key, nullptr), 32);
      EXPECT_EQ(Bytes(key, 32), expected.substr(0, 32));
    }
    component::CryptoJob job;
    ASSERT_EQ(job.DigestName().SetString(digest), 0);
    ASSERT_EQ(job.Password().SetString(password.c_str()), 0);
    ASSERT_EQ(job.Salt().SetData(static_cast<int32_t>(salt.size()), salt.data()), 0);
    const uint8_t* key = nullptr;
    const uint8_t* iv = nullptr;
    ASSERT_EQ(DeriveKeyIv(job, iterations, &key, key_length, &iv, iv_length, password_first ? 7 : 0), 0);
    EXPECT_EQ(ToHex(Bytes(key, key_length) + (iv_length > 0 ? Bytes(iv, iv_length) : "")),
              ToHex(expected.substr(0, static_cast<size_t>(key_length + iv_length))))
        << digest << " iterations " << iterations << " salt " << salt.size();
    EXPECT_EQ(iv == nullptr, iv_length == 0);
  }
}

TEST_F(PemDerivation, HmacNamesUsePbkdf2AndOtherNamesAreRefused) {
  core::Buffer out;
  ASSERT_EQ(PemBytesToKey(3, "PBKDF2-HMAC-SHA256", "pw", U8("saltsalt"), 8, 40, 0, out), 0);
  EXPECT_EQ(Text(out), Pbkdf2(kEngineHmacSha256, "pw", "saltsalt", 3, 40));
  EXPECT_EQ(PemBytesToKey(3, "hmac-whirlpool", "pw", U8("saltsalt"), 8, 40, 0, out), kPemDigestNotSupported);
  component::CryptoJob job;
  const uint8_t* key = nullptr;
  ASSERT_EQ(job.DigestName().SetString("SHA256"), 0);
  EXPECT_EQ(DeriveKeyIv(job, 1, &key, 16, &key, 16, 0), kPemDigestNotSupported);
  EXPECT_EQ(job.LastErrorCode(), kPemDigestNotSupported);
}

// ---- FIPS mode and allocation failures ----------------------------------------------------------------

class KdfFipsMode : public KdfFips {};

TEST_F(KdfFipsMode, RefusesTheNonFipsDerivations) {
  Pkcs12Derive("SHA256", "pw", "salt", 1, 1, 16, kNotAllowedInFips);
  core::Buffer out, password, key, iv;
  EXPECT_EQ(PemBytesToKey(1, "MD5", "pw", nullptr, 0, 16, 0, out), kNotAllowedInFips);
  EXPECT_EQ(BcryptPbkdf(password, "bcrypt", U8("salt"), 4, 1, key, iv), kNotAllowedInFips);
  EXPECT_EQ(BcryptPbkdf(password, "none", U8("salt"), 4, 1, key, iv), 0);
  // PBKDF2 goes to the platform: a short salt is refused first, then the HMACs without a platform form.
  const std::string salt(16, 's');
  Pbkdf2(kEngineHmacSha256, "pw", salt.substr(0, 15), 1, 32, kNotAllowedInFips);
  EXPECT_EQ(PemBytesToKey(1, "hmacsha256", "pw", U8(salt), 15, 16, 0, out), kNotAllowedInFips);
  Pbkdf2(kEngineHmacMd5, "pw", salt, 1, 32, kNoInternalDigest);
  Pbkdf2(kEngineHmacSha224, "pw", salt, 1, 32, kNoInternalDigest);
  Pbkdf2(kEngineHmacSha256, "pw", salt, 1, 32, kNoPlatformProvider);
}

// Each derivation runs with the n-th allocation failing for n = 0, 1, ... until it succeeds; every
// failure must be 200, and LeakSanitizer reports anything left behind.
TEST_F(PemDerivation, AllocationFailuresReleaseEverything) {
  const std::string password(300, 'p');
  const std::string salt(200, 's');
  const std::function<int()> derivations[] = {
      [&] {
        std::string out(400, '\0');
        return Pbkdf2ByHmacId(kEngineHmacSha512, U8(password), 300, U8(salt), 200, 2, 400,
                              reinterpret_cast<uint8_t*>(out.data()));
      },
      [&] {
        Pkcs12Kdf kdf;
        core::Buffer out;
        int rc = kdf.digest_name.SetString("SHA256");
        if (rc == 0) rc = kdf.password.SetString(password.c_str());
        if (rc == 0) rc = kdf.salt.SetData(200, salt.data());
        return rc != 0 ? rc : Pkcs12DeriveKey(kdf, 2, kPkcs12KeyMaterial, 150, out);
      },
      [&] {
        core::Buffer out;
        return PemBytesToKey(2, "SHA1", password.c_str(), U8(salt), 200, 300, 1, out);
      },
      [&] {
        core::Buffer pw, key, iv;
        const int rc = pw.SetString(password.c_str());
        return rc != 0 ? rc : BcryptPbkdf(pw, "bcrypt", U8(salt), 200, 1, key, iv);
      }};
  for (const auto& derive : derivations) {
    for (int successes = 0;; ++successes) {
      int rc;
      {
        testing_support::FailingAllocations failing(successes);
        rc = derive();
      }
      if (rc == 0) break;
      ASSERT_EQ(rc, core::kOutOfMemory) << successes;
    }
  }
}

}  // namespace
}  // namespace velmora::crypto
