#include "keystore/security_key.h"

namespace velmora::keystore {

// Not built yet: the security key block arrives with the key format work.
int LoadSecurityKey(pki::CertificateWithKey&, const char*, const char*) { return 202; }
int WriteSecurityKey(const pki::CertificateWithKey&, core::Buffer&) { return 202; }

}  // namespace velmora::keystore
