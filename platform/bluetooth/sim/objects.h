// The simulated platform objects. Internal to the simulator: SimRadio hands them out through the interface.
// Every member named ...Locked expects the caller to hold SimCore::mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/core.h"

namespace velmora::platform::bluetooth::sim {

// SimInspectable is an event argument that only tells its text (a device event's kind, the reason a
// subscription ended).
class SimInspectable final : public NotificationsLostArgs {
 public:
  SimInspectable(std::shared_ptr<SimCore> core, HString text, uint64_t session = 0)
      : core_(std::move(core)), text_(std::move(text)), session_(session) {}
  HString ToString() override {
    auto lock = core_->Call({.api = "Object.ToString"});
    return text_;
  }
  uint64_t Session() override { return session_; }

 private:
  std::shared_ptr<SimCore> core_;
  const HString text_;
  const uint64_t session_;  // of the subscription that ended (NotificationsLost); 0 otherwise
};

// SimAdvertisement derives everything from raw sections (received adverts) or starts empty (filters).
class SimAdvertisement final : public BluetoothLEAdvertisement {
 public:
  SimAdvertisement(std::shared_ptr<SimCore> core, std::vector<BluetoothLEAdvertisementDataSection> sections);

  HString LocalName() override;
  std::optional<uint32_t> Flags() override;
  std::vector<Guid> ServiceUuids() override;
  void AppendServiceUuid(const Guid& uuid) override;
  std::vector<BluetoothLEManufacturerData> ManufacturerData() override;
  std::vector<BluetoothLEAdvertisementDataSection> GetSectionsByType(uint8_t type) override;
  std::vector<BluetoothLEAdvertisementDataSection> DataSections() override;

  const std::vector<Guid>& ServiceUuidsLocked() const { return service_uuids_; }

 private:
  std::shared_ptr<SimCore> core_;
  const std::vector<BluetoothLEAdvertisementDataSection> sections_;
  HString local_name_;
  std::optional<uint32_t> flags_;
  std::vector<Guid> service_uuids_;
  std::vector<BluetoothLEManufacturerData> manufacturer_data_;
};

class SimWatcher final : public BluetoothLEAdvertisementWatcher, public std::enable_shared_from_this<SimWatcher> {
 public:
  explicit SimWatcher(std::shared_ptr<SimCore> core) : core_(std::move(core)) {}

  BluetoothLEAdvertisementWatcherStatus Status() override;
  void SetAdvertisementFilter(std::shared_ptr<BluetoothLEAdvertisementFilter> filter) override;
  void SetScanningMode(BluetoothLEScanningMode mode) override;
  void Start() override;
  void Stop() override;
  void StopRun(uint64_t run) override;
  uint64_t Run() override;
  std::shared_ptr<BluetoothLEAdvertisementWatcherStoppedEventArgs> LastStopped() override;
  EventToken AddReceived(
      TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs> handler) override;
  void RemoveReceived(EventToken token) override;
  EventToken AddStopped(
      TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs> handler)
      override;
  void RemoveStopped(EventToken token) override;

  // OfferLocked delivers the advert (and in Active mode its scan response) when the watcher is Started and
  // its filter passes the device: the advert and the scan response (in Active mode) carry every UUID of the
  // filter between them, now or at an earlier offer of this run; a device that passed once passes for the
  // rest of the run.
  void OfferLocked(uint64_t address, const SimAdvert& advert, const std::optional<SimAdvert>& scan_response);
  // EndLocked moves a running watcher to `status` and fires Stopped with `error`.
  void EndLocked(BluetoothLEAdvertisementWatcherStatus status, BluetoothError error);
  void ForceStartedLocked();
  size_t HandlerCountLocked(SimEvent event) const;

 private:
  bool PassesLocked(uint64_t address, const SimAdvertisement& advert, const std::optional<SimAdvert>& scan_response);

