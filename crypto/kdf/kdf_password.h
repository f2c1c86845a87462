// Password-based key derivation over a given HMAC or digest object: PBKDF2 (RFC 8018), the PKCS #12
// derivation (RFC 7292 appendix B), the key-and-IV derivation of encrypted PEM blocks and bcrypt-pbkdf
// (OpenSSH private keys). Argon2 is in argon2.h. The forms that choose their digest provider for the
// caller are in crypto/objects/password_kdf.h.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/digest/hash_object.h"
#include "crypto/mac/hmac.h"

namespace velmora::crypto {

constexpr int kPemDigestNotSupported = 3001;
constexpr int32_t kPbkdf2MaxBlocks = 29;

// Pbkdf2Internal derives key_bits / 8 bytes into out with hmac over the HashAlgorithmId digest_id: 0;
// 200 when more than 29 digest lengths are asked for or memory runs out; 2001 for an unknown id.
[[nodiscard]] int Pbkdf2Internal(InternalHmac& hmac, int32_t digest_id, const uint8_t* password,
                                 int32_t password_length, const uint8_t* salt, int32_t salt_length, int32_t iterations,
                                 int32_t key_bits, uint8_t* out);

// Pbkdf2Block computes block T(index + 1) into out (the digest size of hmac's digest), hmac keyed with
// the password; with iterations below 1 the block is all zero bytes. 0 or the HMAC's code.
[[nodiscard]] int Pbkdf2Block(InternalHmac& hmac, const uint8_t* salt, int32_t salt_length, int32_t iterations,
                              uint32_t index, uint8_t* out);

// Pkcs12BlockSize returns v of RFC 7292 appendix B.2, the input block size in bytes of the digest with
// engine id engine_id (64 for an id without a digest).
int32_t Pkcs12BlockSize(int32_t engine_id);

// Pkcs12Kdf is the PKCS #12 derivation record. block_size is set from the digest by each derivation.
struct Pkcs12Kdf {
  core::Buffer digest_name;
  core::SecureBuffer password;
  core::Buffer salt;
  int32_t last_error = 0;
  int32_t block_size = 64;
};

// Diversifiers of the three PKCS #12 derivations.
constexpr uint8_t kPkcs12KeyMaterial = 1;
constexpr uint8_t kPkcs12Iv = 2;
constexpr uint8_t kPkcs12MacKey = 3;

// Pkcs12PasswordToBmp writes the password in its BMPString form into out (cleared first), reading it as
// text of the process code page, UTF-8: a password holding a byte of 0x80 or more that is valid UTF-8
// becomes its UTF-16 code units, big-endian (surrogate pairs above U+FFFF); any other password, ASCII
// included, gets a zero byte before each byte. Two zero bytes end the form; an empty password gives
// nothing. 0 or 200, also stored in the record's last error.
[[nodiscard]] int Pkcs12PasswordToBmp(Pkcs12Kdf& kdf, core::BufferCore& out);

// HashRepeat hashes first || second || third (either may be empty) with hash, restarted first, then the
// digest again iterations - 1 times; the digest is left in hash->Digest(). 0 or the digest's code.
[[nodiscard]] int HashRepeat(HashObject* hash, int32_t iterations, const void* first, int32_t first_length,
                             const void* second, int32_t second_length, const void* third, int32_t third_length);

// Pkcs12DeriveWithHash derives n bytes (none for n < 1) into out with hash, the digest of engine id
// engine_id, diversifier 1, 2 or 3 and iterations, and sets the record's block size: 0, or 200 or the
// digest's code. The record's last error is left to the caller.
[[nodiscard]] int Pkcs12DeriveWithHash(Pkcs12Kdf& kdf, HashObject& hash, int32_t engine_id, int32_t iterations,
                                       uint8_t diversifier, int32_t n, core::BufferCore& out);

// PemBytesToKeyWithHash derives total_length bytes into out (replaced) from password and salt with hash,
// iterations times per round, D(i-1) || password || salt with order_flag 0 and password || D(i-1) ||
// salt otherwise. 0 or the digest's code (out cleared then).
[[nodiscard]] int PemBytesToKeyWithHash(HashObject& hash, int32_t iterations, const char* password,
                                        const uint8_t* salt, int32_t salt_length, int32_t total_length,
                                        int32_t order_flag, core::BufferCore& out);

// BcryptPbkdfWithHash derives 48 bytes with bcrypt-pbkdf over hash (a SHA-512 object) into key (the first
// 32) and iv (the next 16): 0, 200 or the digest's code. The 48 bytes are interleaved with stride 2, as
// OpenSSH does for requests of 33..48 bytes.
[[nodiscard]] int BcryptPbkdfWithHash(HashObject& hash, const core::BufferCore& password, const uint8_t* salt,
                                      int32_t salt_length, int32_t rounds, core::BufferCore& key,
                                      core::BufferCore& iv);

// kBcryptMaxOutput: the longest bcrypt-pbkdf output, 32 blocks of 32 bytes.
constexpr int32_t kBcryptMaxOutput = 1024;

// BcryptPbkdfBytesWithHash derives length bytes (1 to 1024) with bcrypt-pbkdf over hash (a SHA-512 object)
// into out, the blocks interleaved with stride ceil(length / 32) as OpenSSH does: 0; 432 for another
// length; 200 or the digest's code. At 48 bytes it gives key and IV of BcryptPbkdfWithHash in a row.
[[nodiscard]] int BcryptPbkdfBytesWithHash(HashObject& hash, const core::BufferCore& password, const uint8_t* salt,
                                           int32_t salt_length, int32_t rounds, int32_t length,
                                           core::BufferCore& out);

}  // namespace velmora::crypto
