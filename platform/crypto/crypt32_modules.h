// The platform's certificate module ("crypt32") on this system, built on OpenSSL's X.509 decoder: the entry
// points the module table hands out, and the count tests read. Present only in builds with
// VELMORABLE_PLATFORM_CRYPTO on; callers reach them through the module table (LoadModule / GetProc).
//
// Served: certificate contexts (create, duplicate, free), memory stores and file-backed system stores (open,
// add, find, delete, close), the context properties 2 (key-provider information), 3 (SHA-1 hash), 6 (key
// spec) and 11 (friendly name), names as text (CertNameToStrA, CertStrToNameA), PKCS #12 import and
// export (PFXImportCertStore, PFXExportCertStore), and certificate chains with the SSL policy
// (CertGetCertificateChain, CertVerifyCertificateChainPolicy, CertFreeCertificateChain).
// Every other entry point exists and fails with FALSE or null and last error E_NOTIMPL (0x80004001).
//
// Reference counts: a context returned by create, duplicate, find or add holds one reference, which
// CertFreeCertificateContext (or CertDeleteCertificateFromStore, or passing it as the previous context to
// CertFindCertificateInStore) gives back. A store keeps its certificates until its last handle closes; a
// context still referenced then stays valid, and keeps the store's memory, until it is freed.
//
// Every entry point may be called from any thread.
#pragma once

#include "platform/crypto/cert_types.h"

namespace velmora::platform {

// CertCreateCertificateContext decodes one DER certificate (encoding 1 or 0x10001) into a new context that
// owns a copy of the bytes. Null with last error E_INVALIDARG for a null input or another encoding,
// CRYPT_E_ASN1_EOD for an empty or truncated input, CRYPT_E_ASN1_BADTAG when it is not a SEQUENCE, and
// CRYPT_E_ASN1_CORRUPT when it is no certificate.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const uint8_t* encoded, DWORD encoded_len);
// CertDuplicateCertificateContext adds a reference and returns the same context (null for null, or for a
// pointer that is no live context, with E_INVALIDARG).
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
// CertFreeCertificateContext gives one reference back: TRUE (also for null), FALSE with E_INVALIDARG for a
// pointer that is no live context.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

// CertOpenStore opens a new, empty memory store (provider 2), or a system store (provider 9, para the
// store's name as narrow text, flags the location CURRENT_USER 0x10000 or LOCAL_MACHINE 0x20000, plus
// OPEN_EXISTING 0x4000 and READONLY 0x8000). "MY", "CA" and other names are folders of certificate and
// properties files under the platform store root (the machine's under machine/); adds, deletes and
// property changes are written at once. A name other than "MY", "CA" and "ROOT" with OPEN_EXISTING that no
// earlier open created fails with ERROR_FILE_NOT_FOUND (2). "ROOT" also lists the certificates of OpenSSL's
// default certificate file, read once per process, which cannot be deleted (E_ACCESSDENIED); the current
// user's "ROOT" also shows the machine's. A damaged file in the folder fails the open with its decoding
// error or CRYPT_E_FILE_ERROR; a store opened READONLY refuses adds with E_ACCESSDENIED. Other providers:
// null with E_NOTIMPL.
HCERTSTORE CertOpenStore(const char* store_provider, DWORD encoding, HCRYPTPROV provider, DWORD flags,
                         const void* para);
// CertCloseStore closes one handle (flags are not looked at); the last one releases the store's own
// references to its certificates. TRUE (also for null), FALSE with E_INVALIDARG for a handle not open.
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
// CertAddCertificateContextToStore adds a copy of the context (bytes and properties) with disposition NEW
// (1: FALSE with CRYPT_E_EXISTS when the same certificate is there), USE_EXISTING (2: the one there is
// returned), REPLACE_EXISTING (3), ALWAYS (4) or NEWER (5: replaces the certificate of the same issuer and
// serial number when it starts its validity earlier, else CRYPT_E_EXISTS). *added (when asked) receives a new reference to the
// store's context, or null on failure.
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* added);
// CertAddEncodedCertificateToStore decodes as CertCreateCertificateContext does, then adds as above.
BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const uint8_t* encoded, DWORD encoded_len,
                                      DWORD disposition, PCCERT_CONTEXT* added);
