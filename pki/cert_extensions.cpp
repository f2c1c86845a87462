#include "pki/cert_extensions.h"

#include <cstring>

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "core/str_list.h"
#include "pki/certificate.h"
#include "pki/general_names.h"
#include "pki/internal.h"

namespace velmora::pki {

namespace {

constexpr char kCrlDistributionPointsOid[] = "2.5.29.31";
constexpr char kExtendedKeyUsageOid[] = "2.5.29.37";
constexpr char kSubjectAltNameOid[] = "2.5.29.17";
constexpr char kAuthorityInfoAccessOid[] = "1.3.6.1.5.5.7.1.1";
constexpr char kCaIssuersOid[] = "1.3.6.1.5.5.7.48.2";
constexpr char kOcspOid[] = "1.3.6.1.5.5.7.48.1";

// AppendSeparated appends ", " when text is not empty, then length bytes.
int AppendSeparated(core::BufferCore& text, const void* bytes, int32_t length) {
  if (!text.IsEmpty()) {
    int rc = text.Append(", ", 2);
    if (rc != core::kOk) return rc;
  }
  return text.Append(bytes, length);
}

// FindAiaUrl returns in out the first location of method that starts with "http://" or "https://".
int FindAiaUrl(const Certificate& certificate, const char* method, core::BufferCore& out) {
  Asn1Element node;
  int rc = GetExtensionValue(certificate, kAuthorityInfoAccessOid, node);
  if (rc != core::kOk || node.IsEmpty()) return rc;
  if ((rc = node.Parse(0, nullptr)) != core::kOk) return rc;
  core::Buffer content, oid, location;
  for (Asn1Element* description = node.firstChild(); description != nullptr; description = description->nextSibling()) {
    if ((rc = DerReadOctets(*description, 0, content, nullptr)) != core::kOk ||
        (rc = DerReadOid(content, 0, oid, nullptr)) != core::kOk ||
        (rc = DerReadOctets(content, 1, location, nullptr)) != core::kOk) {
      return rc;
    }
    // RFC 3986 3.1 makes schemes case-insensitive, but only the lower-case forms are taken.
    const bool http = (location.Length() >= 7 && std::memcmp(location.Data(), "http://", 7) == 0) ||
                      (location.Length() >= 8 && std::memcmp(location.Data(), "https://", 8) == 0);
    if (http && std::strcmp(oid.Data(), method) == 0) return out.Assign(location);
  }
  return core::kOk;
}

// EncodeOidSequence writes OCTET STRING { SEQUENCE { OID of each item } } into writer.
int EncodeOidSequence(const core::StrList& items, DerWriter& writer) {
  int rc = writer.BeginElement(0x04);
  if (rc == core::kOk) rc = writer.BeginElement(0x30);
  for (int32_t i = 0; rc == core::kOk && i < items.Count(); ++i) rc = writer.AppendOid(items.Item(i), 0x06);
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

}  // namespace

int CertExtension::Assign(const CertExtension& source) {
  critical = source.critical;
  int rc = oid.Assign(source.oid);
  return rc != core::kOk ? rc : value.Assign(source.value);
}

int CertExtension::Decode(const core::BufferCore& der) {
  Asn1Element node;
  int rc = node.SetData(der.Length(), der.Data());
  if (rc == core::kOk) rc = DecodeExtensionNode(node, *this);
  return rc;
}

int DecodeExtensionNode(Asn1Element& node, CertExtension& target) {
  int rc = node.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  Asn1Element* id = node.firstChild();
  if (id == nullptr || id->nextSibling() == nullptr) return kDerBadOuter;
  if ((rc = DerReadOid(*id, 0, target.oid, nullptr)) != core::kOk) return rc;
  target.critical = 0;
  Asn1Element* value = id->nextSibling();
  if (value->tag() == 0x01) {
    core::Buffer flag;
    if ((rc = DerReadOctets(*value, 0, flag, nullptr)) != core::kOk) return rc;
    if (flag.IsEmpty()) return kDerBadInner;
    target.critical = flag.Bytes()[0] != 0 ? 1 : 0;
    value = value->nextSibling();
    if (value == nullptr) return kDerBadOuter;
  }
  return target.value.Assign(*value);
}

int CertExtension::Encode(DerWriter& writer) const {
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendOid(oid.Data(), 0x06);
  if (rc == core::kOk && critical != 0) rc = writer.AppendBoolean(1, 0x01);
  if (rc == core::kOk) rc = writer.Append(value);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

int SetExtension(CertExtensionList& list, const CertExtension& record) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    const CertExtension* entry = list.Get(i);
    const int32_t length = entry != nullptr ? entry->oid.Length() : 0;
    if (length != record.oid.Length() ||
        (length > 0 && std::memcmp(entry->oid.Data(), record.oid.Data(), static_cast<size_t>(length)) != 0)) {
      continue;
    }
    // Insert the copy first so that a failure leaves the list as it was.
    int rc = list.InsertAt(i, record);
    if (rc != core::kOk) return rc;
    return list.RemoveAt(i + 1);
  }
  return list.InsertAt(list.Count(), record);
}

int GetExtensionValue(const Certificate& certificate, const char* oid, core::BufferCore& out) {
  out.Clear();
  const CertExtensionList& list = certificate.tbs.extensions;
  for (int32_t i = 0; i < list.Count(); ++i) {
    const CertExtension* entry = list.Get(i);
    if (entry == nullptr || entry->oid.IsEmpty() || entry->oid.EqualsNoCase(oid) == 0) continue;
    return DerReadOctets(entry->value, 0, out, nullptr);
  }
  return core::kOk;
}

const char* DecodeCrlDistributionPoints(Certificate& certificate) {
  core::BufferCore& text = certificate.textResult;
  text.Clear();
  Asn1Element node;
  if (GetExtensionValue(certificate, kCrlDistributionPointsOid, node) != core::kOk || node.IsEmpty() ||
      node.Parse(0, nullptr) != core::kOk) {
    return text.Data();
  }
  core::Buffer content;
  for (Asn1Element* point = node.firstChild(); point != nullptr; point = point->nextSibling()) {
    if (point->Parse(0, nullptr) != core::kOk) return text.Data();
    for (Asn1Element* field = point->firstChild(); field != nullptr; field = field->nextSibling()) {
      // distributionPoint [0] holds either fullName [0] or nameRelativeToCRLIssuer [1] (RFC 5280 4.2.1.13).
      if (field->tag() != 0xA0) continue;
      if (field->Parse(0, nullptr) != core::kOk) return text.Data();
      Asn1Element* full_name = field->firstChild();
      if (full_name == nullptr || full_name->tag() != 0xA0) continue;
      if (full_name->Parse(0, nullptr) != core::kOk) return text.Data();
      for (Asn1Element* name = full_name->firstChild(); name != nullptr; name = name->nextSibling()) {
        if (DerReadOctets(*name, 0, content, nullptr) != core::kOk ||
            AppendSeparated(text, content.Data(), content.Length()) != core::kOk) {
          return text.Data();
        }
      }
    }
  }
  return text.Data();
}

const char* DecodeExtendedKeyUsage(Certificate& certificate) {
  core::BufferCore& text = certificate.textResult;
  text.Clear();
  core::Buffer value;
  if (GetExtensionValue(certificate, kExtendedKeyUsageOid, value) == core::kOk && !value.IsEmpty()) {
    (void)OidListToText(value, text);
  }
  return text.Data();
}

int GetAiaCaIssuersUrl(const Certificate& certificate, core::BufferCore& out) {
  return FindAiaUrl(certificate, kCaIssuersOid, out);
}

int GetAiaOcspUrl(const Certificate& certificate, core::BufferCore& out) {
  return FindAiaUrl(certificate, kOcspOid, out);
}

int EncodeExtendedKeyUsageValue(const char* text, DerWriter& out) {
  if (text == nullptr || *text == '\0') return core::kOk;
  core::StrList items;
  int rc = core::SplitToStringList(items, text, ",", 1, 1);
  if (rc != core::kOk) return rc;
  DerWriter value;
  if ((rc = EncodeOidSequence(items, value)) != core::kOk) return rc;
  return out.Append(value);
}

int EncodeKeyUsageValue(int32_t flags, DerWriter& out) {
  if (flags < 1) return core::kOk;
  // KeyUsage bit 0 (digitalSignature) is the top bit of the first byte, bit 8 (decipherOnly) the top bit
  // of the second; DER drops trailing zero bits and counts them in the first content byte.
  uint8_t bits[3] = {0, static_cast<uint8_t>(flags & 0xFF), static_cast<uint8_t>((flags >> 8) & 0x80)};
  int32_t length = bits[2] != 0 ? 3 : bits[1] != 0 ? 2 : 1;
  if (length > 1) {
    uint8_t last = bits[length - 1];
    while ((last & 1) == 0) {
      last >>= 1;
      ++bits[0];
    }
  }
  DerWriter value;
  int rc = value.BeginElement(0x04);
  if (rc == core::kOk) rc = value.AppendTlv(bits, length, 0x03);
  if (rc == core::kOk) rc = value.EndElement(0);
  return rc != core::kOk ? rc : out.Append(value);
}

int EncodeSubjectAltNameExtension(const char* text, DerWriter& out) {
  core::StrList items;
  int rc = core::SplitToStringList(items, text, ",", 0, 1);
  if (rc != core::kOk) return rc;
  DerWriter extension;
  rc = extension.BeginElement(0x30);
  if (rc == core::kOk) rc = extension.AppendOid(kSubjectAltNameOid, 0x06);
  if (rc == core::kOk) rc = extension.BeginElement(0x04);
  if (rc == core::kOk) rc = extension.BeginElement(0x30);
  for (int32_t i = 0; rc == core::kOk && i < items.Count(); ++i) {
    if (!HasGeneralNamePrefix(items.Item(i))) continue;
    rc = EncodeGeneralNameFromText(extension, items.Item(i));
  }
  for (int level = 0; rc == core::kOk && level < 3; ++level) rc = extension.EndElement(0);
  return rc != core::kOk ? rc : out.Append(extension);
}

}  // namespace velmora::pki
