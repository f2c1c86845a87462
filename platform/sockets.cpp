#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/last_error.h"
#include "platform/win_codes.h"

namespace velmora::platform {

namespace {

std::mutex g_startup_mutex;
int g_startup_count = 0;

int Fail(int wsa_error) {
  SetLastError(static_cast<uint32_t>(wsa_error));
  return kSocketError;
}

int FailErrno() { return Fail(WsaFromErrno(errno)); }

// Descriptor returns the system descriptor of a socket, or -1 when the value cannot be one.
int Descriptor(Socket socket) {
  return (socket < 0 || socket > INT_MAX) ? -1 : static_cast<int>(socket);
}

int FamilyToSystem(int family) {
  switch (family) {
    case kAfUnspec: return AF_UNSPEC;
    case kAfInet: return AF_INET;
    case kAfInet6: return AF_INET6;
    default: return -1;
  }
}

int AiFlagsToSystem(int flags) {
  int out = 0;
  if (flags & kAiPassive) out |= AI_PASSIVE;
  if (flags & kAiCanonName) out |= AI_CANONNAME;
  if (flags & kAiNumericHost) out |= AI_NUMERICHOST;
  if (flags & kAiNumericServ) out |= AI_NUMERICSERV;
  return out;
}

int NiFlagsToSystem(int flags) {
  int out = 0;
  if (flags & kNiNoFqdn) out |= NI_NOFQDN;
  if (flags & kNiNumericHost) out |= NI_NUMERICHOST;
  if (flags & kNiNameReqd) out |= NI_NAMEREQD;
  if (flags & kNiNumericServ) out |= NI_NUMERICSERV;
  if (flags & kNiDgram) out |= NI_DGRAM;
  return out;
}

// FromSystemAddress converts a system socket address into the library's layout; false for other families.
bool FromSystemAddress(const sockaddr* in, SockAddrIn6* out6, SockAddrIn* out4) {
  if (in->sa_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(in);
    std::memset(out6, 0, sizeof(*out6));
    out6->family = kAfInet6;
    out6->port = a->sin6_port;
    out6->flowinfo = a->sin6_flowinfo;
    std::memcpy(out6->addr, &a->sin6_addr, 16);
    out6->scope_id = a->sin6_scope_id;
    return true;
  }
  if (in->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(in);
    std::memset(out4, 0, sizeof(*out4));
    out4->family = kAfInet;
    out4->port = a->sin_port;
    std::memcpy(out4->addr, &a->sin_addr, 4);
    return true;
  }
  return false;
}

// ToSystemAddress converts a library address (family read from its first two bytes) to a system one.
bool ToSystemAddress(const void* addr, int addr_len, sockaddr_storage* out, socklen_t* out_len) {
  if (addr == nullptr || addr_len < 2) return false;
  uint16_t family = 0;
  std::memcpy(&family, addr, sizeof(family));
  std::memset(out, 0, sizeof(*out));
  if (family == kAfInet6 && addr_len >= static_cast<int>(sizeof(SockAddrIn6))) {
    SockAddrIn6 in;
    std::memcpy(&in, addr, sizeof(in));
    auto* a = reinterpret_cast<sockaddr_in6*>(out);
    a->sin6_family = AF_INET6;
    a->sin6_port = in.port;
    a->sin6_flowinfo = in.flowinfo;
    std::memcpy(&a->sin6_addr, in.addr, 16);
    a->sin6_scope_id = in.scope_id;
    *out_len = sizeof(sockaddr_in6);
    return true;
  }
  if (family == kAfInet && addr_len >= static_cast<int>(sizeof(SockAddrIn))) {
    SockAddrIn in;
    std::memcpy(&in, addr, sizeof(in));
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_port = in.port;
    std::memcpy(&a->sin_addr, in.addr, 4);
    *out_len = sizeof(sockaddr_in);
    return true;
  }
  return false;
}

// ResultNode holds one AddrInfo with its address and canonical name in a single allocation.
struct ResultNode {
  AddrInfo info;
  union {
    SockAddrIn6 v6;
    SockAddrIn v4;
  } address;
  char* canon_name;
};

int Reply(int wsa_error) {
  SetLastError(static_cast<uint32_t>(wsa_error));
  return wsa_error;
}

}  // namespace

int WsaStartup(uint16_t requested, uint16_t* version) {
  const uint8_t major = requested & 0xFF;
  const uint8_t minor = requested >> 8;
  if (major == 0) return Reply(kWsaVerNotSupported);
  const bool above = major > 2 || (major == 2 && minor >= 2);
  if (version != nullptr) *version = above ? kWinsockVersion22 : requested;
  std::lock_guard<std::mutex> lock(g_startup_mutex);
  g_startup_count++;
  return 0;
}

int WsaCleanup() {
  std::lock_guard<std::mutex> lock(g_startup_mutex);
  if (g_startup_count == 0) return Fail(kWsaNotInitialised);
  g_startup_count--;
  return 0;
}

bool WsaStarted() {
  std::lock_guard<std::mutex> lock(g_startup_mutex);
  return g_startup_count > 0;
}

int WsaGetLastError() { return static_cast<int>(GetLastError()); }

void WsaSetLastError(int error) { SetLastError(static_cast<uint32_t>(error)); }

bool WsaIsBlocking() { return false; }

int WsaCancelBlockingCall() { return 0; }

int SocketPair(Socket out[2]) {
  if (!WsaStarted()) return Fail(kWsaNotInitialised);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return FailErrno();
  out[0] = fds[0];
  out[1] = fds[1];
  return 0;
}

int CloseSocket(Socket socket) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  ForgetSocket(socket);
  return close(fd) == 0 ? 0 : FailErrno();
}

