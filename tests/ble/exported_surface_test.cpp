// The exported functions against hostile but memory-valid callers: arrays exactly as large as the header says
// each method uses, counts that no server can reach, and a long run of random calls with random texts, sinks
// that call back or fail, and clients destroyed at random points.
//
// VELMORABLE_RANDOM_CALLS sets the number of random calls (default 3000) and VELMORABLE_RANDOM_SEED the seed
// (default: a fresh one, printed so that a failing run can be repeated).
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "component/socket_base.h"
#include "platform/bluetooth/bluetooth.h"
#include "platform/bluetooth/sim/sim_radio.h"
#include "tests/ble/scan_test_util.h"
#include "velmorable.h"

namespace velmora::ble::testing {
namespace {

constexpr uint64_t kAddress = 0x00AABBCC0001;
constexpr const char kServerId[] = "00AABBCC0001";
constexpr const char kServiceId[] = "000100000000";
constexpr const char kCharacteristicId[] = "000100030000";
constexpr const char16_t kServerId16[] = u"00AABBCC0001";
constexpr const char16_t kServiceId16[] = u"000100000000";
constexpr const char16_t kCharacteristicId16[] = u"000100030000";

// A peripheral with one characteristic that can be read, written, written without response and notified,
// which advertises and notifies on its own every few milliseconds.
SimPeripheral Peripheral() {
  SimPeripheral peripheral;
  peripheral.address = kAddress;
  peripheral.name = u"Surface";
  peripheral.pairing_kind = bt::DevicePairingKinds::None;
  SimAdvert advert;
  EXPECT_TRUE(bt::sim::ParseAdvertisingData(Hex("02 01 06 05 FF 34 12 AB CD 04 16 0F 18 64"), &advert.sections));
  peripheral.adverts.push_back(advert);
  peripheral.advertising_interval_ms = 3;
  bt::sim::SimService service = Service(0x0001, 0x180D);
  bt::sim::SimCharacteristic characteristic = Characteristic(0x0003, 0x2A37, 0x1E);
  characteristic.descriptors.push_back({0x0004, bt::BluetoothBaseUuid(0x2902), {0, 0}});
  characteristic.descriptors.push_back({0x0005, bt::BluetoothBaseUuid(0x2901), {'H', 'R'}});
  service.characteristics.push_back(characteristic);
  peripheral.gatt.services.push_back(service);
  peripheral.periodic_values.push_back({0x0003, 3, false, {{0x01}, {0x02, 0x03}}});
  return peripheral;
}

class SurfaceFixture : public RadioFixture<2> {
 protected:
  void SetUp() override {
    RadioFixture::SetUp();
    radio_->AddPeripheral(Peripheral());
  }
};

// ---- Exactly-sized arrays --------------------------------------------------------------------------------

intptr_t T(const void* text) { return reinterpret_cast<intptr_t>(text); }

// ExactCall runs method with heap arrays of exactly `slots` entries each (AddressSanitizer reports any access
// past them) holding values and sizes, and a parameter count that the method must not need.
int ExactCall(VelmoraBLE_BLEClient* handle, int32_t method, int slots, std::initializer_list<intptr_t> values,
              std::initializer_list<int32_t> sizes = {}) {
  EXPECT_EQ(values.size(), static_cast<size_t>(slots)) << "method " << method;
  auto* params = static_cast<intptr_t*>(std::malloc(sizeof(intptr_t) * static_cast<size_t>(slots)));
  auto* cbparams = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(slots)));
  int i = 0;
  for (intptr_t value : values) params[i++] = value;
  for (i = 0; i < slots; ++i) cbparams[i] = 0;
  i = 0;
  for (int32_t size : sizes) cbparams[i++] = size;
  const int32_t count = method % VELMORABLE_UTF16_VARIANT == VELMORABLE_METHOD_TEXT_TO_UTF16 ? 2 : 0;
  const int rc = VelmoraBLE_BLEClient_Do(handle, method, count, params, cbparams);
  std::free(params);
  std::free(cbparams);
  return rc;
}

