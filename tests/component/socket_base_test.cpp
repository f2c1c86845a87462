#include "component/socket_base.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "component/tls_services.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/os_version.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/win_codes.h"
#include "tests/test_support.h"
#include "tests/component/configurable.h"

namespace velmora::component {
namespace {

namespace plat = velmora::platform;

constexpr uint32_t kSocketMessage = plat::kWmUser + 20;
constexpr uint32_t kPingMessage = plat::kWmUser + 21;
constexpr int kAwaitFailed = 301;

struct Event {
  uint32_t message;
  uint32_t event;
  int error;
};

// A socket component as the BLE engine and the socket components build on SocketBase: it records its
// window's messages, reads when told data is there, and reports the end of the stream as a read error.
class TestComponent : public Configurable<SocketBase> {
 public:
  TestComponent() { (void)Init(); }

  intptr_t DefaultWindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override {
    if (message != kSocketMessage && message != kPingMessage) {
      return SocketBase::DefaultWindowProc(message, wparam, lparam);
    }
    const auto bits = static_cast<uint32_t>(lparam);
    events.push_back({message, bits & 0xFFFF, static_cast<int>(bits >> 16)});
    if (message == kSocketMessage && (bits & 0xFFFF) == plat::kFdRead) {
      char data[64];
      const int got = plat::Recv(static_cast<plat::Socket>(wparam), data, sizeof data, 0);
      if (got > 0) received.append(data, static_cast<size_t>(got));
      if (got == 0) read_error_ = plat::kWsaEconnreset;
    }
    if (message == kPingMessage && lparam == 99) run_flag_ = 0;
    return 0;
  }
  void AdoptSocket(plat::Socket socket) { socket_ = socket; }
  void SetReadPending() { read_pending_ = 1; }

  // Await is the loop every blocking operation runs: steps until the wait step stops (or, with a limit,
  // until that many steps went on), then the failure code of an await.
  int Await(int steps_limit = 0) {
    (void)StartOperationDeadline();
    int steps = 0;
    while (WaitStep(select_wait_millis_, NotificationWindow()) == 1) {
      if (++steps == steps_limit) return 0;
    }
    SetLastErrorCode(kAwaitFailed);
    return kAwaitFailed;
  }
  // PumpUntil runs wait steps until `count` events were recorded or the wait step stops.
  void PumpUntil(size_t count, plat::WindowHandle window) {
    while (events.size() < count && WaitStep(SelectWaitMillis(), window) == 1) {
    }
  }

