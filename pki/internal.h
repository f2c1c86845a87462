// What only the certificate code of this folder shares.
#pragma once

#include "asn1/algorithm_identifier.h"
#include "asn1/asn1_element.h"
#include "pki/cert_extensions.h"

namespace velmora::pki {

// DecodeExtensionNode is CertExtension::Decode on a node that already holds the Extension's DER (it is
// parsed in place, sparing a copy).
[[nodiscard]] int DecodeExtensionNode(Asn1Element& node, CertExtension& target);

// ReadSignatureAlgorithm reads an AlgorithmIdentifier as a certificate's signature fields are read: the OID
// text and, when present, the complete parameters element, nothing decoded further.
[[nodiscard]] int ReadSignatureAlgorithm(Asn1Element& element, AlgorithmIdentifier& target);

}  // namespace velmora::pki
