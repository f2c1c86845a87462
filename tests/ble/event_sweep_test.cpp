// A sweep over every event of a session on the application's thread: the sink disconnects (or connects to
// another device) in the k-th event, for every k. The call under way must ask the old connection nothing more
// once that Disconnect has returned, and no event of the old connection's calls may follow its Disconnected.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/sink_calls_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kSweepA = 0xA0B0C0D00A01;
constexpr uint64_t kSweepB = 0xA0B0C0D00A02;
constexpr char kBatterySvc[] = "001000000000";
constexpr char kLevelChr[] = "001000120000";

bool g_with_include = false;  // the heart rate service includes a secondary service with a characteristic

SimPeripheral SweepPeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  if (g_with_include) {
    bt::sim::SimService secondary = Service(0x0020, 0x1801, false);
    secondary.characteristics.push_back(Characteristic(0x0022, 0x2A05, 0x02));
    peripheral.gatt.services.push_back(secondary);
    peripheral.gatt.services[0].included.push_back(0x0020);
  }
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x0E | 0x200);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2901), {'L', 'v'}});
  peripheral.gatt.services[1].characteristics.push_back(level);
  peripheral.periodic_values.clear();
  return peripheral;
}

bool AsksDevice(const std::string& api) {
  if (api.size() < 5 || api.compare(api.size() - 5, 5, "Async") != 0) return false;
  return api.rfind("Gatt", 0) == 0 || api.rfind("BluetoothLEDevice.GetGatt", 0) == 0;
}

struct SweepState {
  std::thread::id app;
  std::atomic<int> count{0};
  std::atomic<int> target{-1};
  std::atomic<int> made{-1};
  std::atomic<int> step{-1};
  std::atomic<int> cut_step{-1};
  std::atomic<size_t> mark{0};
  std::atomic<bool> ended{false};  // Disconnected (or B's Connected) of the sink's call seen
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  bool connect_elsewhere = false;
  bool on_platform = false;
  bool in_update_sink = false;     // the session runs inside a ServerUpdate sink on the platform's thread
  bool late = false;               // another thread reconnects (to B) while the sink waits: the rest is late
  std::vector<std::string> late_zero;  // steps after a late cut that returned 0
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  int cut_rc = -1;
  int last_rc = -1;
  std::mutex mutex;
  std::vector<std::string> after;  // events of the old connection's calls after its end
  std::string cut_event;
};

int RunStep(VelmoraBLE_BLEClient* c, int step);
void RunSession(SweepState& state);

