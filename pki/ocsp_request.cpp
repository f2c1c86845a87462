// The OCSP request (RFC 6960 4.1) and the OCSP check of one certificate.
#include <cstring>

#include "asn1/algorithm_identifier.h"
#include "asn1/der_codes.h"
#include "component/component_base.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/sign_by_key.h"
#include "crypto/registry/oid_tables.h"
#include "pki/certificate_codec.h"
#include "pki/certificate_creation.h"
#include "pki/distinguished_name.h"
#include "pki/general_names.h"
#include "pki/ocsp.h"
#include "pki/pem_armour.h"
#include "pki/subject_public_key_info.h"

namespace velmora::pki {

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kOctetString = 0x04;

int ParseDer(const core::BufferCore& der, Certificate& target) {
  return ParseCertificate(der.Bytes(), der.Length(), target);
}

// HashInto sets out to the named digest of length bytes.
int HashInto(const char* digest, const uint8_t* bytes, int32_t length, core::BufferCore& out) {
  (void)out.Clear();
  return crypto::HashDataByName(bytes, length, digest, out);
}

// SignTbs sets signature to the signature of tbs under key by the digest oid names; DSA and ECDSA come
// from the key layer as r || s and are written as DER (RFC 3279 2.2.2, 2.2.3).
int SignTbs(const uint8_t* tbs, int32_t length, const char* oid, const crypto::KeyRecord& key,
            core::BufferCore& signature) {
  core::Buffer raw;
  const int rc = crypto::SignWithKeyRecord(tbs, length, HashNameFromOid(oid), key, raw);
  if (rc != 0) return rc;
  if (key.Type == crypto::kKeyDsa || key.Type == crypto::kKeyEc) {
    return crypto::EncodeRawSignatureAsDer(raw.Bytes(), raw.Length(), signature);
  }
  return signature.Assign(raw);
}

// ReadCandidate decodes one candidate issuer, PEM when it holds the label, else DER.
int ReadCandidate(const core::StrList& candidates, int32_t index, Certificate& target) {
  core::Buffer der;
  const char* item = candidates.Item(index);
  int rc = 0;
  if (std::strstr(item, "CERTIFICATE") != nullptr) {
    rc = PemDecode(item, "CERTIFICATE", der, "");
  } else {
    rc = der.SetData(candidates.ItemLength(index), item);
  }
  return rc != 0 ? rc : ParseDer(der, target);
}

// FindIssuer points *found at the index of the first candidate whose subject is certificate's issuer
// by canonical text without case (-1 when none is).
int FindIssuer(const Certificate& certificate, const core::StrList& candidates, Certificate& issuer, int32_t* found) {
  *found = -1;
  for (int32_t i = 0; i < candidates.Count(); ++i) {
    Certificate candidate;
    if (const int rc = ReadCandidate(candidates, i, candidate); rc != 0) return rc;
    if (DistinguishedNamesEqualNoCase(candidate.tbs.subject.Data(), certificate.tbs.issuer.Data()) != 0) {
      *found = i;
      return issuer.der.Assign(candidate.der);
    }
  }
  return 0;
}

int Report(core::BufferCore& error_text, bool report, const char* text, const core::BufferCore* tail) {
  if (!report) return 0;
  (void)error_text.SetString(text);
  if (tail != nullptr) (void)error_text.Append(*tail);
  return kOcspNotChecked;
}

}  // namespace

OcspSingleResponse* OcspEntryArray::AddNew() {
  const int32_t count = Count();
  if (SetCount(count + 1) != core::kOk) return nullptr;
  OcspSingleResponse* record = GetOrCreate(count);
  if (record == nullptr) (void)SetCount(count);
  return record;
}

RecordPtr<OcspSingleResponse> OcspSingleResponse::Clone(const OcspSingleResponse& source) { return pki::Clone(source); }

int CopyRecord(OcspSingleResponse& target, const OcspSingleResponse& source) {
  target.status = source.status;
  target.revocationReason = source.revocationReason;
  int rc = target.certID.Assign(source.certID);
  if (rc == core::kOk) rc = target.revocationTime.Assign(source.revocationTime);
  if (rc == core::kOk) rc = target.thisUpdate.Assign(source.thisUpdate);
  if (rc == core::kOk) rc = target.nextUpdate.Assign(source.nextUpdate);
  return rc != core::kOk ? rc : CopyList(target.extensions, source.extensions);
}

