#include "ble/advertisement.h"

#include <algorithm>
#include <cstring>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
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
    if (section.data_type != kTypeTxPowerLevel) continue;
    // The level is one signed byte (Vol 3 Part C 11.1.5); bytes after it are not part of it.
    return section.data.empty() ? 0 : static_cast<int32_t>(static_cast<int8_t>(section.data[0]));
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

// ---- The engine's advertisement delivery ----------------------------------------------------------------

namespace {

// ContextGuard makes context the calling thread's advertisement for the delivery and ends that however the
// delivery ends, so that the in-event settings never answer with a stale advertisement.
class ContextGuard {
 public:
  ContextGuard(BLEClientEngine& engine, AdvertisementContext& context)
      : engine_(engine), outer_(engine.BeginAdvertisement(&context)) {}
  ~ContextGuard() { engine_.EndAdvertisement(outer_); }
  ContextGuard(const ContextGuard&) = delete;
  ContextGuard& operator=(const ContextGuard&) = delete;

 private:
  BLEClientEngine& engine_;
  AdvertisementContext* outer_;
};

int32_t IsConnectable(bt::BluetoothLEAdvertisementType type) {
  return type == bt::BluetoothLEAdvertisementType::ConnectableUndirected ||
                 type == bt::BluetoothLEAdvertisementType::ConnectableDirected
             ? 1
             : 0;
}

}  // namespace

void BLEClientEngine::OnAdvertisementReceived(
    const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>&,
    const std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs>& args) {
  if (args == nullptr) return;
  // Each delivery has its own context, reached through its thread's results: deliveries on several
  // platform threads run side by side and hold no lock while the sink runs.
  DeliverAdvertisement(args);
}

void BLEClientEngine::DeliverAdvertisement(const std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs>& args) {
  AdvertisementContext context;
  context.args = args;
  context.advertisement = args->Advertisement();
  if (context.advertisement == nullptr) return;
  const ContextGuard guard(*this, context);

  const std::vector<Guid> service_uuids = context.advertisement->ServiceUuids();
  const uint64_t address = args->BluetoothAddress();
  core::Buffer server_id;
  core::Buffer name;
  if (FormatBluetoothAddress(address, server_id) != core::kOk) return;
  if (PlatformStringToText(context.advertisement->LocalName(), name) != core::kOk) return;
  if (name.IsEmpty() && settings_.query_additional_device_info.load(std::memory_order_relaxed) != 0) {
    LookUpDeviceName(address, name);
  }
  const int32_t rssi = args->RawSignalStrengthInDBm();
  const std::vector<AdvertisementSection> sections = context.advertisement->DataSections();
  context.tx_power = AdvertisedTxPower(sections);

  core::Buffer service_text;
  core::Buffer service_data_text;
  core::Buffer solicited_text;
  core::Buffer reason;
  if (UuidListToText(service_uuids, service_text) != core::kOk) return;
  // A malformed section leaves its value "" and its reason as the last error text; the event still goes out.
  if (DecodeServiceDataSections(sections, context.service_data_uuids, context.service_data_texts, service_data_text,
                                reason) != core::kOk) {
    (void)service_data_text.Clear();
    if (!reason.IsEmpty()) (void)SetErrorText(0, reason.Data());
  }
  (void)reason.Clear();
  if (DecodeSolicitationSections(sections, context.solicited_uuids, solicited_text, reason) != core::kOk) {
    (void)solicited_text.Clear();
    if (!reason.IsEmpty()) (void)SetErrorText(0, reason.Data());
  }

  const std::vector<bt::BluetoothLEManufacturerData> manufacturer = context.advertisement->ManufacturerData();
  int32_t company_id = kNoCompanyId;
  const uint8_t* data = nullptr;
  int32_t data_len = 0;
  if (!manufacturer.empty()) {
    company_id = manufacturer[0].company_id;
    data = manufacturer[0].data.data();
    data_len = static_cast<int32_t>(std::min<size_t>(manufacturer[0].data.size(), INT32_MAX));
  }
  const bt::BluetoothLEAdvertisementType type = args->AdvertisementType();
  (void)FireAdvertisement(server_id.Data(), name.Data(), rssi, context.tx_power, service_text.Data(),
                          service_data_text.Data(), solicited_text.Data(), company_id, data, data_len,
                          IsConnectable(type), type == bt::BluetoothLEAdvertisementType::ScanResponse ? 1 : 0);
}

void BLEClientEngine::LookUpDeviceName(uint64_t address, core::BufferCore& name) {
  // NOTE: this wait runs on the platform thread that delivers the advertisement.
  const std::shared_ptr<bt::BluetoothLEDevice> device =
      AwaitLEDevice(*this, bt::Provider()->FromBluetoothAddressAsync(address));
  if (device != nullptr) {
    if (PlatformStringToText(device->Name(), name) != core::kOk) (void)name.Clear();
    return;
  }
  // No device for the address: the advertised (empty) name stands and the failed lookup leaves no error.
  (void)LastErrorText().Clear();
  SetLastErrorCode(0);
}

