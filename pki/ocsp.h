// OCSP (RFC 6960): the request for the status of certificates, the revocation check of one certificate
// up to the point where the request would be sent (no transport exists, so the check ends there), and
// the reading and verification of the response that answers a request. One OcspRequest is one exchange:
// the request side says what is asked, the response side holds what the responder answered. One thread
// at a time per record.
#pragma once

#include <cstdint>

#include "asn1/der_writer.h"
#include "core/buffer.h"
#include "core/ptr_array.h"
#include "core/str_list.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_composites.h"
#include "pki/cert_extensions.h"

namespace velmora::pki {

// kOcspRefused: a response, an issuer or a signer that is refused.
inline constexpr int kOcspRefused = 275;
// kOcspNotChecked: the check could not run to its end (only with the report flag).
inline constexpr int kOcspNotChecked = 280;
// kOcspNonceOid is id-pkix-ocsp-nonce (RFC 6960 4.4.1).
inline constexpr char kOcspNonceOid[] = "1.3.6.1.5.5.7.48.1.2";
// kOcspBasicOid is id-pkix-ocsp-basic, the one response type read.
inline constexpr char kOcspBasicOid[] = "1.3.6.1.5.5.7.48.1.1";

// OcspSingleResponse is one SingleResponse: certID the complete CertID element as received, status 0
// good, 1 revoked, 2 unknown; the times as "yyyyMMddHHmmss" (revocationTime only when revoked,
// nextUpdate only when present); revocationReason the CRLReason when given, else 0.
struct OcspSingleResponse {
  core::Buffer certID;
  int32_t status = 2;
  core::Buffer revocationTime;
  int32_t revocationReason = 0;
  core::Buffer thisUpdate;
  core::Buffer nextUpdate;
  CertExtensionList extensions;

  // Clone returns a new deep copy of source; null when memory runs out.
  static RecordPtr<OcspSingleResponse> Clone(const OcspSingleResponse& source);
};

// CopyRecord makes target a deep copy of source: the texts and values, then the extension list replaced
// by copies of source's; 0 or the first failing code, the members copied so far kept.
[[nodiscard]] int CopyRecord(OcspSingleResponse& target, const OcspSingleResponse& source);

// OcspEntryArray owns the single responses of an exchange, in response order.
class OcspEntryArray : public core::PtrArray<OcspSingleResponse> {
 public:
  // AddNew appends an empty record and returns it; null (the array unchanged) when memory runs out.
  OcspSingleResponse* AddNew();
};

// OcspRequest: the request side (issuerCertificate and certificates as DER, requestExtensions,
// hashAlgorithm for the CertIDs, requestorName as GeneralName text, and the signer certificate and key,
// both borrowed: a non-null signerCertificate turns signing on), certIdsSent (the CertIDs of the last
// Encode), the response side filled by ParseOcspResponse, and errorText, the text of the last failure.
class OcspRequest {
 public:
  OcspRequest();
  ~OcspRequest();
  OcspRequest(const OcspRequest&) = delete;
  OcspRequest& operator=(const OcspRequest&) = delete;

  // Reset empties the certificate and extension lists, sets the hash to "SHA1", forgets the signer and
  // clears the response side.
  void Reset();
  // ResetResponse clears the responder id, produced at, the single responses and response extensions.
  void ResetResponse();
  // Encode sets out to the DER OCSPRequest of the certificates and records each CertID written in
  // certIdsSent. 0; the parse, hash, signing or writer code (errorText then says which step failed).
  [[nodiscard]] int Encode(core::BufferCore& out);
  // EncodeCertId sets out to the CertID of certificate under issuer with the named digest. 0, 445 for a
  // digest without an OID, or the parse or hash code.
  [[nodiscard]] int EncodeCertId(const char* digest, const core::BufferCore& issuer,
                                 const core::BufferCore& certificate, core::BufferCore& out);
  // EncodeExtensions appends SEQUENCE OF Extension of list to writer (nothing for an empty list); empty
  // slots are filled with empty extensions first. 0, 445 or 200.
  [[nodiscard]] int EncodeExtensions(DerWriter& writer, CertExtensionList& list);
  // EncodeSignature appends the Signature of tbs under key: the algorithm is SignatureOidFor the key
  // with "SHA1", the digest the one that algorithm names, DSA and ECDSA values in DER, and certificate
  // in certs. 0; SignatureOidFor's, the signer's or the writer's code.
  [[nodiscard]] int EncodeSignature(DerWriter& writer, const uint8_t* tbs, int32_t tbs_length,
                                    const crypto::KeyRecord& key, const core::BufferCore& certificate);

