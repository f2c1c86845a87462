// XmlDom: the parsed XML document as one flat buffer of tagged, 4-aligned records linked by 32-bit
// offsets from the start of the buffer, so the store can grow, move, be saved and loaded without fixing
// pointers. Also the writers the tokenizer uses, the edits (text insertion and replacement, removing
// children), the element navigation the paths and cursors run on, and the validator of loaded stores.
//
// Record layouts (every field a native u32; strings NUL-terminated behind the header, size rounded up to
// a multiple of 4):
//   'E' element, 'C' comment, 'I' processing instruction, 'G' other node: 56-byte header (the Field
//       constants below), then the local name (or the node's text);
//   'A' attribute: tag, size, namespace offset, then name and value;
//   'P' namespace scope: tag, size, scope end, then prefix and URI;
//   'T' text: tag, size, then the text.
// An offset of 0 means "none": the record at offset 0 is always a 'P' record, never a target.
//
// Every walk bounds-checks what it reads and never hops backwards: an end offset that does not lie after
// its record counts as "still open", so a store cut short or a forged one cannot make a walk loop or
// read outside the buffer. One thread at a time.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/buffer.h"

namespace velmora::parsers {

constexpr uint32_t kTagElement = 'E';
constexpr uint32_t kTagComment = 'C';
constexpr uint32_t kTagInstruction = 'I';
constexpr uint32_t kTagOtherNode = 'G';
constexpr uint32_t kTagAttribute = 'A';
constexpr uint32_t kTagNamespace = 'P';
constexpr uint32_t kTagText = 'T';
// kTagNoElement is the record tag reported when there is no current element.
constexpr uint32_t kTagNoElement = 'D';

constexpr uint32_t kElementHeader = 56;
constexpr uint32_t kAttributeHeader = 12;
constexpr uint32_t kNamespaceHeader = 12;
constexpr uint32_t kTextHeader = 8;
constexpr int32_t kMaxDepth = 256;
// kMeasure as a text length asks the writer to measure a NUL-terminated text.
constexpr int32_t kMeasure = -1;
// kEmptyElementCount is the child count stored for an element written from an empty-element tag.
constexpr uint32_t kEmptyElementCount = 0xFFFFFFFFu;
// kContentDropped is the content start of an element part of whose content was dropped with consumed
// input; it lies after every end tag, so that content never counts as whitespace only.
constexpr uint32_t kContentDropped = 0xFFFFFFFFu;

// XML result codes shared by the store, the paths and the parser.
constexpr int kXmlOutOfMemory = 200;
constexpr int kXmlUnbalancedTag = 201;
constexpr int kXmlUnknownElementPrefix = 202;
constexpr int kXmlUnknownAttributePrefix = 203;
constexpr int kXmlInvalidMarkup = 204;
constexpr int kXmlInvalidEndState = 205;
constexpr int kXmlUnbalancedElements = 206;
constexpr int kXmlInvalidPath = 207;
constexpr int kXmlNoSuchChild = 208;
constexpr int kXmlTopMismatch = 209;
constexpr int kXmlNoDom = 210;
constexpr int kXmlManyRoots = 211;
constexpr int kXmlTextOutsideRoot = 212;
constexpr int kXmlNoSubtree = 214;

// Field indexes (u32 words) of the 56-byte element and node header.
enum ElementField : uint32_t {
  kFieldTag = 0,
  kFieldSize = 1,
  kFieldEnd = 2,
  kFieldChildCount = 3,
  kFieldParent = 4,
  kFieldNamespace = 5,
  kFieldBindingCount = 6,
  kFieldDocument = 7,
  kFieldAttributeCount = 8,
  kFieldText = 9,
  kFieldStartTag = 10,
  kFieldEndPosition = 11,
  kFieldContentStart = 12,
  kFieldContentEnd = 13,
};
// The third word of 'A' (namespace offset) and 'P' (scope end) records.
constexpr uint32_t kFieldLink = 2;

// RoundUp4 rounds a record size up to a multiple of 4.
inline uint32_t RoundUp4(uint64_t size) { return static_cast<uint32_t>((size + 3) & ~uint64_t{3}); }

class XmlDom {
 public:
  XmlDom();
  XmlDom(const XmlDom&) = delete;
  XmlDom& operator=(const XmlDom&) = delete;
  ~XmlDom();