int BLEClientEngine::BuildAdvertisementRawData(core::BufferCore& out) {
  (void)out.Clear();
  const AdvertisementContext* current = CurrentResults().advertisement;
  if (current == nullptr || current->args == nullptr || current->advertisement == nullptr) return 0;
  const AdvertisementContext& context = *current;
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  AdvertisementReport report;
  report.event_type = static_cast<uint8_t>(context.args->AdvertisementType());
  report.address = context.args->BluetoothAddress();
  const std::shared_ptr<bt::BluetoothLEDevice> device =
      AwaitLEDevice(*this, platform->FromBluetoothAddressAsync(report.address));
  report.address_type = device != nullptr ? static_cast<uint8_t>(device->BluetoothAddressType()) : 1;
  report.rssi = context.args->RawSignalStrengthInDBm();
  report.flags = context.advertisement->Flags();
  report.tx_power = context.tx_power;
  const std::vector<bt::BluetoothLEManufacturerData> manufacturer = context.advertisement->ManufacturerData();
  if (!manufacturer.empty()) {
    report.has_manufacturer_data = true;
    report.company_id = manufacturer[0].company_id;
    report.manufacturer_data = manufacturer[0].data;
  }
  std::vector<uint16_t> short_uuids;
  for (const Guid& uuid : context.advertisement->ServiceUuids()) {
    // A UUID off the Bluetooth base has no 16-bit form; it is reported as 0000 so the list length holds.
    const std::optional<uint32_t> short_id = platform->TryGetShortId(uuid);
    short_uuids.push_back(short_id && *short_id <= 0xFFFF ? static_cast<uint16_t>(*short_id) : 0);
  }
  report.short_uuids = short_uuids;
  return AppendAdvertisementReportHex(report, out);
}

int BLEClientEngine::ConfigAdvertisementKey(const char* key, const component::ConfigSettingParts& setting,
                                            const char** reply) {
  try {
    return AdvertisementKeyReply(key, setting, reply);
  } catch (const bt::PlatformError& error) {
    if (reply != nullptr) *reply = core::kEmptyText;
    return SetErrorText(kPlatformErrorCode, error.what());
  }
}

int BLEClientEngine::AdvertisementKeyReply(const char* key, const component::ConfigSettingParts& setting,
                                           const char** reply) {
  if (std::strcmp(key, "ServiceData") == 0) return ConfigServiceData(setting, reply);
  if (std::strcmp(key, "AdvertisementRawData") == 0) {
    core::Buffer text;
    const int rc = BuildAdvertisementRawData(text);
    if (rc != core::kOk) return ReportOutOfMemory(rc);
    return ConfigTextReply(text.Data(), reply);
  }
  const AdvertisementContext& context = *CurrentResults().advertisement;
  const std::vector<bt::BluetoothLEManufacturerData> entries = context.advertisement->ManufacturerData();
  const auto count = static_cast<int32_t>(std::min<size_t>(entries.size(), INT32_MAX));
  if (std::strcmp(key, "ManufacturerDataCount") == 0) return ConfigUnsignedToText(static_cast<uint32_t>(count), reply);
  const int32_t index = setting.Index();
  const int checked = CheckManufacturerIndex(index, count, key);
  if (checked != 0) return checked;
  const bt::BluetoothLEManufacturerData& entry = entries[static_cast<size_t>(index)];
  if (std::strcmp(key, "ManufacturerCompanyId") == 0) return ConfigValueToText(entry.company_id, reply);
  // The bytes go into the reply text as they are; the reply reaches the caller as a NUL-terminated text.
  core::Buffer& out = Results().reply_text;
  const int copied = out.SetData(static_cast<int32_t>(entry.data.size()), entry.data.data());
  if (copied != core::kOk) return ReportOutOfMemory(copied);
  if (reply != nullptr) *reply = out.Data();
  return 0;
}

int BLEClientEngine::ConfigServiceData(const component::ConfigSettingParts& setting, const char** reply) {
  Guid uuid;
  core::Buffer reason;
  int rc = ParseUuid(uuid, setting.Value().Data(), &reason);
  if (rc != core::kOk) return reason.IsEmpty() ? ReportOutOfMemory(rc) : SetErrorText(rc, reason.Data());
  const AdvertisementContext& context = *CurrentResults().advertisement;
  const UuidList& uuids = context.service_data_uuids;
  for (size_t i = 0; i < uuids.size(); ++i) {
    if (uuids[i] == uuid) return ConfigTextReply(context.service_data_texts.Item(static_cast<int32_t>(i)), reply);
  }
  core::Buffer uuid_text;
  rc = AppendUuidText(uuid, uuid_text);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  char text[96];
  platform::Format(text, sizeof text, "No service data in advertisement for UUID %s.", uuid_text.Data());
  return SetErrorText(kInvalidArgument, text);
}

}  // namespace velmora::ble
