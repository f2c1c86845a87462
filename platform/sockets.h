// The socket layer of the library: start-up and clean-up, non-blocking mode, readiness polling, socket
// notifications to a window, name resolution and the few socket options the components set. Results follow
// the socket-layer conventions the components were built on: 0 on success, -1 (kSocketError) on failure with
// the socket error number (10000-11004, win_codes.h) in the last error, and the Winsock-shaped address
// records below (IPv6 family 23, IPv4 family 2), whatever the host system uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/message_queue.h"

namespace velmora::platform {

using Socket = int64_t;
constexpr Socket kInvalidSocket = -1;
constexpr int kSocketError = -1;

constexpr uint16_t kWinsockVersion22 = 0x0202;  // low byte major, high byte minor

constexpr int kAfUnspec = 0;
constexpr int kAfInet = 2;
constexpr int kAfInet6 = 23;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;

// Flags of name resolution (the values callers of the socket layer pass).
constexpr int kAiPassive = 0x01;
constexpr int kAiCanonName = 0x02;
constexpr int kAiNumericHost = 0x04;
constexpr int kAiNumericServ = 0x08;
constexpr int kNiNoFqdn = 0x01;
constexpr int kNiNumericHost = 0x02;
constexpr int kNiNameReqd = 0x04;
constexpr int kNiNumericServ = 0x08;
constexpr int kNiDgram = 0x10;

constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;

// SockAddrIn6 is the 28-byte IPv6 socket address: family 23, port and flow in network order, scope id.
struct SockAddrIn6 {
  uint16_t family;
  uint16_t port;
  uint32_t flowinfo;
  uint8_t addr[16];
  uint32_t scope_id;
};
static_assert(sizeof(SockAddrIn6) == 28, "IPv6 socket addresses are 28 bytes");

// SockAddrIn is the 16-byte IPv4 socket address: family 2, port and address in network order.
struct SockAddrIn {
  uint16_t family;
  uint16_t port;
  uint8_t addr[4];
  uint8_t zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "IPv4 socket addresses are 16 bytes");

// AddrInfo is one result of GetAddrInfo; the list and its addresses belong to it until FreeAddrInfo.
struct AddrInfo {
  int flags;
  int family;
  int socktype;
  int protocol;
  size_t addrlen;
  char* canonname;
  void* addr;  // SockAddrIn or SockAddrIn6
  AddrInfo* next;
};

// WsaStartup starts the socket layer (counted: each successful call needs one WsaCleanup). Writes the
// version in use (at most 2.2) to *version and returns 0; 10092 when the requested major version is 0.
int WsaStartup(uint16_t requested, uint16_t* version);
// WsaCleanup undoes one WsaStartup: 0, or -1 with 10093 when the layer is not started.
int WsaCleanup();
// WsaStarted is true between a WsaStartup and its last WsaCleanup.
bool WsaStarted();
int WsaGetLastError();
void WsaSetLastError(int error);
// WsaIsBlocking is always false and WsaCancelBlockingCall does nothing (returns 0): there are no blocking
// hooks in this socket layer.
bool WsaIsBlocking();
int WsaCancelBlockingCall();

// SocketPair makes two connected local stream sockets in out[0] and out[1]. 0 or -1.
int SocketPair(Socket out[2]);
// CloseSocket drops the socket's notification registration and closes it. 0 or -1.
int CloseSocket(Socket socket);
// Recv and Send move up to len bytes; they return the count (0 from Recv at the end of the stream) or -1
// (10035 when the non-blocking socket is not ready). Recv re-enables FD_READ and a Send that would block
// re-enables FD_WRITE, as notifications expect. Send never raises a broken-pipe signal.
int Recv(Socket socket, void* buffer, int len, int flags);
int Send(Socket socket, const void* buffer, int len, int flags);
// SetNonBlocking switches non-blocking mode on or off. 0 or -1.
int SetNonBlocking(Socket socket, bool on);

// PollReady tells which of the requested readiness kinds hold: read (data, a pending connection, the end of
// the stream or an error), write (room to send, a finished or failed connect) and except (urgent data).
struct PollReady {
  bool read = false;
  bool write = false;
  bool except = false;
};
// PollSocket waits up to timeout_ms (negative: no limit) for the requested kinds on one socket, with no
// limit on the descriptor's number. Returns 1 when one holds, 0 when the time ran out, -1 with the error
// (10004 when interrupted by a signal).
int PollSocket(Socket socket, bool read, bool write, bool except, int timeout_ms, PollReady* out);
// AsyncSelect reports the FD_* events of event_mask to window as message (SelectSocketNotifications) and
// puts the socket into non-blocking mode; a zero mask cancels. 0 or -1.
int AsyncSelect(Socket socket, WindowHandle window, uint32_t message, uint32_t event_mask);

// GetPeerName writes the peer's address (SockAddrIn or SockAddrIn6) into addr (*addr_len bytes available,
// set to the size written). 0, or -1 (10057 when not connected, 10014 when the room is too small).
int GetPeerName(Socket socket, void* addr, int* addr_len);
// GetSocketError reads and clears the socket's pending error as a socket error number. 0 or -1.
int GetSocketError(Socket socket, int* error);
// SetSocketBufferSize sets the receive (receive true) or send buffer size; GetSocketBufferSize reads the
// size in force. NOTE: the system doubles the requested size and caps it, so the read-back differs.
int SetSocketBufferSize(Socket socket, bool receive, int size);
int GetSocketBufferSize(Socket socket, bool receive, int* size);

// InetAddr parses a dotted IPv4 address (the classic forms: a.b.c.d, a.b.c, a.b, a, with decimal, octal or
// hexadecimal parts) into its network-order 32-bit value as it lies in memory; kInaddrNone when invalid.
uint32_t InetAddr(const char* text);
// GetHostName writes the machine's host name into name (cap bytes). 0, or -1 with 10014 when it does not
// fit, 10093 when the socket layer is not started.
int GetHostName(char* name, int cap);

// The name-resolution entries of the "ws2_32" module (modules.h). They are reentrant, return 0 or the socket
// error number (also stored as the last error), and fail with 10093 while the socket layer is not started.
using GetAddrInfoFn = int (*)(const char* host, const char* service, const AddrInfo* hints, AddrInfo** result);
using FreeAddrInfoFn = void (*)(AddrInfo* list);
using GetNameInfoFn = int (*)(const void* addr, int addr_len, char* host, uint32_t host_cap, char* service,
                              uint32_t service_cap, int flags);
// GetHostByAddrFn finds the registered name of an address (4 bytes for family 2, 16 for family 23).
using GetHostByAddrFn = int (*)(const void* addr, int addr_len, int family, char* name, uint32_t name_cap);

int GetAddrInfo(const char* host, const char* service, const AddrInfo* hints, AddrInfo** result);
void FreeAddrInfo(AddrInfo* list);
int GetNameInfo(const void* addr, int addr_len, char* host, uint32_t host_cap, char* service,
                uint32_t service_cap, int flags);
int GetHostByAddr(const void* addr, int addr_len, int family, char* name, uint32_t name_cap);

}  // namespace velmora::platform
