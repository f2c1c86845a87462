// PBKDF2, the PKCS #12 derivation and the PEM key-and-IV derivation against references: Python's
// hashlib.pbkdf2_hmac, OpenSSL's PKCS12KDF and EVP_BytesToKey, compositions over OpenSSL's and nettle's
// digests; committed RFC 6070 and PKCS #12 vectors; the limits, FIPS refusals and allocation failures.
#include <openssl/evp.h>

#include <sstream>

#include "component/crypto_component.h"
#include "crypto/symmetric/kdf_password.h"
#include "tests/crypto/symmetric/kdf_test_util.h"
#include "tests/crypto/symmetric/vector_file.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::Lines;
using testing_support::PythonAvailable;
using testing_support::ReadVectors;
using testing_support::RunPython;
using testing_support::Text;
using testing_support::VectorPath;

constexpr char kPbkdf2Oracle[] = R"(
import sys, hashlib
for line in sys.stdin:
    name, p, s, c, n = line.split()
    print(hashlib.pbkdf2_hmac(name, bytes.fromhex(p[1:]), bytes.fromhex(s[1:]), int(c), int(n)).hex())
)";

std::string Pbkdf2(int32_t hmac_id, const std::string& password, const std::string& salt, int32_t iterations,
                   int32_t length, int* rc = nullptr) {
  std::string out(static_cast<size_t>(length), '\0');
  const int result = Pbkdf2ByHmacId(hmac_id, U8(password), static_cast<int32_t>(password.size()), U8(salt),
                                    static_cast<int32_t>(salt.size()), iterations, length,
                                    reinterpret_cast<uint8_t*>(out.data()));
  if (rc != nullptr) *rc = result;
  EXPECT_TRUE(rc != nullptr || result == 0) << result;
  return out;
}

TEST(Pbkdf2, MatchesHashlibForEveryHmac) {
  if (!PythonAvailable()) GTEST_SKIP() << "python3 is not available: differential test skipped";
  static constexpr struct {
    int32_t id;
    const char* name;
    size_t size;
  } kHmacs[] = {{45, "sha1", 20},   {46, "md5", 16},    {47, "sha256", 32},   {48, "sha224", 28},
                {49, "sha512", 64}, {50, "sha384", 48}, {51, "ripemd160", 20}};
  const uint32_t seed = TestSeed(2101);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  struct Case {
    int32_t id;
    std::string password, salt;
    int32_t iterations, length;
  };
  std::vector<Case> cases;
  std::ostringstream input;
  for (const auto& hmac : kHmacs) {
    for (size_t i = 0; i < 7; ++i) {
      const size_t block = hmac.id == 49 || hmac.id == 50 ? 128 : 64;
      Case c{hmac.id, RandomBytes(rng, EdgeLength(rng, i, block, 200)), RandomBytes(rng, rng() % 40),
             static_cast<int32_t>(i == 0 ? 1 + rng() % 3000 : 1 + rng() % 100),
             static_cast<int32_t>(1 + rng() % (29 * hmac.size))};
      input << hmac.name << " x" << ToHex(c.password) << " x" << ToHex(c.salt) << ' ' << c.iterations << ' '
            << c.length << '\n';
      cases.push_back(std::move(c));
    }
  }
  std::string output;
  ASSERT_TRUE(RunPython(kPbkdf2Oracle, "", input.str(), &output));
  const auto lines = Lines(output);
  ASSERT_EQ(lines.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(ToHex(Pbkdf2(c.id, c.password, c.salt, c.iterations, c.length)), lines[i][0])
        << "id " << c.id << " iterations " << c.iterations << " length " << c.length;
  }
}

TEST(Pbkdf2, Rfc6070) {
  for (auto& v : ReadVectors(VectorPath("pbkdf2.txt"), {"Password", "Salt", "Iterations", "Key"})) {
    const std::string key = v.Bytes("Key");
    EXPECT_EQ(Pbkdf2(kEngineHmacSha1, v.Bytes("Password"), v.Bytes("Salt"), std::stoi(v.Get("Iterations")),
                     static_cast<int32_t>(key.size())),
              key)
        << v.Origin();
  }
}

