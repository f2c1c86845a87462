#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/win_codes.h"

namespace velmora::platform {
namespace {

TEST(PlatformFormat, WindowsSpellingsAndTheWorkAreaLimit) {
  char out[64];
  Format(out, sizeof out, "%I64u %I64X %s", 18446744073709551615ull, 0xABCull, static_cast<const char*>(nullptr));
  EXPECT_STREQ(out, "18446744073709551615 ABC (null)");
  char area[kFormatAreaSize + 8];
  std::memset(area, 'x', sizeof area);
  const std::string long_text(5000, 'a');
  EXPECT_EQ(Format(area, kFormatAreaSize, "%s", long_text.c_str()), static_cast<int>(kFormatAreaSize) - 1);
  EXPECT_EQ(area[kFormatAreaSize - 1], '\0');
  EXPECT_EQ(area[kFormatAreaSize], 'x');  // never a byte beyond
}

TEST(PlatformCompare, ByteOrderAndAsciiOnlyFolding) {
  EXPECT_LT(CompareBytes("abc", "abd"), 0);
  EXPECT_EQ(CompareBytes(nullptr, ""), 0);
  EXPECT_EQ(CompareAsciiNoCase("LogLevel", "LOGLEVEL"), 0);
  // Bytes above 0x7F are not folded: a UTF-8 upper-case letter stays different from its lower case.
  EXPECT_NE(CompareAsciiNoCase("\xC3\x89", "\xC3\xA9"), 0);
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
  test::FailAllocAfter(-1);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  Free(a);
  Free(c);
}

}  // namespace
}  // namespace velmora::platform
