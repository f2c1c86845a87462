// The platform objects of the BlueZ backend. Internal to the backend; BluezPlatform hands them out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/bluez/bluez_core.h"

namespace velmora::platform::bluetooth::bluez {

// kPoweredOffText explains a scan that a powered-off adapter refused or ended.
inline constexpr char16_t kPoweredOffText[] =
    u"The Bluetooth adapter is powered off; the library does not power it on.";

// Device events, as BluezCore fires them on the device objects of a path.
enum DeviceEvent { kNameChanged = 0, kConnectionStatusChanged = 1, kGattServicesChanged = 2 };

class BluezWatcher final : public BluetoothLEAdvertisementWatcher, public std::enable_shared_from_this<BluezWatcher> {
 public:
  explicit BluezWatcher(std::shared_ptr<BluezCore> core) : core_(std::move(core)) {}
  ~BluezWatcher() override;

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

  // Offer delivers a device's advertisement while the watcher runs and its filter passes it. Bus thread.
  void Offer(uint64_t address, int16_t rssi, const std::vector<BluetoothLEAdvertisementDataSection>& sections);
  // End moves a running watcher to `status` and fires Stopped with `error` and `detail`. Any thread.
  void End(BluetoothLEAdvertisementWatcherStatus status, BluetoothError error, const HString& detail = {});
  // Abort leaves the discovery session and ends a running watcher as aborted. Bus thread.
  void Abort(BluetoothError error, const HString& detail);

 private:
  // Join takes part in the process's discovery session for the run that `generation` started. Bus thread.
  void Join(const std::vector<Guid>& uuids, uint64_t generation);
  // Leave gives up the watcher's part in the discovery session. Bus thread.
  void Leave();

  std::shared_ptr<BluezCore> core_;
  std::mutex mutex_;
  BluetoothLEAdvertisementWatcherStatus status_ = BluetoothLEAdvertisementWatcherStatus::Created;
  std::vector<Guid> filter_uuids_;
  bool starting_ = false;    // Start was called and discovery is not yet running
  uint64_t generation_ = 0;  // a reply counts only while no Start or Stop came after its request
  uint64_t run_ = 0;         // the number of the latest run (each Start taken begins one)
  std::set<uint64_t> passed_;  // devices of this run that the filter passed: they pass from then on
  // The watcher's place in the discovery session, 0 for none: written on the bus thread only.
  std::atomic<uint64_t> user_{0};
  std::shared_ptr<BluetoothLEAdvertisementWatcherStoppedEventArgs> last_stopped_;
  sim::EventHandlers<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs> received_;
  sim::EventHandlers<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs> stopped_;
};

class BluezPairing;

class BluezDevice final : public BluetoothLEDevice, public std::enable_shared_from_this<BluezDevice> {
 public:
  BluezDevice(std::shared_ptr<BluezCore> core, std::string path, uint64_t address);

  uint64_t BluetoothAddress() override { return address_; }
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
  AsyncOp<DeviceCloseResult> CloseAsync(uint32_t timeout_ms) override;

  void Fire(DeviceEvent event);

 private:
  using Handler = TypedEventHandler<BluetoothLEDevice, Inspectable>;
  EventToken Add(DeviceEvent event, Handler handler);
  void Remove(DeviceEvent event, EventToken token);
  AsyncOp<GattDeviceServicesResult> Services(std::optional<Guid> uuid);

  std::shared_ptr<BluezCore> core_;
  const std::string path_;
  const uint64_t address_;
  std::shared_ptr<LinkHold> hold_;  // guarded by mutex_; null after CloseAsync until a GATT request
  std::shared_ptr<BluezPairing> pairing_;
  std::mutex mutex_;
  sim::EventHandlers<BluetoothLEDevice, Inspectable> handlers_[3];
};

// Subscription is what a characteristic object asked of its notifications: nothing yet (it receives what a
// session of the characteristic brings), or to receive them, or no more.
enum class Subscription { kFollows, kSubscribed, kUnsubscribed };

class BluezCharacteristic final : public GattCharacteristic, public std::enable_shared_from_this<BluezCharacteristic> {
 public:
  struct Info {
    std::string path;
    uint16_t handle = 0;
    Guid uuid;
    uint32_t properties = 0;
    HString user_description;
    std::vector<GattPresentationFormat> formats;
  };
  BluezCharacteristic(std::shared_ptr<BluezCore> core, Info info);
  // A subscribed object that goes ends the characteristic's session when no other object of the process
  // holds a subscription of it.
  ~BluezCharacteristic() override;

  uint16_t AttributeHandle() override { return info_.handle; }
  Guid Uuid() override { return info_.uuid; }
  uint32_t CharacteristicProperties() override { return info_.properties; }
  std::vector<GattPresentationFormat> PresentationFormats() override { return info_.formats; }
  HString UserDescription() override { return info_.user_description; }
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

  const std::string& Path() const { return info_.path; }
  // Deliver fires ValueChanged with one received value.
  void Deliver(const Bytes& value, int64_t timestamp);
  // Lose fires NotificationsLost with the reason.
  void Lose(const std::string& reason);
  // subscription and set_subscription: this object's own subscription; one made while it held none is the
  // next of NotificationSession. Bus thread.
  Subscription subscription() const { return subscription_; }
  void set_subscription(Subscription subscription) {
    if (subscription == Subscription::kSubscribed && subscription_ != Subscription::kSubscribed) ++sessions_;
    subscription_ = subscription;
  }

