#include "platform/sockets.h"

#include <gtest/gtest.h>

// The tests build TCP connections and high descriptors with the system calls themselves.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/time.h"
#include "platform/last_error.h"
#include "platform/message_queue.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

constexpr uint32_t kSocketMessage = kWmUser + 1;

struct Notification {
  uint32_t message;
  Socket socket;
  uint32_t event;
  int error;
};

thread_local std::vector<Notification> t_notes;

intptr_t NoteProc(WindowHandle, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  const auto bits = static_cast<uint32_t>(lparam);
  t_notes.push_back({message, static_cast<Socket>(wparam), bits & 0xFFFF, static_cast<int>(bits >> 16)});
  return 0;
}

class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint16_t version = 0;
    ASSERT_EQ(WsaStartup(kWinsockVersion22, &version), 0);
    ASSERT_EQ(version, kWinsockVersion22);
    t_notes.clear();
  }
  void TearDown() override { EXPECT_EQ(WsaCleanup(), 0); }
};

// PumpUntil dispatches the thread's messages until `count` notifications arrived or 5 s passed.
void PumpUntil(size_t count) {
  const uint64_t give_up = MonotonicMs() + 5000;
  while (t_notes.size() < count && MonotonicMs() < give_up) {
    Message m;
    if (PeekMessage(&m, 0, true)) {
      DispatchMessage(m);
    } else {
      MsgWait(200);
    }
  }
}

// Drain pumps for a short while and reports whether anything at all arrived.
size_t DrainFor(uint32_t ms) {
  const size_t before = t_notes.size();
  const uint64_t end = MonotonicMs() + ms;
  while (MonotonicMs() < end) {
    Message m;
    if (PeekMessage(&m, 0, true)) {
      DispatchMessage(m);
    } else {
      MsgWait(static_cast<uint32_t>(end - MonotonicMs() + 1));
    }
  }
  return t_notes.size() - before;
}

TEST(SocketStartup, IsCountedAndReportsVersionTwoTwo) {
  EXPECT_FALSE(WsaStarted());
  uint16_t version = 0;
  EXPECT_EQ(WsaStartup(0x0101, &version), 0);
  EXPECT_EQ(version, 0x0101);
  EXPECT_EQ(WsaStartup(0x0303, &version), 0);
  EXPECT_EQ(version, kWinsockVersion22);
  EXPECT_EQ(WsaStartup(0x0000, &version), kWsaVerNotSupported);
  EXPECT_EQ(WsaCleanup(), 0);
  EXPECT_TRUE(WsaStarted());
  EXPECT_EQ(WsaCleanup(), 0);
  EXPECT_FALSE(WsaStarted());
  EXPECT_EQ(WsaCleanup(), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaNotInitialised);
  // Without start-up the name functions refuse, as the components expect.
  AddrInfo* list = nullptr;
  EXPECT_EQ(GetAddrInfo("127.0.0.1", nullptr, nullptr, &list), kWsaNotInitialised);
  char name[256];
  EXPECT_EQ(GetHostName(name, sizeof name), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaNotInitialised);
}

TEST_F(SocketLayerTest, NotificationsForReadWriteAndCloseCarryEventAndError) {
  ASSERT_TRUE(RegisterWindowClass("velmora_test_sockets", &NoteProc, 8));
  const WindowHandle w = CreateMessageWindow("velmora_test_sockets");
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  ASSERT_EQ(AsyncSelect(pair[0], w, kSocketMessage, kFdRead | kFdWrite | kFdClose), 0);

  PumpUntil(1);
  ASSERT_EQ(t_notes.size(), 1u);
  EXPECT_EQ(t_notes[0].message, kSocketMessage);
  EXPECT_EQ(t_notes[0].socket, pair[0]);
  EXPECT_EQ(t_notes[0].event, kFdWrite);
  EXPECT_EQ(t_notes[0].error, 0);
  EXPECT_EQ(DrainFor(50), 0u) << "FD_WRITE is reported once until a send would block";

  ASSERT_EQ(Send(pair[1], "abc", 3, 0), 3);
  PumpUntil(2);
  ASSERT_EQ(t_notes.size(), 2u);
  EXPECT_EQ(t_notes[1].event, kFdRead);
  // Unread data is not reported again until a receive re-enables the event.
  ASSERT_EQ(Send(pair[1], "d", 1, 0), 1);
  EXPECT_EQ(DrainFor(50), 0u);
  char got[8];
  ASSERT_EQ(Recv(pair[0], got, 2, 0), 2);
  PumpUntil(3);
  ASSERT_EQ(t_notes.size(), 3u);
  EXPECT_EQ(t_notes[2].event, kFdRead);
  ASSERT_EQ(Recv(pair[0], got, sizeof got, 0), 2);
  EXPECT_EQ(Recv(pair[0], got, sizeof got, 0), kSocketError);  // non-blocking since AsyncSelect
  EXPECT_EQ(WsaGetLastError(), kWsaEwouldblock);

  ASSERT_EQ(CloseSocket(pair[1]), 0);
  PumpUntil(4);
  ASSERT_EQ(t_notes.size(), 4u);
  EXPECT_EQ(t_notes[3].event, kFdClose);
  EXPECT_EQ(t_notes[3].error, 0);
  EXPECT_EQ(DrainFor(50), 0u) << "a closed socket is not reported again";

  EXPECT_EQ(CloseSocket(pair[0]), 0);
  DestroyWindow(w);
  EXPECT_TRUE(UnregisterWindowClass("velmora_test_sockets"));
}

