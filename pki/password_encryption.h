// Password-based encryption of private keys and PKCS #12 bags: the PKCS #12 PBE algorithms and MAC, PBES2
// with PBKDF2, the PBES1 schemes of encrypted PKCS #8 keys, the encrypted PKCS #8 writer and the reader
// of a PKCS #7 EncryptedData. The derivations are those of crypto/objects/password_kdf.h; ciphers and
// HMACs are chosen in the default provider mode. A decode error sink, when given, receives the text of
// a malformed structure (code 446). Iteration counts above kMaxPbeIterations are refused (271) before
// anything is derived.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::pki {

inline constexpr int kPbeUnsupported = 271;
inline constexpr int kPbeBadPadding = 500;
inline constexpr int kPkcs8DecryptFailed = 1424;
inline constexpr int32_t kMaxPbeIterations = 10000000;

// The OIDs of the schemes read here.
inline constexpr const char* kOidPbes2 = "1.2.840.113549.1.5.13";
inline constexpr const char* kOidPbkdf2 = "1.2.840.113549.1.5.12";

// Pkcs12ComputeMac sets out to the HMAC of data under the key that the PKCS #12 derivation (diversifier
// 3) makes from password and salt with digest_name ("SHA1", "SHA224", "SHA256", "SHA384", "SHA512") and
// iterations. Our own containers use SHA1 and one iteration. 0; 271 for another digest; the derivation's
// codes (9999 in FIPS mode).
[[nodiscard]] int Pkcs12ComputeMac(const uint8_t* data, int32_t length, const core::BufferCore& salt,
                                   const core::BufferCore& password, core::BufferCore& out,
                                   const char* digest_name = "SHA1", int32_t iterations = 1);

// Pkcs12PbeEncrypt sets out to data encrypted with the PKCS #12 PBE algorithm of oid (.1.12.1.1 to .6)
// under password, salt and iterations. 0; 271 for another OID or count; the derivation's or cipher's
// codes.
[[nodiscard]] int Pkcs12PbeEncrypt(const uint8_t* data, int32_t length, const core::BufferCore& password,
                                   const char* oid, const core::BufferCore& salt, int32_t iterations,
                                   core::BufferCore& out);

// PbeDecrypt sets out to the plaintext (padding removed) of data under a PKCS #12 PBE algorithm (params
// the salt) or PBES2 (params the complete PBES2-params element, iterations unused; PBKDF2 with
// hmacWithSHA256 and AES-256-CBC, AES-128-CBC or DES-EDE3-CBC only). 0; 271 for another OID, PRF or
// cipher, a PBES2 set without a PRF or a count above the limit; 446 for malformed parameters; 2003 for
// ciphertext that is not whole blocks; 2004 for bad padding; 9999 for a PKCS #12 PBE in FIPS mode.
[[nodiscard]] int PbeDecrypt(const core::BufferCore& data, const core::BufferCore& oid,
                             const core::BufferCore& params, int32_t iterations, const core::BufferCore& password,
                             core::BufferCore& out);

// PbeDecryptWithRetry is PbeDecrypt with 2003 and 2004 reported as 500; an empty password whose result
// is not one complete element is tried once more as a single zero byte.
[[nodiscard]] int PbeDecryptWithRetry(core::BufferCore* error_sink, const core::BufferCore& data,
                                      const core::BufferCore& oid, const core::BufferCore& params,
                                      int32_t iterations, const core::BufferCore& password, core::BufferCore& out);

// DecodePbeAlgorithm splits the AlgorithmIdentifier encoded in bytes: its OID text, and for PBES2 the
// complete parameters element, otherwise the salt and the iteration count. 0; 446 with the text on the
// sink; 271 for a count above the limit.
[[nodiscard]] int DecodePbeAlgorithm(core::BufferCore* error_sink, const uint8_t* bytes, int32_t length,
                                     core::BufferCore& oid, core::BufferCore& params, int32_t* iterations);

// DecodeEncryptedData sets out to the plaintext of the EncryptedData (the content of an encryptedData
// content info) encoded in bytes. 0; 446 with the text on the sink; PbeDecryptWithRetry's codes.
[[nodiscard]] int DecodeEncryptedData(core::BufferCore* error_sink, const uint8_t* bytes, int32_t length,
                                      const core::BufferCore& password, core::BufferCore& out);

// DecryptPkcs8WithPassword sets out to the PrivateKeyInfo DER inside an EncryptedPrivateKeyInfo: PBES1
// (DES or RC2 with MD2, MD5 or SHA-1) or PBES2 with PBKDF2 under hmacWithSHA1 or hmacWithSHA256 and
// AES-256-CBC, AES-128-CBC or DES-EDE3-CBC. Every failure, a wrong password included, is 1424 with out
// unchanged.
[[nodiscard]] int DecryptPkcs8WithPassword(core::BufferCore& out, const uint8_t* data, int32_t length,
                                           const char* password);

// WriteEncryptedPkcs8 sets out to the "ENCRYPTED PRIVATE KEY" PEM block of the PrivateKeyInfo DER in data:
// PBES2, PBKDF2 with HMAC-SHA1 and 2048 iterations, DES-EDE3-CBC under an 8-byte salt, or in FIPS mode
// AES-256-CBC under a 16-byte salt. 0 or the first failing code (out unchanged).
[[nodiscard]] int WriteEncryptedPkcs8(const uint8_t* data, int32_t length, const char* password,
                                      core::BufferCore& out);

}  // namespace velmora::pki
