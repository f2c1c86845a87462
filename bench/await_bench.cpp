// The round trip of one await: the operation is started, its completion handler attached, the simulated
// radio completes it on its completion thread, and the waiting thread wakes from its wait step.
#include <benchmark/benchmark.h>

#include <atomic>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "component/socket_base.h"
#include "platform/bluetooth/sim/sim_radio.h"

namespace {

namespace bt = velmora::platform::bluetooth;

// CountingEngine is an engine without a client that counts its wait steps.
class CountingEngine : public velmora::ble::BLEClientEngine {
 public:
  CountingEngine() : BLEClientEngine(nullptr) { (void)Init(); }
  int WaitStep(int32_t wait_ms, velmora::platform::WindowHandle window) override {
    ++steps;
    return BLEClientEngine::WaitStep(wait_ms, window);
  }
  int64_t steps = 0;
};

// Awaits the default adapter; the simulator finishes it at once on its own thread. Counters: wait steps per
// await, and the share of awaits whose operation had finished before the handler was attached (those need
// no wake-up at all).
void BM_AwaitAdapterRoundTrip(benchmark::State& state) {
  velmora::component::SocketBase::StaticInit();
  {
    bt::sim::SimRadio radio;
    CountingEngine engine;
    int64_t inline_awaits = 0;
    for (auto _ : state) {
      const int64_t before = engine.steps;
      benchmark::DoNotOptimize(velmora::ble::AwaitAdapter(engine, radio.GetDefaultAdapterAsync()));
      if (engine.steps == before) ++inline_awaits;
    }
    state.counters["steps_per_await"] =
        benchmark::Counter(static_cast<double>(engine.steps), benchmark::Counter::kAvgIterations);
    state.counters["inline_share"] =
        benchmark::Counter(static_cast<double>(inline_awaits), benchmark::Counter::kAvgIterations);
    radio.WaitIdle();
  }
  velmora::component::SocketBase::StaticDestroy();
}
BENCHMARK(BM_AwaitAdapterRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
