// JSON Web Keys: reading a JWK into a key with its certificate chain, and writing a key as a JWK.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_composites.h"

namespace velmora::keystore {

// LoadJwk reads the JSON object text (NUL-terminated) into record: its key, every member kept as a key
// attribute "JWK_<type>_<name>" (a string without its quotes, escapes as written; of a repeated member
// only the last), and the "x5c" chain. A member whose name or string value holds a backslash is also
// kept as "JWKTEXT_<name>", which tells WriteJwk that the text is JSON already. 0; 271 for a text that is
// not one complete object, a missing or unknown "kty" or "crv", or missing key numbers; 1401 for an EC
// point off its curve or with a coordinate wider than the field, or an octet key part not of its curve's
// length; or the code of the parser, decoder or certificate reader that failed (the certificates before
// it stay in the list).
[[nodiscard]] int LoadJwk(pki::KeyWithCertificates& record, const char* text);
// WriteJwk replaces out with the JWK of key, with the private members it holds when include_private is
// set, then the "JWK_" attributes as members: string values JSON-escaped unless read so by LoadJwk.
// 0, 1424 for a key type a JWK cannot name, or the code of the step that failed.
[[nodiscard]] int WriteJwk(const crypto::KeyRecord& key, uint32_t include_private, core::Buffer& out);

}  // namespace velmora::keystore
