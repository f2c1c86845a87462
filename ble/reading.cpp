#include "ble/reading.h"

#include <limits>
#include <memory>
#include <mutex>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "ble/gatt_records.h"
#include "ble/gatt_result.h"
#include "ble/internal.h"
#include "ble/uuid_text.h"

namespace velmora::ble {

namespace {

// An index slot that was never filled holds a record without a platform object; nothing is read from it.
constexpr const char* kNoCharacteristicObject = "No characteristic has been discovered at this index.";
constexpr const char* kNoDescriptorObject = "No descriptor has been discovered at this index.";
constexpr const char* kCharacteristicIndexText = "Invalid CharacteristicIndex (out of bounds).";
constexpr const char* kDescriptorIndexText = "Invalid DescriptorIndex (out of bounds).";
constexpr const char* kInvalidFormatIndex = "Invalid value format index.";

bt::BluetoothCacheMode CacheMode(bool from_device) {
  return from_device ? bt::BluetoothCacheMode::Uncached : bt::BluetoothCacheMode::Cached;
}

// UuidTextOf sets out to the UUID text of uuid (empty when the conversion fails) and returns it.
const char* UuidTextOf(const Guid& uuid, core::BufferCore& out) {
  if (GuidToUuidText(uuid, out) != core::kOk) (void)out.Clear();
  return out.Data();
}

void ClearOutputs(const uint8_t** value, int32_t* length) {
  if (value != nullptr) *value = nullptr;
  if (length != nullptr) *length = 0;
}

// HandOutValue copies a value read into the calling thread's value text and points the outputs at it; 0 or
// 200. The value is read aside first, since an event fired during the wait may run another read.
int HandOutValue(BLEClientEngine& engine, const core::BufferCore& read, const uint8_t** value, int32_t* length) {
  core::Buffer& out = engine.CurrentResults().value;
  const int rc = engine.ReportOutOfMemory(out.Assign(read));
  if (rc != 0) return rc;
  if (value != nullptr) *value = out.Bytes();
  if (length != nullptr) *length = out.Length();
  return 0;
}

}  // namespace

// ---- Subscription states ------------------------------------------------------------------------------------

int SubscriptionStates::Find(const char* characteristic_id, bool* subscribed, int32_t* cccd) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t index = ids_.IndexOf(TextOrEmpty(characteristic_id), 0);
  if (index < 0) return 0;
  const int32_t value = states_.ItemAsInt(index);
  if (subscribed != nullptr) *subscribed = value != 0;
  if (cccd != nullptr) *cccd = value;
  return 1;
}

int SubscriptionStates::Update(const char* characteristic_id, int32_t cccd, bool* listed, bool* previous) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t index = ids_.IndexOf(TextOrEmpty(characteristic_id), 0);
  if (listed != nullptr) *listed = index >= 0;
  if (previous != nullptr) *previous = index >= 0 && states_.ItemAsInt(index) != 0;
  return index < 0 ? 0 : states_.SetAtInt(index, cccd);
}

int SubscriptionStates::Set(const char* characteristic_id, int32_t cccd) {
  return Add(characteristic_id, cccd, true);
}

int SubscriptionStates::Fill(const char* characteristic_id, int32_t cccd) {
  return Add(characteristic_id, cccd, false);
}

int SubscriptionStates::Add(const char* characteristic_id, int32_t cccd, bool replace) {
  std::lock_guard<std::mutex> lock(mutex_);
  const char* id = TextOrEmpty(characteristic_id);
  const int32_t index = ids_.IndexOf(id, 0);
  if (index >= 0) return replace ? states_.SetAtInt(index, cccd) : 0;
  int rc = ids_.AddCString(id);
  if (rc != core::kOk) return rc;
  rc = states_.AddInt(cccd);
  if (rc != core::kOk) (void)ids_.RemoveAt(ids_.Count() - 1);
  return rc;
}

void SubscriptionStates::Forget(const char* characteristic_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t index = ids_.IndexOf(TextOrEmpty(characteristic_id), 0);
  if (index < 0) return;
  (void)ids_.RemoveAt(index);
  (void)states_.RemoveAt(index);
}

