// GATT object records and the tree of them that the engine keeps for the connected server.
//
// Every service, characteristic and descriptor found on the server is held as a record with its platform
// object, its UUID, its standard name and a 12-character object id built from the attribute handles of the
// object and its parents ("%04X%04X%04X": service, characteristic, descriptor), so that any id can be cut
// back to the id of its service or characteristic.
//
// Ownership and threads: the tree's lists hold their records through shared references. A caller that
// looked a record up keeps it alive while it fires events or waits for the platform, even when a sink
// disconnects (which empties the tree) meanwhile. The engine's tree mutex guards the lists, the current
// collections and the lookups; it is never held across an await or a sink call. A record's fixed fields
// (engine, platform object, UUID, id, description) do not change once it is in the tree and may be read
// from any thread; its loaded fields (flags, format index, once-flags) may be loaded by any thread (see
// GattCharacteristicRecord); its kept texts belong to the application's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "ble/await.h"
#include "ble/connection.h"
#include "ble/uuid_text.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "core/str_list.h"
#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

class BLEClientEngine;

// Result codes of the tree.
constexpr int kNotDiscovered = 601;
constexpr int kParentNotListed = 608;

// Characteristic flags: the platform's property bits 0x01..0x40 as they are, then ReliableWrites and
// WritableAuxiliaries moved down one place (the platform's ExtendedProperties bit is not carried).
constexpr uint32_t kFlagBroadcast = 0x001;
constexpr uint32_t kFlagRead = 0x002;
constexpr uint32_t kFlagWriteWithoutResponse = 0x004;
constexpr uint32_t kFlagWrite = 0x008;
constexpr uint32_t kFlagNotify = 0x010;
constexpr uint32_t kFlagIndicate = 0x020;
constexpr uint32_t kFlagAuthenticatedSignedWrites = 0x040;
constexpr uint32_t kFlagReliableWrites = 0x080;
constexpr uint32_t kFlagWritableAuxiliaries = 0x100;

// MapCharacteristicProperties turns the platform's property bits into characteristic flags.
uint32_t MapCharacteristicProperties(uint32_t platform_properties);

// UUID texts of the standard descriptors the records make sure of.
constexpr const char* kExtendedPropertiesUuid = "00002900-0000-1000-8000-00805F9B34FB";
constexpr const char* kUserDescriptionUuid = "00002901-0000-1000-8000-00805F9B34FB";
constexpr const char* kCccdUuid = "00002902-0000-1000-8000-00805F9B34FB";
constexpr const char* kPresentationFormatUuid = "00002904-0000-1000-8000-00805F9B34FB";
constexpr const char* kAggregateFormatUuid = "00002905-0000-1000-8000-00805F9B34FB";

// KeptTexts are the texts Get hands to the application's thread for one item of the tree, one per text
// property, so that reading one never rewrites another's. They live apart from the item: that thread holds the
// texts it was given (CallResults::held_items), not the item, whose platform object would keep the device's
// link after a Disconnect.
struct KeptTexts {
  core::Buffer id;
  core::Buffer description;
  core::Buffer uuid;
  core::Buffer parent_svc_ids;
  core::Buffer included_svc_ids;
  core::Buffer user_description;
  core::Buffer value_unit;
};

struct GattServiceRecord {
  std::shared_ptr<bt::GattDeviceService> service;
  Guid uuid{};
  core::Buffer20 id;  // 12 characters
  core::Buffer description;
  uint64_t generation = 0;  // the tree's generation it entered in (see GattTree)
  // The id lists grow while the record is in the tree, as discovery links services: both are read and
  // written under the engine's tree mutex.
  core::StrList parent_svc_ids;
  core::StrList included_svc_ids;
  // The texts Get hands to the application's thread (see KeptTexts).
  std::shared_ptr<KeptTexts> kept = std::make_shared<KeptTexts>();

