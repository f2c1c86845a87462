// Simulated adapter, advertisements, filters and advertisement watchers.
#include <algorithm>
#include <utility>

#include "platform/bluetooth/sim/objects.h"

namespace velmora::platform::bluetooth::sim {
namespace {

using Type = BluetoothLEAdvertisementDataType;

uint32_t LittleEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

// AppendServiceUuids adds the UUIDs of one service UUID list section; a trailing partial UUID is ignored.
void AppendServiceUuids(const BluetoothLEAdvertisementDataSection& section, std::vector<Guid>* out) {
  const auto type = static_cast<Type>(section.data_type);
  const size_t width = (type == Type::IncompleteService16BitUuids || type == Type::CompleteService16BitUuids)   ? 2
                       : (type == Type::IncompleteService32BitUuids || type == Type::CompleteService32BitUuids) ? 4
                                                                                                                : 16;
  const Bytes& d = section.data;
  for (size_t at = 0; at + width <= d.size(); at += width) {
    if (width < 16) {
      out->push_back(BluetoothBaseUuid(LittleEndian(&d[at], width)));
      continue;
    }
    // A 128-bit UUID travels least significant byte first (Vol 3 Part C 11.1.1): the 16 bytes reversed.
    const uint8_t* b = &d[at];
    Guid uuid;
    uuid.data1 = (uint32_t{b[15]} << 24) | (uint32_t{b[14]} << 16) | (uint32_t{b[13]} << 8) | b[12];
    uuid.data2 = static_cast<uint16_t>((b[11] << 8) | b[10]);
    uuid.data3 = static_cast<uint16_t>((b[9] << 8) | b[8]);
    for (int i = 0; i < 8; ++i) uuid.data4[i] = b[7 - i];
    out->push_back(uuid);
  }
}

class SimReceivedArgs final : public BluetoothLEAdvertisementReceivedEventArgs {
 public:
  SimReceivedArgs(std::shared_ptr<SimCore> core, uint64_t address, int16_t rssi, BluetoothLEAdvertisementType type,
                  std::shared_ptr<BluetoothLEAdvertisement> advertisement, uint64_t run)
      : core_(std::move(core)),
        address_(address),
        rssi_(rssi),
        type_(type),
        advertisement_(std::move(advertisement)),
        timestamp_(TimestampMs()),
        run_(run) {}

  uint64_t BluetoothAddress() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementReceivedEventArgs.BluetoothAddress", .address = address_});
    return address_;
  }
  int16_t RawSignalStrengthInDBm() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementReceivedEventArgs.RawSignalStrengthInDBm"});
    return rssi_;
  }
  BluetoothLEAdvertisementType AdvertisementType() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementReceivedEventArgs.AdvertisementType"});
    return type_;
  }
  std::shared_ptr<BluetoothLEAdvertisement> Advertisement() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementReceivedEventArgs.Advertisement"});
    return advertisement_;
  }
  // NOTE: the time stamp and the run are read for every advertisement before the client decides to drop it,
  // by a thread that may have fallen behind: as on a real platform they are plain fields of the event,
  // read without the radio's lock and not journaled, so that dropping costs next to nothing.
  int64_t Timestamp() override { return timestamp_; }
  uint64_t Run() override { return run_; }

 private:
  std::shared_ptr<SimCore> core_;
  const uint64_t address_;
  const int16_t rssi_;
  const BluetoothLEAdvertisementType type_;
  const std::shared_ptr<BluetoothLEAdvertisement> advertisement_;
  const int64_t timestamp_;
  const uint64_t run_;
};

class SimStoppedArgs final : public BluetoothLEAdvertisementWatcherStoppedEventArgs {
 public:
  SimStoppedArgs(std::shared_ptr<SimCore> core, BluetoothError error, uint64_t run)
      : core_(std::move(core)), error_(error), run_(run) {}
  BluetoothError Error() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcherStoppedEventArgs.Error"});
    return error_;
  }
  uint64_t Run() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcherStoppedEventArgs.Run"});
    return run_;
  }

 private:
  std::shared_ptr<SimCore> core_;
  const BluetoothError error_;
  const uint64_t run_;
};