// CertFindCertificateInStore returns a new reference to the next certificate after previous (null: from
// the first) that matches find type ANY (0), SHA1_HASH (0x10000, find_para a CRYPT_HASH_BLOB),
// SUBJECT_NAME (0x20007, find_para a CERT_NAME_BLOB equal byte for byte to the subject) or SUBJECT_STR_A
// (0x70007, find_para narrow text found, ignoring ASCII case, in the subject's simple-name text), or null
// with CRYPT_E_NOT_FOUND. previous, when given, is freed in every case; when it is no longer in the store
// the search ends. Other find types: null with E_NOTIMPL.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD find_flags, DWORD find_type,
                                          const void* find_para, PCCERT_CONTEXT previous);
// CertDeleteCertificateFromStore removes the certificate from its store (and its files) and frees the
// context passed (in every case). FALSE with CRYPT_E_NOT_FOUND when it is in no store, E_ACCESSDENIED for
// a certificate of the system trust bundle.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context);

// CertGetCertificateContextProperty reads property 2 (a CRYPT_KEY_PROV_INFO followed by everything it
// points at, one self-contained block), 3 (20 bytes), 6 (a DWORD, present when the key-provider
// information names a key) or 11 (the bytes set). A null data reports the size in *data_len; a smaller
// *data_len gives FALSE with ERROR_MORE_DATA and the size. A property not held: FALSE, CRYPT_E_NOT_FOUND.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data, DWORD* data_len);
// CertSetCertificateContextProperty sets property 2 (data a CRYPT_KEY_PROV_INFO, copied) or 11 (data a
// CRYPT_DATA_BLOB, copied); null data removes it. Other properties: FALSE with E_NOTIMPL.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, DWORD flags, const void* data);

// CertVerifyTimeValidity compares the time (null: now) with the certificate's validity: -1 before it, 1 after
// it, 0 inside it.
LONG CertVerifyTimeValidity(const FILETIME* time, const CERT_INFO* info);

// CryptAcquireCertificatePrivateKey opens the key the context's key-provider information names: for a
// key storage provider (type 0) its key handle and the key spec 0xFFFFFFFF, only with the flag 0x10000 or
// 0x20000 (else NTE_BAD_PROV_TYPE); for a CryptoAPI provider the provider handle of the container and the
// information's key spec. *caller_must_free is TRUE unless the flag 1 is given; then the handle stays
// with the context and is released with its last reference. No information: FALSE with
// CRYPT_E_NO_KEY_PROPERTY; a provider's failure: FALSE with its status as last error.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* para,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* key, DWORD* key_spec,
                                       BOOL* caller_must_free);

// CertNameToStrA writes a DER Name (encoding 1 or 0x10001) as text: string type 1 (values only), 2 (keys
// as dotted OIDs) or 3 (X.500 keys CN, L, O, OU, E, C, S, STREET, T, G, I, SN, DC, SERIALNUMBER,
// POSTALCODE, PHONE, others "OID.x.y"), with REVERSE (0x2000000) and NO_PLUS (0x20000000). Relative names
// are joined by ", ", the attributes of one by " + " (NO_PLUS: a blank); values that are empty, have an
// edge blank or hold , + = " < > ; # or a line break are quoted, a quote doubled; a value that is no text
// or holds a zero character is # and the hex of its DER. Returns the characters written with the
// terminator; a null out or out_chars 0 asks for that size; a smaller out_chars gives 0 with
// ERROR_MORE_DATA. A Name that does not decode: 0 with its CRYPT_E_ASN1_* error.
DWORD CertNameToStrA(DWORD encoding, const CERT_NAME_BLOB* name, DWORD string_type, char* out, DWORD out_chars);
// CertStrToNameA reads such text (string type 2 or 3; keys ignore case, "OID." is optional, attributes are
// separated by , or ; and joined by + unless NO_PLUS) into a DER Name: PrintableString where every
// character allows it, else UTF8String (E and DC IA5String when ASCII). A null out asks for the size in
// *out_len; a smaller *out_len gives FALSE with ERROR_MORE_DATA and the size. Text it cannot read: FALSE
// with CRYPT_E_INVALID_X500_STRING and *error_at (when given) at the fault.
BOOL CertStrToNameA(DWORD encoding, const char* text, DWORD string_type, void* reserved, uint8_t* out,
                    DWORD* out_len, const char** error_at);
