#include "keystore/jwk.h"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/base64.h"
#include "core/numbers.h"
#include "core/str_list.h"
#include "crypto/ec/ec_key_checks.h"
#include "crypto/keys/curve_params.h"
#include "parsers/json_parser.h"
#include "pki/certificate_codec.h"
#include "pki/pem_armour.h"

namespace velmora::keystore {

namespace {

using parsers::JsonNode;

constexpr int kBadJwk = 271;
constexpr int kNoJwkForm = 1424;

// A member whose name or string value holds a backslash also gets an attribute under this prefix with
// the value as read: the writer then knows the text is already JSON-escaped and writes it unchanged,
// while any other value (one a caller set) is escaped. The prefix is not "JWK_", so the mark is never
// written as a member.
constexpr const char* kVerbatimPrefix = "JWKTEXT_";

// JwkParser notes when the one document of the text has ended, so that a text cut short is refused
// instead of being read as the members seen so far.
class JwkParser : public parsers::JsonParser {
 public:
  bool complete = false;

 protected:
  int OnDocumentEnd() override {
    complete = true;
    return 0;
  }
};

struct CurveName {
  const char* name;
  int32_t type;
};
constexpr CurveName kEcCurves[] = {{"P-256", 0},      {"P-384", 1},   {"P-521", 2},  {"secp256k1", 10},
                                   {"BP-256", 14},    {"BP-384", 16}, {"BP-512", 17}};
constexpr CurveName kOkpCurves[] = {{"Ed25519", 3}, {"Ed448", 4}, {"X25519", 5}, {"X448", 6}};

template <size_t N>
int32_t CurveType(const CurveName (&table)[N], const char* name) {
  for (const CurveName& entry : table) {
    if (std::strcmp(entry.name, name) == 0) return entry.type;
  }
  return -1;
}

template <size_t N>
const char* CurveText(const CurveName (&table)[N], int32_t type) {
  for (const CurveName& entry : table) {
    if (entry.type == type) return entry.name;
  }
  return nullptr;
}

// SetDecoded sets target to the bytes of base64url text (lenient: other characters are passed over).
int SetDecoded(core::BufferCore& target, const char* text) {
  int rc = target.SetString(text);
  return rc != core::kOk ? rc : core::Base64Decode(target, 1, 0, 1);
}

// RsaMember is the number an RSA member name sets, null for a member that is not a key value.
core::BufferCore* RsaMember(crypto::RsaKeyParams& rsa, std::string_view name) {
  if (name == "n") return &rsa.Modulus;
  if (name == "e") return &rsa.Exponent;
  if (name == "d") return &rsa.D;
  if (name == "p") return &rsa.P;
  if (name == "q") return &rsa.Q;
  if (name == "dp") return &rsa.DP;
  if (name == "dq") return &rsa.DQ;
  if (name == "qi") return &rsa.InverseQ;
  return nullptr;
}

// ReadMember applies one member to the key by its type; 271 for a curve name the type does not have.
int ReadMember(crypto::KeyRecord& key, std::string_view name, const char* value) {
  if (key.Type == crypto::kKeyRsa) {
    core::BufferCore* target = RsaMember(key.RsaParams, name);
    return target != nullptr ? SetDecoded(*target, value) : core::kOk;
  }
  crypto::EcKeyParams& params = key.Type == crypto::kKeyEc ? key.EcParams : key.EdParams;
  if (name == "crv") {
    const int32_t type = key.Type == crypto::kKeyEc ? CurveType(kEcCurves, value) : CurveType(kOkpCurves, value);
    if (type < 0) return kBadJwk;
    params.KeyType = type;
    params.Curve = nullptr;
    return core::kOk;
  }
  if (key.Type == crypto::kKeyEc) {
    if (name == "x") return SetDecoded(params.X, value);
    if (name == "y") return SetDecoded(params.Y, value);
    if (name == "d") return SetDecoded(params.D, value);
    return core::kOk;
  }
  if (name == "x") return SetDecoded(params.PublicKey, value);
  if (name == "d") return SetDecoded(params.PrivateKey, value);
  return core::kOk;
}

// CheckKeyValues refuses, as the SubjectPublicKeyInfo and SSH readers do, an EC point that is not on
// its curve or has a coordinate wider than the field (the door of an invalid-curve attack on ECDH), and
// an octet key part that is not of its curve's length: 0 or 1401. RFC 7518 section 6.2.1.2 wants the
// coordinates at full size; shorter ones are taken as numbers with their leading zeros left out.
int CheckKeyValues(const crypto::KeyRecord& key) {
  if (key.Type == crypto::kKeyEdwards) {
    const crypto::EcKeyParams& octets = key.EdParams;
    const bool any = !octets.PublicKey.IsEmpty() || !octets.PrivateKey.IsEmpty();
    return any && crypto::ValidateOkpKey(octets, 0) == 0 ? crypto::kEcInvalidKey : core::kOk;
  }
  if (key.Type != crypto::kKeyEc) return core::kOk;
  const int32_t width = crypto::EcKeyTypeByteLength(key.EcParams.KeyType);
  if (key.EcParams.X.Length() > width || key.EcParams.Y.Length() > width) return crypto::kEcInvalidKey;
  // The point is checked through a copy, so that the key keeps its coordinates as read.
  crypto::EcKeyParams point;
  point.KeyType = key.EcParams.KeyType;
  core::Buffer encoded;
  int rc = point.X.Assign(key.EcParams.X);
  if (rc == core::kOk) rc = point.Y.Assign(key.EcParams.Y);
  if (rc == core::kOk) rc = crypto::EncodeEcPublicPoint(point, false, encoded);
  return rc != core::kOk ? rc : point.SetPublicPoint(encoded);
}

// LoadChain parses the base64 DER certificates of the "x5c" array text into the record's list, in
// order; the first failing code, the certificates before it kept.
int LoadChain(pki::KeyWithCertificates& record, const char* array_text) {
  core::Buffer trimmed, pem, der;
  int rc = trimmed.SetString(array_text);
  if (rc == core::kOk) rc = core::BufferTrimSet(trimmed, "[]\"\r\n");
  core::StrList items;
  if (rc == core::kOk) rc = core::SplitToStringList(items, trimmed.Data(), ",", 0, 1);
  for (int32_t i = 0; rc == core::kOk && i < items.Count(); ++i) {
    rc = pem.SetString(items.Item(i));
    if (rc == core::kOk) rc = core::BufferTrimSet(pem, " \"");
    if (rc == core::kOk) rc = pem.ReplaceRange(0, 0, "-----BEGIN CERTIFICATE-----\r\n", 29);
    if (rc == core::kOk) rc = pem.AppendCString("\r\n-----END CERTIFICATE-----");
    if (rc != core::kOk) break;
    pki::Certificate* certificate = pki::AddNew(record.certificates);
    if (certificate == nullptr) return core::kOutOfMemory;
    der.Clear();
    rc = pki::PemDecode(pem.Data(), "CERTIFICATE", der, nullptr);
    if (rc == core::kOk) rc = pki::ParseCertificate(der.Bytes(), der.Length(), *certificate);
  }
  return rc;
}

// MemberText is the member's value text: a string without its quotes (escapes as written), a number
// or literal as written, an object or array as its JSON source text.
std::string_view MemberText(const JsonNode& node, const char* source, size_t source_length) {
  if (node.Type() != parsers::kJsonObject && node.Type() != parsers::kJsonArray) {
    return {node.Value().Data(), static_cast<size_t>(node.Value().Length())};
  }
  const size_t start = node.ValueStart(), end = node.EndPosition();
  if (start < node.StartPosition() || start > end || end > source_length) return {};
  return {source + start, end - start};
}

bool IsValueMember(uint32_t key_type, std::string_view name) {
  if (name == "kty") return true;
  if (key_type == crypto::kKeyRsa) {
    return name == "n" || name == "e" || name == "d" || name == "p" || name == "q" || name == "dp" ||
           name == "dq" || name == "qi";
  }
  if (key_type == crypto::kKeyEc) return name == "crv" || name == "x" || name == "y" || name == "d";
  return name == "crv" || name == "x" || name == "d";
}

// AppendEscaped appends text as the body of a JSON string.
int AppendEscaped(core::BufferCore& out, std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    int rc;
    switch (c) {
      case '"': rc = out.AppendCString("\\\""); break;
      case '\\': rc = out.AppendCString("\\\\"); break;
      case '\b': rc = out.AppendCString("\\b"); break;
      case '\f': rc = out.AppendCString("\\f"); break;
      case '\n': rc = out.AppendCString("\\n"); break;
      case '\r': rc = out.AppendCString("\\r"); break;
      case '\t': rc = out.AppendCString("\\t"); break;
      default: rc = c < 0x20 ? out.AppendFormat("\\u%04x", c) : out.AppendByte(c);
    }
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

// AppendKeyMember appends ,"name": and the base64url of the bytes in quotes (kty always comes first).
int AppendKeyMember(core::BufferCore& out, const char* name, const core::BufferCore& bytes) {
  int rc = out.AppendFormat(",\"%s\":\"", name);
  if (rc == core::kOk) rc = core::Base64Encode(out, bytes.Data(), bytes.Length(), 0, 0, 1);
  return rc != core::kOk ? rc : out.AppendByte('"');
}

int AppendUnsigned(core::BufferCore& out, const char* name, const core::BufferCore& value) {
  core::Buffer trimmed;
  int rc = trimmed.Assign(value);
  if (rc == core::kOk && !trimmed.IsEmpty() && trimmed.Data()[0] == '\0') rc = trimmed.DropLeadingZero();
  return rc != core::kOk ? rc : AppendKeyMember(out, name, trimmed);
}

int AppendPadded(core::BufferCore& out, const char* name, const core::BufferCore& value, int32_t width) {
  core::Buffer padded;
  int rc = core::PadBytesLeft(value.Data(), value.Length(), width, padded);
  return rc != core::kOk ? rc : AppendKeyMember(out, name, padded);
}

int WriteKeyMembers(const crypto::KeyRecord& key, bool include_private, core::BufferCore& out) {
  int rc = core::kOk;
  if (key.Type == crypto::kKeyRsa) {
    const crypto::RsaKeyParams& rsa = key.RsaParams;
    rc = out.AppendCString("\"kty\":\"RSA\"");
    if (rc == core::kOk) rc = AppendUnsigned(out, "n", rsa.Modulus);
    if (rc == core::kOk) rc = AppendUnsigned(out, "e", rsa.Exponent);
    if (!include_private) return rc;
    const std::pair<const char*, const core::BufferCore*> members[] = {
        {"d", &rsa.D}, {"p", &rsa.P}, {"q", &rsa.Q}, {"dp", &rsa.DP}, {"dq", &rsa.DQ}, {"qi", &rsa.InverseQ}};
    // A private number the key lacks is left out: an empty member would make no key.
    for (const auto& [name, value] : members) {
      if (rc == core::kOk && !value->IsEmpty()) rc = AppendUnsigned(out, name, *value);
    }
    return rc;
  }
  if (key.Type == crypto::kKeyEc) {
    const crypto::EcKeyParams& ec = key.EcParams;
    const char* curve = CurveText(kEcCurves, ec.KeyType);
    if (curve == nullptr) return kNoJwkForm;
    const int32_t width = crypto::EcKeyTypeByteLength(ec.KeyType);
    rc = out.AppendFormat("\"kty\":\"EC\",\"crv\":\"%s\"", curve);
    if (rc == core::kOk) rc = AppendPadded(out, "x", ec.X, width);
    if (rc == core::kOk) rc = AppendPadded(out, "y", ec.Y, width);
    if (rc == core::kOk && include_private && !ec.D.IsEmpty()) rc = AppendPadded(out, "d", ec.D, width);
    return rc;
  }
  if (key.Type == crypto::kKeyEdwards) {
    const crypto::EcKeyParams& ed = key.EdParams;
    const char* curve = CurveText(kOkpCurves, ed.KeyType);
    if (curve == nullptr) return kNoJwkForm;
    rc = out.AppendFormat("\"kty\":\"OKP\",\"crv\":\"%s\"", curve);
    if (rc == core::kOk) rc = AppendKeyMember(out, "x", ed.PublicKey);
    if (rc == core::kOk && include_private && !ed.PrivateKey.IsEmpty()) rc = AppendKeyMember(out, "d", ed.PrivateKey);
    return rc;
  }
  return kNoJwkForm;
}

// IsVerbatim: the reader marked this member's value as JSON text already escaped, and the value is
// still the one it read.
bool IsVerbatim(const crypto::KeyRecord& key, std::string_view name, const char* value) {
  const std::string mark = kVerbatimPrefix + std::string(name);
  const int32_t index = key.AttributeNames.IndexOf(mark.c_str(), 0);
  return index >= 0 && std::strcmp(key.AttributeValues.Item(index), value) == 0;
}

}  // namespace

int LoadJwk(pki::KeyWithCertificates& record, const char* text) {
  if (text == nullptr) text = "";
  JwkParser parser;
  parser.BeginStream();
  (void)parser.SetTreeMode(1);
  (void)parser.SetRawNameFallback(1);
  (void)parser.SetUnescapeOptions(1);
  int rc = parser.ParseText(text);
  if (rc != core::kOk) return rc;
  const JsonNode* root = parser.Root();
  if (!parser.complete || root == nullptr || root->Type() != parsers::kJsonObject) return kBadJwk;

  // A repeated member replaces the earlier one: only the last of each name is read, in its place.
  std::unordered_map<std::string_view, const JsonNode*> last;
  for (const JsonNode* node = root->FirstChild(); node != nullptr; node = node->NextSibling()) {
    last[std::string_view(node->Name().Data(), static_cast<size_t>(node->Name().Length()))] = node;
  }
  const auto kty = last.find("kty");
  if (kty == last.end()) return kBadJwk;
  const char* type_text = kty->second->Value().Data();
  crypto::KeyRecord& key = record.key;
  if (std::strcmp(type_text, "RSA") == 0) {
    key.Type = crypto::kKeyRsa;
  } else if (std::strcmp(type_text, "EC") == 0) {
    key.Type = crypto::kKeyEc;
  } else if (std::strcmp(type_text, "OKP") == 0) {
    key.Type = crypto::kKeyEdwards;
  } else {
    return kBadJwk;
  }

  const size_t source_length = std::strlen(text);
  std::string name_text, value_text;
  for (const JsonNode* node = root->FirstChild(); node != nullptr; node = node->NextSibling()) {
    const std::string_view name(node->Name().Data(), static_cast<size_t>(node->Name().Length()));
    if (last[name] != node) continue;
    const std::string_view value = MemberText(*node, text, source_length);
    value_text.assign(value);
    if (name != "kty" && (rc = ReadMember(key, name, value_text.c_str())) != core::kOk) return rc;
    name_text = "JWK_" + std::to_string(node->Type()) + "_" + std::string(name);
    if ((rc = key.AddAttribute(name_text.c_str(), value_text.c_str())) != core::kOk) return rc;
    if (name.find('\\') != std::string_view::npos ||
        (node->Type() == parsers::kJsonString && value.find('\\') != std::string_view::npos)) {
      name_text = kVerbatimPrefix + std::string(name);
      if ((rc = key.AddAttribute(name_text.c_str(), value_text.c_str())) != core::kOk) return rc;
    }
  }

  if (key.Type == crypto::kKeyRsa && (key.RsaParams.Modulus.IsEmpty() || key.RsaParams.Exponent.IsEmpty())) {
    return kBadJwk;
  }
  if (key.Type == crypto::kKeyEc && (key.EcParams.X.IsEmpty() || key.EcParams.Y.IsEmpty())) return kBadJwk;
  if ((rc = CheckKeyValues(key)) != core::kOk) return rc;

  const char* chain = key.GetAttribute("JWK_1_x5c");
  return chain[0] != '\0' ? LoadChain(record, chain) : core::kOk;
}

int WriteJwk(const crypto::KeyRecord& key, uint32_t include_private, core::Buffer& out) {
  core::Buffer text;
  int rc = text.AppendByte('{');
  if (rc == core::kOk) rc = WriteKeyMembers(key, include_private != 0, text);
  for (int32_t i = 0; rc == core::kOk && i < key.AttributeNames.Count(); ++i) {
    const char* attribute = key.AttributeNames.Item(i);
    if (std::strncmp(attribute, "JWK_", 4) != 0) continue;
    const char digit[2] = {attribute[4], '\0'};
    const int32_t type = core::ParseLong(digit);
    const std::string_view name = key.AttributeNames.ItemLength(i) > 6 ? attribute + 6 : "";
    if (IsValueMember(static_cast<uint32_t>(key.Type), name)) continue;
    const char* value = key.AttributeValues.Item(i);
    const bool verbatim = IsVerbatim(key, name, value);
    rc = text.AppendCString(",\"");
    if (rc == core::kOk) rc = verbatim ? text.Append(name.data(), static_cast<int32_t>(name.size())) : AppendEscaped(text, name);
    if (rc == core::kOk) rc = text.AppendCString("\":");
    if (rc != core::kOk) break;
    if (type == static_cast<int32_t>(parsers::kJsonNull)) {
      rc = text.AppendCString("null");
    } else if (type == static_cast<int32_t>(parsers::kJsonString)) {
      rc = text.AppendByte('"');
      if (rc == core::kOk) rc = verbatim ? text.AppendCString(value) : AppendEscaped(text, value);
      if (rc == core::kOk) rc = text.AppendByte('"');
    } else {
      rc = text.AppendCString(value);
    }
  }
  if (rc == core::kOk) rc = text.AppendByte('}');
  return rc != core::kOk ? rc : out.Assign(text);
}

}  // namespace velmora::keystore