void SubscriptionStates::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  (void)ids_.Clear();
  (void)states_.Clear();
}

int32_t SubscriptionStates::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ids_.Count();
}

// ---- Value helpers ------------------------------------------------------------------------------------------

int CopyPlatformBytes(const bt::Bytes& bytes, core::BufferCore& out) {
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() - out.Length())) {
    return core::kOutOfMemory;
  }
  // Append grows the buffer first: on failure out keeps what it had.
  return out.Append(bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t MapPresentationFormatType(uint8_t format) {
  const std::shared_ptr<bt::BluetoothPlatform> platform = bt::Provider();
  for (int32_t position = 1; position <= 27; ++position) {
    const auto type = static_cast<bt::GattPresentationFormatType>(position);
    if (platform->GattPresentationFormatTypeValue(type) == format) return position;
  }
  return 0;
}

// ---- Presentation formats -----------------------------------------------------------------------------------

int32_t GattCharacteristicRecord::GetValueFormatCount() {
  return characteristic != nullptr ? static_cast<int32_t>(characteristic->PresentationFormats().size()) : 0;
}

int32_t GattCharacteristicRecord::GetValueFormatIndex() { return format_index; }

int GattCharacteristicRecord::SetValueFormatIndex(int32_t index) {
  const int32_t count = GetValueFormatCount();
  if (count == 0 && index == -1) return 0;
  if (index >= 0 && index < count) {
    format_index = index;
    // The formats count as loaded from now on: a lookup still under way (this Set from a sink inside it) must
    // not put back the first format once it ends.
    int32_t unloaded = 0;
    (void)formats_loaded.compare_exchange_strong(unloaded, 1);
    return 0;
  }
  return engine != nullptr ? engine->SetErrorText(kInvalidArgument, kInvalidFormatIndex) : kInvalidArgument;
}

namespace {

// SelectedFormat returns the format at the record's selected index, or null when none is selected (or the
// platform now reports fewer formats).
bool SelectedFormat(const GattCharacteristicRecord& record, bt::GattPresentationFormat* format) {
  if (record.format_index < 0 || record.characteristic == nullptr) return false;
  const std::vector<bt::GattPresentationFormat> formats = record.characteristic->PresentationFormats();
  if (static_cast<size_t>(record.format_index) >= formats.size()) return false;
  *format = formats[static_cast<size_t>(record.format_index)];
  return true;
}

}  // namespace

int32_t GattCharacteristicRecord::GetValueExponent() {
  bt::GattPresentationFormat format;
  return SelectedFormat(*this, &format) ? format.exponent : 0;
}

int32_t GattCharacteristicRecord::GetValueFormat() {
  bt::GattPresentationFormat format;
  return SelectedFormat(*this, &format) ? MapPresentationFormatType(format.format_type) : 0;
}

const char* GattCharacteristicRecord::GetValueUnit(core::Buffer& out) {
  (void)out.Clear();
  bt::GattPresentationFormat format;
  if (!SelectedFormat(*this, &format)) return out.Data();
  return UuidTextOf(bt::BluetoothBaseUuid(format.unit), out);
}

// ---- Reads --------------------------------------------------------------------------------------------------

int BLEClientEngine::LogRead(int32_t level, const char* log_type, const char* format, const char* id) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  core::Buffer text;
  (void)text.Format(format, TextOrEmpty(id));
  return FireLog(level, text.Data(), log_type);
}

