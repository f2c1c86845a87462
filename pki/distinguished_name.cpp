#include "pki/distinguished_name.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "core/code_page.h"

namespace velmora::pki {
namespace {

struct ShortName {
  const char* name;
  const char* oid;
};

// X.520, PKCS #9 and RFC 4519 attributes; both directions read this one table, in this order.
constexpr ShortName kShortNames[] = {
    {"CN", "2.5.4.3"},       {"SN", "2.5.4.4"},        {"SERIALNUMBER", "2.5.4.5"},
    {"C", "2.5.4.6"},        {"L", "2.5.4.7"},         {"S", "2.5.4.8"},
    {"STREET", "2.5.4.9"},   {"O", "2.5.4.10"},        {"OU", "2.5.4.11"},
    {"T", "2.5.4.12"},       {"PostalCode", "2.5.4.17"}, {"Phone", "2.5.4.20"},
    {"G", "2.5.4.42"},       {"I", "2.5.4.43"},        {"E", "1.2.840.113549.1.9.1"},
    {"UID", "0.9.2342.19200300.100.1.1"},              {"DC", "0.9.2342.19200300.100.1.25"},
};

// Attributes whose values are IA5String: emailAddress and unstructuredName (PKCS #9), domainComponent
// and mail (RFC 4519).
constexpr const char* kIa5Oids[] = {"1.2.840.113549.1.9.1", "0.9.2342.19200300.100.1.25",
                                    "0.9.2342.19200300.100.1.3", "1.2.840.113549.1.9.2"};

constexpr uint8_t kTagUtf8String = 0x0C;
constexpr uint8_t kTagPrintableString = 0x13;
constexpr uint8_t kTagIa5String = 0x16;
constexpr uint8_t kTagBmpString = 0x1E;

bool EqualsText(const core::BufferCore& buffer, const char* text) {
  return buffer.EqualsBytes(text, static_cast<int32_t>(std::strlen(text))) != 0;
}

bool EqualsUpperAscii(const char* upper, const char* name) {
  for (; *upper != '\0' && *name != '\0'; ++upper, ++name) {
    char c = *upper;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != *name) return false;
  }
  return *upper == *name;
}

int AddBuffer(core::StrList& list, const core::BufferCore& item) { return list.Add(item.Data(), item.Length()); }

// PrintableString repertoire, X.680 41.4.
bool IsPrintableChar(uint8_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::strchr(" '()+,-./:=?", c) != nullptr && c != '\0';
}

// BmpToText turns BMPString content (big-endian UTF-16) into the value bytes of the text form.
int BmpToText(core::BufferCore& value) {
  const int32_t length = value.Length();
  bool low_only = length % 2 == 0;
  for (int32_t i = 0; low_only && i < length; i += 2) low_only = value.Bytes()[i] == 0;
  if (low_only) {
    // Characters below 256 are written as single bytes, the way a single-byte code page shows them.
    for (int32_t i = 0; i < length / 2; ++i) value.SetByteAt(i, value.Bytes()[2 * i + 1]);
    return value.Resize(length / 2);
  }
  value.SwapBytePairs();
  return core::Utf16LeToUtf8(value);
}

// ValueType chooses the string type of a value being encoded.
uint8_t ValueType(const char* oid, const core::BufferCore& value) {
  uint8_t tag = kTagPrintableString;
  for (const char* ia5 : kIa5Oids) {
    if (std::strcmp(oid, ia5) == 0) tag = kTagIa5String;
  }
  for (int32_t i = 0; i < value.Length(); ++i) {
    if (!IsPrintableChar(value.Bytes()[i])) return core::IsRoundTripUtf8(value) != 0 ? kTagUtf8String : kTagBmpString;
  }
  return tag;
}

int AppendValue(DerWriter& writer, const char* oid, const core::BufferCore& value) {
  const uint8_t tag = ValueType(oid, value);
  if (tag != kTagBmpString) return writer.AppendTlv(value.Data(), value.Length(), tag);
  core::Buffer wide;
  for (int32_t i = 0; i < value.Length(); ++i) {
    const uint8_t unit[2] = {0, value.Bytes()[i]};
    int rc = wide.Append(unit, 2);
    if (rc != core::kOk) return rc;
  }
  return writer.AppendTlv(wide.Data(), wide.Length(), tag);
}

// EndAttribute adds one (OID, value) pair of DnTextToPairList.
int EndAttribute(const core::BufferCore& name, core::BufferCore& value, core::StrList& pairs) {
  core::Buffer oid;
  int rc = DnShortNameToOid(name.Data(), oid);
  if (rc == core::kOk) rc = AddBuffer(pairs, oid);
  if (rc != core::kOk) return rc;
  const int32_t n = value.Length();
  if (n >= 2 && value.Data()[0] == '"' && value.Data()[n - 1] == '"' && DnValueNeedsQuotes(value, true)) {
    rc = value.KeepRange(1, n - 1);
    if (rc == core::kOk) rc = value.ReplaceAll("\\\"", "\"");
    if (rc != core::kOk) return rc;
  }
  return AddBuffer(pairs, value);
}

// Pair is one attribute of the canonical form.
struct Pair {
  core::Buffer name;
  core::Buffer value;
};

// ReadPairs reads the (name, value) pairs of a name text; 0 with *parsed false when the text is not a
// name, or a Buffer code.
int ReadPairs(const char* text, std::vector<std::unique_ptr<Pair>>& pairs, bool* parsed) {
  const char* cursor = text;
  core::Buffer token;
  while (*cursor != '\0') {
    pairs.push_back(std::make_unique<Pair>());
    Pair& pair = *pairs.back();
    int rc = NextDnToken(&cursor, pair.name);
    if (rc != core::kOk) return rc;
    if (std::strncmp(pair.name.Data(), "OID.", 4) == 0 && IsNumericOid(pair.name.Data() + 4)) {
      if ((rc = pair.name.Delete(0, 4)) != core::kOk) return rc;
    }
    if (IsNumericOid(pair.name.Data())) {
      core::Buffer oid;
      if ((rc = oid.Assign(pair.name)) != core::kOk || (rc = OidToDnShortName(oid, pair.name)) != core::kOk) return rc;
    }
    pair.name.ToUpperAscii();
    if ((rc = NextDnToken(&cursor, token)) != core::kOk) return rc;
    if (!EqualsText(token, "=")) {
      *parsed = false;
      return core::kOk;
    }
    if ((rc = NextDnToken(&cursor, pair.value)) != core::kOk) return rc;
    if (pair.value.IsEmpty() || EqualsText(pair.value, ",")) {
      pair.value.Clear();
      continue;
    }
    if ((rc = NextDnToken(&cursor, token)) != core::kOk) return rc;
    if (!token.IsEmpty() && !EqualsText(token, ",")) {
      *parsed = false;
      return core::kOk;
    }
  }
  return core::kOk;
}

void RenameAttribute(core::BufferCore& name) {
  static constexpr const char* kRenames[][2] = {{"S", "ST"}, {"EMAIL", "E"}, {"EMAILADDRESS", "E"}, {"TITLE", "T"}};
  for (const auto& rename : kRenames) {
    // The new names fit the inline storage, so the assignment cannot fail.
    if (EqualsText(name, rename[0])) (void)name.SetString(rename[1]);
  }
}

// CompareOrdinal orders byte strings by unsigned bytes, then by length.
int CompareOrdinal(const core::BufferCore& a, const core::BufferCore& b) {
  const int32_t n = std::min(a.Length(), b.Length());
  const int c = n > 0 ? std::memcmp(a.Data(), b.Data(), static_cast<size_t>(n)) : 0;
  if (c != 0) return c;
  return a.Length() < b.Length() ? -1 : (a.Length() > b.Length() ? 1 : 0);
}

int Canonical(const char* text, core::BufferCore& out, bool* parsed) {
  std::vector<std::unique_ptr<Pair>> pairs;
  int rc = ReadPairs(text, pairs, parsed);
  if (rc != core::kOk || !*parsed) return rc;
  for (auto& pair : pairs) RenameAttribute(pair->name);
  // Byte order, not a locale's collation: canonical forms are compared only with canonical forms, and
  // byte order gives the same form on every machine.
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
    const int by_name = CompareOrdinal(a->name, b->name);
    return by_name != 0 ? by_name < 0 : CompareOrdinal(a->value, b->value) < 0;
  });
  for (size_t i = 0; i < pairs.size() && rc == core::kOk; ++i) {
    if (i > 0) rc = out.AppendByte(',');
    if (rc == core::kOk) rc = out.Append(pairs[i]->name);
    if (rc == core::kOk) rc = out.AppendByte('=');
    if (rc == core::kOk) rc = out.Append(pairs[i]->value);
  }
  return rc;
}

