// The parser's own cases: path forms and replies, the JWK reader's road against python, hooks and stream
// events, the document modes, comments, and the handling of surrogates, unknown escapes and trailing
// commas.
#include <gtest/gtest.h>

#include <set>

#include "component/config_setting_parts.h"
#include "parsers/json_path.h"
#include "platform/memory.h"
#include "tests/parsers/json_test_support.h"

namespace velmora::parsers::testing {
namespace {

using Strings = std::vector<std::string>;

// Shape is a dump without positions: depth, type, name and value of each node.
std::string Shape(const JsonNode* root) {
  std::string out;
  for (const auto& f : testing_support::Lines(DumpTree(root))) out += f[1] + " " + f[2] + " " + f[3] + " " + f[4] + "\n";
  return out;
}

std::string TreeShape(const std::string& text, uint32_t unescape = 0) {
  TreeParser parser(unescape);
  EXPECT_EQ(parser.ParseText(text.c_str()), 0) << text;
  return Shape(parser.Root());
}

const char kDocument[] = R"({"kty":"RSA","keys":[1,{"b":2},3],"a":5,"x":[],"a[1]":7,"e":""})";

TEST(JsonPaths, SelectionRepliesAndLabels) {
  TreeParser parser;
  ASSERT_EQ(parser.ParseText(kDocument), 0);
  struct Case {
    const char* path;
    const char* reply;
    const char* current;
    int type;
  };
  const Case kCases[] = {
      {"/json/kty", "/json/kty", "RSA", 2},
      {"$.kty", "$['kty']", "RSA", 2},
      {"$['kty']", "$['kty']", "RSA", 2},
      {"/json/KTY", "/json/kty", "RSA", 2},
      {"/json/[1]", "/json/kty", "RSA", 2},
      {"/json/keys/[2]", "/json/keys/[2]", "{\"b\":2}", 0},
      {"$.keys[1]", "$['keys'][1]", "{\"b\":2}", 0},
      {"$.keys[1].b", "$['keys'][1]['b']", "2", 3},
      {"/json/keys/[last()]", "/json/keys/[3]", "3", 3},
      {"/json/keys/[last()-1]", "/json/keys/[2]", "{\"b\":2}", 0},
      {"/json/kty/next()", "/json/keys", "[1,{\"b\":2},3]", 1},
      {"/json/kty/last()", "/json/e", "", 2},
      {"/json/keys/..", "/json", kDocument, 0},
      {"/json/", "/json", kDocument, 0},
      {"//json//x", "/json/x", "[]", 1},
      {"/json/a\\[1\\]", "/json/a[1]", "7", 3},
  };
  for (const Case& c : kCases) {
    ASSERT_EQ(parser.EvalPath(c.path), 0) << c.path;
    EXPECT_STREQ(parser.PathReply().Data(), c.reply) << c.path;
    EXPECT_STREQ(parser.CurrentName(), c.current) << c.path;
    EXPECT_EQ(parser.NodeType(), c.type) << c.path;
  }
  ASSERT_EQ(parser.EvalPath("/json/keys/[2]"), 0);
  EXPECT_STREQ(parser.Selected()->IndexLabel().Data(), "[2]");
  for (const char* missing : {"$..x", "$.a[*]", "/json/nothing", "/json/[9]", "/json/keys/[0]", "@", ".", ""}) {
    EXPECT_EQ(parser.EvalPath(missing), kJsonPathNotFound) << missing;
    EXPECT_STREQ(parser.LastErrorText().Data(), "Invalid XPath.");
  }
  EXPECT_STREQ(parser.PathReply().Data(), "/json/keys/[2]");
  EXPECT_EQ(PathTokenLength("'a\\'b'.c"), 6);
  EXPECT_EQ(PathTokenLength("'open"), 5);
  EXPECT_EQ(PathTokenLength("...x"), 3);

  // Relative paths start at the selection; with none, the first step names the root.
  TreeParser fresh;
  ASSERT_EQ(fresh.ParseText(kDocument), 0);
  EXPECT_EQ(fresh.EvalPath("kty"), kJsonPathNotFound);
  EXPECT_EQ(fresh.AttrExists("json/kty"), 1);
  ASSERT_EQ(fresh.EvalPath("/json"), 0);
  EXPECT_EQ(fresh.EvalPath("kty"), 0);
  EXPECT_STREQ(fresh.SelectedName(), "kty");
  fresh.Reset();
  fresh.SetPathMode(2);
  ASSERT_EQ(fresh.ParseText(kDocument), 0);
  EXPECT_EQ(fresh.EvalPath("kty"), 0);
  EXPECT_STREQ(fresh.PathReply().Data(), "$['kty']");
}

TEST(JsonPaths, NoTreeAndNothingSelected) {
  JsonParser stream;
  stream.BeginStream();
  ASSERT_EQ(stream.ParseText(kDocument), 0);
  EXPECT_EQ(stream.EvalPath("/json/kty"), kJsonNoTree);
  EXPECT_STREQ(stream.LastErrorText().Data(), "DOM tree unavailable (set BuildDOM to TRUE and reparse).");
  (void)stream.SetErrorText(1, "earlier");
  EXPECT_EQ(stream.AttrExists("/json/kty"), 0);
  EXPECT_STREQ(stream.LastErrorText().Data(), "earlier");

  TreeParser tree;
  EXPECT_EQ(tree.NodeType(), kJsonNothingSelected);
  EXPECT_STREQ(tree.LastErrorText().Data(), "Invalid JSONPath.");
  EXPECT_STREQ(tree.CurrentName(), "");
}

// kJwkChecker reads "KEY sourcehex" and "M namehex type currenthex" lines and prints "ok" when each
// member's name, order and type are python's, a string's text is its value and a container's text is
// its exact source.
const char kJwkChecker[] = R"PY(
import json, sys
kinds = {dict: 0, list: 1, str: 2, int: 3, float: 3, bool: 4, type(None): 5}
def check(source, members):
    doc = json.loads(source, object_pairs_hook=lambda p: dict(p) if len(set(k for k, _ in p)) == len(p) else 1/0)
    if [m[0] for m in members] != list(doc.keys()): return 'names'
    for name, kind, text in members:
        v = doc[name]
        if kind != kinds[type(v)]: return 'type of ' + name
        if kind == 2 and text != v: return 'value of ' + name
        if kind < 2 and (text not in source or json.loads(text) != v or text[0] not in '[{'): return 'text of ' + name
    return 'ok'
source, members = None, []
for line in sys.stdin:
    f = line.split()
    if f[0] == 'KEY': source, members = bytes.fromhex(f[1][1:]).decode(), []
    elif f[0] == 'M': members.append((bytes.fromhex(f[1][1:]).decode(), int(f[2]), bytes.fromhex(f[3][1:]).decode()))
    else: print(check(source, members))
)PY";

TEST(JsonJwkRoad, MembersNamesTypesAndTextsAsPythonReadsThem) {
  const char* const kKeys[] = {
      R"({"kty":"RSA","kid":"k1","use":"sig","n":"0vx7agoebGcQSuuPiLJXZptN9nndrQmbXEps2aiAFbWhM78LhWx4cbbfAAtVT86zwu1RK7aPFFxuhDR1L6tSoc_BJECP","e":"AQAB",
          "x5c":["MIIC+DCCAeCgAwIBAgIJBIGjYW6hFpn2MA0GCSqGSIb3DQEBBQUAMCMxITAfBgNVBAMTGGN1c3RvbWVyLWRlbW9z", "MIIB"],
          "meta": {"created": 1700000000, "tags": ["a", "b"], "ok": true, "none": null}, "empty": ""})",
      R"({ "kty" : "EC", "crv" : "P-256", "x" : "f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU",
          "y" : "x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0", "key_ops" : [ "sign", "verify" ], "ext" : { } })",
      R"({"kty":"OKP","crv":"Ed25519","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo","d":"nWGxne_9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A","x5c":[],"alg":{"name":"EdDSA","param":[1,[2,3]]}})",
  };
  std::string batch;
  for (const char* key : kKeys) {
    TreeParser parser;
    ASSERT_EQ(parser.ParseText(key), 0);
    ASSERT_EQ(parser.AttrExists("/json/kty"), 1);
    ASSERT_EQ(parser.EvalPath("/json/"), 0);
    const uint32_t count = parser.Selected()->ChildCount();
    batch += "KEY x" + testing_support::ToHex(key) + "\n";
    for (uint32_t i = 1; i <= count; ++i) {
      ASSERT_EQ(parser.EvalPath(("/json/[" + std::to_string(i) + "]").c_str()), 0);
      const std::string name = parser.SelectedName();
      const std::string current = parser.CurrentName();
      batch += "M x" + testing_support::ToHex(name) + " " + std::to_string(parser.NodeType()) + " x" +
               testing_support::ToHex(current) + "\n";
    }
    batch += "END\n";
  }
  std::string verdicts;
  if (!testing_support::PythonAvailable()) GTEST_SKIP() << "python3 is missing";
  ASSERT_TRUE(testing_support::RunPython(kJwkChecker, "", batch, &verdicts));
  EXPECT_EQ(verdicts, "ok\nok\nok\n");
}

