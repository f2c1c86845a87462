// The lifecycle of bluetoothd and of a link over the scripted bluetoothd: bluetoothd exiting and starting
// again, one Disconnected per disconnect, a Disconnect that waits for bluetoothd's answer, and a
// powered-off adapter.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/bluetooth/bluez_test_util.h"

namespace velmora::ble::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kScanAborted = 603;
constexpr int kConnectionFailed = 604;
constexpr int kNoAdapter = 613;
constexpr const char kPoweredOff[] = "The Bluetooth adapter is powered off; the library does not power it on.";


// AcceptingSink accepts every pairing request and records like Sink.
int32_t AcceptingSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  if (id == VELMORABLE_EVENT_PAIRING_REQUEST && count >= 4) params[3] = 1;
  return Sink::Call(context, id, count, params, cbparams);
}

class BluezLifecycle : public BluezFixture {
 protected:
  void SetUp() override {
    BluezFixture::SetUp();
    // Every event is stamped, and one that arrives after Destroy is counted.
    sink_.inside = [this](const Event&) {
      last_event_ = Clock::now();
      if (destroyed_.load()) late_events_.fetch_add(1);
    };
  }

  // Settle makes sure that everything bluetoothd sent before has been taken in by the backend and that
  // the events it caused have run.
  void Settle() {
    ASSERT_NE(Script("1"), "");
    (void)Await(platform_->GetDefaultAdapterAsync());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // Texts lists the events of one id as "code text".
  std::vector<std::string> Texts(int32_t id) {
    std::vector<std::string> texts;
    for (const Event& event : sink_.Of(id)) texts.push_back(std::to_string(event.Int(0)) + " " + event.Text(1));
    return texts;
  }
  // Sequence lists the events that tell a stop or a disconnect, and the log lines that explain them, in order.
  std::vector<std::string> Sequence() {
    std::vector<std::string> out;
    for (const Event& event : sink_.Events()) {
      const bool explains =
          event.id == VELMORABLE_EVENT_LOG && (event.Text(1).find("powered off") != std::string::npos ||
                                               event.Text(1).find("not confirmed") != std::string::npos);
      if (explains) out.push_back("log " + std::to_string(event.Int(0)) + " " + event.Text(1));
      if (event.id == VELMORABLE_EVENT_ERROR) out.push_back("error " + std::to_string(event.Int(0)));
      if (event.id == VELMORABLE_EVENT_STOP_SCAN) out.push_back("stop " + std::to_string(event.Int(0)));
      if (event.id == VELMORABLE_EVENT_DISCONNECTED) out.push_back("disconnected " + event.Text(1));
    }
    return out;
  }
  bool Scanning() { return VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0) != 0; }

  std::atomic<bool> destroyed_{false};
  std::atomic<int> late_events_{0};
  Clock::time_point last_event_;
};