  std::vector<Event> events;
  std::string received;
};

class SocketComponentTest : public ::testing::Test {
 protected:
  void SetUp() override { SocketBase::StaticInit(); }
  void TearDown() override {
    plat::Message drained;
    while (plat::PeekMessage(&drained, 0, true)) {
    }
    SocketBase::StaticDestroy();
  }
};

// TimedAwait runs an await and returns how long it took in ms.
uint64_t TimedAwait(TestComponent& c) {
  const uint64_t start = plat::MonotonicMs();
  EXPECT_EQ(c.Await(), kAwaitFailed);
  return plat::MonotonicMs() - start;
}

TEST(SocketComponentWithoutStartup, HasNoWindowAndItsLookupsReportTheirErrors) {
  if (plat::test::ModuleLoadCount("ws2_32") > 0) GTEST_SKIP() << "an earlier start-up in this process loaded them";
  TestComponent c;
  EXPECT_EQ(c.NotificationWindow(), 0u);
  EXPECT_EQ(c.WaitStep(0, c.NotificationWindow()), 0);
  plat::SockAddrIn6 address;  // the name functions were never loaded
  EXPECT_EQ(c.ResolveHostAddress("::1", &address, 0, 0), kInitializationFailed);
  EXPECT_STREQ(c.LastErrorText().Data(), kTextInitializationFailed);
  EXPECT_EQ(c.SetRemoteHost("some-host"), kInitializationFailed);
  // A failed host-name lookup reports its socket error with the code, not as success.
  EXPECT_STREQ(c.GetLocalHost(), "");
  EXPECT_EQ(c.LastErrorCode(), plat::kWsaNotInitialised);
  EXPECT_STREQ(c.LastErrorText().Data(), "[10093] Winsock not loaded yet (WSANOTINITIALISED)");
}

TEST_F(SocketComponentTest, AnswersEverySettingWithItsDefault) {
  TestComponent c;
  const std::pair<const char*, const char*> defaults[] = {
      {"SelectWaitMillis", "20"},        {"AbsoluteTimeout", "False"},       {"TimeoutInMilliseconds", "0"},
      {"WinsockStatus", "0"},            {"IgnoreExternalEvents", "False"},  {"IgnoreOtherWindowEvents", "False"},
      {"WinsockVersion", "2.2"},         {"QOSTrafficType", "0"},            {"QOSDSCPValue", "0"},
      {"UseWindowsMessages", "1"},       {"UseIOCP", "0"},                   {"SSLCipherStrength", "40"},
      {"SSLProvider", "Microsoft Unified Security Protocol Provider"},        {"UseDefaultCredentials", "False"},
      {"ReuseSSLSession", "False"},      {"ExtendedProtection", "False"},    {"SSLSecurityFlags", "0"},
      {"SSLIncludeCertChain", "False"},  {"SSLEnabledProtocols", "4032"},    {"SSLEnableRenegotiation", "True"},
      {"UseIPv6", "False"},              {"UseIPv6Int", "0"},                {"UseGetAddrInfo", "True"},
      {"KerberosSPN", ""},               {"UseSystemSSPI", "False"},         {"RecordToFile", ""},
      {"RecordToString", ""},            {"UseInternalSecurityAPI", "False"},
  };
  for (const auto& [name, expected] : defaults) {
    EXPECT_EQ(c.Get(name), expected) << name;
    EXPECT_EQ(c.last_rc, 0) << name;
  }
  // Names compare without regard to case; anything else goes down the chain to the base.
  EXPECT_EQ(c.Get("winsockversion"), "2.2");
  EXPECT_EQ(c.Get("LogLevel"), "1");
  EXPECT_EQ(c.Get("NoSuchSetting"), "");
  EXPECT_EQ(c.last_rc, -1);
  EXPECT_STREQ(c.LastErrorText().Data(), "Unknown config setting.");
  EXPECT_EQ(c.Set("NoSuchSetting=1"), -1);
}

TEST_F(SocketComponentTest, StoresSettingsByTheirOwnRules) {
  TestComponent c;
  const struct {
    const char *set, *name, *expected;
  } steps[] = {
      {"UseIPv6=2", "UseIPv6Int", "2"},                {"UseIPv6=2", "UseIPv6", "False"},
      {"UseIPv6=yes", "UseIPv6Int", "1"},              {"UseIPv6= 22", "UseIPv6Int", "0"},  // only "2": IPv6 first
      {"QOSTrafficType=voice", "QOSTrafficType", "4"}, {"QOSTrafficType=CONTROL", "QOSTrafficType", "5"},
      {"SSLEnabledProtocols=0x3000", "SSLEnabledProtocols", "12288"},
      {"SSLEnabledProtocols=0x3000", "UseInternalSecurityAPI", "True"},
      {"SSLEnabledProtocols=4096", "UseInternalSecurityAPI", "False"},  // one of the two bits only
      {"UseInternalSecurityAPI=true", "UseInternalSecurityAPI", "True"},
      {"SSLEnabledProtocols=192", "UseInternalSecurityAPI", "True"},  // clears only the protocols' bit
      {"SSLSecurityFlags=TRUE", "SSLSecurityFlags", "0"},             // no TRUE/yes forms for these numbers
      {"SSLProvider=\"Other Provider\"", "SSLProvider", "Other Provider"},
      {"WinsockVersion=1.1", "WinsockVersion", "2.2"},  // read-only values ignore a set
      {"RecordToString=On", "RecordToString", ""},      // the query answers the transcript text
  };
  for (const auto& s : steps) {
    EXPECT_EQ(c.Set(s.set), 0) << s.set;
    EXPECT_EQ(c.Get(s.name), s.expected) << s.set;
  }
}

TEST_F(SocketComponentTest, TimeoutUnitsAndCap) {
  TestComponent c;
  EXPECT_EQ(c.SetTimeoutSeconds(70000, true), 0);
  EXPECT_EQ(c.TimeoutMs(), 70000000u);
  EXPECT_EQ(c.SetTimeoutSeconds(3000000, true), 0);
  EXPECT_EQ(c.TimeoutMs(), 2147483000u);

  EXPECT_EQ(c.SetTimeoutSeconds(1500, false), 0);
  EXPECT_NE(c.StartOperationDeadline(), 0u);
  // Switching the unit keeps the number as given (1500) and reads it in the new unit: 1.5 s.
  EXPECT_EQ(c.Set("TimeoutInMilliseconds=True"), 0);
  EXPECT_EQ(c.Get("TimeoutInMilliseconds"), "1");
  EXPECT_EQ(c.TimeoutMs(), 1500u);
  EXPECT_EQ(c.OperationDeadline(), 0u);
  EXPECT_EQ(c.Set("TimeoutInMilliseconds=False"), 0);
  EXPECT_EQ(c.TimeoutMs(), 1500000u);

  EXPECT_EQ(c.SetBaseTimeoutSeconds(3, true), 0);
  EXPECT_EQ(c.BaseTimeoutMs(), 3000u);
  EXPECT_GE(c.BaseDeadline(), plat::DeadlineClockMs());
  EXPECT_EQ(c.SetBaseTimeoutSeconds(0, true), 0);
  EXPECT_EQ(c.BaseDeadline(), 0u);
}

TEST_F(SocketComponentTest, TransportDefaultsFollowTheSystemVersion) {
  TestComponent c;
  EXPECT_EQ(c.ReceiveBufferSize(), 1048576u);
  EXPECT_EQ(c.SendBufferSize(), 262144u);
  EXPECT_EQ(c.TlsState().nt61_or_later, 1);
  EXPECT_STREQ(c.AcceptedAlgorithms().Data(), "*");  // both readings of the defaults are kept
  EXPECT_STREQ(c.PemLabel().Data(), "CERTIFICATE");
#if VELMORABLE_PLATFORM_CRYPTO
  EXPECT_NE(Crypt32Entry(8), nullptr);  // "CertOpenStore": the certificate module is loaded at start-up
#else
  EXPECT_EQ(Crypt32Entry(8), nullptr);
#endif
  uint8_t reuse = 7;
  EXPECT_EQ(c.DefaultHook16(1, &reuse), nullptr);

  plat::test::SetOsVersion({5, 1, 2600, true});
  TestComponent old_system;
  plat::test::ResetOsVersion();
  EXPECT_EQ(old_system.ReceiveBufferSize(), 65536u);
  EXPECT_EQ(old_system.SendBufferSize(), 65536u);
  EXPECT_EQ(old_system.TlsState().nt61_or_later, 0);
}

TEST_F(SocketComponentTest, ComponentOwnsAMessageOnlyWindowUntilDestroyed) {
  auto* c = new TestComponent;
  const plat::WindowHandle w = c->NotificationWindow();
  ASSERT_NE(w, 0u);
  EXPECT_TRUE(plat::IsWindow(w));
  EXPECT_EQ(plat::GetWindowLongPtr(w, 0), reinterpret_cast<intptr_t>(static_cast<SocketBase*>(c)));
  ASSERT_TRUE(plat::PostMessage(w, kPingMessage, 0, 1));
  delete c;
  EXPECT_FALSE(plat::IsWindow(w));
  plat::Message m;
  EXPECT_FALSE(plat::PeekMessage(&m, 0, true));  // nothing is left to reach the freed component
}

TEST_F(SocketComponentTest, WaitWithOneSecondTimeoutEndsAfterAboutOneSecond) {
  TestComponent c;
  ASSERT_EQ(c.SetTimeoutSeconds(1, true), 0);
  const uint64_t took = TimedAwait(c);
  EXPECT_GE(took, 950u);
  EXPECT_LT(took, 5000u);
  EXPECT_EQ(c.LastErrorCode(), kAwaitFailed);
  EXPECT_STREQ(c.LastErrorText().Data(), kTextTimeout);
}

TEST_F(SocketComponentTest, DeadlineNearTheThirtyTwoBitWrapIsNotPassedAtOnce) {
  TestComponent c;
  // A 32-bit tick deadline would wrap to a small number here and the first step would time out.
  plat::test::SetDeadlineClockOffsetMs(0xFFFFFFFFull - plat::MonotonicMs() - 200);
  ASSERT_EQ(c.SetTimeoutSeconds(kMaxTimeoutSeconds, true), 0);
  c.StartOperationDeadline();
  EXPECT_GT(c.OperationDeadline(), 0xFFFFFFFFull);
  EXPECT_EQ(c.WaitStep(0, c.NotificationWindow()), 1);
  plat::test::SetDeadlineClockOffsetMs(0);
}

TEST_F(SocketComponentTest, QuitRequestEndsTheWaitAndIsPostedAgain) {
  TestComponent c;
  ASSERT_EQ(c.SetTimeoutSeconds(0, true), 0);
  plat::PostQuitMessage(5);
  EXPECT_LT(TimedAwait(c), 2000u);
  plat::Message m;
  ASSERT_TRUE(plat::PeekMessage(&m, 0, true));
  EXPECT_EQ(m.message, plat::kWmQuit);
  EXPECT_EQ(m.wparam, 5u);
}

TEST_F(SocketComponentTest, ZeroTimeoutHasNoDeadlineAndZeroWaitReturnsAtOnce) {
  TestComponent c;
  ASSERT_EQ(c.SetTimeoutSeconds(0, true), 0);
  EXPECT_EQ(c.StartOperationDeadline(), 0u);
  const uint64_t start = plat::MonotonicMs();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(c.WaitStep(0, c.NotificationWindow()), 1);
  EXPECT_LT(plat::MonotonicMs() - start, 2000u);
  ASSERT_EQ(c.Set("SelectWaitMillis=10"), 0);
  EXPECT_EQ(c.Await(30), 0);  // the loop goes on as long as it is asked to; nothing times out
}

TEST_F(SocketComponentTest, NegativeSelectWaitDoesNotHang) {
  for (const char* messages : {"UseWindowsMessages=1", "UseWindowsMessages=0"}) {
    TestComponent c;
    ASSERT_EQ(c.Set(messages), 0);
    ASSERT_EQ(c.Set("SelectWaitMillis=-1"), 0);
    ASSERT_EQ(c.SetTimeoutSeconds(1, true), 0);
    // Should the wait block without limit, a message after 5 s frees it and the time check fails.
    plat::ManualResetEvent done;
    const plat::WindowHandle w = c.NotificationWindow();
    std::thread rescuer([&done, w] {
      if (!done.Wait(5000)) plat::PostMessage(w, kPingMessage, 0, 0);
    });
    const uint64_t took = TimedAwait(c);
    done.Set();
    rescuer.join();
    EXPECT_LT(took, 4500u) << messages;
    EXPECT_STREQ(c.LastErrorText().Data(), kTextTimeout);
  }
}

TEST_F(SocketComponentTest, SelectWaitWithoutSocketSleepsInsteadOfSpinning) {
  TestComponent c;
  ASSERT_EQ(c.Set("UseWindowsMessages=0"), 0);
  ASSERT_EQ(c.SetTimeoutSeconds(1, true), 0);
  const std::clock_t cpu_start = std::clock();
  EXPECT_GE(TimedAwait(c), 950u);
  EXPECT_LT(1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC, 100.0);
}

TEST_F(SocketComponentTest, MessagesPostedFromAnotherThreadReachTheComponent) {
  TestComponent c;
  const plat::WindowHandle w = c.NotificationWindow();
  std::thread poster([w] {
    for (intptr_t i = 0; i < 3; ++i) plat::PostMessage(w, kPingMessage, 0, i);
  });
  poster.join();
  ASSERT_EQ(c.SetTimeoutSeconds(2, true), 0);
  c.StartOperationDeadline();
  c.PumpUntil(3, w);
  ASSERT_EQ(c.events.size(), 3u);
  // A handler that clears the run flag ends the wait as an interruption.
  ASSERT_TRUE(plat::PostMessage(w, kPingMessage, 0, 99));
  EXPECT_EQ(c.WaitStep(0, w), 0);
  EXPECT_STREQ(c.LastErrorText().Data(), kTextInterrupted);
}

TEST_F(SocketComponentTest, InterruptCloseAndForeignWindowsStopOrSkip) {
  TestComponent c;
  const plat::WindowHandle w = c.NotificationWindow();
  std::thread interrupter([&c] { c.RequestInterrupt(); });
  interrupter.join();
  EXPECT_EQ(c.WaitStep(20, w), 0);
  EXPECT_STREQ(c.LastErrorText().Data(), kTextInterrupted);
  EXPECT_EQ(c.WaitStep(0, w), 1);  // the request is used up

  ASSERT_TRUE(plat::PostMessage(w, plat::kWmClose, 0, 0));
  EXPECT_EQ(c.WaitStep(0, w), 0);

  // With IgnoreOtherWindowEvents the step takes only its own window's messages.
  TestComponent other;
  ASSERT_TRUE(plat::PostMessage(other.NotificationWindow(), kPingMessage, 0, 1));
  ASSERT_EQ(c.Set("IgnoreOtherWindowEvents=true"), 0);
  EXPECT_EQ(c.WaitStep(0, w), 1);
  EXPECT_TRUE(other.events.empty());
  ASSERT_EQ(c.Set("IgnoreOtherWindowEvents=false"), 0);
  EXPECT_EQ(c.WaitStep(0, w), 1);
  EXPECT_EQ(other.events.size(), 1u);
}

TEST_F(SocketComponentTest, WindowNotificationsOfASocketPair) {
  TestComponent c;
  plat::Socket pair[2];
  ASSERT_EQ(plat::SocketPair(pair), 0);
  c.AdoptSocket(pair[0]);
  EXPECT_EQ(c.SetUseWindowsMessages(false), kUseWindowsMessagesLocked);
  ASSERT_EQ(c.SelectEvents(pair[0], c.NotificationWindow(), kSocketMessage,
                           plat::kFdRead | plat::kFdWrite | plat::kFdClose), 0);
  ASSERT_EQ(c.SetTimeoutSeconds(5, true), 0);
  c.StartOperationDeadline();
  c.PumpUntil(1, c.NotificationWindow());
  ASSERT_EQ(plat::Send(pair[1], "hello", 5, 0), 5);
  c.PumpUntil(2, c.NotificationWindow());
  ASSERT_EQ(plat::CloseSocket(pair[1]), 0);
  c.PumpUntil(3, c.NotificationWindow());
  ASSERT_EQ(c.events.size(), 3u);
  const uint32_t expected[] = {plat::kFdWrite, plat::kFdRead, plat::kFdClose};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(c.events[i].event, expected[i]) << i;
    EXPECT_EQ(c.events[i].error, 0) << i;
  }
  EXPECT_EQ(c.received, "hello");
  plat::CloseSocket(pair[0]);
}

TEST_F(SocketComponentTest, SelectNotificationsOfASocketPairCarryTheReadError) {
  TestComponent c;
  ASSERT_EQ(c.Set("UseWindowsMessages=0"), 0);
  plat::Socket pair[2];
  ASSERT_EQ(plat::SocketPair(pair), 0);
  c.AdoptSocket(pair[0]);
  ASSERT_EQ(c.SelectEvents(pair[0], c.NotificationWindow(), kSocketMessage,
                           plat::kFdRead | plat::kFdWrite | plat::kFdClose), 0);
  ASSERT_EQ(c.SetTimeoutSeconds(5, true), 0);
  c.StartOperationDeadline();
  EXPECT_EQ(c.WaitStep(20, 0), 1);
  EXPECT_EQ(c.WaitStep(20, 0), 1);
  ASSERT_EQ(c.events.size(), 1u);  // write is reported once
  EXPECT_EQ(c.events[0].event, plat::kFdWrite);
  ASSERT_EQ(plat::Send(pair[1], "abc", 3, 0), 3);
  EXPECT_EQ(c.WaitStep(1000, 0), 1);
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[1].event, plat::kFdRead);
  EXPECT_EQ(c.received, "abc");
  ASSERT_EQ(plat::CloseSocket(pair[1]), 0);
  EXPECT_EQ(c.WaitStep(1000, 0), 1);
  ASSERT_EQ(c.events.size(), 4u);
  EXPECT_EQ(c.events[3].event, plat::kFdClose);
  EXPECT_EQ(c.events[3].error, plat::kWsaEconnreset);
  // A pending read is reported first on the next wait.
  c.SetReadPending();
  c.events.clear();
  EXPECT_EQ(c.WaitOnSelect(0, kSocketMessage), 0);
  ASSERT_GE(c.events.size(), 1u);
  EXPECT_EQ(c.events[0].event, plat::kFdRead);
  plat::CloseSocket(pair[0]);
}

