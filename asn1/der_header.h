// Removing and adding the outer header of one encoded element held in a Buffer.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::pki {

// DerStripHeader replaces the element at the start of buffer by its content (an indefinite length loses
// its end-of-contents marker too); *out_tag (optional) receives the tag byte. 0; 446 when the header is
// malformed or the content runs past the buffer (buffer unchanged); 200.
[[nodiscard]] int DerStripHeader(core::BufferCore& buffer, uint8_t* out_tag);

// DerWrapInTag makes the content of buffer the content of a new element of tag with a definite length.
// 0 or 200 (buffer unchanged).
[[nodiscard]] int DerWrapInTag(core::BufferCore& buffer, uint8_t tag);

}  // namespace velmora::pki
