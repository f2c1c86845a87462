#include "pki/pkcs7.h"

#include <cstring>
#include <new>
#include <vector>

#include "asn1/der_codes.h"
#include "asn1/der_read.h"
#include "core/base64.h"
#include "pki/certificate_codec.h"
#include "pki/distinguished_name.h"
#include "pki/pkcs_der.h"

namespace velmora::pki {

using internal::DerSpan;

namespace {

constexpr const char* kTimePattern = "yyyyMMddHHmmss";

// Items reads the first max children of parent into out (*count of them); false when one of those read
// is malformed. Children past max are not looked at.
bool Items(const DerSpan& parent, DerSpan* out, int32_t max, int32_t* count) {
  *count = 0;
  int32_t offset = parent.content;
  while (offset < parent.content_end && *count < max) {
    if (!internal::ReadElement(parent.bytes, offset, parent.content_end, &out[*count])) return false;
    offset = out[*count].end;
    ++*count;
  }
  return true;
}

// ForEachItem calls visit(child) for every child of parent in order; the first nonzero result ends the
// walk and is returned, a malformed child gives 446.
template <typename Visit>
int ForEachItem(const DerSpan& parent, Visit visit) {
  int32_t offset = parent.content;
  while (offset < parent.content_end) {
    DerSpan child;
    if (!internal::ReadElement(parent.bytes, offset, parent.content_end, &child)) return kDerBadInner;
    if (const int rc = visit(child); rc != core::kOk) return rc;
    offset = child.end;
  }
  return core::kOk;
}

int SetEncoding(const DerSpan& span, core::BufferCore& out) { return out.SetData(span.EncodingLength(), span.Encoding()); }

int DecodeAlgorithm(const DerSpan& span, AlgorithmIdentifier& target) {
  core::Buffer der;
  const int rc = SetEncoding(span, der);
  return rc != core::kOk ? rc : target.Decode(der);
}

int CopyStrings(core::StrList& target, const core::StrList& source) {
  int rc = target.Clear();
  for (int32_t i = 0; rc == core::kOk && i < source.Count(); ++i) rc = target.Add(source.Item(i), source.ItemLength(i));
  return rc;
}

// ReadAttributeValue stores one value of attribute in the form the attribute table gives.
int ReadAttributeValue(const core::BufferCore& type, const DerSpan& value, core::BufferCore& out) {
  if (type.EqualsNoCase(kPkcs9ContentTypeOid)) return internal::OidText(value, out);
  if (type.EqualsNoCase(kPkcs9MessageDigestOid)) {
    if (value.tag != 0x04) return kDerBadInner;
    return out.SetData(value.Length(), value.Content());
  }
  if (type.EqualsNoCase(kPkcs9SigningTimeOid)) {
    core::Buffer content;
    const int rc = content.SetData(value.Length(), value.Content());
    return rc != core::kOk ? rc : DecodeAsn1Time(content, out, value.tag, kTimePattern, 0, nullptr);
  }
  return SetEncoding(value, out);
}

int DecodeAttributeList(const DerSpan& set, CertAttributeList& list) {
  return ForEachItem(set, [&list](const DerSpan& item) {
    CertAttribute* attribute = AddNew(list);
    if (attribute == nullptr) return core::kOutOfMemory;
    return CertAttribute::Decode(item.Encoding(), item.EncodingLength(), *attribute);
  });
}

int WriteAlgorithm(const AlgorithmIdentifier& algorithm, DerWriter& writer) {
  core::Buffer der;
  const int rc = algorithm.Encode(der, true);
  return rc != core::kOk ? rc : writer.Append(der);
}

// ReadIssuerAndSerial reads element 1 of a version 1 SignerInfo.
int ReadIssuerAndSerial(const DerSpan& element, SignerInfo& signer) {
  return internal::ReadIssuerAndSerial(element, signer.issuerDer, signer.issuer, signer.serialNumber,
                                       &signer.serialElement);
}

}  // namespace

// ---- CertAttribute ------------------------------------------------------------------------------------

int CertAttribute::Decode(const uint8_t* der, int32_t length, CertAttribute& attribute) {
  DerSpan top;
  DerSpan items[2];
  int32_t count = 0;
  if (der == nullptr || !internal::ReadTop(der, length, &top) || !Items(top, items, 2, &count)) return kDerBadOuter;
  if (count < 2) return kDerBadOuter;
  int rc = internal::OidText(items[0], attribute.type);
  if (rc != core::kOk) return rc;
  if (items[1].tag != 0x31) return kDerBadInner;
  return ForEachItem(items[1], [&attribute](const DerSpan& value) {
    core::Buffer text;
    const int code = ReadAttributeValue(attribute.type, value, text);
    return code != core::kOk ? code : attribute.values.Add(text.Bytes(), text.Length());
  });
}

int CertAttribute::Encode(const CertAttribute& attribute, DerWriter& writer) {
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendOid(attribute.type.Data(), 0x06);
  if (rc == core::kOk) rc = writer.BeginElement(0x31);
  for (int32_t i = 0; rc == core::kOk && i < attribute.values.Count(); ++i) {
    const char* item = attribute.values.Item(i);
    const int32_t length = attribute.values.ItemLength(i);
    if (attribute.type.EqualsNoCase(kPkcs9ContentTypeOid)) {
      rc = writer.AppendOid(item, 0x06);
    } else if (attribute.type.EqualsNoCase(kPkcs9SigningTimeOid)) {
      core::Buffer time;
      rc = time.SetData(length, item);
      if (rc == core::kOk) rc = EncodeAsn1Time(time, writer);
    } else if (attribute.type.EqualsNoCase(kPkcs9MessageDigestOid)) {
      rc = writer.AppendTlv(item, length, 0x04);
    } else {
      rc = writer.Append(item, length);
    }
  }
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

int CopyRecord(CertAttribute& target, const CertAttribute& source) {
  const int rc = target.type.Assign(source.type);
  return rc != core::kOk ? rc : CopyStrings(target.values, source.values);
}

// ---- SignerInfo ---------------------------------------------------------------------------------------

int SignerInfo::Decode(const uint8_t* der, int32_t length, SignerInfo& signer) {
  DerSpan top;
  DerSpan items[7];
  int32_t count = 0;
  if (der == nullptr || !internal::ReadTop(der, length, &top) || !Items(top, items, 7, &count)) return kDerBadOuter;
  if (count < 5) return kDerBadOuter;
  int64_t version = 0;
  if (!internal::SmallInteger(items[0], &version)) return kDerBadInner;
  signer.version = static_cast<int32_t>(version);
  int rc = core::kOk;
  if (items[1].tag == 0x80 && signer.version == 3) {
    rc = signer.subjectKeyIdentifier.SetData(items[1].Length(), items[1].Content());
  } else {
    rc = ReadIssuerAndSerial(items[1], signer);
  }
  if (rc == core::kOk) rc = DecodeAlgorithm(items[2], signer.digestAlgorithm);
  if (rc != core::kOk) return rc;
  int32_t next = 3;
  if (items[3].tag == 0xA0) {
    if ((rc = SetEncoding(items[3], signer.signedAttributesDer)) != core::kOk) return rc;
    if ((rc = DecodeAttributeList(items[3], signer.signedAttributes)) != core::kOk) return rc;
    ++next;
  }
  if (next + 1 >= count) return kDerBadOuter;
  if ((rc = DecodeAlgorithm(items[next], signer.signatureAlgorithm)) != core::kOk) return rc;
  const DerSpan& signature = items[next + 1];
  if (signature.tag != 0x04) return kDerBadInner;
  if ((rc = signer.signature.SetData(signature.Length(), signature.Content())) != core::kOk) return rc;
  if (next + 2 < count && items[next + 2].tag == 0xA1) return DecodeAttributeList(items[next + 2], signer.unsignedAttributes);
  return core::kOk;
}

int SignerInfo::Encode(const SignerInfo& signer, DerWriter& writer) {
  if (signer.version != 1 && signer.version != 3) return kDerBadOuter;
  if (signer.version == 3 && signer.subjectKeyIdentifier.Length() == 0) return kDerBadOuter;
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendSmallInteger(signer.version, 0x02);
  if (rc == core::kOk && signer.version == 1) {
    rc = writer.BeginElement(0x30);
    if (rc == core::kOk) {
      rc = signer.issuerDer.Length() > 0 ? writer.Append(signer.issuerDer) : EncodeNameFromText(signer.issuer.Data(), writer);
    }
    if (rc == core::kOk) {
      rc = signer.serialElement.Length() > 0
               ? writer.Append(signer.serialElement)
               : writer.AppendUnsignedInteger(signer.serialNumber.Bytes(), signer.serialNumber.Length());
    }
    if (rc == core::kOk) rc = writer.EndElement(0);
  } else if (rc == core::kOk) {
    rc = writer.AppendTlv(signer.subjectKeyIdentifier.Bytes(), signer.subjectKeyIdentifier.Length(), 0x80);
  }
  if (rc == core::kOk) rc = WriteAlgorithm(signer.digestAlgorithm, writer);
  if (rc == core::kOk && signer.signedAttributesDer.Length() > 0) {
    rc = writer.Append(signer.signedAttributesDer);
  } else if (rc == core::kOk && signer.signedAttributes.Count() > 0) {
    rc = writer.BeginElement(0xA0);
    for (int32_t i = 0; rc == core::kOk && i < signer.signedAttributes.Count(); ++i) {
      const CertAttribute* attribute = signer.signedAttributes.Get(i);
      if (attribute != nullptr) rc = CertAttribute::Encode(*attribute, writer);
    }
    if (rc == core::kOk) rc = writer.EndElement(0);
  }
  if (rc == core::kOk) rc = WriteAlgorithm(signer.signatureAlgorithm, writer);
  if (rc == core::kOk) rc = writer.AppendTlv(signer.signature.Bytes(), signer.signature.Length(), 0x04);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

int CopyRecord(SignerInfo& target, const SignerInfo& source) {
  target.version = source.version;
  int rc = target.issuer.Assign(source.issuer);
  if (rc == core::kOk) rc = target.issuerDer.Assign(source.issuerDer);
  if (rc == core::kOk) rc = target.serialNumber.Assign(source.serialNumber);
  if (rc == core::kOk) rc = target.serialElement.Assign(source.serialElement);
  if (rc == core::kOk) rc = target.subjectKeyIdentifier.Assign(source.subjectKeyIdentifier);
  if (rc == core::kOk) rc = target.digestAlgorithm.CopyFrom(source.digestAlgorithm);
  if (rc == core::kOk) rc = CopyList(target.signedAttributes, source.signedAttributes);
  if (rc == core::kOk) rc = target.signedAttributesDer.Assign(source.signedAttributesDer);
  if (rc == core::kOk) rc = target.signatureAlgorithm.CopyFrom(source.signatureAlgorithm);
  if (rc == core::kOk) rc = target.signature.Assign(source.signature);
  if (rc == core::kOk) rc = CopyList(target.unsignedAttributes, source.unsignedAttributes);
  return rc;
}

// ---- SignedData ---------------------------------------------------------------------------------------

int SignedData::Reset() {
  version = 0;
  (void)digestAlgorithms.Clear();
  contentType.Clear();
  content.Clear();
  contentElement.Clear();
  (void)certificates.Clear();
  (void)crls.Clear();
  (void)signerInfos.Clear();
  return core::kOk;
}

int SignedData::Copy(SignedData& destination, const SignedData& source) {
  if (&destination == &source) return core::kOk;
  (void)destination.Reset();
  destination.version = source.version;
  int rc = CopyList(destination.digestAlgorithms, source.digestAlgorithms);
  if (rc == core::kOk) rc = destination.contentType.Assign(source.contentType);
  if (rc == core::kOk) rc = destination.content.Assign(source.content);
  if (rc == core::kOk) rc = destination.contentElement.Assign(source.contentElement);
  if (rc == core::kOk) rc = CopyList(destination.certificates, source.certificates);
  if (rc == core::kOk) rc = CopyStrings(destination.crls, source.crls);
  if (rc == core::kOk) rc = CopyList(destination.signerInfos, source.signerInfos);
  return rc;
}

namespace {

// ReadInnerContent reads the EncapsulatedContentInfo: the type and, inside its [0], the content.
int ReadInnerContent(const DerSpan& element, SignedData& target) {
  DerSpan items[2];
  int32_t count = 0;
  if (!Items(element, items, 2, &count) || count < 1) return kDerBadInner;
  int rc = internal::OidText(items[0], target.contentType);
  if (rc != core::kOk || count < 2) return rc;
  DerSpan inner;
  if (items[1].Length() == 0) return core::kOk;
  if (!internal::ReadElement(items[1].bytes, items[1].content, items[1].content_end, &inner)) return kDerBadInner;
  if (inner.tag == 0x04 || inner.tag == 0x24) return internal::JoinOctets(inner, target.content);
  rc = target.content.SetData(inner.Length(), inner.Content());
  return rc != core::kOk ? rc : SetEncoding(inner, target.contentElement);
}

int ReadCertificateSet(const DerSpan& set, SignedData& target) {
  return ForEachItem(set, [&target](const DerSpan& member) {
    CertificateChoice* choice = AddNew(target.certificates);
    if (choice == nullptr) return core::kOutOfMemory;
    if (member.tag == 0xA0) return choice->extended.Decode(member.Encoding(), member.EncodingLength());
    if (member.tag == 0x30) return ParseCertificate(member.Encoding(), member.EncodingLength(), choice->certificate);
    return core::kOk;
  });
}

}  // namespace

int ParseSignedData(const core::BufferCore& content, SignedData& target) {
  DerSpan top;
  DerSpan items[6];
  int32_t count = 0;
  if (!internal::ReadTop(content.Bytes(), content.Length(), &top) || !Items(top, items, 6, &count)) return kDerBadOuter;
  if (count < 5) return kDerBadOuter;
  int64_t version = 0;
  if (!internal::SmallInteger(items[0], &version)) return kDerBadInner;
  target.version = static_cast<int32_t>(version);
  (void)target.digestAlgorithms.Clear();
  int rc = ForEachItem(items[1], [&target](const DerSpan& member) {
    AlgorithmIdentifier* algorithm = AddNew(target.digestAlgorithms);
    return algorithm == nullptr ? core::kOutOfMemory : DecodeAlgorithm(member, *algorithm);
  });
  if (rc == core::kOk) rc = ReadInnerContent(items[2], target);
  if (rc != core::kOk) return rc;
  int32_t next = 3;
  if (items[3].tag == 0xA0) {
    if ((rc = ReadCertificateSet(items[3], target)) != core::kOk) return rc;
    next = 4;
  }
  if (next < count && items[next].tag == 0xA1) {
    rc = ForEachItem(items[next], [&target](const DerSpan& crl) {
      return target.crls.Add(crl.Encoding(), crl.EncodingLength());
    });
    if (rc != core::kOk) return rc;
    ++next;
  }
  if (next >= count) return kDerBadOuter;
  return ForEachItem(items[next], [&target](const DerSpan& member) {
    SignerInfo* signer = AddNew(target.signerInfos);
    return signer == nullptr ? core::kOutOfMemory : SignerInfo::Decode(member.Encoding(), member.EncodingLength(), *signer);
  });
}

int EncodeSignedData(const SignedData& source, DerWriter& writer) {
  int rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendSmallInteger(source.version, 0x02);
  if (rc == core::kOk) rc = writer.BeginElement(0x31);
  for (int32_t i = 0; rc == core::kOk && i < source.digestAlgorithms.Count(); ++i) {
    const AlgorithmIdentifier* algorithm = source.digestAlgorithms.Get(i);
    rc = algorithm != nullptr ? WriteAlgorithm(*algorithm, writer) : WriteAlgorithm(AlgorithmIdentifier(), writer);
  }
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendOid(source.contentType.Data(), 0x06);
  if (rc == core::kOk && (source.content.Length() > 0 || source.contentElement.Length() > 0)) {
    rc = writer.BeginElement(0xA0);
    if (rc == core::kOk) {
      rc = source.contentElement.Length() > 0 ? writer.Append(source.contentElement)
                                              : writer.AppendTlv(source.content.Bytes(), source.content.Length(), 0x04);
    }
    if (rc == core::kOk) rc = writer.EndElement(0);
  }
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk && source.certificates.Count() > 0) {
    rc = writer.BeginElement(0xA0);
    for (int32_t i = 0; rc == core::kOk && i < source.certificates.Count(); ++i) {
      if (CertificateChoice* choice = source.certificates.Get(i); choice != nullptr) rc = choice->Encode(writer);
    }
    if (rc == core::kOk) rc = writer.EndElement(0);
  }
  if (rc == core::kOk && source.crls.Count() > 0) {
    rc = writer.BeginElement(0xA1);
    for (int32_t i = 0; rc == core::kOk && i < source.crls.Count(); ++i) {
      rc = writer.Append(source.crls.Item(i), source.crls.ItemLength(i));
    }
    if (rc == core::kOk) rc = writer.EndElement(0);
  }
  if (rc == core::kOk) rc = writer.BeginElement(0x31);
  for (int32_t i = 0; rc == core::kOk && i < source.signerInfos.Count(); ++i) {
    if (const SignerInfo* signer = source.signerInfos.Get(i); signer != nullptr) rc = SignerInfo::Encode(*signer, writer);
  }
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc;
}

// ---- SignedDataEntry and the content info -------------------------------------------------------------

RecordPtr<SignedDataEntry> SignedDataEntry::Clone(const SignedDataEntry& source) {
  RecordPtr<SignedDataEntry> entry(core::PtrArrayTraits<SignedDataEntry>::Create());
  if (entry == nullptr) return entry;
  entry->selectedIndex = source.selectedIndex;
  if (entry->bytes.Assign(source.bytes) == core::kOk) (void)SignedData::Copy(entry->signedData, source.signedData);
  return entry;
}

Pkcs7ContentInfo::~Pkcs7ContentInfo() { (void)Reset(); }

int Pkcs7ContentInfo::Reset() {
  contentType.Clear();
  content.Clear();
  isData = false;
  envelopedData.reset();
  signedData.reset();
  isEncryptedData = false;
  return core::kOk;
}

int Pkcs7ContentInfo::Decode() {
  (void)Reset();
  core::Buffer copy;
  int rc = copy.Assign(input);
  if (rc != core::kOk) return rc;
  if (core::IsBase64Text(copy.Data(), copy.Length()) && (rc = core::Base64Decode(copy, 0, 0, 1)) != core::kOk) return rc;
  DerSpan top;
  DerSpan items[2];
  int32_t count = 0;
  if (!internal::ReadTop(copy.Bytes(), copy.Length(), &top) || !top.Constructed() || !Items(top, items, 2, &count)) {
    return kDerBadOuter;
  }
  if (count < 2) return kDerBadOuter;
  if ((rc = internal::OidText(items[0], contentType)) != core::kOk) return rc;
  // The walker has already set the content's end before the end-of-contents octets of an indefinite
  // length (X.690 8.1.3.6), so both length forms give the same content.
  if ((rc = content.SetData(items[1].Length(), items[1].Content())) != core::kOk) return rc;
  if (contentType.EqualsNoCase(kPkcs7DataOid)) {
    isData = true;
  } else if (contentType.EqualsNoCase(kPkcs7EncryptedDataOid)) {
    isEncryptedData = true;
  } else if (contentType.EqualsNoCase(kPkcs7EnvelopedDataOid)) {
    envelopedData.reset(core::PtrArrayTraits<EnvelopedData>::Create());
    if (envelopedData == nullptr) return core::kOutOfMemory;
    return EnvelopedData::Decode(content, *envelopedData);
  } else if (contentType.EqualsNoCase(kPkcs7SignedDataOid)) {
    signedData.reset(core::PtrArrayTraits<SignedData>::Create());
    if (signedData == nullptr) return core::kOutOfMemory;
    return ParseSignedData(content, *signedData);
  }
  return core::kOk;
}

int LoadP7b(const uint8_t* data, int32_t length, SignedDataEntry& entry) {
  if (data == nullptr || length <= 0) return kDerBadOuter;
  Pkcs7ContentInfo info;
  int rc = info.input.SetData(length, data);
  if (rc == core::kOk) rc = info.Decode();
  if (rc != core::kOk) return rc;
  if (info.signedData == nullptr || info.signedData->certificates.Count() == 0) return kDerBadInner;
  rc = entry.bytes.SetData(length, data);
  return rc != core::kOk ? rc : SignedData::Copy(entry.signedData, *info.signedData);
}

int BuildP7b(CertificateList& certificates, core::BufferCore& out) {
  SignedData signed_data;
  signed_data.version = 1;
  int rc = signed_data.contentType.SetString(kPkcs7DataOid);
  for (int32_t i = 0; rc == core::kOk && i < certificates.Count(); ++i) {
    Certificate* certificate = certificates.GetOrCreate(i);
    CertificateChoice* choice = certificate == nullptr ? nullptr : AddNew(signed_data.certificates);
    rc = choice == nullptr ? core::kOutOfMemory : CopyRecord(choice->certificate, *certificate);
  }
  DerWriter writer;
  if (rc == core::kOk) rc = writer.BeginElement(0x30);
  if (rc == core::kOk) rc = writer.AppendOid(kPkcs7SignedDataOid, 0x06);
  if (rc == core::kOk) rc = writer.BeginElement(0xA0);
  if (rc == core::kOk) rc = EncodeSignedData(signed_data, writer);
  if (rc == core::kOk) rc = writer.EndElement(0);
  if (rc == core::kOk) rc = writer.EndElement(0);
  return rc != core::kOk ? rc : out.Assign(writer);
}

// OrderCertificateChain walks from the first remaining certificate down to a certificate it issued, as
// long as there is one, and takes the certificate where the walk stops. The walk is a path kept as a
// stack: after a take it resumes at the taken certificate's parent, which is where a walk restarted
// from the first certificate would come again. A certificate on the path is never stepped to, so
// duplicates and issuer cycles end. Each step scans the list once, so the order costs O(n^2) compares.
int OrderCertificateChain(SignedDataEntry& entry) {
  core::PtrArray<CertificateChoice>& list = entry.signedData.certificates;
  const int32_t count = list.Count();
  enum State : uint8_t { kFree, kOnPath, kTaken };
  try {
    std::vector<State> state(static_cast<size_t>(count), kFree);
    std::vector<int32_t> path;
    std::vector<int32_t> order;
    order.reserve(static_cast<size_t>(count));
    auto subject = [&list](int32_t i) { return list.Get(i) != nullptr ? list.Get(i)->certificate.tbs.subject.Data() : ""; };
    auto issuer = [&list](int32_t i) { return list.Get(i) != nullptr ? list.Get(i)->certificate.tbs.issuer.Data() : ""; };
    for (int32_t start = 0; start < count; ++start) {
      if (state[start] != kFree) continue;
      path.push_back(start);
      state[start] = kOnPath;
      while (!path.empty()) {
        const int32_t current = path.back();
        int32_t child = -1;
        for (int32_t i = 0; i < count && child < 0; ++i) {
          if (state[i] == kFree && std::strcmp(issuer(i), subject(current)) == 0) child = i;
        }
        if (child >= 0) {
          path.push_back(child);
          state[child] = kOnPath;
        } else {
          path.pop_back();
          state[current] = kTaken;
          order.push_back(current);
        }
      }
    }
    return list.Reorder(order.data());
  } catch (const std::bad_alloc&) {
    return core::kOutOfMemory;
  }
  return core::kOk;
}

}  // namespace velmora::pki
