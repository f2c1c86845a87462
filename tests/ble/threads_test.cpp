// Clients under threads: application threads that query their clients without pause while the simulated
// radio delivers advertisements, notifications and pairing requests on its own threads, and the sinks call
// the clients back from there. Each call's code must be the calling thread's last error code, each reply must
// keep its content until that thread's next call of the same kind, and the sanitizers (AddressSanitizer,
// ThreadSanitizer) must have nothing to report.
//
// VELMORABLE_THREADS_SECONDS sets how long the hammer runs (default 2 s; the single-client sequence runs half
// as long, at least 1 s).
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "tests/ble/threads_test_util.h"
#include "tests/test_support.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 4;
constexpr uint64_t kFirstAddress = 0xA0B0C0D00001;

int Seconds() {
  const char* text = std::getenv("VELMORABLE_THREADS_SECONDS");
  const int seconds = text != nullptr ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : 2;
}

// Shown renders a UTF-16 reply for a failure message: "(null)", or its units with the non-ASCII ones as \uXXXX.
std::string Shown(const char16_t* text) {
  if (text == nullptr) return "(null)";
  std::string shown = "\"";
  for (; *text != 0; ++text) {
    if (*text >= 0x20 && *text < 0x7F) {
      shown += static_cast<char>(*text);
    } else {
      char unit[8];
      std::snprintf(unit, sizeof(unit), "\\u%04X", static_cast<unsigned>(*text));
      shown += unit;
    }
  }
  return shown + "\"";
}

// Checker collects what went wrong, from any thread; the first few texts are kept.
struct Checker {
  std::atomic<int> problems{0};
  std::mutex mutex;
  std::vector<std::string> texts;

  void Problem(const std::string& text) {
    if (problems.fetch_add(1) >= 5) return;
    std::lock_guard lock(mutex);
    texts.push_back(text);
  }
  std::string Report() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const std::string& text : texts) all += text + "\n";
    return all;
  }
};

// Calls checks one call on handle: its code must be what the calling thread's last error code says, and
// the last error text must be a readable text.
struct Calls {
  VelmoraBLE_BLEClient* handle;
  Checker* checker;
  const char* where;
  // closing is set before the client is destroyed: from then on its calls may be refused (200).
  const std::atomic<bool>* closing = nullptr;

  bool Refused(int rc) const { return rc == 200 && closing != nullptr && closing->load(); }
  void Recorded(int rc, const char* call) {
    if (Refused(rc)) return;
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(handle);
    if (code != rc) {
      checker->Problem(std::string(where) + ": " + call + " gave " + std::to_string(rc) + " but the last error code is " +
                       std::to_string(code));
    }
    (void)std::strlen(VelmoraBLE_BLEClient_GetLastError(handle));
  }
  // Query runs Config and checks its code against want and its reply (when want_reply is not null).
  const char* Query(const char* setting, int want, const char* want_reply) {
    intptr_t params[2] = {reinterpret_cast<intptr_t>(setting), 0};
    int32_t cbparams[2] = {0, 0};
    const int rc = VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
    Recorded(rc, setting);
    const auto* reply = reinterpret_cast<const char*>(params[1]);
    if (Refused(rc)) return reply;
    if (rc != want) checker->Problem(std::string(where) + ": " + setting + " gave " + std::to_string(rc));
    if (want_reply != nullptr && (reply == nullptr || std::strcmp(reply, want_reply) != 0)) {
      checker->Problem(std::string(where) + ": " + setting + " replied \"" + (reply ? reply : "(null)") + "\"");
    }
    return reply;
  }
  intptr_t Get(int32_t property, int32_t index) {
    const intptr_t value = VelmoraBLE_BLEClient_Get(handle, property, index);
    Recorded(VelmoraBLE_BLEClient_GetLastErrorCode(handle), "Get");
    return value;
  }
};

// HammerSink answers events the way a busy application does: it asks the client about each advertisement
// and value, reads the error state, and answers pairing requests with a PIN.
struct HammerSink {
  VelmoraBLE_BLEClient* handle = nullptr;
  Checker* checker = nullptr;
  std::atomic<bool> closing{false};
  std::atomic<int> advertisements{0};
  std::atomic<int> values{0};
  std::atomic<int> pairings{0};

  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<HammerSink*>(context);
    Calls calls{self->handle, self->checker, "sink", &self->closing};
    switch (id) {
      case VELMORABLE_EVENT_ADVERTISEMENT: {
        ++self->advertisements;
        calls.Query("ManufacturerDataCount", 0, "1");
        calls.Query("ManufacturerCompanyId[0]", 0, "4660");
        calls.Query("ServiceData=180F", 0, "d");
        calls.Query("NoSuchKey", -1, "");
        break;
      }
      case VELMORABLE_EVENT_VALUE: {
        ++self->values;
        const char* level = calls.Query("LogLevel", 0, "1");
        const auto* wide = reinterpret_cast<const char16_t*>(calls.Get(VELMORABLE_UTF16_VARIANT + VELMORABLE_PROP_SERVICE_ID, 0));
        (void)calls.Get(VELMORABLE_PROP_SERVICE_COUNT, 0);
        (void)calls.Get(VELMORABLE_PROP_SERVER_ID, 0);
        (void)calls.Get(VELMORABLE_PROP_SERVICE_UUID, 1);  // the record's own text belongs to the application
        (void)calls.Get(VELMORABLE_PROP_SERVICE, 0);
        // Properties that load from the server on first use, as the application thread reads them too.
        (void)calls.Get(VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0);
        (void)calls.Get(VELMORABLE_PROP_CHARACTERISTIC_VALUE_FORMAT_INDEX, 0);
        (void)calls.Get(VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
        (void)calls.Get(VELMORABLE_PROP_CHARACTERISTIC_UUID, 0);
        (void)std::strlen(VelmoraBLE_BLEClient_GetEventError(self->handle));
        // The reply of this thread's last Config is still its own, whatever the other threads asked.
        if (level != nullptr && std::strcmp(level, "1") != 0) calls.checker->Problem("sink: LogLevel reply changed");
        // "" while the application thread reconnects (the index is then outside the list), and once it has
        // begun to destroy the client (the call is refused); never null.
        if (wide == nullptr || (wide[0] != 0 && std::u16string(wide) != u"000100000000")) {
          const char* when = self->closing.load() ? " while closing" : "";
          calls.checker->Problem("sink: ServiceId[0] gave " + Shown(wide) + when);
        }
        // Now and then a value fails (the library reports it as the event error) or the event error is
        // emptied again, while other threads read it.
        const int n = self->values.load();
        if (n % 40 == 0) (void)VelmoraBLE_BLEClient_SetEventErrorAndCode(self->handle, 0, "");
        if (n % 40 == 20) return 5;
        break;
      }
      case VELMORABLE_EVENT_PAIRING_REQUEST: {
        auto* record = reinterpret_cast<VelmoraBLE_EventString*>(params[2]);
        (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, VELMORABLE_EVTSTR_UTF16);
        if (self->pairings.fetch_add(1) % 2 == 0) {
          char local[8];
          std::memcpy(local, kPin, sizeof(kPin));
          VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, local, VELMORABLE_EVTSTR_NARROW);
        } else {
          VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_REFERENCE, kPin, VELMORABLE_EVTSTR_NARROW);
        }
        params[3] = 1;
        calls.Query("PairingMode", 0, "1");
        break;
      }
      default:
        break;
    }
    return 0;
  }
};

class ThreadsTest : public RadioFixture<4> {
 protected:
  Checker checker_;
};

// Session connects (pairing with a PIN), discovers, selects the first service, subscribes to the
// measurement and scans again.
void Session(VelmoraBLE_BLEClient* handle, const std::string& id, Checker& checker) {
  Calls calls{handle, &checker, "application"};
  const int connected = Do(handle, VELMORABLE_METHOD_CONNECT, id.c_str());
  calls.Recorded(connected, "Connect");
  if (connected != 0) checker.Problem("Connect: " + LastError(handle));
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1, reinterpret_cast<intptr_t>("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  const int discovered = VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes);
  if (discovered != 0) checker.Problem("Discover: " + LastError(handle));
  if (VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>("000100000000")) != 0) {
    checker.Problem("Service: " + LastError(handle));
  }
  intptr_t subscribe[2] = {reinterpret_cast<intptr_t>("000100000000"), reinterpret_cast<intptr_t>("000100030000")};
  const int subscribed = VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes);
  if (subscribed != 0) checker.Problem("Subscribe: " + LastError(handle));
  // Connecting stopped the scan.
  if (Do(handle, VELMORABLE_METHOD_START_SCANNING, "") != 0) checker.Problem("StartScanning: " + LastError(handle));
}

// Hammer is one application thread: it keeps querying its client and, every quarter second, connects anew
// (which brings a pairing request), until the deadline.
void Hammer(VelmoraBLE_BLEClient* handle, const std::string& id, Clock::time_point deadline, Checker& checker) {
  Calls calls{handle, &checker, "application"};
  calls.Query("PairingMode=1", 0, nullptr);
  Session(handle, id, checker);
  Clock::time_point next_session = Clock::now() + std::chrono::milliseconds(250);
  while (Clock::now() < deadline && checker.problems.load() == 0) {
    const char* level = calls.Query("LogLevel", 0, "1");
    const auto* wide =
        reinterpret_cast<const char16_t*>(calls.Get(VELMORABLE_UTF16_VARIANT + VELMORABLE_PROP_SERVICE_ID, 1));
    const auto* uuid = reinterpret_cast<const char*>(calls.Get(VELMORABLE_PROP_SERVICE_UUID, 1));
    calls.Query("NoSuchKey", -1, "");
    if (std::string(LastError(handle)) != "Unknown config setting.") checker.Problem("application: last error text");
    const intptr_t services = calls.Get(VELMORABLE_PROP_SERVICE_COUNT, 0);
    if (services != 2) checker.Problem("application: ServiceCount " + std::to_string(services));
    (void)calls.Get(VELMORABLE_PROP_TIMEOUT, 0);
    const intptr_t flags = calls.Get(VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0);
    if (flags != 0x10) checker.Problem("application: CharacteristicFlags " + std::to_string(flags));
    (void)calls.Get(VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    calls.Query("ManufacturerDataCount", 602, "");
    const char* event_error = VelmoraBLE_BLEClient_GetEventError(handle);
    std::this_thread::yield();
    // Replies of this thread survive the other threads' calls until this thread asks again.
    if (std::strcmp(level, "1") != 0) checker.Problem("application: LogLevel reply changed to " + std::string(level));
    const std::string kept_event_error = event_error;
    if (!kept_event_error.empty() && kept_event_error != "An unhandled error occurred in the Value event handler") {
      checker.Problem("application: event error " + kept_event_error);
    }
    if (wide == nullptr || std::u16string(wide) != u"001000000000") checker.Problem("application: ServiceId text changed");
    if (std::string(uuid) != "0000180F-0000-1000-8000-00805F9B34FB") checker.Problem("application: ServiceUuid " + std::string(uuid));
    if (Clock::now() >= next_session) {
      if (Do(handle, VELMORABLE_METHOD_DISCONNECT) != 0) checker.Problem("Disconnect: " + LastError(handle));
      Session(handle, id, checker);
      next_session = Clock::now() + std::chrono::milliseconds(250);
    }
  }
  (void)Do(handle, VELMORABLE_METHOD_STOP_SCANNING);
  (void)Do(handle, VELMORABLE_METHOD_DISCONNECT);
}

TEST_F(ThreadsTest, FourClientsHammeredWhileSinksCallBackFromPlatformThreads) {
  HammerSink sinks[kClients];
  std::vector<std::thread> threads;
  VelmoraBLE_BLEClient* handles[kClients] = {};
  for (int i = 0; i < kClients; ++i) {
    radio_->AddPeripheral(BusyPeripheral(kFirstAddress + static_cast<uint64_t>(i)));
    sinks[i].checker = &checker_;
  }
  // A connected peripheral stops advertising: two more that nobody connects to keep the scans busy.
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + kClients));
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + kClients + 1));
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(Seconds());
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      // Each client belongs to its application thread from Create on.
      handles[i] = VelmoraBLE_BLEClient_Create(&HammerSink::Call, &sinks[i], i % 2 == 0 ? 0 : VELMORABLE_OPTION_UTF16_EVENTS);
      sinks[i].handle = handles[i];
      Hammer(handles[i], Id(kFirstAddress + static_cast<uint64_t>(i)), deadline, checker_);
      sinks[i].closing.store(true);
      VelmoraBLE_BLEClient_Destroy(handles[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(checker_.problems.load(), 0) << checker_.Report();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_GT(sinks[i].advertisements.load(), 0) << "client " << i;
    EXPECT_GT(sinks[i].values.load(), 0) << "client " << i;
    EXPECT_GT(sinks[i].pairings.load(), 0) << "client " << i;
  }
  std::printf("threads: %d s; advertisements, values, pairings per client:", Seconds());
  for (const HammerSink& sink : sinks) {
    std::printf(" %d/%d/%d", sink.advertisements.load(), sink.values.load(), sink.pairings.load());
  }
  std::printf("\n");
}

// The sequence that once let one thread restore another thread's dangling "earlier" error text: a sink
// that asks about each advertisement while the application thread fails and succeeds in turn.
TEST_F(ThreadsTest, FailingAndSucceedingQueriesAgainstAdvertisementQueries) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    Checker* checker = nullptr;
    std::atomic<int> advertisements{0};
    std::atomic<bool> closing{false};
  } context;
  context.checker = &checker_;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_ADVERTISEMENT) return 0;
    ++ctx->advertisements;
    Calls{ctx->handle, ctx->checker, "sink", &ctx->closing}.Query("ManufacturerDataCount", 0, "1");
    return 0;
  };
  Client client(sink, &context);
  context.handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Do(context.handle, VELMORABLE_METHOD_START_SCANNING, ""), 0);
  Calls calls{context.handle, &checker_, "application"};
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(1, Seconds() / 2));
  while (Clock::now() < deadline && checker_.problems.load() == 0) {
    calls.Query("NoSuchKey", -1, "");
    const std::string failed = LastError(context.handle);
    calls.Query("LogLevel", 0, "1");
    // A success keeps the failure's text.
    const std::string kept = LastError(context.handle);
    if (failed != "Unknown config setting." || kept != failed) checker_.Problem("last error text: " + kept);
  }
  EXPECT_EQ(Do(context.handle, VELMORABLE_METHOD_STOP_SCANNING), 0);
  context.closing.store(true);
  client.Destroy();
  EXPECT_EQ(checker_.problems.load(), 0) << checker_.Report();
  EXPECT_GT(context.advertisements.load(), 0);
}

// Values pushed every millisecond while the application connects, subscribes and disconnects after a random
// pause: once Disconnect has returned, no Value of that connection reaches the sink, not even one whose
// delivery had begun on a platform thread before the tree was emptied. The sink takes a moment, so that a
// delivery still running when Disconnect returns is caught as well.
TEST_F(ThreadsTest, NoValueReachesTheSinkAfterDisconnectReturns) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    std::atomic<bool> disconnected{false};
    std::atomic<int> values{0};
    std::atomic<int> late{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    ++ctx->values;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (ctx->disconnected.load()) ++ctx->late;
    return 0;
  };
  Client handle(sink, &context);
  ASSERT_NE(handle.get(), nullptr);
  const std::string id = Id(kFirstAddress);
  std::mt19937 random(82);
  std::uniform_int_distribution<int> pause_us(0, 1500);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1, reinterpret_cast<intptr_t>("")};
  intptr_t subscribe[2] = {reinterpret_cast<intptr_t>("000100000000"), reinterpret_cast<intptr_t>("000100030000")};
  int32_t sizes[4] = {0, 0, 0, 0};
  const int64_t cycles = testing_support::FuzzScaled(2000);
  for (int64_t i = 0; i < cycles && context.late.load() == 0; ++i) {
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(handle);
    // Until the discovery the tree is empty: a value seen before it is a late one of the last connection.
    context.disconnected.store(false);
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(handle);
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes), 0) << LastError(handle);
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(handle);
    context.disconnected.store(true);
  }
  handle.Destroy();
  EXPECT_EQ(context.late.load(), 0) << "of " << context.values.load() << " values";
  EXPECT_GT(context.values.load(), 0);
}

// Timeout is written by Set on any thread and read by the waits of every thread: a sink's AdvertisementRawData
// query waits for the device lookup on its platform thread under Timeout, and sets Timeout (which clears the
// running deadline), while the application thread sets it too.
TEST_F(ThreadsTest, TimeoutSetOnOneThreadWhileAnotherWaits) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    std::atomic<int> advertisements{0};
    std::atomic<int> failures{0};
    std::atomic<bool> closing{false};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_ADVERTISEMENT) return 0;
    ++ctx->advertisements;
    for (const int rc : {Config(ctx->handle, "AdvertisementRawData"),
                         VelmoraBLE_BLEClient_Set(ctx->handle, VELMORABLE_PROP_TIMEOUT, 0, 30)}) {
      // Once Destroy has begun, the calls of a sink still running are refused.
      if (rc != 0 && !(rc == 200 && ctx->closing.load())) ++ctx->failures;
    }
    return 0;
  };
  Client client(sink, &context);
  context.handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Do(context.handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(context.handle);
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
  for (int i = 0; context.advertisements.load() < 50; ++i) {
    ASSERT_LT(Clock::now(), give_up) << context.advertisements.load() << " advertisements";
    EXPECT_EQ(VelmoraBLE_BLEClient_Set(context.handle, VELMORABLE_PROP_TIMEOUT, 0, 20 + i % 2), 0);
    // The wait step and the Timeout's unit are read by the same waits.
    EXPECT_EQ(Config(context.handle, i % 2 == 0 ? "SelectWaitMillis=20" : "TimeoutInMilliseconds=False"), 0);
  }
  EXPECT_EQ(Do(context.handle, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(context.handle);
  context.closing.store(true);
  client.Destroy();
  EXPECT_EQ(context.failures.load(), 0);
}

// The selection is read under the lock that changes it: a sink selects on its platform thread while the
// application thread sets Characteristic (which reads the selected service) and reads Service and
// Characteristic back, each a whole id.
TEST_F(ThreadsTest, ServiceSetByASinkWhileTheApplicationSetsCharacteristic) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    std::atomic<int> values{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    const bool heart_rate = ctx->values.fetch_add(1) % 2 != 0;
    const char* service = heart_rate ? "000100000000" : "001000000000";
    (void)VelmoraBLE_BLEClient_Set(ctx->handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(service));
    if (heart_rate) {
      (void)VelmoraBLE_BLEClient_Set(ctx->handle, VELMORABLE_PROP_CHARACTERISTIC, 0,
                                     reinterpret_cast<intptr_t>("000100030000"));
    }
    return 0;
  };
  Client client(sink, &context);
  context.handle = client;
  ASSERT_NE(client.get(), nullptr);
  Session(context.handle, Id(kFirstAddress), checker_);
  ASSERT_EQ(checker_.problems.load(), 0) << checker_.Report();
  for (int i = 0; i < 200 || context.values.load() < 50; ++i) {
    ASSERT_LT(i, 1000000);
    // 0 while the heart rate service is selected, else 601 (not in the battery service) or 602.
    const int rc = VelmoraBLE_BLEClient_Set(context.handle, VELMORABLE_PROP_CHARACTERISTIC, 0,
                                            reinterpret_cast<intptr_t>("000100030000"));
    if (rc != 0 && rc != 601 && rc != 602) ADD_FAILURE() << rc << " " << LastError(context.handle);
    const std::string service =
        reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(context.handle, VELMORABLE_PROP_SERVICE, 0));
    const std::string characteristic =
        reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(context.handle, VELMORABLE_PROP_CHARACTERISTIC, 0));
    if (service != "001000000000" && service != "000100000000") ADD_FAILURE() << "Service " << service;
    if (!characteristic.empty() && characteristic != "000100030000") ADD_FAILURE() << "Characteristic " << characteristic;
  }
  (void)Do(context.handle, VELMORABLE_METHOD_STOP_SCANNING);
  (void)Do(context.handle, VELMORABLE_METHOD_DISCONNECT);
  client.Destroy();
}

