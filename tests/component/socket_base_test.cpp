#include "component/socket_base.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "component/config_setting_parts.h"
#include "component/tls_services.h"
#include "platform/clock.h"
#include "platform/time.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/os_version.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/win_codes.h"

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
class TestComponent : public SocketBase {
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

  int Set(const char* text) {
    ConfigSettingParts parts;
    EXPECT_EQ(parts.Parse(text, 0), 0);
    return Config(parts, nullptr);
  }
  std::string Get(const char* name) {
    ConfigSettingParts parts;
    EXPECT_EQ(parts.Parse(name, 0), 0);
    const char* reply = nullptr;
    last_rc = Config(parts, &reply);
    return reply != nullptr ? reply : "(null)";
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

  std::vector<Event> events;
  std::string received;
  int last_rc = 0;
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

uint64_t ElapsedSince(uint64_t start) { return plat::MonotonicMs() - start; }

TEST(SocketComponentWithoutStartup, HasNoWindowAndItsWaitsStop) {
  if (plat::test::ModuleLoadCount("ws2_32") > 0) GTEST_SKIP() << "an earlier start-up in this process loaded them";
  TestComponent c;
  EXPECT_EQ(c.NotificationWindow(), 0u);
  EXPECT_EQ(c.WaitStep(0, c.NotificationWindow()), 0);
  // The name functions were never loaded.
  plat::SockAddrIn6 address;
  EXPECT_EQ(c.ResolveHostAddress("::1", &address, 0, 0), kInitializationFailed);
  EXPECT_STREQ(c.LastErrorText().Data(), kTextInitializationFailed);
  EXPECT_EQ(c.SetRemoteHost("some-host"), kInitializationFailed);
  void* info = nullptr;
  EXPECT_EQ(c.LookupDomainController("example", nullptr, 0, &info), kInitializationFailed);
  // A failed host-name lookup reports its socket error with the code, not as success.
  EXPECT_STREQ(c.GetLocalHost(), "");
  EXPECT_EQ(c.LastErrorCode(), plat::kWsaNotInitialised);
  EXPECT_STREQ(c.LastErrorText().Data(), "[10093] Winsock not loaded yet (WSANOTINITIALISED)");
}

TEST_F(SocketComponentTest, AnswersEverySettingWithItsDefault) {
  TestComponent c;
  const std::pair<const char*, const char*> defaults[] = {
      {"SelectWaitMillis", "20"},
      {"AbsoluteTimeout", "False"},
      {"TimeoutInMilliseconds", "0"},
      {"WinsockStatus", "0"},
      {"IgnoreExternalEvents", "False"},
      {"IgnoreOtherWindowEvents", "False"},
      {"WinsockVersion", "2.2"},
      {"QOSTrafficType", "0"},
      {"QOSDSCPValue", "0"},
      {"UseWindowsMessages", "1"},
      {"UseIOCP", "0"},
      {"SSLProvider", "Microsoft Unified Security Protocol Provider"},
      {"SSLCipherStrength", "40"},
      {"UseDefaultCredentials", "False"},
      {"ReuseSSLSession", "False"},
      {"ExtendedProtection", "False"},
      {"SSLSecurityFlags", "0"},
      {"SSLIncludeCertChain", "False"},
      {"SSLEnabledProtocols", "4032"},
      {"SSLEnableRenegotiation", "True"},
      {"UseIPv6", "False"},
      {"UseIPv6Int", "0"},
      {"UseGetAddrInfo", "True"},
      {"KerberosSPN", ""},
      {"UseSystemSSPI", "False"},
      {"RecordToFile", ""},
      {"RecordToString", ""},
      {"UseInternalSecurityAPI", "False"},
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
  EXPECT_EQ(c.Set("UseIPv6=2"), 0);
  EXPECT_EQ(c.Get("UseIPv6Int"), "2");
  EXPECT_EQ(c.Get("UseIPv6"), "False");
  EXPECT_EQ(c.Set("UseIPv6Int=3"), 0);
  EXPECT_EQ(c.Get("UseIPv6Int"), "3");
  EXPECT_EQ(c.Set("UseIPv6=yes"), 0);
  EXPECT_EQ(c.Get("UseIPv6"), "True");
  EXPECT_EQ(c.Get("UseIPv6Int"), "1");
  EXPECT_EQ(c.Set("UseIPv6= 22"), 0);  // only "2" exactly is the try-IPv6-first value
  EXPECT_EQ(c.Get("UseIPv6Int"), "0");

  EXPECT_EQ(c.Set("QOSTrafficType=voice"), 0);
  EXPECT_EQ(c.Get("QOSTrafficType"), "4");
  EXPECT_EQ(c.Set("QOSTrafficType=CONTROL"), 0);
  EXPECT_EQ(c.Get("QOSTrafficType"), "5");
  EXPECT_EQ(c.Set("QOSTrafficType=7"), 0);
  EXPECT_EQ(c.Get("QOSTrafficType"), "7");

  EXPECT_EQ(c.Set("SSLEnabledProtocols=0x3000"), 0);
  EXPECT_EQ(c.Get("SSLEnabledProtocols"), "12288");
  EXPECT_EQ(c.Get("UseInternalSecurityAPI"), "True");
  EXPECT_EQ(c.Set("SSLEnabledProtocols=4096"), 0);  // one of the two bits only
  EXPECT_EQ(c.Get("UseInternalSecurityAPI"), "False");
  EXPECT_EQ(c.Set("UseInternalSecurityAPI=true"), 0);
  EXPECT_EQ(c.Set("SSLEnabledProtocols=12288"), 0);
  EXPECT_EQ(c.Set("SSLEnabledProtocols=192"), 0);  // clears only the protocols' bit
  EXPECT_EQ(c.Get("UseInternalSecurityAPI"), "True");

  EXPECT_EQ(c.Set("SSLCipherStrength=0x80"), 0);
  EXPECT_EQ(c.Get("SSLCipherStrength"), "128");
  EXPECT_EQ(c.Set("SSLSecurityFlags=TRUE"), 0);  // no TRUE/yes forms for these numbers
  EXPECT_EQ(c.Get("SSLSecurityFlags"), "0");
  EXPECT_EQ(c.Set("SSLEnableRenegotiation=no"), 0);
  EXPECT_EQ(c.Get("SSLEnableRenegotiation"), "False");
  EXPECT_EQ(c.Set("SSLProvider=\"Other Provider\""), 0);
  EXPECT_EQ(c.Get("SSLProvider"), "Other Provider");
  EXPECT_EQ(c.Set("KerberosSPN=HTTP/host"), 0);
  EXPECT_EQ(c.Get("KerberosSPN"), "HTTP/host");
  EXPECT_EQ(c.Set("SelectWaitMillis=5"), 0);
  EXPECT_EQ(c.SelectWaitMillis(), 5);
  EXPECT_EQ(c.Set("WinsockVersion=1.1"), 0);  // read-only values ignore a set
  EXPECT_EQ(c.Get("WinsockVersion"), "2.2");
  EXPECT_EQ(c.Set("IgnoreOtherWindowEvents=1"), 0);
  EXPECT_EQ(c.Get("IgnoreOtherWindowEvents"), "True");
  EXPECT_EQ(c.Set("RecordToString=On"), 0);
  EXPECT_EQ(c.Get("RecordToString"), "");  // the query answers the transcript text
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
  EXPECT_EQ(c.SetTimeoutSeconds(2500, true), 0);
  EXPECT_EQ(c.TimeoutMs(), 2500u);
  EXPECT_EQ(c.Set("TimeoutInMilliseconds=False"), 0);
  EXPECT_EQ(c.TimeoutMs(), 2500000u);

  EXPECT_EQ(c.SetBaseTimeoutSeconds(3, true), 0);
  EXPECT_EQ(c.BaseTimeoutMs(), 3000u);
  EXPECT_GE(c.BaseDeadline(), plat::DeadlineClockMs());
  EXPECT_EQ(c.SetBaseTimeoutSeconds(0, true), 0);
  EXPECT_EQ(c.BaseDeadline(), 0u);

  EXPECT_EQ(c.SetTimeoutSeconds(0, true), 0);
  EXPECT_EQ(c.StartOperationDeadline(), 0u);  // 0 is "no deadline"
}

TEST_F(SocketComponentTest, InitSetsTransportSecurityDefaults) {
  TestComponent c;
  EXPECT_STREQ(c.CertificateStoreName().Data(), "MY");
  EXPECT_STREQ(c.AcceptedAlgorithms().Data(), "*");
  EXPECT_STREQ(c.PemLabel().Data(), "CERTIFICATE");
  EXPECT_FALSE(c.Credentials().IsSet());
  EXPECT_STREQ(c.TlsState().texts[1].Data(), "NTLM");
  EXPECT_STREQ(c.TlsState().buffers.texts[7].Data(), "NTLM");
  EXPECT_EQ(c.TlsState().nt61_or_later, 1);
  EXPECT_EQ(c.ReceiveBufferSize(), 1048576u);
  EXPECT_EQ(c.SendBufferSize(), 262144u);
  EXPECT_EQ(c.DefaultHook15(), 0);
  uint8_t reuse = 7;
  EXPECT_EQ(c.DefaultHook16(1, &reuse), nullptr);
  EXPECT_EQ(SocketBase::IsOsVersion6OrLater(), 1);
  // Without a security provider there is nothing to release, and the handle ends up cleared.
  c.Credentials() = SecurityHandle{1, 2};
  FreeTlsCredentials(c);
  EXPECT_FALSE(c.Credentials().IsSet());
  EXPECT_EQ(CertOpenStoreEntry(), nullptr);
  EXPECT_EQ(SecurityFunctions().free_credentials_handle, nullptr);

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
  const uint64_t start = plat::MonotonicMs();
  EXPECT_EQ(c.Await(), kAwaitFailed);
  const uint64_t took = ElapsedSince(start);
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
  const uint64_t start = plat::MonotonicMs();
  EXPECT_EQ(c.Await(), kAwaitFailed);
  EXPECT_LT(ElapsedSince(start), 2000u);
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
  EXPECT_LT(ElapsedSince(start), 2000u);
  // The loop goes on as long as it is asked to; nothing times out.
  c.Set("SelectWaitMillis=10");
  EXPECT_EQ(c.Await(30), 0);
  EXPECT_STREQ(c.LastErrorText().Data(), "");
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
    const uint64_t start = plat::MonotonicMs();
    EXPECT_EQ(c.Await(), kAwaitFailed) << messages;
    done.Set();
    rescuer.join();
    EXPECT_LT(ElapsedSince(start), 4500u) << messages;
    EXPECT_STREQ(c.LastErrorText().Data(), kTextTimeout);
  }
}

TEST_F(SocketComponentTest, SelectWaitWithoutSocketSleepsInsteadOfSpinning) {
  TestComponent c;
  ASSERT_EQ(c.Set("UseWindowsMessages=0"), 0);
  ASSERT_EQ(c.SetTimeoutSeconds(1, true), 0);
  const std::clock_t cpu_start = std::clock();
  const uint64_t start = plat::MonotonicMs();
  EXPECT_EQ(c.Await(), kAwaitFailed);
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  EXPECT_GE(ElapsedSince(start), 950u);
  EXPECT_LT(cpu_ms, 100.0);
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
  while (c.events.size() < 3 && c.WaitStep(c.SelectWaitMillis(), w) == 1) {
  }
  ASSERT_EQ(c.events.size(), 3u);
  EXPECT_EQ(c.events[2].message, kPingMessage);
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
  EXPECT_TRUE(c.WasInterrupted());
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

  // The class procedure hands a window's messages to its owner only.
  EXPECT_EQ(SocketBase::SocketWindowProc(w, kPingMessage, 0, 2), 0);
  EXPECT_EQ(c.events.size(), 1u);
}

TEST_F(SocketComponentTest, WindowNotificationsOfASocketPair) {
  TestComponent c;
  plat::Socket pair[2];
  ASSERT_EQ(plat::SocketPair(pair), 0);
  c.AdoptSocket(pair[0]);
  EXPECT_EQ(c.SetUseWindowsMessages(false), kUseWindowsMessagesLocked);
  EXPECT_STREQ(c.LastErrorText().Data(), kTextUseWindowsMessagesLocked);
  ASSERT_EQ(c.SelectEvents(pair[0], c.NotificationWindow(), kSocketMessage,
                           plat::kFdRead | plat::kFdWrite | plat::kFdClose), 0);
  ASSERT_EQ(c.SetTimeoutSeconds(5, true), 0);
  c.StartOperationDeadline();
  auto pump_until = [&c](size_t count) {
    while (c.events.size() < count && c.WaitStep(c.SelectWaitMillis(), c.NotificationWindow()) == 1) {
    }
  };
  pump_until(1);
  ASSERT_EQ(c.events.size(), 1u);
  EXPECT_EQ(c.events[0].event, plat::kFdWrite);
  ASSERT_EQ(plat::Send(pair[1], "hello", 5, 0), 5);
  pump_until(2);
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[1].event, plat::kFdRead);
  EXPECT_EQ(c.events[1].error, 0);
  EXPECT_EQ(c.received, "hello");
  ASSERT_EQ(plat::CloseSocket(pair[1]), 0);
  pump_until(3);
  ASSERT_EQ(c.events.size(), 3u);
  EXPECT_EQ(c.events[2].event, plat::kFdClose);
  EXPECT_EQ(c.events[2].error, 0);
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
  ASSERT_EQ(c.events.size(), 1u);
  EXPECT_EQ(c.events[0].event, plat::kFdWrite);
  EXPECT_EQ(c.WaitStep(20, 0), 1);
  EXPECT_EQ(c.events.size(), 1u);  // write is reported once
  ASSERT_EQ(plat::Send(pair[1], "abc", 3, 0), 3);
  EXPECT_EQ(c.WaitStep(1000, 0), 1);
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[1].event, plat::kFdRead);
  EXPECT_EQ(c.received, "abc");
  ASSERT_EQ(plat::CloseSocket(pair[1]), 0);
  EXPECT_EQ(c.WaitStep(1000, 0), 1);
  ASSERT_EQ(c.events.size(), 4u);
  EXPECT_EQ(c.events[2].event, plat::kFdRead);
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
  EXPECT_EQ(c.SetRemoteHost("127.0.0.1"), 0);
  EXPECT_EQ(c.RemoteIpv4()[0], 127);
  EXPECT_EQ(c.RemoteIpv4()[3], 1);
  EXPECT_STREQ(c.GetRemoteHost(), "127.0.0.1");
  EXPECT_STREQ(c.GetLocalHost(), "127.0.0.1");
  EXPECT_EQ(c.SetRemoteHost("localhost"), 0);
  EXPECT_EQ(c.RemoteIpv4()[0], 127);

