// JSON Web Keys: reading a JWK into a key with its certificate chain, and writing a key as a JWK.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"
#include "pki/cert_composites.h"

namespace velmora::keystore {

// LoadJwk reads the JSON object text (NUL-terminated) into record: its key, every member kept as a key
// attribute "JWK_<type>_<name>", and the "x5c" chain. 0, 271, or the code of the parser or decoder that
// failed.
[[nodiscard]] int LoadJwk(pki::KeyWithCertificates& record, const char* text);
// WriteJwk replaces out with the JWK of key, with the private members when include_private is set.
// 0, 1424 for a key type a JWK cannot name, or the code of the step that failed.
[[nodiscard]] int WriteJwk(const crypto::KeyRecord& key, uint32_t include_private, core::Buffer& out);

}  // namespace velmora::keystore
