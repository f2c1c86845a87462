// The shapes of the platform's certificate module ("crypt32"): certificate contexts with their partial
// certificate information, key-provider information, store handles, the constants the callers pass, the
// module's status codes, and the types of its 43 entry points as callers look them up with GetProc. Plain
// data only; usable without the crypto modules being built.
#pragma once

#include <cstdint>

#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

using LONG = int32_t;

// A store handle (null: none), a message handle, a chain engine handle.
using HCERTSTORE = void*;
using HCRYPTMSG = void*;
using HCERTCHAINENGINE = void*;
// A CryptoAPI provider or a key-storage key handle, as CryptAcquireCertificatePrivateKey hands out.
using HCRYPTPROV_OR_NCRYPT_KEY_HANDLE = uintptr_t;
using HCRYPTKEY = uintptr_t;

// CRYPT_DATA_BLOB and its aliases: cbData bytes at pbData.
struct CRYPT_DATA_BLOB {
  DWORD cbData;
  uint8_t* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPT_DATA_BLOB;
using CRYPT_HASH_BLOB = CRYPT_DATA_BLOB;
using CRYPT_OBJID_BLOB = CRYPT_DATA_BLOB;
using CERT_NAME_BLOB = CRYPT_DATA_BLOB;

// FILETIME counts 100-nanosecond intervals since 1601-01-01 00:00 UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
  char* pszObjId;  // dotted decimal
  CRYPT_OBJID_BLOB Parameters;  // DER of the parameters, none when empty
};

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  uint8_t* pbData;
  DWORD cUnusedBits;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION;

// CERT_INFO is the decoded certificate. SerialNumber is little-endian (the DER content bytes reversed);
// Issuer and Subject hold the DER Names as encoded.
struct CERT_INFO {
  DWORD dwVersion;  // 0 for v1, 2 for v3
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  CERT_EXTENSION* rgExtension;
};

// CERT_CONTEXT is a certificate as the module hands it out: read-only to callers, alive until its last
// reference is freed.
struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  uint8_t* pbCertEncoded;
  DWORD cbCertEncoded;
  CERT_INFO* pCertInfo;
  HCERTSTORE hCertStore;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  uint8_t* pbData;
  DWORD cbData;
  DWORD dwFlags;
};

// CRYPT_KEY_PROV_INFO names the key container of a certificate's private key (property 2).
struct CRYPT_KEY_PROV_INFO {
  char16_t* pwszContainerName;
  char16_t* pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  CRYPT_KEY_PROV_PARAM* rgProvParam;
  DWORD dwKeySpec;  // 0: the information names no key
};

// CERT_TRUST_STATUS: the error bits (what is wrong) and the information bits (what was found) of a chain
// element, a simple chain or a whole chain context.
struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
};

// Error bits.
constexpr DWORD kTrustIsNotTimeValid = 0x1;
constexpr DWORD kTrustIsNotSignatureValid = 0x8;
constexpr DWORD kTrustIsNotValidForUsage = 0x10;
constexpr DWORD kTrustIsUntrustedRoot = 0x20;
constexpr DWORD kTrustIsCyclic = 0x80;
constexpr DWORD kTrustInvalidExtension = 0x100;
constexpr DWORD kTrustInvalidPolicyConstraints = 0x200;
constexpr DWORD kTrustInvalidBasicConstraints = 0x400;
constexpr DWORD kTrustInvalidNameConstraints = 0x800;
constexpr DWORD kTrustHasNotSupportedNameConstraint = 0x1000;
constexpr DWORD kTrustHasNotDefinedNameConstraint = 0x2000;
constexpr DWORD kTrustHasNotPermittedNameConstraint = 0x4000;
constexpr DWORD kTrustHasExcludedNameConstraint = 0x8000;
constexpr DWORD kTrustIsPartialChain = 0x10000;
// Information bits.
constexpr DWORD kTrustHasExactMatchIssuer = 0x1;
constexpr DWORD kTrustHasKeyMatchIssuer = 0x2;
constexpr DWORD kTrustHasNameMatchIssuer = 0x4;
constexpr DWORD kTrustIsSelfSigned = 0x8;

