// The XML record store: record layout, edits against a plain tree model, DOM files (round trip, forged
// and mutated files) and stores cut short.
//
// The seed is printed; VELMORABLE_FUZZ_SEED replays one. VELMORABLE_FUZZ_SCALE multiplies the counts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parsers/xml_cursor.h"
#include "parsers/xml_parser.h"
#include "tests/parsers/xml_test_support.h"
#include "tests/parsers/xml_test_trees.h"
#include "tests/test_support.h"

namespace velmora::parsers::testing {
namespace {

uint32_t Word(const XmlDom& dom, uint32_t offset, uint32_t field) { return dom.Word(offset, field); }

// Dump writes the element at cursor and its subtree as text, reached only through cursor operations.
// With check, the number of children reached must be the element's child count.
std::string Dump(const XmlCursor& cursor, bool check = true, int depth = 0) {
  std::string out = std::string(cursor.QualifiedName()) + "(";
  for (uint32_t i = 0; i < cursor.AttributeCount(); ++i) {
    out += std::string(cursor.AttributeNameAt(i)) + "=" + cursor.AttributeValueAt(i) + ",";
  }
  out += ")'" + std::string(cursor.Text()) + "'{";
  XmlCursor child;
  uint32_t seen = 0;
  for (int rc = cursor.FirstChild(&child); rc == 0 && depth < 300; rc = NextSibling(child, &child), ++seen) {
    out += Dump(child, check, depth + 1);
  }
  if (check) {
    EXPECT_EQ(seen, cursor.ChildCount()) << cursor.LocalName();
  }
  return out + "}";
}

// ModelDump is Dump for the tree model; qualified names take the prefix of the nearest declaration.
std::string ModelDump(const TreeNode& node, const std::string& prefix = "") {
  const std::string own = node.uri.empty() ? prefix : node.prefix;
  std::string out = (own.empty() ? node.name : own + ":" + node.name) + "(";
  for (const auto& [name, value] : node.attributes) out += name + "=" + value + ",";
  out += ")'" + node.text + "'{";
  for (const TreeNode& child : node.children) out += ModelDump(child, own);
  return out + "}";
}

std::string StoreDump(XmlDocument& document, bool check = true) {
  document.Dom().SetCurrent(0);
  return Dump(XmlCursor::AtCurrent(document), check);
}

TEST(XmlRecordStore, RecordsHaveTheirSizesAndLinks) {
  XmlDocument document(nullptr);
  XmlDom& dom = document.Dom();
  ASSERT_EQ(dom.Length(), 16u);
  EXPECT_EQ(dom.TagAt(0), kTagNamespace);
  EXPECT_EQ(dom.Root(), 0u);
  // <r xmlns:p="urn:p"><a x="1">abc</a><p:b/></r>
  TreeNode tree = Node("r", "p", "urn:p");
  tree.children.push_back(Node("a", "", "", {{"x", "1"}}, "abc"));
  tree.children.push_back(Node("b", "p", "urn:p", {}, "", true));
  TreeBuilder builder(dom);
  ASSERT_TRUE(builder.Build(tree));
  const uint32_t r = tree.offset, a = tree.children[0].offset, b = tree.children[1].offset;
  const uint32_t scope = 16;
  EXPECT_EQ(dom.TagAt(scope), kTagNamespace);
  EXPECT_EQ(dom.SizeAt(scope), 20u);  // "p" and "urn:p": 1 + 5 + 14
  EXPECT_EQ(r, 36u);
  EXPECT_EQ(dom.Root(), r);
  EXPECT_EQ(dom.SizeAt(r), 60u);
  EXPECT_EQ(a, 96u);
  EXPECT_EQ(dom.SizeAt(a), 60u);
  EXPECT_EQ(dom.SizeAt(a + 60), 16u);  // the attribute x="1"
  EXPECT_EQ(dom.TagAt(a + 76), kTagText);
  EXPECT_EQ(dom.SizeAt(a + 76), 12u);
  EXPECT_EQ(Word(dom, a, kFieldText), a + 76);
  EXPECT_EQ(Word(dom, a, kFieldEnd), a + 88);
  EXPECT_EQ(Word(dom, a, kFieldParent), r);
  EXPECT_EQ(Word(dom, a, kFieldNamespace), scope);  // inherits the root's binding
  EXPECT_EQ(dom.TagAt(a + 88), kTagNamespace);
  EXPECT_EQ(b, a + 88 + 20);
  EXPECT_EQ(Word(dom, b, kFieldChildCount), kEmptyElementCount);
  EXPECT_EQ(dom.ChildCount(b), 0u);
  EXPECT_EQ(Word(dom, b, kFieldNamespace), a + 88);
  EXPECT_EQ(Word(dom, b, kFieldEnd), b + 60);
  EXPECT_EQ(Word(dom, a + 88, kFieldLink), b + 60);  // scope end
  EXPECT_EQ(Word(dom, scope, kFieldLink), dom.Length());
  EXPECT_EQ(Word(dom, r, kFieldEnd), dom.Length());
  EXPECT_EQ(dom.ChildCount(r), 2u);
  EXPECT_STREQ(dom.QualifiedName(b), "p:b");
  EXPECT_STREQ(dom.ExpandedName(b), "urn:pb");
  EXPECT_STREQ(dom.NamespaceUri(a), "urn:p");
  EXPECT_STREQ(dom.Text(a), "abc");
  EXPECT_EQ(dom.Current(), r);  // the last element closed
  EXPECT_EQ(dom.TopLevelElementCount(), 1u);
  EXPECT_EQ(dom.Validate(), 0);
  EXPECT_EQ(StoreDump(document), ModelDump(tree));
}

// PathTo returns the child indexes from the root to a random node of the model.
std::vector<size_t> RandomPath(std::mt19937_64& rng, const TreeNode& root) {
  std::vector<size_t> path;
  const TreeNode* node = &root;
  while (!node->children.empty() && rng() % 3 != 0) {
    path.push_back(rng() % node->children.size());
    node = &node->children[path.back()];
  }
  return path;
}

TreeNode& Follow(TreeNode& root, const std::vector<size_t>& path) {
  TreeNode* node = &root;
  for (size_t i : path) node = &node->children[i];
  return *node;
}

// Select makes the store element of path current through child indexes.
void Select(XmlDom& dom, const std::vector<size_t>& path) {
  dom.SetCurrent(0);
  for (size_t i : path) ASSERT_EQ(dom.ChildByIndex(static_cast<int64_t>(i) + 1, 1), 0);
  if (dom.Current() == 0) dom.SetCurrent(dom.Root());
}

TEST(XmlRecordStore, EditsKeepTheStoreValidAndAgreeWithATreeModel) {
  std::mt19937_64 rng(Seed());
  const int64_t trees = Scaled(2000);
  for (int64_t t = 0; t < trees; ++t) {
    XmlDocument document(nullptr);
    XmlDom& dom = document.Dom();
    TreeNode model = RandomTree(rng, 40, true);
    TreeBuilder builder(dom);
    ASSERT_TRUE(builder.Build(model));
    for (int edit = 0; edit < 6; ++edit) {
      const std::vector<size_t> path = RandomPath(rng, model);
      TreeNode& node = Follow(model, path);
      Select(dom, path);
      const uint32_t element = dom.Current();
      switch (rng() % 4) {
        case 0:
        case 1: {
          // Longer, shorter and equal texts, or a first text where there was none.
          const std::string text = rng() % 4 == 0 ? node.text : std::string(rng() % 11, 'x');
          ASSERT_EQ(dom.SetCurrentText(text.c_str()), 0);
          node.text = text;
          break;
        }
        case 2:
          if (!node.children.empty()) {
            const size_t i = rng() % node.children.size();
            ASSERT_EQ(dom.ChildByIndex(static_cast<int64_t>(i) + 1, 1), 0);
            const uint32_t child = dom.Current();
            dom.SetCurrent(element);
            ASSERT_EQ(dom.RemoveChild(child), 0);
            node.children.erase(node.children.begin() + static_cast<std::ptrdiff_t>(i));
          }
          break;
        default:
          ASSERT_EQ(dom.RemoveChild(0), 0);
          node.children.clear();
          break;
      }
      ASSERT_EQ(dom.Validate(), 0) << "tree " << t << " edit " << edit;
      ASSERT_EQ(StoreDump(document), ModelDump(model)) << "tree " << t << " edit " << edit;
    }
  }
}

// ---- DOM files

using DomFile = testing_support::TempDirTest;

std::string Image(const XmlDom& dom) {
  std::string bytes = "\x07\x01";
  const uint32_t root = dom.Root();
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(root >> (8 * i));
  return bytes + std::string(dom.Records().Data(), dom.Length());
}

void SetWordIn(std::string& image, uint32_t offset, uint32_t field, uint32_t value) {
  std::memcpy(&image[6 + offset + 4 * field], &value, 4);
}

TEST_F(DomFile, SaveThenLoadGivesTheSameRecords) {
  std::mt19937_64 rng(7);
  XmlParser parser;
  TreeNode model = RandomTree(rng, 60, true);
  TreeBuilder builder(parser.Document().Dom());
  ASSERT_TRUE(builder.Build(model));
  const std::string before = Image(parser.Document().Dom());
  const std::string path = Path("store.dom");
  ASSERT_EQ(parser.SaveDomFile(path.c_str()), 0);
  EXPECT_EQ(Get("store.dom"), before);
  XmlParser loaded;
  ASSERT_EQ(loaded.LoadDomFile(path.c_str()), 0);
  EXPECT_EQ(Image(loaded.Document().Dom()), before);
  EXPECT_EQ(StoreDump(loaded.Document()), ModelDump(model));

  XmlParser empty;
  EXPECT_EQ(empty.SaveDomFile(Path("empty.dom").c_str()), 210);
  EXPECT_STREQ(empty.LastErrorText().Data(), "DOM tree unavailable (set BuildDOM to TRUE and reparse).");
  EXPECT_EQ(empty.LoadDomFile(Path("missing.dom").c_str()), 3);
  EXPECT_STREQ(empty.LastErrorText().Data(), "Can't open DOM file.");
  EXPECT_EQ(parser.SaveDomFile(Path("no/such/dir.dom").c_str()), 4);
  EXPECT_STREQ(parser.LastErrorText().Data(), "Can't open DOM file.");
}

TEST_F(DomFile, ShortForeignAndForgedFilesAreRefused) {
  XmlParser parser;
  TreeNode tree = Node("r", "p", "urn:p", {{"a", "1"}});
  tree.children.push_back(Node("c", "", "", {}, "t"));
  TreeBuilder builder(parser.Document().Dom());
  ASSERT_TRUE(builder.Build(tree));
  const std::string good = Image(parser.Document().Dom());
  const uint32_t r = tree.offset, c = tree.children[0].offset, text = c + 60, attribute = r + 60;
  const uint32_t length = parser.Document().Dom().Length();
  struct Forgery {
    const char* what;
    std::string bytes;
    int code;
  };
  std::vector<Forgery> forged = {
      {"5 bytes", good.substr(0, 5), -1},
      {"empty", "", -1},
      {"other magic", "\x07\x02" + good.substr(2), -2},
      {"odd length", good + "x", -2},
      {"cut inside a record", good.substr(0, good.size() - 4), -2},
  };
  auto forge = [&](const char* what, uint32_t offset, uint32_t field, uint32_t value) {
    std::string bytes = good;
    SetWordIn(bytes, offset, field, value);
    forged.push_back({what, bytes, -2});
  };
  forge("record size 0", c, kFieldSize, 0);
  forge("size not a multiple of 4", c, kFieldSize, 62);
  forge("size past the end", text, kFieldSize, 64);
  forge("size below the header", c, kFieldSize, 56);
  forge("unknown tag", text, kFieldTag, 'Q');
  forge("parent into a record", c, kFieldParent, r + 4);
  forge("parent forward", r, kFieldParent, c);
  forge("parent not an element", c, kFieldParent, attribute);
  forge("namespace not a scope", c, kFieldNamespace, r);
  forge("text not a text record", r, kFieldText, c);
  forge("text before its element", c, kFieldText, 16);
  forge("end before its record", c, kFieldEnd, c + 4);
  forge("end past the buffer", c, kFieldEnd, length + 4);
  forge("end inside a record", r, kFieldEnd, c + 8);
  forge("scope end backwards", 16, kFieldLink, 8);
  forge("attribute namespace into a record", attribute, kFieldLink, 20);
  forge("root not an element", 0, 0, 0);
  SetWordIn(forged.back().bytes, 0, 0, kTagNamespace);
  std::memcpy(&forged.back().bytes[2], &attribute, 4);
  {
    std::string bytes = good;
    std::memset(&bytes[6 + text + 8], 'z', 4);  // the text without its NUL
    forged.push_back({"string without NUL", bytes, -2});
    bytes = good;
    std::memset(&bytes[6 + attribute + 12], 'z', 4);  // attribute name and value run together
    forged.push_back({"attribute without its second NUL", bytes, -2});
  }
  for (const Forgery& f : forged) {
    const std::string path = Path("forged.dom");
    Put("forged.dom", f.bytes);
    EXPECT_EQ(parser.LoadDomFile(path.c_str()), f.code) << f.what;
    EXPECT_STREQ(parser.LastErrorText().Data(), "Can't read from DOM file.") << f.what;
    // A refused file leaves an empty, valid store.
    EXPECT_EQ(parser.Document().Dom().Root(), 0u) << f.what;
    EXPECT_EQ(parser.Document().Dom().Validate(), 0) << f.what;
  }
  Put("good.dom", good);
  EXPECT_EQ(parser.LoadDomFile(Path("good.dom").c_str()), 0);
}

// Exercise runs every walk over a store: dump, counts, paths, and the edits.
void Exercise(XmlParser& parser, std::mt19937_64& rng) {
  XmlDocument& document = parser.Document();
  XmlDom& dom = document.Dom();
  (void)dom.TopLevelElementCount();
  (void)StoreDump(document, false);
  for (const char* path : {"/", "[last()]", "*0", "--/next()/prev()/last()/..", "[lastUnclosed()]"}) {
    (void)parser.SetXPath(path);
  }
  dom.SetCurrent(0);
  (void)dom.ChildByIndex(1, 1);
  (void)dom.NextElement(1);
  (void)dom.Parent();
  (void)dom.FindElement("a", 2, "id", nullptr);
  const uint32_t at = static_cast<uint32_t>(rng() % (dom.Length() + 1)) & ~3u;
  if (dom.SelectElementAt(at) == 0) {
    (void)dom.SetCurrentText(rng() % 2 ? "longer text here" : "");
    (void)dom.RemoveChild(rng() % 2 ? 0 : at + 60);
    (void)dom.InsertTextRecord("t");
  }
}

TEST_F(DomFile, MutatedFilesLoadOrAreRefusedCleanly) {
  std::mt19937_64 rng(Seed());
  std::vector<std::string> seeds;
  for (int i = 0; i < 8; ++i) {
    XmlDom dom;
    TreeNode model = RandomTree(rng, 12, true);
    TreeBuilder builder(dom);
    ASSERT_TRUE(builder.Build(model));
    seeds.push_back(Image(dom));
  }
  const int64_t count = Scaled(200000);
  int64_t loaded = 0;
  XmlParser parser;
  for (int64_t n = 0; n < count; ++n) {
    std::string bytes = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !bytes.empty(); ++e) {
      const size_t at = rng() % bytes.size();
      switch (rng() % 5) {
        case 0: bytes[at] = static_cast<char>(rng()); break;
        case 1: bytes.resize(at); break;
        case 2: bytes.insert(at, 1 + rng() % 8, static_cast<char>(rng())); break;
        default: {
          // Offsets and sizes are where forgeries bite: write a plausible small number into a word.
          const size_t word = 6 + ((at / 4) * 4);
          if (word + 4 <= bytes.size()) {
            const uint32_t value = static_cast<uint32_t>(rng() % (bytes.size() + 64));
            std::memcpy(&bytes[word], &value, 4);
          }
        }
      }
    }
    const int rc = n % 1000 == 0 ? (Put("m.dom", bytes), parser.LoadDomFile(Path("m.dom").c_str()))
                                 : parser.LoadDomImage(bytes.data(), static_cast<int64_t>(bytes.size()));
    ASSERT_TRUE(rc == 0 || rc == -1 || rc == -2) << rc;
    if (rc == 0) {
      ++loaded;
      Exercise(parser, rng);
    }
  }
  std::printf("%lld of %lld mutated files loaded\n", static_cast<long long>(loaded), static_cast<long long>(count));
}

// A store cut short holds elements that are still open (end offset 0).
TEST(XmlRecordStore, StoresWithOpenElementsStayWalkable) {
  XmlParser parser;
  XmlDom& dom = parser.Document().Dom();
  ASSERT_EQ(dom.WriteElement("r", 1, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(dom.WriteElement("a", 2, 0, 0, 0, 0, 0, 0), 0);
  dom.CloseElement(2, 0, 0);
  ASSERT_EQ(dom.WriteElement("b", 2, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(dom.WriteElement("c", 3, 0, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(dom.Validate(), 0);
  EXPECT_EQ(dom.TopLevelElementCount(), 1u);
  EXPECT_EQ(parser.SetXPath("[lastUnclosed()]"), 207);  // a relative step: no such form
  EXPECT_EQ(parser.SetXPath("/[lastUnclosed()]"), 0);
  EXPECT_STREQ(dom.LocalName(dom.Current()), "c");
  EXPECT_EQ(parser.SetXPath("/r/a"), 0);
  EXPECT_EQ(parser.SetXPath("next()"), 0);  // b is open: reached, but nothing after it
  EXPECT_STREQ(dom.LocalName(dom.Current()), "b");
  EXPECT_EQ(parser.SetXPath("next()"), 207);
  EXPECT_EQ(parser.SetXPath("/r/[last()]"), 0);  // one closed child counted
  EXPECT_STREQ(dom.LocalName(dom.Current()), "a");
  EXPECT_EQ(parser.SetXPath("/r/b"), 208);  // the count holds closed children only
  // Edits on open elements stay inside the buffer.
  ASSERT_EQ(parser.SetXPath("/[lastUnclosed()]"), 0);
  ASSERT_EQ(dom.SetCurrentText("open text"), 0);
  EXPECT_STREQ(dom.Text(dom.Current()), "open text");
  ASSERT_EQ(dom.SetCurrentText("x"), 0);
  EXPECT_EQ(dom.Validate(), 0);
  dom.SetCurrent(dom.Root());
  const uint32_t before = dom.Length();
  ASSERT_EQ(dom.RemoveChild(0), 0);  // the one closed child; the open one is not counted yet
  EXPECT_EQ(dom.Validate(), 0);
  EXPECT_EQ(dom.ChildCount(dom.Root()), 0u);
  EXPECT_EQ(dom.Length(), before - 60);
  // Offsets of open elements are never followed backwards, whatever they hold.
  XmlDom cut;
  ASSERT_EQ(cut.WriteElement("r", 1, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(cut.WriteElement("a", 2, 0, 0, 0, 0, 0, 0), 0);
  cut.SetWord(cut.Root(), kFieldEnd, 8);
  cut.SetWord(cut.Root(), kFieldChildCount, 5);
  cut.SetCurrent(0);
  EXPECT_EQ(cut.ChildByIndex(3, 1), 207);
  EXPECT_EQ(cut.FindElement("zz", 1, nullptr, nullptr), 208);
  cut.SetCurrent(cut.Root());
  EXPECT_EQ(cut.RemoveChild(0), 0);
  EXPECT_EQ(cut.TopLevelElementCount(), 1u);
}

}  // namespace
}  // namespace velmora::parsers::testing
