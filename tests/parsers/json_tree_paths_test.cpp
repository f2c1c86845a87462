// The tree a plain parser builds (texts read in place, no hooks called) against the tree of the older
// stepwise path (every token copied, every hook called), forced by internal::ForceStepwiseJson: mutated
// documents under random modes and feedings must give the same result code, error text, tree, token
// and path answers on both.
#include <gtest/gtest.h>

#include "tests/fuzz_support.h"
#include "tests/parsers/json_test_support.h"

namespace velmora::parsers::testing {
namespace {

// The first byte of an input sets the modes, the second the feeding; the rest up to a NUL is the text.
std::string Outcome(const std::string& input, bool stepwise) {
  internal::ForceStepwiseJson(stepwise);
  const uint8_t flags = input.size() > 0 ? static_cast<uint8_t>(input[0]) : 0;
  const uint8_t chunk = input.size() > 1 ? static_cast<uint8_t>(input[1]) : 0;
  const std::string text = input.size() > 2 ? std::string(input.c_str() + 2) : std::string();
  JsonParser parser;
  if ((flags & 1) != 0) parser.BeginStream();
  parser.SetTreeMode(1);
  parser.SetUnescapeOptions((flags >> 1) & 3);
  parser.SetRawNameFallback((flags >> 3) & 1);
  parser.SetBracketMarkerMode((flags >> 4) & 1);
  parser.SetAllowTrailingContent((flags >> 5) & 1);
  if (parser.SetDocumentMode(flags >> 6) != 0 || parser.SetRecordDelimiters("<", (chunk & 1) != 0 ? ">" : "") != 0) {
    return "setup";
  }
  int rc = 0;
  if (chunk < 128) {
    rc = parser.ParseText(text.c_str());
  } else {
    for (size_t at = 0, piece = 1 + chunk % 13; at < text.size() && rc == 0; at += piece) {
      rc = parser.ParseText(text.substr(at, piece).c_str());
    }
  }
  std::string out = std::to_string(rc) + " " + testing_support::Text(parser.LastErrorText()) + "\n" +
                    DumpTree(parser.Root()) + "T " + parser.TokenText() + "\n";
  for (const char* path : {"/json/[1]", "/json/[2]/[1]", "$.a[0]", "/json/a/[last()]", "$..name"}) {
    out += std::to_string(parser.EvalPath(path)) + " " + parser.CurrentName() + " " + parser.SelectedName() + " " +
           std::to_string(parser.NodeType()) + " " + parser.PathReply().Data() + "\n";
  }
  internal::ForceStepwiseJson(false);
  return out;
}

std::string Compare(const std::string& input) {
  const std::string quiet = Outcome(input, false);
  const std::string stepwise = Outcome(input, true);
  return quiet == stepwise ? "" : "plain:\n" + quiet + "stepwise:\n" + stepwise;
}

TEST(JsonTreePaths, PlainParserBuildsTheStepwiseTree) {
  const char* const kDocuments[] = {
      R"({"kty":"RSA","keys":[1,{"b":2},3],"x":[],"e":"","n":null})",
      R"(({"a":[true,False,NULL,-1.5e+3, 7 ],"s":"t\"\\\/\b\u00e9\uD834\uDD1E"}))",
      "{/*c*/\"a\"://x\n[1,],\"b\":{},}",
      R"(<{"a":"\uD834\uDD1E\u0000\uZZZZ"}> <[2]>)",
      "[1] {\"b\":2} 3 \"s\" ",
      "\t{ \"name\" : \"a value longer than any inline text\" ,\r\n \"n\" :\f12 }\n",
      "[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]",
  };
  std::vector<std::string> seeds;
  for (const char* document : kDocuments) {
    for (const char config : {'\x00', '\x03', '\x0E', '\x51', '\xC9'}) {
      seeds.push_back(std::string{config, static_cast<char>(config == 0 ? 0 : 0x90 + config % 7)} + document);
    }
  }
  if (!IsoCodesFolder().empty()) {
    const std::string text = ReadFile(IsoCodesFolder() + "/iso_3166-2.json");
    for (size_t from = 0; from + 2000 < text.size() && seeds.size() < 60; from += text.size() / 20) {
      seeds.push_back(std::string("\x0A\x00", 2) + text.substr(from, 600));
    }
  }
  testing_support::RunMutationLoop("json tree paths", seeds, 10000, "{}[]\",:/* \n\t0123456789eE.-+tfnul\\u()<>",
                                   Compare);
}

// A whole iso-codes file through both paths, whole and in small pieces.
TEST(JsonTreePaths, IsoCodesFileGivesTheSameTree) {
  if (IsoCodesFolder().empty()) GTEST_SKIP() << "iso-codes is missing";
  const std::string text = ReadFile(IsoCodesFolder() + "/iso_639-5.json");
  EXPECT_EQ(Compare(std::string("\x00\x00", 2) + text), "");
  EXPECT_EQ(Compare(std::string("\x07\x95", 2) + text), "");
}

}  // namespace
}  // namespace velmora::parsers::testing
