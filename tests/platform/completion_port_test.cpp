#include "platform/completion_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

#include "platform/modules.h"
#include "platform/qos.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

struct Packet {
  bool ok = false;
  uintptr_t key = 0;
  uint32_t bytes = 0;
  void* context = nullptr;
  uint32_t error = 0;
};

Packet Take(CompletionPort& port, uint32_t timeout_ms = 5000) {
  Packet p;
  p.ok = port.Get(&p.key, &p.bytes, &p.context, timeout_ms, &p.error);
  return p;
}

class LoopbackPair : public ::testing::Test {
 protected:
  void SetUp() override {
    port_.reset(CompletionPort::Create());
    ASSERT_NE(port_, nullptr);
    uint16_t number = 0;
    ASSERT_EQ(ListenOnLoopback(&listening_, &number), 0);
    ASSERT_EQ(ConnectToLoopback(number, &client_), 0);
    ASSERT_EQ(port_->Associate(listening_, 1), 0);
    ASSERT_EQ(port_->StartAccept(listening_, &accept_context_, &server_), static_cast<int>(kErrorIoPending));
    const Packet accepted = Take(*port_);
    ASSERT_TRUE(accepted.ok);
    ASSERT_EQ(accepted.context, &accept_context_);
    ASSERT_NE(server_, kInvalidSocket);
    ASSERT_EQ(port_->Associate(server_, 2), 0);
  }
  void TearDown() override {
    port_.reset();
    for (Socket s : {listening_, client_, server_}) {
      if (s != kInvalidSocket) (void)CloseSocket(s);
    }
  }

  std::unique_ptr<CompletionPort> port_;
  Socket listening_ = kInvalidSocket;
  Socket client_ = kInvalidSocket;
  Socket server_ = kInvalidSocket;
  int accept_context_ = 0;
};

TEST(CompletionPortPackets, PostedPacketsComeBackInOrderAndAnEmptyPortTimesOut) {
  std::unique_ptr<CompletionPort> port(CompletionPort::Create());
  ASSERT_NE(port, nullptr);
  int a = 0, b = 0;
  ASSERT_EQ(port->Post(7, 10, &a), 0);
  ASSERT_EQ(port->Post(8, 20, &b), 0);
  Packet first = Take(*port);
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(first.key, 7u);
  EXPECT_EQ(first.bytes, 10u);
  EXPECT_EQ(first.context, &a);
  EXPECT_EQ(Take(*port).context, &b);
  const Packet none = Take(*port, 20);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.error, kWaitTimeout);
}

TEST_F(LoopbackPair, ReceiveAndSendCompleteWithTheirByteCounts) {
  char buffer[64] = {};
  int context = 0;
  ASSERT_EQ(port_->StartReceive(server_, &context, buffer, sizeof(buffer)), static_cast<int>(kErrorIoPending));
  EXPECT_FALSE(Take(*port_, 30).ok);  // nothing sent yet: no packet
  ASSERT_EQ(Send(client_, "hello", 5, 0), 5);
  Packet got = Take(*port_);
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.key, 2u);
  EXPECT_EQ(got.context, &context);
  ASSERT_EQ(got.bytes, 5u);
  EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

  ASSERT_EQ(port_->StartSend(server_, &context, "abc", 3), static_cast<int>(kErrorIoPending));
  EXPECT_EQ(Take(*port_).bytes, 3u);
  EXPECT_EQ(port_->StartReceive(client_, &context, buffer, sizeof(buffer)), kWsaEnotsock);  // not associated
}

TEST_F(LoopbackPair, CancelReturnsEveryPendingContextExactlyOnceWithError995) {
  int accepts[32];
  Socket accepted[32];
  for (int i = 0; i < 32; ++i) {
    ASSERT_EQ(port_->StartAccept(listening_, &accepts[i], &accepted[i]), static_cast<int>(kErrorIoPending));
  }
  char buffer[16];
  int receive = 0;
  ASSERT_EQ(port_->StartReceive(server_, &receive, buffer, sizeof(buffer)), static_cast<int>(kErrorIoPending));

  EXPECT_EQ(port_->Cancel(listening_), 32);
  EXPECT_EQ(port_->Cancel(server_), 1);
  EXPECT_EQ(port_->Cancel(server_), 0);
  std::set<void*> seen;
  for (int i = 0; i < 33; ++i) {
    const Packet p = Take(*port_);
    ASSERT_FALSE(p.ok);
    ASSERT_NE(p.context, nullptr);
    EXPECT_EQ(p.error, kErrorOperationAborted);
    EXPECT_EQ(p.bytes, 0u);
    EXPECT_TRUE(seen.insert(p.context).second) << "a context came back twice";
  }
  EXPECT_TRUE(seen.count(&receive));
  // Data arriving after the cancel completes nothing.
  ASSERT_EQ(Send(client_, "late", 4, 0), 4);
  EXPECT_EQ(Take(*port_, 50).context, nullptr);
}

TEST(QosWrappers, ReturnZeroWhenTheQwaveEntriesAreMissing) {
  ModuleHandle qwave = LoadModule("qwave.dll");
  for (ModuleHandle module : {qwave, static_cast<ModuleHandle>(nullptr)}) {
    uint64_t handle = 0;
    uint32_t flow = 0;
    const QosVersion version{1, 0};
    const uint32_t dscp = 46;
    EXPECT_EQ(QosCreateHandle(module, &version, &handle), 0);
    EXPECT_EQ(QosAddSocketToFlow(module, handle, 5, nullptr, kQosTrafficVoice, 0, &flow), 0);
    EXPECT_EQ(QosSetFlow(module, handle, flow, kQosSetOutgoingDscpValue, sizeof(dscp), &dscp, 0), 0);
    EXPECT_EQ(QosRemoveSocketFromFlow(module, handle, 5, flow, 0), 0);
    EXPECT_EQ(QosCloseHandle(module, handle), 0);
  }
  EXPECT_TRUE(qwave == nullptr || FreeModule(qwave));
}

}  // namespace
}  // namespace velmora::platform
