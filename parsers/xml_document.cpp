#include "parsers/xml_document.h"

#include <cstring>
#include <initializer_list>

namespace velmora::parsers {

int XmlEvents::OnText(const char*) { return 0; }
int XmlEvents::OnComment(const char*) { return 0; }
int XmlEvents::OnEndElement(const char*, const char*, const char*, int) { return 0; }
int XmlEvents::OnEndPrefixMapping(const char*) { return 0; }
int XmlEvents::OnWarning(int, const char*) { return 0; }
int XmlEvents::OnEvalEntity(const char*, core::Buffer&) { return 0; }
int XmlEvents::OnIgnorableWhitespace(const char*) { return 0; }
int XmlEvents::OnDeclaration(const char*) { return 0; }
int XmlEvents::OnProcessingInstruction(const char*) { return 0; }
int XmlEvents::OnSpecialSection(const char*, const char*) { return 0; }
int XmlEvents::OnStartElement(const char*, const char*, const char*, int) { return 0; }
int XmlEvents::OnStartPrefixMapping(const char*, const char*) { return 0; }

namespace {

void MarkRange(uint8_t* table, int first, int last) {
  for (int c = first; c <= last; ++c) table[c] = 1;
}

}  // namespace

XmlCharTables::XmlCharTables() {
  std::memset(whitespace, 0, sizeof whitespace);
  std::memset(name, 0, sizeof name);
  std::memset(name_start, 0, sizeof name_start);
  for (uint8_t c : {'\t', '\n', '\f', '\r', ' '}) whitespace[c] = 1;
  for (uint8_t* table : {name, name_start}) {
    table[uint8_t{':'}] = 1;
    table[uint8_t{'_'}] = 1;
    MarkRange(table, 'A', 'Z');
    MarkRange(table, 'a', 'z');
    // Every byte above ASCII: names in UTF-8 (or any multibyte code page) pass through byte by byte.
    MarkRange(table, 0x80, 0xFF);
  }
  name[uint8_t{'-'}] = 1;
  name[uint8_t{'.'}] = 1;
  MarkRange(name, '0', '9');
}

void XmlCharTables::AllowLeadingDigit(bool on) {
  for (int c = '0'; c <= '9'; ++c) name_start[c] = on ? 1 : 0;
}

bool XmlCharTables::IsValidName(const char* text, int32_t length) const {
  if (length < 1 || !IsNameStart(static_cast<uint8_t>(text[0]))) return false;
  for (int32_t i = 1; i < length; ++i) {
    if (!IsName(static_cast<uint8_t>(text[i]))) return false;
  }
  return true;
}

NameTable::NameTable() = default;

int NameTable::Push(const char* name, int32_t name_length, const char* value, int32_t value_length) {
  if (count_ >= kCapacity) return kXmlOutOfMemory;
  // Entries are made as the table first reaches them and kept for reuse.
  if (count_ >= names_.Count() && (names_.SetCount(count_ + 1) != core::kOk || values_.SetCount(count_ + 1) != core::kOk)) {
    return kXmlOutOfMemory;
  }
  core::Buffer* name_buffer = names_.GetOrCreate(count_);
  core::Buffer* value_buffer = values_.GetOrCreate(count_);
  if (name_buffer == nullptr || value_buffer == nullptr) return kXmlOutOfMemory;
  if (name_buffer->SetData(name_length, name) != core::kOk) return kXmlOutOfMemory;
  if (value != nullptr && value_buffer->SetData(value_length, value) != core::kOk) return kXmlOutOfMemory;
  depths_[count_] = 0;
  ++count_;
  return core::kOk;
}

void NameTable::Release() {
  count_ = 0;
  (void)names_.Clear();
  (void)values_.Clear();
}

int32_t NameTable::Lookup(const char* name, int32_t length, int direction) const {
  for (int32_t k = 0; k < count_; ++k) {
    const int32_t i = direction == 0 ? k : count_ - 1 - k;
    const core::Buffer* entry = names_.Get(i);
    if (entry != nullptr && entry->EqualsBytes(name, length)) return i;
  }
  return -1;
}

int XmlDocument::Reset() {
  const uint8_t dbcs = scan_.dbcs;
  scan_ = XmlScan();
  scan_.dbcs = dbcs;
  scan_.mode = settings_.input_mode;
  scan_.detect = settings_.detect_encoding;
  attributes_.Clear();
  open_elements_.Clear();
  bindings_.Clear();
  token_.Clear();
  tag_name_.Clear();
  attribute_name_.Clear();
  accumulator_.Clear();
  error_text_.Clear();
  input_.Clear();
  return dom_.Reset();
}

void XmlDocument::DestroyMembers() {
  attributes_.Release();
  open_elements_.Release();
  bindings_.Release();
  scratch2_.Clear();
  scratch_.Clear();
  accumulator_.Clear();
  attribute_name_.Clear();
  tag_name_.Clear();
  token_.Clear();
  path_text_.Clear();
  error_text_.Clear();
  input_.Clear();
  (void)dom_.Reset();
}

int XmlErrorText(XmlDocument& document, int code) {
  const char* text;
  switch (code) {
    case kXmlOutOfMemory: text = "Out of memory."; break;
    case kXmlUnbalancedTag: text = "Unbalanced element tag."; break;
    case kXmlUnknownElementPrefix: text = "Unknown element prefix (can't find namespace)."; break;
    case kXmlUnknownAttributePrefix: text = "Unknown attribute prefix (can't find namespace)."; break;
    case kXmlInvalidMarkup: text = "Invalid XML markup."; break;
    case kXmlInvalidEndState: text = "Invalid end state for parser."; break;
    case kXmlUnbalancedElements: text = "Document contains unbalanced elements."; break;
    case kXmlInvalidPath: text = "Invalid XPath."; break;
    case kXmlNoSuchChild: text = "No such child."; break;
    case kXmlTopMismatch: text = "Top element does not match start of path."; break;
    case kXmlNoDom: text = "DOM tree unavailable (set BuildDOM to TRUE and reparse)."; break;
    case kXmlManyRoots: text = "Invalid XML: the document has more than one root element."; break;
    case kXmlTextOutsideRoot: text = "Invalid XML: the document contains text outside the root element."; break;
    case kXmlNoSubtree: text = "Subtree not available unless KeepOriginalText is set."; break;
    default: text = "xmlpimpl: unknown error"; break;
  }
  // The texts are short enough for the inline storage, so storing them cannot fail.
  (void)document.ErrorText().SetString(text);
  return code;
}

}  // namespace velmora::parsers
