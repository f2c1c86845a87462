#include "component/completion_port_pool.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "core/buffer.h"
#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

namespace velmora::component {

namespace plat = velmora::platform;

namespace {

std::atomic<uint32_t> g_processor_override{0};

enum ContextKind : int32_t { kAcceptKind = 0, kReceiveKind = 1, kSendKind = 2 };

int32_t PoolSize(uint32_t processors) {
  const int64_t count = 2 * static_cast<int64_t>(processors);
  return (count > 31 || count < 0) ? kMaxPoolThreads : static_cast<int32_t>(count);
}

}  // namespace

namespace test {
void SetPoolProcessorCount(uint32_t count) { g_processor_override.store(count); }
}  // namespace test

// IoContext is one operation's state; data points into the record's block (null for accepts, which
// receive no data).
struct CompletionPortWaiter::IoContext {
  SocketRecord* record;
  int32_t kind;
  bool pending;  // started and its completion not yet taken
  plat::Socket accepted;
  int32_t byte_count;
  int32_t position;  // read position (receive) or write position (send)
  uint8_t* data;
};

struct CompletionPortWaiter::SocketRecord {
  plat::Socket socket;
  IoContext* contexts;  // kAcceptContextCount accepts, or a receive and a send context
  int32_t context_count;
  size_t block_size;
  bool listening;
  bool closed;
  int32_t error;
  int32_t pending;  // operations whose completion has not come back; the record lives while nonzero
  uint32_t message;
  NotificationCallback callback;
  void* target;
  SocketRecord* prev;
  SocketRecord* next;
};

void CompletionPortWaiter::RecordList::Link(SocketRecord* record) {
  record->prev = nullptr;
  record->next = head;
  if (head != nullptr) head->prev = record;
  head = record;
}

void CompletionPortWaiter::RecordList::Unlink(SocketRecord* record) {
  if (record->prev != nullptr) {
    record->prev->next = record->next;
  } else {
    head = record->next;
  }
  if (record->next != nullptr) record->next->prev = record->prev;
  record->prev = record->next = nullptr;
}

CompletionPortWaiter::CompletionPortWaiter(NotificationCallback callback, void* target)
    : callback_(callback), target_(target) {}

CompletionPortWaiter::~CompletionPortWaiter() { Shutdown(); }

int CompletionPortWaiter::Start() {
  if (port_ != nullptr) return 0;
  port_ = plat::CompletionPort::Create();
  if (port_ == nullptr) return static_cast<int>(plat::GetLastError());
  const uint32_t override_count = g_processor_override.load();
  const int32_t wanted = PoolSize(override_count != 0 ? override_count : plat::ProcessorCount());
  int32_t made = 0;
  while (made < wanted && threads_[made].Start([this] { WorkerLoop(); })) ++made;
  thread_count_ = made;
  if (made == 0) {
    delete port_;
    port_ = nullptr;
    return static_cast<int>(plat::kErrorNotEnoughMemory);
  }
  return 0;
}

// ---- Workers -------------------------------------------------------------------------------------------

void CompletionPortWaiter::WorkerLoop() {
  for (;;) {
    uintptr_t key = 0;
    uint32_t bytes = 0;
    void* context = nullptr;
    uint32_t error = 0;
    const bool ok = port_->Get(&key, &bytes, &context, plat::kInfiniteWait, &error);
    if (!ok && context == nullptr) return;
    if (key == 0) return;  // the shutdown packet
    plat::CriticalSectionLock hold(lock_);
    OnCompletion(*static_cast<IoContext*>(context), bytes, ok ? 0 : error);
  }
}

// OnCompletion handles one completion under the lock.
void CompletionPortWaiter::OnCompletion(IoContext& context, uint32_t bytes, uint32_t error) {
  SocketRecord& record = *context.record;
  context.pending = false;
  --record.pending;
  const bool registered = !stopping_ && record.callback != nullptr;
  if (context.kind == kAcceptKind) {
    // A listening socket's failed accept is skipped; that context waits no more.
    if (error != 0) {
      record.error = static_cast<int32_t>(error);
      return;
    }
    if (!registered || QueueNotification(record, plat::kFdAccept, context.accepted) != 0) {
      (void)plat::CloseSocket(context.accepted);
      if (!registered) return;
    }
    const int rc = StartAccept(context);
    if (rc != static_cast<int>(plat::kErrorIoPending)) record.error = rc;
    return;
  }
  if (error != 0) {
    record.error = static_cast<int32_t>(error);
    bytes = 0;
  }
  if (context.kind == kSendKind) {
    OnSendCompletion(record, context, bytes, error);
    return;
  }
  context.byte_count = static_cast<int32_t>(bytes);
  context.position = 0;
  if (bytes == 0) record.closed = true;  // the connection ended
  if (registered) (void)QueueNotification(record, plat::kFdRead, plat::kInvalidSocket);
}

// OnSendCompletion advances the write position; a partial write sends the rest before FD_WRITE is queued.
void CompletionPortWaiter::OnSendCompletion(SocketRecord& record, IoContext& context, uint32_t bytes,
                                            uint32_t error) {
  context.position += static_cast<int32_t>(bytes);
  if (error != 0 || bytes == 0) {
    record.closed = true;
    context.position = context.byte_count;
  } else if (context.position < context.byte_count && !stopping_ && record.callback != nullptr) {
    const int rc = StartSend(context);
    if (rc == static_cast<int>(plat::kErrorIoPending)) return;
    record.error = rc;
    record.closed = true;
    context.position = context.byte_count;
  }
  if (!stopping_ && record.callback != nullptr) (void)QueueNotification(record, plat::kFdWrite, plat::kInvalidSocket);
}

// ---- Operations (under the lock) -----------------------------------------------------------------------

int CompletionPortWaiter::StartAccept(IoContext& context) {
  context.accepted = plat::kInvalidSocket;
  context.pending = true;
  ++context.record->pending;
  const int rc = port_->StartAccept(context.record->socket, &context, &context.accepted);
  if (rc != static_cast<int>(plat::kErrorIoPending)) {
    context.pending = false;
    --context.record->pending;
  }
  return rc;
}

int CompletionPortWaiter::StartReceive(IoContext& context) {
  context.byte_count = 0;
  context.position = 0;
  context.pending = true;
  ++context.record->pending;
  const int rc = port_->StartReceive(context.record->socket, &context, context.data, kIoBufferSize);
  if (rc != static_cast<int>(plat::kErrorIoPending)) {
    context.pending = false;
    --context.record->pending;
  }
  return rc;
}

int CompletionPortWaiter::StartSend(IoContext& context) {
  context.pending = true;
  ++context.record->pending;
  const int rc = port_->StartSend(context.record->socket, &context, context.data + context.position,
                                  static_cast<uint32_t>(context.byte_count - context.position));
  if (rc != static_cast<int>(plat::kErrorIoPending)) {
    context.pending = false;
    --context.record->pending;
  }
  return rc;
}

int CompletionPortWaiter::QueueNotification(const SocketRecord& record, uint32_t event, plat::Socket extra) {
  const int32_t count = queue_.Count();
  int rc = queue_.SetCount(count + 1);
  if (rc != core::kOk) return rc;
  Notification* entry = queue_.Get(count);
  if (entry == nullptr) {
    (void)queue_.SetCount(count);
    return core::kOutOfMemory;
  }
  entry->callback = record.callback;
  entry->target = record.target;
  entry->message = record.message;
  entry->socket = record.socket;
  entry->extra = extra;
  entry->event = static_cast<int32_t>(event);
  event_.Set();
  return 0;
}

// ---- Registration --------------------------------------------------------------------------------------

CompletionPortWaiter::SocketRecord* CompletionPortWaiter::NewRecord(plat::Socket socket, uint32_t message,
                                                                    bool listening) {
  // One block: the record, its contexts and, for a connection, the receive and send buffers.
  const int32_t contexts = listening ? kAcceptContextCount : 2;
  const size_t buffers = listening ? 0 : 2 * static_cast<size_t>(kIoBufferSize);
  const size_t size = sizeof(SocketRecord) + contexts * sizeof(IoContext) + buffers;
  void* block = plat::Alloc(size);
  if (block == nullptr) return nullptr;
  auto* record = new (block) SocketRecord{};
  record->socket = socket;
  record->contexts = reinterpret_cast<IoContext*>(record + 1);
  record->context_count = contexts;
  record->block_size = size;
  record->listening = listening;
  record->message = message;
  record->callback = callback_;
  record->target = target_;
  uint8_t* data = reinterpret_cast<uint8_t*>(record->contexts + contexts);
  for (int32_t i = 0; i < contexts; ++i) {
    IoContext* context = new (record->contexts + i) IoContext{};
    context->record = record;
    context->accepted = plat::kInvalidSocket;
    context->kind = listening ? kAcceptKind : (i == 0 ? kReceiveKind : kSendKind);
    if (!listening) context->data = data + static_cast<size_t>(i) * kIoBufferSize;
  }
  return record;
}

CompletionPortWaiter::SocketRecord* CompletionPortWaiter::Find(plat::Socket socket) const {
  for (SocketRecord* record = records_.head; record != nullptr; record = record->next) {
    if (record->socket == socket) return record;
  }
  return nullptr;
}

int CompletionPortWaiter::RegisterSocket(plat::Socket socket, uint32_t message, uint32_t event_mask) {
  if (port_ == nullptr) return plat::kWsaEinval;
  plat::CriticalSectionLock hold(lock_);
  if (SocketRecord* old = Find(socket)) Retire(old);
  if (event_mask == 0) return 0;
  const bool listening = (event_mask & plat::kFdAccept) != 0;
  SocketRecord* record = NewRecord(socket, message, listening);
  if (record == nullptr) return core::kOutOfMemory;
  int rc = port_->Associate(socket, reinterpret_cast<uintptr_t>(record));
  if (rc != 0) {
    FreeRecord(record);
    return rc;
  }
  records_.Link(record);
  for (int32_t i = 0; i < record->context_count && record->contexts[i].kind != kSendKind; ++i) {
    rc = listening ? StartAccept(record->contexts[i]) : StartReceive(record->contexts[i]);
    if (rc != static_cast<int>(plat::kErrorIoPending)) {
      // Operations already started still point into the record: it is freed once they came back.
      Retire(record);
      return rc;
    }
  }
  if (!listening) (void)QueueNotification(*record, plat::kFdWrite, plat::kInvalidSocket);
  return 0;
}

// Retire ends a registration: its operations are cancelled (their completions still come back) and the
// record waits on the retired list until none is outstanding.
void CompletionPortWaiter::Retire(SocketRecord* record) {
  (void)port_->Cancel(record->socket);
  record->callback = nullptr;
  records_.Unlink(record);
  retired_.Link(record);
}

void CompletionPortWaiter::FreeIdleRetired() {
  SocketRecord* record = retired_.head;
  while (record != nullptr) {
    SocketRecord* next = record->next;
    if (record->pending == 0) {
      retired_.Unlink(record);
      FreeRecord(record);
    }
    record = next;
  }
}

void CompletionPortWaiter::FreeRecord(SocketRecord* record) {
  const size_t size = record->block_size;
  record->~SocketRecord();
  plat::Free(record, size);
}

// ---- The component's thread --------------------------------------------------------------------------

int CompletionPortWaiter::Wait(int32_t wait_ms) {
  // The lock is not held while waiting, so workers can queue (and set the event) meanwhile.
  (void)event_.Wait(wait_ms < 0 ? 0 : static_cast<uint32_t>(wait_ms));
  int32_t count = 0;
  {
    plat::CriticalSectionLock hold(lock_);
    count = queue_.Count();
    if (count == 0) {
      event_.Reset();
      FreeIdleRetired();
      return 0;
    }
    if (delivery_.SetCount(count) != core::kOk) return core::kOutOfMemory;  // the queue stays for later
    for (int32_t i = 0; i < count; ++i) *delivery_.Get(i) = *queue_.Get(i);
    (void)queue_.SetCount(0);
    event_.Reset();
  }
  for (int32_t i = 0; i < count; ++i) {
    const Notification& entry = *delivery_.Get(i);
    if (entry.callback == nullptr) continue;
    entry.callback(entry.target, entry.socket, entry.message, static_cast<uint32_t>(entry.event));
    if (static_cast<uint32_t>(entry.event) == plat::kFdAccept) {
      entry.callback(entry.target, entry.extra, kAcceptedConnectionMessage, plat::kFdConnect);
    }
  }
  (void)delivery_.SetCount(0);
  return count;
}

int CompletionPortWaiter::Receive(plat::Socket socket, void* buffer, int32_t length) {
  plat::CriticalSectionLock hold(lock_);
  SocketRecord* record = Find(socket);
  if (record == nullptr || record->listening) {
    plat::WsaSetLastError(plat::kWsaEnotsock);
    last_result_ = -1;
    return -1;
  }
  IoContext& context = record->contexts[0];
  int result = -1;
  if (!context.pending && context.position < context.byte_count && length > 0) {
    result = std::min(length, context.byte_count - context.position);
    std::memcpy(buffer, context.data + context.position, static_cast<size_t>(result));
    context.position += result;
  }
  if (!context.pending && context.position >= context.byte_count && !record->closed) {
    const int rc = StartReceive(context);
    if (rc != static_cast<int>(plat::kErrorIoPending)) {
      // Bytes already copied are still returned; the error shows on the next call.
      record->error = rc;
      record->closed = true;
    }
  }
  if (result < 0) {
    if (!record->closed) {
      plat::WsaSetLastError(plat::kWsaEwouldblock);
    } else if (record->error != 0) {
      plat::WsaSetLastError(record->error);
    } else {
      result = 0;
    }
  }
  last_result_ = result < 0 ? -1 : 0;
  return result;
}

int CompletionPortWaiter::Send(plat::Socket socket, const void* data, int32_t length) {
  plat::CriticalSectionLock hold(lock_);
  SocketRecord* record = Find(socket);
  if (record == nullptr || record->listening) {
    plat::WsaSetLastError(plat::kWsaEnotsock);
    return -1;
  }
  if (record->closed) {
    if (record->error == 0) return 0;
    plat::WsaSetLastError(record->error);
    return -1;
  }
  IoContext& context = record->contexts[1];
  if (context.pending || context.position < context.byte_count) {
    plat::WsaSetLastError(plat::kWsaEwouldblock);
    return -1;
  }
  const int32_t count = std::clamp(length, 0, kIoBufferSize);
  if (count == 0) return 0;
  std::memcpy(context.data, data, static_cast<size_t>(count));
  context.byte_count = count;
  context.position = 0;
  const int rc = StartSend(context);
  if (rc != static_cast<int>(plat::kErrorIoPending)) {
    context.byte_count = 0;
    record->error = rc;
    plat::WsaSetLastError(rc);
    return -1;
  }
  return count;
}

int32_t CompletionPortWaiter::Drain(plat::Socket socket) {
  static constexpr int32_t kDrainChunk = 65536;
  uint8_t* chunk = static_cast<uint8_t*>(plat::Alloc(kDrainChunk));
  if (chunk == nullptr) return 0;
  int32_t total = 0;
  for (int got; (got = Receive(socket, chunk, kDrainChunk)) >= 1;) total += got;
  plat::Free(chunk, kDrainChunk);
  return total;
}

// ---- Shutdown ------------------------------------------------------------------------------------------

// Shutdown cancels every started operation, lets the workers take every completion, joins them without a
// time limit, and only then frees the records: no buffer is freed while an operation may still use it.
void CompletionPortWaiter::Shutdown() {
  if (port_ != nullptr) {
    {
      plat::CriticalSectionLock hold(lock_);
      stopping_ = true;
      while (records_.head != nullptr) Retire(records_.head);
    }
    // The shutdown packets queue behind every cancellation, so each worker has taken those first.
    for (int32_t i = 0; i < thread_count_; ++i) {
      while (port_->Post(0, 0, nullptr) != 0) plat::SleepMs(1);
    }
    for (int32_t i = 0; i < thread_count_; ++i) threads_[i].Join();
    thread_count_ = 0;
    delete port_;
    port_ = nullptr;
  }
  for (int32_t i = 0; i < queue_.Count(); ++i) {
    const Notification* entry = queue_.Get(i);
    if (entry != nullptr && entry->extra != plat::kInvalidSocket) (void)plat::CloseSocket(entry->extra);
  }
  (void)queue_.SetCount(0);
  while (records_.head != nullptr) {
    SocketRecord* record = records_.head;
    records_.Unlink(record);
    FreeRecord(record);
  }
  while (retired_.head != nullptr) {
    SocketRecord* record = retired_.head;
    retired_.Unlink(record);
    FreeRecord(record);
  }
}

}  // namespace velmora::component
