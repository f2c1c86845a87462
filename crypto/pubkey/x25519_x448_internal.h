// What X25519 and X448 share: the base-point test, the all-zero test and the public-key derivation.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::crypto {

// XdhIsBasePoint is true when u (public) is the byte first followed by zeros.
bool XdhIsBasePoint(const uint8_t* u, int32_t length, uint8_t first);
// XdhZeroCheck ORs the output together without branching: 0x90002 when every byte is zero, else 0.
int XdhZeroCheck(const uint8_t* out, int32_t length);

using XdhFunction = int (*)(const uint8_t*, int32_t, const uint8_t*, int32_t, uint8_t*, int32_t);
// XdhPublicFromPrivate sets public_key to length bytes fn(private key, base): fn's code, a Buffer error,
// or 1401 (public_key untouched) when the private key is not length bytes.
int XdhPublicFromPrivate(const core::BufferCore& private_key, core::BufferCore& public_key, int32_t length,
                         const uint8_t* base, XdhFunction fn);

}  // namespace velmora::crypto
