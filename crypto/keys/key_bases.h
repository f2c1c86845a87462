// The key object interfaces a CryptoComponent holds for public-key work, one per family (RSA, DSA,
// elliptic curve): the library's own keys (crypto/objects/key_classes.h) and the platform's
// (crypto/providers/) implement them.
//
// Every slot returns 0 or a code; a verdict travels in an out flag, not in the status. Instances come from
// the library's allocator: `new` gives null when memory runs out. One thread at a time per object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"
#include "crypto/base/crypto_object.h"
#include "crypto/keys/key_params.h"

namespace velmora::crypto {

// RsaKeyBase: the RSA key interface.
class RsaKeyBase : public component::ClearableKey {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  // GetKeyParams is the object's own copy of the key, valid while the object lives.
  virtual const RsaKeyParams* GetKeyParams() const = 0;
  // SetKeyParams takes a new key; the result is the engine's.
  [[nodiscard]] virtual int SetKeyParams(const RsaKeyParams& params) = 0;
  // GenerateKey makes a key of bits bits (1206 for a size outside 384..4096 in steps of 8) and copies
  // it, private parts included, into out.
  [[nodiscard]] virtual int GenerateKey(int32_t bits, RsaKeyParams& out) = 0;
  // Verify checks a signature over a digest: PKCS#1 v1.5 with the DigestInfo of digest_name when pss
  // is 0 (the DigestInfo bytes compared only with check_prefix), else PSS with salt_length. valid is
  // set to 1 or 0.
  [[nodiscard]] virtual int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                                   int32_t signature_length, const char* digest_name, int32_t& valid, int32_t pss,
                                   int32_t salt_length, int32_t check_prefix) = 0;
  // Sign appends a modulus-sized signature over the digest (v1.5 or PSS as for Verify).
  [[nodiscard]] virtual int Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name,
                                 core::BufferCore& out, int32_t pss, int32_t salt_length) = 0;
  // Encrypt and Decrypt: PKCS#1 v1.5 when oaep is 0, else OAEP with the label and the two digests.
  [[nodiscard]] virtual int Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                    const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                    const char* mgf_digest) = 0;
  [[nodiscard]] virtual int Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                                    const uint8_t* label, int32_t label_length, const char* oaep_digest,
                                    const char* mgf_digest) = 0;
  // Clear (inherited) empties the engine's key; the object's own copy stays.
  // CompletePrivateKey fills the missing CRT values of params.
  [[nodiscard]] virtual int CompletePrivateKey(RsaKeyParams& params) = 0;
};

// DsaKeyBase: the DSA key interface.
class DsaKeyBase : public component::ClearableKey {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  virtual const DsaKeyParams* GetKeyParams() const = 0;
  [[nodiscard]] virtual int SetKeyParams(const DsaKeyParams& params) = 0;
  // GenerateKey makes domain parameters and a key of bits bits (1206 for a size outside 512..4096 in
  // steps of 64) unless the engine holds some, and copies the key, private part included, into out.
  [[nodiscard]] virtual int GenerateKey(int32_t bits, DsaKeyParams& out) = 0;
  // Verify sets *result to 1 when the raw or DER signature is valid for the digest, else 0.
  [[nodiscard]] virtual int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                                   int32_t signature_length, int32_t* result) = 0;
  // Sign appends the signature of the digest (raw r || s).
  [[nodiscard]] virtual int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) = 0;
  // Clear (inherited) empties the engine's key; the object's own copy stays.
};

// EccKeyBase: the elliptic-curve key interface (ECDSA, EdDSA, ECDH and XDH keys).
class EccKeyBase : public component::CryptoObject {
 public:
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;

  virtual const EcKeyParams* GetKeyParams() const = 0;
  // SetKeyParams takes a new key, private parts included.
  [[nodiscard]] virtual int SetKeyParams(const EcKeyParams& params) = 0;
  // Verify sets valid to 1 or 0 for a raw r || s signature over the digest.
  [[nodiscard]] virtual int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                                   int32_t signature_length, int32_t& valid) = 0;
  // Sign appends the raw r || s signature of the digest.
  [[nodiscard]] virtual int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) = 0;
  [[nodiscard]] virtual int EdDSAVerify(const uint8_t* message, int32_t length, const uint8_t* signature,
                                        int32_t signature_length, int32_t& valid, int32_t prehash,
                                        const uint8_t* context, int32_t context_length) = 0;
  [[nodiscard]] virtual int EdDSASign(const uint8_t* message, int32_t length, core::BufferCore& out, int32_t prehash,
                                      const uint8_t* context, int32_t context_length) = 0;
  // Agree puts into out the shared secret with peer, raw or through the derivation kdf_id names.
  [[nodiscard]] virtual int Agree(const EcKeyParams& peer, int32_t kdf_id, core::BufferCore& out,
                                  const uint8_t* prepend, int32_t prepend_length, const uint8_t* append,
                                  int32_t append_length, const uint8_t* hmac_key, int32_t hmac_key_length) = 0;
  // AgreeWithKdf puts into out the concatenation-KDF key from the shared secret with peer.
  [[nodiscard]] virtual int AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                                         int32_t algorithm_id_length, const uint8_t* party_u_info,
                                         int32_t party_u_length, const uint8_t* party_v_info, int32_t party_v_length,
                                         const uint8_t* supp_pub_info, int32_t supp_pub_length,
                                         const uint8_t* supp_priv_info, int32_t supp_priv_length,
                                         core::BufferCore& out) = 0;
  // ComputePublicKey fills the public part of params from its private part when it is missing.
  [[nodiscard]] virtual int ComputePublicKey(EcKeyParams& params) = 0;
};

}  // namespace velmora::crypto
