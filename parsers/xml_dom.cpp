#include "parsers/xml_dom.h"

#include <cstring>
#include <initializer_list>

namespace velmora::parsers {

namespace {

// MinimumSize is the smallest record of a tag: its header, its strings' terminators, rounded up; 0 for a
// tag no record has.
uint32_t MinimumSize(uint32_t tag) {
  switch (tag) {
    case kTagElement:
    case kTagComment:
    case kTagInstruction:
    case kTagOtherNode:
      return RoundUp4(kElementHeader + 1);
    case kTagAttribute:
    case kTagNamespace:
      return RoundUp4(kAttributeHeader + 2);
    case kTagText:
      return RoundUp4(kTextHeader + 1);
    default:
      return 0;
  }
}

bool IsNodeTag(uint32_t tag) {
  return tag == kTagElement || tag == kTagComment || tag == kTagInstruction || tag == kTagOtherNode;
}

uint32_t Length32(const char* text) { return text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0; }

// ShiftedOffset moves a stored offset that lies at or beyond position; 0 stays "none".
uint32_t ShiftedOffset(uint32_t value, uint32_t position, int64_t delta) {
  if (value == 0 || value < position) return value;
  return static_cast<uint32_t>(static_cast<int64_t>(value) + delta);
}

// MatchesQualified is true when name equals prefix ":" local (prefix not empty).
bool MatchesQualified(const char* name, const char* prefix, const char* local) {
  const size_t prefix_length = std::strlen(prefix);
  return prefix_length != 0 && std::strncmp(name, prefix, prefix_length) == 0 && name[prefix_length] == ':' &&
         std::strcmp(name + prefix_length + 1, local) == 0;
}

// MatchesExpanded is true when name equals uri immediately followed by local (uri not empty).
bool MatchesExpanded(const char* name, const char* uri, const char* local) {
  const size_t uri_length = std::strlen(uri);
  return uri_length != 0 && std::strncmp(name, uri, uri_length) == 0 && std::strcmp(name + uri_length, local) == 0;
}

}  // namespace

XmlDom::XmlDom() { (void)Reset(); }

XmlDom::~XmlDom() {
  expanded_name_.Clear();
  qualified_name_.Clear();
  records_.Clear();
}

int XmlDom::Reset() {
  records_.Clear();
  current_ = 0;
  root_ = 0;
  first_node_ = 0;
  document_counter_ = 0;
  last_element_mark_ = 0;
  std::memset(element_stack_, 0, sizeof element_stack_);
  std::memset(namespace_stack_, 0, sizeof namespace_stack_);
  return WriteNamespace("", "", 0);
}

// ---- Reading

uint32_t XmlDom::Word(uint32_t offset, uint32_t field) const {
  const uint64_t at = static_cast<uint64_t>(offset) + 4 * uint64_t{field};
  if (at + 4 > Length()) return 0;
  uint32_t value;
  std::memcpy(&value, records_.Data() + at, sizeof value);
  return value;
}

void XmlDom::SetWord(uint32_t offset, uint32_t field, uint32_t value) {
  const uint64_t at = static_cast<uint64_t>(offset) + 4 * uint64_t{field};
  if (at + 4 <= Length()) std::memcpy(records_.Data() + at, &value, sizeof value);
}

bool XmlDom::IsRecord(uint32_t offset) const {
  if ((offset & 3) != 0 || static_cast<uint64_t>(offset) + 8 > Length()) return false;
  const uint32_t minimum = MinimumSize(Word(offset, kFieldTag));
  const uint32_t size = Word(offset, kFieldSize);
  return minimum != 0 && (size & 3) == 0 && size >= minimum && static_cast<uint64_t>(offset) + size <= Length();
}

uint32_t XmlDom::TagAt(uint32_t offset) const { return IsRecord(offset) ? Word(offset, kFieldTag) : 0; }

const char* XmlDom::StringAt(uint32_t offset, uint32_t header) const {
  if (!IsRecord(offset)) return core::kEmptyText;
  const char* text = records_.Data() + offset + header;
  const size_t room = SizeAt(offset) - header;
  return std::memchr(text, 0, room) != nullptr ? text : core::kEmptyText;
}

const char* XmlDom::SecondStringAt(uint32_t offset, uint32_t header) const {
  if (!IsRecord(offset)) return core::kEmptyText;
  const char* first = records_.Data() + offset + header;
  const char* end = records_.Data() + offset + SizeAt(offset);
  const char* nul = static_cast<const char*>(std::memchr(first, 0, static_cast<size_t>(end - first)));
  if (nul == nullptr || nul + 1 >= end) return core::kEmptyText;
  return std::memchr(nul + 1, 0, static_cast<size_t>(end - nul - 1)) != nullptr ? nul + 1 : core::kEmptyText;
}

const char* XmlDom::LocalName(uint32_t element) const {
  return IsElement(element) ? StringAt(element, kElementHeader) : core::kEmptyText;
}

uint32_t XmlDom::NamespaceRecord(uint32_t element) const {
  if (!IsElement(element)) return 0;
  const uint32_t scope = Word(element, kFieldNamespace);
  return scope != 0 && TagAt(scope) == kTagNamespace ? scope : 0;
}

const char* XmlDom::Prefix(uint32_t element) const {
  const uint32_t scope = NamespaceRecord(element);
  return scope != 0 ? StringAt(scope, kNamespaceHeader) : core::kEmptyText;
}

const char* XmlDom::NamespaceUri(uint32_t element) const {
  const uint32_t scope = NamespaceRecord(element);
  return scope != 0 ? SecondStringAt(scope, kNamespaceHeader) : core::kEmptyText;
}

const char* XmlDom::QualifiedName(uint32_t element) {
  const char* prefix = Prefix(element);
  const char* local = LocalName(element);
  if (*prefix == '\0') return local;
  if (qualified_name_.SetString(prefix) != core::kOk || qualified_name_.AppendByte(':') != core::kOk ||
      qualified_name_.AppendCString(local) != core::kOk) {
    return local;
  }
  return qualified_name_.Data();
}

const char* XmlDom::ExpandedName(uint32_t element) {
  const char* uri = NamespaceUri(element);
  const char* local = LocalName(element);
  if (*uri == '\0') return local;
  if (expanded_name_.SetString(uri) != core::kOk || expanded_name_.AppendCString(local) != core::kOk) return local;
  return expanded_name_.Data();
}

const char* XmlDom::Text(uint32_t element) const {
  if (!IsElement(element)) return core::kEmptyText;
  const uint32_t text = Word(element, kFieldText);
  return text != 0 && TagAt(text) == kTagText ? StringAt(text, kTextHeader) : core::kEmptyText;
}

uint32_t XmlDom::ChildCount(uint32_t element) const {
  if (!IsElement(element)) return 0;
  const uint32_t count = Word(element, kFieldChildCount);
  return count == kEmptyElementCount ? 0 : count;
}

uint32_t XmlDom::AttributeCount(uint32_t element) const {
  if (!IsElement(element)) return 0;
  const uint32_t stored = Word(element, kFieldAttributeCount);
  uint32_t count = 0;
  for (uint32_t at = element + SizeAt(element); count < stored && TagAt(at) == kTagAttribute; at += SizeAt(at)) ++count;
  return count;
}

uint32_t XmlDom::AttributeAt(uint32_t element, uint32_t index) const {
  if (!IsElement(element) || index >= Word(element, kFieldAttributeCount)) return 0;
  uint32_t at = element + SizeAt(element);
  for (uint32_t i = 0; TagAt(at) == kTagAttribute; ++i, at += SizeAt(at)) {
    if (i == index) return at;
  }
  return 0;
}

const char* XmlDom::AttributeName(uint32_t attribute) const {
  return TagAt(attribute) == kTagAttribute ? StringAt(attribute, kAttributeHeader) : core::kEmptyText;
}

const char* XmlDom::AttributeValue(uint32_t attribute) const {
  return TagAt(attribute) == kTagAttribute ? SecondStringAt(attribute, kAttributeHeader) : core::kEmptyText;
}

uint32_t XmlDom::ElementEnd(uint32_t element) const {
  if (!IsRecord(element)) return 0;
  const uint32_t end = Word(element, kFieldEnd);
  return static_cast<uint64_t>(element) + SizeAt(element) <= end && end <= Length() ? end : 0;
}

uint32_t XmlDom::ContentLimit(uint32_t element) const {
  const uint32_t end = ElementEnd(element);
  return end != 0 ? end : Length();
}

uint32_t XmlDom::FirstChildRecord(uint32_t element) const {
  if (!IsRecord(element)) return Length();
  uint32_t at = element + SizeAt(element);
  while (TagAt(at) == kTagAttribute) at += SizeAt(at);
  return at;
}

uint32_t XmlDom::NextChild(uint32_t* position, uint32_t limit) const {
  for (uint32_t at = *position; at < limit && IsRecord(at);) {
    const uint32_t tag = Word(at, kFieldTag);
    const uint32_t size = Word(at, kFieldSize);
    if (tag == kTagNamespace) {
      at += size;
      continue;
    }
    if (!IsNodeTag(tag)) return 0;
    // An open child holds everything behind it: nothing follows it at this level.
    const uint32_t end = Word(at, kFieldEnd);
    *position = static_cast<uint64_t>(at) + size <= end && end <= Length() ? end : limit;
    return at;
  }
  return 0;
}

bool XmlDom::IsParentOf(uint32_t parent, uint32_t child) const { return Word(child, kFieldParent) == parent; }

bool XmlDom::IsElementStart(uint32_t offset) const {
  uint32_t at = 0;
  while (at < offset && IsRecord(at)) at += SizeAt(at);
  return at == offset && TagAt(at) == kTagElement;
}

uint32_t XmlDom::TopLevelElementCount() const {
  uint32_t count = 0;
  uint32_t at = root_;
  if (root_ == 0) return 0;
  for (uint32_t node; (node = NextChild(&at, Length())) != 0;) {
    if (TagAt(node) == kTagElement) ++count;
  }
  return count;
}

// ---- Writers

int XmlDom::AppendRecord(const void* header, uint32_t header_size, const char* a, uint32_t a_length,
                         const char* b, uint32_t b_length, uint32_t size) {
  const uint32_t offset = Length();
  if (static_cast<uint64_t>(offset) + size > INT32_MAX - 1) return kXmlOutOfMemory;
  int rc = records_.Resize(static_cast<int32_t>(offset + size));
  if (rc != core::kOk) return rc;
  char* at = records_.Data() + offset;
  std::memcpy(at, header, header_size);
  if (a_length != 0) std::memcpy(at + header_size, a, a_length);
  if (b != nullptr && b_length != 0) std::memcpy(at + header_size + a_length + 1, b, b_length);
  return core::kOk;
}

int XmlDom::WriteElement(const char* name, int32_t depth, int32_t namespace_depth, uint32_t binding_count,
                         int empty_element, uint32_t attribute_count, uint32_t start_tag, uint32_t content_start) {
  const uint32_t name_length = Length32(name);
  const uint32_t offset = Length();
  uint32_t header[kElementHeader / 4] = {};
  header[kFieldTag] = kTagElement;
  header[kFieldSize] = RoundUp4(uint64_t{name_length} + kElementHeader + 1);
  header[kFieldChildCount] = empty_element != 0 ? kEmptyElementCount : 0;
  header[kFieldParent] = depth > 1 ? ElementStackEntry(depth - 1) : 0;
  header[kFieldNamespace] = NamespaceStackEntry(namespace_depth);
  header[kFieldBindingCount] = binding_count;
  header[kFieldDocument] = document_counter_;
  header[kFieldAttributeCount] = attribute_count;
  header[kFieldStartTag] = start_tag;
  header[kFieldContentStart] = content_start;
  int rc = AppendRecord(header, kElementHeader, name, name_length, nullptr, 0, header[kFieldSize]);
  if (rc != core::kOk) return rc;
  if (root_ == 0) root_ = offset;
  if (first_node_ == 0) first_node_ = offset;
  if (InDepth(depth)) element_stack_[depth - 1] = offset;
  return core::kOk;
}

int XmlDom::WriteNode(uint32_t tag, const char* text, int32_t depth, uint32_t start, uint32_t end) {
  const uint32_t text_length = Length32(text);
  const uint32_t offset = Length();
  uint32_t header[kElementHeader / 4] = {};
  header[kFieldTag] = tag;
  header[kFieldSize] = RoundUp4(uint64_t{text_length} + kElementHeader + 1);
  header[kFieldEnd] = offset + header[kFieldSize];
  header[kFieldParent] = depth > 1 ? ElementStackEntry(depth - 1) : 0;
  header[kFieldStartTag] = start;
  header[kFieldEndPosition] = end;
  int rc = AppendRecord(header, kElementHeader, text, text_length, nullptr, 0, header[kFieldSize]);
  if (rc != core::kOk) return rc;
  if (first_node_ == 0) first_node_ = offset;
  if (InDepth(depth)) element_stack_[depth - 1] = offset;
  return core::kOk;
}

int XmlDom::WriteAttribute(const char* name, const char* value, int32_t namespace_depth) {
  const uint32_t name_length = Length32(name);
  const uint32_t value_length = Length32(value);
  const uint32_t header[3] = {kTagAttribute, RoundUp4(uint64_t{name_length} + value_length + kAttributeHeader + 2),
                              NamespaceStackEntry(namespace_depth)};
  return AppendRecord(header, kAttributeHeader, name, name_length, value != nullptr ? value : "", value_length,
                      header[kFieldSize]);
}

int XmlDom::WriteNamespace(const char* prefix, const char* uri, int32_t namespace_depth) {
  const uint32_t prefix_length = Length32(prefix);
  const uint32_t uri_length = Length32(uri);
  const uint32_t offset = Length();
  const uint32_t header[3] = {kTagNamespace, RoundUp4(uint64_t{prefix_length} + uri_length + kNamespaceHeader + 2),
                              0};
  int rc = AppendRecord(header, kNamespaceHeader, prefix, prefix_length, uri != nullptr ? uri : "", uri_length,
                        header[kFieldSize]);
  if (rc == core::kOk && InDepth(namespace_depth)) namespace_stack_[namespace_depth - 1] = offset;
  return rc;
}

int XmlDom::WriteText(int32_t depth, const char* text, int32_t length) {
  const uint32_t text_length = length == kMeasure ? Length32(text) : static_cast<uint32_t>(length < 0 ? 0 : length);
  const uint32_t offset = Length();
  const uint32_t header[2] = {kTagText, RoundUp4(uint64_t{text_length} + kTextHeader + 1)};
  int rc = AppendRecord(header, kTextHeader, text, text_length, nullptr, 0, header[kFieldSize]);
  if (rc != core::kOk) return rc;
  const uint32_t element = ElementStackEntry(depth);
  if (IsElement(element)) SetWord(element, kFieldText, offset);
  return core::kOk;
}

void XmlDom::CloseElement(int32_t depth, uint32_t end_position, uint32_t end_tag_start) {
  const uint32_t element = ElementStackEntry(depth);
  if (IsElement(element)) {
    SetWord(element, kFieldEnd, Length());
    SetWord(element, kFieldEndPosition, end_position);
    SetWord(element, kFieldContentEnd, end_tag_start);
    const uint32_t parent = depth > 1 ? ElementStackEntry(depth - 1) : 0;
    if (IsElement(parent) && Word(parent, kFieldChildCount) != kEmptyElementCount) {
      SetWord(parent, kFieldChildCount, Word(parent, kFieldChildCount) + 1);
    }
  }
  current_ = element != 0 ? element : root_;
}

void XmlDom::CloseNamespaceScope(int32_t namespace_depth) {
  const uint32_t scope = NamespaceStackEntry(namespace_depth);
  if (TagAt(scope) == kTagNamespace) SetWord(scope, kFieldLink, Length());
}

// ---- Edits

void XmlDom::ShiftRecordOffsets(uint32_t position, int64_t delta) {
  // Every record is visited, those in front of the root too: the root's own namespace records hold a
  // scope end behind any edit inside the root.
  for (uint32_t at = 0; IsRecord(at); at += SizeAt(at)) {
    const uint32_t tag = Word(at, kFieldTag);
    if (IsNodeTag(tag)) {
      for (uint32_t field : {kFieldEnd, kFieldParent, kFieldNamespace, kFieldText}) {
        SetWord(at, field, ShiftedOffset(Word(at, field), position, delta));
      }
    } else if (tag == kTagAttribute || tag == kTagNamespace) {
      SetWord(at, kFieldLink, ShiftedOffset(Word(at, kFieldLink), position, delta));
    }
  }
  for (uint32_t* stack : {element_stack_, namespace_stack_}) {
    for (int32_t i = 0; i < kMaxDepth && stack[i] != 0; ++i) stack[i] = ShiftedOffset(stack[i], position, delta);
  }
}

int XmlDom::InsertTextRecord(const char* text) {
  const uint32_t element = current_;
  if (!IsElement(element)) return kXmlInvalidPath;
  const uint32_t text_length = Length32(text);
  const uint32_t size = RoundUp4(uint64_t{text_length} + kTextHeader + 1);
  if (static_cast<uint64_t>(Length()) + size > INT32_MAX - 1) return kXmlOutOfMemory;
  core::Buffer record;
  const uint32_t header[2] = {kTagText, size};
  int rc = record.Resize(static_cast<int32_t>(size));
  if (rc != core::kOk) return rc;
  std::memcpy(record.Data(), header, sizeof header);
  if (text_length != 0) std::memcpy(record.Data() + kTextHeader, text, text_length);
  // An element still open has its content running to the end of the buffer.
  const uint32_t at = ContentLimit(element);
  rc = records_.ReplaceRange(static_cast<int32_t>(at), 0, record.Data(), static_cast<int32_t>(size));
  if (rc != core::kOk) return rc;
  ShiftRecordOffsets(at, size);
  // Descendants that ended where the record went in still end there: the new record follows them.
  for (uint32_t inner = element + SizeAt(element); inner < at && IsRecord(inner); inner += SizeAt(inner)) {
    const uint32_t tag = Word(inner, kFieldTag);
    const uint32_t field = IsNodeTag(tag) ? kFieldEnd : tag == kTagNamespace ? kFieldLink : 0;
    if (field != 0 && Word(inner, field) == at + size) SetWord(inner, field, at);
  }
  SetWord(element, kFieldText, at);
  return core::kOk;
}

int XmlDom::SetCurrentText(const char* text) {
  const uint32_t element = current_;
  if (element == 0) return core::kOk;
  if (!IsElement(element)) return kXmlInvalidPath;
  const uint32_t record = Word(element, kFieldText);
  if (record == 0) return InsertTextRecord(text);
  if (TagAt(record) != kTagText) return kXmlInvalidPath;
  // The record is rebuilt at its new rounded size, so every record behind it stays 4-aligned.
  const uint32_t old_size = SizeAt(record);
  const uint32_t text_length = Length32(text);
  const uint32_t new_size = RoundUp4(uint64_t{text_length} + kTextHeader + 1);
  if (static_cast<uint64_t>(Length()) + new_size > INT32_MAX - 1) return kXmlOutOfMemory;
  core::Buffer body;
  int rc = body.Resize(static_cast<int32_t>(new_size - kTextHeader));
  if (rc != core::kOk) return rc;
  if (text_length != 0) std::memcpy(body.Data(), text, text_length);
  rc = records_.ReplaceRange(static_cast<int32_t>(record + kTextHeader), static_cast<int32_t>(old_size - kTextHeader),
                             body.Data(), body.Length());
  if (rc != core::kOk) return rc;
  SetWord(record, kFieldSize, new_size);
  if (new_size != old_size) ShiftRecordOffsets(record + old_size, int64_t{new_size} - old_size);
  return core::kOk;
}

void XmlDom::RemoveSpan(uint32_t start, uint32_t end) {
  if (end <= start) return;
  if (records_.Delete(static_cast<int32_t>(start), static_cast<int32_t>(end - start)) != core::kOk) return;
  ShiftRecordOffsets(end, -static_cast<int64_t>(end - start));
}

int XmlDom::RemoveChild(uint32_t offset) {
  const uint32_t element = current_;
  if (!IsElement(element)) return kXmlInvalidPath;
  const uint32_t count = ChildCount(element);
  const uint32_t limit = ContentLimit(element);
  uint32_t at = FirstChildRecord(element);
  if (offset != 0) {
    // The child's span starts with the namespace records of its own start tag.
    for (uint32_t step = at, node; (node = NextChild(&at, limit)) != 0; step = at) {
      if (node != offset) continue;
      if (TagAt(node) != kTagElement || !IsParentOf(element, node)) break;
      RemoveSpan(step, at);
      if (count != 0) SetWord(element, kFieldChildCount, count - 1);
      return core::kOk;
    }
    return kXmlInvalidPath;
  }
  if (count == 0) return core::kOk;
  const uint32_t first = at;
  uint32_t removed = 0;
  uint32_t span_end = first;
  while (removed < count) {
    const uint32_t node = NextChild(&at, limit);
    if (node == 0) {
      // A record of another kind among the children: the count is dropped and nothing removed.
      if (at < limit) {
        SetWord(element, kFieldChildCount, 0);
        return core::kOk;
      }
      break;
    }
    if (TagAt(node) == kTagElement) ++removed;
    span_end = at;
  }
  RemoveSpan(first, span_end);
  SetWord(element, kFieldChildCount, 0);
  return core::kOk;
}

// ---- Navigation

int XmlDom::ChildByIndex(int64_t n, int elements_only) {
  if (root_ == 0) return kXmlNoDom;
  const uint32_t element = CurrentOrRoot();
  if (n < 1 || (elements_only != 0 && n > ChildCount(element))) return kXmlInvalidPath;
  const uint32_t limit = ContentLimit(element);
  uint32_t at = FirstChildRecord(element);
  int64_t seen = 0;
  for (uint32_t node; (node = NextChild(&at, limit)) != 0;) {
    if (elements_only != 0 && Word(node, kFieldTag) != kTagElement) continue;
    if (++seen == n) {
      if (!IsParentOf(element, node)) return kXmlInvalidPath;
      current_ = node;
      return core::kOk;
    }
  }
  return kXmlInvalidPath;
}

int XmlDom::Parent() {
  if (root_ == 0) return kXmlNoDom;
  const uint32_t element = CurrentOrRoot();
  if (element == root_) return kXmlNoSuchChild;
  const uint32_t parent = Word(element, kFieldParent);
  if (parent == 0) {
    current_ = root_;
    return core::kOk;
  }
  if (parent >= element || !IsElement(parent)) return kXmlInvalidPath;
  current_ = parent;
  return core::kOk;
}

int XmlDom::NextElement(int elements_only) {
  if (root_ == 0) return kXmlNoDom;
  const uint32_t element = CurrentOrRoot();
  uint32_t at = ElementEnd(element);
  if (at == 0) return kXmlInvalidPath;
  const uint32_t parent = Word(element, kFieldParent);
  const uint32_t limit = parent != 0 && parent < element ? ContentLimit(parent) : Length();
  for (uint32_t node; (node = NextChild(&at, limit)) != 0;) {
    if (elements_only != 0 && Word(node, kFieldTag) != kTagElement) continue;
    if (!IsParentOf(parent, node)) return kXmlInvalidPath;
    current_ = node;
    return core::kOk;
  }
  return kXmlInvalidPath;
}

const char* XmlDom::RecordString(uint32_t offset, uint32_t header, uint32_t size) const {
  const char* text = records_.Data() + offset + header;
  return std::memchr(text, 0, size - header) != nullptr ? text : core::kEmptyText;
}

bool XmlDom::HasAttribute(uint32_t element, const char* attribute, const char* value) const {
  const uint32_t count = Word(element, kFieldAttributeCount);
  uint32_t at = element + Word(element, kFieldSize);
  for (uint32_t i = 0; i < count && IsRecord(at) && Word(at, kFieldTag) == kTagAttribute; ++i) {
    const uint32_t size = Word(at, kFieldSize);
    const char* name = RecordString(at, kAttributeHeader, size);
    if (std::strcmp(name, attribute) == 0) {
      // The validated record holds a second NUL behind the name when it holds a value at all.
      if (value == nullptr) return true;
      const char* stored = SecondStringAt(at, kAttributeHeader);
      if (std::strcmp(stored, value) == 0) return true;
    }
    at += size;
  }
  return false;
}

int XmlDom::FindElement(const char* name, int64_t n, const char* attribute, const char* value) {
  if (root_ == 0) return kXmlNoDom;
  const uint32_t element = CurrentOrRoot();
  const uint32_t count = ChildCount(element);
  const uint32_t limit = ContentLimit(element);
  uint32_t at = FirstChildRecord(element);
  uint32_t seen = 0;
  for (uint32_t node; seen < count && (node = NextChild(&at, limit)) != 0;) {
    if (Word(node, kFieldTag) != kTagElement) continue;
    ++seen;
    const char* local = RecordString(node, kElementHeader, Word(node, kFieldSize));
    const uint32_t scope = Word(node, kFieldNamespace) != 0 ? NamespaceRecord(node) : 0;
    const char* prefix = scope != 0 ? StringAt(scope, kNamespaceHeader) : core::kEmptyText;
    const char* uri = scope != 0 ? SecondStringAt(scope, kNamespaceHeader) : core::kEmptyText;
    if (MatchesExpanded(name, uri, local)) {
      current_ = node;
      return core::kOk;
    }
    if (std::strcmp(name, local) != 0 && !MatchesQualified(name, prefix, local)) continue;
    if (attribute == nullptr) {
      if (n <= 1) {
        current_ = node;
        return core::kOk;
      }
      --n;
    } else if (HasAttribute(node, attribute, value)) {
      current_ = node;
      return core::kOk;
    }
  }
  return kXmlNoSuchChild;
}

int XmlDom::SelectInnermostUnclosed() {
  uint32_t found = 0;
  for (int32_t i = 0; i < kMaxDepth && element_stack_[i] != 0; ++i) {
    const uint32_t element = element_stack_[i];
    if (IsElement(element) && Word(element, kFieldEndPosition) == 0 && IsElementStart(element)) found = element;
  }
  if (found == 0) return kXmlInvalidPath;
  current_ = found;
  return core::kOk;
}

int XmlDom::SelectElementAt(uint32_t offset) {
  if (!IsElementStart(offset)) return kXmlInvalidPath;
  current_ = offset;
  return core::kOk;
}

// ---- Validation and loading

int XmlDom::Validate() const {
  constexpr int kInvalid = -2;
  const uint32_t length = Length();
  if ((length & 3) != 0) return kInvalid;
  // kinds holds the tag of the record starting at each 4-byte slot (0: no record starts there).
  core::Buffer kinds;
  if (kinds.Resize(static_cast<int32_t>(length / 4 + 1)) != core::kOk) return kInvalid;
  uint8_t* kind = reinterpret_cast<uint8_t*>(kinds.Data());
  for (uint32_t at = 0; at < length; at += SizeAt(at)) {
    if (!IsRecord(at)) return kInvalid;
    const uint32_t tag = Word(at, kFieldTag);
    const char* strings = records_.Data() + at + (IsNodeTag(tag) ? kElementHeader : tag == kTagText ? kTextHeader : kAttributeHeader);
    const char* end = records_.Data() + at + SizeAt(at);
    const char* nul = static_cast<const char*>(std::memchr(strings, 0, static_cast<size_t>(end - strings)));
    if (nul == nullptr) return kInvalid;
    if ((tag == kTagAttribute || tag == kTagNamespace) && std::memchr(nul + 1, 0, static_cast<size_t>(end - nul - 1)) == nullptr) {
      return kInvalid;
    }
    kind[at / 4] = static_cast<uint8_t>(tag);
  }
  // is_start tells whether offset is 0 or the start of a record of tag (0: any tag).
  auto is_start = [&](uint32_t offset, uint32_t tag) {
    if (offset == 0) return true;
    if ((offset & 3) != 0 || offset >= length || kind[offset / 4] == 0) return false;
    return tag == 0 || kind[offset / 4] == tag;
  };
  // An end offset lies after its record and on a record boundary or the end of the buffer.
  auto is_end = [&](uint32_t at, uint32_t end) {
    return end == 0 || (end >= at + SizeAt(at) && (end == length || is_start(end, 0)));
  };
  for (uint32_t at = 0; at < length; at += SizeAt(at)) {
    const uint32_t tag = Word(at, kFieldTag);
    if (IsNodeTag(tag)) {
      const uint32_t parent = Word(at, kFieldParent);
      const uint32_t text = Word(at, kFieldText);
      if (!is_end(at, Word(at, kFieldEnd)) || parent >= at || !is_start(parent, kTagElement) ||
          !is_start(Word(at, kFieldNamespace), kTagNamespace) || (text != 0 && text <= at) ||
          !is_start(text, kTagText)) {
        return kInvalid;
      }
    } else if (tag == kTagAttribute) {
      if (!is_start(Word(at, kFieldLink), kTagNamespace)) return kInvalid;
    } else if (tag == kTagNamespace) {
      if (!is_end(at, Word(at, kFieldLink))) return kInvalid;
    }
  }
  return is_start(root_, kTagElement) ? core::kOk : kInvalid;
}

int XmlDom::LoadRecords(const void* bytes, int32_t length, uint32_t root) {
  (void)Reset();
  if (length < 0 || records_.SetData(length, bytes) != core::kOk) return -2;
  root_ = root;
  if (Validate() != core::kOk) {
    (void)Reset();
    return -2;
  }
  for (uint32_t at = 0; IsRecord(at); at += SizeAt(at)) {
    if (IsNodeTag(TagAt(at))) {
      first_node_ = at;
      break;
    }
  }
  return core::kOk;
}

}  // namespace velmora::parsers
