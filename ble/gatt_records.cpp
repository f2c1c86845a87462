#include "ble/gatt_records.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ble/ble_client_engine.h"
#include "ble/gatt_names.h"
#include "ble/internal.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

constexpr const char* kZeroServiceHandle = "Must supply a non-zero service handle.";
constexpr const char* kZeroCharacteristicHandle =
    "Must supply a non-zero characteristic handle to supply a non-zero descriptor handle.";
constexpr const char* kNoServiceSelected = "You must select a service before selecting a characteristic.";
constexpr int kSelectServiceFirst = 602;

// SameId compares two ids without regard to case; an empty record (no id) matches nothing.
bool SameId(const core::BufferCore& record_id, const char* id) {
  return !record_id.IsEmpty() && record_id.EqualsNoCase(id) != 0;
}

// CutId sets out to the first keep characters of id (fewer when id is shorter) and then tail.
int CutId(const char* id, int32_t keep, const char* tail, core::BufferCore& out) {
  const char* text = TextOrEmpty(id);
  int32_t length = 0;
  while (length < keep && text[length] != '\0') ++length;
  int rc = out.SetData(length, text);
  return rc != core::kOk ? rc : out.AppendCString(tail);
}

const char* JoinIds(const core::StrList& ids, core::Buffer& out) {
  (void)out.Clear();
  for (int32_t i = 0; i < ids.Count(); ++i) {
    if (i > 0 && out.AppendCString(",") != core::kOk) break;
    if (out.Append(ids.Item(i), ids.ItemLength(i)) != core::kOk) break;
  }
  return out.Data();
}

const char* UuidTextOf(bool has_object, const Guid& uuid, core::Buffer& out) {
  (void)out.Clear();
  if (has_object && GuidToUuidText(uuid, out) != core::kOk) (void)out.Clear();
  return out.Data();
}

}  // namespace

uint32_t MapCharacteristicProperties(uint32_t platform_properties) {
  uint32_t flags = platform_properties & 0x7F;
  if ((platform_properties & 0x100) != 0) flags |= kFlagReliableWrites;
  if ((platform_properties & 0x200) != 0) flags |= kFlagWritableAuxiliaries;
  return flags;
}

int ServiceIdOf(const char* id, core::BufferCore& out) { return CutId(id, 4, "00000000", out); }

int CharacteristicIdOf(const char* id, core::BufferCore& out) { return CutId(id, 8, "0000", out); }

// ---- The tree's indexes -------------------------------------------------------------------------------------

namespace {

// Checked returns the record in slot position.at of list when it is still the indexed record, has its
// platform object and carries id (without regard to case); null otherwise.
template <class Array, class Object>
auto Checked(const Array* list, const GattTree::Position& position, const char* id, Object object_of)
    -> decltype(RecordAt(*list, 0)) {
  if (list == nullptr) return nullptr;
  auto record = RecordAt(*list, position.at);
  if (record == nullptr || record.get() != position.record || object_of(*record) == nullptr) return nullptr;
  return id == nullptr || SameId(record->id, id) ? record : nullptr;
}

// Walk returns the first record of list that carries id (without regard to case) and has its platform
// object; null when none. It answers as the list's index would: ids of records with an object are unique
// within a list, as the tree adds a record only after looking its id up.
template <class Array, class Object>
auto Walk(const Array& list, const char* id, Object object_of) -> decltype(RecordAt(list, 0)) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    const auto* slot = list.Get(i);
    if (slot == nullptr || slot->record == nullptr) continue;
    if (object_of(*slot->record) != nullptr && SameId(slot->record->id, id)) return slot->record;
  }
  return nullptr;
}

// IndexList gives list's records from position 0 to its end their entries in map once the list is long
// enough to be looked up through it (see GattTree). The entry of the record at `at` goes in last, and is
// the only one taken back when memory runs out: the others name records that are in the list.
template <class Array>
int IndexList(GattTree& tree, GattTree::ListMap& map, const Array* list, int32_t at, int32_t list_index) {
  if (list->Count() < GattTree::kIndexedListCount) return core::kOk;
  const auto entry_of = [&](int32_t i) { return GattTree::Position{list_index, i, RecordAt(*list, i).get()}; };
  const auto id_of = [&](int32_t i) { return std::string(RecordAt(*list, i)->id.Data()); };
  const bool whole = !tree.indexed_lists.contains(list);
  bool added = false;
  try {
    if (whole) {
      for (int32_t i = 0; i < list->Count(); ++i) {
        if (i == at || RecordAt(*list, i) == nullptr) continue;
        map.insert_or_assign(GattTree::ListKey{list, id_of(i)}, entry_of(i));
      }
    }
    map.insert_or_assign(GattTree::ListKey{list, id_of(at)}, entry_of(at));
    added = true;
    if (whole) tree.indexed_lists.insert(list);
  } catch (const std::bad_alloc&) {
    if (added) map.erase(map.find(GattTree::ListKeyView{list, RecordAt(*list, at)->id.Data()}));
    return core::kOutOfMemory;
  }
  return core::kOk;
}

// ForgetIf erases key from map when its entry still names record.
template <class Map, class Key>
void ForgetIf(Map& map, const Key& key, const void* record) {
  const auto found = map.find(key);
  if (found != map.end() && found->second.record == record) map.erase(found);
}

// PositionOf is the position of record in list, -1 when it is not there.
template <class Array>
int32_t PositionOf(const Array& list, const void* record) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    const auto* slot = list.Get(i);
    if (slot != nullptr && slot->record.get() == record) return i;
  }
  return -1;
}

// FoundAgain tells whether found, a record of the id a discovery found, is of the object found (the same
// UUID) and hands it out then; a record of another UUID was the device's before its services changed.
template <class Record>
bool FoundAgain(const std::shared_ptr<Record>& found, const GattObjectRef& ref, std::shared_ptr<Record>* record) {
  if (found == nullptr || !(found->uuid == ref.Uuid())) return false;
  if (record != nullptr) *record = found;
  return true;
}

