// Password encryption of traditional PEM key bodies ("Proc-Type: 4,ENCRYPTED" with "DEK-Info"): the
// general decryptor, a second decryptor with an explicit IV, the 3DES password encryption of the legacy
// key writers and the writer of an encrypted "RSA PRIVATE KEY" or "DSA PRIVATE KEY" block. Key and IV come
// from the password-to-key derivation of crypto/objects/password_kdf.h; ciphers are chosen in the default
// provider mode. Cipher names compare case-sensitively. A wrong password is not detected here: the
// result is 0 and the key DER does not parse. The decryptors remove no padding.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::pki {

// kUnknownPemCipher: a cipher name that no table here holds.
inline constexpr int kUnknownPemCipher = 2001;

// DerivationOrder: how each round of the password-to-key derivation hashes its inputs.
enum class DerivationOrder {
  kPreviousFirst = 0,  // D(i-1) || password || salt
  kPasswordFirst = 1,  // password || D(i-1) || salt, and a zero cipher IV
};

// PemKeyDerivation holds the derivation inputs of DecryptPemBody. The salt is the first 8 bytes of iv.
struct PemKeyDerivation {
  const char* password = nullptr;  // null counts as ""
  const uint8_t* iv = nullptr;
  int32_t iv_length = 0;
  DerivationOrder order = DerivationOrder::kPreviousFirst;
  const char* digest_name = nullptr;  // null or "" for "MD5"; a name holding "hmac" selects PBKDF2
  int32_t iterations = 0;             // 0 or 1: one pass
  const core::BufferCore* explicit_iv = nullptr;  // replaces iv as the cipher IV when given
};

// DecryptPemBody replaces data (the ciphertext) by its plaintext under the cipher named (DES-EDE3-CBC,
// 3des-cbc, DES-EDE3-CFB, AES-128-CBC, AES-256-CBC with the given IV; DES-CBC and RC2-CBC with the IV
// derived with the key). 0; 2001 for another name; 3001 for a digest the derivation does not know; the
// provider's or cipher's code (2003 for ciphertext that is not whole blocks). On failure data is
// unchanged.
[[nodiscard]] int DecryptPemBody(const char* cipher_name, core::BufferCore& data, const PemKeyDerivation& derivation);

// DecryptWithPassword sets out to the plaintext of length bytes of data: the first five ciphers of
// DecryptPemBody, null or "" as DES-EDE3-CBC. A non-empty digest name replaces "MD5" and takes the whole
// iv as salt (else its first 8 bytes); the cipher IV is explicit_iv when explicit_iv_length > 0, else iv.
// 0 or DecryptPemBody's codes; on failure out is unchanged.
[[nodiscard]] int DecryptWithPassword(const uint8_t* data, int32_t length, const char* password,
                                      const char* cipher_name, const uint8_t* iv, int32_t iv_length,
                                      const char* digest_name, int32_t iterations, const uint8_t* explicit_iv,
                                      int32_t explicit_iv_length, core::BufferCore& out);

// EncryptWithPassword3Des sets out to length bytes of data under 3DES-CBC with PKCS #7 padding: the key
// is derived with MD5 in one pass from the password and the first (at most 8) salt bytes in order; the
// IV is zero for kPasswordFirst, else the salt. 0 or the derivation's or cipher's code (out unchanged).
[[nodiscard]] int EncryptWithPassword3Des(const uint8_t* data, int32_t length, const char* password,
                                          const uint8_t* salt, int32_t salt_length, DerivationOrder order,
                                          core::BufferCore& out);

// WriteEncryptedPem sets out to the PEM block of der under label, encrypted with EncryptWithPassword3Des
// under 8 fresh random bytes as salt and IV, with the headers "Proc-Type: 4,ENCRYPTED" and
// "DEK-Info: DES-EDE3-CBC,<IV in upper-case hex>". 0 or the first failing code (out unchanged).
[[nodiscard]] int WriteEncryptedPem(const uint8_t* der, int32_t length, const char* label, const char* password,
                                    core::BufferCore& out);

}  // namespace velmora::pki
