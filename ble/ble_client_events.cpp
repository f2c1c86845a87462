// The events: the engine's firers, which make the values safe to hand out, and the client's firers, which
// pack them into the sink's parameter arrays, call the sink and report a sink's failure.
#include <initializer_list>
#include <mutex>

#include "ble/ble_client.h"
#include "ble/event_string_record.h"
#include "ble/internal.h"
#include "core/code_page.h"
#include "platform/text.h"

namespace velmora::ble {

namespace {

// Room for the text parameters of one event: Advertisement, Discovered and Value carry five.
constexpr int kMaxTextParams = 6;

// The event names by id, as the sink failure text gives them.
const char* const kEventNames[] = {
    "",           "Advertisement", "Connected",  "Disconnected", "Discovered", "Error",
    "Log",        "PairingRequest", "ServerUpdate", "StartScan", "StopScan", "Subscribed",
    "Unsubscribed", "Value",       "WriteResponse",
};

const char* EventName(int32_t event_id) {
  if (event_id < 1 || event_id > VELMORABLE_EVENT_WRITE_RESPONSE) return "PlatformRequest";
  return kEventNames[event_id];
}

constexpr uint32_t Slots(std::initializer_list<int> slots) {
  uint32_t mask = 0;
  for (int slot : slots) mask |= 1u << slot;
  return mask;
}

intptr_t P(const void* pointer) { return reinterpret_cast<intptr_t>(pointer); }

// OwnedBytes holds a copy of an event's byte value, which always has a zero byte after it: the sink may
// read the value as text, and the caller's storage is never written. An empty or missing value, or one
// that cannot be copied, is passed as the empty value.
class OwnedBytes {
 public:
  OwnedBytes(const uint8_t* data, int32_t length) {
    if (data != nullptr && length > 0) (void)copy_.SetData(length, data);
  }
  const uint8_t* Data() const { return copy_.Bytes(); }
  int32_t Length() const { return copy_.Length(); }

 private:
  core::Buffer copy_;
};

}  // namespace

// ---- Engine firers -----------------------------------------------------------------------------------------

int BLEClientEngine::FireAdvertisement(const char* server_id, const char* name, int32_t rssi, int32_t tx_power,
                                       const char* service_uuids, const char* service_data_uuids,
                                       const char* solicited_uuids, int32_t company_id, const uint8_t* data,
                                       int32_t data_len, int32_t connectable, int32_t scan_response) {
  if (sink_ == nullptr) return 0;
  server_id = TextOrEmpty(server_id);
  name = TextOrEmpty(name);
  const OwnedBytes bytes(data, data_len);
  sink_->BeforeEvent(CodePage(), server_id, name);
  (void)sink_->FireAdvertisement(server_id, name, rssi, tx_power, TextOrEmpty(service_uuids),
                                  TextOrEmpty(service_data_uuids), TextOrEmpty(solicited_uuids), company_id,
                                  bytes.Data(), bytes.Length(), connectable, scan_response);
  return 0;
}

int BLEClientEngine::FireConnected(int32_t status, const char* description) {
  if (sink_ == nullptr) return 0;
  description = TextOrEmpty(description);
  sink_->BeforeEvent(CodePage(), description, nullptr);
  (void)sink_->FireConnected(status, description);
  return 0;
}

int BLEClientEngine::FireDisconnected(int32_t status, const char* description) {
  if (sink_ == nullptr) return 0;
  description = TextOrEmpty(description);
  sink_->BeforeEvent(CodePage(), description, nullptr);
  (void)sink_->FireDisconnected(status, description);
  return 0;
}

int BLEClientEngine::FireDiscovered(int32_t kind, const char* service_id, const char* characteristic_id,
                                    const char* descriptor_id, const char* uuid, const char* description) {
  if (sink_ == nullptr) return 0;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  sink_->BeforeEvent(CodePage(), service_id, characteristic_id);
  (void)sink_->FireDiscovered(kind, service_id, characteristic_id, TextOrEmpty(descriptor_id), TextOrEmpty(uuid),
                               TextOrEmpty(description));
  return 0;
}

int BLEClientEngine::FireError(int32_t code, const char* description) {
  if (sink_ == nullptr) return 0;
  description = TextOrEmpty(description);
  sink_->BeforeEvent(CodePage(), description, nullptr);
  (void)sink_->FireError(code, description);
  return 0;
}

int BLEClientEngine::FireLog(int32_t level, const char* message, const char* log_type) {
  if (sink_ == nullptr) return 0;
  message = TextOrEmpty(message);
  log_type = TextOrEmpty(log_type);
  sink_->BeforeEvent(CodePage(), message, log_type);
  (void)sink_->FireLog(level, message, log_type);
  return 0;
}

int BLEClientEngine::FirePairingRequest(const char* server_id, int32_t kind, core::Buffer* pin, int32_t* accept) {
  if (sink_ == nullptr || pin == nullptr || accept == nullptr) return 0;
  server_id = TextOrEmpty(server_id);
  sink_->BeforeEvent(CodePage(), server_id, nullptr);
  (void)sink_->FirePairingRequest(server_id, kind, pin, accept);
  return 0;
}

int BLEClientEngine::FireServerUpdate(const char* name, const char* changed_services) {
  if (sink_ == nullptr) return 0;
  name = TextOrEmpty(name);
  changed_services = TextOrEmpty(changed_services);
  sink_->BeforeEvent(CodePage(), name, changed_services);
  (void)sink_->FireServerUpdate(name, changed_services);
  return 0;
}

int BLEClientEngine::FireStartScan(const char* service_uuids) {
  if (sink_ == nullptr) return 0;
  service_uuids = TextOrEmpty(service_uuids);
  sink_->BeforeEvent(CodePage(), service_uuids, nullptr);
  (void)sink_->FireStartScan(service_uuids);
  return 0;
}

int BLEClientEngine::FireStopScan(int32_t code, const char* description) {
  if (sink_ == nullptr) return 0;
  description = TextOrEmpty(description);
  sink_->BeforeEvent(CodePage(), description, nullptr);
  (void)sink_->FireStopScan(code, description);
  return 0;
}

int BLEClientEngine::FireSubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                                    const char* description) {
  if (sink_ == nullptr) return 0;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  sink_->BeforeEvent(CodePage(), service_id, characteristic_id);
  (void)sink_->FireSubscribed(service_id, characteristic_id, TextOrEmpty(uuid), TextOrEmpty(description));
  return 0;
}