// Fresh makes the record that takes a replaced one's place.
template <class Record>
std::shared_ptr<Record> Fresh(const Record& made) {
  try {
    auto fresh = std::make_shared<Record>();
    return fresh->CloneFrom(made) == core::kOk ? fresh : nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// TakePlace makes the record of `made` and lets replace put it in the place of a record the device replaced,
// then hands it out as one the discovery added.
template <class Record, class Replace>
int TakePlace(const Record& made, Replace replace, std::shared_ptr<Record>* record, bool* added) {
  std::shared_ptr<Record> fresh = Fresh(made);
  if (fresh == nullptr) return core::kOutOfMemory;
  const int rc = replace(fresh);
  if (rc != core::kOk) return rc;
  if (record != nullptr) *record = std::move(fresh);
  if (added != nullptr) *added = true;
  return 0;
}

}  // namespace

size_t GattTree::NoCaseHash::operator()(std::string_view id) const {
  // FNV-1a over the folded bytes.
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : id) {
    hash ^= platform::AsciiLower(static_cast<unsigned char>(c));
    hash *= 0x100000001B3ull;
  }
  return static_cast<size_t>(hash);
}

bool GattTree::NoCaseEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return platform::AsciiLower(static_cast<unsigned char>(c)); };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

size_t GattTree::ListKeyHash::operator()(const ListKeyView& key) const {
  const size_t id_hash = NoCaseHash()(key.id);
  return id_hash ^ (std::hash<const void*>()(key.list) + 0x9E3779B97F4A7C15ull + (id_hash << 6) + (id_hash >> 2));
}

int32_t GattTree::ServiceIndex(const char* id) const {
  const auto found = service_exact.find(std::string_view(TextOrEmpty(id)));
  return found != service_exact.end() ? found->second : -1;
}

int32_t GattTree::CharacteristicIndex(const char* id) const {
  const auto found = characteristic_exact.find(std::string_view(TextOrEmpty(id)));
  return found != characteristic_exact.end() ? found->second : -1;
}

CharacteristicArray* GattTree::SelectedCharacteristics(const char* service_id) {
  return service_id != nullptr && service_id[0] != '\0' ? service_characteristics.Get(ServiceIndex(service_id)) : nullptr;
}

DescriptorArray* GattTree::SelectedDescriptors(const char* characteristic_id) {
  return characteristic_id != nullptr && characteristic_id[0] != '\0'
             ? characteristic_descriptors.Get(CharacteristicIndex(characteristic_id))
             : nullptr;
}

std::shared_ptr<GattServiceRecord> GattTree::FindService(const char* id) const {
  if (id == nullptr || id[0] == '\0') return nullptr;
  const auto found = service_no_case.find(std::string_view(id));
  if (found == service_no_case.end()) return nullptr;
  std::shared_ptr<GattServiceRecord> record = RecordAt(services, found->second);
  // An empty record (no platform object) is never handed out for a platform call.
  return record != nullptr && record->service != nullptr && SameId(record->id, id) ? record : nullptr;
}

std::shared_ptr<GattCharacteristicRecord> GattTree::FindCharacteristic(const CharacteristicArray* list,
                                                                       const char* id) const {
  if (list == nullptr) return nullptr;
  const auto object_of = [](const GattCharacteristicRecord& r) { return r.characteristic.get(); };
  if (list->Count() < kIndexedListCount || !indexed_lists.contains(list)) return Walk(*list, id, object_of);
  const auto found = characteristic_in_list.find(ListKeyView{list, TextOrEmpty(id)});
  if (found == characteristic_in_list.end()) return nullptr;
  return Checked(list, found->second, id, object_of);
}

std::shared_ptr<GattDescriptorRecord> GattTree::FindDescriptor(const DescriptorArray* list, const char* id) const {
  if (list == nullptr) return nullptr;
  const auto object_of = [](const GattDescriptorRecord& r) { return r.descriptor.get(); };
  if (list->Count() < kIndexedListCount || !indexed_lists.contains(list)) return Walk(*list, id, object_of);
  const auto found = descriptor_in_list.find(ListKeyView{list, TextOrEmpty(id)});
  if (found == descriptor_in_list.end()) return nullptr;
  return Checked(list, found->second, id, object_of);
}

std::shared_ptr<GattCharacteristicRecord> GattTree::FindCharacteristicByObject(const bt::GattCharacteristic* object,
                                                                               int32_t* service_index) const {
  if (object == nullptr) return nullptr;
  const auto found = characteristic_by_object.find(object);
  if (found == characteristic_by_object.end()) return nullptr;
  std::shared_ptr<GattCharacteristicRecord> record =
      Checked(service_characteristics.Get(found->second.list_index), found->second, nullptr,
              [](const GattCharacteristicRecord& r) { return r.characteristic.get(); });
  if (record == nullptr || record->characteristic.get() != object) return nullptr;
  if (service_index != nullptr) *service_index = found->second.list_index;
  return record;
}

int GattTree::IndexService(int32_t at) {
  const std::shared_ptr<GattServiceRecord> record = RecordAt(services, at);
  if (record == nullptr) return core::kOutOfRange;
  bool exact_added = false;
  try {
    // service_ids answers with its first equal item: a later equal id does not take the entry over.
    exact_added = service_exact.emplace(record->id.Data(), at).second;
    service_no_case.insert_or_assign(record->id.Data(), at);
  } catch (const std::bad_alloc&) {
    if (exact_added) service_exact.erase(service_exact.find(std::string_view(record->id.Data())));
    return core::kOutOfMemory;
  }
  return core::kOk;
}

