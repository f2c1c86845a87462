#include "ble/ble_client.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "ble/internal.h"
#include "core/code_page.h"
#include "platform/memory.h"

namespace velmora::ble {

namespace {

// The library-wide lock: creating clients one at a time keeps their start-up (window, bridge) apart.
std::mutex g_create_lock;

thread_local CallScope* t_innermost_scope = nullptr;
thread_local SinkFrame* t_innermost_frame = nullptr;

// SpareResults is the set that the calling thread's calls share when memory for one of their own runs out.
CallResults& SpareResults() {
  thread_local CallResults spare;
  return spare;
}

constexpr uint32_t kOptionUtf16Events = 1;

// A Destroy made inside a call or an event waits for the destroyed client's events on other threads; one of them
// may be a sink that waits in turn, in a Destroy of its own, for a call or event that this thread is inside
// (two application threads whose sinks destroy each other's clients at once), directly or through other such
// waits. Neither wait would ever end: the sinks so waiting are not waited for, as two sinks on platform threads,
// which never wait, both return at once. DestroyWait is one such wait, listed while it lasts.
struct DestroyWait {
  const BLEEvent* waits_for;
  std::vector<const BLEEvent*> inside;  // the clients of the calls and events the thread is inside, one per scope
};
std::mutex g_destroy_waits_mutex;
std::vector<const DestroyWait*> g_destroy_waits;  // guarded by g_destroy_waits_mutex
constexpr auto kDestroyWaitStep = std::chrono::milliseconds(5);

// WaitsForAny tells whether wait waits, itself or through the waits of the sinks it waits for, for a client
// in clients (g_destroy_waits_mutex held).
bool WaitsForAny(const DestroyWait* wait, const std::vector<const BLEEvent*>& clients,
                 std::vector<const DestroyWait*>& seen) {
  if (std::find(clients.begin(), clients.end(), wait->waits_for) != clients.end()) return true;
  seen.push_back(wait);
  for (const DestroyWait* other : g_destroy_waits) {
    if (std::find(seen.begin(), seen.end(), other) != seen.end()) continue;
    const bool inside = std::find(other->inside.begin(), other->inside.end(), wait->waits_for) != other->inside.end();
    if (inside && WaitsForAny(other, clients, seen)) return true;
  }
  return false;
}

// WaitingForThis counts the scopes of wait's client held by sinks that wait for wait's thread (g_destroy_waits_mutex
// held).
uint32_t WaitingForThis(const DestroyWait& wait) {
  uint32_t count = 0;
  for (const DestroyWait* other : g_destroy_waits) {
    if (other == &wait) continue;
    const auto scopes = std::count(other->inside.begin(), other->inside.end(), wait.waits_for);
    if (scopes == 0) continue;
    std::vector<const DestroyWait*> seen{&wait};
    if (WaitsForAny(other, wait.inside, seen)) count += static_cast<uint32_t>(scopes);
  }
  return count;
}

}  // namespace

int ResultStringPair::ToWide(const char* text, uint32_t code_page) {
  const int rc = narrow.SetString(TextOrEmpty(text));
  if (rc != core::kOk) return rc;
  return core::MultiByteToWide(wide, narrow.Data(), code_page);
}

ResultStringPair* CallResults::Record(int i) {
  if (i < 0 || i >= kResultRecordCount) return nullptr;
  if (records_ == nullptr) records_.reset(new (std::nothrow) ResultStringPair[kResultRecordCount]);
  return records_ != nullptr ? &records_[i] : nullptr;
}

// ---- Life cycle --------------------------------------------------------------------------------------------

BLEClient::BLEClient(VelmoraBLE_Sink sink, void* context, uint32_t options)
    : engine_(this), sink_(sink), context_(context), utf16_events_((options & kOptionUtf16Events) != 0) {
  (void)engine_.SetComponentTag(kBuildNumber);
  (void)engine_.Init();
  (void)engine_.SetTimeoutSeconds(60, true);
}

BLEClient::~BLEClient() = default;

void* BLEClient::operator new(std::size_t size) noexcept { return platform::Alloc(size); }

void BLEClient::operator delete(void* block) noexcept { platform::Free(block); }

BLEClient* BLEClient::Create(VelmoraBLE_Sink sink, void* context, uint32_t options) {
  BLEClient* client = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_create_lock);
    try {
      client = new BLEClient(sink, context, options);
    } catch (const std::bad_alloc&) {
      client = nullptr;
    }
  }
  if (client == nullptr) return nullptr;
  // Every new client works in UTF-8 until the application changes the code page.
  intptr_t params[2] = {reinterpret_cast<intptr_t>("CodePage=65001"), 0};
  int32_t cbparams[2] = {0, 0};
  (void)client->Do(VELMORABLE_METHOD_CONFIG, 1, params, cbparams);
  return client;
}

