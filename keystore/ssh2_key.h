// SSH2 private key files ("SSH2 ENCRYPTED PRIVATE KEY"): RSA, DSA and elliptic-curve keys in a blob with
// a magic number, a key type text and a cipher name, integers as bit-length strings, the key data
// protected by 3DES-CBC under an MD5 password key (password first, zero IV). One thread at a time per
// key record.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/objects/key_record.h"

namespace velmora::keystore {

// kBadSsh2Key: a wrong magic, a total length below 1, an unknown cipher or key type, a failed
// decryption; for the writer a key record type without this form (EdDSA included).
inline constexpr int kBadSsh2Key = 280;
// kSsh2Magic: the first four bytes of the blob.
inline constexpr uint32_t kSsh2Magic = 0x3F6FF9EB;

// ReadSsh2PrivateKey reads the blob, given as bytes or as its base64 text, into key (handed in reset):
// 0; 280 (also for numbers the CRT values or the EC public point cannot be computed from); 1080 or -1
// from a cut integer or string; 200. A wrong password mostly shows as a cut field or as numbers that do
// not work. On failure key holds what was read so far and is for
// the caller to discard.
[[nodiscard]] int ReadSsh2PrivateKey(crypto::KeyRecord& key, const void* data, int32_t length, const char* password);

// WriteSsh2PrivateKey sets out to key as an armoured SSH2 private key file (four dashes, lines of
// line_length characters, a "Comment" header when comment is not empty), encrypted when password is not
// empty: 0, 280, or the code of the operation that failed (out unchanged then).
[[nodiscard]] int WriteSsh2PrivateKey(crypto::KeyRecord& key, uint32_t line_length, const char* comment,
                                      const char* password, core::BufferCore& out);

}  // namespace velmora::keystore