// Every method, in an order that lets each one succeed, with texts of kind Char (narrow or UTF-16).
template <class Char>
void CallEveryMethod(VelmoraBLE_BLEClient* handle, int32_t variant, const Char* empty, const Char* server,
                     const Char* service, const Char* characteristic, const Char* setting) {
  static const uint8_t kBytes[] = {0x05, 0x00};
  char16_t converted[8] = {};
  struct Step {
    int32_t method;
    int slots;
    std::initializer_list<intptr_t> values;
    std::initializer_list<int32_t> sizes;
  };
  const Step steps[] = {
      {VELMORABLE_METHOD_CONNECT, VELMORABLE_METHOD_CONNECT_SLOTS, {T(server)}, {}},
      {VELMORABLE_METHOD_DISCOVER, VELMORABLE_METHOD_DISCOVER_SLOTS, {T(empty), T(empty), 1, T(empty)}, {}},
      {VELMORABLE_METHOD_SELECT, VELMORABLE_METHOD_SELECT_SLOTS, {T(service), T(characteristic)}, {}},
      {VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE, VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE_SLOTS, {0, 0}, {}},
      {VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT, VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT_SLOTS, {0, 0}, {}},
      {VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT, VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT_SLOTS, {0, 0}, {}},
      {VELMORABLE_METHOD_READ_VALUE, VELMORABLE_METHOD_READ_VALUE_SLOTS, {T(service), T(characteristic), T(empty), 0}, {}},
      {VELMORABLE_METHOD_POST_VALUE, VELMORABLE_METHOD_POST_VALUE_SLOTS, {T(service), T(characteristic), T(kBytes)},
       {0, 0, 2}},
      {VELMORABLE_METHOD_WRITE_VALUE, VELMORABLE_METHOD_WRITE_VALUE_SLOTS,
       {T(service), T(characteristic), T(empty), T(kBytes)}, {0, 0, 0, 2}},
      {VELMORABLE_METHOD_SUBSCRIBE, VELMORABLE_METHOD_SUBSCRIBE_SLOTS, {T(service), T(characteristic)}, {}},
      {VELMORABLE_METHOD_UNSUBSCRIBE, VELMORABLE_METHOD_UNSUBSCRIBE_SLOTS, {T(service), T(characteristic)}, {}},
      {VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS, VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS_SLOTS,
       {T(service), T(empty)}, {}},
      {VELMORABLE_METHOD_DISCOVER_DESCRIPTORS, VELMORABLE_METHOD_DISCOVER_DESCRIPTORS_SLOTS,
       {T(service), T(characteristic)}, {}},
      {VELMORABLE_METHOD_DISCOVER_SERVICES, VELMORABLE_METHOD_DISCOVER_SERVICES_SLOTS, {T(empty), T(empty)}, {}},
      {VELMORABLE_METHOD_START_SCANNING, VELMORABLE_METHOD_START_SCANNING_SLOTS, {T(empty)}, {}},
      {VELMORABLE_METHOD_STOP_SCANNING, VELMORABLE_METHOD_STOP_SCANNING_SLOTS, {}, {}},
      {VELMORABLE_METHOD_PROCESS_EVENTS, VELMORABLE_METHOD_PROCESS_EVENTS_SLOTS, {}, {}},
      {VELMORABLE_METHOD_CONFIG, VELMORABLE_METHOD_CONFIG_SLOTS, {T(setting), 0}, {}},
      {VELMORABLE_METHOD_TEXT_TO_UTF16, VELMORABLE_METHOD_TEXT_TO_UTF16_SLOTS, {T("abc"), T(converted), 0}, {3, 8}},
      {VELMORABLE_METHOD_DISCONNECT, VELMORABLE_METHOD_DISCONNECT_SLOTS, {}, {}},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(ExactCall(handle, variant + step.method, step.slots, step.values, step.sizes), 0)
        << "method " << variant + step.method << ": " << VelmoraBLE_BLEClient_GetLastError(handle);
  }
  // Ids that are no method use no slot.
  for (int32_t unknown : {1, 21, 2002, 2004}) {
    EXPECT_EQ(ExactCall(handle, variant + unknown, 0, {}), -1) << "method " << variant + unknown;
  }
}

