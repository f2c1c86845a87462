// Shared set-up of the BlueZ backend tests: the scripted bluetoothd (reset before each case), a BlueZ
// platform on its bus installed as the process's platform, and a client on the exported interface.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/socket_base.h"
#include "platform/bluetooth/bluez/bluez_platform.h"
#include "tests/ble/scan_test_util.h"
#include "tests/platform/bluetooth/scripted_bluez.h"
#include "velmorable.h"

namespace velmora::ble::testing {

// The process's threads and open file descriptors, as /proc lists them (with "." and "..").
inline size_t ProcEntries(const char* dir) {
  size_t count = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++count;
    closedir(d);
  }
  return count;
}
inline size_t Threads() { return ProcEntries("/proc/self/task"); }
inline size_t Fds() { return ProcEntries("/proc/self/fd"); }

using testing_support::ScriptedBluez;

// ClientHandle owns a second client of a test, destroyed however the test ends.
struct ClientDestroyer {
  void operator()(VelmoraBLE_BLEClient* client) const { VelmoraBLE_BLEClient_Destroy(client); }
};
using ClientHandle = std::unique_ptr<VelmoraBLE_BLEClient, ClientDestroyer>;

constexpr const char kSensor[] = "C0FFEE000001";
constexpr const char kSensorPath[] = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01";

// Await waits for an operation's result; null when it failed or took more than 20 s.
template <class T>
std::shared_ptr<T> Await(const bt::AsyncOp<T>& operation) {
  auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto finished = std::make_shared<bool>(false);
  operation->SetCompleted([state, finished](bt::AsyncOperation<T>&, bt::AsyncStatus) {
    std::lock_guard lock(state->first);
    *finished = true;
    state->second.notify_all();
  });
  std::unique_lock lock(state->first);
  if (!state->second.wait_for(lock, std::chrono::seconds(20), [&] { return *finished; })) return nullptr;
  try {
    return operation->GetResults();
  } catch (const bt::PlatformError&) {
    return nullptr;
  }
}

class BluezFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    mock_ = ScriptedBluez::Get(&error);
    ASSERT_NE(mock_, nullptr) << error;
    ASSERT_EQ(mock_->Run("reset()"), "None");
    component::SocketBase::StaticInit();
    platform_ = std::make_shared<bt::bluez::BluezPlatform>(mock_->address());
    ASSERT_TRUE(platform_->Connected());
    bt::InstallProvider(platform_);
    handle_ = VelmoraBLE_BLEClient_Create(&Sink::Call, &sink_, 0);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) VelmoraBLE_BLEClient_Destroy(handle_);
    bt::InstallProvider(nullptr);
    platform_.reset();
    component::SocketBase::StaticDestroy();
  }

  // Script runs mock code and expects it to succeed.
  std::string Script(const std::string& code) {
    const std::string out = mock_->Run(code);
    EXPECT_EQ(out.rfind("error:", 0), std::string::npos) << code << " -> " << out;
    return out;
  }

  int Do(int32_t method, const char* text = nullptr) { return testing::Do(handle_, method, text); }
  int Config(const char* text, std::string* reply = nullptr) { return testing::Config(handle_, text, reply); }
  std::string LastError() { return testing::LastError(handle_); }
  int Call(int32_t method, std::vector<intptr_t> params, std::vector<int32_t> sizes = {}) {
    sizes.resize(params.size(), 0);
    return VelmoraBLE_BLEClient_Do(handle_, method, static_cast<int32_t>(params.size()), params.data(), sizes.data());
  }
  static intptr_t Text(const char* text) { return reinterpret_cast<intptr_t>(text); }

  // Connect connects to the sensor through the exported interface and discovers everything.
  int ConnectAndDiscover(const char* server = kSensor) {
    int rc = Call(VELMORABLE_METHOD_CONNECT, {Text(server)});
    if (rc != 0) return rc;
    for (const char* setting :
         {"AutoDiscoverIncludedServices=1", "AutoDiscoverCharacteristics=1", "AutoDiscoverDescriptors=1"}) {
      rc = Config(setting);
      if (rc != 0) return rc;
    }
    return Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")});
  }

  // Read reads a characteristic (or descriptor) value through the exported interface.
  int Read(const char* service, const char* characteristic, const char* descriptor, std::string* value) {
    std::vector<intptr_t> params = {Text(service), Text(characteristic), Text(descriptor), 0};
    std::vector<int32_t> sizes(4, 0);
    const int rc = VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_READ_VALUE, 4, params.data(), sizes.data());
    if (rc == 0 && value != nullptr) value->assign(reinterpret_cast<const char*>(params[3]), sizes[3]);
    return rc;
  }

  // DeviceWhenKnown waits until the backend knows the device (null after 5 s): a script's new device reaches
  // the backend as a signal of its own, after the script has returned.
  std::shared_ptr<bt::BluetoothLEDevice> DeviceWhenKnown(uint64_t address = 0xC0FFEE000001) {
    for (int i = 0; i < 500; ++i) {
      if (auto device = Await(platform_->FromBluetoothAddressAsync(address))) return device;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
  }

  // WaitForCall waits until the mock logged `count` calls of member (false after 10 s).
  bool WaitForCall(const std::string& member, size_t count = 1) {
    for (int i = 0; i < 1000; ++i) {
      if (mock_->CallsOf(member).size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // WaitForScript waits until the mock code's value reads `value` (false after 10 s).
  bool WaitForScript(const std::string& code, const std::string& value) {
    for (int i = 0; i < 1000; ++i) {
      if (mock_->Run(code) == value) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  ScriptedBluez* mock_ = nullptr;
  std::shared_ptr<bt::bluez::BluezPlatform> platform_;
  Sink sink_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
};

}  // namespace velmora::ble::testing