// A sink of client B calls client A on B's platform thread while A's application thread works on A. Each
// thread keeps its own results: after its own success the application reads 0 and no text whatever the
// sink's failing Connect recorded, the sink reads its own failure, and the Service text that the application
// read stays the id it selected while the sink reads A's Service as well.
TEST_F(ThreadsTest, ASinkCallingAnotherClientLeavesThatClientsApplicationResultsAlone) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));      // A's server
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));  // advertises to B
  struct Context {
    VelmoraBLE_BLEClient* a = nullptr;
    Checker* checker = nullptr;
    // 1: the sink fails one Connect on A, then sets 2; 3: it fails Connect and reads A's Service on each
    // advertisement; anything else: it leaves A alone.
    std::atomic<int> phase{0};
    std::atomic<int> calls{0};
  } context;
  context.checker = &checker_;
  auto sink_b = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    const int phase = ctx->phase.load();
    if (id != VELMORABLE_EVENT_ADVERTISEMENT || (phase != 1 && phase != 3)) return 0;
    const int rc = Do(ctx->a, VELMORABLE_METHOD_CONNECT, "bad");
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->a);
    const std::string text = LastError(ctx->a);
    if (rc != 202 || code != 202 || text != "Invalid server ID \"bad\".") {
      ctx->checker->Problem("sink: Connect gave " + std::to_string(rc) + ", then the last error " + std::to_string(code) +
                            " \"" + text + "\"");
    }
    if (phase == 3) (void)VelmoraBLE_BLEClient_Get(ctx->a, VELMORABLE_PROP_SERVICE, 0);
    ++ctx->calls;
    if (phase == 1) ctx->phase.store(2);
    return 0;
  };
  Client a(nullptr, nullptr);
  Client b(sink_b, &context);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  context.a = a;
  Session(a, Id(kFirstAddress), checker_);
  ASSERT_EQ(checker_.problems.load(), 0) << checker_.Report();
  ASSERT_EQ(Do(b, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(b);

  EXPECT_EQ(Config(a, "LogLevel"), 0);
  context.phase.store(1);
  ASSERT_TRUE(Eventually([&] { return context.phase.load() == 2; }));
  EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(a), 0);
  EXPECT_EQ(LastError(a), "");

  const char* const kServices[2] = {"000100000000", "001000000000"};
  context.phase.store(3);
  for (int i = 0; (i < 2000 || context.calls.load() < 200) && i < 1000000 && checker_.problems.load() == 0; ++i) {
    const char* selected = kServices[i % 2];
    if (VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(selected)) != 0) {
      checker_.Problem("application: Service " + LastError(a));
    }
    const auto* read = reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(a, VELMORABLE_PROP_SERVICE, 0));
    if (Config(a, "LogLevel") != 0) checker_.Problem("application: LogLevel " + LastError(a));
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(a);
    if (code != 0 || LastError(a) != "") {
      checker_.Problem("application: last error " + std::to_string(code) + " \"" + LastError(a) + "\" after a success");
    }
    if (std::strcmp(read, selected) != 0) {
      checker_.Problem(std::string("application: Service read ") + read + " after selecting " + selected);
    }
  }
  context.phase.store(4);
  EXPECT_EQ(checker_.problems.load(), 0) << checker_.Report();
  EXPECT_GT(context.calls.load(), 1);
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(b);
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(a);
}

// Sinks that call a client from the one event thread of the radio.
class OneEventThreadTest : public RadioFixture<1> {};

// A sink of client B stops and connects client A. A call from a sink never waits for the platform's events,
// whichever client it calls: here the radio ends A's scan only after A's Timeout, and a sink that waited for
// that would hold the event thread, and every client's events with it, and then fail with 301.
TEST_F(OneEventThreadTest, ASinkStopsAndConnectsAnotherClientWithoutWaitingForItself) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->SetWatcherTiming(0, 2000);
  Sink sink_a;
  Sink sink_b;
  std::atomic<bool> once{false};
  std::atomic<int> stopped{-1};
  std::atomic<int> connected{-1};
  const std::string id = Id(kFirstAddress);
  Client a(&Sink::Call, &sink_a);
  Client b(&Sink::Call, &sink_b);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  sink_b.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || once.exchange(true)) return;
    stopped = Do(a, VELMORABLE_METHOD_STOP_SCANNING);
    connected = Do(a, VELMORABLE_METHOD_CONNECT, id.c_str());
  };
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(a);
  ASSERT_EQ(Do(b, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(b);
  ASSERT_TRUE(sink_a.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  ASSERT_TRUE(sink_a.WaitFor(VELMORABLE_EVENT_CONNECTED));
  EXPECT_EQ(stopped.load(), 0);
  EXPECT_EQ(connected.load(), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(a, VELMORABLE_PROP_SCANNING, 0), 0);
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(b);
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(a);
  b.Destroy();
  a.Destroy();
}

// The platform ignores a start while its watcher stops. From a sink, StartScanning right after StopScanning
// says that it started nothing; on the application thread it waits for the stop and then scans, or finds the
// scan that a sink started again from StopScan running.
TEST_F(OneEventThreadTest, StartScanningDuringAStopScansOrSaysItDidNot) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->SetWatcherTiming(0, 200);
  Sink sink;
  std::atomic<bool> restart_in_sink{true};
  std::atomic<bool> restart_on_stop_scan{false};
  std::atomic<int> stops{0};
  std::atomic<int> stopped{-1};
  std::atomic<int> started{-1};
  std::string started_text;
  Client handle(&Sink::Call, &sink);
  ASSERT_NE(handle.get(), nullptr);
  sink.inside = [&](const Event& event) {
    if (event.id == VELMORABLE_EVENT_STOP_SCAN && restart_on_stop_scan.exchange(false)) {
      started = Do(handle, VELMORABLE_METHOD_START_SCANNING, "");
    }
    if (event.id != VELMORABLE_EVENT_ADVERTISEMENT || stops.load() != 0) return;
    stopped = Do(handle, VELMORABLE_METHOD_STOP_SCANNING);
    if (restart_in_sink.load()) {
      started = Do(handle, VELMORABLE_METHOD_START_SCANNING, "");
      started_text = LastError(handle);
    }
    ++stops;
  };
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
  ASSERT_TRUE(sink.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(stopped.load(), 0);
  EXPECT_EQ(started.load(), 614);
  EXPECT_EQ(started_text, "Scanning is still stopping; start it again once the StopScan event has arrived.");
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SCANNING, 0), 0);

  // The sink only requests the stop; the application thread starts again while the watcher still stops.
  restart_in_sink = false;
  stops = 0;
  sink.Clear();
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
  ASSERT_TRUE(Eventually([&] { return stops.load() != 0; }));
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
  ASSERT_TRUE(sink.WaitFor(VELMORABLE_EVENT_STOP_SCAN));
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SCANNING, 0), 1);
  sink.Clear();
  EXPECT_TRUE(sink.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));

  // The sink starts the scan again from StopScan while the application thread starts it during the stop: the
  // application's start waits for the stop only (not for Timeout) and finds the sink's scan running.
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  stops = 0;
  started = -1;
  restart_on_stop_scan = true;
  ASSERT_TRUE(Eventually([&] { return stops.load() != 0; }));
  EXPECT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
  EXPECT_EQ(started.load(), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SCANNING, 0), 1);
  EXPECT_EQ(Do(handle, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(handle);
  handle.Destroy();
}

// StopScanning on the application thread while the sink is busy with advertisements (0.3 ms each) on the
// platform threads: once it has returned 0, no advertisement of that scan is with the sink, early or late.
TEST_F(ThreadsTest, NoAdvertisementReachesTheSinkAfterStopScanningReturns) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));
  ScanOrder order;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* scan = static_cast<ScanOrder*>(raw);
    if (id == VELMORABLE_EVENT_ADVERTISEMENT) {
      ++scan->advertisements;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    scan->Leave(id);
    return 0;
  };
  Client handle(sink, &order);
  ASSERT_NE(handle.get(), nullptr);
  std::mt19937 random(88);
  std::uniform_int_distribution<int> pause_us(0, 3000);
  const int64_t rounds = testing_support::FuzzScaled(100);
  for (int64_t i = 0; i < rounds && order.late.load() == 0; ++i) {
    order.stopped = false;
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(handle);
    order.stopped = true;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  handle.Destroy();
  EXPECT_EQ(order.late.load(), 0) << "of " << order.advertisements.load() << " advertisements";
  EXPECT_GT(order.advertisements.load(), 0);
}

// A sink that waits for the application thread (as a GUI application marshals an event to its UI thread)
// while that thread disconnects: Disconnect gives up waiting for that delivery after Timeout, closes the
// connection all the same and says so with 301.
TEST_F(ThreadsTest, DisconnectStopsWaitingForADeliveryAfterTimeout) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  Sink sink;
  sink.keep = false;
  std::atomic<bool> in_sink{false};
  std::atomic<bool> released{false};
  sink.inside = [&](const Event& event) {
    if (event.id != VELMORABLE_EVENT_VALUE || in_sink.exchange(true)) return;
    // Bounded, so that a Disconnect that waits for this delivery without end still ends the test.
    (void)Eventually([&] { return released.load(); });
  };
  Client handle(&Sink::Call, &sink);
  ASSERT_NE(handle.get(), nullptr);
  Session(handle, Id(kFirstAddress), checker_);
  ASSERT_EQ(checker_.problems.load(), 0) << checker_.Report();
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(handle);
  ASSERT_TRUE(Eventually([&] { return in_sink.load(); }));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Do(handle, VELMORABLE_METHOD_DISCONNECT), 301);
  EXPECT_EQ(LastError(handle), "Timeout.");
  released = true;
  EXPECT_STREQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_SERVER_ID, 0)), "");
  handle.Destroy();
}

