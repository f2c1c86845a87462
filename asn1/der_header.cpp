#include "asn1/der_header.h"

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"

namespace velmora::pki {

int DerStripHeader(core::BufferCore& buffer, uint8_t* out_tag) {
  uint8_t tag = 0;
  int32_t content_start = 0;
  int32_t content_end = 0;
  if (!DerWalkHeader(buffer.Bytes(), 0, buffer.Length(), &tag, &content_start, &content_end, nullptr, nullptr)) {
    return kDerBadInner;
  }
  if (out_tag != nullptr) *out_tag = tag;
  if (content_end == content_start) return buffer.SetData(0, nullptr);
  return buffer.KeepRange(content_start, content_end);
}

int DerWrapInTag(core::BufferCore& buffer, uint8_t tag) {
  uint8_t header[6];
  int32_t left = static_cast<int32_t>(sizeof header) - 1;
  header[0] = tag;
  const uint8_t* end = DerEncodeLength(header + 1, &left, static_cast<uint32_t>(buffer.Length()));
  if (end == nullptr) return kDerEncodeFailed;
  return buffer.ReplaceRange(0, 0, header, static_cast<int32_t>(end - header));
}

}  // namespace velmora::pki
