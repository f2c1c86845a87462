// Discovery of the connected server's GATT objects into the engine's tree.
//
// Every request asks the server itself (cache mode Uncached) and is awaited on the caller's thread; its
// status goes through ReportGattResultOf, and a failure ends the whole call (what was added before stays in
// the tree, and events already fired stay fired). Discovered events come in tree order: a service, then its
// included services and characteristics, each characteristic followed by its descriptors, as the automatic
// steps (AutoDiscoverIncludedServices, AutoDiscoverCharacteristics, AutoDiscoverDescriptors) run them.
//
// Records are shared references to the tree's own records, so that a sink that disconnects (emptying the
// tree) inside a Discovered event leaves the running step with valid records. Each step carries the tree's
// generation it was started for (see GattTree): once a Disconnect or Connect has moved the tree on, its
// additions fail with 608 and add nothing, whatever tree has taken the old one's place.
//
// DiscoverCharacteristics selects the service whose characteristics it found, and DiscoverDescriptors the
// characteristic (and its service), so that the indexed collections, which follow the selection, hold what
// was found; Discover, the automatic steps and the lookups of one descriptor type leave the selection alone.
#include "ble/discovery.h"

#include <cstdarg>
#include <mutex>
#include <unordered_set>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "ble/gatt_names.h"
#include "ble/gatt_result.h"
#include "ble/internal.h"
#include "ble/scanning.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

constexpr bt::BluetoothCacheMode kUncached = bt::BluetoothCacheMode::Uncached;
// Log texts are made in a buffer of this size (longer texts are cut).
constexpr size_t kLogTextSize = 256;

enum DiscoveredKind : int32_t { kServiceKind = 0, kCharacteristicKind = 1, kDescriptorKind = 2 };

}  // namespace

// The log texts of a service request, root or included.
struct BLEClientEngine::ServiceRequestTexts {
  const char* one_uuid;
  const char* after_uuid;
  const char* all;
};

namespace {

// UuidText gives the text of uuid in text (empty when memory runs out: the text only goes to the log).
const char* UuidText(const Guid& uuid, core::Buffer& text) {
  if (GuidToUuidText(uuid, text) != core::kOk) (void)text.Clear();
  return text.Data();
}

int32_t Count(size_t size) { return static_cast<int32_t>(size); }

}  // namespace

// DiscoveryRun is what one discovery call carries down its steps. Each call of a method makes its own, so
// that discoveries on other threads, and those a sink runs inside this one, share none of it.
struct BLEClientEngine::DiscoveryRun {
  // The chain of services whose included services are being discovered, outermost first.
  core::StrList included_path;
  // Discover's include-descriptors: each characteristic found gets its descriptors discovered, whatever
  // AutoDiscoverDescriptors says (the setting itself is left as it is).
  bool with_descriptors = false;
};

// IncludedPathEntry stands for one service on its discovery's included-service path while its included
// services are discovered. It leaves the path on every way out, so that a failed or stopped step leaves
// nothing behind that the rest of the discovery could take for a cycle.
class BLEClientEngine::IncludedPathEntry {
 public:
  IncludedPathEntry(core::StrList& path, const char* id) : path_(path), id_(id) {}
  ~IncludedPathEntry() {
    // The steps below this one have taken their own entries off, so ours is the last.
    if (pushed_) (void)path_.RemoveAt(path_.Count() - 1);
  }
  IncludedPathEntry(const IncludedPathEntry&) = delete;
  IncludedPathEntry& operator=(const IncludedPathEntry&) = delete;

  int Push() {
    const int rc = path_.AddCString(id_);
    pushed_ = rc == core::kOk;
    return rc;
  }

 private:
  core::StrList& path_;
  const char* const id_;
  bool pushed_ = false;
};

int BLEClientEngine::LogDiscovery(int32_t level, const char* log_type, const char* format, ...) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  char text[kLogTextSize];
  va_list args;
  va_start(args, format);
  (void)platform::FormatV(text, sizeof(text), format, args);
  va_end(args);
  return FireLog(level, text, log_type);
}

// ---- Methods ------------------------------------------------------------------------------------------------