struct Sweep {
  SweepState* state;
  std::shared_ptr<SimRadio> radio;
  static int32_t Call(void* context, int32_t id, int32_t count, intptr_t* params, int32_t*) {
    auto* self = static_cast<Sweep*>(context);
    SweepState& s = *self->state;
    if (s.in_update_sink && id == VELMORABLE_EVENT_SERVER_UPDATE && !s.started.exchange(true)) {
      s.app = std::this_thread::get_id();
      RunSession(s);
      s.done = true;
      return 0;
    }
    if (std::this_thread::get_id() != s.app) return 0;
    if (s.ended.load() && (id == VELMORABLE_EVENT_DISCOVERED || id == VELMORABLE_EVENT_SUBSCRIBED ||
                           id == VELMORABLE_EVENT_UNSUBSCRIBED || id == VELMORABLE_EVENT_WRITE_RESPONSE ||
                           id == VELMORABLE_EVENT_VALUE) &&
        s.step.load() == s.cut_step.load()) {
      std::lock_guard lock(s.mutex);
      s.after.push_back(std::to_string(id));
    }
    const int n = ++s.count;
    if (n == s.target.load()) {
      s.cut_step = s.step.load();
      if (id == VELMORABLE_EVENT_LOG && count > 1) {
        s.cut_event = std::string("Log ") + reinterpret_cast<const char*>(params[1]);
      } else {
        s.cut_event = "event " + std::to_string(id);
      }
      s.made = -2;
      if (s.late) {
        std::atomic<int> rc{-3};
        VelmoraBLE_BLEClient* h = s.handle.load();
        const uint64_t next = s.connect_elsewhere ? kSweepB : kSweepA;
        std::thread other([&rc, h, next] {
          (void)VelmoraBLE_BLEClient_Set(h, VELMORABLE_PROP_TIMEOUT, 0, 1);
          (void)Do(h, VELMORABLE_METHOD_DISCONNECT);
          const int connected = Do(h, VELMORABLE_METHOD_CONNECT, Id(next).c_str());
          rc = connected != 0 ? connected : DiscoverWithDescriptors(h);
          (void)VelmoraBLE_BLEClient_Set(h, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kBatterySvc));
        });
        other.join();
        s.made = rc.load();
      } else if (s.on_platform) {
        std::atomic<int> rc{-3};
        VelmoraBLE_BLEClient* h = s.handle.load();
        const bool elsewhere = s.connect_elsewhere;
        self->radio->PostEvent([&rc, h, elsewhere] {
          rc = elsewhere ? Do(h, VELMORABLE_METHOD_CONNECT, Id(kSweepB).c_str()) : Do(h, VELMORABLE_METHOD_DISCONNECT);
        });
        if (!Eventually([&] { return rc.load() != -3; })) s.made = -50; else s.made = rc.load();
      } else if (s.connect_elsewhere) {
        s.made = Do(s.handle.load(), VELMORABLE_METHOD_CONNECT, Id(kSweepB).c_str());
      } else {
        s.made = Do(s.handle.load(), VELMORABLE_METHOD_DISCONNECT);
      }
      s.mark = self->radio->Journal().size();
      s.ended = true;
    }
    return 0;
  }
};

int LastCodeAfterGet(VelmoraBLE_BLEClient* c) { return VelmoraBLE_BLEClient_GetLastErrorCode(c); }

// The session: one call of each kind, each a step.
int RunStep(VelmoraBLE_BLEClient* c, int step) {
  static uint8_t value[1] = {0x21};
  switch (step) {
    case 0: {
      intptr_t p[2] = {0, 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, p, s);
    }
    case 1: {
      intptr_t p[2] = {reinterpret_cast<intptr_t>(kHeartRate), 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS, 2, p, s);
    }
    case 2: {
      intptr_t p[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_DISCOVER_DESCRIPTORS, 2, p, s);
    }
    case 3: {
      intptr_t p[2] = {reinterpret_cast<intptr_t>(kBatterySvc), 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS, 2, p, s);
    }
    case 4:
      (void)VelmoraBLE_BLEClient_Get(c, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0);
      return LastCodeAfterGet(c);
    case 5:
      (void)VelmoraBLE_BLEClient_Get(c, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
      return LastCodeAfterGet(c);
    case 6: {
      intptr_t p[4] = {reinterpret_cast<intptr_t>(kBatterySvc), reinterpret_cast<intptr_t>(kLevelChr), 0, 0};
      int32_t s[4] = {0, 0, 0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_READ_VALUE, 4, p, s);
    }
    case 7: {
      intptr_t p[4] = {reinterpret_cast<intptr_t>(kBatterySvc), reinterpret_cast<intptr_t>(kLevelChr), 0,
                       reinterpret_cast<intptr_t>(value)};
      int32_t s[4] = {0, 0, 0, 1};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_WRITE_VALUE, 4, p, s);
    }
    case 8: {
      intptr_t p[3] = {reinterpret_cast<intptr_t>(kBatterySvc), reinterpret_cast<intptr_t>(kLevelChr),
                       reinterpret_cast<intptr_t>(value)};
      int32_t s[3] = {0, 0, 1};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_POST_VALUE, 3, p, s);
    }
    case 9:
      return VelmoraBLE_BLEClient_Set(c, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0,
                                      reinterpret_cast<intptr_t>("New"));
    case 10: {
      intptr_t p[2] = {0, 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT, 2, p, s);
    }
    case 11: {
      intptr_t p[2] = {0, 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT, 2, p, s);
    }
    case 12: {
      intptr_t p[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_SELECT, 2, p, s);
    }
    case 13: {
      intptr_t p[2] = {0, 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, p, s);
    }
    case 14:
      return OnMeasurement(c, VELMORABLE_METHOD_SUBSCRIBE);
    case 15:
      return OnMeasurement(c, VELMORABLE_METHOD_UNSUBSCRIBE);
    case 16:
      return WriteCccd(c, 1);
    case 17: {
      intptr_t p[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                       reinterpret_cast<intptr_t>(kMeasurementCccd), 0};
      int32_t s[4] = {0, 0, 0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_READ_VALUE, 4, p, s);
    }
    case 18: {
      intptr_t p[2] = {0, 0};
      int32_t s[2] = {0, 0};
      return VelmoraBLE_BLEClient_Do(c, VELMORABLE_METHOD_UNSUBSCRIBE, 2, p, s);
    }
    case 19:
      return DiscoverWithDescriptors(c);
    default:
      return -100;
  }
}
constexpr int kSteps = 20;

