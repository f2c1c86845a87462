// BLEEvent: the one object through which platform callbacks reach a BLE engine. The engine holds it, the
// platform registrations hold it too (as a shared reference that outlives the engine), and it points back
// at the engine without owning it. Destroying a client detaches the bridge first and waits for the
// callbacks already inside, so a callback never reaches a freed engine.
//
// The Register functions attach the bridge's handlers to platform objects. A registration holds the bridge
// only weakly, so a platform object that outlives the engine finds the bridge gone and runs no engine code;
// and the bridge takes its handlers off the objects still alive when it goes, so that a platform object
// shared with other clients (a device one of them keeps connected, the process-wide platform) keeps nothing
// of the clients that came and went. Each handler is registered at most once per platform object: a platform
// that hands out the same object again (on a repeated connect or discovery) does not get a second handler,
// so no event is doubled.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/bluetooth/bluetooth.h"

namespace velmora::ble {

class BLEClientEngine;

class BLEEvent : public std::enable_shared_from_this<BLEEvent> {
 public:
  explicit BLEEvent(BLEClientEngine* engine) : engine_(engine) {}
  // ~BLEEvent removes every handler it added from the objects still alive. It may run on a platform event
  // thread, inside a handler.
  ~BLEEvent();
  BLEEvent(const BLEEvent&) = delete;
  BLEEvent& operator=(const BLEEvent&) = delete;

  // Enter admits one callback: it returns the engine, or null once the bridge is detached (nothing may
  // then reach the engine). Every successful Enter is paired with one Leave. Any thread.
  BLEClientEngine* Enter() {
    const uint32_t before = state_.fetch_add(1, std::memory_order_acquire);
    if ((before & kDetached) != 0) {
      Leave();
      return nullptr;
    }
    return engine_;
  }
  // Hold admits a call of an error function (GetLastError and the five beside it), which only reads or sets
  // the error state: unlike Enter it is admitted while Destroy runs, since a sink still running may use its
  // error state until it returns. It returns the engine, or null once the owner has been freed. Paired with
  // Leave as Enter is. Any thread.
  BLEClientEngine* Hold() {
    const uint32_t before = state_.fetch_add(1, std::memory_order_acquire);
    if ((before & kFreed) != 0) {
      Leave();
      return nullptr;
    }
    return engine_;
  }
  // Leave ends a callback admitted by Enter. The last callback to leave a released bridge frees the
  // engine's owner (see Release). Any thread.
  void Leave();

  // Detach refuses every later Enter. Callbacks already inside go on; WaitForCallbacks waits for them.
  void Detach() { state_.fetch_or(kDetached, std::memory_order_acq_rel); }
  bool Detached() const { return (state_.load(std::memory_order_acquire) & kDetached) != 0; }
  // WaitForCallbacks returns once no more than `remaining` admitted callbacks are still inside (the
  // caller's own callbacks, when it runs inside some). Call it after Detach, from any thread.
  void WaitForCallbacks(uint32_t remaining);
  // Release hands the engine's owner (the client) to the bridge after Detach: it is freed at once when no
  // callback is inside, else by the last one to leave, on that thread. The owner must not be touched by the
  // caller afterwards. Once per bridge.
  void Release();
  // Inside is the number of admitted callbacks that have not left yet.
  uint32_t Inside() const { return state_.load(std::memory_order_acquire) & kCountMask; }

  // ---- Registration. Each attaches one handler to the object (null: nothing) and returns true, or false
  // when this bridge's handler is already on that object. The platform's Add call may raise PlatformError;
  // the object then counts as not registered. The bridge must be owned by a shared_ptr. Any thread.
  bool RegisterAdvertisementReceived(
      const std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcher>& watcher);
  bool RegisterWatcherStopped(const std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcher>& watcher);
  bool RegisterConnectionStatusChanged(const std::shared_ptr<platform::bluetooth::BluetoothLEDevice>& device);
  bool RegisterNameChanged(const std::shared_ptr<platform::bluetooth::BluetoothLEDevice>& device);
  bool RegisterGattServicesChanged(const std::shared_ptr<platform::bluetooth::BluetoothLEDevice>& device);
  bool RegisterPairingRequested(const std::shared_ptr<platform::bluetooth::DeviceInformationCustomPairing>& pairing);
  bool RegisterValueChanged(const std::shared_ptr<platform::bluetooth::GattCharacteristic>& characteristic);
  // The two below attach nothing to a platform without the event (kENoInterface), and return true.
  bool RegisterNotificationsLost(const std::shared_ptr<platform::bluetooth::GattCharacteristic>& characteristic);
  bool RegisterLogged(const std::shared_ptr<platform::bluetooth::BluetoothPlatform>& platform);
  // ForgetDeadObjects drops the registrations of objects that no longer exist. Their weak references would
  // otherwise keep the dead objects' memory allocated until the next amortised purge. Any thread.
  void ForgetDeadObjects();