// A ServerUpdate sink asks for the subscription state, which nothing has listed, so the query asks the device
// (whose CCCD another client holds on); its answer comes only once Disconnect has given up waiting for that
// delivery and emptied the subscription list: the query is cut short (608), the answer lists nothing, and the
// next connection starts with no subscription listed.
TEST_F(ThreadsTest, NoSubscriptionOutlastsItsConnection) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    std::atomic<bool> armed{false};
    std::atomic<bool> asking{false};
    std::atomic<int> answered{-1};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    if (id != VELMORABLE_EVENT_SERVER_UPDATE || !ctx->armed.exchange(false)) return 0;
    ctx->asking = true;
    intptr_t query[2] = {0, 0};  // the first characteristic of the selected service
    int32_t sizes[2] = {0, 0};
    ctx->answered = VelmoraBLE_BLEClient_Do(ctx->handle, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, query, sizes);
    return 0;
  };
  Client client(sink, &context);
  context.handle = client;
  ASSERT_NE(client.get(), nullptr);
  // The other client holds the device's CCCD on.
  Client other([](void*, int32_t, int32_t, intptr_t*, int32_t*) -> int32_t { return 0; }, nullptr);
  ASSERT_NE(other.get(), nullptr);
  ASSERT_EQ(Do(other, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(other);
  {
    intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                            reinterpret_cast<intptr_t>("")};
    int32_t sizes[4] = {0, 0, 0, 0};
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(other);
    intptr_t subscribe[2] = {reinterpret_cast<intptr_t>("000100000000"), reinterpret_cast<intptr_t>("000100030000")};
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(other, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes), 0) << LastError(other);
  }
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(client);
  {
    intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                            reinterpret_cast<intptr_t>("")};
    int32_t sizes[4] = {0, 0, 0, 0};
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(client);
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>("000100000000")), 0);
  }
  const int read_rule = radio_->AddFault({.op = bt::sim::SimOp::kReadCccd, .hold = true});
  constexpr const char kReadCccd[] = "GattCharacteristic.ReadClientCharacteristicConfigurationDescriptorAsync";
  const size_t reads_before = radio_->CallCount(kReadCccd);
  context.armed = true;
  radio_->SetName(kFirstAddress, u"Renamed");
  ASSERT_TRUE(Eventually([&] { return context.asking.load(); }));
  // The sink's read waits under the Timeout it finds when its wait begins (60 s): Timeout is lowered for
  // Disconnect only once that wait is under way.
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount(kReadCccd) > reads_before; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 301);
  radio_->Release(read_rule);
  EXPECT_TRUE(Eventually([&] { return context.answered.load() != -1; }));
  EXPECT_EQ(context.answered.load(), 608);  // the answer came for a connection that had gone

  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(client);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1, reinterpret_cast<intptr_t>("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(client);
  std::string tree;
  EXPECT_EQ(Config(client, "GattObjTreeInfo", &tree), 0);
  EXPECT_EQ(tree.find("Subscribed=True"), std::string::npos) << tree;
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// A sink (one that changes its filter, say) stops the scan and at once starts a new one from an Advertisement
// (or, when the start finds the old scan still stopping, from its StopScan), round after round: each scan's
// StopScan comes before the next one's StartScan, and no Advertisement comes between them.
TEST_F(OneEventThreadTest, ASinkThatRestartsItsScanSeesOneScanAfterTheOther) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  // Each start takes the radio a moment, so that advertisements come while StartScanning waits for it.
  radio_->SetWatcherTiming(10, 1);
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    ScanOrder order;
    std::atomic<int> restarts{0};
    std::atomic<bool> restart_on_stop_scan{false};
    std::atomic<int> failures{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    ctx->order.Enter(id);
    const bool restart = (id == VELMORABLE_EVENT_ADVERTISEMENT && ctx->restarts.load() < 20) ||
                         (id == VELMORABLE_EVENT_STOP_SCAN && ctx->restart_on_stop_scan.exchange(false));
    if (!restart) return 0;
    if (id == VELMORABLE_EVENT_ADVERTISEMENT) {
      ++ctx->restarts;
      if (Do(ctx->handle, VELMORABLE_METHOD_STOP_SCANNING) != 0) ++ctx->failures;
      // Until Scanning reads 0 (briefly: the radio stops at once), so that the start finds the scan stopped.
      for (int i = 0; i < 1000 && VelmoraBLE_BLEClient_Get(ctx->handle, VELMORABLE_PROP_SCANNING, 0) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    const int started = Do(ctx->handle, VELMORABLE_METHOD_START_SCANNING, "");
    if (started == 614) {
      ctx->restart_on_stop_scan = true;
    } else if (started != 0) {
      ++ctx->failures;
    }
    return 0;
  };
  Client handle(sink, &context);
  context.handle = handle;
  ASSERT_NE(handle.get(), nullptr);
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(handle);
  EXPECT_TRUE(Eventually([&] { return context.restarts.load() >= 20; }));
  radio_->WaitIdle();
  EXPECT_EQ(Do(handle, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(handle);
  radio_->WaitIdle();
  handle.Destroy();
  EXPECT_EQ(context.failures.load(), 0);
  EXPECT_EQ(context.order.Crossings(), "");
}

// One event thread delivers to two clients: the first takes a value every millisecond and its sink blocks for
// 100 ms on each while the application restarts the second client's scan. Starting and stopping a scan are
// the radio's business and do not wait behind the values queued for the busy sink; the restarted scan
// delivers once that backlog has drained, after the StopScan of the scan before.
class ScanRestartBesideABusySink : public RadioFixture<1> {};

TEST_F(ScanRestartBesideABusySink, StopAndStartDoNotWaitForQueuedValues) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));
  radio_->SetWatcherTiming(10, 10);  // both transitions of the watcher wait for the radio
  struct Busy {
    std::atomic<bool> busy{false};
    std::atomic<int> blocked{0};
  } busy;
  auto busy_sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* self = static_cast<Busy*>(raw);
    if (id == VELMORABLE_EVENT_VALUE && self->busy.load()) {
      ++self->blocked;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
  };
  Checker checker;
  Sink scan_sink;
  Client subscriber(busy_sink, &busy);
  Client scanner(&Sink::Call, &scan_sink);
  ASSERT_NE(subscriber.get(), nullptr);
  ASSERT_NE(scanner.get(), nullptr);
  Session(subscriber, Id(kFirstAddress), checker);
  ASSERT_EQ(checker.problems.load(), 0) << checker.Report();
  ASSERT_EQ(Do(subscriber, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(subscriber);
  ASSERT_EQ(Do(scanner, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(scanner);
  ASSERT_TRUE(scan_sink.WaitFor(VELMORABLE_EVENT_ADVERTISEMENT));
  // A stop that waited for the busy sink would wait for as long as it stays busy: Timeout ends it with 301.
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(scanner, VELMORABLE_PROP_TIMEOUT, 0, 2), 0);
  busy.busy.store(true);
  ASSERT_TRUE(Eventually([&] { return busy.blocked.load() >= 2; })) << "the subscriber's sink never got a value";

  const Clock::time_point before_stop = Clock::now();
  const int stopped = Do(scanner, VELMORABLE_METHOD_STOP_SCANNING);
  const std::string stop_text = LastError(scanner);
  const intptr_t scanning_after_stop = VelmoraBLE_BLEClient_Get(scanner, VELMORABLE_PROP_SCANNING, 0);
  const Clock::time_point before_start = Clock::now();
  const int started = Do(scanner, VELMORABLE_METHOD_START_SCANNING, "");
  const Clock::time_point after_start = Clock::now();
  const intptr_t scanning_after_start = VelmoraBLE_BLEClient_Get(scanner, VELMORABLE_PROP_SCANNING, 0);
  busy.busy.store(false);
  auto ms = [](Clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  std::printf("StopScanning %lld ms, StartScanning %lld ms, values blocked meanwhile %d\n",
              ms(before_start - before_stop), ms(after_start - before_start), busy.blocked.load());
  EXPECT_EQ(stopped, 0) << stop_text;
  EXPECT_EQ(scanning_after_stop, 0);
  EXPECT_EQ(started, 0) << LastError(scanner);
  EXPECT_EQ(scanning_after_start, 1);
  EXPECT_EQ(scan_sink.Of(VELMORABLE_EVENT_START_SCAN).size(), 2u);

  // The first scan's StopScan came before the new scan's StartScan, while its Stopped event waits behind the
  // backlog; the new scan's advertisements come once the backlog has drained, and none of the first scan's.
  const std::vector<Event> at_start = scan_sink.Events();
  const auto starts = [](const Event& event) { return event.id == VELMORABLE_EVENT_START_SCAN; };
  const auto second_start = std::find_if(std::find_if(at_start.begin(), at_start.end(), starts) + 1, at_start.end(), starts);
  EXPECT_TRUE(second_start != at_start.end() && std::any_of(at_start.begin(), second_start, [](const Event& event) {
                return event.id == VELMORABLE_EVENT_STOP_SCAN;
              }));
  const size_t new_scan_from = static_cast<size_t>(second_start - at_start.begin());
  const bool advertised = Eventually([&] {
    const std::vector<Event> events = scan_sink.Events();
    return std::any_of(events.begin() + static_cast<std::ptrdiff_t>(std::min(new_scan_from, events.size())), events.end(),
                       [](const Event& event) { return event.id == VELMORABLE_EVENT_ADVERTISEMENT; });
  });
  const Clock::time_point delivered = Clock::now();
  EXPECT_TRUE(advertised);
  std::printf("first advertisement of the new scan %lld ms after StartScanning returned\n",
              ms(delivered - after_start));
  EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(scanner);
  EXPECT_EQ(Do(subscriber, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(subscriber);
  scanner.Destroy();
  subscriber.Destroy();
}

// ---- Destroy, pairing, Timeout and subscriptions across threads --------------------------------------------

constexpr char kHeartRate[] = "000100000000";
constexpr char kMeasurement[] = "000100030000";

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// OnCharacteristic runs method (Subscribe, Unsubscribe, ReadValue) on the measurement of the heart rate service.
int OnCharacteristic(VelmoraBLE_BLEClient* handle, int32_t method) {
  intptr_t params[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                        reinterpret_cast<intptr_t>(""), 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  return VelmoraBLE_BLEClient_Do(handle, method, 4, params, sizes);
}

// SubscriptionState gives QuerySubscriptionState of the selected service's first characteristic, or -1 when
// it fails.
int SubscriptionState(VelmoraBLE_BLEClient* handle) {
  intptr_t params[2] = {0, 0};
  int32_t sizes[2] = {0, 0};
  const int rc = VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, 2, params, sizes);
  return rc == 0 ? static_cast<int>(params[1]) : -1;
}

// RadioWithChecker is RadioFixture with a Checker for Session.
template <int EventThreads>
class RadioWithChecker : public RadioFixture<EventThreads> {
 protected:
  // Subscribed runs Session on handle with the busy peripheral at address (connected, the heart rate service
  // selected, its measurement subscribed to) and stops the scan that Session starts.
  void Subscribed(VelmoraBLE_BLEClient* handle, uint64_t address) {
    Session(handle, Id(address), checker_);
    ASSERT_EQ(checker_.problems.load(), 0) << checker_.Report();
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(handle);
  }

  Checker checker_;
};

// ActOnAValue is a sink that counts Values and runs act once, inside the first Value after armed is set, on
// the platform thread that delivers it.
struct ActOnAValue {
  std::function<void()> act;
  std::atomic<bool> armed{false};
  std::atomic<int> values{0};

  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
    auto* self = static_cast<ActOnAValue*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    ++self->values;
    if (self->armed.exchange(false)) self->act();
    return 0;
  }
};

// EndHung ends the test program when clients are stuck for good: they cannot be torn down.
[[noreturn]] void EndHung(const char* what) {
  std::fprintf(stderr, "%s: still waiting after 10 s; the clients cannot be destroyed, ending here\n", what);
  std::fflush(nullptr);
  std::abort();
}

// The sink trims the PIN it reads back from the record and sets it again, in both kinds, by copy and by
// reference, each time from a text that the record itself owns (a copy that GET made): the set takes the text
// before it lets go of that copy, and the device gets the PIN whole.
class PinSetFromItsOwnRecord : public RadioFixture<1> {};

TEST_F(PinSetFromItsOwnRecord, ReachesTheDeviceWhole) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  auto sink = [](void*, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    auto* record = reinterpret_cast<VelmoraBLE_EventString*>(params[2]);
    auto get = [record](int32_t kind) { return VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, kind); };
    (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, "   123456", VELMORABLE_EVTSTR_NARROW);
    const auto* wide = static_cast<const char16_t*>(get(VELMORABLE_EVTSTR_UTF16));
    if (wide == nullptr) return 1;
    (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, wide + 1, VELMORABLE_EVTSTR_UTF16);
    const auto* narrow = static_cast<const char*>(get(VELMORABLE_EVTSTR_NARROW));
    if (narrow == nullptr) return 1;
    (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, narrow + 1, VELMORABLE_EVTSTR_NARROW);
    narrow = static_cast<const char*>(get(VELMORABLE_EVTSTR_NARROW));
    if (narrow == nullptr) return 1;
    (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_REFERENCE, narrow + 1, VELMORABLE_EVTSTR_NARROW);
    params[3] = 1;
    return 0;
  };
  Client client(sink, nullptr);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(client);
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// Notifications every millisecond queue up on the radio's one event thread behind a sink that takes 2 ms
// each, and the application unsubscribes. Once Unsubscribe has returned 0, no Value of the characteristic is
// in the sink or comes later; its state reads 0 as the device's CCCD does; the next Subscribe writes the CCCD
// and the values come again.
class UnsubscribeBehindASlowSink : public RadioWithChecker<1> {};

TEST_F(UnsubscribeBehindASlowSink, NoValueFollowsAndTheNextSubscribeWritesTheCccd) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    std::atomic<bool> slow{true};
    std::atomic<bool> unsubscribed{false};
    std::atomic<int> values{0};
    std::atomic<int> late{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    ++ctx->values;
    if (ctx->slow.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (ctx->unsubscribed.load()) ++ctx->late;
    return 0;
  };
  Client client(sink, &context);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  ASSERT_EQ(SubscriptionState(client), 1);
  ASSERT_TRUE(Eventually([&] { return context.values.load() >= 50; }));
  ASSERT_EQ(OnCharacteristic(client, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(client);
  context.unsubscribed = true;
  const int at_unsubscribe = context.values.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(context.late.load(), 0) << "of " << context.values.load() << " values";
  EXPECT_EQ(context.values.load(), at_unsubscribe);
  EXPECT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 0);
  EXPECT_EQ(SubscriptionState(client), 0);

  context.slow = false;
  context.unsubscribed = false;
  constexpr const char kWriteCccd[] =
      "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync";
  const size_t writes = radio_->CallCount(kWriteCccd);
  EXPECT_EQ(OnCharacteristic(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  EXPECT_EQ(radio_->CallCount(kWriteCccd), writes + 1);
  EXPECT_EQ(SubscriptionState(client), 1);
  EXPECT_TRUE(Eventually([&] { return context.values.load() > at_unsubscribe + 10; }));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// Two clients subscribe to one characteristic of one device; the first unsubscribes. Its state reads 0 as its
// Unsubscribe left it, though the device's CCCD stays on for the second client, and the second's reads 1.
class UnsubscribeBesideAnotherSubscriber : public RadioWithChecker<1> {};

TEST_F(UnsubscribeBesideAnotherSubscriber, ListsTheStateItLeft) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  auto sink = [](void*, int32_t, int32_t, intptr_t*, int32_t*) -> int32_t { return 0; };
  Client first(sink, nullptr);
  Client second(sink, nullptr);
  ASSERT_NE(first.get(), nullptr);
  ASSERT_NE(second.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(first, kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second, kFirstAddress));
  ASSERT_EQ(OnCharacteristic(first, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first);
  EXPECT_NE(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 0);
  EXPECT_EQ(SubscriptionState(first), 0);
  EXPECT_EQ(SubscriptionState(second), 1);
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first);
  EXPECT_EQ(Do(second, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(second);
}

// B's application thread reads B's characteristic over and over; the Value of each read runs B's sink on that
// thread, and the sink reads past the end of A's services while A's application thread runs ProcessEvents.
// The sink's call keeps its results apart, as on a platform thread: it reads its own 432, A's thread reads
// its own 0, and once A's thread has stopped a last such read still leaves A's last error alone.
TEST_F(ThreadsTest, ASinkInsideAnotherClientsMethodLeavesThatClientsResultsAlone) {
  SimPeripheral readable = BusyPeripheral(kFirstAddress);
  readable.gatt.services[0].characteristics[0].properties = 0x12;  // Read and Notify
  radio_->AddPeripheral(readable);
  struct Context {
    VelmoraBLE_BLEClient* a = nullptr;
    Checker* checker = nullptr;
    std::atomic<int> values{0};
  } context;
  context.checker = &checker_;
  auto sink_b = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    (void)VelmoraBLE_BLEClient_Get(ctx->a, VELMORABLE_PROP_SERVICE_ID, 5);
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->a);
    if (code != 432) ctx->checker->Problem("sink: the last error code of its Get is " + std::to_string(code));
    ++ctx->values;
    return 0;
  };
  Client a(nullptr, nullptr);
  Client b(sink_b, &context);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  context.a = a;
  ASSERT_EQ(Config(a, "SelectWaitMillis=1"), 0);
  ASSERT_EQ(Do(b, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(b);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1, reinterpret_cast<intptr_t>("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(b, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(b);

  std::atomic<bool> stop{false};
  std::thread a_thread([&] {
    while (!stop.load() && checker_.problems.load() == 0) {
      const int rc = Do(a, VELMORABLE_METHOD_PROCESS_EVENTS);
      const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(a);
      if (rc != 0 || code != 0) {
        checker_.Problem("application A: ProcessEvents gave " + std::to_string(rc) + ", then the last error " +
                         std::to_string(code));
      }
    }
  });
  for (int i = 0; i < 500 && checker_.problems.load() == 0; ++i) {
    if (OnCharacteristic(b, VELMORABLE_METHOD_READ_VALUE) != 0) checker_.Problem("ReadValue: " + LastError(b));
  }
  stop.store(true);
  a_thread.join();
  EXPECT_EQ(OnCharacteristic(b, VELMORABLE_METHOD_READ_VALUE), 0) << LastError(b);
  EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(a), 0);
  EXPECT_EQ(LastError(a), "");
  EXPECT_EQ(checker_.problems.load(), 0) << checker_.Report();
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
}

// B's application thread runs Discover, whose Discovered events run B's sink on that thread, and the sink reads
// past the end of A's services in each of them. Each event's calls on A start afresh, as on a platform thread:
// before its read the sink finds code 0 and "", never the 432 that its read in the event before left; and A's
// own last error, that of its own failing read before, is still there once Discover has returned.
TEST_F(ThreadsTest, ASinksCallsOnAnotherClientStartEachEventWithCode0OnTheApplicationsThread) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* a = nullptr;
    int events = 0;
    std::vector<std::string> problems;
  } context;
  auto sink_b = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_DISCOVERED) return 0;
    const std::string event = "event " + std::to_string(++ctx->events) + ": ";
    const int32_t before = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->a);
    const std::string text_before = LastError(ctx->a);
    if (before != 0 || !text_before.empty()) {
      ctx->problems.push_back(event + "A's last error is " + std::to_string(before) + " \"" + text_before + "\"");
    }
    (void)VelmoraBLE_BLEClient_Get(ctx->a, VELMORABLE_PROP_SERVICE_ID, 5);
    const int32_t after = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->a);
    if (after != 432) ctx->problems.push_back(event + "its Get left " + std::to_string(after));
    return 0;
  };
  Client a(nullptr, nullptr);
  Client b(sink_b, &context);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  context.a = a;
  (void)VelmoraBLE_BLEClient_Get(a, VELMORABLE_PROP_SERVICE_ID, 7);
  ASSERT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(a), 432);
  const std::string own_text = LastError(a);
  ASSERT_FALSE(own_text.empty());

  ASSERT_EQ(Do(b, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(b);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1, reinterpret_cast<intptr_t>("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(b, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(b);
  EXPECT_GE(context.events, 3);
  EXPECT_EQ(context.problems, std::vector<std::string>{});
  EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(a), 432);
  EXPECT_EQ(LastError(a), own_text);
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
}

// The device's name changes: one platform callback raises a Log line and then ServerUpdate. The Log sink reads past
// the end of its own client's services (432); ServerUpdate is another event, and its calls on the client start
// with code 0 and "", as each event's do, not with what the Log sink's call left.
TEST_F(ThreadsTest, ASinksCallsOnItsOwnClientStartEachPlatformEventWithCode0) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* client = nullptr;
    std::mutex mutex;
    std::vector<std::string> seen;
    std::atomic<bool> updated{false};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_LOG && id != VELMORABLE_EVENT_SERVER_UPDATE) return 0;
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->client);
    const std::string text = VelmoraBLE_BLEClient_GetLastError(ctx->client);
    {
      std::lock_guard lock(ctx->mutex);
      ctx->seen.push_back(std::string(id == VELMORABLE_EVENT_LOG ? "Log " : "ServerUpdate ") + std::to_string(code) +
                          " \"" + text + "\"");
    }
    if (id == VELMORABLE_EVENT_LOG) (void)VelmoraBLE_BLEClient_Get(ctx->client, VELMORABLE_PROP_SERVICE_ID, 5);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE) ctx->updated = true;
    return 0;
  };
  Client client(sink, &context);
  ASSERT_NE(client.get(), nullptr);
  context.client = client;
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(client);
  ASSERT_EQ(Config(client, "LogLevel=2"), 0);
  {
    std::lock_guard lock(context.mutex);
    context.seen.clear();
  }
  radio_->SetName(kFirstAddress, u"Renamed");
  ASSERT_TRUE(Eventually([&] { return context.updated.load(); }));
  {
    std::lock_guard lock(context.mutex);
    EXPECT_EQ(context.seen, (std::vector<std::string>{"Log 0 \"\"", "ServerUpdate 0 \"\""}));
  }
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// A WriteValue of the CCCD that turns notifications off stops them as Unsubscribe does, and Unsubscribe keeps
// its promise whatever the listed state: after such a write, with notifications queued on the radio's one event
// thread behind a slow sink, no Value comes once Unsubscribe has returned 0; and after an Unsubscribe whose wait
// for a Value in the sink ran out (301), the next one returns 0 only once that Value has left the sink.
class UnsubscribeListedAsUnsubscribed : public RadioWithChecker<1> {};

TEST_F(UnsubscribeListedAsUnsubscribed, StopsAndWaitsForTheValuesAllTheSame) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    std::atomic<bool> slow{true};
    std::atomic<bool> hold{false};  // the next Value stays in the sink until released
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    std::atomic<bool> unsubscribed{false};
    std::atomic<int> values{0};
    std::atomic<int> late{0};
    std::atomic<int> inside{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    ++ctx->inside;
    ++ctx->values;
    if (ctx->slow.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (ctx->hold.exchange(false)) {
      ctx->held = true;
      (void)Eventually([&] { return ctx->released.load(); });
    }
    if (ctx->unsubscribed.load()) ++ctx->late;
    --ctx->inside;
    return 0;
  };
  Client client(sink, &context);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  ASSERT_EQ(SubscriptionState(client), 1);
  ASSERT_TRUE(Eventually([&] { return context.values.load() >= 50; }));
  uint8_t off[2] = {0, 0};
  intptr_t write[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                       reinterpret_cast<intptr_t>("000100030004"), reinterpret_cast<intptr_t>(off)};
  int32_t write_sizes[4] = {0, 0, 0, 2};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_WRITE_VALUE, 4, write, write_sizes), 0)
      << LastError(client);
  ASSERT_EQ(OnCharacteristic(client, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(client);
  context.unsubscribed = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(context.late.load(), 0) << "of " << context.values.load() << " values";

  context.slow = false;
  context.unsubscribed = false;
  ASSERT_EQ(OnCharacteristic(client, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(client);
  const int subscribed_at = context.values.load();
  ASSERT_TRUE(Eventually([&] { return context.values.load() > subscribed_at + 10; }));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  context.hold = true;
  ASSERT_TRUE(Eventually([&] { return context.held.load(); }));
  EXPECT_EQ(OnCharacteristic(client, VELMORABLE_METHOD_UNSUBSCRIBE), 301) << LastError(client);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    context.released = true;
  });
  const int again = OnCharacteristic(client, VELMORABLE_METHOD_UNSUBSCRIBE);
  const int inside = context.inside.load();
  release.join();
  EXPECT_EQ(again, 0) << LastError(client);
  EXPECT_EQ(inside, 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// Unsubscribe with no ids ends every subscription with one wait bounded by Timeout: a Value of each of two
// characteristics stays in the sink, and Unsubscribe gives up on both after one Timeout, not one each.
class UnsubscribeFromEverything : public RadioWithChecker<4> {};

TEST_F(UnsubscribeFromEverything, WaitsOneTimeoutForAllTheValuesLeft) {
  SimPeripheral peripheral = BusyPeripheral(kFirstAddress);
  bt::sim::SimCharacteristic level = Characteristic(0x0012, 0x2A19, 0x10);
  level.descriptors.push_back({0x0013, bt::BluetoothBaseUuid(0x2902), {0, 0}});
  peripheral.gatt.services[1].characteristics.push_back(level);
  peripheral.periodic_values.push_back({0x0012, 1, false, {{0x50}, {0x51}}});
  radio_->AddPeripheral(std::move(peripheral));
  struct Context {
    std::mutex mutex;
    std::vector<std::string> held;  // the characteristics that have a Value in the sink
    std::atomic<bool> released{false};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    {
      std::lock_guard lock(ctx->mutex);
      const std::string characteristic = reinterpret_cast<const char*>(params[1]);
      if (ctx->released.load() ||
          std::find(ctx->held.begin(), ctx->held.end(), characteristic) != ctx->held.end()) {
        return 0;
      }
      ctx->held.push_back(characteristic);
    }
    (void)Eventually([&] { return ctx->released.load(); });
    return 0;
  };
  Client client(sink, &context);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  intptr_t subscribe[2] = {reinterpret_cast<intptr_t>("001000000000"), reinterpret_cast<intptr_t>("001000120000")};
  int32_t sizes[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes), 0)
      << LastError(client);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(context.mutex);
    return context.held.size() == 2;
  }));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  intptr_t none[2] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>("")};
  const Clock::time_point start = Clock::now();
  const int unsubscribed = VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_UNSUBSCRIBE, 2, none, sizes);
  const int64_t unsubscribe_ms = MillisecondsSince(start);
  context.released = true;
  EXPECT_EQ(unsubscribed, 301) << LastError(client);
  EXPECT_LT(unsubscribe_ms, 1700);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// ---- Subscriptions of two clients of one device ------------------------------------------------------------

// Recorder is a client's sink that counts the Values of notifications (ReadValue's Value names a descriptor or
// comes on the application's thread; notifications name none) and keeps the subscription events and errors
// in order, as "Subscribed <id>", "Unsubscribed <id>" and "Error <code> <text>". on_log and on_server_update,
// when set before the client connects, run inside each Log (with its text) and ServerUpdate event.
struct Recorder {
  std::atomic<int> values{0};
  std::mutex mutex;
  std::vector<std::string> events;
  std::function<void(const std::string&)> on_log;
  std::function<void()> on_server_update;
  std::function<void()> on_subscribed;  // runs inside each Subscribed event, after it is recorded

  static int32_t Call(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<Recorder*>(raw);
    auto text = [params](int slot) { return std::string(reinterpret_cast<const char*>(params[slot])); };
    std::string event;
    if (id == VELMORABLE_EVENT_VALUE) {
      if (text(2).empty()) ++self->values;
      return 0;
    }
    if (id == VELMORABLE_EVENT_LOG && self->on_log) self->on_log(text(1));
    if (id == VELMORABLE_EVENT_SERVER_UPDATE && self->on_server_update) self->on_server_update();
    if (id == VELMORABLE_EVENT_SUBSCRIBED) event = "Subscribed " + text(1);
    if (id == VELMORABLE_EVENT_UNSUBSCRIBED) event = "Unsubscribed " + text(1);
    if (id == VELMORABLE_EVENT_ERROR) event = "Error " + std::to_string(params[0]) + " " + text(1);
    if (event.empty()) return 0;
    {
      std::lock_guard lock(self->mutex);
      self->events.push_back(event);
    }
    if (id == VELMORABLE_EVENT_SUBSCRIBED && self->on_subscribed) self->on_subscribed();
    return 0;
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex);
    return events;
  }
  // GetsValues tells whether more than ten Values come within ten seconds.
  bool GetsValues() {
    const int from = values.load();
    return Eventually([&] { return values.load() > from + 10; });
  }
  // GetsNoValue tells whether no Value comes for 300 ms.
  bool GetsNoValue() {
    const int from = values.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return values.load() == from;
  }
};

constexpr char kWriteCccdApi[] = "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorWithResultAsync";

// StartsWith tells whether line begins with prefix.
bool StartsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

