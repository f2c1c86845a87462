// The cost of the exported interface's hot paths: firing an event to a sink that does nothing (narrow and
// UTF-16 texts), a Get of a text property and a Config method call.
#include <benchmark/benchmark.h>

#include "ble/ble_client.h"
#include "velmorable.h"

namespace {

using velmora::ble::BLEClient;

int32_t IgnoreEvent(void*, int32_t, int32_t, intptr_t*, int32_t*) { return 0; }

// A client created through the exports, with options; destroyed at the end of the benchmark.
class BenchClient {
 public:
  explicit BenchClient(uint32_t options) : handle_(VelmoraBLE_BLEClient_Create(IgnoreEvent, nullptr, options)) {}
  ~BenchClient() { VelmoraBLE_BLEClient_Destroy(handle_); }
  BenchClient(const BenchClient&) = delete;
  BenchClient& operator=(const BenchClient&) = delete;

  VelmoraBLE_BLEClient* Handle() const { return handle_; }
  velmora::ble::BLEClientEngine& Engine() const { return reinterpret_cast<BLEClient*>(handle_)->Engine(); }

 private:
  VelmoraBLE_BLEClient* handle_;
};

// Discovered: an int and five texts of the lengths the discovery produces.
void FireDiscovered(benchmark::State& state, uint32_t options) {
  BenchClient client(options);
  velmora::ble::BLEClientEngine& engine = client.Engine();
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.FireDiscovered(1, "000C000E0000", "000C000E0010", "000000000000",
                                                   "00002A37-0000-1000-8000-00805F9B34FB", "Heart Rate Measurement"));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FireDiscoveredNarrow(benchmark::State& state) { FireDiscovered(state, 0); }
void BM_FireDiscoveredUtf16(benchmark::State& state) { FireDiscovered(state, VELMORABLE_OPTION_UTF16_EVENTS); }

// Value: five texts and a 20-byte value, which the engine copies so that it can be followed by a zero byte.
void FireValue(benchmark::State& state, uint32_t options) {
  BenchClient client(options);
  velmora::ble::BLEClientEngine& engine = client.Engine();
  const uint8_t value[20] = {0x16, 0x48, 0x02, 0x03};
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.FireValue("000C000E0000", "000C000E0010", "",
                                              "00002A37-0000-1000-8000-00805F9B34FB", "Heart Rate Measurement",
                                              value, sizeof(value)));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FireValueNarrow(benchmark::State& state) { FireValue(state, 0); }
void BM_FireValueUtf16(benchmark::State& state) { FireValue(state, VELMORABLE_OPTION_UTF16_EVENTS); }

// Get of the version marker, the text property a client has before it knows any device.
void BM_GetTextProperty(benchmark::State& state) {
  BenchClient client(0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(VelmoraBLE_BLEClient_Get(client.Handle(), VELMORABLE_PROP_VERSION, 0));
  }
  state.SetItemsProcessed(state.iterations());
}

// Do(Config "LogLevel"): the method dispatch, the configuration chain and the result recording.
void ConfigQuery(benchmark::State& state, int32_t method, const void* text) {
  BenchClient client(0);
  for (auto _ : state) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(text), 0};
    int32_t cbparams[2] = {0, 0};
    benchmark::DoNotOptimize(VelmoraBLE_BLEClient_Do(client.Handle(), method, 1, params, cbparams));
    benchmark::DoNotOptimize(params[1]);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DoConfigQueryNarrow(benchmark::State& state) { ConfigQuery(state, VELMORABLE_METHOD_CONFIG, "LogLevel"); }
void BM_DoConfigQueryUtf16(benchmark::State& state) {
  ConfigQuery(state, VELMORABLE_UTF16_VARIANT + VELMORABLE_METHOD_CONFIG, u"LogLevel");
}

BENCHMARK(BM_FireDiscoveredNarrow);
BENCHMARK(BM_FireDiscoveredUtf16);
BENCHMARK(BM_FireValueNarrow);
BENCHMARK(BM_FireValueUtf16);
BENCHMARK(BM_GetTextProperty);
BENCHMARK(BM_DoConfigQueryNarrow);
BENCHMARK(BM_DoConfigQueryUtf16);

}  // namespace
