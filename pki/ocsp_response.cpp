// The OCSP response (RFC 6960 4.2): status, BasicOCSPResponse, single responses, the nonce, the
// responder's authority and the signature, and the freshness of the answers.
#include <cstring>
#include <iterator>

#include "asn1/algorithm_identifier.h"
#include "asn1/der_codes.h"
#include "asn1/der_read.h"
#include "component/component_base.h"
#include "core/date_time.h"
#include "core/hex.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/sign_by_key.h"
#include "pki/certificate_codec.h"
#include "pki/chain_checks.h"
#include "pki/distinguished_name.h"
#include "pki/ocsp.h"
#include "pki/subject_public_key_info.h"

namespace velmora::pki {

namespace {

constexpr const char* kTimePattern = "yyyyMMddHHmmss";
constexpr char kOcspSigningOid[] = "1.3.6.1.5.5.7.3.9";
// How far thisUpdate may lie ahead of the clock and nextUpdate behind it (RFC 6960 4.2.2.1).
constexpr int64_t kClockSkewMs = 5 * 60 * 1000;

// Node parses the element in length bytes one level deep; the children hold their own encodings.
int ParseNode(Asn1Element& node, const uint8_t* bytes, int32_t length) {
  const int rc = node.SetData(length, bytes);
  return rc != 0 ? rc : node.Parse(0, nullptr);
}

// Child is the index-th child of a parsed node, or null.
Asn1Element* Child(const Asn1Element& node, int32_t index) {
  Asn1Element* child = node.firstChild();
  for (int32_t i = 0; child != nullptr && i < index; ++i) child = child->nextSibling();
  return child;
}

// Inner parses the node and returns its first child (the content of an EXPLICIT tag); null when it
// has none, with *rc set.
Asn1Element* Inner(Asn1Element& node, int* rc) {
  *rc = node.Parse(0, nullptr);
  if (*rc == 0 && node.firstChild() == nullptr) *rc = kDerBadOuter;
  return *rc == 0 ? node.firstChild() : nullptr;
}

int ReadTime(const core::BufferCore& node, core::BufferCore& out) {
  core::Buffer content;
  uint8_t tag = 0;
  const int rc = DerReadOctets(node, 0, content, &tag);
  return rc != 0 ? rc : DecodeAsn1Time(content, out, tag, kTimePattern, 0, nullptr);
}

int Refuse(OcspRequest& request, const char* text) {
  (void)request.errorText.SetString(text);
  return kOcspRefused;
}

// AppendExtensions decodes the SEQUENCE OF Extension inside an EXPLICIT tag onto list.
int AppendExtensions(Asn1Element& tagged, CertExtensionList& list) {
  int rc = 0;
  Asn1Element* sequence = Inner(tagged, &rc);
  if (rc == 0) rc = sequence->Parse(0, nullptr);
  for (Asn1Element* item = rc == 0 ? sequence->firstChild() : nullptr; rc == 0 && item != nullptr;
       item = item->nextSibling()) {
    CertExtension extension;
    rc = extension.Decode(*item);
    if (rc == 0) rc = list.InsertAt(list.Count(), extension);
  }
  return rc;
}

// ShiftTime sets out to the "yyyyMMddHHmmss" text ms away from text; false for a text of another form.
bool ShiftTime(const core::BufferCore& text, int64_t ms, core::BufferCore& out) {
  if (text.Length() != 14 || text.IsAllDigits() == 0) return false;
  uint32_t part[6] = {};
  static constexpr int kWidth[6] = {4, 2, 2, 2, 2, 2};
  for (int i = 0, at = 0; i < 6; at += kWidth[i++]) {
    for (int j = 0; j < kWidth[i]; ++j) part[i] = part[i] * 10 + static_cast<uint32_t>(text.Data()[at + j] - '0');
  }
  int64_t instant = 0;
  uint32_t millis = 0;
  if (core::DatePartsToUnixMs(part[0], part[1], part[2], part[3], part[4], part[5], 0, &instant) != 0) return false;
  if (core::UnixMsToDateParts(instant + ms, &part[0], &part[1], &part[2], &part[3], &part[4], &part[5], &millis) != 0) {
    return false;
  }
  core::FormatDateTimeNoMs(out, kTimePattern, part[0], part[1], part[2], part[3], part[4], part[5]);
  return out.Length() == 14;
}

// IsFresh: thisUpdate at most the skew after now, nextUpdate (when given) at most the skew before it.
bool IsFresh(const OcspSingleResponse& answer) {
  core::Buffer earliest, latest;
  if (!ShiftTime(answer.thisUpdate, -kClockSkewMs, earliest)) return false;
  if (answer.nextUpdate.IsEmpty()) {
    (void)latest.SetString("99991231235959");
  } else if (!ShiftTime(answer.nextUpdate, kClockSkewMs, latest)) {
    return false;
  }
  return CheckValidityWindow(earliest.Data(), latest.Data()) == 0;
}

// HasOcspSigning is true when the extended key usage lists id-kp-OCSPSigning itself.
bool HasOcspSigning(Certificate& certificate) {
  const char* text = DecodeExtendedKeyUsage(certificate);
  const size_t length = std::strlen(kOcspSigningOid);
  for (const char* at = text; (at = std::strstr(at, kOcspSigningOid)) != nullptr; at += length) {
    const bool starts = at == text || at[-1] == ' ';
    const bool ends = at[length] == '\0' || at[length] == ',';
    if (starts && ends) return true;
  }
  return false;
}

// KeyHashHex sets out to the lower-case hex SHA-1 of the certificate's subjectPublicKey bits.
int KeyHashHex(const Certificate& certificate, core::BufferCore& out) {
  component::ComponentBase component;
  core::Buffer bits, digest;
  int rc = ParseSubjectPublicKeyInfo(component, certificate.tbs.spkiDer, bits);
  if (rc == 0) rc = crypto::HashDataByName(bits.Bytes(), bits.Length(), "SHA1", digest);
  (void)out.Clear();
  return rc != 0 ? rc : core::AppendHexLower(out, digest.Bytes(), digest.Length());
}

// FindSigner sets signer to the first response certificate the responder id names, by key hash when
// the id is 40 characters long, else by subject name.
int FindSigner(const OcspRequest& request, const core::StrList& certificates, core::BufferCore& signer) {
  const bool by_key = request.responderId.Length() == 40;
  for (int32_t i = 0; i < certificates.Count(); ++i) {
    Certificate candidate;
    int rc = ParseCertificate(reinterpret_cast<const uint8_t*>(certificates.Item(i)), certificates.ItemLength(i),
                              candidate);
    if (rc != 0) return rc;
    bool match = false;
    if (by_key) {
      core::Buffer hash;
      if (rc = KeyHashHex(candidate, hash); rc != 0) return rc;
      match = hash.Equals(request.responderId) != 0;
    } else {
      match = DistinguishedNamesEqualNoCase(candidate.tbs.subject.Data(), request.responderId.Data()) != 0;
    }
    if (match) return signer.Assign(candidate.der);
  }
  return 0;
}

// ReadResponderId fills the responder id from byName [1] or byKey [2] (RFC 6960 4.2.1).
int ReadResponderId(OcspRequest& request, Asn1Element& node) {
  if (node.tag() != 0xA1 && node.tag() != 0xA2) return Refuse(request, "Unknown ResponderID");
  int rc = 0;
  Asn1Element* inner = Inner(node, &rc);
  if (rc != 0) return rc;
  if (node.tag() == 0xA1) return DecodeNameToString(*inner, request.responderId);
  core::Buffer hash;
  if (rc = DerReadOctets(*inner, 0, hash, nullptr); rc != 0) return rc;
  return core::AppendHexLower(request.responderId, hash.Bytes(), hash.Length());
}

// CheckNonce: a request that carried a nonce needs the same nonce back.
int CheckNonce(OcspRequest& request) {
  core::Buffer sent, received;
  int rc = FindExtensionByOid(request.requestExtensions, kOcspNonceOid, sent);
  if (rc != 0 || sent.IsEmpty()) return rc;
  rc = FindExtensionByOid(request.responseExtensions, kOcspNonceOid, received);
  if (rc != 0) return rc;
  return sent.Equals(received) != 0 ? 0 : Refuse(request, "Invalid Nonce response");
}

// VerifyResponse checks the signature over tbs with the responder's key.
int VerifyResponse(OcspRequest& request, const core::BufferCore& certificates_signer, const Asn1Element& algorithm_node,
                   const core::BufferCore& signature, const core::BufferCore& tbs) {
  asn1::AlgorithmIdentifier algorithm;
  Certificate signer;
  int rc = algorithm.Decode(algorithm_node);
  if (rc == 0) rc = ParseCertificate(certificates_signer.Bytes(), certificates_signer.Length(), signer);
  if (rc != 0) return rc;
  if (crypto::VerifyWithKeyRecord(signer.tbs.publicKey.key, signature, tbs, algorithm) != 0) {
    return Refuse(request, "Invalid signature value");
  }
  return 0;
}

// ReadTbsResponseData fills the response side from ResponseData (RFC 6960 4.2.1).
int ReadTbsResponseData(OcspRequest& request, Asn1Element& tbs) {
  int rc = tbs.Parse(0, nullptr);
  if (rc != 0) return rc;
  const int32_t first = tbs.firstChild() != nullptr && tbs.firstChild()->tag() == 0xA0 ? 1 : 0;
  Asn1Element* responder = Child(tbs, first);
  Asn1Element* produced = Child(tbs, first + 1);
  Asn1Element* responses = Child(tbs, first + 2);
  if (responses == nullptr) return kDerBadOuter;
  if (rc = ReadResponderId(request, *responder); rc != 0) return rc;
  if (rc = ReadTime(*produced, request.producedAt); rc != 0) return rc;
  if (rc = responses->Parse(0, nullptr); rc != 0) return rc;
  for (Asn1Element* item = responses->firstChild(); item != nullptr; item = item->nextSibling()) {
    OcspSingleResponse* answer = request.singleResponses.AddNew();
    if (answer == nullptr) return core::kOutOfMemory;
    if (rc = ParseSingleResponse(request, *item, *answer); rc != 0) return rc;
  }
  Asn1Element* extensions = responses->nextSibling();
  return extensions != nullptr ? AppendExtensions(*extensions, request.responseExtensions) : 0;
}

}  // namespace

int FindExtensionByOid(const CertExtensionList& list, const char* oid, core::BufferCore& out) {
  (void)out.Clear();
  for (int32_t i = 0; i < list.Count(); ++i) {
    const CertExtension* extension = list.Get(i);
    if (extension != nullptr && extension->oid.EqualsNoCase(oid) != 0) {
      return DerReadOctets(extension->value, 0, out, nullptr);
    }
  }
  return 0;
}

int ParseSingleResponse(OcspRequest& request, const core::BufferCore& der, OcspSingleResponse& target) {
  Asn1Element node;
  int rc = ParseNode(node, der.Bytes(), der.Length());
  if (rc != 0) return rc;
  Asn1Element* cert_id = Child(node, 0);
  Asn1Element* status = Child(node, 1);
  Asn1Element* this_update = Child(node, 2);
  if (this_update == nullptr) return kDerBadOuter;
  if (rc = target.certID.Assign(*cert_id); rc != 0) return rc;
  switch (status->tag()) {
    case 0x80: target.status = 0; break;
    case 0x82: target.status = 2; break;
    case 0xA1: {
      // RevokedInfo: revocationTime and, in [0], the CRLReason.
      target.status = 1;
      Asn1Element* time = Inner(*status, &rc);
      if (rc == 0) rc = ReadTime(*time, target.revocationTime);
      if (rc == 0 && status->childCount() == 2) {
        Asn1Element* reason = Inner(*time->nextSibling(), &rc);
        uint32_t value = 0;
        if (rc == 0) rc = DerReadSmallInteger(*reason, 0, &value, nullptr);
        if (rc == 0) target.revocationReason = static_cast<int32_t>(value);
      }
      if (rc != 0) return rc;
      break;
    }
    default: return Refuse(request, "Unknown CertStatus");
  }
  if (rc = ReadTime(*this_update, target.thisUpdate); rc != 0) return rc;
  for (Asn1Element* item = this_update->nextSibling(); rc == 0 && item != nullptr; item = item->nextSibling()) {
    if (item->tag() == 0xA0) {
      Asn1Element* next = Inner(*item, &rc);
      if (rc == 0) rc = ReadTime(*next, target.nextUpdate);
    } else if (item->tag() == 0xA1) {
      rc = AppendExtensions(*item, target.extensions);
    }
  }
  return rc;
}

int CheckResponderCertificate(OcspRequest& request, const core::BufferCore& responder,
                              const core::BufferCore& issuer) {
  Certificate delegate, ca;
  int rc = delegate.der.Assign(responder);
  if (rc == 0) rc = DecodeStoredCertificate(delegate);
  if (rc == 0) rc = ParseCertificate(issuer.Bytes(), issuer.Length(), ca);
  if (rc != 0) return rc;
  if (delegate.der.Equals(ca.der) != 0) return 0;
  // A delegated responder (RFC 6960 4.2.2.2): issued by the CA itself, for OCSP signing, valid now. The
  // names only narrow the search; the issuer's signature decides.
  const bool trusted = DistinguishedNamesEqualNoCase(delegate.tbs.issuer.Data(), ca.tbs.subject.Data()) != 0 &&
                       HasOcspSigning(delegate) &&
                       CheckValidityWindow(delegate.tbs.notBefore.Data(), delegate.tbs.notAfter.Data()) == 0 &&
                       crypto::VerifyWithKeyRecord(ca.tbs.publicKey.key, delegate.signature, delegate.tbsDer,
                                                   delegate.signatureAlgorithm) == 0;
  return trusted ? 0 : Refuse(request, "Untrusted certificate is used to sign the response");
}

int ParseBasicOcspResponse(OcspRequest& request, const core::BufferCore& der) {
  Asn1Element basic;
  int rc = ParseNode(basic, der.Bytes(), der.Length());
  if (rc != 0) return rc;
  Asn1Element* tbs = Child(basic, 0);
  Asn1Element* algorithm = Child(basic, 1);
  Asn1Element* signature_node = Child(basic, 2);
  if (basic.tag() != 0x30 || signature_node == nullptr) return kDerBadOuter;
  core::Buffer tbs_der, signature;
  core::StrList certificates;
  rc = tbs_der.Assign(*tbs);
  if (rc == 0) rc = DerReadBitString(*signature_node, 0, signature, nullptr, nullptr);
  if (rc == 0 && basic.childCount() == 4) {
    // certs [0] EXPLICIT SEQUENCE OF Certificate
    Asn1Element* sequence = Inner(*signature_node->nextSibling(), &rc);
    if (rc == 0) rc = sequence->Parse(0, nullptr);
    for (Asn1Element* item = rc == 0 ? sequence->firstChild() : nullptr; rc == 0 && item != nullptr;
         item = item->nextSibling()) {
      rc = certificates.Add(item->Data(), item->Length());
    }
  }
  if (rc == 0) rc = ReadTbsResponseData(request, *tbs);
  if (rc == 0) rc = CheckNonce(request);
  if (rc != 0) return rc;

  core::Buffer signer;
  if (rc = FindSigner(request, certificates, signer); rc != 0) return rc;
  if (signer.IsEmpty()) {
    rc = signer.Assign(request.issuerCertificate);
  } else {
    rc = CheckResponderCertificate(request, signer, request.issuerCertificate);
  }
  if (rc != 0) return rc;
  if (signer.IsEmpty()) return Refuse(request, "No certificate founded to verify the signature of the response");
  return VerifyResponse(request, signer, *algorithm, signature, tbs_der);
}

int ParseOcspResponse(OcspRequest& request, const uint8_t* bytes, int32_t length) {
  request.ResetResponse();
  (void)request.errorText.Clear();
  Asn1Element response;
  int rc = ParseNode(response, bytes, length);
  if (rc != 0) return rc;
  if (response.tag() != 0x30 || response.firstChild() == nullptr) return kDerBadOuter;
  uint32_t status = 0;
  if (rc = DerReadSmallInteger(*response.firstChild(), 0, &status, nullptr); rc != 0) return rc;
  if (status != 0) {
    static constexpr const char* kStatusTexts[] = {nullptr,
                                                   "Illegal confirmation request",
                                                   "Internal error in issuer",
                                                   "Try again later",
                                                   nullptr,
                                                   "Must sign the request",
                                                   "Request unauthorized"};
    (void)request.errorText.Format("Unknown response status: %d", static_cast<int>(status));
    if (status < std::size(kStatusTexts) && kStatusTexts[status] != nullptr) {
      (void)request.errorText.SetString(kStatusTexts[status]);
    }
    return kOcspRefused;
  }
  if (response.childCount() != 2) return Refuse(request, "ResponseTypes field is missed");

  // responseBytes [0] EXPLICIT SEQUENCE { responseType, response OCTET STRING }
  Asn1Element* response_bytes = Inner(*Child(response, 1), &rc);
  if (rc == 0) rc = response_bytes->Parse(0, nullptr);
  if (rc == 0 && response_bytes->childCount() < 2) rc = kDerBadOuter;
  core::Buffer type, basic;
  if (rc == 0) rc = DerReadOid(*response_bytes->firstChild(), 0, type, nullptr);
  if (rc != 0) return rc;
  if (std::strcmp(type.Data(), kOcspBasicOid) != 0) {
    (void)request.errorText.Format("Unknown ResponseType: %s", type.Data());
    return kOcspRefused;
  }
  if (rc = DerReadOctets(*Child(*response_bytes, 1), 0, basic, nullptr); rc != 0) return rc;
  if (rc = ParseBasicOcspResponse(request, basic); rc != 0) return rc;

  // The answers come in the order of the CertIDs sent, each fresh at the clock's "now".
  const int32_t count = request.singleResponses.Count();
  if (count != request.certIdsSent.Count()) return Refuse(request, "Invalid response");
  for (int32_t i = 0; i < count; ++i) {
    const OcspSingleResponse* answer = request.singleResponses.Get(i);
    if (answer == nullptr || answer->certID.EqualsBytes(request.certIdsSent.Item(i), request.certIdsSent.ItemLength(i)) == 0 ||
        !IsFresh(*answer)) {
      return Refuse(request, "Invalid response");
    }
  }
  return 0;
}

}  // namespace velmora::pki