class SubscriptionsOfTwoClients : public RadioWithChecker<1> {
 protected:
  void SetUp() override {
    RadioWithChecker<1>::SetUp();
    first_client_ = std::make_unique<Client>(&Recorder::Call, &first_events_);
    second_client_ = std::make_unique<Client>(&Recorder::Call, &second_events_);
    first_ = *first_client_;
    second_ = *second_client_;
    ASSERT_NE(first_, nullptr);
    ASSERT_NE(second_, nullptr);
  }
  void TearDown() override {
    first_client_.reset();
    second_client_.reset();
    RadioWithChecker<1>::TearDown();
  }
  // Discovered connects handle to the busy peripheral, discovers it and selects the heart rate service,
  // subscribing to nothing.
  void Discovered(VelmoraBLE_BLEClient* handle) {
    ASSERT_EQ(Do(handle, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(handle);
    ASSERT_NO_FATAL_FAILURE(Rediscovered(handle));
  }
  // Rediscovered discovers handle's device again and selects the heart rate service.
  void Rediscovered(VelmoraBLE_BLEClient* handle) {
    intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                            reinterpret_cast<intptr_t>("")};
    int32_t sizes[4] = {0, 0, 0, 0};
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(handle);
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate)), 0);
  }
  size_t CccdWrites() { return radio_->CallCount(kWriteCccdApi); }
  // ExpectASubscribeThatAsksAndBringsValues subscribes A, expecting it to write the CCCD and Values to come.
  void ExpectASubscribeThatAsksAndBringsValues() {
    const size_t writes = CccdWrites();
    ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
    EXPECT_EQ(CccdWrites(), writes + 1);
    EXPECT_TRUE(first_events_.GetsValues());
  }
  // AtResultOf runs act in A's sink once, in the Log line of the successful result of the platform call that
  // the Log line beginning with `begins` announced; step goes from 0 to 1 at that line and to 2 as act runs.
  void AtResultOf(const char* begins, std::atomic<int>& step, std::function<void()> act) {
    first_events_.on_log = [begins, &step, act = std::move(act)](const std::string& line) {
      if (step.load() == 0 && StartsWith(line, begins)) step = 1;
      if (step.load() != 1 || !StartsWith(line, "BLE Result Status: Success")) return;
      step = 2;
      act();
    };
  }

  Recorder first_events_;
  Recorder second_events_;
  std::unique_ptr<Client> first_client_;
  std::unique_ptr<Client> second_client_;
  VelmoraBLE_BLEClient* first_ = nullptr;   // A
  VelmoraBLE_BLEClient* second_ = nullptr;  // B
};

// A subscribes, B subscribes, A unsubscribes. A's ReadValue of the CCCD finds it on (for B): the read lists
// nothing and fires nothing, A's state reads 0 as its Unsubscribe left it, and A's next Subscribe brings A
// the device's Values again.
TEST_F(SubscriptionsOfTwoClients, ACccdReadListsNothingAndTheNextSubscribeBringsValues) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first_);
  EXPECT_TRUE(first_events_.GetsNoValue());
  intptr_t read[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                      reinterpret_cast<intptr_t>("000100030004"), 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_READ_VALUE, 4, read, sizes), 0) << LastError(first_);
  ASSERT_EQ(sizes[3], 2);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(read[3])[0], 1);
  EXPECT_EQ(SubscriptionState(first_), 0);
  EXPECT_EQ(first_events_.Events(),
            (std::vector<std::string>{"Subscribed 000100030000", "Unsubscribed 000100030000"}));

  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(SubscriptionState(first_), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// B subscribes; A's first query reads the device's CCCD, on for B. A's Subscribe still asks the platform for
// a subscription of A's own, so A's Values go on once B has unsubscribed.
TEST_F(SubscriptionsOfTwoClients, SubscribeAfterAFirstQueryThatReadTheOthersMakesItsOwn) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  EXPECT_EQ(SubscriptionState(first_), 1);
  const size_t writes = CccdWrites();
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(CccdWrites(), writes + 1);
  ASSERT_EQ(OnCharacteristic(second_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(second_);
  EXPECT_TRUE(second_events_.GetsNoValue());
  EXPECT_TRUE(first_events_.GetsValues());
  EXPECT_EQ(SubscriptionState(first_), 1);
}

// B subscribes; A, connected to the same device with the characteristic discovered, never subscribes: A's
// sink gets none of the Values that B's gets.
TEST_F(SubscriptionsOfTwoClients, OneThatNeverSubscribedGetsNoValue) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  EXPECT_EQ(SubscriptionState(first_), 0);
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_TRUE(Eventually([&] { return second_events_.values.load() >= 100; }));
  EXPECT_EQ(first_events_.values.load(), 0);
  EXPECT_EQ(SubscriptionState(first_), 0);
}

// The measurement has Notify and Indicate. B subscribes (notifications); A prefers indications and
// subscribes. The device notifies, and both get its Values.
TEST_F(SubscriptionsOfTwoClients, OneThatPrefersIndicationsGetsTheOthersNotificationsToo) {
  SimPeripheral peripheral = BusyPeripheral(kFirstAddress);
  peripheral.gatt.services[0].characteristics[0].properties |= bt::GattCharacteristicProperties::Indicate;
  radio_->AddPeripheral(std::move(peripheral));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(Config(first_, "PreferIndications=1"), 0);
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 3);
  EXPECT_TRUE(second_events_.GetsValues());
  EXPECT_TRUE(first_events_.GetsValues());
}

// The device's database changes under a subscribed client (its CCCDs start over): the subscription that the
// change ended is reported with Error 610 naming the characteristic and then Unsubscribed, its state reads 0,
// and after a discovery the next Subscribe writes the CCCD again and the Values come back.
TEST_F(SubscriptionsOfTwoClients, OneThatAServicesChangeEndedIsReportedAndMadeAgain) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_TRUE(first_events_.GetsValues());
  radio_->ReplaceDatabase(kFirstAddress, BusyPeripheral(kFirstAddress).gatt);
  const std::vector<std::string> ended = {
      "Subscribed 000100030000",
      "Error 610 Notifications of characteristic ID \"000100030000\" ended: the device's services changed.",
      "Unsubscribed 000100030000"};
  EXPECT_TRUE(Eventually([&] { return first_events_.Events().size() >= ended.size(); }));
  EXPECT_EQ(first_events_.Events(), ended);
  EXPECT_EQ(SubscriptionState(first_), 0);

  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                          reinterpret_cast<intptr_t>("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(first_);
  const size_t writes = CccdWrites();
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(CccdWrites(), writes + 1);
  EXPECT_EQ(SubscriptionState(first_), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// WriteCccd writes low (and a high byte 0) to the measurement's CCCD with WriteValue.
int WriteCccd(VelmoraBLE_BLEClient* handle, uint8_t low) {
  uint8_t bytes[2] = {low, 0};
  intptr_t params[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                        reinterpret_cast<intptr_t>("000100030004"), reinterpret_cast<intptr_t>(bytes)};
  int32_t sizes[4] = {0, 0, 0, 2};
  return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_WRITE_VALUE, 4, params, sizes);
}

// B subscribes. A turns its notifications on and off again by WriteValues of the CCCD, with nothing listed
// before: A's state reads 0 as the writes left it (the device's CCCD stays on for B), and A's Unsubscribe
// then asks the platform nothing and raises no second Unsubscribed. In A's next connection a write turns them
// on: A's Subscribe asks nothing and raises no second Subscribed.
TEST_F(SubscriptionsOfTwoClients, ACccdWriteListsTheStateItLeaves) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(second_));
  ASSERT_EQ(OnCharacteristic(second_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(second_);
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(WriteCccd(first_, 1), 0) << LastError(first_);
  ASSERT_EQ(WriteCccd(first_, 0), 0) << LastError(first_);
  EXPECT_EQ(SubscriptionState(first_), 0);
  size_t writes = CccdWrites();
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(CccdWrites(), writes);

  ASSERT_EQ(Do(first_, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first_);
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(WriteCccd(first_, 1), 0) << LastError(first_);
  writes = CccdWrites();
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(CccdWrites(), writes);
  EXPECT_TRUE(first_events_.GetsValues());
  EXPECT_EQ(first_events_.Events(), (std::vector<std::string>{"Subscribed 000100030000", "Unsubscribed 000100030000",
                                                              "Subscribed 000100030000"}));
}

// B subscribes. The device refuses A's Subscribe, and then A's WriteValue of the CCCD, each after a round trip
// of 300 ms (Insufficient Authentication): A never held a subscription, so none of B's Values reaches A,
// neither while A waited nor after.
TEST_F(SubscriptionsOfTwoClients, ARefusedSubscribeBringsNoValueOfTheOthers) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_TRUE(second_events_.GetsValues());
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .delay_ms = 300, .protocol_error = 0x05});
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 705) << LastError(first_);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteDescriptor, .delay_ms = 300, .protocol_error = 0x05});
  EXPECT_EQ(WriteCccd(first_, 1), 705) << LastError(first_);
  EXPECT_TRUE(first_events_.GetsNoValue());
  EXPECT_EQ(first_events_.values.load(), 0);
}

// The device's services change while A's Unsubscribe waits for its CCCD write: the change ends the
// subscription (Error 610, Unsubscribed), and the Unsubscribe that returns afterwards ends nothing more.
TEST_F(SubscriptionsOfTwoClients, OneThatAServicesChangeEndsDuringItsUnsubscribeEndsOnce) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_TRUE(first_events_.GetsValues());
  const std::vector<std::string> ended = {
      "Subscribed 000100030000",
      "Error 610 Notifications of characteristic ID \"000100030000\" ended: the device's services changed.",
      "Unsubscribed 000100030000"};
  const size_t asked = CccdWrites();
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .hold = true});
  std::thread radio_side([&] {
    EXPECT_TRUE(Eventually([&] { return CccdWrites() > asked; }));
    radio_->ReplaceDatabase(kFirstAddress, BusyPeripheral(kFirstAddress).gatt);
    EXPECT_TRUE(Eventually([&] { return first_events_.Events().size() >= ended.size(); }));
    radio_->Release(hold);
  });
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first_);
  radio_side.join();
  EXPECT_EQ(first_events_.Events(), ended);
}

// A subscribes to the measurement, beside four characteristics whose flags no call has read (each with an
// Extended Properties descriptor that no discovery has found). Unsubscribe without a characteristic id ends
// A's one subscription and asks the device nothing for the others: no descriptor lookup of theirs.
TEST_F(SubscriptionsOfTwoClients, UnsubscribeFromAllAsksNothingForTheOtherCharacteristics) {
  SimPeripheral device = BusyPeripheral(kFirstAddress);
  for (uint16_t handle = 0x0006; handle <= 0x000C; handle += 2) {
    bt::sim::SimCharacteristic other = Characteristic(handle, 0x2A38);
    other.descriptors.push_back({static_cast<uint16_t>(handle + 1), bt::BluetoothBaseUuid(0x2900), {0, 0}});
    device.gatt.services[0].characteristics.push_back(other);
  }
  radio_->AddPeripheral(device);
  ASSERT_EQ(Do(first_, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(first_);
  const intptr_t none = reinterpret_cast<intptr_t>("");
  intptr_t discover[4] = {none, none, 0, none};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(first_);
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  constexpr char kLookup[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";
  const size_t asked = radio_->CallCount(kLookup);
  intptr_t all[2] = {reinterpret_cast<intptr_t>(kHeartRate), none};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_UNSUBSCRIBE, 2, all, sizes), 0) << LastError(first_);
  EXPECT_EQ(radio_->CallCount(kLookup), asked);
  EXPECT_EQ(first_events_.Events(),
            (std::vector<std::string>{"Subscribed 000100030000", "Unsubscribed 000100030000"}));
}

// The device's services change right after it accepted A's subscribing write, while A's sink logs the write's
// result, first in a Subscribe, then in a WriteValue of the CCCD: each call reports its Subscribed, then the
// end (Error 610, Unsubscribed); the state reads 0 and the next Subscribe asks the device again.
TEST_F(SubscriptionsOfTwoClients, AnEndJustAfterTheDeviceAcceptedTheWriteFollowsSubscribed) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> step{0};  // 1 once the subscribing write is asked for, 2 once its result is logged
  first_events_.on_log = [&](const std::string& line) {
    if (step.load() == 0 && (StartsWith(line, "Subscribing to characteristic") ||
                             StartsWith(line, "Writing value to descriptor"))) {
      step = 1;
    }
    if (step.load() != 1 || !StartsWith(line, "BLE Result Status: Success")) return;
    step = 2;
    radio_->ReplaceDatabase(kFirstAddress, BusyPeripheral(kFirstAddress).gatt);
    radio_->WaitIdle();
  };
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  const std::vector<std::string> ended = {
      "Subscribed 000100030000",
      "Error 610 Notifications of characteristic ID \"000100030000\" ended: the device's services changed.",
      "Unsubscribed 000100030000"};
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  ASSERT_EQ(step.exchange(0), 2);
  EXPECT_EQ(first_events_.Events(), ended);
  EXPECT_EQ(SubscriptionState(first_), 0);

  ASSERT_NO_FATAL_FAILURE(Rediscovered(first_));
  ASSERT_EQ(WriteCccd(first_, 1), 0) << LastError(first_);
  ASSERT_EQ(step.exchange(3), 2);
  std::vector<std::string> twice = ended;
  twice.insert(twice.end(), ended.begin(), ended.end());
  EXPECT_EQ(first_events_.Events(), twice);
  EXPECT_EQ(SubscriptionState(first_), 0);
  ExpectASubscribeThatAsksAndBringsValues();
}

// A's first query reads the device's CCCD (0). While A's sink logs that read's result, it subscribes: the
// query answers the state that the Subscribe listed, and leaves it listed.
TEST_F(SubscriptionsOfTwoClients, AFirstQueryLeavesASubscribeMadeMeanwhileListed) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> step{0};  // 1 once the query reads the device, 2 once the sink has subscribed
  std::atomic<int> subscribed{-1};
  AtResultOf("Getting CCCD state", step, [&] {
    subscribed = OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE);
  });
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(Config(first_, "LogLevel=3"), 0);
  EXPECT_EQ(SubscriptionState(first_), 1);
  ASSERT_EQ(step.load(), 2);
  ASSERT_EQ(subscribed.load(), 0);
  EXPECT_EQ(SubscriptionState(first_), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// A services change ends A's subscription while B's sink holds the radio's one event thread, so that the end
// reaches A late. Meanwhile A unsubscribes and subscribes again: the late end is that of the subscription A's
// Unsubscribe ended, and leaves the new one, whose Values come.
TEST_F(SubscriptionsOfTwoClients, ALateEndOfAnEndedSubscriptionLeavesTheNextOne) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<bool> armed{false};
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  second_events_.on_server_update = [&] {
    if (!armed.exchange(false)) return;
    holding = true;
    (void)Eventually([&] { return release.load(); });
  };
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_NO_FATAL_FAILURE(Discovered(second_));
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  ASSERT_TRUE(first_events_.GetsValues());
  armed = true;
  radio_->FireServicesChanged(kFirstAddress);
  ASSERT_TRUE(Eventually([&] { return holding.load(); }));
  radio_->ReplaceDatabase(kFirstAddress, BusyPeripheral(kFirstAddress).gatt);
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  release = true;
  radio_->WaitIdle();
  EXPECT_EQ(first_events_.Events(), (std::vector<std::string>{"Subscribed 000100030000", "Unsubscribed 000100030000",
                                                              "Subscribed 000100030000"}));
  EXPECT_EQ(SubscriptionState(first_), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// A's sink disconnects and connects again while Subscribe's write is answered (in the Log line of its
// result): the subscription was the old connection's, so Subscribe fails with 608 and reports none.
TEST_F(SubscriptionsOfTwoClients, ASubscribeCutShortByAReconnectFailsWith608) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> step{0};  // 1 once the subscribing write is asked for, 2 once the sink has reconnected
  AtResultOf("Subscribing to characteristic", step, [&] {
    EXPECT_EQ(Do(first_, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first_);
    Discovered(first_);
  });
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 608) << LastError(first_);
  ASSERT_EQ(step.load(), 2);
  EXPECT_EQ(first_events_.Events(), std::vector<std::string>{});
}

// ---- Discoveries of one client on two threads --------------------------------------------------------------

// A's sink discovers the device again, without descriptors, in each ServerUpdate (on a platform thread, as a
// program that follows the device's services does) while A's application thread discovers it 300 times with
// descriptors and the device keeps changing its services.
class DiscoveriesOnTwoThreads : public SubscriptionsOfTwoClients {
 protected:
  static int DiscoverAll(VelmoraBLE_BLEClient* handle, intptr_t descriptors) {
    intptr_t params[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), descriptors,
                          reinterpret_cast<intptr_t>("")};
    int32_t sizes[4] = {0, 0, 0, 0};
    return VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, params, sizes);
  }
  // Race gives the errors of the application's discoveries, as "<code> <text>".
  std::vector<std::string> Race() {
    std::atomic<int> updates{0};
    first_events_.on_server_update = [&] {
      (void)DiscoverAll(first_, 0);
      ++updates;
    };
    std::atomic<bool> done{false};
    std::thread device([&] {
      while (!done.load()) {
        radio_->FireServicesChanged(kFirstAddress);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::vector<std::string> errors;
    for (int i = 0; i < 300; ++i) {
      const int rc = DiscoverAll(first_, 1);
      if (rc != 0) errors.push_back(std::to_string(rc) + " " + LastError(first_));
    }
    done = true;
    device.join();
    radio_->WaitIdle();
    first_events_.on_server_update = nullptr;
    EXPECT_GT(updates.load(), 0);
    return errors;
  }
};

// The device includes no service, so no discovery may find a cycle of included services, then or later.
TEST_F(DiscoveriesOnTwoThreads, WithIncludedServicesFindNoCycleOnADeviceWithoutOne) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_EQ(Config(first_, "AutoDiscoverIncludedServices=1"), 0) << LastError(first_);
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  const std::vector<std::string> errors = Race();
  EXPECT_EQ(std::count_if(errors.begin(), errors.end(), [](const std::string& e) { return e.starts_with("609"); }), 0)
      << ::testing::PrintToString(errors);
  EXPECT_EQ(DiscoverAll(first_, 0), 0) << LastError(first_);
}

// Discover's include-descriptors choice is its own: AutoDiscoverDescriptors stays as the program left it.
TEST_F(DiscoveriesOnTwoThreads, LeaveAutoDiscoverDescriptorsAsTheProgramSetIt) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  (void)Race();
  std::string setting;
  ASSERT_EQ(Config(first_, "AutoDiscoverDescriptors", &setting), 0) << LastError(first_);
  EXPECT_EQ(setting, "False");
}

// Another client's sink holds the radio's one event thread while Connect to A waits for its pairing, which
// gives up with 301; then Connect to B pairs. A's request comes only after B's Connect has begun: it is
// refused without reaching the sink, so no Connect bonds A, and the one request the sink sees names B.
class PairingOfAnAbandonedConnect : public RadioFixture<1> {};

TEST_F(PairingOfAnAbandonedConnect, IsRefusedAndTheRequestThatComesNamesItsOwnServer) {
  const uint64_t a = kFirstAddress;
  const uint64_t b = kFirstAddress + 1;
  radio_->AddPeripheral(BusyPeripheral(a));
  radio_->AddPeripheral(BusyPeripheral(b));
  struct Blocker {
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
  } blocker;
  auto blocking_sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* self = static_cast<Blocker*>(raw);
    if (id != VELMORABLE_EVENT_ADVERTISEMENT || self->holding.exchange(true)) return 0;
    (void)Eventually([&] { return self->released.load(); });
    return 0;
  };
  struct Requests {
    std::mutex mutex;
    std::vector<std::string> servers;
  } requests;
  auto pairing_sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    auto* self = static_cast<Requests*>(raw);
    {
      std::lock_guard lock(self->mutex);
      self->servers.emplace_back(reinterpret_cast<const char*>(params[0]));
    }
    AnswerPin(params);
    return 0;
  };
  Client scanner(blocking_sink, &blocker);
  Client client(pairing_sink, &requests);
  ASSERT_NE(scanner.get(), nullptr);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  ASSERT_EQ(Do(scanner, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(scanner);
  ASSERT_TRUE(Eventually([&] { return blocker.holding.load(); }));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(a).c_str()), 301) << LastError(client);

  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 20), 0);
  std::atomic<int> connected{-1};
  std::thread application([&] { connected = Do(client, VELMORABLE_METHOD_CONNECT, Id(b).c_str()); });
  const bool both_asked =
      Eventually([&] { return radio_->CallCount("DeviceInformationCustomPairing.PairAsync") >= 2; });
  blocker.released = true;
  application.join();
  ASSERT_TRUE(both_asked);
  EXPECT_EQ(connected.load(), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(a));
  EXPECT_TRUE(radio_->IsPaired(b));
  {
    std::lock_guard lock(requests.mutex);
    EXPECT_EQ(requests.servers, std::vector<std::string>{Id(b)});
  }
  EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(scanner);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// As above, with the same device for both Connects: another client holds its device object, so the second
