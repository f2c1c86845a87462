// Decoding of received advertisements: the server id text, the UUIDs that advertising data sections carry,
// the TX power level, the service data and solicitation sections, and the raw advertisement report (the
// bytes of the controller's LE Advertising Report, as lower-case hex).
//
// Everything here works on plain values and keeps no state; the engine reads the platform objects and
// hands their sections in. Remote devices choose every byte of a section, so no length is trusted.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ble/scanning.h"
#include "core/buffer.h"
#include "core/str_list.h"
#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

using AdvertisementSection = platform::bluetooth::BluetoothLEAdvertisementDataSection;

// kNoTxPower is the TX power of an advertisement without a TX Power Level section.
constexpr int32_t kNoTxPower = INT32_MIN;
// kNoCompanyId is the company id of an advertisement without manufacturer data.
constexpr int32_t kNoCompanyId = -1;
// kSectionLengthError is the code of a service data or solicitation section of the wrong length.
constexpr int kSectionLengthError = 202;
// kBadUuidSize is the code of a UUID byte group that is not 2, 4 or 16 bytes long.
constexpr int kBadUuidSize = 600;

// Advertising data types read here (Bluetooth Assigned Numbers, Common Data Types).
constexpr uint8_t kTypeTxPowerLevel = 0x0A;
constexpr uint8_t kTypeSolicitation16 = 0x14;
constexpr uint8_t kTypeSolicitation128 = 0x15;
constexpr uint8_t kTypeServiceData16 = 0x16;
constexpr uint8_t kTypeSolicitation32 = 0x1F;
constexpr uint8_t kTypeServiceData32 = 0x20;
constexpr uint8_t kTypeServiceData128 = 0x21;

// FormatBluetoothAddress appends the low 48 bits of address as 12 upper-case hex digits, most significant
// byte first ("0000000000A1" for 0xA1). 0, or 200 when text cannot grow.
[[nodiscard]] int FormatBluetoothAddress(uint64_t address, core::BufferCore& text);

// UuidFromAdvertisementBytes sets *out to the UUID that a group of count bytes of a section carries:
// 2 or 4 bytes are a short id (little-endian) on the Bluetooth base UUID; 16 bytes are a full UUID sent
// least significant byte first (Bluetooth Core, Vol 3 Part C 11.1.1), the same order the platform reads
// the service UUID lists in. Returns 0, or 600 for any other count (*out unchanged).
[[nodiscard]] int UuidFromAdvertisementBytes(const uint8_t* bytes, int32_t count, Guid* out);

// AdvertisedTxPower returns the level of the first TX Power Level section of sections as a signed byte, or
// kNoTxPower when there is none; a section without its byte counts as none.
int32_t AdvertisedTxPower(std::span<const AdvertisementSection> sections);

// DecodeServiceDataSections empties uuids and payloads and fills them, position by position, with the UUID
// and the remaining bytes of every service data section: 128-bit sections first, then 32-bit, then 16-bit,
// each kind in section order, duplicates kept. On success it appends the UUID list text to out and returns
// 0. A section shorter than its UUID returns 202 with error set to "Expected byte[] length to be at least
// N, but instead is L."; out is not touched and the pairs decoded before stay. 200 when memory runs out.
[[nodiscard]] int DecodeServiceDataSections(std::span<const AdvertisementSection> sections, UuidList& uuids,
                                            core::StrList& payloads, core::BufferCore& out,
                                            core::BufferCore& error);

// DecodeSolicitationSections collects, in the same order of kinds, the UUIDs of every solicitation section
// once each (work is emptied first and holds them afterwards) and appends their list text to out; 0. A
// section whose length is not a multiple of its UUID size returns 202 with error set to "Expected byte[]
// length to be a multiple of N, but instead is L."; out is not touched. 200 when memory runs out.
[[nodiscard]] int DecodeSolicitationSections(std::span<const AdvertisementSection> sections, UuidList& work,
                                             core::BufferCore& out, core::BufferCore& error);

// AdvertisementReport holds what the raw advertisement report is built from.
struct AdvertisementReport {
  uint8_t event_type = 0;    // the advertisement type (0 to 4)
  uint8_t address_type = 1;  // the device's address type; 1 (random) when no device is known
  uint64_t address = 0;
  int16_t rssi = 0;
  std::optional<uint32_t> flags;
  int32_t tx_power = kNoTxPower;
  bool has_manufacturer_data = false;
  uint16_t company_id = 0;
  std::span<const uint8_t> manufacturer_data;
  // The 16-bit short form of each advertised service UUID (0 for a UUID that has none).
  std::span<const uint16_t> short_uuids;
};

// kMaxAdvertisingDataLength is the most advertising data a report carries: its parameter length byte
// counts 12 bytes besides the data and cannot go past 255.
constexpr int32_t kMaxAdvertisingDataLength = 255 - 12;
// kMaxReportLength is the length of the longest report.
constexpr int32_t kMaxReportLength = 14 + kMaxAdvertisingDataLength;

// BuildAdvertisementReport writes the report bytes into report and returns their count (14 to
// kMaxReportLength): 3E, 12 + N, 02, 01, event type, address type, the address least significant byte first,
// N, the AD structures (Flags, TX Power Level, the manufacturer data, the complete 16-bit service UUID list,
// each only when present) and the RSSI. Structures are cut so that no length byte overflows: manufacturer
// data and the UUID list are shortened, and a structure that no longer fits is left out.
int32_t BuildAdvertisementReport(const AdvertisementReport& in, std::span<uint8_t, kMaxReportLength> report);

// AdvertisementContext is the advertisement an engine is delivering, held from the start of its
// Advertisement event to the end of it, with the service data the in-event settings read. Only the thread
// delivering the advertisement touches it.
struct AdvertisementContext {
  std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementReceivedEventArgs> args;
  std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisement> advertisement;
  int32_t tx_power = kNoTxPower;
  // The service data sections: UUID i goes with payload i.
  UuidList service_data_uuids;
  core::StrList service_data_texts;
  // Work list of the solicitation decoder, kept so that its storage is reused.
  UuidList solicited_uuids;
};

// AppendAdvertisementReportHex appends the lower-case hex text of the report of in to out. 0 or 200.
[[nodiscard]] int AppendAdvertisementReportHex(const AdvertisementReport& in, core::BufferCore& out);

}  // namespace velmora::ble
