// Connect and Disconnect beside another Connect or Disconnect of the same client: a sink's Disconnect inside
// the application's, the application's beside a sink's, a sink's Connect once the application's held its device
// or while it pairs, and a sink's Connect while the application's Disconnect ends the connection.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kX = 0xA0B0C0D00031;

class SinkInsideDisconnect : public RadioFixture<1> {};

// DisconnectingOnLog disconnects its client from the Log line that Disconnect writes as it begins.
struct DisconnectingOnLog {
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> done{false};
  std::atomic<int> rc{-1};
  std::atomic<long long> took_ms{-1};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<DisconnectingOnLog*>(raw);
    if (id != VELMORABLE_EVENT_LOG) return 0;
    const char* line = reinterpret_cast<const char*>(params[1]);
    if (line == nullptr || std::strstr(line, "Disconnecting from server ID") == nullptr) return 0;
    if (self->done.exchange(true)) return 0;
    const auto start = std::chrono::steady_clock::now();
    self->rc = Do(self->handle, VELMORABLE_METHOD_DISCONNECT);
    self->took_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return 0;
  }
};

// A sink's Disconnect made while the client's Disconnect is ending the connection returns 0 at once; this
// sink runs inside that Disconnect (its Log line, on the application's thread), so the end it would wait for
// cannot come before it returns.
TEST_F(SinkInsideDisconnect, DisconnectFromDisconnectsOwnLogLineReturnsAtOnce) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  DisconnectingOnLog sink;
  Client client(&DisconnectingOnLog::Call, &sink);
  sink.handle = client;
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(client);
  const auto start = std::chrono::steady_clock::now();
  const int rc = Do(client, VELMORABLE_METHOD_DISCONNECT);
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(rc, 0) << LastError(client);
  ASSERT_TRUE(sink.done.load());
  EXPECT_EQ(sink.rc.load(), 0) << "the sink's Disconnect";
  EXPECT_LT(sink.took_ms.load(), 1000) << "the sink's Disconnect waited for the Disconnect it runs inside";
  EXPECT_LT(took, 1000) << "the application's Disconnect, held by its own sink";
}


constexpr uint64_t kY = 0xA0B0C0D00032;

// DisconnectingOnRename disconnects its client from the first ServerUpdate (a platform thread) and is slow in
// the Log line that this Disconnect writes once it has dropped the device, before its Disconnected.
struct DisconnectingOnRename {
  VelmoraBLE_BLEClient* handle = nullptr;
  std::thread::id application;
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  std::atomic<int> rc{-1};
  std::mutex mutex;
  std::vector<std::string> links;  // Connected and Disconnected, in the order the sink saw them
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<DisconnectingOnRename*>(raw);
    if (id == VELMORABLE_EVENT_CONNECTED || id == VELMORABLE_EVENT_DISCONNECTED) {
      std::lock_guard lock(self->mutex);
      self->links.push_back(std::string(id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") +
                            reinterpret_cast<const char*>(params[1]));
    }
    const bool on_platform_thread = std::this_thread::get_id() != self->application;
    if (id == VELMORABLE_EVENT_LOG && on_platform_thread) {
      const std::string line = reinterpret_cast<const char*>(params[1]);
      if (line.find("Disconnecting from server ID") != std::string::npos) self->started = true;
      if (line.find("Disconnected from server ID") != std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a sink that writes its log to a slow disk
      }
    }
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && !self->started.load() && !self->done.load()) {
      self->rc = Do(self->handle, VELMORABLE_METHOD_DISCONNECT);
      self->done = true;
    }
    return 0;
  }
  std::string Links() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const std::string& link : links) all += link + "; ";
    return all;
  }
};

class DisconnectBesideASinks : public RadioFixture<1> {};

