#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/last_error.h"
#include "platform/modules.h"
#include "platform/os_version.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

TEST(OptionalModules, AbsentModulesFailPresentOnesResolveTheirFunctions) {
  for (const char* absent : {"netapi32.dll", "nosuch.dll", ""}) {
    EXPECT_EQ(LoadModule(absent), nullptr) << absent;
    EXPECT_EQ(GetLastError(), kErrorModNotFound);
  }
  ModuleHandle ws2 = LoadModule("WS2_32.DLL");
  ASSERT_NE(ws2, nullptr);
  EXPECT_EQ(LoadModule("ws2_32"), ws2);
  EXPECT_EQ(test::ModuleLoadCount("ws2_32.dll"), 2);
  for (const char* name : {"getaddrinfo", "freeaddrinfo", "getnameinfo", "gethostbyaddr"}) {
    EXPECT_NE(GetProc(ws2, name), nullptr) << name;
  }
  EXPECT_EQ(GetProc(ws2, "gethostbyname"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);

  // The resolved entry is the working function.
  ASSERT_EQ(WsaStartup(kWinsockVersion22, nullptr), 0);
  AddrInfo hints{};
  hints.family = kAfInet;
  hints.flags = kAiNumericHost;
  AddrInfo* list = nullptr;
  EXPECT_EQ(reinterpret_cast<GetAddrInfoFn>(GetProc(ws2, "getaddrinfo"))("127.0.0.1", nullptr, &hints, &list), 0);
  ASSERT_NE(list, nullptr);
  reinterpret_cast<FreeAddrInfoFn>(GetProc(ws2, "freeaddrinfo"))(list);
  EXPECT_EQ(WsaCleanup(), 0);

  EXPECT_TRUE(FreeModule(ws2));
  EXPECT_TRUE(FreeModule(ws2));
  EXPECT_FALSE(FreeModule(ws2));  // more frees than loads are refused, not counted below zero
  EXPECT_EQ(test::ModuleLoadCount("ws2_32"), 0);
}

TEST(OptionalModules, TestHookMakesAPresentModuleMissing) {
  test::SetModuleMissing("ntdll.dll", true);
  EXPECT_EQ(LoadModule("ntdll.dll"), nullptr);
  test::SetModuleMissing("NTDLL", false);
  ModuleHandle ntdll = LoadModule("ntdll.dll");
  ASSERT_NE(ntdll, nullptr);
  EXPECT_NE(GetProc(ntdll, "RtlGetVersion"), nullptr);
  EXPECT_TRUE(FreeModule(ntdll));
}

TEST(OsVersionReport, ModernByDefaultAndOverridable) {
  OsVersionRecord record{};
  EXPECT_NE(FillOsVersionRecord(&record), 0);  // size not set
  record.size = sizeof record;
  ASSERT_EQ(FillOsVersionRecord(&record), 0);
  EXPECT_EQ(record.major, 10u);
  EXPECT_EQ(record.product_type, kProductTypeWorkstation);
  test::SetOsVersion({5, 1, 2600, false});
  ASSERT_EQ(FillOsVersionRecord(&record), 0);
  EXPECT_EQ(record.major, 5u);
  EXPECT_EQ(record.product_type, kProductTypeServer);
  test::ResetOsVersion();
  EXPECT_EQ(GetOsVersion().major, 10u);
}

TEST(Sync, CriticalSectionIsReentrant) {
  CriticalSection section;
  section.Enter();
  EXPECT_TRUE(section.TryEnter());
  bool other_got_it = true;
  std::thread([&] { other_got_it = section.TryEnter(); }).join();
  EXPECT_FALSE(other_got_it);
  section.Leave();
  section.Leave();
  std::thread([&] {
    CriticalSectionLock lock(section);
    other_got_it = true;
  }).join();
  EXPECT_TRUE(other_got_it);
}

TEST(Sync, ManualResetEventStaysSetUntilReset) {
  ManualResetEvent event;
  EXPECT_FALSE(event.Wait(10));
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(ManualResetEvent::kInfinite));
  setter.join();
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Sync, ThreadJoinForReportsARunningThread) {
  ManualResetEvent release;
  std::atomic<bool> ran{false};
  Thread thread;
  ASSERT_TRUE(thread.Start([&] {
    release.Wait(ManualResetEvent::kInfinite);
    ran = true;
  }));
  EXPECT_FALSE(thread.Start([] {}));
  EXPECT_FALSE(thread.JoinFor(20));
  EXPECT_TRUE(thread.Running());
  release.Set();
  EXPECT_TRUE(thread.JoinFor(10000));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(thread.Running());
}

}  // namespace
}  // namespace velmora::platform
