// Path evaluation over the record store: a top-level form ("/", "/root/...", "*offset") and relative
// steps (child by index, "[last()-k]", names with an index or attribute predicate, parent and sibling
// moves). Steps run in a loop, never by recursion, so a path of any length needs no stack depth.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "parsers/xml_document.h"

namespace velmora::parsers {

namespace {

using std::string_view;

// StepEnd returns the index in text of the first stop byte outside single or double quotes at or after
// from (text.size() when there is none); a backslash inside quotes escapes the next byte.
size_t StepEnd(string_view text, size_t from, char stop) {
  char quote = 0;
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == '\\') {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == stop) {
      return i;
    }
  }
  return text.size();
}

// ParseDigits reads a non-empty run of decimal digits filling text; false otherwise. Values past 2^40
// are held at 2^40: no store has that many children or bytes.
bool ParseDigits(string_view text, int64_t* value) {
  if (text.empty()) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n < (int64_t{1} << 40) ? n * 10 + (c - '0') : n;
  }
  *value = n;
  return true;
}

bool StartsWith(string_view text, string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

class PathEvaluator {
 public:
  explicit PathEvaluator(XmlDocument& document)
      : document_(document), dom_(document.Dom()), chars_(document.Chars()), path_(document.PathText()) {}

  int Run(string_view path) {
    bool top_level = true;
    while (true) {
      if (top_level) {
        int rc = TopLevel(&path, &top_level);
        if (rc != 0 || path.empty()) return rc;
        continue;
      }
      while (!path.empty() && path.front() == '/') path.remove_prefix(1);
      if (path.empty()) return 0;
      int rc = path.front() == '[' ? IndexStep(&path) : NamedStep(&path, &top_level);
      if (rc != 0) return rc;
    }
  }

 private:
  int Fail(int code) { return XmlErrorText(document_, code); }

  // TopLevel handles the first part of a path and leaves in *path what is to be evaluated as relative
  // steps (*top_level false), or an empty path when the whole path is done.
  int TopLevel(string_view* path, bool* top_level) {
    string_view text = *path;
    *top_level = false;
    if (text.empty()) return 0;
    if (dom_.Root() == 0) return Fail(kXmlNoDom);
    int64_t n = 0;
    if (text.front() == '*' && ParseDigits(text.substr(1, StepEnd(text, 1, '/') - 1), &n)) {
      *path = text.substr(StepEnd(text, 1, '/'));
      if (n == 0) {
        dom_.SetCurrent(dom_.Root());
      } else if (n < dom_.Length()) {
        if (dom_.SelectElementAt(static_cast<uint32_t>(n)) != 0) return Fail(kXmlInvalidPath);
      } else {
        *path = string_view();
      }
      return 0;
    }
    if (text.front() != '/') return 0;
    const uint32_t root = dom_.Root();
    if (text.size() == 1) {
      dom_.SetCurrent(root);
      *path = string_view();
      return SetPath("/", dom_.QualifiedName(root));
    }
    const size_t step_end = StepEnd(text, 1, '/');
    const string_view step = text.substr(1, step_end - 1);
    *path = text.substr(step_end);
    if (SetPath("/", "") != 0) return Fail(kXmlOutOfMemory);
    dom_.SetCurrent(root);
    if (step == "[lastUnclosed()]") {
      if (dom_.SelectInnermostUnclosed() != 0) return Fail(kXmlInvalidPath);
    } else if (step != "[1]" && !StartsWith(step, "[last()]")) {
      int rc = MatchRoot(step);
      if (rc != 0) return rc;
    }
    return path_.AppendCString(dom_.QualifiedName(root)) != core::kOk ? Fail(kXmlOutOfMemory) : 0;
  }

  // MatchRoot checks a first step naming the root, with an optional index that must be 1.
  int MatchRoot(string_view step) {
    string_view name = step;
    const size_t bracket = step.find('[');
    if (bracket != string_view::npos) {
      int64_t n = 0;
      name = step.substr(0, bracket);
      if (step.back() != ']' || !ParseDigits(step.substr(bracket + 1, step.size() - bracket - 2), &n) || n != 1) {
        return Fail(kXmlInvalidPath);
      }
    }
    if (!chars_.IsValidName(name.data(), static_cast<int32_t>(name.size()))) return Fail(kXmlInvalidPath);
    const uint32_t root = dom_.Root();
    if (name != dom_.ExpandedName(root) && name != dom_.QualifiedName(root) && name != dom_.LocalName(root)) {
      return Fail(kXmlTopMismatch);
    }
    return 0;
  }

  // IndexStep runs "[N]" or "[last()]" with an optional non-positive offset.
  int IndexStep(string_view* path) {
    const string_view text = *path;
    const size_t close = StepEnd(text, 1, ']');
    if (close == text.size()) return Fail(kXmlInvalidPath);
    const string_view inner = text.substr(1, close - 1);
    *path = text.substr(close + 1);
    int64_t n = 0;
    if (StartsWith(inner, "last()") || StartsWith(inner, "Last()") || StartsWith(inner, "LAST()")) {
      string_view offset = inner.substr(6);
      int64_t k = 0;
      if (!offset.empty()) {
        const bool negative = offset.front() == '-';
        if (offset.front() == '-' || offset.front() == '+') offset.remove_prefix(1);
        if (!ParseDigits(offset, &k)) return Fail(kXmlInvalidPath);
        if (negative) k = -k;
      }
      if (k > 0) return Fail(kXmlInvalidPath);
      n = static_cast<int64_t>(dom_.ChildCount(CurrentOrRoot())) + k;
    } else if (!ParseDigits(inner, &n)) {
      return Fail(kXmlInvalidPath);
    }
    int rc = dom_.ChildByIndex(n, 1);
    if (rc != 0) return Fail(rc);
    if (path_.Length() > 1 && path_.AppendByte('/') != core::kOk) return Fail(kXmlOutOfMemory);
    return path_.AppendByte('[') != core::kOk || path_.AppendUInt(static_cast<uint32_t>(n)) != core::kOk ||
                   path_.AppendByte(']') != core::kOk
               ? Fail(kXmlOutOfMemory)
               : 0;
  }

  int NamedStep(string_view* path, bool* top_level) {
    const string_view text = *path;
    const size_t step_end = StepEnd(text, 0, '/');
    const string_view step = text.substr(0, step_end);
    *path = text.substr(step_end);
    if (step == ".." || step == "Parent::" || step == "++") {
      int rc = dom_.Parent();
      if (rc != 0) return Fail(rc);
      DropLastSegment();
      *top_level = true;
      return 0;
    }
    if (step == "next()" || step == "following-sibling::*[1]") {
      int rc = dom_.NextElement(1);
      return rc != 0 ? Fail(rc) : ReplaceLastSegment();
    }
    if (step == "prev()" || step == "preceding-sibling::*[1]") return Previous();
    if (step == "last()") {
      while (dom_.NextElement(1) == 0) {
      }
      return ReplaceLastSegment();
    }
    if (step == "child::*[1]" || step == "--") {
      int rc = dom_.ChildByIndex(1, 1);
      if (rc != 0) return Fail(rc);
      return path_.AppendByte('/') != core::kOk || path_.AppendCString(dom_.QualifiedName(dom_.Current())) != core::kOk
                 ? Fail(kXmlOutOfMemory)
                 : 0;
    }
    return FindStep(step);
  }

  // FindStep runs "name", "name[N]", "name[@attribute]" or "name[@attribute=value]".
  int FindStep(string_view step) {
    const size_t bracket = step.find('[');
    const string_view name = step.substr(0, bracket);
    if (!chars_.IsValidName(name.data(), static_cast<int32_t>(name.size()))) return Fail(kXmlInvalidPath);
    int64_t n = 1;
    core::Buffer name_text, attribute, value;
    bool has_value = false;
    if (bracket != string_view::npos) {
      if (StepEnd(step, bracket + 1, ']') != step.size() - 1) return Fail(kXmlInvalidPath);
      string_view inner = step.substr(bracket + 1, step.size() - bracket - 2);
      if (!inner.empty() && inner.front() == '@') {
        const size_t equals = StepEnd(inner, 1, '=');
        const string_view attribute_name = inner.substr(1, equals - 1);
        if (attribute_name.empty()) return Fail(kXmlInvalidPath);
        if (attribute.SetData(static_cast<int32_t>(attribute_name.size()), attribute_name.data()) != core::kOk) {
          return Fail(kXmlOutOfMemory);
        }
        if (equals < inner.size()) {
          has_value = true;
          if (Unquote(inner.substr(equals + 1), value) != 0) return Fail(kXmlOutOfMemory);
        }
      } else if (!ParseDigits(inner, &n)) {
        return Fail(kXmlInvalidPath);
      }
    }
    if (name_text.SetData(static_cast<int32_t>(name.size()), name.data()) != core::kOk) return Fail(kXmlOutOfMemory);
    int rc = dom_.FindElement(name_text.Data(), n, attribute.IsEmpty() ? nullptr : attribute.Data(),
                              has_value ? value.Data() : nullptr);
    if (rc != 0) return Fail(rc);
    if (path_.Length() > 1 && path_.AppendByte('/') != core::kOk) return Fail(kXmlOutOfMemory);
    if (path_.AppendCString(dom_.QualifiedName(dom_.Current())) != core::kOk) return Fail(kXmlOutOfMemory);
    if (n > 1 && path_.AppendFormat("[%u]", static_cast<uint32_t>(n)) != core::kOk) return Fail(kXmlOutOfMemory);
    return 0;
  }

  // Unquote stores a predicate value without its quotes; a backslash inside quotes keeps the next byte.
  static int Unquote(string_view text, core::Buffer& out) {
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front()) {
      text = text.substr(1, text.size() - 2);
      for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        if (out.AppendByte(static_cast<uint8_t>(text[i])) != core::kOk) return kXmlOutOfMemory;
      }
      return 0;
    }
    return out.SetData(static_cast<int32_t>(text.size()), text.data());
  }

  // Previous makes the sibling before the current element current; a first child stays itself.
  int Previous() {
    const uint32_t start = dom_.Current();
    if (start == 0 || start == dom_.Root()) return Fail(kXmlInvalidPath);
    const uint32_t parent = dom_.Word(start, kFieldParent);
    if (parent == 0) {
      dom_.SetCurrent(dom_.Root());
    } else {
      dom_.SetCurrent(parent);
      if (dom_.ChildByIndex(1, 1) != 0) {
        dom_.SetCurrent(start);
        return Fail(kXmlInvalidPath);
      }
    }
    uint32_t before = dom_.Current();
    while (before != start) {
      if (dom_.NextElement(1) != 0) {
        dom_.SetCurrent(start);
        return Fail(kXmlInvalidPath);
      }
      if (dom_.Current() == start) {
        dom_.SetCurrent(before);
        break;
      }
      before = dom_.Current();
    }
    return ReplaceLastSegment();
  }

  uint32_t CurrentOrRoot() const { return dom_.Current() != 0 ? dom_.Current() : dom_.Root(); }

  int SetPath(const char* head, const char* name) {
    return path_.SetString(head) != core::kOk || path_.AppendCString(name) != core::kOk ? kXmlOutOfMemory : 0;
  }

  int32_t LastSlash() const {
    for (int32_t i = path_.Length() - 1; i >= 0; --i) {
      if (path_.Data()[i] == '/') return i;
    }
    return -1;
  }

  // DropLastSegment cuts the text back to the last "/" (keeping at least one character), and that "/"
  // as well when more than one character is left.
  void DropLastSegment() {
    int32_t keep = LastSlash() + 1;
    if (keep < 1) keep = path_.Length() < 1 ? path_.Length() : 1;
    if (keep > 1) --keep;
    (void)path_.Resize(keep);
  }

  int ReplaceLastSegment() {
    (void)path_.Resize(LastSlash() + 1);
    return path_.AppendCString(dom_.QualifiedName(dom_.Current())) != core::kOk ? Fail(kXmlOutOfMemory) : 0;
  }

  XmlDocument& document_;
  XmlDom& dom_;
  const XmlCharTables& chars_;
  core::Buffer& path_;
};

}  // namespace

int EvaluateXPath(XmlDocument& document, const char* path) {
  // The evaluation works on its own copy, so a path pointing into the document's buffers stays intact.
  core::Buffer copy;
  if (copy.SetString(path) != core::kOk) return XmlErrorText(document, kXmlOutOfMemory);
  return PathEvaluator(document).Run(string_view(copy.Data(), static_cast<size_t>(copy.Length())));
}

}  // namespace velmora::parsers
