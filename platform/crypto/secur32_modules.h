// The platform's transport-security module ("secur32") on this system, built on OpenSSL's libssl: the
// entry point the module table hands out, the members of the function table it returns, and the hooks
// tests use to observe them. Present only in builds with VELMORABLE_PLATFORM_CRYPTO on.
//
// A credential is an OpenSSL SSL_CTX made from the description; a security context is an SSL object. Only
// the protocol range, the minimum cipher strength, the algorithm list and the certificate of a
// description apply. The
// module never performs a handshake itself: contexts come only from the test hooks below. Every entry
// point may be called from any thread; one handle is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypto/secur32_types.h"

namespace velmora::platform {

// InitSecurityInterfaceA returns the module's function table, which lives as long as the process.
// AcquireCredentialsHandleA, FreeCredentialsHandle, DeleteSecurityContext and QueryContextAttributesA are
// served; every other member answers SEC_E_UNSUPPORTED_FUNCTION.
SecurityFunctionTableA* InitSecurityInterfaceA();

// AcquireCredentialsHandleA makes a credential of the SChannel package ("Microsoft Unified Security
// Protocol Provider", "Schannel" or "Microsoft SSL 3.0", without regard to case) from an SCHANNEL_CRED or
// SCH_CREDENTIALS (auth_data; null: the defaults) and writes its handle; FreeCredentialsHandle closes it.
// Statuses: SEC_E_SECPKG_NOT_FOUND for another package, SEC_E_UNKNOWN_CREDENTIALS for another description
// version, SEC_E_NO_CREDENTIALS for a server without a certificate, for more than one, or for one whose
// private key (named by its key-provider information: a software-provider or TPM key, or a CryptoAPI
// container's) cannot be read or does not match it, SEC_E_ALGORITHM_MISMATCH when the algorithm list maps to nothing
// or no cipher suite is left, SEC_E_INVALID_PARAMETER for a null handle or a credential use other than
// inbound or outbound. Nothing is written to *credential on failure. The expiry, when asked, is "never".
SECURITY_STATUS AcquireCredentialsHandleA(const char* principal, const char* package, ULONG credential_use,
                                          void* logon_id, const void* auth_data, void* get_key_fn,
                                          void* get_key_argument, SecHandle* credential, int64_t* expiry);
SECURITY_STATUS FreeCredentialsHandle(SecHandle* credential);
// DeleteSecurityContext closes a context handle: SEC_E_OK or SEC_E_INVALID_HANDLE.
SECURITY_STATUS DeleteSecurityContext(SecHandle* context);
// QueryContextAttributesA answers SECPKG_ATTR_CONNECTION_INFO (90) into a SecPkgContext_ConnectionInfo:
// SEC_E_INVALID_HANDLE for a handle that is not an open context, SEC_E_UNSUPPORTED_FUNCTION for another
// attribute, SEC_E_INVALID_PARAMETER for a null buffer.
SECURITY_STATUS QueryContextAttributesA(SecHandle* context, ULONG attribute, void* buffer);

namespace test {
// ReceivedCredential is a copy of a credential description as AcquireCredentialsHandleA received it.
struct ReceivedCredential {
  bool present = false;  // a call has been received since the last reset
  std::string package;   // "(null)" for a null name
  ULONG credential_use = 0;
  bool has_description = false;
  DWORD version = 0;
  DWORD flags = 0;
  std::vector<const CERT_CONTEXT*> certificates;  // cred_count entries (empty when the array is null)
  DWORD enabled_protocols = 0;                   // version 4
  DWORD minimum_cipher_strength = 0;             // version 4
  std::vector<ALG_ID> algorithms;                // version 4
  std::vector<DWORD> disabled_protocols;         // version 5: one per TLS_PARAMETERS
};
// LastReceivedCredential returns the description of the last AcquireCredentialsHandleA call;
// ResetReceivedCredential forgets it.
ReceivedCredential LastReceivedCredential();
void ResetReceivedCredential();

// HandshakeOverLoopback connects to 127.0.0.1:port, runs a client handshake with the outbound credential
// and, on success, writes a new context handle whose connection information is the negotiated one. The
// connection is closed after the handshake; the context stays until DeleteSecurityContext. SEC_E_OK,
// SEC_E_INVALID_HANDLE for a credential that is not open or not outbound, SEC_E_INTERNAL_ERROR when the
// connection fails, SEC_E_ILLEGAL_MESSAGE when the handshake fails (within ten seconds).
SECURITY_STATUS HandshakeOverLoopback(const SecHandle* credential, uint16_t port, SecHandle* context);
// AcceptOverLoopback accepts one connection on the listening socket (within ten seconds), runs a server
// handshake with the inbound credential and, on success, closes the connection and writes a new context
// handle. Statuses as HandshakeOverLoopback's, for a credential that is not inbound SEC_E_INVALID_HANDLE.
SECURITY_STATUS AcceptOverLoopback(const SecHandle* credential, int listening_fd, SecHandle* context);
// MakeConnectionContext writes a new context handle whose connection information is info.
SECURITY_STATUS MakeConnectionContext(const SecPkgContext_ConnectionInfo& info, SecHandle* context);
// LiveSecurityHandles is the number of credential and context handles open now.
int LiveSecurityHandles();
}  // namespace test

}  // namespace velmora::platform