  // Create makes this the record of ref's service with id: the description is looked up by UUID (when
  // there is an object), both id lists and the kept texts start empty. 0, or 200.
  [[nodiscard]] int Create(const GattObjectRef& ref, const char* id_text);
  [[nodiscard]] int Create(const std::shared_ptr<bt::GattDeviceService>& object, const Guid& object_uuid,
                           const char* id_text);
  // CloneFrom makes this a copy of source as the lists store it: rebuilt with Create.
  [[nodiscard]] int CloneFrom(const GattServiceRecord& source) {
    generation = source.generation;
    return Create(source.service, source.uuid, source.id.Data());
  }

  // The getters return their text in out (by default the record's kept text of that property, valid until
  // the next call of the same getter on the record).
  const char* GetUuidText(core::Buffer& out) const;
  const char* GetParentSvcIdsText(core::Buffer& out) const;
  const char* GetIncludedSvcIdsText(core::Buffer& out) const;
  const char* GetUuidText() { return GetUuidText(kept->uuid); }
  const char* GetParentSvcIdsText() { return GetParentSvcIdsText(kept->parent_svc_ids); }
  const char* GetIncludedSvcIdsText() { return GetIncludedSvcIdsText(kept->included_svc_ids); }
};

struct GattCharacteristicRecord {
  BLEClientEngine* engine = nullptr;
  std::shared_ptr<bt::GattCharacteristic> characteristic;
  Guid uuid{};
  core::Buffer description;
  core::Buffer20 id;  // 12 characters
  uint64_t generation = 0;  // the tree's generation it entered in (see GattTree)
  // The loaded fields are atomics: a sink on a platform thread may read a property that loads them while
  // the application's thread does the same. Flags loaded twice are the same flags; the format index is
  // loaded once (RunOnce).
  std::atomic<uint32_t> flags{0};
  std::atomic<int32_t> format_index{-1};
  // The texts Get hands to the application's thread (see KeptTexts).
  std::shared_ptr<KeptTexts> kept = std::make_shared<KeptTexts>();
  // The once-flags: 1 once the lookup (or load) has succeeded; kOnceUnderWay while a thread runs it; 0
  // before, and again after a run that failed, so that the next call tries again (see RunOnce).
  static constexpr int32_t kOnceUnderWay = 2;
  std::atomic<int32_t> cccd_ensured{0};
  std::atomic<int32_t> extended_properties_ensured{0};
  std::atomic<int32_t> user_description_ensured{0};
  std::atomic<int32_t> formats_ensured{0};
  std::atomic<int32_t> properties_loaded{0};
  std::atomic<int32_t> formats_loaded{0};
  // once_runs counts the threads that run a once-flag's work on this record, so that another thread can
  // wait for them.
  EventDeliveries once_runs;
  // values_stopped is clear only while this client holds a subscription of the characteristic of its own
  // (from a Subscribe or a CCCD write that turned notifications on, until its Unsubscribe, a CCCD write that
  // turned them off or the platform ends it): a notification that comes while it is set is dropped, never
  // delivered, whatever the device's CCCD says for other clients. Guarded by the engine's tree mutex. values
  // counts the notifications of this characteristic that platform threads deliver.
  bool values_stopped = true;
  EventDeliveries values;
  // subscribing counts the calls of this client that turn the notifications on by a CCCD write (Subscribe,
  // WriteValue), from before the write is asked for until the call has listed the state and fired its
  // Subscribed. The platform's end of the subscription that comes meanwhile (a services change, a session
  // that failed at once) is held in lost_reason for the last of them to report once it has fired its
  // Subscribed (see HeldEnd). Guarded by the engine's tree mutex.
  //
  // HeldEnd: kEnded when the end ended a subscription this client held, or one that a write of these calls
  // made (accepted); kUnheld when it came while this client held none and no write had been accepted yet:
  // it ends the subscription that a write accepted afterwards makes, and nothing when none is.
  enum class HeldEnd : uint8_t { kNone, kUnheld, kEnded };
  int32_t subscribing = 0;
  HeldEnd lost = HeldEnd::kNone;
  core::Buffer lost_reason;
  // session is the platform's number of the subscription that this client's last accepted write made or
  // kept (GattCharacteristic::NotificationSession; 0 where the platform gives none), lost_session that of
  // the held end: an end of an older subscription (one that came late, after an Unsubscribe and a new
  // Subscribe) ends nothing. Guarded by the engine's tree mutex.
  uint64_t session = 0;
  uint64_t lost_session = 0;
  // made counts the subscriptions of this client's that accepted writes have made (values_stopped cleared):
  // an end that is reported after a newer one was made tells no Unsubscribed. Guarded by the engine's tree
  // mutex.
  uint64_t made = 0;
  // cccd_unsettled is set once a CCCD write of this client's (Subscribe, Unsubscribe, WriteValue) has ended
  // without the device's answer (its wait stopped, the platform raised or could not reach the device), and
  // cleared by the next write that the device accepts: the device may have taken that write after all, so
  // what this client holds and lists may not be what the device does for it, and neither Subscribe nor
  // Unsubscribe spares its write on them meanwhile. Guarded by the engine's tree mutex.
  bool cccd_unsettled = false;
  // words counts the Subscribed and Unsubscribed events that this client's calls raised for the characteristic:
  // a call that tells its success (its Log line) while a later call tells its own word leaves that one the
  // last. Guarded by the engine's tree mutex.
  uint64_t words = 0;
  // cccd_writes numbers the CCCD writes of this client's that were asked for: the device's late answer to one
  // whose wait stopped acts only while no later one was asked. Guarded by the engine's tree mutex.
  uint64_t cccd_writes = 0;

