// The sixteen exported functions. Each checks its handle (a null handle gives the fixed result) and forwards
// to the client inside a CallScope; no exception ever leaves through the C boundary: running out of memory
// gives 200, a platform error 610 with its failure number, and any other escape a recorded internal error.
#include <exception>
#include <mutex>
#include <new>

#include "ble/await.h"
#include "ble/ble_client.h"
#include "ble/event_string_record.h"
#include "ble/host_stream.h"
#include "component/socket_base.h"
#include "platform/text.h"
#include "velmorable.h"

namespace {

using velmora::ble::BLEClient;
using velmora::ble::CallScope;

constexpr int32_t kNoHandle = 200;

// The module handle given by the host's StaticInit; kept for the host's information only.
void* g_module_handle = nullptr;

// The host's StaticInit calls that no StaticDestroy has undone yet. The start-up at load is not one of them:
// the library undoes it only when it is unloaded, so an unmatched StaticDestroy finds nothing to undo.
std::mutex g_host_starts_mutex;
int g_host_starts = 0;

BLEClient* ClientOf(VelmoraBLE_BLEClient* handle) { return reinterpret_cast<BLEClient*>(handle); }

// RecordEscape turns an exception that escaped a client operation into a recorded result code.
int32_t RecordEscape(BLEClient& client) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return client.RecordFailure(velmora::core::kOutOfMemory, velmora::ble::kOutOfMemoryText);
  } catch (const velmora::platform::bluetooth::PlatformError& error) {
    // A platform failure that the operation did not turn into a code of its own: "Platform error 0x%08X.".
    return client.RecordFailure(velmora::ble::kPlatformErrorCode, error.what());
  } catch (const std::exception& error) {
    char text[256];
    velmora::platform::Format(text, sizeof(text), "An internal error occurred: %s", error.what());
    return client.RecordFailure(velmora::ble::kInternalError, text);
  } catch (...) {
    return client.RecordFailure(velmora::ble::kInternalError, "An internal error occurred.");
  }
}

// ErrorCall counts a call of an error function in its client for as long as it runs, so that Destroy waits
// for it and the client is not freed under it. Such a call goes on while Destroy runs (see BLEEvent::Hold);
// Client() is null only once the client has been freed.
class ErrorCall {
 public:
  explicit ErrorCall(BLEClient& client) : bridge_(client.Engine().Bridge()) {
    engine_ = bridge_ != nullptr ? bridge_->Hold() : &client.Engine();
  }
  ~ErrorCall() {
    // The client may be freed as this call leaves it: nothing of it is touched after.
    if (engine_ != nullptr && bridge_ != nullptr) bridge_->Leave();
  }
  ErrorCall(const ErrorCall&) = delete;
  ErrorCall& operator=(const ErrorCall&) = delete;
  BLEClient* Client() const { return engine_ != nullptr ? engine_->Owner() : nullptr; }

 private:
  std::shared_ptr<velmora::ble::BLEEvent> bridge_;
  velmora::ble::BLEClientEngine* engine_ = nullptr;
};

}  // namespace

