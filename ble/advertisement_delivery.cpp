// The engine's side of advertisements: delivery of each received advertisement to the sink with its
// decoded sections, the device name lookup, and the in-event settings that read the advertisement being
// delivered.
#include <algorithm>

#include "ble/advertisement.h"
#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "platform/text.h"
#include "platform/time.h"

namespace velmora::ble {

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
  const ScanQueue::Caller me = ScanQueue::ThisCaller();
  // The age check comes before any other work on the advertisement: a thread that has fallen behind drops
  // what waited too long at little cost, and so catches up with the newest.
  DeliverScanEvents(scans_.Arrive(args->Run(), args->Timestamp(), args, me), me, ScanQueue::Role::kEvent);
}

void BLEClientEngine::DeliverOne(const ScanQueue::Advertisement& args) {
  try {
    // Each delivery has its own context, reached through its thread's results, and holds no lock while the
    // sink runs.
    DeliverAdvertisement(args);
  } catch (const bt::PlatformError&) {
    // NOTE: an advertisement the platform fails to describe is dropped, and the next is delivered.
  }
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
  const AdvertisementContext* current = AdvertisementResults().advertisement;
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
  // The 16-bit list holds the UUIDs that have a 16-bit form, and only those: a UUID off the Bluetooth base
  // has none, and a placeholder for it would read as a service the device never advertised.
  std::vector<uint16_t> short_uuids;
  for (const Guid& uuid : context.advertisement->ServiceUuids()) {
    const std::optional<uint32_t> short_id = platform->TryGetShortId(uuid);
    if (short_id && *short_id <= 0xFFFF) short_uuids.push_back(static_cast<uint16_t>(*short_id));
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
  const AdvertisementContext& context = *AdvertisementResults().advertisement;
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
  const AdvertisementContext& context = *AdvertisementResults().advertisement;
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
