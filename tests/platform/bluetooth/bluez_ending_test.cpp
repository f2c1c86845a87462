// What the backend leaves behind when something ends while bluetoothd still works for it: the process's
// platform shut down while a Connect is under way, and notification sockets read at the link's end.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

// Only for the tests that use it: bluetoothd's CancelPairing of a device with no bonding under way, which (since
// 5.65) has the kernel unpair the device and drop its link (device.c, cancel_pairing: "if (!req) {
// btd_adapter_remove_bonding(device->adapter, &device->bdaddr, device->bdaddr_type); return
// btd_error_does_not_exist(msg); }", which is MGMT_OP_UNPAIR_DEVICE with "cp.disconnect = 1" (adapter.c)); the
// kernel skips the asking socket with its Device Unpaired event, so Paired stays as it is on the bus while the keys
// are gone. kernel_unpaired lists the devices unpaired so; each script below exports the CancelPairing it needs.
constexpr const char kUnpairWithoutBonding[] = R"(
kernel_unpaired = []
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='')
def unpair_without_bonding(self):
    log('CancelPairing', self.path)
    device = device_at(self.path)
    kernel_unpaired.append(self.path)
    if device.props()['Connected']:
        link_drop_cached(device.address)
    fail('org.bluez.Error.DoesNotExist', 'Does Not Exist')
unpair_without_bonding.__name__ = 'CancelPairing'
)";

// Only for the test that uses it, after kUnpairWithoutBonding: pairing by a passkey that bluetoothd shows and the
// device's user types. bluetoothd shows the passkey through the agent and waits for no answer (agent.c,
// agent_display_passkey: g_dbus_send_message, which marks a method call no-reply); the pairing goes on in the
// kernel and ends when the user has typed the passkey on the device, whatever the agent does meanwhile (here 300
// ms later): Pair connects the device and answers once bonded, Paired turning true first. bluetoothd's
// CancelPairing cancels whatever bonding of the device is under way (device.c, cancel_pairing: "struct
// bonding_req *req = device->bonding; ... device_cancel_bonding(device, MGMT_STATUS_CANCELLED);"); with none under
// way it unpairs the device (kUnpairWithoutBonding).
constexpr const char kPasskeyTypedOnTheDevice[] = R"(
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def typed_on_the_device(self, sender=None, answer_ok=None, answer_err=None):
    log('Pair', self.path)
    device = device_at(self.path)
    if not device.props()['Connected']:
        link_up(device)
    call_agent(agent_for(sender), 'DisplayPasskey', 'ouq', (dbus.ObjectPath(device.path),
               dbus.UInt32(device.passkey), dbus.UInt16(0)), lambda *_: None, lambda *_: None)
    def typed():
        changed(device.path, DEVICE_IFACE, {'Paired': dbus.Boolean(True)})
        answer_ok()
        return False
    GLib.timeout_add(300, typed)
typed_on_the_device.__name__ = 'Pair'
export(mockobject.objects[d.path], DEVICE_IFACE, typed_on_the_device)
export(mockobject.objects[d.path], DEVICE_IFACE, unpair_without_bonding)
)";

class BluezEndingPairing : public BluezEnding {
 protected:
  // HeldSink shows a passkey to its user and accepts once the user says so (the test lets it go).
  static int32_t HeldSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* self = static_cast<BluezEndingPairing*>(context);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST && count >= 4) {
      std::unique_lock lock(self->mutex_);
      self->asked_ = true;
      self->changed_.notify_all();
      self->changed_.wait_for(lock, std::chrono::seconds(10), [self] { return self->let_go_; });
      params[3] = 1;
    }
    return Sink::Call(&self->sink_, id, count, params, cbparams);
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool asked_ = false;
  bool let_go_ = false;
};

// The device asks its user to type a passkey; the application's sink shows it and waits for its own user's
// OK. The user types the passkey on the device first: the device is bonded, and Connect waits for the sink's
// answer all the same. Then the user presses OK and the sink accepts: Connect succeeds, and the connection and
// the bond that it made stay: nothing is cancelled, no pairing being under way any more.
TEST_F(BluezEndingPairing, AShownPasskeyAcceptedAfterThePairingEndedLeavesTheBondAndTheLink) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&HeldSink, this, 0);
  ASSERT_NE(handle_, nullptr);
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]; d.pairing = 'display'");
  Script(kUnpairWithoutBonding);
  Script(kPasskeyTypedOnTheDevice);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  std::atomic<int> connect_rc{-1};
  std::thread connect([&] { connect_rc = Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)}); });
  {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(10), [this] { return asked_; }));
  }
  // The user types the passkey on the device: bonded, and Connect still waits for the sink.
  ASSERT_TRUE(WaitForScript("bool(d.props()['Paired'])", "True"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(connect_rc.load(), -1) << "Connect ended while the sink still showed the passkey";
  {
    std::lock_guard lock(mutex_);
    let_go_ = true;
  }
  changed_.notify_all();
  connect.join();
  EXPECT_EQ(connect_rc.load(), 0) << LastError();
  EXPECT_EQ(Script("(bool(d.props()['Paired']), bool(d.props()['Connected']))"), "(True, True)");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Script("kernel_unpaired"), "[]") << "CancelPairing after the pairing ended unpaired the device";
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_DISCONNECTED).empty())
      << "the connection that Connect made was dropped; CancelPairing calls: "
      << ::testing::PrintToString(mock_->CallsOf("CancelPairing"));
}

