#include "platform/message_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/time.h"
#include "platform/last_error.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

constexpr int kMaxExtraBytes = 1024;
constexpr WindowHandle kFirstWindowHandle = 0x10000;
// Without a wake descriptor the wait falls back to sleeping in slices of this length.
constexpr int kFallbackSliceMs = 10;

// Queue is one thread's message queue. Its lock is never held while the table lock is taken.
struct Queue {
  std::mutex mutex;
  std::deque<Message> messages;
  bool quit_pending = false;
  int quit_code = 0;
  bool posted_since_peek = false;
  uint64_t posts = 0;   // messages posted so far
  uint64_t looked = 0;  // posts seen by the last look (PeekMessage)
  bool closed = false;
  int wake_fd = -1;

  Queue() { wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
  ~Queue() {
    if (wake_fd >= 0) close(wake_fd);
  }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // Wake interrupts the owner's MsgWait; the owner itself is never asleep, so it skips the system call.
  void Wake();
  void DrainWake() {
    uint64_t count = 0;
    ssize_t got = read(wake_fd, &count, sizeof(count));
    (void)got;
  }
};

struct WindowClass {
  WindowProc proc = nullptr;
  int extra_bytes = 0;
  int live_windows = 0;
};

struct Window {
  std::shared_ptr<WindowClass> window_class;
  std::shared_ptr<Queue> owner;
  std::vector<uint8_t> extra;
};

struct SocketWatch {
  WindowHandle window = 0;
  uint32_t message = 0;
  uint32_t mask = 0;
  uint32_t armed = 0;        // events that may be reported now
  bool hangup_seen = false;  // the peer closed; FD_CLOSE waits until the pending data has been read
  bool finished = false;     // FD_CLOSE (or a failed connect) was reported; the socket is no longer polled
  bool recheck = false;      // data was read after a hang-up: look again whether FD_CLOSE is due
  std::shared_ptr<Queue> owner;
};

struct Tables {
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<WindowClass>> classes;
  std::unordered_map<WindowHandle, Window> windows;
  std::unordered_map<int64_t, SocketWatch> sockets;
  WindowHandle next_handle = kFirstWindowHandle;
};

Tables& GetTables() {
  static Tables tables;
  return tables;
}

std::string ClassKey(const char* name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return key;
}

// DropWindowLocked removes a window from the table (the table lock is held) and returns its owner queue.
std::shared_ptr<Queue> DropWindowLocked(Tables& tables, std::unordered_map<WindowHandle, Window>::iterator it) {
  std::shared_ptr<Queue> owner = std::move(it->second.owner);
  it->second.window_class->live_windows--;
  const WindowHandle handle = it->first;
  tables.windows.erase(it);
  std::erase_if(tables.sockets, [handle](const auto& entry) { return entry.second.window == handle; });
  return owner;
}

void CloseQueue(const std::shared_ptr<Queue>& queue) {
  Tables& tables = GetTables();
  {
    std::lock_guard<std::mutex> lock(tables.mutex);
    for (auto it = tables.windows.begin(); it != tables.windows.end();) {
      auto next = std::next(it);
      if (it->second.owner == queue) DropWindowLocked(tables, it);
      it = next;
    }
    std::erase_if(tables.sockets, [&queue](const auto& entry) { return entry.second.owner == queue; });
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->closed = true;
  queue->messages.clear();
}

// QueueHolder ties a queue to its thread: the queue is made on first use and closed when the thread ends.
struct QueueHolder {
  std::shared_ptr<Queue> queue;
  ~QueueHolder() {
    if (queue) CloseQueue(queue);
  }
};

thread_local QueueHolder t_queue;

// The owner is the thread whose queue this is (known by the queue itself: a thread id may be an ended
// thread's).
void Queue::Wake() {
  if (wake_fd < 0 || t_queue.queue.get() == this) return;
  const uint64_t one = 1;
  ssize_t written = write(wake_fd, &one, sizeof(one));
  (void)written;  // a full counter already guarantees a wake-up
}

Queue* CurrentQueue() {
  if (!t_queue.queue) {
    // Not make_shared: its type tag would be a unique symbol that keeps the shared library from unloading.
    try {
      t_queue.queue = std::shared_ptr<Queue>(new Queue);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return t_queue.queue.get();
}

int SocketErrorOf(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return WsaFromErrno(errno);
  return err == 0 ? 0 : WsaFromErrno(err);
}

int BytesPending(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

int64_t MakeLparam(uint32_t event, int error) {
  return static_cast<int64_t>(event | (static_cast<uint32_t>(error & 0xFFFF) << 16));
}

struct PendingPost {
  WindowHandle window;
  uint32_t message;
  int64_t socket;
  int64_t lparam;
};

// ReportSocketEvents turns the poll result of one registered socket into notifications, in the order a
// connection goes through them (connect, accept, write, read, close), and disarms each reported event.
void ReportSocketEvents(int64_t socket, short revents, std::vector<PendingPost>& posts) {
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  auto it = tables.sockets.find(socket);
  if (it == tables.sockets.end()) return;
  SocketWatch& watch = it->second;
  const int fd = static_cast<int>(socket);
  if (revents & POLLNVAL) {
    // Closed behind the socket layer's back: nothing more will come, and polling it would never block.
    watch.finished = true;
    return;
  }
  auto report = [&](uint32_t event, int error) {
    watch.armed &= ~event;
    posts.push_back({watch.window, watch.message, socket, MakeLparam(event, error)});
  };
  const bool failed = (revents & POLLERR) != 0;
  const bool hangup = (revents & (POLLHUP | POLLRDHUP)) != 0;
  const int error = failed ? SocketErrorOf(fd) : 0;
  if ((watch.armed & kFdConnect) && (revents & (POLLOUT | POLLERR | POLLHUP))) {
    report(kFdConnect, failed ? error : SocketErrorOf(fd));
    if (failed) {
      watch.finished = true;
      return;
    }
  }
  if ((watch.armed & kFdAccept) && (revents & POLLIN)) report(kFdAccept, 0);
  if ((watch.armed & kFdWrite) && (revents & POLLOUT) && !failed) report(kFdWrite, 0);
  watch.recheck = false;
  const int pending = (revents & (POLLIN | POLLHUP | POLLRDHUP)) ? BytesPending(fd) : 0;
  if ((watch.armed & kFdRead) && pending > 0 && !failed) report(kFdRead, 0);
  if (failed || hangup) {
    watch.hangup_seen = true;
    // A graceful close is reported once the data that arrived before it has been read; a reset at once.
    if (failed || pending == 0) {
      if (watch.armed & kFdClose) report(kFdClose, error);
      watch.finished = true;
    }
  }
}

struct PollSet {
  std::vector<pollfd> fds;
  std::vector<int64_t> sockets;  // parallel to fds after the first `first_socket` entries
  size_t first_socket = 0;
};

// CollectWatches adds the sockets of queue that have an event to wait for to the poll set.
void CollectWatches(const Queue* queue, PollSet& set) {
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  for (const auto& [socket, watch] : tables.sockets) {
    if (watch.owner.get() != queue || watch.finished || watch.armed == 0) continue;
    // After a hang-up the descriptor stays ready for ever; only a re-enabled read has something to learn.
    if (watch.hangup_seen && !(watch.armed & kFdRead) && !watch.recheck) continue;
    short events = 0;
    if (watch.armed & (kFdRead | kFdAccept)) events |= POLLIN;
    if (watch.armed & (kFdWrite | kFdConnect)) events |= POLLOUT;
    if (watch.armed & kFdClose) events |= POLLRDHUP;
    set.fds.push_back({static_cast<int>(socket), events, 0});
    set.sockets.push_back(socket);
  }
}

void PostAll(const std::vector<PendingPost>& posts) {
  for (const PendingPost& post : posts) {
    (void)PostMessage(post.window, post.message, static_cast<uintptr_t>(post.socket), post.lparam);
  }
}

// PollQueueSockets checks the queue's registered sockets without waiting and posts what they report.
void PollQueueSockets(Queue* queue) {
  PollSet set;
  CollectWatches(queue, set);
  if (set.fds.empty()) return;
  if (poll(set.fds.data(), set.fds.size(), 0) <= 0) return;
  std::vector<PendingPost> posts;
  for (size_t i = 0; i < set.fds.size(); ++i) {
    if (set.fds[i].revents != 0) ReportSocketEvents(set.sockets[i], set.fds[i].revents, posts);
  }
  PostAll(posts);
}

bool HasFreshInput(Queue* queue) {
  std::lock_guard<std::mutex> lock(queue->mutex);
  return queue->posted_since_peek;
}

}  // namespace

bool RegisterWindowClass(const char* class_name, WindowProc proc, int window_extra_bytes) {
  if (class_name == nullptr || proc == nullptr || window_extra_bytes < 0 || window_extra_bytes > kMaxExtraBytes) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  Tables& tables = GetTables();
  try {
    std::string key = ClassKey(class_name);
    auto window_class = std::shared_ptr<WindowClass>(new WindowClass);
    window_class->proc = proc;
    window_class->extra_bytes = window_extra_bytes;
    std::lock_guard<std::mutex> lock(tables.mutex);
    if (!tables.classes.emplace(std::move(key), std::move(window_class)).second) {
      SetLastError(kErrorClassAlreadyExists);
      return false;
    }
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  return true;
}

bool UnregisterWindowClass(const char* class_name) {
  if (class_name == nullptr) {
    SetLastError(kErrorClassDoesNotExist);
    return false;
  }
  Tables& tables = GetTables();
  try {
    const std::string key = ClassKey(class_name);
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto it = tables.classes.find(key);
    if (it == tables.classes.end()) {
      SetLastError(kErrorClassDoesNotExist);
      return false;
    }
    if (it->second->live_windows > 0) {
      SetLastError(kErrorClassHasWindows);
      return false;
    }
    tables.classes.erase(it);
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  return true;
}

WindowHandle CreateMessageWindow(const char* class_name) {
  if (class_name == nullptr) {
    SetLastError(kErrorClassDoesNotExist);
    return 0;
  }
  Queue* queue = CurrentQueue();
  if (queue == nullptr) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  Tables& tables = GetTables();
  try {
    const std::string key = ClassKey(class_name);
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto found = tables.classes.find(key);
    if (found == tables.classes.end()) {
      SetLastError(kErrorClassDoesNotExist);
      return 0;
    }
    Window window;
    window.window_class = found->second;
    window.owner = t_queue.queue;
    window.extra.assign(static_cast<size_t>(found->second->extra_bytes), 0);
    const WindowHandle handle = tables.next_handle;
    tables.windows.emplace(handle, std::move(window));
    tables.next_handle++;
    found->second->live_windows++;
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
}

bool DestroyWindow(WindowHandle window) {
  Tables& tables = GetTables();
  std::shared_ptr<Queue> owner;
  {
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto it = tables.windows.find(window);
    if (it == tables.windows.end()) {
      SetLastError(kErrorInvalidWindowHandle);
      return false;
    }
    owner = DropWindowLocked(tables, it);
  }
  std::lock_guard<std::mutex> lock(owner->mutex);
  std::erase_if(owner->messages, [window](const Message& m) { return m.window == window; });
  return true;
}

bool IsWindow(WindowHandle window) {
  if (window == 0) return false;
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  return tables.windows.count(window) != 0;
}

bool IsWindowOfThisThread(WindowHandle window) {
  // A thread without a queue of its own owns no window; none is made for asking.
  const Queue* own = t_queue.queue.get();
  if (window == 0 || own == nullptr) return false;
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  const auto it = tables.windows.find(window);
  return it != tables.windows.end() && it->second.owner.get() == own;
}

namespace {

// ExtraSlot finds the pointer-sized slot at offset of a window, or sets the last error and returns null.
uint8_t* ExtraSlot(Tables& tables, WindowHandle window, int offset) {
  auto it = tables.windows.find(window);
  if (it == tables.windows.end()) {
    SetLastError(kErrorInvalidWindowHandle);
    return nullptr;
  }
  std::vector<uint8_t>& extra = it->second.extra;
  if (offset < 0 || static_cast<size_t>(offset) + sizeof(intptr_t) > extra.size()) {
    SetLastError(kErrorInvalidIndex);
    return nullptr;
  }
  return extra.data() + offset;
}

}  // namespace

intptr_t SetWindowLongPtr(WindowHandle window, int offset, intptr_t value) {
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  uint8_t* slot = ExtraSlot(tables, window, offset);
  if (slot == nullptr) return 0;
  intptr_t previous = 0;
  std::memcpy(&previous, slot, sizeof(previous));
  std::memcpy(slot, &value, sizeof(value));
  SetLastError(0);
  return previous;
}

intptr_t GetWindowLongPtr(WindowHandle window, int offset) {
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  const uint8_t* slot = ExtraSlot(tables, window, offset);
  if (slot == nullptr) return 0;
  intptr_t value = 0;
  std::memcpy(&value, slot, sizeof(value));
  SetLastError(0);
  return value;
}

bool PostMessage(WindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  Tables& tables = GetTables();
  std::shared_ptr<Queue> owner;
  {
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto it = tables.windows.find(window);
    if (it != tables.windows.end()) owner = it->second.owner;
  }
  if (!owner) {
    SetLastError(kErrorInvalidWindowHandle);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(owner->mutex);
    if (owner->closed) {
      SetLastError(kErrorInvalidWindowHandle);
      return false;
    }
    try {
      owner->messages.push_back(Message{window, message, wparam, lparam, owner->posts + 1});
      ++owner->posts;
    } catch (const std::bad_alloc&) {
      SetLastError(kErrorNotEnoughMemory);
      return false;
    }
    owner->posted_since_peek = true;
  }
  owner->Wake();
  return true;
}

void PostQuitMessage(int exit_code) {
  Queue* queue = CurrentQueue();
  if (queue == nullptr) return;
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->quit_pending = true;
  queue->quit_code = exit_code;
  queue->posted_since_peek = true;
}

bool PeekMessage(Message* out, WindowHandle filter, bool remove) {
  Queue* queue = CurrentQueue();
  if (queue == nullptr || out == nullptr) return false;
  PollQueueSockets(queue);
  for (;;) {
    Message taken;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      // A look for one window's messages passes over the others: one of them posted since the last look
      // still counts as new for the next wait, which would otherwise sleep through it (a wake posted to the
      // thread while its wait step looked only at another window). Only the first wait after its post.
      const uint64_t last = queue->looked;
      queue->looked = queue->posts;
      queue->posted_since_peek =
          filter != 0 && std::any_of(queue->messages.begin(), queue->messages.end(),
                                     [filter, last](const Message& m) { return m.window != filter && m.serial > last; });
      auto it = std::find_if(queue->messages.begin(), queue->messages.end(),
                             [filter](const Message& m) { return filter == 0 || m.window == filter; });
      if (it == queue->messages.end()) {
        if (!queue->quit_pending) return false;
        *out = Message{0, kWmQuit, static_cast<uintptr_t>(static_cast<intptr_t>(queue->quit_code)), 0};
        if (remove) queue->quit_pending = false;
        return true;
      }
      taken = *it;
      if (remove) queue->messages.erase(it);
    }
    // A message posted while its window was being destroyed on another thread is dropped here.
    if (IsWindow(taken.window)) {
      *out = taken;
      return true;
    }
    if (!remove) {
      std::lock_guard<std::mutex> lock(queue->mutex);
      std::erase_if(queue->messages, [&taken](const Message& m) { return m.window == taken.window; });
    }
  }
}

bool TranslateMessage(const Message&) { return false; }

intptr_t DispatchMessage(const Message& message) {
  if (message.window == 0) return 0;
  WindowProc proc = nullptr;
  {
    Tables& tables = GetTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto it = tables.windows.find(message.window);
    if (it == tables.windows.end()) return 0;
    proc = it->second.window_class->proc;
  }
  return proc(message.window, message.message, message.wparam, message.lparam);
}

intptr_t DefWindowProc(WindowHandle, uint32_t, uintptr_t, intptr_t) { return 0; }

uint32_t MsgWait(uint32_t timeout_ms) {
  Queue* queue = CurrentQueue();
  if (queue == nullptr) return kWaitFailed;
  const bool infinite = timeout_ms == kInfiniteWait;
  const uint64_t deadline = MonotonicMs() + (infinite ? 0 : timeout_ms);
  PollSet set;
  for (;;) {
    if (HasFreshInput(queue)) return kWaitObject0;
    int wait_ms = -1;
    if (!infinite) {
      const uint64_t now = MonotonicMs();
      if (now >= deadline) return kWaitTimeout;
      wait_ms = static_cast<int>(std::min<uint64_t>(deadline - now, 0x7FFFFFFF));
    }
    set.fds.clear();
    set.sockets.clear();
    set.first_socket = 0;
    if (queue->wake_fd >= 0) {
      set.fds.push_back({queue->wake_fd, POLLIN, 0});
      set.first_socket = 1;
    } else if (wait_ms < 0 || wait_ms > kFallbackSliceMs) {
      wait_ms = kFallbackSliceMs;
    }
    CollectWatches(queue, set);
    const int ready = poll(set.fds.data(), set.fds.size(), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // Out of kernel memory or similar: do not spin, sleep the slice away and look again.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait_ms < 0 ? kFallbackSliceMs : wait_ms,
                                                                     kFallbackSliceMs)));
      continue;
    }
    if (ready == 0) continue;
    if (set.first_socket == 1 && set.fds[0].revents != 0) queue->DrainWake();
    std::vector<PendingPost> posts;
    for (size_t i = set.first_socket; i < set.fds.size(); ++i) {
      if (set.fds[i].revents != 0) ReportSocketEvents(set.sockets[i - set.first_socket], set.fds[i].revents, posts);
    }
    PostAll(posts);
  }
}

int SelectSocketNotifications(int64_t socket, WindowHandle window, uint32_t message, uint32_t event_mask) {
  if (socket < 0 || socket > 0x7FFFFFFF) {
    SetLastError(static_cast<uint32_t>(kWsaEnotsock));
    return -1;
  }
  Tables& tables = GetTables();
  std::shared_ptr<Queue> owner;
  {
    std::lock_guard<std::mutex> lock(tables.mutex);
    if (event_mask == 0) {
      tables.sockets.erase(socket);
      return 0;
    }
    auto it = tables.windows.find(window);
    if (it == tables.windows.end()) {
      SetLastError(static_cast<uint32_t>(kWsaEinval));
      return -1;
    }
    owner = it->second.owner;
    SocketWatch watch;
    watch.window = window;
    watch.message = message;
    watch.mask = event_mask;
    watch.armed = event_mask & (kFdRead | kFdWrite | kFdAccept | kFdConnect | kFdClose);
    watch.owner = owner;
    try {
      auto existing = tables.sockets.find(socket);
      if (existing != tables.sockets.end()) {
        existing->second = std::move(watch);
      } else {
        tables.sockets.emplace(socket, std::move(watch));
      }
    } catch (const std::bad_alloc&) {
      SetLastError(static_cast<uint32_t>(kWsaEnobufs));
      return -1;
    }
  }
  owner->Wake();
  return 0;
}

void RearmSocketNotification(int64_t socket, uint32_t events) {
  Tables& tables = GetTables();
  std::shared_ptr<Queue> owner;
  {
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto it = tables.sockets.find(socket);
    if (it == tables.sockets.end() || it->second.finished) return;
    SocketWatch& watch = it->second;
    const uint32_t rearm = events & watch.mask & (kFdRead | kFdWrite | kFdAccept);
    // A receive after the peer closed may have taken the last data that held FD_CLOSE back.
    const bool recheck = (events & kFdRead) && watch.hangup_seen && (watch.armed & kFdClose) && !watch.recheck;
    if (!recheck && (rearm == 0 || (watch.armed & rearm) == rearm)) return;
    watch.armed |= rearm;
    watch.recheck = watch.recheck || recheck;
    owner = watch.owner;
  }
  owner->Wake();
}

void ForgetSocket(int64_t socket) {
  Tables& tables = GetTables();
  std::lock_guard<std::mutex> lock(tables.mutex);
  tables.sockets.erase(socket);
}

}  // namespace velmora::platform
