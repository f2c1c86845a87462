// The crypto component's public-key selections and front operations: a component is made to hold an
// RSA, DSA or EC key object loaded with a parameter set, and signs and verifies through it. Only the
// library's own key objects exist; a request that needs the platform's (provider mode 1, or any mode in
// FIPS-compliant mode) gives -1. Every operation returns 0 or a code; -1 also when the component holds
// no key object of the family asked for. One thread at a time per component.
#pragma once

#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/objects/key_classes.h"

namespace velmora::crypto {

// Engine id of the EC key objects (ECDSA, EdDSA, X25519, X448); RSA and DSA are kEngineRsa and
// kEngineDsa.
inline constexpr int32_t kEngineEcKey = 22;

// SelectRsaProvider, SelectDsaProvider and SelectEccProvider make the component hold a key object of
// the family for the provider mode (0 internal, 1 platform, 2 default: internal) and hand it params;
// the result is that of the object's SetKeyParams. An object made for the same id and requested mode
// is kept and reloaded; any other is released first. 200 when memory runs out.
[[nodiscard]] int SelectRsaProvider(component::CryptoComponent& component, const RsaKeyParams& params, uint32_t mode);
[[nodiscard]] int SelectDsaProvider(component::CryptoComponent& component, const DsaKeyParams& params, uint32_t mode);
[[nodiscard]] int SelectEccProvider(component::CryptoComponent& component, const EcKeyParams& params, uint32_t mode);

// HeldRsaKey, HeldDsaKey and HeldEccKey: the component's object as a key of the family, or null.
RsaKeyBase* HeldRsaKey(const component::CryptoComponent& component);
DsaKeyBase* HeldDsaKey(const component::CryptoComponent& component);
EccKeyBase* HeldEccKey(const component::CryptoComponent& component);

// PlatformRsaSign appends the held RSA key's signature of the digest (PKCS#1 v1.5 with the DigestInfo
// of digest_name, or PSS with salt_length when pss is set).
[[nodiscard]] int PlatformRsaSign(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                                  const char* digest_name, core::BufferCore& out, int32_t pss, int32_t salt_length);
// PlatformRsaVerify runs the held RSA key's Verify: valid 1 or 0 (a failed PSS check gives 1119).
[[nodiscard]] int PlatformRsaVerify(component::CryptoComponent& component, const uint8_t* digest,
                                    int32_t digest_length, const uint8_t* signature, int32_t signature_length,
                                    const char* digest_name, int32_t& valid, int32_t pss, int32_t salt_length,
                                    int32_t check_prefix);

// VerifyRaw checks a DSA signature over the digest with the held DSA key; a DER signature is first
// turned into r || s halves of the digest's length. valid 1 or 0.
[[nodiscard]] int VerifyRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                            const uint8_t* signature, int32_t signature_length, int32_t& valid);
// VerifyHashRaw checks an ECDSA signature over the digest with the held EC key; a DER signature is
// first turned into r || s halves of the curve's byte length (9998 for a key type without one).
[[nodiscard]] int VerifyHashRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                                const uint8_t* signature, int32_t signature_length, int32_t& valid);

}  // namespace velmora::crypto
