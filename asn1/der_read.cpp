#include "asn1/der_read.h"

#include <cstring>

#include "core/date_time.h"
#include "core/numbers.h"
#include "asn1/oid_text.h"

namespace velmora::pki {
namespace {

// Element is one decoded tag and definite-length content.
struct Element {
  uint8_t tag;
  const uint8_t* content;
  int32_t length;
};

// DecodeElement reads the element at pos within remaining bytes; the position after it, or null.
const uint8_t* DecodeElement(const uint8_t* pos, int32_t* remaining, Element* e) {
  if (pos == nullptr || remaining == nullptr || *remaining < 2) return nullptr;
  const uint8_t* end = pos + *remaining;
  uint32_t length;
  const uint8_t* content = DerDecodeLength(pos + 1, end, &length);
  if (content == nullptr || length > static_cast<uint32_t>(end - content)) return nullptr;
  e->tag = pos[0];
  e->content = content;
  e->length = static_cast<int32_t>(length);
  *remaining = static_cast<int32_t>(end - (content + length));
  return content + length;
}

// SignExtend returns the count (1 to 9) big-endian bytes as a two's-complement value; bits beyond 64 are
// dropped, which callers allow only for a leading zero byte.
uint64_t SignExtend(const uint8_t* bytes, int32_t count) {
  uint64_t value = (bytes[0] & 0x80) != 0 ? ~uint64_t{0} : 0;
  for (int32_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Locate skips skip whole elements of the node from start and finds the element to read.
int Locate(const core::BufferCore& node, int32_t start, int32_t skip, int32_t* offset) {
  const uint8_t* bytes = node.Bytes();
  const int32_t length = node.Length();
  int32_t at = start;
  for (int32_t i = 0; i < skip; ++i) {
    const int32_t size = DerElementSize(bytes + at, length - at);
    if (size == 0) return kDerBadInner;
    at += size;
  }
  if (DerElementSize(bytes + at, length - at) == 0) return kDerBadOuter;
  *offset = at;
  return core::kOk;
}

// ReadElement locates the element and decodes its header.
int ReadElement(const core::BufferCore& node, int32_t start, int32_t skip, Element* e, uint8_t* out_tag) {
  int32_t at = 0;
  int rc = Locate(node, start, skip, &at);
  if (rc != core::kOk) return rc;
  int32_t remaining = node.Length() - at;
  if (DecodeElement(node.Bytes() + at, &remaining, e) == nullptr) return kDerBadInner;
  if (out_tag != nullptr) *out_tag = e->tag;
  return core::kOk;
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// WellFormedTime checks the shape of a UTCTime (X.680 47.3: YYMMDDhhmm[ss] then "Z" or a signed hhmm) or a
// GeneralizedTime (X.680 46.3: YYYYMMDDhh[mm[ss]] with an optional fraction and an optional zone), so that
// no trailing text is silently dropped.
bool WellFormedTime(const uint8_t* t, int32_t n, bool utc) {
  int32_t pos = 0;
  while (pos < n && IsDigit(t[pos])) ++pos;
  if (utc ? (pos != 10 && pos != 12) : (pos != 10 && pos != 12 && pos != 14)) return false;
  if (!utc && pos < n && t[pos] == '.') {
    const int32_t start = ++pos;
    while (pos < n && IsDigit(t[pos])) ++pos;
    if (pos == start) return false;
  }
  if (pos == n) return !utc;
  if (t[pos] == 'Z') return pos + 1 == n;
  if (t[pos] != '+' && t[pos] != '-') return false;
  if (n - pos != 5) return false;
  for (int32_t i = pos + 1; i < n; ++i) {
    if (!IsDigit(t[i])) return false;
  }
  return true;
}

}  // namespace

int32_t DerElementSize(const uint8_t* bytes, int32_t available) {
  if (bytes == nullptr || available < 2) return 0;
  uint32_t length;
  const uint8_t* content = DerDecodeLength(bytes + 1, bytes + available, &length);
  if (content == nullptr) return 0;
  const int32_t header = static_cast<int32_t>(content - bytes);
  if (length > static_cast<uint32_t>(available - header)) return 0;
  return header + static_cast<int32_t>(length);
}

const uint8_t* DerDecodeLength(const uint8_t* bytes, const uint8_t* end, uint32_t* out_length) {
  if (bytes == nullptr || bytes >= end) return nullptr;
  const uint8_t first = *bytes++;
  if (first < 0x80) {
    *out_length = first;
    return bytes;
  }
  const int32_t count = first & 0x7F;
  if (count == 0 || count > 4 || count > end - bytes) return nullptr;
  uint32_t length = 0;
  for (int32_t i = 0; i < count; ++i) length = (length << 8) | bytes[i];
  if (length >= 0x80000000u) return nullptr;
  *out_length = length;
  return bytes + count;
}

const uint8_t* DerReadHeader(const uint8_t* bytes, int32_t* available, uint8_t* out_tag) {
  if (bytes == nullptr || available == nullptr || *available < 1 || (bytes[0] & 0x1F) == 0x1F) return nullptr;
  Element e;
  int32_t remaining = *available;
  if (DecodeElement(bytes, &remaining, &e) == nullptr) return nullptr;
  if (out_tag != nullptr) *out_tag = e.tag;
  *available = e.length;
  return e.content;
}

const uint8_t* DerDecodeBytes(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint8_t* out,
                              int32_t* capacity) {
  Element e;
  int32_t left = remaining != nullptr ? *remaining : 0;
  const uint8_t* next = DecodeElement(pos, &left, &e);
  if (next == nullptr || capacity == nullptr || e.length > *capacity || (out == nullptr && e.length > 0)) return nullptr;
  if (e.length > 0) std::memcpy(out, e.content, static_cast<size_t>(e.length));
  *capacity = e.length;
  if (out_tag != nullptr) *out_tag = e.tag;
  *remaining = left;
  return next;
}

const uint8_t* DerDecodeBitString(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint8_t* out,
                                  int32_t* capacity) {
  Element e;
  int32_t left = remaining != nullptr ? *remaining : 0;
  if (DecodeElement(pos, &left, &e) == nullptr || e.length < 1 || e.content[0] > 7) return nullptr;
  return DerDecodeBytes(pos, remaining, out_tag, out, capacity);
}

const uint8_t* DerDecodeEmpty(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag) {
  Element e;
  int32_t left = remaining != nullptr ? *remaining : 0;
  const uint8_t* next = DecodeElement(pos, &left, &e);
  if (next == nullptr || e.length != 0) return nullptr;
  if (out_tag != nullptr) *out_tag = e.tag;
  *remaining = left;
  return next;
}

const uint8_t* DerDecodeInt32(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* out, int32_t size) {
  Element e;
  int32_t left = remaining != nullptr ? *remaining : 0;
  const uint8_t* next = DecodeElement(pos, &left, &e);
  // Empty content is no INTEGER (X.690 8.3.1).
  if (next == nullptr || out == nullptr || size != 4 || e.length < 1) return nullptr;
  while (e.length > 4) {
    if (e.content[0] != 0) return nullptr;
    ++e.content;
    --e.length;
  }
  *out = static_cast<uint32_t>(SignExtend(e.content, e.length));
  if (out_tag != nullptr) *out_tag = e.tag;
  *remaining = left;
  return next;
}

namespace {

// DecodeSigned reads an INTEGER of 1 to max_length content bytes, the longest only after a zero byte,
// sign-extended.
const uint8_t* DecodeSigned(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, int32_t max_length,
                            uint64_t* value) {
  Element e;
  int32_t left = remaining != nullptr ? *remaining : 0;
  const uint8_t* next = DecodeElement(pos, &left, &e);
  if (next == nullptr || e.length < 1 || e.length > max_length || (e.length == max_length && e.content[0] != 0)) {
    return nullptr;
  }
  *value = SignExtend(e.content, e.length);
  if (out_tag != nullptr) *out_tag = e.tag;
  *remaining = left;
  return next;
}

}  // namespace

const uint8_t* DerDecodeInt32Strict(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* out,
                                    int32_t size) {
  uint64_t value = 0;
  if (out == nullptr || size != 4) return nullptr;
  const uint8_t* next = DecodeSigned(pos, remaining, out_tag, 5, &value);
  if (next != nullptr) *out = static_cast<uint32_t>(value);
  return next;
}

const uint8_t* DerDecodeInt64(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* out, int32_t size) {
  uint64_t value = 0;
  if (out == nullptr || size != 8) return nullptr;
  const uint8_t* next = DecodeSigned(pos, remaining, out_tag, 9, &value);
  if (next != nullptr) {
    out[0] = static_cast<uint32_t>(value >> 32);
    out[1] = static_cast<uint32_t>(value);
  }
  return next;
}

int DerReadOctets(const core::BufferCore& node, int32_t skip, core::BufferCore& out, uint8_t* out_tag) {
  Element e;
  int rc = ReadElement(node, 0, skip, &e, out_tag);
  if (rc != core::kOk) return rc;
  return out.SetData(e.length, e.content);
}

int DerReadUnsignedInteger(const core::BufferCore& node, int32_t skip, core::BufferCore& out) {
  uint8_t tag = 0;
  int rc = DerReadOctets(node, skip, out, &tag);
  if (rc != core::kOk) return rc;
  if (tag != 0x02) return kDerBadInner;
  if (out.Length() > 0 && out.Bytes()[0] == 0) return core::BufferConsumeFront(out, 1);
  return core::kOk;
}

namespace {

// ReadInteger locates the element and runs one of the integer decoders on it.
template <typename Decoder>
int ReadInteger(const core::BufferCore& node, int32_t skip, uint8_t* out_tag, Decoder decode) {
  int32_t at = 0;
  int rc = Locate(node, 0, skip, &at);
  if (rc != core::kOk) return rc;
  int32_t remaining = node.Length() - at;
  return decode(node.Bytes() + at, &remaining, out_tag) == nullptr ? kDerBadInner : core::kOk;
}

}  // namespace

int DerReadSmallInteger(const core::BufferCore& node, int32_t skip, uint32_t* out, uint8_t* out_tag) {
  return ReadInteger(node, skip, out_tag, [&](const uint8_t* pos, int32_t* remaining, uint8_t* tag) {
    return DerDecodeInt32(pos, remaining, tag, out, 4);
  });
}

int DerReadInt32Strict(const core::BufferCore& node, int32_t skip, uint32_t* out, uint8_t* out_tag) {
  return ReadInteger(node, skip, out_tag, [&](const uint8_t* pos, int32_t* remaining, uint8_t* tag) {
    return DerDecodeInt32Strict(pos, remaining, tag, out, 4);
  });
}

int DerReadInteger64(const core::BufferCore& node, int32_t skip, uint32_t* out_high, uint32_t* out_low,
                     uint8_t* out_tag) {
  uint32_t words[2] = {0, 0};
  int rc = ReadInteger(node, skip, out_tag, [&](const uint8_t* pos, int32_t* remaining, uint8_t* tag) {
    return DerDecodeInt64(pos, remaining, tag, words, 8);
  });
  if (rc == core::kOk) {
    if (out_high != nullptr) *out_high = words[0];
    if (out_low != nullptr) *out_low = words[1];
  }
  return rc;
}

int DerReadBitString(const core::BufferCore& node, int32_t skip, core::BufferCore& out, int32_t* out_bit_count,
                     uint8_t* out_tag) {
  int rc = DerReadOctets(node, skip, out, out_tag);
  if (rc != core::kOk) return rc;
  if (out.Length() == 0) return core::kOutOfRange;
  // X.690 8.6.2.2 and 8.6.2.3: at most 7 unused bits, and none when there are no bits.
  const int32_t unused = out.Bytes()[0];
  if (unused > 7 || (out.Length() == 1 && unused != 0)) return kDerBadInner;
  if (out_bit_count != nullptr) *out_bit_count = 8 * (out.Length() - 1) - unused;
  if (out.Length() == 1) return out.SetData(0, nullptr);
  return out.KeepRange(1, out.Length());
}

int DerReadOid(const core::BufferCore& node, int32_t skip, core::BufferCore& out, uint8_t* out_tag) {
  int32_t start = 0;
  while (start < node.Length() && node.Bytes()[start] == 0x2E) ++start;
  Element e;
  int rc = ReadElement(node, start, skip, &e, out_tag);
  if (rc != core::kOk) return rc;
  return OidContentToText(e.content, e.length, out);
}

int ParseMultiOctStr(core::BufferCore* error_text, const Asn1Element& node, core::BufferCore& out) {
  core::Buffer joined;
  core::Buffer content;
  for (const Asn1Element* child = node.firstChild(); child != nullptr; child = child->nextSibling()) {
    uint8_t tag = 0;
    int rc = DerReadOctets(*child, 0, content, &tag);
    if (rc != core::kOk) return rc;
    if (tag != 0x04) {
      if (error_text != nullptr) (void)error_text->SetString("Error on ParseMultiOctStr, wrong ASN type.");
      return kDerBadInner;
    }
    rc = joined.Append(content);
    if (rc != core::kOk) return rc;
  }
  return out.Assign(joined);
}

int DecodeAsn1Time(const core::BufferCore& content, core::BufferCore& out, uint8_t tag, const char* pattern,
                   int to_local, int* has_zone) {
  const uint8_t* bytes = content.Bytes();
  const int32_t length = content.Length();
  if ((tag != 23 && tag != 24) || !WellFormedTime(bytes, length, tag == 23)) return kDerBadInner;
  core::Buffer digits;
  int rc = core::kOk;
  if (tag == 23) {
    // RFC 5280 section 4.1.2.5.1: YY of 50 and above is 19YY, below 50 is 20YY.
    int32_t yy = 0;
    core::ParseIntFromBytes(bytes, 2, &yy);
    char year[core::kInt64DecimalSize];
    const int32_t year_length = core::Int64ToDecimal(year, yy < 50 ? 2000 + yy : 1900 + yy);
    rc = digits.Append(year, year_length);
    if (rc == core::kOk) rc = digits.Append(bytes + 2, length - 2);
  } else {
    rc = digits.Assign(content);
  }
  if (rc != core::kOk) return rc;
  return core::ReformatTimeText(pattern, digits.Data(), out, to_local, has_zone) != 0 ? core::kOk : kDerBadInner;
}

int SplitDerSignature(const uint8_t* bytes, int32_t length, core::BufferPair& out) {
  if (bytes == nullptr || length < 6 || bytes[0] != 0x30) return 0;
  const uint8_t* end = bytes + length;
  uint32_t sequence_length;
  const uint8_t* p = DerDecodeLength(bytes + 1, end, &sequence_length);
  if (p == nullptr || sequence_length > static_cast<uint32_t>(end - p)) return 0;
  core::BufferCore* parts[2] = {&out.first, &out.second};
  for (core::BufferCore* part : parts) {
    // Each INTEGER has a one-byte short-form length.
    if (end - p < 2 || p[0] != 0x02 || p[1] >= 0x80 || p[1] > end - p - 2) return 0;
    if (part->SetData(p[1], p + 2) != core::kOk) return 0;
    p += 2 + p[1];
  }
  return 1;
}

int DerSkipElement(const core::BufferCore& buffer, int32_t* offset) {
  if (offset == nullptr || *offset < 0 || *offset > buffer.Length()) return -1;
  const int32_t size = DerElementSize(buffer.Bytes() + *offset, buffer.Length() - *offset);
  if (size == 0) return -1;
  *offset += size;
  return 0;
}

int DerEnterElement(const core::BufferCore& buffer, int32_t* offset) {
  if (offset == nullptr || *offset < 0 || *offset > buffer.Length()) return -1;
  const uint8_t* at = buffer.Bytes() + *offset;
  int32_t available = buffer.Length() - *offset;
  if (DerElementSize(at, available) == 0) return -1;
  const uint8_t* content = DerReadHeader(at, &available, nullptr);
  if (content == nullptr) return -1;
  *offset = static_cast<int32_t>(content - buffer.Bytes());
  return 0;
}

const uint8_t* DerDecodeOid(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* arcs,
                            int32_t* capacity) {
  Element e;
  int32_t left = remaining != nullptr ? *remaining : 0;
  const uint8_t* next = DecodeElement(pos, &left, &e);
  if (next == nullptr || arcs == nullptr || capacity == nullptr || *capacity < 2) return nullptr;
  if (e.length > 0 && (e.content[e.length - 1] & 0x80) != 0) return nullptr;
  const int32_t room = *capacity < 256 ? *capacity : 256;
  int32_t count = 0;
  uint32_t value = 0;
  for (int32_t i = 0; i < e.length && count < room; ++i) {
    value = (value << 7) | (e.content[i] & 0x7fu);
    if ((e.content[i] & 0x80) != 0) continue;
    if (count == 0) {
      arcs[0] = value < 40 ? 0 : (value < 80 ? 1 : 2);
      arcs[1] = value - 40 * arcs[0];
      count = 2;
    } else {
      arcs[count++] = value;
    }
    value = 0;
  }
  if (e.length == 0) arcs[count++] = 0;
  *capacity = count;
  if (out_tag != nullptr) *out_tag = e.tag;
  *remaining = left;
  return next;
}

}  // namespace velmora::pki
