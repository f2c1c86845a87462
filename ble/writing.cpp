#include "ble/writing.h"

#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "ble/gatt_records.h"
#include "ble/gatt_result.h"
#include "ble/internal.h"
#include "ble/reading.h"
#include "ble/uuid_text.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

constexpr const char* kNoCharacteristicObject = "No characteristic has been discovered at this index.";
constexpr const char* kNoDescriptorObject = "No descriptor has been discovered at this index.";
constexpr const char* kNotSubscribable =
    "A characteristic cannot be subscribed to unless it has the 'Notify' and/or 'Indicate' flag set.";
constexpr const char* kNotWritableAuxiliaries =
    "A characteristic's user description cannot be changed unless it has the 'Writable Auxiliaries' flag set.";
constexpr const char* kIdSuffix = "\".";

const Guid kCccdGuid = bt::BluetoothBaseUuid(0x2902);
const Guid kUserDescriptionGuid = bt::BluetoothBaseUuid(0x2901);

// UuidTextOf sets out to the UUID text of uuid (empty when the conversion fails) and returns it.
const char* UuidTextOf(const Guid& uuid, core::BufferCore& out) {
  if (GuidToUuidText(uuid, out) != core::kOk) (void)out.Clear();
  return out.Data();
}

bool HasPushFlag(const GattCharacteristicRecord& record) {
  return (record.flags & (kFlagNotify | kFlagIndicate)) != 0;
}

// Accepted tells whether the device accepted a write (the result ReportGattResultOf gives 0 for).
bool Accepted(const std::shared_ptr<bt::GattWriteResult>& result) {
  return result != nullptr && result->Status() == bt::GattCommunicationStatus::Success;
}

}  // namespace

int BufferToIBuffer(const uint8_t* bytes, int32_t length, bt::Bytes& out) {
  try {
    if (bytes == nullptr || length < 1) {
      out.clear();
    } else {
      out.assign(bytes, bytes + length);
    }
  } catch (const std::bad_alloc&) {
    return core::kOutOfMemory;
  }
  return 0;
}

const char* BLEClientEngine::ComposeMessage(core::BufferCore& out, const char* prefix, const char* text,
                                            const char* suffix) {
  (void)out.SetString(TextOrEmpty(prefix));
  if (text != nullptr) (void)out.AppendCString(text);
  if (suffix != nullptr) (void)out.AppendCString(suffix);
  return out.Data();
}

class BLEClientEngine::OpenedValues {
 public:
  // For a call that turns the notifications of record on by a CCCD write (null: another write, nothing to
  // do), made before the write is asked for and ended once the call has fired its Subscribed (or failed):
  // the platform's end of the subscription that comes meanwhile is held for it (see
  // GattCharacteristicRecord::subscribing) and reported here, after the call's own events.
  OpenedValues(BLEClientEngine& engine, GattCharacteristicRecord* record) : engine_(engine), record_(record) {
    if (record_ == nullptr) return;
    std::lock_guard<std::mutex> lock(engine_.tree_mutex_);
    if (record_->subscribing++ == 0) {
      record_->lost = HeldEnd::kNone;
      record_->lost_session = 0;
    }
  }
  ~OpenedValues() {
    if (record_ == nullptr) return;
    core::Buffer reason;
    bool ended = false;
    uint64_t made = 0;
    {
      std::lock_guard<std::mutex> lock(engine_.tree_mutex_);
      // A write whose success was not reported made nothing, nor does the end that came for it.
      if (made_ && !kept_) {
        record_->values_stopped = true;
        if (record_->lost == HeldEnd::kEnded) record_->lost = HeldEnd::kUnheld;
      }
      if (--record_->subscribing > 0) return;
      // An end of the connection's tree that has gone with its connection tells the next one nothing.
      ended = record_->lost == HeldEnd::kEnded && engine_.gatt_tree_.Holds(record_->generation);
      record_->lost = HeldEnd::kNone;
      if (!ended) return;
      record_->values_stopped = true;
      made = record_->made;
      if (reason.Assign(record_->lost_reason) != core::kOk) (void)reason.Clear();
    }
    core::Buffer service_id;
    if (ServiceIdOf(record_->id.Data(), service_id) != core::kOk) return;
    engine_.ReportNotificationsLost(*record_, made, service_id.Data(), reason.Data());
  }
  OpenedValues(const OpenedValues&) = delete;
  OpenedValues& operator=(const OpenedValues&) = delete;

