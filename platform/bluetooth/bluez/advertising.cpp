// Advertisement watchers over BlueZ discovery, and advertisements rebuilt from device properties.
#include <algorithm>
#include <utility>

#include "platform/bluetooth/bluez/objects.h"
#include "platform/bluetooth/sim/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

using Type = BluetoothLEAdvertisementDataType;
using Status = BluetoothLEAdvertisementWatcherStatus;

class ReceivedArgs final : public BluetoothLEAdvertisementReceivedEventArgs {
 public:
  ReceivedArgs(uint64_t address, int16_t rssi, std::shared_ptr<BluetoothLEAdvertisement> advertisement, uint64_t run)
      : address_(address),
        rssi_(rssi),
        advertisement_(std::move(advertisement)),
        timestamp_(sim::TimestampMs()),
        run_(run) {}
  uint64_t BluetoothAddress() override { return address_; }
  int16_t RawSignalStrengthInDBm() override { return rssi_; }
  // NOTE: bluetoothd merges advertising and scan-response data and does not tell the PDU type.
  BluetoothLEAdvertisementType AdvertisementType() override {
    return BluetoothLEAdvertisementType::ConnectableUndirected;
  }
  std::shared_ptr<BluetoothLEAdvertisement> Advertisement() override { return advertisement_; }
  int64_t Timestamp() override { return timestamp_; }
  uint64_t Run() override { return run_; }

 private:
  const uint64_t address_;
  const int16_t rssi_;
  const std::shared_ptr<BluetoothLEAdvertisement> advertisement_;
  const int64_t timestamp_;
  const uint64_t run_;
};

class StoppedArgs final : public BluetoothLEAdvertisementWatcherStoppedEventArgs {
 public:
  StoppedArgs(BluetoothError error, HString detail, uint64_t run)
      : error_(error), detail_(std::move(detail)), run_(run) {}
  BluetoothError Error() override { return error_; }
  HString Detail() override { return detail_; }
  uint64_t Run() override { return run_; }

 private:
  const BluetoothError error_;
  const HString detail_;
  const uint64_t run_;
};

// Powered tells whether the cached adapter is powered (an adapter that does not say counts as powered).
bool Powered(BluezCore& core, const std::string& adapter) {
  const std::optional<Props> props = core.PropsOf(adapter, kAdapterIface);
  if (!props) return true;
  auto powered = props->find("Powered");
  return powered == props->end() || powered->second.Bool();
}

// RefusalText says what bluetoothd answered to a discovery it refused.
HString RefusalText(const Reply& refusal) {
  const std::string text = "bluetoothd refused to discover: " + refusal.error +
                           (refusal.message.empty() ? "" : " \"" + refusal.message + "\"") + ".";
  return sim::Utf8ToHString(Bytes(text.begin(), text.end()));
}

void Append(std::vector<BluetoothLEAdvertisementDataSection>* out, uint8_t type, Bytes data) {
  out->push_back({type, std::move(data)});
}

}  // namespace

