// BLEClient::Do: the numbered methods, their argument slots, and the UTF-16 variant's conversions.
#include <algorithm>

#include "ble/ble_client.h"
#include "ble/internal.h"
#include "component/config_setting_parts.h"
#include "core/code_page.h"
#include "platform/code_page.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::ble {

namespace {

constexpr int kFirstMethod = VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE;
constexpr int kLastMethod = VELMORABLE_METHOD_WRITE_VALUE;
constexpr int kMaxTextSlots = 4;
constexpr const char* kUnknownMethodText = "Unknown method.";

// The text argument slots of each method (bit i: slot i holds a text), indexed by method id.
constexpr uint32_t kTextSlots[kLastMethod + 1] = {
    0, 0,
    0,       // 2 QuerySubscriptionState: index, out state
    0x1,     // 3 Config: setting, out reply
    0x1,     // 4 Connect: server id
    0,       // 5 Disconnect
    0xB,     // 6 Discover: service UUIDs, characteristic UUIDs, include descriptors, service id
    0x3,     // 7 DiscoverCharacteristics: service id, characteristic UUIDs
    0x3,     // 8 DiscoverDescriptors: service id, characteristic id
    0x3,     // 9 DiscoverServices: service UUIDs, service id
    0,       // 10 ProcessEvents
    0x3,     // 11 PostValue: service id, characteristic id, bytes
    0,       // 12 ReadCharacteristicValueAt: index, out bytes
    0,       // 13 ReadDescriptorValueAt: index, out bytes
    0x7,     // 14 ReadValue: service id, characteristic id, descriptor id, out bytes
    0x3,     // 15 Select: service id, characteristic id
    0x1,     // 16 StartScanning: service UUIDs
    0,       // 17 StopScanning
    0x3,     // 18 Subscribe: service id, characteristic id
    0x3,     // 19 Unsubscribe: service id, characteristic id
    0x7,     // 20 WriteValue: service id, characteristic id, descriptor id, bytes
};

// The names of the text arguments, by method id and slot, for the text of a failed conversion.
constexpr const char* kTextSlotNames[kLastMethod + 1][kMaxTextSlots] = {
    {}, {}, {},
    {"setting"},                                     // 3 Config
    {"server ID"},                                   // 4 Connect
    {},                                              // 5 Disconnect
    {"service UUIDs", "characteristic UUIDs", nullptr, "service ID"},  // 6 Discover
    {"service ID", "characteristic UUIDs"},          // 7 DiscoverCharacteristics
    {"service ID", "characteristic ID"},             // 8 DiscoverDescriptors
    {"service UUIDs", "service ID"},                 // 9 DiscoverServices
    {},                                              // 10 ProcessEvents
    {"service ID", "characteristic ID"},             // 11 PostValue
    {}, {},                                          // 12, 13 read at an index
    {"service ID", "characteristic ID", "descriptor ID"},  // 14 ReadValue
    {"service ID", "characteristic ID"},             // 15 Select
    {"service UUIDs"},                               // 16 StartScanning
    {},                                              // 17 StopScanning
    {"service ID", "characteristic ID"},             // 18 Subscribe
    {"service ID", "characteristic ID"},             // 19 Unsubscribe
    {"service ID", "characteristic ID", "descriptor ID"},  // 20 WriteValue
};

const char16_t kEmptyWide[1] = {0};

}  // namespace

// MethodArgs reads the caller's slots; texts are resolved beforehand (never null). Missing arrays read as
// empty and take no out values.
struct BLEClient::MethodArgs {
  intptr_t* params;
  int32_t* cbparams;
  bool wide;
  const char* texts[kMaxTextSlots] = {};