// CERT_CHAIN_ELEMENT is one certificate of a chain with its own status.
struct CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
};

// CERT_SIMPLE_CHAIN runs from the end certificate (element 0) towards its root.
struct CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  CERT_CHAIN_ELEMENT** rgpElement;
};

// CERT_CHAIN_CONTEXT is a built chain: read-only to callers, alive until CertFreeCertificateChain.
struct CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  CERT_SIMPLE_CHAIN** rgpChain;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

// CERT_USAGE_MATCH asks for usages (OIDs, all of them or any: dwType 0 or 1); none asked when cUsage is 0.
struct CERT_USAGE_MATCH {
  DWORD dwType;
  DWORD cUsageIdentifier;
  char** rgpszUsageIdentifier;
};

// CERT_CHAIN_PARA: callers zero it and set cbSize.
struct CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
};

// SSL_EXTRA_CERT_CHAIN_POLICY_PARA carries the SSL policy's extra parameters: the side being
// authenticated (kAuthTypeClient 1, kAuthTypeServer 2), checks to skip, and the server name (UTF-16,
// terminated; null: no name check).
struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwAuthType;
  DWORD fdwChecks;
  char16_t* pwszServerName;
};
constexpr DWORD kAuthTypeClient = 1;
constexpr DWORD kAuthTypeServer = 2;

// CERT_CHAIN_POLICY_PARA: flags (the ignore bits below) and the policy's extra parameters.
struct CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;
};
// Ignore bits of the policy flags.
constexpr DWORD kPolicyIgnoreNotTimeValid = 0x1;
constexpr DWORD kPolicyIgnoreInvalidBasicConstraints = 0x8;
constexpr DWORD kPolicyAllowUnknownCa = 0x10;
constexpr DWORD kPolicyIgnoreWrongUsage = 0x20;
constexpr DWORD kPolicyIgnoreInvalidName = 0x40;

// CERT_CHAIN_POLICY_STATUS: the policy's verdict (dwError 0: accepted) and the chain and element index
// it concerns (-1 when none).
struct CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  LONG lChainIndex;
  LONG lElementIndex;
  void* pvExtraPolicyStatus;
};
// The SSL policy, as the policy argument (a small number in place of a name).
constexpr uintptr_t kCertChainPolicySsl = 4;

// Structures only passed through by the entry points that are not served here.
struct CRYPT_OID_INFO;
struct CRYPT_ENCRYPT_MESSAGE_PARA;
struct CRYPT_DECRYPT_MESSAGE_PARA;
struct CRYPT_SIGN_MESSAGE_PARA;
struct CRYPT_VERIFY_MESSAGE_PARA;
struct CMSG_STREAM_INFO;

