// The library's own key objects for public-key work (their interfaces are in crypto/keys/key_bases.h),
// each of which carries an engine that keeps a working copy of the key and does the arithmetic. The
// object's own parameter set, the one GetKeyParams hands out, is a second copy that later engine work does
// not change.
//
// Every slot returns 0 or a code (the engine's); a verdict travels in an out flag, not in the status.
// Instances come from the library's allocator: `new` gives null when memory runs out. One thread at a
// time per object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/objects/crypto_component.h"
#include "core/buffer.h"
#include "crypto/dsa/dsa_engine.h"
#include "crypto/ec/ecc_engine.h"
#include "crypto/keys/key_bases.h"
#include "crypto/keys/key_params.h"
#include "crypto/rsa/rsa_engine.h"

namespace velmora::crypto {

// InternalRsaKey: the library's own RSA key, an RsaEngine and the key's own parameter set.
class InternalRsaKey final : public RsaKeyBase {
 public:
  const RsaKeyParams* GetKeyParams() const override { return &params_; }
  [[nodiscard]] int SetKeyParams(const RsaKeyParams& params) override;
  [[nodiscard]] int GenerateKey(int32_t bits, RsaKeyParams& out) override;
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, const char* digest_name, int32_t& valid, int32_t pss,
                           int32_t salt_length, int32_t check_prefix) override;
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, const char* digest_name, core::BufferCore& out,
                         int32_t pss, int32_t salt_length) override;
  [[nodiscard]] int Encrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                            const uint8_t* label, int32_t label_length, const char* oaep_digest,
                            const char* mgf_digest) override;
  [[nodiscard]] int Decrypt(const uint8_t* input, int32_t length, core::BufferCore& out, int32_t oaep,
                            const uint8_t* label, int32_t label_length, const char* oaep_digest,
                            const char* mgf_digest) override;
  [[nodiscard]] int Clear() override { return engine_.Params.Clear(); }
  [[nodiscard]] int CompletePrivateKey(RsaKeyParams& params) override { return params.CompleteCrt(); }

  // Engine is the embedded engine and its working copy of the key.
  RsaEngine& Engine() { return engine_; }

 private:
  RsaEngine engine_;
  RsaKeyParams params_;
};

// InternalDsaKey: the library's own DSA key, a DsaEngine and the key's own parameter set.
class InternalDsaKey final : public DsaKeyBase {
 public:
  const DsaKeyParams* GetKeyParams() const override { return &params_; }
  [[nodiscard]] int SetKeyParams(const DsaKeyParams& params) override;
  [[nodiscard]] int GenerateKey(int32_t bits, DsaKeyParams& out) override;
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, int32_t* result) override {
    return engine_.Verify(digest, digest_length, signature, signature_length, result);
  }
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) override {
    return engine_.Sign(digest, digest_length, out);
  }
  [[nodiscard]] int Clear() override { return engine_.Params.Clear(); }

  DsaEngine& Engine() { return engine_; }

 private:
  DsaEngine engine_;
  DsaKeyParams params_;
};

// InternalEccKey: the library's own EC key, its own parameter set and an EccEngine. The EdDSA slots,
// AgreeWithKdf and ComputePublicKey answer kEngineNotAvailable (9998) until the engine offers them.
class InternalEccKey final : public EccKeyBase {
 public:
  const EcKeyParams* GetKeyParams() const override { return &params_; }
  [[nodiscard]] int SetKeyParams(const EcKeyParams& params) override;
  [[nodiscard]] int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                           int32_t signature_length, int32_t& valid) override {
    return engine_.Verify(digest, digest_length, signature, signature_length, valid);
  }
  [[nodiscard]] int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out) override {
    return engine_.Sign(digest, digest_length, out);
  }
  [[nodiscard]] int EdDSAVerify(const uint8_t* message, int32_t length, const uint8_t* signature,
                                int32_t signature_length, int32_t& valid, int32_t prehash, const uint8_t* context,
                                int32_t context_length) override;
  [[nodiscard]] int EdDSASign(const uint8_t* message, int32_t length, core::BufferCore& out, int32_t prehash,
                              const uint8_t* context, int32_t context_length) override;
  [[nodiscard]] int Agree(const EcKeyParams& peer, int32_t kdf_id, core::BufferCore& out, const uint8_t* prepend,
                          int32_t prepend_length, const uint8_t* append, int32_t append_length,
                          const uint8_t* hmac_key, int32_t hmac_key_length) override {
    return engine_.Agree(peer, kdf_id, prepend, prepend_length, append, append_length, hmac_key, hmac_key_length,
                         out);
  }
  [[nodiscard]] int AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                                 int32_t algorithm_id_length, const uint8_t* party_u_info, int32_t party_u_length,
                                 const uint8_t* party_v_info, int32_t party_v_length, const uint8_t* supp_pub_info,
                                 int32_t supp_pub_length, const uint8_t* supp_priv_info, int32_t supp_priv_length,
                                 core::BufferCore& out) override;
  [[nodiscard]] int ComputePublicKey(EcKeyParams& params) override;

  EccEngine& Engine() { return engine_; }

 private:
  EcKeyParams params_;
  EccEngine engine_;
};

// CheckDsaFipsKeySize applies the FIPS-compliant signing rule to a key: when UseFIPSCompliantAPI is
// on, the size (P's length + 4) / 8 * 64 must be 2048 or 3072; otherwise the component's last error
// text names the size and 9999 is returned. 0 when the rule is off or met.
[[nodiscard]] int CheckDsaFipsKeySize(component::ComponentBase& component, const DsaKeyParams& params);

// DsaSignWithFipsCheck is the component's DSA signing entry: the FIPS size rule on the DSA key object
// the component holds, then that object's Sign; with der 1 the signature is appended in DER form,
// otherwise raw. 0, 9999 (with the component's error text), 1203 when the component holds no DSA
// key object, or the key's code.
[[nodiscard]] int DsaSignWithFipsCheck(component::CryptoComponent& component, const uint8_t* digest,
                                       int32_t digest_length, core::BufferCore& out, int32_t der);

}  // namespace velmora::crypto
