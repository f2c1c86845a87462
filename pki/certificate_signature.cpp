#include "pki/certificate_signature.h"

#include <cstring>

#include "crypto/keys/curve_params.h"

namespace velmora::pki {

int VerifySignatureByAlgorithm(const Certificate& certificate, const Certificate& issuer) {
  const SubjectPublicKey& issuer_key = issuer.tbs.publicKey;
  const char* oid = issuer_key.algorithm.oid.Data() != nullptr ? issuer_key.algorithm.oid.Data() : "";
  const char* family = crypto::KeyAlgorithmFromOid(oid);
  if (std::strcmp(family, "RSA") != 0 && std::strcmp(family, "DSA") != 0 && std::strcmp(family, "IdEcPublicKey") != 0) {
    return crypto::kKeyAlgorithmRefused;
  }
  return crypto::VerifyWithKeyRecord(issuer_key.key, certificate.signature, certificate.tbsDer,
                                     certificate.signatureAlgorithm);
}

}  // namespace velmora::pki
