// Parsing XML documents into the record store, checked against expat: real documents (iso-codes,
// shared-mime-info) and small hand-written ones go three roads (one text, chunks cut at random places, a
// file load with detection) and in every Unicode encoding; then the decoder's own cases, a document cut
// into three at every pair of places with consumed input dropped, the failures with their codes and
// texts, and the sound behaviour where input is broken.
//
// The seed is printed; VELMORABLE_FUZZ_SEED replays one.
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

#include "tests/parsers/xml_test_support.h"
#include "tests/component/configurable.h"
#include "tests/parsers/xml_oracle.h"
#include "tests/test_support.h"

namespace velmora::parsers::testing {
namespace {

// Utf16Le spreads ASCII text over UTF-16LE units.
std::string Utf16Le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string(1, c) + '\0';
  return out;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Hand-written documents for what the real ones lack: namespaces and prefixes, entities and character
// references, CDATA, comments and instructions between texts, whitespace, characters outside the BMP.
const char* const kDocuments[] = {
    "<?xml version=\"1.0\"?>\n<!-- lead -->\n<r xmlns=\"urn:d\" xmlns:p=\"urn:p\">\n  <p:a x=\"1\" p:y=\"2\" xml:lang=\"en\">one &amp; two &lt;3&gt; &#65;&#x42;</p:a>\n"
    "  <b>text<!-- c -->more<?pi data?>end</b>\n  <c><![CDATA[<raw> & ]]>after</c>\n  <d xmlns=\"\">plain</d>\n"
    "  <p:e><f/>tail\n   next line  </p:e>\n</r>\n",
    "<doc>caf\xC3\xA9 \xF0\x9F\x98\x80 &#128512; &#xe9;<na\xC3\xAFve caf\xC3\xA9=\"\xC3\xA9t\xC3\xA9\"/>"
    "<x a='single \"q\"' b=\"&quot;&apos;\"/></doc>",
    "<a><b><c><d><e>deep</e></d></c></b>\r\n<b2 v=\"tab\there\">crlf\r\ntext</b2></a>",
};

// kRefused stands for a document that expat does not accept.
constexpr const char* kRefused = "refused";

class XmlDocuments : public testing_support::TempDirTest {
 protected:
  // Corpus returns the documents that exist here: the hand-written ones and the installed real ones.
  std::vector<std::string> Corpus() {
    std::vector<std::string> files;
    for (size_t i = 0; i < std::size(kDocuments); ++i) {
      const std::string name = "doc" + std::to_string(i) + ".xml";
      Put(name, kDocuments[i]);
      files.push_back(Path(name));
    }
    for (const char* name : {"iso_15924.xml", "iso_3166-1.xml", "iso_3166-2.xml", "iso_4217.xml", "iso_639-2.xml",
                             "iso_639-3.xml", "iso_639-5.xml"}) {
      const std::string path = std::string("/usr/share/xml/iso-codes/") + name;
      if (std::filesystem::exists(path)) files.push_back(path);
    }
    if (std::filesystem::exists("/usr/share/mime/packages/freedesktop.org.xml")) {
      files.push_back("/usr/share/mime/packages/freedesktop.org.xml");
    }
    return files;
  }

