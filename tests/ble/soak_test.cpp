// The client's whole session, many times over through the exported interface against the simulated radio:
// connect, discover, subscribe, a thousand notifications, unsubscribe, disconnect, with the link dropped at a
// random point in some cycles. Every notification sent while subscribed must arrive once and in order, a
// dropped link must turn the following operations into failures, and the heap (and, without AddressSanitizer,
// the resident set) must stay flat once the first cycles have warmed the caches up.
//
// VELMORABLE_SOAK_CYCLES scales the run (default 100); with fewer than 20 cycles memory is not compared.
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_SOAK_ASAN 1
#endif
#endif
#ifdef VELMORA_SOAK_ASAN
// The sanitizer runtime's count of live heap bytes (GCC does not ship its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

namespace bt = platform::bluetooth;
namespace sim = platform::bluetooth::sim;

constexpr uint64_t kAddress = 0xC0FFEE00500A;
constexpr const char kServerId[] = "C0FFEE00500A";
constexpr uint16_t kMeasurementHandle = 0x0003;
constexpr const char kHeartRateId[] = "000100000000";
constexpr const char kMeasurementId[] = "000100030000";
constexpr int kNotificationsPerCycle = 1000;
// Objects Discover reports for the peripheral below: two services, two characteristics, one descriptor.
constexpr int kDiscoveredPerCycle = 5;

// Heart Rate 0x0001 with its measurement 0x0003 (Notify, CCCD 0x0004) and Battery 0x0010 with 0x0012.
sim::SimPeripheral SoakPeripheral() {
  sim::SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.name = u"Soak HR";
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  sim::SimService heart_rate;
  heart_rate.handle = 0x0001;
  heart_rate.uuid = bt::BluetoothBaseUuid(0x180D);
  sim::SimCharacteristic measurement;
  measurement.handle = kMeasurementHandle;
  measurement.uuid = bt::BluetoothBaseUuid(0x2A37);
  measurement.properties = bt::GattCharacteristicProperties::Notify;
  measurement.value = {0x06, 0x48};
  measurement.descriptors.push_back({0x0004, bt::BluetoothBaseUuid(0x2902), {0, 0}});
  heart_rate.characteristics.push_back(measurement);
  peripheral.gatt.services.push_back(heart_rate);
  sim::SimService battery;
  battery.handle = 0x0010;
  battery.uuid = bt::BluetoothBaseUuid(0x180F);
  sim::SimCharacteristic level;
  level.handle = 0x0012;
  level.uuid = bt::BluetoothBaseUuid(0x2A19);
  level.properties = bt::GattCharacteristicProperties::Read;
  level.value = {0x5A};
  battery.characteristics.push_back(level);
  peripheral.gatt.services.push_back(battery);
  return peripheral;
}

// Counters kept by the sink without storing events, so that the sink itself does not grow over the run.
// Value events of the measurement carry a sequence number, which must arrive as next_sequence.
struct SoakSink {
  std::atomic<int> connected{0};
  std::atomic<int> disconnected{0};
  std::atomic<int> discovered{0};
  std::atomic<int> subscribed{0};
  std::atomic<int> unsubscribed{0};
  std::atomic<int> errors{0};
  std::atomic<uint32_t> next_sequence{0};
  std::atomic<int> out_of_order{0};
  std::mutex mutex;
  std::string first_problem;

  void Problem(const std::string& text) {
    std::lock_guard lock(mutex);
    if (first_problem.empty()) first_problem = text;
  }

  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t* cbparams) {
    auto* sink = static_cast<SoakSink*>(context);
    switch (id) {
      case VELMORABLE_EVENT_CONNECTED: ++sink->connected; break;
      case VELMORABLE_EVENT_DISCONNECTED: ++sink->disconnected; break;
      case VELMORABLE_EVENT_DISCOVERED: ++sink->discovered; break;
      case VELMORABLE_EVENT_SUBSCRIBED: ++sink->subscribed; break;
      case VELMORABLE_EVENT_UNSUBSCRIBED: ++sink->unsubscribed; break;
      case VELMORABLE_EVENT_ERROR: ++sink->errors; break;
      case VELMORABLE_EVENT_VALUE: sink->OnValue(params, cbparams); break;
      default: break;
    }
    return 0;
  }

  void OnValue(const intptr_t* params, const int32_t* cbparams) {
    if (std::string_view(reinterpret_cast<const char*>(params[1])) != kMeasurementId) return;
    const auto* bytes = reinterpret_cast<const uint8_t*>(params[5]);
    if (cbparams[5] != 4) {
      ++out_of_order;
      Problem("a measurement of " + std::to_string(cbparams[5]) + " bytes");
      return;
    }
    const uint32_t sequence = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
    const uint32_t expected = next_sequence.load();
    if (sequence != expected) {
      ++out_of_order;
      Problem("measurement " + std::to_string(sequence) + " arrived where " + std::to_string(expected) +
              " was due");
    }
    next_sequence.store(sequence + 1);
  }
};

