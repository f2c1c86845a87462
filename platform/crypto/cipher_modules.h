// The symmetric-cipher entry points of the platform's "bcrypt" module on this system, built on OpenSSL's
// EVP ciphers, and the switches tests use to disturb them. Present only in builds with
// VELMORABLE_PLATFORM_CRYPTO on; callers reach them through the module table (LoadModule / GetProc).
//
// Algorithms: "AES" (16-, 24- or 32-byte keys; chaining modes CBC (the default), ECB, CFB and GCM), "3DES"
// (24-byte keys; CBC, ECB, CFB) and "XTS-AES" (32- or 64-byte keys with distinct halves). Handles may be
// opened and closed from any thread; one key handle is used by one thread at a time.
#pragma once

#include "platform/crypto/cipher_types.h"

namespace velmora::platform {

// BCryptOpenAlgorithmProvider opens "AES", "3DES" or "XTS-AES" (names without regard to case) with a null
// implementation or "Microsoft Primitive Provider" and flags 0: STATUS_SUCCESS and a new handle in
// *algorithm; STATUS_NOT_FOUND for another name or implementation; STATUS_INVALID_PARAMETER for null
// arguments or flags.
NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, const char16_t* algorithm_id,
                                     const char16_t* implementation, ULONG flags);
// BCryptCloseAlgorithmProvider closes an algorithm handle (flags 0). Keys made from it stay usable.
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);
// BCryptGetProperty reads "ObjectLength" (a DWORD: the key-object bytes a key of this algorithm needs) of
// an algorithm handle. A null output reports the size only; a smaller one gives STATUS_BUFFER_TOO_SMALL;
// other properties STATUS_NOT_SUPPORTED.
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, const char16_t* property, uint8_t* output, ULONG output_size,
                           ULONG* result, ULONG flags);
// BCryptSetProperty sets "ChainingMode" ("ChainingModeCBC", "ChainingModeECB", "ChainingModeCFB",
// "ChainingModeGCM" for AES) on an "AES" or "3DES" handle, and "MessageBlockLength" (a DWORD): in CFB the
// bytes per step, 1 (the default) or one block; for "XTS-AES" handles and keys the data-unit length, a
// multiple of 16. "MessageBlockLength" in any other mode, on another key, or any other property:
// STATUS_NOT_SUPPORTED. A value out of range: STATUS_INVALID_PARAMETER. Keys take the algorithm's
// properties when they are made.
NTSTATUS BCryptSetProperty(BCRYPT_HANDLE object, const char16_t* property, const uint8_t* input, ULONG input_size,
                           ULONG flags);
// BCryptImportKey makes a key from a "KeyDataBlob" (no import key, flags 0). The key object is filled by the
// module; a null one (size 0) is allowed, a non-null one must hold "ObjectLength" bytes
// (STATUS_BUFFER_TOO_SMALL). A wrong blob or key length gives STATUS_INVALID_PARAMETER.
NTSTATUS BCryptImportKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key, const char16_t* blob_type,
                         BCRYPT_KEY_HANDLE* key, uint8_t* key_object, ULONG key_object_size, const uint8_t* input,
                         ULONG input_size, ULONG flags);
// BCryptGenerateSymmetricKey makes a key from secret bytes, as BCryptImportKey does from a blob.
NTSTATUS BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, uint8_t* key_object,
                                    ULONG key_object_size, const uint8_t* secret, ULONG secret_size, ULONG flags);
// BCryptEncrypt and BCryptDecrypt run input_size bytes (in place allowed) with flags 0 (no block padding):
// - ECB, CBC: whole blocks; CFB: whole steps of "MessageBlockLength" bytes; else STATUS_INVALID_BUFFER_SIZE.
//   CBC and CFB take a one-block IV and leave the chaining value in it; ECB ignores the IV.
// - GCM: padding_info is a BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO with a 12-byte nonce and a 12..16-byte tag.
//   With the chain-calls flag the call must be whole blocks and the running state goes to the record's MAC
//   context (16 bytes) and the 16-byte IV; the call without the flag finishes: encryption writes the tag,
//   decryption compares it and gives STATUS_AUTH_TAG_MISMATCH with the output zeroed.
// - XTS: the IV is the 8-byte little-endian number of the first data unit; the input is whole data units, the
//   last one of a call possibly shorter but at least 16 bytes (ciphertext stealing).
// A null output reports the size in *result; a smaller output gives STATUS_BUFFER_TOO_SMALL.
NTSTATUS BCryptEncrypt(BCRYPT_KEY_HANDLE key, const uint8_t* input, ULONG input_size, void* padding_info,
                       uint8_t* iv, ULONG iv_size, uint8_t* output, ULONG output_size, ULONG* result, ULONG flags);
NTSTATUS BCryptDecrypt(BCRYPT_KEY_HANDLE key, const uint8_t* input, ULONG input_size, void* padding_info,
                       uint8_t* iv, ULONG iv_size, uint8_t* output, ULONG output_size, ULONG* result, ULONG flags);
// BCryptDestroyKey closes a key handle.
NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE key);

namespace test {
// LiveCipherHandles is the number of algorithm and key handles open now.
int LiveCipherHandles();
// SetXtsAesMissing makes BCryptOpenAlgorithmProvider refuse "XTS-AES" with STATUS_NOT_FOUND, as on
// platforms without it.
void SetXtsAesMissing(bool missing);
// SetLargeKeyObjects makes "ObjectLength" answer above 1024 bytes.
void SetLargeKeyObjects(bool large);
// SetFullBlockCfbRefused makes "MessageBlockLength" of one block in CFB give STATUS_NOT_SUPPORTED.
void SetFullBlockCfbRefused(bool refused);
// ForceGcmGhashPath limits GCM's GHASH: kWide (the default) takes two blocks to an instruction where the
// processor has VPCLMULQDQ, kClmul stays on PCLMULQDQ, kPortable runs one bit at a time (with the counter
// blocks laid out as on processors without carry-less multiplication), for tests that compare the paths.
// It returns true when the processor has the path, so that GCM calls now run on it.
enum class GhashPath { kWide, kClmul, kPortable };
bool ForceGcmGhashPath(GhashPath path);
}  // namespace test

}  // namespace velmora::platform
