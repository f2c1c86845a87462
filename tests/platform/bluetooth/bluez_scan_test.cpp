// The choice of backend, a missing bluetoothd or adapter, and scanning over the scripted bluetoothd.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/bluetooth/bluez/bluez_platform.h"
#include "tests/platform/bluetooth/bluez_test_util.h"

namespace velmora::ble::testing {
namespace {

constexpr int kNoAdapter = 613;
constexpr int kScanAborted = 603;

TEST(BluezBackendChoice, FollowsTheEnvironment) {
  struct Case {
    const char* backend;
    const char* scenario;
    bt::Backend chosen;
    bool warns;
  };
  const Case cases[] = {
      {"sim", nullptr, bt::Backend::kSimulator, false},   {"bluez", "x.txt", bt::Backend::kBluez, false},
      {nullptr, "x.txt", bt::Backend::kSimulator, false}, {nullptr, "", bt::Backend::kBluez, false},
      {nullptr, nullptr, bt::Backend::kBluez, false},     {"", nullptr, bt::Backend::kBluez, false},
      {"hci", "x.txt", bt::Backend::kSimulator, true},    {"SIM", nullptr, bt::Backend::kBluez, true},
  };
  for (const Case& c : cases) {
    std::string warning;
    EXPECT_EQ(bt::ChooseBackend(c.backend, c.scenario, &warning), c.chosen)
        << (c.backend ? c.backend : "(unset)") << " / " << (c.scenario ? c.scenario : "(unset)");
    EXPECT_EQ(!warning.empty(), c.warns) << warning;
    EXPECT_EQ(warning.find('\n'), std::string::npos);
  }
}

// Without a system bus the BlueZ platform has no adapter: scanning fails with 613 and starts nothing.
TEST(BluezWithoutBus, ScanningFailsWith613) {
  component::SocketBase::StaticInit();
  const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string old = saved != nullptr ? saved : "";
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-bus", 1);
  auto platform = std::make_shared<bt::bluez::BluezPlatform>();
  if (saved != nullptr) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", old.c_str(), 1);
  } else {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  EXPECT_FALSE(platform->Connected());
  bt::InstallProvider(platform);
  Sink sink;
  VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink, 0);
  EXPECT_EQ(testing::Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), kNoAdapter);
  EXPECT_EQ(testing::LastError(handle), "No Bluetooth adapter found.");
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SCANNING, 0), 0);
  VelmoraBLE_BLEClient_Destroy(handle);
  bt::InstallProvider(nullptr);
  component::SocketBase::StaticDestroy();
}

class BluezScan : public BluezFixture {
 protected:
  std::vector<Event> Adverts() { return sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT); }
};

TEST_F(BluezScan, NoAdapterOrNoOwnerFailsWith613) {
  Script("remove_adapter()");
  EXPECT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), kNoAdapter);
  EXPECT_EQ(LastError(), "No Bluetooth adapter found.");
  // bluetoothd not running: nobody owns org.bluez.
  Script("reset(); manager().connection.release_name('org.bluez')");
  EXPECT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), kNoAdapter);
  EXPECT_EQ(LastError(), "No Bluetooth adapter found.");
  EXPECT_EQ(mock_->Run("manager().connection.request_name('org.bluez')"), "1");
  EXPECT_TRUE(mock_->CallsOf("StartDiscovery").empty());
}

