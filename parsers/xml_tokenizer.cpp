// The XML tokenizer: a resumable character state machine over the decoded input. All its progress lives
// in the document (state, positions, token buffers, name tables), so input may arrive in chunks cut at any
// byte. Runs of text, names, values and comments are scanned with table lookups inside one state. Tokens
// go to the document's event handler and, with BuildDOM on, into the record store.
//
// States: 0 text, 1 tag name, 2 after "<", 3 between attributes, 4 attribute name, 5 after an attribute
// name, 6 after "=", 7 unquoted value, 8 after a tag, 9/10 single/double-quoted value, 11 end-tag name,
// 12 after an end-tag name, 13 entity in text, 14/15/16 entity in an unquoted/single/double-quoted value,
// 17 junk after an end-tag name, 18 after "<!-", 19 comment body, 20 after "-", 21 after "--",
// 22 processing instruction, 23 after "<!", 24 declaration, 25 special section, 26 section keyword,
// 27/28/29 quoted literal or internal subset of a declaration, 30 double-byte trail byte, 31 HTML comment.
#include <cstdio>
#include <cstring>

#include "core/code_page.h"
#include "parsers/xml_document.h"

namespace velmora::parsers {

namespace {

enum State : uint8_t {
  kText = 0,
  kTagName = 1,
  kAfterLess = 2,
  kBetweenAttributes = 3,
  kAttributeName = 4,
  kAfterAttributeName = 5,
  kAfterEquals = 6,
  kUnquotedValue = 7,
  kAfterTag = 8,
  kSingleQuoted = 9,
  kDoubleQuoted = 10,
  kEndTagName = 11,
  kAfterEndTagName = 12,
  kTextEntity = 13,
  kUnquotedEntity = 14,
  kSingleQuotedEntity = 15,
  kDoubleQuotedEntity = 16,
  kEndTagJunk = 17,
  kAfterLessBangDash = 18,
  kComment = 19,
  kCommentDash = 20,
  kCommentDashDash = 21,
  kInstruction = 22,
  kAfterLessBang = 23,
  kDeclaration = 24,
  kSection = 25,
  kSectionKeyword = 26,
  kDeclarationSingle = 27,
  kDeclarationDouble = 28,
  kDeclarationSubset = 29,
  kTrailByte = 30,
  kHtmlComment = 31,
};

enum class Flush { kBeforeTag, kLineEnd, kTextStart, kPlain };

constexpr const char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";

bool IsDbcsLead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF); }

class Tokenizer {
 public:
  Tokenizer(XmlDocument& document, uint32_t length)
      : doc_(document),
        s_(document.Scan()),
        settings_(document.Settings()),
        chars_(document.Chars()),
        dom_(document.Dom()),
        in_(reinterpret_cast<const uint8_t*>(document.Input().Data())),
        length_(length < static_cast<uint32_t>(document.Input().Length()) ? length
                                                                         : static_cast<uint32_t>(document.Input().Length())) {}

  int Run();
  int FlushBeforeTag() { return FlushText(Flush::kBeforeTag); }

 private:
  // ---- Small helpers
  int Fail(int code) { return XmlErrorText(doc_, code); }
  int FailText(int code, const char* text) {
    (void)doc_.ErrorText().SetString(text);
    return code;
  }
  bool BuildDom() const { return settings_.build_dom != 0; }
  bool Validate() const { return settings_.validate != 0; }
  bool StrictReserved() const { return settings_.validate != 0 && settings_.allow_reserved_characters == 0; }
  XmlEvents* Handler() const {
    static XmlEvents ignore_all;
    return doc_.Handler() != nullptr ? doc_.Handler() : &ignore_all;
  }
  // StartsName is true at a name-start character, or at a character reference that the decoder wrote for
  // a character above ASCII.
  bool StartsName(uint32_t at) const {
    return chars_.IsNameStart(in_[at]) ||
           (in_[at] == '&' && at + 1 < length_ && in_[at + 1] == '#' && s_.mode >= 1 && s_.mode <= 5);
  }
  int32_t Depth() { return doc_.OpenElements().Count(); }
  uint32_t SkipWhitespace(uint32_t at) const {
    while (at < length_ && chars_.IsWhitespace(in_[at])) ++at;
    return at;
  }
  // Copy puts input bytes [start, end) into buffer as a NUL-terminated text.
  int Copy(core::Buffer& buffer, uint32_t start, uint32_t end) {
    return buffer.SetData(static_cast<int32_t>(end > start ? end - start : 0), in_ + start) != core::kOk
               ? Fail(kXmlOutOfMemory)
               : 0;
  }
  void EnterAfterTag() {
    s_.state = kAfterTag;
    s_.text_start = s_.text_end = s_.position;
    s_.last_tag_end = s_.position;
    s_.consumed = s_.position;
    s_.markup_done = 1;
  }

  // ---- Names: a run of name characters appended to the token; in decoding modes a character
  // reference inside a name is decoded into it (the decoder writes every character above ASCII as one).
  int ScanName(core::Buffer& token, bool attribute);

  // ---- Text
  int FlushText(Flush kind);
  int EmitText(uint32_t start, uint32_t end);
  int EmitIgnorable(uint32_t start, uint32_t end);
  int EmitDecoded(const core::Buffer& text);

  // ---- Entities
  int DecodeReference(const char* name, int32_t length, core::Buffer& out);
  int ResolveEntity(uint32_t name_start, uint32_t name_end, bool semicolon, core::Buffer& out);
  int EntityState();

