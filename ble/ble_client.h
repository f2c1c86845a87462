// BLEClient: the object behind a handle of the exported interface. It embeds its BLEClientEngine, keeps the
// application's sink and context, dispatches numbered methods and properties to the engine, records each
// method's result as the last error, and packs the engine's events into the sink's parameter arrays.
//
// Threads: the application calls a client from one thread at a time; events also arrive on platform
// threads. Every call into a client runs inside a CallScope, which is what lets Destroy wait for calls on
// other threads and leave the freeing to the last call or event to leave the client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ble/ble_client_engine.h"
#include "ble/event_sink.h"
#include "core/buffer.h"
#include "velmorable.h"

namespace velmora::ble {

// Version texts of this build.
constexpr const char* kBuildInfo = "24.0.9385";
constexpr const char* kMajorVersion = "24";
constexpr const char* kVersionMarker = "VELMORABLE_VERSION_24_0_9385";
constexpr const char* kBuildNumber = "9385";

constexpr int kUnknownId = -1;
// kInternalError is the code of a failure that escaped an operation (with the text naming it).
constexpr int kInternalError = 1359;
// kOutOfMemoryText is the last error text of code 200 when memory runs out.
constexpr const char* kOutOfMemoryText = "Out of memory.";

class BLEClient : public BLEEventSink {
 public:
  BLEClient(VelmoraBLE_Sink sink, void* context, uint32_t options);
  BLEClient(const BLEClient&) = delete;
  BLEClient& operator=(const BLEClient&) = delete;

  // Clients live in the library's heap; new returns null when memory runs out.
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block) noexcept;

  // Create returns a started client working in UTF-8, or null when memory runs out. Any thread; the
  // client's window belongs to that thread.
  static BLEClient* Create(VelmoraBLE_Sink sink, void* context, uint32_t options);
  // Destroy detaches the client from its callbacks (later calls are refused, and every wait of the client
  // ends) and frees it once no call or event is inside it any more, on the thread of the last one to leave.
  // On a platform thread (in any client's event) it returns at once. On any other thread it first waits for
  // the calls and events running on other threads, so that no event reaches the sink after it returns; the
  // calls of this thread that it runs inside (a sink of a method) end after it.
  static void Destroy(BLEClient* client);

  // Do runs a method (ids above 10000: the UTF-16 variant) and returns its code, recorded as the last
  // error except for the text conversion 2003. A UTF-16 argument that cannot be converted gives 434 with a
  // text naming it, and the method does not run.
  int Do(int32_t method_id, int32_t param_count, intptr_t* params, int32_t* cbparams);
  // Get, Set and CheckIndex answer the properties (ids above 10000: UTF-16, above 20000: narrow). Get
  // never returns null for a text property: what it cannot read gives an empty text (EmptyValue).
  intptr_t Get(int32_t property_id, int32_t index);
  // EmptyValue returns what Get gives for property_id when it has no value to give: the version marker,
  // the static empty text of the variant for any other text property, 0 for the rest. It reads no client,
  // so any thread may call it, also for a call refused while the client is being destroyed.
  static intptr_t EmptyValue(int32_t property_id);
  // OutOfMemoryValue records 200 ("Out of memory.") as the last error and returns EmptyValue(property_id).
  intptr_t OutOfMemoryValue(int32_t property_id) {
    (void)RecordFailure(core::kOutOfMemory, kOutOfMemoryText);
    return EmptyValue(property_id);
  }
  int Set(int32_t property_id, int32_t index, intptr_t value);
  int CheckIndex(int32_t property_id, int32_t index);
  // GetServerName returns the connected device's name (code page 0), "" without a device, in name.
  const char* GetServerName(core::Buffer& name);

  // The result state of the calling thread (see CallResults). Texts are owned by the client and valid until
  // they change: the last error text until that thread's next call, the event error text (which is the
  // client's, shared by every thread) until that thread's next EventErrorText.
  const char* LastErrorText() const { return engine_.VisibleLastErrorText(); }
  int32_t LastErrorCode() const { return engine_.LastErrorCode(); }
  int SetLastErrorAndCode(int32_t code, const char* text);
  // RecordFailure stores code and text as the last error and returns code.
  int RecordFailure(int32_t code, const char* text) { return SetLastErrorAndCode(code, text); }
  const char* EventErrorText();
  int32_t EventErrorCode();
  int SetEventErrorAndCode(int32_t code, const char* text);