// Connect pairs through the same pairing object. The first pairing's request, held up behind the busy event
// thread, comes only once the second Connect waits, which cannot tell it from its own, and the sink accepts
// it; the second pairing then finds the device bonded. That bond was made by an answer of the second Connect,
// so it is removed once the last connection to the device ends.
TEST_F(PairingOfAnAbandonedConnect, OfTheSameDeviceIsRemovedByTheNextConnectsDisconnect) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Blocker {
    std::atomic<bool> holding{false};
    std::atomic<bool> released{false};
  } blocker;
  auto blocking_sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* self = static_cast<Blocker*>(raw);
    if (id != VELMORABLE_EVENT_ADVERTISEMENT || self->holding.exchange(true)) return 0;
    (void)Eventually([&] { return self->released.load(); });
    return 0;
  };
  std::atomic<int> requests{0};
  auto pairing_sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    ++*static_cast<std::atomic<int>*>(raw);
    AnswerPin(params);
    return 0;
  };
  const std::string id = Id(kFirstAddress);
  Client holder(nullptr, nullptr);
  Client scanner(blocking_sink, &blocker);
  Client client(pairing_sink, &requests);
  ASSERT_NE(holder.get(), nullptr);
  ASSERT_NE(scanner.get(), nullptr);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Do(holder, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(holder);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  ASSERT_EQ(Do(scanner, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(scanner);
  ASSERT_TRUE(Eventually([&] { return blocker.holding.load(); }));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()), 301) << LastError(client);

  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 20), 0);
  std::atomic<int> connected{-1};
  std::thread application([&] { connected = Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()); });
  const bool both_asked =
      Eventually([&] { return radio_->CallCount("DeviceInformationCustomPairing.PairAsync") >= 2; });
  blocker.released = true;
  application.join();
  ASSERT_TRUE(both_asked);
  EXPECT_EQ(connected.load(), 0) << LastError(client);
  EXPECT_GE(requests.load(), 1);
  // The holder's connection still uses the bond: the last of the two to disconnect removes it.
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress));
  EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(scanner);
  EXPECT_EQ(Do(holder, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(holder);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// ExpectTheLateWordToLeaveTheBondTo releases the held word of a pairing whose Connect gave up, and expects the
// bond to stay under b's connection to kFirstAddress, then to go with b's Disconnect.
void ExpectTheLateWordToLeaveTheBondTo(SimRadio& radio, int hold, VelmoraBLE_BLEClient* b) {
  radio.Release(hold);
  radio.WaitIdle();
  EXPECT_TRUE(radio.IsPaired(kFirstAddress)) << "the late word removed the bond under B's connection";
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
  radio.WaitIdle();
  EXPECT_FALSE(radio.IsPaired(kFirstAddress));
}

// AnswerCounted is a sink that answers each PIN request and counts it in the std::atomic<int> its context is.
int32_t AnswerCounted(void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) {
  if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
  AnswerPin(params);
  ++*static_cast<std::atomic<int>*>(raw);
  return 0;
}

// The sink answers the PIN request only once Connect has given up waiting for the pairing (a person typing
// the PIN takes longer than Timeout): that answer is declined, so no Connect leaves a bond behind.
class PinAnsweredAfterConnectGaveUp : public RadioFixture<1> {};

TEST_F(PinAnsweredAfterConnectGaveUp, BondsNothing) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Typist {
    std::atomic<bool> connect_returned{false};
    std::atomic<bool> answered{false};
  } typist;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* self = static_cast<Typist*>(raw);
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    (void)Eventually([&] { return self->connect_returned.load(); });
    AnswerPin(params);
    self->answered = true;
    return 0;
  };
  Client client(sink, &typist);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 301) << LastError(client);
  typist.connect_returned = true;
  ASSERT_TRUE(Eventually([&] { return typist.answered.load(); }));
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// The sink answers the PIN request at once, but the platform's word that the pairing has ended comes only after
// Connect has given up waiting (301). The answer was given while Connect waited and bonded the device: Connect,
// which holds no connection to remove that bond with, removes it before it returns.
TEST_F(PinAnsweredAfterConnectGaveUp, OrAnsweredInTimeButFinishedLateBondsNothing) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> answered{0};
  Client client(&AnswerCounted, &answered);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 301) << LastError(client);
  EXPECT_EQ(LastError(client), "Timeout.");
  EXPECT_EQ(answered.load(), 1);
  radio_->Release(hold);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// As above, and the application connects again before the platform's late word: the second Connect finds the
// device paired by the answer of the first, and that bond is its own now. The late word removes nothing under the
// connection; its Disconnect removes the bond.
TEST_F(PinAnsweredAfterConnectGaveUp, OrFinishedLateLeavesTheBondToTheNextConnect) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  auto sink = [](void*, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  };
  Client client(sink, nullptr);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 301) << LastError(client);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(client);
  radio_->Release(hold);
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// A's sink answers the PIN request with a wrong PIN, and the platform's word on that pairing comes only after A's
// Connect has given up (301). Meanwhile client B connects to the same device and pairs it with the right PIN. A's
// answer bonded nothing: the bond is B's, and A's failed Connect leaves it alone.
TEST_F(PinAnsweredAfterConnectGaveUp, OrAnsweredWronglyLeavesAnotherClientsBond) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> a_requests{0};
  auto wrong_sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    // The first request only; one of B's pairing that reaches A's sink too is left unanswered.
    if (static_cast<std::atomic<int>*>(raw)->fetch_add(1) != 0) return 0;
    VelmoraBLE_EvtStr(reinterpret_cast<VelmoraBLE_EventString*>(params[2]), VELMORABLE_EVTSTR_SET_BY_COPY, "000000",
                      VELMORABLE_EVTSTR_NARROW);
    params[3] = 1;
    return 0;
  };
  auto right_sink = [](void*, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  };
  Client a(wrong_sink, &a_requests);
  Client b(right_sink, nullptr);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  ASSERT_EQ(Config(a, "PairingMode=1"), 0);
  ASSERT_EQ(Config(b, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  std::atomic<bool> a_returned{false};
  int a_rc = -1;
  std::thread a_thread([&] {
    a_rc = Do(a, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str());
    a_returned = true;
  });
  ASSERT_TRUE(Eventually([&] { return a_requests.load() >= 1; }));
  // B's pairing runs on the radio's one event thread after A's, which the wrong PIN failed.
  const int b_rc = Do(b, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str());
  const bool b_first = !a_returned.load();
  a_thread.join();
  ASSERT_EQ(b_rc, 0) << LastError(b);
  ASSERT_TRUE(b_first) << "B's Connect took longer than A's Timeout";
  EXPECT_EQ(a_rc, 301);
  radio_->Release(hold);
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress));
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// A's sink answers the PIN request rightly, but the platform's word on that pairing comes only after A's
// Connect has given up (301). Meanwhile client B connects to the same device and finds it paired: the bond is
// B's connection's now, the late word removes nothing under it, and B's Disconnect removes it.
TEST_F(PinAnsweredAfterConnectGaveUp, OrFinishedLateLeavesTheBondToAnotherClientsConnect) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> a_requests{0};
  auto first_sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    if (static_cast<std::atomic<int>*>(raw)->fetch_add(1) == 0) AnswerPin(params);
    return 0;
  };
  auto right_sink = [](void*, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  };
  Client a(first_sink, &a_requests);
  Client b(right_sink, nullptr);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  ASSERT_EQ(Config(a, "PairingMode=1"), 0);
  ASSERT_EQ(Config(b, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  const int a_rc = Do(a, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str());
  EXPECT_EQ(a_rc, 301);
  ASSERT_GE(a_requests.load(), 1);
  ASSERT_EQ(Do(b, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(b);
  ExpectTheLateWordToLeaveTheBondTo(*radio_, hold, b);
}

// As above, and the application connects to the same device again before the sink answers. Another client
// holds the device object, so the second Connect pairs through the same pairing object, with a pairing of
// its own: the late answer still belongs to the pairing the first Connect gave up, and is declined. The
// second Connect's own request bonds the device, and the last connection's Disconnect removes that bond.
TEST_F(PinAnsweredAfterConnectGaveUp, BondsNothingWhenTheNextConnectPairsWithTheSameObject) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Typist {
    std::function<bool()> next_connect_pairs;
    std::atomic<int> requests{0};
    std::atomic<bool> answered_late{false};
  } typist;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* self = static_cast<Typist*>(raw);
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    if (self->requests.fetch_add(1) == 0) {
      (void)Eventually(self->next_connect_pairs);
      AnswerPin(params);
      self->answered_late = true;
      return 0;
    }
    AnswerPin(params);
    return 0;
  };
  typist.next_connect_pairs = [&] { return radio_->CallCount("DeviceInformationCustomPairing.PairAsync") >= 2; };
  const std::string id = Id(kFirstAddress);
  Client holder(nullptr, nullptr);
  Client client(sink, &typist);
  ASSERT_NE(holder.get(), nullptr);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Do(holder, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(holder);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()), 301) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 20), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(client);
  EXPECT_TRUE(typist.answered_late.load());
  // The holder's connection still uses the bond: the last of the two to disconnect removes it.
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress));
  EXPECT_EQ(Do(holder, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(holder);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// A bond that a pairing of the library made belongs to every connection of the process that uses the device:
// it goes with the last of them, never under another client's connection, and a Connect waits for its
// removal under way rather than finding a bond that is about to go.
class BondOfTwoClients : public RadioFixture<1> {
 protected:
  static int32_t Answering(void*, int32_t id, int32_t, intptr_t* params, int32_t*) {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  }
  const std::string id_ = Id(kFirstAddress);
};

TEST_F(BondOfTwoClients, StaysUntilTheLastConnectionToTheDeviceEnds) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  Client a(&Answering, nullptr);
  Client b(&Answering, nullptr);
  ASSERT_EQ(Config(a, "PairingMode=1"), 0);
  ASSERT_EQ(Config(b, "PairingMode=1"), 0);
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_CONNECT, id_.c_str()), 0) << LastError(a);
  ASSERT_EQ(Do(b, VELMORABLE_METHOD_CONNECT, id_.c_str()), 0) << LastError(b);
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(a);
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress)) << "A's Disconnect removed the bond under B's connection";
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// A's sink answers at once, but the platform's word on A's pairing comes only after A's Connect has given up.
// B connects while A still waits and finds the device paired: the late word removes nothing under B.
TEST_F(BondOfTwoClients, LeftByAConnectThatGaveUpStaysUnderAConnectionMadeWhileItWaited) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> a_requests{0};
  Client a(&AnswerCounted, &a_requests);
  Client b(&Answering, nullptr);
  ASSERT_EQ(Config(a, "PairingMode=1"), 0);
  ASSERT_EQ(Config(b, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_TIMEOUT, 0, 3), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  std::atomic<bool> a_returned{false};
  int a_rc = -1;
  std::thread a_thread([&] {
    a_rc = Do(a, VELMORABLE_METHOD_CONNECT, id_.c_str());
    a_returned = true;
  });
  ASSERT_TRUE(Eventually([&] { return a_requests.load() >= 1; }));
  const int b_rc = Do(b, VELMORABLE_METHOD_CONNECT, id_.c_str());
  const bool b_first = !a_returned.load();
  a_thread.join();
  ASSERT_EQ(b_rc, 0) << LastError(b);
  ASSERT_TRUE(b_first) << "B's Connect took longer than A's Timeout";
  EXPECT_EQ(a_rc, 301);
  ExpectTheLateWordToLeaveTheBondTo(*radio_, hold, b);
}

// A client destroyed while connected has no Disconnect: its bond goes with it, before Destroy returns, so that
// a program that ends then leaves none behind.
TEST_F(BondOfTwoClients, OfAClientDestroyedWhileConnectedIsGoneAsDestroyReturns) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  Client a(&Answering, nullptr);
  ASSERT_EQ(Config(a, "PairingMode=1"), 0);
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_CONNECT, id_.c_str()), 0) << LastError(a);
  ASSERT_TRUE(radio_->IsPaired(kFirstAddress));
  (void)radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .delay_ms = 300});
  a.Destroy();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// B's Connect, made while the platform still removes the bond of a client destroyed while connected (its
// Destroy waited its Timeout), waits for the removal and pairs anew, and its own Disconnect removes the bond it
// made.
TEST_F(BondOfTwoClients, OfAClientDestroyedWhileConnectedGoesBeforeTheNextConnectLooks) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  Client a(&Answering, nullptr);
  Client b(&Answering, nullptr);
  ASSERT_EQ(Config(a, "PairingMode=1"), 0);
  ASSERT_EQ(Config(b, "PairingMode=1"), 0);
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_CONNECT, id_.c_str()), 0) << LastError(a);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(a, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kUnpair, .hold = true});
  a.Destroy();
  std::atomic<int> b_rc{-1};
  std::thread b_thread([&] { b_rc = Do(b, VELMORABLE_METHOD_CONNECT, id_.c_str()); });
  const bool removing = Eventually([&] { return radio_->CallCount("DeviceInformationPairing.UnpairAsync") >= 1; });
  radio_->Release(hold);
  b_thread.join();
  ASSERT_TRUE(removing) << "the destroyed client's bond was not removed";
  ASSERT_EQ(b_rc.load(), 0) << LastError(b);
  radio_->WaitIdle();
  EXPECT_TRUE(radio_->IsPaired(kFirstAddress));
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
  radio_->WaitIdle();
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress)) << "B's Connect found the bond that was being removed";
}

// A device object that another client holds keeps the status handler that an earlier Connect put on it. A
// status change while a later Connect pairs with that device raises nothing: Connect's own Connected comes
// first, and no "Online" before it.
class StatusChangeDuringPairing : public RadioFixture<1> {};

TEST_F(StatusChangeDuringPairing, RaisesNoOnlineBeforeConnectsOwnConnected) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    std::mutex mutex;
    std::vector<std::string> connected;
    std::atomic<int> pairings{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      AnswerPin(params);
      ++ctx->pairings;
    }
    if (id == VELMORABLE_EVENT_CONNECTED) {
      std::lock_guard lock(ctx->mutex);
      ctx->connected.emplace_back(reinterpret_cast<const char*>(params[1]));
    }
    return 0;
  };
  const std::string id = Id(kFirstAddress);
  Client holder(nullptr, nullptr);
  Client client(sink, &context);
  ASSERT_NE(holder.get(), nullptr);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Do(holder, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(holder);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()), 0) << LastError(client);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kPair, .hold = true});
  std::atomic<int> connected{-1};
  std::thread application([&] { connected = Do(client, VELMORABLE_METHOD_CONNECT, id.c_str()); });
  const bool asked = Eventually([&] { return context.pairings.load() == 1; });
  radio_->WaitIdle();
  radio_->FireConnectionStatusChanged(kFirstAddress);
  radio_->WaitIdle();
  radio_->Release(hold);
  application.join();
  ASSERT_TRUE(asked);
  EXPECT_EQ(connected.load(), 0) << LastError(client);
  {
    std::lock_guard lock(context.mutex);
    EXPECT_EQ(context.connected, (std::vector<std::string>{"OK", "OK"}));
  }
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
  EXPECT_EQ(Do(holder, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(holder);
}

// Destroy from a sink on a platform thread never waits: neither for the application thread's method that
// waits for this very event, nor for another client's Connect whose pairing request is queued behind it.
class DestroyFromASink : public RadioWithChecker<1> {};

TEST_F(DestroyFromASink, OfItsOwnPairingRequestReturnsAtOnceAndConnectFollows) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    std::atomic<int64_t> destroy_ms{-1};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    const Clock::time_point start = Clock::now();
    (void)VelmoraBLE_BLEClient_Destroy(ctx->handle);
    ctx->destroy_ms = MillisecondsSince(start);
    return 0;
  };
  Client client(sink, &context);
  context.handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 5), 0);
  const Clock::time_point start = Clock::now();
  const int connected = Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str());
  const int64_t connect_ms = MillisecondsSince(start);
  client.Forget();  // the sink destroyed it; it was freed as Connect returned
  EXPECT_TRUE(Eventually([&] { return context.destroy_ms.load() >= 0; }));
  EXPECT_LT(context.destroy_ms.load(), 2500);
  EXPECT_LT(connect_ms, 2500) << "Connect gave " << connected;
  EXPECT_FALSE(radio_->IsPaired(kFirstAddress));
}

// The sink destroys its client and then accepts the PIN request: Destroy ended Connect's wait for the
// pairing, so the answer comes after Connect stopped waiting, and it bonds nothing. Whether Connect has
// left its wait by the time the answer comes is up to the threads: a round is run several times.
TEST_F(DestroyFromASink, OfItsOwnPairingRequestThenAnsweringBondsNothing) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    std::atomic<bool> answered{false};
  };
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    (void)VelmoraBLE_BLEClient_Destroy(ctx->handle);
    AnswerPin(params);
    ctx->answered = true;
    return 0;
  };
  for (int round = 0; round < 10 && !HasFailure(); ++round) {
    Context context;
    Client client(sink, &context);
    context.handle = client;
    ASSERT_NE(client.get(), nullptr);
    ASSERT_EQ(Config(client, "PairingMode=1"), 0);
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 5), 0);
    const int connected = Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str());
    client.Forget();  // the sink destroyed it; it was freed as the last of Connect and the event left it
    EXPECT_TRUE(connected == 604 || connected == 301) << "round " << round << ": Connect gave " << connected;
    ASSERT_TRUE(Eventually([&] { return context.answered.load(); }));
    radio_->WaitIdle();
    EXPECT_FALSE(radio_->IsPaired(kFirstAddress)) << "round " << round;
  }
}

TEST_F(DestroyFromASink, OfAnotherClientDoesNotWaitForThatClientsConnect) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));      // A's, notifying
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));  // B's, to pair with
  VelmoraBLE_BLEClient* handle_b = nullptr;
  std::atomic<bool> inside{false};
  std::atomic<int64_t> destroy_ms{-1};
  ActOnAValue sink_a;
  sink_a.act = [&] {
    // B's pairing request, which B's Connect waits for, is queued behind this event from now on.
    inside = true;
    (void)Eventually([&] { return radio_->CallCount("DeviceInformationCustomPairing.PairAsync") >= 1; });
    const Clock::time_point start = Clock::now();
    (void)VelmoraBLE_BLEClient_Destroy(handle_b);
    destroy_ms = MillisecondsSince(start);
  };
  auto sink_b = [](void*, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    return 0;
  };
  Client a(&ActOnAValue::Call, &sink_a);
  Client b(sink_b, nullptr);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  handle_b = b;
  ASSERT_NO_FATAL_FAILURE(Subscribed(a, kFirstAddress));
  ASSERT_EQ(Config(b, "PairingMode=1"), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(b, VELMORABLE_PROP_TIMEOUT, 0, 5), 0);
  sink_a.armed = true;
  ASSERT_TRUE(Eventually([&] { return inside.load(); }));
  const Clock::time_point start = Clock::now();
  (void)Do(handle_b, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress + 1).c_str());
  const int64_t connect_ms = MillisecondsSince(start);
  b.Forget();  // A's sink destroyed it; it was freed as Connect returned
  EXPECT_TRUE(Eventually([&] { return destroy_ms.load() >= 0; }));
  EXPECT_LT(destroy_ms.load(), 2500);
  EXPECT_LT(connect_ms, 2500);
  const int values = sink_a.values.load();
  EXPECT_TRUE(Eventually([&] { return sink_a.values.load() > values + 10; }));
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(a);
}

