// One parsed configuration text ("Name=value", "Name[2]=value", or a name alone to query), and the two
// value conversions every Config in the chain uses.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::component {

// ConfigSettingParts holds the parts of one configuration text. It is filled by Parse and then offered
// to a component's Config; one thread at a time.
class ConfigSettingParts {
 public:
  ConfigSettingParts() = default;
  ConfigSettingParts(const ConfigSettingParts&) = delete;
  ConfigSettingParts& operator=(const ConfigSettingParts&) = delete;

  // Parse splits text into name, optional index and value and returns 0, or 200 when memory runs out.
  // A text without '=' is a query (Query() == 1) whose name is taken as written, blanks included. With
  // a value, blanks round the name and the value are removed and a value in double quotes loses them.
  // A null text gives an empty name. With a nonzero escape flag, \r \n \t and \<c> inside a quoted
  // value are decoded; with 0 backslashes stay as they are.
  [[nodiscard]] int Parse(const char* text, int escape);

  const core::Buffer& Name() const { return name_; }
  const core::Buffer& Value() const { return value_; }
  // IndexText is the text between '[' and ']' (or '(' and ')') without blanks round it.
  const core::Buffer& IndexText() const { return index_text_; }
  // Index is IndexText as a number, -1 when there is no index or it is not a plain decimal number.
  // "[-1]" also gives -1; a caller that must tell it from a bad index looks at IndexText.
  int32_t Index() const { return index_; }
  int Query() const { return query_; }
  // WideName is room for the UTF-16 form of the name; Parse does not fill it.
  core::WideStringBuffer& WideName() { return wide_name_; }

 private:
  [[nodiscard]] int CloseIndex(const char* start, const char* end);
  [[nodiscard]] int CopyValue(const char* start, const char* end, bool decode_escapes);

  core::Buffer name_;
  core::Buffer value_;
  core::Buffer index_text_;
  core::WideStringBuffer wide_name_;
  int32_t index_ = -1;
  uint8_t query_ = 0;
};

// ParseConfigBool returns 1 for the values "TRUE", "yes" (any case) and "1", else 0.
int ParseConfigBool(const ConfigSettingParts& setting);
// ParseConfigInt returns 1 for "TRUE"/"yes", 0 for "FALSE"/"no" (any case), the hexadecimal value of a
// text starting "0x" or "0X", and otherwise the decimal value up to the first non-digit ("12abc" gives
// 12, "abc" 0).
int32_t ParseConfigInt(const ConfigSettingParts& setting);

}  // namespace velmora::component
