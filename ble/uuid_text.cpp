#include "ble/uuid_text.h"

#include "core/byte_order.h"
#include "core/hex.h"

namespace velmora::ble {

namespace {

// The last 24 digits of the Bluetooth base UUID (Bluetooth Core, Vol 3 Part B 2.5.1).
constexpr const char kBaseUuidTail[] = "00001000800000805F9B34FB";

// kUuidDigitErrorText is the reason given for a UUID text with a character that is not a hex digit.
constexpr const char kUuidDigitErrorText[] = "UUIDs hexadecimal strings must contain only hexadecimal digits.";

bool AllHexDigits(const core::BufferCore& text) {
  for (int32_t i = 0; i < text.Length(); ++i) {
    const char c = text.Data()[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

int Fail(core::BufferCore* error, const char* reason) {
  if (error != nullptr) (void)error->SetString(reason);
  return kUuidSizeError;
}

}  // namespace

Guid MakeGuid(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&data4)[8]) {
  Guid g;
  g.data1 = data1;
  g.data2 = data2;
  g.data3 = data3;
  for (int i = 0; i < 8; ++i) g.data4[i] = data4[i];
  return g;
}

int GuidToUuidText(const Guid& guid, core::BufferCore& out) {
  return out.Format("%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", guid.data1, guid.data2, guid.data3,
                    guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                    guid.data4[6], guid.data4[7]);
}

int ParseUuid(Guid& out, const char* text, core::BufferCore* error) {
  core::Buffer work;
  int rc = work.SetString(text);
  if (rc == core::kOk) rc = work.TrimByte(' ');
  if (rc == core::kOk) rc = work.ReplaceAll("0x", "");
  if (rc == core::kOk) rc = work.ReplaceAll("-", "");
  if (rc != core::kOk) return rc;
  switch (work.Length()) {
    case 4: {
      core::Buffer full;
      rc = full.SetString("0000");
      if (rc == core::kOk) rc = full.Append(work);
      if (rc == core::kOk) rc = full.AppendCString(kBaseUuidTail);
      if (rc == core::kOk) rc = work.Assign(full);
      break;
    }
    case 8:
      rc = work.AppendCString(kBaseUuidTail);
      break;
    case 32:
      break;
    default:
      return Fail(error, kUuidSizeErrorText);
  }
  if (rc != core::kOk) return rc;
  // A character that is not a hex digit would silently name another UUID: refuse it.
  if (!AllHexDigits(work)) return Fail(error, kUuidDigitErrorText);
  core::Buffer bytes;
  rc = core::HexDecodeAppend(bytes, work.Data());
  if (rc != core::kOk) return rc;
  const uint8_t* b = bytes.Bytes();
  const uint8_t data4[8] = {b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]};
  out = MakeGuid(core::ReadUInt32BE(b), static_cast<uint16_t>(b[4] << 8 | b[5]), static_cast<uint16_t>(b[6] << 8 | b[7]),
                 data4);
  return core::kOk;
}

}  // namespace velmora::ble