  // Event firers, in event-id order: each packs the values into the sink's arrays (converting texts to
  // UTF-16 when the client was created for that) and calls the sink. Returns the sink's result, or the
  // code of the failure reported for it. Texts are never null here.
  int FireAdvertisement(const char* server_id, const char* name, int32_t rssi, int32_t tx_power,
                        const char* service_uuids, const char* service_data_uuids,
                        const char* solicited_uuids, int32_t company_id, const uint8_t* data,
                        int32_t data_len, int32_t connectable, int32_t scan_response) override;
  int FireConnected(int32_t status, const char* description) override;
  int FireDisconnected(int32_t status, const char* description) override;
  int FireDiscovered(int32_t kind, const char* service_id, const char* characteristic_id,
                     const char* descriptor_id, const char* uuid, const char* description) override;
  int FireError(int32_t code, const char* description) override;
  int FireLog(int32_t level, const char* message, const char* log_type) override;
  // FirePairingRequest hands the PIN to the sink in an in/out record and copies back what the sink left
  // there into pin (emptied when it left nothing), and the accept flag into *accept.
  int FirePairingRequest(const char* server_id, int32_t kind, core::Buffer* pin, int32_t* accept) override;
  int FireServerUpdate(const char* name, const char* changed_services) override;
  int FireStartScan(const char* service_uuids) override;
  int FireStopScan(int32_t code, const char* description) override;
  int FireSubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                     const char* description) override;
  int FireUnsubscribed(const char* service_id, const char* characteristic_id, const char* uuid,
                       const char* description) override;
  int FireValue(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                const char* uuid, const char* description, const uint8_t* value, int32_t value_len) override;
  int FireWriteResponse(const char* service_id, const char* characteristic_id, const char* descriptor_id,
                        const char* uuid, const char* description) override;
  virtual ~BLEClient();

  BLEClientEngine& Engine() { return engine_; }
  bool Utf16Events() const { return utf16_events_; }

 private:
  friend class CallScope;
  struct MethodArgs;

  int RunMethod(int32_t method_id, MethodArgs& args);
  int ConfigMethod(const char* text, intptr_t* reply_slot, bool wide);
  // SelectionText returns the selected id for Get as a copy in copy, taken under the tree lock (null when
  // it cannot be made).
  const char* SelectionText(const core::Buffer& selected, core::Buffer& copy);
  int ConfigCommand(const char* text, const char** reply);
  int TextToUtf16(int32_t param_count, intptr_t* params, int32_t* cbparams);
  int QuerySubscriptionState(MethodArgs& args);
  int ProcessEvents();
  // DeliverEvent calls the sink with the packed arrays; text_slots has bit i set for each text slot i.
  int DeliverEvent(int32_t event_id, int32_t count, intptr_t* params, int32_t* cbparams, uint32_t text_slots);
  // DeliverWideEvent converts the text slots to UTF-16 and calls the sink: its result, or the conversion's failure.
  int DeliverWideEvent(int32_t event_id, int32_t count, intptr_t* params, int32_t* cbparams, uint32_t text_slots);
  int SinkResult(int result, int32_t event_id);
  int ReportSinkFailure(int code, int32_t event_id);

  BLEClientEngine engine_;
  VelmoraBLE_Sink sink_;
  void* context_;
  bool utf16_events_;
};

class CallScope;

// SinkFrame marks the delivery of one event to a sink on the current thread (frames nest per thread). The
// calls that the sink makes on another client, outside that client's own methods, record their results in
// the frame: one set per client they call, made on first use and dropped once the event has been delivered.
// So each event's calls on another client start with code 0 and "", and never touch the results of that
// client's application thread (see CallScope::EventResults).
class SinkFrame {
 public:
  // For an event of the client of `client`, raised inside the thread's innermost scope (a call on that client).
  explicit SinkFrame(const BLEEvent* client);
  ~SinkFrame();
  // InSink tells whether the calling thread runs inside a sink (of any client).
  static bool InSink();
  SinkFrame(const SinkFrame&) = delete;
  SinkFrame& operator=(const SinkFrame&) = delete;