// The application's Disconnect made while a sink's Disconnect is ending the connection waits until that one has
// ended: once it has returned, the old connection's Disconnected has been told, so that the application's next
// connection is told Connected after it and its link loss is told.
TEST_F(DisconnectBesideASinks, ApplicationsDisconnectReturnsOnlyOnceTheSinksHasEnded) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kY));
  DisconnectingOnRename sink;
  sink.application = std::this_thread::get_id();
  Client client(&DisconnectingOnRename::Call, &sink);
  sink.handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(client);
  radio_->SetName(kX, u"Renamed");  // the sink disconnects from its ServerUpdate
  ASSERT_TRUE(Eventually([&] { return sink.started.load(); }));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kY).c_str()), 0) << LastError(client);
  ASSERT_TRUE(Eventually([&] { return sink.done.load(); }));
  EXPECT_EQ(sink.rc.load(), 0);
  radio_->WaitIdle();
  EXPECT_EQ(sink.Links(), "Connected OK; Disconnected OK; Connected OK; ");
  radio_->SetLink(kY, false);
  radio_->WaitIdle();
  (void)Eventually([&] { return sink.Links().find("Offline") != std::string::npos; });
  EXPECT_NE(sink.Links().find("Disconnected Offline"), std::string::npos)
      << "the link to Y was lost and never told: " << sink.Links();
}

constexpr uint64_t kZ = 0xA0B0C0D00033;

// ConnectingFirstToY connects another client (the first) to Y from its first ServerUpdate.
struct ConnectingFirstToY {
  VelmoraBLE_BLEClient* other = nullptr;
  std::atomic<int> rc{-1};
  std::atomic<bool> done{false};
  std::string error;  // the Connect's error text, set before rc
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<ConnectingFirstToY*>(raw);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && !self->done.exchange(true)) {
      const int rc = Do(self->other, VELMORABLE_METHOD_CONNECT, Id(kY).c_str());
      self->error = LastError(self->other);
      self->rc = rc;
    }
    return 0;
  }
};

// ToldLinks lists the Connected and Disconnected events that the sink received, with their texts.
std::string ToldLinks(Sink& events) {
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED || event.id == VELMORABLE_EVENT_DISCONNECTED) {
      told += std::string(event.id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") + event.Text(1) +
              "; ";
    }
  }
  return told;
}

class ConnectOvertakenLate : public RadioFixture<1> {};

// The application's Connect to X has held its device and logs its success (a Log sink that writes to a slow
// disk) when a sink on a platform thread connects the same client to Y. Either Connect gives up (608) and the
// sink's connection to Y stays, or a Connect that returns 0 is connected where it was asked to be.
TEST_F(ConnectOvertakenLate, BySinksConnectAfterItHeldItsDevice) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kY));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  Sink events;
  Client first(&Sink::Call, &events);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const std::thread::id application = std::this_thread::get_id();
  std::atomic<bool> triggered{false};
  events.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_LOG || std::this_thread::get_id() != application) return;
    if (event.Text(1).find("Successfully connected to server ID " + Id(kX)) == std::string::npos) return;
    if (triggered.exchange(true)) return;
    radio_->SetName(kZ, u"Renamed");  // the second client's ServerUpdate: its sink connects the first to Y
    (void)Eventually([&] { return connecting.rc.load() != -1; });
  };
  const int rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  radio_->WaitIdle();
  ASSERT_TRUE(triggered.load());
  EXPECT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y";
  const std::string told = ToldLinks(events);
  const std::string server = reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0));
  EXPECT_TRUE(told.size() >= 14 && told.compare(told.size() - 14, 14, "Connected OK; ") == 0) << "events: " << told;
  if (rc == 0) {
    EXPECT_EQ(server, Id(kX)) << "Connect to X returned 0; events: " << told;
  } else {
    EXPECT_EQ(rc, 608);
    EXPECT_EQ(server, Id(kY));
  }
}

class ConnectOvertakenWhilePairing : public RadioFixture<1> {};

