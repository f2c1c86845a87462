// Path queries on a JsonParser's tree. Two forms: an XPath-like form whose steps are separated by "/"
// and whose first step from the root names the root "json" ("/json/keys/[2]"), and a JSONPath-like
// form rooted at "$" with dot-separated steps, quoted names in "['" and "']" and bracketed 0-based
// indexes ("$.keys[1]", "$['a b'][2]"). A step may carry a predicate: an index, "last()" or
// "last()-k". Recursive descent, filters and wildcards other than a "*" step find nothing.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "core/tokenizer.h"
#include "parsers/json_node.h"

namespace velmora::parsers {

class JsonParser;

// JsonStepList is the step list of a JSONPath-form path, with a read cursor.
class JsonStepList {
 public:
  // SetPath splits path into steps (SplitJsonPath) and puts the cursor on the first; 0 or 200.
  [[nodiscard]] int SetPath(const char* path);
  // Next returns the step at the cursor and advances it; null after the last step.
  const char* Next();
  int32_t Count() const { return steps_.Count(); }
  const core::StrList& Steps() const { return steps_; }

 private:
  core::StrList steps_;
  int32_t cursor_ = 0;
};

// IsJsonPath is 1 when text reads as the JSONPath form, else 0.
int IsJsonPath(const char* text);
// SplitJsonPath appends the steps of text to steps: "$.store.book[0].title" gives "$", "store", "book",
// "[0]", "title"; "$['a b'][2]" gives "$", "a b", "[2]"; "$..x" gives "$", "..", "x". 0 or 200.
[[nodiscard]] int SplitJsonPath(const char* text, core::StrList& steps);
// SplitStepPredicate cuts step into its name and the predicate between "[" and "]"; *has_predicate
// tells whether it had one. In a step holding a backslash, "\[", "\]" and "\\" stand for the character
// itself, the name ends before the first unescaped "[" and the text of each bracket pair is added to
// the predicate. 0 or 200.
[[nodiscard]] int SplitStepPredicate(const char* step, core::BufferCore& name, core::BufferCore& predicate,
                                     bool* has_predicate);
// PathTokenLength is the length of a leading single-quoted run up to and including its closing quote
// (a backslash passes the next character; an unclosed run counts to the end), else of the leading run
// of one repeated character; 0 for an empty text.
int32_t PathTokenLength(const char* text);
// WalkJsonPath follows the steps from node and returns the node reached, or null.
JsonNode* WalkJsonPath(JsonNode* node, JsonStepList& steps);
// WalkXPathSteps follows the steps the tokenizer gives from node; from_root makes the first step name
// the node itself. Returns the node reached, or null.
JsonNode* WalkXPathSteps(JsonNode* node, core::TextTokenizer& steps, bool from_root);
// JsonFindNode finds the node path names in parser's tree, starting at the root or at the selected
// node; null when there is none.
JsonNode* JsonFindNode(const JsonParser& parser, const char* path, int json_path_form);

}  // namespace velmora::parsers