// HeapInUse is the live heap in bytes: ASan's allocator count under AddressSanitizer (whose quarantine would
// make the resident set grow with every free), else malloc's.
size_t HeapInUse() {
#ifdef VELMORA_SOAK_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

size_t ResidentBytes() {
  unsigned long size = 0;
  unsigned long resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
  std::fclose(statm);
  return read == 2 ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

int CyclesFromEnvironment() {
  const char* text = std::getenv("VELMORABLE_SOAK_CYCLES");
  const int cycles = text != nullptr ? std::atoi(text) : 0;
  return cycles > 0 ? cycles : 100;
}

// Where a cycle loses its link, if it does.
enum class DropPoint { kNone, kBeforeDiscover, kBeforeSubscribe, kDuringNotifications, kBeforeUnsubscribe };

class SoakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component::SocketBase::StaticInit();
    radio_ = std::make_shared<sim::SimRadio>();
    bt::InstallProvider(radio_);
    radio_->AddPeripheral(SoakPeripheral());
    handle_ = VelmoraBLE_BLEClient_Create(&SoakSink::Call, &sink_, 0);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) VelmoraBLE_BLEClient_Destroy(handle_);
    bt::InstallProvider(nullptr);
    radio_.reset();
    component::SocketBase::StaticDestroy();
  }

  int Call(int32_t method, std::vector<intptr_t> params) {
    params.resize(4, 0);
    int32_t cbparams[4] = {0, 0, 0, 0};
    return VelmoraBLE_BLEClient_Do(handle_, method, static_cast<int32_t>(params.size()), params.data(), cbparams);
  }
  static intptr_t Text(const char* text) { return reinterpret_cast<intptr_t>(text); }
  int Connect() { return Call(VELMORABLE_METHOD_CONNECT, {Text(kServerId)}); }
  int Discover() { return Call(VELMORABLE_METHOD_DISCOVER, {Text(""), Text(""), 1, Text("")}); }
  int Subscribe() { return Call(VELMORABLE_METHOD_SUBSCRIBE, {Text(kHeartRateId), Text(kMeasurementId)}); }
  int Unsubscribe() { return Call(VELMORABLE_METHOD_UNSUBSCRIBE, {Text(kHeartRateId), Text(kMeasurementId)}); }
  int Disconnect() { return Call(VELMORABLE_METHOD_DISCONNECT, {}); }
  std::string LastError() { return VelmoraBLE_BLEClient_GetLastError(handle_); }

  // Notify sends `count` measurements numbered from the sink's next sequence number and waits until the
  // client has handled them.
  void Notify(int count) {
    const uint32_t first = sink_.next_sequence.load();
    for (int i = 0; i < count; ++i) {
      const uint32_t n = first + static_cast<uint32_t>(i);
      const size_t delivered = radio_->Notify(kAddress, kMeasurementHandle,
                                              {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                               static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
      // One characteristic object listens: objects of earlier cycles must not be kept alive and listening.
      ASSERT_EQ(delivered, 1u) << "notification " << i;
    }
    radio_->WaitIdle();
    EXPECT_EQ(sink_.next_sequence.load(), first + static_cast<uint32_t>(count)) << "notifications lost";
  }

  // DropLink takes the link down and waits until the client has seen it.
  void DropLink() {
    const int before = sink_.disconnected.load();
    radio_->SetLink(kAddress, false);
    radio_->WaitIdle();
    EXPECT_EQ(sink_.disconnected.load(), before + 1) << "no Disconnected event for the dropped link";
  }

  // RunCycle runs one session; with a drop point the link goes down there, the remaining operations must
  // fail, and the application cleans up with Disconnect.
  void RunCycle(int cycle, DropPoint drop, int drop_after) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    radio_->SetLink(kAddress, true);
    radio_->WaitIdle();
    // The radio journals every platform call for assertions; it is test memory, not the client's.
    radio_->ClearJournal();
    const int discovered_before = sink_.discovered.load();
    ASSERT_EQ(Connect(), 0) << LastError();

    if (drop == DropPoint::kBeforeDiscover) DropLink();
    const int discover = Discover();
    if (drop == DropPoint::kBeforeDiscover) {
      EXPECT_NE(discover, 0) << "Discover reported success on a dropped link";
      EXPECT_EQ(Disconnect(), 0) << LastError();
      return;
    }
    ASSERT_EQ(discover, 0) << LastError();
    EXPECT_EQ(sink_.discovered.load() - discovered_before, kDiscoveredPerCycle);

    if (drop == DropPoint::kBeforeSubscribe) DropLink();
    const int subscribed_before = sink_.subscribed.load();
    const int subscribe = Subscribe();
    if (drop == DropPoint::kBeforeSubscribe) {
      EXPECT_NE(subscribe, 0) << "Subscribe reported success on a dropped link";
      EXPECT_EQ(Disconnect(), 0) << LastError();
      return;
    }
    ASSERT_EQ(subscribe, 0) << LastError();
    radio_->WaitIdle();
    EXPECT_EQ(sink_.subscribed.load(), subscribed_before + 1);
    EXPECT_EQ(radio_->CccdValue(kAddress, kMeasurementHandle), 1u);

    if (drop == DropPoint::kDuringNotifications) {
      Notify(drop_after);
      DropLink();
      EXPECT_NE(Unsubscribe(), 0) << "Unsubscribe reported success on a dropped link";
      EXPECT_EQ(Disconnect(), 0) << LastError();
      return;
    }
    Notify(kNotificationsPerCycle);

    if (drop == DropPoint::kBeforeUnsubscribe) {
      DropLink();
      EXPECT_NE(Unsubscribe(), 0) << "Unsubscribe reported success on a dropped link";
      EXPECT_EQ(Disconnect(), 0) << LastError();
      return;
    }
    const int unsubscribed_before = sink_.unsubscribed.load();
    ASSERT_EQ(Unsubscribe(), 0) << LastError();
    radio_->WaitIdle();
    EXPECT_EQ(sink_.unsubscribed.load(), unsubscribed_before + 1);
    EXPECT_EQ(radio_->CccdValue(kAddress, kMeasurementHandle), 0u);
    // With notifications off at the device nothing reaches the client any more.
    EXPECT_EQ(radio_->Notify(kAddress, kMeasurementHandle, {0xFF, 0xFF, 0xFF, 0xFF}), 0u);
    ASSERT_EQ(Disconnect(), 0) << LastError();
  }

  std::shared_ptr<sim::SimRadio> radio_;
  SoakSink sink_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
};