TEST(JsonHooks, StreamEventsWhitespaceAndDocumentEvents) {
  RecordingParser parser;
  parser.BeginStream();
  ASSERT_EQ(parser.ParseText(R"({"a":[1]})"), 0);
  EXPECT_EQ(parser.starts, (Strings{"json", "a", ""}));
  EXPECT_EQ(parser.ends, (Strings{"", "a", "json"}));
  EXPECT_EQ(parser.PathStack().Count(), 0u);

  RecordingParser spaced;
  spaced.BeginStream();
  const std::string text = " {\t\"a\" : [ 1 ,\n2 ] , \"b\" :\r\n true }";
  ASSERT_EQ(spaced.ParseText(text.substr(0, 20).c_str()), 0);
  EXPECT_EQ(spaced.document_ends, 0);
  ASSERT_EQ(spaced.ParseText(text.substr(20).c_str()), 0);
  std::string blanks;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') blanks += c;
  }
  EXPECT_EQ(spaced.whitespace, blanks);
  EXPECT_EQ(spaced.document_starts, 1);
  EXPECT_EQ(spaced.document_ends, 1);
  EXPECT_EQ(spaced.values, (Strings{"1", "2", "true"}));

  RecordingParser failing;
  failing.fail_on_value = 77;
  EXPECT_EQ(failing.ParseText("[1]"), 77);
}

