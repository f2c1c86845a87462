#include "pki/cert_composites.h"

#include "asn1/asn1_element.h"
#include "asn1/der_codes.h"
#include "asn1/der_read.h"
#include "pki/certificate_codec.h"
#include "pki/internal.h"

namespace velmora::pki {

namespace {

// CopyStrings replaces target's items by source's.
int CopyStrings(core::StrList& target, const core::StrList& source) {
  if (&target == &source) return core::kOk;
  int rc = target.Clear();
  for (int32_t i = 0; rc == core::kOk && i < source.Count(); ++i) rc = target.Add(source.Item(i), source.ItemLength(i));
  return rc;
}

// ReadInfo reads an ExtendedCertificateInfo node: version, certificate, attributes.
int ReadInfo(Asn1Element& info, ExtendedCertificate& target) {
  int rc = info.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  if (info.childCount() < 3) return kDerBadOuter;
  Asn1Element* version = info.firstChild();
  Asn1Element* certificate = version->nextSibling();
  Asn1Element* attributes = certificate->nextSibling();
  uint32_t value = 0;
  if ((rc = DerReadSmallInteger(*version, 0, &value, nullptr)) != core::kOk) return rc;
  target.version = static_cast<int32_t>(value);
  if ((rc = ParseCertificate(certificate->Bytes(), certificate->Length(), target.certificate)) != core::kOk) return rc;
  (void)target.attributes.Clear();
  if ((rc = attributes->Parse(0, nullptr)) != core::kOk) return rc;
  CertExtension attribute;
  for (Asn1Element* child = attributes->firstChild(); child != nullptr; child = child->nextSibling()) {
    if ((rc = DecodeExtensionNode(*child, attribute)) != core::kOk) return rc;
    CertExtension* slot = AddNew(target.attributes);
    if (slot == nullptr) return core::kOutOfMemory;
    if ((rc = slot->Assign(attribute)) != core::kOk) return rc;
  }
  return core::kOk;
}

}  // namespace

// ---- ExtendedCertificate ------------------------------------------------------------------------------

int ExtendedCertificate::Decode(const uint8_t* bytes, int32_t length) {
  if (bytes == nullptr || length < 1) return kDerBadOuter;
  Asn1Element node;
  int rc = node.SetData(length, bytes);
  if (rc == core::kOk) rc = node.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  if (node.childCount() < 3) return kDerBadOuter;
  Asn1Element* info = node.firstChild();
  Asn1Element* algorithm = info->nextSibling();
  if ((rc = ReadInfo(*info, *this)) != core::kOk) return rc;
  if ((rc = ReadSignatureAlgorithm(*algorithm, signatureAlgorithm)) != core::kOk) return rc;
  rc = DerReadBitString(*algorithm->nextSibling(), 0, signature, nullptr, nullptr);
  // A BIT STRING without its unused-bits byte is a malformed inner element.
  return rc == core::kOutOfRange ? kDerBadInner : rc;
}

int ExtendedCertificate::EncodeInfo(DerWriter& writer) {
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendSmallInteger(version, 0x02);
  if (rc == core::kOk) rc = EncodeCertificate(certificate, writer);
  if (rc == core::kOk) rc = writer.BeginElement(0x31);
  const CertExtension empty;
  for (int32_t i = 0; rc == core::kOk && i < attributes.Count(); ++i) {
    const CertExtension* attribute = attributes.Get(i);
    rc = (attribute != nullptr ? *attribute : empty).Encode(writer);
  }
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

int ExtendedCertificate::Encode(DerWriter& writer) {
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = EncodeInfo(writer);
  if (rc == core::kOk) rc = signatureAlgorithm.Encode(writer, true);
  if (rc == core::kOk) rc = writer.AppendBitString(signature.Data(), signature.Length(), 0x03);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

// ---- The other composites ------------------------------------------------------------------------------

int CertificateChoice::Encode(DerWriter& writer) {
  if (!certificate.signature.IsEmpty()) return EncodeCertificate(certificate, writer);
  if (!extended.signature.IsEmpty()) return extended.Encode(writer);
  return core::kOk;
}

int CertificateWithKey::AddAttribute(const char* name, const core::BufferCore& value) {
  int rc = attributeNames.AddCString(name);
  return rc != core::kOk ? rc : attributeValues.Add(value.Data(), value.Length());
}

int CertificateWithKey::GetAttribute(const char* name, core::BufferCore& out) const {
  const int32_t index = attributeNames.IndexOf(name != nullptr ? name : "", 0);
  if (index < 0) return kNoSuchAttribute;
  return out.SetData(attributeValues.ItemLength(index), attributeValues.Item(index));
}

Certificate* KeyWithCertificates::FirstCertificate() { return certificates.GetOrCreate(0); }

// ---- Copies ------------------------------------------------------------------------------------------

int CopyRecord(AlgorithmIdentifier& target, const AlgorithmIdentifier& source) { return target.CopyFrom(source); }

int CopyRecord(CertExtension& target, const CertExtension& source) { return target.Assign(source); }

int CopyRecord(Certificate& target, const Certificate& source) { return CopyCertificate(target, source); }

int CopyRecord(KeyRecord& target, const KeyRecord& source) { return target.CopyFrom(source); }

int CopyRecord(KeyEntry& target, const KeyEntry& source) { return target.CopyFrom(source); }

int CopyRecord(ExtendedCertificate& target, const ExtendedCertificate& source) {
  target.version = source.version;
  int rc = CopyCertificate(target.certificate, source.certificate);
  if (rc == core::kOk) rc = CopyList(target.attributes, source.attributes);
  if (rc == core::kOk) rc = target.signatureAlgorithm.CopyFrom(source.signatureAlgorithm);
  if (rc == core::kOk) rc = target.signature.Assign(source.signature);
  return rc;
}

int CopyRecord(CertificateChoice& target, const CertificateChoice& source) {
  int rc = CopyCertificate(target.certificate, source.certificate);
  return rc != core::kOk ? rc : CopyRecord(target.extended, source.extended);
}

int CopyRecord(CertificateWithKey& target, const CertificateWithKey& source) {
  int rc = CopyCertificate(target.certificate, source.certificate);
  if (rc == core::kOk) rc = target.key.CopyFrom(source.key);
  if (rc == core::kOk) rc = CopyStrings(target.attributeNames, source.attributeNames);
  if (rc == core::kOk) rc = CopyStrings(target.attributeValues, source.attributeValues);
  return rc;
}

int CopyRecord(KeyWithCertificates& target, const KeyWithCertificates& source) {
  int rc = target.key.CopyFrom(source.key);
  return rc != core::kOk ? rc : CopyList(target.certificates, source.certificates);
}

int CopyRecord(KeyCertificatePair& target, const KeyCertificatePair& source) {
  int rc = target.key.CopyFrom(source.key);
  return rc != core::kOk ? rc : CopyCertificate(target.certificate, source.certificate);
}

}  // namespace velmora::pki
