// The handlers a client's event bridge puts on the platform's objects go with the client.
#include <cstddef>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

using bt::sim::SimEvent;

constexpr uint64_t kX = 0xA0B0C0D00021;

// A program keeps one client connected to a device (a monitor) and makes a client of its own for each job on
// the same device: create, connect, disconnect, destroy. The device object outlives those clients as long as
// the monitor's connection holds it, so a destroyed client must take its handlers off it: they (and the
// memory they hold) must not grow with the number of jobs.
class ClientsComingAndGoingBesideAConnection : public RadioFixture<1> {};

TEST_F(ClientsComingAndGoingBesideAConnection, LeaveNoHandlerBehindOnTheDevice) {
  struct DeviceEvent {
    SimEvent event;
    const char* name;
  };
  constexpr DeviceEvent kDeviceEvents[] = {{SimEvent::kConnectionStatusChanged, "ConnectionStatusChanged"},
                                           {SimEvent::kNameChanged, "NameChanged"},
                                           {SimEvent::kGattServicesChanged, "GattServicesChanged"}};
  radio_->AddPeripheral(BusyPeripheral(kX));
  Client monitor(nullptr, nullptr);
  ASSERT_EQ(Do(monitor, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(monitor);
  radio_->WaitIdle();
  size_t before[std::size(kDeviceEvents)];
  for (size_t i = 0; i < std::size(kDeviceEvents); ++i) before[i] = radio_->HandlerCount(kX, kDeviceEvents[i].event);
  constexpr int kJobs = 20;
  for (int job = 0; job < kJobs; ++job) {
    Client worker(nullptr, nullptr);
    ASSERT_EQ(Do(worker, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(worker);
    ASSERT_EQ(Do(worker, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(worker);
    worker.Destroy();
    radio_->WaitIdle();
  }
  for (size_t i = 0; i < std::size(kDeviceEvents); ++i) {
    EXPECT_EQ(radio_->HandlerCount(kX, kDeviceEvents[i].event), before[i])
        << kDeviceEvents[i].name << " handlers on the device object after " << kJobs
        << " clients came and went, against those with the monitor alone";
  }
}

}  // namespace
}  // namespace velmora::ble::testing
