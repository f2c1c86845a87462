// AlgorithmIdentifier (X.509 4.1.1.2): an algorithm OID with its raw parameters and, for RSASSA-PSS, the
// decoded PSS parameters. The DER codec that fills it comes with the certificate reader; here it is a
// plain record.
#pragma once

#include <cstdint>
#include <memory>

#include "core/buffer.h"

namespace velmora::asn1 {

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

}  // namespace velmora::asn1