// Encoding types: certificates are accepted as X509 alone (1) or with PKCS #7 (0x10001).
constexpr DWORD kX509AsnEncoding = 0x1;
constexpr DWORD kPkcs7AsnEncoding = 0x10000;
// Store providers (the first argument of CertOpenStore is a small number or a name).
constexpr uintptr_t kCertStoreProvMemory = 2;
constexpr uintptr_t kCertStoreProvSystemA = 9;
// Find types of CertFindCertificateInStore.
constexpr DWORD kCertFindAny = 0;
constexpr DWORD kCertFindSha1Hash = 0x10000;
constexpr DWORD kCertFindSubjectName = 0x20007;    // find_para: a CERT_NAME_BLOB, compared byte for byte
constexpr DWORD kCertFindSubjectStrA = 0x70007;    // find_para: narrow text, a substring of the simple name
// CertNameToStrA / CertStrToNameA string types and flags.
constexpr DWORD kCertSimpleNameStr = 1;
constexpr DWORD kCertOidNameStr = 2;
constexpr DWORD kCertX500NameStr = 3;
constexpr DWORD kCertNameStrReverseFlag = 0x2000000;
constexpr DWORD kCertNameStrNoPlusFlag = 0x20000000;
// PFXImportCertStore / PFXExportCertStore flags.
constexpr DWORD kPfxExportable = 0x1;
constexpr DWORD kPfxMachineKeyset = 0x20;
constexpr DWORD kPfxReportNoPrivateKey = 0x1;
constexpr DWORD kPfxReportNotAbleToExport = 0x2;
constexpr DWORD kPfxExportPrivateKeys = 0x4;
// CryptAcquireCertificatePrivateKey flags: keep the handle with the context; NCrypt keys allowed, preferred.
constexpr DWORD kCryptAcquireCacheFlag = 0x1;
constexpr DWORD kCryptAcquirePreferNcryptKeyFlag = 0x20000;
// Add dispositions.
constexpr DWORD kCertStoreAddNew = 1;
constexpr DWORD kCertStoreAddUseExisting = 2;
constexpr DWORD kCertStoreAddReplaceExisting = 3;
constexpr DWORD kCertStoreAddAlways = 4;
constexpr DWORD kCertStoreAddNewer = 5;
// CertOpenStore flags of system stores: the location, and how the store is opened.
constexpr DWORD kCertSystemStoreCurrentUser = 0x10000;
constexpr DWORD kCertSystemStoreLocalMachine = 0x20000;
constexpr DWORD kCertSystemStoreLocationMask = 0xFF0000;
constexpr DWORD kCertStoreOpenExistingFlag = 0x4000;
constexpr DWORD kCertStoreReadOnlyFlag = 0x8000;
// Context properties served here.
constexpr DWORD kCertKeyProvInfoPropId = 2;
constexpr DWORD kCertSha1HashPropId = 3;
constexpr DWORD kCertKeySpecPropId = 6;
constexpr DWORD kCertFriendlyNamePropId = 11;

// Last-error values of the module.
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kENotImpl = 0x80004001u;
constexpr uint32_t kEAccessDenied = 0x80070005u;
constexpr uint32_t kErrorInvalidPassword = 0x56;
constexpr uint32_t kCryptEBadDecode = 0x80092002u;
constexpr uint32_t kCryptEFileError = 0x80092003u;
constexpr uint32_t kCryptEInvalidX500String = 0x80092023u;
constexpr uint32_t kNtePermCode = 0x80090010u;
constexpr uint32_t kEOutOfMemory = 0x8007000Eu;
constexpr uint32_t kEInvalidArg = 0x80070057u;
constexpr uint32_t kCryptENotFound = 0x80092004u;
constexpr uint32_t kCryptEExists = 0x80092005u;
constexpr uint32_t kCryptENoKeyProperty = 0x8009200Bu;
constexpr uint32_t kCryptEAsn1Corrupt = 0x80093100u;
constexpr uint32_t kCryptEAsn1Eod = 0x80093102u;
constexpr uint32_t kCryptEAsn1Badtag = 0x8009310Bu;

// The entry points of "crypt32", in the order of the caller's table.
using CertDuplicateCertificateContextFn = PCCERT_CONTEXT (*)(PCCERT_CONTEXT context);
using CertFreeCertificateContextFn = BOOL (*)(PCCERT_CONTEXT context);
using CertCloseStoreFn = BOOL (*)(HCERTSTORE store, DWORD flags);
using CertNameToStrAFn = DWORD (*)(DWORD encoding, const CERT_NAME_BLOB* name, DWORD string_type, char* out,
                                   DWORD out_chars);
using CertFindCertificateInStoreFn = PCCERT_CONTEXT (*)(HCERTSTORE store, DWORD encoding, DWORD find_flags,
                                                        DWORD find_type, const void* find_para,
                                                        PCCERT_CONTEXT previous);
