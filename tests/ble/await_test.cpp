// Waiting for platform operations against the simulated radio: results, time-outs, failures, wake-ups, and
// the platform conventions (GATT object pairs, platform texts).
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "ble/await.h"
#include "ble/ble_client_engine.h"
#include "tests/ble/gatt_tree_test_util.h"
#include "component/socket_base.h"
#include "platform/clock.h"
#include "platform/bluetooth/sim/sim_radio.h"

namespace velmora::ble {
namespace {

namespace sim = platform::bluetooth::sim;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kAddress = 0xC0FFEE000001;
constexpr uint16_t kServiceHandle = 1;
constexpr uint16_t kCharacteristicHandle = 3;
constexpr uint16_t kCccdHandle = 4;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// TestEngine is an engine without a client that counts its wait steps and can run a hook in each.
class TestEngine : public testing::ClientlessEngine {
 public:
  void SetSelectWaitMillis(int32_t ms) { select_wait_millis_ = ms; }

  int WaitStep(int32_t wait_ms, platform::WindowHandle window) override {
    steps.fetch_add(1);
    if (step_hook) step_hook(*this);
    return BLEClientEngine::WaitStep(wait_ms, window);
  }

  std::atomic<int> steps{0};
  std::function<void(TestEngine&)> step_hook;
};

// A peripheral with one service holding one readable, writable, notifying characteristic with its CCCD.
sim::SimPeripheral BatteryPeripheral() {
  sim::SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.name = u"Battery";
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  sim::SimService service;
  service.handle = kServiceHandle;
  service.uuid = bt::BluetoothBaseUuid(0x180F);
  sim::SimCharacteristic characteristic;
  characteristic.handle = kCharacteristicHandle;
  characteristic.uuid = bt::BluetoothBaseUuid(0x2A19);
  characteristic.properties = bt::GattCharacteristicProperties::Read | bt::GattCharacteristicProperties::Write |
                              bt::GattCharacteristicProperties::Notify;
  characteristic.value = {0x55};
  characteristic.descriptors.push_back({kCccdHandle, bt::BluetoothBaseUuid(0x2902), {0, 0}});
  service.characteristics.push_back(characteristic);
  peripheral.gatt.services.push_back(service);
  return peripheral;
}

class AwaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    engine_ = std::make_unique<TestEngine>();
    radio_.AddPeripheral(BatteryPeripheral());
  }
  void TearDown() override {
    radio_.ReleaseAll();
    radio_.WaitIdle();
    engine_.reset();
    component::SocketBase::StaticDestroy();
  }

  std::shared_ptr<bt::BluetoothLEDevice> Device() {
    auto device = AwaitLEDevice(*engine_, radio_.FromBluetoothAddressAsync(kAddress));
    EXPECT_NE(device, nullptr);
    return device;
  }
  std::shared_ptr<bt::GattCharacteristic> Characteristic() {
    auto services =
        AwaitServicesResult(*engine_, Device()->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    EXPECT_EQ(services->Services().size(), 1u);
    auto characteristics = AwaitCharacteristicsResult(
        *engine_, services->Services()[0]->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
    EXPECT_EQ(characteristics->Characteristics().size(), 1u);
    return characteristics->Characteristics()[0];
  }
  std::string Text() { return engine_->LastErrorText().Data(); }

  sim::SimRadio radio_;
  std::unique_ptr<TestEngine> engine_;
};

// ---- Results ------------------------------------------------------------------------------------------------

TEST_F(AwaitTest, EachAwaitReturnsItsOperationsResult) {
  auto adapter = AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync());
  ASSERT_NE(adapter, nullptr);
  EXPECT_TRUE(adapter->IsLowEnergySupported());

  auto device = Device();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->BluetoothAddress(), kAddress);

