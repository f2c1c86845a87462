#include "crypto/pubkey/keys/key_classes.h"

#include "platform/memory.h"

namespace velmora::crypto {

// ---- object storage -----------------------------------------------------------------------------------

void* RsaKeyBase::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void RsaKeyBase::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }
void* DsaKeyBase::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void DsaKeyBase::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }
void* EccKeyBase::operator new(std::size_t size) noexcept { return platform::Alloc(size); }
void EccKeyBase::operator delete(void* block, std::size_t size) noexcept { platform::Free(block, size); }

// ---- InternalRsaKey -----------------------------------------------------------------------------------

int InternalRsaKey::SetKeyParams(const RsaKeyParams& params) {
  // The own copy is what GetKeyParams hands out; only the engine decides the result.
  (void)params_.CopyFrom(params);
  return engine_.SetKeyParams(params);
}

int InternalRsaKey::GenerateKey(int32_t bits, RsaKeyParams& out) {
  const int rc = CheckKeySize(engine_.Kind, bits);
  if (rc != 0) return rc;
  engine_.KeyBits = bits;
  return engine_.GenerateKey(true, out, false);
}

int InternalRsaKey::Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, const char* digest_name, int32_t& valid, int32_t pss,
                           int32_t salt_length, int32_t check_prefix) {
  return engine_.Verify(digest, digest_length, digest_name, signature, signature_length, valid, pss, salt_length,
                        check_prefix);
}

int InternalRsaKey::Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name, core::BufferCore& out,
                         int32_t pss, int32_t salt_length) {
  return engine_.Sign(digest, digest_length, digest_name, out, pss, salt_length);
}

int InternalRsaKey::Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                            const uint8_t* label, int32_t label_length, const char* oaep_digest,
                            const char* mgf_digest) {
  return engine_.EncryptByPadding(input, length, out, oaep, label, label_length, oaep_digest, mgf_digest);
}

int InternalRsaKey::Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                            const uint8_t* label, int32_t label_length, const char* oaep_digest,
                            const char* mgf_digest) {
  return engine_.DecryptByPadding(input, length, out, oaep, label, label_length, oaep_digest, mgf_digest);
}

// ---- InternalDsaKey -----------------------------------------------------------------------------------

int InternalDsaKey::SetKeyParams(const DsaKeyParams& params) {
  (void)params_.CopyFrom(params);
  return engine_.SetKeyParams(params);
}

int InternalDsaKey::GenerateKey(int32_t bits, DsaKeyParams& out) {
  const int rc = CheckKeySize(engine_.Kind, bits);
  if (rc != 0) return rc;
  engine_.KeySize = bits;
  return engine_.GenerateKey(true, out, false);
}

// ---- InternalEccKey -----------------------------------------------------------------------------------

int InternalEccKey::SetKeyParams(const EcKeyParams& params) {
  (void)params_.CopyFrom(params, true);
  return engine_.SetKeyParams(params);
}

// NOTE: the engine has no EdDSA, concatenation-KDF agreement or public-key computation yet; these slots
// say so with kEngineNotAvailable rather than guess at them.
int InternalEccKey::EdDSAVerify(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t& valid, int32_t,
                                const uint8_t*, int32_t) {
  valid = 0;
  return kEngineNotAvailable;
}

int InternalEccKey::EdDSASign(const uint8_t*, int32_t, core::BufferCore&, int32_t, const uint8_t*, int32_t) {
  return kEngineNotAvailable;
}

int InternalEccKey::AgreeWithKdf(const EcKeyParams&, const char*, const uint8_t*, int32_t, const uint8_t*, int32_t,
                                 const uint8_t*, int32_t, const uint8_t*, int32_t, const uint8_t*, int32_t,
                                 core::BufferCore&) {
  return kEngineNotAvailable;
}

int InternalEccKey::ComputePublicKey(EcKeyParams&) { return kEngineNotAvailable; }

}  // namespace velmora::crypto
