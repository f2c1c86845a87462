#include "platform/bluetooth/bluez/bluez_platform.h"

#include <utility>

#include "platform/bluetooth/bluez/bluez_core.h"
#include "platform/bluetooth/bluez/objects.h"
#include "platform/bluetooth/sim/objects.h"

namespace velmora::platform::bluetooth::bluez {
namespace {

// kDeviceSearchMs bounds the discovery for a device that bluetoothd no longer lists.
constexpr int64_t kDeviceSearchMs = 10'000;

class BluezAdapter final : public BluetoothAdapter {
 public:
  BluezAdapter(std::shared_ptr<BluezCore> core, std::string path) : core_(std::move(core)), path_(std::move(path)) {}
  // An adapter that does not list its roles (bluetoothd before 5.55) is taken to be LE capable.
  bool IsLowEnergySupported() override {
    const std::optional<Props> props = core_->PropsOf(path_, kAdapterIface);
    if (!props) return false;
    auto roles = props->find("Roles");
    if (roles == props->end()) return true;
    for (const std::string& role : roles->second.Texts()) {
      if (role == "central") return true;
    }
    return false;
  }

 private:
  std::shared_ptr<BluezCore> core_;
  const std::string path_;
};

}  // namespace

std::shared_ptr<BluetoothAdapter> MakeAdapter(std::shared_ptr<BluezCore> core, std::string path) {
  return std::make_shared<BluezAdapter>(std::move(core), std::move(path));
}

BluezPlatform::BluezPlatform(std::string bus_address) : core_(std::make_shared<BluezCore>(std::move(bus_address))) {
  connected_ = core_->Open();
}

BluezPlatform::~BluezPlatform() { core_->Shutdown(); }

AsyncOp<BluetoothAdapter> BluezPlatform::GetDefaultAdapterAsync() {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<BluetoothAdapter>>();
  auto core = core_;
  const bool posted = core->Post([core, operation] {
    core->Refresh([core, operation](bool) {
      const std::string path = core->AdapterPath();
      core->Complete<BluetoothAdapter>(operation, path.empty() ? nullptr : MakeAdapter(core, path));
    });
  });
  if (!posted) core->Complete<BluetoothAdapter>(operation, nullptr);
  return operation;
}

AsyncOp<BluetoothLEDevice> BluezPlatform::FromBluetoothAddressAsync(uint64_t address) {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto operation = std::make_shared<BluezAsync<BluetoothLEDevice>>();
  auto core = core_;
  auto give = [core, operation, address](const std::string& path) {
    std::shared_ptr<BluetoothLEDevice> device;
    if (!path.empty()) {
      auto made = std::make_shared<BluezDevice>(core, path, address);
      core->Register(path, made);
      device = made;
    }
    core->Complete<BluetoothLEDevice>(operation, device);
  };
  auto find = [core, address, give] {
    const std::string path = core->DevicePathFor(address);
    // NOTE: bluetoothd forgets a device that it found but did not pair some time after it last heard it; one
    // that still advertises is found again by a discovery.
    if (!path.empty() || core->AdapterPath().empty()) return give(path);
    core->discovery().Search(address, kDeviceSearchMs, give);
  };
  const bool posted = core->Post([core, find] { core->WithObjects(find); });
  if (!posted) core->Complete<BluetoothLEDevice>(operation, nullptr);
  return operation;
}

std::shared_ptr<BluetoothLEAdvertisementWatcher> BluezPlatform::CreateWatcher() {
  if (core_->IsShutDown()) throw PlatformError(kRoEClosed);
  auto watcher = std::make_shared<BluezWatcher>(core_);
  core_->Register(watcher);
  return watcher;
}

std::shared_ptr<BluetoothLEAdvertisementFilter> BluezPlatform::CreateFilter() { return sim::MakeFilter(core_->sim); }

std::shared_ptr<BluetoothLEAdvertisement> BluezPlatform::CreateAdvertisement() {
  return std::make_shared<sim::SimAdvertisement>(core_->sim, std::vector<BluetoothLEAdvertisementDataSection>());
}

Bytes BluezPlatform::CreateBuffer(std::span<const uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

std::optional<uint32_t> BluezPlatform::TryGetShortId(const Guid& uuid) { return ShortIdOf(uuid); }

uint8_t BluezPlatform::AdvertisementDataTypeValue(BluetoothLEAdvertisementDataType type) {
  return static_cast<uint8_t>(type);
}

uint8_t BluezPlatform::GattProtocolErrorValue(GattProtocolError error) { return static_cast<uint8_t>(error); }

uint8_t BluezPlatform::GattPresentationFormatTypeValue(GattPresentationFormatType type) {
  return static_cast<uint8_t>(type);
}

HString BluezPlatform::GuidToString(const Guid& uuid) { return GuidText(uuid); }
HString BluezPlatform::EnumText(BluetoothError value) { return EnumName(value); }
HString BluezPlatform::EnumText(BluetoothConnectionStatus value) { return EnumName(value); }
HString BluezPlatform::EnumText(GattCommunicationStatus value) { return EnumName(value); }

void BluezPlatform::PostEvent(std::function<void()> task) { core_->sim->PostEvent(std::move(task)); }

EventToken BluezPlatform::AddLogged(TypedEventHandler<BluetoothPlatform, PlatformLogEventArgs> handler) {
  return core_->AddLogged(std::move(handler));
}

void BluezPlatform::RemoveLogged(EventToken token) { core_->RemoveLogged(token); }

}  // namespace velmora::platform::bluetooth::bluez