using CertStrToNameAFn = BOOL (*)(DWORD encoding, const char* text, DWORD string_type, void* reserved,
                                  uint8_t* out, DWORD* out_len, const char** error_at);
using CertOpenSystemStoreAFn = HCERTSTORE (*)(HCRYPTPROV provider, const char* name);
using CertOpenStoreFn = HCERTSTORE (*)(const char* store_provider, DWORD encoding, HCRYPTPROV provider, DWORD flags,
                                       const void* para);
using CertVerifyCertificateChainPolicyFn = BOOL (*)(const char* policy, const CERT_CHAIN_CONTEXT* chain,
                                                    CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status);
using CertGetCertificateChainFn = BOOL (*)(HCERTCHAINENGINE engine, PCCERT_CONTEXT context, const FILETIME* time,
                                           HCERTSTORE additional, const CERT_CHAIN_PARA* para, DWORD flags,
                                           void* reserved, const CERT_CHAIN_CONTEXT** chain);
using CertFreeCertificateChainFn = void (*)(const CERT_CHAIN_CONTEXT* chain);
using CertEnumSystemStoreCallback = BOOL (*)(const void* name, DWORD flags, void* info, void* reserved, void* arg);
using CertEnumSystemStoreFn = BOOL (*)(DWORD flags, void* location_para, void* arg,
                                       CertEnumSystemStoreCallback callback);
using CertGetPublicKeyLengthFn = DWORD (*)(DWORD encoding, const CERT_PUBLIC_KEY_INFO* key);
using CertGetIntendedKeyUsageFn = BOOL (*)(DWORD encoding, const CERT_INFO* info, uint8_t* usage, DWORD usage_len);
using CertCreateCertificateContextFn = PCCERT_CONTEXT (*)(DWORD encoding, const uint8_t* encoded, DWORD encoded_len);
using CertGetCertificateContextPropertyFn = BOOL (*)(PCCERT_CONTEXT context, DWORD property, void* data,
                                                     DWORD* data_len);
using CryptEncryptMessageFn = BOOL (*)(const CRYPT_ENCRYPT_MESSAGE_PARA* para, DWORD recipient_count,
                                       PCCERT_CONTEXT* recipients, const uint8_t* in, DWORD in_len, uint8_t* out,
                                       DWORD* out_len);
using CryptSignMessageFn = BOOL (*)(const CRYPT_SIGN_MESSAGE_PARA* para, BOOL detached, DWORD count,
                                    const uint8_t** parts, DWORD* part_lens, uint8_t* out, DWORD* out_len);
using CryptSignAndEncryptMessageFn = BOOL (*)(const CRYPT_SIGN_MESSAGE_PARA* sign_para,
                                              const CRYPT_ENCRYPT_MESSAGE_PARA* encrypt_para, DWORD recipient_count,
                                              PCCERT_CONTEXT* recipients, const uint8_t* in, DWORD in_len,
                                              uint8_t* out, DWORD* out_len);
using CryptDecryptMessageFn = BOOL (*)(const CRYPT_DECRYPT_MESSAGE_PARA* para, const uint8_t* in, DWORD in_len,
                                       uint8_t* out, DWORD* out_len, PCCERT_CONTEXT* exchange_cert);
using CryptDecryptAndVerifyMessageSignatureFn = BOOL (*)(const CRYPT_DECRYPT_MESSAGE_PARA* decrypt_para,
                                                         const CRYPT_VERIFY_MESSAGE_PARA* verify_para,
                                                         DWORD signer_index, const uint8_t* in, DWORD in_len,
                                                         uint8_t* out, DWORD* out_len, PCCERT_CONTEXT* exchange_cert,
                                                         PCCERT_CONTEXT* signer);
using CryptVerifyDetachedMessageSignatureFn = BOOL (*)(const CRYPT_VERIFY_MESSAGE_PARA* para, DWORD signer_index,
                                                       const uint8_t* signature, DWORD signature_len, DWORD count,
                                                       const uint8_t** parts, DWORD* part_lens,
                                                       PCCERT_CONTEXT* signer);
