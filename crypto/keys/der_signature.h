// DSA and ECDSA signatures in their two forms: raw (r || s, both halves of one width, big-endian) and
// DER (SEQUENCE { INTEGER r, INTEGER s }), the shape tests on DER signatures, the conversions between
// the forms, and the ECDSA signature OID of each curve. No state: any thread may call them.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

// IsDerSignatureShape is true for a SEQUENCE of two INTEGERs with short-form lengths only, each
// INTEGER lying inside the input. Nothing past bytes[length - 1] is read.
bool IsDerSignatureShape(const uint8_t* bytes, int32_t length);
// IsDerTwoIntegerSequence is IsDerSignatureShape that also takes a SEQUENCE length in the one-byte long
// form (30 81 xx). Nothing past bytes[length - 1] is read.
bool IsDerTwoIntegerSequence(const uint8_t* bytes, int32_t length);

// EncodeRawSignatureAsDer replaces out with the DER form of r || s, r being the first length / 2 bytes
// and s the next length / 2 (an odd last byte is ignored): 0, 445 when a half is empty, or a Buffer code.
[[nodiscard]] int EncodeRawSignatureAsDer(const uint8_t* raw, int32_t length, core::BufferCore& out);

// DecodeDerSignatureToRaw replaces out with r || s, each fitted to width bytes, when the input is a
// DER SEQUENCE of two INTEGERs; any other input is copied to out unchanged (so a raw signature passes
// through). 0; 446 when an element is not an INTEGER, or an integer does not fit width without
// dropping a nonzero byte or changing its sign bit; or a Buffer code.
[[nodiscard]] int DecodeDerSignatureToRaw(const uint8_t* signature, int32_t length, int32_t width,
                                          core::BufferCore& out);

// EcdsaSignatureOidForKeyType is the ecdsa-with-SHA256, -SHA384 or -SHA512 OID text a key of this
// EcKeyType signs with, or "" for the Edwards and Montgomery types and unknown types.
const char* EcdsaSignatureOidForKeyType(int32_t key_type);

}  // namespace velmora::crypto
