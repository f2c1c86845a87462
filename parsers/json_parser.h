// JsonParser: a component that reads JSON text incrementally, either into a tree of JsonNode objects
// (tree mode) or as a stream of events with a running path (stream mode), and answers path queries on
// the tree.
//
// The grammar is lenient: "//" and "/*" comments, literals in any case inside containers, any run of
// "+-.0-9eE" as a number, a comma before a closing brace or bracket, a document wrapped in parentheses,
// and sequences of documents or of records framed by delimiters. A parser is used by one thread at a
// time; subclasses see the parse through the On... hooks, whose nonzero result ends ParseText with that
// code.
#pragma once

#include <cstdint>

#include "component/component_base.h"
#include "core/buffer.h"
#include "parsers/json_node.h"

namespace velmora::parsers {

// Result codes of the parser and of its path queries.
constexpr int kJsonMarkupError = 10232;
constexpr int kJsonPathNotFound = 10233;
constexpr int kJsonNoTree = 10234;
constexpr int kJsonNothingSelected = 207;
constexpr int kJsonGrowthFailed = 10000;

namespace internal {
// ForceStepwiseJson makes tree mode copy every token and call every hook even for a parser whose hooks
// do nothing (the older path); for tests and benchmarks. Process-wide.
void ForceStepwiseJson(bool force);
}  // namespace internal

class JsonParser : public component::ComponentBase {
 public:
  JsonParser();
  ~JsonParser() override;

  // Reset forgets the document: the tree is freed, the input, token, path stack and replies emptied, the
  // document mode set to 0. Tree mode, keep-input, the unescape options, the raw-name fallback, the
  // delimiters, allow-trailing-content, bracket-marker mode and path mode keep their values. Returns 0.
  int Reset();
  // ParseText appends text (null counts as "") to the input and parses as far as it goes. 0 when the
  // text was taken (an incomplete document waits for more), 10232 with the last-error text for bad
  // markup, 200 or 10000 when memory runs out, or the first nonzero result of a hook.
  [[nodiscard]] int ParseText(const char* text);
  // BeginStream resets the parser, turns tree mode off and keep-input on; returns 1.
  int BeginStream();

  int SetTreeMode(uint32_t flag);
  // SetUnescapeOptions takes bit 0 (drop the double quotes round a string) and bit 1 (decode backslash
  // escapes); 0 keeps strings as written.
  int SetUnescapeOptions(uint32_t bits);
  // SetRawNameFallback makes CurrentName give the source text of a container member (needs keep-input).
  int SetRawNameFallback(uint32_t flag);

  // Modes that no setting of the component reaches; C++ callers set them after Reset.
  void SetAllowTrailingContent(uint32_t flag) { allow_trailing_content_ = flag; }
  void SetBracketMarkerMode(uint32_t flag) { bracket_marker_mode_ = flag; }
  // SetPathMode: 2 reads every path in the JSONPath form; any other value lets the path text decide.
  void SetPathMode(uint32_t mode) { path_mode_ = mode; }
  // SetDocumentMode: 0 one document, 1 and 3 a sequence of documents, 2 records framed by the
  // delimiters. 432 for any other mode (nothing changes).
  [[nodiscard]] int SetDocumentMode(uint32_t mode);
  // SetRecordDelimiters stores the start and end delimiters of document mode 2 (null counts as "").
  [[nodiscard]] int SetRecordDelimiters(const char* start, const char* end);

  // TokenText returns the pending token (from its start to the character before the position), valid
  // until the next parser call.
  const char* TokenText();
  // SelectedName returns the selected node's name, "" when none is selected.
  const char* SelectedName() const;

  // Path queries (both the "/json/a/[2]" form and the "$.a[1]" form). EvalPath selects the node a path
  // names: 0, 10233 "Invalid XPath." when nothing is found, 10234 when no tree was built. AttrExists is
  // 1 when the path names a node (which is then selected), else 0, and never sets an error text.
  [[nodiscard]] int EvalPath(const char* path);
  // FindPath selects the node path names; *found is 1 when one was found. 0, 10234 without a tree, or
  // the path reply's code.
  [[nodiscard]] int FindPath(const char* path, int json_path_form, int* found);
  int AttrExists(const char* path);
  // NodeType is the selected node's type (the current node's when none is selected) in tree mode, 207
  // "Invalid JSONPath." with neither; in stream mode the type of the value that ended last.
  int NodeType();
  // CurrentName returns the selected node's value text; with the raw-name fallback, an empty value of a
  // container member gives its source text. Valid until the next call; "" when nothing is selected.
  const char* CurrentName();
  // PathReply holds the selected node's path text after a successful query.
  const core::Buffer& PathReply() const { return path_reply_; }

