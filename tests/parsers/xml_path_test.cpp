// Paths and cursors over the record store. Random trees are written as XML for xmllint (XPath 1.0) and
// built as stores for us; every generated path must select the same element (by its unique id) or fail
// on both sides. Then the path forms xmllint has no counterpart for, long paths, and the cursor
// operations against the tree model.
//
// The seed is printed; VELMORABLE_FUZZ_SEED replays one. VELMORABLE_FUZZ_SCALE multiplies the counts.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
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

bool XmllintAvailable() {
  static const bool available = std::system("xmllint --version >/dev/null 2>&1") == 0;
  return available;
}

// Xmllint evaluates an XPath string expression over the XML in file and returns what it prints.
std::string Xmllint(const std::string& file, const std::string& expression) {
  std::string quoted;
  for (char c : expression) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const std::string command = "xmllint --xpath '" + quoted + "' " + file + " 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
  pclose(pipe);
  return out;
}

struct PathPair {
  std::string ours;
  std::string xpath;
};

std::string Id(const TreeNode& node) { return node.attributes.front().second; }

// RandomPath walks the model from the root, writing each step in one of our forms and in XPath. The
// model only steers the walk towards elements that exist; the expected answer comes from xmllint.
PathPair RandomPath(std::mt19937_64& rng, const TreeNode& root) {
  PathPair pair;
  switch (rng() % 8) {
    case 0: pair = {"/zz", "/zz[1]"}; break;
    case 1: pair = {"/" + root.name + "[1]", "/" + root.name + "[1]"}; break;
    default: pair = {"/" + root.name, "/" + root.name + "[1]"}; break;
  }
  const TreeNode* node = &root;
  const int steps = 1 + static_cast<int>(rng() % 5);
  for (int s = 0; s < steps; ++s) {
    const size_t count = node->children.size();
    const size_t pick = count != 0 ? rng() % count : 0;
    const TreeNode* child = count != 0 ? &node->children[pick] : nullptr;
    std::string ours, xpath;
    switch (rng() % 9) {
      case 0:
        ours = "[" + std::to_string(pick + 1 + (rng() % 6 == 0 ? 1 : 0)) + "]";
        xpath = "*" + ours;
        break;
      case 1:
        ours = "[last()]";
        xpath = "*[last()]";
        child = count != 0 ? &node->children.back() : nullptr;
        break;
      case 2:
        ours = "[last()-1]";
        xpath = "*[last()-1]";
        child = count > 1 ? &node->children[count - 2] : nullptr;
        break;
      case 3:
      case 4: {
        const std::string name = child != nullptr ? child->name : kTreeNames[rng() % 5];
        ours = xpath = name;
        xpath += "[1]";
        for (const TreeNode& c : node->children) {
          if (c.name == name) {
            child = &c;
            break;
          }
        }
        break;
      }
      case 5:
      case 6: {
        const std::string name = child != nullptr ? child->name : kTreeNames[rng() % 5];
        int occurrence = 0;
        for (size_t i = 0; child != nullptr && i <= pick; ++i) occurrence += node->children[i].name == name;
        occurrence += rng() % 5 == 0 ? 1 : 0;
        ours = xpath = name + "[" + std::to_string(occurrence < 1 ? 1 : occurrence) + "]";
        break;
      }
      case 7: {
        const std::string name = child != nullptr ? child->name : "a";
        const std::string value = child != nullptr && rng() % 4 != 0 ? Id(*child) : "v" + std::to_string(rng() % 3);
        const char* attribute = value[0] == 'n' ? "id" : "k";
        if (rng() % 3 == 0) {
          ours = name + "[@" + attribute + "]";
          xpath = name + "[@" + attribute + "][1]";
        } else {
          const char quote = rng() % 2 == 0 ? '"' : '\'';
          ours = name + "[@" + attribute + "=" + quote + value + quote + "]";
          xpath = name + "[@" + attribute + "=\"" + value + "\"][1]";
        }
        break;
      }
      default:
        // ".." only as the last step: what follows it is read again from the top.
        ours = xpath = "..";
        s = steps;
        break;
    }
    pair.ours += "/" + ours;
    pair.xpath += "/" + xpath;
    if (child == nullptr) break;
    node = child;
  }
  return pair;
}