int BLEClientEngine::DiscoverServices(const char* service_uuids, const char* service_id) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  UuidList filter;
  rc = ParseUuidList(service_uuids, *this, filter);
  if (rc != 0) return rc;
  DiscoveryRun run;
  ServiceRecordList found;
  if (service_id != nullptr && service_id[0] != '\0') {
    std::shared_ptr<GattServiceRecord> parent;
    rc = LookupService(service_id, &parent);
    return rc != 0 ? rc : DiscoverIncludedServices(run, filter, parent, found);
  }
  return DiscoverRootServices(run, filter, found);
}

int BLEClientEngine::DiscoverCharacteristics(const char* service_id, const char* characteristic_uuids) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  UuidList filter;
  rc = ParseUuidList(characteristic_uuids, *this, filter);
  if (rc != 0) return rc;
  std::shared_ptr<GattServiceRecord> service;
  rc = LookupService(service_id, &service);
  DiscoveryRun run;
  if (rc == 0) rc = DiscoverCharacteristicsOf(run, *service, filter);
  return rc != 0 ? rc : SelectDiscovered(service->generation, service->id.Data(), nullptr);
}

int BLEClientEngine::DiscoverDescriptors(const char* service_id, const char* characteristic_id) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  std::shared_ptr<GattServiceRecord> service;
  rc = LookupService(service_id, &service);
  if (rc != 0) return rc;
  std::shared_ptr<GattCharacteristicRecord> characteristic;
  rc = LookupCharacteristic(service_id, characteristic_id, &characteristic);
  if (rc == 0) rc = DiscoverDescriptorsOf(*service, *characteristic, nullptr);
  return rc != 0 ? rc : SelectDiscovered(characteristic->generation, service->id.Data(), characteristic->id.Data());
}

int BLEClientEngine::Discover(const char* service_uuids, const char* characteristic_uuids,
                              int32_t include_descriptors, const char* service_id) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  std::shared_ptr<GattServiceRecord> parent;
  if (service_id != nullptr && service_id[0] != '\0') {
    rc = LookupService(service_id, &parent);
    if (rc != 0) return rc;
  }
  UuidList service_filter;
  UuidList characteristic_filter;
  rc = ParseUuidList(service_uuids, *this, service_filter);
  if (rc == 0) rc = ParseUuidList(characteristic_uuids, *this, characteristic_filter);
  if (rc != 0) return rc;

  DiscoveryRun run;
  run.with_descriptors = include_descriptors != 0;
  ServiceRecordList found;
  rc = parent != nullptr ? DiscoverIncludedServices(run, service_filter, parent, found)
                         : DiscoverRootServices(run, service_filter, found);
  // With AutoDiscoverCharacteristics the services' characteristics were found, unfiltered, in that step.
  if (rc != 0 || settings_.auto_discover_characteristics.load() != 0) return rc;
  for (const auto& service : found) {
    rc = DiscoverCharacteristicsOf(run, *service, characteristic_filter);
    if (rc != 0) return rc;
  }
  // A Disconnect or Connect made in the last of their closing Log lines (a sink's) cut the discovery short.
  return !found.empty() && TreeGeneration() != found.front()->generation ? kParentNotListed : 0;
}

// ---- Services -----------------------------------------------------------------------------------------------

int BLEClientEngine::DiscoverRootServices(DiscoveryRun& run, const UuidList& filter, ServiceRecordList& out) {
  // The generation is read before the device, and before the first Log line: a device that changes after it
  // moves the tree on (the held device's change empties the tree), so what this device gives can never enter
  // a later device's tree, and a Disconnect or Connect made in that line (a sink's) cuts the discovery short.
  const uint64_t owner = TreeGeneration();
  (void)LogDiscovery(1, kGattLogDiscovery, "Beginning discovery of root services.");
  if (TreeGeneration() != owner) return kParentNotListed;
  const std::shared_ptr<bt::BluetoothLEDevice> device = HeldDevice();
  if (device == nullptr) return SetErrorText(kNotConnected, kNotConnectedText);
  static constexpr ServiceRequestTexts kRootTexts = {
      "Attempting to discover root services with UUID \"%s\".",
      "Discovered %d root services with UUID \"%s\".",
      "Attempting to discover all root services.",
  };
  ServiceObjects services;
  int rc = RequestServices(owner, filter, kRootTexts, [&](const Guid* uuid) {
    return uuid != nullptr ? device->GetGattServicesForUuidWithCacheModeAsync(*uuid, kUncached)
                           : device->GetGattServicesWithCacheModeAsync(kUncached);
  }, services);
  if (rc == 0) rc = AddServiceRecords(run, owner, services, nullptr, out);
  if (rc != 0) return rc;
  (void)LogDiscovery(1, kGattLogDiscovery, "Finished discovering root services.");
  (void)LogDiscovery(2, kGattLogDiscovery, "Discovered %d root services.", Count(out.size()));
  // A Disconnect or Connect made in those Log lines (a sink's) cut the discovery short.
  return TreeGeneration() != owner ? kParentNotListed : 0;
}