OcspRequest::OcspRequest() { Reset(); }

OcspRequest::~OcspRequest() = default;

void OcspRequest::Reset() {
  (void)certificates.Clear();
  (void)requestExtensions.Clear();
  (void)hashAlgorithm.SetString("SHA1");
  signerCertificate = nullptr;
  signerKey = nullptr;
  ResetResponse();
}

void OcspRequest::ResetResponse() {
  (void)responderId.Clear();
  (void)producedAt.Clear();
  (void)singleResponses.Clear();
  (void)responseExtensions.Clear();
}

int OcspRequest::EncodeCertId(const char* digest, const core::BufferCore& issuer, const core::BufferCore& certificate,
                              core::BufferCore& out) {
  Certificate issuer_record, subject;
  int rc = ParseDer(issuer, issuer_record);
  if (rc == 0) rc = ParseDer(certificate, subject);
  if (rc != 0) return rc;
  core::Buffer name_hash, key_bits, key_hash;
  component::ComponentBase component;
  rc = HashInto(digest, issuer_record.tbs.subjectDer.Bytes(), issuer_record.tbs.subjectDer.Length(), name_hash);
  if (rc == 0) rc = ParseSubjectPublicKeyInfo(component, issuer_record.tbs.spkiDer, key_bits);
  if (rc == 0) rc = HashInto(digest, key_bits.Bytes(), key_bits.Length(), key_hash);
  if (rc != 0) return rc;
  // CertID (RFC 6960 4.1.1): the hash over the DER of the issuer's Name and over the key's bits.
  DerWriter writer;
  rc = writer.BeginElement(kSequence);
  if (rc == 0) rc = writer.BeginElement(kSequence);
  if (rc == 0) rc = writer.AppendOid(AlgorithmNameToOid(digest), 0x06);
  if (rc == 0) rc = writer.AppendEmpty(0x05);
  if (rc == 0) rc = writer.EndElement(0);
  if (rc == 0) rc = writer.AppendTlv(name_hash.Bytes(), name_hash.Length(), kOctetString);
  if (rc == 0) rc = writer.AppendTlv(key_hash.Bytes(), key_hash.Length(), kOctetString);
  if (rc == 0) rc = writer.Append(subject.tbs.serialNumber);
  if (rc == 0) rc = writer.EndElement(0);
  return rc != 0 ? rc : out.Assign(writer);
}

int OcspRequest::EncodeExtensions(DerWriter& writer, CertExtensionList& list) {
  if (list.Count() == 0) return 0;
  int rc = writer.BeginElement(kSequence);
  for (int32_t i = 0; rc == 0 && i < list.Count(); ++i) {
    const CertExtension* extension = list.GetOrCreate(i);
    rc = extension == nullptr ? core::kOutOfMemory : extension->Encode(writer);
  }
  return rc != 0 ? rc : writer.EndElement(0);
}

int OcspRequest::EncodeSignature(DerWriter& writer, const uint8_t* tbs, int32_t tbs_length,
                                 const crypto::KeyRecord& key, const core::BufferCore& certificate) {
  asn1::AlgorithmIdentifier algorithm;
  int rc = SignatureOidFor(key, "SHA1", algorithm.oid);
  core::Buffer signature, algorithm_der;
  if (rc == 0) rc = SignTbs(tbs, tbs_length, algorithm.oid.Data(), key, signature);
  if (rc == 0) rc = algorithm.Encode(algorithm_der, true);
  if (rc != 0) return rc;
  // Signature (RFC 6960 4.1.1): algorithm, value, and the signer's certificate in certs [0].
  rc = writer.BeginElement(kSequence);
  if (rc == 0) rc = writer.Append(algorithm_der);
  if (rc == 0) rc = writer.AppendBitString(signature.Bytes(), signature.Length(), 0x03);
  if (rc == 0) rc = writer.BeginElement(0xA0);
  if (rc == 0) rc = writer.BeginElement(kSequence);
  if (rc == 0) rc = writer.Append(certificate);
  for (int i = 0; rc == 0 && i < 3; ++i) rc = writer.EndElement(0);
  return rc;
}