void BLEClient::Destroy(BLEClient* client) {
  const std::shared_ptr<BLEEvent> bridge = client->engine_.Bridge();
  if (bridge == nullptr) {
    delete client;
    return;
  }
  bridge->Detach();
  // Every wait of the client sees it at once, rather than at the end of its wait step.
  client->engine_.WakeWaits();
  // A platform thread never waits here: what it would wait for (the application thread's method, another
  // sink that destroys this thread's client in turn) may be waiting for it. The application's thread waits
  // for the events on other threads, whose waits end now that the client is detached; its own calls (it runs
  // inside them when a sink of its method destroys the client) cannot end first.
  if (!CallScope::DeliversPlatformEvent()) {
    const uint32_t own = CallScope::CountOnThisThread(bridge.get());
    std::vector<const BLEEvent*> inside = CallScope::ClientsOnThisThread();
    if (inside.empty()) {
      bridge->WaitForCallbacks(own);
      client->engine_.LeaveBondAtDestroy();
    } else {
      // Inside a call or an event: see DestroyWait.
      const DestroyWait wait{bridge.get(), std::move(inside)};
      {
        std::lock_guard<std::mutex> lock(g_destroy_waits_mutex);
        g_destroy_waits.push_back(&wait);
      }
      for (;;) {
        uint32_t excused = 0;
        {
          std::lock_guard<std::mutex> lock(g_destroy_waits_mutex);
          excused = WaitingForThis(wait);
        }
        if (bridge->Inside() <= own + excused) break;
        std::this_thread::sleep_for(kDestroyWaitStep);
      }
      std::lock_guard<std::mutex> lock(g_destroy_waits_mutex);
      g_destroy_waits.erase(std::find(g_destroy_waits.begin(), g_destroy_waits.end(), &wait));
    }
  }
  bridge->Release();
}

CallScope::CallScope(std::shared_ptr<BLEEvent> bridge, CallResults* event_results)
    : bridge_(std::move(bridge)), event_results_(event_results) {
  if (bridge_ == nullptr) return;
  engine_ = bridge_->Enter();
  if (engine_ == nullptr) return;
  outer_ = t_innermost_scope;
  frame_ = t_innermost_frame;
  t_innermost_scope = this;
}

CallScope::~CallScope() {
  if (engine_ == nullptr) return;
  t_innermost_scope = outer_;
  // The client may be freed as this scope leaves it (see BLEEvent::Release): nothing of it is touched after.
  bridge_->Leave();
}

uint32_t CallScope::CountOnThisThread(const BLEEvent* bridge) {
  uint32_t count = 0;
  for (const CallScope* scope = t_innermost_scope; scope != nullptr; scope = scope->outer_) {
    if (scope->bridge_.get() == bridge) ++count;
  }
  return count;
}

std::vector<const BLEEvent*> CallScope::ClientsOnThisThread() {
  std::vector<const BLEEvent*> clients;
  for (const CallScope* scope = t_innermost_scope; scope != nullptr; scope = scope->outer_) {
    clients.push_back(scope->bridge_.get());
  }
  return clients;
}

