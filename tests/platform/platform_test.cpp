#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

TEST(PlatformFormat, SixtyFourBitConversionsInBothSpellings) {
  char out[64];
  int n = Format(out, sizeof out, "%I64d|%lld", static_cast<long long>(INT64_MIN), static_cast<long long>(INT64_MAX));
  EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
  EXPECT_STREQ(out, "-9223372036854775808|9223372036854775807");
  Format(out, sizeof out, "%I64u %I64X %s", 18446744073709551615ull, 0xABCull, static_cast<const char*>(nullptr));
  EXPECT_STREQ(out, "18446744073709551615 ABC (null)");
}

TEST(PlatformFormat, CutsAtTheWorkAreaNeverBeyond) {
  char area[kFormatAreaSize + 8];
  std::memset(area, 'x', sizeof area);
  std::string long_text(5000, 'a');
  int n = Format(area, kFormatAreaSize, "%s", long_text.c_str());
  EXPECT_EQ(n, static_cast<int>(kFormatAreaSize) - 1);
  EXPECT_EQ(area[kFormatAreaSize - 1], '\0');
  EXPECT_EQ(area[kFormatAreaSize], 'x');
}

TEST(PlatformCompare, ByteOrderAndAsciiOnlyFolding) {
  EXPECT_EQ(CompareBytes("abc", "abc"), 0);
  EXPECT_LT(CompareBytes("abc", "abd"), 0);
  EXPECT_EQ(CompareBytes(nullptr, ""), 0);
  EXPECT_EQ(CompareAsciiNoCase("LogLevel", "LOGLEVEL"), 0);
  // Bytes above 0x7F are not folded: a UTF-8 upper-case letter stays different from its lower case.
  EXPECT_NE(CompareAsciiNoCase("\xC3\x89", "\xC3\xA9"), 0);
  EXPECT_EQ(StrLen(nullptr), 0);
}

TEST(PlatformLastError, IsPerThreadAndMapsErrno) {
  SetLastError(5);
  std::thread([] { EXPECT_EQ(GetLastError(), 0u); SetLastError(7); }).join();
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(Win32FromErrno(ENOENT), kErrorFileNotFound);
  EXPECT_EQ(Win32FromErrno(ENOTEMPTY), kErrorDirNotEmpty);
  EXPECT_EQ(WsaFromErrno(ECONNREFUSED), kWsaEconnrefused);
  EXPECT_EQ(WsaFromErrno(ETIMEDOUT), kWsaEtimedout);
}

TEST(PlatformMemory, FailureHookFailsTheChosenAllocationOnce) {
  test::FailAllocAfter(1);
  void* a = Alloc(8);
  void* b = Alloc(8);
  void* c = Alloc(8);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  Free(a);
  Free(c);
  test::FailAllocAfter(-1);
}

TEST(PlatformMemory, FreeObserverSeesBlockBeforeRelease) {
  int seen = 0;
  test::SetFreeObserver([&](const void*, std::size_t size) { seen += static_cast<int>(size); });
  Free(Alloc(16), 16);
  test::SetFreeObserver({});
  EXPECT_EQ(seen, 16);
}

}  // namespace
}  // namespace velmora::platform
