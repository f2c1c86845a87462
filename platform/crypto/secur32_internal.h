// What the transport-security module's files share: OpenSSL object holders and the credential request
// read from a description.
#pragma once

#include <openssl/ssl.h>

#include <memory>

#include "platform/crypto/secur32_types.h"

namespace velmora::platform {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// CredentialRequest is what a credential description asks for, whichever version it came in.
struct CredentialRequest {
  bool outbound = true;
  DWORD flags = 0;
  DWORD enabled_protocols = 0;  // SP_PROT_* bits; 0: the library's default range
  DWORD minimum_strength = 0;
  const ALG_ID* algorithms = nullptr;
  DWORD algorithm_count = 0;
  const CERT_CONTEXT* certificate = nullptr;  // the credential's certificate, if any
};

// ReadCredentialDescription reads auth_data (an SCHANNEL_CRED, an SCH_CREDENTIALS or null for the
// defaults) into *request: SEC_E_OK, SEC_E_UNKNOWN_CREDENTIALS for another version, SEC_E_INVALID_PARAMETER
// for a parameter count without its array, SEC_E_NO_CREDENTIALS for a server without a certificate or
// for more than one certificate.
SECURITY_STATUS ReadCredentialDescription(const void* auth_data, bool outbound, CredentialRequest* request);

// MakeCredentialContext builds the OpenSSL context of a request, with the certificate and the private key
// its key-provider information names: SEC_E_OK with *out set, SEC_E_NO_CREDENTIALS when the certificate's
// key cannot be read or does not match it,
// SEC_E_ALGORITHM_MISMATCH when no cipher suite is left, SEC_E_INSUFFICIENT_MEMORY or SEC_E_INTERNAL_ERROR
// when OpenSSL fails.
SECURITY_STATUS MakeCredentialContext(const CredentialRequest& request, SslCtxPtr* out);

// ConnectionInfoOf describes what an SSL object negotiated.
SecPkgContext_ConnectionInfo ConnectionInfoOf(SSL* ssl);

}  // namespace velmora::platform