  std::shared_ptr<SimCore> core_;
  BluetoothLEAdvertisementWatcherStatus status_ = BluetoothLEAdvertisementWatcherStatus::Created;
  BluetoothLEScanningMode mode_ = BluetoothLEScanningMode::Passive;
  std::shared_ptr<BluetoothLEAdvertisementFilter> filter_;
  bool start_pending_ = false;
  uint64_t start_generation_ = 0;  // a delayed start applies only while no Start or Stop came after it
  uint64_t run_ = 0;               // the number of the latest run (each Start taken begins one)
  std::shared_ptr<BluetoothLEAdvertisementWatcherStoppedEventArgs> last_stopped_;
  std::set<uint64_t> passed_;  // the devices the filter has passed in this run (a new run or filter clears it)
  EventHandlers<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs> received_;
  EventHandlers<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs> stopped_;
  // The watcher's reports waiting for the event threads: 4096 at the most, the newest (see SimReportBuffer).
  static constexpr size_t kReportBuffer = 4096;
  std::shared_ptr<SimReportBuffer> reports_ = std::make_shared<SimReportBuffer>(kReportBuffer);
};

// SimPairing is a device's pairing information, its pairing interface and its custom pairing at once, so
// that every path to the custom pairing of one device object reaches the same PairingRequested handlers.
class SimPairing final : public DeviceInformation,
                         public DeviceInformationPairing,
                         public DeviceInformationCustomPairing,
                         public std::enable_shared_from_this<SimPairing> {
 public:
  SimPairing(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state, uint64_t address)
      : core_(std::move(core)), state_(std::move(state)), address_(address) {}

  std::shared_ptr<DeviceInformationPairing> Pairing() override;
  bool CanPair() override;
  bool IsPaired() override;
  std::shared_ptr<DeviceInformationCustomPairing> Custom() override;
  AsyncOp<DeviceUnpairingResult> UnpairAsync() override;
  EventToken AddPairingRequested(
      TypedEventHandler<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs> handler) override;
  void RemovePairingRequested(EventToken token) override;
  AsyncOp<DevicePairingResult> PairAsync(uint32_t kinds) override;

  size_t HandlerCountLocked() const { return requested_.size(); }

 private:
  using RequestHandler = TypedEventHandler<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs>;
  int32_t RunCeremony(uint32_t kinds, const std::vector<RequestHandler>& handlers);

  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  uint64_t address_;
  EventHandlers<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs> requested_;
};

class SimDevice final : public BluetoothLEDevice, public std::enable_shared_from_this<SimDevice> {
 public:
  SimDevice(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state);

  uint64_t BluetoothAddress() override;
  bluetooth::BluetoothAddressType BluetoothAddressType() override;
  HString Name() override;
  BluetoothConnectionStatus ConnectionStatus() override;
  std::shared_ptr<bluetooth::DeviceInformation> DeviceInformation() override;
  EventToken AddNameChanged(TypedEventHandler<BluetoothLEDevice, Inspectable> handler) override;
  void RemoveNameChanged(EventToken token) override;
  EventToken AddGattServicesChanged(TypedEventHandler<BluetoothLEDevice, Inspectable> handler) override;
  void RemoveGattServicesChanged(EventToken token) override;
  EventToken AddConnectionStatusChanged(TypedEventHandler<BluetoothLEDevice, Inspectable> handler) override;
  void RemoveConnectionStatusChanged(EventToken token) override;
  AsyncOp<GattDeviceServicesResult> GetGattServicesWithCacheModeAsync(BluetoothCacheMode mode) override;
  AsyncOp<GattDeviceServicesResult> GetGattServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                             BluetoothCacheMode mode) override;

  void FireLocked(SimEvent event);
  size_t HandlerCountLocked(SimEvent event) const;

 private:
  using Handler = TypedEventHandler<BluetoothLEDevice, Inspectable>;
  using Handlers = EventHandlers<BluetoothLEDevice, Inspectable>;
  EventToken Add(const char* api, Handlers& handlers, Handler handler);
  void Remove(const char* api, Handlers& handlers, EventToken token);
  AsyncOp<GattDeviceServicesResult> Services(const char* api, const std::optional<Guid>& uuid, BluetoothCacheMode mode);

  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  const uint64_t address_;
  std::shared_ptr<SimPairing> pairing_;
  Handlers name_changed_;
  Handlers services_changed_;
  Handlers status_changed_;
};

