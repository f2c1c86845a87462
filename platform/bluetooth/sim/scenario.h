// Scenario files: the plain-text description of the peripherals a simulated radio offers (format in
// docs/sim_scenario.md). The default platform loads the file named by VELMORABLE_SIM_SCENARIO.
#pragma once

#include <string>
#include <string_view>

#include "platform/bluetooth/sim/sim_radio.h"

namespace velmora::platform::bluetooth::sim {

constexpr int kScenarioOk = 0;
constexpr int kScenarioSyntaxError = 1;
constexpr int kScenarioUnreadable = 2;

struct ScenarioError {
  int line = 0;  // 1-based; 0 when the file could not be read
  std::string message;
};

// LoadScenario reads a whole scenario text and, only when all of it is valid, applies it to the radio
// (adapter, watcher timing, peripherals, fault rules). Returns kScenarioOk, or kScenarioSyntaxError with the
// line and reason in *error and the radio untouched.
[[nodiscard]] int LoadScenario(std::string_view text, SimRadio& radio, ScenarioError* error);
// LoadScenarioFile is LoadScenario on a file's content; kScenarioUnreadable when it cannot be read.
[[nodiscard]] int LoadScenarioFile(const std::string& path, SimRadio& radio, ScenarioError* error);
// CheckScenarioFile reads and checks a scenario file as LoadScenarioFile does, without a radio to apply it to.
[[nodiscard]] int CheckScenarioFile(const std::string& path, ScenarioError* error);

}  // namespace velmora::platform::bluetooth::sim