// Only for the test that uses it, after kUnpairWithoutBonding: bluetoothd's Pair of a device whose services are not
// resolved yet. Once the kernel reports the device bonded, bluetoothd frees the bonding request and discovers the
// services first, answering Pair (and telling Paired) only when that discovery ends (device.c, device_bonding_complete:
// "err = device_discover_services(device, bdaddr_type, bonding->msg); ... bonding_request_free(bonding);", which sets
// device->bonding to NULL; device_set_paired: "if (!state->svc_resolved) { dev->pending_paired = true; return; }";
// browse_request_complete answers the Pair). Bonded is told as the keys are stored, just before (adapter.c,
// new_long_term_key_callback: device_set_bonded, then bonding_complete). A CancelPairing meanwhile finds no bonding
// under way and has the kernel unpair the device and drop its link (kUnpairWithoutBonding). Here: bonded 200 ms after
// the passkey is shown, services 1 s later.
constexpr const char kBondedThenServicesDiscovered[] = R"(
bonding_under_way = [False]
@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', sender_keyword='sender',
                     async_callbacks=('answer_ok', 'answer_err'))
def bonded_then_browsed(self, sender=None, answer_ok=None, answer_err=None):
    log('Pair', self.path)
    device = device_at(self.path)
    if not device.props()['Connected']:
        link_up(device)
    bonding_under_way[0] = True
    call_agent(agent_for(sender), 'DisplayPasskey', 'ouq', (dbus.ObjectPath(device.path),
               dbus.UInt32(device.passkey), dbus.UInt16(0)), lambda *_: None, lambda *_: None)
    def browsed():
        changed(device.path, DEVICE_IFACE, {'Paired': dbus.Boolean(True)})
        answer_ok()
        return False
    def bonded():
        bonding_under_way[0] = False
        changed(device.path, DEVICE_IFACE, {'Bonded': dbus.Boolean(True)})
        GLib.timeout_add(1000, browsed)
        return False
    GLib.timeout_add(200, bonded)
bonded_then_browsed.__name__ = 'Pair'
export(mockobject.objects[d.path], DEVICE_IFACE, bonded_then_browsed)

@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='')
def cancel_pairing(self):
    if not bonding_under_way[0]:
        unpair_without_bonding(self)
    log('CancelPairing', self.path)
cancel_pairing.__name__ = 'CancelPairing'
export(mockobject.objects[d.path], DEVICE_IFACE, cancel_pairing)
)";

// SlowRefusingSink shows a passkey to its user, who gives up on it after 600 ms: the request is left
// unaccepted.
int32_t SlowRefusingSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  if (id == VELMORABLE_EVENT_PAIRING_REQUEST) std::this_thread::sleep_for(std::chrono::milliseconds(600));
  return Sink::Call(context, id, count, params, cbparams);
}

// The device's user types the passkey before the application's user gives up on it: the device is bonded, and
// bluetoothd still discovers its services before it answers Pair. The late refusal holds (Connect fails), but
// must not have bluetoothd unpair the device with no bonding under way (the kernel's keys gone under a device
// that bluetoothd still calls paired, and the link dropped).
TEST_F(BluezEnding, ARefusalAfterTheBondWhileBluetoothdStillDiscoversCancelsNoPairingThatIsOver) {
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = VelmoraBLE_BLEClient_Create(&SlowRefusingSink, &sink_, 0);
  ASSERT_NE(handle_, nullptr);
  Script("heart_rate_sensor(); d = devices[HEART_RATE_ADDRESS]; d.pairing = 'display'");
  Script(kUnpairWithoutBonding);
  Script(kBondedThenServicesDiscovered);
  ASSERT_NE(DeviceWhenKnown(), nullptr);
  ASSERT_EQ(Config("PairingMode=1"), 0);
  const int rc = Call(VELMORABLE_METHOD_CONNECT, {Text(kSensor)});
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_PAIRING_REQUEST));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(rc, 604) << LastError();
  EXPECT_EQ(Script("kernel_unpaired"), "[]")
      << "CancelPairing reached bluetoothd with no bonding under way (rc " << rc << ": " << LastError() << ")";
}

}  // namespace
}  // namespace velmora::ble::testing