std::vector<BluetoothLEAdvertisementDataSection> RebuildSections(const Props& device) {
  std::vector<BluetoothLEAdvertisementDataSection> sections;
  auto find = [&](const char* key) -> const Value* {
    auto found = device.find(key);
    return found == device.end() ? nullptr : &found->second;
  };
  if (const Value* flags = find("AdvertisingFlags"); flags != nullptr && !flags->AsBytes().empty()) {
    Append(&sections, static_cast<uint8_t>(Type::Flags), {flags->AsBytes()[0]});
  }
  if (const Value* name = find("Name"); name != nullptr && !name->text.empty()) {
    Append(&sections, static_cast<uint8_t>(Type::CompleteLocalName), Bytes(name->text.begin(), name->text.end()));
  }
  if (const Value* power = find("TxPower"); power != nullptr) {
    Append(&sections, static_cast<uint8_t>(Type::TxPowerLevel), {static_cast<uint8_t>(power->number)});
  }
  if (const Value* uuids = find("UUIDs"); uuids != nullptr) {
    // One complete list per width, each UUID in its smallest form.
    Bytes lists[3];
    for (const std::string& text : uuids->Texts()) {
      const std::optional<Guid> uuid = ParseUuid(text);
      if (!uuid) continue;
      const Bytes bytes = UuidLittleEndian(*uuid);
      Bytes& list = lists[bytes.size() == 2 ? 0 : bytes.size() == 4 ? 1 : 2];
      list.insert(list.end(), bytes.begin(), bytes.end());
    }
    const Type types[3] = {Type::CompleteService16BitUuids, Type::CompleteService32BitUuids,
                           Type::CompleteService128BitUuids};
    for (int i = 0; i < 3; ++i) {
      if (!lists[i].empty()) Append(&sections, static_cast<uint8_t>(types[i]), lists[i]);
    }
  }
  if (const Value* data = find("ServiceData"); data != nullptr) {
    for (const Value& entry : data->items) {
      const std::optional<Guid> uuid = entry.items.size() == 2 ? ParseUuid(entry.items[0].text) : std::nullopt;
      if (!uuid) continue;
      Bytes bytes = UuidLittleEndian(*uuid);
      const Type type = bytes.size() == 2   ? Type::ServiceData16BitUuids
                        : bytes.size() == 4 ? Type::ServiceData32BitUuids
                                            : Type::ServiceData128BitUuids;
      const Bytes payload = entry.items[1].AsBytes();
      bytes.insert(bytes.end(), payload.begin(), payload.end());
      Append(&sections, static_cast<uint8_t>(type), std::move(bytes));
    }
  }
  if (const Value* data = find("ManufacturerData"); data != nullptr) {
    for (const Value& entry : data->items) {
      if (entry.items.size() != 2) continue;
      const auto company = static_cast<uint16_t>(entry.items[0].number);
      Bytes bytes = {static_cast<uint8_t>(company), static_cast<uint8_t>(company >> 8)};
      const Bytes payload = entry.items[1].AsBytes();
      bytes.insert(bytes.end(), payload.begin(), payload.end());
      Append(&sections, static_cast<uint8_t>(Type::ManufacturerSpecificData), std::move(bytes));
    }
  }
  if (const Value* data = find("AdvertisingData"); data != nullptr) {
    for (const Value& entry : data->items) {
      if (entry.items.size() == 2) {
        Append(&sections, static_cast<uint8_t>(entry.items[0].number), entry.items[1].AsBytes());
      }
    }
  }
  return sections;
}

// ---- BluezWatcher

BluetoothLEAdvertisementWatcherStatus BluezWatcher::Status() {
  std::lock_guard lock(mutex_);
  return status_;
}

void BluezWatcher::SetAdvertisementFilter(std::shared_ptr<BluetoothLEAdvertisementFilter> filter) {
  std::vector<Guid> uuids;
  if (filter != nullptr) {
    if (auto pattern = filter->Advertisement()) uuids = pattern->ServiceUuids();
  }
  std::lock_guard lock(mutex_);
  filter_uuids_ = std::move(uuids);
}

// NOTE: bluetoothd always scans actively (see BluezPlatform::SupportsPassiveScanning).
void BluezWatcher::SetScanningMode(BluetoothLEScanningMode) {}

void BluezWatcher::Start() {
  std::vector<Guid> uuids;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (status_ == Status::Started || status_ == Status::Stopping || starting_) return;
    ++run_;
    starting_ = true;
    generation = ++generation_;
    uuids = filter_uuids_;
    passed_.clear();
  }
  auto self = shared_from_this();
  auto core = core_;
  const bool posted = core->Post([self, core, uuids, generation] {
    core->WithObjects([self, uuids, generation] { self->Join(uuids, generation); });
  });
  if (!posted) End(Status::Aborted, BluetoothError::RadioNotAvailable);
}

void BluezWatcher::Join(const std::vector<Guid>& uuids, uint64_t generation) {
  {
    // A Stop that came meanwhile has ended this run already.
    std::lock_guard lock(mutex_);
    if (!starting_ || generation_ != generation) return;
  }
  const std::string adapter = core_->AdapterPath();
  if (adapter.empty()) return End(Status::Aborted, BluetoothError::RadioNotAvailable);
  auto self = shared_from_this();
  user_ = core_->discovery().Join(uuids, [self, adapter, generation](const Reply* refusal) {
    if (refusal == nullptr) {
      std::lock_guard lock(self->mutex_);
      if (!self->starting_ || self->generation_ != generation) return;
      self->starting_ = false;
      self->status_ = Status::Started;
      return;
    }
    self->user_ = 0;
    // NOTE: bluetoothd answers NotReady while the adapter is off; powering it on is left to the user.
    const bool off = refusal->error == "org.bluez.Error.NotReady" || !Powered(*self->core_, adapter);
    self->End(Status::Aborted, ScanErrorOf(*refusal), off ? HString(kPoweredOffText) : RefusalText(*refusal));
  });
}

