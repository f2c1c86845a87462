#include "asn1/algorithm_identifier.h"

#include <cstring>
#include <new>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "asn1/der_writer.h"

namespace velmora::asn1 {
namespace {

using pki::Asn1Element;

// ParseOneLevel copies der into node and splits it into its children.
int ParseOneLevel(const core::BufferCore& der, Asn1Element& node) {
  int rc = node.Assign(der);
  if (rc != core::kOk) return rc;
  return node.Parse(0, nullptr);
}

// Signature and key algorithms whose AlgorithmIdentifier carries no parameters at all: ECDSA
// (RFC 5758 3.2), DSA with SHA-1 and SHA-2 (RFC 3279 2.2.2, RFC 5758 3.1) and EdDSA/XDH (RFC 8410 3).
constexpr const char* kAbsentParameterOids[] = {
    "1.2.840.10045.4.1",       "1.2.840.10045.4.3.1",     "1.2.840.10045.4.3.2", "1.2.840.10045.4.3.3",
    "1.2.840.10045.4.3.4",     "1.2.840.10040.4.3",       "2.16.840.1.101.3.4.3.1",
    "2.16.840.1.101.3.4.3.2",  "1.3.101.110",             "1.3.101.111",         "1.3.101.112",
    "1.3.101.113",
};

bool ParametersAbsentByRule(const core::BufferCore& oid) {
  for (const char* absent : kAbsentParameterOids) {
    if (oid.EqualsBytes(absent, static_cast<int32_t>(std::strlen(absent))) != 0) return true;
  }
  return false;
}

int DecodeIdentifier(const core::BufferCore& der, AlgorithmIdentifier& target, bool read_pss);

// ReadPssField handles one context-tagged child of RSASSA-PSS-params.
int ReadPssField(const Asn1Element& child, RsaPssParams& params) {
  Asn1Element tagged;
  int rc = ParseOneLevel(child, tagged);
  if (rc != core::kOk) return rc;
  const Asn1Element* inner = tagged.firstChild();
  if (inner == nullptr) return pki::kDerBadOuter;
  switch (child.tag()) {
    case 0xA0:
      // A hash is never RSASSA-PSS; not decoding PSS parameters inside it also bounds the recursion.
      return DecodeIdentifier(*inner, params.hashAlgorithm, false);
    case 0xA1: {
      Asn1Element mgf;
      rc = ParseOneLevel(*inner, mgf);
      if (rc != core::kOk) return rc;
      const Asn1Element* mgf_oid = mgf.firstChild();
      if (mgf_oid == nullptr) return pki::kDerBadOuter;
      rc = pki::DerReadOid(*mgf_oid, 0, params.maskGenAlgorithm, nullptr);
      if (rc != core::kOk || mgf_oid->nextSibling() == nullptr) return rc;
      Asn1Element hash;
      rc = ParseOneLevel(*mgf_oid->nextSibling(), hash);
      if (rc != core::kOk) return rc;
      if (hash.firstChild() == nullptr) return pki::kDerBadOuter;
      return pki::DerReadOid(*hash.firstChild(), 0, params.maskGenHash.oid, nullptr);
    }
    case 0xA2:
    case 0xA3: {
      uint32_t value = 0;
      rc = pki::DerReadSmallInteger(*inner, 0, &value, nullptr);
      if (rc != core::kOk) return rc;
      (child.tag() == 0xA2 ? params.saltLength : params.trailerField) = static_cast<int32_t>(value);
      return core::kOk;
    }
    default:
      return core::kOk;
  }
}

int DecodeIdentifier(const core::BufferCore& der, AlgorithmIdentifier& target, bool read_pss) {
  // Nothing of an identifier decoded into this record before may survive: a new identifier without
  // parameters must not inherit the old ones.
  target.parameters.Clear();
  target.pss.reset();
  Asn1Element node;
  int rc = ParseOneLevel(der, node);
  if (rc != core::kOk) return rc;
  const Asn1Element* first = node.firstChild();
  if (first == nullptr) return pki::kDerBadOuter;
  rc = pki::DerReadOid(*first, 0, target.oid, nullptr);
  if (rc != core::kOk) return rc;
  if (const Asn1Element* second = first->nextSibling(); second != nullptr) {
    rc = target.parameters.Assign(*second);
    if (rc != core::kOk) return rc;
  }
  if (!read_pss || target.oid.EqualsBytes(kRsaPssOid, sizeof kRsaPssOid - 1) == 0) return core::kOk;
  target.pss.reset(new (std::nothrow) RsaPssParams);
  if (target.pss == nullptr) return core::kOutOfMemory;
  return target.pss->Decode(target.parameters);
}

}  // namespace

int AlgorithmIdentifier::Decode(const core::BufferCore& der) { return DecodeIdentifier(der, *this, true); }

int AlgorithmIdentifier::Encode(core::BufferCore& out, bool with_parameters) const {
  pki::DerWriter writer;
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendOid(oid.Data(), 0x06);
  if (rc == core::kOk && with_parameters) {
    if (!parameters.IsEmpty()) {
      rc = writer.Append(parameters);
    } else if (!ParametersAbsentByRule(oid)) {
      writer.AppendEmpty(0x05);
    }
  }
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = out.Append(writer);
  return rc;
}

int AlgorithmIdentifier::CopyFrom(const AlgorithmIdentifier& source) {
  if (&source == this) return core::kOk;
  int rc = oid.Assign(source.oid);
  if (rc == core::kOk) rc = parameters.Assign(source.parameters);
  if (rc != core::kOk) return rc;
  pss.reset();
  if (source.pss == nullptr) return core::kOk;
  pss.reset(new (std::nothrow) RsaPssParams);
  if (pss == nullptr) return core::kOutOfMemory;
  return pss->CopyFrom(*source.pss);
}

RsaPssParams::RsaPssParams() {
  // Both texts fit the inline storage, so neither assignment can fail.
  (void)hashAlgorithm.oid.SetString(kSha1Oid);
  (void)maskGenAlgorithm.SetString(kMgf1Oid);
}

int RsaPssParams::Decode(const core::BufferCore& der) {
  if (der.IsEmpty()) return core::kOk;
  Asn1Element node;
  int rc = ParseOneLevel(der, node);
  for (const Asn1Element* child = node.firstChild(); rc == core::kOk && child != nullptr;
       child = child->nextSibling()) {
    rc = ReadPssField(*child, *this);
  }
  return rc;
}

int RsaPssParams::CopyFrom(const RsaPssParams& source) {
  if (&source == this) return core::kOk;
  int rc = hashAlgorithm.CopyFrom(source.hashAlgorithm);
  if (rc == core::kOk) rc = maskGenAlgorithm.Assign(source.maskGenAlgorithm);
  if (rc == core::kOk) rc = maskGenHash.CopyFrom(source.maskGenHash);
  if (rc != core::kOk) return rc;
  saltLength = source.saltLength;
  trailerField = source.trailerField;
  return core::kOk;
}

}  // namespace velmora::asn1