  auto services =
      AwaitServicesResult(*engine_, device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(services, nullptr);
  ASSERT_EQ(services->Services().size(), 1u);
  EXPECT_EQ(services->Services()[0]->Uuid(), bt::BluetoothBaseUuid(0x180F));

  auto characteristics = AwaitCharacteristicsResult(
      *engine_, services->Services()[0]->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(characteristics, nullptr);
  ASSERT_EQ(characteristics->Characteristics().size(), 1u);
  const auto characteristic = characteristics->Characteristics()[0];

  auto descriptors = AwaitDescriptorsResult(
      *engine_, characteristic->GetDescriptorsWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(descriptors, nullptr);
  ASSERT_EQ(descriptors->Descriptors().size(), 1u);
  EXPECT_EQ(descriptors->Descriptors()[0]->AttributeHandle(), kCccdHandle);

  auto read = AwaitReadResult(*engine_, characteristic->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->Value(), bt::Bytes{0x55});

  auto write = AwaitWriteResult(
      *engine_, characteristic->WriteValueWithResultAndOptionAsync({0x21}, bt::GattWriteOption::WriteWithResponse));
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(write->Status(), bt::GattCommunicationStatus::Success);
  EXPECT_EQ(radio_.DeviceValue(kAddress, kCharacteristicHandle), bt::Bytes{0x21});

  auto cccd = AwaitCccdReadResult(*engine_, characteristic->ReadClientCharacteristicConfigurationDescriptorAsync());
  ASSERT_NE(cccd, nullptr);
  EXPECT_EQ(cccd->ClientCharacteristicConfigurationDescriptor(),
            bt::GattClientCharacteristicConfigurationDescriptorValue::None);

  auto pairing = device->DeviceInformation()->Pairing();
  auto paired = AwaitPairingResult(*engine_, pairing->Custom()->PairAsync(bt::DevicePairingKinds::ConfirmOnly));
  ASSERT_NE(paired, nullptr);
  EXPECT_EQ(paired->Status(), bt::DevicePairingResultStatus::Paired);
  auto unpaired = AwaitUnpairingResult(*engine_, pairing->UnpairAsync());
  ASSERT_NE(unpaired, nullptr);
  EXPECT_EQ(unpaired->Status(), bt::DeviceUnpairingResultStatus::Unpaired);
  EXPECT_EQ(engine_->LastErrorCode(), 0);
}

TEST_F(AwaitTest, NullResultGivesNullWithCodeZero) {
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .null_result = true});
  engine_->SetLastErrorCode(77);  // an earlier failure does not survive the await
  EXPECT_EQ(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_EQ(engine_->LastErrorCode(), 0);
}

TEST_F(AwaitTest, InlineCompletionReturnsWithoutAWaitStep) {
  radio_.AddFault({.op = sim::SimOp::kFromAddress, .complete_inline = true});
  EXPECT_NE(Device(), nullptr);
  EXPECT_EQ(engine_->steps.load(), 0);
  EXPECT_EQ(engine_->LastErrorCode(), 0);
}

// ---- Stopped waits --------------------------------------------------------------------------------------------

TEST_F(AwaitTest, HeldOperationTimesOutAndItsLateCompletionChangesNothing) {
  engine_->SetTimeoutMs(300);
  const int rule = radio_.AddFault({.op = sim::SimOp::kReadCharacteristic, .hold = true});
  const auto characteristic = Characteristic();
  const auto start = Clock::now();
  EXPECT_EQ(AwaitReadResult(*engine_, characteristic->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached)),
            nullptr);
  const int64_t waited = MillisSince(start);
  EXPECT_EQ(engine_->LastErrorCode(), kAwaitStopped);
  EXPECT_EQ(Text(), "Timeout.");
  EXPECT_GE(waited, 300);
  EXPECT_LT(waited, 3000);

  // The completion arrives after the waiter left: it finds the shared state and stores nothing.
  radio_.Release(rule);
  radio_.WaitIdle();
  EXPECT_EQ(engine_->LastErrorCode(), kAwaitStopped);
  EXPECT_EQ(Text(), "Timeout.");
}

TEST_F(AwaitTest, InterruptStopsTheWait) {
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .hold = true});
  engine_->step_hook = [](TestEngine& engine) { engine.RequestInterrupt(); };
  EXPECT_EQ(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_EQ(engine_->LastErrorCode(), kAwaitStopped);
  EXPECT_EQ(Text(), "Interrupted.");
}

// A 32-bit tick count wraps after 49.7 days; a deadline that straddles the wrap must not pass at once.
TEST_F(AwaitTest, ADeadlineAcrossThe32BitTickWrapIsNotReachedEarly) {
  const uint64_t now = platform::DeadlineClockMs();
  platform::test::SetDeadlineClockOffsetMs(0x100000000ull - (now & 0xFFFFFFFFull) - 50);  // wraps in 50 ms
  engine_->SetTimeoutMs(300);
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .delay_ms = 100});
  EXPECT_NE(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_EQ(engine_->LastErrorCode(), 0);
  platform::test::SetDeadlineClockOffsetMs(0);
}

TEST_F(AwaitTest, TimeoutZeroWaitsUntilCompletion) {
  engine_->SetTimeoutMs(0);
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .delay_ms = 400});
  const auto start = Clock::now();
  EXPECT_NE(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_GE(MillisSince(start), 400);
  EXPECT_EQ(engine_->LastErrorCode(), 0);
  EXPECT_EQ(engine_->OperationDeadline(), 0u);
}

// ---- Failures -----------------------------------------------------------------------------------------------

TEST_F(AwaitTest, FailureFetchingTheResultIsRaisedOnTheWaitingThread) {
  radio_.AddFault({.op = sim::SimOp::kFromAddress, .results_hresult = bt::kEAccessDenied});
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id raised_on;
  int32_t raised = 0;
  try {
    (void)AwaitLEDevice(*engine_, radio_.FromBluetoothAddressAsync(kAddress));
  } catch (const bt::PlatformError& error) {
    raised = error.HResult();
    raised_on = std::this_thread::get_id();
  }
  EXPECT_EQ(raised, bt::kEAccessDenied);
  EXPECT_EQ(raised_on, caller);
}

TEST_F(AwaitTest, FailureOfAnInlineCompletionIsRaisedToo) {
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .complete_inline = true, .results_hresult = bt::kEFail});
  EXPECT_THROW((void)AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), bt::PlatformError);
  EXPECT_THROW((void)AwaitAdapter(*engine_, nullptr), bt::PlatformError);
}

