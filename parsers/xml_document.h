// XmlDocument: the state of one XML parse (settings, record store, input, error and path texts, the
// character tables) and XmlEvents, the event interface the document reports to. One thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/ptr_array.h"
#include "parsers/xml_dom.h"

namespace velmora::parsers {

// XmlEvents is the event interface of the XML parser. Each hook returns 0 to go on; a nonzero result
// stops the parse with that code (OnWarning's result is ignored). The default hooks do nothing.
class XmlEvents {
 public:
  virtual ~XmlEvents() = default;
  virtual int OnText(const char* text);
  virtual int OnComment(const char* text);
  virtual int OnEndElement(const char* uri, const char* local_name, const char* qualified_name, int empty);
  virtual int OnEndPrefixMapping(const char* prefix);
  virtual int OnWarning(int code, const char* text);
  // OnEvalEntity may replace value, the decoded text of the entity reference name.
  virtual int OnEvalEntity(const char* name, core::Buffer& value);
  virtual int OnIgnorableWhitespace(const char* text);
  virtual int OnDeclaration(const char* text);
  virtual int OnProcessingInstruction(const char* text);
  virtual int OnSpecialSection(const char* keyword, const char* content);
  virtual int OnStartElement(const char* uri, const char* local_name, const char* qualified_name, int empty);
  virtual int OnStartPrefixMapping(const char* prefix, const char* uri);
};

// XmlCharTables classify the bytes of the decoded input: whitespace, name characters and name-start
// characters (digits join the last when leading digits are allowed).
struct XmlCharTables {
  XmlCharTables();
  void AllowLeadingDigit(bool on);
  bool IsWhitespace(uint8_t c) const { return whitespace[c] != 0; }
  bool IsName(uint8_t c) const { return name[c] != 0; }
  bool IsNameStart(uint8_t c) const { return name_start[c] != 0; }
  // IsValidName is true for a name-start character followed by name characters, up to length bytes.
  bool IsValidName(const char* text, int32_t length) const;

  uint8_t whitespace[256];
  uint8_t name[256];
  uint8_t name_start[256];
};

// PrefixFlags bits.
constexpr uint32_t kIgnoreBadAttributePrefixes = 1;
constexpr uint32_t kIgnoreBadElementPrefixes = 2;
constexpr uint32_t kAllowMoreThanOneRoot = 4;
constexpr uint32_t kAllowTextOutsideRoot = 8;

// XmlSettings are the parse settings; they survive a reset.
struct XmlSettings {
  uint32_t prefix_flags = kIgnoreBadAttributePrefixes | kIgnoreBadElementPrefixes | kAllowMoreThanOneRoot |
                          kAllowTextOutsideRoot;
  uint8_t include_unknown_prefixes = 0;
  uint8_t validate = 1;
  uint8_t build_dom = 0;
  uint8_t keep_original_text = 1;
  uint8_t html_comments = 0;
  uint8_t validate_less_than_sign = 1;
  uint8_t allow_reserved_characters = 0;
  uint8_t allow_leading_digit = 0;
  uint8_t preserve_whitespace = 0;
  uint32_t disable_eval_entity_event = 0;
  uint32_t input_mode = 0;
  uint32_t detect_encoding = 1;
  uint32_t code_page = 0;
};

// NameTable is a stack of up to 256 (name, value) pairs whose buffers are made on first use and kept
// for reuse; the binding table also keeps the depth each entry was declared at.
class NameTable {
 public:
  static constexpr int32_t kCapacity = 256;
  NameTable();
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;

  int32_t Count() const { return count_; }
  // Push stores the next entry (a null value leaves that entry's value buffer as it is); 200 when the
  // table holds 256 entries already or memory runs out.
  [[nodiscard]] int Push(const char* name, int32_t name_length, const char* value, int32_t value_length);
  void Pop() { count_ = count_ > 0 ? count_ - 1 : 0; }
  void Clear() { count_ = 0; }
  // Release destroys every entry's buffers; the table takes no entries afterwards (its owner is going).
  void Release();
  // Lookup returns the index of the first entry named exactly name, from the first entry (direction 0)
  // or from the last (1); -1 when none.
  int32_t Lookup(const char* name, int32_t length, int direction) const;
  const core::Buffer& Name(int32_t index) const { return *names_.Get(index); }
  core::Buffer& Value(int32_t index) { return *values_.Get(index); }
  uint32_t& Depth(int32_t index) { return depths_[index]; }

