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

struct IsoTree : TreeParser {
  explicit IsoTree(const std::string& path) : TreeParser(3), text(ReadFile(path)) { rc = ParseText(text.c_str()); }
  std::string text;
  int rc;
};

std::string Base64(const char* text) {
  core::Buffer out;
  EXPECT_EQ(core::Base64Encode(out, text, static_cast<int32_t>(std::strlen(text)), 0, 0, 0), 0);
  return testing_support::Text(out);
}

TEST(JsonIsoCodes, TreesAndStreamEventsAgreeWithPython) {
  if (IsoCodesFolder().empty() || !testing_support::PythonAvailable()) GTEST_SKIP() << "iso-codes or python3 is missing";
  std::string batch;
  for (const char* name : kDataFiles) {
    for (const std::string& path : {DataPath(name), SchemaPath(name)}) {
      IsoTree tree(path);
      ASSERT_EQ(tree.rc, 0) << path;
      const std::string dump = DumpTree(tree.Root());
      batch += CheckerCase(path.substr(path.rfind('/') + 1), tree.text, dump);
      // Once the tree is python's, its scalars are python's: stream mode gives one value for each.
      size_t scalars = 0;
      for (const auto& f : testing_support::Lines(dump)) scalars += f[2] >= "2" ? 1 : 0;
      for (uint32_t markers : {0u, 1u}) {
        RecordingParser stream;
        stream.BeginStream();
        stream.SetBracketMarkerMode(markers);
        ASSERT_EQ(stream.ParseText(tree.text.c_str()), 0) << path;
        EXPECT_EQ(stream.values.size(), scalars) << path;
        EXPECT_EQ(stream.PathStack().Count(), 0u) << path;
        EXPECT_EQ(stream.document_starts + stream.document_ends, 2);
        if (markers == 0) {
          EXPECT_EQ(stream.unmatched, 0) << path;
          EXPECT_TRUE(stream.open.empty()) << path;
        }
        for (const char* pair : {"{}", "[]"}) {
          EXPECT_EQ(std::count(stream.starts.begin(), stream.starts.end(), std::string(1, pair[0])),
                    std::count(stream.ends.begin(), stream.ends.end(), std::string(1, pair[1]))) << path;
        }
      }
    }
  }
  EXPECT_EQ(CheckTrees(batch), 16);
}

// A file's array ten times over makes a tree large enough to take its nodes and texts from runs:
// by either tree path, each element equals its twin in the one-fold tree (which the test above checks
// against python), with its positions shifted by the length of the copies before it.
TEST(JsonIsoCodes, TenfoldTreeEqualsTenCopiesOfTheOnefoldTree) {
  if (IsoCodesFolder().empty()) GTEST_SKIP() << "iso-codes is missing";
  const std::string one = ReadFile(DataPath("639-3"));
  const size_t open = one.find('['), close = one.rfind(']');
  const std::string elements = one.substr(open + 1, close - open - 1);
  std::string tenfold = one.substr(0, open + 1);
  for (int i = 0; i < 10; ++i) tenfold += (i == 0 ? "" : ",") + elements;
  tenfold += one.substr(close);
  auto text = [](const char* data, int32_t length) { return std::string(data, static_cast<size_t>(length)); };
  auto same = [&](const JsonNode* a, const JsonNode* b, uint32_t shift) {
    return a->Type() == b->Type() && a->ChildCount() == b->ChildCount() &&
           text(a->NameText(), a->NameLength()) == text(b->NameText(), b->NameLength()) &&
           text(a->ValueText(), a->ValueLength()) == text(b->ValueText(), b->ValueLength()) &&
           a->StartPosition() + shift == b->StartPosition() && a->EndPosition() + shift == b->EndPosition() &&
           (a->ValueStart() == 0 ? 0 : a->ValueStart() + shift) == b->ValueStart();
  };
  for (const bool stepwise : {false, true}) {
    internal::ForceStepwiseJson(stepwise);
    JsonParser small, large;
    for (JsonParser* parser : {&small, &large}) {
      parser->SetTreeMode(1);
      parser->SetUnescapeOptions(3);
    }
    const int small_rc = small.ParseText(one.c_str());
    const int large_rc = large.ParseText(tenfold.c_str());
    internal::ForceStepwiseJson(false);
    ASSERT_EQ(small_rc, 0);
    ASSERT_EQ(large_rc, 0);
    const JsonNode* array = small.Root()->FirstChild();
    const JsonNode* big_array = large.Root()->FirstChild();
    ASSERT_TRUE(array != nullptr && big_array != nullptr);
    ASSERT_EQ(big_array->ChildCount(), 10 * array->ChildCount());
    uint32_t copy = 0, mismatches = 0;
    const JsonNode* twin = array->FirstChild();
    for (const JsonNode* element = big_array->FirstChild(); element != nullptr; element = element->NextSibling()) {
      const auto shift = static_cast<uint32_t>(copy * (elements.size() + 1));
      bool equal = same(twin, element, shift);
      for (const JsonNode *a = twin->FirstChild(), *b = element->FirstChild(); equal && a != nullptr;
           a = a->NextSibling(), b = b->NextSibling()) {
        equal = same(a, b, shift) && a->FirstChild() == nullptr;
      }
      mismatches += equal ? 0 : 1;
      if ((twin = twin->NextSibling()) == nullptr) {
        twin = array->FirstChild();
        ++copy;
      }
    }
    EXPECT_EQ(copy, 10u) << "stepwise " << stepwise;
    EXPECT_EQ(mismatches, 0u) << "stepwise " << stepwise;
  }
}