// Two sinks, on two platform threads at once, destroy each other's client: each Destroy returns at once
// (neither waits for the other), and each client goes when its own event has left.
class DestroyFromTwoSinks : public RadioWithChecker<4> {};

TEST_F(DestroyFromTwoSinks, OfEachOthersClientBothReturn) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));
  VelmoraBLE_BLEClient* handles[2] = {nullptr, nullptr};
  std::atomic<int> inside{0};
  std::atomic<int> returned{0};
  ActOnAValue sinks[2];
  for (int i = 0; i < 2; ++i) {
    sinks[i].act = [&, i] {
      // Both sinks are inside before either destroys.
      ++inside;
      (void)Eventually([&] { return inside.load() == 2; });
      (void)VelmoraBLE_BLEClient_Destroy(handles[1 - i]);
      ++returned;
    };
  }
  Client a(&ActOnAValue::Call, &sinks[0]);
  Client b(&ActOnAValue::Call, &sinks[1]);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  handles[0] = a;
  handles[1] = b;
  ASSERT_NO_FATAL_FAILURE(Subscribed(a, kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(b, kFirstAddress + 1));
  sinks[0].armed = true;
  sinks[1].armed = true;
  if (!Eventually([&] { return returned.load() == 2; })) EndHung("two sinks destroying each other's clients");
  a.Forget();
  b.Forget();
  EXPECT_EQ(inside.load(), 2);
  radio_->WaitIdle();
}

// Two application threads, each inside a read of its own client, destroy each other's client from the sink of
// that read's Value at once: each Destroy would wait for the other's sink, which waits for its own in turn.
// Neither waits for a sink that waits for it: both return.
TEST_F(DestroyFromTwoSinks, OnTwoApplicationThreadsOfEachOthersClientBothReturn) {
  for (uint64_t address : {kFirstAddress, kFirstAddress + 1}) {
    SimPeripheral readable = BusyPeripheral(address);
    readable.gatt.services[0].characteristics[0].properties |= bt::GattCharacteristicProperties::Read;
    radio_->AddPeripheral(readable);
  }
  VelmoraBLE_BLEClient* handles[2] = {nullptr, nullptr};
  std::atomic<int> inside{0};
  std::atomic<int> returned{0};
  ActOnAValue sinks[2];
  for (int i = 0; i < 2; ++i) {
    sinks[i].act = [&, i] {
      ++inside;
      (void)Eventually([&] { return inside.load() == 2; });
      (void)VelmoraBLE_BLEClient_Destroy(handles[1 - i]);
      ++returned;
    };
  }
  Client a(&ActOnAValue::Call, &sinks[0]);
  Client b(&ActOnAValue::Call, &sinks[1]);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  handles[0] = a;
  handles[1] = b;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Do(handles[i], VELMORABLE_METHOD_CONNECT, Id(kFirstAddress + i).c_str()), 0) << LastError(handles[i]);
    intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                            reinterpret_cast<intptr_t>("")};
    int32_t sizes[4] = {0, 0, 0, 0};
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(handles[i], VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0)
        << LastError(handles[i]);
    sinks[i].armed = true;
  }
  // Each read's Value comes inside it, on its own thread.
  std::thread readers[2];
  for (int i = 0; i < 2; ++i) {
    readers[i] = std::thread([&, i] { (void)OnCharacteristic(handles[i], VELMORABLE_METHOD_READ_VALUE); });
  }
  if (!Eventually([&] { return returned.load() == 2; })) EndHung("two application threads destroying each other's clients");
  for (std::thread& reader : readers) reader.join();
  a.Forget();
  b.Forget();
  radio_->WaitIdle();
}

// A Value sink reads a characteristic's user description, which asks the platform for its descriptors, and
// the radio holds that answer. Destroy on the application's thread waits for the sink, whose wait ends as soon
// as Destroy has begun, not at Timeout.
class DestroyOnTheApplicationThread : public RadioWithChecker<4> {};

TEST_F(DestroyOnTheApplicationThread, EndsTheWaitOfASinksGet) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> answered{false};
  ActOnAValue sink;
  sink.act = [&] {
    (void)VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    answered = true;
  };
  Client client(&ActOnAValue::Call, &sink);
  handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 5), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kDescriptors, .hold = true});
  constexpr const char kDescriptors[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";
  const size_t asked_before = radio_->CallCount(kDescriptors);
  sink.armed = true;
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount(kDescriptors) > asked_before; }));
  const Clock::time_point start = Clock::now();
  client.Destroy();
  const int64_t destroy_ms = MillisecondsSince(start);
  radio_->Release(hold);
  EXPECT_TRUE(answered.load());
  EXPECT_LT(destroy_ms, 2500);
}

// With wait steps of 3 s, another thread destroys the client while the application's thread waits for a read
// that the radio holds and a Value sink waits for a descriptor lookup that the radio holds too: Destroy wakes
// both waits at once, so the read returns 301 and Destroy returns long before a step would have ended.
class DestroyDuringLongWaitSteps : public RadioWithChecker<4> {};

TEST_F(DestroyDuringLongWaitSteps, WakesEveryWaitAtOnce) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> answered{false};
  ActOnAValue sink;
  sink.act = [&] {
    (void)VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    answered = true;
  };
  Client client(&ActOnAValue::Call, &sink);
  handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  ASSERT_EQ(Config(client, "SelectWaitMillis=3000"), 0);
  const int held_lookup = radio_->AddFault({.op = bt::sim::SimOp::kDescriptors, .hold = true});
  const int held_read = radio_->AddFault({.op = bt::sim::SimOp::kReadCharacteristic, .hold = true});
  constexpr const char kDescriptors[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";
  constexpr const char kRead[] = "GattCharacteristic.ReadValueWithCacheModeAsync";
  const size_t lookups_before = radio_->CallCount(kDescriptors);
  const size_t reads_before = radio_->CallCount(kRead);
  sink.armed = true;
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount(kDescriptors) > lookups_before; }));
  std::atomic<int64_t> destroy_ms{-1};
  std::thread destroyer([&] {
    if (!Eventually([&] { return radio_->CallCount(kRead) > reads_before; })) return;
    // Both waits are inside a step by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Clock::time_point start = Clock::now();
    (void)VelmoraBLE_BLEClient_Destroy(handle);
    destroy_ms = MillisecondsSince(start);
  });
  const int read = OnCharacteristic(handle, VELMORABLE_METHOD_READ_VALUE);
  destroyer.join();
  client.Forget();  // destroyed by the other thread, freed as the read returned
  radio_->Release(held_read);
  radio_->Release(held_lookup);
  EXPECT_EQ(read, 301);
  EXPECT_TRUE(answered.load());
  EXPECT_GE(destroy_ms.load(), 0);
  EXPECT_LT(destroy_ms.load(), 1500);
}

// A sink of client B sets client A's last error to a long text while the application's thread destroys A:
// Destroy waits for that call as for any other call inside A, so A is freed only once it has returned.
class ErrorFunctionDuringDestroy : public RadioWithChecker<1> {};

TEST_F(ErrorFunctionDuringDestroy, IsWaitedFor) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  const std::string long_text(size_t{64} << 20, 'x');
  VelmoraBLE_BLEClient* handle_a = nullptr;
  std::atomic<bool> calling{false};
  std::atomic<bool> returned{false};
  Clock::time_point call_end;
  ActOnAValue sink_b;
  sink_b.act = [&] {
    calling = true;
    (void)VelmoraBLE_BLEClient_SetLastErrorAndCode(handle_a, 1, long_text.c_str());
    call_end = Clock::now();
    returned = true;
  };
  Client a(nullptr, nullptr);
  Client b(&ActOnAValue::Call, &sink_b);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  handle_a = a;
  ASSERT_NO_FATAL_FAILURE(Subscribed(b, kFirstAddress));
  sink_b.armed = true;
  ASSERT_TRUE(Eventually([&] { return calling.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  a.Destroy();
  const Clock::time_point destroy_end = Clock::now();
  ASSERT_TRUE(Eventually([&] { return returned.load(); }));
  // The call's own end is read after it left the client, so a preempted sink thread reads it late; the
  // sanitizers see a free under the call itself.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(call_end - destroy_end).count(), 100);
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
}

// A sink sets Timeout (to the value it has) while the application's thread waits for a read that the radio
// holds: that wait keeps the deadline it took when it began and ends with 301 after Timeout.
class TimeoutSetDuringAWait : public RadioWithChecker<4> {};

TEST_F(TimeoutSetDuringAWait, KeepsTheBoundOfTheRunningWait) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<int> set{-1};
  ActOnAValue sink;
  sink.act = [&] { set = VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_TIMEOUT, 0, 1); };
  Client client(&ActOnAValue::Call, &sink);
  handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kReadCharacteristic, .hold = true});
  constexpr const char kRead[] = "GattCharacteristic.ReadValueWithCacheModeAsync";
  const size_t reads_before = radio_->CallCount(kRead);
  std::atomic<bool> read_returned{false};
  std::thread radio_side([&] {
    if (Eventually([&] { return radio_->CallCount(kRead) > reads_before; })) sink.armed = true;
    // Four times Timeout: a wait that lost its bound ends only here.
    const Clock::time_point until = Clock::now() + std::chrono::seconds(4);
    while (!read_returned.load() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    radio_->Release(hold);
  });
  const Clock::time_point start = Clock::now();
  const int read = OnCharacteristic(client, VELMORABLE_METHOD_READ_VALUE);
  const int64_t read_ms = MillisecondsSince(start);
  read_returned = true;
  radio_side.join();
  EXPECT_EQ(read, 301) << LastError(client);
  EXPECT_LT(read_ms, 3000);
  EXPECT_EQ(set.load(), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// A Value sink disconnects now and then on its platform thread while the application's thread connects
// (pairing), discovers and subscribes again and again: the held device and the bond it made are read and
// changed under one lock, as ThreadSanitizer checks, and the codes are whatever the race gives.
class HeldDeviceAcrossThreads : public RadioFixture<4> {};

TEST_F(HeldDeviceAcrossThreads, ASinkDisconnectsWhileTheApplicationReconnects) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    std::atomic<int> values{0};
    std::atomic<int> disconnects{0};
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t* params, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) AnswerPin(params);
    if (id != VELMORABLE_EVENT_VALUE || ctx->values.fetch_add(1) % 2 != 0) return 0;
    (void)Do(ctx->handle, VELMORABLE_METHOD_DISCONNECT);
    ++ctx->disconnects;
    return 0;
  };
  Client client(sink, &context);
  context.handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Config(client, "PairingMode=1"), 0);
  const std::string id = Id(kFirstAddress);
  const intptr_t none = reinterpret_cast<intptr_t>("");
  intptr_t discover[4] = {none, none, 0, none};
  int32_t sizes[4] = {0, 0, 0, 0};
  const int64_t rounds = testing_support::FuzzScaled(1000);
  for (int64_t i = 0; i < rounds; ++i) {
    (void)Do(client, VELMORABLE_METHOD_CONNECT, id.c_str());
    (void)VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes);
    (void)OnCharacteristic(client, VELMORABLE_METHOD_SUBSCRIBE);
    if (i % 4 == 0) (void)Do(client, VELMORABLE_METHOD_DISCONNECT);
  }
  (void)Do(client, VELMORABLE_METHOD_DISCONNECT);
  client.Destroy();
  EXPECT_GT(context.disconnects.load(), 0);
}

// The included ids of a service are one list that every reader joins: the Advertisement sinks of two
// scanning clients read another client's ServiceIncludedSvcIds[0] on two platform threads at once, and each
// read is the whole list, item for item.
class IncludedIdsReadBySinks : public RadioFixture<4> {};

// IncludingServer is a server at address that pairs without a request, whose first service (0x0001) includes 40
// secondary services; want is its ServiceIncludedSvcIds.
SimPeripheral IncludingServer(uint64_t address, std::string* want) {
  constexpr int kIncluded = 40;
  SimPeripheral server;
  server.address = address;
  server.pairing_kind = bt::DevicePairingKinds::None;
  bt::sim::SimService including = Service(0x0001, 0x180D);
  want->clear();
  for (int i = 0; i < kIncluded; ++i) {
    const auto handle = static_cast<uint16_t>(0x0010 + i);
    including.included.push_back(handle);
    server.gatt.services.push_back(Service(handle, 0x180F, false));
    char id[16];
    std::snprintf(id, sizeof(id), "%s%04X00000000", i > 0 ? "," : "", static_cast<unsigned>(handle));
    *want += id;
  }
  server.gatt.services.insert(server.gatt.services.begin(), including);
  return server;
}

TEST_F(IncludedIdsReadBySinks, TwoSinksAtOnceEachReadTheWholeList) {
  std::string want;
  radio_->AddPeripheral(IncludingServer(kFirstAddress, &want));
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));  // advertises every millisecond

  Client owner(nullptr, nullptr);
  ASSERT_NE(owner.get(), nullptr);
  ASSERT_EQ(Config(owner, "AutoDiscoverIncludedServices=1"), 0);
  ASSERT_EQ(Do(owner, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(owner);
  intptr_t discover[2] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>("")};
  int32_t sizes[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(owner, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, discover, sizes), 0)
      << LastError(owner);
  ASSERT_EQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(owner, VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, 0)),
            want);

  struct Reader {
    VelmoraBLE_BLEClient* owner = nullptr;
    const std::string* want = nullptr;
    std::atomic<int> reads{0};
    std::atomic<int> wrong{0};

    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Reader*>(raw);
      if (id != VELMORABLE_EVENT_ADVERTISEMENT) return 0;
      for (int i = 0; i < 20; ++i) {
        const auto* text = reinterpret_cast<const char*>(
            VelmoraBLE_BLEClient_Get(self->owner, VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, 0));
        if (text == nullptr || *self->want != text) ++self->wrong;
        ++self->reads;
      }
      return 0;
    }
  };
  Reader readers[2];
  for (Reader& reader : readers) {
    reader.owner = owner;
    reader.want = &want;
  }
  Client first(&Reader::Call, &readers[0]);
  Client second(&Reader::Call, &readers[1]);
  ASSERT_NE(first.get(), nullptr);
  ASSERT_NE(second.get(), nullptr);
  ASSERT_EQ(Do(first, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(first);
  ASSERT_EQ(Do(second, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(second);
  const int reads = static_cast<int>(testing_support::FuzzScaled(20000));
  EXPECT_TRUE(Eventually([&] { return readers[0].reads.load() >= reads && readers[1].reads.load() >= reads; }));
  EXPECT_EQ(Do(first, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(first);
  EXPECT_EQ(Do(second, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(second);
  EXPECT_EQ(readers[0].wrong.load() + readers[1].wrong.load(), 0)
      << "of " << readers[0].reads.load() + readers[1].reads.load() << " reads";
  EXPECT_EQ(Do(owner, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(owner);
}

// The Advertisement sink of a scanning client reads another client's GattObjTreeInfo and its first service's
// included ids while that client's application thread connects, discovers the services with their 40
// included services and disconnects, again and again: both read the id lists that discovery extends under the
// lock discovery takes, so every list they show is whole, ids of 12 digits apart by commas.
TEST_F(IncludedIdsReadBySinks, ASinkDumpsTheTreeWhileTheApplicationRediscovers) {
  std::string want;
  radio_->AddPeripheral(IncludingServer(kFirstAddress, &want));
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress + 1));  // advertises every millisecond

  Client owner(nullptr, nullptr);
  ASSERT_NE(owner.get(), nullptr);
  ASSERT_EQ(Config(owner, "AutoDiscoverIncludedServices=1"), 0);

  struct Dumper {
    VelmoraBLE_BLEClient* owner = nullptr;
    std::atomic<int> reads{0};
    std::atomic<int> wrong{0};
    std::mutex mutex;
    std::string first_wrong;

    // Whole says whether every IncludedSvcIds list of dump is empty or ids of 12 hex digits apart by commas.
    static bool Whole(const std::string& dump) {
      static const std::string kKey = "IncludedSvcIds=\"";
      for (size_t at = dump.find(kKey); at != std::string::npos; at = dump.find(kKey, at)) {
        at += kKey.size();
        const size_t end = dump.find('"', at);
        if (end == std::string::npos) return false;
        const std::string list = dump.substr(at, end - at);
        for (size_t item = 0; item < list.size(); item += 13) {
          if (list.size() - item < 12 || (item + 12 < list.size() && list[item + 12] != ',')) return false;
          for (size_t i = item; i < item + 12; ++i) {
            if (std::isxdigit(static_cast<unsigned char>(list[i])) == 0) return false;
          }
        }
      }
      return true;
    }
    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Dumper*>(raw);
      if (id != VELMORABLE_EVENT_ADVERTISEMENT) return 0;
      for (int i = 0; i < 5; ++i) {
        std::string dump;
        const int rc = Config(self->owner, "GattObjTreeInfo", &dump);
        if (rc != 0 || !Whole(dump)) {
          if (self->wrong.fetch_add(1) == 0) {
            std::lock_guard lock(self->mutex);
            self->first_wrong = std::to_string(rc) + ": " + dump;
          }
        }
        ++self->reads;
      }
      // The first service's included ids, as Get gives them, are whole in the same way.
      const auto* ids = reinterpret_cast<const char*>(
          VelmoraBLE_BLEClient_Get(self->owner, VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, 0));
      if (ids == nullptr || !Whole(std::string("IncludedSvcIds=\"") + ids + "\"")) {
        if (self->wrong.fetch_add(1) == 0) {
          std::lock_guard lock(self->mutex);
          self->first_wrong = std::string("Get: ") + (ids != nullptr ? ids : "null");
        }
      }
      return 0;
    }
  } dumper;
  dumper.owner = owner;
  Client scanner(&Dumper::Call, &dumper);
  ASSERT_NE(scanner.get(), nullptr);
  ASSERT_EQ(Do(scanner, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(scanner);

  const int rounds = std::max(10, static_cast<int>(testing_support::FuzzScaled(100)));
  intptr_t discover[2] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>("")};
  int32_t sizes[2] = {0, 0};
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(20);
  for (int round = 0; (round < rounds || dumper.reads.load() < 200) && Clock::now() < give_up; ++round) {
    ASSERT_EQ(Do(owner, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(owner);
    ASSERT_EQ(VelmoraBLE_BLEClient_Do(owner, VELMORABLE_METHOD_DISCOVER_SERVICES, 2, discover, sizes), 0)
        << LastError(owner);
    ASSERT_EQ(reinterpret_cast<const char*>(VelmoraBLE_BLEClient_Get(owner, VELMORABLE_PROP_SERVICE_INCLUDED_SVC_IDS, 0)),
              want);
    ASSERT_EQ(Do(owner, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(owner);
  }
  EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(scanner);
  EXPECT_GT(dumper.reads.load(), 0);
  std::lock_guard lock(dumper.mutex);
  EXPECT_EQ(dumper.wrong.load(), 0) << "of " << dumper.reads.load() << " dumps; the first: " << dumper.first_wrong;
}

// DescribedPeripheral is the busy peripheral whose measurement also has a user description (0x2901, handle
// 5) that the client may write (Writable Auxiliaries).
constexpr uint16_t kUserDescriptionHandle = 0x0005;

SimPeripheral DescribedPeripheral(uint64_t address) {
  SimPeripheral peripheral = BusyPeripheral(address);
  bt::sim::SimCharacteristic& measurement = peripheral.gatt.services[0].characteristics[0];
  measurement.properties |= 0x200;
  measurement.descriptors.push_back(
      {kUserDescriptionHandle, bt::BluetoothBaseUuid(0x2901), {'B', 'e', 'a', 't'}});
  return peripheral;
}

// Described connects handle to address, discovers services and characteristics but no descriptors and
// selects the measurement; with subscribe, it subscribes to it as well.
void Described(VelmoraBLE_BLEClient* handle, uint64_t address, bool subscribe) {
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_CONNECT, Id(address).c_str()), 0) << LastError(handle);
  const intptr_t none = reinterpret_cast<intptr_t>("");
  intptr_t discover[4] = {none, none, 0, none};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(handle);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate)), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_CHARACTERISTIC, 0, reinterpret_cast<intptr_t>(kMeasurement)),
            0);
  if (subscribe) {
    ASSERT_EQ(OnCharacteristic(handle, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(handle);
  }
}

constexpr char kDescriptorsForUuid[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";

// A Value sink reads the measurement's user description, which looks for its descriptor, and the radio holds
// that answer a while. The application's Set of the user description meanwhile waits for that lookup, finds
// the descriptor and writes it.
class UserDescriptionLookedForByASink : public RadioWithChecker<4> {};

TEST_F(UserDescriptionLookedForByASink, IsWaitedForByTheApplicationsSet) {
  radio_->AddPeripheral(DescribedPeripheral(kFirstAddress));
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> answered{false};
  ActOnAValue sink;
  sink.act = [&] {
    (void)VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    answered = true;
  };
  Client client(&ActOnAValue::Call, &sink);
  handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Described(client, kFirstAddress, true));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 5), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kDescriptors, .hold = true});
  const size_t asked_before = radio_->CallCount(kDescriptorsForUuid);
  sink.armed = true;
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount(kDescriptorsForUuid) > asked_before; }));
  std::thread radio_side([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    radio_->Release(hold);
  });
  const int set = VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0,
                                           reinterpret_cast<intptr_t>("Pulse"));
  radio_side.join();
  EXPECT_EQ(set, 0) << LastError(client);
  EXPECT_EQ(radio_->DeviceValue(kFirstAddress, kUserDescriptionHandle), (bt::Bytes{'P', 'u', 'l', 's', 'e'}));
  EXPECT_TRUE(Eventually([&] { return answered.load(); }));
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// Two characteristics whose flags no call has read: the first read of either looks for its Extended
// Properties descriptor, and that lookup's Log line ("BLE Result Status: ...") reaches the sink while the
// lookup is under way. The sink reads the flags of both inside every Log line and ServerUpdate. The
// application's thread reads the first one's flags while a ServerUpdate sink on the radio's event thread reads
// the second's, both lookups held until both have begun: the sink of each lookup then reads the flags whose
// lookup the other thread has under way. Neither waits for the other, which would hold both for Timeout.
class LookupsOfTwoThreads : public RadioFixture<1> {};

TEST_F(LookupsOfTwoThreads, WhoseSinksReadEachOthersFlagsDoNotWaitForEachOther) {
  SimPeripheral device;
  device.address = kFirstAddress;
  device.name = u"Two";
  bt::sim::SimService service = Service(0x0020, 0x1811);
  service.characteristics.push_back(Characteristic(0x0022, 0x2A47));
  service.characteristics.push_back(Characteristic(0x0024, 0x2A48));
  device.gatt.services = {service};
  radio_->AddPeripheral(device);
  struct Context {
    std::atomic<VelmoraBLE_BLEClient*> client{nullptr};
    std::atomic<bool> updated{false};  // the ServerUpdate sink has read both
  } context;
  auto sink = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    VelmoraBLE_BLEClient* client = ctx->client.load();
    if (client == nullptr || (id != VELMORABLE_EVENT_LOG && id != VELMORABLE_EVENT_SERVER_UPDATE)) return 0;
    (void)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 1);
    (void)VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0);
    if (id == VELMORABLE_EVENT_SERVER_UPDATE) ctx->updated = true;
    return 0;
  };
  Client client(sink, &context);
  ASSERT_NE(client.get(), nullptr);
  ASSERT_EQ(Do(client, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(client);
  const intptr_t none = reinterpret_cast<intptr_t>("");
  intptr_t discover[4] = {none, none, 0, none};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(client, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(client);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>("002000000000")), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 15), 0);

  constexpr char kLookup[] = "GattCharacteristic.GetDescriptorsForUuidWithCacheModeAsync";
  const size_t asked = radio_->CallCount(kLookup);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kDescriptors, .times = 2, .hold = true});
  context.client = client.get();
  std::atomic<intptr_t> flags{-1};
  std::thread application([&] { flags = VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_CHARACTERISTIC_FLAGS, 0); });
  EXPECT_TRUE(Eventually([&] { return radio_->CallCount(kLookup) >= asked + 1; }));
  radio_->SetName(kFirstAddress, u"Renamed");  // its sink begins the second characteristic's lookup
  EXPECT_TRUE(Eventually([&] { return radio_->CallCount(kLookup) >= asked + 2; }));
  radio_->Release(hold);
  EXPECT_TRUE(Eventually([&] { return flags.load() != -1 && context.updated.load(); }))
      << "the reads still wait for each other";
  application.join();
  radio_->WaitIdle();
  context.client = nullptr;
  EXPECT_EQ(flags.load(), 0x02);
}

