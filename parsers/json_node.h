// The structures the JSON parser builds and keeps: the JsonNode tree of tree mode, the stack of open
// containers, and the path stack of stream mode. All are used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace velmora::parsers {

// Value types of a node and of the stream mode's current value.
constexpr uint32_t kJsonObject = 0;
constexpr uint32_t kJsonArray = 1;
constexpr uint32_t kJsonString = 2;
constexpr uint32_t kJsonNumber = 3;
constexpr uint32_t kJsonBoolean = 4;
constexpr uint32_t kJsonNull = 5;

class JsonNode;

// JsonNodePool hands out node-sized blocks cut from slabs, and keeps the blocks given back on a free
// list for the next nodes, so that building and freeing a tree costs one allocation per slab rather
// than one per node. The first kRetainedSlabs slabs hold kSlabNodes blocks each; a larger tree takes
// its further nodes in runs of pages from the system, each twice the size of the one before up to
// kMaxRunBytes, so that a large document costs a few calls and, where the system has large pages, a
// fault per large page rather than per page. The texts of the nodes come from the pool's text arena,
// chunks that are only rewound once no node is in use, and that grow into page runs the same way.
// Slabs go back when the pool is destroyed, or by Trim once no block is in use. Free blocks are
// poisoned for ASan.
class JsonNodePool {
 public:
  static constexpr uint32_t kSlabNodes = 256;
  // Trim keeps this many slabs (a tree of up to 16,384 nodes) for the next document.
  static constexpr uint32_t kRetainedSlabs = 64;
  // Text chunks hold kTextChunkBytes up to kSmallTextChunks of them, then page runs.
  static constexpr std::size_t kTextChunkBytes = 64 * 1024;
  static constexpr uint32_t kSmallTextChunks = 16;
  static constexpr std::size_t kMaxRunBytes = std::size_t{16} * 1024 * 1024;

  JsonNodePool() = default;
  ~JsonNodePool() { Release(); }
  JsonNodePool(const JsonNodePool&) = delete;
  JsonNodePool& operator=(const JsonNodePool&) = delete;

  // Take returns an uninitialised node block, null when a new slab cannot be allocated.
  void* Take();
  // Give puts a block from Take back on the free list.
  void Give(void* block);
  // GiveAll takes every block back at once; the blocks in use must hold nothing to free.
  void GiveAll();
  // Trim rewinds the text arena when no block is in use, and then releases every slab when more than
  // kRetainedSlabs are held.
  void Trim();
  // TakeText returns length + 1 bytes of the text arena, null when memory runs out. The bytes stay
  // until the arena is rewound.
  char* TakeText(uint32_t length);
  uint32_t InUse() const { return in_use_; }
  uint32_t SlabCount() const { return slab_count_; }
  // The count of blocks holding memory of their own (see JsonNode), which GiveAll would leak.
  uint32_t OwningCount() const { return owning_; }
  void NoteOwning(int delta) { owning_ += static_cast<uint32_t>(delta); }

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  // A slab's header; its blocks follow, from SlabBlocks on.
  struct Slab {
    Slab* next;
    std::size_t bytes;
    uint32_t nodes;
  };
  struct TextChunk {
    TextChunk* next;
    std::size_t size;
  };
  static char* SlabBlocks(Slab* slab);
  void* TakeSlow();
  // NewSlab allocates the next slab and links it last; null when memory runs out.
  Slab* NewSlab();
  // StartFresh makes slab's blocks the fresh ones.
  void StartFresh(Slab* slab);
  // Release frees every slab and text chunk; no block may be in use.
  void Release();
  void ReleaseTexts(TextChunk* from);
  char* TakeTextSlow(std::size_t bytes);

  Slab* slabs_ = nullptr;
  Slab* last_slab_ = nullptr;
  // Blocks never handed out since the slabs were made or GiveAll: fresh_cursor_ up to fresh_limit_ in
  // slab fresh_, then the slabs after it.
  Slab* fresh_ = nullptr;
  char* fresh_cursor_ = nullptr;
  char* fresh_limit_ = nullptr;
  FreeBlock* free_ = nullptr;
  uint32_t slab_count_ = 0;
  uint32_t page_runs_ = 0;
  uint32_t in_use_ = 0;
  uint32_t owning_ = 0;
  uint32_t text_chunks_ = 0;
  TextChunk* texts_ = nullptr;
  char* text_next_ = nullptr;
  char* text_end_ = nullptr;
};

