// The key-pair and secret entry points of the platform's "bcrypt" module on this system, built on
// OpenSSL: DSA keys (FIPS 186-2 and 186-3 blobs, signing and verifying a hash) and finite-field
// Diffie-Hellman (keys over explicit parameters, secret agreement and four key derivations), with the
// switches tests use to observe and disturb them. Present only in builds with VELMORABLE_PLATFORM_CRYPTO
// on; callers reach them through the module table (LoadModule / GetProc). Blob layouts: keypair_types.h.
//
// Algorithms, opened by BCryptOpenAlgorithmProvider with flags 0: "DSA" (keys of 512 to 3072 bits in
// steps of 64; version 1 blobs up to 1024 bits with a 20-byte q, version 2 blobs above with a 32-byte q,
// SHA-256 and FIPS 186-3 only) and "DH" (keys of 64 to 512 bytes). Key and secret handles may be made
// and destroyed on any thread; one handle is used by one thread at a time. Anything outside these
// shapes gives STATUS_INVALID_PARAMETER and makes no handle.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/crypto/hash_types.h"
#include "platform/crypto/keypair_types.h"

namespace velmora::platform {

// BCryptImportKeyPair makes a key from a "DSAPUBLICBLOB", "DSAPRIVATEBLOB", "DHPUBLICBLOB" or
// "DHPRIVATEBLOB" (no import key, flags 0) on an algorithm handle of the same family. The blob must be
// exactly as long as its header says and its numbers must fit together: for DSA q divides P - 1, G has
// order q, 1 < Y < P and, in a private blob, 0 < X < q with Y = G^X; a seed (a counter other than
// 0xFFFFFFFF) must generate P and q by FIPS 186-2 (version 1) or 186-4 (version 2). For Diffie-Hellman
// the prime is odd with a nonzero first byte, 1 < G < P - 1, a public value lies in 2 .. P - 2, and a
// private blob's public value is either zero (then computed) or G^X.
NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key, const char16_t* blob_type,
                             BCRYPT_KEY_HANDLE* key, const uint8_t* input, ULONG input_size, ULONG flags);
// BCryptGenerateKeyPair starts a key of length bits (flags 0); BCryptFinalizeKeyPair makes it. A DSA key
// gets new domain parameters from OpenSSL's generation (FIPS 186-2 with SHA-1 and a 160-bit q up to
// 1024 bits, else FIPS 186-4 with a 256-bit q), whose seed and counter its export carries. A
// Diffie-Hellman key takes its prime and generator from "DHParameters" (BCryptSetProperty, before
// finalizing; STATUS_INVALID_PARAMETER without them) and a private value in 2 .. P - 2.
NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length, ULONG flags);
NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE key, ULONG flags);
// BCryptExportKey writes a finalized key's blob of the four types above (no export key, flags 0): a null
// output reports the size in *result, a smaller one gives STATUS_BUFFER_TOO_SMALL. A DSA key exports a
// version 1 blob up to 1024 bits, else version 2; without a seed, Count and Seed are 0xFF bytes.
NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                         uint8_t* output, ULONG output_size, ULONG* result, ULONG flags);
// BCryptSecretAgreement makes the shared secret Z = peer^X mod P of a private and a public
// Diffie-Hellman key over the same prime and generator (flags 0), kept at the prime's length.
NTSTATUS BCryptSecretAgreement(BCRYPT_KEY_HANDLE private_key, BCRYPT_KEY_HANDLE public_key,
                               BCRYPT_SECRET_HANDLE* secret, ULONG flags);
// BCryptDeriveKey derives from a secret (flags 0) by "TRUNCATE", "HASH", "HMAC" or "TLS_PRF"
// (secret_derivations.h); Z is big-endian at the prime's length. A null output reports the size in
// *result; a smaller one gives STATUS_BUFFER_TOO_SMALL.
NTSTATUS BCryptDeriveKey(BCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters, uint8_t* derived,
                         ULONG derived_size, ULONG* result, ULONG flags);
NTSTATUS BCryptDestroySecret(BCRYPT_SECRET_HANDLE secret);
// BCryptSignHash signs a hash with a private DSA key (no padding information, flags 0): r || s, each as
// long as q. A null output reports the size; a smaller one gives STATUS_BUFFER_TOO_SMALL.
NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* input, ULONG input_size,
                        uint8_t* output, ULONG output_size, ULONG* result, ULONG flags);
// BCryptVerifySignature checks r || s over a hash: STATUS_SUCCESS, or NTE_BAD_SIGNATURE for any
// signature that does not verify (wrong length included).
NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash, ULONG hash_size,
                               const uint8_t* signature, ULONG signature_size, ULONG flags);

namespace test {
// LastDsaBlobHeader is the header of the last DSA blob BCryptImportKeyPair was given, through q (the
// numbers after it are not kept); empty before the first.
std::vector<uint8_t> LastDsaBlobHeader();
// SetBadSignatureStatus makes BCryptVerifySignature answer status for a signature that does not verify
// (0 restores NTE_BAD_SIGNATURE).
void SetBadSignatureStatus(NTSTATUS status);
}  // namespace test

}  // namespace velmora::platform
