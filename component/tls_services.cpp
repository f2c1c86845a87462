#include "component/tls_services.h"

#include <cstring>
#include <type_traits>

#include "component/socket_base.h"
#include "platform/modules.h"

namespace velmora::component {

namespace {

SecurityFunctionTable g_security_functions{};

}  // namespace

SecurityFunctionTable& SecurityFunctions() { return g_security_functions; }

// ---- The certificate module's function table ----

namespace {

namespace plat = platform;

// The entry names in the order they are resolved; entry n is kCrypt32Names[n - 1].
constexpr const char* kCrypt32Names[kCrypt32EntryCount] = {
    "CertDuplicateCertificateContext",
    "CertFreeCertificateContext",
    "CertCloseStore",
    "CertNameToStrA",
    "CertFindCertificateInStore",
    "CertStrToNameA",
    "CertOpenSystemStoreA",
    "CertOpenStore",
    "CertVerifyCertificateChainPolicy",
    "CertGetCertificateChain",
    "CertFreeCertificateChain",
    "CertEnumSystemStore",
    "CertGetPublicKeyLength",
    "CertGetIntendedKeyUsage",
    "CertCreateCertificateContext",
    "CertGetCertificateContextProperty",
    "CryptEncryptMessage",
    "CryptSignMessage",
    "CryptSignAndEncryptMessage",
    "CryptDecryptMessage",
    "CryptDecryptAndVerifyMessageSignature",
    "CryptVerifyDetachedMessageSignature",
    "CryptVerifyMessageSignature",
    "CertDeleteCertificateFromStore",
    "CryptAcquireContextU",
    "PFXImportCertStore",
    "PFXExportCertStore",
    "CryptAcquireCertificatePrivateKey",
    "CertSetCertificateContextProperty",
    "CertAddEncodedCertificateToStore",
    "CertAddCertificateContextToStore",
    "CryptSignAndEncodeCertificate",
    "CryptExportPublicKeyInfo",
    "CryptEncodeObject",
    "CryptDecodeObject",
    "CryptFindOIDInfo",
    "CryptMsgOpenToDecode",
    "CryptMsgUpdate",
    "CryptMsgGetParam",
    "CryptMsgClose",
    "CryptVerifyCertificateSignature",
    "CertVerifyTimeValidity",
    "CryptImportPublicKeyInfo",
};

// The table. NOTE: filled in the static initialisation before any component exists and read-only until
// the tear-down, so it takes no lock.
struct Crypt32Table {
  plat::ModuleHandle module = nullptr;
  void* entries[kCrypt32EntryCount] = {};
};
Crypt32Table g_crypt32;

// Forward calls entry `number` as a function of type Fn, or gives the result type's zero when it is empty.
template <typename Fn, typename... Args>
auto Forward(int number, Args... args) {
  using Result = std::invoke_result_t<Fn, Args...>;
  const auto entry = reinterpret_cast<Fn>(g_crypt32.entries[number - 1]);
  if (entry == nullptr) return Result{};
  return entry(args...);
}

}  // namespace

const char* Crypt32EntryName(int number) {
  return number >= 1 && number <= kCrypt32EntryCount ? kCrypt32Names[number - 1] : nullptr;
}

void* Crypt32Entry(int number) {
  return number >= 1 && number <= kCrypt32EntryCount ? g_crypt32.entries[number - 1] : nullptr;
}

void LoadCrypt32Functions() {
  if (g_crypt32.module != nullptr) return;
  g_crypt32.module = plat::LoadModule("crypt32.dll");
  if (g_crypt32.module == nullptr) return;
  for (int i = 0; i < kCrypt32EntryCount; ++i) g_crypt32.entries[i] = plat::GetProc(g_crypt32.module, kCrypt32Names[i]);
}

void UnloadCrypt32Functions() {
  if (g_crypt32.module == nullptr) return;
  (void)plat::FreeModule(g_crypt32.module);
  g_crypt32 = Crypt32Table{};
}

using plat::BOOL;
using plat::DWORD;
using plat::HCERTSTORE;
using plat::PCCERT_CONTEXT;

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  return Forward<plat::CertDuplicateCertificateContextFn>(1, context);
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  return Forward<plat::CertFreeCertificateContextFn>(2, context);
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags) { return Forward<plat::CertCloseStoreFn>(3, store, flags); }

