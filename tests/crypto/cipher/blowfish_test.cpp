// Blowfish against OpenSSL's BF-ECB (legacy provider) over random keys of every usual length; bcrypt-pbkdf
// against committed python3-bcrypt vectors and OpenSSH keys (decrypted with OpenSSL's AES-256-CTR).
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "core/byte_order.h"
#include "crypto/cipher/blowfish.h"
#include "crypto/objects/password_kdf.h"
#include "tests/crypto/kdf/kdf_test_util.h"
#include "tests/vector_file.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing_support::ReadVectors;
using testing_support::Text;
using testing_support::VectorPath;

struct State {
  uint32_t p[kBlowfishPWords];
  uint32_t s[4][kBlowfishSWords];
};

// OpenSslBlowfish encrypts blocks with BF-ECB and a key of any length; "" without the legacy provider.
std::string OpenSslBlowfish(const std::string& key, const std::string& blocks) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  (void)fallback;
  if (legacy == nullptr) return "";
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "BF-ECB", "provider=legacy");
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(blocks.size(), '\0');
  int length = 0;
  // The key length is set before the key: the command line's -K would cut or pad it to 16 bytes.
  const bool ok = cipher != nullptr && EVP_EncryptInit_ex(ctx, cipher, nullptr, nullptr, nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1 &&
                  EVP_EncryptInit_ex(ctx, nullptr, nullptr, U8(key), nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &length, U8(blocks),
                                    static_cast<int>(blocks.size())) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return ok ? out : "";
}

TEST(Blowfish, MatchesOpenSslForRandomKeys) {
  if (OpenSslBlowfish("abcd", std::string(8, '\0')).empty()) {
    GTEST_SKIP() << "OpenSSL's legacy provider is not available: differential test skipped";
  }
  const uint32_t seed = TestSeed(2106);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  State state;
  for (int i = 0; i < 1000; ++i) {
    const std::string key = RandomBytes(rng, 4 + rng() % 53);
    const std::string blocks = RandomBytes(rng, 8 * (1 + rng() % 4));
    BlowfishSetKey(U8(key), static_cast<int32_t>(key.size()), state.p, state.s[0], state.s[1], state.s[2],
                   state.s[3]);
    std::string ours(blocks.size(), '\0');
    for (size_t at = 0; at < blocks.size(); at += 8) {
      BlowfishEncryptBlock(state.p, state.s[0], state.s[1], state.s[2], state.s[3], U8(blocks) + at,
                           reinterpret_cast<uint8_t*>(ours.data()) + at);
    }
    ASSERT_EQ(ToHex(ours), ToHex(OpenSslBlowfish(key, blocks))) << "key " << ToHex(key);
  }
}

// ---- bcrypt-pbkdf -------------------------------------------------------------------------------------

class Bcrypt : public KdfInternal {};

std::string Derive48(const std::string& password, const std::string& salt, int32_t rounds, int* rc = nullptr) {
  core::Buffer pw;
  EXPECT_EQ(pw.SetData(static_cast<int32_t>(password.size()), password.data()), 0);
  core::Buffer key;
  core::Buffer iv;
  const int result = BcryptPbkdf(pw, "BCrypt", U8(salt), static_cast<int32_t>(salt.size()), rounds, key, iv);
  if (rc != nullptr) *rc = result;
  EXPECT_TRUE(rc != nullptr || result == 0) << result;
  return Text(key) + Text(iv);
}

// Stride1 is OpenSSH's layout for a 32-byte request: one block, BcryptHash chained over the rounds.
std::string Stride1(const std::string& password, const std::string& salt, int rounds) {
  const std::string sha2pass = OpenSslDigest("SHA512", password);
  std::string sha2salt = OpenSslDigest("SHA512", salt + std::string("\0\0\0\1", 4));
  State state;
  std::string out(32, '\0');
  core::Buffer tmp;
  for (int round = 0; round < rounds; ++round) {
    if (round > 0) sha2salt = OpenSslDigest("SHA512", Text(tmp));
    EXPECT_EQ(BcryptHash(state.p, state.s[0], state.s[1], state.s[2], state.s[3], U8(sha2pass), 64, U8(sha2salt), 64,
                         tmp),
              0);
    for (size_t k = 0; k < 32; ++k) out[k] = static_cast<char>(out[k] ^ tmp.Data()[k]);
  }
  return out;
}