  intptr_t Slot(int i) const { return params != nullptr ? params[i] : 0; }
  const char* Text(int i) const { return texts[i]; }
  int32_t Int(int i) const { return static_cast<int32_t>(Slot(i)); }
  const uint8_t* Bytes(int i) const {
    const auto* bytes = reinterpret_cast<const uint8_t*>(Slot(i));
    return bytes != nullptr ? bytes : reinterpret_cast<const uint8_t*>(core::kEmptyText);
  }
  // Length of byte argument i, once CheckBytes has passed it: 0 without a length array.
  int32_t Length(int i) const {
    if (cbparams == nullptr || Slot(i) == 0) return 0;
    return std::max(cbparams[i], 0);
  }
  // CheckBytes returns 0 when the length of byte argument i describes its bytes (a null pointer with length 0
  // is an empty value), else 202 with the reason as engine's last error text: nothing is to be sent then.
  int CheckBytes(int i, BLEClientEngine& engine) const {
    const int32_t length = cbparams != nullptr ? cbparams[i] : 0;
    if (length >= 0 && (length == 0 || Slot(i) != 0)) return 0;
    char text[80];
    if (length < 0) {
      platform::Format(text, sizeof(text), "Invalid value length %d.", static_cast<int>(length));
    } else {
      platform::Format(text, sizeof(text), "Must supply the value's bytes (length %d).", static_cast<int>(length));
    }
    return engine.SetErrorText(kInvalidArgument, text);
  }
  void SetOut(int i, intptr_t value) {
    if (params != nullptr) params[i] = value;
  }
  void SetOutLength(int i, int32_t length) {
    if (cbparams != nullptr) cbparams[i] = length;
  }
  void SetOutBytes(int i, const uint8_t* value, int32_t length) {
    // A caller always gets a readable pointer back: the empty text when there is no value.
    SetOut(i, value != nullptr ? reinterpret_cast<intptr_t>(value) : reinterpret_cast<intptr_t>(core::kEmptyText));
    SetOutLength(i, length);
  }
};

int BLEClient::Do(int32_t method_id, int32_t param_count, intptr_t* params, int32_t* cbparams) {
  const bool wide = method_id > VELMORABLE_UTF16_VARIANT;
  const int32_t id = wide ? method_id - VELMORABLE_UTF16_VARIANT : method_id;
  if (id == VELMORABLE_METHOD_TEXT_TO_UTF16) return TextToUtf16(param_count, params, cbparams);
  if (id < kFirstMethod || id > kLastMethod) {
    RecordedCall call(engine_);
    return call.Finish(engine_.SetErrorText(kUnknownId, kUnknownMethodText));
  }
  MethodArgs args{params, cbparams, wide};
  const uint32_t text_slots = kTextSlots[id];
  if (!wide) {
    for (int i = 0; i < kMaxTextSlots; ++i) {
      if ((text_slots & (1u << i)) != 0) args.texts[i] = TextOrEmpty(reinterpret_cast<const char*>(args.Slot(i)));
    }
    RecordedCall call(engine_);
    return call.Finish(RunMethod(id, args));
  }
  // The UTF-16 variant: texts are converted with the client's code page into buffers that live until the
  // method returns. A text that cannot be converted ends the call, recorded with a text naming it.
  RecordedCall call(engine_);
  core::Buffer converted[kMaxTextSlots];
  for (int i = 0; i < kMaxTextSlots; ++i) {
    if ((text_slots & (1u << i)) == 0) continue;
    const auto* text = reinterpret_cast<const char16_t*>(args.Slot(i));
    if (text == nullptr) {
      args.texts[i] = core::kEmptyText;
      continue;
    }
    const int rc = core::WideToMultiByte(converted[i], text, engine_.CodePage());
    if (rc == core::kOutOfMemory) return call.Finish(rc);
    if (rc != core::kOk) {
      char message[160];
      platform::Format(message, sizeof(message),
                       "The %s (parameter %d) cannot be converted from UTF-16 in code page %u.", kTextSlotNames[id][i],
                       i, engine_.CodePage());
      return call.Finish(engine_.SetErrorText(rc, message));
    }
    args.texts[i] = converted[i].Data();
  }
  return call.Finish(RunMethod(id, args));
}