DWORD CertNameToStrA(DWORD encoding, const plat::CERT_NAME_BLOB* name, DWORD string_type, char* out,
                     DWORD out_chars) {
  return Forward<plat::CertNameToStrAFn>(4, encoding, name, string_type, out, out_chars);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD find_flags, DWORD find_type,
                                          const void* find_para, PCCERT_CONTEXT previous) {
  return Forward<plat::CertFindCertificateInStoreFn>(5, store, encoding, find_flags, find_type, find_para, previous);
}

BOOL CertStrToNameA(DWORD encoding, const char* text, DWORD string_type, void* reserved, uint8_t* out,
                    DWORD* out_len, const char** error_at) {
  return Forward<plat::CertStrToNameAFn>(6, encoding, text, string_type, reserved, out, out_len, error_at);
}

HCERTSTORE CertOpenSystemStoreA(plat::HCRYPTPROV provider, const char* name) {
  return Forward<plat::CertOpenSystemStoreAFn>(7, provider, name);
}

HCERTSTORE CertOpenStore(const char* store_provider, DWORD encoding, plat::HCRYPTPROV provider, DWORD flags,
                         const void* para) {
  return Forward<plat::CertOpenStoreFn>(8, store_provider, encoding, provider, flags, para);
}

BOOL CertVerifyCertificateChainPolicy(const char* policy, const plat::CERT_CHAIN_CONTEXT* chain,
                                      plat::CERT_CHAIN_POLICY_PARA* para, plat::CERT_CHAIN_POLICY_STATUS* status) {
  return Forward<plat::CertVerifyCertificateChainPolicyFn>(9, policy, chain, para, status);
}

BOOL CertGetCertificateChain(plat::HCERTCHAINENGINE engine, PCCERT_CONTEXT context, const plat::FILETIME* time,
                             HCERTSTORE additional, const plat::CERT_CHAIN_PARA* para, DWORD flags, void* reserved,
                             const plat::CERT_CHAIN_CONTEXT** chain) {
  return Forward<plat::CertGetCertificateChainFn>(10, engine, context, time, additional, para, flags, reserved,
                                                   chain);
}

BOOL CertFreeCertificateChain(const plat::CERT_CHAIN_CONTEXT* chain) {
  const auto entry = reinterpret_cast<plat::CertFreeCertificateChainFn>(g_crypt32.entries[10]);
  if (entry == nullptr) return 0;
  entry(chain);
  return 1;
}

BOOL CertEnumSystemStore(DWORD flags, void* location_para, void* arg, plat::CertEnumSystemStoreCallback callback) {
  return Forward<plat::CertEnumSystemStoreFn>(12, flags, location_para, arg, callback);
}

DWORD CertGetPublicKeyLength(DWORD encoding, const plat::CERT_PUBLIC_KEY_INFO* key) {
  return Forward<plat::CertGetPublicKeyLengthFn>(13, encoding, key);
}

BOOL CertGetIntendedKeyUsage(DWORD encoding, const plat::CERT_INFO* info, uint8_t* usage, DWORD usage_len) {
  return Forward<plat::CertGetIntendedKeyUsageFn>(14, encoding, info, usage, usage_len);
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const uint8_t* encoded, DWORD encoded_len) {
  return Forward<plat::CertCreateCertificateContextFn>(15, encoding, encoded, encoded_len);
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data, DWORD* data_len) {
  return Forward<plat::CertGetCertificateContextPropertyFn>(16, context, property, data, data_len);
}

BOOL CryptEncryptMessage(const plat::CRYPT_ENCRYPT_MESSAGE_PARA* para, DWORD recipient_count,
                         PCCERT_CONTEXT* recipients, const uint8_t* in, DWORD in_len, uint8_t* out, DWORD* out_len) {
  return Forward<plat::CryptEncryptMessageFn>(17, para, recipient_count, recipients, in, in_len, out, out_len);
}

BOOL CryptSignMessage(const plat::CRYPT_SIGN_MESSAGE_PARA* para, BOOL detached, DWORD count, const uint8_t** parts,
                      DWORD* part_lens, uint8_t* out, DWORD* out_len) {
  return Forward<plat::CryptSignMessageFn>(18, para, detached, count, parts, part_lens, out, out_len);
}

