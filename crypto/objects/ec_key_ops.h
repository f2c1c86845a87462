// The operations of the internal elliptic-curve key beyond the curve arithmetic: key checks, the
// public part of a private key, the platform's ECC key blob, agreement (raw, through a digest, HMAC or
// the TLS 1.0 PRF, and through the NIST SP 800-56A concatenation KDF), EdDSA with the key's octets, the
// component's guards for the platform provider, and the conversion of Edwards keys into Montgomery keys
// (RFC 7748 section 4). One thread at a time per key or engine; the functions keep no state.
#pragma once

#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/keys/key_params.h"

namespace velmora::crypto {

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
// ComputeEcPublicKeyPlatform is the platform key's: the same precondition; key types 0-2 and 7-10 go to
// the platform, which answers -1 until platform EC keys exist; any other type gives 1410.
[[nodiscard]] int ComputeEcPublicKeyPlatform(EcKeyParams& params);
// EnsureEcPublicKey computes a missing public part by the internal key, or by the platform key when
// FIPS mode or the platform provider is the default: the chosen computation's result.
[[nodiscard]] int EnsureEcPublicKey(EcKeyParams& params);

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

// EcdhRawAgreementChecked is the crypto component's raw agreement of its EC key object with peer: with
// FIPS mode, the platform provider as default or a component in platform mode, 9998 and the text "ECDH
// error: The raw agreement is not supported in platform implementations."; for an Ed25519 or Ed448 key
// 9998 and "ECDH error: The raw agreement is not supported for EdDSA."; 1401 when the component holds
// no EC key; otherwise EcdhRawAgreement (cofactor as given) into out and its result.
[[nodiscard]] int EcdhRawAgreementChecked(component::CryptoComponent& component, const EcKeyParams& peer,
                                          core::BufferCore& out, int32_t cofactor);

// EdDSASignByComponent and EdDSAVerifyByComponent are the crypto component's EdDSA entries: under FIPS
// mode, the platform provider as default or a component in platform mode, 1410 and the text "EdDSA
// error: EdDSA is not supported in FIPS compliant mode."; 1401 when the component holds no EC key;
// otherwise the key object's EdDSASign / EdDSAVerify with the same arguments.
[[nodiscard]] int EdDSASignByComponent(component::CryptoComponent& component, const uint8_t* message, int32_t length,
                                       core::BufferCore& out, int32_t prehash, const uint8_t* context,
                                       int32_t context_length);
[[nodiscard]] int EdDSAVerifyByComponent(component::CryptoComponent& component, const uint8_t* message,
                                         int32_t length, const uint8_t* signature, int32_t signature_length,
                                         int32_t& valid, int32_t prehash, const uint8_t* context,
                                         int32_t context_length);

// ConvertEd25519ToX25519 makes target a copy of the Ed25519 source (type 3) as an X25519 key (type 5):
// the clamped first half of SHA-512 of the seed, and the u-coordinate (1 + y) / (1 - y) of the public
// point. 0; 1410 for another source type; a digest or Buffer code.
[[nodiscard]] int ConvertEd25519ToX25519(const EcKeyParams& source, EcKeyParams& target);
// ConvertEd448ToX448 is the same for Ed448 (type 4) into X448 (type 6): the first 56 bytes of
// SHAKE256(seed, 114), clamped, and u = y^2 / x^2 of the public point (the 4-isogeny of RFC 7748).
[[nodiscard]] int ConvertEd448ToX448(const EcKeyParams& source, EcKeyParams& target);

}  // namespace velmora::crypto
