// Scanning faults found in review: each test shows one, through the exported interface against the simulated
// radio. Every wait is bounded, so that a client that waits without end fails the test instead of hanging it.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "tests/test_support.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kAddress = 0xB0C0D0E0F001;

SimPeripheral QuietAdvertiser(uint64_t address) {
  SimPeripheral peripheral;
  peripheral.address = address;
  SimAdvert advert;
  EXPECT_TRUE(bt::sim::ParseAdvertisingData(Hex("02 01 06 03 03 0F 18"), &advert.sections));
  peripheral.adverts.push_back(advert);
  return peripheral;
}

std::string ScanNames(const std::vector<Event>& events) {
  std::string names;
  for (const Event& event : events) {
    std::string name;
    switch (event.id) {
      case VELMORABLE_EVENT_START_SCAN: name = "StartScan"; break;
      case VELMORABLE_EVENT_ADVERTISEMENT: name = "Advertisement"; break;
      case VELMORABLE_EVENT_STOP_SCAN: name = "StopScan(" + std::to_string(event.Int(0)) + ")"; break;
      case VELMORABLE_EVENT_ERROR: name = "Error(" + std::to_string(event.Int(0)) + ")"; break;
      default: continue;
    }
    if (!names.empty()) names += ' ';
    names += name;
  }
  return names;
}

// The platform aborts a scan while the sink is in its first Advertisement and four more advertisements, received
// before the abort, wait for the one event thread ahead of the platform's report. The sink asks StartScanning
// from there (as a sink that makes sure its scan runs does): the call gets 614, and must not cost the sink the
// four advertisements the platform received while the scan ran. Without the call all five arrive.
class AdvertisementsAheadOfAnAbort : public RadioFixture<1> {};

TEST_F(AdvertisementsAheadOfAnAbort, StillReachTheSinkWhenItsSinkAsksStartScanning) {
  radio_->AddPeripheral(QuietAdvertiser(kAddress));
  for (const bool ask : {false, true}) {
    SCOPED_TRACE(ask ? "StartScanning from the first Advertisement" : "nothing asked");
    Sink sink;
    std::atomic<bool> inside{false};
    std::atomic<bool> go{false};
    std::atomic<int> asked{-1};
    Client handle(&Sink::Call, &sink);
    ASSERT_NE(handle.get(), nullptr);
    sink.inside = [&](const Event& event) {
      if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || inside.exchange(true)) return;
      (void)Eventually([&] { return go.load(); });
      if (ask) asked = Do(handle, VELMORABLE_METHOD_START_SCANNING, "");
    };
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
    ASSERT_TRUE(radio_->EmitAdvertisement(kAddress));
    ASSERT_TRUE(Eventually([&] { return inside.load(); }));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(radio_->EmitAdvertisement(kAddress));
    radio_->AbortWatchers(bt::BluetoothError::RadioNotAvailable);
    go = true;
    ASSERT_TRUE(sink.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
    radio_->WaitIdle();
    if (ask) {
      EXPECT_EQ(asked.load(), 614);
    }
    EXPECT_EQ(ScanNames(sink.Events()),
              "StartScan Advertisement Advertisement Advertisement Advertisement Advertisement Error(603) StopScan(603)");
  }
}


// Client A's scan starts late (the platform answers only after StartScanning has begun to poll), receives an
// advertisement, and is aborted, all while the one event thread is held by client B's Advertisement sink: A's
// advertisement waits for that thread ahead of the platform's report. StartScanning's poll finds the report
// first: A's sink must still get the scan it ran, StartScan, the Advertisement, then its end, and not the Log
// line "Scanning failed to start." for a scan that started and received.
class LateStartAbortedBehindABusyEventThread : public RadioFixture<1> {};

TEST_F(LateStartAbortedBehindABusyEventThread, StillAnnouncesTheScanAndItsAdvertisement) {
  radio_->AddPeripheral(QuietAdvertiser(kAddress));
  Sink sink_a;
  Sink sink_b;
  std::atomic<bool> held{false};
  std::atomic<bool> go{false};
  sink_b.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || held.exchange(true)) return;
    (void)Eventually([&] { return go.load(); });
  };
  Client a(&Sink::Call, &sink_a);
  Client b(&Sink::Call, &sink_b);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  ASSERT_EQ(Do(b, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(b);
  ASSERT_TRUE(radio_->EmitAdvertisement(kAddress));
  ASSERT_TRUE(Eventually([&] { return held.load(); }));
  radio_->SetWatcherTiming(-1, 0);
  std::atomic<int> started{-1};
  std::thread starter([&] { started = Do(a, VELMORABLE_METHOD_START_SCANNING, ""); });
  // A's StartScanning polls for the start meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  radio_->ForceWatchersStarted();
  ASSERT_TRUE(radio_->EmitAdvertisement(kAddress));
  radio_->AbortWatchers(bt::BluetoothError::RadioNotAvailable);
  const bool returned = Eventually([&] { return started.load() != -1; });
  go = true;
  starter.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(started.load(), 0) << LastError(a);
  ASSERT_TRUE(sink_a.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  radio_->WaitIdle();
  EXPECT_EQ(ScanNames(sink_a.Events()), "StartScan Advertisement Error(603) StopScan(603)");
  bool failed_line = false;
  for (const Event& line : sink_a.Of(VELMORABLE_EVENT_LOG)) failed_line |= line.Text(1) == "Scanning failed to start.";
  EXPECT_FALSE(failed_line) << "\"Scanning failed to start.\" for a scan that started and received";
}

}  // namespace
}  // namespace velmora::ble::testing