int GattTree::IndexCharacteristic(int32_t service_index, int32_t at) {
  const CharacteristicArray* list = service_characteristics.Get(service_index);
  const std::shared_ptr<GattCharacteristicRecord> record = list != nullptr ? RecordAt(*list, at) : nullptr;
  if (record == nullptr) return core::kOutOfRange;
  const Position position{service_index, at, record.get()};
  const ListKeyView key{list, record->id.Data()};
  bool exact_added = false;
  bool in_list_added = false;
  try {
    exact_added = characteristic_exact.emplace(record->id.Data(), characteristic_ids.Count() - 1).second;
    // IndexList takes its own entry back when it fails.
    if (IndexList(*this, characteristic_in_list, list, at, service_index) != core::kOk) throw std::bad_alloc();
    in_list_added = list->Count() >= kIndexedListCount;
    // The first record of an object keeps its entry while it is still in the tree (the walk over the
    // lists found it first).
    if (record->characteristic != nullptr) {
      auto [entry, inserted] = characteristic_by_object.emplace(record->characteristic.get(), position);
      if (!inserted && FindCharacteristicByObject(record->characteristic.get(), nullptr) == nullptr) {
        entry->second = position;
      }
    }
  } catch (const std::bad_alloc&) {
    if (in_list_added) characteristic_in_list.erase(characteristic_in_list.find(key));
    if (exact_added) characteristic_exact.erase(characteristic_exact.find(std::string_view(record->id.Data())));
    return core::kOutOfMemory;
  }
  return core::kOk;
}

int GattTree::IndexDescriptor(const DescriptorArray* list, int32_t at) {
  const std::shared_ptr<GattDescriptorRecord> record = list != nullptr ? RecordAt(*list, at) : nullptr;
  if (record == nullptr) return core::kOutOfRange;
  return IndexList(*this, descriptor_in_list, list, at, -1);
}

void GattTree::ReplaceService(int32_t at, std::shared_ptr<GattServiceRecord> fresh) {
  // The service maps name positions, which stay.
  auto* slot = services.Get(at);
  if (slot != nullptr) slot->record = std::move(fresh);
}

int GattTree::ReplaceCharacteristic(int32_t service_index, int32_t at,
                                    std::shared_ptr<GattCharacteristicRecord> fresh) {
  CharacteristicArray* list = service_characteristics.Get(service_index);
  auto* slot = list != nullptr ? list->Get(at) : nullptr;
  if (slot == nullptr || slot->record == nullptr || fresh == nullptr) return core::kOutOfRange;
  const std::shared_ptr<GattCharacteristicRecord> old = slot->record;
  const Position position{service_index, at, fresh.get()};
  try {
    // The only entry that may be new; the list's own entry exists already when the list is indexed.
    if (fresh->characteristic != nullptr) characteristic_by_object.insert_or_assign(fresh->characteristic.get(), position);
  } catch (const std::bad_alloc&) {
    return core::kOutOfMemory;
  }
  if (old->characteristic != nullptr && old->characteristic != fresh->characteristic) {
    ForgetIf(characteristic_by_object, old->characteristic.get(), old.get());
  }
  const auto entry = characteristic_in_list.find(ListKeyView{list, old->id.Data()});
  if (entry != characteristic_in_list.end()) entry->second = position;
  slot->record = std::move(fresh);
  if (DescriptorArray* descriptors = characteristic_descriptors.Get(CharacteristicIndex(old->id.Data()))) {
    for (int32_t i = 0; i < descriptors->Count(); ++i) {
      if (const auto record = RecordAt(*descriptors, i)) {
        ForgetIf(descriptor_in_list, ListKeyView{descriptors, record->id.Data()}, record.get());
      }
    }
    indexed_lists.erase(descriptors);
    (void)descriptors->Clear();
  }
  return core::kOk;
}

int GattTree::ReplaceDescriptor(DescriptorArray* list, int32_t at, std::shared_ptr<GattDescriptorRecord> fresh) {
  auto* slot = list != nullptr ? list->Get(at) : nullptr;
  if (slot == nullptr || slot->record == nullptr || fresh == nullptr) return core::kOutOfRange;
  const auto entry = descriptor_in_list.find(ListKeyView{list, slot->record->id.Data()});
  if (entry != descriptor_in_list.end()) entry->second = Position{-1, at, fresh.get()};
  slot->record = std::move(fresh);
  return core::kOk;
}

void GattTree::UnindexTail(const CharacteristicArray* list, int32_t from) {
  if (list == nullptr) return;
  // The list is indexed afresh when it reaches the indexed count again.
  indexed_lists.erase(list);
  for (int32_t i = from < 0 ? 0 : from; i < list->Count(); ++i) {
    const std::shared_ptr<GattCharacteristicRecord> record = RecordAt(*list, i);
    if (record == nullptr) continue;
    ForgetIf(characteristic_in_list, ListKeyView{list, record->id.Data()}, record.get());
    if (record->characteristic != nullptr) {
      ForgetIf(characteristic_by_object, record->characteristic.get(), record.get());
    }
  }
}

void GattTree::ClearIndex() {
  service_exact.clear();
  service_no_case.clear();
  characteristic_exact.clear();
  characteristic_in_list.clear();
  descriptor_in_list.clear();
  indexed_lists.clear();
  characteristic_by_object.clear();
}

// ---- Records ------------------------------------------------------------------------------------------------

int GattServiceRecord::Create(const GattObjectRef& ref, const char* id_text) {
  return Create(ref.Service(), ref.Uuid(), id_text);
}

int GattServiceRecord::Create(const std::shared_ptr<bt::GattDeviceService>& object, const Guid& object_uuid,
                              const char* id_text) {
  service = object;
  uuid = object_uuid;
  (void)parent_svc_ids.Clear();
  (void)included_svc_ids.Clear();
  (void)description.Clear();
  int rc = id.SetString(TextOrEmpty(id_text));
  if (rc == core::kOk && service != nullptr) rc = LookupServiceName(uuid, description);
  return rc;
}

const char* GattServiceRecord::GetUuidText(core::Buffer& out) const {
  return UuidTextOf(service != nullptr, uuid, out);
}
const char* GattServiceRecord::GetParentSvcIdsText(core::Buffer& out) const { return JoinIds(parent_svc_ids, out); }
const char* GattServiceRecord::GetIncludedSvcIdsText(core::Buffer& out) const { return JoinIds(included_svc_ids, out); }