  // Answer takes the write's result. Only once the device has accepted the write do the notifications pass:
  // until then, and after a refusal, those that the device sends for another client's subscription are not
  // this client's. They pass before the result is reported (its Log line), so that the first ones of the new
  // subscription are not dropped while the sink logs; unless the platform has ended it meanwhile, which then
  // ends the subscription the write made.
  void Answer(const std::shared_ptr<bt::GattWriteResult>& result) {
    if (record_ == nullptr || !Accepted(result)) return;
    const uint64_t session = record_->characteristic->NotificationSession();
    std::lock_guard<std::mutex> lock(engine_.tree_mutex_);
    if (session > record_->session) record_->session = session;
    // An end held meanwhile of a subscription older than the one the write made or kept is none of its.
    if (record_->lost_session != 0 && record_->lost_session < record_->session) record_->lost = HeldEnd::kNone;
    if (!record_->values_stopped) return;
    made_ = true;
    if (record_->lost != HeldEnd::kNone) {
      record_->lost = HeldEnd::kEnded;
      return;
    }
    record_->values_stopped = false;
    ++record_->made;
  }
  // Made: the write made this client's subscription (it held none before).
  bool Made() const { return made_; }
  void Keep() { kept_ = true; }

 private:
  using HeldEnd = GattCharacteristicRecord::HeldEnd;

  BLEClientEngine& engine_;
  GattCharacteristicRecord* record_;
  bool made_ = false;
  bool kept_ = false;
};

class BLEClientEngine::FailedCccdWrite {
 public:
  // For a call that writes the CCCD of record (null: none) with on (turning notifications on) or not, made
  // before anything that may fail. Unless the call succeeds (Succeeded), it goes as a failed write: the device
  // may take a write that failed, or whose wait stopped, all the same. One that turned notifications on holds
  // nothing: 0 is listed where nothing was, so that the first query does not take a CCCD that its write may
  // have turned on after all (or another client holds on) for this client's. After one that turned them off
  // the state is not known any more and is taken off the list, so that the next query asks the device. A
  // write asked for that the device did not answer leaves the CCCD unsettled; one it accepted settles it.
  FailedCccdWrite(BLEClientEngine& engine, GattCharacteristicRecord* record, bool on)
      : engine_(engine), record_(record), on_(on) {}
  ~FailedCccdWrite() {
    if (record_ == nullptr) return;
    if (asked_ && !answered_) {
      std::lock_guard<std::mutex> lock(engine_.tree_mutex_);
      record_->cccd_unsettled = true;
    }
    // One that failed before its write was asked for (its CCCD lookup) turned nothing off.
    if (on_ || asked_) (void)engine_.ListSubscription(*record_, 0, on_ ? Listing::kFill : Listing::kForget);
  }
  FailedCccdWrite(const FailedCccdWrite&) = delete;
  FailedCccdWrite& operator=(const FailedCccdWrite&) = delete;