int CompareCanonical(const char* a, const char* b, bool ignore_case) {
  core::Buffer form_a;
  core::Buffer form_b;
  bool parsed_a = true;
  bool parsed_b = true;
  (void)ParseDistinguishedName(a, form_a, &parsed_a);
  (void)ParseDistinguishedName(b, form_b, &parsed_b);
  if (!parsed_a || !parsed_b || form_a.Length() != form_b.Length()) return 0;
  if (!ignore_case) return form_a.Equals(form_b) != 0 ? 1 : 0;
  for (int32_t i = 0; i < form_a.Length(); ++i) {
    char x = form_a.Data()[i];
    char y = form_b.Data()[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return 0;
  }
  return 1;
}

}  // namespace

int OidToDnShortName(const core::BufferCore& oid, core::BufferCore& out) {
  for (const ShortName& entry : kShortNames) {
    if (EqualsText(oid, entry.oid)) return out.SetString(entry.name);
  }
  return out.Assign(oid);
}

int DnShortNameToOid(const char* name, core::BufferCore& out) {
  int rc = out.SetString(name != nullptr ? name : "");
  if (rc == core::kOk) rc = out.TrimByte(' ');
  if (rc != core::kOk) return rc;
  out.ToUpperAscii();
  for (const ShortName& entry : kShortNames) {
    if (EqualsUpperAscii(entry.name, out.Data())) return out.SetString(entry.oid);
  }
  return core::kOk;
}