TEST(JsonModes, RecordsSequencesWrappingTrailingContentAndBracketMarkers) {
  TreeParser records;
  ASSERT_EQ(records.SetDocumentMode(2), 0);
  ASSERT_EQ(records.SetRecordDelimiters("<", ">"), 0);
  ASSERT_EQ(records.ParseText("<{\"a\":1}>\n<[2]> "), 0);
  EXPECT_EQ(records.document_ends, 2);
  EXPECT_EQ(Shape(records.Root()), TreeShape("[2]", 1));
  EXPECT_EQ(records.ParseText("<{\"a\":1}x"), kJsonMarkupError);
  EXPECT_STREQ(records.LastErrorText().Data(), "Invalid record end delimiter found.");

  TreeParser bare;
  ASSERT_EQ(bare.SetDocumentMode(2), 0);
  ASSERT_EQ(bare.SetRecordDelimiters("", ""), 0);
  ASSERT_EQ(bare.ParseText("{\"a\":1}  [3,4]"), 0);
  EXPECT_EQ(bare.document_ends, 2);
  EXPECT_EQ(Shape(bare.Root()), TreeShape("[3,4]", 1));

  for (uint32_t mode : {1u, 3u}) {
    TreeParser sequence;
    ASSERT_EQ(sequence.SetDocumentMode(mode), 0);
    ASSERT_EQ(sequence.ParseText("[1] {\"b\":\"x\"} 3 "), 0);
    EXPECT_EQ(sequence.document_ends, 3);
    EXPECT_EQ(sequence.values, (Strings{"1", "x", "3"}));
  }

  EXPECT_EQ(TreeShape("({\"a\":[1,2]})"), TreeShape("{\"a\":[1,2]}"));
  TreeParser trailing;
  trailing.SetAllowTrailingContent(1);
  EXPECT_EQ(trailing.ParseText("{\"a\":1} trailing"), 0);

  RecordingParser markers;
  markers.BeginStream();
  markers.SetBracketMarkerMode(1);
  ASSERT_EQ(markers.ParseText(R"({"a":[1,{"b":2}]})"), 0);
  EXPECT_EQ(markers.starts, (Strings{"json", "{", "a", "[", "{", "b"}));
  EXPECT_EQ(markers.ends, (Strings{"", "b", "}", "]", "a", "}", "json"}));
  EXPECT_EQ(markers.PathStack().Count(), 0u);
}