  // Asked: the write is about to be asked for; until Answer takes the device's answer, nothing tells what the
  // device did with it. It returns a late answer's handler for a write turning notifications off (see
  // OnLateCccdOff), none for one turning them on (a failed Subscribe holds nothing, whatever the device did).
  LateResult<bt::GattWriteResult> Asked() {
    asked_ = true;
    if (record_ == nullptr) return {};
    uint64_t write = 0;
    {
      std::lock_guard<std::mutex> lock(engine_.tree_mutex_);
      write = ++record_->cccd_writes;
    }
    if (on_ || record_->characteristic == nullptr) return {};
    return [bridge = std::weak_ptr<BLEEvent>(engine_.bridge_), platform = bt::Provider(),
            object = record_->characteristic, write](std::shared_ptr<bt::GattWriteResult> late) {
      const std::shared_ptr<BLEEvent> alive = bridge.lock();
      if (alive == nullptr || platform == nullptr || !Accepted(late)) return;
      alive->Post(*platform, [object, write](BLEClientEngine& engine) { engine.OnLateCccdOff(object, write); });
    };
  }
  // Answer takes the write's result. Only an answer of the device's tells what it did: an acceptance, or a
  // refusal (which changes nothing). No result (the wait stopped) or an unreachable device does not: the
  // platform may have given up on an answer that the device sends later (bluetoothd's timeout, say).
  void Answer(const std::shared_ptr<bt::GattWriteResult>& result) {
    if (record_ == nullptr || result == nullptr || result->Status() == bt::GattCommunicationStatus::Unreachable) {
      return;
    }
    answered_ = true;
    if (!Accepted(result)) return;
    std::lock_guard<std::mutex> lock(engine_.tree_mutex_);
    record_->cccd_unsettled = false;
  }
  void Succeeded() { record_ = nullptr; }

 private:
  using Listing = BLEClientEngine::Listing;

  BLEClientEngine& engine_;
  GattCharacteristicRecord* record_;
  const bool on_;
  bool asked_ = false;
  bool answered_ = false;
};

// LogComposed fires Log with prefix, id and suffix while LogLevel is level or more; the text is composed in
// a buffer of this call. Returns the firer's result, 0 when nothing is logged.
int BLEClientEngine::LogComposed(int32_t level, const char* log_type, const char* prefix, const char* id,
                                 const char* suffix) {
  if (settings_.log_level.load(std::memory_order_relaxed) < level) return 0;
  core::Buffer text;
  return FireLog(level, ComposeMessage(text, prefix, id, suffix), log_type);
}

// RequireListedService returns 0 when the id is in the service-id list (exactly), else 601 with its text.
int BLEClientEngine::RequireListedService(const char* service_id) {
  service_id = TextOrEmpty(service_id);
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (gatt_tree_.ServiceIndex(service_id) >= 0) return 0;
  }
  core::Buffer text;
  return SetErrorText(kNotDiscovered,
                      ComposeMessage(text, "No service with the ID \"", service_id, "\" has been discovered."));
}

// ---- Characteristic and descriptor writes ---------------------------------------------------------------------

int BLEClientEngine::WriteCharacteristic(GattCharacteristicRecord& record, const uint8_t* bytes, int32_t length,
                                         int32_t with_response) {
  if (record.characteristic == nullptr) return SetErrorText(kNotDiscovered, kNoCharacteristicObject);
  const bool respond = with_response != 0;
  const char* id = record.id.Data();
  int rc = LogComposed(1, kGattLogWrite,
                       respond ? "Writing value to characteristic ID \"" : "Posting value to characteristic ID \"", id,
                       kIdSuffix);
  if (rc != 0) return rc;
  // A Disconnect or Connect made in that Log line (a sink's) ended the connection before the write was asked
  // for: the device is not written after the program left it.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  bt::Bytes buffer;
  rc = BufferToIBuffer(bytes, length, buffer);
  if (rc != 0) return ReportOutOfMemory(rc);
  const bt::GattWriteOption option =
      respond ? bt::GattWriteOption::WriteWithResponse : bt::GattWriteOption::WriteWithoutResponse;
  const std::shared_ptr<bt::GattWriteResult> result =
      AwaitWriteResult(*this, record.characteristic->WriteValueWithResultAndOptionAsync(buffer, option));
  rc = ReportGattResultOf(*this, result, kGattLogWrite);
  if (rc != 0) return rc;
  // A Disconnect or Connect meanwhile (a sink's, another thread's) ended the connection the write was made in.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  (void)LogComposed(1, kGattLogWrite,
                    respond ? "Successfully wrote value to characteristic ID \""
                            : "Successfully posted value to characteristic ID \"",
                    id, kIdSuffix);
  // So did one made while the write told its success (in that Log line's sink, or a sink's on another thread).
  return TreeGeneration() != record.generation ? kParentNotListed : 0;
}

