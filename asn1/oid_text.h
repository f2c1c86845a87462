// The OBJECT IDENTIFIER codec between dotted decimal text and content bytes (X.690 8.19), with arcs of
// up to 128 bits so that 2.25.<UUID> arcs round-trip, and at most kOidMaxArcs arcs.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::pki {

// OidTextToContent replaces out with the content bytes of the OID text; blanks around the text are
// ignored. 0, 445 (kDerEncodeFailed) for a text that is not an OID, or 200.
[[nodiscard]] int OidTextToContent(const char* text, core::BufferCore& out);

// OidContentToText replaces out with the dotted text of length content bytes; empty content reads as
// "0". 0, 446 (kDerBadInner) for an arc above 2^128 - 1, more than 256 arcs or content that ends inside
// a subidentifier, or 200.
[[nodiscard]] int OidContentToText(const uint8_t* content, int32_t length, core::BufferCore& out);

}  // namespace velmora::pki