// Short names and values stay inside their buffer; longer ones take a heap block as any buffer does.
class JsonNameText : public core::BufferShape<15> {};
class JsonValueText : public core::BufferShape<23> {};

// JsonNode is one member, element or document root. A node is owned by its parent (the root by its
// parser) and lives as long as the parent; nodes come from their parser's JsonNodePool.
//
// The name and value are kept as NUL-terminated texts in the pool's arena; the first call that asks
// for them as buffers (Name, Value and their Mutable forms) copies them into buffers of the node's
// own, which from then on hold them.
class JsonNode {
 public:
  // Create makes a node from pool whose start and end positions are position, linked as the last
  // child of parent when one is given (the parent's child count grows by one), with name when not
  // null. Null when memory runs out. A child must come from its parent's pool.
  static JsonNode* Create(JsonNodePool& pool, JsonNode* parent, uint32_t position, const char* name = nullptr);
  // Destroy frees node with its whole subtree (null does nothing).
  static void Destroy(JsonNode* node);

  JsonNode(const JsonNode&) = delete;
  JsonNode& operator=(const JsonNode&) = delete;

  // InsertAfter links node into parent's children after `after`, or first when after is null, and
  // raises the child count. PushFront links node first without touching the count.
  static void InsertAfter(JsonNode* parent, JsonNode* after, JsonNode* node);
  static void PushFront(JsonNode* parent, JsonNode* node);
  // RemoveChild unlinks node from parent, lowers the child count and frees node with its subtree.
  static void RemoveChild(JsonNode* parent, JsonNode* node);
  // FreeChildren frees every child of node with its subtree, children before their parent, without
  // recursion, so that any depth is freed. The node is left without children.
  static void FreeChildren(JsonNode* node);
  // FreeTree frees node's children and empties its texts; the node itself stays allocated.
  static void FreeTree(JsonNode* node);

  // JsonPathText sets the path text to "$" followed by "['name']" or the index label of each node on
  // the way down from the root, and returns it; XPathText does the same with "/json/name/[N]"
  // segments. Both walk the parent links, so any depth is named without recursion. The text stays
  // valid until the node's path text is asked for again. On memory failure the text is empty.
  const char* JsonPathText();
  const char* XPathText();

  // MatchesStep is true when name is empty or "*", or equals the node's name without regard to case
  // (NameEquals, without the wildcards). StepLabel is the name, or the index label when it is empty.
  bool MatchesStep(const char* name) const;
  bool NameEquals(const char* name) const;
  const core::BufferCore& StepLabel() const {
    return NameLength() == 0 ? IndexLabel() : Name();
  }

  JsonNode* Parent() const { return parent_; }
  JsonNode* PreviousSibling() const { return previous_; }
  JsonNode* NextSibling() const { return next_; }
  JsonNode* FirstChild() const { return first_child_; }
  JsonNode* LastChild() const { return last_child_; }
  uint32_t ChildCount() const { return child_count_; }
  uint32_t StartPosition() const { return start_; }
  uint32_t EndPosition() const { return end_; }
  uint32_t ValueStart() const { return value_start_; }
  uint32_t Type() const { return type_; }
  // Name and Value give the texts as buffers (made on first use; empty when memory runs out).
  const core::BufferCore& Name() const;
  const core::BufferCore& Value() const;
  // NameText and ValueText are the texts as NUL-terminated strings; the lengths count embedded NULs.
  const char* NameText() const;
  int32_t NameLength() const;
  const char* ValueText() const;
  int32_t ValueLength() const;
  // IndexLabel is empty until the node is first selected by an index.
  const core::BufferCore& IndexLabel() const;

