// The structures the JSON parser builds and keeps: the JsonNode tree of tree mode, the stack of open
// containers, and the path stack of stream mode. All are used by one thread at a time.
#pragma once

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

// JsonNode is one member, element or document root. A node is owned by its parent (the root by its
// parser) and lives as long as the parent; nodes come singly from the library allocator.
class JsonNode {
 public:
  // Create allocates a node whose start and end positions are position, linked as the last child of
  // parent when one is given (the parent's child count grows by one), with name when not null. Null
  // when memory runs out.
  static JsonNode* Create(JsonNode* parent, uint32_t position, const char* name = nullptr);
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
  // FreeTree frees node's children and empties its buffers; the node itself stays allocated.
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
  const core::Buffer& StepLabel() const { return name_.IsEmpty() ? index_label_ : name_; }

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
  const core::Buffer& Name() const { return name_; }
  const core::Buffer& Value() const { return value_; }
  const core::Buffer& IndexLabel() const { return index_label_; }
  // ValueText is the value as a NUL-terminated text.
  const char* ValueText() const { return value_.Data(); }

  core::Buffer& MutableName() { return name_; }
  core::Buffer& MutableValue() { return value_; }
  core::Buffer& MutableIndexLabel() { return index_label_; }
  void SetType(uint32_t type) { type_ = type; }
  void SetEndPosition(uint32_t position) { end_ = position; }
  void SetValueStart(uint32_t position) { value_start_ = position; }

 private:
  JsonNode(JsonNode* parent, uint32_t position);
  ~JsonNode();
  // BuildPathText fills path_text_ from the segments of this node and its ancestors.
  template <typename Segment>
  const char* BuildPathText(Segment segment);

  core::Buffer path_text_;
  JsonNode* parent_ = nullptr;
  JsonNode* previous_ = nullptr;
  JsonNode* next_ = nullptr;
  JsonNode* first_child_ = nullptr;
  JsonNode* last_child_ = nullptr;
  core::Buffer value_;
  uint32_t start_;
  uint32_t end_;
  uint32_t value_start_ = 0;
  uint32_t child_count_ = 0;
  core::Buffer name_;
  core::Buffer index_label_;
  uint32_t type_ = 0;
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