TEST_F(BluezScan, AdvertisementsBecomeEventsWithEveryField) {
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  const std::vector<std::string> calls = mock_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "SetDiscoveryFilter /org/bluez/hci0 {Transport=le,DuplicateData=true,RSSI=-127,UUIDs=[]}");
  EXPECT_EQ(calls[1], "StartDiscovery /org/bluez/hci0");

  Script("heart_rate_sensor()");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  Event first = Adverts()[0];
  EXPECT_EQ(first.Text(0), kSensor);
  EXPECT_EQ(first.Text(1), "Velmora HR");
  EXPECT_EQ(first.Int(2), -58);
  EXPECT_EQ(first.Int(3), 0);
  EXPECT_NE(first.Text(4).find("180D"), std::string::npos) << first.Text(4);
  EXPECT_NE(first.Text(5).find("180F"), std::string::npos) << first.Text(5);
  EXPECT_EQ(first.Int(7), 0xFFFF);
  EXPECT_EQ(first.Text(8), std::string("\x01\x02", 2));

  // A repeat (PropertiesChanged) is a new event with the new values.
  Script("advertise(HEART_RATE_ADDRESS, rssi=-40, manufacturer={0x0059: b'\\x07'})");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, 2));
  Event second = Adverts()[1];
  EXPECT_EQ(second.Int(2), -40);
  EXPECT_EQ(second.Int(7), 0x0059);
  EXPECT_EQ(second.Text(8), "\x07");

  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_STOP_SCAN)[0].Int(0), 0);
  EXPECT_TRUE(WaitForCall("StopDiscovery"));
  EXPECT_EQ(mock_->CallsOf("StopDiscovery").size(), 1u);
}

// bluetoothd passes a device with any of the filter's UUIDs; the watcher wants all of them. A device only
// cached (no RSSI) was not heard and gives no event.
TEST_F(BluezScan, FilterNeedsEveryUuidAndCachedDevicesStaySilent) {
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, "180D,180F"), 0);
  EXPECT_EQ(mock_->CallsOf("SetDiscoveryFilter")[0],
            "SetDiscoveryFilter /org/bluez/hci0 {Transport=le,DuplicateData=true,RSSI=-127,UUIDs=[0000180d-0000-1000-8000-"
            "00805f9b34fb,0000180f-0000-1000-8000-00805f9b34fb]}");
  Script("add_device('C0:FF:EE:00:00:02', name='only one', rssi=-50, uuids=[0x180D])");
  Script("add_device('C0:FF:EE:00:00:03', name='cached', uuids=[0x180D, 0x180F])");
  Script("add_device('C0:FF:EE:00:00:04', name='both', rssi=-50, uuids=[0x180F, 0x180D])");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  Script("advertise('C0:FF:EE:00:00:03', rssi=-70)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, 2));
  const std::vector<Event> adverts = Adverts();
  ASSERT_EQ(adverts.size(), 2u);
  EXPECT_EQ(adverts[0].Text(1), "both");
  EXPECT_EQ(adverts[1].Text(1), "cached");
}

