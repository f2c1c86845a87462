#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "component/config_setting_parts.h"
#include "platform/memory.h"
#include "tests/test_support.h"

namespace velmora::component {
namespace {

using testing_support::Text;

struct ParseCase {
  const char* text;
  const char* name;
  const char* value;
  const char* index_text;
  int32_t index;
  int query;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ConfigSettingPartsParse : public testing::TestWithParam<ParseCase> {};

TEST_P(ConfigSettingPartsParse, SplitsNameIndexAndValue) {
  const ParseCase& c = GetParam();
  ConfigSettingParts parts;
  ASSERT_EQ(parts.Parse(c.text, 0), 0);
  EXPECT_EQ(Text(parts.Name()), c.name);
  EXPECT_EQ(Text(parts.Value()), c.value);
  EXPECT_EQ(Text(parts.IndexText()), c.index_text);
  EXPECT_EQ(parts.Index(), c.index);
  EXPECT_EQ(parts.Query(), c.query);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigSettingPartsParse,
    testing::Values(
        // Queries keep the name exactly as written.
        ParseCase{"LogLevel", "LogLevel", "", "", -1, 1},
        ParseCase{"LogLevel ", "LogLevel ", "", "", -1, 1},
        ParseCase{"Name(2)", "Name", "", "2", 2, 1},
        ParseCase{"Name[3", "Name", "", "", -1, 1},  // an index never closed is dropped
        // '=' with nothing after it: empty value, name untrimmed.
        ParseCase{"LogLevel=", "LogLevel", "", "", -1, 0},
        ParseCase{" LogLevel =", " LogLevel ", "", "", -1, 0},
        // Blanks round name and value go.
        ParseCase{"  LogLevel  =  3 ", "LogLevel", "3", "", -1, 0},
        ParseCase{"Name=   ", "Name", "", "", -1, 0},
        ParseCase{"A=b=c", "A", "b=c", "", -1, 0},
        // Indexes.
        ParseCase{"Name[2]=x", "Name", "x", "2", 2, 0},
        ParseCase{"Name[ab]=x", "Name", "x", "ab", -1, 0},
        ParseCase{"Name[ 7 ]=x", "Name", "x", "7", 7, 0},
        ParseCase{"Name[-4]=x", "Name", "x", "-4", -4, 0},
        ParseCase{"Na[1]me=x", "Name", "x", "1", 1, 0},
        ParseCase{"Name]=x", "Name]", "x", "", -1, 0},
        // Quotes: a pair is removed, an opening one alone is removed, a closing one alone stays.
        ParseCase{"Name=\"quoted value\"", "Name", "quoted value", "", -1, 0},
        ParseCase{"Name = \" padded \"  ", "Name", " padded ", "", -1, 0},
        ParseCase{"Name=\"open", "Name", "open", "", -1, 0},
        ParseCase{"Name=close\"", "Name", "close\"", "", -1, 0},
        ParseCase{"Name=\"", "Name", "", "", -1, 0},
        ParseCase{"Name=\"a\\tb\\\"", "Name", "a\\tb\\", "", -1, 0}));

TEST(ConfigSettingPartsParseText, NullTextGivesEmptySettingThatIsNotAQuery) {
  ConfigSettingParts parts;
  ASSERT_EQ(parts.Parse("Old[5]", 0), 0);
  ASSERT_EQ(parts.Parse(nullptr, 0), 0);
  EXPECT_TRUE(parts.Name().IsEmpty());
  EXPECT_EQ(parts.Query(), 0);
  EXPECT_EQ(parts.Index(), -1);  // nothing of the earlier text survives
}

TEST(ConfigSettingPartsParseText, EscapesDecodedOnlyInQuotedValuesWhenAsked) {
  ConfigSettingParts parts;
  ASSERT_EQ(parts.Parse("N=\"a\\tb\\nc\\rd\\\\e\\qf\\\"", 1), 0);
  EXPECT_EQ(Text(parts.Value()), "a\tb\nc\rd\\eqf\\");
  ASSERT_EQ(parts.Parse("N=a\\tb", 1), 0);
  EXPECT_EQ(Text(parts.Value()), "a\\tb");
}

TEST(ConfigSettingPartsParseText, OutOfMemoryReturns200) {
  const std::string long_name(150, 'n');
  ConfigSettingParts parts;
  testing_support::FailingAllocations fail;
  EXPECT_EQ(parts.Parse((long_name + "=1").c_str(), 0), 200);
  EXPECT_EQ(parts.Parse(("N=" + long_name).c_str(), 0), 200);
}

// ---- value conversions ----

struct ValueCase {
  const char* value;
  int as_bool;
  int32_t as_int;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << '"' << c.value << '"'; }

class ConfigValueConversion : public testing::TestWithParam<ValueCase> {};

TEST_P(ConfigValueConversion, BoolAndIntReadings) {
  ConfigSettingParts parts;
  ASSERT_EQ(parts.Parse((std::string("K=") + GetParam().value).c_str(), 0), 0);
  EXPECT_EQ(ParseConfigBool(parts), GetParam().as_bool) << GetParam().value;
  EXPECT_EQ(ParseConfigInt(parts), GetParam().as_int) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, ConfigValueConversion,
                         testing::Values(ValueCase{"TRUE", 1, 1}, ValueCase{"true", 1, 1}, ValueCase{"YES", 1, 1},
                                         ValueCase{"1", 1, 1}, ValueCase{"2", 0, 2}, ValueCase{"False", 0, 0},
                                         ValueCase{"NO", 0, 0}, ValueCase{"0x3A", 0, 58}, ValueCase{"0XfF", 0, 255},
                                         ValueCase{"12abc", 0, 12}, ValueCase{"-7", 0, -7}, ValueCase{"abc", 0, 0},
                                         ValueCase{"0x", 0, 0}, ValueCase{"01", 0, 1}));

}  // namespace
}  // namespace velmora::component