int BLEClientEngine::ReadCharacteristic(GattCharacteristicRecord& record, bool from_device, core::BufferCore& out) {
  if (record.characteristic == nullptr) return SetErrorText(kNotDiscovered, kNoCharacteristicObject);
  const char* id = record.id.Data();
  const char* log_type = from_device ? kGattLogRead : kGattLogDebug;
  int rc = from_device ? LogRead(1, log_type, "Reading value for characteristic ID \"%s\".", id)
                       : LogRead(3, log_type, "Getting cached value for characteristic ID \"%s\".", id);
  if (rc != 0) return rc;
  // A Disconnect or Connect made in that Log line (a sink's) ended the connection before anything was asked:
  // nothing is asked of the old connection's objects.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  const std::shared_ptr<bt::GattReadResult> result =
      AwaitReadResult(*this, record.characteristic->ReadValueWithCacheModeAsync(CacheMode(from_device)));
  rc = ReportGattResultOf(*this, result, log_type);
  if (rc != 0) return rc;
  // A Disconnect or Connect meanwhile (a sink's, another thread's) made the value another connection's.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  rc = CopyPlatformBytes(result->Value(), out);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  if (!from_device) return 0;
  rc = LogRead(1, log_type, "Successfully read value for characteristic ID \"%s\".", id);
  if (rc != 0) return rc;
  // So did one made while the read told its success (in that Log line's sink, or a sink's on another thread).
  return TreeGeneration() != record.generation ? kParentNotListed : 0;
}

int BLEClientEngine::ReadDescriptor(GattDescriptorRecord& record, bool from_device, core::BufferCore& out) {
  if (record.descriptor == nullptr) return SetErrorText(kNotDiscovered, kNoDescriptorObject);
  const char* id = record.id.Data();
  const char* log_type = from_device ? kGattLogRead : kGattLogDebug;
  int rc = from_device ? LogRead(1, log_type, "Reading value for descriptor ID \"%s\".", id)
                       : LogRead(3, log_type, "Getting cached value for descriptor ID \"%s\".", id);
  if (rc != 0) return rc;
  // As for a characteristic's read.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  const std::shared_ptr<bt::GattReadResult> result =
      AwaitReadResult(*this, record.descriptor->ReadValueWithCacheModeAsync(CacheMode(from_device)));
  rc = ReportGattResultOf(*this, result, log_type);
  if (rc != 0) return rc;
  // A Disconnect or Connect meanwhile (a sink's, another thread's) made the value another connection's.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  rc = CopyPlatformBytes(result->Value(), out);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  // A CCCD read changes no listed subscription state: the device's CCCD may be on for another client, and
  // says nothing of this client's own subscription.
  if (!from_device) return 0;
  rc = LogRead(1, log_type, "Successfully read value for descriptor ID \"%s\".", id);
  if (rc != 0) return rc;
  // So did one made while the read told its success (in that Log line's sink, or a sink's on another thread).
  return TreeGeneration() != record.generation ? kParentNotListed : 0;
}

int BLEClientEngine::ReadValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                               const uint8_t** value, int32_t* length) {
  ClearOutputs(value, length);
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  descriptor_id = TextOrEmpty(descriptor_id);
  ValueTarget target;
  int rc = ResolveValueTarget(service_id, characteristic_id, descriptor_id, target);
  if (rc != 0) return rc;
  core::Buffer read;
  rc = target.descriptor != nullptr ? ReadDescriptor(*target.descriptor, true, read)
                                    : ReadCharacteristic(*target.characteristic, true, read);
  if (rc != 0) return rc;
  const char* description = target.Description();
  core::Buffer uuid;
  (void)UuidTextOf(target.Uuid(), uuid);
  rc = FireValue(service_id, characteristic_id, descriptor_id, uuid.Data(), description, read.Bytes(), read.Length());
  if (rc != 0) return rc;
  return HandOutValue(*this, read, value, length);
}

int BLEClientEngine::ReadCharacteristicCached(int32_t characteristic_index, const uint8_t** value,
                                              int32_t* length) {
  ClearOutputs(value, length);
  if (EventConnectionEnded()) return kParentNotListed;  // a late event's sink (see EventOfConnection)
  std::shared_ptr<GattCharacteristicRecord> record;
  int rc = CharacteristicAt(characteristic_index, &record);
  if (rc == core::kOutOfRange) return SetErrorText(rc, kCharacteristicIndexText);
  if (rc != 0) return ReportOutOfMemory(rc);
  core::Buffer read;
  rc = ReadCharacteristic(*record, false, read);
  return rc != 0 ? rc : HandOutValue(*this, read, value, length);
}

