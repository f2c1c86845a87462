// Names as text in the "crypt32" stand-in: CertNameToStrA and CertStrToNameA, on OpenSSL's X509_NAME.
//
// Text form: the relative distinguished names in encoding order (REVERSE: the other way round) joined by
// ", ", the attributes of one name by " + " (NO_PLUS: a blank), each as KEY=value with the X.500 keys
// below or "OID.x.y" (string type 3), the dotted number alone (type 2), or the value alone (type 1). A
// value that is empty, has a blank or tab at either end, or holds one of , + = " < > ; # or a line break
// is written in double quotes, a quote inside doubled. A value that is no text, or whose text holds a
// zero character, is written as # and the hex of its DER, so that no text can hide a part of a name.
//
// Reading: keys ignore case; values are PrintableString when every character allows it, else UTF8String
// (E and DC take IA5String when ASCII). Any thread.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/call_counts.h"
#include "platform/crypto/crypt32_internal.h"
#include "platform/crypto/crypt32_modules.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/last_error.h"

namespace velmora::platform {

namespace {

struct Key {
  const char* name;
  const char* oid;
};

constexpr Key kKeys[] = {
    {"CN", "2.5.4.3"},       {"L", "2.5.4.7"},
    {"O", "2.5.4.10"},       {"OU", "2.5.4.11"},
    {"E", "1.2.840.113549.1.9.1"}, {"C", "2.5.4.6"},
    {"S", "2.5.4.8"},        {"STREET", "2.5.4.9"},
    {"T", "2.5.4.12"},       {"G", "2.5.4.42"},
    {"I", "2.5.4.43"},       {"SN", "2.5.4.4"},
    {"DC", "0.9.2342.19200300.100.1.25"}, {"SERIALNUMBER", "2.5.4.5"},
    {"POSTALCODE", "2.5.4.17"}, {"PHONE", "2.5.4.20"},
};
constexpr const char* kEmailOid = "1.2.840.113549.1.9.1";
constexpr const char* kDomainComponentOid = "0.9.2342.19200300.100.1.25";

using NamePtr = ossl::Ptr<X509_NAME, X509_NAME_free>;
using ObjectPtr = ossl::Ptr<ASN1_OBJECT, ASN1_OBJECT_free>;

std::string DottedOid(const ASN1_OBJECT* object) {
  char text[256];
  const int length = OBJ_obj2txt(text, sizeof text, object, 1);
  return length > 0 && length < static_cast<int>(sizeof text) ? std::string(text, static_cast<size_t>(length)) : "";
}

// IsBlank: the characters the reader drops around keys and unquoted values.
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NeedsQuotes(std::string_view value) {
  if (value.empty() || IsBlank(value.front()) || IsBlank(value.back())) return true;
  return value.find_first_of(",+=\"<>;#\r\n") != std::string_view::npos;
}

std::string Quoted(std::string_view value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// ValueText is the value's UTF-8 text, or # and the hex of its DER when it has none (*hex then true).
std::string ValueText(const X509_NAME_ENTRY* entry, bool* hex) {
  *hex = false;
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, data);
  std::string text;
  if (length >= 0 && std::memchr(utf8, 0, static_cast<size_t>(length)) == nullptr) {
    text.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
  }
  OPENSSL_free(utf8);
  // ASN1_STRING_to_UTF8 refuses what is no string type: give its DER instead.
  ossl::Ptr<ASN1_TYPE, ASN1_TYPE_free> type(ASN1_TYPE_new());
  unsigned char* der = nullptr;
  int der_length = 0;
  if (type != nullptr && ASN1_TYPE_set1(type.get(), ASN1_STRING_type(data), data) == 1) {
    der_length = i2d_ASN1_TYPE(type.get(), &der);
  }
  static const char kDigits[] = "0123456789ABCDEF";
  *hex = true;
  text = "#";
  for (int i = 0; i < der_length; ++i) {
    text.push_back(kDigits[der[i] >> 4]);
    text.push_back(kDigits[der[i] & 15]);
  }
  OPENSSL_free(der);
  return text;
}

std::string KeyText(const std::string& oid, DWORD type) {
  if (type == kCertOidNameStr) return oid;
  for (const Key& key : kKeys) {
    if (oid == key.oid) return key.name;
  }
  return "OID." + oid;
}

// ---- reading ----

bool Printable(std::string_view value) {
  for (const char c : value) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    std::strchr(" '()+,-./:=?", c) != nullptr;
    if (!ok || c == '\0') return false;
  }
  return true;
}

bool Ascii(std::string_view value) {
  for (const char c : value) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// ValidUtf8: well-formed UTF-8 of scalar values without zero characters.
bool ValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0) return false;
    size_t extra = 0;
    uint32_t value = c;
    if (c >= 0xF5) {
      return false;
    } else if (c >= 0xF0) {
      extra = 3;
      value = c & 7;
    } else if (c >= 0xE0) {
      extra = 2;
      value = c & 15;
    } else if (c >= 0xC2) {
      extra = 1;
      value = c & 31;
    } else if (c >= 0x80) {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = value << 6 | (next & 0x3F);
    }
    const uint32_t least = extra == 3 ? 0x10000 : extra == 2 ? 0x800 : 0;
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool DottedDigits(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.' ? text[i - 1] == '.' : (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

// OidOfKey: the dotted number of a key text ("CN", "OID.2.5.4.3", "2.5.4.3"); empty when unknown.
std::string OidOfKey(std::string_view key) {
  for (const Key& known : kKeys) {
    if (IEquals(key, known.name)) return known.oid;
  }
  if (key.size() > 4 && IEquals(key.substr(0, 4), "OID.")) key.remove_prefix(4);
  return DottedDigits(key) && key.size() < 200 ? std::string(key) : std::string();
}

struct Parsed {
  std::string oid;
  std::string value;
  bool new_rdn;
};

// ParseName reads the text into attributes: the offset of the first fault, or npos.
size_t ParseName(std::string_view text, bool no_plus, std::vector<Parsed>* out) {
  size_t at = 0;
  bool new_rdn = true;
  auto skip = [&] {
    while (at < text.size() && IsBlank(text[at])) ++at;
  };
  skip();
  if (at == text.size()) return std::string_view::npos;  // the empty Name
  while (true) {
    skip();
    const size_t key_start = at;
    while (at < text.size() && text[at] != '=' && std::strchr(",;+\"", text[at]) == nullptr) ++at;
    if (at == text.size() || text[at] != '=') return key_start;
    size_t key_end = at;
    while (key_end > key_start && IsBlank(text[key_end - 1])) --key_end;
    const std::string oid = OidOfKey(text.substr(key_start, key_end - key_start));
    if (oid.empty()) return key_start;
    ++at;
    skip();
    const size_t value_start = at;
    std::string value;
    if (at < text.size() && text[at] == '"') {
      ++at;
      while (true) {
        if (at == text.size()) return value_start;
        if (text[at] == '"') {
          if (at + 1 < text.size() && text[at + 1] == '"') {
            value.push_back('"');
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        value.push_back(text[at++]);
      }
      skip();
    } else {
      while (at < text.size() && text[at] != ',' && text[at] != ';' && (no_plus || text[at] != '+')) {
        if (text[at] == '"' || text[at] == '=') return at;
        value.push_back(text[at++]);
      }
      while (!value.empty() && IsBlank(value.back())) value.pop_back();
    }
    if (!ValidUtf8(value)) return value_start;
    out->push_back({oid, std::move(value), new_rdn});
    if (at == text.size()) return std::string_view::npos;
    if (text[at] == '+' && !no_plus) {
      new_rdn = false;
    } else if (text[at] == ',' || text[at] == ';') {
      new_rdn = true;
    } else {
      return at;
    }
    ++at;
  }
}

int StringTypeOf(const Parsed& attribute) {
  if (attribute.oid == kEmailOid || attribute.oid == kDomainComponentOid) {
    return Ascii(attribute.value) ? V_ASN1_IA5STRING : V_ASN1_UTF8STRING;
  }
  return Printable(attribute.value) ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
}

bool EncodingKnown(DWORD encoding) {
  return encoding == kX509AsnEncoding || encoding == (kX509AsnEncoding | kPkcs7AsnEncoding);
}

}  // namespace

namespace crypt32 {

bool NameText(const uint8_t* name, size_t name_len, DWORD string_type, std::string* text) {
  const DWORD type = string_type & 0xFFFF;
  if ((name == nullptr && name_len != 0) || type < kCertSimpleNameStr || type > kCertX500NameStr ||
      name_len > 0x7FFFFFFF) {
    SetLastError(kEInvalidArg);
    return false;
  }
  const unsigned char* cursor = name;
  NamePtr decoded(name_len != 0 ? d2i_X509_NAME(nullptr, &cursor, static_cast<long>(name_len)) : nullptr);
  if (decoded == nullptr || cursor != name + name_len) {
    SetLastError(name_len == 0 ? kCryptEAsn1Eod : kCryptEAsn1Corrupt);
    return false;
  }
  // The attributes grouped by relative distinguished name, in encoding order.
  std::vector<std::vector<std::string>> rdns;
  int last_set = -1;
  for (int i = 0; i < X509_NAME_entry_count(decoded.get()); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(decoded.get(), i);
    bool hex = false;
    const std::string value = ValueText(entry, &hex);
    const std::string oid = DottedOid(X509_NAME_ENTRY_get_object(entry));
    std::string attribute;
    if (type == kCertSimpleNameStr) {
      attribute = value;
    } else {
      attribute = KeyText(oid, type) + "=" + (!hex && NeedsQuotes(value) ? Quoted(value) : value);
    }
    if (X509_NAME_ENTRY_set(entry) != last_set || rdns.empty()) rdns.emplace_back();
    last_set = X509_NAME_ENTRY_set(entry);
    rdns.back().push_back(std::move(attribute));
  }
  if ((string_type & kCertNameStrReverseFlag) != 0) std::reverse(rdns.begin(), rdns.end());
  const char* plus = (string_type & kCertNameStrNoPlusFlag) != 0 ? " " : " + ";
  text->clear();
  for (size_t r = 0; r < rdns.size(); ++r) {
    if (r != 0) *text += ", ";
    for (size_t a = 0; a < rdns[r].size(); ++a) {
      if (a != 0) *text += plus;
      *text += rdns[r][a];
    }
  }
  return true;
}

}  // namespace crypt32

DWORD CertNameToStrA(DWORD encoding, const CERT_NAME_BLOB* name, DWORD string_type, char* out, DWORD out_chars) {
  CountCryptoCall("CertNameToStrA");
  if (!EncodingKnown(encoding) || name == nullptr) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  std::string text;
  if (!crypt32::NameText(name->pbData, name->cbData, string_type, &text)) return 0;
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (out == nullptr || out_chars == 0) return needed;
  if (out_chars < needed) {
    out[0] = '\0';
    SetLastError(kErrorMoreData);
    return 0;
  }
  std::memcpy(out, text.c_str(), needed);
  return needed;
}

BOOL CertStrToNameA(DWORD encoding, const char* text, DWORD string_type, void*, uint8_t* out, DWORD* out_len,
                    const char** error_at) {
  CountCryptoCall("CertStrToNameA");
  if (error_at != nullptr) *error_at = nullptr;
  const DWORD type = string_type & 0xFFFF;
  if (!EncodingKnown(encoding) || text == nullptr || out_len == nullptr ||
      (type != kCertOidNameStr && type != kCertX500NameStr)) {
    SetLastError(kEInvalidArg);
    return 0;
  }
  std::vector<Parsed> attributes;
  const std::string_view whole(text);
  const size_t fault = ParseName(whole, (string_type & kCertNameStrNoPlusFlag) != 0, &attributes);
  if (fault != std::string_view::npos) {
    if (error_at != nullptr) *error_at = text + fault;
    SetLastError(kCryptEInvalidX500String);
    return 0;
  }
  NamePtr name(X509_NAME_new());
  if (name == nullptr) {
    SetLastError(kEOutOfMemory);
    return 0;
  }
  for (const Parsed& attribute : attributes) {
    ObjectPtr object(OBJ_txt2obj(attribute.oid.c_str(), 1));
    if (object == nullptr || attribute.value.size() > 0x7FFFFFFF ||
        X509_NAME_add_entry_by_OBJ(name.get(), object.get(), StringTypeOf(attribute),
                                   reinterpret_cast<const unsigned char*>(attribute.value.data()),
                                   static_cast<int>(attribute.value.size()), -1, attribute.new_rdn ? 0 : -1) != 1) {
      if (error_at != nullptr) *error_at = text;
      SetLastError(kCryptEInvalidX500String);
      return 0;
    }
  }
  unsigned char* der = nullptr;
  const int length = i2d_X509_NAME(name.get(), &der);
  if (length <= 0) {
    SetLastError(kCryptEInvalidX500String);
    return 0;
  }
  const DWORD needed = static_cast<DWORD>(length);
  BOOL ok = 1;
  if (out != nullptr && *out_len < needed) {
    SetLastError(kErrorMoreData);
    ok = 0;
  } else if (out != nullptr) {
    std::memcpy(out, der, needed);
  }
  *out_len = needed;
  OPENSSL_free(der);
  return ok;
}

}  // namespace velmora::platform
