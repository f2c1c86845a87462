// XmlDocument: the state of one XML parse (settings, record store, input, error and path texts, the
// character tables) and XmlEvents, the event interface the document reports to. One thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"
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

 private:
  XmlSettings settings_;
  XmlDom dom_;
  XmlCharTables chars_;
  core::Buffer input_;
  core::Buffer error_text_;
  core::Buffer path_text_;
  XmlEvents* handler_;
};

// XmlErrorText stores the text of an XML result code in the document's error text and returns code.
int XmlErrorText(XmlDocument& document, int code);

// EvaluateXPath moves the document's current element along path (top-level form). 0, or 207, 208, 209,
// 210 with the document's error text set; the current element stays where the last good step left it.
int EvaluateXPath(XmlDocument& document, const char* path);

}  // namespace velmora::parsers
