#include "ble/ble_client_engine.h"

#include "ble/await.h"
#include "ble/ble_client.h"
#include "ble/tree_dump.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

// The text of 613 for a platform without a radio: the platform's reason follows, then a full stop.
constexpr const char kNoAdapterPrefix[] = "No Bluetooth adapter found: ";

using component::ConfigSettingParts;
using component::ParseConfigBool;
using component::ParseConfigInt;

constexpr int32_t kDefaultTimeoutSeconds = 60;

enum EngineKey {
  kAutoDiscoverCharacteristics,
  kAutoDiscoverDescriptors,
  kAutoDiscoverIncludedServices,
  kGattObjTreeInfo,
  kIncludeRediscovered,
  kLogLevel,
  kManufacturerCompanyId,
  kManufacturerData,
  kManufacturerDataCount,
  kPreferIndications,
  kServiceData,
  kScanStartedTimeout,
  kAdvertisementRawData,
  kQueryAdditionalDeviceInfo,
  kMaxPduSize,
  kPairingMode,
};

enum class KeyKind {
  kBool,       // read/write, "True"/"False"
  kInt,        // read/write, decimal
  kQueryOnly,  // a value passes the name on down the chain
  kValueOnly,  // a query passes the name on down the chain
};

using SettingField = std::atomic<int32_t> BLEClientEngine::Settings::*;

struct KeyEntry {
  const char* name;
  EngineKey key;
  KeyKind kind;
  SettingField field;
};

using S = BLEClientEngine::Settings;

// Compared in this order, case-insensitively and as whole names.
constexpr KeyEntry kEngineKeys[] = {
    {"AutoDiscoverCharacteristics", kAutoDiscoverCharacteristics, KeyKind::kBool, &S::auto_discover_characteristics},
    {"AutoDiscoverDescriptors", kAutoDiscoverDescriptors, KeyKind::kBool, &S::auto_discover_descriptors},
    {"AutoDiscoverIncludedServices", kAutoDiscoverIncludedServices, KeyKind::kBool,
     &S::auto_discover_included_services},
    {"GattObjTreeInfo", kGattObjTreeInfo, KeyKind::kQueryOnly, nullptr},
    {"IncludeRediscovered", kIncludeRediscovered, KeyKind::kBool, &S::include_rediscovered},
    {"LogLevel", kLogLevel, KeyKind::kInt, &S::log_level},
    {"ManufacturerCompanyId", kManufacturerCompanyId, KeyKind::kQueryOnly, nullptr},
    {"ManufacturerData", kManufacturerData, KeyKind::kQueryOnly, nullptr},
    {"ManufacturerDataCount", kManufacturerDataCount, KeyKind::kQueryOnly, nullptr},
    {"PreferIndications", kPreferIndications, KeyKind::kBool, &S::prefer_indications},
    {"ServiceData", kServiceData, KeyKind::kValueOnly, nullptr},
    {"ScanStartedTimeout", kScanStartedTimeout, KeyKind::kInt, &S::scan_started_timeout},
    {"AdvertisementRawData", kAdvertisementRawData, KeyKind::kQueryOnly, nullptr},
    {"QueryAdditionalDeviceInfo", kQueryAdditionalDeviceInfo, KeyKind::kBool, &S::query_additional_device_info},
    {"MaxPduSize", kMaxPduSize, KeyKind::kQueryOnly, nullptr},
    {"PairingMode", kPairingMode, KeyKind::kInt, &S::pairing_mode},
};

const KeyEntry* FindEngineKey(const core::Buffer& name) {
  for (const KeyEntry& entry : kEngineKeys) {
    if (name.EqualsNoCase(entry.name)) return &entry;
  }
  return nullptr;
}

}  // namespace

BLEClientEngine::BLEClientEngine(BLEClient* owner) : owner_(owner), sink_(owner) {}

BLEClientEngine::~BLEClientEngine() {
  // Callbacks still holding the bridge find it detached and leave the freed engine alone.
  if (bridge_ != nullptr) bridge_->Detach();
  // A client destroyed while connected has no Disconnect to follow: its connection's use of the bond ends here.
  LeaveBond(HeldDevice(), 0);
}