int BLEClientEngine::DiscoverIncludedServices(DiscoveryRun& run, const UuidList& filter,
                                              const std::shared_ptr<GattServiceRecord>& parent,
                                              ServiceRecordList& out) {
  const char* parent_id = parent->id.Data();
  IncludedPathEntry entry(run.included_path, parent_id);
  if (settings_.auto_discover_included_services.load() == 1) {
    if (run.included_path.IndexOf(parent_id, 0) >= 0) return ReportIncludedCycle(run, parent_id);
    const int rc = entry.Push();
    if (rc != 0) return rc;
  }
  out.clear();
  (void)LogDiscovery(1, kGattLogDiscovery, "Beginning discovery of services included by service ID \"%s\".",
                     parent_id);
  static constexpr ServiceRequestTexts kIncludedTexts = {
      "Attempting to discover included services with UUID \"%s\".",
      "Discovered %d included services with UUID \"%s\".",
      "Attempting to discover all included services.",
  };
  ServiceObjects services;
  const std::shared_ptr<bt::GattDeviceService> object = parent->service;
  int rc = RequestServices(parent->generation, filter, kIncludedTexts, [&](const Guid* uuid) {
    return uuid != nullptr ? object->GetIncludedServicesForUuidWithCacheModeAsync(*uuid, kUncached)
                           : object->GetIncludedServicesWithCacheModeAsync(kUncached);
  }, services);
  if (rc == 0) rc = AddServiceRecords(run, parent->generation, services, parent.get(), out);
  if (rc != 0) return rc;
  (void)LogDiscovery(1, kGattLogDiscovery, "Finished discovering services included by service ID \"%s\".", parent_id);
  (void)LogDiscovery(2, kGattLogDiscovery, "Discovered %d services included by service ID \"%s\".",
                     Count(out.size()), parent_id);
  return TreeGeneration() != parent->generation ? kParentNotListed : 0;  // as for the root services
}

int BLEClientEngine::ReportIncludedCycle(const DiscoveryRun& run, const char* parent_id) {
  core::Buffer text;
  int rc = text.SetString(kIncludedServiceCycleText);
  if (rc == core::kOk) rc = text.AppendCString(parent_id);
  for (int32_t i = 0; rc == core::kOk && i < run.included_path.Count(); ++i) {
    rc = text.AppendCString(" < ");
    if (rc == core::kOk) rc = text.AppendCString(run.included_path.Item(i));
  }
  return rc != core::kOk ? rc : SetErrorText(kIncludedServiceCycle, text.Data());
}

// A service that two filter UUIDs return is one object of the server: it is collected, and so discovered,
// once. Nothing is asked once the connection of owner has ended (a Disconnect or Connect made meanwhile, also
// in a Log line of the discovery's own): 608.
int BLEClientEngine::RequestServices(uint64_t owner, const UuidList& filter, const ServiceRequestTexts& texts,
                                     const ServicesRequest& request, ServiceObjects& found) {
  std::unordered_set<uint16_t> handles;
  auto collect = [&](const Guid* uuid, int32_t* count) {
    if (TreeGeneration() != owner) return kParentNotListed;
    const auto result = AwaitServicesResult(*this, request(uuid));
    const int rc = ReportGattResultOf(*this, result, kGattLogDiscovery);
    if (rc != 0) return rc;
    const auto services = result->Services();
    *count = Count(services.size());
    for (const auto& service : services) {
      if (service != nullptr && handles.insert(service->AttributeHandle()).second) found.push_back(service);
    }
    return 0;
  };
  int32_t count = 0;
  if (filter.empty()) {
    (void)LogDiscovery(2, kGattLogDiscovery, "%s", texts.all);
    return collect(nullptr, &count);
  }
  for (const Guid& uuid : filter) {
    core::Buffer uuid_text;
    (void)LogDiscovery(2, kGattLogDiscovery, texts.one_uuid, UuidText(uuid, uuid_text));
    const int rc = collect(&uuid, &count);
    if (rc != 0) return rc;
    (void)LogDiscovery(3, kGattLogDiscovery, texts.after_uuid, count, uuid_text.Data());
  }
  return 0;
}