// MemberOf selects element `step` of the file's array and picks one of its member names.
std::string MemberOf(IsoTree& tree, const std::string& array, const std::string& step, std::mt19937_64& rng) {
  EXPECT_EQ(tree.EvalPath(("/json/" + array + "/" + step).c_str()), 0);
  const JsonNode* child = tree.Selected()->FirstChild();
  for (uint64_t pick = rng() % tree.Selected()->ChildCount(); pick > 0; --pick) child = child->NextSibling();
  return child->Name().Data();
}

uint32_t ElementCount(IsoTree& tree, const std::string& array) {
  EXPECT_EQ(tree.EvalPath(("/json/" + array).c_str()), 0);
  return tree.Selected()->ChildCount();
}

TEST(JsonIsoCodes, PathsSelectWhatJqSelects) {
  if (IsoCodesFolder().empty() || std::system("jq --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "iso-codes or jq is missing";
  const uint64_t seed = std::random_device{}();
  std::printf("path seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  int compared = 0;
  for (const char* name : kDataFiles) {
    const std::string array = name;
    IsoTree tree(DataPath(array));
    const uint32_t count = ElementCount(tree, array);
    // Each query: our two forms and jq's filter on the element array $a.
    std::vector<std::array<std::string, 3>> queries;
    for (int q = 0; q < 252; ++q) {
      const std::string n = std::to_string(rng() % count);
      const std::string member = MemberOf(tree, array, "[" + std::to_string(std::stoul(n) + 1) + "]", rng);
      queries.push_back({"/json/" + array + "/[" + std::to_string(std::stoul(n) + 1) + "]/" + member,
                         "$['" + array + "'][" + n + "]['" + member + "']", "$a[" + n + "][\"" + member + "\"]"});
    }
    for (const char* last : {"last()", "last()-1"}) {
      const std::string member = MemberOf(tree, array, std::string("[") + last + "]", rng);
      queries.push_back({"/json/" + array + "/[" + last + "]/" + member, "$['" + array + "'][" + last + "]['" + member + "']",
                         std::string("$a[") + (last[6] == '-' ? "-2" : "-1") + "][\"" + member + "\"]"});
    }
    std::string program = ".[\"" + array + "\"] as $a | ";
    for (size_t q = 0; q < queries.size(); ++q) program += (q == 0 ? "(" : ", (") + queries[q][2] + " | tostring | \"b\" + @base64)";
    const std::string program_path = testing_support::TempPath("jq_" + array + ".jq");
    const testing_support::RemovedAtExit remove_program({program_path});
    std::ofstream(program_path) << program;
    std::string out;
    ASSERT_TRUE(RunCommand("jq -r -f " + program_path + " " + DataPath(array), &out));
    const auto lines = testing_support::Lines(out);
    ASSERT_EQ(lines.size(), queries.size()) << array;
    for (size_t q = 0; q < queries.size(); ++q) {
      for (int form = 0; form < 2; ++form) {
        ASSERT_EQ(tree.EvalPath(queries[q][form].c_str()), 0) << queries[q][form];
        EXPECT_EQ("b" + Base64(tree.CurrentName()), lines[q][0]) << queries[q][form];
      }
      ++compared;
    }
  }
  EXPECT_GE(compared, 2000);
}

// Reads lines "file<TAB>path<TAB>ours in base64" and prints "ok" when jsonpath-plus selects exactly one
// value there that equals ours: the same string, or for an object or array what our source text holds.
const char kJsonPathPlus[] = R"JS(
const {JSONPath} = require(process.argv[2] + '/jsonpath-plus');
const fs = require('fs'), util = require('util'), docs = {};
for (const line of fs.readFileSync(0, 'utf8').split('\n').filter(Boolean)) {
  const [file, path, ours64] = line.split('\t');
  docs[file] = docs[file] || JSON.parse(fs.readFileSync(file, 'utf8'));
  const ours = Buffer.from(ours64, 'base64').toString('utf8');
  const found = JSONPath({path, json: docs[file], wrap: true}), v = found[0];
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
  std::string batch, expected;
  auto ask = [&](IsoTree& tree, const std::string& file, const std::string& path) {
    ASSERT_EQ(tree.EvalPath(path.c_str()), 0) << path;
    batch += file + "\t" + path + "\t" + Base64(tree.CurrentName()) + "\n";
    expected += "ok\n";
  };
  for (const char* name : kDataFiles) {
    const std::string array = name;
    IsoTree data(DataPath(array));
    const uint32_t count = ElementCount(data, array);
    for (int q = 0; q < 10; ++q) {
      const std::string n = std::to_string(rng() % count);
      const std::string member = MemberOf(data, array, "[" + std::to_string(std::stoul(n) + 1) + "]", rng);
      ask(data, DataPath(array), "$." + array + "[" + n + "]." + member);
      ask(data, DataPath(array), "$['" + array + "'][" + n + "]");
      ask(data, DataPath(array), "$['" + array + "'][" + n + "]['" + member + "']");
    }
    IsoTree schema(SchemaPath(array));
    for (const std::string& path : {std::string("$.title"), "$.properties." + array + ".type", "$['properties']['" + array + "']['items']", std::string("$.properties")}) {
      ask(schema, SchemaPath(array), path);
    }
  }
  const std::string script_path = testing_support::TempPath("jsonpath_plus.js");
  const std::string input_path = testing_support::TempPath("jsonpath_plus.txt");
  const testing_support::RemovedAtExit remove_files({script_path, input_path});
  std::ofstream(script_path) << kJsonPathPlus;
  std::ofstream(input_path) << batch;
  std::string out;
  ASSERT_TRUE(RunCommand("node " + script_path + " " + npm + " < " + input_path, &out));
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace velmora::parsers::testing