TEST_F(SocketLayerTest, CloseWaitsForDataThatArrivedBeforeIt) {
  ASSERT_TRUE(RegisterWindowClass("velmora_test_sockets", &NoteProc, 8));
  const WindowHandle w = CreateMessageWindow("velmora_test_sockets");
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  ASSERT_EQ(Send(pair[1], "xy", 2, 0), 2);
  ASSERT_EQ(CloseSocket(pair[1]), 0);
  ASSERT_EQ(AsyncSelect(pair[0], w, kSocketMessage, kFdRead | kFdClose), 0);
  PumpUntil(1);
  ASSERT_EQ(t_notes.size(), 1u);
  EXPECT_EQ(t_notes[0].event, kFdRead);
  EXPECT_EQ(DrainFor(50), 0u);
  char got[4];
  ASSERT_EQ(Recv(pair[0], got, sizeof got, 0), 2);
  PumpUntil(2);
  ASSERT_EQ(t_notes.size(), 2u);
  EXPECT_EQ(t_notes[1].event, kFdClose);
  EXPECT_EQ(CloseSocket(pair[0]), 0);
  DestroyWindow(w);
  EXPECT_TRUE(UnregisterWindowClass("velmora_test_sockets"));
}

TEST_F(SocketLayerTest, CloseWithoutReadNotificationsFollowsTheLastReceive) {
  ASSERT_TRUE(RegisterWindowClass("velmora_test_sockets", &NoteProc, 8));
  const WindowHandle w = CreateMessageWindow("velmora_test_sockets");
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  ASSERT_EQ(AsyncSelect(pair[0], w, kSocketMessage, kFdClose), 0);
  ASSERT_EQ(Send(pair[1], "q", 1, 0), 1);
  ASSERT_EQ(CloseSocket(pair[1]), 0);
  EXPECT_EQ(DrainFor(50), 0u) << "unread data holds the close back";
  char got[4];
  ASSERT_EQ(Recv(pair[0], got, sizeof got, 0), 1);
  PumpUntil(1);
  ASSERT_EQ(t_notes.size(), 1u);
  EXPECT_EQ(t_notes[0].event, kFdClose);
  EXPECT_EQ(CloseSocket(pair[0]), 0);
  DestroyWindow(w);
  EXPECT_TRUE(UnregisterWindowClass("velmora_test_sockets"));
}

TEST_F(SocketLayerTest, SocketClosedBehindTheLayersBackIsNotPolledAgain) {
  ASSERT_TRUE(RegisterWindowClass("velmora_test_sockets", &NoteProc, 8));
  const WindowHandle w = CreateMessageWindow("velmora_test_sockets");
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  ASSERT_EQ(AsyncSelect(pair[0], w, kSocketMessage, kFdRead | kFdClose), 0);
  close(static_cast<int>(pair[0]));
  const std::clock_t cpu_start = std::clock();
  EXPECT_EQ(MsgWait(300), kWaitTimeout);
  EXPECT_LT(1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC, 100.0);
  ForgetSocket(pair[0]);
  CloseSocket(pair[1]);
  DestroyWindow(w);
  EXPECT_TRUE(UnregisterWindowClass("velmora_test_sockets"));
}

// ConnectedTcpPair makes a loopback TCP connection with the system calls; false when loopback is unusable.
bool ConnectedTcpPair(int* client, int* server) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(listener);
    return false;
  }
  *client = socket(AF_INET, SOCK_STREAM, 0);
  const bool ok = connect(*client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  (*server = accept(listener, nullptr, nullptr)) >= 0;
  close(listener);
  return ok;
}

TEST_F(SocketLayerTest, ResetConnectionReportsCloseWithTheResetError) {
  int client = -1;
  int server = -1;
  if (!ConnectedTcpPair(&client, &server)) GTEST_SKIP() << "no loopback networking";
  ASSERT_TRUE(RegisterWindowClass("velmora_test_sockets", &NoteProc, 8));
  const WindowHandle w = CreateMessageWindow("velmora_test_sockets");
  ASSERT_EQ(AsyncSelect(client, w, kSocketMessage, kFdRead | kFdClose), 0);
  EXPECT_EQ(DrainFor(30), 0u);
  linger hard_close{1, 0};
  ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, &hard_close, sizeof hard_close), 0);
  close(server);
  PumpUntil(1);
  ASSERT_EQ(t_notes.size(), 1u);
  EXPECT_EQ(t_notes[0].event, kFdClose);
  EXPECT_EQ(t_notes[0].error, kWsaEconnreset);
  CloseSocket(client);
  DestroyWindow(w);
  EXPECT_TRUE(UnregisterWindowClass("velmora_test_sockets"));
}