void BluezWatcher::Leave() { core_->discovery().Leave(user_.exchange(0)); }

BluezWatcher::~BluezWatcher() {
  // A watcher let go while it ran gives up its part in the discovery session.
  const uint64_t user = user_.load();
  if (user != 0) (void)core_->Post([core = core_, user] { core->discovery().Leave(user); });
}

// The watcher ends at once; bluetoothd's discovery goes on as long as other scans of the process want it,
// and otherwise ends as soon as bluetoothd allows.
void BluezWatcher::Stop() { StopRun(0); }

void BluezWatcher::StopRun(uint64_t run) {
  {
    std::lock_guard lock(mutex_);
    // 0: whichever run the watcher has.
    if (run != 0 && run != run_) return;
    ++generation_;
    const bool running = status_ == Status::Started || starting_;
    starting_ = false;
    if (!running) return;
    status_ = Status::Stopping;
  }
  auto self = shared_from_this();
  const bool posted = core_->Post([self] {
    self->Leave();
    self->End(Status::Stopped, BluetoothError::Success);
  });
  if (!posted) End(Status::Stopped, BluetoothError::Success);
}

void BluezWatcher::Abort(BluetoothError error, const HString& detail) {
  Leave();
  End(Status::Aborted, error, detail);
}

uint64_t BluezWatcher::Run() {
  std::lock_guard lock(mutex_);
  return run_;
}

std::shared_ptr<BluetoothLEAdvertisementWatcherStoppedEventArgs> BluezWatcher::LastStopped() {
  std::lock_guard lock(mutex_);
  return last_stopped_;
}

EventToken BluezWatcher::AddReceived(
    TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs> handler) {
  std::lock_guard lock(mutex_);
  return received_.Add(core_->NextToken(), std::move(handler));
}

void BluezWatcher::RemoveReceived(EventToken token) {
  decltype(received_)::Handler removed;  // let go after the lock
  std::lock_guard lock(mutex_);
  removed = received_.Remove(token);
}

EventToken BluezWatcher::AddStopped(
    TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs> handler) {
  std::lock_guard lock(mutex_);
  return stopped_.Add(core_->NextToken(), std::move(handler));
}

void BluezWatcher::RemoveStopped(EventToken token) {
  decltype(stopped_)::Handler removed;  // let go after the lock
  std::lock_guard lock(mutex_);
  removed = stopped_.Remove(token);
}

void BluezWatcher::Offer(uint64_t address, int16_t rssi,
                         const std::vector<BluetoothLEAdvertisementDataSection>& sections) {
  std::lock_guard lock(mutex_);
  if (status_ != Status::Started) return;
  auto advertisement = std::make_shared<sim::SimAdvertisement>(core_->sim, sections);
  // bluetoothd passes a device advertising any of the filter's UUIDs; this filter wants all of them. The
  // sections are rebuilt from what bluetoothd heard of the device, its advertising data and scan response
  // together; once they carried every UUID, the device passes for the rest of the run.
  if (!filter_uuids_.empty() && passed_.count(address) == 0) {
    const std::vector<Guid>& have = advertisement->ServiceUuidsLocked();
    for (const Guid& wanted : filter_uuids_) {
      if (std::find(have.begin(), have.end(), wanted) == have.end()) return;
    }
    passed_.insert(address);
  }
  core_->sim->Fire(received_.List(), std::shared_ptr<BluetoothLEAdvertisementWatcher>(shared_from_this()),
                   std::shared_ptr<BluetoothLEAdvertisementReceivedEventArgs>(
                       std::make_shared<ReceivedArgs>(address, rssi, std::move(advertisement), run_)));
}

void BluezWatcher::End(BluetoothLEAdvertisementWatcherStatus status, BluetoothError error, const HString& detail) {
  std::lock_guard lock(mutex_);
  if (status_ != Status::Started && status_ != Status::Stopping && !starting_) return;
  ++generation_;
  starting_ = false;
  status_ = status;
  last_stopped_ = std::make_shared<StoppedArgs>(error, detail, run_);
  core_->sim->Fire(stopped_.List(), std::shared_ptr<BluetoothLEAdvertisementWatcher>(shared_from_this()),
                   last_stopped_);
}

}  // namespace velmora::platform::bluetooth::bluez