int GattCharacteristicRecord::Init(BLEClientEngine* owner, const GattObjectRef& ref, const char* id_text) {
  engine = owner;
  characteristic = ref.Characteristic();
  uuid = ref.Uuid();
  (void)description.Clear();
  int rc = characteristic != nullptr ? LookupCharacteristicName(uuid, description) : core::kOk;
  if (rc == core::kOk) rc = id.SetString(TextOrEmpty(id_text));
  if (rc != core::kOk) return rc;
  format_index = -1;
  flags = 0;
  cccd_ensured = extended_properties_ensured = user_description_ensured = formats_ensured = 0;
  properties_loaded = formats_loaded = 0;
  // The handler stays for the life of the platform object; the bridge adds it once per object.
  if (engine != nullptr && characteristic != nullptr && engine->Bridge() != nullptr) {
    (void)engine->Bridge()->RegisterValueChanged(characteristic);
    (void)engine->Bridge()->RegisterNotificationsLost(characteristic);
  }
  return core::kOk;
}

int GattCharacteristicRecord::CloneFrom(const GattCharacteristicRecord& source) {
  engine = source.engine;
  characteristic = source.characteristic;
  uuid = source.uuid;
  generation = source.generation;
  int rc = description.Assign(source.description);
  if (rc == core::kOk) rc = id.Assign(source.id);
  flags = source.flags.load();
  format_index = source.format_index.load();
  // Work under way on the source is not the copy's: the copy does it again.
  const auto settled = [](const std::atomic<int32_t>& once) { return once.load() == 1 ? 1 : 0; };
  cccd_ensured = source.cccd_ensured.load();
  extended_properties_ensured = settled(source.extended_properties_ensured);
  user_description_ensured = settled(source.user_description_ensured);
  formats_ensured = settled(source.formats_ensured);
  properties_loaded = source.properties_loaded.load();
  formats_loaded = settled(source.formats_loaded);
  return rc;
}

const char* GattCharacteristicRecord::GetUuidText(core::Buffer& out) const {
  return UuidTextOf(characteristic != nullptr, uuid, out);
}

namespace {

// The once-runs under way on the calling thread, of any record of any client.
thread_local int t_once_runs = 0;

}  // namespace

int GattCharacteristicRecord::RunOnce(std::atomic<int32_t>& once, const std::function<int()>& work) {
  uint64_t deadline = 0;
  for (;;) {
    if (once.load() == 1) return 0;
    {
      // Counted before the flag is taken, so that a thread that finds the flag under way waits for this one.
      EventDeliveries::Delivery run;
      run.Admit(once_runs);
      int32_t expected = 0;
      if (once.compare_exchange_strong(expected, kOnceUnderWay)) {
        // Settled before run is left, also when work raises (a failure then): the waiters find it settled.
        struct Settle {
          std::atomic<int32_t>& once;
          int rc = -1;  // failed until work returns 0
          ~Settle() {
            --t_once_runs;
            once = rc == 0 ? 1 : 0;
          }
        } settle{once};
        ++t_once_runs;
        settle.rc = work();
        return settle.rc;
      }
    }
    if (once.load() == 1 || engine == nullptr) return 0;
    // Only a thread that nothing of a run can be waiting for waits for another thread's run. The events of a
    // run reach the sink while its flag is under way, and what the sink does there may wait for the calling
    // thread: read a record whose own run this thread has under way (its sink reading this record in turn),
    // or wait for this thread's platform event (an Unsubscribe or Disconnect waiting for its deliveries). So
    // a thread inside a run of its own (this record's, which its sink reached, or any other) and a thread
    // that delivers a platform event go on without the result; the next call looks for it again.
    if (t_once_runs > 0 || BLEClientEngine::OnPlatformEventThread()) return 0;
    if (deadline == 0) deadline = platform::DeadlineClockMs() + engine->BoundedWaitMs();
    const bool others_left = once_runs.WaitForOthers(
        [&] { return engine->Destroying() || platform::DeadlineClockMs() >= deadline; });
    if (once.load() == 1) return 0;
    if (!others_left) {
      return engine->SetErrorText(kAwaitStopped, engine->Destroying() ? component::kTextInterrupted
                                                                       : component::kTextTimeout);
    }
    // The other thread's run failed (or a new one began meanwhile): this call tries again.
  }
}

int GattCharacteristicRecord::EnsureUserDescriptionDescriptor() {
  if (characteristic == nullptr || engine == nullptr) return 0;
  return RunOnce(user_description_ensured,
                 [this] { return engine->EnsureDescriptorDiscovered(*this, kUserDescriptionUuid); });
}

const char* GattCharacteristicRecord::GetUserDescription(core::Buffer& out, int* looked) {
  const int rc = EnsureUserDescriptionDescriptor();
  if (looked != nullptr) *looked = rc;
  (void)out.Clear();
  if (characteristic != nullptr && PlatformStringToText(characteristic->UserDescription(), out) != core::kOk) {
    (void)out.Clear();
  }
  return out.Data();
}

int GattCharacteristicRecord::LoadProperties() {
  if (characteristic == nullptr || engine == nullptr) return 0;
  const int rc = RunOnce(extended_properties_ensured,
                         [this] { return engine->EnsureDescriptorDiscovered(*this, kExtendedPropertiesUuid); });
  if (properties_loaded != 0) return rc;
  flags = MapCharacteristicProperties(characteristic->CharacteristicProperties());
  // Until the lookup has succeeded the flags are read again with it (also after a call that went on
  // without the result of a lookup under way).
  if (rc == 0 && extended_properties_ensured.load() == 1) properties_loaded = 1;
  return rc;
}

int GattCharacteristicRecord::LoadPresentationFormats() {
  if (characteristic == nullptr || engine == nullptr) return 0;
  const int rc = RunOnce(formats_ensured, [this] {
    const int aggregate = engine->EnsureDescriptorDiscovered(*this, kAggregateFormatUuid);
    return aggregate != 0 ? aggregate : engine->EnsureDescriptorDiscovered(*this, kPresentationFormatUuid);
  });
  // A call that went on without the lookup's result loads nothing: the next one does.
  if (rc != 0 || formats_ensured.load() != 1) return rc;
  // Loaded once, so that a late load never puts back the index that SetValueFormatIndex changed.
  return RunOnce(formats_loaded, [this] {
    format_index = characteristic->PresentationFormats().empty() ? -1 : 0;
    return 0;
  });
}

