#include "platform/bluetooth/sim/sim_radio.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <utility>

#include "platform/bluetooth/sim/core.h"
#include "platform/bluetooth/sim/objects.h"

namespace velmora::platform::bluetooth::sim {
namespace {

void SortDatabase(SimGattDb& db) {
  auto by_handle = [](const auto& a, const auto& b) { return a.handle < b.handle; };
  std::sort(db.services.begin(), db.services.end(), by_handle);
  for (SimService& service : db.services) {
    std::sort(service.characteristics.begin(), service.characteristics.end(), by_handle);
    for (SimCharacteristic& characteristic : service.characteristics) {
      std::sort(characteristic.descriptors.begin(), characteristic.descriptors.end(), by_handle);
    }
  }
}

// Repeat runs tick on the completion thread, as background work, each time period_us() microseconds after
// the last, until it returns false or the radio shuts down.
void Repeat(const std::weak_ptr<SimCore>& weak, std::shared_ptr<std::function<int64_t()>> period_us,
            std::shared_ptr<std::function<bool()>> tick) {
  auto core = weak.lock();
  if (core == nullptr) return;
  core->completions.PostMicros(
      [weak, period_us, tick] {
        if ((*tick)()) Repeat(weak, period_us, tick);
      },
      (*period_us)(), /*background=*/true);
}

// EveryMs is the period of a fixed repeat.
std::shared_ptr<std::function<int64_t()>> EveryMs(int64_t period_ms) {
  return std::make_shared<std::function<int64_t()>>([period_ms] { return period_ms * 1000; });
}

// AdvertisingEvents gives the time from one advertising event of the peripheral at address to its next: the
// interval, a quarter of it earlier or later at random. A real advertiser delays each advertising event by a
// random amount (its advDelay), so that devices on the same interval do not keep going out together in one
// order; the interval stays what it is on average. Seeded by the address, so that a run can be repeated.
std::shared_ptr<std::function<int64_t()>> AdvertisingEvents(int64_t interval_ms, uint64_t address) {
  const int64_t interval_us = interval_ms * 1000;
  const int64_t spread = interval_us / 2;
  std::minstd_rand random(static_cast<std::minstd_rand::result_type>(address ^ (address >> 32)));
  return std::make_shared<std::function<int64_t()>>([interval_us, spread, random]() mutable {
    return interval_us - spread / 2 + static_cast<int64_t>(random() % static_cast<uint64_t>(spread + 1));
  });
}

void OfferLocked(SimCore& core, const PeripheralState& state, size_t index) {
  PruneExpired(core.watchers);
  // Each advertising event reaches the watchers from the next one in turn: their events share the event
  // threads' queue, and in one fixed order the same watcher's would always be the first of each moment.
  const size_t count = core.watchers.size();
  const size_t first = count != 0 ? core.next_watcher++ % count : 0;
  for (size_t i = 0; i < count; ++i) {
    if (auto watcher = core.watchers[(first + i) % count].lock()) {
      watcher->OfferLocked(state.config.address, state.config.adverts[index], state.config.scan_response);
    }
  }
}

size_t PushLocked(PeripheralState& state, uint16_t handle, const Bytes& value, bool force, uint16_t cccd_bit) {
  const AttributeRef found = FindAttribute(state.config.gatt, handle);
  if (found.characteristic == nullptr || found.descriptor != nullptr) return 0;
  auto cccd = state.cccd.find(handle);
  if (!force && (cccd == state.cccd.end() || (cccd->second & cccd_bit) == 0)) return 0;
  found.characteristic->value = value;
  state.cache[handle] = value;
  PruneExpired(state.characteristics);
  size_t delivered = 0;
  for (const auto& weak : state.characteristics) {
    auto object = weak.lock();
    if (object == nullptr || object->handle() != handle || (!force && !object->WantsLocked(state, cccd_bit))) continue;
    if (object->DeliverValueLocked(value)) ++delivered;
  }
  return delivered;
}

template <class F>
void ForEachWatcher(SimCore& core, F fn) {
  std::lock_guard lock(core.mutex);
  for (const auto& weak : core.watchers) {
    if (auto watcher = weak.lock()) fn(*watcher);
  }
}

// Locked runs fn(state) under the radio lock when the peripheral exists; otherwise it returns `missing`.
template <class R, class F>
R Locked(SimCore& core, uint64_t address, R missing, F fn) {
  std::lock_guard lock(core.mutex);
  std::shared_ptr<PeripheralState> state = core.Peripheral(address);
  return state == nullptr ? missing : fn(*state);
}

}  // namespace

SimRadio::SimRadio(int event_threads) : core_(std::make_shared<SimCore>(event_threads)) {}

SimRadio::~SimRadio() {
  std::map<int, std::vector<std::function<void()>>> held;
  {
    std::lock_guard lock(core_->mutex);
    core_->shut_down = true;
    held.swap(core_->held);
  }
  held.clear();
  // Events first: a running event handler may still wait for a completion.
  core_->events.Shutdown();
  core_->completions.Shutdown();
}

// ---- Adapter and watchers

void SimRadio::SetAdapter(SimAdapter adapter) {
  std::lock_guard lock(core_->mutex);
  core_->adapter = adapter;
}

void SimRadio::SetUnavailable(HString reason) {
  std::lock_guard lock(unavailable_mutex_);
  unavailable_reason_ = std::move(reason);
}

void SimRadio::SetWatcherTiming(int64_t start_delay_ms, int64_t stop_delay_ms) {
  std::lock_guard lock(core_->mutex);
  core_->watcher_start_delay_ms = start_delay_ms;
  core_->watcher_stop_delay_ms = stop_delay_ms;
}

void SimRadio::ForceWatchersStarted() {
  ForEachWatcher(*core_, [](SimWatcher& watcher) { watcher.ForceStartedLocked(); });
}

void SimRadio::AbortWatchers(BluetoothError error) {
  ForEachWatcher(*core_,
                 [error](SimWatcher& w) { w.EndLocked(BluetoothLEAdvertisementWatcherStatus::Aborted, error); });
}

void SimRadio::StopWatchersWithError(BluetoothError error) {
  ForEachWatcher(*core_,
                 [error](SimWatcher& w) { w.EndLocked(BluetoothLEAdvertisementWatcherStatus::Stopped, error); });
}

// ---- Peripherals

void SimRadio::AddPeripheral(SimPeripheral peripheral) {
  SortDatabase(peripheral.gatt);
  auto state = std::make_shared<PeripheralState>();
  const uint64_t address = peripheral.address;
  state->config = std::move(peripheral);
  std::lock_guard lock(core_->mutex);
  core_->peripherals[address] = std::move(state);
  StartPeriodicActivityLocked(address);
}

void SimRadio::StartPeriodicActivityLocked(uint64_t address) {
  std::shared_ptr<PeripheralState> state = core_->Peripheral(address);
  std::weak_ptr<SimCore> weak_core = core_;
  std::weak_ptr<PeripheralState> weak_state = state;
  // Each tick checks that its peripheral is still the one installed, so a replaced peripheral goes quiet.
  auto current = [weak_core, weak_state, address](auto&& body) {
    auto core = weak_core.lock();
    auto state = weak_state.lock();
    if (core == nullptr || state == nullptr) return false;
    std::lock_guard lock(core->mutex);
    if (core->Peripheral(address) != state) return false;
    body(*core, *state);
    return true;
  };
  if (state->config.advertising_interval_ms > 0 && !state->config.adverts.empty()) {
    Repeat(core_, AdvertisingEvents(state->config.advertising_interval_ms, address),
           std::make_shared<std::function<bool()>>([current, next = size_t{0}]() mutable {
             return current([&next](SimCore& core, PeripheralState& state) {
               OfferLocked(core, state, next++ % state.config.adverts.size());
             });
           }));
  }
  for (const SimPeriodicValue& periodic : state->config.periodic_values) {
    if (periodic.period_ms <= 0 || periodic.values.empty()) continue;
    Repeat(core_, EveryMs(periodic.period_ms),
           std::make_shared<std::function<bool()>>([current, periodic, next = size_t{0}]() mutable {
             return current([&](SimCore&, PeripheralState& state) {
               PushLocked(state, periodic.handle, periodic.values[next++ % periodic.values.size()], false,
                          periodic.indicate ? 2 : 1);
             });
           }));
  }
}

bool SimRadio::EmitAdvertisement(uint64_t address, size_t index) {
  return Locked(*core_, address, false, [&](PeripheralState& state) {
    if (index >= state.config.adverts.size()) return false;
    OfferLocked(*core_, state, index);
    return true;
  });
}

void SimRadio::FireDeviceEventLocked(uint64_t address, SimEvent event) {
  std::shared_ptr<PeripheralState> state = core_->Peripheral(address);
  if (state == nullptr) return;
  PruneExpired(state->devices);
  for (const auto& weak : state->devices) {
    if (auto device = weak.lock()) device->FireLocked(event);
  }
}

void SimRadio::SetLink(uint64_t address, bool up) {
  Locked(*core_, address, 0, [&](PeripheralState& state) {
    if (state.config.link_up == up) return 0;
    state.config.link_up = up;
    FireDeviceEventLocked(address, SimEvent::kConnectionStatusChanged);
    return 0;
  });
}

void SimRadio::FireConnectionStatusChanged(uint64_t address) {
  std::lock_guard lock(core_->mutex);
  FireDeviceEventLocked(address, SimEvent::kConnectionStatusChanged);
}

void SimRadio::SetName(uint64_t address, std::u16string name, bool fire) {
  Locked(*core_, address, 0, [&](PeripheralState& state) {
    state.config.name = std::move(name);
    if (fire) FireDeviceEventLocked(address, SimEvent::kNameChanged);
    return 0;
  });
}

void SimRadio::ReplaceDatabase(uint64_t address, SimGattDb database) {
  SortDatabase(database);
  Locked(*core_, address, 0, [&](PeripheralState& state) {
    state.config.gatt = std::move(database);
    state.cache.clear();
    state.cccd.clear();
    // The device's CCCDs start over, which ends every client's subscription: each learns so.
    PruneExpired(state.characteristics);
    for (const auto& weak : state.characteristics) {
      if (auto object = weak.lock()) (void)object->LoseLocked(u"the device's services changed");
    }
    FireDeviceEventLocked(address, SimEvent::kGattServicesChanged);
    return 0;
  });
}

void SimRadio::FireServicesChanged(uint64_t address) {
  std::lock_guard lock(core_->mutex);
  FireDeviceEventLocked(address, SimEvent::kGattServicesChanged);
}

void SimRadio::SetDeviceValue(uint64_t address, uint16_t handle, Bytes value) {
  Locked(*core_, address, 0, [&](PeripheralState& state) {
    const AttributeRef found = FindAttribute(state.config.gatt, handle);
    if (found.descriptor != nullptr) {
      found.descriptor->value = std::move(value);
    } else if (found.characteristic != nullptr) {
      found.characteristic->value = std::move(value);
    }
    return 0;
  });
}

size_t SimRadio::Notify(uint64_t address, uint16_t handle, Bytes value, bool force) {
  return Push(address, handle, std::move(value), force, 1);
}

size_t SimRadio::Indicate(uint64_t address, uint16_t handle, Bytes value, bool force) {
  return Push(address, handle, std::move(value), force, 2);
}

size_t SimRadio::Push(uint64_t address, uint16_t handle, Bytes value, bool force, uint16_t cccd_bit) {
  return Locked(*core_, address, size_t{0},
                [&](PeripheralState& state) { return PushLocked(state, handle, value, force, cccd_bit); });
}

std::optional<Bytes> SimRadio::DeviceValue(uint64_t address, uint16_t handle) {
  return Locked(*core_, address, std::optional<Bytes>(), [&](PeripheralState& state) -> std::optional<Bytes> {
    const AttributeRef found = FindAttribute(state.config.gatt, handle);
    if (found.descriptor != nullptr) return found.descriptor->value;
    if (found.characteristic != nullptr) return found.characteristic->value;
    return std::nullopt;
  });
}

uint16_t SimRadio::CccdValue(uint64_t address, uint16_t handle) {
  return Locked(*core_, address, uint16_t{0}, [&](PeripheralState& state) {
    auto found = state.cccd.find(handle);
    return found == state.cccd.end() ? uint16_t{0} : found->second;
  });
}

bool SimRadio::IsPaired(uint64_t address) {
  return Locked(*core_, address, false, [](PeripheralState& state) { return state.config.paired; });
}

// ---- Faults

int SimRadio::AddFault(const SimFault& fault) {
  std::lock_guard lock(core_->mutex);
  const int id = core_->next_rule_id++;
  if (fault.times != 0) core_->faults.push_back({id, fault});
  return id;
}

void SimRadio::Release(int rule_id) {
  std::vector<std::function<void()>> finishes;
  {
    std::lock_guard lock(core_->mutex);
    core_->released.insert(rule_id);
    auto found = core_->held.find(rule_id);
    if (found == core_->held.end()) return;
    finishes = std::move(found->second);
    core_->held.erase(found);
  }
  for (auto& finish : finishes) core_->completions.Post(std::move(finish));
}

void SimRadio::ReleaseAll() {
  std::vector<int> ids;
  {
    std::lock_guard lock(core_->mutex);
    for (const auto& entry : core_->held) ids.push_back(entry.first);
  }
  for (int id : ids) Release(id);
}

void SimRadio::ClearFaults() {
  std::lock_guard lock(core_->mutex);
  core_->faults.clear();
  core_->fail_rules.clear();
}

void SimRadio::FailCall(std::string_view api, int32_t hresult, int times) {
  std::lock_guard lock(core_->mutex);
  if (times != 0) core_->fail_rules.push_back({std::string(api), hresult, times});
}

// ---- Journal and observation

std::vector<SimCall> SimRadio::Journal() {
  std::lock_guard lock(core_->mutex);
  return std::vector<SimCall>(core_->journal.begin(), core_->journal.end());
}

size_t SimRadio::CallCount(std::string_view api) {
  std::lock_guard lock(core_->mutex);
  return static_cast<size_t>(
      std::count_if(core_->journal.begin(), core_->journal.end(), [api](const SimCall& c) { return api == c.api; }));
}

std::optional<SimCall> SimRadio::LastCall(std::string_view api) {
  std::lock_guard lock(core_->mutex);
  auto found =
      std::find_if(core_->journal.rbegin(), core_->journal.rend(), [api](const SimCall& c) { return api == c.api; });
  if (found == core_->journal.rend()) return std::nullopt;
  return *found;
}

void SimRadio::ClearJournal() {
  std::lock_guard lock(core_->mutex);
  core_->journal.clear();
}

void SimRadio::SetJournalLimit(size_t limit) {
  std::lock_guard lock(core_->mutex);
  core_->journal_limit = limit;
  while (core_->journal.size() > limit) core_->journal.pop_front();
}

size_t SimRadio::HandlerCount(uint64_t address, SimEvent event, uint16_t handle) {
  std::lock_guard lock(core_->mutex);
  size_t count = 0;
  if (event == SimEvent::kReceived || event == SimEvent::kStopped) {
    for (const auto& weak : core_->watchers) {
      if (auto watcher = weak.lock()) count += watcher->HandlerCountLocked(event);
    }
    return count;
  }
  std::shared_ptr<PeripheralState> state = core_->Peripheral(address);
  if (state == nullptr) return 0;
  if (event == SimEvent::kValueChanged) {
    for (const auto& weak : state->characteristics) {
      auto object = weak.lock();
      if (object != nullptr && object->handle() == handle) count += object->HandlerCountLocked();
    }
    return count;
  }
  for (const auto& weak : state->devices) {
    if (auto device = weak.lock()) count += device->HandlerCountLocked(event);
  }
  return count;
}

size_t SimRadio::LiveDeviceObjects(uint64_t address) {
  return Locked(*core_, address, size_t{0}, [](PeripheralState& state) {
    PruneExpired(state.devices);
    return state.devices.size();
  });
}

void SimRadio::WaitIdle() {
  // Either thread may post work to the other; wait until a full pass over both saw no new work.
  for (;;) {
    const uint64_t events = core_->events.ForegroundPosted();
    const uint64_t completions = core_->completions.ForegroundPosted();
    core_->events.WaitIdle();
    core_->completions.WaitIdle();
    if (events == core_->events.ForegroundPosted() && completions == core_->completions.ForegroundPosted() &&
        core_->events.IsIdle() && core_->completions.IsIdle()) {
      return;
    }
  }
}

size_t SimRadio::QueuedEvents() { return core_->events.Queued(); }

bool SimRadio::OnEventThread() const { return core_->events.IsCurrentThread(); }
bool SimRadio::OnCompletionThread() const { return core_->completions.IsCurrentThread(); }

// ---- BluetoothPlatform

AsyncOp<BluetoothAdapter> SimRadio::GetDefaultAdapterAsync() {
  core_->Call({.api = "BluetoothAdapter.GetDefaultAsync"});
  return core_->Start<BluetoothAdapter>(SimOp::kGetAdapter, 0, 0,
                                        [core = core_](const SimFault&) -> std::shared_ptr<BluetoothAdapter> {
                                          std::lock_guard lock(core->mutex);
                                          if (core->adapter == SimAdapter::kAbsent) return nullptr;
                                          return MakeAdapter(core, core->adapter == SimAdapter::kPresent);
                                        });
}

AsyncOp<BluetoothLEDevice> SimRadio::FromBluetoothAddressAsync(uint64_t address) {
  core_->Call({.api = "BluetoothLEDevice.FromBluetoothAddressAsync", .address = address});
  return core_->Start<BluetoothLEDevice>(
      SimOp::kFromAddress, address, 0, [core = core_, address](const SimFault&) -> std::shared_ptr<BluetoothLEDevice> {
        std::lock_guard lock(core->mutex);
        // Without an adapter that speaks Low Energy no device is reachable, as a scan finds none.
        if (core->adapter != SimAdapter::kPresent) return nullptr;
        std::shared_ptr<PeripheralState> state = core->Peripheral(address);
        if (state == nullptr || !state->config.obtainable) return nullptr;
        if (state->config.reuse_device_object) {
          if (auto reused = state->reused.lock()) return reused;
        }
        auto device = std::make_shared<SimDevice>(core, state);
        PruneExpired(state->devices);
        // The first device object since the last one went is a new connection: a device that is not bonded
        // starts it with its Client Characteristic Configurations off.
        if (state->devices.empty() && !state->config.paired) state->cccd.clear();
        state->devices.push_back(device);
        if (state->config.reuse_device_object) state->reused = device;
        return device;
      });
}

std::shared_ptr<BluetoothLEAdvertisementWatcher> SimRadio::CreateWatcher() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementWatcher.Activate"});
  auto watcher = std::make_shared<SimWatcher>(core_);
  PruneExpired(core_->watchers);
  core_->watchers.push_back(watcher);
  return watcher;
}