int BLEClientEngine::WriteDescriptor(GattDescriptorRecord& record, const uint8_t* bytes, int32_t length,
                                     ValuesWait* wait) {
  if (record.descriptor == nullptr) return SetErrorText(kNotDiscovered, kNoDescriptorObject);
  const char* id = record.id.Data();
  int rc = LogComposed(1, kGattLogWrite, "Writing value to descriptor ID \"", id, kIdSuffix);
  if (rc != 0) return rc;
  // As for a characteristic's write.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  bt::Bytes buffer;
  rc = BufferToIBuffer(bytes, length, buffer);
  if (rc != 0) return ReportOutOfMemory(rc);
  const bool cccd = record.uuid == kCccdGuid;
  const int32_t cccd_value = cccd && !buffer.empty() ? buffer[0] & 3 : 0;
  const bool subscribed = cccd_value != 0;
  core::Buffer characteristic_id;
  core::Buffer service_id;
  rc = cccd ? CharacteristicIdOf(id, characteristic_id) : core::kOk;
  if (rc == core::kOk && cccd) rc = ServiceIdOf(id, service_id);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  // A CCCD write that turns notifications on makes this client's own subscription, as Subscribe does; one
  // that turns them off ends it as Unsubscribe does.
  std::shared_ptr<GattCharacteristicRecord> notified;
  if (cccd && FindCharacteristic(service_id.Data(), characteristic_id.Data(), &notified) == 0) notified = nullptr;
  // Corrected as after a failed Subscribe or Unsubscribe.
  FailedCccdWrite failed(*this, notified.get(), subscribed);
  OpenedValues opened(*this, subscribed ? notified.get() : nullptr);
  LateResult<bt::GattWriteResult> late = failed.Asked();
  const std::shared_ptr<bt::GattWriteResult> result =
      AwaitWriteResult(*this, record.descriptor->WriteValueWithResultAsync(buffer), std::move(late));
  opened.Answer(result);
  failed.Answer(result);
  rc = ReportGattResultOf(*this, result, kGattLogWrite);
  if (rc != 0) return rc;
  failed.Succeeded();
  // A write that a Disconnect or Connect cut short tells no success; a CCCD write made or ended a subscription
  // of the old connection, which tells the next one nothing (as Subscribe and Unsubscribe are).
  if (TreeGeneration() != record.generation) return kParentNotListed;
  opened.Keep();
  // Told apart under the lock that the platform's end of a subscription takes: one that the platform ended
  // while the write waited has been reported ended already.
  const bool ended = !subscribed && notified != nullptr && EndValues(*notified, wait);
  // The state the write leaves is listed, whether or not a query came first (the device's CCCD may stay on
  // for another client), before its success is told: a call made there lists its own after it.
  if (cccd) {
    rc = notified != nullptr ? ListSubscription(*notified, cccd_value, Listing::kSet)
                             : subscriptions_.Update(characteristic_id.Data(), cccd_value, nullptr);
    if (rc != core::kOk) return ReportOutOfMemory(rc);
  }
  const uint64_t words = notified != nullptr ? SubscriptionWords(*notified) : 0;
  (void)LogComposed(1, kGattLogWrite, "Successfully wrote value to descriptor ID \"", id, kIdSuffix);
  if (!cccd) return 0;
  // A Disconnect or Connect made in that Log line (or meanwhile on another thread) cut the write short, as
  // above.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  // The events tell whether the write made or ended a subscription of this client's.
  if (!opened.Made() && !ended) return 0;
  std::shared_ptr<GattCharacteristicRecord> characteristic = notified;
  if (characteristic == nullptr) {
    rc = LookupCharacteristic(service_id.Data(), characteristic_id.Data(), &characteristic);
    if (rc != 0) return rc;
  }
  const uint64_t told = notified != nullptr ? words : SubscriptionWords(*characteristic);
  rc = LogComposed(1, kGattLogSubscriptions,
                   subscribed ? "Successfully subscribed to characteristic ID \""
                              : "Successfully unsubscribed from characteristic ID \"",
                   characteristic_id.Data(), kIdSuffix);
  if (rc != 0) return rc;
  return TellSubscription(*characteristic, told, subscribed, service_id.Data(), characteristic_id.Data());
}

