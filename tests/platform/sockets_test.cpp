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
#include "platform/last_error.h"
#include "platform/message_queue.h"
#include "platform/time.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

constexpr uint32_t kSocketMessage = kWmUser + 1;
constexpr char kClass[] = "velmora_test_sockets";

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

// Each test runs with the socket layer started, a window that records its notifications, and a connected
// pair of local sockets; whatever the test leaves open is closed afterwards.
class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint16_t version = 0;
    ASSERT_EQ(WsaStartup(kWinsockVersion22, &version), 0);
    ASSERT_EQ(version, kWinsockVersion22);
    t_notes.clear();
    ASSERT_TRUE(RegisterWindowClass(kClass, &NoteProc, 8));
    window_ = CreateMessageWindow(kClass);
    ASSERT_EQ(SocketPair(pair_), 0);
  }
  void TearDown() override {
    for (Socket s : pair_) {
      if (s != kInvalidSocket) CloseSocket(s);
    }
    DestroyWindow(window_);
    EXPECT_TRUE(UnregisterWindowClass(kClass));
    EXPECT_EQ(WsaCleanup(), 0);
  }
  void ClosePeer() {
    ASSERT_EQ(CloseSocket(pair_[1]), 0);
    pair_[1] = kInvalidSocket;
  }
  // ExpectNext pumps the thread's messages until one more notification arrived (5 s at most) and checks it.
  void ExpectNext(uint32_t event, int error = 0) {
    const size_t count = t_notes.size() + 1;
    const uint64_t give_up = MonotonicMs() + 5000;
    while (t_notes.size() < count && MonotonicMs() < give_up) {
      Message m;
      if (PeekMessage(&m, 0, true)) {
        DispatchMessage(m);
      } else {
        MsgWait(200);
      }
    }
    ASSERT_EQ(t_notes.size(), count);
    EXPECT_EQ(t_notes.back().event, event);
    EXPECT_EQ(t_notes.back().error, error);
  }
  // DrainFor pumps for a short while and returns how many notifications arrived.
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

  WindowHandle window_ = 0;
  Socket pair_[2] = {kInvalidSocket, kInvalidSocket};
};

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
  EXPECT_EQ(WsaCleanup(), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaNotInitialised);
  // Without start-up the name functions refuse, as the components expect.
  AddrInfo* list = nullptr;
  EXPECT_EQ(GetAddrInfo("127.0.0.1", nullptr, nullptr, &list), kWsaNotInitialised);
  char name[256];
  EXPECT_EQ(GetHostName(name, sizeof name), kSocketError);
}

TEST_F(SocketLayerTest, NotificationsForReadWriteAndCloseCarryEventAndError) {
  ASSERT_EQ(AsyncSelect(pair_[0], window_, kSocketMessage, kFdRead | kFdWrite | kFdClose), 0);
  ExpectNext(kFdWrite);
  EXPECT_EQ(t_notes[0].message, kSocketMessage);
  EXPECT_EQ(t_notes[0].socket, pair_[0]);
  EXPECT_EQ(DrainFor(50), 0u) << "FD_WRITE is reported once until a send would block";

  ASSERT_EQ(Send(pair_[1], "abc", 3, 0), 3);
  ExpectNext(kFdRead);
  // Unread data is not reported again until a receive re-enables the event.
  ASSERT_EQ(Send(pair_[1], "d", 1, 0), 1);
  EXPECT_EQ(DrainFor(50), 0u);
  char got[8];
  ASSERT_EQ(Recv(pair_[0], got, 2, 0), 2);
  ExpectNext(kFdRead);
  ASSERT_EQ(Recv(pair_[0], got, sizeof got, 0), 2);
  EXPECT_EQ(Recv(pair_[0], got, sizeof got, 0), kSocketError);  // non-blocking since AsyncSelect
  EXPECT_EQ(WsaGetLastError(), kWsaEwouldblock);

  ClosePeer();
  ExpectNext(kFdClose);
  EXPECT_EQ(DrainFor(50), 0u) << "a closed socket is not reported again";
}

TEST_F(SocketLayerTest, CloseWaitsForDataThatArrivedBeforeIt) {
  ASSERT_EQ(Send(pair_[1], "xy", 2, 0), 2);
  ClosePeer();
  ASSERT_EQ(AsyncSelect(pair_[0], window_, kSocketMessage, kFdRead | kFdClose), 0);
  ExpectNext(kFdRead);
  EXPECT_EQ(DrainFor(50), 0u);
  char got[4];
  ASSERT_EQ(Recv(pair_[0], got, sizeof got, 0), 2);
  ExpectNext(kFdClose);
}

TEST_F(SocketLayerTest, CloseWithoutReadNotificationsFollowsTheLastReceive) {
  ASSERT_EQ(AsyncSelect(pair_[0], window_, kSocketMessage, kFdClose), 0);
  ASSERT_EQ(Send(pair_[1], "q", 1, 0), 1);
  ClosePeer();
  EXPECT_EQ(DrainFor(50), 0u) << "unread data holds the close back";
  char got[4];
  ASSERT_EQ(Recv(pair_[0], got, sizeof got, 0), 1);
  ExpectNext(kFdClose);
}

