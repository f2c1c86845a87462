// Full discovery of a server through the exported interface: Discover with the automatic steps finds every
// service, characteristic and descriptor of a simulated peripheral whose requests complete at once, so the
// time is the library's own (requests, awaits, tree, events). The tree is 10 services, 100 characteristics
// and 200 descriptors times the argument; the cost per object must stay flat from x1 to x10 (the BigO line
// fits N, the number of objects).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

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
constexpr const char kServerId[] = "C0FFEE0000AB";
constexpr int kServices = 10;
constexpr int kCharacteristicsPerService = 10;
constexpr int kDescriptorsPerCharacteristic = 2;
// Each service takes its own handle, then a characteristic handle and its descriptor handles per characteristic.
constexpr int kHandlesPerCharacteristic = 1 + kDescriptorsPerCharacteristic;
constexpr int kHandlesPerService = 1 + kCharacteristicsPerService * kHandlesPerCharacteristic;

std::atomic<int64_t> g_discovered{0};

int32_t CountDiscovered(void*, int32_t id, int32_t, intptr_t*, int32_t*) {
  if (id == VELMORABLE_EVENT_DISCOVERED) g_discovered.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// Server builds a peripheral of scale * 10 services, each with 10 characteristics of 2 descriptors
// (Client Characteristic Configuration and User Description).
sim::SimPeripheral Server(int scale) {
  sim::SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  for (int s = 0; s < kServices * scale; ++s) {
    sim::SimService service;
    service.handle = static_cast<uint16_t>(1 + s * kHandlesPerService);
    service.uuid = bt::BluetoothBaseUuid(static_cast<uint16_t>(0x1800 + s % 32));
    for (int c = 0; c < kCharacteristicsPerService; ++c) {
      sim::SimCharacteristic characteristic;
      characteristic.handle = static_cast<uint16_t>(service.handle + 1 + c * kHandlesPerCharacteristic);
      characteristic.uuid = bt::BluetoothBaseUuid(static_cast<uint16_t>(0x2A00 + c));
      characteristic.properties = bt::GattCharacteristicProperties::Read | bt::GattCharacteristicProperties::Notify;
      characteristic.value = {0x2A};
      characteristic.descriptors.push_back(
          {static_cast<uint16_t>(characteristic.handle + 1), bt::BluetoothBaseUuid(0x2902), {0, 0}});
      characteristic.descriptors.push_back(
          {static_cast<uint16_t>(characteristic.handle + 2), bt::BluetoothBaseUuid(0x2901), {'V'}});
      service.characteristics.push_back(std::move(characteristic));
    }
    peripheral.gatt.services.push_back(std::move(service));
  }
  return peripheral;
}

int64_t ObjectsOf(int scale) {
  return static_cast<int64_t>(kServices) * scale *
         (1 + kCharacteristicsPerService * (1 + kDescriptorsPerCharacteristic));
}

int Do(VelmoraBLE_BLEClient* handle, int32_t method, std::initializer_list<intptr_t> values) {
  intptr_t params[4] = {0, 0, 0, 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  int32_t count = 0;
  for (const intptr_t value : values) params[count++] = value;
  return VelmoraBLE_BLEClient_Do(handle, method, count, params, sizes);
}

intptr_t Text(const char* text) { return reinterpret_cast<intptr_t>(text); }

// Connected is a client connected to the server, with automatic discovery of included services and
// characteristics on and every discovery request of the radio completing inside the call that starts it.
class Connected {
 public:
  explicit Connected(int scale) {
    velmora::component::SocketBase::StaticInit();
    radio_ = std::make_shared<sim::SimRadio>();
    // The simulated radio journals every platform call for the tests (up to 100000 of them): megabytes of
    // test machinery written during a large discovery and laid between the records of the tree. The
    // benchmark reads no journal, so it keeps none.
    radio_->SetJournalLimit(0);
    bt::InstallProvider(radio_);
    radio_->AddPeripheral(Server(scale));
    for (const sim::SimOp op : {sim::SimOp::kRootServices, sim::SimOp::kIncludedServices,
                                sim::SimOp::kCharacteristics, sim::SimOp::kDescriptors}) {
      (void)radio_->AddFault({.op = op, .times = -1, .complete_inline = true});
    }
    handle_ = VelmoraBLE_BLEClient_Create(CountDiscovered, nullptr, 0);
    ready_ = Do(handle_, VELMORABLE_METHOD_CONFIG, {Text("AutoDiscoverCharacteristics=1")}) == 0 &&
             Do(handle_, VELMORABLE_METHOD_CONFIG, {Text("AutoDiscoverIncludedServices=1")}) == 0 &&
             Do(handle_, VELMORABLE_METHOD_CONNECT, {Text(kServerId)}) == 0;
  }
  ~Connected() {
    (void)Do(handle_, VELMORABLE_METHOD_DISCONNECT, {});
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
  // DiscoverAll runs Discover of every service with its characteristics and their descriptors.
  int DiscoverAll() { return Do(handle_, VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}); }

 private:
  std::shared_ptr<sim::SimRadio> radio_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
  bool ready_ = false;
};

// One iteration discovers the whole server into an empty tree; emptying the tree is not timed.
void BM_FullDiscovery(benchmark::State& state) {
  const int scale = static_cast<int>(state.range(0));
  const int64_t objects = ObjectsOf(scale);
  Connected client(scale);
  if (!client.Ready()) {
    state.SkipWithError("no connection");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    (void)client.Engine().ClearGattTree();
    // A block of the large-request size makes the allocator merge the small blocks the clearing just freed
    // now; the first large request of the discovery would otherwise pay for that untimed clearing.
    void* large = std::malloc(64 * 1024);
    benchmark::DoNotOptimize(large);
    std::free(large);
    const int64_t before = g_discovered.load(std::memory_order_relaxed);
    state.ResumeTiming();
    if (client.DiscoverAll() != 0) {
      state.SkipWithError("discovery failed");
      return;
    }
    if (g_discovered.load(std::memory_order_relaxed) - before != objects) {
      state.SkipWithError("not every object was discovered");
      return;
    }
  }
  state.SetComplexityN(objects);
  state.SetItemsProcessed(state.iterations() * objects);
  state.counters["objects"] = static_cast<double>(objects);
  state.counters["ns_per_object"] = benchmark::Counter(
      static_cast<double>(state.iterations() * objects), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FullDiscovery)->Arg(1)->Arg(10)->Arg(30)->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond);

}  // namespace