int BLEClientEngine::Init() {
  if (SocketBase::Init() == 0) return 0;
  if (bridge_ != nullptr) bridge_->Detach();
  bridge_ = std::make_shared<BLEEvent>(this);
  // A started engine has no GATT objects and no selection.
  (void)ClearGattTree();
  subscriptions_.Clear();
  (void)ResetSettings();
  operation_deadline_.store(0, std::memory_order_relaxed);
  timeout_ms_.store(TimeoutInMs() ? kDefaultTimeoutSeconds : kDefaultTimeoutSeconds * 1000u,
                    std::memory_order_relaxed);
  return 1;
}

int BLEClientEngine::ResetSettings() {
  settings_.auto_discover_characteristics.store(0, std::memory_order_relaxed);
  settings_.auto_discover_descriptors.store(0, std::memory_order_relaxed);
  settings_.auto_discover_included_services.store(0, std::memory_order_relaxed);
  settings_.include_rediscovered.store(1, std::memory_order_relaxed);
  settings_.prefer_indications.store(0, std::memory_order_relaxed);
  settings_.active_scanning.store(0, std::memory_order_relaxed);
  settings_.not_connected.store(1, std::memory_order_relaxed);
  settings_.query_additional_device_info.store(0, std::memory_order_relaxed);
  settings_.log_level.store(1, std::memory_order_relaxed);
  settings_.scan_started_timeout.store(2, std::memory_order_relaxed);
  settings_.pairing_mode.store(0, std::memory_order_relaxed);
  return 0;
}

// ---- Configuration -----------------------------------------------------------------------------------------

int BLEClientEngine::Config(const ConfigSettingParts& setting, const char** reply) {
  const bool query = setting.Query() != 0;
  // While a method keeps the earlier error text aside, the LastError query still answers with it.
  const core::BufferCore* earlier = EarlierErrorText();
  if (query && earlier != nullptr && LastErrorText().IsEmpty() && setting.Name().EqualsNoCase("LastError")) {
    return ConfigTextReply(earlier->Data(), reply);
  }
  const KeyEntry* entry = FindEngineKey(setting.Name());
  if (entry == nullptr) return SocketBase::Config(setting, reply);
  switch (entry->kind) {
    case KeyKind::kBool: {
      std::atomic<int32_t>& field = settings_.*entry->field;
      if (query) return ConfigTextReply(field.load(std::memory_order_relaxed) != 0 ? "True" : "False", reply);
      field.store(ParseConfigBool(setting), std::memory_order_relaxed);
      return 0;
    }
    case KeyKind::kInt: {
      std::atomic<int32_t>& field = settings_.*entry->field;
      if (query) return ConfigValueToText(field.load(std::memory_order_relaxed), reply);
      field.store(ParseConfigInt(setting), std::memory_order_relaxed);
      return 0;
    }
    case KeyKind::kQueryOnly:
      if (!query) return SocketBase::Config(setting, reply);
      break;
    case KeyKind::kValueOnly:
      if (query) return SocketBase::Config(setting, reply);
      break;
  }
  switch (entry->key) {
    case kManufacturerCompanyId:
    case kManufacturerData:
    case kManufacturerDataCount:
    case kServiceData: {
      if (reply != nullptr) *reply = core::kEmptyText;
      const int rc = RequireAdvertisementContext(entry->name);
      return rc != 0 ? rc : ConfigAdvertisementKey(entry->name, setting, reply);
    }
    case kAdvertisementRawData: {
      // Outside the Advertisement event there is no advertisement to report: an empty reply.
      if (AdvertisementResults().advertisement == nullptr) return ConfigTextReply("", reply);
      return ConfigAdvertisementKey(entry->name, setting, reply);
    }
    case kGattObjTreeInfo:
      return ConfigGattObjTreeInfo(reply);
    case kMaxPduSize:
      return ConfigMaxPduSize(reply);
    default:
      return SocketBase::Config(setting, reply);
  }
}

int BLEClientEngine::RequireAdvertisementContext(const char* key) {
  // The advertisement belongs to the thread that delivers it; any other thread would read it while that
  // thread drops it.
  if (AdvertisementResults().advertisement != nullptr) return 0;
  char text[160];
  platform::Format(text, sizeof(text), "The %s setting is only usable within the Advertisement event handler.", key);
  return SetErrorText(kNotInAdvertisementEvent, text);
}

int BLEClientEngine::CheckManufacturerIndex(int32_t index, int32_t count, const char* key) {
  if (index >= 0 && index < count) return 0;
  char text[160];
  platform::Format(text, sizeof(text), "Index '%d' is invalid for %s.", index, key);
  return SetErrorText(kInvalidArgument, text);
}