class SimFilter final : public BluetoothLEAdvertisementFilter {
 public:
  explicit SimFilter(std::shared_ptr<SimCore> core) : core_(std::move(core)) {}
  std::shared_ptr<BluetoothLEAdvertisement> Advertisement() override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementFilter.Advertisement"});
    return advertisement_;
  }
  void SetAdvertisement(std::shared_ptr<BluetoothLEAdvertisement> advertisement) override {
    auto lock = core_->Call({.api = "BluetoothLEAdvertisementFilter.SetAdvertisement"});
    advertisement_ = std::move(advertisement);
  }
  // PassesLocked: without an advertisement everything passes; otherwise the advertising packet and the scan
  // response (null when none was received) must carry every UUID between them.
  bool PassesLocked(const SimAdvertisement& advert, const SimAdvertisement* response) const {
    const auto* pattern = dynamic_cast<const SimAdvertisement*>(advertisement_.get());
    if (pattern == nullptr) return true;
    auto carries = [](const SimAdvertisement* packet, const Guid& uuid) {
      if (packet == nullptr) return false;
      const std::vector<Guid>& have = packet->ServiceUuidsLocked();
      return std::find(have.begin(), have.end(), uuid) != have.end();
    };
    for (const Guid& wanted : pattern->ServiceUuidsLocked()) {
      if (!carries(&advert, wanted) && !carries(response, wanted)) return false;
    }
    return true;
  }

 private:
  std::shared_ptr<SimCore> core_;
  std::shared_ptr<BluetoothLEAdvertisement> advertisement_;
};

class SimAdapterObject final : public BluetoothAdapter {
 public:
  SimAdapterObject(std::shared_ptr<SimCore> core, bool low_energy) : core_(std::move(core)), low_energy_(low_energy) {}
  bool IsLowEnergySupported() override {
    auto lock = core_->Call({.api = "BluetoothAdapter.IsLowEnergySupported"});
    return low_energy_;
  }

 private:
  std::shared_ptr<SimCore> core_;
  const bool low_energy_;
};

}  // namespace

bool ParseAdvertisingData(std::span<const uint8_t> data, std::vector<BluetoothLEAdvertisementDataSection>* out) {
  std::vector<BluetoothLEAdvertisementDataSection> sections;
  size_t at = 0;
  while (at < data.size() && data[at] != 0) {
    const size_t length = data[at];
    if (at + 1 + length > data.size()) return false;
    sections.push_back({data[at + 1], Bytes(data.begin() + at + 2, data.begin() + at + 1 + length)});
    at += 1 + length;
  }
  *out = std::move(sections);
  return true;
}

std::shared_ptr<BluetoothLEAdvertisementFilter> MakeFilter(std::shared_ptr<SimCore> core) {
  return std::make_shared<SimFilter>(std::move(core));
}

std::shared_ptr<BluetoothAdapter> MakeAdapter(std::shared_ptr<SimCore> core, bool low_energy) {
  return std::make_shared<SimAdapterObject>(std::move(core), low_energy);
}

// ---- SimAdvertisement

SimAdvertisement::SimAdvertisement(std::shared_ptr<SimCore> core,
                                   std::vector<BluetoothLEAdvertisementDataSection> sections)
    : core_(std::move(core)), sections_(std::move(sections)) {
  const BluetoothLEAdvertisementDataSection* shortened_name = nullptr;
  bool have_complete_name = false;
  for (const auto& section : sections_) {
    switch (static_cast<Type>(section.data_type)) {
      case Type::Flags:
        if (!flags_ && !section.data.empty()) flags_ = section.data[0];
        break;
      case Type::IncompleteService16BitUuids:
      case Type::CompleteService16BitUuids:
      case Type::IncompleteService32BitUuids:
      case Type::CompleteService32BitUuids:
      case Type::IncompleteService128BitUuids:
      case Type::CompleteService128BitUuids:
        AppendServiceUuids(section, &service_uuids_);
        break;
      case Type::ShortenedLocalName:
        if (shortened_name == nullptr) shortened_name = &section;
        break;
      case Type::CompleteLocalName:
        if (!have_complete_name) local_name_ = Utf8ToHString(section.data);
        have_complete_name = true;
        break;
      case Type::ManufacturerSpecificData:
        if (section.data.size() >= 2) {
          manufacturer_data_.push_back({static_cast<uint16_t>(LittleEndian(section.data.data(), 2)),
                                        Bytes(section.data.begin() + 2, section.data.end())});
        }
        break;
      default:
        break;
    }
  }
  if (!have_complete_name && shortened_name != nullptr) local_name_ = Utf8ToHString(shortened_name->data);
}

