#include "platform/completion_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <system_error>

#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

// The wake descriptor's epoll token; socket tokens are generation << 32 | descriptor and never all ones.
constexpr uint64_t kWakeToken = ~0ULL;

int Descriptor(Socket socket) { return (socket < 0 || socket > INT_MAX) ? -1 : static_cast<int>(socket); }

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int FailErrno() {
  const int error = WsaFromErrno(errno);
  SetLastError(static_cast<uint32_t>(error));
  return error;
}

}  // namespace

struct CompletionPort::Node {
  enum Kind : uint8_t { kAccept, kReceive, kSend, kPosted };
  Node* next = nullptr;
  Kind kind = kPosted;
  void* context = nullptr;
  char* buffer = nullptr;
  uint32_t len = 0;
  Socket* accepted = nullptr;
  uintptr_t key = 0;
  uint32_t bytes = 0;
  uint32_t error = 0;
};

void CompletionPort::NodeQueue::Push(Node* node) {
  node->next = nullptr;
  if (tail == nullptr) {
    head = node;
  } else {
    tail->next = node;
  }
  tail = node;
}

CompletionPort::Node* CompletionPort::NodeQueue::Pop() {
  Node* node = head;
  if (node == nullptr) return nullptr;
  head = node->next;
  if (head == nullptr) tail = nullptr;
  node->next = nullptr;
  return node;
}

CompletionPort* CompletionPort::Create() {
  CompletionPort* port = new (std::nothrow) CompletionPort;
  if (port == nullptr) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  port->epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  port->wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.u64 = kWakeToken;
  if (port->epoll_fd_ < 0 || port->wake_fd_ < 0 || epoll_ctl(port->epoll_fd_, EPOLL_CTL_ADD, port->wake_fd_, &wake) != 0) {
    SetLastError(Win32FromErrno(errno));
    delete port;
    return nullptr;
  }
  try {
    port->poller_ = std::thread([port] { port->PollLoop(); });
  } catch (const std::system_error&) {
    SetLastError(kErrorNotEnoughMemory);
    delete port;
    return nullptr;
  }
  return port;
}

CompletionPort::~CompletionPort() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (poller_.joinable()) {
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof(one));
    poller_.join();
  }
  for (size_t i = 0; i < entry_capacity_; ++i) {
    Entry* entry = entries_[i];
    if (entry == nullptr) continue;
    while (Node* node = entry->reads.Pop()) delete node;
    while (Node* node = entry->writes.Pop()) delete node;
    delete entry;
  }
  while (Node* node = packets_.Pop()) delete node;
  Free(entries_, entry_capacity_ * sizeof(Entry*));
  if (wake_fd_ >= 0) close(wake_fd_);
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

int CompletionPort::Associate(Socket socket, uintptr_t key) {
  const int fd = Descriptor(socket);
  if (fd < 0) return kWsaEnotsock;
  std::lock_guard<std::mutex> lock(mutex_);
  // A descriptor closed and reused, or associated twice: its old operations end now.
  Remove(fd);
  Entry* entry = new (std::nothrow) Entry;
  if (entry == nullptr) return kWsaEnobufs;
  if (static_cast<size_t>(fd) >= entry_capacity_) {
    const size_t capacity = 2 * static_cast<size_t>(fd) + 16;
    auto** grown = static_cast<Entry**>(Realloc(entries_, capacity * sizeof(Entry*)));
    if (grown == nullptr) {
      delete entry;
      return kWsaEnobufs;
    }
    std::memset(grown + entry_capacity_, 0, (capacity - entry_capacity_) * sizeof(Entry*));
    entries_ = grown;
    entry_capacity_ = capacity;
  }
  entry->socket = socket;
  entry->key = key;
  entry->generation = next_generation_++;
  if (entry->generation == 0xFFFFFFFFu) entry->generation = next_generation_++;
  epoll_event interest{};
  interest.events = EPOLLONESHOT;  // armed by Rearm once an operation waits
  interest.data.u64 = (static_cast<uint64_t>(entry->generation) << 32) | static_cast<uint32_t>(fd);
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &interest) != 0) {
    delete entry;
    return FailErrno();
  }
  entries_[fd] = entry;
  return 0;
}

