// A compact Schnorr signature scheme on the Ed448 group with SHA-512, separate from EdDSA: a key pair
// is derived from a 32-byte seed, public keys and the commitment R are single field elements (56 bytes),
// signatures are R || s (112 bytes), and nonces come from the seed and the message, so signing needs
// no random source. Key records are 144 bytes: the secret scalar x, the public key A and the seed.
// Any thread may call these at once.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

constexpr int32_t kSchnorr448SeedBytes = 32;
constexpr int32_t kSchnorr448PublicBytes = 56;
constexpr int32_t kSchnorr448RecordBytes = 144;
constexpr int32_t kSchnorr448SignatureBytes = 112;

constexpr int kSchnorr448BadSeed = 0x81000;
constexpr int kSchnorr448BadRecord = 0x81002;
constexpr int kSchnorr448BadScalar = 0x81006;

// Schnorr448KeyPair sets out to the 144-byte key record of the seed: 0; 0x81000 when the seed is not 32
// bytes; a Buffer, digest or scalar error. On a failure out is untouched. The record holds the secret
// scalar: hand a SecureBuffer.
[[nodiscard]] int Schnorr448KeyPair(const uint8_t* seed, int32_t seed_len, core::BufferCore& out);
// Schnorr448Sign sets out to the 112-byte signature of the message under the key record: 0; 0x81002
// when the record is not 144 bytes or is not the record its seed derives (its scalar or public key
// changed); 0x81006 when its scalar is not below the group order; a Buffer, digest or scalar error. On these refusals out is untouched. The same record and message always give
// the same signature.
[[nodiscard]] int Schnorr448Sign(const uint8_t* message, uint32_t message_len, const uint8_t* record,
                                 int32_t record_len, core::BufferCore& out);
// Schnorr448Verify returns 1 for a valid signature and 0 for anything else, malformed input included (a
// public key other than 56 bytes, a signature shorter than 112 bytes, values out of range, a public key of
// small order). Bytes of the signature past the first 112 are not read.
int Schnorr448Verify(const uint8_t* message, uint32_t message_len, const uint8_t* public_key, int32_t public_key_len,
                     const uint8_t* signature, int32_t signature_len);

}  // namespace velmora::crypto