int DecodeNameToString(const core::BufferCore& der, core::BufferCore& out) {
  Asn1Element name;
  int rc = name.Assign(der);
  if (rc == core::kOk) rc = name.Parse(1, nullptr);
  out.Clear();
  if (rc != core::kOk) return rc;
  core::Buffer oid;
  for (const Asn1Element* rdn = name.firstChild(); rdn != nullptr; rdn = rdn->nextSibling()) {
    if (rdn != name.firstChild() && (rc = out.Append(", ", 2)) != core::kOk) return rc;
    Asn1Element set;
    if ((rc = set.Assign(*rdn)) != core::kOk || (rc = set.Parse(1, nullptr)) != core::kOk) return rc;
    for (const Asn1Element* atv = set.firstChild(); atv != nullptr; atv = atv->nextSibling()) {
      if (atv != set.firstChild() && (rc = out.AppendByte(' ')) != core::kOk) return rc;
      Asn1Element pair;
      if ((rc = pair.Assign(*atv)) != core::kOk || (rc = pair.Parse(1, nullptr)) != core::kOk) return rc;
      if (pair.firstChild() == nullptr) return kDerBadOuter;
      if ((rc = DerReadOid(*pair.firstChild(), 0, oid, nullptr)) != core::kOk) return rc;
      core::StrList list;
      const Asn1Element* value = pair.firstChild()->nextSibling();
      if ((rc = AddBuffer(list, oid)) != core::kOk) return rc;
      rc = value != nullptr ? AddBuffer(list, *value) : list.Add(nullptr, 0);
      if (rc == core::kOk) rc = RdnListToText(list, out);
      if (rc != core::kOk) return rc;
    }
  }
  return core::kOk;
}

