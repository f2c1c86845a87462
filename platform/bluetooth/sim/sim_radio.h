// SimRadio: the simulated Bluetooth LE radio, the default platform on machines without a real one.
//
// Tests script it through the members below and the plain data of sim_config.h; the engine sees only the
// BluetoothPlatform interface. Threads: completions of asynchronous operations run on one completion
// thread, events on a separate event thread (or several, see the constructor), so that an event handler
// that waits for an operation cannot block that operation's completion. No callback runs inside the call
// that caused it, except a completion handler given to an operation that has already finished.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_config.h"

namespace velmora::platform::bluetooth::sim {

class SimCore;

class SimRadio final : public BluetoothPlatform {
 public:
  // SimRadio starts with a present LE adapter and no peripherals. event_threads > 1 delivers events
  // concurrently (for concurrency tests); the default keeps them in FIFO order.
  explicit SimRadio(int event_threads = 1);
  // ~SimRadio drops queued callbacks, waits for running ones and joins every simulator thread; it must not
  // run on a simulator thread. Objects handed out stay valid but receive no further callbacks.
  ~SimRadio() override;
  SimRadio(const SimRadio&) = delete;
  SimRadio& operator=(const SimRadio&) = delete;

  // ---- Adapter and watchers
  void SetAdapter(SimAdapter adapter);
  // SetUnavailable makes UnavailableReason give reason (empty: the radio is available again); the radio
  // itself is left as it is.
  void SetUnavailable(HString reason);
  // SetWatcherTiming: Start reaches Started after start_delay_ms (0: inside Start; -1: only on
  // ForceWatchersStarted); Stop, also of a start still under way, reaches Stopped and fires Stopped after
  // stop_delay_ms.
  void SetWatcherTiming(int64_t start_delay_ms, int64_t stop_delay_ms);
  void ForceWatchersStarted();
  // AbortWatchers ends every running watcher with status Aborted; StopWatchersWithError with Stopped.
  // Both fire Stopped with `error`.
  void AbortWatchers(BluetoothError error);
  void StopWatchersWithError(BluetoothError error);

  // ---- Peripherals
  // AddPeripheral adds (or replaces) the peripheral with that address and starts its periodic activity.
  void AddPeripheral(SimPeripheral peripheral);
  // EmitAdvertisement sends advert `index` of the peripheral to every Started watcher whose filter passes
  // it (plus the scan response in Active mode). Returns false for an unknown address or index.
  bool EmitAdvertisement(uint64_t address, size_t index = 0);
  // SetLink changes the link state; a change fires ConnectionStatusChanged on every live device object.
  // While the link is down every GATT request finishes with status Unreachable and no protocol error.
  void SetLink(uint64_t address, bool up);
  void FireConnectionStatusChanged(uint64_t address);
  void SetName(uint64_t address, std::u16string name, bool fire = true);
  // ReplaceDatabase installs a new database (the client cache and CCCD states start over), fires
  // NotificationsLost on every characteristic object that held a subscription (which it no longer does) and
  // GattServicesChanged; FireServicesChanged only fires.
  void ReplaceDatabase(uint64_t address, SimGattDb database);
  void FireServicesChanged(uint64_t address);
  // SetDeviceValue changes a characteristic's or descriptor's value on the device without telling the client.
  void SetDeviceValue(uint64_t address, uint16_t handle, Bytes value);
  // Notify and Indicate send a value when the device's CCCD has the notify (indicate) bit or `force` is set:
  // it becomes the device and cached value and fires ValueChanged on every live object of that
  // characteristic that subscribed (of either kind), or that never wrote a setting of its own, and on every
  // one when forced. Return the number of objects the value was delivered to.
  size_t Notify(uint64_t address, uint16_t handle, Bytes value, bool force = false);
  size_t Indicate(uint64_t address, uint16_t handle, Bytes value, bool force = false);

  // What the peripheral holds now, for assertions.
  std::optional<Bytes> DeviceValue(uint64_t address, uint16_t handle);
  uint16_t CccdValue(uint64_t address, uint16_t handle);
  bool IsPaired(uint64_t address);

  // ---- Faults
  // AddFault adds a rule for asynchronous operations and returns its id (for Release).
  int AddFault(const SimFault& fault);
  // Release ends the rule's hold: every operation it holds finishes (on the completion thread), and so does one
  // it matches later, also one whose call the journal already shows. ReleaseAll releases every rule holding one.
  void Release(int rule_id);
  void ReleaseAll();
  void ClearFaults();
  // FailCall makes the platform call `api` ("<Class>.<Member>", as in the journal) raise hresult, for the
  // next `times` calls (-1: every call). Activations are "<Class>.Activate", statics "<Class>.Statics".
  void FailCall(std::string_view api, int32_t hresult, int times = 1);

  // ---- Journal and observation
  std::vector<SimCall> Journal();
  size_t CallCount(std::string_view api);
  std::optional<SimCall> LastCall(std::string_view api);
  void ClearJournal();
  // SetJournalLimit keeps at most limit of the most recent calls from now on (0: none; 100000 unless set).
  void SetJournalLimit(size_t limit);
  // HandlerCount sums the handlers registered for `event` on the live objects of a peripheral (for
  // kValueChanged: of characteristic `handle`); watcher events count across all watchers.
  size_t HandlerCount(uint64_t address, SimEvent event, uint16_t handle = 0);
  size_t LiveDeviceObjects(uint64_t address);
  // WaitIdle returns once no callback is queued or running on either thread (periodic activity aside).
  // Call it from a test thread, never from a handler.
  void WaitIdle();
  // QueuedEvents counts the events waiting for an event thread (not yet handed to a handler), so that a test
  // can watch a backlog that a slow handler leaves behind.
  size_t QueuedEvents();
  bool OnEventThread() const;
  bool OnCompletionThread() const;

  // ---- BluetoothPlatform
  AsyncOp<BluetoothAdapter> GetDefaultAdapterAsync() override;
  AsyncOp<BluetoothLEDevice> FromBluetoothAddressAsync(uint64_t address) override;
  std::shared_ptr<BluetoothLEAdvertisementWatcher> CreateWatcher() override;
  std::shared_ptr<BluetoothLEAdvertisementFilter> CreateFilter() override;
  std::shared_ptr<BluetoothLEAdvertisement> CreateAdvertisement() override;
  Bytes CreateBuffer(std::span<const uint8_t> bytes) override;
  std::optional<uint32_t> TryGetShortId(const Guid& uuid) override;
  uint8_t AdvertisementDataTypeValue(BluetoothLEAdvertisementDataType type) override;
  uint8_t GattProtocolErrorValue(GattProtocolError error) override;
  uint8_t GattPresentationFormatTypeValue(GattPresentationFormatType type) override;
  HString GuidToString(const Guid& uuid) override;
  HString EnumText(BluetoothError value) override;
  HString EnumText(BluetoothConnectionStatus value) override;
  HString EnumText(GattCommunicationStatus value) override;
  void PostEvent(std::function<void()> task) override;
  HString UnavailableReason() override;

 private:
  size_t Push(uint64_t address, uint16_t handle, Bytes value, bool force, uint16_t cccd_bit);
  void FireDeviceEventLocked(uint64_t address, SimEvent event);
  void StartPeriodicActivityLocked(uint64_t address);

  std::shared_ptr<SimCore> core_;
  std::mutex unavailable_mutex_;
  HString unavailable_reason_;
};

}  // namespace velmora::platform::bluetooth::sim