int GattDescriptorRecord::Init(BLEClientEngine* owner, const GattObjectRef& ref, const char* id_text) {
  engine = owner;
  descriptor = ref.Descriptor();
  uuid = ref.Uuid();
  int rc = descriptor != nullptr ? LookupDescriptorName(uuid, description) : description.Clear();
  return rc != core::kOk ? rc : id.SetString(TextOrEmpty(id_text));
}

int GattDescriptorRecord::CloneFrom(const GattDescriptorRecord& source) {
  engine = source.engine;
  descriptor = source.descriptor;
  uuid = source.uuid;
  generation = source.generation;
  int rc = description.Assign(source.description);
  if (rc == core::kOk) rc = id.Assign(source.id);
  return rc;
}

const char* GattDescriptorRecord::GetUuidText(core::Buffer& out) const {
  return UuidTextOf(descriptor != nullptr, uuid, out);
}

// ---- Ids ----------------------------------------------------------------------------------------------------

int BLEClientEngine::BuildObjectId(uint16_t service_handle, uint16_t characteristic_handle,
                                   uint16_t descriptor_handle, core::BufferCore& out) {
  if (service_handle == 0) return SetErrorText(kInvalidArgument, kZeroServiceHandle);
  if (characteristic_handle == 0 && descriptor_handle != 0) {
    return SetErrorText(kInvalidArgument, kZeroCharacteristicHandle);
  }
  char text[16];
  const int length = platform::Format(text, sizeof(text), "%04X%04X%04X", static_cast<unsigned>(service_handle),
                                      static_cast<unsigned>(characteristic_handle),
                                      static_cast<unsigned>(descriptor_handle));
  return out.SetData(length, text);
}

// ---- Lookups ------------------------------------------------------------------------------------------------

int BLEClientEngine::FindServiceById(const char* id, std::shared_ptr<GattServiceRecord>* record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  std::shared_ptr<GattServiceRecord> found = gatt_tree_.FindService(id);
  if (found == nullptr) return 0;
  if (record != nullptr) *record = std::move(found);
  return 1;
}

// The list lookups never fill an empty slot: a lookup never changes the tree, so it may run on any thread.
int BLEClientEngine::FindCharacteristicInList(const char* id, const CharacteristicArray* list,
                                              std::shared_ptr<GattCharacteristicRecord>* record) {
  std::shared_ptr<GattCharacteristicRecord> found = gatt_tree_.FindCharacteristic(list, id);
  if (found == nullptr) return 0;
  if (record != nullptr) *record = std::move(found);
  return 1;
}

int BLEClientEngine::FindDescriptorInList(const char* id, const DescriptorArray* list,
                                          std::shared_ptr<GattDescriptorRecord>* record) {
  std::shared_ptr<GattDescriptorRecord> found = gatt_tree_.FindDescriptor(list, id);
  if (found == nullptr) return 0;
  if (record != nullptr) *record = std::move(found);
  return 1;
}

int BLEClientEngine::FindCharacteristicByObject(const bt::GattCharacteristic* object,
                                                std::shared_ptr<GattCharacteristicRecord>* record,
                                                core::BufferCore* service_id,
                                                EventDeliveries::Delivery* delivery) {
  if (object == nullptr) return 0;
  std::lock_guard<std::mutex> lock(tree_mutex_);
  int32_t service_index = -1;
  std::shared_ptr<GattCharacteristicRecord> found = gatt_tree_.FindCharacteristicByObject(object, &service_index);
  if (found == nullptr) return 0;
  if (service_id != nullptr) {
    // The service list and the id list grow together: the record's id is the listed id.
    const std::shared_ptr<GattServiceRecord> service = RecordAt(gatt_tree_.services, service_index);
    if (service == nullptr || service_id->Assign(service->id) != core::kOk) return 0;
  }
  if (record != nullptr) *record = std::move(found);
  if (delivery != nullptr) delivery->Admit(deliveries_);
  return 1;
}

int BLEClientEngine::ListSubscription(const GattCharacteristicRecord& record, int32_t cccd, Listing listing,
                                      bool* previous) {
  if (previous != nullptr) *previous = false;
  // Under the tree lock, which Disconnect empties the tree under before it empties the list.
  std::lock_guard<std::mutex> lock(tree_mutex_);
  if (gatt_tree_.FindCharacteristicByObject(record.characteristic.get(), nullptr).get() != &record) return 0;
  if (listing == Listing::kSet) return subscriptions_.Set(record.id.Data(), cccd);
  if (listing == Listing::kFill) return subscriptions_.Fill(record.id.Data(), cccd);
  if (listing == Listing::kForget) {
    subscriptions_.Forget(record.id.Data());
    return 0;
  }
  return subscriptions_.Update(record.id.Data(), cccd, nullptr, previous);
}

int BLEClientEngine::LookupService(const char* service_id, std::shared_ptr<GattServiceRecord>* record) {
  if (FindServiceById(service_id, record) != 0) return 0;
  core::Buffer text;
  (void)text.SetString("No service with the ID \"");
  (void)text.AppendCString(TextOrEmpty(service_id));
  (void)text.AppendCString("\" has been discovered.");
  return SetErrorText(kNotDiscovered, text.Data());
}

int BLEClientEngine::LookupCharacteristic(const char* service_id, const char* characteristic_id,
                                          std::shared_ptr<GattCharacteristicRecord>* record) {
  if (FindCharacteristic(service_id, characteristic_id, record) != 0) return 0;
  return ReportCharacteristicNotDiscovered(service_id, characteristic_id);
}

int BLEClientEngine::FindCharacteristic(const char* service_id, const char* characteristic_id,
                                        std::shared_ptr<GattCharacteristicRecord>* record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  const int32_t index = gatt_tree_.ServiceIndex(service_id);
  return FindCharacteristicInList(characteristic_id, gatt_tree_.service_characteristics.Get(index), record);
}

int BLEClientEngine::ReportCharacteristicNotDiscovered(const char* service_id, const char* characteristic_id) {
  char text[256];
  platform::Format(text, sizeof(text),
                   "No characteristic with the ID \"%s\" has been discovered for the service with ID \"%s\".",
                   TextOrEmpty(characteristic_id), TextOrEmpty(service_id));
  return SetErrorText(kNotDiscovered, text);
}