int Recv(Socket socket, void* buffer, int len, int flags) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  const ssize_t got = recv(fd, buffer, static_cast<size_t>(len < 0 ? 0 : len), flags);
  const int saved_errno = errno;
  RearmSocketNotification(socket, kFdRead);
  if (got < 0) return Fail(WsaFromErrno(saved_errno));
  return static_cast<int>(got);
}

int Send(Socket socket, const void* buffer, int len, int flags) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  const ssize_t sent = send(fd, buffer, static_cast<size_t>(len < 0 ? 0 : len), flags | MSG_NOSIGNAL);
  if (sent < 0) {
    const int saved_errno = errno;
    if (saved_errno == EWOULDBLOCK || saved_errno == EAGAIN) RearmSocketNotification(socket, kFdWrite);
    return Fail(WsaFromErrno(saved_errno));
  }
  return static_cast<int>(sent);
}

int SetNonBlocking(Socket socket, bool on) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return FailErrno();
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && fcntl(fd, F_SETFL, wanted) != 0) return FailErrno();
  return 0;
}

int PollSocket(Socket socket, bool read, bool write, bool except, int timeout_ms, PollReady* out) {
  *out = PollReady{};
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  pollfd entry{fd, 0, 0};
  if (read) entry.events |= POLLIN;
  if (write) entry.events |= POLLOUT;
  if (except) entry.events |= POLLPRI;
  const int ready = poll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
  if (ready < 0) return FailErrno();
  if (ready == 0) return 0;
  if (entry.revents & POLLNVAL) return Fail(kWsaEnotsock);
  // The same readiness sets as a select() on this system: errors and hang-ups make a socket readable, and
  // a finished or failed connect makes it writable.
  out->read = read && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  out->write = write && (entry.revents & (POLLOUT | POLLERR)) != 0;
  out->except = except && (entry.revents & POLLPRI) != 0;
  return (out->read || out->write || out->except) ? 1 : 0;
}

int AsyncSelect(Socket socket, WindowHandle window, uint32_t message, uint32_t event_mask) {
  if (Descriptor(socket) < 0) return Fail(kWsaEnotsock);
  if (event_mask != 0 && SetNonBlocking(socket, true) != 0) return kSocketError;
  return SelectSocketNotifications(socket, window, message, event_mask);
}

int GetPeerName(Socket socket, void* addr, int* addr_len) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  sockaddr_storage peer;
  socklen_t peer_len = sizeof(peer);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return FailErrno();
  SockAddrIn6 v6;
  SockAddrIn v4;
  if (!FromSystemAddress(reinterpret_cast<sockaddr*>(&peer), &v6, &v4)) {
    // A local socket has no network address: report an empty one of family 0.
    if (*addr_len < 2) return Fail(kWsaEfault);
    std::memset(addr, 0, 2);
    *addr_len = 2;
    return 0;
  }
  const bool is6 = peer.ss_family == AF_INET6;
  const int need = is6 ? static_cast<int>(sizeof(v6)) : static_cast<int>(sizeof(v4));
  if (addr == nullptr || *addr_len < need) return Fail(kWsaEfault);
  std::memcpy(addr, is6 ? static_cast<const void*>(&v6) : static_cast<const void*>(&v4), need);
  *addr_len = need;
  return 0;
}

int GetSocketError(Socket socket, int* error) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return FailErrno();
  *error = err == 0 ? 0 : WsaFromErrno(err);
  return 0;
}

int SetSocketBufferSize(Socket socket, bool receive, int size) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  if (setsockopt(fd, SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &size, sizeof(size)) != 0) return FailErrno();
  return 0;
}

int GetSocketBufferSize(Socket socket, bool receive, int* size) {
  const int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaEnotsock);
  socklen_t len = sizeof(*size);
  if (getsockopt(fd, SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, size, &len) != 0) return FailErrno();
  return 0;
}

