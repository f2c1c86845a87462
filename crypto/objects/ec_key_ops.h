// The elliptic-curve key operations that choose between the internal and the platform key or take a crypto
// component: the public part by provider, the component's guards for the platform provider, and the
// conversion of Edwards keys into Montgomery keys (RFC 7748 section 4). The engine's own operations are in
// crypto/ec/ec_key_checks.h. One thread at a time per key or engine; the functions keep no state.
#pragma once

#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/ec/ec_agreement.h"
#include "crypto/ec/ec_key_checks.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/keys/key_params.h"

namespace velmora::crypto {

// ComputeEcPublicKeyPlatform is the platform key's (CngEccKey::ComputePublicKey): the same precondition;
// key types 0-2 go to the platform; any other type, secp160k1 to secp256k1 (7-10) included, gives 1410
// without a platform call.
[[nodiscard]] int ComputeEcPublicKeyPlatform(EcKeyParams& params);
// EnsureEcPublicKey computes a missing public part by the internal key, or by the platform key when
// FIPS mode or the platform provider is the default: the chosen computation's result.
[[nodiscard]] int EnsureEcPublicKey(EcKeyParams& params);

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
