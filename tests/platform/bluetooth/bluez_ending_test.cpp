// What the backend leaves behind when something ends while bluetoothd still works for it: the process's
// platform shut down while a Connect is under way, and notification sockets read at the link's end.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/bluetooth/bluez_test_util.h"

namespace velmora::ble::testing {
namespace {

class BluezEnding : public BluezFixture {};

// Only for the tests that use it: bluetoothd's Disconnect of a device whose Connect is still under way
// (device.c, dev_disconnect -> device_request_disconnect): it shuts the ATT socket that is connecting down,
// which ends the kernel's connection attempt ("if (device->att_io) g_io_channel_shutdown"), answers the
// Connect as failed ("if (device->connect) ... btd_error_failed(device->connect, ERR_BREDR_CONN_CANCELED)"),
// and, the device not being connected, answers the Disconnect at once.
constexpr const char kDisconnectCancelsConnect[] = R"(
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', async_callbacks=('ok', 'err'))
def cancelling_disconnect(self, ok, err):
    device = device_at(self.path)
    if device.connect_held and not device.props()['Connected']:
        log('Disconnect', self.path)
        device.connect_held = False
        for _, failed in list(unanswered):
            failed(error('org.bluez.Error.Failed', 'br-connection-canceled'))
        unanswered.clear()
        ok()
        return
    Disconnect(self, ok, err)
cancelling_disconnect.__name__ = 'Disconnect'
export(mockobject.objects[d.path], DEVICE_IFACE, cancelling_disconnect)
)";

// A program connects a device that is out of reach, its Discover gives up after its Timeout, and the program
// ends (its client destroyed, the platform shut down) while bluetoothd still connects the device for it
// (bluetoothd answers Connect only when the kernel's attempt ends, up to 40 s later; nothing in bluetoothd
// ends that attempt when its caller leaves the bus). The device comes into reach afterwards and the kernel
// connects it: that link would be nobody's, and bluetoothd keeps an LE link up for as long as the device
// does, out of every other central's reach. The shutdown ends the attempt it started (Disconnect).
TEST_F(BluezEnding, AShutdownEndsAConnectUnderWay) {
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]; d.connect_held = True");
  Script(kDisconnectCancelsConnect);
  ASSERT_EQ(Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}), 0) << LastError();
  ASSERT_EQ(Config("AutoDiscoverCharacteristics=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle_, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  EXPECT_EQ(Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}), 301) << LastError();
  ASSERT_EQ(Script("len(unanswered)"), "1");
  // The program ends.
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = nullptr;
  bt::InstallProvider(nullptr);
  platform_.reset();
  // The device comes into reach: the kernel connects it if the attempt still runs.
  Script("if d.connect_held:\n    d.connect_held = False\n    link_up(d)\n");
  EXPECT_EQ(Script("bool(d.props()['Connected'])"), "False")
      << "the link that bluetoothd made for the ended process's Connect stays up; calls: "
      << ::testing::PrintToString(mock_->CallsOf("Disconnect"));
}

// The device notifies a run of values, one of them empty (a zero-length notification, which bluetoothd writes
// to the acquired socket as an empty record: gatt-client.c, notify_io_cb, io_send of the value as it came),
// and the link ends right after: bluetoothd closes the socket as the link goes (btd_gatt_client_disconnected),
// and what the socket still holds came before the link's end. Every value after the empty one is delivered
// too, before Disconnected.
TEST_F(BluezEnding, ValuesAfterAnEmptyNotificationAreDeliveredWhenTheLinkEnds) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  const int rounds = 5;
  std::vector<std::string> short_rounds;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("000100000000"), Text("000100030000")}), 0) << LastError();
    sink_.Clear();
    // 200 values, an empty one, then 0xFFFFFFFF, all written before the link's end.
    ASSERT_EQ(Script("result = notify(HEART_RATE_ADDRESS, 0x0003, counter(200) + [b'', b'\\xff\\xff\\xff\\xff'])\n"
                     "link_drop_cached(HEART_RATE_ADDRESS)\n"),
              "202");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool last_seen = false;
    size_t values = 0;
    for (const Event& event : sink_.Events()) {
      if (event.id == VELMORABLE_EVENT_DISCONNECTED) break;
      if (event.id != VELMORABLE_EVENT_VALUE) continue;
      ++values;
      last_seen |= event.Text(5) == std::string(4, '\xff');
    }
    if (!last_seen) short_rounds.push_back(std::to_string(values));
    sink_.Clear();
    Script("link_up(devices[HEART_RATE_ADDRESS])");
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_CONNECTED));
  }
  EXPECT_TRUE(short_rounds.empty()) << short_rounds.size() << " of " << rounds
                                    << " rounds lost the value after the empty one; Values before Disconnected: "
                                    << ::testing::PrintToString(short_rounds);
}

}  // namespace
}  // namespace velmora::ble::testing