TEST(Pbkdf2, LengthLimitAndIterationsBelowOne) {
  int rc = 0;
  const std::string full = Pbkdf2(kEngineHmacSha1, "pw", "salt", 2, 580, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(full.substr(0, 20), Pbkdf2(kEngineHmacSha1, "pw", "salt", 2, 20));
  Pbkdf2(kEngineHmacSha1, "pw", "salt", 2, 581, &rc);
  EXPECT_EQ(rc, core::kOutOfMemory);
  EXPECT_EQ(Pbkdf2(kEngineHmacSha256, "pw", "salt", 0, 40), std::string(40, '\0'));
  EXPECT_EQ(Pbkdf2(kEngineHmacSha256, "pw", "salt", -5, 3), std::string(3, '\0'));
}

// ---- PKCS #12 -----------------------------------------------------------------------------------------

class Pkcs12 : public KdfInternal {};

std::string Pkcs12Derive(const char* digest, const std::string& password, const std::string& salt, int32_t iterations,
                         uint8_t id, int32_t n, int* rc_out = nullptr) {
  Pkcs12Kdf kdf;
  EXPECT_EQ(kdf.digest_name.SetString(digest), 0);
  EXPECT_EQ(kdf.password.SetData(static_cast<int32_t>(password.size()), password.data()), 0);
  EXPECT_EQ(kdf.salt.SetData(static_cast<int32_t>(salt.size()), salt.data()), 0);
  core::Buffer out;
  const int rc = Pkcs12DeriveKey(kdf, iterations, id, n, out);
  EXPECT_EQ(kdf.last_error, rc);
  if (rc_out != nullptr) *rc_out = rc;
  EXPECT_TRUE(rc_out != nullptr || rc == 0) << rc;
  return Text(out);
}

std::string Bmp(const std::string& password) {
  std::string bmp;
  for (char c : password) bmp += std::string(1, '\0') + c;
  return password.empty() ? bmp : bmp + std::string(2, '\0');
}

TEST_F(Pkcs12, MatchesOpenSslForEachDigestAndDiversifier) {
  const uint32_t seed = TestSeed(2102);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const char* digest : {"SHA1", "SHA256", "SHA512"}) {
    for (uint8_t id = 1; id <= 3; ++id) {
      for (size_t i = 0; i < 6; ++i) {
        const size_t block = std::string(digest) == "SHA512" ? 128 : 64;
        // The password lengths put its BMP form around the block size; the first case has none at all.
        const std::string password = RandomBytes(rng, i == 0 ? 0 : EdgeLength(rng, i, block / 2, 90));
        const std::string salt = RandomBytes(rng, 1 + rng() % 140);
        int iterations = 1 + static_cast<int>(rng() % 40);
        const int n = 1 + static_cast<int>(rng() % 200);
        const std::string bmp = Bmp(password);
        int pkcs12_id = id;
        const std::string expected = OpenSslKdf(
            "PKCS12KDF",
            {TextParam(OSSL_KDF_PARAM_DIGEST, digest), OctetParam(OSSL_KDF_PARAM_PASSWORD, bmp),
             OctetParam(OSSL_KDF_PARAM_SALT, salt), OSSL_PARAM_construct_int(OSSL_KDF_PARAM_ITER, &iterations),
             OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS12_ID, &pkcs12_id)},
            static_cast<size_t>(n));
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(ToHex(Pkcs12Derive(digest, password, salt, iterations, id, n)), ToHex(expected))
            << digest << " id " << int{id} << " password " << password.size() << " iterations " << iterations;
      }
    }
  }
  // The published vector, and the record's block size taken from the digest.
  for (auto& v : ReadVectors(VectorPath("pkcs12.txt"), {"Password", "Salt", "Iterations", "Id", "Key"})) {
    const std::string key = v.Bytes("Key");
    EXPECT_EQ(Pkcs12Derive("SHA1", v.Get("Password"), v.Bytes("Salt"), std::stoi(v.Get("Iterations")),
                           static_cast<uint8_t>(std::stoi(v.Get("Id"))), static_cast<int32_t>(key.size())),
              key);
  }
  Pkcs12Kdf kdf;
  ASSERT_EQ(kdf.digest_name.SetString("sha384"), 0);
  core::Buffer out;
  ASSERT_EQ(Pkcs12DeriveKey(kdf, 1, kPkcs12MacKey, 48, out), 0);
  EXPECT_EQ(kdf.block_size, 128);
  EXPECT_EQ(Pkcs12DeriveKey(kdf, 1, kPkcs12MacKey, -1, out), 0);
  EXPECT_EQ(out.Length(), 0);
  ASSERT_EQ(kdf.digest_name.SetString("whirlpool"), 0);
  EXPECT_EQ(Pkcs12DeriveKey(kdf, 1, kPkcs12MacKey, 8, out), kNoInternalDigest);
  EXPECT_EQ(kdf.last_error, kNoInternalDigest);
}