int BLEClientEngine::FireUnsubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                                      const char* description) {
  if (sink_ == nullptr) return 0;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  sink_->BeforeEvent(CodePage(), service_id, characteristic_id);
  (void)sink_->FireUnsubscribed(service_id, characteristic_id, TextOrEmpty(uuid), TextOrEmpty(description));
  return 0;
}

int BLEClientEngine::FireValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                               const char* uuid, const char* description, const uint8_t* value, int32_t value_len) {
  if (sink_ == nullptr) return 0;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  const OwnedBytes bytes(value, value_len);
  sink_->BeforeEvent(CodePage(), service_id, characteristic_id);
  (void)sink_->FireValue(service_id, characteristic_id, TextOrEmpty(descriptor_id), TextOrEmpty(uuid),
                          TextOrEmpty(description), bytes.Data(), bytes.Length());
  return 0;
}

int BLEClientEngine::FireWriteResponse(const char* service_id, const char* characteristic_id,
                                       const char* descriptor_id, const char* uuid, const char* description) {
  if (sink_ == nullptr) return 0;
  service_id = TextOrEmpty(service_id);
  characteristic_id = TextOrEmpty(characteristic_id);
  sink_->BeforeEvent(CodePage(), service_id, characteristic_id);
  (void)sink_->FireWriteResponse(service_id, characteristic_id, TextOrEmpty(descriptor_id), TextOrEmpty(uuid),
                                  TextOrEmpty(description));
  return 0;
}

// ---- Client firers -----------------------------------------------------------------------------------------

int BLEClient::FireAdvertisement(const char* server_id, const char* name, int32_t rssi, int32_t tx_power,
                                 const char* service_uuids, const char* service_data_uuids,
                                 const char* solicited_uuids, int32_t company_id, const uint8_t* data,
                                 int32_t data_len, int32_t connectable, int32_t scan_response) {
  intptr_t params[11] = {P(server_id),        P(name),           rssi,       tx_power, P(service_uuids),
                         P(service_data_uuids), P(solicited_uuids), company_id, P(data),  connectable,
                         scan_response};
  int32_t cbparams[11] = {0, 0, 0, 0, 0, 0, 0, 0, data_len, 0, 0};
  return DeliverEvent(VELMORABLE_EVENT_ADVERTISEMENT, 11, params, cbparams, Slots({0, 1, 4, 5, 6}));
}