  EXPECT_EQ(c.SetRemoteHost(""), 0);
  EXPECT_STREQ(c.GetRemoteHost(), "");
  EXPECT_EQ(c.RemoteIpv4()[0], 0);
  EXPECT_EQ(c.RemoteIpv6().family, plat::kAfInet6);
  EXPECT_STRNE(c.GetLocalHost(), "");  // no address: the host name

  ASSERT_EQ(c.Set("UseIPv6=true"), 0);
  EXPECT_EQ(c.SetRemoteHost("fe80::1%3"), 0);
  EXPECT_EQ(c.RemoteIpv6().addr[0], 0xfe);
  EXPECT_EQ(c.RemoteIpv6().addr[15], 1);
  EXPECT_EQ(c.RemoteIpv6().scope_id, 3u);

  // Try IPv6 first: an IPv6 literal switches it on, an IPv4 one falls back.
  ASSERT_EQ(c.Set("UseIPv6=2"), 0);
  EXPECT_EQ(c.SetRemoteHost("::1"), 0);
  EXPECT_EQ(c.Get("UseIPv6"), "True");
  ASSERT_EQ(c.Set("UseIPv6=2"), 0);
  EXPECT_EQ(c.SetRemoteHost("10.0.0.9"), 0);
  EXPECT_EQ(c.Get("UseIPv6"), "False");
  EXPECT_EQ(c.RemoteIpv4()[0], 10);