  // Expected runs the oracle over files and returns each file's dump.
  static std::map<std::string, std::string> Expected(const std::vector<std::string>& files) {
    std::string arguments;
    for (const std::string& file : files) arguments += " " + file;
    std::map<std::string, std::string> dumps;
    std::istringstream lines(RunDebianPython(kExpatDump, arguments));
    std::string line, current;
    while (std::getline(lines, line)) {
      if (line.rfind("== ", 0) == 0) {
        current = line.substr(3);
        const bool refused = current.size() > 8 && current.compare(current.size() - 8, 8, " refused") == 0;
        if (refused) current.resize(current.size() - 8);
        dumps[current] = refused ? kRefused : "";
      } else {
        dumps[current] += line + "\n";
      }
    }
    return dumps;
  }
};

TEST_F(XmlDocuments, ThreeRoadsGiveWhatExpatReads) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "/usr/bin/python3 with xml.parsers.expat not installed";
  const std::vector<std::string> files = Corpus();
  const std::map<std::string, std::string> expected = Expected(files);
  std::mt19937_64 rng(Seed());
  for (const std::string& file : files) {
    ASSERT_EQ(expected.count(file), 1u) << file;
    const std::string& want = expected.at(file);
    ASSERT_FALSE(want.empty()) << file;
    const std::string bytes = ReadAll(file);

    XmlParser text;
    text.SetBuildDom(1);
    if (want == kRefused) {
      // iso_3166-2.xml holds a bare "&" in an attribute value: refused on both sides.
      EXPECT_NE(text.ParseText(bytes.c_str()), 0) << file;
      continue;
    }
    ASSERT_EQ(text.ParseText(bytes.c_str()), 0) << file << ": " << text.LastErrorText().Data();
    EXPECT_EQ(StoreDump(text.Document()), want) << file;
    EXPECT_EQ(text.Document().Dom().Validate(), 0);

    XmlParser chunks;
    chunks.SetBuildDom(1);
    for (size_t at = 0; at < bytes.size();) {
      const size_t size = std::min<size_t>(bytes.size() - at, rng() % 3 == 0 ? 1 + rng() % 8 : 1 + rng() % 9000);
      ASSERT_EQ(chunks.ParseChunk(bytes.data() + at, static_cast<int32_t>(size)), 0) << file << " at " << at;
      at += size;
    }
    const XmlDom& a = text.Document().Dom();
    const XmlDom& b = chunks.Document().Dom();
    EXPECT_EQ(a.Root(), b.Root()) << file;
    EXPECT_TRUE(a.Length() == b.Length() && std::memcmp(a.Records().Data(), b.Records().Data(), a.Length()) == 0)
        << file;

    XmlParser load;
    load.SetBuildDom(1);
    ASSERT_EQ(load.LoadFile(file.c_str()), 0) << file << ": " << load.LastErrorText().Data();
    EXPECT_EQ(StoreDump(load.Document()), want) << file;

    // Chunks again, with consumed input dropped before each one.
    component::Configurable<XmlParser> dropping;
    dropping.SetBuildDom(1);
    ASSERT_EQ(dropping.Set("KeepOriginalText=0"), 0);
    for (size_t at = 0; at < bytes.size();) {
      const size_t size = std::min<size_t>(bytes.size() - at, 1 + rng() % 3000);
      ASSERT_EQ(dropping.ParseChunk(bytes.data() + at, static_cast<int32_t>(size)), 0) << file << " at " << at;
      at += size;
    }
    EXPECT_EQ(StoreDump(dropping.Document()), want) << file;
    EXPECT_LT(dropping.Document().Input().Length(), 16384) << file;  // the longest markup plus a chunk
  }
}

TEST_F(XmlDocuments, EveryUnicodeEncodingLoadsAlike) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "/usr/bin/python3 with xml.parsers.expat not installed";
  std::vector<std::string> files;
  for (const std::string& file : Corpus()) {
    if (file.find("iso_639-3") == std::string::npos && file.find("iso_3166-2") == std::string::npos &&
        file.find("freedesktop") == std::string::npos) {
      files.push_back(file);
    }
  }
  // The writer gives every file a declaration naming its family, as the detection expects.
  const std::string writer = R"PY(
import sys, re
variants = [('u8bom', 'utf-8', b'\xef\xbb\xbf', 'UTF-8'), ('u16le', 'utf-16-le', b'\xff\xfe', 'UTF-16'),
            ('u16be', 'utf-16-be', b'\xfe\xff', 'UTF-16'), ('u16le-nobom', 'utf-16-le', b'', 'UTF-16'),
            ('u16be-nobom', 'utf-16-be', b'', 'UTF-16'), ('u32le', 'utf-32-le', b'\xff\xfe\x00\x00', 'UTF-32'),
            ('u32be', 'utf-32-be', b'\x00\x00\xfe\xff', 'UTF-32')]
out = sys.argv[1]
for i, path in enumerate(sys.argv[2:]):
    text = open(path, 'rb').read().decode('utf-8')
    text = re.sub(r'^<\?xml[^>]*\?>', '', text)
    for tag, codec, bom, name in variants:
        body = '<?xml version="1.0" encoding="%s"?>' % name + text
        open('%s/%d.%s.xml' % (out, i, tag), 'wb').write(bom + body.encode(codec))
print('ok')
)PY";
  std::string arguments = Path("");
  for (const std::string& file : files) arguments += " " + file;
  ASSERT_EQ(RunDebianPython(writer, arguments), "ok\n");
  const std::map<std::string, std::string> expected = Expected(files);
  for (size_t i = 0; i < files.size(); ++i) {
    for (const char* tag : {"u8bom", "u16le", "u16be", "u16le-nobom", "u16be-nobom", "u32le", "u32be"}) {
      const std::string variant = Path(std::to_string(i) + "." + tag + ".xml");
      XmlParser load;
      load.SetBuildDom(1);
      ASSERT_EQ(load.LoadFile(variant.c_str()), 0) << variant << ": " << load.LastErrorText().Data();
      EXPECT_EQ(StoreDump(load.Document()), expected.at(files[i])) << files[i] << " as " << tag;
      // The configured decoding is what the query answers, whatever the file settled on.
      EXPECT_EQ(load.Document().Scan().mode, 0u);
    }
  }
}

