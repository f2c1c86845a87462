// EdDSA over Ed448 (RFC 8032 section 5.2): Ed448 with an optional context, Ed448ph over a 64-byte
// SHAKE256 digest of the message, and the public key of a private key. Keys and signatures are raw
// octets: 57-byte private and public keys, 114-byte signatures. Any thread may call these at once.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

constexpr int kEd448KeyBytes = 57;
constexpr int kEd448SignatureBytes = 114;
constexpr int kEd448PrehashBytes = 64;

constexpr int kEd448BadKey = 0x81000;
constexpr int kEd448BadMessage = 0x81004;
constexpr int kEd448BadContext = 0x81005;

// Ed448PublicFromPrivate sets out to the 57-byte public key: 0, 0x81000 when the private key is not 57
// bytes, or a Buffer error.
[[nodiscard]] int Ed448PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& out);

// Ed448Sign sets out to the 114-byte signature of the message under the context (null or empty for
// none): 0; 0x81000 when a key is not 57 bytes or the public key is not the one of the private key;
// 0x81005 for a context over 255 bytes; 0x81004 for a negative message length; a Buffer or scalar
// error. On these refusals out is untouched.
[[nodiscard]] int Ed448Sign(const uint8_t* message, int32_t message_len, const uint8_t* context, int32_t context_len,
                            const uint8_t* public_key, int32_t public_key_len, const uint8_t* private_key,
                            int32_t private_key_len, core::BufferCore& out);
// Ed448Verify returns 1 for a valid signature and 0 for anything else, malformed input included.
// It checks the cofactored group equation of RFC 8032 section 5.2.7, [4][S]B = [4]R + [4][k]A on E, with
// S below L and A refused when [4]A is neutral (a key of small order). Multiplying by 4 first drops the
// small-order parts of R and A, so what is compared lies in the subgroup of prime order L, where
// [4][S]B - [4][k]A is fixed by S: a point of small order as R gives [4]R = 0 and verifies only for
// S = k a mod L, which takes the private scalar a. The comparison itself runs on the twist E', which maps
// only points of that subgroup faithfully (see Ed448TwistPoint); bits 0-6 of the last byte of R and A are
// not examined.
int Ed448Verify(const uint8_t* message, int32_t message_len, const uint8_t* context, int32_t context_len,
                const uint8_t* public_key, int32_t public_key_len, const uint8_t* signature, int32_t signature_len);

// Ed448phSign and Ed448phVerify sign and verify SHAKE256(message, 64), or the message itself when
// prehashed is set, which must then be 64 bytes (0x81004 when signing, 0 when verifying).
[[nodiscard]] int Ed448phSign(const uint8_t* message, int32_t message_len, bool prehashed, const uint8_t* context,
                              int32_t context_len, const uint8_t* public_key, int32_t public_key_len,
                              const uint8_t* private_key, int32_t private_key_len, core::BufferCore& out);
int Ed448phVerify(const uint8_t* message, int32_t message_len, bool prehashed, const uint8_t* context,
                  int32_t context_len, const uint8_t* public_key, int32_t public_key_len, const uint8_t* signature,
                  int32_t signature_len);

}  // namespace velmora::crypto