TEST_F(SoakTest, RepeatedSessionsWithLinkDropsLoseNothingAndKeepMemoryFlat) {
  const int cycles = CyclesFromEnvironment();
  // A fixed seed: a failure can be run again as it happened.
  std::mt19937 random(20240613u);
  std::uniform_int_distribution<int> pick(0, 15);
  std::uniform_int_distribution<int> after(0, kNotificationsPerCycle - 1);

  constexpr int kWarmUpCycles = 10;
  size_t heap_after_warm_up = 0;
  size_t resident_after_warm_up = 0;
  int drops = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    // About one cycle in four loses its link, at one of four points (mid-notification at a random count).
    DropPoint drop = DropPoint::kNone;
    switch (pick(random)) {
      case 0: drop = DropPoint::kBeforeDiscover; break;
      case 1: drop = DropPoint::kBeforeSubscribe; break;
      case 2: drop = DropPoint::kDuringNotifications; break;
      case 3: drop = DropPoint::kBeforeUnsubscribe; break;
      default: break;
    }
    drops += drop != DropPoint::kNone ? 1 : 0;
    // Every cycle starts counting measurements afresh.
    sink_.next_sequence.store(0);
    RunCycle(cycle, drop, after(random));
    if (HasFatalFailure() || sink_.out_of_order.load() != 0) break;
    if (cycle == kWarmUpCycles) {
      heap_after_warm_up = HeapInUse();
      resident_after_warm_up = ResidentBytes();
    }
  }
  EXPECT_EQ(sink_.out_of_order.load(), 0) << sink_.first_problem;
  EXPECT_EQ(sink_.errors.load(), 0);
  EXPECT_GT(drops, 0);
  if (HasFailure() || cycles < 2 * kWarmUpCycles) return;

  const size_t heap = HeapInUse();
  const size_t resident = ResidentBytes();
  std::printf("soak: %d cycles, %d with a dropped link; heap %zu -> %zu bytes, resident %zu -> %zu bytes\n", cycles,
              drops, heap_after_warm_up, heap, resident_after_warm_up, resident);
  // A leak of one small object per notification would add megabytes; per cycle, tens of kilobytes.
  constexpr size_t kHeapTolerance = 256 * 1024;
  EXPECT_LE(heap, heap_after_warm_up + kHeapTolerance) << "the heap grew from cycle " << kWarmUpCycles;
#ifndef VELMORA_SOAK_ASAN
  constexpr size_t kResidentTolerance = 4 * 1024 * 1024;
  EXPECT_LE(resident, resident_after_warm_up + kResidentTolerance) << "the resident set grew";
#endif
}

}  // namespace
}  // namespace velmora::ble::testing
