// The hash, HMAC and PBKDF2 entry points of the platform's "bcrypt" module on this system, built on
// OpenSSL's EVP digests and MACs, and the switch tests use to disturb them (the key-pair and secret
// entry points are in keypair_modules.h). Present only in builds with VELMORABLE_PLATFORM_CRYPTO on;
// callers reach them through the module table (LoadModule / GetProc).
//
// Hash algorithms: "SHA1", "SHA256", "SHA384", "SHA512" and "MD5" (names without regard to case), opened by
// BCryptOpenAlgorithmProvider with flags 0, BCRYPT_ALG_HANDLE_HMAC_FLAG (0x8), BCRYPT_HASH_REUSABLE_FLAG
// (0x20) or both; each handle fetches its digest once. Hash objects may be made from one handle on many
// threads at once; one hash object is used by one thread at a time.
#pragma once

#include "platform/crypto/hash_types.h"

namespace velmora::platform {

// BCryptCreateHash makes a hash object on an open hash algorithm handle. The object is kept by the module:
// hash_object may be null (size 0) or hold at least 512 bytes, which are only claimed
// (STATUS_BUFFER_TOO_SMALL when fewer). An HMAC handle takes the key in secret (null or empty for an
// empty key); a plain handle takes none (STATUS_INVALID_PARAMETER). Flags 0 or BCRYPT_HASH_REUSABLE_FLAG:
// a reusable object starts over after each BCryptFinishHash. STATUS_INVALID_HANDLE for a handle that is
// not an open hash algorithm.
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, uint8_t* hash_object,
                          ULONG hash_object_size, const uint8_t* secret, ULONG secret_size, ULONG flags);
// BCryptHashData feeds input_size bytes (flags 0; null input only with size 0).
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, const uint8_t* input, ULONG input_size, ULONG flags);
// BCryptFinishHash writes the digest or tag; output_size must be its exact length and output not null
// (STATUS_INVALID_PARAMETER). A reusable object then starts a new message with the same key; any other
// object refuses further use with STATUS_INVALID_HANDLE until it is destroyed.
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, uint8_t* output, ULONG output_size, ULONG flags);
// BCryptDuplicateHash makes an independent copy of the object mid-message (hash_object as for
// BCryptCreateHash, flags 0).
NTSTATUS BCryptDuplicateHash(BCRYPT_HASH_HANDLE hash, BCRYPT_HASH_HANDLE* duplicate, uint8_t* hash_object,
                             ULONG hash_object_size, ULONG flags);
// BCryptDestroyHash frees a hash object. Objects outlive the algorithm handle they were made from.
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash);
// BCryptDeriveKeyPBKDF2 derives output_size bytes with PBKDF2 (RFC 8018) over the HMAC of an algorithm
// handle opened with BCRYPT_ALG_HANDLE_HMAC_FLAG: STATUS_INVALID_HANDLE for any other handle,
// STATUS_INVALID_PARAMETER for an iteration count of 0, a null output, null password or salt bytes with a
// nonzero size, or flags.
NTSTATUS BCryptDeriveKeyPBKDF2(BCRYPT_ALG_HANDLE prf, const uint8_t* password, ULONG password_size,
                               const uint8_t* salt, ULONG salt_size, ULONGLONG iterations, uint8_t* output,
                               ULONG output_size, ULONG flags);

namespace test {
// SetReusableHashRefused makes BCryptOpenAlgorithmProvider and BCryptCreateHash refuse
// BCRYPT_HASH_REUSABLE_FLAG with STATUS_INVALID_PARAMETER, as on platforms without reusable hashes.
void SetReusableHashRefused(bool refused);
}  // namespace test

}  // namespace velmora::platform
