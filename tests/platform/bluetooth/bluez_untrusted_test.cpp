// A bluetoothd that cannot be trusted: agent requests for devices that are not being paired, replies and
// properties of the wrong types, notification sockets that fail, and malformed GATT objects.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/bluetooth/bluez_test_util.h"

namespace velmora::ble::testing {
namespace {

constexpr int kPlatformError = 610;
constexpr const char kHeartRate[] = "000100000000";
constexpr const char kMeasurement[] = "000100030000";

class BluezUntrusted : public BluezFixture {
 protected:
  // Fresh gives a new client with LogLevel 2 and the sensor set up by `script`, once the backend knows it.
  void Fresh(const std::string& script) {
    VelmoraBLE_BLEClient_Destroy(handle_);
    handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
    ASSERT_NE(handle_, nullptr);
    sink_.Clear();
    Script("reset()");
    Script(script);
    ASSERT_EQ(Config("LogLevel=2"), 0);
    // The sensor's removal and its return reach the backend as signals of their own; wait for the return.
    (void)DeviceWhenKnown();
  }
  // LogLine waits for a level-2 Log event that contains every part; its text, or "" after 10 s.
  std::string LogLine(const std::vector<std::string>& parts) {
    for (int i = 0; i < 1000; ++i) {
      for (const Event& event : sink_.Of(VELMORABLE_EVENT_LOG)) {
        bool all = event.Int(0) == 2;
        for (const std::string& part : parts) all = all && event.Text(1).find(part) != std::string::npos;
        if (all) return event.Text(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }
};

// Only the device being paired, and only while Pair runs, gets an answer from the agent; every other
// request is rejected without reaching the application, and logged with its path.
TEST_F(BluezUntrusted, TheAgentAnswersOnlyForTheDeviceItPairs) {
  struct Row {
    const char* method;
    const char* signature;
    const char* args;    // Python, with P the sensor's path
    const char* device;  // as logged
  };
  const std::string sensor = kSensorPath;
  const Row strays[] = {
      {"RequestPasskey", "o", "(dbus.ObjectPath('/org/bluez/hci0/dev_00_00_00_00_00_01'),)",
       "/org/bluez/hci0/dev_00_00_00_00_00_01"},
      {"RequestPinCode", "o", "(dbus.ObjectPath('/'),)", "/"},
      {"RequestConfirmation", "ou", "(dbus.ObjectPath(P + '/service0001'), dbus.UInt32(1))", "/service0001"},
      {"DisplayPinCode", "os", "(dbus.ObjectPath('/org/bluez/hci0/dev_00_00_00_00_00_01'), '0000')",
       "/org/bluez/hci0/dev_00_00_00_00_00_01"},
      {"RequestAuthorization", "o", "(dbus.ObjectPath(P),)", sensor.c_str()},
      {"AuthorizeService", "os", "(dbus.ObjectPath(P), 'not-a-uuid')", sensor.c_str()},
      {"RequestConfirmation", "o", "(dbus.ObjectPath(P),)", sensor.c_str()},  // arguments of the wrong types
  };
  // After Pair returned, the sensor's own requests are refused as well.
  const Row late[] = {
      {"RequestPinCode", "o", "(dbus.ObjectPath(P),)", sensor.c_str()},
      {"RequestPasskey", "o", "(dbus.ObjectPath(P),)", sensor.c_str()},
  };
  std::string list;
  for (const Row& row : strays) {
    list += std::string("('") + row.method + "', '" + row.signature + "', " + row.args + "), ";
  }
  Script("heart_rate_sensor(); P = devices[HEART_RATE_ADDRESS].path; devices[HEART_RATE_ADDRESS].pairing = "
         "'passkey'; devices[HEART_RATE_ADDRESS].stray_requests = [" + list + "]");
  std::mutex mutex;
  std::vector<std::string> logged;
  platform_->AddLogged([&](const auto&, const auto& args) {
    std::lock_guard lock(mutex);
    const bt::HString text = args->Text();
    logged.emplace_back(text.begin(), text.end());
  });
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto custom = device->DeviceInformation()->Pairing()->Custom();
  std::atomic<int> asked{0};
  custom->AddPairingRequested([&](const auto&, const auto& args) {
    ++asked;
    args->AcceptWithPin(u"123456");
  });
  auto result = Await(custom->PairAsync(bt::DevicePairingKinds::ProvidePin));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Status(), bt::DevicePairingResultStatus::Paired);
  for (const Row& row : late) {
    Script(std::string("agent_request('") + row.method + "', '" + row.signature + "', " + row.args + ")");
  }
  const size_t total = std::size(strays) + std::size(late);
  for (int i = 0; i < 1000 && Script("len(agent_replies)") != std::to_string(total); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string replies = Script("'\\n'.join(agent_replies)");
  EXPECT_EQ(asked.load(), 1);
  EXPECT_EQ(replies.find(" ok"), std::string::npos) << replies;
  EXPECT_EQ(replies.find("123456"), std::string::npos) << replies;
  for (const Row& row : strays) EXPECT_NE(replies.find(std::string(row.method) + " "), std::string::npos) << row.method;
  for (const Row& row : late) EXPECT_NE(replies.find(std::string(row.method) + " "), std::string::npos) << row.method;
  size_t rejected = 0;
  for (size_t at = 0; (at = replies.find("error org.bluez.Error.Rejected", at)) != std::string::npos; ++at) ++rejected;
  EXPECT_EQ(rejected, total) << replies;
  // Each refusal is logged with the request and the path it named.
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard lock(mutex);
      if (logged.size() >= total) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard lock(mutex);
  auto has = [&](const Row& row) {
    for (const std::string& line : logged) {
      if (line.find(std::string("request ") + row.method + " for ") != std::string::npos &&
          line.find(row.device) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  for (const Row& row : strays) EXPECT_TRUE(has(row)) << row.method << " " << row.device;
  for (const Row& row : late) EXPECT_TRUE(has(row)) << row.method << " after Pair";
}

// The agent reads nothing more of another program's call than the path it names: a descriptor in it is
// never duplicated here, and none stays open.
TEST_F(BluezUntrusted, AnotherProgramsAgentCallsLeaveNoDescriptorOpen) {
  Script("add_device(HEART_RATE_ADDRESS, name='lock')");
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto paired = Await(device->DeviceInformation()->Pairing()->Custom()->PairAsync(bt::DevicePairingKinds::ConfirmOnly));
  ASSERT_NE(paired, nullptr);
  ASSERT_EQ(paired->Status(), bt::DevicePairingResultStatus::Paired);
  const size_t fds = Fds();
  EXPECT_EQ(Script("peer_agent_calls(64)"), "64");
  // A call's message, with what it carried, is let go just after its answer went out.
  for (int i = 0; i < 200 && Fds() != fds; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Fds(), fds);
}

// An answer that names a descriptor it does not carry cannot be read: nothing is closed for the missing one
// (never descriptor 0), and the one it carried, read before, is closed and not kept.
TEST_F(BluezUntrusted, AnAnswerLackingADescriptorItNamesClosesOnlyWhatItCarried) {
  // Descriptor 0 becomes a pipe of the test's own, so that a close of it shows.
  int own[2];
  ASSERT_EQ(pipe(own), 0);
  const int saved = dup(0);
  ASSERT_EQ(dup2(own[0], 0), 0);
  struct stat before {};
  ASSERT_EQ(fstat(0, &before), 0);
  const std::string carried = "pipe:[" + Script("raw_bluetoothd()") + "]";
  // The answer to the first GetManagedObjects of the new owner of org.bluez lacks a descriptor; the answer
  // to this one comes no earlier, so once it is here, the malformed one has been read.
  (void)Await(platform_->GetDefaultAdapterAsync());
  const std::string answered = Script("RAW['answered']");
  struct stat after {};
  const bool kept = fstat(0, &after) == 0 && after.st_dev == before.st_dev && after.st_ino == before.st_ino;
  size_t duplicates = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      char target[64] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 && carried == target) ++duplicates;
    }
    closedir(dir);
  }
  if (saved >= 0) {
    dup2(saved, 0);
    close(saved);
  }
  close(own[0]);
  close(own[1]);
  Script("raw_bluetoothd_end(); bluetoothd_start()");
  EXPECT_EQ(answered, "True");
  EXPECT_TRUE(kept);
  EXPECT_EQ(duplicates, 0u);
}

// A reply of the wrong type fails its operation with 610 naming the signatures; a property of the wrong
// type is ignored and logged, and changes nothing.
TEST_F(BluezUntrusted, WrongTypesFailTheOperationOrAreIgnored) {
  struct Row {
    const char* name;
    const char* script;  // Python, with D the sensor and P its path
    const char* key;     // a property, or null for a read
    const char* problem;
  };
  const Row rows[] = {
      {"ReadValue answered with s", "D.database[0]['chars'][1]['reply'] = dbus.String('Battery')", nullptr,
       "signature \"s\" where \"ay\""},
      {"ReadValue answered with a{sv}",
       "D.database[0]['chars'][1]['reply'] = dbus.Dictionary({'v': dbus.Byte(0)}, signature='sv')", nullptr,
       "signature \"a{sv}\" where \"ay\""},
      {"descriptor ReadValue answered with s", "D.database[1]['chars'][0]['descs'][1]['reply'] = dbus.String('x')",
       nullptr, "signature \"s\" where \"ay\""},
      {"Value as s", "changed(D.attribute_path(6), CHAR_IFACE, {'Value': dbus.String('x')})", "Value",
       "\"s\" where \"ay\""},
      {"Connected as s", "changed(P, DEVICE_IFACE, {'Connected': dbus.String('no')})", "Connected",
       "\"s\" where \"b\""},
      {"ServicesResolved as i", "changed(P, DEVICE_IFACE, {'ServicesResolved': dbus.Int32(0)})", "ServicesResolved",
       "\"i\" where \"b\""},
      {"Paired as s", "changed(P, DEVICE_IFACE, {'Paired': dbus.String('yes')})", "Paired", "\"s\" where \"b\""},
      {"RSSI as int32 100000", "changed(P, DEVICE_IFACE, {'RSSI': dbus.Int32(100000)})", "RSSI",
       "\"i\" where \"n\""},
      {"UUIDs as ao", "changed(P, DEVICE_IFACE, {'UUIDs': dbus.Array([dbus.ObjectPath('/')], signature='o')})",
       "UUIDs", "\"ao\" where \"as\""},
      {"ManufacturerData as a{sv}",
       "changed(P, DEVICE_IFACE, {'ManufacturerData': dbus.Dictionary({'1': byte_array(b'1')}, signature='sv')})",
       "ManufacturerData", "\"a{sv}\" where \"a{qv}\""},
      {"ManufacturerData with a text value",
       "changed(P, DEVICE_IFACE, {'ManufacturerData': dbus.Dictionary({dbus.UInt16(1): 'x'}, signature='qv')})",
       "ManufacturerData", "value of signature \"s\""},
      {"ServiceData keyed by a non-UUID",
       "changed(P, DEVICE_IFACE, {'ServiceData': dbus.Dictionary({'not-a-uuid': byte_array(b'1')}, signature='sv')})",
       "ServiceData", "\"not-a-uuid\", not a UUID"},
  };
  Fresh("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Script(std::string("D = devices[HEART_RATE_ADDRESS]; P = D.path; ") + row.script);
    if (row.key == nullptr) {
      const bool descriptor = std::string(row.name).rfind("descriptor", 0) == 0;
      const int rc = descriptor ? Read("001000000000", "001000120000", "001000120014", nullptr)
                                : Read(kHeartRate, "000100060000", "", nullptr);
      EXPECT_EQ(rc, kPlatformError);
      EXPECT_NE(LastError().find("Platform error"), std::string::npos) << LastError();
      EXPECT_NE(LastError().find(row.problem), std::string::npos) << LastError();
      Script("D.database[0]['chars'][1]['reply'] = None; D.database[1]['chars'][0]['descs'][1]['reply'] = None");
    } else {
      EXPECT_NE(LogLine({std::string("Ignored the property ") + row.key + " of ", kSensorPath, row.problem}), "");
    }
  }
  // Nothing that was ignored had an effect: still connected, and no RSSI cut to 16 bits.
  Script("advertise(HEART_RATE_ADDRESS, rssi=-40)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_DISCONNECTED).empty());
  bool strong = false;
  for (const Event& event : sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT)) {
    EXPECT_NE(event.Int(2), -31072);
    strong = strong || event.Int(2) == -40;
  }
  EXPECT_TRUE(strong);
  std::string value;
  EXPECT_EQ(Read(kHeartRate, "000100060000", "", &value), 0) << LastError();
  EXPECT_EQ(value, "\x01");
}

// A notification socket that fails gives way to StartNotify when bluetoothd offers it; otherwise Error 610
// and Unsubscribed tell the application.
TEST_F(BluezUntrusted, AFailedNotificationSocketFallsBackOrIsReported) {
  struct Row {
    const char* name;
    const char* before;  // Python run before Subscribe, with C the measurement characteristic
    const char* after;   // Python run after it
  };
  const Row rows[] = {
      {"closed descriptor", "C['acquire_fault'] = 'closed'", "1"},
      {"pipe", "C['acquire_fault'] = 'pipe'", "1"},
      {"end of stream", "1", "close_socket(devices[HEART_RATE_ADDRESS].attribute_path(3))"},
      {"65,536-byte datagram", "1", "send_raw(HEART_RATE_ADDRESS, 3, bytes(65536))"},
  };
  for (const bool offered : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (offered ? ", StartNotify offered" : ", StartNotify refused"));
      Fresh("heart_rate_sensor()");
      const std::string refuse =
          offered ? ""
                  : "; C['errors']['StartNotify'] = ('org.bluez.Error.NotSupported', 'Operation is not supported')";
      Script(std::string("C = devices[HEART_RATE_ADDRESS].database[0]['chars'][0]; ") + row.before + refuse);
      ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
      ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text(kHeartRate), Text(kMeasurement)}), 0) << LastError();
      Script(row.after);
      ASSERT_TRUE(WaitForCall("StartNotify"));
      if (offered) {
        // Values come as property changes now; the first may still meet the socket's close.
        for (int i = 0; i < 100 && sink_.Of(VELMORABLE_EVENT_VALUE).empty(); ++i) {
          Script("notify(HEART_RATE_ADDRESS, 3, [b'\\x06\\x50'])");
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_FALSE(sink_.Of(VELMORABLE_EVENT_VALUE).empty());
        EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_VALUE)[0].Text(5), "\x06\x50");
        EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_ERROR).empty());
        EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_UNSUBSCRIBED).empty());
        EXPECT_NE(LogLine({"StartNotify took its place"}), "");
      } else {
        ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_UNSUBSCRIBED));
        const auto errors = sink_.Of(VELMORABLE_EVENT_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].Int(0), kPlatformError);
        EXPECT_NE(errors[0].Text(1).find(kMeasurement), std::string::npos) << errors[0].Text(1);
        EXPECT_EQ(sink_.Of(VELMORABLE_EVENT_UNSUBSCRIBED)[0].Text(1), kMeasurement);
      }
    }
  }
}