TEST(JsonGrammar, CommentsAndTrailingCommasGiveTheSameTree) {
  EXPECT_EQ(TreeShape("{/*c*/\"a\"/**/:/* x */[1,//y\n2, /**/]//z\n,\"b\":{/**/},\"c\":[/**/],\"d\":1,}"),
            TreeShape("{\"a\":[1,2],\"b\":{},\"c\":[],\"d\":1}"));
  for (const char* text : {"[1,]", "[1, ]"}) {
    TreeParser parser;
    ASSERT_EQ(parser.ParseText(text), 0) << text;
    EXPECT_EQ(Shape(parser.Root()), TreeShape("[1]")) << text;
    EXPECT_EQ(parser.Root()->Type(), kJsonArray);
    EXPECT_EQ(parser.Root()->EndPosition(), std::string(text).size());
    EXPECT_EQ(parser.Root()->ChildCount(), 1u);

    RecordingParser stream;
    stream.BeginStream();
    ASSERT_EQ(stream.ParseText(text), 0);
    EXPECT_EQ(stream.starts, (Strings{"json", "", ""}));
    EXPECT_EQ(stream.ends, (Strings{"", "", "json"}));
    EXPECT_EQ(stream.PathStack().Count(), 0u);
  }
}

TEST(JsonUnescaping, SurrogatePairsLoneSurrogatesUnknownEscapesAndCodePages) {
  struct Case {
    const char* text;
    std::string value;
  };
  const Case kCases[] = {
      {R"(["\uD834\uDD1E"])", "\xF0\x9D\x84\x9E"},
      {R"(["a\uD800bc"])", "a\xEF\xBF\xBD" "bc"},
      {R"(["\uDC00\uD800x"])", "\xEF\xBF\xBD\xEF\xBF\xBDx"},
      {R"(["\uZZZZ"])", "\\uZZZZ"},
      {R"(["\u12 x"])", "\\u12 x"},
      {R"(["a\u0000b\n\/"])", std::string("a\0b\n/", 5)},
      {R"(["\u00e9"])", "\xC3\xA9"},
  };
  for (const Case& c : kCases) {
    TreeParser parser(3);
    ASSERT_EQ(parser.ParseText(c.text), 0) << c.text;
    EXPECT_EQ(testing_support::Text(parser.Root()->FirstChild()->Value()), c.value) << c.text;
  }
  TreeParser latin(3);
  component::ConfigSettingParts setting;
  ASSERT_EQ(setting.Parse("CodePage=1252", 0), 0);
  ASSERT_EQ(latin.Config(setting, nullptr), 0);
  ASSERT_EQ(latin.ParseText(R"(["\u00e9"])"), 0);
  EXPECT_EQ(testing_support::Text(latin.Root()->FirstChild()->Value()), "\xE9");
  // Without options strings stay as written, quotes included.
  EXPECT_EQ(TreeShape(R"(["a\n"])", 0), "0 1 x6a736f6e x\n1 2 x x22615c6e22\n");
}

