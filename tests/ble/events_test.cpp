// Events through the sink, driven by the engine's firers (the hook the BLE operations and platform callbacks
// use), the in/out text records, the stream adapter, and Destroy against callbacks on other threads.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "ble/ble_client.h"
#include "ble/event_string_record.h"
#include "ble/host_stream.h"
#include "component/socket_base.h"
#include "velmorable.h"

namespace velmora::ble {
namespace {

// One parameter as the sink saw it.
using Text = std::string;
using Wide = std::u16string;
struct Bytes {
  std::string bytes;
  bool terminated;  // a zero byte followed the counted bytes
  bool operator==(const Bytes&) const = default;
};
using Value = std::variant<int32_t, Text, Wide, Bytes>;

// What a slot holds for the events' layouts: 'i' int, 't' text, 'b' bytes, 'p' PIN record.
const char* Layout(int32_t event_id) {
  switch (event_id) {
    case VELMORABLE_EVENT_ADVERTISEMENT: return "ttiitttibii";
    case VELMORABLE_EVENT_CONNECTED:
    case VELMORABLE_EVENT_DISCONNECTED:
    case VELMORABLE_EVENT_ERROR:
    case VELMORABLE_EVENT_STOP_SCAN: return "it";
    case VELMORABLE_EVENT_DISCOVERED: return "ittttt";
    case VELMORABLE_EVENT_LOG: return "itt";
    case VELMORABLE_EVENT_PAIRING_REQUEST: return "tipi";
    case VELMORABLE_EVENT_SERVER_UPDATE: return "tt";
    case VELMORABLE_EVENT_START_SCAN: return "t";
    case VELMORABLE_EVENT_SUBSCRIBED:
    case VELMORABLE_EVENT_UNSUBSCRIBED: return "tttt";
    case VELMORABLE_EVENT_VALUE: return "tttttb";
    case VELMORABLE_EVENT_WRITE_RESPONSE: return "ttttt";
    default: return "";
  }
}

struct Event {
  int32_t id;
  std::vector<Value> params;
};

// RecordingSink keeps every event it is given, decoded by the layout; Behaviour decides what it returns.
struct RecordingSink {
  bool wide = false;
  std::function<int32_t(int32_t id, intptr_t* params)> behaviour;
  std::vector<Event> events;

  static int32_t Call(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
    auto* sink = static_cast<RecordingSink*>(context);
    Event event{id, {}};
    const std::string layout = Layout(id);
    EXPECT_EQ(static_cast<size_t>(count), layout.size()) << "event " << id;
    for (int32_t i = 0; i < count && static_cast<size_t>(i) < layout.size(); ++i) {
      if (layout[i] != 'b') {
        EXPECT_EQ(cbparams[i], 0) << "event " << id << " slot " << i;
      }
      switch (layout[i]) {
        case 'i': event.params.emplace_back(static_cast<int32_t>(params[i])); break;
        case 't':
          if (sink->wide) {
            event.params.emplace_back(Wide(reinterpret_cast<const char16_t*>(params[i])));
          } else {
            event.params.emplace_back(Text(reinterpret_cast<const char*>(params[i])));
          }
          break;
        case 'b': {
          const auto* bytes = reinterpret_cast<const char*>(params[i]);
          event.params.emplace_back(Bytes{std::string(bytes, cbparams[i]), bytes[cbparams[i]] == '\0'});
          break;
        }
        default: event.params.emplace_back(Text("<record>")); break;
      }
    }
    sink->events.push_back(std::move(event));
    return sink->behaviour ? sink->behaviour(id, params) : 0;
  }
};

class EventsTest : public testing::Test {
 protected:
  void SetUp() override { component::SocketBase::StaticInit(); }
  void TearDown() override {
    if (handle_ != nullptr) VelmoraBLE_BLEClient_Destroy(handle_);
    component::SocketBase::StaticDestroy();
  }
  void Create(uint32_t options = 0) {
    sink_.wide = (options & VELMORABLE_OPTION_UTF16_EVENTS) != 0;
    handle_ = VelmoraBLE_BLEClient_Create(&RecordingSink::Call, &sink_, options);
    ASSERT_NE(handle_, nullptr);
  }
  BLEClientEngine& Engine() { return reinterpret_cast<BLEClient*>(handle_)->Engine(); }