TEST(XmlPaths, SelectWhatXmllintSelects) {
  if (!XmllintAvailable()) GTEST_SKIP() << "xmllint not installed (Debian package libxml2-utils)";
  std::mt19937_64 rng(Seed());
  char folder[] = "/tmp/velmora_xpath_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/tree.xml";
  const int64_t trees = Scaled(500);
  int64_t found = 0, failed = 0;
  for (int64_t t = 0; t < trees; ++t) {
    TreeNode model = RandomTree(rng, 60, false);
    XmlParser parser;
    TreeBuilder builder(parser.Document().Dom());
    ASSERT_TRUE(builder.Build(model));
    {
      FILE* out = std::fopen(file.c_str(), "wb");
      ASSERT_NE(out, nullptr);
      const std::string xml = ToXml(model);
      std::fwrite(xml.data(), 1, xml.size(), out);
      std::fclose(out);
    }
    std::vector<PathPair> paths;
    std::string expression = "concat(\"\"";
    for (int i = 0; i < 40; ++i) {
      paths.push_back(RandomPath(rng, model));
      expression += ",string((" + paths.back().xpath + ")/@id),\"|\"";
    }
    expression += ")";
    const std::string answer = Xmllint(file, expression);
    ASSERT_FALSE(answer.empty()) << expression;
    size_t at = 0;
    for (const PathPair& path : paths) {
      const size_t bar = answer.find('|', at);
      ASSERT_NE(bar, std::string::npos) << answer;
      const std::string expected = answer.substr(at, bar - at);
      at = bar + 1;
      const int rc = parser.SetXPath(path.ours.c_str());
      if (expected.empty()) {
        ++failed;
        EXPECT_TRUE(rc == 207 || rc == 208 || rc == 209) << path.ours << " rc " << rc << " tree " << t;
        const char* text = rc == 207 ? "Invalid XPath." : rc == 208 ? "No such child." : "Top element does not match start of path.";
        EXPECT_STREQ(parser.LastErrorText().Data(), text) << path.ours;
      } else {
        ++found;
        ASSERT_EQ(rc, 0) << path.ours << " " << path.xpath << " tree " << t;
        EXPECT_EQ(XmlCursor::AtCurrent(parser.Document()).AttributeValue("id"), expected)
            << path.ours << " " << path.xpath << " tree " << t;
      }
    }
  }
  std::printf("%lld paths selected an element, %lld failed on both sides\n", static_cast<long long>(found),
              static_cast<long long>(failed));
  std::system(("rm -rf " + std::string(folder)).c_str());
}

// Paths on parsed documents: entries by index, by attribute value, the last one, the next one and the
// parent, selected as xmllint selects them (compared by the entries' "name" attribute).
TEST(XmlPaths, OnParsedDocumentsSelectWhatXmllintSelects) {
  if (!XmllintAvailable()) GTEST_SKIP() << "xmllint not installed (Debian package libxml2-utils)";
  std::mt19937_64 rng(Seed());
  for (const char* file : {"/usr/share/xml/iso-codes/iso_639-5.xml", "/usr/share/xml/iso-codes/iso_15924.xml",
                           "/usr/share/xml/iso-codes/iso_3166-1.xml"}) {
    XmlParser parser;
    parser.SetBuildDom(1);
    if (parser.LoadFile(file) != 0) continue;  // not installed
    XmlDom& dom = parser.Document().Dom();
    const std::string root = dom.LocalName(dom.Root());
    const std::string entry = dom.LocalName(dom.FirstChildRecord(dom.Root()));
    const uint32_t count = dom.ChildCount(dom.Root());
    std::vector<PathPair> paths;
    std::string expression = "concat(\"\"";
    for (int i = 0; i < 60; ++i) {
      const uint32_t n = 1 + static_cast<uint32_t>(rng() % (count + 2));
      const std::string nth = "/" + root + "/" + entry + "[" + std::to_string(n) + "]";
      PathPair pair;
      switch (i % 5) {
        case 0: pair = {nth, nth + "/@name"}; break;
        case 1: {
          dom.SetCurrent(0);
          const std::string name = dom.ChildByIndex(n, 1) == 0 ? XmlCursor::AtCurrent(parser.Document()).AttributeValue("name") : "none";
          if (name.find('"') != std::string::npos) continue;
          pair = {"/" + root + "/" + entry + "[@name=\"" + name + "\"]", "/" + root + "/" + entry + "[@name=\"" + name + "\"][1]/@name"};
          break;
        }
        case 2: pair = {"/" + root + "/[last()]", "/" + root + "/*[last()]/@name"}; break;
        case 3: pair = {nth + "/next()", nth + "/following-sibling::*[1]/@name"}; break;
        default: pair = {nth + "/..", nth + "/../@name"}; break;
      }
      paths.push_back(pair);
      expression += ",string(" + pair.xpath + "),\"|\"";
    }
    const std::string answer = Xmllint(file, expression + ")");
    size_t at = 0;
    for (const PathPair& path : paths) {
      const size_t bar = answer.find('|', at);
      ASSERT_NE(bar, std::string::npos);
      const std::string expected = answer.substr(at, bar - at);
      at = bar + 1;
      const int rc = parser.SetXPath(path.ours.c_str());
      const std::string got = rc == 0 ? XmlCursor::AtCurrent(parser.Document()).AttributeValue("name") : "";
      if (path.ours.find("..") != std::string::npos && rc == 0) {
        EXPECT_STREQ(dom.LocalName(dom.Current()), root.c_str()) << path.ours;  // the root has no name attribute
      } else {
        EXPECT_EQ(got, expected) << file << " " << path.ours << " rc " << rc;
      }
    }
  }
}