TEST_F(SocketLayerTest, SocketClosedBehindTheLayersBackIsNotPolledAgain) {
  ASSERT_EQ(AsyncSelect(pair_[0], window_, kSocketMessage, kFdRead | kFdClose), 0);
  close(static_cast<int>(pair_[0]));
  const std::clock_t cpu_start = std::clock();
  EXPECT_EQ(MsgWait(300), kWaitTimeout);
  EXPECT_LT(1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC, 100.0);
  ForgetSocket(pair_[0]);
  pair_[0] = kInvalidSocket;
}

TEST_F(SocketLayerTest, ResetConnectionReportsCloseWithTheResetError) {
  // A loopback TCP connection made with the system calls.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto* address = reinterpret_cast<sockaddr*>(&addr);
  const bool listening = bind(listener, address, sizeof addr) == 0 && listen(listener, 1) == 0 &&
                         getsockname(listener, address, &len) == 0;
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  const int server =
      listening && connect(client, address, sizeof addr) == 0 ? accept(listener, nullptr, nullptr) : -1;
  close(listener);
  if (server < 0) {
    close(client);
    GTEST_SKIP() << "no loopback networking";
  }
  ASSERT_EQ(AsyncSelect(client, window_, kSocketMessage, kFdRead | kFdClose), 0);
  EXPECT_EQ(DrainFor(30), 0u);
  linger hard_close{1, 0};
  ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, &hard_close, sizeof hard_close), 0);
  close(server);
  ExpectNext(kFdClose, kWsaEconnreset);
  CloseSocket(client);
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
  const Socket high = dup2(static_cast<int>(pair_[0]), static_cast<int>(kHigh));
  ASSERT_EQ(high, static_cast<Socket>(kHigh));
  PollReady ready;
  EXPECT_EQ(PollSocket(high, true, false, true, 0, &ready), 0);
  ASSERT_EQ(Send(pair_[1], "z", 1, 0), 1);
  EXPECT_EQ(PollSocket(high, true, true, true, 1000, &ready), 1);
  EXPECT_TRUE(ready.read && ready.write && !ready.except);
  CloseSocket(high);
  if (limit.rlim_cur <= kHigh) setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(SocketLayerTest, PollWaitsAndReportsEndOfStreamAsReadable) {
  PollReady ready;
  const uint64_t start = MonotonicMs();
  EXPECT_EQ(PollSocket(pair_[0], true, false, false, 50, &ready), 0);
  EXPECT_GE(MonotonicMs() - start, 45u);
  ClosePeer();
  EXPECT_EQ(PollSocket(pair_[0], true, false, false, 1000, &ready), 1);
  EXPECT_TRUE(ready.read);
  char c;
  EXPECT_EQ(Recv(pair_[0], &c, 1, 0), 0);
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
  ASSERT_EQ(list->addrlen, sizeof(SockAddrIn6));
  SockAddrIn6 v6;
  std::memcpy(&v6, list->addr, sizeof v6);
  EXPECT_EQ(v6.family, kAfInet6);
  EXPECT_EQ(v6.addr[15], 1);
  char text[64];
  EXPECT_EQ(GetNameInfo(&v6, sizeof v6, text, sizeof text, nullptr, 0, kNiNumericHost), 0);
  EXPECT_STREQ(text, "::1");
  EXPECT_EQ(GetNameInfo(&v6, sizeof v6, text, 2, nullptr, 0, kNiNumericHost), kWsaEfault);
  FreeAddrInfo(list);

  hints.family = kAfInet;
  ASSERT_EQ(GetAddrInfo("10.1.2.3", nullptr, &hints, &list), 0);
  SockAddrIn v4;
  std::memcpy(&v4, list->addr, sizeof v4);
  EXPECT_EQ(v4.family, kAfInet);
  EXPECT_EQ(v4.addr[0], 10);
  FreeAddrInfo(list);
  EXPECT_EQ(GetAddrInfo("not-a-number", nullptr, &hints, &list), kWsaHostNotFound);
  EXPECT_EQ(list, nullptr);
  hints.family = 99;
  EXPECT_EQ(GetAddrInfo("::1", nullptr, &hints, &list), kWsaEafnosupport);
}

TEST_F(SocketLayerTest, AddressTextHostNameAndSocketOptions) {
  const uint32_t a = InetAddr("192.168.1.20");
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&a)[3], 20);
  for (const char* bad : {"host.example", "", static_cast<const char*>(nullptr)}) EXPECT_EQ(InetAddr(bad), kInaddrNone);
  char name[256];
  ASSERT_EQ(GetHostName(name, sizeof name), 0);
  EXPECT_EQ(GetHostName(name, 1), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEfault);

  EXPECT_EQ(SetSocketBufferSize(pair_[0], true, 65536), 0);
  int size = 0;
  EXPECT_EQ(GetSocketBufferSize(pair_[0], true, &size), 0);
  EXPECT_GE(size, 65536);
  EXPECT_EQ(SetNonBlocking(pair_[0], true), 0);
  char c;
  EXPECT_EQ(Recv(pair_[0], &c, 1, 0), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEwouldblock);
  EXPECT_EQ(SetSocketBufferSize(kInvalidSocket, false, 1), kSocketError);
  EXPECT_EQ(WsaGetLastError(), kWsaEnotsock);
}

}  // namespace
}  // namespace velmora::platform