int RdnListToText(const core::StrList& pairs, core::BufferCore& out) {
  if (pairs.Count() % 2 != 0) return -1;
  core::Buffer oid;
  core::Buffer name;
  core::Buffer element;
  core::Buffer value;
  for (int32_t i = 0; i < pairs.Count(); i += 2) {
    int rc = oid.SetData(pairs.ItemLength(i), pairs.Item(i));
    if (rc == core::kOk) rc = OidToDnShortName(oid, name);
    if (rc == core::kOk && i > 0) rc = out.Append(", ", 2);
    if (rc == core::kOk) rc = out.Append(name);
    if (rc == core::kOk) rc = out.AppendByte('=');
    if (rc == core::kOk) rc = element.SetData(pairs.ItemLength(i + 1), pairs.Item(i + 1));
    uint8_t tag = 0;
    if (rc == core::kOk) rc = DerReadOctets(element, 0, value, &tag);
    if (rc == core::kOk && tag == kTagBmpString) rc = BmpToText(value);
    if (rc == core::kOk) rc = value.ReplaceAll("\"", "\\\"");
    if (rc != core::kOk) return rc;
    const bool quote = DnValueNeedsQuotes(value, false);
    if (quote) rc = out.AppendByte('"');
    if (rc == core::kOk) rc = out.Append(value);
    if (rc == core::kOk && quote) rc = out.AppendByte('"');
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

bool DnValueNeedsQuotes(const core::BufferCore& value, bool inside_only) {
  const char* text = value.Data();
  int32_t length = value.Length();
  if (inside_only) {
    if (length <= 2) return false;
    ++text;
    length -= 2;
  }
  if (length == 0) return false;
  if (text[0] == ' ' || text[length - 1] == ' ') return true;
  for (int32_t i = 0; i < length; ++i) {
    if (std::strchr(",+=#<>\"", text[i]) != nullptr && text[i] != '\0') return true;
  }
  return false;
}

int DnTextToPairList(const char* text, core::StrList& pairs) {
  (void)pairs.Clear();
  if (text == nullptr) return core::kOk;
  core::Buffer name;
  core::Buffer value;
  bool in_value = false;
  bool quoted = false;
  int rc = core::kOk;
  for (const char* p = text; *p != '\0' && rc == core::kOk; ++p) {
    const char c = *p;
    if (!in_value) {
      if (c == '=') {
        in_value = true;
      } else if (c != ' ') {
        rc = name.AppendByte(static_cast<uint8_t>(c));
      }
      continue;
    }
    if (c == '\\' && p[1] != '\0') {
      // The escaped character is kept with its backslash and loses any meaning it has here.
      rc = value.Append(p, 2);
      ++p;
    } else if (c == '"') {
      quoted = !quoted;
      rc = value.AppendByte('"');
    } else if (c == ',' && !quoted) {
      rc = EndAttribute(name, value, pairs);
      name.Clear();
      value.Clear();
      in_value = false;
    } else {
      rc = value.AppendByte(static_cast<uint8_t>(c));
    }
    if (rc == core::kOk && in_value && p[1] == '\0') rc = EndAttribute(name, value, pairs);
  }
  return rc;
}

int EncodeNameFromText(const char* text, DerWriter& writer) {
  core::StrList pairs;
  int rc = DnTextToPairList(text, pairs);
  if (rc != core::kOk) return rc;
  if (pairs.Count() % 2 != 0) return -1;
  // Written apart and appended whole, so that a failure leaves the caller's writer as it was.
  DerWriter name;
  if ((rc = name.BeginElement(0x30)) != core::kOk) return rc;
  core::Buffer value;
  for (int32_t i = 0; i < pairs.Count() && rc == core::kOk; i += 2) {
    rc = value.SetData(pairs.ItemLength(i + 1), pairs.Item(i + 1));
    if (rc == core::kOk) rc = name.BeginElement(0x31);
    if (rc == core::kOk) rc = name.BeginElement(0x30);
    if (rc == core::kOk) rc = name.AppendOid(pairs.Item(i), 0x06);
    if (rc == core::kOk) rc = AppendValue(name, pairs.Item(i), value);
    if (rc == core::kOk) rc = name.EndElement(0);
    if (rc == core::kOk) rc = name.EndElement(0);
  }
  if (rc == core::kOk) rc = name.EndElement(0);
  if (rc == core::kOk) rc = writer.Append(name);
  return rc;
}

int NextDnToken(const char** cursor, core::BufferCore& out) {
  out.Clear();
  const char* p = *cursor;
  if (*p == '\0') return core::kOk;
  if (*p == '=' || *p == ',') {
    *cursor = p + 1;
    return out.AppendByte(static_cast<uint8_t>(*p));
  }
  const char* end = p;
  if (*p == '"') {
    for (++end; *end != '"'; ++end) {
      if (*end == '\0') return core::kOk;
      if (*end == '\\' && end[1] != '\0') ++end;
    }
    ++end;
  } else {
    for (; *end != '\0' && *end != ',' && *end != '='; ++end) {
      if (*end == '\\' && end[1] != '\0') ++end;
    }
  }
  int rc = out.Append(p, static_cast<int32_t>(end - p));
  if (rc == core::kOk) rc = out.TrimByte(' ');
  if (rc == core::kOk) *cursor = end;
  return rc;
}

bool IsNumericOid(const char* text) {
  if (text == nullptr || !(*text >= '0' && *text <= '9')) return false;
  bool dot = false;
  char previous = '\0';
  for (const char* p = text; *p != '\0'; previous = *p, ++p) {
    if (*p == '.') {
      if (previous == '.') return false;
      dot = true;
    } else if (!(*p >= '0' && *p <= '9')) {
      return false;
    }
  }
  return dot && previous != '.';
}

int ParseDistinguishedName(const char* text, core::BufferCore& out, bool* parsed) {
  bool is_name = true;
  out.Clear();
  if (text == nullptr) text = "";
  if (Canonical(text, out, &is_name) != core::kOk) {
    // Without memory for the canonical form, the text stands for itself.
    (void)out.SetString(text);
  } else if (!is_name) {
    out.Clear();
  }
  if (parsed != nullptr) *parsed = is_name;
  return core::kOk;
}

int DistinguishedNamesEqual(const char* a, const char* b) { return CompareCanonical(a, b, false); }

int DistinguishedNamesEqualNoCase(const char* a, const char* b) { return CompareCanonical(a, b, true); }

int DecodeIssuerAndSerialNumber(const core::BufferCore& der, core::BufferCore& issuer, core::BufferCore& serial,
                                core::BufferCore* name_only) {
  Asn1Element node;
  int rc = node.Assign(der);
  if (rc == core::kOk) rc = node.Parse(1, nullptr);
  if (rc != core::kOk) return rc;
  const Asn1Element* name = node.firstChild();
  if (name == nullptr) return kDerBadOuter;
  if (name_only != nullptr) return DecodeNameToString(*name, *name_only);
  rc = DecodeNameToString(*name, issuer);
  if (rc != core::kOk) return rc;
  if (name->nextSibling() == nullptr) return kDerBadOuter;
  return DerReadUnsignedInteger(*name->nextSibling(), 0, serial);
}

}  // namespace velmora::pki
