// What the socket layer needs of the certificate-store and transport-security services: the run-time
// certificate-store entry, the process-wide table of security-provider functions, the transport-security
// defaults a socket component starts with and the release of its credentials.
//
// NOTE: this system has no certificate-store module ("crypt32" is absent), so the store entry stays null.
// The security provider ("secur32") is present only in builds with the platform crypto modules; without
// it the function table stays zero. The code keeps the "pointer may be null" paths that a machine without
// them takes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crypto/secur32_types.h"

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
struct SecurityFunctionTable {
  uint64_t version;
  void* enumerate_security_packages;
  void* query_credentials_attributes;
  AcquireCredentialsHandleFn acquire_credentials_handle;
  FreeCredentialsHandleFn free_credentials_handle;
  void* reserved2;
  void* initialize_security_context;
  void* accept_security_context;
  void* complete_auth_token;
  DeleteSecurityContextFn delete_security_context;
  void* apply_control_token;
  QueryContextAttributesFn query_context_attributes;
  void* further[20];
};
static_assert(sizeof(SecurityFunctionTable) == 256, "the provider's table is copied as 256 bytes");
static_assert(sizeof(SecurityFunctionTable) == sizeof(platform::SecurityFunctionTableA) &&
                  offsetof(SecurityFunctionTable, query_context_attributes) ==
                      offsetof(platform::SecurityFunctionTableA, query_context_attributes),
              "the copy keeps the provider's layout");

// SecurityFunctions is the process-wide copy of the provider's table, filled by the socket layer's
// start-up (SocketBase::LoadOptionalSystemModules). Read it only while no start-up or tear-down runs.
SecurityFunctionTable& SecurityFunctions();

// CertOpenStoreFn opens a certificate store (provider, encoding type, provider handle, flags, store name)
// and returns its handle, or null.
using CertOpenStoreFn = void* (*)(const char* provider, uint32_t encoding_type, uintptr_t provider_handle,
                                  uint32_t flags, const void* store_name);
// CertOpenStoreEntry returns the run-time certificate-store entry: null until LoadCrypt32Functions found
// it, and null on this system.
CertOpenStoreFn CertOpenStoreEntry();
// LoadCrypt32Functions loads the "crypt32" module once and resolves its entries; a missing module leaves
// them null. Called by the socket layer's start-up.
void LoadCrypt32Functions();
// UnloadCrypt32Functions frees the module when it was loaded and clears its entries (socket tear-down).
void UnloadCrypt32Functions();

// SetTlsDefaults writes the transport-security defaults of a socket component (provider name, store "MY",
// cipher strength 40, protocols 4032, renegotiation on, flags and credentials cleared, the accepted
// algorithm list "*" and the PEM label "CERTIFICATE") and returns 1. It leaves ReuseSSLSession alone.
int SetTlsDefaults(SocketBase& socket);
// FreeTlsCredentials releases the component's credential handle through the loaded function table and
// zeroes it; without the table's FreeCredentialsHandle the handle is left as it is.
void FreeTlsCredentials(SocketBase& socket);

}  // namespace velmora::component
