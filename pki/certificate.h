// The records through which a certificate's signature is checked: Certificate (the signed TBSCertificate
// bytes, the outer signature algorithm and value, and the subject's public key) with its AlgorithmIdentifier
// records. The certificate's DER codec comes with the certificate reader; the identifier and public-key
// codecs are in asn1/algorithm_identifier.h and pki/subject_public_key_info.h.
#pragma once

#include "asn1/algorithm_identifier.h"
#include "core/buffer.h"
#include "crypto/objects/key_record.h"

namespace velmora::pki {

using asn1::AlgorithmIdentifier;
using asn1::kRsaPssOid;
using asn1::RsaPssParams;

// SubjectPublicKey: a certificate's public key, its algorithm OID and the key itself.
struct SubjectPublicKey {
  AlgorithmIdentifier algorithm;
  crypto::KeyRecord key;

  // CopyFrom copies the algorithm, then the key (subject_public_key_info.cpp); the first failing code.
  [[nodiscard]] int CopyFrom(const SubjectPublicKey& source);
};

// TbsCertificate: the decoded fields of a certificate's TBSCertificate.
struct TbsCertificate {
  SubjectPublicKey publicKey;
};

// Certificate: tbsDer is the complete TBSCertificate element (the signed bytes), signatureAlgorithm
// the outer algorithm, signature the BIT STRING content without its unused-bits byte.
struct Certificate {
  core::Buffer tbsDer;
  TbsCertificate tbs;
  AlgorithmIdentifier signatureAlgorithm;
  core::Buffer signature;
};

}  // namespace velmora::pki