  RecordingSink sink_;
  VelmoraBLE_BLEClient* handle_ = nullptr;
};

// FireEach raises every event once with distinct values (the bytes are sized exactly, with nothing after them).
void FireEach(BLEClientEngine& engine) {
  const std::unique_ptr<uint8_t[]> data(new uint8_t[3]{'M', 'F', 'D'});
  const std::unique_ptr<uint8_t[]> value(new uint8_t[2]{0x01, 0x02});
  engine.FireAdvertisement("A1", "Name", -60, 4, "U1", "U2", "U3", 0x59, data.get(), 3, 1, 0);
  engine.FireConnected(0, "Connected ok");
  engine.FireDisconnected(19, "Gone");
  engine.FireDiscovered(1, "S", "C", "D", "UUID", "Desc");
  engine.FireError(603, "Scan aborted");
  engine.FireLog(2, "message", "Scanning");
  core::Buffer pin;
  int32_t accept = 1;
  engine.FirePairingRequest("A1", 3, &pin, &accept);
  engine.FireServerUpdate("NewName", "S1,S2");
  engine.FireStartScan("U1");
  engine.FireStopScan(0, "");
  engine.FireSubscribed("S", "C", "UUID", "Desc");
  engine.FireUnsubscribed("S", "C", "UUID", nullptr);
  engine.FireValue("S", "C", "", "UUID", "Desc", value.get(), 2);
  engine.FireWriteResponse("S", "C", "D", "UUID", "Desc");
}

// The expected parameters of FireEach, texts narrow or UTF-16.
std::vector<Event> ExpectedEvents(bool wide) {
  auto t = [wide](const char* text) -> Value {
    if (!wide) return Text(text);
    Wide out;
    for (const char* c = text; *c != 0; ++c) out.push_back(static_cast<char16_t>(*c));
    return out;
  };
  return {
      {1, {t("A1"), t("Name"), -60, 4, t("U1"), t("U2"), t("U3"), 0x59, Bytes{"MFD", true}, 1, 0}},
      {2, {0, t("Connected ok")}},
      {3, {19, t("Gone")}},
      {4, {1, t("S"), t("C"), t("D"), t("UUID"), t("Desc")}},
      {5, {603, t("Scan aborted")}},
      {6, {2, t("message"), t("Scanning")}},
      {7, {t("A1"), 3, Text("<record>"), 1}},
      {8, {t("NewName"), t("S1,S2")}},
      {9, {t("U1")}},
      {10, {0, t("")}},
      {11, {t("S"), t("C"), t("UUID"), t("Desc")}},
      {12, {t("S"), t("C"), t("UUID"), t("")}},
      {13, {t("S"), t("C"), t(""), t("UUID"), t("Desc"), Bytes{std::string("\x01\x02", 2), true}}},
      {14, {t("S"), t("C"), t("D"), t("UUID"), t("Desc")}},
  };
}

void ExpectEvents(const std::vector<Event>& actual, const std::vector<Event>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].id, expected[i].id);
    EXPECT_TRUE(actual[i].params == expected[i].params) << "event " << expected[i].id;
  }
}

TEST_F(EventsTest, EveryEventReachesTheSinkWithItsLayout) {
  Create();
  FireEach(Engine());
  ExpectEvents(sink_.events, ExpectedEvents(false));
}

TEST_F(EventsTest, EveryEventReachesTheSinkInUtf16) {
  Create(VELMORABLE_OPTION_UTF16_EVENTS);
  FireEach(Engine());
  ExpectEvents(sink_.events, ExpectedEvents(true));
  sink_.events.clear();
  Engine().FireLog(1, "\xc3\xa9t\xc3\xa9", "Debug");  // UTF-8 in, UTF-16 out
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_TRUE(sink_.events[0].params[1] == Value(Wide(u"\u00e9t\u00e9")));
}