TEST_F(SurfaceFixture, EveryMethodStaysWithinTheSlotsTheHeaderGivesIt) {
  VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0);
  ASSERT_NE(handle, nullptr);
  CallEveryMethod<char>(handle, 0, "", kServerId, kServiceId, kCharacteristicId, "LogLevel");
  CallEveryMethod<char16_t>(handle, VELMORABLE_UTF16_VARIANT, u"", kServerId16, kServiceId16, kCharacteristicId16,
                            u"LogLevel");
  VelmoraBLE_BLEClient_Destroy(handle);
}

// ---- Counts ----------------------------------------------------------------------------------------------

TEST_F(SurfaceFixture, CharacteristicCountAboveWhatAServerHoldsIsRefused) {
  VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(nullptr, nullptr, 0);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(Do(handle, VELMORABLE_METHOD_CONNECT, kServerId), 0);
  intptr_t discover[4] = {T(""), T(""), 1, T("")};
  int32_t sizes[4] = {0, 0, 0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle, VELMORABLE_METHOD_DISCOVER, 4, discover, sizes), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_SERVICE, 0, T(kServiceId)), 0);
  ASSERT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0), 1);
  for (intptr_t count : {intptr_t{65536}, intptr_t{1052355061}, intptr_t{INT32_MAX}}) {
    EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0, count), 432);
    EXPECT_EQ(VelmoraBLE_BLEClient_GetLastErrorCode(handle), 432);
    EXPECT_STREQ(VelmoraBLE_BLEClient_GetLastError(handle),
                 "Invalid CharacteristicCount: a server holds at most 65535 characteristics.");
    EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0), 1);
  }
  // The largest count a server can reach is taken, and so is cutting back.
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0, 65535), 0);
  EXPECT_EQ(VelmoraBLE_BLEClient_Get(handle, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0), 65535);
  EXPECT_EQ(VelmoraBLE_BLEClient_Set(handle, VELMORABLE_PROP_CHARACTERISTIC_COUNT, 0, 1), 0);
  VelmoraBLE_BLEClient_Destroy(handle);
}

// ---- Random calls ----------------------------------------------------------------------------------------