TEST_F(Bcrypt, MatchesPythonBcryptAndThePublishedBlock) {
  for (auto& v : ReadVectors(VectorPath("bcrypt_pbkdf.txt"), {"Password", "Salt", "Rounds", "Key", "Stride1"})) {
    const std::string password = v.Bytes("Password");
    const std::string salt = v.Bytes("Salt");
    const int rounds = std::stoi(v.Get("Rounds"));
    if (v.Has("Stride1")) {
      EXPECT_EQ(ToHex(Stride1(password, salt, rounds)), ToHex(v.Bytes("Stride1"))) << v.Origin();
      // The derivation itself always lays out 48 bytes with stride 2, so it differs from that block.
      EXPECT_NE(Derive48(password, salt, rounds).substr(0, 32), v.Bytes("Stride1"));
    } else {
      EXPECT_EQ(ToHex(Derive48(password, salt, rounds)), ToHex(v.Bytes("Key"))) << v.Origin();
    }
  }
  core::Buffer password;
  core::Buffer key;
  core::Buffer iv;
  ASSERT_EQ(key.SetString("untouched"), 0);
  EXPECT_EQ(BcryptPbkdf(password, "none", U8("salt"), 4, 16, key, iv), 0);
  EXPECT_EQ(Text(key), "untouched");
}

// SshReader walks the OpenSSH private key format: big-endian words and length-prefixed strings.
struct SshReader {
  std::string data;
  size_t at = 0;
  uint32_t Word() {
    at += 4;
    return at <= data.size() ? static_cast<uint32_t>(core::ReadUInt32BE(data.data() + at - 4)) : 0;
  }
  std::string String() {
    const uint32_t length = Word();
    at += length;
    return at <= data.size() ? data.substr(at - length, length) : "";
  }
};

std::string Base64Decode(const std::string& text) {
  std::string out(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), U8(text),
                                     static_cast<int>(text.size()));
  size_t padding = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
  out.resize(length < 0 ? 0 : static_cast<size_t>(length) - padding);
  return out;
}

TEST_F(Bcrypt, DecryptsOpenSshKeys) {
  for (auto& v : ReadVectors(VectorPath("openssh_keys.txt"), {"Rounds", "Passphrase", "Body"})) {
    SshReader reader{Base64Decode(v.Get("Body"))};
    ASSERT_EQ(reader.data.substr(0, 15), std::string("openssh-key-v1\0", 15));
    reader.at = 15;
    ASSERT_EQ(reader.String(), "aes256-ctr");
    const std::string kdf_name = reader.String();
    SshReader options{reader.String()};
    const std::string salt = options.String();
    const uint32_t rounds = options.Word();
    EXPECT_EQ(std::to_string(rounds), v.Get("Rounds"));
    ASSERT_EQ(reader.Word(), 1u);
    reader.String();  // public key
    const std::string encrypted = reader.String();

    core::Buffer password;
    ASSERT_EQ(password.SetString(v.Get("Passphrase").c_str()), 0);
    core::Buffer key;
    core::Buffer iv;
    ASSERT_EQ(BcryptPbkdf(password, kdf_name.c_str(), U8(salt), static_cast<int32_t>(salt.size()),
                          static_cast<int32_t>(rounds), key, iv),
              0);
    std::string plain(encrypted.size(), '\0');
    int length = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key.Bytes(), iv.Bytes()), 1);
    ASSERT_EQ(EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(plain.data()), &length, U8(encrypted),
                                static_cast<int>(encrypted.size())),
              1);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(plain.substr(0, 4), plain.substr(4, 4)) << "check words differ for " << v.Origin();
    SshReader inner{plain, 8};
    EXPECT_EQ(inner.String(), "ssh-ed25519");
  }
}

}  // namespace
}  // namespace velmora::crypto
