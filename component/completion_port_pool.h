// CompletionPortWaiter: the completion-port pool that replaces window-message notifications while a
// component's "UseIOCP" setting is on. Worker threads take the completions of accepts, receives and sends
// on the registered sockets and queue notifications; the component's wait step delivers them on its own
// thread. Receive and Send read from and write into the per-socket buffers the completions filled.
//
// Workers and the component's thread meet only under the waiter's lock (record lists, buffers, the
// notification queue). Register, Wait, Receive, Send and Drain are for the component's thread; callbacks run
// on it, inside Wait, outside the lock.
#pragma once

#include <cstdint>

#include "core/ptr_array.h"
#include "platform/completion_port.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace velmora::component {

// NotificationCallback receives one notification (target, socket, message id, FD_* event kind).
using NotificationCallback = void (*)(void* target, platform::Socket socket, uint32_t message, uint32_t event);

// kAcceptedConnectionMessage is the message id of the call that follows an FD_ACCEPT notification: it
// carries the accepted socket with FD_CONNECT.
constexpr uint32_t kAcceptedConnectionMessage = 1125;
constexpr int32_t kIoBufferSize = 131072;
constexpr int32_t kAcceptContextCount = 32;
constexpr int32_t kMaxPoolThreads = 32;

// Notification is one queued notification; a fresh entry has no callback and every other field -1 or 0.
struct Notification {
  NotificationCallback callback = nullptr;
  void* target = nullptr;
  uint32_t message = 0;
  platform::Socket socket = platform::kInvalidSocket;
  platform::Socket extra = platform::kInvalidSocket;  // the accepted socket of FD_ACCEPT
  int32_t event = -1;
};

class CompletionPortWaiter {
 public:
  // Notifications of every registered socket go to callback with target.
  CompletionPortWaiter(NotificationCallback callback, void* target);
  // The destructor shuts the pool down: every started operation is cancelled and its completion taken,
  // the workers are joined, and only then are the records and their buffers freed. Accepted sockets of
  // notifications never delivered are closed.
  ~CompletionPortWaiter();
  CompletionPortWaiter(const CompletionPortWaiter&) = delete;
  CompletionPortWaiter& operator=(const CompletionPortWaiter&) = delete;

  // Start creates the port and 2 x the processor count of workers (at most 32). 0, or the system error
  // number when no port or no worker could be made (the waiter then has neither).
  int Start();

  // RegisterSocket starts delivering the events of socket as message: with FD_ACCEPT in event_mask, 32
  // accepts wait on the listening socket, each connection comes as FD_ACCEPT; otherwise a receive waits
  // and FD_WRITE is queued at once. A socket registered again replaces its old registration; a zero mask
  // only ends it. 0, 200, or the socket error number (the registration is then dropped).
  int RegisterSocket(platform::Socket socket, uint32_t message, uint32_t event_mask);

  // Wait (the wait step with UseIOCP) waits up to wait_ms for notifications and delivers every queued one;
  // FD_ACCEPT is followed by a call (accepted socket, kAcceptedConnectionMessage, FD_CONNECT). Returns the
  // number delivered, 0 after a time-out (when records no longer registered and idle are freed), or 200.
  int Wait(int32_t wait_ms);

  // Receive copies up to length received bytes into buffer and returns the count; 0 at the end of the data;
  // -1 with the socket error in the last error: 10035 while nothing has arrived, the connection's error
  // after a failure, 10038 for a socket that is not registered.
  int Receive(platform::Socket socket, void* buffer, int32_t length);
  // Send takes up to 131072 bytes of data into the socket's send buffer, starts sending them and returns
  // the count taken; the caller sends the rest later. -1 with 10035 while an earlier send is still being
  // written (FD_WRITE follows once it is), -1 with the connection's error, 0 after the connection ended
  // without one.
  int Send(platform::Socket socket, const void* data, int32_t length);
  // Drain receives and discards until a receive returns less than 1; returns the byte count discarded.
  int32_t Drain(platform::Socket socket);

  int32_t ThreadCount() const { return thread_count_; }
  // LastResult is the result of the last Receive: 0, or -1 when it failed or had nothing.
  int32_t LastResult() const { return last_result_; }

 private:
  struct IoContext;
  struct SocketRecord;
  struct RecordList {
    SocketRecord* head = nullptr;
    void Link(SocketRecord* record);
    void Unlink(SocketRecord* record);
  };

  void WorkerLoop();
  void OnCompletion(IoContext& context, uint32_t bytes, uint32_t error);
  void OnSendCompletion(SocketRecord& record, IoContext& context, uint32_t bytes, uint32_t error);
  SocketRecord* NewRecord(platform::Socket socket, uint32_t message, bool listening);
  SocketRecord* Find(platform::Socket socket) const;
  int StartAccept(IoContext& context);
  int StartReceive(IoContext& context);
  int StartSend(IoContext& context);
  int QueueNotification(const SocketRecord& record, uint32_t event, platform::Socket extra);
  void Retire(SocketRecord* record);
  void FreeIdleRetired();
  void FreeRecord(SocketRecord* record);
  void Shutdown();

  NotificationCallback callback_;
  void* target_;
  platform::CompletionPort* port_ = nullptr;
  int32_t thread_count_ = 0;
  platform::Thread threads_[kMaxPoolThreads];
  int32_t last_result_ = 0;
  bool stopping_ = false;
  platform::CriticalSection lock_;
  platform::ManualResetEvent event_{true};
  core::SlotArray<Notification> queue_;
  core::SlotArray<Notification> delivery_;  // the component thread's copy of the queue
  RecordList records_;
  RecordList retired_;  // no longer registered; freed once every operation came back
};

namespace test {
// SetPoolProcessorCount makes Start size the pool for count processors; 0 restores the system's count.
// Process-wide.
void SetPoolProcessorCount(uint32_t count);
}  // namespace test

}  // namespace velmora::component