// The application's Connect to X pairs (the device is slow to answer, past Timeout) when a sink on a platform
// thread connects the same client to Y. The sink's Connect ends X and connects Y (Connected OK); the
// application's Connect then gives up on its pairing. The sink's connection to Y must stay as it was made:
// held, its server id Y, and its link loss told.
TEST_F(ConnectOvertakenWhilePairing, TheSinksConnectionStaysWhenThePairingWaitRunsOut) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  SimPeripheral y = BusyPeripheral(kY);
  y.can_pair = false;
  radio_->AddPeripheral(y);
  radio_->AddPeripheral(BusyPeripheral(kZ));
  Sink events;
  Client first(&Sink::Call, &events);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int held = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  std::thread renamer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    radio_->SetName(kZ, u"Renamed");  // the second client's sink connects the first to Y
  });
  const int rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  renamer.join();
  radio_->Release(held);
  radio_->WaitIdle();
  ASSERT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y: " << LastError(first);
  const std::string told = ToldLinks(events);
  const intptr_t raw = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  const std::string server = raw != 0 ? reinterpret_cast<const char*>(raw) : "";
  EXPECT_EQ(rc, 608) << LastError(first);
  EXPECT_EQ(server, Id(kY)) << "Connect to X gave " << rc << "; events: " << told;
  radio_->SetLink(kY, false);
  radio_->WaitIdle();
  (void)Eventually([&] { return ToldLinks(events).find("Disconnected Offline") != std::string::npos; });
  const std::string after = ToldLinks(events);
  EXPECT_NE(after.find("Disconnected Offline"), std::string::npos)
      << "the link to Y was lost and never told; Connect to X gave " << rc << "; events: " << after;
}

// SlowPinAnswer answers every PairingRequest with the PIN, once `answer` is set (a person typing the PIN).
struct SlowPinAnswer {
  std::atomic<bool> answer{false};
  std::atomic<int> requests{0};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<SlowPinAnswer*>(raw);
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    ++self->requests;
    (void)Eventually([&] { return self->answer.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    AnswerPin(params);
    return 0;
  }
};

class PairingBesideOvertakenConnect : public RadioFixture<1> {};

// The application's Connect to X pairs (the device is slow, past Timeout) when a sink on a platform thread
// connects the same client to Y, which asks for a PIN. The PIN is typed after the application's Connect gave
// up (608). The sink's Connect to Y is not the one that gave up: its pairing takes the PIN and it connects.
TEST_F(PairingBesideOvertakenConnect, TheSinksPairingStillTakesItsAnswer) {
  SimPeripheral x = BusyPeripheral(kX);
  x.pairing_kind = bt::DevicePairingKinds::None;
  radio_->AddPeripheral(x);
  radio_->AddPeripheral(BusyPeripheral(kY));  // asks for the PIN
  radio_->AddPeripheral(BusyPeripheral(kZ));
  SlowPinAnswer answering;
  Client first(&SlowPinAnswer::Call, &answering);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int held = radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kX, .hold = true});
  std::thread renamer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    radio_->SetName(kZ, u"Renamed");  // the second client's sink connects the first to Y
  });
  const int rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  answering.answer = true;  // the PIN for Y is typed now
  renamer.join();
  ASSERT_TRUE(Eventually([&] { return connecting.rc.load() != -1; }));
  radio_->Release(held);
  radio_->WaitIdle();
  EXPECT_EQ(rc, 608) << LastError(first);
  EXPECT_EQ(answering.requests.load(), 1);
  EXPECT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y: " << connecting.error;
  const intptr_t raw = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_EQ(raw != 0 ? std::string(reinterpret_cast<const char*>(raw)) : "", Id(kY));
}

// PromptPin answers every PairingRequest with the PIN at once.
struct PromptPin {
  std::atomic<int> requests{0};
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<PromptPin*>(raw);
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    ++self->requests;
    AnswerPin(params);
    return 0;
  }
};

class BondOfOvertakenConnect : public RadioFixture<1> {};