TEST(Pkcs12PasswordToBmp, WidensEachByteAndEndsWithTwoZeros) {
  Pkcs12Kdf kdf;
  core::Buffer out;
  ASSERT_EQ(out.SetString("stale"), 0);
  ASSERT_EQ(Pkcs12PasswordToBmp(kdf, out), 0);
  EXPECT_EQ(out.Length(), 0);
  ASSERT_EQ(kdf.password.SetString("a\xe9"), 0);
  ASSERT_EQ(Pkcs12PasswordToBmp(kdf, out), 0);
  EXPECT_EQ(Text(out), std::string("\0a\0\xe9\0\0", 6));
}

// In the default provider mode SHA-1/256/384/512 belong to the platform, which has no provider here.
TEST(KdfProviders, DefaultModeSendsTheShaDigestsToThePlatform) {
  int rc = 0;
  for (const char* digest : {"SHA1", "SHA256", "SHA384", "SHA512"}) {
    Pkcs12Derive(digest, "pw", "salt", 1, 1, 16, &rc);
    EXPECT_EQ(rc, kNoPlatformProvider) << digest;
  }
  Pkcs12Derive("MD5", "pw", "salt", 1, 1, 16, &rc);
  EXPECT_EQ(rc, 0);
  core::Buffer out;
  EXPECT_EQ(PemBytesToKey(1, "SHA1", "pw", nullptr, 0, 16, 0, out), kNoPlatformProvider);
  EXPECT_EQ(PemBytesToKey(1, "MD5", "pw", nullptr, 0, 16, 0, out), 0);
  core::Buffer password;
  core::Buffer key;
  core::Buffer iv;
  EXPECT_EQ(BcryptPbkdf(password, "bcrypt", U8("salt"), 4, 1, key, iv), kNoPlatformProvider);
  EXPECT_EQ(key.Length(), 0);
}

// ---- PEM key and IV -----------------------------------------------------------------------------------

class PemDerivation : public KdfInternal {};

// Composed is the repeated-digest derivation over a reference digest.
template <typename Digest>
std::string Composed(Digest digest, int iterations, const std::string& password, const std::string& salt,
                     size_t total, bool password_first) {
  std::string out;
  std::string previous;
  while (out.size() < total) {
    previous = password_first ? digest(password + previous + salt) : digest(previous + password + salt);
    for (int i = 1; i < iterations; ++i) previous = digest(previous);
    out += previous;
  }
  return out.substr(0, total);
}

