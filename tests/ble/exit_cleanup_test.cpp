// A client disconnected and destroyed by the program's clean-up at exit.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kX = 0xA0B0C0D00021;

// A program whose clean-up runs at exit (atexit, registered first thing in main, or the destructor of a
// static object that owns the client) disconnects and destroys its client there. Both calls are allowed then
// like at any other time; the process must end cleanly.
VelmoraBLE_BLEClient* g_exit_client = nullptr;

void DisconnectAndDestroyAtExit() {
  (void)Do(g_exit_client, VELMORABLE_METHOD_DISCONNECT);
  VelmoraBLE_BLEClient_Destroy(g_exit_client);
}

void ConnectThenExit() {
  std::atexit(&DisconnectAndDestroyAtExit);  // first, as a program's main does
  component::SocketBase::StaticInit();
  static std::shared_ptr<bt::sim::SimRadio> radio = std::make_shared<bt::sim::SimRadio>(1);
  bt::InstallProvider(radio);
  radio->AddPeripheral(BusyPeripheral(kX));
  g_exit_client = VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0);
  if (g_exit_client == nullptr) std::_Exit(3);
  if (Do(g_exit_client, VELMORABLE_METHOD_CONNECT, Id(kX).c_str()) != 0) std::_Exit(4);
  radio->WaitIdle();
  std::exit(0);
}

TEST(ClientDestroyedAtExit, WhileConnectedEndsTheProcessCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ConnectThenExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velmora::ble::testing