TEST_F(EventsTest, EmptyByteValuesAreNeverWrittenThrough) {
  Create();
  // The shared empty text is read-only storage: handing it out must not write the terminator into it.
  Engine().FireValue("S", "C", "D", "U", "V", reinterpret_cast<const uint8_t*>(core::kEmptyText), 0);
  Engine().FireValue("S", "C", "D", "U", "V", nullptr, 5);
  Engine().FireAdvertisement("A", "", 0, 0, "", "", "", 0, reinterpret_cast<const uint8_t*>(""), 0, 0, 0);
  ASSERT_EQ(sink_.events.size(), 3u);
  EXPECT_TRUE(sink_.events[0].params[5] == Value(Bytes{"", true}));
  EXPECT_TRUE(sink_.events[1].params[5] == Value(Bytes{"", true}));
  EXPECT_TRUE(sink_.events[2].params[8] == Value(Bytes{"", true}));
}

TEST_F(EventsTest, WithoutASinkEventsAreDropped) {
  handle_ = VelmoraBLE_BLEClient_Create(nullptr, nullptr, VELMORABLE_OPTION_UTF16_EVENTS);
  ASSERT_NE(handle_, nullptr);
  FireEach(Engine());
  EXPECT_EQ(VelmoraBLE_BLEClient_GetEventErrorCode(handle_), 0);
}

// ---- Sink failures -----------------------------------------------------------------------------------------

TEST_F(EventsTest, FailingLogHandlerIsReportedOnceThroughError) {
  Create();
  sink_.behaviour = [](int32_t id, intptr_t*) { return id == VELMORABLE_EVENT_LOG ? 5 : 0; };
  Engine().FireLog(1, "first", "Debug");
  Engine().FireLog(1, "second", "Debug");
  ASSERT_EQ(sink_.events.size(), 3u);
  EXPECT_EQ(sink_.events[1].id, VELMORABLE_EVENT_ERROR);
  EXPECT_TRUE(sink_.events[1].params[0] == Value(5));
  EXPECT_TRUE(sink_.events[1].params[1] == Value(Text("An unhandled error occurred in the Log event handler")));
  EXPECT_EQ(sink_.events[2].id, VELMORABLE_EVENT_LOG);  // the second failure is not reported again
  EXPECT_EQ(VelmoraBLE_BLEClient_GetEventErrorCode(handle_), 5);
  EXPECT_STREQ(VelmoraBLE_BLEClient_GetEventError(handle_), "An unhandled error occurred in the Log event handler");

  // Emptying the event error text lets the next failure through.
  EXPECT_EQ(VelmoraBLE_BLEClient_SetEventErrorAndCode(handle_, 0, nullptr), 0);
  sink_.events.clear();
  Engine().FireLog(1, "third", "Debug");
  ASSERT_EQ(sink_.events.size(), 2u);
  EXPECT_EQ(sink_.events[1].id, VELMORABLE_EVENT_ERROR);
}

TEST_F(EventsTest, FailingErrorHandlerIsRecordedNotReraised) {
  Create();
  sink_.behaviour = [](int32_t, intptr_t*) { return 5; };
  Engine().FireError(603, "Scan aborted");
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(VelmoraBLE_BLEClient_GetEventErrorCode(handle_), 5);
  EXPECT_STREQ(VelmoraBLE_BLEClient_GetEventError(handle_), "An unhandled error occurred in the Error event handler");
}

TEST_F(EventsTest, SinkThatSetsTheEventErrorItselfGetsNoErrorEvent) {
  Create();
  sink_.behaviour = [this](int32_t, intptr_t*) {
    return VelmoraBLE_BLEClient_SetEventErrorAndCode(handle_, 9, "my own failure");
  };
  Engine().FireConnected(0, "");
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(VelmoraBLE_BLEClient_GetEventErrorCode(handle_), 9);
  EXPECT_STREQ(VelmoraBLE_BLEClient_GetEventError(handle_), "my own failure");
}

