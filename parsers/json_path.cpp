#include "parsers/json_path.h"

#include <cstring>

#include "core/numbers.h"
#include "parsers/json_parser.h"

namespace velmora::parsers {

namespace {

constexpr char kNoTreeText[] = "DOM tree unavailable (set BuildDOM to TRUE and reparse).";

// ParseCount reads text as a decimal count; false when it is empty, holds another character or passes
// what a child count can be.
bool ParseCount(const char* text, uint64_t* value) {
  if (text[0] == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = v;
  return true;
}

// ParseLastOffset reads the k of a "last()" or "last()-k" predicate; false for anything else.
bool ParseLastOffset(const char* predicate, uint64_t* k) {
  if (std::strncmp(predicate, "last()", 6) != 0) return false;
  const char* rest = predicate + 6;
  *k = 0;
  if (*rest == '\0') return true;
  if (*rest != '-') return false;
  ++rest;
  while (*rest == ' ' || *rest == '\t') ++rest;
  const char* end = rest + std::strlen(rest);
  while (end > rest && (end[-1] == ' ' || end[-1] == '\t')) --end;
  if (end == rest) return true;
  uint64_t v = 0;
  for (const char* p = rest; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  *k = v;
  return true;
}

void SetIndexLabel(JsonNode* node, uint64_t index) {
  core::BufferCore* label = node->MutableIndexLabel();
  // A label that cannot be written stays empty; the selection itself stands.
  if (label == nullptr) return;
  if (label->SetString("[") != core::kOk || label->AppendUInt(static_cast<uint32_t>(index)) != core::kOk ||
      label->AppendByte(']') != core::kOk) {
    label->Clear();
  }
}

// NthMatching returns the child at 0-based position index among node's children matching name.
JsonNode* NthMatching(JsonNode* node, const char* name, uint64_t index) {
  for (JsonNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
    if (child->MatchesStep(name) && index-- == 0) return child;
  }
  return nullptr;
}

// NthMatchingFromLast returns the k-th matching child before the last matching one.
JsonNode* NthMatchingFromLast(JsonNode* node, const char* name, uint64_t k) {
  for (JsonNode* child = node->LastChild(); child != nullptr; child = child->PreviousSibling()) {
    if (child->MatchesStep(name) && k-- == 0) return child;
  }
  return nullptr;
}

// PredicateStep applies an index or "last()" predicate to node's children; first is 0 or 1, the number
// an index predicate gives the first child.
JsonNode* PredicateStep(JsonNode* node, const char* name, const char* predicate, uint64_t first) {
  if (node->ChildCount() == 0) return nullptr;
  uint64_t n = 0;
  if (ParseCount(predicate, &n)) {
    if (n < first || n - first >= node->ChildCount()) return nullptr;
    JsonNode* child = NthMatching(node, name, n - first);
    if (child != nullptr) SetIndexLabel(child, n);
    return child;
  }
  if (ParseLastOffset(predicate, &n)) {
    JsonNode* child = NthMatchingFromLast(node, name, n);
    if (child != nullptr) SetIndexLabel(child, node->ChildCount() - n);
    return child;
  }
  return nullptr;
}

JsonNode* FirstMatching(JsonNode* node, const char* name) {
  for (JsonNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
    if (child->MatchesStep(name)) return child;
  }
  return nullptr;
}

// XPathSpecialStep handles the navigation steps of the XPath-like form; *handled says whether step is one.
JsonNode* XPathSpecialStep(JsonNode* node, const char* step, bool* handled) {
  *handled = true;
  if (std::strcmp(step, ".") == 0) return node;
  if (std::strcmp(step, "..") == 0 || std::strcmp(step, "Parent::") == 0 || std::strcmp(step, "++") == 0) {
    return node->Parent();
  }
  if (std::strcmp(step, "next()") == 0 || std::strcmp(step, "following-sibling::*[1]") == 0) {
    return node->NextSibling();
  }
  if (std::strcmp(step, "prev()") == 0 || std::strcmp(step, "preceding-sibling::*[1]") == 0) {
    return node->PreviousSibling();
  }
  if (std::strcmp(step, "last()") == 0) {
    while (node->NextSibling() != nullptr) node = node->NextSibling();
    return node;
  }
  if (std::strcmp(step, "child::*[1]") == 0 || std::strcmp(step, "--") == 0) return node->FirstChild();
  *handled = false;
  return nullptr;
}

JsonNode* XPathStep(JsonNode* node, const char* step, bool from_root) {
  bool handled = false;
  JsonNode* special = XPathSpecialStep(node, step, &handled);
  if (handled) return special;
  core::Buffer name;
  core::Buffer predicate;
  bool has_predicate = false;
  if (SplitStepPredicate(step, name, predicate, &has_predicate) != core::kOk) return nullptr;
  if (from_root) {
    // The first step from the root names the root itself.
    if (has_predicate) {
      uint64_t n = 0;
      if (node->ChildCount() == 0) return nullptr;
      if (ParseCount(predicate.Data(), &n) && n != 1) return nullptr;
      if (!ParseCount(predicate.Data(), &n) && !ParseLastOffset(predicate.Data(), &n)) return nullptr;
    }
    return node->MatchesStep(name.Data()) ? node : nullptr;
  }
  if (!has_predicate) return FirstMatching(node, name.Data());
  return PredicateStep(node, name.Data(), predicate.Data(), 1);
}

}  // namespace

int JsonStepList::SetPath(const char* path) {
  steps_.Clear();
  cursor_ = 0;
  return SplitJsonPath(path, steps_);
}

const char* JsonStepList::Next() { return cursor_ < steps_.Count() ? steps_.Item(cursor_++) : nullptr; }

int IsJsonPath(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0;
  if (text[0] == '$') return 1;
  if (text[0] == '/') return 0;
  const char* open = std::strstr(text, "['");
  const char* close = std::strstr(text, "']");
  if (open != nullptr && close != nullptr && close > text) return 1;
  const char* dot = std::strchr(text, '.');
  return dot != nullptr && dot > text && dot[1] != '\0' && dot[1] != '.' && dot[1] != '/' ? 1 : 0;
}

int SplitJsonPath(const char* text, core::StrList& steps) {
  if (text == nullptr) return core::kOk;
  const auto length = static_cast<int32_t>(std::strlen(text));
  int32_t start = 0;
  char previous = 0;
  int rc = core::kOk;
  auto add = [&](int32_t from, int32_t to) {
    if (rc == core::kOk) rc = steps.Add(text + from, to > from ? to - from : 0);
  };
  for (int32_t i = 0; i < length && rc == core::kOk; ++i) {
    const char c = text[i];
    if (c == '\'') {
      const char* close = std::strchr(text + i + 1, '\'');
      if (close != nullptr) {
        i = static_cast<int32_t>(close - text);
        previous = '\'';
        continue;
      }
    } else if (c == '.') {
      if (previous == '.') {
        rc = steps.AddCString("..");
      } else if (i > start) {
        add(start, i);
      }
      start = i + 1;
    } else if (c == '[') {
      if (i > start) add(start, i);
      start = i;
    } else if (c == ']') {
      if (previous == '\'') {
        add(start + 2, i - 1);
      } else {
        add(start, i + 1);
      }
      start = i + 1;
    }
    previous = c;
  }
  if (start < length) add(start, length);
  return rc;
}

int SplitStepPredicate(const char* step, core::BufferCore& name, core::BufferCore& predicate, bool* has_predicate) {
  name.Clear();
  predicate.Clear();
  *has_predicate = false;
  if (step == nullptr) return core::kOk;
  if (std::strchr(step, '\\') == nullptr) {
    const char* open = std::strchr(step, '[');
    const char* close = open != nullptr ? std::strchr(open, ']') : nullptr;
    if (close == nullptr) return name.SetString(step);
    *has_predicate = true;
    const int rc = name.SetData(static_cast<int32_t>(open - step), step);
    return rc != core::kOk ? rc : predicate.SetData(static_cast<int32_t>(close - open - 1), open + 1);
  }
  bool in_name = true;
  int rc = core::kOk;
  for (const char* p = step; *p != '\0' && rc == core::kOk; ++p) {
    if (*p == '\\' && (p[1] == '[' || p[1] == ']' || p[1] == '\\')) {
      ++p;
      if (in_name) rc = name.AppendByte(static_cast<uint8_t>(*p));
      continue;
    }
    if (*p == '[') {
      const char* close = std::strchr(p + 1, ']');
      if (close != nullptr) {
        in_name = false;
        *has_predicate = true;
        rc = predicate.Append(p + 1, static_cast<int32_t>(close - p - 1));
        p = close;
        continue;
      }
    }
    if (in_name) rc = name.AppendByte(static_cast<uint8_t>(*p));
  }
  return rc;
}

int32_t PathTokenLength(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0;
  const auto length = static_cast<int32_t>(std::strlen(text));
  if (text[0] == '\'') {
    for (int32_t i = 1; i < length; ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '\'') {
        return i + 1;
      }
    }
    return length;
  }
  int32_t i = 1;
  while (i < length && text[i] == text[0]) ++i;
  return i;
}

JsonNode* WalkJsonPath(JsonNode* node, JsonStepList& steps) {
  core::Buffer name;
  core::Buffer predicate;
  for (const char* step = steps.Next(); step != nullptr && node != nullptr; step = steps.Next()) {
    if (std::strcmp(step, "@") == 0 || std::strcmp(step, "$") == 0) continue;
    if (std::strcmp(step, "..") == 0) return nullptr;
    bool has_predicate = false;
    if (SplitStepPredicate(step, name, predicate, &has_predicate) != core::kOk) return nullptr;
    node = has_predicate ? PredicateStep(node, name.Data(), predicate.Data(), 0) : FirstMatching(node, name.Data());
  }
  return node;
}

JsonNode* WalkXPathSteps(JsonNode* node, core::TextTokenizer& steps, bool from_root) {
  // The first step is always taken, so that a path of slashes alone names the root.
  const char* step = steps.Next();
  for (;;) {
    node = XPathStep(node, step, from_root);
    from_root = false;
    if (node == nullptr || steps.Position() >= steps.TextLength()) return node;
    step = steps.Next();
    if (steps.Status() == core::Tokenizer::kStatusEnd) return node;
  }
}

JsonNode* JsonFindNode(const JsonParser& parser, const char* path, int json_path_form) {
  JsonNode* selected = parser.Selected();
  if (json_path_form != 0) {
    JsonNode* start = (path[0] == '$' || selected == nullptr) ? parser.Root() : selected;
    JsonStepList steps;
    if (steps.SetPath(path) != core::kOk) return nullptr;
    return steps.Count() == 0 ? start : WalkJsonPath(start, steps);
  }
  const bool from_root = path[0] == '/' || selected == nullptr;
  core::TextTokenizer steps;
  if (steps.InitCString(path, "/") != core::kOk) return nullptr;
  return WalkXPathSteps(from_root ? parser.Root() : selected, steps, from_root);
}

int JsonParser::FindPath(const char* path, int json_path_form, int* found) {
  *found = 0;
  if (path == nullptr || path[0] == '\0' || std::strcmp(path, json_path_form != 0 ? "@" : ".") == 0) return 0;
  if (root_ == nullptr || tree_mode_ == 0) return SetErrorText(kJsonNoTree, kNoTreeText);
  JsonNode* node = JsonFindNode(*this, path, json_path_form);
  if (node == nullptr) return 0;
  selected_ = node;
  *found = 1;
  if (path_text_reply_ == 0) return path_reply_.SetString(path);
  return path_reply_.SetString(json_path_form != 0 ? node->JsonPathText() : node->XPathText());
}

int JsonParser::EvalPath(const char* path) {
  const int json_path_form = path_mode_ == 2 || IsJsonPath(path) != 0 ? 1 : 0;
  int found = 0;
  const int rc = FindPath(path, json_path_form, &found);
  if (rc != 0) return rc;
  return found != 0 ? 0 : SetErrorText(kJsonPathNotFound, "Invalid XPath.");
}

int JsonParser::AttrExists(const char* path) {
  if (path == nullptr || path[0] == '\0' || root_ == nullptr || tree_mode_ == 0) return 0;
  const int json_path_form = path_mode_ == 2 || IsJsonPath(path) != 0 ? 1 : 0;
  int found = 0;
  return FindPath(path, json_path_form, &found) == 0 ? found : 0;
}

int JsonParser::NodeType() {
  if (tree_mode_ == 0) return static_cast<int>(path_stack_.ValueType());
  const JsonNode* node = selected_ != nullptr ? selected_ : current_;
  if (node == nullptr) return SetErrorText(kJsonNothingSelected, "Invalid JSONPath.");
  return static_cast<int>(node->Type());
}

const char* JsonParser::CurrentName() {
  if (selected_ == nullptr) return core::kEmptyText;
  if (selected_->ValueLength() != 0 || raw_name_fallback_ == 0 || selected_->ValueStart() < selected_->StartPosition()) {
    return selected_->ValueText();
  }
  const uint32_t start = selected_->ValueStart();
  const uint32_t end = selected_->EndPosition();
  if (end > static_cast<uint32_t>(input_.Length()) || start > end) return core::kEmptyText;
  if (raw_text_.SetData(static_cast<int32_t>(end - start), input_.Data() + start) != core::kOk) {
    return core::kEmptyText;
  }
  return raw_text_.Data();
}

}  // namespace velmora::parsers