// Another program on the bus sends the signals bluetoothd sends: a notification's value, a new device, a
// link that dropped and an adapter powered off. None of them counts; what bluetoothd sends does.
TEST_F(BluezUntrusted, SignalsOfAnotherProgramAreIgnored) {
  Fresh("heart_rate_sensor(); devices[HEART_RATE_ADDRESS].database[1]['chars'][0]['acquire'] = False");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Call(VELMORABLE_METHOD_SUBSCRIBE, {Text("001000000000"), Text("001000120000")}), 0) << LastError();
  ASSERT_EQ(Do(VELMORABLE_METHOD_START_SCANNING, ""), 0);
  Script(
      "def fake(path, iface, props):\n"
      "    peer_signal(path, dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',\n"
      "                [iface, dbus.Dictionary(props, signature='sv'), dbus.Array([], signature='s')])\n"
      "P = devices[HEART_RATE_ADDRESS].path\n"
      "fake(P + '/service0010/char0012', CHAR_IFACE, {'Value': byte_array(b'\\x11')})\n"
      "peer_signal('/', OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [dbus.ObjectPath(ADAPTER_PATH + "
      "'/dev_C0_FF_EE_00_00_09'), {DEVICE_IFACE: {'Address': dbus.String('C0:FF:EE:00:00:09'), 'Adapter': "
      "dbus.ObjectPath(ADAPTER_PATH), 'RSSI': dbus.Int16(-40), 'Name': dbus.String('peer')}}])\n"
      "fake(P, DEVICE_IFACE, {'Connected': dbus.Boolean(False)})\n"
      "fake(ADAPTER_PATH, ADAPTER_IFACE, {'Powered': dbus.Boolean(False)})\n");
  // bluetoothd's own signals come after the other program's, and are taken.
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0012, [b'\\x22'])"), "1");
  Script("advertise(HEART_RATE_ADDRESS, rssi=-33)");
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_VALUE));
  ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  const std::vector<Event> values = sink_.Of(VELMORABLE_EVENT_VALUE);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].Text(5), "\x22");
  const std::vector<Event> adverts = sink_.Of(VELMORABLE_EVENT_ADVERTISEMENT);
  ASSERT_EQ(adverts.size(), 1u);
  EXPECT_EQ(adverts[0].Text(0), kSensor);
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_DISCONNECTED).empty());
  EXPECT_TRUE(sink_.Of(VELMORABLE_EVENT_STOP_SCAN).empty());
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle_, VELMORABLE_PROP_SCANNING, 0), 1);
  std::string value;
  EXPECT_EQ(Read("001000000000", "001000120000", "", &value), 0) << LastError();
}