TEST_F(SocketComponentTest, RemoteHostResolution) {
  TestComponent c;
  EXPECT_EQ(c.SetRemoteHost("localhost"), 0);
  EXPECT_EQ(c.RemoteIpv4()[0], 127);
  EXPECT_EQ(c.SetRemoteHost("127.0.0.1"), 0);
  EXPECT_STREQ(c.GetLocalHost(), "127.0.0.1");
  EXPECT_EQ(c.SetRemoteHost(""), 0);
  EXPECT_EQ(c.RemoteIpv4()[0], 0);
  EXPECT_STRNE(c.GetLocalHost(), "");  // no address: the host name

  ASSERT_EQ(c.Set("UseIPv6=true"), 0);
  EXPECT_EQ(c.SetRemoteHost("fe80::1%3"), 0);
  EXPECT_EQ(c.RemoteIpv6().addr[0], 0xfe);
  EXPECT_EQ(c.RemoteIpv6().scope_id, 3u);
  // Try IPv6 first: an IPv6 literal switches it on, an IPv4 one falls back.
  ASSERT_EQ(c.Set("UseIPv6=2"), 0);
  EXPECT_EQ(c.SetRemoteHost("::1"), 0);
  EXPECT_EQ(c.Get("UseIPv6"), "True");
  ASSERT_EQ(c.Set("UseIPv6=2"), 0);
  EXPECT_EQ(c.SetRemoteHost("10.0.0.9"), 0);
  EXPECT_EQ(c.Get("UseIPv6"), "False");
  EXPECT_EQ(c.RemoteIpv4()[0], 10);
}