// Family: r(id=r) { a(id=a1) { x(id=x1) } b(id=b1, k=v) a(id=a2) } with a text in b.
class PathForms : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = Node("r", "", "", {{"id", "r"}});
    tree_.children.push_back(Node("a", "", "", {{"id", "a1"}}));
    tree_.children[0].children.push_back(Node("x", "", "", {{"id", "x1"}}, "", true));
    tree_.children.push_back(Node("b", "", "", {{"id", "b1"}, {"k", "v"}}, "text of b"));
    tree_.children.push_back(Node("a", "", "", {{"id", "a2"}}));
    TreeBuilder builder(parser_.Document().Dom());
    ASSERT_TRUE(builder.Build(tree_));
  }
  // Run evaluates path and returns "<code> <id of the current element> <path text>".
  std::string Run(const std::string& path) {
    const int rc = parser_.SetXPath(path.c_str());
    const std::string id = XmlCursor::AtCurrent(parser_.Document()).AttributeValue("id");
    return std::to_string(rc) + " " + id + " " + parser_.Document().PathText().Data();
  }
  XmlDom& Dom() { return parser_.Document().Dom(); }

  TreeNode tree_;
  XmlParser parser_;
};

TEST_F(PathForms, TopLevelForms) {
  EXPECT_EQ(Run("/"), "0 r /r");
  EXPECT_EQ(Run("/x"), "209 r /");
  EXPECT_STREQ(parser_.LastErrorText().Data(), "Top element does not match start of path.");
  EXPECT_EQ(Run("/r[2]"), "207 r /");
  EXPECT_EQ(Run("/9r"), "207 r /");
  EXPECT_EQ(Run("/[1]/b"), "0 b1 /r/b");
  EXPECT_EQ(Run("/[last()]"), "0 r /r");
  EXPECT_EQ(Run(""), "0 r /r");
  // "*N": the root, an element by its record offset, and offsets that start no element.
  const uint32_t b = tree_.children[1].offset;
  EXPECT_EQ(Run("*" + std::to_string(b)), "0 b1 /r");
  EXPECT_EQ(Run("*0"), "0 r /r");
  EXPECT_EQ(Run("*" + std::to_string(b + 60)), "207 r /r");  // b's attribute record
  EXPECT_EQ(Run("*" + std::to_string(b + 4)), "207 r /r");   // inside b's record
  EXPECT_EQ(Run("*" + std::to_string(Dom().Length())), "0 r /r");
  EXPECT_EQ(Run("*999999"), "0 r /r");
  // An 'E' byte inside a text is no record.
  XmlParser text_parser;
  XmlDom& dom = text_parser.Document().Dom();
  ASSERT_EQ(dom.WriteElement("r", 1, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(dom.WriteText(1, "abcdEFGH", kMeasure), 0);
  dom.CloseElement(1, 0, 0);
  const uint32_t e_byte = dom.Root() + 60 + 8 + 4;
  ASSERT_EQ(dom.Records().Data()[e_byte], 'E');
  EXPECT_EQ(text_parser.SetXPath(("*" + std::to_string(e_byte)).c_str()), 207);
  XmlParser empty;
  EXPECT_EQ(empty.SetXPath("/"), 210);
  EXPECT_STREQ(empty.LastErrorText().Data(), "DOM tree unavailable (set BuildDOM to TRUE and reparse).");
}

TEST_F(PathForms, RelativeStepsAndThePathText) {
  EXPECT_EQ(Run("/r/[last()]"), "0 a2 /r/[3]");
  EXPECT_EQ(Run("/r/[last()-1]"), "0 b1 /r/[2]");
  EXPECT_EQ(Run("/r/[LAST()-2]"), "0 a1 /r/[1]");
  EXPECT_EQ(Run("/r/[last()+1]"), "207 r /r");
  EXPECT_EQ(Run("/r/[last()-3]"), "207 r /r");
  EXPECT_EQ(Run("/r/[0]"), "207 r /r");
  EXPECT_EQ(Run("/r/[4]"), "207 r /r");
  EXPECT_EQ(Run("/r/[x]"), "207 r /r");
  EXPECT_EQ(Run("/r/a[2]"), "0 a2 /r/a[2]");
  EXPECT_EQ(Run("/r/a[3]"), "208 r /r");
  EXPECT_STREQ(parser_.LastErrorText().Data(), "No such child.");
  EXPECT_EQ(Run("/r/a[@id='a2']"), "0 a2 /r/a");
  EXPECT_EQ(Run("/r/b[@k]"), "0 b1 /r/b");
  EXPECT_EQ(Run("/r/b[@k=\"w\"]"), "208 r /r");
  EXPECT_EQ(Run("/r/a[@id='a2'][7]"), "207 r /r");
  EXPECT_EQ(Run("/r/a/prev()"), "0 a1 /r/a");  // a first child stays itself
  EXPECT_EQ(Run("/r/a/next()"), "0 b1 /r/b");
  EXPECT_EQ(Run("/r/a/following-sibling::*[1]/next()"), "0 a2 /r/a");
  EXPECT_EQ(Run("/r/a[2]/prev()"), "0 b1 /r/b");
  EXPECT_EQ(Run("/r/a[2]/preceding-sibling::*[1]/prev()"), "0 a1 /r/a");
  EXPECT_EQ(Run("/r/a/last()"), "0 a2 /r/a");
  EXPECT_EQ(Run("/r/a[2]/next()"), "207 a2 /r/a[2]");
  EXPECT_EQ(Run("/r/child::*[1]"), "0 a1 /r/a");
  EXPECT_EQ(Run("/r/--/--"), "0 x1 /r/a/x");
  EXPECT_EQ(Run("/r/a/x/.."), "0 a1 /r/a");
  EXPECT_EQ(Run("/r/a/x/Parent::"), "0 a1 /r/a");
  // After "..", the rest is read from the top: a further step names the root.
  EXPECT_EQ(Run("/r/a/x/++/++"), "207 r /");
  EXPECT_EQ(Run("/r/a/x/../b"), "209 r /");
  EXPECT_EQ(Run("/r/a/x/../r/b"), "0 b1 /r/b");
  EXPECT_EQ(Run("/r/.."), "208 r /r");
  EXPECT_EQ(Run("/r/prev()"), "207 r /r");
  EXPECT_EQ(Run("/r/a/x/../../../.."), "207 r /");
  EXPECT_EQ(Run("/[lastUnclosed()]"), "207 r /");  // every element is closed
  // Relative paths continue from the current element.
  EXPECT_EQ(Run("/r/a"), "0 a1 /r/a");
  EXPECT_EQ(Run("x"), "0 x1 /r/a/x");
}

TEST_F(PathForms, LongPathsRunWithoutRecursion) {
  std::string path = "/r/a";
  for (int i = 0; i < 50000; ++i) path += "/next()/prev()";
  EXPECT_EQ(Run(path), "0 a1 /r/a");
  XmlParser deep;
  TreeNode chain = Node("n", "", "", {{"id", "0"}});
  TreeNode* at = &chain;
  std::string steps = "/n";
  for (int depth = 1; depth < 256; ++depth) {
    at->children.push_back(Node("n", "", "", {{"id", std::to_string(depth)}}));
    at = &at->children.back();
    steps += "/n";
  }
  TreeBuilder builder(deep.Document().Dom());
  ASSERT_TRUE(builder.Build(chain));
  ASSERT_EQ(deep.SetXPath(steps.c_str()), 0);
  EXPECT_STREQ(XmlCursor::AtCurrent(deep.Document()).AttributeValue("id"), "255");
}

// Every cursor operation, at every element of random trees, against the model.
TEST(XmlCursors, AgreeWithTheTreeModel) {
  std::mt19937_64 rng(Seed());
  for (int t = 0; t < 200; ++t) {
    XmlParser parser;
    TreeNode model = RandomTree(rng, 50, true);
    TreeBuilder builder(parser.Document().Dom());
    ASSERT_TRUE(builder.Build(model));
    struct Visit {
      const TreeNode* node;
      XmlCursor cursor;
      std::string prefix;
    };
    std::vector<Visit> stack = {{&model, XmlCursor(&parser.Document(), model.offset, 0), ""}};
    while (!stack.empty()) {
      const Visit visit = stack.back();
      stack.pop_back();
      const TreeNode& node = *visit.node;
      const XmlCursor& cursor = visit.cursor;
      const std::string prefix = node.uri.empty() ? visit.prefix : node.prefix;
      ASSERT_EQ(cursor.Offset(), node.offset);
      EXPECT_EQ(cursor.Tag(), kTagElement);
      EXPECT_STREQ(cursor.LocalName(), node.name.c_str());
      EXPECT_EQ(cursor.QualifiedName(), prefix.empty() ? node.name : prefix + ":" + node.name);
      EXPECT_STREQ(cursor.Text(), node.text.c_str());
      EXPECT_STREQ(cursor.AttributeValue("id"), Id(node).c_str());
      EXPECT_STREQ(cursor.AttributeValue("none"), "");
      ASSERT_EQ(cursor.AttributeCount(), node.attributes.size());
      EXPECT_EQ(cursor.ChildCount(), node.children.size());
      XmlCursor found;
      for (const char* name : kTreeNames) {
        const std::string qualified = prefix.empty() ? name : prefix + ":" + name;
        const TreeNode* first = nullptr;
        int32_t all = 0;
        for (const TreeNode& child : node.children) {
          const std::string child_prefix = child.uri.empty() ? prefix : child.prefix;
          if (child.name != name) continue;
          first = first != nullptr ? first : &child;
          all += (child_prefix.empty() ? child.name : child_prefix + ":" + child.name) == qualified;
        }
        EXPECT_EQ(cursor.HasChild(name), first != nullptr);
        EXPECT_EQ(cursor.FindChild(name, &found) == 0 ? found.Offset() : 0, first != nullptr ? first->offset : 0);
        core::PtrArray<XmlCursor> list;
        ASSERT_EQ(cursor.FindAll(qualified.c_str(), list), 0);
        EXPECT_EQ(list.Count(), all) << qualified;
      }
      XmlCursor child, sibling, parent;
      EXPECT_EQ(cursor.FirstChild(&child) == 0, !node.children.empty());
      for (size_t i = 0; i < node.children.size(); ++i) {
        ASSERT_EQ(cursor.Child(static_cast<uint32_t>(i), &child), 0);
        ASSERT_EQ(child.Offset(), node.children[i].offset);
        ASSERT_EQ(child.Parent(&parent), 0);
        EXPECT_EQ(parent.Offset(), node.offset);
        EXPECT_EQ(NextSibling(child, &sibling) == 0 ? sibling.Offset() : 0,
                  i + 1 < node.children.size() ? node.children[i + 1].offset : 0);
        stack.push_back({&node.children[i], child, prefix});
      }
      EXPECT_EQ(cursor.Child(static_cast<uint32_t>(node.children.size()), &child), 207);
      EXPECT_TRUE(child.IsNull());
    }
  }
  XmlCursor none;
  XmlCursor out;
  EXPECT_EQ(none.Tag(), kTagNoElement);
  EXPECT_STREQ(none.Text(), "");
  EXPECT_NE(none.FirstChild(&out), 0);
}

}  // namespace
}  // namespace velmora::parsers::testing