int BLEClientEngine::LookupDescriptor(const char* characteristic_id, const char* descriptor_id,
                                      std::shared_ptr<GattDescriptorRecord>* record) {
  int found;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    const int32_t index = gatt_tree_.CharacteristicIndex(characteristic_id);
    found = FindDescriptorInList(descriptor_id, gatt_tree_.characteristic_descriptors.Get(index), record);
  }
  if (found != 0) return 0;
  char text[256];
  platform::Format(text, sizeof(text),
                   "No descriptor with the ID \"%s\" has been discovered for the characteristic with ID \"%s\".",
                   TextOrEmpty(descriptor_id), TextOrEmpty(characteristic_id));
  return SetErrorText(kNotDiscovered, text);
}

int BLEClientEngine::LookupDescriptorOf(const char* service_id, const char* characteristic_id,
                                        const char* descriptor_id, std::shared_ptr<GattDescriptorRecord>* record) {
  // The characteristic must belong to the service, or the events of the operation would name a service the
  // descriptor is not in.
  const int rc = LookupCharacteristic(service_id, characteristic_id, nullptr);
  return rc != 0 ? rc : LookupDescriptor(characteristic_id, descriptor_id, record);
}

// ---- Selection ----------------------------------------------------------------------------------------------

// Each change of the selection is looked up and stored under one hold of the tree mutex, so that it names
// objects of the tree as it is then: a failure leaves the selection as it was, and nothing has to be put back.

int BLEClientEngine::SelectService(const char* service_id) {
  if (service_id == nullptr || service_id[0] == '\0') {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    (void)selected_characteristic_id_.Clear();
    (void)selected_service_id_.Clear();
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (const std::shared_ptr<GattServiceRecord> service = gatt_tree_.FindService(service_id); service != nullptr) {
      // The record's own id is stored (not the id as given, which may differ in case), so that the selected id
      // finds the service's list.
      const int stored = selected_service_id_.Assign(service->id);
      if (stored != core::kOk) return stored;
      (void)selected_characteristic_id_.Clear();
      return 0;
    }
  }
  return LookupService(service_id, nullptr);
}

int BLEClientEngine::SelectCharacteristic(const char* characteristic_id) {
  if (characteristic_id == nullptr || characteristic_id[0] == '\0') {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    (void)selected_characteristic_id_.Clear();
    return 0;
  }
  // The selected service is read, its characteristic looked up and the selection stored under one hold of
  // the lock: a sink may set Service on another thread meanwhile.
  core::Buffer service_id;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (!selected_service_id_.IsEmpty()) {
      std::shared_ptr<GattCharacteristicRecord> characteristic;
      if (FindCharacteristicInList(characteristic_id, gatt_tree_.SelectedCharacteristics(selected_service_id_.Data()),
                                   &characteristic) != 0) {
        return selected_characteristic_id_.Assign(characteristic->id);
      }
      if (service_id.Assign(selected_service_id_) != core::kOk) return core::kOutOfMemory;
    }
  }
  if (service_id.IsEmpty()) return SetErrorText(kSelectServiceFirst, kNoServiceSelected);
  return ReportCharacteristicNotDiscovered(service_id.Data(), characteristic_id);
}

int BLEClientEngine::Select(const char* service_id, const char* characteristic_id) {
  const int connected = RequireConnection();
  if (connected != 0) return connected;
  const char* service = TextOrEmpty(service_id);
  const char* characteristic = TextOrEmpty(characteristic_id);
  if (characteristic[0] != '\0' && service[0] == '\0') return SetErrorText(kInvalidArgument, kNoServiceId);
  if (characteristic[0] == '\0') return SelectService(service);
  // Both steps in one: the whole selection changes, or none of it (a service id that names the selected
  // service keeps it and changes the characteristic alone).
  core::Buffer found_service_id;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    const std::shared_ptr<GattServiceRecord> record = gatt_tree_.FindService(service);
    if (record != nullptr) {
      std::shared_ptr<GattCharacteristicRecord> found;
      if (FindCharacteristicInList(characteristic, gatt_tree_.SelectedCharacteristics(record->id.Data()), &found) != 0) {
        core::Buffer previous;
        if (previous.Assign(selected_service_id_) != core::kOk) return core::kOutOfMemory;
        int rc = selected_service_id_.Assign(record->id);
        if (rc == core::kOk) rc = selected_characteristic_id_.Assign(found->id);
        if (rc != core::kOk) {
          (void)selected_service_id_.Assign(previous);
          (void)selected_characteristic_id_.Clear();
        }
        return rc;
      }
      if (found_service_id.Assign(record->id) != core::kOk) return core::kOutOfMemory;
    }
  }
  if (found_service_id.IsEmpty()) return LookupService(service, nullptr);
  return ReportCharacteristicNotDiscovered(found_service_id.Data(), characteristic);
}

int BLEClientEngine::SelectDiscovered(uint64_t owner, const char* service_id, const char* characteristic_id) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  if (!gatt_tree_.Holds(owner)) return kParentNotListed;
  if (selected_service_id_.EqualsNoCase(service_id) == 0) {
    if (selected_service_id_.SetString(service_id) != core::kOk) return core::kOutOfMemory;
    (void)selected_characteristic_id_.Clear();
  }
  return characteristic_id != nullptr ? selected_characteristic_id_.SetString(characteristic_id) : 0;
}

// ---- Building and emptying the tree -------------------------------------------------------------------------

uint64_t BLEClientEngine::TreeGeneration() {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return gatt_tree_.generation;
}

int BLEClientEngine::ClearGattTree() {
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    ++gatt_tree_.generation;
    (void)selected_characteristic_id_.Clear();
    (void)selected_service_id_.Clear();
    (void)gatt_tree_.service_characteristics.Clear();
    (void)gatt_tree_.characteristic_descriptors.Clear();
    (void)gatt_tree_.services.Clear();
    (void)gatt_tree_.service_ids.Clear();
    (void)gatt_tree_.characteristic_ids.Clear();
    gatt_tree_.ClearIndex();
  }
  // The platform objects that only the records held died with them.
  if (bridge_ != nullptr) bridge_->ForgetDeadObjects();
  // This thread's own Disconnect or Connect: the events its sinks get from here on (its Disconnected and
  // Connected among them) are of the connection it leaves.
  FollowConnection();
  return 0;
}

