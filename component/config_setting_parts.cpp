#include "component/config_setting_parts.h"

#include <cstring>

#include "core/numbers.h"

namespace velmora::component {

namespace {

int32_t Span(const char* start, const char* end) { return static_cast<int32_t>(end - start); }

}  // namespace

int ConfigSettingParts::Parse(const char* text, int escape) {
  query_ = 0;
  name_.Clear();
  value_.Clear();
  // A record parsed twice must not keep the index of the earlier text.
  index_ = -1;
  index_text_.Clear();
  if (text == nullptr) return core::kOk;

  // Name characters are appended run by run; an index in brackets interrupts the run. A closing bracket
  // outside an index is an ordinary name character.
  const char* p = text;
  const char* run = text;
  bool in_index = false;
  for (; *p != '\0' && *p != '='; ++p) {
    const char c = *p;
    if (in_index) {
      if (c == ']' || c == ')') {
        int rc = CloseIndex(run, p);
        if (rc != core::kOk) return rc;
        in_index = false;
        run = p + 1;
      }
    } else if (c == '[' || c == '(') {
      int rc = name_.Append(run, Span(run, p));
      if (rc != core::kOk) return rc;
      in_index = true;
      run = p + 1;
    }
  }
  // An index still open here was never closed: its characters are dropped.
  if (!in_index) {
    int rc = name_.Append(run, Span(run, p));
    if (rc != core::kOk) return rc;
  }
  if (*p == '\0') {
    query_ = 1;
    return core::kOk;
  }

  const char* value = p + 1;
  if (*value == '\0') return core::kOk;  // "Name=" sets an empty value; the name stays as written

  int rc = name_.TrimByte(' ');
  if (rc != core::kOk) return rc;
  while (*value == ' ') ++value;
  const bool quoted = *value == '"';
  if (quoted) ++value;
  const char* last = value + std::strlen(value);  // one past the last character of the text
  while (last > value && last[-1] == ' ') --last;
  // Only a quote that closes an opening one is removed.
  if (quoted && last > value && last[-1] == '"') --last;
  return CopyValue(value, last, quoted && escape != 0);
}

int ConfigSettingParts::CloseIndex(const char* start, const char* end) {
  int rc = index_text_.SetData(Span(start, end), start);
  if (rc != core::kOk) return rc;
  rc = index_text_.TrimByte(' ');
  if (rc != core::kOk) return rc;
  // The number is read from the trimmed text so that Index always agrees with IndexText.
  index_ = core::ParseIntStrict(index_text_.Data());
  return core::kOk;
}

int ConfigSettingParts::CopyValue(const char* start, const char* end, bool decode_escapes) {
  if (!decode_escapes) return value_.Append(start, Span(start, end));
  const char* run = start;
  for (const char* p = start; p < end; ++p) {
    if (*p != '\\' || p + 1 >= end) continue;  // a backslash at the very end stays
    int rc = value_.Append(run, Span(run, p));
    if (rc != core::kOk) return rc;
    ++p;
    const char decoded = *p == 'r' ? '\r' : *p == 'n' ? '\n' : *p == 't' ? '\t' : *p;
    rc = value_.AppendByte(static_cast<uint8_t>(decoded));
    if (rc != core::kOk) return rc;
    run = p + 1;
  }
  return value_.Append(run, Span(run, end));
}

int ParseConfigBool(const ConfigSettingParts& setting) {
  const core::Buffer& value = setting.Value();
  if (value.EqualsNoCase("TRUE") || value.EqualsNoCase("yes")) return 1;
  return value.EqualsBytes("1", 1);
}

int32_t ParseConfigInt(const ConfigSettingParts& setting) {
  const core::Buffer& value = setting.Value();
  if (value.EqualsNoCase("TRUE") || value.EqualsNoCase("yes")) return 1;
  if (value.EqualsNoCase("FALSE") || value.EqualsNoCase("no")) return 0;
  const char* text = value.Data();
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return core::ParseHexInt(text + 2);
  return core::ParseLong(text);
}

}  // namespace velmora::component