extern "C" {

VelmoraBLE_BLEClient* VelmoraBLE_BLEClient_Create(VelmoraBLE_Sink sink, void* context, uint32_t options) {
  try {
    return reinterpret_cast<VelmoraBLE_BLEClient*>(BLEClient::Create(sink, context, options));
  } catch (...) {
    return nullptr;
  }
}

int32_t VelmoraBLE_BLEClient_Destroy(VelmoraBLE_BLEClient* handle) {
  if (handle != nullptr) BLEClient::Destroy(ClientOf(handle));
  return 0;
}

int32_t VelmoraBLE_BLEClient_Do(VelmoraBLE_BLEClient* handle, int32_t method_id, int32_t param_count,
                                intptr_t* params, int32_t* cbparams) {
  if (handle == nullptr) return kNoHandle;
  CallScope scope(*ClientOf(handle));
  BLEClient* client = scope.Client();
  if (client == nullptr) return kNoHandle;
  try {
    return client->Do(method_id, param_count, params, cbparams);
  } catch (...) {
    return RecordEscape(*client);
  }
}

intptr_t VelmoraBLE_BLEClient_Get(VelmoraBLE_BLEClient* handle, int32_t property_id, int32_t index) {
  if (handle == nullptr) return 0;
  CallScope scope(*ClientOf(handle));
  BLEClient* client = scope.Client();
  // A sink still running while the client is destroyed is refused, but a text property still gets a text.
  if (client == nullptr) return BLEClient::EmptyValue(property_id);
  try {
    return client->Get(property_id, index);
  } catch (...) {
    (void)RecordEscape(*client);
    return BLEClient::EmptyValue(property_id);
  }
}

int32_t VelmoraBLE_BLEClient_Set(VelmoraBLE_BLEClient* handle, int32_t property_id, int32_t index, intptr_t value) {
  if (handle == nullptr) return kNoHandle;
  CallScope scope(*ClientOf(handle));
  BLEClient* client = scope.Client();
  if (client == nullptr) return kNoHandle;
  try {
    return client->Set(property_id, index, value);
  } catch (...) {
    return RecordEscape(*client);
  }
}

int32_t VelmoraBLE_BLEClient_CheckIndex(VelmoraBLE_BLEClient* handle, int32_t property_id, int32_t index) {
  if (handle == nullptr) return kNoHandle;
  CallScope scope(*ClientOf(handle));
  BLEClient* client = scope.Client();
  if (client == nullptr) return kNoHandle;
  try {
    return client->CheckIndex(property_id, index);
  } catch (...) {
    return RecordEscape(*client);
  }
}

const char* VelmoraBLE_BLEClient_GetLastError(VelmoraBLE_BLEClient* handle) {
  if (handle == nullptr) return nullptr;
  ErrorCall call(*ClientOf(handle));
  BLEClient* client = call.Client();
  return client != nullptr ? client->LastErrorText() : velmora::core::kEmptyText;
}

int32_t VelmoraBLE_BLEClient_GetLastErrorCode(VelmoraBLE_BLEClient* handle) {
  if (handle == nullptr) return kNoHandle;
  ErrorCall call(*ClientOf(handle));
  BLEClient* client = call.Client();
  return client != nullptr ? client->LastErrorCode() : kNoHandle;
}

int32_t VelmoraBLE_BLEClient_SetLastErrorAndCode(VelmoraBLE_BLEClient* handle, int32_t code, const char* text) {
  if (handle == nullptr) return kNoHandle;
  ErrorCall call(*ClientOf(handle));
  BLEClient* client = call.Client();
  return client != nullptr ? client->SetLastErrorAndCode(code, text) : kNoHandle;
}

const char* VelmoraBLE_BLEClient_GetEventError(VelmoraBLE_BLEClient* handle) {
  if (handle == nullptr) return nullptr;
  ErrorCall call(*ClientOf(handle));
  BLEClient* client = call.Client();
  return client != nullptr ? client->EventErrorText() : velmora::core::kEmptyText;
}

int32_t VelmoraBLE_BLEClient_GetEventErrorCode(VelmoraBLE_BLEClient* handle) {
  if (handle == nullptr) return kNoHandle;
  ErrorCall call(*ClientOf(handle));
  BLEClient* client = call.Client();
  return client != nullptr ? client->EventErrorCode() : kNoHandle;
}

int32_t VelmoraBLE_BLEClient_SetEventErrorAndCode(VelmoraBLE_BLEClient* handle, int32_t code, const char* text) {
  if (handle == nullptr) return kNoHandle;
  ErrorCall call(*ClientOf(handle));
  BLEClient* client = call.Client();
  return client != nullptr ? client->SetEventErrorAndCode(code, text) : kNoHandle;
}

int32_t VelmoraBLE_BLEClient_StaticInit(void* module) {
  std::lock_guard lock(g_host_starts_mutex);
  g_module_handle = module;
  // Counted whatever happens inside: the socket layer has counted the start-up too.
  ++g_host_starts;
  try {
    velmora::component::SocketBase::StaticInit();
  } catch (...) {
    // The start-up reports nothing: components find the socket layer missing and say so themselves.
  }
  return 0;
}

int32_t VelmoraBLE_BLEClient_StaticDestroy(void) {
  std::lock_guard lock(g_host_starts_mutex);
  if (g_host_starts == 0) return 0;
  --g_host_starts;
  try {
    velmora::component::SocketBase::StaticDestroy();
  } catch (...) {
    // Nothing to report at tear-down.
  }
  return 0;
}

void* VelmoraBLE_EvtStr(VelmoraBLE_EventString* record, int32_t operation, const void* value, int32_t kind) {
  return velmora::ble::EventStringOperation(reinterpret_cast<velmora::ble::EventStringRecord*>(record), operation,
                                            value, kind);
}

int32_t VelmoraBLE_Stream(void* stream, int32_t operation, VelmoraBLE_StreamArg* arg, void* out) {
  try {
    return velmora::ble::StreamOperation(static_cast<velmora::ble::HostStream*>(stream), operation, arg, out);
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