uint64_t SeedFromEnvironment() {
  const char* text = std::getenv("VELMORABLE_RANDOM_SEED");
  if (text != nullptr) return std::strtoull(text, nullptr, 0);
  return (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
}

int CallsFromEnvironment() {
  const char* text = std::getenv("VELMORABLE_RANDOM_CALLS");
  const int calls = text != nullptr ? std::atoi(text) : 0;
  return calls > 0 ? calls : 3000;
}

// Texts a random call may pass, narrow and UTF-16: empty, ids that exist, garbage, 100 KB, invalid UTF-8 and
// lone surrogates.
struct TextPool {
  std::vector<std::string> narrow;
  std::vector<std::u16string> wide;

  TextPool() {
    narrow = {"", kServerId, kServiceId, kCharacteristicId, "000100030004", "zz", "180D,2A37", "LogLevel",
              "NoSuchKey", "LastError", "ManufacturerDataCount", "ServiceData=180F", "Timeout=1", "LogLevel=3",
              "CodePage", "GattObjTreeInfo", "BuildInfo", "ScanStartedTimeout=1", "AutoDiscoverDescriptors=True",
              "\xff\xfe\xc3", "\xed\xa0\x80", std::string(100 * 1024, 'A')};
    wide = {u"", kServerId16, kServiceId16, kCharacteristicId16, u"LogLevel", u"NoSuchKey", u"\xD800",
            u"ab\xDC00", u"\xD83D\xDE00", std::u16string(100 * 1024, u'B')};
  }
};

// RandomSink acts inside events: on the application's thread it may call a random method back (one level
// deep); on a platform thread it asks questions, as a sink there may. Either may fail the event.
struct RandomSink {
  std::atomic<VelmoraBLE_BLEClient*> handle{nullptr};
  std::thread::id application;
  uint64_t seed = 0;
  std::atomic<int> events{0};
  std::atomic<int> mismatches{0};
  std::atomic<bool> destroyed_inside{false};

  // Check counts a call whose code is not the calling thread's last error code. A call refused because the
  // client is being destroyed (200) reaches no state at all.
  void Check(VelmoraBLE_BLEClient* handle, int rc) {
    if (rc != 200 && VelmoraBLE_BLEClient_GetLastErrorCode(handle) != rc) ++mismatches;
  }

  static int32_t Call(void* context, int32_t id, int32_t, intptr_t* params, int32_t*) {
    auto* self = static_cast<RandomSink*>(context);
    thread_local std::mt19937_64 random(std::hash<std::thread::id>()(std::this_thread::get_id()));
    thread_local int depth = 0;
    VelmoraBLE_BLEClient* handle = self->handle.load();
    const int n = self->events.fetch_add(1);
    if (handle == nullptr || depth > 0) return 0;
    ++depth;
    const auto pick = random() % 16;
    if (id == VELMORABLE_EVENT_PAIRING_REQUEST) {
      auto* record = reinterpret_cast<VelmoraBLE_EventString*>(params[2]);
      char local[8] = "000000";
      (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 1 + static_cast<int32_t>(pick % 2));
      VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, local, VELMORABLE_EVTSTR_NARROW);
      params[3] = static_cast<intptr_t>(pick % 2);
    } else if (std::this_thread::get_id() == self->application && random() % 40 == 0) {
      // Destroyed from inside an event of one of its own calls: freed when that call ends.
      self->handle.store(nullptr);
      self->destroyed_inside.store(true);
      VelmoraBLE_BLEClient_Destroy(handle);
      --depth;
      return 0;
    } else if (std::this_thread::get_id() == self->application && pick < 3) {
      const int32_t methods[] = {VELMORABLE_METHOD_CONFIG, VELMORABLE_METHOD_DISCOVER_SERVICES,
                                 VELMORABLE_METHOD_READ_VALUE, VELMORABLE_METHOD_STOP_SCANNING};
      intptr_t slots[4] = {T("LogLevel"), T(kCharacteristicId), T(""), 0};
      int32_t sizes[4] = {0, 0, 0, 0};
      const int rc = VelmoraBLE_BLEClient_Do(handle, methods[random() % 4], 1, slots, sizes);
      self->Check(handle, rc);
    } else if (pick < 10) {
      const char* settings[] = {"ManufacturerDataCount", "ServiceData=180F", "LogLevel", "NoSuchKey", "LastError"};
      self->Check(handle, Config(handle, settings[random() % 5]));
      (void)VelmoraBLE_BLEClient_Get(handle, static_cast<int32_t>(random() % 30), static_cast<int32_t>(random() % 3));
      (void)std::strlen(VelmoraBLE_BLEClient_GetLastError(handle));
      (void)std::strlen(VelmoraBLE_BLEClient_GetEventError(handle));
    }
    --depth;
    // Some events fail; now and then the sink empties the event error so that failures are reported again.
    if (n % 97 == 0) (void)VelmoraBLE_BLEClient_SetEventErrorAndCode(handle, 0, "");
    return pick == 15 ? 7 : 0;
  }
};

class RandomCalls {
 public:
  RandomCalls(uint64_t seed, RandomSink& sink) : random_(seed), sink_(sink) {}

  // One random call; returns false when a recorded code disagreed with the last error code.
  bool Step(VelmoraBLE_BLEClient*& handle) {
    const bool agreed = Call(handle);
    if (sink_.destroyed_inside.exchange(false)) {
      ++destroyed_inside_;
      Renew(handle);
    }
    return agreed;
  }