  // Post runs handler on the engine on one of platform's event threads, as a platform event is run (nothing
  // once the bridge is detached or gone). Any thread; the bridge must be owned by a shared_ptr.
  void Post(platform::bluetooth::BluetoothPlatform& platform, std::function<void(BLEClientEngine&)> handler);

  // ---- The member handlers, called by the platform on its threads. Each enters the engine (nothing when
  // detached) and runs the engine's handler of the same name; whatever that raises stays here, since
  // nothing may raise back into the platform.
  void OnAdvertisementReceived(
      const std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcher>& watcher,
      const std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementReceivedEventArgs>& args);
  void OnWatcherStopped(
      const std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcher>& watcher,
      const std::shared_ptr<platform::bluetooth::BluetoothLEAdvertisementWatcherStoppedEventArgs>& args);
  void OnConnectionStatusChanged(const std::shared_ptr<platform::bluetooth::BluetoothLEDevice>& device,
                                 const std::shared_ptr<platform::bluetooth::Inspectable>& args);
  void OnNameChanged(const std::shared_ptr<platform::bluetooth::BluetoothLEDevice>& device,
                     const std::shared_ptr<platform::bluetooth::Inspectable>& args);
  void OnGattServicesChanged(const std::shared_ptr<platform::bluetooth::BluetoothLEDevice>& device,
                             const std::shared_ptr<platform::bluetooth::Inspectable>& args);
  void OnPairingRequested(const std::shared_ptr<platform::bluetooth::DeviceInformationCustomPairing>& pairing,
                          const std::shared_ptr<platform::bluetooth::DevicePairingRequestedEventArgs>& args);
  void OnValueChanged(const std::shared_ptr<platform::bluetooth::GattCharacteristic>& characteristic,
                      const std::shared_ptr<platform::bluetooth::GattValueChangedEventArgs>& args);
  void OnNotificationsLost(const std::shared_ptr<platform::bluetooth::GattCharacteristic>& characteristic,
                           const std::shared_ptr<platform::bluetooth::Inspectable>& args);
  void OnLogged(const std::shared_ptr<platform::bluetooth::BluetoothPlatform>& platform,
                const std::shared_ptr<platform::bluetooth::PlatformLogEventArgs>& args);

 private:
  static constexpr uint32_t kDetached = 1u << 31;
  static constexpr uint32_t kReleased = 1u << 30;  // the owner is freed once no callback is inside
  static constexpr uint32_t kFreed = 1u << 29;     // the owner has been (or is being) freed
  static constexpr uint32_t kCountMask = kFreed - 1;

  // FreeOwnerIfIdle frees the owner when state (just read) has it released, not yet freed, and no callback
  // inside; of racing callers only one frees it.
  void FreeOwnerIfIdle(uint32_t state);

  enum EventKind {
    kAdvertisementReceived,
    kWatcherStopped,
    kConnectionStatusChanged,
    kNameChanged,
    kGattServicesChanged,
    kPairingRequested,
    kValueChanged,
    kNotificationsLost,
    kLogged,
    kEventKindCount,
  };

  // Registration is the handler on one object: a weak reference that tells whether the object at its
  // address is still the one registered, and what removes the handler from it (null when the platform had
  // no such event to add it to).
  struct Registration {
    std::weak_ptr<void> object;
    platform::bluetooth::EventToken token;
    void (*remove)(void* object, platform::bluetooth::EventToken token) = nullptr;
  };
  // Registrations of one event kind: the objects carrying the handler, by address.
  struct Registrations {
    std::unordered_map<const void*, Registration> objects;
    size_t purge_at = 16;
  };

  // Register runs add (the platform's Add call, which gives the handler's token, or nullopt when the platform
  // has no such event) unless object already carries the handler of kind; Remove is the Object's member
  // that takes it off again.
  template <auto Remove, class Object, class AddFn>
  bool Register(EventKind kind, const std::shared_ptr<Object>& object, AddFn&& add);

  std::atomic<uint32_t> state_{0};  // the admitted callbacks, and kDetached, kReleased, kFreed
  BLEClientEngine* const engine_;
  std::mutex registrations_mutex_;
  Registrations registrations_[kEventKindCount];  // guarded by registrations_mutex_
};

}  // namespace velmora::ble
