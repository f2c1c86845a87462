// The process-wide Bluetooth platform: installed by tests, else the backend the environment selects.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/bluez/bluez_platform.h"
#include "platform/bluetooth/sim/core.h"
#include "platform/bluetooth/sim/scenario.h"
#include "platform/bluetooth/sim/sim_radio.h"

namespace velmora::platform::bluetooth {
namespace {

std::mutex g_mutex;
std::shared_ptr<BluetoothPlatform> g_platform;

// MakeSimulator builds the simulated radio and loads the scenario named by VELMORABLE_SIM_SCENARIO. A
// scenario that does not load leaves the radio without peripherals and unavailable, its reason naming the
// file and the first line at fault, and says why on stderr as well.
std::shared_ptr<BluetoothPlatform> MakeSimulator(const char* path) {
  auto radio = std::make_shared<sim::SimRadio>();
  // Nothing in a program reads the radio's journal of calls, which would otherwise grow with every call to
  // its limit: the default radio keeps none.
  radio->SetJournalLimit(0);
  if (path != nullptr && *path != '\0') {
    sim::ScenarioError error;
    if (sim::LoadScenarioFile(path, *radio, &error) != 0) {
      std::fprintf(stderr, "VELMORABLE_SIM_SCENARIO: %s:%d: %s\n", path, error.line, error.message.c_str());
      std::string reason = std::string("the scenario file \"") + path + "\" did not load (";
      if (error.line > 0) reason += "line " + std::to_string(error.line) + ": ";
      reason += error.message + ")";
      radio->SetUnavailable(sim::Utf8ToHString(Bytes(reason.begin(), reason.end())));
    }
  }
  return radio;
}

std::shared_ptr<BluetoothPlatform> MakeDefault() {
  const char* scenario = std::getenv("VELMORABLE_SIM_SCENARIO");
  std::string warning;
  const Backend backend = ChooseBackend(std::getenv("VELMORABLE_BT_BACKEND"), scenario, &warning);
  if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  if (backend == Backend::kSimulator) return MakeSimulator(scenario);
  return std::make_shared<bluez::BluezPlatform>();
}

}  // namespace

Backend ChooseBackend(const char* backend, const char* scenario, std::string* warning) {
  if (backend != nullptr && std::strcmp(backend, "sim") == 0) return Backend::kSimulator;
  if (backend != nullptr && std::strcmp(backend, "bluez") == 0) return Backend::kBluez;
  if (backend != nullptr && *backend != '\0' && warning != nullptr) {
    *warning = std::string("VELMORABLE_BT_BACKEND: unknown backend \"") + backend +
               "\" (sim or bluez); choosing from VELMORABLE_SIM_SCENARIO.";
  }
  return scenario != nullptr && *scenario != '\0' ? Backend::kSimulator : Backend::kBluez;
}

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
