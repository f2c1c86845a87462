// EccEngine, the internal elliptic-curve key engine: a working copy of one EC key and the operations an
// internal EC key object forwards to it. ECDSA signing and verification over a caller's digest work on
// every Weierstrass key type (prime and binary curves); agreement, key generation, key intake and EdDSA
// live with the EC key operations (ec_key_ops.cpp). One thread at a time per engine.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "crypto/ec/integrated_encryption.h"
#include "crypto/keys/key_params.h"
#include "crypto/rand/random.h"

namespace velmora::crypto {

inline constexpr int kEcInvalidKey = 1401;     // curve missing or incomplete, key part missing, unknown form
inline constexpr int kEcNoDigest = 1402;       // missing or empty digest
inline constexpr int kEcNoPublicKey = 1403;    // X or Y missing
inline constexpr int kEcNoPrivateKey = 1404;   // D missing
inline constexpr int kEcUnsupported = 1410;    // key type or operation not offered
inline constexpr int kEcRandomFailed = 1420;   // the random source could not supply a nonce

class EccEngine {
 public:
  EccEngine() = default;
  EccEngine(const EccEngine&) = delete;
  EccEngine& operator=(const EccEngine&) = delete;
  virtual ~EccEngine();

  // Sign appends an ECDSA signature of a digest to out (raw r || s, or DER when DerSignatures is 1):
  // 0, 1402 without a digest, 1403 / 1404 without the public / private part, 1401 for a key without a
  // usable curve, kEcRandomFailed when no nonce could be drawn, or an arithmetic / Buffer code.
  [[nodiscard]] virtual int Sign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out);
  // Verify sets valid to 1 when signature (DER or raw r || s) is a valid ECDSA signature of the digest
  // under the held public key, else 0; returns 0, or 1401 / a key check code when the key is unusable.
  // A malformed signature is a verdict (valid 0), not an error.
  [[nodiscard]] virtual int Verify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                                   int32_t signature_length, int32_t& valid);
  // Agree (peer, derivation id, prepend, append, HMAC key, out) puts into out the raw shared secret Z
  // with peer (id 99), the 48-byte TLS 1.0 PRF of Z with label prepend and the 64-byte seed append (id
  // 12), HMAC-SHA-1/256/384/512/MD5 keyed with hmac_key, or with Z when that is empty (ids 7-11), or
  // SHA-1/256/384/512, MD2, MD4, MD5 (ids 0-6, SHA-1 for any other id) over prepend || Z || append. 0; 1407 / 1408 for a bad TLS seed or
  // label; the key check codes (1401, 1403, 1404, 1414); the agreement's, digest's or HMAC's code.
  [[nodiscard]] virtual int Agree(const EcKeyParams& peer, int32_t derivation_id, const uint8_t* prepend,
                                  int32_t prepend_length, const uint8_t* append, int32_t append_length,
                                  const uint8_t* hmac_key, int32_t hmac_key_length, core::BufferCore& out);
  // GenerateKey makes a key pair of Params' type when Params has no public part (1410 when that fails),
  // then copies Params to out, with the private part when include_private is set: 0 or a Buffer code.
  [[nodiscard]] virtual int GenerateKey(bool include_private, EcKeyParams& out);
  // SetKeyParams checks the key by its type and copies it, private parts included, into Params: 0,
  // 1401 for a key type of -1 or a key that fails the check, or a Buffer code.
  [[nodiscard]] virtual int SetKeyParams(const EcKeyParams& params);

  // AgreeWithKdf puts into out 32 bytes of the concatenation KDF (NIST SP 800-56A) over the raw shared
  // secret with peer and AlgorithmID || PartyUInfo || PartyVInfo || SuppPubInfo || SuppPrivInfo, with
  // the named digest ("SHA256" for null or ""): 0, the key check codes, 1411 / 1412 / 1413 for an
  // empty AlgorithmID / PartyUInfo / PartyVInfo, or the agreement's or the KDF's code.
  [[nodiscard]] int AgreeWithKdf(const EcKeyParams& peer, const char* digest_name, const uint8_t* algorithm_id,
                                 int32_t algorithm_id_length, const uint8_t* party_u_info, int32_t party_u_length,
                                 const uint8_t* party_v_info, int32_t party_v_length, const uint8_t* supp_pub_info,
                                 int32_t supp_pub_length, const uint8_t* supp_priv_info, int32_t supp_priv_length,
                                 core::BufferCore& out);
  // EdDSASign signs message with the Ed25519 (type 3) or Ed448 (type 4) key octets: prehash selects
  // Ed25519ph / Ed448ph over a caller's digest, a context selects Ed25519ctx. 0; 1401 for a missing or
  // mismatched key part or another type; the signature routine's code.
  [[nodiscard]] int EdDSASign(const uint8_t* message, int32_t length, core::BufferCore& out, int32_t prehash,
                              const uint8_t* context, int32_t context_length);
  // EdDSAVerify sets result to the verdict (1 valid, 0 not) and returns 0; a public key or signature of
  // the wrong length, or another key type, is the verdict 0.
  [[nodiscard]] int EdDSAVerify(const uint8_t* message, int32_t length, const uint8_t* signature,
                                int32_t signature_length, int32_t& result, int32_t prehash, const uint8_t* context,
                                int32_t context_length);

  // EcdsaSign / EcdsaVerify: the ECDSA operations behind Sign and Verify, on Params.
  [[nodiscard]] int EcdsaSign(const uint8_t* digest, int32_t digest_length, core::BufferCore& out);
  [[nodiscard]] int EcdsaVerify(const uint8_t* digest, int32_t digest_length, const uint8_t* signature,
                                int32_t signature_length, int32_t& valid);
  // ValidateKey: the check of Params by its key type (with FullKeyCheck: parts in range, the point on
  // the curve, d.G equal to the point): 0 or 1401.
  [[nodiscard]] int ValidateKey();

  // Integrated encryption (integrated_encryption.cpp). The set-up stores the settings and, for the
  // block-cipher schemes when encrypting, makes the ephemeral key and keys the cipher and MAC; the
  // encryption then runs once, one shot or streamed. Decryption takes R || ciphertext || tag.
  [[nodiscard]] int IntegratedSetup(const core::BufferCore& iv, int32_t aes_key_bits, int32_t mac_key_bits,
                                    int32_t scheme, int32_t kdf_digest, int32_t mac_digest,
                                    const core::BufferCore& mac_shared_info, int32_t kdf_counter_flag,
                                    const core::BufferCore& kdf_shared_info, int32_t agreement_flag, int32_t encrypt,
                                    int32_t kdf_variant, int32_t zero_mac_key);
  [[nodiscard]] int IntegratedDeriveKeys(const core::BufferCore& own_private, const EcKeyParams& peer,
                                         const core::BufferCore& shared, int32_t encrypt, int32_t message_length,
                                         core::BufferCore* key_stream);
  [[nodiscard]] int IntegratedEncrypt(const uint8_t* message, int32_t length, core::BufferCore& out);
  [[nodiscard]] int IntegratedEncryptUpdate(const uint8_t* data, int32_t length, core::BufferCore& out);
  [[nodiscard]] int IntegratedEncryptFinish(core::BufferCore& out);
  [[nodiscard]] int IntegratedEncryptEphemeral(const uint8_t* message, int32_t length, core::BufferCore& out);
  [[nodiscard]] int IntegratedDecrypt(core::BufferCore& out);
  [[nodiscard]] int IntegratedDecryptMessage(const uint8_t* data, int32_t length, core::BufferCore& out);
  [[nodiscard]] int IntegratedDecryptUpdate(const uint8_t* data, int32_t length, core::BufferCore& out);
  [[nodiscard]] int IntegratedDecryptXor(const uint8_t* data, int32_t length, core::BufferCore& out);

  int32_t Kind = kKeyKindEc;
  RandomContext Random{};
  int32_t KeyBits = 1024;
  EcKeyParams Params;
  int32_t FullKeyCheck = 0;
  int32_t DerSignatures = 0;       // 0: signatures are raw r || s; 1: DER
  int32_t ReduceHashModOrder = 0;  // with DER signatures, reduce the digest modulo n instead of truncating
  IntegratedEncryptionState Integrated;
};

// EncodeDsaSignatureDer trims r and s in place to their DER INTEGER content (no leading zero bytes, one
// 00 byte before a first byte of 0x80 or above) and appends SEQUENCE { INTEGER r, INTEGER s } to out:
// 0 or a Buffer code.
[[nodiscard]] int EncodeDsaSignatureDer(core::BufferCore& r, core::BufferCore& s, core::BufferCore& out);

namespace test {
// EcdsaNonceHook, when set, replaces the random source of EccEngine::EcdsaSign: it is asked for count
// bytes and returns 0 when it filled them, anything else when it could not. Tests use it to fix a nonce
// or to make the source fail. Set it from one thread while no signing runs.
using EcdsaNonceHook = int (*)(uint8_t* out, int32_t count, void* context);
void SetEcdsaNonceHook(EcdsaNonceHook hook, void* context);
}  // namespace test

}  // namespace velmora::crypto