 private:
  AsyncOp<GattDescriptorsResult> Descriptors(std::optional<Guid> uuid);

  std::shared_ptr<BluezCore> core_;
  const Info info_;
  std::shared_ptr<LinkHold> hold_;
  Subscription subscription_ = Subscription::kFollows;  // bus thread
  std::atomic<uint64_t> sessions_{0};                   // written on the bus thread
  std::mutex mutex_;
  sim::EventHandlers<GattCharacteristic, GattValueChangedEventArgs> value_changed_;
  sim::EventHandlers<GattCharacteristic, Inspectable> lost_;
};

// BluezGattResult serves every GATT result interface; the request fills it before handing it out.
class BluezGattResult final : public GattDeviceServicesResult,
                              public GattCharacteristicsResult,
                              public GattDescriptorsResult,
                              public GattReadResult,
                              public GattReadClientCharacteristicConfigurationDescriptorResult,
                              public GattWriteResult {
 public:
  GattCommunicationStatus Status() override { return status; }
  std::optional<uint8_t> ProtocolError() override { return ProtocolErrorOf(protocol_error); }
  std::vector<std::shared_ptr<GattDeviceService>> Services() override { return services; }
  std::vector<std::shared_ptr<GattCharacteristic>> Characteristics() override { return characteristics; }
  std::vector<std::shared_ptr<GattDescriptor>> Descriptors() override { return descriptors; }
  Bytes Value() override { return value; }
  GattClientCharacteristicConfigurationDescriptorValue ClientCharacteristicConfigurationDescriptor() override {
    return cccd;
  }

  GattCommunicationStatus status = GattCommunicationStatus::Success;
  int protocol_error = kNoProtocolError;  // the ATT error byte, kept as a number (see kNoProtocolError)
  std::vector<std::shared_ptr<GattDeviceService>> services;
  std::vector<std::shared_ptr<GattCharacteristic>> characteristics;
  std::vector<std::shared_ptr<GattDescriptor>> descriptors;
  Bytes value;
  GattClientCharacteristicConfigurationDescriptorValue cccd =
      GattClientCharacteristicConfigurationDescriptorValue::None;
};

// Unreachable makes the result of a request that could not reach the device.
std::shared_ptr<BluezGattResult> Unreachable();
// ResultOf makes the result of a bluetoothd answer (status and ATT error mapped).
std::shared_ptr<BluezGattResult> ResultOf(const Reply& reply);

// Operations shared by the GATT objects; each starts on the bus thread and finishes its operation.
AsyncOp<GattReadResult> ReadAttribute(const std::shared_ptr<BluezCore>& core, const std::string& path,
                                      const char* iface, BluetoothCacheMode mode);
// WriteCccd subscribes `subscriber` (the characteristic object at characteristic_path that asks; none when
// it is gone) to the characteristic's notifications, or unsubscribes it: the notification session opens with
// the first subscriber of the process and ends with the last.
AsyncOp<GattWriteResult> WriteCccd(const std::shared_ptr<BluezCore>& core, const std::string& characteristic_path,
                                   GattClientCharacteristicConfigurationDescriptorValue value,
                                   std::weak_ptr<BluezCharacteristic> subscriber);
// MakeServices builds service objects for cached service paths (bus thread or any).
std::vector<std::shared_ptr<GattDeviceService>> MakeServices(const std::shared_ptr<BluezCore>& core,
                                                             const std::vector<std::pair<std::string, Props>>& found,
                                                             const std::optional<Guid>& uuid);
// Handle gives an attribute's handle: its Handle property, else the hex suffix of its path.
uint16_t HandleOf(const std::string& path, const Props& props);
std::optional<Guid> UuidOf(const Props& props);

// Rebuilds the advertising data sections of a device from its properties, in the documented fixed order.
std::vector<BluetoothLEAdvertisementDataSection> RebuildSections(const Props& device);

// PropertyProblem says why a property that the backend reads cannot be used (its signature, or the content
// of an advertising dictionary); empty when it can, and for properties the backend does not read.
std::string PropertyProblem(const std::string& iface, const std::string& key, const Value& value);
// ReplyProblem names the signature of a successful reply that is not `expected`; empty when it is.
std::string ReplyProblem(const Reply& reply, const char* member, const char* expected);

// Error mapping of bluetoothd's answers.
struct GattOutcome {
  GattCommunicationStatus status = GattCommunicationStatus::Success;
  int protocol_error = kNoProtocolError;
};
GattOutcome GattOutcomeOf(const Reply& reply);
DevicePairingResultStatus PairingStatusOf(const Reply& reply);
// HoldOf names another client's hold on a characteristic that a refusal of bluetoothd reports (its
// notification or write socket); empty for every other answer.
std::string HoldOf(const Reply& reply);
// ErrorDetail gives "<error name>: <error text>" of a failed reply, empty for a success.
HString ErrorDetail(const Reply& reply);
BluetoothError ScanErrorOf(const Reply& reply);

std::shared_ptr<BluetoothAdapter> MakeAdapter(std::shared_ptr<BluezCore> core, std::string path);

}  // namespace velmora::platform::bluetooth::bluez
