#include "asn1/oid_text.h"

#include "asn1/der_codes.h"

namespace velmora::pki {
namespace {

__extension__ typedef unsigned __int128 Arc;

constexpr Arc kArcMax = ~Arc{0};
// A 128-bit arc takes at most 19 base-128 groups.
constexpr int kMaxGroups = 19;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// AppendBase128 appends value in base 128, high group first, every group but the last marked 0x80.
int AppendBase128(Arc value, core::BufferCore& out) {
  uint8_t groups[kMaxGroups];
  int n = 0;
  do {
    groups[kMaxGroups - 1 - n] = static_cast<uint8_t>(value & 0x7F) | (n == 0 ? 0 : 0x80);
    value >>= 7;
    ++n;
  } while (value != 0);
  return out.Append(groups + kMaxGroups - n, n);
}

// AppendDecimal appends the decimal text of value.
int AppendDecimal(Arc value, core::BufferCore& out) {
  char digits[40];
  int n = 0;
  do {
    digits[sizeof digits - 1 - n] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
    ++n;
  } while (value != 0);
  return out.Append(digits + sizeof digits - n, n);
}

}  // namespace

int OidTextToContent(const char* text, core::BufferCore& out) {
  if (text == nullptr) text = "";
  const char* p = text;
  while (IsBlank(*p)) ++p;
  const char* end = p;
  while (*end != '\0') ++end;
  while (end > p && IsBlank(end[-1])) --end;

  Arc first = 0;
  Arc current = 0;
  int count = 0;
  core::Buffer content;
  // Arcs end at each dot and at the end of the text; an empty text is one arc 0.
  for (;; ++p) {
    if (p != end && *p != '.') {
      if (*p < '0' || *p > '9') return kDerEncodeFailed;
      const unsigned digit = static_cast<unsigned>(*p - '0');
      if (current > (kArcMax - digit) / 10) return kDerEncodeFailed;
      current = current * 10 + digit;
      continue;
    }
    int rc = core::kOk;
    if (++count > kOidMaxArcs) return kDerEncodeFailed;
    if (count == 1) {
      if (current > 2) return kDerEncodeFailed;
      first = current;
    } else if (count == 2) {
      // X.690 8.19.4: the first two arcs share one subidentifier.
      if ((first < 2 && current > 39) || current > kArcMax - 80) return kDerEncodeFailed;
      rc = AppendBase128(first * 40 + current, content);
    } else {
      rc = AppendBase128(current, content);
    }
    if (rc != core::kOk) return rc;
    current = 0;
    if (p == end) break;
  }
  // With fewer than two arcs the content is the single byte 0.
  if (count < 2) return out.SetData(1, "\0");
  return out.SetData(content.Length(), content.Data());
}

int OidContentToText(const uint8_t* content, int32_t length, core::BufferCore& out) {
  core::Buffer text;
  int rc = core::kOk;
  if (length <= 0) return out.SetData(1, "0");
  int arcs = 0;
  Arc value = 0;
  bool first = true;
  for (int32_t i = 0; i < length && rc == core::kOk; ++i) {
    if (value > (kArcMax >> 7)) return kDerBadInner;
    value = (value << 7) | (content[i] & 0x7F);
    if ((content[i] & 0x80) != 0) {
      if (i + 1 == length) return kDerBadInner;  // the content ends inside a subidentifier
      continue;
    }
    if (first) {
      // X.690 8.19.4: the first subidentifier holds the first two arcs.
      const unsigned top = value < 40 ? 0 : value < 80 ? 1 : 2;
      rc = AppendDecimal(top, text);
      if (rc == core::kOk) rc = text.AppendByte('.');
      if (rc == core::kOk) rc = AppendDecimal(value - top * 40, text);
      arcs = 2;
      first = false;
    } else {
      if (++arcs > kOidMaxArcs) return kDerBadInner;
      rc = text.AppendByte('.');
      if (rc == core::kOk) rc = AppendDecimal(value, text);
    }
    value = 0;
  }
  if (rc != core::kOk) return rc;
  return out.SetData(text.Length(), text.Data());
}

}  // namespace velmora::pki