TEST_F(BluezScan, PassiveScanningIsLoggedAndRunsActively) {
  ASSERT_EQ(Config("LogLevel=2"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_ACTIVE_SCANNING, 0, 0), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  bool logged = false;
  for (const Event& event : sink_.Of(VELMORABLE_EVENT_LOG)) {
    logged |= event.Int(0) == 2 && event.Text(1) == "Passive scanning is not available; scanning actively.";
  }
  EXPECT_TRUE(logged);
  EXPECT_EQ(mock_->CallsOf("StartDiscovery").size(), 1u);
}

// The rebuilt sections carry each property in a fixed order; the platform objects show them directly.
TEST_F(BluezScan, SectionsAreRebuiltFromTheProperties) {
  auto watcher = platform_->CreateWatcher();
  // Shared with the handler, which runs on a platform thread and may outlive the test body.
  struct Seen {
    std::mutex mutex;
    std::vector<std::shared_ptr<bt::BluetoothLEAdvertisementReceivedEventArgs>> received;
  };
  auto seen = std::make_shared<Seen>();
  std::mutex& mutex = seen->mutex;
  auto& received = seen->received;
  watcher->AddReceived([seen](const auto&, const auto& args) {
    std::lock_guard lock(seen->mutex);
    seen->received.push_back(args);
  });
  watcher->Start();
  for (int i = 0; i < 1000 && watcher->Status() != bt::BluetoothLEAdvertisementWatcherStatus::Started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(watcher->Status(), bt::BluetoothLEAdvertisementWatcherStatus::Started);
  Script(
      "add_device('C0:FF:EE:00:00:05', name='Velmora', rssi=-61, tx_power=-4, flags=6, "
      "uuids=[0x180D, 0x12345678, 'e95d0000-251d-470a-a062-fa1922dfa9a8'], "
      "service_data={0x180F: b'\\x5a'}, manufacturer={0x004C: b'\\x02\\x15'}, advertising_data={0x2A: b'\\x01'})");
  Script("advertise('C0:FF:EE:00:00:05', rssi=-62)");
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard lock(mutex);
      if (received.size() >= 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard lock(mutex);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0]->BluetoothAddress(), 0xC0FFEE000005u);
  EXPECT_EQ(received[0]->RawSignalStrengthInDBm(), -61);
  EXPECT_EQ(received[1]->RawSignalStrengthInDBm(), -62);
  EXPECT_EQ(received[0]->AdvertisementType(), bt::BluetoothLEAdvertisementType::ConnectableUndirected);
  const auto sections = received[0]->Advertisement()->DataSections();
  const std::vector<std::pair<int, std::string>> expected = {
      {0x01, "06"},       {0x09, "56656c6d6f7261"},
      {0x0A, "fc"},       {0x03, "0d18"},
      {0x05, "78563412"}, {0x07, "a8a9df2219fa62a00a471d2500005de9"},  // uuid.UUID(...).bytes[::-1].hex() in Python
      {0x16, "0f185a"},   {0xFF, "4c000215"},
      {0x2A, "01"},
  };
  ASSERT_EQ(sections.size(), expected.size());
  for (size_t i = 0; i < sections.size(); ++i) {
    std::string hex;
    for (uint8_t b : sections[i].data) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", b);
      hex += two;
    }
    EXPECT_EQ(sections[i].data_type, expected[i].first) << i;
    EXPECT_EQ(hex, expected[i].second) << i;
  }
  EXPECT_EQ(received[0]->Advertisement()->LocalName(), u"Velmora");
  EXPECT_EQ(received[0]->Advertisement()->ServiceUuids().size(), 3u);
}

TEST_F(BluezScan, PowerOffOrAdapterRemovalAbortsTheScan) {
  for (const char* script : {"power_off()", "remove_adapter()"}) {
    SCOPED_TRACE(script);
    sink_.Clear();
    Script("reset()");
    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
    ASSERT_TRUE(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0) != 0);
    Script(script);
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
    const Event stop = sink_.Of(VELMORABLE_EVENT_STOP_SCAN)[0];
    EXPECT_EQ(stop.Int(0), kScanAborted);
    EXPECT_EQ(stop.Text(1), "RadioNotAvailable");
  }
  // Powered off before the start: StartDiscovery answers NotReady.
  sink_.Clear();
  Script("reset(); power_off()");
  EXPECT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_STOP_SCAN)[0].Text(1), "RadioNotAvailable");
}

// A StartDiscovery that the kernel refused is answered InProgress, as a start of a client that holds a
// session is: the scan ends as one the platform aborted, with bluetoothd's answer logged, and the next scan,
// with the controller free again, runs.
TEST_F(BluezScan, AStartTheKernelRefusedEndsTheScan) {
  Script("behaviour['sessions'] = True; behaviour['start_refused'] = True");
  ASSERT_EQ(Config("LogLevel=2"), 0);
  EXPECT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  const Event stop = sink_.Of(VELMORABLE_EVENT_STOP_SCAN)[0];
  EXPECT_EQ(stop.Int(0), kScanAborted);
  EXPECT_EQ(stop.Text(1), "ResourceInUse");
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0), 0);
  bool logged = false;
  for (const Event& event : sink_.Of(VELMORABLE_EVENT_LOG)) {
    logged |= event.Text(1) == "bluetoothd refused to discover: org.bluez.Error.InProgress \"Operation already in "
                               "progress\".";
  }
  EXPECT_TRUE(logged);
  Script("behaviour['start_refused'] = False");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  EXPECT_EQ(Script("len(sessions())"), "1");
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0), 1);
}

