// Notifications delivered to a sink: the whole path from the simulated radio (send, event thread, bridge,
// engine, client, sink), and the engine's part alone (the platform's ValueChanged callback to the sink).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "ble/await.h"
#include "ble/ble_client.h"
#include "ble/ble_client_engine.h"
#include "component/socket_base.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "velmorable.h"

namespace {

namespace ble = velmora::ble;
namespace bt = velmora::platform::bluetooth;
namespace sim = velmora::platform::bluetooth::sim;

constexpr uint64_t kAddress = 0xC0FFEE0000AB;
constexpr uint16_t kServiceHandle = 0x000C;
constexpr uint16_t kCharacteristicHandle = 0x000E;
constexpr int kBatch = 1000;

std::atomic<int64_t> g_values{0};

int32_t CountValues(void*, int32_t id, int32_t, intptr_t*, int32_t*) {
  if (id == VELMORABLE_EVENT_VALUE) g_values.fetch_add(1, std::memory_order_release);
  return 0;
}

// A 20-byte Heart Rate Measurement, the usual size of one notification.
const bt::Bytes kValue = {0x16, 0x48, 0x02, 0x03, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};

sim::SimPeripheral HeartRatePeripheral() {
  sim::SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  sim::SimService service;
  service.handle = kServiceHandle;
  service.uuid = bt::BluetoothBaseUuid(0x180D);
  sim::SimCharacteristic measurement;
  measurement.handle = kCharacteristicHandle;
  measurement.uuid = bt::BluetoothBaseUuid(0x2A37);
  measurement.properties = bt::GattCharacteristicProperties::Notify;
  service.characteristics.push_back(measurement);
  peripheral.gatt.services.push_back(service);
  return peripheral;
}

// Connected is a client connected to the simulated heart rate monitor with its one service and
// characteristic in the tree, as discovery leaves them, and subscribed to the characteristic.
class Connected {
 public:
  Connected() {
    velmora::component::SocketBase::StaticInit();
    radio_ = std::make_shared<sim::SimRadio>();
    bt::InstallProvider(radio_);
    radio_->AddPeripheral(HeartRatePeripheral());
    handle_ = VelmoraBLE_BLEClient_Create(CountValues, nullptr, 0);
    ble::BLEClientEngine& engine = Engine();
    if (engine.Connect("C0FFEE0000AB") != 0) return;
    auto services = ble::AwaitServicesResult(
        engine, engine.HeldDevice()->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    const auto service = services->Services().at(0);
    auto characteristics = ble::AwaitCharacteristicsResult(
        engine, service->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    characteristic_ = characteristics->Characteristics().at(0);
    velmora::core::Buffer service_id;
    velmora::core::Buffer characteristic_id;
    (void)engine.BuildObjectId(kServiceHandle, 0, 0, service_id);
    (void)engine.BuildObjectId(kServiceHandle, kCharacteristicHandle, 0, characteristic_id);
    (void)engine.AddServiceToTree(engine.TreeGeneration(), ble::GattObjectRef::FromService(service),
                                  service_id.Data(), nullptr, nullptr);
    ready_ = engine.AddCharacteristicToTree(engine.TreeGeneration(), service_id.Data(),
                                            ble::GattObjectRef::FromCharacteristic(characteristic_),
                                            characteristic_id.Data(), nullptr, nullptr) == 0 &&
             engine.Subscribe(service_id.Data(), characteristic_id.Data()) == 0;
  }
  ~Connected() {
    radio_->WaitIdle();
    VelmoraBLE_BLEClient_Destroy(handle_);
    bt::InstallProvider(nullptr);
    radio_.reset();
    velmora::component::SocketBase::StaticDestroy();
  }
  Connected(const Connected&) = delete;
  Connected& operator=(const Connected&) = delete;

  bool Ready() const { return ready_; }
  ble::BLEClientEngine& Engine() { return reinterpret_cast<ble::BLEClient*>(handle_)->Engine(); }
  sim::SimRadio& Radio() { return *radio_; }
  const std::shared_ptr<bt::GattCharacteristic>& Characteristic() const { return characteristic_; }

 private:
  std::shared_ptr<sim::SimRadio> radio_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
  std::shared_ptr<bt::GattCharacteristic> characteristic_;
  bool ready_ = false;
};

// The radio sends a batch of notifications as fast as it can; the iteration ends when the sink has them all.
void BM_NotificationFromRadioToSink(benchmark::State& state) {
  Connected client;
  if (!client.Ready()) {
    state.SkipWithError("no connection");
    return;
  }
  for (auto _ : state) {
    const int64_t target = g_values.load(std::memory_order_acquire) + kBatch;
    for (int i = 0; i < kBatch; ++i) (void)client.Radio().Notify(kAddress, kCharacteristicHandle, kValue, true);
    while (g_values.load(std::memory_order_acquire) < target) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// ValueArgs is the event argument of one notification.
class ValueArgs final : public bt::GattValueChangedEventArgs {
 public:
  bt::Bytes CharacteristicValue() override { return kValue; }
  int64_t Timestamp() override { return 0; }
};

// The engine's share: the platform's ValueChanged callback on the bridge, up to the sink's return.
void BM_ValueChangedCallbackToSink(benchmark::State& state) {
  Connected client;
  if (!client.Ready()) {
    state.SkipWithError("no connection");
    return;
  }
  const std::shared_ptr<ble::BLEEvent> bridge = client.Engine().Bridge();
  const auto args = std::make_shared<ValueArgs>();
  const int64_t before = g_values.load();
  for (auto _ : state) bridge->OnValueChanged(client.Characteristic(), args);
  state.SetItemsProcessed(state.iterations());
  if (g_values.load() - before != static_cast<int64_t>(state.iterations())) state.SkipWithError("values lost");
}

BENCHMARK(BM_NotificationFromRadioToSink)->UseRealTime();
BENCHMARK(BM_ValueChangedCallbackToSink);

}  // namespace