// bluetoothd exits during a scan, a connection, a read and notifications: what it had is forgotten at
// once, every later request fails as without bluetoothd, and a bluetoothd that starts again is used.
TEST_F(BluezLifecycle, BluetoothdExitEndsEverythingAndARestartIsUsed) {
  struct Case {
    const char* name;
    std::function<void()> before;  // what runs when bluetoothd goes
    std::vector<std::string> events;             // the events that the exit gives, in order
  };
  std::thread reader;
  std::atomic<int> read_rc{-1};
  const Case cases[] = {
      {"scan",
       [this] {
         ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
         ASSERT_TRUE(Scanning());
       },
       {"error 603", "stop 603"}},
      {"connection", [this] { ASSERT_EQ(ConnectAndDiscover(), 0) << LastError(); }, {"disconnected Offline"}},
      {"read",
       [&] {
         Script("devices[HEART_RATE_ADDRESS].database[0]['chars'][1]['delay'] = 60000");
         ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
         reader = std::thread([this, &read_rc] { read_rc = Read("000100000000", "000100060000", "", nullptr); });
         ASSERT_TRUE(WaitForCall("ReadValue"));
       },
       {"disconnected Offline"}},
      {"notifications",
       [this] {
         ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
         ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0);
         ASSERT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, counter(5))"), "5");
         ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE, 5));
       },
       {"disconnected Offline", "error 610"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script("bluetoothd_start()");
    VelmoraBLE_BLEClient_Destroy(handle_);
    handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
    ASSERT_NE(handle_, nullptr);
    destroyed_ = false;
    sink_.Clear();
    const size_t threads = Threads();
    const size_t fds = Fds();
    Script("heart_rate_sensor()");
    c.before();
    ASSERT_FALSE(HasFatalFailure());
    sink_.Clear();
    const Clock::time_point exit = Clock::now();
    ASSERT_EQ(Script("bluetoothd_exit()"), "1");
    // Each case ends within 2 s of the loss; a hang would fail here.
    for (int i = 0; i < 200 && Sequence().size() < c.events.size(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reader.joinable()) {
      reader.join();
      EXPECT_NE(read_rc.load(), 0);
    }
    ASSERT_EQ(Sequence(), c.events);
    std::printf("bluetoothd exit during a %s: last event %.1f ms later\n", c.name,
                std::chrono::duration<double, std::milli>(last_event_ - exit).count());
    if (c.events[0] == "error 603") {
      EXPECT_EQ(Texts(VELMORABLE_EVENT_STOP_SCAN)[0], "603 RadioNotAvailable");
    }
    Settle();
    EXPECT_EQ(Sequence(), c.events) << "a second report of the loss";

    // Nothing of the old bluetoothd is taken for true.
    EXPECT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
    EXPECT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), kNoAdapter);
    EXPECT_EQ(LastError(), "No Bluetooth adapter found.");
    EXPECT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), kConnectionFailed);
    EXPECT_EQ(LastError(), std::string("Connection to server ID ") + kSensor + " was unsuccessful.");
    for (const Event& connected : sink_.Of(VELMORABLE_EVENT_CONNECTED)) EXPECT_NE(connected.Int(0), 0);

    // bluetoothd starts again: a scan finds the sensor without restarting the process.
    Script("bluetoothd_start()");
    Script("heart_rate_sensor()");
    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError();
    EXPECT_TRUE(Scanning());
    Script("advertise(HEART_RATE_ADDRESS, rssi=-50)");
    EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
    EXPECT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
    EXPECT_EQ(Threads(), threads);
    EXPECT_EQ(Fds(), fds);

    // No callback after Destroy, also when bluetoothd goes once more.
    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
    VelmoraBLE_BLEClient_Destroy(handle_);
    destroyed_ = true;
    handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
    ASSERT_EQ(Script("bluetoothd_exit()"), "1");
    Settle();
    EXPECT_EQ(late_events_.load(), 0);
  }
}

// One disconnect gives one Disconnected with the status of its cause. A link that drops ends the subscription
// with it (Error 610, Unsubscribed); the client's own Disconnect ended it already, and nothing follows.
TEST_F(BluezLifecycle, OneDisconnectedPerDisconnect) {
  struct Case {
    const char* name;
    bool pair;           // Connect pairs (PairingMode=1), so that Disconnect removes the bond
    const char* action;  // mock code, or "" for the application's Disconnect
    const char* status;
  };
  const Case cases[] = {
      {"Disconnect", false, "", "OK"},
      {"Disconnect after pairing here", true, "", "OK"},
      {"link drop", false, "link_drop(HEART_RATE_ADDRESS)", "Offline"},
      {"removed by bluetoothd", false, "vanish(HEART_RATE_ADDRESS)", "Offline"},
  };
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script("reset(); heart_rate_sensor()");
    ASSERT_EQ(Config(c.pair ? "PairingMode=1" : "PairingMode=0"), 0);
    ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
    ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
    sink_.Clear();
    if (*c.action == '\0') {
      ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
    } else {
      Script(c.action);
      ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
    }
    Settle();
    EXPECT_EQ(Texts(VELMORABLE_EVENT_DISCONNECTED), std::vector<std::string>{std::string("0 ") + c.status});
    const size_t ended = *c.action == '\0' ? 0 : 1;
    EXPECT_EQ(Texts(VELMORABLE_EVENT_ERROR).size(), ended);
    EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_UNSUBSCRIBED).size(), ended);
    EXPECT_EQ(mock_->CallsOf("RemoveDevice").size(), c.pair ? 1u : 0u);
  }
}