  // ---- Tags
  int CompleteAttribute(const char* value, int32_t value_length);
  int CompleteAttributeFromToken(uint32_t end);
  int StartElement(bool empty);
  // CloseStartTag ends a start tag at its ">" and moves on to what follows the tag.
  int CloseStartTag(bool empty) {
    int rc = StartElement(empty);
    if (rc == 0) EnterAfterTag();
    return rc;
  }
  // CloseEndTag processes the end tag read so far; at its ">" (closed) what follows the tag comes next,
  // otherwise junk up to the ">".
  int CloseEndTag(bool closed) {
    int rc = EndTag(doc_.Token(), false);
    if (rc == 0 && closed) EnterAfterTag();
    if (!closed) s_.state = kEndTagJunk;
    return rc;
  }
  // CompleteComment reports the comment that ends before end (its "-->" follows).
  int CompleteComment(uint32_t end) {
    int rc = FlushText(Flush::kPlain);
    if (rc == 0) rc = Copy(doc_.Scratch2(), s_.token_start, end);
    if (rc == 0) rc = Handler()->OnComment(doc_.Scratch2().Data());
    if (rc == 0) EnterAfterTag();
    return rc;
  }
  int EndTag(const core::Buffer& name, bool empty);
  int ResolvePrefix(const char* name, int32_t length, bool attribute, bool report, int32_t* binding,
                    const char** local, int32_t* local_length, const char** uri);
  int CompleteInstruction(uint32_t start, uint32_t end);
  int ApplyDeclaredEncoding(const core::Buffer& text);

  XmlDocument& doc_;
  XmlScan& s_;
  const XmlSettings& settings_;
  const XmlCharTables& chars_;
  XmlDom& dom_;
  const uint8_t* in_;
  uint32_t length_;
};

int Tokenizer::ScanName(core::Buffer& token, bool attribute) {
  uint32_t at = s_.position;
  while (true) {
    const uint32_t run = at;
    if (s_.trail_pending != 0 && at < length_) {
      // The trail byte of a double-byte character whose lead ended the last chunk.
      s_.trail_pending = 0;
      ++at;
    }
    while (at < length_ && chars_.IsName(in_[at])) {
      // A double-byte character's trail byte may be any byte: it is part of the name.
      if (s_.dbcs != 0 && IsDbcsLead(in_[at])) {
        if (at + 1 >= length_) {
          s_.trail_pending = 1;
          ++at;
          break;
        }
        ++at;
      }
      ++at;
    }
    if (at > run && token.Append(in_ + run, static_cast<int32_t>(at - run)) != core::kOk) return Fail(kXmlOutOfMemory);
    if (at + 1 < length_ && in_[at] == '&' && in_[at + 1] == '#' && s_.mode >= 1 && s_.mode <= 5) {
      uint32_t end = at + 2;
      while (end < length_ && in_[end] >= '0' && in_[end] <= '9') ++end;
      if (end < length_ && in_[end] == ';' && end > at + 2) {
        if (DecodeReference(reinterpret_cast<const char*>(in_ + at + 1), static_cast<int32_t>(end - at - 1),
                            doc_.Scratch2()) != 0) {
          return Fail(kXmlOutOfMemory);
        }
        if (token.Append(doc_.Scratch2()) != core::kOk) return Fail(kXmlOutOfMemory);
        at = end + 1;
        continue;
      }
    }
    break;
  }
  (void)attribute;
  s_.position = at;
  return 0;
}

// ---- Text

int Tokenizer::EmitText(uint32_t start, uint32_t end) {
  if (end <= start) return 0;
  const int32_t depth = Depth();
  if (BuildDom() && depth == 0 && (settings_.prefix_flags & kAllowTextOutsideRoot) == 0) {
    return Fail(kXmlTextOutsideRoot);
  }
  core::Buffer& text = doc_.Scratch();
  int rc = Copy(text, start, end);
  if (rc != 0) return rc;
  rc = Handler()->OnText(text.Data());
  if (rc != 0) return rc;
  if (BuildDom() && depth > 0 && doc_.OpenElements().Value(depth - 1).Append(text) != core::kOk) {
    return Fail(kXmlOutOfMemory);
  }
  return 0;
}

int Tokenizer::EmitIgnorable(uint32_t start, uint32_t end) {
  if (end <= start) return 0;
  int rc = Copy(doc_.Scratch(), start, end);
  return rc != 0 ? rc : Handler()->OnIgnorableWhitespace(doc_.Scratch().Data());
}

int Tokenizer::EmitDecoded(const core::Buffer& text) {
  const int32_t depth = Depth();
  if (text.IsEmpty() || (BuildDom() && depth == 0)) return 0;
  int rc = Handler()->OnText(text.Data());
  if (rc != 0) return rc;
  if (BuildDom() && doc_.OpenElements().Value(depth - 1).Append(text) != core::kOk) return Fail(kXmlOutOfMemory);
  return 0;
}

