// The X.509 certificate revocation list (RFC 5280 5.1) read into a record that a revocation check can
// use directly: the issuer, the two update times and the revoked serial numbers with their revocation
// dates as parallel text lists.
#pragma once

#include <cstdint>

#include "asn1/algorithm_identifier.h"
#include "core/buffer.h"
#include "core/pointer_lists.h"

namespace velmora::pki {

// CertificateRevocationList (the CertificateList of RFC 5280): version is the TBSCertList's version
// INTEGER (left as it was when absent); signatureAlgorithm the outer algorithm; issuer the Name as text
// (pki/distinguished_name.h); thisUpdate, nextUpdate (empty when absent) and every revocation date
// "yyyyMMddHHmmss" (UTC). revokedSerials holds each serialNumber as lower-case hex of its INTEGER content
// without one leading zero byte ("00" for zero), the form TbsCertificate::serialHex has, so the two
// compare as text; revocationDates[i] is the date of revokedSerials[i]. tbsDer is the complete
// TBSCertList (the signed bytes), signature the BIT STRING content without its unused-bits byte. One
// thread at a time per record.
struct CertificateRevocationList {
  int32_t version = 0;
  asn1::AlgorithmIdentifier signatureAlgorithm;
  core::Buffer issuer;
  core::Buffer thisUpdate;
  core::Buffer nextUpdate;
  core::Buffer20List revokedSerials;
  core::Buffer20List revocationDates;
  core::Buffer tbsDer;
  core::Buffer signature;

  // Decode reads the CertificateList DER at der (length bytes; trailing bytes are ignored). The revoked
  // lists are replaced only when the list has a revokedCertificates element; nextUpdate is emptied when
  // it has none. 0; 447 for a malformed or missing element, an outer element that is not a SEQUENCE of
  // at least three elements, or a missing field; 446 for a malformed later element or value, a serial
  // that is not an INTEGER or a time of another type; 200. The fields read before a failure keep their
  // values and the two lists always hold the same number of items (both are emptied when memory runs
  // out between the two adds of one entry).
  [[nodiscard]] int Decode(const uint8_t* der, int32_t length);
};

}  // namespace velmora::pki
