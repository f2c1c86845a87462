// X.509 extensions (RFC 5280 4.1 Extension, 4.2): the CertExtension record with its DER codec, the lookup
// of an extension value in a certificate, the texts of the CRL distribution points, extended key usage
// and authority information access extensions, and the builders of extension values for certificates
// made in memory. Every function may run on any thread for records no other thread uses.
#pragma once

#include <cstdint>

#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "core/ptr_array.h"

namespace velmora::pki {

struct Certificate;

// CertExtension: oid is the extnID as dotted text, critical 1 when marked critical, value the complete
// extnValue element (tag, length, content) as read or built; a value of any tag is kept as it stands.
struct CertExtension {
  core::Buffer oid;
  int32_t critical = 0;
  core::Buffer value;

  // Assign copies the three fields of source (the copy of an extension list); 0 or 200.
  [[nodiscard]] int Assign(const CertExtension& source);
  // Decode fills the record from the complete DER of one Extension: a BOOLEAN second element gives
  // critical (1 when its first content byte is not zero) and moves the value to the third element. 0;
  // 447 for a malformed element or too few elements; 446 for a malformed inner element or an empty
  // BOOLEAN; or 200. The fields read before a failure keep their values.
  [[nodiscard]] int Decode(const core::BufferCore& der);
  // Encode appends SEQUENCE { OID, BOOLEAN TRUE when critical, value } to writer; a non-critical
  // extension carries no BOOLEAN (the DER default). 0, 445 or 200.
  [[nodiscard]] int Encode(DerWriter& writer) const;
};

// CertExtensionList owns extension records in certificate order; a null slot reads as an empty record.
using CertExtensionList = core::PtrArray<CertExtension>;

// SetExtension replaces the first extension of list whose oid has the bytes of record's by a copy of
// record, in its place, or appends a copy. 0 or 200 (the list unchanged).
[[nodiscard]] int SetExtension(CertExtensionList& list, const CertExtension& record);

// GetExtensionValue sets out to the content of the extnValue of certificate's first extension whose OID
// text equals oid without regard to case; out stays empty when there is none. 0, or the reader's code.
[[nodiscard]] int GetExtensionValue(const Certificate& certificate, const char* oid, core::BufferCore& out);

// DecodeCrlDistributionPoints sets the certificate's textResult to the content of every name of every
// fullName of its CRL distribution points, in order, joined by ", ", and returns its characters (valid
// until the next text getter of the certificate). A read failure ends the walk; what was gathered stays.
const char* DecodeCrlDistributionPoints(Certificate& certificate);
// DecodeExtendedKeyUsage sets textResult to the dotted OIDs of the extended key usage extension joined by
// ", " and returns its characters; a read failure ends the walk.
const char* DecodeExtendedKeyUsage(Certificate& certificate);
// GetAiaCaIssuersUrl sets out to the location of the first caIssuers access description of the
// authority information access extension that starts with "http://" or "https://" (case-sensitive);
// out is untouched when none does. 0, or the reader's code.
[[nodiscard]] int GetAiaCaIssuersUrl(const Certificate& certificate, core::BufferCore& out);
// GetAiaOcspUrl is GetAiaCaIssuersUrl for the ocsp access method.
[[nodiscard]] int GetAiaOcspUrl(const Certificate& certificate, core::BufferCore& out);

// EncodeExtendedKeyUsageValue appends the extnValue OCTET STRING { SEQUENCE OF OID } of the OIDs of a
// comma-separated text (items trimmed, empty ones skipped); a null or empty text writes nothing. 0, 445
// for an item that is not an OID (nothing written), or 200.
[[nodiscard]] int EncodeExtendedKeyUsageValue(const char* text, DerWriter& out);
// EncodeKeyUsageValue appends the extnValue OCTET STRING { BIT STRING } of key usage flags (0x80
// digitalSignature to 0x01 encipherOnly, 0x8000 decipherOnly) in DER's minimal form (X.690 11.2.2:
// trailing zero bits dropped and counted); flags below 1 write nothing. 0, 445 or 200.
[[nodiscard]] int EncodeKeyUsageValue(int32_t flags, DerWriter& out);
// EncodeSubjectAltNameExtension appends the whole subject alternative name Extension of a text cut at
// every ",", each item trimmed and written by EncodeGeneralNameFromText (pki/general_names.h); items
// without a known prefix are skipped. 0; -1 for a bad "ip:" item (nothing written); 445 or 200.
[[nodiscard]] int EncodeSubjectAltNameExtension(const char* text, DerWriter& out);

}  // namespace velmora::pki
