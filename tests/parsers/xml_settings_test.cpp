// The XML parser's settings through the configuration chain, the input-charset rule, the subtree replies
// and the event hooks' reach from the document.
#include <string>

#include <gtest/gtest.h>

#include "parsers/xml_parser.h"
#include "tests/component/configurable.h"

namespace velmora::parsers {
namespace {

using Parser = component::Configurable<XmlParser>;

struct SettingCase {
  const char* name;
  const char* initial;
  const char* set_to;
  const char* after;
};

// Every boolean setting: its answer at construction, and after being set to the opposite.
const SettingCase kBooleans[] = {
    {"IgnoreBadAttributePrefixes", "True", "false", "False"},
    {"IgnoreBadElementPrefixes", "True", "false", "False"},
    {"IncludeUnknownPrefixes", "False", "true", "True"},
    {"AllowMoreThanOneRoot", "True", "no", "False"},
    {"AllowTextOutsideRoot", "True", "0", "False"},
    {"CacheContent", "1", "false", "0"},
    {"KeepOriginalText", "1", "false", "0"},
    {"DisableEvalEntityEvent", "False", "yes", "True"},
    {"HTMLComments", "0", "TRUE", "1"},
    {"PreserveWhitespace", "False", "1", "True"},
    {"ErrorOnEmptyAttr", "False", "true", "True"},
    {"AllowLeadingDigit", "False", "true", "True"},
    {"ValidateLessThanSign", "True", "false", "False"},
    {"AllowReservedCharacters", "False", "true", "True"},
};

TEST(XmlSettings, BooleansAnswerAndStoreInTheirOwnForm) {
  for (const SettingCase& c : kBooleans) {
    Parser parser;
    EXPECT_EQ(parser.Get(c.name), c.initial) << c.name;
    EXPECT_EQ(parser.last_rc, 0);
    EXPECT_EQ(parser.Set(std::string(c.name) + "=" + c.set_to), 0) << c.name;
    EXPECT_EQ(parser.Get(c.name), c.after) << c.name;
    // Names are matched ignoring case.
    std::string lower = c.name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(parser.Get(lower), c.after) << lower;
  }
}

TEST(XmlSettings, PrefixFlagsAreIndependentBitsAndKeepOriginalTextHasTwoNames) {
  Parser parser;
  const char* flags[] = {"IgnoreBadAttributePrefixes", "IgnoreBadElementPrefixes", "AllowMoreThanOneRoot",
                         "AllowTextOutsideRoot"};
  for (uint32_t bit = 0; bit < 4; ++bit) {
    Parser p;
    ASSERT_EQ(p.Set(std::string(flags[bit]) + "=False"), 0);
    for (const char* other : flags) EXPECT_EQ(p.Get(other), other == flags[bit] ? "False" : "True") << flags[bit];
    EXPECT_EQ(p.Document().Settings().prefix_flags, 15u & ~(1u << bit));
  }
  ASSERT_EQ(parser.Set("KeepOriginalText=0"), 0);
  EXPECT_EQ(parser.Get("CacheContent"), "0");
  ASSERT_EQ(parser.Set("CacheContent=1"), 0);
  EXPECT_EQ(parser.Get("KeepOriginalText"), "1");
}

TEST(XmlSettings, UseEncodingFollowsTheCharsetRule) {
  struct Step {
    const char* value;
    const char* answer;
    uint32_t detect;
  };
  // Each row runs on the state the row before left.
  const Step steps[] = {
      {"UTF-8", "UTF-8", 0},      {"UTF-16", "ASCII", 1},      {"utf-16le", "UTF-16LE", 0}, {"UTF-16", "UTF-16LE", 0},
      {"UTF-16BE", "UTF-16BE", 0}, {"UTF-32", "ASCII", 1},      {"UTF-32BE", "UTF-32BE", 0}, {"UTF-32", "UTF-32BE", 0},
      {"UTF-32LE", "UTF-32LE", 0}, {"UTF-16", "ASCII", 1},      {"latin1", "ASCII", 1},
  };
  Parser parser;
  EXPECT_EQ(parser.Get("UseEncoding"), "ASCII");
  for (const Step& step : steps) {
    ASSERT_EQ(parser.Set(std::string("UseEncoding=") + step.value), 0);
    EXPECT_EQ(parser.Get("UseEncoding"), step.answer) << step.value;
    EXPECT_EQ(parser.Document().Settings().detect_encoding, step.detect) << step.value;
  }
}

TEST(XmlSettings, CodePageReachesTheBaseAndUnknownNamesFail) {
  Parser parser;
  ASSERT_EQ(parser.Set("CodePage=65001"), 0);
  EXPECT_EQ(parser.GetCodePage(), 65001u);
  EXPECT_EQ(parser.Document().Settings().code_page, 65001u);
  EXPECT_EQ(parser.Get("CodePage"), "65001");
  EXPECT_EQ(parser.Get("NoSuchSetting"), "");
  EXPECT_EQ(parser.last_rc, -1);
  EXPECT_STREQ(parser.LastErrorText().Data(), "Unknown config setting.");
  // The base's own names still answer.
  ASSERT_EQ(parser.Set("LogLevel=3"), 0);
  EXPECT_EQ(parser.Get("LogLevel"), "3");
}

TEST(XmlSettings, AllowLeadingDigitChangesWhatAPathStepAcceptsAsAName) {
  Parser parser;
  XmlDom& dom = parser.Document().Dom();
  ASSERT_EQ(dom.WriteElement("r", 1, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(dom.WriteElement("1a", 2, 0, 0, 1, 0, 0, 0), 0);
  dom.CloseElement(2, 0, 0);
  dom.CloseElement(1, 0, 0);
  EXPECT_EQ(parser.SetXPath("/r/1a"), 207);
  EXPECT_STREQ(parser.LastErrorText().Data(), "Invalid XPath.");
  ASSERT_EQ(parser.Set("AllowLeadingDigit=true"), 0);
  EXPECT_EQ(parser.SetXPath("/r/1a"), 0);
  EXPECT_STREQ(dom.LocalName(dom.Current()), "1a");
  ASSERT_EQ(parser.Set("AllowLeadingDigit=false"), 0);
  EXPECT_EQ(parser.SetXPath("/r/1a"), 207);
}

TEST(XmlSettings, SubTreeAndContentsSliceTheKeptInput) {
  Parser parser;
  const std::string input = "<r><a x='1'>hi</a></r>";
  ASSERT_EQ(parser.Document().Input().SetString(input.c_str()), 0);
  XmlDom& dom = parser.Document().Dom();
  // Positions as the tokenizer records them for <a>: its "<", past its ">", its end tag's "<", past it.
  ASSERT_EQ(dom.WriteElement("r", 1, 0, 0, 0, 0, 0, 3), 0);
  ASSERT_EQ(dom.WriteElement("a", 2, 0, 0, 0, 0, 3, 12), 0);
  dom.CloseElement(2, 18, 14);
  dom.CloseElement(1, 22, 18);
  EXPECT_EQ(parser.Get("XSubTree"), input);  // closing the root made it current
  dom.SetCurrent(0);
  EXPECT_EQ(parser.Get("XContents"), "");
  ASSERT_EQ(parser.SetXPath("/r/a"), 0);
  EXPECT_EQ(parser.Get("XSubTree"), "<a x='1'>hi</a>");
  EXPECT_EQ(parser.Get("XContents"), "hi");
  EXPECT_EQ(std::string(parser.SubTreeReply().Data()), "<a x='1'>hi</a>");
  EXPECT_EQ(parser.Set("XSubTree=anything"), 0);
  ASSERT_EQ(parser.Set("KeepOriginalText=0"), 0);
  EXPECT_EQ(parser.Get("XSubTree"), "");
  EXPECT_STREQ(parser.Document().ErrorText().Data(), "Subtree not available unless KeepOriginalText is set.");
  // Positions past the input (a loaded store, a shorter input) are cut to it.
  ASSERT_EQ(parser.Set("KeepOriginalText=1"), 0);
  ASSERT_EQ(parser.Document().Input().SetString("<r><a"), 0);
  EXPECT_EQ(parser.Get("XSubTree"), "<a");
}

TEST(XmlSettings, BuildDomAndValidateSetTheirCompanions) {
  Parser parser;
  XmlSettings& s = parser.Document().Settings();
  parser.SetValidate(0);
  EXPECT_EQ(s.validate, 0);
  EXPECT_EQ(s.keep_original_text, 0);
  parser.SetBuildDom(1);
  EXPECT_EQ(s.build_dom, 1);
  EXPECT_EQ(s.validate, 1);
  EXPECT_EQ(s.keep_original_text, 1);
  parser.SetValidate(0);
  EXPECT_EQ(s.build_dom, 0);
  EXPECT_EQ(s.keep_original_text, 0);
}

}  // namespace
}  // namespace velmora::parsers