std::shared_ptr<BluetoothLEAdvertisementFilter> SimRadio::CreateFilter() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementFilter.Activate"});
  return MakeFilter(core_);
}

std::shared_ptr<BluetoothLEAdvertisement> SimRadio::CreateAdvertisement() {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisement.Activate"});
  return std::make_shared<SimAdvertisement>(core_, std::vector<BluetoothLEAdvertisementDataSection>());
}

Bytes SimRadio::CreateBuffer(std::span<const uint8_t> bytes) {
  auto lock = core_->Call({.api = "DataWriter.Activate"});
  return Bytes(bytes.begin(), bytes.end());
}

std::optional<uint32_t> SimRadio::TryGetShortId(const Guid& uuid) {
  auto lock = core_->Call({.api = "BluetoothUuidHelper.TryGetShortId", .uuid = uuid});
  return ShortIdOf(uuid);
}

uint8_t SimRadio::AdvertisementDataTypeValue(BluetoothLEAdvertisementDataType type) {
  auto lock = core_->Call({.api = "BluetoothLEAdvertisementDataTypes.Statics", .mode = static_cast<uint8_t>(type)});
  return static_cast<uint8_t>(type);
}

uint8_t SimRadio::GattProtocolErrorValue(GattProtocolError error) {
  auto lock = core_->Call({.api = "GattProtocolError.Statics", .mode = static_cast<uint8_t>(error)});
  return static_cast<uint8_t>(error);
}

