#include "keystore/jwk.h"

namespace velmora::keystore {

// Not built yet: the JWK reader and writer arrive with the key format work.
int LoadJwk(pki::KeyWithCertificates&, const char*) { return 280; }
int WriteJwk(const crypto::KeyRecord&, uint32_t, core::Buffer&) { return 280; }

}  // namespace velmora::keystore