int BLEClientEngine::WriteValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                                const uint8_t* value, int32_t length) {
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  descriptor_id = TextOrEmpty(descriptor_id);
  ValueTarget target;
  int rc = ResolveValueTarget(service_id, characteristic_id, descriptor_id, target);
  if (rc != 0) return rc;
  ValuesWait wait;
  rc = target.descriptor != nullptr ? WriteDescriptor(*target.descriptor, value, length, &wait)
                                    : WriteCharacteristic(*target.characteristic, value, length, 1);
  if (rc != 0) return rc;
  // So did one made while the write told its success (in its Log line's sink, or a sink's on another thread):
  // no WriteResponse of that connection comes after its Disconnected.
  if (TreeGeneration() != target.Generation()) return kParentNotListed;
  const char* description = target.Description();
  core::Buffer uuid;
  (void)UuidTextOf(target.Uuid(), uuid);
  rc = FireWriteResponse(service_id, characteristic_id, descriptor_id, uuid.Data(), description);
  return rc != 0 ? rc : ReportValuesLeft(wait.left);
}

int BLEClientEngine::PostValue(const char* service_id, const char* characteristic_id, const uint8_t* value,
                               int32_t length) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  if (characteristic_id[0] == '\0') return SetErrorText(kInvalidArgument, kNoCharacteristicId);
  if (service_id[0] == '\0') return SetErrorText(kInvalidArgument, kNoServiceId);
  rc = RequireListedService(service_id);
  if (rc != 0) return rc;
  std::shared_ptr<GattCharacteristicRecord> characteristic;
  rc = LookupCharacteristic(service_id, characteristic_id, &characteristic);
  return rc != 0 ? rc : WriteCharacteristic(*characteristic, value, length, 0);
}

// ---- Subscriptions --------------------------------------------------------------------------------------------