int OcspRequest::Encode(core::BufferCore& out) {
  (void)certIdsSent.Clear();
  DerWriter tbs;
  int rc = tbs.BeginElement(kSequence);
  if (rc == 0 && !requestorName.IsEmpty()) {
    rc = tbs.BeginElement(0xA1);
    if (rc == 0) rc = EncodeGeneralNameFromText(tbs, requestorName.Data());
    if (rc == 0) rc = tbs.EndElement(0);
    if (rc != 0) (void)errorText.SetString("Failed to encode the requestor name");
  }
  if (rc == 0) rc = tbs.BeginElement(kSequence);
  for (int32_t i = 0; rc == 0 && i < certificates.Count(); ++i) {
    core::Buffer certificate, cert_id;
    rc = certificate.SetData(certificates.ItemLength(i), certificates.Item(i));
    if (rc == 0) rc = EncodeCertId(hashAlgorithm.Data(), issuerCertificate, certificate, cert_id);
    if (rc != 0) {
      (void)errorText.Format("Failed to make the CertID of certificate %d", static_cast<int>(i));
      break;
    }
    rc = certIdsSent.Add(cert_id.Data(), cert_id.Length());
    if (rc == 0) rc = tbs.AppendHeader(kSequence, static_cast<uint32_t>(cert_id.Length()));
    if (rc == 0) rc = tbs.Append(cert_id);
  }
  if (rc == 0) rc = tbs.EndElement(0);
  if (rc == 0 && requestExtensions.Count() > 0) {
    rc = tbs.BeginElement(0xA2);
    if (rc == 0) rc = EncodeExtensions(tbs, requestExtensions);
    if (rc == 0) rc = tbs.EndElement(0);
  }
  if (rc == 0) rc = tbs.EndElement(0);
  if (rc != 0) return rc;

  DerWriter request;
  rc = request.BeginElement(kSequence);
  if (rc == 0) rc = request.Append(tbs);
  if (rc == 0 && signerCertificate != nullptr) {
    rc = signerKey == nullptr ? kNoSigningKey : request.BeginElement(0xA0);
    if (rc == 0) rc = EncodeSignature(request, tbs.Bytes(), tbs.Length(), *signerKey, *signerCertificate);
    if (rc == 0) rc = request.EndElement(0);
    if (rc != 0) (void)errorText.SetString("Failed to sign the request");
  }
  if (rc == 0) rc = request.EndElement(0);
  return rc != 0 ? rc : out.Assign(request);
}

int AddOcspNonceExtension(OcspRequest& request, const uint8_t* nonce, int32_t nonce_length) {
  DerWriter inner, outer;
  CertExtension extension;
  int rc = inner.AppendTlv(nonce, nonce_length, kOctetString);
  if (rc == 0) rc = outer.AppendTlv(inner.Data(), inner.Length(), kOctetString);
  if (rc == 0) rc = extension.oid.SetString(kOcspNonceOid);
  if (rc == 0) rc = extension.value.Assign(outer);
  return rc != 0 ? rc : SetExtension(request.requestExtensions, extension);
}

int CheckOcsp(const core::BufferCore& certificate, const core::StrList& candidates, core::BufferCore& error_text,
              bool report) {
  Certificate subject;
  core::Buffer ocsp_url, issuer_url;
  int rc = ParseDer(certificate, subject);
  if (rc == 0) rc = GetAiaOcspUrl(subject, ocsp_url);
  if (rc == 0) rc = GetAiaCaIssuersUrl(subject, issuer_url);
  if (rc != 0) return rc;
  if (ocsp_url.IsEmpty()) {
    return Report(error_text, report, "OCSP check failed: OCSP is not supported by the certificate.", nullptr);
  }

  Certificate issuer;
  int32_t found = -1;
  if (rc = FindIssuer(subject, candidates, issuer, &found); rc != 0) return rc;
  if (found < 0) {
    if (issuer_url.IsEmpty()) {
      (void)error_text.SetString("Failed to find the Issuer of the certificate: ");
      (void)error_text.Append(subject.tbs.subject);
      return kOcspRefused;
    }
    return Report(error_text, report, "Failed to get the Issuer from the url: ", &issuer_url);
  }

  OcspRequest request;
  core::Buffer der;
  rc = request.issuerCertificate.Assign(issuer.der);
  if (rc == 0) rc = request.certificates.Add(certificate.Data(), certificate.Length());
  if (rc == 0) rc = request.Encode(der);
  if (rc != 0) {
    (void)error_text.Assign(request.errorText);
    return rc;
  }
  // Here the request would be posted to ocsp_url as "application/ocsp-request"; there is no transport.
  return Report(error_text, report, "Failed to get a valid response from the OCSP server: ", &ocsp_url);
}

}  // namespace velmora::pki