CompletionPort::Entry* CompletionPort::Find(int fd) const {
  return (fd >= 0 && static_cast<size_t>(fd) < entry_capacity_) ? entries_[fd] : nullptr;
}

// Remove cancels the descriptor's operations and ends its association; nothing for one not associated.
void CompletionPort::Remove(int fd) {
  Entry* entry = Find(fd);
  if (entry == nullptr) return;
  for (NodeQueue* queue : {&entry->reads, &entry->writes}) {
    while (Node* node = queue->Pop()) Complete(node, entry->key, 0, kErrorOperationAborted);
  }
  (void)epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  entries_[fd] = nullptr;
  delete entry;
}

int CompletionPort::Post(uintptr_t key, uint32_t bytes, void* context) {
  Node* node = new (std::nothrow) Node;
  if (node == nullptr) return static_cast<int>(kErrorNotEnoughMemory);
  node->context = context;
  std::lock_guard<std::mutex> lock(mutex_);
  Complete(node, key, bytes, 0);
  return 0;
}

bool CompletionPort::Get(uintptr_t* key, uint32_t* bytes, void** context, uint32_t timeout_ms, uint32_t* error) {
  Node* node = nullptr;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [this] { return !packets_.Empty(); };
    if (timeout_ms == kInfiniteWait) {
      packet_ready_.wait(lock, ready);
    } else if (!packet_ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
      *context = nullptr;
      *error = kWaitTimeout;
      SetLastError(kWaitTimeout);
      return false;
    }
    node = packets_.Pop();
  }
  *key = node->key;
  *bytes = node->bytes;
  *context = node->context;
  *error = node->error;
  delete node;
  if (*error != 0) SetLastError(*error);
  return *error == 0;
}

int CompletionPort::StartAccept(Socket listening, void* context, Socket* accepted) {
  Node* node = new (std::nothrow) Node;
  if (node == nullptr) return static_cast<int>(kErrorNotEnoughMemory);
  node->kind = Node::kAccept;
  node->context = context;
  node->accepted = accepted;
  return Start(listening, node);
}

int CompletionPort::StartReceive(Socket socket, void* context, void* buffer, uint32_t len) {
  Node* node = new (std::nothrow) Node;
  if (node == nullptr) return static_cast<int>(kErrorNotEnoughMemory);
  node->kind = Node::kReceive;
  node->context = context;
  node->buffer = static_cast<char*>(buffer);
  node->len = len;
  return Start(socket, node);
}

int CompletionPort::StartSend(Socket socket, void* context, const void* data, uint32_t len) {
  Node* node = new (std::nothrow) Node;
  if (node == nullptr) return static_cast<int>(kErrorNotEnoughMemory);
  node->kind = Node::kSend;
  node->context = context;
  // The data is only read; the node keeps one pointer type for both directions.
  node->buffer = const_cast<char*>(static_cast<const char*>(data));
  node->len = len;
  return Start(socket, node);
}

int CompletionPort::Cancel(Socket socket) {
  const int fd = Descriptor(socket);
  std::lock_guard<std::mutex> lock(mutex_);
  const Entry* entry = Find(fd);
  if (entry == nullptr) return 0;
  int count = 0;
  for (const Node* node = entry->reads.head; node != nullptr; node = node->next) ++count;
  for (const Node* node = entry->writes.head; node != nullptr; node = node->next) ++count;
  Remove(fd);
  return count;
}

int CompletionPort::Start(Socket socket, Node* node) {
  const int fd = Descriptor(socket);
  std::lock_guard<std::mutex> lock(mutex_);
  Entry* found = Find(fd);
  if (found == nullptr) {
    delete node;
    return kWsaEnotsock;
  }
  Entry& entry = *found;
  NodeQueue& queue = node->kind == Node::kSend ? entry.writes : entry.reads;
  queue.Push(node);
  // Try at once: a socket that is already ready completes without a trip through the poller. Only the
  // oldest operation of a direction may run, so order is kept.
  Serve(entry, queue);
  Rearm(entry);
  return static_cast<int>(kErrorIoPending);
}