uint8_t SimRadio::GattPresentationFormatTypeValue(GattPresentationFormatType type) {
  auto lock = core_->Call({.api = "GattPresentationFormatTypes.Statics", .mode = static_cast<uint8_t>(type)});
  return static_cast<uint8_t>(type);
}

HString SimRadio::GuidToString(const Guid& uuid) {
  auto lock = core_->Call({.api = "Guid.ToString", .uuid = uuid});
  return GuidText(uuid);
}

HString SimRadio::EnumText(BluetoothError value) {
  auto lock = core_->Call({.api = "BluetoothError.ToString", .mode = static_cast<int32_t>(value)});
  return EnumName(value);
}

HString SimRadio::EnumText(BluetoothConnectionStatus value) {
  auto lock = core_->Call({.api = "BluetoothConnectionStatus.ToString", .mode = static_cast<int32_t>(value)});
  return EnumName(value);
}

void SimRadio::PostEvent(std::function<void()> task) { core_->PostEvent(std::move(task)); }

HString SimRadio::UnavailableReason() {
  std::lock_guard lock(unavailable_mutex_);
  return unavailable_reason_;
}

HString SimRadio::EnumText(GattCommunicationStatus value) {
  auto lock = core_->Call({.api = "GattCommunicationStatus.ToString", .mode = static_cast<int32_t>(value)});
  return EnumName(value);
}

}  // namespace velmora::platform::bluetooth::sim