// A malformed GATT object is skipped with a log line naming its path; the rest of the tree is reported.
TEST_F(BluezUntrusted, DiscoverySkipsMalformedObjects) {
  struct Row {
    const char* name;
    const char* suffix;  // the object's path below the device
    const char* object;  // Python (interface, props), with P the device's path
    const char* problem;
  };
  const Row rows[] = {
      {"dangling Service", "/service0001/char00f0",
       "CHAR_IFACE, {'UUID': dbus.String(uuid(0x2A99)), 'Service': dbus.ObjectPath(P + '/service0099'), "
       "'Handle': dbus.UInt16(0xf0), 'Flags': dbus.Array(['read'], signature='s')}",
       "names no service"},
      {"odd depth", "/service0001/char0003/desc0004/char00f1",
       "CHAR_IFACE, {'UUID': dbus.String(uuid(0x2A99)), 'Service': dbus.ObjectPath(P + '/service0001'), "
       "'Handle': dbus.UInt16(0xf1), 'Flags': dbus.Array(['read'], signature='s')}",
       "does not lie directly under its service"},
      {"missing UUID", "/service00f0",
       "SERVICE_IFACE, {'Device': dbus.ObjectPath(P), 'Primary': dbus.Boolean(True), 'Handle': dbus.UInt16(0xf0)}",
       "has no UUID"},
      {"dangling Characteristic", "/service0001/char0003/desc00f2",
       "DESC_IFACE, {'UUID': dbus.String(uuid(0x2901)), 'Characteristic': dbus.ObjectPath(P + "
       "'/service0001/char0099'), 'Handle': dbus.UInt16(0xf2)}",
       "names no characteristic"},
  };
  Fresh("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  std::string clean_tree;
  ASSERT_EQ(Config("GattObjTreeInfo", &clean_tree), 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Fresh(std::string("heart_rate_sensor(); P = devices[HEART_RATE_ADDRESS].path; "
                      "devices[HEART_RATE_ADDRESS].extra = [('") +
          row.suffix + "', " + row.object + ")]");
    ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
    EXPECT_NE(LogLine({std::string("Skipped the GATT object ") + kSensorPath + row.suffix + ":", row.problem}), "");
    std::string tree;
    ASSERT_EQ(Config("GattObjTreeInfo", &tree), 0);
    EXPECT_EQ(tree, clean_tree);
    std::string value;
    EXPECT_EQ(Read(kHeartRate, "000100060000", "", &value), 0) << LastError();
    EXPECT_EQ(value, "\x01");
  }
}

}  // namespace
}  // namespace velmora::ble::testing
