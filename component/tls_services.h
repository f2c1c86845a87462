// What the socket layer needs of the certificate-store and transport-security services: the run-time
// table of the certificate module ("crypt32"), the process-wide table of security-provider functions, the
// transport-security defaults a socket component starts with and the release of its credentials.
//
// NOTE: the certificate module ("crypt32") and the security provider ("secur32") are present only in builds
// with the platform crypto modules; without them the entries stay null and the function table zero. The
// code keeps the "pointer may be null" paths that a machine without them takes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crypto/secur32_types.h"
#include "platform/crypto/cert_types.h"

namespace velmora::component {

class SocketBase;

// SecurityHandle is a credential or security-context handle of the security provider; all zero: none.
using SecurityHandle = platform::SecHandle;

using AcquireCredentialsHandleFn = platform::AcquireCredentialsHandleAFn;
using FreeCredentialsHandleFn = platform::FreeCredentialsHandleFn;
using DeleteSecurityContextFn = platform::DeleteSecurityContextFn;
using QueryContextAttributesFn = platform::QueryContextAttributesAFn;

// SecurityFunctionTable is the 256-byte function table a security provider hands out; a zero member means
// "not loaded". The transport-security code calls through acquire_credentials_handle,
// free_credentials_handle, delete_security_context and query_context_attributes.
using SecurityFunctionTable = platform::SecurityFunctionTableA;

// SecurityFunctions is the process-wide copy of the provider's table, filled by the socket layer's
// start-up (SocketBase::LoadOptionalSystemModules). Read it only while no start-up or tear-down runs.
SecurityFunctionTable& SecurityFunctions();

// ---- The certificate module's function table ----
// A process-wide table of the "crypt32" module's handle and 43 entry points, filled once by the socket
// layer's start-up and emptied by its tear-down; read-only in between, so any thread may call through it.

// kCrypt32EntryCount is the number of entries; they are numbered from 1 in the order they are resolved.
constexpr int kCrypt32EntryCount = 43;
// Crypt32EntryName gives the name entry `number` is resolved by (entry 25 is "CryptAcquireContextU", which
// the platform's module does not export), or null outside 1..43.
const char* Crypt32EntryName(int number);
// Crypt32Entry gives the function held by entry `number`, or null when it is empty (or outside 1..43).
void* Crypt32Entry(int number);
// LoadCrypt32Functions loads the "crypt32" module when it is not loaded and resolves the 43 entries in
// order; a module that is missing leaves the handle and every entry empty, so the next call tries again.
// Once loaded, further calls change nothing. Called by the socket layer's start-up, before other threads.
void LoadCrypt32Functions();
// UnloadCrypt32Functions frees the module when it was loaded and empties the table (socket tear-down).
void UnloadCrypt32Functions();

// The forwarding operations, one per entry: each passes its arguments unchanged to the entry and returns
// its result, or returns 0 (FALSE, null, length 0) without calling anything when the entry is empty.
// CertFreeCertificateChain, whose entry returns nothing, returns 1 when it was called.
platform::PCCERT_CONTEXT CertDuplicateCertificateContext(platform::PCCERT_CONTEXT context);
platform::BOOL CertFreeCertificateContext(platform::PCCERT_CONTEXT context);
platform::BOOL CertCloseStore(platform::HCERTSTORE store, platform::DWORD flags);
platform::DWORD CertNameToStrA(platform::DWORD encoding, const platform::CERT_NAME_BLOB* name,
                               platform::DWORD string_type, char* out, platform::DWORD out_chars);
platform::PCCERT_CONTEXT CertFindCertificateInStore(platform::HCERTSTORE store, platform::DWORD encoding,
                                                    platform::DWORD find_flags, platform::DWORD find_type,
                                                    const void* find_para, platform::PCCERT_CONTEXT previous);
platform::BOOL CertStrToNameA(platform::DWORD encoding, const char* text, platform::DWORD string_type, void* reserved,
                              uint8_t* out, platform::DWORD* out_len, const char** error_at);
platform::HCERTSTORE CertOpenSystemStoreA(platform::HCRYPTPROV provider, const char* name);
platform::HCERTSTORE CertOpenStore(const char* store_provider, platform::DWORD encoding,
                                   platform::HCRYPTPROV provider, platform::DWORD flags, const void* para);
platform::BOOL CertVerifyCertificateChainPolicy(const char* policy, const platform::CERT_CHAIN_CONTEXT* chain,
                                                platform::CERT_CHAIN_POLICY_PARA* para,
                                                platform::CERT_CHAIN_POLICY_STATUS* status);
platform::BOOL CertGetCertificateChain(platform::HCERTCHAINENGINE engine, platform::PCCERT_CONTEXT context,
                                       const platform::FILETIME* time, platform::HCERTSTORE additional,
                                       const platform::CERT_CHAIN_PARA* para, platform::DWORD flags, void* reserved,
                                       const platform::CERT_CHAIN_CONTEXT** chain);
platform::BOOL CertFreeCertificateChain(const platform::CERT_CHAIN_CONTEXT* chain);
platform::BOOL CertEnumSystemStore(platform::DWORD flags, void* location_para, void* arg,
                                   platform::CertEnumSystemStoreCallback callback);
platform::DWORD CertGetPublicKeyLength(platform::DWORD encoding, const platform::CERT_PUBLIC_KEY_INFO* key);
platform::BOOL CertGetIntendedKeyUsage(platform::DWORD encoding, const platform::CERT_INFO* info, uint8_t* usage,
                                       platform::DWORD usage_len);
platform::PCCERT_CONTEXT CertCreateCertificateContext(platform::DWORD encoding, const uint8_t* encoded,
                                                      platform::DWORD encoded_len);
platform::BOOL CertGetCertificateContextProperty(platform::PCCERT_CONTEXT context, platform::DWORD property,
                                                 void* data, platform::DWORD* data_len);
platform::BOOL CryptEncryptMessage(const platform::CRYPT_ENCRYPT_MESSAGE_PARA* para, platform::DWORD recipient_count,
                                   platform::PCCERT_CONTEXT* recipients, const uint8_t* in, platform::DWORD in_len,
                                   uint8_t* out, platform::DWORD* out_len);
platform::BOOL CryptSignMessage(const platform::CRYPT_SIGN_MESSAGE_PARA* para, platform::BOOL detached,
                                platform::DWORD count, const uint8_t** parts, platform::DWORD* part_lens, uint8_t* out,
                                platform::DWORD* out_len);
platform::BOOL CryptSignAndEncryptMessage(const platform::CRYPT_SIGN_MESSAGE_PARA* sign_para,
                                          const platform::CRYPT_ENCRYPT_MESSAGE_PARA* encrypt_para,
                                          platform::DWORD recipient_count, platform::PCCERT_CONTEXT* recipients,
                                          const uint8_t* in, platform::DWORD in_len, uint8_t* out,
                                          platform::DWORD* out_len);
platform::BOOL CryptDecryptMessage(const platform::CRYPT_DECRYPT_MESSAGE_PARA* para, const uint8_t* in,
                                   platform::DWORD in_len, uint8_t* out, platform::DWORD* out_len,
                                   platform::PCCERT_CONTEXT* exchange_cert);
platform::BOOL CryptDecryptAndVerifyMessageSignature(const platform::CRYPT_DECRYPT_MESSAGE_PARA* decrypt_para,
                                                     const platform::CRYPT_VERIFY_MESSAGE_PARA* verify_para,
                                                     platform::DWORD signer_index, const uint8_t* in,
                                                     platform::DWORD in_len, uint8_t* out, platform::DWORD* out_len,
                                                     platform::PCCERT_CONTEXT* exchange_cert,
                                                     platform::PCCERT_CONTEXT* signer);
platform::BOOL CryptVerifyDetachedMessageSignature(const platform::CRYPT_VERIFY_MESSAGE_PARA* para,
                                                   platform::DWORD signer_index, const uint8_t* signature,
                                                   platform::DWORD signature_len, platform::DWORD count,
                                                   const uint8_t** parts, platform::DWORD* part_lens,
                                                   platform::PCCERT_CONTEXT* signer);
platform::BOOL CryptVerifyMessageSignature(const platform::CRYPT_VERIFY_MESSAGE_PARA* para,
                                           platform::DWORD signer_index, const uint8_t* in, platform::DWORD in_len,
                                           uint8_t* out, platform::DWORD* out_len, platform::PCCERT_CONTEXT* signer);
platform::BOOL CertDeleteCertificateFromStore(platform::PCCERT_CONTEXT context);
platform::BOOL CryptAcquireContextU(platform::HCRYPTPROV* provider, const char16_t* container,
                                    const char16_t* provider_name, platform::DWORD provider_type,
                                    platform::DWORD flags);
platform::HCERTSTORE PFXImportCertStore(platform::CRYPT_DATA_BLOB* pfx, const char16_t* password,
                                        platform::DWORD flags);
platform::BOOL PFXExportCertStore(platform::HCERTSTORE store, platform::CRYPT_DATA_BLOB* pfx, const char16_t* password,
                                  platform::DWORD flags);
platform::BOOL CryptAcquireCertificatePrivateKey(platform::PCCERT_CONTEXT context, platform::DWORD flags, void* para,
                                                 platform::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* key,
                                                 platform::DWORD* key_spec, platform::BOOL* caller_must_free);
platform::BOOL CertSetCertificateContextProperty(platform::PCCERT_CONTEXT context, platform::DWORD property,
                                                 platform::DWORD flags, const void* data);
platform::BOOL CertAddEncodedCertificateToStore(platform::HCERTSTORE store, platform::DWORD encoding,
                                                const uint8_t* encoded, platform::DWORD encoded_len,
                                                platform::DWORD disposition, platform::PCCERT_CONTEXT* added);
platform::BOOL CertAddCertificateContextToStore(platform::HCERTSTORE store, platform::PCCERT_CONTEXT context,
                                                platform::DWORD disposition, platform::PCCERT_CONTEXT* added);
platform::BOOL CryptSignAndEncodeCertificate(platform::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, platform::DWORD key_spec,
                                             platform::DWORD encoding, const char* struct_type,
                                             const void* struct_info,
                                             const platform::CRYPT_ALGORITHM_IDENTIFIER* signature_algorithm,
                                             const void* hash_aux, uint8_t* out, platform::DWORD* out_len);
platform::BOOL CryptExportPublicKeyInfo(platform::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, platform::DWORD key_spec,
                                        platform::DWORD encoding, platform::CERT_PUBLIC_KEY_INFO* info,
                                        platform::DWORD* info_len);
platform::BOOL CryptEncodeObject(platform::DWORD encoding, const char* struct_type, const void* struct_info,
                                 uint8_t* out, platform::DWORD* out_len);
platform::BOOL CryptDecodeObject(platform::DWORD encoding, const char* struct_type, const uint8_t* in,
                                 platform::DWORD in_len, platform::DWORD flags, void* out, platform::DWORD* out_len);
const platform::CRYPT_OID_INFO* CryptFindOIDInfo(platform::DWORD key_type, const void* key, platform::DWORD group);
platform::HCRYPTMSG CryptMsgOpenToDecode(platform::DWORD encoding, platform::DWORD flags, platform::DWORD message_type,
                                         platform::HCRYPTPROV provider, platform::CERT_INFO* recipient,
                                         platform::CMSG_STREAM_INFO* stream);
platform::BOOL CryptMsgUpdate(platform::HCRYPTMSG message, const uint8_t* in, platform::DWORD in_len,
                              platform::BOOL final);
platform::BOOL CryptMsgGetParam(platform::HCRYPTMSG message, platform::DWORD param, platform::DWORD index, void* out,
                                platform::DWORD* out_len);
platform::BOOL CryptMsgClose(platform::HCRYPTMSG message);
platform::BOOL CryptVerifyCertificateSignature(platform::HCRYPTPROV provider, platform::DWORD encoding,
                                               const uint8_t* encoded, platform::DWORD encoded_len,
                                               platform::CERT_PUBLIC_KEY_INFO* key);
platform::LONG CertVerifyTimeValidity(const platform::FILETIME* time, const platform::CERT_INFO* info);
platform::BOOL CryptImportPublicKeyInfo(platform::HCRYPTPROV provider, platform::DWORD encoding,
                                        platform::CERT_PUBLIC_KEY_INFO* info, platform::HCRYPTKEY* key);
// ---- end of the certificate module's function table ----

// SetTlsDefaults writes the transport-security defaults of a socket component (provider name, store "MY",
// cipher strength 40, protocols 4032, renegotiation on, flags and credentials cleared, the accepted
// algorithm list "*" and the PEM label "CERTIFICATE") and returns 1. It leaves ReuseSSLSession alone.
int SetTlsDefaults(SocketBase& socket);
// FreeTlsCredentials releases the component's credential handle through the loaded function table and
// zeroes it; without the table's FreeCredentialsHandle the handle is left as it is.
void FreeTlsCredentials(SocketBase& socket);

}  // namespace velmora::component
