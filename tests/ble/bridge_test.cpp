// The event bridge against the simulated radio: handlers registered once per platform object, Destroy
// against an event being delivered, and a platform failure coming out of an export as a code and text.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ble/await.h"
#include "ble/ble_client.h"
#include "component/socket_base.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "velmorable.h"

namespace velmora::ble {
namespace {

namespace sim = platform::bluetooth::sim;

constexpr uint64_t kAddress = 0xA1B2C3D4E5F6;

sim::SimPeripheral Beacon(bool reuse_device_object) {
  sim::SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.name = u"Beacon";
  peripheral.reuse_device_object = reuse_device_object;
  sim::SimAdvert advert;
  advert.sections.push_back({0x01, {0x06}});
  advert.sections.push_back({0x09, {'B', 'e', 'a', 'c', 'o', 'n'}});
  peripheral.adverts.push_back(advert);
  return peripheral;
}

// A client through the exports on a simulated radio installed as the process's platform.
class BridgeTest : public testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    radio_ = std::make_shared<sim::SimRadio>();
    bt::InstallProvider(radio_);
  }
  void TearDown() override {
    if (handle_ != nullptr) VelmoraBLE_BLEClient_Destroy(handle_);
    radio_->ReleaseAll();
    radio_->WaitIdle();
    bt::InstallProvider(nullptr);
    radio_.reset();
    component::SocketBase::StaticDestroy();
  }

  void Create(VelmoraBLE_Sink sink = nullptr, void* context = nullptr) {
    handle_ = VelmoraBLE_BLEClient_Create(sink, context, 0);
    ASSERT_NE(handle_, nullptr);
  }
  BLEClientEngine& Engine() { return reinterpret_cast<BLEClient*>(handle_)->Engine(); }
  std::shared_ptr<bt::BluetoothLEDevice> Lookup() {
    return AwaitLEDevice(Engine(), radio_->FromBluetoothAddressAsync(kAddress));
  }
  int StartScanning() {
    intptr_t params[1] = {reinterpret_cast<intptr_t>("")};
    int32_t cbparams[1] = {0};
    return VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_START_SCANNING, 1, params, cbparams);
  }

  std::shared_ptr<sim::SimRadio> radio_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
};

// ---- Registration ---------------------------------------------------------------------------------------------

TEST_F(BridgeTest, AHandlerIsRegisteredOncePerPlatformObject) {
  radio_->AddPeripheral(Beacon(true));
  Create();
  BLEEvent& bridge = *Engine().Bridge();
  const auto device = Lookup();
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(bridge.RegisterNameChanged(device));
  EXPECT_TRUE(bridge.RegisterGattServicesChanged(device));
  EXPECT_TRUE(bridge.RegisterConnectionStatusChanged(device));
  // A second connect gets the same device object from the platform: nothing is added.
  const auto again = Lookup();
  ASSERT_EQ(again, device);
  EXPECT_FALSE(bridge.RegisterNameChanged(again));
  EXPECT_FALSE(bridge.RegisterGattServicesChanged(again));
  EXPECT_FALSE(bridge.RegisterConnectionStatusChanged(again));
  EXPECT_EQ(radio_->HandlerCount(kAddress, sim::SimEvent::kNameChanged), 1u);
  EXPECT_EQ(radio_->HandlerCount(kAddress, sim::SimEvent::kGattServicesChanged), 1u);
  EXPECT_EQ(radio_->HandlerCount(kAddress, sim::SimEvent::kConnectionStatusChanged), 1u);
  EXPECT_EQ(radio_->CallCount("BluetoothLEDevice.AddNameChanged"), 1u);
  EXPECT_FALSE(bridge.RegisterNameChanged(nullptr));
}

TEST_F(BridgeTest, ANewPlatformObjectGetsItsOwnHandler) {
  radio_->AddPeripheral(Beacon(false));
  Create();
  BLEEvent& bridge = *Engine().Bridge();
  const auto first = Lookup();
  const auto second = Lookup();
  ASSERT_NE(first, second);
  EXPECT_TRUE(bridge.RegisterNameChanged(first));
  EXPECT_TRUE(bridge.RegisterNameChanged(second));
  EXPECT_EQ(radio_->HandlerCount(kAddress, sim::SimEvent::kNameChanged), 2u);
}

TEST_F(BridgeTest, AFailedRegistrationIsTriedAgain) {
  radio_->AddPeripheral(Beacon(true));
  Create();
  BLEEvent& bridge = *Engine().Bridge();
  const auto device = Lookup();
  radio_->FailCall("BluetoothLEDevice.AddNameChanged", bt::kEFail);
  EXPECT_THROW((void)bridge.RegisterNameChanged(device), bt::PlatformError);
  EXPECT_TRUE(bridge.RegisterNameChanged(device));
  EXPECT_EQ(radio_->HandlerCount(kAddress, sim::SimEvent::kNameChanged), 1u);
}

// ---- Platform failures at the export ---------------------------------------------------------------------------

TEST_F(BridgeTest, APlatformErrorLeavesTheExportAsCode610WithItsNumber) {
  Create();
  radio_->AddFault({.op = sim::SimOp::kGetAdapter, .results_hresult = bt::kEAccessDenied});
  EXPECT_EQ(StartScanning(), kPlatformErrorCode);
  EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(handle_), kPlatformErrorCode);
  EXPECT_STREQ(VelmoraBLE_BLEClient_GetLastError(handle_), "Platform error 0x80070005.");
}

// ---- Destroy against an event being delivered -------------------------------------------------------------------

