#include "pki/enveloped_data.h"

#include "asn1/der_codes.h"
#include "crypto/cipher/cipher_params.h"
#include "crypto/keys/provider_mode.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/crypto_component.h"
#include "crypto/objects/key_providers.h"
#include "crypto/registry/oid_tables.h"
#include "pki/distinguished_name.h"
#include "pki/pkcs_der.h"

namespace velmora::pki {

using internal::DerSpan;

namespace {

int DecodeAlgorithm(const DerSpan& span, AlgorithmIdentifier& target) {
  core::Buffer der;
  const int rc = der.SetData(span.EncodingLength(), span.Encoding());
  return rc != core::kOk ? rc : target.Decode(der);
}

// DecodeWrappedAlgorithm decodes the AlgorithmIdentifier an explicit [n] member holds.
int DecodeWrappedAlgorithm(const DerSpan& member, AlgorithmIdentifier& target) {
  DerSpan inner;
  if (!member.Constructed() || !internal::ReadElement(member.bytes, member.content, member.content_end, &inner)) {
    return kDerBadInner;
  }
  return DecodeAlgorithm(inner, target);
}

// ReadIssuerAndSerial reads the IssuerAndSerialNumber of a version 0 recipient.
int ReadIssuerAndSerial(const DerSpan& element, RecipientInfo& recipient) {
  core::Buffer name;
  return internal::ReadIssuerAndSerial(element, name, recipient.issuer, recipient.serialNumber, nullptr);
}

// ReadOaepParameters reads RSAES-OAEP-params (RFC 8017 A.2.1) over the defaults the record holds: [0] the
// hash, [1] the mask generation function whose parameters name the MGF1 hash, [2] the label source whose
// parameters are the label. Other members are skipped.
int ReadOaepParameters(const core::BufferCore& parameters, RecipientInfo& recipient) {
  DerSpan top;
  if (!internal::ReadTop(parameters.Bytes(), parameters.Length(), &top) || top.tag != 0x30) return kDerBadInner;
  int32_t offset = top.content;
  while (offset < top.content_end) {
    DerSpan member;
    if (!internal::ReadElement(top.bytes, offset, top.content_end, &member)) return kDerBadInner;
    offset = member.end;
    int rc = core::kOk;
    if (member.tag == 0xA0) {
      rc = DecodeWrappedAlgorithm(member, recipient.oaepHashAlgorithm);
    } else if (member.tag == 0xA1) {
      AlgorithmIdentifier mask;
      rc = DecodeWrappedAlgorithm(member, mask);
      if (rc == core::kOk && !mask.parameters.IsEmpty()) rc = recipient.mgf1HashAlgorithm.Decode(mask.parameters);
    } else if (member.tag == 0xA2) {
      AlgorithmIdentifier source;
      rc = DecodeWrappedAlgorithm(member, source);
      if (rc == core::kOk && !source.parameters.IsEmpty()) {
        DerSpan label;
        if (!internal::ReadTop(source.parameters.Bytes(), source.parameters.Length(), &label) || label.tag != 0x04) {
          return kDerBadInner;
        }
        rc = recipient.oaepLabel.SetData(label.Length(), label.Content());
      }
    }
    if (rc != core::kOk) return rc;
  }
  return core::kOk;
}

// ReadEncryptedContentInfo reads the content type, the content-encryption algorithm with the content of
// its parameters, and the optional [0] encrypted content.
int ReadEncryptedContentInfo(const DerSpan& element, EnvelopedData& target) {
  DerSpan items[3];
  int32_t count = 0;
  if (element.tag != 0x30 || !internal::Children(element, items, 3, &count)) return kDerBadInner;
  if (count < 2) return kDerBadOuter;
  int rc = internal::OidText(items[0], target.contentType);
  if (rc != core::kOk) return rc;
  DerSpan algorithm[2];
  int32_t parts = 0;
  if (items[1].tag != 0x30 || !internal::Children(items[1], algorithm, 2, &parts) || parts < 1) return kDerBadInner;
  if ((rc = internal::OidText(algorithm[0], target.contentEncryptionAlgorithm)) != core::kOk) return rc;
  if (parts == 2) {
    rc = target.contentEncryptionParameters.SetData(algorithm[1].Length(), algorithm[1].Content());
    if (rc != core::kOk) return rc;
  }
  if (count < 3) return core::kOk;
  if ((items[2].tag & 0xDF) != 0x80) return kDerBadInner;
  return internal::JoinOctets(items[2], target.encryptedContent);
}

}  // namespace

// ---- RecipientInfo ------------------------------------------------------------------------------------

RecipientInfo::RecipientInfo() {
  (void)oaepHashAlgorithm.oid.SetString(asn1::kSha1Oid);
  (void)mgf1HashAlgorithm.oid.SetString(asn1::kSha1Oid);
}

int RecipientInfo::Decode(const uint8_t* der, int32_t length, RecipientInfo& recipient) {
  DerSpan top;
  DerSpan items[4];
  int32_t count = 0;
  if (der == nullptr || !internal::ReadTop(der, length, &top) || !top.Constructed() ||
      !internal::Children(top, items, 4, &count)) {
    return kDerBadOuter;
  }
  if (count < 4) return kDerBadOuter;
  int64_t version = 0;
  if (!internal::SmallInteger(items[0], &version)) return kDerBadInner;
  recipient.version = static_cast<int32_t>(version);
  int rc = core::kOk;
  if (recipient.version == 0) {
    rc = ReadIssuerAndSerial(items[1], recipient);
  } else if (recipient.version == 2) {
    if ((items[1].tag & 0xDF) != 0x80) return kDerBadInner;
    rc = internal::JoinOctets(items[1], recipient.subjectKeyIdentifier);
  }
  if (rc == core::kOk) rc = DecodeAlgorithm(items[2], recipient.keyEncryptionAlgorithm);
  if (rc == core::kOk && recipient.keyEncryptionAlgorithm.oid.EqualsNoCase(kRsaesOaepOid) &&
      !recipient.keyEncryptionAlgorithm.parameters.IsEmpty()) {
    rc = ReadOaepParameters(recipient.keyEncryptionAlgorithm.parameters, recipient);
  }
  if (rc != core::kOk) return rc;
  if ((items[3].tag & 0xDF) != 0x04) return kDerBadInner;
  return internal::JoinOctets(items[3], recipient.encryptedKey);
}

RecordPtr<RecipientInfo> RecipientInfo::Clone(const RecipientInfo& source) { return pki::Clone(source); }

int CopyRecord(RecipientInfo& target, const RecipientInfo& source) {
  target.version = source.version;
  int rc = target.serialNumber.Assign(source.serialNumber);
  if (rc == core::kOk) rc = target.issuer.Assign(source.issuer);
  if (rc == core::kOk) rc = target.subjectKeyIdentifier.Assign(source.subjectKeyIdentifier);
  if (rc == core::kOk) rc = CopyRecord(target.keyEncryptionAlgorithm, source.keyEncryptionAlgorithm);
  if (rc == core::kOk) rc = target.encryptedKey.Assign(source.encryptedKey);
  if (rc == core::kOk) rc = CopyRecord(target.oaepHashAlgorithm, source.oaepHashAlgorithm);
  if (rc == core::kOk) rc = CopyRecord(target.mgf1HashAlgorithm, source.mgf1HashAlgorithm);
  if (rc == core::kOk) rc = target.oaepLabel.Assign(source.oaepLabel);
  return rc;
}

// ---- EnvelopedData ------------------------------------------------------------------------------------

int EnvelopedData::Decode(const core::BufferCore& content, EnvelopedData& target) {
  DerSpan top;
  DerSpan items[3];
  int32_t count = 0;
  if (!internal::ReadTop(content.Bytes(), content.Length(), &top) || !top.Constructed() ||
      !internal::Children(top, items, 3, &count) || count != 3) {
    return kDerBadOuter;
  }
  int64_t version = 0;
  if (!internal::SmallInteger(items[0], &version)) return kDerBadInner;
  target.version = static_cast<int32_t>(version);
  if (items[1].tag != 0x31) return kDerBadInner;
  for (int32_t offset = items[1].content; offset < items[1].content_end;) {
    DerSpan member;
    if (!internal::ReadElement(items[1].bytes, offset, items[1].content_end, &member)) return kDerBadInner;
    offset = member.end;
    RecipientInfo* recipient = AddNew(target.recipientInfos);
    if (recipient == nullptr) return core::kOutOfMemory;
    const int rc = RecipientInfo::Decode(member.Encoding(), member.EncodingLength(), *recipient);
    if (rc != core::kOk) return rc;
  }
  return ReadEncryptedContentInfo(items[2], target);
}

// ---- Decryption ---------------------------------------------------------------------------------------

int DecryptEnvelopedData(const crypto::RsaKeyParams& key, const EnvelopedData& data, core::BufferCore& out) {
  component::CryptoComponent component;
  int rc = crypto::SelectRsaProvider(component, key, crypto::kProviderDefault);
  if (rc != core::kOk) return rc;
  const RecipientInfo none;
  const RecipientInfo* first = data.recipientInfos.Count() > 0 ? data.recipientInfos.Get(0) : nullptr;
  const RecipientInfo& recipient = first != nullptr ? *first : none;
  core::SecureBuffer content_key;
  if (recipient.keyEncryptionAlgorithm.oid.EqualsNoCase(kRsaesOaepOid)) {
    const core::Buffer& label = recipient.oaepLabel;
    rc = crypto::PlatformRsaDecryptOaep(component, recipient.encryptedKey.Bytes(), recipient.encryptedKey.Length(),
                                        content_key, 1, label.IsEmpty() ? nullptr : label.Bytes(), label.Length(),
                                        HashNameFromOid(recipient.oaepHashAlgorithm.oid.Data()),
                                        HashNameFromOid(recipient.mgf1HashAlgorithm.oid.Data()));
  } else {
    rc = crypto::PlatformRsaDecryptOaep(component, recipient.encryptedKey.Bytes(), recipient.encryptedKey.Length(),
                                        content_key, 0, nullptr, 0, nullptr, nullptr);
  }
  if (rc != core::kOk) return rc;
  if (!data.contentEncryptionAlgorithm.EqualsNoCase(kDesEde3CbcOid)) return crypto::kUnknownCipher;
  const crypto::CipherInit init{content_key.Bytes(),
                                content_key.Length(),
                                data.contentEncryptionParameters.Bytes(),
                                data.contentEncryptionParameters.Length(),
                                1,
                                crypto::kModeCbc,
                                crypto::kPaddingPkcs7,
                                ""};
  if ((rc = crypto::SelectCipherProvider(component, crypto::kEngineCipher3Des, init, crypto::kProviderDefault)) != 0) {
    return rc;
  }
  core::SecureBuffer plain;
  int32_t consumed = data.encryptedContent.Length();
  rc = crypto::HeldCipher(component)->Decrypt(data.encryptedContent.Bytes(), 0, &consumed, plain, 1);
  return rc != core::kOk ? rc : out.Assign(plain);
}

}  // namespace velmora::pki
