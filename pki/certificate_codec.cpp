#include "pki/certificate_codec.h"

#include "asn1/asn1_element.h"
#include "asn1/der_read.h"
#include "core/hex.h"
#include "pki/distinguished_name.h"
#include "pki/internal.h"
#include "pki/pem_armour.h"
#include "pki/subject_public_key_info.h"

namespace velmora::pki {

namespace {

constexpr char kTimePattern[] = "yyyyMMddHHmmss";
constexpr int kNameStringRefused = 434;

// ReadTime converts one UTCTime or GeneralizedTime element into its 14-digit text.
int ReadTime(const Asn1Element& element, core::BufferCore& out) {
  core::Buffer content;
  uint8_t tag = 0;
  int rc = DerReadOctets(element, 0, content, &tag);
  return rc != core::kOk ? rc : DecodeAsn1Time(content, out, tag, kTimePattern, 0, nullptr);
}

// ReadName keeps a Name element and its text; a string the name reader cannot convert (434, a BMPString
// that is not UTF-16) is a malformed inner value here.
int ReadName(const Asn1Element& element, core::BufferCore& der, core::BufferCore& text) {
  int rc = der.Assign(element);
  if (rc == core::kOk) rc = DecodeNameToString(element, text);
  return rc == kNameStringRefused ? kDerBadInner : rc;
}

// ReadValidity reads notBefore and notAfter; a validity with fewer than two times is 447.
int ReadValidity(Asn1Element& element, TbsCertificate& target) {
  int rc = element.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  const Asn1Element* not_before = element.firstChild();
  if (not_before == nullptr || not_before->nextSibling() == nullptr) return kDerBadOuter;
  if ((rc = ReadTime(*not_before, target.notBefore)) != core::kOk) return rc;
  return ReadTime(*not_before->nextSibling(), target.notAfter);
}

// ReadExtensions appends the Extension elements of the [3] element to the list.
int ReadExtensions(Asn1Element& element, CertExtensionList& list) {
  int rc = element.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  Asn1Element* sequence = element.firstChild();
  if (sequence == nullptr || sequence->tag() != 0x30) return kDerBadInner;
  if ((rc = sequence->Parse(0, nullptr)) != core::kOk) return rc;
  CertExtension extension;
  for (Asn1Element* child = sequence->firstChild(); child != nullptr; child = child->nextSibling()) {
    if ((rc = DecodeExtensionNode(*child, extension)) != core::kOk) return rc;
    if ((rc = list.InsertAt(list.Count(), extension)) != core::kOk) return rc;
  }
  return core::kOk;
}

// ReadTrailer reads what follows subjectPublicKeyInfo (RFC 5280 4.1): issuerUniqueID [1] and
// subjectUniqueID [2], either or both, then extensions [3].
int ReadTrailer(Asn1Element* element, CertExtensionList& list) {
  bool extensions_read = false;
  for (; element != nullptr; element = element->nextSibling()) {
    const uint8_t tag = element->tag() & ~0x20;
    if (tag == 0x81 || tag == 0x82) continue;
    if (element->tag() != 0xA3) return kDerBadOuter;
    if (extensions_read) continue;
    extensions_read = true;
    int rc = ReadExtensions(*element, list);
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

// DecodeTbsNode is DecodeTbsCertificate on a node that holds the TBSCertificate element.
int DecodeTbsNode(Asn1Element& node, TbsCertificate& target) {
  (void)target.extensions.Clear();
  int rc = node.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  Asn1Element* field = node.firstChild();
  if (field == nullptr) return kDerBadOuter;
  // The version is EXPLICIT [0] and DEFAULT v1, so a v1 certificate may start with the serial.
  const bool has_version = (field->tag() & 0x20) != 0;
  if (node.childCount() < (has_version ? 7 : 6)) return kDerBadOuter;
  target.version = 0;
  if (has_version) {
    core::Buffer content;
    uint32_t version = 0;
    if ((rc = DerReadOctets(*field, 0, content, nullptr)) != core::kOk ||
        (rc = DerReadSmallInteger(content, 0, &version, nullptr)) != core::kOk) {
      return rc;
    }
    target.version = static_cast<int32_t>(version);
    field = field->nextSibling();
  }
  if ((rc = target.serialNumber.Assign(*field)) != core::kOk) return rc;
  target.serialHex.Clear();
  core::Buffer magnitude;
  if ((rc = DerReadUnsignedInteger(*field, 0, magnitude)) != core::kOk) return rc;
  // A zero serial keeps one digit pair, so that it is written back from serialHex as 02 01 00.
  rc = magnitude.IsEmpty() ? target.serialHex.SetString("00")
                           : core::AppendHexLower(target.serialHex, magnitude.Data(), magnitude.Length());
  if (rc != core::kOk) return rc;
  field = field->nextSibling();
  if ((rc = ReadSignatureAlgorithm(*field, target.signature)) != core::kOk) return rc;
  field = field->nextSibling();
  if ((rc = ReadName(*field, target.issuerDer, target.issuer)) != core::kOk) return rc;
  field = field->nextSibling();
  if ((rc = ReadValidity(*field, target)) != core::kOk) return rc;
  field = field->nextSibling();
  if ((rc = ReadName(*field, target.subjectDer, target.subject)) != core::kOk) return rc;
  field = field->nextSibling();
  if ((rc = target.spkiDer.Assign(*field)) != core::kOk ||
      (rc = DecodePublicKeyFromSpki(*field, target.publicKey)) != core::kOk) {
    return rc;
  }
  return ReadTrailer(field->nextSibling(), target.extensions);
}

// DecodeCertificateNode decodes a parsed certificate node; stored selects the full outer algorithm.
int DecodeCertificateNode(Asn1Element& node, Certificate& target, bool stored) {
  if (node.childCount() < 3) return kDerBadOuter;
  Asn1Element* tbs = node.firstChild();
  Asn1Element* algorithm = tbs->nextSibling();
  Asn1Element* signature = algorithm->nextSibling();
  int rc = target.tbsDer.Assign(*tbs);
  if (rc == core::kOk) rc = DecodeTbsNode(*tbs, target.tbs);
  if (rc != core::kOk) return rc;
  if (stored) {
    rc = target.signatureAlgorithm.Decode(*algorithm);
  } else {
    target.signatureAlgorithm.parameters.Clear();
    target.signatureAlgorithm.pss.reset();
    rc = algorithm->Parse(0, nullptr);
    if (rc == core::kOk && algorithm->firstChild() == nullptr) rc = kDerBadInner;
    if (rc == core::kOk) rc = DerReadOid(*algorithm->firstChild(), 0, target.signatureAlgorithm.oid, nullptr);
  }
  if (rc != core::kOk) return rc;
  rc = DerReadBitString(*signature, 0, target.signature, nullptr, nullptr);
  // A BIT STRING without its unused-bits byte (X.690 8.6.2.2) is a malformed inner element.
  return rc == core::kOutOfRange ? kDerBadInner : rc;
}

}  // namespace

int ParseCertificate(const uint8_t* bytes, int32_t length, Certificate& target) {
  if (bytes == nullptr || length < 1) return kDerBadOuter;
  // Measure the element first, so that nothing after it is copied or read.
  int32_t end = 0;
  if (!DerWalkHeader(bytes, 0, length, nullptr, nullptr, nullptr, nullptr, &end)) return kDerBadOuter;
  Asn1Element node;
  int rc = node.SetData(end, bytes);
  if (rc == core::kOk) rc = node.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  if (node.childCount() < 3) return kDerBadOuter;
  if ((rc = target.der.SetData(end, bytes)) != core::kOk) return rc;
  return DecodeCertificateNode(node, target, false);
}

int DecodeStoredCertificate(Certificate& certificate) {
  Asn1Element node;
  int rc = node.SetData(certificate.der.Length(), certificate.der.Data());
  if (rc == core::kOk) rc = node.Parse(0, nullptr);
  return rc != core::kOk ? rc : DecodeCertificateNode(node, certificate, true);
}

int DecodeTbsCertificate(const core::BufferCore& der, TbsCertificate& target) {
  Asn1Element node;
  int rc = node.SetData(der.Length(), der.Data());
  return rc != core::kOk ? rc : DecodeTbsNode(node, target);
}

int EncodeCertificate(Certificate& certificate, DerWriter& writer) {
  if (!certificate.der.IsEmpty()) return writer.Append(certificate.der);
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = EncodeTbsCertificate(certificate.tbs, writer);
  if (rc == core::kOk) rc = certificate.signatureAlgorithm.Encode(writer, true);
  if (rc == core::kOk) rc = writer.AppendBitString(certificate.signature.Data(), certificate.signature.Length(), 0x03);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

int ReadSignatureAlgorithm(Asn1Element& element, AlgorithmIdentifier& target) {
  target.parameters.Clear();
  target.pss.reset();
  int rc = element.Parse(0, nullptr);
  if (rc != core::kOk) return rc;
  const Asn1Element* oid = element.firstChild();
  if (oid == nullptr) return kDerBadInner;
  if ((rc = DerReadOid(*oid, 0, target.oid, nullptr)) != core::kOk) return rc;
  return oid->nextSibling() != nullptr ? target.parameters.Assign(*oid->nextSibling()) : core::kOk;
}

int CertificateToPem(Certificate& certificate, core::BufferCore& out) {
  out.Clear();
  DerWriter der;
  if (const int rc = EncodeCertificate(certificate, der); rc != core::kOk) return rc;
  return PemEncode(der.Data(), der.Length(), "CERTIFICATE", out);
}

int EncodeTbsCertificate(TbsCertificate& record, DerWriter& writer) {
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.BeginElement(0xA0);
  if (rc == core::kOk) rc = writer.AppendSmallInteger(record.version, 0x02);
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc != core::kOk) return rc;
  if (record.serialNumber.IsEmpty()) {
    core::Buffer serial;
    if (core::HexDecodeAppendStrict(serial, record.serialHex.Data()) != core::kOk) return kDerEncodeFailed;
    rc = writer.AppendUnsignedInteger(serial.Data(), serial.Length());
  } else {
    rc = writer.Append(record.serialNumber);
  }
  if (rc == core::kOk) rc = record.signature.Encode(writer, true);
  if (rc != core::kOk) return rc;
  rc = record.issuerDer.IsEmpty() ? EncodeNameFromText(record.issuer.Data(), writer) : writer.Append(record.issuerDer);
  if (rc == core::kOk) rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = EncodeAsn1Time(record.notBefore, writer);
  if (rc == core::kOk) rc = EncodeAsn1Time(record.notAfter, writer);
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = EncodeNameFromText(record.subject.Data(), writer);
  if (rc == core::kOk) rc = EncodeSubjectPublicKeyInfo(record.publicKey.key, writer);
  if (rc != core::kOk) return rc;
  CertExtensionList& list = record.extensions;
  if (list.Count() > 0) {
    rc = writer.BeginElement(0xA3);
    if (rc == core::kOk) rc = writer.BeginElement(0x30);
    for (int32_t i = 0; rc == core::kOk && i < list.Count(); ++i) {
      const CertExtension* extension = list.GetOrCreate(i);
      rc = extension == nullptr ? core::kOutOfMemory : extension->Encode(writer);
    }
    if (rc == core::kOk) rc = writer.EndElement(0);
    if (rc == core::kOk) rc = writer.EndElement(0);
  }
  return rc == core::kOk ? writer.EndElement(0) : rc;
}

int CopyCertificate(Certificate& target, const Certificate& source) {
  int rc = target.der.Assign(source.der);
  if (rc == core::kOk) rc = target.tbsDer.Assign(source.tbsDer);
  if (rc == core::kOk) rc = CopyTbsCertificate(target.tbs, source.tbs);
  if (rc == core::kOk) rc = target.signatureAlgorithm.CopyFrom(source.signatureAlgorithm);
  if (rc == core::kOk) rc = target.signature.Assign(source.signature);
  return rc;
}

int CopyTbsCertificate(TbsCertificate& target, const TbsCertificate& source) {
  target.version = source.version;
  int rc = target.serialHex.Assign(source.serialHex);
  if (rc == core::kOk) rc = target.serialNumber.Assign(source.serialNumber);
  if (rc == core::kOk) rc = target.signature.CopyFrom(source.signature);
  if (rc == core::kOk) rc = target.issuer.Assign(source.issuer);
  if (rc == core::kOk) rc = target.issuerDer.Assign(source.issuerDer);
  if (rc == core::kOk) rc = target.notBefore.Assign(source.notBefore);
  if (rc == core::kOk) rc = target.notAfter.Assign(source.notAfter);
  if (rc == core::kOk) rc = target.subject.Assign(source.subject);
  if (rc == core::kOk) rc = target.subjectDer.Assign(source.subjectDer);
  if (rc == core::kOk) rc = target.spkiDer.Assign(source.spkiDer);
  if (rc == core::kOk) rc = target.publicKey.CopyFrom(source.publicKey);
  const CertExtension empty;
  for (int32_t i = 0; rc == core::kOk && i < source.extensions.Count(); ++i) {
    const CertExtension* extension = source.extensions.Get(i);
    rc = target.extensions.InsertAt(target.extensions.Count(), extension != nullptr ? *extension : empty);
  }
  return rc;
}

}  // namespace velmora::pki