TEST_F(SocketLayerTest, PollWorksOnDescriptorsAboveTheSelectLimit) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  constexpr rlim_t kHigh = 1500;
  if (limit.rlim_cur <= kHigh) {
    if (limit.rlim_max <= kHigh) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised{kHigh + 1, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  }
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  const Socket high = dup2(static_cast<int>(pair[0]), static_cast<int>(kHigh));
  ASSERT_EQ(high, static_cast<Socket>(kHigh));
  PollReady ready;
  EXPECT_EQ(PollSocket(high, true, false, true, 0, &ready), 0);
  ASSERT_EQ(Send(pair[1], "z", 1, 0), 1);
  EXPECT_EQ(PollSocket(high, true, true, true, 1000, &ready), 1);
  EXPECT_TRUE(ready.read);
  EXPECT_TRUE(ready.write);
  EXPECT_FALSE(ready.except);
  CloseSocket(high);
  CloseSocket(pair[0]);
  CloseSocket(pair[1]);
  if (limit.rlim_cur <= kHigh) setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(SocketLayerTest, PollReportsEndOfStreamAsReadable) {
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  PollReady ready;
  const uint64_t start = MonotonicMs();
  EXPECT_EQ(PollSocket(pair[0], true, false, false, 50, &ready), 0);
  EXPECT_GE(MonotonicMs() - start, 45u);
  CloseSocket(pair[1]);
  EXPECT_EQ(PollSocket(pair[0], true, false, false, 1000, &ready), 1);
  EXPECT_TRUE(ready.read);
  char c;
  EXPECT_EQ(Recv(pair[0], &c, 1, 0), 0);
  CloseSocket(pair[0]);
  EXPECT_EQ(PollSocket(kInvalidSocket, true, false, false, 0, &ready), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEnotsock);
}

TEST_F(SocketLayerTest, ResolvesNumericHostsIntoTheLibraryLayouts) {
  AddrInfo hints{};
  hints.family = kAfInet6;
  hints.flags = kAiNumericHost;
  AddrInfo* list = nullptr;
  ASSERT_EQ(GetAddrInfo("::1", nullptr, &hints, &list), 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->family, kAfInet6);
  ASSERT_EQ(list->addrlen, sizeof(SockAddrIn6));
  SockAddrIn6 v6;
  std::memcpy(&v6, list->addr, sizeof v6);
  EXPECT_EQ(v6.family, kAfInet6);
  EXPECT_EQ(v6.addr[15], 1);
  char text[64];
  EXPECT_EQ(GetNameInfo(&v6, sizeof v6, text, sizeof text, nullptr, 0, kNiNumericHost), 0);
  EXPECT_STREQ(text, "::1");
  FreeAddrInfo(list);

  hints.family = kAfInet;
  ASSERT_EQ(GetAddrInfo("10.1.2.3", nullptr, &hints, &list), 0);
  SockAddrIn v4;
  std::memcpy(&v4, list->addr, sizeof v4);
  EXPECT_EQ(v4.family, kAfInet);
  EXPECT_EQ(v4.addr[0], 10);
  EXPECT_EQ(v4.addr[3], 3);
  FreeAddrInfo(list);

  EXPECT_EQ(GetAddrInfo("not-a-number", nullptr, &hints, &list), kWsaHostNotFound);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(WsaGetLastError(), kWsaHostNotFound);
  hints.family = 99;
  EXPECT_EQ(GetAddrInfo("::1", nullptr, &hints, &list), kWsaEafnosupport);
  EXPECT_EQ(GetNameInfo(&v6, sizeof v6, text, 2, nullptr, 0, kNiNumericHost), kWsaEfault);
}

TEST_F(SocketLayerTest, InetAddrAndHostName) {
  const uint32_t a = InetAddr("192.168.1.20");
  uint8_t bytes[4];
  std::memcpy(bytes, &a, 4);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[3], 20);
  EXPECT_EQ(InetAddr("host.example"), kInaddrNone);
  EXPECT_EQ(InetAddr(""), kInaddrNone);
  EXPECT_EQ(InetAddr(nullptr), kInaddrNone);
  EXPECT_NE(InetAddr("0x7f.1"), kInaddrNone);
  char name[256];
  ASSERT_EQ(GetHostName(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(GetHostName(name, 1), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEfault);
}

TEST_F(SocketLayerTest, BufferSizesAndPeerOfALocalPair) {
  Socket pair[2];
  ASSERT_EQ(SocketPair(pair), 0);
  EXPECT_EQ(SetSocketBufferSize(pair[0], true, 65536), 0);
  int size = 0;
  EXPECT_EQ(GetSocketBufferSize(pair[0], true, &size), 0);
  EXPECT_GE(size, 65536);
  int error = -1;
  EXPECT_EQ(GetSocketError(pair[0], &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(SetNonBlocking(pair[0], true), 0);
  char c;
  EXPECT_EQ(Recv(pair[0], &c, 1, 0), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEwouldblock);
  CloseSocket(pair[0]);
  CloseSocket(pair[1]);
  EXPECT_EQ(SetSocketBufferSize(kInvalidSocket, false, 1), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEnotsock);
}

}  // namespace
}  // namespace velmora::platform