  char host[64];
  plat::SockAddrIn6 loopback{};
  loopback.family = plat::kAfInet6;
  loopback.addr[15] = 1;
  EXPECT_EQ(c.ReverseLookupHost(&loopback, sizeof loopback, host, sizeof host, plat::kNiNumericHost), 0);
  EXPECT_STREQ(host, "::1");
  SocketBase::FreeAddrInfoIfLoaded(nullptr);
}

TEST_F(SocketComponentTest, NameLookupWithoutTheSocketLayerReportsItsError) {
  TestComponent c;
  ASSERT_EQ(plat::WsaCleanup(), 0);  // the socket layer is stopped under the component
  EXPECT_EQ(c.SetRemoteHost("localhost"), plat::kWsaNotInitialised);
  EXPECT_EQ(c.RemoteIpv4()[0], 0);
  uint16_t version = 0;
  ASSERT_EQ(plat::WsaStartup(plat::kWinsockVersion22, &version), 0);
}

TEST_F(SocketComponentTest, BufferSizesApplyToAnOpenSocket) {
  TestComponent c;
  EXPECT_EQ(c.SetReceiveBufferSize(32768), 0);  // no socket yet: only stored
  EXPECT_EQ(c.ReceiveBufferSize(), 32768u);
  plat::Socket pair[2];
  ASSERT_EQ(plat::SocketPair(pair), 0);
  c.AdoptSocket(pair[0]);
  EXPECT_EQ(c.SetSendBufferSize(65536), 0);
  int applied = 0;
  ASSERT_EQ(plat::GetSocketBufferSize(pair[0], false, &applied), 0);
  EXPECT_GE(applied, 65536);
  plat::CloseSocket(pair[0]);
  plat::CloseSocket(pair[1]);
  EXPECT_NE(c.SetSendBufferSize(65536), 0);  // closed now: the socket error comes back
  c.AdoptSocket(plat::kInvalidSocket);
}