int BLEClientEngine::ReadDescriptorCached(int32_t descriptor_index, const uint8_t** value, int32_t* length) {
  ClearOutputs(value, length);
  if (EventConnectionEnded()) return kParentNotListed;
  std::shared_ptr<GattDescriptorRecord> record;
  int rc = DescriptorAt(descriptor_index, &record);
  if (rc == core::kOutOfRange) return SetErrorText(rc, kDescriptorIndexText);
  if (rc != 0) return ReportOutOfMemory(rc);
  core::Buffer read;
  rc = ReadDescriptor(*record, false, read);
  return rc != 0 ? rc : HandOutValue(*this, read, value, length);
}

// ---- Subscription state -------------------------------------------------------------------------------------

int BLEClientEngine::GetCccdState(int32_t characteristic_index, int32_t* state) {
  if (state != nullptr) *state = 0;
  if (EventConnectionEnded()) return kParentNotListed;
  // No selected service, or an index outside its characteristics, is an index error.
  std::shared_ptr<GattCharacteristicRecord> record;
  const int rc = CharacteristicAt(characteristic_index, &record);
  if (rc == core::kOutOfRange) return SetErrorText(rc, kCharacteristicIndexText);
  if (rc != 0) return ReportOutOfMemory(rc);
  return GetCccdState(*record, state);
}

int BLEClientEngine::GetCccdState(GattCharacteristicRecord& record, int32_t* state) {
  if (state != nullptr) *state = 0;
  (void)record.LoadProperties();
  // An empty record has no flags, so it never reaches the platform.
  if ((record.flags & (kFlagNotify | kFlagIndicate)) == 0 || record.characteristic == nullptr) return 0;
  const char* id = record.id.Data();
  bool subscribed = false;
  if (subscriptions_.Find(id, &subscribed) != 0) {
    if (state != nullptr) *state = subscribed ? 1 : 0;
    return 0;
  }
  // Looked for until a lookup succeeds; the query reads the device's CCCD whether or not this one did.
  if (record.cccd_ensured == 0 && EnsureDescriptorDiscovered(record, kCccdUuid) == 0) record.cccd_ensured = 1;
  int rc = LogRead(3, kGattLogSubscriptions, "Getting CCCD state for characteristic ID \"%s\" from device.", id);
  if (rc != 0) return rc;
  // A Disconnect or Connect made in the lookup's or that Log line (a sink's) ended the connection before the
  // device was asked.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  const std::shared_ptr<bt::GattReadClientCharacteristicConfigurationDescriptorResult> result =
      AwaitCccdReadResult(*this, record.characteristic->ReadClientCharacteristicConfigurationDescriptorAsync());
  // A failed read stands for no state at all: its code is returned and nothing is listed, so that a later
  // query asks the device again.
  rc = ReportGattResultOf(*this, result, kGattLogSubscriptions);
  if (rc != 0) return rc;
  // A Disconnect or Connect meanwhile (a sink's, another thread's) made the answer another connection's.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  const int32_t cccd = static_cast<int32_t>(result->ClientCharacteristicConfigurationDescriptor());
  // What a Subscribe, an Unsubscribe, a CCCD write or a platform end listed while the read waited (a sink's,
  // or another thread's) is newer than the device's answer: it stands, and the query answers it.
  rc = ListSubscription(record, cccd, Listing::kFill);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  if (subscriptions_.Find(id, &subscribed) == 0) subscribed = cccd != 0;
  rc = LogRead(3, kGattLogSubscriptions, "Got CCCD state for characteristic ID \"%s\" from device.", id);
  if (rc != 0) return rc;
  // So did one made while the query told its answer (in that Log line's sink, or a sink's on another thread).
  if (TreeGeneration() != record.generation) return kParentNotListed;
  if (state != nullptr) *state = subscribed ? 1 : 0;
  return 0;
}

// ---- Notifications and indications --------------------------------------------------------------------------