  // Init makes this the record of ref's characteristic with id and registers the engine's value handler on
  // the platform object (once per object). 0, or 200. May raise PlatformError.
  [[nodiscard]] int Init(BLEClientEngine* owner, const GattObjectRef& ref, const char* id_text);
  // CloneFrom copies every field but the kept texts; the copy shares the platform object and registers nothing.
  [[nodiscard]] int CloneFrom(const GattCharacteristicRecord& source);

  // The text getters return their text in out, by default the kept text (as for the service record).
  const char* GetUuidText(core::Buffer& out) const;
  const char* GetUuidText() { return GetUuidText(kept->uuid); }
  // GetUserDescription makes sure of the User Description descriptor (the lookup's code in *looked, when
  // given), then returns the platform's user description text (code page 0) in out; "" without an object.
  const char* GetUserDescription(core::Buffer& out, int* looked = nullptr);
  const char* GetUserDescription() { return GetUserDescription(kept->user_description); }
  // EnsureUserDescriptionDescriptor looks for descriptor 2901 until a lookup succeeds. Returns 0, or the
  // code of the failed lookup (see RunOnce).
  int EnsureUserDescriptionDescriptor();
  // LoadProperties reads the flags, once the lookup of descriptor 2900 has succeeded for good (until then
  // on every call). Returns 0, or the code of the failed lookup.
  int LoadProperties();
  // LoadPresentationFormats sets the format index to 0 or -1 once, after descriptors 2905 and 2904 have
  // been looked for with success. Returns 0, or the code of the failed lookup.
  int LoadPresentationFormats();
  // RunOnce runs work unless once shows that it has succeeded, and sets once when work returns 0; a work
  // that fails (or raises) leaves once at 0, so that the next call runs it again, and its code is returned
  // (its text set). A thread that finds work under way on another thread waits for it, as long as the
  // engine's waits may last (Timeout, and no longer once Destroy has begun: 301 "Timeout." or
  // "Interrupted." then), and runs it itself when that run failed. A thread that runs work of its own (of
  // any record, a sink inside it) or delivers a platform event does not wait: it goes on without the result
  // (0), as what that run's events do may be waiting for it.
  int RunOnce(std::atomic<int32_t>& once, const std::function<int()>& work);