// Disconnect raises Disconnected after bluetoothd answered; a refusal or no answer is logged with the
// error's name and text, and the result and event stay those of a Disconnect.
TEST_F(BluezLifecycle, DisconnectWaitsForBluetoothdsAnswer) {
  struct Case {
    const char* answer;  // the device's disconnect_error
    bool dropped;        // bluetoothd drops the link
    std::vector<std::string> events;
  };
  const std::string id = kSensor;
  const Case cases[] = {
      {"None", true, {"disconnected OK"}},
      {"('org.bluez.Error.NotConnected', 'Not Connected')",
       false,
       {"log 2 Disconnect from server ID " + id + " was not confirmed: org.bluez.Error.NotConnected: Not Connected",
        "disconnected OK"}},
      {"'never'",
       false,
       {"log 2 Disconnect from server ID " + id +
            " was not confirmed: org.freedesktop.DBus.Error.NoReply: Method call timed out",
        "disconnected OK"}},
  };
  ASSERT_EQ(Config("LogLevel=2"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    Script(std::string("reset(); heart_rate_sensor(); devices[HEART_RATE_ADDRESS].disconnect_error = ") + c.answer);
    // The sensor's removal and return must reach the backend before the connection, or the connection may
    // take the old object, whose link the next case's Disconnect would not close.
    Settle();
    ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
    sink_.Clear();
    // Where bluetoothd dropped the link, it did so before it answered; the event must see that.
    std::string connected_at_event;
    sink_.inside = [&](const Event& event) {
      if (event.id == VELMORABLE_EVENT_DISCONNECTED) {
        connected_at_event = mock_->Run("bool(devices[HEART_RATE_ADDRESS].props()['Connected'])");
      }
    };
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
    // Bounded by the Timeout of 1 s: a hang would show here.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Sequence(), c.events);
    EXPECT_EQ(connected_at_event, c.dropped ? "False" : "True");
    EXPECT_EQ(mock_->CallsOf("Disconnect").size(), 1u);
  }
}

// The adapter is unplugged while bluetoothd holds the answer to a Disconnect: bluetoothd answers a Disconnect
// only once the link is down (device.c, dev_disconnect and device_request_disconnect keep the call in
// device->disconnects; device_remove_connection answers them), and the link's end never comes from a
// controller that is gone (adapter.c, adapter_remove: device_remove, disconnect_all). The device is freed
// with the call still kept, and device_free neither answers nor drops it: bluetoothd never answers. The
// device, and the link with it, are gone at once (InterfacesRemoved), so Disconnect has nothing left to wait
// for and returns then, not when its wait for an answer that cannot come runs out.
TEST_F(BluezLifecycle, ADisconnectUnderWayWhenTheAdapterIsUnpluggedEndsWithTheDevice) {
  Script("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].disconnect_error = 'never'");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 20), 0);
  std::atomic<bool> returned{false};
  std::atomic<int> rc{-1};
  Clock::time_point returned_at{};
  std::thread disconnecting([&] {
    rc = Do(VELMORABLE_METHOD_DISCONNECT);
    returned_at = Clock::now();
    returned = true;
  });
  const bool asked = WaitForCall("Disconnect");
  Script("remove_adapter()");
  const Clock::time_point unplugged = Clock::now();
  disconnecting.join();
  ASSERT_TRUE(asked) << "bluetoothd was not asked to disconnect";
  EXPECT_EQ(rc.load(), 0);
  EXPECT_LT(returned_at - unplugged, std::chrono::seconds(3))
      << "Disconnect returned "
      << std::chrono::duration_cast<std::chrono::milliseconds>(returned_at - unplugged).count()
      << " ms after the adapter and the device had gone";
}