// BlockingSink holds the first Advertisement event until released and counts events that arrive after
// Destroy returned. Released, it calls the client back (handle, when set) as a sink does and keeps what
// those calls gave.
struct BlockingSink {
  VelmoraBLE_BLEClient* handle = nullptr;
  const char* narrow_text = nullptr;
  const char16_t* wide_text = nullptr;
  intptr_t number = -1;
  int32_t config = -1;
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool release = false;
  std::atomic<bool> left{false};
  std::atomic<bool> destroyed{false};
  std::atomic<int> advertisements{0};
  std::atomic<int> late{0};

  static int32_t Call(void* context, int32_t event_id, int32_t, intptr_t*, int32_t*) {
    auto* sink = static_cast<BlockingSink*>(context);
    if (sink->destroyed.load()) sink->late.fetch_add(1);
    if (event_id != VELMORABLE_EVENT_ADVERTISEMENT) return 0;
    if (sink->advertisements.fetch_add(1) == 0) {
      std::unique_lock lock(sink->mutex);
      sink->entered = true;
      sink->changed.notify_all();
      sink->changed.wait(lock, [sink] { return sink->release; });
      if (sink->handle != nullptr) {
        sink->narrow_text =
            reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(sink->handle, VELMORABLE_PROP_SERVER_ID, 0));
        sink->wide_text = reinterpret_cast<const char16_t*>(
            VelmoraBLE_BLEClient_Get(sink->handle, VELMORABLE_UTF16_VARIANT + VELMORABLE_PROP_SERVICE_ID, 0));
        sink->number = VelmoraBLE_BLEClient_Get(sink->handle, VELMORABLE_PROP_TIMEOUT, 0);
        intptr_t params[2] = {reinterpret_cast<intptr_t>("LogLevel"), 0};
        int32_t cbparams[2] = {0, 0};
        sink->config = VelmoraBLE_BLEClient_Do(sink->handle, VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
      }
      sink->left.store(true);
    }
    return 0;
  }
};

TEST_F(BridgeTest, DestroyWaitsForTheHandlerInsideAndNothingReachesTheSinkAfterwards) {
  radio_->AddPeripheral(Beacon(true));
  BlockingSink sink;
  Create(&BlockingSink::Call, &sink);
  sink.handle = handle_;
  ASSERT_EQ(StartScanning(), 0) << VelmoraBLE_BLEClient_GetLastError(handle_);
  const std::shared_ptr<BLEEvent> bridge = Engine().Bridge();
  ASSERT_TRUE(radio_->EmitAdvertisement(kAddress));
  {
    std::unique_lock lock(sink.mutex);
    ASSERT_TRUE(sink.changed.wait_for(lock, std::chrono::seconds(10), [&] { return sink.entered; }));
  }

  std::atomic<bool> returned{false};
  bool sink_had_left = false;
  std::thread destroyer([&] {
    VelmoraBLE_BLEClient_Destroy(handle_);
    sink_had_left = sink.left.load();
    returned.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());  // the handler is still inside the engine
  while (!bridge->Detached()) std::this_thread::yield();
  {
    std::lock_guard lock(sink.mutex);
    sink.release = true;
  }
  sink.changed.notify_all();
  destroyer.join();
  handle_ = nullptr;
  sink.destroyed.store(true);
  EXPECT_TRUE(sink_had_left);
  EXPECT_EQ(bridge->Inside(), 0u);
  // The sink's calls after Destroy began were refused, and a text property still gave a text.
  EXPECT_STREQ(sink.narrow_text, "");
  ASSERT_NE(sink.wide_text, nullptr);
  EXPECT_EQ(sink.wide_text[0], u'\0');
  EXPECT_EQ(sink.number, 0);
  EXPECT_EQ(sink.config, 200);

  // The watcher outlives the client; what it delivers now finds the bridge detached.
  ASSERT_TRUE(radio_->EmitAdvertisement(kAddress));
  radio_->WaitIdle();
  EXPECT_EQ(sink.late.load(), 0);
  EXPECT_EQ(sink.advertisements.load(), 1);
}

// Many event threads deliver advertisements continuously while clients come and go.
TEST(BridgeUnderLoad, DestroyDuringContinuousAdvertisingLeavesNoLateEvents) {
  component::SocketBase::StaticInit();
  auto radio = std::make_shared<sim::SimRadio>(4);
  bt::InstallProvider(radio);
  sim::SimPeripheral peripheral = Beacon(true);
  peripheral.advertising_interval_ms = 1;
  radio->AddPeripheral(peripheral);
  struct CountingSink {
    std::atomic<bool> destroyed{false};
    std::atomic<int> calls{0};
    std::atomic<int> late{0};
    static int32_t Call(void* context, int32_t, int32_t, intptr_t*, int32_t*) {
      auto* sink = static_cast<CountingSink*>(context);
      if (sink->destroyed.load()) sink->late.fetch_add(1);
      sink->calls.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (sink->destroyed.load()) sink->late.fetch_add(1);
      return 0;
    }
  };
  for (int round = 0; round < 10; ++round) {
    CountingSink sink;
    VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(&CountingSink::Call, &sink, 0);
    ASSERT_NE(handle, nullptr);
    intptr_t params[1] = {reinterpret_cast<intptr_t>("")};
    int32_t cbparams[1] = {0};
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_START_SCANNING, 1, params, cbparams), 0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sink.calls.load() < 5 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    VelmoraBLE_BLEClient_Destroy(handle);
    sink.destroyed.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sink.late.load(), 0) << "round " << round;
    EXPECT_GE(sink.calls.load(), 5) << "round " << round;
  }
  bt::InstallProvider(nullptr);
  radio.reset();
  component::SocketBase::StaticDestroy();
}

}  // namespace
}  // namespace velmora::ble
