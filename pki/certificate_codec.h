// The DER codec and the deep copy of Certificate and TbsCertificate (RFC 5280 4.1). A certificate that
// was read keeps its DER and is written back unchanged; one built in memory (der empty) is encoded from
// its fields. One thread at a time per record.
#pragma once

#include <cstdint>

#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "pki/certificate.h"

namespace velmora::pki {

// ParseCertificate reads the certificate element at the start of bytes into target: der receives that
// element only (trailing bytes are not kept), the outer signature algorithm only its OID. 0; 447 for a
// malformed or missing element or too few elements; 446 for a malformed inner element, a serial that is
// not an INTEGER or a time that does not parse; the key reader's codes (-1, 1401); or 200. The fields
// read before a failure keep their values and nothing past the element is read.
[[nodiscard]] int ParseCertificate(const uint8_t* bytes, int32_t length, Certificate& target);
// DecodeStoredCertificate decodes the DER held in certificate.der into its other fields, the outer
// signature algorithm with its parameters and PSS record; the codes of ParseCertificate.
[[nodiscard]] int DecodeStoredCertificate(Certificate& certificate);
// DecodeTbsCertificate fills target from the complete DER of a TBSCertificate. The extension list is
// emptied first; the extensions are the [3] element after subjectPublicKeyInfo, whatever unique
// identifiers ([1], [2]) stand before it. 447 for too few elements or an element after the key that is
// not [1], [2] or [3]; otherwise the codes of ParseCertificate.
[[nodiscard]] int DecodeTbsCertificate(const core::BufferCore& der, TbsCertificate& target);

// EncodeCertificate appends certificate.der when it is not empty; otherwise the certificate encoded
// from its fields (the null slots of the extension list are filled with empty extensions). 0; 445 for a
// field that cannot be encoded (no serial, a bad time, name or OID text); the key writer's codes; 200.
[[nodiscard]] int EncodeCertificate(Certificate& certificate, DerWriter& writer);
// EncodeTbsCertificate appends the TBSCertificate of record: the version always, serialNumber as read or
// else from serialHex, issuerDer as read or else the issuer text, the subject always from its text and
// the key from its record; the codes of EncodeCertificate.
[[nodiscard]] int EncodeTbsCertificate(TbsCertificate& record, DerWriter& writer);

// CertificateToPem writes the certificate, encoded as EncodeCertificate does, as a "CERTIFICATE" PEM block
// (CR LF line ends) into out. 0, or the encoder's code with out left empty.
[[nodiscard]] int CertificateToPem(Certificate& certificate, core::BufferCore& out);

// CopyCertificate makes target a deep copy of source (its textResult untouched); the source's extensions
// are added after any target already holds. 0 or the first failing member's code (200).
[[nodiscard]] int CopyCertificate(Certificate& target, const Certificate& source);
// CopyTbsCertificate is the TbsCertificate part of CopyCertificate.
[[nodiscard]] int CopyTbsCertificate(TbsCertificate& target, const TbsCertificate& source);

}  // namespace velmora::pki