int BLEClientEngine::SetSubscription(GattCharacteristicRecord& record, int32_t subscribe, ValuesWait* wait) {
  (void)record.LoadProperties();
  if (!HasPushFlag(record)) return SetErrorText(kCharacteristicLacksFlag, kNotSubscribable);
  if (record.characteristic == nullptr) return SetErrorText(kNotDiscovered, kNoCharacteristicObject);
  const bool on = subscribe != 0;
  const char* id = record.id.Data();
  // The words told of the characteristic as this call begins: a Subscribe made in this call's first Log line
  // (or meanwhile on another thread) that made the subscription before this one's write leaves that write
  // nothing to tell.
  const uint64_t words_at_start = SubscriptionWords(record);
  using CccdValue = bt::GattClientCharacteristicConfigurationDescriptorValue;
  CccdValue value = CccdValue::None;
  if (on) {
    const bool prefer_indications = settings_.prefer_indications.load(std::memory_order_relaxed) != 0;
    value = (record.flags & kFlagNotify) == 0 || (prefer_indications && (record.flags & kFlagIndicate) != 0)
                ? CccdValue::Indicate
                : CccdValue::Notify;
  }
  int32_t listed_value = -1;
  (void)subscriptions_.Find(id, nullptr, &listed_value);
  bool held = false;
  bool unsettled = false;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    held = !record.values_stopped;
    unsettled = record.cccd_unsettled;
  }
  // Only a subscription that this client holds spares a Subscribe its write: a state listed from the
  // device's CCCD (the first query) may be another client's, which this one gets no Value of. One held with
  // the other kind (PreferIndications changed since) is written anew. Listed as unsubscribed with none held
  // (by a CCCD write of WriteValue, or an Unsubscribe whose wait ran out): the CCCD is not written again, but
  // the notifications end as on every Unsubscribe. Neither is spared after a write that the device may have
  // taken unanswered: what this client holds and lists may not be what the device does for it.
  if (!unsettled && (on ? held && listed_value == static_cast<int32_t>(value) : !held && listed_value == 0)) {
    if (!on) (void)EndValues(record, wait);
    return 0;
  }

  // A failed Subscribe, also in its CCCD lookup, holds no subscription; a failed Unsubscribe leaves the
  // subscription this client's (its notifications pass), but the device's CCCD unknown.
  FailedCccdWrite failed(*this, &record, on);
  int rc;
  if (record.cccd_ensured == 0) {
    rc = EnsureDescriptorDiscovered(record, kCccdUuid);
    if (rc != 0) return rc;
    record.cccd_ensured = 1;
  }
  rc = LogComposed(1, kGattLogSubscriptions,
                   on ? "Subscribing to characteristic ID \"" : "Unsubscribing from characteristic ID \"", id,
                   kIdSuffix);
  if (rc != 0) return rc;
  // A Disconnect or Connect made in that Log line (a sink's) ended the connection before the CCCD was written.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  OpenedValues opened(*this, on ? &record : nullptr);
  LateResult<bt::GattWriteResult> late = failed.Asked();
  const std::shared_ptr<bt::GattWriteResult> result = AwaitWriteResult(
      *this, record.characteristic->WriteClientCharacteristicConfigurationDescriptorWithResultAsync(value),
      std::move(late));
  opened.Answer(result);
  failed.Answer(result);
  rc = ReportGattResultOf(*this, result, kGattLogSubscriptions);
  if (rc != 0) return rc;
  failed.Succeeded();
  // A Disconnect or Connect made meanwhile (a sink's, or another thread's) has emptied the tree: the
  // subscription, or its end, was the old connection's, and tells the next one nothing. Cut short as a
  // discovery is.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  opened.Keep();
  // Held is asked again under the lock that the platform's end of a subscription takes: when that end came
  // while the write waited, it has reported the subscription ended (Error 610 and Unsubscribed), and this
  // Unsubscribe ends nothing more.
  const bool ended_meanwhile = !on && !EndValues(record, wait) && held;
  // Listed whether or not a query came first: the device's CCCD may stay on for another client.
  rc = ListSubscription(record, static_cast<int32_t>(value), Listing::kSet);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  const uint64_t words = SubscriptionWords(record);
  const bool told_already = on && !opened.Made() && words != words_at_start;
  rc = LogComposed(1, kGattLogSubscriptions,
                   on ? "Successfully subscribed to characteristic ID \""
                      : "Successfully unsubscribed from characteristic ID \"",
                   id, kIdSuffix);
  if (rc != 0 || ended_meanwhile) return rc;
  core::Buffer service_id;
  rc = ServiceIdOf(id, service_id);
  if (rc != core::kOk) return ReportOutOfMemory(rc);
  if (told_already) return TreeGeneration() != record.generation ? kParentNotListed : 0;
  // An end that the platform gave meanwhile follows (opened).
  return TellSubscription(record, words, on, service_id.Data(), id);
}

uint64_t BLEClientEngine::SubscriptionWords(GattCharacteristicRecord& record) {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  return record.words;
}

int BLEClientEngine::TellSubscription(GattCharacteristicRecord& record, uint64_t words, bool on,
                                      const char* service_id, const char* characteristic_id) {
  // What a call made while this one told its success (in its Log line's sink, or a sink's on another thread)
  // did comes after it: a Disconnect or Connect cut this one short; a later Subscribe, Unsubscribe or CCCD
  // write of the characteristic that told its own word has told the last one.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (record.words != words) return 0;
    ++record.words;
  }
  core::Buffer uuid;
  (void)UuidTextOf(record.uuid, uuid);
  return on ? FireSubscribed(service_id, characteristic_id, uuid.Data(), record.description.Data())
            : FireUnsubscribed(service_id, characteristic_id, uuid.Data(), record.description.Data());
}