TEST_F(EventsTest, UnconvertibleEventTextIsReportedLikeASinkFailure) {
  Create(VELMORABLE_OPTION_UTF16_EVENTS);
  intptr_t params[2] = {reinterpret_cast<intptr_t>("CodePage=12345"), 0};
  int32_t cbparams[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_CONFIG, 1, params, cbparams), 0);
  Engine().FireLog(1, "x", "Debug");
  EXPECT_TRUE(sink_.events.empty());
  EXPECT_EQ(VelmoraBLE_BLEClient_GetEventErrorCode(handle_), 434);
  EXPECT_STREQ(VelmoraBLE_BLEClient_GetEventError(handle_), "An unhandled error occurred in the Log event handler");
}

// ---- The PIN of PairingRequest -----------------------------------------------------------------------------

TEST_F(EventsTest, PairingPinIsReadAndReplacedThroughTheRecord) {
  Create();
  std::string seen_narrow;
  std::u16string seen_wide;
  std::function<void(VelmoraBLE_EventString*)> answer;
  sink_.behaviour = [&](int32_t id, intptr_t* params) {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    auto* record = reinterpret_cast<VelmoraBLE_EventString*>(params[2]);
    seen_narrow = static_cast<const char*>(VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 1));
    seen_wide = static_cast<const char16_t*>(VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 2));
    answer(record);
    params[3] = 0;  // refuse
    return 0;
  };
  core::Buffer pin;
  ASSERT_EQ(pin.SetString("1234"), 0);
  int32_t accept = 1;

  // By reference to storage that outlives the sink: the library reads it once the sink has returned.
  char lasting[8] = "567890";
  answer = [&lasting](VelmoraBLE_EventString* record) {
    VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_REFERENCE, lasting, 1);
    (void)VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 2);  // an owned copy the record frees
  };
  Engine().FirePairingRequest("A1", 1, &pin, &accept);
  EXPECT_EQ(seen_narrow, "1234");
  EXPECT_EQ(seen_wide, u"1234");
  EXPECT_STREQ(pin.Data(), "567890");
  EXPECT_NE(pin.Data(), lasting);  // taken as a copy: no pointer to the caller's storage is kept
  EXPECT_EQ(accept, 0);

  // A buffer in the sink's own frame goes by copy: it is gone by the time the sink has returned.
  answer = [](VelmoraBLE_EventString* record) {
    char local[8] = "246801";
    VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, local, 1);
    std::memset(local, 'X', 6);  // the record holds its own copy
  };
  Engine().FirePairingRequest("A1", 1, &pin, &accept);
  EXPECT_EQ(seen_narrow, "567890");
  EXPECT_STREQ(pin.Data(), "246801");

  // A UTF-16 copy comes back narrow.
  answer = [](VelmoraBLE_EventString* record) { VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, u"42", 2); };
  Engine().FirePairingRequest("A1", 1, &pin, &accept);
  EXPECT_EQ(seen_narrow, "246801");
  EXPECT_STREQ(pin.Data(), "42");

  // Nothing left in the record: no PIN.
  answer = [](VelmoraBLE_EventString* record) { VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, nullptr, 1); };
  Engine().FirePairingRequest("A1", 1, &pin, &accept);
  EXPECT_STREQ(pin.Data(), "");
}

