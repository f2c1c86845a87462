#include "parsers/json_parser.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <typeinfo>

#include "core/code_page.h"
#include "core/numbers.h"
#include "platform/memory.h"

namespace velmora::parsers {

namespace {

// Parser states.
enum : uint32_t {
  kStart = 0,
  kTopValue = 1,
  kExpectName = 4,
  kExpectValue = 5,
  kName = 6,
  kString = 7,
  kNumber = 8,
  kLiteral = 9,
  kAfterName = 10,
  kAfterValue = 11,
  kAfterDocument = 12,
  kDocumentComplete = 13,
  kRecordStart = 14,
  kRecordEnd = 15,
  kLineComment = 16,
  kBlockComment = 17,
  kAfterSlash = 18,
};

// Character classes.
constexpr uint8_t kBlank = 1;
constexpr uint8_t kNumberChar = 2;
constexpr uint8_t kDelimiter = 4;
constexpr uint8_t kOther = 8;

// Escape counter value right after a backslash, before the escaped character is seen.
constexpr uint32_t kAfterBackslash = 5;

constexpr char kMarkupText[] = "Invalid JSON markup.";
constexpr char kTrailingText[] = "Unexpected content found after end of JSON document.";
constexpr char kRecordStartText[] = "Invalid record start delimiter found.";
constexpr char kRecordEndText[] = "Invalid record end delimiter found.";

// Byte-parallel scans over eight input bytes at a time (the input is public text). ZeroBytes sets the
// top bit of each byte of x that is zero, and of no other byte.
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
constexpr uint64_t kOnes = 0x0101010101010101ull;
// The first byte in memory is the lowest of a loaded word only on little-endian machines.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

inline uint64_t ZeroBytes(uint64_t x) { return ~(((x & kLow7) + kLow7) | x | kLow7); }
inline uint64_t BytesEqual(uint64_t x, uint8_t c) { return ZeroBytes(x ^ (kOnes * c)); }

inline uint64_t Load64(const uint8_t* p) {
  uint64_t x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// SkipBlanks returns the position of the first byte at or after p that is not JSON whitespace, or n.
inline uint32_t SkipBlanks(const uint8_t* d, uint32_t p, uint32_t n) {
  while (kLittleEndian && p + 8 <= n) {
    const uint64_t x = Load64(d + p);
    const uint64_t blank = BytesEqual(x, ' ') | BytesEqual(x, '\n') | BytesEqual(x, '\r') | BytesEqual(x, '\t') |
                           BytesEqual(x, '\f');
    const uint64_t other = ~blank & ~kLow7;
    if (other != 0) return p + static_cast<uint32_t>(__builtin_ctzll(other) >> 3);
    p += 8;
  }
  while (p < n && (d[p] == ' ' || d[p] == '\n' || d[p] == '\r' || d[p] == '\t' || d[p] == '\f')) ++p;
  return p;
}

// SkipPlain returns the position of the first double quote or backslash at or after p, or n.
inline uint32_t SkipPlain(const uint8_t* d, uint32_t p, uint32_t n) {
  while (kLittleEndian && p + 8 <= n) {
    const uint64_t x = Load64(d + p);
    const uint64_t stop = BytesEqual(x, '"') | BytesEqual(x, '\\');
    if (stop != 0) return p + static_cast<uint32_t>(__builtin_ctzll(stop) >> 3);
    p += 8;
  }
  while (p < n && d[p] != '"' && d[p] != '\\') ++p;
  return p;
}

bool SameNoCase(const char* text, int32_t length, const char* word) {
  return static_cast<int32_t>(std::strlen(word)) == length && core::StrNICmp(text, word, length) == 0;
}

bool Same(const char* text, int32_t length, const char* word) {
  return static_cast<int32_t>(std::strlen(word)) == length && std::memcmp(text, word, std::strlen(word)) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// HexUnit reads the four hex digits at text as one UTF-16 unit, or gives -1 when one is no hex digit.
int32_t HexUnit(const char* text) {
  int32_t unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

std::atomic<bool> g_force_stepwise{false};

}  // namespace

namespace internal {
void ForceStepwiseJson(bool force) { g_force_stepwise.store(force, std::memory_order_relaxed); }
}  // namespace internal

JsonParser::JsonParser() { Reset(); }

JsonParser::~JsonParser() { Reset(); }

int JsonParser::Reset() {
  position_ = 0;
  input_length_ = 0;
  state_ = kStart;
  saved_state_ = 0;
  containers_.Clear();
  path_stack_.Reset();
  FreeDocumentTree();
  input_.Clear();
  token_.Reset();
  path_reply_.Clear();
  previous_char_ = 0;
  saved_previous_char_ = 0;
  path_text_reply_ = 1;
  wrapped_ = 0;
  escape_count_ = 0;
  top_level_scalar_ = 0;
  in_whitespace_ = 0;
  raw_text_.Clear();
  data_ = nullptr;
  token_start_ = 1;
  document_mode_ = 0;
  delimiter_match_.Clear();
  record_boundary_ = 1;
  for (int c = 0; c < 256; ++c) char_class_[c] = kOther;
  for (const char c : {'\t', '\n', '\f', '\r', ' '}) char_class_[static_cast<uint8_t>(c)] = kBlank;
  for (const char c : {'+', '-', '.', 'E', 'e'}) char_class_[static_cast<uint8_t>(c)] = kNumberChar;
  for (int c = '0'; c <= '9'; ++c) char_class_[c] = kNumberChar;
  for (const char c : {',', '/', ']', '}'}) char_class_[static_cast<uint8_t>(c)] = kDelimiter;
  return 0;
}

void JsonParser::FreeDocumentTree() {
  // Every node in use is in the tree: when none holds memory of its own, the pool takes them all back
  // without a walk.
  if (root_ != nullptr && node_pool_.OwningCount() == 0) {
    node_pool_.GiveAll();
  } else {
    JsonNode::Destroy(root_);
  }
  root_ = current_ = selected_ = nullptr;
  node_pool_.Trim();
}

int JsonParser::BeginStream() {
  Reset();
  tree_mode_ = 0;
  keep_input_ = 1;
  return 1;
}

int JsonParser::SetTreeMode(uint32_t flag) {
  tree_mode_ = flag;
  return 0;
}

int JsonParser::SetUnescapeOptions(uint32_t bits) {
  unescape_options_ = bits;
  return 0;
}

int JsonParser::SetRawNameFallback(uint32_t flag) {
  raw_name_fallback_ = flag;
  return 0;
}

int JsonParser::SetDocumentMode(uint32_t mode) {
  if (mode > 3) return core::kOutOfRange;
  document_mode_ = mode;
  return 0;
}

int JsonParser::SetRecordDelimiters(const char* start, const char* end) {
  const int rc = start_delimiter_.SetString(start);
  return rc != core::kOk ? rc : end_delimiter_.SetString(end);
}

const char* JsonParser::TokenText() {
  if (data_ == nullptr || token_start_ >= position_) return core::kEmptyText;
  if (token_.AssignJson(data_ + token_start_, static_cast<int32_t>(position_ - token_start_)) != core::kOk) {
    return core::kEmptyText;
  }
  return token_.Text();
}

const char* JsonParser::SelectedName() const {
  return selected_ != nullptr ? selected_->NameText() : core::kEmptyText;
}

int JsonParser::OnValue(const char*) { return 0; }
int JsonParser::OnEndElement(const char*) { return 0; }
int JsonParser::OnWhitespace(const char*) { return 0; }
int JsonParser::OnStartElement(const char*) { return 0; }
int JsonParser::OnDocumentStart() { return 0; }
int JsonParser::OnDocumentEnd() { return 0; }

int JsonParser::ParseText(const char* text) {
  quiet_ = tree_mode_ != 0 && typeid(*this) == typeid(JsonParser) && !g_force_stepwise.load(std::memory_order_relaxed);
  const size_t text_length = text != nullptr ? std::strlen(text) : 0;
  // With no hook to look at the input and none of it to keep, the text is read where it is and only
  // what is left of it at the end is copied.
  if (quiet_ && keep_input_ == 0 && input_.IsEmpty() && position_ == 0 && text_length <= 0x7FFFFFF0) {
    return ParseInPlace(text, static_cast<uint32_t>(text_length));
  }
  if (text_length > 0) {
    const int rc = input_.Append(text, static_cast<int32_t>(text_length));
    if (rc != core::kOk) return rc;
  }
  data_ = input_.Data();
  input_length_ = static_cast<uint32_t>(input_.Length());
  if (const int rc = ParseJson(); rc != 0) return rc;
  if (keep_input_ != 0 && tree_mode_ != 0) return 0;
  // Only the pending token and the character before it are kept.
  const uint32_t length = static_cast<uint32_t>(input_.Length());
  if (length == 0) return 0;
  const uint32_t keep_from = token_start_ > 0 ? token_start_ - 1 : 0;
  int rc = 0;
  if (keep_from >= length) {
    input_.Clear();
  } else if (keep_from > 0) {
    rc = core::BufferConsumeFront(input_, static_cast<int32_t>(keep_from));
  }
  data_ = input_.Data();
  input_length_ = position_ = static_cast<uint32_t>(input_.Length());
  token_start_ -= keep_from;
  return rc;
}

int JsonParser::ParseInPlace(const char* text, uint32_t length) {
  data_ = length > 0 ? text : input_.Data();
  input_length_ = length;
  int rc = ParseJson();
  if (rc != 0) {
    // The parse stops here: the input is kept whole, as the copying path keeps it.
    const int copied = input_.SetData(static_cast<int32_t>(length), text);
    data_ = input_.Data();
    if (copied == core::kOk) return rc;
    // Without the copy no position may point into the input.
    input_length_ = position_ = token_start_ = 0;
    return copied;
  }
  if (length == 0) return 0;
  const uint32_t keep_from = token_start_ > 0 ? token_start_ - 1 : 0;
  if (keep_from < length) rc = input_.SetData(static_cast<int32_t>(length - keep_from), text + keep_from);
  data_ = input_.Data();
  input_length_ = position_ = static_cast<uint32_t>(input_.Length());
  token_start_ -= keep_from;
  return rc;
}

int JsonParser::MarkupError() { return SetErrorText(kJsonMarkupError, kMarkupText); }

int JsonParser::Whitespace(uint32_t start, uint32_t end) {
  if (token_.AssignJson(data_ + start, static_cast<int32_t>(end - start)) != core::kOk) return kJsonGrowthFailed;
  return OnWhitespace(token_.Text());
}

inline int JsonParser::SkipWhitespace(int* c) {
  if (in_whitespace_ == 0) token_start_ = position_;
  const auto* d = reinterpret_cast<const uint8_t*>(data_);
  const uint32_t p = SkipBlanks(d, position_, input_length_);
  if (p == input_length_) {
    position_ = p;
    in_whitespace_ = 1;
    *c = -1;
    return 0;
  }
  in_whitespace_ = 0;
  position_ = p + 1;
  *c = d[p];
  return p > token_start_ && !quiet_ ? Whitespace(token_start_, p) : 0;
}

inline int JsonParser::JsonUnescape(const char* text, int32_t length, const char** out_text, int32_t* out_length) {
  *out_text = text;
  *out_length = length;
  if (unescape_options_ == 0 || text == nullptr || length == 0) return 0;
  return UnescapeInto(text, length, out_text, out_length);
}

int JsonParser::UnescapeInto(const char* text, int32_t length, const char** out_text, int32_t* out_length) {
  const bool decode = (unescape_options_ & 2) != 0;
  const bool strip = (unescape_options_ & 1) != 0;
  core::Buffer& out = unescape_work_;
  out.Clear();
  int rc = core::kOk;
  for (int32_t i = 0; i < length && rc == core::kOk; ++i) {
    const char c = text[i];
    if (decode && c == '\\' && i + 1 < length) {
      const char e = text[i + 1];
      char plain = 0;
      switch (e) {
        case '"': case '/': case '\\': plain = e; break;
        case 'b': plain = 8; break;
        case 'f': plain = 12; break;
        case 'n': plain = 10; break;
        case 'r': plain = 13; break;
        case 't': plain = 9; break;
        default: break;
      }
      if (plain != 0) {
        rc = out.AppendByte(static_cast<uint8_t>(plain));
        ++i;
        continue;
      }
      const int32_t unit = (e == 'u' && i + 5 < length) ? HexUnit(text + i + 2) : -1;
      if (unit < 0) {
        // Not an escape this parser knows: the backslash and what follows stay as written.
        rc = out.AppendByte('\\');
        continue;
      }
      i += 5;
      uint32_t code_point = static_cast<uint32_t>(unit);
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 6 < length && text[i + 1] == '\\' && text[i + 2] == 'u') {
        const int32_t low = HexUnit(text + i + 3);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          code_point = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
          i += 6;
        }
      }
      if (code_point >= 0xD800 && code_point <= 0xDFFF) code_point = 0xFFFD;
      rc = AppendUnit(code_point);
      continue;
    }
    if (strip && c == '"' && (i == 0 || i == length - 1)) continue;
    // Plain characters up to the next backslash or double quote are copied as one run.
    int32_t end = i + 1;
    while (end < length && text[end] != '\\' && text[end] != '"') ++end;
    rc = out.Append(text + i, end - i);
    i = end - 1;
  }
  if (rc != core::kOk) return rc;
  *out_text = out.Data();
  *out_length = out.Length();
  return 0;
}

int JsonParser::AppendUnit(uint32_t code_point) {
  char16_t units[2];
  int32_t count = 1;
  if (code_point >= 0x10000) {
    units[0] = static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<char16_t>(code_point);
  }
  const int rc = core::WideToMultiByteN(unit_work_, units, count, GetCodePage());
  if (rc != core::kOk) return rc;
  return unescape_work_.Append(unit_work_);
}

int JsonParser::StartElementEvent(const char* name) {
  if (tree_mode_ == 0) {
    const int rc = path_stack_.Push(name, static_cast<uint32_t>(std::strlen(name)));
    if (rc != 0) return rc;
  }
  return quiet_ ? 0 : OnStartElement(name);
}

int JsonParser::EndElementEvent(const char* name) {
  if (tree_mode_ != 0 || path_stack_.Count() == 0) return quiet_ ? 0 : OnEndElement(name);
  if (bracket_marker_mode_ == 0) {
    path_stack_.Pop();
    return OnEndElement(name);
  }
  const char* top = path_stack_.Top();
  const bool top_is_array = std::strcmp(top, "[") == 0;
  if (std::strcmp(top, name) == 0 || (std::strcmp(name, "]") == 0 && top_is_array) ||
      (std::strcmp(name, "}") == 0 && !top_is_array)) {
    path_stack_.Pop();
  }
  return OnEndElement(name);
}

int JsonParser::EndElement(uint32_t type) {
  if (tree_mode_ != 0) {
    JsonNode* node = current_;
    if (node == nullptr) return 0;
    node->SetEndPosition(position_);
    node->SetType(type);
    current_ = node->Parent();
    return quiet_ ? 0 : OnEndElement(node->NameText());
  }
  path_stack_.SetValueType(type);
  return EndElementEvent(path_stack_.Top());
}

int JsonParser::EndValue(uint32_t type) {
  if (tree_mode_ == 0 && bracket_marker_mode_ != 0 && std::strcmp(path_stack_.Top(), "[") == 0) {
    return EndElementEvent("");
  }
  return EndElement(type);
}

int JsonParser::CompleteValue(uint32_t start, uint32_t end) {
  if (end > start) {
    const char* value = nullptr;
    int32_t length = 0;
    int rc = JsonUnescape(data_ + start, static_cast<int32_t>(end - start), &value, &length);
    if (rc != 0) return rc;
    if (quiet_) {
      if (current_ != nullptr) {
        if ((rc = current_->AppendValueText(value, length)) != core::kOk) return rc;
        if (raw_name_fallback_ != 0 && current_->ValueLength() == 0) current_->SetValueStart(0);
      }
      token_start_ = position_;
      return 0;
    }
    if (token_.AssignJson(value, length) != core::kOk) return kJsonGrowthFailed;
    rc = OnValue(token_.Text());
    if (rc != 0) return rc;
    if (tree_mode_ != 0 && current_ != nullptr) {
      rc = current_->AppendValueText(token_.Text(), token_.Length());
      if (rc != core::kOk) return rc;
      if (raw_name_fallback_ != 0 && current_->ValueLength() == 0) current_->SetValueStart(0);
    }
  }
  token_start_ = position_;
  return 0;
}

int JsonParser::CompleteName(uint32_t start, uint32_t end) {
  const char* name = nullptr;
  int32_t length = 0;
  const int unescaped = JsonUnescape(data_ + start, static_cast<int32_t>(end - start), &name, &length);
  if (unescaped != 0) return unescaped;
  if (quiet_) {
    token_start_ = position_;
    return current_ != nullptr ? current_->SetNameText(name, length) : 0;
  }
  if (token_.AssignJson(name, length) != core::kOk) return kJsonGrowthFailed;
  if (tree_mode_ != 0 && current_ != nullptr) {
    const int rc = current_->SetNameText(token_.Text(), token_.Length());
    if (rc != core::kOk) return rc;
  }
  token_start_ = position_;
  if (tree_mode_ == 0) {
    const int rc = path_stack_.Push(token_.Text(), static_cast<uint32_t>(token_.Length()));
    if (rc != 0) return rc;
  }
  return OnStartElement(token_.Text());
}

int JsonParser::OpenContainer(bool bracket, uint8_t kind) {
  int rc = 0;
  if (bracket && containers_.Push(kind) != 0) return kJsonGrowthFailed;
  if (root_ == nullptr) {
    root_ = JsonNode::Create(node_pool_, nullptr, position_ - 1, "json");
    if (root_ == nullptr) return core::kOutOfMemory;
    current_ = root_;
    rc = StartElementEvent("json");
    if (rc != 0) return rc;
  }
  if (tree_mode_ != 0) {
    // Every node but the root has a parent, so that the tree owns it.
    if (current_ == nullptr) return MarkupError();
    JsonNode* place = JsonNode::Create(node_pool_, current_, position_);
    if (place == nullptr) return core::kOutOfMemory;
    current_ = place;
  }
  if (kind != JsonContainerStack::kObject) {
    if (bracket_marker_mode_ == 0) {
      rc = StartElementEvent("");
    } else if (bracket) {
      rc = StartElementEvent("[");
    }
    state_ = kExpectValue;
  } else {
    if (bracket_marker_mode_ != 0 && bracket) rc = StartElementEvent("{");
    state_ = kExpectName;
  }
  token_start_ = position_;
  return rc;
}

int JsonParser::CloseContainer(uint8_t kind) {
  const bool object = kind == JsonContainerStack::kObject;
  if (containers_.Count() == 0 || containers_.Pop() != kind) return MarkupError();
  int rc = 0;
  // An empty container, or a comma before its end: the place made for the next member or element
  // goes again (in stream mode, with the segment pushed for the next element).
  if (previous_char_ == (object ? '{' : '[') || previous_char_ == ',') {
    if (!object && bracket_marker_mode_ == 0 && (rc = EndElementEvent("")) != 0) return rc;
    if (tree_mode_ != 0 && current_ != nullptr && current_->Parent() != nullptr) {
      JsonNode* parent = current_->Parent();
      JsonNode::RemoveChild(parent, current_);
      current_ = parent;
    }
  }
  const uint32_t type = object ? kJsonObject : kJsonArray;
  const char* marker = object ? "}" : "]";
  if (bracket_marker_mode_ == 0) {
    rc = EndValue(type);
  } else if (tree_mode_ != 0) {
    if (object) rc = EndElementEvent(marker);
    if (rc == 0) rc = EndElement(type);
  } else {
    path_stack_.SetValueType(type);
    rc = EndElementEvent(marker);
    const char* top = path_stack_.Top();
    if (rc == 0 && std::strcmp(top, "[") != 0) rc = EndElementEvent(top);
  }
  if (rc != 0) return rc;
  if (containers_.Count() == 0) return DocumentComplete();
  state_ = kAfterValue;
  return 0;
}

int JsonParser::DocumentComplete() {
  state_ = kDocumentComplete;
  if (record_boundary_ == 0) return 0;
  switch (document_mode_) {
    case 0:
      state_ = kAfterDocument;
      return OnDocumentEnd();
    case 1:
    case 3:
      record_boundary_ = 0;
      return OnDocumentEnd();
    case 2:
      record_boundary_ = 0;
      if (!end_delimiter_.IsEmpty()) return 0;
      state_ = kRecordEnd;
      return OnDocumentEnd();
    default:
      return 0;
  }
}

int JsonParser::NewRootForScalar(uint32_t type, uint32_t start) {
  if (tree_mode_ == 0) {
    path_stack_.SetValueType(type);
    return 0;
  }
  FreeDocumentTree();
  root_ = JsonNode::Create(node_pool_, nullptr, start);
  current_ = root_;
  selected_ = nullptr;
  if (root_ == nullptr) return core::kOutOfMemory;
  root_->SetType(type);
  return 0;
}

int JsonParser::TopLevelScalar(uint8_t c) {
  top_level_scalar_ = 1;
  const uint32_t start = position_ - 1;
  token_start_ = start;
  const auto* d = reinterpret_cast<const uint8_t*>(data_);
  if (c == '"') {
    escape_count_ = 0;
    state_ = kString;
    return NewRootForScalar(kJsonString, start);
  }
  // A number runs over number characters, a literal up to whitespace; either ends with the text, and
  // the character that ends it is taken with it.
  const uint8_t run_class = char_class_[c];
  uint32_t end = position_;
  if (run_class == kNumberChar) {
    while (end < input_length_ && char_class_[d[end]] == kNumberChar) ++end;
  } else {
    while (end < input_length_ && char_class_[d[end]] != kBlank) ++end;
  }
  position_ = end < input_length_ ? end + 1 : end;
  uint32_t type = kJsonNumber;
  if (run_class != kNumberChar) {
    const char* text = data_ + start;
    const auto length = static_cast<int32_t>(end - start);
    if (Same(text, length, "true") || Same(text, length, "false")) {
      type = kJsonBoolean;
    } else if (Same(text, length, "null")) {
      type = kJsonNull;
    } else {
      return MarkupError();
    }
  }
  int rc = NewRootForScalar(type, start);
  if (rc != 0) return rc;
  if (root_ != nullptr && tree_mode_ != 0) root_->SetEndPosition(end);
  rc = CompleteValue(start, end);
  if (rc != 0) return rc;
  return DocumentComplete();
}

// ParseStep is one block per state; a step handles one character or one run, and a run that reaches
// the end of the input goes on with the next text.
[[gnu::always_inline]] inline int JsonParser::ParseStep() {
  const auto* d = reinterpret_cast<const uint8_t*>(data_);
  const uint32_t n = input_length_;
  int c = 0;
  int rc = 0;
  switch (state_) {
    case kStart: {
      c = d[position_++];
      if (c == 0xFF) {
        previous_char_ = static_cast<uint8_t>(c);
        return 0;
      }
      if (c == '(') {
        wrapped_ = 1;
        token_start_ = position_;
      } else {
        --position_;
      }
      state_ = document_mode_ == 2 ? kRecordStart : kTopValue;
      return 0;
    }

    case kTopValue: {
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      token_start_ = position_;
      if (c == '/') break;
      if ((rc = OnDocumentStart()) != 0) return rc;
      if (c == '[' || c == '{') {
        top_level_scalar_ = 0;
        rc = OpenContainer(true, c == '[' ? JsonContainerStack::kArray : JsonContainerStack::kObject);
      } else {
        rc = TopLevelScalar(static_cast<uint8_t>(c));
      }
      previous_char_ = static_cast<uint8_t>(c);
      return rc;
    }

    case kExpectName: {
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      token_start_ = position_;
      if (c == '/') break;
      if (c == '}') {
        state_ = kAfterValue;
        rc = CloseContainer(JsonContainerStack::kObject);
      } else if (c == '"') {
        escape_count_ = 0;
        state_ = kName;
      } else {
        return MarkupError();
      }
      previous_char_ = static_cast<uint8_t>(c);
      return rc;
    }

    case kExpectValue: {
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      token_start_ = position_ - 1;
      if (c == '/') break;
      if (tree_mode_ != 0 && current_ != nullptr) current_->SetValueStart(position_ - 1);
      if (char_class_[c] == kNumberChar) {
        state_ = kNumber;
      } else if (c == '"') {
        escape_count_ = 0;
        state_ = kString;
      } else if (c == '{' || c == '[') {
        rc = OpenContainer(true, c == '[' ? JsonContainerStack::kArray : JsonContainerStack::kObject);
      } else if (c == ']') {
        state_ = kAfterValue;
        rc = CloseContainer(JsonContainerStack::kArray);
      } else {
        state_ = kLiteral;
      }
      previous_char_ = static_cast<uint8_t>(c);
      return rc;
    }

    case kName:
    case kString: {
      uint32_t p = position_;
      bool closed = false;
      while (p < n) {
        if (escape_count_ == 0) {
          p = SkipPlain(d, p, n);
          if (p == n) break;
          if (d[p++] == '"') {
            closed = true;
            break;
          }
          escape_count_ = kAfterBackslash;
        } else if (escape_count_ == kAfterBackslash) {
          escape_count_ = d[p++] == 'u' ? 4 : 0;
        } else {
          ++p;
          --escape_count_;
        }
      }
      position_ = p;
      if (!closed) return 0;
      previous_char_ = '"';
      if (state_ == kName) {
        state_ = kAfterName;
        return CompleteName(token_start_, p - 1);
      }
      if (tree_mode_ == 0) path_stack_.SetValueType(kJsonString);
      if ((rc = CompleteValue(token_start_, p)) != 0) return rc;
      if (top_level_scalar_ != 0) {
        if (tree_mode_ != 0 && root_ != nullptr) root_->SetEndPosition(position_);
        return DocumentComplete();
      }
      state_ = kAfterValue;
      return EndValue(kJsonString);
    }

    case kNumber: {
      uint32_t p = position_;
      while (p < n && char_class_[d[p]] == kNumberChar) ++p;
      if (p == n) {
        position_ = p;
        return 0;
      }
      const uint8_t end_class = char_class_[d[p]];
      if (end_class != kBlank && end_class != kDelimiter) {
        position_ = p + 1;
        return MarkupError();
      }
      // The ending character is read again after the value.
      position_ = p;
      previous_char_ = d[p - 1];
      if (tree_mode_ == 0) path_stack_.SetValueType(kJsonNumber);
      if ((rc = CompleteValue(token_start_, p)) != 0) return rc;
      state_ = kAfterValue;
      return EndValue(kJsonNumber);
    }

    case kLiteral: {
      uint32_t p = position_;
      while (p < n && char_class_[d[p]] != kBlank && char_class_[d[p]] != kDelimiter) {
        if (++p - token_start_ >= 6) {
          position_ = p;
          return MarkupError();
        }
      }
      position_ = p;
      if (p == n) return 0;
      const char* text = data_ + token_start_;
      const auto length = static_cast<int32_t>(p - token_start_);
      uint32_t type = kJsonBoolean;
      if (SameNoCase(text, length, "null")) {
        type = kJsonNull;
      } else if (!SameNoCase(text, length, "true") && !SameNoCase(text, length, "false")) {
        position_ = p + 1;
        return MarkupError();
      }
      previous_char_ = d[p - 1];
      if (tree_mode_ == 0) path_stack_.SetValueType(type);
      if ((rc = CompleteValue(token_start_, p)) != 0) return rc;
      state_ = kAfterValue;
      return EndValue(type);
    }

    case kAfterName: {
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      token_start_ = position_;
      if (c == '/') break;
      if (c != ':') return MarkupError();
      state_ = kExpectValue;
      previous_char_ = ':';
      return 0;
    }

    case kAfterValue: {
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      token_start_ = position_;
      if (c == '/') break;
      if (c == ',' && containers_.Count() > 0) {
        rc = OpenContainer(false, containers_.Top());
      } else if (c == ']') {
        rc = CloseContainer(JsonContainerStack::kArray);
      } else if (c == '}') {
        rc = CloseContainer(JsonContainerStack::kObject);
      } else {
        return MarkupError();
      }
      previous_char_ = static_cast<uint8_t>(c);
      return rc;
    }

    case kAfterDocument: {
      c = d[position_++];
      if (c == '/') break;
      if (c == ')' && wrapped_ != 0) {
        wrapped_ = 0;
      } else if (char_class_[c] != kBlank && allow_trailing_content_ == 0) {
        return SetErrorText(kJsonMarkupError, kTrailingText);
      }
      previous_char_ = static_cast<uint8_t>(c);
      return 0;
    }

    case kDocumentComplete: {
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      record_boundary_ = 1;
      if (document_mode_ == 2) {
        --position_;
        state_ = kRecordEnd;
      } else if (c == ')' && wrapped_ != 0) {
        state_ = kAfterDocument;
        previous_char_ = ')';
      } else {
        // The next document of a sequence begins.
        --position_;
        FreeDocumentTree();
        top_level_scalar_ = 0;
        state_ = kTopValue;
      }
      return 0;
    }

    case kRecordStart: {
      if (delimiter_match_.IsEmpty()) {
        if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      } else {
        c = d[position_++];
      }
      const int32_t matched = delimiter_match_.Length();
      if (matched < start_delimiter_.Length()) {
        if (static_cast<uint8_t>(start_delimiter_.Data()[matched]) != c) {
          return SetErrorText(kJsonMarkupError, kRecordStartText);
        }
        if ((rc = delimiter_match_.AppendByte(static_cast<uint8_t>(c))) != 0) return rc;
        if (delimiter_match_.Length() < start_delimiter_.Length()) return 0;
      } else {
        --position_;
      }
      delimiter_match_.Clear();
      top_level_scalar_ = 0;
      state_ = kTopValue;
      return 0;
    }

    case kRecordEnd: {
      const int32_t matched = delimiter_match_.Length();
      if (matched < end_delimiter_.Length()) {
        c = d[position_++];
        if (static_cast<uint8_t>(end_delimiter_.Data()[matched]) != c) {
          return SetErrorText(kJsonMarkupError, kRecordEndText);
        }
        if ((rc = delimiter_match_.AppendByte(static_cast<uint8_t>(c))) != 0) return rc;
        return delimiter_match_.Length() == end_delimiter_.Length() ? OnDocumentEnd() : 0;
      }
      if ((rc = SkipWhitespace(&c)) != 0 || c < 0) return rc;
      --position_;
      delimiter_match_.Clear();
      record_boundary_ = 1;
      if (c == ')' && wrapped_ != 0) {
        state_ = kAfterDocument;
      } else {
        FreeDocumentTree();
        state_ = kRecordStart;
      }
      return 0;
    }

    case kLineComment:
    case kBlockComment: {
      uint32_t p = position_;
      bool done = false;
      if (state_ == kLineComment) {
        while (p < n && d[p] != '\n') ++p;
        if (p < n) {
          ++p;
          done = true;
        }
      } else {
        uint8_t previous = previous_char_;
        while (p < n) {
          const uint8_t ch = d[p++];
          if (ch == '/' && previous == '*') {
            done = true;
            break;
          }
          previous = ch;
        }
        previous_char_ = previous;
      }
      position_ = p;
      token_start_ = p;
      if (done) {
        state_ = saved_state_;
        previous_char_ = saved_previous_char_;
      }
      return 0;
    }

    case kAfterSlash: {
      c = d[position_++];
      if (c == '*') {
        state_ = kBlockComment;
        previous_char_ = ' ';
        return 0;
      }
      if (c != '/') return MarkupError();
      state_ = kLineComment;
      return 0;
    }

    default:
      return MarkupError();
  }
  // A "/" begins a comment; the state and the previous character come back when it ends.
  saved_state_ = state_;
  saved_previous_char_ = previous_char_;
  state_ = kAfterSlash;
  return 0;
}

int JsonParser::ParseJson() {
  int rc = 0;
  while (rc == 0 && position_ < input_length_) rc = ParseStep();
  return rc;
}

}  // namespace velmora::parsers