  // ResultsOf returns the set of bridge's client in this frame, made on first use; the thread's spare set
  // when memory runs out (shared only by that thread's calls).
  CallResults& ResultsOf(const std::shared_ptr<BLEEvent>& bridge);

 private:
  struct OtherClientResults {
    std::shared_ptr<BLEEvent> bridge;  // held, so that no other client's bridge takes its address meanwhile
    CallResults results;
  };

  friend class CallScope;
  const BLEEvent* client_ = nullptr;  // the client whose event this is
  CallScope* scope_ = nullptr;        // the thread's innermost scope when the event was raised
  SinkFrame* outer_ = nullptr;
  std::vector<std::unique_ptr<OtherClientResults>> other_results_;
};

// CallScope marks a call into a client on the current thread: an exported call, or a platform callback.
// It is admitted through the client's event bridge and keeps the bridge alive; once the client is being
// destroyed it is refused (Engine() is null and nothing may touch the client). Scopes nest per thread.
class CallScope {
 public:
  // For an exported call on client.
  explicit CallScope(BLEClient& client) : CallScope(client.Engine().Bridge(), nullptr) {}
  // For a platform callback that reaches its engine through bridge: event_results (kept by the caller
  // until the scope ends) receives the results of every call made on this thread inside it, unless the
  // callback runs inside an exported call of the same client on this thread. The calls that its sinks make
  // on other clients record theirs apart as well, in the frame of each event (see EventResults).
  CallScope(std::shared_ptr<BLEEvent> bridge, CallResults* event_results);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  BLEClientEngine* Engine() const { return engine_; }
  BLEClient* Client() const { return engine_ != nullptr ? engine_->Owner() : nullptr; }

  // CountOnThisThread is the number of admitted scopes of bridge on the calling thread.
  static uint32_t CountOnThisThread(const BLEEvent* bridge);
  // ClientsOnThisThread gives the bridge of each admitted scope on the calling thread, innermost first.
  static std::vector<const BLEEvent*> ClientsOnThisThread();
  // EventResults returns the results that the calling thread's calls on the client of bridge record: those
  // of the platform callback of bridge that the thread runs in (its outermost admitted scope of bridge);
  // null when the thread's outermost scope is a call on this client (the application's thread, whose results
  // are the client's own, for the sinks inside its methods too); else (the thread's outermost scope belongs
  // to another client: a platform callback, or a method whose sink calls this client; or it is a platform
  // callback of this client) the set of the event that the calls on this client began in: the thread's
  // innermost event frame (SinkFrame) is followed out through this client's own events and the calls of this
  // client they were raised in, up to a platform callback of this client (its set) or to an event of another
  // client (the set of that frame for this client). So a method of this client that a sink calls shares one
  // set with the sinks inside it, an event of another client nested in this client's starts afresh, and so
  // does the next event.
  static CallResults* EventResults(const std::shared_ptr<BLEEvent>& bridge);
  // CallbackResults returns the results of the platform callback of bridge that the calling thread runs
  // directly in (the thread's innermost scope of bridge is that callback's, not a method of the client that its
  // sink called); null otherwise. One callback may raise several events: each starts from these afresh.
  static CallResults* CallbackResults(const std::shared_ptr<BLEEvent>& bridge);
  // PlatformCallbackResults returns the results of the platform callback of bridge that the calling thread
  // runs in (its outermost admitted scope of bridge, when that is a callback), however deep in calls and events
  // the thread is inside it; null otherwise.
  static CallResults* PlatformCallbackResults(const std::shared_ptr<BLEEvent>& bridge);
  // DeliversPlatformEvent tells whether the calling thread runs a platform callback of any client (its
  // outermost admitted scope is one): a thread that the platform delivers events on, which must not wait
  // for an event the platform would deliver on it.
  static bool DeliversPlatformEvent();

 private:
  std::shared_ptr<BLEEvent> bridge_;
  BLEClientEngine* engine_ = nullptr;
  CallResults* event_results_ = nullptr;
  CallScope* outer_ = nullptr;
  SinkFrame* frame_ = nullptr;  // the thread's innermost event frame when the scope began
};

}  // namespace velmora::ble
