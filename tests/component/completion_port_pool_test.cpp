#include "component/completion_port_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/socket_base.h"
#include "platform/completion_port.h"
#include "platform/last_error.h"
#include "platform/win_codes.h"
#include "tests/component/configurable.h"

namespace velmora::component {
namespace {

namespace plat = velmora::platform;

constexpr uint32_t kMessage = 0x401;

struct Delivered {
  plat::Socket socket;
  uint32_t message;
  uint32_t event;
};

struct Collector {
  std::vector<Delivered> got;
  static void Callback(void* target, plat::Socket socket, uint32_t message, uint32_t event) {
    static_cast<Collector*>(target)->got.push_back({socket, message, event});
  }
  int Count(uint32_t message, uint32_t event) const {
    int n = 0;
    for (const Delivered& d : got) n += (d.message == message && d.event == event) ? 1 : 0;
    return n;
  }
};

// PoolFixture owns a started waiter, a listening socket registered for FD_ACCEPT, and the sockets the test
// opens; everything is closed after the waiter is gone.
class PoolFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    waiter_ = std::make_unique<CompletionPortWaiter>(&Collector::Callback, &collector_);
    ASSERT_EQ(waiter_->Start(), 0);
    uint16_t port = 0;
    ASSERT_EQ(plat::ListenOnLoopback(&listening_, &port), 0);
    port_number_ = port;
    ASSERT_EQ(waiter_->RegisterSocket(listening_, kMessage, plat::kFdAccept), 0);
  }
  void TearDown() override {
    waiter_.reset();
    for (plat::Socket s : sockets_) (void)plat::CloseSocket(s);
    (void)plat::CloseSocket(listening_);
  }

  // WaitUntil runs wait steps until done() holds; false after 10 s.
  template <typename Done>
  bool WaitUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      (void)waiter_->Wait(20);
    }
    return true;
  }

  // Connect opens a client and returns the server side of the connection (from the FD_CONNECT call).
  void Connect(plat::Socket* client, plat::Socket* server) {
    const int before = collector_.Count(kAcceptedConnectionMessage, plat::kFdConnect);
    ASSERT_EQ(plat::ConnectToLoopback(port_number_, client), 0);
    sockets_.push_back(*client);
    ASSERT_TRUE(WaitUntil([&] { return collector_.Count(kAcceptedConnectionMessage, plat::kFdConnect) > before; }));
    for (const Delivered& d : collector_.got) {
      if (d.message == kAcceptedConnectionMessage) *server = d.socket;
    }
    sockets_.push_back(*server);
  }

  Collector collector_;
  std::unique_ptr<CompletionPortWaiter> waiter_;
  plat::Socket listening_ = plat::kInvalidSocket;
  uint16_t port_number_ = 0;
  std::vector<plat::Socket> sockets_;
};

TEST(CompletionPortPoolSize, StartsTwoWorkersPerProcessorAndAtMost32) {
  for (const auto& [processors, workers] : {std::pair{20u, 32}, std::pair{8u, 16}, std::pair{1u, 2}}) {
    test::SetPoolProcessorCount(processors);
    CompletionPortWaiter waiter(&Collector::Callback, nullptr);
    EXPECT_EQ(waiter.Start(), 0);
    EXPECT_EQ(waiter.ThreadCount(), workers) << processors << " processors";
  }
  test::SetPoolProcessorCount(0);
}