CallResults* CallScope::EventResults(const std::shared_ptr<BLEEvent>& bridge) {
  CallScope* outermost_of_bridge = nullptr;
  CallScope* outermost = nullptr;
  for (CallScope* scope = t_innermost_scope; scope != nullptr; scope = scope->outer_) {
    if (scope->bridge_ == bridge) outermost_of_bridge = scope;
    outermost = scope;
  }
  // The thread's own call on this client, or a sink inside one of this client's methods: the client's own.
  if (outermost == nullptr || (outermost->event_results_ == nullptr && outermost->bridge_ == bridge)) return nullptr;
  // Else the event that the calls began in: an event of this client was raised by one of its calls, whose
  // calls began where that one was made; a platform callback of this client has the set of its own. A sink
  // of another client calling this one (on a platform thread, inside a method of that client on its
  // application thread, or inside an event of this client) keeps the set of its event apart: this client's
  // own results belong to its application thread.
  for (SinkFrame* frame = t_innermost_frame; frame != nullptr;) {
    CallScope* raised_in = frame->scope_;
    if (frame->client_ != bridge.get() || raised_in == nullptr || raised_in->bridge_ != bridge) {
      return &frame->ResultsOf(bridge);
    }
    // A platform callback has its own set unless it runs inside a call of this client on this thread.
    if (raised_in->event_results_ != nullptr && raised_in == outermost_of_bridge) return raised_in->event_results_;
    frame = raised_in->frame_;
  }
  // No event: the handler of a platform callback of this client.
  if (outermost_of_bridge != nullptr && outermost_of_bridge->event_results_ != nullptr) {
    return outermost_of_bridge->event_results_;
  }
  return &SpareResults();
}

CallResults* CallScope::CallbackResults(const std::shared_ptr<BLEEvent>& bridge) {
  CallScope* innermost_of_bridge = nullptr;
  CallScope* outermost_of_bridge = nullptr;
  for (CallScope* scope = t_innermost_scope; scope != nullptr; scope = scope->outer_) {
    if (scope->bridge_ != bridge) continue;
    if (innermost_of_bridge == nullptr) innermost_of_bridge = scope;
    outermost_of_bridge = scope;
  }
  if (innermost_of_bridge == nullptr || innermost_of_bridge != outermost_of_bridge) return nullptr;
  return innermost_of_bridge->event_results_;
}

CallResults* CallScope::PlatformCallbackResults(const std::shared_ptr<BLEEvent>& bridge) {
  CallScope* outermost_of_bridge = nullptr;
  for (CallScope* scope = t_innermost_scope; scope != nullptr; scope = scope->outer_) {
    if (scope->bridge_ == bridge) outermost_of_bridge = scope;
  }
  return outermost_of_bridge != nullptr ? outermost_of_bridge->event_results_ : nullptr;
}

SinkFrame::SinkFrame(const BLEEvent* client) : client_(client), scope_(t_innermost_scope), outer_(t_innermost_frame) {
  t_innermost_frame = this;
}

SinkFrame::~SinkFrame() { t_innermost_frame = outer_; }

bool SinkFrame::InSink() { return t_innermost_frame != nullptr; }

CallResults& SinkFrame::ResultsOf(const std::shared_ptr<BLEEvent>& bridge) {
  for (const std::unique_ptr<OtherClientResults>& other : other_results_) {
    if (other->bridge == bridge) return other->results;
  }
  std::unique_ptr<OtherClientResults> made(new (std::nothrow) OtherClientResults{bridge, {}});
  if (made == nullptr) return SpareResults();
  try {
    other_results_.push_back(std::move(made));
  } catch (const std::bad_alloc&) {
    return SpareResults();
  }
  return other_results_.back()->results;
}

bool CallScope::DeliversPlatformEvent() {
  const CallScope* outermost = t_innermost_scope;
  if (outermost == nullptr) return false;
  while (outermost->outer_ != nullptr) outermost = outermost->outer_;
  return outermost->event_results_ != nullptr;
}

// ---- Result state ------------------------------------------------------------------------------------------

int BLEClient::SetLastErrorAndCode(int32_t code, const char* text) {
  (void)engine_.LastErrorText().SetString(TextOrEmpty(text));
  engine_.SetLastErrorCode(code);
  return code;
}

const char* BLEClient::EventErrorText() {
  // Another thread may set the event error at any time: each thread reads its own copy.
  core::Buffer& copy = engine_.CurrentResults().event_error;
  std::lock_guard<std::mutex> lock(engine_.StateMutex());
  if (copy.Assign(engine_.EventErrorText()) != core::kOk) (void)copy.Clear();
  return copy.Data();
}

int32_t BLEClient::EventErrorCode() {
  std::lock_guard<std::mutex> lock(engine_.StateMutex());
  return engine_.EventErrorCode();
}

int BLEClient::SetEventErrorAndCode(int32_t code, const char* text) {
  std::lock_guard<std::mutex> lock(engine_.StateMutex());
  (void)engine_.EventErrorText().SetString(TextOrEmpty(text));
  engine_.SetEventErrorCode(code);
  return code;
}

}  // namespace velmora::ble
