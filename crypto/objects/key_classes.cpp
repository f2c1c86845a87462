#include "crypto/objects/key_classes.h"

#include <cstdio>

#include "component/component_base.h"
#include "crypto/keys/der_signature.h"
#include "crypto/objects/ec_key_ops.h"
#include "platform/memory.h"

namespace velmora::crypto {

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

int InternalEccKey::EdDSAVerify(const uint8_t* message, int32_t length, const uint8_t* signature,
                                int32_t signature_length, int32_t& valid, int32_t prehash, const uint8_t* context,
                                int32_t context_length) {
  return engine_.EdDSAVerify(message, length, signature, signature_length, valid, prehash, context, context_length);
}

int InternalEccKey::EdDSASign(const uint8_t* message, int32_t length, core::BufferCore& out, int32_t prehash,
                              const uint8_t* context, int32_t context_length) {
  return engine_.EdDSASign(message, length, out, prehash, context, context_length);
}

int InternalEccKey::AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                                 int32_t algorithm_id_length, const uint8_t* party_u_info, int32_t party_u_length,
                                 const uint8_t* party_v_info, int32_t party_v_length, const uint8_t* supp_pub_info,
                                 int32_t supp_pub_length, const uint8_t* supp_priv_info, int32_t supp_priv_length,
                                 core::BufferCore& out) {
  return engine_.AgreeWithKdf(peer, digest_name, algorithm_id, algorithm_id_length, party_u_info, party_u_length,
                              party_v_info, party_v_length, supp_pub_info, supp_pub_length, supp_priv_info,
                              supp_priv_length, out);
}

int InternalEccKey::ComputePublicKey(EcKeyParams& params) { return ComputeEcPublicKey(params); }

// ---- DSA signing under the FIPS rule ------------------------------------------------------------------

int CheckDsaFipsKeySize(component::ComponentBase& component, const DsaKeyParams& params) {
  if (component::UseFIPSCompliantAPI() == 0) return 0;
  const int32_t bits = (params.P.Length() + 4) / 8 * 64;
  if (bits == 2048 || bits == 3072) return 0;
  char text[200];
  std::snprintf(text, sizeof text,
                "DSA error: Could not generate signature: FIPS mode requires that the DSA key size for signature "
                "generation must be 2048 or 3072 bits, but the size is %d bits.",
                static_cast<int>(bits));
  return component.SetErrorText(kDsaFipsKeySize, text);
}

int DsaSignWithFipsCheck(component::CryptoComponent& component, const uint8_t* digest, int32_t digest_length,
                         core::BufferCore& out, int32_t der) {
  auto* key = dynamic_cast<DsaKeyBase*>(component.Object());
  if (key == nullptr || key->GetKeyParams() == nullptr) return kDsaNoKey;
  int status = CheckDsaFipsKeySize(component, *key->GetKeyParams());
  if (status != 0) return status;
  core::Buffer raw;
  if ((status = key->Sign(digest, digest_length, raw)) != 0) return status;
  if (der != 1) return out.Append(raw);
  core::Buffer encoded;
  if ((status = EncodeRawSignatureAsDer(raw.Bytes(), raw.Length(), encoded)) != 0) return status;
  return out.Append(encoded);
}

}  // namespace velmora::crypto
