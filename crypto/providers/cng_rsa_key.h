// CngRsaKey, the platform twin of InternalRsaKey: an RSA key held as a key handle of the platform's
// "Microsoft Software Key Storage Provider", beside the key's own RsaKeyParams. Every platform call goes
// through the NCrypt RSA table (provider_tables.h).
//
// Codes: -1 while a function the operation needs is not loaded (and for a certificate whose private key
// cannot be acquired, or whose CryptoAPI key spec is neither 1 nor 2); -2 for an operation that needs a
// key handle when none is held; a failing platform status passes through unchanged. One thread at a time
// per object.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/keys/key_bases.h"
#include "crypto/keys/key_params.h"
#include "crypto/providers/cng_results.h"
#include "platform/crypto/cert_types.h"
#include "platform/crypto/hash_types.h"

namespace velmora::crypto {

class CngRsaKey final : public RsaKeyBase {
 public:
  CngRsaKey() = default;
  // The destructor frees a held key handle (when the free function is loaded).
  ~CngRsaKey() override;

  const RsaKeyParams* GetKeyParams() const override { return &params_; }
  // SetKeyParams pads params to the blob's fixed lengths, keeps a copy and imports it (CngImportRsaKey).
  [[nodiscard]] int SetKeyParams(const RsaKeyParams& params) override;
  // GenerateKey creates a provider key of bits bits when no handle is held and exports it, private parts
  // included, into out and into the key's own parameters.
  [[nodiscard]] int GenerateKey(int32_t bits, RsaKeyParams& out) override;
  // Verify: PKCS#1 v1.5 over the platform's DigestInfo of digest_name, or PSS with salt_length (-1: the
  // digest length). A signature the platform rejects gives valid 0 and status 0. check_prefix is the
  // platform's affair.
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, const char* digest_name, int32_t& valid, int32_t pss,
                           int32_t salt_length, int32_t check_prefix) override;
  // Sign appends the signature. Without PSS, a digest name whose DigestInfo prefix is longer than one byte
  // but which has no platform name ("SHA224") gives NTE_NOT_SUPPORTED and an unknown name 1106, both
  // without a platform call; "RAW" and "MD5SHA1" sign the bytes as given.
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name, core::BufferCore& out,
                         int32_t pss, int32_t salt_length) override;
  // Encrypt and Decrypt append the result: PKCS#1 v1.5, or OAEP with oaep_digest for both the OAEP digest
  // and MGF1 (the platform takes one name; mgf_digest is not used).
  [[nodiscard]] int Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                            const uint8_t* label, int32_t label_length, const char* oaep_digest,
                            const char* mgf_digest) override;
  [[nodiscard]] int Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                            const uint8_t* label, int32_t label_length, const char* oaep_digest,
                            const char* mgf_digest) override;
  // Clear is DestroyHandle.
  [[nodiscard]] int Clear() override { return DestroyHandle(); }
  // CompletePrivateKey fills D, DP, DQ and InverseQ of a key given as Exponent, Modulus, P and Q through a
  // provider key made for the purpose; the key holds no handle afterwards, whatever the outcome. 0 without
  // a call when a part is missing or nothing is.
  [[nodiscard]] int CompletePrivateKey(RsaKeyParams& params) override;

  // DestroyHandle frees the held handle (if the key owns it) and clears it: 0.
  int DestroyHandle();
  // ExportToParams creates a key of bits bits when no handle is held, then exports it into params: the
  // full private key when private_part is set (the private fields are emptied otherwise).
  [[nodiscard]] int ExportToParams(int32_t bits, RsaKeyParams& params, bool private_part);
  // FromCertificateContext takes the private key of a certificate context (a smart card's too, with the
  // PIN given in the system code page) and reads its parameters; a key that cannot be exported yields its
  // public parameters. A handle the platform keeps for the context is used but never freed here.
  [[nodiscard]] int FromCertificateContext(const platform::CERT_CONTEXT* context, const char* pin, uint32_t flags);

  platform::NCRYPT_KEY_HANDLE KeyHandle() const { return handle_; }
  // AdoptHandle frees the held handle and takes key (owned when owned is set).
  void AdoptHandle(platform::NCRYPT_KEY_HANDLE key, bool owned);
  RsaKeyParams& OwnParams() { return params_; }

 private:
  platform::NCRYPT_KEY_HANDLE handle_ = 0;
  bool owns_handle_ = false;
  RsaKeyParams params_;
};

// CngImportRsaKey imports the parts into a new provider key for key (freeing its old handle first): a
// public blob when P or Q is missing, a full private blob when P, Q, DP, DQ, InverseQ and D are all there,
// a private blob otherwise. The provider handle is freed on every path. 0, -1, 200 or the platform's status.
[[nodiscard]] int CngImportRsaKey(CngRsaKey& key, const core::BufferCore& exponent, const core::BufferCore& modulus,
                                  const core::BufferCore& p, const core::BufferCore& q, const core::BufferCore& dp,
                                  const core::BufferCore& dq, const core::BufferCore& inverse_q,
                                  const core::BufferCore& d);
// CreatePersistedRsaKey creates an ephemeral, plain-text exportable provider key for key, of bits bits
// when bits is above 0 (the provider's default size otherwise). 0, -1 or the first failing status; the
// provider handle is freed on every path.
[[nodiscard]] int CreatePersistedRsaKey(CngRsaKey& key, int32_t bits);

}  // namespace velmora::crypto
