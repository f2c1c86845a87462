#include "parsers/json_node.h"

#include <cstring>
#include <new>

#include "core/numbers.h"
#include "platform/memory.h"
#include "platform/text.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_JSON_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_JSON_POOL_ASAN 1
#endif
#endif
#if defined(VELMORA_JSON_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
// Page runs lie outside the heap that the leak checker scans; the blocks that nodes own are reached
// through them.
#define POOL_SCAN(block, size) __lsan_register_root_region(block, size)
#define POOL_UNSCAN(block, size) __lsan_unregister_root_region(block, size)
#define POOL_POISON(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define POOL_UNPOISON(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define POOL_POISON(block, size) ((void)(block), (void)(size))
#define POOL_UNPOISON(block, size) ((void)(block), (void)(size))
#define POOL_SCAN(block, size) ((void)(block), (void)(size))
#define POOL_UNSCAN(block, size) ((void)(block), (void)(size))
#endif

namespace velmora::parsers {

namespace {

// A slab is its header, padded to the node alignment, followed by its node blocks.
template <typename Header>
constexpr size_t PaddedHeader() {
  return (sizeof(Header) + alignof(JsonNode) - 1) / alignof(JsonNode) * alignof(JsonNode);
}
// The small slabs of the first nodes.
constexpr size_t kSmallSlabBlocks = sizeof(JsonNode) * JsonNodePool::kSlabNodes;

// RunBytes is the size of the page run that follows `earlier` runs of its kind.
size_t RunBytes(uint32_t earlier) {
  const size_t bytes = platform::kLargePageBytes << (earlier < 4 ? earlier : 4);
  return bytes < JsonNodePool::kMaxRunBytes ? bytes : JsonNodePool::kMaxRunBytes;
}

// A block of a large page or more is a page run from the system; a smaller one comes from the library
// allocator. Slabs and text chunks both go by their size, which they keep.
constexpr bool IsPageRun(size_t bytes) { return bytes >= platform::kLargePageBytes; }
void* TakeBlock(size_t bytes) { return IsPageRun(bytes) ? platform::AllocPages(bytes) : platform::Alloc(bytes); }
void ReturnBlock(void* block, size_t bytes) {
  if (IsPageRun(bytes)) {
    platform::FreePages(block, bytes);
  } else {
    platform::Free(block, bytes);
  }
}

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

char* JsonNodePool::SlabBlocks(Slab* slab) { return reinterpret_cast<char*>(slab) + PaddedHeader<Slab>(); }

void* JsonNodePool::Take() {
  if (free_ == nullptr && fresh_cursor_ != fresh_limit_) {
    void* fresh = fresh_cursor_;
    fresh_cursor_ += sizeof(JsonNode);
    POOL_UNPOISON(fresh, sizeof(JsonNode));
    ++in_use_;
    return fresh;
  }
  return TakeSlow();
}

void* JsonNodePool::TakeSlow() {
  FreeBlock* block = free_;
  if (block != nullptr) {
    POOL_UNPOISON(block, sizeof(JsonNode));
    free_ = block->next;
    ++in_use_;
    return block;
  }
  if (fresh_ != nullptr && fresh_->next != nullptr) {
    StartFresh(fresh_->next);
  } else {
    Slab* slab = NewSlab();
    if (slab == nullptr) return nullptr;
    StartFresh(slab);
  }
  return Take();
}

JsonNodePool::Slab* JsonNodePool::NewSlab() {
  // The first slabs are small ones from the library allocator; a larger tree goes on in page runs.
  static_assert(!IsPageRun(PaddedHeader<Slab>() + kSmallSlabBlocks), "a small slab is an allocator block");
  const bool pages = slab_count_ >= kRetainedSlabs;
  const size_t bytes = pages ? RunBytes(page_runs_) : PaddedHeader<Slab>() + kSmallSlabBlocks;
  void* memory = TakeBlock(bytes);
  if (memory == nullptr) return nullptr;
  auto* slab = static_cast<Slab*>(memory);
  slab->next = nullptr;
  slab->bytes = bytes;
  slab->nodes = static_cast<uint32_t>((bytes - PaddedHeader<Slab>()) / sizeof(JsonNode));
  if (last_slab_ != nullptr) {
    last_slab_->next = slab;
  } else {
    slabs_ = slab;
  }
  last_slab_ = slab;
  ++slab_count_;
  if (pages) {
    ++page_runs_;
    POOL_SCAN(slab, bytes);
  }
  POOL_POISON(SlabBlocks(slab), slab->nodes * sizeof(JsonNode));
  return slab;
}

void JsonNodePool::StartFresh(Slab* slab) {
  fresh_ = slab;
  fresh_cursor_ = SlabBlocks(slab);
  fresh_limit_ = fresh_cursor_ + slab->nodes * sizeof(JsonNode);
}

void JsonNodePool::Give(void* block) {
  auto* free_block = static_cast<FreeBlock*>(block);
  free_block->next = free_;
  free_ = free_block;
  --in_use_;
  POOL_POISON(block, sizeof(JsonNode));
}

void JsonNodePool::GiveAll() {
  for (Slab* slab = slabs_; slab != nullptr; slab = slab->next) {
    POOL_POISON(SlabBlocks(slab), slab->nodes * sizeof(JsonNode));
  }
  free_ = nullptr;
  if (slabs_ != nullptr) {
    StartFresh(slabs_);
  } else {
    fresh_ = nullptr;
    fresh_cursor_ = fresh_limit_ = nullptr;
  }
  in_use_ = 0;
  owning_ = 0;
}

void JsonNodePool::Trim() {
  if (in_use_ != 0) return;
  // The first chunk is kept for the next document.
  if (texts_ != nullptr) {
    ReleaseTexts(texts_->next);
    texts_->next = nullptr;
    text_chunks_ = 1;
    text_next_ = reinterpret_cast<char*>(texts_ + 1);
    text_end_ = reinterpret_cast<char*>(texts_) + texts_->size;
  }
  if (slab_count_ > kRetainedSlabs) Release();
}

char* JsonNodePool::TakeText(uint32_t length) {
  const size_t bytes = static_cast<size_t>(length) + 1;
  if (bytes <= static_cast<size_t>(text_end_ - text_next_)) {
    char* text = text_next_;
    text_next_ += bytes;
    return text;
  }
  return TakeTextSlow(bytes);
}

char* JsonNodePool::TakeTextSlow(size_t bytes) {
  // The first chunks are small; a document with more text goes on in page runs, as its nodes do.
  const size_t usual = text_chunks_ < kSmallTextChunks ? kTextChunkBytes
                                                     : RunBytes(text_chunks_ - kSmallTextChunks) - sizeof(TextChunk);
  const size_t size = sizeof(TextChunk) + (bytes > usual ? bytes : usual);
  void* memory = TakeBlock(size);
  if (memory == nullptr) return nullptr;
  auto* chunk = static_cast<TextChunk*>(memory);
  chunk->size = size;
  char* text = reinterpret_cast<char*>(chunk + 1);
  if (texts_ == nullptr) {
    chunk->next = nullptr;
    texts_ = chunk;
  } else {
    // The newest chunk goes second, so that the first (the one Trim keeps) stays first.
    chunk->next = texts_->next;
    texts_->next = chunk;
  }
  // A chunk made for one long text leaves the open chunk as it is.
  if (bytes <= usual) {
    ++text_chunks_;
    text_next_ = text + bytes;
    text_end_ = reinterpret_cast<char*>(chunk) + size;
  }
  return text;
}

void JsonNodePool::ReleaseTexts(TextChunk* from) {
  while (from != nullptr) {
    TextChunk* next = from->next;
    ReturnBlock(from, from->size);
    from = next;
  }
}

void JsonNodePool::Release() {
  while (slabs_ != nullptr) {
    Slab* slab = slabs_;
    POOL_UNPOISON(slab, slab->bytes);
    slabs_ = slab->next;
    if (IsPageRun(slab->bytes)) POOL_UNSCAN(slab, slab->bytes);
    ReturnBlock(slab, slab->bytes);
  }
  last_slab_ = fresh_ = nullptr;
  fresh_cursor_ = fresh_limit_ = nullptr;
  free_ = nullptr;
  slab_count_ = 0;
  page_runs_ = 0;
  text_chunks_ = 0;
  ReleaseTexts(texts_);
  texts_ = nullptr;
  text_next_ = text_end_ = nullptr;
}

struct JsonNode::Extras {
  JsonNameText name;
  JsonValueText value;
  core::Buffer* path_text = nullptr;
  core::Buffer* index_label = nullptr;
};

JsonNode::JsonNode(JsonNodePool& pool, JsonNode* parent, uint32_t position)
    : name_(core::kEmptyText), value_(core::kEmptyText), start_(position), end_(position), pool_(&pool) {
  if (parent != nullptr) InsertAfter(parent, parent->last_child_, this);
}

namespace {

const core::Buffer& EmptyBuffer() {
  static const core::Buffer empty;
  return empty;
}

// ScratchBuffer stands in for a buffer that could not be made.
core::BufferCore& ScratchBuffer() {
  thread_local core::Buffer scratch;
  (void)scratch.Clear();
  return scratch;
}

core::Buffer* NewBuffer() {
  void* block = platform::Alloc(sizeof(core::Buffer));
  return block == nullptr ? nullptr : new (block) core::Buffer();
}

void DeleteBuffer(core::Buffer*& buffer) {
  if (buffer == nullptr) return;
  buffer->~Buffer();
  platform::Free(buffer, sizeof(core::Buffer));
  buffer = nullptr;
}

}  // namespace

JsonNode::Extras* JsonNode::TakeExtras() const {
  if (extras_ != nullptr) return extras_;
  void* block = platform::Alloc(sizeof(Extras));
  if (block == nullptr) return nullptr;
  auto* extras = new (block) Extras();
  if (extras->name.SetData(name_length_, name_) != core::kOk ||
      extras->value.SetData(value_length_, value_) != core::kOk) {
    extras->~Extras();
    platform::Free(block, sizeof(Extras));
    return nullptr;
  }
  extras_ = extras;
  pool_->NoteOwning(1);
  return extras;
}

void JsonNode::ReleaseExtras() {
  if (extras_ == nullptr) return;
  DeleteBuffer(extras_->path_text);
  DeleteBuffer(extras_->index_label);
  extras_->~Extras();
  platform::Free(extras_, sizeof(Extras));
  extras_ = nullptr;
  pool_->NoteOwning(-1);
}

const core::BufferCore& JsonNode::Name() const {
  Extras* extras = TakeExtras();
  return extras != nullptr ? static_cast<const core::BufferCore&>(extras->name) : EmptyBuffer();
}

const core::BufferCore& JsonNode::Value() const {
  Extras* extras = TakeExtras();
  return extras != nullptr ? static_cast<const core::BufferCore&>(extras->value) : EmptyBuffer();
}

core::BufferCore& JsonNode::MutableName() {
  Extras* extras = TakeExtras();
  return extras != nullptr ? static_cast<core::BufferCore&>(extras->name) : ScratchBuffer();
}

core::BufferCore& JsonNode::MutableValue() {
  Extras* extras = TakeExtras();
  return extras != nullptr ? static_cast<core::BufferCore&>(extras->value) : ScratchBuffer();
}

const char* JsonNode::NameText() const { return extras_ != nullptr ? extras_->name.Data() : name_; }
int32_t JsonNode::NameLength() const { return extras_ != nullptr ? extras_->name.Length() : name_length_; }
const char* JsonNode::ValueText() const { return extras_ != nullptr ? extras_->value.Data() : value_; }
int32_t JsonNode::ValueLength() const { return extras_ != nullptr ? extras_->value.Length() : value_length_; }

int JsonNode::SetNameText(const char* text, int32_t length) {
  if (extras_ != nullptr) return extras_->name.SetData(length, text);
  if (length <= 0) {
    name_ = core::kEmptyText;
    name_length_ = 0;
    return core::kOk;
  }
  char* copy = pool_->TakeText(static_cast<uint32_t>(length));
  if (copy == nullptr) return core::kOutOfMemory;
  std::memcpy(copy, text, static_cast<size_t>(length));
  copy[length] = '\0';
  name_ = copy;
  name_length_ = length;
  return core::kOk;
}

int JsonNode::AppendValueText(const char* text, int32_t length) {
  if (extras_ != nullptr) return extras_->value.Append(text, length);
  if (text == nullptr || length <= 0) return core::kOk;
  if (static_cast<int64_t>(value_length_) + length > 0x7FFFFFF0) return core::kOutOfMemory;
  const int32_t total = value_length_ + length;
  char* copy = pool_->TakeText(static_cast<uint32_t>(total));
  if (copy == nullptr) return core::kOutOfMemory;
  if (value_length_ > 0) std::memcpy(copy, value_, static_cast<size_t>(value_length_));
  std::memcpy(copy + value_length_, text, static_cast<size_t>(length));
  copy[total] = '\0';
  value_ = copy;
  value_length_ = total;
  return core::kOk;
}

const core::BufferCore& JsonNode::IndexLabel() const {
  return extras_ != nullptr && extras_->index_label != nullptr ? *extras_->index_label : EmptyBuffer();
}

core::BufferCore* JsonNode::MutableIndexLabel() {
  Extras* extras = TakeExtras();
  if (extras == nullptr) return nullptr;
  if (extras->index_label == nullptr) extras->index_label = NewBuffer();
  return extras->index_label;
}

JsonNode* JsonNode::Create(JsonNodePool& pool, JsonNode* parent, uint32_t position, const char* name) {
  void* block = pool.Take();
  if (block == nullptr) return nullptr;
  auto* node = new (block) JsonNode(pool, parent, position);
  if (name != nullptr && node->SetNameText(name, static_cast<int32_t>(std::strlen(name))) != core::kOk) {
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
  if (node->first_child_ != nullptr) FreeChildren(node);
  node->ReleaseExtras();
  JsonNodePool* pool = node->pool_;
  node->~JsonNode();
  pool->Give(node);
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
  node->ReleaseExtras();
  node->name_ = node->value_ = core::kEmptyText;
  node->name_length_ = node->value_length_ = 0;
}

template <typename Segment>
const char* JsonNode::BuildPathText(Segment segment) {
  int64_t total = 0;
  for (const JsonNode* n = this; n != nullptr; n = n->parent_) total += segment(n).Total();
  Extras* extras = TakeExtras();
  if (extras == nullptr) return core::kEmptyText;
  core::Buffer*& path_text = extras->path_text;
  if (path_text == nullptr && (path_text = NewBuffer()) == nullptr) return core::kEmptyText;
  if (total > 0x7FFFFFF0 || path_text->Resize(static_cast<int32_t>(total)) != core::kOk) {
    path_text->Clear();
    return path_text->Data();
  }
  // Filled from the end: this node's segment last, the root's first.
  char* end = path_text->Data() + total;
  for (const JsonNode* n = this; n != nullptr; n = n->parent_) {
    const Pieces pieces = segment(n);
    for (int i = pieces.count - 1; i >= 0; --i) {
      end -= pieces.length[i];
      if (pieces.length[i] > 0) std::memcpy(end, pieces.text[i], static_cast<size_t>(pieces.length[i]));
    }
  }
  return path_text->Data();
}

const char* JsonNode::JsonPathText() {
  return BuildPathText([](const JsonNode* n) {
    Pieces p;
    if (n->NameLength() == 0) {
      p.Add(n->IndexLabel());
    } else if (std::strcmp(n->NameText(), "json") == 0) {
      p.Add("$", 1);
    } else {
      p.Add("['", 2);
      p.Add(n->NameText(), n->NameLength());
      p.Add("']", 2);
    }
    return p;
  });
}

const char* JsonNode::XPathText() {
  return BuildPathText([](const JsonNode* n) {
    Pieces p;
    p.Add("/", 1);
    if (n->NameLength() == 0) {
      p.Add(n->IndexLabel());
    } else {
      p.Add(n->NameText(), n->NameLength());
    }
    return p;
  });
}

bool JsonNode::NameEquals(const char* name) const {
  return platform::CompareAsciiNoCase(NameText(), name) == 0;
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
