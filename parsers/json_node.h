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

// JsonNodePool hands out node-sized blocks and keeps the blocks given back on a free list for the next
// nodes, so that building and freeing a tree costs one allocation per segment rather than one per node.
// Nodes live in segments of kSegmentBytes, each aligned to its size and headed by its pool and its
// number, so that a node finds its pool from its own address and names another node by a 32-bit
// handle: the segment number and the slot in it. The first kRetainedSlabs segments are allocated one by
// one; a larger tree takes its further segments from larger blocks (runs), each twice the size of the
// one before from kFirstRunBytes up to kMaxRunBytes. The texts of the nodes live in the pool's text
// arena, chunks that are only rewound once no node is in use, and are named by 32-bit references too;
// short member names, which a document repeats, are stored once. Segments go back when the pool is
// destroyed, or by Trim once no block is in use. Free blocks are poisoned for ASan.
class JsonNodePool {
 public:
  static constexpr std::size_t kSegmentBytes = 64 * 1024;
  static constexpr std::size_t kNodeBytes = 48;
  // Slot 0 of a segment holds its header.
  static constexpr uint32_t kSlabNodes = static_cast<uint32_t>(kSegmentBytes / kNodeBytes) - 1;
  // Trim keeps this many segments (a tree of up to 21,824 nodes) for the next document.
  static constexpr uint32_t kRetainedSlabs = 16;
  static constexpr std::size_t kFirstRunBytes = std::size_t{2} * 1024 * 1024;
  static constexpr std::size_t kMaxRunBytes = std::size_t{16} * 1024 * 1024;
  // Text chunks hold kTextChunkBytes up to kSmallTextChunks of them, then kLargeTextChunkBytes.
  static constexpr std::size_t kTextChunkBytes = 64 * 1024;
  static constexpr uint32_t kSmallTextChunks = 16;
  static constexpr std::size_t kLargeTextChunkBytes = std::size_t{1} << 20;

  JsonNodePool() = default;
  ~JsonNodePool() { Release(); }
  JsonNodePool(const JsonNodePool&) = delete;
  JsonNodePool& operator=(const JsonNodePool&) = delete;

  // Take returns an uninitialised node block, null when a new segment cannot be allocated.
  void* Take();
  // Give puts a block from Take back on the free list.
  void Give(void* block);
  // GiveAll takes every block back at once; the blocks in use must hold nothing to free.
  void GiveAll();
  // Trim rewinds the text arena when no block is in use (keeping its first chunk, unless that one was
  // made for a text longer than a reference reaches into), and then releases every segment when more
  // than kRetainedSlabs are held.
  void Trim();
  uint32_t InUse() const { return in_use_; }
  uint32_t SlabCount() const { return slab_count_; }
  // The count of blocks holding memory of their own (see JsonNode), which GiveAll would leak.
  uint32_t OwningCount() const { return owning_; }
  void NoteOwning(int delta) { owning_ += static_cast<uint32_t>(delta); }

  // NewText makes room in the text arena for a text of length bytes and its NUL, sets *ref to the text's
  // reference and returns where its bytes go; null when memory runs out. The text stays until the arena
  // is rewound. NameText does the same for a member name and fills it in, reusing an earlier copy of a
  // short name; false when memory runs out.
  char* NewText(uint32_t length, uint32_t* ref);
  [[nodiscard]] bool NameText(const char* text, uint32_t length, uint32_t* ref);
  // Text returns the text of ref with its length (reference 0 is the empty text).
  const char* Text(uint32_t ref, int32_t* length) const;