void BLEClientEngine::OnValueChanged(const std::shared_ptr<bt::GattCharacteristic>& characteristic,
                                     const std::shared_ptr<bt::GattValueChangedEventArgs>& args) {
  if (characteristic == nullptr || args == nullptr) return;
  // The walk only reads the tree; a value for an object the tree does not hold is dropped.
  std::shared_ptr<GattCharacteristicRecord> record;
  core::Buffer service_id;
  EventDeliveries::Delivery delivery;
  if (FindCharacteristicByObject(characteristic.get(), &record, &service_id, &delivery) == 0) return;
  EventDeliveries::Delivery value_delivery;
  if (!AdmitValue(*record, value_delivery)) return;
  const EventOfConnection event(this, record->generation);
  (void)ProcessValueChanged(*record, service_id.Data(), args->CharacteristicValue());
}

bool BLEClientEngine::AdmitValue(GattCharacteristicRecord& record, EventDeliveries::Delivery& delivery) {
  // Under the lock that Unsubscribe stops the values under: a notification is either admitted before it
  // (and waited for) or dropped. One that comes while this client holds no subscription of its own (another
  // client's keeps the device notifying) is dropped too.
  std::lock_guard<std::mutex> lock(tree_mutex_);
  if (record.values_stopped) return false;
  delivery.Admit(record.values);
  return true;
}

bool BLEClientEngine::MayHoldSubscription(GattCharacteristicRecord& record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return !record.values_stopped || record.cccd_unsettled;
}

bool BLEClientEngine::StopValues(GattCharacteristicRecord& record, bool stop) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  const bool before = record.values_stopped;
  record.values_stopped = stop;
  // An end of the subscription held for a call still subscribing (a sink's Unsubscribe inside its
  // Subscribed) is that of a subscription this stop ends: it is told by the stop, not again after it.
  if (stop) record.lost = GattCharacteristicRecord::HeldEnd::kNone;
  return before;
}

// OnNotificationsLost ends a subscription of this client's that the platform can no longer serve (a
// services change, a session that ended): its notifications stop, the characteristic is listed as
// unsubscribed, and Error (610, with the platform's reason) and Unsubscribed tell the application. A
// characteristic this client holds no subscription of has nothing to end; one that a call is subscribing to
// (until it has fired its Subscribed) leaves the end to that call, whose Subscribed comes first.
void BLEClientEngine::OnNotificationsLost(const std::shared_ptr<bt::GattCharacteristic>& characteristic,
                                          const std::shared_ptr<bt::Inspectable>& args) {
  if (characteristic == nullptr || args == nullptr) return;
  std::shared_ptr<GattCharacteristicRecord> record;
  core::Buffer service_id;
  EventDeliveries::Delivery delivery;
  if (FindCharacteristicByObject(characteristic.get(), &record, &service_id, &delivery) == 0) return;
  core::Buffer reason;
  if (PlatformStringToText(args->ToString(), reason) != core::kOk) (void)reason.Clear();
  const auto numbered = std::dynamic_pointer_cast<bt::NotificationsLostArgs>(args);
  const uint64_t session = numbered != nullptr ? numbered->Session() : 0;
  uint64_t made = 0;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    using HeldEnd = GattCharacteristicRecord::HeldEnd;
    // The end of a subscription older than the one this client's last accepted write made (it came late,
    // after an Unsubscribe and a new Subscribe) ends nothing of this client's.
    if (session != 0 && session < record->session) return;
    if (record->subscribing > 0) {
      if (session > record->lost_session) record->lost_session = session;
      if (!record->values_stopped) {
        record->lost = HeldEnd::kEnded;
      } else if (record->lost == HeldEnd::kNone) {
        record->lost = HeldEnd::kUnheld;
      }
      if (record->lost_reason.Assign(reason) != core::kOk) (void)record->lost_reason.Clear();
      return;
    }
    if (record->values_stopped) return;
    record->values_stopped = true;
    made = record->made;
  }
  const EventOfConnection event(this, record->generation);
  ReportNotificationsLost(*record, made, service_id.Data(), reason.Data());
}

