#include "asn1/der_writer.h"

#include <cstring>

#include "core/numbers.h"
#include "asn1/oid_text.h"
#include "platform/memory.h"
#include "platform/text.h"

namespace velmora::pki {
namespace {

// Room reserved for a header: tag and a length field of at most five bytes, with slack.
constexpr int32_t kHeaderRoom = 20;

// Take returns the position after count bytes at pos and counts them, or null when the room is short.
uint8_t* Take(uint8_t* pos, int32_t* left, int32_t count) {
  if (pos == nullptr || left == nullptr || count < 0 || *left < count) return nullptr;
  *left -= count;
  return pos + count;
}

// WriteIntegerBytes writes tag, count and the low count bytes of value, most significant first.
uint8_t* WriteIntegerBytes(uint8_t* pos, int32_t* left, uint8_t tag, uint64_t value, int32_t count, bool zero_first) {
  const int32_t total = count + (zero_first ? 1 : 0);
  uint8_t* end = Take(pos, left, 2 + total);
  if (end == nullptr) return nullptr;
  *pos++ = tag;
  *pos++ = static_cast<uint8_t>(total);
  if (zero_first) *pos++ = 0;
  for (int32_t i = count - 1; i >= 0; --i) *pos++ = static_cast<uint8_t>(value >> (8 * i));
  return end;
}

// MinimalInt32Size is the number of two's-complement bytes value needs (X.690 8.3.2).
int32_t MinimalInt32Size(int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  int32_t size = 4;
  // Drop a leading byte while the top nine bits are all zero or all one.
  while (size > 1) {
    const uint32_t top9 = (bits >> (8 * size - 9)) & 0x1FF;
    if (top9 != 0 && top9 != 0x1FF) break;
    --size;
  }
  return size;
}

// NonNegativeSize is the content size of an unsigned value written as a non-negative INTEGER.
int32_t NonNegativeSize(uint32_t value) {
  if (value <= 0x7F) return 1;
  if (value <= 0x7FFF) return 2;
  if (value <= 0x7FFFFF) return 3;
  if (value <= 0x7FFFFFFF) return 4;
  return 5;
}

}  // namespace

int32_t DerLengthSize(uint32_t length) {
  if (length < 0x80) return 1;
  if (length <= 0xFF) return 2;
  if (length <= 0xFFFF) return 3;
  if (length <= 0xFFFFFF) return 4;
  return 5;
}

uint8_t* DerEncodeLength(uint8_t* pos, int32_t* left, uint32_t length) {
  const int32_t size = DerLengthSize(length);
  uint8_t* end = Take(pos, left, size);
  if (end == nullptr) return nullptr;
  if (size == 1) {
    *pos = static_cast<uint8_t>(length);
    return end;
  }
  // X.690 8.1.3.5 and 10.1: the long form with the fewest length bytes.
  *pos++ = static_cast<uint8_t>(0x80 | (size - 1));
  for (int32_t i = size - 2; i >= 0; --i) *pos++ = static_cast<uint8_t>(length >> (8 * i));
  return end;
}

uint8_t* DerEncodeTlv(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size) {
  if (size < 0 || (value == nullptr && size > 0)) return nullptr;
  int32_t room = *left;
  uint8_t* p = Take(pos, &room, 1);
  if (p != nullptr) pos[0] = tag;
  p = DerEncodeLength(p, &room, static_cast<uint32_t>(size));
  uint8_t* end = Take(p, &room, size);
  if (end == nullptr) return nullptr;
  if (size > 0) std::memcpy(p, value, static_cast<size_t>(size));
  *left = room;
  return end;
}

uint8_t* DerEncodeEmpty(uint8_t* pos, int32_t* left, uint8_t tag) {
  uint8_t* end = Take(pos, left, 2);
  if (end == nullptr) return nullptr;
  pos[0] = tag;
  pos[1] = 0;
  return end;
}

uint8_t* DerEncodeBitString(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size) {
  if (value == nullptr || size < 1 || *static_cast<const uint8_t*>(value) > 7) return nullptr;
  return DerEncodeTlv(pos, left, tag, value, size);
}

uint8_t* DerEncodeInt32(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size) {
  if (value == nullptr || size != 4) return nullptr;
  int32_t v;
  std::memcpy(&v, value, sizeof v);
  return WriteIntegerBytes(pos, left, tag, static_cast<uint32_t>(v), MinimalInt32Size(v), false);
}

uint8_t* DerEncodeUnsigned32(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size) {
  if (value == nullptr || size != 4) return nullptr;
  uint32_t v;
  std::memcpy(&v, value, sizeof v);
  return WriteIntegerBytes(pos, left, tag, v, 4, (v >> 31) != 0);
}

uint8_t* DerEncodeUnsigned64(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size) {
  if (value == nullptr || size != 8) return nullptr;
  uint64_t v;
  std::memcpy(&v, value, sizeof v);
  return WriteIntegerBytes(pos, left, tag, v, 8, (v >> 63) != 0);
}

template <typename Encode>
int DerWriter::AppendEncoded(int32_t room, Encode encode) {
  const int32_t start = Length();
  if (room < 0 || room > INT32_MAX - start) return core::kOutOfMemory;
  int rc = Resize(start + room);
  if (rc != core::kOk) return rc;
  int32_t left = room;
  uint8_t* end = encode(reinterpret_cast<uint8_t*>(Data()) + start, &left);
  // A refused encoding keeps the reserved room, as the caller's output is not to be relied on then.
  if (end == nullptr) return kDerEncodeFailed;
  return Resize(start + room - left);
}

DerWriter::~DerWriter() {
  if (open_ != nullptr) core::WipeAndFree(*this, open_, open_capacity_ * 4, 1);
}

int DerWriter::BeginElement(uint8_t tag) {
  if (open_count_ == open_capacity_) {
    // Eight levels first, then twice as many each time; a failure leaves the list as it was.
    if (open_capacity_ > (INT32_MAX / 8)) return core::kOutOfMemory;
    const int32_t capacity = open_capacity_ == 0 ? 8 : open_capacity_ * 2;
    auto* grown = static_cast<uint32_t*>(platform::Alloc(static_cast<size_t>(capacity) * 4));
    if (grown == nullptr) return core::kOutOfMemory;
    if (open_ != nullptr) {
      std::memcpy(grown, open_, static_cast<size_t>(open_count_) * 4);
      core::WipeAndFree(*this, open_, open_capacity_ * 4, 1);
    }
    open_ = grown;
    open_capacity_ = capacity;
    MarkOtherHeap();
  }
  const uint8_t header[2] = {tag, 0x80};
  const uint32_t start = static_cast<uint32_t>(Length());
  const int rc = Append(header, 2);
  if (rc == core::kOk) open_[open_count_++] = start;
  return rc;
}

int DerWriter::EndElement(int indefinite) {
  if (open_count_ == 0) return kDerEncodeFailed;
  const uint32_t start = open_[--open_count_];
  // X.690 8.1.3.6: the indefinite form keeps 0x80 and ends with the end-of-contents octets.
  if (indefinite != 0) return Append("\0\0", 2);
  const uint32_t length = static_cast<uint32_t>(Length()) - start - 2;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(Data());
  if (length < 0x80) {
    bytes[start + 1] = static_cast<uint8_t>(length);
    return core::kOk;
  }
  const int32_t extra = DerLengthSize(length) - 1;
  int rc = Resize(Length() + extra);
  if (rc != core::kOk) return rc;
  bytes = reinterpret_cast<uint8_t*>(Data());
  std::memmove(bytes + start + 2 + extra, bytes + start + 2, length);
  int32_t left = extra + 1;
  DerEncodeLength(bytes + start + 1, &left, length);
  return core::kOk;
}

int DerWriter::AppendTlv(const void* bytes, int32_t length, uint8_t tag) {
  if (length == kNulTerminated) length = platform::StrLen(static_cast<const char*>(bytes));
  if (length < 0 || length > INT32_MAX - kHeaderRoom) return kDerEncodeFailed;
  return AppendEncoded(length + kHeaderRoom, [&](uint8_t* pos, int32_t* left) {
    return DerEncodeTlv(pos, left, tag, bytes, length);
  });
}

int DerWriter::AppendHeader(uint8_t tag, uint32_t length) {
  return AppendEncoded(kHeaderRoom, [&](uint8_t* pos, int32_t* left) {
    uint8_t* p = Take(pos, left, 1);
    if (p != nullptr) *pos = tag;
    return DerEncodeLength(p, left, length);
  });
}

int DerWriter::AppendEmpty(uint8_t tag) {
  const uint8_t bytes[2] = {tag, 0};
  (void)Append(bytes, 2);
  return core::kOk;
}

int DerWriter::AppendBoolean(int flag, uint8_t tag) {
  const uint8_t bytes[3] = {tag, 1, static_cast<uint8_t>(flag != 0 ? 0xFF : 0x00)};
  return Append(bytes, 3);
}

int DerWriter::AppendOid(const char* text, uint8_t tag) {
  core::Buffer content;
  int rc = OidTextToContent(text, content);
  if (rc != core::kOk) return rc;
  return AppendTlv(content.Data(), content.Length(), tag);
}

int DerWriter::AppendSmallInteger(int32_t value, uint8_t tag) {
  return AppendEncoded(10, [&](uint8_t* pos, int32_t* left) { return DerEncodeInt32(pos, left, tag, &value, 4); });
}

int DerWriter::AppendInteger(int32_t value, uint8_t tag) {
  if (value >= 0) return AppendNonNegativeInteger(static_cast<uint32_t>(value), tag);
  const int32_t size = MinimalInt32Size(value);
  (void)AppendByte(tag);
  (void)AppendByte(static_cast<uint8_t>(size));
  for (int32_t i = size - 1; i >= 0; --i) (void)AppendByte(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i)));
  return core::kOk;
}