  // Of returns the pool of a block from Take; At the node of a handle (not 0); HandleOf a node's handle.
  static JsonNodePool* Of(const void* block) {
    return reinterpret_cast<const SegmentHeader*>(reinterpret_cast<uintptr_t>(block) & ~(kSegmentBytes - 1))->pool;
  }
  JsonNode* At(uint32_t handle) const {
    return reinterpret_cast<JsonNode*>(segments_[handle >> kSlotBits] + (handle & kSlotMask) * kNodeBytes);
  }
  static uint32_t HandleOf(const void* block) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(block);
    const auto* header = reinterpret_cast<const SegmentHeader*>(address & ~(kSegmentBytes - 1));
    return header->number << kSlotBits | static_cast<uint32_t>((address & (kSegmentBytes - 1)) / kNodeBytes);
  }

 private:
  static constexpr uint32_t kSlotBits = 11;
  static constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
  static_assert(kSegmentBytes / kNodeBytes <= kSlotMask + 1, "a slot fits its bits");
  // A text reference is the chunk number plus one above kTextOffsetBits bits of offset.
  static constexpr uint32_t kTextOffsetBits = 20;
  static constexpr uint32_t kMaxTextChunks = (1u << (32 - kTextOffsetBits)) - 1;
  // The bytes of a chunk an offset reaches: an open chunk is written only this far.
  static constexpr std::size_t kTextOffsetLimit = std::size_t{1} << kTextOffsetBits;
  static_assert(kTextChunkBytes <= kLargeTextChunkBytes && kLargeTextChunkBytes <= kTextOffsetLimit,
                "every text of an open chunk has an offset that fits its bits");
  static constexpr uint32_t kNameSlots = 512;
  static constexpr uint32_t kMaxNames = 384;
  static constexpr uint32_t kMaxSharedName = 32;

  struct FreeBlock {
    FreeBlock* next;
  };
  // SegmentHeader fills slot 0 of a segment. The first segment of a run also links the runs.
  struct SegmentHeader {
    JsonNodePool* pool;
    uint32_t number;
    SegmentHeader* next_run;
    std::size_t run_bytes;
  };
  static_assert(sizeof(SegmentHeader) <= kNodeBytes, "a header fits slot 0");
  struct TextChunk {
    char* base;
    std::size_t bytes;
  };

  void* TakeSlow();
  // NewSegment makes the next segment and numbers it; false when memory runs out.
  bool NewSegment();
  // StartFresh makes the blocks of segment `number` the fresh ones.
  void StartFresh(uint32_t number);
  // Release frees every segment and text chunk; no block may be in use.
  void Release();
  void ReleaseTexts(uint32_t keep);
  char* NewTextSlow(std::size_t bytes, uint32_t* ref);
  // Grow makes room for one more entry in a table of count entries; false when memory runs out.
  template <typename T>
  static bool Grow(T*& table, uint32_t count, uint32_t& capacity);

  char** segments_ = nullptr;
  uint32_t segment_capacity_ = 0;
  uint32_t slab_count_ = 0;
  // Runs, newest first, and the part of the newest not yet cut into segments.
  SegmentHeader* runs_ = nullptr;
  char* run_next_ = nullptr;
  char* run_end_ = nullptr;
  uint32_t run_count_ = 0;
  // Blocks never handed out since the segments were made or GiveAll: fresh_cursor_ up to fresh_limit_ in
  // segment fresh_, then the segments after it.
  uint32_t fresh_ = 0;
  char* fresh_cursor_ = nullptr;
  char* fresh_limit_ = nullptr;
  FreeBlock* free_ = nullptr;
  uint32_t in_use_ = 0;
  uint32_t owning_ = 0;
  TextChunk* texts_ = nullptr;
  uint32_t text_count_ = 0;
  uint32_t text_capacity_ = 0;
  // The open chunk: its number and the free part of it, which ends within kTextOffsetLimit of its base.
  uint32_t text_open_ = 0;
  char* text_next_ = nullptr;
  char* text_end_ = nullptr;
  // Shared names: an open-addressed table of text references, 0 for a free slot.
  uint32_t names_[kNameSlots] = {};
  uint32_t name_count_ = 0;
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

  JsonNode* Parent() const { return Link(parent_); }
  JsonNode* PreviousSibling() const { return Link(previous_); }
  JsonNode* NextSibling() const { return Link(next_); }
  JsonNode* FirstChild() const { return Link(first_child_); }
  JsonNode* LastChild() const { return Link(last_child_); }
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
  void SetType(uint32_t type) { type_ = static_cast<uint8_t>(type); }
  void SetEndPosition(uint32_t position) { end_ = position; }
  void SetValueStart(uint32_t position) { value_start_ = position; }

 private:
  // Extras holds what few nodes need: the texts as buffers, the path text and the index label.
  struct Extras;
  struct TextRefs {
    uint32_t name;
    uint32_t value;
  };

  JsonNode(JsonNode* parent, uint32_t position);
  ~JsonNode() = default;
  JsonNodePool& Pool() const { return *JsonNodePool::Of(this); }
  JsonNode* Link(uint32_t handle) const { return handle == 0 ? nullptr : Pool().At(handle); }
  static uint32_t HandleOf(const JsonNode* node) { return node == nullptr ? 0 : JsonNodePool::HandleOf(node); }
  // BuildPathText fills the path text from the segments of this node and its ancestors.
  template <typename Segment>
  const char* BuildPathText(Segment segment);
  // TakeExtras makes the extras with the texts copied into their buffers; null when memory runs out.
  Extras* TakeExtras() const;
  // ReleaseExtras frees the extras and everything they hold.
  void ReleaseExtras();

  // The links are handles within the pool, 0 for none.
  uint32_t parent_ = 0;
  uint32_t previous_ = 0;
  uint32_t next_ = 0;
  uint32_t first_child_ = 0;
  uint32_t last_child_ = 0;
  uint32_t start_;
  uint32_t end_;
  uint32_t value_start_ = 0;
  uint32_t child_count_ = 0;
  uint8_t type_ = 0;
  mutable bool has_extras_ = false;
  // The arena texts, until the extras take them over.
  mutable union {
    TextRefs refs;
    Extras* extras;
  } texts_;
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
