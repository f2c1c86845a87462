// Tokenizer: cuts a private copy of a text into tokens in place, at any of a set of separator
// characters, optionally keeping quoted parts whole; and SplitToStrList, which adds the tokens of a
// text to a StrList.
//
// A tokenizer is used by one thread at a time. The tokens it hands out point into its own copy of the
// text and stay valid until it is initialised, reset or destroyed.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"

namespace velmora::core {

class Tokenizer {
 public:
  // kStatusEnd is the status once Next was called with nothing left.
  static constexpr int32_t kStatusEnd = 111;

  Tokenizer() { Reset(); }
  Tokenizer(const Tokenizer&) = delete;
  Tokenizer& operator=(const Tokenizer&) = delete;

  // Reset empties the text and restores the defaults: separators " \r\n\t", position 0, status 0,
  // leading separators skipped, quotes not honoured.
  void Reset();
  // Init resets the tokenizer, copies length bytes of text (a negative length counts as 0) and takes
  // the separator characters (null: no character separates). 0 or the copy's code (200).
  [[nodiscard]] int Init(const char* text, int32_t length, const char* separators);
  // InitCString is Init with the text's length.
  [[nodiscard]] int InitCString(const char* text, const char* separators);

  // Next returns the next token: the separator that ends it is overwritten with a zero and passed. With
  // nothing left it returns "" and sets the status to kStatusEnd.
  const char* Next();
  // SkipQuoted returns, for the quote character at the position, the index just past its closing
  // quote (a backslash makes the character after it ordinary), or the text length when the text ends
  // first. The position is not changed.
  int32_t SkipQuoted() const;

  int32_t Position() const { return position_; }
  int32_t TextLength() const { return text_.Length(); }
  int32_t Status() const { return status_; }
  void SetSkipLeadingSeparators(bool on) { skip_leading_separators_ = on ? 1 : 0; }
  void SetHonourQuotes(bool on) { honour_quotes_ = on ? 1 : 0; }

 private:
  void SetSeparators(const char* separators);
  bool IsSeparator(char c) const { return is_separator_[static_cast<uint8_t>(c)]; }

  Buffer text_;
  Buffer separators_;
  int32_t position_ = 0;
  int32_t status_ = 0;
  uint8_t skip_leading_separators_ = 1;
  uint8_t honour_quotes_ = 0;
  bool is_separator_[256] = {};
};

// TextTokenizer is the name the path walkers of the document parsers use for the same tokenizer.
using TextTokenizer = Tokenizer;

// SplitToStrList appends to list (without emptying it) the tokens of text cut at any of the separator
// characters. Runs of separators give no empty tokens, except that two or more separators after the
// last token give one final empty item. 0, or the first failing code (items added before it stay).
[[nodiscard]] int SplitToStrList(const char* text, const char* separators, StrList& list);

}  // namespace velmora::core
