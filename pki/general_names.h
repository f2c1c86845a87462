// GeneralName text (RFC 5280 4.2.1.6): the subject alternative names of a certificate and the requestor
// name of an OCSP request shown as short texts with a prefix per kind: "email:", "dns:", "uri:", "ip:",
// "rid:" and "dirname:". Every function may run on any thread for records no other thread uses.
#pragma once

#include "asn1/der_writer.h"
#include "core/buffer.h"

namespace velmora::pki {

struct Certificate;

// GeneralNamesToText sets out to the names of a GeneralNames DER joined by "," (with prefixes) or ", "
// (without): rfc822Name, dNSName and uniformResourceIdentifier as their characters, iPAddress as dotted
// IPv4 (4 bytes), RFC 5952 IPv6 text (16 bytes) or lower-case hex (other lengths), registeredID as its
// dotted OID, directoryName as its name text, otherName as the content of its value (no prefix);
// x400Address, ediPartyName and unknown tags add only the separator. 0, or the first reader's code (the
// text built so far stays).
[[nodiscard]] int GeneralNamesToText(const core::BufferCore& der, core::BufferCore& out, bool with_prefix);

// HasGeneralNamePrefix is true when the text, leading blanks skipped, starts with one of the prefixes
// (compared exactly, lower case).
bool HasGeneralNamePrefix(const char* text);
// EncodeGeneralNameFromText appends one GeneralName from a prefixed text (blanks around it trimmed):
// email, uri and dns as their characters, ip as four bytes of dotted decimals 0 to 255, rid as an
// encoded OID, dirname as [4] holding the DER Name of the name text. A null or empty text writes nothing
// and gives 0. -1 for an unknown prefix or a bad address, 445 for a bad OID or name, or 200; nothing is
// written after a failure.
[[nodiscard]] int EncodeGeneralNameFromText(DerWriter& writer, const char* text);

// OidListToText sets out to the dotted OIDs of a SEQUENCE OF OBJECT IDENTIFIER joined by ", "; an empty
// input gives an empty text. 0, or the reader's code (the OIDs read before it stay).
[[nodiscard]] int OidListToText(const core::BufferCore& der, core::BufferCore& out);

// GetSubjectAltNameText sets the certificate's textResult to GeneralNamesToText of its subject
// alternative name extension and returns its characters (valid until the next text getter of the
// certificate); a missing or unreadable extension gives "".
const char* GetSubjectAltNameText(Certificate& certificate, bool with_prefix);

}  // namespace velmora::pki