  // Presentation formats and the user description write (the value operations; each runs
  // LoadPresentationFormats first where it reads the formats).
  int32_t GetValueFormatCount();
  int32_t GetValueFormatIndex();
  // SetValueFormatIndex: 0, or 202 "Invalid value format index.".
  int SetValueFormatIndex(int32_t index);
  int32_t GetValueExponent();
  int32_t GetValueFormat();
  const char* GetValueUnit(core::Buffer& out);
  const char* GetValueUnit() { return GetValueUnit(kept->value_unit); }
  int SetUserDescription(const char* text);
};

struct GattDescriptorRecord {
  BLEClientEngine* engine = nullptr;
  std::shared_ptr<bt::GattDescriptor> descriptor;
  Guid uuid{};
  core::Buffer description;
  core::Buffer20 id;  // 12 characters
  uint64_t generation = 0;  // the tree's generation it entered in (see GattTree)
  std::shared_ptr<KeptTexts> kept = std::make_shared<KeptTexts>();  // see KeptTexts

  [[nodiscard]] int Init(BLEClientEngine* owner, const GattObjectRef& ref, const char* id_text);
  [[nodiscard]] int CloneFrom(const GattDescriptorRecord& source);
  const char* GetUuidText(core::Buffer& out) const;
  const char* GetUuidText() { return GetUuidText(kept->uuid); }
};

// ValueTarget is the object a value operation works on: the descriptor when the call named one, else the
// characteristic. It holds its record, so the record outlives whatever a sink does to the tree meanwhile.
struct ValueTarget {
  std::shared_ptr<GattDescriptorRecord> descriptor;
  std::shared_ptr<GattCharacteristicRecord> characteristic;

  const Guid& Uuid() const { return descriptor != nullptr ? descriptor->uuid : characteristic->uuid; }
  uint64_t Generation() const { return descriptor != nullptr ? descriptor->generation : characteristic->generation; }
  const char* Description() const {
    return descriptor != nullptr ? descriptor->description.Data() : characteristic->description.Data();
  }
};

// RecordSlot is one element of a record list: a shared reference to the record.
template <class Record>
struct RecordSlot {
  std::shared_ptr<Record> record;
};

// RecordSlotTraits: a new slot holds an empty record; inserting a record stores a clone of it.
template <class Record>
struct RecordSlotTraits {
  using Slot = RecordSlot<Record>;
  static Slot* Create() {
    Slot* slot = core::PtrArrayTraits<Slot>::Create();
    if (slot == nullptr) return nullptr;
    try {
      slot->record = std::make_shared<Record>();
    } catch (const std::bad_alloc&) {
      Destroy(slot);
      return nullptr;
    }
    return slot;
  }
  static Slot* Copy(const Record& source) {
    Slot* slot = Create();
    if (slot != nullptr && slot->record->CloneFrom(source) != core::kOk) {
      Destroy(slot);
      return nullptr;
    }
    return slot;
  }
  static void Destroy(Slot* slot) { core::PtrArrayTraits<Slot>::Destroy(slot); }
};

using ServiceArray = core::PtrArray<RecordSlot<GattServiceRecord>, RecordSlotTraits<GattServiceRecord>>;
using CharacteristicArray =
    core::PtrArray<RecordSlot<GattCharacteristicRecord>, RecordSlotTraits<GattCharacteristicRecord>>;
using DescriptorArray = core::PtrArray<RecordSlot<GattDescriptorRecord>, RecordSlotTraits<GattDescriptorRecord>>;
using ServiceCharacteristicLists = core::PtrArray<CharacteristicArray>;
using CharacteristicDescriptorLists = core::PtrArray<DescriptorArray>;

// RecordAt returns the record in slot index of list, null for an empty slot or an index out of range.
template <class Array>
auto RecordAt(const Array& list, int32_t index) -> decltype(list.Get(0)->record) {
  auto* slot = list.Get(index);
  return slot != nullptr ? slot->record : nullptr;
}

