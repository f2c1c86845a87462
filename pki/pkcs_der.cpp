#include "pki/pkcs_der.h"

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"
#include "asn1/oid_text.h"
#include "pki/distinguished_name.h"

namespace velmora::pki::internal {

bool ReadElement(const uint8_t* bytes, int32_t offset, int32_t limit, DerSpan* out) {
  out->bytes = bytes;
  return DerWalkHeader(bytes, offset, limit, &out->tag, &out->content, &out->content_end, &out->start, &out->end);
}

bool Children(const DerSpan& parent, DerSpan* out, int32_t max, int32_t* count) {
  *count = 0;
  int32_t pos = parent.content;
  while (pos < parent.content_end) {
    if (*count >= max) return false;
    if (!ReadElement(parent.bytes, pos, parent.content_end, &out[*count])) return false;
    pos = out[*count].end;
    ++*count;
  }
  return true;
}

int OidText(const DerSpan& span, core::BufferCore& out) {
  if (span.tag != 0x06 || span.Length() < 1) return kDerBadInner;
  const int rc = OidContentToText(span.Content(), span.Length(), out);
  return rc == 0 || rc == core::kOutOfMemory ? rc : kDerBadInner;
}

bool SmallInteger(const DerSpan& span, int64_t* out) {
  if (span.tag != 0x02 || span.Length() < 1 || span.Length() > 4) return false;
  const uint8_t* c = span.Content();
  if ((c[0] & 0x80) != 0) return false;
  int64_t value = 0;
  for (int32_t i = 0; i < span.Length(); ++i) value = (value << 8) | c[i];
  *out = value;
  return true;
}

namespace {

int Join(const DerSpan& span, core::BufferCore& out, int depth) {
  if (!span.Constructed()) return out.Append(span.Content(), span.Length());
  if (depth > kDerMaxDepth) return kDerBadInner;
  int32_t pos = span.content;
  while (pos < span.content_end) {
    DerSpan item;
    if (!ReadElement(span.bytes, pos, span.content_end, &item) || (item.tag & 0xDF) != 0x04) return kDerBadInner;
    const int rc = Join(item, out, depth + 1);
    if (rc != 0) return rc;
    pos = item.end;
  }
  return 0;
}

}  // namespace

int JoinOctets(const DerSpan& span, core::BufferCore& out) {
  int rc = out.SetData(0, nullptr);
  return rc == 0 ? Join(span, out, 0) : rc;
}

int ReadBagAttributes(const DerSpan& set, core::StrList& oids, core::StrList& values) {
  if ((set.tag & 0x20) == 0) return kDerBadInner;
  for (int32_t pos = set.content; pos < set.content_end;) {
    DerSpan attribute, parts[2], first;
    int32_t count = 0;
    if (!ReadElement(set.bytes, pos, set.content_end, &attribute) || !Children(attribute, parts, 2, &count) ||
        count != 2) {
      return kDerBadInner;
    }
    pos = attribute.end;
    core::Buffer oid;
    int rc = OidText(parts[0], oid);
    if (rc == 0) rc = oids.Add(oid.Bytes(), oid.Length());
    const bool has_value =
        parts[1].Length() > 0 && ReadElement(parts[1].bytes, parts[1].content, parts[1].content_end, &first);
    if (rc == 0) rc = has_value ? values.Add(first.Content(), first.Length()) : values.Add(nullptr, 0);
    if (rc != 0) return rc;
  }
  return 0;
}

int ReadIssuerAndSerial(const DerSpan& element, core::BufferCore& issuer_der, core::BufferCore& issuer,
                        core::BufferCore& serial, core::BufferCore* serial_element) {
  DerSpan items[2];
  int32_t count = 0;
  for (int32_t pos = element.content; pos < element.content_end && count < 2; pos = items[count++].end) {
    if (!ReadElement(element.bytes, pos, element.content_end, &items[count])) return kDerBadInner;
  }
  if (element.tag != 0x30 || count < 2) return kDerBadInner;
  int rc = issuer_der.SetData(items[0].EncodingLength(), items[0].Encoding());
  if (rc == core::kOk) rc = DecodeNameToString(issuer_der, issuer);
  if (rc != core::kOk) return rc;
  if (items[1].tag != 0x02 || items[1].Length() < 1) return kDerBadInner;
  const uint8_t* content = items[1].Content();
  int32_t length = items[1].Length();
  if (length > 1 && content[0] == 0) {
    ++content;
    --length;
  }
  rc = serial.SetData(length, content);
  if (rc != core::kOk || serial_element == nullptr) return rc;
  return serial_element->SetData(items[1].EncodingLength(), items[1].Encoding());
}

}  // namespace velmora::pki::internal
