// The software key storage provider behind the "ncrypt" entry points (ncrypt_modules.cpp): RSA keys and
// EC keys on P-256, P-384 and P-521 (ksp_ec.h), held as OpenSSL EVP_PKEYs, and the secrets EC keys agree. A key made or imported without a name is ephemeral; a named key is, once
// finalized, a PKCS#8 DER file and a properties file under ksp/software/user/ or ksp/software/machine/ of
// the platform store root (platform/store_root.h), its name hex-encoded. Keys at rest are not encrypted:
// the files' modes (0600, folders 0700) are their only protection.
//
// The functions take the entry points' arguments after the provider handle, which the caller has
// checked. Answers beyond the platform's usual ones (our contract): unknown algorithm NTE_BAD_ALGID;
// "Length" outside 512..16384 or not a multiple of 64 NTE_INVALID_PARAMETER; a malformed blob (wrong
// magic, lengths past its end, a zero or even modulus, primes whose product is not the modulus,
// inconsistent CRT values) NTE_BAD_DATA; a private export without plain-text export (bit 2) in the
// "Export Policy" NTE_NOT_SUPPORTED (public blobs always export); the no-padding flag NTE_NOT_SUPPORTED;
// a signature that does not verify NTE_BAD_SIGNATURE; a ciphertext that does not decrypt NTE_BAD_DATA;
// a private operation on a public key NTE_NO_KEY. A null output asks for the size (for NCryptDecrypt the
// exact plaintext size). The "Length" reported is the modulus value's bit length, whatever the blob
// header said.
//
// EC keys (our contract): made by NCryptCreatePersistedKey as "ECDSA_P256", "ECDSA_P384" or "ECDSA_P521"
// (signing keys; without a name, else NTE_NOT_SUPPORTED: EC keys are never stored) or imported from an
// "ECCPUBLICBLOB" or "ECCPRIVATEBLOB", whose magic decides the use: "ECS" keys sign and verify, "ECK" keys
// agree, and the other use gives NTE_NOT_SUPPORTED, as do encryption and RSA blob types. A blob of the
// wrong kind, a key length that does not match the curve, or a point not on the curve gives NTE_BAD_DATA.
// Signatures are r || s at twice the field length (no padding information, flags 0). SecretAgreement
// takes a private and a public agreement key on one curve (NTE_INVALID_PARAMETER across curves) and
// DeriveKey derives from the secret by "TRUNCATE", "HASH", "HMAC", "TLS_PRF" or "SP800_56A_CONCAT"
// (secret_derivations.h; a derivation or hash it does not offer NTE_NOT_SUPPORTED, a malformed or
// incomplete parameter list NTE_INVALID_PARAMETER). Secret handles are freed with NCryptFreeObject.
//
// Two simulated providers share these keys (our contract). "Microsoft Platform Crypto Provider" (the
// TPM) keeps its keys under ksp/pcp/user/ or ksp/pcp/machine/; its "Export Policy" is always 0, and a
// private export succeeds only on a handle whose "PCP_MIGRATIONPASSWORD" equals the one set before the
// key was finalized (stored beside the key, unencrypted), else NTE_PERM. "Microsoft Smart Card Key
// Storage Provider" keeps each card in ksp/smartcard/<card>/ with its keys, certificates and PIN; keys
// reach a card only through test::EnrolSmartCardKey. A private operation on a card key needs a prior
// "SmartCardPin" (UTF-16, terminator counted) equal to the card's PIN: SCARD_W_WRONG_CHV when it is not,
// SCARD_W_CARD_NOT_AUTHENTICATED when none was given; its private blobs never export (NTE_PERM).
//
// Every provider stores "Key Usage" and enforces it on private operations: signing needs bit 2,
// decryption bit 1, agreement bit 4, else NTE_PERM. Named imports (a parameter list of version 0 with
// one buffer of type 45), with NCRYPT_DO_NOT_FINALIZE_FLAG, wait for NCryptFinalizeKey to be stored; EC
// keys are stored only this way. "SmartCardKeyCertificate" holds a certificate's bytes beside the key.
// Any thread.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/ncrypt_types.h"

namespace velmora::platform::ksp {

constexpr SECURITY_STATUS kNteNoKey = static_cast<SECURITY_STATUS>(0x8009000Du);

// Provider is the key storage provider a provider handle was opened for.
enum class Provider { kSoftware, kPlatformCrypto, kSmartCard };
// ProviderOfName: the provider of a name (null: the software one); false for a name no provider has.
bool ProviderOfName(const char16_t* name, Provider* provider);

SECURITY_STATUS CreatePersistedKey(Provider provider, NCRYPT_KEY_HANDLE* key, const char16_t* algorithm, const char16_t* key_name,
                                   DWORD legacy_key_spec, DWORD flags);
SECURITY_STATUS OpenKey(Provider provider, NCRYPT_KEY_HANDLE* key, const char16_t* key_name, DWORD legacy_key_spec, DWORD flags);
SECURITY_STATUS SetProperty(NCRYPT_HANDLE object, const char16_t* property, const uint8_t* input, DWORD input_size,
                            DWORD flags);
SECURITY_STATUS GetProperty(NCRYPT_HANDLE object, const char16_t* property, uint8_t* output, DWORD output_size,
                            DWORD* result, DWORD flags);
SECURITY_STATUS FinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags);
SECURITY_STATUS ExportKey(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE export_key, const char16_t* blob_type,
                          void* parameters, uint8_t* output, DWORD output_size, DWORD* result, DWORD flags);