  // Renew replaces a destroyed client.
  void Renew(VelmoraBLE_BLEClient*& handle) {
    handle = VelmoraBLE_BLEClient_Create(&RandomSink::Call, &sink_, random_() % 2);
    sink_.handle.store(handle);
  }

  int Succeeded() const { return succeeded_; }
  int DestroyedInside() const { return destroyed_inside_; }

 private:
  // Call makes one random call. The sink may destroy the client during it: the checks that follow a call
  // read the client only while it lives.
  bool Call(VelmoraBLE_BLEClient*& handle) {
    switch (random_() % 10) {
      case 0:
      case 1:
      case 2:
      case 3:
        return RandomDo(handle);
      case 4:
      case 5:
        (void)VelmoraBLE_BLEClient_Get(handle, PropertyId(), Index());
        return true;
      case 6:
      case 7:
        return RandomSet(handle);
      case 8:
        (void)VelmoraBLE_BLEClient_CheckIndex(handle, PropertyId(), Index());
        if (!sink_.destroyed_inside.load()) (void)std::strlen(VelmoraBLE_BLEClient_GetLastError(handle));
        return true;
      default:
        if (random_() % 50 == 0) {
          // Destroy at a random point, and carry on with a new client.
          sink_.handle.store(nullptr);
          VelmoraBLE_BLEClient_Destroy(handle);
          Renew(handle);
        }
        return true;
    }
  }

  int32_t PropertyId() {
    const int32_t base = static_cast<int32_t>(random_() % 32);
    switch (random_() % 5) {
      case 0: return base + VELMORABLE_UTF16_VARIANT;
      case 1: return base + VELMORABLE_NARROW_VARIANT;
      case 2: return random_() % 2 == 0 ? VELMORABLE_PROP_CODE_PAGE : static_cast<int32_t>(random_());
      default: return base;
    }
  }
  int32_t Index() {
    const int32_t small[] = {0, 1, 2, -1, 65535, INT32_MIN};
    return small[random_() % 6];
  }
  intptr_t NarrowText() { return T(pool_.narrow[random_() % pool_.narrow.size()].c_str()); }
  intptr_t WideText() { return T(pool_.wide[random_() % pool_.wide.size()].c_str()); }

  // The slots of each method as the header gives them: t text (null allowed), i int, b bytes (length in
  // cbparams), o out.
  static const char* Layout(int32_t method) {
    static const char* const kLayouts[] = {"",   "",   "io", "to", "t",  "",   "ttit", "tt",   "tt", "tt", "",
                                           "ttb", "io", "io", "ttto", "tt", "t", "",     "tt",   "tt", "tttb"};
    return method >= 0 && method <= 20 ? kLayouts[method] : "";
  }

  bool RandomDo(VelmoraBLE_BLEClient* handle) {
    const int32_t ids[] = {1, 2, 3, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 2003, 5000};
    const bool wide = random_() % 3 == 0;
    const int32_t plain = ids[random_() % (sizeof(ids) / sizeof(ids[0]))];
    const int32_t id = plain + (wide ? VELMORABLE_UTF16_VARIANT : 0);
    // Four slots cover every method.
    intptr_t params[4] = {0, 0, 0, 0};
    int32_t sizes[4] = {0, 0, 0, 0};
    const char* layout = Layout(plain);
    for (int i = 0; layout[i] != '\0'; ++i) {
      switch (layout[i]) {
        case 't':
          params[i] = random_() % 8 == 0 ? 0 : (wide ? WideText() : NarrowText());
          break;
        case 'i': {
          const intptr_t ints[] = {0, 1, 2, -1, 65536, INT32_MIN};
          params[i] = ints[random_() % 6];
          break;
        }
        case 'b':
          params[i] = random_() % 8 == 0 ? 0 : T(bytes_);
          sizes[i] = static_cast<int32_t>(random_() % (sizeof(bytes_) + 1)) - (random_() % 8 == 0 ? 700 : 0);
          break;
        default:
          break;
      }
    }
    if (id % VELMORABLE_UTF16_VARIANT == VELMORABLE_METHOD_TEXT_TO_UTF16) {
      params[0] = T(bytes_);
      params[1] = T(converted_);
      sizes[0] = static_cast<int32_t>(random_() % (sizeof(bytes_) + 1));
      sizes[1] = static_cast<int32_t>(random_() % (sizeof(converted_) / sizeof(converted_[0]) + 1));
      (void)VelmoraBLE_BLEClient_Do(handle, id, 2, params, sizes);  // never recorded
      return true;
    }
    const int rc = VelmoraBLE_BLEClient_Do(handle, id, static_cast<int32_t>(random_() % 5), params, sizes);
    if (rc == 0 && plain >= VELMORABLE_METHOD_CONNECT && plain <= VELMORABLE_METHOD_WRITE_VALUE) ++succeeded_;
    return sink_.destroyed_inside.load() || VelmoraBLE_BLEClient_GetLastErrorCode(handle) == rc;
  }