bool BLEClientEngine::EndValues(GattCharacteristicRecord& record, ValuesWait* wait) {
  // From here on no notification of the characteristic reaches the sink; on the application's thread the
  // ones that platform threads are delivering are waited for (as Disconnect waits for the connection's), so
  // that none is in the sink once Unsubscribe has returned 0. A sink cannot wait: the platform thread it
  // holds may be the one that such a delivery waits behind.
  const bool held = !StopValues(record, true);
  if (OnPlatformEventThread()) return held;
  ValuesWait own;
  if (wait == nullptr) wait = &own;
  if (wait->deadline == 0) wait->deadline = platform::DeadlineClockMs() + BoundedWaitMs();
  if (!WaitForDeliveries(record.values, wait->deadline)) wait->left = true;
  return held;
}

int BLEClientEngine::ReportValuesLeft(bool values_left) {
  // The subscriptions have ended either way; 301 tells the caller that a notification that another thread
  // was still delivering may yet reach the sink.
  return values_left ? SetErrorText(kAwaitStopped, component::kTextTimeout) : 0;
}

int BLEClientEngine::Subscribe(const char* service_id, const char* characteristic_id) {
  int rc = RequireConnection();
  if (rc == 0) rc = RequireListedService(service_id);
  if (rc != 0) return rc;
  std::shared_ptr<GattCharacteristicRecord> characteristic;
  rc = LookupCharacteristic(service_id, characteristic_id, &characteristic);
  return rc != 0 ? rc : SetSubscription(*characteristic, 1, nullptr);
}

// UnsubscribeEach ends the subscriptions that this client holds among records, in order; the first failure
// ends the walk and is returned. The others are asked nothing of, but their notifications still in the sink
// (an Unsubscribe whose wait ran out) are waited for too. The waits share one Timeout.
int BLEClientEngine::UnsubscribeEach(const std::vector<std::shared_ptr<GattCharacteristicRecord>>& records) {
  ValuesWait wait;
  for (const std::shared_ptr<GattCharacteristicRecord>& record : records) {
    // Asked first: a characteristic that this client holds no subscription of has nothing to ask the
    // platform (not even its flags, whose first read looks for a descriptor), unless the device may hold
    // one for it after all (a CCCD write that it did not answer).
    if (!MayHoldSubscription(*record)) {
      (void)EndValues(*record, &wait);
      continue;
    }
    (void)record->LoadProperties();
    if (!HasPushFlag(*record)) continue;
    const int rc = SetSubscription(*record, 0, &wait);
    if (rc != 0) return rc;
  }
  return ReportValuesLeft(wait.left);
}

int BLEClientEngine::Unsubscribe(const char* service_id, const char* characteristic_id) {
  int rc = RequireConnection();
  if (rc != 0) return rc;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  if (service_id[0] == '\0' && characteristic_id[0] != '\0') return SetErrorText(kInvalidArgument, kNoServiceId);
  if (service_id[0] != '\0') {
    rc = RequireListedService(service_id);
    if (rc != 0) return rc;
  }
  if (characteristic_id[0] != '\0') {
    std::shared_ptr<GattCharacteristicRecord> characteristic;
    rc = LookupCharacteristic(service_id, characteristic_id, &characteristic);
    ValuesWait wait;
    if (rc == 0) rc = SetSubscription(*characteristic, 0, &wait);
    return rc != 0 ? rc : ReportValuesLeft(wait.left);
  }
  // The records are taken from the tree first: the tree mutex is never held across a platform wait.
  std::vector<std::shared_ptr<GattCharacteristicRecord>> records;
  try {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    // The characteristic lists run parallel to the service-id list.
    const int32_t first = service_id[0] != '\0' ? gatt_tree_.ServiceIndex(service_id) : 0;
    const int32_t end = service_id[0] != '\0' ? first + 1 : gatt_tree_.service_ids.Count();
    for (int32_t index = first; index >= 0 && index < end; ++index) {
      const CharacteristicArray* list = gatt_tree_.service_characteristics.Get(index);
      if (list == nullptr) continue;
      for (int32_t i = 0; i < list->Count(); ++i) {
        std::shared_ptr<GattCharacteristicRecord> record = RecordAt(*list, i);
        if (record != nullptr) records.push_back(std::move(record));
      }
    }
  } catch (const std::bad_alloc&) {
    return ReportOutOfMemory(core::kOutOfMemory);
  }
  return UnsubscribeEach(records);
}