class SimGattCharacteristic final : public GattCharacteristic,
                                    public std::enable_shared_from_this<SimGattCharacteristic> {
 public:
  SimGattCharacteristic(std::shared_ptr<SimCore> core, std::shared_ptr<PeripheralState> state,
                        const SimCharacteristic& found);
  // An object that goes while subscribed ends its subscription, as a host ends that of a client that left:
  // once no live object of the characteristic holds one, the device's CCCD goes off.
  ~SimGattCharacteristic() override;

  uint16_t AttributeHandle() override;
  Guid Uuid() override;
  uint32_t CharacteristicProperties() override;
  std::vector<GattPresentationFormat> PresentationFormats() override;
  HString UserDescription() override;
  EventToken AddValueChanged(TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs> handler) override;
  void RemoveValueChanged(EventToken token) override;
  EventToken AddNotificationsLost(TypedEventHandler<GattCharacteristic, Inspectable> handler) override;
  void RemoveNotificationsLost(EventToken token) override;
  uint64_t NotificationSession() override { return sessions_.load(); }
  AsyncOp<GattReadResult> ReadValueWithCacheModeAsync(BluetoothCacheMode mode) override;
  AsyncOp<GattReadClientCharacteristicConfigurationDescriptorResult>
  ReadClientCharacteristicConfigurationDescriptorAsync() override;
  AsyncOp<GattDescriptorsResult> GetDescriptorsWithCacheModeAsync(BluetoothCacheMode mode) override;
  AsyncOp<GattDescriptorsResult> GetDescriptorsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                         BluetoothCacheMode mode) override;
  AsyncOp<GattWriteResult> WriteValueWithResultAndOptionAsync(const Bytes& value, GattWriteOption option) override;
  AsyncOp<GattWriteResult> WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
      GattClientCharacteristicConfigurationDescriptorValue value) override;

  uint16_t handle() const { return handle_; }
  // DeliverValueLocked fires ValueChanged with the value; returns whether any handler was there for it.
  bool DeliverValueLocked(const Bytes& value);
  // SubscribeLocked makes `value` this object's own setting of the characteristic's CCCD (a client's
  // subscription) and sets the device's CCCD to what every live object of the characteristic asks, so that
  // it notifies until the last subscriber has unsubscribed. Caller holds SimCore::mutex.
  void SubscribeLocked(PeripheralState& state, uint16_t value);
  // WantsLocked tells whether a value the device pushes with `bit` of its CCCD set reaches this object: once
  // it wrote a setting of its own, when that asks for any push (a host hands every subscriber what the device
  // sends, notification or indication, as the device chooses between the kinds its clients asked for), else
  // as the device's CCCD says. Caller holds SimCore::mutex.
  bool WantsLocked(const PeripheralState& state, uint16_t bit) const;
  // LoseLocked ends this object's subscription when it holds one, firing NotificationsLost with reason (its
  // setting becomes "off"); returns whether it held one. Caller holds SimCore::mutex.
  bool LoseLocked(const HString& reason);
  size_t HandlerCountLocked() const { return value_changed_.size(); }

 private:
  AsyncOp<GattDescriptorsResult> Descriptors(const char* api, const std::optional<Guid>& uuid, BluetoothCacheMode mode);

  std::shared_ptr<SimCore> core_;
  std::shared_ptr<PeripheralState> state_;
  const uint16_t handle_;
  const Guid uuid_;
  const uint32_t properties_;
  EventHandlers<GattCharacteristic, GattValueChangedEventArgs> value_changed_;
  EventHandlers<GattCharacteristic, Inspectable> notifications_lost_;
  std::optional<uint16_t> subscription_;  // this object's own CCCD setting, once it wrote one
  std::atomic<uint64_t> sessions_{0};     // the subscriptions it has held (NotificationSession)
};

std::shared_ptr<BluetoothLEAdvertisementFilter> MakeFilter(std::shared_ptr<SimCore> core);
std::shared_ptr<BluetoothAdapter> MakeAdapter(std::shared_ptr<SimCore> core, bool low_energy);

}  // namespace velmora::platform::bluetooth::sim
