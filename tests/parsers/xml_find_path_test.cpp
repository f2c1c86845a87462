// Whole-text loading with the end-of-document check, and path lookups below a cursor by local name.
#include <gtest/gtest.h>

#include <string>

#include "parsers/xml_cursor.h"
#include "parsers/xml_parser.h"

namespace velmora::parsers {
namespace {

TEST(XmlFindPath, StepsReachFirstChildByNameAndLoadTextWantsAWholeDocument) {
  XmlParser parser;
  parser.SetBuildDom(1);
  ASSERT_EQ(parser.LoadText("<r xmlns:p=\"urn:p\"><a><b>1</b><b>2</b></a><p:a><p:c>3</p:c></p:a></r>"), 0);
  ASSERT_EQ(parser.SetXPath("/"), 0);
  const XmlCursor root = XmlCursor::AtCurrent(parser.Document());
  const struct {
    const char* path;
    int rc;
    const char* name;
  } cases[] = {{"a/b", 0, "b"}, {"/a//b/", 0, "b"}, {"", 0, "r"}, {"p:a/c", 0, "p:c"},
               {"a/c", kXmlNoSuchChild, ""}, {"x", kXmlNoSuchChild, ""}};
  for (const auto& c : cases) {
    XmlCursor out(root.Document(), 1, 1);
    EXPECT_EQ(root.FindPath(c.path, &out), c.rc) << c.path;
    EXPECT_STREQ(out.QualifiedName(), c.name) << c.path;
  }
  XmlCursor b;
  ASSERT_EQ(root.FindPath("a/b", &b), 0);
  EXPECT_STREQ(b.Text(), "1");

  // A text that stops inside the document fails, and the parser's error text is the document's.
  EXPECT_EQ(parser.LoadText("<r><a>"), kXmlUnbalancedElements);
  EXPECT_STREQ(parser.LastErrorText().Data(), parser.Document().ErrorText().Data());
  EXPECT_NE(parser.LastErrorText().Length(), 0);
  ASSERT_EQ(parser.LoadText("<r/>"), 0);
}

}  // namespace
}  // namespace velmora::parsers
