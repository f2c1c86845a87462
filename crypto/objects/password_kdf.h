// Password-based key derivation that chooses its provider: PBKDF2 by HMAC engine id (the platform's
// PBKDF2 in FIPS mode), and the PKCS #12, encrypted-PEM and bcrypt-pbkdf derivations with their digest
// selected through a temporary CryptoComponent in the default provider mode. The derivations themselves
// are in crypto/kdf/kdf_password.h.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/kdf/kdf_password.h"
#include "crypto/objects/crypto_component.h"

namespace velmora::crypto {

// Pbkdf2ByHmacId derives key_length bytes into out with PBKDF2 over the HMAC engine id 45..51. With FIPS
// mode off it runs the internal PBKDF2; in FIPS mode it needs the platform's PBKDF2: 9999 for a salt
// under 16 bytes, 9998 for HMAC-MD5 or an id without a platform form, else CngPbkdf2's codes (600 while
// the platform's PBKDF2 is not loaded). Otherwise 0, or Pbkdf2Internal's codes.
[[nodiscard]] int Pbkdf2ByHmacId(int32_t hmac_id, const uint8_t* password, int32_t password_length,
                                 const uint8_t* salt, int32_t salt_length, int32_t iterations, int32_t key_length,
                                 uint8_t* out);

// Pkcs12DeriveKey derives n bytes (none for n < 1) into out with the record's digest (selected by name
// in the default provider mode), diversifier 1, 2 or 3 and iterations: 0; 9999 in FIPS mode; 9998 for a
// digest name not known; 600 when the digest needs the platform; 200. The code is also stored in the
// record's last error.
[[nodiscard]] int Pkcs12DeriveKey(Pkcs12Kdf& kdf, int32_t iterations, uint8_t diversifier, int32_t n,
                                  core::BufferCore& out);

// PemBytesToKey derives total_length bytes into out (replaced) from password and salt: a digest name
// holding "hmac" uses PBKDF2 with that HMAC; otherwise "MD5", "SHA1" or "MD2" hashes iterations times
// per round, D(i-1) || password || salt with order_flag 0 and password || D(i-1) || salt otherwise.
// 0; 3001 for an unsupported name; 9999 in FIPS mode (repeated-digest form); the digest's codes.
[[nodiscard]] int PemBytesToKey(int32_t iterations, const char* digest_name, const char* password,
                                const uint8_t* salt, int32_t salt_length, int32_t total_length, int32_t order_flag,
                                core::BufferCore& out);

// DeriveKeyIv derives the job's key (key_length bytes) and IV (iv_length bytes) from its digest name,
// password and salt with PemBytesToKey, points *key and, for iv_length >= 1, *iv at them (valid until the
// job changes) and returns 0; a failure's code is returned and stored as the job's last error.
[[nodiscard]] int DeriveKeyIv(component::CryptoJob& job, int32_t iterations, const uint8_t** key,
                              int32_t key_length, const uint8_t** iv, int32_t iv_length, int32_t order_flag);

// BcryptPbkdf derives 48 bytes with bcrypt-pbkdf over SHA-512 (selected by name in the default provider
// mode) into key (the first 32) and iv (the next 16) when kdf_name is "bcrypt" in any case; any other
// name returns 0 and changes nothing. 9999 in FIPS mode; 600 when SHA-512 needs the platform; 200.
// The 48 bytes are interleaved with stride 2, as OpenSSH does for requests of 33..48 bytes.
[[nodiscard]] int BcryptPbkdf(const core::BufferCore& password, const char* kdf_name, const uint8_t* salt,
                              int32_t salt_length, int32_t rounds, core::BufferCore& key, core::BufferCore& iv);

// BcryptPbkdfBytes derives length bytes (1 to 1024) with bcrypt-pbkdf over SHA-512 (selected by name in the
// default provider mode) into out: 0; 9999 in FIPS mode; 432 for another length; 600 when SHA-512 needs
// the platform; 200.
[[nodiscard]] int BcryptPbkdfBytes(const core::BufferCore& password, const uint8_t* salt, int32_t salt_length,
                                   int32_t rounds, int32_t length, core::BufferCore& out);
}  // namespace velmora::crypto
