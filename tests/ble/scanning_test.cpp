// StartScanning, StopScanning and the Scanning property through the exported interface, against the
// simulated radio: adapter checks, the UUID filter, the watcher's life, the log lines and the scan events.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ble/scanning.h"
#include "tests/ble/scan_test_util.h"
#include "tests/test_support.h"

namespace velmora::ble::testing {
namespace {

using bt::BluetoothError;
using bt::sim::SimAdapter;
using bt::sim::SimEvent;

constexpr const char k180D[] = "0000180D-0000-1000-8000-00805F9B34FB";
constexpr const char k180F[] = "0000180F-0000-1000-8000-00805F9B34FB";
constexpr uint64_t kHeartRate = 0xC0FFEE000001;  // advertises 180D and 180F
constexpr uint64_t kBattery = 0xC0FFEE000002;    // advertises 180F only
constexpr uint64_t kPairs = 0xC0FFEE000003;      // advertises no service; pairs without a request

class Scanning : public ScanFixture {
 protected:
  void AddAdvertisers() {
    AddAdvertiser(kHeartRate, Hex("020106 05030D180F18"));
    AddAdvertiser(kBattery, Hex("020106 03030F18"));
  }
  // Delivered gives the server ids of the Advertisement events so far.
  std::vector<std::string> Delivered() {
    std::vector<std::string> ids;
    for (const Event& event : sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT)) ids.push_back(event.Text(0));
    return ids;
  }
  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    for (const Event& event : sink_.Of(VELMORABLE_EVENT_LOG)) {
      EXPECT_EQ(event.Text(2), "Scanning");
      lines.push_back(std::to_string(event.Int(0)) + " " + event.Text(1));
    }
    return lines;
  }
};

TEST_F(Scanning, WithoutAdapterOrLowEnergyFailsWith613) {
  radio_->SetAdapter(SimAdapter::kAbsent);
  EXPECT_FAILS_WITH(StartScanning(), kNoAdapter, "No Bluetooth adapter found.");
  radio_->SetAdapter(SimAdapter::kNoLowEnergy);
  EXPECT_FAILS_WITH(StartScanning(), kNoAdapter, "Bluetooth adapter does not support Low Energy.");
  EXPECT_EQ(LastCode(), kNoAdapter);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_FALSE(ScanningProperty());
  // No watcher is made before the adapter checks pass.
  EXPECT_EQ(radio_->CallCount("BluetoothLEAdvertisementWatcher.Activate"), 0u);
}

TEST_F(Scanning, AdapterWaitThatStopsCountsAsNoAdapter) {
  bt::sim::SimFault never;
  never.op = bt::sim::SimOp::kGetAdapter;
  never.hold = true;
  radio_->AddFault(never);
  EXPECT_EQ(Config("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 100), 0);
  EXPECT_FAILS_WITH(StartScanning(), kNoAdapter, "No Bluetooth adapter found.");
}

// A scenario file that does not load leaves a radio that StartScanning and Connect report, naming the file and
// the first line at fault, instead of an empty radio that finds nothing.
TEST_F(Scanning, AScenarioThatDidNotLoadFailsStartScanningAndConnectWith613) {
  // Named for this process: another test program may run this test at the same time.
  const std::string bad = ::testing::TempDir() + "velmora_bad_scenario_" + std::to_string(getpid()) + ".txt";
  const testing_support::RemovedAtExit remove_bad({bad});
  std::ofstream(bad, std::ios::binary | std::ios::trunc) << "adapter present\nperipheral C0FFEE000001\nfrobnicate 1\n";
  const std::string missing = ::testing::TempDir() + "velmora_no_such_scenario.txt";
  (void)std::remove(missing.c_str());
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {{bad, "line 3: unknown keyword \"frobnicate\""}, {missing, "cannot read the file"}};
  const char* backend = std::getenv("VELMORABLE_BT_BACKEND");
  const std::string kept_backend = backend != nullptr ? backend : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_EQ(setenv("VELMORABLE_BT_BACKEND", "sim", 1), 0);
    ASSERT_EQ(setenv("VELMORABLE_SIM_SCENARIO", c.path.c_str(), 1), 0);
    bt::InstallProvider(nullptr);
    const std::string text =
        "No Bluetooth adapter found: the scenario file \"" + c.path + "\" did not load (" + c.reason + ").";
    EXPECT_FAILS_WITH(StartScanning("181C"), kNoAdapter, text);
    EXPECT_FALSE(ScanningProperty());
    EXPECT_FAILS_WITH(Do(VELMORABLE_METHOD_CONNECT, "C0FFEE000001"), kNoAdapter, text);
    EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_CONNECTED).empty());
  }
  unsetenv("VELMORABLE_SIM_SCENARIO");
  if (backend != nullptr) {
    (void)setenv("VELMORABLE_BT_BACKEND", kept_backend.c_str(), 1);
  } else {
    unsetenv("VELMORABLE_BT_BACKEND");
  }
  bt::InstallProvider(radio_);
}