int BLEClientEngine::AddServiceToTree(uint64_t owner, const GattObjectRef& ref, const char* id,
                                      std::shared_ptr<GattServiceRecord>* record, bool* added) {
  if (added != nullptr) *added = false;
  if (ref.Service() == nullptr) return kInvalidArgument;
  // A service found again keeps its record, unless the device has another service under its id now (its
  // services changed): a record of the new one then takes its place.
  const auto find = [&] {
    std::shared_ptr<GattServiceRecord> found = gatt_tree_.FindService(id);
    if (found == nullptr || !(found->uuid == ref.Uuid())) return false;
    if (record != nullptr) *record = std::move(found);
    return true;
  };
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (!gatt_tree_.Holds(owner)) return kParentNotListed;
    if (find()) return 0;
  }
  GattServiceRecord made;
  int rc = made.Create(ref, id);
  if (rc != core::kOk) return rc;
  std::lock_guard<std::mutex> lock(tree_mutex_);
  if (!gatt_tree_.Holds(owner)) return kParentNotListed;
  // Another thread may have added the service since the look above.
  if (find()) return 0;
  made.generation = owner;
  if (const std::shared_ptr<GattServiceRecord> replaced = gatt_tree_.FindService(id)) {
    const int32_t place = gatt_tree_.ServiceIndex(replaced->id.Data());
    return TakePlace(made, [&](auto fresh) { gatt_tree_.ReplaceService(place, fresh); return 0; }, record, added);
  }
  const int32_t at = gatt_tree_.services.Count();
  rc = gatt_tree_.services.InsertAt(at, made);
  if (rc != core::kOk) return rc;
  // The three lists grow together, or not at all.
  if (gatt_tree_.service_ids.AddCString(made.id.Data()) != core::kOk) {
    (void)gatt_tree_.services.RemoveAt(at);
    return core::kOutOfMemory;
  }
  if (AppendEmpty(gatt_tree_.service_characteristics) == nullptr) {
    (void)gatt_tree_.services.RemoveAt(at);
    (void)gatt_tree_.service_ids.RemoveAt(gatt_tree_.service_ids.Count() - 1);
    return core::kOutOfMemory;
  }
  if (gatt_tree_.IndexService(at) != core::kOk) {
    (void)gatt_tree_.service_characteristics.SetCount(at);
    (void)gatt_tree_.services.RemoveAt(at);
    (void)gatt_tree_.service_ids.RemoveAt(gatt_tree_.service_ids.Count() - 1);
    return core::kOutOfMemory;
  }
  if (record != nullptr) *record = RecordAt(gatt_tree_.services, at);
  if (added != nullptr) *added = true;
  return 0;
}

int BLEClientEngine::AddCharacteristicToTree(uint64_t owner, const char* service_id, const GattObjectRef& ref,
                                             const char* id, std::shared_ptr<GattCharacteristicRecord>* record,
                                             bool* added) {
  if (added != nullptr) *added = false;
  if (ref.Characteristic() == nullptr) return kInvalidArgument;
  GattCharacteristicRecord made;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    CharacteristicArray* list = gatt_tree_.SelectedCharacteristics(service_id);
    if (list == nullptr || !gatt_tree_.Holds(owner)) return kParentNotListed;
    if (FoundAgain(gatt_tree_.FindCharacteristic(list, id), ref, record)) return 0;
  }
  // Init registers the value handler: outside the lock, as the platform may call back.
  int rc = made.Init(this, ref, id);
  if (rc != core::kOk) return rc;
  std::lock_guard<std::mutex> lock(tree_mutex_);
  // Within one generation a service id names one record, and services never leave the tree but all at once.
  const int32_t index = gatt_tree_.ServiceIndex(service_id);
  CharacteristicArray* list = gatt_tree_.service_characteristics.Get(index);
  if (list == nullptr || !gatt_tree_.Holds(owner)) return kParentNotListed;  // the tree was emptied meanwhile
  // Another thread may have added the characteristic while Init ran.
  const std::shared_ptr<GattCharacteristicRecord> found = gatt_tree_.FindCharacteristic(list, id);
  if (FoundAgain(found, ref, record)) return 0;
  made.generation = owner;
  if (found != nullptr) {
    const int32_t place = PositionOf(*list, found.get());
    return TakePlace(made, [&](auto fresh) { return gatt_tree_.ReplaceCharacteristic(index, place, fresh); }, record,
                     added);
  }
  const int32_t at = list->Count();
  rc = list->InsertAt(at, made);
  if (rc != core::kOk) return rc;
  if (gatt_tree_.characteristic_ids.AddCString(made.id.Data()) != core::kOk) {
    (void)list->RemoveAt(at);
    return core::kOutOfMemory;
  }
  if (AppendEmpty(gatt_tree_.characteristic_descriptors) == nullptr) {
    (void)list->RemoveAt(at);
    (void)gatt_tree_.characteristic_ids.RemoveAt(gatt_tree_.characteristic_ids.Count() - 1);
    return core::kOutOfMemory;
  }
  if (gatt_tree_.IndexCharacteristic(index, at) != core::kOk) {
    (void)gatt_tree_.characteristic_descriptors.SetCount(gatt_tree_.characteristic_descriptors.Count() - 1);
    (void)list->RemoveAt(at);
    (void)gatt_tree_.characteristic_ids.RemoveAt(gatt_tree_.characteristic_ids.Count() - 1);
    return core::kOutOfMemory;
  }
  if (record != nullptr) *record = RecordAt(*list, at);
  if (added != nullptr) *added = true;
  return 0;
}