void RunSession(SweepState& state) {
  for (int step = 0; step < kSteps; ++step) {
    state.step = step;
    const int rc = RunStep(state.handle.load(), step);
    if (state.cut_step.load() == step) state.cut_rc = rc;
    if (state.late && state.cut_step.load() >= 0 && step > state.cut_step.load() && rc == 0) {
      state.late_zero.push_back(std::to_string(step));
    }
    if (step == kSteps - 1) state.last_rc = rc;
  }
  state.step = -1;
}

class EventSweep : public RadioFixture<1> {
 protected:
  // Runs the session with the sink's call in event `target` (0: none). Returns the events counted.
  int RunOnce(int target, bool elsewhere, std::vector<std::string>* faults, bool platform = false,
              bool in_sink = false, bool late = false) {
    SweepState state;
    state.late = late;
    state.on_platform = platform;
    state.in_update_sink = in_sink;
    state.app = std::this_thread::get_id();
    state.connect_elsewhere = elsewhere;
    Sweep sweep{&state, radio_};
    Client client(&Sweep::Call, &sweep);
    state.handle = client;
    EXPECT_EQ(Config(client, "LogLevel=3"), 0);
    if (g_with_include) {
      EXPECT_EQ(Config(client, "AutoDiscoverIncludedServices=True"), 0);
      EXPECT_EQ(Config(client, "AutoDiscoverCharacteristics=True"), 0);
    }
    EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kSweepA).c_str()), 0) << LastError(client);
    state.count = 0;
    state.target = target;
    if (in_sink) {
      radio_->SetName(kSweepA, u"Renamed");
      if (!Eventually([&] { return state.done.load(); })) faults->push_back("session in the sink did not end");
    } else {
      RunSession(state);
    }
    const int cut_rc = state.cut_rc;
    radio_->WaitIdle();
    if (target > 0 && state.made.load() >= -1) {
      const std::vector<bt::sim::SimCall> journal = radio_->Journal();
      std::string asked;
      for (size_t i = state.mark.load(); i < journal.size(); ++i) {
        if ((journal[i].address == kSweepA || (late && journal[i].address == kSweepB)) && AsksDevice(journal[i].api)) {
          asked += std::string(journal[i].address == kSweepB ? "B:" : "A:") + journal[i].api + " ";
        }
      }
      char head[512];
      std::snprintf(head, sizeof(head), "k=%d step %d cut in [%s] (sink's call %d) returned %d: ", target,
                    state.cut_step.load(), state.cut_event.c_str(), state.made.load(), cut_rc);
      if (!asked.empty()) faults->push_back(std::string(head) + "asked A after the end: " + asked);
      if (!state.after.empty()) {
        std::string list;
        for (const auto& e : state.after) list += e + " ";
        faults->push_back(std::string(head) + "events after the end: " + list);
      }
      if (cut_rc == 0 && state.cut_step.load() >= 0 && state.cut_step.load() < 19 && state.cut_event.rfind("event 1", 0) != 0) {
        faults->push_back(std::string(head) + "the cut call returned 0");
      }
      if (!state.late_zero.empty()) {
        std::string list;
        for (const auto& e : state.late_zero) list += e + " ";
        faults->push_back(std::string(head) + "late steps returned 0: " + list);
      }
      if (!late && elsewhere && state.cut_step.load() >= 0 && state.cut_step.load() < kSteps - 1 && state.last_rc != 0) {
        faults->push_back(std::string(head) + "the last Discover after the Connect elsewhere returned " +
                          std::to_string(state.last_rc));
      }
    }
    client.Destroy();
    radio_->ClearJournal();
    return state.count.load();
  }

  void RunSweep(bool elsewhere, bool platform = false, bool in_sink = false, bool late = false, int stride = 1) {
    radio_->AddPeripheral(SweepPeripheral(kSweepA));
    radio_->AddPeripheral(SweepPeripheral(kSweepB));
    std::vector<std::string> none;
    const int total = RunOnce(0, elsewhere, &none, platform, in_sink);
    ASSERT_GT(total, 20);
    std::vector<std::string> faults;
    for (int k = 1; k <= total; k += stride) RunOnce(k, elsewhere, &faults, platform, in_sink, late);
    std::string all;
    for (const auto& f : faults) all += f + "\n";
    EXPECT_TRUE(faults.empty()) << faults.size() << " of " << total << ":\n" << all;
  }
};