// A's ServerUpdate sink (a platform thread) reads past the end of A's services (432), then reads B's user
// description, whose lookup raises B's events on that thread. B's sink is in events of its own: its calls on A
// start with code 0 and "", and what they leave stays theirs, so A's sink still finds its 432 once the Get of
// B has returned.
class NestedEventsOnAPlatformThread : public RadioFixture<1> {};

TEST_F(NestedEventsOnAPlatformThread, KeepEachEventsResultsOnTheOuterClient) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->AddPeripheral(DescribedPeripheral(kFirstAddress + 1));
  struct Context {
    VelmoraBLE_BLEClient* a = nullptr;
    VelmoraBLE_BLEClient* b = nullptr;
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
    std::vector<std::string> problems;  // written on the one platform thread that runs A's event
    int b_events = 0;
  } context;
  auto sink_b = [](void* raw, int32_t, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (!ctx->inside.load()) return 0;
    ++ctx->b_events;
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->a);
    const std::string text = VelmoraBLE_BLEClient_GetLastError(ctx->a);
    if (code != 0 || !text.empty()) {
      ctx->problems.push_back("B's sink found A's " + std::to_string(code) + " \"" + text + "\"");
    }
    (void)VelmoraBLE_BLEClient_SetLastErrorAndCode(ctx->a, 777, "B's sink");
    return 0;
  };
  auto sink_a = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_SERVER_UPDATE || ctx->done.load()) return 0;
    (void)VelmoraBLE_BLEClient_Get(ctx->a, VELMORABLE_PROP_SERVICE_ID, 5);
    const std::string own = VelmoraBLE_BLEClient_GetLastError(ctx->a);
    ctx->inside = true;
    (void)VelmoraBLE_BLEClient_Get(ctx->b, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    ctx->inside = false;
    const int32_t code = VelmoraBLE_BLEClient_GetLastErrorCode(ctx->a);
    const std::string text = VelmoraBLE_BLEClient_GetLastError(ctx->a);
    if (code != 432 || text != own) {
      ctx->problems.push_back("A's sink found " + std::to_string(code) + " \"" + text + "\" after B's Get");
    }
    ctx->done = true;
    return 0;
  };
  Client a(sink_a, &context);
  Client b(sink_b, &context);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  context.a = a;
  context.b = b;
  ASSERT_NO_FATAL_FAILURE(Described(b, kFirstAddress + 1, false));
  ASSERT_EQ(Config(b, "LogLevel=3"), 0);
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(a);
  radio_->SetName(kFirstAddress, u"Renamed");
  ASSERT_TRUE(Eventually([&] { return context.done.load(); }));
  radio_->WaitIdle();
  EXPECT_GE(context.b_events, 1);
  EXPECT_EQ(context.problems, std::vector<std::string>{});
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(a);
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
}

// A's Advertisement sink (a platform thread) reads B's user description, whose lookup raises B's events on that
// thread. The Advertisement event is still being delivered there: B's sink reads A's in-event settings of that
// advertisement as A's sink itself does.
TEST_F(NestedEventsOnAPlatformThread, ReadTheOuterAdvertisementsInEventSettings) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  radio_->AddPeripheral(DescribedPeripheral(kFirstAddress + 1));
  struct Context {
    VelmoraBLE_BLEClient* a = nullptr;
    VelmoraBLE_BLEClient* b = nullptr;
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
    std::vector<std::string> seen;  // written on the one platform thread that runs A's event
  } context;
  auto sink_b = [](void* raw, int32_t, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (!ctx->inside.load()) return 0;
    std::string reply;
    const int rc = Config(ctx->a, "ManufacturerDataCount", &reply);
    ctx->seen.push_back(std::to_string(rc) + " \"" + reply + "\"");
    return 0;
  };
  auto sink_a = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_ADVERTISEMENT || ctx->done.load()) return 0;
    ctx->inside = true;
    (void)VelmoraBLE_BLEClient_Get(ctx->b, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    ctx->inside = false;
    ctx->done = true;
    return 0;
  };
  Client a(sink_a, &context);
  Client b(sink_b, &context);
  ASSERT_NE(a.get(), nullptr);
  ASSERT_NE(b.get(), nullptr);
  context.a = a;
  context.b = b;
  ASSERT_NO_FATAL_FAILURE(Described(b, kFirstAddress + 1, false));
  ASSERT_EQ(Config(b, "LogLevel=3"), 0);
  ASSERT_EQ(Do(a, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(a);
  ASSERT_TRUE(Eventually([&] { return context.done.load(); }));
  EXPECT_EQ(Do(a, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(a);
  radio_->WaitIdle();
  ASSERT_FALSE(context.seen.empty());
  for (const std::string& seen : context.seen) EXPECT_EQ(seen, "0 \"1\"");
  EXPECT_EQ(Do(b, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(b);
}

// A Value sink's user description lookup is held past a Disconnect that gives up waiting for it (301). The
// descriptor it finds belongs to the connection it was started in: once the application has connected again
// and found the same characteristic (no descriptors), the late answer adds nothing to the new tree.
class DescriptorLookupOfAnEarlierConnection : public RadioWithChecker<4> {};

TEST_F(DescriptorLookupOfAnEarlierConnection, AddsNothingToTheNextConnectionsTree) {
  radio_->AddPeripheral(DescribedPeripheral(kFirstAddress));
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<bool> answered{false};
  ActOnAValue sink;
  sink.act = [&] {
    (void)VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION, 0);
    answered = true;
  };
  Client client(&ActOnAValue::Call, &sink);
  handle = client;
  ASSERT_NE(client.get(), nullptr);
  ASSERT_NO_FATAL_FAILURE(Described(client, kFirstAddress, true));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 10), 0);
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kDescriptors, .hold = true});
  const size_t asked_before = radio_->CallCount(kDescriptorsForUuid);
  sink.armed = true;
  ASSERT_TRUE(Eventually([&] { return radio_->CallCount(kDescriptorsForUuid) > asked_before; }));
  // The lookup's wait takes its deadline from Timeout just after the platform was asked: give it the time to
  // take the 10 s before Timeout drops to 1 s for the Disconnect, or both would give up together.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(client, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 301) << LastError(client);
  ASSERT_NO_FATAL_FAILURE(Described(client, kFirstAddress, false));
  ASSERT_EQ(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_DESCRIPTOR_COUNT, 0), 0);
  radio_->Release(hold);
  EXPECT_TRUE(Eventually([&] { return answered.load(); }));
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(client, VELMORABLE_PROP_DESCRIPTOR_COUNT, 0), 0);
  std::string tree;
  EXPECT_EQ(Config(client, "GattObjTreeInfo", &tree), 0) << LastError(client);
  EXPECT_EQ(tree.find("000100030005"), std::string::npos) << tree;
  EXPECT_EQ(Do(client, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(client);
}

// Two clients share the radio's one event thread with twenty devices that advertise every 2 ms and one that
// advertises and notifies every millisecond. Round after round the subscriber's sink blocks for 100 ms on
// alternate rounds, every third round the scanner restarts its scan, and every third round the subscriber is
// destroyed while it scans and a new one (connected, subscribed and scanning) takes its place. What the
// clients that came and went leave behind must not pile up on the event thread: every round the scanner gets
// a fresh advertisement, each new subscriber its first value and advertisement, and the watcher and
// characteristic of a destroyed client fire no more. VELMORABLE_FUZZ_SCALE scales the rounds (36 at least).
class ClientsComingAndGoing : public RadioWithChecker<1> {};

TEST_F(ClientsComingAndGoing, LeaveTheScannerItsAdvertisementsRoundAfterRound) {
  constexpr uint64_t kAdvertisers = 20;
  for (uint64_t i = 1; i <= kAdvertisers; ++i) {
    SimPeripheral advertiser;
    advertiser.address = kFirstAddress + i;
    SimAdvert advert;
    ASSERT_TRUE(bt::sim::ParseAdvertisingData(Hex("02 01 06 03 03 0F 18"), &advert.sections));
    advertiser.adverts.push_back(advert);
    advertiser.advertising_interval_ms = 2;
    radio_->AddPeripheral(advertiser);
  }
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  struct Counts {
    std::atomic<int> values{0};
    std::atomic<int> advertisements{0};
    std::atomic<bool> block{false};
    std::atomic<int> blocked{0};

    static int32_t Call(void* raw, int32_t id, int32_t, intptr_t*, int32_t*) {
      auto* self = static_cast<Counts*>(raw);
      if (id == VELMORABLE_EVENT_ADVERTISEMENT) ++self->advertisements;
      if (id != VELMORABLE_EVENT_VALUE) return 0;
      ++self->values;
      if (self->block.exchange(false)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ++self->blocked;
      }
      return 0;
    }
  };
  Counts scanned;
  Client scanner(&Counts::Call, &scanned);
  ASSERT_NE(scanner.get(), nullptr);
  ASSERT_EQ(Do(scanner, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(scanner);
  auto counts = std::make_unique<Counts>();
  auto subscriber = std::make_unique<Client>(&Counts::Call, counts.get());
  ASSERT_NE(subscriber->get(), nullptr);
  Session(*subscriber, Id(kFirstAddress), checker_);
  ASSERT_EQ(checker_.problems.load(), 0) << checker_.Report();

  const int64_t rounds = std::max<int64_t>(36, testing_support::FuzzScaled(60));
  int64_t starved = 0;
  for (int64_t round = 1; round <= rounds && starved < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round % 3 == 0) {
      subscriber.reset();
      counts = std::make_unique<Counts>();
      subscriber = std::make_unique<Client>(&Counts::Call, counts.get());
      ASSERT_NE(subscriber->get(), nullptr);
      Session(*subscriber, Id(kFirstAddress), checker_);
      ASSERT_EQ(checker_.problems.load(), 0) << checker_.Report();
      const bool valued = Eventually([&] { return counts->values.load() > 0; });
      const bool advertised = Eventually([&] { return counts->advertisements.load() > 0; });
      EXPECT_TRUE(valued) << "the new subscriber got no value in 10 s";
      EXPECT_TRUE(advertised) << "the new subscriber's scan got no advertisement in 10 s";
      if (!valued || !advertised) ++starved;
      // The destroyed client's watcher and characteristic go with it: only the scanner's and the new
      // subscriber's are left to fire.
      size_t watchers = 0;
      size_t characteristics = 0;
      const bool released = Eventually([&] {
        watchers = radio_->HandlerCount(0, bt::sim::SimEvent::kReceived);
        characteristics = radio_->HandlerCount(kFirstAddress, bt::sim::SimEvent::kValueChanged, kMeasurementHandle);
        return watchers <= 2 && characteristics <= 1;
      });
      EXPECT_TRUE(released) << watchers << " watchers and " << characteristics
                            << " characteristics still fire after " << round / 3 << " clients were destroyed";
      if (!released) ++starved;
    }
    if (round % 3 == 1) {
      EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(scanner);
      EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_START_SCANNING, ""), 0) << LastError(scanner);
    }
    if (round % 2 == 0) {
      const int blocked = counts->blocked.load();
      counts->block = true;
      EXPECT_TRUE(Eventually([&] { return counts->blocked.load() > blocked; })) << "the sink never blocked";
    }
    const int seen = scanned.advertisements.load();
    const bool fresh = Eventually([&] { return scanned.advertisements.load() > seen; });
    EXPECT_TRUE(fresh) << "the scanner got no advertisement in 10 s";
    if (!fresh) ++starved;
  }
  EXPECT_EQ(Do(scanner, VELMORABLE_METHOD_STOP_SCANNING), 0) << LastError(scanner);
  subscriber.reset();
  scanner.Destroy();
}

// Two clients, each used on an application thread the test made: A scans, and its Advertisement sink reads B's
// characteristic every tenth advertisement; B's thread makes the radio (whose threads are so born inside it),
// connects, subscribes and reads that characteristic over and over, and B's Value sink reads A's Scanning
// property. B's thread ends with its client still connected while the radio's threads go on with what its
// calls left them (its last read's result and wait, its wake window), and the clients are destroyed on the
// test's thread. The sanitizers must have nothing to report.
class TwoClientsOnTheirOwnThreads : public ::testing::Test {
 protected:
  void SetUp() override { component::SocketBase::StaticInit(); }
  void TearDown() override {
    bt::InstallProvider(nullptr);
    radio_.reset();
    component::SocketBase::StaticDestroy();
  }

  std::shared_ptr<SimRadio> radio_;
};

TEST_F(TwoClientsOnTheirOwnThreads, ReadAndScanEachOtherFromTheirSinks) {
  struct Context {
    std::atomic<VelmoraBLE_BLEClient*> a{nullptr};
    std::atomic<VelmoraBLE_BLEClient*> b{nullptr};
    std::atomic<int> advertisements{0};
    std::atomic<int> values{0};
    std::atomic<int> reads_from_a{0};
  } context;
  auto sink_a = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_ADVERTISEMENT || ++ctx->advertisements % 10 != 0) return 0;
    VelmoraBLE_BLEClient* b = ctx->b.load();
    if (b != nullptr && OnCharacteristic(b, VELMORABLE_METHOD_READ_VALUE) == 0) ++ctx->reads_from_a;
    return 0;
  };
  auto sink_b = [](void* raw, int32_t id, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (id != VELMORABLE_EVENT_VALUE) return 0;
    ++ctx->values;
    VelmoraBLE_BLEClient* a = ctx->a.load();
    if (a != nullptr) (void)VelmoraBLE_BLEClient_Get(a, VELMORABLE_PROP_SCANNING, 0);
    return 0;
  };
  const int64_t reads = std::max<int64_t>(200, testing_support::FuzzScaled(2000));
  std::atomic<bool> b_done{false};
  std::atomic<int> b_failed{0};
  std::thread b_thread([&] {
    radio_ = std::make_shared<SimRadio>(1);
    SimPeripheral readable = BusyPeripheral(kFirstAddress);
    readable.gatt.services[0].characteristics[0].properties = 0x12;  // Read and Notify
    radio_->AddPeripheral(readable);
    bt::InstallProvider(radio_);
    VelmoraBLE_BLEClient* b = VelmoraBLE_BLEClient_Create(sink_b, &context, 0);
    if (b == nullptr) {
      b_failed = -1;
      b_done = true;
      return;
    }
    context.b = b;
    intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 1,
                            reinterpret_cast<intptr_t>("")};
    int32_t sizes[4] = {0, 0, 0, 0};
    intptr_t subscribe[2] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement)};
    if (Do(b, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()) != 0 ||
        VelmoraBLE_BLEClient_Do(b, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes) != 0 ||
        VelmoraBLE_BLEClient_Do(b, VELMORABLE_METHOD_SUBSCRIBE, 2, subscribe, sizes) != 0) {
      b_failed = -1;
      b_done = true;
      return;
    }
    for (int64_t i = 0; i < reads; ++i) b_failed += OnCharacteristic(b, VELMORABLE_METHOD_READ_VALUE) != 0 ? 1 : 0;
    b_done = true;
  });
  std::thread a_thread([&] {
    VelmoraBLE_BLEClient* a = VelmoraBLE_BLEClient_Create(sink_a, &context, 0);
    if (a == nullptr) return;
    context.a = a;
    (void)Eventually([&] { return context.b.load() != nullptr || b_done.load(); });
    if (Do(a, VELMORABLE_METHOD_START_SCANNING, "") != 0) return;
    (void)Eventually([&] { return b_done.load(); });
    (void)Do(a, VELMORABLE_METHOD_STOP_SCANNING);
  });
  b_thread.join();
  a_thread.join();
  EXPECT_EQ(b_failed.load(), 0);
  EXPECT_GT(context.advertisements.load(), 0);
  EXPECT_GT(context.values.load(), 0);
  std::printf("%d advertisements, %d values, %d reads from A's sink\n", context.advertisements.load(),
              context.values.load(), context.reads_from_a.load());
  VelmoraBLE_BLEClient* a = context.a.exchange(nullptr);
  VelmoraBLE_BLEClient* b = context.b.exchange(nullptr);
  if (a != nullptr) VelmoraBLE_BLEClient_Destroy(a);
  if (b != nullptr) VelmoraBLE_BLEClient_Destroy(b);
}