int BLEClientEngine::AddServiceRecords(DiscoveryRun& run, uint64_t owner, const ServiceObjects& services,
                                       GattServiceRecord* parent, ServiceRecordList& out) {
  for (const auto& service : services) {
    std::shared_ptr<GattServiceRecord> record;
    const int rc = AddServiceRecord(run, owner, GattObjectRef::FromService(service), parent, &record);
    if (rc != 0) return rc;
    out.push_back(std::move(record));
  }
  return 0;
}

int BLEClientEngine::AddServiceRecord(DiscoveryRun& run, uint64_t owner, const GattObjectRef& ref,
                                      GattServiceRecord* parent, std::shared_ptr<GattServiceRecord>* record) {
  core::Buffer id;
  int rc = BuildObjectId(ref.Service()->AttributeHandle(), 0, 0, id);
  if (rc != 0) return rc;
  bool added = false;
  rc = AddServiceToTree(owner, ref, id.Data(), record, &added);
  if (rc != 0) return rc;
  GattServiceRecord& service = **record;
  if (parent != nullptr && !parent->id.IsEmpty()) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (service.parent_svc_ids.IndexOf(parent->id.Data(), 0) < 0) {
      rc = service.parent_svc_ids.AddCString(parent->id.Data());
    }
    if (rc == 0 && parent->included_svc_ids.IndexOf(service.id.Data(), 0) < 0) {
      rc = parent->included_svc_ids.AddCString(service.id.Data());
    }
  }
  if (rc != 0) return rc;
  if (added || settings_.include_rediscovered.load() == 1) {
    core::Buffer uuid_text;
    (void)FireDiscovered(kServiceKind, service.id.Data(), "", "", UuidText(service.uuid, uuid_text),
                         service.description.Data());
  }
  if (settings_.auto_discover_included_services.load() == 1) {
    ServiceRecordList included;
    rc = DiscoverIncludedServices(run, UuidList(), *record, included);
    if (rc != 0) return rc;
  }
  if (settings_.auto_discover_characteristics.load() == 1) return DiscoverCharacteristicsOf(run, service, UuidList());
  return 0;
}

// ---- Characteristics ----------------------------------------------------------------------------------------

int BLEClientEngine::DiscoverCharacteristicsOf(const DiscoveryRun& run, const GattServiceRecord& service,
                                               const UuidList& filter) {
  const char* service_id = service.id.Data();
  (void)LogDiscovery(1, kGattLogDiscovery, "Beginning discovery of characteristics for service ID \"%s\".",
                     service_id);
  std::vector<std::shared_ptr<bt::GattCharacteristic>> found;
  const std::shared_ptr<bt::GattDeviceService> object = service.service;
  auto collect = [&](const Guid* uuid, int32_t* count) {
    // As for the services (RequestServices).
    if (TreeGeneration() != service.generation) return kParentNotListed;
    const auto result = AwaitCharacteristicsResult(
        *this, uuid != nullptr ? object->GetCharacteristicsForUuidWithCacheModeAsync(*uuid, kUncached)
                               : object->GetCharacteristicsWithCacheModeAsync(kUncached));
    const int rc = ReportGattResultOf(*this, result, kGattLogDiscovery);
    if (rc != 0) return rc;
    const auto characteristics = result->Characteristics();
    *count = Count(characteristics.size());
    found.insert(found.end(), characteristics.begin(), characteristics.end());
    return 0;
  };
  int32_t count = 0;
  if (filter.empty()) {
    (void)LogDiscovery(2, kGattLogDiscovery, "Attempting to discover all characteristics.");
    const int rc = collect(nullptr, &count);
    if (rc != 0) return rc;
  }
  for (const Guid& uuid : filter) {
    core::Buffer uuid_text;
    (void)LogDiscovery(2, kGattLogDiscovery, "Attempting to discover characteristics with UUID \"%s\".",
                       UuidText(uuid, uuid_text));
    const int rc = collect(&uuid, &count);
    if (rc != 0) return rc;
    (void)LogDiscovery(3, kGattLogDiscovery, "Discovered %d characteristics with UUID \"%s\".", count,
                       uuid_text.Data());
  }
  for (const auto& characteristic : found) {
    if (characteristic == nullptr) continue;
    const int rc = AddCharacteristicRecord(run, GattObjectRef::FromCharacteristic(characteristic), service);
    if (rc != 0) return rc;
  }
  (void)LogDiscovery(1, kGattLogDiscovery, "Finished discovering characteristics for service ID \"%s\".",
                     service_id);
  (void)LogDiscovery(2, kGattLogDiscovery, "Discovered %d characteristics for service ID \"%s\".",
                     Count(found.size()), service_id);
  return 0;
}

