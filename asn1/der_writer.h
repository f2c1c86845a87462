// DerWriter builds DER encodings front to back, with constructed elements opened and closed like
// brackets, and the low-level encoders that write one element into a caller's byte area.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "asn1/der_codes.h"

namespace velmora::pki {

// kNulTerminated as a length makes AppendTlv and AppendBitString take NUL-terminated text.
constexpr int32_t kNulTerminated = -1;

// DerWriter is a Buffer holding the encoding written so far, plus the start positions of the elements
// opened and not yet closed (innermost last). Every operation returns 0, 445 for a refused argument or
// nothing to close, or a Buffer code (200) unless its comment says otherwise. One thread at a time.
class DerWriter : public core::Buffer {
 public:
  DerWriter() = default;
  // ~DerWriter frees the open-element list; the Buffer's destructor clears the encoding.
  ~DerWriter() override;

  // BeginElement appends tag and a placeholder length 0x80 and remembers where the element starts.
  [[nodiscard]] int BeginElement(uint8_t tag);
  // EndElement closes the innermost open element: with indefinite set it appends the end-of-contents
  // marker 00 00 (the placeholder 0x80 stays); otherwise it writes the minimal definite length in place,
  // moving the content when the long form needs more bytes. 445 with nothing open (encoding unchanged).
  [[nodiscard]] int EndElement(int indefinite);
  // AppendTlv appends tag, length and the bytes; length kNulTerminated takes bytes as text.
  [[nodiscard]] int AppendTlv(const void* bytes, int32_t length, uint8_t tag);
  // AppendHeader appends only a tag and a length field (2 to 6 bytes in all).
  [[nodiscard]] int AppendHeader(uint8_t tag, uint32_t length);
  // AppendEmpty appends tag and 0x00 (NULL is 05 00); always 0.
  int AppendEmpty(uint8_t tag);
  // AppendBoolean appends tag, 0x01 and 0xFF for a nonzero flag, 0x00 otherwise.
  [[nodiscard]] int AppendBoolean(int flag, uint8_t tag);
  // AppendOid appends an OBJECT IDENTIFIER from its dotted decimal text (blanks around it ignored).
  // 445 for a text that is not an OID: another character, a first arc above 2, a second arc above 39
  // under arcs 0 and 1, an arc above 2^128 - 1 or more than 256 arcs. "" gives the content 00, as does
  // a single arc; two dots in a row give an arc 0.
  [[nodiscard]] int AppendOid(const char* text, uint8_t tag);
  // AppendSmallInteger appends the minimal two's-complement INTEGER content (1 to 4 bytes) of value.
  [[nodiscard]] int AppendSmallInteger(int32_t value, uint8_t tag);
  // AppendInteger is AppendSmallInteger that ignores failures of its byte appends; always 0.
  int AppendInteger(int32_t value, uint8_t tag);
  // AppendNonNegativeInteger appends the minimal content of an unsigned value (5 bytes from 2^31);
  // always 0.
  int AppendNonNegativeInteger(uint32_t value, uint8_t tag);
  // AppendUnsigned32 always writes four big-endian bytes, preceded by 0x00 when the top bit is set.
  [[nodiscard]] int AppendUnsigned32(uint32_t value, uint8_t tag);
  // AppendUnsigned64 always writes eight big-endian bytes, preceded by 0x00 when the top bit is set.
  [[nodiscard]] int AppendUnsigned64(uint32_t high, uint32_t low, uint8_t tag);
  // AppendUnsignedInteger appends an INTEGER (tag 0x02) holding the non-negative number whose
  // big-endian magnitude is bytes: redundant leading zeros go, a zero goes in front of a top bit. 445
  // for null bytes or a length below 1.
  [[nodiscard]] int AppendUnsignedInteger(const void* bytes, int32_t length);
  // AppendBitString appends a BIT STRING of 0x00 (no unused bits) and the bytes; length kNulTerminated
  // takes bytes as text.
  [[nodiscard]] int AppendBitString(const void* bytes, int32_t length, uint8_t tag);
  // PrependHeader puts tag and the minimal length in front of the whole encoding, making it the content
  // of a new outer element.
  [[nodiscard]] int PrependHeader(uint8_t tag);

  // OpenCount is the number of elements opened and not yet closed.
  int32_t OpenCount() const { return open_count_; }
  // HoldsHeap is true when the encoding or the open-element list is kept in a heap block.
  bool HoldsHeap() const { return (!IsInline() && !HoldsLentStorage()) || HoldsOtherHeap(); }

 private:
  // AppendEncoded reserves room, lets encode write into it and trims to what was written.
  template <typename Encode>
  int AppendEncoded(int32_t room, Encode encode);

  // The start positions of the open elements, in a heap block made by the first BeginElement; kept this
  // small because every node of a parsed element tree is a writer.
  uint32_t* open_ = nullptr;
  int32_t open_count_ = 0;
  int32_t open_capacity_ = 0;
};

// EncodeAsn1Time writes the 14-digit time text "yyyyMMddHHmmss" as one UTCTime for the years 1950 to
// 2049 and as a GeneralizedTime otherwise (RFC 5280 section 4.1.2.5), each with a closing "Z". 0, 445
// for a text shorter than 4 characters, or the writer's code.
[[nodiscard]] int EncodeAsn1Time(const core::BufferCore& time_text, DerWriter& writer);

// IntegerToBytes replaces out with the count lowest bytes of value, least significant first (bytes past
// the eighth repeat the sign); a count below 1 leaves out empty. 1, or 0 when out cannot be written.
int IntegerToBytes(int64_t value, core::BufferCore& out, int32_t count);

// Low-level encoders. Each writes at pos, where *left bytes of room remain, and returns the position
// after what it wrote with *left reduced, or null (nothing counted) when the room is short or the
// arguments are refused.

// DerLengthSize is the size of the minimal length field of length (1 to 5).
int32_t DerLengthSize(uint32_t length);
// DerEncodeLength writes the minimal length field: one byte below 128, else 0x80 | n and n big-endian
// bytes.
uint8_t* DerEncodeLength(uint8_t* pos, int32_t* left, uint32_t length);
// DerEncodeTlv writes tag, length and size bytes of value.
uint8_t* DerEncodeTlv(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size);
// DerEncodeEmpty writes tag and 0x00.
uint8_t* DerEncodeEmpty(uint8_t* pos, int32_t* left, uint8_t tag);
// DerEncodeBitString writes tag, length and the bytes as given: the first (at least one) is the
// unused-bits count, at most 7.
uint8_t* DerEncodeBitString(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size);
// DerEncodeInt32 writes the minimal two's-complement INTEGER of the 4-byte value (size must be 4).
uint8_t* DerEncodeInt32(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size);
// DerEncodeUnsigned32 writes the 4 bytes of value (size 4), with a leading 0x00 when the top bit is set.
uint8_t* DerEncodeUnsigned32(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size);
// DerEncodeUnsigned64 writes the 8 bytes of value (size 8), with a leading 0x00 when the top bit is set.
uint8_t* DerEncodeUnsigned64(uint8_t* pos, int32_t* left, uint8_t tag, const void* value, int32_t size);

// DerEncodeOid writes the OBJECT IDENTIFIER of count 32-bit arcs (at least two, the first at most 2 and
// the second below 40 unless the first is 2), the first two joined by X.690 8.19.4.
uint8_t* DerEncodeOid(uint8_t* pos, int32_t* left, uint8_t tag, const uint32_t* arcs, int32_t count);

}  // namespace velmora::pki