int DerWriter::AppendNonNegativeInteger(uint32_t value, uint8_t tag) {
  const int32_t size = NonNegativeSize(value);
  (void)AppendByte(tag);
  (void)AppendByte(static_cast<uint8_t>(size));
  // Five bytes only from 2^31, where the first is the zero that keeps the value non-negative.
  for (int32_t i = size - 1; i >= 0; --i) (void)AppendByte(i < 4 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
  return core::kOk;
}

int DerWriter::AppendUnsigned32(uint32_t value, uint8_t tag) {
  return AppendEncoded(10, [&](uint8_t* pos, int32_t* left) { return DerEncodeUnsigned32(pos, left, tag, &value, 4); });
}

int DerWriter::AppendUnsigned64(uint32_t high, uint32_t low, uint8_t tag) {
  const uint64_t value = (uint64_t{high} << 32) | low;
  return AppendEncoded(20, [&](uint8_t* pos, int32_t* left) { return DerEncodeUnsigned64(pos, left, tag, &value, 8); });
}

int DerWriter::AppendUnsignedInteger(const void* bytes, int32_t length) {
  if (bytes == nullptr || length < 1) return kDerEncodeFailed;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  // X.690 8.3.2: no redundant leading zero, and a zero in front of a set top bit.
  if (p[0] >= 0x80) {
    int rc = AppendHeader(0x02, static_cast<uint32_t>(length) + 1);
    if (rc == core::kOk) rc = AppendByte(0);
    if (rc == core::kOk) rc = Append(p, length);
    return rc;
  }
  while (length >= 2 && p[0] == 0 && p[1] < 0x80) {
    ++p;
    --length;
  }
  return AppendTlv(p, length, 0x02);
}

int DerWriter::AppendBitString(const void* bytes, int32_t length, uint8_t tag) {
  if (length == kNulTerminated) length = platform::StrLen(static_cast<const char*>(bytes));
  if (length < 0 || (bytes == nullptr && length > 0) || length > INT32_MAX - kHeaderRoom - 1) return kDerEncodeFailed;
  core::Buffer scratch;
  int rc = scratch.AppendByte(0);
  if (rc == core::kOk) rc = scratch.Append(bytes, length);
  if (rc != core::kOk) return rc;
  return AppendEncoded(scratch.Length() + kHeaderRoom, [&](uint8_t* pos, int32_t* left) {
    return DerEncodeBitString(pos, left, tag, scratch.Data(), scratch.Length());
  });
}

int DerWriter::PrependHeader(uint8_t tag) {
  const uint32_t length = static_cast<uint32_t>(Length());
  uint8_t header[6];
  int32_t left = static_cast<int32_t>(sizeof header) - 1;
  header[0] = tag;
  uint8_t* end = DerEncodeLength(header + 1, &left, length);
  return ReplaceRange(0, 0, header, static_cast<int32_t>(end - header));
}

int EncodeAsn1Time(const core::BufferCore& time_text, DerWriter& writer) {
  if (time_text.Length() < 4) return kDerEncodeFailed;
  int32_t year = 0;
  core::ParseIntFromBytes(time_text.Data(), 4, &year);
  core::Buffer text;
  int rc;
  // RFC 5280 section 4.1.2.5: UTCTime for 1950 to 2049, GeneralizedTime before and after.
  const bool generalized = year < 1950 || year >= 2050;
  if (generalized) {
    rc = text.Assign(time_text);
  } else {
    rc = text.SetData(time_text.Length() - 2, time_text.Data() + 2);
  }
  if (rc == core::kOk) rc = text.AppendByte('Z');
  if (rc != core::kOk) return rc;
  return writer.AppendTlv(text.Data(), text.Length(), generalized ? 0x18 : 0x17);
}

int IntegerToBytes(int64_t value, core::BufferCore& out, int32_t count) {
  if (count < 1) return out.SetData(0, nullptr) == core::kOk ? 1 : 0;
  if (out.SetData(count, nullptr) != core::kOk) return 0;
  const uint64_t bits = static_cast<uint64_t>(value);
  const uint8_t sign = value < 0 ? 0xFF : 0x00;
  for (int32_t i = 0; i < count; ++i) out.SetByteAt(i, i < 8 ? static_cast<uint8_t>(bits >> (8 * i)) : sign);
  return 1;
}

uint8_t* DerEncodeOid(uint8_t* pos, int32_t* left, uint8_t tag, const uint32_t* arcs, int32_t count) {
  if (arcs == nullptr || count < 2 || count > 256 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return nullptr;
  if (arcs[0] == 2 && arcs[1] > UINT32_MAX - 80) return nullptr;
  uint8_t content[256 * 5];
  int32_t length = 0;
  for (int32_t i = 1; i < count; ++i) {
    const uint32_t value = i == 1 ? arcs[0] * 40 + arcs[1] : arcs[i];
    // Base-128 groups, high group first, 0x80 on every group but the last (X.690 8.19.2).
    int32_t groups = 1;
    while (groups < 5 && (value >> (7 * groups)) != 0) ++groups;
    for (int32_t g = groups - 1; g >= 0; --g) {
      content[length++] = static_cast<uint8_t>(((value >> (7 * g)) & 0x7f) | (g > 0 ? 0x80 : 0));
    }
  }
  return DerEncodeTlv(pos, left, tag, content, length);
}

}  // namespace velmora::pki
