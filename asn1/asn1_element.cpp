#include "asn1/asn1_element.h"

#include <new>

#include "platform/memory.h"

namespace velmora::pki {
namespace {

struct Header {
  uint8_t tag;
  int32_t content_start;
  int32_t content_end;
  int32_t element_end;
};

bool IsEndOfContents(const uint8_t* bytes, int32_t offset) { return bytes[offset] == 0 && bytes[offset + 1] == 0; }

// Walk reads the element at offset; depth is how many indefinite lengths enclose it.
bool Walk(const uint8_t* bytes, int32_t offset, int32_t limit, int depth, Header* h) {
  if (bytes == nullptr || offset < 0 || limit - offset < 2) return false;
  h->tag = bytes[offset];
  int32_t pos = offset + 2;
  if (IsEndOfContents(bytes, offset)) {
    h->content_start = h->content_end = h->element_end = pos;
    return true;
  }
  const uint8_t first = bytes[offset + 1];
  h->content_start = pos;
  if (first < 0x80) {
    if (first > limit - pos) return false;
    h->content_end = h->element_end = pos + first;
    return true;
  }
  if (first != 0x80) {
    const int32_t count = first & 0x7F;
    if (count > 4 || count > limit - pos) return false;
    uint32_t length = 0;
    for (int32_t i = 0; i < count; ++i) length = (length << 8) | bytes[pos + i];
    pos += count;
    // Compared against the room left, so that no offset sum can overflow.
    if (length >= 0x80000000u || length > static_cast<uint32_t>(limit - pos)) return false;
    h->content_start = pos;
    h->content_end = h->element_end = pos + static_cast<int32_t>(length);
    return true;
  }
  // X.690 8.1.3.2: only a constructed encoding may have the indefinite form.
  if ((h->tag & 0x20) == 0 || depth > kDerMaxDepth) return false;
  Header item;
  while (limit - pos >= 2) {
    if (IsEndOfContents(bytes, pos)) {
      h->content_end = pos;
      h->element_end = pos + 2;
      return true;
    }
    if (!Walk(bytes, pos, limit, depth + 1, &item)) return false;
    pos = item.element_end;
  }
  return false;
}

}  // namespace

bool DerWalkHeader(const uint8_t* bytes, int32_t offset, int32_t limit, uint8_t* out_tag, int32_t* out_content_start,
                   int32_t* out_content_end, int32_t* out_element_start, int32_t* out_element_end) {
  Header h;
  if (!Walk(bytes, offset, limit, 0, &h)) return false;
  if (out_tag != nullptr) *out_tag = h.tag;
  if (out_content_start != nullptr) *out_content_start = h.content_start;
  if (out_content_end != nullptr) *out_content_end = h.content_end;
  if (out_element_start != nullptr) *out_element_start = offset;
  if (out_element_end != nullptr) *out_element_end = h.element_end;
  return true;
}

bool DerIsSingleElement(const uint8_t* bytes, int32_t length) {
  Header h;
  return Walk(bytes, 0, length, 0, &h) && h.element_end == length;
}

Asn1Element::~Asn1Element() {
  FreeChain(first_child_);
  FreeChain(next_sibling_);
  first_child_ = nullptr;
  next_sibling_ = nullptr;
}

Asn1Element* Asn1Element::NewNode(const uint8_t* bytes, int32_t size, uint8_t tag, int* rc) {
  void* block = platform::Alloc(sizeof(Asn1Element));
  if (block == nullptr) {
    *rc = kDerBadInner;
    return nullptr;
  }
  auto* node = new (block) Asn1Element();
  *rc = node->SetData(size, bytes);
  if (*rc != core::kOk) {
    node->~Asn1Element();
    platform::Free(block, sizeof(Asn1Element));
    return nullptr;
  }
  node->tag_ = tag;
  return node;
}

void Asn1Element::FreeChain(Asn1Element* head) {
  // The sibling links serve as the stack: a node's children are spliced in front of the nodes still to
  // free, so each child list is walked once and a tree of any depth or length needs no recursion.
  Asn1Element* stack = head;
  while (stack != nullptr) {
    Asn1Element* node = stack;
    stack = node->next_sibling_;
    if (Asn1Element* child = node->first_child_; child != nullptr) {
      Asn1Element* tail = child;
      while (tail->next_sibling_ != nullptr) tail = tail->next_sibling_;
      tail->next_sibling_ = stack;
      stack = child;
    }
    node->first_child_ = nullptr;
    node->next_sibling_ = nullptr;
    node->~Asn1Element();
    platform::Free(node, sizeof(Asn1Element));
  }
}

int Asn1Element::ParseFailed(int rc) {
  FreeChain(first_child_);
  FreeChain(next_sibling_);
  first_child_ = nullptr;
  next_sibling_ = nullptr;
  child_count_ = 0;
  return rc;
}

int Asn1Element::Parse(int release_bytes, uint32_t* out_encoded_size) {
  const uint8_t* bytes = Bytes();
  Header h;
  if (!Walk(bytes, 0, Length(), 0, &h)) return kDerBadOuter;
  if (out_encoded_size != nullptr) *out_encoded_size = static_cast<uint32_t>(h.element_end);
  tag_ = h.tag;
  if (h.content_start == h.content_end) return core::kOk;

  Header item;
  if (!Walk(bytes, h.content_start, h.content_end, 1, &item)) return kDerBadOuter;
  FreeChain(first_child_);
  first_child_ = nullptr;
  child_count_ = 0;
  int rc = core::kOk;
  int32_t pos = h.content_start;
  Asn1Element* previous = nullptr;
  for (;;) {
    Asn1Element* node = NewNode(bytes + pos, item.element_end - pos, item.tag, &rc);
    if (node == nullptr) return ParseFailed(rc);
    if (previous == nullptr) {
      first_child_ = node;
    } else {
      previous->next_sibling_ = node;
    }
    previous = node;
    ++child_count_;
    pos = item.element_end;
    if (pos >= h.content_end) break;
    if (!Walk(bytes, pos, h.content_end, 1, &item)) return kDerBadInner;
  }
  if (release_bytes != 0) Clear();
  return core::kOk;
}

int Asn1Element::ParseChildren(int release_bytes) {
  if (IsEmpty()) return core::kOk;
  tag_ = Bytes()[0];
  if ((tag_ & 0x20) == 0) return core::kOk;
  int rc = Parse(release_bytes, nullptr);
  if (rc != core::kOk) return rc;
  // Depth-first over the tree with one slot per level: path[i] is the node being visited i + 1 levels
  // below this one. The depth limit bounds the path, so the walk needs no allocation and no recursion.
  Asn1Element* path[kDerMaxDepth + 1];
  int level = 0;
  path[0] = first_child_;
  while (level >= 0) {
    Asn1Element* node = path[level];
    if (node == nullptr) {
      if (--level >= 0) path[level] = path[level]->next_sibling_;
      continue;
    }
    if (!node->IsEmpty()) {
      node->tag_ = node->Bytes()[0];
      if ((node->tag_ & 0x20) != 0) {
        if (level + 1 > kDerMaxDepth) return kDerBadInner;
        rc = node->Parse(release_bytes, nullptr);
        if (rc != core::kOk) return rc;
        if (node->first_child_ != nullptr) {
          path[++level] = node->first_child_;
          continue;
        }
      }
    }
    path[level] = node->next_sibling_;
  }
  return core::kOk;
}

}  // namespace velmora::pki