  // Reset empties the store: offsets and stacks 0, the initial 'P' record written again. 0 or 200.
  int Reset();

  const core::Buffer& Records() const { return records_; }
  uint32_t Length() const { return static_cast<uint32_t>(records_.Length()); }
  uint32_t Current() const { return current_; }
  void SetCurrent(uint32_t offset) { current_ = offset; }
  uint32_t LastElementMark() const { return last_element_mark_; }
  void SetLastElementMark(uint32_t mark) { last_element_mark_ = mark; }
  uint32_t Root() const { return root_; }
  uint32_t FirstNode() const { return first_node_; }
  uint32_t DocumentCounter() const { return document_counter_; }
  void SetDocumentCounter(uint32_t counter) { document_counter_ = counter; }
  uint32_t ElementStackEntry(int32_t depth) const { return InDepth(depth) ? element_stack_[depth - 1] : 0; }
  uint32_t NamespaceStackEntry(int32_t depth) const { return InDepth(depth) ? namespace_stack_[depth - 1] : 0; }

  // ---- Writers: each returns 0, or 200 when the buffer cannot grow.
  [[nodiscard]] int WriteElement(const char* name, int32_t depth, int32_t namespace_depth, uint32_t binding_count,
                                 int empty_element, uint32_t attribute_count, uint32_t start_tag,
                                 uint32_t content_start);
  // WriteNode writes a 'C' or 'I' record holding text.
  [[nodiscard]] int WriteNode(uint32_t tag, const char* text, int32_t depth, uint32_t start, uint32_t end);
  [[nodiscard]] int WriteAttribute(const char* name, const char* value, int32_t namespace_depth);
  [[nodiscard]] int WriteNamespace(const char* prefix, const char* uri, int32_t namespace_depth);
  // WriteText writes a 'T' record of length bytes (kMeasure: text is NUL-terminated).
  [[nodiscard]] int WriteText(int32_t depth, const char* text, int32_t length);
  // CloseElement ends the element open at depth and makes it current.
  void CloseElement(int32_t depth, uint32_t end_position, uint32_t end_tag_start);
  void CloseNamespaceScope(int32_t namespace_depth);

  // ---- Edits of a finished (or partly built) store.
  // ShiftRecordOffsets adds delta to every nonzero stored offset at or beyond position, in all records
  // and in both stacks (each up to its first 0 entry).
  void ShiftRecordOffsets(uint32_t position, int64_t delta);
  // InsertTextRecord adds a text record holding text at the end of the current element's content and
  // makes it the element's text. 0, 207 without a usable current element, or 200.
  [[nodiscard]] int InsertTextRecord(const char* text);
  // SetCurrentText replaces the current element's text (adding a text record when it has none). 0 with
  // no current element (nothing changes), 207 for a broken text link, or 200.
  [[nodiscard]] int SetCurrentText(const char* text);
  // RemoveChild removes the child element at offset (0: every child) of the current element with the
  // records it spans. 0 (also when there is nothing to remove), 207 for an offset that is no child.
  [[nodiscard]] int RemoveChild(uint32_t offset);

  // ---- Navigation of the current element (the root when the current offset is 0). Codes 207, 208, 210;
  // the current offset changes only on success.
  [[nodiscard]] int ChildByIndex(int64_t n, int elements_only);
  [[nodiscard]] int Parent();
  [[nodiscard]] int NextElement(int elements_only);
  // FindElement searches the current element's children; attribute may be null, value may be null.
  [[nodiscard]] int FindElement(const char* name, int64_t n, const char* attribute, const char* value);
  // SelectInnermostUnclosed makes the deepest element of the element stack that is still open current;
  // 207 when there is none.
  [[nodiscard]] int SelectInnermostUnclosed();
  // SelectElementAt makes offset current when it is the start of an element record; else 207.
  [[nodiscard]] int SelectElementAt(uint32_t offset);
  // TopLevelElementCount counts the elements from the root on along the top level.
  uint32_t TopLevelElementCount() const;

