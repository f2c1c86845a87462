#include "core/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/str_list.h"
#include "tests/test_support.h"

namespace velmora::core {
namespace {
using testing_support::Items;

TEST(SplitToStrListTest, SeparatorRunsAndTheTrailingEmptyItem) {
  StrList list;
  ASSERT_EQ(SplitToStrList("a  b", " \r\n\t", list), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b"}));
  list.Clear();
  // Two separators after the last token leave one empty item; callers skip it.
  ASSERT_EQ(SplitToStrList("a  ", " \r\n\t", list), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"a", ""}));
  list.Clear();
  ASSERT_EQ(SplitToStrList("", " ", list), kOk);
  EXPECT_EQ(list.Count(), 0);
  ASSERT_EQ(SplitToStrList(" \t ", " \r\n\t", list), kOk);
  EXPECT_EQ(Items(list), (std::vector<std::string>{""}));
  ASSERT_EQ(SplitToStrList("x y", " ", list), kOk);
  EXPECT_EQ(list.Count(), 3);  // appended, not replaced
}

TEST(TokenizerTest, CutsInPlaceAndReportsTheEnd) {
  Tokenizer tokenizer;
  ASSERT_EQ(tokenizer.InitCString("//json//kty/", "/"), kOk);
  EXPECT_STREQ(tokenizer.Next(), "json");
  EXPECT_STREQ(tokenizer.Next(), "kty");
  EXPECT_EQ(tokenizer.Status(), 0);
  EXPECT_STREQ(tokenizer.Next(), "");
  EXPECT_EQ(tokenizer.Status(), Tokenizer::kStatusEnd);

  ASSERT_EQ(tokenizer.InitCString("one two", nullptr), kOk);
  EXPECT_STREQ(tokenizer.Next(), "one two");

  ASSERT_EQ(tokenizer.InitCString(",a", ","), kOk);
  tokenizer.SetSkipLeadingSeparators(false);
  EXPECT_STREQ(tokenizer.Next(), "");
  EXPECT_STREQ(tokenizer.Next(), "a");
}

TEST(TokenizerTest, QuotedPartsStayWholeAndStopAtTheEnd) {
  Tokenizer tokenizer;
  ASSERT_EQ(tokenizer.InitCString(R"(a "b c" 'd \' e'f g)", " "), kOk);
  tokenizer.SetHonourQuotes(true);
  EXPECT_STREQ(tokenizer.Next(), "a");
  EXPECT_STREQ(tokenizer.Next(), "\"b c\"");
  EXPECT_STREQ(tokenizer.Next(), R"('d \' e'f)");
  EXPECT_STREQ(tokenizer.Next(), "g");

  // A backslash as the last character must not carry the scan past the text.
  const char text[] = "x \"ab\\";
  ASSERT_EQ(tokenizer.InitCString(text, " "), kOk);
  tokenizer.SetHonourQuotes(true);
  EXPECT_STREQ(tokenizer.Next(), "x");
  EXPECT_EQ(tokenizer.Position(), 2);
  EXPECT_EQ(tokenizer.SkipQuoted(), tokenizer.TextLength());
  EXPECT_STREQ(tokenizer.Next(), "\"ab\\");
  EXPECT_EQ(tokenizer.Position(), tokenizer.TextLength());
  EXPECT_STREQ(tokenizer.Next(), "");

  ASSERT_EQ(tokenizer.InitCString("\"", " "), kOk);
  EXPECT_EQ(tokenizer.SkipQuoted(), 1);
}

}  // namespace
}  // namespace velmora::core
