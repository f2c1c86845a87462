// Taking lines off the front of a text held in a Buffer, for the readers of line-based key files.
#pragma once

#include "core/buffer.h"

namespace velmora::core {

// TakeLine sets out to the bytes of source before its first LF (all of them when there is none),
// trimmed of bytes 0x00-0x20 at both ends, and removes those bytes and the LF from source: 0, or 200
// (source unchanged, out empty) when memory runs out.
[[nodiscard]] int TakeLine(BufferCore& source, BufferCore& out);

}  // namespace velmora::core
