// The private key of a certificate context, found through its key-provider information (property 2):
// the module's CryptAcquireCertificatePrivateKey (crypt32_modules.h) and the key the transport-security
// module serves a credential's certificate with. Any thread.
#pragma once

#include <openssl/types.h>

#include "platform/crypto/cert_types.h"

namespace velmora::platform {

// CertificatePrivateKey reads the key the context's information names from its provider's store: a new
// reference, or null when there is no information or no such key (a smart card's key needs its PIN and
// is never read here).
EVP_PKEY* CertificatePrivateKey(PCCERT_CONTEXT context);

// ReleaseCachedCertificateKeys releases the handles CryptAcquireCertificatePrivateKey kept with the
// context (flag 1); the certificate module calls it when the context's last reference goes.
void ReleaseCachedCertificateKeys(const CERT_CONTEXT* context);

}  // namespace velmora::platform