int Tokenizer::FlushText(Flush kind) {
  const uint32_t start = s_.text_start;
  const uint32_t end = s_.text_end < length_ ? s_.text_end : length_;
  if (end <= start) {
    s_.text_start = end > start ? end : start;
    return 0;
  }
  int rc = 0;
  uint32_t cut = end;
  switch (kind) {
    case Flush::kTextStart:
      rc = EmitIgnorable(start, end);
      s_.text_start = end;
      return rc;
    case Flush::kLineEnd:
      while (cut > start && chars_.IsWhitespace(in_[cut - 1])) --cut;
      rc = EmitText(start, cut);
      s_.text_start = cut;  // the whitespace stays pending
      s_.consumed = cut;    // a long text need not be kept whole between chunks
      return rc;
    case Flush::kBeforeTag:
      if (settings_.preserve_whitespace == 0) {
        while (cut > start && chars_.IsWhitespace(in_[cut - 1])) --cut;
      }
      rc = EmitText(start, cut);
      if (rc == 0) rc = EmitIgnorable(cut, end);
      break;
    case Flush::kPlain:
      rc = EmitText(start, end);
      break;
  }
  s_.text_start = end;
  return rc;
}

// ---- Entities

int Tokenizer::DecodeReference(const char* name, int32_t length, core::Buffer& out) {
  out.Clear();
  if (length < 2 || name[0] != '#') return 0;
  uint64_t cp = 0;
  int32_t i = 1;
  const bool hex = name[1] == 'x';
  if (hex) ++i;
  if (i >= length) return 0;
  for (; i < length; ++i) {
    const char c = name[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return 0;
    }
    cp = cp * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (cp > 0x10FFFF) return 0;
  }
  // NUL and surrogate code points have no text: the reference stays as written.
  if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  char16_t units[2] = {0, 0};
  int32_t count = 1;
  if (cp >= 0x10000) {
    units[0] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<char16_t>(cp);
  }
  const uint32_t code_page = settings_.code_page;
  if (code_page == core::kCodePageSystem || code_page == core::kCodePageUtf8) {
    // The system code page is UTF-8 here: no conversion call needed.
    uint8_t le[4] = {static_cast<uint8_t>(units[0]), static_cast<uint8_t>(units[0] >> 8),
                     static_cast<uint8_t>(units[1]), static_cast<uint8_t>(units[1] >> 8)};
    uint8_t utf8[8];
    int32_t length = 0;
    if (!core::Utf16LeToUtf8(utf8, &length, le, 2 * count)) return 0;
    return out.SetData(length, utf8) != core::kOk ? kXmlOutOfMemory : 0;
  }
  int rc = core::WideToMultiByteN(out, units, count, code_page);
  if (rc == kXmlOutOfMemory) return rc;
  if (rc != core::kOk) out.Clear();
  return 0;
}

