#include "ble/advertisement.h"

#include <algorithm>
#include <cstring>

#include "core/hex.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

// The section kinds of the service data and solicitation decoders, in decoding order, with their UUID size.
struct SectionKind {
  uint8_t type;
  int32_t uuid_size;
};
constexpr SectionKind kServiceDataKinds[] = {
    {kTypeServiceData128, 16}, {kTypeServiceData32, 4}, {kTypeServiceData16, 2}};
constexpr SectionKind kSolicitationKinds[] = {
    {kTypeSolicitation128, 16}, {kTypeSolicitation32, 4}, {kTypeSolicitation16, 2}};

int32_t SectionLength(const AdvertisementSection& section) {
  // A platform section holds at most a few hundred bytes; the clamp keeps the int32 texts honest anyway.
  return static_cast<int32_t>(std::min<size_t>(section.data.size(), INT32_MAX));
}

int LengthError(core::BufferCore& error, const char* format, int32_t uuid_size, int32_t length) {
  char text[128];
  platform::Format(text, sizeof text, format, uuid_size, length);
  (void)error.SetString(text);
  return kSectionLengthError;
}

}  // namespace

int FormatBluetoothAddress(uint64_t address, core::BufferCore& text) {
  char digits[12];
  for (int i = 11; i >= 0; --i) {
    digits[i] = kUpperHex[address & 0xF];
    address >>= 4;
  }
  return text.Append(digits, static_cast<int32_t>(sizeof digits));
}