SECURITY_STATUS ImportKey(Provider provider, NCRYPT_KEY_HANDLE import_key, const char16_t* blob_type, void* parameters,
                          NCRYPT_KEY_HANDLE* key, const uint8_t* input, DWORD input_size, DWORD flags);
SECURITY_STATUS SignHash(NCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash, DWORD hash_size,
                         uint8_t* signature, DWORD signature_size, DWORD* result, DWORD flags);
SECURITY_STATUS VerifySignature(NCRYPT_KEY_HANDLE key, void* padding_info, const uint8_t* hash, DWORD hash_size,
                                const uint8_t* signature, DWORD signature_size, DWORD flags);
SECURITY_STATUS Encrypt(NCRYPT_KEY_HANDLE key, const uint8_t* input, DWORD input_size, void* padding_info,
                        uint8_t* output, DWORD output_size, DWORD* result, DWORD flags);
SECURITY_STATUS Decrypt(NCRYPT_KEY_HANDLE key, const uint8_t* input, DWORD input_size, void* padding_info,
                        uint8_t* output, DWORD output_size, DWORD* result, DWORD flags);
SECURITY_STATUS SecretAgreement(NCRYPT_KEY_HANDLE private_key, NCRYPT_KEY_HANDLE public_key,
                                NCRYPT_SECRET_HANDLE* secret, DWORD flags);
SECURITY_STATUS DeriveKey(NCRYPT_SECRET_HANDLE secret, const char16_t* kdf, void* parameters, uint8_t* derived,
                          DWORD derived_size, DWORD* result, ULONG flags);
// DeleteKey removes a named key's files and frees the handle (also for an ephemeral key).
SECURITY_STATUS DeleteKey(NCRYPT_KEY_HANDLE key, DWORD flags);
// EnumKeys hands out the next named key of the user's (or, with the machine flag, the machine's) keys as
// an NCryptKeyName; NTE_NO_MORE_ITEMS after the last. Both the entry and *enum_state are freed with
// FreeBuffer.
SECURITY_STATUS EnumKeys(const char16_t* scope, void** key_name, void** enum_state, DWORD flags);
SECURITY_STATUS FreeBuffer(void* buffer);

// AdoptKey makes an ephemeral software-provider key of a private key (a reference is taken; RSA or EC on
// the three curves, EC keys signing ones) with the export policy 3 when exportable, else 0: 0 with *key
// set; NTE_NOT_SUPPORTED for another key type.
SECURITY_STATUS AdoptKey(EVP_PKEY* pkey, bool exportable, DWORD legacy_key_spec, NCRYPT_KEY_HANDLE* key);
// StoreKey writes a private key (RSA, or EC on the three curves) as the software provider's key of that
// name, with the export policy 3 when exportable, else 0: 0, NTE_EXISTS when the name is taken,
// NTE_NOT_SUPPORTED for another key type.
SECURITY_STATUS StoreKey(EVP_PKEY* pkey, std::u16string_view name, bool machine, bool exportable,
                         DWORD legacy_key_spec);
// DeleteStoredKey removes the files of the software provider's key of that name, if any.
void DeleteStoredKey(std::u16string_view name, bool machine);
// StoredPrivateKey reads the stored private key of that name from a provider (a card's key only with its
// PIN, UTF-16 with its terminator): a new reference, or null.
EVP_PKEY* StoredPrivateKey(Provider provider, std::u16string_view name, bool machine);

// FreeKey closes a key or secret handle: true when it was one.
bool FreeKey(NCRYPT_HANDLE key);
// LiveKeys is the number of open key and secret handles and buffers not yet freed.
int LiveKeys();

namespace test {
// LastImportedBlobHeader is the header of the last blob NCryptImportKey accepted: 24 bytes of an RSA
// blob, 8 (magic and key length) of an EC blob; empty before the first.
std::vector<uint8_t> LastImportedBlobHeader();
// EnrolSmartCardKey puts a key (PKCS#8 DER) and its certificate (DER, may be empty) on the card of that
// name under the key name, and sets the card's PIN (its UTF-16 code units, terminator not included):
// true when written.
bool EnrolSmartCardKey(std::u16string_view card, std::u16string_view pin, std::u16string_view key_name,
                       const std::vector<uint8_t>& pkcs8, const std::vector<uint8_t>& certificate);
// ForgetOpenKeys drops every open key and secret handle, as a new process would start without them.
void ForgetOpenKeys();
}  // namespace test

}  // namespace velmora::platform::ksp