TEST_F(PemDerivation, MatchesEvpBytesToKeyAndCompositions) {
  const uint32_t seed = TestSeed(2103);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const char* cipher : {"aes-128-cbc", "aes-256-cbc", "des-ede3-cbc", "aes-256-ecb", "bf-cbc"}) {
    const EVP_CIPHER* type = EVP_get_cipherbyname(cipher);
    if (type == nullptr) continue;
    const int key_length = EVP_CIPHER_key_length(type);
    const int iv_length = EVP_CIPHER_iv_length(type);
    for (const char* digest : {"MD5", "SHA1"}) {
      for (int count = 1; count <= 5; ++count) {
        std::string password = RandomBytes(rng, rng() % 70);
        for (char& c : password) c = static_cast<char>('!' + static_cast<uint8_t>(c) % 90);
        const std::string salt = count % 2 == 0 ? "" : RandomBytes(rng, 8);
        unsigned char key[EVP_MAX_KEY_LENGTH];
        unsigned char iv[EVP_MAX_IV_LENGTH];
        ASSERT_EQ(EVP_BytesToKey(type, EVP_get_digestbyname(digest), salt.empty() ? nullptr : U8(salt), U8(password),
                                 static_cast<int>(password.size()), count, key, iv),
                  key_length);
        component::CryptoJob job;
        ASSERT_EQ(job.DigestName().SetString(digest), 0);
        ASSERT_EQ(job.Password().SetString(password.c_str()), 0);
        ASSERT_EQ(job.Salt().SetData(static_cast<int32_t>(salt.size()), salt.data()), 0);
        const uint8_t* job_key = nullptr;
        const uint8_t* job_iv = nullptr;
        ASSERT_EQ(DeriveKeyIv(job, count, &job_key, key_length, &job_iv, iv_length, 0), 0);
        EXPECT_EQ(Bytes(job_key, key_length), Bytes(key, key_length)) << cipher << ' ' << digest << ' ' << count;
        if (iv_length > 0) {
          EXPECT_EQ(Bytes(job_iv, iv_length), Bytes(iv, iv_length)) << cipher << ' ' << digest << ' ' << count;
        } else {
          EXPECT_EQ(job_iv, nullptr);
        }
      }
    }
  }
  // Salts of other lengths and the password-first order, against compositions over OpenSSL's digests,
  // and MD2 over nettle's.
  for (int i = 0; i < 30; ++i) {
    const char* digest = i % 3 == 0 ? "MD5" : (i % 3 == 1 ? "SHA1" : "MD2");
    if (i % 3 == 2 && !VELMORA_HAVE_NETTLE) continue;
    auto reference = [&](const std::string& data) {
      return i % 3 == 2 ? NettleMd2(data) : OpenSslDigest(digest, data);
    };
    std::string password = RandomBytes(rng, rng() % 40);
    for (char& c : password) c = static_cast<char>('!' + static_cast<uint8_t>(c) % 90);
    const std::string salt = RandomBytes(rng, rng() % 20);
    const int iterations = 1 + static_cast<int>(rng() % 5);
    const size_t total = rng() % 90;
    const bool password_first = i % 2 == 1;
    core::Buffer out;
    ASSERT_EQ(PemBytesToKey(iterations, digest, password.c_str(), U8(salt), static_cast<int32_t>(salt.size()),
                            static_cast<int32_t>(total), password_first ? 7 : 0, out),
              0);
    EXPECT_EQ(ToHex(Text(out)), ToHex(Composed(reference, iterations, password, salt, total, password_first)))
        << digest << " iterations " << iterations << " total " << total;
  }
}

TEST_F(PemDerivation, HmacNamesUsePbkdf2AndOtherNamesAreRefused) {
  core::Buffer out;
  ASSERT_EQ(PemBytesToKey(3, "PBKDF2-HMAC-SHA256", "pw", U8("saltsalt"), 8, 40, 0, out), 0);
  EXPECT_EQ(Text(out), Pbkdf2(kEngineHmacSha256, "pw", "saltsalt", 3, 40));
  EXPECT_EQ(PemBytesToKey(3, "hmac-whirlpool", "pw", U8("saltsalt"), 8, 40, 0, out), kPemDigestNotSupported);
  EXPECT_EQ(PemBytesToKey(3, "SHA256", "pw", U8("saltsalt"), 8, 40, 0, out), kPemDigestNotSupported);
  component::CryptoJob job;
  const uint8_t* key = nullptr;
  const uint8_t* iv = nullptr;
  ASSERT_EQ(job.DigestName().SetString("SHA512"), 0);
  EXPECT_EQ(DeriveKeyIv(job, 1, &key, 16, &iv, 16, 0), kPemDigestNotSupported);
  EXPECT_EQ(job.LastErrorCode(), kPemDigestNotSupported);
  EXPECT_EQ(key, nullptr);
}

