// AlgorithmIdentifier (X.509 4.1.1.2): an algorithm OID with its raw parameters and, for RSASSA-PSS, the
// decoded PSS parameters (RFC 4055 3.1), with the DER codec and the deep copy of both records.
#pragma once

#include <cstdint>
#include <memory>

#include "core/buffer.h"

namespace velmora::asn1 {

// kRsaPssOid is the RSASSA-PSS algorithm (RFC 4055), the one identifier whose parameters are decoded.
inline constexpr char kRsaPssOid[] = "1.2.840.113549.1.1.10";
// kMgf1Oid is the mask generation function MGF1 (PKCS #1 B.2.1).
inline constexpr char kMgf1Oid[] = "1.2.840.113549.1.1.8";
// kSha1Oid is the default hash of the PSS parameters.
inline constexpr char kSha1Oid[] = "1.3.14.3.2.26";

struct RsaPssParams;

// AlgorithmIdentifier: oid is the dotted text ("1.2.840.113549.1.1.11"), parameters the complete DER
// element after it (empty when absent), pss the owned PSS parameters of an RSASSA-PSS identifier. One
// thread at a time per record.
struct AlgorithmIdentifier {
  core::Buffer oid;
  core::Buffer parameters;
  std::unique_ptr<RsaPssParams> pss;

  ~AlgorithmIdentifier();

  // Decode fills the record from the complete DER of one AlgorithmIdentifier SEQUENCE. oid, parameters
  // and pss are cleared first, so nothing of an earlier identifier stays; the PSS parameters are decoded
  // when oid is kRsaPssOid. 0, or the reader's code (446, 447) or 200; the fields read before a failure
  // stay.
  [[nodiscard]] int Decode(const core::BufferCore& der);
  // Encode appends SEQUENCE { OID, parameters } to out. With with_parameters set, stored parameters are
  // written as they stand; without any, NULL is written, except for the algorithms whose parameters must
  // be absent (ECDSA, DSA with SHA-1/SHA-2, EdDSA and XDH: RFC 5758 3.2, RFC 3279 2.2.2, RFC 8410 3).
  // Without with_parameters only the OID is written. pss is never encoded. 0, 445 or 200.
  [[nodiscard]] int Encode(core::BufferCore& out, bool with_parameters) const;
  // CopyFrom makes this record a deep copy of source (its own pss exactly when source has one).
  // 0 or 200; a failure stops at the first member that could not be copied.
  [[nodiscard]] int CopyFrom(const AlgorithmIdentifier& source);
};

// RsaPssParams holds RSASSA-PSS-params (RFC 4055 3.1) with the defaults of its constructor: SHA-1,
// MGF1, no mask-generation hash, salt length 20 and trailer field 1. Only the OID of maskGenHash is
// ever filled.
struct RsaPssParams {
  RsaPssParams();

  AlgorithmIdentifier hashAlgorithm;
  core::Buffer maskGenAlgorithm;
  AlgorithmIdentifier maskGenHash;
  int32_t saltLength = 20;
  int32_t trailerField = 1;

  // Decode reads the parameters DER (a SEQUENCE of [0] to [3]; other tags are skipped) over the values
  // already held; empty parameters leave them as they are. 0, or the first failing reader's code (the
  // fields read before it keep their new values).
  [[nodiscard]] int Decode(const core::BufferCore& der);
  // CopyFrom copies every field; 0 or 200.
  [[nodiscard]] int CopyFrom(const RsaPssParams& source);
};

inline AlgorithmIdentifier::~AlgorithmIdentifier() = default;

}  // namespace velmora::asn1
