// The shapes of the hash, HMAC and key-derivation entry points of the platform's "bcrypt" module, of its
// key-pair and secret entry points, and of the "ncrypt" key storage module: handles, flags, statuses and
// the types of the entry points callers look up with GetProc. Plain data only; usable without the crypto
// modules being built.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crypto/cipher_types.h"

namespace velmora::platform {

struct BcryptHashObject;
using BCRYPT_HASH_HANDLE = BcryptHashObject*;
using BCRYPT_SECRET_HANDLE = void*;
// NCrypt handles are pointer-sized numbers; 0 is "none".
using NCRYPT_HANDLE = uintptr_t;
using NCRYPT_PROV_HANDLE = uintptr_t;
using NCRYPT_KEY_HANDLE = uintptr_t;
using NCRYPT_SECRET_HANDLE = uintptr_t;
using NCRYPT_DESCRIPTOR_HANDLE = uintptr_t;
using NCRYPT_STREAM_HANDLE = uintptr_t;

// BCryptOpenAlgorithmProvider flags of the hash algorithms.
constexpr ULONG kBcryptAlgHandleHmacFlag = 0x8;
constexpr ULONG kBcryptHashReusableFlag = 0x20;

// SECURITY_STATUS values of "ncrypt".
constexpr SECURITY_STATUS kNteBadFlags = static_cast<SECURITY_STATUS>(0x80090009u);
constexpr SECURITY_STATUS kNteProvDllNotFound = static_cast<SECURITY_STATUS>(0x8009001Du);
constexpr SECURITY_STATUS kNteInvalidHandle = static_cast<SECURITY_STATUS>(0x80090026u);
constexpr SECURITY_STATUS kNteInvalidParameter = static_cast<SECURITY_STATUS>(0x80090027u);
constexpr SECURITY_STATUS kNteNotSupported = static_cast<SECURITY_STATUS>(0x80090029u);

// The one key storage provider "ncrypt" serves here.
inline constexpr char16_t kSoftwareKeyStorageProvider[] = u"Microsoft Software Key Storage Provider";

// Hash, HMAC and PBKDF2 entry points of "bcrypt".
using BCryptCreateHashFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, uint8_t* hash_object,
                                        ULONG hash_object_size, const uint8_t* secret, ULONG secret_size, ULONG flags);
using BCryptHashDataFn = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash, const uint8_t* input, ULONG input_size, ULONG flags);
using BCryptFinishHashFn = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash, uint8_t* output, ULONG output_size, ULONG flags);
using BCryptDuplicateHashFn = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash, BCRYPT_HASH_HANDLE* duplicate,
                                           uint8_t* hash_object, ULONG hash_object_size, ULONG flags);
using BCryptDestroyHashFn = NTSTATUS (*)(BCRYPT_HASH_HANDLE hash);
using BCryptDeriveKeyPbkdf2Fn = NTSTATUS (*)(BCRYPT_ALG_HANDLE prf, const uint8_t* password, ULONG password_size,
                                             const uint8_t* salt, ULONG salt_size, ULONGLONG iterations,
                                             uint8_t* output, ULONG output_size, ULONG flags);

// Key-pair and secret entry points of "bcrypt".
using BCryptImportKeyPairFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE import_key,
                                           const char16_t* blob_type, BCRYPT_KEY_HANDLE* key, const uint8_t* input,
                                           ULONG input_size, ULONG flags);
using BCryptGenerateKeyPairFn = NTSTATUS (*)(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length,
                                             ULONG flags);
using BCryptFinalizeKeyPairFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE key, ULONG flags);
using BCryptExportKeyFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                                       uint8_t* output, ULONG output_size, ULONG* result, ULONG flags);
using BCryptSecretAgreementFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE private_key, BCRYPT_KEY_HANDLE public_key,
                                             BCRYPT_SECRET_HANDLE* secret, ULONG flags);
using BCryptDeriveKeyFn = NTSTATUS (*)(BCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters,
                                       uint8_t* derived, ULONG derived_size, ULONG* result, ULONG flags);
using BCryptDestroySecretFn = NTSTATUS (*)(BCRYPT_SECRET_HANDLE secret);
using BCryptSignHashFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* input,
                                      ULONG input_size, uint8_t* output, ULONG output_size, ULONG* result,
                                      ULONG flags);
using BCryptVerifySignatureFn = NTSTATUS (*)(BCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash,
                                             ULONG hash_size, const uint8_t* signature, ULONG signature_size,
                                             ULONG flags);

// Entry points of "ncrypt".
using NCryptOpenStorageProviderFn = SECURITY_STATUS (*)(NCRYPT_PROV_HANDLE* provider, const char16_t* name,
                                                        DWORD flags);
using NCryptFreeObjectFn = SECURITY_STATUS (*)(NCRYPT_HANDLE object);
using NCryptCreatePersistedKeyFn = SECURITY_STATUS (*)(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key,
                                                       const char16_t* algorithm, const char16_t* key_name,
                                                       DWORD legacy_key_spec, DWORD flags);