TEST_F(Scanning, FilterIsDeduplicatedAndAnnouncedInFull) {
  EXPECT_EQ(Config("LogLevel=3"), 0);
  EXPECT_EQ(StartScanning("180D,0x180d,,0000180D-0000-1000-8000-00805F9B34FB,180F"), 0);
  const std::string filter = std::string(k180D) + "," + k180F;
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "2 Scanning is starting.",
                            "3 Scanning parameters:\r\n\tActive scanning: 0\r\n\tService UUIDs: " + filter + ".",
                            "1 Scanning started.",
                        }));
  const auto started = sink_.Of(VELMORABLE_EVENT_START_SCAN);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].Text(0), filter);
  EXPECT_TRUE(ScanningProperty());
  EXPECT_EQ(radio_->CallCount("BluetoothLEAdvertisement.ServiceUuids.Append"), 2u);

  // The platform passes only advertisements that carry every UUID of the filter.
  AddAdvertisers();
  Emit(kHeartRate);
  Emit(kBattery);
  EXPECT_EQ(Delivered(), std::vector<std::string>{"C0FFEE000001"});
}

TEST_F(Scanning, LogLinesFollowTheLogLevel) {
  EXPECT_EQ(StartScanning("180D"), 0);
  EXPECT_EQ(StopScanning(), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"1 Scanning started.", "1 Scanning stopped."}));
  sink_.Clear();
  EXPECT_EQ(Config("LogLevel=2"), 0);
  EXPECT_EQ(StartScanning("180D"), 0);
  EXPECT_EQ(StopScanning(), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"2 Scanning is starting.", "1 Scanning started.",
                                                  "2 Scanning is stopping.", "1 Scanning stopped."}));
}

TEST_F(Scanning, ParametersLineOfALongFilterIsCut) {
  EXPECT_EQ(Config("LogLevel=3"), 0);
  std::string filter;
  for (int i = 0; i < 30; ++i) filter += (i ? ",2A" : "2A") + std::to_string(10 + i);
  EXPECT_EQ(StartScanning(filter.c_str()), 0);
  const auto lines = LogLines();
  ASSERT_GE(lines.size(), 2u);
  const std::string parameters = lines[1].substr(2);
  EXPECT_EQ(parameters.size(), 255u);
  EXPECT_EQ(parameters.rfind("Scanning parameters:\r\n\tActive scanning: 0\r\n\tService UUIDs: 00002A10-", 0), 0u);
  // The event itself carries the whole filter.
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_START_SCAN).at(0).Text(0).size(), 30u * 36 + 29);
}

TEST_F(Scanning, ActiveScanningIsLockedWhileScanning) {
  EXPECT_EQ(StartScanning(), 0);
  EXPECT_FAILS_WITH(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 1), 602,
                    "You cannot change the ActiveScanning property while scanning.");
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 0), 0);
  EXPECT_EQ(StopScanning(), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 1), 0);
  EXPECT_EQ(StartScanning(), 0);
  EXPECT_EQ(radio_->LastCall("BluetoothLEAdvertisementWatcher.SetScanningMode")->mode, 1);
}