// ---- User description ---------------------------------------------------------------------------------------------

int GattCharacteristicRecord::SetUserDescription(const char* text) {
  (void)LoadProperties();
  if ((flags & kFlagWritableAuxiliaries) == 0) {
    return engine != nullptr ? engine->SetErrorText(kCharacteristicLacksFlag, kNotWritableAuxiliaries)
                             : kCharacteristicLacksFlag;
  }
  // A lookup that failed reports its own failure; the next Set looks again.
  const int rc = EnsureUserDescriptionDescriptor();
  if (rc != 0) return rc;
  return engine != nullptr ? engine->WriteUserDescription(*this, text) : 0;
}

int BLEClientEngine::WriteUserDescription(GattCharacteristicRecord& record, const char* text) {
  const char* id = record.id.Data();
  std::shared_ptr<GattDescriptorRecord> descriptor;
  {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    // The descriptor the lookup found belongs to the record's connection, not to one made since.
    if (!gatt_tree_.Holds(record.generation)) return kParentNotListed;
    const int32_t index = gatt_tree_.CharacteristicIndex(id);
    const DescriptorArray* list = gatt_tree_.characteristic_descriptors.Get(index);
    for (int32_t i = 0; list != nullptr && i < list->Count(); ++i) {
      std::shared_ptr<GattDescriptorRecord> candidate = RecordAt(*list, i);
      if (candidate != nullptr && candidate->descriptor != nullptr && candidate->uuid == kUserDescriptionGuid) {
        descriptor = std::move(candidate);
        break;
      }
    }
  }
  if (descriptor == nullptr) {
    core::Buffer message;
    return SetErrorText(kNoUserDescriptionDescriptor,
                        ComposeMessage(message, "Characteristic with ID \"", id,
                                       "\" does not have a Characteristic User Description descriptor despite "
                                       "having the 'Writable Auxiliaries' flag set."));
  }
  int rc = LogComposed(3, kGattLogDebug, "Writing new value to User Description descriptor.", nullptr, nullptr);
  if (rc != 0) return rc;
  // As for a characteristic's write.
  if (TreeGeneration() != record.generation) return kParentNotListed;
  text = TextOrEmpty(text);
  bt::Bytes buffer;
  rc = BufferToIBuffer(reinterpret_cast<const uint8_t*>(text), platform::StrLen(text), buffer);
  if (rc != 0) return ReportOutOfMemory(rc);
  const std::shared_ptr<bt::GattWriteResult> result =
      AwaitWriteResult(*this, descriptor->descriptor->WriteValueWithResultAsync(buffer));
  // A result that never came is a failure too: the stopped wait's 301, or 606 when the platform gave none.
  rc = ReportGattResultOf(*this, result, kGattLogDebug);
  (void)LogComposed(3, kGattLogDebug,
                    rc != 0 ? "Failed to write new value to Characteristic User Description descriptor for "
                              "characteristic ID \""
                            : "Successfully wrote new value to Characteristic User Description descriptor for "
                              "characteristic ID \"",
                    id, kIdSuffix);
  // A Disconnect or Connect made in those Log lines (or meanwhile on another thread) cut the write short.
  if (rc == 0 && TreeGeneration() != record.generation) return kParentNotListed;
  return rc;
}

}  // namespace velmora::ble