// AppendEmpty adds an empty list at the end of lists and returns it; null when memory runs out (lists
// unchanged).
template <class List>
List* AppendEmpty(core::PtrArray<List>& lists) {
  const int32_t count = lists.Count();
  if (lists.SetCount(count + 1) != core::kOk) return nullptr;
  List* list = lists.GetOrCreate(count);
  if (list == nullptr) (void)lists.SetCount(count);
  return list;
}

// GattTree is the engine's tree of records (see the file comment). Its members are guarded by the engine's
// tree mutex.
//
// The tree keeps hash indexes beside its lists so that adding an object and finding one by id cost the
// same however large the tree grows (a full discovery adds every object after a lookup of its id and of
// its parent). The lists stay the tree's content; every change to them goes through the Index/Unindex
// members below, and every indexed answer is checked against the lists before it is given, so an index
// entry left behind can only miss, never hand out a wrong record.
//
// Ownership: the tree is one connection's. Its generation moves on whenever it is emptied (Disconnect, and
// every change of the held device), and every record keeps the generation it entered in. A discovery or a
// descriptor lookup carries the generation it was started for (the root services' the one read before the
// held device; any other the generation of the record it starts from) and adds nothing once the tree has
// moved on (Holds): it fails with 608, and what it found never enters the next connection's tree. The
// selection is a pair of ids, and the indexed collections are found from it under the tree mutex at each
// use (SelectedCharacteristics, SelectedDescriptors): no pointer into a list is kept past a hold of the lock.
struct GattTree {
  ServiceArray services;
  core::StrList service_ids;
  ServiceCharacteristicLists service_characteristics;
  core::StrList characteristic_ids;
  CharacteristicDescriptorLists characteristic_descriptors;
  uint64_t generation = 1;

  // Holds tells whether the tree is still the one of owner, a generation taken from it earlier.
  bool Holds(uint64_t owner) const { return owner == generation; }
  // SelectedCharacteristics is the characteristic list of the service whose id is service_id (exactly), and
  // SelectedDescriptors the descriptor list of the characteristic whose id is characteristic_id; null for
  // an empty or unlisted id.
  CharacteristicArray* SelectedCharacteristics(const char* service_id);
  DescriptorArray* SelectedDescriptors(const char* characteristic_id);

  // ServiceIndex and CharacteristicIndex answer service_ids.IndexOf(id, 0) and characteristic_ids.IndexOf(id, 0):
  // the first item equal to id byte for byte, or -1.
  int32_t ServiceIndex(const char* id) const;
  int32_t CharacteristicIndex(const char* id) const;
  // FindService returns the first service whose id equals id without regard to ASCII case and that has a
  // platform object (null when none; an empty id matches nothing).
  std::shared_ptr<GattServiceRecord> FindService(const char* id) const;
  // FindCharacteristic and FindDescriptor return the record of list (a list of this tree) whose id equals
  // id without regard to ASCII case and that has a platform object; null when none.
  std::shared_ptr<GattCharacteristicRecord> FindCharacteristic(const CharacteristicArray* list, const char* id) const;
  std::shared_ptr<GattDescriptorRecord> FindDescriptor(const DescriptorArray* list, const char* id) const;
  // FindCharacteristicByObject returns the record holding object and sets *service_index to the index of
  // its service; null when the object is not in the tree.
  std::shared_ptr<GattCharacteristicRecord> FindCharacteristicByObject(const bt::GattCharacteristic* object,
                                                                      int32_t* service_index) const;