using NCryptOpenKeyFn = SECURITY_STATUS (*)(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key,
                                            const char16_t* key_name, DWORD legacy_key_spec, DWORD flags);
using NCryptSetPropertyFn = SECURITY_STATUS (*)(NCRYPT_HANDLE object, const char16_t* property, const uint8_t* input,
                                                DWORD input_size, DWORD flags);
using NCryptGetPropertyFn = SECURITY_STATUS (*)(NCRYPT_HANDLE object, const char16_t* property, uint8_t* output,
                                                DWORD output_size, DWORD* result, DWORD flags);
using NCryptFinalizeKeyFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, DWORD flags);
using NCryptExportKeyFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE export_key,
                                              const char16_t* blob_type, void* parameters, uint8_t* output,
                                              DWORD output_size, DWORD* result, DWORD flags);
using NCryptImportKeyFn = SECURITY_STATUS (*)(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE import_key,
                                              const char16_t* blob_type, void* parameters, NCRYPT_KEY_HANDLE* key,
                                              const uint8_t* input, DWORD input_size, DWORD flags);
using NCryptSignHashFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash,
                                             DWORD hash_size, uint8_t* signature, DWORD signature_size,
                                             DWORD* result, DWORD flags);
using NCryptVerifySignatureFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash,
                                                    DWORD hash_size, const uint8_t* signature,
                                                    DWORD signature_size, DWORD flags);
using NCryptSecretAgreementFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE private_key, NCRYPT_KEY_HANDLE public_key,
                                                    NCRYPT_SECRET_HANDLE* secret, DWORD flags);
using NCryptDeriveKeyFn = SECURITY_STATUS (*)(NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters,
                                              uint8_t* derived, DWORD derived_size, DWORD* result, ULONG flags);
using NCryptTranslateHandleFn = SECURITY_STATUS (*)(NCRYPT_PROV_HANDLE* provider, NCRYPT_KEY_HANDLE* key,
                                                    uintptr_t legacy_provider, uintptr_t legacy_key,
                                                    DWORD legacy_key_spec, DWORD flags);
// NCryptEncrypt and NCryptDecrypt share one shape.
using NCryptCipherFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, const uint8_t* input, DWORD input_size,
                                           void* padding_info, uint8_t* output, DWORD output_size, DWORD* result,
                                           DWORD flags);
using NCryptDeleteKeyFn = SECURITY_STATUS (*)(NCRYPT_KEY_HANDLE key, DWORD flags);
using NCryptEnumKeysFn = SECURITY_STATUS (*)(NCRYPT_PROV_HANDLE provider, const char16_t* scope, void** key_name,
                                             void** enum_state, DWORD flags);
using NCryptFreeBufferFn = SECURITY_STATUS (*)(void* buffer);
using NCryptCreateProtectionDescriptorFn = SECURITY_STATUS (*)(const char16_t* rule, DWORD flags,
                                                               NCRYPT_DESCRIPTOR_HANDLE* descriptor);
using NCryptCloseProtectionDescriptorFn = SECURITY_STATUS (*)(NCRYPT_DESCRIPTOR_HANDLE descriptor);
using NCryptProtectSecretFn = SECURITY_STATUS (*)(NCRYPT_DESCRIPTOR_HANDLE descriptor, DWORD flags,
                                                  const uint8_t* data, ULONG data_size, const void* memory_para,
                                                  void* window, uint8_t** protected_blob, ULONG* protected_size);
using NCryptUnprotectSecretFn = SECURITY_STATUS (*)(NCRYPT_DESCRIPTOR_HANDLE* descriptor, DWORD flags,
                                                    const uint8_t* protected_blob, ULONG protected_size,
                                                    const void* memory_para, void* window, uint8_t** data,
                                                    ULONG* data_size);
using NCryptGetProtectionDescriptorInfoFn = SECURITY_STATUS (*)(NCRYPT_DESCRIPTOR_HANDLE descriptor,
                                                                const void* memory_para, DWORD info_type,
                                                                void** info);
using NCryptStreamOpenFn = SECURITY_STATUS (*)(NCRYPT_DESCRIPTOR_HANDLE descriptor, DWORD flags, void* window,
                                               void* stream_info, NCRYPT_STREAM_HANDLE* stream);
using NCryptStreamOpenToUnprotectFn = SECURITY_STATUS (*)(void* stream_info, DWORD flags, void* window,
                                                          NCRYPT_STREAM_HANDLE* stream);
using NCryptStreamUpdateFn = SECURITY_STATUS (*)(NCRYPT_STREAM_HANDLE stream, const uint8_t* data, std::size_t data_size,
                                                 BOOL final);
using NCryptStreamCloseFn = SECURITY_STATUS (*)(NCRYPT_STREAM_HANDLE stream);

}  // namespace velmora::platform