// A GET of the other kind that cannot convert (a code page the system lacks) only fails: the PIN the sink set
// stays, and so does the text an earlier GET handed out.
TEST_F(EventsTest, AGetThatCannotConvertLeavesThePinAsItWas) {
  Create();
  intptr_t params[2] = {reinterpret_cast<intptr_t>("CodePage=12345678"), 0};
  int32_t cbparams[2] = {0, 0};
  ASSERT_EQ(VelmoraBLE_BLEClient_Do(handle_, VELMORABLE_METHOD_CONFIG, 1, params, cbparams), 0);
  std::string narrow_after;
  const void* wide = reinterpret_cast<const void*>(1);
  sink_.behaviour = [&](int32_t id, intptr_t* event) {
    if (id != VELMORABLE_EVENT_PAIRING_REQUEST) return 0;
    auto* record = reinterpret_cast<VelmoraBLE_EventString*>(event[2]);
    VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_SET_BY_COPY, "2468", 1);
    const auto* narrow = static_cast<const char*>(VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 1));
    wide = VelmoraBLE_EvtStr(record, VELMORABLE_EVTSTR_GET, nullptr, 2);
    narrow_after = narrow;
    event[3] = 1;
    return 0;
  };
  core::Buffer pin;
  ASSERT_EQ(pin.SetString("1234"), 0);
  int32_t accept = 0;
  Engine().FirePairingRequest("A1", 1, &pin, &accept);
  EXPECT_EQ(wide, nullptr);
  EXPECT_EQ(narrow_after, "2468");
  EXPECT_STREQ(pin.Data(), "2468");
  EXPECT_EQ(accept, 1);
}

// ---- VelmoraBLE_EvtStr -------------------------------------------------------------------------------------

TEST(EventString, GetConvertsBetweenKinds) {
  EventStringRecord record(65001);
  auto* handle = reinterpret_cast<VelmoraBLE_EventString*>(&record);
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 1), nullptr);  // holds nothing
  char digits[] = "2024";
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_REFERENCE, digits, 1), nullptr);
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 1), digits);
  const auto* wide = static_cast<const char16_t*>(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 2));
  EXPECT_EQ(std::u16string(wide), u"2024");
  EXPECT_EQ(record.owned, EventStringRecord::kOwnsWide);
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 2), wide);  // converted once

  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, u"\u00e9", 2), nullptr);
  EXPECT_EQ(record.narrow, nullptr);
  EXPECT_STREQ(static_cast<const char*>(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 1)), "\xc3\xa9");
  EXPECT_EQ(record.owned, EventStringRecord::kOwnsNarrow | EventStringRecord::kOwnsWide);

  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, u"", 2), nullptr);
  EXPECT_STREQ(static_cast<const char*>(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 1)), "");
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 3), nullptr);
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, 7, digits, 1), nullptr);
}

TEST(EventString, SettingTheSameTextKeepsTheRecord) {
  EventStringRecord record(65001);
  auto* handle = reinterpret_cast<VelmoraBLE_EventString*>(&record);
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, "abc", 1);
  const char* copy = record.narrow;
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, "abc", 1);
  EXPECT_EQ(record.narrow, copy);
  const char* other = "abcd";
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, other, 1);
  EXPECT_STREQ(record.narrow, "abcd");
  EXPECT_NE(record.narrow, other);
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_REFERENCE, other, 1);
  EXPECT_EQ(record.narrow, other);
  EXPECT_EQ(record.owned, 0);
  (void)VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 2);
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_REFERENCE, other, 1);  // same pointer: the copy stays
  EXPECT_NE(record.wide, nullptr);
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, u"xy", 2);
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, u"xy", 2);
  EXPECT_EQ(std::u16string(record.wide), u"xy");
  EXPECT_EQ(record.narrow, nullptr);
  const char16_t wide_pin[] = u"0000";
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_REFERENCE, wide_pin, 2);
  EXPECT_EQ(record.wide, wide_pin);
  EXPECT_EQ(record.owned, 0);
  EXPECT_STREQ(static_cast<const char*>(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 1)), "0000");
}

// A GET that cannot convert reads as null and changes nothing: the text held stays readable in its own kind.
TEST(EventString, FailedConversionReadsAsNullAndKeepsTheText) {
  EventStringRecord record(12345);  // a code page the system cannot convert with
  auto* handle = reinterpret_cast<VelmoraBLE_EventString*>(&record);
  VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_SET_BY_COPY, u"xy", 2);
  const void* held = record.wide;
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 1), nullptr);
  EXPECT_EQ(record.status, 0);
  EXPECT_EQ(VelmoraBLE_EvtStr(handle, VELMORABLE_EVTSTR_GET, nullptr, 2), held);
}