// bluetoothd reports an RSSI that moved by less than 8 dBm only to a discovery whose filter sets RSSI: a
// device without manufacturer or service data whose RSSI moves by a few dB gives an event per advertisement.
TEST_F(BluezScan, EveryAdvertisementIsReportedWhateverItsRssi) {
  Script("behaviour['rssi_threshold'] = True");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  Script("add_device('C0:FF:EE:00:00:20', name='tag', rssi=-60)");
  Script("for rssi in (-58, -59, -62, -61, -60): advertise('C0:FF:EE:00:00:20', rssi=rssi)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, 6));
  std::vector<int> rssis;
  for (const Event& advert : Adverts()) rssis.push_back(advert.Int(2));
  EXPECT_EQ(rssis, (std::vector<int>{-60, -58, -59, -62, -61, -60}));
}

// Each adapter files the devices it hears under itself: a scan on hci0 reports none of the devices that a
// discovery on hci1 finds, and hci1 unplugged leaves the scan and its session running.
TEST_F(BluezScan, AnotherAdaptersDevicesAndRemovalLeaveTheScanAlone) {
  Script("second_adapter()");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  Script("add_device('C0:FF:EE:00:00:11', name='elsewhere', rssi=-50, adapter=SECOND_ADAPTER_PATH)");
  Script("add_device('C0:FF:EE:00:00:10', name='here', rssi=-50)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  Script("unplug_second_adapter(); advertise('C0:FF:EE:00:00:10', rssi=-40)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, 2));
  for (const Event& advert : Adverts()) EXPECT_EQ(advert.Text(1), "here");
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_STOP_SCAN).empty());
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0), 1);
  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
  EXPECT_TRUE(WaitForCall("StopDiscovery"));
}

// bluetoothd keeps one discovery session per client and takes its time to answer: a StopScanning while the
// filter or the start is still being answered (StartScanning gave up waiting at once) ends the session as
// soon as bluetoothd allows, and the next scan runs as the first did.
TEST_F(BluezScan, AStopDuringTheStartLeavesNoSessionBehind) {
  ASSERT_EQ(Config("ScanStartedTimeout=0"), 0);
  Script("heart_rate_sensor(); advertise_every(HEART_RATE_ADDRESS, 50)");
  for (const char* slow : {"StartDiscovery", "SetDiscoveryFilter"}) {
    SCOPED_TRACE(slow);
    sink_.Clear();
    Script(std::string("behaviour['sessions'] = True; held.add('") + slow + "')");
    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
    ASSERT_TRUE(WaitForCall(slow));
    ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError();
    EXPECT_EQ(Script(std::string("release('") + slow + "')"), "1");
    EXPECT_TRUE(WaitForScript("sessions()", "[]"));
    EXPECT_EQ(Script("adapter_props()['Discovering']"), "0");

    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
    EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
    ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError();
    // A scan stopped before it was seen started has its StopScan too.
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN, 2));
    const std::vector<Event> stops = sink_.Of(VELMORABLE_EVENT_STOP_SCAN);
    for (const Event& stop : stops) EXPECT_EQ(stop.Int(0), 0) << stop.Text(1);
    EXPECT_TRUE(WaitForScript("sessions()", "[]"));
    Script("reset(); heart_rate_sensor(); advertise_every(HEART_RATE_ADDRESS, 50)");
  }
}

