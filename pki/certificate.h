// The records through which a certificate's signature is checked: AlgorithmIdentifier (an algorithm
// OID with its raw parameters and, for RSASSA-PSS, the decoded PSS parameters) and Certificate (the
// signed TBSCertificate bytes, the outer signature algorithm and value, and the subject's public key).
// The DER codecs that fill them are added with the certificate reader; here they are plain records.
#pragma once

#include <cstdint>
#include <memory>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"

namespace velmora::pki {

// kRsaPssOid is the RSASSA-PSS algorithm (RFC 4055), the one identifier whose parameters are decoded.
inline constexpr char kRsaPssOid[] = "1.2.840.113549.1.1.10";

// RsaPssParams holds the RSASSA-PSS parameters a verification reads: the salt length (RFC 4055
// default 20) and the trailer field (default 1).
struct RsaPssParams {
  int32_t saltLength = 20;
  int32_t trailerField = 1;
};

// AlgorithmIdentifier: oid is the dotted text ("1.2.840.113549.1.1.11"), parameters the complete DER
// element after it (empty when absent), pss the owned PSS parameters of an RSASSA-PSS identifier.
struct AlgorithmIdentifier {
  core::Buffer oid;
  core::Buffer parameters;
  std::unique_ptr<RsaPssParams> pss;
};

// SubjectPublicKey: a certificate's public key, its algorithm OID and the key itself.
struct SubjectPublicKey {
  AlgorithmIdentifier algorithm;
  crypto::KeyRecord key;
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
