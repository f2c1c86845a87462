#include "pki/general_names.h"

#include <cstdlib>
#include <cstring>

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"
#include "asn1/der_read.h"
#include "asn1/oid_text.h"
#include "core/hex.h"
#include "core/str_list.h"
#include "pki/cert_extensions.h"
#include "pki/certificate.h"
#include "pki/distinguished_name.h"

namespace velmora::pki {

namespace {

constexpr char kSubjectAltNameOid[] = "2.5.29.17";

// The prefixes in the order they are tried, with their GeneralName tag numbers.
struct Prefix {
  const char* text;
  uint8_t tag_number;
};
constexpr Prefix kPrefixes[] = {{"email:", 1}, {"uri:", 6}, {"dns:", 2}, {"rid:", 8}, {"ip:", 7}, {"dirname:", 4}};

const char* PrefixOf(uint8_t tag_number) {
  for (const Prefix& prefix : kPrefixes) {
    if (prefix.tag_number == tag_number) return prefix.text;
  }
  return "";
}

// AppendIpv6 appends the RFC 5952 section 4 text of 16 address bytes: groups in lower-case hex without
// leading zeros, the first longest run of two or more zero groups written as "::".
int AppendIpv6(const uint8_t* bytes, core::BufferCore& out) {
  uint32_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint32_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  int best_start = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best_start = i;
      best_length = j - i;
    }
    i = j > i ? j : i + 1;
  }
  int rc = core::kOk;
  for (int i = 0; i < 8 && rc == core::kOk; ++i) {
    if (i == best_start) {
      rc = out.Append("::", 2);
      i += best_length - 1;
      continue;
    }
    const bool after_gap = best_start >= 0 && i == best_start + best_length;
    rc = out.AppendFormat(i == 0 || after_gap ? "%x" : ":%x", groups[i]);
  }
  return rc;
}

// AppendNameValue appends the text of one GeneralName of tag number t whose content is value.
int AppendNameValue(uint8_t t, const core::BufferCore& value, core::BufferCore& out) {
  switch (t) {
    case 1:
    case 2:
    case 6:
      return out.Append(value);
    case 4: {
      core::Buffer name;
      int rc = DecodeNameToString(value, name);
      // 434, a BMPString that is not UTF-16, is a malformed value like any other.
      if (rc == 434) return kDerBadInner;
      return rc != core::kOk ? rc : out.Append(name);
    }
    case 7:
      if (value.Length() == 4) {
        const uint8_t* b = value.Bytes();
        return out.AppendFormat("%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
      }
      if (value.Length() == 16) return AppendIpv6(value.Bytes(), out);
      return core::AppendHexLower(out, value.Data(), value.Length());
    case 8: {
      core::Buffer oid;
      int rc = OidContentToText(value.Bytes(), value.Length(), oid);
      return rc != core::kOk ? rc : out.Append(oid);
    }
    default:
      return core::kOk;
  }
}

// AppendOtherNameValue appends the content of the value of an otherName (RFC 5280 4.2.1.6: type-id and
// [0] EXPLICIT value); a name of another shape adds nothing.
int AppendOtherNameValue(Asn1Element& name, core::BufferCore& out) {
  if (name.Parse(0, nullptr) != core::kOk || name.childCount() != 2) return core::kOk;
  Asn1Element* value = name.firstChild()->nextSibling();
  if (value->tag() != 0xA0 || value->Parse(0, nullptr) != core::kOk || value->firstChild() == nullptr) {
    return core::kOk;
  }
  core::Buffer content;
  int rc = DerReadOctets(*value->firstChild(), 0, content, nullptr);
  return rc != core::kOk ? rc : out.Append(content);
}

// ParseAddress reads "a.b.c.d" with each part a decimal number from 0 to 255 into four bytes.
bool ParseAddress(const char* text, uint8_t address[4]) {
  core::StrList parts;
  if (core::SplitToStringList(parts, text, ".", 1, 1) != core::kOk || parts.Count() != 4) return false;
  for (int32_t i = 0; i < 4; ++i) {
    const char* part = parts.Item(i);
    const size_t length = std::strlen(part);
    if (length == 0 || length > 3 || std::strspn(part, "0123456789") != length) return false;
    const int value = std::atoi(part);
    if (value > 255) return false;
    address[i] = static_cast<uint8_t>(value);
  }
  return true;
}

const Prefix* FindPrefix(const char* text) {
  for (const Prefix& prefix : kPrefixes) {
    if (std::strncmp(text, prefix.text, std::strlen(prefix.text)) == 0) return &prefix;
  }
  return nullptr;
}

}  // namespace