// A StartDiscovery answered only after the backend gave up waiting (NoReply) may start a session after
// all: nobody wanting it, it is stopped once bluetoothd is done with the start.
TEST_F(BluezScan, ASessionWhoseStartWasAnsweredTooLateIsStopped) {
  Script("behaviour['sessions'] = True; behaviour['start_answer_late'] = True; held.add('StartDiscovery')");
  ASSERT_EQ(Config("ScanStartedTimeout=0"), 0);
  EXPECT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_NE(sink_.Of(VELMORABLE_EVENT_STOP_SCAN)[0].Int(0), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0), 0);
  // bluetoothd is done with the start: the session runs, for nobody.
  EXPECT_EQ(Script("release('StartDiscovery')"), "1");
  EXPECT_TRUE(WaitForScript("sessions()", "[]"));
  EXPECT_TRUE(WaitForScript("adapter_props()['Discovering']", "0"));
}

// bluetoothd refuses a stop as busy while it works on the process's start, and when another program's start
// took that start's answer over, for as long as the process stays on the bus: the stop is asked again ever
// more rarely, not ten times a second for ever, and a session whose late start bluetoothd answers after
// many refusals is still stopped.
TEST_F(BluezScan, AStopRefusedAsBusyIsAskedAgainEverMoreRarely) {
  Script("behaviour['sessions'] = True; behaviour['start_answer_late'] = True; held.add('StartDiscovery')");
  ASSERT_EQ(Config("ScanStartedTimeout=0"), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  ASSERT_TRUE(WaitForCall("StopDiscovery"));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(Script("release('StartDiscovery')"), "1");
  EXPECT_TRUE(WaitForScript("sessions()", "[]"));

  sink_.Clear();
  Script("calls.clear(); behaviour['start_answer_late'] = False; behaviour['one_start_answer'] = True; "
         "held.add('StartDiscovery')");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  ASSERT_TRUE(WaitForCall("StartDiscovery"));
  Script("peer_start_discovery()");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(Script("release('StartDiscovery')"), "2");
  ASSERT_TRUE(WaitForCall("StopDiscovery"));
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_LE(mock_->CallsOf("StopDiscovery").size(), 10u);
  EXPECT_EQ(Script("adapter_props()['Discovering']"), "1");
  // The session that bluetoothd keeps running serves the next scan.
  ASSERT_EQ(Config("ScanStartedTimeout=5"), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0), 1);
  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
}

// The session's calls all go to the adapter it started on: an adapter that comes while it runs (and now
// comes first) takes none of them, not the filter of a second scan nor the stop.
TEST_F(BluezScan, TheSessionStaysOnTheAdapterItStartedOn) {
  Script("behaviour['sessions'] = True; remove_adapter(); second_adapter(discovery=True)");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, "180D"), 0) << LastError();
  EXPECT_EQ(Script("len(sessions(SECOND_ADAPTER_PATH))"), "1");
  Script("add_adapter()");
  // The adapter's arrival has reached the backend once a later call on the bus was answered.
  ASSERT_NE(Await(platform_->GetDefaultAdapterAsync()), nullptr);
  Sink other_sink;
  const ClientHandle other(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  ASSERT_EQ(testing::Do(other.get(), VELMORABLE_METHOD_START_SCANNING, "180F"), 0) << testing::LastError(other.get());
  ASSERT_EQ(testing::Do(other.get(), VELMORABLE_METHOD_STOP_SCANNING), 0);
  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
  EXPECT_TRUE(WaitForScript("sessions(SECOND_ADAPTER_PATH)", "[]"));
  EXPECT_EQ(Script("adapter_props(SECOND_ADAPTER_PATH)['Discovering']"), "0");
  const std::vector<std::string> calls = mock_->Calls();
  EXPECT_GE(calls.size(), 4u);
  for (const std::string& call : calls) EXPECT_NE(call.find(" /org/bluez/hci1"), std::string::npos) << call;
}

