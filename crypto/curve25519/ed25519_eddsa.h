// The Ed25519 signature scheme (RFC 8032) in its three variants, pure Ed25519, Ed25519ctx (with a
// context string) and Ed25519ph (over the SHA-512 digest of the message), on raw octet strings: a
// 32-byte private key (the seed), a 32-byte public key and a 64-byte signature R || S.
//
// Derivation and signing return 0 or a code; verification returns 1 (valid) or 0 (not valid, which
// also covers every bad length and undecodable point). Verification is the lenient one of this system:
// S is only required to be below 2^253, y of p or more and x = 0 with the sign bit are accepted, and
// small-order keys are not refused. No shared state: calls may run on several threads at once.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

constexpr int kEd25519BadKey = 0x81000;      // a key of the wrong length, or a public key not of the private one
constexpr int kEd25519BadPrehash = 0x81004;  // a prehashed message that is not 64 bytes
constexpr int kEd25519BadContext = 0x81005;  // a context length out of range

// Ed25519PublicFromPrivate sets public_key to the 32-byte encoding of a * B. 0; kEd25519BadKey when the
// private key is not 32 bytes; else the first failing code of the digest or of the output buffer.
int Ed25519PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key);

// Signing derives the public key from the private key and refuses a supplied public key that differs
// (kEd25519BadKey, like a key of the wrong length); these checks and the context length check
// (kEd25519BadContext) leave signature untouched. After them signature is set to 64 bytes; a later
// failure leaves it 64 bytes long with partial contents.
int Ed25519Sign(const uint8_t* message, uint32_t message_length, const uint8_t* public_key, uint32_t public_length,
                const uint8_t* private_key, uint32_t private_length, core::BufferCore& signature);
// The context must be 1..255 bytes.
int Ed25519CtxSign(const uint8_t* message, uint32_t message_length, const uint8_t* context, uint32_t context_length,
                   const uint8_t* public_key, uint32_t public_length, const uint8_t* private_key,
                   uint32_t private_length, core::BufferCore& signature);
// With prehashed set, message is the 64-byte SHA-512 digest itself; the context may be 0..255 bytes.
int Ed25519PhSign(const uint8_t* message, uint32_t message_length, bool prehashed, const uint8_t* context,
                  uint32_t context_length, const uint8_t* public_key, uint32_t public_length,
                  const uint8_t* private_key, uint32_t private_length, core::BufferCore& signature);

int Ed25519Verify(const uint8_t* message, uint32_t message_length, const uint8_t* public_key, uint32_t public_length,
                  const uint8_t* signature, uint32_t signature_length);
int Ed25519CtxVerify(const uint8_t* message, uint32_t message_length, const uint8_t* context, uint32_t context_length,
                     const uint8_t* public_key, uint32_t public_length, const uint8_t* signature,
                     uint32_t signature_length);
int Ed25519PhVerify(const uint8_t* message, uint32_t message_length, bool prehashed, const uint8_t* context,
                    uint32_t context_length, const uint8_t* public_key, uint32_t public_length,
                    const uint8_t* signature, uint32_t signature_length);

}  // namespace velmora::crypto
