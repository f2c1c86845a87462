// BLEClient::Get, Set and CheckIndex: the numbered properties of a client, in their narrow, UTF-16 (+10000)
// and explicitly narrow (+20000) forms.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ble/await.h"
#include "ble/ble_client.h"
#include "ble/internal.h"
#include "core/code_page.h"
#include "platform/code_page.h"

namespace velmora::ble {

namespace {

constexpr const char* kActiveScanningLocked = "You cannot change the ActiveScanning property while scanning.";
constexpr const char* kBadCharacteristicIndex = "Invalid CharacteristicIndex (out of bounds).";
constexpr const char* kBadDescriptorIndex = "Invalid DescriptorIndex (out of bounds).";
constexpr const char* kBadServiceIndex = "Invalid ServiceIndex (out of bounds).";
constexpr int kIndexNotValid = 280;
constexpr int kTextNotConvertible = 434;
constexpr int kActiveScanningWhileScanning = 602;

const char16_t kEmptyWide[1] = {0};

// ReduceId strips the variant offset of a property id; *wide tells whether texts go out as UTF-16.
int32_t ReduceId(int32_t id, bool* wide) {
  *wide = false;
  if (id >= VELMORABLE_NARROW_VARIANT) return id - VELMORABLE_NARROW_VARIANT;
  if (id >= VELMORABLE_UTF16_VARIANT) {
    *wide = true;
    return id - VELMORABLE_UTF16_VARIANT;
  }
  return id;
}

// The collection an indexed property reads.
enum class IndexKind { kNone, kCharacteristics, kDescriptors, kServices };

IndexKind IndexKindOf(int32_t id) {
  if (id >= VELMORABLE_PROP_CHARACTERISTIC_CAN_SUBSCRIBE && id <= VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT) {
    return IndexKind::kCharacteristics;
  }
  if (id >= VELMORABLE_PROP_DESCRIPTOR_DESCRIPTION && id <= VELMORABLE_PROP_DESCRIPTOR_UUID) {
    return IndexKind::kDescriptors;
  }
  if (id >= VELMORABLE_PROP_SERVICE_DESCRIPTION && id <= VELMORABLE_PROP_SERVICE_UUID) return IndexKind::kServices;
  return IndexKind::kNone;
}

const char* IndexText(IndexKind kind) {
  switch (kind) {
    case IndexKind::kCharacteristics:
      return kBadCharacteristicIndex;
    case IndexKind::kDescriptors:
      return kBadDescriptorIndex;
    default:
      return kBadServiceIndex;
  }
}

// The result record of each text property (UTF-16 form), in property order; -1 for the others.
int ResultRecordOf(int32_t id) {
  static constexpr int32_t kTextProperties[] = {
      VELMORABLE_PROP_CHARACTERISTIC,          VELMORABLE_PROP_CHARACTERISTIC_DESCRIPTION,
      VELMORABLE_PROP_CHARACTERISTIC_ID,       VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION,
      VELMORABLE_PROP_CHARACTERISTIC_UUID,     VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT,
      VELMORABLE_PROP_DESCRIPTOR_DESCRIPTION,  VELMORABLE_PROP_DESCRIPTOR_ID,
      VELMORABLE_PROP_DESCRIPTOR_UUID,         VELMORABLE_PROP_SERVER_ID,
      VELMORABLE_PROP_SERVER_NAME,             VELMORABLE_PROP_SERVICE,
      VELMORABLE_PROP_SERVICE_DESCRIPTION,     VELMORABLE_PROP_SERVICE_ID,
      VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, VELMORABLE_PROP_SERVICE_PARENT_SVC_IDS,
      VELMORABLE_PROP_SERVICE_UUID,
  };
  static_assert(sizeof(kTextProperties) / sizeof(kTextProperties[0]) == kConfigReplyRecord);
  for (int i = 0; i < kConfigReplyRecord; ++i) {
    if (kTextProperties[i] == id) return i;
  }
  return -1;
}

}  // namespace

intptr_t BLEClient::EmptyValue(int32_t property_id) {
  bool wide = false;
  const int32_t id = ReduceId(property_id, &wide);
  if (id == VELMORABLE_PROP_VERSION) return reinterpret_cast<intptr_t>(kVersionMarker);
  if (ResultRecordOf(id) < 0) return 0;
  return wide ? reinterpret_cast<intptr_t>(kEmptyWide) : reinterpret_cast<intptr_t>(core::kEmptyText);
}

const char* BLEClient::SelectionText(const core::Buffer& selected, core::Buffer& copy) {
  // A sink may change the selection on a platform thread while the application's thread reads it, and the
  // other way round: every thread takes a copy under the lock that guards the change.
  std::lock_guard<std::mutex> lock(engine_.TreeMutex());
  return copy.Assign(selected) == core::kOk ? copy.Data() : nullptr;
}

const char* BLEClient::GetServerName(core::Buffer& name) {
  (void)name.Clear();
  const std::shared_ptr<bt::BluetoothLEDevice> device = engine_.HeldDevice();
  if (device != nullptr && PlatformStringToText(device->Name(), name) != core::kOk) (void)name.Clear();
  return name.Data();
}

// Where each value that Get reads lives, and what keeps a read on one thread whole while another thread
// (the application's, or a sink's on a platform thread) changes it:
//
//   property                                      value                               guard
//   version marker                                a constant                          -
//   ActiveScanning                                engine setting                      atomic
//   Characteristic, Service                       engine's selected ids               tree lock (copied under it)
//   CharacteristicCount, DescriptorCount,         the tree's lists                    tree lock
//     ServiceCount
//   the indexed item of every indexed property    the tree's lists                    tree lock (the record is
//                                                                                     then held by Get)
//   CharacteristicDescription, -Id, -Uuid,        the record's fixed fields, set      none needed: never
//     DescriptorDescription, -Id, -Uuid,            before it enters the tree         written once shared
//     ServiceDescription, -Id, -Uuid
//   CharacteristicCanSubscribe, -Flags            record's flags, loaded once         atomics; a lookup under
//                                                                                     way on another thread is
//                                                                                     waited for
//   CharacteristicValueExponent, -Format,         platform's presentation formats,    atomic; the same
//     -FormatCount, -FormatIndex, -Unit             record's format index
//   CharacteristicUserDescription                 platform's user description         the platform object; the
//                                                                                     lookup as above
//   ServiceIncludedSvcIds, ServiceParentSvcIds    record's id lists, which discovery  tree lock
//                                                   appends to on any thread
//   Scanning                                      the watcher's status                watcher lock, platform
//   ServerId, ServerName                          the held device                     state lock (HeldDevice)
//   Timeout                                       socket layer's setting              atomic
//   code page                                     component's code page               atomic
//
// The texts handed out are the calling thread's own (see below), never one another thread writes.
intptr_t BLEClient::Get(int32_t property_id, int32_t index) {
  bool wide = false;
  const int32_t id = ReduceId(property_id, &wide);
  // The version marker is narrow text in both variants.
  if (id == VELMORABLE_PROP_VERSION) return reinterpret_cast<intptr_t>(kVersionMarker);
  if (id == VELMORABLE_PROP_CODE_PAGE) return static_cast<intptr_t>(engine_.CodePage());
  engine_.SetLastErrorCode(0);

  // The indexed item, held for the whole Get: a sink that empties the tree meanwhile cannot free it.
  std::shared_ptr<GattServiceRecord> service;
  std::shared_ptr<GattCharacteristicRecord> characteristic;
  std::shared_ptr<GattDescriptorRecord> descriptor;
  const IndexKind kind = IndexKindOf(id);
  int rc = 0;
  switch (kind) {
    case IndexKind::kCharacteristics:
      rc = engine_.CharacteristicAt(index, &characteristic);
      break;
    case IndexKind::kDescriptors:
      rc = engine_.DescriptorAt(index, &descriptor);
      break;
    case IndexKind::kServices:
      rc = engine_.ServiceAt(index, &service);
      break;
    case IndexKind::kNone:
      break;
  }
  // A late event's sink reads nothing of a later connection, whose lookups would ask its device (see
  // EventOfConnection).
  if (rc == 0 && kind != IndexKind::kNone && engine_.EventConnectionEnded()) rc = kParentNotListed;
  if (rc != 0) {
    // Every indexed id, the int ones included, answers an index outside its collection the same way.
    (void)SetLastErrorAndCode(rc, rc == core::kOutOfRange ? IndexText(kind) : nullptr);
    return EmptyValue(property_id);
  }

  // A text made afresh is made in local. The application's thread gets its narrow form from the text that
  // the item (or the thread's results) keeps for that one property; every other read goes out through the
  // thread's result record of the property. So no read rewrites another property's text, a sink never
  // touches what the application's thread was given, and the UTF-16 form leaves the narrow one alone.
  const bool in_event = engine_.InPlatformEvent();
  core::Buffer local;
  core::Buffer* kept = nullptr;
  auto out = [&](core::Buffer& own) -> core::Buffer& {
    kept = &own;
    return local;
  };
  // An item's text is kept in the item's KeptTexts, which the thread holds without the item.
  std::shared_ptr<KeptTexts> item_texts;
  auto keep = [&](const std::shared_ptr<KeptTexts>& texts, core::Buffer KeptTexts::*field) -> core::Buffer& {
    item_texts = texts;
    return out((*texts).*field);
  };
  const char* text = nullptr;
  bool copied = false;  // text is in local: it goes out through the thread's result record
  // A descriptor lookup that failed leaves its code as the last error (its text is set): the value is then
  // what the platform gives without it, and the next Get looks again.
  const auto Looked = [&](int looked) {
    if (looked != 0) engine_.SetLastErrorCode(looked);
  };
  switch (id) {
    case VELMORABLE_PROP_ACTIVE_SCANNING:
      return engine_.BleSettings().active_scanning.load(std::memory_order_relaxed);
    case VELMORABLE_PROP_CHARACTERISTIC:
      text = SelectionText(engine_.SelectedCharacteristicId(), local);
      if (text == nullptr) return OutOfMemoryValue(property_id);
      copied = true;
      break;
    case VELMORABLE_PROP_CHARACTERISTIC_COUNT:
      return engine_.CharacteristicCount();
    case VELMORABLE_PROP_CHARACTERISTIC_CAN_SUBSCRIBE:
      Looked(characteristic->LoadProperties());
      return (characteristic->flags & (kFlagNotify | kFlagIndicate)) != 0 ? 1 : 0;
    case VELMORABLE_PROP_CHARACTERISTIC_DESCRIPTION:
      text = characteristic->description.Data();
      (void)keep(characteristic->kept, &KeptTexts::description);
      break;
    case VELMORABLE_PROP_CHARACTERISTIC_FLAGS:
      Looked(characteristic->LoadProperties());
      return static_cast<intptr_t>(characteristic->flags);
    case VELMORABLE_PROP_CHARACTERISTIC_ID:
      text = characteristic->id.Data();
      (void)keep(characteristic->kept, &KeptTexts::id);
      break;
    case VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION: {
      int looked = 0;
      text = characteristic->GetUserDescription(keep(characteristic->kept, &KeptTexts::user_description), &looked);
      Looked(looked);
      break;
    }
    case VELMORABLE_PROP_CHARACTERISTIC_UUID:
      text = characteristic->GetUuidText(keep(characteristic->kept, &KeptTexts::uuid));
      break;
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_EXPONENT:
      Looked(characteristic->LoadPresentationFormats());
      return characteristic->GetValueExponent();
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT:
      Looked(characteristic->LoadPresentationFormats());
      return characteristic->GetValueFormat();
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_COUNT:
      Looked(characteristic->LoadPresentationFormats());
      return characteristic->GetValueFormatCount();
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX:
      Looked(characteristic->LoadPresentationFormats());
      return characteristic->GetValueFormatIndex();
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_UNIT:
      Looked(characteristic->LoadPresentationFormats());
      text = characteristic->GetValueUnit(keep(characteristic->kept, &KeptTexts::value_unit));
      break;
    case VELMORABLE_PROP_DESCRIPTOR_COUNT:
      return engine_.DescriptorCount();
    case VELMORABLE_PROP_DESCRIPTOR_DESCRIPTION:
      text = descriptor->description.Data();
      (void)keep(descriptor->kept, &KeptTexts::description);
      break;
    case VELMORABLE_PROP_DESCRIPTOR_ID:
      text = descriptor->id.Data();
      (void)keep(descriptor->kept, &KeptTexts::id);
      break;
    case VELMORABLE_PROP_DESCRIPTOR_UUID:
      text = descriptor->GetUuidText(keep(descriptor->kept, &KeptTexts::uuid));
      break;
    case VELMORABLE_PROP_SCANNING:
      return engine_.IsScanning() ? 1 : 0;
    case VELMORABLE_PROP_SERVER_ID:
      text = engine_.GetServerId();
      break;
    case VELMORABLE_PROP_SERVER_NAME:
      text = GetServerName(out(engine_.CurrentResults().server_name));
      break;
    case VELMORABLE_PROP_SERVICE:
      text = SelectionText(engine_.SelectedServiceId(), local);
      if (text == nullptr) return OutOfMemoryValue(property_id);
      copied = true;
      break;
    case VELMORABLE_PROP_SERVICE_COUNT:
      return engine_.ServiceCount();
    case VELMORABLE_PROP_SERVICE_DESCRIPTION:
      text = service->description.Data();
      (void)keep(service->kept, &KeptTexts::description);
      break;
    case VELMORABLE_PROP_SERVICE_ID:
      text = service->id.Data();
      (void)keep(service->kept, &KeptTexts::id);
      break;
    case VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS: {
      std::lock_guard<std::mutex> lock(engine_.TreeMutex());
      text = service->GetIncludedSvcIdsText(keep(service->kept, &KeptTexts::included_svc_ids));
      break;
    }
    case VELMORABLE_PROP_SERVICE_PARENT_SVC_IDS: {
      std::lock_guard<std::mutex> lock(engine_.TreeMutex());
      text = service->GetParentSvcIdsText(keep(service->kept, &KeptTexts::parent_svc_ids));
      break;
    }
    case VELMORABLE_PROP_SERVICE_UUID:
      text = service->GetUuidText(keep(service->kept, &KeptTexts::uuid));
      break;
    case VELMORABLE_PROP_TIMEOUT:
      return engine_.GetTimeoutSeconds();
    default:
      return 0;
  }
  text = TextOrEmpty(text);
  if (!wide && !in_event) {
    // The application's thread gets narrow texts from where they are kept. A text made afresh replaces the
    // kept one only when the value changed, so that a text read before stays valid as long as its value.
    // A text the item keeps lives as long as the item's kept texts, which the thread holds until it reads the
    // property again, should a sink empty the tree meanwhile (not the item: see KeptTexts).
    if (item_texts != nullptr && text != local.Data() && local.SetString(text) != core::kOk) {
      return OutOfMemoryValue(property_id);
    }
    if (kept != nullptr && !kept->Equals(local) && kept->Assign(local) != core::kOk) return OutOfMemoryValue(property_id);
    if (item_texts != nullptr && ResultRecordOf(id) >= 0) {
      engine_.CurrentResults().held_items[ResultRecordOf(id)] = std::move(item_texts);
    }
    if (kept != nullptr) return reinterpret_cast<intptr_t>(kept->Data());
    if (!copied) return reinterpret_cast<intptr_t>(text);
  }
  // Every other read gets a copy in the thread's result record: a sink's texts are its own, as the
  // application's thread may change or drop the original meanwhile. Out of memory, the caller still gets a
  // text: an empty one, with the failure as its last error.
  ResultStringPair* record = engine_.CurrentResults().Record(ResultRecordOf(id));
  if (record == nullptr || (!wide && record->narrow.SetString(text) != core::kOk)) {
    return OutOfMemoryValue(property_id);
  }
  if (!wide) return reinterpret_cast<intptr_t>(record->narrow.Data());
  const int converted = record->ToWide(text, engine_.CodePage());
  if (converted == core::kOutOfMemory) return OutOfMemoryValue(property_id);
  if (converted != core::kOk) return reinterpret_cast<intptr_t>(kEmptyWide);
  return reinterpret_cast<intptr_t>(record->Wide());
}

int BLEClient::Set(int32_t property_id, int32_t index, intptr_t value) {
  bool wide = false;
  const int32_t id = ReduceId(property_id, &wide);
  // The numbers are 32-bit: a wider value stands for the nearest one (a count or a Timeout past every bound
  // stays past it, a nonzero flag stays nonzero) instead of for its low 32 bits.
  const auto number = static_cast<int32_t>(std::clamp<intptr_t>(value, INT32_MIN, INT32_MAX));
  switch (id) {
    case VELMORABLE_PROP_ACTIVE_SCANNING:
    case VELMORABLE_PROP_CHARACTERISTIC:
    case VELMORABLE_PROP_CHARACTERISTIC_COUNT:
    case VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION:
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX:
    case VELMORABLE_PROP_SERVICE:
    case VELMORABLE_PROP_TIMEOUT:
      break;
    default:
      return kUnknownId;
  }
  RecordedCall call(engine_);
  // Text values: the UTF-16 form is converted with the object's code page; null is "".
  const char* text = core::kEmptyText;
  core::Buffer converted;
  if (id == VELMORABLE_PROP_CHARACTERISTIC || id == VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION ||
      id == VELMORABLE_PROP_SERVICE) {
    if (wide && value != 0) {
      const int rc = core::WideToMultiByte(converted, reinterpret_cast<const char16_t*>(value), engine_.CodePage());
      if (rc == core::kOutOfMemory) return call.Finish(rc);
      if (rc != core::kOk) {
        return call.Finish(engine_.SetErrorText(kTextNotConvertible, "The value cannot be converted from UTF-16."));
      }
      text = converted.Data();
    } else if (!wide) {
      text = TextOrEmpty(reinterpret_cast<const char*>(value));
    }
  }
  // A late event's sink changes nothing of a later connection (see EventOfConnection).
  if (id != VELMORABLE_PROP_ACTIVE_SCANNING && id != VELMORABLE_PROP_TIMEOUT && engine_.EventConnectionEnded()) {
    return call.Finish(kParentNotListed);
  }
  switch (id) {
    case VELMORABLE_PROP_ACTIVE_SCANNING: {
      std::atomic<int32_t>& active = engine_.BleSettings().active_scanning;
      if ((number != 0) != (active.load(std::memory_order_relaxed) != 0) && engine_.ScanModeFixed()) {
        return call.Finish(engine_.SetErrorText(kActiveScanningWhileScanning, kActiveScanningLocked));
      }
      active.store(number != 0 ? 1 : 0, std::memory_order_relaxed);
      return call.Finish(0);
    }
    case VELMORABLE_PROP_CHARACTERISTIC:
      return call.Finish(engine_.SelectCharacteristic(text));
    case VELMORABLE_PROP_CHARACTERISTIC_COUNT:
      return call.Finish(engine_.SetCharacteristicCount(number));
    case VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION:
    case VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX: {
      std::shared_ptr<GattCharacteristicRecord> characteristic;
      const int rc = engine_.CharacteristicAt(index, &characteristic);
      // The index error is recorded like every other failure, so that the last error code agrees.
      if (rc == core::kOutOfRange) return call.Finish(engine_.SetErrorText(rc, kBadCharacteristicIndex));
      if (rc != 0) return call.Finish(rc);
      if (id == VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION) {
        return call.Finish(characteristic->SetUserDescription(text));
      }
      const int looked = characteristic->LoadPresentationFormats();
      if (looked != 0) return call.Finish(looked);
      return call.Finish(characteristic->SetValueFormatIndex(number));
    }
    case VELMORABLE_PROP_SERVICE:
      return call.Finish(engine_.SelectService(text));
    default:  // VELMORABLE_PROP_TIMEOUT
      return call.Finish(engine_.SetTimeoutSeconds(number, true));
  }
}

int BLEClient::CheckIndex(int32_t property_id, int32_t index) {
  // Only plain ids are checked; a variant id is never an indexed property here.
  const IndexKind kind = IndexKindOf(property_id);
  int32_t count;
  switch (kind) {
    case IndexKind::kCharacteristics:
      count = engine_.CharacteristicCount();
      break;
    case IndexKind::kDescriptors:
      count = engine_.DescriptorCount();
      break;
    case IndexKind::kServices:
      count = engine_.ServiceCount();
      break;
    default:
      return 0;
  }
  if (index >= 0 && index < count) return 0;
  return engine_.SetErrorText(kIndexNotValid, IndexText(kind));
}

}  // namespace velmora::ble