// A client made on a thread that has ended is used by the next application thread, which the system gives the
// ended thread's id (it reuses the ids of ended threads): the client's waits for the platform are those of a
// thread that owns none of the ended thread's windows, so its calls succeed as on any other thread.
class AClientHandedOnFromAnEndedThread : public RadioFixture<1> {};

TEST_F(AClientHandedOnFromAnEndedThread, WorksOnTheThreadThatGotTheEndedOnesId) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  VelmoraBLE_BLEClient* handle = nullptr;
  std::thread::id maker;
  std::thread([&] {
    handle = VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0);
    maker = std::this_thread::get_id();
  }).join();
  ASSERT_NE(handle, nullptr);
  bool same_id = false;
  std::vector<std::string> failures;
  std::thread([&] {
    same_id = std::this_thread::get_id() == maker;
    const auto check = [&](const char* call, int rc) {
      if (rc != 0) failures.push_back(std::string(call) + " gave " + std::to_string(rc) + ": " + LastError(handle));
    };
    check("Connect", Do(handle, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()));
    check("Disconnect", Do(handle, VELMORABLE_METHOD_DISCONNECT));
    check("StartScanning", Do(handle, VELMORABLE_METHOD_START_SCANNING, ""));
    check("StopScanning", Do(handle, VELMORABLE_METHOD_STOP_SCANNING));
  }).join();
  VelmoraBLE_BLEClient_Destroy(handle);
  EXPECT_TRUE(failures.empty()) << (same_id ? "on the ended thread's id: " : "on another id: ")
                                << ::testing::PrintToString(failures);
}

// A's sink disconnects and connects again (discovering the device anew) while a WriteValue of the CCCD that
// turns notifications on is answered: the subscription was the old connection's. A Subscribed for it would
// tell the program that the new connection's characteristic is subscribed to, while no Value comes for it.
TEST_F(SubscriptionsOfTwoClients, ACccdWriteCutShortByAReconnectReportsNoSubscription) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> step{0};  // 1 once the CCCD write is asked for, 2 once the sink has reconnected
  AtResultOf("Writing value to descriptor", step, [&] {
    EXPECT_EQ(Do(first_, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first_);
    Discovered(first_);
  });
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  uint8_t on[2] = {1, 0};
  intptr_t write[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                       reinterpret_cast<intptr_t>("000100030004"), reinterpret_cast<intptr_t>(on)};
  int32_t write_sizes[4] = {0, 0, 0, 2};
  const int rc = VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_WRITE_VALUE, 4, write, write_sizes);
  ASSERT_EQ(step.load(), 2);
  const std::vector<std::string> events = first_events_.Events();
  const bool reported = std::find(events.begin(), events.end(), "Subscribed 000100030000") != events.end();
  if (reported) {
    EXPECT_EQ(SubscriptionState(first_), 1);
    EXPECT_TRUE(first_events_.GetsValues()) << "Subscribed came (WriteValue gave " << rc << ") but no Value follows";
  } else {
    EXPECT_NE(rc, 0);
  }
}

// A subscribes; A's sink, while Unsubscribe's write is answered, disconnects, connects again and subscribes
// on the new connection. The Unsubscribe ended the old connection's subscription only: the events that A
// sees last must agree with what A then holds (an Unsubscribed last, with Values still coming and the state
// reading 1, tells the program the opposite of what holds).
TEST_F(SubscriptionsOfTwoClients, AnUnsubscribeCutShortByAReconnectLeavesTheNewSubscriptionReported) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  std::atomic<int> step{0};  // 1 once the unsubscribing write is asked for, 2 once the sink has resubscribed
  AtResultOf("Unsubscribing from characteristic", step, [&] {
    EXPECT_EQ(Do(first_, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first_);
    Discovered(first_);
    EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  });
  const int rc = OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE);
  ASSERT_EQ(step.load(), 2);
  const std::vector<std::string> events = first_events_.Events();
  ASSERT_FALSE(events.empty());
  const int state = SubscriptionState(first_);
  const bool values = first_events_.GetsValues();
  if (events.back() == "Unsubscribed 000100030000") {
    EXPECT_EQ(state, 0) << "Unsubscribe gave " << rc << "; events " << ::testing::PrintToString(events);
    EXPECT_FALSE(values) << "Values come after the last event said Unsubscribed";
  } else {
    EXPECT_EQ(state, 1);
    EXPECT_TRUE(values);
  }
}

// The device's services change right after it accepted A's subscribing write (while A's sink logs the
// result); A's sink, in the Subscribed that follows, unsubscribes. That Unsubscribe ended the subscription
// and reported it (Unsubscribed): the platform's end of the same subscription, held for the Subscribe, ends
// nothing more and must not report a second Unsubscribed (nor an Error for it) once the Subscribe returns.
TEST_F(SubscriptionsOfTwoClients, AHeldEndOfASubscriptionTheSinkUnsubscribedIsNotReportedAgain) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  std::atomic<int> step{0};  // 1 once the subscribing write is asked for, 2 once its result is logged
  AtResultOf("Subscribing to characteristic", step, [&] {
    radio_->ReplaceDatabase(kFirstAddress, BusyPeripheral(kFirstAddress).gatt);
    radio_->WaitIdle();
  });
  std::atomic<int> unsubscribed{-1};
  first_events_.on_subscribed = [&] {
    if (unsubscribed.load() == -1) unsubscribed = OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE);
  };
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  ASSERT_EQ(step.load(), 2);
  ASSERT_EQ(unsubscribed.load(), 0);
  const std::vector<std::string> events = first_events_.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "Unsubscribed 000100030000"), 1)
      << ::testing::PrintToString(events);
  EXPECT_EQ(SubscriptionState(first_), 0);
}

// B connects to the device and never subscribes; A subscribes and leaves by Disconnect without unsubscribing.
// No client holds a subscription any more, so the device's CCCD goes off although B keeps the link: in A's
// next connection A's first state reads 0 and the CCCD reads 0000.
TEST_F(SubscriptionsOfTwoClients, TheLastSubscriberLeavingByDisconnectTurnsTheCccdOff) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_EQ(Do(second_, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(second_);
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  ASSERT_TRUE(first_events_.GetsValues());
  ASSERT_EQ(Do(first_, VELMORABLE_METHOD_DISCONNECT), 0) << LastError(first_);
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  EXPECT_EQ(SubscriptionState(first_), 0);
  intptr_t read[4] = {reinterpret_cast<intptr_t>(kHeartRate), reinterpret_cast<intptr_t>(kMeasurement),
                      reinterpret_cast<intptr_t>("000100030004"), 0};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_READ_VALUE, 4, read, sizes), 0) << LastError(first_);
  ASSERT_EQ(sizes[3], 2);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(read[3])[0], 0);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(read[3])[1], 0);
}

// A's Unsubscribe gives up waiting for its CCCD write (301), which the device then takes: A's subscription
// state is not known any more. The next query asks the device (0), and the next Subscribe writes the CCCD
// again instead of trusting the subscription the device ended, so its Values come.
TEST_F(SubscriptionsOfTwoClients, AnUnsubscribeWhoseWaitStoppedLeavesTheNextSubscribeToAskAgain) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_TRUE(first_events_.GetsValues());
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 301) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  radio_->Release(hold);
  radio_->WaitIdle();
  ASSERT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 0);
  EXPECT_EQ(SubscriptionState(first_), 0);
  const size_t writes = CccdWrites();
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(CccdWrites(), writes + 1);
  EXPECT_EQ(SubscriptionState(first_), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// B subscribes, then A. A's Unsubscribe gives up waiting for its CCCD write (301), which the device then takes:
// A's subscription is gone on the device, while B's keeps the device's CCCD on. A's state is its own (0), not
// the device's CCCD, and A's Subscribe must still ask the platform for a subscription of A's own, so that A's
// Values come.
TEST_F(SubscriptionsOfTwoClients, ASubscribeAfterAStoppedUnsubscribeBesideAnotherSubscriberBringsValues) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  ASSERT_TRUE(first_events_.GetsValues());
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 301) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  radio_->Release(hold);
  radio_->WaitIdle();
  ASSERT_TRUE(second_events_.GetsValues());
  EXPECT_TRUE(first_events_.GetsNoValue());
  EXPECT_EQ(SubscriptionState(first_), 0);
  ExpectASubscribeThatAsksAndBringsValues();
}

// A program that subscribes again as soon as its subscription ends: its sink calls Subscribe from the Error 610
// that tells of the end (a services change). The events it gets must leave it subscribed, as it is: the end's
// Unsubscribed, which would come once the sink has returned, does not follow the new subscription's Subscribed.
struct SubscribeAgainOnError {
  Recorder recorder;
  VelmoraBLE_BLEClient* handle = nullptr;
  std::atomic<int> subscribed_again{-1};

  static int32_t Call(void* raw, int32_t id, int32_t count, intptr_t* params, int32_t* sizes) {
    auto* self = static_cast<SubscribeAgainOnError*>(raw);
    const int32_t rc = Recorder::Call(&self->recorder, id, count, params, sizes);
    if (id == VELMORABLE_EVENT_ERROR && params[0] == 610 && self->subscribed_again.load() == -1) {
      self->subscribed_again = OnCharacteristic(self->handle, VELMORABLE_METHOD_SUBSCRIBE);
    }
    return rc;
  }
};

TEST_F(SubscriptionsOfTwoClients, ASubscribeFromTheErrorOfAnEndedSubscriptionIsToldLast) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  SubscribeAgainOnError sink;
  Client client(&SubscribeAgainOnError::Call, &sink);
  ASSERT_NE(client.get(), nullptr);
  sink.handle = client;
  ASSERT_NO_FATAL_FAILURE(Subscribed(client, kFirstAddress));
  ASSERT_TRUE(sink.recorder.GetsValues());
  radio_->ReplaceDatabase(kFirstAddress, BusyPeripheral(kFirstAddress).gatt);
  EXPECT_TRUE(Eventually([&] { return sink.subscribed_again.load() != -1; }));
  radio_->WaitIdle();  // the end's delivery has returned
  EXPECT_EQ(sink.subscribed_again.load(), 0);
  EXPECT_EQ(SubscriptionState(client), 1);
  EXPECT_TRUE(sink.recorder.GetsValues());
  const std::vector<std::string> events = sink.recorder.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), "Subscribed 000100030000") << ::testing::PrintToString(events);
  client.Destroy();
}

// A's Unsubscribe fails with a platform failure that the platform raises once it has taken the CCCD write
// (610): A's subscription is gone on the device. A's next Subscribe must write the CCCD again, not trust the
// subscription listed from before the Unsubscribe, so that A's Values come.
TEST_F(SubscriptionsOfTwoClients, ASubscribeAfterAnUnsubscribeThatRaisedBringsValues) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_TRUE(first_events_.GetsValues());
  (void)radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .results_hresult = static_cast<int32_t>(0x80004005u)});
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 610) << LastError(first_);
  radio_->WaitIdle();
  ASSERT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 0);
  ExpectASubscribeThatAsksAndBringsValues();
}

// A's Subscribe gives up waiting for its CCCD write (301), which the device then takes: the device notifies
// for A, whose sink gets none of it. A's Unsubscribe must end that subscription on the device, not leave the
// device's CCCD on for a client that wants nothing of it.
TEST_F(SubscriptionsOfTwoClients, AnUnsubscribeAfterAStoppedSubscribeEndsWhatTheDeviceTook) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 301) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  radio_->Release(hold);
  radio_->WaitIdle();
  ASSERT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 1);
  const size_t writes = CccdWrites();
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first_);
  radio_->WaitIdle();
  EXPECT_EQ(CccdWrites(), writes + 1);
  EXPECT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 0);
}

// B subscribes. A, with the characteristics found but not their descriptors, subscribes while the device is
// unreachable for descriptor lookups: the Subscribe fails in its CCCD lookup (607) and holds nothing, so A's
// state reads 0, not the device's CCCD that B holds on.
TEST_F(SubscriptionsOfTwoClients, ASubscribeWhoseCccdLookupFailedLeavesStateZero) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(second_, kFirstAddress));
  ASSERT_EQ(Do(first_, VELMORABLE_METHOD_CONNECT, Id(kFirstAddress).c_str()), 0) << LastError(first_);
  intptr_t discover[4] = {reinterpret_cast<intptr_t>(""), reinterpret_cast<intptr_t>(""), 0,
                          reinterpret_cast<intptr_t>("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(first_, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_SERVICE, 0, reinterpret_cast<intptr_t>(kHeartRate)), 0);
  (void)radio_->AddFault({.op = bt::sim::SimOp::kDescriptors,
                          .handle = kMeasurementHandle,
                          .times = 2,  // the flags' lookup and the CCCD's
                          .status = static_cast<int32_t>(bt::GattCommunicationStatus::Unreachable)});
  EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 607) << LastError(first_);
  EXPECT_EQ(SubscriptionState(first_), 0);
  EXPECT_TRUE(first_events_.GetsNoValue());
}

// A, subscribed, turns its notifications off by a WriteValue of the CCCD whose wait stops (301); the device
// then takes the write and stops notifying. A's next Subscribe must bring Values again: it asks the device,
// as after an Unsubscribe whose wait stopped, rather than trusting a subscription the device has ended.
TEST_F(SubscriptionsOfTwoClients, ACccdWriteOffWhoseWaitStoppedLeavesTheNextSubscribeToAskAgain) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_TRUE(first_events_.GetsValues());
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteDescriptor, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(WriteCccd(first_, 0), 301) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  radio_->Release(hold);
  radio_->WaitIdle();
  ASSERT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 0);
  EXPECT_EQ(SubscriptionState(first_), 0);
  const size_t writes = CccdWrites();
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
  EXPECT_EQ(CccdWrites(), writes + 1);
  EXPECT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// A's Unsubscribe, and A's WriteValue turning the CCCD off, each wait out Timeout (301) before the device takes
// the write. The device's late acceptance ends the subscription A still held, and says so: its notifications
// stop, the state reads 0, and Unsubscribed comes (no second one from a later Unsubscribe).
TEST_F(SubscriptionsOfTwoClients, AnEndTheDeviceTookAfterTheWaitStoppedIsToldUnsubscribed) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  for (const bool by_unsubscribe : {true, false}) {
    SCOPED_TRACE(by_unsubscribe ? "Unsubscribe" : "WriteValue of the CCCD");
    if (!by_unsubscribe) {
      ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE), 0) << LastError(first_);
    }
    ASSERT_TRUE(first_events_.GetsValues());
    const size_t events = first_events_.Events().size();
    const int hold = radio_->AddFault(
        {.op = by_unsubscribe ? bt::sim::SimOp::kWriteCccd : bt::sim::SimOp::kWriteDescriptor, .hold = true});
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
    EXPECT_EQ(by_unsubscribe ? OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE) : WriteCccd(first_, 0), 301)
        << LastError(first_);
    ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
    radio_->Release(hold);
    radio_->WaitIdle();
    ASSERT_TRUE(Eventually([&] { return first_events_.Events().size() > events; }));
    EXPECT_EQ(first_events_.Events().back(), "Unsubscribed 000100030000");
    EXPECT_TRUE(first_events_.GetsNoValue());
    EXPECT_EQ(SubscriptionState(first_), 0);
    EXPECT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 0) << LastError(first_);
    EXPECT_EQ(first_events_.Events().size(), events + 1);
  }
}

// A's Unsubscribe waits out Timeout (301); the application subscribes again on its own thread while the
// device's late acceptance of the Unsubscribe is being told (its "Successfully unsubscribed" Log line is in the
// sink). The new Subscribe returns 0 with Subscribed and Values flow: the old end must not come after it as
// Unsubscribed, nor list the state 0 over the new subscription.
TEST_F(SubscriptionsOfTwoClients, ALateUnsubscribeToldWhileTheApplicationSubscribesAgainIsNotTheLastWord) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Subscribed(first_, kFirstAddress));
  ASSERT_TRUE(first_events_.GetsValues());
  std::atomic<int> step{0};  // 1: the late end's Log line is in the sink; 2: the application's Subscribe returned
  first_events_.on_log = [&step](const std::string& line) {
    if (step.load() != 0 || !StartsWith(line, "Successfully unsubscribed")) return;
    step = 1;
    (void)Eventually([&] { return step.load() == 2; });
  };
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteCccd, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  ASSERT_EQ(OnCharacteristic(first_, VELMORABLE_METHOD_UNSUBSCRIBE), 301) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  const size_t events = first_events_.Events().size();
  radio_->Release(hold);
  ASSERT_TRUE(Eventually([&] { return step.load() == 1; }));
  const int subscribed = OnCharacteristic(first_, VELMORABLE_METHOD_SUBSCRIBE);
  step = 2;
  radio_->WaitIdle();
  ASSERT_EQ(subscribed, 0) << LastError(first_);
  std::vector<std::string> after = first_events_.Events();
  after.erase(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(events));
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), "Subscribed 000100030000") << "events after the Unsubscribe: " << ::testing::PrintToString(after);
  EXPECT_EQ(SubscriptionState(first_), 1);
  EXPECT_TRUE(first_events_.GetsValues());
}

// A, which holds nothing and has listed nothing, turns notifications on by a WriteValue of the CCCD whose wait
// stops (301); the device then takes the write. A holds no subscription (no Value reaches it), so its state
// must not read 1 from the CCCD its own failed write turned on, as after a Subscribe that failed.
TEST_F(SubscriptionsOfTwoClients, ACccdWriteOnWhoseWaitStoppedListsNothingHeld) {
  radio_->AddPeripheral(BusyPeripheral(kFirstAddress));
  ASSERT_NO_FATAL_FAILURE(Discovered(first_));
  const int hold = radio_->AddFault({.op = bt::sim::SimOp::kWriteDescriptor, .hold = true});
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 1), 0);
  EXPECT_EQ(WriteCccd(first_, 1), 301) << LastError(first_);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(first_, VELMORABLE_PROP_TIMEOUT, 0, 60), 0);
  radio_->Release(hold);
  radio_->WaitIdle();
  ASSERT_EQ(radio_->CccdValue(kFirstAddress, kMeasurementHandle), 1);
  EXPECT_TRUE(first_events_.GetsNoValue());
  EXPECT_EQ(SubscriptionState(first_), 0);
}

}  // namespace
}  // namespace velmora::ble::testing