int BLEClient::FireConnected(int32_t status, const char* description) {
  intptr_t params[2] = {status, P(description)};
  int32_t cbparams[2] = {0, 0};
  return DeliverEvent(VELMORABLE_EVENT_CONNECTED, 2, params, cbparams, Slots({1}));
}

int BLEClient::FireDisconnected(int32_t status, const char* description) {
  intptr_t params[2] = {status, P(description)};
  int32_t cbparams[2] = {0, 0};
  return DeliverEvent(VELMORABLE_EVENT_DISCONNECTED, 2, params, cbparams, Slots({1}));
}

int BLEClient::FireDiscovered(int32_t kind, const char* service_id, const char* characteristic_id,
                              const char* descriptor_id, const char* uuid, const char* description) {
  intptr_t params[6] = {kind, P(service_id), P(characteristic_id), P(descriptor_id), P(uuid), P(description)};
  int32_t cbparams[6] = {0, 0, 0, 0, 0, 0};
  return DeliverEvent(VELMORABLE_EVENT_DISCOVERED, 6, params, cbparams, Slots({1, 2, 3, 4, 5}));
}

int BLEClient::FireError(int32_t code, const char* description) {
  intptr_t params[2] = {code, P(description)};
  int32_t cbparams[2] = {0, 0};
  return DeliverEvent(VELMORABLE_EVENT_ERROR, 2, params, cbparams, Slots({1}));
}

int BLEClient::FireLog(int32_t level, const char* message, const char* log_type) {
  intptr_t params[3] = {level, P(message), P(log_type)};
  int32_t cbparams[3] = {0, 0, 0};
  return DeliverEvent(VELMORABLE_EVENT_LOG, 3, params, cbparams, Slots({1, 2}));
}

int BLEClient::FirePairingRequest(const char* server_id, int32_t kind, core::Buffer* pin, int32_t* accept) {
  // The PIN record lives for this event only: two pairing requests on different threads never share one,
  // and the sink's pointers are not kept past its return.
  EventStringRecord record(engine_.CodePage());
  record.Prefill(pin->Data());
  intptr_t params[4] = {P(server_id), kind, P(&record), *accept};
  int32_t cbparams[4] = {0, 0, 0, 0};
  const int rc = DeliverEvent(VELMORABLE_EVENT_PAIRING_REQUEST, 4, params, cbparams, Slots({0}));
  // What the sink left (possibly UTF-16, possibly its own storage) is copied before the record goes.
  const char* given = record.GetNarrow();
  if (given == nullptr) {
    (void)pin->Clear();
  } else if (given != pin->Data()) {
    if (pin->SetString(given) != core::kOk) (void)pin->Clear();
  }
  *accept = static_cast<int32_t>(params[3]);
  return rc;
}

int BLEClient::FireServerUpdate(const char* name, const char* changed_services) {
  intptr_t params[2] = {P(name), P(changed_services)};
  int32_t cbparams[2] = {0, 0};
  return DeliverEvent(VELMORABLE_EVENT_SERVER_UPDATE, 2, params, cbparams, Slots({0, 1}));
}

int BLEClient::FireStartScan(const char* service_uuids) {
  intptr_t params[1] = {P(service_uuids)};
  int32_t cbparams[1] = {0};
  return DeliverEvent(VELMORABLE_EVENT_START_SCAN, 1, params, cbparams, Slots({0}));
}

int BLEClient::FireStopScan(int32_t code, const char* description) {
  intptr_t params[2] = {code, P(description)};
  int32_t cbparams[2] = {0, 0};
  return DeliverEvent(VELMORABLE_EVENT_STOP_SCAN, 2, params, cbparams, Slots({1}));
}

int BLEClient::FireSubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                              const char* description) {
  intptr_t params[4] = {P(service_id), P(characteristic_id), P(uuid), P(description)};
  int32_t cbparams[4] = {0, 0, 0, 0};
  return DeliverEvent(VELMORABLE_EVENT_SUBSCRIBED, 4, params, cbparams, Slots({0, 1, 2, 3}));
}

