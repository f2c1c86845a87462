// The shapes of the platform's transport-security module ("secur32"): credential and context handles, the
// credential descriptions of the SChannel package, its connection information record, the statuses, and
// the function table InitSecurityInterfaceA hands out. Plain data only; usable without the crypto modules
// being built. Only the fields this system reads or writes are named; the records keep the platform's
// order of them.
#pragma once

#include <cstdint>

#include "platform/crypto/crypto_types.h"

namespace velmora::platform {

// A certificate context of the certificate-store module (platform/crypto/cert_types.h); the security module
// only passes pointers to it along.
struct CERT_CONTEXT;

using ALG_ID = uint32_t;

// SecHandle is a credential or security-context handle; both words zero: none.
struct SecHandle {
  uint64_t lower = 0;
  uint64_t upper = 0;
  bool IsSet() const { return lower != 0 || upper != 0; }
};

constexpr SECURITY_STATUS kSecEOk = 0;
constexpr SECURITY_STATUS kSecEInsufficientMemory = static_cast<SECURITY_STATUS>(0x80090300u);
constexpr SECURITY_STATUS kSecEInvalidHandle = static_cast<SECURITY_STATUS>(0x80090301u);
constexpr SECURITY_STATUS kSecEUnsupportedFunction = static_cast<SECURITY_STATUS>(0x80090302u);
constexpr SECURITY_STATUS kSecEInternalError = static_cast<SECURITY_STATUS>(0x80090304u);
constexpr SECURITY_STATUS kSecESecpkgNotFound = static_cast<SECURITY_STATUS>(0x80090305u);
constexpr SECURITY_STATUS kSecEUnknownCredentials = static_cast<SECURITY_STATUS>(0x8009030Du);
constexpr SECURITY_STATUS kSecENoCredentials = static_cast<SECURITY_STATUS>(0x8009030Eu);
constexpr SECURITY_STATUS kSecEIllegalMessage = static_cast<SECURITY_STATUS>(0x80090326u);
constexpr SECURITY_STATUS kSecEAlgorithmMismatch = static_cast<SECURITY_STATUS>(0x80090331u);
constexpr SECURITY_STATUS kSecEInvalidParameter = static_cast<SECURITY_STATUS>(0x8009035Du);

// Credential use (SECPKG_CRED_*): the server side accepts, the client side initiates.
constexpr ULONG kSecpkgCredInbound = 1;
constexpr ULONG kSecpkgCredOutbound = 2;

// Credential description versions and flags (SCH_CRED_*).
constexpr DWORD kSchannelCredVersion = 4;
constexpr DWORD kSchCredentialsVersion = 5;
constexpr DWORD kSchCredManualCredValidation = 0x8;
constexpr DWORD kSchCredNoDefaultCreds = 0x10;
constexpr DWORD kSchCredUseDefaultCreds = 0x40;

// Protocol bits (SP_PROT_*): the server bit of each version, the client bit twice it.
constexpr DWORD kSpProtTls1Server = 0x40;
constexpr DWORD kSpProtTls11Server = 0x100;
constexpr DWORD kSpProtTls12Server = 0x400;
constexpr DWORD kSpProtTls13Server = 0x1000;
// The protocol bits an SCH_CREDENTIALS can disable.
constexpr DWORD kSchDisableableProtocols = 0x3FFC;

// The context attribute of the connection information (SECPKG_ATTR_CONNECTION_INFO).
constexpr ULONG kSecpkgAttrConnectionInfo = 90;

// SCHANNEL_CRED: the version-4 credential description.
struct SCHANNEL_CRED {
  DWORD version;
  DWORD cred_count;
  const CERT_CONTEXT* const* creds;
  void* root_store;
  DWORD mapper_count;
  void* mappers;
  DWORD supported_alg_count;
  const ALG_ID* supported_algs;
  DWORD enabled_protocols;
  DWORD minimum_cipher_strength;
  DWORD maximum_cipher_strength;
  DWORD session_lifespan;
  DWORD flags;
  DWORD cred_format;
};

// TLS_PARAMETERS: one set of restrictions of an SCH_CREDENTIALS.
struct TLS_PARAMETERS {
  DWORD alpn_id_count;
  void* alpn_ids;
  DWORD disabled_protocols;
  DWORD crypto_setting_count;
  void* crypto_settings;
  DWORD flags;
};

// SCH_CREDENTIALS: the version-5 credential description.
struct SCH_CREDENTIALS {
  DWORD version;
  DWORD cred_format;
  DWORD cred_count;
  const CERT_CONTEXT* const* creds;
  void* root_store;
  DWORD mapper_count;
  void* mappers;
  DWORD session_lifespan;
  DWORD flags;
  DWORD tls_parameter_count;
  TLS_PARAMETERS* tls_parameters;
};

// SecPkgContext_ConnectionInfo: what a context negotiated. Strengths are in bits.
struct SecPkgContext_ConnectionInfo {
  DWORD protocol;
  ALG_ID cipher;
  DWORD cipher_strength;
  ALG_ID hash;
  DWORD hash_strength;
  ALG_ID exchange;
  DWORD exchange_strength;
};

// Algorithm ids of the connection information and of a credential's algorithm list.
constexpr ALG_ID kCalg3Des = 0x6603;
constexpr ALG_ID kCalgAes128 = 0x660E;
constexpr ALG_ID kCalgAes256 = 0x6610;
constexpr ALG_ID kCalgMd5 = 0x8003;
constexpr ALG_ID kCalgSha1 = 0x8004;
constexpr ALG_ID kCalgSha256 = 0x800C;
constexpr ALG_ID kCalgSha384 = 0x800D;
constexpr ALG_ID kCalgSha512 = 0x800E;
constexpr ALG_ID kCalgRsaSign = 0x2400;
constexpr ALG_ID kCalgRsaKeyx = 0xA400;
constexpr ALG_ID kCalgDhEphem = 0xAA02;
constexpr ALG_ID kCalgEcdhEphem = 0xAE06;
constexpr ALG_ID kCalgEcdsa = 0x2203;

// Entry points of the security function table.
using AcquireCredentialsHandleAFn = SECURITY_STATUS (*)(const char* principal, const char* package,
                                                         ULONG credential_use, void* logon_id, const void* auth_data,
                                                         void* get_key_fn, void* get_key_argument,
                                                         SecHandle* credential, int64_t* expiry);
using FreeCredentialsHandleFn = SECURITY_STATUS (*)(SecHandle* credential);
using DeleteSecurityContextFn = SECURITY_STATUS (*)(SecHandle* context);
using QueryContextAttributesAFn = SECURITY_STATUS (*)(SecHandle* context, ULONG attribute, void* buffer);

// SecurityFunctionTableA: the 256-byte table of the module's entry points (a version and 31 members).
struct SecurityFunctionTableA {
  uint64_t version;
  void* enumerate_security_packages;
  void* query_credentials_attributes;
  AcquireCredentialsHandleAFn acquire_credentials_handle;
  FreeCredentialsHandleFn free_credentials_handle;
  void* reserved2;
  void* initialize_security_context;
  void* accept_security_context;
  void* complete_auth_token;
  DeleteSecurityContextFn delete_security_context;
  void* apply_control_token;
  QueryContextAttributesAFn query_context_attributes;
  void* further[20];
};
static_assert(sizeof(SecurityFunctionTableA) == 256, "the table is handed out as 256 bytes");

using InitSecurityInterfaceAFn = SecurityFunctionTableA* (*)();

}  // namespace velmora::platform