int GeneralNamesToText(const core::BufferCore& der, core::BufferCore& out, bool with_prefix) {
  out.Clear();
  Asn1Element node;
  int rc = node.SetData(der.Length(), der.Data());
  if (rc == core::kOk) rc = node.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  core::Buffer value;
  for (Asn1Element* name = node.firstChild(); name != nullptr; name = name->nextSibling()) {
    const uint8_t t = name->tag() & 0x0F;
    if (t != 0 && (rc = DerReadOctets(*name, 0, value, nullptr)) != core::kOk) return rc;
    if (!out.IsEmpty() && (rc = out.AppendCString(with_prefix ? "," : ", ")) != core::kOk) return rc;
    if (with_prefix && (rc = out.AppendCString(PrefixOf(t))) != core::kOk) return rc;
    rc = t == 0 ? AppendOtherNameValue(*name, out) : AppendNameValue(t, value, out);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

bool HasGeneralNamePrefix(const char* text) {
  if (text == nullptr) return false;
  while (*text == ' ') ++text;
  return FindPrefix(text) != nullptr;
}

int EncodeGeneralNameFromText(DerWriter& writer, const char* text) {
  if (text == nullptr || *text == '\0') return core::kOk;
  core::Buffer item;
  int rc = item.SetString(text);
  if (rc == core::kOk) rc = item.TrimByte(' ');
  if (rc != core::kOk) return rc;
  const Prefix* prefix = FindPrefix(item.Data());
  if (prefix == nullptr) return -1;
  const char* rest = item.Data() + std::strlen(prefix->text);
  const uint8_t tag = static_cast<uint8_t>(0x80 | prefix->tag_number);
  switch (prefix->tag_number) {
    case 7: {
      uint8_t address[4];
      if (!ParseAddress(rest, address)) return -1;
      return writer.AppendTlv(address, 4, tag);
    }
    case 8:
      return writer.AppendOid(rest, tag);
    case 4: {
      // directoryName is an EXPLICIT Name, so its element is constructed (X.680 31.2.7).
      DerWriter name;
      rc = EncodeNameFromText(rest, name);
      return rc != core::kOk ? rc : writer.AppendTlv(name.Data(), name.Length(), 0xA4);
    }
    default:
      return writer.AppendTlv(rest, static_cast<int32_t>(std::strlen(rest)), tag);
  }
}

int OidListToText(const core::BufferCore& der, core::BufferCore& out) {
  out.Clear();
  if (der.IsEmpty()) return core::kOk;
  Asn1Element node;
  int rc = node.SetData(der.Length(), der.Data());
  if (rc == core::kOk) rc = node.Parse(0, nullptr);
  core::Buffer oid;
  for (Asn1Element* child = node.firstChild(); rc == core::kOk && child != nullptr; child = child->nextSibling()) {
    if ((rc = DerReadOid(*child, 0, oid, nullptr)) != core::kOk) break;
    if (!out.IsEmpty()) rc = out.Append(", ", 2);
    if (rc == core::kOk) rc = out.Append(oid);
  }
  return rc;
}

const char* GetSubjectAltNameText(Certificate& certificate, bool with_prefix) {
  core::BufferCore& text = certificate.textResult;
  text.Clear();
  core::Buffer value;
  if (GetExtensionValue(certificate, kSubjectAltNameOid, value) == core::kOk && !value.IsEmpty() &&
      GeneralNamesToText(value, text, with_prefix) != core::kOk) {
    text.Clear();
  }
  return text.Data();
}

}  // namespace velmora::pki
