// The Diffie-Hellman functions X25519 and X448 of RFC 7748 on raw little-endian octet strings, and the
// public key of a private key. A u-coordinate equal to the standard base point takes a fixed-base path
// through the matching Edwards group; any other runs the Montgomery ladder. The ladders branch on no
// secret and index no memory by one. Any thread may call these at once; nothing is allocated.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

constexpr int32_t kX25519Bytes = 32;
constexpr int32_t kX448Bytes = 56;

constexpr int kXdhBadLength = 0x90001;
constexpr int kXdhZeroSecret = 0x90002;
constexpr int kXdhBadPrivateKey = 1401;

// X25519 writes X25519(scalar, u) to out: 0; 0x90001 (nothing written) unless scalar, u and out are all
// 32 bytes; 0x90002 when the ladder's result is all zero (u of small order; the zeros are written). The
// caller's scalar is not changed: the clamped copy is wiped before return.
[[nodiscard]] int X25519(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len, uint8_t* out,
                         int32_t out_len);
// X25519Ladder is X25519 without the fixed-base path.
[[nodiscard]] int X25519Ladder(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len,
                               uint8_t* out, int32_t out_len);
// X448 and X448Ladder are the same over Curve448 with 56-byte strings.
[[nodiscard]] int X448(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len, uint8_t* out,
                       int32_t out_len);
[[nodiscard]] int X448Ladder(const uint8_t* scalar, int32_t scalar_len, const uint8_t* u, int32_t u_len,
                             uint8_t* out, int32_t out_len);

// X25519PublicFromPrivate sets public_key to the 32 bytes X25519(private key, 9): the code of X25519, a
// Buffer error, or 1401 when the private key is not 32 bytes (public_key untouched).
[[nodiscard]] int X25519PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key);
// X448PublicFromPrivate is the same with 56 bytes and X448(private key, 5).
[[nodiscard]] int X448PublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key);

}  // namespace velmora::crypto
