// What the BlueZ backend costs: threads, file descriptors, CPU while idle, memory under a notification
// flood, and a shutdown that does not wait for a bluetoothd that stopped answering.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "tests/platform/bluetooth/bluez_test_util.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator counts the bytes the program holds (their shadow memory would swamp the RSS).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define VELMORA_SANITIZER_HEAP 1
#endif

namespace velmora::ble::testing {
namespace {

constexpr const char kMeasurementService[] = "000100000000";
constexpr const char kMeasurement[] = "000100030000";

// HeapInUse gives the bytes the program holds on the heap: the sanitizer's count, or glibc's (every arena,
// and the chunks it maps separately). NOTE: not the resident set: malloc keeps the pages that a burst once
// needed, so the RSS stays at its high-water mark after the memory was given back.
size_t HeapInUse() {
#if defined(VELMORA_SANITIZER_HEAP)
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  size_t pages = 0;
  size_t resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%zu %zu", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

int64_t CpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

class BluezResources : public BluezFixture {
 protected:
  int Subscribe(int32_t method) { return Call(method, {Text(kMeasurementService), Text(kMeasurement)}); }
};

TEST_F(BluezResources, ThreadsAndFdsStayFixedOverConnectionCycles) {
  // The platform of the fixture runs: its bus thread and two handler threads.
  const size_t threads_before = Threads();
  auto second = std::make_shared<bt::bluez::BluezPlatform>(mock_->address());
  EXPECT_EQ(Threads(), threads_before + 3);
  second.reset();
  EXPECT_EQ(Threads(), threads_before);

  Script("heart_rate_sensor()");
  const size_t fds = Fds();
  const size_t threads = Threads();
  for (int cycle = 1; cycle <= 100; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
    ASSERT_EQ(Subscribe(VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError();
    ASSERT_EQ(Subscribe(VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError();
    ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
    ASSERT_TRUE(WaitForCall("Disconnect", static_cast<size_t>(cycle)));
    // The link is down in the backend's cache before the next cycle connects.
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED, static_cast<size_t>(cycle)));
    ASSERT_NE(Script("1"), "");
  }
  EXPECT_EQ(mock_->CallsOf("AcquireNotify").size(), 100u);
  EXPECT_EQ(Fds(), fds);
  EXPECT_EQ(Threads(), threads);
}

// Connected and subscribed with no traffic, the backend sleeps: nothing polls on a timer.
TEST_F(BluezResources, IdleSubscriptionCostsNoCpu) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Subscribe(VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError();
  const int64_t before = CpuMicros();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const int64_t used = CpuMicros() - before;
  std::printf("CPU while idle and subscribed: %lld us in 2 s\n", static_cast<long long>(used));
  EXPECT_LE(used, 20'000) << used << " us of CPU in 2 s";
}

// 10,000 notifications arrive in order, each once, after 1,000 that warm up; the heap does not grow with
// them. The flood comes faster than the events are handled, so values wait in the backend meanwhile: the
// heap is compared when each burst has been handled in full.
TEST_F(BluezResources, NotificationFloodArrivesInOrder) {
  constexpr size_t kWarmUp = 1000;
  constexpr size_t kTotal = kWarmUp + 10000;
  std::mutex mutex;
  std::vector<uint32_t> seen;
  size_t heap_after_warm_up = 0;
  size_t heap_after_flood = 0;
  seen.reserve(kTotal);  // the test's own record does not count
  // The sink is set before any event can run.
  sink_.keep = false;
  sink_.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_VALUE) return;
    const std::string& value = event.Text(5);
    if (value.size() != 4) return;
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<uint8_t>(value[i]);
    std::lock_guard lock(mutex);
    seen.push_back(n);
    // The last value of a burst: nothing of it waits any more.
    if (seen.size() == kWarmUp) heap_after_warm_up = HeapInUse();
    if (seen.size() == kTotal) heap_after_flood = HeapInUse();
  };
  auto wait_for = [&](size_t count) {
    for (int i = 0; i < 3000; ++i) {
      {
        std::lock_guard lock(mutex);
        if (seen.size() >= count) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Subscribe(VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError();
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, counter(1000))"), "1000");
  wait_for(kWarmUp);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Script("notify(HEART_RATE_ADDRESS, 0x0003, counter(11000)[1000:])"), "10000");
  wait_for(kTotal);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Destroying the client waits for events that still run; none comes afterwards.
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = nullptr;
  ASSERT_EQ(seen.size(), kTotal);
  for (uint32_t i = 0; i < kTotal; ++i) {
    ASSERT_EQ(seen[i], i);
  }
  std::printf("10000 notifications in %.2f s; heap in use %zu -> %zu\n", seconds, heap_after_warm_up,
              heap_after_flood);
  // A leak of 20 bytes per notification would pass 200 kB.
  EXPECT_LT(heap_after_flood, heap_after_warm_up + 200'000) << heap_after_warm_up << " -> " << heap_after_flood;
}

// A program meets one sensor after another, each at an address of its own (a collector that visits many
// sensors, or one sensor whose private address changes), and bluetoothd lists each only for a while: it is
// removed once it is done with (adapter.c, remove_device: a RemoveDevice of the program that keeps bluetoothd's
// list short, or the library's own Disconnect of a bond it made). Once a sensor is gone from bluetoothd and the
// program, the backend holds nothing of it: the heap does not grow with the number of sensors met.
TEST_F(BluezResources, SensorsMetOneAfterAnotherLeaveNothingBehind) {
  constexpr int kWarmUp = 30;
  constexpr int kCycles = 200;
  size_t heap_after_warm_up = 0;
  for (int cycle = 0; cycle < kWarmUp + kCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    char address[18];
    char id[13];
    std::snprintf(address, sizeof address, "C0:FF:EE:01:%02X:%02X", cycle / 256, cycle % 256);
    std::snprintf(id, sizeof id, "C0FFEE01%02X%02X", cycle / 256, cycle % 256);
    Script(std::string("heart_rate_sensor(address='") + address + "')");
    ASSERT_EQ(ConnectAndDiscover(id), 0) << LastError();
    ASSERT_EQ(Do(VELMORABLE_METHOD_DISCONNECT), 0);
    ASSERT_TRUE(sink_.WaitFor(VELMORABLE_EVENT_DISCONNECTED));
    Script(std::string("vanish('") + address + "')");
    // The removal has reached the backend (a round trip through the backend's own bus connection).
    (void)Await(platform_->GetDefaultAdapterAsync());
    sink_.Clear();
    if (cycle + 1 == kWarmUp) heap_after_warm_up = HeapInUse();
  }
  const size_t heap_after = HeapInUse();
  std::printf("%d sensors met: heap in use %zu -> %zu\n", kCycles, heap_after_warm_up, heap_after);
  // 500 bytes kept per sensor would pass 100 kB.
  EXPECT_LT(heap_after, heap_after_warm_up + 100'000) << heap_after_warm_up << " -> " << heap_after;
}

// A program that makes a client for each job (a scan here, a connection there) and destroys it afterwards
// keeps nothing of the clients it destroyed: the heap does not grow with the number of clients made.
TEST_F(BluezResources, ClientsMadeOneAfterAnotherLeaveNothingBehind) {
  constexpr int kWarmUp = 30;
  constexpr int kCycles = 300;
  size_t heap_after_warm_up = 0;
  for (int cycle = 0; cycle < kWarmUp + kCycles; ++cycle) {
    SCOPED_TRACE(cycle);
    Sink sink;
    ClientHandle client(VelmoraBLE_BLEClient_Create(&Sink::Call, &sink, 0));
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(testing::Do(client.get(), VELMORABLE_METHOD_START_SCANNING, ""), 0);
    ASSERT_EQ(testing::Do(client.get(), VELMORABLE_METHOD_STOP_SCANNING), 0);
    client.reset();
    // The backend's discovery is settled before the heap is looked at.
    (void)Await(platform_->GetDefaultAdapterAsync());
    if (cycle + 1 == kWarmUp) heap_after_warm_up = HeapInUse();
  }
  const size_t heap_after = HeapInUse();
  std::printf("%d clients made and destroyed: heap in use %zu -> %zu\n", kCycles, heap_after_warm_up, heap_after);
  // 300 bytes kept per client would pass 90 kB.
  EXPECT_LT(heap_after, heap_after_warm_up + 90'000) << heap_after_warm_up << " -> " << heap_after;
}

// Shutting down does not wait for bluetoothd: with the mock stopped, destroying the platform returns.
TEST_F(BluezResources, ShutdownDoesNotWaitForAStoppedBluetoothd) {
  Script("heart_rate_sensor()");
  ASSERT_EQ(ConnectAndDiscover(), 0) << LastError();
  ASSERT_EQ(Subscribe(VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError();
  auto device = DeviceWhenKnown();
  ASSERT_NE(device, nullptr);
  auto services = Await(device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  auto characteristics =
      Await(services->Services()[1]->GetCharacteristicsWithCacheModeAsync(bt::BluetoothCacheMode::Cached));
  auto level = characteristics->Characteristics()[0];
  ASSERT_EQ(kill(mock_->mock_pid(), SIGSTOP), 0);
  auto pending = platform_->GetDefaultAdapterAsync();  // never answered
  // The first read waits for bluetoothd, the second waits behind it.
  auto first = level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  auto second = level->ReadValueWithCacheModeAsync(bt::BluetoothCacheMode::Uncached);
  const auto start = std::chrono::steady_clock::now();
  VelmoraBLE_BLEClient_Destroy(handle_);
  handle_ = nullptr;
  bt::InstallProvider(nullptr);
  platform_.reset();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  kill(mock_->mock_pid(), SIGCONT);
  std::printf("shutdown with bluetoothd stopped: %.3f s\n", seconds);
  // The request that bluetoothd never answered finished with the shutdown.
  EXPECT_EQ(pending->Status(), bt::AsyncStatus::Completed);
  for (const auto& read : {first, second}) {
    ASSERT_EQ(read->Status(), bt::AsyncStatus::Completed);
    EXPECT_EQ(read->GetResults()->Status(), bt::GattCommunicationStatus::Unreachable);
  }
  // Objects outlive the platform; their operations are refused.
  EXPECT_EQ(device->ConnectionStatus(), bt::BluetoothConnectionStatus::Connected);
  try {
    (void)device->GetGattServicesWithCacheModeAsync(bt::BluetoothCacheMode::Cached);
    ADD_FAILURE() << "no PlatformError";
  } catch (const bt::PlatformError& error) {
    EXPECT_EQ(error.HResult(), bt::kRoEClosed);
  }
}

}  // namespace
}  // namespace velmora::ble::testing
