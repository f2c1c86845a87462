#include "scenario_check.h"

#include <cstdio>
#include <string>

#include "platform/bluetooth/sim/scenario.h"

namespace sim = velmora::platform::bluetooth::sim;

extern "C" int ExampleCheckScenario(const char* path, char* message, size_t size) {
  if (message != nullptr && size > 0) message[0] = '\0';
  sim::ScenarioError error;
  int rc;
  try {
    rc = sim::CheckScenarioFile(path, &error);
  } catch (...) {
    // Out of memory while reading or checking: the file is not usable either.
    error = {0, "the file could not be checked"};
    rc = sim::kScenarioSyntaxError;
  }
  if (rc == sim::kScenarioOk) return EXAMPLE_SCENARIO_OK;
  if (rc == sim::kScenarioUnreadable) return EXAMPLE_SCENARIO_UNREADABLE;
  if (message != nullptr && size > 0) {
    std::snprintf(message, size, "%s:%d: %s", path, error.line, error.message.c_str());
  }
  return EXAMPLE_SCENARIO_INVALID;
}