// A sink run by the wait step (or a platform thread) may change the engine's last error code while the
// caller waits; the completion still belongs to the waiter.
TEST_F(AwaitTest, ACodeChangedDuringTheWaitDoesNotDropTheCompletion) {
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .delay_ms = 50});
  engine_->step_hook = [](TestEngine& engine) { engine.SetLastErrorCode(kAwaitStopped); };
  EXPECT_NE(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_GT(engine_->steps.load(), 0);
}

// ---- Wake-up ------------------------------------------------------------------------------------------------

// With a wait step of two seconds, only the completion's wake-up can end the wait this early.
TEST_F(AwaitTest, CompletionWakesTheWaiterBeforeItsNextTick) {
  engine_->SetSelectWaitMillis(2000);
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .times = -1, .delay_ms = 20});
  const auto start = Clock::now();
  for (int i = 0; i < 3; ++i) EXPECT_NE(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_LT(MillisSince(start), 1000);
}

TEST_F(AwaitTest, CompletionWakesAWaiterOnAnotherThread) {
  engine_->SetSelectWaitMillis(2000);
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .times = -1, .delay_ms = 20});
  int64_t waited = -1;
  bool got = false;
  std::thread other([&] {
    const auto start = Clock::now();
    got = AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()) != nullptr;
    waited = MillisSince(start);
  });
  other.join();
  EXPECT_TRUE(got);
  EXPECT_LT(waited, 1000);
}

// A handler on a platform thread that waits gets its own deadline; the operation the application's thread
// runs keeps its deadline and its interrupt request.
TEST_F(AwaitTest, AWaitOnAnotherThreadTimesOutOnItsOwnDeadline) {
  engine_->SetTimeoutMs(200);
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .hold = true});
  const uint64_t running_deadline = engine_->SetAwaitDeadline();
  engine_->RequestInterrupt();
  bool got = true;
  int64_t waited = -1;
  std::thread other([&] {
    const auto start = Clock::now();
    got = AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()) != nullptr;
    waited = MillisSince(start);
  });
  other.join();
  EXPECT_FALSE(got);
  EXPECT_GE(waited, 200);
  EXPECT_EQ(engine_->LastErrorCode(), kAwaitStopped);
  EXPECT_EQ(Text(), "Timeout.");
  EXPECT_EQ(engine_->OperationDeadline(), running_deadline);
  EXPECT_EQ(engine_->steps.load(), 0);
  // The interrupt request is still there for the application's thread.
  radio_.AddFault({.op = sim::SimOp::kGetAdapter, .hold = true});
  EXPECT_EQ(AwaitAdapter(*engine_, radio_.GetDefaultAdapterAsync()), nullptr);
  EXPECT_EQ(Text(), "Interrupted.");
}

// ---- Platform conventions -------------------------------------------------------------------------------------

TEST_F(AwaitTest, GattObjectRefKeepsTheObjectAndItsUuid) {
  const auto characteristic = Characteristic();
  const GattObjectRef pair = GattObjectRef::FromCharacteristic(characteristic);
  EXPECT_FALSE(pair.Empty());
  EXPECT_EQ(pair.Uuid(), bt::BluetoothBaseUuid(0x2A19));
  EXPECT_EQ(pair.Characteristic(), characteristic);
  EXPECT_EQ(pair.Service(), nullptr);
  EXPECT_EQ(pair.Descriptor(), nullptr);
  const GattObjectRef copy = pair;
  EXPECT_EQ(copy.Characteristic(), characteristic);

  const GattObjectRef empty = GattObjectRef::FromService(nullptr);
  EXPECT_TRUE(empty.Empty());
  EXPECT_EQ(empty.Uuid(), bt::Guid{});

  radio_.FailCall("GattCharacteristic.Uuid", bt::kENoInterface);
  EXPECT_THROW((void)GattObjectRef::FromCharacteristic(characteristic), bt::PlatformError);
}

TEST(PlatformText, ConvertsBothWaysAsUtf8) {
  core::Buffer text;
  ASSERT_EQ(PlatformStringToText(u"Caf\u00e9 \u2603 \U0001F600", text), 0);
  EXPECT_STREQ(text.Data(), "Caf\xC3\xA9 \xE2\x98\x83 \xF0\x9F\x98\x80");
  bt::HString back;
  ASSERT_EQ(TextToPlatformString(text.Data(), back), 0);
  EXPECT_EQ(back, u"Caf\u00e9 \u2603 \U0001F600");

  ASSERT_EQ(PlatformStringToText(bt::HString(), text), 0);
  EXPECT_STREQ(text.Data(), "");
  ASSERT_EQ(TextToPlatformString(nullptr, back), 0);
  EXPECT_TRUE(back.empty());
  EXPECT_EQ(MakePlatformString(nullptr), bt::HString());
  EXPECT_EQ(MakePlatformString(u"PIN"), u"PIN");
  EXPECT_THROW(CheckPlatformResult(bt::kEFail), bt::PlatformError);
  EXPECT_NO_THROW(CheckPlatformResult(1));
}

}  // namespace
}  // namespace velmora::ble