// The application's Connect to X pairs: the sink gives the PIN at once, and X bonds, but the device is slow to
// report it (past Timeout). Meanwhile a sink on a platform thread connects the same client to Y, which pairs
// too. The application's Connect gives up (608): no connection holds X, and the bond that its answer made is
// removed once the platform reports the pairing done, as for any Connect whose pairing wait stopped after an
// answer.
TEST_F(BondOfOvertakenConnect, TheBondItsAnswerMadeIsRemoved) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kY));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  PromptPin answering;
  Client first(&PromptPin::Call, &answering);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int held = radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kX, .hold = true});
  std::thread renamer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    radio_->SetName(kZ, u"Renamed");  // the second client's sink connects the first to Y
  });
  const int rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  renamer.join();
  ASSERT_TRUE(Eventually([&] { return connecting.rc.load() != -1; }));
  ASSERT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y: " << connecting.error;
  EXPECT_EQ(rc, 608) << LastError(first);
  EXPECT_EQ(answering.requests.load(), 2);
  ASSERT_TRUE(radio_->IsPaired(kX));  // the answer bonded X; the platform has not said so yet
  radio_->Release(held);
  radio_->WaitIdle();
  (void)Eventually([&] { return !radio_->IsPaired(kX); });
  EXPECT_FALSE(radio_->IsPaired(kX)) << "the bond that the given-up Connect's answer made stays";
  EXPECT_TRUE(radio_->IsPaired(kY));  // the sink's connection to Y holds its bond
}

// LinkRecord records the Connected and Disconnected events of a client, with their texts.
struct LinkRecord {
  std::mutex mutex;
  std::string links;
  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<LinkRecord*>(raw);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    if (id == VELMORABLE_EVENT_CONNECTED || id == VELMORABLE_EVENT_DISCONNECTED) {
      std::lock_guard lock(self->mutex);
      self->links += std::string(id == VELMORABLE_EVENT_CONNECTED ? "Connected " : "Disconnected ") +
                     reinterpret_cast<const char*>(params[1]) + "; ";
    }
    return 0;
  }
  std::string Links() {
    std::lock_guard lock(mutex);
    return links;
  }
};

class LinkLossBesideOvertakenConnect : public RadioFixture<2> {};

// The application's Connect to X pairs past Timeout when a sink on a platform thread connects the same client
// to Y, whose pairing is slow too. The application's Connect gives up (608) while the sink's still pairs; Y's
// link drops then, before the sink's pairing completes and it tells Connected. That loss is told (Disconnected
// "Offline" after the Connected), as for a link lost while a lone Connect pairs.
TEST_F(LinkLossBesideOvertakenConnect, ALinkLostWhileTheSinksConnectPairsIsTold) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kY));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  LinkRecord record;
  Client first(&LinkRecord::Call, &record);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int held_x = radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kX, .hold = true});
  const int held_y = radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kY, .hold = true});
  std::thread renamer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    radio_->SetName(kZ, u"Renamed");  // the second client's sink connects the first to Y
  });
  const int rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  renamer.join();
  EXPECT_EQ(rc, 608) << LastError(first);
  ASSERT_EQ(connecting.rc.load(), -1) << "the sink's Connect to Y ended before the application's";
  radio_->SetLink(kY, false);  // Y drops while the sink's Connect still pairs
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  radio_->Release(held_y);
  ASSERT_TRUE(Eventually([&] { return connecting.rc.load() != -1; }));
  radio_->Release(held_x);
  radio_->WaitIdle();
  EXPECT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y: " << connecting.error;
  (void)Eventually([&] { return record.Links().find("Offline") != std::string::npos; });
  EXPECT_NE(record.Links().find("Connected OK; Disconnected Offline"), std::string::npos)
      << "Y's link was lost and never told: " << record.Links();
}

class ConnectBesideApplicationsDisconnect : public RadioFixture<1> {};