TEST_F(SocketComponentTest, NameLookupWithoutTheSocketLayerReportsItsError) {
  TestComponent c;
  ASSERT_EQ(plat::WsaCleanup(), 0);  // the socket layer is stopped under the component
  EXPECT_EQ(c.SetRemoteHost("localhost"), plat::kWsaNotInitialised);
  EXPECT_EQ(c.RemoteIpv4()[0], 0);
  ASSERT_EQ(plat::WsaStartup(plat::kWinsockVersion22, nullptr), 0);
}

TEST_F(SocketComponentTest, BufferSizesApplyToAnOpenSocket) {
  TestComponent c;
  plat::Socket pair[2];
  ASSERT_EQ(plat::SocketPair(pair), 0);
  c.AdoptSocket(pair[0]);
  EXPECT_EQ(c.SetSendBufferSize(65536), 0);
  int applied = 0;
  ASSERT_EQ(plat::GetSocketBufferSize(pair[0], false, &applied), 0);
  EXPECT_GE(applied, 65536);
  for (plat::Socket s : pair) plat::CloseSocket(s);
  EXPECT_NE(c.SetSendBufferSize(65536), 0);  // closed now: the socket error comes back
  c.AdoptSocket(plat::kInvalidSocket);
}

TEST_F(SocketComponentTest, TranscriptFileOpensForWriting) {
  TestComponent c;
  const std::string path = testing_support::TempPath("socket_transcript.txt");
  const testing_support::RemovedAtExit remove_transcript({path});
  ASSERT_EQ(c.Set("RecordToFile=" + path), 0);
  EXPECT_EQ(c.Get("RecordToFile"), path);
  uint32_t attributes = 0;
  EXPECT_TRUE(plat::GetFileAttributes(path.c_str(), &attributes));
  EXPECT_EQ(c.ReopenTranscriptFile(), 0);
  EXPECT_NE(c.Set("RecordToFile=/nonexistent-dir/x.txt"), 0);
  EXPECT_EQ(c.Set("RecordToFile="), 0);
}