  // IndexService indexes service `at`, just appended to services and service_ids; IndexCharacteristic the
  // characteristic at position `at` of service service_index's list, just appended to characteristic_ids
  // too; IndexDescriptor the descriptor at position `at` of list. 0, or 200 with nothing indexed (the caller
  // then takes the record back out of the lists).
  [[nodiscard]] int IndexService(int32_t at);
  [[nodiscard]] int IndexCharacteristic(int32_t service_index, int32_t at);
  [[nodiscard]] int IndexDescriptor(const DescriptorArray* list, int32_t at);
  // ReplaceService, ReplaceCharacteristic and ReplaceDescriptor put fresh in the place of the record at `at`
  // (of services, of service service_index's list, of list), whose id fresh carries: the device has another
  // object under that id since its services changed. A replaced characteristic's descriptor list is emptied,
  // as its descriptors were the old object's. 0, or 200 with nothing changed.
  void ReplaceService(int32_t at, std::shared_ptr<GattServiceRecord> fresh);
  [[nodiscard]] int ReplaceCharacteristic(int32_t service_index, int32_t at,
                                          std::shared_ptr<GattCharacteristicRecord> fresh);
  [[nodiscard]] int ReplaceDescriptor(DescriptorArray* list, int32_t at, std::shared_ptr<GattDescriptorRecord> fresh);
  // UnindexTail forgets the records of list from position `from` on, before the list is cut to that count.
  void UnindexTail(const CharacteristicArray* list, int32_t from);
  // ClearIndex forgets everything, with the lists emptied.
  void ClearIndex();

  // The indexes (see above). Lookups hash the id where it lies (no key is built); the no-case maps hash and
  // compare with A-Z folded to a-z. A list's entries are keyed by the list's address and the id, and hold
  // the position and the record so that a lookup can check both.
  //
  // A characteristic or descriptor list shorter than kIndexedListCount is searched by walking it: its few
  // records were made together and lie close in memory, where hash entries of a large tree would be spread
  // over the whole heap. A list gets its entries once it reaches that count (all of them at once) and is
  // then named in indexed_lists; cutting it drops it from there, so that it is indexed afresh when it grows
  // again. Only a list named there is looked up through the map.
  struct ExactHash {
    using is_transparent = void;
    size_t operator()(std::string_view id) const { return std::hash<std::string_view>()(id); }
  };
  struct NoCaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view id) const;
  };
  struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  struct ListKeyView {
    const void* list;
    std::string_view id;
  };
  struct ListKey {
    const void* list;
    std::string id;
  };
  struct ListKeyHash {
    using is_transparent = void;
    size_t operator()(const ListKeyView& key) const;
    size_t operator()(const ListKey& key) const { return (*this)(ListKeyView{key.list, key.id}); }
  };
  struct ListKeyEqual {
    using is_transparent = void;
    bool operator()(const ListKeyView& a, const ListKeyView& b) const {
      return a.list == b.list && NoCaseEqual()(a.id, b.id);
    }
    bool operator()(const ListKey& a, const ListKey& b) const { return (*this)(View(a), View(b)); }
    bool operator()(const ListKey& a, const ListKeyView& b) const { return (*this)(View(a), b); }
    bool operator()(const ListKeyView& a, const ListKey& b) const { return (*this)(a, View(b)); }
    static ListKeyView View(const ListKey& key) { return {key.list, key.id}; }
  };
  struct Position {
    int32_t list_index;  // the service's index (object index), unused otherwise
    int32_t at;
    const void* record;
  };
  using ExactMap = std::unordered_map<std::string, int32_t, ExactHash, std::equal_to<>>;
  using ListMap = std::unordered_map<ListKey, Position, ListKeyHash, ListKeyEqual>;
  ExactMap service_exact;
  std::unordered_map<std::string, int32_t, NoCaseHash, NoCaseEqual> service_no_case;
  ExactMap characteristic_exact;
  static constexpr int32_t kIndexedListCount = 16;
  ListMap characteristic_in_list;
  ListMap descriptor_in_list;
  std::unordered_set<const void*> indexed_lists;
  std::unordered_map<const bt::GattCharacteristic*, Position> characteristic_by_object;
};

// ServiceIdOf sets out to the id of the service of id (its first 4 characters and "00000000");
// CharacteristicIdOf to the id of its characteristic (first 8 characters and "0000"). Neither checks id.
// 0, or 200.
[[nodiscard]] int ServiceIdOf(const char* id, core::BufferCore& out);
[[nodiscard]] int CharacteristicIdOf(const char* id, core::BufferCore& out);

}  // namespace velmora::ble