  bool RandomSet(VelmoraBLE_BLEClient* handle) {
    const int32_t property = PropertyId();
    intptr_t value;
    switch (property % VELMORABLE_UTF16_VARIANT) {
      case VELMORABLE_PROP_CHARACTERISTIC:
      case VELMORABLE_PROP_SERVICE:
      case VELMORABLE_PROP_CHARACTERISTIC_USER_DESCRIPTION:
        value = property >= VELMORABLE_UTF16_VARIANT && property < VELMORABLE_NARROW_VARIANT ? WideText() : NarrowText();
        break;
      case VELMORABLE_PROP_TIMEOUT:
        value = static_cast<intptr_t>(random_() % 4);
        break;
      default: {
        const intptr_t counts[] = {0, 1, 3, -5, 65535, 65536, 1052355061, INT32_MAX};
        value = counts[random_() % 8];
      }
    }
    const int rc = VelmoraBLE_BLEClient_Set(handle, property, Index(), value);
    // Every Set that reaches its property is recorded; an id that is no settable property gives -1 alone.
    return rc == -1 || sink_.destroyed_inside.load() || VelmoraBLE_BLEClient_GetLastErrorCode(handle) == rc;
  }

  std::mt19937_64 random_;
  RandomSink& sink_;
  int succeeded_ = 0;
  int destroyed_inside_ = 0;
  TextPool pool_;
  uint8_t bytes_[600] = {0xC3, 0x28, 0xFF, 0x00, 0x41};
  char16_t converted_[64] = {};
};

TEST_F(SurfaceFixture, RandomCallsWithRandomTextsKeepTheLastErrorInStep) {
  const uint64_t seed = SeedFromEnvironment();
  const int calls = CallsFromEnvironment();
  std::printf("random calls: VELMORABLE_RANDOM_SEED=0x%llx VELMORABLE_RANDOM_CALLS=%d\n",
              static_cast<unsigned long long>(seed), calls);
  std::fflush(stdout);
  RandomSink sink;
  sink.application = std::this_thread::get_id();
  VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(&RandomSink::Call, &sink, 0);
  ASSERT_NE(handle, nullptr);
  sink.handle.store(handle);
  RandomCalls random(seed, sink);
  int mismatches = 0;
  for (int i = 0; i < calls; ++i) {
    if (!random.Step(handle)) {
      if (++mismatches == 1) ADD_FAILURE() << "call " << i << ": the last error code is not the call's code";
    }
  }
  sink.handle.store(nullptr);
  VelmoraBLE_BLEClient_Destroy(handle);
  radio_->WaitIdle();
  std::printf("random calls: %d operations (Connect to WriteValue) succeeded, %d events, %d clients destroyed by "
              "their sink\n", random.Succeeded(), sink.events.load(), random.DestroyedInside());
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(sink.mismatches.load(), 0);
  EXPECT_GT(sink.events.load(), 0);
}

}  // namespace
}  // namespace velmora::ble::testing