uint32_t InetAddr(const char* text) {
  if (text == nullptr) return kInaddrNone;
  in_addr parsed{};
  if (inet_aton(text, &parsed) == 0) return kInaddrNone;
  return parsed.s_addr;
}

int GetHostName(char* name, int cap) {
  if (!WsaStarted()) return Fail(kWsaNotInitialised);
  char local[HOST_NAME_MAX + 1];
  if (gethostname(local, sizeof(local)) != 0) return FailErrno();
  local[HOST_NAME_MAX] = '\0';
  const size_t len = std::strlen(local);
  if (name == nullptr || cap <= 0 || len + 1 > static_cast<size_t>(cap)) return Fail(kWsaEfault);
  std::memcpy(name, local, len + 1);
  return 0;
}

int GetAddrInfo(const char* host, const char* service, const AddrInfo* hints, AddrInfo** result) {
  if (result == nullptr) return Reply(kWsaEinval);
  *result = nullptr;
  if (!WsaStarted()) return Reply(kWsaNotInitialised);
  addrinfo system_hints{};
  if (hints != nullptr) {
    const int family = FamilyToSystem(hints->family);
    if (family < 0) return Reply(kWsaEafnosupport);
    system_hints.ai_family = family;
    system_hints.ai_socktype = hints->socktype;
    system_hints.ai_protocol = hints->protocol;
    system_hints.ai_flags = AiFlagsToSystem(hints->flags);
  }
  addrinfo* found = nullptr;
  const int gai = getaddrinfo(host, service, hints != nullptr ? &system_hints : nullptr, &found);
  if (gai != 0) return Reply(WsaFromGai(gai));
  AddrInfo* head = nullptr;
  AddrInfo** tail = &head;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    auto* node = new (std::nothrow) ResultNode{};
    if (node == nullptr) {
      freeaddrinfo(found);
      FreeAddrInfo(head);
      return Reply(kWsaEnobufs);
    }
    *tail = &node->info;
    tail = &node->info.next;
    FromSystemAddress(entry->ai_addr, &node->address.v6, &node->address.v4);
    const bool is6 = entry->ai_family == AF_INET6;
    node->info.flags = hints != nullptr ? hints->flags : 0;
    node->info.family = is6 ? kAfInet6 : kAfInet;
    node->info.socktype = entry->ai_socktype;
    node->info.protocol = entry->ai_protocol;
    node->info.addrlen = is6 ? sizeof(SockAddrIn6) : sizeof(SockAddrIn);
    node->info.addr = &node->address;
    if (entry->ai_canonname != nullptr) {
      const size_t len = std::strlen(entry->ai_canonname);
      node->canon_name = new (std::nothrow) char[len + 1];
      if (node->canon_name != nullptr) {
        std::memcpy(node->canon_name, entry->ai_canonname, len + 1);
        node->info.canonname = node->canon_name;
      }
    }
  }
  freeaddrinfo(found);
  *result = head;
  return Reply(0);
}

void FreeAddrInfo(AddrInfo* list) {
  while (list != nullptr) {
    // Every AddrInfo handed out is the first member of a ResultNode.
    auto* node = reinterpret_cast<ResultNode*>(list);
    list = list->next;
    delete[] node->canon_name;
    delete node;
  }
}

int GetNameInfo(const void* addr, int addr_len, char* host, uint32_t host_cap, char* service,
                uint32_t service_cap, int flags) {
  if (!WsaStarted()) return Reply(kWsaNotInitialised);
  sockaddr_storage system_addr;
  socklen_t system_len = 0;
  if (!ToSystemAddress(addr, addr_len, &system_addr, &system_len)) return Reply(kWsaEafnosupport);
  const int gai = getnameinfo(reinterpret_cast<const sockaddr*>(&system_addr), system_len, host,
                              host != nullptr ? host_cap : 0, service, service != nullptr ? service_cap : 0,
                              NiFlagsToSystem(flags));
  if (gai == EAI_OVERFLOW) return Reply(kWsaEfault);
  return Reply(WsaFromGai(gai));
}

int GetHostByAddr(const void* addr, int addr_len, int family, char* name, uint32_t name_cap) {
  if (addr == nullptr) return Reply(kWsaEfault);
  if (family == kAfInet && addr_len == 4) {
    SockAddrIn in{};
    in.family = kAfInet;
    std::memcpy(in.addr, addr, 4);
    return GetNameInfo(&in, sizeof(in), name, name_cap, nullptr, 0, kNiNameReqd);
  }
  if (family == kAfInet6 && addr_len == 16) {
    SockAddrIn6 in{};
    in.family = kAfInet6;
    std::memcpy(in.addr, addr, 16);
    return GetNameInfo(&in, sizeof(in), name, name_cap, nullptr, 0, kNiNameReqd);
  }
  return Reply(kWsaEafnosupport);
}

}  // namespace velmora::platform
