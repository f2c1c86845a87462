// UUID text: the one text form the engine produces for service, characteristic and descriptor types
// (36 characters, upper-case hexadecimal, hyphenated, no braces) and the parser for the 16-, 32- and
// 128-bit forms applications give.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "platform/bluetooth/types.h"

namespace velmora::ble {

using Guid = platform::bluetooth::Guid;

// kUuidSizeError is returned by ParseUuid for a text that is not a 16-, 32- or 128-bit UUID.
constexpr int kUuidSizeError = 600;
// kUuidSizeErrorText is the text ParseUuid puts into its error buffer for such a text.
constexpr const char kUuidSizeErrorText[] =
    "UUIDs hexadecimal strings must represent either 16-, 32-, or 128-bit values.";

// MakeGuid returns the GUID with the given fields.
Guid MakeGuid(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t (&data4)[8]);

// GuidToUuidText sets out to the UUID text of guid, e.g. "00002902-0000-1000-8000-00805F9B34FB";
// 0, or 200 when out cannot grow.
[[nodiscard]] int GuidToUuidText(const Guid& guid, core::BufferCore& out);

// ParseUuid reads a UUID text into out: blanks round it, every "0x" and every "-" are ignored; 4 digits
// are a 16-bit and 8 digits a 32-bit short UUID on the Bluetooth base UUID, 32 digits a full UUID.
// Returns 0; 600 for any other length or for a character that is not a hex digit (error, when given,
// receives the reason; out is not written); 200 when memory runs out. A null text counts as "".
[[nodiscard]] int ParseUuid(Guid& out, const char* text, core::BufferCore* error = nullptr);

}  // namespace velmora::ble