using CryptVerifyMessageSignatureFn = BOOL (*)(const CRYPT_VERIFY_MESSAGE_PARA* para, DWORD signer_index,
                                               const uint8_t* in, DWORD in_len, uint8_t* out, DWORD* out_len,
                                               PCCERT_CONTEXT* signer);
using CertDeleteCertificateFromStoreFn = BOOL (*)(PCCERT_CONTEXT context);
using CryptAcquireContextUFn = BOOL (*)(HCRYPTPROV* provider, const char16_t* container, const char16_t* provider_name,
                                        DWORD provider_type, DWORD flags);
using PFXImportCertStoreFn = HCERTSTORE (*)(CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags);
using PFXExportCertStoreFn = BOOL (*)(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags);
using CryptAcquireCertificatePrivateKeyFn = BOOL (*)(PCCERT_CONTEXT context, DWORD flags, void* para,
                                                     HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* key, DWORD* key_spec,
                                                     BOOL* caller_must_free);
using CertSetCertificateContextPropertyFn = BOOL (*)(PCCERT_CONTEXT context, DWORD property, DWORD flags,
                                                     const void* data);
using CertAddEncodedCertificateToStoreFn = BOOL (*)(HCERTSTORE store, DWORD encoding, const uint8_t* encoded,
                                                    DWORD encoded_len, DWORD disposition, PCCERT_CONTEXT* added);
using CertAddCertificateContextToStoreFn = BOOL (*)(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                                    PCCERT_CONTEXT* added);
using CryptSignAndEncodeCertificateFn = BOOL (*)(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD key_spec, DWORD encoding,
                                                 const char* struct_type, const void* struct_info,
                                                 const CRYPT_ALGORITHM_IDENTIFIER* signature_algorithm,
                                                 const void* hash_aux, uint8_t* out, DWORD* out_len);
using CryptExportPublicKeyInfoFn = BOOL (*)(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD key_spec, DWORD encoding,
                                            CERT_PUBLIC_KEY_INFO* info, DWORD* info_len);
using CryptEncodeObjectFn = BOOL (*)(DWORD encoding, const char* struct_type, const void* struct_info, uint8_t* out,
                                     DWORD* out_len);
using CryptDecodeObjectFn = BOOL (*)(DWORD encoding, const char* struct_type, const uint8_t* in, DWORD in_len,
                                     DWORD flags, void* out, DWORD* out_len);
using CryptFindOIDInfoFn = const CRYPT_OID_INFO* (*)(DWORD key_type, const void* key, DWORD group);
using CryptMsgOpenToDecodeFn = HCRYPTMSG (*)(DWORD encoding, DWORD flags, DWORD message_type, HCRYPTPROV provider,
                                             CERT_INFO* recipient, CMSG_STREAM_INFO* stream);
using CryptMsgUpdateFn = BOOL (*)(HCRYPTMSG message, const uint8_t* in, DWORD in_len, BOOL final);
using CryptMsgGetParamFn = BOOL (*)(HCRYPTMSG message, DWORD param, DWORD index, void* out, DWORD* out_len);
using CryptMsgCloseFn = BOOL (*)(HCRYPTMSG message);
using CryptVerifyCertificateSignatureFn = BOOL (*)(HCRYPTPROV provider, DWORD encoding, const uint8_t* encoded,
                                                   DWORD encoded_len, CERT_PUBLIC_KEY_INFO* key);
using CertVerifyTimeValidityFn = LONG (*)(const FILETIME* time, const CERT_INFO* info);
using CryptImportPublicKeyInfoFn = BOOL (*)(HCRYPTPROV provider, DWORD encoding, CERT_PUBLIC_KEY_INFO* info,
                                            HCRYPTKEY* key);

}  // namespace velmora::platform
