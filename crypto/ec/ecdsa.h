// ECDSA (SEC 1 section 4.1) on any complete Weierstrass curve, prime or binary, for callers that hold
// the curve and the key parts themselves; EccEngine::EcdsaSign and EccEngine::EcdsaVerify run these on
// their key. Any thread.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/curve_params.h"

namespace velmora::crypto {

struct EcdsaSettings {
  int32_t der_signatures = 0;         // 0: raw r || s; 1: DER
  int32_t reduce_hash_mod_order = 0;  // with DER, the digest modulo n instead of its leftmost bits
};

// EcdsaSignOnCurve writes a signature of the digest with the private scalar (big-endian bytes): raw
// r || s (each as long as n) replaces out, DER is appended. 0, 1401 for an incomplete curve or no key,
// kEcRandomFailed when no nonce could be drawn, kFixedTooLong for a digest over 1,536 bytes, or an
// arithmetic / Buffer code.
[[nodiscard]] int EcdsaSignOnCurve(const CurveParams& curve, const core::BufferCore& private_key,
                                   const uint8_t* digest, int32_t digest_length, const EcdsaSettings& settings,
                                   core::BufferCore& out);
// EcdsaVerifyOnCurve sets valid to 1 when the signature (DER, else raw split in the middle) is valid for
// the digest and the public point, else 0; returns 0, or 1401 for an incomplete curve or key.
[[nodiscard]] int EcdsaVerifyOnCurve(const CurveParams& curve, const core::BufferCore& public_x,
                                     const core::BufferCore& public_y, const uint8_t* digest, int32_t digest_length,
                                     const uint8_t* signature, int32_t signature_length,
                                     const EcdsaSettings& settings, int32_t& valid);

}  // namespace velmora::crypto