BOOL CryptSignAndEncryptMessage(const plat::CRYPT_SIGN_MESSAGE_PARA* sign_para,
                                const plat::CRYPT_ENCRYPT_MESSAGE_PARA* encrypt_para, DWORD recipient_count,
                                PCCERT_CONTEXT* recipients, const uint8_t* in, DWORD in_len, uint8_t* out,
                                DWORD* out_len) {
  return Forward<plat::CryptSignAndEncryptMessageFn>(19, sign_para, encrypt_para, recipient_count, recipients, in,
                                                      in_len, out, out_len);
}

BOOL CryptDecryptMessage(const plat::CRYPT_DECRYPT_MESSAGE_PARA* para, const uint8_t* in, DWORD in_len, uint8_t* out,
                         DWORD* out_len, PCCERT_CONTEXT* exchange_cert) {
  return Forward<plat::CryptDecryptMessageFn>(20, para, in, in_len, out, out_len, exchange_cert);
}

BOOL CryptDecryptAndVerifyMessageSignature(const plat::CRYPT_DECRYPT_MESSAGE_PARA* decrypt_para,
                                           const plat::CRYPT_VERIFY_MESSAGE_PARA* verify_para, DWORD signer_index,
                                           const uint8_t* in, DWORD in_len, uint8_t* out, DWORD* out_len,
                                           PCCERT_CONTEXT* exchange_cert, PCCERT_CONTEXT* signer) {
  return Forward<plat::CryptDecryptAndVerifyMessageSignatureFn>(21, decrypt_para, verify_para, signer_index, in,
                                                                 in_len, out, out_len, exchange_cert, signer);
}

BOOL CryptVerifyDetachedMessageSignature(const plat::CRYPT_VERIFY_MESSAGE_PARA* para, DWORD signer_index,
                                         const uint8_t* signature, DWORD signature_len, DWORD count,
                                         const uint8_t** parts, DWORD* part_lens, PCCERT_CONTEXT* signer) {
  return Forward<plat::CryptVerifyDetachedMessageSignatureFn>(22, para, signer_index, signature, signature_len, count,
                                                               parts, part_lens, signer);
}

BOOL CryptVerifyMessageSignature(const plat::CRYPT_VERIFY_MESSAGE_PARA* para, DWORD signer_index, const uint8_t* in,
                                 DWORD in_len, uint8_t* out, DWORD* out_len, PCCERT_CONTEXT* signer) {
  return Forward<plat::CryptVerifyMessageSignatureFn>(23, para, signer_index, in, in_len, out, out_len, signer);
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
  return Forward<plat::CertDeleteCertificateFromStoreFn>(24, context);
}

BOOL CryptAcquireContextU(plat::HCRYPTPROV* provider, const char16_t* container, const char16_t* provider_name,
                          DWORD provider_type, DWORD flags) {
  return Forward<plat::CryptAcquireContextUFn>(25, provider, container, provider_name, provider_type, flags);
}

HCERTSTORE PFXImportCertStore(plat::CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags) {
  return Forward<plat::PFXImportCertStoreFn>(26, pfx, password, flags);
}

BOOL PFXExportCertStore(HCERTSTORE store, plat::CRYPT_DATA_BLOB* pfx, const char16_t* password, DWORD flags) {
  return Forward<plat::PFXExportCertStoreFn>(27, store, pfx, password, flags);
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* para,
                                       plat::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* key, DWORD* key_spec,
                                       BOOL* caller_must_free) {
  return Forward<plat::CryptAcquireCertificatePrivateKeyFn>(28, context, flags, para, key, key_spec,
                                                             caller_must_free);
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, DWORD flags, const void* data) {
  return Forward<plat::CertSetCertificateContextPropertyFn>(29, context, property, flags, data);
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const uint8_t* encoded, DWORD encoded_len,
                                      DWORD disposition, PCCERT_CONTEXT* added) {
  return Forward<plat::CertAddEncodedCertificateToStoreFn>(30, store, encoding, encoded, encoded_len, disposition,
                                                            added);
}

BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* added) {
  return Forward<plat::CertAddCertificateContextToStoreFn>(31, store, context, disposition, added);
}

BOOL CryptSignAndEncodeCertificate(plat::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD key_spec, DWORD encoding,
                                   const char* struct_type, const void* struct_info,
                                   const plat::CRYPT_ALGORITHM_IDENTIFIER* signature_algorithm, const void* hash_aux,
                                   uint8_t* out, DWORD* out_len) {
  return Forward<plat::CryptSignAndEncodeCertificateFn>(32, key, key_spec, encoding, struct_type, struct_info,
                                                         signature_algorithm, hash_aux, out, out_len);
}

