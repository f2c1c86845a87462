#include "ble/ble_event.h"

#include <optional>
#include <utility>

#include "ble/ble_client.h"

namespace velmora::ble {

namespace bt = platform::bluetooth;

BLEEvent::~BLEEvent() {
  for (Registrations& registrations : registrations_) {
    for (const auto& [key, registration] : registrations.objects) {
      if (registration.remove == nullptr) continue;
      const std::shared_ptr<void> object = registration.object.lock();
      if (object == nullptr) continue;  // its handlers went with it
      try {
        registration.remove(object.get(), registration.token);
      } catch (...) {
        // NOTE: a platform that refuses the removal keeps the handler; it finds the bridge gone and does nothing.
      }
    }
  }
}

void BLEEvent::Leave() {
  const uint32_t after = state_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if ((after & kDetached) == 0) return;
  state_.notify_all();
  FreeOwnerIfIdle(after);
}

void BLEEvent::WaitForCallbacks(uint32_t remaining) {
  for (;;) {
    const uint32_t state = state_.load(std::memory_order_acquire);
    if ((state & kCountMask) <= remaining) return;
    // Leave notifies after every departure while detached, so this wakes for each one.
    state_.wait(state, std::memory_order_acquire);
  }
}

void BLEEvent::Release() { FreeOwnerIfIdle(state_.fetch_or(kReleased, std::memory_order_acq_rel) | kReleased); }

void BLEEvent::FreeOwnerIfIdle(uint32_t state) {
  // A refused Enter counts for a moment as well, so the count may reach 0 more than once, and a Hold may be
  // admitted after the count was read: the flag is set only while the count still reads 0, so the owner is
  // freed once, and never under a call admitted meanwhile (whose Leave frees it instead).
  do {
    if ((state & (kReleased | kFreed | kCountMask)) != kReleased) return;
  } while (!state_.compare_exchange_weak(state, state | kFreed, std::memory_order_acq_rel, std::memory_order_acquire));
  delete engine_->Owner();
}

// ---- Registration ------------------------------------------------------------------------------------------

template <auto Remove, class Object, class AddFn>
bool BLEEvent::Register(EventKind kind, const std::shared_ptr<Object>& object, AddFn&& add) {
  if (object == nullptr) return false;
  std::lock_guard<std::mutex> lock(registrations_mutex_);
  Registrations& registrations = registrations_[kind];
  const void* key = object.get();
  auto found = registrations.objects.find(key);
  // An expired entry is a dead object whose address the platform has given to a new one.
  if (found != registrations.objects.end() && !found->second.object.expired()) return false;
  Registration registration;
  registration.object = object;
  if (const std::optional<bt::EventToken> token = std::forward<AddFn>(add)()) {
    registration.token = *token;
    registration.remove = [](void* holder, bt::EventToken added) { (static_cast<Object*>(holder)->*Remove)(added); };
  }
  if (found != registrations.objects.end()) {
    found->second = std::move(registration);
    return true;
  }
  registrations.objects.emplace(key, std::move(registration));
  if (registrations.objects.size() >= registrations.purge_at) {
    // Dropping the dead objects now and then keeps the table as large as the live ones, amortised.
    std::erase_if(registrations.objects, [](const auto& entry) { return entry.second.object.expired(); });
    registrations.purge_at = 2 * registrations.objects.size() + 16;
  }
  return true;
}

void BLEEvent::ForgetDeadObjects() {
  std::lock_guard<std::mutex> lock(registrations_mutex_);
  for (Registrations& registrations : registrations_) {
    std::erase_if(registrations.objects, [](const auto& entry) { return entry.second.object.expired(); });
    registrations.purge_at = 2 * registrations.objects.size() + 16;
  }
}

namespace {

// Delegate returns the platform handler for member: it holds the bridge weakly and calls member while the
// bridge exists.
template <class Sender, class Args>
bt::TypedEventHandler<Sender, Args> Delegate(
    std::weak_ptr<BLEEvent> bridge,
    void (BLEEvent::*member)(const std::shared_ptr<Sender>&, const std::shared_ptr<Args>&)) {
  return [bridge = std::move(bridge), member](const std::shared_ptr<Sender>& sender,
                                              const std::shared_ptr<Args>& args) {
    if (const std::shared_ptr<BLEEvent> alive = bridge.lock()) ((*alive).*member)(sender, args);
  };
}

}  // namespace

bool BLEEvent::RegisterAdvertisementReceived(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher) {
  return Register<&bt::BluetoothLEAdvertisementWatcher::RemoveReceived>(kAdvertisementReceived, watcher, [&] {
    return watcher->AddReceived(Delegate(weak_from_this(), &BLEEvent::OnAdvertisementReceived));
  });
}

bool BLEEvent::RegisterWatcherStopped(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher) {
  return Register<&bt::BluetoothLEAdvertisementWatcher::RemoveStopped>(kWatcherStopped, watcher, [&] {
    return watcher->AddStopped(Delegate(weak_from_this(), &BLEEvent::OnWatcherStopped));
  });
}

bool BLEEvent::RegisterConnectionStatusChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device) {
  return Register<&bt::BluetoothLEDevice::RemoveConnectionStatusChanged>(kConnectionStatusChanged, device, [&] {
    return device->AddConnectionStatusChanged(Delegate(weak_from_this(), &BLEEvent::OnConnectionStatusChanged));
  });
}