// PFXImportCertStore reads a PKCS #12 file into a new memory store. An empty or null password is tried as
// "" and as none; a wrong one gives ERROR_INVALID_PASSWORD (0x56), bytes that are no PKCS #12 file
// CRYPT_E_BAD_DECODE. The private key is stored in the software key storage provider under a new random
// name, exportable with CRYPT_EXPORTABLE (1), the machine's with 0x20, and its certificate gets
// key-provider information naming it (type 0, key spec 1 for RSA, 2 for EC). A key of another type fails
// the import with NTE_NOT_SUPPORTED.
HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags);
// PFXExportCertStore writes the store's certificates as PKCS #12 (a null pfx->pbData asks for the size in
// pfx->cbData; a smaller cbData gives FALSE with ERROR_MORE_DATA). With EXPORT_PRIVATE_KEYS (4) the key of
// the first certificate whose key can be exported goes with it; REPORT_NO_PRIVATE_KEY (1) fails on a
// certificate without key (CRYPT_E_NOT_FOUND, or the provider's error), REPORT_NOT_ABLE_TO_EXPORT (2) on a
// key that may not leave its provider (NTE_PERM). An empty store: CRYPT_E_NOT_FOUND.
BOOL PFXExportCertStore(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags);

// CertGetCertificateChain builds the path of the context's certificate with OpenSSL's path validation at
// time (null: the platform clock): trust anchors are the current user's "ROOT" store, other issuers come
// from "CA", the context's own store and the additional store (null: none); engine, para and flags are not
// looked at, and nothing is fetched or checked for revocation. *chain receives a context with one simple
// chain, element 0 the certificate, each element holding a reference on its certificate context and its
// own error bits (NOT_TIME_VALID 0x1, NOT_SIGNATURE_VALID 0x8, NOT_VALID_FOR_USAGE 0x10, UNTRUSTED_ROOT
// 0x20, INVALID_EXTENSION 0x100, INVALID_POLICY_CONSTRAINTS 0x200, INVALID_BASIC_CONSTRAINTS 0x400, the
// name-constraint bits 0x800-0x8000, IS_PARTIAL_CHAIN 0x10000 on the topmost element found) and
// information bits (issuer matched by name 0x4, key identifier 0x2, serial number 0x1; IS_SELF_SIGNED 0x8);
// the simple chain's and the context's status are the OR of the elements'. A chain with errors is still
// built (TRUE). FALSE with E_INVALIDARG for a null chain or a context that is not live, NTE_BAD_ALGID
// (0x80090008) when the certificate has an EdDSA key or signature.
BOOL CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT context, const FILETIME* time,
                             HCERTSTORE additional, const CERT_CHAIN_PARA* para, DWORD flags, void* reserved,
                             const CERT_CHAIN_CONTEXT** chain);
// CertVerifyCertificateChainPolicy applies the SSL policy (4; others: FALSE with E_NOTIMPL) to a chain
// context and writes the verdict to status (TRUE). dwError is the first of, in this order: signature
// 0x80096004, partial chain 0x800B010A, untrusted root 0x800B0109 (ignored with flag 0x10), time
// 0x800B0101 (flag 0x1), basic constraints 0x80096019 (flag 0x8), usage 0x800B0110 (flag 0x20: an element
// not valid for its usage, or an end certificate with extended key usages lacking serverAuth, clientAuth
// for auth type 1), name 0x800B010F (flag 0x40; server authentication with a server name only: OpenSSL's
// host check of its UTF-8 form against the DNS names, else the common name), then name constraints
// 0x800B0114, policy constraints 0x800B0113, any other fault 0x800B0105; lChainIndex and lElementIndex
// name where (-1 for 0). A null para checks as a server without a name. FALSE with E_INVALIDARG for a
// chain that is not live or a null status.
BOOL CertVerifyCertificateChainPolicy(const char* policy, const CERT_CHAIN_CONTEXT* chain,
                                      CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status);
// CertFreeCertificateChain frees a chain context and the references of its elements (null: nothing).
void CertFreeCertificateChain(const CERT_CHAIN_CONTEXT* chain);

