// The shapes of the symmetric-cipher entry points of the platform's "bcrypt" module: key handles, the
// authenticated-cipher mode record, key blob header, property and algorithm names, statuses, and the
// types of the entry points callers look up with GetProc. Plain data only; usable without the crypto
// modules being built.
#pragma once

#include <cstdint>

#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

struct BcryptKeyObject;
using BCRYPT_KEY_HANDLE = BcryptKeyObject*;
// BCRYPT_HANDLE is either an algorithm or a key handle (the property functions take both).
using BCRYPT_HANDLE = void*;

// BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO, as the platform lays it out (88 bytes on 64-bit systems). For
// chained calls the module keeps its running state in the caller's record: the MAC context holds the
// GHASH accumulator, cbAAD and cbData the lengths so far, and the IV handed to the call the counter.
struct BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO {
  ULONG cbSize;
  ULONG dwInfoVersion;
  uint8_t* pbNonce;
  ULONG cbNonce;
  uint8_t* pbAuthData;
  ULONG cbAuthData;
  uint8_t* pbTag;
  ULONG cbTag;
  uint8_t* pbMacContext;
  ULONG cbMacContext;
  ULONG cbAAD;
  ULONGLONG cbData;
  ULONG dwFlags;
};

constexpr ULONG kBcryptAuthModeInfoVersion = 1;
constexpr ULONG kBcryptAuthModeChainCalls = 0x1;
constexpr ULONG kBcryptAuthModeInProgress = 0x2;

// Header of a "KeyDataBlob": magic 'KDBM', version 1, key length, then the key bytes.
constexpr ULONG kBcryptKeyDataBlobMagic = 0x4D42444Bu;
constexpr ULONG kBcryptKeyDataBlobVersion1 = 1;
constexpr ULONG kBcryptKeyDataBlobHeaderSize = 12;

// Statuses of the symmetric entry points beyond those of platform/win_codes.h.
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017u);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023u);
constexpr NTSTATUS kStatusInvalidBufferSize = static_cast<NTSTATUS>(0xC0000206u);
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225u);
constexpr NTSTATUS kStatusAuthTagMismatch = static_cast<NTSTATUS>(0xC000A002u);

// Entry points of "bcrypt", as GetProc returns them.
using BCryptOpenAlgorithmProviderFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE* algorithm, const char16_t* algorithm_id,
                                                   const char16_t* implementation, ULONG flags);
using BCryptCloseAlgorithmProviderFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, ULONG flags);
using BCryptGetPropertyFn = NTSTATUS (*)(BCRYPT_HANDLE object, const char16_t* property, uint8_t* output,
                                         ULONG output_size, ULONG* result, ULONG flags);
using BCryptSetPropertyFn = NTSTATUS (*)(BCRYPT_HANDLE object, const char16_t* property, const uint8_t* input,
                                         ULONG input_size, ULONG flags);
using BCryptImportKeyFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key,
                                       const char16_t* blob_type, BCRYPT_KEY_HANDLE* key, uint8_t* key_object,
                                       ULONG key_object_size, const uint8_t* input, ULONG input_size, ULONG flags);
using BCryptGenerateSymmetricKeyFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key,
                                                  uint8_t* key_object, ULONG key_object_size, const uint8_t* secret,
                                                  ULONG secret_size, ULONG flags);
// BCryptEncrypt and BCryptDecrypt share one shape.
using BCryptCipherFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE key, const uint8_t* input, ULONG input_size, void* padding_info,
                                    uint8_t* iv, ULONG iv_size, uint8_t* output, ULONG output_size, ULONG* result,
                                    ULONG flags);
using BCryptDestroyKeyFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE key);

}  // namespace velmora::platform
