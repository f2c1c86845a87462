// The Bluetooth LE platform interface: every operation, asynchronous result and event the engine uses.
//
// Conventions of every class below:
// - Any member may raise PlatformError (types.h) with the platform's failure number; nothing else is raised
//   except std::bad_alloc.
// - A lengthy operation returns an AsyncOperation at once and finishes later on a platform thread.
// - Events are registered with Add...; the handler runs on a platform thread, never inside the call that
//   caused the event. Remove... of the same event takes the handler off again by the token that Add...
//   returned (an unknown token is ignored); it takes only the object's own lock and runs no handler, so any
//   thread may call it, a handler included. An event already on its way may still reach a handler just
//   removed. A handler never removed stays as long as its object.
// - Objects are shared: a platform object stays valid while anyone holds it, also after its source went away.
// - The platform's later interface versions are merged into these classes; a member that the object does
//   not support raises kENoInterface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/bluetooth/types.h"

namespace velmora::platform::bluetooth {

enum class AsyncStatus : int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

// AsyncOperation is one lengthy platform operation that ends in a result of type T (possibly null).
template <class T>
class AsyncOperation {
 public:
  using CompletedHandler = std::function<void(AsyncOperation<T>& operation, AsyncStatus status)>;
  virtual ~AsyncOperation() = default;