// A powered-off adapter: StartScanning gives 0, then the log line, Error 603 and StopScan 603; powering
// the adapter on lets the next scan run.
TEST_F(BluezLifecycle, PoweredOffAdapterIsNamedAndPoweringOnHelps) {
  const std::vector<std::string> expected = {std::string("log 2 ") + kPoweredOff, "error 603", "stop 603"};
  ASSERT_EQ(Config("LogLevel=2"), 0);
  for (const bool during : {false, true}) {
    SCOPED_TRACE(during ? "powered off during the scan" : "powered off before the scan");
    Script("reset(); heart_rate_sensor()");
    sink_.Clear();
    if (!during) Script("power_off()");
    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
    if (during) Script("power_off()");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
    EXPECT_EQ(Sequence(), expected);
    EXPECT_EQ(Texts(VELMORABLE_EVENT_ERROR),
              std::vector<std::string>{"603 Scanning was aborted for the following reason: RadioNotAvailable"});
    EXPECT_EQ(Texts(VELMORABLE_EVENT_STOP_SCAN), std::vector<std::string>{"603 RadioNotAvailable"});

    Script("changed(ADAPTER_PATH, ADAPTER_IFACE, {'Powered': dbus.Boolean(True)})");
    Settle();
    ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
    EXPECT_TRUE(Scanning());
    Script("advertise(HEART_RATE_ADDRESS, rssi=-50)");
    EXPECT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
    EXPECT_EQ(Do(VELMORABLE_METHOD_STOP_SCANNING), 0);
  }
}

// bluetoothd answers a RemoveDevice of a connected device once the link is down and then removes the device
// (device.c, device_remove_connection). A second client's Connect that waited for the first client's removal of
// the bond it made must not go on with the device object that went: with PairingMode=1 its Connect either pairs
// the device anew (found again as it advertises) and can discover it, or fails.
TEST_F(BluezLifecycle, ConnectBehindAnotherClientsBondRemovalUsesTheDeviceThatCameBack) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&AcceptingSink, &sink_, 0);
  ASSERT_NE(handle_, nullptr);
  Script("heart_rate_sensor(); behaviour['pair_connects'] = True; advertise_every(HEART_RATE_ADDRESS, 100)");
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(mock_->CallsOf("Pair").size(), 1u);
  Script("behaviour['remove_at_link_end'] = True; delays['RemoveDevice'] = 1500");
  int disconnected = -1;
  std::thread first([&] { disconnected = Do(VELMORABLE_METHOD_DISCONNECT); });
  ASSERT_TRUE(WaitForCall("RemoveDevice"));
  Sink other_sink;
  ClientHandle other(VelmoraBLE_BLEClient_Create(&AcceptingSink, &other_sink, 0));
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(testing::Config(other.get(), "PairingMode=1"), 0);
  const int connected = testing::Do(other.get(), VELMORABLE_METHOD_CONNECT, kSensor);
  const std::string connect_text = testing::LastError(other.get());
  first.join();
  EXPECT_EQ(disconnected, 0);
  EXPECT_EQ(mock_->CallsOf("RemoveDevice").size(), 1u);
  if (connected == 0) {
    // A Connect that succeeded with PairingMode=1 paired the device that bluetoothd lists now.
    EXPECT_EQ(mock_->CallsOf("Pair").size(), 2u);
    std::vector<intptr_t> params = {Text(""), Text(""), 1, Text("")};
    std::vector<int32_t> sizes(4, 0);
    const int discovered =
        VelmoraBLE_BLEClient_Do(other.get(), VELMORABLE_METHOD_DISCOVER, 4, params.data(), sizes.data());
    EXPECT_EQ(discovered, 0) << testing::LastError(other.get());
  } else {
    EXPECT_EQ(connected, 604) << connect_text;
  }
}

}  // namespace
}  // namespace velmora::ble::testing
