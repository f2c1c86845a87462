#include <string>

#include <gtest/gtest.h>

#include "component/component_base.h"
#include "core/buffer.h"
#include "platform/last_error.h"
#include "platform/system_info.h"
#include "tests/component/configurable.h"
#include "tests/test_support.h"

namespace velmora::component {
namespace {

using testing_support::FailingAllocations;
using testing_support::Text;

// Each test gets a fresh component; the process-wide switches are turned off again afterwards.
class ComponentConfig : public testing::Test {
 protected:
  void TearDown() override {
    for (const char* reset : {"ZeroMemory=0", "UseInternalCryptoAPI=0", "UseFIPSCompliantAPI=0", "Allow3DESInFIPS=0"}) {
      EXPECT_EQ(component_.Set(reset), 0);
    }
  }
  Configurable<ComponentBase> component_;
};

TEST_F(ComponentConfig, DefaultsAnswerInTheirFormats) {
  const std::pair<const char*, const char*> defaults[] = {
      {"CodePage", "0"},        {"LogLevel", "1"},     {"CharsetMode", "0"},          {"LogDebugFile", ""},
      {"LogDebugOption", "0"},  {"LastError", ""},     {"ZeroMemory", "False"},       {"UseInternalCryptoAPI", "False"},
      {"UseFIPSCompliantAPI", "False"}, {"Allow3DESInFIPS", "False"}, {"codepage", "0"},  // names ignore case
  };
  for (const auto& [name, expected] : defaults) {
    EXPECT_EQ(component_.Get(name), expected) << name;
    EXPECT_EQ(component_.last_rc, 0) << name;
  }
}

TEST_F(ComponentConfig, SettingsReadBackInTheirOwnFormats) {
  const struct {
    const char *set, *name, *expected;
  } steps[] = {
      {"CodePage=0x3A", "CodePage", "58"},        {"CodePage=true", "CodePage", "1"},
      {"CodePage=12abc", "CodePage", "12"},       {"  LogLevel  =  3 ", "LogLevel", "3"},
      {"LogLevel=", "LogLevel", "0"},             {"LogLevel=-2", "LogLevel", "-2"},
      {"CharsetMode=0x1FF", "CharsetMode", "-1"},  // only the low 8 bits are kept, signed
      {"LogDebugOption=0xFFFFFFFF", "LogDebugOption", "4294967295"},
      {"LogDebugOption=TRUE", "LogDebugOption", "0"},  // no boolean words for this one
      {"LogDebugFile=/var/log/velmora/session.log", "LogDebugFile", "/var/log/velmora/session.log"},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(component_.Set(s.set), 0) << s.set;
    EXPECT_EQ(component_.Get(s.name), s.expected) << s.set;
  }
  EXPECT_EQ(component_.LogFileSet(), 1);
  EXPECT_EQ(component_.Set("LogDebugFile="), 0);
  EXPECT_EQ(component_.LogFileSet(), 0);
  FailingAllocations fail;
  EXPECT_EQ(component_.Set("LogDebugFile=/a/name/longer/than/the/inline/part.log"), 200);
  EXPECT_EQ(component_.LogFileSet(), 0);
}

TEST_F(ComponentConfig, ProcessWideSwitches) {
  for (const char* on : {"ZeroMemory=yes", "ZeroMemory=TRUE", "ZeroMemory=1"}) {
    EXPECT_EQ(component_.Set("ZeroMemory=0"), 0);
    EXPECT_EQ(component_.Set(on), 0);
    EXPECT_EQ(core::ZeroMemoryFlag(), 1) << on;
    EXPECT_EQ(component_.Get("ZeroMemory"), "True");
  }
  EXPECT_EQ(component_.Set("ZeroMemory=2"), 0);
  EXPECT_EQ(core::ZeroMemoryFlag(), 0);

  EXPECT_EQ(component_.Set("UseInternalCryptoAPI=true"), 0);
  EXPECT_EQ(UseInternalCryptoAPI(), 2);
  EXPECT_EQ(component_.Get("UseInternalCryptoAPI"), "True");
  EXPECT_EQ(component_.Set("UseInternalCryptoAPI=no"), 0);
  EXPECT_EQ(UseInternalCryptoAPI(), 0);

  EXPECT_EQ(component_.Set("UseFIPSCompliantAPI=yes"), 0);
  EXPECT_EQ(component_.Set("Allow3DESInFIPS=1"), 0);
  // One value for the whole library: another component sees it.
  Configurable<ComponentBase> other;
  EXPECT_EQ(other.Get("UseFIPSCompliantAPI"), "True");
  EXPECT_EQ(Allow3DESInFIPS(), 1);
}

TEST_F(ComponentConfig, UnknownNamesFailWithText) {
  EXPECT_EQ(component_.Get("NoSuchSetting"), "");
  EXPECT_EQ(component_.last_rc, -1);
  EXPECT_EQ(Text(component_.LastErrorText()), "Unknown config setting.");
  // Names of queries and of empty sets are not trimmed, so these miss their keys.
  EXPECT_EQ(component_.Set("LogLevel ="), -1);
  component_.Get("LogLevel ");
  EXPECT_EQ(component_.last_rc, -1);
  EXPECT_EQ(component_.Get("LastError"), "Unknown config setting.");
  EXPECT_EQ(component_.Set("LastError=ignored"), 0);
}

TEST(ComponentReportResult, FixedTextsReplaceOthersOnlyFillAnEmptyText) {
  ComponentBase component;
  EXPECT_EQ(component.ReportResult(0), 0);
  EXPECT_EQ(component.ReportOutOfMemory(5), 5);  // only 200 is out of memory
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
  platform::test::FailAllocAfter(0);
  EXPECT_EQ(component.SetComponentTag("a tag longer than twenty bytes"), 200);
  EXPECT_EQ(Text(component.ComponentTag()), "9385");
  EXPECT_EQ(component.SetComponentTag(nullptr), 0);
  EXPECT_TRUE(component.ComponentTag().IsEmpty());
}

}  // namespace
}  // namespace velmora::component