int BLEClientEngine::AddCharacteristicRecord(const DiscoveryRun& run, const GattObjectRef& ref,
                                             const GattServiceRecord& service) {
  core::Buffer id;
  int rc = BuildObjectId(service.service->AttributeHandle(), ref.Characteristic()->AttributeHandle(), 0, id);
  if (rc != 0) return rc;
  std::shared_ptr<GattCharacteristicRecord> record;
  bool added = false;
  rc = AddCharacteristicToTree(service.generation, service.id.Data(), ref, id.Data(), &record, &added);
  if (rc != 0) return rc;
  if (added || settings_.include_rediscovered.load() == 1) {
    core::Buffer uuid_text;
    (void)FireDiscovered(kCharacteristicKind, service.id.Data(), record->id.Data(), "",
                         UuidText(record->uuid, uuid_text), record->description.Data());
  }
  if (run.with_descriptors || settings_.auto_discover_descriptors.load() == 1) {
    return DiscoverDescriptorsOf(service, *record, nullptr);
  }
  return 0;
}

// ---- Descriptors --------------------------------------------------------------------------------------------

int BLEClientEngine::DiscoverDescriptorsOf(const GattServiceRecord& service,
                                           const GattCharacteristicRecord& characteristic, const Guid* uuid) {
  const char* characteristic_id = characteristic.id.Data();
  const std::shared_ptr<bt::GattCharacteristic> object = characteristic.characteristic;
  if (uuid != nullptr) {
    core::Buffer name;
    int rc = LookupDescriptorName(*uuid, name);
    if (rc != 0) return rc;
    (void)LogDiscovery(3, kGattLogDiscovery,
                       "Trying to discover the \"%s\" descriptor for characteristic ID \"%s\".", name.Data(),
                       characteristic_id);
    if (TreeGeneration() != characteristic.generation) return kParentNotListed;  // as for the services
    const auto result =
        AwaitDescriptorsResult(*this, object->GetDescriptorsForUuidWithCacheModeAsync(*uuid, kUncached));
    rc = ReportGattResultOf(*this, result, kGattLogDebug);
    if (rc != 0) return rc;
    const auto descriptors = result->Descriptors();
    rc = AddDescriptorRecords(descriptors, service, characteristic);
    if (rc != 0) return rc;
    (void)LogDiscovery(3, kGattLogDiscovery,
                       "Finished; discovered %d \"%s\" descriptors for characteristic ID \"%s\".",
                       Count(descriptors.size()), name.Data(), characteristic_id);
    return 0;
  }
  (void)LogDiscovery(1, kGattLogDiscovery, "Beginning discovery of descriptors for characteristic ID \"%s\".",
                     characteristic_id);
  (void)LogDiscovery(2, kGattLogDiscovery, "Attempting to discover all descriptors.");
  if (TreeGeneration() != characteristic.generation) return kParentNotListed;
  const auto result = AwaitDescriptorsResult(*this, object->GetDescriptorsWithCacheModeAsync(kUncached));
  int rc = ReportGattResultOf(*this, result, kGattLogDiscovery);
  if (rc != 0) return rc;
  const auto descriptors = result->Descriptors();
  rc = AddDescriptorRecords(descriptors, service, characteristic);
  if (rc != 0) return rc;
  (void)LogDiscovery(1, kGattLogDiscovery, "Finished discovering descriptors for characteristic ID \"%s\".",
                     characteristic_id);
  (void)LogDiscovery(2, kGattLogDiscovery, "Discovered %d descriptors for characteristic ID \"%s\".",
                     Count(descriptors.size()), characteristic_id);
  return 0;
}