  // SetCompleted gives the operation its one completion handler; a second call raises
  // kEIllegalDelegateAssignment. When the operation has already finished, the handler runs inline before
  // SetCompleted returns; otherwise it runs once, later, on a platform completion thread. The handler must
  // not raise; the operation stays alive while it runs.
  virtual void SetCompleted(CompletedHandler handler) = 0;
  // GetResults returns the result of a finished operation (null is a valid result). It raises the
  // operation's failure, or kEIllegalMethodCall while the operation is still running. Any thread.
  virtual std::shared_ptr<T> GetResults() = 0;
  virtual AsyncStatus Status() = 0;
};

template <class T>
using AsyncOp = std::shared_ptr<AsyncOperation<T>>;

struct EventToken {
  int64_t value = 0;
};

template <class Sender, class Args>
using TypedEventHandler = std::function<void(const std::shared_ptr<Sender>& sender, const std::shared_ptr<Args>& args)>;

// Inspectable is an event argument object that only has a text form.
class Inspectable {
 public:
  virtual ~Inspectable() = default;
  virtual HString ToString() = 0;
};

// NotificationsLostArgs is the argument of GattCharacteristic's NotificationsLost on a platform that numbers
// an object's subscriptions (see GattCharacteristic::NotificationSession): Session is the number of the one
// that ended.
class NotificationsLostArgs : public Inspectable {
 public:
  virtual uint64_t Session() = 0;
};

// ---- Adapter and advertisements

class BluetoothAdapter {
 public:
  virtual ~BluetoothAdapter() = default;
  virtual bool IsLowEnergySupported() = 0;
};

class BluetoothLEAdvertisement {
 public:
  virtual ~BluetoothLEAdvertisement() = default;
  // LocalName is the advertised name, empty when none was advertised.
  virtual HString LocalName() = 0;
  // Flags is the Flags section's value; nullopt when the advertisement carries none.
  virtual std::optional<uint32_t> Flags() = 0;
  // ServiceUuids lists the advertised service UUIDs in section order, duplicates kept.
  virtual std::vector<Guid> ServiceUuids() = 0;
  virtual void AppendServiceUuid(const Guid& uuid) = 0;
  virtual std::vector<BluetoothLEManufacturerData> ManufacturerData() = 0;
  // GetSectionsByType returns every section of that type in the order received.
  virtual std::vector<BluetoothLEAdvertisementDataSection> GetSectionsByType(uint8_t type) = 0;
  virtual std::vector<BluetoothLEAdvertisementDataSection> DataSections() = 0;
};

class BluetoothLEAdvertisementFilter {
 public:
  virtual ~BluetoothLEAdvertisementFilter() = default;
  // An advertisement passes a filter without advertisement; with one, it must carry all of its service UUIDs.
  virtual std::shared_ptr<BluetoothLEAdvertisement> Advertisement() = 0;
  virtual void SetAdvertisement(std::shared_ptr<BluetoothLEAdvertisement> advertisement) = 0;
};

class BluetoothLEAdvertisementReceivedEventArgs {
 public:
  virtual ~BluetoothLEAdvertisementReceivedEventArgs() = default;
  // BluetoothAddress holds the 48-bit address in its low bits.
  virtual uint64_t BluetoothAddress() = 0;
  virtual int16_t RawSignalStrengthInDBm() = 0;
  virtual BluetoothLEAdvertisementType AdvertisementType() = 0;
  virtual std::shared_ptr<BluetoothLEAdvertisement> Advertisement() = 0;
  // Timestamp is the reception time in milliseconds of the monotonic clock.
  virtual int64_t Timestamp() = 0;
  // Run is the number of the watcher's run that received the advertisement (see
  // BluetoothLEAdvertisementWatcher::Run).
  virtual uint64_t Run() = 0;
};

class BluetoothLEAdvertisementWatcherStoppedEventArgs {
 public:
  virtual ~BluetoothLEAdvertisementWatcherStoppedEventArgs() = default;
  virtual BluetoothError Error() = 0;
  // Detail is the platform's own sentence on why the watcher stopped; empty when it has none.
  virtual HString Detail() { return {}; }
  // Run is the number of the run that ended.
  virtual uint64_t Run() = 0;
};

class BluetoothLEAdvertisementWatcher {
 public:
  virtual ~BluetoothLEAdvertisementWatcher() = default;
  virtual BluetoothLEAdvertisementWatcherStatus Status() = 0;
  virtual void SetAdvertisementFilter(std::shared_ptr<BluetoothLEAdvertisementFilter> filter) = 0;
  virtual void SetScanningMode(BluetoothLEScanningMode mode) = 0;
  // Start moves the watcher towards Started (maybe later); Stop towards Stopped, then fires Stopped.
  virtual void Start() = 0;
  virtual void Stop() = 0;
  // StopRun is Stop for the run numbered run only: nothing when the watcher's latest run is another (or has
  // ended), so that a stop decided for one run never stops a run that a later Start began. 0 stops whichever
  // run the watcher has, as Stop does.
  virtual void StopRun(uint64_t run) = 0;
  // Run is the number of the watcher's latest run: each Start that the watcher takes (it ignores one while
  // Started or Stopping) begins a run, numbered from 1; 0 before the first. The events of a run carry its
  // number, so that a receiver tells them from the events of an earlier run still on their way.
  virtual uint64_t Run() = 0;
  // LastStopped returns the arguments of the Stopped event of the latest run that ended (the object that
  // event carries), or null before any ended.
  virtual std::shared_ptr<BluetoothLEAdvertisementWatcherStoppedEventArgs> LastStopped() = 0;
  virtual EventToken AddReceived(
      TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs> handler) = 0;
  virtual void RemoveReceived(EventToken token) = 0;
  virtual EventToken AddStopped(
      TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs> handler) = 0;
  virtual void RemoveStopped(EventToken token) = 0;
};

// ---- Pairing

class DevicePairingRequestedEventArgs {
 public:
  virtual ~DevicePairingRequestedEventArgs() = default;
  // PairingKind is one DevicePairingKinds bit.
  virtual uint32_t PairingKind() = 0;
  // Pin is the PIN to show or compare (DisplayPin, ConfirmPinMatch); empty for the other kinds.
  virtual HString Pin() = 0;
  // Accept and AcceptWithPin answer the request; they count only while the handler runs.
  virtual void Accept() = 0;
  virtual void AcceptWithPin(const HString& pin) = 0;
};

class DevicePairingResult {
 public:
  virtual ~DevicePairingResult() = default;
  virtual DevicePairingResultStatus Status() = 0;
  // Detail says why a pairing failed where the status alone does not (an answer of the application that
  // the platform refused); else empty.
  virtual HString Detail() { return {}; }
};

class DeviceUnpairingResult {
 public:
  virtual ~DeviceUnpairingResult() = default;
  virtual DeviceUnpairingResultStatus Status() = 0;
  // Detail names the system's refusal (its error name and text) when the status is Failed; else empty.
  virtual HString Detail() { return {}; }
};

class DeviceInformationCustomPairing {
 public:
  virtual ~DeviceInformationCustomPairing() = default;
  virtual EventToken AddPairingRequested(
      TypedEventHandler<DeviceInformationCustomPairing, DevicePairingRequestedEventArgs> handler) = 0;
  virtual void RemovePairingRequested(EventToken token) = 0;
  // PairAsync pairs, accepting the pairing kinds in the bit set kinds; requests arrive as PairingRequested.
  virtual AsyncOp<DevicePairingResult> PairAsync(uint32_t kinds) = 0;
};

class DeviceInformationPairing {
 public:
  virtual ~DeviceInformationPairing() = default;
  virtual bool CanPair() = 0;
  // IsPaired tells whether the device is bonded now.
  virtual bool IsPaired() = 0;
  virtual std::shared_ptr<DeviceInformationCustomPairing> Custom() = 0;
  virtual AsyncOp<DeviceUnpairingResult> UnpairAsync() = 0;
};

class DeviceInformation {
 public:
  virtual ~DeviceInformation() = default;
  virtual std::shared_ptr<DeviceInformationPairing> Pairing() = 0;
};

// ---- GATT

class GattDeviceService;
class GattCharacteristic;
class GattDescriptor;

class GattSession {
 public:
  virtual ~GattSession() = default;
  virtual uint16_t MaxPduSize() = 0;
};

// Every GATT result carries a communication status and, with status ProtocolError, the ATT error byte;
// ProtocolError is nullopt when the platform has none. The lists of a failed request are empty.
class GattDeviceServicesResult {
 public:
  virtual ~GattDeviceServicesResult() = default;
  virtual GattCommunicationStatus Status() = 0;
  virtual std::optional<uint8_t> ProtocolError() = 0;
  virtual std::vector<std::shared_ptr<GattDeviceService>> Services() = 0;
};

class GattCharacteristicsResult {
 public:
  virtual ~GattCharacteristicsResult() = default;
  virtual GattCommunicationStatus Status() = 0;
  virtual std::optional<uint8_t> ProtocolError() = 0;
  virtual std::vector<std::shared_ptr<GattCharacteristic>> Characteristics() = 0;
};

class GattDescriptorsResult {
 public:
  virtual ~GattDescriptorsResult() = default;
  virtual GattCommunicationStatus Status() = 0;
  virtual std::optional<uint8_t> ProtocolError() = 0;
  virtual std::vector<std::shared_ptr<GattDescriptor>> Descriptors() = 0;
};

class GattReadResult {
 public:
  virtual ~GattReadResult() = default;
  virtual GattCommunicationStatus Status() = 0;
  virtual std::optional<uint8_t> ProtocolError() = 0;
  virtual Bytes Value() = 0;
};

class GattReadClientCharacteristicConfigurationDescriptorResult {
 public:
  virtual ~GattReadClientCharacteristicConfigurationDescriptorResult() = default;
  virtual GattCommunicationStatus Status() = 0;
  virtual std::optional<uint8_t> ProtocolError() = 0;
  virtual GattClientCharacteristicConfigurationDescriptorValue ClientCharacteristicConfigurationDescriptor() = 0;
};

class GattWriteResult {
 public:
  virtual ~GattWriteResult() = default;
  virtual GattCommunicationStatus Status() = 0;
  virtual std::optional<uint8_t> ProtocolError() = 0;
};

class GattValueChangedEventArgs {
 public:
  virtual ~GattValueChangedEventArgs() = default;
  virtual Bytes CharacteristicValue() = 0;
  virtual int64_t Timestamp() = 0;
};

class GattDeviceService {
 public:
  virtual ~GattDeviceService() = default;
  virtual uint16_t AttributeHandle() = 0;
  virtual Guid Uuid() = 0;
  virtual std::shared_ptr<GattSession> Session() = 0;
  virtual AsyncOp<GattDeviceServicesResult> GetIncludedServicesWithCacheModeAsync(BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattDeviceServicesResult> GetIncludedServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                         BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattCharacteristicsResult> GetCharacteristicsWithCacheModeAsync(BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattCharacteristicsResult> GetCharacteristicsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                         BluetoothCacheMode mode) = 0;
};

class GattCharacteristic {
 public:
  virtual ~GattCharacteristic() = default;
  virtual uint16_t AttributeHandle() = 0;
  virtual Guid Uuid() = 0;
  // CharacteristicProperties is a set of GattCharacteristicProperties bits.
  virtual uint32_t CharacteristicProperties() = 0;
  virtual std::vector<GattPresentationFormat> PresentationFormats() = 0;
  // UserDescription is the text of the User Description descriptor (0x2901), empty without one.
  virtual HString UserDescription() = 0;
  // ValueChanged fires for every notification or indication that reaches this object.
  virtual EventToken AddValueChanged(TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs> handler) = 0;
  virtual void RemoveValueChanged(EventToken token) = 0;
  // NotificationsLost fires when the platform can no longer deliver this characteristic's notifications
  // and could not resume them another way; args->ToString() says why. The subscription is then over. A
  // platform that never loses notifications on its own raises kENoInterface.
  virtual EventToken AddNotificationsLost(TypedEventHandler<GattCharacteristic, Inspectable> /*handler*/) {
    throw PlatformError(kENoInterface);
  }
  virtual void RemoveNotificationsLost(EventToken /*token*/) {}
  // NotificationSession numbers this object's subscriptions: n from the CCCD write that subscribed it as the
  // n-th while it held none (a write that keeps one it holds keeps its number) on, and after its end; the
  // NotificationsLost of the n-th gives n in NotificationsLostArgs. 0 before the first, and on a platform
  // that does not number them. Any thread.
  virtual uint64_t NotificationSession() { return 0; }
  virtual AsyncOp<GattReadResult> ReadValueWithCacheModeAsync(BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattReadClientCharacteristicConfigurationDescriptorResult>
  ReadClientCharacteristicConfigurationDescriptorAsync() = 0;
  virtual AsyncOp<GattDescriptorsResult> GetDescriptorsWithCacheModeAsync(BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattDescriptorsResult> GetDescriptorsForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                 BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattWriteResult> WriteValueWithResultAndOptionAsync(const Bytes& value, GattWriteOption option) = 0;
  virtual AsyncOp<GattWriteResult> WriteClientCharacteristicConfigurationDescriptorWithResultAsync(
      GattClientCharacteristicConfigurationDescriptorValue value) = 0;
};

class GattDescriptor {
 public:
  virtual ~GattDescriptor() = default;
  virtual uint16_t AttributeHandle() = 0;
  virtual Guid Uuid() = 0;
  virtual AsyncOp<GattReadResult> ReadValueWithCacheModeAsync(BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattWriteResult> WriteValueWithResultAsync(const Bytes& value) = 0;
};

// ---- Device

// DeviceCloseResult is the outcome of closing a device's link: Succeeded, or the system's refusal or
// time-out in Detail (its error name and text).
class DeviceCloseResult {
 public:
  virtual ~DeviceCloseResult() = default;
  virtual bool Succeeded() = 0;
  virtual HString Detail() = 0;
};

class BluetoothLEDevice {
 public:
  virtual ~BluetoothLEDevice() = default;
  virtual uint64_t BluetoothAddress() = 0;
  virtual bluetooth::BluetoothAddressType BluetoothAddressType() = 0;
  virtual HString Name() = 0;
  virtual BluetoothConnectionStatus ConnectionStatus() = 0;
  virtual std::shared_ptr<bluetooth::DeviceInformation> DeviceInformation() = 0;
  // The three device events pass an argument object; GattServicesChanged's text is "GattServicesChanged".
  virtual EventToken AddNameChanged(TypedEventHandler<BluetoothLEDevice, Inspectable> handler) = 0;
  virtual void RemoveNameChanged(EventToken token) = 0;
  virtual EventToken AddGattServicesChanged(TypedEventHandler<BluetoothLEDevice, Inspectable> handler) = 0;
  virtual void RemoveGattServicesChanged(EventToken token) = 0;
  virtual EventToken AddConnectionStatusChanged(TypedEventHandler<BluetoothLEDevice, Inspectable> handler) = 0;
  virtual void RemoveConnectionStatusChanged(EventToken token) = 0;
  virtual AsyncOp<GattDeviceServicesResult> GetGattServicesWithCacheModeAsync(BluetoothCacheMode mode) = 0;
  virtual AsyncOp<GattDeviceServicesResult> GetGattServicesForUuidWithCacheModeAsync(const Guid& uuid,
                                                                                     BluetoothCacheMode mode) = 0;
  // CloseAsync gives up this object's hold on the link and finishes once a link that nothing else holds is
  // closed (at once when there is none to close), within timeout_ms (0: the platform's own bound). The
  // object keeps its properties; a later GATT request holds the link again. A platform whose links close
  // with their last reference raises kENoInterface.
  virtual AsyncOp<DeviceCloseResult> CloseAsync(uint32_t /*timeout_ms*/) { throw PlatformError(kENoInterface); }
};

// ---- Entry points: class activation and statics

// PlatformLogTopic is the activity a platform log line belongs to.
enum class PlatformLogTopic : int32_t { Scanning = 0, Connection = 1, Discovery = 2, Subscriptions = 3 };

// PlatformLogEventArgs is one line the platform logs at level 2 about something of the system's that it
// refused or skipped (a request for another device, a malformed object or value).
class PlatformLogEventArgs {
 public:
  virtual ~PlatformLogEventArgs() = default;
  virtual PlatformLogTopic Topic() = 0;
  virtual HString Text() = 0;
};

class BluetoothPlatform {
 public:
  virtual ~BluetoothPlatform() = default;

  // GetDefaultAdapterAsync finishes with the default adapter, or null when the machine has none.
  virtual AsyncOp<BluetoothAdapter> GetDefaultAdapterAsync() = 0;
  // FromBluetoothAddressAsync finishes with a device object for the address, or null when none is known.
  virtual AsyncOp<BluetoothLEDevice> FromBluetoothAddressAsync(uint64_t address) = 0;

  // Activation of the instance classes.
  virtual std::shared_ptr<BluetoothLEAdvertisementWatcher> CreateWatcher() = 0;
  virtual std::shared_ptr<BluetoothLEAdvertisementFilter> CreateFilter() = 0;
  virtual std::shared_ptr<BluetoothLEAdvertisement> CreateAdvertisement() = 0;
  // CreateBuffer makes a platform buffer holding a copy of the bytes (the data writer).
  virtual Bytes CreateBuffer(std::span<const uint8_t> bytes) = 0;

  // TryGetShortId returns the 16- or 32-bit short id of a UUID built on the Bluetooth base UUID.
  virtual std::optional<uint32_t> TryGetShortId(const Guid& uuid) = 0;
  // The numbers behind the platform's statics for section types, ATT errors and presentation formats.
  virtual uint8_t AdvertisementDataTypeValue(BluetoothLEAdvertisementDataType type) = 0;
  virtual uint8_t GattProtocolErrorValue(GattProtocolError error) = 0;
  virtual uint8_t GattPresentationFormatTypeValue(GattPresentationFormatType type) = 0;

  // GuidToString gives "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case.
  virtual HString GuidToString(const Guid& uuid) = 0;
  // The text forms of boxed enumeration values: the enumerator's name; a value without a name gives the
  // enumeration's full type name.
  virtual HString EnumText(BluetoothError value) = 0;
  virtual HString EnumText(BluetoothConnectionStatus value) = 0;
  virtual HString EnumText(GattCommunicationStatus value) = 0;

  // PostEvent runs task on one of the platform's event threads, behind the events already on their way
  // there, as the platform runs its event handlers; never inside this call. After the platform has shut down
  // it runs nothing. A receiver of events hands itself work there that must not run on the caller's thread.
  virtual void PostEvent(std::function<void()> task) = 0;

  // UnavailableReason tells why the platform has no radio to offer at all, such as "the scenario file
  // \"x.txt\" did not load (line 3: ...)", or gives the empty text while it has one. Any thread.
  virtual HString UnavailableReason() { return {}; }

  // SupportsPassiveScanning tells whether a Passive watcher really scans passively; where it does not, the
  // watcher accepts Passive and scans actively.
  virtual bool SupportsPassiveScanning() { return true; }

  // Logged fires for every line the platform logs (the sender is null). A platform without log lines
  // raises kENoInterface. The platform lives as long as the process, so whoever adds a handler removes it
  // with RemoveLogged once it no longer wants the lines.
  virtual EventToken AddLogged(TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs> /*handler*/) {
    throw PlatformError(kENoInterface);
  }
  virtual void RemoveLogged(EventToken /*token*/) {}
};

// Provider returns the process-wide platform: the one installed last, else the backend that
// ChooseBackend picks from the environment (created on first use). Any thread.
std::shared_ptr<BluetoothPlatform> Provider();
// InstallProvider replaces the process-wide platform; null goes back to a fresh default. Objects handed out
// by the previous platform stay valid for whoever holds them.
void InstallProvider(std::shared_ptr<BluetoothPlatform> platform);

enum class Backend { kSimulator, kBluez };
// ChooseBackend applies the selection rule to the values of VELMORABLE_BT_BACKEND and VELMORABLE_SIM_SCENARIO
// (null when unset): "sim" or "bluez" choose; otherwise a non-empty scenario chooses the simulator, else
// BlueZ. Any other backend value sets *warning to a one-line message for stderr.
Backend ChooseBackend(const char* backend, const char* scenario, std::string* warning);

}  // namespace velmora::platform::bluetooth