// Entries no part of the library calls: each fails with FALSE, null or 0 and last error E_NOTIMPL.
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV provider, const char* name);
BOOL CertEnumSystemStore(DWORD flags, void* location_para, void* arg, CertEnumSystemStoreCallback callback);
DWORD CertGetPublicKeyLength(DWORD encoding, const CERT_PUBLIC_KEY_INFO* key);
BOOL CertGetIntendedKeyUsage(DWORD encoding, const CERT_INFO* info, uint8_t* usage, DWORD usage_len);
BOOL CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA* para, DWORD recipient_count, PCCERT_CONTEXT* recipients,
                         const uint8_t* in, DWORD in_len, uint8_t* out, DWORD* out_len);
BOOL CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA* para, BOOL detached, DWORD count, const uint8_t** parts,
                      DWORD* part_lens, uint8_t* out, DWORD* out_len);
BOOL CryptSignAndEncryptMessage(const CRYPT_SIGN_MESSAGE_PARA* sign_para,
                                const CRYPT_ENCRYPT_MESSAGE_PARA* encrypt_para, DWORD recipient_count,
                                PCCERT_CONTEXT* recipients, const uint8_t* in, DWORD in_len, uint8_t* out,
                                DWORD* out_len);
BOOL CryptDecryptMessage(const CRYPT_DECRYPT_MESSAGE_PARA* para, const uint8_t* in, DWORD in_len, uint8_t* out,
                         DWORD* out_len, PCCERT_CONTEXT* exchange_cert);
BOOL CryptDecryptAndVerifyMessageSignature(const CRYPT_DECRYPT_MESSAGE_PARA* decrypt_para,
                                           const CRYPT_VERIFY_MESSAGE_PARA* verify_para, DWORD signer_index,
                                           const uint8_t* in, DWORD in_len, uint8_t* out, DWORD* out_len,
                                           PCCERT_CONTEXT* exchange_cert, PCCERT_CONTEXT* signer);
BOOL CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA* para, DWORD signer_index,
                                         const uint8_t* signature, DWORD signature_len, DWORD count,
                                         const uint8_t** parts, DWORD* part_lens, PCCERT_CONTEXT* signer);
BOOL CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA* para, DWORD signer_index, const uint8_t* in,
                                 DWORD in_len, uint8_t* out, DWORD* out_len, PCCERT_CONTEXT* signer);
BOOL CryptSignAndEncodeCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD key_spec, DWORD encoding,
                                   const char* struct_type, const void* struct_info,
                                   const CRYPT_ALGORITHM_IDENTIFIER* signature_algorithm, const void* hash_aux,
                                   uint8_t* out, DWORD* out_len);
BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD key_spec, DWORD encoding,
                              CERT_PUBLIC_KEY_INFO* info, DWORD* info_len);
BOOL CryptEncodeObject(DWORD encoding, const char* struct_type, const void* struct_info, uint8_t* out,
                       DWORD* out_len);
BOOL CryptDecodeObject(DWORD encoding, const char* struct_type, const uint8_t* in, DWORD in_len, DWORD flags,
                       void* out, DWORD* out_len);
const CRYPT_OID_INFO* CryptFindOIDInfo(DWORD key_type, const void* key, DWORD group);
HCRYPTMSG CryptMsgOpenToDecode(DWORD encoding, DWORD flags, DWORD message_type, HCRYPTPROV provider,
                               CERT_INFO* recipient, CMSG_STREAM_INFO* stream);
BOOL CryptMsgUpdate(HCRYPTMSG message, const uint8_t* in, DWORD in_len, BOOL final);
BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD param, DWORD index, void* out, DWORD* out_len);
BOOL CryptMsgClose(HCRYPTMSG message);
BOOL CryptVerifyCertificateSignature(HCRYPTPROV provider, DWORD encoding, const uint8_t* encoded, DWORD encoded_len,
                                     CERT_PUBLIC_KEY_INFO* key);
BOOL CryptImportPublicKeyInfo(HCRYPTPROV provider, DWORD encoding, CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* key);

namespace test {
// LiveCertHandles is the number of certificate contexts, stores and chain contexts not yet released (part
// of LiveCryptoHandles).
int LiveCertHandles();
// LiveChainContexts is the number of chain contexts not yet freed (part of LiveCertHandles).
int LiveChainContexts();
// FailNextChainPolicy makes the next CertVerifyCertificateChainPolicy fail with code as its last error (0
// cancels).
void FailNextChainPolicy(uint32_t code);
// FailNextPfxExport makes the next PFXExportCertStore fail with code as its last error (0 cancels).
void FailNextPfxExport(uint32_t code);
}  // namespace test

}  // namespace velmora::platform
