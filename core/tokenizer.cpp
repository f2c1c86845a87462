#include "core/tokenizer.h"

#include <cstring>

#include "platform/text.h"

namespace velmora::core {

namespace {

constexpr char kDefaultSeparators[] = " \r\n\t";

}  // namespace

void Tokenizer::SetSeparators(const char* separators) {
  std::memset(is_separator_, 0, sizeof is_separator_);
  for (const char* s = separators; s != nullptr && *s != '\0'; ++s) is_separator_[static_cast<uint8_t>(*s)] = true;
}

void Tokenizer::Reset() {
  skip_leading_separators_ = 1;
  position_ = 0;
  text_.Clear();
  (void)separators_.SetString(kDefaultSeparators);  // fits inline: never allocates
  SetSeparators(kDefaultSeparators);
  status_ = 0;
  honour_quotes_ = 0;
}

int Tokenizer::Init(const char* text, int32_t length, const char* separators) {
  if (length < 0 || text == nullptr) length = 0;
  // Copy before resetting, so that text may be a token of this tokenizer.
  int rc = text_.SetData(length, text);
  if (rc != kOk) {
    Reset();
    return rc;
  }
  skip_leading_separators_ = 1;
  position_ = 0;
  status_ = 0;
  honour_quotes_ = 0;
  rc = separators_.SetString(separators);
  if (rc != kOk) {
    Reset();
    return rc;
  }
  SetSeparators(separators);
  return kOk;
}

int Tokenizer::InitCString(const char* text, const char* separators) {
  return Init(text, platform::StrLen(text), separators);
}

int32_t Tokenizer::SkipQuoted() const {
  const int32_t length = text_.Length();
  if (position_ + 1 >= length) return position_ < length ? position_ + 1 : length;
  const char* t = text_.Data();
  const char quote = t[position_];
  int32_t i = position_ + 1;
  while (i < length) {
    if (t[i] == '\\') {
      i += 2;
    } else if (t[i] == quote) {
      return i + 1;
    } else {
      ++i;
    }
  }
  // A backslash as the last character steps one past the end; the text ends here all the same.
  return length;
}

const char* Tokenizer::Next() {
  const int32_t length = text_.Length();
  char* t = text_.Data();
  if (skip_leading_separators_) {
    while (position_ < length && IsSeparator(t[position_])) ++position_;
  }
  if (position_ >= length) {
    status_ = kStatusEnd;
    return kEmptyText;
  }
  const int32_t start = position_;
  for (;;) {
    const char c = t[position_];
    if (honour_quotes_ && (c == '"' || c == '\'')) {
      position_ = SkipQuoted();
      if (position_ >= length) return t + start;
      continue;
    }
    if (IsSeparator(c)) {
      t[position_++] = '\0';
      return t + start;
    }
    if (++position_ >= length) return t + start;
  }
}

int SplitToStrList(const char* text, const char* separators, StrList& list) {
  Tokenizer tokenizer;
  int rc = tokenizer.InitCString(text, separators);
  if (rc != kOk) return rc;
  while (tokenizer.Position() < tokenizer.TextLength()) {
    rc = list.AddCString(tokenizer.Next());
    if (rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace velmora::core