  core::Buffer issuerCertificate;
  core::StrList certificates;
  CertExtensionList requestExtensions;
  core::Buffer20 hashAlgorithm;
  core::Buffer requestorName;
  const core::BufferCore* signerCertificate = nullptr;
  const crypto::KeyRecord* signerKey = nullptr;
  core::StrList certIdsSent;
  core::Buffer responderId;
  core::Buffer producedAt;
  OcspEntryArray singleResponses;
  CertExtensionList responseExtensions;
  core::Buffer errorText;
};

// AddOcspNonceExtension puts the nonce extension (not critical, extnValue OCTET STRING { OCTET STRING
// nonce }) into the request's extensions, replacing an earlier nonce in place. 0 or 200.
[[nodiscard]] int AddOcspNonceExtension(OcspRequest& request, const uint8_t* nonce, int32_t nonce_length);

// CheckOcsp builds the OCSP request for certificate, whose issuer is looked up by name among
// candidates (each PEM "CERTIFICATE" text or DER). No transport exists, so a check that reaches the
// point of sending does not finish: with report set that is 280 with a text in error_text, without it 0.
// 280 (with report) also when the certificate names no responder or its issuer is only reachable by
// URL; 275 when no issuer is found and none is named by URL; the parse, PEM or encoding code.
[[nodiscard]] int CheckOcsp(const core::BufferCore& certificate, const core::StrList& candidates,
                            core::BufferCore& error_text, bool report);

// ParseOcspResponse reads the OCSPResponse in bytes as the answer to request, filling its response side.
// 0 when the response is successful, answers every CertID sent in order, echoes the request's nonce,
// is fresh and is signed by the issuer or by a responder the issuer delegated to; otherwise 275 with
// request.errorText set, or a reader's code. What was read before a failure stays in the request.
[[nodiscard]] int ParseOcspResponse(OcspRequest& request, const uint8_t* bytes, int32_t length);
// ParseBasicOcspResponse reads a BasicOCSPResponse into request and verifies its signature; the codes
// of ParseOcspResponse.
[[nodiscard]] int ParseBasicOcspResponse(OcspRequest& request, const core::BufferCore& der);
// ParseSingleResponse fills target from the DER of one SingleResponse; 275 ("Unknown CertStatus") or a
// reader's code.
[[nodiscard]] int ParseSingleResponse(OcspRequest& request, const core::BufferCore& der, OcspSingleResponse& target);
// CheckResponderCertificate is 0 when responder may sign responses about certificates of issuer: it is
// the issuer itself (the same DER), or it is signed by the issuer's key, names the issuer's subject as
// its issuer, lists id-kp-OCSPSigning in its extended key usage and is valid now. Otherwise 275 with
// "Untrusted certificate is used to sign the response", or a parse code.
[[nodiscard]] int CheckResponderCertificate(OcspRequest& request, const core::BufferCore& responder,
                                            const core::BufferCore& issuer);
// FindExtensionByOid sets out to the content of the extnValue of the first extension of list whose OID
// equals oid ignoring case; out stays empty when none does. 0, or the reader's code.
[[nodiscard]] int FindExtensionByOid(const CertExtensionList& list, const char* oid, core::BufferCore& out);

}  // namespace velmora::pki
