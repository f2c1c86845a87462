// PKCS #7 (RFC 2315, RFC 5652) as the security core exchanges it: the outer ContentInfo decoded by
// content type, SignedData with its SignerInfo records and their PKCS #9 attributes, and the certificate
// bundle (P7B), a SignedData that carries only certificates.
//
// Every operation returns 0, 447 for a missing element or too few elements, 446 for a malformed element,
// 445 for an encoding failure, 200 when memory runs out, or a code of the readers below. What a decoder
// appended before a failure stays in its lists. Elements that were read are kept whole and written back
// unchanged: the serial number, the signed attributes, the subject key identifier, the content and every
// CRL. One thread at a time per record.
#pragma once

#include <cstdint>

#include "asn1/algorithm_identifier.h"
#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "core/str_list.h"
#include "pki/cert_composites.h"
#include "pki/certificate.h"
#include "pki/enveloped_data.h"

namespace velmora::pki {

inline constexpr char kPkcs7DataOid[] = "1.2.840.113549.1.7.1";
inline constexpr char kPkcs7SignedDataOid[] = "1.2.840.113549.1.7.2";
inline constexpr char kPkcs7EnvelopedDataOid[] = "1.2.840.113549.1.7.3";
inline constexpr char kPkcs7EncryptedDataOid[] = "1.2.840.113549.1.7.6";
inline constexpr char kPkcs9ContentTypeOid[] = "1.2.840.113549.1.9.3";
inline constexpr char kPkcs9MessageDigestOid[] = "1.2.840.113549.1.9.4";
inline constexpr char kPkcs9SigningTimeOid[] = "1.2.840.113549.1.9.5";

// CertAttribute: a PKCS #9 attribute, its type OID as dotted text and one item per value of its SET.
// contentType values are dotted OID text, messageDigest values the digest bytes, signingTime values
// "yyyyMMddHHmmss"; every other value is its complete DER element.
struct CertAttribute {
  core::Buffer type;
  core::StrList values;

  // Decode fills attribute from the DER of one Attribute SEQUENCE (values added to those it holds).
  [[nodiscard]] static int Decode(const uint8_t* der, int32_t length, CertAttribute& attribute);
  // Encode appends SEQUENCE { OID, SET { values } }.
  [[nodiscard]] static int Encode(const CertAttribute& attribute, DerWriter& writer);
};

using CertAttributeList = core::PtrArray<CertAttribute>;

// SignerInfo: version 1 names the signer by issuer (text and DER) and serial number (magnitude bytes and
// the INTEGER element as read), version 3 by subjectKeyIdentifier (the bytes). signedAttributesDer is the
// complete [0] element as read; signature is the OCTET STRING content.
struct SignerInfo {
  int32_t version = 0;
  core::Buffer issuer;
  core::Buffer issuerDer;
  core::Buffer serialNumber;
  core::Buffer serialElement;
  core::Buffer subjectKeyIdentifier;
  AlgorithmIdentifier digestAlgorithm;
  CertAttributeList signedAttributes;
  core::Buffer signedAttributesDer;
  AlgorithmIdentifier signatureAlgorithm;
  core::Buffer signature;
  CertAttributeList unsignedAttributes;

  // Decode fills signer from the DER of one SignerInfo SEQUENCE; 447 below five elements, 446 for a
  // serial number that is not an INTEGER.
  [[nodiscard]] static int Decode(const uint8_t* der, int32_t length, SignerInfo& signer);
  // Encode appends the SignerInfo: issuerDer and serialElement as stored when not empty (else encoded from
  // the issuer text and the serial bytes), signedAttributesDer as stored when not empty (else the
  // attribute list). Unsigned attributes are not written. 447 for a version other than 1 and 3, or
  // version 3 without a subject key identifier.
  [[nodiscard]] static int Encode(const SignerInfo& signer, DerWriter& writer);
};

// SignedData: content is the inner content's octets; contentElement, when not empty, the inner content
// element as read when it was not an OCTET STRING (written back unchanged). crls holds each CRL as its
// complete DER element, in order; CRLs are never decoded as certificates.
struct SignedData {
  int32_t version = 0;
  core::PtrArray<AlgorithmIdentifier> digestAlgorithms;
  core::Buffer contentType;
  core::Buffer content;
  core::Buffer contentElement;
  core::PtrArray<CertificateChoice> certificates;
  core::StrList crls;
  core::PtrArray<SignerInfo> signerInfos;

  // Reset empties every field; returns 0.
  int Reset();
  // Copy resets destination and copies every field of source into it; the first failing code ends the
  // copy, what was copied until then stays.
  [[nodiscard]] static int Copy(SignedData& destination, const SignedData& source);
};

// SignedDataEntry: a loaded P7B, the selected certificate index, the bytes as read and the SignedData.
struct SignedDataEntry {
  int32_t selectedIndex = 0;
  core::Buffer bytes;
  SignedData signedData;

  // Clone returns a new entry with source's index, bytes and SignedData, even when a copy step failed
  // (it then holds what was copied); null when the entry cannot be allocated.
  static RecordPtr<SignedDataEntry> Clone(const SignedDataEntry& source);
};

// Pkcs7ContentInfo decodes input (DER, or base64 text of DER) into the content type and the content;
// a signedData content is decoded into signedData, an envelopedData content into envelopedData. An
// unknown type keeps only type and content.
class Pkcs7ContentInfo {
 public:
  Pkcs7ContentInfo() = default;
  virtual ~Pkcs7ContentInfo();
  Pkcs7ContentInfo(const Pkcs7ContentInfo&) = delete;
  Pkcs7ContentInfo& operator=(const Pkcs7ContentInfo&) = delete;

  // Decode resets the object and decodes input; 447 below two elements, a base64 failure's code, or the
  // code of the SignedData or EnvelopedData decoder (the record then holds what was read).
  [[nodiscard]] virtual int Decode();
  // Reset clears the content type, the content, the markers, the EnvelopedData and the SignedData;
  // returns 0.
  int Reset();

  core::Buffer input;
  core::Buffer contentType;
  core::Buffer content;
  bool isData = false;
  RecordPtr<EnvelopedData> envelopedData;
  RecordPtr<SignedData> signedData;
  bool isEncryptedData = false;
};

// ParseSignedData decodes the DER of a SignedData into target; 447 below five top-level elements (a
// SignedData without certificates and CRLs is refused).
[[nodiscard]] int ParseSignedData(const core::BufferCore& content, SignedData& target);
// EncodeSignedData appends the SignedData, all lengths definite; the content inside its [0] wrapper.
[[nodiscard]] int EncodeSignedData(const SignedData& source, DerWriter& writer);

// LoadP7b loads length bytes (DER or base64 text) into entry. 447 for no data; 446 when the content is
// not signedData or carries no certificate.
[[nodiscard]] int LoadP7b(const uint8_t* data, int32_t length, SignedDataEntry& entry);
// BuildP7b writes into out a P7B of the certificates in list order (a null slot is filled with an empty
// certificate).
[[nodiscard]] int BuildP7b(CertificateList& certificates, core::BufferCore& out);
// OrderCertificateChain puts each certificate of entry before its issuer (leaf first). Each certificate
// is taken once, so duplicates and issuer cycles end; returns 0, or 200 with the list as it was.
int OrderCertificateChain(SignedDataEntry& entry);

// CopyRecord overloads for the lists of these records (pki/cert_composites.h).
[[nodiscard]] int CopyRecord(CertAttribute& target, const CertAttribute& source);
[[nodiscard]] int CopyRecord(SignerInfo& target, const SignerInfo& source);

}  // namespace velmora::pki