int Tokenizer::ResolveEntity(uint32_t name_start, uint32_t name_end, bool semicolon, core::Buffer& out) {
  const char* name = reinterpret_cast<const char*>(in_ + name_start);
  const int32_t length = static_cast<int32_t>(name_end - name_start);
  out.Clear();
  if (length == 0 && StrictReserved()) return FailText(kXmlInvalidMarkup, "Unescaped character & in the XML");
  static const struct {
    const char* name;
    const char* text;
  } kNamed[] = {{"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"apos", "'"}, {"quot", "\""}};
  for (const auto& entry : kNamed) {
    if (static_cast<int32_t>(std::strlen(entry.name)) == length && std::memcmp(entry.name, name, length) == 0) {
      if (out.SetString(entry.text) != core::kOk) return Fail(kXmlOutOfMemory);
    }
  }
  if (out.IsEmpty() && DecodeReference(name, length, out) != 0) return Fail(kXmlOutOfMemory);
  if (out.IsEmpty()) {
    // Unresolvable: kept as written.
    if (out.AppendByte('&') != core::kOk || out.Append(name, length) != core::kOk ||
        (semicolon && out.AppendByte(';') != core::kOk)) {
      return Fail(kXmlOutOfMemory);
    }
  }
  if (settings_.disable_eval_entity_event == 0) {
    core::Buffer& entity_name = doc_.Scratch();
    if (entity_name.SetData(length, name) != core::kOk) return Fail(kXmlOutOfMemory);
    int rc = Handler()->OnEvalEntity(entity_name.Data(), out);
    if (rc != 0) return rc;
  }
  return 0;
}

int Tokenizer::EntityState() {
  uint32_t at = s_.position;
  while (at < length_ && (chars_.IsName(in_[at]) || in_[at] == '#')) ++at;
  s_.position = at;
  if (at >= length_) return 0;  // the reference may go on in the next chunk
  const bool semicolon = in_[at] == ';';
  s_.entity_end = at;
  if (semicolon) ++s_.position;
  core::Buffer decoded;
  if (s_.state == kTextEntity) {
    int rc = FlushText(Flush::kPlain);
    if (rc != 0) return rc;
    rc = ResolveEntity(s_.entity_start, s_.entity_end, semicolon, decoded);
    if (rc != 0) return rc;
    rc = EmitDecoded(decoded);
    if (rc != 0) return rc;
    s_.text_start = s_.text_end = s_.position;
    s_.consumed = s_.position;
    s_.state = kText;
    return 0;
  }
  // In a value: the value so far and the decoded reference go into the accumulator.
  core::Buffer& accumulator = doc_.Accumulator();
  if (s_.entity_start - 1 > s_.token_start &&
      accumulator.Append(in_ + s_.token_start, static_cast<int32_t>(s_.entity_start - 1 - s_.token_start)) != core::kOk) {
    return Fail(kXmlOutOfMemory);
  }
  int rc = ResolveEntity(s_.entity_start, s_.entity_end, semicolon, decoded);
  if (rc != 0) return rc;
  if (accumulator.Append(decoded) != core::kOk) return Fail(kXmlOutOfMemory);
  s_.value_has_entity = 1;
  s_.token_start = s_.position;
  s_.state = s_.state == kUnquotedEntity ? kUnquotedValue : s_.state == kSingleQuotedEntity ? kSingleQuoted : kDoubleQuoted;
  return 0;
}

// ---- Tags

int Tokenizer::ResolvePrefix(const char* name, int32_t length, bool attribute, bool report, int32_t* binding,
                             const char** local, int32_t* local_length, const char** uri) {
  NameTable& bindings = doc_.Bindings();
  const char* colon = static_cast<const char*>(std::memchr(name, ':', static_cast<size_t>(length)));
  *local = name;
  *local_length = length;
  *uri = "";
  *binding = -1;
  if (colon == nullptr) {
    // Attributes without a prefix have no namespace; elements take the default one.
    if (attribute) return 0;
    *binding = bindings.Lookup("", 0, 1);
    if (*binding >= 0) *uri = bindings.Value(*binding).Data();
    return 0;
  }
  const int32_t prefix_length = static_cast<int32_t>(colon - name);
  *binding = bindings.Lookup(name, prefix_length, 1);
  if (*binding >= 0) {
    *uri = bindings.Value(*binding).Data();
    *local = colon + 1;
    *local_length = length - prefix_length - 1;
    return 0;
  }
  if (attribute && prefix_length == 3 && std::memcmp(name, "xml", 3) == 0) {
    *uri = kXmlNamespace;
    *local = colon + 1;
    *local_length = length - prefix_length - 1;
    return 0;
  }
  if (settings_.include_unknown_prefixes == 0) {
    *local = colon + 1;
    *local_length = length - prefix_length - 1;
  }
  if (!report) return 0;
  core::Buffer& text = doc_.Scratch2();
  if (text.SetString(attribute ? "Unknown attribute prefix (can't find namespace): "
                               : "Unknown element prefix (can't find namespace): ") != core::kOk ||
      text.Append(name, attribute ? prefix_length : length) != core::kOk) {
    return Fail(kXmlOutOfMemory);
  }
  const int code = attribute ? kXmlUnknownAttributePrefix : kXmlUnknownElementPrefix;
  const uint32_t flag = attribute ? kIgnoreBadAttributePrefixes : kIgnoreBadElementPrefixes;
  if ((settings_.prefix_flags & flag) == 0) return FailText(code, text.Data());
  (void)Handler()->OnWarning(code, text.Data());
  return 0;
}

int Tokenizer::CompleteAttribute(const char* value, int32_t value_length) {
  s_.attribute_pending = 0;
  const core::Buffer& name = doc_.AttributeName();
  if (Validate() && name.Length() >= 5 && std::memcmp(name.Data(), "xmlns", 5) == 0) {
    const char* prefix = name.Length() > 5 && name.Data()[5] == ':' ? name.Data() + 6 : "";
    const int32_t prefix_length = static_cast<int32_t>(std::strlen(prefix));
    NameTable& bindings = doc_.Bindings();
    if (bindings.Push(prefix, prefix_length, value, value_length) != core::kOk) return Fail(kXmlOutOfMemory);
    bindings.Depth(bindings.Count() - 1) = static_cast<uint32_t>(Depth() + 1);
    const core::Buffer& uri = bindings.Value(bindings.Count() - 1);
    int rc = Handler()->OnStartPrefixMapping(bindings.Name(bindings.Count() - 1).Data(), uri.Data());
    if (rc != 0) return rc;
    if (BuildDom() && dom_.WriteNamespace(bindings.Name(bindings.Count() - 1).Data(), uri.Data(), bindings.Count()) != 0) {
      return Fail(kXmlOutOfMemory);
    }
    return 0;
  }
  return doc_.Attributes().Push(name.Data(), name.Length(), value, value_length) != core::kOk ? Fail(kXmlOutOfMemory)
                                                                                                : 0;
}

// CompleteAttributeFromToken ends a value that runs from the token start to end.
int Tokenizer::CompleteAttributeFromToken(uint32_t end) {
  if (s_.value_has_entity == 0) {
    return CompleteAttribute(reinterpret_cast<const char*>(in_ + s_.token_start),
                             static_cast<int32_t>(end > s_.token_start ? end - s_.token_start : 0));
  }
  core::Buffer& accumulator = doc_.Accumulator();
  if (end > s_.token_start && accumulator.Append(in_ + s_.token_start, static_cast<int32_t>(end - s_.token_start)) != core::kOk) {
    return Fail(kXmlOutOfMemory);
  }
  s_.value_has_entity = 0;
  return CompleteAttribute(accumulator.Data(), accumulator.Length());
}

int Tokenizer::StartElement(bool empty) {
  const core::Buffer& qualified = doc_.TagName();
  if (Validate()) {
    if (doc_.OpenElements().Push(qualified.Data(), qualified.Length(), "", 0) != core::kOk) return Fail(kXmlOutOfMemory);
  } else if (qualified.EqualsNoCase("SCRIPT")) {
    s_.raw_text = 1;
  }
  int32_t binding;
  const char* local;
  int32_t local_length;
  const char* uri;
  int rc = ResolvePrefix(qualified.Data(), qualified.Length(), false, true, &binding, &local, &local_length, &uri);
  if (rc != 0) return rc;
  core::Buffer& local_name = doc_.Scratch2();
  if (local_name.SetData(local_length, local) != core::kOk) return Fail(kXmlOutOfMemory);
  s_.busy = 1;
  rc = Handler()->OnStartElement(uri, local_name.Data(), qualified.Data(), empty ? 1 : 0);
  s_.busy = 0;
  if (rc != 0) return rc;
  NameTable& attributes = doc_.Attributes();
  if (BuildDom()) {
    if (local_name.SetData(local_length, local) != core::kOk) return Fail(kXmlOutOfMemory);
    if (dom_.WriteElement(local_name.Data(), Depth(), binding + 1, static_cast<uint32_t>(doc_.Bindings().Count()),
                          empty ? 1 : 0, static_cast<uint32_t>(attributes.Count()), s_.tag_start, s_.position) != 0) {
      return Fail(kXmlOutOfMemory);
    }
    for (int32_t i = 0; i < attributes.Count(); ++i) {
      const core::Buffer& name = attributes.Name(i);
      rc = ResolvePrefix(name.Data(), name.Length(), true, true, &binding, &local, &local_length, &uri);
      if (rc != 0) return rc;
      core::Buffer& attribute_local = doc_.Scratch();
      if (attribute_local.SetData(local_length, local) != core::kOk) return Fail(kXmlOutOfMemory);
      if (dom_.WriteAttribute(attribute_local.Data(), attributes.Value(i).Data(), binding + 1) != 0) {
        return Fail(kXmlOutOfMemory);
      }
    }
  }
  attributes.Clear();
  return empty ? EndTag(doc_.TagName(), true) : 0;
}

int Tokenizer::EndTag(const core::Buffer& name, bool empty) {
  int rc = FlushText(Flush::kPlain);
  if (rc != 0) return rc;
  const int32_t depth = Depth();
  if (!Validate() && name.EqualsNoCase("SCRIPT")) s_.raw_text = 0;
  int32_t binding;
  const char* local = name.Data();
  int32_t local_length = name.Length();
  const char* uri = "";
  if (Validate()) (void)ResolvePrefix(name.Data(), name.Length(), false, false, &binding, &local, &local_length, &uri);
  if (BuildDom() && depth >= 1) {
    core::Buffer& text = doc_.OpenElements().Value(depth - 1);
    if (settings_.preserve_whitespace != 0 && text.IsEmpty() && !empty) {
      // Whitespace-only content becomes the text when whitespace is preserved.
      const uint32_t element = dom_.ElementStackEntry(depth);
      const uint32_t start = dom_.Word(element, kFieldContentStart);
      const uint32_t end = s_.tag_start;
      bool blank = start < end && end <= length_;
      for (uint32_t i = start; blank && i < end; ++i) blank = chars_.IsWhitespace(in_[i]);
      if (blank && text.SetData(static_cast<int32_t>(end - start), in_ + start) != core::kOk) return Fail(kXmlOutOfMemory);
    }
    if (!text.IsEmpty()) {
      if (dom_.WriteText(depth, text.Data(), text.Length()) != 0) return Fail(kXmlOutOfMemory);
      text.Clear();
    }
  }
  if (BuildDom()) dom_.CloseElement(depth, s_.position, s_.tag_start);
  core::Buffer& local_name = doc_.Scratch2();
  if (local_name.SetData(local_length, local) != core::kOk) return Fail(kXmlOutOfMemory);
  rc = Handler()->OnEndElement(uri, local_name.Data(), name.Data(), empty ? 1 : 0);
  if (rc != 0) return rc;
  if (!Validate()) return 0;
  NameTable& open = doc_.OpenElements();
  if (depth == 0 || !open.Name(depth - 1).Equals(name)) {
    core::Buffer& text = doc_.Scratch2();
    if (text.SetString("Unbalanced element tag: ") != core::kOk || text.Append(name) != core::kOk) {
      return Fail(kXmlOutOfMemory);
    }
    return FailText(kXmlUnbalancedTag, text.Data());
  }
  NameTable& bindings = doc_.Bindings();
  while (bindings.Count() > 0 && bindings.Depth(bindings.Count() - 1) == static_cast<uint32_t>(depth)) {
    const int32_t top = bindings.Count() - 1;
    if (!bindings.Name(top).IsEmpty()) {
      rc = Handler()->OnEndPrefixMapping(bindings.Name(top).Data());
      if (rc != 0) return rc;
    }
    if (BuildDom()) dom_.CloseNamespaceScope(top + 1);
    bindings.Pop();
  }
  open.Pop();
  return 0;
}

int Tokenizer::ApplyDeclaredEncoding(const core::Buffer& text) {
  const int32_t at = text.Find(" encoding", 0);
  if (at < 0) return 0;
  const char* p = text.Data() + at + 9;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  if (*p != '=') return 0;
  ++p;
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  const char quote = *p;
  if (quote != '"' && quote != '\'') return 0;
  core::Buffer name;
  for (++p; *p != '\0' && *p != quote; ++p) {
    if (*p == '\\' && p[1] != '\0') ++p;
    if (name.AppendByte(static_cast<uint8_t>(*p)) != core::kOk) return Fail(kXmlOutOfMemory);
  }
  if (*p == quote) ApplyCharset(name.Data(), &s_.mode, &s_.detect);
  return 0;
}

int Tokenizer::CompleteInstruction(uint32_t start, uint32_t end) {
  int rc = FlushText(Flush::kPlain);
  if (rc != 0) return rc;
  core::Buffer text;
  rc = Copy(text, start, end);
  if (rc != 0) return rc;
  rc = Handler()->OnProcessingInstruction(text.Data());
  if (rc != 0) return rc;
  // Only the XML declaration, the document's first markup, names the encoding, and only while a file
  // load is settling the decoding: text and chunks are decoded as the caller configured.
  const bool declaration = s_.detecting != 0 && s_.markup_done == 0 && text.Length() >= 3 && std::memcmp(text.Data(), "xml", 3) == 0 &&
                           (text.Length() == 3 || chars_.IsWhitespace(static_cast<uint8_t>(text.Data()[3])));
  return declaration ? ApplyDeclaredEncoding(text) : 0;
}

// Run is the state machine: one block per state, each consuming input or moving to a state that does.
int Tokenizer::Run() {
  static const struct TextStops {
    uint8_t plain[256] = {};
    uint8_t dbcs[256] = {};
    TextStops() {
      for (uint8_t c : {'\n', '&', '<'}) plain[c] = dbcs[c] = 1;
      for (int c = 0; c < 256; ++c) {
        if (IsDbcsLead(static_cast<uint8_t>(c))) dbcs[c] = 1;
      }
    }
  } kStops;
  int rc = 0;
  while (s_.position < length_) {
    uint32_t& pos = s_.position;
    const uint8_t c = in_[pos];
    switch (s_.state) {
      case kText: {
        const uint8_t* stops = s_.dbcs != 0 ? kStops.dbcs : kStops.plain;
        uint32_t at = pos;
        while (at < length_ && stops[in_[at]] == 0) ++at;
        pos = at;
        if (at >= length_) return 0;
        const uint8_t stop = in_[pos++];
        if (stop == '\n') {
          s_.text_end = pos - 1;
          rc = FlushText(Flush::kLineEnd);
        } else if (stop == '&') {
          s_.entity_start = pos;
          s_.text_end = pos - 1;
          s_.state = kTextEntity;
        } else if (stop == '<') {
          s_.tag_start = pos - 1;
          s_.text_end = pos - 1;
          rc = FlushText(Flush::kBeforeTag);
          s_.markup_seen = 1;
          s_.state = kAfterLess;
        } else {
          s_.state = kTrailByte;
        }
        break;
      }
      case kTrailByte:
        ++pos;
        s_.state = kText;
        break;
      case kAfterLess:
        if (StartsName(pos) || c == '!' || c == '/' || c == '?') {
          s_.token_start = pos;
          doc_.Token().Clear();
          s_.state = kTagName;
        } else {
          s_.text_start = s_.tag_start;
          s_.state = kText;
          if (Validate() && settings_.validate_less_than_sign != 0 && settings_.allow_reserved_characters == 0) {
            return FailText(kXmlInvalidMarkup, "Unescaped character < in the XML");
          }
        }
        break;
      case kTagName:
        if (pos == s_.token_start && (c == '!' || c == '/' || c == '?')) {
          ++pos;
          s_.token_start = pos;
          doc_.Token().Clear();
          s_.state = c == '!' ? kAfterLessBang : c == '/' ? kEndTagName : kInstruction;
          break;
        }
        rc = ScanName(doc_.Token(), false);
        if (rc != 0 || pos >= length_) break;
        if (s_.raw_text != 0) {
          s_.text_start = s_.tag_start;
          s_.state = kText;
          break;
        }
        if (doc_.TagName().Assign(doc_.Token()) != core::kOk) return Fail(kXmlOutOfMemory);
        if (BuildDom()) dom_.SetLastElementMark(dom_.Length());
        doc_.Attributes().Clear();
        s_.attribute_pending = 0;
        if (in_[pos] == '>') {
          ++pos;
          rc = CloseStartTag(false);
        } else {
          s_.state = kBetweenAttributes;
        }
        break;
      case kBetweenAttributes:
        if (chars_.IsWhitespace(c) || c == '/') {
          ++pos;
        } else if (c == '>') {
          ++pos;
          rc = CloseStartTag(pos >= 2 && in_[pos - 2] == '/');
        } else if (StrictReserved() && !StartsName(pos)) {
          char text[64];
          std::snprintf(text, sizeof text, "Invalid character %c used as the Attribute Name", c);
          return FailText(kXmlInvalidMarkup, text);
        } else {
          doc_.Token().Clear();
          s_.state = kAttributeName;
        }
        break;
      case kAttributeName: {
        core::Buffer& token = doc_.Token();
        while (pos < length_) {
          rc = ScanName(token, true);
          if (rc != 0 || pos >= length_) break;
          const uint8_t d = in_[pos];
          if (chars_.IsWhitespace(d) || d == '>' || d == '=' || d == '/') break;
          if (StrictReserved() && !(d == '&' && StartsName(pos))) {
            char text[64];
            std::snprintf(text, sizeof text, "Invalid character %c used as the Attribute Name", d);
            return FailText(kXmlInvalidMarkup, text);
          }
          if (token.AppendByte(d) != core::kOk) return Fail(kXmlOutOfMemory);
          ++pos;
        }
        if (rc != 0 || pos >= length_) break;
        if (doc_.AttributeName().Assign(token) != core::kOk) return Fail(kXmlOutOfMemory);
        const uint8_t d = in_[pos++];
        s_.attribute_pending = 1;
        if (chars_.IsWhitespace(d)) {
          s_.state = kAfterAttributeName;
        } else if (d == '=') {
          s_.state = kAfterEquals;
        } else if (d == '>') {
          rc = CompleteAttribute("", 0);
          if (rc == 0) rc = CloseStartTag(false);
        } else {
          rc = CompleteAttribute("", 0);
          s_.state = kAfterAttributeName;
        }
        break;
      }
      case kAfterAttributeName:
        if (chars_.IsWhitespace(c)) {
          ++pos;
        } else if (c == '=') {
          ++pos;
          s_.state = kAfterEquals;
        } else if (c == '>') {
          ++pos;
          if (s_.attribute_pending != 0) rc = CompleteAttribute("", 0);
          if (rc == 0) rc = CloseStartTag(pos >= 2 && in_[pos - 2] == '/');
        } else if (c == '/') {
          ++pos;
          if (s_.attribute_pending != 0) rc = CompleteAttribute("", 0);
          s_.state = kBetweenAttributes;
        } else {
          if (s_.attribute_pending != 0) rc = CompleteAttribute("", 0);
          doc_.Token().Clear();
          s_.state = kAttributeName;
        }
        break;
      case kAfterEquals:
        doc_.Accumulator().Clear();
        s_.value_has_entity = 0;
        if (chars_.IsWhitespace(c)) {
          ++pos;
        } else if (c == '"' || c == '\'') {
          ++pos;
          s_.token_start = pos;
          s_.state = c == '"' ? kDoubleQuoted : kSingleQuoted;
        } else if (c == '&') {
          ++pos;
          s_.value_has_entity = 1;
          s_.token_start = pos - 1;
          s_.entity_start = pos;
          s_.state = kUnquotedEntity;
        } else if (c == '>') {
          if (Validate()) return Fail(kXmlInvalidMarkup);
          ++pos;
          rc = CompleteAttribute("", 0);
          if (rc == 0) rc = CloseStartTag(false);
        } else {
          s_.token_start = pos;
          s_.state = kUnquotedValue;
        }
        break;
      case kUnquotedValue: {
        uint32_t at = pos;
        while (at < length_ && !chars_.IsWhitespace(in_[at]) && in_[at] != '>' && in_[at] != '&') ++at;
        pos = at;
        if (at >= length_) break;
        const uint8_t d = in_[pos++];
        if (d == '&') {
          s_.entity_start = pos;
          s_.state = kUnquotedEntity;
        } else if (d == '>') {
          const uint32_t end = pos - 1 > s_.token_start && in_[pos - 2] == '/' ? pos - 2 : pos - 1;
          rc = CompleteAttributeFromToken(end);
          if (rc == 0) rc = CloseStartTag(in_[pos - 2] == '/');
        } else {
          rc = CompleteAttributeFromToken(pos - 1);
          s_.state = kBetweenAttributes;
        }
        break;
      }
      case kSingleQuoted:
      case kDoubleQuoted: {
        const uint8_t quote = s_.state == kSingleQuoted ? '\'' : '"';
        uint32_t at = pos;
        while (at < length_ && in_[at] != quote && in_[at] != '&') ++at;
        pos = at;
        if (at >= length_) break;
        if (in_[pos++] == '&') {
          s_.entity_start = pos;
          s_.state = s_.state == kSingleQuoted ? kSingleQuotedEntity : kDoubleQuotedEntity;
        } else {
          rc = CompleteAttributeFromToken(pos - 1);
          s_.state = kBetweenAttributes;
        }
        break;
      }
      case kTextEntity:
      case kUnquotedEntity:
      case kSingleQuotedEntity:
      case kDoubleQuotedEntity:
        rc = EntityState();
        break;
      case kAfterTag: {
        const uint32_t at = SkipWhitespace(pos);
        pos = at;
        if (at >= length_) break;
        if (settings_.preserve_whitespace == 0 || in_[at] == '<') {
          s_.text_end = at;
          rc = FlushText(Flush::kTextStart);
          s_.text_start = at;
        }
        s_.state = kText;
        break;
      }
      case kEndTagName:
        if (pos == s_.token_start && !StartsName(pos)) {
          // "</" before something that starts no name is text.
          s_.text_start = s_.tag_start;
          s_.state = kText;
          break;
        }
        rc = ScanName(doc_.Token(), false);
        if (rc != 0 || pos >= length_) break;
        if (chars_.IsWhitespace(in_[pos])) {
          ++pos;
          s_.state = kAfterEndTagName;
        } else {
          const bool closed = in_[pos] == '>';
          if (closed) ++pos;
          rc = CloseEndTag(closed);
        }
        break;
      case kAfterEndTagName:
        if (chars_.IsWhitespace(c)) {
          ++pos;
        } else {
          if (c == '>') ++pos;
          rc = CloseEndTag(c == '>');
        }
        break;
      case kEndTagJunk:
        if (Validate()) return Fail(kXmlInvalidMarkup);
        ++pos;
        if (c == '>') {
          s_.state = kText;
          s_.text_start = s_.text_end = pos;
          s_.consumed = pos;
        }
        break;
      case kAfterLessBang:
        if (c == '-') {
          ++pos;
          s_.state = kAfterLessBangDash;
        } else if (c == '>') {
          ++pos;
          EnterAfterTag();
        } else if (c == '[') {
          ++pos;
          if (settings_.html_comments == 0) {
            s_.token_start = pos;
            s_.state = kSectionKeyword;
          } else {
            s_.state = kDeclaration;
          }
        } else {
          s_.state = kDeclaration;
        }
        break;
      case kAfterLessBangDash:
        if (c == '-') {
          ++pos;
          s_.token_start = pos;
          s_.state = kComment;
        } else {
          s_.state = kDeclaration;
        }
        break;
      case kComment: {
        const void* dash = std::memchr(in_ + pos, '-', length_ - pos);
        if (dash == nullptr) {
          pos = length_;
          break;
        }
        pos = static_cast<uint32_t>(static_cast<const uint8_t*>(dash) - in_) + 1;
        s_.state = settings_.html_comments != 0 ? kHtmlComment : kCommentDash;
        break;
      }
      case kCommentDash:
        if (c == '-') {
          ++pos;
          s_.state = kCommentDashDash;
        } else {
          s_.state = kComment;
        }
        break;
      case kCommentDashDash:
        if (c != '>') return Fail(kXmlInvalidMarkup);
        ++pos;
        rc = CompleteComment(pos - 3);
        break;
      case kHtmlComment: {
        uint32_t at = pos;
        while (at < length_ && !(in_[at] == '>' && at >= s_.token_start + 2 && in_[at - 1] == '-' && in_[at - 2] == '-')) {
          ++at;
        }
        pos = at;
        if (at >= length_) break;
        ++pos;
        rc = CompleteComment(pos - 3);
        break;
      }
      case kInstruction: {
        uint32_t at = pos;
        while (at < length_ && !(in_[at] == '>' && (!Validate() || (at > s_.token_start && in_[at - 1] == '?')))) ++at;
        pos = at;
        if (at >= length_) break;
        ++pos;
        const uint32_t end = at > s_.token_start && in_[at - 1] == '?' ? at - 1 : at;
        rc = CompleteInstruction(s_.token_start, end);
        if (rc == 0) EnterAfterTag();
        break;
      }
      case kDeclaration: {
        uint32_t at = pos;
        while (at < length_ && in_[at] != '"' && in_[at] != '\'' && in_[at] != '[' && in_[at] != '>') ++at;
        pos = at;
        if (at >= length_) break;
        const uint8_t d = in_[pos++];
        if (d == '"') {
          s_.state = kDeclarationDouble;
        } else if (d == '\'') {
          s_.state = kDeclarationSingle;
        } else if (d == '[') {
          s_.state = kDeclarationSubset;
        } else {
          rc = FlushText(Flush::kBeforeTag);
          if (rc == 0) rc = Copy(doc_.Scratch2(), s_.token_start, pos - 1);
          if (rc == 0) rc = Handler()->OnDeclaration(doc_.Scratch2().Data());
          if (rc == 0) EnterAfterTag();
        }
        break;
      }
      case kDeclarationSingle:
      case kDeclarationDouble:
      case kDeclarationSubset: {
        const uint8_t close = s_.state == kDeclarationSingle ? '\'' : s_.state == kDeclarationDouble ? '"' : ']';
        const void* found = std::memchr(in_ + pos, close, length_ - pos);
        if (found == nullptr) {
          pos = length_;
          break;
        }
        pos = static_cast<uint32_t>(static_cast<const uint8_t*>(found) - in_) + 1;
        s_.state = kDeclaration;
        break;
      }
      case kSectionKeyword: {
        const void* found = std::memchr(in_ + pos, '[', length_ - pos);
        if (found == nullptr) {
          pos = length_;
          break;
        }
        pos = static_cast<uint32_t>(static_cast<const uint8_t*>(found) - in_);
        s_.entity_end = pos;  // keyword end
        ++pos;
        s_.entity_start = pos;  // content start
        s_.state = kSection;
        break;
      }
      case kSection: {
        uint32_t at = pos;
        while (at < length_ &&
               !(in_[at] == '>' && at >= s_.entity_start + 2 && in_[at - 1] == ']' && in_[at - 2] == ']')) {
          ++at;
        }
        pos = at;
        if (at >= length_) break;
        ++pos;
        uint32_t keyword_end = s_.entity_end;
        while (keyword_end > s_.token_start && in_[keyword_end - 1] == ' ') --keyword_end;
        core::Buffer keyword;
        rc = Copy(keyword, s_.token_start, keyword_end);
        if (rc == 0) rc = Copy(doc_.Scratch2(), s_.entity_start, pos - 3);
        if (rc == 0) rc = Handler()->OnSpecialSection(keyword.Data(), doc_.Scratch2().Data());
        if (rc == 0 && BuildDom() && keyword.EqualsBytes("CDATA", 5) && Depth() > 0 &&
            doc_.OpenElements().Value(Depth() - 1).Append(doc_.Scratch2()) != core::kOk) {
          return Fail(kXmlOutOfMemory);
        }
        s_.state = kText;
        s_.text_start = s_.text_end = pos;
        s_.consumed = pos;
        s_.markup_done = 1;
        break;
      }
      default:
        return Fail(kXmlInvalidEndState);
    }
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int XmlParse(XmlDocument& document, uint32_t length) { return Tokenizer(document, length).Run(); }

int XmlFlushBeforeTag(XmlDocument& document) {
  return Tokenizer(document, static_cast<uint32_t>(document.Input().Length())).FlushBeforeTag();
}

}  // namespace velmora::parsers