// The decoder itself, by mode.
std::string Decoded(uint32_t mode, const std::vector<std::string>& feeds) {
  XmlParser parser;
  parser.Document().Scan().mode = mode;
  for (const std::string& bytes : feeds) {
    EXPECT_EQ(XmlFeedInput(parser.Document(), bytes.data(), static_cast<int32_t>(bytes.size())), 0);
  }
  return parser.Document().Input().Data();
}

TEST(XmlDecoder, ModesTurnCharactersIntoReferences) {
  EXPECT_EQ(Decoded(1, {"a\xC3\xA9z"}), "a&#233;z");
  EXPECT_EQ(Decoded(1, {"\xF0\x9F", "\x98\x80"}), "&#128512;");
  EXPECT_EQ(Decoded(1, {"\x80x"}), "\x80x");  // a stray continuation byte is copied
  EXPECT_EQ(Decoded(1, {"\xC3<b>"}), "&#65533;<b>");
  EXPECT_EQ(Decoded(1, {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xF8"}), "&#65533;&#65533;&#65533;&#65533;");
  EXPECT_EQ(Decoded(2, {std::string("\xFE\xFF\x00<\x00", 5), std::string("a\xD8\x3D\xDE\x00", 5)}), "<a&#128512;");
  EXPECT_EQ(Decoded(3, {std::string("\xD8\x3D\xDE\x00\x00z", 6)}), "&#128512;z");
  EXPECT_EQ(Decoded(2, {std::string("\x3D\xD8<\x00\x00\xDC", 6)}), "&#65533;<&#65533;");
  EXPECT_EQ(Decoded(4, {std::string("\x00\xF6\x01\x00", 4), std::string("A\x00\x00\x00", 4)}), "&#128512;A");
  EXPECT_EQ(Decoded(5, {std::string("\x00\x11\x00\x00\x00\x00\xD8\x00", 8)}), "&#65533;&#65533;");
  EXPECT_EQ(Decoded(0, {"\xC3\xA9"}), "\xC3\xA9");
}

TEST_F(XmlDocuments, DetectionOfAPlainDeclarationConsumesNothing) {
  Put("plain.xml", "<?xml version=\"1.0\"?><r>\xC3\xA9</r>");
  XmlParser parser;
  parser.SetBuildDom(1);
  ASSERT_EQ(parser.LoadFile(Path("plain.xml").c_str()), 0);
  // The whole file is in the input, decoded: nothing was taken for a mark.
  EXPECT_STREQ(parser.Document().Input().Data(), "<?xml version=\"1.0\"?><r>&#233;</r>");
  EXPECT_STREQ(parser.Document().Dom().Text(parser.Document().Dom().Root()), "\xC3\xA9");
}

// ---- Chunks with consumed input dropped.

// ParsedWithoutKeptText parses each of chunks in turn, dropping consumed input between them, with whitespace
// preserved, ends the document and returns the store's dump.
std::string ParsedWithoutKeptText(const std::vector<std::string>& chunks) {
  component::Configurable<XmlParser> parser;
  parser.SetBuildDom(1);
  EXPECT_EQ(parser.Set("KeepOriginalText=0"), 0);
  EXPECT_EQ(parser.Set("PreserveWhitespace=1"), 0);
  for (const std::string& chunk : chunks) {
    EXPECT_EQ(parser.ParseChunk(chunk.data(), static_cast<int32_t>(chunk.size())), 0) << chunk;
  }
  EXPECT_EQ(XmlFinish(parser.Document(), 1), 0);
  return StoreDump(parser.Document());
}

TEST(XmlDroppedInput, TheDocumentDoesNotDependOnWhereTheInputWasCut) {
  // Input dropped twice after the start of "a": its content is not whitespace only, so neither "a" nor
  // "b" has a text.
  EXPECT_EQ(ParsedWithoutKeptText({"<a>", "<b></b>", "\n</a>"}), "1 x x61 x x\n2 x x62 x x\n");

  // Whitespace-only contents at several depths, beside contents that hold elements.
  const std::string document = "<r>\n <a> </a>\n <b><c>\n\n</c>\n</b> <d/>\n</r>";
  const std::string whole = ParsedWithoutKeptText({document});
  for (size_t i = 1; i + 1 < document.size(); ++i) {
    for (size_t j = i + 1; j < document.size(); ++j) {
      EXPECT_EQ(ParsedWithoutKeptText({document.substr(0, i), document.substr(i, j - i), document.substr(j)}), whole)
          << "cut at " << i << " and " << j;
    }
  }
}

// ---- Failures: code, text, and a reset parser takes the next document.

struct Failure {
  const char* document;
  int code;
  const char* text;
  const char* settings;  // "Name=value" applied first, or ""
};

const Failure kFailures[] = {
    {"<a><b></a>", 201, "Unbalanced element tag: a", ""},
    {"<a></b>", 201, "Unbalanced element tag: b", ""},
    {"<a>x < y</a>", 204, "Unescaped character < in the XML", ""},
    {"<a>x & y</a>", 204, "Unescaped character & in the XML", ""},
    {"<a =\"1\"/>", 204, "Invalid character = used as the Attribute Name", ""},
    {"<a><!-- x -- y --></a>", 204, "Invalid XML markup.", ""},
    {"<a b=>", 204, "Invalid XML markup.", ""},
    {"<p:a/>", 202, "Unknown element prefix (can't find namespace): p:a", "IgnoreBadElementPrefixes=false"},
    {"<a p:b=\"1\"/>", 203, "Unknown attribute prefix (can't find namespace): p", "IgnoreBadAttributePrefixes=false"},
    {"<a/>text<b/>", 212, "Invalid XML: the document contains text outside the root element.", "AllowTextOutsideRoot=false"},
};

TEST(XmlFailures, GiveTheirCodeAndTextAndAResetParserGoesOn) {
  for (const Failure& f : kFailures) {
    component::Configurable<XmlParser> parser;
    parser.SetBuildDom(1);
    if (*f.settings != '\0') {
      ASSERT_EQ(parser.Set(f.settings), 0);
    }
    EXPECT_EQ(parser.ParseText(f.document), f.code) << f.document;
    EXPECT_STREQ(parser.LastErrorText().Data(), f.text) << f.document;
    EXPECT_STREQ(parser.Document().ErrorText().Data(), f.text) << f.document;
    ASSERT_EQ(parser.Reset(), 0);
    ASSERT_EQ(parser.ParseText("<ok><fine/></ok>"), 0) << f.document;
    EXPECT_STREQ(parser.Document().Dom().LocalName(parser.Document().Dom().Root()), "ok");
  }
}

TEST(XmlFailures, LenientSettingsAcceptWhatStrictOnesRefuse) {
  struct Warning : component::Configurable<XmlParser> {
    int OnWarning(int code, const char* text) override {
      warnings += std::to_string(code) + " " + text + "\n";
      return 0;
    }
    std::string warnings;
  };
  Warning parser;
  parser.SetBuildDom(1);
  ASSERT_EQ(parser.ParseText("<p:a q:b=\"1\"/>"), 0);
  EXPECT_EQ(parser.warnings,
            "202 Unknown element prefix (can't find namespace): p:a\n"
            "203 Unknown attribute prefix (can't find namespace): q\n");
  EXPECT_STREQ(parser.Document().Dom().LocalName(parser.Document().Dom().Root()), "a");
  ASSERT_EQ(parser.Set("IncludeUnknownPrefixes=true"), 0);
  ASSERT_EQ(parser.Reset(), 0);
  ASSERT_EQ(parser.ParseText("<p:a/>"), 0);
  EXPECT_STREQ(parser.Document().Dom().LocalName(parser.Document().Dom().Root()), "p:a");
  ASSERT_EQ(parser.Set("HTMLComments=true"), 0);
  ASSERT_EQ(parser.Reset(), 0);
  EXPECT_EQ(parser.ParseText("<a><!-- x -- y --></a>"), 0);
  ASSERT_EQ(parser.Set("AllowReservedCharacters=true"), 0);
  ASSERT_EQ(parser.Reset(), 0);
  ASSERT_EQ(parser.ParseText("<a b=1 c>x & y</a>"), 0);
  XmlDom& dom = parser.Document().Dom();
  EXPECT_STREQ(dom.Text(dom.Root()), "x & y");
  EXPECT_STREQ(dom.AttributeValue(dom.AttributeAt(dom.Root(), 0)), "1");
  EXPECT_STREQ(dom.AttributeName(dom.AttributeAt(dom.Root(), 1)), "c");
  EXPECT_STREQ(dom.AttributeValue(dom.AttributeAt(dom.Root(), 1)), "");
}

TEST_F(XmlDocuments, EndOfDocumentChecks) {
  struct Case {
    const char* content;
    int code;
    const char* text;
    bool build_dom;
  };
  const Case cases[] = {
      {"", 210, "DOM tree unavailable: no XML markup was found in input text.", true},
      {"  \n\t ", 210, "DOM tree unavailable: no XML markup was found in input text.", true},
      {"just text", 205, "no XML markup was found in input text.", false},
      {"<a><b></b>", 206, "Document contains unbalanced elements.", true},
      {"<a></a><b></b>", 0, "", true},
      {"<a><!-- open", 206, "Document contains unbalanced elements.", true},
      {"<a></a><!-- open", 205, "Invalid end state for parser.", true},
  };
  for (const Case& c : cases) {
    Put("end.xml", c.content);
    XmlParser parser;
    parser.SetBuildDom(c.build_dom ? 1 : 0);
    EXPECT_EQ(parser.LoadFile(Path("end.xml").c_str()), c.code) << c.content;
    EXPECT_STREQ(parser.LastErrorText().Data(), c.text) << c.content;
  }
  component::Configurable<XmlParser> single;
  single.SetBuildDom(1);
  ASSERT_EQ(single.Set("AllowMoreThanOneRoot=false"), 0);
  Put("two.xml", "<a></a><b></b>");
  EXPECT_EQ(single.LoadFile(Path("two.xml").c_str()), 211);
  EXPECT_STREQ(single.LastErrorText().Data(), "Invalid XML: the document has more than one root element.");
  EXPECT_EQ(single.LoadFile(Path("missing.xml").c_str()), 302);
  EXPECT_STREQ(single.LastErrorText().Data(), "Can't open file for reading.");
  ASSERT_EQ(single.Set("UseEncoding=UTF-16LE"), 0);
  EXPECT_EQ(single.ParseText("<a/>"), 306);
  EXPECT_STREQ(single.LastErrorText().Data(), "UTF-16 support not currently available.");
  EXPECT_EQ(single.Document().Input().Length(), 0);
  std::string many = "<a";
  for (int i = 0; i < 257; ++i) many += " a" + std::to_string(i) + "=\"v\"";
  XmlParser wide;
  wide.SetBuildDom(1);
  EXPECT_EQ(wide.ParseText((many + "/>").c_str()), 200);
  EXPECT_STREQ(wide.LastErrorText().Data(), "Out of memory.");
}

// ---- Broken input handled soundly.

TEST_F(XmlDocuments, BrokenInputIsHandledSoundly) {
  // A NUL inside a text does not cut off what follows it when consumed input is dropped between blocks.
  std::string with_nul = "<r><a>x";
  with_nul += '\0';
  with_nul += "y</a>" + std::string(5000, ' ') + "<b/><c>z</c></r>";
  Put("nul.xml", with_nul);
  component::Configurable<XmlParser> dropping;
  dropping.SetBuildDom(1);
  ASSERT_EQ(dropping.Set("KeepOriginalText=0"), 0);
  ASSERT_EQ(dropping.LoadFile(Path("nul.xml").c_str()), 0) << dropping.LastErrorText().Data();
  EXPECT_EQ(dropping.Document().Dom().ChildCount(dropping.Document().Dom().Root()), 3u);
  ASSERT_EQ(dropping.SetXPath("/r/c"), 0);
  EXPECT_STREQ(dropping.Document().Dom().Text(dropping.Document().Dom().Current()), "z");

  // A broken UTF-8 sequence or UTF-16 surrogate keeps the markup after it.
  Put("broken8.xml", "<r>\xC3<b>x</b></r>");
  XmlParser utf8;
  utf8.SetBuildDom(1);
  ASSERT_EQ(utf8.LoadFile(Path("broken8.xml").c_str()), 0);
  EXPECT_STREQ(utf8.Document().Dom().Text(utf8.Document().Dom().Root()), "\xEF\xBF\xBD");
  ASSERT_EQ(utf8.SetXPath("/r/b"), 0);
  Put("broken16.xml", "\xFF\xFE" + Utf16Le("<r>") + "\x3D\xD8" + Utf16Le("<b/></r>"));
  XmlParser utf16;
  utf16.SetBuildDom(1);
  ASSERT_EQ(utf16.LoadFile(Path("broken16.xml").c_str()), 0) << utf16.LastErrorText().Data();
  EXPECT_STREQ(utf16.Document().Dom().Text(utf16.Document().Dom().Root()), "\xEF\xBF\xBD");
  ASSERT_EQ(utf16.SetXPath("/r/b"), 0);

  // Non-ASCII names, as text and through the decoder.
  const std::string names = "<caf\xC3\xA9 na\xC3\xAFve=\"1\">\xF0\x9F\x98\x80<x e=\"\xF0\x9F\x98\x80&#128512;\">&#0;</x></caf\xC3\xA9>";
  Put("names.xml", names);
  for (int road = 0; road < 2; ++road) {
    XmlParser parser;
    parser.SetBuildDom(1);
    ASSERT_EQ(road == 0 ? parser.ParseText(names.c_str()) : parser.LoadFile(Path("names.xml").c_str()), 0);
    XmlDom& dom = parser.Document().Dom();
    EXPECT_STREQ(dom.LocalName(dom.Root()), "caf\xC3\xA9");
    EXPECT_STREQ(dom.AttributeName(dom.AttributeAt(dom.Root(), 0)), "na\xC3\xAFve");
    EXPECT_STREQ(dom.Text(dom.Root()), "\xF0\x9F\x98\x80");
    ASSERT_EQ(parser.SetXPath("x"), 0);
    EXPECT_STREQ(dom.AttributeValue(dom.AttributeAt(dom.Current(), 0)), "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
    EXPECT_STREQ(dom.Text(dom.Current()), "&#0;");  // no text for NUL: kept as written
  }

  // The declaration of one file does not decide how the next text is read, nor does an instruction in
  // a body.
  Put("le.xml", Utf16Le("<?xml encoding='UTF-16LE'?><r/>"));
  XmlParser after;
  after.SetBuildDom(1);
  ASSERT_EQ(after.LoadFile(Path("le.xml").c_str()), 0) << after.LastErrorText().Data();
  ASSERT_EQ(after.Reset(), 0);
  ASSERT_EQ(after.ParseText("<u>\xC3\xA9</u>"), 0);
  EXPECT_STREQ(after.Document().Dom().Text(after.Document().Dom().Root()), "\xC3\xA9");
  Put("pi.xml", "<r><?pi encoding=\"UTF-16\"?><a>ok</a></r>");
  ASSERT_EQ(after.LoadFile(Path("pi.xml").c_str()), 0);
  ASSERT_EQ(after.SetXPath("/r/a"), 0);
  EXPECT_STREQ(after.Document().Dom().Text(after.Document().Dom().Current()), "ok");
}

}  // namespace
}  // namespace velmora::parsers::testing
