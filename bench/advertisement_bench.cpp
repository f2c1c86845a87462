// The cost of one received advertisement: a typical 31-byte legacy advertisement (flags, a complete list of
// two 16-bit service UUIDs, a complete local name and manufacturer data) decoded by the engine and delivered
// to a sink that does nothing, as the platform's Received handler delivers it; and the section decoders
// alone. The platform objects are minimal stand-ins that hand out copies of fixed values, as a platform does.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "ble/advertisement.h"
#include "ble/ble_client.h"
#include "component/socket_base.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "platform/time.h"
#include "velmorable.h"

namespace {

namespace bt = velmora::platform::bluetooth;
using velmora::ble::AdvertisementSection;
using velmora::ble::Guid;

int32_t IgnoreEvent(void*, int32_t, int32_t, intptr_t*, int32_t*) { return 0; }

// 02 01 06 | 05 03 0D18 0F18 | 0B 09 "Velmora HR" | 09 FF 5900 010203040506: 31 bytes.
std::vector<AdvertisementSection> TypicalSections() {
  return {
      {0x01, {0x06}},
      {0x03, {0x0D, 0x18, 0x0F, 0x18}},
      {0x09, {'V', 'e', 'l', 'm', 'o', 'r', 'a', ' ', 'H', 'R'}},
      {0xFF, {0x59, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}},
  };
}

class BenchAdvertisement final : public bt::BluetoothLEAdvertisement {
 public:
  bt::HString LocalName() override { return u"Velmora HR"; }
  std::optional<uint32_t> Flags() override { return 0x06; }
  std::vector<Guid> ServiceUuids() override { return {bt::BluetoothBaseUuid(0x180D), bt::BluetoothBaseUuid(0x180F)}; }
  void AppendServiceUuid(const Guid&) override {}
  std::vector<bt::BluetoothLEManufacturerData> ManufacturerData() override {
    return {{0x0059, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}}};
  }
  std::vector<AdvertisementSection> GetSectionsByType(uint8_t type) override {
    std::vector<AdvertisementSection> found;
    for (const auto& section : sections_) {
      if (section.data_type == type) found.push_back(section);
    }
    return found;
  }
  std::vector<AdvertisementSection> DataSections() override { return sections_; }

 private:
  const std::vector<AdvertisementSection> sections_ = TypicalSections();
};

class BenchReceivedArgs final : public bt::BluetoothLEAdvertisementReceivedEventArgs {
 public:
  uint64_t BluetoothAddress() override { return 0xC0FFEE000001; }
  int16_t RawSignalStrengthInDBm() override { return -58; }
  bt::BluetoothLEAdvertisementType AdvertisementType() override {
    return bt::BluetoothLEAdvertisementType::ConnectableUndirected;
  }
  std::shared_ptr<bt::BluetoothLEAdvertisement> Advertisement() override { return advertisement_; }
  // Received just now, by the first scan of the watcher, which the benchmark starts and nobody stops.
  int64_t Timestamp() override { return static_cast<int64_t>(velmora::platform::MonotonicMs()); }
  uint64_t Run() override { return 1; }

 private:
  const std::shared_ptr<bt::BluetoothLEAdvertisement> advertisement_ = std::make_shared<BenchAdvertisement>();
};

// Received handler to sink: what the engine spends per advertisement while a scan runs.
void BM_DeliverTypicalAdvertisement(benchmark::State& state) {
  velmora::component::SocketBase::StaticInit();
  // A simulated radio without devices runs the scan; the advertisements come from the benchmark alone.
  const auto radio = std::make_shared<bt::sim::SimRadio>();
  radio->SetJournalLimit(0);
  bt::InstallProvider(radio);
  VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(IgnoreEvent, nullptr, 0);
  intptr_t params[1] = {reinterpret_cast<intptr_t>("")};
  int32_t sizes[1] = {0};
  if (VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_START_SCANNING, 1, params, sizes) != 0) {
    state.SkipWithError("StartScanning failed");
  }
  const std::shared_ptr<velmora::ble::BLEEvent> bridge =
      reinterpret_cast<velmora::ble::BLEClient*>(handle)->Engine().Bridge();
  const std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs> args = std::make_shared<BenchReceivedArgs>();
  for (auto _ : state) bridge->OnAdvertisementReceived(nullptr, args);
  state.SetItemsProcessed(state.iterations());
  VelmoraBLE_BLEClient_Destroy(handle);
  bt::InstallProvider(nullptr);
  velmora::component::SocketBase::StaticDestroy();
}
BENCHMARK(BM_DeliverTypicalAdvertisement);

// The section decoders alone on the same advertisement (TX power, service data, solicitations).
void BM_DecodeTypicalSections(benchmark::State& state) {
  const std::vector<AdvertisementSection> sections = TypicalSections();
  velmora::ble::UuidList uuids;
  velmora::core::StrList payloads;
  velmora::core::Buffer text;
  velmora::core::Buffer error;
  for (auto _ : state) {
    benchmark::DoNotOptimize(velmora::ble::AdvertisedTxPower(sections));
    (void)text.Clear();
    benchmark::DoNotOptimize(velmora::ble::DecodeServiceDataSections(sections, uuids, payloads, text, error));
    benchmark::DoNotOptimize(velmora::ble::DecodeSolicitationSections(sections, uuids, text, error));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTypicalSections);

}  // namespace