int BLEClient::RunMethod(int32_t method_id, MethodArgs& args) {
  const uint8_t* value = nullptr;
  int32_t length = 0;
  int rc = 0;
  switch (method_id) {
    case VELMORABLE_METHOD_QUERY_SUBSCRIPTION_STATE:
      return QuerySubscriptionState(args);
    case VELMORABLE_METHOD_CONFIG:
      return ConfigMethod(args.Text(0), args.params != nullptr ? &args.params[1] : nullptr, args.wide);
    case VELMORABLE_METHOD_CONNECT: {
      // A sink of an event of a connection that another thread has ended since leaves the next one alone.
      if (engine_.EventConnectionEnded()) return kParentNotListed;
      return engine_.Connect(args.Text(0));
    }
    case VELMORABLE_METHOD_DISCONNECT: {
      // The connection of such a sink's event has ended already, as a Disconnect without one does.
      if (engine_.EventConnectionEnded()) return 0;
      return engine_.Disconnect();
    }
    case VELMORABLE_METHOD_DISCOVER:
      return engine_.Discover(args.Text(0), args.Text(1), args.Int(2), args.Text(3));
    case VELMORABLE_METHOD_DISCOVER_CHARACTERISTICS:
      return engine_.DiscoverCharacteristics(args.Text(0), args.Text(1));
    case VELMORABLE_METHOD_DISCOVER_DESCRIPTORS:
      return engine_.DiscoverDescriptors(args.Text(0), args.Text(1));
    case VELMORABLE_METHOD_DISCOVER_SERVICES:
      return engine_.DiscoverServices(args.Text(0), args.Text(1));
    case VELMORABLE_METHOD_PROCESS_EVENTS:
      return ProcessEvents();
    case VELMORABLE_METHOD_POST_VALUE:
      rc = args.CheckBytes(2, engine_);
      return rc != 0 ? rc : engine_.PostValue(args.Text(0), args.Text(1), args.Bytes(2), args.Length(2));
    case VELMORABLE_METHOD_READ_CHARACTERISTIC_VALUE_AT:
      // The out slots hold no value before the read too, for a platform failure that leaves the call at once.
      args.SetOutBytes(1, nullptr, 0);
      rc = engine_.ReadCharacteristicCached(args.Int(0), &value, &length);
      args.SetOutBytes(1, value, length);
      return rc;
    case VELMORABLE_METHOD_READ_DESCRIPTOR_VALUE_AT:
      args.SetOutBytes(1, nullptr, 0);
      rc = engine_.ReadDescriptorCached(args.Int(0), &value, &length);
      args.SetOutBytes(1, value, length);
      return rc;
    case VELMORABLE_METHOD_READ_VALUE:
      args.SetOutBytes(3, nullptr, 0);
      rc = engine_.ReadValue(args.Text(0), args.Text(1), args.Text(2), &value, &length);
      args.SetOutBytes(3, value, length);
      return rc;
    case VELMORABLE_METHOD_SELECT:
      return engine_.Select(args.Text(0), args.Text(1));
    case VELMORABLE_METHOD_START_SCANNING:
      return engine_.StartScanning(args.Text(0));
    case VELMORABLE_METHOD_STOP_SCANNING:
      return engine_.StopScanning();
    case VELMORABLE_METHOD_SUBSCRIBE:
      return engine_.Subscribe(args.Text(0), args.Text(1));
    case VELMORABLE_METHOD_UNSUBSCRIBE:
      return engine_.Unsubscribe(args.Text(0), args.Text(1));
    case VELMORABLE_METHOD_WRITE_VALUE:
      rc = args.CheckBytes(3, engine_);
      return rc != 0 ? rc : engine_.WriteValue(args.Text(0), args.Text(1), args.Text(2), args.Bytes(3), args.Length(3));
    default:
      return engine_.SetErrorText(kUnknownId, kUnknownMethodText);
  }
}

