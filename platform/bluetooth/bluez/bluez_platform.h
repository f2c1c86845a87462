// BluezPlatform: the Bluetooth LE platform on Linux, over bluetoothd's D-Bus API (org.bluez).
//
// It connects to the system bus (or the bus at `bus_address`) when built; without a bus, without an owner of
// org.bluez or without an adapter, GetDefaultAdapterAsync finishes with null. Threads: one bus thread owns
// the connection; completions and events run on two handler threads of their own. Destroying the platform
// stops discovery, closes what it opened and joins its threads without waiting for bluetoothd; objects
// handed out stay valid, and their operations then raise kRoEClosed.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "platform/bluetooth/bluetooth.h"

namespace velmora::platform::bluetooth::bluez {

class BluezCore;

class BluezPlatform final : public BluetoothPlatform {
 public:
  explicit BluezPlatform(std::string bus_address = {});
  ~BluezPlatform() override;
  BluezPlatform(const BluezPlatform&) = delete;
  BluezPlatform& operator=(const BluezPlatform&) = delete;

  // Connected tells whether a bus was reached.
  bool Connected() const { return connected_; }

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
  // StartDiscovery always scans actively.
  bool SupportsPassiveScanning() override { return false; }
  EventToken AddLogged(TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs> handler) override;
  void RemoveLogged(EventToken token) override;

 private:
  std::shared_ptr<BluezCore> core_;
  bool connected_ = false;
};

}  // namespace velmora::platform::bluetooth::bluez
