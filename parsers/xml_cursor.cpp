#include "parsers/xml_cursor.h"

#include <cstring>

namespace velmora::parsers {

XmlCursor XmlCursor::AtCurrent(XmlDocument& document) {
  const XmlDom& dom = document.Dom();
  return XmlCursor(&document, dom.Current() != 0 ? dom.Current() : dom.Root(), dom.LastElementMark());
}

bool XmlCursor::Enter() const {
  if (IsNull()) return false;
  document_->Dom().SetCurrent(offset_);
  document_->Dom().SetLastElementMark(mark_);
  return true;
}

int XmlCursor::Leave(int rc, XmlCursor* out) const {
  // out may be this cursor.
  XmlDocument* document = document_;
  if (rc != 0) {
    *out = XmlCursor();
    return XmlErrorText(*document, rc);
  }
  *out = XmlCursor(document, document->Dom().Current(), document->Dom().LastElementMark());
  return 0;
}

int XmlCursor::FirstChild(XmlCursor* out) const { return Child(0, out); }

int XmlCursor::Child(uint32_t index, XmlCursor* out) const {
  if (!Enter()) return *out = XmlCursor(), kXmlInvalidPath;
  return Leave(document_->Dom().ChildByIndex(int64_t{index} + 1, 1), out);
}

int XmlCursor::Parent(XmlCursor* out) const {
  if (!Enter()) return *out = XmlCursor(), kXmlInvalidPath;
  return Leave(document_->Dom().Parent(), out);
}

int XmlCursor::FindChild(const char* name, XmlCursor* out) const {
  if (!Enter()) return *out = XmlCursor(), kXmlNoSuchChild;
  return Leave(document_->Dom().FindElement(name != nullptr ? name : "", 1, nullptr, nullptr), out);
}

int XmlCursor::FindPath(const char* path, XmlCursor* out) const {
  if (IsNull()) return *out = XmlCursor(), kXmlNoSuchChild;
  XmlCursor at = *this;
  core::Buffer step;
  for (const char* p = path != nullptr ? path : ""; *p != '\0';) {
    const char* end = std::strchr(p, '/');
    if (end == nullptr) end = p + std::strlen(p);
    if (end != p) {
      if (step.SetData(static_cast<int32_t>(end - p), p) != core::kOk) {
        return *out = XmlCursor(), XmlErrorText(*document_, kXmlOutOfMemory);
      }
      if (int rc = at.FindChild(step.Data(), &at); rc != 0) return *out = XmlCursor(), rc;
    }
    p = *end == '/' ? end + 1 : end;
  }
  *out = at;
  return 0;
}

bool XmlCursor::HasChild(const char* name) const {
  XmlCursor found;
  return FindChild(name, &found) == 0;
}

int XmlCursor::FindAll(const char* name, core::PtrArray<XmlCursor>& list) const {
  if (!Enter()) return 0;
  XmlDom& dom = document_->Dom();
  const uint32_t limit = dom.ContentLimit(offset_);
  uint32_t at = dom.FirstChildRecord(offset_);
  for (uint32_t node; (node = dom.NextChild(&at, limit)) != 0;) {
    if (dom.TagAt(node) != kTagElement || std::strcmp(dom.QualifiedName(node), name != nullptr ? name : "") != 0) {
      continue;
    }
    int rc = list.InsertAt(list.Count(), XmlCursor(document_, node, mark_));
    if (rc != 0) return rc;
  }
  return 0;
}

uint32_t XmlCursor::ChildCount() const { return IsNull() ? 0 : document_->Dom().ChildCount(offset_); }

uint32_t XmlCursor::AttributeCount() const { return IsNull() ? 0 : document_->Dom().AttributeCount(offset_); }

const char* XmlCursor::AttributeNameAt(uint32_t index) const {
  return IsNull() ? core::kEmptyText : document_->Dom().AttributeName(document_->Dom().AttributeAt(offset_, index));
}

const char* XmlCursor::AttributeValueAt(uint32_t index) const {
  return IsNull() ? core::kEmptyText : document_->Dom().AttributeValue(document_->Dom().AttributeAt(offset_, index));
}

const char* XmlCursor::AttributeValue(const char* name) const {
  if (IsNull() || name == nullptr) return core::kEmptyText;
  const XmlDom& dom = document_->Dom();
  const uint32_t count = dom.AttributeCount(offset_);
  for (uint32_t i = 0, at = offset_ + dom.SizeAt(offset_); i < count; ++i, at += dom.SizeAt(at)) {
    if (std::strcmp(dom.AttributeName(at), name) == 0) return dom.AttributeValue(at);
  }
  return core::kEmptyText;
}

const char* XmlCursor::LocalName() const { return IsNull() ? core::kEmptyText : document_->Dom().LocalName(offset_); }

const char* XmlCursor::QualifiedName() const {
  return IsNull() ? core::kEmptyText : document_->Dom().QualifiedName(offset_);
}

const char* XmlCursor::NamespaceUri() const {
  return IsNull() ? core::kEmptyText : document_->Dom().NamespaceUri(offset_);
}

const char* XmlCursor::Text() const { return IsNull() ? core::kEmptyText : document_->Dom().Text(offset_); }

uint32_t XmlCursor::Tag() const { return IsNull() ? kTagNoElement : document_->Dom().TagAt(offset_); }

int NextSibling(const XmlCursor& cursor, XmlCursor* out) {
  if (!cursor.Enter()) return *out = XmlCursor(), kXmlInvalidPath;
  return cursor.Leave(cursor.Document()->Dom().NextElement(1), out);
}

}  // namespace velmora::parsers