// ---- VelmoraBLE_Stream -------------------------------------------------------------------------------------

// A host stream that records which operation ran with what.
class FakeStream : public HostStream {
 public:
  std::vector<std::string> calls;
  void Reserved0() override { calls.push_back("reserved0"); }
  void Reserved1() override { calls.push_back("reserved1"); }
  void Release(int32_t flags) override { calls.push_back("release " + std::to_string(flags)); }
  const char* ErrorText() override { return "stream text"; }
  int32_t ErrorCode() override { return 77; }
  void Reserved5() override { calls.push_back("reserved5"); }
  bool QueryFlag(int32_t which) override { return which == 3; }
  int64_t Query64() override { return 1LL << 40; }
  int32_t Set64(int64_t value) override { return value == (1LL << 33) ? 11 : -11; }
  int32_t TransferA(void*, int32_t length) override { return 100 + length; }
  int32_t TransferB(void*, int32_t length) override { return 200 + length; }
  int32_t Position(int64_t offset, int32_t origin) override { return static_cast<int32_t>(offset) + origin; }
  int32_t Control(int32_t zero, VelmoraBLE_StreamArg* arg, void* out) override {
    return zero == 0 && arg != nullptr && out != nullptr ? 503 : -503;
  }
  int32_t Close() override {
    calls.push_back("close");
    return 0;
  }
};

TEST(StreamAdapter, CallsTheHostSlotsInTheirOrder) {
  FakeStream stream;
  char data[4] = {};
  VelmoraBLE_StreamArg arg{data, 4};
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_TRANSFER_A, &arg, nullptr), 104);
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_TRANSFER_B, &arg, nullptr), 204);
  int64_t position = 40;
  VelmoraBLE_StreamArg position_arg{&position, 2};
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_POSITION, &position_arg, nullptr), 42);
  int out = 0;
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_CONTROL, &arg, &out), 503);
  int32_t which = 3;
  VelmoraBLE_StreamArg which_arg{&which, 4};
  uint8_t flag = 9;
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_QUERY_FLAG, &which_arg, &flag), 0);
  EXPECT_EQ(flag, 1);
  int64_t value = 0;
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_QUERY_64, nullptr, &value), 0);
  EXPECT_EQ(value, 1LL << 40);
  int64_t set_value = 1LL << 33;
  VelmoraBLE_StreamArg set_arg{&set_value, 8};
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_SET_64, &set_arg, nullptr), 11);
  const char* text = nullptr;
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_ERROR_TEXT, nullptr, &text), 0);
  EXPECT_STREQ(text, "stream text");
  int32_t code = 0;
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_ERROR_CODE, nullptr, &code), 0);
  EXPECT_EQ(code, 77);
  EXPECT_EQ(VelmoraBLE_Stream(&stream, 499, nullptr, nullptr), 0);
  EXPECT_EQ(VelmoraBLE_Stream(&stream, VELMORABLE_STREAM_CLOSE, nullptr, nullptr), 0);
  EXPECT_EQ(stream.calls, (std::vector<std::string>{"close", "release 1"}));
}

// ---- Destroy against callbacks -----------------------------------------------------------------------------

// A sink that counts calls and notes any call that arrives after Destroy returned.
struct GuardSink {
  std::atomic<int> calls{0};
  std::atomic<bool> destroyed{false};
  std::atomic<int> late_calls{0};
  std::atomic<int> slow_every{0};

