// Shared by the tests of calls that a sink makes inside the events of another call: the calls on BusyPeripheral's
// heart rate measurement and its CCCD, a sink's call in a Log line, a second client's sink that calls on a platform
// thread, and what the sink read.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {

// BusyPeripheral's heart rate service, its measurement and the measurement's CCCD, as their ids.
inline constexpr char kHeartRate[] = "000100000000";
inline constexpr char kMeasurement[] = "000100030000";
inline constexpr char kMeasurementCccd[] = "000100030004";

// OnMeasurement makes `method` (Subscribe, Unsubscribe) on the measurement.
inline int OnMeasurement(VelmoraBLE_BLEClient* handle, int32_t method) {
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
  int32_t sizes[2] = {0, 0};
  return VelmoraBLE_BLEClient_Do(handle, method, 2, params, sizes);
}

// StateOfMeasurement is what QuerySubscriptionState reads for the measurement.
inline int32_t StateOfMeasurement(VelmoraBLE_BLEClient* handle) {
  (void)VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate));
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  (void)VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, sizes);
  return static_cast<int32_t>(params[1]);
}

// DiscoverWithDescriptors discovers every service with its characteristics and their descriptors.
inline int DiscoverWithDescriptors(VelmoraBLE_BLEClient* handle) {
  intptr_t params[4] = {0, 0, 1, 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, params, sizes);
}

// ConnectWithDescriptors connects to the peripheral at `address` and discovers it with its descriptors.
inline int ConnectWithDescriptors(VelmoraBLE_BLEClient* handle, uint64_t address) {
  const int rc = Do(handle, VELMORABLE_METHOD_CONNECT, Id(address).c_str());
  return rc != 0 ? rc : DiscoverWithDescriptors(handle);
}

// EndBehindAWaitingValueSink connects `client` to `address` with descriptors, subscribes to the measurement, arms
// the client's Value sink (`armed`), waits until that sink waits (`waiting`) and disconnects with a 1 s Timeout,
// which gives up waiting for the sink (301): the sink's event is then of a connection another thread ended.
inline ::testing::AssertionResult EndBehindAWaitingValueSink(VelmoraBLE_BLEClient* client, uint64_t address,
                                                              std::atomic<bool>& armed, std::atomic<bool>& waiting) {
  if (const int rc = ConnectWithDescriptors(client, address); rc != 0) {
    return ::testing::AssertionFailure() << "Connect " << rc;
  }
  if (const int rc = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE); rc != 0) {
    return ::testing::AssertionFailure() << "Subscribe " << rc;
  }
  armed = true;
  if (!Eventually([&] { return waiting.load(); })) return ::testing::AssertionFailure() << "the sink never waited";
  (void)VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1);
  if (const int rc = Do(client, VELMORABLE_METHOD_DISCONNECT); rc != 301) {
    return ::testing::AssertionFailure() << "Disconnect " << rc;
  }
  return ::testing::AssertionSuccess();
}

// WriteCccd writes `value` 00 to the measurement's CCCD with WriteValue.
inline int WriteCccd(VelmoraBLE_BLEClient* handle, uint8_t value) {
  static uint8_t bytes[2];
  bytes[0] = value;
  bytes[1] = 0;
  intptr_t params[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                        reinterpret_cast<intptr_t>(kMeasurementCccd), reinterpret_cast<intptr_t>(bytes)};
  int32_t sizes[4] = {0, 0, 0, 2};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
}

// InFirstLogLine is a sink's `inside` that makes `call` in the first Log line that begins with `prefix`, and keeps
// what the call returned in `rc`: -1 until that line, -2 while the call is under way, so that the Log lines of the
// call itself make no second one.
inline std::function<void(const Event&)> InFirstLogLine(std::string prefix, std::atomic<int>& rc,
                                                        std::function<int()> call) {
  return [prefix = std::move(prefix), &rc, call = std::move(call)](const Event& event) {
    int unmade = -1;
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind(prefix, 0) == 0 &&
        rc.compare_exchange_strong(unmade, -2)) {
      rc = call();
    }
  };
}

// OnServerUpdate is the sink of a second client, whose events come on a platform thread (the user's cancel, a
// watchdog): armed, it makes `call` in the next ServerUpdate it is told and keeps what the call returned in `rc`.
// The test raises that ServerUpdate by renaming the second client's peripheral.
struct OnServerUpdate {
  std::function<int()> call;
  std::atomic<bool> armed{false};
  std::atomic<int> rc{-1};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<OnServerUpdate*>(raw);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && self->armed.exchange(false)) self->rc = self->call();
    return 0;
  }
};

// SlowInLogLine is a sink's `inside` for a Log handler that takes its time with each Log line that begins with
// `prefix` (it writes the line to a file): meanwhile the user cancels on the platform's thread, `other` armed and
// told a ServerUpdate by the renaming of its peripheral at `address`.
inline std::function<void(const Event&)> SlowInLogLine(std::string prefix, OnServerUpdate& other, SimRadio& radio,
                                                       uint64_t address) {
  return [prefix = std::move(prefix), &other, &radio, address](const Event& event) {
    if (event.id == VELMORABLE_EVENT_LOG && event.Text(1).rfind(prefix, 0) == 0) {
      other.armed = true;
      radio.SetName(address, u"Cancel");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };
}

// NamesOf names the events of `ids` among `events`, in their order, each followed by "; ".
inline std::string NamesOf(const std::vector<Event>& events, std::initializer_list<int32_t> ids) {
  std::string told;
  for (const Event& event : events) {
    for (const int32_t id : ids) {
      if (event.id != id) continue;
      switch (id) {
        case VELMORABLE_EVENT_CONNECTED: told += "Connected; "; break;
        case VELMORABLE_EVENT_DISCONNECTED: told += "Disconnected; "; break;
        case VELMORABLE_EVENT_SUBSCRIBED: told += "Subscribed; "; break;
        case VELMORABLE_EVENT_UNSUBSCRIBED: told += "Unsubscribed; "; break;
        case VELMORABLE_EVENT_WRITE_RESPONSE: told += "WriteResponse; "; break;
        default: told += std::to_string(id) + "; "; break;
      }
    }
  }
  return told;
}

// CountAfter counts the events `id` among `events` that came after the first event `after`.
inline int CountAfter(const std::vector<Event>& events, int32_t after, int32_t id) {
  bool seen = false;
  int count = 0;
  for (const Event& event : events) {
    if (event.id == after) seen = true;
    if (event.id == id && seen) ++count;
  }
  return count;
}

}  // namespace velmora::ble::testing
