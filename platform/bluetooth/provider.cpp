// The process-wide Bluetooth platform: installed by tests, else the simulated radio.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/scenario.h"
#include "platform/bluetooth/sim/sim_radio.h"

namespace velmora::platform::bluetooth {
namespace {

std::mutex g_mutex;
std::shared_ptr<BluetoothPlatform> g_platform;

// MakeDefault builds the simulated radio and loads the scenario named by VELMORABLE_SIM_SCENARIO. A
// scenario that does not load leaves the radio with its adapter and no peripherals, and says why on stderr.
std::shared_ptr<BluetoothPlatform> MakeDefault() {
  auto radio = std::make_shared<sim::SimRadio>();
  const char* path = std::getenv("VELMORABLE_SIM_SCENARIO");
  if (path != nullptr && *path != '\0') {
    sim::ScenarioError error;
    if (sim::LoadScenarioFile(path, *radio, &error) != 0) {
      std::fprintf(stderr, "VELMORABLE_SIM_SCENARIO: %s:%d: %s\n", path, error.line, error.message.c_str());
    }
  }
  return radio;
}

}  // namespace

std::shared_ptr<BluetoothPlatform> Provider() {
  std::lock_guard lock(g_mutex);
  if (g_platform == nullptr) g_platform = MakeDefault();
  return g_platform;
}

void InstallProvider(std::shared_ptr<BluetoothPlatform> platform) {
  std::shared_ptr<BluetoothPlatform> previous;
  std::lock_guard lock(g_mutex);
  previous.swap(g_platform);
  g_platform = std::move(platform);
  // `previous` is released after the lock: destroying a radio joins its threads.
}

}  // namespace velmora::platform::bluetooth