// The adapter is chosen from bluetoothd's whole object list: a second adapter plugged in, and a device it
// heard, before the backend first loaded the list leave the first adapter present the one the scan uses.
TEST_F(BluezScan, TheAdapterIsChosenFromTheWholeList) {
  Script("behaviour['sessions'] = True; second_adapter(discovery=True)");
  Script("add_device('C0:FF:EE:00:00:11', name='elsewhere', rssi=-50, adapter=SECOND_ADAPTER_PATH)");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError();
  EXPECT_EQ(Script("len(sessions())"), "1");
  EXPECT_EQ(Script("sessions(SECOND_ADAPTER_PATH)"), "[]");
  for (const char* member : {"SetDiscoveryFilter", "StartDiscovery"}) {
    for (const std::string& call : mock_->CallsOf(member)) {
      EXPECT_NE(call.find(" /org/bluez/hci0"), std::string::npos) << call;
    }
  }
  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
}

// An adapter plugged in during a scan takes nothing from it, even one that sorts first: the scan goes on
// with the devices of the adapter it started on and reports none of the newcomer's.
TEST_F(BluezScan, AnAdapterPluggedInDuringAScanTakesNothingFromIt) {
  Script("remove_adapter(); second_adapter(discovery=True)");
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError();
  Script("add_adapter()");
  ASSERT_NE(Await(platform_->GetDefaultAdapterAsync()), nullptr);
  Script("add_device('C0:FF:EE:00:00:11', name='newcomer', rssi=-50)");
  Script("add_device('C0:FF:EE:00:00:10', name='here', rssi=-50, adapter=SECOND_ADAPTER_PATH)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  Script("advertise('C0:FF:EE:00:00:11', rssi=-41); advertise('C0:FF:EE:00:00:10', rssi=-40)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, 2));
  for (const Event& advert : Adverts()) EXPECT_EQ(advert.Text(1), "here");
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_STOP_SCAN).empty());
  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
}

// Two clients of the process scan at once, each with its own filter, through the one session bluetoothd
// keeps for the process: each sees what its filter passes, and one's StopScanning ends only its scan.
TEST_F(BluezScan, TwoClientsScanAtOnceEachWithItsFilter) {
  Script("behaviour['sessions'] = True");
  Script("add_device('C0:FF:EE:00:00:0D', name='heart', rssi=-50, uuids=[0x180D])");
  Script("add_device('C0:FF:EE:00:00:0F', name='battery', rssi=-50, uuids=[0x180F])");
  Sink other_sink;
  const ClientHandle handle(VelmoraBLE_BLEClient_Create(&Sink::Call, &other_sink, 0));
  VelmoraBLE_BLEClient* other = handle.get();
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, "180D"), 0) << LastError();
  ASSERT_EQ(testing::Do(other, VELMORABLE_METHOD_START_SCANNING, "180F"), 0) << testing::LastError(other);
  EXPECT_EQ(Script("len(sessions())"), "1");
  // Each client's own device last: once that has arrived, nothing of the other one is on its way.
  Script("advertise('C0:FF:EE:00:00:0F', rssi=-41); advertise('C0:FF:EE:00:00:0D', rssi=-42)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  Script("advertise('C0:FF:EE:00:00:0D', rssi=-43); advertise('C0:FF:EE:00:00:0F', rssi=-44)");
  ASSERT_TRUE(other_sink.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  for (const Event& advert : sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT)) EXPECT_EQ(advert.Text(1), "heart");
  for (const Event& advert : other_sink.Of(VELMORABLE_EVENT_ADVERTISEMENT)) EXPECT_EQ(advert.Text(1), "battery");

  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError();
  const size_t seen = other_sink.Of(VELMORABLE_EVENT_ADVERTISEMENT).size();
  Script("advertise('C0:FF:EE:00:00:0F', rssi=-45)");
  EXPECT_TRUE(other_sink.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, seen + 1));
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(other, VELMORABLE_PROP_SCANNING, 0), 1);
  EXPECT_EQ(Script("len(sessions())"), "1");
  ASSERT_EQ(testing::Do(other, VELMORABLE_METHOD_STOP_SCANNING), 0);
  for (Sink* sink : {&sink_, &other_sink}) {
    ASSERT_TRUE(sink->WaitFor(VELMORABLE_EVENT_STOP_SCAN));
    const std::vector<Event> stops = sink->Of(VELMORABLE_EVENT_STOP_SCAN);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].Int(0), 0) << stops[0].Text(1);
  }
  EXPECT_TRUE(WaitForScript("sessions()", "[]"));
}