HString SimAdvertisement::LocalName() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.LocalName"});
  return local_name_;
}

std::optional<uint32_t> SimAdvertisement::Flags() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.Flags"});
  return flags_;
}

std::vector<Guid> SimAdvertisement::ServiceUuids() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.ServiceUuids"});
  return service_uuids_;
}

void SimAdvertisement::AppendServiceUuid(const Guid& uuid) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.ServiceUuids.Append", .uuid = uuid});
  service_uuids_.push_back(uuid);
}

std::vector<BluetoothLEManufacturerData> SimAdvertisement::ManufacturerData() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.ManufacturerData"});
  return manufacturer_data_;
}

std::vector<BluetoothLEAdvertisementDataSection> SimAdvertisement::GetSectionsByType(uint8_t type) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.GetSectionsByType", .mode = type});
  std::vector<BluetoothLEAdvertisementDataSection> found;
  for (const auto& section : sections_) {
    if (section.data_type == type) found.push_back(section);
  }
  return found;
}

std::vector<BluetoothLEAdvertisementDataSection> SimAdvertisement::DataSections() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.DataSections"});
  return sections_;
}

// ---- SimWatcher

BluetoothLEAdvertisementWatcherStatus SimWatcher::Status() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.Status"});
  return status_;
}

void SimWatcher::SetAdvertisementFilter(std::shared_ptr<BluetoothLEAdvertisementFilter> filter) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.SetAdvertisementFilter"});
  filter_ = std::move(filter);
  passed_.clear();
}

void SimWatcher::SetScanningMode(BluetoothLEScanningMode mode) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.SetScanningMode", .mode = static_cast<int>(mode)});
  mode_ = mode;
}

void SimWatcher::Start() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.Start"});
  using S = BluetoothLEAdvertisementWatcherStatus;
  if (status_ == S::Started || status_ == S::Stopping) return;
  ++run_;
  passed_.clear();
  const uint64_t generation = ++start_generation_;
  const int64_t delay = core_->watcher_start_delay_ms;
  start_pending_ = delay != 0;
  if (delay == 0) {
    status_ = S::Started;
  } else if (delay > 0) {
    // On the radio's own thread, as the stop.
    core_->completions.Post(
        [weak = weak_from_this(), generation] {
          auto self = weak.lock();
          if (self == nullptr) return;
          std::lock_guard inner(self->core_->mutex);
          if (self->start_pending_ && self->start_generation_ == generation) self->ForceStartedLocked();
        },
        delay);
  }
}

void SimWatcher::Stop() { StopRun(0); }

void SimWatcher::StopRun(uint64_t run) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.Stop"});
  using S = BluetoothLEAdvertisementWatcherStatus;
  // 0: whichever run the watcher has.
  if (run != 0 && run != run_) return;
  ++start_generation_;
  // A start still under way is stopped as a running scan is: Stopping, then Stopped with its event.
  const bool starting = start_pending_;
  start_pending_ = false;
  if (status_ != S::Started && !starting) return;
  status_ = S::Stopping;
  // The radio ends the scan on its own thread, the one that runs its periodic activity, not behind the events
  // queued for delivery: a backlog of another client's notifications for a busy sink must not hold this stop.
  // The Stopped event still follows the events received before it.
  core_->completions.Post(
      [self = shared_from_this()] {
        std::lock_guard inner(self->core_->mutex);
        if (self->status_ == S::Stopping) self->EndLocked(S::Stopped, BluetoothError::Success);
      },
      core_->watcher_stop_delay_ms);
}

