// X.509 distinguished names (X.501 9, RFC 5280 4.1.2.4) in two forms: the DER Name as it was encoded and
// a text of short name, "=" and value per attribute, such as "CN=Test, O=Example". Here are the attribute
// short names, both conversions, the canonical text two names are compared by, and the decoding of a
// PKCS #7 IssuerAndSerialNumber.
//
// A name between text and DER travels as a core::StrList of pairs: item 2i the attribute (OID text or
// short name), item 2i + 1 its value (text, or the value element's DER when it comes from a DER Name).
// Every function may run on any thread; the outputs belong to the caller.
#pragma once

#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "core/str_list.h"

namespace velmora::pki {

// OidToDnShortName sets out to the short name of the attribute OID text ("2.5.4.3" gives "CN"), or to
// the OID text itself when the table has none. 0 or 200.
[[nodiscard]] int OidToDnShortName(const core::BufferCore& oid, core::BufferCore& out);
// DnShortNameToOid sets out to the OID text of a short name, compared after trimming blanks and
// upper-casing ASCII letters ("postalcode" gives "2.5.4.17"), or to that trimmed, upper-cased name when
// the table has none. 0 or 200.
[[nodiscard]] int DnShortNameToOid(const char* name, core::BufferCore& out);

// DecodeNameToString sets out to the text of a DER Name: the RDNs in encoded order joined by ", ", the
// attributes of one RDN joined by one blank. 0, the reader's code (446, 447), 434 for a BMPString that
// is not UTF-16, or 200.
[[nodiscard]] int DecodeNameToString(const core::BufferCore& der, core::BufferCore& out);
// RdnListToText appends "short name=value" for each (OID, value DER) pair of pairs, joined by ", ".
// BMPString values whose characters are all below 256 become one byte per character, other BMPStrings
// UTF-8; every other string type is taken as its bytes. A double quote is written as \" and a value
// that needs quotes (DnValueNeedsQuotes) is wrapped in them. 0, -1 for an odd item count, 434, a
// reader's code or 200.
[[nodiscard]] int RdnListToText(const core::StrList& pairs, core::BufferCore& out);
// DnValueNeedsQuotes is true when the value holds one of , + = # < > " or begins or ends with a blank.
// With inside_only set only the characters between the first and the last are looked at.
bool DnValueNeedsQuotes(const core::BufferCore& value, bool inside_only);
// DnTextToPairList replaces pairs with the (OID, value text) pairs of a name text, in text order: an
// attribute ends at a comma outside double quotes or at the end of the text; blanks in a name are
// dropped; a backslash makes the next character ordinary; a quoted value whose inside needs quotes
// loses its outer quotes and has \" turned into ". An attribute without a value is dropped; a name not
// in the table is kept upper-cased. 0 or 200.
[[nodiscard]] int DnTextToPairList(const char* text, core::StrList& pairs);
// EncodeNameFromText appends to writer the DER Name of a name text, one RDN per attribute in text order.
// The value type is IA5String for emailAddress, domainComponent, mail and unstructuredName, else
// PrintableString; a value outside the PrintableString repertoire becomes UTF8String when it is UTF-8,
// else BMPString (each byte one character). "" gives 30 00. 0, 445 for an attribute that is neither a
// short name nor an OID, or 200; after a failure writer is as it was.
[[nodiscard]] int EncodeNameFromText(const char* text, DerWriter& writer);

// NextDnToken sets out to the next token of the name text at *cursor and moves the cursor past it: ""
// at the end, "=" or ",", a double-quoted token (quotes kept; "" with the cursor unmoved when it is not
// closed) or a plain token up to the next unescaped "," or "="; a backslash makes the next character
// ordinary and blanks around a token are trimmed. 0 or 200.
[[nodiscard]] int NextDnToken(const char** cursor, core::BufferCore& out);
// IsNumericOid is true for dotted decimal text with at least one dot, such as "2.5.4.3".
bool IsNumericOid(const char* text);
// ParseDistinguishedName sets out to the canonical form of a name text: attributes by short name,
// upper-cased ("OID." and numeric OIDs resolved; S, EMAIL, EMAILADDRESS and TITLE renamed ST, E, E and
// T), sorted by name and then value in byte order, joined as "name=value" by ",". *parsed (optional) is
// set false, with out empty, for a text that is not a name; on a memory failure out is the text itself.
// Returns 0.
int ParseDistinguishedName(const char* text, core::BufferCore& out, bool* parsed);
// DistinguishedNamesEqual is 1 when both texts are names with byte-equal canonical forms, else 0; a text
// that is not a name equals nothing, itself included.
int DistinguishedNamesEqual(const char* a, const char* b);
// DistinguishedNamesEqualNoCase is DistinguishedNamesEqual with ASCII letters compared without case.
int DistinguishedNamesEqualNoCase(const char* a, const char* b);

// DecodeIssuerAndSerialNumber reads a DER IssuerAndSerialNumber (RFC 5652 10.2.4). With name_only given,
// only the issuer's text goes there and issuer and serial are untouched; otherwise issuer receives the
// issuer's text and serial the serial number's magnitude. 0, the reader's code or 434.
[[nodiscard]] int DecodeIssuerAndSerialNumber(const core::BufferCore& der, core::BufferCore& issuer,
                                              core::BufferCore& serial, core::BufferCore* name_only);

}  // namespace velmora::pki