TEST_F(Scanning, SecondStartIsANoOp) {
  EXPECT_EQ(StartScanning("180D"), 0);
  sink_.Clear();
  radio_->ClearJournal();
  EXPECT_EQ(StartScanning("180F"), 0);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_EQ(radio_->CallCount("BluetoothLEAdvertisementWatcher.Start"), 0u);
}

// Each way a scan ends fires its events in order, listed as "<event> <level or code> <text>".
TEST_F(Scanning, StopAbortAndPlatformErrorEachEndWithStopScan) {
  EXPECT_EQ(StopScanning(), 0);  // nothing running: nothing happens
  EXPECT_TRUE(sink_.Events().empty());
  struct Case {
    const char* name;
    std::function<void()> end;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"stop", [&] { EXPECT_EQ(StopScanning(), 0); }, {"Log 1 Scanning stopped.", "StopScan 0 "}},
      {"abort",
       [&] { radio_->AbortWatchers(BluetoothError::RadioNotAvailable); },
       {"Error 603 Scanning was aborted for the following reason: RadioNotAvailable",
        "StopScan 603 RadioNotAvailable"}},
      {"error",
       [&] { radio_->StopWatchersWithError(BluetoothError::ResourceInUse); },
       {"Log 1 Scanning stopped.", "StopScan 603 ResourceInUse"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StartScanning(), 0);
    sink_.Clear();
    c.end();
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
    std::vector<std::string> seen;
    for (const Event& e : sink_.Events()) {
      const char* name = e.id == VELMORABLE_EVENT_LOG ? "Log" : e.id == VELMORABLE_EVENT_ERROR ? "Error" : "StopScan";
      seen.push_back(std::string(name) + " " + std::to_string(e.Int(0)) + " " + e.Text(1));
    }
    EXPECT_EQ(seen, c.events);
    EXPECT_FALSE(ScanningProperty());
  }
}

TEST_F(Scanning, BadFilterFailsWith600) {
  EXPECT_FAILS_WITH(StartScanning("180D,XYZ"), 600,
                    "UUIDs hexadecimal strings must represent either 16-, 32-, or 128-bit values.");
  EXPECT_FAILS_WITH(StartScanning("180D,18G0"), 600, "UUIDs hexadecimal strings must contain only hexadecimal digits.");
  // Items are not trimmed by the list: a blank after the last comma is an item that does not parse.
  EXPECT_EQ(StartScanning("180D, "), 600);
  EXPECT_TRUE(sink_.Events().empty());
  EXPECT_FALSE(ScanningProperty());
}

TEST_F(Scanning, CommasOnlyScanWithoutFilter) {
  EXPECT_EQ(StartScanning(",,,"), 0);
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_START_SCAN).at(0).Text(0), "");
  EXPECT_EQ(radio_->CallCount("BluetoothLEAdvertisement.Activate"), 0u);
  AddAdvertisers();
  Emit(kHeartRate);
  Emit(kBattery);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"C0FFEE000001", "C0FFEE000002"}));
}

TEST_F(Scanning, EachStartReplacesTheFilterAndKeepsOneWatcher) {
  AddAdvertisers();
  EXPECT_EQ(StartScanning("180D"), 0);
  EXPECT_EQ(StopScanning(), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(StartScanning("180F"), 0);
  const auto started = sink_.Of(VELMORABLE_EVENT_START_SCAN);
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[1].Text(0), k180F);
  Emit(kBattery);
  EXPECT_EQ(Delivered(), std::vector<std::string>{"C0FFEE000002"});
  EXPECT_EQ(radio_->CallCount("BluetoothLEAdvertisementWatcher.Activate"), 1u);
  EXPECT_EQ(radio_->HandlerCount(0, SimEvent::kReceived), 1u);
  EXPECT_EQ(radio_->HandlerCount(0, SimEvent::kStopped), 1u);
}

