// Walking encoded elements in place for the PKCS readers: an element is a span of the caller's bytes,
// definite or indefinite (BER) in length. Nothing is copied until a value is taken.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"

namespace velmora::pki::internal {

// DerSpan is one element inside bytes: the header starts at start, the content is [content, content_end)
// and the element ends at end (past an end-of-contents marker for an indefinite length).
struct DerSpan {
  const uint8_t* bytes = nullptr;
  int32_t start = 0;
  int32_t content = 0;
  int32_t content_end = 0;
  int32_t end = 0;
  uint8_t tag = 0;

  int32_t Length() const { return content_end - content; }
  const uint8_t* Content() const { return bytes + content; }
  const uint8_t* Encoding() const { return bytes + start; }
  int32_t EncodingLength() const { return end - start; }
  bool Constructed() const { return (tag & 0x20) != 0; }
};

// ReadElement reads the element at offset of bytes, ending at or before limit: false when malformed.
bool ReadElement(const uint8_t* bytes, int32_t offset, int32_t limit, DerSpan* out);
// ReadTop reads the element at the start of length bytes.
inline bool ReadTop(const uint8_t* bytes, int32_t length, DerSpan* out) { return ReadElement(bytes, 0, length, out); }

// Children splits the content of parent into at most max children, *count set to how many were found.
// False when an item is malformed or there are more than max.
bool Children(const DerSpan& parent, DerSpan* out, int32_t max, int32_t* count);

// OidText sets out to the dotted text of an OBJECT IDENTIFIER element: 0, 446 for another tag or bad
// content, 200.
[[nodiscard]] int OidText(const DerSpan& span, core::BufferCore& out);
// SmallInteger reads an INTEGER of at most four content bytes as a non-negative value; false otherwise.
bool SmallInteger(const DerSpan& span, int64_t* out);
// JoinOctets sets out to the bytes of an OCTET STRING, primitive or built of segments (BER), or of any
// constructed element whose items are OCTET STRING segments: 0, 446 for another item, 200.
[[nodiscard]] int JoinOctets(const DerSpan& span, core::BufferCore& out);

// ReadBagAttributes adds the OID and the content of the first value of each Attribute in a SET OF
// Attribute to the lists (an empty value when the value SET is empty): 0, 446 when malformed, 200.
[[nodiscard]] int ReadBagAttributes(const DerSpan& set, core::StrList& oids, core::StrList& values);

// ReadIssuerAndSerial reads an IssuerAndSerialNumber (the first two items of element, a SEQUENCE): the
// issuer Name's encoding into issuer_der, its text into issuer, the serial INTEGER's content with one
// leading zero byte dropped (as a certificate's serial text is made) into serial, and, when asked, the
// INTEGER's whole encoding into serial_element. 0, 446 when malformed, or the name reader's or a Buffer
// code; the outputs set before a failure keep their values.
[[nodiscard]] int ReadIssuerAndSerial(const DerSpan& element, core::BufferCore& issuer_der, core::BufferCore& issuer,
                                      core::BufferCore& serial, core::BufferCore* serial_element);

// The object identifiers of PKCS #12 containers that both their reader and their builder name.
constexpr const char* kOidData = "1.2.840.113549.1.7.1";
constexpr const char* kOidEncryptedData = "1.2.840.113549.1.7.6";
constexpr const char* kOidShroudedKeyBag = "1.2.840.113549.1.12.10.1.2";
constexpr const char* kOidCertBag = "1.2.840.113549.1.12.10.1.3";
constexpr const char* kOidX509Certificate = "1.2.840.113549.1.9.22.1";
constexpr const char* kOidLocalKeyId = "1.2.840.113549.1.9.21";

}  // namespace velmora::pki::internal
