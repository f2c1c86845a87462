#include "core/text_lines.h"

namespace velmora::core {

int TakeLine(BufferCore& source, BufferCore& out) {
  const int32_t end = source.FindByte('\n', 0);
  const int32_t length = end < 0 ? source.Length() : end;
  int rc = out.SetData(length, source.Data());
  if (rc == kOk) rc = out.TrimWhitespace();
  if (rc == kOk) rc = BufferConsumeFront(source, end < 0 ? length : length + 1);
  if (rc != kOk) out.Clear();
  return rc;
}

}  // namespace velmora::core