  // StartElementEvent pushes name on the path stack in stream mode, then calls OnStartElement.
  int StartElementEvent(const char* name);

  JsonNode* Root() const { return root_; }
  JsonNode* Current() const { return current_; }
  JsonNode* Selected() const { return selected_; }
  const JsonPathStack& PathStack() const { return path_stack_; }
  uint32_t TreeMode() const { return tree_mode_; }

 protected:
  // Hooks: each returns 0 to go on; JsonParser's own do nothing.
  virtual int OnValue(const char* value);
  virtual int OnEndElement(const char* name);
  virtual int OnWhitespace(const char* run);
  virtual int OnStartElement(const char* name);
  virtual int OnDocumentStart();
  virtual int OnDocumentEnd();

 private:
  // ParseInPlace is ParseText reading length bytes of text where they are (quiet tree mode with no
  // input kept and none pending), keeping only the pending token, or all of the text after an error.
  int ParseInPlace(const char* text, uint32_t length);
  // ParseJson runs the state machine to the end of the input or to the first nonzero result; a step is
  // the character at the position, or one run of characters.
  int ParseJson();
  int ParseStep();
  // SkipWhitespace passes a whitespace run (OnWhitespace receives it) and sets *c to the character
  // after it with the position past it, or to -1 when the input ended inside the run.
  int SkipWhitespace(int* c);
  int OpenContainer(bool bracket, uint8_t kind);
  // CloseContainer closes the innermost object or array on its "}" or "]".
  int CloseContainer(uint8_t kind);
  int CompleteValue(uint32_t start, uint32_t end);
  int CompleteName(uint32_t start, uint32_t end);
  int EndValue(uint32_t type);
  int EndElement(uint32_t type);
  int EndElementEvent(const char* name);
  int DocumentComplete();
  int Whitespace(uint32_t start, uint32_t end);
  int TopLevelScalar(uint8_t c);
  int MarkupError();
  int NewRootForScalar(uint32_t type, uint32_t start);
  void FreeDocumentTree();
  // JsonUnescape rebuilds length bytes of text by the unescape options into the work buffer and points
  // *out_text at it (at the text itself with no options). 0, or the code of a failed append or
  // conversion.
  int JsonUnescape(const char* text, int32_t length, const char** out_text, int32_t* out_length);
  // UnescapeInto is the work of JsonUnescape once some option is set.
  int UnescapeInto(const char* text, int32_t length, const char** out_text, int32_t* out_length);
  [[nodiscard]] int AppendUnit(uint32_t code_point);

  uint8_t char_class_[256];
  uint32_t position_ = 0;
  uint32_t input_length_ = 0;
  uint32_t state_ = 0;
  JsonContainerStack containers_;
  JsonPathStack path_stack_;
  // The pool outlives the tree: members are destroyed in reverse order.
  JsonNodePool node_pool_;
  JsonNode* root_ = nullptr;
  JsonNode* current_ = nullptr;
  JsonNode* selected_ = nullptr;
  uint32_t keep_input_ = 0;
  core::Buffer input_;
  core::TokenText token_;
  uint32_t tree_mode_ = 0;
  core::Buffer path_reply_;
  uint8_t previous_char_ = 0;
  uint32_t escape_count_ = 0;
  uint32_t wrapped_ = 0;
  uint32_t path_text_reply_ = 1;
  core::Buffer raw_text_;
  core::Buffer unescape_work_;
  core::Buffer unit_work_;
  uint32_t allow_trailing_content_ = 0;
  uint32_t bracket_marker_mode_ = 0;
  const char* data_ = nullptr;
  uint32_t token_start_ = 1;
  uint32_t unescape_options_ = 0;
  uint32_t path_mode_ = 0;
  uint32_t top_level_scalar_ = 0;
  uint32_t raw_name_fallback_ = 0;
  core::Buffer start_delimiter_;
  core::Buffer end_delimiter_;
  core::Buffer delimiter_match_;
  uint32_t document_mode_ = 0;
  uint32_t record_boundary_ = 1;
  uint32_t saved_state_ = 0;
  // The previous character when a comment began: a comment leaves it as it found it, so that "{/**/}"
  // and "[1,/**/]" close as their forms without the comment do.
  uint8_t saved_previous_char_ = 0;
  // 1 while the input ended inside a whitespace run that began at the token start.
  uint32_t in_whitespace_ = 0;
  // True during ParseText in tree mode when the hooks are JsonParser's own, which do nothing: tokens
  // then go straight from the input into the nodes, and the hooks are not called.
  bool quiet_ = false;
};

}  // namespace velmora::parsers