TEST_F(Scanning, StartWaitsForTheWatcherOrGivesUpWithZero) {
  radio_->SetWatcherTiming(150, 0);
  EXPECT_EQ(StartScanning(), 0);  // within the default two seconds
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_START_SCAN).size(), 1u);
  EXPECT_EQ(StopScanning(), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  sink_.Clear();

  radio_->SetWatcherTiming(-1, 0);
  EXPECT_EQ(Config("ScanStartedTimeout=0"), 0);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(StartScanning(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_EQ(LogLines(), std::vector<std::string>{"1 Scanning failed to start."});
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_START_SCAN).empty());
  EXPECT_EQ(LastError(), "");
  // A scan that starts later still delivers.
  radio_->ForceWatchersStarted();
  AddAdvertisers();
  Emit(kBattery);
  EXPECT_EQ(Delivered(), std::vector<std::string>{"C0FFEE000002"});
}

TEST_F(Scanning, StopGivesUpWhenThePlatformNeverStops) {
  radio_->SetWatcherTiming(0, 600000);
  EXPECT_EQ(Config("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 300), 0);
  EXPECT_EQ(StartScanning(), 0);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(StopScanning(), 301);
  const auto spent = std::chrono::steady_clock::now() - before;
  EXPECT_GE(spent, std::chrono::milliseconds(250));
  EXPECT_LT(spent, std::chrono::seconds(5));
  EXPECT_EQ(LastError(), "Timeout.");
  EXPECT_TRUE(ScanningProperty());  // still Stopping
}

// Stopping the scan once the device is seen, or connecting to it at once (pairing too), from the
// Advertisement sink: the radio ends the scan and runs the pairing ceremony on the thread that runs the sink
// unless that thread asks, so no call may wait for that, and StopScan follows once the sink has returned.
TEST_F(Scanning, StopOrConnectFromTheAdvertisementSinkDoesNotWaitForItsOwnThread) {
  AddAdvertisers();
  SimPeripheral pairs;  // pairs without asking the application
  pairs.address = kPairs;
  pairs.pairing_kind = bt::DevicePairingKinds::None;
  pairs.adverts.emplace_back();
  ASSERT_TRUE(bt::sim::ParseAdvertisingData(Hex("020106"), &pairs.adverts.back().sections));
  radio_->AddPeripheral(pairs);
  // A call that waited for its own thread would give up after this Timeout with 301.
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  const struct {
    int32_t method;
    const char* pairing_mode;
    uint64_t advertiser;
  } cases[] = {{VELMORABLE_METHOD_STOP_SCANNING, "PairingMode=0", kHeartRate},
               {VELMORABLE_METHOD_CONNECT, "PairingMode=0", kHeartRate},
               {VELMORABLE_METHOD_CONNECT, "PairingMode=1", kPairs}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.method) + " " + c.pairing_mode);
    ASSERT_EQ(Config(c.pairing_mode), 0);
    int result = -1;
    std::string text;
    sink_.inside = [&](const Event& event) {
      if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || result != -1) return;
      result = testing::Do(handle_, c.method, event.Text(0).c_str());
      text = LastError();
    };
    EXPECT_EQ(StartScanning(), 0);
    Emit(c.advertiser);
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
    EXPECT_EQ(result, 0) << text;
    EXPECT_FALSE(ScanningProperty());
    radio_->WaitIdle();
    sink_.inside = nullptr;
    EXPECT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
    sink_.Clear();
  }
}

TEST_F(Scanning, GattMethodsDemandAConnection) {
  for (int method : {VELMORABLE_METHOD_DISCOVER, VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS,
                     VELMORABLE_METHOD_DISCOVER_DESCRIPTORS, VELMORABLE_METHOD_DISCOVER_SERVICES,
                     VELMORABLE_METHOD_POST_VALUE, VELMORABLE_METHOD_READ_VALUE, VELMORABLE_METHOD_SELECT,
                     VELMORABLE_METHOD_SUBSCRIBE, VELMORABLE_METHOD_UNSUBSCRIBE, VELMORABLE_METHOD_WRITE_VALUE}) {
    EXPECT_EQ(Do(method), kNotConnected) << method;
    EXPECT_EQ(LastError(), "You must be connected to a server to perform the requested action.");
    EXPECT_EQ(LastCode(), kNotConnected);
  }
}

}  // namespace
}  // namespace velmora::ble::testing