TEST_F(EventSweep, DisconnectInEveryEventOfTheApplicationsThread) { RunSweep(false); }
TEST_F(EventSweep, ConnectElsewhereInEveryEventOfTheApplicationsThread) { RunSweep(true); }
TEST_F(EventSweep, PlatformThreadDisconnectInEveryEventOfTheApplicationsThread) { RunSweep(false, true); }
TEST_F(EventSweep, PlatformThreadConnectElsewhereInEveryEventOfTheApplicationsThread) { RunSweep(true, true); }
TEST_F(EventSweep, DisconnectInEveryEventOfASessionInAServerUpdateSink) { RunSweep(false, false, true); }
TEST_F(EventSweep, ConnectElsewhereInEveryEventOfASessionInAServerUpdateSink) { RunSweep(true, false, true); }
// The session in a ServerUpdate sink; at its k-th event another thread reconnects the client to B (its Disconnect
// gives up waiting for the sink, 301) and discovers B. The rest of the session is a late event's sink: it must ask
// nothing of B (nor of A) and no step of it may succeed.
TEST_F(EventSweep, LateSessionAfterAnotherThreadsReconnectInEveryFifthEvent) { RunSweep(true, false, true, true, 5); }
TEST_F(EventSweep, DisconnectInEveryEventWithAnIncludedService) {
  g_with_include = true;
  RunSweep(false);
  g_with_include = false;
}
TEST_F(EventSweep, PlatformThreadConnectElsewhereInEveryEventWithAnIncludedService) {
  g_with_include = true;
  RunSweep(true, true);
  g_with_include = false;
}
TEST_F(EventSweep, LateSessionAfterAnotherThreadsReconnectToTheSameDeviceInEveryFifthEvent) {
  RunSweep(false, false, true, true, 5);
}


constexpr uint64_t kLateOff = 0xA0B0C0D00A11;

class LateUnsubscribedSinkCalls : public RadioFixture<1> {};

