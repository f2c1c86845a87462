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
#define POOL_POISON(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define POOL_UNPOISON(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define POOL_POISON(block, size) ((void)(block), (void)(size))
#define POOL_UNPOISON(block, size) ((void)(block), (void)(size))
#endif

namespace velmora::parsers {

namespace {

static_assert(sizeof(JsonNode) == JsonNodePool::kNodeBytes, "a node fills its slot");
static_assert(JsonNodePool::kSegmentBytes % alignof(JsonNode) == 0, "slots keep the node alignment");

// RunBytes is the size of the run that follows `earlier` runs.
size_t RunBytes(uint32_t earlier) {
  const size_t bytes = JsonNodePool::kFirstRunBytes << (earlier < 3 ? earlier : 3);
  return bytes < JsonNodePool::kMaxRunBytes ? bytes : JsonNodePool::kMaxRunBytes;
}

// A text is stored after its length: one byte below 255, else 255 and four bytes.
constexpr uint32_t kLongLength = 255;
size_t LengthBytes(uint32_t length) { return length < kLongLength ? 1 : 5; }

// FNV-1a, to spread the shared names over their table.
uint32_t NameHash(const char* text, uint32_t length) {
  uint32_t hash = 2166136261u;
  for (uint32_t i = 0; i < length; ++i) hash = (hash ^ static_cast<uint8_t>(text[i])) * 16777619u;
  return hash;
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

template <typename T>
bool JsonNodePool::Grow(T*& table, uint32_t count, uint32_t& capacity) {
  if (count < capacity) return true;
  const uint32_t grown = capacity == 0 ? 16 : capacity * 2;
  void* moved = platform::Realloc(table, sizeof(T) * grown);
  if (moved == nullptr) return false;
  table = static_cast<T*>(moved);
  capacity = grown;
  return true;
}

void* JsonNodePool::Take() {
  if (free_ == nullptr && fresh_cursor_ != fresh_limit_) {
    void* fresh = fresh_cursor_;
    fresh_cursor_ += kNodeBytes;
    POOL_UNPOISON(fresh, kNodeBytes);
    ++in_use_;
    return fresh;
  }
  return TakeSlow();
}

void* JsonNodePool::TakeSlow() {
  FreeBlock* block = free_;
  if (block != nullptr) {
    POOL_UNPOISON(block, kNodeBytes);
    free_ = block->next;
    ++in_use_;
    return block;
  }
  if (fresh_cursor_ != nullptr && fresh_ + 1 < slab_count_) {
    StartFresh(fresh_ + 1);
  } else {
    if (!NewSegment()) return nullptr;
    StartFresh(slab_count_ - 1);
  }
  return Take();
}

bool JsonNodePool::NewSegment() {
  if (slab_count_ >= (1u << (32 - kSlotBits)) - 1) return false;
  if (!Grow(segments_, slab_count_, segment_capacity_)) return false;
  char* segment = nullptr;
  if (slab_count_ < kRetainedSlabs) {
    // The first segments come one by one from the allocator, so that a small tree stays small.
    segment = static_cast<char*>(platform::AllocAligned(kSegmentBytes, kSegmentBytes));
    if (segment == nullptr) return false;
  } else {
    if (run_next_ == run_end_) {
      const size_t bytes = RunBytes(run_count_);
      // A run is an ordinary heap block, which the allocator may keep for the next document once freed.
      // Runs mapped with a large-page hint cost a little less on a quiet machine but swung widely from
      // one parse to the next, each fault taking and clearing a fresh 2 MiB page.
      void* run = platform::AllocAligned(kSegmentBytes, bytes);
      if (run == nullptr) return false;
      auto* first = static_cast<SegmentHeader*>(run);
      first->next_run = runs_;
      first->run_bytes = bytes;
      runs_ = first;
      ++run_count_;
      run_next_ = static_cast<char*>(run);
      run_end_ = run_next_ + bytes;
    }
    segment = run_next_;
    run_next_ += kSegmentBytes;
    // The segment is about to be filled: one call faults in its pages rather than one trap each. Only
    // the segments cut are touched, so that the unused end of the last run takes no memory.
    platform::Prefault(segment, kSegmentBytes);
  }
  auto* header = reinterpret_cast<SegmentHeader*>(segment);
  header->pool = this;
  header->number = slab_count_;
  POOL_POISON(segment + kNodeBytes, kSlabNodes * kNodeBytes);
  segments_[slab_count_++] = segment;
  return true;
}

void JsonNodePool::StartFresh(uint32_t number) {
  fresh_ = number;
  fresh_cursor_ = segments_[number] + kNodeBytes;
  fresh_limit_ = fresh_cursor_ + kSlabNodes * kNodeBytes;
}

void JsonNodePool::Give(void* block) {
  auto* free_block = static_cast<FreeBlock*>(block);
  free_block->next = free_;
  free_ = free_block;
  --in_use_;
  POOL_POISON(block, kNodeBytes);
}

void JsonNodePool::GiveAll() {
  for (uint32_t i = 0; i < slab_count_; ++i) POOL_POISON(segments_[i] + kNodeBytes, kSlabNodes * kNodeBytes);
  free_ = nullptr;
  if (slab_count_ != 0) {
    StartFresh(0);
  } else {
    fresh_cursor_ = fresh_limit_ = nullptr;
  }
  in_use_ = 0;
  owning_ = 0;
}

void JsonNodePool::Trim() {
  if (in_use_ != 0) return;
  // The first chunk is kept for the next document.
  ReleaseTexts(1);
  if (slab_count_ > kRetainedSlabs) Release();
}

char* JsonNodePool::NewText(uint32_t length, uint32_t* ref) {
  const size_t bytes = LengthBytes(length) + length + 1;
  char* at = text_next_;
  if (bytes > static_cast<size_t>(text_end_ - text_next_)) {
    at = NewTextSlow(bytes, ref);
    if (at == nullptr) return nullptr;
  } else {
    text_next_ += bytes;
    *ref = (text_open_ + 1) << kTextOffsetBits | static_cast<uint32_t>(at - texts_[text_open_].base);
  }
  if (length < kLongLength) {
    *at = static_cast<char>(length);
    return at + 1;
  }
  at[0] = static_cast<char>(kLongLength);
  std::memcpy(at + 1, &length, sizeof(length));
  return at + 5;
}

char* JsonNodePool::NewTextSlow(size_t bytes, uint32_t* ref) {
  // The first chunks are small; a document with more text goes on in larger ones.
  const size_t usual = text_count_ < kSmallTextChunks ? kTextChunkBytes : kLargeTextChunkBytes;
  const size_t size = bytes > usual ? bytes : usual;
  if (text_count_ >= kMaxTextChunks || !Grow(texts_, text_count_, text_capacity_)) return nullptr;
  auto* base = static_cast<char*>(platform::Alloc(size));
  if (base == nullptr) return nullptr;
  texts_[text_count_] = TextChunk{base, size};
  *ref = (text_count_ + 1) << kTextOffsetBits;
  // A chunk made for one long text leaves the open chunk as it is.
  if (bytes <= usual) {
    text_open_ = text_count_;
    text_next_ = base + bytes;
    text_end_ = base + size;
  }
  ++text_count_;
  return base;
}

bool JsonNodePool::NameText(const char* text, uint32_t length, uint32_t* ref) {
  const bool shared = length <= kMaxSharedName;
  uint32_t slot = 0;
  if (shared) {
    slot = NameHash(text, length) & (kNameSlots - 1);
    for (; names_[slot] != 0; slot = (slot + 1) & (kNameSlots - 1)) {
      int32_t known_length = 0;
      const char* known = Text(names_[slot], &known_length);
      if (static_cast<uint32_t>(known_length) == length && std::memcmp(known, text, length) == 0) {
        *ref = names_[slot];
        return true;
      }
    }
  }
  char* copy = NewText(length, ref);
  if (copy == nullptr) return false;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  if (shared && name_count_ < kMaxNames) {
    names_[slot] = *ref;
    ++name_count_;
  }
  return true;
}

const char* JsonNodePool::Text(uint32_t ref, int32_t* length) const {
  if (ref == 0) {
    *length = 0;
    return core::kEmptyText;
  }
  const char* at = texts_[(ref >> kTextOffsetBits) - 1].base + (ref & ((1u << kTextOffsetBits) - 1));
  const auto first = static_cast<uint8_t>(*at);
  if (first < kLongLength) {
    *length = first;
    return at + 1;
  }
  uint32_t long_length = 0;
  std::memcpy(&long_length, at + 1, sizeof(long_length));
  *length = static_cast<int32_t>(long_length);
  return at + 5;
}

void JsonNodePool::ReleaseTexts(uint32_t keep) {
  // The chunk kept becomes the open one. A first chunk made for one long text can be larger than a
  // reference reaches into, so that texts written past kTextOffsetLimit in it would get offsets that
  // spill into the chunk number: it goes too.
  if (keep > 0 && text_count_ > 0 && texts_[0].bytes > kTextOffsetLimit) keep = 0;
  while (text_count_ > keep) {
    --text_count_;
    platform::Free(texts_[text_count_].base, texts_[text_count_].bytes);
  }
  std::memset(names_, 0, sizeof(names_));
  name_count_ = 0;
  if (text_count_ == 0) {
    platform::Free(texts_, sizeof(TextChunk) * text_capacity_);
    texts_ = nullptr;
    text_capacity_ = 0;
    text_next_ = text_end_ = nullptr;
  } else {
    text_open_ = 0;
    text_next_ = texts_[0].base;
    text_end_ = texts_[0].base + texts_[0].bytes;
  }
}

void JsonNodePool::Release() {
  for (uint32_t i = 0; i < slab_count_ && i < kRetainedSlabs; ++i) {
    POOL_UNPOISON(segments_[i], kSegmentBytes);
    platform::Free(segments_[i], kSegmentBytes);
  }
  while (runs_ != nullptr) {
    SegmentHeader* run = runs_;
    runs_ = run->next_run;
    const size_t bytes = run->run_bytes;
    POOL_UNPOISON(run, bytes);
    platform::Free(run, bytes);
  }
  platform::Free(segments_, sizeof(char*) * segment_capacity_);
  segments_ = nullptr;
  segment_capacity_ = 0;
  slab_count_ = 0;
  run_count_ = 0;
  run_next_ = run_end_ = nullptr;
  fresh_ = 0;
  fresh_cursor_ = fresh_limit_ = nullptr;
  free_ = nullptr;
  ReleaseTexts(0);
}

struct JsonNode::Extras {
  JsonNameText name;
  JsonValueText value;
  core::Buffer* path_text = nullptr;
  core::Buffer* index_label = nullptr;
};

JsonNode::JsonNode(JsonNode* parent, uint32_t position) : start_(position), end_(position) {
  texts_.refs = TextRefs{0, 0};
  if (parent != nullptr) InsertAfter(parent, parent->LastChild(), this);
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
  if (has_extras_) return texts_.extras;
  void* block = platform::Alloc(sizeof(Extras));
  if (block == nullptr) return nullptr;
  auto* extras = new (block) Extras();
  if (extras->name.SetData(NameLength(), NameText()) != core::kOk ||
      extras->value.SetData(ValueLength(), ValueText()) != core::kOk) {
    extras->~Extras();
    platform::Free(block, sizeof(Extras));
    return nullptr;
  }
  texts_.extras = extras;
  has_extras_ = true;
  Pool().NoteOwning(1);
  return extras;
}

void JsonNode::ReleaseExtras() {
  if (!has_extras_) return;
  Extras* extras = texts_.extras;
  DeleteBuffer(extras->path_text);
  DeleteBuffer(extras->index_label);
  extras->~Extras();
  platform::Free(extras, sizeof(Extras));
  has_extras_ = false;
  texts_.refs = TextRefs{0, 0};
  Pool().NoteOwning(-1);
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

namespace {

int32_t TextLength(const JsonNodePool& pool, uint32_t ref) {
  int32_t length = 0;
  (void)pool.Text(ref, &length);
  return length;
}

}  // namespace

const char* JsonNode::NameText() const {
  int32_t length = 0;
  return has_extras_ ? texts_.extras->name.Data() : Pool().Text(texts_.refs.name, &length);
}
int32_t JsonNode::NameLength() const {
  return has_extras_ ? texts_.extras->name.Length() : TextLength(Pool(), texts_.refs.name);
}
const char* JsonNode::ValueText() const {
  int32_t length = 0;
  return has_extras_ ? texts_.extras->value.Data() : Pool().Text(texts_.refs.value, &length);
}
int32_t JsonNode::ValueLength() const {
  return has_extras_ ? texts_.extras->value.Length() : TextLength(Pool(), texts_.refs.value);
}

int JsonNode::SetNameText(const char* text, int32_t length) {
  if (has_extras_) return texts_.extras->name.SetData(length, text);
  if (length <= 0) {
    texts_.refs.name = 0;
    return core::kOk;
  }
  uint32_t ref = 0;
  if (!Pool().NameText(text, static_cast<uint32_t>(length), &ref)) return core::kOutOfMemory;
  texts_.refs.name = ref;
  return core::kOk;
}

int JsonNode::AppendValueText(const char* text, int32_t length) {
  if (has_extras_) return texts_.extras->value.Append(text, length);
  if (text == nullptr || length <= 0) return core::kOk;
  JsonNodePool& pool = Pool();
  int32_t old_length = 0;
  const char* old = pool.Text(texts_.refs.value, &old_length);
  if (static_cast<int64_t>(old_length) + length > 0x7FFFFFF0) return core::kOutOfMemory;
  const int32_t total = old_length + length;
  uint32_t ref = 0;
  char* copy = pool.NewText(static_cast<uint32_t>(total), &ref);
  if (copy == nullptr) return core::kOutOfMemory;
  if (old_length > 0) std::memcpy(copy, old, static_cast<size_t>(old_length));
  std::memcpy(copy + old_length, text, static_cast<size_t>(length));
  copy[total] = '\0';
  texts_.refs.value = ref;
  return core::kOk;
}

const core::BufferCore& JsonNode::IndexLabel() const {
  return has_extras_ && texts_.extras->index_label != nullptr ? *texts_.extras->index_label : EmptyBuffer();
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
  auto* node = new (block) JsonNode(parent, position);
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
  if (node->first_child_ != 0) FreeChildren(node);
  node->ReleaseExtras();
  JsonNodePool& pool = node->Pool();
  node->~JsonNode();
  pool.Give(node);
}

void JsonNode::InsertAfter(JsonNode* parent, JsonNode* after, JsonNode* node) {
  ++parent->child_count_;
  const uint32_t self = HandleOf(node);
  node->parent_ = HandleOf(parent);
  if (parent->first_child_ == 0) {
    node->previous_ = node->next_ = 0;
    parent->first_child_ = parent->last_child_ = self;
  } else if (after != nullptr) {
    node->previous_ = HandleOf(after);
    node->next_ = after->next_;
    if (after->next_ != 0) {
      after->NextSibling()->previous_ = self;
    } else {
      parent->last_child_ = self;
    }
    after->next_ = self;
  } else {
    PushFront(parent, node);
  }
}

void JsonNode::PushFront(JsonNode* parent, JsonNode* node) {
  const uint32_t self = HandleOf(node);
  node->parent_ = HandleOf(parent);
  node->previous_ = 0;
  node->next_ = parent->first_child_;
  if (parent->first_child_ != 0) parent->FirstChild()->previous_ = self;
  parent->first_child_ = self;
  if (parent->last_child_ == 0) parent->last_child_ = self;
}

void JsonNode::RemoveChild(JsonNode* parent, JsonNode* node) {
  if (node->previous_ != 0) {
    node->PreviousSibling()->next_ = node->next_;
  } else {
    parent->first_child_ = node->next_;
  }
  if (node->next_ != 0) {
    node->NextSibling()->previous_ = node->previous_;
  } else {
    parent->last_child_ = node->previous_;
  }
  if (parent->child_count_ > 0) --parent->child_count_;
  Destroy(node);
}

void JsonNode::FreeChildren(JsonNode* node) {
  // Walks down to a leaf, frees it and goes on with its next sibling, or climbs to its parent, which
  // has then become a leaf. Only leaves are destroyed, so no destructor recurses.
  JsonNode* current = node->FirstChild();
  while (current != nullptr) {
    if (current->first_child_ != 0) {
      current = current->FirstChild();
      continue;
    }
    JsonNode* next = current->NextSibling();
    JsonNode* up = current->Parent();
    up->first_child_ = current->next_;
    Destroy(current);
    if (next != nullptr) {
      current = next;
    } else {
      up->last_child_ = 0;
      up->child_count_ = 0;
      current = up == node ? nullptr : up;
    }
  }
  node->first_child_ = node->last_child_ = 0;
  node->child_count_ = 0;
}

void JsonNode::FreeTree(JsonNode* node) {
  FreeChildren(node);
  node->ReleaseExtras();
  node->texts_.refs = TextRefs{0, 0};
}

template <typename Segment>
const char* JsonNode::BuildPathText(Segment segment) {
  int64_t total = 0;
  for (const JsonNode* n = this; n != nullptr; n = n->Parent()) total += segment(n).Total();
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
  for (const JsonNode* n = this; n != nullptr; n = n->Parent()) {
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