int BLEClient::QuerySubscriptionState(MethodArgs& args) {
  // A wait that stopped (301) is the method's failure; the state slot then says "not subscribed".
  // The slot says "not subscribed" before the query too, for a platform failure that leaves the call at once.
  args.SetOut(1, 0);
  int32_t state = 0;
  const int rc = engine_.GetCccdState(args.Int(0), &state);
  args.SetOut(1, rc == 0 ? state : 0);
  return rc;
}

int BLEClient::ProcessEvents() {
  (void)engine_.WaitStep(engine_.SelectWaitMillis(), engine_.NotificationWindow());
  return 0;
}

int BLEClient::ConfigMethod(const char* text, intptr_t* reply_slot, bool wide) {
  const char* reply = core::kEmptyText;
  CallResults& results = engine_.CurrentResults();
  int rc;
  if (platform::CompareAsciiNoCase(text, "BuildInfo") == 0) {
    rc = results.config_reply.SetString(kBuildInfo);
    reply = results.config_reply.Data();
  } else if (platform::CompareAsciiNoCase(text, "MajorVersion") == 0) {
    rc = results.config_reply.SetString(kMajorVersion);
    reply = results.config_reply.Data();
  } else {
    rc = ConfigCommand(text, &reply);
  }
  if (reply_slot == nullptr) return rc;
  *reply_slot = reinterpret_cast<intptr_t>(reply);
  if (!wide) return rc;
  // A UTF-16 caller always gets UTF-16 text back, an empty one when the call failed.
  *reply_slot = reinterpret_cast<intptr_t>(kEmptyWide);
  if (rc != 0) return rc;
  ResultStringPair* record = results.Record(kConfigReplyRecord);
  if (record == nullptr) return core::kOutOfMemory;
  rc = record->ToWide(reply, engine_.CodePage());
  if (rc == core::kOk) *reply_slot = reinterpret_cast<intptr_t>(record->Wide());
  return rc;
}

int BLEClient::ConfigCommand(const char* text, const char** reply) {
  *reply = core::kEmptyText;
  component::ConfigSettingParts setting;
  const int rc = setting.Parse(text, 0);
  if (rc != core::kOk) return rc;
  return engine_.Config(setting, reply);
}

// TextToUtf16 converts cbparams[0] bytes of the narrow text in slot 0 into the UTF-16 buffer of slot 1 (room
// for cbparams[1] units) and stores the units written in slot 2; a capacity below 1 only counts. Returns 0,
// -1 for a parameter count other than 2, or the platform's error number (87 for arguments that cannot be
// used: missing arrays, a negative source length, a missing source or destination).
int BLEClient::TextToUtf16(int32_t param_count, intptr_t* params, int32_t* cbparams) {
  if (param_count != 2) return kUnknownId;
  if (params == nullptr || cbparams == nullptr) return static_cast<int>(platform::kErrorInvalidParameter);
  params[2] = 0;
  const auto* source = reinterpret_cast<const char*>(params[0]);
  auto* destination = reinterpret_cast<char16_t*>(params[1]);
  const int32_t source_bytes = cbparams[0];
  const int32_t capacity = cbparams[1];
  if (source_bytes < 0) return static_cast<int>(platform::kErrorInvalidParameter);
  if (source_bytes == 0) return 0;  // nothing to convert: no units, size query or not
  if (source == nullptr) return static_cast<int>(platform::kErrorInvalidParameter);
  if (capacity < 1) {
    // A text that is not empty needs at least one unit: none is a conversion that failed.
    const int needed = platform::MultiByteToWideChar(engine_.CodePage(), source, source_bytes, nullptr, 0);
    params[2] = needed;
    return needed != 0 ? 0 : static_cast<int>(platform::GetLastError());
  }
  if (destination == nullptr) return static_cast<int>(platform::kErrorInvalidParameter);
  const int written = platform::MultiByteToWideChar(engine_.CodePage(), source, source_bytes, destination, capacity);
  params[2] = written;
  return written != 0 ? 0 : static_cast<int>(platform::GetLastError());
}

}  // namespace velmora::ble