void BLEClientEngine::OnLateCccdOff(const std::shared_ptr<bt::GattCharacteristic>& characteristic, uint64_t write) {
  if (characteristic == nullptr) return;
  std::shared_ptr<GattCharacteristicRecord> record;
  core::Buffer service_id;
  EventDeliveries::Delivery delivery;
  if (FindCharacteristicByObject(characteristic.get(), &record, &service_id, &delivery) == 0) return;
  const EventOfConnection event(this, record->generation);
  bool held = false;
  uint64_t made = 0;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    // A later write (Subscribe, Unsubscribe, WriteValue) decides what the device does for this client.
    if (record->cccd_writes != write) return;
    record->cccd_unsettled = false;
    held = !record->values_stopped;
    record->values_stopped = true;
    record->lost = GattCharacteristicRecord::HeldEnd::kNone;
    made = record->made;
  }
  // A subscription made once the notifications had stopped (by a sink, or the application's thread) is newer
  // than this end: its state stands, and its Subscribed stays the last word.
  if (MadeSince(*record, made) || ListSubscription(*record, 0, Listing::kSet) != core::kOk || !held) return;
  (void)LogComposed(1, kGattLogSubscriptions, "Successfully unsubscribed from characteristic ID \"", record->id.Data(),
                    "\".");
  // A Disconnect or Connect made in that Log line ended the connection, with its subscriptions, without
  // Unsubscribed.
  if (MadeSince(*record, made) || TreeGeneration() != record->generation) return;
  core::Buffer uuid;
  (void)UuidTextOf(record->uuid, uuid);
  (void)FireUnsubscribed(service_id.Data(), record->id.Data(), uuid.Data(), record->description.Data());
}

bool BLEClientEngine::MadeSince(const GattCharacteristicRecord& record, uint64_t made) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return record.made != made;
}

void BLEClientEngine::ReportNotificationsLost(const GattCharacteristicRecord& record, uint64_t made,
                                              const char* service_id, const char* reason) {
  // A subscription made once the notifications had stopped (by a sink, or another thread) is newer than the
  // end: its state stands, and its Subscribed, told already, stays the last word.
  if (!MadeSince(record, made) && ListSubscription(record, 0, Listing::kSet) != core::kOk) return;
  core::Buffer text;
  (void)text.Format("Notifications of characteristic ID \"%s\" ended: %s.", record.id.Data(), reason);
  if (settings_.log_level.load(std::memory_order_relaxed) >= 2) (void)FireLog(2, text.Data(), kGattLogSubscriptions);
  // A Disconnect or Connect made in that Log line, or in the Error's sink, ended the connection with its
  // subscriptions, which tells no more of them.
  if (TreeGeneration() != record.generation) return;
  (void)FireError(kPlatformErrorCode, text.Data());
  // The Error's sink may have subscribed again: that Subscribed came after the end.
  if (MadeSince(record, made) || TreeGeneration() != record.generation) return;
  core::Buffer uuid;
  (void)UuidTextOf(record.uuid, uuid);
  (void)FireUnsubscribed(service_id, record.id.Data(), uuid.Data(), record.description.Data());
}

int BLEClientEngine::ProcessValueChanged(const GattCharacteristicRecord& record, const char* service_id,
                                         const bt::Bytes& value) {
  // The subscription state is left alone: only Subscribe, Unsubscribe, the CCCD writes, the first query and
  // the platform's end of a subscription change it. A notification may still be on its way after Unsubscribe
  // has recorded "unsubscribed", and must not record "subscribed" again while the device's CCCD is off.
  if (value.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return core::kOutOfMemory;
  // Only the record's fixed fields are read here (a platform thread); the UUID text is made aside.
  core::Buffer uuid;
  (void)UuidTextOf(record.uuid, uuid);
  return FireValue(service_id, record.id.Data(), "", uuid.Data(), record.description.Data(), value.data(),
                   static_cast<int32_t>(value.size()));
}

}  // namespace velmora::ble
