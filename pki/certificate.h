// The X.509 certificate records (RFC 5280 4.1): Certificate keeps the DER it was read from beside the
// decoded TbsCertificate, so that a certificate that was read is written back byte for byte and one built
// in memory is encoded from its fields. The codec is in pki/certificate_codec.h, the extension record and
// its lookups in pki/cert_extensions.h, the signature check in pki/certificate_signature.h.
#pragma once

#include <cstdint>

#include "asn1/algorithm_identifier.h"
#include "core/buffer.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_extensions.h"

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

// TbsCertificate: the decoded fields of a TBSCertificate. The *Der fields and serialNumber are complete
// elements as read (empty for a certificate built in memory); the texts are derived from them: serialHex
// the lower-case hex of the serial's magnitude, issuer and subject the name texts of
// pki/distinguished_name.h, notBefore and notAfter "yyyyMMddHHmmss" (UTC). version is the DER value
// (0 for v1, 2 for v3); signature has no PSS record.
struct TbsCertificate {
  int32_t version = 0;
  core::Buffer serialNumber;
  core::Buffer serialHex;
  AlgorithmIdentifier signature;
  core::Buffer issuer;
  core::Buffer issuerDer;
  core::Buffer notBefore;
  core::Buffer notAfter;
  core::Buffer subject;
  core::Buffer subjectDer;
  core::Buffer spkiDer;
  SubjectPublicKey publicKey;
  CertExtensionList extensions;
};

// Certificate: der is the whole certificate as read (when not empty, the encoder writes it unchanged),
// tbsDer the complete TBSCertificate element (the signed bytes), signatureAlgorithm the outer algorithm,
// signature the BIT STRING content without its unused-bits byte. textResult holds the text of the last
// text getter (extension texts); it is not part of the encoding. One thread at a time per record.
struct Certificate {
  core::Buffer der;
  core::Buffer tbsDer;
  TbsCertificate tbs;
  AlgorithmIdentifier signatureAlgorithm;
  core::Buffer signature;
  core::Buffer textResult;
};

}  // namespace velmora::pki