  // ---- Reading records. Element accessors take an element offset and give "" or 0 for anything that
  // is not a readable element record; texts point into the store and live until it next changes.
  bool IsRecord(uint32_t offset) const;
  uint32_t TagAt(uint32_t offset) const;
  uint32_t SizeAt(uint32_t offset) const { return Word(offset, kFieldSize); }
  bool IsElement(uint32_t offset) const { return offset != 0 && TagAt(offset) == kTagElement; }
  uint32_t Word(uint32_t offset, uint32_t field) const;
  void SetWord(uint32_t offset, uint32_t field, uint32_t value);
  const char* LocalName(uint32_t element) const;
  const char* Prefix(uint32_t element) const;
  const char* NamespaceUri(uint32_t element) const;
  // QualifiedName and ExpandedName build their text in one of the store's work buffers (valid until the
  // next call of the same function).
  const char* QualifiedName(uint32_t element);
  const char* ExpandedName(uint32_t element);
  const char* Text(uint32_t element) const;
  uint32_t ChildCount(uint32_t element) const;
  uint32_t AttributeCount(uint32_t element) const;
  // AttributeAt returns the offset of attribute index (0-based), or 0.
  uint32_t AttributeAt(uint32_t element, uint32_t index) const;
  const char* AttributeName(uint32_t attribute) const;
  const char* AttributeValue(uint32_t attribute) const;
  // ElementEnd returns the element's end offset, or 0 while it is open (or its end is unusable).
  uint32_t ElementEnd(uint32_t element) const;
  // FirstChildRecord returns the offset just past the element's attribute records.
  uint32_t FirstChildRecord(uint32_t element) const;
  // NextChild returns the element or node record at or after *position (stepping over 'P' records),
  // and moves *position past it; 0 at a record of another kind, at limit or at a broken link.
  uint32_t NextChild(uint32_t* position, uint32_t limit) const;
  // ContentLimit is where an element's content ends: its end offset, or the buffer length while open.
  uint32_t ContentLimit(uint32_t element) const;
  // IsElementStart is true when a walk over the records from offset 0 reaches an 'E' record at offset.
  bool IsElementStart(uint32_t offset) const;

  // Validate checks the whole record chain (see LoadRecords); 0 or -2.
  int Validate() const;
  // LoadRecords replaces the store by bytes and the root offset after checking them: sizes at least their
  // tag's header, multiples of 4 and inside the buffer; tags known; strings terminated inside their
  // record; every stored offset 0 or the start of a record of the right kind; end offsets after their
  // record and not past the buffer; the root 0 or an element. -2 (the store is reset) when they fail.
  int LoadRecords(const void* bytes, int32_t length, uint32_t root);

 private:
  static bool InDepth(int32_t depth) { return depth >= 1 && depth <= kMaxDepth; }
  uint32_t CurrentOrRoot() const { return current_ != 0 ? current_ : root_; }
  [[nodiscard]] int AppendRecord(const void* header, uint32_t header_size, const char* a, uint32_t a_length,
                                 const char* b, uint32_t b_length, uint32_t size);
  const char* StringAt(uint32_t offset, uint32_t header) const;
  const char* SecondStringAt(uint32_t offset, uint32_t header) const;
  // RecordString is StringAt for a record already checked, of the given size.
  const char* RecordString(uint32_t offset, uint32_t header, uint32_t size) const;
  bool HasAttribute(uint32_t element, const char* attribute, const char* value) const;
  uint32_t NamespaceRecord(uint32_t element) const;
  bool IsParentOf(uint32_t parent, uint32_t child) const;
  void RemoveSpan(uint32_t start, uint32_t end);

  core::Buffer records_;
  uint32_t current_ = 0;
  uint32_t root_ = 0;
  uint32_t first_node_ = 0;
  uint32_t document_counter_ = 0;
  uint32_t last_element_mark_ = 0;
  uint32_t element_stack_[kMaxDepth];
  uint32_t namespace_stack_[kMaxDepth];
  core::Buffer20 qualified_name_;
  core::Buffer20 expanded_name_;
};

}  // namespace velmora::parsers