int UuidFromAdvertisementBytes(const uint8_t* bytes, int32_t count, Guid* out) {
  if (count == 2 || count == 4) {
    uint32_t value = 0;
    for (int32_t i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    *out = platform::bluetooth::BluetoothBaseUuid(value);
    return core::kOk;
  }
  if (count != 16) return kBadUuidSize;
  // The 128-bit value travels least significant byte first: the text form reads the bytes backwards.
  Guid uuid;
  uuid.data1 = (uint32_t{bytes[15]} << 24) | (uint32_t{bytes[14]} << 16) | (uint32_t{bytes[13]} << 8) | bytes[12];
  uuid.data2 = static_cast<uint16_t>((bytes[11] << 8) | bytes[10]);
  uuid.data3 = static_cast<uint16_t>((bytes[9] << 8) | bytes[8]);
  for (int i = 0; i < 8; ++i) uuid.data4[i] = bytes[7 - i];
  *out = uuid;
  return core::kOk;
}

int32_t AdvertisedTxPower(std::span<const AdvertisementSection> sections) {
  for (const AdvertisementSection& section : sections) {
    // A section without its byte is malformed and dropped like the platform drops the other short structures.
    if (section.data_type != kTypeTxPowerLevel || section.data.empty()) continue;
    // The level is one signed byte (Vol 3 Part C 11.1.5); bytes after it are not part of it.
    return static_cast<int32_t>(static_cast<int8_t>(section.data[0]));
  }
  return kNoTxPower;
}

int DecodeServiceDataSections(std::span<const AdvertisementSection> sections, UuidList& uuids,
                              core::StrList& payloads, core::BufferCore& out, core::BufferCore& error) {
  uuids.clear();
  (void)payloads.Clear();
  for (const SectionKind& kind : kServiceDataKinds) {
    for (const AdvertisementSection& section : sections) {
      if (section.data_type != kind.type) continue;
      const int32_t length = SectionLength(section);
      if (length < kind.uuid_size) {
        return LengthError(error, "Expected byte[] length to be at least %d, but instead is %d.", kind.uuid_size,
                           length);
      }
      Guid uuid;
      (void)UuidFromAdvertisementBytes(section.data.data(), kind.uuid_size, &uuid);
      const int rc = payloads.Add(section.data.data() + kind.uuid_size, length - kind.uuid_size);
      if (rc != core::kOk) return rc;
      uuids.push_back(uuid);
    }
  }
  return UuidListToText(uuids, out);
}

int DecodeSolicitationSections(std::span<const AdvertisementSection> sections, UuidList& work,
                               core::BufferCore& out, core::BufferCore& error) {
  work.clear();
  UniqueUuids unique(work);
  for (const SectionKind& kind : kSolicitationKinds) {
    for (const AdvertisementSection& section : sections) {
      if (section.data_type != kind.type) continue;
      const int32_t length = SectionLength(section);
      if (length % kind.uuid_size != 0) {
        return LengthError(error, "Expected byte[] length to be a multiple of %d, but instead is %d.",
                           kind.uuid_size, length);
      }
      for (int32_t at = 0; at < length; at += kind.uuid_size) {
        Guid uuid;
        (void)UuidFromAdvertisementBytes(section.data.data() + at, kind.uuid_size, &uuid);
        (void)unique.Add(uuid);
      }
    }
  }
  return UuidListToText(work, out);
}

int32_t BuildAdvertisementReport(const AdvertisementReport& in, std::span<uint8_t, kMaxReportLength> report) {
  uint8_t* const r = report.data();
  r[0] = 0x3E;  // HCI LE Meta event (Vol 4 Part E 7.7.65.2)
  r[2] = 0x02;  // subevent: LE Advertising Report
  r[3] = 0x01;  // one report
  r[4] = in.event_type;
  r[5] = in.address_type;
  for (int i = 0; i < 6; ++i) r[6 + i] = static_cast<uint8_t>(in.address >> (8 * i));
  uint8_t* const data = r + 13;
  int32_t n = 0;
  if (in.flags) {
    data[n++] = 0x02;
    data[n++] = 0x01;
    data[n++] = static_cast<uint8_t>(*in.flags);
  }
  if (in.tx_power != kNoTxPower) {
    data[n++] = 0x02;
    data[n++] = 0x0A;
    data[n++] = static_cast<uint8_t>(in.tx_power);
  }
  // Manufacturer data and the UUID list are cut to what their own length byte and the report's data
  // length can state; the first two structures always fit.
  if (in.has_manufacturer_data) {
    const int32_t room = std::min<int32_t>(255 - 3, kMaxAdvertisingDataLength - n - 4);
    const auto length = static_cast<int32_t>(std::min<size_t>(in.manufacturer_data.size(), static_cast<size_t>(room)));
    data[n++] = static_cast<uint8_t>(length + 3);
    data[n++] = 0xFF;
    data[n++] = static_cast<uint8_t>(in.company_id);
    data[n++] = static_cast<uint8_t>(in.company_id >> 8);
    std::copy_n(in.manufacturer_data.data(), length, data + n);
    n += length;
  }
  const int32_t uuid_room = std::min<int32_t>((255 - 1) / 2, (kMaxAdvertisingDataLength - n - 2) / 2);
  const auto count = static_cast<int32_t>(std::min<size_t>(in.short_uuids.size(), static_cast<size_t>(std::max(uuid_room, 0))));
  if (count > 0) {
    data[n++] = static_cast<uint8_t>(2 * count + 1);
    data[n++] = 0x03;  // complete list of 16-bit service UUIDs
    for (int32_t i = 0; i < count; ++i) {
      data[n++] = static_cast<uint8_t>(in.short_uuids[i]);
      data[n++] = static_cast<uint8_t>(in.short_uuids[i] >> 8);
    }
  }
  r[1] = static_cast<uint8_t>(12 + n);
  r[12] = static_cast<uint8_t>(n);
  data[n] = static_cast<uint8_t>(in.rssi);
  return 14 + n;
}

int AppendAdvertisementReportHex(const AdvertisementReport& in, core::BufferCore& out) {
  uint8_t report[kMaxReportLength];
  const int32_t length = BuildAdvertisementReport(in, report);
  return core::AppendHexLower(out, report, length);
}

}  // namespace velmora::ble
