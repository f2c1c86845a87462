// The crypto component's public-key selections and front operations: a component is made to hold an
// RSA, DSA or EC key object, the library's or the platform's, loaded with a parameter set or taken from a
// certificate, and signs, verifies and agrees through it. A request needs the platform's key with
// provider mode 1 or in FIPS-compliant mode. Every operation returns 0 or a code; -1 when the component
// holds no key object of the family asked for, and when a platform function the key needs is not
// loaded. One thread at a time per component.
#pragma once

#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/objects/key_classes.h"
#include "crypto/providers/cng_ecc_key.h"
#include "platform/crypto/cert_types.h"

namespace velmora::crypto {

// Engine id of the EC key objects (ECDSA, EdDSA, X25519, X448); RSA and DSA are kEngineRsa and
// kEngineDsa.
inline constexpr int32_t kEngineEcKey = 22;

// SelectRsaProvider, SelectDsaProvider and SelectEccProvider make the component hold a key object of
// the family for the provider mode (0 internal, 1 platform, 2 default: internal; FIPS mode: platform)
// and hand it params; the result is that of the object's SetKeyParams. An object made for the same id and
// requested mode is kept and reloaded; any other is released first. 200 when memory runs out. On the
// platform an Ed25519 or Ed448 key gives 1410 with the text "EdDSA is unsupported in FIPS mode or CNG.";
// such a refusal leaves the id and mode stored and the old object released.
[[nodiscard]] int SelectRsaProvider(component::CryptoComponent& component, const RsaKeyParams& params, uint32_t mode);
[[nodiscard]] int SelectDsaProvider(component::CryptoComponent& component, const DsaKeyParams& params, uint32_t mode);
[[nodiscard]] int SelectEccProvider(component::CryptoComponent& component, const EcKeyParams& params, uint32_t mode);

// RsaFromCertificateContext and EccFromCertificateContext make the component hold the platform key of a
// certificate context's private key (smart cards with the PIN, which may be null). 9998 with a text, and
// nothing changed, for a PIN byte above 127 (checked first) or a null context; otherwise the held object
// is released and the platform key's FromCertificateContext result returned.
[[nodiscard]] int RsaFromCertificateContext(component::CryptoComponent& component,
                                            const platform::CERT_CONTEXT* context, const char* pin, uint32_t flags);
[[nodiscard]] int EccFromCertificateContext(component::CryptoComponent& component,
                                            const platform::CERT_CONTEXT* context, const char* pin, uint32_t flags);

// HeldRsaKey, HeldDsaKey and HeldEccKey: the component's object as a key of the family, or null.
RsaKeyBase* HeldRsaKey(const component::CryptoComponent& component);
DsaKeyBase* HeldDsaKey(const component::CryptoComponent& component);
EccKeyBase* HeldEccKey(const component::CryptoComponent& component);

// The RSA front operations over the held RSA key, the library's or the platform's. In FIPS-compliant mode
// each first applies the rules below and refuses with 9999 and the component's last error text; with it
// off each goes straight to the key's slot. -1 when the component holds no RSA key.
//
// PlatformRsaSign appends the held RSA key's signature of the digest (PKCS#1 v1.5 with the DigestInfo
// of digest_name, or PSS with salt_length when pss is set). FIPS: a modulus of at least 2048 bits, then a
// platform digest name.
[[nodiscard]] int PlatformRsaSign(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                                  const char* digest_name, core::BufferCore& out, int32_t pss, int32_t salt_length);
// PlatformRsaVerify runs the held RSA key's Verify: valid 1 or 0 (a failed PSS check of the library's key
// gives 1119). FIPS: a platform digest name; a signature not of the modulus byte length is fitted to it
// when that adds or drops only zero bytes.
[[nodiscard]] int PlatformRsaVerify(component::CryptoComponent& component, const uint8_t* digest,
                                    int32_t digest_length, const uint8_t* signature, int32_t signature_length,
                                    const char* digest_name, int32_t& valid, int32_t pss, int32_t salt_length,
                                    int32_t check_prefix);
// PlatformRsaEncryptOaep and PlatformRsaDecryptOaep run the held key's Encrypt and Decrypt. FIPS: the OAEP
// and the MGF1 digest must be platform names; a ciphertext not of the modulus byte length is fitted to it
// in the same way.
[[nodiscard]] int PlatformRsaEncryptOaep(component::CryptoComponent& component, const uint8_t* data, int32_t length,
                                         core::BufferCore& out, int32_t oaep, const uint8_t* label,
                                         int32_t label_length, const char* oaep_digest, const char* mgf_digest);
[[nodiscard]] int PlatformRsaDecryptOaep(component::CryptoComponent& component, const uint8_t* data, int32_t length,
                                         core::BufferCore& out, int32_t oaep, const uint8_t* label,
                                         int32_t label_length, const char* oaep_digest, const char* mgf_digest);

// kRawMissingParts: raw decryption without the key parts it needs.
inline constexpr int kRawMissingParts = 1111;
// RsaEncryptRaw sets out to data^Exponent mod Modulus, and RsaDecryptRaw to data^D mod Modulus (through
// the CRT when P, Q, DP, DQ and InverseQ are all there), both as BigInt::ToBytes writes them (a leading
// 00 when the top bit is set). Refused with 9999 and a text in FIPS-compliant mode and for the platform's
// key; 1111 when decryption lacks both D with Modulus and the CRT parts; a BigInt code.
[[nodiscard]] int RsaEncryptRaw(component::CryptoComponent& component, const uint8_t* data, int32_t length,
                                core::BufferCore& out);
[[nodiscard]] int RsaDecryptRaw(component::CryptoComponent& component, const uint8_t* data, int32_t length,
                                core::BufferCore& out);

// VerifyRaw checks a DSA signature over the digest with the held DSA key; a DER signature is first
// turned into r || s halves of the digest's length. valid 1 or 0.
[[nodiscard]] int VerifyRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                            const uint8_t* signature, int32_t signature_length, int32_t& valid);
// VerifyHashRaw checks an ECDSA signature over the digest with the held EC key; a DER signature is
// first turned into r || s halves of the curve's byte length (9998 for a key type without one).
[[nodiscard]] int VerifyHashRaw(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                                const uint8_t* signature, int32_t signature_length, int32_t& valid);

// SignHash sets out to the held DSA or EC key's raw r || s signature of the digest, or with der 1 to its
// DER SEQUENCE of two INTEGERs: 0, -1 without such a key, or the key's or the encoding's code.
[[nodiscard]] int SignHash(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                           core::BufferCore& out, int32_t der);

// ConcatKdfInfo (crypto/providers/cng_ecc_key.h) is the other-info of the concatenation KDF.
// EcdhDeriveKeyDefaultHash puts into out the held EC key's agreement with peer through the concatenation
// KDF over hash_name ("SHA256" when null or empty): 0, -1 without an EC key, or the key's code.
[[nodiscard]] int EcdhDeriveKeyDefaultHash(component::CryptoComponent& component, const EcKeyParams& peer,
                                           const char* hash_name, const ConcatKdfInfo& info, core::BufferCore& out);

// DsaKeySizeBits is the held DSA key's size, (length of P in bytes + 4) / 8 * 64; -1 without a DSA key.
int32_t DsaKeySizeBits(const component::CryptoComponent& component);

}  // namespace velmora::crypto