// ---- FIPS mode and allocation failures ----------------------------------------------------------------

class KdfFipsMode : public KdfFips {};

TEST_F(KdfFipsMode, RefusesTheNonFipsDerivations) {
  int rc = 0;
  Pkcs12Derive("SHA256", "pw", "salt", 1, 1, 16, &rc);
  EXPECT_EQ(rc, kNotAllowedInFips);
  core::Buffer out;
  EXPECT_EQ(PemBytesToKey(1, "MD5", "pw", nullptr, 0, 16, 0, out), kNotAllowedInFips);
  core::Buffer password;
  core::Buffer key;
  core::Buffer iv;
  EXPECT_EQ(BcryptPbkdf(password, "bcrypt", U8("salt"), 4, 1, key, iv), kNotAllowedInFips);
  EXPECT_EQ(BcryptPbkdf(password, "none", U8("salt"), 4, 1, key, iv), 0);
  const std::string salt16(16, 's');
  Pbkdf2(kEngineHmacSha256, "pw", salt16.substr(0, 15), 1, 32, &rc);
  EXPECT_EQ(rc, kNotAllowedInFips);
  EXPECT_EQ(PemBytesToKey(1, "hmacsha256", "pw", U8(salt16), 15, 16, 0, out), kNotAllowedInFips);
  Pbkdf2(kEngineHmacMd5, "pw", salt16, 1, 32, &rc);
  EXPECT_EQ(rc, kNoInternalDigest);
  Pbkdf2(kEngineHmacSha224, "pw", salt16, 1, 32, &rc);
  EXPECT_EQ(rc, kNoInternalDigest);
  Pbkdf2(kEngineHmacSha256, "pw", salt16, 1, 32, &rc);
  EXPECT_EQ(rc, kNoPlatformProvider);
}

// RunUntilSuccess runs derive with the n-th allocation failing for n = 0, 1, ... until it succeeds; each
// failure must be 200 (LeakSanitizer reports anything left behind).
template <typename Derive>
void RunUntilSuccess(Derive derive) {
  for (int successes = 0;; ++successes) {
    int rc;
    {
      testing_support::FailingAllocations failing(successes);
      rc = derive();
    }
    if (rc == 0) break;
    ASSERT_EQ(rc, core::kOutOfMemory) << successes;
    ASSERT_LT(successes, 400);
  }
}

TEST_F(PemDerivation, AllocationFailuresReleaseEverything) {
  const std::string long_password(300, 'p');
  const std::string long_salt(200, 's');
  RunUntilSuccess([&] {
    std::string out(400, '\0');
    return Pbkdf2ByHmacId(kEngineHmacSha512, U8(long_password), 300, U8(long_salt), 200, 2, 400,
                          reinterpret_cast<uint8_t*>(out.data()));
  });
  RunUntilSuccess([&] {
    Pkcs12Kdf kdf;
    int rc = kdf.digest_name.SetString("SHA256");
    if (rc == 0) rc = kdf.password.SetString(long_password.c_str());
    if (rc == 0) rc = kdf.salt.SetData(200, long_salt.data());
    core::Buffer out;
    return rc != 0 ? rc : Pkcs12DeriveKey(kdf, 2, kPkcs12KeyMaterial, 150, out);
  });
  RunUntilSuccess([&] {
    core::Buffer out;
    return PemBytesToKey(2, "SHA1", long_password.c_str(), U8(long_salt), 200, 300, 1, out);
  });
  RunUntilSuccess([&] {
    core::Buffer password;
    core::Buffer key;
    core::Buffer iv;
    const int rc = password.SetString(long_password.c_str());
    return rc != 0 ? rc : BcryptPbkdf(password, "bcrypt", U8(long_salt), 200, 1, key, iv);
  });
}

}  // namespace
}  // namespace velmora::crypto
