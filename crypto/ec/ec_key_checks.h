// The operations of the internal elliptic-curve key beyond the curve arithmetic: key checks, the public
// part of a private key, the platform's ECC key blob, and the engine's agreement (raw, through a digest,
// HMAC or the TLS 1.0 PRF, and through the NIST SP 800-56A concatenation KDF) and EdDSA with the key's
// octets. One thread at a time per key or engine; the functions keep no state.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/keys/key_params.h"

namespace velmora::crypto {

// EcPrivatePart is the private part an agreement uses: PrivateKey for octet keys, D for the others.
inline const core::BufferCore& EcPrivatePart(const EcKeyParams& params) {
  return params.UsesRawKeys() ? static_cast<const core::BufferCore&>(params.PrivateKey) : params.D;
}

inline constexpr int kEcTlsPrfBadSeed = 1407;     // the TLS PRF seed is not 64 bytes
inline constexpr int kEcTlsPrfNoLabel = 1408;     // the TLS PRF label is empty
inline constexpr int kEcNoAlgorithmId = 1411;     // empty AlgorithmID
inline constexpr int kEcNoPartyUInfo = 1412;      // empty PartyUInfo
inline constexpr int kEcNoPartyVInfo = 1413;      // empty PartyVInfo
inline constexpr int kEcCurveMismatch = 1414;     // own and peer key on different curves

// Derivation ids of EccEngine::Agree.
inline constexpr int32_t kEcdhKdfTlsPrf = 12;
inline constexpr int32_t kEcdhKdfRaw = 99;
inline constexpr int32_t kEcdhTlsPrfSeedLength = 64;
inline constexpr int32_t kEcdhTlsPrfOutputLength = 48;
inline constexpr int32_t kEcdhConcatKdfLength = 32;

// ValidateOkpKey returns 1 when the octet key of type 3 to 6 is usable, else 0: at least one part set,
// each set part of the type's octet length, and with full and both parts set, the public part equal to
// the one derived from the private part.
int ValidateOkpKey(const EcKeyParams& params, int32_t full);
// ValidateWeierstrassKey returns 1 when the key has D or both X and Y, else 0. With full it also
// requires the key type's curve, X and Y below the field size and on the curve, D below the order, and
// d G equal to (X, Y) when all three are set.
int ValidateWeierstrassKey(const EcKeyParams& params, int32_t full);

// ComputeEcPublicKey is the internal key's public-key computation: 0 without change when the key has no
// private part or already has its public part; otherwise X and Y from D (Weierstrass types) or
// PublicKey from PrivateKey (types 3 to 6), returning the derivation's code.
[[nodiscard]] int ComputeEcPublicKey(EcKeyParams& params);
// BuildCngEccKeyBlob writes the platform's ECC key blob of a P-256, P-384 or P-521 key into out:
// "ECK" (agreement) or "ECS" (signing) and a digit by type and part ("1".."6"), the coordinate length
// L as 32-bit little-endian, then X, Y and for a private blob D, each left-padded to L bytes. 0 with
// out unchanged for a private blob of a key without D; 1410 for other key types (out emptied); a
// Buffer code.
[[nodiscard]] int BuildCngEccKeyBlob(const EcKeyParams& params, bool private_blob, bool agreement,
                                     core::BufferCore& out);

// EcdhCheckKeys: 0 when own has its private part and peer its public part on the same key type; else
// kEcNoPrivateKey, kEcNoPublicKey or kEcCurveMismatch, in that order.
[[nodiscard]] int EcdhCheckKeys(const EcKeyParams& own, const EcKeyParams& peer);

}  // namespace velmora::crypto