  // MutableName and MutableValue give the texts as buffers to change (a scratch buffer, whose changes
  // are lost, when memory runs out).
  core::BufferCore& MutableName();
  core::BufferCore& MutableValue();
  // SetNameText makes the name length bytes of text; AppendValueText appends to the value. 0, or 200
  // when memory runs out.
  [[nodiscard]] int SetNameText(const char* text, int32_t length);
  [[nodiscard]] int AppendValueText(const char* text, int32_t length);
  // MutableIndexLabel makes the index label on first use; null when memory runs out.
  core::BufferCore* MutableIndexLabel();
  void SetType(uint32_t type) { type_ = type; }
  void SetEndPosition(uint32_t position) { end_ = position; }
  void SetValueStart(uint32_t position) { value_start_ = position; }

 private:
  // Extras holds what few nodes need: the texts as buffers, the path text and the index label.
  struct Extras;

  JsonNode(JsonNodePool& pool, JsonNode* parent, uint32_t position);
  ~JsonNode() = default;
  // BuildPathText fills the path text from the segments of this node and its ancestors.
  template <typename Segment>
  const char* BuildPathText(Segment segment);
  // TakeExtras makes the extras with the texts copied into their buffers; null when memory runs out.
  Extras* TakeExtras() const;
  // ReleaseExtras frees the extras and everything they hold.
  void ReleaseExtras();

  JsonNode* parent_ = nullptr;
  JsonNode* previous_ = nullptr;
  JsonNode* next_ = nullptr;
  JsonNode* first_child_ = nullptr;
  JsonNode* last_child_ = nullptr;
  // The arena texts, until the extras take them over.
  const char* name_;
  const char* value_;
  int32_t name_length_ = 0;
  int32_t value_length_ = 0;
  uint32_t start_;
  uint32_t end_;
  uint32_t value_start_ = 0;
  uint32_t child_count_ = 0;
  uint32_t type_ = 0;
  mutable Extras* extras_ = nullptr;
  JsonNodePool* pool_;
};

// JsonContainerStack holds the kinds of the open containers, one byte each: 2 an object, 3 an array.
class JsonContainerStack {
 public:
  static constexpr uint8_t kObject = 2;
  static constexpr uint8_t kArray = 3;
  // kGrowthFailed is the result of a push that cannot grow the stack.
  static constexpr int kGrowthFailed = 10000;

  JsonContainerStack();
  // Push adds kind; 0, or kGrowthFailed when the stack is full and cannot grow by its step of 99.
  [[nodiscard]] int Push(uint8_t kind);
  // Pop removes and returns the top kind, 0 when the stack is empty. Top returns it without removing.
  uint8_t Pop() { return count_ == 0 ? 0 : static_cast<uint8_t>(bytes_.Data()[--count_]); }
  uint8_t Top() const { return count_ == 0 ? 0 : static_cast<uint8_t>(bytes_.Data()[count_ - 1]); }
  uint32_t Count() const { return count_; }
  void Clear() { count_ = 0; }

 private:
  core::Buffer bytes_;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
};

// JsonPathStack is the running path of stream mode: one NUL-terminated segment per open member or
// element, and the type of the value that ended last.
class JsonPathStack {
 public:
  static constexpr uint32_t kMaxSegment = 0xFFFFFFF;

  JsonPathStack() { Reset(); }
  JsonPathStack(const JsonPathStack&) = delete;
  JsonPathStack& operator=(const JsonPathStack&) = delete;

  // Push stores length bytes of text as a new segment; 0, or 200 when length is above kMaxSegment or
  // memory runs out.
  [[nodiscard]] int Push(const char* text, uint32_t length);
  // Pop removes the last segment and returns its text ("" when empty); the text stays readable until
  // the next push. Top returns the last segment's text, "" when empty.
  const char* Pop();
  const char* Top() const;
  // Reset removes every segment, releases grown storage and sets the current value type to 0.
  void Reset();

  uint32_t Count() const { return count_; }
  uint32_t BytesUsed() const { return used_; }
  uint32_t ValueType() const { return value_type_; }
  void SetValueType(uint32_t type) { value_type_ = type; }

 private:
  core::Buffer1024 segments_;
  core::Buffer offsets_;
  uint32_t count_ = 0;
  uint32_t used_ = 0;
  uint32_t capacity_ = 0;
  uint32_t value_type_ = 0;
  char* data_ = nullptr;
};

}  // namespace velmora::parsers