// A filtered scan passes a device once what bluetoothd heard of it (advertising data and scan response
// together) carries every UUID listed, and from then on every advertisement of it in that scan, also once
// its UUIDs read otherwise (bluetoothd lists the GATT services of a device whose services it resolved).
TEST_F(BluezScan, ADeviceThatPassedTheFilterKeepsPassing) {
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, "181C"), 0);
  Script("add_device('C0:FF:EE:00:00:1C', name='Name', rssi=-50, flags=6)");
  Script("advertise('C0:FF:EE:00:00:1C', uuids=[0x181C])");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  Script("advertise('C0:FF:EE:00:00:1C', uuids=[0x1800, 0x1801])");
  Script("advertise('C0:FF:EE:00:00:1C', rssi=-70)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT, 3));
  const std::vector<Event> adverts = Adverts();
  EXPECT_EQ(adverts[0].Text(1), "Name");
  EXPECT_EQ(adverts[0].Text(4), "0000181C-0000-1000-8000-00805F9B34FB");
  EXPECT_EQ(adverts[2].Int(2), -70);
  // A new scan asks again.
  ASSERT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
  sink_.Clear();
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, "181C"), 0);
  Script("advertise('C0:FF:EE:00:00:1C', rssi=-71)");
  Script("add_device('C0:FF:EE:00:00:1D', name='Other', rssi=-50, uuids=[0x181C])");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  EXPECT_EQ(Adverts().size(), 1u);
  EXPECT_EQ(Adverts()[0].Text(1), "Other");
}

