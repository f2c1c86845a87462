#include "parsers/json_node.h"

#include <cstring>
#include <new>

#include "core/numbers.h"
#include "platform/memory.h"

namespace velmora::parsers {

namespace {

// A path segment is at most three pieces of text.
struct Pieces {
  const char* text[3];
  int32_t length[3];
  int count = 0;
  void Add(const char* t, int32_t n) {
    text[count] = t;
    length[count++] = n;
  }
  void Add(const core::BufferCore& b) { Add(b.Data(), b.Length()); }
  int64_t Total() const {
    int64_t total = 0;
    for (int i = 0; i < count; ++i) total += length[i];
    return total;
  }
};

}  // namespace

JsonNode::JsonNode(JsonNode* parent, uint32_t position) : start_(position), end_(position) {
  if (parent != nullptr) InsertAfter(parent, parent->last_child_, this);
}

// The buffers empty themselves as they are destroyed; only the children need freeing here.
JsonNode::~JsonNode() { FreeChildren(this); }

JsonNode* JsonNode::Create(JsonNode* parent, uint32_t position, const char* name) {
  void* block = platform::Alloc(sizeof(JsonNode));
  if (block == nullptr) return nullptr;
  auto* node = new (block) JsonNode(parent, position);
  if (name != nullptr && node->name_.SetString(name) != core::kOk) {
    if (parent != nullptr) {
      RemoveChild(parent, node);
    } else {
      Destroy(node);
    }
    return nullptr;
  }
  return node;
}

void JsonNode::Destroy(JsonNode* node) {
  if (node == nullptr) return;
  node->~JsonNode();
  platform::Free(node, sizeof(JsonNode));
}

void JsonNode::InsertAfter(JsonNode* parent, JsonNode* after, JsonNode* node) {
  ++parent->child_count_;
  node->parent_ = parent;
  if (parent->first_child_ == nullptr) {
    node->previous_ = node->next_ = nullptr;
    parent->first_child_ = parent->last_child_ = node;
  } else if (after != nullptr) {
    node->previous_ = after;
    node->next_ = after->next_;
    if (after->next_ != nullptr) {
      after->next_->previous_ = node;
    } else {
      parent->last_child_ = node;
    }
    after->next_ = node;
  } else {
    PushFront(parent, node);
  }
}

void JsonNode::PushFront(JsonNode* parent, JsonNode* node) {
  node->parent_ = parent;
  node->previous_ = nullptr;
  node->next_ = parent->first_child_;
  if (parent->first_child_ != nullptr) parent->first_child_->previous_ = node;
  parent->first_child_ = node;
  if (parent->last_child_ == nullptr) parent->last_child_ = node;
}

void JsonNode::RemoveChild(JsonNode* parent, JsonNode* node) {
  if (node->previous_ != nullptr) {
    node->previous_->next_ = node->next_;
  } else {
    parent->first_child_ = node->next_;
  }
  if (node->next_ != nullptr) {
    node->next_->previous_ = node->previous_;
  } else {
    parent->last_child_ = node->previous_;
  }
  if (parent->child_count_ > 0) --parent->child_count_;
  Destroy(node);
}

void JsonNode::FreeChildren(JsonNode* node) {
  // Walks down to a leaf, frees it and goes on with its next sibling, or climbs to its parent, which
  // has then become a leaf. Only leaves are destroyed, so no destructor recurses.
  JsonNode* current = node->first_child_;
  while (current != nullptr) {
    if (current->first_child_ != nullptr) {
      current = current->first_child_;
      continue;
    }
    JsonNode* next = current->next_;
    JsonNode* up = current->parent_;
    up->first_child_ = next;
    Destroy(current);
    if (next != nullptr) {
      current = next;
    } else {
      up->last_child_ = nullptr;
      up->child_count_ = 0;
      current = up == node ? nullptr : up;
    }
  }
  node->first_child_ = node->last_child_ = nullptr;
  node->child_count_ = 0;
}

void JsonNode::FreeTree(JsonNode* node) {
  FreeChildren(node);
  node->path_text_.Clear();
  node->value_.Clear();
  node->name_.Clear();
  node->index_label_.Clear();
}

template <typename Segment>
const char* JsonNode::BuildPathText(Segment segment) {
  int64_t total = 0;
  for (const JsonNode* n = this; n != nullptr; n = n->parent_) total += segment(n).Total();
  if (total > 0x7FFFFFF0 || path_text_.Resize(static_cast<int32_t>(total)) != core::kOk) {
    path_text_.Clear();
    return path_text_.Data();
  }
  // Filled from the end: this node's segment last, the root's first.
  char* end = path_text_.Data() + total;
  for (const JsonNode* n = this; n != nullptr; n = n->parent_) {
    const Pieces pieces = segment(n);
    for (int i = pieces.count - 1; i >= 0; --i) {
      end -= pieces.length[i];
      if (pieces.length[i] > 0) std::memcpy(end, pieces.text[i], static_cast<size_t>(pieces.length[i]));
    }
  }
  return path_text_.Data();
}

const char* JsonNode::JsonPathText() {
  return BuildPathText([](const JsonNode* n) {
    Pieces p;
    if (n->name_.IsEmpty()) {
      p.Add(n->index_label_);
    } else if (std::strcmp(n->name_.Data(), "json") == 0) {
      p.Add("$", 1);
    } else {
      p.Add("['", 2);
      p.Add(n->name_);
      p.Add("']", 2);
    }
    return p;
  });
}

const char* JsonNode::XPathText() {
  return BuildPathText([](const JsonNode* n) {
    Pieces p;
    p.Add("/", 1);
    p.Add(n->name_.IsEmpty() ? n->index_label_ : n->name_);
    return p;
  });
}

bool JsonNode::NameEquals(const char* name) const {
  return name_.EqualsNoCase(name) != 0;
}

bool JsonNode::MatchesStep(const char* name) const {
  if (name == nullptr || name[0] == '\0' || std::strcmp(name, "*") == 0) return true;
  return NameEquals(name);
}

JsonContainerStack::JsonContainerStack() {
  if (bytes_.Resize(99) == core::kOk) capacity_ = 99;
}

int JsonContainerStack::Push(uint8_t kind) {
  if (count_ >= capacity_) {
    if (capacity_ > 0x7FFFFFFFu - 99 || bytes_.Resize(static_cast<int32_t>(capacity_ + 99)) != core::kOk) {
      return kGrowthFailed;
    }
    capacity_ += 99;
  }
  bytes_.Data()[count_++] = static_cast<char>(kind);
  return core::kOk;
}

int JsonPathStack::Push(const char* text, uint32_t length) {
  if (length > kMaxSegment) return core::kOutOfMemory;
  const uint64_t need = static_cast<uint64_t>(used_) + length + 1;
  if (need > capacity_) {
    const uint64_t grown = (need + 1023) / 1024 * 1024;
    if (grown > 0x7FFFFFF0u || segments_.Resize(static_cast<int32_t>(grown)) != core::kOk) {
      return core::kOutOfMemory;
    }
    capacity_ = static_cast<uint32_t>(grown);
    data_ = segments_.Data();
  }
  if (offsets_.GrowU32Array(static_cast<int32_t>(count_) + 1) != core::kOk) return core::kOutOfMemory;
  *offsets_.U32At(static_cast<int32_t>(count_)) = used_;
  if (length > 0) std::memcpy(data_ + used_, text, length);
  data_[used_ + length] = '\0';
  used_ += length + 1;
  ++count_;
  return core::kOk;
}

const char* JsonPathStack::Pop() {
  if (count_ == 0) return core::kEmptyText;
  --count_;
  used_ = *offsets_.U32At(static_cast<int32_t>(count_));
  return data_ + used_;
}

const char* JsonPathStack::Top() const {
  if (count_ == 0) return core::kEmptyText;
  return data_ + *const_cast<core::Buffer&>(offsets_).U32At(static_cast<int32_t>(count_) - 1);
}

void JsonPathStack::Reset() {
  count_ = 0;
  used_ = 0;
  value_type_ = 0;
  offsets_.Clear();
  segments_.Clear();
  // 1024 bytes fit the inline storage, so this cannot fail.
  (void)segments_.Resize(1024);
  capacity_ = static_cast<uint32_t>(segments_.Length());
  data_ = segments_.Data();
}

}  // namespace velmora::parsers