 private:
  core::PtrArray<core::Buffer> names_;
  core::PtrArray<core::Buffer> values_;
  uint32_t depths_[kCapacity] = {};
  int32_t count_ = 0;
};

// XmlScan is the tokenizer's and the decoder's state between calls; positions index the input buffer.
struct XmlScan {
  uint8_t state = 0;
  uint32_t position = 0;
  uint32_t consumed = 0;
  uint32_t last_tag_end = 0;
  uint32_t text_start = 0;
  uint32_t text_end = 0;
  uint32_t token_start = 0;
  uint32_t token_end = 0;
  uint32_t entity_start = 0;
  uint32_t entity_end = 0;
  uint32_t tag_start = 0;
  uint8_t busy = 0;
  uint8_t raw_text = 0;
  uint8_t value_has_entity = 0;
  uint8_t markup_seen = 0;
  // An attribute name read in full whose value is not decided yet.
  uint8_t attribute_pending = 0;
  // Set once any markup has been completed: an XML declaration must come first.
  uint8_t markup_done = 0;
  // Set while a file load reads the XML declaration to settle the decoding: only then does the
  // declaration's encoding name apply.
  uint8_t detecting = 0;
  // The decoding in force for this document: the configured mode until detection or the declaration
  // change it.
  uint32_t mode = 0;
  uint32_t detect = 1;
  uint8_t dbcs = 0;
  // A name's double-byte character was cut after its lead byte.
  uint8_t trail_pending = 0;
  // Decoder: the code point being assembled, continuation bytes still expected, a held high surrogate,
  // and the bytes of a UTF-16 or UTF-32 unit cut by the end of a feed.
  uint32_t code_point = 0;
  uint32_t expected = 0;
  uint32_t sequence_length = 0;
  uint32_t high_surrogate = 0;
  uint8_t unit[4] = {};
  uint32_t unit_bytes = 0;
};

class XmlDocument {
 public:
  explicit XmlDocument(XmlEvents* handler) : handler_(handler) {}
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reset returns the document to its empty state before a new document; settings stay. 0 or 200.
  int Reset();

  XmlSettings& Settings() { return settings_; }
  const XmlSettings& Settings() const { return settings_; }
  XmlDom& Dom() { return dom_; }
  const XmlDom& Dom() const { return dom_; }
  XmlCharTables& Chars() { return chars_; }
  const XmlCharTables& Chars() const { return chars_; }
  // Input is the decoded input text; ErrorText the text of the last failure; PathText the canonical path
  // of the element the last path evaluation reached.
  core::Buffer& Input() { return input_; }
  core::Buffer& ErrorText() { return error_text_; }
  core::Buffer& PathText() { return path_text_; }
  XmlEvents* Handler() const { return handler_; }
  XmlScan& Scan() { return scan_; }
  const XmlScan& Scan() const { return scan_; }
  NameTable& Attributes() { return attributes_; }
  NameTable& OpenElements() { return open_elements_; }
  NameTable& Bindings() { return bindings_; }
  core::Buffer& Token() { return token_; }
  core::Buffer& TagName() { return tag_name_; }
  core::Buffer& AttributeName() { return attribute_name_; }
  core::Buffer& Accumulator() { return accumulator_; }
  core::Buffer& Scratch() { return scratch_; }
  core::Buffer& Scratch2() { return scratch2_; }

  // DestroyMembers releases the name tables and empties every buffer and the store.
  void DestroyMembers();

 private:
  XmlSettings settings_;
  XmlScan scan_;
  NameTable attributes_;
  NameTable open_elements_;
  NameTable bindings_;
  core::Buffer token_;
  core::Buffer tag_name_;
  core::Buffer attribute_name_;
  core::Buffer accumulator_;
  core::Buffer scratch_;
  core::Buffer scratch2_;
  XmlDom dom_;
  XmlCharTables chars_;
  core::Buffer input_;
  core::Buffer error_text_;
  core::Buffer path_text_;
  XmlEvents* handler_;
};

// XmlErrorText stores the text of an XML result code in the document's error text and returns code.
int XmlErrorText(XmlDocument& document, int code);

// ApplyCharset selects the input decoding by name: "UTF-8" mode 1, "UTF-16LE" 2, "UTF-16BE" 3,
// "UTF-32LE" 4, "UTF-32BE" 5 (any case); "UTF-16" and "UTF-32" keep a mode of their family; anything else
// gives mode 0 with *detect set again (it is cleared otherwise).
void ApplyCharset(const char* name, uint32_t* mode, uint32_t* detect);

// XmlFeedInput decodes length bytes by the document's mode and appends them to the input; 0 or 200.
int XmlFeedInput(XmlDocument& document, const void* bytes, int32_t length);
// XmlDiscardConsumedInput drops the input the tokenizer is done with, then feeds the bytes.
int XmlDiscardConsumedInput(XmlDocument& document, const void* bytes, int32_t length);
// XmlParseChunk feeds a block (keeping or discarding consumed input by KeepOriginalText) and parses it;
// XmlParseBuffer does the same for a NUL-terminated text after refusing UTF-16 modes with 306. 0 or the
// first failure's code, with the document's error text set.
int XmlParseChunk(XmlDocument& document, const void* bytes, int32_t length);
int XmlParseBuffer(XmlDocument& document, const char* text);
// XmlParse runs the tokenizer over the input up to length; 0 or a code.
int XmlParse(XmlDocument& document, uint32_t length);
// XmlFlushBeforeTag hands the pending text out as it would go before a tag; 0 or a code.
int XmlFlushBeforeTag(XmlDocument& document);
// XmlFinish checks the end of a document (pending text, open elements, roots, end state); 0 or a code.
int XmlFinish(XmlDocument& document, int require_markup);

// EvaluateXPath moves the document's current element along path (top-level form). 0, or 207, 208, 209,
// 210 with the document's error text set; the current element stays where the last good step left it.
int EvaluateXPath(XmlDocument& document, const char* path);

}  // namespace velmora::parsers