// The program unsubscribes with a Timeout of 1 s; the device answers the CCCD write after 1.5 s, so Unsubscribe
// returns 301 and the late acceptance ends the subscription on the platform's thread with Unsubscribed. That
// sink waits for the application's thread (the program's own lock) while the application reconnects the same
// device: Disconnect gives up waiting for the delivery (301), Connect and Discover follow. The sink then goes
// on: it subscribes again, writes, and disconnects. Its event was of the connection that ended: its calls are cut
// short (608), its Disconnect ends nothing, and nothing of them reaches the next connection.
TEST_F(LateUnsubscribedSinkCalls, ReachNothingOfTheNextConnection) {
  bt::sim::SimPeripheral peripheral = BusyPeripheral(kLateOff);
  peripheral.gatt.services[1].characteristics.push_back(Characteristic(0x0012, 0x2A19, 0x0A));
  radio_->AddPeripheral(peripheral);
  static uint8_t value[1] = {0x55};
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  std::atomic<int> subscribed{-1};
  std::atomic<int> written{-1};
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  std::atomic<bool> armed{false};
  const std::thread::id app = std::this_thread::get_id();
  Sink events;
  events.keep = false;
  events.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_UNSUBSCRIBED || std::this_thread::get_id() == app || !armed.exchange(false)) return;
    waiting = true;
    (void)Eventually([&] { return released.load(); });
    subscribed = OnMeasurement(handle.load(), VELMORABLE_METHOD_SUBSCRIBE);
    intptr_t params[4] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000"), 0,
                          reinterpret_cast<intptr_t>(value)};
    int32_t sizes[4] = {0, 0, 0, 1};
    written = VelmoraBLE_BLEClient_Do(handle.load(), VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
    disconnected = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(ConnectWithDescriptors(client, kLateOff), 0) << LastError(client);
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .delay_ms = 1500});
  armed = true;
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_UNSUBSCRIBE), 301) << LastError(client);
  ASSERT_TRUE(Eventually([&] { return waiting.load(); })) << "no late Unsubscribed";
  radio_->ClearFaults();
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 301);
  ASSERT_EQ(ConnectWithDescriptors(client, kLateOff), 0) << LastError(client);
  released = true;
  ASSERT_TRUE(Eventually([&] { return disconnected.load() != -1; }));
  radio_->WaitIdle();
  EXPECT_EQ(subscribed.load(), 608);
  EXPECT_EQ(written.load(), 608);
  EXPECT_EQ(disconnected.load(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0)),
               Id(kLateOff).c_str())
      << "the late sink's Disconnect ended the next connection";
  const std::optional<bt::Bytes> level = radio_->DeviceValue(kLateOff, 0x0012);
  ASSERT_TRUE(level.has_value());
  EXPECT_NE(*level, bt::Bytes{0x55}) << "the late sink's write reached the next connection";
}


// AskedAfter lists the platform calls that asked the device at `address` from journal entry `mark` on.
std::string AskedAfter(SimRadio& radio, size_t mark, uint64_t address) {
  const std::vector<bt::sim::SimCall> journal = radio.Journal();
  std::string asked;
  for (size_t i = mark; i < journal.size(); ++i) {
    if (journal[i].address == address && AsksDevice(journal[i].api)) asked += std::string(journal[i].api) + "; ";
  }
  return asked;
}

constexpr uint64_t kOpening = 0xA0B0C0D00A21;

class CharacteristicsLineDisconnect : public RadioFixture<1> {};