int BLEClientEngine::AddDescriptorToTree(const GattCharacteristicRecord& parent, const GattObjectRef& ref,
                                         const char* id, std::shared_ptr<GattDescriptorRecord>* record, bool* added) {
  if (added != nullptr) *added = false;
  if (ref.Descriptor() == nullptr) return kInvalidArgument;
  GattDescriptorRecord made;
  int rc = made.Init(this, ref, id);
  if (rc != core::kOk) return rc;
  std::lock_guard<std::mutex> lock(tree_mutex_);
  // The parent must be the record the tree holds: one of an earlier generation, or one that a cut of its
  // service's list dropped, gets nothing, even where a record of the same id took its place.
  if (!gatt_tree_.Holds(parent.generation) ||
      gatt_tree_.FindCharacteristicByObject(parent.characteristic.get(), nullptr).get() != &parent) {
    return kParentNotListed;
  }
  DescriptorArray* list = gatt_tree_.SelectedDescriptors(parent.id.Data());
  if (list == nullptr) return kParentNotListed;
  const std::shared_ptr<GattDescriptorRecord> found = gatt_tree_.FindDescriptor(list, id);
  if (FoundAgain(found, ref, record)) return 0;
  made.generation = parent.generation;
  if (found != nullptr) {
    const int32_t place = PositionOf(*list, found.get());
    return TakePlace(made, [&](auto fresh) { return gatt_tree_.ReplaceDescriptor(list, place, fresh); }, record, added);
  }
  const int32_t at = list->Count();
  rc = list->InsertAt(at, made);
  if (rc != core::kOk) return rc;
  if (gatt_tree_.IndexDescriptor(list, at) != core::kOk) {
    (void)list->RemoveAt(at);
    return core::kOutOfMemory;
  }
  if (record != nullptr) *record = RecordAt(*list, at);
  if (added != nullptr) *added = true;
  return 0;
}

// ---- The indexed collections --------------------------------------------------------------------------------

int32_t BLEClientEngine::ServiceCount() {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return gatt_tree_.services.Count();
}

int32_t BLEClientEngine::CharacteristicCount() {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  const CharacteristicArray* list = gatt_tree_.SelectedCharacteristics(selected_service_id_.Data());
  return list != nullptr ? list->Count() : 0;
}

int32_t BLEClientEngine::DescriptorCount() {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  const DescriptorArray* list = gatt_tree_.SelectedDescriptors(selected_characteristic_id_.Data());
  return list != nullptr ? list->Count() : 0;
}

namespace {

template <class Array, class Record>
int ItemAt(Array* list, int32_t index, std::shared_ptr<Record>* record) {
  if (list == nullptr || index < 0 || index >= list->Count()) return core::kOutOfRange;
  auto* slot = list->GetOrCreate(index);
  if (slot == nullptr) return core::kOutOfMemory;
  if (record != nullptr) *record = slot->record;
  return 0;
}

}  // namespace

int BLEClientEngine::ServiceAt(int32_t index, std::shared_ptr<GattServiceRecord>* record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return ItemAt(&gatt_tree_.services, index, record);
}

int BLEClientEngine::CharacteristicAt(int32_t index, std::shared_ptr<GattCharacteristicRecord>* record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return ItemAt(gatt_tree_.SelectedCharacteristics(selected_service_id_.Data()), index, record);
}

int BLEClientEngine::DescriptorAt(int32_t index, std::shared_ptr<GattDescriptorRecord>* record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return ItemAt(gatt_tree_.SelectedDescriptors(selected_characteristic_id_.Data()), index, record);
}

int BLEClientEngine::SetCharacteristicCount(int32_t count) {
  // A count no server can reach would only make the list allocate, under the tree lock, for nothing.
  if (count > kMaxGattListCount) {
    return SetErrorText(core::kOutOfRange,
                        "Invalid CharacteristicCount: a server holds at most 65535 characteristics.");
  }
  // Records that leave the collection live on while someone still holds them (a running read, a handler).
  std::vector<std::string> cut;
  int rc = 0;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    CharacteristicArray* list = gatt_tree_.SelectedCharacteristics(selected_service_id_.Data());
    if (list == nullptr) return 0;
    for (int32_t i = count < 0 ? 0 : count; i < list->Count(); ++i) {
      const std::shared_ptr<GattCharacteristicRecord> record = RecordAt(*list, i);
      if (record == nullptr) continue;
      cut.emplace_back(record->id.Data());
      // The selection names only what the lists hold: a selected characteristic cut away is selected no more.
      if (std::strcmp(record->id.Data(), selected_characteristic_id_.Data()) == 0) {
        (void)selected_characteristic_id_.Clear();
      }
    }
    // The dropped records leave the index first (cutting a list never fails; a negative count empties it).
    gatt_tree_.UnindexTail(list, count < 0 ? 0 : count);
    rc = list->SetCount(count);
  }
  // A subscription that a cut record held goes with its platform object: the state listed for it is not known
  // any more, and a record found again asks the device.
  for (const std::string& id : cut) subscriptions_.Forget(id.c_str());
  return rc;
}

int BLEClientEngine::ResolveValueTarget(const char* service_id, const char* characteristic_id,
                                          const char* descriptor_id, ValueTarget& target) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  if (service_id[0] == '\0') return SetErrorText(kInvalidArgument, kNoServiceId);
  if (characteristic_id[0] == '\0') return SetErrorText(kInvalidArgument, kNoCharacteristicId);
  bool service_listed;
  bool characteristic_listed;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    service_listed = gatt_tree_.ServiceIndex(service_id) >= 0;
    characteristic_listed = gatt_tree_.CharacteristicIndex(characteristic_id) >= 0;
  }
  core::Buffer text;
  if (!service_listed) {
    (void)text.Format("No service with the ID \"%s\" has been discovered.", service_id);
    return SetErrorText(kNotDiscovered, text.Data());
  }
  if (!characteristic_listed) {
    (void)text.Format("No characteristic with the ID \"%s\" has been discovered for the service with ID \"%s\".",
                      characteristic_id, service_id);
    return SetErrorText(kNotDiscovered, text.Data());
  }
  if (descriptor_id[0] != '\0') return LookupDescriptorOf(service_id, characteristic_id, descriptor_id, &target.descriptor);
  return LookupCharacteristic(service_id, characteristic_id, &target.characteristic);
}

}  // namespace velmora::ble