// The application disconnects the client from X; once X is dropped, before the Disconnect has told its
// Disconnected (its Log sink writes to a slow disk), a sink on a platform thread connects the same client to
// Y. Either that Connect gives up (608), or the client ends connected to Y as the events last told it: the
// Disconnected of X comes before Y's Connected, a GATT call finds the connection, and Y's link loss is told.
TEST_F(ConnectBesideApplicationsDisconnect, TheEventsAndTheStateAgreeOnTheConnectionToY) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  radio_->AddPeripheral(BusyPeripheral(kY));
  radio_->AddPeripheral(BusyPeripheral(kZ));
  Sink events;
  Client first(&Sink::Call, &events);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  ASSERT_EQ(Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()), 0) << LastError(first);
  const std::thread::id application = std::this_thread::get_id();
  std::atomic<bool> triggered{false};
  events.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_LOG || std::this_thread::get_id() != application) return;
    if (event.Text(1).find("Disconnected from server ID " + Id(kX)) == std::string::npos) return;
    if (triggered.exchange(true)) return;
    radio_->SetName(kZ, u"Renamed");  // the second client's ServerUpdate: its sink connects the first to Y
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a sink that writes its log to a slow disk
  };
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first);
  radio_->WaitIdle();
  ASSERT_TRUE(triggered.load());
  ASSERT_TRUE(Eventually([&] { return connecting.rc.load() != -1; }));
  const auto links = [&] { return ToldLinks(events); };
  const intptr_t raw = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  const std::string server = raw != 0 ? reinterpret_cast<const char*>(raw) : "";
  if (connecting.rc.load() != 0) {
    EXPECT_EQ(connecting.rc.load(), 608) << connecting.error;
    EXPECT_EQ(server, "") << "events: " << links();
    return;
  }
  ASSERT_EQ(server, Id(kY));
  EXPECT_EQ(links(), "Connected OK; Disconnected OK; Connected OK; ") << "the client holds Y";
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCOVER_SERVICES), 0) << LastError(first);
  radio_->SetLink(kY, false);
  radio_->WaitIdle();
  (void)Eventually([&] { return links().find("Offline") != std::string::npos; });
  EXPECT_NE(links().find("Disconnected Offline"), std::string::npos) << "Y's link was lost and never told: " << links();
}

class PlatformFailureOfOvertakenConnect : public RadioFixture<1> {};

// The application's Connect to X pairs (the device is slow) when a sink on a platform thread connects the same
// client to Y. The platform then fails the application's Connect (its pairing result cannot tell its status).
// That Connect fails, but the sink's connection to Y is not its own to end: the client still holds Y, the calls
// find the connection, and Y's link loss is told.
TEST_F(PlatformFailureOfOvertakenConnect, LeavesTheSinksConnection) {
  radio_->AddPeripheral(BusyPeripheral(kX));
  SimPeripheral y = BusyPeripheral(kY);
  y.can_pair = false;
  radio_->AddPeripheral(y);
  radio_->AddPeripheral(BusyPeripheral(kZ));
  Sink events;
  Client first(&Sink::Call, &events);
  ASSERT_EQ(Config(first, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  ConnectingFirstToY connecting;
  connecting.other = first;
  Client second(&ConnectingFirstToY::Call, &connecting);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_CONNECT, Id(kZ).c_str()), 0) << LastError(second);
  const int held = radio_->AddFault({.op = bt::sim::SimOp::kPair, .address = kX, .hold = true});
  std::thread platform([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    radio_->SetName(kZ, u"Renamed");  // the second client's sink connects the first to Y
    (void)Eventually([&] { return connecting.rc.load() != -1; });
    radio_->FailCall("DevicePairingResult.Status", static_cast<int32_t>(0x80004005u));
    radio_->Release(held);
  });
  const int rc = Do(first, VELMORABLE_METHOD_CONNECT, Id(kX).c_str());
  platform.join();
  radio_->WaitIdle();
  ASSERT_EQ(connecting.rc.load(), 0) << "the sink's Connect to Y: " << connecting.error;
  EXPECT_NE(rc, 0);
  const auto links = [&] { return ToldLinks(events); };
  const intptr_t raw = VelmoraBLE_BLEClient_Get(first, VELMORABLE_PROP_SERVER_ID, 0);
  EXPECT_EQ(raw != 0 ? std::string(reinterpret_cast<const char*>(raw)) : "", Id(kY))
      << "Connect to X gave " << rc << " " << LastError(first) << "; events: " << links();
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCOVER_SERVICES), 0) << LastError(first);
  radio_->SetLink(kY, false);
  radio_->WaitIdle();
  (void)Eventually([&] { return links().find("Offline") != std::string::npos; });
  EXPECT_NE(links().find("Disconnected Offline"), std::string::npos) << "Y's link was lost and never told: " << links();
}

}  // namespace
}  // namespace velmora::ble::testing
