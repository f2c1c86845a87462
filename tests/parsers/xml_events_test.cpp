// The event hooks, as a subclass sees them, against expat's events with namespace processing on, and the
// "XSubTree" and "XContents" slices of every element against the byte positions expat reports.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/component/configurable.h"
#include "tests/parsers/xml_oracle.h"
#include "tests/test_support.h"

namespace velmora::parsers::testing {
namespace {

// What this parser reports on purpose and expat does not, or the other way round, is left out of both
// sides: the XML declaration (a processing instruction here), the end of the default namespace's
// mapping (not reported here), and text (compared by the store tests).
constexpr const char* kExpatEvents = R"PY(
import sys, xml.parsers.expat
def hx(s):
    return 'x' + (s or '').encode('utf-8').hex()
p = xml.parsers.expat.ParserCreate(namespace_separator=' ')
p.namespace_prefixes = True
def split(name):
    parts = name.split(' ')
    if len(parts) == 1:
        return '', parts[0], parts[0]
    if len(parts) == 2:
        return parts[0], parts[1], parts[1]
    return parts[0], parts[1], parts[2] + ':' + parts[1]
def start(name, attrs):
    print('start', *map(hx, split(name)))
def end(name):
    print('end', *map(hx, split(name)))
p.StartElementHandler = start
p.EndElementHandler = end
p.StartNamespaceDeclHandler = lambda prefix, uri: print('map', hx(prefix), hx(uri))
p.EndNamespaceDeclHandler = lambda prefix: prefix and print('unmap', hx(prefix))
p.CommentHandler = lambda text: print('comment', hx(text))
p.ProcessingInstructionHandler = lambda target, data: print('pi', hx(target + (' ' + data if data else '')))
p.Parse(open(sys.argv[1], 'rb').read(), True)
)PY";

// kExpatSlices prints, per element in document order, its whole text and its content as byte slices.
constexpr const char* kExpatSlices = R"PY(
import sys, xml.parsers.expat
data = open(sys.argv[1], 'rb').read()
p = xml.parsers.expat.ParserCreate()
elements, stack = [], []
def start(name, attrs):
    at = p.CurrentByteIndex
    element = [at, data.index(b'>', at) + 1, None]
    elements.append(element)
    stack.append(element)
def end(name):
    element = stack.pop()
    at = p.CurrentByteIndex
    if data[element[1] - 2:element[1]] == b'/>':
        element[2] = (data[element[0]:element[1]], b'')
    else:
        element[2] = (data[element[0]:data.index(b'>', at) + 1], data[element[1]:at])
p.StartElementHandler = start
p.EndElementHandler = end
p.Parse(data, True)
for element in elements:
    print('x' + element[2][0].hex(), 'x' + element[2][1].hex())
)PY";

struct Recorder : component::Configurable<XmlParser> {
  static std::string Hx(const char* text) { return Hex(text); }
  void Line(const std::string& line) { events += line + "\n"; }
  int OnStartElement(const char* uri, const char* local, const char* qualified, int) override {
    Line("start " + Hx(uri) + " " + Hx(local) + " " + Hx(qualified));
    return ++starts == stop_at ? 77 : 0;
  }
  int OnEndElement(const char* uri, const char* local, const char* qualified, int) override {
    Line("end " + Hx(uri) + " " + Hx(local) + " " + Hx(qualified));
    return 0;
  }
  int OnStartPrefixMapping(const char* prefix, const char* uri) override {
    Line("map " + Hx(prefix) + " " + Hx(uri));
    return 0;
  }
  int OnEndPrefixMapping(const char* prefix) override {
    Line("unmap " + Hx(prefix));
    return 0;
  }
  int OnComment(const char* text) override {
    Line("comment " + Hx(text));
    return 0;
  }
  int OnProcessingInstruction(const char* text) override {
    if (std::string(text).rfind("xml ", 0) != 0) Line("pi " + Hx(text));
    return 0;
  }
  std::string events;
  int starts = 0;
  int stop_at = -1;
};

const char* const kEventDocuments[] = {
    "<?xml version=\"1.0\"?>\n<!-- lead -->\n<r xmlns=\"urn:d\" xmlns:p=\"urn:p\">\n  <p:a x=\"1\" p:y=\"2\">one &amp; two</p:a>\n"
    "  <b>text<!-- c -->more<?pi data?>end</b>\n  <c><![CDATA[<raw>]]>after</c>\n  <d xmlns=\"\" xmlns:q=\"urn:q\">"
    "<q:e/></d>\n</r>\n<!-- trailing --><?done?>",
    "<a><b><c/></b><b x='&lt;'>t</b>\n<!---->\n</a>",
};

using XmlEventHooks = testing_support::TempDirTest;

TEST_F(XmlEventHooks, HooksSeeWhatExpatReports) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "/usr/bin/python3 with xml.parsers.expat not installed";
  std::vector<std::string> files;
  for (size_t i = 0; i < std::size(kEventDocuments); ++i) {
    Put("e" + std::to_string(i) + ".xml", kEventDocuments[i]);
    files.push_back(Path("e" + std::to_string(i) + ".xml"));
  }
  files.push_back("/usr/share/xml/iso-codes/iso_639-5.xml");
  for (const std::string& file : files) {
    const std::string expected = RunDebianPython(kExpatEvents, file);
    if (expected.empty()) continue;  // not installed
    std::ifstream in(file, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    Recorder recorder;
    recorder.SetBuildDom(1);
    ASSERT_EQ(recorder.ParseText(text.c_str()), 0) << file;
    EXPECT_EQ(recorder.events, expected) << file;

    // Slices of the kept input, element by element in document order.
    std::string slices;
    XmlDom& dom = recorder.Document().Dom();
    for (uint32_t at = dom.Root(); at != 0 && at < dom.Length(); at += dom.SizeAt(at)) {
      if (dom.TagAt(at) != kTagElement) continue;
      dom.SetCurrent(at);
      slices += Hex(recorder.Get("XSubTree")) + " " + Hex(recorder.Get("XContents")) + "\n";
    }
    EXPECT_EQ(slices, RunDebianPython(kExpatSlices, file)) << file;
  }
  // The document reports to the parser from its construction on; a hook's nonzero result stops the
  // parse with that code.
  Recorder stopper;
  EXPECT_EQ(stopper.Document().Handler(), static_cast<XmlEvents*>(&stopper));
  stopper.stop_at = 3;
  EXPECT_EQ(stopper.ParseText(kEventDocuments[0]), 77);
  EXPECT_EQ(stopper.starts, 3);
}

}  // namespace
}  // namespace velmora::parsers::testing
