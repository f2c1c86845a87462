// Validity dates as display text: a certificate's notBefore and notAfter, and the "nbf" and "exp" time
// claims a JSON Web Key keeps among its key attributes, each rendered in local time by a date pattern
// such as "dd-MMM-yyyy HH:mm:ss". One thread at a time per record and text buffer.
#pragma once

#include "core/buffer.h"
#include "pki/cert_composites.h"
#include "pki/certificate.h"

namespace velmora::keystore {

// CertNotBeforeText replaces out with the certificate's notBefore instant (stored as UTC
// "yyyyMMddHHmmss") in local time, written by format, and returns out's characters (valid until out
// changes); "" when the stored text does not parse. CertNotAfterText does the same for notAfter.
const char* CertNotBeforeText(const pki::Certificate& certificate, const char* format, core::BufferCore& out);
const char* CertNotAfterText(const pki::Certificate& certificate, const char* format, core::BufferCore& out);
// CertNotAfterRaw returns the stored notAfter text itself, valid while the certificate is unchanged.
const char* CertNotAfterRaw(const pki::Certificate& certificate);

// JwkNotBefore replaces out with the key's "nbf" claim (attribute "JWK_3_nbf", decimal seconds since
// 1970-01-01 UTC) in local time by format; without the claim, CertNotBeforeText of the record's first
// certificate; without either, "". JwkExpiry is the same for "exp" (attribute "JWK_3_exp") and notAfter.
// A claim outside the representable range gives "". The text is out's, valid until out changes.
const char* JwkNotBefore(pki::KeyWithCertificates& record, const char* format, core::BufferCore& out);
const char* JwkExpiry(pki::KeyWithCertificates& record, const char* format, core::BufferCore& out);

}  // namespace velmora::keystore