bool BLEEvent::RegisterNameChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device) {
  return Register<&bt::BluetoothLEDevice::RemoveNameChanged>(kNameChanged, device, [&] {
    return device->AddNameChanged(Delegate(weak_from_this(), &BLEEvent::OnNameChanged));
  });
}

bool BLEEvent::RegisterGattServicesChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device) {
  return Register<&bt::BluetoothLEDevice::RemoveGattServicesChanged>(kGattServicesChanged, device, [&] {
    return device->AddGattServicesChanged(Delegate(weak_from_this(), &BLEEvent::OnGattServicesChanged));
  });
}

bool BLEEvent::RegisterPairingRequested(const std::shared_ptr<bt::DeviceInformationCustomPairing>& pairing) {
  return Register<&bt::DeviceInformationCustomPairing::RemovePairingRequested>(kPairingRequested, pairing, [&] {
    return pairing->AddPairingRequested(Delegate(weak_from_this(), &BLEEvent::OnPairingRequested));
  });
}

bool BLEEvent::RegisterValueChanged(const std::shared_ptr<bt::GattCharacteristic>& characteristic) {
  return Register<&bt::GattCharacteristic::RemoveValueChanged>(kValueChanged, characteristic, [&] {
    return characteristic->AddValueChanged(Delegate(weak_from_this(), &BLEEvent::OnValueChanged));
  });
}

bool BLEEvent::RegisterNotificationsLost(const std::shared_ptr<bt::GattCharacteristic>& characteristic) {
  return Register<&bt::GattCharacteristic::RemoveNotificationsLost>(
      kNotificationsLost, characteristic, [&]() -> std::optional<bt::EventToken> {
        try {
          return characteristic->AddNotificationsLost(Delegate(weak_from_this(), &BLEEvent::OnNotificationsLost));
        } catch (const bt::PlatformError&) {
          return std::nullopt;  // NOTE: a platform that never loses notifications on its own has no such event.
        }
      });
}

bool BLEEvent::RegisterLogged(const std::shared_ptr<bt::BluetoothPlatform>& platform) {
  return Register<&bt::BluetoothPlatform::RemoveLogged>(kLogged, platform, [&]() -> std::optional<bt::EventToken> {
    try {
      return platform->AddLogged(Delegate(weak_from_this(), &BLEEvent::OnLogged));
    } catch (const bt::PlatformError&) {
      return std::nullopt;  // NOTE: a platform without log lines of its own has no such event.
    }
  });
}

// ---- Member handlers ---------------------------------------------------------------------------------------

namespace {

// Deliver runs handler on the engine of bridge when it is still attached. The scope keeps the engine
// alive until the handler has left it; Destroy waits for that. The calls of the handler and of the sinks
// it reaches record their results here, apart from those of the application's thread.
template <class Handler>
void Deliver(BLEEvent& bridge, Handler&& handler) {
  CallResults results;
  CallScope scope(bridge.shared_from_this(), &results);
  BLEClientEngine* engine = scope.Engine();
  if (engine == nullptr) return;
  try {
    std::forward<Handler>(handler)(*engine);
  } catch (...) {
    // NOTE: the platform has no use for a failure of an event handler; the event is dropped.
  }
}

}  // namespace

void BLEEvent::Post(bt::BluetoothPlatform& platform, std::function<void(BLEClientEngine&)> handler) {
  platform.PostEvent([bridge = weak_from_this(), handler = std::move(handler)] {
    if (const std::shared_ptr<BLEEvent> alive = bridge.lock()) Deliver(*alive, handler);
  });
}

void BLEEvent::OnAdvertisementReceived(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                                       const std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnAdvertisementReceived(watcher, args); });
}

void BLEEvent::OnWatcherStopped(const std::shared_ptr<bt::BluetoothLEAdvertisementWatcher>& watcher,
                                const std::shared_ptr<bt::BluetoothLEAdvertisementWatcherStoppedEventArgs>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnWatcherStopped(watcher, args); });
}

void BLEEvent::OnConnectionStatusChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device,
                                         const std::shared_ptr<bt::Inspectable>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnConnectionStatusChanged(device, args); });
}

void BLEEvent::OnNameChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device,
                             const std::shared_ptr<bt::Inspectable>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnNameChanged(device, args); });
}

void BLEEvent::OnGattServicesChanged(const std::shared_ptr<bt::BluetoothLEDevice>& device,
                                     const std::shared_ptr<bt::Inspectable>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnGattServicesChanged(device, args); });
}

void BLEEvent::OnPairingRequested(const std::shared_ptr<bt::DeviceInformationCustomPairing>& pairing,
                                  const std::shared_ptr<bt::DevicePairingRequestedEventArgs>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnPairingRequested(pairing, args); });
}

void BLEEvent::OnNotificationsLost(const std::shared_ptr<bt::GattCharacteristic>& characteristic,
                                   const std::shared_ptr<bt::Inspectable>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnNotificationsLost(characteristic, args); });
}

void BLEEvent::OnLogged(const std::shared_ptr<bt::BluetoothPlatform>& /*platform*/,
                        const std::shared_ptr<bt::PlatformLogEventArgs>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnPlatformLogged(args); });
}

void BLEEvent::OnValueChanged(const std::shared_ptr<bt::GattCharacteristic>& characteristic,
                              const std::shared_ptr<bt::GattValueChangedEventArgs>& args) {
  Deliver(*this, [&](BLEClientEngine& engine) { engine.OnValueChanged(characteristic, args); });
}

}  // namespace velmora::ble
