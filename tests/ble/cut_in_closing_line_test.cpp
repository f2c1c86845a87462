// Calls cut short by a Disconnect or Connect that a sink makes in one of the call's own closing Log lines: a
// failed Connect, a discovery, a subscription query.
#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/sink_calls_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kGone = 0xA0B0C0D00F01;   // known to nobody: its Connect fails
constexpr uint64_t kThere = 0xA0B0C0D00F02;  // the device the program connects instead

class FailedConnectLogLineConnect : public RadioFixture<1> {};

// The program connects to a device that is not there; the Connect fails and logs "Connection to server ID ...
// was unsuccessful." before it raises Connected 604. The program's sink acts on its Log lines and connects to
// another device there (the user picked it from the list). That Connect returns 0 and raises Connected "OK": the
// client is connected. A Connected 604 after it tells the program that it is not connected, with a connection
// behind it that the program no longer knows of (a program that shows the state, or connects again on a
// failure, acts on a connection it lost track of).
TEST_F(FailedConnectLogLineConnect, NoFailureFollowsTheConnectedOfAConnectMadeInItsLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kThere));
  Sink events;
  events.on_entry = true;
  std::atomic<int> connected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  const std::string there = Id(kThere);
  events.inside = InFirstLogLine("Connection to server ID", connected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_CONNECT, there.c_str()); });
  Client client(&Sink::Call, &events);
  handle = client;
  const int rc = Do(client, VELMORABLE_METHOD_CONNECT, Id(kGone).c_str());
  radio_->WaitIdle();
  ASSERT_EQ(connected.load(), 0) << LastError(client);
  std::string told;
  for (const Event& event : events.Events()) {
    if (event.id == VELMORABLE_EVENT_CONNECTED) told += "Connected " + std::to_string(event.Int(0)) + "; ";
  }
  const std::string server =
      reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVER_ID, 0));
  EXPECT_EQ(told.rfind("Connected 0; "), told.size() - std::string("Connected 0; ").size())
      << "the Connected events told: " << told << "(Connect returned " << rc << ", the client is connected to "
      << server << "): a failure after the Connected of the connection the client holds";
}


constexpr uint64_t kD = 0xA0B0C0D00F21;

class DiscoveryAcrossDisconnect : public RadioFixture<1> {};

// The program discovers the root services of the connected device; DiscoverServices logs "Finished discovering
// root services." once it has found them. The program's sink acts on its Log lines and disconnects there (the
// user pressed Disconnect). Disconnect returns 0 and raises Disconnected, which empties the tree: what the
// discovery found is gone with its connection, as for every call cut short in its success Log line (608). A 0
// tells the program that the services are there to read: it reads ServiceCount 0, a device with no services.
TEST_F(DiscoveryAcrossDisconnect, ReturnsCutShortForADisconnectMadeInItsSuccessLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kD));
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Finished discovering root services", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kD).c_str()), 0) << LastError(client);
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, params, sizes);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  const intptr_t services = VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVICE_COUNT, 0);
  EXPECT_EQ(rc, 608) << "DiscoverServices returned " << rc << " with ServiceCount " << services
                     << " after the Disconnect in its Log line ended its connection";
}


constexpr uint64_t kQ = 0xA0B0C0D00F11;

class QueryAcrossDisconnect : public RadioFixture<1> {};

// Another client of the program holds the measurement's notifications on. The first client, connected and
// discovered, queries the measurement's state with LogLevel 3: with nothing listed it reads the device's CCCD (1)
// and logs "Got CCCD state ...". The program's sink acts on its Log lines and disconnects there (the user pressed
// Disconnect). Disconnect returns 0 and raises Disconnected: the query's connection is over, as a read's or a
// write's cut short in its success Log line is (608, the value handed out to no one). The query returns 0 and
// hands out "subscribed" of a connection that is gone.
TEST_F(QueryAcrossDisconnect, ReturnsCutShortForADisconnectMadeInItsSuccessLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kQ));
  Sink other_events;
  Client other(&Sink::Call, &other_events);
  ASSERT_EQ(ConnectWithDescriptors(other, kQ), 0) << LastError(other);
  ASSERT_EQ(OnMeasurement(other, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(other);
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Got CCCD state", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(ConnectWithDescriptors(client, kQ), 0) << LastError(client);
  ASSERT_EQ(Config(client, "LogLevel=3"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate)), 0);
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, sizes);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608) << "the query returned " << rc << " with state " << params[1]
                     << " of the connection that the Disconnect in its Log line ended";
}


constexpr uint64_t kWhole = 0xA0B0C0D00F31;

class WholeDiscoveryAcrossDisconnect : public RadioFixture<1> {};

// The program discovers the connected device's services with their characteristics in one Discover call. Discover
// logs "Finished discovering characteristics for service ID ..." for each service it found, the battery service
// last. The program's sink acts on its Log lines and disconnects in that last one (the user pressed Disconnect).
// Disconnect returns 0 and raises Disconnected, which empties the tree: what the discovery found is gone with its
// connection, as for DiscoverServices cut short in its closing Log line (608). A 0 tells the program that the
// services and characteristics are there to use: it reads ServiceCount 0, a device with no services.
TEST_F(WholeDiscoveryAcrossDisconnect, ReturnsCutShortForADisconnectMadeInItsLastLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kWhole));
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Finished discovering characteristics for service ID \"001000000000\"", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kWhole).c_str()), 0) << LastError(client);
  intptr_t params[4] = {0, 0, 0, 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER, 4, params, sizes);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  const intptr_t services = VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_SERVICE_COUNT, 0);
  EXPECT_EQ(rc, 608) << "Discover returned " << rc << " with ServiceCount " << services
                     << " after the Disconnect in its Log line ended its connection";
}

}  // namespace
}  // namespace velmora::ble::testing
