// XmlCursor: a light handle on one element of a document's record store (document, element offset and
// last-element mark). Each operation makes the cursor's element the document's current element, runs
// the store operation and hands the element reached back in an out cursor. A cursor with offset 0
// stands for no element: its navigation finds nothing and its texts are empty. Texts returned point
// into the store and stay valid until the store next changes. One thread at a time.
#pragma once

#include <cstdint>

#include "core/ptr_array.h"
#include "parsers/xml_document.h"

namespace velmora::parsers {

class XmlCursor {
 public:
  XmlCursor() = default;
  XmlCursor(XmlDocument* document, uint32_t offset, uint32_t mark)
      : document_(document), offset_(offset), mark_(mark) {}
  // AtCurrent is a cursor on the document's current element (the root when none is current).
  static XmlCursor AtCurrent(XmlDocument& document);

  XmlDocument* Document() const { return document_; }
  uint32_t Offset() const { return offset_; }
  uint32_t Mark() const { return mark_; }
  bool IsNull() const { return document_ == nullptr || offset_ == 0; }

  // Navigation: 0 with *out on the element found, or the store's code with *out a null cursor.
  [[nodiscard]] int FirstChild(XmlCursor* out) const;
  // Child reaches child element index (0-based).
  [[nodiscard]] int Child(uint32_t index, XmlCursor* out) const;
  [[nodiscard]] int Parent(XmlCursor* out) const;
  // FindChild reaches the first child matching name (expanded, qualified or local name).
  [[nodiscard]] int FindChild(const char* name, XmlCursor* out) const;
  bool HasChild(const char* name) const;
  // FindPath walks down path, element names separated by "/", each step reaching the first child of that
  // name as FindChild does; empty steps are passed over, so "" reaches this element itself. 0 with *out
  // on the element reached, or the code of the step that found nothing with *out a null cursor.
  [[nodiscard]] int FindPath(const char* path, XmlCursor* out) const;
  // FindAll appends a cursor for every child whose qualified name is name, in document order; 0 or 200.
  [[nodiscard]] int FindAll(const char* name, core::PtrArray<XmlCursor>& list) const;

  uint32_t ChildCount() const;
  uint32_t AttributeCount() const;
  const char* AttributeNameAt(uint32_t index) const;
  const char* AttributeValueAt(uint32_t index) const;
  // AttributeValue by name: the value of the first attribute named exactly name, "" when absent.
  const char* AttributeValue(const char* name) const;
  const char* LocalName() const;
  const char* QualifiedName() const;
  const char* NamespaceUri() const;
  const char* Text() const;
  // Tag is the record tag of the element ('D' for a null cursor).
  uint32_t Tag() const;

 private:
  friend int NextSibling(const XmlCursor& cursor, XmlCursor* out);
  // Enter makes the cursor's element current; false for a null cursor.
  bool Enter() const;
  int Leave(int rc, XmlCursor* out) const;

  XmlDocument* document_ = nullptr;
  uint32_t offset_ = 0;
  uint32_t mark_ = 0;
};

// NextSibling reaches the element after the cursor's element under the same parent.
[[nodiscard]] int NextSibling(const XmlCursor& cursor, XmlCursor* out);

}  // namespace velmora::parsers