uint64_t SimWatcher::Run() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.Run"});
  return run_;
}

std::shared_ptr<BluetoothLEAdvertisementWatcherStoppedEventArgs> SimWatcher::LastStopped() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.LastStopped"});
  return last_stopped_;
}

EventToken SimWatcher::AddReceived(
    TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs> handler) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.AddReceived"});
  return received_.Add(core_->NextToken(), std::move(handler));
}

void SimWatcher::RemoveReceived(EventToken token) {
  decltype(received_)::Handler removed;  // let go after the lock
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.RemoveReceived"});
  removed = received_.Remove(token);
}

EventToken SimWatcher::AddStopped(
    TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs> handler) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.AddStopped"});
  return stopped_.Add(core_->NextToken(), std::move(handler));
}

void SimWatcher::RemoveStopped(EventToken token) {
  decltype(stopped_)::Handler removed;  // let go after the lock
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.RemoveStopped"});
  removed = stopped_.Remove(token);
}

bool SimWatcher::PassesLocked(uint64_t address, const SimAdvertisement& advert,
                              const std::optional<SimAdvert>& scan_response) {
  const auto* filter = dynamic_cast<const SimFilter*>(filter_.get());
  if (filter == nullptr || passed_.contains(address)) return true;
  // Only an active scan receives the scan response, so only there does it count.
  std::optional<SimAdvertisement> response;
  if (scan_response && mode_ == BluetoothLEScanningMode::Active) response.emplace(core_, scan_response->sections);
  if (!filter->PassesLocked(advert, response ? &*response : nullptr)) return false;
  passed_.insert(address);
  return true;
}

void SimWatcher::OfferLocked(uint64_t address, const SimAdvert& advert, const std::optional<SimAdvert>& scan_response) {
  if (status_ != BluetoothLEAdvertisementWatcherStatus::Started) return;
  auto advertisement = std::make_shared<SimAdvertisement>(core_, advert.sections);
  if (!PassesLocked(address, *advertisement, scan_response)) return;
  std::shared_ptr<BluetoothLEAdvertisementWatcher> sender = shared_from_this();
  core_->Fire(received_.List(), sender,
              std::shared_ptr<BluetoothLEAdvertisementReceivedEventArgs>(std::make_shared<SimReceivedArgs>(
                  core_, address, advert.rssi, advert.type, std::move(advertisement), run_)),
              reports_);
  if (scan_response && mode_ == BluetoothLEScanningMode::Active) {
    core_->Fire(received_.List(), sender,
                std::shared_ptr<BluetoothLEAdvertisementReceivedEventArgs>(std::make_shared<SimReceivedArgs>(
                    core_, address, scan_response->rssi, BluetoothLEAdvertisementType::ScanResponse,
                    std::make_shared<SimAdvertisement>(core_, scan_response->sections), run_)),
                reports_);
  }
}

void SimWatcher::EndLocked(BluetoothLEAdvertisementWatcherStatus status, BluetoothError error) {
  using S = BluetoothLEAdvertisementWatcherStatus;
  if (status_ != S::Started && status_ != S::Stopping && !start_pending_) return;
  ++start_generation_;
  start_pending_ = false;
  status_ = status;
  last_stopped_ = std::make_shared<SimStoppedArgs>(core_, error, run_);
  core_->Fire(stopped_.List(), std::shared_ptr<BluetoothLEAdvertisementWatcher>(shared_from_this()), last_stopped_);
}

void SimWatcher::ForceStartedLocked() {
  if (!start_pending_) return;
  start_pending_ = false;
  status_ = BluetoothLEAdvertisementWatcherStatus::Started;
}

size_t SimWatcher::HandlerCountLocked(SimEvent event) const {
  if (event == SimEvent::kReceived) return received_.size();
  return event == SimEvent::kStopped ? stopped_.size() : 0;
}

}  // namespace velmora::platform::bluetooth::sim
