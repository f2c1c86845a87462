// Key export and import: a key record written as a traditional ("RSA PRIVATE KEY", "DSA PRIVATE KEY"),
// PKCS #8 or SubjectPublicKeyInfo structure, as DER or PEM, optionally under a password, and read back
// from PEM blocks and DER. The writers complete a key's derived values first (RSA CRT values, the DSA Y,
// the EC public point). The loaders build the key apart and copy it over the out key only on success.
// One thread at a time per record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"

namespace velmora::pki {

// kNoPrivateKey: a private form asked of a key without its private part, or one that cannot be completed.
inline constexpr int kNoPrivateKey = 290;
// kNoKeyForm: a key type the format does not have, or a PEM label no reader takes.
inline constexpr int kNoKeyForm = 1424;

// WriteTraditionalPrivateKeyPem sets out to the "RSA PRIVATE KEY" or "DSA PRIVATE KEY" block of key,
// encrypted as a legacy PEM body when password is not null or "". 0; 290; 1424 for EC and Edwards keys;
// the encoder's or encryption's code.
[[nodiscard]] int WriteTraditionalPrivateKeyPem(crypto::KeyRecord& key, const char* password, core::BufferCore& out);
// WriteTraditionalPublicKeyPem sets out to the RSAPublicKey or DSA public key structure of key, as DER or as
// an "RSA PUBLIC KEY" or "DSA PUBLIC KEY" block (a DSA Y is computed into key when missing). 0; 1424 for
// other types; the encoder's code.
[[nodiscard]] int WriteTraditionalPublicKeyPem(crypto::KeyRecord& key, core::BufferCore& out, bool pem);
// WritePkcs8PrivateKeyDer sets out to the PrivateKeyInfo of key, as DER or as a "PRIVATE KEY" block.
// 0; 290; 1424 for a key of no known type; the encoder's code.
[[nodiscard]] int WritePkcs8PrivateKeyDer(crypto::KeyRecord& key, core::BufferCore& out, bool pem);
// WritePkcs8PrivateKeyPem sets out to the "PRIVATE KEY" block of key, or with a password (not null or "")
// the "ENCRYPTED PRIVATE KEY" block of pki/password_encryption.h. Codes of WritePkcs8PrivateKeyDer.
[[nodiscard]] int WritePkcs8PrivateKeyPem(crypto::KeyRecord& key, const char* password, core::BufferCore& out);
// WritePublicKeyPem sets out to the SubjectPublicKeyInfo of key, as DER or as a "PUBLIC KEY" block. 0 or the
// encoder's code.
[[nodiscard]] int WritePublicKeyPem(crypto::KeyRecord& key, core::BufferCore& out, bool pem);

// LoadPkcs8PrivateKey reads a PrivateKeyInfo from length bytes: base64 text first decoded when base64 is
// set, an EncryptedPrivateKeyInfo opened with password when encrypted is set. 0; the base64 decoder's,
// decryption's (1424) or reader's code (446, 447, -1, 1401). On failure key is unchanged.
[[nodiscard]] int LoadPkcs8PrivateKey(crypto::KeyRecord& key, const uint8_t* bytes, int32_t length, bool base64,
                                      bool encrypted, const char* password);
// LoadKeyFromPem reads the first PEM block of text by its exact label: "RSA PRIVATE KEY" (PKCS #1),
// "DSA PRIVATE KEY" and "EC PRIVATE KEY" (the traditional layouts), "PRIVATE KEY" (PKCS #8) or "PUBLIC KEY"
// (SubjectPublicKeyInfo). 0; 1424 for no block or any other label ("ENCRYPTED PRIVATE KEY" among them:
// LoadPkcs8PrivateKey reads it); the armour's or reader's code. On failure key is unchanged.
[[nodiscard]] int LoadKeyFromPem(crypto::KeyRecord& key, const char* text);
// LoadPublicKeyDer reads a SubjectPublicKeyInfo. 0 or the reader's code; on failure key is unchanged.
[[nodiscard]] int LoadPublicKeyDer(crypto::KeyRecord& key, const uint8_t* bytes, int32_t length);

}  // namespace velmora::pki
