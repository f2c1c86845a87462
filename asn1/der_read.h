// Typed readers of DER values, the offset walkers over encodings kept one after another, and the
// low-level decoders on raw bytes.
//
// A typed reader takes a node (any Buffer holding encodings), skips `skip` whole definite-length
// elements from its start and decodes the next one; skip 0 reads the node's own element. Readers
// return 0; 446 for a malformed skipped element or an undecodable value; 447 for a missing or
// unmeasurable element to read; or a Buffer code. After a failure the outputs are not to be relied on.
// The optional out_tag receives the tag byte of the element read.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "asn1/asn1_element.h"

namespace velmora::pki {

// DerReadOctets copies the content of the element (any tag; the caller checks it).
[[nodiscard]] int DerReadOctets(const core::BufferCore& node, int32_t skip, core::BufferCore& out, uint8_t* out_tag);
// DerReadUnsignedInteger copies the content of an INTEGER without one leading zero byte (a single zero
// byte becomes empty). 446 for a tag other than 0x02, with the content already copied.
[[nodiscard]] int DerReadUnsignedInteger(const core::BufferCore& node, int32_t skip, core::BufferCore& out);
// DerReadSmallInteger reads an INTEGER (any tag) whose content is at most four bytes once leading zero
// bytes are dropped, sign-extended. Empty content is 446.
[[nodiscard]] int DerReadSmallInteger(const core::BufferCore& node, int32_t skip, uint32_t* out, uint8_t* out_tag);
// DerReadInt32Strict reads an INTEGER of at most four content bytes, or five whose first is zero.
[[nodiscard]] int DerReadInt32Strict(const core::BufferCore& node, int32_t skip, uint32_t* out, uint8_t* out_tag);
// DerReadInteger64 reads an INTEGER of at most eight content bytes, or nine whose first is zero,
// sign-extended to 64 bits, into *out_high and *out_low.
[[nodiscard]] int DerReadInteger64(const core::BufferCore& node, int32_t skip, uint32_t* out_high, uint32_t* out_low,
                                   uint8_t* out_tag);
// DerReadBitString copies the bits of a BIT STRING without its unused-bits byte; *out_bit_count
// (optional) receives 8 x (content length - 1) - unused bits. 432 for empty content; 446 for an
// unused-bits count above 7, or above 0 with no bits (X.690 8.6.2).
[[nodiscard]] int DerReadBitString(const core::BufferCore& node, int32_t skip, core::BufferCore& out,
                                   int32_t* out_bit_count, uint8_t* out_tag);
// DerReadOid writes an OBJECT IDENTIFIER as dotted decimal text, after skipping any 0x2E bytes at the
// very start of the node. Empty content reads "0". 446 for an arc above 2^128 - 1, more than 256 arcs
// or content ending inside a subidentifier.
[[nodiscard]] int DerReadOid(const core::BufferCore& node, int32_t skip, core::BufferCore& out, uint8_t* out_tag);

// ParseMultiOctStr joins the contents of the node's children (after Parse), which must all be OCTET
// STRINGs; out may be the node itself. A node without children gives an empty out. A child with another
// tag gives 446 and, when error_text is given, the text "Error on ParseMultiOctStr, wrong ASN type.".
[[nodiscard]] int ParseMultiOctStr(core::BufferCore* error_text, const Asn1Element& node, core::BufferCore& out);

// DecodeAsn1Time converts the content of a UTCTime (tag 23, years 50-99 are 19xx, 00-49 20xx) or a
// GeneralizedTime (tag 24) into text of pattern through core::ReformatTimeText with to_local and
// has_zone. 0; 446 for another tag, content that is not of the time type's form (trailing text
// included), or a time the text reader refuses; or 200.
[[nodiscard]] int DecodeAsn1Time(const core::BufferCore& content, core::BufferCore& out, uint8_t tag,
                                 const char* pattern, int to_local, int* has_zone);

// SplitDerSignature splits a DER SEQUENCE of two INTEGERs (a DSA or ECDSA signature) into their
// contents, leading zero bytes as they stand. 1 on success, 0 otherwise.
int SplitDerSignature(const uint8_t* bytes, int32_t length, core::BufferPair& out);

// DerSkipElement adds the size of the definite-length element at *offset of buffer to *offset; 0, or -1
// when that element is malformed (*offset unchanged).
int DerSkipElement(const core::BufferCore& buffer, int32_t* offset);
// DerEnterElement moves *offset to the content of the definite-length element there; 0 or -1.
int DerEnterElement(const core::BufferCore& buffer, int32_t* offset);

// Low-level codec on raw bytes.

// DerElementSize is header plus content size of the definite-length element at bytes, or 0 when it is
// malformed or longer than available.
int32_t DerElementSize(const uint8_t* bytes, int32_t available);
// DerDecodeLength reads a definite length field lying before end into *out_length and returns the
// position after it; null for the indefinite form, more than four length bytes, 2^31 or more, or a
// field that runs past end.
const uint8_t* DerDecodeLength(const uint8_t* bytes, const uint8_t* end, uint32_t* out_length);
// DerReadHeader reads tag and length of the element at bytes and returns its content position with
// *available set to the content length; null when no byte is available, for the high-tag-number form,
// a bad length, or content past *available.
const uint8_t* DerReadHeader(const uint8_t* bytes, int32_t* available, uint8_t* out_tag);

// Value decoders: each reads the element at pos, fails (null) when it does not fit the *remaining bytes
// or breaks its rule, and otherwise returns the position after it, with *remaining reduced.
// DerDecodeBytes copies the content into out (*capacity bytes of room; set to the content length).
const uint8_t* DerDecodeBytes(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint8_t* out,
                              int32_t* capacity);
// DerDecodeBitString is DerDecodeBytes for content of at least one byte whose first (copied too) is at
// most 7.
const uint8_t* DerDecodeBitString(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint8_t* out,
                                  int32_t* capacity);
// DerDecodeEmpty accepts only content length 0.
const uint8_t* DerDecodeEmpty(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag);
// DerDecodeInt32 (size 4): leading zero bytes beyond four are dropped; sign-extended.
const uint8_t* DerDecodeInt32(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* out, int32_t size);
// DerDecodeInt32Strict (size 4): at most five bytes, five only with a leading zero; sign-extended.
const uint8_t* DerDecodeInt32Strict(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* out,
                                    int32_t size);
// DerDecodeInt64 (size 8): at most nine bytes, nine only with a leading zero; out[0] is the high word.
const uint8_t* DerDecodeInt64(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* out, int32_t size);

// DerDecodeOid reads an OBJECT IDENTIFIER into arcs (*capacity entries of room, at most 256 used; set to
// the arc count): each subidentifier accumulated in 32 bits, the first split in two by X.690 8.19.4,
// subidentifiers past the room ignored, empty content read as the single arc 0. Null for content that
// ends inside a subidentifier.
const uint8_t* DerDecodeOid(const uint8_t* pos, int32_t* remaining, uint8_t* out_tag, uint32_t* arcs,
                            int32_t* capacity);

}  // namespace velmora::pki