void CompletionPort::Serve(Entry& entry, NodeQueue& queue) {
  while (!queue.Empty()) {
    if (!Perform(entry, queue.head)) return;
    Node* node = queue.Pop();
    Complete(node, entry.key, node->bytes, node->error);
  }
}

// Perform runs the operation's non-blocking call; false while the socket is not ready for it.
bool CompletionPort::Perform(const Entry& entry, Node* node) {
  const int fd = static_cast<int>(entry.socket);
  for (;;) {
    ssize_t done = 0;
    if (node->kind == Node::kAccept) {
      const int accepted = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (accepted >= 0) *node->accepted = accepted;
      done = accepted >= 0 ? 0 : -1;
    } else if (node->kind == Node::kReceive) {
      done = recv(fd, node->buffer, node->len, MSG_DONTWAIT);
    } else {
      done = send(fd, node->buffer, node->len, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (done >= 0) {
      node->bytes = static_cast<uint32_t>(done);
      node->error = 0;
      return true;
    }
    const int err = errno;
    // A connection that was reset before it could be accepted is skipped; the accept waits for the next.
    if (err == EINTR || (node->kind == Node::kAccept && err == ECONNABORTED)) continue;
    if (WouldBlock(err)) return false;
    node->bytes = 0;
    node->error = static_cast<uint32_t>(WsaFromErrno(err));
    return true;
  }
}

void CompletionPort::Rearm(const Entry& entry) {
  uint32_t events = 0;
  if (!entry.reads.Empty()) events |= EPOLLIN;
  if (!entry.writes.Empty()) events |= EPOLLOUT;
  if (events == 0) return;
  const int fd = static_cast<int>(entry.socket);
  epoll_event interest{};
  interest.events = events | EPOLLONESHOT;
  interest.data.u64 = (static_cast<uint64_t>(entry.generation) << 32) | static_cast<uint32_t>(fd);
  (void)epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &interest);
}

void CompletionPort::Complete(Node* node, uintptr_t key, uint32_t bytes, uint32_t error) {
  node->key = key;
  node->bytes = bytes;
  node->error = error;
  packets_.Push(node);
  packet_ready_.notify_one();
}

void CompletionPort::PollLoop() {
  epoll_event events[64];
  for (;;) {
    const int count = epoll_wait(epoll_fd_, events, 64, -1);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    for (int i = 0; i < count; ++i) {
      const uint64_t token = events[i].data.u64;
      if (token == kWakeToken) continue;
      Entry* found = Find(static_cast<int>(token & 0xFFFFFFFFu));
      // A cancelled socket's late event, or one of a descriptor number since reused, belongs to nobody.
      if (found == nullptr || found->generation != static_cast<uint32_t>(token >> 32)) continue;
      Entry& entry = *found;
      const uint32_t ready = events[i].events;
      if (ready & (EPOLLIN | EPOLLERR | EPOLLHUP)) Serve(entry, entry.reads);
      if (ready & (EPOLLOUT | EPOLLERR | EPOLLHUP)) Serve(entry, entry.writes);
      Rearm(entry);
    }
  }
}

int ListenOnLoopback(Socket* listening, uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return FailErrno();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
    const int error = FailErrno();
    close(fd);
    return error;
  }
  *listening = fd;
  *port = ntohs(address.sin_port);
  return 0;
}

int ConnectToLoopback(uint16_t port, Socket* connected) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FailErrno();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = FailErrno();
    close(fd);
    return error;
  }
  if (SetNonBlocking(fd, true) != 0) {
    const int error = WsaGetLastError();
    close(fd);
    return error;
  }
  *connected = fd;
  return 0;
}

}  // namespace velmora::platform
