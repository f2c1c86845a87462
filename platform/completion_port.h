// CompletionPort: a queue of completion packets fed by socket operations started on associated sockets, in
// the manner of an I/O completion port. Accept, receive and send are started with a caller's context; each
// started operation comes back exactly once as a packet {key, byte count, context, error}: when it is done,
// when it fails, or, with error 995, when its socket is cancelled. Callers may also post their own packets.
//
// NOTE: the system has no kernel-completed socket I/O. One poller thread per port waits for readiness
// (epoll, one-shot interest) and performs the pending operation's non-blocking call (accept4, recv, send)
// itself; the result becomes the packet. Operations on one socket and direction run in the order started.
// Buffers handed to an operation belong to the port until its packet has been taken from Get.
//
// Every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/sockets.h"

namespace velmora::platform {

class CompletionPort {
 public:
  // Create returns a new port with its poller running (the caller deletes it), or null with the system
  // error number in the last error.
  static CompletionPort* Create();
  // The destructor stops and joins the poller. Operations still started are dropped without a packet:
  // Cancel every socket and take its packets first when their contexts matter.
  ~CompletionPort();
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // Associate makes packets of operations on socket carry key. A socket associated again (the number of a
  // closed one reused) first has its started operations cancelled. 0, or a socket error number.
  int Associate(Socket socket, uintptr_t key);
  // Post queues a packet with error 0. 0, or 8 when memory runs out.
  int Post(uintptr_t key, uint32_t bytes, void* context);
  // Get takes the oldest packet, waiting up to timeout_ms (kInfiniteWait of message_queue.h: no limit). Returns true for a
  // packet with error 0; false with *context set and *error the operation's error for a failed one; false
  // with *context null and *error 258 when the time ran out.
  bool Get(uintptr_t* key, uint32_t* bytes, void** context, uint32_t timeout_ms, uint32_t* error);

  // StartAccept waits for a connection on the listening socket; the packet's context is context and the new
  // non-blocking socket is stored in *accepted before the packet is queued (byte count 0). StartReceive
  // receives up to len bytes into buffer (byte count 0: the peer closed). StartSend sends up to len bytes
  // of data; the packet's byte count may be below len (the caller sends the rest). Each returns 997 (the
  // packet will follow), or an error number with no packet: 10038 for a socket that is not associated,
  // 8 when memory runs out.
  int StartAccept(Socket listening, void* context, Socket* accepted);
  int StartReceive(Socket socket, void* context, void* buffer, uint32_t len);
  int StartSend(Socket socket, void* context, const void* data, uint32_t len);
  // Cancel ends the association of socket: each of its started operations is queued as a packet with error
  // 995 and byte count 0. Returns the number of operations cancelled (0 for a socket not associated).
  int Cancel(Socket socket);

 private:
  struct Node;
  struct NodeQueue {
    Node* head = nullptr;
    Node* tail = nullptr;
    bool Empty() const { return head == nullptr; }
    void Push(Node* node);
    Node* Pop();
  };
  struct Entry {
    Socket socket = kInvalidSocket;
    uintptr_t key = 0;
    uint32_t generation = 0;
    NodeQueue reads;   // accepts and receives, in the order started
    NodeQueue writes;  // sends
  };

  CompletionPort() = default;
  Entry* Find(int fd) const;
  void Remove(int fd);
  int Start(Socket socket, Node* node);
  void Serve(Entry& entry, NodeQueue& queue);
  bool Perform(const Entry& entry, Node* node);
  void Rearm(const Entry& entry);
  void Complete(Node* node, uintptr_t key, uint32_t bytes, uint32_t error);
  void PollLoop();

  std::mutex mutex_;
  std::condition_variable packet_ready_;
  NodeQueue packets_;
  // Indexed by descriptor (null when not associated); a plain block, so the library keeps no unique
  // symbols of the standard containers and can be unloaded.
  Entry** entries_ = nullptr;
  size_t entry_capacity_ = 0;
  uint32_t next_generation_ = 1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  bool stopping_ = false;
  std::thread poller_;
};

// ListenOnLoopback opens a non-blocking stream socket listening on 127.0.0.1 at a port the system picks and
// stores the socket and the port. 0, or a socket error number.
int ListenOnLoopback(Socket* listening, uint16_t* port);
// ConnectToLoopback connects a new stream socket to 127.0.0.1:port (blocking), then makes it non-blocking.
// 0, or a socket error number.
int ConnectToLoopback(uint16_t port, Socket* connected);

}  // namespace velmora::platform