// Connected and with the services discovered, the program discovers the heart rate service's characteristics.
// DiscoverCharacteristics logs "Beginning discovery of characteristics for service ID ..." (level 1, the default)
// before it asks the device; the program's sink disconnects there (Disconnect returns 0, Disconnected). The
// discovery was cut short before it asked: it asks the ended connection's service object nothing (on BlueZ
// such a request connects the device again to resolve its services).
TEST_F(CharacteristicsLineDisconnect, AsksNothingOnceADisconnectInItsFirstLogLineEndedTheConnection) {
  radio_->AddPeripheral(SweepPeripheral(kOpening));
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<size_t> mark{0};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Beginning discovery of characteristics", disconnected, [&] {
    const int rc = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
    mark = radio_->Journal().size();
    return rc;
  });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kOpening).c_str()), 0) << LastError(client);
  intptr_t services[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, services, sizes), 0);
  intptr_t params[2] = {reinterpret_cast<intptr_t>(kHeartRate), 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS, 2, params, sizes);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608);
  const std::string asked = AskedAfter(*radio_, mark.load(), kOpening);
  EXPECT_TRUE(asked.empty()) << "asked the device after the Disconnect: " << asked;
}

constexpr uint64_t kGoesOn = 0xA0B0C0D00A22;

class DiscoveredDisconnect : public RadioFixture<1> {};

// The program discovers everything with descriptors (Discover, include descriptors 1) at the default LogLevel;
// its sink disconnects in the first descriptor's Discovered (it has seen enough of the device). Disconnect returns
// 0 and raises Disconnected. The discovery was cut short there: it does not go on to ask the ended connection's
// objects for the other services' characteristics and descriptors (on BlueZ each such request connects the
// device again).
TEST_F(DiscoveredDisconnect, DiscoverAsksNothingMoreAfterADisconnectInADiscoveredEvent) {
  radio_->AddPeripheral(SweepPeripheral(kGoesOn));
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<size_t> mark{0};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = [&](const Event& event) {
    int unmade = -1;
    if (event.id == VELMORABLE_EVENT_DISCOVERED && event.Int(0) == 2 &&
        disconnected.compare_exchange_strong(unmade, -2)) {
      disconnected = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
      mark = radio_->Journal().size();
    }
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kGoesOn).c_str()), 0) << LastError(client);
  const int rc = DiscoverWithDescriptors(client);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608);
  const std::string asked = AskedAfter(*radio_, mark.load(), kGoesOn);
  EXPECT_TRUE(asked.empty()) << "asked the device after the Disconnect: " << asked;
}


constexpr uint64_t kReconnect = 0xA0B0C0D00A31;

class ReconnectFromDisconnected : public RadioFixture<1> {};

// A program that connects again whenever a connection ends: its Disconnected sink calls Connect. Its Value sink
// disconnects (the reading says the session is over), on the platform's thread; the Disconnect raises
// Disconnected inside it, on that thread, and the Disconnected sink connects again. Nothing else ended the
// connection meanwhile: that Connect is the sink's own and connects (0, Connected), and the client is connected
// to the device afterwards.
TEST_F(ReconnectFromDisconnected, AConnectInTheDisconnectedOfAValueSinksDisconnectConnects) {
  radio_->AddPeripheral(BusyPeripheral(kReconnect));
  const std::string id = Id(kReconnect);
  std::atomic<bool> armed{false};
  std::atomic<int> disconnected{-1};
  std::atomic<int> reconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  Sink events;
  events.keep = false;
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_VALUE && armed.exchange(false)) {
      disconnected = Do(handle.load(), VELMORABLE_METHOD_DISCONNECT);
    } else if (event.id == VELMORABLE_EVENT_DISCONNECTED && reconnected.load() == -1) {
      reconnected = -2;
      reconnected = Do(handle.load(), VELMORABLE_METHOD_CONNECT, id.c_str());
    }
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(ConnectWithDescriptors(client, kReconnect), 0) << LastError(client);
  ASSERT_EQ(OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  armed = true;
  ASSERT_TRUE(Eventually([&] { return disconnected.load() != -1 && reconnected.load() >= 0; }));
  radio_->WaitIdle();
  EXPECT_EQ(disconnected.load(), 0);
  EXPECT_EQ(reconnected.load(), 0) << "the Disconnected sink's Connect did not connect";
  EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0)),
               id.c_str())
      << "the client is not connected again";
}