int BLEClient::FireUnsubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                                const char* description) {
  intptr_t params[4] = {P(service_id), P(characteristic_id), P(uuid), P(description)};
  int32_t cbparams[4] = {0, 0, 0, 0};
  return DeliverEvent(VELMORABLE_EVENT_UNSUBSCRIBED, 4, params, cbparams, Slots({0, 1, 2, 3}));
}

int BLEClient::FireValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                         const char* uuid, const char* description, const uint8_t* value, int32_t value_len) {
  intptr_t params[6] = {P(service_id), P(characteristic_id), P(descriptor_id), P(uuid), P(description), P(value)};
  int32_t cbparams[6] = {0, 0, 0, 0, 0, value_len};
  return DeliverEvent(VELMORABLE_EVENT_VALUE, 6, params, cbparams, Slots({0, 1, 2, 3, 4}));
}

int BLEClient::FireWriteResponse(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                                 const char* uuid, const char* description) {
  intptr_t params[5] = {P(service_id), P(characteristic_id), P(descriptor_id), P(uuid), P(description)};
  int32_t cbparams[5] = {0, 0, 0, 0, 0};
  return DeliverEvent(VELMORABLE_EVENT_WRITE_RESPONSE, 5, params, cbparams, Slots({0, 1, 2, 3, 4}));
}

// ---- Delivery ----------------------------------------------------------------------------------------------

int BLEClient::DeliverEvent(int32_t event_id, int32_t count, intptr_t* params, int32_t* cbparams,
                            uint32_t text_slots) {
  // No sink, or a client being destroyed: the event goes nowhere.
  if (sink_ == nullptr || engine_.Bridge()->Detached()) return 0;
  // The sink's calls on other clients record their results in this event's own frame.
  SinkFrame frame(engine_.Bridge().get());
  // Raised directly by a platform callback, whose one set of results its sink's calls on this client share:
  // what they leave is dropped once the sink has returned, so that the callback's next event (an Error for a
  // failing sink included) starts with code 0 and "" (what the handler set up before this event, such as an
  // advertisement's reason, stays).
  CallResults* const callback_results = CallScope::CallbackResults(engine_.Bridge());
  const int result = utf16_events_ ? DeliverWideEvent(event_id, count, params, cbparams, text_slots)
                                   : sink_(context_, event_id, count, params, cbparams);
  if (callback_results != nullptr) {
    callback_results->last_error_code = 0;
    (void)callback_results->last_error_text.Clear();
  }
  return SinkResult(result, event_id);
}

int BLEClient::DeliverWideEvent(int32_t event_id, int32_t count, intptr_t* params, int32_t* cbparams,
                                uint32_t text_slots) {
  // The converted texts belong to this call, so events on several threads never share them.
  core::Buffer converted[kMaxTextParams];
  int used = 0;
  const uint32_t code_page = engine_.CodePage();
  for (int slot = 0; slot < count && used < kMaxTextParams; ++slot) {
    if ((text_slots & (1u << slot)) == 0) continue;
    core::Buffer& wide = converted[used++];
    const int rc = core::MultiByteToWide(wide, reinterpret_cast<const char*>(params[slot]), code_page);
    if (rc != core::kOk) return rc;
    params[slot] = P(wide.Data());
  }
  return sink_(context_, event_id, count, params, cbparams);
}

int BLEClient::SinkResult(int result, int32_t event_id) {
  if (result == 0) return 0;
  return ReportSinkFailure(result, event_id);
}

int BLEClient::ReportSinkFailure(int code, int32_t event_id) {
  char text[96];
  platform::Format(text, sizeof(text), "An unhandled error occurred in the %s event handler", EventName(event_id));
  {
    // Checked and set in one step: of failures on several threads only the first is reported, and a text
    // the sink set itself is never overwritten.
    std::lock_guard<std::mutex> lock(engine_.StateMutex());
    if (!engine_.EventErrorText().IsEmpty()) return code;
    if (engine_.EventErrorText().SetString(text) != core::kOk) return code;
    engine_.SetEventErrorCode(code);
  }
  if (event_id != VELMORABLE_EVENT_ERROR) (void)engine_.FireError(code, text);
  return code;
}

}  // namespace velmora::ble
