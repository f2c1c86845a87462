// SubjectPublicKeyInfo (RFC 5280 4.1.2.7) to and from the key record: RSA (rsaEncryption, and RSASSA-PSS
// keys read as RSA), DSA, elliptic-curve keys with named or explicit domain parameters (RFC 5480, SEC 1
// C.2), and EdDSA and XDH keys (RFC 8410). One thread at a time per record.
#pragma once

#include <cstdint>

#include "asn1/der_writer.h"
#include "component/component_base.h"
#include "core/buffer.h"
#include "crypto/keys/key_params.h"
#include "crypto/objects/key_record.h"
#include "pki/certificate.h"

namespace velmora::pki {

// DecodePublicKeyFromSpki fills target from the complete DER of a SubjectPublicKeyInfo: the algorithm's
// OID, and the key of a known algorithm (an unknown one leaves the key as it was and succeeds). 0; 447
// when the structure does not have exactly two elements, the algorithm is empty or DSA parameters have
// fewer than three numbers; -1 for an unknown named curve or EdDSA/XDH OID; DecodeEcParameters' codes;
// 1401 for a point that is not on the curve; another reader's code or 200.
[[nodiscard]] int DecodePublicKeyFromSpki(const core::BufferCore& der, SubjectPublicKey& target);
// DecodeEcParameters sets params' key type from the length bytes of an ECParameters element (RFC 3279
// 2.3.5): a named curve OID, or SpecifiedECDomain parameters equal to P-256, P-384, P-521, secp160k1,
// secp192k1, secp224k1 or secp256k1. 0; -1 for an OID that names no Weierstrass curve the keys know;
// 446 for other explicit parameters, a base point that is not uncompressed, or an element that is
// neither an OID nor a SEQUENCE (params untouched); a reader's code or 200.
[[nodiscard]] int DecodeEcParameters(const uint8_t* bytes, int32_t length, crypto::EcKeyParams& params);
// EncodeSubjectPublicKeyInfo appends the SubjectPublicKeyInfo of key's public part to writer, computing
// a missing public part from the private one: RSA with NULL parameters, DSA with its P, Q, G, EC with the
// named curve and an uncompressed point (coordinates padded to the curve's size), Ed25519 and Ed448 with
// no parameters; a record without a key gives 30 00. 0; -1 for an XDH key or a curve without an OID;
// 445; the key layer's code or 200.
[[nodiscard]] int EncodeSubjectPublicKeyInfo(crypto::KeyRecord& key, DerWriter& writer);
// ParseSubjectPublicKeyInfo sets out to the subjectPublicKey bits (without the unused-bits byte) of a
// SubjectPublicKeyInfo. 0; 446, with component's last error text "Invalid SubjectPublicKeyInfo ASN.1
// structure", when it does not have exactly two elements; a reader's code.
[[nodiscard]] int ParseSubjectPublicKeyInfo(component::ComponentBase& component, const core::BufferCore& der,
                                            core::BufferCore& out);

}  // namespace velmora::pki
