// CngDsaKey, the platform twin of InternalDsaKey: a DSA key held as a key handle of the platform's "DSA"
// algorithm ("Microsoft Primitive Provider"), reached through the BCrypt signature table
// (provider_tables.h), with the key's own DsaKeyParams. Keys travel to and from the platform as its DSA
// blobs: version 1 for moduli of 512 to 1024 bits (a 20-byte q, FIPS 186-2), version 2 for 1025 to 3072
// bits (a 32-byte q, SHA-256, FIPS 186-3).
//
// Codes: 0; -1 when a function of the signature table is not loaded; -2 for no key handle (Sign,
// Verify, a public export), a modulus outside 512..3072 bits, a q of the wrong length for its blob
// version, or an exported blob of unknown shape; -3 for a private export asked of a held key without
// generating; a platform status unchanged. A signature that does not verify is not an error. One thread
// at a time per object.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/key_bases.h"
#include "crypto/keys/key_params.h"
#include "crypto/providers/cng_results.h"
#include "platform/crypto/cipher_types.h"

namespace velmora::crypto {

class CngDsaKey final : public DsaKeyBase {
 public:
  CngDsaKey() = default;
  // The destructor destroys a held key handle when BCryptDestroyKey is loaded (else leaves it).
  ~CngDsaKey() override;

  const DsaKeyParams* GetKeyParams() const override { return &params_; }
  // SetKeyParams pads a copy of params to the key's fixed lengths, keeps it as the object's own set and
  // imports it in place of any key held: 0 or the first failing code.
  [[nodiscard]] int SetKeyParams(const DsaKeyParams& params) override;
  // GenerateKey makes a new key of bits bits on the platform unless one is held, and exports it, private
  // part included, into out (CngDsaBlobTransfer). The object's own set is not changed.
  [[nodiscard]] int GenerateKey(int32_t bits, DsaKeyParams& out) override;
  // Verify sets *result to 1 when the raw r || s signature is valid for the digest, else 0.
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, int32_t* result) override;
  // Sign appends r || s as the platform gives it.
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) override;
  // Clear is DestroyHandle for a platform key.
  [[nodiscard]] int Clear() override { return DestroyHandle(); }
  // DestroyHandle destroys a held key handle: 0 (also with none held), -1 when BCryptDestroyKey is not
  // loaded.
  [[nodiscard]] int DestroyHandle();

  platform::BCRYPT_KEY_HANDLE KeyHandle = nullptr;

 private:
  DsaKeyParams params_;
};

// CngImportDsaKey builds the platform blob for params (P, G, Y at the modulus length, Q and X at
// Q's; private when X is not empty) and imports it into key.KeyHandle, which must be free.
[[nodiscard]] int CngImportDsaKey(CngDsaKey& key, const DsaKeyParams& params);
// CngDsaBlobTransfer generates a key of bits bits when none is held and include_private is set, then
// exports the key into params (X only with include_private). A counter of 0xFFFFFFFF reads back as
// counter 0 and an empty seed.
[[nodiscard]] int CngDsaBlobTransfer(CngDsaKey& key, int32_t bits, DsaKeyParams& params, bool include_private);
// OpenPrimitiveProvider generates a new key pair of bits bits into key.KeyHandle.
[[nodiscard]] int OpenPrimitiveProvider(CngDsaKey& key, int32_t bits);

}  // namespace velmora::crypto