constexpr uint64_t kOnDrop = 0xA0B0C0D00A32;

class ReconnectOnLinkLoss : public RadioFixture<1> {};

// The usual program: on Disconnected "Offline" (the link dropped) it connects again, and on Connected it discovers
// the device. The link drops; the Offline sink connects again (the device back in range): Connect raises
// Connected inside it, on the platform's thread, and the Connected sink discovers. That connection is the
// sink's own, made on this thread: the discovery runs (0) and the tree holds the device's services.
TEST_F(ReconnectOnLinkLoss, TheConnectedSinkOfTheOfflineSinksConnectDiscovers) {
  radio_->AddPeripheral(BusyPeripheral(kOnDrop));
  const std::string id = Id(kOnDrop);
  std::atomic<int> reconnected{-1};
  std::atomic<int> discovered{-1};
  std::atomic<bool> armed{false};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  Sink events;
  events.keep = false;
  events.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_DISCONNECTED && event.Text(1) == "Offline" && armed.exchange(false)) {
      radio_->SetLink(kOnDrop, true);
      reconnected = -2;
      reconnected = Do(handle.load(), VELMORABLE_METHOD_CONNECT, id.c_str());
    } else if (event.id == VELMORABLE_EVENT_CONNECTED && event.Int(0) == 0 && reconnected.load() == -2) {
      discovered = DiscoverWithDescriptors(handle.load());
    }
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(client);
  armed = true;
  radio_->SetLink(kOnDrop, false);
  ASSERT_TRUE(Eventually([&] { return reconnected.load() >= 0; }));
  radio_->WaitIdle();
  EXPECT_EQ(reconnected.load(), 0);
  EXPECT_EQ(discovered.load(), 0) << "the Connected sink's discovery of the new connection failed";
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVICE_COUNT, 0), 2);
}


constexpr uint64_t kLateSet = 0xA0B0C0D00A41;

class LateValueSinkSet : public RadioFixture<1> {};

// A Value sink on the platform's thread waits for the application's thread (the program's own lock) while that
// thread reconnects the same device: Disconnect gives up waiting for the delivery (301), Connect and Discover
// follow, and the program selects the battery service. The sink then goes on and renames the characteristic at
// index 0 (Set of CharacteristicUserDescription), as a program that labels a sensor from a reading does. Its
// event was of the connection that ended: the Set is cut short (608) and the next connection's device is not
// written.
TEST_F(LateValueSinkSet, WritesNothingOfTheNextConnection) {
  bt::sim::SimPeripheral peripheral = BusyPeripheral(kLateSet);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x0A | 0x200);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2901), {'L', 'v'}});
  peripheral.gatt.services[1].characteristics.push_back(level);
  radio_->AddPeripheral(peripheral);
  std::atomic<bool> armed{false};
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  std::atomic<int> set{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  Sink events;
  events.keep = false;
  events.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_VALUE || !armed.exchange(false)) return;
    waiting = true;
    (void)Eventually([&] { return released.load(); });
    set = VelmoraBLE_BLEClient_Set(handle.load(), VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0,
                                   reinterpret_cast<intptr_t>("Late"));
  };
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_TRUE(EndBehindAWaitingValueSink(client, kLateSet, armed, waiting)) << LastError(client);
  ASSERT_EQ(ConnectWithDescriptors(client, kLateSet), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>("001000000000")), 0);
  released = true;
  ASSERT_TRUE(Eventually([&] { return set.load() != -1; }));
  radio_->WaitIdle();
  EXPECT_EQ(set.load(), 608);
  const std::optional<bt::Bytes> description = radio_->DeviceValue(kLateSet, 0x0013);
  ASSERT_TRUE(description.has_value());
  EXPECT_NE(*description, (bt::Bytes{'L', 'a', 't', 'e'})) << "the late sink's Set wrote the next connection's device";
}

}  // namespace
}  // namespace velmora::ble::testing
