// The parser on the JSON files of Debian's iso-codes: trees as python reads them, stream events outside
// and inside bracket-marker mode, and path queries against jq and npm jsonpath-plus.
#include <gtest/gtest.h>

#include "core/base64.h"
#include "tests/parsers/json_test_support.h"

namespace velmora::parsers::testing {
namespace {

const char* const kDataFiles[] = {"15924", "3166-1", "3166-2", "3166-3", "4217", "639-2", "639-3", "639-5"};

std::string DataPath(const std::string& name) { return IsoCodesFolder() + "/iso_" + name + ".json"; }
std::string SchemaPath(const std::string& name) { return IsoCodesFolder() + "/schema-" + name + ".json"; }

// Tree mode with the input kept, both unescape options and the raw-text fallback.
struct IsoTree : RecordingParser {
  explicit IsoTree(const std::string& text) {
    BeginStream();
    SetTreeMode(1);
    SetUnescapeOptions(3);
    SetRawNameFallback(1);
    rc = ParseText(text.c_str());
  }
  int rc;
};

std::string Base64(const std::string& bytes) {
  core::Buffer out;
  EXPECT_EQ(core::Base64Encode(out, bytes.data(), static_cast<int32_t>(bytes.size()), 0, 0, 0), 0);
  return "b" + testing_support::Text(out);
}

TEST(JsonIsoCodes, TreesAreThoseOfPython) {
  if (IsoCodesFolder().empty() || !testing_support::PythonAvailable()) GTEST_SKIP() << "iso-codes or python3 is missing";
  std::string batch;
  for (const char* name : kDataFiles) {
    for (const std::string& path : {DataPath(name), SchemaPath(name)}) {
      const std::string text = ReadFile(path);
      IsoTree parser(text);
      ASSERT_EQ(parser.rc, 0) << path;
      batch += CheckerCase(path.substr(path.rfind('/') + 1), text, DumpTree(parser.Root()));
    }
  }
  std::string verdicts;
  ASSERT_TRUE(testing_support::RunPython(kTreeChecker, "", batch, &verdicts));
  int ok = 0;
  for (const auto& line : testing_support::Lines(verdicts)) {
    if (line[0] == "ok") ++ok;
    else ADD_FAILURE() << "python disagrees: " << line[1];
  }
  EXPECT_EQ(ok, 16);
}

// Counts python's scalars (strings, numbers, literals) in each file named on the command line.
const char kScalarCounter[] = R"PY(
import json, sys
def count(v):
    if isinstance(v, dict): return sum(count(x) for x in v.values())
    if isinstance(v, list): return sum(count(x) for x in v)
    return 1
for path in sys.argv[1:]: print(count(json.load(open(path, encoding='utf-8'))))
)PY";

TEST(JsonIsoCodes, StreamEventsBalanceAndGiveEveryScalar) {
  if (IsoCodesFolder().empty() || !testing_support::PythonAvailable()) GTEST_SKIP() << "iso-codes or python3 is missing";
  std::vector<std::string> paths;
  std::string arguments;
  for (const char* name : kDataFiles) {
    for (const std::string& path : {DataPath(name), SchemaPath(name)}) {
      paths.push_back(path);
      arguments += " " + path;
    }
  }
  std::string counts;
  ASSERT_TRUE(testing_support::RunPython(kScalarCounter, arguments, "", &counts));
  const auto lines = testing_support::Lines(counts);
  ASSERT_EQ(lines.size(), paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string text = ReadFile(paths[i]);
    for (uint32_t markers : {0u, 1u}) {
      RecordingParser parser;
      parser.BeginStream();
      parser.SetBracketMarkerMode(markers);
      ASSERT_EQ(parser.ParseText(text.c_str()), 0) << paths[i];
      EXPECT_EQ(std::to_string(parser.values.size()), lines[i][0]) << paths[i];
      EXPECT_EQ(parser.PathStack().Count(), 0u) << paths[i];
      EXPECT_EQ(parser.document_starts, 1);
      EXPECT_EQ(parser.document_ends, 1);
      if (markers == 0) {
        EXPECT_EQ(parser.unmatched, 0) << paths[i];
        EXPECT_TRUE(parser.open.empty()) << paths[i];
      } else {
        auto count = [](const std::vector<std::string>& v, const char* s) { return std::count(v.begin(), v.end(), s); };
        EXPECT_EQ(count(parser.starts, "{"), count(parser.ends, "}")) << paths[i];
        EXPECT_EQ(count(parser.starts, "["), count(parser.ends, "]")) << paths[i];
      }
    }
  }
}

struct PathQuery {
  std::string xpath;      // our XPath-like form
  std::string json_path;  // our JSONPath form
  std::string jq;         // jq's filter on the element array
};

// MemberOf picks a member name of element N (1-based) of the array at the root.
std::string MemberOf(IsoTree& parser, const std::string& array, const std::string& element, std::mt19937_64& rng) {
  EXPECT_EQ(parser.EvalPath(("/json/" + array + "/" + element).c_str()), 0);
  const JsonNode* node = parser.Selected();
  const uint32_t pick = static_cast<uint32_t>(rng() % node->ChildCount());
  const JsonNode* child = node->FirstChild();
  for (uint32_t i = 0; i < pick; ++i) child = child->NextSibling();
  return child->Name().Data();
}

TEST(JsonIsoCodes, PathsSelectWhatJqSelects) {
  if (IsoCodesFolder().empty() || std::system("jq --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "iso-codes or jq is missing";
  const uint64_t seed = std::random_device{}();
  std::printf("path seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  constexpr int kQueries = 2000;
  int compared = 0;
  for (size_t f = 0; f < std::size(kDataFiles); ++f) {
    const std::string array = kDataFiles[f];
    const std::string text = ReadFile(DataPath(array));
    IsoTree parser(text);
    ASSERT_EQ(parser.rc, 0);
    ASSERT_EQ(parser.EvalPath(("/json/" + array).c_str()), 0);
    const uint32_t count = parser.Selected()->ChildCount();
    std::vector<PathQuery> queries;
    const int share = kQueries / static_cast<int>(std::size(kDataFiles));
    for (int q = 0; q < share; ++q) {
      const uint32_t n = 1 + static_cast<uint32_t>(rng() % count);
      const std::string member = MemberOf(parser, array, "[" + std::to_string(n) + "]", rng);
      queries.push_back({"/json/" + array + "/[" + std::to_string(n) + "]/" + member,
                         "$['" + array + "'][" + std::to_string(n - 1) + "]['" + member + "']",
                         "$a[" + std::to_string(n - 1) + "][\"" + member + "\"]"});
    }
    for (const char* last : {"last()", "last()-1"}) {
      const std::string member = MemberOf(parser, array, std::string("[") + last + "]", rng);
      const std::string index = std::string(last) == "last()" ? "-1" : "-2";
      queries.push_back({"/json/" + array + "/[" + last + "]/" + member, "$['" + array + "'][" + last + "]['" + member + "']",
                         "$a[" + index + "][\"" + member + "\"]"});
    }
    std::string program = ".[\"" + array + "\"] as $a | ";
    for (size_t q = 0; q < queries.size(); ++q) {
      program += (q == 0 ? "(" : ", (") + queries[q].jq + " | tostring | \"b\" + @base64)";
    }
    const std::string program_path = ::testing::TempDir() + "velmora_jq_" + array + ".jq";
    std::ofstream(program_path) << program;
    std::string out;
    ASSERT_TRUE(RunCommand("jq -r -f " + program_path + " " + DataPath(array), &out));
    const auto lines = testing_support::Lines(out);
    ASSERT_EQ(lines.size(), queries.size()) << array;
    for (size_t q = 0; q < queries.size(); ++q) {
      ASSERT_EQ(parser.EvalPath(queries[q].xpath.c_str()), 0) << queries[q].xpath;
      EXPECT_EQ(Base64(parser.CurrentName()), lines[q][0]) << queries[q].xpath;
      ASSERT_EQ(parser.EvalPath(queries[q].json_path.c_str()), 0) << queries[q].json_path;
      EXPECT_EQ(Base64(parser.CurrentName()), lines[q][0]) << queries[q].json_path;
      ++compared;
    }
  }
  EXPECT_GE(compared, kQueries);
}

// kJsonPathPlus reads lines "file<TAB>path<TAB>ours in base64" and prints "ok" when jsonpath-plus
// selects exactly one value there that equals ours: the same string, or for an object or array the
// value our source text stands for.
const char kJsonPathPlus[] = R"JS(
const {JSONPath} = require(process.argv[2] + '/jsonpath-plus');
const fs = require('fs');
const util = require('util');
const docs = {};
for (const line of fs.readFileSync(0, 'utf8').split('\n').filter(Boolean)) {
  const [file, path, ours64] = line.split('\t');
  docs[file] = docs[file] || JSON.parse(fs.readFileSync(file, 'utf8'));
  const ours = Buffer.from(ours64, 'base64').toString('utf8');
  const found = JSONPath({path, json: docs[file], wrap: true});
  const v = found[0];
  const same = found.length === 1 && (typeof v === 'string' ? v === ours : util.isDeepStrictEqual(JSON.parse(ours), v));
  console.log(same ? 'ok' : 'bad ' + path);
}
)JS";

TEST(JsonIsoCodes, JsonPathFormsSelectWhatJsonPathPlusSelects) {
  const std::string npm = NpmFolder();
  if (IsoCodesFolder().empty() || npm.empty()) GTEST_SKIP() << "iso-codes or the npm test data is missing";
  const uint64_t seed = std::random_device{}();
  std::printf("jsonpath seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  std::string batch;
  int queries = 0;
  auto ask = [&](IsoTree& parser, const std::string& file, const std::string& path) {
    ASSERT_EQ(parser.EvalPath(path.c_str()), 0) << path;
    core::Buffer ours;
    ASSERT_EQ(core::Base64Encode(ours, parser.CurrentName(), static_cast<int32_t>(std::strlen(parser.CurrentName())), 0, 0, 0), 0);
    batch += file + "\t" + path + "\t" + testing_support::Text(ours) + "\n";
    ++queries;
  };
  for (const char* name : kDataFiles) {
    const std::string array = name;
    IsoTree data(ReadFile(DataPath(array)));
    ASSERT_EQ(data.EvalPath(("/json/" + array).c_str()), 0);
    const uint32_t count = data.Selected()->ChildCount();
    for (int q = 0; q < 10; ++q) {
      const uint32_t n = static_cast<uint32_t>(rng() % count);
      const std::string member = MemberOf(data, array, "[" + std::to_string(n + 1) + "]", rng);
      ask(data, DataPath(array), "$." + array + "[" + std::to_string(n) + "]." + member);
      ask(data, DataPath(array), "$['" + array + "'][" + std::to_string(n) + "]");
      ask(data, DataPath(array), "$['" + array + "'][" + std::to_string(n) + "]['" + member + "']");
    }
    IsoTree schema(ReadFile(SchemaPath(array)));
    ASSERT_EQ(schema.rc, 0);
    ask(schema, SchemaPath(array), "$.title");
    ask(schema, SchemaPath(array), "$.properties." + array + ".type");
    ask(schema, SchemaPath(array), "$['properties']['" + array + "']['items']");
    ask(schema, SchemaPath(array), "$.properties");
  }
  std::string out;
  const std::string script_path = ::testing::TempDir() + "velmora_jsonpath_plus.js";
  const std::string input_path = ::testing::TempDir() + "velmora_jsonpath_plus.txt";
  std::ofstream(script_path) << kJsonPathPlus;
  std::ofstream(input_path) << batch;
  ASSERT_TRUE(RunCommand("node " + script_path + " " + npm + " < " + input_path, &out));
  EXPECT_EQ(out, [&] {
    std::string all;
    for (int i = 0; i < queries; ++i) all += "ok\n";
    return all;
  }());
}

}  // namespace
}  // namespace velmora::parsers::testing