  static int32_t Call(void* context, int32_t, int32_t, intptr_t*, int32_t*) {
    auto* sink = static_cast<GuardSink*>(context);
    if (sink->destroyed.load()) sink->late_calls.fetch_add(1);
    const int n = sink->calls.fetch_add(1) + 1;
    if (sink->slow_every.load() != 0 && n % sink->slow_every.load() == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (sink->destroyed.load()) sink->late_calls.fetch_add(1);
    return n % 7 == 0 ? 3 : 0;  // some failures, so the Error path runs as well
  }
};

// PlatformThread fires events the way a platform callback does: through the bridge it holds, which
// outlives the client.
void PlatformThread(std::shared_ptr<BLEEvent> bridge, std::atomic<bool>* started, std::atomic<int>* refused) {
  for (int i = 0;; ++i) {
    CallResults results;
    CallScope scope(bridge, &results);
    if (scope.Engine() == nullptr) {
      refused->fetch_add(1);
      return;
    }
    scope.Engine()->FireDiscovered(0, "S", "C", "D", "UUID", "Description");
    if (i == 20) started->store(true);
  }
}

TEST(DestroyAgainstCallbacks, NoEventReachesAFreedClientOrTheSinkAfterDestroy) {
  component::SocketBase::StaticInit();
  for (int round = 0; round < 20; ++round) {
    GuardSink sink;
    sink.slow_every.store(round % 2 == 0 ? 5 : 0);
    VelmoraBLE_BLEClient* handle = VelmoraBLE_BLEClient_Create(&GuardSink::Call, &sink, round % 3 == 0 ? 1 : 0);
    ASSERT_NE(handle, nullptr);
    std::shared_ptr<BLEEvent> bridge = reinterpret_cast<BLEClient*>(handle)->Engine().Bridge();
    std::atomic<bool> started{false};
    std::atomic<int> refused{0};
    std::thread first(PlatformThread, bridge, &started, &refused);
    std::thread second(PlatformThread, bridge, &started, &refused);
    while (!started.load()) std::this_thread::yield();
    EXPECT_EQ(VelmoraBLE_BLEClient_Destroy(handle), 0);
    sink.destroyed.store(true);
    first.join();
    second.join();
    EXPECT_EQ(refused.load(), 2);
    EXPECT_EQ(sink.late_calls.load(), 0);
    EXPECT_GT(sink.calls.load(), 0);
    // The bridge outlives the client and refuses every later callback.
    EXPECT_EQ(bridge->Enter(), nullptr);
  }
  component::SocketBase::StaticDestroy();
}

// A sink on a platform thread that destroys its client: the client goes when the callback ends, and the
// events the callback raises after Destroy go nowhere.
TEST(DestroyAgainstCallbacks, DestroyFromInsideACallbackIsDeferred) {
  component::SocketBase::StaticInit();
  struct Context {
    VelmoraBLE_BLEClient* handle = nullptr;
    int calls = 0;
    int32_t do_after_destroy = 0;
  } context;
  auto sink = [](void* raw, int32_t, int32_t, intptr_t*, int32_t*) -> int32_t {
    auto* ctx = static_cast<Context*>(raw);
    if (++ctx->calls == 1) {
      EXPECT_EQ(VelmoraBLE_BLEClient_Destroy(ctx->handle), 0);
      ctx->do_after_destroy = VelmoraBLE_BLEClient_Do(ctx->handle, VELMORABLE_METHOD_DISCONNECT, 0, nullptr, nullptr);
      return 5;  // would raise an Error event on a live client
    }
    return 0;
  };
  context.handle = VelmoraBLE_BLEClient_Create(sink, &context, 0);
  ASSERT_NE(context.handle, nullptr);
  std::shared_ptr<BLEEvent> bridge = reinterpret_cast<BLEClient*>(context.handle)->Engine().Bridge();
  std::thread platform([&] {
    CallResults results;
    CallScope scope(bridge, &results);
    ASSERT_NE(scope.Engine(), nullptr);
    scope.Engine()->FireLog(1, "first", "Debug");
    scope.Engine()->FireLog(1, "after destroy", "Debug");  // still inside: the client lives, the sink is quiet
  });
  platform.join();
  EXPECT_EQ(context.calls, 1);
  EXPECT_EQ(context.do_after_destroy, 200);  // the handle is refused once Destroy ran
  EXPECT_EQ(bridge->Inside(), 0u);
  EXPECT_TRUE(bridge->Detached());
  component::SocketBase::StaticDestroy();
}

}  // namespace
}  // namespace velmora::ble
