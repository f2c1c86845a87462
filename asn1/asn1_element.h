// Asn1Element, the node of a parsed DER or BER encoding, and the header walk that every parse uses.
//
// A node holds the complete encoding (tag, length, content) of one element in its Buffer; parsing
// splits a constructed element into child nodes that hold their own encodings. A parent owns its
// first child and each child the sibling after it. The nodes of a tree come from a pool held by its
// root (the node the caller owns), freed with the root. A tree belongs to the thread that builds it.
#pragma once

#include <cstdint>

#include "asn1/der_writer.h"

namespace velmora::pki {

// Asn1Element is a node: a DerWriter whose Buffer holds one element's encoding, with its tag, the number
// of children its last parse made and the owning links to its first child and its next sibling.
class Asn1Element : public DerWriter {
 public:
  Asn1Element() = default;
  // ~Asn1Element frees the whole subtree and every sibling chained after this node, without recursion.
  ~Asn1Element() override;

  // Parse splits the element at the start of the Buffer (stored there with SetData) into children one
  // level deep, replacing any children of an earlier parse; the children are not parsed. With
  // release_bytes set, the node's own encoding is cleared afterwards. *out_encoded_size (optional)
  // receives the size of the element's encoding (trailing bytes are ignored). 0; 447 when the element
  // or its first item is malformed; 446 when a later item is malformed (the children before it stay)
  // or a node cannot be made; or a Buffer code. After a failure to make a node, the children and this
  // node's following siblings are destroyed.
  [[nodiscard]] virtual int Parse(int release_bytes, uint32_t* out_encoded_size);
  // ParseChildren parses this node and every constructed descendant; a primitive or empty node keeps its
  // bytes and gets no children. 0, the first failure of Parse, or 446 for a constructed node more than
  // kDerMaxDepth levels below this one. With release_bytes set only primitive nodes keep their bytes.
  [[nodiscard]] virtual int ParseChildren(int release_bytes);
  // NoOp returns 0.
  virtual int NoOp() { return 0; }

  uint8_t tag() const { return tag_; }
  int32_t childCount() const { return child_count_; }
  Asn1Element* firstChild() const { return first_child_; }
  Asn1Element* nextSibling() const { return next_sibling_; }

 private:
  class Pool;
  // NewNode makes a node holding size bytes and tag, from pool (or on its own when pool is null); null
  // with *rc set when memory runs out. With lazy set the node only points at the bytes (pending_) until
  // FillPending or the tree walk copies them.
  static Asn1Element* NewNode(Pool* pool, const uint8_t* bytes, int32_t size, uint8_t tag, bool lazy, int* rc);
  // ChildPool is the pool new children come from: this node's, made on first use for a root; null on
  // the copying path or when the pool cannot be made.
  Pool* ChildPool();
  // Split is Parse over the given encoding without the release: *out_empty is set when the element has
  // no content (its children then stay as they were).
  int Split(const uint8_t* bytes, int32_t length, bool lazy, uint32_t* out_encoded_size, bool* out_empty);
  // ParseChildrenCopying is ParseChildren with every node copied when its parent is split.
  int ParseChildrenCopying(int release_bytes);
  // ParseChildrenLazy is ParseChildren with each node's bytes copied when the walk reaches it, so the
  // copies are made in document order while their source is in cache, and never for a constructed
  // node whose bytes are released.
  int ParseChildrenLazy(int release_bytes);
  // FillPending gives every node of the tree still pointing at its bytes a copy of them.
  void FillPending();
  // FreeChain frees head, its subtrees and its following siblings with the sibling links as the stack.
  static void FreeChain(Asn1Element* head);
  // FreeChildren frees this node's subtrees and leaves it without children.
  void FreeChildren();
  int ParseFailed(int rc);
  // A lazily made node keeps where its encoding is (inside an ancestor's or the root's Buffer) in its
  // inline storage, unused while its content is empty, so that the many nodes of a large tree stay
  // small. Read only while the node is empty and inline.
  struct Source {
    const uint8_t* bytes;
    int32_t size;
  };
  void SetSource(const uint8_t* bytes, int32_t size);
  Source GetSource() const;

  Asn1Element* first_child_ = nullptr;
  Asn1Element* next_sibling_ = nullptr;
  // The pool the node's children come from; a pooled node's own block came from it too.
  Pool* pool_ = nullptr;
  int32_t child_count_ = 0;
  uint8_t tag_ = 4;
  // Whether the node still waits for its copy of its source, and whether it owns pool_ (a root does).
  bool pending_ = false;
  bool owns_pool_ = false;
};

namespace internal {
// ForceDerCopyingPath makes ParseChildren copy every node when its parent is split (the older path);
// for tests and benchmarks. Process-wide.
void ForceDerCopyingPath(bool force);
}  // namespace internal

// DerWalkHeader reads the element that starts at offset of bytes and ends at or before limit; all
// positions are offsets from bytes and every out parameter is optional. An indefinite length is
// walked item by item up to its end-of-contents marker (at most kDerMaxDepth levels of them); the
// bytes 00 00 read as an end-of-contents element of size 2. False when the element is malformed: a
// header outside the limit, a length field of more than four bytes or of 2^31 or more, content past
// the limit, an indefinite length on a primitive tag (X.690 8.1.3.2) or one without its marker.
bool DerWalkHeader(const uint8_t* bytes, int32_t offset, int32_t limit, uint8_t* out_tag, int32_t* out_content_start,
                   int32_t* out_content_end, int32_t* out_element_start, int32_t* out_element_end);

// DerIsSingleElement is true when the length bytes are exactly one complete element.
bool DerIsSingleElement(const uint8_t* bytes, int32_t length);

}  // namespace velmora::pki