AdvertisementContext* BLEClientEngine::BeginAdvertisement(AdvertisementContext* context) {
  CallResults& results = AdvertisementResults();
  AdvertisementContext* outer = results.advertisement;
  results.advertisement = context;
  return outer;
}

void BLEClientEngine::EndAdvertisement(AdvertisementContext* outer) { AdvertisementResults().advertisement = outer; }

// ---- MaxPduSize ---------------------------------------------------------------------------------------------

int32_t BLEClientEngine::QueryMaxPduSize(const GattServiceRecord& record) {
  if (record.service == nullptr) RaisePlatformError(bt::kENoInterface);
  const std::shared_ptr<bt::GattSession> session = record.service->Session();
  if (session == nullptr) RaisePlatformError(bt::kENoInterface);
  return session->MaxPduSize();
}

int BLEClientEngine::ConfigGattObjTreeInfo(const char** reply) {
  if (reply != nullptr) *reply = core::kEmptyText;
  core::Buffer text;
  int rc;
  try {
    rc = BuildGattObjTreeInfo(gatt_tree_, tree_mutex_, subscriptions_, text);
  } catch (const bt::PlatformError& error) {
    return SetErrorText(kPlatformErrorCode, error.what());
  }
  if (rc == core::kOk) rc = ConfigTextReply(text.Data(), reply);
  if (rc != core::kOk) {
    if (reply != nullptr) *reply = core::kEmptyText;
    return ReportOutOfMemory(rc);
  }
  return core::kOk;
}

int BLEClientEngine::ConfigMaxPduSize(const char** reply) {
  if (reply != nullptr) *reply = core::kEmptyText;
  // A sink may ask while the application thread selects another service: the id is copied under the lock
  // that guards the change. Only records with a platform object are found: an empty record made through an
  // index counts as no selected service.
  core::Buffer service_id;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (service_id.Assign(selected_service_id_) != core::kOk) return ReportOutOfMemory(core::kOutOfMemory);
  }
  std::shared_ptr<GattServiceRecord> record;
  if (FindServiceById(service_id.Data(), &record) == 0) return ConfigTextReply("", reply);
  int32_t size;
  try {
    size = QueryMaxPduSize(*record);
  } catch (const bt::PlatformError& error) {
    return SetErrorText(kPlatformErrorCode, error.what());
  }
  return ConfigValueToText(size, reply);
}

// ---- Timeout -----------------------------------------------------------------------------------------------

int BLEClientEngine::SetTimeoutSeconds(int32_t seconds, bool clear_deadline) {
  // A negative count would be stored as an unsigned number of about 49 days.
  return SocketBase::SetTimeoutSeconds(seconds < 0 ? 0 : seconds, clear_deadline);
}

int32_t BLEClientEngine::GetTimeoutSeconds() const {
  const uint32_t timeout = TimeoutMs();
  return static_cast<int32_t>(TimeoutInMs() ? timeout : timeout / 1000u);
}

int BLEClientEngine::RequireRadio(bt::BluetoothPlatform& platform) {
  const bt::HString reason = platform.UnavailableReason();
  if (reason.empty()) return 0;
  core::Buffer reason_text;
  int rc = PlatformStringToText(reason, reason_text);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  core::Buffer text;
  (void)ComposeMessage(text, kNoAdapterPrefix, reason_text.Data(), ".");
  return SetErrorText(kNoAdapter, text.Data());
}

CallResults& BLEClientEngine::CurrentResults() const {
  CallResults* event = CallScope::EventResults(bridge_);
  return event != nullptr ? *event : main_results_;
}

CallResults& BLEClientEngine::AdvertisementResults() const {
  CallResults* callback = CallScope::PlatformCallbackResults(bridge_);
  return callback != nullptr ? *callback : CurrentResults();
}

bool BLEClientEngine::InPlatformEvent() const { return CallScope::EventResults(bridge_) != nullptr; }

bool BLEClientEngine::OnPlatformEventThread() { return CallScope::DeliversPlatformEvent(); }

const char* BLEClientEngine::VisibleLastErrorText() const {
  const CallResults& results = CurrentResults();
  if (results.earlier_error_text != nullptr && results.last_error_text.IsEmpty()) {
    return results.earlier_error_text->Data();
  }
  return results.last_error_text.Data();
}

}  // namespace velmora::ble
