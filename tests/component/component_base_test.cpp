#include <string>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "core/buffer.h"
#include "platform/last_error.h"
#include "platform/memory.h"
#include "platform/system_info.h"

namespace velmora::component {
namespace {

std::string Text(const core::BufferCore& buffer) { return std::string(buffer.Data(), buffer.Length()); }

// Runs one configuration text against a component the way the exported Config does.
class ComponentConfig : public testing::Test {
 protected:
  void TearDown() override {
    for (const char* reset : {"ZeroMemory=0", "UseInternalCryptoAPI=0", "UseFIPSCompliantAPI=0", "Allow3DESInFIPS=0"}) {
      EXPECT_EQ(Run(reset), 0);
    }
    platform::test::FailAllocAfter(-1);
  }

  int Run(const char* text) {
    ConfigSettingParts parts;
    EXPECT_EQ(parts.Parse(text, 0), 0);
    reply_ = nullptr;
    return component_.Config(parts, &reply_);
  }

  // Query returns the reply text of a query that must succeed.
  std::string Query(const char* name) {
    EXPECT_EQ(Run(name), 0) << name;
    return reply_ != nullptr ? reply_ : "<null>";
  }

  ComponentBase component_;
  const char* reply_ = nullptr;
};

TEST_F(ComponentConfig, DefaultsAnswerInTheirFormats) {
  EXPECT_EQ(Query("CodePage"), "0");
  EXPECT_EQ(Query("LogLevel"), "1");
  EXPECT_EQ(Query("CharsetMode"), "0");
  EXPECT_EQ(Query("LogDebugFile"), "");
  EXPECT_EQ(Query("LogDebugOption"), "0");
  EXPECT_EQ(Query("LastError"), "");
  EXPECT_EQ(Query("ZeroMemory"), "False");
  EXPECT_EQ(Query("UseInternalCryptoAPI"), "False");
  EXPECT_EQ(Query("UseFIPSCompliantAPI"), "False");
  EXPECT_EQ(Query("Allow3DESInFIPS"), "False");
  EXPECT_EQ(Query("codepage"), "0");  // names ignore case
}

TEST_F(ComponentConfig, CodePageTakesHexBooleanAndLeadingDigits) {
  EXPECT_EQ(Run("CodePage=0x3A"), 0);
  EXPECT_EQ(Query("CodePage"), "58");
  EXPECT_EQ(Run("CodePage=true"), 0);
  EXPECT_EQ(Query("CodePage"), "1");
  EXPECT_EQ(Run("CodePage=12abc"), 0);
  EXPECT_EQ(Query("CodePage"), "12");
  EXPECT_EQ(Run("CodePage=65001"), 0);
  EXPECT_EQ(component_.GetCodePage(), 65001u);
}

TEST_F(ComponentConfig, LogLevelAndCharsetModeAreSigned) {
  EXPECT_EQ(Run("  LogLevel  =  3 "), 0);
  EXPECT_EQ(Query("LogLevel"), "3");
  EXPECT_EQ(Run("LogLevel="), 0);
  EXPECT_EQ(Query("LogLevel"), "0");
  EXPECT_EQ(Run("LogLevel=-2"), 0);
  EXPECT_EQ(component_.LogLevel(), -2);
  EXPECT_EQ(Run("CharsetMode=0x1FF"), 0);  // only the low 8 bits are kept
  EXPECT_EQ(Query("CharsetMode"), "-1");
}

TEST_F(ComponentConfig, LogDebugOptionIsUnsignedWithoutBooleanWords) {
  EXPECT_EQ(Run("LogDebugOption=0xFFFFFFFF"), 0);
  EXPECT_EQ(Query("LogDebugOption"), "4294967295");
  EXPECT_EQ(Run("LogDebugOption=TRUE"), 0);
  EXPECT_EQ(Query("LogDebugOption"), "0");
  EXPECT_EQ(Run("LogDebugOption=12"), 0);
  EXPECT_EQ(component_.LogOption(), 12u);
}

TEST_F(ComponentConfig, LogDebugFileTracksWhetherANameIsSet) {
  EXPECT_EQ(Run("LogDebugFile=/var/log/velmora/session.log"), 0);
  EXPECT_EQ(component_.LogFileSet(), 1);
  EXPECT_EQ(Query("LogDebugFile"), "/var/log/velmora/session.log");
  EXPECT_EQ(Run("LogDebugFile="), 0);
  EXPECT_EQ(component_.LogFileSet(), 0);
  EXPECT_EQ(Query("LogDebugFile"), "");

  platform::test::FailAllocAfter(0);
  EXPECT_EQ(Run("LogDebugFile=/a/name/longer/than/the/inline/part.log"), 200);
  EXPECT_EQ(component_.LogFileSet(), 0);
}

TEST_F(ComponentConfig, ProcessWideSwitches) {
  for (const char* on : {"ZeroMemory=yes", "ZeroMemory=TRUE", "ZeroMemory=1"}) {
    EXPECT_EQ(Run("ZeroMemory=0"), 0);
    EXPECT_EQ(Run(on), 0);
    EXPECT_EQ(core::ZeroMemoryFlag(), 1) << on;
    EXPECT_EQ(Query("ZeroMemory"), "True");
  }
  EXPECT_EQ(Run("ZeroMemory=2"), 0);
  EXPECT_EQ(core::ZeroMemoryFlag(), 0);

  EXPECT_EQ(Run("UseInternalCryptoAPI=true"), 0);
  EXPECT_EQ(UseInternalCryptoAPI(), 2);
  EXPECT_EQ(Query("UseInternalCryptoAPI"), "True");
  EXPECT_EQ(Run("UseInternalCryptoAPI=no"), 0);
  EXPECT_EQ(UseInternalCryptoAPI(), 0);

  EXPECT_EQ(Run("UseFIPSCompliantAPI=yes"), 0);
  EXPECT_EQ(Run("Allow3DESInFIPS=1"), 0);
  // One value for the whole library: another component sees it.
  ComponentBase other;
  ConfigSettingParts parts;
  ASSERT_EQ(parts.Parse("UseFIPSCompliantAPI", 0), 0);
  const char* reply = nullptr;
  EXPECT_EQ(other.Config(parts, &reply), 0);
  EXPECT_STREQ(reply, "True");
  EXPECT_EQ(Allow3DESInFIPS(), 1);
}

TEST_F(ComponentConfig, UnknownNamesFailWithText) {
  EXPECT_EQ(Run("NoSuchSetting"), -1);
  ASSERT_NE(reply_, nullptr);
  EXPECT_STREQ(reply_, "");
  EXPECT_EQ(Text(component_.LastErrorText()), "Unknown config setting.");
  // Names of queries and of empty sets are not trimmed, so these miss their keys.
  EXPECT_EQ(Run("LogLevel "), -1);
  EXPECT_EQ(Run("LogLevel ="), -1);
  EXPECT_EQ(Query("LastError"), "Unknown config setting.");
  EXPECT_EQ(Run("LastError=ignored"), 0);
}

// ---- error texts ----

TEST(ComponentReportResult, FixedTextsReplaceOthersOnlyFillAnEmptyText) {
  ComponentBase component;
  EXPECT_EQ(component.ReportResult(0), 0);
  EXPECT_TRUE(component.LastErrorText().IsEmpty());

  EXPECT_EQ(component.ReportResult(10060), 10060);
  EXPECT_EQ(Text(component.LastErrorText()), "[10060] Connection timed out");
  EXPECT_EQ(component.ReportResult(10061), 10061);
  EXPECT_EQ(Text(component.LastErrorText()), "[10060] Connection timed out");  // the first text stays

  EXPECT_EQ(component.ReportResult(301), 301);
  EXPECT_EQ(Text(component.LastErrorText()), "Interrupted.");
  EXPECT_EQ(component.ReportResult(200), 200);
  EXPECT_EQ(Text(component.LastErrorText()), "Out of memory.");
  EXPECT_EQ(component.ReportResult(0), 0);
  EXPECT_EQ(Text(component.LastErrorText()), "Out of memory.");  // success never clears the text
}

TEST(ComponentReportResult, OutOfMemoryOnlyFor200) {
  ComponentBase component;
  EXPECT_EQ(component.ReportOutOfMemory(5), 5);
  EXPECT_EQ(component.ReportOutOfMemory(0), 0);
  EXPECT_TRUE(component.LastErrorText().IsEmpty());
  EXPECT_EQ(component.ReportOutOfMemory(200), 200);
  EXPECT_EQ(Text(component.LastErrorText()), "Out of memory.");
}

TEST(ComponentSocketErrorText, KnownAndUnknownCodesKeepTheirCode) {
  struct Case {
    int code;
    int result;
    const char* text;
  };
  const Case cases[] = {
      {10061, 0, "[10061] Connection refused"},
      {602, 1, "[602] (no description available)"},
      {10004, 0, "[10004] Interrupted system call"},
      {10066, 0, "[10066] Directory not empty"},
      {11004, 0, "[11004] Valid name, no data record (check DNS setup)"},
      {10072, 1, "[10072] (no description available)"},
      {-1, 1, "[-1] (no description available)"},
  };
  ComponentBase component;
  for (const Case& c : cases) {
    EXPECT_EQ(component.SetSocketErrorText(c.code), c.result) << c.code;
    EXPECT_EQ(Text(component.LastErrorText()), c.text);
    EXPECT_EQ(component.LastErrorCode(), c.code);
  }
}

TEST(ComponentSocketErrorText, PrefixAndSuffixAreOptional) {
  ComponentBase component;
  EXPECT_EQ(component.SocketErrorText("gethostname failed: ", 11001, "."), 0);
  EXPECT_EQ(Text(component.LastErrorText()), "gethostname failed: 11001.");
  EXPECT_EQ(component.LastErrorCode(), 11001);
  EXPECT_EQ(component.SocketErrorText(nullptr, -5, nullptr), 0);
  EXPECT_EQ(Text(component.LastErrorText()), "-5");
}

TEST(ComponentErrorText, LastSystemErrorInHexKeepsTheCode) {
  ComponentBase component;
  component.SetLastErrorCode(9);
  platform::SetLastError(0x57);
  EXPECT_EQ(component.FormatLastErrorText("Open failed"), 0);
  EXPECT_EQ(Text(component.LastErrorText()), "Open failed (error 0x57).");
  EXPECT_EQ(component.LastErrorCode(), 9);

}

TEST(ComponentState, ResetErrorAndCharsetFollowsTheSystemCodePage) {
  ComponentBase component;
  component.SetLastErrorCode(3);
  EXPECT_EQ(component.SetErrorText(3, "stale"), 3);
  platform::test::SetAnsiCodePage(932);
  EXPECT_EQ(component.ResetErrorAndCharset(), 1);
  EXPECT_EQ(component.CharsetMode(), 1);
  EXPECT_EQ(component.LastErrorCode(), 0);
  EXPECT_TRUE(component.LastErrorText().IsEmpty());
  platform::test::SetAnsiCodePage(0);
  EXPECT_EQ(component.ResetErrorAndCharset(), 1);
  EXPECT_EQ(component.CharsetMode(), 0);
}

TEST(ComponentState, TagStoreReportsOutOfMemoryAndKeepsTheOldTag) {
  ComponentBase component;
  EXPECT_EQ(component.SetComponentTag("9385"), 0);
  EXPECT_EQ(Text(component.ComponentTag()), "9385");
  platform::test::FailAllocAfter(0);
  EXPECT_EQ(component.SetComponentTag("a tag longer than twenty bytes"), 200);
  platform::test::FailAllocAfter(-1);
  EXPECT_EQ(Text(component.ComponentTag()), "9385");
  EXPECT_EQ(component.SetComponentTag(nullptr), 0);
  EXPECT_TRUE(component.ComponentTag().IsEmpty());
}

}  // namespace
}  // namespace velmora::component