TEST(JsonMemory, EveryFailedAllocationIsReportedAndNothingLeaks) {
  const std::string text = std::string(R"({"k":"\u00e9)") + std::string(2000, 'v') + R"(","a":[[1,{"b":[]}]]})";
  int parsed = 0;
  for (int successes = 0; successes < 40; ++successes) {
    testing_support::FailingAllocations failing(successes);
    TreeParser parser(3);
    const int rc = parser.ParseText(text.c_str());
    parsed += rc == 0 ? 1 : 0;
    EXPECT_TRUE(rc == 0 || rc == core::kOutOfMemory || rc == kJsonGrowthFailed) << successes << " " << rc;
    const int found = parser.EvalPath("/json/a/[1]/[2]/b");
    EXPECT_TRUE(found == 0 || found == kJsonPathNotFound || found == kJsonNoTree || found == core::kOutOfMemory)
        << successes << " " << found;
  }
  EXPECT_GT(parsed, 0);
  EXPECT_LT(parsed, 40);
}

// Nodes come back from the pool as new ones: a tree built on reused blocks equals a fresh parser's,
// blocks are reused without allocating, and slabs go only once nothing is in use and too many are held.
TEST(JsonMemory, NodePoolReusesBlocksAndReleasesLargeTrees) {
  std::string big = "[";
  for (int i = 0; i < 5000; ++i) {
    big += (i == 0 ? R"({"name":"a value longer than a node holds","n":)" : R"(,{"name":"x","n":)") + std::to_string(i) + "}";
  }
  big += "]";
  TreeParser fresh;
  ASSERT_EQ(fresh.ParseText(kDocument), 0);
  TreeParser reused;
  ASSERT_EQ(reused.ParseText(big.c_str()), 0);
  reused.Reset();
  reused.SetTreeMode(1);
  ASSERT_EQ(reused.ParseText(kDocument), 0);
  EXPECT_EQ(DumpTree(reused.Root()), DumpTree(fresh.Root()));

  JsonNodePool pool;
  constexpr uint32_t kSlab = JsonNodePool::kSlabNodes;
  std::vector<void*> blocks;
  for (uint32_t i = 0; i < 2 * kSlab; ++i) blocks.push_back(pool.Take());
  EXPECT_EQ(pool.SlabCount(), 2u);
  EXPECT_EQ(std::set<void*>(blocks.begin(), blocks.end()).size(), blocks.size());
  for (void* block : blocks) pool.Give(block);
  {
    testing_support::FailingAllocations failing(0);
    std::set<void*> again;
    for (uint32_t i = 0; i < 2 * kSlab; ++i) again.insert(pool.Take());
    EXPECT_EQ(again, std::set<void*>(blocks.begin(), blocks.end()));
    EXPECT_EQ(pool.Take(), nullptr);
  }
  for (void* block : blocks) pool.Give(block);
  pool.Trim();
  EXPECT_EQ(pool.SlabCount(), 2u);
  while (pool.SlabCount() <= JsonNodePool::kRetainedSlabs) blocks.push_back(pool.Take());
  for (size_t i = 2 * kSlab; i < blocks.size(); ++i) pool.Give(blocks[i]);
  void* held = pool.Take();
  pool.Trim();
  EXPECT_EQ(pool.SlabCount(), JsonNodePool::kRetainedSlabs + 1);
  pool.Give(held);
  pool.Trim();
  EXPECT_EQ(pool.SlabCount(), 0u);
  EXPECT_EQ(pool.InUse(), 0u);
}


// A large tree holds little more than its nodes: what the parser gives back when it goes, counted by
// the free observer, stays under 64 bytes a node (a run is counted whole, as it was allocated).
TEST(JsonMemory, LargeTreeHoldsUnderSixtyFourBytesANode) {
  constexpr int kElements = 60000;
  std::string text = "[";
  for (int i = 0; i < kElements; ++i) text += i == 0 ? "1" : ",1";
  text += "]";
  std::size_t freed = 0;
  {
    JsonParser parser;
    parser.SetTreeMode(1);
    ASSERT_EQ(parser.ParseText(text.c_str()), 0);
    ASSERT_EQ(parser.Root()->ChildCount(), static_cast<uint32_t>(kElements));
    platform::test::SetFreeObserver([&](const void*, std::size_t size) { freed += size; });
  }
  platform::test::SetFreeObserver({});
  EXPECT_LT(freed, std::size_t{64} * kElements);
}

// A reused parser reads back every value as given, whatever the document before it left in the text
// arena. The first document is a lone string, the first text of an empty arena, whose stored form (a
// five-byte length, the text with its quotes, a NUL: the string's length plus 8 bytes) is just under,
// at and just over the 64 KiB first chunk and the 1 MiB a text reference can reach into a chunk, or
// well over it. The next documents hold more text than the sixteen small chunks, so that they run on
// into the large ones.
TEST(JsonMemory, ReusedParserReadsBackEveryValueAfterALongLoneString) {
  constexpr std::size_t kStored = 8;
  constexpr std::size_t kSmall = JsonNodePool::kTextChunkBytes;
  constexpr std::size_t kLarge = JsonNodePool::kLargeTextChunkBytes;
  const std::size_t lone_stored[] = {kSmall - 1, kSmall, kSmall + 1, kLarge - 1, kLarge,
                                     kLarge + 1, 2 * kLarge,  3 * kLarge};
  // An object of `count` members k0, k1... whose strings of `bytes` each tell their member apart.
  const auto members = [](int count, std::size_t bytes, std::vector<std::string>* values) {
    std::string text = "{";
    values->clear();
    for (int i = 0; i < count; ++i) {
      std::string value = "\"" + std::to_string(i) + ":";
      value += std::string(bytes - value.size() - 1, static_cast<char>('a' + i % 26)) + "\"";
      text += (i == 0 ? "\"k" : ",\"k") + std::to_string(i) + "\":" + value;
      values->push_back(std::move(value));
    }
    return text + "}";
  };
  std::vector<std::string> small_values;
  std::vector<std::string> large_values;
  const std::string small_members = members(2500, 1000, &small_values);
  const std::string large_members = members(200, 20 * 1024, &large_values);
  // Check reads the arena texts of every member and finds one of them by its path.
  const auto check = [](JsonParser& parser, const std::vector<std::string>& values, const std::string& label) {
    ASSERT_NE(parser.Root(), nullptr) << label;
    EXPECT_EQ(parser.Root()->ChildCount(), values.size()) << label;
    std::size_t wrong = 0;
    std::size_t i = 0;
    for (const JsonNode* n = parser.Root()->FirstChild(); n != nullptr; n = n->NextSibling(), ++i) {
      const std::string name = "k" + std::to_string(i);
      const bool right = i < values.size() && std::string(n->NameText(), n->NameLength()) == name &&
                         std::string(n->ValueText(), n->ValueLength()) == values[i];
      wrong += right ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0u) << label;
    const std::size_t probe = values.size() * 7 / 10;
    ASSERT_EQ(parser.EvalPath(("/json/k" + std::to_string(probe)).c_str()), 0) << label;
    EXPECT_EQ(std::string(parser.CurrentName()), values[probe]) << label;
  };
  for (const std::size_t stored : lone_stored) {
    const std::string label = "lone string stored in " + std::to_string(stored) + " bytes";
    const std::string lone = "\"" + std::string(stored - kStored, 'a') + "\"";
    JsonParser parser;
    parser.SetTreeMode(1);
    ASSERT_EQ(parser.ParseText(lone.c_str()), 0) << label;
    ASSERT_NE(parser.Root(), nullptr) << label;
    EXPECT_EQ(parser.Root()->ValueLength(), static_cast<int32_t>(lone.size())) << label;
    EXPECT_TRUE(std::string(parser.Root()->ValueText(), parser.Root()->ValueLength()) == lone) << label;
    // Each document after a Reset starts on what the one before left; the third on what a document of
    // many texts left.
    parser.Reset();
    parser.SetTreeMode(1);
    ASSERT_EQ(parser.ParseText(small_members.c_str()), 0) << label;
    check(parser, small_values, label + ", then 1000-byte members");
    parser.Reset();
    parser.SetTreeMode(1);
    ASSERT_EQ(parser.ParseText(large_members.c_str()), 0) << label;
    check(parser, large_values, label + ", then 20 KiB members");
    parser.Reset();
    parser.SetTreeMode(1);
    ASSERT_EQ(parser.ParseText(lone.c_str()), 0) << label;
    EXPECT_TRUE(std::string(parser.Root()->ValueText(), parser.Root()->ValueLength()) == lone) << label;
  }
}

}  // namespace
}  // namespace velmora::parsers::testing
