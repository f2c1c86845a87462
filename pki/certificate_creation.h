// Certificates and certification requests made from a key: a signed X.509 v3 certificate (self-signed or
// issued by another key) with a validity counted in days from now, the temporary "CN=pem_cert"
// certificate that carries a bare key, and a PKCS #10 request (RFC 2986). The signature algorithm
// follows the signing key's type (and for RSA the hash name); the digest follows the algorithm chosen.
// One thread at a time per record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_extensions.h"
#include "pki/certificate.h"

namespace velmora::pki {

// kNoSigningKey: no key to sign with.
inline constexpr int kNoSigningKey = 272;
// kUnknownSignatureHash: an RSA hash name that names no signature algorithm and is no dotted OID.
inline constexpr int kUnknownSignatureHash = 2001;

// SignatureOidFor sets oid to the signature algorithm a key of this type signs with: for RSA by the first
// of MD2, MD5, SHA1, SHA256, SHA384, SHA512, SHA224 (with or without the hyphen) found in hash_name
// ignoring case, else hash_name itself when it is a dotted OID; DSA with SHA-1; ECDSA with the digest the
// curve's size calls for; the curve's OID for Edwards keys. 0; 2001 for another RSA hash name; 1424 for a
// key type or curve without a signature algorithm; 200.
[[nodiscard]] int SignatureOidFor(const crypto::KeyRecord& key, const char* hash_name, core::BufferCore& oid);

// FormatValidityDateFromNow sets out to the UTC instant days (may be negative) from now, formatted by
// pattern ("yyyyMMddHHmmss"). 0 or the date code.
[[nodiscard]] int FormatValidityDateFromNow(int32_t days, core::BufferCore& out, const char* pattern);

// CreateCertificate fills target (der left empty, so it encodes from its fields) with a v3 certificate of
// subject_key's public part under subject, serial_hex (one "0" put in front of an odd length), a validity
// from start_days to end_days from now and a copy of extensions (may be null). Without an issuer name
// (null or "") it is self-signed by subject_key; otherwise issuer_key signs it under that name. 0; 272
// for no signing key; SignatureOidFor's codes; 445 for an empty serial; the encoder's or signer's code.
// On failure target keeps what was set so far.
[[nodiscard]] int CreateCertificate(crypto::KeyRecord& subject_key, const char* subject, const char* serial_hex,
                                    int32_t start_days, int32_t end_days, const char* issuer,
                                    crypto::KeyRecord* issuer_key, const CertExtensionList* extensions,
                                    const char* hash_name, Certificate& target);

// CreateTempSelfSignedCertificate fills target with "CN=pem_cert", serial 01, valid for 365 days from
// now, signed with SHA-1: by key itself when it holds its private part, else by a throwaway RSA-1024 key
// (the certificate then verifies under no key anyone holds: it only carries the public key). Codes of
// CreateCertificate and of the key generation.
[[nodiscard]] int CreateTempSelfSignedCertificate(crypto::KeyRecord& key, Certificate& target);

// CreateCertificateRequest sets out to a signed CertificationRequest for key under subject (or the Name DER
// in subject_der when not null), with one attribute per index of attribute_oids holding the DER value of
// the same index of attribute_values. 0; SignatureOidFor's codes; the encoder's or signer's code (out then
// unchanged).
[[nodiscard]] int CreateCertificateRequest(crypto::KeyRecord& key, const char* subject, const char* hash_name,
                                           const core::StrList& attribute_oids,
                                           const core::StrList& attribute_values, core::BufferCore& out,
                                           const core::BufferCore* subject_der);

}  // namespace velmora::pki