TEST_F(SocketComponentTest, TranscriptFileOpensForWriting) {
  TestComponent c;
  const std::string path = ::testing::TempDir() + "velmora_socket_transcript.txt";
  ASSERT_EQ(c.Set(("RecordToFile=" + path).c_str()), 0);
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
  EXPECT_EQ(SocketBase::WinsockVersion(), plat::kWinsockVersion22);
  EXPECT_EQ(plat::test::ModuleLoadCount("ws2_32"), 1);
  EXPECT_EQ(plat::test::ModuleLoadCount("qwave"), 1);
  EXPECT_EQ(plat::test::ModuleLoadCount("ntdll"), 0);  // the version is read only with a provider

  SocketBase::StaticDestroy();
  EXPECT_TRUE(plat::WsaStarted());
  {
    TestComponent alive;
    EXPECT_NE(alive.NotificationWindow(), 0u);
    SocketBase::StaticDestroy();
    EXPECT_FALSE(plat::WsaStarted());
    EXPECT_EQ(plat::test::ModuleLoadCount("qwave"), 0);
    // The window class stays while a component's window exists, so that component keeps working.
    EXPECT_TRUE(plat::IsWindow(alive.NotificationWindow()));
    ASSERT_TRUE(plat::PostMessage(alive.NotificationWindow(), kPingMessage, 0, 0));
    EXPECT_EQ(alive.WaitStep(0, alive.NotificationWindow()), 1);
    EXPECT_EQ(alive.events.size(), 1u);
  }
  SocketBase::StaticDestroy();  // unmatched: nothing to undo
  EXPECT_EQ(plat::WsaCleanup(), plat::kSocketError);

  // A full cycle again works, with the class free to be registered anew.
  EXPECT_TRUE(plat::UnregisterWindowClass(kSocketWindowClass));
  SocketBase::StaticInit();
  {
    TestComponent c;
    EXPECT_NE(c.NotificationWindow(), 0u);
  }
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
    EXPECT_STREQ(c.LastErrorText().Data(), kTextInitializationFailed);
    EXPECT_EQ(c.SetRemoteHost("127.0.0.1"), 0);  // a dotted address needs no resolver
  }
  SocketBase::StaticDestroy();
}

}  // namespace
}  // namespace velmora::component