TEST_F(PoolFixture, ReceiveGivesWouldBlockThenTheDataThenZeroAfterThePeerCloses) {
  plat::Socket client = plat::kInvalidSocket, server = plat::kInvalidSocket;
  Connect(&client, &server);
  collector_.got.clear();
  ASSERT_EQ(waiter_->RegisterSocket(server, kMessage, plat::kFdRead | plat::kFdWrite | plat::kFdClose), 0);
  ASSERT_TRUE(WaitUntil([&] { return collector_.Count(kMessage, plat::kFdWrite) == 1; }));

  char buffer[16];
  EXPECT_EQ(waiter_->Receive(server, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(plat::WsaGetLastError(), plat::kWsaEwouldblock);
  EXPECT_EQ(waiter_->LastResult(), -1);

  ASSERT_EQ(plat::Send(client, "ping", 4, 0), 4);
  ASSERT_TRUE(WaitUntil([&] { return collector_.Count(kMessage, plat::kFdRead) == 1; }));
  EXPECT_EQ(waiter_->Receive(server, buffer, 2), 2);  // a short read leaves the rest buffered
  EXPECT_EQ(waiter_->Receive(server, buffer + 2, sizeof(buffer) - 2), 2);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(waiter_->Receive(server, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(plat::WsaGetLastError(), plat::kWsaEwouldblock);

  ASSERT_EQ(plat::CloseSocket(client), 0);
  sockets_.erase(sockets_.begin());
  ASSERT_TRUE(WaitUntil([&] { return collector_.Count(kMessage, plat::kFdRead) == 2; }));
  EXPECT_EQ(waiter_->Receive(server, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(waiter_->LastResult(), 0);
  EXPECT_EQ(waiter_->Send(server, "x", 1), 0);  // the connection ended without an error

  EXPECT_EQ(waiter_->Receive(listening_, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(plat::WsaGetLastError(), plat::kWsaEnotsock);
}

TEST_F(PoolFixture, DataLargerThanOneBufferArrivesWholeAndInOrderOverPartialSends) {
  plat::Socket client = plat::kInvalidSocket, server = plat::kInvalidSocket;
  Connect(&client, &server);
  // A small send buffer and a slow reader make the system take each send in several pieces.
  ASSERT_EQ(plat::SetSocketBufferSize(server, false, 4096), 0);
  ASSERT_EQ(waiter_->RegisterSocket(server, kMessage, plat::kFdRead | plat::kFdWrite | plat::kFdClose), 0);

  std::vector<uint8_t> data(700000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 9));
  std::vector<uint8_t> received;
  std::thread reader([&] {
    uint8_t chunk[3000];
    while (received.size() < data.size()) {
      plat::PollReady ready;
      if (plat::PollSocket(client, true, false, false, 5000, &ready) != 1) break;
      const int got = plat::Recv(client, chunk, sizeof(chunk), 0);
      if (got <= 0) break;
      received.insert(received.end(), chunk, chunk + got);
      if (received.size() % 60000 < 3000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  size_t offset = 0;
  bool saw_busy = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (offset < data.size() && std::chrono::steady_clock::now() < until) {
    const int taken = waiter_->Send(server, data.data() + offset, static_cast<int32_t>(data.size() - offset));
    if (taken > 0) {
      EXPECT_LE(taken, kIoBufferSize);
      offset += static_cast<size_t>(taken);
      continue;
    }
    ASSERT_EQ(taken, -1);
    ASSERT_EQ(plat::WsaGetLastError(), plat::kWsaEwouldblock);
    saw_busy = true;
    (void)waiter_->Wait(20);
  }
  reader.join();
  EXPECT_TRUE(saw_busy);
  EXPECT_EQ(offset, data.size());
  ASSERT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

// A registration ended with its receive outstanding is retired; a wait step that times out right after must
// not free the record before the cancelled receive has come back to a worker.
TEST_F(PoolFixture, RetiredRecordsAreFreedOnlyAfterTheirOperationsCameBack) {
  plat::Socket client = plat::kInvalidSocket, server = plat::kInvalidSocket;
  Connect(&client, &server);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(waiter_->RegisterSocket(server, kMessage, plat::kFdRead | plat::kFdWrite), 0);
    ASSERT_EQ(waiter_->Wait(0), 1);  // its FD_WRITE; the queue is empty again
    ASSERT_EQ(waiter_->RegisterSocket(server, kMessage, 0), 0);
    EXPECT_EQ(waiter_->Wait(0), 0);
  }
  char buffer[4];
  EXPECT_EQ(waiter_->Receive(server, buffer, sizeof(buffer)), -1);
  EXPECT_EQ(plat::WsaGetLastError(), plat::kWsaEnotsock);
}

// Shutdown while receives and accepts are outstanding and data keeps arriving: the records must outlive
// every operation that points into them (run under ASan and ThreadSanitizer).
TEST_F(PoolFixture, ShutdownWithOperationsPendingFreesNothingStillInUse) {
  for (int round = 0; round < 4; ++round) {
    std::vector<plat::Socket> clients;
    for (int i = 0; i < 6; ++i) {
      plat::Socket client = plat::kInvalidSocket, server = plat::kInvalidSocket;
      Connect(&client, &server);
      ASSERT_EQ(waiter_->RegisterSocket(server, kMessage, plat::kFdRead | plat::kFdWrite), 0);
      clients.push_back(client);
    }
    // One registration ends early: its record is retired while its receive may still complete.
    ASSERT_EQ(waiter_->RegisterSocket(sockets_.back(), kMessage, 0), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      const char burst[1024] = {'z'};
      while (!stop.load()) {
        for (plat::Socket c : clients) (void)plat::Send(c, burst, sizeof(burst), 0);
      }
    });
    for (int i = 0; i < 3; ++i) (void)waiter_->Wait(5);
    waiter_.reset();  // pending receives and 32 pending accepts
    stop.store(true);
    writer.join();

    collector_.got.clear();
    waiter_ = std::make_unique<CompletionPortWaiter>(&Collector::Callback, &collector_);
    ASSERT_EQ(waiter_->Start(), 0);
    ASSERT_EQ(waiter_->RegisterSocket(listening_, kMessage, plat::kFdAccept), 0);
  }
}

// A socket component that records the notifications its window procedure receives.
class IocpComponent : public Configurable<SocketBase> {
 public:
  IocpComponent() { (void)Init(); }
  intptr_t DefaultWindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    collector.got.push_back({static_cast<plat::Socket>(wparam), message, static_cast<uint32_t>(lparam)});
    if (switch_off_on_notification) (void)Set("UseIOCP=false");
    return 0;
  }
  // AcceptOne registers a listening socket through the socket layer, connects to it and runs wait steps
  // until `count` notifications came.
  void AcceptOne(size_t count) {
    uint16_t port = 0;
    ASSERT_EQ(plat::ListenOnLoopback(&listening, &port), 0);
    ASSERT_EQ(SelectEvents(listening, NotificationWindow(), kMessage, plat::kFdAccept), 0);
    ASSERT_EQ(plat::ConnectToLoopback(port, &client), 0);
    for (int i = 0; i < 500 && collector.got.size() < count; ++i) (void)WaitStep(20, NotificationWindow());
    ASSERT_GE(collector.got.size(), count);
  }
  ~IocpComponent() override {
    for (plat::Socket s : {listening, client}) (void)plat::CloseSocket(s);
    for (const Delivered& d : collector.got) {
      if (d.message == kAcceptedConnectionMessage) (void)plat::CloseSocket(d.socket);
    }
  }
  Collector collector;
  bool switch_off_on_notification = false;
  plat::Socket listening = plat::kInvalidSocket;
  plat::Socket client = plat::kInvalidSocket;
};

TEST(UseIocpSetting, SwitchesTheWaitStepBetweenThePoolAndWindowMessages) {
  test::SetPoolProcessorCount(20);
  IocpComponent component;
  ASSERT_EQ(component.Set("UseIOCP=true"), 0);
  test::SetPoolProcessorCount(0);
  ASSERT_NE(component.CompletionWaiter(), nullptr);
  EXPECT_EQ(component.CompletionWaiter()->ThreadCount(), 32);
  EXPECT_EQ(component.Get("UseIOCP"), "1");
  EXPECT_FALSE(component.UsesWindowsMessages());

  // The socket layer's own registration goes to the pool, and the wait step delivers its notifications.
  component.AcceptOne(2);
  ASSERT_EQ(component.collector.got.size(), 2u);
  EXPECT_EQ(component.collector.got[0].socket, component.listening);
  EXPECT_EQ(component.collector.got[0].event, plat::kFdAccept);
  EXPECT_EQ(component.collector.got[1].message, kAcceptedConnectionMessage);
  EXPECT_EQ(component.collector.got[1].event, plat::kFdConnect);

  ASSERT_EQ(component.Set("UseIOCP=false"), 0);
  EXPECT_EQ(component.CompletionWaiter(), nullptr);
  EXPECT_EQ(component.Get("UseIOCP"), "0");
  EXPECT_TRUE(component.UsesWindowsMessages());
}

TEST(UseIocpSetting, SwitchingOffFromInsideADeliveryIsSafe) {
  IocpComponent component;
  ASSERT_EQ(component.Set("UseIOCP=true"), 0);
  component.switch_off_on_notification = true;
  component.AcceptOne(1);
  // The waiter that delivered is gone only after its wait returned; the wait step is window based again.
  EXPECT_EQ(component.CompletionWaiter(), nullptr);
  EXPECT_TRUE(component.UsesWindowsMessages());
}

}  // namespace
}  // namespace velmora::component
