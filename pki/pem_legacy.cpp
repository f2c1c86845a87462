#include "pki/pem_legacy.h"

#include <cstring>

#include "core/hex.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/password_kdf.h"
#include "crypto/rand/random.h"
#include "pki/pem_armour.h"

namespace velmora::pki {

namespace {

// PemCipher is one row of the cipher names of the legacy encrypted bodies.
struct PemCipher {
  const char* name;
  int32_t engine_id;
  int32_t key_length;   // bytes derived for the key
  int32_t cipher_key;   // bytes of them the cipher takes
  int32_t mode;
  bool derived_iv;      // the cipher IV is derived bytes 8 to 15, as PBES1 does
};

constexpr PemCipher kPemCiphers[] = {
    {"DES-EDE3-CBC", crypto::kEngineCipher3Des, 24, 24, crypto::kModeCbc, false},
    {"3des-cbc", crypto::kEngineCipher3Des, 24, 24, crypto::kModeCbc, false},
    {"DES-EDE3-CFB", crypto::kEngineCipher3Des, 24, 24, crypto::kModeCfb, false},
    {"AES-128-CBC", crypto::kEngineCipherAes, 16, 16, crypto::kModeCbc, false},
    {"AES-256-CBC", crypto::kEngineCipherAes, 32, 32, crypto::kModeCbc, false},
    {"DES-CBC", crypto::kEngineCipherDes, 16, 8, crypto::kModeCbc, true},
    {"RC2-CBC", crypto::kCipherRc2, 16, 8, crypto::kModeCbc, true},
};
// The rows DecryptWithPassword knows.
constexpr int32_t kPasswordCipherCount = 5;

const PemCipher* FindCipher(const char* name, int32_t rows) {
  for (int32_t i = 0; i < rows; ++i) {
    if (std::strcmp(kPemCiphers[i].name, name) == 0) return &kPemCiphers[i];
  }
  return nullptr;
}

constexpr uint8_t kZeroIv[8] = {};

// Decrypt derives key and IV in job and runs the cipher over data into out (appended).
int Decrypt(component::CryptoJob& job, const PemCipher& cipher, const PemKeyDerivation& derivation,
            const uint8_t* cipher_iv, int32_t cipher_iv_length, const uint8_t* data, int32_t length,
            core::BufferCore& out) {
  const uint8_t* key = nullptr;
  const uint8_t* derived_iv = nullptr;
  const int32_t order = derivation.order == DerivationOrder::kPasswordFirst ? 1 : 0;
  int rc = crypto::DeriveKeyIv(job, derivation.iterations, &key, cipher.key_length, &derived_iv, 8, order);
  if (rc != 0) return rc;
  crypto::CipherInit init{key, cipher.cipher_key, cipher_iv, cipher_iv_length, 1, cipher.mode, 0, ""};
  if (order == 1) {
    init.iv = kZeroIv;
    init.iv_length = 8;
  } else if (cipher.derived_iv) {
    init.iv = key + 8;
    init.iv_length = 8;
  }
  rc = crypto::SelectCipherProvider(job.Crypto(), cipher.engine_id, init, crypto::kProviderDefault);
  if (rc != 0) return rc;
  int32_t consumed = length;
  return crypto::HeldCipher(job.Crypto())->Decrypt(data, 0, &consumed, out, 1);
}

int SetSalt(component::CryptoJob& job, const char* password, const uint8_t* salt, int32_t salt_length) {
  int rc = job.Password().SetString(password != nullptr ? password : "");
  if (rc == 0) rc = job.Salt().SetData(salt_length > 0 && salt != nullptr ? salt_length : 0, salt);
  return rc;
}

}  // namespace

int DecryptPemBody(const char* cipher_name, core::BufferCore& data, const PemKeyDerivation& derivation) {
  const PemCipher* cipher = FindCipher(cipher_name != nullptr ? cipher_name : "", 7);
  if (cipher == nullptr) return kUnknownPemCipher;
  component::CryptoJob job;
  int rc = 0;
  if (derivation.digest_name != nullptr && *derivation.digest_name != '\0') {
    rc = job.DigestName().SetString(derivation.digest_name);
  }
  const int32_t salt_length = derivation.iv_length < 8 ? derivation.iv_length : 8;
  if (rc == 0) rc = SetSalt(job, derivation.password, derivation.iv, salt_length);
  const uint8_t* iv = derivation.iv;
  int32_t iv_length = derivation.iv_length;
  if (derivation.explicit_iv != nullptr) {
    iv = derivation.explicit_iv->Bytes();
    iv_length = derivation.explicit_iv->Length();
  }
  core::SecureBuffer plain;
  if (rc == 0) rc = Decrypt(job, *cipher, derivation, iv, iv_length, data.Bytes(), data.Length(), plain);
  return rc == 0 ? data.Assign(plain) : rc;
}

int DecryptWithPassword(const uint8_t* data, int32_t length, const char* password, const char* cipher_name,
                        const uint8_t* iv, int32_t iv_length, const char* digest_name, int32_t iterations,
                        const uint8_t* explicit_iv, int32_t explicit_iv_length, core::BufferCore& out) {
  const bool no_name = cipher_name == nullptr || *cipher_name == '\0';
  const PemCipher* cipher = FindCipher(no_name ? "DES-EDE3-CBC" : cipher_name, kPasswordCipherCount);
  if (cipher == nullptr) return kUnknownPemCipher;
  component::CryptoJob job;
  PemKeyDerivation derivation;
  derivation.iterations = iterations;
  int rc = 0;
  int32_t salt_length = iv_length < 8 ? iv_length : 8;
  if (digest_name != nullptr && *digest_name != '\0') {
    rc = job.DigestName().SetString(digest_name);
    salt_length = iv_length;
  }
  if (rc == 0) rc = SetSalt(job, password, iv, salt_length);
  if (explicit_iv != nullptr && explicit_iv_length > 0) {
    iv = explicit_iv;
    iv_length = explicit_iv_length;
  }
  core::SecureBuffer plain;
  if (rc == 0) rc = Decrypt(job, *cipher, derivation, iv, iv_length, data, length, plain);
  return rc == 0 ? out.Assign(plain) : rc;
}

int EncryptWithPassword3Des(const uint8_t* data, int32_t length, const char* password, const uint8_t* salt,
                            int32_t salt_length, DerivationOrder order, core::BufferCore& out) {
  component::CryptoJob job;
  int rc = SetSalt(job, password, salt, salt_length < 8 ? salt_length : 8);
  const uint8_t* key = nullptr;
  const int32_t flag = order == DerivationOrder::kPasswordFirst ? 1 : 0;
  if (rc == 0) rc = crypto::DeriveKeyIv(job, 0, &key, 24, nullptr, 0, flag);
  if (rc != 0) return rc;
  crypto::CipherInit init{key, 24, salt, salt_length, 0, crypto::kModeCbc, crypto::kPaddingPkcs7, ""};
  if (flag == 1) {
    init.iv = kZeroIv;
    init.iv_length = 8;
  }
  rc = crypto::SelectCipherProvider(job.Crypto(), crypto::kEngineCipher3Des, init, crypto::kProviderDefault);
  core::Buffer cipher_text;
  int32_t consumed = length;
  if (rc == 0) rc = crypto::HeldCipher(job.Crypto())->Encrypt(data, 0, &consumed, cipher_text, 1);
  return rc == 0 ? out.Assign(cipher_text) : rc;
}

int WriteEncryptedPem(const uint8_t* der, int32_t length, const char* label, const char* password,
                      core::BufferCore& out) {
  uint8_t salt[8];
  crypto::GlobalRandomBytes(salt, 0, 8);
  core::Buffer cipher_text, header;
  int rc = EncryptWithPassword3Des(der, length, password, salt, 8, DerivationOrder::kPreviousFirst, cipher_text);
  if (rc == 0) rc = header.SetString("Proc-Type: 4,ENCRYPTED\r\nDEK-Info: DES-EDE3-CBC,");
  if (rc == 0) rc = core::AppendHex(salt, 8, 1, header);
  if (rc == 0) rc = header.Append("\r\n\r\n", 4);
  if (rc == 0) {
    rc = WritePemArmourWithHeaders(cipher_text.Data(), cipher_text.Length(), label, 5, 64, header.Data(), out);
  }
  return rc;
}

}  // namespace velmora::pki
