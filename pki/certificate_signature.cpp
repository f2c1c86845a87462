#include "pki/certificate_signature.h"

#include <cstring>
#include <new>

#include "crypto/keys/curve_params.h"

namespace velmora::pki {

namespace {

// PssAlgorithmOf sets out to the certificate's RSASSA-PSS identifier with its parameters decoded.
// Certificate::Parse keeps only the OID of the outer algorithm, but the signed TBSCertificate carries
// the same identifier (RFC 5280 section 4.1.2.3), so its parameters stand in for the outer ones.
int PssAlgorithmOf(const Certificate& certificate, AlgorithmIdentifier& out) {
  int rc = out.CopyFrom(certificate.signatureAlgorithm);
  if (rc != core::kOk || out.pss != nullptr) return rc;
  const AlgorithmIdentifier& inner = certificate.tbs.signature;
  if (out.parameters.IsEmpty() && inner.oid.EqualsNoCase(kRsaPssOid) != 0) rc = out.parameters.Assign(inner.parameters);
  if (rc != core::kOk) return rc;
  out.pss.reset(new (std::nothrow) RsaPssParams);
  return out.pss == nullptr ? core::kOutOfMemory : out.pss->Decode(out.parameters);
}

}  // namespace

int VerifySignatureByAlgorithm(const Certificate& certificate, const Certificate& issuer) {
  const SubjectPublicKey& issuer_key = issuer.tbs.publicKey;
  const char* oid = issuer_key.algorithm.oid.Data() != nullptr ? issuer_key.algorithm.oid.Data() : "";
  const char* family = crypto::KeyAlgorithmFromOid(oid);
  if (std::strcmp(family, "RSA") != 0 && std::strcmp(family, "DSA") != 0 && std::strcmp(family, "IdEcPublicKey") != 0) {
    return crypto::kKeyAlgorithmRefused;
  }
  if (certificate.signatureAlgorithm.oid.EqualsNoCase(kRsaPssOid) == 0) {
    return crypto::VerifyWithKeyRecord(issuer_key.key, certificate.signature, certificate.tbsDer,
                                       certificate.signatureAlgorithm);
  }
  AlgorithmIdentifier algorithm;
  const int rc = PssAlgorithmOf(certificate, algorithm);
  return rc != core::kOk ? rc : crypto::VerifyWithKeyRecord(issuer_key.key, certificate.signature, certificate.tbsDer,
                                                            algorithm);
}

}  // namespace velmora::pki
