// Calls cut short by a Disconnect or Connect that a sink makes in one of the call's own opening Log lines,
// before the call has asked the device anything: a lookup, a root discovery, a write.
#include <atomic>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/sink_calls_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kLookup = 0xA0B0C0D00F81;

class LookupLineDisconnect : public RadioFixture<1> {};

// Connected and discovered, LogLevel 3, the program subscribes to the measurement. Subscribe first makes sure of
// the characteristic's CCCD and logs "Ensuring that any ... descriptors has been discovered ...". The program's
// sink disconnects there (Disconnect returns 0 and raises Disconnected). The Subscribe was cut short: 608, not a
// 601 "No service ... has been discovered" that tells the program to discover again.
TEST_F(LookupLineDisconnect, SubscribeCutInItsLookupsFirstLineReturnsCutShort) {
  radio_->AddPeripheral(BusyPeripheral(kLookup));
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Ensuring that any", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kLookup).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  ASSERT_EQ(Config(client, "LogLevel=3"), 0);
  const int rc = OnMeasurement(client, VELMORABLE_METHOD_SUBSCRIBE);
  const std::string text = LastError(client);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608) << "Subscribe returned " << rc << " (\"" << text << "\")";
}

constexpr uint64_t kRootA = 0xA0B0C0D00F82;
constexpr uint64_t kRootB = 0xA0B0C0D00F83;

class RootDiscoveryLineConnect : public RadioFixture<1> {};

// Connected to A, the program discovers A's root services; DiscoverServices logs "Beginning discovery of root
// services." first. The program's sink connects to B there. The discovery made for A was cut short (608): B's
// services are not discovered inside it, and it does not return 0.
TEST_F(RootDiscoveryLineConnect, ReturnsCutShortForAConnectElsewhereMadeInItsFirstLogLine) {
  radio_->AddPeripheral(BusyPeripheral(kRootA));
  bt::sim::SimPeripheral b = BusyPeripheral(kRootB);
  b.gatt.services.erase(b.gatt.services.begin());  // B offers the battery service only
  radio_->AddPeripheral(b);
  Sink events;
  events.on_entry = true;
  std::atomic<int> connected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  const std::string there = Id(kRootB);
  events.inside = InFirstLogLine("Beginning discovery of root services", connected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_CONNECT, there.c_str()); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kRootA).c_str()), 0) << LastError(client);
  events.Clear();
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, params, sizes);
  radio_->WaitIdle();
  ASSERT_EQ(connected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608);
  EXPECT_TRUE(events.Of(VELMORABLE_EVENT_DISCOVERED).empty()) << "B's services were told in A's discovery";
}

constexpr uint64_t kWritten = 0xA0B0C0D00F84;
constexpr char kBattery[] = "001000000000";
constexpr char kLevel[] = "001000120000";

class WriteLineDisconnect : public RadioFixture<1> {};

// The program writes 0x55 to a characteristic; WriteValue logs "Writing value to characteristic ID ..." before
// it asks the platform. The program's sink disconnects there. The write was cut short before it was asked for:
// the device the program left is not written through the ended connection's objects.
TEST_F(WriteLineDisconnect, AsksNothingOnceADisconnectInItsFirstLogLineEndedTheConnection) {
  bt::sim::SimPeripheral peripheral = BusyPeripheral(kWritten);
  peripheral.gatt.services[1].characteristics.push_back(Characteristic(0x0012, 0x2A19, 0x0A));
  radio_->AddPeripheral(peripheral);
  Sink events;
  std::atomic<int> disconnected{-1};
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  events.inside = InFirstLogLine("Writing value to characteristic ID", disconnected,
                                 [&] { return Do(handle.load(), VELMORABLE_METHOD_DISCONNECT); });
  Client client(&Sink::Call, &events);
  handle = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kWritten).c_str()), 0) << LastError(client);
  ASSERT_EQ(DiscoverWithDescriptors(client), 0) << LastError(client);
  static uint8_t value[1] = {0x55};
  intptr_t params[4] = {reinterpret_cast<intptr_t>(kBattery), reinterpret_cast<intptr_t>(kLevel), 0,
                        reinterpret_cast<intptr_t>(value)};
  int32_t sizes[4] = {0, 0, 0, 1};
  const int rc = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
  radio_->WaitIdle();
  ASSERT_EQ(disconnected.load(), 0) << LastError(client);
  EXPECT_EQ(rc, 608);
  const std::optional<bt::Bytes> written = radio_->DeviceValue(kWritten, 0x0012);
  ASSERT_TRUE(written.has_value());
  EXPECT_NE(*written, bt::Bytes{0x55}) << "the device took the write after the Disconnect";
}

}  // namespace
}  // namespace velmora::ble::testing