TEST(SocketLayerStartup, IsCountedSoRepeatedCallsDoNotRepeatSetUpOrTearDown) {
  EXPECT_EQ(SocketBase::WinsockStatus(), plat::kWsaNotInitialised);
  SocketBase::StaticInit();
  SocketBase::StaticInit();
  EXPECT_EQ(SocketBase::WinsockStatus(), 0);
  EXPECT_EQ(plat::test::ModuleLoadCount("ws2_32"), 1);
  EXPECT_EQ(plat::test::ModuleLoadCount("qwave"), 1);

  SocketBase::StaticDestroy();
  EXPECT_TRUE(plat::WsaStarted());
  {
    TestComponent alive;
    SocketBase::StaticDestroy();
    EXPECT_FALSE(plat::WsaStarted());
    EXPECT_EQ(plat::test::ModuleLoadCount("qwave"), 0);
    // The window class stays while a component's window exists, so that component keeps working.
    ASSERT_TRUE(plat::PostMessage(alive.NotificationWindow(), kPingMessage, 0, 0));
    EXPECT_EQ(alive.WaitStep(0, alive.NotificationWindow()), 1);
    EXPECT_EQ(alive.events.size(), 1u);
  }
  SocketBase::StaticDestroy();  // unmatched: nothing to undo
  EXPECT_EQ(plat::WsaCleanup(), plat::kSocketError);

  // A full cycle again works, with the class free to be registered anew.
  EXPECT_TRUE(plat::UnregisterWindowClass(kSocketWindowClass));
  SocketBase::StaticInit();
  EXPECT_NE(TestComponent().NotificationWindow(), 0u);
  SocketBase::StaticDestroy();
  EXPECT_FALSE(plat::UnregisterWindowClass(kSocketWindowClass));
  EXPECT_EQ(plat::test::ModuleLoadCount("ws2_32"), 1);  // loaded once for the life of the process
}

TEST(SocketLayerStartup, MissingNameModuleLeavesTheFunctionsUnloaded) {
  if (plat::test::ModuleLoadCount("ws2_32") > 0) GTEST_SKIP() << "an earlier start-up in this process loaded it";
  plat::test::SetModuleMissing("ws2_32", true);
  SocketBase::StaticInit();
  plat::test::SetModuleMissing("ws2_32", false);
  {
    TestComponent c;
    uint8_t address[4];
    EXPECT_EQ(c.ResolveHostName("localhost", address, 0, 0), kInitializationFailed);
    EXPECT_EQ(c.SetRemoteHost("127.0.0.1"), 0);  // a dotted address needs no resolver
  }
  SocketBase::StaticDestroy();
}

}  // namespace
}  // namespace velmora::component
