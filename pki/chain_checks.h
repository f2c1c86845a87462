// Certificate-level checks of a chain: the CRL check (which ends where the list would be fetched), the
// validity window against the current UTC time, the issuer chain gathered from a pool of candidates and
// the signature check of a certificate by its issuer from their encodings.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/ptr_array.h"
#include "pki/certificate.h"

namespace velmora::pki {

// kCrlCheckFailed is the result (and status) of a CRL check that reports why it could not be made.
inline constexpr int kCrlCheckFailed = 280;
// kMaxIssuerChain bounds the certificates BuildIssuerChain puts in a chain, the start included.
inline constexpr int32_t kMaxIssuerChain = 32;

// BorrowedCertificate keeps certificates that something else owns: adding stores the pointer, clearing
// destroys nothing.
struct BorrowedCertificate {
  static const Certificate* Copy(const Certificate* certificate) { return certificate; }
  static void Destroy(const Certificate*) {}
};
using CertificateChain = core::PtrArray<const Certificate, BorrowedCertificate>;

// CheckCrl looks at a certificate's CRL distribution points (the ", "-joined URIs of
// DecodeCrlDistributionPoints). The list would be fetched from the first "http://" or "https://" item
// (ASCII case ignored), but there is no transport for it, so the check cannot be made: with report set,
// 280 with error_text (optional) "Failed to get a valid response from the CRL server: <url>", or, for no
// items at all, 280 with "CRL check failed: CRL is not supported by the certificate."; without report,
// and for items of other schemes only, 0. *status (optional) receives the result; 200 when memory runs
// out while splitting.
[[nodiscard]] int CheckCrl(const char* points, int32_t* status, core::BufferCore* error_text, bool report);

// CheckValidityWindow compares the current UTC time, written as "yyyyMMddHHmmss", as text with
// not_before and not_after (the same form): -1 before the window, 1 after it, 0 inside (both bounds
// count as inside). "Now" is the platform clock, or the instant a test has fixed.
int CheckValidityWindow(const char* not_before, const char* not_after);

// BuildIssuerChain replaces chain with start followed by its issuers: each next one is the first
// candidate, in list order, whose subject text equals the current certificate's issuer text exactly and
// whose key verifies its signature (VerifySignatureByAlgorithm). The chain stops at the first
// self-issued certificate added, when no candidate fits, before a certificate already in the chain
// (cross-signed pairs and cycles) and at kMaxIssuerChain certificates; its last certificate then need
// not be self-issued, which callers read as an untrusted end. 0, or 200 with the chain so far. The
// chain points into start and candidates, which must outlive it.
[[nodiscard]] int BuildIssuerChain(const Certificate& start, const core::PtrArray<Certificate>& candidates,
                                   CertificateChain& chain);

// VerifyCertificateSignatureBytes decodes both certificates and checks the first's signature with the
// issuer's key: 0 when it verifies, -1 when it does not, 508 for an issuer key other than RSA, DSA and
// EC, or the first decoding code.
[[nodiscard]] int VerifyCertificateSignatureBytes(const uint8_t* certificate, int32_t certificate_length,
                                                  const uint8_t* issuer, int32_t issuer_length);

}  // namespace velmora::pki