int BLEClientEngine::AddDescriptorRecords(const std::vector<std::shared_ptr<bt::GattDescriptor>>& descriptors,
                                          const GattServiceRecord& service,
                                          const GattCharacteristicRecord& characteristic) {
  for (const auto& descriptor : descriptors) {
    if (descriptor == nullptr) continue;
    const int rc = AddDescriptorRecord(GattObjectRef::FromDescriptor(descriptor), service, characteristic);
    if (rc != 0) return rc;
  }
  return 0;
}

int BLEClientEngine::AddDescriptorRecord(const GattObjectRef& ref, const GattServiceRecord& service,
                                         const GattCharacteristicRecord& characteristic) {
  core::Buffer id;
  int rc = BuildObjectId(service.service->AttributeHandle(), characteristic.characteristic->AttributeHandle(),
                         ref.Descriptor()->AttributeHandle(), id);
  if (rc != 0) return rc;
  std::shared_ptr<GattDescriptorRecord> record;
  bool added = false;
  // Only to the characteristic the discovery was started for, which may have left the tree meanwhile.
  rc = AddDescriptorToTree(characteristic, ref, id.Data(), &record, &added);
  if (rc != 0) return rc;
  if (added || settings_.include_rediscovered.load() == 1) {
    core::Buffer uuid_text;
    (void)FireDiscovered(kDescriptorKind, service.id.Data(), characteristic.id.Data(), record->id.Data(),
                         UuidText(record->uuid, uuid_text), record->description.Data());
  }
  return 0;
}

int BLEClientEngine::EnsureDescriptorDiscovered(GattCharacteristicRecord& characteristic, const char* uuid_text) {
  Guid uuid{};
  core::Buffer error;
  int rc = ParseUuid(uuid, uuid_text, &error);
  if (rc != 0) return SetErrorText(rc, error.Data());
  core::Buffer name;
  rc = LookupDescriptorName(uuid, name);
  if (rc != 0) return rc;
  (void)LogDiscovery(3, kGattLogDebug,
                     "Ensuring that any \"%s\" descriptors has been discovered for characteristic ID \"%s\".",
                     name.Data(), characteristic.id.Data());
  // A Disconnect or Connect made in that Log line (a sink's) emptied the tree the lookup would look in.
  if (TreeGeneration() != characteristic.generation) return kParentNotListed;
  if (HasDescriptorOfType(characteristic.id.Data(), uuid)) return 0;
  core::Buffer service_id;
  rc = ServiceIdOf(characteristic.id.Data(), service_id);
  if (rc != 0) return rc;
  std::shared_ptr<GattServiceRecord> service;
  rc = LookupService(service_id.Data(), &service);
  if (rc == 0) rc = DiscoverDescriptorsOf(*service, characteristic, &uuid);
  // The lookup's own events reach the sink: a Disconnect or Connect there left what was found to another
  // connection, and the call that wanted the descriptor must not act on the next connection's tree.
  if (rc == 0 && TreeGeneration() != characteristic.generation) return kParentNotListed;
  return rc;
}

bool BLEClientEngine::HasDescriptorOfType(const char* characteristic_id, const Guid& uuid) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  const int32_t index = gatt_tree_.CharacteristicIndex(characteristic_id);
  const DescriptorArray* list = gatt_tree_.characteristic_descriptors.Get(index);
  if (list == nullptr) return false;
  for (int32_t i = 0; i < list->Count(); ++i) {
    const std::shared_ptr<GattDescriptorRecord> record = RecordAt(*list, i);
    if (record != nullptr && record->descriptor != nullptr && record->uuid == uuid) return true;
  }
  return false;
}

}  // namespace velmora::ble
