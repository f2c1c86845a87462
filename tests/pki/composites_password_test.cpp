// PKCS #12 passwords in their BMPString form: the fixed forms, and the MAC of containers made by openssl
// with a non-ASCII password recomputed from our form of that password.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <sstream>
#include <string>

#include "crypto/kdf/kdf_password.h"
#include "crypto/objects/password_kdf.h"
#include "tests/pki/pem_test_support.h"
#include "tests/test_support.h"

namespace velmora::pki::testing {
namespace {

std::string Bmp(const std::string& password) {
  crypto::Pkcs12Kdf kdf;
  EXPECT_EQ(kdf.password.SetData(static_cast<int32_t>(password.size()), password.data()), 0);
  core::SecureBuffer out;
  EXPECT_EQ(crypto::Pkcs12PasswordToBmp(kdf, out), 0);
  EXPECT_EQ(kdf.last_error, 0);
  return Hex(Bytes(out));
}

TEST(Pkcs12Password, BmpForms) {
  EXPECT_EQ(Bmp("ab"), "006100620000");
  EXPECT_EQ(Bmp(""), "-");
  EXPECT_EQ(Bmp("\xE9"), "00E90000");                          // not UTF-8: widened
  EXPECT_EQ(Bmp("\xC3\xA9\xE2\x82\xAC"), "00E920AC0000");      // U+00E9 U+20AC
  EXPECT_EQ(Bmp("\xF0\x9F\x98\x80"), "D83DDE000000");          // U+1F600 as a surrogate pair
  EXPECT_EQ(Bmp("\xED\xA0\x80"), "00ED00A000800000");          // an encoded surrogate is not UTF-8
  EXPECT_EQ(Bmp("\xC1\x81"), "00C100810000");                  // nor is an overlong form

  crypto::Pkcs12Kdf kdf;
  ASSERT_EQ(kdf.password.SetString("\xC3\xA9 long enough to leave the inline storage of the output buffer"), 0);
  core::SecureBuffer out;
  testing_support::FailingAllocations fail;
  EXPECT_EQ(crypto::Pkcs12PasswordToBmp(kdf, out), 200);
  EXPECT_EQ(kdf.last_error, 200);
}

TEST(Pkcs12Password, OpenSslContainersCarryTheMacOfOurPasswordForm) {
  ProvidersLoaded providers;
  ScratchDir dir;
  const std::string password = "\xC3\xA9\xE2\x82\xAC";
  std::string output;
  if (!RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=p12 -days 2 -keyout " +
                      (dir / "key.pem") + " -out " + (dir / "cert.pem") + " 2>/dev/null",
                  &output)) {
    GTEST_SKIP() << "openssl cannot make a certificate";
  }
  for (const std::string options : {"", "-legacy"}) {
    SCOPED_TRACE("openssl pkcs12 -export " + options);
    const std::string p12 = dir / ("container" + options + ".p12");
    if (!RunCommand("openssl pkcs12 -export " + options + " -in " + (dir / "cert.pem") + " -inkey " + (dir / "key.pem") +
                        " -passout 'pass:" + password + "' -out " + p12 + " 2>/dev/null",
                    &output)) {
      std::printf("openssl pkcs12 -export %s is not available here; skipped\n", options.c_str());
      continue;
    }
    if (!RunCommand(std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/composites_oracle.py pfx " + p12,
                    &output)) {
      GTEST_SKIP() << "Debian's python3 with asn1crypto is not available";
    }
    std::istringstream fields(output);
    std::string digest, iterations, salt, mac, content;
    std::getline(fields, digest, '|');
    std::getline(fields, iterations, '|');
    std::getline(fields, salt, '|');
    std::getline(fields, mac, '|');
    std::getline(fields, content);
    const EVP_MD* md = EVP_get_digestbyname(digest.c_str());
    ASSERT_NE(md, nullptr) << digest;
    crypto::Pkcs12Kdf kdf;
    ASSERT_EQ(kdf.digest_name.SetString(digest.c_str()), 0);
    ASSERT_EQ(kdf.password.SetString(password.c_str()), 0);
    ASSERT_EQ(kdf.salt.Assign(Held(Unhex(salt))), 0);
    core::SecureBuffer key;
    ASSERT_EQ(crypto::Pkcs12DeriveKey(kdf, std::stoi(iterations), crypto::kPkcs12MacKey, EVP_MD_get_size(md), key), 0);
    const std::string data = Unhex(content);
    unsigned char digest_bytes[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    ASSERT_NE(HMAC(md, key.Data(), key.Length(), reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                   digest_bytes, &digest_length),
              nullptr);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<const char*>(digest_bytes), digest_length)), mac);
  }
}

}  // namespace
}  // namespace velmora::pki::testing