BOOL CryptExportPublicKeyInfo(plat::HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD key_spec, DWORD encoding,
                              plat::CERT_PUBLIC_KEY_INFO* info, DWORD* info_len) {
  return Forward<plat::CryptExportPublicKeyInfoFn>(33, key, key_spec, encoding, info, info_len);
}

BOOL CryptEncodeObject(DWORD encoding, const char* struct_type, const void* struct_info, uint8_t* out,
                       DWORD* out_len) {
  return Forward<plat::CryptEncodeObjectFn>(34, encoding, struct_type, struct_info, out, out_len);
}

BOOL CryptDecodeObject(DWORD encoding, const char* struct_type, const uint8_t* in, DWORD in_len, DWORD flags,
                       void* out, DWORD* out_len) {
  return Forward<plat::CryptDecodeObjectFn>(35, encoding, struct_type, in, in_len, flags, out, out_len);
}

const plat::CRYPT_OID_INFO* CryptFindOIDInfo(DWORD key_type, const void* key, DWORD group) {
  return Forward<plat::CryptFindOIDInfoFn>(36, key_type, key, group);
}

plat::HCRYPTMSG CryptMsgOpenToDecode(DWORD encoding, DWORD flags, DWORD message_type, plat::HCRYPTPROV provider,
                                     plat::CERT_INFO* recipient, plat::CMSG_STREAM_INFO* stream) {
  return Forward<plat::CryptMsgOpenToDecodeFn>(37, encoding, flags, message_type, provider, recipient, stream);
}

BOOL CryptMsgUpdate(plat::HCRYPTMSG message, const uint8_t* in, DWORD in_len, BOOL final) {
  return Forward<plat::CryptMsgUpdateFn>(38, message, in, in_len, final);
}

BOOL CryptMsgGetParam(plat::HCRYPTMSG message, DWORD param, DWORD index, void* out, DWORD* out_len) {
  return Forward<plat::CryptMsgGetParamFn>(39, message, param, index, out, out_len);
}

BOOL CryptMsgClose(plat::HCRYPTMSG message) { return Forward<plat::CryptMsgCloseFn>(40, message); }

BOOL CryptVerifyCertificateSignature(plat::HCRYPTPROV provider, DWORD encoding, const uint8_t* encoded,
                                     DWORD encoded_len, plat::CERT_PUBLIC_KEY_INFO* key) {
  return Forward<plat::CryptVerifyCertificateSignatureFn>(41, provider, encoding, encoded, encoded_len, key);
}

plat::LONG CertVerifyTimeValidity(const plat::FILETIME* time, const plat::CERT_INFO* info) {
  return Forward<plat::CertVerifyTimeValidityFn>(42, time, info);
}

BOOL CryptImportPublicKeyInfo(plat::HCRYPTPROV provider, DWORD encoding, plat::CERT_PUBLIC_KEY_INFO* info,
                              plat::HCRYPTKEY* key) {
  return Forward<plat::CryptImportPublicKeyInfoFn>(43, provider, encoding, info, key);
}

// ---- end of the certificate module's function table ----

int SetTlsDefaults(SocketBase& socket) {
  // Short constant texts fit the inline storage of the fields, so these stores cannot fail.
  (void)socket.SslProvider().SetString("Microsoft Unified Security Protocol Provider");
  (void)socket.CertificateStoreName().SetString("MY");
  std::memset(socket.TlsIntegers(), 0, 3 * sizeof(int32_t));
  socket.Credentials() = SecurityHandle{};
  socket.SslSecurityFlags() = 0;
  socket.SslCipherStrength() = 40;
  socket.SslEnabledProtocols() = 4032;
  socket.SslEnableRenegotiation() = 1;
  socket.TlsStateValue() = 0;
  socket.UseDefaultCredentials() = 0;
  socket.SslIncludeCertChain() = 0;
  (void)socket.AcceptedAlgorithms().SetString("*");
  (void)socket.PemLabel().SetString("CERTIFICATE");
  return 1;
}

void FreeTlsCredentials(SocketBase& socket) {
  SecurityHandle& credentials = socket.Credentials();
  if (!credentials.IsSet() || g_security_functions.free_credentials_handle == nullptr) return;
  (void)g_security_functions.free_credentials_handle(&credentials);
  credentials = SecurityHandle{};
}

}  // namespace velmora::component