// ScanRounds is the context of a client whose sink takes 0.3 ms over each Advertisement (and holds one when
// the test asks) and, when `restart` is set, stops the scan on an Advertisement and at once starts it again,
// for kRounds rounds.
struct ScanRounds {
  static constexpr int kRounds = 16;
  enum HoldState : int { kNone, kAsked, kHolding, kReleased };

  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<ScanRounds*>(raw);
    self->order.Enter(id);
    bool held = false;
    if (id == VELMORABLE_EVENT_ADVERTISEMENT) {
      ++self->order.advertisements;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      held = self->Hold();
    }
    if (self->restart) self->Restart(id);
    self->order.Leave(id);
    if (held) self->hold = kReleased;
    return 0;
  }

  // Hold keeps the Advertisement being delivered with the sink when the test has asked for that (true then):
  // until the application thread's StopScanning has stopped the scan, and 10 ms longer. That StopScanning
  // returns only after this delivery.
  bool Hold() {
    int asked = kAsked;
    if (!hold.compare_exchange_strong(asked, kHolding)) return false;
    for (int i = 0; i < 1000 && VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SCANNING, 0) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
  }

  // Restart runs on the event thread. Every other round it lets the stop end first, so that the start finds
  // the scan stopped; otherwise the start usually finds it still stopping (614) and the scan starts again
  // from its StopScan.
  void Restart(int32_t id) {
    const bool from_advertisement = id == VELMORABLE_EVENT_ADVERTISEMENT && restarts.load() < kRounds;
    if (!from_advertisement && !(id == VELMORABLE_EVENT_STOP_SCAN && restart_on_stop_scan.exchange(false))) return;
    if (from_advertisement) {
      ++restarting;
      const int round = ++restarts;
      if (Do(handle, VELMORABLE_METHOD_STOP_SCANNING) != 0) ++failures;
      for (int i = 0; round % 2 == 0 && i < 1000 && VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SCANNING, 0) != 0;
           ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    const int started = Do(handle, VELMORABLE_METHOD_START_SCANNING, "");
    if (started == 614) {
      restart_on_stop_scan = true;
      return;
    }
    if (started != 0) ++failures;
    --restarting;
  }

  // WaitFor polls done every 100 us until it holds (true) or `seconds` have passed (false).
  static bool WaitFor(const std::function<bool()>& done, int seconds = 1) {
    for (int i = 0; i < seconds * 10000; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return done();
  }

  VelmoraBLE_BLEClient* handle = nullptr;
  bool restart = false;  // constant once the client exists
  std::atomic<int> hold{kNone};
  ScanOrder order;
  std::atomic<int> restarts{0};
  std::atomic<int> restarting{0};  // restarts begun whose scan has not started again yet
  std::atomic<bool> restart_on_stop_scan{false};
  std::atomic<int> failures{0};
};

// The sensor advertises in bursts while discovery runs, 16 every 20 ms. Row one: the application thread
// starts the scan, waits until the sink holds an Advertisement (the rest of its burst queues up behind),
// pauses for up to 2 ms and stops the scan, round after round; once StopScanning has returned 0 (with a wait
// step of 1 ms it returns as soon as it may), no Advertisement is with the sink, neither the one held nor
// one of those queued. Row two: the sink restarts its scan round after round; each scan's StopScan comes
// before the next one's StartScan, and no Advertisement comes between them.
TEST_F(BluezScan, OneScanEndsBeforeTheNextWhileAdvertisementsKeepComing) {
  Script("heart_rate_sensor(); advertise_every(HEART_RATE_ADDRESS, 20, burst=16)");
  for (const bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "the sink restarts" : "the application restarts");
    ScanRounds rounds;
    rounds.restart = restart;
    rounds.handle = VelmoraBLE_BLEClient_Create(&ScanRounds::Call, &rounds, 0);
    ASSERT_NE(rounds.handle, nullptr);
    const auto call = [&rounds](int32_t method) {
      const int rc = testing::Do(rounds.handle, method, "");
      EXPECT_EQ(rc, 0) << testing::LastError(rounds.handle);
      return rc == 0;
    };
    EXPECT_EQ(testing::Config(rounds.handle, "SelectWaitMillis=1"), 0);
    std::mt19937 random(88);
    std::uniform_int_distribution<int> pause_us(0, 2000);
    for (int i = 0; !restart && i < ScanRounds::kRounds && rounds.order.late.load() == 0; ++i) {
      if (!call(VELMORABLE_METHOD_START_SCANNING)) break;
      rounds.hold = ScanRounds::kAsked;
      (void)ScanRounds::WaitFor([&] { return rounds.hold.load() != ScanRounds::kAsked; });
      std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
      if (!call(VELMORABLE_METHOD_STOP_SCANNING)) break;
      rounds.order.stopped = true;
      // Until the held delivery has ended, had StopScanning left it behind, and the queued ones with it.
      (void)ScanRounds::WaitFor([&] { return rounds.hold.load() == ScanRounds::kReleased; });
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      rounds.order.stopped = false;
    }
    if (restart && call(VELMORABLE_METHOD_START_SCANNING)) {
      // Until the last round's scan has started again.
      EXPECT_TRUE(ScanRounds::WaitFor(
          [&] { return rounds.restarts.load() >= ScanRounds::kRounds && rounds.restarting.load() == 0; }, 10));
      (void)call(VELMORABLE_METHOD_STOP_SCANNING);
    }
    VelmoraBLE_BLEClient_Destroy(rounds.handle);
    EXPECT_EQ(rounds.order.late.load(), 0) << "of " << rounds.order.advertisements.load() << " advertisements";
    EXPECT_GT(rounds.order.advertisements.load(), 0);
    EXPECT_EQ(rounds.failures.load(), 0);
    if (restart) {
      EXPECT_EQ(rounds.restarts.load(), ScanRounds::kRounds);
      EXPECT_EQ(rounds.order.Crossings(), "");
    }
  }
}

}  // namespace
}  // namespace velmora::ble::testing
