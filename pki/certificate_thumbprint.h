// Certificate thumbprints: the MD5, SHA-1 or SHA-256 digest of a certificate's DER as lower-case hex,
// and the comparison of a thumbprint text with a certificate.
#pragma once

#include "pki/certificate.h"

namespace velmora::pki {

// Thumbprint replaces certificate.textResult with the lower-case hex digest of the certificate's DER
// (a certificate built in memory, with no DER, is encoded first and that encoding digested) and returns
// it. hash_name is "MD5", "SHA1" or "SHA256" in any case; another name, or a digest or encoding that
// fails, gives "". The text stays valid until textResult changes.
const char* Thumbprint(Certificate& certificate, const char* hash_name);
// ThumbprintEquals is true when hex_text, of 32, 40 or 64 hex digits (MD5, SHA-1, SHA-256 by length),
// equals the certificate's thumbprint ignoring case; any other length gives false.
bool ThumbprintEquals(Certificate& certificate, const char* hex_text);

}  // namespace velmora::pki
